// thread: see thread.h.
#include "platform/thread.h"

#include <limits.h>
#include <pthread.h>

#include <memory>

#include "platform/errors.h"

namespace {

void *RunBody(void *arg) {
  std::unique_ptr<std::function<void()>> body(static_cast<std::function<void()> *>(arg));
  (*body)();
  return nullptr;
}

// Owns a thread attribute object.
struct ThreadAttr {
  pthread_attr_t attr;
  bool ok;
  ThreadAttr() : ok(pthread_attr_init(&attr) == 0) {}
  ~ThreadAttr() {
    if (ok) pthread_attr_destroy(&attr);
  }
};

}  // namespace

bool StartThread(std::function<void()> body, size_t stackBytes) {
  ThreadAttr a;
  if (!a.ok) {
    SetLastError(ENOMEM);
    return false;
  }
  if (stackBytes < static_cast<size_t>(PTHREAD_STACK_MIN)) stackBytes = PTHREAD_STACK_MIN;
  int rc = pthread_attr_setstacksize(&a.attr, stackBytes);
  if (rc == 0) rc = pthread_attr_setdetachstate(&a.attr, PTHREAD_CREATE_DETACHED);
  if (rc != 0) {
    SetLastError(rc);
    return false;
  }
  auto owned = std::make_unique<std::function<void()>>(std::move(body));
  pthread_t thread;
  rc = pthread_create(&thread, &a.attr, RunBody, owned.get());
  if (rc != 0) {
    SetLastError(rc);
    return false;
  }
  owned.release();   // the thread owns it now
  return true;
}

bool StartCountedThread(std::mutex &lock, unsigned &threads, std::function<void()> body,
                        size_t stackBytes) {
  {
    std::lock_guard<std::mutex> g(lock);
    ++threads;
  }
  if (StartThread(std::move(body), stackBytes)) return true;
  long error = GetLastError();
  {
    std::lock_guard<std::mutex> g(lock);
    --threads;
  }
  SetLastError(error);
  return false;
}
