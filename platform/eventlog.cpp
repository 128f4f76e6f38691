// eventlog: see eventlog.h.
#include "platform/eventlog.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "platform/errors.h"
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

int OpenLogFile(const std::string &path) {
  int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0 && errno == ENOENT) {
    EnsureLogDirectory(path);
    fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  }
  return fd;
}

// events.log, kept open: an event is written even when the process has no
// descriptor left to open the file with (running out of them is one of the
// things an event reports). The file is known by its device and inode.
struct KeptLog {
  std::mutex lock;
  int fd = -1;
  std::string path;
  dev_t dev = 0;
  ino_t ino = 0;

  bool Names(const struct stat &st) const { return st.st_dev == dev && st.st_ino == ino; }
};

// Never destroyed: threads may report events while the process ends. A
// fork waits for the lock, so the child never starts with it taken.
KeptLog &Kept() {
  static KeptLog *kept = [] {
    auto *k = new KeptLog;
    pthread_atfork([] { Kept().lock.lock(); }, [] { Kept().lock.unlock(); },
                   [] { Kept().lock.unlock(); });
    return k;
  }();
  return *kept;
}

// The descriptor for the next line, under k.lock: the kept one while path
// still names its file. A file rotated away (renamed, a new one made),
// removed or not yet opened is opened anew by its name; if that fails (no
// descriptor left, no right to the new file), the kept file still takes
// the line. A kept descriptor that some code closed behind the log's back
// (its number may now be another file's) is dropped, never written to.
int LogDescriptor(KeptLog &k, const std::string &path) {
  struct stat st;
  bool kept = k.fd >= 0 && fstat(k.fd, &st) == 0 && k.Names(st);
  if (!kept) k.fd = -1;
  if (kept && k.path == path && stat(path.c_str(), &st) == 0 && k.Names(st)) return k.fd;
  int fd = OpenLogFile(path);
  if (fd < 0 || fstat(fd, &st) != 0) {
    if (fd >= 0) close(fd);
    return k.path == path ? k.fd : -1;
  }
  if (k.fd >= 0) close(k.fd);
  k.fd = fd;
  k.path = path;
  k.dev = st.st_dev;
  k.ino = st.st_ino;
  return fd;
}

// Leading decimal digits of s, exactly count of them, into value.
bool TakeDigits(std::string_view &s, size_t count, int &value) {
  if (s.size() < count) return false;
  value = 0;
  for (size_t i = 0; i < count; ++i) {
    if (s[i] < '0' || s[i] > '9') return false;
    value = value * 10 + (s[i] - '0');
  }
  s.remove_prefix(count);
  return true;
}

bool TakeChar(std::string_view &s, char c) {
  if (s.empty() || s[0] != c) return false;
  s.remove_prefix(1);
  return true;
}

// The zone of a time: "+HHMM" or "-HHMM", in seconds east of UTC.
bool TakeZone(std::string_view &s, long long &offset) {
  if (s.empty() || (s[0] != '+' && s[0] != '-')) return false;
  long long sign = s[0] == '-' ? -1 : 1;
  s.remove_prefix(1);
  int h = 0, m = 0;
  if (!TakeDigits(s, 2, h) || !TakeDigits(s, 2, m) || m > 59) return false;
  offset = sign * (h * 3600LL + m * 60LL);
  return true;
}

// The next word of s (up to one space), removed with its space.
std::string_view TakeWord(std::string_view &s) {
  size_t space = s.find(' ');
  std::string_view word = s.substr(0, space);
  s.remove_prefix(space == std::string_view::npos ? s.size() : space + 1);
  return word;
}

WORD TypeOfName(std::string_view name) {
  for (WORD type : {EVENTLOG_ERROR_TYPE, EVENTLOG_WARNING_TYPE, EVENTLOG_INFORMATION_TYPE})
    if (name == TypeName(type)) return type;
  return 0;
}

bool ParseNumber(std::string_view s, int base, size_t maxDigits, uint32_t &value) {
  if (s.empty() || s.size() > maxDigits) return false;
  unsigned long long v = 0;
  for (char c : s) {
    int d = c >= '0' && c <= '9' ? c - '0' : c >= 'A' && c <= 'F' ? c - 'A' + 10 : 99;
    if (d >= base) return false;
    v = v * base + d;
  }
  if (v > 0xFFFFFFFFULL) return false;
  value = static_cast<uint32_t>(v);
  return true;
}

}  // namespace

const char *JournalPriorityPrefix(WORD type) {
  switch (type) {
    case EVENTLOG_ERROR_TYPE: return "<3>";
    case EVENTLOG_WARNING_TYPE: return "<4>";
    default: return "<6>";
  }
}

bool StandardErrorIsJournal() {
  static const bool journal = [] {
    const char *env = std::getenv("JOURNAL_STREAM");
    unsigned long long dev = 0, ino = 0;
    if (env == nullptr || std::sscanf(env, "%llu:%llu", &dev, &ino) != 2) return false;
    struct stat st;
    return fstat(STDERR_FILENO, &st) == 0 && static_cast<unsigned long long>(st.st_dev) == dev &&
           static_cast<unsigned long long>(st.st_ino) == ino;
  }();
  return journal;
}

bool ParseTimeText(std::string_view s, long long &epoch, bool &zoned) {
  struct tm tm {};
  long long offset = 0;
  if (!TakeDigits(s, 4, tm.tm_year) || !TakeChar(s, '-') || !TakeDigits(s, 2, tm.tm_mon) ||
      !TakeChar(s, '-') || !TakeDigits(s, 2, tm.tm_mday))
    return false;
  if ((TakeChar(s, 'T') || TakeChar(s, ' ')) &&
      (!TakeDigits(s, 2, tm.tm_hour) || !TakeChar(s, ':') || !TakeDigits(s, 2, tm.tm_min) ||
       (TakeChar(s, ':') && !TakeDigits(s, 2, tm.tm_sec))))
    return false;
  zoned = !s.empty();
  if ((zoned && !TakeZone(s, offset)) || !s.empty()) return false;
  if (tm.tm_mon < 1 || tm.tm_mon > 12 || tm.tm_mday < 1 || tm.tm_mday > 31 || tm.tm_hour > 23 ||
      tm.tm_min > 59 || tm.tm_sec > 60)
    return false;
  tm.tm_year -= 1900;
  tm.tm_mon -= 1;
  tm.tm_isdst = -1;
  time_t t = zoned ? timegm(&tm) : mktime(&tm);
  if (t == static_cast<time_t>(-1)) return false;
  epoch = static_cast<long long>(t) - offset;
  return true;
}

bool ParseEventLine(std::string_view line, EventLine &out) {
  if (line.size() > kMaxEventLine) return false;
  out = EventLine{};
  out.Time = TakeWord(line);
  out.Source = TakeWord(line);
  out.Type = TypeOfName(TakeWord(line));
  std::string_view number = TakeWord(line);
  std::string_view id = TakeWord(line);
  uint32_t low = 0;
  bool zoned = false;
  // The writer's form exactly: "YYYY-MM-DDTHH:MM:SS+HHMM".
  if (out.Time.size() != kEventTimeLength || !ParseTimeText(out.Time, out.Epoch, zoned) ||
      !zoned || out.Source.empty() || out.Type == 0 ||
      !ParseNumber(number, 10, 5, low) || id.size() != 10 || id.substr(0, 2) != "0x" ||
      !ParseNumber(id.substr(2), 16, 8, out.Id) || (out.Id & 0xFFFFu) != low)
    return false;
  out.Text = line;
  return true;
}

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
  (void)WriteAll(STDERR_FILENO,
                 StandardErrorIsJournal() ? JournalPriorityPrefix(type) + line : line);
  KeptLog &k = Kept();
  std::lock_guard<std::mutex> guard(k.lock);
  int fd = LogDescriptor(k, EventLogPath());
  return fd >= 0 && WriteAll(fd, line);
}

bool OpenEventLog() {
  KeptLog &k = Kept();
  std::lock_guard<std::mutex> guard(k.lock);
  return LogDescriptor(k, EventLogPath()) >= 0;
}

uint64_t EventLogSize() {
  struct stat st;
  return stat(EventLogPath().c_str(), &st) == 0 ? static_cast<uint64_t>(st.st_size) : 0;
}

bool ReadEventLog(uint64_t &offset, size_t maxBytes, std::string &text) {
  int fd = open(EventLogPath().c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0 && errno == ENOENT) return true;
  if (fd < 0) {
    SetLastError(errno);
    return false;
  }
  struct stat st;
  bool ok = fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
  if (ok && static_cast<uint64_t>(st.st_size) < offset) offset = 0;
  size_t start = text.size();
  if (ok) text.resize(start + maxBytes);
  size_t got = 0;
  while (ok && got < maxBytes) {
    ssize_t n = pread(fd, text.data() + start + got, maxBytes - got,
                      static_cast<off_t>(offset + got));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      ok = n == 0;
      break;
    }
    got += static_cast<size_t>(n);
  }
  if (!ok) SetLastError(errno != 0 ? errno : EINVAL);
  close(fd);
  text.resize(start + got);
  offset += got;
  return ok;
}
