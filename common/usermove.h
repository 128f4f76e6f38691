// usermove: the marker that a user's mailbox is being moved to another mail
// host ("zeladm user move USER --to HOST").
//
// While the marker stands, nothing may change the mailbox on this host: the
// delivery agent keeps the user's mail in its local queue (deferred, never
// returned), and a new POP3 or IMAP session of the user is refused with a
// temporary failure (net/mailproxy asks, in every session before it
// reaches the mailbox). Sessions already open go on, and an open IMAP
// session takes its user's next connections, until they end: the move
// waits for them (tools/zeladm/usermovecmd, which then copies the mailbox
// and switches the directory). Finishing the move removes it; the mail
// that waited then goes where the directory now says (the new mail host, by
// the agent's hand-off) at the agent's next scan.
//
// The markers are files below StateDirectory()/moving, one per user named
// by the user's name in lower case (account names compare without case in
// the accounts file), holding the target host. A name that cannot be a file
// name (empty, "/", a leading ".", longer than kMaxMoveUserName) has no
// marker: zeladm refuses to move it, and it is never held.
//
// Callers: zeladm (set, clear); the delivery agent's hand-off choice and
// the logon paths (ask). Untrusted input: the user name, from mail or a
// logon; it is checked before it names a file. Threads: no state; a marker
// is written whole (DurableFile) and read with one stat.
#pragma once

#include <string>

// Longer names are no account name this system makes.
constexpr size_t kMaxMoveUserName = 255;

// The marker of user; "" when the name cannot name one.
std::string UserMoveMarkerPath(const std::string &user);
// The user's mailbox is being moved: its marker exists.
bool UserMoveInProgress(const std::string &user);
// Sets the marker (durable) naming toHost; false with the last error.
bool MarkUserMove(const std::string &user, const std::string &toHost);
// Removes the marker; true also when there was none.
bool ClearUserMove(const std::string &user);
