// regcmd: `zeladm reg`, the administrator's view of the registry.
//
//   zeladm reg get KEY [NAME]            list a key, or print one value
//   zeladm reg set KEY NAME TYPE DATA... store a value (creating the key)
//   zeladm reg del KEY [NAME]            delete a key without subkeys, or a value
//   zeladm reg import FILE|-             apply a regedit file, all or nothing
//   zeladm reg export [KEY]              write a key (or everything) as a regedit file
//
// KEY is "HKEY_LOCAL_MACHINE\..." or "HKLM\..."; NAME "" is the default
// value. Command-line arguments and import files are untrusted input: every
// error is printed to stderr with the exit status kAdmExitUsage (nothing was
// done) or kAdmExitFailure. Import checks the whole file before it changes
// anything and applies it in one transaction. Single-threaded (zeladm's main).
#pragma once

// argv[0] is "reg"; argv[1] the subcommand.
int RunRegCommand(int argc, char **argv);
