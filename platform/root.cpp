// root: see root.h.
#include "platform/root.h"

#include <cstdlib>

const std::string &ZelRoot() {
  static const std::string root = [] {
    const char *env = std::getenv("ZEL_ROOT");
    std::string r = env != nullptr ? env : "";
    while (!r.empty() && r.back() == '/') r.pop_back();
    return r;
  }();
  return root;
}

std::string ZelPath(std::string_view path) {
  std::string p = ZelRoot();
  p.append(path);
  return p;
}

std::string DefaultSpoolDirectory() { return ZelPath("/var/spool/zel"); }
std::string DefaultInboxTemplate() { return ZelPath("/var/mailbox/%USERNAME%"); }
std::string WindowsDirectory() { return ZelPath("/var/log/zel"); }
std::string StateDirectory() { return ZelPath("/var/lib/zel"); }
std::string RegistryDatabasePath() { return ZelPath("/var/lib/zel/registry.db"); }
std::string EventLogPath() { return ZelPath("/var/log/zel/events.log"); }
std::string MutexDirectory() { return ZelPath("/var/lib/zel/mutex"); }
std::string MsgCounterPath() { return ZelPath("/var/lib/zel/msgid/lastmsgid"); }
std::string SystemdUnitDirectory() { return ZelPath("/etc/systemd/system"); }
std::string PidFileDirectory() { return ZelPath("/var/lib/zel/run"); }
std::string PamServiceDirectory() { return ZelPath("/etc/pam.d"); }

std::string TempDirectory() {
  const char *env = std::getenv("TMPDIR");
  if (env != nullptr && *env != '\0') return env;
  return "/tmp";
}
