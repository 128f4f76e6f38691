// smtpdlg: see smtpdlg.h. Message acceptance after DATA is msgaccept.
#include "ZELRECV/smtpdlg.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstring>
#include <ctime>

#include "ZELRECV/backupmx.h"
#include "ZELRECV/msgaccept.h"
#include "ZELRECV/recvcfg.h"
#include "ZELRECV/smtpauth.h"
#include "common/logging.h"
#include "common/netcode.h"
#include "common/rfc822parse.h"
#include "common/service.h"
#include "common/str.h"
#include "messages/zelmsg.h"
#include "net/localdomain.h"
#include "net/localhost.h"
#include "platform/sync.h"

namespace {

_SmtpDialogue &Dlg(_Connection *conn) { return *static_cast<_SmtpDialogue *>(conn->Dialogue); }

bool IsPathEnd(char c) {
  return c == '\0' || c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '>';
}

const char *SkipSpace(const char *p) {
  while (IsAddressSpace(*p)) ++p;
  return p;
}

// The argument of a four-letter command: behind it, white space skipped.
const char *Argument(const _SmtpDialogue &dlg) { return SkipSpace(dlg.Line + 4); }

const char *const kUnknownCommand = "500 Unknown or unimplemented command\r\n";
const char *const kAuthRequired = "530 Authentication required\r\n";
// A bounce to an SRS address that this host did not make, or made too long
// ago.
const char *const kSrsInvalid = "550 5.7.1 Invalid SRS address\r\n";
const char *const kSrsExpired = "550 5.7.1 Expired SRS address\r\n";
const char *const kUnsupportedParameter = "555 Unsupported parameter\r\n";
const char *const kParameterSyntax = "501 Syntax error in parameters\r\n";
const char *const kTooManyCommands = "421 4.7.0 Too many commands\r\n";
const char *const kDirectoryUnavailable =
    "451 4.3.0 User directory unavailable, try again later\r\n";
// Input dropped behind STARTTLS is reported at most this often.
constexpr long long kDroppedInputReportMs = 60 * 1000;

// ---- the commands

// HELO and EHLO: the client's name is the first word of the argument.
void OpenSession(_SmtpDialogue &dlg, bool esmtp) {
  std::string name = BoundedCopy(Argument(dlg), kMaxHeloName);
  size_t ws = name.find_first_of(" \t\r\n\v\f");
  if (ws != std::string::npos) name.resize(ws);
  ResetTransaction(dlg);
  dlg.HeloName = name;
  dlg.bHeloSeen = true;
  dlg.bEsmtp = esmtp;
}

void CmdHelo(_SmtpDialogue &dlg) {
  OpenSession(dlg, false);
  SetReply(dlg, "250 OK\r\n");
}

// EHLO: the multi-line 250 with the extensions this connection offers now.
void CmdEhlo(_SmtpDialogue &dlg) {
  if (!dlg.bEsmtpAllowed) {
    SetReply(dlg, kUnknownCommand);
    return;
  }
  OpenSession(dlg, true);
  std::vector<std::string> lines = {dlg.LocalHostName, "PIPELINING",
                                    MaxMessageSize == 0 ? "SIZE" : "SIZE " + std::to_string(MaxMessageSize),
                                    "8BITMIME"};
  if (dlg.bCanStartTls) lines.push_back("STARTTLS");
  if (AuthOffered(dlg)) lines.push_back("AUTH PLAIN LOGIN");
  std::string reply;
  for (size_t i = 0; i < lines.size(); ++i)
    reply += (i + 1 < lines.size() ? "250-" : "250 ") + lines[i] + "\r\n";
  SetReply(dlg, std::move(reply));
}

// STARTTLS (RFC 3207): the 220 is sent in clear; the I/O layer starts the
// handshake once it has left.
void CmdStartTls(_SmtpDialogue &dlg) {
  if (!dlg.bEsmtpAllowed) {
    SetReply(dlg, kUnknownCommand);
    return;
  }
  if (*SkipSpace(dlg.Line + strlen("STARTTLS")) != '\0') {
    SetReply(dlg, "501 Syntax error (no parameters allowed)\r\n");
  } else if (dlg.bEncrypted) {
    SetReply(dlg, "503 TLS already started\r\n");
  } else if (dlg.bInTransaction) {
    SetReply(dlg, "503 5.5.1 STARTTLS not permitted during a mail transaction\r\n");
  } else if (!dlg.bCanStartTls) {
    SetReply(dlg, "454 TLS not available\r\n");
  } else {
    SetReply(dlg, "220 Ready to start TLS\r\n", kStateStartTls);
  }
}

void CmdQuit(_SmtpDialogue &dlg) {
  SetReply(dlg, "221 " + dlg.LocalHostName + " closing\r\n", kStateQuitting);
}

// The next parameter of a MAIL or RCPT line: its keyword and its value
// (empty without "="); false at the end of the line.
bool NextParameter(const char *&p, std::string_view &keyword, std::string_view &value) {
  p = SkipSpace(p);
  if (*p == '\0') return false;
  const char *start = p;
  while (*p != '\0' && !IsAddressSpace(*p)) ++p;
  std::string_view word(start, p - start);
  size_t eq = word.find('=');
  keyword = word.substr(0, eq);
  value = eq == std::string_view::npos ? std::string_view() : word.substr(eq + 1);
  return true;
}

// SIZE=n: the size the client announces, saturated (so any run of digits
// is a size); false when n is not a number.
bool ParseSizeValue(std::string_view value, unsigned long long *size) {
  if (value.empty()) return false;
  unsigned long long n = 0;
  for (char c : value) {
    if (c < '0' || c > '9') return false;
    n = n > (~0ull - 9) / 10 ? ~0ull : n * 10 + static_cast<unsigned>(c - '0');
  }
  *size = n;
  return true;
}

// The MAIL parameters of an ESMTP session: the refusal, or null when they
// are all taken. SIZE over the limit is refused at once, before any data;
// BODY=8BITMIME marks the message 8-bit for the recipient file; AUTH=
// (RFC 4954) is taken and ignored where AUTH is offered.
const char *MailParameterRefusal(_SmtpDialogue &dlg, const char *p, bool *eightBit) {
  std::string_view keyword, value;
  while (NextParameter(p, keyword, value)) {
    if (EqualsNoCase(keyword, "SIZE")) {
      unsigned long long size = 0;
      if (!ParseSizeValue(value, &size)) return kParameterSyntax;
      if (MaxMessageSize != 0 && size > MaxMessageSize) return kTooBigReply;
    } else if (EqualsNoCase(keyword, "BODY")) {
      if (EqualsNoCase(value, "8BITMIME"))
        *eightBit = true;
      else if (!EqualsNoCase(value, "7BIT"))
        return kUnsupportedParameter;
    } else if (!(EqualsNoCase(keyword, "AUTH") && dlg.bSubmission && !value.empty())) {
      return kUnsupportedParameter;
    }
  }
  return nullptr;
}

void CmdMail(_SmtpDialogue &dlg) {
  if (!dlg.bHeloSeen) {
    SetReply(dlg, "503 You must send a HELO command first\r\n");
    return;
  }
  if (dlg.bSubmission && !dlg.bAuthenticated) {
    SetReply(dlg, kAuthRequired);
    return;
  }
  if (dlg.bMailAccepted) {
    SetReply(dlg, "503 5.5.1 Sender already specified\r\n");
    return;
  }
  std::string address, offending;
  const char *parameters = nullptr;
  if (!ParsePath(dlg.Line, kMaxLineLength, address, offending, &parameters)) {
    SetReply(dlg, "501 Syntax error in address " + offending + "\r\n");
    return;
  }
  // A return path that does not fit its record is refused, not cut: a cut
  // one would send failure reports to somebody else.
  if (address.size() > kMaxReturnPathText) {
    SetReply(dlg, "501 Syntax error in address " + address + "\r\n");
    return;
  }
  bool eightBit = false;
  if (dlg.bEsmtp) {
    if (const char *refusal = MailParameterRefusal(dlg, parameters, &eightBit)) {
      SetReply(dlg, refusal);
      return;
    }
  }
  if (dlg.bSubmission && !SenderOwnedByUser(dlg, address)) {
    SetReply(dlg, "553 5.7.1 Sender address not owned by user\r\n");
    return;
  }
  dlg.ReturnPath = address;
  dlg.b8Bit = eightBit;
  dlg.bInTransaction = true;
  dlg.bMailAccepted = true;
  SetReply(dlg, "250 " + address + " OK\r\n");
}

// The domain behind the "@" as the local test sees it.
std::string DomainOf(const std::string &address) {
  const char *at = SkipLocalAddressPart(address.c_str());
  if (*at != '@') return "";
  const char *p = SkipSpace(at + 1);
  std::string domain;
  if (*p == '[') {
    domain.push_back(*p++);
    // "[a.b.c.d]" or "[IPv6:x::y]": the literal parser decides what it is.
    while (isalnum(static_cast<unsigned char>(*p)) || *p == '.' || *p == ':')
      domain.push_back(*p++);
    if (*p == ']') domain.push_back(*p);
    return domain;
  }
  while (isalnum(static_cast<unsigned char>(*p)) || *p == '-' || *p == '.') domain.push_back(*p++);
  return domain;
}

// An address without a domain is local; one with a domain is local when
// the domain is one this computer delivers.
bool IsLocalAddress(const std::string &address) {
  const char *at = SkipLocalAddressPart(address.c_str());
  if (*at != '@') return true;
  return IsLocalMailDomain(DomainOf(address));
}

// Mail that is not local is relayed for clients inside RelayClients and
// for authenticated sessions, and for nobody while ProhibitMailRelay is set.
bool MayRelay(const _SmtpDialogue &dlg) {
  return !ProhibitMailRelay && (dlg.bRelayClient || dlg.bAuthenticated);
}

// "name%remote.domain@this.host" is delivered as "name@remote.domain":
// split the unquoted local part at its last "%". False when it has none.
bool RewritePercentHack(std::string &address) {
  const char *end = SkipLocalAddressPart(address.c_str());
  std::string local = StripDown(std::string_view(address.c_str(), end - address.c_str()), kMaxPathBuffer);
  RemoveTrailingSpace(local);
  local.erase(0, local.find_first_not_of(" \t\r\n\v\f") == std::string::npos
                     ? local.size()
                     : local.find_first_not_of(" \t\r\n\v\f"));
  size_t pct = local.rfind('%');
  if (pct == std::string::npos) return false;
  std::string domain = local.substr(pct + 1);
  domain.erase(0, std::min(domain.size(), domain.find_first_not_of(" \t\r\n\v\f")));
  address = DressUp(local.substr(0, pct), kMaxPathBuffer) + "@" + domain;
  CutText(address, kMaxPathBuffer);
  return true;
}

// The address as stored: cut to its record, the domain in lower case.
std::string StoredRecipient(const std::string &address) {
  std::string stored = BoundedCopy(address, kMaxRecipientAddress);
  size_t at = SkipLocalAddressPart(stored.c_str()) - stored.c_str();
  for (size_t i = at; i < stored.size(); ++i)
    stored[i] = LowerAscii(stored[i]);
  return stored;
}

// Whether a local recipient is known. Every address is accepted: the
// delivery agent knows the aliases and lists that the accounts do not.
bool LocalRecipientCheck(const std::string &) { return true; }

// A recipient at the SRS domain whose local part is an SRS address: address
// becomes the original and bounce true when it checks out; the refusal
// when it is forged or expired (""  otherwise).
std::string_view CheckSrsRecipient(std::string &address, bool &bounce) {
  bounce = false;
  if (ReceiverSrs.Secret.empty()) return {};
  const char *end = SkipLocalAddressPart(address.c_str());
  std::string localPart(address.c_str(), end - address.c_str());
  std::string_view rest(end);
  if (rest.empty() || rest.front() != '@') return {};
  const std::string &domain = ReceiverSrs.Domain.empty() && !LocalHostIPInfo.Entries.empty()
                                  ? LocalHostIPInfo.Entries.front().Name
                                  : ReceiverSrs.Domain;
  if (!EqualsNoCase(rest.substr(1), domain)) return {};
  std::string original;
  switch (SrsReverseAddress(ReceiverSrs, localPart, time(nullptr), original)) {
    case SrsVerdict::kNotSrs: return {};
    case SrsVerdict::kForged: return kSrsInvalid;
    case SrsVerdict::kExpired: return kSrsExpired;
    case SrsVerdict::kValid: break;
  }
  if (original.empty() || original.size() > kMaxRecipientAddress) return kSrsInvalid;
  address = original;
  bounce = true;
  return {};
}

void CmdRcpt(_SmtpDialogue &dlg) {
  if (dlg.bSubmission && !dlg.bAuthenticated) {
    SetReply(dlg, kAuthRequired);
    return;
  }
  if (dlg.Recipients.size() >= MaxRecipients) {
    SetReply(dlg, "452 Too many recipients\r\n");
    return;
  }
  std::string address, offending;
  const char *parameters = nullptr;
  if (!ParsePath(dlg.Line, kMaxPathBuffer, address, offending, &parameters)) {
    SetReply(dlg, "501 Syntax error in address " + offending + "\r\n");
    return;
  }
  // No RCPT parameter is offered (no DSN): an ESMTP client that sends one
  // is told so rather than have it ignored.
  if (dlg.bEsmtp && *SkipSpace(parameters) != '\0') {
    SetReply(dlg, kUnsupportedParameter);
    return;
  }
  bool local = IsLocalAddress(address);
  while (local && RewritePercentHack(address)) local = IsLocalAddress(address);
  // An address that does not fit its record is refused rather than cut: a
  // cut one could name another mailbox or another domain.
  if (address.empty() || address.size() > kMaxRecipientAddress) {
    SetReply(dlg, "501 Syntax error in recipient address\r\n");
    return;
  }
  // A bounce to a forward's SRS address goes back to the original sender,
  // from anyone, when the address checks out.
  bool srsBounce = false;
  if (local) {
    std::string_view reply = CheckSrsRecipient(address, srsBounce);
    if (!reply.empty()) {
      SetReply(dlg, std::string(reply));
      return;
    }
    if (srsBounce) local = IsLocalAddress(address);
  }
  // A domain this host is a backup exchanger for, to a client that may not
  // relay: its recipients as backupmx says.
  BackupMxVerdict backup =
      local || MayRelay(dlg) ? BackupMxVerdict::kNotBackup : BackupMxRecipient(address);
  if (backup == BackupMxVerdict::kUnknown) {
    SetReply(dlg, "550 User '" + address + "' not known\r\n");
    return;
  }
  if (backup == BackupMxVerdict::kTryLater) {
    SetReply(dlg, std::string(kBackupMxTryLater));
    return;
  }
  if (!local && !srsBounce && !MayRelay(dlg) && backup != BackupMxVerdict::kAccept) {
    SetReply(dlg, "551 User not local: try <" + address + ">\r\n");
    return;
  }
  // A directory that cannot answer now must not turn into "unknown".
  if (local && CheckMailRecipient(address) == kRecipientLookupFailed) {
    SetReply(dlg, kDirectoryUnavailable);
    return;
  }
  if (local && CheckLocalRecipient && !LocalRecipientCheck(address)) {
    SetReply(dlg, "550 User '" + address + "' not known\r\n");
    return;
  }
  std::string stored = StoredRecipient(address);
  dlg.Recipients.push_back(_SmtpRecipient{local, stored});
  dlg.bInTransaction = true;
  SetReply(dlg, "250 " + stored + " OK\r\n");
}

void CmdData(_SmtpDialogue &dlg) {
  if (dlg.bSubmission && !dlg.bAuthenticated) {
    SetReply(dlg, kAuthRequired);
    return;
  }
  if (dlg.Recipients.empty()) {
    SetReply(dlg, "503 No valid recipients specified\r\n");
    return;
  }
  // The message's buffers come out of the memory budget, or it waits.
  if (!BeginData(dlg.Data)) {
    SetReply(dlg, kNoMemoryReply);
    return;
  }
  SetReply(dlg, "354 Ready for data\r\n", kStateDataPending);
}

void CmdRset(_SmtpDialogue &dlg) {
  ResetTransaction(dlg);
  SetReply(dlg, "250 OK\r\n");
}

void CmdVrfy(_SmtpDialogue &dlg) {
  const char *arg = Argument(dlg);
  std::string address(arg, SkipRfc821Address(arg) - arg);
  RemoveTrailingSpace(address);
  if (IsLocalAddress(address))
    SetReply(dlg, "250 User assumed to be local\r\n");
  else if (!MayRelay(dlg))
    SetReply(dlg, "550 User not local\r\n");
  else
    SetReply(dlg, "252 User not local, but will relay\r\n");
}

void CmdNoop(_SmtpDialogue &dlg) { SetReply(dlg, "250 OK\r\n"); }

struct SmtpCommandEntry {
  const char *Name;   // matched on the line's first four characters
  void (*Handler)(_SmtpDialogue &dlg);
};

// MAIL, RCPT and DATA, which an accepted message does not count.
bool IsTransactionCommand(const _SmtpDialogue &dlg) {
  std::string_view line(dlg.Line, dlg.LineLength);
  return StartsWithNoCase(line, "MAIL") || StartsWithNoCase(line, "RCPT") ||
         StartsWithNoCase(line, "DATA");
}

bool TransactionCommandAccepted(const _SmtpDialogue &dlg) {
  return dlg.State == kStateDataPending || dlg.Reply.compare(0, 4, "250 ") == 0;
}

// Counts a command toward MaxPreTransactionCommands; false, with the 421
// that closes the connection set, when it is one too many.
bool CountCommand(_SmtpDialogue &dlg) {
  if (MaxPreTransactionCommands == 0 || ++dlg.CommandsBeforeMessage <= MaxPreTransactionCommands)
    return true;
  SetReply(dlg, kTooManyCommands, kStateQuitting);
  return false;
}

void DispatchCommand(_SmtpDialogue &dlg);

// In this order: a longer word that begins with a name counts as it.
// The extensions come last and, where their word is longer than four
// letters (STARTTLS), are matched on the whole word.
const SmtpCommandEntry kCommands[] = {
    {"HELO", CmdHelo}, {"QUIT", CmdQuit}, {"MAIL", CmdMail}, {"RCPT", CmdRcpt},
    {"DATA", CmdData}, {"RSET", CmdRset}, {"VRFY", CmdVrfy}, {"NOOP", CmdNoop},
    {"EHLO", CmdEhlo}, {"AUTH", CmdAuth}, {"STARTTLS", CmdStartTls},
};

// ---- the I/O layer

// The transaction's deadline follows the record: armed when a transaction
// begins, cleared when it ends; every reply passes here.
void KeepTransactionDeadline(_Connection *conn) {
  _SmtpDialogue &dlg = Dlg(conn);
  if (dlg.bInTransaction == dlg.bDeadlineArmed) return;
  if (dlg.bInTransaction)
    ArmConnectionDeadline(conn, MaxTransactionTime);
  else
    ClearConnectionDeadline(conn);
  dlg.bDeadlineArmed = dlg.bInTransaction;
}

void StartCommandRead(_Connection *conn, bool reset);

// Moves pending bytes into buf (at most room) and posts them as a read.
bool FeedPending(_Connection *conn, char *buf, size_t room) {
  _SmtpDialogue &dlg = Dlg(conn);
  size_t n = std::min(room, dlg.Pending.size());
  memcpy(buf, dlg.Pending.data(), n);
  dlg.Pending.erase(0, n);
  return PostReadCompletion(conn, static_cast<DWORD>(n));
}

void StartCommandRead(_Connection *conn, bool reset) {
  _SmtpDialogue &dlg = Dlg(conn);
  dlg.Op = kOpCommandRead;
  if (reset) {
    dlg.LineLength = 0;
    dlg.bLineComplete = false;
  }
  char *buf = dlg.Line + dlg.LineLength;
  size_t room = kMaxLineLength - dlg.LineLength;
  if (!dlg.Pending.empty()) {
    FeedPending(conn, buf, room);
    return;
  }
  StartSocketRead(conn, buf, room);
}

// After a command: its reply, or at once the next command's read.
void AnswerCommand(_Connection *conn) {
  _SmtpDialogue &dlg = Dlg(conn);
  if (dlg.State == kStateLogon) {
    SubmitSmtpLogon(conn);
    return;
  }
  if (FilterCommand(conn)) return;
  if (dlg.Reply.empty()) {
    dlg.State = kStateCommand;
    StartCommandRead(conn, true);
    return;
  }
  SendReply(conn);
}

// What the engine knows of the connection's TLS, taken before each
// command: a reload may load or drop the certificate at any time, and a
// STARTTLS handshake is over by the time the first command behind it has
// been read.
void TakeTlsState(_Connection *conn) {
  _SmtpDialogue &dlg = Dlg(conn);
  dlg.bCanStartTls = ConnectionCanStartTls(conn);
  if (!dlg.bEncrypted && ConnectionEncrypted(conn)) {
    dlg.bEncrypted = true;
    dlg.TlsVersion = ConnectionTlsVersion(conn);
    dlg.TlsCipher = ConnectionTlsCipher(conn);
  }
}

// Input a client sent behind STARTTLS is dropped unread. The administrator
// hears of it (a client probing for command injection, or a broken one),
// but at most once a minute: every connection could do it.
void ReportDroppedInput(const _SmtpDialogue &dlg, long bytes) {
  static std::atomic<long long> lastReport{0};
  long long now = MonotonicMs();
  long long last = lastReport.load();
  if (last != 0 && now - last < kDroppedInputReportMs) return;
  if (!lastReport.compare_exchange_strong(last, now)) return;
  LogEvent(EVENTLOG_WARNING_TYPE, MSG_STARTTLS_INPUT_DROPPED, dlg.PeerAddress.c_str(),
           std::to_string(bytes).c_str());
}

// STARTTLS's 220 has left: the handshake, then a new session. The read
// started here completes with the first command sent under TLS; a
// handshake that fails fails that read, and the connection closes without
// another word (nothing may go out in clear any more).
void StartTls(_Connection *conn) {
  _SmtpDialogue &dlg = Dlg(conn);
  long dropped = StartConnectionTls(conn, dlg.Pending);
  if (dropped < 0) {
    // The certificate went away since the 220: the client is already
    // sending its hello, and there is nobody to answer it.
    CloseConnection(conn, false);
    return;
  }
  if (dropped > 0) ReportDroppedInput(dlg, dropped);
  ForgetSessionForTls(dlg);
  dlg.bCanStartTls = false;
  KeepTransactionDeadline(conn);
  dlg.State = kStateCommand;
  StartCommandRead(conn, true);
}

// The dialogue step after a completed reply send.
void DialogueStep(_Connection *conn) {
  _SmtpDialogue &dlg = Dlg(conn);
  switch (dlg.State) {
    case kStateReplyPending:
      dlg.State = kStateCommand;
      StartCommandRead(conn, true);
      return;
    case kStateDataPending:
      dlg.State = kStateData;
      StartDataRead(conn);
      return;
    case kStateQuitting:
      CloseConnection(conn, true);
      return;
    case kStateStartTls:
      StartTls(conn);
      return;
    default:
      CloseConnection(conn, false);
      return;
  }
}

}  // namespace

void InitSmtpDialogue(_SmtpDialogue &dlg, const std::string &localHostName,
                      const IpAddress &peer, int listenerKind) {
  dlg.LocalHostName = localHostName;
  dlg.PeerAddress = AddressText(peer);
  dlg.bIPv6Peer = peer.IsV6();
  dlg.bRelayClient = RelayClientNetworks.Contains(peer);
  dlg.ListenerKind = listenerKind;
  dlg.bSubmission = listenerKind != kListenerSmtp;
  // Submission needs AUTH, and AUTH needs EHLO: there ESMTP is never off.
  dlg.bEsmtpAllowed = EsmtpEnabled || dlg.bSubmission;
}

void SetReply(_SmtpDialogue &dlg, std::string reply, int nextState) {
  // A filter's reply may run to many lines: it stays a whole reply.
  CutReplyAtLineEnd(reply, kMaxReplyLength);
  dlg.Reply = std::move(reply);
  dlg.State = nextState;
}

void SmtpGreeting(_SmtpDialogue &dlg) {
  SetReply(dlg, "220 " + dlg.LocalHostName + " " + ThisServiceDisplayName() + " Version " +
                    ThisServiceVersion() + " Ready\r\n");
}

bool TakeCommandBytes(_SmtpDialogue &dlg, size_t bytes) {
  size_t before = dlg.LineLength;
  dlg.LineLength += bytes;
  dlg.Line[dlg.LineLength] = '\0';
  char *nl = static_cast<char *>(memchr(dlg.Line + before, '\n', bytes));
  if (nl != nullptr) {
    // What follows the line end is the next command's: keep it.
    size_t cut = nl - dlg.Line;
    dlg.Pending.insert(0, nl + 1, dlg.LineLength - cut - 1);
    dlg.LineLength = cut;
    dlg.Line[cut] = '\0';
    dlg.bLineComplete = true;
  } else if (dlg.LineLength > kLineHandOver) {
    dlg.bLineComplete = true;
  }
  return dlg.bLineComplete;
}

void SmtpCommand(_SmtpDialogue &dlg) {
  dlg.State = kStateCommand;
  dlg.Reply.clear();
  // A command ends at its CR: a bare CR inside a line (CR and LF belong
  // together in SMTP) must not carry text into an address, a recipient
  // file, or a reply, where a peer would read it as a line end.
  if (char *cr = static_cast<char *>(memchr(dlg.Line, '\r', dlg.LineLength))) {
    *cr = '\0';
    dlg.LineLength = cr - dlg.Line;
  }
  // Inside an AUTH exchange the line is the client's response.
  if (dlg.AuthStep != kAuthNone) {
    AuthResponse(dlg);
    return;
  }
  // A command beyond the limit is not carried out; a refused MAIL, RCPT
  // or DATA (which changes nothing) is counted once its outcome is known.
  bool transaction = IsTransactionCommand(dlg);
  if (!transaction && !CountCommand(dlg)) {
    // Not carried out, and perhaps an AUTH with credentials: gone.
    explicit_bzero(dlg.Line, sizeof dlg.Line);
    return;
  }
  DispatchCommand(dlg);
  if (transaction && !TransactionCommandAccepted(dlg)) (void)CountCommand(dlg);
}

namespace {

void DispatchCommand(_SmtpDialogue &dlg) {
  // A "." line (left over after a refused DATA, say) gets no reply.
  if (dlg.Line[0] == '.') return;
  for (const SmtpCommandEntry &cmd : kCommands) {
    if (StartsWithNoCase(std::string_view(dlg.Line, dlg.LineLength), cmd.Name)) {
      cmd.Handler(dlg);
      return;
    }
  }
  SetReply(dlg, kUnknownCommand);
}

}  // namespace

bool ParsePath(const char *line, size_t maxChars, std::string &address, std::string &offending,
               const char **parameters) {
  const char *p = strchr(line, ':');
  p = p != nullptr ? p + 1 : line + strlen(line);
  p = SkipSpace(p);
  if (*p == '<') p = SkipSpace(p + 1);
  if (*p == '@') {
    // A source route: dropped.
    const char *colon = strchr(p, ':');
    p = colon != nullptr ? SkipSpace(colon + 1) : p + strlen(p);
  }
  const char *end = SkipRfc821Address(p);
  if (!IsPathEnd(*end)) {
    const char *stop = end;
    while (!IsPathEnd(*stop)) ++stop;
    offending.assign(p, stop - p);
    return false;
  }
  address.assign(p, end - p);
  RemoveTrailingSpace(address);
  CutText(address, maxChars);
  if (parameters != nullptr) *parameters = *end == '>' ? end + 1 : end;
  return true;
}

void ForgetSessionForTls(_SmtpDialogue &dlg) {
  ResetTransaction(dlg);
  dlg.bHeloSeen = false;
  dlg.bEsmtp = false;
  dlg.HeloName.clear();
  dlg.bAuthenticated = false;
  dlg.AuthenticatedName.clear();
  dlg.bAuthHostAccount = false;
  dlg.AuthStep = kAuthNone;
  dlg.Pending.clear();
  dlg.LineLength = 0;
  dlg.bLineComplete = false;
}

std::string ReceivedLine(const _SmtpDialogue &dlg, const std::string &date) {
  std::string client = dlg.bIPv6Peer ? "[IPv6:" + dlg.PeerAddress + "]" : "[" + dlg.PeerAddress + "]";
  std::string protocol = "SMTP";
  if (dlg.bEsmtp) {
    protocol = "ESMTP";
    if (dlg.bEncrypted) protocol += "S";
    if (dlg.bAuthenticated) protocol += "A";
  }
  std::string tls;
  if (dlg.bEncrypted)
    tls = "\r\n (using " + dlg.TlsVersion + " with cipher " + dlg.TlsCipher + ")\r\n";
  return "Received: from " + LogSafeText(dlg.HeloName) + " (unverified " + client + ") by " +
         dlg.LocalHostName + "\r\n (TALVO ZELRECV " + ThisServiceVersion() + ")" +
         (tls.empty() ? " " : tls + " ") + "with " + protocol + " id " + dlg.MessageId +
         ";\r\n " + date + "\r\n";
}

void SendReply(_Connection *conn) {
  _SmtpDialogue &dlg = Dlg(conn);
  KeepTransactionDeadline(conn);
  dlg.Op = kOpReplySent;
  StartSocketWrite(conn, dlg.Reply.data(), dlg.Reply.size());
}

void SendReply(_Connection *conn, std::string reply, int nextState) {
  SetReply(Dlg(conn), std::move(reply), nextState);
  SendReply(conn);
}

void MessageAccepted(_SmtpDialogue &dlg) { dlg.CommandsBeforeMessage = 0; }

void ResetTransaction(_SmtpDialogue &dlg) {
  dlg.bInTransaction = false;
  dlg.bMailAccepted = false;
  dlg.ReturnPath.clear();
  dlg.b8Bit = false;
  dlg.bJunk = false;
  dlg.Recipients.clear();
  DiscardMessage(dlg);
}

void BeginSmtpDialogue(_Connection *conn) {
  auto *dlg = new _SmtpDialogue;
  conn->Dialogue = dlg;
  InitSmtpDialogue(*dlg, conn->LocalHostName, conn->PeerIp, conn->ListenerKind);
  TakeTlsState(conn);   // a TLS listener's connection is encrypted already
  SmtpGreeting(*dlg);
  if (FilterGreeting(conn)) return;
  SendReply(conn);
}

void ReleaseSmtpDialogue(_Connection *conn) {
  auto *dlg = static_cast<_SmtpDialogue *>(conn->Dialogue);
  if (dlg == nullptr) return;
  ResetTransaction(*dlg);
  delete dlg;
  conn->Dialogue = nullptr;
}

void SmtpCompletion(_Connection *conn, OVERLAPPED *ov, DWORD bytes, bool ok) {
  _SmtpDialogue &dlg = Dlg(conn);
  if (IsFilterCompletion(conn, ov)) return FilterAnswered(conn);
  if (ov == &dlg.FileOverlapped) {
    MessageFileCompletion(conn, bytes, ok);
    return;
  }
  if (ov == &dlg.LogonOverlapped) {
    SmtpLogonAnswered(dlg);
    SendReply(conn);
    return;
  }
  if (!ok) {
    if (conn->bDeadlinePassed.load() && GetLastError() == ERROR_OPERATION_ABORTED) {
      ResetTransaction(dlg);
      SendReply(conn, "421 Transaction time limit exceeded\r\n", kStateQuitting);
      return;
    }
    if (conn->bTimedOut.load() && GetLastError() == ERROR_OPERATION_ABORTED) {
      ResetTransaction(dlg);
      SendReply(conn, "421 " + conn->LocalHostName + " Timeout, closing connection\r\n",
                kStateQuitting);
      return;
    }
    CloseConnection(conn, false);
    return;
  }
  switch (dlg.Op) {
    case kOpCommandRead:
      if (bytes == 0) return CloseConnection(conn, false);
      if (!TakeCommandBytes(dlg, bytes)) {
        StartCommandRead(conn, false);
        return;
      }
      NoteCommandLine(conn);
      TakeTlsState(conn);
      SmtpCommand(dlg);
      AnswerCommand(conn);
      return;
    case kOpDataRead:
      if (bytes == 0) return CloseConnection(conn, false);
      // A whole line of text resets the idle limit as a command does.
      if (memchr(dlg.Data.ReadBuffer.get(), '\n', bytes) != nullptr) NoteCommandLine(conn);
      MessageDataBytes(conn, bytes);
      return;
    case kOpReplySent:
      DialogueStep(conn);
      return;
    default:
      return;
  }
}

void StartDataRead(_Connection *conn) {
  _SmtpDialogue &dlg = Dlg(conn);
  dlg.Op = kOpDataRead;
  char *buf = dlg.Data.ReadBuffer.get();
  size_t room = DataReadRoom(dlg.Data);
  if (!dlg.Pending.empty()) {
    FeedPending(conn, buf, room);
    return;
  }
  StartSocketRead(conn, buf, room);
}
