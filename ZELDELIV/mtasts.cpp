// mtasts: see mtasts.h.
#include "ZELDELIV/mtasts.h"

#include <algorithm>
#include <mutex>
#include <unordered_map>

#include "common/loadcfig.h"
#include "common/logging.h"
#include "common/str.h"
#include "messages/zelmsg.h"
#include "platform/ascii.h"
#include "platform/files.h"
#include "platform/fileview.h"
#include "platform/hostres.h"
#include "platform/httpsget.h"
#include "platform/registry.h"
#include "platform/sync.h"
#include "platform/tls.h"

std::string TlsCaFile;
std::string MtaStsCacheDirectory;

namespace {

constexpr const char *kPolicyPath = "/.well-known/mta-sts.txt";
// max_age has at most this many digits (31557600).
constexpr size_t kMaxAgeDigits = 10;
// Blanks around keys and values (WSP).
constexpr std::string_view kBlanks = " \t";
// A cache file's first line: the id, a blank, the expiry (seconds since
// 1970, at most kMaxExpiresDigits digits).
constexpr size_t kMaxExpiresDigits = 18;
constexpr size_t kMaxCacheHead = kMaxMtaStsId + 1 + kMaxExpiresDigits;
constexpr const char *kCacheTempPrefix = ".policy-";
constexpr mode_t kCacheFileMode = 0600;

struct Cache {
  std::mutex lock;
  std::unordered_map<std::string, MtaStsPolicy> policies;   // by lower-case domain
};

Cache &PolicyCache() {
  static Cache cache;
  return cache;
}

std::string_view Trim(std::string_view s) {
  size_t b = s.find_first_not_of(kBlanks);
  if (b == std::string_view::npos) return {};
  size_t e = s.find_last_not_of(kBlanks);
  return s.substr(b, e - b + 1);
}

bool IsAlnum(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

bool ParseMaxAge(std::string_view v, uint32_t &out) {
  if (v.empty() || v.size() > kMaxAgeDigits ||
      v.find_first_not_of("0123456789") != std::string_view::npos)
    return false;
  uint64_t n = 0;
  for (char c : v) n = n * 10 + static_cast<uint64_t>(c - '0');
  if (n > kMaxMtaStsMaxAge) return false;
  out = static_cast<uint32_t>(n);
  return true;
}

// One "key: value" line of a policy; false for a line that breaks it.
bool ApplyPolicyLine(std::string_view line, MtaStsPolicy &p, bool &version, bool &mode,
                     bool &maxAge) {
  size_t colon = line.find(':');
  if (colon == std::string_view::npos) return Trim(line).empty();
  std::string_view key = Trim(line.substr(0, colon));
  std::string_view value = Trim(line.substr(colon + 1));
  if (key == "version") {
    version = value == "STSv1";
    return version;
  }
  if (key == "mode") {
    mode = true;
    if (value == "enforce") p.Mode = MtaStsMode::kEnforce;
    else if (value == "testing") p.Mode = MtaStsMode::kTesting;
    else if (value == "none") p.Mode = MtaStsMode::kNone;
    else return false;
    return true;
  }
  if (key == "max_age") return maxAge = ParseMaxAge(value, p.MaxAge);
  if (key == "mx") {
    if (value.empty() || value.size() > kMaxDnsNameTextLength) return false;
    if (p.Mx.size() < kMaxMtaStsMx) p.Mx.emplace_back(value);
  }
  return true;
}

// The TXT records' texts: each record's character-strings joined.
std::vector<std::string> TxtTexts(const DnsMessage &m, std::string_view name) {
  std::vector<std::string> texts;
  for (const DnsRecord &r : m.answers) {
    if (r.type != kDnsTypeTXT || r.cls != kDnsClassIN || !DnsNamesEqual(r.name, name)) continue;
    std::string text;
    for (size_t i = 0; i < r.raw.size();) {
      size_t length = static_cast<unsigned char>(r.raw[i]);
      text.append(r.raw, i + 1, std::min(length, r.raw.size() - i - 1));
      i += 1 + length;
    }
    texts.push_back(std::move(text));
  }
  return texts;
}

// The id of the domain's one STSv1 record; "" when there is none (several
// are as none, RFC 8461 3.1).
std::string RecordId(const std::vector<DnsServerAddress> &servers, const std::string &domain) {
  std::string name = "_mta-sts." + domain;
  DnsAnswer answer;
  if (DnsQuery(servers, name, kDnsTypeTXT, DnsQueryOptions(), answer) != ERROR_SUCCESS ||
      answer.message.header.rcode != kDnsRcodeNoError)
    return "";
  std::string found;
  int records = 0;
  for (const std::string &text : TxtTexts(answer.message, NormalizeDnsName(name))) {
    if (!StartsWithNoCase(text, "v=STSv1")) continue;
    ++records;
    if (!ParseMtaStsRecord(text, found)) found.clear();
  }
  return records == 1 ? found : "";
}

// Fetches and parses the domain's policy; false (logged) on any failure.
bool FetchPolicy(const std::string &domain, MtaStsPolicy &policy, std::string &body) {
  HttpsRequest request;
  request.Host = "mta-sts." + domain;
  HostEntry entry;
  std::string why;
  if (ZelGetHostByName(request.Host, entry) != ERROR_SUCCESS || entry.addresses.empty()) {
    why = "the host has no address";
  } else {
    request.Address = IpV4(entry.addresses.front());
    request.Path = kPolicyPath;
    request.CaFile = TlsCaFile;
    request.MaxBytes = kMaxMtaStsPolicyBytes;
    request.ConnectTimeoutMs = kMtaStsConnectTimeoutMs;
    request.TotalTimeoutMs = kMtaStsTotalTimeoutMs;
    if (HttpsGet(request, body, why)) {
      if (ParseMtaStsPolicy(body, kMaxMtaStsPolicyBytes, policy)) return true;
      why = "the policy is not valid";
    }
  }
  LogEvent(EVENTLOG_WARNING_TYPE, MSG_TLS_POLICY, LogSafeText(domain).c_str(),
           ("MTA-STS policy not fetched: " + LogSafeText(why)).c_str());
  return false;
}

// The cached policy of domain when it is still valid at now.
bool CachedPolicy(const std::string &domain, long long now, MtaStsPolicy &out) {
  Cache &c = PolicyCache();
  std::lock_guard<std::mutex> guard(c.lock);
  auto found = c.policies.find(domain);
  if (found == c.policies.end()) return false;
  if (found->second.Expires <= now) {
    c.policies.erase(found);
    return false;
  }
  out = found->second;
  return true;
}

// The cache file of a domain: only for a name that is a plain host name
// (letters, digits, hyphens, dots), which cannot leave the directory.
std::string CacheFilePath(const std::string &domain) {
  if (MtaStsCacheDirectory.empty() || !IsTlsHostName(domain)) return "";
  return MtaStsCacheDirectory + "/" + domain;
}

// The policy kept on disk for domain, when it is there, whole and valid at now.
bool ReadPolicyFile(const std::string &domain, long long now, MtaStsPolicy &out) {
  std::string path = CacheFilePath(domain);
  if (path.empty()) return false;
  UniqueFd fd(OpenFileForReading(path));
  std::string text;
  if (!fd.Valid() || !ReadUpTo(fd.Get(), kMaxCacheHead + kMaxMtaStsPolicyBytes, text))
    return false;
  return ParseMtaStsCacheText(text, out) && out.Expires > now;
}

// Writes the policy's file; a failure only costs the next start a fetch.
void WritePolicyFile(const std::string &domain, const MtaStsPolicy &policy,
                     std::string_view body) {
  std::string path = CacheFilePath(domain);
  if (path.empty()) return;
  DurableFile f;
  if (!f.Create(path, kCacheTempPrefix, kCacheFileMode, "wb") ||
      !f.Stream().Write(MtaStsCacheText(policy, body)) || !f.Publish())
    LogEvent(EVENTLOG_WARNING_TYPE, MSG_TLS_POLICY, LogSafeText(domain).c_str(),
             ("MTA-STS policy not kept on disk (error " + std::to_string(GetLastError()) + ")")
                 .c_str());
}

void StorePolicy(const std::string &domain, const MtaStsPolicy &policy) {
  Cache &c = PolicyCache();
  std::lock_guard<std::mutex> guard(c.lock);
  if (c.policies.size() >= kMaxMtaStsCache && c.policies.find(domain) == c.policies.end()) {
    auto first = std::min_element(c.policies.begin(), c.policies.end(), [](auto &a, auto &b) {
      return a.second.Expires < b.second.Expires;
    });
    c.policies.erase(first);
  }
  c.policies[domain] = policy;
}

// Fetches the domain's policy for the record's id and keeps it (memory and
// disk); false (logged) when it cannot be had.
bool FetchAndKeep(const std::string &domain, const std::string &id, long long now,
                  MtaStsPolicy &policy) {
  std::string body;
  if (!FetchPolicy(domain, policy, body)) return false;
  policy.Id = id;
  policy.Expires = now + policy.MaxAge;
  StorePolicy(domain, policy);
  WritePolicyFile(domain, policy, body);
  return true;
}

}  // namespace

void LoadMtaStsSettings(std::string cacheDirectory) {
  MtaStsCacheDirectory = std::move(cacheDirectory);
  RegKey params;
  if (OpenParametersKey(params) != ERROR_SUCCESS) return;
  if (!QueryRegString(params.get(), "TlsCaFile", kMaxTlsCaFilePath, TlsCaFile)) TlsCaFile.clear();
}

bool ParseMtaStsPolicy(std::string_view text, size_t maxBytes, MtaStsPolicy &out) {
  out = MtaStsPolicy();
  if (text.size() > maxBytes) return false;
  bool version = false, mode = false, maxAge = false;
  while (!text.empty()) {
    size_t lf = std::min(text.find('\n'), text.size());
    std::string_view line = text.substr(0, lf);
    text.remove_prefix(std::min(lf + 1, text.size()));
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (!ApplyPolicyLine(line, out, version, mode, maxAge)) return false;
  }
  return version && mode && maxAge && (out.Mode == MtaStsMode::kNone || !out.Mx.empty());
}

bool ParseMtaStsRecord(std::string_view text, std::string &id) {
  id.clear();
  bool first = true;
  while (!text.empty()) {
    size_t semi = std::min(text.find(';'), text.size());
    std::string_view field = Trim(text.substr(0, semi));
    text.remove_prefix(std::min(semi + 1, text.size()));
    if (first) {
      if (field != "v=STSv1") return false;
      first = false;
    } else if (field.substr(0, 3) == "id=") {
      std::string_view v = field.substr(3);
      if (v.empty() || v.size() > kMaxMtaStsId || !std::all_of(v.begin(), v.end(), IsAlnum))
        return false;
      id.assign(v);
    }
  }
  return !id.empty();
}

bool MtaStsMxMatches(std::string_view host, std::string_view pattern) {
  if (!host.empty() && host.back() == '.') host.remove_suffix(1);
  if (!pattern.empty() && pattern.back() == '.') pattern.remove_suffix(1);
  if (pattern.substr(0, 2) != "*.") return EqualsNoCase(host, pattern);
  size_t dot = host.find('.');
  return dot != std::string_view::npos && dot > 0 &&
         EqualsNoCase(host.substr(dot + 1), pattern.substr(2));
}

bool MtaStsAllowsMx(const MtaStsPolicy &policy, std::string_view host) {
  return std::any_of(policy.Mx.begin(), policy.Mx.end(),
                     [host](const std::string &p) { return MtaStsMxMatches(host, p); });
}

MtaStsPolicy MtaStsPolicyFor(const std::vector<DnsServerAddress> &servers,
                             std::string_view domain) {
  std::string name = LowerAsciiCopy(NormalizeDnsName(domain));
  MtaStsPolicy cached, fetched;
  if (name.empty()) return fetched;
  long long now = NowSeconds();
  bool have = CachedPolicy(name, now, cached);
  if (!have && ReadPolicyFile(name, now, cached)) {
    have = true;
    StorePolicy(name, cached);
  }
  std::string id = RecordId(servers, name);
  if (id.empty() || (have && cached.Id == id)) return have ? cached : fetched;
  return FetchAndKeep(name, id, now, fetched) ? fetched : have ? cached : MtaStsPolicy();
}

size_t RefreshMtaStsPolicies(const std::vector<DnsServerAddress> &servers) {
  std::vector<std::pair<std::string, MtaStsPolicy>> known;
  {
    Cache &c = PolicyCache();
    std::lock_guard<std::mutex> guard(c.lock);
    known.assign(c.policies.begin(), c.policies.end());
  }
  size_t fetched = 0;
  for (const auto &[domain, policy] : known) {
    long long now = NowSeconds();
    std::string id = RecordId(servers, domain);
    if (id.empty()) continue;   // no record now: the policy runs out as it is
    if (id == policy.Id && policy.Expires - now > kMtaStsRenewAheadSeconds) continue;
    MtaStsPolicy fresh;
    if (FetchAndKeep(domain, id, now, fresh)) ++fetched;
  }
  return fetched;
}

std::string MtaStsCacheText(const MtaStsPolicy &policy, std::string_view policyText) {
  return policy.Id + " " + std::to_string(policy.Expires) + "\n" + std::string(policyText);
}

bool ParseMtaStsCacheText(std::string_view text, MtaStsPolicy &out) {
  size_t lf = text.find('\n');
  if (lf == std::string_view::npos || lf > kMaxCacheHead) return false;
  std::string_view head = text.substr(0, lf);
  size_t blank = head.find(' ');
  if (blank == std::string_view::npos) return false;
  std::string_view id = head.substr(0, blank), expires = head.substr(blank + 1);
  if (id.empty() || id.size() > kMaxMtaStsId || !std::all_of(id.begin(), id.end(), IsAlnum) ||
      expires.empty() || expires.size() > kMaxExpiresDigits ||
      expires.find_first_not_of("0123456789") != std::string_view::npos)
    return false;
  if (!ParseMtaStsPolicy(text.substr(lf + 1), kMaxMtaStsPolicyBytes, out)) return false;
  out.Id.assign(id);
  out.Expires = 0;
  for (char c : expires) out.Expires = out.Expires * 10 + (c - '0');
  return true;
}

void ClearMtaStsCache() {
  Cache &c = PolicyCache();
  std::lock_guard<std::mutex> guard(c.lock);
  c.policies.clear();
}
