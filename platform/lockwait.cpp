// lockwait: see lockwait.h.
//
// One record per acquisition in flight, keyed by the acquisition and the
// lock's name. The helper sets it done and, if nobody waits any more,
// releases what it took; otherwise the first waiter to look claims the lock
// and the others start (or join) the next acquisition.
#include "platform/lockwait.h"

#include <pthread.h>

#include <chrono>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <utility>

#include "platform/thread.h"

namespace {

// A helper only opens a file and blocks in flock.
constexpr size_t kHelperStackBytes = 64 * 1024;

struct Pending {
  bool done = false;
  long rc = ERROR_SUCCESS;
  int fd = -1;       // the lock taken, until a waiter claims it
  int waiters = 0;   // waiting for this acquisition now
};

typedef std::pair<BlockingAcquire, std::string> PendingKey;

struct Helpers {
  std::mutex mu;
  std::condition_variable finished;
  std::map<PendingKey, std::shared_ptr<Pending>> pending;
};

// Never destroyed: a detached helper may still finish while the process exits.
Helpers &TheHelpers() {
  static Helpers *helpers = [] {
    auto *h = new Helpers;
    // A child of fork has none of the parent's helpers running: their
    // records would never finish there.
    pthread_atfork([] { TheHelpers().mu.lock(); }, [] { TheHelpers().mu.unlock(); },
                   [] {
                     Helpers &c = TheHelpers();
                     c.pending.clear();
                     c.mu.unlock();
                   });
    return h;
  }();
  return *helpers;
}

void RunHelper(const PendingKey &key, const std::shared_ptr<Pending> &p, LockRelease release) {
  int fd = -1;
  long rc = key.first(key.second, &fd);
  Helpers &h = TheHelpers();
  std::lock_guard<std::mutex> guard(h.mu);
  auto it = h.pending.find(key);
  if (it != h.pending.end() && it->second == p) h.pending.erase(it);
  p->done = true;
  p->rc = rc;
  p->fd = fd;
  if (p->waiters == 0 && fd >= 0) {
    release(fd);   // everyone gave up: the lock goes back at once
    p->fd = -1;
  }
  h.finished.notify_all();
}

}  // namespace

long AcquireWithin(const std::string &key, long long timeoutMs, BlockingAcquire acquire,
                   LockRelease release, int *fd) {
  *fd = -1;
  Helpers &h = TheHelpers();
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  std::unique_lock<std::mutex> lock(h.mu);
  for (;;) {
    const PendingKey pk{acquire, key};
    std::shared_ptr<Pending> p = h.pending[pk];
    if (p == nullptr) {
      p = std::make_shared<Pending>();
      if (!StartThread([pk, p, release] { RunHelper(pk, p, release); }, kHelperStackBytes)) {
        h.pending.erase(pk);
        return GetLastError();
      }
      h.pending[pk] = p;
    }
    ++p->waiters;
    bool done = h.finished.wait_until(lock, deadline, [&] { return p->done; });
    --p->waiters;
    if (!done) return ERROR_TIMEOUT;
    if (p->rc != ERROR_SUCCESS) return p->rc;
    if (p->fd >= 0) {
      *fd = std::exchange(p->fd, -1);
      return ERROR_SUCCESS;
    }
    // Another waiter of this process took that one: wait for the next.
  }
}
