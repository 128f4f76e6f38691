// zelfetch: the POP3 server, service ZELFETCH.
//
// Hooks of the service entry layer, the server's settings and its start and
// stop sequence. The network engine and the POP3 dialogue hang off
// InitThisService.
#include <atomic>

#include "common/fileutils.h"
#include "common/loadcfig.h"
#include "common/logging.h"
#include "common/netcode.h"
#include "common/pconfig.h"
#include "common/service.h"
#include "common/str.h"
#include "common/zel.h"
#include "messages/zelmsg.h"
#include "platform/files.h"

const char *ThisServiceName() { return "ZELFETCH"; }
const char *ThisServiceDisplayName() { return "ZEL POP3 Server"; }
const char *ThisServiceVersion() { return "0.87"; }

namespace {

constexpr DWORD kDefaultPop3Port = 110;
constexpr DWORD kMinIdleSeconds = 600;          // idle limit: never below ten minutes
constexpr size_t kMaxMessageExtension = 9;

// The fetch settings (Parameters key), read at every start.
DWORD PortNo = kDefaultPop3Port;
std::string MessageExtension = "MSG";
DWORD IdleTimeout = kMinIdleSeconds;
std::atomic<bool> Pop3LogEnabled{false};
bool ImpersonationMode = false;
std::atomic<bool> Stopping{false};

void LoadFetchSettings() {
  Pop3logDirectory = SpoolPath(kPop3logDir);
  RegKey params;
  if (OpenParametersKey(params) != ERROR_SUCCESS) return;
  DWORD port = PortNo;
  if (QueryRegDword(params.get(), "PortNo", port)) PortNo = port == 0 ? kDefaultPop3Port : port;
  std::string ext;
  if (QueryRegString(params.get(), "MessageExtension", kMaxMessageExtension, ext))
    MessageExtension = ext.empty() ? "MSG" : ext;
  DWORD idle = IdleTimeout;
  if (QueryRegDword(params.get(), "Timeout", idle))
    IdleTimeout = idle < kMinIdleSeconds ? kMinIdleSeconds : idle;
  DWORD log = 0;
  if (QueryRegDword(params.get(), "Pop3LogEnabled", log)) Pop3LogEnabled = log != 0;
}

// The inbox template cut before its first "%", when that starts %USERNAME%.
bool MailboxRoot(std::string &root) {
  size_t pct = MailInboxDirectory.find('%');
  if (pct == std::string::npos ||
      !StartsWithNoCase(std::string_view(MailInboxDirectory).substr(pct), "%USERNAME%"))
    return false;
  root = MailInboxDirectory.substr(0, pct);
  return !root.empty();
}

bool CreateOneStartDirectory(const std::string &path, bool recursive, const char *event) {
  bool ok = recursive ? CreateDirectoryRecursively(path)
                      : CreateDirectory(path) || GetLastError() == ERROR_ALREADY_EXISTS;
  if (!ok) LogWin32Error(EVENTLOG_ERROR_TYPE, event, GetLastError());
  return ok;
}

bool CreateStartDirectories() {
  if (!CreateOneStartDirectory(MailSpoolDirectory, true, "CreateDirectory Spool")) return false;
  if (!CreateOneStartDirectory(Pop3logDirectory, false, "CreateDirectory Pop3Log")) return false;
  std::string root;
  if (MailboxRoot(root) && !CreateOneStartDirectory(root, true, "CreateDirectory Inbox"))
    return false;
  return true;
}

}  // namespace

long InitThisService() {
  StartupCheckPointHint(3000);
  LogEvent(EVENTLOG_INFORMATION_TYPE, MSG_SERVICE_STARTING, ThisServiceDisplayName(), nullptr);
  Stopping = false;

  StartupCheckPointHint(3000);  // socket library: nothing to start here

  StartupCheckPointHint(3000);
  SetConfigDefaults();
  LoadCriticalConfig();
  LoadGeneralConfigMain(kDomainListBytes);
  LoadFetchSettings();
  ConfigVersion = GetCounterValue(nullptr, "ConfigVersion");
  ImpersonationMode = StartsWithNoCase(MailInboxDirectory, "%HOME%");
  // The POP3 server starts without an identity: every account domain then
  // differs from the computer name and home directories are asked of a
  // domain controller.
  (void)InitNetCodeModule(kIdentityNameLengthFetch);
  if (!CreateStartDirectories()) return -1;

  StartupCheckPointHint(3000);
  StartupCheckPointHint(3000);
  if (!InitLogModule()) {
    LogWin32Error(EVENTLOG_ERROR_TYPE, "InitLogModule", GetLastError());
    return -1;
  }
  return 0;
}

void TermThisService() {
  Stopping = true;
  TermLogModule();
  LogEvent(EVENTLOG_INFORMATION_TYPE, MSG_SERVICE_TERMINATING, ThisServiceDisplayName(), nullptr);
}

void UserControl(DWORD) {}

int main(int argc, char **argv) { return ExitStatusFromCode(ServiceCommandLine(argc, argv)); }
