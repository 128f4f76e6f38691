// fileview: see fileview.h.
#include "platform/fileview.h"

#include <dirent.h>
#include <fcntl.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <memory>

#include "platform/ascii.h"
#include "platform/files.h"

namespace {

bool Fail(long code) {
  SetLastError(code);
  return false;
}

struct DirCloser {
  void operator()(DIR *d) const { closedir(d); }
};

bool NameFirst(const DirectoryFile &a, const DirectoryFile &b) { return a.Name < b.Name; }

// Keeps the count first files of files, in no particular order.
void KeepFirst(std::vector<DirectoryFile> &files, size_t count) {
  if (files.size() <= count) return;
  std::nth_element(files.begin(), files.begin() + static_cast<std::ptrdiff_t>(count),
                   files.end(), NameFirst);
  files.resize(count);
}

// Checks what readdir found and takes its size; false for anything that is
// not a regular file (any more).
bool StatRegular(int dirFd, DirectoryFile &file) {
  struct stat st;
  if (fstatat(dirFd, file.Name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return false;
  if (!S_ISREG(st.st_mode)) return false;
  file.Size = static_cast<uint64_t>(st.st_size);
  return true;
}

// Opens path (relative to dirFd) read-only when it names a regular file;
// *size (when given) is its size.
int OpenRegular(int dirFd, const char *path, uint64_t *size = nullptr) {
  // O_NONBLOCK: a FIFO put in place of a message must not hang the worker.
  int fd = openat(dirFd, path, O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
  if (fd < 0) {
    SetLastError(errno);
    return -1;
  }
  struct stat st;
  long err = fstat(fd, &st) != 0 ? errno : (S_ISREG(st.st_mode) ? 0 : EINVAL);
  if (err == 0 && fcntl(fd, F_SETFL, 0) != 0) err = errno;
  if (err != 0) {
    close(fd);
    SetLastError(err);
    return -1;
  }
  if (size != nullptr) *size = static_cast<uint64_t>(st.st_size);
  return fd;
}

}  // namespace

int OpenFileForReading(const std::string &path) { return OpenRegular(AT_FDCWD, path.c_str()); }

int OpenFileForReadingAt(int dirFd, const std::string &name, uint64_t *size) {
  return OpenRegular(dirFd, name.c_str(), size);
}

bool FileIsOwnersOnly(int fd) {
  struct stat st;
  if (fstat(fd, &st) != 0) return Fail(errno);
  if (st.st_uid != geteuid() || (st.st_mode & (S_IRWXG | S_IRWXO)) != 0) return Fail(EACCES);
  return true;
}

int OpenDirectory(const std::string &path) {
  int fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) SetLastError(errno);
  return fd;
}

bool ForEachDirectoryEntry(int dirFd,
                           const std::function<bool(const char *name, unsigned char type)> &visit) {
  // A descriptor of its own: readdir moves its position.
  int own = openat(dirFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (own < 0) return Fail(errno);
  std::unique_ptr<DIR, DirCloser> dir(fdopendir(own));
  if (!dir) {
    long err = errno;
    close(own);
    return Fail(err);
  }
  for (;;) {
    errno = 0;
    const dirent *e = readdir(dir.get());
    if (e == nullptr) return errno == 0 || Fail(errno);
    std::string_view name(e->d_name);
    if (name != "." && name != ".." && !visit(e->d_name, e->d_type)) return true;
  }
}

bool ListDirectoryFiles(int dirFd, std::string_view suffix, size_t maxEntries,
                        std::vector<DirectoryFile> &files, bool *more) {
  files.clear();
  *more = false;
  bool read = ForEachDirectoryEntry(dirFd, [&](const char *entry, unsigned char type) {
    std::string_view name(entry);
    if (name.size() <= suffix.size() || !EndsWithNoCase(name, suffix)) return true;
    if (type != DT_REG && type != DT_UNKNOWN) return true;
    files.push_back({std::string(name), 0});
    // Trimmed now and then, so a huge directory never costs more than this.
    if (files.size() >= 2 * maxEntries + 1) {
      KeepFirst(files, maxEntries);
      *more = true;
    }
    return true;
  });
  if (!read) {
    files.clear();
    return false;
  }
  if (files.size() > maxEntries) *more = true;
  KeepFirst(files, maxEntries);
  std::sort(files.begin(), files.end(), NameFirst);
  // Sizes for the files kept only; what vanished or is no regular file goes.
  files.erase(std::remove_if(files.begin(), files.end(),
                             [&](DirectoryFile &f) { return !StatRegular(dirFd, f); }),
              files.end());
  return true;
}

bool DeleteFileAt(int dirFd, const std::string &name) {
  if (unlinkat(dirFd, name.c_str(), 0) != 0) return Fail(errno);
  return true;
}

bool GetFileSizeOf(int fd, uint64_t *size) {
  struct stat st;
  if (fstat(fd, &st) != 0) return Fail(errno);
  *size = static_cast<uint64_t>(st.st_size);
  return true;
}

bool GetFileSizeByName(const std::string &path, uint64_t *size) {
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) return Fail(errno);
  if (!S_ISREG(st.st_mode)) return Fail(EINVAL);
  *size = static_cast<uint64_t>(st.st_size);
  return true;
}

bool ReadUpTo(int fd, size_t maxBytes, std::string &text) {
  text.clear();
  char buf[65536];
  while (text.size() <= maxBytes) {
    size_t want = std::min(sizeof buf, maxBytes + 1 - text.size());
    ssize_t n = read(fd, buf, want);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      SetLastError(errno);
      return false;
    }
    if (n == 0) break;
    text.append(buf, static_cast<size_t>(n));
  }
  return true;
}

bool ReadFileAt(int fd, char *buffer, size_t length, off_t offset, size_t *got) {
  size_t done = 0;
  while (done < length) {
    ssize_t n = pread(fd, buffer + done, length - done, offset + static_cast<off_t>(done));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return Fail(errno);
    if (n == 0) break;
    done += static_cast<size_t>(n);
  }
  *got = done;
  return true;
}

bool WriteWholeFile(int fd, std::string_view data) {
  while (!data.empty()) {
    ssize_t n = write(fd, data.data(), data.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return Fail(n < 0 ? errno : ENOSPC);
    data.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

bool RewriteWholeFile(int fd, std::string_view data) {
  off_t at = 0;
  while (static_cast<size_t>(at) < data.size()) {
    ssize_t n = pwrite(fd, data.data() + at, data.size() - static_cast<size_t>(at), at);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return Fail(n < 0 ? errno : ENOSPC);
    at += n;
  }
  if (ftruncate(fd, at) != 0) return Fail(errno);
  if (lseek(fd, at, SEEK_SET) != at) return Fail(errno);
  return true;
}

bool SyncFileData(int fd) {
  if (fdatasync(fd) != 0) return Fail(errno);
  return true;
}

bool MappedView::Map(int fd, size_t length) {
  Unmap();
  if (length == 0) return Fail(ERROR_INVALID_PARAMETER);
  void *p = mmap(nullptr, length, PROT_READ, MAP_PRIVATE, fd, 0);
  if (p == MAP_FAILED) return Fail(errno);
  data_ = p;
  length_ = length;
  return true;
}

void MappedView::Unmap() {
  if (data_ != nullptr) munmap(data_, length_);
  data_ = nullptr;
  length_ = 0;
}

bool ReadSecretFileLine(const std::string &path, size_t maxLength, std::string &secret,
                        std::string &why) {
  explicit_bzero(secret.data(), secret.size());
  secret.clear();
  UniqueFd file(OpenFileForReading(path));
  if (!file.Valid() || !FileIsOwnersOnly(file.Get())) {
    why = "the password file " + path +
          (file.Valid() ? " may be read by others than its owner, or is not this service's"
                        : " cannot be opened");
    return false;
  }
  // The first line and the line end behind it.
  std::string head(maxLength + 2, '\0');
  size_t got = 0;
  bool read = ReadFileAt(file.Get(), head.data(), head.size(), 0, &got);
  std::string_view text(head.data(), read ? got : 0);
  std::string_view line = text.substr(0, text.find_first_of("\r\n"));  // no end: too long
  bool ok = !line.empty() && line.size() <= maxLength;
  if (ok) {
    secret.reserve(line.size());
    secret.assign(line);
  } else {
    why = read ? "the password file " + path + " holds no password on its first line (at most " +
                     std::to_string(maxLength) + " bytes)"
               : "the password file " + path + " cannot be read";
  }
  explicit_bzero(head.data(), head.size());
  return ok;
}
