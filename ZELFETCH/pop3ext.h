// pop3ext: the POP3 extensions on top of the classic dialogue: CAPA
// (RFC 2449), STLS (RFC 2595) and AUTH with the PLAIN mechanism (RFC 5034
// with RFC 4616's message).
//
// Called by pop3dlg: its command table calls the Cmd* handlers after the
// argument check, and its line reader hands the response line of an AUTH
// exchange (state kStateSaslResponse) to AuthResponse. Like every handler,
// each sends a reply and leaves the next state in the record, or hands the
// logon to the pool (maildrop's SubmitLogon); the record is not touched
// after that. pop3dlg itself starts the handshake once STLS's reply has
// left, and starts the response read once AUTH's "+ " has.
//
// Policy. CAPA lists STLS only while a certificate is loaded and the
// connection is still in clear, and USER and SASL only where a password
// may cross the connection (encrypted, or a client inside
// PlaintextLogonClients: RFC 2595 section 4); the rest of the list never
// changes (the same in both states, as RFC 2449 asks). STLS is taken in the
// AUTHORIZATION state before USER; after logon, or with TLS on or not
// available, it gets a clear "-ERR" and the connection goes on in clear.
// A password crosses an unencrypted connection only from a client inside
// PlaintextLogonClients (PlaintextLogonAllowed): USER (so the password is
// never sent), PASS and AUTH from others get kEncryptionRequired and no
// logon is tried.
//
// AUTH PLAIN takes the message as an initial response ("=" for an empty
// one) or after "+ " on a line of its own; "*" there cancels. A response
// that is not base64 ends the exchange at once ("-ERR invalid base64
// data"). A PLAIN message that is malformed, asks to act for another user,
// or names a user no USER could give (longer than kMaxUserName, blanks or
// control characters) is checked under a name no account has, so it costs
// and waits exactly what a wrong password does. A logon by AUTH is checked
// on the pool like PASS, with PASS's replies, delays and third-failure
// close; its failure texts say "in AUTH".
//
// Untrusted input: the AUTH lines (bounded by kMaxAuthLine). Secrets:
// every buffer that held the response, in base64 or decoded, is wiped; no
// part of it reaches a reply, the activity log or an event (a refused
// name is shown only when it is printable, and cut).
#pragma once

#include <string>
#include <string_view>

#include "ZELFETCH/pop3dlg.h"
#include "common/sasl.h"

inline constexpr const char *kEncryptionRequired = "-ERR [AUTH] Encryption required\r\n";

// The answer to CAPA, end line included.
std::string CapabilityList(bool offerStls, bool offerLogon);

// What a PLAIN response (base64, "=" already made empty) holds
// (common/sasl's, with names of at most kMaxUserName).
PlainResponse DecodePlainResponse(std::string_view response, std::string &name,
                                  std::string &password);

// The handlers.
void CmdCapa(_Connection *conn);
void CmdStls(_Connection *conn);
void CmdAuth(_Connection *conn);
// The client's line after AUTH's "+ " (its "\r" may remain); wiped here.
void AuthResponse(_Connection *conn, std::string &line);
