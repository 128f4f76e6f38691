// checkcmd: see checkcmd.h.
#include "tools/zeladm/checkcmd.h"

#include <cstdio>

#include "common/cfgcheck.h"
#include "tools/zeladm/admcmd.h"
#include "tools/zeladm/dnscmd.h"

int RunCheckCommand(int argc, char **argv) {
  if (argc > 1 && EqualsNoCase(argv[1], "dns")) return RunCheckDnsCommand(argc - 1, argv + 1);
  if (argc > 1)
    return AdmUsage("unknown check \"" + AdmPrintable(argv[1]) +
                    "\" (zeladm check [dns --domain D])");
  ConfigCheckOptions options;
  options.Thorough = true;
  bool errors = false;
  for (const ConfigFinding &f : CheckConfiguration(options)) {
    bool error = f.Severity == EVENTLOG_ERROR_TYPE;
    errors = errors || error;
    std::printf("%s: %s\n", error ? "error" : "warning", f.Text.c_str());
  }
  return errors ? kAdmExitFailure : kAdmExitOk;
}
