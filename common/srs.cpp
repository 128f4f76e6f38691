#include "common/srs.h"

#include <cstdint>

#include "common/loadcfig.h"
#include "common/zel.h"
#include "platform/ascii.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "platform/fileview.h"
#include "platform/registry.h"
#include "platform/root.h"
#include "platform/sysinfo.h"
#include "platform/tls.h"

namespace {

constexpr char kBase32[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZ234567";
constexpr long long kSecondsPerDay = 86400;
// Two base32 characters count days modulo 1024 (almost three years).
constexpr int kStampModulus = 1024;
// A secret shorter than this is not one this host made.
constexpr size_t kMinSecretBytes = 16;
// Longer than any secret this host makes (64 hex digits).
constexpr size_t kMaxSecretLine = 1024;

int Base32Value(char c) {
  c = UpperAscii(c);
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= '2' && c <= '7') return c - '2' + 26;
  return -1;
}

int Today(long long nowSeconds) {
  return static_cast<int>((nowSeconds / kSecondsPerDay) % kStampModulus);
}

std::string Stamp(long long nowSeconds) {
  int day = Today(nowSeconds);
  return {kBase32[(day >> 5) & 31], kBase32[day & 31]};
}

// The keyed hash of the fields, over their lower-cased text.
std::string Hash(const SrsSettings &srs, std::string_view data) {
  std::string digest = HmacSha256(srs.Secret, LowerAsciiCopy(data));
  if (digest.size() < 4) return "";
  uint32_t bits = 0;
  for (int i = 0; i < 4; ++i) bits = (bits << 8) | static_cast<unsigned char>(digest[i]);
  std::string out;
  for (size_t i = 0; i < kSrsHashLength; ++i) out += kBase32[(bits >> (27 - 5 * i)) & 31];
  return out;
}

bool HashMatches(const SrsSettings &srs, std::string_view given, std::string_view data) {
  std::string expected = Hash(srs, data);
  return !expected.empty() && EqualsNoCase(given, expected);
}

// A local part we can hand back as an address: no "@", no brackets, no
// blanks or controls.
bool PlausibleLocal(std::string_view local) {
  if (local.empty()) return false;
  for (char c : local) {
    auto u = static_cast<unsigned char>(c);
    if (u <= ' ' || u == 0x7f || c == '@' || c == '<' || c == '>') return false;
  }
  return true;
}

// Cuts text at the first occurrence of separator: head before it, text
// after it. False when it does not occur.
bool CutAt(std::string_view &text, std::string_view separator, std::string_view &head) {
  size_t at = text.find(separator);
  if (at == std::string_view::npos) return false;
  head = text.substr(0, at);
  text.remove_prefix(at + separator.size());
  return true;
}

}  // namespace

bool SrsForwardAddress(const SrsSettings &srs, std::string_view sender, long long nowSeconds,
                       std::string &rewritten) {
  rewritten.assign(sender);
  size_t at = sender.rfind('@');
  if (sender.empty() || sender.size() > kMaxSrsAddress || at == std::string_view::npos ||
      srs.Secret.empty() || srs.Domain.empty())
    return false;
  std::string_view local = sender.substr(0, at), domain = sender.substr(at + 1);
  // Only what a bounce could come back to: the reverse refuses the rest.
  if (!PlausibleLocal(local) || !IsTlsHostName(domain) || EqualsNoCase(domain, srs.Domain))
    return false;

  std::string first, tail, local2;
  if (StartsWithNoCase(local, "SRS0=") && local.size() > 5) {
    // Another forwarder's address: bounces must go back through it.
    first.assign(domain);
    tail.assign(local.substr(5));
  } else if (StartsWithNoCase(local, "SRS1=")) {
    std::string_view rest = local.substr(5), hash, firstView;
    if (CutAt(rest, "=", hash) && CutAt(rest, "==", firstView) && IsTlsHostName(firstView) &&
        !rest.empty()) {
      first.assign(firstView);
      tail.assign(rest);
    }
  }
  if (!first.empty()) {
    std::string data = first + "==" + tail;
    std::string hash = Hash(srs, data);
    if (hash.empty()) return false;
    local2 = "SRS1=" + hash + "=" + data;
  } else {
    std::string data = Stamp(nowSeconds) + "=" + std::string(domain) + "=" + std::string(local);
    std::string hash = Hash(srs, data);
    if (hash.empty()) return false;
    local2 = "SRS0=" + hash + "=" + data;
  }
  std::string result = local2 + "@" + srs.Domain;
  if (result.size() > kMaxSrsAddress) return false;
  rewritten = std::move(result);
  return true;
}

SrsVerdict SrsReverseAddress(const SrsSettings &srs, std::string_view localPart,
                             long long nowSeconds, std::string &original) {
  original.clear();
  bool srs0 = StartsWithNoCase(localPart, "SRS0=");
  if (!srs0 && !StartsWithNoCase(localPart, "SRS1=")) return SrsVerdict::kNotSrs;
  if (localPart.size() > kMaxSrsAddress || srs.Secret.empty()) return SrsVerdict::kForged;
  std::string_view rest = localPart.substr(5), hash;
  if (!CutAt(rest, "=", hash) || hash.size() != kSrsHashLength) return SrsVerdict::kForged;

  if (!srs0) {
    std::string_view first;
    if (!CutAt(rest, "==", first) || !IsTlsHostName(first) || !PlausibleLocal(rest) ||
        !HashMatches(srs, hash, std::string(first) + "==" + std::string(rest)))
      return SrsVerdict::kForged;
    original = "SRS0=" + std::string(rest) + "@" + std::string(first);
    return SrsVerdict::kValid;
  }
  std::string_view stamp, domain;
  if (!CutAt(rest, "=", stamp) || stamp.size() != 2 || !CutAt(rest, "=", domain) ||
      !IsTlsHostName(domain) || !PlausibleLocal(rest))
    return SrsVerdict::kForged;
  int high = Base32Value(stamp[0]), low = Base32Value(stamp[1]);
  if (high < 0 || low < 0) return SrsVerdict::kForged;
  std::string data =
      std::string(stamp) + "=" + std::string(domain) + "=" + std::string(rest);
  if (!HashMatches(srs, hash, data)) return SrsVerdict::kForged;
  int age = (Today(nowSeconds) - (high * 32 + low) + kStampModulus) % kStampModulus;
  if (age > kSrsMaxAgeDays) return SrsVerdict::kExpired;
  original = std::string(rest) + "@" + std::string(domain);
  return SrsVerdict::kValid;
}

bool LoadSrsSecret(const std::string &path, std::string &secret, std::string &why) {
  secret.clear();
  bool missing;
  {
    UniqueFd probe(OpenFileForReading(path));
    missing = !probe.Valid() && GetLastError() == ERROR_FILE_NOT_FOUND;
  }
  if (missing) {
    unsigned char random[kSrsSecretBytes];
    if (!GetRandomBytes(random, sizeof random)) {
      why = "no random data for a new SRS secret";
      return false;
    }
    std::string text = HexText(std::string_view(reinterpret_cast<char *>(random), sizeof random));
    // Another process may have made it first; then that one is read.
    if (!CreateFileWithText(path, text + "\n", 0600) && GetLastError() != ERROR_FILE_EXISTS) {
      why = "cannot make the SRS secret " + path;
      return false;
    }
  }
  if (!ReadSecretFileLine(path, kMaxSecretLine, secret, why)) return false;
  if (secret.size() >= kMinSecretBytes) return true;
  why = "the SRS secret " + path + " holds no secret of at least " +
        std::to_string(kMinSecretBytes) + " bytes on its first line";
  secret.clear();
  return false;
}

bool LoadSuiteSrs(SrsSettings &srs, std::string &why) {
  RegKey suite;
  if (RegOpenKeyEx(HKEY_LOCAL_MACHINE, kSuiteKey, KEY_READ, suite.out()) != ERROR_SUCCESS ||
      !QueryRegString(suite.get(), "SrsDomain", kMaxSrsAddress, srs.Domain))
    srs.Domain.clear();
  std::string path = ZelPath(kSrsSecretPath);
  size_t slash = path.rfind('/');
  if (slash != std::string::npos) CreateDirectoryPath(path.substr(0, slash), 0755);
  return LoadSrsSecret(path, srs.Secret, why);
}
