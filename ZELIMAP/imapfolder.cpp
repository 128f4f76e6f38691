// imapfolder: see imapfolder.h.
#include "ZELIMAP/imapfolder.h"

#include <algorithm>
#include <atomic>

#include "ZELIMAP/imapdescribe.h"
#include "ZELIMAP/imapsession.h"
#include "ZELIMAP/imapwrite.h"
#include "common/logging.h"
#include "messages/zelmsg.h"
#include "platform/changenotify.h"
#include "platform/fileview.h"
#include "platform/folderfs.h"
#include "platform/thread.h"

namespace {

// Changes kept for views that have not read them: a connection that sits
// selected and silent for long catches up from the rows instead.
constexpr size_t kMaxFolderLog = 50000;
// The watch thread looks again at least this often (a wait that missed
// nothing costs one poll).
constexpr DWORD kWatchWaitMs = 1000;
// How often a folder without a watch is looked at: IDLE hears of a change
// within about this.
constexpr DWORD kPollMs = 1000;
constexpr size_t kWatchThreadStack = 128 * 1024;
// The name of the index's write-ahead log, which every commit writes.
constexpr std::string_view kIndexLogName = ".index-wal";

// Another command removing INBOX files holds the lock for a moment; a POP3
// session holds it for minutes, which no wait would cover.
constexpr int kInboxLockWaitMs = 1000;

struct Mailbox {
  std::mutex StoreMutex;
  Mailstore Store;
  UniqueFd Directory;
  std::string Path;
  DirectoryWatch Watch;
  bool bWatch = false;
  std::mutex MapLock;
  std::map<std::string, std::shared_ptr<SharedFolder>> Folders;
  std::map<uint64_t, std::weak_ptr<SharedFolder>> ById;
  uint64_t NextId = 0;
  std::atomic<bool> bStopping{false};
};

Mailbox &TheMailbox() {
  // Never destroyed: the workers and the watch thread use it to the end.
  static Mailbox *m = new Mailbox;
  return *m;
}

// A connection waiting in IDLE: woken by a change of its folder.
struct Waiter {
  _Connection *Conn = nullptr;
  uint64_t Folder = 0;
};

struct Registry {
  std::mutex Lock;
  std::map<uint64_t, Waiter> Waiting;
  uint64_t NextToken = 0;
};

Registry &TheRegistry() {
  static Registry *r = new Registry;
  return *r;
}

void IndexEventSink(void *, IndexEvent event, const std::string &folder, uint32_t uidValidity) {
  if (event != IndexEvent::kRebuilt) return;
  LogEvent(EVENTLOG_WARNING_TYPE, MSG_FOLDER_INDEX_REBUILT, LogSafeText(folder).c_str(),
           std::to_string(uidValidity).c_str());
}

IndexOptions StoreOptions() {
  IndexOptions options;
  options.Describe = DescribeMessageFile;
  options.OnEvent = IndexEventSink;
  return options;
}

// Marks the folders the watch saw change; their ids, for the wakes.
std::vector<uint64_t> TakeWatchMarks() {
  Mailbox &m = TheMailbox();
  std::vector<uint64_t> ids;
  if (!m.bWatch) return ids;
  for (auto [key, kinds] : m.Watch.TakeChanged()) {
    std::lock_guard<std::mutex> guard(m.MapLock);
    auto it = m.ById.find(key);
    std::shared_ptr<SharedFolder> f = it == m.ById.end() ? nullptr : it->second.lock();
    if (f == nullptr) continue;
    // A change of the index alone is seen by its HIGHESTMODSEQ; only the
    // directory's entries need a listing.
    if ((kinds & kWatchEntries) != 0) f->bDirtyMark = true;
    ids.push_back(key);
  }
  return ids;
}

// The directory's and the index log's modification times: a change of
// either is a change of the folder (an entry named or removed, a commit).
void FolderStamp(int dir, int64_t (&stamp)[4]) {
  EntryStamp d, log;
  if (!StatOpenFile(dir, d)) d = EntryStamp{};
  if (!StatEntryAt(dir, kIndexLogName, log)) log = EntryStamp{};
  stamp[0] = d.ModifiedTime;
  stamp[1] = d.ModifiedNs;
  stamp[2] = log.ModifiedTime;
  stamp[3] = log.ModifiedNs;
}

// The folders without a watch that changed since the last look; they sync
// at every command anyway, so only their idlers need to hear of it.
std::vector<uint64_t> PollUnwatched() {
  Mailbox &m = TheMailbox();
  std::vector<std::shared_ptr<SharedFolder>> folders;
  {
    std::lock_guard<std::mutex> guard(m.MapLock);
    for (auto &[id, weak] : m.ById)
      if (std::shared_ptr<SharedFolder> f = weak.lock(); f != nullptr && !f->bWatched)
        folders.push_back(std::move(f));
  }
  std::vector<uint64_t> ids;
  for (const std::shared_ptr<SharedFolder> &f : folders) {
    int64_t now[4];
    FolderStamp(f->Index.Directory(), now);
    if (std::equal(now, now + 4, f->PolledStamp)) continue;
    std::copy(now, now + 4, f->PolledStamp);
    ids.push_back(f->Id);
  }
  return ids;
}

void WatchThread() {
  Mailbox &m = TheMailbox();
  while (!m.bStopping.load()) {
    if (m.bWatch)
      (void)WaitForSingleObject(m.Watch, kWatchWaitMs);
    else
      Sleep(kPollMs);
    for (uint64_t id : TakeWatchMarks()) WakeIdlers(id);
    for (uint64_t id : PollUnwatched()) WakeIdlers(id);
  }
}

// Every view's data is void once UIDVALIDITY changed (the views end).
void ResetFolder(SharedFolder &f) {
  f.Rows.clear();
  f.LogBase += f.Log.size();
  f.Log.clear();
  f.SeenModSeq = 0;
  ++f.Epoch;
}

// The index's rows changed since SeenModSeq, into Rows and the log.
long ReadChangedRows(SharedFolder &f) {
  RowQuery q;
  q.ChangedSince = f.SeenModSeq;
  q.Texts = false;
  std::vector<IndexRow> rows;
  if (long rc = f.Index.ReadRows(q, rows); rc != ERROR_SUCCESS) return rc;
  bool first = f.Rows.empty() && f.SeenModSeq == 0;
  for (const IndexRow &row : rows) {
    auto it = std::lower_bound(f.Rows.begin(), f.Rows.end(), row.Uid,
                               [](const MsgMeta &m, uint32_t uid) { return m.Uid < uid; });
    if (it == f.Rows.end() || it->Uid != row.Uid) {
      f.Rows.insert(it, MetaOfRow(row));   // a new message: told as EXISTS
      continue;
    }
    if (it->ModSeq == row.ModSeq) continue;   // this process's own change, noted already
    *it = MetaOfRow(row);
    if (!first) f.Log.push_back(FolderChange{row.Uid, false, *it, nullptr});
  }
  return ERROR_SUCCESS;
}

void RemoveRows(SharedFolder &f, const std::vector<uint32_t> &uids, const void *origin) {
  for (uint32_t uid : uids) {
    auto it = std::lower_bound(f.Rows.begin(), f.Rows.end(), uid,
                               [](const MsgMeta &m, uint32_t u) { return m.Uid < u; });
    if (it == f.Rows.end() || it->Uid != uid) continue;
    f.Log.push_back(FolderChange{uid, true, std::move(*it), origin});
    f.Rows.erase(it);
  }
}

// The UIDs expunged since SeenModSeq; all rows compared when the index
// forgot some of them.
long ReadExpunged(SharedFolder &f) {
  std::vector<uint32_t> uids;
  bool complete = true;
  if (long rc = f.Index.ExpungedSince(f.SeenModSeq, uids, complete); rc != ERROR_SUCCESS)
    return rc;
  if (!complete) {
    RowQuery q;
    q.Texts = false;
    std::vector<IndexRow> all;
    if (long rc = f.Index.ReadRows(q, all); rc != ERROR_SUCCESS) return rc;
    uids.clear();
    size_t i = 0;
    for (const MsgMeta &m : f.Rows) {
      while (i < all.size() && all[i].Uid < m.Uid) ++i;
      if (i == all.size() || all[i].Uid != m.Uid) uids.push_back(m.Uid);
    }
  }
  RemoveRows(f, uids, nullptr);
  return ERROR_SUCCESS;
}

// Drops what every view has read.
// Drops what every view has read, and past kMaxFolderLog entries what a
// view that never asks has not (it then catches up from the rows: ReadLog).
void TrimLog(SharedFolder &f) {
  uint64_t least = f.LogBase + f.Log.size();
  for (uint64_t p : f.ViewPositions) least = std::min(least, p);
  if (f.Log.size() > kMaxFolderLog) least = std::max(least, f.LogBase + f.Log.size() - kMaxFolderLog);
  while (f.LogBase < least) {
    f.Log.pop_front();
    ++f.LogBase;
  }
}

void Unregister(ImapConn &c) {
  if (c.WaitToken == 0) return;
  Registry &r = TheRegistry();
  std::lock_guard<std::mutex> guard(r.Lock);
  r.Waiting.erase(c.WaitToken);
  c.WaitToken = 0;
}

}  // namespace

// ---- the mailbox

bool OpenSessionMailbox(const std::string &directory, std::string &refusal) {
  Mailbox &m = TheMailbox();
  m.Path = directory;
  m.Directory.Reset(OpenDirectory(directory));
  long rc = m.Directory.Valid() ? m.Store.Open(m.Directory.Get(), StoreOptions()) : GetLastError();
  if (rc == ERROR_SUCCESS) rc = m.Store.EnsureSpecialUse();
  if (rc != ERROR_SUCCESS) {
    refusal = "The mailbox cannot be opened (" + std::to_string(rc) + ")";
    return false;
  }
  // Without a watch every command looks at the directory itself, and the
  // watch thread looks every kPollMs for the connections in IDLE. The
  // kernel counts inotify instances and watches per user, and the
  // sessions of every virtual user run as one account: past
  // fs.inotify.max_user_instances (128 by default) sessions poll.
  m.bWatch = m.Watch.Open(kMessageFileSuffix, kIndexLogName);
  if (!m.bWatch) LogWin32Error(EVENTLOG_WARNING_TYPE, "inotify_init (folders are polled)", GetLastError());
  // Without the thread IDLE hears only of this process's own changes.
  if (!StartThread(WatchThread, kWatchThreadStack))
    LogWin32Error(EVENTLOG_WARNING_TYPE, "the folders' watch thread", GetLastError());
  return true;
}

void CloseSessionMailbox() {
  Mailbox &m = TheMailbox();
  m.bStopping = true;
}

Mailstore &SessionStore() { return TheMailbox().Store; }

std::mutex &StoreLock() { return TheMailbox().StoreMutex; }

bool LockInboxForRemoval(std::string_view folder, DirLock &lock) {
  if (folder != kInboxName) return true;
  return lock.Lock(TheMailbox().Path.c_str(), kInboxLockWaitMs);
}

// ---- shared folders

long OpenSharedFolder(const std::string &name, std::shared_ptr<SharedFolder> &out) {
  Mailbox &m = TheMailbox();
  {
    std::lock_guard<std::mutex> guard(m.MapLock);
    auto it = m.Folders.find(name);
    if (it != m.Folders.end()) {
      out = it->second;
      return ERROR_SUCCESS;
    }
  }
  auto f = std::make_shared<SharedFolder>();
  {
    std::lock_guard<std::mutex> store(m.StoreMutex);
    if (long rc = m.Store.OpenFolder(name, f->Index); rc != ERROR_SUCCESS) return rc;
  }
  f->Name = f->Index.Name();
  std::lock_guard<std::mutex> guard(m.MapLock);
  auto it = m.Folders.find(f->Name);
  if (it != m.Folders.end()) {
    out = it->second;   // another connection opened it meanwhile
    return ERROR_SUCCESS;
  }
  f->Id = ++m.NextId;
  f->bWatched = m.bWatch && m.Watch.Add(f->Index.Directory(), f->Id);
  m.Folders[f->Name] = f;
  m.ById[f->Id] = f;
  out = std::move(f);
  return ERROR_SUCCESS;
}

void ForgetSharedFolder(const std::string &name) {
  Mailbox &m = TheMailbox();
  std::shared_ptr<SharedFolder> f;
  {
    std::lock_guard<std::mutex> guard(m.MapLock);
    auto it = m.Folders.find(name);
    if (it == m.Folders.end()) return;
    f = it->second;
    m.Folders.erase(it);
  }
  if (m.bWatch) m.Watch.Remove(f->Id);
}

void ForgetSharedFolders(const std::string &name) {
  Mailbox &m = TheMailbox();
  std::vector<std::string> names;
  {
    std::lock_guard<std::mutex> guard(m.MapLock);
    std::string below = name + "/";
    for (auto &[n, f] : m.Folders)
      if (n == name || n.compare(0, below.size(), below) == 0) names.push_back(n);
  }
  for (const std::string &n : names) ForgetSharedFolder(n);
}

long RefreshFolder(SharedFolder &f) {
  (void)TakeWatchMarks();
  if (!f.bWatched || f.bDirtyMark.exchange(false) || f.bDirty) {
    f.bDirty = true;
    SyncResult sync;
    if (long rc = f.Index.Sync(sync); rc != ERROR_SUCCESS) return rc;
    f.bDirty = false;
  }
  FolderState state;
  if (long rc = f.Index.ReadState(state); rc != ERROR_SUCCESS) return rc;
  if (f.State.UidValidity != 0 && state.UidValidity != f.State.UidValidity) ResetFolder(f);
  if (state.HighestModSeq != f.SeenModSeq) {
    if (long rc = ReadChangedRows(f); rc != ERROR_SUCCESS) return rc;
    if (long rc = ReadExpunged(f); rc != ERROR_SUCCESS) return rc;
    f.SeenModSeq = state.HighestModSeq;
  }
  f.State = state;
  TrimLog(f);
  return ERROR_SUCCESS;
}

namespace {

void AddToRanges(std::vector<ImapRange> &ranges, uint32_t first, uint32_t last) {
  if (first > last) return;
  if (!ranges.empty() && ranges.back().Last + 1 == first)
    ranges.back().Last = last;
  else
    ranges.push_back(ImapRange{first, last});
}

// The UIDs of ranges that are not in rows.
std::vector<ImapRange> Missing(const std::vector<ImapRange> &ranges,
                               const std::vector<MsgMeta> &rows) {
  std::vector<ImapRange> gone;
  size_t i = 0;
  for (const ImapRange &r : ranges) {
    uint64_t at = r.First;
    while (i < rows.size() && rows[i].Uid < r.First) ++i;
    for (; i < rows.size() && rows[i].Uid <= r.Last; ++i) {
      AddToRanges(gone, static_cast<uint32_t>(at), rows[i].Uid - 1);
      at = static_cast<uint64_t>(rows[i].Uid) + 1;
    }
    if (at <= r.Last) AddToRanges(gone, static_cast<uint32_t>(at), r.Last);
  }
  return gone;
}

}  // namespace

std::vector<ImapRange> VanishedSince(SharedFolder &f, uint64_t modseq,
                                     const std::vector<ImapRange> &ranges) {
  std::vector<uint32_t> expunged;
  bool complete = true;
  if (f.Index.ExpungedSince(modseq, expunged, complete) != ERROR_SUCCESS || !complete)
    return Missing(ranges, f.Rows);
  std::vector<ImapRange> vanished;
  for (uint32_t uid : expunged)
    if (RangesContain(ranges, uid) && FindRow(f, uid) == nullptr) AddToRanges(vanished, uid, uid);
  return vanished;
}

const MsgMeta *FindRow(const SharedFolder &f, uint32_t uid) {
  auto it = std::lower_bound(f.Rows.begin(), f.Rows.end(), uid,
                             [](const MsgMeta &m, uint32_t u) { return m.Uid < u; });
  return it == f.Rows.end() || it->Uid != uid ? nullptr : &*it;
}

MsgMeta MetaOfRow(const IndexRow &row) {
  MsgMeta m;
  m.Uid = row.Uid;
  m.Flags = row.Flags;
  m.ModSeq = row.ModSeq;
  m.Size = row.Size;
  m.InternalDate = row.InternalDate;
  m.bStuffed = row.Stuffed;
  m.Name = row.Name;
  m.Keywords = row.Keywords;
  return m;
}

void NoteRowsChanged(SharedFolder &f, const std::vector<IndexRow> &rows, const void *origin) {
  for (const IndexRow &row : rows) {
    auto it = std::lower_bound(f.Rows.begin(), f.Rows.end(), row.Uid,
                               [](const MsgMeta &m, uint32_t u) { return m.Uid < u; });
    if (it == f.Rows.end() || it->Uid != row.Uid) continue;
    it->Flags = row.Flags;
    it->Keywords = row.Keywords;
    it->ModSeq = row.ModSeq;
    f.Log.push_back(FolderChange{row.Uid, false, *it, origin});
  }
}

void NoteExpunged(SharedFolder &f, const std::vector<uint32_t> &uids, const void *origin) {
  RemoveRows(f, uids, origin);
}

void WakeIdlers(uint64_t folderId) {
  Registry &r = TheRegistry();
  std::lock_guard<std::mutex> guard(r.Lock);
  for (auto &[token, waiter] : r.Waiting)
    if (waiter.Folder == folderId) ImapWake(waiter.Conn);
}

// ---- views

std::unique_ptr<SelectedView> NewView(const std::shared_ptr<SharedFolder> &f, bool readOnly) {
  auto v = std::make_unique<SelectedView>();
  v->Folder = f;
  v->bReadOnly = readOnly;
  v->Epoch = f->Epoch;
  v->UidValidity = f->State.UidValidity;
  v->Uids.reserve(f->Rows.size());
  for (const MsgMeta &m : f->Rows) v->Uids.push_back(m.Uid);
  v->LogPos = f->LogBase + f->Log.size();
  v->HighestModSeqTold = f->State.HighestModSeq;
  f->ViewPositions.push_back(v->LogPos);
  return v;
}

void DropView(std::unique_ptr<SelectedView> &view) {
  if (view == nullptr) return;
  std::shared_ptr<SharedFolder> f = view->Folder;
  {
    std::lock_guard<std::mutex> guard(f->Lock);
    auto &p = f->ViewPositions;
    auto it = std::find(p.begin(), p.end(), view->LogPos);
    if (it != p.end()) p.erase(it);
    TrimLog(*f);
  }
  view.reset();
}

const MsgMeta *ViewRow(const SelectedView &v, uint32_t uid) {
  auto ghost = v.Ghosts.find(uid);
  if (ghost != v.Ghosts.end()) return &ghost->second;
  return FindRow(*v.Folder, uid);
}

uint32_t ViewSeqOfUid(const SelectedView &v, uint32_t uid) {
  auto it = std::lower_bound(v.Uids.begin(), v.Uids.end(), uid);
  return it == v.Uids.end() || *it != uid ? 0 : static_cast<uint32_t>(it - v.Uids.begin()) + 1;
}

bool ViewRecent(const SelectedView &v, uint32_t uid) {
  return uid >= v.RecentFirst && uid < v.RecentEnd;
}

// ---- telling a client

namespace {

void MoveLogPosition(SharedFolder &f, SelectedView &v, uint64_t to) {
  auto it = std::find(f.ViewPositions.begin(), f.ViewPositions.end(), v.LogPos);
  if (it != f.ViewPositions.end()) *it = to;
  v.LogPos = to;
}

// Reads the log from the view's position: expunges made elsewhere become
// ghosts; the UIDs whose flags someone else changed are returned.
// A view the log left behind: every message of it that is gone is a
// ghost (with what is known of it: its UID), every one changed since the
// client was last told is reported.
std::vector<uint32_t> CatchUp(SharedFolder &f, SelectedView &v) {
  std::vector<uint32_t> changed;
  for (uint32_t uid : v.Uids) {
    const MsgMeta *row = FindRow(f, uid);
    if (row == nullptr && v.Ghosts.count(uid) == 0) v.Ghosts[uid].Uid = uid;
    if (row != nullptr && row->ModSeq > v.HighestModSeqTold) changed.push_back(uid);
  }
  return changed;
}

std::vector<uint32_t> ReadLog(SharedFolder &f, SelectedView &v) {
  if (v.LogPos < f.LogBase) {
    std::vector<uint32_t> changed = CatchUp(f, v);
    MoveLogPosition(f, v, f.LogBase + f.Log.size());
    return changed;
  }
  std::vector<uint32_t> changed;
  uint64_t end = f.LogBase + f.Log.size();
  for (uint64_t pos = std::max(v.LogPos, f.LogBase); pos < end; ++pos) {
    const FolderChange &ch = f.Log[pos - f.LogBase];
    if (ch.Origin == &v || ViewSeqOfUid(v, ch.Uid) == 0) continue;
    if (ch.bExpunged)
      v.Ghosts[ch.Uid] = ch.Row;
    else
      changed.push_back(ch.Uid);
  }
  MoveLogPosition(f, v, end);
  std::sort(changed.begin(), changed.end());
  changed.erase(std::unique(changed.begin(), changed.end()), changed.end());
  return changed;
}

// The ghosts go: EXPUNGE responses from the highest number down (each
// keeps the numbers below it), or one VANISHED under QRESYNC. Whether any
// went.
bool TellExpunges(SelectedView &v, bool qresync, std::string &out) {
  if (v.Ghosts.empty()) return false;
  if (qresync) {
    std::vector<uint32_t> gone;
    for (auto &[uid, row] : v.Ghosts) gone.push_back(uid);
    std::vector<ImapRange> ranges;
    for (uint32_t uid : gone) AddToRanges(ranges, uid, uid);
    WriteVanished(out, false, ranges);
  }
  for (size_t i = v.Uids.size(); i-- > 0;) {
    if (v.Ghosts.count(v.Uids[i]) == 0) continue;
    if (!qresync) WriteCounted(out, i + 1, "EXPUNGE");
    v.Uids.erase(v.Uids.begin() + static_cast<ptrdiff_t>(i));
  }
  v.Ghosts.clear();
  return true;
}

size_t CountRecent(const SelectedView &v) {
  if (v.RecentFirst >= v.RecentEnd) return 0;
  auto from = std::lower_bound(v.Uids.begin(), v.Uids.end(), v.RecentFirst);
  auto to = std::lower_bound(from, v.Uids.end(), v.RecentEnd);
  return static_cast<size_t>(to - from);
}

// New messages: EXISTS, and in IMAP4rev1 the \Recent ones this session
// claims (no other session sees them as recent). Whether there were any.
bool TellNew(SharedFolder &f, SelectedView &v, bool rev2, std::string &out) {
  uint32_t last = v.Uids.empty() ? 0 : v.Uids.back();
  auto it = std::upper_bound(f.Rows.begin(), f.Rows.end(), last,
                             [](uint32_t uid, const MsgMeta &m) { return uid < m.Uid; });
  if (it == f.Rows.end()) return false;
  for (; it != f.Rows.end(); ++it) v.Uids.push_back(it->Uid);
  WriteCounted(out, v.Uids.size(), "EXISTS");
  if (rev2) return true;
  uint32_t first = 0, next = 0;
  if (!v.bReadOnly && f.Index.ClaimRecent(first, next) == ERROR_SUCCESS && first < next) {
    // Claims of one session are contiguous unless another claimed between.
    if (v.RecentEnd != first) v.RecentFirst = first;
    v.RecentEnd = next;
  }
  WriteCounted(out, CountRecent(v), "RECENT");
  return true;
}

}  // namespace

void WriteHighestModSeq(std::string &out, uint64_t modseq) {
  out += "* OK [HIGHESTMODSEQ ";
  WriteNumber(out, modseq);
  out += "] Highest\r\n";
}

void WriteFlagsFetch(std::string &out, const SelectedView &v, uint32_t seq, const MsgMeta &row,
                     bool uid, bool modseq) {
  WriteFetchBegin(out, seq);
  out += "FLAGS ";
  WriteFlags(out, row.Flags, row.Keywords, ViewRecent(v, row.Uid));
  if (uid) {
    out += " UID ";
    WriteNumber(out, row.Uid);
  }
  if (modseq) {
    out += " MODSEQ (";
    WriteNumber(out, row.ModSeq);
    out += ')';
  }
  WriteFetchEnd(out);
}

void ReportFolderChanges(_Connection *conn, bool expungesAllowed, bool uidForm) {
  ImapConn &c = Imap(conn);
  SessionConn &s = Sess(conn);
  if (s.View == nullptr) return;
  SelectedView &v = *s.View;
  SharedFolder &f = *v.Folder;
  std::lock_guard<std::mutex> guard(f.Lock);
  if (RefreshFolder(f) != ERROR_SUCCESS) return;   // told at the next command
  if (v.Epoch != f.Epoch) {
    c.Out += "* BYE The folder was rebuilt with new UIDs: log on again\r\n";
    c.bCloseAfterSend = true;
    return;
  }
  std::vector<uint32_t> changed = ReadLog(f, v);
  bool told = expungesAllowed && TellExpunges(v, s.bQresync, c.Out);
  told = TellNew(f, v, s.bRev2, c.Out) || told;
  for (uint32_t uid : changed) {
    uint32_t seq = ViewSeqOfUid(v, uid);
    const MsgMeta *row = FindRow(f, uid);
    if (seq == 0 || row == nullptr) continue;
    WriteFlagsFetch(c.Out, v, seq, *row, uidForm || s.bQresync, s.bCondStore);
  }
  // A CONDSTORE client learns the modseq of a flag change from its FETCH,
  // but that of a new message or an expunge only from this: without it, a
  // synchroniser's next CHANGEDSINCE or QRESYNC would report its own
  // appends again as changed. Told only when every change up to it is.
  if (told && s.bCondStore && v.Ghosts.empty()) WriteHighestModSeq(c.Out, f.State.HighestModSeq);
  v.HighestModSeqTold = f.State.HighestModSeq;
}

// ---- IDLE

void IdleBeforeRead(_Connection *conn) {
  ImapConn &c = Imap(conn);
  SessionConn &s = Sess(conn);
  if (s.IdleTag.empty()) return;
  {
    Registry &r = TheRegistry();
    std::lock_guard<std::mutex> guard(r.Lock);
    c.WaitToken = ++r.NextToken;
    r.Waiting[c.WaitToken] = Waiter{conn, s.View != nullptr ? s.View->Folder->Id : 0};
    c.bWakeAsked = false;
  }
  // A change that came before the registration is told now; one after it
  // wakes the read.
  ReportFolderChanges(conn, true);
  if (!c.Out.empty()) Unregister(c);
}

void IdleReadStarted(uint64_t token) {
  Registry &r = TheRegistry();
  std::lock_guard<std::mutex> guard(r.Lock);
  auto it = r.Waiting.find(token);
  // A wake asked for before the read had started cancelled nothing.
  if (it != r.Waiting.end() && Imap(it->second.Conn).bWakeAsked.load()) ImapWake(it->second.Conn);
}

void IdleAfterRead(_Connection *conn) { Unregister(Imap(conn)); }

ImapGo IdleWoken(_Connection *conn) {
  // The loop reports before it reads again (IdleBeforeRead).
  return ImapGo::kOn;
}
