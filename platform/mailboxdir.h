// mailboxdir: a user's mailbox directory, reached without trusting the
// user, and the files the delivery agent makes in it, each made as the
// mailbox's owner.
//
// The delivery agent runs as root and writes into directories that users
// control (a mailbox in a home directory, every mailbox under the common
// root, which belongs to its user). A user who could point it elsewhere, by
// swapping a directory for a symbolic link or by owning a directory above
// someone else's mailbox, could make it write or read another user's files.
// So MailboxDir::Open walks the path from "/" one component at a time with
// openat and O_NOFOLLOW, acting as the owner, and accepts a directory only
// when it belongs to root or to the owner. A symbolic link is followed only
// when root made it in a directory of root's (a system's "/home ->
// /srv/home"), never one a user made. Every later operation works on the
// opened directory's descriptor, so renaming the directory afterwards does
// not redirect it.
//
// Missing directories are made on request. Where the owner may write (its
// home directory) the owner makes them, mode 0700. In a directory of
// root's that only root can change (the common root "/var/mailbox"), root
// makes them: the mailbox itself is made, opened without following a link
// and given to its owner through that descriptor (fchown, then mode 0700),
// never by name; a directory above it stays root's with mode 0711
// (kMailboxRootMode: root lists it, users only pass). A process that is
// not root makes everything as itself.
//
// The owner is a logon token with an identity (platform/logon,
// MailUserIdentity): the work happens under its uid, gid and groups, so
// files are the user's and the kernel checks the user's own rights; a
// virtual user's token carries the virtual mail account's identity, and a
// process that is not root acts as itself. Files are created 0600.
//
// The common root itself (OpenRoot) is walked as the process. At the
// agent's start, mailboxes that root still owns there are handed to their
// owners (ListDirectories, GiveToOwner): each entry through a descriptor
// opened with O_NOFOLLOW, links and other odd entries left alone.
//
// Callers: common/netcode (finding and making a mailbox), the delivery
// agent (mailbox copies, the user's control and reply files, the hand-over
// at start) and the POP3 server (the mailbox root at start, a mailbox made
// at logon).
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
// missing directory when none is to be made, EINVAL for an owner without an
// identity, errno values otherwise.
#pragma once

#include <sys/types.h>

#include <string>
#include <string_view>
#include <vector>

#include "platform/files.h"
#include "platform/logon.h"

// A directory on the way belongs to neither root nor the mailbox's owner
// (the number of the old "invalid owner" error).
constexpr long ERROR_MAILBOX_NOT_OWNED = 1307;

constexpr mode_t kMailboxDirectoryMode = 0700;
// The common root of mailboxes ("/var/mailbox"): root lists it, mail users
// only pass through it to their own.
constexpr mode_t kMailboxRootMode = 0711;
constexpr mode_t kMailboxFileMode = 0600;
// Trusted links followed on one walk; more is a loop or a maze.
constexpr int kMaxMailboxPathLinks = 8;
// Components of one path: far more than any real path has. Also how deep
// below a mailbox a hand-over goes (folders in folders).
constexpr int kMaxMailboxPathComponents = 64;
// Mailboxes one listing of the common root takes: far more than one host
// serves; the rest waits for the next listing.
constexpr size_t kMaxMailboxRootEntries = 1000000;

// A subdirectory and its owner (MailboxDir::ListDirectories).
struct MailboxDirEntry {
  std::string Name;
  uid_t Owner = 0;
};

// What a hand-over did (MailboxDir::GiveToOwner), added up over calls.
struct MailboxHandOver {
  size_t Mailboxes = 0;   // mailboxes now their owner's
  size_t LeftAlone = 0;   // links, files with more than one link, special
                          // files, other users' entries, what lies too deep
};

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

  // Opens the absolute path as owner, a token with an identity (EINVAL
  // otherwise; see above); with create, missing directories are made.
  // ERROR_SUCCESS or the error number.
  long Open(const std::string &path, const LogonToken &owner, bool create);
  // Opens the common mailbox root at path as the process, by the same
  // walk; with create, missing directories are made (as root: root's, mode
  // kMailboxRootMode). As root, a root of root's with another mode gets
  // that one, through its descriptor.
  long OpenRoot(const std::string &path, bool create);
  void Close() {
    fd_.Reset();
    path_.clear();
  }
  bool IsOpen() const { return fd_.Valid(); }
  const std::string &Path() const { return path_; }
  // The directory itself, for work done in it as Owner() by other modules
  // (common/mailstore through zeladm); valid while the object is open.
  int Fd() const { return fd_.Get(); }
  const LogonToken &Owner() const { return owner_; }

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

  // The subdirectories (not links) of this directory, at most
  // kMaxMailboxRootEntries. False with the last error.
  bool ListDirectories(std::vector<MailboxDirEntry> &entries) const;
  // Hands the mailbox name below this directory (a root), which root owns,
  // to owner (uid, gid): its regular files with one link and its
  // subdirectories, each opened without following a link and changed
  // through its descriptor, then the mailbox itself; entries that are
  // anything else are left alone and counted. Only root can (the process
  // acts as itself). False with the last error when the mailbox is not
  // root's (ERROR_MAILBOX_NOT_OWNED), the owner is root, or it could not be
  // given.
  bool GiveToOwner(std::string_view name, const LogonToken &owner,
                   MailboxHandOver &count) const;

 private:
  UniqueFd fd_;
  LogonToken owner_;
  std::string path_;
};
