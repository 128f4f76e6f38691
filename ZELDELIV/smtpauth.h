// smtpauth: the SMTP client's side of AUTH (RFC 4954) at the relay host
// (GatewayName with GatewayUser): the choice of mechanism among those the
// host offers (PLAIN, RFC 4616, before LOGIN), the exchange of commands and
// 334 challenges, and the reading of the password file.
//
// Callers: smtpsend (SmtpAuthenticate), which sends each line and reads its
// reply through an AuthStep, on a domain delivery thread of the remote
// side; the privileged side's service of the remote side's request for the
// password (remote), which reads the file with ReadGatewayPassword. The unit
// tests and the fuzz target drive the exchange through scripted steps.
//
// Untrusted input: the host's EHLO keywords and every reply of the
// exchange. A challenge is read as one line "334 " and base64 of at most
// kMaxAuthChallenge bytes; anything else ends the exchange with "*" (the
// client's cancel) and a failure. The exchange takes at most
// kMaxAuthSteps replies, whatever the host asks for. The password file is
// the administrator's, but is read bounded too: its first line, at most
// kMaxGatewayPassword bytes.
//
// Secrets: the password and every line that carries it are wiped
// (WipeSecret) once sent; nothing here logs. The commands that carry
// credentials are never kept for a report: the caller learns only the
// host's last reply.
//
// No state; thread-safe. Failures are the outcome's kind.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

// The base64 text of one 334 challenge: far beyond the prompts of LOGIN
// ("Username:", "Password:") and the empty one of PLAIN.
constexpr size_t kMaxAuthChallenge = 512;
// Replies read in one exchange: LOGIN needs three (two challenges and the
// result); a host that keeps challenging is given up.
constexpr size_t kMaxAuthSteps = 4;
// The password's first line: far beyond any real password, and within one
// AUTH command line (RFC 4954's 12288 octets) once in base64 with the name.
constexpr size_t kMaxGatewayPassword = 1024;

enum class AuthMechanism { kNone, kPlain, kLogin };

// PLAIN when parameters (the words behind the EHLO keyword AUTH, or behind
// the old form "AUTH=") name it, else LOGIN when they do, else kNone.
// Words in any case.
AuthMechanism ChooseAuthMechanism(std::string_view parameters);

// The decoded text of a challenge: reply must be one line of code 334,
// then a space and base64 (or nothing), within kMaxAuthChallenge. False for
// anything else.
bool ParseAuthChallenge(std::string_view reply, std::string &challenge);

// Sends line (a command or a response, CR LF included) and reads the reply
// into reply: its code, or -1 when the dialogue broke.
typedef std::function<int(std::string_view line, std::string &reply)> AuthStep;

enum class AuthOutcome {
  kAccepted,       // 235
  kRefused,        // any other reply to the credentials or to AUTH
  kBadChallenge,   // a 334 that could not be read, or too many of them
  kBroken,         // the dialogue broke (-1 from the step)
};

// The exchange for mechanism (not kNone) with user and password; reply
// holds the host's last reply (empty after kBroken before any).
AuthOutcome RunAuthExchange(AuthMechanism mechanism, std::string_view user,
                            std::string_view password, const AuthStep &step, std::string &reply);

// The first line of the password file at path, without its line end:
// false with why set when the file cannot be opened, is no regular file,
// can be read or written by others than its owner, does not belong to the
// reader, or holds no password (an empty first line, or one longer than
// kMaxGatewayPassword).
bool ReadGatewayPassword(const std::string &path, std::string &password, std::string &why);
