// The service entry layer: command line, installation, the status reports
// seen by the service manager, and the control handler's state machine.
//
// Each test registers hooks of its own, so it can script the Init hook and
// count the others. Status reports are read from a datagram socket that the
// test binds and names in NOTIFY_SOCKET, the way systemd listens.
#include <gtest/gtest.h>

#include "tests/unit/testutil.h"

#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "common/service.h"
#include "platform/eventlog.h"
#include "platform/registry.h"
#include "platform/root.h"
#include "platform/svcctl.h"

namespace {

std::function<long()> g_InitHook;
std::atomic<int> g_TermCalls{0};
std::atomic<DWORD> g_LastUserControl{0};
std::atomic<int> g_Reloads{0};

constexpr ServiceHooks kTestHooks = {
    "ZELTEST",
    "ZEL Test Service",
    "9.99",
    [] { return g_InitHook ? g_InitHook() : 0L; },
    [] { ++g_TermCalls; },
    [](DWORD code) { g_LastUserControl = code; },
    [] { printf("addresses\n"); },
    [] { ++g_Reloads; },
};

// Bounds every wait of these tests.
constexpr int kWaitMs = 5000;

bool Exists(const std::string &path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

// Runs the command line in this process with standard output in a file.
long RunCommandLine(std::vector<std::string> args, std::string &output) {
  std::vector<char *> argv;
  for (std::string &a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  std::string path = ZelPath("/stdout.txt");
  fflush(stdout);
  int saved = dup(STDOUT_FILENO);
  FILE *capture = fopen(path.c_str(), "w");
  dup2(fileno(capture), STDOUT_FILENO);
  long rc = ServiceCommandLine(static_cast<int>(args.size()), argv.data(), kTestHooks);
  fflush(stdout);
  dup2(saved, STDOUT_FILENO);
  close(saved);
  fclose(capture);
  output = Slurp(path);
  return rc;
}

std::string UsageText(const std::string &program) {
  std::string text = "Usage:\n";
  for (const char *o : {"-install", "-ipaddress", "-remove", "-run", "-version"})
    text += "  " + program + " " + o + "\n";
  return text + "-run runs the service in the foreground until Ctrl+C or SIGTERM;\n"
                "it cannot be combined with -install or -remove.\n";
}

// Sets or clears an environment variable for one scope.
class ScopedEnv {
 public:
  ScopedEnv(const char *name, const char *value) : name_(name) {
    const char *old = std::getenv(name);
    had_ = old != nullptr;
    if (had_) old_ = old;
    if (value != nullptr) setenv(name, value, 1);
    else unsetenv(name);
  }
  ~ScopedEnv() {
    if (had_) setenv(name_, old_.c_str(), 1);
    else unsetenv(name_);
  }

 private:
  const char *name_;
  bool had_;
  std::string old_;
};

// The service manager's end of the notify protocol.
class NotifyListener {
 public:
  explicit NotifyListener(const std::string &name) : name_(name) {
    fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path, name.data(), name.size());
    if (name[0] == '@') addr.sun_path[0] = '\0';
    else unlink(name.c_str());
    socklen_t len = offsetof(sockaddr_un, sun_path) + name.size();
    bound_ = bind(fd_, reinterpret_cast<sockaddr *>(&addr), len) == 0;
    timeval tv{kWaitMs / 1000, 0};
    setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  }
  ~NotifyListener() {
    close(fd_);
    if (name_[0] == '/') unlink(name_.c_str());
  }
  bool Bound() const { return bound_; }
  // The next datagram, or "" after the wait bound.
  std::string Next() {
    char buf[4096];
    ssize_t n = recv(fd_, buf, sizeof buf, 0);
    return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
  }

 private:
  std::string name_;
  int fd_;
  bool bound_;
};

// service_main on its own thread, as the dispatcher would run it.
class ServiceRun {
 public:
  ServiceRun() : thread_([this] {
      char name[] = "ZELTEST";
      char *argv[] = {name, nullptr};
      service_main(1, argv);
      done_ = true;
    }) {}
  ~ServiceRun() {
    if (!WaitDone()) StopThisService();
    thread_.join();
  }
  bool WaitDone() {
    for (int waited = 0; !done_ && waited < kWaitMs; waited += 10) Sleep(10);
    return done_;
  }

 private:
  std::atomic<bool> done_{false};
  std::thread thread_;
};

std::string StartPending(int checkPoint) {
  return "STATUS=Start pending, checkpoint " + std::to_string(checkPoint) +
         "\nEXTEND_TIMEOUT_USEC=3000000";
}

constexpr const char *kRunning = "READY=1\nSTATUS=Running";
constexpr const char *kPaused = "STATUS=Paused";
constexpr const char *kStopPending = "STOPPING=1\nSTATUS=Stop pending, checkpoint 1\nEXTEND_TIMEOUT_USEC=3000000";
constexpr const char *kStopped = "STATUS=Stopped";

class ServiceTest : public testing::Test {
 protected:
  void SetUp() override {
    RegisterServiceHooks(kTestHooks);
    g_InitHook = nullptr;
    g_TermCalls = 0;
    g_LastUserControl = 0;
    g_Reloads = 0;
  }
  void TearDown() override { g_InitHook = nullptr; }
  std::string SocketPath() { return ZelPath("/notify.sock"); }
};

// ---- Command line.

struct CommandCase {
  std::vector<std::string> args;
  long exitCode;
  std::string output;  // "$USAGE" stands for the usage text
};

TEST_F(ServiceTest, CommandLineTable) {
  const std::string usage = UsageText("zeltest");
  const CommandCase cases[] = {
      {{"-version", "-install", "-remove"}, ZEL_EXIT_CONFLICT,
       "ZEL Test Service 9.99\nYou cannot specify both the -install and the -remove options\n"},
      {{"-VERSION"}, 0, "ZEL Test Service 9.99\n"},
      {{"-IPaddress", "-version"}, 0, "addresses\nZEL Test Service 9.99\n"},
      {{"-Version", "-start", "-version"}, ZEL_EXIT_BAD_ARGUMENT,
       "ZEL Test Service 9.99\nUnrecognised argument -start\n" + usage},
      {{"install"}, ZEL_EXIT_BAD_ARGUMENT, "Unrecognised argument install\n" + usage},
      {{"-RUN", "-remove"}, ZEL_EXIT_CONFLICT,
       "You cannot specify both the -remove and the -run options\n"},
      {{"-run", "-Install"}, ZEL_EXIT_CONFLICT,
       "You cannot specify both the -install and the -run options\n"},
      {{"-remove", "-run", "-install"}, ZEL_EXIT_CONFLICT,
       "You cannot specify both the -install and the -remove options\n"},
  };
  for (const CommandCase &c : cases) {
    std::vector<std::string> args = {"zeltest"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    std::string output;
    EXPECT_EQ(RunCommandLine(args, output), c.exitCode) << c.args[0];
    EXPECT_EQ(output, c.output) << c.args[0];
  }
}

TEST_F(ServiceTest, NoArgumentsOutsideTheServiceManagerPrintsUsage) {
  ScopedEnv notify("NOTIFY_SOCKET", nullptr);
  ScopedEnv invocation("INVOCATION_ID", nullptr);
  std::string output;
  EXPECT_EQ(RunCommandLine({"zeltest"}, output), ZEL_EXIT_NOT_A_SERVICE);
  EXPECT_EQ(output, "zeltest should not be executed from the command prompt without arguments\n" +
                        UsageText("zeltest"));
  EXPECT_EQ(ExitStatusFromCode(ZEL_EXIT_NOT_A_SERVICE), 2);
}

std::string ReadEventSourceString(const char *name, DWORD &type) {
  RegKey key;
  std::string path = "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\ZELTEST";
  if (RegOpenKeyEx(HKEY_LOCAL_MACHINE, path.c_str(), KEY_READ, key.out()) != ERROR_SUCCESS)
    return "<no key>";
  char buf[4096];
  DWORD size = sizeof buf;
  if (RegQueryValueEx(key.get(), name, &type, buf, &size) != ERROR_SUCCESS) return "<no value>";
  return std::string(buf, size > 0 ? size - 1 : 0);
}

TEST_F(ServiceTest, InstallTwiceThenRemoveTwice) {
  std::string program;
  ASSERT_TRUE(GetModuleFileName(program));
  std::string unit = ServiceUnitPath(program);
  std::string output;

  ASSERT_EQ(RunCommandLine({"zeltest", "-install"}, output), 0) << output;
  EXPECT_EQ(output, "ZEL Test Service installed successfully\n");
  std::string text = Slurp(unit);
  EXPECT_NE(text.find("\nType=notify\n"), std::string::npos) << text;
  EXPECT_NE(text.find("\nExecStart=" + program + "\n"), std::string::npos) << text;
  EXPECT_NE(text.find("\nDescription=ZEL Test Service\n"), std::string::npos) << text;
  EXPECT_NE(text.find("\nAfter=network-online.target\n"), std::string::npos) << text;
  EXPECT_NE(text.find("\nEnvironment=ZEL_ROOT=" + ZelRoot() + "\n"), std::string::npos) << text;
  DWORD type = 0;
  EXPECT_EQ(ReadEventSourceString("EventMessageFile", type), program);
  EXPECT_EQ(type, REG_EXPAND_SZ);
  {
    RegKey key;
    EXPECT_EQ(RegOpenKeyEx(HKEY_LOCAL_MACHINE, "Software\\TALVO\\ZEL", KEY_READ, key.out()),
              ERROR_SUCCESS);
  }

  // An existing unit is left as it is.
  EXPECT_EQ(RunCommandLine({"zeltest", "-INSTALL"}, output), EEXIST);
  EXPECT_EQ(output, "CreateService failed with error: 17\nFile exists\n");
  EXPECT_EQ(Slurp(unit), text);

  EXPECT_EQ(RunCommandLine({"zeltest", "-remove"}, output), 0);
  EXPECT_EQ(output, "ZEL Test Service removed successfully\n");
  EXPECT_FALSE(Exists(unit));
  EXPECT_EQ(ReadEventSourceString("EventMessageFile", type), "<no key>");

  EXPECT_EQ(RunCommandLine({"zeltest", "-remove"}, output), ENOENT);
  EXPECT_EQ(output, "Error: 2\nNo such file or directory\n");
  EXPECT_EQ(ExitStatusFromCode(ENOENT), 2);
}

TEST_F(ServiceTest, UnitTextQuotesWhatSystemdWouldExpand) {
  struct Case {
    const char *path;
    const char *display;
    bool ok;
    const char *execStart;
    const char *description;
  };
  const Case cases[] = {
      {"/usr/sbin/zelrecv", "ZEL SMTP Receiver", true, "ExecStart=/usr/sbin/zelrecv\n",
       "Description=ZEL SMTP Receiver\n"},
      {"/opt/zel bin/zelrecv", "A 100% service", true, "ExecStart=\"/opt/zel bin/zelrecv\"\n",
       "Description=A 100%% service\n"},
      {"/opt/$HOME/%n/zelrecv", "x", true, "ExecStart=\"/opt/$HOME/%%n/zelrecv\"\n", nullptr},
      {"/opt/a\"b/zelrecv", "x", false, nullptr, nullptr},
      {"/opt/a\\b/zelrecv", "x", false, nullptr, nullptr},
      {"/opt/zel\nExecStartPre=/bin/sh", "x", false, nullptr, nullptr},
      {"/usr/sbin/zelrecv", "Two\nlines", false, nullptr, nullptr},
      {"/usr/sbin/zelrecv", "Continued\\", false, nullptr, nullptr},
      {"zelrecv", "relative", false, nullptr, nullptr},
  };
  for (const Case &c : cases) {
    std::string text;
    SetLastError(0);
    ServiceUnitSpec spec;
    spec.DisplayName = c.display;
    spec.BinaryPath = c.path;
    EXPECT_EQ(ServiceUnitText(spec, text), c.ok) << c.path;
    if (!c.ok) {
      EXPECT_EQ(GetLastError(), EINVAL);
      continue;
    }
    EXPECT_NE(text.find(c.execStart), std::string::npos) << text;
    if (c.description != nullptr) {
      EXPECT_NE(text.find(c.description), std::string::npos) << text;
    }
  }
}

// ---- Status reports and controls.

TEST_F(ServiceTest, NotifyReachesPathAndAbstractSocketsAndRejectsOthers) {
  NotifyListener path(SocketPath());
  ASSERT_TRUE(path.Bound());
  EXPECT_TRUE(SendNotify(SocketPath(), "STATUS=x"));
  EXPECT_EQ(path.Next(), "STATUS=x");

  std::string abstract = "@zel-test-" + std::to_string(getpid());
  NotifyListener hidden(abstract);
  ASSERT_TRUE(hidden.Bound());
  EXPECT_TRUE(SendNotify(abstract, "READY=1"));
  EXPECT_EQ(hidden.Next(), "READY=1");

  const struct {
    std::string name;
    long error;
  } bad[] = {
      {"vsock:2:1234", EAFNOSUPPORT},
      {"/" + std::string(200, 'a'), ENAMETOOLONG},
      {ZelPath("/nobody-listens.sock"), ENOENT},
  };
  for (const auto &b : bad) {
    EXPECT_FALSE(SendNotify(b.name, "READY=1"));
    EXPECT_EQ(GetLastError(), b.error) << b.name;
  }
}

struct ControlStep {
  DWORD control;
  const char *report;
  bool gateSet;
};

TEST_F(ServiceTest, ControlsFollowTheStateMachine) {
  NotifyListener manager(SocketPath());
  ASSERT_TRUE(manager.Bound());
  ScopedEnv notify("NOTIFY_SOCKET", SocketPath().c_str());
  g_InitHook = [] {
    StartupCheckPointHint(3000);
    return 0L;
  };
  ServiceRun run;
  for (int checkPoint = 1; checkPoint <= 4; ++checkPoint)
    EXPECT_EQ(manager.Next(), StartPending(checkPoint));
  ASSERT_EQ(manager.Next(), kRunning);
  ZelEvent *gate = ServicePauseGate();
  ASSERT_NE(gate, nullptr);
  EXPECT_TRUE(gate->IsSet());

  // Every control reports RUNNING unless it pauses, so an interrogate while
  // paused reports RUNNING while the gate stays shut.
  const ControlStep steps[] = {
      {SERVICE_CONTROL_PAUSE, kPaused, false},
      {SERVICE_CONTROL_INTERROGATE, kRunning, false},
      {SERVICE_CONTROL_CONTINUE, kRunning, false},
      {SERVICE_CONTROL_PAUSE, kPaused, false},
      {SERVICE_CONTROL_PAUSE, kRunning, false},
      {SERVICE_CONTROL_PAUSE, kPaused, false},
      {SERVICE_CONTROL_CONTINUE, kRunning, true},
      {SERVICE_CONTROL_CONTINUE, kRunning, true},
      {200, kRunning, true},
      {SERVICE_CONTROL_PARAMCHANGE, kRunning, true},
  };
  for (const ControlStep &step : steps) {
    service_ctrl(step.control);
    EXPECT_EQ(manager.Next(), step.report) << step.control;
    EXPECT_EQ(gate->IsSet(), step.gateSet) << step.control;
  }
  EXPECT_EQ(g_LastUserControl.load(), 200u);
  EXPECT_EQ(g_Reloads.load(), 1);
  EXPECT_EQ(g_TermCalls.load(), 0);

  service_ctrl(SERVICE_CONTROL_STOP);
  EXPECT_EQ(manager.Next(), kStopPending);
  ASSERT_TRUE(run.WaitDone());
  EXPECT_EQ(manager.Next(), kStopped);
  EXPECT_EQ(g_TermCalls.load(), 1);
  // The events outlive the run for threads that were not joined.
  ASSERT_NE(ServiceStopEvent(), nullptr);
  EXPECT_TRUE(ServiceStopEvent()->IsSet());
}

TEST_F(ServiceTest, FailedStartLogsErrorAndLastCheckPoint) {
  NotifyListener manager(SocketPath());
  ScopedEnv notify("NOTIFY_SOCKET", SocketPath().c_str());
  g_InitHook = [] {
    StartupCheckPointHint(3000);
    return 5L;
  };
  {
    ServiceRun run;
    ASSERT_TRUE(run.WaitDone());
  }
  for (int checkPoint = 1; checkPoint <= 4; ++checkPoint)
    EXPECT_EQ(manager.Next(), StartPending(checkPoint));
  EXPECT_EQ(manager.Next(), kStopped);  // never READY=1
  EXPECT_EQ(g_TermCalls.load(), 1);
  std::string events = Slurp(EventLogPath());
  EXPECT_NE(events.find("ZELTEST ERROR 40 0xC0000028 InitThisService() failed with error 5 at "
                        "checkpoint 4.\n"),
            std::string::npos)
      << events;
}

TEST_F(ServiceTest, UnreportableStatusStopsTheService) {
  ScopedEnv notify("NOTIFY_SOCKET", ZelPath("/nobody-listens.sock").c_str());
  ServiceRun run;
  // The report of RUNNING fails too, which sets the stop event.
  ASSERT_TRUE(run.WaitDone());
  EXPECT_EQ(g_TermCalls.load(), 1);
  std::string events = Slurp(EventLogPath());
  EXPECT_NE(events.find("ZELTEST ERROR 32 0xC0000020 Win32 API routine \"SetServiceStatus\" failed: "
                        "No such file or directory"),
            std::string::npos)
      << events;
}

// ---- The dispatcher, in the foreground ("-run").

TEST_F(ServiceTest, ForegroundRunExitsWithTheStartFailure) {
  ScopedEnv notify("NOTIFY_SOCKET", nullptr);
  struct {
    long initResult;
    long exitCode;
  } cases[] = {{5, 5}, {-1, ZEL_EXIT_START_FAILED}};
  for (const auto &c : cases) {
    g_InitHook = [&c] { return c.initResult; };
    std::string output;
    EXPECT_EQ(RunCommandLine({"zeltest", "-run"}, output), c.exitCode);
    EXPECT_EQ(output, "");
  }
  EXPECT_EQ(ExitStatusFromCode(ZEL_EXIT_START_FAILED), 3);
}

TEST_F(ServiceTest, StopSignalDuringStartIsHeldUntilRunning) {
  NotifyListener manager(SocketPath());
  ScopedEnv notify("NOTIFY_SOCKET", SocketPath().c_str());
  // The dispatcher has blocked SIGTERM in this thread before the Init hook
  // runs, so the signal waits for the dispatcher thread.
  g_InitHook = [] {
    kill(getpid(), SIGTERM);
    Sleep(50);
    return 0L;
  };
  std::string output;
  EXPECT_EQ(RunCommandLine({"zeltest", "-run"}, output), 0);
  std::vector<std::string> reports;
  for (std::string r = manager.Next(); !r.empty() && reports.size() < 10; r = manager.Next()) {
    reports.push_back(r);
    if (r == kStopped) break;
  }
  ASSERT_EQ(reports.size(), 6u);
  EXPECT_EQ(reports[3], kRunning);
  EXPECT_EQ(reports[4], kStopPending);
  EXPECT_EQ(reports[5], kStopped);
  EXPECT_EQ(g_TermCalls.load(), 1);
}

TEST_F(ServiceTest, HangUpReloadsOnlyOnceRunning) {
  ScopedEnv notify("NOTIFY_SOCKET", nullptr);
  static std::atomic<int> reloadsDuringStart{-1};
  // A hang-up during the start is dropped (the start reads everything
  // anyway); once running, each one is a reload. The helper thread inherits
  // the blocked signals, so they all go to the dispatcher.
  g_InitHook = [] {
    kill(getpid(), SIGHUP);
    Sleep(50);
    reloadsDuringStart = g_Reloads.load();
    std::thread([] {
      for (int waited = 0; g_Reloads.load() == 0 && waited < kWaitMs; waited += 20) {
        kill(getpid(), SIGHUP);
        Sleep(20);
      }
      kill(getpid(), SIGTERM);
    }).detach();
    return 0L;
  };
  std::string output;
  EXPECT_EQ(RunCommandLine({"zeltest", "-run"}, output), 0);
  EXPECT_EQ(reloadsDuringStart.load(), 0);
  EXPECT_GE(g_Reloads.load(), 1);
  EXPECT_EQ(g_TermCalls.load(), 1);
}

}  // namespace
