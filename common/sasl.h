// sasl: the pieces of SASL the servers' AUTH commands share: base64 as the
// AUTH exchanges carry it (RFC 4648 alphabet, RFC 4954 and RFC 5034 use),
// the PLAIN mechanism's message (RFC 4616), and the wiping of secrets.
//
// Callers: the receiver's AUTH (ZELRECV/smtpauth); the POP3 server's AUTH
// PLAIN can take the same. Untrusted input: everything decoded here comes
// from a client. A decoded text is at most three quarters of its base64
// (so the caller's bound on the line bounds it); a text that is not
// base64, or a PLAIN message that is not three fields, is refused whole.
//
// Secrets: decoded credentials are written into storage reserved once, so
// no copy is left behind by a reallocation; WipeSecret clears them when
// the caller is done. No state; thread-safe.
#pragma once

#include <string>
#include <string_view>

// Decodes base64 (padding may be left out; no white space inside).
// False, with out empty, for anything else.
bool Base64Decode(std::string_view text, std::string &out);
std::string Base64Encode(std::string_view data);

// A PLAIN message: authorization identity, NUL, authentication identity,
// NUL, password. False (all three empty) when it does not have exactly
// these three fields or the authentication identity is empty.
bool ParseSaslPlain(std::string_view message, std::string &authzid, std::string &authcid,
                    std::string &password);

// The authentication identity of a master-user logon: a front host of the
// site logs on at a user's mail host as this, for the user named by the
// authorization identity, with a secret the two hosts share. Only the
// mail host's root logon helper decides whether it counts (common/
// logonpool's CheckLogon: its own secret, ProxyClients).
inline constexpr const char *kMasterLogonIdentity = "zel-proxy";

// What a PLAIN response (base64 of the message; an empty response already
// made empty) holds, for the mail-access servers' AUTH and AUTHENTICATE.
enum class PlainResponse {
  kBadBase64,     // not base64: name and password empty
  kRefused,       // no usable credentials: password empty; name only for the reply
  kCredentials,   // name (at most maxName bytes, printable) and password
  kMasterCredentials,   // kMasterLogonIdentity for the user name; password the secret
};
// A message that is malformed, asks to act for another user (other than as
// kMasterLogonIdentity), or names a user no plain name could be (longer
// than maxName, blanks or control characters) is kRefused; name then holds
// the authentication identity only when it is printable, cut to maxName.
// The decoded message is wiped.
PlainResponse DecodePlainResponse(std::string_view response, size_t maxName, std::string &name,
                                  std::string &password);

// Overwrites the text's bytes and empties it.
void WipeSecret(std::string &secret);
