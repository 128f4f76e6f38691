// checkcmd: see checkcmd.h.
#include "tools/zeladm/checkcmd.h"

#include <cstdio>

#include "common/cfgcheck.h"
#include "tools/zeladm/admcmd.h"

int RunCheckCommand(int argc, char **argv) {
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
