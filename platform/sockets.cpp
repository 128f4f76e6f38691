// sockets: see sockets.h.
#include "platform/sockets.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <mutex>

#include "platform/sync.h"

namespace {

// "255.255.255.255" is the longest dotted address.
constexpr size_t kMaxDottedLength = 15;

bool Fail() {
  SetLastError(errno);
  return false;
}

// Errors of accept(2) that belong to one connection, not to the listener:
// Linux reports pending network errors of the new socket through accept.
bool IsTransientAcceptError(int code) {
  switch (code) {
    case EINTR:
    case ECONNABORTED:
    case EPROTO:
    case ENETDOWN:
    case ENOPROTOOPT:
    case EHOSTDOWN:
    case ENONET:
    case EHOSTUNREACH:
    case EOPNOTSUPP:
    case ENETUNREACH:
      return true;
    default:
      return false;
  }
}

// Milliseconds left until deadline (-1: none), as poll wants them.
int MsLeft(long long deadline) {
  if (deadline < 0) return -1;
  return static_cast<int>(
      std::clamp(deadline - MonotonicMs(), 0LL, static_cast<long long>(INT_MAX)));
}

long long DeadlineAfter(DWORD timeoutMs) {
  return timeoutMs == INFINITE ? -1 : MonotonicMs() + timeoutMs;
}

// Waits until fd reports events or the deadline passes: 1 ready, 0 time-out
// (last error ERROR_TIMEOUT), -1 failure.
int WaitSocket(int fd, short events, long long deadline) {
  for (;;) {
    pollfd p{fd, events, 0};
    int n = poll(&p, 1, MsLeft(deadline));
    if (n > 0) return 1;
    if (n < 0 && errno != EINTR) {
      SetLastError(errno);
      return -1;
    }
    if (n == 0 && MsLeft(deadline) == 0) {
      SetLastError(ERROR_TIMEOUT);
      return 0;
    }
  }
}

bool SetBlocking(int fd, bool blocking) {
  int flags = fcntl(fd, F_GETFL);
  if (flags < 0) return Fail();
  int want = blocking ? flags & ~O_NONBLOCK : flags | O_NONBLOCK;
  return want == flags || fcntl(fd, F_SETFL, want) == 0 || Fail();
}

// The outcome of a non-blocking connect that is under way.
bool FinishConnect(int fd, long long deadline) {
  int ready = WaitSocket(fd, POLLOUT, deadline);
  if (ready <= 0) return false;
  int error = 0;
  socklen_t len = sizeof error;
  if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &len) != 0) return Fail();
  if (error != 0) {
    SetLastError(error);
    return false;
  }
  return true;
}

}  // namespace

int CreateTcpSocket(const IpAddress &family) {
  int fd = socket(family.IsV6() ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) SetLastError(errno);
  return fd;
}

bool BindSocket(int fd, const IpAddress &addr, uint16_t port, bool v6Only) {
  int on = 1;
  if (setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0) return Fail();
  if (addr.IsV6()) {
    // Set either way: the system default (net.ipv6.bindv6only) may say otherwise.
    int only = v6Only ? 1 : 0;
    if (setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &only, sizeof only) != 0) return Fail();
  }
  sockaddr_storage sa;
  socklen_t len = ToSockaddr(addr, port, &sa);
  if (len == 0) {
    SetLastError(EAFNOSUPPORT);
    return false;
  }
  if (bind(fd, reinterpret_cast<sockaddr *>(&sa), len) != 0) return Fail();
  return true;
}

bool ListenSocket(int fd, int backlog) {
  if (listen(fd, backlog) != 0) return Fail();
  return true;
}

int CreateListener(const IpAddress &addr, uint16_t port, int backlog, bool v6Only) {
  int fd = CreateTcpSocket(addr);
  if (fd < 0) return -1;
  if (BindSocket(fd, addr, port, v6Only) && ListenSocket(fd, backlog)) return fd;
  long code = GetLastError();
  close(fd);
  SetLastError(code);
  return -1;
}

bool DualStackAvailable() {
  int fd = CreateListener(AnyAddress(AF_INET6), 0, 1);
  if (fd < 0) return false;
  close(fd);
  return true;
}

IpAddress AnyInterface() { return AnyAddress(DualStackAvailable() ? AF_INET6 : AF_INET); }

int AcceptConnection(int listenFd, IpAddress *peer, uint16_t *peerPort) {
  for (;;) {
    sockaddr_storage sa{};
    socklen_t len = sizeof sa;
    int fd = accept4(listenFd, reinterpret_cast<sockaddr *>(&sa), &len, SOCK_CLOEXEC);
    if (fd >= 0) {
      IpAddress a;
      uint16_t port = 0;
      FromSockaddr(reinterpret_cast<sockaddr *>(&sa), &a, &port);
      if (peer != nullptr) *peer = a;
      if (peerPort != nullptr) *peerPort = port;
      return fd;
    }
    if (!IsTransientAcceptError(errno)) {
      SetLastError(errno);
      return -1;
    }
  }
}

bool IsAcceptResourceError(long code) {
  return code == EMFILE || code == ENFILE || code == ENOBUFS || code == ENOMEM;
}

bool ShutdownListener(int fd) {
  if (shutdown(fd, SHUT_RDWR) != 0) return Fail();
  return true;
}

namespace {

// getsockname or getpeername, as an IpAddress.
bool SocketName(int (*call)(int, sockaddr *, socklen_t *), int fd, IpAddress *addr,
                uint16_t *port) {
  sockaddr_storage sa{};
  socklen_t len = sizeof sa;
  if (call(fd, reinterpret_cast<sockaddr *>(&sa), &len) != 0) return Fail();
  IpAddress a;
  if (!FromSockaddr(reinterpret_cast<sockaddr *>(&sa), &a, port)) {
    SetLastError(EAFNOSUPPORT);
    return false;
  }
  if (addr != nullptr) *addr = a;
  return true;
}

}  // namespace

bool GetSocketAddress(int fd, IpAddress *addr, uint16_t *port) {
  return SocketName(getsockname, fd, addr, port);
}

bool GetSocketPeer(int fd, IpAddress *addr, uint16_t *port) {
  return SocketName(getpeername, fd, addr, port);
}

int ConnectSocket(const IpAddress &addr, uint16_t port, DWORD timeoutMs) {
  long long deadline = DeadlineAfter(timeoutMs);
  sockaddr_storage sa;
  socklen_t len = ToSockaddr(addr, port, &sa);
  if (len == 0) {
    SetLastError(EAFNOSUPPORT);
    return -1;
  }
  int fd = socket(sa.ss_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) {
    SetLastError(errno);
    return -1;
  }
  bool ok = connect(fd, reinterpret_cast<sockaddr *>(&sa), len) == 0 ||
            (errno == EINPROGRESS ? FinishConnect(fd, deadline) : Fail());
  if (ok && SetBlocking(fd, true)) return fd;
  long code = GetLastError();
  close(fd);
  SetLastError(code);
  return -1;
}

int ConnectLocalSocket(const std::string &path, DWORD timeoutMs) {
  sockaddr_un sa{};
  static_assert(sizeof sa.sun_path > kMaxLocalSocketPath);
  if (path.empty() || path.size() > kMaxLocalSocketPath || path.find('\0') != std::string::npos) {
    SetLastError(path.empty() || path.size() <= kMaxLocalSocketPath ? EINVAL : ENAMETOOLONG);
    return -1;
  }
  sa.sun_family = AF_UNIX;
  std::memcpy(sa.sun_path, path.data(), path.size());
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) {
    SetLastError(errno);
    return -1;
  }
  // A local connect completes at once, or fails with EAGAIN while the
  // listener's backlog is full: that is waited out like a slow TCP connect.
  long long deadline = DeadlineAfter(timeoutMs);
  bool ok = false;
  for (;;) {
    if (connect(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) == 0) {
      ok = true;
      break;
    }
    if (errno == EINTR) continue;
    if (errno == EINPROGRESS) {
      ok = FinishConnect(fd, deadline);
      break;
    }
    int left = MsLeft(deadline);
    if (errno != EAGAIN || left == 0) {
      SetLastError(errno == EAGAIN ? ERROR_TIMEOUT : errno);
      break;
    }
    Sleep(static_cast<DWORD>(left < 0 ? 10 : std::min(10, left)));
  }
  if (ok && SetBlocking(fd, true)) return fd;
  long code = GetLastError();
  close(fd);
  SetLastError(code);
  return -1;
}

bool SetSocketCork(int fd, bool on) {
  int value = on ? 1 : 0;
  if (setsockopt(fd, IPPROTO_TCP, TCP_CORK, &value, sizeof value) != 0) return Fail();
  return true;
}

// ---- the IPv4 forms

int CreateTcpSocket() { return CreateTcpSocket(AnyAddress(AF_INET)); }

bool BindSocket(int fd, uint32_t addr, uint16_t port) { return BindSocket(fd, IpV4(addr), port); }

int CreateListener(uint32_t addr, uint16_t port, int backlog) {
  return CreateListener(IpV4(addr), port, backlog);
}

int AcceptSocket(int listenFd, uint32_t *peerAddr, uint16_t *peerPort) {
  IpAddress peer;
  int fd = AcceptConnection(listenFd, &peer, peerPort);
  if (fd >= 0 && peerAddr != nullptr) *peerAddr = peer.V4();
  return fd;
}

namespace {

// The IPv4 address of an IpAddress form's answer.
bool V4Of(bool ok, const IpAddress &a, uint32_t *addr) {
  if (!ok) return false;
  if (!a.IsV4()) {
    SetLastError(EAFNOSUPPORT);
    return false;
  }
  if (addr != nullptr) *addr = a.V4();
  return true;
}

}  // namespace

bool GetLocalAddress(int fd, uint32_t *addr, uint16_t *port) {
  IpAddress a;
  return V4Of(GetSocketAddress(fd, &a, port), a, addr);
}

bool GetPeerAddress(int fd, uint32_t *addr, uint16_t *port) {
  IpAddress a;
  return V4Of(GetSocketPeer(fd, &a, port), a, addr);
}

int ConnectSocket(uint32_t addr, uint16_t port, DWORD timeoutMs) {
  return ConnectSocket(IpV4(addr), port, timeoutMs);
}

// ---- either kind

std::string DottedAddress(uint32_t addr) {
  char text[INET_ADDRSTRLEN];
  in_addr in{};
  in.s_addr = addr;
  if (inet_ntop(AF_INET, &in, text, sizeof text) == nullptr) return std::string();
  return text;
}

bool ParseDottedAddress(std::string_view text, uint32_t *addr) {
  if (text.empty() || text.size() > kMaxDottedLength) return false;
  // inet_pton reads up to a NUL: one inside the view would hide a tail.
  if (text.find('\0') != std::string_view::npos) return false;
  char copy[kMaxDottedLength + 1];
  std::memcpy(copy, text.data(), text.size());
  copy[text.size()] = '\0';
  in_addr in{};
  if (inet_pton(AF_INET, copy, &in) != 1) return false;
  *addr = in.s_addr;
  return true;
}

bool SetKeepAlive(int fd, bool on) {
  int value = on ? 1 : 0;
  if (setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &value, sizeof value) != 0) return Fail();
  return true;
}

bool CloseSocket(int fd) {
  // close() releases the descriptor even when it reports an error.
  if (close(fd) != 0 && errno != EINTR) return Fail();
  return true;
}

bool CloseSocketAbortive(int fd) {
  linger lg{1, 0};
  bool ok = setsockopt(fd, SOL_SOCKET, SO_LINGER, &lg, sizeof lg) == 0 || Fail();
  return CloseSocket(fd) && ok;
}

namespace {

// Sends all length bytes; progress moves the deadline on only when
// fromProgress is set.
bool SendAll(int fd, const char *data, size_t length, DWORD timeoutMs, bool fromProgress) {
  size_t done = 0;
  long long deadline = DeadlineAfter(timeoutMs);
  while (done < length) {
    ssize_t n = send(fd, data + done, length - done, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) {
      done += static_cast<size_t>(n);
      if (fromProgress) deadline = DeadlineAfter(timeoutMs);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return Fail();
    if (WaitSocket(fd, POLLOUT, deadline) <= 0) return false;
  }
  return true;
}

}  // namespace

bool SendSocket(int fd, const char *data, size_t length, DWORD timeoutMs) {
  return SendAll(fd, data, length, timeoutMs, true);
}

bool SendSocketWithin(int fd, const char *data, size_t length, DWORD timeoutMs) {
  return SendAll(fd, data, length, timeoutMs, false);
}

long RecvSocket(int fd, char *buffer, size_t length, DWORD timeoutMs) {
  // A 0-byte receive would be indistinguishable from the end of the stream.
  if (length == 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return -1;
  }
  long long deadline = DeadlineAfter(timeoutMs);
  for (;;) {
    ssize_t n = recv(fd, buffer, length, MSG_DONTWAIT);
    if (n >= 0) return static_cast<long>(n);
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) {
      SetLastError(errno);
      return -1;
    }
    if (WaitSocket(fd, POLLIN, deadline) <= 0) return -1;
  }
}

void IgnoreBrokenPipe() {
  static std::once_flag once;
  std::call_once(once, [] {
    struct sigaction old {};
    if (sigaction(SIGPIPE, nullptr, &old) != 0 || old.sa_handler != SIG_DFL) return;
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    (void)sigaction(SIGPIPE, &ignore, nullptr);
  });
}
