// checkcmd: `zeladm check`, the administrator's configuration check.
//
//   zeladm check
//   zeladm check dns --domain D
//
// Runs the thorough configuration check (common/cfgcheck: every stored
// value, the accounts file, the directories of the receiver's account, the
// name servers) and prints each finding on one line to standard output,
// "error: ..." or "warning: ...". Exit status kAdmExitFailure when any finding
// is an error, else kAdmExitOk. "check dns" compares the domain's DNS
// records with what zeladm dns prints (dnscmd). Reads only. Single-threaded
// (zeladm's main).
#pragma once

// argv[0] is "check".
int RunCheckCommand(int argc, char **argv);
