// zeldeliv: the delivery agent, service ZELDELIV.
//
// The service identity and hooks, and the start and stop sequence.
// InitThisService returns the number of the step that failed, so an
// administrator can tell from event 40 where the start stopped. The work is
// done by the scanning thread, DeliveryThread (delivery: incoming pick-up,
// local delivery, list processing, garbage collection), with the modules
// incoming, local and garbage, and by the remote side (remote), a child
// process without privileges that runs the domain list, its delivery
// threads and routing: this program again, started with
// kRemoteSideArgument, which main hands to RemoteSideMain.
#include <atomic>
#include <initializer_list>
#include <memory>

#include "ZELDELIV/autoreply.h"
#include "ZELDELIV/delivery.h"
#include "ZELDELIV/dmarcsend.h"
#include "ZELDELIV/genfilter.h"
#include "ZELDELIV/handover.h"
#include "ZELDELIV/local.h"
#include "ZELDELIV/mtasts.h"
#include "ZELDELIV/queue.h"
#include "ZELDELIV/remote.h"
#include "ZELDELIV/routing.h"
#include "ZELDELIV/settings.h"
#include "ZELDELIV/sievedeliv.h"
#include "ZELDELIV/tlspolicy.h"
#include "common/cfgcheck.h"
#include "common/fileutils.h"
#include "common/loadcfig.h"
#include "common/logging.h"
#include "common/netcode.h"
#include "common/pconfig.h"
#include "common/service.h"
#include "common/zel.h"
#include "messages/zelmsg.h"
#include "net/localhost.h"
#include "platform/accounts.h"
#include "platform/sync.h"
#include "platform/thread.h"

long InitThisService();
void TermThisService();

namespace {

bool GiveFilesAtInstall(uid_t uid, gid_t gid);

constexpr ServiceHooks kDeliveryHooks = {
    "ZELDELIV", "ZEL SMTP Delivery Agent", "0.86", InitThisService, TermThisService,
    nullptr,  // no user controls
    DisplayIPAddress,
    nullptr,  // nothing to reload
    GiveFilesAtInstall,
};

// Start-up results: the step that failed.
constexpr long kFailSpool = 3;
constexpr long kFailRouting = 4;
constexpr long kFailLogModule = 6;
constexpr long kFailStopEvent = 8;
constexpr long kFailScanningThread = 9;
constexpr long kFailRemoteSide = 10;

constexpr std::initializer_list<const char *> kSpoolDirectories = {
    kIncomingDir, kHoldingDir, kDomainsDir, kOutlogDir, kDeadDir, kListsDir, kDmarcRunDir, kMtaStsDir};

void ReadConfig() {
  SetConfigDefaults();
  LoadCriticalConfig();
  LoadGeneralConfigMain(kDomainListBytes);
  FormDeliverySpoolPaths();
  LoadDeliverySettings();
  DeliverySieve = LoadSieveSettings();
  LoadGatewayTlsSettings();
  LoadMtaStsSettings(SpoolPath(kMtaStsDir));
  LoadDeliveryFilters();
  LoadAliasConfig();
}

// -install: the account gets now what each start as root hands it.
bool GiveFilesAtInstall(uid_t uid, gid_t gid) {
  FormDeliverySpoolPaths();
  return CreateSpoolDirectories(kSpoolDirectories) && GiveFilesToRemoteSide(uid, gid);
}

}  // namespace

long InitThisService() {
  StartupCheckPointHint(3000);
  LogEvent(EVENTLOG_INFORMATION_TYPE, MSG_SERVICE_STARTING, ThisServiceDisplayName(), nullptr);

  StartupCheckPointHint(3000);  // socket library: nothing to start here

  StartupCheckPointHint(3000);
  ReadConfig();
  LogConfigurationCheck();  // logs what it finds; the start goes on
  // Forwards go out with their own sender when the SRS secret cannot be
  // had: mail still flows, and the event says why.
  if (std::string why; !LoadForwardSrs(why))
    LogEvent(EVENTLOG_WARNING_TYPE, MSG_CONFIG_PROBLEM, LogSafeText(why).c_str(), nullptr);

  StartupCheckPointHint(3000);
  if (!CreateSpoolDirectories(kSpoolDirectories)) return kFailSpool;

  StartupCheckPointHint(3000);
  if (!InitRoutingModule()) return kFailRouting;

  StartupCheckPointHint(3000);
  // Accounts that cannot be read stop local delivery, not the service:
  // remote mail goes on, and local mail waits in its queue until they can.
  if (!InitNetCodeModule(kIdentityNameLengthDeliv)) {
    std::string why;
    CheckAccountSource(why);
    LogEvent(EVENTLOG_ERROR_TYPE, MSG_ACCOUNTS_UNREADABLE, LogSafeText(why).c_str(), nullptr);
  }
  HandMailboxesToOwners();

  StartupCheckPointHint(3000);
  if (!InitLogModule()) return kFailLogModule;

  StartupCheckPointHint(3000);
  hTerminating = std::make_unique<ZelEvent>(true, false);
  if (!hTerminating->Valid()) {
    LogWin32Error(EVENTLOG_ERROR_TYPE, "CreateEvent", GetLastError());
    hTerminating.reset();
    return kFailStopEvent;
  }

  StartupCheckPointHint(3000);
  // Before the scanning thread: the hooks it works with send the work of
  // the network to the remote side, which it starts.
  if (!PrepareRemoteSide()) return kFailRemoteSide;

  StartupCheckPointHint(3000);
  if (!StartThread([] { DeliveryThread(StartRemoteSide); }, kDeliveryThreadStack))
    return kFailScanningThread;
  return 0;
}

void TermThisService() {
  StopRemoteSide();
  if (hTerminating) {
    hTerminating->Set();
    Sleep(1000);
    // The event stays: the scanning and domain delivery threads are not
    // joined and may still wait on it while the process ends.
  }
  TermLogModule();
  LogEvent(EVENTLOG_INFORMATION_TYPE, MSG_SERVICE_TERMINATING, ThisServiceDisplayName(), nullptr);
}

int main(int argc, char **argv) {
  if (argc > 1 && std::string_view(argv[1]) == kRemoteSideArgument) {
    RegisterServiceHooks(kDeliveryHooks);   // its events are the agent's
    return RemoteSideMain(argc, argv, ReadConfig);
  }
  return ExitStatusFromCode(ServiceCommandLine(argc, argv, kDeliveryHooks));
}
