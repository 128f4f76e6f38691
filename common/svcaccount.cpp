// svcaccount: see svcaccount.h.
#include "common/svcaccount.h"

#include <functional>
#include <string>
#include <utility>

#include "common/logging.h"
#include "common/zel.h"
#include "messages/zelmsg.h"
#include "platform/accounts.h"
#include "platform/privilege.h"
#include "platform/registry.h"
#include "platform/root.h"

namespace {

std::string ParentOf(const std::string &path) { return path.substr(0, path.rfind('/')); }

// Resolves the account; false (reported) when the start must fail.
bool ResolveServiceAccount(bool *switchUser, uid_t *uid, gid_t *gid) {
  *switchUser = false;
  if (!IsSuperUser() || ServiceAccount.empty()) return true;
  if (!LookUpAccount(ServiceAccount, uid, gid)) {
    long err = GetLastError();
    if (err != ERROR_NONE_MAPPED) {
      LogWin32Error(EVENTLOG_ERROR_TYPE, "getpwnam", err);
      return false;
    }
    // A bare machine (./zel run, a first start by hand): go on as root.
    LogEvent(EVENTLOG_WARNING_TYPE, MSG_NO_SERVICE_ACCOUNT, LogSafeText(ServiceAccount).c_str(),
             CurrentUserName().c_str());
    return true;
  }
  *switchUser = *uid != 0;
  return true;
}

}  // namespace

bool WillRunAsServiceAccount() {
  uid_t uid = 0;
  gid_t gid = 0;
  return IsSuperUser() && !ServiceAccount.empty() && LookUpAccount(ServiceAccount, &uid, &gid) &&
         uid != 0;
}

bool GiveCommonFilesToAccount(uid_t uid, gid_t gid) {
  const std::string database = RegistryDatabasePath();
  const std::string state = ParentOf(database);
  const std::pair<const char *, std::function<bool()>> steps[] = {
      // The spool root stays root's: an account that owned it could swap the
      // agent's directories in it for links.
      {"spool", [&] { return GiveDirectoryToAccount(MailSpoolDirectory, 0, 0) &&
                             OpenDirectoryToGroup(MailSpoolDirectory, gid); }},
      {"registry", [&] { return GiveDirectoryToAccount(state, 0, 0) &&
                                OpenDirectoryToGroup(state, gid) &&
                                GiveFileToAccount(database, 0, 0, false); }},
      {"event log", [&] { return OpenDirectoryToGroup(ParentOf(EventLogPath()), gid) &&
                                 GiveFileToAccount(EventLogPath(), uid, gid, true); }},
  };
  for (const auto &[what, step] : steps) {
    if (step()) continue;
    LogWin32Error(EVENTLOG_ERROR_TYPE, (std::string("chown ") + what).c_str(), GetLastError());
    return false;
  }
  for (const char *journal : {"-wal", "-shm"})
    GiveFileToAccount(database + journal, 0, 0, false);
  return true;
}

bool LeaveRootForServiceAccount(GiveToAccount give) {
  bool switchUser = false;
  uid_t uid = 0;
  gid_t gid = 0;
  if (!ResolveServiceAccount(&switchUser, &uid, &gid)) return false;
  if (switchUser && (!GiveCommonFilesToAccount(uid, gid) || !give(uid, gid))) return false;
  if (long rc = switchUser ? RegReopenReadOnly() : ERROR_SUCCESS; rc != ERROR_SUCCESS) {
    LogWin32Error(EVENTLOG_ERROR_TYPE, "RegReopenReadOnly", rc);
    return false;
  }
  if (ShedPrivileges(switchUser, uid, gid)) return true;
  LogWin32Error(EVENTLOG_ERROR_TYPE, "ShedPrivileges", GetLastError());
  return false;
}
