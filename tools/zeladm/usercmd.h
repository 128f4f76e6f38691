// usercmd: `zeladm user`, the administrator's view of the accounts file.
//
//   zeladm user add [DOMAIN\]NAME [--password PW | --password-stdin]
//                   [--home DIR] [--kind user|group|alias]
//   zeladm user del [DOMAIN\]NAME
//   zeladm user passwd [DOMAIN\]NAME --password PW | --password-stdin
//   zeladm user list
//   zeladm user set-identity --computer C --domain D [--controller \\DC]
//   zeladm user folders USER
//   zeladm user reindex USER [FOLDER]
//
// Without DOMAIN an account is local (its domain is the computer name).
// The first change creates $ZEL_ROOT/etc/zel/accounts with the host's
// identity (its name's first label in upper case, workgroup "WORKGROUP");
// from then on the services use that file instead of the host's accounts.
//
// folders and reindex work on a mail user's IMAP folders (common/
// mailstore): the mailbox is found and opened as the delivery agent does
// (never made), and every file is read and written as the mailbox's owner
// (root takes the owner's identity on its thread). folders lists each
// folder after a sync of its index; reindex builds indexes anew (new
// UIDVALIDITY, flags kept), which mail programs notice at their next
// SELECT.
//
// Command-line arguments, standard input and the existing file are
// untrusted: every error is printed to stderr, with the exit status
// kAdmExitUsage (nothing was done) or kAdmExitFailure. A malformed file is
// reported with its line and never rewritten. Changes are made under the
// file's lock, and the file is replaced atomically (mode 0600).
// Single-threaded (zeladm's main).
#pragma once

#include "platform/mailboxdir.h"

// argv[0] is "user"; argv[1] the subcommand.
int RunUserCommand(int argc, char **argv);

// The mailbox of the mail user name, found as the delivery agent finds it
// and opened by the same walk, as its owner; never made here. False with
// the reason printed.
bool OpenUserMailbox(const char *name, MailboxDir &box);
