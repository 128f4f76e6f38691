// Event reporting and the daily activity log.
#include <gtest/gtest.h>

#include "tests/unit/testutil.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

#include "common/logging.h"
#include "messages/zelmsg.h"
#include "platform/files.h"
#include "platform/root.h"
#include "platform/textfile.h"

namespace {

std::string LastEventLine() {
  std::string all = Slurp(EventLogPath());
  if (all.empty()) return "";
  size_t end = all.size() - 1;
  size_t start = all.rfind('\n', end - 1);
  return all.substr(start == std::string::npos ? 0 : start + 1, end - (start + 1));
}

long long LocalTime(int year, int mon, int day, int h, int m, int s) {
  struct tm tm {};
  tm.tm_year = year - 1900;
  tm.tm_mon = mon - 1;
  tm.tm_mday = day;
  tm.tm_hour = h;
  tm.tm_min = m;
  tm.tm_sec = s;
  tm.tm_isdst = -1;
  return static_cast<long long>(mktime(&tm));
}

std::string FreshDir(const char *name) {
  std::string dir = ZelPath(std::string("/logs-") + name);
  CreateDirectory(dir);
  return dir;
}

}  // namespace

TEST(Logging, NetworkTextIsEscapedAndCut) {
  EXPECT_EQ(LogSafeText("USER bob"), "USER bob");
  EXPECT_EQ(LogSafeText("a\r\n\x7f\xff"), "a\\x0D\\x0A\\x7F\\xFF");
  EXPECT_EQ(LogSafeText(std::string(500, 'a')).size(), kMaxLoggedText);
}

TEST(Logging, InsertsFollowTheFirstString) {
  EXPECT_EQ(FormatMessageText("Win32 API routine \"%1\" failed: %2\r\n", "bind", "in use"),
            "Win32 API routine \"bind\" failed: in use\r\n");
  LogEvent(EVENTLOG_ERROR_TYPE, MSG_INIT_FAILED, nullptr, "ignored");
  std::string line = LastEventLine();
  EXPECT_NE(line.find(" ERROR 40 0xC0000028 InitThisService() failed with error %1 at checkpoint %2."),
            std::string::npos)
      << line;
}

TEST(Logging, EventLineCarriesSourceTypeNumberAndFoldedText) {
  LogEvent(EVENTLOG_ERROR_TYPE, MSG_NO_IP_ADDRESS, nullptr, nullptr);
  std::string line = LastEventLine();
  EXPECT_NE(line.find(" ERROR 37 0xC0000025 The service could not determine the IP address of "
                      "this computer. Please check that TCP/IP is correctly installed and "
                      "configured."),
            std::string::npos)
      << line;
  EXPECT_EQ(line.find('\r'), std::string::npos);
  EXPECT_EQ(line.back(), '.');
}

TEST(Logging, Win32ErrorUsesTheSystemTextOrTheNumber) {
  LogWin32Error(EVENTLOG_WARNING_TYPE, "open", ENOENT);
  EXPECT_NE(LastEventLine().find("WARNING 32 0xC0000020 Win32 API routine \"open\" failed: No such file or directory"),
            std::string::npos);
  LogWin32Error(EVENTLOG_ERROR_TYPE, "Mystery", 3999);
  EXPECT_NE(LastEventLine().find("failed: 3999"), std::string::npos);
}

TEST(Logging, DayNumberAndFileNameFollowTheLocalDate) {
  long long t = LocalTime(2026, 12, 7, 12, 0, 0);
  EXPECT_EQ(DayNumberAt(t), 126L * 1000 + 340);
  EXPECT_EQ(GenerateLogFileNameAt("/x/inlog", t), "/x/inlog/1261207.log");
  EXPECT_EQ(GenerateLogFileNameAt("/x/inlog/", LocalTime(1999, 1, 2, 0, 0, 0)), "/x/inlog/990102.log");
  EXPECT_EQ(GenerateLogFileNameAt("", t), WindowsDirectory() + "/1261207.log");
  // A directory too long for a path is cut, the whole name stays bounded.
  EXPECT_EQ(GenerateLogFileNameAt(std::string(400, 'd'), t).size(), 259u);
}

TEST(Logging, EntriesAcrossMidnightGoToTwoFilesAndRestartAppends) {
  std::string dir = FreshDir("midnight");
  std::atomic<bool> enabled{true};
  long long before = LocalTime(2026, 3, 1, 23, 59, 59);
  long long after = LocalTime(2026, 3, 2, 0, 0, 1);
  LogTransactionToFileAt(enabled, dir, [](TextFile &f) { f.Write("first\n"); }, before);
  LogTransactionToFileAt(enabled, dir, [](TextFile &f) { f.Write("second\n"); }, after);
  TermLogModule();
  LogTransactionToFileAt(enabled, dir, [](TextFile &f) { f.Write("third\n"); }, after);
  TermLogModule();
  EXPECT_TRUE(enabled);
  EXPECT_EQ(Slurp(dir + "/1260301.log"), "first\r\n");
  EXPECT_EQ(Slurp(dir + "/1260302.log"), "second\r\nthird\r\n");
}

TEST(Logging, MissingDirectoryReportsOnceAndStopsLogging) {
  std::atomic<bool> enabled{true};
  int calls = 0;
  std::string dir = ZelPath("/no-such-log-dir");
  LogTransactionToFile(enabled, dir, [&](TextFile &) { ++calls; });
  EXPECT_FALSE(enabled);
  EXPECT_NE(LastEventLine().find("ERROR 38 0xC0000026 Error opening log file \"" + dir),
            std::string::npos);
  LogTransactionToFile(enabled, dir, [&](TextFile &) { ++calls; });
  EXPECT_EQ(calls, 0);
  TermLogModule();
}

TEST(Logging, ConcurrentEntriesNeverInterleave) {
  std::string dir = FreshDir("threads");
  std::atomic<bool> enabled{true};
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 50; ++i)
        LogTransactionToFile(enabled, dir, [&](TextFile &f) {
          f.Printf("t%d ", t);
          f.Printf("i%d\n", i);
        });
    });
  }
  for (auto &th : threads) th.join();
  TermLogModule();
  std::string all = Slurp(GenerateLogFileName(dir));
  std::istringstream in(all);
  std::string line;
  int lines = 0;
  while (std::getline(in, line)) {
    ++lines;
    EXPECT_EQ(line[0], 't');
    EXPECT_NE(line.find(" i"), std::string::npos);
    EXPECT_EQ(line.back(), '\r');
  }
  EXPECT_EQ(lines, 400);
}

namespace {

// Every descriptor the process may still open is taken (the soft limit is
// lowered first, so filling it is quick), until destroyed.
class AllDescriptorsTaken {
 public:
  AllDescriptorsTaken() {
    getrlimit(RLIMIT_NOFILE, &saved_);
    rlimit low = saved_;
    low.rlim_cur = std::min<rlim_t>(saved_.rlim_cur, 256);
    setrlimit(RLIMIT_NOFILE, &low);
    for (int fd; (fd = open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0;) fds_.push_back(fd);
    error = errno;
  }
  ~AllDescriptorsTaken() {
    for (int fd : fds_) close(fd);
    setrlimit(RLIMIT_NOFILE, &saved_);
  }
  int error = 0;

 private:
  rlimit saved_{};
  std::vector<int> fds_;
};

void Report(const char *text) { LogEvent(EVENTLOG_WARNING_TYPE, MSG_WIN32_ERROR, text, "x"); }

bool Holds(const std::string &path, const char *text) {
  return Slurp(path).find(text) != std::string::npos;
}

}  // namespace

// The log keeps its file open: an event still gets there when the process
// has no descriptor left; a log rotated away is followed to the new file,
// or, when that cannot be opened, the old one takes the line.
TEST(Logging, EventsNeedNoFreeDescriptorAndFollowARotation) {
  const std::string path = EventLogPath();
  Report("first");
  {
    AllDescriptorsTaken taken;
    ASSERT_EQ(taken.error, EMFILE);
    Report("no descriptor left");
  }
  EXPECT_TRUE(Holds(path, "no descriptor left"));
  ASSERT_EQ(rename(path.c_str(), (path + ".1").c_str()), 0);
  Report("after the rotation");
  EXPECT_TRUE(Holds(path, "after the rotation"));
  EXPECT_FALSE(Holds(path + ".1", "after the rotation"));
  ASSERT_EQ(rename(path.c_str(), (path + ".2").c_str()), 0);
  {
    AllDescriptorsTaken taken;
    Report("rotated, no descriptor left");
  }
  EXPECT_TRUE(Holds(path + ".2", "rotated, no descriptor left"));
  Report("descriptors back");
  EXPECT_TRUE(Holds(path, "descriptors back"));
}
