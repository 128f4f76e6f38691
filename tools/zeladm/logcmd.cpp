// logcmd: see logcmd.h.
#include "tools/zeladm/logcmd.h"

#include <time.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "platform/ascii.h"
#include "platform/eventlog.h"
#include "platform/sync.h"
#include "tools/zeladm/admcmd.h"

namespace {

// One read of the log takes at most this much; a longer log is read in turns.
constexpr size_t kReadChunk = 1024 * 1024;
// How often --follow looks for new lines.
constexpr DWORD kFollowIntervalMs = 500;
// The longest service name accepted by --service.
constexpr size_t kMaxServiceArg = 64;

struct LogOptions {
  bool Follow = false;
  const char *Service = nullptr;
  bool HasSince = false;
  long long Since = 0;
};

// A service given by its program name ("zelrecv") is its service name.
bool SourceMatches(std::string_view source, const char *service) {
  return EqualsNoCase(source, service);
}

void PrintLine(std::string_view line, const LogOptions &o) {
  EventLine e;
  bool parsed = ParseEventLine(line, e);
  bool filtered = o.Service != nullptr || o.HasSince;
  if (!parsed && filtered) return;
  if (parsed && o.Service != nullptr && !SourceMatches(e.Source, o.Service)) return;
  if (parsed && o.HasSince && e.Epoch < o.Since) return;
  std::printf("%s\n", AdmPrintable(line).c_str());
}

// Prints the complete lines of pending and keeps the unfinished rest.
void PrintComplete(std::string &pending, const LogOptions &o) {
  size_t pos = 0;
  for (size_t end; (end = pending.find('\n', pos)) != std::string::npos; pos = end + 1)
    PrintLine(std::string_view(pending).substr(pos, end - pos), o);
  pending.erase(0, pos);
  // A "line" longer than any event line is no event: show it and go on.
  if (pending.size() > kMaxEventLine) {
    PrintLine(pending, o);
    pending.clear();
  }
}

bool ParseLogOptions(int argc, char **argv, LogOptions &o) {
  for (int i = 1; i < argc; ++i) {
    bool hasValue = i + 1 < argc;
    if (std::strcmp(argv[i], "--follow") == 0 || std::strcmp(argv[i], "-f") == 0) {
      o.Follow = true;
    } else if (std::strcmp(argv[i], "--service") == 0 && hasValue) {
      o.Service = argv[++i];
      if (std::strlen(o.Service) > kMaxServiceArg) {
        std::fprintf(stderr, "zeladm: --service takes a service name, like ZELRECV\n");
        return false;
      }
    } else if (std::strcmp(argv[i], "--since") == 0 && hasValue) {
      if (!ParseSinceTime(argv[++i], static_cast<long long>(time(nullptr)), o.Since)) {
        std::fprintf(stderr, "zeladm: --since takes YYYY-MM-DD[THH:MM[:SS]] or a span like 2h\n");
        return false;
      }
      o.HasSince = true;
    } else {
      std::fprintf(stderr, "zeladm: unknown option or missing value: %s\n",
                   AdmPrintable(argv[i]).c_str());
      return false;
    }
  }
  return true;
}

}  // namespace

bool ParseSinceTime(std::string_view text, long long now, long long &since) {
  bool zoned;
  if (ParseTimeText(text, since, zoned)) return true;
  // A span back from now: digits and one unit.
  constexpr size_t kMaxSpanDigits = 9;
  if (text.size() < 2 || text.size() > kMaxSpanDigits + 1) return false;
  long long n = 0;
  for (char c : text.substr(0, text.size() - 1)) {
    if (c < '0' || c > '9') return false;
    n = n * 10 + (c - '0');
  }
  const char *units = "smhd";
  const long long seconds[] = {1, 60, 3600, 86400};
  const char *unit = std::strchr(units, text.back());
  if (unit == nullptr || *unit == '\0') return false;
  since = now - n * seconds[unit - units];
  return true;
}

int RunLogCommand(int argc, char **argv) {
  LogOptions o;
  if (!ParseLogOptions(argc, argv, o)) return kAdmExitUsage;
  uint64_t offset = 0;
  std::string pending;
  for (;;) {
    size_t before = pending.size();
    if (!ReadEventLog(offset, kReadChunk, pending)) {
      std::fprintf(stderr, "zeladm: cannot read the event log: %s\n",
                   AdmErrorText(GetLastError()).c_str());
      return kAdmExitFailure;
    }
    bool more = pending.size() - before == kReadChunk;
    PrintComplete(pending, o);
    std::fflush(stdout);
    if (more) continue;
    if (!o.Follow) return kAdmExitOk;
    Sleep(kFollowIntervalMs);
  }
}
