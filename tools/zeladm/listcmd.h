// listcmd: `zeladm list`, the administrator's side of the mailing lists.
//
//   zeladm list create NAME [OPTIONS]
//   zeladm list set NAME OPTIONS
//   zeladm list show [NAME]
//   zeladm list add-member NAME ADDRESS
//   zeladm list del-member NAME ADDRESS
//   zeladm list delete NAME
//
// OPTIONS: --moderator ADDR | --no-moderator, --who-can-send
// members|anyone|moderator, --bounce-action none|sender|address,
// --bounces-to ADDR | --no-bounces-to, --domain D | --no-domain, and the
// flags --reply-to-list, --moderate-join, --moderate-leave with their
// --no-... forms.
//
// Works on the mailing list store (common/liststore.h), the one the delivery
// agent reads: one key per list below Software\TALVO\ZEL\Lists, its
// settings as values and a Members key with one subkey per member; every
// change bumps "ConfigVersion" under Lists and under the list's key. Each
// command is one registry transaction, so a refused or failed command leaves
// nothing behind; the delivery agent sees a change at its next list pass.
//
// Command-line arguments are untrusted: names and addresses are checked
// against the store's limits and forms, and a setting that could not work
// (moderator-only posting without a moderator, say) is refused. Errors go to
// stderr with kAdmExitUsage (bad input, nothing done) or kAdmExitFailure.
// Single-threaded (zeladm's main).
#pragma once

// argv[0] is "list"; argv[1] the subcommand.
int RunListCommand(int argc, char **argv);
