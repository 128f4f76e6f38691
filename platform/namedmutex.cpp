// namedmutex: see namedmutex.h.
//
// A wait for ever blocks in flock(); a bounded wait polls with LOCK_NB and
// short sleeps, since flock has no time-out of its own and a signal-driven
// one would disturb the other threads of a service.
#include "platform/namedmutex.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <utility>

#include "platform/root.h"

namespace {

// The mutex files are empty and their owner's alone: whoever can open one
// can flock it and stall every writer of message identifiers. (The
// receiver's start hands the directory and its files to the service
// account; root opens them anyway.)
constexpr mode_t kMutexFileMode = 0600;
constexpr mode_t kMutexDirectoryMode = 0700;
// Polling interval of a bounded wait: short against the few milliseconds a
// holder keeps the mutex, long enough not to spin.
constexpr DWORD kMutexPollMs = 5;

bool ValidMutexName(std::string_view name) {
  return !name.empty() && name.size() <= kMaxMutexNameLength && name != "." &&
         name != ".." && name.find('/') == std::string_view::npos &&
         name.find('\0') == std::string_view::npos;
}

// mkdir -p for the mutex directory; true when it exists afterwards.
bool MakeDirectories(const std::string &path) {
  for (size_t slash = path.find('/', 1); ; slash = path.find('/', slash + 1)) {
    std::string part = path.substr(0, slash);
    if (mkdir(part.c_str(), kMutexDirectoryMode) != 0 && errno != EEXIST) return false;
    if (slash == std::string::npos) break;
  }
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// O_NONBLOCK: a FIFO put in a mutex file's place must not hang the open;
// anything but a regular file is refused.
int OpenMutexFile(const std::string &path) {
  const int flags = O_RDONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
  int fd = open(path.c_str(), flags, kMutexFileMode);
  if (fd < 0 && errno == ENOENT && MakeDirectories(MutexDirectory()))
    fd = open(path.c_str(), flags, kMutexFileMode);
  struct stat st;
  if (fd >= 0 && (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))) {
    close(fd);
    errno = EINVAL;
    return -1;
  }
  return fd;
}

// Blocks until fd holds the flock; false with errno on failure.
bool LockForever(int fd) {
  while (flock(fd, LOCK_EX) != 0) {
    if (errno != EINTR) return false;
  }
  return true;
}

// WAIT_OBJECT_0 once fd holds the flock, WAIT_TIMEOUT after timeoutMs.
DWORD LockWithin(int fd, DWORD timeoutMs) {
  const long long deadline = MonotonicMs() + timeoutMs;
  for (;;) {
    if (flock(fd, LOCK_EX | LOCK_NB) == 0) return WAIT_OBJECT_0;
    if (errno != EWOULDBLOCK && errno != EINTR) {
      SetLastError(errno);
      return WAIT_FAILED;
    }
    long long left = deadline - MonotonicMs();
    if (left <= 0) return WAIT_TIMEOUT;
    Sleep(static_cast<DWORD>(std::min<long long>(left, kMutexPollMs)));
  }
}

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
  DWORD rc = WAIT_OBJECT_0;
  if (timeoutMs == INFINITE) {
    if (!LockForever(fd.Get())) {
      SetLastError(errno);
      rc = WAIT_FAILED;
    }
  } else {
    rc = LockWithin(fd.Get(), timeoutMs);
  }
  if (rc == WAIT_OBJECT_0) fd_ = std::move(fd);
  return rc;
}
