// mbxsec: the POP3 server's directories and their access rights: the start
// directories (spool, POP3 log, mailbox root) and the grant that lets the
// service account write into a mailbox directory a user has just created in
// the impersonation mode.
//
// Callers: the start sequence (CreateStartDirectories) and the logon
// (maildrop). Paths come from the configuration and the account database.
//
// Thread-safe; no state. Failures: CreateStartDirectories reports the
// failing step as a Win32-failure event; the grant prints its diagnostic
// lines (platform/dirsec).
#pragma once

#include <string>

// The account the services run as: the effective user's name, "SYSTEM"
// when it has none, at most 31 characters.
constexpr size_t kMaxServiceAccountName = 31;
std::string ServiceAccountName();

// The inbox template cut before its first "%", when that "%" begins
// "%USERNAME%" (case ignored); false for any other template.
bool MailboxRoot(const std::string &inboxTemplate, std::string &root);

// Creates the spool directory, its POP3 log directory and the mailbox root
// (root's, mode 0711: platform/mailboxdir's OpenRoot). False after the
// event "CreateDirectory Spool", "... Pop3Log" or "... Inbox".
bool CreateStartDirectories();

// Lets account write into and search directory, subdirectories inheriting
// the grant. True when done (or the file system has no ACLs).
bool GrantMailboxAccess(const std::string &directory, const std::string &account);

