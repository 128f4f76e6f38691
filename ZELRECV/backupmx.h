// backupmx: mail this host takes as a lower-preference exchanger (a backup
// MX) of a domain that is not its own.
//
// Two values of the receiver's Parameters, both lists of domain names
// (exact names, ASCII case ignored; no sub-domains):
//   BackupMxVerifiedDomains: a recipient at one of these domains is taken
//     only when the user directory knows it as a user of the site: the
//     account of its local part (else of the whole address, for a directory
//     that finds users by their mail addresses and aliases) names a mail
//     host. The accounts file and the host's accounts name none, so only a
//     directory (LDAP) verifies. No such user: refused for good; a lookup
//     that cannot be answered now: refused for now (the client tries again
//     or another exchanger), never a permanent refusal.
//   BackupMxDomains: every recipient at these domains is taken unverified.
//     The backup then accepts mail the primary will refuse, and must return
//     it as a failure report to a sender that is often forged (backscatter):
//     the documentation warns against it.
// A domain local to this host is never asked about here; the caller
// treats it as local.
//
// Mail taken this way is remote mail: the delivery agent queues it for its
// domain and sends it only to exchangers better than this host, never to
// itself or a worse one (routing), with the usual retry schedule and
// give-up.
//
// Callers: the SMTP dialogue (smtpdlg's RCPT) for a recipient that is
// neither local nor to be relayed; recvcfg loads the lists at start.
// Untrusted input: the address, from RCPT, already parsed and bounded.
// Threads: the lists are written at start and only read afterwards; the
// lookup is thread-safe. Failures: see kTryLater.
#pragma once

#include <string>
#include <vector>

#include "platform/accounts.h"
#include "platform/errors.h"
#include "platform/registry.h"

// The values' multi-string buffers, in bytes: room for hundreds of names.
constexpr size_t kBackupMxDomainsBytes = 8192;

extern std::vector<std::string> BackupMxDomains;
extern std::vector<std::string> BackupMxVerifiedDomains;
// The lookup the verification asks: FindAccountByName; tests put theirs.
extern bool (*BackupMxFindUser)(const std::string &name, AccountFound &found);

enum class BackupMxVerdict {
  kNotBackup,   // not a domain this host is a backup exchanger for
  kAccept,
  kUnknown,     // the directory has no such user of the site
  kTryLater,    // the directory could not be asked now
};

// The reply to a recipient that could not be verified now.
constexpr const char *kBackupMxTryLater =
    "451 Recipient cannot be verified now; try again later\r\n";

// Reads both lists from the receiver's Parameters key (absent: empty).
void LoadBackupMxSettings(HKEY params);
// The verdict on a recipient address (with its domain).
BackupMxVerdict BackupMxRecipient(const std::string &address);
