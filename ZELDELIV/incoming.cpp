// incoming: see incoming.h.
#include "ZELDELIV/incoming.h"

#include <algorithm>
#include <mutex>

#include "ZELDELIV/local.h"
#include "ZELDELIV/queue.h"
#include "common/fileutils.h"
#include "common/logging.h"
#include "common/rfc822parse.h"
#include "common/str.h"
#include "common/zel.h"
#include "messages/zelmsg.h"
#include "platform/files.h"
#include "platform/fileview.h"
#include "platform/textfile.h"
#include "zelbase/zelbase.h"

namespace {

constexpr std::string_view kQueuedExtension = ".RCP";
// The held copy of a message's forwards by alias: its base name and this
// (never a generated identifier, which has no "-").
constexpr std::string_view kForwardCopySuffix = "-srs";
// Messages taken up together, sharing their syncs.
constexpr size_t kTakeUpGroup = 64;

// A file name without the extension after its last ".".
std::string WithoutExtension(const std::string &name) {
  size_t slash = name.rfind('/');
  size_t dot = name.rfind('.');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return name;
  return name.substr(0, dot);
}

// Staged files of committed messages whose rename failed; tried again at
// every pass (the scanning thread's own).
std::vector<std::string> &PendingPublications() {
  static auto *pending = new std::vector<std::string>;
  return *pending;
}

// Makes the staged files visible to the queue walkers. A queued file of the
// same name already there means the message was queued before: the staged
// copy would file its recipients twice, so it goes.
void PublishStaged(const std::vector<std::string> &staged) {
  for (const std::string &path : staged) {
    std::string queued = WithoutExtension(path) + std::string(kQueuedExtension);
    if (MoveFileNoReplace(path, queued) || GetLastError() == ERROR_FILE_NOT_FOUND) continue;
    if (GetLastError() == ERROR_FILE_EXISTS) {
      DeleteFile(path);
      continue;
    }
    PendingPublications().push_back(path);
  }
}

void RetryPendingPublications() {
  std::vector<std::string> pending;
  pending.swap(PendingPublications());
  PublishStaged(pending);
}

// The recipients of one message that go into one queue directory.
struct QueueFile {
  std::string Directory;
  std::vector<const _tRcpInfo *> Recipients;
};

// The queue directory of a recipient, or "" when it has none (a remote
// recipient without a usable domain).
std::string QueueDirectoryOf(const _tRcpInfo &r) {
  std::string domain;
  if (!r.bIsLocalUser) {
    std::string user;
    SplitAddress(r.Name, user, kMaxRecipientName, domain, kMaxDomainName);
    if (domain.empty()) return "";
  }
  std::string dir;
  if (!CreateDomainDirectoryName(MailDomainsDirectory, domain, dir)) return "";
  return dir;
}

// Queues in the order of their first recipient; recipients in list order.
std::vector<QueueFile> GroupByQueue(const _tMsgInfo &info) {
  std::vector<QueueFile> queues;
  for (const _tRcpInfo *r = info.Rcp; r != nullptr; r = r->Next) {
    std::string dir = QueueDirectoryOf(*r);
    if (dir.empty()) continue;
    auto it = std::find_if(queues.begin(), queues.end(),
                           [&](const QueueFile &q) { return q.Directory == dir; });
    if (it == queues.end()) it = queues.insert(queues.end(), QueueFile{dir, {}});
    it->Recipients.push_back(r);
  }
  return queues;
}

// A new queue directory must be durable before a file in it is counted on.
bool EnsureQueueDirectory(const std::string &dir) {
  if (DirectoryExists(dir)) return true;
  return CreateQueueDirectory(dir);
}

// A staged file an earlier pass wrote, whose group may not have been
// synced: it joins this group.
bool AddStagedFile(const std::string &path, SyncGroup &sync) {
  UniqueFd fd(OpenFileForReading(path));
  return fd.Valid() && sync.AddFile(fd.Get());
}

bool FileOneQueue(const _tMsgInfo &info, const QueueFile &q, const std::string &base,
                  std::vector<std::string> &staged, SyncGroup &sync) {
  std::string stagedPath = q.Directory + "/" + base + kStagedExtension;
  std::string queued = q.Directory + "/" + base + std::string(kQueuedExtension);
  std::unique_lock<std::mutex> lock = LockDomainDirectory(q.Directory);
  bool ok = EnsureQueueDirectory(q.Directory);
  bool earlier = ok && FileExists(stagedPath);
  if (!earlier && ok && FileExists(queued)) return true;
  if (earlier)
    ok = AddStagedFile(stagedPath, sync);
  else
    ok = ok && WriteRecipientFile(stagedPath, q.Directory, info, q.Recipients, sync);
  ok = ok && sync.AddDirectory(q.Directory);
  if (!ok) {
    // Tried again at every pass; said once.
    if (FirstReportOf("queue file\n" + queued))
      LogEvent(EVENTLOG_ERROR_TYPE, MSG_CANNOT_WRITE_FILE, LogSafeText(queued).c_str(),
               LogSafeText(info.ReturnPath).c_str());
    return false;
  }
  staged.push_back(stagedPath);
  return true;
}

// Moves the message file to `holding` (made durable by the group's sync),
// never over a message held there under the same name: that one belongs
// to other recipients. False when the message cannot be filed in this pass
// (or ever: a missing message, event 132, after which its recipient file is
// gone too).
bool HoldMessage(const std::string &rcpPath, const _tMsgInfo &info) {
  std::string base = WithoutExtension(rcpPath.substr(rcpPath.rfind('/') + 1));
  std::string from = MailQueueDirectory + "/" + base + ".MSG";
  std::string to = MailHoldingDirectory + "/" + base + ".MSG";
  if (MoveFileNoReplace(from, to)) return true;
  long error = GetLastError();
  if (error == ERROR_FILE_EXISTS) {
    // Said once per message; the newcomer waits in `incoming` until the
    // held one is delivered and collected (garbage.h).
    if (FirstReportOf("held name\n" + to))
      LogWin32Error(EVENTLOG_WARNING_TYPE,
                    ("MoveFile(" + LogSafeText(from) + " to " + LogSafeText(to) +
                     ", a held message of that name is still queued; this one waits)")
                        .c_str(),
                    error);
    return false;
  }
  if (error != ERROR_FILE_NOT_FOUND) {
    LogWin32Error(EVENTLOG_WARNING_TYPE, "MoveFile", error);
    return false;
  }
  if (FileExists(to)) return true;   // moved by a run that ended before filing it
  LogEvent(EVENTLOG_ERROR_TYPE, MSG_INCOMING_NOT_FOUND, LogSafeText(from).c_str(),
           LogSafeText(info.ReturnPath).c_str());
  DelRcpFile(rcpPath);
  return false;
}

// The held copy of the alias forwards (durable before it has its name).
// One there already is this message's from a pass a crash cut short, unless
// its size says it is another message's (the counter set back): then the
// message waits, as HoldMessage lets a newcomer wait.
bool HoldForwardCopy(const _tMsgInfo &info, const _tMsgInfo &forwards) {
  std::string held = HeldMessagePath(info), copy = HeldMessagePath(forwards);
  if (CopyFileNoReplace(held, copy)) return true;
  long error = GetLastError();
  uint64_t heldSize = 0, copySize = 1;
  if (error == ERROR_FILE_EXISTS && GetFileSizeByName(held, &heldSize) &&
      GetFileSizeByName(copy, &copySize) && heldSize == copySize)
    return true;
  if (FirstReportOf("held name\n" + copy))
    LogWin32Error(EVENTLOG_WARNING_TYPE, ("CopyFile(" + LogSafeText(held) + " to " +
                                          LogSafeText(copy) + ")").c_str(), error);
  return false;
}

// One message of a group being taken up.
struct TakenUp {
  std::string RcpPath;
  std::vector<std::string> Staged;
};

// Reads a recipient file, holds its message and files its queue files;
// false when the message waits in `incoming` for a later pass.
bool TakeUpMessage(const std::string &name, TakenUp &t, SyncGroup &sync) {
  t.RcpPath = MailQueueDirectory + "/" + name;
  TextFile f;
  if (!OpenRcpFile(t.RcpPath, "r", f)) return false;
  MsgInfoPtr info = ReadMsgInfo(f);
  f.Close();
  if (!info) return false;
  NameMessageAfterFile(*info, name);
  AliasFilter(*info);
  if (!HoldMessage(t.RcpPath, *info)) return false;
  // Forwards by alias leave with another sender than the local copies: a
  // held copy of their own, filed in the same commit. A pass that runs
  // again after a crash finds the copy made and files the same names.
  MsgInfoPtr forwards =
      SplitAliasForwards(*info, WithoutExtension(name) + std::string(kForwardCopySuffix));
  if (forwards && !HoldForwardCopy(*info, *forwards)) return false;
  return RecordMessageInfo(*info, t.Staged, sync) &&
         (!forwards || RecordMessageInfo(*forwards, t.Staged, sync));
}

// Takes up a group of messages. They share the syncs: one for the held
// messages and all their queue files, then one for `incoming` once their
// recipient files are deleted (the commit: from then on each message is
// in its queues), and only then are the queue files published.
void TakeUpGroup(const std::vector<std::string> &names, size_t first, size_t end) {
  SyncGroup sync;
  std::vector<TakenUp> group;
  for (size_t i = first; i < end && !Terminating(); ++i) {
    TakenUp t;
    if (TakeUpMessage(names[i], t, sync)) group.push_back(std::move(t));
  }
  if (group.empty()) return;
  // Not known to be durable: nothing is counted on; the next pass finds
  // the messages held and their queue files staged, and goes on from there.
  if (!sync.AddDirectory(MailHoldingDirectory) || !sync.Sync()) {
    LogWin32Error(EVENTLOG_WARNING_TYPE, "FlushFileBuffers", GetLastError());
    return;
  }
  std::vector<const TakenUp *> committed;
  for (const TakenUp &t : group)
    if (DelRcpFile(t.RcpPath, false) || FileExists(DeleteMarkerPath(t.RcpPath)))
      committed.push_back(&t);
  // Durable before the queue files are worked on, or a crash could bring
  // a delivered message back from `incoming`.
  SyncDirectory(MailQueueDirectory);
  for (const TakenUp *t : committed) PublishStaged(t->Staged);
}

void RecoverQueueDirectory(const std::string &dir) {
  std::vector<std::string> names;
  ListDirectory(dir, "", ListKind::kFiles, kMaxQueueListing, names);
  bool changed = false;
  for (const std::string &name : names) {
    std::string path = dir + "/" + name;
    // A temporary recipient file is from a rewrite that a crash interrupted.
    if (std::string_view(name).substr(0, kRecipientTempPrefix.size()) == kRecipientTempPrefix) {
      changed = DeleteFile(path) || changed;
      continue;
    }
    std::string_view staged = kStagedExtension;
    if (name.size() <= staged.size() || !EndsWithNoCase(name, staged)) continue;
    std::string incoming = MailQueueDirectory + "/" + WithoutExtension(name) + ".RCP";
    if (FileExists(incoming) && !FileExists(DeleteMarkerPath(incoming)))
      DeleteFile(path);   // not committed: it is filed again from `incoming`
    else
      PublishStaged({path});
    changed = true;
  }
  if (changed) SyncDirectory(dir);
}

}  // namespace

bool RecordMessageInfo(const _tMsgInfo &info, std::vector<std::string> &staged,
                       SyncGroup &sync) {
  std::string_view id(info.MessageId);
  std::string base(id.substr(0, id.find('@')));
  if (base.empty() || base.find('/') != std::string::npos) return false;
  bool ok = true;
  for (const QueueFile &q : GroupByQueue(info))
    ok = FileOneQueue(info, q, base, staged, sync) && ok;
  return ok;
}

void IncomingMail() {
  RetryPendingPublications();
  std::vector<std::string> names;
  {
    DirLock lock;
    if (!lock.Lock(MailQueueDirectory.c_str(), kIncomingLockMs)) return;
    // A partial listing (more than a batch) is worked on; the rest follows.
    ListDirectory(MailQueueDirectory, kQueuedExtension, ListKind::kFiles, kMaxIncomingBatch, names);
  }
  std::sort(names.begin(), names.end());   // oldest identifiers first
  for (size_t first = 0; first < names.size() && !Terminating(); first += kTakeUpGroup)
    TakeUpGroup(names, first, std::min(names.size(), first + kTakeUpGroup));
}

void RecoverQueueFilings() {
  RetryPendingPublications();
  std::vector<std::string> dirs;
  ListDirectory(MailDomainsDirectory, "", ListKind::kDirectories, kMaxDomainDirectories, dirs);
  for (const std::string &d : dirs) RecoverQueueDirectory(MailDomainsDirectory + "/" + d);
}
