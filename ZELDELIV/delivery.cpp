// delivery: see delivery.h.
#include "ZELDELIV/delivery.h"

#include <algorithm>
#include <functional>
#include <unordered_map>

#include "ZELDELIV/garbage.h"
#include "ZELDELIV/incoming.h"
#include "ZELDELIV/local.h"
#include "ZELDELIV/maillist.h"
#include "ZELDELIV/routing.h"
#include "ZELDELIV/zeldeliv.h"
#include "ZELRECV/localhost.h"
#include "common/fileutils.h"
#include "common/logging.h"
#include "common/str.h"
#include "common/zel.h"
#include "messages/zelmsg.h"
#include "platform/changenotify.h"
#include "platform/files.h"
#include "platform/sync.h"
#include "platform/thread.h"

DomainAttempt DeliverDomain = DeliverAllMessages;

namespace {

// Delete marker lines are broken where the event viewer breaks them.
constexpr size_t kMarkerWidth = 80;
// Queue directory locks, hashed by name: enough that domains rarely share.
constexpr size_t kDomainLockStripes = 64;
// A failing wait is reported, then retried after this pause (no flood).
constexpr DWORD kWaitFailurePauseMs = 1000;
constexpr DWORD kMsPerSecond = 1000;

// ---- the domain list

struct DomainState {
  std::mutex ThreadCreateSect;
  std::unique_ptr<_DomainInfo> HeadDomains;
  int ThreadsRunning = 0;
};

// Never destroyed: domain delivery threads are not joined and may still
// use it while the process ends.
DomainState &Domains() {
  static DomainState *state = new DomainState;
  return *state;
}

std::string DomainDirectory(const std::string &domain) {
  std::string dir;
  if (!CreateDomainDirectoryName(MailDomainsDirectory, domain, dir)) return "";
  return dir;
}

bool DomainListed(const DomainState &d, const std::string &name) {
  for (const _DomainInfo *e = d.HeadDomains.get(); e != nullptr; e = e->Next.get())
    if (EqualsNoCase(e->DomainName, name)) return true;
  return false;
}

// Unlinks the node that link points to and returns it.
std::unique_ptr<_DomainInfo> Unlink(std::unique_ptr<_DomainInfo> *link) {
  std::unique_ptr<_DomainInfo> node = std::move(*link);
  *link = std::move(node->Next);
  return node;
}

std::unique_ptr<_DomainInfo> *LinkOf(DomainState &d, const _DomainInfo *entry) {
  std::unique_ptr<_DomainInfo> *link = &d.HeadDomains;
  while (*link && link->get() != entry) link = &(*link)->Next;
  return *link ? link : nullptr;
}

void AppendAtTail(DomainState &d, std::unique_ptr<_DomainInfo> node) {
  std::unique_ptr<_DomainInfo> *link = &d.HeadDomains;
  while (*link) link = &(*link)->Next;
  *link = std::move(node);
}

// Every later entry of the same name that no thread works on goes.
void RemoveDuplicateDomains(DomainState &d) {
  for (_DomainInfo *e = d.HeadDomains.get(); e != nullptr; e = e->Next.get()) {
    std::unique_ptr<_DomainInfo> *link = &e->Next;
    while (*link) {
      if (EqualsNoCase((*link)->DomainName, e->DomainName) && (*link)->State != kDomainActive)
        Unlink(link);
      else
        link = &(*link)->Next;
    }
  }
}

bool HoldsRecipientFiles(const std::string &dir) {
  std::vector<std::string> names;
  if (ListDirectory(dir, ".RCP", ListKind::kFiles, 1, names)) return !names.empty();
  // Gone means empty; any other failure keeps the directory.
  return GetLastError() != ERROR_FILE_NOT_FOUND;
}

// The queue is finished (or, with onlyIfEmpty, found empty): the record
// and, when nothing else is in it, the directory go. Under the directory's
// lock, so a recipient file being filed is either seen or not yet begun.
bool RemoveDomainQueue(const std::string &dir, bool onlyIfEmpty) {
  std::unique_lock<std::mutex> lock = LockDomainDirectory(dir);
  if (onlyIfEmpty && HoldsRecipientFiles(dir)) return false;
  DeleteRoutingInfo(dir);
  RemoveDirectory(dir);
  return true;
}

void WaitOrStop(DWORD ms) {
  if (hTerminating)
    WaitForSingleObject(*hTerminating, ms);
  else
    Sleep(ms);
}

// One turn of a domain delivery thread on one domain; the entry's new state.
int DeliverOneDomain(_DomainInfo &entry) {
  std::string dir = DomainDirectory(entry.DomainName);
  if (dir.empty() || RemoveDomainQueue(dir, true)) return kDomainFinished;
  RoutingInfoPtr info = ReadRoutingInfo(entry, dir);
  if (!info) {
    WaitOrStop(kUnreadableRecordWaitMs);
    return kDomainWaiting;
  }
  if (DeliverDomain(entry, *info) == 1) {
    RemoveDomainQueue(dir, false);
    return kDomainFinished;
  }
  // The entry is active: only this thread touches its RetryTime now.
  bool due = SetDomainRetryInfo(entry, *info);
  WriteRoutingInfo(*info, dir);
  return due ? kDomainReady : kDomainWaiting;
}

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

// Every recipient is finished: the file goes, or its marker stands in.
bool SettleFinishedFile(const std::string &path, const _tMsgInfo &info) {
  if (DelRcpFile(path)) {
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

// One recipient file of a queue walk; true when it is finished.
bool WalkRecipientFile(const std::string &path, const std::string &name, MessageCallback callback,
                       void *context) {
  MsgInfoPtr info = LoadRecipientFile(path, name);
  if (!info) return false;
  bool pending = ApplyRemembered(path, *info);
  if (!AnyLeft(*info)) return SettleFinishedFile(path, *info);
  if (pending && ReplaceRecipientFile(path, *info)) pending = false;
  // Work whose outcome could not be recorded is better left for later.
  if (!pending && RememberedFull()) return false;
  bool newlyDisposed;
  {
    DisposedAside aside(*info);
    callback(*info, context);
    newlyDisposed = AnyDisposed(*info);
  }
  if (!AnyLeft(*info)) return SettleFinishedFile(path, *info);
  if ((newlyDisposed || pending) && !ReplaceRecipientFile(path, *info)) Remember(path, *info);
  return false;
}

// ---- the scanning thread

DWORD ScanIntervalMs() {
  return std::min<DWORD>(SMTPTimeout, kMaxScanIntervalSeconds) * kMsPerSecond;
}

}  // namespace

bool Terminating() { return hTerminating && hTerminating->IsSet(); }

void MailingLists() { StandardMailingLists(); }

void LocalMail() {
  std::string dir = DomainDirectory("");
  if (DirectoryExists(dir)) ForEachMessage(nullptr, DeliverToLocalUsers, nullptr);
}

void WorkCycle(bool first) {
  IncomingMail();
  LocalMail();
  MailingLists();
  if (first) DoGarbageCollection();
  UpdateDomainInfo();
  CreateDomainThreads();
  if (!first) DoGarbageCollection();
}

void DeliveryThread() {
  if (!hTerminating) return;   // started only once the stop event exists
  GetLocalHostIPInfo();
  if (!GatewayName.empty()) AddGatewayRoute(GatewayName);
  GetManualRouteAddresses();
  RecoverQueueFilings();
  // Watching starts before the first cycle, so that mail arriving during
  // it does not wait for the time-out. Without a watch the thread still
  // scans at every time-out: slower, but no mail is left lying.
  std::unique_ptr<ChangeNotification> notify =
      FindFirstChangeNotification(MailQueueDirectory, ".RCP");
  if (!notify) LogWin32Error(EVENTLOG_ERROR_TYPE, "FindFirstChangeNotification", GetLastError());
  WorkCycle(true);
  for (;;) {
    Waitable *objects[2];
    DWORD count = 0;
    if (notify) objects[count++] = notify.get();
    DWORD stop = count;
    objects[count++] = hTerminating.get();
    DWORD result = WaitForMultipleObjects(count, objects, ScanIntervalMs());
    if (result == WAIT_OBJECT_0 + stop) break;
    if (result == WAIT_TIMEOUT || (notify && result == WAIT_OBJECT_0)) {
      WorkCycle(false);
      if (notify) FindNextChangeNotification(*notify);
      continue;
    }
    LogWin32Error(EVENTLOG_ERROR_TYPE, "WaitForMultipleObjects", GetLastError());
    Sleep(kWaitFailurePauseMs);
  }
  FindCloseChangeNotification(notify);
}

// ---- queue walking

int ForEachMessage(const char *domain, MessageCallback callback, void *context) {
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
  for (const std::string &name : names) {
    if (Terminating()) return 0;
    if (!WalkRecipientFile(dir + "/" + name, name, callback, context)) result = 0;
  }
  return result;
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

bool DelRcpFile(const std::string &path) {
  if (DeleteFile(path) || GetLastError() == ERROR_FILE_NOT_FOUND) {
    // Durable, or a crash could bring back recipients already finished.
    SyncDirectory(DirectoryOf(path));
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

std::unique_lock<std::mutex> LockDomainDirectory(const std::string &directory) {
  static std::mutex *stripes = new std::mutex[kDomainLockStripes];
  std::string key = LowerAsciiCopy(directory);
  return std::unique_lock<std::mutex>(stripes[std::hash<std::string>()(key) % kDomainLockStripes]);
}

bool RemoveQueueDirectory(const std::string &directory) {
  std::unique_lock<std::mutex> lock = LockDomainDirectory(directory);
  return RemoveDirectory(directory);
}

// ---- the domain list

void UpdateDomainRetryStatus(_DomainInfo &entry) {
  RoutingInfoPtr info = ReadRoutingInfo(entry, DomainDirectory(entry.DomainName));
  if (info) {
    entry.State = SetDomainRetryInfo(entry, *info) ? kDomainReady : kDomainWaiting;
  } else {
    entry.State = kDomainWaiting;
    entry.RetryTime = 0;
  }
}

void UpdateDomainInfo() {
  std::vector<std::string> dirs;
  if (!ListDirectory(MailDomainsDirectory, "", ListKind::kDirectories, kMaxDomainDirectories,
                     dirs) &&
      GetLastError() != ERROR_MORE_DATA)
    return;
  std::vector<std::unique_ptr<_DomainInfo>> fresh;
  for (const std::string &name : dirs) {
    if (name == kLocalQueueName) continue;
    auto e = std::make_unique<_DomainInfo>();
    e->DomainName = BoundedCopy(CreateDomainNameFromDirectoryName(name), kMaxDomainName);
    fresh.push_back(std::move(e));
  }
  DomainState &d = Domains();
  std::lock_guard<std::mutex> lock(d.ThreadCreateSect);
  for (std::unique_ptr<_DomainInfo> &e : fresh) {
    if (DomainListed(d, e->DomainName)) continue;
    UpdateDomainRetryStatus(*e);
    e->Next = std::move(d.HeadDomains);
    d.HeadDomains = std::move(e);
  }
  RemoveDuplicateDomains(d);
}

void CreateDomainThreads() {
  if (Terminating()) return;
  DomainState &d = Domains();
  std::lock_guard<std::mutex> lock(d.ThreadCreateSect);
  long long now = NowSeconds();
  int count = 0;
  for (_DomainInfo *e = d.HeadDomains.get(); e != nullptr; e = e->Next.get()) {
    if (e->State == kDomainWaiting && now >= e->RetryTime) e->State = kDomainReady;
    if (e->State == kDomainReady) ++count;
  }
  int limit = MaxDeliveryThreads > 0 ? std::min(MaxDeliveryThreads, kMaxDomainThreads)
                                     : kMaxDomainThreads;
  if (count + d.ThreadsRunning > limit) count = limit - d.ThreadsRunning;
  for (int i = 0; i < count; ++i)
    if (StartThread(Deliver, kDeliveryThreadStack)) ++d.ThreadsRunning;
}

bool GetNewDomain(_DomainInfo *&entry, int newState) {
  DomainState &d = Domains();
  std::lock_guard<std::mutex> lock(d.ThreadCreateSect);
  if (entry != nullptr) {
    if (std::unique_ptr<_DomainInfo> *link = LinkOf(d, entry)) {
      std::unique_ptr<_DomainInfo> node = Unlink(link);
      node->State = newState;
      if (newState != kDomainFinished) AppendAtTail(d, std::move(node));
    }
    entry = nullptr;
  }
  if (!Terminating()) {
    long long now = NowSeconds();
    for (_DomainInfo *e = d.HeadDomains.get(); e != nullptr; e = e->Next.get()) {
      if (e->State == kDomainWaiting && now >= e->RetryTime) e->State = kDomainReady;
      if (e->State == kDomainReady) {
        e->State = kDomainActive;
        entry = e;
        return true;
      }
    }
  }
  --d.ThreadsRunning;
  return false;
}

void Deliver() {
  _DomainInfo *entry = nullptr;
  int newState = kDomainWaiting;
  while (GetNewDomain(entry, newState)) newState = DeliverOneDomain(*entry);
}

int DomainThreadsRunning() {
  DomainState &d = Domains();
  std::lock_guard<std::mutex> lock(d.ThreadCreateSect);
  return d.ThreadsRunning;
}

std::vector<std::pair<std::string, int>> DomainListSnapshot() {
  DomainState &d = Domains();
  std::lock_guard<std::mutex> lock(d.ThreadCreateSect);
  std::vector<std::pair<std::string, int>> out;
  for (const _DomainInfo *e = d.HeadDomains.get(); e != nullptr; e = e->Next.get())
    out.emplace_back(e->DomainName, e->State);
  return out;
}

bool FreeDomainList() {
  DomainState &d = Domains();
  std::lock_guard<std::mutex> lock(d.ThreadCreateSect);
  if (d.ThreadsRunning != 0) return false;
  // One node at a time: a long chain must not recurse in its destructors.
  while (d.HeadDomains) d.HeadDomains = std::move(d.HeadDomains->Next);
  return true;
}
