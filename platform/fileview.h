// fileview: reading files by descriptor, for a server that sends them: open
// a regular file for reading, its size, positioned reads, read-only
// mappings (CreateFileMapping and MapViewOfFile), whole writes, and
// delete-on-close files in a given directory.
//
// Callers: the POP3 server (message files of a mailbox, listing files).
// The mailbox directory may belong to its user, who may put anything
// there: OpenFileForReading follows no symbolic link in the last component
// and opens only regular files, without blocking on a FIFO.
//
// Every call is thread-safe and keeps no state; failures return false or
// -1 with the thread's last error set. Descriptors are close-on-exec.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/errors.h"

// Opens path read-only: -1 with ELOOP for a symbolic link, EINVAL for
// anything but a regular file.
int OpenFileForReading(const std::string &path);

// GetFileSize of an open file.
bool GetFileSizeOf(int fd, uint64_t *size);
// The size of the regular file path names (a symbolic link is not
// followed, and is not a regular file: EINVAL).
bool GetFileSizeByName(const std::string &path, uint64_t *size);

// Reads exactly length bytes at offset (fewer only at the end of the file:
// *got tells).
bool ReadFileAt(int fd, char *buffer, size_t length, off_t offset, size_t *got);

// Writes all of data at the current position.
bool WriteWholeFile(int fd, std::string_view data);

// A file in directory that has no name (or loses it at once): it
// disappears when its descriptor is closed. name is used only where the
// file system cannot make nameless files, and is never followed if it
// names a link. -1 on failure.
int CreateTempFileIn(const std::string &directory, const std::string &name);

// A read-only view of a whole file; unmapped when destroyed.
class MappedView {
 public:
  MappedView() = default;
  ~MappedView() { Unmap(); }
  MappedView(const MappedView &) = delete;
  MappedView &operator=(const MappedView &) = delete;

  // Maps the first length bytes of fd (length > 0).
  bool Map(int fd, size_t length);
  void Unmap();
  std::string_view View() const { return {static_cast<const char *>(data_), length_}; }

 private:
  void *data_ = nullptr;
  size_t length_ = 0;
};
