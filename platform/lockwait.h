// lockwait: the exclusive flock of an open file, waited for not at all,
// without limit, or up to a deadline, with no polling.
//
// flock(2) blocks for ever or not at all. A bounded wait therefore blocks in
// flock on a helper thread while the caller waits on a condition variable
// until the deadline: it wakes when the lock is taken, not on a clock. When
// the time runs out the caller cancels the helper and waits for it to end
// before it returns, so a wait that gave up leaves nothing behind: no
// request queued in the kernel that could take the lock later, and no
// moment at which this process holds a lock that nobody wants (others would
// see it held by nobody). The helper blocks on the caller's own open file
// description, so a lock the kernel granted just as the cancellation came
// is the caller's, not a stray one: the caller finds it with a last
// non-blocking attempt and keeps it (the wait then succeeded at its
// deadline). The helper's cancellation is the C library's thread
// cancellation, which only that thread sees: no signal handler of the
// process is touched, and no other thread is disturbed.
//
// Callers: platform/lockfile (directory locks, recipient file locks) and
// platform/namedmutex. fd is the caller's own description of the lock file
// (one per attempt, which is what makes two threads of one process exclude
// each other).
//
// Threads: thread-safe; each bounded wait has one helper thread for its own
// duration and no state outlives the call, so a forked child inherits
// nothing.
//
// Failures: ERROR_TIMEOUT while another description holds the lock (at
// once for a time-out of 0), the errno of flock (EINTR never: it is
// retried), or the error of starting the helper thread.
#pragma once

#include "platform/errors.h"

// The time-out that waits as long as it takes.
constexpr long long kLockWaitForever = -1;

// Takes the exclusive flock of the open file description fd, waiting up to
// timeoutMs for its holder (0: one attempt, kLockWaitForever: no limit).
// ERROR_SUCCESS: fd holds it. Otherwise fd holds nothing, and nothing this
// call started can take it afterwards.
long FlockWithin(int fd, long long timeoutMs);
