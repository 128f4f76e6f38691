// folderfs: the file-system calls of mail folders, every one relative to a
// directory held open and none following a symbolic link.
//
// A mail user's folders are directories below the mailbox directory
// (common/mailstore). The user owns that tree and may plant anything in it,
// and a hostile client names folders: so nothing here walks a path string.
// Each call takes an open directory and one plain name in it (no "/", not
// "." or ".."; refused with EINVAL otherwise), opens with O_NOFOLLOW, makes
// files with O_EXCL, links and renames without replacing. A link found
// where a directory or file is expected fails with ELOOP or ENOTDIR, so the
// caller never writes outside the tree through one.
//
// Callers: common/mailstore and its index (the IMAP session process, which
// runs as the mailbox's owner; zeladm as root acting as the owner through
// platform/logon's impersonation on its thread).
//
// Threads: no state but the fault hook of the tests; thread-safe.
// Failures: false or -1 with the thread's last error (errno values).
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/errors.h"

// A plain name of a directory's entry: not empty, no "/" or NUL, not "."
// or "..".
bool IsPlainEntryName(std::string_view name);

// What fstatat (without following a link) says of an entry.
struct EntryStamp {
  bool Regular = false;
  bool Directory = false;
  uint64_t Size = 0;
  int64_t ModifiedTime = 0;   // seconds since the epoch
  int64_t ModifiedNs = 0;     // and nanoseconds within that second
  uint64_t Device = 0;
  uint64_t Inode = 0;
  uint64_t Links = 0;
};

// The entry name of dir; false with ENOENT when there is none.
bool StatEntryAt(int dir, std::string_view name, EntryStamp &stamp);
// The same for an open descriptor.
bool StatOpenFile(int fd, EntryStamp &stamp);

// Opens the subdirectory name of dir for reading and for *At calls; -1 with
// ELOOP or ENOTDIR when a link or a file stands there.
int OpenSubdirectoryAt(int dir, std::string_view name);
// Makes the subdirectory name with mode; false with EEXIST when the name is
// taken.
bool MakeDirectoryAt(int dir, std::string_view name, mode_t mode);
// Removes the empty subdirectory name (ENOTEMPTY otherwise).
bool RemoveDirectoryAt(int dir, std::string_view name);

// Creates the regular file name with mode for writing; EEXIST when taken.
int CreateFileAt(int dir, std::string_view name, mode_t mode);
// Removes the file name; a name already gone counts as removed.
bool RemoveFileAt(int dir, std::string_view name);
// Gives the file from (in fromDir) the second name to (in toDir), never
// replacing: EEXIST when to is taken.
bool LinkFileAt(int fromDir, std::string_view from, int toDir, std::string_view to);
// Moves the entry from (in fromDir) to to (in toDir), never replacing:
// EEXIST when to is taken. A directory moves with its whole subtree.
bool RenameEntryAt(int fromDir, std::string_view from, int toDir, std::string_view to);
// Moves from to to, replacing a file of that name (a file rewritten whole).
bool ReplaceEntryAt(int dir, std::string_view from, std::string_view to);

// Makes what was written to fd durable: its data (fdatasync) or, for a
// directory, its entries (fsync).
bool SyncData(int fd);
bool SyncDirectoryEntries(int dirFd);
// Sets a file's modification time (and access time) to seconds.
bool SetModifiedTime(int fd, int64_t seconds);

// The absolute path of the open directory without any symbolic link in it,
// checked to name that directory now. False with the last error.
bool RealPathOfDirectory(int dirFd, std::string &path);

// Takes an exclusive lock (flock) on the file name of dir, made (mode 0600)
// when missing; waits for its holder. The descriptor holds the lock until
// it is closed; -1 with the last error.
int LockEntryAt(int dir, std::string_view name);

// The names of the entries of dir that may be regular files (the
// directory's entry type says so, or does not say) and end with suffix,
// ASCII case ignored, in no order; at most maxNames (*more tells whether
// some were left out). No entry is opened or checked: a name may still turn
// out to be something else when opened.
bool ListFileNamesAt(int dir, std::string_view suffix, size_t maxNames,
                     std::vector<std::string> &names, bool *more);
// The subdirectories of dir (checked: no links) whose names start with
// prefix, in no order, at most maxNames (*more as above).
bool ListSubdirectoriesAt(int dir, std::string_view prefix, size_t maxNames,
                          std::vector<std::string> &names, bool *more);
