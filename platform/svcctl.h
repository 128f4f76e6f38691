// svcctl: the service manager, as the service entry layer sees it.
//
// Stands in for the service control calls of the entry layer (common/service):
// StartServiceCtrlDispatcher, RegisterServiceCtrlHandler, SetServiceStatus,
// CreateService and DeleteService. On Linux the service manager is systemd:
//  - a service is a unit file "<program>.service" in SystemdUnitDirectory(),
//    written by CreateService and deleted by DeleteService, with the
//    hardening its ServiceUnitSpec asks for; a target unit groups services;
//  - controls are signals: SIGTERM and SIGINT stop, SIGUSR1 pauses, SIGUSR2
//    continues, SIGHUP asks for a reload (the parameter-change control;
//    `ExecReload=` in the unit sends it). The dispatcher blocks them in
//    the calling thread before it creates any thread, so every thread of the
//    program inherits the mask, and one dispatcher thread takes them with
//    signalfd and calls the registered handler;
//  - status reports are sd_notify datagrams to $NOTIFY_SOCKET (READY=1,
//    STOPPING=1, STATUS=..., EXTEND_TIMEOUT_USEC=...); without NOTIFY_SOCKET
//    a report is a no-op that succeeds.
//
// Untrusted input: the environment (NOTIFY_SOCKET, INVOCATION_ID) and the
// program's own path, which is quoted before it goes into a unit file.
// Thread-safety: one service per process. SetServiceStatus may be called
// from any thread; the handler runs on the dispatcher thread only.
// Failures return false with the thread's last error set to an errno value.
#pragma once

#include <string>
#include <vector>

#include "platform/errors.h"

// Service states, as reported to the service manager.
constexpr DWORD SERVICE_STOPPED = 1;
constexpr DWORD SERVICE_START_PENDING = 2;
constexpr DWORD SERVICE_STOP_PENDING = 3;
constexpr DWORD SERVICE_RUNNING = 4;
constexpr DWORD SERVICE_CONTINUE_PENDING = 5;
constexpr DWORD SERVICE_PAUSE_PENDING = 6;
constexpr DWORD SERVICE_PAUSED = 7;

// Service controls, as the handler receives them.
constexpr DWORD SERVICE_CONTROL_STOP = 1;
constexpr DWORD SERVICE_CONTROL_PAUSE = 2;
constexpr DWORD SERVICE_CONTROL_CONTINUE = 3;
constexpr DWORD SERVICE_CONTROL_INTERROGATE = 4;
constexpr DWORD SERVICE_CONTROL_SHUTDOWN = 5;
constexpr DWORD SERVICE_CONTROL_PARAMCHANGE = 6;

// The controls a service accepts in its status report.
constexpr DWORD SERVICE_ACCEPT_STOP = 0x1;
constexpr DWORD SERVICE_ACCEPT_PAUSE_CONTINUE = 0x2;
constexpr DWORD SERVICE_ACCEPT_SHUTDOWN = 0x4;
constexpr DWORD SERVICE_ACCEPT_PARAMCHANGE = 0x8;

constexpr DWORD SERVICE_WIN32_OWN_PROCESS = 0x10;

struct SERVICE_STATUS {
  DWORD dwServiceType = SERVICE_WIN32_OWN_PROCESS;
  DWORD dwCurrentState = 0;
  DWORD dwControlsAccepted = 0;
  DWORD dwWin32ExitCode = 0;
  DWORD dwServiceSpecificExitCode = 0;
  DWORD dwCheckPoint = 0;
  DWORD dwWaitHint = 0;
};

typedef void (*LPSERVICE_MAIN_FUNCTION)(DWORD argc, char **argv);
typedef void (*LPHANDLER_FUNCTION)(DWORD control);

struct ServiceStatusObject;
typedef ServiceStatusObject *SERVICE_STATUS_HANDLE;

// True when the service manager started this process (NOTIFY_SOCKET or
// INVOCATION_ID is set).
bool StartedByServiceManager();

// Runs serviceMain(1, {serviceName}) on the calling thread while a dedicated
// thread turns the control signals into handler calls. Unless foreground is
// set, fails with ERROR_FAILED_SERVICE_CONTROLLER_CONNECT when the service
// manager did not start the process. True once serviceMain has returned.
// A stop signal that arrives while the service does not yet accept stop
// (start pending) is held and delivered as soon as it does; pause, continue
// and reload are dropped while not accepted (a starting service reads its
// configuration anyway). The signals stay blocked after the return, so a
// late SIGTERM cannot turn a clean exit into a kill.
bool StartServiceCtrlDispatcher(const char *serviceName, LPSERVICE_MAIN_FUNCTION serviceMain,
                                bool foreground);

// Registers the control handler of the process's one service and captures
// NOTIFY_SOCKET for its reports. Never fails on Linux; the result is the
// status handle for SetServiceStatus.
SERVICE_STATUS_HANDLE RegisterServiceCtrlHandler(const char *serviceName,
                                                 LPHANDLER_FUNCTION handler);

// Reports the status to the service manager (see the header comment).
bool SetServiceStatus(SERVICE_STATUS_HANDLE handle, const SERVICE_STATUS &status);

// The sd_notify datagram for a status (exposed for tests).
std::string ServiceNotifyText(const SERVICE_STATUS &status);

// Sends one sd_notify datagram to socketName ("/path" or "@abstract").
bool SendNotify(const std::string &socketName, const std::string &text);

// The program's absolute path (/proc/self/exe).
bool GetModuleFileName(std::string &path);

// Makes sure the unit directory exists.
bool OpenSCManager();

// What a service's unit says beyond its program: who it runs as, which
// capabilities it may hold, where it may write. Every unit gets the same
// hardening besides (read-only system, private /tmp, no new privileges,
// kernel tunables and control groups read-only, Internet, local and netlink
// sockets only) and an ExecReload that sends SIGHUP.
struct ServiceUnitSpec {
  std::string DisplayName;
  std::string BinaryPath;                   // absolute
  std::string User;                         // "" runs it as root
  std::vector<std::string> Capabilities;    // the bounding set; empty: none at all
  std::vector<std::string> AmbientCapabilities;
  std::vector<std::string> ReadWritePaths;  // absolute; the only writable places
  std::string Target;                       // the target it belongs to ("zel.target"), or ""
  // The unit's first line, a comment on where it comes from; "" says it was
  // written by the program's -install.
  std::string Origin;
};

// The unit file of the program at binaryPath: SystemdUnitDirectory() + "/" +
// base name + ".service".
std::string ServiceUnitPath(const std::string &binaryPath);

// Writes the unit of spec.BinaryPath, create-new and atomically: EEXIST when
// the unit exists, EINVAL when a name cannot be written into a unit file.
bool CreateService(const ServiceUnitSpec &spec);

// Deletes the unit of binaryPath; ENOENT when there is none.
bool DeleteService(const std::string &binaryPath);

// The unit file's text (exposed for tests and for the packaged units); false
// with EINVAL when a name, path or capability holds what a unit file cannot
// carry.
bool ServiceUnitText(const ServiceUnitSpec &spec, std::string &text);

// A target unit "<name>.target" that starts the units it wants together.
// Written create-new and atomically (EEXIST when it exists).
std::string TargetUnitPath(const std::string &name);
bool TargetUnitText(const std::string &description, const std::vector<std::string> &wants,
                    std::string &text);
bool CreateTargetUnit(const std::string &name, const std::string &description,
                      const std::vector<std::string> &wants);
// Deletes "<name>.target"; ENOENT when there is none.
bool DeleteTargetUnit(const std::string &name);
// True when the unit file "<unit>" (with its suffix) exists in the unit directory.
bool UnitFileExists(const std::string &unit);
