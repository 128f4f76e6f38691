// zelfetch: the POP3 server, service ZELFETCH.
//
// Contents: the service identity and hooks, and the start sequence, which
// loads the configuration (global values, then fetchcfg's settings),
// learns this computer's identity, creates the start directories (mbxsec)
// and starts the network engine with the POP3 dialogue (pop3dlg,
// maildrop) on it.
#include "ZELFETCH/fetchcfg.h"
#include "ZELFETCH/mbxsec.h"
#include "ZELFETCH/pop3dlg.h"
#include "common/loadcfig.h"
#include "common/logging.h"
#include "common/netcode.h"
#include "common/pconfig.h"
#include "common/service.h"
#include "common/zel.h"
#include "messages/zelmsg.h"
#include "net/netengine.h"
#include "platform/sync.h"

const char *ThisServiceName() { return "ZELFETCH"; }
const char *ThisServiceDisplayName() { return "ZEL POP3 Server"; }
const char *ThisServiceVersion() { return "0.87"; }

namespace {

bool ReadConfiguration() {
  SetConfigDefaults();
  LoadCriticalConfig();
  LoadGeneralConfigMain(kDomainListBytes);
  LoadFetchSettings();
  ConfigVersion = GetCounterValue(nullptr, "ConfigVersion");
  // The POP3 server starts without an identity: every account domain then
  // differs from the computer name and home directories are asked of a
  // domain controller.
  (void)InitNetCodeModule(kIdentityNameLengthFetch);
  return CreateStartDirectories();
}

}  // namespace

long InitThisService() {
  StartupCheckPointHint(3000);
  LogEvent(EVENTLOG_INFORMATION_TYPE, MSG_SERVICE_STARTING, ThisServiceDisplayName(), nullptr);

  // The socket library needs no start-up here; the checkpoint stays so the
  // checkpoint numbers of later steps are the same everywhere.
  StartupCheckPointHint(3000);

  StartupCheckPointHint(3000);
  if (!ReadConfiguration()) return -1;

  StartupCheckPointHint(3000);
  if (!InitLogModule()) {
    LogWin32Error(EVENTLOG_ERROR_TYPE, "InitLogModule", GetLastError());
    return -1;
  }

  StartupCheckPointHint(3000);
  NetEngineSettings settings;
  settings.Port = static_cast<uint16_t>(Pop3PortNo);
  settings.IdleSeconds = IdleTimeout;
  // Idle clients are found by the idle check, not by TCP keep-alives.
  settings.KeepAlive = false;
  NetEngineHooks hooks{GreetPop3Connection, Pop3Completion, ReleasePop3Dialogue};
  if (!StartNetEngine(settings, hooks)) return -1;
  return 0;
}

void TermThisService() {
  StopNetEngine();
  Sleep(1000);
  TermLogModule();
  LogEvent(EVENTLOG_INFORMATION_TYPE, MSG_SERVICE_TERMINATING, ThisServiceDisplayName(), nullptr);
}

void UserControl(DWORD) {}

int main(int argc, char **argv) { return ExitStatusFromCode(ServiceCommandLine(argc, argv)); }
