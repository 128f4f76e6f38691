// lockwait: a bounded wait for a lock that the kernel only lets a caller
// wait for without limit (flock), with no polling.
//
// flock(2) blocks for ever or not at all, and breaking a blocked call with a
// timer signal would disturb the other threads of a service (and of a
// library's host process). So a bounded wait hands the blocking acquisition
// to a helper thread and waits on a condition variable until the deadline:
// it wakes when the lock is taken, not on a clock. A waiter that gives up
// leaves the acquisition running; whatever the helper takes afterwards is
// handed to the next waiter of this process for the same lock, or released
// at once when nobody waits. So a process keeps at most one helper per
// contended lock, however long a holder keeps it and however many waits
// time out meanwhile.
//
// Callers: platform/lockfile (directory locks) and platform/namedmutex. The
// key names the lock (its file's path); it comes from the system's own
// configuration and constants.
//
// Threads: thread-safe. A helper is a detached thread that owns its
// acquisition until a waiter claims it. A forked child knows nothing of its
// parent's helpers (they do not run in it) and starts its own.
//
// Failures: ERROR_TIMEOUT when the time ran out, the acquisition's own
// error, or the error of starting the helper thread.
#pragma once

#include <string>

#include "platform/errors.h"

// A blocking acquisition: takes the lock named key, waiting as long as it
// takes; ERROR_SUCCESS with *fd holding the lock, or an error (then *fd is
// -1). Releasing is release(*fd).
typedef long (*BlockingAcquire)(const std::string &key, int *fd);
typedef void (*LockRelease)(int fd);

// Waits up to timeoutMs (more than 0) for acquire(key) in a helper thread.
// ERROR_SUCCESS with *fd holding the lock, else *fd is -1.
long AcquireWithin(const std::string &key, long long timeoutMs, BlockingAcquire acquire,
                   LockRelease release, int *fd);
