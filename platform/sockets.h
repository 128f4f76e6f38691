// sockets: the few IPv4 TCP socket calls the services make, in the spirit of
// Winsock but small.
//
// Callers: the listening threads of the receiver and the POP3 server
// (create, bind, listen, accept, addresses, keep-alive, close), the SMTP
// client and DNS over TCP of the delivery agent (connect, send and receive
// with time-outs). Sockets driven by the completion port use platform/iocp
// for their I/O instead.
//
// Addresses are 32-bit IPv4 addresses in network order (as in the local host
// table); ports are in host order. Untrusted input: the dotted text given to
// ParseDottedAddress (a domain literal, a configuration value), which is
// bounded and strictly checked.
//
// Every socket is created close-on-exec. The calls keep no state and are
// thread-safe. Failures return -1 or false with the thread's last error set
// to the errno value (ERROR_TIMEOUT when a time-out ran out). Writing to a
// socket whose peer has gone never raises SIGPIPE.
//
// There is deliberately no call that sets the send buffer to 0: on Linux
// that does not send from the caller's buffer, it shrinks the kernel buffer
// to its minimum and slows every reply.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/errors.h"

// An IPv4 stream socket; -1 on failure.
int CreateTcpSocket();
// Binds to addr (0: any address) and port, with SO_REUSEADDR so that a
// restarted service can bind while old connections sit in TIME_WAIT.
bool BindSocket(int fd, uint32_t addr, uint16_t port);
bool ListenSocket(int fd, int backlog);
// The three steps above; the listening socket or -1 (nothing left open).
int CreateListener(uint32_t addr, uint16_t port, int backlog);

// Blocking accept: the new socket (blocking, close-on-exec) with the peer's
// address and port, or -1. A connection that the peer aborted before it was
// accepted, or that hit a transient network error, is skipped and the wait
// goes on; it never fails the listener.
int AcceptSocket(int listenFd, uint32_t *peerAddr, uint16_t *peerPort = nullptr);
// Makes an accept blocked on fd (in any thread) return -1 at once, and every
// later one too (Linux: shutdown() of a listening socket). Closing the socket
// alone would leave the blocked accept waiting.
bool ShutdownListener(int fd);

// getsockname / getpeername.
bool GetLocalAddress(int fd, uint32_t *addr, uint16_t *port = nullptr);
bool GetPeerAddress(int fd, uint32_t *addr, uint16_t *port = nullptr);

// "a.b.c.d" for an address in network order.
std::string DottedAddress(uint32_t addr);
// Strict dotted-decimal (four decimal parts 0-255, no leading zeros, nothing
// around it); false for anything else, *addr untouched.
bool ParseDottedAddress(std::string_view text, uint32_t *addr);

bool SetKeepAlive(int fd, bool on = true);

// Graceful close: the peer sees the end of the stream after what was sent.
bool CloseSocket(int fd);
// Abortive close (linger on with time 0): the peer sees a reset and unsent
// data is dropped.
bool CloseSocketAbortive(int fd);

// Connects to addr:port, waiting at most timeoutMs (INFINITE for the
// system's own limit). The connected socket is blocking; -1 on failure
// (ERROR_TIMEOUT, ECONNREFUSED, ...).
int ConnectSocket(uint32_t addr, uint16_t port, DWORD timeoutMs);
// Sends all length bytes. The time-out runs from the last progress, so a
// large send over a slow link is not cut while data keeps moving.
bool SendSocket(int fd, const char *data, size_t length, DWORD timeoutMs);
// Receives what one recv gives, at most length bytes, waiting at most
// timeoutMs for it: the count, 0 at the end of the stream, -1 on failure.
long RecvSocket(int fd, char *buffer, size_t length, DWORD timeoutMs);

// SIGPIPE is ignored for the process (unless someone installed a handler):
// sendfile has no flag to suppress it. Called by the completion port.
void IgnoreBrokenPipe();
