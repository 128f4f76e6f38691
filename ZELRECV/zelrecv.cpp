// zelrecv: the SMTP receiver, service ZELRECV.
//
// Contents: the service identity and hooks, and the start sequence, which
// loads the configuration (global values, then recvcfg's settings),
// creates the spool directories, learns this computer's identity and starts
// the network engine with the SMTP dialogue (smtpdlg, msgaccept) on it.
#include "ZELRECV/recvcfg.h"

#include "ZELRECV/smtpdlg.h"
#include "common/fileutils.h"
#include "common/loadcfig.h"
#include "common/logging.h"
#include "common/netcode.h"
#include "common/pconfig.h"
#include "common/service.h"
#include "common/zel.h"
#include "messages/zelmsg.h"
#include "net/netengine.h"
#include "platform/sync.h"

const char *ThisServiceName() { return "ZELRECV"; }
const char *ThisServiceDisplayName() { return "ZEL SMTP Receiver"; }
const char *ThisServiceVersion() { return "0.83"; }

namespace {

bool ReadConfiguration() {
  SetConfigDefaults();
  LoadCriticalConfig();
  LoadGeneralConfigMain(kDomainListBytesReceiver);
  std::string incoming;
  LoadReceiverSettings(&incoming);
  if (!CreateSpoolDirectories({incoming.c_str(), kInlogDir})) return false;
  return InitNetCodeModule(kIdentityNameLengthDeliv);
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
  settings.Port = static_cast<uint16_t>(PortNo);
  settings.IdleSeconds = IdleTimeout;
  settings.KeepAlive = !NoKeepalives;
  NetEngineHooks hooks{BeginSmtpDialogue, SmtpCompletion, ReleaseSmtpDialogue};
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
