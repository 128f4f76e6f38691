// zelfetch: the POP3 server, service ZELFETCH.
//
// Contents: the service identity and hooks handed to the runtime; the
// settings (global values, then fetchcfg's), with this computer's identity
// and the start directories (mbxsec); least privilege: the front leaves
// root for the service account once its listeners are bound; the
// processes and threads: the root logon helpers, forked first, which check
// passwords and start each logged-on user's session process (pop3session,
// as the user); the network engine (net/) with the POP3 dialogue up to
// logon (pop3dlg, maildrop) on it; the logon pool (common/logonpool) that
// hands the checks to the helpers off the network workers; and the relay
// thread (platform/relay) that keeps the TLS of logged-on clients and the
// watch over their sessions.
#include "ZELFETCH/fetchcfg.h"
#include "ZELFETCH/maildrop.h"
#include "ZELFETCH/mbxsec.h"
#include "ZELFETCH/pop3dlg.h"
#include "ZELFETCH/pop3session.h"
#include "common/cfgcheck.h"
#include "common/loadcfig.h"
#include "common/logging.h"
#include "common/logonhelper.h"
#include "common/netcode.h"
#include "common/pconfig.h"
#include "common/service.h"
#include "common/svcaccount.h"
#include "common/tlsconfig.h"
#include "common/zel.h"
#include "messages/zelmsg.h"
#include "net/localhost.h"
#include "net/mailproxy.h"
#include "net/netengine.h"
#include "net/netservice.h"
#include "platform/privilege.h"
#include "platform/relay.h"
#include "platform/sync.h"

long InitThisService();
void TermThisService();
long RunSessionProcess();
bool GiveFilesAtInstall(uid_t uid, gid_t gid);

namespace {

// The listener kinds: PortNo, and TlsPortNo (TLS from the first byte).
constexpr int kListenerPop3 = 0;
constexpr int kListenerPop3Tls = 1;

constexpr ServiceHooks kPop3Hooks = {
    "ZELFETCH", "ZEL POP3 Server", "0.87", InitThisService, TermThisService,
    nullptr,  // no user controls
    DisplayIPAddress,
    ReloadTlsCertificate,  // SIGHUP: a renewed certificate without a restart
    GiveFilesAtInstall,    // -install: the account gets what the front writes
    RunSessionProcess,     // "-session": a logged-on user's session (pop3session)
};

// ---- Settings.

// What the front and a session both read.
bool ReadSettings() {
  SetConfigDefaults();
  LoadCriticalConfig();
  LoadGeneralConfigMain(kDomainListBytes);
  LoadFetchSettings();
  LoadProxySettings();
  // The POP3 server starts without an identity: every account domain then
  // differs from the computer name and home directories are asked of a
  // domain controller.
  (void)InitNetCodeModule(kIdentityNameLengthFetch);
  return true;
}

bool ReadConfiguration() {
  ReadSettings();
  RegKey params;
  (void)OpenParametersKey(params);
  SetLogonPolicy(LoadLogonPolicy(params.get()));
  ConfigVersion = GetCounterValue(nullptr, "ConfigVersion");
  return CreateStartDirectories();
}

// ---- Least privilege: what the service account writes once root is gone
// (the POP3 log; the event log and the registry are svcaccount's).

bool GivePop3Files(uid_t uid, gid_t gid) {
  if (GiveDirectoryToAccount(Pop3logDirectory, uid, gid) &&
      GiveFilesToAccount(Pop3logDirectory, uid, gid))
    return true;
  LogWin32Error(EVENTLOG_ERROR_TYPE, "chown Pop3log", GetLastError());
  return false;
}

bool ShedRoot() { return LeaveRootForServiceAccount(GivePop3Files); }

}  // namespace

bool GiveFilesAtInstall(uid_t uid, gid_t gid) {
  LoadFetchSettings();
  return CreateStartDirectories() && GiveCommonFilesToAccount(uid, gid) &&
         GivePop3Files(uid, gid);
}

namespace {

// ---- Processes and threads.

// The logon helpers keep root to check passwords and to start each user's
// session.
bool StartPop3Front(bool tls) {
  AccessFrontSettings front;
  front.Addresses = &ListenAddresses;
  front.Port = static_cast<uint16_t>(Pop3PortNo);
  front.PortKind = kListenerPop3;
  front.TlsPort = static_cast<uint16_t>(Pop3TlsPortNo);
  front.TlsPortKind = kListenerPop3Tls;
  front.IdleSeconds = IdleTimeout;
  front.ClientPrefixLengthV6 = ClientPrefixLengthV6;
  front.MaxConnections = MaxConnections;
  front.MaxConnectionsPerClient = MaxConnectionsPerClient;
  front.TooManyConnectionsReply = "-ERR too many connections\r\n";
  front.Check = CheckLogonThroughHelpers;
  front.StartPool = StartFetchLogonPool;
  NetEngineHooks hooks{GreetPop3Connection, Pop3Completion, ReleasePop3Dialogue, ShedRoot};
  return StartAccessFront(front, tls, hooks);
}

}  // namespace

// ---- The start and stop sequence.

long InitThisService() { return StartNetworkService(ReadConfiguration, StartPop3Front); }

void TermThisService() { StopNetworkService(); }

long RunSessionProcess() { return RunPop3Session(ReadSettings); }

int main(int argc, char **argv) {
  return ExitStatusFromCode(ServiceCommandLine(argc, argv, kPop3Hooks));
}
