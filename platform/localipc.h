// localipc: sockets between the processes of one service, and descriptors
// passed over them.
//
// The POP3 and IMAP servers hand a logged-on client to a session process
// that runs as the mail user: the client's socket (or one end of a socket
// pair the front relays TLS over) and a control socket travel to the root
// logon helper and from there to the session, as SCM_RIGHTS messages. The
// helper processes (platform/helperproc) are reached over the same kind of
// socket.
//
// Two kinds of pair: a message pair (SOCK_SEQPACKET: one send is one
// message, the end of the peer is seen as a read of 0), for requests,
// answers and control messages; a stream pair (SOCK_STREAM) for the bytes
// of a relayed connection. Both ends are close-on-exec.
//
// Untrusted input: a message from another process is as untrusted as its
// sender; ReceiveMessage bounds the bytes and the descriptors it takes (a
// message with more descriptors than asked for is refused whole and every
// descriptor in it closed, so a peer cannot fill the table), and only
// SCM_RIGHTS is accepted.
//
// Threads: no state; a socket is used by one reader and one writer at a
// time. Failures: false or -1 with the thread's last error (the errno
// value; ERROR_TIMEOUT when a wait ran out; EMSGSIZE for a message that
// was cut or carried too many descriptors). Writing to a socket whose
// peer is gone never raises SIGPIPE.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "platform/errors.h"
#include "platform/files.h"

// More descriptors than any message of ours carries (a client socket, a
// relay end and a control socket).
constexpr size_t kMaxPassedDescriptors = 4;

// A pair of connected local sockets: message (true) or stream (false).
bool MakeSocketPair(bool messages, UniqueFd &first, UniqueFd &second);

// Sends data as one message with the descriptors fds (at most
// kMaxPassedDescriptors), waiting at most timeoutMs for room.
bool SendMessage(int socket, std::string_view data, const int *fds, size_t fdCount,
                 DWORD timeoutMs);

// Receives one message into buffer (at most room bytes) and at most maxFds
// descriptors, waiting at most timeoutMs (INFINITE: for ever). The length
// (0: the peer closed), or -1. A message longer than room or with more
// descriptors than maxFds fails with EMSGSIZE and leaves nothing open.
long ReceiveMessage(int socket, char *buffer, size_t room, std::vector<UniqueFd> &fds,
                    size_t maxFds, DWORD timeoutMs);

// Whether fd is an open message socket (a descriptor a process may or may
// not have been given at its start).
bool IsMessageSocket(int fd);

// Waits until socket has something to read (or its peer closed), at most
// timeoutMs; false with ERROR_TIMEOUT when nothing came.
bool WaitReadable(int socket, DWORD timeoutMs);

// Makes fd non-blocking (the relay's sockets).
bool SetNonBlocking(int fd);
