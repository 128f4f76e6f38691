// managesieve: ManageSieve (RFC 5804), with which mail programs store a
// user's Sieve scripts, served by zelimap on SievePortNo with the IMAP
// server's machinery: the same front (the service account, no privileges),
// network engine, limits, root logon helpers, failure accounting and
// plaintext-password rule, and a session process run as the user.
//
// The front (GreetSieveConnection: connections of the ManageSieve
// listener) holds the dialogue up to logon: the capability greeting,
// CAPABILITY, NOOP, LOGOUT, STARTTLS (then the capabilities again) and
// AUTHENTICATE PLAIN (initial response or a continuation; "*" cancels).
// A password crosses an unencrypted connection only from
// PlaintextLogonClients, as with IMAP: to others SASL lists no mechanism
// and AUTHENTICATE gets "NO (ENCRYPT-NEEDED)" unchecked. The logon goes to
// the IMAP front's logon pool (CheckImapOrSieveLogon) and, once the root
// helper has checked the password, to a session process of its own
// ("zelimap -session" with the start record's protocol "sieve"; it never
// shares the user's IMAP session: it touches no folder). Refused logons
// get "NO Authentication failed" late, write the failed-logon event, and
// the third closes the connection; a directory that cannot answer gives
// "NO (TRYLATER)".
//
// The session (RunSieveSession), still root, first sends a user whose
// mailbox another mail host keeps there ("NO (REFERRAL "sieve://HOST")")
// and refuses one whose mailbox is being moved or whose directory cannot
// answer ("NO (TRYLATER)"); then, as the user for good, it opens the scripts
// directory <mailbox>/sieve (made 0700 when missing) and serves HAVESPACE,
// PUTSCRIPT, CHECKSCRIPT, LISTSCRIPTS, SETACTIVE, GETSCRIPT, DELETESCRIPT,
// RENAMESCRIPT, CAPABILITY, NOOP, LOGOUT and UNAUTHENTICATE. A script is
// compiled before it is stored (a refusal names the line); it is stored
// whole (common/sievestore); at most SieveMaxScripts scripts of at most
// SieveMaxScriptSize bytes; the active script cannot be deleted. After
// UNAUTHENTICATE the connection is not authenticated again, and as the
// session cannot check a password, AUTHENTICATE there is refused: the
// client logs on again on a new connection.
//
// Untrusted input: every byte from the client (managesieveparse, bounded);
// script texts are compiled bounded (common/sieve). Passwords are wiped
// once handed to the pool. Threads: the engine's rule, one worker per
// connection at a time.
#pragma once

#include <span>
#include <string>
#include <string_view>

#include "ZELIMAP/managesieveparse.h"
#include "common/logonpool.h"
#include "common/sessionstart.h"
#include "common/sieveconf.h"
#include "net/netengine.h"

// The start record's protocol of a ManageSieve session.
constexpr const char *kSieveSessionProtocol = "sieve";

// Reads the Sieve settings the front shows (MAXREDIRECTS) and the session
// enforces; at the start, as root. Read only afterwards.
void LoadManageSieveSettings();
const SieveSettings &ManageSieveSettings();

// The engine's Greet for a connection of the ManageSieve listener.
void GreetSieveConnection(_Connection *conn);

// The IMAP front's pool check: a ManageSieve logon starts a session of its
// own, an IMAP logon goes to its user's shared session.
void CheckImapOrSieveLogon(LogonJob &job, DWORD *failDelayMs);

// The capability listing ending in OK (CAPABILITY, the greeting, after
// STARTTLS). offerStartTls: not yet TLS, and a certificate is loaded;
// plainAllowed: a password may cross the connection; owner: the logged-on
// user's name ("" before logon).
std::string SieveCapabilityListing(bool offerStartTls, bool plainAllowed, const std::string &owner);

// Queues a response (ManageSieveResponse) on the connection.
void SayManageSieve(_Connection *conn, std::string_view status, std::string_view code,
                    std::string_view text);

// The next command of a ManageSieve connection out of the input imapconn's
// loop has read (its InStart and bReaderStarved kept): kCommand with cmd;
// a refused command's response is queued, and after kFatal the connection
// closes once it is sent.
ManageSieveEvent NextManageSieveCommand(_Connection *conn, ManageSieveReader &reader,
                                        ManageSieveCommand &cmd);

// The commands of a state, one table each: the name (upper case), the
// arguments' shape ("s" a string, "n" a number, in order; null: the
// handler checks them) and the handler.
struct ManageSieveEntry {
  const char *Name;
  const char *Args;
  void (*Handler)(_Connection *conn, ManageSieveCommand &cmd);
};
// The entry of name; null when the table has none.
const ManageSieveEntry *FindManageSieveEntry(std::span<const ManageSieveEntry> table,
                                             std::string_view name);
// Checks the arguments against the entry (a refusal names the command),
// then runs its handler.
void RunManageSieveEntry(_Connection *conn, const ManageSieveEntry &entry, ManageSieveCommand &cmd);
// NOOP ["tag"] and LOGOUT, the same in every state.
void ManageSieveNoop(_Connection *conn, ManageSieveCommand &cmd);
void ManageSieveLogout(_Connection *conn, ManageSieveCommand &cmd);

// The session process of a ManageSieve logon (imapsession hands over when
// start.Protocol is kSieveSessionProtocol), still root; returns its exit
// status.
long RunSieveSession(LogonJob &job, SessionStart &start);
