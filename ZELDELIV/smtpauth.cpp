// smtpauth: see smtpauth.h.
#include "ZELDELIV/smtpauth.h"

#include "common/sasl.h"
#include "platform/ascii.h"
#include "platform/files.h"
#include "platform/fileview.h"

namespace {

constexpr int kAuthAccepted = 235;
constexpr int kAuthChallenge = 334;
// The client's cancel of an exchange it cannot go on with.
constexpr const char *kCancel = "*\r\n";

// A line that carries a secret, wiped once it was sent.
struct SecretLine {
  std::string Text;
  ~SecretLine() { WipeSecret(Text); }
};

int CodeOf(std::string_view reply) {
  if (reply.size() < 3) return -1;
  for (size_t i = 0; i < 3; ++i)
    if (reply[i] < '0' || reply[i] > '9') return -1;
  return (reply[0] - '0') * 100 + (reply[1] - '0') * 10 + (reply[2] - '0');
}

// base64 of text, with the line end: reserved once, so no copy of a
// secret is left behind by a reallocation.
void EncodeLine(std::string_view prefix, std::string_view text, SecretLine &line) {
  std::string encoded = Base64Encode(text);
  line.Text.reserve(prefix.size() + encoded.size() + 2);
  line.Text.append(prefix).append(encoded).append("\r\n");
  WipeSecret(encoded);
}

// The step's reply as an outcome: -1 broke the dialogue; 235 ends it;
// a 334 goes on (false with outcome unset); anything else is a refusal.
bool Settled(int code, AuthOutcome &outcome) {
  if (code < 0)
    outcome = AuthOutcome::kBroken;
  else if (code == kAuthAccepted)
    outcome = AuthOutcome::kAccepted;
  else if (code != kAuthChallenge)
    outcome = AuthOutcome::kRefused;
  else
    return false;
  return true;
}

// A challenge that cannot be answered: the host is told, and the
// exchange fails.
AuthOutcome Cancel(const AuthStep &step) {
  std::string ignored;
  return step(kCancel, ignored) < 0 ? AuthOutcome::kBroken : AuthOutcome::kBadChallenge;
}

}  // namespace

AuthMechanism ChooseAuthMechanism(std::string_view parameters) {
  bool login = false;
  while (!parameters.empty()) {
    size_t blank = parameters.find(' ');
    std::string_view word = parameters.substr(0, blank);
    parameters.remove_prefix(blank == std::string_view::npos ? parameters.size() : blank + 1);
    if (EqualsNoCase(word, "PLAIN")) return AuthMechanism::kPlain;
    if (EqualsNoCase(word, "LOGIN")) login = true;
  }
  return login ? AuthMechanism::kLogin : AuthMechanism::kNone;
}

bool ParseAuthChallenge(std::string_view reply, std::string &challenge) {
  challenge.clear();
  if (reply.size() >= 2 && reply.substr(reply.size() - 2) == "\r\n")
    reply.remove_suffix(2);
  else if (!reply.empty() && reply.back() == '\n')
    reply.remove_suffix(1);
  if (CodeOf(reply) != kAuthChallenge) return false;
  reply.remove_prefix(3);
  if (reply.empty()) return true;
  if (reply.front() != ' ') return false;   // "334-": a challenge is one line
  reply.remove_prefix(1);
  if (reply.size() > kMaxAuthChallenge) return false;
  return Base64Decode(reply, challenge);
}

AuthOutcome RunAuthExchange(AuthMechanism mechanism, std::string_view user,
                            std::string_view password, const AuthStep &step, std::string &reply) {
  reply.clear();
  // What each 334 is answered with, in turn.
  SecretLine answers[2];
  SecretLine plain;
  std::string first;
  size_t count = 0;
  if (mechanism == AuthMechanism::kPlain) {
    SecretLine message;
    message.Text.reserve(user.size() + password.size() + 2);
    message.Text.append(1, '\0').append(user).append(1, '\0').append(password);
    // The initial response goes with the command; a host that asks for it
    // again with an empty challenge gets it again.
    EncodeLine("AUTH PLAIN ", message.Text, plain);
    EncodeLine("", message.Text, answers[0]);
    first = plain.Text;
    count = 1;
  } else if (mechanism == AuthMechanism::kLogin) {
    EncodeLine("", user, answers[0]);
    EncodeLine("", password, answers[1]);
    first = "AUTH LOGIN\r\n";
    count = 2;
  } else {
    return AuthOutcome::kRefused;
  }
  AuthOutcome outcome = AuthOutcome::kBadChallenge;
  int code = step(first, reply);
  WipeSecret(first);
  for (size_t steps = 1, answered = 0; !Settled(code, outcome); ++steps) {
    std::string challenge;
    bool readable = ParseAuthChallenge(reply, challenge);
    WipeSecret(challenge);
    if (!readable || answered >= count || steps >= kMaxAuthSteps) return Cancel(step);
    code = step(answers[answered++].Text, reply);
  }
  return outcome;
}

bool ReadGatewayPassword(const std::string &path, std::string &password, std::string &why) {
  WipeSecret(password);
  return ReadSecretFileLine(path, kMaxGatewayPassword, password, why);
}
