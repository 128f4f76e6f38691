// zelimap: the IMAP server, service ZELIMAP.
//
// Contents: the service identity and hooks handed to the runtime; the
// settings (global values, then imapcfg's) with the start directories;
// least privilege: the front leaves root for the service account once its
// listeners are bound; the processes and threads: the root logon helpers,
// forked first, which check passwords and start each user's session
// process (imapsession, as the user: one process serves every connection
// of its user); the network engine (net/) with the dialogue up to logon
// (imapfront) on it; the logon pool (common/logonpool) that hands the
// checks to the helpers off the network workers, with the doors of the
// running sessions (net/sessionhandoff's CheckLogonForSharedSession); and
// the relay thread (platform/relay) that keeps the TLS of logged-on
// clients and the watch over their sessions. ManageSieve (managesieve.h)
// is a third port on the same front, pool and helpers.
#include "ZELIMAP/imapcfg.h"
#include "ZELIMAP/imapconn.h"
#include "ZELIMAP/imapfront.h"
#include "ZELIMAP/imapsession.h"
#include "ZELIMAP/managesieve.h"
#include "common/cfgcheck.h"
#include "common/fileutils.h"
#include "common/loadcfig.h"
#include "common/logging.h"
#include "common/logonhelper.h"
#include "common/mailaccess.h"
#include "common/netcode.h"
#include "common/pconfig.h"
#include "common/service.h"
#include "common/svcaccount.h"
#include "common/tlsconfig.h"
#include "common/zel.h"
#include "messages/zelmsg.h"
#include "net/mailproxy.h"
#include "net/localhost.h"
#include "net/netengine.h"
#include "net/netservice.h"
#include "net/sessionhandoff.h"
#include "platform/relay.h"
#include "platform/sync.h"

long InitThisService();
void TermThisService();
long RunSessionProcess();
bool GiveFilesAtInstall(uid_t uid, gid_t gid);

namespace {

// The listener kinds: PortNo, TlsPortNo (TLS from the first byte), and
// SievePortNo (ManageSieve, managesieve.h).
constexpr int kListenerImap = 0;
constexpr int kListenerImapTls = 1;
constexpr int kListenerSieve = 2;

constexpr ServiceHooks kImapHooks = {
    "ZELIMAP", "ZEL IMAP Server", "0.90", InitThisService, TermThisService,
    nullptr,  // no user controls
    DisplayIPAddress,
    ReloadTlsCertificate,  // SIGHUP: a renewed certificate without a restart
    GiveFilesAtInstall,    // -install: nothing of its own to hand over
    RunSessionProcess,     // "-session": a user's session (imapsession)
};

// ---- Settings.

// What the front and a session both read.
bool ReadSettings() {
  SetConfigDefaults();
  LoadCriticalConfig();
  LoadGeneralConfigMain(kDomainListBytes);
  LoadImapSettings();
  LoadManageSieveSettings();
  LoadProxySettings();
  // Like the POP3 server, without an identity of its own: home directories
  // of accounts in other domains are asked of their domain controller.
  (void)InitNetCodeModule(kIdentityNameLengthFetch);
  return true;
}

// The spool (the event log's home) and the mailbox root, root's and
// passable (each mailbox in it is its user's), as the POP3 server makes
// them.
bool CreateStartDirectories() {
  if (!CreateDirectoryRecursively(MailSpoolDirectory)) {
    LogWin32Error(EVENTLOG_ERROR_TYPE, "CreateDirectory Spool", GetLastError());
    return false;
  }
  return CreateMailboxRoot();
}

bool ReadConfiguration() {
  ReadSettings();
  RegKey params;
  (void)OpenParametersKey(params);
  SetLogonPolicy(LoadLogonPolicy(params.get()));
  ConfigVersion = GetCounterValue(nullptr, "ConfigVersion");
  return CreateStartDirectories();
}

// The front writes nothing of its own beyond the event log and the
// registry, which svcaccount hands over.
bool GiveNothing(uid_t, gid_t) { return true; }

bool ShedRoot() { return LeaveRootForServiceAccount(GiveNothing); }

}  // namespace

bool GiveFilesAtInstall(uid_t uid, gid_t gid) {
  LoadImapSettings();
  return CreateStartDirectories() && GiveCommonFilesToAccount(uid, gid);
}

namespace {

// ---- Processes and threads.

// IMAP, or ManageSieve on its own port: both run on imapconn's loop.
void GreetConnection(_Connection *conn) {
  if (conn->ListenerKind == kListenerSieve)
    GreetSieveConnection(conn);
  else
    GreetImapConnection(conn);
}

// The logon helpers keep root to check passwords and to start each user's
// session.
bool StartImapFront(bool tls) {
  AccessFrontSettings front;
  front.Addresses = &ImapListenAddresses;
  front.Port = static_cast<uint16_t>(ImapPortNo);
  front.PortKind = kListenerImap;
  front.TlsPort = static_cast<uint16_t>(ImapTlsPortNo);
  front.TlsPortKind = kListenerImapTls;
  front.ExtraPort = static_cast<uint16_t>(SievePortNo);
  front.ExtraPortKind = kListenerSieve;
  front.ExtraTooManyConnectionsReply = "BYE \"Too many connections\"\r\n";
  // Every connection of the front is before logon.
  front.IdleSeconds = ImapLogonSeconds;
  front.ClientPrefixLengthV6 = ImapClientPrefixLengthV6;
  front.MaxConnections = ImapMaxConnections;
  front.MaxConnectionsPerClient = ImapMaxConnectionsPerClient;
  front.TooManyConnectionsReply = "* BYE Too many connections\r\n";
  front.Check = CheckImapOrSieveLogon;
  front.StartPool = StartImapLogonPool;
  NetEngineHooks hooks{GreetConnection, ImapCompletion, ReleaseImapConn, ShedRoot};
  return StartAccessFront(front, tls, hooks);
}

}  // namespace

// ---- The start and stop sequence.

long InitThisService() { return StartNetworkService(ReadConfiguration, StartImapFront); }

void TermThisService() { StopNetworkService(); }

long RunSessionProcess() { return RunImapSession(ReadSettings); }

int main(int argc, char **argv) {
  return ExitStatusFromCode(ServiceCommandLine(argc, argv, kImapHooks));
}
