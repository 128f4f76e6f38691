// pop3session: the process that serves one logged-on POP3 client, as the
// mail user.
//
// The front (zelfetch as the service account) checks nothing itself: the
// root logon helper checks the password and, when it is right, runs this
// program afresh as "zelfetch -session" (common/logonhelper) with the
// logged-on identity, the start record the front wrote (common/
// sessionstart), the client's data socket and the control socket. Still
// root, the session reads its settings, finds the user's mailbox and makes it when
// AutoCreateInbox allows (platform/mailboxdir makes it the owner's); then
// it becomes the user for good (uid, gid and supplementary groups; a
// virtual user's are VirtualMailAccount's; no capabilities, no_new_privs;
// never root), locks the mailbox as the user, scans it, and tells the
// front it serves. From then on it runs the POP3 transaction on an engine
// of its own (net/sessionhandoff) until QUIT, a time-out or the client's
// end, and exits; its activity log lines go to the front, which writes
// them. When the mailbox cannot be used it answers the front with the
// reply for the client instead (kControlRefused) and exits: the client is
// back in the authorization state, as after a refused logon.
//
// Untrusted input: the start record (decoded bounded; the front faces the
// network), and the client's commands (pop3dlg's parsers).
#pragma once

#include <string_view>

#include "common/logonhelper.h"

// The Session hook of the service runtime: the whole session process,
// after the program's settings are read (readSettings, as root). Its exit
// status.
long RunPop3Session(bool (*readSettings)());
