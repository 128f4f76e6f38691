// mtasts: a recipient domain's MTA-STS policy (RFC 8461): which exchangers
// it names and whether it asks for verified TLS to them.
//
// MtaStsPolicyFor asks "_mta-sts.DOMAIN" TXT through the name servers of
// NameServer; with a valid "v=STSv1; id=..." record whose id differs from
// the cached policy's (or without a cached one that is still valid), it
// fetches https://mta-sts.DOMAIN/.well-known/mta-sts.txt (platform/httpsget:
// the host resolved here through NameServer, the certificate checked under
// the system's CA store or TlsCaFile, at most kMaxMtaStsPolicyBytes, no
// redirects) and caches the parsed policy by domain until max_age runs
// out. Without a record, or when the fetch fails, a cached policy that is
// still valid stands; otherwise there is no policy. The cache is in memory,
// at most kMaxMtaStsCache domains, and on disk (MtaStsCacheDirectory: one
// file per domain, "ID EXPIRES" and the policy text as fetched, written
// under a temporary name and renamed), so that a restart does not forget
// a domain's demand for TLS: an attacker who blocks the fetch after a
// restart must not turn enforce into none. RefreshMtaStsPolicies, on a
// thread of the remote side every kMtaStsRefreshSeconds, fetches again the
// policies whose record's id changed or that expire within
// kMtaStsRenewAheadSeconds, so a domain's policy is current before mail
// for it needs it; a failed refresh keeps the policy it had.
//
// Callers: routing (the domain's policy at each attempt, and the mx match
// of each exchanger); zeldeliv through LoadMtaStsSettings.
//
// Untrusted input: the TXT answer and the policy text (bounded parsers, a
// fuzz target); the domain name comes from the queue and only forms names.
//
// Threads: the cache is shared by the domain threads under a lock; a fetch
// runs outside it (two threads may fetch the same policy at once; the
// later result stays).
//
// Failures: a lookup or fetch that fails is no policy (logged), never a
// reason to hold mail by itself.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/dnsclient.h"

// The policy file: 64 KiB is far beyond any real one (a few mx lines).
constexpr size_t kMaxMtaStsPolicyBytes = 64 * 1024;
// mx lines kept of one policy.
constexpr size_t kMaxMtaStsMx = 64;
// max_age as RFC 8461 bounds it: about a year.
constexpr uint32_t kMaxMtaStsMaxAge = 31557600;
// The id of a TXT record: 1 to 32 letters and digits.
constexpr size_t kMaxMtaStsId = 32;
// Domains whose policies are kept at once; past that the one expiring first goes.
constexpr size_t kMaxMtaStsCache = 1024;
// The spool directory of the cached policies.
constexpr const char *kMtaStsDir = "mta-sts";
// How often the cached policies are looked at, and how long before its end
// a policy is fetched again.
constexpr unsigned kMtaStsRefreshSeconds = 3600;
constexpr long long kMtaStsRenewAheadSeconds = 24 * 3600;
// A policy fetch: connecting, and all of it.
constexpr long kMtaStsConnectTimeoutMs = 10000;
constexpr long kMtaStsTotalTimeoutMs = 30000;
// A path in TlsCaFile.
constexpr size_t kMaxTlsCaFilePath = 1024;

// The CA file that the MTA-STS checks (the policy's HTTPS and the
// exchangers' certificates) trust instead of the system's store; "" (the
// default) is the store. Read from ZELDELIV's TlsCaFile: for tests and
// sites with a private CA.
extern std::string TlsCaFile;
// Where policies are kept across restarts; "" keeps them in memory only.
extern std::string MtaStsCacheDirectory;
void LoadMtaStsSettings(std::string cacheDirectory);

enum class MtaStsMode { kNone, kTesting, kEnforce };

struct MtaStsPolicy {
  MtaStsMode Mode = MtaStsMode::kNone;
  std::vector<std::string> Mx;   // patterns: "mx.example.com", "*.example.com"
  uint32_t MaxAge = 0;
  std::string Id;                // the TXT record's id it was fetched for
  long long Expires = 0;         // seconds since 1970
};

// The policy text (RFC 8461 3.2): "key: value" lines ending in LF or CRLF;
// version STSv1, mode and max_age present and valid, mx present unless the
// mode is none; unknown keys ignored. At most maxBytes are read; false for
// a longer text or an invalid one.
bool ParseMtaStsPolicy(std::string_view text, size_t maxBytes, MtaStsPolicy &out);
// The TXT record's text: "v=STSv1" first, then an "id=" field of 1 to 32
// letters and digits; fields separated by ";" and blanks. False otherwise.
bool ParseMtaStsRecord(std::string_view text, std::string &id);
// A host matches a pattern exactly, or "*.rest" by one more leftmost label
// (any case, final dots ignored).
bool MtaStsMxMatches(std::string_view host, std::string_view pattern);
bool MtaStsAllowsMx(const MtaStsPolicy &policy, std::string_view host);

// The domain's policy now; Mode kNone when it has none.
MtaStsPolicy MtaStsPolicyFor(const std::vector<DnsServerAddress> &servers,
                             std::string_view domain);
// Forgets every cached policy (tests).
void ClearMtaStsCache();

// One pass of the refresh (see above); returns how many policies it fetched.
size_t RefreshMtaStsPolicies(const std::vector<DnsServerAddress> &servers);
// A cache file's text, and back; false for a text that is not one (bounded:
// at most kMaxMtaStsPolicyBytes of policy after one short line).
std::string MtaStsCacheText(const MtaStsPolicy &policy, std::string_view policyText);
bool ParseMtaStsCacheText(std::string_view text, MtaStsPolicy &out);
