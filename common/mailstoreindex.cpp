// mailstoreindex: see mailstoreindex.h.
#include "common/mailstoreindex.h"

#include <algorithm>
#include <atomic>
#include <ctime>
#include <map>

#include "common/mailstorename.h"
#include "platform/ascii.h"
#include "platform/fileview.h"
#include "platform/folderfs.h"

namespace {

constexpr std::string_view kIndexLockName = ".index-lock";
constexpr std::string_view kDamagedIndexName = ".index-damaged";
constexpr const char *kIndexCompanions[] = {".index-wal", ".index-shm", ".index-journal"};
constexpr int64_t kSchemaVersion = 1;
// New files described and indexed per transaction: the write lock is held
// for one batch's inserts, and one batch's texts are in memory.
constexpr size_t kSyncBatch = 2000;
// A file up to this size is read into a buffer; a larger one is mapped.
constexpr uint64_t kReadWholeBytes = 1 << 20;
// The largest UID and UIDVALIDITY (32 bits).
constexpr int64_t kMaxUid = UINT32_MAX;

const char kSchemaSql[] =
    "CREATE TABLE IF NOT EXISTS meta(key TEXT PRIMARY KEY, value INTEGER);"
    "CREATE TABLE IF NOT EXISTS msg(uid INTEGER PRIMARY KEY, name TEXT UNIQUE NOT NULL,"
    " size INTEGER, internaldate INTEGER, flags INTEGER, keywords TEXT, modseq INTEGER,"
    " stuffed INTEGER, envelope BLOB, bodystructure BLOB);"
    "CREATE TABLE IF NOT EXISTS expunged(uid INTEGER PRIMARY KEY, modseq INTEGER);"
    "CREATE INDEX IF NOT EXISTS msg_modseq ON msg(modseq);"
    "CREATE INDEX IF NOT EXISTS msg_deleted ON msg(uid) WHERE flags & 8 != 0;"
    "CREATE INDEX IF NOT EXISTS expunged_modseq ON expunged(modseq);";

// A UIDVALIDITY above old: the time, so that a folder made again gets a
// value its clients have not seen, and above every one this process gave
// (two in one second).
int64_t NewUidValidity(int64_t old) {
  static std::atomic<int64_t> last{0};
  int64_t now = static_cast<int64_t>(std::time(nullptr)) & kMaxUid;
  int64_t value = std::max({now, old + 1, last.load() + 1});
  if (value > kMaxUid || value <= 0) value = 1;
  last.store(value);
  return value;
}

bool IsAtomChar(unsigned char c) {
  return c > 0x20 && c < 0x7F && std::string_view("(){%*\"\\]").find(static_cast<char>(c)) ==
                                     std::string_view::npos;
}

std::vector<std::string> SplitKeywords(std::string_view text) {
  std::vector<std::string> out;
  while (!text.empty()) {
    size_t space = text.find(' ');
    std::string_view word = text.substr(0, space);
    if (!word.empty()) out.emplace_back(word);
    text.remove_prefix(space == std::string_view::npos ? text.size() : space + 1);
  }
  return out;
}

bool HasKeyword(const std::vector<std::string> &list, std::string_view word) {
  return std::any_of(list.begin(), list.end(),
                     [&](const std::string &k) { return EqualsNoCase(k, word); });
}

std::string JoinKeywords(const std::vector<std::string> &list) {
  std::string out;
  for (const std::string &k : list) {
    if (!out.empty()) out += ' ';
    out += k;
  }
  return out;
}

// The flags and keywords a change makes of a row's.
void ApplyChange(const FlagChange &change, uint32_t &flags, std::vector<std::string> &keywords) {
  switch (change.Mode) {
    case StoreMode::kReplace:
      flags = change.Flags;
      keywords = change.Keywords;
      break;
    case StoreMode::kAdd:
      flags |= change.Flags;
      for (const std::string &k : change.Keywords)
        if (!HasKeyword(keywords, k)) keywords.push_back(k);
      break;
    case StoreMode::kRemove:
      flags &= ~change.Flags;
      std::erase_if(keywords, [&](const std::string &k) { return HasKeyword(change.Keywords, k); });
      break;
  }
}

IndexRow RowFrom(const SqliteStmt &st, bool texts) {
  IndexRow row;
  row.Uid = static_cast<uint32_t>(st.ColInt(0));
  row.Name.assign(st.ColText(1));
  row.Size = static_cast<uint64_t>(st.ColInt(2));
  row.InternalDate = st.ColInt(3);
  row.Flags = static_cast<uint32_t>(st.ColInt(4)) & kAllFlags;
  row.Keywords.assign(st.ColText(5));
  row.ModSeq = static_cast<uint64_t>(st.ColInt(6));
  row.Stuffed = st.ColInt(7) != 0;
  if (texts) {
    row.Envelope.assign(st.ColText(8));
    row.BodyStructure.assign(st.ColText(9));
  }
  return row;
}

// Looks up the UID of a file name; 0 when it has no row.
long UidOfName(SqliteDb &db, std::string_view name, uint32_t &uid) {
  SqliteStmt st(db, "SELECT uid FROM msg WHERE name = ?1");
  st.Text(1, name);
  long rc;
  uid = st.Next(&rc) ? static_cast<uint32_t>(st.ColInt(0)) : 0;
  return rc;
}

// Compares the rows (sorted by name) with the listing (sorted): names only
// listed are fresh, rows not listed are gone. A listing cut short proves
// nothing about the names it did not reach.
void MergeListing(const std::vector<std::pair<uint32_t, std::string>> &rows,
                  const std::vector<std::string> &files, bool truncated,
                  std::vector<std::string> &fresh,
                  std::vector<std::pair<uint32_t, std::string>> &gone) {
  size_t at = 0;
  for (const auto &row : rows) {
    for (; at < files.size() && files[at] < row.second; ++at) fresh.push_back(files[at]);
    if (at < files.size() && files[at] == row.second)
      ++at;
    else if (!truncated)
      gone.push_back(row);
  }
  fresh.insert(fresh.end(), files.begin() + static_cast<std::ptrdiff_t>(at), files.end());
}

}  // namespace

SmtpFormMeasure MeasureSmtpForm(std::string_view file) {
  SmtpFormMeasure m;
  m.TextEnd = file.size();
  if (file == ".\r\n") {
    m.TextEnd = 0;
  } else if (file.ends_with("\r\n.\r\n")) {
    m.TextEnd = file.size() - 3;
  }
  std::string_view text = file.substr(0, m.TextEnd);
  for (size_t at = 0; at < text.size();) {
    if (text[at] == '.') ++m.StuffingDots;
    size_t lf = text.find('\n', at);
    if (lf == std::string_view::npos) break;
    at = lf + 1;
  }
  return m;
}

MessageDescription DescribeSmtpForm(std::string_view fileBytes) {
  SmtpFormMeasure m = MeasureSmtpForm(fileBytes);
  MessageDescription d;
  d.TextSize = m.TextEnd - m.StuffingDots;
  d.Stuffed = m.StuffingDots > 0;
  return d;
}

bool NormalizeKeywords(const std::vector<std::string> &keywords, std::string &out) {
  std::vector<std::string> kept;
  for (const std::string &k : keywords) {
    if (k.empty() || k.size() > kMaxKeywordBytes ||
        !std::all_of(k.begin(), k.end(), [](char c) { return IsAtomChar(static_cast<unsigned char>(c)); }))
      return false;
    if (!HasKeyword(kept, k)) kept.push_back(k);
  }
  if (kept.size() > kMaxKeywordsPerMessage) return false;
  out = JoinKeywords(kept);
  return true;
}

struct FolderIndex::Meta {
  int64_t Schema = 0;
  int64_t UidValidity = 0;
  int64_t UidNext = 1;
  int64_t HighestModSeq = 1;
  int64_t Recent = 1;
  int64_t ExpungedFloor = 0;
  bool Valid() const {
    return Schema == kSchemaVersion && UidValidity > 0 && UidValidity <= kMaxUid && UidNext > 0 &&
           HighestModSeq > 0;
  }
};

long FolderIndex::Open(UniqueFd dir, const std::string &name, const IndexOptions &options) {
  Close();
  dir_ = std::move(dir);
  name_ = name;
  options_ = options;
  if (options_.Describe == nullptr) options_.Describe = DescribeSmtpForm;
  long rc = OpenIndex(true);
  FolderState state;
  if (rc == ERROR_SUCCESS) rc = ReadState(state);
  if (rc != ERROR_SUCCESS) Close();
  uidValidity_ = state.UidValidity;
  return rc;
}

void FolderIndex::Close() {
  db_.Close();
  dir_.Reset();
}

void FolderIndex::Event(IndexEvent event, uint32_t uidValidity) {
  if (options_.OnEvent != nullptr) options_.OnEvent(options_.EventContext, event, name_, uidValidity);
}

long FolderIndex::ReadMeta(Meta &meta) {
  meta = Meta{};
  SqliteStmt st(db_, "SELECT key, value FROM meta");
  long rc;
  while (st.Next(&rc)) {
    std::string_view key = st.ColText(0);
    int64_t value = st.ColInt(1);
    if (key == "schema") meta.Schema = value;
    else if (key == "uidvalidity") meta.UidValidity = value;
    else if (key == "uidnext") meta.UidNext = value;
    else if (key == "highestmodseq") meta.HighestModSeq = value;
    else if (key == "recent") meta.Recent = value;
    else if (key == "expungedfloor") meta.ExpungedFloor = value;
  }
  return rc;
}

// Inside a write transaction: the meta record, with uidnext and
// highestmodseq above every UID and modseq the tables hold, whatever the
// record says.
long FolderIndex::LoadForWrite(Meta &meta) {
  long rc = ReadMeta(meta);
  if (rc != ERROR_SUCCESS) return rc;
  if (!meta.Valid()) return ERROR_INVALID_DATA;
  SqliteStmt st(db_,
                "SELECT (SELECT max(uid) FROM msg), (SELECT max(uid) FROM expunged),"
                " (SELECT max(modseq) FROM msg), (SELECT max(modseq) FROM expunged)");
  if (!st.Next(&rc)) return rc != ERROR_SUCCESS ? rc : EIO;
  meta.UidNext = std::max({meta.UidNext, st.ColInt(0) + 1, st.ColInt(1) + 1});
  meta.HighestModSeq = std::max({meta.HighestModSeq, st.ColInt(2), st.ColInt(3)});
  return ERROR_SUCCESS;
}

long FolderIndex::SaveMeta(const Meta &meta) {
  const std::pair<const char *, int64_t> values[] = {
      {"schema", meta.Schema},           {"uidvalidity", meta.UidValidity},
      {"uidnext", meta.UidNext},         {"highestmodseq", meta.HighestModSeq},
      {"recent", meta.Recent},           {"expungedfloor", meta.ExpungedFloor}};
  for (const auto &[key, value] : values) {
    SqliteStmt st(db_, "INSERT OR REPLACE INTO meta(key, value) VALUES(?1, ?2)");
    long rc = st.Text(1, key).Int(2, value).Run();
    if (rc != ERROR_SUCCESS) return rc;
  }
  return ERROR_SUCCESS;
}

// Makes the tables of an empty database; another process may have made
// them first, which is as good.
long FolderIndex::CreateSchema(uint32_t uidValidity, bool &created) {
  created = false;
  long rc = db_.BeginWrite(true);
  if (rc == ERROR_SUCCESS) rc = db_.Exec(kSchemaSql);
  Meta meta;
  if (rc == ERROR_SUCCESS) rc = ReadMeta(meta);
  if (rc == ERROR_SUCCESS && !meta.Valid()) {
    meta = Meta{};
    meta.Schema = kSchemaVersion;
    meta.UidValidity = uidValidity;
    rc = SaveMeta(meta);
    created = rc == ERROR_SUCCESS;
  }
  if (rc == ERROR_SUCCESS) return db_.Commit();
  db_.Rollback();
  return rc;
}

long FolderIndex::OpenIndex(bool allowRebuild) {
  // SQLite refuses a link in place of its log files; one planted there is
  // removed (never followed), so that the folder still opens.
  for (const char *companion : kIndexCompanions) {
    EntryStamp other;
    if (StatEntryAt(dir_.Get(), companion, other) && !other.Regular)
      RemoveFileAt(dir_.Get(), companion);
  }
  EntryStamp stamp;
  StatEntryAt(dir_.Get(), kIndexFileName, stamp);
  long rc = db_.Open(dir_.Get(), kIndexFileName, true, options_.BusyTimeoutMs);
  Meta meta;
  if (rc == ERROR_SUCCESS) {
    // No table at all: a new file (or one another process is making right
    // now). Tables without a good meta record: damage.
    bool empty = false, hasMeta = false;
    {
      SqliteStmt st(db_, "SELECT count(*), total(name = 'meta') FROM sqlite_master");
      empty = st.Next(&rc) && st.ColInt(0) == 0;
      hasMeta = rc == ERROR_SUCCESS && st.ColInt(1) > 0;
    }
    if (rc == ERROR_SUCCESS && hasMeta) rc = ReadMeta(meta);
    if (rc == ERROR_SUCCESS && empty) {
      bool created = false;
      rc = CreateSchema(static_cast<uint32_t>(NewUidValidity(0)), created);
      if (rc == ERROR_SUCCESS) rc = ReadMeta(meta);
      if (rc == ERROR_SUCCESS && created)
        Event(IndexEvent::kCreated, static_cast<uint32_t>(meta.UidValidity));
    }
    if (rc == ERROR_SUCCESS && !meta.Valid()) rc = ERROR_INVALID_DATA;
  }
  if (rc == ERROR_INVALID_DATA && allowRebuild) return Rebuild(stamp.Inode);
  if (rc != ERROR_SUCCESS) db_.Close();
  return rc;
}

// A damaged index: one process (the lock's holder) sets it aside and makes
// a new one, which the next sync fills from the files; a process that
// comes second finds the new one good and uses it.
long FolderIndex::Rebuild(uint64_t damagedInode) {
  db_.Close();
  UniqueFd lock(LockEntryAt(dir_.Get(), kIndexLockName));
  if (!lock.Valid()) return GetLastError();
  EntryStamp now;
  // Another process rebuilt it already: that one is used.
  if (StatEntryAt(dir_.Get(), kIndexFileName, now) && now.Inode != damagedInode) {
    long rc = OpenIndex(false);
    if (rc != ERROR_INVALID_DATA) return rc;
  }
  db_.Close();
  long rc;
  // The damaged index's value is unknown, but it was given no later than
  // the file was last written.
  int64_t old = StatEntryAt(dir_.Get(), kIndexFileName, now) ? now.ModifiedTime : 0;
  if (!ReplaceEntryAt(dir_.Get(), kIndexFileName, kDamagedIndexName) && GetLastError() != ENOENT)
    return GetLastError();
  for (const char *companion : kIndexCompanions) RemoveFileAt(dir_.Get(), companion);
  rc = db_.Open(dir_.Get(), kIndexFileName, true, options_.BusyTimeoutMs);
  Meta meta;
  bool created = false;
  if (rc == ERROR_SUCCESS) rc = CreateSchema(static_cast<uint32_t>(NewUidValidity(old)), created);
  if (rc == ERROR_SUCCESS) rc = ReadMeta(meta);
  if (rc != ERROR_SUCCESS) {
    db_.Close();
    return rc;
  }
  Event(IndexEvent::kRebuilt, static_cast<uint32_t>(meta.UidValidity));
  return ERROR_SUCCESS;
}

// The index the name ".index" stands for may have changed since it was
// opened: rebuilt by another process, or removed with the folder.
long FolderIndex::CheckIdentity() {
  EntryStamp dir, index;
  if (!StatOpenFile(dir_.Get(), dir)) return GetLastError();
  if (dir.Links == 0) return ERROR_FILE_NOT_FOUND;
  bool has = StatEntryAt(dir_.Get(), kIndexFileName, index);
  if (has && index.Inode == db_.Inode() && index.Device == db_.Device() && db_.IsOpen())
    return ERROR_SUCCESS;
  if (!has && name_ != kInboxName) {
    // A folder deleted while it had children keeps its directory only.
    std::vector<std::string> any;
    bool more = false;
    if (!ListFileNamesAt(dir_.Get(), kMessageFileSuffix, 1, any, &more)) return GetLastError();
    if (any.empty()) return ERROR_FILE_NOT_FOUND;
  }
  db_.Close();
  return OpenIndex(true);
}

long FolderIndex::Sync(SyncResult &result) {
  result = SyncResult{};
  long rc = CheckIdentity();
  if (rc == ERROR_SUCCESS) rc = SyncOnce(result, false);
  if (rc == ERROR_INVALID_DATA) {
    // Damage found while reading: rebuilt, then filled from the files.
    result = SyncResult{};
    rc = Rebuild(db_.Inode());
    if (rc == ERROR_SUCCESS) rc = SyncOnce(result, false);
  }
  return rc == ERROR_SUCCESS ? NoteUidValidity(result) : rc;
}

// Another process may have given the folder a new UIDVALIDITY (a reindex,
// a rebuild) since this handle last looked.
long FolderIndex::NoteUidValidity(SyncResult &result) {
  FolderState state;
  long rc = ReadState(state);
  if (rc != ERROR_SUCCESS) return rc;
  if (state.UidValidity != uidValidity_) result.NewUidValidity = true;
  uidValidity_ = state.UidValidity;
  return ERROR_SUCCESS;
}

void FolderIndex::RemoveStaleTemporaries() {
  std::vector<std::string> names;
  bool more = false;
  if (!ListFileNamesAt(dir_.Get(), "", kMaxFolderFiles, names, &more)) return;
  int64_t now = static_cast<int64_t>(std::time(nullptr));
  for (const std::string &name : names) {
    EntryStamp stamp;
    if (name.starts_with(kAppendTempPrefix) && StatEntryAt(dir_.Get(), name, stamp) &&
        stamp.ModifiedTime < now - kStaleTempSeconds)
      RemoveFileAt(dir_.Get(), name);
  }
}

long FolderIndex::Reindex(SyncResult &result) {
  result = SyncResult{};
  RemoveStaleTemporaries();
  long rc = CheckIdentity();
  if (rc == ERROR_SUCCESS) rc = SyncOnce(result, true);
  if (rc == ERROR_INVALID_DATA) {
    rc = Rebuild(db_.Inode());
    if (rc == ERROR_SUCCESS) rc = SyncOnce(result, false);
  }
  if (rc == ERROR_SUCCESS) rc = NoteUidValidity(result);
  if (rc == ERROR_SUCCESS) Event(IndexEvent::kReindexed, uidValidity_);
  return rc;
}

long FolderIndex::ListFiles(std::vector<std::string> &names, bool &truncated) {
  if (!ListFileNamesAt(dir_.Get(), kMessageFileSuffix, kMaxFolderFiles, names, &truncated))
    return GetLastError();
  std::sort(names.begin(), names.end());
  return ERROR_SUCCESS;
}

// Reads each file once and describes it; a file that went away or is no
// regular file is left out.
long FolderIndex::Describe(const std::vector<std::string> &names,
                           std::vector<NamedMessage> &out) {
  out.clear();
  for (const std::string &name : names) {
    uint64_t size = 0;
    UniqueFd fd(OpenFileForReadingAt(dir_.Get(), name, &size));
    EntryStamp stamp;
    if (!fd.Valid() || !StatOpenFile(fd.Get(), stamp)) continue;
    NamedMessage m;
    m.Name = name;
    m.InternalDate = stamp.ModifiedTime;
    MappedView view;
    std::string_view bytes;
    size_t got = 0;
    if (size <= kReadWholeBytes) {
      buffer_.resize(static_cast<size_t>(size));
      if (!ReadFileAt(fd.Get(), buffer_.data(), buffer_.size(), 0, &got)) continue;
      bytes = std::string_view(buffer_.data(), got);
    } else if (view.Map(fd.Get(), static_cast<size_t>(size))) {
      bytes = view.View();
    } else {
      continue;
    }
    m.Description = options_.Describe(bytes);
    out.push_back(std::move(m));
  }
  return ERROR_SUCCESS;
}

long FolderIndex::RecordExpunged(uint32_t uid, Meta &meta) {
  SqliteStmt del(db_, "DELETE FROM msg WHERE uid = ?1");
  long rc = del.Int(1, uid).Run();
  if (rc != ERROR_SUCCESS) return rc;
  SqliteStmt add(db_, "INSERT OR REPLACE INTO expunged(uid, modseq) VALUES(?1, ?2)");
  return add.Int(1, uid).Int(2, ++meta.HighestModSeq).Run();
}

// Keeps the kMaxExpungedRows newest expunged UIDs; expungedfloor says up
// to which modseq older ones were forgotten.
long FolderIndex::TrimExpunged(Meta &meta) {
  SqliteStmt count(db_, "SELECT count(*) FROM expunged");
  long rc;
  if (!count.Next(&rc)) return rc;
  if (static_cast<size_t>(count.ColInt(0)) <= kMaxExpungedRows) return ERROR_SUCCESS;
  SqliteStmt cut(db_, "SELECT modseq FROM expunged ORDER BY modseq DESC LIMIT 1 OFFSET ?1");
  cut.Int(1, static_cast<int64_t>(kMaxExpungedRows));
  if (!cut.Next(&rc)) return rc;
  int64_t floor = cut.ColInt(0);
  SqliteStmt del(db_, "DELETE FROM expunged WHERE modseq <= ?1");
  rc = del.Int(1, floor).Run();
  meta.ExpungedFloor = std::max(meta.ExpungedFloor, floor);
  return rc;
}

// The row of a named file: a new UID, or (updateExisting) the flags of the
// row a sync made for it first; a sync leaves an existing row alone.
long FolderIndex::PutRow(NamedMessage &m, Meta &meta, bool updateExisting, bool &inserted) {
  inserted = false;
  long rc = UidOfName(db_, m.Name, m.Uid);
  if (rc != ERROR_SUCCESS || (m.Uid != 0 && !updateExisting)) return rc;
  if (m.Uid != 0) {
    SqliteStmt set(db_, "UPDATE msg SET flags = ?2, keywords = ?3, modseq = ?4 WHERE uid = ?1");
    return set.Int(1, m.Uid).Int(2, m.Flags & kAllFlags).Text(3, m.Keywords)
        .Int(4, ++meta.HighestModSeq).Run();
  }
  // 2^32 UIDs: only a reindex starts them again.
  if (meta.UidNext > kMaxUid) return EOVERFLOW;
  SqliteStmt ins(db_,
                 "INSERT INTO msg(uid, name, size, internaldate, flags, keywords, modseq,"
                 " stuffed, envelope, bodystructure) VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9,"
                 " ?10)");
  m.Uid = static_cast<uint32_t>(meta.UidNext++);
  inserted = true;
  return ins.Int(1, m.Uid).Text(2, m.Name).Int(3, static_cast<int64_t>(m.Description.TextSize))
      .Int(4, m.InternalDate).Int(5, m.Flags & kAllFlags).Text(6, m.Keywords)
      .Int(7, ++meta.HighestModSeq).Int(8, m.Description.Stuffed ? 1 : 0)
      .Text(9, m.Description.Envelope).Text(10, m.Description.BodyStructure).Run();
}

long FolderIndex::ApplySync(std::vector<NamedMessage> &added, const std::vector<GoneRow> &gone,
                            SyncMode mode, SyncResult &result) {
  const bool reindex = mode == SyncMode::kReindexFirst;
  long rc = db_.BeginWrite(true);
  Meta meta;
  if (rc == ERROR_SUCCESS) rc = LoadForWrite(meta);
  if (rc == ERROR_SUCCESS && reindex) {
    // Every UID goes, with what was known of expunged ones.
    meta.UidValidity = NewUidValidity(meta.UidValidity);
    meta.UidNext = 1;
    meta.ExpungedFloor = meta.HighestModSeq;
    rc = db_.Exec("DELETE FROM msg; DELETE FROM expunged");
  }
  for (size_t i = 0; rc == ERROR_SUCCESS && i < gone.size(); ++i) {
    EntryStamp stamp;
    SqliteStmt row(db_, "SELECT name FROM msg WHERE uid = ?1");
    // Gone meanwhile, or named since the listing (younger than it).
    if (!row.Int(1, gone[i].first).Next(&rc) || row.ColText(0) != gone[i].second ||
        StatEntryAt(dir_.Get(), gone[i].second, stamp))
      continue;
    rc = RecordExpunged(gone[i].first, meta);
    ++result.Expunged;
  }
  for (size_t i = 0; rc == ERROR_SUCCESS && i < added.size(); ++i) {
    bool inserted = false;
    rc = PutRow(added[i], meta, false, inserted);
    if (inserted) ++result.Added;
  }
  // Messages indexed anew are not new to anyone.
  if (rc == ERROR_SUCCESS && mode != SyncMode::kSync) meta.Recent = meta.UidNext;
  if (rc == ERROR_SUCCESS && result.Expunged > 0) rc = TrimExpunged(meta);
  if (rc == ERROR_SUCCESS) rc = SaveMeta(meta);
  if (rc == ERROR_SUCCESS) return db_.Commit();
  db_.Rollback();
  return rc;
}

long FolderIndex::SyncOnce(SyncResult &result, bool reindex) {
  long rc = ERROR_SUCCESS;
  std::vector<std::string> fresh;
  std::vector<GoneRow> gone;
  std::map<std::string, std::pair<uint32_t, std::string>> kept;   // reindex: flags by name
  // The names as the rows hold them (a scan of the table, not of the name
  // index: a damaged index must not hide a row), then sorted.
  std::vector<GoneRow> indexed;
  for (SqliteStmt st(db_, "SELECT uid, name, flags, keywords FROM msg"); st.Next(&rc);) {
    indexed.emplace_back(static_cast<uint32_t>(st.ColInt(0)), st.ColText(1));
    if (reindex) kept[indexed.back().second] = {static_cast<uint32_t>(st.ColInt(2)),
                                                std::string(st.ColText(3))};
  }
  if (rc != ERROR_SUCCESS) return rc;
  std::sort(indexed.begin(), indexed.end(),
            [](const GoneRow &a, const GoneRow &b) { return a.second < b.second; });
  // The listing after the rows: a file is named before its row is added,
  // so a row the listing lacks is a file removed, not one named since.
  std::vector<std::string> files;
  bool truncated = false;
  rc = ListFiles(files, truncated);
  if (rc != ERROR_SUCCESS) return rc;
  if (reindex)
    fresh = std::move(files);
  else
    MergeListing(indexed, files, truncated, fresh, gone);
  if (fresh.empty() && gone.empty() && !reindex) return ERROR_SUCCESS;
  std::vector<NamedMessage> described;
  for (size_t from = 0; rc == ERROR_SUCCESS && (from < fresh.size() || from == 0);
       from += kSyncBatch) {
    size_t to = std::min(fresh.size(), from + kSyncBatch);
    std::vector<std::string> batch(fresh.begin() + static_cast<std::ptrdiff_t>(from),
                                   fresh.begin() + static_cast<std::ptrdiff_t>(to));
    rc = Describe(batch, described);
    for (NamedMessage &m : described) {
      auto it = kept.find(m.Name);
      if (it == kept.end()) continue;
      m.Flags = it->second.first;
      m.Keywords = it->second.second;
    }
    if (rc == ERROR_SUCCESS)
      rc = ApplySync(described, from == 0 ? gone : std::vector<GoneRow>{},
                     !reindex ? SyncMode::kSync
                              : (from == 0 ? SyncMode::kReindexFirst : SyncMode::kReindexMore),
                     result);
    if (to == fresh.size()) break;
  }
  return rc;
}

long FolderIndex::ReadState(FolderState &state) {
  Meta meta;
  long rc = ReadMeta(meta);
  if (rc == ERROR_SUCCESS && !meta.Valid()) rc = ERROR_INVALID_DATA;
  if (rc != ERROR_SUCCESS) return rc;
  state.UidValidity = static_cast<uint32_t>(meta.UidValidity);
  state.UidNext = static_cast<uint32_t>(std::min(meta.UidNext, kMaxUid));
  state.HighestModSeq = static_cast<uint64_t>(meta.HighestModSeq);
  state.FirstRecent = static_cast<uint32_t>(std::min(meta.Recent, kMaxUid));
  return ERROR_SUCCESS;
}

long FolderIndex::ReadCounts(FolderCounts &counts) {
  counts = FolderCounts{};
  long rc = db_.BeginRead();
  if (rc == ERROR_SUCCESS) rc = ReadState(counts.State);
  SqliteStmt st(db_,
                "SELECT count(*), total(size), total(flags & 1 = 0), total(flags & 8 != 0),"
                " total(uid >= ?1) FROM msg");
  st.Int(1, counts.State.FirstRecent);
  if (rc == ERROR_SUCCESS && st.Next(&rc)) {
    counts.Messages = static_cast<uint32_t>(st.ColInt(0));
    counts.Size = static_cast<uint64_t>(st.ColInt(1));
    counts.Unseen = static_cast<uint32_t>(st.ColInt(2));
    counts.Deleted = static_cast<uint32_t>(st.ColInt(3));
    counts.Recent = static_cast<uint32_t>(st.ColInt(4));
  }
  db_.Rollback();
  return rc;
}

long FolderIndex::ReadRows(const RowQuery &query, std::vector<IndexRow> &rows) {
  rows.clear();
  static const char kWithTexts[] =
      "SELECT uid, name, size, internaldate, flags, keywords, modseq, stuffed, envelope,"
      " bodystructure FROM msg WHERE uid >= ?1 AND uid <= ?2 AND modseq > ?3 ORDER BY uid";
  static const char kWithoutTexts[] =
      "SELECT uid, name, size, internaldate, flags, keywords, modseq, stuffed"
      " FROM msg WHERE uid >= ?1 AND uid <= ?2 AND modseq > ?3 ORDER BY uid";
  SqliteStmt st(db_, query.Texts ? kWithTexts : kWithoutTexts);
  st.Int(1, query.FromUid).Int(2, query.ToUid).Int(3, static_cast<int64_t>(query.ChangedSince));
  long rc;
  while (st.Next(&rc)) rows.push_back(RowFrom(st, query.Texts));
  return rc;
}

long FolderIndex::ExpungedSince(uint64_t since, std::vector<uint32_t> &uids, bool &complete) {
  uids.clear();
  Meta meta;
  long rc = db_.BeginRead();
  if (rc == ERROR_SUCCESS) rc = ReadMeta(meta);
  complete = static_cast<int64_t>(since) >= meta.ExpungedFloor;
  SqliteStmt st(db_, "SELECT uid FROM expunged WHERE modseq > ?1 ORDER BY uid");
  st.Int(1, static_cast<int64_t>(since));
  while (rc == ERROR_SUCCESS && st.Next(&rc)) uids.push_back(static_cast<uint32_t>(st.ColInt(0)));
  db_.Rollback();
  return rc;
}

long FolderIndex::KeywordsInUse(std::vector<std::string> &keywords) {
  keywords.clear();
  SqliteStmt st(db_, "SELECT DISTINCT keywords FROM msg WHERE keywords != ''");
  long rc;
  while (st.Next(&rc))
    for (std::string &k : SplitKeywords(st.ColText(0)))
      if (!HasKeyword(keywords, k)) keywords.push_back(std::move(k));
  std::sort(keywords.begin(), keywords.end());
  return rc;
}

long FolderIndex::StoreFlags(const std::vector<uint32_t> &uids, const FlagChange &change,
                             StoreOutcome &outcome) {
  outcome = StoreOutcome{};
  std::string normalized;
  if (!NormalizeKeywords(change.Keywords, normalized) || (change.Flags & ~kAllFlags) != 0)
    return ERROR_INVALID_PARAMETER;
  FlagChange clean = change;
  clean.Keywords = SplitKeywords(normalized);
  long rc = db_.BeginWrite(true);
  Meta meta;
  if (rc == ERROR_SUCCESS) rc = LoadForWrite(meta);
  for (size_t i = 0; rc == ERROR_SUCCESS && i < uids.size(); ++i) {
    SqliteStmt get(db_, "SELECT flags, keywords, modseq FROM msg WHERE uid = ?1");
    if (!get.Int(1, uids[i]).Next(&rc)) continue;
    uint32_t flags = static_cast<uint32_t>(get.ColInt(0)) & kAllFlags;
    std::vector<std::string> keywords = SplitKeywords(get.ColText(1));
    uint64_t modseq = static_cast<uint64_t>(get.ColInt(2));
    if (clean.HasUnchangedSince && modseq > clean.UnchangedSince) {
      outcome.Failed.push_back(uids[i]);
      continue;
    }
    uint32_t newFlags = flags;
    std::vector<std::string> newKeywords = keywords;
    ApplyChange(clean, newFlags, newKeywords);
    std::string joined = JoinKeywords(newKeywords);
    if (newFlags == flags && joined == JoinKeywords(keywords)) continue;   // nothing changes
    if (newKeywords.size() > kMaxKeywordsPerMessage) {
      rc = ERROR_INVALID_PARAMETER;
      break;
    }
    SqliteStmt set(db_, "UPDATE msg SET flags = ?2, keywords = ?3, modseq = ?4 WHERE uid = ?1");
    rc = set.Int(1, uids[i]).Int(2, newFlags).Text(3, joined).Int(4, ++meta.HighestModSeq).Run();
    IndexRow row;
    row.Uid = uids[i];
    row.Flags = newFlags;
    row.Keywords = std::move(joined);
    row.ModSeq = static_cast<uint64_t>(meta.HighestModSeq);
    outcome.Changed.push_back(std::move(row));
  }
  if (rc == ERROR_SUCCESS) rc = SaveMeta(meta);
  if (rc == ERROR_SUCCESS) rc = db_.Commit();
  if (rc == ERROR_SUCCESS) return rc;
  db_.Rollback();
  outcome = StoreOutcome{};
  return rc;
}

long FolderIndex::ClaimRecent(uint32_t &first, uint32_t &uidNext) {
  // Losing a claim to a crash only shows messages as \Recent again.
  long rc = db_.BeginWrite(false);
  Meta meta;
  if (rc == ERROR_SUCCESS) rc = LoadForWrite(meta);
  first = static_cast<uint32_t>(std::min(meta.Recent, kMaxUid));
  uidNext = static_cast<uint32_t>(std::min(meta.UidNext, kMaxUid));
  if (rc == ERROR_SUCCESS && meta.Recent < meta.UidNext) {
    meta.Recent = meta.UidNext;
    rc = SaveMeta(meta);
  }
  if (rc == ERROR_SUCCESS) return db_.Commit();
  db_.Rollback();
  first = uidNext = 0;
  return rc;
}

long FolderIndex::Expunge(const std::vector<uint32_t> *uids, std::vector<uint32_t> &expunged,
                          bool deletedOnly) {
  expunged.clear();
  if (!deletedOnly && uids == nullptr) return ERROR_INVALID_PARAMETER;
  long rc = db_.BeginWrite(true);
  Meta meta;
  if (rc == ERROR_SUCCESS) rc = LoadForWrite(meta);
  std::vector<std::pair<uint32_t, std::string>> doomed;
  if (deletedOnly) {
    SqliteStmt st(db_, "SELECT uid, name FROM msg WHERE flags & 8 != 0 ORDER BY uid");
    while (rc == ERROR_SUCCESS && st.Next(&rc)) {
      uint32_t uid = static_cast<uint32_t>(st.ColInt(0));
      if (uids == nullptr || std::binary_search(uids->begin(), uids->end(), uid))
        doomed.emplace_back(uid, std::string(st.ColText(1)));
    }
  } else {
    for (size_t i = 0; rc == ERROR_SUCCESS && i < uids->size(); ++i) {
      SqliteStmt st(db_, "SELECT name FROM msg WHERE uid = ?1");
      if (st.Int(1, (*uids)[i]).Next(&rc)) doomed.emplace_back((*uids)[i], std::string(st.ColText(0)));
    }
  }
  // Files first, made durable, then rows: a crash between leaves rows
  // that the next sync expunges, never a removed message that comes back.
  for (const auto &[uid, name] : doomed)
    if (RemoveFileAt(dir_.Get(), name)) expunged.push_back(uid);
  if (rc == ERROR_SUCCESS && !expunged.empty() && !SyncDirectoryEntries(dir_.Get()))
    rc = GetLastError();
  for (size_t i = 0; rc == ERROR_SUCCESS && i < expunged.size(); ++i)
    rc = RecordExpunged(expunged[i], meta);
  if (rc == ERROR_SUCCESS && !expunged.empty()) rc = TrimExpunged(meta);
  if (rc == ERROR_SUCCESS) rc = SaveMeta(meta);
  if (rc == ERROR_SUCCESS) rc = db_.Commit();
  if (rc == ERROR_SUCCESS) return rc;
  db_.Rollback();
  expunged.clear();
  return rc;
}

long FolderIndex::AddNamedMessages(std::vector<NamedMessage> &messages, uint32_t &uidValidity) {
  long rc = db_.BeginWrite(true);
  Meta meta;
  if (rc == ERROR_SUCCESS) rc = LoadForWrite(meta);
  for (size_t i = 0; rc == ERROR_SUCCESS && i < messages.size(); ++i) {
    bool inserted = false;
    rc = PutRow(messages[i], meta, true, inserted);
  }
  uidValidity = static_cast<uint32_t>(meta.UidValidity);
  if (rc == ERROR_SUCCESS) rc = SaveMeta(meta);
  if (rc == ERROR_SUCCESS) rc = db_.Commit();
  if (rc == ERROR_SUCCESS) return rc;
  db_.Rollback();
  for (NamedMessage &m : messages) m.Uid = 0;
  return rc;
}

long FolderIndex::SetDescription(uint32_t uid, const MessageDescription &d) {
  SqliteStmt st(db_,
                "UPDATE msg SET size = ?2, stuffed = ?3, envelope = ?4, bodystructure = ?5"
                " WHERE uid = ?1");
  return st.Int(1, uid).Int(2, static_cast<int64_t>(d.TextSize)).Int(3, d.Stuffed ? 1 : 0)
      .Text(4, d.Envelope).Text(5, d.BodyStructure).Run();
}
