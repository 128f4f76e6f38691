// textfile: see textfile.h.
#include "platform/textfile.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "platform/errors.h"

namespace {

constexpr size_t kBufferSize = 8192;   // one page pair: plenty for line records

int OpenFlags(const char *mode) {
  bool plus = std::strchr(mode, '+') != nullptr;
  switch (mode[0]) {
    case 'r': return plus ? O_RDWR : O_RDONLY;
    case 'w': return (plus ? O_RDWR : O_WRONLY) | O_CREAT | O_TRUNC;
    case 'a': return (plus ? O_RDWR : O_WRONLY) | O_CREAT | O_APPEND;
    default: return -1;
  }
}

}  // namespace

TextFile::~TextFile() { Close(); }

TextFile::TextFile(TextFile &&other) noexcept { *this = std::move(other); }

TextFile &TextFile::operator=(TextFile &&other) noexcept {
  if (this == &other) return *this;
  Close();
  fd_ = other.fd_;
  text_ = other.text_;
  commit_ = other.commit_;
  error_ = other.error_;
  eof_ = other.eof_;
  pendingCr_ = other.pendingCr_;
  wbuf_ = std::move(other.wbuf_);
  rbuf_ = std::move(other.rbuf_);
  rpos_ = other.rpos_;
  other.fd_ = -1;
  return *this;
}

bool TextFile::Reset(int fd, const char *mode) {
  fd_ = fd;
  text_ = std::strchr(mode, 'b') == nullptr;
  commit_ = std::strchr(mode, 'c') != nullptr;
  error_ = eof_ = pendingCr_ = false;
  wbuf_.clear();
  rbuf_.clear();
  rpos_ = 0;
  return true;
}

bool TextFile::Open(const std::string &path, const char *mode) {
  Close();
  int flags = OpenFlags(mode);
  if (flags < 0) {
    errno = EINVAL;
    SetLastError(EINVAL);
    return false;
  }
  int fd = open(path.c_str(), flags | O_CLOEXEC, 0644);
  if (fd < 0) {
    SetLastError(errno);
    return false;
  }
  return Reset(fd, mode);
}

bool TextFile::Attach(int fd, const char *mode) {
  Close();
  if (fd < 0) return false;
  return Reset(fd, mode);
}

bool TextFile::Write(std::string_view text) {
  if (fd_ < 0 || error_) return false;
  for (char c : text) {
    if (c == '\n' && text_) wbuf_.push_back('\r');
    wbuf_.push_back(c);
  }
  if (wbuf_.size() >= kBufferSize) return FlushWriteBuffer();
  return true;
}

bool TextFile::Printf(const char *format, ...) {
  char small[512];
  va_list ap;
  va_start(ap, format);
  int n = vsnprintf(small, sizeof small, format, ap);
  va_end(ap);
  if (n < 0) {
    error_ = true;
    return false;
  }
  if (static_cast<size_t>(n) < sizeof small) return Write(std::string_view(small, n));
  std::string big(static_cast<size_t>(n) + 1, '\0');
  va_start(ap, format);
  vsnprintf(big.data(), big.size(), format, ap);
  va_end(ap);
  big.resize(n);
  return Write(big);
}

bool TextFile::FlushWriteBuffer() {
  size_t done = 0;
  while (done < wbuf_.size()) {
    ssize_t n = write(fd_, wbuf_.data() + done, wbuf_.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      SetLastError(errno);
      error_ = true;
      wbuf_.clear();
      return false;
    }
    done += static_cast<size_t>(n);
  }
  wbuf_.clear();
  return true;
}

bool TextFile::Flush() {
  if (fd_ < 0) return false;
  if (!FlushWriteBuffer() || error_) return false;
  if (commit_ && fdatasync(fd_) != 0) {
    SetLastError(errno);
    error_ = true;
    return false;
  }
  return true;
}

bool TextFile::Commit() {
  if (fd_ < 0 || !FlushWriteBuffer() || error_) return false;
  if (fdatasync(fd_) != 0) {
    SetLastError(errno);
    error_ = true;
    return false;
  }
  return true;
}

bool TextFile::FillReadBuffer() {
  rbuf_.erase(0, rpos_);
  rpos_ = 0;
  size_t old = rbuf_.size();
  rbuf_.resize(old + kBufferSize);
  ssize_t n;
  do {
    n = read(fd_, rbuf_.data() + old, kBufferSize);
  } while (n < 0 && errno == EINTR);
  if (n < 0) {
    SetLastError(errno);
    error_ = true;
    rbuf_.resize(old);
    return false;
  }
  rbuf_.resize(old + static_cast<size_t>(n));
  if (n == 0) eof_ = true;
  return n > 0;
}

bool TextFile::GetLine(std::string &line, size_t maxChars) {
  line.clear();
  if (fd_ < 0 || error_ || maxChars == 0) return false;
  if (!wbuf_.empty() && !FlushWriteBuffer()) return false;
  while (line.size() < maxChars) {
    if (rpos_ >= rbuf_.size() && !FillReadBuffer()) break;
    char c = rbuf_[rpos_++];
    if (text_ && c == '\r') {
      // CR LF reads as "\n"; a CR followed by anything else stays.
      if (rpos_ >= rbuf_.size()) FillReadBuffer();
      if (rpos_ < rbuf_.size() && rbuf_[rpos_] == '\n') continue;
    }
    line.push_back(c);
    if (c == '\n') break;
  }
  return !line.empty() && !error_;
}

bool TextFile::ReadAll(std::string &out, size_t maxBytes) {
  out.clear();
  std::string piece;
  while (GetLine(piece, kBufferSize)) {
    if (out.size() + piece.size() > maxBytes) return false;
    out += piece;
  }
  return !error_;
}

bool TextFile::Rewind() {
  if (fd_ < 0 || !FlushWriteBuffer()) return false;
  rbuf_.clear();
  rpos_ = 0;
  eof_ = false;
  if (lseek(fd_, 0, SEEK_SET) < 0) {
    SetLastError(errno);
    error_ = true;
    return false;
  }
  return true;
}

bool TextFile::TruncateHere() {
  if (fd_ < 0 || !FlushWriteBuffer()) return false;
  off_t pos = lseek(fd_, 0, SEEK_CUR);
  if (pos < 0 || ftruncate(fd_, pos) != 0) {
    SetLastError(errno);
    error_ = true;
    return false;
  }
  return true;
}

bool TextFile::Close() {
  if (fd_ < 0) return false;
  bool ok = Flush();
  if (close(fd_) != 0) {
    SetLastError(errno);
    ok = false;
  }
  fd_ = -1;
  ok = ok && !error_;
  error_ = false;
  return ok;
}
