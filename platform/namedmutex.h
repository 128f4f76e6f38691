// namedmutex: a mutex shared by all processes of the system, known by name.
//
// The services serialise a few cross-process updates (the message-identifier
// counter) with a named mutex. Here the mutex called N is an exclusive flock
// on the file $ZEL_ROOT/var/lib/zel/mutex/N (MutexDirectory(); created when
// missing). The kernel drops a flock when its holder's process ends, however
// it ends, so a crashed holder never leaves the mutex taken. The files are
// never removed: removing one while another process waits on it would let
// two holders meet on two different files.
//
// Callers: zelbase (the identifier counter). Names are the system's own
// constants, never network input; a name that could leave the mutex
// directory ("", ".", "..", or containing "/") is refused.
//
// Threads: one NamedMutexLock is one acquisition and belongs to one thread at
// a time. Every acquisition opens its own file description, so two threads of
// one process exclude each other just as two processes do. The mutex is not
// recursive: a thread that waits for a mutex it already holds through another
// NamedMutexLock waits until its time-out.
//
// Failures: Wait returns WAIT_TIMEOUT when the time ran out, WAIT_FAILED with
// the error in GetLastError() (EINVAL for a bad name, or the errno of the
// directory or file).
#pragma once

#include <string>
#include <string_view>

#include "platform/errors.h"
#include "platform/files.h"
#include "platform/sync.h"

// Longest mutex name: one file name.
constexpr size_t kMaxMutexNameLength = 255;

// The file that stands for the mutex called name ("" when the name is refused).
std::string NamedMutexPath(std::string_view name);

// Owns one acquisition of a named mutex; releases it when destroyed.
class NamedMutexLock {
 public:
  NamedMutexLock() = default;
  NamedMutexLock(NamedMutexLock &&) noexcept = default;
  NamedMutexLock &operator=(NamedMutexLock &&) noexcept = default;

  // Waits up to timeoutMs (INFINITE: for ever) for the mutex called name.
  // WAIT_OBJECT_0 when this object now holds it, WAIT_TIMEOUT or WAIT_FAILED.
  // An object that already holds a mutex releases it first.
  DWORD Wait(std::string_view name, DWORD timeoutMs);
  bool Held() const { return fd_.Valid(); }
  // Closing the only descriptor of the file description drops the flock.
  void Release() { fd_.Reset(); }

 private:
  UniqueFd fd_;
};
