// dkimkeys: see dkimkeys.h.
#include "common/dkimkeys.h"

#include "platform/ascii.h"
#include "platform/files.h"
#include "platform/root.h"
#include "platform/textfile.h"
#include "platform/tls.h"

namespace {

constexpr const char *kDkimKeyRoot = "/etc/zel/dkim";

bool ReadBounded(const std::string &path, size_t maxBytes, std::string &text) {
  TextFile f;
  return f.Open(path, "rb") && f.ReadAll(text, maxBytes);
}

bool TypeNamed(std::string_view word, SigningKeyType &type) {
  for (SigningKeyType t : {SigningKeyType::kRsa, SigningKeyType::kEd25519})
    if (word == DkimKeyTypeName(t)) return type = t, true;
  return false;
}

}  // namespace

const char *DkimKeyTypeName(SigningKeyType type) {
  return type == SigningKeyType::kRsa ? "rsa" : "ed25519";
}

std::string DkimKeyDirectory() { return ZelPath(kDkimKeyRoot); }

std::string DkimDomainDirectory(std::string_view domain) {
  return DkimKeyDirectory() + "/" + std::string(domain);
}

std::string DkimKeyPath(std::string_view domain, std::string_view selector, SigningKeyType type) {
  return DkimDomainDirectory(domain) + "/" + std::string(selector) + "." + DkimKeyTypeName(type) +
         ".pem";
}

bool IsDkimDomain(std::string_view domain) { return IsTlsHostName(domain); }

bool IsDkimSelector(std::string_view selector) {
  return selector.size() <= kMaxDkimSelector && IsTlsHostName(selector);
}

bool ParseDkimSigningFile(std::string_view text, std::vector<DkimSigningSelector> &out) {
  out.clear();
  if (text.size() > kMaxDkimSigningFile) return false;
  while (!text.empty()) {
    size_t nl = text.find('\n');
    std::string_view line = text.substr(0, nl);
    text.remove_prefix(nl == std::string_view::npos ? text.size() : nl + 1);
    if (line.empty()) continue;
    size_t blank = line.find(' ');
    DkimSigningSelector s;
    if (blank == std::string_view::npos || !TypeNamed(line.substr(0, blank), s.Type) ||
        !IsDkimSelector(line.substr(blank + 1)))
      return false;
    for (const DkimSigningSelector &seen : out)
      if (seen.Type == s.Type) return false;
    s.Selector = line.substr(blank + 1);
    out.push_back(std::move(s));
  }
  return true;
}

std::string FormatDkimSigningFile(const std::vector<DkimSigningSelector> &selectors) {
  std::string text;
  for (const DkimSigningSelector &s : selectors)
    text += std::string(DkimKeyTypeName(s.Type)) + " " + s.Selector + "\n";
  return text;
}

bool ReadDkimSigningSelectors(std::string_view domain, std::vector<DkimSigningSelector> &out,
                              bool *missing) {
  const std::string path = DkimDomainDirectory(domain) + "/" + kDkimSigningFileName;
  *missing = !FileExists(path);
  std::string text;
  return !*missing && ReadBounded(path, kMaxDkimSigningFile, text) &&
         ParseDkimSigningFile(text, out);
}

bool ReadDkimSigningKeys(std::string_view domain, std::vector<DkimSigningKey> &out,
                         std::string *why) {
  out.clear();
  const std::string name = LowerAsciiCopy(domain);
  if (!IsDkimDomain(name)) return true;
  std::vector<DkimSigningSelector> selectors;
  bool missing = false;
  if (!ReadDkimSigningSelectors(name, selectors, &missing)) {
    if (missing) return true;
    *why = "the signing file of " + name + " cannot be read";
    return false;
  }
  bool ok = true;
  for (const DkimSigningSelector &s : selectors) {
    DkimSigningKey key{name, s.Selector, s.Type, {}};
    const std::string path = DkimKeyPath(name, s.Selector, s.Type);
    SigningKeyType found = s.Type;
    std::string publicKey, error;
    if (!ReadBounded(path, kMaxSigningKeyPem, key.PrivateKeyPem) ||
        !SigningPublicKey(key.PrivateKeyPem, found, publicKey, error) || found != s.Type) {
      *why = path + " cannot be used" + (error.empty() ? "" : ": " + error);
      ok = false;
      continue;
    }
    out.push_back(std::move(key));
  }
  return ok;
}

std::string DkimKeyRecord(SigningKeyType type, std::string_view publicBase64) {
  return std::string("v=DKIM1; k=") + DkimKeyTypeName(type) + "; p=" + std::string(publicBase64);
}

bool ListDkimPublishedKeys(std::string_view domain, std::vector<DkimPublishedKey> &out,
                           std::vector<std::string> *unreadable) {
  out.clear();
  std::vector<DkimSigningSelector> signing;
  bool missing = false;
  ReadDkimSigningSelectors(domain, signing, &missing);
  const std::string directory = DkimDomainDirectory(domain);
  std::vector<std::string> names;
  if (!ListDirectory(directory, ".pem", ListKind::kFiles, kMaxDkimKeyFiles, names))
    return GetLastError() == ERROR_FILE_NOT_FOUND;
  std::vector<DkimPublishedKey> later;
  for (const std::string &name : names) {
    DkimPublishedKey key;
    std::string pem, why;
    const std::string path = directory + "/" + name;
    if (!ReadBounded(path, kMaxSigningKeyPem, pem) ||
        !SigningPublicKey(pem, key.Type, key.PublicKey, why)) {
      if (unreadable != nullptr)
        unreadable->push_back(path + ": " + (why.empty() ? "unreadable" : why));
      continue;
    }
    const std::string suffix = std::string(".") + DkimKeyTypeName(key.Type) + ".pem";
    if (!EndsWithNoCase(name, suffix)) continue;
    key.Selector = name.substr(0, name.size() - suffix.size());
    for (const DkimSigningSelector &s : signing)
      key.Signs = key.Signs || (s.Selector == key.Selector && s.Type == key.Type);
    (key.Signs ? out : later).push_back(std::move(key));
  }
  for (DkimPublishedKey &key : later) out.push_back(std::move(key));
  return true;
}
