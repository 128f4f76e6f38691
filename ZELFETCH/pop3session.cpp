// pop3session: see pop3session.h.
#include "ZELFETCH/pop3session.h"

#include <errno.h>

#include <new>
#include <string>

#include "ZELFETCH/fetchcfg.h"
#include "ZELFETCH/maildrop.h"
#include "ZELFETCH/pop3dlg.h"
#include "common/fileutils.h"
#include "common/logging.h"
#include "common/mailaccess.h"
#include "common/netcode.h"
#include "common/sessionstart.h"
#include "common/zel.h"
#include "messages/zelmsg.h"
#include "net/mailproxy.h"
#include "net/sessionhandoff.h"
#include "platform/eventlog.h"
#include "platform/fileview.h"
#include "platform/helperproc.h"
#include "platform/mailboxdir.h"
#include "platform/privilege.h"

namespace {

// The dialogue the session resumes with: made before the engine runs,
// handed to the connection by Resume.
_Pop3Dialogue *Prepared = nullptr;
uint32_t PreparedMs = 0;

std::string Num(long long n) { return std::to_string(n); }

const char *CommandOf(const _Pop3Dialogue &dlg) { return dlg.bSaslLogon ? "AUTH" : "PASS"; }

// Finds the mailbox and makes it when allowed, as root (a directory made
// under the common root is given to its owner); false with the reply set.
bool ReachMailbox(_Pop3Dialogue &dlg, const LogonJob &job) {
  long rc = ERROR_SUCCESS;
  MailboxReach reach = ReachUserMailbox(dlg.UserName, job.Domain, job.Token,
                                        dlg.MailboxDirectory, rc);
  if (reach == MailboxReach::kReached) return true;
  if (reach == MailboxReach::kNoDirectory) {
    dlg.Reply = "-ERR " + dlg.UserName + " logon failed at point 4 in " + CommandOf(dlg) + "\r\n";
    return false;
  }
  if (reach == MailboxReach::kMissing)
    dlg.Reply = "-ERR " + dlg.UserName + " does not have mailbox [" + MailInboxDirectory +
                "], or error(" + Num(ERROR_PATH_NOT_FOUND) + ")\r\n";
  else
    dlg.Reply = "-ERR " + dlg.UserName + " failed to create mailbox [" + MailInboxDirectory +
                "], or error(" + Num(rc) + ")\r\n";
  return false;
}

// As the user from now on: its identity, or this process's own when it
// never was root. A token without an identity cannot be served by root.
bool BecomeUser(_Pop3Dialogue &dlg, const LogonToken &token) {
  if (BecomeSessionUser(token)) return true;
  dlg.Reply = "-ERR [SYS/TEMP] " + dlg.UserName + " logon failed (" + Num(GetLastError()) +
              ") at point 5 in " + CommandOf(dlg) + "\r\n";
  return false;
}

// Locks and scans the mailbox as the user; false with the reply set.
bool OpenMaildrop(_Pop3Dialogue &dlg) {
  ZEL_LOCK_HANDLE lock = INVALID_LOCK_HANDLE;
  if (!LockDir(dlg.MailboxDirectory.c_str(), 0, &lock)) {
    // zelbase leaves its reason in errno.
    dlg.Reply = "-ERR unable to lock " + dlg.UserName + "'s mailbox (" + Num(errno) + ")\r\n";
    return false;
  }
  dlg.Lock.Reset(lock);
  dlg.MailboxFd.Reset(OpenDirectory(dlg.MailboxDirectory));
  if (!dlg.MailboxFd.Valid() || !ReadMaildrop(dlg)) {
    dlg.Reply = "-ERR unable to read " + dlg.UserName + "'s mailbox (" + Num(GetLastError()) +
                ")\r\n";
    return false;
  }
  dlg.Reply = "+OK " + dlg.UserName + "'s mailbox has " + Num(dlg.NumberOfMessages) +
              " message(s) (" + Num(static_cast<long long>(dlg.CurrentOctets)) + " octets)\r\n";
  return true;
}

void SendSessionLogLine(const std::string &line) { SessionLogLine(line); }

bool BecomeTokenUser(void *token) { return BecomeSessionUser(*static_cast<LogonToken *>(token)); }

// A user whose mailbox another mail host holds is served there
// (net/mailproxy): true with the exit status when this session did so.
bool ServedElsewhere(LogonJob &job, const SessionStart &start, int *status) {
  ProxySession proxied;
  proxied.Protocol = ProxyProtocol::kPop3;
  proxied.UserName = start.UserName;
  proxied.PendingInput = start.PendingInput;
  proxied.DataFd = kSessionDataFd;
  proxied.ControlFd = kSessionControlFd;
  TakeOfferedPassword(kSessionControlFd, proxied.Password);
  return ServeIfElsewhere(job.Name, proxied, BecomeTokenUser, &job.Token, status);
}

// The engine's first step on the handed connection: the logon's reply.
void Resume(_Connection *conn) {
  conn->Dialogue = Prepared;
  Prepared = nullptr;
  ArmConnectionDeadlineMs(conn, PreparedMs);
  _Pop3Dialogue &dlg = PopDlg(conn);
  SendReply(conn, dlg.Reply, kStateTransReply);
}

}  // namespace

long RunPop3Session(bool (*readSettings)()) {
  SetSessionControl(kSessionControlFd);
  NameThisProcess("zel-pop3");
  LogonJob job;
  std::string startWire;
  SessionStart start;
  auto *dlg = new (std::nothrow) _Pop3Dialogue;
  if (dlg == nullptr || !ReadSessionLaunch(job, startWire) ||
      !DecodeSessionStart(startWire, start) || !readSettings()) {
    SendSessionWord(kControlRefused, "-ERR [SYS/TEMP] logon failed at point 6\r\n");
    return 1;
  }
  dlg->UserName = start.UserName;
  dlg->bSaslLogon = start.LogonCommand == "AUTH";
  dlg->Pending = start.PendingInput;
  dlg->Cmd.bHasWord = true;
  dlg->Cmd.Word = start.LogonCommand;
  SessionEncrypted = start.bEncrypted;
  SessionTlsAvailable = start.bTlsAvailable;
  // Its events still reach the log once it is the user.
  (void)OpenEventLog();
  int status = 0;
  if (ServedElsewhere(job, start, &status)) {
    delete dlg;
    return status;
  }
  if (!ReachMailbox(*dlg, job) || !BecomeUser(*dlg, job.Token) || !OpenMaildrop(*dlg)) {
    SendSessionWord(kControlRefused, dlg->Reply);
    delete dlg;
    return 1;
  }
  Pop3LogSink = SendSessionLogLine;
  Prepared = dlg;
  PreparedMs = start.MsLeft;
  if (!SendSessionWord(kControlServing, "")) return 1;
  NetEngineSettings settings;
  settings.Workers = 1;
  settings.IdleSeconds = IdleTimeout;
  settings.KeepAlive = false;
  NetEngineHooks hooks{nullptr, Pop3Completion, ReleasePop3Dialogue};
  return RunHandedConnection(UniqueFd(kSessionDataFd), start, settings, hooks, Resume) ? 0 : 1;
}
