// namedmutex: see namedmutex.h.
//
// A wait for ever blocks in flock(); a bounded wait blocks in flock() in a
// helper thread that is cancelled when the time runs out (platform/lockwait),
// since flock has no time-out of its own.
#include "platform/namedmutex.h"

#include <fcntl.h>

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

// The directory may be the service account's, who could plant anything in
// it: O_NOFOLLOW refuses a symbolic link, O_NONBLOCK keeps a FIFO from
// hanging the open, and only a regular file with one link is used (and
// handed to the account when root made it), never a second name of some
// other file.
int OpenMutexFile(const std::string &path) {
  const int flags = O_RDONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
  UniqueFd fd(open(path.c_str(), flags, kMutexFileMode));
  if (!fd.Valid() && errno == ENOENT && CreateDirectoryPath(MutexDirectory(), kMutexDirectoryMode))
    fd.Reset(open(path.c_str(), flags, kMutexFileMode));
  if (!fd.Valid()) return -1;
  if (int err = CheckSoleRegularFile(fd.Get()); err != 0) {
    errno = err;
    return -1;
  }
  GiveToDirectoryOwner(fd.Get(), MutexDirectory());
  return fd.Release();
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
  long rc = FlockWithin(fd.Get(), timeoutMs == INFINITE ? kLockWaitForever : timeoutMs);
  if (rc == ERROR_TIMEOUT) return WAIT_TIMEOUT;
  if (rc != ERROR_SUCCESS) {
    SetLastError(rc);
    return WAIT_FAILED;
  }
  fd_ = std::move(fd);
  return WAIT_OBJECT_0;
}
