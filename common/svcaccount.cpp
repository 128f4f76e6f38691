// svcaccount: see svcaccount.h.
#include "common/svcaccount.h"

#include <string>

#include "common/fileutils.h"
#include "common/logging.h"
#include "common/zel.h"
#include "messages/zelmsg.h"
#include "platform/accounts.h"
#include "platform/msgcounter.h"
#include "platform/privilege.h"
#include "platform/registry.h"
#include "platform/root.h"

namespace {

// How long the hand-over waits for the counter's mutex.
constexpr DWORD kCounterWaitMs = 10000;

std::string ParentOf(const std::string &path) { return path.substr(0, path.rfind('/')); }

// The counter's store and the mutex's file exist before they are handed
// over: root must not create them later, while the account runs.
bool PrepareCounter() {
  long rc = EnsureMsgCounter(kCounterWaitMs);
  if (rc == ERROR_SUCCESS) return true;
  SetLastError(rc);
  return false;
}

}  // namespace

bool ResolveServiceAccountIds(ServiceAccountIds *ids) {
  *ids = ServiceAccountIds();
  if (!IsSuperUser() || ServiceAccount.empty()) return true;
  if (!LookUpAccount(ServiceAccount, &ids->Uid, &ids->Gid)) {
    long err = GetLastError();
    if (err != ERROR_NONE_MAPPED) {
      LogWin32Error(EVENTLOG_ERROR_TYPE, "getpwnam", err);
      return false;
    }
    LogEvent(EVENTLOG_WARNING_TYPE, MSG_NO_SERVICE_ACCOUNT, LogSafeText(ServiceAccount).c_str(),
             CurrentUserName().c_str());
    return true;
  }
  ids->Switch = ids->Uid != 0;
  return true;
}

bool WillRunAsServiceAccount() {
  uid_t uid = 0;
  gid_t gid = 0;
  return IsSuperUser() && !ServiceAccount.empty() && LookUpAccount(ServiceAccount, &uid, &gid) &&
         uid != 0;
}

bool RunHandOverSteps(std::initializer_list<HandOverStep> steps) {
  for (const auto &[what, step] : steps) {
    if (step()) continue;
    LogWin32Error(EVENTLOG_ERROR_TYPE, (std::string("chown ") + what).c_str(), GetLastError());
    return false;
  }
  return true;
}

bool GiveCommonFilesToAccount(uid_t uid, gid_t gid) {
  const std::string database = RegistryDatabasePath();
  const std::string state = ParentOf(database);
  bool done = RunHandOverSteps({
      // The spool root stays root's: an account that owned it could swap the
      // other directories in it for links.
      {"spool", [&] { return GiveDirectoryToAccount(MailSpoolDirectory, 0, 0) &&
                             OpenDirectoryToGroup(MailSpoolDirectory, gid); }},
      {"registry", [&] { return GiveDirectoryToAccount(state, 0, 0) &&
                                OpenDirectoryToGroup(state, gid) &&
                                GiveFileToAccount(database, 0, 0, false); }},
      {"event log", [&] { return OpenDirectoryToGroup(ParentOf(EventLogPath()), gid) &&
                                 GiveFileToAccount(EventLogPath(), uid, gid, true); }},
  });
  // The database's journals, when an older installation left them to the
  // account, are root's again.
  for (const char *journal : {"-wal", "-shm"}) GiveFileToAccount(database + journal, 0, 0, false);
  return done;
}

bool GiveRuntimeFilesToAccount(uid_t uid, gid_t gid) {
  const std::string counter = ParentOf(MsgCounterPath());
  const std::string mutexes = MutexDirectory();
  return GiveCommonFilesToAccount(uid, gid) &&
         RunHandOverSteps({
             {"incoming", [&] { return GiveDirectoryToAccount(MailQueueDirectory, uid, gid); }},
             {"counter", [&] { return PrepareCounter() && GiveDirectoryToAccount(counter, uid, gid) &&
                                      GiveFilesToAccount(counter, uid, gid); }},
             {"mutex", [&] { return CreateDirectoryRecursively(mutexes) &&
                                    GiveDirectoryToAccount(mutexes, uid, gid) &&
                                    GiveFilesToAccount(mutexes, uid, gid); }},
         });
}

bool LeaveRootForServiceAccount(GiveToAccount give) {
  ServiceAccountIds ids;
  if (!ResolveServiceAccountIds(&ids)) return false;
  if (ids.Switch && (!GiveCommonFilesToAccount(ids.Uid, ids.Gid) || !give(ids.Uid, ids.Gid)))
    return false;
  if (long rc = ids.Switch ? RegReopenReadOnly() : ERROR_SUCCESS; rc != ERROR_SUCCESS) {
    LogWin32Error(EVENTLOG_ERROR_TYPE, "RegReopenReadOnly", rc);
    return false;
  }
  if (ShedPrivileges(ids.Switch, ids.Uid, ids.Gid)) return true;
  LogWin32Error(EVENTLOG_ERROR_TYPE, "ShedPrivileges", GetLastError());
  return false;
}
