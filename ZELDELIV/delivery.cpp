// delivery: see delivery.h.
#include "ZELDELIV/delivery.h"

#include <algorithm>
#include <unordered_map>

#include "ZELDELIV/dmarcsend.h"
#include "ZELDELIV/garbage.h"
#include "ZELDELIV/incoming.h"
#include "ZELDELIV/listpass.h"
#include "ZELDELIV/local.h"
#include "ZELDELIV/mailbox.h"
#include "ZELDELIV/queue.h"
#include "ZELDELIV/routing.h"
#include "ZELDELIV/settings.h"
#include "common/fileutils.h"
#include "common/logging.h"
#include "common/spoolqueue.h"
#include "common/str.h"
#include "common/zel.h"
#include "net/localhost.h"
#include "platform/changenotify.h"
#include "platform/files.h"
#include "platform/sync.h"
#include "platform/thread.h"

DomainAttempt DeliverDomain = DeliverAllMessages;
void (*DomainUpkeep)() = UpkeepDomainsHere;
bool (*ReleaseQueueDirectory)(const std::string &directory) = RemoveQueueDirectory;

namespace {

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
  DeleteFile(dir + "/" + kRetryRequestName);
  lock.unlock();
  ReleaseQueueDirectory(dir);
  return true;
}

// ---- slow domains: at most half of the domain threads

int DomainThreadLimit() {
  return MaxDeliveryThreads > 0 ? std::min(MaxDeliveryThreads, kMaxDomainThreads)
                                : kMaxDomainThreads;
}

// Threads that slow domains may still take: half of the limit (one at
// least), less those already on a domain known slow or on an attempt that
// has run longer than one reply may take. So slow exchangers, however
// many, never keep the mail of the others waiting. Under the lock.
int SlowRoom(const DomainState &d, long long nowMs) {
  int room = std::max(1, DomainThreadLimit() / 2);
  long long longMs = static_cast<long long>(ReceiveTimeout0) * kMsPerSecond;
  for (const _DomainInfo *e = d.HeadDomains.get(); e != nullptr; e = e->Next.get())
    if (e->State == kDomainActive && (e->bSlow || nowMs - e->AttemptStartMs > longMs)) --room;
  return room;
}

// The outcome of an attempt, for SlowRoom (read by the other threads).
void NoteSlowness(_DomainInfo &entry, bool slow) {
  DomainState &d = Domains();
  std::lock_guard<std::mutex> lock(d.ThreadCreateSect);
  entry.bSlow = slow ? 1 : 0;
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
  int finished = DeliverDomain(entry, *info);
  NoteSlowness(entry, info->bSlow != 0);
  if (finished == 1) {
    RemoveDomainQueue(dir, false);
    return kDomainFinished;
  }
  // The entry is active: only this thread touches its RetryTime now.
  bool due = SetDomainRetryInfo(entry, *info);
  WriteRoutingInfo(*info, dir);
  return due ? kDomainReady : kDomainWaiting;
}

}  // namespace

DWORD ScanIntervalMs() {
  return std::min<DWORD>(SMTPTimeout, kMaxScanIntervalSeconds) * kMsPerSecond;
}

void LocalMail() {
  std::string dir = DomainDirectory("");
  if (!DirectoryExists(dir)) return;
  MailboxCopyGroup group;
  ForEachMessage(nullptr, DeliverToLocalUsers, &group, CommitLocalCopies);
}

bool WorkCycle(bool first) {
  static long long lastGarbageMs = 0;   // the scanning thread's own
  IncomingMail();
  LocalMail();
  MailingLists();
  if (first) {
    DoGarbageCollection();
    lastGarbageMs = MonotonicMs();
  }
  DomainUpkeep();
  DmarcReportCycle();
  if (first) return false;
  long long now = MonotonicMs();
  if (now - lastGarbageMs < kGarbageIntervalMs) return true;
  DoGarbageCollection();
  lastGarbageMs = now;
  return false;
}

void DeliveryThread(void (*beforeFirstCycle)()) {
  if (!hTerminating) return;   // started only once the stop event exists
  GetLocalHostIPInfo(false);
  RecoverQueueFilings();
  if (beforeFirstCycle != nullptr) beforeFirstCycle();
  // Watching starts before the first cycle, so that mail arriving during
  // it does not wait for the time-out. Without a watch the thread still
  // scans at every time-out: slower, but no mail is left lying.
  std::unique_ptr<ChangeNotification> notify =
      FindFirstChangeNotification(MailQueueDirectory, ".RCP");
  if (!notify) LogWin32Error(EVENTLOG_ERROR_TYPE, "FindFirstChangeNotification", GetLastError());
  bool garbageDue = WorkCycle(true);
  for (;;) {
    Waitable *objects[2];
    DWORD count = 0;
    if (notify) objects[count++] = notify.get();
    DWORD stop = count;
    objects[count++] = hTerminating.get();
    DWORD wait = garbageDue ? std::min(kGarbageIntervalMs, ScanIntervalMs()) : ScanIntervalMs();
    DWORD result = WaitForMultipleObjects(count, objects, wait);
    if (result == WAIT_OBJECT_0 + stop) break;
    if (result == WAIT_TIMEOUT || (notify && result == WAIT_OBJECT_0)) {
      garbageDue = WorkCycle(false);
      if (notify) FindNextChangeNotification(*notify);
      continue;
    }
    LogWin32Error(EVENTLOG_ERROR_TYPE, "WaitForMultipleObjects", GetLastError());
    Sleep(kWaitFailurePauseMs);
  }
  FindCloseChangeNotification(notify);
}

// ---- the domain list

void UpkeepDomainsHere() {
  UpdateDomainInfo();
  CreateDomainThreads();
}

void UpdateDomainRetryStatus(_DomainInfo &entry) {
  RoutingInfoPtr info = ReadRoutingInfo(entry, DomainDirectory(entry.DomainName));
  if (info) {
    entry.State = SetDomainRetryInfo(entry, *info) ? kDomainReady : kDomainWaiting;
    entry.bSlow = info->bSlow;
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
  // Domains with a retry request (zeladm queue retry), by directory name.
  std::unordered_map<std::string, std::string> retry;   // domain, lower case -> directory
  for (const std::string &name : dirs) {
    if (name == kLocalQueueName) continue;
    auto e = std::make_unique<_DomainInfo>();
    e->DomainName = BoundedCopy(CreateDomainNameFromDirectoryName(name), kMaxDomainName);
    fresh.push_back(std::move(e));
    if (FileExists(MailDomainsDirectory + "/" + name + "/" + kRetryRequestName))
      retry.emplace(LowerAsciiCopy(CreateDomainNameFromDirectoryName(name)), name);
  }
  std::vector<std::string> granted;
  {
    DomainState &d = Domains();
    std::lock_guard<std::mutex> lock(d.ThreadCreateSect);
    for (std::unique_ptr<_DomainInfo> &e : fresh) {
      if (DomainListed(d, e->DomainName)) continue;
      UpdateDomainRetryStatus(*e);
      e->Next = std::move(d.HeadDomains);
      d.HeadDomains = std::move(e);
    }
    RemoveDuplicateDomains(d);
    // A domain being worked on keeps its request until it waits again.
    for (_DomainInfo *e = d.HeadDomains.get(); e != nullptr && !retry.empty(); e = e->Next.get()) {
      auto it = retry.find(LowerAsciiCopy(e->DomainName));
      if (it == retry.end() || e->State == kDomainActive) continue;
      e->RetryTime = 0;
      granted.push_back(it->second);
      retry.erase(it);
    }
  }
  for (const std::string &name : granted)
    DeleteFile(MailDomainsDirectory + "/" + name + "/" + kRetryRequestName);
}

void CreateDomainThreads() {
  if (Terminating()) return;
  DomainState &d = Domains();
  std::lock_guard<std::mutex> lock(d.ThreadCreateSect);
  long long now = NowSeconds();
  int count = 0, slow = 0;
  for (_DomainInfo *e = d.HeadDomains.get(); e != nullptr; e = e->Next.get()) {
    if (e->State == kDomainWaiting && now >= e->RetryTime) e->State = kDomainReady;
    if (e->State == kDomainReady) ++(e->bSlow ? slow : count);
  }
  // Only the slow domains that may start now call for a thread.
  count += std::min(slow, std::max(0, SlowRoom(d, MonotonicMs())));
  int limit = DomainThreadLimit();
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
    long long nowMs = MonotonicMs();
    int slowRoom = SlowRoom(d, nowMs);
    for (_DomainInfo *e = d.HeadDomains.get(); e != nullptr; e = e->Next.get()) {
      if (e->State == kDomainWaiting && now >= e->RetryTime) e->State = kDomainReady;
      if (e->State == kDomainReady && (!e->bSlow || slowRoom > 0)) {
        e->State = kDomainActive;
        e->AttemptStartMs = nowMs;
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
