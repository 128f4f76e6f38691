// zelrecv: the SMTP receiver, service ZELRECV.
//
// Contents: the service identity and hooks handed to the runtime; the
// settings (global values, then recvcfg's), with the spool directories and
// this computer's identity; least privilege: the files the service account
// must write, and the shedding of root once the listeners are bound; the
// threads: the network engine (net/) with the SMTP dialogue (smtpdlg,
// msgaccept) on it, listening on PortNo and the submission ports, and the
// logon pool (common/logonpool) that checks AUTH's passwords off the
// network workers (through root-keeping helper processes when the
// receiver runs as the service account).
#include "ZELRECV/recvcfg.h"

#include <algorithm>
#include <functional>
#include <utility>

#include "ZELRECV/smtpauth.h"
#include "ZELRECV/smtpdlg.h"
#include "common/cfgcheck.h"
#include "common/dmarcjournal.h"
#include "common/fileutils.h"
#include "common/loadcfig.h"
#include "common/logging.h"
#include "common/aliasmap.h"
#include "common/logonhelper.h"
#include "common/membudget.h"
#include "common/netcode.h"
#include "common/pconfig.h"
#include "common/service.h"
#include "common/svcaccount.h"
#include "common/tlsconfig.h"
#include "common/zel.h"
#include "messages/zelmsg.h"
#include "net/localhost.h"
#include "net/netengine.h"
#include "net/netservice.h"
#include "platform/accounts.h"
#include "platform/msgcounter.h"
#include "platform/privilege.h"
#include "platform/registry.h"
#include "platform/root.h"
#include "platform/sync.h"
#include "platform/sysinfo.h"

long InitThisService();
void TermThisService();

namespace {

bool GiveFilesAtInstall(uid_t uid, gid_t gid);

constexpr ServiceHooks kReceiverHooks = {
    "ZELRECV", "ZEL SMTP Receiver", "0.83", InitThisService, TermThisService,
    nullptr,  // no user controls
    DisplayIPAddress,
    ReloadTlsCertificate,  // SIGHUP: a renewed certificate without a restart
    GiveFilesAtInstall,
};

// ---- Settings.

bool ReadConfiguration() {
  SetConfigDefaults();
  LoadCriticalConfig();
  LoadGeneralConfigMain(kDomainListBytesReceiver);
  std::string incoming;
  std::vector<BadSettingEntry> bad;
  LoadReceiverSettings(&incoming, &bad);
  for (const auto &[setting, entry] : bad)
    LogEvent(EVENTLOG_WARNING_TYPE, MSG_BAD_SETTING_ENTRY, setting.c_str(),
             ("\"" + LogSafeText(entry) + "\"").c_str());
  // AUTH's checks obey MinimumLogonUid and the failure count; the helpers
  // forked later check with it.
  RegKey params;
  (void)OpenParametersKey(params);
  SetLogonPolicy(LoadLogonPolicy(params.get()));
  if (!CreateSpoolDirectories({incoming.c_str(), kInlogDir, kQuarantineDir, kDmarcJournalDir}))
    return false;
  // Submission senders are checked against the addresses that deliver to
  // the user, aliases included.
  LoadAliasConfig();
  // The SRS key, read (or made) while the receiver is still root. Without
  // it SRS addresses are taken as any other recipient.
  if (std::string why; !LoadSuiteSrs(ReceiverSrs, why))
    LogEvent(EVENTLOG_WARNING_TYPE, MSG_CONFIG_PROBLEM, LogSafeText(why).c_str(), nullptr);
  SetMemoryBudget(MaxBufferedBytes);
  MapLargeAllocations(kOrdinaryHoldBytes);
  return InitNetCodeModule(kIdentityNameLengthDeliv);
}

// ---- Least privilege.
//
// Started as root, the receiver binds its listeners and then runs as the
// service account (ServiceAccount; empty: as whoever started it), with no
// capability left. Before that, root hands the account what it writes
// afterwards: the incoming and inlog directories (and the inlog files), the
// message-identifier counter's directory and store, the mutex directory with
// its files, and the event log. The registry database and its directory (the
// state directory) are root's, taken back from an older installation that
// handed them to the account: the receiver reads the database through a
// read-only connection it opened as root. The directories above them (the
// spool, the state and the log directories) stay root's and only let the
// account's group pass: the account cannot touch the delivery agent's spool
// directories, which root writes.

// What the receiver itself writes once root is gone, besides what every
// process that makes new mail writes (common/svcaccount): the quarantine,
// the DMARC journals and the inlog. A file that is not there yet (an inlog
// file) is simply not handed over.
bool GiveReceiverFiles(uid_t uid, gid_t gid) {
  return GiveRuntimeFilesToAccount(uid, gid) &&
         RunHandOverSteps({
             {"quarantine", [&] { return GiveDirectoryToAccount(SpoolPath(kQuarantineDir), uid, gid); }},
             {"dmarc", [&] { return GiveDirectoryToAccount(SpoolPath(kDmarcJournalDir), uid, gid); }},
             {"inlog", [&] { return GiveDirectoryToAccount(MailInlogDirectory, uid, gid) &&
                                    GiveFilesToAccount(MailInlogDirectory, uid, gid); }},
         });
}

// -install: the account gets now what each start as root hands it.
bool GiveFilesAtInstall(uid_t uid, gid_t gid) {
  std::string incoming;
  std::vector<BadSettingEntry> bad;
  LoadReceiverSettings(&incoming, &bad);
  return CreateSpoolDirectories({incoming.c_str(), kInlogDir, kQuarantineDir, kDmarcJournalDir}) &&
         GiveReceiverFiles(uid, gid);
}

// The engine's ListenersBound hook: the listeners are bound and no thread
// of the engine runs yet. False (reported) fails the start.
bool ShedRoot() { return LeaveRootForServiceAccount(GiveReceiverFiles); }

// ---- Threads: the engine's listener and workers, driving SMTP dialogues.

// AUTH's password checks, on the submission ports only: a pool of threads
// off the network workers, started before the engine, which takes commands
// as soon as it listens. Only root reads the accounts file and gets PAM to
// check another user's password, so a receiver that will leave root has
// helper processes keep it for the checks; they are forked first, while no
// thread but the controller's runs and nothing is bound.
bool StartAuthChecks() {
  LogonPoolSettings settings;
  settings.Check = CheckLogonThroughHelpers;
  if (WillRunAsServiceAccount() && !StartLogonHelpers(LogonPoolCheckers(settings))) {
    LogWin32Error(EVENTLOG_ERROR_TYPE, "StartLogonHelpers", GetLastError());
    return false;
  }
  if (!StartSmtpLogonPool(settings)) {
    LogWin32Error(EVENTLOG_ERROR_TYPE, "StartLogonPool", GetLastError());
    return false;
  }
  return true;
}

// The listeners: PortNo, SubmissionPortNo (STARTTLS there, as on PortNo,
// whenever a certificate is loaded), and SubmissionTlsPortNo, which speaks
// TLS from the first byte and so is listened on only when a certificate is
// loaded at the start (a reload cannot add a listener: a certificate first
// configured later opens it at the next start). The submission ports,
// where people log on, take the strict TLS profile; PortNo the broad one,
// since for a mail server that knows only older suites a weaker cipher
// beats plain text.
bool StartSmtpEngine(bool certificateLoaded) {
  const bool implicitTls = SubmissionTlsPortNo != 0 && certificateLoaded;
  if ((SubmissionPortNo != 0 || implicitTls) && !StartAuthChecks()) return false;
  if (!StartSmtpFilters()) return false;
  NetEngineSettings settings;
  AddListeners(&settings, ListenAddresses, static_cast<uint16_t>(PortNo), kListenerSmtp);
  if (SubmissionPortNo != 0)
    AddListeners(&settings, ListenAddresses, static_cast<uint16_t>(SubmissionPortNo),
                 kListenerSubmission, false, true);
  if (implicitTls)
    AddListeners(&settings, ListenAddresses, static_cast<uint16_t>(SubmissionTlsPortNo),
                 kListenerSubmissionTls, true, true);
  settings.IdleSeconds = IdleTimeout;
  // A handshake gets no longer than a command line would.
  settings.TlsHandshakeSeconds = std::min(kDefaultTlsHandshakeSeconds, IdleTimeout);
  settings.ClientPrefixLengthV6 = ClientPrefixLengthV6;
  settings.KeepAlive = !NoKeepalives;
  settings.MaxConnections = MaxConnections;
  settings.MaxConnectionsPerClient = MaxConnectionsPerClient;
  settings.TooManyConnectionsReply = "421 Too many connections, try later\r\n";
  // Who may relay may also open many connections (a local submitter).
  settings.ExemptFromClientLimit = RelayClientNetworks;
  NetEngineHooks hooks{BeginSmtpDialogue, SmtpCompletion, ReleaseSmtpDialogue, ShedRoot};
  return StartNetEngine(settings, hooks);
}

}  // namespace

// ---- The start and stop sequence.

long InitThisService() { return StartNetworkService(ReadConfiguration, StartSmtpEngine); }

void TermThisService() {
  // Stages waiting for a filter end first, as temporary failures.
  StopSmtpFilters();
  StopNetworkService();
}

int main(int argc, char **argv) {
  return ExitStatusFromCode(ServiceCommandLine(argc, argv, kReceiverHooks));
}
