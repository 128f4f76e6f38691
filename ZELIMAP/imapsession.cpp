// imapsession: see imapsession.h.
#include "ZELIMAP/imapsession.h"

#include <new>
#include <string>

#include "ZELIMAP/imapcaps.h"
#include "ZELIMAP/imapcfg.h"
#include "ZELIMAP/imapcmd.h"
#include "ZELIMAP/imapfolder.h"
#include "ZELIMAP/imapfetch.h"
#include "ZELIMAP/imapmbox.h"
#include "ZELIMAP/managesieve.h"
#include "common/logging.h"
#include "common/logonhelper.h"
#include "common/mailaccess.h"
#include "common/zel.h"
#include "net/mailproxy.h"
#include "net/sessionhandoff.h"
#include "platform/eventlog.h"
#include "platform/helperproc.h"

namespace {

// The workers of a session: two, so that one connection's long FETCH never
// holds up another's IDLE notice.
constexpr unsigned kSessionWorkers = 2;

std::string Num(long long n) { return std::to_string(n); }

// The engine's first step on each connection: the logon's tagged OK.
void Resume(_Connection *conn) {
  SessionConnection &adopted = CurrentAdoption();
  // This session serves the mailbox here: a password the front offered for
  // a proxied logon is not needed.
  std::string offered;
  TakeOfferedPassword(adopted.Control.Get(), offered);
  auto *c = new (std::nothrow) ImapConn;
  auto *s = new (std::nothrow) SessionConn;
  std::string tag, command;
  if (c == nullptr || s == nullptr || !SplitLogonCommand(adopted.Start.LogonCommand, tag, command)) {
    delete c;
    delete s;
    (void)SendSessionWord(adopted.Control.Get(), kControlRefused,
                          "* BYE The session cannot take the connection now\r\n");
    CloseConnection(conn, false);
    return;
  }
  c->Program = s;
  s->Control = std::move(adopted.Control);
  s->Start = std::move(adopted.Start);
  if (!AttachImapConn(conn, c, &kSessionHandlers)) return;
  c->State = kImapAuthenticated;
  c->bGatherReplies = true;
  c->Reader.AppendLimit = ImapAppendLimit;
  ImapCapabilityContext caps;
  caps.bLoggedOn = true;
  c->Out = tag + " OK [CAPABILITY " + ImapCapabilityText(caps) + "] " + command + " completed\r\n";
  PrepareSessionConn(conn);
  if (!PutImapInput(*c, s->Start.PendingInput) ||
      !SendSessionWord(s->Control.Get(), kControlServing, "")) {
    CloseConnection(conn, false);
    return;
  }
  ImapAdvance(conn);
}

// The reply the front sends for a session that cannot start.
std::string Refusal(const std::string &tag, const std::string &text) {
  return (tag.empty() ? std::string("*") : tag) + " NO [UNAVAILABLE] " + text + "\r\n";
}

// A proxied user's session serves one connection: its door is closed, so
// the front starts a session for each later connection of the user.
bool LeaveForMailHost(void *token) {
  UniqueFd door(kSessionDoorFd);
  door.Reset();
  return BecomeSessionUser(*static_cast<LogonToken *>(token));
}

// A user whose mailbox another mail host holds is served there
// (net/mailproxy): true with the exit status when this session did so.
bool ServedElsewhere(LogonJob &job, SessionStart &start, const std::string &tag, int *status) {
  ProxySession proxied;
  proxied.Protocol = ProxyProtocol::kImap;
  proxied.UserName = start.UserName;
  proxied.Tag = tag;
  proxied.PendingInput = start.PendingInput;
  proxied.DataFd = kSessionDataFd;
  proxied.ControlFd = kSessionControlFd;
  TakeOfferedPassword(kSessionControlFd, proxied.Password);
  return ServeIfElsewhere(job.Name, proxied, LeaveForMailHost, &job.Token, status);
}

}  // namespace

SessionConn::~SessionConn() { DropView(View); }

bool SplitLogonCommand(std::string_view logon, std::string &tag, std::string &command) {
  size_t space = logon.rfind(' ');
  if (space == std::string_view::npos || space == 0 || space + 1 == logon.size()) return false;
  tag.assign(logon.substr(0, space));
  command.assign(logon.substr(space + 1));
  return true;
}

long RunImapSession(bool (*readSettings)()) {
  NameThisProcess("zel-imap");
  LogonJob job;
  std::string startWire, tag, command;
  SessionStart start;
  bool read = ReadSessionLaunch(job, startWire) && DecodeSessionStart(startWire, start) &&
              readSettings();
  if (read && start.Protocol == kSieveSessionProtocol) {
    // ManageSieve: a session of its own per connection (managesieve.h).
    (void)OpenEventLog();
    return RunSieveSession(job, start);
  }
  if (!read || !SplitLogonCommand(start.LogonCommand, tag, command)) {
    SendSessionWord(kSessionControlFd, kControlRefused,
                    Refusal(tag, "The session could not start"));
    return 1;
  }
  // Its events still reach the log once it is the user.
  (void)OpenEventLog();
  int status = 0;
  if (ServedElsewhere(job, start, tag, &status)) return status;
  std::string directory;
  long error = ERROR_SUCCESS;
  MailboxReach reach = ReachUserMailbox(start.UserName, job.Domain, job.Token, directory, error);
  if (reach != MailboxReach::kReached) {
    SendSessionWord(kSessionControlFd, kControlRefused,
                    Refusal(tag, reach == MailboxReach::kMissing
                                     ? "There is no mailbox for " + start.UserName
                                     : "The mailbox cannot be opened (" + Num(error) + ")"));
    return 1;
  }
  if (!BecomeSessionUser(job.Token)) {
    SendSessionWord(kSessionControlFd, kControlRefused,
                    Refusal(tag, "The session could not start (" + Num(GetLastError()) + ")"));
    return 1;
  }
  std::string refusal;
  if (!OpenSessionMailbox(directory, refusal)) {
    SendSessionWord(kSessionControlFd, kControlRefused, Refusal(tag, refusal));
    return 1;
  }
  NetEngineSettings settings;
  settings.Workers = kSessionWorkers;
  settings.IdleSeconds = ImapIdleSeconds;
  settings.KeepAlive = false;
  NetEngineHooks hooks{nullptr, ImapCompletion, ReleaseImapConn};
  SessionConnection first;
  first.Data.Reset(kSessionDataFd);
  first.Control.Reset(kSessionControlFd);
  first.Start = std::move(start);
  bool ran = RunSharedSession(std::move(first), UniqueFd(kSessionDoorFd), settings, hooks, Resume,
                              kSessionGraceMs);
  CloseSessionMailbox();
  return ran ? 0 : 1;
}
