// msgaccept: see msgaccept.h.
#include "ZELRECV/msgaccept.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <stdio.h>
#include <time.h>
#include <unistd.h>

#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>

#include "ZELRECV/recvcfg.h"
#include "common/logging.h"
#include "common/rfc822parse.h"
#include "common/service.h"
#include "common/smtputil.h"
#include "common/str.h"
#include "common/zel.h"
#include "platform/files.h"
#include "platform/textfile.h"
#include "zelbase/zelbase.h"

namespace {

// The data chain grows by doubling from 4 KiB up to 64 KiB a buffer.
constexpr size_t kFirstDataBuffer = 4096;
constexpr size_t kMaxDataBuffer = 65536;
constexpr int kMessageFileAttempts = 10;
constexpr size_t kMsgIdBufferSize = 64;
constexpr DWORD kMsgIdWaitMs = 1000;
constexpr int kRecipientLockMs = 20000;
constexpr int kMaxReceivedLines = 20;      // more hops than this is a loop
constexpr size_t kMaxAddedLines = 4096;
constexpr size_t kMaxInlogLine = 511;
constexpr unsigned kDiskThreads = 2;

_SmtpDialogue &Dlg(_Connection *conn) { return *static_cast<_SmtpDialogue *>(conn->Dialogue); }

// ---- the end marker

// Byte k of the stream, counted from the start of data; negative k reach
// back into the tail of earlier reads.
struct StreamView {
  const char *tail;
  size_t tailLength;
  const char *data;
  bool Has(long k) const { return k >= -static_cast<long>(tailLength); }
  char At(long k) const { return k >= 0 ? data[k] : tail[tailLength + k]; }
};

bool EndsMarker(const StreamView &v, long k) {
  // "\n.\n" (also the tail of "\r\n.\n") or "\r\n.\r\n", ending at k.
  if (v.Has(k - 2) && v.At(k - 1) == '.' && v.At(k - 2) == '\n') return true;
  return v.Has(k - 4) && v.At(k - 1) == '\r' && v.At(k - 2) == '.' && v.At(k - 3) == '\n' &&
         v.At(k - 4) == '\r';
}

void KeepTail(char *tail, size_t *tailLength, const char *data, size_t length) {
  char joined[8];
  size_t n = 0;
  for (size_t i = 0; i < *tailLength; ++i) joined[n++] = tail[i];
  size_t from = length > 4 ? length - 4 : 0;
  for (size_t i = from; i < length; ++i) joined[n++] = data[i];
  size_t keep = n > 4 ? 4 : n;
  memcpy(tail, joined + n - keep, keep);
  *tailLength = keep;
}

// ---- the chain

size_t ChainBytes(const _SmtpDialogue &dlg) {
  size_t n = 0;
  for (const _DataBuffer &b : dlg.Chain) n += b.Used - b.Start;
  return n;
}

bool AppendBuffer(_SmtpDialogue &dlg, size_t capacity) {
  _DataBuffer b;
  b.Data.reset(new (std::nothrow) char[capacity]);
  if (!b.Data) return false;
  b.Capacity = capacity;
  dlg.Chain.push_back(std::move(b));
  return true;
}

// The header block: up to and including the "\n" that ends its last line,
// the whole data when no blank line follows it. NUL bytes are left out.
void ConsolidateHeader(_SmtpDialogue &dlg) {
  dlg.Header.clear();
  char prev1 = 0, prev2 = 0;   // the two bytes before the current one
  size_t headerEnd = 0;        // bytes of the chain in the header
  size_t seen = 0;
  bool found = false;
  for (const _DataBuffer &b : dlg.Chain) {
    for (size_t i = b.Start; i < b.Used && !found; ++i, ++seen) {
      char c = b.Data[i];
      if (c == '\n' && prev1 == '\n') {
        headerEnd = seen;          // the first "\n" of "\n\n"
        found = true;
      } else if (c == '\n' && prev1 == '\r' && prev2 == '\n') {
        headerEnd = seen - 1;      // the "\n" of "\n\r\n"
        found = true;
      }
      prev2 = prev1;
      prev1 = c;
    }
    if (found) break;
  }
  if (!found) headerEnd = ChainBytes(dlg);
  size_t left = headerEnd;
  for (_DataBuffer &b : dlg.Chain) {
    size_t take = std::min(left, b.Used - b.Start);
    for (size_t i = 0; i < take; ++i)
      if (b.Data[b.Start + i] != '\0') dlg.Header.push_back(b.Data[b.Start + i]);
    b.Start += take;
    left -= take;
    if (left == 0) break;
  }
}

// ---- the message file

bool CreateMessageFileFor(_Connection *conn) {
  _SmtpDialogue &dlg = Dlg(conn);
  for (int attempt = 0; attempt < kMessageFileAttempts; ++attempt) {
    char id[kMsgIdBufferSize];
    if (!CreateUniqueMsgId(id, sizeof id, kMsgIdWaitMs)) continue;
    std::string name = MailQueueDirectory + "/" + id + ".MSG";
    int fd = CreateNewFile(name);
    if (fd < 0) continue;
    dlg.MessageFile = fd;
    dlg.MessageFileName = name;
    dlg.FileOffset = 0;
    dlg.MessageId = "<" + CreateMessageIdFromFileName(name, conn->LocalHostName, kMaxMessageIdText) + ">";
    return true;
  }
  return false;
}

bool IsDottedAddress(const std::string &s) {
  return !s.empty() && s.find_first_not_of("0123456789.") == std::string::npos;
}

void QualifyReturnPath(_Connection *conn) {
  _SmtpDialogue &dlg = Dlg(conn);
  if (dlg.ReturnPath.empty() || *SkipLocalAddressPart(dlg.ReturnPath.c_str()) != '\0') return;
  if (IsDottedAddress(conn->LocalHostName))
    dlg.ReturnPath += "@[" + conn->LocalHostName + "]";
  else
    dlg.ReturnPath += "@" + conn->LocalHostName;
}

void BuildAddedLines(_Connection *conn, int receivedLines) {
  _SmtpDialogue &dlg = Dlg(conn);
  std::string date = FormatHeaderDate(time(nullptr), true);
  std::string &a = dlg.AddedLines;
  a = "Received: from " + LogSafeText(dlg.HeloName) + " (unverified [" + conn->PeerAddress + "]) by " +
      conn->LocalHostName + "\r\n (TALVO ZELRECV " + ThisServiceVersion() + ") with SMTP id " +
      dlg.MessageId + ";\r\n " + date + "\r\n";
  if (!HeaderPresent(dlg.Header, "Date:") && receivedLines == 0) a += "Date: " + date + "\r\n";
  if (!HeaderPresent(dlg.Header, "Message-ID:")) a += "Message-ID: " + dlg.MessageId + "\r\n";
  CutText(a, kMaxAddedLines);
}

void Refuse(_Connection *conn, const char *reply) {
  ResetTransaction(Dlg(conn));
  SendReply(conn, reply);
}

bool StartNextWrite(_Connection *conn) {
  _SmtpDialogue &dlg = Dlg(conn);
  auto [data, length] = dlg.WriteQueue[dlg.WriteIndex];
  bool last = dlg.WriteIndex + 1 == dlg.WriteQueue.size();
  dlg.Op = kOpFileWrite;
  return EnginePort().WriteFile(dlg.MessageFile, data, length, dlg.FileOffset, last,
                                &dlg.FileOverlapped);
}

void QueueMessageWrites(_SmtpDialogue &dlg) {
  dlg.WriteQueue.clear();
  dlg.WriteIndex = 0;
  dlg.WriteQueue.emplace_back(dlg.AddedLines.data(), dlg.AddedLines.size());
  if (!dlg.Header.empty()) dlg.WriteQueue.emplace_back(dlg.Header.data(), dlg.Header.size());
  for (const _DataBuffer &b : dlg.Chain)
    if (b.Used > b.Start) dlg.WriteQueue.emplace_back(b.Data.get() + b.Start, b.Used - b.Start);
}

// ---- queueing: the recipient file, off the workers

void RecipientLines(const _SmtpDialogue &dlg, TextFile &f) {
  f.Printf("Message-ID: %s\n", dlg.MessageId.c_str());
  if (dlg.b8Bit) f.Write("Body-8Bit: TRUE\n");
  f.Printf("Return-path: %s\n", dlg.ReturnPath.c_str());
  for (auto r = dlg.Recipients.rbegin(); r != dlg.Recipients.rend(); ++r)
    f.Printf("Recipient: %s\n", r->Address.c_str());
}

std::string RecipientFileName(const std::string &messageFile) {
  size_t dot = messageFile.rfind('.');
  if (dot == std::string::npos || messageFile.find('/', dot) != std::string::npos) return "";
  return messageFile.substr(0, dot + 1) + "RCP";
}

// Writes the recipient file whole and durable under a temporary name, then
// gives it its name under the directory lock. The reply says how it went.
const char *WriteRecipientFile(const _SmtpDialogue &dlg) {
  std::string name = RecipientFileName(dlg.MessageFileName);
  if (name.empty()) return "452 Cannot create recipients file name\r\n";
  DurableFile f;
  if (!f.Create(name, kRecipientTempPrefix, kSpoolFileMode)) return "452 Cannot create recipients file\r\n";
  RecipientLines(dlg, f.Stream());
  if (!f.Commit()) return "452 I/O error writing recipient information\r\n";
  DirLock lock;
  if (!lock.Lock(MailQueueDirectory.c_str(), kRecipientLockMs))
    return "452 Cannot lock directory for recipients file\r\n";
  if (!f.Rename()) return "452 Cannot create recipients file\r\n";
  lock.Unlock();
  if (!SyncDirectory(MailQueueDirectory)) {
    DeleteFile(name);
    return "452 I/O error writing recipient information\r\n";
  }
  return nullptr;
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
  std::string line = dlg.MessageId + " " + InlogTime() + conn->PeerAddress + " " + LogSafeText(dlg.HeloName) +
                     " " + (dlg.ReturnPath.empty() ? "-" : dlg.ReturnPath);
  for (auto r = dlg.Recipients.rbegin(); r != dlg.Recipients.rend(); ++r) line += " " + r->Address;
  CutText(line, kMaxInlogLine - 1);
  line += "\n";
  LogTransactionToFile(MailInlogEnabled, MailInlogDirectory,
                       [&](TextFile &f) { f.Write(line); });
}

void QueueMessage(_Connection *conn) {
  _SmtpDialogue &dlg = Dlg(conn);
  const char *failure = WriteRecipientFile(dlg);
  if (failure == nullptr) {
    dlg.Reply = "250 Message received OK\r\n";
    WriteInlogLine(conn);
    dlg.MessageFileName.clear();   // queued: the reset must keep the file
  } else {
    dlg.Reply = failure;
  }
}

// A few threads that write recipient files, so that their syncs never hold
// up a worker of the network.
struct DiskQueue {
  std::mutex Lock;
  std::condition_variable Ready;
  std::deque<_Connection *> Jobs;
};

DiskQueue &TheDiskQueue() {
  static DiskQueue *queue = [] {
    auto *q = new DiskQueue;
    for (unsigned i = 0; i < kDiskThreads; ++i) {
      std::thread([q] {
        for (;;) {
          _Connection *conn;
          {
            std::unique_lock<std::mutex> lock(q->Lock);
            q->Ready.wait(lock, [q] { return !q->Jobs.empty(); });
            conn = q->Jobs.front();
            q->Jobs.pop_front();
          }
          QueueMessage(conn);
          _SmtpDialogue &dlg = Dlg(conn);
          EnginePort().Post(0, reinterpret_cast<uintptr_t>(conn), &dlg.FileOverlapped);
        }
      }).detach();
    }
    return q;
  }();
  return *queue;
}

void StartQueueing(_Connection *conn) {
  Dlg(conn).Op = kOpQueued;
  DiskQueue &q = TheDiskQueue();
  {
    std::lock_guard<std::mutex> lock(q.Lock);
    q.Jobs.push_back(conn);
  }
  q.Ready.notify_one();
}

}  // namespace

bool FindEndOfData(char *tail, size_t *tailLength, const char *data, size_t length,
                   size_t *endOffset) {
  StreamView v{tail, *tailLength, data};
  const char *p = data;
  while (const void *nl = memchr(p, '\n', length - (p - data))) {
    long k = static_cast<const char *>(nl) - data;
    if (EndsMarker(v, k)) {
      *endOffset = static_cast<size_t>(k) + 1;
      KeepTail(tail, tailLength, data, *endOffset);
      return true;
    }
    p = static_cast<const char *>(nl) + 1;
  }
  KeepTail(tail, tailLength, data, length);
  return false;
}

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

bool DataReadBuffer(_SmtpDialogue &dlg, char **buffer, size_t *room) {
  if (dlg.Chain.empty()) {
    if (!AppendBuffer(dlg, kFirstDataBuffer)) return false;
  } else if (dlg.Chain.back().Used == dlg.Chain.back().Capacity) {
    if (!AppendBuffer(dlg, std::min(dlg.Chain.back().Capacity * 2, kMaxDataBuffer))) return false;
  }
  _DataBuffer &b = dlg.Chain.back();
  *buffer = b.Data.get() + b.Used;
  *room = b.Capacity - b.Used;
  return true;
}

bool DataBytes(_Connection *conn, DWORD bytes) {
  _SmtpDialogue &dlg = Dlg(conn);
  _DataBuffer &b = dlg.Chain.back();
  const char *fresh = b.Data.get() + b.Used;
  b.Used += bytes;
  size_t end = 0;
  bool ended = FindEndOfData(dlg.Tail, &dlg.TailLength, fresh, bytes, &end);
  if (ended) {
    // What follows the end marker is the start of the next command.
    dlg.Pending.insert(0, fresh + end, bytes - end);
    b.Used -= bytes - end;
  }
  dlg.DataBytes += ended ? end : bytes;
  if (MaxMessageSize != 0 && dlg.DataBytes > MaxMessageSize) dlg.bTooBig = true;
  if (dlg.bTooBig) {
    // Read on to the end, storing nothing: one buffer is reused.
    dlg.Chain.erase(dlg.Chain.begin(), dlg.Chain.end() - 1);
    dlg.Chain.back().Start = dlg.Chain.back().Used = 0;
  }
  return ended;
}

void AcceptMessage(_Connection *conn) {
  _SmtpDialogue &dlg = Dlg(conn);
  if (dlg.bTooBig) return Refuse(conn, "552 Message exceeds fixed maximum message size\r\n");
  if (dlg.Chain.empty() || dlg.Chain.front().Used == dlg.Chain.front().Start)
    return Refuse(conn, "554 Message is empty\r\n");
  if (!CreateMessageFileFor(conn)) return Refuse(conn, "452 Cannot create file for your message\r\n");
  if (!EnginePort().Associate(dlg.MessageFile, reinterpret_cast<uintptr_t>(conn)))
    return Refuse(conn, "452 Cannot create completion port for your message\r\n");
  ConsolidateHeader(dlg);
  if (dlg.Header.empty() && ChainBytes(dlg) == 0)
    return Refuse(conn, "554 Message headers cannot be consolidated\r\n");
  int received = CountHeaderLines(dlg.Header, "Received:");
  if (received >= kMaxReceivedLines) return Refuse(conn, "554 too many Received: headers\r\n");
  if (received == 0) QualifyReturnPath(conn);
  BuildAddedLines(conn, received);
  dlg.Reply.clear();
  dlg.State = kStateFileWritten;
  QueueMessageWrites(dlg);
  if (!StartNextWrite(conn)) Refuse(conn, "452 Cannot write to message file\r\n");
}

void MessageFileCompletion(_Connection *conn, DWORD bytes, bool ok) {
  _SmtpDialogue &dlg = Dlg(conn);
  if (dlg.Op == kOpQueued) {
    std::string reply = dlg.Reply;
    ResetTransaction(dlg);
    SendReply(conn, reply);
    return;
  }
  if (!ok) return Refuse(conn, "452 Cannot write message to disk\r\n");
  dlg.FileOffset += bytes;
  if (++dlg.WriteIndex < dlg.WriteQueue.size()) {
    if (!StartNextWrite(conn)) Refuse(conn, "452 Cannot write to message file\r\n");
    return;
  }
  int fd = dlg.MessageFile;
  dlg.MessageFile = -1;
  EnginePort().Dissociate(fd);
  if (close(fd) != 0) return Refuse(conn, "452 Error closing message file\r\n");
  StartQueueing(conn);
}

void DiscardMessage(_SmtpDialogue &dlg) {
  dlg.Chain.clear();
  dlg.DataBytes = 0;
  dlg.bTooBig = false;
  // A virtual line end before the data: a first line of "." ends it.
  memcpy(dlg.Tail, "\r\n", 2);
  dlg.TailLength = 2;
  dlg.Header.clear();
  dlg.AddedLines.clear();
  dlg.WriteQueue.clear();
  dlg.WriteIndex = 0;
  if (dlg.MessageFile >= 0) {
    EnginePort().Dissociate(dlg.MessageFile);
    close(dlg.MessageFile);
    dlg.MessageFile = -1;
  }
  if (!dlg.MessageFileName.empty()) {
    DeleteFile(dlg.MessageFileName);
    dlg.MessageFileName.clear();
  }
  dlg.MessageId.clear();
}
