// lockdir: the directory lock (LockDir, UnlockDir). The lock file itself,
// and why a crashed holder never keeps a directory locked, is the platform's
// lockfile module.
#include <climits>
#include <string>

#include "platform/lockfile.h"
#include "platform/sync.h"
#include "zelbase/zelbase.h"

namespace {

constexpr const char *kLockFileName = "$LockFile";
// The longest lock path the system can open. A longer one is refused, not
// cut: a cut path names another file, which the lock would create and
// later remove.
constexpr size_t kMaxLockPathLength = PATH_MAX - 1;
// Pause between attempts while another holder has the lock.
constexpr DWORD kLockRetryMs = 100;

// Deadlines count whole seconds of a clock that a change of the system time
// does not move.
long long NowWholeSeconds() { return MonotonicMs() / 1000; }

bool MakeLockPath(const char *Directory, std::string &path) {
  if (Directory == nullptr || *Directory == '\0') {
    errno = ERROR_INVALID_PARAMETER;
    return false;
  }
  path = Directory;
  path += '/';
  path += kLockFileName;
  if (path.size() > kMaxLockPathLength) {
    errno = ENAMETOOLONG;
    return false;
  }
  return true;
}

}  // namespace

extern "C" ZELBASE_API bool LockDir(const char *Directory, int Timeout, ZEL_LOCK_HANDLE *phLock) {
  if (phLock == nullptr) {
    errno = ERROR_INVALID_PARAMETER;
    return false;
  }
  *phLock = INVALID_LOCK_HANDLE;
  std::string path;
  if (!MakeLockPath(Directory, path)) return false;
  // The time-out is honoured to whole seconds: attempts go on while the
  // current second is before the deadline's.
  const long long deadline = NowWholeSeconds() + Timeout / 1000;
  for (;;) {
    long rc = TryLockFile(path, phLock);
    if (rc == ERROR_SUCCESS) return true;
    if (rc != ERROR_ALREADY_EXISTS) {
      errno = static_cast<int>(rc);
      return false;
    }
    Sleep(kLockRetryMs);
    if (Timeout != LOCKDIR_WAIT_FOREVER && NowWholeSeconds() >= deadline) {
      errno = ERROR_ALREADY_EXISTS;
      return false;
    }
  }
}

extern "C" ZELBASE_API bool UnlockDir(const char *Directory, ZEL_LOCK_HANDLE hLock) {
  if (hLock != INVALID_LOCK_HANDLE) ReleaseLockFile(hLock);
  return true;
}
