// lockwait: see lockwait.h.
//
// The helper runs flock with asynchronous cancellation enabled, so that a
// cancellation stops it wherever it is: before the call, blocked inside it,
// or just after the kernel granted the lock. Only the first two are a
// timely give-up; the third leaves the lock on the caller's description,
// which is why the caller looks once more (non-blocking) after the helper
// has ended, and keeps what it finds. Nothing the helper does while it can
// be cancelled takes a lock of the C library or allocates: it makes the
// flock system call and stores to its own stack. Its first flock is a
// non-blocking one with cancellation still deferred, which also binds the
// symbol before the cancellable part (a lazy binding there could be cut
// short while it holds the dynamic linker's lock).
#include "platform/lockwait.h"

#include <pthread.h>
#include <sys/file.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <mutex>

namespace {

// A helper only blocks in flock (plus the unwinding of a cancellation).
constexpr size_t kHelperStackBytes = 64 * 1024;

// What the caller and its helper share; it lives on the caller's stack,
// which outlives the helper (the caller joins it).
struct FlockWait {
  int fd = -1;
  std::mutex mu;
  std::condition_variable finished;
  bool done = false;   // the helper's flock returned, with err
  int err = 0;
};

int FlockOnce(int fd, bool wait) {
  while (flock(fd, LOCK_EX | (wait ? 0 : LOCK_NB)) != 0) {
    if (errno != EINTR) return errno;
  }
  return 0;
}

void *FlockHelper(void *arg) {
  auto *w = static_cast<FlockWait *>(arg);
  int ignored;
  int err = FlockOnce(w->fd, false);
  if (err == EWOULDBLOCK) {
    pthread_setcanceltype(PTHREAD_CANCEL_ASYNCHRONOUS, &ignored);   // acts on a pending cancel
    err = FlockOnce(w->fd, true);
  }
  pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &ignored);
  std::lock_guard<std::mutex> guard(w->mu);
  w->done = true;
  w->err = err;
  w->finished.notify_all();
  return nullptr;
}

// Starts the helper, joinable, on a small stack; 0 or the error.
int StartHelper(FlockWait &w, pthread_t *thread) {
  pthread_attr_t attr;
  if (int rc = pthread_attr_init(&attr); rc != 0) return rc;
  int rc = pthread_attr_setstacksize(&attr, kHelperStackBytes);
  if (rc == 0) rc = pthread_create(thread, &attr, FlockHelper, &w);
  pthread_attr_destroy(&attr);
  return rc;
}

long BoundedFlock(int fd, long long timeoutMs) {
  FlockWait w;
  w.fd = fd;
  pthread_t helper;
  if (int rc = StartHelper(w, &helper); rc != 0) return rc;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  bool done;
  {
    std::unique_lock<std::mutex> lock(w.mu);
    done = w.finished.wait_until(lock, deadline, [&] { return w.done; });
  }
  if (!done) pthread_cancel(helper);
  pthread_join(helper, nullptr);
  // Read after the join: the helper is gone, whichever way it ended.
  // Cancelled: the lock may have been granted just before, or be free by now.
  int err = w.done ? w.err : FlockOnce(fd, false);
  return err == EWOULDBLOCK ? ERROR_TIMEOUT : err;
}

}  // namespace

long FlockWithin(int fd, long long timeoutMs) {
  if (timeoutMs == kLockWaitForever) return FlockOnce(fd, true);
  int err = FlockOnce(fd, false);
  if (err != EWOULDBLOCK) return err;
  return timeoutMs > 0 ? BoundedFlock(fd, timeoutMs) : ERROR_TIMEOUT;
}
