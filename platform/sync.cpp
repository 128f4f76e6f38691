// sync: see sync.h. Events are eventfds: a manual-reset event keeps its
// counter nonzero while set; an auto-reset one is consumed by the waiter
// that wins the read.
#include "platform/sync.h"

#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <vector>

ZelEvent::ZelEvent(bool manualReset, bool initiallySignalled) : manualReset_(manualReset) {
  fd_ = eventfd(initiallySignalled ? 1 : 0, EFD_CLOEXEC | EFD_NONBLOCK);
}

ZelEvent::~ZelEvent() {
  if (fd_ >= 0) close(fd_);
}

void ZelEvent::Set() {
  if (fd_ < 0 || IsSet()) return;
  uint64_t one = 1;
  // A racing Set() may add a second count; Reset() drains any count.
  (void)!write(fd_, &one, sizeof one);
}

void ZelEvent::Reset() {
  if (fd_ < 0) return;
  uint64_t v;
  (void)!read(fd_, &v, sizeof v);
}

bool ZelEvent::IsSet() const {
  if (fd_ < 0) return false;
  pollfd p{fd_, POLLIN, 0};
  return poll(&p, 1, 0) == 1 && (p.revents & POLLIN) != 0;
}

bool ZelEvent::Acquire() {
  if (manualReset_) return true;
  uint64_t v;
  return read(fd_, &v, sizeof v) == static_cast<ssize_t>(sizeof v);
}

DWORD WaitForSingleObject(Waitable &object, DWORD timeoutMs) {
  Waitable *one = &object;
  return WaitForMultipleObjects(1, &one, timeoutMs);
}

DWORD WaitForMultipleObjects(DWORD count, Waitable *const *objects, DWORD timeoutMs) {
  std::vector<pollfd> fds(count);
  for (DWORD i = 0; i < count; ++i) fds[i] = pollfd{objects[i]->WaitFd(), POLLIN, 0};
  long long deadline = timeoutMs == INFINITE ? -1 : MonotonicMs() + timeoutMs;
  for (;;) {
    int wait = -1;
    if (deadline >= 0) {
      long long left = deadline - MonotonicMs();
      wait = left > 0 ? static_cast<int>(left) : 0;
    }
    int n = poll(fds.data(), fds.size(), wait);
    if (n < 0) {
      if (errno == EINTR) continue;
      SetLastError(errno);
      return WAIT_FAILED;
    }
    if (n == 0) return WAIT_TIMEOUT;
    for (DWORD i = 0; i < count; ++i) {
      // An auto-reset event may be taken by another waiter between poll and
      // read; then keep waiting.
      if ((fds[i].revents & (POLLIN | POLLHUP | POLLERR)) != 0 && objects[i]->Acquire())
        return WAIT_OBJECT_0 + i;
    }
  }
}

void Sleep(DWORD ms) {
  timespec ts{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
  while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
  }
}

long long NowSeconds() { return static_cast<long long>(time(nullptr)); }

long long MonotonicMs() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

namespace {

std::atomic<unsigned long> g_forkGeneration{0};

}  // namespace

unsigned long ForkGeneration() {
  static const bool registered =
      pthread_atfork(nullptr, nullptr, [] { g_forkGeneration.fetch_add(1); }) == 0;
  (void)registered;
  return g_forkGeneration.load();
}
