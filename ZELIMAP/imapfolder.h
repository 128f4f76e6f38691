// imapfolder: what the connections of one session process share, and
// each connection's view of its selected folder.
//
// Shared: the user's mailbox (common/mailstore, under StoreLock), and
// each folder some connection has selected: one index handle, the rows
// of its messages without their texts (UID, flags, keywords, modseq, size,
// date, file), and a log of the changes this process has seen, which each
// connection reads from its own position. A SharedFolder is used under its
// lock; RefreshFolder brings it up to date with the index and the
// directory: a directory the watch marked is synced (new files get UIDs,
// files gone are expunged), and an index whose HIGHESTMODSEQ moved is read
// for the rows changed since (one query over the changed rows).
//
// A view (SelectedView, one per connection with a folder selected) holds
// what its client was told: the UIDs by sequence number, and the messages
// expunged elsewhere that it has not yet been told of (ghosts: they keep
// their numbers and their data until the EXPUNGE or VANISHED response is
// sent, which happens only where RFC 9051 7.4.1 allows it, never during
// FETCH, STORE or SEARCH). ReportFolderChanges tells a client what changed:
// EXISTS (and RECENT in IMAP4rev1) for new messages, FETCH of flags (with
// UID in a UID command, MODSEQ under CONDSTORE) for messages changed by
// anyone else, EXPUNGE (VANISHED under QRESYNC) where allowed, and under
// CONDSTORE the folder's HIGHESTMODSEQ after new messages or expunges.
//
// A change is seen three ways: a connection of this process made it (the
// handler notes it: NoteRowsChanged, NoteExpunged), the folder's directory
// changed (a delivery, a POP3 QUIT, another process), or another process
// wrote the index: the watch thread's inotify (platform/changenotify's
// DirectoryWatch) marks the folder and wakes the connections idling on it,
// which report at once; the others report at their next command.
//
// The registry of IDLE waits: a connection in IDLE registers before each
// read (imapconn's BeforeRead) and is woken (ImapWake) by a change of its
// folder; the registry's lock makes the wake and the read's end safe from
// each other (see IdleReadStarted).
//
// Threads: the engine's workers (two) and the watch thread. Locks, always
// in this order: a folder's, then the folder map's or the registry's.
// Failures: error numbers of the store; a folder whose UIDVALIDITY changed
// under a view (its index was rebuilt) ends that view's connection with
// "* BYE".
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "ZELIMAP/imapconn.h"
#include "ZELIMAP/imapparseargs.h"
#include "common/mailstore.h"
#include "zelbase/zelbase.h"

// A message as the shared state keeps it: the index row without its texts.
struct MsgMeta {
  uint32_t Uid = 0;
  uint32_t Flags = 0;
  uint64_t ModSeq = 0;
  uint64_t Size = 0;
  int64_t InternalDate = 0;
  bool bStuffed = false;
  std::string Name;        // the message file
  std::string Keywords;    // space-separated
};

// One change the process has seen: a row's flags (Row after the change),
// or its expunge (Row as it was).
struct FolderChange {
  uint32_t Uid = 0;
  bool bExpunged = false;
  MsgMeta Row;
  const void *Origin = nullptr;   // the view that made it (it told its client)
};

struct SharedFolder {
  std::string Name;
  uint64_t Id = 0;                // the watch's key
  std::mutex Lock;
  FolderIndex Index;
  FolderState State;
  uint64_t SeenModSeq = 0;        // the index's changes up to here are in Rows
  std::vector<MsgMeta> Rows;      // ascending UIDs
  std::deque<FolderChange> Log;
  uint64_t LogBase = 0;           // the serial of Log.front()
  bool bWatched = false;          // the directory is watched: sync only when marked
  bool bDirty = true;             // the directory must be synced
  std::atomic<bool> bDirtyMark{false};   // the watch saw its entries change
  // Unwatched: what the directory and the index's log looked like at the
  // last look (the watch thread's alone).
  int64_t PolledStamp[4] = {};
  uint32_t Epoch = 0;             // bumped when UIDVALIDITY changed
  std::vector<uint64_t> ViewPositions;   // where each view reads the log (trim)
};

struct SelectedView {
  std::shared_ptr<SharedFolder> Folder;
  bool bReadOnly = false;
  uint32_t Epoch = 0;
  uint32_t UidValidity = 0;
  std::vector<uint32_t> Uids;                 // sequence number - 1: the UID
  std::map<uint32_t, MsgMeta> Ghosts;         // expunged elsewhere, not yet told
  uint64_t LogPos = 0;
  uint32_t RecentFirst = 0, RecentEnd = 0;    // this view's \Recent UIDs
  uint64_t HighestModSeqTold = 0;
};

// ---- the mailbox

// Opens the mailbox directory (the user's own by now), makes the
// special-use folders and starts the watch thread; false with the client's
// reply text.
bool OpenSessionMailbox(const std::string &directory, std::string &refusal);
void CloseSessionMailbox();
// The mailbox and the lock that serialises its use.
Mailstore &SessionStore();
std::mutex &StoreLock();

// A POP3 session holds the mailbox lock from its logon to its end and counts
// on every file it listed staying there. A command that removes files from
// INBOX (EXPUNGE, CLOSE, MOVE, RENAME of INBOX) takes the same lock for its
// own length: true when folder is not INBOX or the lock is now held, false
// while another holds it (a POP3 session: the caller answers
// kInboxInUseReply and removes nothing).
bool LockInboxForRemoval(std::string_view folder, DirLock &lock);
constexpr const char *kInboxInUseReply =
    "NO [INUSE] INBOX is in use by a POP3 session; try again later";

// ---- shared folders

// The folder named name (canonical), from the map or opened now.
long OpenSharedFolder(const std::string &name, std::shared_ptr<SharedFolder> &out);
// Forgets a folder that was deleted or renamed (views keep theirs); the
// plural form also those below it.
void ForgetSharedFolder(const std::string &name);
void ForgetSharedFolders(const std::string &name);
// Under the folder's lock: up to date with the index and the directory.
long RefreshFolder(SharedFolder &f);
// The row of uid in Rows (null when none).
const MsgMeta *FindRow(const SharedFolder &f, uint32_t uid);
MsgMeta MetaOfRow(const IndexRow &row);

// The UIDs within ranges (normalised) expunged since modseq (QRESYNC's
// VANISHED (EARLIER)); where the index forgot old expunges, every UID of
// ranges that is not in the folder.
std::vector<ImapRange> VanishedSince(SharedFolder &f, uint64_t modseq,
                                     const std::vector<ImapRange> &ranges);

// Under the folder's lock, after a change this process made: rows
// changed (STORE) or messages expunged (EXPUNGE, MOVE) by origin (the
// view that told its client itself); wakes the connections idling on it.
void NoteRowsChanged(SharedFolder &f, const std::vector<IndexRow> &rows, const void *origin);
void NoteExpunged(SharedFolder &f, const std::vector<uint32_t> &uids, const void *origin);
// Wakes the connections idling on the folder (after its lock is left).
void WakeIdlers(uint64_t folderId);

// ---- views

// Makes the connection's view of f (under f's lock, refreshed): every
// message, nothing to report yet.
std::unique_ptr<SelectedView> NewView(const std::shared_ptr<SharedFolder> &f, bool readOnly);
// Ends a view (its log position is let go).
void DropView(std::unique_ptr<SelectedView> &view);
// The view's message at a sequence number: its UID, and its row (a ghost's
// or the folder's; null when it has none). Under the folder's lock.
const MsgMeta *ViewRow(const SelectedView &v, uint32_t uid);
// The sequence number of a UID in the view (0: not there).
uint32_t ViewSeqOfUid(const SelectedView &v, uint32_t uid);
// Whether the view counts uid as \Recent.
bool ViewRecent(const SelectedView &v, uint32_t uid);

// "* n FETCH (FLAGS (...)[ UID u][ MODSEQ (m)])".
void WriteFlagsFetch(std::string &out, const SelectedView &v, uint32_t seq, const MsgMeta &row,
                     bool uid, bool modseq);

// Queues the untagged responses of what changed in the connection's
// selected folder since it was last told (see above); with uidForm, the
// FETCH responses carry UID. Ends the connection's view (and asks the
// loop to close) when its folder's UIDVALIDITY changed.
void ReportFolderChanges(_Connection *conn, bool expungesAllowed, bool uidForm = false);
// "* OK [HIGHESTMODSEQ n] Highest": at SELECT, and after new messages or
// expunges are told to a CONDSTORE client.
void WriteHighestModSeq(std::string &out, uint64_t modseq);

// imapconn's hooks for IDLE: a connection in IDLE registers before its
// read (and reports at once what is already there), is woken by a change
// of its folder, and leaves the registry when its read is over.
void IdleBeforeRead(_Connection *conn);
void IdleReadStarted(uint64_t token);
void IdleAfterRead(_Connection *conn);
ImapGo IdleWoken(_Connection *conn);
