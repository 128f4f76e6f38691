// mailstore: a user's mail folders as IMAP sees them: opening a folder by
// name, CREATE, DELETE, RENAME, LIST data, STATUS, subscriptions, the
// special-use folders, APPEND (AppendWriter), COPY and MOVE.
//
// The layout (common/mailstorename): INBOX is the mailbox directory M,
// which the delivery agent fills and POP3 reads; other folders are
// directories "+name" below it, each with its index (common/
// mailstoreindex). A directory without an index and without message files
// is a folder deleted while it had children (\NoSelect). Subscriptions are
// M/.subscriptions, one name a line, replaced whole and durably.
//
// Everything is reached from M's descriptor, one component at a time,
// without following a link (platform/folderfs), as the process's identity
// (the IMAP session runs as the mailbox's owner; zeladm acts as the owner
// on its thread before it calls in). Nothing takes the POP3 mailbox lock:
// the rules of mailstoreindex.h keep two processes apart.
//
// Semantics chosen where RFC 9051 leaves a choice:
// - CREATE and RENAME make missing parents as ordinary folders; CREATE of
//   a \NoSelect name makes it selectable again; CREATE of INBOX or of an
//   existing folder fails (ERROR_ALREADY_EXISTS).
// - DELETE of INBOX fails (ERROR_ACCESS_DENIED); a folder with children
//   loses its messages and index and keeps its directory (\NoSelect); a
//   \NoSelect folder with children cannot be deleted (ERROR_DIR_NOT_EMPTY).
// - RENAME moves the directory with its whole subtree in one rename; the
//   folder keeps its index and UIDVALIDITY. RENAME of INBOX makes the new
//   folder and moves INBOX's message files into it (flags go along),
//   leaving INBOX empty and its children where they are.
// - COPY and MOVE give the target new files (hard links under new names)
//   with the source's flags, keywords and internal date; MOVE then
//   expunges the source messages.
//
// Message files are written in the SMTP form (AppendWriter): CR LF lines
// (a bare LF becomes CR LF), a "." that begins a line doubled, a line end
// added when the text lacks a final one, and the closing ".\r\n". The file
// is complete and durable (data synced, named by a link that never
// replaces, directory synced) before its index row is committed, and its
// modification time is the internal date, so a rebuilt index keeps it.
// New names are "<id>.MSG" with a message identifier from
// CreateUniqueMsgId where the process may take one, else a name of the
// same shape made from the time and random bytes; a taken name is never
// replaced, another is tried.
//
// Untrusted: folder names from clients (ParseFolderName), the tree's
// entries, the subscriptions file (read bounded, bad lines skipped).
// Threads: one object, one thread at a time. Failures: error numbers:
// ERROR_INVALID_PARAMETER (a name refused), ERROR_FILE_NOT_FOUND (no such
// folder), EISDIR (a \NoSelect folder where a selectable one is needed),
// ERROR_ALREADY_EXISTS, ERROR_ACCESS_DENIED, ERROR_DIR_NOT_EMPTY,
// ERROR_BUSY, ERROR_DISK_FULL, EIO and other errno values of the files.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "common/mailstoreindex.h"
#include "common/mailstorename.h"
#include "platform/files.h"

// LIST attributes.
constexpr uint32_t kFolderNoSelect = 1u << 0;
constexpr uint32_t kFolderHasChildren = 1u << 1;
constexpr uint32_t kFolderHasNoChildren = 1u << 2;
constexpr uint32_t kFolderNonExistent = 1u << 3;
constexpr uint32_t kFolderSubscribed = 1u << 4;
constexpr uint32_t kFolderSent = 1u << 5;
constexpr uint32_t kFolderDrafts = 1u << 6;
constexpr uint32_t kFolderTrash = 1u << 7;
constexpr uint32_t kFolderJunk = 1u << 8;
constexpr uint32_t kFolderArchive = 1u << 9;

// Folders one listing takes: far more than any mail program can show.
constexpr size_t kMaxFolders = 10000;
// Subscriptions kept, and the file's size (a name a line).
constexpr size_t kMaxSubscriptions = 10000;
constexpr size_t kMaxSubscriptionBytes = kMaxSubscriptions * 64;
// Names tried for one new message file before giving up.
constexpr int kMessageNameAttempts = 10;

constexpr std::string_view kSubscriptionsFileName = ".subscriptions";

// The top-level folders every mailbox has, with their attribute.
struct SpecialUseFolder {
  std::string_view Name;
  uint32_t Attribute;
};
extern const SpecialUseFolder kSpecialUseFolders[5];

// The attributes as LIST writes them ("\HasNoChildren \Sent"), in a fixed
// order.
std::string FolderAttributeText(uint32_t attributes);

struct FolderEntry {
  std::string Name;
  uint32_t Attributes = 0;
};

struct AppendResult {
  uint32_t UidValidity = 0;
  uint32_t Uid = 0;
};

struct CopyResult {
  uint32_t UidValidity = 0;          // the target's
  std::vector<uint32_t> SourceUids;  // copied, ascending
  std::vector<uint32_t> TargetUids;  // their new UIDs, in the same order
  std::vector<uint32_t> Expunged;    // MOVE: removed from the source
};

class Mailstore {
 public:
  Mailstore() = default;
  Mailstore(const Mailstore &) = delete;
  Mailstore &operator=(const Mailstore &) = delete;

  // Works on the mailbox directory open at mailboxDir (duplicated; the
  // caller keeps its own). options go to every folder opened.
  long Open(int mailboxDir, const IndexOptions &options);
  void Close() { dir_.Reset(); }

  // Makes the special-use folders that are missing.
  long EnsureSpecialUse();
  // Opens a selectable folder (its index made or rebuilt as needed).
  long OpenFolder(std::string_view name, FolderIndex &folder);
  long CreateFolder(std::string_view name);
  long DeleteFolder(std::string_view name);
  long RenameFolder(std::string_view from, std::string_view to);
  // Every folder (INBOX first, then by name), and subscribed names that
  // are no folder (kFolderNonExistent), with their attributes.
  long ListFolders(std::vector<FolderEntry> &folders);
  // The counts of a folder after a sync.
  long FolderStatus(std::string_view name, FolderCounts &counts);
  long ReadSubscriptions(std::vector<std::string> &names);
  long Subscribe(std::string_view name, bool subscribe);
  // COPY (move false) or MOVE of the messages uids (ascending) of from
  // into to; UIDs that no longer exist are skipped.
  long Copy(FolderIndex &from, const std::vector<uint32_t> &uids, FolderIndex &to, bool move,
            CopyResult &result);

 private:
  long WalkTo(const FolderPath &path, size_t components, bool create, UniqueFd &out);
  long MakeFolderIndex(int dir, const std::string &name);
  long RenameInbox(const FolderPath &to);
  void ListBelow(int dir, const std::string &prefix, size_t depth,
                 std::vector<FolderEntry> &out);
  long WriteSubscriptions(const std::vector<std::string> &names);

  UniqueFd dir_;
  IndexOptions options_;
};

// Writes one APPENDed message: Begin, the text in pieces as the client
// sends them (Write), then Finish, which makes it durable and indexes it.
// Dropped or Aborted before Finish, it leaves nothing behind. One object
// per message; one thread.
class AppendWriter {
 public:
  AppendWriter() = default;
  ~AppendWriter() { Abort(); }
  AppendWriter(const AppendWriter &) = delete;
  AppendWriter &operator=(const AppendWriter &) = delete;

  long Begin(FolderIndex &folder);
  long Write(std::string_view piece);
  // internalDate 0: now. ERROR_INVALID_PARAMETER for an empty message or
  // a bad keyword (nothing is kept).
  long Finish(int64_t internalDate, uint32_t flags, const std::vector<std::string> &keywords,
              AppendResult &result);
  void Abort();

 private:
  long Flush();

  FolderIndex *folder_ = nullptr;
  UniqueFd file_;
  std::string temp_;
  std::string out_;
  uint64_t textBytes_ = 0;
  bool lineStart_ = true;
  bool lastCr_ = false;
};
