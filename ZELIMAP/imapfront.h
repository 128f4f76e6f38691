// imapfront: the IMAP dialogue before logon, in the front (zelimap as the
// service account, without privileges): the greeting, CAPABILITY, NOOP,
// LOGOUT, STARTTLS, ID, LOGIN and AUTHENTICATE PLAIN (with SASL-IR), and
// the hand-over of a logged-on client to its user's session process.
//
// Called by the network engine through its hooks (GreetImapConnection,
// then imapconn's completion and release) on the front's workers; the
// commands run through imapconn's loop, one connection on one worker at a
// time.
//
// Policy. A password crosses an unencrypted connection only from a client
// inside PlaintextLogonClients (ImapPlaintextLogonAllowed): to others
// CAPABILITY shows LOGINDISABLED and no AUTH=PLAIN, and LOGIN and
// AUTHENTICATE get "NO [PRIVACYREQUIRED]" without a check. STARTTLS is
// taken before logon in clear while a certificate is loaded; whatever the
// client sent behind it is dropped unread. A logon is checked on the logon
// pool (common/logonpool) by the root helpers (common/logonhelper) with
// CheckLogonForSharedSession (net/sessionhandoff): the connection goes to
// the session process of its user (a new one, or the one already serving
// that name), which sends the tagged OK; the front then only relays (TLS)
// or watches. Every refused logon gets the same reply ("NO
// [AUTHENTICATIONFAILED] Authentication failed"), answered late by the
// pool, and writes the failed-logon event fail2ban reads; the third on a
// connection closes it. A checker that failed is a temporary failure
// ("NO [UNAVAILABLE]"). A client gets kMaxFrontCommands commands before
// logon; the next one closes the connection.
//
// Untrusted input: every byte (imapparse frames it; LOGIN's arguments and
// the SASL response are parsed bounded). Passwords are wiped from every
// buffer once handed to the pool and reach no log, event or reply.
#pragma once

#include <string>

#include "ZELIMAP/imapconn.h"
#include "common/logonpool.h"
#include "net/sessionhandoff.h"

// Commands a client may give before it logs on.
constexpr int kMaxFrontCommands = 100;
// The longest user name a logon takes: what the session's start record
// carries. A longer one is checked as a name no account has.
constexpr size_t kMaxImapUserName = 255;

// The engine's Greet hook.
void GreetImapConnection(_Connection *conn);
// Starts the logon pool the logons go to (before the engine accepts).
bool StartImapLogonPool(const LogonPoolSettings &settings);

// Queues job on the front's pool (ManageSieve's logons share it), the
// connection waiting for it (kImapPhaseLogon): true, and the caller's
// handler returns kAway; false when the pool does not run (handOff
// dropped).
bool SubmitImapLogon(_Connection *conn, LogonJob *job, SessionHandOff &handOff);
// The pool's answer: when the session serves, the connection leaves the
// front for it (true: conn is gone); else handOff is dropped and the
// caller answers.
bool HandOffLoggedOnClient(_Connection *conn, const LogonJob &job, SessionHandOff &handOff);

// Whether a password may cross this connection.
bool ImapPlaintextLogonAllowed(const _Connection *conn);
