// mailstoreindex: one mail folder's directory and its index: UIDs, flags,
// keywords, modification sequences, the expunged UIDs, and the sync of
// the index with the message files.
//
// The folder is a directory of message files in the SMTP form
// ("<base>.MSG": CR LF lines, dot-stuffed, a closing "." line), which never
// change once named: the delivery agent adds files to INBOX, POP3 removes
// them, IMAP sessions add (APPEND, COPY) and remove (EXPUNGE, MOVE) them.
// The index ".index" in the same directory is SQLite (platform/sqlitedb),
// in WAL mode, private to the user:
//   meta(key, value): uidvalidity, uidnext, highestmodseq, recent (the
//     first UID not yet announced as \Recent), schema (1), expungedfloor
//     (the highest modseq of an expunged UID that was forgotten);
//   msg(uid, name, size, internaldate, flags, keywords, modseq, stuffed,
//     envelope, bodystructure): size is the message text's (the file
//     without the stuffing dots and the closing line), flags the bits
//     below, keywords space-separated, envelope and bodystructure the
//     response texts made once by the caller's describer;
//   expunged(uid, modseq): the UIDs expunged, for QRESYNC.
//
// Sync compares the directory's listing with the index in memory (one
// listing, one query over the name index, a merge): new names get the
// next UIDs in name order, each file read once by the describer; names
// gone are expunged with a modseq each. An unchanged folder costs just
// that.
//
// Why two processes on one folder (two sessions of a user, zeladm's
// reindex, the delivery agent adding files, POP3 removing them) never
// corrupt the index nor reuse a UID:
// 1. Every change is one SQLite transaction that takes the write lock
//    first (BEGIN IMMEDIATE) and reads uidnext, highestmodseq and the rows
//    it changes inside it; UIDs are assigned only there, from the highest
//    of uidnext and every UID in msg and expunged plus one, so even a
//    damaged uidnext cannot bring an old UID back. A transaction that
//    assigns UIDs commits with synchronous=FULL.
// 2. Files are only ever added under names nobody has (O_EXCL, link and
//    rename without replacing) and removed; a file never changes. The
//    unique name in msg makes a second row for one file impossible: a
//    sync that finds a name taken by another process meanwhile leaves it.
// 3. The listing is taken outside the transaction, so it may be older
//    than the rows: a row whose file the listing lacks is expunged only
//    when the file is still missing when checked inside the transaction
//    (an APPEND or COPY names the file before it adds its row). Files are
//    removed before their rows, with a directory sync in between, so a
//    removed message never comes back under a new UID after a crash.
// 4. A damaged index is rebuilt under the lock file ".index-lock" by one
//    process; the others notice that ".index" names another file at their
//    next sync and reopen it (new UIDVALIDITY). A rebuild never removes a
//    message file.
// A crash between a file and its row leaves a file that the next sync
// indexes (without the flags it was to have); nothing is lost.
//
// The expunged table keeps the kMaxExpungedRows most recent UIDs. Older
// ones are forgotten and expungedfloor remembers up to which modseq: a
// client resynchronising from before it is told, as RFC 7162 allows, that
// every UID of its known range not present now has vanished
// (ExpungedSince answers complete = false).
//
// Callers: common/mailstore (which opens folders by name), the IMAP
// session process (as the mailbox's owner) and zeladm (as root acting as
// the owner). Untrusted: the directory's entries and files (the user owns
// them), the index file (damage is detected and rebuilt), keywords and
// UIDs from clients (checked, bounded).
//
// Threads: one object, one thread at a time; two objects (any processes)
// on one folder are safe. Failures: error numbers (platform/errors.h):
// ERROR_BUSY when another process held the index past the busy timeout,
// ERROR_FILE_NOT_FOUND when the folder was deleted, ERROR_INVALID_PARAMETER
// for a bad keyword, ERROR_DISK_FULL, EIO. Open and Sync rebuild a damaged
// index (with an event) instead of failing; another call that meets the
// damage fails with ERROR_INVALID_DATA, and the caller's next Sync
// rebuilds it.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/files.h"
#include "platform/sqlitedb.h"

// System flags as stored.
constexpr uint32_t kStoreFlagSeen = 1;
constexpr uint32_t kStoreFlagAnswered = 2;
constexpr uint32_t kStoreFlagFlagged = 4;
constexpr uint32_t kStoreFlagDeleted = 8;
constexpr uint32_t kStoreFlagDraft = 16;
constexpr uint32_t kAllFlags = 31;

// A keyword is an atom of at most this many bytes (what mail programs use
// is far shorter).
constexpr size_t kMaxKeywordBytes = 64;
// Keywords one message carries.
constexpr size_t kMaxKeywordsPerMessage = 32;
// Expunged UIDs remembered for QRESYNC; older ones are forgotten (see
// above). Two bytes per row's worth of index pages is cheap at this size.
constexpr size_t kMaxExpungedRows = 20000;
// Message files one sync takes from a directory; a folder with more is
// indexed in parts.
constexpr size_t kMaxFolderFiles = 1000000;
// How long a process waits for another's write transaction on the index.
constexpr int kIndexBusyTimeoutMs = 10000;

constexpr std::string_view kIndexFileName = ".index";
// A message being appended is written under this prefix until it is whole.
constexpr std::string_view kAppendTempPrefix = ".zelappend-";
// A temporary file this old is a leftover of a crash (Reindex removes it).
constexpr int64_t kStaleTempSeconds = 3600;
constexpr std::string_view kMessageFileSuffix = ".MSG";

// What a describer makes of a message file.
struct MessageDescription {
  uint64_t TextSize = 0;   // the message text's length
  bool Stuffed = false;    // a line of the file carries a stuffing dot
  std::string Envelope;
  std::string BodyStructure;
};
// Reads a whole message file (the SMTP form). Called once per file, on the
// sync's thread; must be bounded in time and memory by the view's size.
using MessageDescriber = MessageDescription (*)(std::string_view fileBytes);

// The SMTP form measured: where the message text ends (before the closing
// "." line when the file has one) and how many stuffing dots it carries
// (a "." that begins a line; a line starts at the file's start and after
// each LF).
struct SmtpFormMeasure {
  uint64_t TextEnd = 0;
  uint64_t StuffingDots = 0;
};
SmtpFormMeasure MeasureSmtpForm(std::string_view fileBytes);
// The describer without a MIME parser: size and stuffing, no texts.
MessageDescription DescribeSmtpForm(std::string_view fileBytes);

// What happened to an index, for the caller's event.
enum class IndexEvent {
  kCreated,    // there was none (a new folder, or a first IMAP logon)
  kRebuilt,    // it was damaged: rebuilt from the files, new UIDVALIDITY
  kReindexed,  // Reindex: new UIDVALIDITY, flags kept
};
using IndexEventSink = void (*)(void *context, IndexEvent event, const std::string &folder,
                                uint32_t uidValidity);

struct IndexOptions {
  MessageDescriber Describe = DescribeSmtpForm;
  IndexEventSink OnEvent = nullptr;
  void *EventContext = nullptr;
  int BusyTimeoutMs = kIndexBusyTimeoutMs;
};

struct IndexRow {
  uint32_t Uid = 0;
  std::string Name;
  uint64_t Size = 0;
  int64_t InternalDate = 0;   // seconds since the epoch
  uint32_t Flags = 0;
  std::string Keywords;       // space-separated
  uint64_t ModSeq = 0;
  bool Stuffed = false;
  // Empty when not read (RowQuery::Texts false) or not made yet (the
  // caller describes the file and stores them with SetDescription).
  std::string Envelope;
  std::string BodyStructure;
};

struct RowQuery {
  uint32_t FromUid = 1;
  uint32_t ToUid = UINT32_MAX;
  uint64_t ChangedSince = 0;   // only rows with a greater modseq
  bool Texts = true;           // envelope and body structure too
};

struct FolderState {
  uint32_t UidValidity = 0;
  uint32_t UidNext = 1;
  uint64_t HighestModSeq = 1;
  uint32_t FirstRecent = 1;
};

struct FolderCounts {
  FolderState State;
  uint32_t Messages = 0;
  uint32_t Unseen = 0;
  uint32_t Deleted = 0;
  uint32_t Recent = 0;
  uint64_t Size = 0;
};

struct SyncResult {
  // The UIDVALIDITY changed since this handle last looked (a rebuild, a
  // reindex, an index made anew): every UID the caller knows is void.
  bool NewUidValidity = false;
  uint32_t Added = 0;
  uint32_t Expunged = 0;
};

enum class StoreMode { kReplace, kAdd, kRemove };

struct FlagChange {
  StoreMode Mode = StoreMode::kReplace;
  uint32_t Flags = 0;
  std::vector<std::string> Keywords;
  bool HasUnchangedSince = false;
  uint64_t UnchangedSince = 0;
};

struct StoreOutcome {
  std::vector<IndexRow> Changed;   // uid, flags, keywords, modseq
  std::vector<uint32_t> Failed;    // their modseq was above UNCHANGEDSINCE
};

// A message file the caller named in the folder (APPEND, COPY): its row.
struct NamedMessage {
  std::string Name;
  MessageDescription Description;
  int64_t InternalDate = 0;
  uint32_t Flags = 0;
  std::string Keywords;
  uint32_t Uid = 0;   // out
};

// A keyword list (space-separated, as stored or from a client) checked:
// atoms of at most kMaxKeywordBytes without "\\", at most
// kMaxKeywordsPerMessage, duplicates (ASCII case ignored) dropped.
bool NormalizeKeywords(const std::vector<std::string> &keywords, std::string &out);

class FolderIndex {
 public:
  FolderIndex() = default;
  FolderIndex(const FolderIndex &) = delete;
  FolderIndex &operator=(const FolderIndex &) = delete;

  // Takes over dir (the folder's directory, opened by common/mailstore)
  // and opens its index, making it when missing and rebuilding it when
  // damaged (each with an event). name is the folder's canonical name.
  long Open(UniqueFd dir, const std::string &name, const IndexOptions &options);
  void Close();
  bool IsOpen() const { return db_.IsOpen(); }
  const std::string &Name() const { return name_; }
  int Directory() const { return dir_.Get(); }
  MessageDescriber Describer() const { return options_.Describe; }

  long Sync(SyncResult &result);
  long ReadState(FolderState &state);
  long ReadCounts(FolderCounts &counts);
  long ReadRows(const RowQuery &query, std::vector<IndexRow> &rows);
  // UIDs expunged with a modseq above since, in UID order; complete is
  // false when some of them may have been forgotten.
  long ExpungedSince(uint64_t since, std::vector<uint32_t> &uids, bool &complete);
  // Every keyword in use in the folder, sorted.
  long KeywordsInUse(std::vector<std::string> &keywords);

  // Applies change to the messages uids (unknown ones are skipped).
  long StoreFlags(const std::vector<uint32_t> &uids, const FlagChange &change,
                  StoreOutcome &outcome);
  // The UIDs from first to before uidNext are this caller's \Recent ones;
  // no later caller gets them.
  long ClaimRecent(uint32_t &first, uint32_t &uidNext);
  // Removes the \Deleted messages (only those in uids when given, sorted
  // ascending), or with deletedOnly false the messages uids whatever their
  // flags (MOVE): files, then rows. expunged: their UIDs, ascending.
  long Expunge(const std::vector<uint32_t> *uids, std::vector<uint32_t> &expunged,
               bool deletedOnly = true);
  // Rows for files the caller has named in the folder; assigns the UIDs
  // (a sync that indexed one first keeps its UID and gets the flags).
  // uidValidity: the folder's, as the rows were added.
  long AddNamedMessages(std::vector<NamedMessage> &messages, uint32_t &uidValidity);
  // Stores the texts of a row that has none yet.
  long SetDescription(uint32_t uid, const MessageDescription &description);
  // Builds the index anew from the files: a new UIDVALIDITY, new UIDs in
  // name order, flags and keywords kept by file name. Temporary files a
  // crash left (older than kStaleTempSeconds) are removed.
  long Reindex(SyncResult &result);

 private:
  struct Meta;
  struct Listed;
  long OpenIndex(bool allowRebuild);
  long ReadMeta(Meta &meta);
  long LoadForWrite(Meta &meta);
  long SaveMeta(const Meta &meta);
  long CreateSchema(uint32_t uidValidity, bool &created);
  long Rebuild(uint64_t damagedInode);
  long CheckIdentity();
  long NoteUidValidity(SyncResult &result);
  long SyncOnce(SyncResult &result, bool reindex);
  long ListFiles(std::vector<std::string> &names, bool &truncated);
  void RemoveStaleTemporaries();
  long Describe(const std::vector<std::string> &names, std::vector<NamedMessage> &out);
  enum class SyncMode { kSync, kReindexFirst, kReindexMore };
  using GoneRow = std::pair<uint32_t, std::string>;   // uid, name
  long ApplySync(std::vector<NamedMessage> &added, const std::vector<GoneRow> &gone,
                 SyncMode mode, SyncResult &result);
  long PutRow(NamedMessage &m, Meta &meta, bool updateExisting, bool &inserted);
  long RecordExpunged(uint32_t uid, Meta &meta);
  long TrimExpunged(Meta &meta);
  void Event(IndexEvent event, uint32_t uidValidity);

  UniqueFd dir_;
  std::string name_;
  IndexOptions options_;
  SqliteDb db_;
  std::string buffer_;   // a file being described
  uint32_t uidValidity_ = 0;   // as this handle last saw it
};
