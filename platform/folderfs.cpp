// folderfs: see folderfs.h.
#include "platform/folderfs.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "platform/ascii.h"
#include "platform/fileview.h"

namespace {

// The kernel's paths are at most this long.
constexpr size_t kMaxPathLength = 4096;
constexpr mode_t kLockFileMode = 0600;

bool Fail(long error) {
  SetLastError(error);
  return false;
}

int FailFd(long error) {
  SetLastError(error);
  return -1;
}

void Fill(const struct stat &st, EntryStamp &stamp) {
  stamp.Regular = S_ISREG(st.st_mode);
  stamp.Directory = S_ISDIR(st.st_mode);
  stamp.Size = static_cast<uint64_t>(st.st_size);
  stamp.ModifiedTime = static_cast<int64_t>(st.st_mtim.tv_sec);
  stamp.ModifiedNs = static_cast<int64_t>(st.st_mtim.tv_nsec);
  stamp.Device = static_cast<uint64_t>(st.st_dev);
  stamp.Inode = static_cast<uint64_t>(st.st_ino);
  stamp.Links = static_cast<uint64_t>(st.st_nlink);
}

}  // namespace

bool IsPlainEntryName(std::string_view name) {
  return !name.empty() && name != "." && name != ".." &&
         name.find('/') == std::string_view::npos && name.find('\0') == std::string_view::npos;
}

bool StatEntryAt(int dir, std::string_view name, EntryStamp &stamp) {
  if (!IsPlainEntryName(name)) return Fail(EINVAL);
  struct stat st;
  if (fstatat(dir, std::string(name).c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return Fail(errno);
  Fill(st, stamp);
  return true;
}

bool StatOpenFile(int fd, EntryStamp &stamp) {
  struct stat st;
  if (fstat(fd, &st) != 0) return Fail(errno);
  Fill(st, stamp);
  return true;
}

int OpenSubdirectoryAt(int dir, std::string_view name) {
  if (!IsPlainEntryName(name)) return FailFd(EINVAL);
  int fd = openat(dir, std::string(name).c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) SetLastError(errno);
  return fd;
}

bool MakeDirectoryAt(int dir, std::string_view name, mode_t mode) {
  if (!IsPlainEntryName(name)) return Fail(EINVAL);
  return mkdirat(dir, std::string(name).c_str(), mode) == 0 || Fail(errno);
}

bool RemoveDirectoryAt(int dir, std::string_view name) {
  if (!IsPlainEntryName(name)) return Fail(EINVAL);
  return unlinkat(dir, std::string(name).c_str(), AT_REMOVEDIR) == 0 || Fail(errno);
}

int CreateFileAt(int dir, std::string_view name, mode_t mode) {
  if (!IsPlainEntryName(name)) return FailFd(EINVAL);
  int fd = openat(dir, std::string(name).c_str(),
                  O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
  if (fd < 0) SetLastError(errno);
  return fd;
}

bool RemoveFileAt(int dir, std::string_view name) {
  if (!IsPlainEntryName(name)) return Fail(EINVAL);
  return unlinkat(dir, std::string(name).c_str(), 0) == 0 || errno == ENOENT || Fail(errno);
}

bool LinkFileAt(int fromDir, std::string_view from, int toDir, std::string_view to) {
  if (!IsPlainEntryName(from) || !IsPlainEntryName(to)) return Fail(EINVAL);
  // Without AT_SYMLINK_FOLLOW a link names the link itself, never its target.
  return linkat(fromDir, std::string(from).c_str(), toDir, std::string(to).c_str(), 0) == 0 ||
         Fail(errno);
}

bool RenameEntryAt(int fromDir, std::string_view from, int toDir, std::string_view to) {
  if (!IsPlainEntryName(from) || !IsPlainEntryName(to)) return Fail(EINVAL);
  return renameat2(fromDir, std::string(from).c_str(), toDir, std::string(to).c_str(),
                   RENAME_NOREPLACE) == 0 ||
         Fail(errno);
}

bool ReplaceEntryAt(int dir, std::string_view from, std::string_view to) {
  if (!IsPlainEntryName(from) || !IsPlainEntryName(to)) return Fail(EINVAL);
  return renameat(dir, std::string(from).c_str(), dir, std::string(to).c_str()) == 0 ||
         Fail(errno);
}

bool SyncData(int fd) { return fdatasync(fd) == 0 || Fail(errno); }

bool SyncDirectoryEntries(int dirFd) { return fsync(dirFd) == 0 || Fail(errno); }

bool SetModifiedTime(int fd, int64_t seconds) {
  struct timespec times[2];
  times[0].tv_sec = static_cast<time_t>(seconds);
  times[0].tv_nsec = 0;
  times[1] = times[0];
  return futimens(fd, times) == 0 || Fail(errno);
}

bool RealPathOfDirectory(int dirFd, std::string &path) {
  char self[64];
  std::snprintf(self, sizeof self, "/proc/self/fd/%d", dirFd);
  char buf[kMaxPathLength + 1];
  ssize_t n = readlink(self, buf, kMaxPathLength);
  if (n <= 0 || static_cast<size_t>(n) >= kMaxPathLength) return Fail(n < 0 ? errno : ENAMETOOLONG);
  path.assign(buf, static_cast<size_t>(n));
  // The kernel's name of the directory has no link in it; a directory that
  // was removed or lies outside this process's view has none that works.
  struct stat byName, byFd;
  if (path.front() != '/' || fstat(dirFd, &byFd) != 0 ||
      lstat(path.c_str(), &byName) != 0 || byName.st_dev != byFd.st_dev ||
      byName.st_ino != byFd.st_ino)
    return Fail(ENOENT);
  return true;
}

int LockEntryAt(int dir, std::string_view name) {
  if (!IsPlainEntryName(name)) return FailFd(EINVAL);
  int fd = openat(dir, std::string(name).c_str(),
                  O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, kLockFileMode);
  if (fd < 0) return FailFd(errno);
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    close(fd);
    return FailFd(EINVAL);
  }
  while (flock(fd, LOCK_EX) != 0) {
    if (errno == EINTR) continue;
    long error = errno;
    close(fd);
    return FailFd(error);
  }
  return fd;
}

bool ListFileNamesAt(int dir, std::string_view suffix, size_t maxNames,
                     std::vector<std::string> &names, bool *more) {
  names.clear();
  *more = false;
  return ForEachDirectoryEntry(dir, [&](const char *entry, unsigned char type) {
    std::string_view name(entry);
    if (name.size() <= suffix.size() || !EndsWithNoCase(name, suffix)) return true;
    if (type != DT_REG && type != DT_UNKNOWN) return true;
    if (names.size() >= maxNames) {
      *more = true;
      return false;
    }
    names.emplace_back(name);
    return true;
  });
}

bool ListSubdirectoriesAt(int dir, std::string_view prefix, size_t maxNames,
                          std::vector<std::string> &names, bool *more) {
  names.clear();
  *more = false;
  return ForEachDirectoryEntry(dir, [&](const char *entry, unsigned char type) {
    std::string_view name(entry);
    if (!name.starts_with(prefix) || (type != DT_DIR && type != DT_UNKNOWN)) return true;
    struct stat st;
    if (fstatat(dir, entry, &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISDIR(st.st_mode)) return true;
    if (names.size() >= maxNames) {
      *more = true;
      return false;
    }
    names.emplace_back(name);
    return true;
  });
}
