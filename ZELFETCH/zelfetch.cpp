// zelfetch: the POP3 server, service ZELFETCH.
//
// Contents: the service identity and hooks handed to the runtime; the
// settings (global values, then fetchcfg's), with this computer's identity
// and the start directories (mbxsec); the threads: the network engine
// (net/) with the POP3 dialogue (pop3dlg, maildrop) on it, and the logon
// pool (common/logonpool) that checks passwords off the network workers.
#include "ZELFETCH/fetchcfg.h"
#include "ZELFETCH/maildrop.h"
#include "ZELFETCH/mbxsec.h"
#include "ZELFETCH/pop3dlg.h"
#include "common/cfgcheck.h"
#include "common/loadcfig.h"
#include "common/logging.h"
#include "common/netcode.h"
#include "common/pconfig.h"
#include "common/service.h"
#include "common/tlsconfig.h"
#include "common/zel.h"
#include "messages/zelmsg.h"
#include "net/localhost.h"
#include "net/netengine.h"
#include "platform/sync.h"

long InitThisService();
void TermThisService();

namespace {

// The listener kinds: PortNo, and TlsPortNo (TLS from the first byte).
constexpr int kListenerPop3 = 0;
constexpr int kListenerPop3Tls = 1;

constexpr ServiceHooks kPop3Hooks = {
    "ZELFETCH", "ZEL POP3 Server", "0.87", InitThisService, TermThisService,
    nullptr,  // no user controls
    DisplayIPAddress,
    ReloadTlsCertificate,  // SIGHUP: a renewed certificate without a restart
};

// ---- Settings.

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

// ---- Threads: the engine's listener and workers, driving POP3 dialogues.

// tls: a certificate is loaded, so TlsPortNo is listened on.
bool StartPop3Engine(bool tls) {
  // The pool first: the engine takes PASS commands as soon as it listens.
  if (!StartFetchLogonPool(LogonPoolSettings())) {
    LogWin32Error(EVENTLOG_ERROR_TYPE, "StartLogonPool", GetLastError());
    return false;
  }
  NetEngineSettings settings;
  AddListeners(&settings, ListenAddresses, static_cast<uint16_t>(Pop3PortNo), kListenerPop3);
  if (tls && Pop3TlsPortNo != 0)
    AddListeners(&settings, ListenAddresses, static_cast<uint16_t>(Pop3TlsPortNo),
                 kListenerPop3Tls, true);
  settings.IdleSeconds = IdleTimeout;
  settings.MaxConnections = MaxConnections;
  settings.MaxConnectionsPerClient = MaxConnectionsPerClient;
  settings.TooManyConnectionsReply = "-ERR too many connections\r\n";
  // Idle clients are found by the idle check, not by TCP keep-alives.
  settings.KeepAlive = false;
  NetEngineHooks hooks{GreetPop3Connection, Pop3Completion, ReleasePop3Dialogue};
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
  LogConfigurationCheck();  // logs what it finds; the start goes on

  StartupCheckPointHint(3000);
  if (!InitLogModule()) {
    LogWin32Error(EVENTLOG_ERROR_TYPE, "InitLogModule", GetLastError());
    return -1;
  }

  // Without a certificate TLS is simply not offered; the start goes on.
  bool tls = LoadTlsCertificate();

  StartupCheckPointHint(3000);
  if (!StartPop3Engine(tls)) return -1;
  return 0;
}

void TermThisService() {
  StopNetEngine();
  Sleep(1000);
  TermLogModule();
  LogEvent(EVENTLOG_INFORMATION_TYPE, MSG_SERVICE_TERMINATING, ThisServiceDisplayName(), nullptr);
}

int main(int argc, char **argv) {
  return ExitStatusFromCode(ServiceCommandLine(argc, argv, kPop3Hooks));
}
