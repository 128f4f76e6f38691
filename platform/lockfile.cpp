// lockfile: see lockfile.h.
//
// Policy: a file found in the lock's place is adopted, never removed, by a
// taker that gets its flock. Removing a file that another taker may be
// flocking at this very instant cannot be made safe without a second lock;
// adopting it needs nothing but the flock and the check that the path still
// names the locked file. Only a holder removes the file, and only while it
// still holds the flock, so the check after the flock is enough:
//   - A creates the file, B opens it and flocks before A does: B holds it,
//     A's flock fails and A gives up without removing anything.
//   - A releases (removes, closes) while B has the old file open: B's flock
//     succeeds on a file that no longer has the name, B sees that and starts
//     over. B's open descriptor keeps the inode number from being reused, so
//     comparing device and inode numbers cannot be fooled.
#include "platform/lockfile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <mutex>
#include <unordered_map>
#include <utility>

#include "platform/files.h"
#include "platform/lockwait.h"
#include "platform/sync.h"

namespace {

// Rounds of one attempt that may be lost to a releaser (the file vanished or
// was replaced between open and flock) before the attempt reports the lock as
// held.
constexpr int kMaxRaceRetries = 8;

// A lost race inside one attempt: start the attempt over.
constexpr long kLostRace = EAGAIN;

// An empty file that no other user may open: whoever can open a lock file
// can flock it and stall the directory's writers. A service running under
// another account still adopts it after a crash because root hands the
// file to the directory's owner (below).
constexpr mode_t kLockFileMode = 0600;

// The lock files this process holds, by descriptor: a release must know the
// name to remove, and must ignore descriptors that are not lock files.
std::mutex g_heldLock;
std::unordered_map<int, std::string> g_held;

// A lock file that root makes in a directory of another owner (the
// receiver's incoming directory, which the delivery agent locks too) is
// given to that owner, so the owner can adopt it should root's holder die.
void GiveLockToDirectoryOwner(const std::string &path, int fd) {
  size_t slash = path.rfind('/');
  GiveToDirectoryOwner(fd, slash == 0 ? std::string("/") : path.substr(0, slash));
}

// Opens a new lock file, or else the one already there.
long OpenLockFile(const std::string &path, int *fd) {
  *fd = open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, kLockFileMode);
  if (*fd >= 0) {
    GiveLockToDirectoryOwner(path, *fd);
    return ERROR_SUCCESS;
  }
  if (errno != EEXIST) return errno;  // a missing directory lands here
  // O_NOFOLLOW: never lock (and later remove) what a planted link points at.
  // O_NONBLOCK: a FIFO in the lock's place must not hang the open.
  *fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (*fd >= 0) return ERROR_SUCCESS;
  return errno == ENOENT ? kLostRace : errno;  // released since our create
}

// True when path names the very file open at fd.
bool PathNamesFile(const std::string &path, int fd) {
  struct stat byFd, byPath;
  if (fstat(fd, &byFd) != 0 || lstat(path.c_str(), &byPath) != 0) return false;
  return byFd.st_dev == byPath.st_dev && byFd.st_ino == byPath.st_ino;
}

// Opens an existing file to lock; nothing is created. O_NOFOLLOW and
// O_NONBLOCK as for a lock file: no planted link, no FIFO.
long OpenExistingFile(const std::string &path, int *fd) {
  *fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (*fd >= 0) return ERROR_SUCCESS;
  return errno == ENOENT ? ERROR_FILE_NOT_FOUND : errno;
}

// One round: open (a lock file, or an existing file), flock (waiting up to
// waitMs), check the name.
long LockOnce(const std::string &path, long long waitMs, bool existing, int *out) {
  int raw = -1;
  long rc = existing ? OpenExistingFile(path, &raw) : OpenLockFile(path, &raw);
  if (rc != ERROR_SUCCESS) return rc;
  UniqueFd fd(raw);
  struct stat st;
  if (fstat(fd.Get(), &st) != 0) return errno;
  if (!S_ISREG(st.st_mode)) return EINVAL;
  rc = FlockWithin(fd.Get(), waitMs);
  if (rc != ERROR_SUCCESS) return rc == ERROR_TIMEOUT ? ERROR_ALREADY_EXISTS : rc;
  if (!PathNamesFile(path, fd.Get())) return kLostRace;
  *out = fd.Release();
  return ERROR_SUCCESS;
}

// Rounds until one ends other than by a lost race. Every lost race means
// that a holder let go (or a writer replaced the file), so waiting rounds
// make progress; once no time is left, kMaxRaceRetries more attempts are
// made before the lock counts as held.
long LockRounds(const std::string &path, long long timeoutMs, bool existing, int *fd) {
  *fd = -1;
  const bool forever = timeoutMs == kLockWaitForever;
  const long long deadline = MonotonicMs() + std::max(0LL, timeoutMs);
  long rc = kLostRace;
  for (int attempts = 0; rc == kLostRace && attempts < kMaxRaceRetries;) {
    long long waitMs = forever ? kLockWaitForever : std::max(0LL, deadline - MonotonicMs());
    if (waitMs == 0) ++attempts;
    rc = LockOnce(path, waitMs, existing, fd);
  }
  return rc == kLostRace ? ERROR_ALREADY_EXISTS : rc;
}

void NoteHeld(const std::string &path, int fd) {
  std::lock_guard<std::mutex> guard(g_heldLock);
  g_held[fd] = path;
}

}  // namespace

long TryLockFile(const std::string &path, int *fd) { return LockFileWithin(path, 0, fd); }

long LockFileWithin(const std::string &path, long long timeoutMs, int *fd) {
  long rc = LockRounds(path, timeoutMs, false, fd);
  if (rc == ERROR_SUCCESS) NoteHeld(path, *fd);
  return rc;
}

bool ReleaseLockFile(int fd) {
  std::string path;
  {
    std::lock_guard<std::mutex> guard(g_heldLock);
    auto it = g_held.find(fd);
    if (it == g_held.end()) return false;
    path = std::move(it->second);
    g_held.erase(it);
  }
  // Remove before closing: once the flock goes, the name must already be
  // free for the next creator. The check spares a lock file that someone
  // removed by hand and another holder has created since.
  if (PathNamesFile(path, fd)) unlink(path.c_str());
  close(fd);
  return true;
}

long TryLockExistingFile(const std::string &path, int *fd) {
  return LockRounds(path, 0, true, fd);
}

long LockExistingFileWithin(const std::string &path, long long timeoutMs, int *fd) {
  return LockRounds(path, timeoutMs, true, fd);
}
