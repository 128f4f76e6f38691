// managesievesession: ManageSieve after logon, in a session process as the
// user; see managesieve.h.
#include <new>

#include "ZELIMAP/imapcfg.h"
#include "ZELIMAP/imapconn.h"
#include "ZELIMAP/managesieve.h"
#include "ZELIMAP/managesieveparse.h"
#include "common/logonhelper.h"
#include "common/mailaccess.h"
#include "common/sieve.h"
#include "common/sieveconf.h"
#include "common/sievestore.h"
#include "common/usermove.h"
#include "net/mailproxy.h"
#include "net/sessionhandoff.h"
#include "platform/eventlog.h"
#include "platform/helperproc.h"
#include "platform/mailboxdir.h"

namespace {

// One connection per session process: its state lives here.
struct SieveSession {
  MailboxDir Scripts;  // <mailbox>/sieve, opened as the user
  std::string UserName;
  SessionStart Start;
};

SieveSession *TheSession = nullptr;

// The session's part of its connection (ImapConn::Program).
struct SieveConnState {
  ManageSieveReader Reader;
  bool bLoggedOn = true;  // false after UNAUTHENTICATE
};

SieveConnState &State(_Connection *conn) {
  return *static_cast<SieveConnState *>(Imap(conn).Program);
}

std::string Num(long long n) { return std::to_string(n); }

const SieveLimits &Limits() { return ManageSieveSettings().Limits; }
const MailboxDir &Scripts() { return TheSession->Scripts; }

// A name a script may have; else the refusal is said.
bool NameOk(_Connection *conn, const std::string &name) {
  if (SieveScriptNameIsValid(name)) return true;
  SayManageSieve(conn, "NO", "",
                 "Invalid script name (1 to 128 bytes, no \"/\", no control characters, "
                 "not starting with \".\")");
  return false;
}

bool Exists(const std::string &name) { return Scripts().FileExists(SieveScriptFileName(name)); }

bool HasRoomFor(_Connection *conn, const std::string &name, uint64_t size) {
  if (size > Limits().MaxScriptBytes) {
    SayManageSieve(conn, "NO", "QUOTA/MAXSIZE",
                   "A script may have at most " +
                       Num(static_cast<long long>(Limits().MaxScriptBytes)) + " bytes");
    return false;
  }
  if (!Exists(name) && ListSieveScripts(Scripts()).size() >= ManageSieveSettings().MaxScripts) {
    SayManageSieve(conn, "NO", "QUOTA/MAXSCRIPTS",
                   "You may keep at most " + Num(ManageSieveSettings().MaxScripts) + " scripts");
    return false;
  }
  return true;
}

// Compiles text: true, or false with the refusal (the line) said.
bool CompilesOk(_Connection *conn, const std::string &text) {
  SieveScript script;
  SieveError error;
  if (SieveCompile(text, Limits(), {}, &script, &error)) return true;
  SayManageSieve(conn, "NO", "", error.Describe());
  return false;
}

void Failed(_Connection *conn, const std::string &what) {
  SayManageSieve(conn, "NO", "TRYLATER", what + " (" + Num(GetLastError()) + ")");
}

void PutScript(_Connection *conn, ManageSieveCommand &cmd) {
  const std::string &name = cmd.Args[0].Text;
  const std::string &text = cmd.Args[1].Text;
  if (!NameOk(conn, name) || !HasRoomFor(conn, name, text.size()) || !CompilesOk(conn, text))
    return;
  if (!StoreSieveScript(Scripts(), name, text)) return Failed(conn, "The script cannot be stored");
  SayManageSieve(conn, "OK", "", "Script stored");
}

void ListScripts(_Connection *conn, ManageSieveCommand &) {
  std::string active = ActiveSieveScript(Scripts());
  std::string &out = Imap(conn).Out;
  for (const std::string &name : ListSieveScripts(Scripts()))
    out += ManageSieveString(name) + (name == active ? " ACTIVE\r\n" : "\r\n");
  SayManageSieve(conn, "OK", "", "Listed");
}

void SetActive(_Connection *conn, ManageSieveCommand &cmd) {
  const std::string &name = cmd.Args[0].Text;
  if (!name.empty()) {
    if (!NameOk(conn, name)) return;
    if (!Exists(name))
      return SayManageSieve(conn, "NO", "NONEXISTENT", "There is no script of that name");
  }
  if (!ActivateSieveScript(Scripts(), name)) return Failed(conn, "The active script cannot be set");
  SayManageSieve(conn, "OK", "", name.empty() ? "No script is active" : "Script activated");
}

void GetScript(_Connection *conn, ManageSieveCommand &cmd) {
  const std::string &name = cmd.Args[0].Text;
  if (!NameOk(conn, name)) return;
  std::string text;
  if (!ReadSieveScript(Scripts(), name, Limits().MaxScriptBytes, text)) {
    if (GetLastError() == ENOENT)
      return SayManageSieve(conn, "NO", "NONEXISTENT", "There is no script of that name");
    return Failed(conn, "The script cannot be read");
  }
  Imap(conn).Out += "{" + Num(static_cast<long long>(text.size())) + "}\r\n" + text + "\r\n";
  SayManageSieve(conn, "OK", "", "");
}

void DeleteScript(_Connection *conn, ManageSieveCommand &cmd) {
  const std::string &name = cmd.Args[0].Text;
  if (!NameOk(conn, name)) return;
  if (!Exists(name))
    return SayManageSieve(conn, "NO", "NONEXISTENT", "There is no script of that name");
  if (ActiveSieveScript(Scripts()) == name)
    return SayManageSieve(conn, "NO", "ACTIVE",
                          "The active script cannot be deleted: deactivate it first");
  if (!RemoveSieveScript(Scripts(), name)) return Failed(conn, "The script cannot be deleted");
  SayManageSieve(conn, "OK", "", "Script deleted");
}

void RenameScript(_Connection *conn, ManageSieveCommand &cmd) {
  const std::string &from = cmd.Args[0].Text;
  const std::string &to = cmd.Args[1].Text;
  if (!NameOk(conn, from) || !NameOk(conn, to)) return;
  if (!Exists(from))
    return SayManageSieve(conn, "NO", "NONEXISTENT", "There is no script of that name");
  if (Exists(to))
    return SayManageSieve(conn, "NO", "ALREADYEXISTS", "A script of the new name exists");
  if (!RenameSieveScript(Scripts(), from, to)) return Failed(conn, "The script cannot be renamed");
  SayManageSieve(conn, "OK", "", "Script renamed");
}

void CmdCapability(_Connection *conn, ManageSieveCommand &) {
  Imap(conn).Out +=
      SieveCapabilityListing(false, false, State(conn).bLoggedOn ? TheSession->UserName : "");
}

// STARTTLS and AUTHENTICATE: TLS is the front's, and the session cannot
// check a password.
void CmdLoggedOnAlready(_Connection *conn, ManageSieveCommand &) {
  SayManageSieve(
      conn, "NO", "",
      State(conn).bLoggedOn ? "Already authenticated" : "Authenticate again on a new connection");
}

void CmdUnauthenticate(_Connection *conn, ManageSieveCommand &) {
  State(conn).bLoggedOn = false;
  SayManageSieve(conn, "OK", "", "No longer authenticated");
}

void CmdHaveSpace(_Connection *conn, ManageSieveCommand &cmd) {
  if (NameOk(conn, cmd.Args[0].Text) && HasRoomFor(conn, cmd.Args[0].Text, cmd.Args[1].Number))
    SayManageSieve(conn, "OK", "", "");
}

void CmdCheckScript(_Connection *conn, ManageSieveCommand &cmd) {
  if (cmd.Args[0].Text.size() > Limits().MaxScriptBytes)
    SayManageSieve(conn, "NO", "QUOTA/MAXSIZE", "The script is too big");
  else if (CompilesOk(conn, cmd.Args[0].Text))
    SayManageSieve(conn, "OK", "", "");
}

// Every state.
const ManageSieveEntry kAnyStateCommands[] = {
    {"CAPABILITY", "", CmdCapability},
    {"NOOP", nullptr, ManageSieveNoop},
    {"LOGOUT", "", ManageSieveLogout},
    {"STARTTLS", nullptr, CmdLoggedOnAlready},
    {"AUTHENTICATE", nullptr, CmdLoggedOnAlready},
};

// Logged on only.
const ManageSieveEntry kLoggedOnCommands[] = {
    {"UNAUTHENTICATE", "", CmdUnauthenticate},
    {"HAVESPACE", "sn", CmdHaveSpace},
    {"PUTSCRIPT", "ss", PutScript},
    {"CHECKSCRIPT", "s", CmdCheckScript},
    {"LISTSCRIPTS", "", ListScripts},
    {"SETACTIVE", "s", SetActive},
    {"GETSCRIPT", "s", GetScript},
    {"DELETESCRIPT", "s", DeleteScript},
    {"RENAMESCRIPT", "ss", RenameScript},
};

void Command(_Connection *conn, ManageSieveCommand &cmd) {
  const ManageSieveEntry *entry = FindManageSieveEntry(kAnyStateCommands, cmd.Name);
  if (entry == nullptr) {
    entry = FindManageSieveEntry(kLoggedOnCommands, cmd.Name);
    if (entry != nullptr && !State(conn).bLoggedOn)
      return SayManageSieve(conn, "NO", "", "Authenticate first");
  }
  if (entry == nullptr) return SayManageSieve(conn, "NO", "", "Unknown command");
  RunManageSieveEntry(conn, *entry, cmd);
}

ImapGo SessionInput(_Connection *conn) {
  ManageSieveCommand cmd;
  if (NextManageSieveCommand(conn, State(conn).Reader, cmd) == ManageSieveEvent::kCommand)
    Command(conn, cmd);
  return ImapGo::kOn;
}

void ReleaseSession(ImapConn &c) { delete static_cast<SieveConnState *>(c.Program); }

ImapGo NoCommand(_Connection *, const ImapCommandView &) { return ImapGo::kOn; }

const ImapHandlers kSieveSessionHandlers = {
    NoCommand,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    ReleaseSession,
    SessionInput,
    nullptr,
    "BYE \"Idle for too long\"\r\n",
};

// The engine's first step on the handed connection: the logon's OK.
void Resume(_Connection *conn) {
  auto *c = new (std::nothrow) ImapConn;
  if (!AttachImapConn(conn, c, &kSieveSessionHandlers)) return;
  auto *s = new (std::nothrow) SieveConnState;
  c->Program = s;
  if (s == nullptr || !PutImapInput(*c, TheSession->Start.PendingInput)) {
    CloseConnection(conn, false);
    return;
  }
  s->Reader.MaxLiteralBytes = Limits().MaxScriptBytes + 2 * kMaxManageSieveQuoted;
  c->bGatherReplies = true;
  c->Out = ManageSieveResponse("OK", "", "Logged in");
  ImapAdvance(conn);
}

std::string Refusal(const std::string &text) { return ManageSieveResponse("NO", "TRYLATER", text); }

}  // namespace

long RunSieveSession(LogonJob &job, SessionStart &start) {
  SetSessionControl(kSessionControlFd);
  static SieveSession session;
  TheSession = &session;
  session.UserName = start.UserName;
  // Scripts live beside the mailbox: a mailbox on another mail host has
  // them there, and one being moved is left alone until it has arrived.
  std::string host;
  bool lookupFailed = false;
  if (UserMoveInProgress(job.Name)) {
    SendSessionWord(kControlRefused, Refusal("Your mailbox is being moved; try again later"));
    return 1;
  }
  if (MailProxy.bLogons && ProxyMailHost(job.Name, host, &lookupFailed)) {
    SendSessionWord(kControlRefused,
                    ManageSieveResponse("NO", "REFERRAL " + ManageSieveString("sieve://" + host),
                                        "Your scripts are kept on " + host));
    return 1;
  }
  if (lookupFailed) {
    SendSessionWord(kControlRefused, Refusal("The directory cannot say where your mailbox is now"));
    return 1;
  }
  std::string directory;
  long error = ERROR_SUCCESS;
  MailboxReach reach = ReachUserMailbox(start.UserName, job.Domain, job.Token, directory, error);
  if (reach != MailboxReach::kReached) {
    SendSessionWord(kControlRefused,
                    Refusal(reach == MailboxReach::kMissing
                                ? "There is no mailbox for " + start.UserName
                                : "The mailbox cannot be opened (" + Num(error) + ")"));
    return 1;
  }
  if (!BecomeSessionUser(job.Token)) {
    SendSessionWord(kControlRefused,
                    Refusal("The session could not start (" + Num(GetLastError()) + ")"));
    return 1;
  }
  if (long rc = session.Scripts.Open(directory + "/" + kSieveDirName, job.Token, true);
      rc != ERROR_SUCCESS) {
    SendSessionWord(kControlRefused, Refusal("The scripts cannot be opened (" + Num(rc) + ")"));
    return 1;
  }
  session.Start = std::move(start);
  if (!SendSessionWord(kControlServing, "")) return 1;
  NetEngineSettings settings;
  settings.Workers = 1;
  settings.IdleSeconds = ImapIdleSeconds;
  settings.KeepAlive = false;
  NetEngineHooks hooks{nullptr, ImapCompletion, ReleaseImapConn};
  return RunHandedConnection(UniqueFd(kSessionDataFd), session.Start, settings, hooks, Resume) ? 0
                                                                                               : 1;
}
