// imapfront: see imapfront.h.
#include "ZELIMAP/imapfront.h"

#include <string.h>

#include <new>
#include <vector>

#include "ZELIMAP/imapcaps.h"
#include "ZELIMAP/imapcfg.h"
#include "ZELIMAP/imapparsecmds.h"
#include "common/logging.h"
#include "common/logonlog.h"
#include "common/sasl.h"
#include "common/service.h"
#include "common/sessionstart.h"
#include "net/mailproxy.h"
#include "net/sessionhandoff.h"
#include "platform/ascii.h"

namespace {

// The front's part of a connection: the logon under way and its counts.
struct FrontConn {
  std::string UserName;        // as the client gave it
  std::string Tag;             // of the LOGIN or AUTHENTICATE under way
  const char *LogonCommand = "LOGIN";
  bool bSaslResponse = false;  // AUTHENTICATE awaits the client's response line
  LogonJob Logon;
  SessionHandOff HandOff;
  int Commands = 0;
  int LogonFailures = 0;

  ~FrontConn() { explicit_bzero(Logon.Password.data(), Logon.Password.size()); }
};

FrontConn &Front(_Connection *conn) { return *static_cast<FrontConn *>(Imap(conn).Program); }

LogonPool &ImapLogonPool() {
  // Never destroyed: its threads are not joined at exit, like the engine's.
  static LogonPool *pool = new LogonPool;
  return *pool;
}

std::string Tagged(std::string_view tag, std::string_view text) {
  std::string line(tag);
  line += ' ';
  line += text;
  line += "\r\n";
  return line;
}

void Reply(_Connection *conn, std::string_view tag, std::string_view text) {
  Imap(conn).Out += Tagged(tag, text);
}

std::string Capabilities(const _Connection *conn) {
  ImapCapabilityContext context;
  context.bOfferStartTls = ConnectionCanStartTls(conn);
  context.bLogonAllowed = ImapPlaintextLogonAllowed(conn);
  return ImapCapabilityText(context);
}

// ---- the logon

const char *const kLogonFailed = "NO [AUTHENTICATIONFAILED] Authentication failed";

// Hands name and password to the pool with the session's start record;
// wipes password. kAway once the pool has the job.
ImapGo SubmitLogon(_Connection *conn, const std::string &name, std::string &password,
                   bool master = false) {
  ImapConn &c = Imap(conn);
  FrontConn &f = Front(conn);
  LogonJob &job = f.Logon;
  SessionStart start;
  start.Protocol = "imap";
  start.UserName = f.UserName;
  // The session answers the logon: it needs the tag.
  start.LogonCommand = f.Tag + " " + f.LogonCommand;
  start.PendingInput = std::string(PendingImapInput(c));
  if (!PrepareSessionLogon(conn, job, f.HandOff, start, name, password, f.LogonFailures)) {
    Reply(conn, f.Tag, "NO [UNAVAILABLE] The session cannot be started now");
    return ImapGo::kOn;
  }
  job.bMasterLogon = master;
  // A session that proxies to the user's mail host logs on there with it
  // (a master logon's secret is no user's password: never offered).
  if (!master) (void)OfferPasswordToSession(job.FrontControlFd, job.Password);
  if (SubmitImapLogon(conn, &job, f.HandOff)) return ImapGo::kAway;
  Reply(conn, f.Tag, "NO [UNAVAILABLE] Authentication is not available now");
  return ImapGo::kOn;
}

// The pool's answer.
void LogonDone(_Connection *conn) {
  ImapConn &c = Imap(conn);
  FrontConn &f = Front(conn);
  LogonJob &job = f.Logon;
  // The session answers the client from here on (the tagged OK first).
  if (HandOffLoggedOnClient(conn, job, f.HandOff)) return;
  if (job.bLoggedOn) {
    // The password was right, but no session serves: its own reply (its
    // mailbox could not be reached), or a temporary failure.
    std::string reply = job.SessionReply.empty()
                            ? Tagged(f.Tag, "NO [UNAVAILABLE] The session cannot be started now")
                            : job.SessionReply;
    if (reply.ends_with("\r\n")) reply.resize(reply.size() - 2);
    c.Out += reply + "\r\n";
    if (reply.starts_with("* BYE")) c.bCloseAfterSend = true;
  } else {
    ReportLogonRefusal("imap", job, conn->PeerAddress, f.UserName);
    ++f.LogonFailures;
    Reply(conn, f.Tag,
          job.bLookupFailed ? "NO [UNAVAILABLE] Authentication is not available now" : kLogonFailed);
    if (f.LogonFailures >= kMaxLogonFailures) {
      c.Out += "* BYE Too many failed logons\r\n";
      c.bCloseAfterSend = true;
    }
  }
  ImapAdvance(conn);
}

// A PLAIN response (base64; "" for an empty one), wiped here.
ImapGo TakePlain(_Connection *conn, std::string &response) {
  FrontConn &f = Front(conn);
  std::string name, password;
  PlainResponse outcome = DecodePlainResponse(response, kMaxImapUserName, name, password);
  WipeSecret(response);
  if (outcome == PlainResponse::kBadBase64) {
    Reply(conn, f.Tag, "BAD Invalid base64 data");
    return ImapGo::kOn;
  }
  f.UserName = name;
  // Refused credentials are checked all the same, under a name no account
  // has: the client learns nothing from the time or the reply. A master
  // logon is the logon helper's to judge.
  bool master = outcome == PlainResponse::kMasterCredentials;
  return SubmitLogon(conn, outcome == PlainResponse::kCredentials || master ? name : std::string(),
                     password, master);
}

// ---- the commands

struct FrontCommand {
  const char *Name;
  bool bArgs;   // takes arguments (else any is refused)
  ImapGo (*Handler)(_Connection *conn, const ImapCommandView &cmd);
};

ImapGo CmdCapability(_Connection *conn, const ImapCommandView &cmd) {
  Imap(conn).Out += "* CAPABILITY " + Capabilities(conn) + "\r\n";
  Reply(conn, cmd.Tag, "OK CAPABILITY completed");
  return ImapGo::kOn;
}

ImapGo CmdNoop(_Connection *conn, const ImapCommandView &cmd) {
  Reply(conn, cmd.Tag, "OK NOOP completed");
  return ImapGo::kOn;
}

ImapGo CmdLogout(_Connection *conn, const ImapCommandView &cmd) {
  ImapConn &c = Imap(conn);
  c.Out += "* BYE Logging out\r\n";
  Reply(conn, cmd.Tag, "OK LOGOUT completed");
  c.bCloseAfterSend = true;
  return ImapGo::kOn;
}

ImapGo CmdStartTls(_Connection *conn, const ImapCommandView &cmd) {
  ImapConn &c = Imap(conn);
  if (ConnectionEncrypted(conn)) {
    Reply(conn, cmd.Tag, "BAD TLS is already active");
  } else if (!ConnectionCanStartTls(conn)) {
    Reply(conn, cmd.Tag, "BAD STARTTLS is not available");
  } else {
    // Whatever the client sent behind it is dropped unread: nothing
    // injected in clear may act inside the encrypted session.
    DropImapInput(c);
    Reply(conn, cmd.Tag, "OK Begin TLS negotiation now");
    c.bStartTlsAfterSend = true;
  }
  return ImapGo::kOn;
}

ImapGo CmdId(_Connection *conn, const ImapCommandView &cmd) {
  // The client's list is only checked: no log keeps it.
  std::vector<ImapIdPair> pairs;
  ImapError error;
  if (!ParseId(cmd.Args, pairs, error)) {
    Reply(conn, cmd.Tag, std::string(error.Status) + " " + error.Text);
    return ImapGo::kOn;
  }
  Imap(conn).Out += ImapIdResponse();
  Reply(conn, cmd.Tag, "OK ID completed");
  return ImapGo::kOn;
}

const char *const kPrivacyRequired =
    "NO [PRIVACYREQUIRED] A password needs an encrypted connection: use STARTTLS first";

// Checks the tag (FrontConn::Tag) can travel to the session: it answers
// the logon.
bool TagFits(_Connection *conn, const char *command) {
  const std::string &tag = Front(conn).Tag;
  if (tag.size() + 1 + strlen(command) <= kMaxSessionField) return true;
  Reply(conn, tag, "BAD Tag too long");
  return false;
}

// LOGIN and AUTHENTICATE wipe their command as soon as it is parsed: they
// answer with the tag FrontConn keeps.
ImapGo CmdLogin(_Connection *conn, const ImapCommandView &cmd) {
  FrontConn &f = Front(conn);
  ImapLoginArgs args;
  ImapError error;
  bool parsed = ParseLogin(cmd.Args, args, error);
  WipeImapCommand(Imap(conn));
  const char *refusal = !ImapPlaintextLogonAllowed(conn) ? kPrivacyRequired : nullptr;
  if (!parsed || refusal != nullptr || !TagFits(conn, "LOGIN")) {
    WipeSecret(args.Password);
    if (!parsed) Reply(conn, f.Tag, std::string(error.Status) + " " + error.Text);
    else if (refusal != nullptr) Reply(conn, f.Tag, refusal);
    return ImapGo::kOn;
  }
  f.LogonCommand = "LOGIN";
  f.UserName = args.User.substr(0, kMaxImapUserName);
  // A name no account could have is checked under one no account has.
  if (args.User.size() > kMaxImapUserName) args.User.clear();
  return SubmitLogon(conn, args.User, args.Password);
}

ImapGo CmdAuthenticate(_Connection *conn, const ImapCommandView &cmd) {
  ImapConn &c = Imap(conn);
  FrontConn &f = Front(conn);
  ImapAuthenticateArgs args;
  ImapError error;
  bool parsed = ParseAuthenticate(cmd.Args, args, error);
  WipeImapCommand(c);
  const char *refusal = !parsed                           ? nullptr
                        : args.Mechanism != "PLAIN"        ? "NO Unsupported authentication mechanism"
                        : !ImapPlaintextLogonAllowed(conn) ? kPrivacyRequired
                                                           : nullptr;
  if (!parsed || refusal != nullptr || !TagFits(conn, "AUTHENTICATE")) {
    WipeSecret(args.Initial);
    if (!parsed) Reply(conn, f.Tag, std::string(error.Status) + " " + error.Text);
    else if (refusal != nullptr) Reply(conn, f.Tag, refusal);
    return ImapGo::kOn;
  }
  f.LogonCommand = "AUTHENTICATE";
  if (!args.bInitial) {
    // The response comes on a line of its own, outside the grammar.
    c.Out += "+ \r\n";
    f.bSaslResponse = true;
    ImapExpectRawLine(c.Reader);
    return ImapGo::kOn;
  }
  if (args.Initial == "=") args.Initial.clear();
  return TakePlain(conn, args.Initial);
}

// Looked up in this order; the name is upper case from the reader.
const FrontCommand kCommands[] = {
    {"CAPABILITY", false, CmdCapability}, {"NOOP", false, CmdNoop},
    {"LOGOUT", false, CmdLogout},         {"STARTTLS", false, CmdStartTls},
    {"LOGIN", true, CmdLogin},            {"AUTHENTICATE", true, CmdAuthenticate},
    {"ID", true, CmdId},
};

ImapGo FrontCommandHandler(_Connection *conn, const ImapCommandView &cmd) {
  ImapConn &c = Imap(conn);
  FrontConn &f = Front(conn);
  // Before logon a client has little to say: one that goes on and on is
  // probing, and is shown the door.
  if (++f.Commands > kMaxFrontCommands) {
    c.Out += "* BYE Too many commands before logon\r\n";
    c.bCloseAfterSend = true;
    return ImapGo::kOn;
  }
  f.Tag = std::string(cmd.Tag);
  for (const FrontCommand &command : kCommands) {
    if (cmd.bUid || cmd.Name != command.Name) continue;
    if (!command.bArgs && cmd.bHasArgs) {
      Reply(conn, cmd.Tag, "BAD Unexpected arguments");
      return ImapGo::kOn;
    }
    if (command.bArgs && !cmd.bHasArgs) {
      Reply(conn, cmd.Tag, "BAD Missing arguments");
      return ImapGo::kOn;
    }
    return command.Handler(conn, cmd);
  }
  Reply(conn, cmd.Tag, "BAD Command unknown or not valid before logon");
  return ImapGo::kOn;
}

ImapGo FrontRawLine(_Connection *conn, std::string_view line, bool cut) {
  FrontConn &f = Front(conn);
  std::string response(line);
  WipeImapCommand(Imap(conn));
  f.bSaslResponse = false;
  while (!response.empty() && (response.back() == ' ' || response.back() == '\t'))
    response.pop_back();
  if (response == "*") {
    Reply(conn, f.Tag, "BAD Authentication cancelled");
    return ImapGo::kOn;
  }
  if (cut) {
    WipeSecret(response);
    Reply(conn, f.Tag, "BAD Authentication response too long");
    return ImapGo::kOn;
  }
  return TakePlain(conn, response);
}

void ReleaseFront(ImapConn &c) { delete static_cast<FrontConn *>(c.Program); }

const ImapHandlers kFrontHandlers = {
    FrontCommandHandler,
    nullptr,   // APPEND is refused before logon
    nullptr,
    FrontRawLine,
    nullptr, nullptr, nullptr, nullptr,   // no IDLE before logon
    LogonDone,
    ReleaseFront,
    nullptr, nullptr, {},   // IMAP's own reader, no speech after TLS, IMAP's idle BYE
};

}  // namespace

bool ImapPlaintextLogonAllowed(const _Connection *conn) {
  return ConnectionEncrypted(conn) || ImapPlaintextLogonClients.Contains(conn->PeerIp);
}

bool SubmitImapLogon(_Connection *conn, LogonJob *job, SessionHandOff &handOff) {
  ImapConn &c = Imap(conn);
  c.Phase = kImapPhaseLogon;
  if (ImapLogonPool().Submit(job)) return true;
  c.Phase = kImapPhaseNone;
  handOff = SessionHandOff();
  return false;
}

bool HandOffLoggedOnClient(_Connection *conn, const LogonJob &job, SessionHandOff &handOff) {
  if (job.bLoggedOn && job.bSessionServes) {
    DropImapInput(Imap(conn));
    SessionHandOff taken = std::move(handOff);
    CompleteSessionHandOff(conn, taken, nullptr);
    return true;
  }
  handOff = SessionHandOff();
  return false;
}

bool StartImapLogonPool(const LogonPoolSettings &settings) {
  return ImapLogonPool().Start(EnginePort(), settings);
}

void GreetImapConnection(_Connection *conn) {
  auto *c = new (std::nothrow) ImapConn;
  if (!AttachImapConn(conn, c, &kFrontHandlers)) return;
  c->Program = new (std::nothrow) FrontConn;
  if (c->Program == nullptr) {
    CloseConnection(conn, false);
    return;
  }
  // What a client pipelines behind its logon fits the session's record.
  c->ReadBytes = kMaxSessionPendingInput;
  c->Out = "* OK [CAPABILITY " + Capabilities(conn) + "] " + ThisServiceDisplayName() +
           " ready\r\n";
  ImapAdvance(conn);
}
