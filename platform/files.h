// files: the file operations the services need beyond plain streams.
//
// Each call returns true on success and sets the thread's last error
// (platform/errors.h) on failure. Creation that must not replace an existing
// file uses O_CREAT|O_EXCL; a copy that must not replace its target is
// written under a temporary name in the target directory and then linked to
// the final name, so a half-written copy is never visible under that name.
// Thread-safe; no state.
#pragma once

#include <sys/types.h>

#include <span>
#include <string>
#include <utility>
#include <string_view>
#include <vector>

#include "platform/textfile.h"

// mkdir with mode 0700: spool and mailbox directories are private (access
// for others is granted explicitly, platform/dirsec); ERROR_ALREADY_EXISTS
// when the path exists.
bool CreateDirectory(const std::string &path);
// mkdir -p: creates path and its missing ancestors with mode (the system's
// own directories, below ZEL_ROOT); true when path is a directory afterwards.
bool CreateDirectoryPath(const std::string &path, mode_t mode);
// A file that root has just opened in a directory of another account (the
// service account's mutex and counter directories) becomes that account's
// when root owns it, so a process run as root never locks the account out
// of a file it must write. Nothing happens for other callers, nor for a file
// that CheckSoleRegularFile refuses.
void GiveToDirectoryOwner(int fd, const std::string &directory);
// Root changes the owner or mode of a file in a directory another account
// can write only through a descriptor (opened with O_NOFOLLOW), and only
// when that descriptor is a regular file with a single link: a second name
// could be anywhere, on a file that is not the system's own. 0 when fd is
// one; else EINVAL (not a regular file), EMLINK (more names) or fstat's
// errno.
int CheckSoleRegularFile(int fd);
bool DirectoryExists(const std::string &path);
bool FileExists(const std::string &path);

// Which version of a file a reader saw: files are replaced by rename, and
// an edit in place changes the times, so an equal stamp means equal content.
struct FileStamp {
  unsigned long long device = 0, inode = 0, size = 0;
  long long mtimeNs = 0, ctimeNs = 0;
  bool operator==(const FileStamp &) const = default;
};
// The stamp of the file at path now (symbolic links followed):
// ERROR_SUCCESS, ERROR_FILE_NOT_FOUND or another errno.
long StatFile(const std::string &path, FileStamp &stamp);
// The stamp of what fstat or stat found.
FileStamp FileStampOf(const struct stat &st);
bool DeleteFile(const std::string &path);

// Opens a new file (mode 0600) for writing, failing with ERROR_FILE_EXISTS
// when the name is taken. Returns the descriptor or -1.
int CreateNewFile(const std::string &path);

// Copies source to target (mode 0600), failing with ERROR_FILE_EXISTS when
// the target exists. The copy is durable (fdatasync) before it gets its name.
// A prefix is written in front of the source's bytes.
bool CopyFileNoReplace(const std::string &source, const std::string &target,
                       std::string_view prefix = {});

// rmdir: only an empty directory goes (ERROR_DIR_NOT_EMPTY otherwise).
bool RemoveDirectory(const std::string &path);

// Gives a file a new name in the same file system, replacing a file of that
// name (rename).
bool MoveFile(const std::string &from, const std::string &to);
// The same, failing with ERROR_FILE_EXISTS when the new name is taken.
bool MoveFileNoReplace(const std::string &from, const std::string &to);

// Which entries ListDirectory returns: regular files, or directories other
// than "." and "..". A symbolic link is neither, whatever it points to.
enum class ListKind { kFiles, kDirectories };

// The names (not paths) of the entries of directory of the given kind whose
// name is longer than suffix and ends with it, ASCII case ignored ("" takes
// every name), in no particular order. At most maxEntries names: when the
// directory holds more, names has the first maxEntries found and the result
// is false with ERROR_MORE_DATA. A directory that cannot be read gives false
// with its error and no names.
bool ListDirectory(const std::string &directory, std::string_view suffix, ListKind kind,
                   size_t maxEntries, std::vector<std::string> &names);

// Makes a directory's entries durable (after creating, renaming or deleting in it).
bool SyncDirectory(const std::string &path);

// Group commit: makes what was written to every descriptor durable (a
// file's data, a directory's entries) at the least cost. A group of
// kGroupSyncMin or more descriptors on one file system is synced either as
// a whole (syncfs: one flush for all of them, about a tenth of the cost of
// a sync per file for a group of 64 on a quiet file system, but it also
// waits for whatever else is being written there) or member by member
// (write-back started for all, then each synced), whichever has cost less
// lately; the other way is tried again now and then. A smaller group, or
// one that spans file systems, is synced member by member. True when all
// of it is on disk; false with the error, and then none of it may be
// counted on. Thread-safe.
constexpr size_t kGroupSyncMin = 3;
bool SyncTogether(std::span<const int> fds);
// Everything written to the file system that holds path is on disk (for
// changes too many or too scattered to collect: a whole queue tree).
bool SyncFileSystemOf(const std::string &path);

// The time of the last change of a file's data, in seconds since the epoch
// (a symbolic link's own time, not its target's).
bool FileModifiedTime(const std::string &path, long long &seconds);

// Writes a small file whole under a new name (a unit, a PAM service file):
// written and synced under a temporary name, then renamed without replacing
// (ERROR_FILE_EXISTS when the name is taken), so it is never seen half
// written. mode: its permission bits.
bool CreateFileWithText(const std::string &path, std::string_view text, mode_t mode);

// Appends text to path with one write on an O_APPEND descriptor, so that
// the lines of concurrent writers never mix; a missing file is made with
// mode 0600, a symbolic link is not followed (ELOOP). Made durable
// (fdatasync) only when sync is set. False with the error; a short write
// leaves what it wrote.
bool AppendToFile(const std::string &path, std::string_view text, bool sync);

// A temporary file that disappears when its descriptor is closed (in
// TempDirectory()). Returns the descriptor or -1.
int CreateTempFileDeleteOnClose();
// A file in memory only, never on a disk (memfd): for a secret handed
// between processes. Mode 0600, close-on-exec; the descriptor or -1.
int CreateMemoryFile();

// Owns a file descriptor.
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  ~UniqueFd() { Reset(); }
  UniqueFd(const UniqueFd &) = delete;
  UniqueFd &operator=(const UniqueFd &) = delete;
  UniqueFd(UniqueFd &&o) noexcept : fd_(o.Release()) {}
  UniqueFd &operator=(UniqueFd &&o) noexcept {
    if (this != &o) Reset(o.Release());
    return *this;
  }
  int Get() const { return fd_; }
  bool Valid() const { return fd_ >= 0; }
  int Release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
  }
  void Reset(int fd = -1);

 private:
  int fd_ = -1;
};

// The members of one group commit: descriptors kept open (each directory
// once, by path) until Sync() makes all of them durable with SyncTogether.
// A group that reaches kMaxSyncGroupMembers is synced there and then (a
// sync too early never hurts), so that a large group does not run out of
// descriptors; a failure of such a sync fails the group's final Sync() too.
// Used by one thread at a time.
constexpr size_t kMaxSyncGroupMembers = 256;
class SyncGroup {
 public:
  // A duplicate of fd joins the group; false when it cannot be made.
  bool AddFile(int fd);
  // The directory's entries join the group; false when it cannot be opened.
  bool AddDirectory(const std::string &path);
  // SyncTogether over the members, who then leave the group (whatever the
  // result).
  bool Sync();
  bool Empty() const { return fds_.empty(); }

 private:
  bool MakeRoom();
  std::vector<UniqueFd> fds_;
  std::vector<std::string> dirs_;
  long failure_ = 0;   // the error of an early sync that failed
};

// A file written before it has a name (the receiver's message files): it is
// created nameless in its directory (O_TMPFILE; on a file system without it,
// under a hidden temporary name of the given prefix) and written through
// Fd(); Link() then gives it its final name, failing with ERROR_FILE_EXISTS
// when the name is taken (nothing is ever replaced); Fd() reads too. A crash before Link()
// leaves nothing (or, without O_TMPFILE, the hidden temporary file). The
// descriptor stays open after Link() until Close(); Discard() closes it and
// removes what exists of the file short of its final name. One owner; not
// thread-safe.
class UnnamedFile {
 public:
  UnnamedFile() = default;
  ~UnnamedFile() { Discard(); }
  UnnamedFile(const UnnamedFile &) = delete;
  UnnamedFile &operator=(const UnnamedFile &) = delete;

  bool Create(const std::string &directory, std::string_view tempPrefix, mode_t permissions);
  int Fd() const { return fd_.Get(); }
  bool Valid() const { return fd_.Valid(); }
  bool Link(const std::string &path);
  bool Close();
  void Discard();
  // Trades files with other (a rewritten text takes the old one's place).
  void Swap(UnnamedFile &other) {
    std::swap(fd_, other.fd_);
    temp_.swap(other.temp_);
  }

 private:
  UniqueFd fd_;
  std::string temp_;   // the hidden name, without O_TMPFILE (until Link)
};

// A file that appears under its final name whole and durable, or not at all
// (recipient files, domain records). Create() opens a temporary file in the
// final name's directory (a hidden name of the given prefix, so directory
// scans by suffix never see it); the caller writes through Stream(); Commit()
// flushes and syncs the data and closes the file; Rename() gives it its
// final name (replacing a file of that name, or with noReplace failing with
// ERROR_FILE_EXISTS); Publish() is Commit, Rename and a sync of the
// directory. Until it is renamed the destructor removes the temporary file.
// Callers that must rename under a lock (the receiver's incoming directory)
// call the three steps themselves. One owner; not thread-safe.
class DurableFile {
 public:
  DurableFile() = default;
  ~DurableFile();
  DurableFile(const DurableFile &) = delete;
  DurableFile &operator=(const DurableFile &) = delete;

  // mode: a TextFile write mode ("w" translates line ends, "wb" does not).
  bool Create(const std::string &finalPath, std::string_view tempPrefix, mode_t permissions,
              const char *mode = "w");
  TextFile &Stream() { return stream_; }
  bool Commit();
  bool Rename(bool noReplace = false);
  bool Publish(bool noReplace = false);
  // Closes and removes the temporary file now (the destructor's work), so
  // that a refusal answered at once leaves nothing behind.
  void Discard();
  const std::string &FinalPath() const { return final_; }

 private:
  TextFile stream_;
  std::string final_;
  std::string temp_;
};
