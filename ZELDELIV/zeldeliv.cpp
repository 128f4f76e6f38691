// zeldeliv: the delivery agent, service ZELDELIV.
//
// Hooks of the service entry layer, the agent's settings and its start and
// stop sequence. InitThisService returns the number of the step that failed,
// so an administrator can tell from event 40 where the start stopped.
#include <atomic>
#include <memory>

#include "common/fileutils.h"
#include "common/loadcfig.h"
#include "common/logging.h"
#include "common/netcode.h"
#include "common/pconfig.h"
#include "common/service.h"
#include "common/zel.h"
#include "messages/zelmsg.h"
#include "platform/sync.h"

const char *ThisServiceName() { return "ZELDELIV"; }
const char *ThisServiceDisplayName() { return "ZEL SMTP Delivery Agent"; }
const char *ThisServiceVersion() { return "0.86"; }

// The agent's settings (Parameters key), in seconds where they are times.
DWORD SendTimeout0 = 300;
DWORD ReceiveTimeout0 = 300;
DWORD ReceiveTimeout1 = 600;
DWORD SMTPTimeout = 120;
std::atomic<bool> OutlogEnabled{false};

// The stop event of the agent's threads.
std::unique_ptr<ZelEvent> hTerminating;

namespace {

// Start-up results: the step that failed.
constexpr long kFailSpool = 3;
constexpr long kFailAccounts = 5;
constexpr long kFailLogModule = 6;
constexpr long kFailStopEvent = 8;

// A time-out is taken only when it is present and nonzero.
void ReadTimeout(HKEY key, const char *name, DWORD &value) {
  DWORD v = 0;
  if (QueryRegDword(key, name, v) && v != 0) value = v;
}

void LoadDeliverySettings() {
  RegKey params;
  if (OpenParametersKey(params) != ERROR_SUCCESS) return;
  ReadTimeout(params.get(), "SendTimeout0", SendTimeout0);
  ReadTimeout(params.get(), "ReceiveTimeout0", ReceiveTimeout0);
  ReadTimeout(params.get(), "ReceiveTimeout1", ReceiveTimeout1);
  ReadTimeout(params.get(), "Timeout", SMTPTimeout);
  DWORD outlog = 0;
  QueryRegDword(params.get(), "MailOutlogEnabled", outlog);
  OutlogEnabled = outlog != 0;
}

void FormSpoolPaths() {
  MailQueueDirectory = SpoolPath(kIncomingDir);
  MailHoldingDirectory = SpoolPath(kHoldingDir);
  MailDomainsDirectory = SpoolPath(kDomainsDir);
  MailListsDirectory = SpoolPath(kListsDir);
  MailOutlogDirectory = SpoolPath(kOutlogDir);
  MailDeadDirectory = SpoolPath(kDeadDir);
}

void ReadConfig() {
  SetConfigDefaults();
  LoadCriticalConfig();
  LoadGeneralConfigMain(kDomainListBytes);
  FormSpoolPaths();
  LoadDeliverySettings();
}

}  // namespace

long InitThisService() {
  StartupCheckPointHint(3000);
  LogEvent(EVENTLOG_INFORMATION_TYPE, MSG_SERVICE_STARTING, ThisServiceDisplayName(), nullptr);

  StartupCheckPointHint(3000);  // socket library: nothing to start here

  StartupCheckPointHint(3000);
  ReadConfig();

  StartupCheckPointHint(3000);
  if (!CreateSpoolDirectories(
          {kIncomingDir, kHoldingDir, kDomainsDir, kOutlogDir, kDeadDir, kListsDir}))
    return kFailSpool;

  StartupCheckPointHint(3000);  // routing module
  StartupCheckPointHint(3000);
  if (!InitNetCodeModule(kIdentityNameLengthDeliv)) return kFailAccounts;

  StartupCheckPointHint(3000);
  if (!InitLogModule()) return kFailLogModule;

  StartupCheckPointHint(3000);
  hTerminating = std::make_unique<ZelEvent>(true, false);
  if (!hTerminating->Valid()) {
    LogWin32Error(EVENTLOG_ERROR_TYPE, "CreateEvent", GetLastError());
    hTerminating.reset();
    return kFailStopEvent;
  }

  StartupCheckPointHint(3000);  // the scanning thread
  return 0;
}

void TermThisService() {
  if (hTerminating) {
    hTerminating->Set();
    Sleep(1000);
    hTerminating.reset();
  }
  TermLogModule();
  LogEvent(EVENTLOG_INFORMATION_TYPE, MSG_SERVICE_TERMINATING, ThisServiceDisplayName(), nullptr);
}

void UserControl(DWORD) {}

int main(int argc, char **argv) { return ExitStatusFromCode(ServiceCommandLine(argc, argv)); }
