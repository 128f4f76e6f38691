// smtpauth: SMTP AUTH (RFC 4954) for message submission: the mechanisms
// PLAIN (RFC 4616, with an initial response or after an empty "334 ") and
// LOGIN (a name and a password after two prompts), and the password check
// on a logon pool of the receiver's own (common/logonpool): the accounts
// the POP3 server logs on, checked off the network workers, a failure
// answered late (1, 2, 4 s) and the connection closed after the third.
//
// Policy: AUTH is offered on the submission ports only, once the
// connection is encrypted, or unencrypted to a client inside RelayClients;
// elsewhere on those ports it gets "538 Encryption required", and on
// PortNo the classic "500". A failed check is "535 Authentication failed"
// whatever was wrong (an unknown name, a wrong password, a malformed PLAIN
// message, an authorization identity other than the user), with the same
// delay. "*" cancels an exchange (501).
//
// Callers: smtpdlg's command layer (CmdAuth, AuthResponse, AuthOffered,
// SmtpLogonAnswered: no sockets, so the tests and the fuzz target drive
// them), its I/O layer (SubmitSmtpLogon) and zelrecv (the pool's start).
//
// Untrusted input: the AUTH lines; names and passwords are bounded by the
// command line (1023 bytes). Secrets: the password is handed to the pool
// (which wipes it once checked) and every buffer that held it in clear or
// in base64 is wiped; none reaches a reply, an event or a log.
#pragma once

#include "ZELRECV/smtpdlg.h"

// Whether EHLO lists AUTH on this connection now.
bool AuthOffered(const _SmtpDialogue &dlg);
// The AUTH command, and a line of an exchange it began.
void CmdAuth(_SmtpDialogue &dlg);
void AuthResponse(_SmtpDialogue &dlg);
// The logon job is back from the pool: 235, or 535 (and the close after the
// last failure allowed). Every failure that is a verdict on the client's
// credentials is an event for fail2ban (common/logonlog).
void SmtpLogonAnswered(_SmtpDialogue &dlg);

// Whether the authenticated user may send as sender: the null sender, or
// an address at a local domain (or without one) whose local part delivers
// to that user as local delivery resolves it (postmaster, the alias map;
// common/aliasmap), compared as the mailbox lookup compares names; any
// address when SubmissionAnySender is set.
bool SenderOwnedByUser(const _SmtpDialogue &dlg, const std::string &sender);

// Starts the receiver's logon pool on the engine's port; false with the
// last error.
bool StartSmtpLogonPool(const LogonPoolSettings &settings);
// State kStateLogon: hands the record's logon job to the pool; its
// completion comes back through the engine as LogonOverlapped.
void SubmitSmtpLogon(_Connection *conn);
