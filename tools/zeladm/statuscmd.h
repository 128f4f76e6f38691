// statuscmd: `zeladm status`, what the mail system is doing now.
//
//   zeladm status
//
// For each service, whether it runs, with its pid and uptime (the pid files
// of platform/pidfile); the messages waiting in incoming, in each domain
// queue, in dead and in quarantine, and the age of the oldest queued
// message (the spool of the configuration); the last warnings and errors
// of the event log. Reads only; every listing is bounded. Exit status
// kAdmExitOk, or kAdmExitFailure when the spool cannot be read.
// Single-threaded (zeladm's main).
#pragma once

#include <string>

// argv[0] is "status".
int RunStatusCommand(int argc, char **argv);

// "3d 04h", "2h 05m", "4m 10s", "12s" (exposed for tests).
std::string AdmDurationText(long long seconds);
