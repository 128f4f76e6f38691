// managesievefront: ManageSieve before logon, in the front; see
// managesieve.h.
#include <string.h>

#include <new>

#include "ZELIMAP/imapcfg.h"
#include "ZELIMAP/imapconn.h"
#include "ZELIMAP/imapfront.h"
#include "ZELIMAP/managesieve.h"
#include "ZELIMAP/managesieveparse.h"
#include "common/logonhelper.h"
#include "common/logonlog.h"
#include "common/sasl.h"
#include "common/service.h"
#include "net/sessionhandoff.h"
#include "platform/ascii.h"

namespace {

// The longest user name a logon takes (the IMAP front's bound).
constexpr size_t kMaxSieveUserName = kMaxImapUserName;
// A SASL response line: base64 of a name and a password with room.
constexpr size_t kMaxSaslResponse = 2 * 1024;

// The front's part of a ManageSieve connection.
struct SieveFront {
  ManageSieveReader Reader;
  std::string UserName;
  LogonJob Logon;
  SessionHandOff HandOff;
  int Commands = 0;
  int LogonFailures = 0;

  ~SieveFront() { WipeSecret(Logon.Password); }
};

// Marks a job of this front for CheckImapOrSieveLogon.
char SieveLogonMark;

SieveFront &Front(_Connection *conn) { return *static_cast<SieveFront *>(Imap(conn).Program); }

std::string Capabilities(const _Connection *conn) {
  return SieveCapabilityListing(ConnectionCanStartTls(conn), ImapPlaintextLogonAllowed(conn), "");
}

// ---- the logon

ImapGo SubmitLogon(_Connection *conn, const std::string &name, std::string &password) {
  ImapConn &c = Imap(conn);
  SieveFront &f = Front(conn);
  LogonJob &job = f.Logon;
  SessionStart start;
  start.Protocol = kSieveSessionProtocol;
  start.UserName = f.UserName;
  start.LogonCommand = "AUTHENTICATE";
  start.PendingInput = std::string(PendingImapInput(c));
  if (!PrepareSessionLogon(conn, job, f.HandOff, start, name, password, f.LogonFailures)) {
    SayManageSieve(conn, "NO", "TRYLATER", "The session cannot be started now");
    return ImapGo::kOn;
  }
  job.Context = &SieveLogonMark;
  if (SubmitImapLogon(conn, &job, f.HandOff)) return ImapGo::kAway;
  SayManageSieve(conn, "NO", "TRYLATER", "Authentication is not available now");
  return ImapGo::kOn;
}

void LogonDone(_Connection *conn) {
  ImapConn &c = Imap(conn);
  SieveFront &f = Front(conn);
  LogonJob &job = f.Logon;
  if (HandOffLoggedOnClient(conn, job, f.HandOff)) return;
  if (job.bLoggedOn) {
    std::string reply = job.SessionReply;
    if (reply.ends_with("\r\n")) reply.resize(reply.size() - 2);
    // The session's reply is a response line of its own making; anything
    // else is a temporary failure.
    if (!reply.starts_with("NO ") && !reply.starts_with("BYE "))
      reply = ManageSieveResponse("NO", "TRYLATER", "The session cannot be started now");
    else
      reply += "\r\n";
    c.Out += reply;
    if (reply.starts_with("BYE")) c.bCloseAfterSend = true;
  } else {
    ReportLogonRefusal("sieve", job, conn->PeerAddress, f.UserName);
    ++f.LogonFailures;
    if (job.bLookupFailed)
      SayManageSieve(conn, "NO", "TRYLATER", "Authentication is not available now");
    else
      SayManageSieve(conn, "NO", "", "Authentication failed");
    if (f.LogonFailures >= kMaxLogonFailures) {
      SayManageSieve(conn, "BYE", "", "Too many failed logons");
      c.bCloseAfterSend = true;
    }
  }
  ImapAdvance(conn);
}

// A PLAIN response (base64), wiped here.
ImapGo TakePlain(_Connection *conn, std::string &response) {
  SieveFront &f = Front(conn);
  std::string name, password;
  PlainResponse outcome = DecodePlainResponse(response, kMaxSieveUserName, name, password);
  WipeSecret(response);
  if (outcome == PlainResponse::kBadBase64) {
    SayManageSieve(conn, "NO", "", "Invalid base64 data");
    return ImapGo::kOn;
  }
  f.UserName = name;
  // Refused credentials are checked all the same, under a name no account
  // has: the client learns nothing from the time or the reply.
  return SubmitLogon(conn, outcome == PlainResponse::kCredentials ? name : std::string(), password);
}

ImapGo Authenticate(_Connection *conn, ManageSieveCommand &cmd) {
  ImapConn &c = Imap(conn);
  SieveFront &f = Front(conn);
  WipeImapCommand(c);
  auto wipe = [&] {
    for (ManageSieveArg &arg : cmd.Args) WipeSecret(arg.Text);
  };
  if (cmd.Args.empty() || cmd.Args.size() > 2 || cmd.Args[0].bNumber ||
      (cmd.Args.size() == 2 && cmd.Args[1].bNumber)) {
    wipe();
    SayManageSieve(conn, "NO", "", "Syntax: AUTHENTICATE \"PLAIN\" [initial-response]");
    return ImapGo::kOn;
  }
  if (!EqualsNoCase(cmd.Args[0].Text, "PLAIN")) {
    wipe();
    SayManageSieve(conn, "NO", "", "Unsupported authentication mechanism");
    return ImapGo::kOn;
  }
  if (!ImapPlaintextLogonAllowed(conn)) {
    wipe();
    SayManageSieve(conn, "NO", "ENCRYPT-NEEDED",
                   "A password needs an encrypted connection: use STARTTLS first");
    return ImapGo::kOn;
  }
  if (cmd.Args.size() == 2) return TakePlain(conn, cmd.Args[1].Text);
  // The challenge is empty; the response comes as a string of its own.
  c.Out += "\"\"\r\n";
  f.Reader.bBareString = true;
  return ImapGo::kOn;
}

ImapGo SaslResponse(_Connection *conn, ManageSieveCommand &cmd) {
  SieveFront &f = Front(conn);
  f.Reader.bBareString = false;
  WipeImapCommand(Imap(conn));
  if (cmd.Args.size() != 1 || cmd.Args[0].bNumber) {
    for (ManageSieveArg &arg : cmd.Args) WipeSecret(arg.Text);
    SayManageSieve(conn, "NO", "", "Syntax error in the authentication response");
    return ImapGo::kOn;
  }
  if (cmd.Args[0].Text == "*") {
    SayManageSieve(conn, "NO", "", "Authentication cancelled");
    return ImapGo::kOn;
  }
  return TakePlain(conn, cmd.Args[0].Text);
}

void CmdCapability(_Connection *conn, ManageSieveCommand &) {
  Imap(conn).Out += Capabilities(conn);
}

void CmdStartTls(_Connection *conn, ManageSieveCommand &) {
  ImapConn &c = Imap(conn);
  if (!ConnectionCanStartTls(conn)) {
    SayManageSieve(
        conn, "NO", "",
        ConnectionEncrypted(conn) ? "TLS is already active" : "STARTTLS is not available");
    return;
  }
  // Whatever the client sent behind it is dropped unread: nothing injected
  // in clear may act inside the encrypted session.
  DropImapInput(c);
  ResetManageSieveReader(Front(conn).Reader);
  SayManageSieve(conn, "OK", "", "Begin TLS negotiation now");
  c.bStartTlsAfterSend = true;
}

// Before logon; AUTHENTICATE is taken apart (it hands the connection away).
const ManageSieveEntry kFrontCommands[] = {
    {"CAPABILITY", "", CmdCapability},
    {"NOOP", nullptr, ManageSieveNoop},
    {"LOGOUT", "", ManageSieveLogout},
    {"STARTTLS", "", CmdStartTls},
};

ImapGo FrontCommand(_Connection *conn, ManageSieveCommand &cmd) {
  ImapConn &c = Imap(conn);
  SieveFront &f = Front(conn);
  // Before logon a client has little to say: one that goes on and on is
  // probing, and is shown the door.
  if (++f.Commands > kMaxFrontCommands) {
    SayManageSieve(conn, "BYE", "", "Too many commands before logon");
    c.bCloseAfterSend = true;
    return ImapGo::kOn;
  }
  if (f.Reader.bBareString) return SaslResponse(conn, cmd);
  if (cmd.Name == "AUTHENTICATE") return Authenticate(conn, cmd);
  if (const ManageSieveEntry *entry = FindManageSieveEntry(kFrontCommands, cmd.Name))
    RunManageSieveEntry(conn, *entry, cmd);
  else
    SayManageSieve(conn, "NO", "", "Authenticate first");
  return ImapGo::kOn;
}

ImapGo FrontInput(_Connection *conn) {
  SieveFront &f = Front(conn);
  ManageSieveCommand cmd;
  ManageSieveEvent event = NextManageSieveCommand(conn, f.Reader, cmd);
  if (event == ManageSieveEvent::kCommand) return FrontCommand(conn, cmd);
  if (event != ManageSieveEvent::kNeedMore && f.Reader.bBareString) {
    // A response that could not be read ends the exchange.
    WipeManageSieveReader(f.Reader);
    f.Reader.bBareString = false;
  }
  return ImapGo::kOn;
}

void TlsStarted(_Connection *conn) { Imap(conn).Out += Capabilities(conn); }

void ReleaseFront(ImapConn &c) { delete static_cast<SieveFront *>(c.Program); }

ImapGo NoCommand(_Connection *, const ImapCommandView &) { return ImapGo::kOn; }

const ImapHandlers kSieveFrontHandlers = {
    NoCommand,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    LogonDone,
    ReleaseFront,
    FrontInput,
    TlsStarted,
    "BYE \"Idle for too long\"\r\n",
};

}  // namespace

void CheckImapOrSieveLogon(LogonJob &job, DWORD *failDelayMs) {
  if (job.Context == &SieveLogonMark)
    CheckLogonThroughHelpers(job, failDelayMs);
  else
    CheckLogonForSharedSession(job, failDelayMs);
}

void GreetSieveConnection(_Connection *conn) {
  auto *c = new (std::nothrow) ImapConn;
  if (!AttachImapConn(conn, c, &kSieveFrontHandlers)) return;
  auto *f = new (std::nothrow) SieveFront;
  c->Program = f;
  if (f == nullptr) {
    CloseConnection(conn, false);
    return;
  }
  // Before logon a literal carries a SASL response at most.
  f->Reader.MaxLiteralBytes = kMaxSaslResponse;
  // What a client pipelines behind its logon fits the session's record.
  c->ReadBytes = kMaxSessionPendingInput;
  c->Out = Capabilities(conn);
  ImapAdvance(conn);
}
