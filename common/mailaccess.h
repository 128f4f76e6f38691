// mailaccess: what a mail-access session process (POP3, IMAP) does as root
// before it serves anyone: it finds the logged-on user's mailbox, makes it
// when AutoCreateInboxDir allows (platform/mailboxdir makes it the
// owner's), hands a mailbox that root still owns to its user, and then
// becomes the user for good (uid, gid and supplementary groups; a virtual
// user's are VirtualMailAccount's; no capabilities, no_new_privs).
//
// Callers: the session processes of zelfetch and zelimap, single-threaded,
// right after they read their launch record (common/logonhelper). The
// user name is the one the client typed (a mailbox template may use it);
// the token is the logon's. Failures are returned as codes for the
// protocol's own reply; a mailbox handed over is an event (63).
#pragma once

#include <string>

#include "platform/logon.h"

enum class MailboxReach {
  kReached,
  kNoDirectory,   // the template gives no directory for the user
  kMissing,       // the mailbox does not exist and may not be made
  kFailed,        // it could not be opened or made: error says why
};

// Finds (and maybe makes) the mailbox of user in domain as root; directory
// receives its path.
MailboxReach ReachUserMailbox(const std::string &user, const std::string &domain,
                              const LogonToken &token, std::string &directory, long &error);

// The inbox template cut before its first "%", when that "%" begins
// "%USERNAME%" (case ignored); false for any other template.
bool MailboxRoot(const std::string &inboxTemplate, std::string &root);
// Makes the mailbox root of MailInboxDirectory when it has one (root's,
// mode 0711: platform/mailboxdir's OpenRoot), at a server's start. False
// after the event "CreateDirectory Inbox"; a directory of another user's
// on its path is only a warning (the administrator's to mend).
bool CreateMailboxRoot();

// Becomes the user of token for good; a token without an identity keeps
// this process's own (when it never was root). False with the last error.
bool BecomeSessionUser(const LogonToken &token);
