// dmarccmd: see dmarccmd.h.
#include "tools/zeladm/dmarccmd.h"

#include <cstdio>
#include <string>

#include "common/dmarcjournal.h"
#include "common/loadcfig.h"
#include "common/pconfig.h"
#include "common/smtputil.h"
#include "common/zel.h"
#include "platform/files.h"
#include "tools/zeladm/admcmd.h"

namespace {

int RunReport(int argc, char **argv) {
  if (std::string(argv[1]) != "--now") return AdmUsage("dmarc report: only --now is known");
  SetConfigDefaults();
  LoadCriticalConfig();
  LoadGeneralConfigMain(kDomainListBytes);
  if (!DmarcReports) {
    std::fprintf(stderr, "zeladm: DmarcReports is 0: nothing is recorded or sent\n");
    return kAdmExitFailure;
  }
  std::string request = SpoolPath(kDmarcReportRequest);
  if (!CreateFileWithText(request, "", kSpoolFileMode) && GetLastError() != ERROR_FILE_EXISTS)
    return AdmFailed("cannot write " + AdmPrintable(request), GetLastError());
  std::printf("report run asked for; the delivery agent sends the reports at its next scan\n");
  return kAdmExitOk;
}

const AdmCommand kDmarcCommands[] = {
    {"report", "--now", "send the DMARC aggregate reports of the records so far now", 1, 1,
     RunReport},
};

}  // namespace

int RunDmarcCommand(int argc, char **argv) {
  return DispatchAdmCommand("zeladm dmarc", kDmarcCommands, argc - 1, argv + 1);
}
