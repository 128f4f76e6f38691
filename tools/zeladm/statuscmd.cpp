// statuscmd: see statuscmd.h.
#include "tools/zeladm/statuscmd.h"

#include <time.h>

#include <cstdio>
#include <deque>
#include <string>
#include <vector>

#include "common/fileutils.h"
#include "common/loadcfig.h"
#include "common/pconfig.h"
#include "common/zel.h"
#include "platform/eventlog.h"
#include "platform/files.h"
#include "platform/pidfile.h"
#include "tools/zeladm/admcmd.h"

namespace {

constexpr const char *kServices[] = {"ZELRECV", "ZELDELIV", "ZELFETCH", "ZELIMAP"};
// Counting stops here: status is read by people, and "more than a million"
// says enough (each name listed costs memory).
constexpr size_t kMaxCounted = 1000000;
// The event log's tail that is searched for recent problems, and how many
// of them are shown.
constexpr size_t kEventTailBytes = 256 * 1024;
constexpr size_t kRecentProblems = 10;
// Filled by the delivery agent's content filters, when there are any.
constexpr const char *kQuarantineDir = "quarantine";

struct Count {
  size_t Files = 0;
  bool More = false;  // the listing stopped at kMaxCounted
};

// The first error met while reading the spool, or 0.
long g_SpoolError = 0;

// Counts the files of dir ending in suffix; a missing directory holds none.
// oldest (may be null) gets the earliest modification time seen.
bool CountFiles(const std::string &dir, const char *suffix, Count &count, long long *oldest) {
  std::vector<std::string> names;
  bool listed = ListDirectory(dir, suffix, ListKind::kFiles, kMaxCounted, names);
  count = Count{};
  if (!listed && GetLastError() != ERROR_MORE_DATA && GetLastError() != ERROR_FILE_NOT_FOUND) {
    if (g_SpoolError == 0) g_SpoolError = GetLastError();
    return false;
  }
  count.Files = names.size();
  count.More = !listed && GetLastError() == ERROR_MORE_DATA;
  long long t;
  for (const std::string &name : names)
    if (oldest != nullptr && FileModifiedTime(dir + "/" + name, t) && (*oldest == 0 || t < *oldest))
      *oldest = t;
  return true;
}

std::string CountText(const Count &c) {
  return (c.More ? "more than " : "") + std::to_string(c.Files);
}

void PrintServices(long long now) {
  std::printf("Services\n");
  for (const char *service : kServices) {
    ServicePresence p;
    if (!QueryServicePresence(service, p))
      std::printf("  %-9s unknown: %s\n", service, AdmErrorText(GetLastError()).c_str());
    else if (!p.Running)
      std::printf("  %-9s not running\n", service);
    else
      std::printf("  %-9s running, pid %ld, up %s\n", service, p.Pid,
                  AdmDurationText(now - p.StartedAt).c_str());
  }
}

bool PrintQueues(long long now) {
  std::printf("\nQueues in %s\n", AdmPrintable(MailSpoolDirectory).c_str());
  Count c;
  long long oldest = 0;
  bool ok = CountFiles(SpoolPath(kIncomingDir), ".RCP", c, nullptr);
  std::printf("  %-30s %s\n", "incoming", CountText(c).c_str());
  std::vector<std::string> domains;
  std::string domainsDir = SpoolPath(kDomainsDir);
  if (!ListDirectory(domainsDir, "", ListKind::kDirectories, kMaxCounted, domains) &&
      GetLastError() != ERROR_FILE_NOT_FOUND) {
    if (g_SpoolError == 0) g_SpoolError = GetLastError();
    ok = false;
  }
  for (const std::string &dir : domains) {
    ok = CountFiles(domainsDir + "/" + dir, ".RCP", c, nullptr) && ok;
    std::string name = dir == kLocalQueueName ? std::string("(local delivery)")
                                              : CreateDomainNameFromDirectoryName(dir);
    std::printf("  %-30s %s\n", AdmPrintable(name).c_str(), CountText(c).c_str());
  }
  for (const char *dir : {kDeadDir, kQuarantineDir}) {
    ok = CountFiles(SpoolPath(dir), ".MSG", c, nullptr) && ok;
    std::printf("  %-30s %s\n", dir, CountText(c).c_str());
  }
  // A queued message lives in incoming, then in holding until its last
  // recipient is done.
  for (const char *dir : {kIncomingDir, kHoldingDir})
    ok = CountFiles(SpoolPath(dir), ".MSG", c, &oldest) && ok;
  std::printf("  oldest queued message: %s\n",
              oldest == 0 ? "none" : (AdmDurationText(now - oldest) + " old").c_str());
  if (!ok)
    std::fprintf(stderr, "zeladm: cannot read the spool: %s\n", AdmErrorText(g_SpoolError).c_str());
  return ok;
}

void PrintRecentProblems() {
  uint64_t size = EventLogSize();
  uint64_t offset = size > kEventTailBytes ? size - kEventTailBytes : 0;
  bool cut = offset > 0;
  std::string text;
  ReadEventLog(offset, kEventTailBytes, text);
  std::deque<std::string> recent;
  size_t pos = 0;
  // Behind a cut the first line is a partial one.
  if (cut) pos = text.find('\n') == std::string::npos ? text.size() : text.find('\n') + 1;
  while (pos < text.size()) {
    size_t end = text.find('\n', pos);
    if (end == std::string::npos) break;  // still being written
    std::string_view line(text.data() + pos, end - pos);
    EventLine e;
    if (ParseEventLine(line, e) && e.Type != EVENTLOG_INFORMATION_TYPE) {
      recent.emplace_back(line);
      if (recent.size() > kRecentProblems) recent.pop_front();
    }
    pos = end + 1;
  }
  std::printf("\nRecent warnings and errors\n");
  if (recent.empty()) std::printf("  none\n");
  for (const std::string &line : recent) std::printf("  %s\n", AdmPrintable(line).c_str());
}

}  // namespace

std::string AdmDurationText(long long seconds) {
  if (seconds < 0) seconds = 0;
  char buf[48];
  long long d = seconds / 86400, h = seconds / 3600 % 24, m = seconds / 60 % 60, s = seconds % 60;
  if (d > 0) std::snprintf(buf, sizeof buf, "%lldd %02lldh", d, h);
  else if (h > 0) std::snprintf(buf, sizeof buf, "%lldh %02lldm", h, m);
  else if (m > 0) std::snprintf(buf, sizeof buf, "%lldm %02llds", m, s);
  else std::snprintf(buf, sizeof buf, "%llds", s);
  return buf;
}

int RunStatusCommand(int argc, char **argv) {
  SetConfigDefaults();
  LoadCriticalConfig();
  long long now = static_cast<long long>(time(nullptr));
  PrintServices(now);
  bool ok = PrintQueues(now);
  PrintRecentProblems();
  return ok ? kAdmExitOk : kAdmExitFailure;
}
