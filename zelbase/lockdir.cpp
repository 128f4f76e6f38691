// lockdir: the directory lock (LockDir, UnlockDir). The lock file itself,
// and why a crashed holder never keeps a directory locked, is the platform's
// lockfile module.
#include <climits>
#include <string>

#include "platform/lockfile.h"
#include "zelbase/zelbase.h"

namespace {

constexpr const char *kLockFileName = "$LockFile";
// The longest lock path the system can open. A longer one is refused, not
// cut: a cut path names another file, which the lock would create and
// later remove.
constexpr size_t kMaxLockPathLength = PATH_MAX - 1;

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
  // Waiting blocks on the lock itself, so the time-out is honoured to the
  // millisecond; -1 has no limit, and any other negative value makes one
  // attempt.
  long long wait = Timeout == LOCKDIR_WAIT_FOREVER ? kLockWaitForever : Timeout < 0 ? 0 : Timeout;
  long rc = LockFileWithin(path, wait, phLock);
  if (rc == ERROR_SUCCESS) return true;
  errno = static_cast<int>(rc);
  return false;
}

extern "C" ZELBASE_API bool UnlockDir(const char *Directory, ZEL_LOCK_HANDLE hLock) {
  if (hLock != INVALID_LOCK_HANDLE) ReleaseLockFile(hLock);
  return true;
}
