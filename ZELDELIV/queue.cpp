// queue: see queue.h.
#include "ZELDELIV/queue.h"

#include <algorithm>
#include <functional>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "ZELDELIV/settings.h"
#include "common/fileutils.h"
#include "common/logging.h"
#include "common/spoolqueue.h"
#include "common/str.h"
#include "common/zel.h"
#include "messages/zelmsg.h"
#include "platform/files.h"
#include "platform/privilege.h"

std::unique_ptr<ZelEvent> hTerminating;

namespace {

// Delete marker lines are broken where the event viewer breaks them.
constexpr size_t kMarkerWidth = 80;
// Queue directory locks, hashed by name: enough that domains rarely share.
constexpr size_t kDomainLockStripes = 64;

// ---- recipient files

std::string DirectoryOf(const std::string &path) {
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? "." : path.substr(0, slash);
}

// The file name without its directory and without the extension after its
// last "." (the message base name, as the holding and queue files use it).
std::string BaseNameOf(const std::string &fileName) {
  size_t slash = fileName.rfind('/');
  std::string name = slash == std::string::npos ? fileName : fileName.substr(slash + 1);
  return name.substr(0, name.rfind('.'));
}

// Breaks text into lines of at most width characters at spaces (a word
// longer than a line is cut); every line ends in "\n".
std::string WrapText(std::string_view text, size_t width) {
  std::string out;
  while (text.size() > width) {
    size_t cut = text.rfind(' ', width);
    size_t next = cut + 1;
    if (cut == std::string_view::npos || cut == 0) cut = next = width;
    out.append(text.substr(0, cut));
    out += '\n';
    text.remove_prefix(next);
  }
  out.append(text);
  out += '\n';
  return out;
}

bool WriteDeleteMarker(const std::string &marker, const std::string &text) {
  TextFile f;
  if (!f.Open(marker, "w")) return false;
  bool ok = f.Write(text) && f.Commit();
  ok = f.Close() && ok;
  return ok && SyncDirectory(DirectoryOf(marker));
}

bool AnyLeft(const _tMsgInfo &info) {
  for (const _tRcpInfo *r = info.Rcp; r != nullptr; r = r->Next)
    if (!r->bDisposed) return true;
  return false;
}

bool AnyDisposed(const _tMsgInfo &info) {
  for (const _tRcpInfo *r = info.Rcp; r != nullptr; r = r->Next)
    if (r->bDisposed) return true;
  return false;
}

// Keeps the recipients already finished off the list while a callback
// runs, and puts them back behind the others afterwards.
class DisposedAside {
 public:
  explicit DisposedAside(_tMsgInfo &info) : info_(info) {
    _tRcpInfo **link = &info.Rcp;
    _tRcpInfo **tail = &aside_;
    while (*link != nullptr) {
      _tRcpInfo *r = *link;
      if (!r->bDisposed) {
        link = &r->Next;
        continue;
      }
      *link = r->Next;
      r->Next = nullptr;
      *tail = r;
      tail = &r->Next;
    }
  }
  ~DisposedAside() {
    _tRcpInfo **link = &info_.Rcp;
    while (*link != nullptr) link = &(*link)->Next;
    *link = aside_;
  }
  DisposedAside(const DisposedAside &) = delete;
  DisposedAside &operator=(const DisposedAside &) = delete;

 private:
  _tMsgInfo &info_;
  _tRcpInfo *aside_ = nullptr;
};

// ---- remembered dispositions: recipients finished in a file that could
// not be rewritten, by file path.

struct RememberedDispositions {
  std::mutex Sect;
  std::unordered_map<std::string, std::vector<std::string>> Files;
};

RememberedDispositions &Remembered() {
  static RememberedDispositions *r = new RememberedDispositions;
  return *r;
}

// Marks the remembered recipients of path disposed; true when path has any.
bool ApplyRemembered(const std::string &path, _tMsgInfo &info) {
  RememberedDispositions &m = Remembered();
  std::lock_guard<std::mutex> lock(m.Sect);
  auto it = m.Files.find(path);
  if (it == m.Files.end()) return false;
  for (const std::string &name : it->second) {
    for (_tRcpInfo *r = info.Rcp; r != nullptr; r = r->Next) {
      if (!r->bDisposed && name == r->Name) {
        r->bDisposed = 1;
        break;
      }
    }
  }
  return true;
}

void Remember(const std::string &path, const _tMsgInfo &info) {
  std::vector<std::string> names;
  for (const _tRcpInfo *r = info.Rcp; r != nullptr; r = r->Next)
    if (r->bDisposed) names.emplace_back(r->Name);
  RememberedDispositions &m = Remembered();
  std::lock_guard<std::mutex> lock(m.Sect);
  m.Files[path] = std::move(names);
}

void Forget(const std::string &path) {
  RememberedDispositions &m = Remembered();
  std::lock_guard<std::mutex> lock(m.Sect);
  m.Files.erase(path);
}

// Soft bound: checked before work starts, so a few threads may pass it.
bool RememberedFull() {
  RememberedDispositions &m = Remembered();
  std::lock_guard<std::mutex> lock(m.Sect);
  return m.Files.size() >= kMaxRememberedFiles;
}

// Replaces the file, whole and durable, with the recipients left; the
// record then matches the file again.
bool ReplaceRecipientFile(const std::string &path, _tMsgInfo &info) {
  if (!CreateRecipientFile(info, path)) return false;
  Forget(path);
  RemoveDisposedRecipients(info);
  return true;
}

// Every recipient is finished: the file goes (the walk syncs the directory
// for a group of them), or its marker stands in.
bool SettleFinishedFile(const std::string &path, const _tMsgInfo &info) {
  if (DelRcpFile(path, false)) {
    Forget(path);
    return true;
  }
  // Kept in memory even behind a marker: an administrator who removes only
  // the marker must not get the recipients delivered again.
  Remember(path, info);
  return FileExists(DeleteMarkerPath(path));
}

MsgInfoPtr LoadRecipientFile(const std::string &path, const std::string &name) {
  TextFile f;
  if (!OpenRcpFile(path, "r", f)) return nullptr;
  MsgInfoPtr info = ReadMsgInfo(f);
  f.Close();
  if (info) NameMessageAfterFile(*info, name);
  return info;
}

// Recipient files walked as one group: their deletions share a directory
// sync, and a walk with a group commit finishes their work together.
constexpr size_t kWalkGroup = 32;

// One recipient file of a walk between its callback and its settling.
struct WalkedFile {
  std::string Path;
  UniqueFd Lock;
  MsgInfoPtr Info;
  bool Pending = false;         // remembered dispositions not yet in the file
  bool NewlyDisposed = false;   // the callback finished some recipients
};

enum class Walk { kFinished, kKept, kToSettle };

// One recipient file of a queue walk up to its callback: finished (deleted
// already), kept for the next pass, or walked and to be settled. The
// file's lock is held until it is settled, so that zeladm never deletes it
// under a delivery (and a delivery never brings back a file zeladm
// deleted); a file that is locked now, or whose message is held, waits
// for the next pass.
Walk WalkRecipientFile(const std::string &name, MessageCallback callback, void *context,
                       WalkedFile &w) {
  long rc = LockRecipientFile(w.Path, 0, w.Lock);
  if (rc == ERROR_FILE_NOT_FOUND) return Walk::kFinished;   // deleted since the listing
  if (rc != ERROR_SUCCESS) return Walk::kKept;
  if (FileExists(HoldMarkerPath(MailHoldingDirectory, BaseNameOf(name)))) return Walk::kKept;
  w.Info = LoadRecipientFile(w.Path, name);
  if (!w.Info) return Walk::kKept;
  _tMsgInfo &info = *w.Info;
  w.Pending = ApplyRemembered(w.Path, info);
  if (!AnyLeft(info)) return SettleFinishedFile(w.Path, info) ? Walk::kFinished : Walk::kKept;
  if (w.Pending && ReplaceRecipientFile(w.Path, info)) w.Pending = false;
  // Work whose outcome could not be recorded is better left for later.
  if (!w.Pending && RememberedFull()) return Walk::kKept;
  DisposedAside aside(info);
  callback(info, context);
  w.NewlyDisposed = AnyDisposed(info);
  return Walk::kToSettle;
}

// The file after its callback (and its group's commit): deleted when every
// recipient is finished, else rewritten with those left. True when finished.
bool SettleWalkedFile(WalkedFile &w) {
  if (!AnyLeft(*w.Info)) return SettleFinishedFile(w.Path, *w.Info);
  if ((w.NewlyDisposed || w.Pending) && !ReplaceRecipientFile(w.Path, *w.Info))
    Remember(w.Path, *w.Info);
  return false;
}

}  // namespace

bool Terminating() { return hTerminating && hTerminating->IsSet(); }

std::string DomainDirectory(const std::string &domain) {
  std::string dir;
  if (!QueueDirectoryName(MailDomainsDirectory, domain, dir)) return "";
  return dir;
}

bool WriteRecipientFile(const std::string &path, const std::string &directory,
                        const _tMsgInfo &info, const std::vector<const _tRcpInfo *> &recipients,
                        SyncGroup &sync) {
  int fd = CreateNewFile(path);
  if (fd < 0) return false;
  GiveToDirectoryOwner(fd, directory);
  TextFile f;
  f.Attach(fd, "w");
  f.Printf("Message-ID: <%s>\n", info.MessageId);
  f.Printf("Return-path: %s\n", info.ReturnPath);
  if (info.b8Bit) f.Write("Body-8Bit: TRUE\n");
  if (info.bJunk) f.Write("Junk: TRUE\n");
  for (const _tRcpInfo *r : recipients) {
    f.Printf("Recipient: %s\n", r->Name);
    if (r->OriginalAddress[0] != '\0') f.Printf("Original-Address: %s\n", r->OriginalAddress);
  }
  bool ok = f.Flush() && sync.AddFile(f.Fd());
  ok = f.Close() && ok;
  if (!ok) {
    long error = GetLastError();
    DeleteFile(path);
    SetLastError(error);
  }
  return ok;
}

std::string HeldMessagePath(const _tMsgInfo &info) {
  return CreateFileNameFromMessageId(MailHoldingDirectory, info.MessageId, 0, 0);
}

// ---- queue walking

int ForEachMessage(const char *domain, MessageCallback callback, void *context,
                   GroupCommit commit) {
  std::string dir = DomainDirectory(domain != nullptr ? domain : "");
  if (dir.empty()) return 0;
  std::vector<std::string> names;
  int result = 1;
  if (!ListDirectory(dir, ".RCP", ListKind::kFiles, kMaxQueueListing, names)) {
    if (GetLastError() == ERROR_FILE_NOT_FOUND) return 1;   // nothing queued
    if (GetLastError() != ERROR_MORE_DATA) return 0;
    result = 0;   // the rest waits for the next pass
  }
  std::sort(names.begin(), names.end());   // oldest identifiers first
  // The deletions of a group of finished files share one directory sync:
  // a crash before it can bring back at most that group's recipients (to
  // be delivered again, never lost: garbage collection syncs the queues
  // before it deletes a held message).
  std::vector<WalkedFile> walked;
  size_t inGroup = 0;
  size_t finished = 0;
  auto settleWalked = [&] {
    if (commit != nullptr && !walked.empty()) commit(context);
    for (WalkedFile &w : walked) {
      if (SettleWalkedFile(w))
        ++finished;
      else
        result = 0;
    }
    walked.clear();
  };
  auto endGroup = [&] {
    settleWalked();
    if (finished > 0) SyncDirectory(dir);
    inGroup = finished = 0;
  };
  for (const std::string &name : names) {
    if (Terminating()) break;
    WalkedFile w;
    w.Path = dir + "/" + name;
    switch (WalkRecipientFile(name, callback, context, w)) {
      case Walk::kFinished: ++finished; break;
      case Walk::kKept: result = 0; break;
      case Walk::kToSettle: walked.push_back(std::move(w)); break;
    }
    if (commit == nullptr) settleWalked();   // nothing to commit: each file at once
    if (++inGroup == kWalkGroup) endGroup();
  }
  endGroup();
  return Terminating() ? 0 : result;
}

std::string DeleteMarkerPath(const std::string &path) {
  size_t slash = path.rfind('/');
  size_t dot = path.rfind('.');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return path + ".DEL";
  return path.substr(0, dot) + ".DEL";
}

std::string DeleteMarkerText(const std::string &path, long error) {
  const char *text = MessageText(MSG_CANNOT_DELETE_FILE);
  std::string formatted =
      FormatMessageText(text != nullptr ? text : "", path.c_str(), std::to_string(error).c_str());
  // The message's own line ends give way to the breaks at the width.
  while (!formatted.empty() && (formatted.back() == '\n' || formatted.back() == '\r'))
    formatted.pop_back();
  std::replace(formatted.begin(), formatted.end(), '\r', ' ');
  std::replace(formatted.begin(), formatted.end(), '\n', ' ');
  return WrapText(formatted, kMarkerWidth);
}

bool OpenRcpFile(const std::string &path, const char *mode, TextFile &stream) {
  if (FileExists(DeleteMarkerPath(path))) return false;
  return stream.Open(path, mode);
}

bool DelRcpFile(const std::string &path, bool syncDirectory) {
  if (DeleteFile(path) || GetLastError() == ERROR_FILE_NOT_FOUND) {
    // Durable, or a crash could bring back recipients already finished.
    if (syncDirectory) SyncDirectory(DirectoryOf(path));
    return true;
  }
  long error = GetLastError();
  std::string marker = DeleteMarkerPath(path);
  if (!WriteDeleteMarker(marker, DeleteMarkerText(path, error)))
    LogWin32Error(EVENTLOG_ERROR_TYPE, ("CreateFile(" + marker + ")").c_str(), GetLastError());
  return false;
}

void NameMessageAfterFile(_tMsgInfo &info, const std::string &fileName) {
  std::string base = BaseNameOf(fileName);
  std::string_view id(info.MessageId);
  if (!id.empty() && id.substr(0, id.find('@')) == base) return;
  std::string formed = base + "@" + GetLocalHostName(-1);
  STRNCPY(info.MessageId, formed.c_str(), sizeof info.MessageId);
}

bool FirstReportOf(const std::string &key) {
  static std::mutex *sect = new std::mutex;
  static auto *reported = new std::unordered_set<std::string>;
  std::lock_guard<std::mutex> lock(*sect);
  if (reported->size() >= kMaxRememberedReports) reported->clear();
  return reported->insert(key).second;
}

std::unique_lock<std::mutex> LockDomainDirectory(const std::string &directory) {
  static std::mutex *stripes = new std::mutex[kDomainLockStripes];
  std::string key = LowerAsciiCopy(directory);
  return std::unique_lock<std::mutex>(stripes[std::hash<std::string>()(key) % kDomainLockStripes]);
}

bool CreateQueueDirectory(const std::string &directory) {
  if (!CreateDirectoryRecursively(directory)) return false;
  if (RemoteSideAccount.Switch && directory != DomainDirectory("") &&
      !GiveDirectoryToAccount(directory, RemoteSideAccount.Uid, RemoteSideAccount.Gid))
    return false;
  return SyncDirectory(MailDomainsDirectory);
}

bool RemoveQueueDirectory(const std::string &directory) {
  std::unique_lock<std::mutex> lock = LockDomainDirectory(directory);
  return RemoveDirectory(directory);
}
