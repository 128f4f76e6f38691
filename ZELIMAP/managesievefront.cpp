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
#include "common/sieveconf.h"
#include "net/sessionhandoff.h"
#include "platform/ascii.h"

namespace {

// The longest user name a logon takes (the IMAP front's bound).
constexpr size_t kMaxSieveUserName = kMaxImapUserName;
// What the IMPLEMENTATION capability names.
constexpr const char *kSieveImplementation = "ZEL ManageSieve";
// A SASL response line: base64 of a name and a password with room.
constexpr size_t kMaxSaslResponse = 2 * 1024;

SieveSettings TheSettings;

// The front's part of a ManageSieve connection.
struct SieveFront {
  SieveReader Reader;
  std::string UserName;
  LogonJob Logon;
  SessionHandOff HandOff;
  int Commands = 0;
  int LogonFailures = 0;

  ~SieveFront() { explicit_bzero(Logon.Password.data(), Logon.Password.size()); }
};

// Marks a job of this front for CheckImapOrSieveLogon.
char SieveLogonMark;

SieveFront &Front(_Connection *conn) { return *static_cast<SieveFront *>(Imap(conn).Program); }

void Say(_Connection *conn, std::string_view status, std::string_view code, std::string_view text) {
  Imap(conn).Out += SieveResponse(status, code, text);
}

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
    Say(conn, "NO", "TRYLATER", "The session cannot be started now");
    return ImapGo::kOn;
  }
  job.Context = &SieveLogonMark;
  if (SubmitImapLogon(conn, &job, f.HandOff)) return ImapGo::kAway;
  Say(conn, "NO", "TRYLATER", "Authentication is not available now");
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
      reply = SieveResponse("NO", "TRYLATER", "The session cannot be started now");
    else
      reply += "\r\n";
    c.Out += reply;
    if (reply.starts_with("BYE")) c.bCloseAfterSend = true;
  } else {
    ReportLogonRefusal("sieve", job, conn->PeerAddress, f.UserName);
    ++f.LogonFailures;
    if (job.bLookupFailed)
      Say(conn, "NO", "TRYLATER", "Authentication is not available now");
    else
      Say(conn, "NO", "", "Authentication failed");
    if (f.LogonFailures >= kMaxLogonFailures) {
      Say(conn, "BYE", "", "Too many failed logons");
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
    Say(conn, "NO", "", "Invalid base64 data");
    return ImapGo::kOn;
  }
  f.UserName = name;
  // Refused credentials are checked all the same, under a name no account
  // has: the client learns nothing from the time or the reply.
  return SubmitLogon(conn, outcome == PlainResponse::kCredentials ? name : std::string(),
                     password);
}

ImapGo Authenticate(_Connection *conn, SieveCommand &cmd) {
  ImapConn &c = Imap(conn);
  SieveFront &f = Front(conn);
  WipeImapCommand(c);
  auto wipe = [&] {
    for (SieveArg &arg : cmd.Args) WipeSecret(arg.Text);
  };
  if (cmd.Args.empty() || cmd.Args.size() > 2 || cmd.Args[0].bNumber ||
      (cmd.Args.size() == 2 && cmd.Args[1].bNumber)) {
    wipe();
    Say(conn, "NO", "", "Syntax: AUTHENTICATE \"PLAIN\" [initial-response]");
    return ImapGo::kOn;
  }
  if (!EqualsNoCase(cmd.Args[0].Text, "PLAIN")) {
    wipe();
    Say(conn, "NO", "", "Unsupported authentication mechanism");
    return ImapGo::kOn;
  }
  if (!ImapPlaintextLogonAllowed(conn)) {
    wipe();
    Say(conn, "NO", "ENCRYPT-NEEDED", "A password needs an encrypted connection: use STARTTLS first");
    return ImapGo::kOn;
  }
  if (cmd.Args.size() == 2) return TakePlain(conn, cmd.Args[1].Text);
  // The challenge is empty; the response comes as a string of its own.
  c.Out += "\"\"\r\n";
  f.Reader.bBareString = true;
  return ImapGo::kOn;
}

ImapGo SaslResponse(_Connection *conn, SieveCommand &cmd) {
  SieveFront &f = Front(conn);
  f.Reader.bBareString = false;
  WipeImapCommand(Imap(conn));
  if (cmd.Args.size() != 1 || cmd.Args[0].bNumber) {
    for (SieveArg &arg : cmd.Args) WipeSecret(arg.Text);
    Say(conn, "NO", "", "Syntax error in the authentication response");
    return ImapGo::kOn;
  }
  if (cmd.Args[0].Text == "*") {
    Say(conn, "NO", "", "Authentication cancelled");
    return ImapGo::kOn;
  }
  return TakePlain(conn, cmd.Args[0].Text);
}

ImapGo FrontCommand(_Connection *conn, SieveCommand &cmd) {
  ImapConn &c = Imap(conn);
  SieveFront &f = Front(conn);
  if (++f.Commands > kMaxFrontCommands) {
    Say(conn, "BYE", "", "Too many commands before logon");
    c.bCloseAfterSend = true;
    return ImapGo::kOn;
  }
  if (f.Reader.bBareString) return SaslResponse(conn, cmd);
  const std::string &name = cmd.Name;
  if (name == "AUTHENTICATE") return Authenticate(conn, cmd);
  if (name == "CAPABILITY" && cmd.Args.empty()) {
    c.Out += Capabilities(conn);
  } else if (name == "NOOP" && cmd.Args.size() <= 1) {
    if (cmd.Args.empty()) Say(conn, "OK", "", "Done");
    else Say(conn, "OK", "TAG " + SieveString(cmd.Args[0].Text), "Done");
  } else if (name == "LOGOUT" && cmd.Args.empty()) {
    Say(conn, "OK", "", "Logout completed");
    c.bCloseAfterSend = true;
  } else if (name == "STARTTLS" && cmd.Args.empty()) {
    if (!ConnectionCanStartTls(conn)) {
      Say(conn, "NO", "", ConnectionEncrypted(conn) ? "TLS is already active"
                                                    : "STARTTLS is not available");
    } else {
      // Whatever the client sent behind it is dropped unread.
      DropImapInput(c);
      ResetSieveReader(f.Reader);
      Say(conn, "OK", "", "Begin TLS negotiation now");
      c.bStartTlsAfterSend = true;
    }
  } else if (name == "CAPABILITY" || name == "NOOP" || name == "LOGOUT" || name == "STARTTLS") {
    Say(conn, "NO", "", "Wrong number of arguments");
  } else {
    Say(conn, "NO", "", "Authenticate first");
  }
  return ImapGo::kOn;
}

ImapGo FrontInput(_Connection *conn) {
  SieveFront &f = Front(conn);
  SieveCommand cmd;
  SieveReadEvent event = NextSieveCommand(conn, f.Reader, cmd);
  if (event == SieveReadEvent::kCommand) return FrontCommand(conn, cmd);
  if (event != SieveReadEvent::kNeedMore && f.Reader.bBareString) {
    // A response that could not be read ends the exchange.
    WipeSieveReader(f.Reader);
    f.Reader.bBareString = false;
  }
  return ImapGo::kOn;
}

void TlsStarted(_Connection *conn) { Imap(conn).Out += Capabilities(conn); }

void ReleaseFront(ImapConn &c) { delete static_cast<SieveFront *>(c.Program); }

ImapGo NoCommand(_Connection *, const ImapCommandView &) { return ImapGo::kOn; }

const ImapHandlers kSieveFrontHandlers = {
    NoCommand, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
    LogonDone, ReleaseFront, FrontInput, TlsStarted, "BYE \"Idle for too long\"\r\n",
};

}  // namespace

SieveReadEvent NextSieveCommand(_Connection *conn, SieveReader &reader, SieveCommand &cmd) {
  ImapConn &c = Imap(conn);
  SieveStep step = ReadSieveCommand(reader, PendingImapInput(c), cmd);
  c.InStart += step.Used;
  c.bReaderStarved = step.Event == SieveReadEvent::kNeedMore;
  if (step.Event == SieveReadEvent::kCommand) NoteCommandLine(conn);
  if (step.Event == SieveReadEvent::kRefused || step.Event == SieveReadEvent::kFatal)
    c.Out += reader.Refusal;
  if (step.Event == SieveReadEvent::kFatal) c.bCloseAfterSend = true;
  return step.Event;
}

void LoadManageSieveSettings() { TheSettings = LoadSieveSettings(); }

const SieveSettings &ManageSieveSettings() { return TheSettings; }

std::string SieveCapabilityListing(bool offerStartTls, bool plainAllowed, const std::string &owner) {
  std::string out;
  auto cap = [&out](std::string_view name, std::string_view value) {
    out += SieveString(name);
    if (!value.empty() || name == "SASL") out += " " + SieveString(value);
    out += "\r\n";
  };
  cap("IMPLEMENTATION", kSieveImplementation);
  cap("SASL", owner.empty() && plainAllowed ? "PLAIN" : "");
  cap("SIEVE", SieveCapabilities());
  if (offerStartTls) cap("STARTTLS", "");
  cap("MAXREDIRECTS", std::to_string(TheSettings.Limits.MaxRedirects));
  if (!owner.empty()) cap("OWNER", owner);
  cap("UNAUTHENTICATE", "");
  cap("VERSION", "1.0");
  out += "OK\r\n";
  return out;
}

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
