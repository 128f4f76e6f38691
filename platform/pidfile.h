// pidfile: which services run, as zeladm status asks it.
//
// A running service holds "<PidFileDirectory()>/<SERVICE>.pid", a line with
// its process id and its start time in seconds since the epoch, under an
// exclusive flock for as long as the process lives. Whoever reads the file
// tries a shared flock first: when it gets it, no process holds the file and
// the service is not running, whatever the file says. A service that died
// leaves a stale file behind, and the kernel's release of its lock is what
// marks it stale, so no pid is ever trusted on its own.
//
// Called by the service runtime (common/service) once per run and by zeladm;
// the announcing process keeps the descriptor until it exits. Thread-safe
// for one service per process. Failures return false with the thread's last
// error set.
#pragma once

#include <string>

// Creates or takes over the service's pid file and holds it. EWOULDBLOCK
// when another process of the same service holds it already. Announcing the
// same service again from the same process rewrites the line.
bool AnnounceServiceRunning(const std::string &serviceName);

struct ServicePresence {
  bool Running = false;
  long Pid = 0;
  long long StartedAt = 0;  // seconds since the epoch
};

// Reads the presence of a service; a missing file is a service that does not
// run (true, Running false). False only when the file cannot be read.
bool QueryServicePresence(const std::string &serviceName, ServicePresence &presence);

// Asks a running service to reload (SIGHUP, the control ExecReload sends:
// the servers take their TLS pair again). The process signalled is the one
// that holds the pid file at that moment: its pid is pinned (pidfd_open)
// and the lock checked again before the signal, so a pid the kernel gave
// to another process since is never signalled. running is false, and the
// result true, when the service does not run.
bool ReloadRunningService(const std::string &serviceName, bool &running, long &pid);

// The pid file of a service (exposed for tests).
std::string ServicePidFilePath(const std::string &serviceName);
