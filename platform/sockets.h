// sockets: the few TCP socket calls the services make, in the spirit of
// Winsock but small, for IPv4 and IPv6.
//
// Callers: the network engine's listeners (create, bind, listen, accept,
// addresses, keep-alive, close), the SMTP client and DNS over TCP of the
// delivery agent (connect, send and receive with time-outs). Sockets driven
// by the completion port use platform/iocp for their I/O instead.
//
// Two forms. The IpAddress forms (platform/ipaddr) serve both families: a
// listener on "::" is dual stack (IPv4 clients arrive as IPv4-mapped
// addresses, which IpAddress turns back into IPv4) unless it is asked to be
// IPv6 only. The older forms take 32-bit IPv4 addresses in network order
// (as the DNS client and the SMTP client still hold them) and stand on the
// IpAddress forms. Ports are in host order. Untrusted input: the dotted text
// given to ParseDottedAddress (a domain literal, a configuration value),
// which is bounded and strictly checked; peer addresses come from the
// kernel.
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
#include "platform/ipaddr.h"

// ---- Both families

// A stream socket of the address's family; -1 on failure.
int CreateTcpSocket(const IpAddress &family);
// Binds to addr and port, with SO_REUSEADDR so that a restarted service can
// bind while old connections sit in TIME_WAIT. An IPv6 socket takes IPv4
// clients too (IPV6_V6ONLY off, whatever the system default) unless v6Only.
bool BindSocket(int fd, const IpAddress &addr, uint16_t port, bool v6Only = false);
// Socket, bind and listen; the listening socket or -1 (nothing left open).
int CreateListener(const IpAddress &addr, uint16_t port, int backlog, bool v6Only = false);
// Can this host listen on "::" for both families? False when the kernel has
// no IPv6 (booted without it).
bool DualStackAvailable();
// All interfaces: "::" when DualStackAvailable, else 0.0.0.0.
IpAddress AnyInterface();

// Blocking accept: the new socket (blocking, close-on-exec) with the peer's
// address (an IPv4 client of a dual-stack listener as IPv4) and port, or -1.
// A connection that the peer aborted before it was accepted, or that hit a
// transient network error, is skipped and the wait goes on. Running out of
// descriptors or memory (EMFILE, ENFILE, ENOBUFS, ENOMEM) is returned: the
// caller decides how to wait (IsAcceptResourceError).
int AcceptConnection(int listenFd, IpAddress *peer, uint16_t *peerPort = nullptr);
bool IsAcceptResourceError(long code);

// getsockname / getpeername of either family.
bool GetSocketAddress(int fd, IpAddress *addr, uint16_t *port = nullptr);
bool GetSocketPeer(int fd, IpAddress *addr, uint16_t *port = nullptr);

// Connects to addr:port, waiting at most timeoutMs (INFINITE for the
// system's own limit). The connected socket is blocking; -1 on failure
// (ERROR_TIMEOUT, ECONNREFUSED, ...).
int ConnectSocket(const IpAddress &addr, uint16_t port, DWORD timeoutMs);

// A local (Unix domain) stream socket by path, for services such as mail
// filters that listen on one; the path holds at most kMaxLocalSocketPath
// bytes (ENAMETOOLONG beyond). The connected socket is blocking; -1 on
// failure (ENOENT, ECONNREFUSED, EACCES, ERROR_TIMEOUT when its backlog
// stays full for timeoutMs).
constexpr size_t kMaxLocalSocketPath = 107;
int ConnectLocalSocket(const std::string &path, DWORD timeoutMs);

// TCP_CORK: while on, sends are held back until they fill a segment;
// turning it off sends what is held at once.
bool SetSocketCork(int fd, bool on);

// ---- IPv4 with 32-bit addresses (network order)

// An IPv4 stream socket; -1 on failure.
int CreateTcpSocket();
// Binds to addr (0: any address) and port, as the IpAddress form.
bool BindSocket(int fd, uint32_t addr, uint16_t port);
// The IPv4 listener of CreateListener above.
int CreateListener(uint32_t addr, uint16_t port, int backlog);
// AcceptConnection for an IPv4 listener (an IPv6 peer reads as 0).
int AcceptSocket(int listenFd, uint32_t *peerAddr, uint16_t *peerPort = nullptr);
// getsockname / getpeername of an IPv4 socket (EAFNOSUPPORT for IPv6).
bool GetLocalAddress(int fd, uint32_t *addr, uint16_t *port = nullptr);
bool GetPeerAddress(int fd, uint32_t *addr, uint16_t *port = nullptr);
// ConnectSocket to an IPv4 address.
int ConnectSocket(uint32_t addr, uint16_t port, DWORD timeoutMs);

// ---- Either kind of socket

bool ListenSocket(int fd, int backlog);
// Makes an accept blocked on fd (in any thread) return -1 at once, and every
// later one too (Linux: shutdown() of a listening socket). Closing the socket
// alone would leave the blocked accept waiting.
bool ShutdownListener(int fd);

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

// Sends all length bytes. The time-out runs from the last progress, so a
// large send over a slow link is not cut while data keeps moving.
bool SendSocket(int fd, const char *data, size_t length, DWORD timeoutMs);
// Sends all length bytes within timeoutMs in all: a peer that takes a byte
// at a time cannot stretch it (ERROR_TIMEOUT when it runs out).
bool SendSocketWithin(int fd, const char *data, size_t length, DWORD timeoutMs);
// Receives what one recv gives, at most length bytes, waiting at most
// timeoutMs for it: the count, 0 at the end of the stream, -1 on failure.
long RecvSocket(int fd, char *buffer, size_t length, DWORD timeoutMs);

// SIGPIPE is ignored for the process (unless someone installed a handler):
// sendfile has no flag to suppress it. Called by the completion port.
void IgnoreBrokenPipe();
