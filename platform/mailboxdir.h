// mailboxdir: a user's mailbox directory, reached without trusting the
// user, and the files the delivery agent makes in it, each made as the
// mailbox's owner.
//
// The delivery agent runs as root and writes into directories that users
// control (a mailbox in a home directory). A user who could point it
// elsewhere, by swapping a directory for a symbolic link or by owning a
// directory above someone else's mailbox, could make it write or read
// another user's files. So MailboxDir::Open walks the path from "/" one
// component at a time with openat and O_NOFOLLOW, acting as the owner,
// and accepts a directory only when it belongs to root or to the owner. A
// symbolic link is followed only when root made it in a directory of root's
// (a system's "/home -> /srv/home"), never one a user made. Missing
// directories are made on request, mode 0700, as the owner. Every later
// operation works on the opened directory's descriptor, so renaming the
// directory afterwards does not redirect it.
//
// The owner is a logon token: a host account's token (LookUpFileSystemIdentity) in
// platform/logon makes the work happen under the account's uid, gid and
// groups, so files are the user's and the kernel checks the user's own
// rights; any other token (an accounts-file user, the mailboxes under the
// common root) leaves the process's own identity, with the same walk and
// its own uid as the owner. Files are created 0600.
//
// Callers: common/netcode (finding and making a mailbox) and the delivery
// agent (mailbox copies, the user's control and reply files).
//
// Untrusted input: the path's components below the home directory and
// every entry of the directory. File names handed in are the agent's own;
// a name with "/" or a dot name is refused.
//
// Threads: one owner per object. Each call takes the owner's identity on
// the calling thread and gives it back before it returns.
//
// Failures: false (or -1, or the error number of Open) with the thread's
// last error: ELOOP for a link, ENOTDIR for a file in the way,
// ERROR_MAILBOX_NOT_OWNED for a directory of someone else, ENOENT for a
// missing directory when none is to be made, errno values otherwise.
#pragma once

#include <sys/types.h>

#include <string>
#include <string_view>

#include "platform/files.h"
#include "platform/logon.h"

// A directory on the way belongs to neither root nor the mailbox's owner
// (the number of the old "invalid owner" error).
constexpr long ERROR_MAILBOX_NOT_OWNED = 1307;

constexpr mode_t kMailboxDirectoryMode = 0700;
constexpr mode_t kMailboxFileMode = 0600;
// Trusted links followed on one walk; more is a loop or a maze.
constexpr int kMaxMailboxPathLinks = 8;
// Components of one path: far more than any real path has.
constexpr int kMaxMailboxPathComponents = 64;

// Opens name below the directory dir (AT_FDCWD: a path) for reading, or
// for appending (created with mode when missing), refusing a link as the
// last component and anything but a regular file; the open cannot hang on
// a FIFO. The descriptor, or -1 with the last error (ELOOP for a link,
// EINVAL for a file that is not regular).
int OpenRegularFileAt(int dir, const char *name, bool append, mode_t mode);

// A copy written into a mailbox directory that has no name yet (see
// MailboxDir::StageCopy): its data waits for a group's sync over File(),
// then NameStagedCopy gives it its name, and a sync of Directory() makes
// the name last. Dropped unnamed, it leaves nothing behind: it is a
// nameless file, or (on a file system without them) a hidden temporary
// name that is removed with it. Move-only; used by one thread.
class StagedCopy {
 public:
  StagedCopy() = default;
  ~StagedCopy();
  StagedCopy(StagedCopy &&) = default;
  StagedCopy &operator=(StagedCopy &&) = delete;   // would drop a temporary name
  int File() const { return file_.Get(); }
  int Directory() const { return dir_.Get(); }

 private:
  friend class MailboxDir;
  friend bool NameStagedCopy(StagedCopy &copy, std::string_view name);
  friend void UnnameStagedCopy(const StagedCopy &copy, std::string_view name);
  UniqueFd dir_;
  UniqueFd file_;
  LogonToken owner_;
  std::string temp_;
};

// Names a staged copy whose data is durable, failing with
// ERROR_FILE_EXISTS when the name is taken (then it can be tried under
// another). The name is durable once the caller syncs copy.Directory().
bool NameStagedCopy(StagedCopy &copy, std::string_view name);
// Removes a name given by NameStagedCopy whose directory sync failed, so
// that the copy is made again rather than counted on.
void UnnameStagedCopy(const StagedCopy &copy, std::string_view name);

class MailboxDir {
 public:
  MailboxDir() = default;
  MailboxDir(const MailboxDir &) = delete;
  MailboxDir &operator=(const MailboxDir &) = delete;

  // Opens the absolute path as owner (see above); with create, missing
  // directories are made. ERROR_SUCCESS or the error number.
  long Open(const std::string &path, const LogonToken &owner, bool create);
  void Close() {
    fd_.Reset();
    path_.clear();
  }
  bool IsOpen() const { return fd_.Valid(); }
  const std::string &Path() const { return path_; }

  // A regular file of the directory, never through a link: for reading,
  // or for appending (created when missing). The descriptor or -1.
  int OpenFile(std::string_view name, bool append) const;
  // A regular file of that name is there (a link is not).
  bool FileExists(std::string_view name) const;
  // Copies the file open at source (from its start) in under name, failing
  // with ERROR_FILE_EXISTS when the name is taken. The copy and its name
  // are durable before it returns true; a half-written copy never has the
  // name.
  bool CopyFileIn(int source, std::string_view name) const;
  // The first half of CopyFileIn for a group commit: the copy is written
  // as the owner, without a sync and without a name (see StagedCopy).
  bool StageCopy(int source, StagedCopy &copy) const;
  // Replaces name with text, whole and durable, or leaves it as it was.
  bool ReplaceFile(std::string_view name, std::string_view text) const;

 private:
  UniqueFd fd_;
  LogonToken owner_;
  std::string path_;
};
