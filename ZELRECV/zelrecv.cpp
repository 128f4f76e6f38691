// zelrecv: the SMTP receiver, service ZELRECV.
//
// Contents: the service identity and hooks handed to the runtime; the
// settings (global values, then recvcfg's), with the spool directories and
// this computer's identity; the threads: the network engine (net/) with the
// SMTP dialogue (smtpdlg, msgaccept) on it.
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
#include "net/localhost.h"
#include "net/netengine.h"
#include "platform/sync.h"

long InitThisService();
void TermThisService();

namespace {

constexpr ServiceHooks kReceiverHooks = {
    "ZELRECV", "ZEL SMTP Receiver", "0.83", InitThisService, TermThisService,
    nullptr,  // no user controls
    DisplayIPAddress,
};

// ---- Settings.

bool ReadConfiguration() {
  SetConfigDefaults();
  LoadCriticalConfig();
  LoadGeneralConfigMain(kDomainListBytesReceiver);
  std::string incoming;
  LoadReceiverSettings(&incoming);
  if (!CreateSpoolDirectories({incoming.c_str(), kInlogDir})) return false;
  return InitNetCodeModule(kIdentityNameLengthDeliv);
}

// ---- Threads: the engine's listener and workers, driving SMTP dialogues.

bool StartSmtpEngine() {
  NetEngineSettings settings;
  AddListeners(&settings, ListenAddresses, static_cast<uint16_t>(PortNo), 0);
  settings.IdleSeconds = IdleTimeout;
  settings.KeepAlive = !NoKeepalives;
  settings.MaxConnections = MaxConnections;
  settings.MaxConnectionsPerClient = MaxConnectionsPerClient;
  settings.TooManyConnectionsReply = "421 Too many connections, try later\r\n";
  NetEngineHooks hooks{BeginSmtpDialogue, SmtpCompletion, ReleaseSmtpDialogue};
  return StartNetEngine(settings, hooks);
}

}  // namespace

// ---- The start and stop sequence.

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
  if (!StartSmtpEngine()) return -1;
  return 0;
}

void TermThisService() {
  StopNetEngine();
  Sleep(1000);
  TermLogModule();
  LogEvent(EVENTLOG_INFORMATION_TYPE, MSG_SERVICE_TERMINATING, ThisServiceDisplayName(), nullptr);
}

int main(int argc, char **argv) {
  return ExitStatusFromCode(ServiceCommandLine(argc, argv, kReceiverHooks));
}
