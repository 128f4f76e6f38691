// unitgen: writes the systemd units and the PAM service file that the
// Debian package ships, from the same profiles "-install" uses
// (common/svcinstall), so that the two can never say different things.
//
//   unitgen OUTDIR SBINDIR
//
// OUTDIR receives zelrecv.service, zeldeliv.service, zelfetch.service,
// zelimap.service, zel.target and zelfetch.pam (the PAM service of both
// mail-access servers); SBINDIR is where the package puts the
// programs ("/usr/sbin"). The paths in the units are the system's defaults:
// the generator reads no registry and ignores ZEL_ROOT. A build-time tool;
// it is not installed.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "common/pconfig.h"
#include "common/svcinstall.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "platform/logon.h"

namespace {

bool Write(const std::string &path, const std::string &text) {
  DeleteFile(path);
  if (CreateFileWithText(path, text, 0644)) return true;
  std::fprintf(stderr, "unitgen: cannot write %s: error %ld\n", path.c_str(), GetLastError());
  return false;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: unitgen OUTDIR SBINDIR\n");
    return 2;
  }
  // The units name the real system's paths, whatever tree builds them.
  unsetenv("ZEL_ROOT");
  SetConfigDefaults();
  std::string out = argv[1];
  ServiceWritablePaths paths = WritablePathsFromConfig();
  bool ok = true;
  bool pam = false;
  for (const ServiceUnitProfile &p : ServiceUnitProfiles()) {
    ServiceUnitSpec spec = BuildServiceUnitSpec(&p, p.DisplayName,
                                                std::string(argv[2]) + "/" + p.UnitName, paths);
    spec.Origin = "Installed by the zel package; \"systemctl start zel.target\" starts the suite.";
    std::string text;
    ok = ServiceUnitText(spec, text) && Write(out + "/" + p.UnitName + ".service", text) && ok;
    pam = pam || p.NeedsPamService;
  }
  if (pam) ok = Write(out + "/" + kPamServiceName + ".pam", PamServiceText()) && ok;
  std::string target;
  ok = TargetUnitText(kSuiteTargetDescription, SuiteServiceUnits(), target) &&
       Write(out + "/" + kSuiteTargetName + ".target", target) && ok;
  return ok ? 0 : 1;
}
