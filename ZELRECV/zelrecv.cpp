// zelrecv: the SMTP receiver, service ZELRECV.
//
// Hooks of the service entry layer, the receiver's settings and its start
// and stop sequence. The network engine and the SMTP dialogue hang off
// InitThisService.
#include <atomic>

#include "common/fileutils.h"
#include "common/loadcfig.h"
#include "common/logging.h"
#include "common/netcode.h"
#include "common/pconfig.h"
#include "common/service.h"
#include "common/zel.h"
#include "messages/zelmsg.h"

const char *ThisServiceName() { return "ZELRECV"; }
const char *ThisServiceDisplayName() { return "ZEL SMTP Receiver"; }
const char *ThisServiceVersion() { return "0.83"; }

namespace {

// The receiver's settings (Parameters key), read at every start.
std::string IncomingName = kIncomingDir;   // "MailQueueDir" renames it
std::atomic<bool> InlogEnabled{false};
std::atomic<bool> Stopping{false};

void LoadReceiverSettings() {
  MailQueueDirectory = SpoolPath(kIncomingDir);
  MailInlogDirectory = SpoolPath(kInlogDir);
  RegKey params;
  if (OpenParametersKey(params) != ERROR_SUCCESS) return;
  std::string queueDir;
  if (QueryRegString(params.get(), "MailQueueDir", kMaxPath, queueDir) && !queueDir.empty()) {
    IncomingName = queueDir;
    MailQueueDirectory = SpoolPath(queueDir);
  }
  DWORD inlog = 0;
  QueryRegDword(params.get(), "MailInlogEnabled", inlog);
  InlogEnabled = inlog != 0;
}

}  // namespace

long InitThisService() {
  StartupCheckPointHint(3000);
  LogEvent(EVENTLOG_INFORMATION_TYPE, MSG_SERVICE_STARTING, ThisServiceDisplayName(), nullptr);
  Stopping = false;

  // The socket library needs no start-up here; the checkpoint stays so the
  // checkpoint numbers of later steps are the same on every platform.
  StartupCheckPointHint(3000);

  StartupCheckPointHint(3000);
  SetConfigDefaults();
  LoadCriticalConfig();
  LoadGeneralConfigMain(kDomainListBytesReceiver);
  LoadReceiverSettings();
  if (!CreateSpoolDirectories({IncomingName.c_str(), kInlogDir})) return -1;
  if (!InitNetCodeModule(kIdentityNameLengthDeliv)) return -1;

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
