// fileview: reading files by descriptor, for a server that sends them: a
// directory held open, its regular files with their sizes, opening a
// regular file for reading, its size, positioned reads, read-only mappings
// (CreateFileMapping and MapViewOfFile) and removing a file.
//
// Callers: the POP3 server (a mailbox and its message files). The mailbox
// directory may belong to its user, who may put anything there: the
// listing and the opens follow no symbolic link in the last component and
// take only regular files, and an open does not block on a FIFO. The *At
// calls work relative to a directory held open, so a mailbox with many
// messages costs one path walk at logon, not one per file.
//
// Every call is thread-safe and keeps no state; failures return false or
// -1 with the thread's last error set. Descriptors are close-on-exec.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/errors.h"

// Opens path read-only: -1 with ELOOP for a symbolic link, EINVAL for
// anything but a regular file.
int OpenFileForReading(const std::string &path);
// The same for the file name in the open directory dirFd; *size (when
// given) receives its size, from the check the open makes anyway.
int OpenFileForReadingAt(int dirFd, const std::string &name, uint64_t *size = nullptr);
// The open file belongs to this process's effective user and no one else
// may read or write it (a secret's file: mode 0600 or 0400). False with
// EACCES when it does not, or with the error of fstat.
bool FileIsOwnersOnly(int fd);

// Opens a directory for the *At calls (links in the path are followed, as
// by any path); -1 on failure.
int OpenDirectory(const std::string &path);

struct DirectoryFile {
  std::string Name;
  uint64_t Size = 0;
};

// Calls visit(name, type) for every entry of the open directory dirFd but
// "." and ".." (type: the entry's d_type, DT_UNKNOWN where the file system
// does not say), on a descriptor of its own, until visit returns false.
// False with the last error when the directory cannot be read.
bool ForEachDirectoryEntry(int dirFd,
                           const std::function<bool(const char *name, unsigned char type)> &visit);

// The regular files of the open directory dirFd whose names are longer than
// suffix and end with it (ASCII case ignored), with their sizes: the
// maxEntries first in name order, sorted; *more tells whether other files
// were left out. Memory stays within twice maxEntries names, however large
// the directory. False with the last error when it cannot be read.
bool ListDirectoryFiles(int dirFd, std::string_view suffix, size_t maxEntries,
                        std::vector<DirectoryFile> &files, bool *more);

// Removes the file name from the open directory dirFd.
bool DeleteFileAt(int dirFd, const std::string &name);

// GetFileSize of an open file.
bool GetFileSizeOf(int fd, uint64_t *size);
// The size of the regular file path names (a symbolic link is not
// followed, and is not a regular file: EINVAL).
bool GetFileSizeByName(const std::string &path, uint64_t *size);

// Reads exactly length bytes at offset (fewer only at the end of the file:
// *got tells).
bool ReadFileAt(int fd, char *buffer, size_t length, off_t offset, size_t *got);

// The first line of a secret's file (a password), without its line end:
// false with why ("the password file PATH ...") when the file cannot be
// opened, is no regular file, is not the reader's alone (FileIsOwnersOnly),
// or holds no password (an empty first line, or one longer than maxLength
// bytes). Every buffer that held the secret on the way is wiped.
bool ReadSecretFileLine(const std::string &path, size_t maxLength, std::string &secret,
                        std::string &why);

// Reads from the current position to the end, but at most maxBytes + 1
// bytes (so that a larger file shows as larger), in pieces: memory grows
// with the file, never to the bound at once. False with the error.
bool ReadUpTo(int fd, size_t maxBytes, std::string &text);

// Writes all of data at the current position.
bool WriteWholeFile(int fd, std::string_view data);
// Makes data the whole content of fd (written from the start, the rest cut
// off) and leaves the position at its end. A failure leaves the content
// undefined: only for a file nobody else can see yet.
bool RewriteWholeFile(int fd, std::string_view data);
// Makes what was written to fd durable (fdatasync).
bool SyncFileData(int fd);

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
