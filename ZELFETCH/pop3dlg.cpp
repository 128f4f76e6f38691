// pop3dlg: see pop3dlg.h.
#include "ZELFETCH/pop3dlg.h"

#include <string.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <new>

#include "ZELFETCH/fetchcfg.h"
#include "ZELFETCH/maildrop.h"
#include "ZELFETCH/pop3ext.h"
#include "common/logging.h"
#include "common/sasl.h"
#include "common/service.h"
#include "common/str.h"
#include "common/zel.h"
#include "platform/sync.h"
#include "platform/textfile.h"

namespace {

// Numbers the greeting stamps: unique per connection, and unlike the
// record's address it tells a client nothing about the server's memory.
std::atomic<long> GreetingSerial{0};

bool IsTokenSeparator(char c) { return c == ' ' || c == '\r' || c == '\t' || c == '\n'; }

bool IsWhiteSpace(char c) { return isspace(static_cast<unsigned char>(c)) != 0; }

// ---- the commands that need no mailbox

void CmdUser(_Connection *conn) {
  _Pop3Dialogue &dlg = PopDlg(conn);
  std::string name = dlg.Cmd.Arg1.substr(0, dlg.Cmd.Arg1.find_first_of("\r\n"));
  dlg.UserName = BoundedCopy(name, kMaxUserName);
  // Refused here, not at PASS, so the password is never sent in clear.
  if (!PlaintextLogonAllowed(conn)) {
    SendReply(conn, kEncryptionRequired, kStateAuthReply);
    return;
  }
  SendReply(conn, "+OK " + dlg.Cmd.Arg1 + " is welcome here\r\n", kStateUserReply);
}

void CmdApop(_Connection *conn) {
  SendReply(conn, "-ERR the APOP command is not supported in this version\r\n", kStateAuthReply);
}

void CmdNoop(_Connection *conn) { SendReply(conn, "+OK\r\n", kStateTransReply); }

struct CommandEntry {
  int State;               // the state that accepts it
  const char *Name;
  int MinArgs, MaxArgs;
  int StateOnArgFailure;   // the state a refused argument count leads to
  void (*Handler)(_Connection *conn);
};

// Looked up in this order; the name compares without regard to case.
const CommandEntry kCommands[] = {
    {kStateAuthCommand, "USER", 1, 1, kStateAuthReply, CmdUser},
    {kStateAuthCommand, "APOP", 2, 2, kStateAuthReply, CmdApop},
    {kStateAuthCommand, "QUIT", 0, 0, kStateQuitReply, CmdQuit},
    {kStateAuthCommand, "CAPA", 0, 0, kStateAuthReply, CmdCapa},
    {kStateAuthCommand, "STLS", 0, 0, kStateAuthReply, CmdStls},
    {kStateAuthCommand, "AUTH", 0, 2, kStateAuthReply, CmdAuth},
    {kStatePassCommand, "PASS", 0, 1, kStateUserReply, CmdPass},
    {kStatePassCommand, "QUIT", 0, 0, kStateQuitReply, CmdQuit},
    {kStatePassCommand, "CAPA", 0, 0, kStateUserReply, CmdCapa},
    {kStateTransCommand, "QUIT", 0, 0, kStateQuitReply, CmdQuit},
    {kStateTransCommand, "CAPA", 0, 0, kStateTransReply, CmdCapa},
    {kStateTransCommand, "STLS", 0, 0, kStateTransReply, CmdStls},
    {kStateTransCommand, "STAT", 0, 0, kStateTransReply, CmdStat},
    {kStateTransCommand, "LIST", 0, 1, kStateTransReply, CmdList},
    {kStateTransCommand, "UIDL", 0, 1, kStateTransReply, CmdUidl},
    {kStateTransCommand, "RETR", 1, 1, kStateTransReply, CmdRetr},
    {kStateTransCommand, "RSET", 0, 0, kStateTransReply, CmdRset},
    {kStateTransCommand, "DELE", 1, 1, kStateTransReply, CmdDele},
    {kStateTransCommand, "LAST", 0, 0, kStateTransReply, CmdLast},
    {kStateTransCommand, "TOP", 2, 2, kStateTransReply, CmdTop},
    {kStateTransCommand, "NOOP", 0, 0, kStateTransReply, CmdNoop},
};

// Where an unrecognised command leads: back to USER before logon.
int UnknownCommandState(int state) {
  return state == kStateTransCommand ? kStateTransReply : kStateAuthReply;
}

void Dispatch(_Connection *conn) {
  _Pop3Dialogue &dlg = PopDlg(conn);
  // Before logon a client has little to say: one that goes on and on is
  // probing, and is shown the door (logon failures close sooner).
  if (dlg.State != kStateTransCommand && ++dlg.AuthCommands > kMaxAuthCommands) {
    SendReply(conn, "-ERR Too many commands\r\n", kStateCloseReply);
    return;
  }
  for (const CommandEntry &c : kCommands) {
    if (c.State != dlg.State || !dlg.Cmd.bHasWord || !EqualsNoCase(dlg.Cmd.Word, c.Name))
      continue;
    if (!CheckArgCount(dlg, c.MinArgs, c.MaxArgs, c.Name)) {
      SendReply(conn, dlg.Reply, c.StateOnArgFailure);
      return;
    }
    c.Handler(conn);
    return;
  }
  std::string shown = dlg.Cmd.bHasWord ? dlg.Cmd.Word : dlg.LineAsReceived;
  // A reply line carries no bare CR or LF of the client's line.
  shown.erase(std::remove_if(shown.begin(), shown.end(), [](char c) { return c == '\r' || c == '\n'; }),
              shown.end());
  SendReply(conn, "-ERR unknown or invalid command in this state [" + shown + "]\r\n",
            UnknownCommandState(dlg.State));
}

// ---- reads

void CloseAfterFailure(_Connection *conn, const std::string &reply) {
  PopDlg(conn).Reply = reply;
  WriteLogLine(conn, kLogError);
  CloseConnection(conn, false);
}

// How long the line being read may grow: an AUTH line (as far as it has
// come) and an AUTH response may take more than a classic command.
size_t LineLimit(const _Pop3Dialogue &dlg) {
  if (dlg.State == kStateSaslResponse) return kMaxAuthLine;
  std::string_view sofar(dlg.Line, dlg.LineLength);
  if (dlg.State == kStateAuthCommand && StartsWithNoCase(sofar, "AUTH ")) return kMaxAuthLine;
  return kMaxCommandLine;
}

void StartCommandRead(_Connection *conn, bool reset) {
  _Pop3Dialogue &dlg = PopDlg(conn);
  dlg.IoPhase = kPhaseRead;
  if (reset) {
    dlg.LineLength = 0;
    dlg.bLineComplete = false;
  }
  char *buf = dlg.Line + dlg.LineLength;
  size_t room = LineLimit(dlg) - dlg.LineLength;
  if (!dlg.Pending.empty()) {
    // Input that arrived behind the last line: handed over as a read.
    size_t n = std::min(room, dlg.Pending.size());
    memcpy(buf, dlg.Pending.data(), n);
    dlg.Pending.erase(0, n);
    PostReadCompletion(conn, static_cast<DWORD>(n));
    return;
  }
  if (TrySocketRead(conn, buf, room)) return;
  CloseAfterFailure(conn, "-ERR ReadFile failed (" + std::to_string(GetLastError()) + ")\r\n");
}

// Keeps what follows the first "\n" among the n bytes at from; the line
// ends there. False when there is no "\n".
bool CutAtLineEnd(_Pop3Dialogue &dlg, size_t from, size_t n) {
  char *nl = static_cast<char *>(memchr(dlg.Line + from, '\n', n));
  if (nl == nullptr) return false;
  size_t cut = static_cast<size_t>(nl - dlg.Line);
  dlg.Pending.insert(0, nl + 1, dlg.LineLength - cut - 1);
  dlg.LineLength = cut;
  dlg.Line[cut] = '\0';
  return true;
}

void LineComplete(_Connection *conn);

void LineBytes(_Connection *conn, DWORD bytes) {
  _Pop3Dialogue &dlg = PopDlg(conn);
  size_t before = dlg.LineLength;
  dlg.LineLength += bytes;
  dlg.Line[dlg.LineLength] = '\0';
  if (dlg.bDiscardToLineEnd) {
    // The rest of an over-long line: dropped up to and including its end.
    if (CutAtLineEnd(dlg, before, bytes)) dlg.bDiscardToLineEnd = false;
    StartCommandRead(conn, true);
    return;
  }
  if (CutAtLineEnd(dlg, before, bytes)) {
    dlg.bLineComplete = true;
    NoteCommandLine(conn);
  } else if (dlg.LineLength >= LineLimit(dlg)) {
    dlg.bLineComplete = true;
    dlg.bDiscardToLineEnd = true;
  } else {
    StartCommandRead(conn, false);
    return;
  }
  LineComplete(conn);
}

// The session has lasted MaxTransactionTime: the client is told, and the
// connection closed (nothing is deleted, as after any end without QUIT).
void SessionTimeLimit(_Connection *conn) {
  SendReply(conn, "-ERR session time limit exceeded\r\n", kStateCloseReply);
}

bool SessionDeadlinePassed(const _Connection *conn) {
  long long deadline = conn->DeadlineMs.load();
  return deadline != 0 && MonotonicMs() >= deadline;
}

// A whole command line in the states that await one.
void LineComplete(_Connection *conn) {
  _Pop3Dialogue &dlg = PopDlg(conn);
  // Also here, not only in the engine's check of waiting reads: a client
  // that keeps the server busy (pipelined commands) is never waited for.
  dlg.Cmd.Wipe();
  if (SessionDeadlinePassed(conn)) {
    explicit_bzero(dlg.Line, sizeof dlg.Line);
    dlg.LineAsReceived.clear();
    SessionTimeLimit(conn);
    return;
  }
  // The line as a C string, as the parsers have always seen it.
  std::string_view line(dlg.Line, strnlen(dlg.Line, dlg.LineLength));
  switch (dlg.State) {
    case kStateAuthCommand:
    case kStateTransCommand:
      // Only an AUTH line can be longer than a classic command.
      dlg.Cmd = OrdinaryParse(line, kMaxAuthLine);
      break;
    case kStateSaslResponse: {
      // Credentials: no copy stays in the record, none reaches a log line.
      std::string response(line);
      explicit_bzero(dlg.Line, sizeof dlg.Line);
      dlg.LineAsReceived.clear();
      dlg.Cmd.bHasWord = true;
      dlg.Cmd.Word = "AUTH";
      AuthResponse(conn, response);
      WipeSecret(response);
      return;
    }
    case kStatePassCommand:
      dlg.Cmd = PasswordParse(line, kMaxCommandLine);
      break;
    default:
      CloseConnection(conn, false);
      return;
  }
  dlg.LineAsReceived = dlg.Cmd.bHasWord ? std::string() : std::string(line);
  // The line may hold a password: nothing of it stays in the buffer.
  explicit_bzero(dlg.Line, sizeof dlg.Line);
  Dispatch(conn);
}

// After a reply or a transmission was sent.
void DialogueStep(_Connection *conn) {
  _Pop3Dialogue &dlg = PopDlg(conn);
  switch (dlg.State) {
    case kStateAuthReply: dlg.State = kStateAuthCommand; break;
    case kStateUserReply: dlg.State = kStatePassCommand; break;
    case kStateTransReply: dlg.State = kStateTransCommand; break;
    case kStateSaslReply: dlg.State = kStateSaslResponse; break;
    case kStateStlsReply:
      // Whatever the client sent behind STLS is dropped unread: nothing
      // injected in clear may act inside the encrypted session.
      if (StartConnectionTls(conn, dlg.Pending) < 0) {
        CloseAfterFailure(conn, "-ERR TLS could not be started\r\n");
        return;
      }
      dlg.bDiscardToLineEnd = false;
      dlg.State = kStateAuthCommand;
      break;
    case kStateQuitReply: CloseConnection(conn, true); return;
    default: CloseConnection(conn, false); return;
  }
  StartCommandRead(conn, true);
}

// The client went away: a reset, or a write to a closed peer.
bool ClientGone(long error) { return error == ERROR_NETNAME_DELETED || error == EPIPE; }

void FailedCompletion(_Connection *conn) {
  long error = GetLastError();
  if (error == ERROR_OPERATION_ABORTED && conn->bDeadlinePassed.load()) {
    SessionTimeLimit(conn);
    return;
  }
  if (error == ERROR_OPERATION_ABORTED && conn->bTimedOut.load()) {
    // The idle check cancelled the read: no whole command line came in
    // time (a client that trickles one never counts as active). The
    // client is told, and the connection closes after it (a client that
    // does not read that either is cut by the write's own limit).
    SendReply(conn, kAutologoutReply, kStateCloseReply);
    return;
  }
  if (error == ERROR_OPERATION_ABORTED && conn->bWriteTimedOut.load()) {
    // A client that does not read what it asked for is not waited on.
    CloseAfterFailure(conn, "-ERR: Autologout the client took no data\r\n");
    return;
  }
  if (!ClientGone(error)) {
    CloseAfterFailure(conn,
                      "-ERR Warning: Socket I/O failed (" + std::to_string(error) + ")\r\n");
    return;
  }
  CloseConnection(conn, false);
}

// Sends text, which lives in the dialogue record until the completion.
void StartSend(_Connection *conn, const std::string &text) {
  PopDlg(conn).IoPhase = kPhaseSend;
  if (TrySocketWrite(conn, text.data(), text.size())) return;
  CloseAfterFailure(conn,
                    "-ERR: WriteFile Point 1 failed (" + std::to_string(GetLastError()) + ")\r\n");
}

std::string WithoutLineEnd(std::string_view reply) {
  while (!reply.empty() && (reply.back() == '\n' || reply.back() == '\r')) reply.remove_suffix(1);
  return std::string(reply);
}

}  // namespace

// ---- parsers

void _Pop3Command::Wipe() {
  explicit_bzero(Arg1.data(), Arg1.size());
  explicit_bzero(Arg2.data(), Arg2.size());
  *this = _Pop3Command();
}

_Pop3Command OrdinaryParse(std::string_view line, size_t maxLength) {
  line = line.substr(0, maxLength);
  _Pop3Command cmd;
  std::vector<std::string_view> tokens;
  size_t i = 0;
  while (i < line.size() && tokens.size() < 4) {
    while (i < line.size() && IsTokenSeparator(line[i])) ++i;
    size_t start = i;
    while (i < line.size() && !IsTokenSeparator(line[i])) ++i;
    if (i > start) tokens.push_back(line.substr(start, i - start));
  }
  if (tokens.empty()) return cmd;
  cmd.bHasWord = true;
  cmd.Word = std::string(tokens[0]);
  UpperAsciiInPlace(cmd.Word);
  cmd.ArgCount = static_cast<int>(std::min<size_t>(tokens.size() - 1, 3));
  if (tokens.size() > 1) cmd.Arg1 = std::string(tokens[1]);
  if (tokens.size() > 2) cmd.Arg2 = std::string(tokens[2]);
  return cmd;
}

_Pop3Command PasswordParse(std::string_view line, size_t maxLength) {
  line = line.substr(0, maxLength);
  _Pop3Command cmd;
  size_t i = 0;
  while (i < line.size() && IsWhiteSpace(line[i])) ++i;
  size_t start = i;
  while (i < line.size() && !IsWhiteSpace(line[i])) ++i;
  cmd.Word = std::string(line.substr(start, i - start));
  cmd.bHasWord = !cmd.Word.empty();
  while (i < line.size() && IsWhiteSpace(line[i])) ++i;
  cmd.Arg1 = std::string(line.substr(i));
  cmd.ArgCount = cmd.Arg1.empty() ? 0 : 1;
  return cmd;
}

bool CheckArgCount(_Pop3Dialogue &dlg, int minimum, int maximum, const char *name) {
  if (dlg.Cmd.ArgCount > maximum) {
    dlg.Reply = std::string("-ERR too many arguments for the ") + name + " command\r\n";
    return false;
  }
  if (dlg.Cmd.ArgCount < minimum) {
    dlg.Reply = std::string("-ERR too few arguments for the ") + name + " command\r\n";
    return false;
  }
  return true;
}

// ---- replies and the activity log

std::string LogTimeStamp(long long epochSeconds) {
  time_t t = static_cast<time_t>(epochSeconds);
  struct tm tm;
  if (localtime_r(&t, &tm) == nullptr && gmtime_r(&t, &tm) == nullptr) return "[]";
  char buf[64];
  if (strftime(buf, sizeof buf, "[%d/%b/%Y:%H:%M:%S]", &tm) == 0) return "[]";
  return buf;
}

void WriteLogLine(_Connection *conn, int form) {
  if (!Pop3LogEnabled.load()) return;
  _Pop3Dialogue &dlg = PopDlg(conn);
  std::string line = LogSafeText(dlg.UserName) + " from " + conn->PeerAddress + " ";
  std::string stamp = LogTimeStamp(time(nullptr));
  std::string word = LogSafeText(dlg.Cmd.bHasWord ? dlg.Cmd.Word : dlg.LineAsReceived);
  switch (form) {
    case kLogError:
      line += word + " " + stamp + " " + LogSafeText(WithoutLineEnd(dlg.Reply));
      break;
    case kLogSignOn:
      if (!dlg.Cmd.bHasWord) return;
      line += (dlg.Cmd.Word == "PASS" || dlg.Cmd.Word == "AUTH" ? " " + word + " **** OK "
                                                                : " " + word + " ") +
              stamp;
      break;
    default:
      line += word + " " + stamp;
      break;
  }
  line += "\n";
  Pop3LogSink(line);
}

void WritePop3LogText(const std::string &line) {
  LogTransactionToFile(Pop3LogEnabled, Pop3logDirectory, [&](TextFile &f) { f.Write(line); });
}

void (*Pop3LogSink)(const std::string &line) = WritePop3LogText;

void SendReply(_Connection *conn, std::string reply, int nextState) {
  _Pop3Dialogue &dlg = PopDlg(conn);
  if (reply.size() > kMaxReplyLength) {
    // Cut, but still one line that ends.
    reply.resize(kMaxReplyLength - 2);
    reply += "\r\n";
  }
  dlg.Reply = std::move(reply);
  dlg.State = nextState;
  if (StartsWithNoCase(dlg.Reply, "-ERR")) WriteLogLine(conn, kLogError);
  StartSend(conn, dlg.Reply);
}

void SendMultiLine(_Connection *conn, std::string text, int nextState) {
  _Pop3Dialogue &dlg = PopDlg(conn);
  dlg.Listing = std::move(text);
  dlg.State = nextState;
  StartSend(conn, dlg.Listing);
}

bool SessionEncrypted = false;
bool SessionTlsAvailable = false;

bool Pop3Encrypted(const _Connection *conn) {
  return SessionEncrypted || ConnectionEncrypted(conn);
}

bool Pop3CanStartTls(const _Connection *conn) {
  return !SessionEncrypted && (SessionTlsAvailable || ConnectionCanStartTls(conn));
}

bool PlaintextLogonAllowed(const _Connection *conn) {
  return Pop3Encrypted(conn) || PlaintextLogonClients.Contains(conn->PeerIp);
}

int ReplyStateFor(int commandState) {
  switch (commandState) {
    case kStatePassCommand: return kStateUserReply;
    case kStateTransCommand: return kStateTransReply;
    default: return kStateAuthReply;
  }
}

// ---- the engine's hooks

_Pop3Dialogue::~_Pop3Dialogue() {
  explicit_bzero(Logon.Password.data(), Logon.Password.size());
  Cmd.Wipe();
  explicit_bzero(Line, sizeof Line);
}

void GreetPop3Connection(_Connection *conn) {
  auto *dlg = new (std::nothrow) _Pop3Dialogue;
  if (dlg == nullptr) {
    LogWin32Error(EVENTLOG_ERROR_TYPE, "malloc fail point 3", ERROR_NOT_ENOUGH_MEMORY);
    CloseConnection(conn, false);
    return;
  }
  conn->Dialogue = dlg;
  // The whole session, greeting to close, has its bound.
  ArmConnectionDeadline(conn, MaxTransactionTime);
  auto now = std::chrono::system_clock::now().time_since_epoch();
  long long ms = std::chrono::duration_cast<std::chrono::milliseconds>(now).count();
  dlg->GreetingStamp = "<" + std::to_string(++GreetingSerial) + "." + std::to_string(ms / 1000) +
                       "." + std::to_string(ms % 1000) + "@" + conn->LocalHostName + ">";
  SendReply(conn,
            std::string("+OK ") + ThisServiceDisplayName() + " " + ThisServiceVersion() +
                " Ready " + dlg->GreetingStamp + "\r\n",
            kStateAuthReply);
}

void Pop3Completion(_Connection *conn, OVERLAPPED *ov, DWORD bytes, bool ok) {
  if (conn->Dialogue == nullptr || ov != &conn->Overlapped) {
    CloseConnection(conn, false);
    return;
  }
  if (!ok) {
    FailedCompletion(conn);
    return;
  }
  _Pop3Dialogue &dlg = PopDlg(conn);
  switch (dlg.IoPhase) {
    case kPhaseRead:
      if (bytes == 0) {
        CloseConnection(conn, false);   // the client closed
        return;
      }
      LineBytes(conn, bytes);
      return;
    case kPhaseSend:
      // A transmission's file goes now, and a listing's memory.
      dlg.OpenFile.Reset();
      std::string().swap(dlg.Listing);
      DialogueStep(conn);
      return;
    case kPhaseLogon:
      LogonFinished(conn);
      return;
    default:
      CloseConnection(conn, false);
      return;
  }
}

void ReleasePop3Dialogue(_Connection *conn) {
  delete static_cast<_Pop3Dialogue *>(conn->Dialogue);
  conn->Dialogue = nullptr;
}
