// smtpsend: see smtpsend.h.
#include "ZELDELIV/smtpsend.h"

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <deque>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "ZELDELIV/ndreport.h"
#include "ZELDELIV/queue.h"
#include "ZELDELIV/settings.h"
#include "common/logging.h"
#include "common/rfc822parse.h"
#include "common/sasl.h"
#include "common/str.h"
#include "common/zel.h"
#include "messages/zelmsg.h"
#include "platform/files.h"
#include "platform/fileview.h"
#include "platform/hostres.h"
#include "platform/sockets.h"
#include "platform/sync.h"
#include "platform/textfile.h"

namespace {

// Bytes asked of one receive while a reply comes in.
constexpr size_t kRecvChunk = 4096;
// Bytes of the message file read and sent at a time.
constexpr size_t kFileChunk = 16384;
// A message file shorter than this cannot hold even the final "." line.
constexpr uint64_t kMinMessageFile = 5;
// What SmtpDisconnect reads of the QUIT reply (it is not looked at).
constexpr size_t kQuitReplyBytes = 512;

constexpr const char *kDeadReason = "File I/O error when transmitting";
constexpr const char *kMessageFailure = "Unable to send to destination domain";
constexpr const char *kDataCommand = "(message data)\n";
constexpr const char *kEndMarkerCommand = "(terminating message data)\n";
constexpr const char *kUnsendableAddress = "Address contains a line break and cannot be sent";
// A held message file ends with this "." line, which is not part of the
// message's size.
constexpr uint64_t kEndLineBytes = 3;

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

bool StartsWithCode(std::string_view line) {
  return line.size() >= 3 && IsDigit(line[0]) && IsDigit(line[1]) && IsDigit(line[2]);
}

int CodeOf(std::string_view line) {
  return (line[0] - '0') * 100 + (line[1] - '0') * 10 + (line[2] - '0');
}

// The text after the line feed that precedes the final one (the whole text
// when there is none).
std::string_view LastLine(std::string_view text) {
  std::string_view body = text.substr(0, text.size() - 1);
  size_t lf = body.rfind('\n');
  return lf == std::string_view::npos ? text : text.substr(lf + 1);
}

long long TimeoutMs(uint64_t seconds) {
  return static_cast<long long>(std::min<uint64_t>(seconds, kMaxSmtpTimeoutSeconds)) * 1000;
}

// The deadline of a step that may take seconds, within the transaction's.
long long StepDeadline(const _SmtpConnection &conn, uint64_t seconds) {
  long long end = MonotonicMs() + TimeoutMs(seconds);
  return conn.TransactionEnd != 0 ? std::min(end, conn.TransactionEnd) : end;
}

// The time the message data may take: SendTimeout0 and a second for each
// kMinDataBytesPerSecond.
uint64_t DataSeconds(uint64_t size) { return SendTimeout0 + size / kMinDataBytesPerSecond; }

void SetError(int *errorKind, std::string *errorText, int kind, std::string_view text) {
  if (errorKind != nullptr) *errorKind = kind;
  if (errorText != nullptr) *errorText = ReplyTextForReport(text, kMaxSmtpErrorText);
}

// A network failure, a time limit run out or a reply that cannot be read:
// the dialogue is lost, and nothing more goes to the peer.
int BreakConnection(_SmtpConnection &conn) {
  StreamAbort(conn.Stream);
  conn.Input.clear();
  conn.Error = true;
  return -1;
}

// ---- Replies and commands.

// A command line (or a batch of them), all of it within SendTimeout0.
bool SendSmtpCommand(_SmtpConnection &conn, std::string_view data) {
  return StreamSend(conn.Stream, data, StepDeadline(conn, SendTimeout0));
}

// Reads one reply, all of it within seconds (ReceiveTimeout0 for a
// command's). What follows it in the same receive (the next replies of a
// pipelining peer) stays in conn.Input for the next call.
bool ReadSmtpResponse(_SmtpConnection &conn, std::string &reply,
                      DWORD seconds = ReceiveTimeout0) {
  SmtpReplyReader reader;
  long long deadline = StepDeadline(conn, seconds);
  for (;;) {
    if (!conn.Input.empty()) {
      SmtpReplyReader::State state = SmtpReplyReader::kMore;
      conn.Input.erase(0, reader.Take(conn.Input, &state));
      if (state == SmtpReplyReader::kTooLong) return false;
      if (state == SmtpReplyReader::kComplete) {
        reply = reader.Text();
        return true;
      }
    }
    char buffer[kRecvChunk];
    long got = StreamReceive(conn.Stream, buffer, sizeof buffer, deadline);
    if (got <= 0) return false;
    conn.Input.assign(buffer, static_cast<size_t>(got));
  }
}

// Reads the reply to command, which was sent; the code, or -1 after a
// failure (the connection is then broken). last keeps both texts.
int ReadCommandResponse(_SmtpConnection &conn, std::string_view command, SmtpExchange &last) {
  last.Command = ReplyTextForReport(command, kMaxSmtpKeptText);
  last.Reply.clear();
  std::string reply;
  if (!ReadSmtpResponse(conn, reply)) return BreakConnection(conn);
  last.Reply = ReplyTextForReport(reply, kMaxSmtpKeptText);
  return GetSmtpReplyCode(reply);
}

// Sends command and reads the reply, as ReadCommandResponse.
int SendCommandGetResponse(_SmtpConnection &conn, std::string_view command, SmtpExchange &last) {
  if (!SendSmtpCommand(conn, command)) {
    last.Command = ReplyTextForReport(command, kMaxSmtpKeptText);
    last.Reply.clear();
    return BreakConnection(conn);
  }
  return ReadCommandResponse(conn, command, last);
}

// After a transaction that did not end with the reply to the data: the
// peer may still hold its sender or recipients, and without a reset the
// next message's MAIL would be refused for this one's sake.
void ResetTransaction(_SmtpConnection &conn) {
  SmtpExchange reset;
  SendCommandGetResponse(conn, "RSET\r\n", reset);
}

// One transaction's deadline (MaxTransactionTime), for as long as it lives:
// every step of the transaction ends by it too.
struct TransactionTime {
  _SmtpConnection &conn;
  explicit TransactionTime(_SmtpConnection &c) : conn(c) {
    conn.TransactionEnd =
        MaxTransactionTime != 0 ? MonotonicMs() + TimeoutMs(MaxTransactionTime) : 0;
  }
  ~TransactionTime() { conn.TransactionEnd = 0; }
};

// An address or return path that would break the command line it goes in.
bool HasLineBreak(std::string_view text) {
  return text.find_first_of("\r\n") != std::string_view::npos;
}

// The whole file within DataSeconds of its size, however the peer paces
// its reading.
bool SendFileToSocket(int fd, _SmtpConnection &conn) {
  uint64_t size = 0;
  if (!GetFileSizeOf(fd, &size)) return false;
  long long deadline = StepDeadline(conn, DataSeconds(size));
  std::vector<char> buffer(kFileChunk);
  for (off_t offset = 0;;) {
    size_t got = 0;
    if (!ReadFileAt(fd, buffer.data(), buffer.size(), offset, &got)) return false;
    if (got > 0 && !StreamSend(conn.Stream, std::string_view(buffer.data(), got), deadline))
      return false;
    if (got < buffer.size()) return true;
    offset += static_cast<off_t>(got);
  }
}

bool Accepted(int code) { return code >= 200 && code <= 299; }
bool Transient(int code) { return code >= 400 && code <= 499; }

std::string RcptCommand(const _SmtpRecipient &r) { return "RCPT TO:<" + r.Name + ">\r\n"; }

// An address that cannot be given is refused here, as a peer would.
bool Unsendable(_SmtpRecipient &r) {
  if (!HasLineBreak(r.Name)) return false;
  r.ResultCode = 553;
  r.Response = kUnsendableAddress;
  return true;
}

// Settles r by the reply to its RCPT; true when it was accepted.
bool NoteRecipientReply(_SmtpRecipient &r, int code, const SmtpExchange &last) {
  r.ResultCode = code;
  if (Accepted(code)) return true;
  r.Response = last.Reply;
  return false;
}

// RCPT for each address; the count accepted, or -1 when the dialogue broke.
int SendRecipients(_SmtpConnection &conn, SmtpRecipientList &list, SmtpExchange &last) {
  int accepted = 0;
  for (_SmtpRecipient &r : list) {
    if (Unsendable(r)) continue;
    int code = SendCommandGetResponse(conn, RcptCommand(r), last);
    if (code < 0) {
      r.ResultCode = code;
      return -1;
    }
    if (NoteRecipientReply(r, code, last)) ++accepted;
  }
  return accepted;
}

// After a 354: the message file and the reply that ends the transaction.
int SendText(_SmtpConnection &conn, int messageFd, bool endMarker, SmtpExchange &last) {
  last.Command = kDataCommand;
  last.Reply.clear();
  if (!SendFileToSocket(messageFd, conn)) return BreakConnection(conn);
  // The end marker, when it goes, is a command line like any other.
  if (endMarker && !SendSmtpCommand(conn, ".\r\n")) return BreakConnection(conn);
  if (endMarker) last.Command = kEndMarkerCommand;
  // The peer may take long over a large message before it answers.
  std::string reply;
  if (!ReadSmtpResponse(conn, reply, ReceiveTimeout1)) return BreakConnection(conn);
  last.Reply = ReplyTextForReport(reply, kMaxSmtpKeptText);
  return GetSmtpReplyCode(reply);
}

// DATA, the message file and the reply that ends the transaction.
int SendData(_SmtpConnection &conn, int messageFd, bool endMarker, SmtpExchange &last) {
  int code = SendCommandGetResponse(conn, "DATA\r\n", last);
  if (code < 0) return code;
  if (code != 354) {
    ResetTransaction(conn);
    return code;
  }
  return SendText(conn, messageFd, endMarker, last);
}

// The replies to a pipelined transaction's commands, as read so far.
struct PipelinedReplies {
  int mail = 0;             // 0 until read
  int data = 0;             // 0 while DATA was not sent or not answered
  int accepted = 0;         // recipients taken
  bool heldAnyway = false;  // a recipient taken although MAIL was refused
  bool MailRefused() const { return mail != 0 && mail != 250; }
};

// MAIL, then each sendable recipient's RCPT, then DATA: the pipeline's
// commands by their place in it.
struct PipelinedCommands {
  const std::string &mail;
  std::vector<_SmtpRecipient *> recipients;
  size_t Count() const { return recipients.size() + 2; }
  bool IsData(size_t i) const { return i == Count() - 1; }
  std::string Text(size_t i) const {
    if (i == 0) return mail;
    return IsData(i) ? std::string("DATA\r\n") : RcptCommand(*recipients[i - 1]);
  }
};

// Reads the replies to commands [first, end) of the pipeline in order and
// notes them as the one-command-at-a-time exchange would; after a refused
// MAIL they are read and only looked at for what the peer may hold. False
// when the dialogue broke.
bool ReadPipelinedReplies(_SmtpConnection &conn, const PipelinedCommands &commands, size_t first,
                          size_t end, PipelinedReplies &replies, SmtpExchange &last) {
  SmtpExchange ignored;
  for (size_t i = first; i < end; ++i) {
    bool afterRefusal = replies.MailRefused();
    int code = ReadCommandResponse(conn, commands.Text(i), afterRefusal ? ignored : last);
    if (code < 0) return false;
    if (i == 0)
      replies.mail = code;
    else if (commands.IsData(i))
      replies.data = code;
    else if (afterRefusal)
      replies.heldAnyway = replies.heldAnyway || Accepted(code);
    else if (NoteRecipientReply(*commands.recipients[i - 1], code, last))
      ++replies.accepted;
  }
  return true;
}

// A peer that answered DATA with 354 although no recipient was taken (or
// MAIL was refused) expects data: only the "." that ends it, whose reply
// means nothing. False when the dialogue broke.
bool EndEmptyData(_SmtpConnection &conn) {
  SmtpExchange ignored;
  return SendCommandGetResponse(conn, ".\r\n", ignored) >= 0;
}

// The transaction with MAIL, the RCPTs and DATA sent ahead of their
// replies (in writes of kMaxPipelinedCommands at most); the outcome is the
// one SendRecipients and SendData give for the same replies.
int SendPipelined(_SmtpConnection &conn, SmtpRecipientList &list, const std::string &mail,
                  int messageFd, bool endMarker, SmtpExchange &last) {
  PipelinedCommands commands{mail, {}};
  for (_SmtpRecipient &r : list)
    if (!Unsendable(r)) commands.recipients.push_back(&r);
  PipelinedReplies replies;
  for (size_t first = 0; first < commands.Count();) {
    // DATA alone after recipients all refused: RSET instead, as below.
    if (first > 0 && commands.IsData(first) && replies.accepted == 0) break;
    size_t end = std::min(commands.Count(), first + kMaxPipelinedCommands);
    std::string batch;
    for (size_t i = first; i < end; ++i) batch += commands.Text(i);
    if (first == 0) {
      last.Command = ReplyTextForReport(mail, kMaxSmtpKeptText);
      last.Reply.clear();
    }
    bool ok = SendSmtpCommand(conn, batch) &&
              ReadPipelinedReplies(conn, commands, first, end, replies, last);
    if (!ok) {
      BreakConnection(conn);
      // What the peer said of MAIL stands however the rest went.
      return replies.MailRefused() ? replies.mail : -1;
    }
    if (replies.MailRefused()) break;
    first = end;
  }
  if (replies.MailRefused()) {
    if (replies.data == 354)
      EndEmptyData(conn);
    else if (replies.heldAnyway)
      ResetTransaction(conn);
    return replies.mail;
  }
  if (replies.accepted == 0) {
    if (replies.data == 354 && !EndEmptyData(conn)) return -1;
    return SendCommandGetResponse(conn, "RSET\r\n", last);
  }
  if (replies.data != 354) {
    ResetTransaction(conn);
    return replies.data;
  }
  return SendText(conn, messageFd, endMarker, last);
}

// ---- Connecting.

bool IsAllocationError(long error) {
  return error == EMFILE || error == ENFILE || error == ENOBUFS || error == ENOMEM;
}

// The first address that accepts within SendTimeout0; -1 with *text and
// *kind set when none does (kSmtpTimedOut when one of them let the time
// run out: an exchanger that swallows connections is a slow one).
int ConnectToAddresses(const std::vector<IpAddress> &addresses, uint16_t port,
                       IpAddress *connected, const char **text, int *kind) {
  *text = "Can't connect to host";
  *kind = kSmtpConnectFailed;
  for (size_t i = 0; i < addresses.size() && i < kMaxConnectAddresses; ++i) {
    int sock = ConnectSocket(addresses[i], port, static_cast<DWORD>(TimeoutMs(SendTimeout0)));
    if (sock >= 0) {
      *connected = addresses[i];
      return sock;
    }
    if (GetLastError() == ERROR_TIMEOUT) *kind = kSmtpTimedOut;
    if (IsAllocationError(GetLastError())) {
      *text = "Can't allocate a socket";
      *kind = kSmtpConnectFailed;
      return -1;
    }
  }
  return -1;
}

// One command of the opening and its reply; false with text set when the
// dialogue broke.
bool OpeningCommand(_SmtpConnection &conn, const char *verb, std::string_view argument,
                    std::string &reply, std::string &text) {
  std::string command = std::string(verb) + (argument.empty() ? "" : " ") +
                        std::string(argument) + "\r\n";
  if (!SendSmtpCommand(conn, command)) {
    text = std::string("Could not send ") + verb + " to host";
    return false;
  }
  if (!ReadSmtpResponse(conn, reply)) {
    text = std::string("Did not receive ") + verb + " response from host";
    return false;
  }
  return true;
}

// EHLO, and HELO when the peer refuses EHLO for good (a classic peer
// answers 500); false with text set.
bool HelloExchange(_SmtpConnection &conn, std::string &text) {
  std::string reply;
  conn.Ext = SmtpExtensions();
  if (!OpeningCommand(conn, "EHLO", conn.OurName, reply, text)) return false;
  int code = GetSmtpReplyCode(reply);
  if (code == 250) {
    conn.Ext = ParseEhloReply(reply);
    return true;
  }
  if (code >= 500 && code <= 599) {
    if (!OpeningCommand(conn, "HELO", conn.OurName, reply, text)) return false;
    if (GetSmtpReplyCode(reply) == 250) return true;
  }
  text = reply;
  return false;
}

// Exchangers whose handshake failed: "host:port" in lower case, oldest
// first. Each entry lets one connection go in clear and is then used up.
struct TlsFallbacks {
  std::mutex lock;
  std::deque<std::string> entries;
};

TlsFallbacks &Fallbacks() {
  static TlsFallbacks fallbacks;
  return fallbacks;
}

std::string ExchangerKey(std::string_view hostName, uint16_t port) {
  return LowerAsciiCopy(BoundedCopy(hostName, kMaxSmtpHostName)) + ":" + std::to_string(port);
}

// The exchanger's handshake failed: its next connection goes without TLS.
void RememberTlsFailure(std::string_view hostName, uint16_t port) {
  std::string key = ExchangerKey(hostName, port);
  TlsFallbacks &f = Fallbacks();
  std::lock_guard<std::mutex> guard(f.lock);
  std::erase(f.entries, key);
  if (f.entries.size() >= kMaxTlsFallbacks) f.entries.pop_front();
  f.entries.push_back(std::move(key));
}

// Whether this connection goes in clear; the fallback is used up by it, so
// the one after tries TLS again (a handshake cut by a passing fault does
// not cost the exchanger its encryption for long).
bool TakeTlsFallback(std::string_view hostName, uint16_t port) {
  std::string key = ExchangerKey(hostName, port);
  TlsFallbacks &f = Fallbacks();
  std::lock_guard<std::mutex> guard(f.lock);
  return std::erase(f.entries, key) > 0;
}

// The plain client context, made once; null (TLS not used) when it cannot be.
TlsContextRef ClientTlsContext() {
  static std::once_flag once;
  static TlsContextRef context;
  std::call_once(once, [] {
    std::string why;
    if (!MakeTlsClientContext(context, why)) {
      LogWin32Error(EVENTLOG_WARNING_TYPE, ("TLS client context (" + why + ")").c_str(), EPROTO);
      context.reset();
    }
  });
  return context;
}

// The verifying contexts, one per CA file ("" the system's store), made on
// first use and kept: the files are the administrator's and few. Null with
// why when the store cannot be loaded; that is tried again next time.
TlsContextRef VerifyingTlsContext(const std::string &caFile, std::string &why) {
  static std::mutex lock;
  static std::unordered_map<std::string, TlsContextRef> contexts;
  std::lock_guard<std::mutex> guard(lock);
  auto found = contexts.find(caFile);
  if (found != contexts.end()) return found->second;
  TlsContextRef context;
  if (!MakeTlsVerifyingClientContext(caFile, context, why)) return nullptr;
  contexts.emplace(caFile, context);
  return context;
}

// A policy that demands TLS could not have it: the exchanger is deferred.
bool TlsRequiredFailure(const _SmtpConnection &conn, std::string_view why, std::string &text,
                        int &kind) {
  kind = kSmtpTlsRequired;
  text = "TLS required (" + std::string(conn.TlsPolicy.Name) + ") but " + std::string(why);
  return false;
}

// The handshake on the connected socket, under the policy's context and
// check; false with text and kind set. Only an opportunistic handshake that
// failed (not one that was too slow) earns a connection in clear.
bool Handshake(_SmtpConnection &conn, std::string &text, int &kind) {
  const SmtpTlsPolicy &policy = conn.TlsPolicy;
  std::string why;
  bool checked = policy.Required() || policy.Mode == SmtpTlsPolicy::Kind::kReport;
  TlsContextRef context = checked ? VerifyingTlsContext(policy.CaFile, why) : ClientTlsContext();
  if (!context) return TlsRequiredFailure(conn, "no TLS context: " + why, text, kind);
  if (!StreamStartTls(conn.Stream, context, conn.HostName, StepDeadline(conn, ReceiveTimeout0),
                      why, policy.Check)) {
    if (policy.Required() && !conn.Stream.TimedOut)
      return TlsRequiredFailure(conn, "the handshake failed: " + why, text, kind);
    if (!conn.Stream.TimedOut && !policy.ImplicitTls)
      RememberTlsFailure(conn.HostName, conn.DestPort);
    // With TLS from the start there is no clear text to go back to.
    kind = conn.Stream.TimedOut ? kSmtpTimedOut
           : policy.ImplicitTls ? kSmtpConnectFailed
                                : kSmtpTlsFailed;
    text = "TLS handshake failed: " + why;
    return false;
  }
  conn.TlsVersion = conn.Stream.Tls->Version();
  conn.TlsVerified = conn.Stream.Tls->PeerVerified();
  if (policy.Mode == SmtpTlsPolicy::Kind::kReport && !conn.TlsVerified)
    LogEvent(EVENTLOG_WARNING_TYPE, MSG_TLS_POLICY, LogSafeText(conn.HostName).c_str(),
             "MTA-STS testing: the certificate does not check out; used anyway");
  return true;
}

// STARTTLS and the handshake; false with text set when the dialogue is lost
// (a failed handshake is remembered first). A refusal of STARTTLS leaves
// the session as it was, and the mail goes in clear, unless the policy
// demands TLS.
bool StartTls(_SmtpConnection &conn, std::string &text, int &kind) {
  bool required = conn.TlsPolicy.Required();
  if (!required && !ClientTlsContext()) return true;
  std::string reply;
  if (!OpeningCommand(conn, "STARTTLS", "", reply, text)) return false;
  if (GetSmtpReplyCode(reply) != 220)
    return !required || TlsRequiredFailure(conn, "STARTTLS was refused", text, kind);
  // Whatever came in clear behind the 220 was not said under TLS: it is
  // dropped, never read as a reply of the session.
  conn.Input.clear();
  if (!Handshake(conn, text, kind)) return false;
  // Nothing the peer said in clear holds under TLS.
  return HelloExchange(conn, text);
}

// After EHLO in clear: TLS as the policy says.
bool ApplyTlsPolicy(_SmtpConnection &conn, std::string &text, int &kind) {
  const SmtpTlsPolicy &policy = conn.TlsPolicy;
  if (policy.ImplicitTls || policy.Mode == SmtpTlsPolicy::Kind::kNoTls) return true;
  if (policy.Required()) {
    if (!conn.Ext.StartTls) return TlsRequiredFailure(conn, "STARTTLS is not offered", text, kind);
    return StartTls(conn, text, kind);
  }
  if (!conn.Ext.StartTls || TakeTlsFallback(conn.HostName, conn.DestPort)) return true;
  return StartTls(conn, text, kind);
}

bool OpenDialogue(_SmtpConnection &conn, std::string &text, int &kind) {
  // A port of TLS from the start: the greeting comes under TLS.
  if (conn.TlsPolicy.ImplicitTls && !Handshake(conn, text, kind)) return false;
  std::string greeting;
  if (!ReadSmtpResponse(conn, greeting)) {
    text = "Did not receive SMTP greeting from host";
    return false;
  }
  if (GetSmtpReplyCode(greeting) != 220) {
    text = greeting;
    return false;
  }
  if (!HelloExchange(conn, text)) return false;
  return ApplyTlsPolicy(conn, text, kind);
}

// OpenDialogue, with the kind of a failure that a time limit caused.
bool OpenDialogueInTime(_SmtpConnection &conn, std::string &text, int &kind) {
  if (OpenDialogue(conn, text, kind)) return true;
  if (conn.Stream.TimedOut) kind = kSmtpTimedOut;
  return false;
}

// ---- The message file.

void DisposeAll(_tMsgInfo &info) {
  for (_tRcpInfo *r = info.Rcp; r != nullptr; r = r->Next) r->bDisposed = 1;
}

// A message that is gone has nothing left to keep; one that cannot be sent
// stays until it is kept as a dead letter.
void GiveUpOnFile(_tMsgInfo &info, const std::string &path, uint32_t event) {
  LogEvent(EVENTLOG_ERROR_TYPE, event, LogSafeText(info.MessageId).c_str(),
           MailHoldingDirectory.c_str());
  if (DeadMessage(path, kDeadReason) || event == MSG_MESSAGE_NOT_FOUND) DisposeAll(info);
}

// Reads the file through the check; false on a read error. size: the file's.
bool CheckMessageFile(int fd, uint64_t &size, bool &valid) {
  MessageFileCheck check;
  std::vector<char> buffer(kFileChunk);
  size = 0;
  for (;;) {
    size_t got = 0;
    if (!ReadFileAt(fd, buffer.data(), buffer.size(), static_cast<off_t>(size), &got))
      return false;
    check.Feed(std::string_view(buffer.data(), got));
    size += got;
    if (got < buffer.size()) break;
  }
  valid = check.Valid(size);
  return true;
}

// Opens and checks the held message (size: the file's). False when the
// message is not to be sent now: either settled for good (missing or
// invalid: event, dead letter, recipients disposed) or kept for a later
// attempt.
bool OpenHeldMessage(_tMsgInfo &info, const std::string &path, UniqueFd &file, uint64_t &size) {
  file.Reset(OpenFileForReading(path));
  if (!file.Valid()) {
    long error = GetLastError();
    // Only a message that is gone is given up; anything else may pass.
    if (error == ENOENT)
      GiveUpOnFile(info, path, MSG_MESSAGE_NOT_FOUND);
    else
      LogWin32Error(EVENTLOG_ERROR_TYPE, ("CreateFile(" + path + ")").c_str(), error);
    return false;
  }
  bool valid = false;
  if (!CheckMessageFile(file.Get(), size, valid)) {
    LogWin32Error(EVENTLOG_ERROR_TYPE, ("ReadFile(" + path + ")").c_str(), GetLastError());
    return false;
  }
  if (valid) return true;
  file.Reset();
  GiveUpOnFile(info, path, MSG_INVALID_MESSAGE);
  return false;
}

// ---- Settling the recipients.

void WriteOutlog(const _tMsgInfo &info, const _SmtpConnection &conn,
                 const SmtpRecipientList &list) {
  bool any = false;
  for (const _SmtpRecipient &r : list) any = any || Accepted(r.ResultCode);
  if (!any) return;
  std::string line = OutlogLine(info, conn, list, NowSeconds());
  LogTransactionToFile(OutlogEnabled, MailOutlogDirectory,
                       [&line](TextFile &stream) { stream.Write(line); });
}

// Per recipient, the last of its addresses decides.
void SettleRecipients(_tMsgInfo &info, const SmtpRecipientList &list) {
  std::unordered_map<_tRcpInfo *, const _SmtpRecipient *> decides;
  std::vector<_tRcpInfo *> order;
  for (const _SmtpRecipient &r : list) {
    if (decides.find(r.UserInfo) == decides.end()) order.push_back(r.UserInfo);
    decides[r.UserInfo] = &r;
  }
  for (_tRcpInfo *rcp : order) {
    const _SmtpRecipient &r = *decides[rcp];
    if (Accepted(r.ResultCode))
      rcp->bDisposed = 1;
    else if (!Transient(r.ResultCode))
      rcp->bDisposed =
          CreateNonDeliveryMessage(info, rcp, false, r.Response.c_str(), nullptr) ? 1 : 0;
  }
}

void ReportFailure(_tMsgInfo &info, const std::string &detail) {
  if (CreateNonDeliveryMessage(info, nullptr, false, kMessageFailure, detail.c_str()))
    DisposeAll(info);
}

void ReportMessageFailure(_tMsgInfo &info, const SmtpExchange &last) {
  ReportFailure(info,
                BoundedCopy("Sent:    " + last.Command + "Received:" + last.Reply, kMaxSmtpDetail));
}

// A message the peer said it would not take: reported as a refusal of it
// would be, and never sent.
bool TooLargeForPeer(_tMsgInfo &info, const _SmtpConnection &conn, uint64_t messageSize) {
  if (!conn.Ext.Size || conn.Ext.SizeLimit == 0 || messageSize <= conn.Ext.SizeLimit)
    return false;
  ReportFailure(info, BoundedCopy("The message (" + std::to_string(messageSize) +
                                      " bytes) is larger than the destination server takes (" +
                                      std::to_string(conn.Ext.SizeLimit) +
                                      " bytes); it was not sent.",
                                  kMaxSmtpDetail));
  return true;
}

void ActOnResult(_tMsgInfo &info, const _SmtpConnection &conn, const SmtpRecipientList &list,
                 int code, const SmtpExchange &last) {
  if (Accepted(code)) {
    WriteOutlog(info, conn, list);
    SettleRecipients(info, list);
  } else if (Transient(code) || code < 0) {
    // All stay for the next attempt.
  } else {
    ReportMessageFailure(info, last);
  }
}

bool AllDisposed(const _tMsgInfo &info) {
  for (const _tRcpInfo *r = info.Rcp; r != nullptr; r = r->Next)
    if (!r->bDisposed) return false;
  return true;
}

// Outlog fields come from the spool and from DNS: nothing in them may break
// the line.
void AppendField(std::string &line, std::string_view text) { line += LogSafeText(text); }

}  // namespace

// ---- Public pieces.

std::string OutlogTlsField(const _SmtpConnection &conn) {
  std::string field = " (TLS " + LogSafeText(conn.TlsVersion);
  // The field of plain opportunistic TLS stays as it always was.
  if (std::string_view(conn.TlsPolicy.Name) != "none" || conn.TlsVerified)
    field += std::string(" ") + conn.TlsPolicy.Name +
             (conn.TlsVerified ? " verified" : " unverified");
  return field + ")";
}

SmtpExtensions ParseEhloReply(std::string_view reply) {
  SmtpExtensions ext;
  ext.Esmtp = true;
  reply = reply.substr(0, kMaxSmtpReply);
  bool first = true;
  while (!reply.empty()) {
    size_t lf = std::min(reply.find('\n'), reply.size());
    std::string_view line = reply.substr(0, lf);
    reply.remove_prefix(std::min(lf + 1, reply.size()));
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (first || line.size() < 4) {   // the greeting line names the peer
      first = false;
      continue;
    }
    line.remove_prefix(4);   // "250-" or "250 "
    size_t blank = std::min(line.find(' '), line.size());
    std::string_view keyword = line.substr(0, blank);
    std::string_view parameter = line.substr(std::min(blank + 1, line.size()));
    if (EqualsNoCase(keyword, "STARTTLS")) {
      ext.StartTls = true;
    } else if (EqualsNoCase(keyword, "8BITMIME")) {
      ext.EightBitMime = true;
    } else if (EqualsNoCase(keyword, "PIPELINING")) {
      ext.Pipelining = true;
    } else if (EqualsNoCase(keyword, "AUTH") || StartsWithNoCase(keyword, "AUTH=")) {
      // The old form "AUTH=LOGIN PLAIN" lists its first word in the keyword.
      std::string_view words = keyword.size() > 4 ? line.substr(5) : parameter;
      AuthMechanism found = ChooseAuthMechanism(words);
      if (ext.Auth != AuthMechanism::kPlain && found != AuthMechanism::kNone) ext.Auth = found;
    } else if (EqualsNoCase(keyword, "SIZE")) {
      ext.Size = true;
      ext.SizeLimit = 0;
      size_t digits = parameter.find_first_not_of("0123456789");
      if (digits == std::string_view::npos) digits = parameter.size();
      // Only a plain number is a limit; "SIZE" alone or garbage is none.
      if (digits > 0 && digits == parameter.size() && digits <= kMaxEhloSizeDigits) {
        uint64_t v = 0;
        for (char c : parameter) {
          uint64_t d = static_cast<uint64_t>(c - '0');
          v = v > (UINT64_MAX - d) / 10 ? UINT64_MAX : v * 10 + d;
        }
        ext.SizeLimit = v;
      }
    }
  }
  return ext;
}

std::string MailParameters(const SmtpExtensions &ext, uint64_t messageSize, bool eightBit) {
  std::string out;
  if (ext.Size) out += " SIZE=" + std::to_string(messageSize);
  if (eightBit && ext.EightBitMime) out += " BODY=8BITMIME";
  return out;
}

SmtpReplyReader::State SmtpReplyReader::Feed(std::string_view data) {
  if (data.size() > kMaxSmtpReply - text_.size()) return kTooLong;
  size_t from = text_.size();
  text_.append(data);
  for (size_t lf = text_.find('\n', from); lf != std::string::npos;
       lf = text_.find('\n', lf + 1)) {
    if (lf + 1 - lineStart_ > kMaxSmtpReplyLine) return kTooLong;
    lineStart_ = lf + 1;
  }
  if (text_.size() - lineStart_ > kMaxSmtpReplyLine) return kTooLong;
  return IsCompleteResponse(text_) ? kComplete : kMore;
}

size_t SmtpReplyReader::Take(std::string_view data, State *state) {
  // A line at a time, so that the reply ends with its last line.
  size_t taken = 0;
  *state = kMore;
  while (taken < data.size() && *state == kMore) {
    size_t lf = data.find('\n', taken);
    size_t end = lf == std::string_view::npos ? data.size() : lf + 1;
    *state = Feed(data.substr(taken, end - taken));
    taken = end;
  }
  return taken;
}

bool IsCompleteResponse(std::string_view text) {
  if (text.size() <= 3 || text.back() != '\n') return false;
  std::string_view last = LastLine(text);
  return StartsWithCode(last) && last.size() > 3 && last[3] != '-';
}

int GetSmtpReplyCode(std::string_view text) {
  if (!StartsWithCode(text)) return kReplyCodeUnreadable;
  std::string_view last = text.empty() || text.back() != '\n' ? text : LastLine(text);
  return StartsWithCode(last) ? CodeOf(last) : CodeOf(text);
}

std::string ReplyTextForReport(std::string_view raw, size_t maxChars) {
  std::string out;
  for (size_t i = 0; i < raw.size() && out.size() < maxChars; ++i) {
    unsigned char c = static_cast<unsigned char>(raw[i]);
    if (c == '\r' && i + 1 < raw.size() && raw[i + 1] == '\n') continue;
    out += (c == '\n' || c == '\t' || (c >= 32 && c != 127)) ? raw[i] : ' ';
  }
  return out;
}

void SmtpPrepareRecipients(std::string_view text, _tRcpInfo *rcp, SmtpRecipientList &list) {
  std::string copy(text.substr(0, text.find('\0')));
  const char *p = copy.c_str();
  std::vector<_SmtpRecipient> found;
  while (*p != '\0') {
    while (IsAddressSpace(*p)) ++p;
    const char *end = SkipRfc821Address(p);
    std::string address(p, end);
    RemoveTrailingSpace(address);
    CutText(address, kMaxSmtpRecipientName);
    if (!address.empty()) found.push_back({rcp, address, 0, {}});
    // A special that ends no address would stop the walk: pass over it.
    p = (end == p && *p != '\0') ? p + 1 : end;
    while (*p == ',') ++p;
  }
  // Each address went to the head of the list: the last found goes first.
  list.insert(list.begin(), found.rbegin(), found.rend());
}

void MessageFileCheck::Feed(std::string_view data) {
  for (char c : data) {
    if (state_ == 1 && c == '.')
      state_ = 2;
    else if (state_ == 2 && c == '\r')
      state_ = 3;
    else if ((state_ == 2 || state_ == 3) && c == '\n') {
      ++dotLines_;
      state_ = 1;
    } else
      state_ = c == '\n' ? 1 : 0;
  }
  tail_.append(data.substr(data.size() > 5 ? data.size() - 5 : 0));
  if (tail_.size() > 5) tail_.erase(0, tail_.size() - 5);
}

bool MessageFileCheck::Valid(uint64_t size) const {
  if (size < kMinMessageFile || tail_.size() < 5) return false;
  std::string_view t(tail_);
  bool ends = t == "\r\n.\r\n" || t.substr(2) == "\n.\n";
  return ends && dotLines_ == 1;
}

int SmtpSend(_SmtpConnection &conn, SmtpRecipientList &list, std::string_view returnPath,
             int messageFd, bool endMarker, SmtpExchange &last, std::string_view mailParameters) {
  last = SmtpExchange();
  if (conn.Error || conn.Stream.Sock < 0) return -1;
  std::string mail =
      "MAIL FROM:<" + std::string(returnPath) + ">" + std::string(mailParameters) + "\r\n";
  if (HasLineBreak(returnPath)) {
    last.Command = ReplyTextForReport(mail, kMaxSmtpKeptText);
    last.Reply = kUnsendableAddress;
    return 553;
  }
  TransactionTime limit(conn);
  if (conn.Ext.Pipelining) return SendPipelined(conn, list, mail, messageFd, endMarker, last);
  int code = SendCommandGetResponse(conn, mail, last);
  if (code != 250) return code;
  int accepted = SendRecipients(conn, list, last);
  if (accepted < 0) return -1;
  if (accepted == 0) return SendCommandGetResponse(conn, "RSET\r\n", last);
  return SendData(conn, messageFd, endMarker, last);
}

std::string AppendTime(long long when) {
  static const char *const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                        "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  time_t t = static_cast<time_t>(when);
  struct tm parts;
  if (localtime_r(&t, &parts) == nullptr && gmtime_r(&t, &parts) == nullptr) return "[]";
  char buffer[64];
  snprintf(buffer, sizeof buffer, "[%02d/%s/%04d:%02d:%02d:%02d]", parts.tm_mday,
           kMonths[parts.tm_mon % 12], parts.tm_year + 1900, parts.tm_hour, parts.tm_min,
           parts.tm_sec);
  return buffer;
}

std::string OutlogLine(const _tMsgInfo &info, const _SmtpConnection &conn,
                       const SmtpRecipientList &list, long long when) {
  std::string line;
  AppendField(line, info.MessageId);
  line += " sent on " + AppendTime(when) + " to " + AddressText(conn.Dest) + " ";
  AppendField(line, conn.HostName);
  line += " from ";
  AppendField(line, info.ReturnPath[0] == '\0' ? "-" : info.ReturnPath);
  line += " to";
  for (const _SmtpRecipient &r : list) {
    if (!Accepted(r.ResultCode)) continue;
    line += ' ';
    AppendField(line, r.Name);
  }
  std::string tls = conn.Stream.Tls ? OutlogTlsField(conn) : "";
  CutText(line, kMaxOutlogLine - 1 - tls.size());
  return line + tls + "\n";
}

// ---- Authentication at the relay host.

namespace {

constexpr const char *kAuthInClear =
    "The relay host offers no TLS: the password is never sent in clear, so the mail waits";
constexpr const char *kAuthNoMechanism =
    "The relay host offers neither AUTH PLAIN nor AUTH LOGIN (under TLS)";
constexpr const char *kAuthBroken = "The connection broke during AUTH";
constexpr const char *kAuthBadChallenge = "The relay host's AUTH challenge could not be read";

bool ReadPasswordFileHere(std::string &password, std::string &why) {
  return ReadGatewayPassword(GatewayPasswordFile, password, why);
}

// The text of a failure, as the outlog, the event and the domain record
// say it.
std::string AuthFailureText(AuthOutcome outcome, std::string_view reply) {
  switch (outcome) {
    case AuthOutcome::kRefused: {
      std::string text = ReplyTextForReport(reply, kMaxSmtpKeptText);
      RemoveTrailingSpace(text);   // the reply's line end
      return "refused: " + text;
    }
    case AuthOutcome::kBadChallenge:
      return kAuthBadChallenge;
    default:
      return kAuthBroken;
  }
}

// One outlog line and one event; false, with errorText, for the caller.
bool AuthFailed(const _SmtpConnection &conn, const std::string &user, std::string_view reason,
                std::string &errorText) {
  std::string line = AuthFailureOutlogLine(conn, user, reason, NowSeconds());
  LogTransactionToFile(OutlogEnabled, MailOutlogDirectory,
                       [&line](TextFile &stream) { stream.Write(line); });
  std::string detail = "as " + LogSafeText(user) + ", " + LogSafeText(reason);
  LogEvent(EVENTLOG_ERROR_TYPE, MSG_GATEWAY_AUTH_FAILED, LogSafeText(conn.HostName).c_str(),
           detail.c_str());
  errorText = ReplyTextForReport("AUTH as " + user + " at the relay host: " + std::string(reason),
                                 kMaxSmtpErrorText);
  return false;
}

}  // namespace

bool (*GatewayPasswordSource)(std::string &password, std::string &why) = ReadPasswordFileHere;

bool SmtpAuthenticate(_SmtpConnection &conn, const std::string &user, std::string &errorText) {
  if (conn.Error || conn.Stream.Sock < 0) return AuthFailed(conn, user, kAuthBroken, errorText);
  if (!conn.Stream.Tls) return AuthFailed(conn, user, kAuthInClear, errorText);
  if (conn.Ext.Auth == AuthMechanism::kNone)
    return AuthFailed(conn, user, kAuthNoMechanism, errorText);
  std::string password, why;
  if (!GatewayPasswordSource(password, why)) return AuthFailed(conn, user, why, errorText);
  AuthStep step = [&conn](std::string_view line, std::string &reply) {
    if (!SendSmtpCommand(conn, line) || !ReadSmtpResponse(conn, reply))
      return BreakConnection(conn);
    return GetSmtpReplyCode(reply);
  };
  std::string reply;
  AuthOutcome outcome = RunAuthExchange(conn.Ext.Auth, user, password, step, reply);
  WipeSecret(password);
  if (outcome == AuthOutcome::kAccepted) return true;
  return AuthFailed(conn, user, AuthFailureText(outcome, reply), errorText);
}

std::string AuthFailureOutlogLine(const _SmtpConnection &conn, std::string_view user,
                                  std::string_view reason, long long when) {
  std::string line = "AUTH failed on " + AppendTime(when) + " at " + AddressText(conn.Dest) + " ";
  AppendField(line, conn.HostName);
  line += " as ";
  AppendField(line, user);
  line += ": ";
  AppendField(line, reason);
  CutText(line, kMaxOutlogLine - 1);
  return line + "\n";
}

// ---- The interface.

_SmtpConnection *SmtpConnect(const std::string &hostName, uint16_t port,
                             const std::vector<IpAddress> &addresses, int *errorKind,
                             std::string *errorText, const SmtpTlsPolicy &policy) {
  std::unique_ptr<_SmtpConnection> conn(new (std::nothrow) _SmtpConnection);
  if (!conn) {
    SetError(errorKind, errorText, kSmtpConnectFailed, "Out of memory");
    return nullptr;
  }
  conn->HostName = BoundedCopy(hostName, kMaxSmtpHostName);
  conn->TlsPolicy = policy;
  std::vector<IpAddress> targets = addresses;
  if (targets.empty()) {
    HostEntry entry;
    if (ZelGetHostByName(hostName, entry) != ERROR_SUCCESS || entry.addresses.empty()) {
      SetError(errorKind, errorText, kSmtpHostUnresolved,
               "Can't interpret host name, or non-existant host");
      return nullptr;
    }
    for (uint32_t a : entry.addresses) targets.push_back(IpV4(a));
  }
  conn->DestPort = port != 0 ? port : static_cast<uint16_t>(SmtpPort);
  const char *failure = nullptr;
  int kind = kSmtpConnectFailed;
  conn->Stream.Sock = ConnectToAddresses(targets, conn->DestPort, &conn->Dest, &failure, &kind);
  if (conn->Stream.Sock < 0) {
    SetError(errorKind, errorText, kind, failure);
    return nullptr;
  }
  conn->OurName = BoundedCopy(GetLocalHostName(conn->Stream.Sock), kMaxSmtpHostName);
  std::string text;
  kind = kSmtpConnectFailed;
  if (!OpenDialogueInTime(*conn, text, kind)) {
    SetError(errorKind, errorText, kind, text);
    return nullptr;
  }
  return conn.release();
}

void SmtpDisconnect(_SmtpConnection *conn) {
  if (conn == nullptr) return;
  std::unique_ptr<_SmtpConnection> owned(conn);
  if (conn->Stream.Sock < 0) return;
  if (SendSmtpCommand(*conn, "QUIT\r\n")) {
    char buffer[kQuitReplyBytes];
    StreamReceive(conn->Stream, buffer, sizeof buffer, StepDeadline(*conn, ReceiveTimeout0));
  }
  StreamClose(conn->Stream, StepDeadline(*conn, SendTimeout0));
}

bool SendMessageOnConnection(_tMsgInfo &info, void *context) {
  auto *conn = static_cast<_SmtpConnection *>(context);
  // After a network failure the rest of the attempt is skipped at once.
  if (conn == nullptr || conn->Error) return false;
  std::string path = HeldMessagePath(info);
  UniqueFd file;
  uint64_t fileSize = 0;
  if (!OpenHeldMessage(info, path, file, fileSize)) return AllDisposed(info);
  uint64_t messageSize = fileSize - std::min(fileSize, kEndLineBytes);
  if (TooLargeForPeer(info, *conn, messageSize)) return AllDisposed(info);
  SmtpRecipientList list;
  for (_tRcpInfo *r = info.Rcp; r != nullptr; r = r->Next)
    SmtpPrepareRecipients(r->Name, r, list);
  SmtpExchange last;
  int code = SmtpSend(*conn, list, info.ReturnPath, file.Get(), false, last,
                      MailParameters(conn->Ext, messageSize, info.b8Bit != 0));
  file.Reset();
  ActOnResult(info, *conn, list, code, last);
  return AllDisposed(info);
}
