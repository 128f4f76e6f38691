// eventlog: see eventlog.h.
#include "platform/eventlog.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>

#include "platform/root.h"

namespace {

const char *TypeName(WORD type) {
  switch (type) {
    case EVENTLOG_ERROR_TYPE: return "ERROR";
    case EVENTLOG_WARNING_TYPE: return "WARNING";
    case EVENTLOG_INFORMATION_TYPE: return "INFORMATION";
    default: return "UNKNOWN";
  }
}

std::string LocalTimeStamp() {
  time_t now = time(nullptr);
  struct tm tm {};
  localtime_r(&now, &tm);
  char buf[40];
  strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%S%z", &tm);
  return buf;
}

// One line: CR and LF become spaces, runs of them one space, none at the end.
void AppendFolded(std::string &line, std::string_view text) {
  bool pendingSpace = false;
  for (char c : text) {
    if (c == '\r' || c == '\n') {
      pendingSpace = true;
      continue;
    }
    if (pendingSpace) line.push_back(' ');
    pendingSpace = false;
    line.push_back(c);
  }
}

bool WriteAll(int fd, const std::string &s) {
  size_t done = 0;
  while (done < s.size()) {
    ssize_t n = write(fd, s.data() + done, s.size() - done);
    if (n < 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

void EnsureLogDirectory(const std::string &path) {
  // The log lives two levels below the root (var/log/zel); make each level.
  std::string dir = path.substr(0, path.rfind('/'));
  for (size_t pos = ZelRoot().size() + 1; pos <= dir.size(); ++pos) {
    if (pos == dir.size() || dir[pos] == '/') mkdir(dir.substr(0, pos).c_str(), 0755);
  }
}

}  // namespace

std::string FormatEventLine(std::string_view source, WORD type, uint32_t id,
                            std::string_view text) {
  char head[64];
  snprintf(head, sizeof head, " %s %u 0x%08X ", TypeName(type), id & 0xFFFFu, id);
  std::string line = LocalTimeStamp();
  line.push_back(' ');
  line.append(source);
  line.append(head);
  AppendFolded(line, text);
  while (!line.empty() && line.back() == ' ') line.pop_back();
  return line;
}

bool ReportEventText(std::string_view source, WORD type, uint32_t id, std::string_view text) {
  std::string line = FormatEventLine(source, type, id, text);
  line.push_back('\n');
  (void)WriteAll(STDERR_FILENO, line);
  std::string path = EventLogPath();
  int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0 && errno == ENOENT) {
    EnsureLogDirectory(path);
    fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  }
  if (fd < 0) return false;
  bool ok = WriteAll(fd, line);
  close(fd);
  return ok;
}
