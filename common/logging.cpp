// logging: see logging.h.
#include "common/logging.h"

#include <time.h>

#include <cstdio>
#include <mutex>

#include "common/service.h"
#include "messages/zelmsg.h"
#include "platform/root.h"
#include "platform/sysinfo.h"
#include "platform/textfile.h"

namespace {

// A log file path is bounded like the rest of the system's paths.
constexpr size_t kMaxLogFileName = 259;
// Console texts are folded at this width, as the console printer always did.
constexpr size_t kConsoleWidth = 80;

// The activity log module's state: one open daily file per process.
struct LogModule {
  std::mutex SerializeLogFile;
  TextFile LogFileStream;
  std::string LogFileName;
  long Today = 0;
};

LogModule &TheLogModule() {
  static LogModule module;
  return module;
}

void PrintWrapped(const std::string &text) {
  size_t start = 0;
  while (text.size() - start > kConsoleWidth) {
    size_t cut = text.rfind(' ', start + kConsoleWidth);
    if (cut == std::string::npos || cut <= start) cut = start + kConsoleWidth;
    printf("%.*s\n", static_cast<int>(cut - start), text.c_str() + start);
    start = cut < text.size() && text[cut] == ' ' ? cut + 1 : cut;
  }
  printf("%s\n", text.c_str() + start);
}

}  // namespace

std::string FormatMessageText(const char *text, const char *string1, const char *string2) {
  std::string out;
  for (const char *p = text; *p != '\0'; ++p) {
    if (p[0] == '%' && (p[1] == '1' || p[1] == '2')) {
      const char *insert = p[1] == '1' ? string1 : string2;
      if (insert != nullptr) {
        out += insert;
        ++p;
        continue;
      }
    }
    out.push_back(*p);
  }
  return out;
}

std::string LogSafeText(std::string_view text) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : text.substr(0, kMaxLoggedText)) {
    if (c >= 0x20 && c < 0x7F) {
      out.push_back(static_cast<char>(c));
      continue;
    }
    out += "\\x";
    out.push_back(kHex[c >> 4]);
    out.push_back(kHex[c & 15]);
  }
  return out;
}

void LogEvent(WORD type, uint32_t id, const char *string1, const char *string2) {
  const char *text = MessageText(id);
  if (text == nullptr) text = "";
  // The number of inserts follows the first string: without it none is used.
  const char *s2 = string1 != nullptr ? string2 : nullptr;
  ReportEventText(ThisServiceName(), type, id, FormatMessageText(text, string1, s2));
}

void LogWin32Error(WORD type, const char *routine, long errorCode) {
  std::string text;
  if (!FormatSystemMessage(errorCode, text)) text = std::to_string(errorCode);
  LogEvent(type, MSG_WIN32_ERROR, routine, text.c_str());
}

long DisplayErrorMessage(const char *functionName) {
  long code = GetLastError();
  if (code == 0) return 0;
  if (functionName != nullptr)
    printf("%s failed with error: %ld\n", functionName, code);
  else
    printf("Error: %ld\n", code);
  std::string text;
  if (FormatSystemMessage(code, text)) PrintWrapped(text);
  fflush(stdout);
  return code;
}

bool InitLogModule() {
  (void)TheLogModule();
  return true;
}

void TermLogModule() {
  LogModule &m = TheLogModule();
  std::lock_guard<std::mutex> lock(m.SerializeLogFile);
  m.LogFileStream.Close();
  m.Today = 0;
}

long DayNumberAt(long long epochSeconds) {
  struct tm tm {};
  bool isLocal;
  if (!GetBrokenDownTime(static_cast<time_t>(epochSeconds), tm, isLocal)) return -1;
  return static_cast<long>(tm.tm_year) * 1000 + tm.tm_yday;
}

long DayNumber() { return DayNumberAt(time(nullptr)); }

std::string GenerateLogFileNameAt(const std::string &directory, long long epochSeconds) {
  std::string name = directory.empty() ? WindowsDirectory() : directory;
  if (name.size() > kMaxLogFileName) name.resize(kMaxLogFileName);
  if (name.empty() || name.back() != '/') name.push_back('/');
  struct tm tm {};
  bool isLocal;
  if (GetBrokenDownTime(static_cast<time_t>(epochSeconds), tm, isLocal)) {
    char date[64];
    snprintf(date, sizeof date, "%2.2ld%2.2ld%2.2ld.log", static_cast<long>(tm.tm_year),
             static_cast<long>(tm.tm_mon + 1), static_cast<long>(tm.tm_mday));
    name += date;
  }
  if (name.size() > kMaxLogFileName) name.resize(kMaxLogFileName);
  return name;
}

std::string GenerateLogFileName(const std::string &directory) {
  return GenerateLogFileNameAt(directory, time(nullptr));
}

void LogTransactionToFileAt(std::atomic<bool> &enabled, const std::string &logDirectory,
                            const LogWriter &writer, long long epochSeconds) {
  if (!enabled.load()) return;
  LogModule &m = TheLogModule();
  std::lock_guard<std::mutex> lock(m.SerializeLogFile);
  long day = DayNumberAt(epochSeconds);
  bool dayChanged = day != m.Today;
  if (dayChanged) m.Today = day;
  if (enabled.load() && dayChanged) {
    m.LogFileStream.Close();
    m.LogFileName = GenerateLogFileNameAt(logDirectory, epochSeconds);
    if (!m.LogFileStream.Open(m.LogFileName, "ac")) {
      LogEvent(EVENTLOG_ERROR_TYPE, MSG_LOG_OPEN_ERROR, m.LogFileName.c_str(), nullptr);
      enabled.store(false);
    }
  }
  if (enabled.load() && m.LogFileStream.IsOpen()) {
    writer(m.LogFileStream);
    if (!m.LogFileStream.Flush() || m.LogFileStream.Error()) {
      LogEvent(EVENTLOG_ERROR_TYPE, MSG_LOG_WRITE_ERROR, m.LogFileName.c_str(), nullptr);
      enabled.store(false);
      m.LogFileStream.Close();
    }
  }
}

void LogTransactionToFile(std::atomic<bool> &enabled, const std::string &logDirectory,
                          const LogWriter &writer) {
  LogTransactionToFileAt(enabled, logDirectory, writer, time(nullptr));
}
