// lockfile: a lock file that exists exactly while its holder has it, and
// whose holder's death frees it.
//
// The directory lock of zelbase (LockDir/UnlockDir) is held as the file
// "$LockFile" inside the locked directory. The file is created exclusively
// and its holder keeps an exclusive flock on it; releasing removes the file,
// then closes it. A holder that dies leaves the file behind, but the kernel
// drops its flock, and the next taker finds the file unlocked and adopts it.
// So the holder of the lock is whoever holds the flock on the file that the
// path names at this moment; every taker checks after its flock that the path
// still names the file it locked (a releaser may have removed it meanwhile).
//
// Waiting for a held lock blocks in flock itself (the holder's release or
// death wakes the waiter); a bounded wait does so in a helper thread
// (platform/lockwait), so nothing ever sleeps and retries, and a wait that
// timed out leaves nothing behind that could take the lock later.
//
// The same flock guards a spool file that exists for its own sake (a
// recipient file): TryLockExistingFile flocks the file that the path names
// without creating or removing anything, and checks afterwards that the path
// still names it (a writer may have replaced it by a rename meanwhile);
// LockExistingFileWithin waits for it as LockFileWithin does.
//
// Callers: zelbase only (lock files); the delivery agent and zeladm for
// recipient files (common/spoolqueue). The path comes from the services' configuration
// (spool and mailbox directories), not from the network.
//
// Threads: every attempt opens its own file description, so two threads of
// one process exclude each other just as two processes do. The functions are
// thread-safe. A descriptor returned by TryLockFile belongs to the caller
// until ReleaseLockFile; it is close-on-exec. A forked child shares the
// parent's lock until both have closed it, so do not fork while holding one.
//
// Failures are errno values: EEXIST while another holder has the lock (for
// LockFileWithin: still had it when the time ran out), ENOENT or ENOTDIR
// when the directory is missing, EACCES, ELOOP for a symbolic link in the
// lock file's place, EINVAL when something other than a regular file has
// taken the name.
#pragma once

#include <string>

#include "platform/errors.h"
#include "platform/lockwait.h"

// Makes one attempt to take the lock file at path. On ERROR_SUCCESS *fd holds
// the lock; otherwise *fd is -1 and the result tells why.
long TryLockFile(const std::string &path, int *fd);

// Takes the lock file at path, waiting up to timeoutMs for its holder (0 or
// less: one attempt, kLockWaitForever: no limit). Otherwise as TryLockFile.
long LockFileWithin(const std::string &path, long long timeoutMs, int *fd);

// Releases a lock taken by TryLockFile or LockFileWithin: removes the file
// (if the path still names it), then closes the descriptor. A descriptor
// that they did not hand out is left alone and gives false.
bool ReleaseLockFile(int fd);

// One attempt to flock the existing regular file at path. ERROR_SUCCESS: *fd
// holds the lock until it is closed. ERROR_FILE_NOT_FOUND: no such file (it
// may have just been removed). ERROR_ALREADY_EXISTS: another holder has it
// (or it kept being replaced). Other errno values as open gives them.
long TryLockExistingFile(const std::string &path, int *fd);
// The same, waiting up to timeoutMs for the holder (0: one attempt,
// kLockWaitForever: no limit); ERROR_ALREADY_EXISTS when the time ran out.
long LockExistingFileWithin(const std::string &path, long long timeoutMs, int *fd);
