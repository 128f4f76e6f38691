// mbxsec: the POP3 server's start directories (spool, POP3 log, mailbox
// root). Every mailbox belongs to its user (platform/mailboxdir), and a
// session runs as that user, so no access grant is needed any more.
//
// Callers: the start sequence (CreateStartDirectories). Paths come from
// the configuration.
//
// Thread-safe; no state. Failures: CreateStartDirectories reports the
// failing step as a Win32-failure event.
#pragma once

#include <string>

#include "common/mailaccess.h"   // MailboxRoot

// Creates the spool directory, its POP3 log directory and the mailbox root
// (root's, mode 0711: platform/mailboxdir's OpenRoot). False after the
// event "CreateDirectory Spool", "... Pop3Log" or "... Inbox".
bool CreateStartDirectories();

