// msgaccept: see msgaccept.h.
#include "ZELRECV/msgaccept.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <stdio.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "ZELRECV/recvcfg.h"
#include "ZELRECV/smtpfilter.h"
#include "common/authcheck.h"
#include "common/dkim.h"
#include "common/dmarcjournal.h"
#include "common/logging.h"
#include "common/pconfig.h"
#include "common/rfc822parse.h"
#include "common/service.h"
#include "common/smtputil.h"
#include "common/str.h"
#include "common/zel.h"
#include "messages/zelmsg.h"
#include "net/localdomain.h"
#include "platform/ascii.h"
#include "platform/files.h"
#include "platform/fileview.h"
#include "platform/sync.h"
#include "platform/textfile.h"
#include "zelbase/zelbase.h"

namespace {

constexpr int kMessageFileAttempts = 10;
constexpr size_t kMsgIdBufferSize = 64;
constexpr DWORD kMsgIdWaitMs = 1000;
constexpr int kRecipientLockMs = 20000;
constexpr int kMaxReceivedLines = 20;      // more hops than this is a loop
constexpr size_t kMaxAddedLines = 4096;
constexpr size_t kMaxInlogLine = 511;
constexpr unsigned kDiskThreads = 2;
// Messages queued as one group at most: bounds the wait of the first.
constexpr size_t kQueueBatch = 64;
// A header up to this size goes into the first write with the added lines.
constexpr size_t kJoinedHeaderBytes = 64 * 1024;

_SmtpDialogue &Dlg(_Connection *conn) { return *static_cast<_SmtpDialogue *>(conn->Dialogue); }

void FinishRefused(_Connection *conn, const char *reply);

std::string RecipientFileName(const std::string &messageFile) {
  size_t dot = messageFile.rfind('.');
  if (dot == std::string::npos || messageFile.find('/', dot) != std::string::npos) return "";
  return messageFile.substr(0, dot + 1) + "RCP";
}

// ---- the message file

// Creates the message file, nameless until the message is whole, and picks
// its identifier. An identifier whose message file or recipient file is
// already there (handed out again, after the counter went back) is passed
// over for the next one: nothing in the spool is ever replaced.
bool CreateMessageFileFor(_SmtpDialogue &dlg) {
  if (!dlg.MessageFile.Create(MailQueueDirectory, kMessageTempPrefix, kSpoolFileMode)) return false;
  for (int attempt = 0; attempt < kMessageFileAttempts; ++attempt) {
    char id[kMsgIdBufferSize];
    if (!CreateUniqueMsgId(id, sizeof id, kMsgIdWaitMs)) continue;
    std::string name = MailQueueDirectory + "/" + id + ".MSG";
    if (FileExists(name) || FileExists(RecipientFileName(name))) continue;
    dlg.MessageFileName = name;
    dlg.FileOffset = 0;
    dlg.MessageId =
        "<" + CreateMessageIdFromFileName(name, dlg.LocalHostName, kMaxMessageIdText) + ">";
    return true;
  }
  dlg.MessageFile.Discard();
  return false;
}

// Closes the message file and deletes it (a refused or failed message).
void DropMessageFile(_SmtpDialogue &dlg) {
  if (dlg.MessageFile.Valid()) EnginePort().Dissociate(dlg.MessageFile.Fd());
  dlg.MessageFile.Discard();
  if (dlg.bMessageFileNamed) DeleteFile(dlg.MessageFileName);
  dlg.bMessageFileNamed = false;
  dlg.MessageFileName.clear();
}

bool IsDottedAddress(const std::string &s) {
  return !s.empty() && s.find_first_not_of("0123456789.") == std::string::npos;
}

void QualifyReturnPath(_SmtpDialogue &dlg) {
  if (dlg.ReturnPath.empty() || *SkipLocalAddressPart(dlg.ReturnPath.c_str()) != '\0') return;
  if (IsDottedAddress(dlg.LocalHostName))
    dlg.ReturnPath += "@[" + dlg.LocalHostName + "]";
  else
    dlg.ReturnPath += "@" + dlg.LocalHostName;
}

void BuildAddedLines(_SmtpDialogue &dlg, int receivedLines) {
  std::string date = FormatHeaderDate(time(nullptr), true);
  const std::string &header = dlg.Data.Header;
  std::string &a = dlg.AddedLines;
  a = ReceivedLine(dlg, date);
  if (!HeaderPresent(header, "Date:") && receivedLines == 0) a += "Date: " + date + "\r\n";
  if (!HeaderPresent(header, "Message-ID:")) a += "Message-ID: " + dlg.MessageId + "\r\n";
  CutText(a, kMaxAddedLines);
}

// The header is whole: the message file, the checks on the header, and the
// lines the receiver adds. The refusal's reply, or null.
const char *OpenMessageFile(_Connection *conn) {
  _SmtpDialogue &dlg = Dlg(conn);
  if (!CreateMessageFileFor(dlg)) return "452 Cannot create file for your message\r\n";
  if (!EnginePort().Associate(dlg.MessageFile.Fd(), reinterpret_cast<uintptr_t>(conn)))
    return "452 Cannot create completion port for your message\r\n";
  int received = CountHeaderLines(dlg.Data.Header, "Received:");
  if (received >= kMaxReceivedLines) return "554 too many Received: headers\r\n";
  if (received == 0) QualifyReturnPath(dlg);
  BuildAddedLines(dlg, received);
  return nullptr;
}

// Starts the next write of the queue. None of them syncs: the message file
// is made durable with its recipient file, in the queueing group.
bool StartNextWrite(_Connection *conn) {
  _SmtpDialogue &dlg = Dlg(conn);
  auto [data, length] = dlg.WriteQueue[dlg.WriteIndex];
  dlg.Op = kOpFileWrite;
  return EnginePort().WriteFile(dlg.MessageFile.Fd(), data, length, dlg.FileOffset, false,
                                &dlg.FileOverlapped);
}

// Writes what the data left to write: on the first call the added lines
// and the header too, joined with the data so far into one write (each
// write is a round trip to the file threads; a small message is then one
// write in all) unless the header is large (a copy would hold it twice).
// At the end of the data there is always a last write, even of nothing:
// its completion moves the message on.
void WriteMessageData(_Connection *conn) {
  _SmtpDialogue &dlg = Dlg(conn);
  _SmtpData &data = dlg.Data;
  dlg.WriteQueue.clear();
  dlg.WriteIndex = 0;
  if (dlg.FileOffset == 0) {
    std::string &head = dlg.AddedLines;
    if (data.Header.size() <= kJoinedHeaderBytes) {
      head += data.Header;
      head.append(data.Buffer.get(), data.Used);
      dlg.WriteQueue.emplace_back(head.data(), head.size());
    } else {
      dlg.WriteQueue.emplace_back(head.data(), head.size());
      dlg.WriteQueue.emplace_back(data.Header.data(), data.Header.size());
      dlg.WriteQueue.emplace_back(data.Buffer.get(), data.Used);
    }
  } else if (data.Used > 0 || data.bEnded) {
    dlg.WriteQueue.emplace_back(data.Buffer.get(), data.Used);
  }
  if (!StartNextWrite(conn)) FinishRefused(conn, "452 Cannot write to message file\r\n");
}

// ---- queueing: the recipient file, off the workers

}  // namespace

void RecipientLines(const _SmtpDialogue &dlg, TextFile &f) {
  f.Printf("Message-ID: %s\n", dlg.MessageId.c_str());
  if (dlg.b8Bit) f.Write("Body-8Bit: TRUE\n");
  if (dlg.bJunk) f.Write("Junk: TRUE\n");
  f.Printf("Return-path: %s\n", dlg.ReturnPath.c_str());
  for (auto r = dlg.Recipients.rbegin(); r != dlg.Recipients.rend(); ++r)
    f.Printf("Recipient: %s\n", r->Address.c_str());
}

namespace {

// One message being queued: its recipient file, written under a temporary
// name, then (once it and the message file are durable) named; failure is
// the refusal's reply, or null.
struct QueueJob {
  _Connection *conn = nullptr;
  DurableFile file;
  bool named = false;
  const char *failure = nullptr;
};

// Writes the recipient file whole under a temporary name, still open for
// the group's sync.
const char *PrepareRecipientFile(const _SmtpDialogue &dlg, DurableFile &f) {
  std::string name = RecipientFileName(dlg.MessageFileName);
  if (name.empty()) return "452 Cannot create recipients file name\r\n";
  if (!f.Create(name, kRecipientTempPrefix, kSpoolFileMode)) return "452 Cannot create recipients file\r\n";
  RecipientLines(dlg, f.Stream());
  if (!f.Stream().Flush()) return "452 I/O error writing recipient information\r\n";
  return nullptr;
}

// The first barrier of the group: every message file and recipient file
// on disk, with one sync for all of them when there are several.
void SyncGroupFiles(std::vector<std::unique_ptr<QueueJob>> &jobs) {
  std::vector<int> fds;
  for (auto &job : jobs) {
    if (job->failure != nullptr) continue;
    fds.push_back(Dlg(job->conn).MessageFile.Fd());
    fds.push_back(job->file.Stream().Fd());
  }
  if (SyncTogether(fds)) return;
  LogWin32Error(EVENTLOG_ERROR_TYPE, "FlushFileBuffers (queued messages)", GetLastError());
  for (auto &job : jobs)
    if (job->failure == nullptr) job->failure = "452 Cannot write message to disk\r\n";
}

// The signatures go on top of the text, before the group's sync.
const char *SignMessage(_SmtpDialogue &dlg) {
  if (!DkimSigning || !(dlg.bAuthenticated || (dlg.bRelayClient && SignRelayClients)))
    return nullptr;
  std::vector<std::string> values;
  std::string domain, why, error;
  if (!DkimSignForDomain(StoredMessage(dlg), dlg.ReturnPath, IsLocalMailDomain, &values, &domain,
                         &why))
    LogEvent(EVENTLOG_WARNING_TYPE, MSG_DKIM_NOT_SIGNED, LogSafeText(domain).c_str(),
             LogSafeText(why).c_str());
  if (values.empty()) return nullptr;
  MilterEdits edits = DkimSignatureEdits(std::move(values));
  bool writeFailed = false;
  if (ReplaceMessageText(dlg, {edits}, &writeFailed, &error)) return nullptr;
  if (writeFailed) return "452 Cannot write message to disk\r\n";
  LogEvent(EVENTLOG_WARNING_TYPE, MSG_DKIM_NOT_SIGNED, LogSafeText(domain).c_str(),
           LogSafeText(error).c_str());
  return nullptr;
}

// Durable now, the message file gets its name (never over another's) and
// the recipient file is closed for its rename.
void NameMessageFile(QueueJob &job) {
  _SmtpDialogue &dlg = Dlg(job.conn);
  if (!dlg.MessageFile.Link(dlg.MessageFileName)) {
    job.failure = "452 Cannot create file for your message\r\n";
    return;
  }
  dlg.bMessageFileNamed = true;
  if (!dlg.MessageFile.Close()) job.failure = "452 Error closing message file\r\n";
  else if (!job.file.Stream().Close()) job.failure = "452 I/O error writing recipient information\r\n";
}

// The second barrier: the recipient files of the group get their names
// under one directory lock, and one sync of the directory makes them and
// the message files' names durable together. Each job's failure says how
// it went; a job is answered only after that sync.
void NameRecipientFiles(std::vector<std::unique_ptr<QueueJob>> &jobs) {
  DirLock lock;
  if (!lock.Lock(MailQueueDirectory.c_str(), kRecipientLockMs)) {
    for (auto &job : jobs)
      if (job->failure == nullptr) job->failure = "452 Cannot lock directory for recipients file\r\n";
    return;
  }
  // Never over a recipient file already there: that one queues another
  // message whose identifier this one must not take over.
  for (auto &job : jobs) {
    if (job->failure != nullptr) continue;
    job->named = job->file.Rename(true);
    if (!job->named) job->failure = "452 Cannot create recipients file\r\n";
  }
  lock.Unlock();
  if (SyncDirectory(MailQueueDirectory)) return;
  for (auto &job : jobs) {
    if (!job->named) continue;
    DeleteFile(job->file.FinalPath());
    job->failure = "452 I/O error writing recipient information\r\n";
  }
}

std::string InlogTime() {
  static const char *const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                        "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  time_t now = time(nullptr);
  struct tm tm {};
  localtime_r(&now, &tm);
  char buf[64];
  snprintf(buf, sizeof buf, "[%02d/%s/%d:%02d:%02d:%02d] ", tm.tm_mday, kMonths[tm.tm_mon % 12],
           tm.tm_year + 1900, tm.tm_hour, tm.tm_min, tm.tm_sec);
  return buf;
}

void WriteInlogLine(_Connection *conn) {
  _SmtpDialogue &dlg = Dlg(conn);
  std::string line = dlg.MessageId + " " + InlogTime() + dlg.PeerAddress + " " +
                     LogSafeText(dlg.HeloName) + " " +
                     (dlg.ReturnPath.empty() ? "-" : LogSafeText(dlg.ReturnPath));
  for (auto r = dlg.Recipients.rbegin(); r != dlg.Recipients.rend(); ++r)
    line += " " + LogSafeText(r->Address);
  CutText(line, kMaxInlogLine - 1);
  line += "\n";
  LogTransactionToFile(MailInlogEnabled, MailInlogDirectory,
                       [&](TextFile &f) { f.Write(line); });
}

// The reply to a job, once its files are durable or have failed.
void FinishQueueing(QueueJob &job) {
  _SmtpDialogue &dlg = Dlg(job.conn);
  if (job.failure == nullptr) {
    dlg.Reply = "250 Message received OK\r\n";
    WriteInlogLine(job.conn);
    dlg.bMessageFileNamed = false;   // queued: the reset must keep the file
  } else {
    job.file.Discard();   // before the client hears of the refusal
    dlg.Reply = job.failure;
  }
  EnginePort().Post(0, reinterpret_cast<uintptr_t>(job.conn), &dlg.FileOverlapped);
}

// Connections waiting for work off the network's workers, and the threads
// that take them: the disk threads (recipient files, whose syncs must never
// hold up a worker) and the check threads (DNS answers).
struct ConnectionQueue {
  std::mutex Lock;
  std::condition_variable Ready;
  std::deque<_Connection *> Jobs;
};

// Up to max connections, waiting for the first.
std::vector<_Connection *> TakeJobs(ConnectionQueue &q, size_t max) {
  std::vector<_Connection *> taken;
  std::unique_lock<std::mutex> lock(q.Lock);
  q.Ready.wait(lock, [&q] { return !q.Jobs.empty(); });
  while (!q.Jobs.empty() && taken.size() < max) {
    taken.push_back(q.Jobs.front());
    q.Jobs.pop_front();
  }
  return taken;
}

void PushJob(ConnectionQueue &q, _Connection *conn) {
  {
    std::lock_guard<std::mutex> lock(q.Lock);
    q.Jobs.push_back(conn);
  }
  q.Ready.notify_one();
}

// Threads that run work(queue) for ever; the queue is made once.
template <typename Work>
ConnectionQueue &StartPool(unsigned threads, Work work) {
  auto *q = new ConnectionQueue;
  for (unsigned i = 0; i < threads; ++i) {
    std::thread([q, work] {
      for (;;) work(*q);
    }).detach();
  }
  return *q;
}

// Each disk thread takes every message waiting (up to kQueueBatch) as one
// group: what arrives while a group syncs forms the next.
void QueueBatch(ConnectionQueue &q) {
  std::vector<std::unique_ptr<QueueJob>> jobs;
  for (_Connection *conn : TakeJobs(q, kQueueBatch)) {
    jobs.push_back(std::make_unique<QueueJob>());
    jobs.back()->conn = conn;
  }
  for (auto &job : jobs) {
    job->failure = SignMessage(Dlg(job->conn));
    if (job->failure == nullptr) job->failure = PrepareRecipientFile(Dlg(job->conn), job->file);
  }
  // Data before names: a crash leaves no named file that is not whole.
  SyncGroupFiles(jobs);
  for (auto &job : jobs)
    if (job->failure == nullptr) NameMessageFile(*job);
  NameRecipientFiles(jobs);
  for (auto &job : jobs) FinishQueueing(*job);
}

void StartQueueing(_Connection *conn) {
  Dlg(conn).Op = kOpQueued;
  static ConnectionQueue &queue = StartPool(kDiskThreads, QueueBatch);
  PushJob(queue, conn);
}

// ---- the checks of arriving mail

// Mail from other servers is checked; a relay client's and a logged-on
// user's is our own, and submission carries only that.
bool ChecksArrival(const _SmtpDialogue &dlg) {
  return dlg.ListenerKind == kListenerSmtp && !dlg.bRelayClient && !dlg.bAuthenticated;
}

// The aggregate reports' record of the message (common/dmarcjournal): an
// append, never a reason to hold or refuse mail. Only the first failure is
// logged, so a full disk does not flood the log with one event per message.
void RecordEvaluation(const ArrivalChecks &checks, const ArrivalClient &client,
                      ArrivalVerdict verdict) {
  DmarcEvaluation evaluation;
  if (!DmarcEvaluationOf(checks, client, verdict, NowSeconds(), &evaluation)) return;
  if (AppendDmarcRecord(SpoolPath(kDmarcJournalDir), evaluation)) return;
  static std::atomic<bool> logged{false};
  if (logged.exchange(true)) return;
  std::string error = std::to_string(GetLastError());
  LogEvent(EVENTLOG_WARNING_TYPE, MSG_DMARC_NOT_RECORDED, SpoolPath(kDmarcJournalDir).c_str(),
           error.c_str());
}

// The checks, their field and the verdict; a refusal's reply in dlg.Reply.
// A message that cannot be read or rewritten goes on unchecked (as before
// the checks existed), but a disk that fails is the message's "452".
void CheckMessage(_SmtpDialogue &dlg) {
  ArrivalClient client{dlg.PeerAddress, dlg.bIPv6Peer, dlg.HeloName, dlg.ReturnPath};
  AuthDnsLookup lookup = NameServerDnsLookup(CheckNameServers);
  ArrivalChecks checks;
  std::string why;
  MilterEdits edits;
  if (!CheckArrival(StoredMessage(dlg), client, lookup, &checks, &why) ||
      !AuthResultsEdits(StoredMessage(dlg), dlg.LocalHostName,
                        AuthResultsValue(dlg.LocalHostName, checks), &edits, &why))
    return;
  ArrivalVerdict verdict = DecideArrival(checks, DmarcReject);
  if (DmarcReports) RecordEvaluation(checks, client, verdict);
  dlg.Reply = ArrivalReply(verdict, checks);
  if (!dlg.Reply.empty()) return;
  dlg.bJunk = verdict == ArrivalVerdict::kJunk;
  bool writeFailed = false;
  if (!ReplaceMessageText(dlg, {edits}, &writeFailed, &why) && writeFailed)
    dlg.Reply = "452 Cannot write message to disk\r\n";
}

// DNS waits, not the processor, bound the checks: enough threads that a
// few slow domains do not hold up the rest.
constexpr unsigned kCheckThreads = 8;

void CheckOne(ConnectionQueue &q) {
  for (_Connection *conn : TakeJobs(q, 1)) {
    _SmtpDialogue &dlg = Dlg(conn);
    dlg.Reply.clear();
    CheckMessage(dlg);
    EnginePort().Post(0, reinterpret_cast<uintptr_t>(conn), &dlg.FileOverlapped);
  }
}

// True when the checks took the message over: their completion (kOpChecked)
// moves it on.
bool StartArrivalChecks(_Connection *conn) {
  _SmtpDialogue &dlg = Dlg(conn);
  if (!ChecksArrival(dlg)) return false;
  EnginePort().Dissociate(dlg.MessageFile.Fd());
  dlg.Op = kOpChecked;
  static ConnectionQueue &queue = StartPool(kCheckThreads, CheckOne);
  PushJob(queue, conn);
  return true;
}

// A refused message: its file goes at once, the rest of the data is read
// and dropped, and the refusal answers the end of the data.
void FinishRefused(_Connection *conn, const char *reply) {
  _SmtpDialogue &dlg = Dlg(conn);
  RefuseData(dlg.Data, reply);
  DropMessageFile(dlg);
  if (!dlg.Data.bEnded) {
    StartDataRead(conn);
    return;
  }
  std::string answer = dlg.Data.Refusal;
  ResetTransaction(dlg);
  SendReply(conn, answer);
}

}  // namespace

bool HeaderPresent(const std::string &header, const char *name) {
  size_t n = strlen(name);
  if (StartsWithNoCase(header, name)) return true;
  for (size_t nl = header.find('\n'); nl != std::string::npos; nl = header.find('\n', nl + 1))
    if (StartsWithNoCase(std::string_view(header).substr(nl + 1), std::string_view(name, n)))
      return true;
  return false;
}

int CountHeaderLines(const std::string &header, const char *name) {
  int count = StartsWithNoCase(header, name) ? 1 : 0;
  for (size_t nl = header.find('\n'); nl != std::string::npos; nl = header.find('\n', nl + 1))
    if (StartsWithNoCase(std::string_view(header).substr(nl + 1), name)) ++count;
  return count;
}

// The acceptance pipeline, one step per completion: data in, header held,
// file opened, buffers written, file closed, recipient file, reply.
void MessageDataBytes(_Connection *conn, DWORD bytes) {
  _SmtpDialogue &dlg = Dlg(conn);
  _SmtpData &data = dlg.Data;
  size_t consumed = 0;
  bool wasHeaderDone = data.bHeaderDone;
  TakeDataBytes(data, data.ReadBuffer.get(), bytes, MaxMessageSize, &consumed);
  // 8-bit text is marked so even when MAIL did not declare it.
  if (data.bEightBit) dlg.b8Bit = true;
  // What follows the end marker is the start of the next command.
  if (consumed < bytes) dlg.Pending.insert(0, data.ReadBuffer.get() + consumed, bytes - consumed);
  if (data.Refusal != nullptr) return FinishRefused(conn, data.Refusal);
  if (!data.bHeaderDone) return StartDataRead(conn);
  if (!wasHeaderDone) {
    if (const char *refusal = OpenMessageFile(conn)) return FinishRefused(conn, refusal);
    return WriteMessageData(conn);
  }
  if (data.bEnded || DataReadRoom(data) < kDataReadSize) return WriteMessageData(conn);
  StartDataRead(conn);
}

void MessageFileCompletion(_Connection *conn, DWORD bytes, bool ok) {
  _SmtpDialogue &dlg = Dlg(conn);
  if (dlg.Op == kOpChecked && dlg.Reply.empty()) {
    if (!FilterMessage(conn)) CommitMessageFile(conn);
    return;
  }
  if (dlg.Op == kOpQueued || dlg.Op == kOpChecked) {
    std::string reply = dlg.Reply;
    if (reply.compare(0, 4, "250 ") == 0) MessageAccepted(dlg);
    ResetTransaction(dlg);
    SendReply(conn, reply);
    return;
  }
  if (!ok) return FinishRefused(conn, "452 Cannot write message to disk\r\n");
  dlg.FileOffset += bytes;
  if (++dlg.WriteIndex < dlg.WriteQueue.size()) {
    if (!StartNextWrite(conn)) FinishRefused(conn, "452 Cannot write to message file\r\n");
    return;
  }
  // The head is in the file: the held header goes back to the budget.
  if (!dlg.Data.Header.empty()) {
    std::string().swap(dlg.AddedLines);
    DropHeldHeader(dlg.Data);
  }
  dlg.Data.Used = 0;
  if (!dlg.Data.bEnded) return StartDataRead(conn);
  if (StartArrivalChecks(conn)) return;
  if (!FilterMessage(conn)) CommitMessageFile(conn);
}

void CommitMessageFile(_Connection *conn) {
  _SmtpDialogue &dlg = Dlg(conn);
  // Whole: the disk threads sync it, name it and queue it.
  EnginePort().Dissociate(dlg.MessageFile.Fd());
  dlg.State = kStateFileWritten;
  StartQueueing(conn);
}

MessageSource StoredMessage(const _SmtpDialogue &dlg) {
  return MessageSource{{}, dlg.MessageFile.Fd(), 0, static_cast<uint64_t>(dlg.FileOffset)};
}

// A changed text up to this size is built in memory and written over the
// message file, which nobody sees before it is named: creating a second
// spool file costs more than the checks that asked for the change.
constexpr uint64_t kRewriteInPlaceBytes = 256 * 1024;

bool ReplaceMessageText(_SmtpDialogue &dlg, const std::vector<MilterEdits> &edits,
                        bool *writeFailed, std::string *error) {
  *writeFailed = false;
  if (static_cast<uint64_t>(dlg.FileOffset) < kRewriteInPlaceBytes) {
    std::string text;
    bool tooLarge = false;
    auto collect = [&](std::string_view piece) {
      tooLarge = text.size() + piece.size() > kRewriteInPlaceBytes;
      if (!tooLarge) text.append(piece);
      return !tooLarge;
    };
    if (ApplyMilterEdits(StoredMessage(dlg), edits, collect, error)) {
      if (!RewriteWholeFile(dlg.MessageFile.Fd(), text)) return *writeFailed = true, false;
      // A filter's new text may bring 8-bit bytes the client's did not have.
      if (HasEightBitByte(text)) dlg.b8Bit = true;
      dlg.FileOffset = static_cast<off_t>(text.size());
      return true;
    }
    if (!tooLarge) return false;
    error->clear();   // grown past the bound: through a new file below
  }
  UnnamedFile changed;
  if (!changed.Create(MailQueueDirectory, kMessageTempPrefix, kSpoolFileMode))
    return *writeFailed = true, false;
  off_t written = 0;
  auto sink = [&](std::string_view piece) {
    // A filter's new text may bring 8-bit bytes the client's did not have.
    if (HasEightBitByte(piece)) dlg.b8Bit = true;
    *writeFailed = !WriteWholeFile(changed.Fd(), piece);
    written += static_cast<off_t>(piece.size());
    return !*writeFailed;
  };
  if (!ApplyMilterEdits(StoredMessage(dlg), edits, sink, error)) return false;
  EnginePort().Dissociate(dlg.MessageFile.Fd());
  dlg.MessageFile.Swap(changed);
  dlg.FileOffset = written;
  return true;
}

void DiscardMessage(_SmtpDialogue &dlg) {
  EndData(dlg.Data);
  dlg.AddedLines.clear();
  dlg.WriteQueue.clear();
  dlg.WriteIndex = 0;
  DropMessageFile(dlg);
  dlg.MessageId.clear();
}
