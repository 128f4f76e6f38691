// service: the entry layer shared by the three service programs.
//
// A program's main() hands its command line and its ServiceHooks to
// ServiceCommandLine(), which installs, removes, describes the service, or
// runs it: under systemd (or with "-run" in the foreground) service_main()
// reports start-pending checkpoints, creates the stop event and the pause
// gate, calls the program's Init hook, reports the service running, waits
// for the stop event, then calls the Term hook and reports it stopped.
// SIGTERM and SIGINT are the stop control, SIGUSR1 pause, SIGUSR2 continue,
// SIGHUP reload (platform/svcctl): the Reload hook runs on the dispatcher
// thread while the service runs or is paused.
//
// Exit: 0 after a service ran and stopped; a failed start exits nonzero (the
// error number the Init hook returned, or ZEL_EXIT_START_FAILED when it had
// already reported why) so that systemd marks the unit failed.
//
// The hooks are registered once, before any of the program's threads start,
// and only read afterwards. The status record, the stop event and the pause
// gate are process-wide; the program's threads only read the gate and the
// stop event.
#pragma once

#include <sys/types.h>

#include "platform/errors.h"
#include "platform/svcctl.h"
#include "platform/sync.h"

// Exit codes of the command line (the process exits with their low 8 bits).
constexpr long ZEL_EXIT_BAD_ARGUMENT = 0x20000001;
constexpr long ZEL_EXIT_NOT_A_SERVICE = 0x20000002;
constexpr long ZEL_EXIT_CONFLICT = 0x20000007;
// The service failed to start and the event log says why.
constexpr long ZEL_EXIT_START_FAILED = 0x20000003;

// The argument of a session process (ServiceHooks::Session).
constexpr const char *kSessionArgument = "-session";

// What each program hands the runtime: its identity and its hooks. The
// strings are the program's constants and must outlive the process.
struct ServiceHooks {
  const char *Name;         // the service and event-source name ("ZELRECV")
  const char *DisplayName;  // "ZEL SMTP Receiver"
  const char *Version;
  // A null hook does nothing (a null Init succeeds).
  // 0: running; -1: failed and already reported why; else an error number.
  long (*Init)();
  // Ends the program's work; also runs after a failed start, so it must
  // cope with a partly started program.
  void (*Term)();
  // Controls of 128 and above.
  void (*Control)(DWORD code);
  // Prints this computer's addresses ("-ipaddress").
  void (*DisplayAddresses)();
  // Re-reads what may change without a restart (SIGHUP, `systemctl
  // reload`); runs on the dispatcher thread, beside the program's own.
  void (*Reload)() = nullptr;
  // -install of a program whose unit starts it as the service account:
  // hands the account what the program writes, as the program itself does
  // when root starts it, after reading the program's own settings. False
  // with the thread's last error set (and the step logged).
  bool (*GiveFilesToAccount)(uid_t uid, gid_t gid) = nullptr;
  // "-session": a logged-on user's session process, started by the
  // program's own logon helper (never by hand: it reads what the helper
  // hands it on its descriptors). Its exit status.
  long (*Session)() = nullptr;
};

// Makes hooks the program's; ServiceCommandLine does it, tests that drive
// service_main directly call it first. Until a program registers, the
// runtime answers with a neutral identity, "ZELTEST" ("ZEL Test" version
// "0.0") without hooks: unit tests and fuzz targets that never start a
// service report their events under it.
void RegisterServiceHooks(const ServiceHooks &hooks);

// The registered hooks (-install asks for the program's own steps).
const ServiceHooks &ThisServiceHooks();

// The registered identity, for events, the configuration key and greetings.
const char *ThisServiceName();
const char *ThisServiceDisplayName();
const char *ThisServiceVersion();

// Registers hooks and handles the command line; returns the full exit code
// (see ExitStatusFromCode). Options: -install, -ipaddress, -remove, -run,
// -version (case ignored). "-run" runs the service in the foreground and
// cannot be combined with -install or -remove.
long ServiceCommandLine(int argc, char **argv, const ServiceHooks &hooks);

// The service's entry point and control handler, as the dispatcher calls
// them (tests drive them directly, after RegisterServiceHooks).
void service_main(DWORD argc, char **argv);
void service_ctrl(DWORD ctrlCode);

bool ReportStatusToSCMgr(DWORD currentState, DWORD win32ExitCode,
                         DWORD serviceSpecificExitCode, DWORD checkPoint, DWORD waitHint);
// Reports START_PENDING with the next checkpoint and the given wait hint.
void StartupCheckPointHint(DWORD waitHintMs);
// Ends the service after a fatal error (sets the stop event if it exists).
void StopThisService();

// The stop event (manual reset, created non-signalled) and the pause gate
// (manual reset, created signalled, reset while paused). Null until
// service_main creates them; from then on they live until the process exits,
// because the program's threads are not joined and may still wait on them.
ZelEvent *ServiceStopEvent();
ZelEvent *ServicePauseGate();
