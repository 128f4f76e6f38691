// namedmutex: see namedmutex.h.
//
// A wait for ever blocks in flock(); a bounded wait blocks in flock() in a
// helper thread (platform/lockwait), since flock has no time-out of its own
// and a signal-driven one would disturb the other threads of a service.
#include "platform/namedmutex.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

#include "platform/lockwait.h"
#include "platform/root.h"

namespace {

// The mutex files are empty and their owner's alone: whoever can open one
// can flock it and stall every writer of message identifiers. (The
// receiver's start hands the directory and its files to the service
// account; root opens them anyway.)
constexpr mode_t kMutexFileMode = 0600;
constexpr mode_t kMutexDirectoryMode = 0700;

bool ValidMutexName(std::string_view name) {
  return !name.empty() && name.size() <= kMaxMutexNameLength && name != "." &&
         name != ".." && name.find('/') == std::string_view::npos &&
         name.find('\0') == std::string_view::npos;
}

// O_NONBLOCK: a FIFO put in a mutex file's place must not hang the open;
// anything but a regular file is refused.
int OpenMutexFile(const std::string &path) {
  const int flags = O_RDONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
  int fd = open(path.c_str(), flags, kMutexFileMode);
  if (fd < 0 && errno == ENOENT && CreateDirectoryPath(MutexDirectory(), kMutexDirectoryMode))
    fd = open(path.c_str(), flags, kMutexFileMode);
  struct stat st;
  if (fd >= 0 && (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))) {
    close(fd);
    errno = EINVAL;
    return -1;
  }
  if (fd >= 0) GiveToDirectoryOwner(fd, MutexDirectory());
  return fd;
}

// Blocks until fd holds the flock; false with errno on failure.
bool LockForever(int fd) {
  while (flock(fd, LOCK_EX) != 0) {
    if (errno != EINTR) return false;
  }
  return true;
}

// The helper's acquisition: a description of its own, locked for ever.
long OpenAndLock(const std::string &path, int *out) {
  *out = -1;
  UniqueFd fd(OpenMutexFile(path));
  if (!fd.Valid() || !LockForever(fd.Get())) return errno != 0 ? errno : EIO;
  *out = fd.Release();
  return ERROR_SUCCESS;
}

void CloseMutexFile(int fd) { close(fd); }

}  // namespace

std::string NamedMutexPath(std::string_view name) {
  if (!ValidMutexName(name)) return std::string();
  std::string path = MutexDirectory();
  path += '/';
  path.append(name);
  return path;
}

DWORD NamedMutexLock::Wait(std::string_view name, DWORD timeoutMs) {
  Release();
  std::string path = NamedMutexPath(name);
  if (path.empty()) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return WAIT_FAILED;
  }
  UniqueFd fd(OpenMutexFile(path));
  if (!fd.Valid()) {
    SetLastError(errno);
    return WAIT_FAILED;
  }
  if (flock(fd.Get(), LOCK_EX | LOCK_NB) == 0) {
    fd_ = std::move(fd);
    return WAIT_OBJECT_0;
  }
  if (errno != EWOULDBLOCK && errno != EINTR) {
    SetLastError(errno);
    return WAIT_FAILED;
  }
  if (timeoutMs == 0) return WAIT_TIMEOUT;
  if (timeoutMs == INFINITE) {
    if (!LockForever(fd.Get())) {
      SetLastError(errno);
      return WAIT_FAILED;
    }
    fd_ = std::move(fd);
    return WAIT_OBJECT_0;
  }
  fd.Reset();
  int held = -1;
  long rc = AcquireWithin(path, timeoutMs, OpenAndLock, CloseMutexFile, &held);
  if (rc == ERROR_TIMEOUT) return WAIT_TIMEOUT;
  if (rc != ERROR_SUCCESS) {
    SetLastError(rc);
    return WAIT_FAILED;
  }
  fd_.Reset(held);
  return WAIT_OBJECT_0;
}
