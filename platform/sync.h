// sync: waitable events, and waiting on several waitable objects at once.
//
// An event is manual-reset or auto-reset, signalled or not, as the services
// have always used them (the stop event, the pause gate). Every waitable
// object exposes a file descriptor that is readable exactly while the object
// is signalled, so one poll() can wait on events, change notifications and
// sockets together (WaitForMultipleObjects).
//
// Events are thread-safe and may be shared by all threads of a process. An
// event must outlive every thread that waits on it.
#pragma once

#include <chrono>

#include "platform/errors.h"

constexpr DWORD INFINITE = 0xFFFFFFFF;
constexpr DWORD WAIT_OBJECT_0 = 0;
constexpr DWORD WAIT_TIMEOUT = 258;
constexpr DWORD WAIT_FAILED = 0xFFFFFFFF;

// Anything that can be waited on: readable fd == signalled.
class Waitable {
 public:
  virtual ~Waitable() = default;
  virtual int WaitFd() const = 0;
  // Called after a wait found the object signalled (auto-reset consumes it).
  virtual bool Acquire() { return true; }
};

class ZelEvent : public Waitable {
 public:
  // Fails only when the kernel cannot give an eventfd; check Valid().
  ZelEvent(bool manualReset, bool initiallySignalled);
  ~ZelEvent() override;
  ZelEvent(const ZelEvent &) = delete;
  ZelEvent &operator=(const ZelEvent &) = delete;

  bool Valid() const { return fd_ >= 0; }
  void Set();
  void Reset();
  bool IsSet() const;
  int WaitFd() const override { return fd_; }
  bool Acquire() override;

 private:
  int fd_ = -1;
  bool manualReset_;
};

// Waits for one object; WAIT_OBJECT_0, WAIT_TIMEOUT or WAIT_FAILED.
DWORD WaitForSingleObject(Waitable &object, DWORD timeoutMs);
// Waits until any of count objects is signalled: WAIT_OBJECT_0 + index of the
// first signalled one, WAIT_TIMEOUT or WAIT_FAILED.
DWORD WaitForMultipleObjects(DWORD count, Waitable *const *objects, DWORD timeoutMs);

void Sleep(DWORD ms);
// Seconds since the epoch, for deadlines kept in whole seconds.
long long NowSeconds();
// Milliseconds of a monotonic clock.
long long MonotonicMs();
// A number that is different in every child that fork() makes from this
// process (and in its children): state kept per process, such as a block of
// reserved identifiers, compares it to tell whether it was inherited.
unsigned long ForkGeneration();
