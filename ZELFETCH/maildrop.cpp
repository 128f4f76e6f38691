// maildrop: see maildrop.h.
#include "ZELFETCH/maildrop.h"

#include <errno.h>
#include <string.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <climits>
#include <condition_variable>
#include <memory>
#include <mutex>

#include "ZELFETCH/fetchcfg.h"
#include "ZELFETCH/mbxsec.h"
#include "ZELFETCH/pop3ext.h"
#include "common/fileutils.h"
#include "common/logging.h"
#include "common/logonlog.h"
#include "common/netcode.h"
#include "common/sasl.h"
#include "common/str.h"
#include "common/zel.h"
#include "net/mailproxy.h"
#include "platform/files.h"
#include "platform/fileview.h"
#include "platform/mailboxdir.h"
#include "platform/thread.h"

namespace {

// Enough to see every ending form of a range: "\r\n.\r\n".
constexpr size_t kEndProbe = 5;
// QUIT deletes on one more thread for each this many files, up to the most
// per QUIT and in all (many QUITs at once share kMaxDeletionHelpersInAll).
constexpr size_t kFilesPerDeletionHelper = 64;
constexpr size_t kMaxDeletionHelpers = 7;
constexpr unsigned kMaxDeletionHelpersInAll = 32;
constexpr size_t kDeletionHelperStack = 64 * 1024;

std::atomic<unsigned> DeletionHelpersRunning{0};

std::string Num(long long n) { return std::to_string(n); }

// Sends the reply built so far in the transaction state.
void Answer(_Connection *conn, std::string reply) {
  SendReply(conn, std::move(reply), kStateTransReply);
}

// Message n for RETR, TOP and DELE; null with the reply set when there is
// none to use.
_MessageEntry *FindMessage(_Pop3Dialogue &dlg, int n) {
  if (n < 1 || n > dlg.NumberOfMessages) {
    dlg.Reply = "-ERR no such message\r\n";
    return nullptr;
  }
  if (static_cast<size_t>(n) > dlg.Maildrop.size()) {
    dlg.Reply = "-ERR message " + Num(n) + " not available\r\n";
    return nullptr;
  }
  _MessageEntry &e = dlg.Maildrop[static_cast<size_t>(n) - 1];
  if (e.bDeleted) {
    dlg.Reply = "-ERR message " + Num(n) + " has been deleted\r\n";
    return nullptr;
  }
  dlg.HighestAccessed = std::max(dlg.HighestAccessed, n);
  return &e;
}

// Message n for LIST and UIDL with an argument.
_MessageEntry *ListedMessage(_Pop3Dialogue &dlg, int n) {
  if (n < 1 || n > dlg.NumberOfMessages || static_cast<size_t>(n) > dlg.Maildrop.size()) {
    dlg.Reply = "-ERR no such message, only " + Num(dlg.NumberOfMessages) +
                " messages in mailbox\r\n";
    return nullptr;
  }
  _MessageEntry &e = dlg.Maildrop[static_cast<size_t>(n) - 1];
  if (e.bDeleted) {
    dlg.Reply = "-ERR message " + Num(n) + " has been deleted\r\n";
    return nullptr;
  }
  return &e;
}

// ---- sending a message

// Sends the reply line, the open file's text of size bytes (for TOP, when
// lines >= 0, its header and that many lines more) and the end line in one
// write: a message up to kInMemoryMessageBytes is read whole, which costs
// fewer calls than a transmission. Failures send an error reply.
void SendFromMemory(_Connection *conn, uint64_t size, long long lines) {
  _Pop3Dialogue &dlg = PopDlg(conn);
  std::string text = dlg.Reply;
  size_t head = text.size();
  text.resize(head + static_cast<size_t>(size));
  size_t got = 0;
  bool read = ReadFileAt(dlg.OpenFile.Get(), text.data() + head, size, 0, &got);
  long error = read ? EIO : GetLastError();
  dlg.OpenFile.Reset();
  if (!read || got != size) {
    // A file that shrank since it was opened would give less than counted.
    Answer(conn, "-ERR ReadFile failed (" + Num(error) + ")\r\n");
    return;
  }
  std::string_view body = std::string_view(text).substr(head);
  uint64_t count = lines >= 0 ? TopByteCount(body, lines) : size;
  _TransmitEnd end = ChooseTerminator(body.substr(0, count), count);
  text.resize(head + end.Count);
  text += end.Terminator;
  SendMultiLine(conn, std::move(text), kStateTransReply);
}

// Sends the reply line, the first count bytes of the open file (of size
// bytes) and the end line as one transmission: the file goes by sendfile,
// corked between the two lines. Failures send an error reply.
void Transmit(_Connection *conn, uint64_t size, uint64_t count) {
  _Pop3Dialogue &dlg = PopDlg(conn);
  int fd = dlg.OpenFile.Get();
  uint64_t bytes = std::min(count, size);
  char last[kEndProbe];
  size_t want = static_cast<size_t>(std::min<uint64_t>(kEndProbe, bytes));
  size_t got = 0;
  if (!ReadFileAt(fd, last, want, static_cast<off_t>(bytes - want), &got) || got != want) {
    long error = got != want ? EIO : GetLastError();
    dlg.OpenFile.Reset();
    Answer(conn, "-ERR ReadFile failed (" + Num(error) + ")\r\n");
    return;
  }
  _TransmitEnd end = ChooseTerminator(std::string_view(last, got), bytes);
  dlg.Terminator = end.Terminator;
  dlg.State = kStateTransReply;
  dlg.IoPhase = kPhaseSend;
  if (TrySocketTransmit(conn, fd, 0, static_cast<size_t>(end.Count), dlg.Reply, dlg.Terminator))
    return;
  long error = GetLastError();
  dlg.OpenFile.Reset();
  Answer(conn, "-ERR TransmitFile failed (" + Num(error) + ")\r\n");
}

// ---- logon

// The command a logon came by, for its failure texts.
const char *LogonCommand(const _Pop3Dialogue &dlg) { return dlg.bSaslLogon ? "AUTH" : "PASS"; }

std::string LogonFailure(const _Pop3Dialogue &dlg, long error, int point) {
  return "-ERR " + dlg.UserName + " logon failed (" + Num(error) + ") at point " + Num(point) +
         " in " + LogonCommand(dlg) + "\r\n";
}

// No session could be started for a right password: a temporary failure,
// as RFC 3206 names it.
std::string SessionFailure(const _Pop3Dialogue &dlg, long error) {
  return "-ERR [SYS/TEMP] " + dlg.UserName + " logon failed (" + Num(error) + ") at point 6 in " +
         LogonCommand(dlg) + "\r\n";
}

// The event of a failed logon. An unknown name gets the reply of a wrong
// password; only the event (for the administrator) tells them apart.
void ReportLogonFailure(_Connection *conn, const LogonJob &job) {
  ReportLogonRefusal("pop3", job, conn->PeerAddress, PopDlg(conn).UserName);
}

// The front writes the activity log lines of its sessions: one line of
// printable text each, as the session (the user's process) gave it.
void WriteSessionLogLine(std::string_view line) {
  std::string text(line.substr(0, line.find('\n')));
  for (char &c : text)
    if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) > 0x7E) c = '?';
  WritePop3LogText(text + "\n");
}

LogonPool &FetchLogonPool() {
  // Never destroyed: its threads are not joined at exit, like the engine's.
  static LogonPool *pool = new LogonPool;
  return *pool;
}

// ---- listings

// A listing: the first line, the lines, the end line, sent whole.
void SendListing(_Connection *conn, std::string first, const std::string &body) {
  first += body;
  first += ".\r\n";
  SendMultiLine(conn, std::move(first), kStateTransReply);
}

int NumberArgument(const std::string &arg) { return ParseMessageNumber(arg, kMaxNumberText); }

// ---- QUIT's deletions

// The files marked deleted go on several threads at once when there are
// many: on a file system that discards freed blocks as it frees them, each
// unlink waits for the disk, and waits side by side overlap (eight threads
// remove a thousand files in about a quarter of the time one takes). The
// worker takes part and returns only when every file has been tried; a
// helper that cannot be started leaves its share to the others (the
// session process runs as the user, so every thread of it acts as the
// user). A file that cannot go stays, and is served again at the next
// logon; the count of those that went (or were gone already) is returned.
struct DeletionShare {
  std::vector<const std::string *> Names;
  int DirFd = -1;
  std::atomic<size_t> Next{0};
  std::atomic<size_t> Removed{0};
  std::mutex Lock;
  std::condition_variable Done;
  unsigned Running = 0;   // helpers that have not finished, under Lock

  void DeleteUntilNoneLeft() {
    for (size_t i; (i = Next.fetch_add(1)) < Names.size();) {
      if (DeleteFileAt(DirFd, *Names[i]) || GetLastError() == ENOENT) Removed.fetch_add(1);
    }
  }
};

size_t DeleteMarkedFiles(_Pop3Dialogue &dlg, const std::vector<const std::string *> &marked) {
  auto share = std::make_shared<DeletionShare>();
  share->Names = marked;
  share->DirFd = dlg.MailboxFd.Get();
  size_t helpers = std::min(kMaxDeletionHelpers, marked.size() / kFilesPerDeletionHelper);
  for (size_t i = 0; i < helpers; ++i) {
    if (DeletionHelpersRunning.fetch_add(1) >= kMaxDeletionHelpersInAll) {
      DeletionHelpersRunning.fetch_sub(1);
      break;
    }
    {
      std::lock_guard<std::mutex> guard(share->Lock);
      ++share->Running;
    }
    auto body = [share] {
      share->DeleteUntilNoneLeft();
      DeletionHelpersRunning.fetch_sub(1);
      std::lock_guard<std::mutex> guard(share->Lock);
      if (--share->Running == 0) share->Done.notify_all();
    };
    if (!StartThread(body, kDeletionHelperStack)) {
      DeletionHelpersRunning.fetch_sub(1);
      std::lock_guard<std::mutex> guard(share->Lock);
      --share->Running;
      break;
    }
  }
  share->DeleteUntilNoneLeft();
  std::unique_lock<std::mutex> guard(share->Lock);
  share->Done.wait(guard, [&] { return share->Running == 0; });
  return share->Removed.load();
}

}  // namespace

bool ReadMaildrop(_Pop3Dialogue &dlg) {
  std::vector<DirectoryFile> files;
  bool more = false;
  if (!ListDirectoryFiles(dlg.MailboxFd.Get(), "." + MessageExtension, kMaxMaildropMessages,
                          files, &more))
    return false;
  dlg.Maildrop.clear();
  dlg.Maildrop.reserve(files.size());
  dlg.NumberOfMessages = 0;
  dlg.CurrentOctets = 0;
  for (DirectoryFile &f : files) {
    if (!IsServableName(f.Name)) continue;
    _MessageEntry e;
    e.Number = ++dlg.NumberOfMessages;
    e.Size = f.Size;
    e.FileName = std::move(f.Name);
    dlg.CurrentOctets += e.Size;
    dlg.Maildrop.push_back(std::move(e));
  }
  dlg.CurrentCount = dlg.NumberOfMessages;
  dlg.HighestAccessed = 0;
  return true;
}

bool StartFetchLogonPool(const LogonPoolSettings &settings) {
  return FetchLogonPool().Start(EnginePort(), settings);
}

// ---- parsers and formats

int ParseMessageNumber(std::string_view text, size_t maxLength) {
  text = text.substr(0, maxLength);
  size_t i = 0;
  while (i < text.size() && isspace(static_cast<unsigned char>(text[i]))) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  long long value = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    // Past the 32-bit range the value only needs to stay there.
    value = std::min<long long>(value * 10 + (text[i] - '0'), static_cast<long long>(INT_MAX) + 1);
  }
  if (negative) value = -value;
  return static_cast<int>(std::clamp<long long>(value, INT_MIN, INT_MAX));
}

_TransmitEnd ChooseTerminator(std::string_view lastBytes, uint64_t count) {
  // The reply line before the range ends with a line end: a short range
  // is read as if it followed one.
  std::string end = count < kEndProbe ? "\n" : "";
  end.append(lastBytes.substr(lastBytes.size() - std::min<size_t>(lastBytes.size(), kEndProbe)));
  std::string_view e(end);
  if (e.empty()) return {count, "\r\n.\r\n"};
  if (e.ends_with("\n.\r\n")) return {count, ""};
  if (e.ends_with("\n.\n")) return {count - 2, ".\r\n"};
  if (e.back() != '\n') return {count, "\r\n.\r\n"};
  return {count, ".\r\n"};
}

uint64_t TopByteCount(std::string_view text, long long lines) {
  size_t end = text.find("\r\n\r\n");
  if (end != std::string_view::npos) {
    end += 4;
  } else {
    end = text.find("\n\n");
    if (end == std::string_view::npos) return text.size();
    end += 2;
  }
  for (long long i = 0; i < lines; ++i) {
    size_t nl = text.find('\n', end);
    if (nl == std::string_view::npos) return text.size();
    end = nl + 1;
  }
  return end;
}

std::string ListLine(int number, uint64_t size) {
  return Num(number) + " " + Num(static_cast<long long>(size)) + "\r\n";
}

std::string UidlLine(int number, const std::string &fileName) {
  return Num(number) + " " + fileName + "\r\n";
}

bool IsServableName(std::string_view name) {
  if (name.empty()) return false;
  for (unsigned char c : name) {
    if (c < 0x21 || c > 0x7E) return false;
  }
  return true;
}

// ---- the handlers

void CmdPass(_Connection *conn) {
  _Pop3Dialogue &dlg = PopDlg(conn);
  std::string &password = dlg.Cmd.Arg1;
  password.resize(std::min(password.find_first_of("\r\n"), password.size()));
  if (!PlaintextLogonAllowed(conn)) {
    WipeSecret(password);
    SendReply(conn, kEncryptionRequired, kStateAuthReply);
    return;
  }
  dlg.bSaslLogon = false;
  SubmitLogon(conn, dlg.UserName, password);
}

void SubmitLogon(_Connection *conn, const std::string &name, std::string &password,
                 bool master) {
  _Pop3Dialogue &dlg = PopDlg(conn);
  LogonJob &job = dlg.Logon;
  // The session that serves the mailbox if the password is right.
  SessionStart start;
  start.Protocol = "pop3";
  start.UserName = dlg.UserName;
  start.LogonCommand = LogonCommand(dlg);
  start.PendingInput = dlg.Pending.substr(0, kMaxSessionPendingInput);
  if (!PrepareSessionLogon(conn, job, dlg.HandOff, start, name, password, dlg.LogonFailures)) {
    SendReply(conn, SessionFailure(dlg, GetLastError()), kStateAuthReply);
    return;
  }
  job.bMasterLogon = master;
  // A session that proxies to the user's mail host logs on there with it
  // (a master logon's secret is no user's password: never offered).
  if (!master) (void)OfferPasswordToSession(job.FrontControlFd, job.Password);
  dlg.IoPhase = kPhaseLogon;
  if (FetchLogonPool().Submit(&job)) return;
  dlg.HandOff = SessionHandOff();
  SendReply(conn, LogonFailure(dlg, GetLastError(), 3), kStateAuthReply);
}

void LogonFinished(_Connection *conn) {
  _Pop3Dialogue &dlg = PopDlg(conn);
  LogonJob &job = dlg.Logon;
  if (job.bLoggedOn && job.bSessionServes) {
    // The session answers the client from here on; this process only
    // relays (TLS) or watches, and writes the session's log lines.
    dlg.GreetingStamp.clear();
    WriteLogLine(conn, kLogSignOn);
    SessionHandOff handOff = std::move(dlg.HandOff);
    CompleteSessionHandOff(conn, handOff, WriteSessionLogLine);
    return;
  }
  dlg.HandOff = SessionHandOff();
  if (job.bLoggedOn) {
    // The password was right, but no session serves: the session's own
    // reply (its mailbox could not be opened), or a temporary failure.
    SendReply(conn, job.SessionReply.empty() ? SessionFailure(dlg, job.SessionError)
                                             : job.SessionReply,
              kStateAuthReply);
    return;
  }
  ReportLogonFailure(conn, job);
  // The accounts could not be asked (a directory down): try again later.
  dlg.Reply = job.bLookupFailed ? "-ERR [SYS/TEMP]" + LogonFailure(dlg, job.Error, 2).substr(4)
                                : LogonFailure(dlg, job.Error, 3);
  ++dlg.LogonFailures;
  SendReply(conn, dlg.Reply,
            dlg.LogonFailures >= kMaxLogonFailures ? kStateCloseReply : kStateAuthReply);
}

void CmdStat(_Connection *conn) {
  _Pop3Dialogue &dlg = PopDlg(conn);
  Answer(conn, "+OK " + Num(dlg.CurrentCount) + " " +
                   Num(static_cast<long long>(dlg.CurrentOctets)) + "\r\n");
}

void CmdList(_Connection *conn) {
  _Pop3Dialogue &dlg = PopDlg(conn);
  if (dlg.Cmd.ArgCount == 1) {
    int n = NumberArgument(dlg.Cmd.Arg1);
    const _MessageEntry *e = ListedMessage(dlg, n);
    Answer(conn, e == nullptr ? dlg.Reply : "+OK " + ListLine(n, e->Size));
    return;
  }
  if (dlg.CurrentCount == 0) {
    Answer(conn, "+OK 0 message (0 octets)\r\n.\r\n");
    return;
  }
  std::string body;
  for (const _MessageEntry &e : dlg.Maildrop)
    if (!e.bDeleted) body += ListLine(e.Number, e.Size);
  SendListing(conn,
              "+OK " + Num(dlg.CurrentCount) + " messages (" +
                  Num(static_cast<long long>(dlg.CurrentOctets)) + " octets)\r\n",
              body);
}

void CmdUidl(_Connection *conn) {
  _Pop3Dialogue &dlg = PopDlg(conn);
  if (dlg.Cmd.ArgCount == 1) {
    int n = NumberArgument(dlg.Cmd.Arg1);
    const _MessageEntry *e = ListedMessage(dlg, n);
    Answer(conn, e == nullptr ? dlg.Reply : "+OK " + UidlLine(n, e->FileName));
    return;
  }
  if (dlg.CurrentCount == 0) {
    Answer(conn, "+OK unique-id listing follows\r\n.\r\n");
    return;
  }
  std::string body;
  for (const _MessageEntry &e : dlg.Maildrop)
    if (!e.bDeleted) body += UidlLine(e.Number, e.FileName);
  SendListing(conn, "+OK unique-id listing follows\r\n", body);
}

void CmdRetr(_Connection *conn) {
  _Pop3Dialogue &dlg = PopDlg(conn);
  int n = NumberArgument(dlg.Cmd.Arg1);
  if (const _MessageEntry *e = FindMessage(dlg, n); e != nullptr) {
    if (e->Size == 0) {
      dlg.Reply = "+OK 0 octets\r\n.\r\n";
    } else {
      uint64_t size = 0;
      int fd = OpenFileForReadingAt(dlg.MailboxFd.Get(), e->FileName, &size);
      if (fd >= 0) {
        dlg.OpenFile.Reset(fd);
        dlg.Reply = "+OK " + Num(static_cast<long long>(e->Size)) + " octets\r\n";
        if (size <= kInMemoryMessageBytes)
          SendFromMemory(conn, size, -1);
        else
          Transmit(conn, size, size);
        return;
      }
      dlg.Reply = "-ERR couldn't open message " + Num(n) + " (" + Num(GetLastError()) + ")\r\n";
    }
  }
  WriteLogLine(conn, kLogCommand);
  Answer(conn, dlg.Reply);
}

void CmdTop(_Connection *conn) {
  _Pop3Dialogue &dlg = PopDlg(conn);
  int n = NumberArgument(dlg.Cmd.Arg1);
  int lines = NumberArgument(dlg.Cmd.Arg2);
  if (lines < 0) {
    Answer(conn, "-ERR the server couldn't send negative lines of a message\r\n");
    return;
  }
  const _MessageEntry *e = FindMessage(dlg, n);
  if (e == nullptr) {
    Answer(conn, dlg.Reply);
    return;
  }
  if (e->Size == 0) {
    Answer(conn, "+OK 0 octets\r\n.\r\n");
    return;
  }
  uint64_t size = 0;
  UniqueFd file(OpenFileForReadingAt(dlg.MailboxFd.Get(), e->FileName, &size));
  if (!file.Valid()) {
    Answer(conn, "-ERR couldn't open message " + Num(n) + " (" + Num(GetLastError()) + ")\r\n");
    return;
  }
  dlg.Reply = "+OK\r\n";
  if (size <= kInMemoryMessageBytes) {
    dlg.OpenFile = std::move(file);
    SendFromMemory(conn, size, lines);
    return;
  }
  MappedView view;
  if (!view.Map(file.Get(), static_cast<size_t>(size))) {
    Answer(conn, "-ERR MapViewOfFile " + Num(n) + " (" + Num(GetLastError()) + ")\r\n");
    return;
  }
  uint64_t count = TopByteCount(view.View(), lines);
  view.Unmap();
  dlg.OpenFile = std::move(file);
  Transmit(conn, size, count);
}

void CmdDele(_Connection *conn) {
  _Pop3Dialogue &dlg = PopDlg(conn);
  int n = NumberArgument(dlg.Cmd.Arg1);
  if (_MessageEntry *e = FindMessage(dlg, n); e != nullptr) {
    e->bDeleted = true;
    dlg.CurrentCount--;
    dlg.CurrentOctets -= e->Size;
    dlg.Reply = "+OK message " + Num(n) + " deleted\r\n";
  }
  WriteLogLine(conn, kLogCommand);
  Answer(conn, dlg.Reply);
}

void CmdLast(_Connection *conn) {
  Answer(conn, "+OK " + Num(PopDlg(conn).HighestAccessed) + "\r\n");
}

void CmdRset(_Connection *conn) {
  _Pop3Dialogue &dlg = PopDlg(conn);
  dlg.HighestAccessed = 0;
  dlg.NumberOfMessages = 0;
  dlg.CurrentOctets = 0;
  for (_MessageEntry &e : dlg.Maildrop) {
    e.bDeleted = false;
    dlg.NumberOfMessages++;
    dlg.CurrentOctets += e.Size;
  }
  dlg.CurrentCount = dlg.NumberOfMessages;
  Answer(conn, "+OK mailbox has " + Num(dlg.NumberOfMessages) + " messages (" +
                   Num(static_cast<long long>(dlg.CurrentOctets)) + " octets)\r\n");
}

void CmdQuit(_Connection *conn) {
  _Pop3Dialogue &dlg = PopDlg(conn);
  std::vector<const std::string *> marked;
  for (const _MessageEntry &e : dlg.Maildrop)
    if (e.bDeleted) marked.push_back(&e.FileName);
  // The reply counts what is left, with the files that could not go.
  dlg.NumberOfMessages -= static_cast<int>(DeleteMarkedFiles(dlg, marked));
  dlg.Maildrop.clear();
  dlg.Lock.Release();
  std::string left = dlg.NumberOfMessages == 0
                         ? "(mailbox empty)"
                         : "(" + Num(dlg.NumberOfMessages) + " messages left)";
  dlg.Reply = "+OK " + conn->LocalHostName + " POP3 server signing off " + left + "\r\n";
  WriteLogLine(conn, kLogSignOn);
  SendReply(conn, dlg.Reply, kStateQuitReply);
}
