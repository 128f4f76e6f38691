// mailstore: see mailstore.h.
#include "common/mailstore.h"

#include <fcntl.h>

#include <algorithm>
#include <atomic>
#include <ctime>
#include <map>

#include "platform/fileview.h"
#include "platform/folderfs.h"
#include "platform/sysinfo.h"
#include "zelbase/zelbase.h"

const SpecialUseFolder kSpecialUseFolders[5] = {
    {"Sent", kFolderSent},   {"Drafts", kFolderDrafts},   {"Trash", kFolderTrash},
    {"Junk", kFolderJunk},   {"Archive", kFolderArchive},
};

namespace {

constexpr mode_t kFolderDirectoryMode = 0700;
constexpr mode_t kMessageFileMode = 0600;
constexpr std::string_view kSubscriptionsLockName = ".subscriptions-lock";
constexpr std::string_view kSubscriptionsTempName = ".subscriptions-new";
// Files of a folder's own besides its messages, removed with it.
constexpr std::string_view kFolderControlFiles[] = {
    ".index", ".index-wal", ".index-shm", ".index-journal", ".index-lock", ".index-damaged"};
// How long a new message's name waits for the identifier counter.
constexpr unsigned kMsgIdWaitMs = 1000;
// Bytes collected before a write to a message file.
constexpr size_t kWriteChunk = 65536;
constexpr char kHex[] = "0123456789abcdef";

std::string RandomHex(size_t bytes) {
  unsigned char buf[16] = {};
  bytes = std::min(bytes, sizeof buf);
  if (!GetRandomBytes(buf, bytes)) {
    static std::atomic<unsigned> counter{0};
    unsigned n = counter++ * 2654435761u ^ static_cast<unsigned>(std::time(nullptr));
    for (size_t i = 0; i < bytes; ++i) buf[i] = static_cast<unsigned char>(n >> (8 * (i % 4)));
  }
  std::string out;
  for (size_t i = 0; i < bytes; ++i) {
    out += kHex[buf[i] >> 4];
    out += kHex[buf[i] & 15];
  }
  return out;
}

// A new message file's base name. The identifier counter belongs to the
// service account; a process that cannot take identifiers (a session
// running as the mail user) stops asking after the first refusal and makes
// names of the same shape from the time and random bytes instead.
std::string NewMessageName() {
  static std::atomic<bool> counterUsable{true};
  char id[32];
  if (counterUsable.load() && CreateUniqueMsgId(id, sizeof id, kMsgIdWaitMs))
    return std::string(id) + std::string(kMessageFileSuffix);
  counterUsable.store(false);
  return "A" + std::to_string(static_cast<long long>(std::time(nullptr))) + "-" + RandomHex(6) +
         std::string(kMessageFileSuffix);
}

// A folder's directory holds its index or message files; one with neither
// is what a deletion left of a folder with children.
bool IsSelectable(int dir) {
  EntryStamp stamp;
  if (StatEntryAt(dir, kIndexFileName, stamp) && stamp.Regular) return true;
  std::vector<std::string> any;
  bool more = false;
  return ListFileNamesAt(dir, kMessageFileSuffix, 1, any, &more) && !any.empty();
}

bool HasSubfolders(int dir) {
  std::vector<std::string> any;
  bool more = false;
  return ListSubdirectoriesAt(dir, std::string_view(&kFolderDirPrefix, 1), 1, any, &more) &&
         !any.empty();
}

uint32_t SpecialUseOf(std::string_view name) {
  for (const SpecialUseFolder &f : kSpecialUseFolders)
    if (f.Name == name) return f.Attribute;
  return 0;
}

// Reads the rows of uids (ascending) from folder, by name.
long RowsOf(FolderIndex &folder, const std::vector<uint32_t> &uids, std::vector<IndexRow> &rows) {
  rows.clear();
  if (uids.empty()) return ERROR_SUCCESS;
  RowQuery q;
  q.FromUid = uids.front();
  q.ToUid = uids.back();
  std::vector<IndexRow> range;
  long rc = folder.ReadRows(q, range);
  for (IndexRow &row : range)
    if (std::binary_search(uids.begin(), uids.end(), row.Uid)) rows.push_back(std::move(row));
  return rc;
}

// Removes names just made in dir again (an operation that failed).
void RemoveNames(int dir, const std::vector<NamedMessage> &made) {
  for (const NamedMessage &m : made) RemoveFileAt(dir, m.Name);
  SyncDirectoryEntries(dir);
}

}  // namespace

std::string FolderAttributeText(uint32_t attributes) {
  static const std::pair<uint32_t, const char *> kNames[] = {
      {kFolderNonExistent, "\\NonExistent"}, {kFolderNoSelect, "\\Noselect"},
      {kFolderHasChildren, "\\HasChildren"}, {kFolderHasNoChildren, "\\HasNoChildren"},
      {kFolderSubscribed, "\\Subscribed"},   {kFolderSent, "\\Sent"},
      {kFolderDrafts, "\\Drafts"},           {kFolderTrash, "\\Trash"},
      {kFolderJunk, "\\Junk"},               {kFolderArchive, "\\Archive"}};
  std::string text;
  for (const auto &[bit, name] : kNames) {
    if ((attributes & bit) == 0) continue;
    if (!text.empty()) text += ' ';
    text += name;
  }
  return text;
}

long Mailstore::Open(int mailboxDir, const IndexOptions &options) {
  dir_.Reset(fcntl(mailboxDir, F_DUPFD_CLOEXEC, 0));
  options_ = options;
  return dir_.Valid() ? ERROR_SUCCESS : errno;
}

// Opens the first components directories of path below M, making missing
// ones (as ordinary folders, but for INBOX's container) when create is set:
// the parents of a folder being made.
long Mailstore::WalkTo(const FolderPath &path, size_t components, bool create, UniqueFd &out) {
  UniqueFd cur(fcntl(dir_.Get(), F_DUPFD_CLOEXEC, 0));
  if (!cur.Valid()) return errno;
  std::string name;
  for (size_t i = 0; i < components; ++i) {
    const std::string &dir = path.Dirs[i];
    std::string component;
    DecodeFolderComponent(dir, component);
    name += (i == 0 ? "" : "/") + component;
    UniqueFd next(OpenSubdirectoryAt(cur.Get(), dir));
    if (!next.Valid() && GetLastError() == ENOENT && create) {
      if (!MakeDirectoryAt(cur.Get(), dir, kFolderDirectoryMode) && GetLastError() != EEXIST)
        return GetLastError();
      if (!SyncDirectoryEntries(cur.Get())) return GetLastError();
      next.Reset(OpenSubdirectoryAt(cur.Get(), dir));
      // INBOX's children live in "+INBOX", which is INBOX's, not a folder.
      bool container = i == 0 && name == kInboxName;
      if (next.Valid() && !container) {
        long rc = MakeFolderIndex(next.Get(), name);
        if (rc != ERROR_SUCCESS) return rc;
      }
    }
    if (!next.Valid()) return GetLastError();
    cur = std::move(next);
  }
  out = std::move(cur);
  return ERROR_SUCCESS;
}

long Mailstore::MakeFolderIndex(int dir, const std::string &name) {
  FolderIndex folder;
  UniqueFd own(fcntl(dir, F_DUPFD_CLOEXEC, 0));
  if (!own.Valid()) return errno;
  return folder.Open(std::move(own), name, options_);
}

long Mailstore::OpenFolder(std::string_view name, FolderIndex &folder) {
  FolderPath path;
  if (!ParseFolderName(name, path)) return ERROR_INVALID_PARAMETER;
  UniqueFd dir;
  long rc = WalkTo(path, path.Dirs.size(), false, dir);
  if (rc != ERROR_SUCCESS) return rc == ENOTDIR || rc == ELOOP ? ERROR_FILE_NOT_FOUND : rc;
  if (!path.IsInbox() && !IsSelectable(dir.Get())) return EISDIR;
  return folder.Open(std::move(dir), path.Name, options_);
}

long Mailstore::CreateFolder(std::string_view name) {
  FolderPath path;
  if (!ParseFolderName(name, path)) return ERROR_INVALID_PARAMETER;
  if (path.IsInbox()) return ERROR_ALREADY_EXISTS;
  UniqueFd parent;
  long rc = WalkTo(path, path.Dirs.size() - 1, true, parent);
  if (rc != ERROR_SUCCESS) return rc;
  const std::string &last = path.Dirs.back();
  UniqueFd dir(OpenSubdirectoryAt(parent.Get(), last));
  if (dir.Valid() && IsSelectable(dir.Get())) return ERROR_ALREADY_EXISTS;
  if (!dir.Valid()) {
    if (GetLastError() != ENOENT) return GetLastError();
    if (!MakeDirectoryAt(parent.Get(), last, kFolderDirectoryMode))
      return GetLastError() == EEXIST ? ERROR_ALREADY_EXISTS : GetLastError();
    if (!SyncDirectoryEntries(parent.Get())) return GetLastError();
    dir.Reset(OpenSubdirectoryAt(parent.Get(), last));
    if (!dir.Valid()) return GetLastError();
  }
  return MakeFolderIndex(dir.Get(), path.Name);
}

long Mailstore::EnsureSpecialUse() {
  long first = ERROR_SUCCESS;
  for (const SpecialUseFolder &f : kSpecialUseFolders) {
    EntryStamp stamp;
    if (StatEntryAt(dir_.Get(), EncodeFolderComponent(f.Name), stamp)) continue;
    long rc = CreateFolder(f.Name);
    if (rc != ERROR_SUCCESS && rc != ERROR_ALREADY_EXISTS && first == ERROR_SUCCESS) first = rc;
  }
  return first;
}

long Mailstore::DeleteFolder(std::string_view name) {
  FolderPath path;
  if (!ParseFolderName(name, path)) return ERROR_INVALID_PARAMETER;
  if (path.IsInbox()) return ERROR_ACCESS_DENIED;
  UniqueFd parent, dir;
  long rc = WalkTo(path, path.Dirs.size() - 1, false, parent);
  if (rc == ERROR_SUCCESS) rc = WalkTo(path, path.Dirs.size(), false, dir);
  if (rc != ERROR_SUCCESS) return rc == ENOTDIR || rc == ELOOP ? ERROR_FILE_NOT_FOUND : rc;
  bool children = HasSubfolders(dir.Get());
  if (!IsSelectable(dir.Get()) && children) return ERROR_DIR_NOT_EMPTY;
  // Messages first, then the index: a crash between leaves a folder whose
  // index the next sync empties, never messages without one.
  std::vector<std::string> files;
  bool more = true;
  while (more) {
    if (!ListFileNamesAt(dir.Get(), kMessageFileSuffix, kMaxFolderFiles, files, &more))
      return GetLastError();
    for (const std::string &file : files)
      if (!RemoveFileAt(dir.Get(), file)) return GetLastError();
  }
  if (!ListFileNamesAt(dir.Get(), "", kMaxFolderFiles, files, &more)) return GetLastError();
  for (const std::string &file : files)
    if (file.starts_with(kAppendTempPrefix)) RemoveFileAt(dir.Get(), file);
  for (std::string_view control : kFolderControlFiles)
    if (!RemoveFileAt(dir.Get(), control)) return GetLastError();
  if (!SyncDirectoryEntries(dir.Get())) return GetLastError();
  if (children) return ERROR_SUCCESS;
  if (!RemoveDirectoryAt(parent.Get(), path.Dirs.back())) return GetLastError();
  return SyncDirectoryEntries(parent.Get()) ? ERROR_SUCCESS : GetLastError();
}

long Mailstore::RenameFolder(std::string_view fromName, std::string_view toName) {
  FolderPath from, to;
  if (!ParseFolderName(fromName, from) || !ParseFolderName(toName, to))
    return ERROR_INVALID_PARAMETER;
  if (to.IsInbox()) return ERROR_ALREADY_EXISTS;
  // A folder cannot become its own descendant.
  if (to.Name == from.Name || to.Name.starts_with(from.Name + "/")) return ERROR_INVALID_PARAMETER;
  if (from.IsInbox()) return RenameInbox(to);
  UniqueFd fromParent, moved, toParent;
  long rc = WalkTo(from, from.Dirs.size() - 1, false, fromParent);
  if (rc == ERROR_SUCCESS) rc = WalkTo(from, from.Dirs.size(), false, moved);
  if (rc != ERROR_SUCCESS) return rc == ENOTDIR || rc == ELOOP ? ERROR_FILE_NOT_FOUND : rc;
  rc = WalkTo(to, to.Dirs.size() - 1, true, toParent);
  if (rc != ERROR_SUCCESS) return rc;
  if (!RenameEntryAt(fromParent.Get(), from.Dirs.back(), toParent.Get(), to.Dirs.back()))
    return GetLastError() == EEXIST || GetLastError() == ENOTEMPTY ? ERROR_ALREADY_EXISTS
                                                                   : GetLastError();
  if (!SyncDirectoryEntries(toParent.Get()) || !SyncDirectoryEntries(fromParent.Get()))
    return GetLastError();
  return ERROR_SUCCESS;
}

// INBOX's messages go to a new folder with their flags; INBOX stays, and
// its next sync expunges what left it.
long Mailstore::RenameInbox(const FolderPath &to) {
  long rc = CreateFolder(to.Name);
  FolderIndex inbox, target;
  if (rc == ERROR_SUCCESS) rc = OpenFolder(kInboxName, inbox);
  if (rc == ERROR_SUCCESS) rc = OpenFolder(to.Name, target);
  SyncResult synced;
  if (rc == ERROR_SUCCESS) rc = inbox.Sync(synced);
  std::vector<IndexRow> rows;
  RowQuery all;
  if (rc == ERROR_SUCCESS) rc = inbox.ReadRows(all, rows);
  if (rc != ERROR_SUCCESS) return rc;
  std::vector<NamedMessage> moved;
  for (IndexRow &row : rows) {
    if (!RenameEntryAt(inbox.Directory(), row.Name, target.Directory(), row.Name)) continue;
    NamedMessage m;
    m.Name = std::move(row.Name);
    m.Description = {row.Size, row.Stuffed, std::move(row.Envelope), std::move(row.BodyStructure)};
    m.InternalDate = row.InternalDate;
    m.Flags = row.Flags;
    m.Keywords = std::move(row.Keywords);
    moved.push_back(std::move(m));
  }
  if (!SyncDirectoryEntries(target.Directory()) || !SyncDirectoryEntries(inbox.Directory()))
    return GetLastError();
  uint32_t validity = 0;
  rc = target.AddNamedMessages(moved, validity);
  if (rc == ERROR_SUCCESS) rc = inbox.Sync(synced);
  return rc;
}

void Mailstore::ListBelow(int dir, const std::string &prefix, size_t depth,
                          std::vector<FolderEntry> &out) {
  std::vector<std::string> subdirs;
  bool more = false;
  if (depth >= kMaxFolderDepth ||
      !ListSubdirectoriesAt(dir, std::string_view(&kFolderDirPrefix, 1), kMaxFolders, subdirs,
                            &more))
    return;
  std::sort(subdirs.begin(), subdirs.end());
  for (const std::string &sub : subdirs) {
    std::string component;
    if (out.size() >= kMaxFolders || !DecodeFolderComponent(sub, component)) continue;
    std::string name = prefix.empty() ? component : prefix + "/" + component;
    FolderPath path;
    // Only names that lead back here: no second spelling of INBOX.
    if (!ParseFolderName(name, path) || path.Name != name) continue;
    UniqueFd child(OpenSubdirectoryAt(dir, sub));
    if (!child.Valid()) continue;
    if (prefix.empty() && name == kInboxName) {   // INBOX's children
      ListBelow(child.Get(), name, depth + 1, out);
      continue;
    }
    size_t at = out.size();
    out.push_back({name, IsSelectable(child.Get()) ? 0u : kFolderNoSelect});
    if (prefix.empty()) out[at].Attributes |= SpecialUseOf(name);
    ListBelow(child.Get(), name, depth + 1, out);
    out[at].Attributes |= out.size() > at + 1 ? kFolderHasChildren : kFolderHasNoChildren;
  }
}

long Mailstore::ListFolders(std::vector<FolderEntry> &folders) {
  folders.clear();
  folders.push_back({std::string(kInboxName), 0});
  ListBelow(dir_.Get(), "", 0, folders);
  bool inboxChildren = std::any_of(folders.begin(), folders.end(), [](const FolderEntry &f) {
    return f.Name.starts_with("INBOX/");
  });
  folders[0].Attributes |= inboxChildren ? kFolderHasChildren : kFolderHasNoChildren;
  std::vector<std::string> subscribed;
  long rc = ReadSubscriptions(subscribed);
  std::map<std::string, size_t> byName;
  for (size_t i = 0; i < folders.size(); ++i) byName[folders[i].Name] = i;
  for (const std::string &name : subscribed) {
    auto it = byName.find(name);
    if (it != byName.end())
      folders[it->second].Attributes |= kFolderSubscribed;
    else
      folders.push_back({name, kFolderSubscribed | kFolderNonExistent});
  }
  return rc;
}

long Mailstore::FolderStatus(std::string_view name, FolderCounts &counts) {
  FolderIndex folder;
  SyncResult synced;
  long rc = OpenFolder(name, folder);
  if (rc == ERROR_SUCCESS) rc = folder.Sync(synced);
  if (rc == ERROR_SUCCESS) rc = folder.ReadCounts(counts);
  return rc;
}

long Mailstore::ReadSubscriptions(std::vector<std::string> &names) {
  names.clear();
  UniqueFd fd(OpenFileForReadingAt(dir_.Get(), std::string(kSubscriptionsFileName)));
  if (!fd.Valid()) return GetLastError() == ENOENT ? ERROR_SUCCESS : GetLastError();
  std::string text;
  if (!ReadUpTo(fd.Get(), kMaxSubscriptionBytes, text)) return GetLastError();
  std::string_view rest(text);
  if (rest.size() > kMaxSubscriptionBytes) rest = rest.substr(0, kMaxSubscriptionBytes);
  while (!rest.empty() && names.size() < kMaxSubscriptions) {
    size_t lf = rest.find('\n');
    std::string_view line = rest.substr(0, lf);
    rest.remove_prefix(lf == std::string_view::npos ? rest.size() : lf + 1);
    FolderPath path;
    // A line cut by the bound, or not a name, is no subscription.
    if (lf == std::string_view::npos && text.size() > kMaxSubscriptionBytes) break;
    if (ParseFolderName(line, path) &&
        std::find(names.begin(), names.end(), path.Name) == names.end())
      names.push_back(path.Name);
  }
  return ERROR_SUCCESS;
}

long Mailstore::WriteSubscriptions(const std::vector<std::string> &names) {
  std::string text;
  for (const std::string &name : names) text += name + "\n";
  RemoveFileAt(dir_.Get(), kSubscriptionsTempName);
  UniqueFd fd(CreateFileAt(dir_.Get(), kSubscriptionsTempName, kMessageFileMode));
  if (!fd.Valid() || !WriteWholeFile(fd.Get(), text) || !SyncData(fd.Get()) ||
      !ReplaceEntryAt(dir_.Get(), kSubscriptionsTempName, kSubscriptionsFileName) ||
      !SyncDirectoryEntries(dir_.Get())) {
    long rc = GetLastError();
    RemoveFileAt(dir_.Get(), kSubscriptionsTempName);
    return rc;
  }
  return ERROR_SUCCESS;
}

long Mailstore::Subscribe(std::string_view name, bool subscribe) {
  FolderPath path;
  if (!ParseFolderName(name, path)) return ERROR_INVALID_PARAMETER;
  // One writer at a time, so that two sessions' changes both last.
  UniqueFd lock(LockEntryAt(dir_.Get(), kSubscriptionsLockName));
  if (!lock.Valid()) return GetLastError();
  std::vector<std::string> names;
  long rc = ReadSubscriptions(names);
  if (rc != ERROR_SUCCESS) return rc;
  auto it = std::find(names.begin(), names.end(), path.Name);
  if (subscribe == (it != names.end())) return ERROR_SUCCESS;
  if (subscribe && names.size() >= kMaxSubscriptions) return ERROR_DISK_FULL;
  if (subscribe)
    names.push_back(path.Name);
  else
    names.erase(it);
  return WriteSubscriptions(names);
}

long Mailstore::Copy(FolderIndex &from, const std::vector<uint32_t> &uids, FolderIndex &to,
                     bool move, CopyResult &result) {
  result = CopyResult{};
  std::vector<IndexRow> rows;
  long rc = RowsOf(from, uids, rows);
  if (rc != ERROR_SUCCESS) return rc;
  std::vector<NamedMessage> made;
  std::vector<uint32_t> sources;
  for (IndexRow &row : rows) {
    NamedMessage m;
    bool linked = false;
    for (int attempt = 0; attempt < kMessageNameAttempts && !linked; ++attempt) {
      m.Name = NewMessageName();
      linked = LinkFileAt(from.Directory(), row.Name, to.Directory(), m.Name);
      if (!linked && GetLastError() != EEXIST) break;
    }
    if (!linked && GetLastError() == ENOENT) continue;   // expunged meanwhile
    if (!linked) {
      rc = GetLastError();
      break;
    }
    m.Description = {row.Size, row.Stuffed, std::move(row.Envelope), std::move(row.BodyStructure)};
    m.InternalDate = row.InternalDate;
    m.Flags = row.Flags;
    m.Keywords = std::move(row.Keywords);
    made.push_back(std::move(m));
    sources.push_back(row.Uid);
  }
  if (rc == ERROR_SUCCESS && !SyncDirectoryEntries(to.Directory())) rc = GetLastError();
  if (rc == ERROR_SUCCESS) rc = to.AddNamedMessages(made, result.UidValidity);
  if (rc != ERROR_SUCCESS) {
    RemoveNames(to.Directory(), made);
    return rc;
  }
  result.SourceUids = sources;
  for (const NamedMessage &m : made) result.TargetUids.push_back(m.Uid);
  if (!move || sources.empty()) return ERROR_SUCCESS;
  return from.Expunge(&sources, result.Expunged, false);
}

long AppendWriter::Begin(FolderIndex &folder) {
  Abort();
  folder_ = &folder;
  for (int attempt = 0; attempt < kMessageNameAttempts && !file_.Valid(); ++attempt) {
    temp_ = std::string(kAppendTempPrefix) + RandomHex(8);
    file_.Reset(CreateFileAt(folder.Directory(), temp_, kMessageFileMode));
    if (!file_.Valid() && GetLastError() != EEXIST) break;
  }
  if (file_.Valid()) return ERROR_SUCCESS;
  long rc = GetLastError();
  temp_.clear();
  folder_ = nullptr;
  return rc;
}

long AppendWriter::Flush() {
  if (!out_.empty() && !WriteWholeFile(file_.Get(), out_)) return GetLastError();
  out_.clear();
  return ERROR_SUCCESS;
}

// The SMTP form, byte by byte: CR LF line ends, a leading dot doubled.
long AppendWriter::Write(std::string_view piece) {
  if (!file_.Valid()) return ERROR_INVALID_PARAMETER;
  for (char c : piece) {
    if (lineStart_ && c == '.') out_ += '.';
    if (c == '\n' && !lastCr_) out_ += '\r';
    out_ += c;
    lineStart_ = c == '\n';
    lastCr_ = c == '\r';
    if (out_.size() >= kWriteChunk) {
      long rc = Flush();
      if (rc != ERROR_SUCCESS) return rc;
    }
  }
  textBytes_ += piece.size();
  return ERROR_SUCCESS;
}

long AppendWriter::Finish(int64_t internalDate, uint32_t flags,
                          const std::vector<std::string> &keywords, AppendResult &result) {
  result = AppendResult{};
  NamedMessage m;
  if (!file_.Valid()) return ERROR_INVALID_PARAMETER;
  if (textBytes_ == 0 || !NormalizeKeywords(keywords, m.Keywords) || (flags & ~kAllFlags) != 0) {
    Abort();
    return ERROR_INVALID_PARAMETER;
  }
  if (!lineStart_) out_ += lastCr_ ? "\n" : "\r\n";
  out_ += ".\r\n";
  m.InternalDate = internalDate != 0 ? internalDate : static_cast<int64_t>(std::time(nullptr));
  m.Flags = flags;
  int dir = folder_->Directory();
  long rc = Flush();
  // The date first, so that the name never stands for a file without it.
  if (rc == ERROR_SUCCESS && (!SetModifiedTime(file_.Get(), m.InternalDate) || !SyncData(file_.Get())))
    rc = GetLastError();
  uint64_t size = 0;
  MappedView view;
  if (rc == ERROR_SUCCESS && (!GetFileSizeOf(file_.Get(), &size) ||
                              !view.Map(UniqueFd(OpenFileForReadingAt(dir, temp_)).Get(), size)))
    rc = GetLastError();
  if (rc != ERROR_SUCCESS) {
    Abort();
    return rc;
  }
  m.Description = folder_->Describer()(view.View());
  view.Unmap();
  bool linked = false;
  for (int attempt = 0; attempt < kMessageNameAttempts && !linked; ++attempt) {
    m.Name = NewMessageName();
    linked = LinkFileAt(dir, temp_, dir, m.Name);
    if (!linked && GetLastError() != EEXIST) break;
  }
  rc = linked ? ERROR_SUCCESS : GetLastError();
  Abort();   // the temporary name goes; the file keeps its new one
  if (rc == ERROR_SUCCESS && !SyncDirectoryEntries(dir)) rc = GetLastError();
  std::vector<NamedMessage> one(1, std::move(m));
  if (rc == ERROR_SUCCESS) rc = folder_->AddNamedMessages(one, result.UidValidity);
  if (rc != ERROR_SUCCESS) {
    // Told it failed, the client will send it again: no second copy.
    if (linked) RemoveNames(dir, one);
    return rc;
  }
  result.Uid = one[0].Uid;
  return ERROR_SUCCESS;
}

void AppendWriter::Abort() {
  if (folder_ != nullptr && !temp_.empty()) RemoveFileAt(folder_->Directory(), temp_);
  file_.Reset();
  temp_.clear();
  out_.clear();
  textBytes_ = 0;
  lineStart_ = true;
  lastCr_ = false;
}
