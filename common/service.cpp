// service: see service.h. The Linux mechanics (signals, sd_notify, unit
// files) live in platform/svcctl; this file holds the entry layer's logic.
#include "common/service.h"

#include <string.h>

#include <atomic>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>

#include "common/logging.h"
#include "common/svcinstall.h"
#include "messages/zelmsg.h"
#include "platform/sysinfo.h"
#include "platform/ascii.h"
#include "platform/pidfile.h"
#include "platform/privilege.h"
#include "platform/registry.h"

namespace {

// Every start step and the stop are announced with this wait, in ms.
constexpr DWORD kStepWaitHint = 3000;
// The status record and its handle; reports come from service_main's
// thread, the dispatcher thread and the program's threads, so one lock
// makes each report whole.
std::mutex g_StatusLock;
SERVICE_STATUS ssStatus;
SERVICE_STATUS_HANDLE sshStatusHandle = nullptr;
std::atomic<DWORD> g_CheckPoint{1};

// Replaced only when service_main starts again (tests); never freed while
// a run may use them.
std::atomic<ZelEvent *> hServDoneEvent{nullptr};
std::atomic<ZelEvent *> hServPauseEvent{nullptr};

// What the process exits with after the dispatcher returns.
long g_ServiceExitCode = 0;

// Registered before the program's threads start, read-only afterwards.
ServiceHooks g_Hooks = {"ZELTEST", "ZEL Test", "0.0", nullptr, nullptr, nullptr, nullptr};

DWORD CurrentState() {
  std::lock_guard<std::mutex> guard(g_StatusLock);
  return ssStatus.dwCurrentState;
}

DWORD LastCheckPoint() {
  std::lock_guard<std::mutex> guard(g_StatusLock);
  return ssStatus.dwCheckPoint;
}

// A service runs once per process; tests run it again, so each run starts
// from a fresh record and counter.
void ResetServiceRecord() {
  std::lock_guard<std::mutex> guard(g_StatusLock);
  ssStatus = SERVICE_STATUS{};
  sshStatusHandle = nullptr;
  g_CheckPoint = 1;
}

// Creates an event into slot; the previous run's event, if any, goes.
bool CreateServiceEvent(std::atomic<ZelEvent *> &slot, bool initiallySignalled) {
  auto event = std::make_unique<ZelEvent>(true, initiallySignalled);
  if (!event->Valid()) return false;
  delete slot.exchange(event.release());
  return true;
}

}  // namespace

void RegisterServiceHooks(const ServiceHooks &hooks) { g_Hooks = hooks; }
const ServiceHooks &ThisServiceHooks() { return g_Hooks; }
const char *ThisServiceName() { return g_Hooks.Name; }
const char *ThisServiceDisplayName() { return g_Hooks.DisplayName; }
const char *ThisServiceVersion() { return g_Hooks.Version; }

ZelEvent *ServiceStopEvent() { return hServDoneEvent.load(); }
ZelEvent *ServicePauseGate() { return hServPauseEvent.load(); }

void StopThisService() {
  if (ZelEvent *done = hServDoneEvent.load()) done->Set();
}

bool ReportStatusToSCMgr(DWORD currentState, DWORD win32ExitCode,
                         DWORD serviceSpecificExitCode, DWORD checkPoint, DWORD waitHint) {
  long err;
  {
    std::lock_guard<std::mutex> guard(g_StatusLock);
    if (sshStatusHandle == nullptr) return true;
    bool controllable = currentState == SERVICE_RUNNING || currentState == SERVICE_PAUSED;
    ssStatus.dwControlsAccepted =
        controllable ? SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_PAUSE_CONTINUE |
                           SERVICE_ACCEPT_SHUTDOWN | SERVICE_ACCEPT_PARAMCHANGE
                     : 0;
    ssStatus.dwCurrentState = currentState;
    ssStatus.dwWin32ExitCode = win32ExitCode;
    ssStatus.dwServiceSpecificExitCode = serviceSpecificExitCode;
    ssStatus.dwCheckPoint = checkPoint;
    ssStatus.dwWaitHint = waitHint;
    if (SetServiceStatus(sshStatusHandle, ssStatus)) return true;
    err = GetLastError();
  }
  LogWin32Error(EVENTLOG_ERROR_TYPE, "SetServiceStatus", err);
  StopThisService();
  return false;
}

void StartupCheckPointHint(DWORD waitHintMs) {
  ReportStatusToSCMgr(SERVICE_START_PENDING, ERROR_SUCCESS, 0, g_CheckPoint++, waitHintMs);
}

// ---- Control handler: runs on the dispatcher thread.

void service_ctrl(DWORD ctrlCode) {
  // Each call reports RUNNING unless it pauses the service.
  DWORD state = SERVICE_RUNNING;
  ZelEvent *gate = hServPauseEvent.load();
  switch (ctrlCode) {
    case SERVICE_CONTROL_STOP:
    case SERVICE_CONTROL_SHUTDOWN:
      ReportStatusToSCMgr(SERVICE_STOP_PENDING, ERROR_SUCCESS, 0, 1, kStepWaitHint);
      StopThisService();
      return;
    case SERVICE_CONTROL_PAUSE:
      if (CurrentState() == SERVICE_RUNNING && gate != nullptr) {
        gate->Reset();
        state = SERVICE_PAUSED;
      }
      break;
    case SERVICE_CONTROL_CONTINUE:
      if (CurrentState() == SERVICE_PAUSED && gate != nullptr) gate->Set();
      break;
    case SERVICE_CONTROL_INTERROGATE:
      break;
    case SERVICE_CONTROL_PARAMCHANGE:
      if (g_Hooks.Reload != nullptr) g_Hooks.Reload();
      break;
    default:
      if (ctrlCode >= 128 && g_Hooks.Control != nullptr) g_Hooks.Control(ctrlCode);
      break;
  }
  ReportStatusToSCMgr(state, ERROR_SUCCESS, 0, 0, 0);
}

// ---- The service's own thread.

namespace {

// Runs the start steps and, when the start succeeded, the service until the
// stop event. Returns 0 after a clean run, else what the start failed with.
long StartAndRunService() {
  SetPrivateFileCreation();   // mail is private: nothing the service makes is for others
  SERVICE_STATUS_HANDLE handle = RegisterServiceCtrlHandler(ThisServiceName(), service_ctrl);
  {
    std::lock_guard<std::mutex> guard(g_StatusLock);
    sshStatusHandle = handle;
  }
  if (handle == nullptr) {
    LogWin32Error(EVENTLOG_ERROR_TYPE, "RegisterServiceCtrlHandler", GetLastError());
    return ZEL_EXIT_START_FAILED;
  }
  StartupCheckPointHint(kStepWaitHint);
  if (!CreateServiceEvent(hServDoneEvent, false)) {
    LogWin32Error(EVENTLOG_ERROR_TYPE, "CreateEvent", errno);
    return ZEL_EXIT_START_FAILED;
  }
  StartupCheckPointHint(kStepWaitHint);
  if (!CreateServiceEvent(hServPauseEvent, true)) {
    LogWin32Error(EVENTLOG_ERROR_TYPE, "CreateEvent", errno);
    return ZEL_EXIT_START_FAILED;
  }
  StartupCheckPointHint(kStepWaitHint);
  // zeladm status tells a running service by the pid file it holds; a
  // service that cannot write it still serves mail. Taken before the start
  // hook, which may leave root (the receiver): the open descriptor and its
  // lock outlive the switch, and the pid directory stays root's.
  if (!AnnounceServiceRunning(ThisServiceName()))
    LogWin32Error(EVENTLOG_WARNING_TYPE, "AnnounceServiceRunning", GetLastError());
  long result = g_Hooks.Init != nullptr ? g_Hooks.Init() : 0;
  if (result == -1) return ZEL_EXIT_START_FAILED;
  if (result != 0) {
    std::string error = std::to_string(result);
    std::string checkPoint = std::to_string(LastCheckPoint());
    LogEvent(EVENTLOG_ERROR_TYPE, MSG_INIT_FAILED, error.c_str(), checkPoint.c_str());
    return result;
  }
  ReleaseFreedMemory();
  ReportStatusToSCMgr(SERVICE_RUNNING, ERROR_SUCCESS, 0, 0, 0);
  if (WaitForSingleObject(*hServDoneEvent.load(), INFINITE) == WAIT_FAILED)
    LogWin32Error(EVENTLOG_ERROR_TYPE, "WaitForSingleObject", GetLastError());
  return 0;
}

}  // namespace

void service_main(DWORD argc, char **argv) {
  ResetServiceRecord();
  long result = StartAndRunService();
  // The events stay: threads that the Term hook signals may still wait on
  // them.
  if (g_Hooks.Term != nullptr) g_Hooks.Term();
  ReportStatusToSCMgr(SERVICE_STOPPED, ERROR_SUCCESS, 0, 0, 0);
  g_ServiceExitCode = result;
}

// ---- Command line.

namespace {

struct CommandLineOptions {
  bool install = false;
  bool remove = false;
  bool run = false;
};

void Usage(const char *program) {
  printf("Usage:\n");
  for (const char *option : {"-install", "-ipaddress", "-remove", "-run", "-version"})
    printf("  %s %s\n", program, option);
  printf("-run runs the service in the foreground until Ctrl+C or SIGTERM;\n"
         "it cannot be combined with -install or -remove.\n");
}

void ShowVersion(CommandLineOptions &) {
  printf("%s %s\n", ThisServiceDisplayName(), ThisServiceVersion());
}
void ShowIPAddress(CommandLineOptions &) {
  if (g_Hooks.DisplayAddresses != nullptr) g_Hooks.DisplayAddresses();
}
void WantInstall(CommandLineOptions &o) { o.install = true; }
void WantRemove(CommandLineOptions &o) { o.remove = true; }
void WantRun(CommandLineOptions &o) { o.run = true; }

struct OptionEntry {
  const char *name;
  void (*handler)(CommandLineOptions &);
};

// "-version" and "-ipaddress" act at once; the others are remembered.
constexpr OptionEntry kOptions[] = {
    {"-version", ShowVersion}, {"-ipaddress", ShowIPAddress}, {"-install", WantInstall},
    {"-remove", WantRemove},   {"-run", WantRun},
};

const OptionEntry *FindOption(const char *arg) {
  for (const OptionEntry &entry : kOptions)
    if (EqualsNoCase(arg, entry.name)) return &entry;
  return nullptr;
}

void InvalidParameters(const char *first, const char *second) {
  printf("You cannot specify both the %s and the %s options\n", first, second);
}

bool ValidParameterCombination(const CommandLineOptions &o) {
  struct Conflict {
    bool both;
    const char *first;
    const char *second;
  };
  const Conflict conflicts[] = {
      {o.install && o.remove, "-install", "-remove"},
      {o.install && o.run, "-install", "-run"},
      {o.remove && o.run, "-remove", "-run"},
  };
  for (const Conflict &c : conflicts) {
    if (!c.both) continue;
    InvalidParameters(c.first, c.second);
    return false;
  }
  return true;
}

// Runs the service under the dispatcher; foreground skips the check that
// the service manager started us.
long RunService(const char *program, bool foreground) {
  fflush(stdout);
  if (StartServiceCtrlDispatcher(ThisServiceName(), service_main, foreground))
    return g_ServiceExitCode;
  long err = GetLastError();
  if (err == ERROR_FAILED_SERVICE_CONTROLLER_CONNECT) {
    printf("%s should not be executed from the command prompt without arguments\n", program);
    Usage(program);
    return ZEL_EXIT_NOT_A_SERVICE;
  }
  LogWin32Error(EVENTLOG_ERROR_TYPE, "StartServiceCtrlDispatcher", err);
  StopThisService();
  return err != 0 ? err : EIO;
}

}  // namespace

long ServiceCommandLine(int argc, char **argv, const ServiceHooks &hooks) {
  RegisterServiceHooks(hooks);
  const char *program = argc > 0 && argv[0] != nullptr ? argv[0] : ThisServiceName();
  if (argc < 2) return RunService(program, false);
  if (argc == 2 && hooks.Session != nullptr && strcmp(argv[1], kSessionArgument) == 0)
    return hooks.Session();
  CommandLineOptions options;
  for (int i = 1; i < argc; ++i) {
    const OptionEntry *entry = FindOption(argv[i]);
    if (entry == nullptr) {
      printf("Unrecognised argument %s\n", argv[i]);
      Usage(program);
      return ZEL_EXIT_BAD_ARGUMENT;
    }
    entry->handler(options);
  }
  if (!ValidParameterCombination(options)) return ZEL_EXIT_CONFLICT;
  if (options.run) return RunService(program, true);
  long rc = options.install ? InstallService() : 0;
  if (rc == 0 && options.remove) rc = RemoveService();
  return rc;
}
