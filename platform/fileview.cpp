// fileview: see fileview.h.
#include "platform/fileview.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

bool Fail(long code) {
  SetLastError(code);
  return false;
}

}  // namespace

int OpenFileForReading(const std::string &path) {
  // O_NONBLOCK: a FIFO put in place of a message must not hang the worker.
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
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
  return fd;
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

int CreateTempFileIn(const std::string &directory, const std::string &name) {
  int fd = open(directory.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
  if (fd >= 0) return fd;
  if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) {
    SetLastError(errno);
    return -1;
  }
  // No nameless files here: a new file of that name, unlinked at once. A
  // name already taken (a leftover, or a link someone put there) is
  // removed, never opened.
  std::string path = directory + "/" + name;
  for (int attempt = 0; attempt < 2; ++attempt) {
    fd = open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd >= 0) {
      unlink(path.c_str());
      return fd;
    }
    if (errno != EEXIST || unlink(path.c_str()) != 0) break;
  }
  SetLastError(errno);
  return -1;
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
