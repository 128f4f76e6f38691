// sasl: see sasl.h.
#include "common/sasl.h"

#include <string.h>

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

int Sextet(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

}  // namespace

bool Base64Decode(std::string_view text, std::string &out) {
  WipeSecret(out);
  // Padding: up to two "=" at the very end, only where they belong.
  size_t pad = 0;
  while (pad < 2 && pad < text.size() && text[text.size() - 1 - pad] == '=') ++pad;
  if (pad != 0 && text.size() % 4 != 0) return false;
  text.remove_suffix(pad);
  if (text.size() % 4 == 1) return false;
  out.reserve(text.size() / 4 * 3 + 2);
  unsigned bits = 0;
  int have = 0;
  for (char c : text) {
    int v = Sextet(c);
    if (v < 0) {
      WipeSecret(out);
      return false;
    }
    bits = (bits << 6) | static_cast<unsigned>(v);
    have += 6;
    if (have >= 8) {
      have -= 8;
      out.push_back(static_cast<char>((bits >> have) & 0xFF));
    }
  }
  // The bits left over must be zero: another text would decode alike.
  if ((bits & ((1u << have) - 1)) != 0) {
    WipeSecret(out);
    return false;
  }
  return true;
}

std::string Base64Encode(std::string_view data) {
  std::string out;
  out.reserve((data.size() + 2) / 3 * 4);
  size_t i = 0;
  for (; i + 3 <= data.size(); i += 3) {
    unsigned v = static_cast<unsigned char>(data[i]) << 16 |
                 static_cast<unsigned char>(data[i + 1]) << 8 | static_cast<unsigned char>(data[i + 2]);
    for (int shift = 18; shift >= 0; shift -= 6) out.push_back(kAlphabet[(v >> shift) & 63]);
  }
  size_t rest = data.size() - i;
  if (rest != 0) {
    unsigned v = static_cast<unsigned char>(data[i]) << 16;
    if (rest == 2) v |= static_cast<unsigned char>(data[i + 1]) << 8;
    out.push_back(kAlphabet[(v >> 18) & 63]);
    out.push_back(kAlphabet[(v >> 12) & 63]);
    out.push_back(rest == 2 ? kAlphabet[(v >> 6) & 63] : '=');
    out.push_back('=');
  }
  return out;
}

bool ParseSaslPlain(std::string_view message, std::string &authzid, std::string &authcid,
                    std::string &password) {
  WipeSecret(authzid);
  WipeSecret(authcid);
  WipeSecret(password);
  size_t first = message.find('\0');
  if (first == std::string_view::npos) return false;
  size_t second = message.find('\0', first + 1);
  if (second == std::string_view::npos || message.find('\0', second + 1) != std::string_view::npos ||
      second == first + 1)
    return false;
  authzid.assign(message.substr(0, first));
  authcid.assign(message.substr(first + 1, second - first - 1));
  password.reserve(message.size() - second);
  password.assign(message.substr(second + 1));
  return true;
}

namespace {

// A name a user could type: no blanks, no control characters.
bool IsPlainName(std::string_view name, size_t maxName) {
  if (name.empty() || name.size() > maxName) return false;
  for (unsigned char c : name) {
    if (c <= 0x20 || c == 0x7F) return false;
  }
  return true;
}

}  // namespace

PlainResponse DecodePlainResponse(std::string_view response, size_t maxName, std::string &name,
                                  std::string &password) {
  WipeSecret(password);
  name.clear();
  std::string message, authzid, authcid;
  if (!Base64Decode(response, message)) return PlainResponse::kBadBase64;
  bool parsed = ParseSaslPlain(message, authzid, authcid, password);
  WipeSecret(message);
  // A master logon names the user it acts for; nothing is decided here.
  if (parsed && authcid == kMasterLogonIdentity && !authzid.empty() && authzid != authcid &&
      IsPlainName(authzid, maxName)) {
    name = authzid;
    return PlainResponse::kMasterCredentials;
  }
  std::string shown = authcid.substr(0, maxName);
  if (IsPlainName(shown, maxName)) name = shown;
  if (!parsed || !IsPlainName(authcid, maxName) || (!authzid.empty() && authzid != authcid)) {
    WipeSecret(password);
    return PlainResponse::kRefused;
  }
  return PlainResponse::kCredentials;
}

void WipeSecret(std::string &secret) {
  explicit_bzero(secret.data(), secret.size());
  secret.clear();
}
