// localipc: see localipc.h.
#include "platform/localipc.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include "platform/sync.h"

namespace {

bool Fail(long error) {
  SetLastError(error);
  return false;
}

// Waits for events on socket; false with ERROR_TIMEOUT or the poll's error.
bool WaitFor(int socket, short events, DWORD timeoutMs) {
  long long deadline = timeoutMs == INFINITE ? 0 : MonotonicMs() + timeoutMs;
  for (;;) {
    int wait = -1;
    if (timeoutMs != INFINITE) {
      long long left = deadline - MonotonicMs();
      if (left < 0) left = 0;
      wait = static_cast<int>(left);
    }
    struct pollfd p = {socket, events, 0};
    int n = poll(&p, 1, wait);
    if (n > 0) return true;
    if (n == 0) return Fail(ERROR_TIMEOUT);
    if (errno != EINTR) return Fail(errno);
  }
}

void CloseAll(struct msghdr &msg) {
  for (struct cmsghdr *c = CMSG_FIRSTHDR(&msg); c != nullptr; c = CMSG_NXTHDR(&msg, c)) {
    if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_RIGHTS) continue;
    size_t n = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
    const unsigned char *data = CMSG_DATA(c);
    for (size_t i = 0; i < n; ++i) {
      int fd;
      memcpy(&fd, data + i * sizeof(int), sizeof fd);
      close(fd);
    }
  }
}

}  // namespace

bool MakeSocketPair(bool messages, UniqueFd &first, UniqueFd &second) {
  int fds[2];
  int type = (messages ? SOCK_SEQPACKET : SOCK_STREAM) | SOCK_CLOEXEC;
  if (socketpair(AF_UNIX, type, 0, fds) != 0) return Fail(errno);
  first.Reset(fds[0]);
  second.Reset(fds[1]);
  return true;
}

bool IsMessageSocket(int fd) {
  int type = 0;
  socklen_t length = sizeof type;
  return fd >= 0 && getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &length) == 0 &&
         type == SOCK_SEQPACKET;
}

bool SendMessage(int socket, std::string_view data, const int *fds, size_t fdCount,
                 DWORD timeoutMs) {
  if (fdCount > kMaxPassedDescriptors) return Fail(EMSGSIZE);
  struct iovec iov = {const_cast<char *>(data.data()), data.size()};
  alignas(struct cmsghdr) char control[CMSG_SPACE(sizeof(int) * kMaxPassedDescriptors)] = {};
  struct msghdr msg = {};
  msg.msg_iov = &iov;
  msg.msg_iovlen = 1;
  if (fdCount > 0) {
    msg.msg_control = control;
    msg.msg_controllen = CMSG_SPACE(sizeof(int) * fdCount);
    struct cmsghdr *c = CMSG_FIRSTHDR(&msg);
    c->cmsg_level = SOL_SOCKET;
    c->cmsg_type = SCM_RIGHTS;
    c->cmsg_len = CMSG_LEN(sizeof(int) * fdCount);
    memcpy(CMSG_DATA(c), fds, sizeof(int) * fdCount);
  }
  for (;;) {
    ssize_t n = sendmsg(socket, &msg, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n == static_cast<ssize_t>(data.size())) return true;
    if (n >= 0) return Fail(EMSGSIZE);   // a message socket sends all or nothing
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) return Fail(errno);
    if (!WaitFor(socket, POLLOUT, timeoutMs)) return false;
  }
}

long ReceiveMessage(int socket, char *buffer, size_t room, std::vector<UniqueFd> &fds,
                    size_t maxFds, DWORD timeoutMs) {
  fds.clear();
  alignas(struct cmsghdr) char control[CMSG_SPACE(sizeof(int) * kMaxPassedDescriptors)] = {};
  for (;;) {
    struct iovec iov = {buffer, room};
    struct msghdr msg = {};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control;
    msg.msg_controllen = sizeof control;
    ssize_t n = recvmsg(socket, &msg, MSG_DONTWAIT | MSG_CMSG_CLOEXEC);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      if (!WaitFor(socket, POLLIN, timeoutMs)) return -1;
      continue;
    }
    if (n < 0) {
      SetLastError(errno);
      return -1;
    }
    size_t count = 0;
    for (struct cmsghdr *c = CMSG_FIRSTHDR(&msg); c != nullptr; c = CMSG_NXTHDR(&msg, c)) {
      if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_RIGHTS)
        count += (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
    }
    if ((msg.msg_flags & (MSG_TRUNC | MSG_CTRUNC)) != 0 || count > maxFds) {
      CloseAll(msg);
      SetLastError(EMSGSIZE);
      return -1;
    }
    for (struct cmsghdr *c = CMSG_FIRSTHDR(&msg); c != nullptr; c = CMSG_NXTHDR(&msg, c)) {
      if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_RIGHTS) continue;
      size_t k = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
      for (size_t i = 0; i < k; ++i) {
        int fd;
        memcpy(&fd, CMSG_DATA(c) + i * sizeof(int), sizeof fd);
        fds.emplace_back(fd);
      }
    }
    return static_cast<long>(n);
  }
}

bool WaitReadable(int socket, DWORD timeoutMs) { return WaitFor(socket, POLLIN, timeoutMs); }

bool SetNonBlocking(int fd) {
  int flags = fcntl(fd, F_GETFL);
  if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0) return Fail(errno);
  return true;
}
