// textfile: buffered file streams with text-mode line ends.
//
// The spool's text files (recipient files, control files, domain records,
// activity logs) keep CR LF line ends on disk. A TextFile in text mode (the
// default) writes "\n" as CR LF and reads CR LF back as "\n"; a lone CR is
// kept. Mode "b" turns translation off. Mode letters as fopen's: "r", "w",
// "a", with "+" for update, plus "c" (commit): every Flush() also makes the
// data durable (fdatasync), so what was flushed survives a crash.
//
// Errors are sticky: after a failed read or write every later write fails and
// Error() stays true, so a caller may write a whole record and check once.
// A TextFile owns its descriptor and closes it when destroyed. Not
// thread-safe: one owner at a time.
#pragma once

#include <string>
#include <string_view>

class TextFile {
 public:
  TextFile() = default;
  ~TextFile();
  TextFile(const TextFile &) = delete;
  TextFile &operator=(const TextFile &) = delete;
  TextFile(TextFile &&other) noexcept;
  TextFile &operator=(TextFile &&other) noexcept;

  // Opens path with an fopen-style mode ("r", "w", "a", "r+", "ac", "wb"...).
  // False with errno (and the thread's last error) set on failure.
  bool Open(const std::string &path, const char *mode);
  // Takes ownership of an open descriptor (e.g. one created with O_EXCL).
  bool Attach(int fd, const char *mode);
  bool IsOpen() const { return fd_ >= 0; }
  int Fd() const { return fd_; }

  bool Write(std::string_view text);
  bool Printf(const char *format, ...) __attribute__((format(printf, 2, 3)));
  // Writes the buffer out; in commit mode also fdatasync.
  bool Flush();
  // Flush and fdatasync whatever the mode.
  bool Commit();

  // Reads like fgets: up to maxChars characters, stopping after a "\n" (which
  // is kept). False at end of file with nothing read, or on error. A longer
  // line comes back in pieces.
  bool GetLine(std::string &line, size_t maxChars);
  // Reads everything that is left (at most maxBytes); false on error or when
  // the rest is larger.
  bool ReadAll(std::string &out, size_t maxBytes);

  // Flushes and goes back to the start (reading and writing start over).
  bool Rewind();
  // Cuts the file at the current write position (after a rewrite that may
  // be shorter than what was there).
  bool TruncateHere();

  bool Error() const { return error_; }
  bool Eof() const { return eof_; }
  // Flushes and closes; false when anything failed since opening.
  bool Close();

 private:
  bool FillReadBuffer();
  bool FlushWriteBuffer();
  bool Reset(int fd, const char *mode);

  int fd_ = -1;
  bool text_ = true;
  bool commit_ = false;
  bool error_ = false;
  bool eof_ = false;
  bool pendingCr_ = false;   // a CR read at the end of the read buffer
  std::string wbuf_;
  std::string rbuf_;
  size_t rpos_ = 0;
};
