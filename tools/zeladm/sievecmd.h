// sievecmd: `zeladm sieve`, a mail user's Sieve scripts (common/sieveconf:
// where they live; docs/sieve.md).
//
//   zeladm sieve USER list              the scripts, the active one marked
//   zeladm sieve USER show NAME         a script's text
//   zeladm sieve USER put FILE [NAME]   stores FILE as NAME (default: its
//                                       base name without ".sieve") once it
//                                       compiles; a script of that name is
//                                       replaced
//   zeladm sieve USER activate NAME     makes NAME the active script
//   zeladm sieve USER deactivate        no script is active
//   zeladm sieve USER check FILE        compiles FILE (includes checked for
//                                       form only) and prints the error
//
// The mailbox is found and opened as the delivery agent does (never made);
// the scripts directory is made when missing, and every file in it is read
// and written as the mailbox's owner. The limits are the suite's
// (SieveMaxScriptSize, SieveMaxNesting, SieveMaxScripts).
//
// Untrusted: the script file (compiled before it is stored) and the names
// (SieveScriptNameIsValid). Exit status: kAdmExitOk; kAdmExitFailure when
// the script does not compile or the files cannot be had; kAdmExitUsage
// for a wrong command line. Single-threaded (zeladm's main).
#pragma once

// argv[0] is "sieve"; argv[1] the user; argv[2] the subcommand.
int RunSieveCommand(int argc, char **argv);
