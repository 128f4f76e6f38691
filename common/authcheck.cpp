// authcheck: see authcheck.h.
#include "common/authcheck.h"

#include <arpa/inet.h>
#include <arpa/nameser.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/types.h>

extern "C" {
#include <spf2/spf.h>
}
#include <opendmarc/dmarc.h>

#include <algorithm>
#include <cstring>
#include <mutex>
#include <random>
#include <unordered_map>

#include "common/str.h"
#include "platform/ascii.h"
#include "platform/dnswire.h"
#include "platform/sync.h"

// libopendmarc exports the organisational domain of its public suffix list
// but its header does not declare it; this is its definition's signature.
extern "C" int opendmarc_get_tld(u_char *domain, u_char *tld, size_t tlen);

namespace {

// A TXT answer is joined from strings of at most 255 bytes; a DNS message
// holds at most 64 KiB, so one record's text never exceeds this.
constexpr size_t kMaxTxtText = 65535;
// DMARC records are short; a longer one is not read as one.
constexpr size_t kMaxDmarcRecord = 4096;
// RFC 8601's field names itself; its fold.
constexpr const char *kFieldName = "Authentication-Results";
constexpr const char *kFold = ";\n\t";
// Comments nest; deeper than this is no authserv-id of ours.
constexpr int kMaxCommentDepth = 8;

bool IsAlnum(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}
bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// ---- DNS

std::string TxtText(const std::string &raw) {
  std::string text;
  size_t at = 0;
  while (at < raw.size() && text.size() < kMaxTxtText) {
    size_t len = static_cast<unsigned char>(raw[at++]);
    len = std::min(len, raw.size() - at);
    text.append(raw, at, len);
    at += len;
  }
  CutText(text, kMaxTxtText);
  return text;
}

// libspf2's DNS layer: every question it asks goes to the lookup in hook.
SPF_dns_rr_t *SpfRecordsFrom(SPF_dns_server_t *server, const char *domain, ns_type type,
                             const AuthDnsAnswer &answer) {
  SPF_dns_rr_t *rr = SPF_dns_rr_new_init(server, domain, type, 0, NETDB_SUCCESS);
  if (rr == nullptr) return nullptr;
  int n = 0;
  for (const DnsRecord &r : answer.Records) {
    std::string text = type == ns_t_txt ? TxtText(r.raw) : r.target;
    size_t size = type == ns_t_a ? sizeof(in_addr) : type == ns_t_aaaa ? sizeof(in6_addr)
                                                                       : text.size() + 1;
    if (SPF_dns_rr_buf_realloc(rr, n, size) != SPF_E_SUCCESS) break;
    SPF_dns_rr_data_t *data = rr->rr[n];
    if (type == ns_t_a) memcpy(&data->a, &r.address, sizeof(in_addr));
    else if (type == ns_t_aaaa) memcpy(&data->aaaa, r.address6.Bytes, sizeof(in6_addr));
    else memcpy(data->txt, text.c_str(), text.size() + 1);
    ++n;
  }
  rr->num_rr = n;
  if (n == 0) rr->herrno = NO_DATA;
  return rr;
}

SPF_dns_rr_t *SpfLookup(SPF_dns_server_t *server, const char *domain, ns_type type, int) {
  const auto &lookup = *static_cast<const AuthDnsLookup *>(server->hook);
  bool known = type == ns_t_a || type == ns_t_aaaa || type == ns_t_txt || type == ns_t_mx ||
               type == ns_t_ptr;
  // The SPF record type was withdrawn (RFC 7208 3.1): never asked.
  if (!known) return SPF_dns_rr_new_init(server, domain, type, 0, NO_DATA);
  AuthDnsAnswer answer;
  if (!lookup(domain, static_cast<uint16_t>(type), answer) ||
      (answer.Rcode != kDnsRcodeNoError && answer.Rcode != kDnsRcodeNxDomain))
    return SPF_dns_rr_new_init(server, domain, type, 0, TRY_AGAIN);
  if (answer.Rcode == kDnsRcodeNxDomain) return SPF_dns_rr_new_nxdomain(server, domain);
  return SpfRecordsFrom(server, domain, type, answer);
}

void QuietSpfLog(const char *, int, const char *) {}

// ---- SPF

SpfResult SpfResultOf(SPF_result_t r) {
  switch (r) {
    case SPF_RESULT_PASS: return SpfResult::kPass;
    case SPF_RESULT_FAIL: return SpfResult::kFail;
    case SPF_RESULT_SOFTFAIL: return SpfResult::kSoftFail;
    case SPF_RESULT_NEUTRAL: return SpfResult::kNeutral;
    case SPF_RESULT_TEMPERROR: return SpfResult::kTempError;
    case SPF_RESULT_PERMERROR: return SpfResult::kPermError;
    default: return SpfResult::kNone;
  }
}

void CheckSpf(const ArrivalClient &client, const AuthDnsLookup &lookup, ArrivalChecks *checks) {
  static std::once_flag quiet;
  std::call_once(quiet, [] {
    SPF_warning_handler = QuietSpfLog;
    SPF_info_handler = QuietSpfLog;
    SPF_debug_handler = QuietSpfLog;
  });
  checks->bSpfHelo = client.MailFrom.empty();
  std::string identity = checks->bSpfHelo ? client.HeloName : client.MailFrom;
  size_t at = identity.rfind('@');
  checks->SpfDomain = LowerAsciiCopy(at == std::string::npos ? identity : identity.substr(at + 1));
  SPF_dns_server_t dns{};
  dns.lookup = SpfLookup;
  dns.name = "zel";
  dns.hook = const_cast<AuthDnsLookup *>(&lookup);
  SPF_server_t *server = SPF_server_new_dns(&dns, 0);
  if (server == nullptr) return;
  SPF_request_t *request = SPF_request_new(server);
  SPF_response_t *response = nullptr;
  bool ok = request != nullptr &&
            (client.bIPv6 ? SPF_request_set_ipv6_str(request, client.Address.c_str())
                          : SPF_request_set_ipv4_str(request, client.Address.c_str())) ==
                SPF_E_SUCCESS &&
            SPF_request_set_helo_dom(request, client.HeloName.c_str()) == SPF_E_SUCCESS &&
            SPF_request_set_env_from(request, identity.c_str()) == 0;
  if (!ok) {
    checks->Spf = SpfResult::kPermError;   // an identity SPF cannot check
  } else {
    SPF_request_query_mailfrom(request, &response);
    checks->Spf = response != nullptr ? SpfResultOf(SPF_response_result(response))
                                      : SpfResult::kTempError;
  }
  if (response != nullptr) SPF_response_free(response);
  if (request != nullptr) SPF_request_free(request);
  SPF_server_free(server);
}

// ---- DMARC

bool DmarcLibrary() {
  static bool ready = [] {
    OPENDMARC_LIB_T lib{};
    lib.tld_type = OPENDMARC_TLD_TYPE_MOZILLA;
    snprintf(reinterpret_cast<char *>(lib.tld_source_file), sizeof lib.tld_source_file, "%s",
             kPublicSuffixFile);
    return opendmarc_policy_library_init(&lib) == DMARC_PARSE_OKAY;
  }();
  return ready;
}

std::string OrganisationalDomain(const std::string &domain) {
  char tld[DMARC_MAXHOSTNAMELEN] = {};
  std::string copy = domain;
  if (opendmarc_get_tld(reinterpret_cast<u_char *>(copy.data()), reinterpret_cast<u_char *>(tld),
                        sizeof tld) != 0 || tld[0] == '\0')
    return domain;   // a name under no listed suffix is its own organisation
  return LowerAsciiCopy(tld);
}

enum class RecordLookup { kFound, kNone, kTempError };

// The one "v=DMARC1" record at _dmarc.domain (none when there are several:
// RFC 7489 6.6.3).
RecordLookup DmarcRecord(const AuthDnsLookup &lookup, const std::string &domain,
                         std::string *record) {
  AuthDnsAnswer answer;
  if (!lookup("_dmarc." + domain, kDnsTypeTXT, answer)) return RecordLookup::kTempError;
  if (answer.Rcode == kDnsRcodeNxDomain) return RecordLookup::kNone;
  if (answer.Rcode != kDnsRcodeNoError) return RecordLookup::kTempError;
  int found = 0;
  for (const DnsRecord &r : answer.Records) {
    std::string text = TxtText(r.raw);
    if (text.compare(0, 8, "v=DMARC1") != 0 || text.size() > kMaxDmarcRecord) continue;
    if (text.size() > 8 && text[8] != ';' && !IsSpace(text[8])) continue;
    *record = text;
    ++found;
  }
  return found == 1 ? RecordLookup::kFound : RecordLookup::kNone;
}

struct DmarcContext {
  DMARC_POLICY_T *p = nullptr;
  ~DmarcContext() {
    if (p != nullptr) opendmarc_policy_connect_shutdown(p);
  }
};

u_char *U(std::string &s) { return reinterpret_cast<u_char *>(s.data()); }

// RFC 7489 6.6.4: a policy applies to pct percent of the failing mail; the
// rest gets the next milder one.
DmarcPolicy ApplyPercentage(DmarcPolicy policy, int pct) {
  if (pct >= 100 || policy == DmarcPolicy::kNone) return policy;
  thread_local std::mt19937 draw{std::random_device{}()};
  if (static_cast<int>(draw() % 100) < pct) return policy;
  return policy == DmarcPolicy::kReject ? DmarcPolicy::kQuarantine : DmarcPolicy::kNone;
}

DmarcPolicy PolicyOf(int p) {
  return p == DMARC_RECORD_P_REJECT       ? DmarcPolicy::kReject
         : p == DMARC_RECORD_P_QUARANTINE ? DmarcPolicy::kQuarantine
                                          : DmarcPolicy::kNone;
}

// The record's tags and the alignment, for the aggregate report.
void ReadPublished(DMARC_POLICY_T *ctx, const std::string &domain, DmarcPublished *out) {
  int p = 0, sp = 0, pct = 100, adkim = 0, aspf = 0;
  opendmarc_policy_fetch_p(ctx, &p);
  opendmarc_policy_fetch_sp(ctx, &sp);
  opendmarc_policy_fetch_pct(ctx, &pct);
  opendmarc_policy_fetch_adkim(ctx, &adkim);
  opendmarc_policy_fetch_aspf(ctx, &aspf);
  out->bFound = true;
  out->Domain = domain;
  out->P = PolicyOf(p);
  out->Sp = sp == DMARC_RECORD_P_UNSPECIFIED ? out->P : PolicyOf(sp);
  out->Pct = std::clamp(pct, 0, 100);
  out->bStrictDkim = adkim == DMARC_RECORD_A_STRICT;
  out->bStrictSpf = aspf == DMARC_RECORD_A_STRICT;
  int dkimAlign = 0, spfAlign = 0;
  opendmarc_policy_fetch_alignment(ctx, &dkimAlign, &spfAlign);
  out->bDkimAligned = dkimAlign == DMARC_POLICY_DKIM_ALIGNMENT_PASS;
  out->bSpfAligned = spfAlign == DMARC_POLICY_SPF_ALIGNMENT_PASS;
  // The library keeps the list (constant 1): it goes with the context.
  u_char **rua = opendmarc_policy_fetch_rua(ctx, nullptr, 0, 1);
  for (size_t i = 0; rua != nullptr && rua[i] != nullptr && out->Rua.size() < kMaxRuaUris; ++i) {
    std::string_view uri(reinterpret_cast<const char *>(rua[i]));
    if (!uri.empty() && uri.size() <= kMaxRuaUri) out->Rua.emplace_back(uri);
  }
}

// Hands libopendmarc the record and the results; it aligns and decides.
void EvaluateDmarc(const ArrivalClient &client, std::string record, bool fromOrganisation,
                   std::string organisation, ArrivalChecks *checks) {
  DmarcContext ctx;
  std::string address = client.Address, from = checks->FromDomain;
  ctx.p = opendmarc_policy_connect_init(U(address), client.bIPv6 ? DMARC_POLICY_IP_TYPE_IPV6
                                                                  : DMARC_POLICY_IP_TYPE_IPV4);
  if (ctx.p == nullptr || opendmarc_policy_store_from_domain(ctx.p, U(from)) != DMARC_PARSE_OKAY)
    return;
  if (opendmarc_policy_store_dmarc(ctx.p, U(record), U(from),
                                   fromOrganisation ? U(organisation) : nullptr) !=
      DMARC_PARSE_OKAY) {
    checks->Dmarc = DmarcResult::kPermError;
    return;
  }
  std::string spfDomain = checks->SpfDomain, human = SpfResultName(checks->Spf);
  int spf = checks->Spf == SpfResult::kPass ? DMARC_POLICY_SPF_OUTCOME_PASS
            : checks->Spf == SpfResult::kTempError ? DMARC_POLICY_SPF_OUTCOME_TMPFAIL
            : checks->Spf == SpfResult::kFail ? DMARC_POLICY_SPF_OUTCOME_FAIL
                                              : DMARC_POLICY_SPF_OUTCOME_NONE;
  if (!spfDomain.empty())
    opendmarc_policy_store_spf(ctx.p, U(spfDomain), spf,
                               checks->bSpfHelo ? DMARC_POLICY_SPF_ORIGIN_HELO
                                                : DMARC_POLICY_SPF_ORIGIN_MAILFROM,
                               U(human));
  // Only passing signatures can align; the others would not change it.
  for (const DkimCheck &d : checks->Dkim) {
    if (d.Result != DkimResult::kPass) continue;
    std::string domain = LowerAsciiCopy(d.Domain), selector = d.Selector, pass = "pass";
    opendmarc_policy_store_dkim(ctx.p, U(domain), U(selector), DMARC_POLICY_DKIM_OUTCOME_PASS,
                                U(pass));
  }
  int verdict = opendmarc_get_policy_to_enforce(ctx.p);
  const DmarcPublished &published = checks->Published;
  ReadPublished(ctx.p, fromOrganisation ? organisation : checks->FromDomain, &checks->Published);
  // A subdomain's policy is sp=, which is p= when the record has none.
  checks->Policy = ApplyPercentage(fromOrganisation ? published.Sp : published.P, published.Pct);
  if (verdict == DMARC_POLICY_PASS) {
    checks->Dmarc = DmarcResult::kPass;
    return;
  }
  if (verdict != DMARC_POLICY_REJECT && verdict != DMARC_POLICY_QUARANTINE &&
      verdict != DMARC_POLICY_NONE) {
    checks->Dmarc = DmarcResult::kNone;
    return;
  }
  // A failure that an answer we did not get might have turned into a pass.
  bool temporary = checks->Spf == SpfResult::kTempError ||
                   std::any_of(checks->Dkim.begin(), checks->Dkim.end(), [](const DkimCheck &d) {
                     return d.Result == DkimResult::kTempError;
                   });
  checks->Dmarc = temporary ? DmarcResult::kTempError : DmarcResult::kFail;
}

// The author's domain: the From field must be there once (RFC 7489 6.6.1).
bool ReadFromDomain(const MessageSource &source, ArrivalChecks *checks, std::string *why) {
  std::string head;
  MessageTextLayout layout;
  if (!SplitMessageSource(source, &head, &layout, why)) return false;
  int fields = 0;
  for (const MessageTextField &field : layout.Fields) {
    if (!EqualsNoCase(field.Name, "From")) continue;
    if (++fields == 1) checks->FromDomain = FromFieldDomain(field);
  }
  if (fields > 1) {
    checks->Dmarc = DmarcResult::kPermError;
    checks->FromDomain.clear();
  }
  return true;
}

void CheckDmarc(const ArrivalClient &client, const AuthDnsLookup &lookup, ArrivalChecks *checks) {
  if (checks->FromDomain.empty() || AuthPropertyValue(checks->FromDomain).empty() ||
      !DmarcLibrary())
    return;
  std::string record;
  RecordLookup found = DmarcRecord(lookup, checks->FromDomain, &record);
  std::string organisation = OrganisationalDomain(checks->FromDomain);
  bool fromOrganisation = false;
  if (found == RecordLookup::kNone && organisation != checks->FromDomain) {
    found = DmarcRecord(lookup, organisation, &record);
    fromOrganisation = true;
  }
  if (found == RecordLookup::kTempError) checks->Dmarc = DmarcResult::kTempError;
  if (found != RecordLookup::kFound) return;
  EvaluateDmarc(client, record, fromOrganisation, organisation, checks);
}

// ---- the field

bool IsPropertyChar(char c) { return IsAlnum(c) || c == '-' || c == '_' || c == '.'; }

// Skips folding white space and (nested) comments from at; false when a
// comment does not end within the bound.
bool SkipCfws(std::string_view v, size_t *at) {
  int depth = 0;
  while (*at < v.size()) {
    char c = v[*at];
    if (c == '(') {
      if (++depth > kMaxCommentDepth) return false;
    } else if (c == ')' && depth > 0) {
      --depth;
    } else if (c == '\\' && depth > 0) {
      ++*at;
    } else if (depth == 0 && !IsSpace(c)) {
      return true;
    }
    ++*at;
  }
  return depth == 0;
}

// ---- the kept answers

struct KeptDnsAnswer {
  AuthDnsAnswer Answer;
  long long Expires = 0;   // monotonic seconds
};

struct AnswerCache {
  std::mutex lock;
  std::unordered_map<std::string, KeptDnsAnswer> answers;   // by AnswerKey
};

AnswerCache &Answers() {
  static AnswerCache cache;
  return cache;
}

std::string AnswerKey(std::string_view name, uint16_t type) {
  std::string key = LowerAsciiCopy(NormalizeDnsName(name));
  key += '/';
  key += std::to_string(type);
  return key;
}

bool KeptAnswer(const std::string &key, AuthDnsAnswer &answer) {
  AnswerCache &c = Answers();
  std::lock_guard<std::mutex> guard(c.lock);
  auto found = c.answers.find(key);
  if (found == c.answers.end()) return false;
  if (found->second.Expires <= MonotonicMs() / 1000) {
    c.answers.erase(found);
    return false;
  }
  answer = found->second.Answer;
  return true;
}

void KeepAnswer(std::string key, const AuthDnsAnswer &answer) {
  if (answer.Rcode != kDnsRcodeNoError || answer.Records.empty()) return;
  uint32_t ttl = kMaxAuthCacheTtl;
  for (const DnsRecord &r : answer.Records) ttl = std::min(ttl, r.ttl);
  if (ttl == 0) return;
  long long now = MonotonicMs() / 1000;
  AnswerCache &c = Answers();
  std::lock_guard<std::mutex> guard(c.lock);
  if (c.answers.size() >= kMaxAuthCachedAnswers) {
    std::erase_if(c.answers, [now](const auto &e) { return e.second.Expires <= now; });
    if (c.answers.size() >= kMaxAuthCachedAnswers) c.answers.clear();   // bounded, simply
  }
  c.answers[std::move(key)] = KeptDnsAnswer{answer, now + ttl};
}

}  // namespace

AuthDnsLookup NameServerDnsLookup(std::vector<DnsServerAddress> servers) {
  return [servers = std::move(servers)](std::string_view name, uint16_t type,
                                        AuthDnsAnswer &answer) {
    std::string key = AnswerKey(name, type);
    if (KeptAnswer(key, answer)) return true;
    DnsAnswer reply;
    if (DnsQuery(servers, name, type, DnsQueryOptions{}, reply) != ERROR_SUCCESS ||
        reply.message.partial)
      return false;
    answer.Rcode = reply.message.header.rcode;
    answer.Records.clear();
    for (DnsRecord &r : reply.message.answers)
      if (r.type == type && r.cls == kDnsClassIN) answer.Records.push_back(std::move(r));
    KeepAnswer(std::move(key), answer);
    return true;
  };
}

void ClearAuthDnsCache() {
  AnswerCache &c = Answers();
  std::lock_guard<std::mutex> guard(c.lock);
  c.answers.clear();
}

DkimTxtLookup TxtLookupOf(const AuthDnsLookup &lookup) {
  return [&lookup](std::string_view name, DkimTxtAnswer &answer) {
    AuthDnsAnswer any;
    if (!lookup(name, kDnsTypeTXT, any)) return false;
    answer.Rcode = any.Rcode;
    answer.Records.clear();
    for (const DnsRecord &r : any.Records) answer.Records.push_back(r.raw);
    return true;
  };
}

const char *SpfResultName(SpfResult result) {
  switch (result) {
    case SpfResult::kNone: return "none";
    case SpfResult::kNeutral: return "neutral";
    case SpfResult::kPass: return "pass";
    case SpfResult::kFail: return "fail";
    case SpfResult::kSoftFail: return "softfail";
    case SpfResult::kTempError: return "temperror";
    case SpfResult::kPermError: return "permerror";
  }
  return "none";
}

const char *DmarcResultName(DmarcResult result) {
  switch (result) {
    case DmarcResult::kNone: return "none";
    case DmarcResult::kPass: return "pass";
    case DmarcResult::kFail: return "fail";
    case DmarcResult::kTempError: return "temperror";
    case DmarcResult::kPermError: return "permerror";
  }
  return "none";
}

const char *DmarcPolicyName(DmarcPolicy policy) {
  switch (policy) {
    case DmarcPolicy::kNone: return "none";
    case DmarcPolicy::kQuarantine: return "quarantine";
    case DmarcPolicy::kReject: return "reject";
  }
  return "none";
}

std::string TxtRecordText(const std::string &raw) { return TxtText(raw); }

std::string OrganisationalDomainOf(const std::string &domain) {
  return DmarcLibrary() ? OrganisationalDomain(LowerAsciiCopy(domain)) : LowerAsciiCopy(domain);
}

bool CheckArrival(const MessageSource &source, const ArrivalClient &client,
                  const AuthDnsLookup &lookup, ArrivalChecks *checks, std::string *why) {
  *checks = ArrivalChecks{};
  if (!ReadFromDomain(source, checks, why)) return false;
  CheckSpf(client, lookup, checks);
  if (!DkimVerify(source, TxtLookupOf(lookup), &checks->Dkim, why)) return false;
  if (checks->Dmarc == DmarcResult::kNone) CheckDmarc(client, lookup, checks);
  return true;
}

ArrivalVerdict DecideArrival(const ArrivalChecks &checks, bool dmarcReject) {
  if (checks.Dmarc == DmarcResult::kTempError)
    return checks.Policy == DmarcPolicy::kReject && dmarcReject ? ArrivalVerdict::kTempFail
                                                                : ArrivalVerdict::kAccept;
  if (checks.Dmarc != DmarcResult::kFail || checks.Policy == DmarcPolicy::kNone)
    return ArrivalVerdict::kAccept;
  if (checks.Policy == DmarcPolicy::kReject && dmarcReject) return ArrivalVerdict::kReject;
  return ArrivalVerdict::kJunk;
}

std::string ArrivalReply(ArrivalVerdict verdict, const ArrivalChecks &checks) {
  if (verdict == ArrivalVerdict::kReject)
    return "550 5.7.1 Rejected by DMARC policy of " + AuthPropertyValue(checks.FromDomain) + "\r\n";
  if (verdict == ArrivalVerdict::kTempFail)
    return "451 4.7.5 DMARC policy of " + AuthPropertyValue(checks.FromDomain) +
           " cannot be checked now, try again later\r\n";
  return "";
}

std::string AuthPropertyValue(std::string_view text) {
  if (text.empty() || text.size() > kMaxAuthPropertyText) return "";
  for (char c : text)
    if (!IsPropertyChar(c)) return "";
  return LowerAsciiCopy(text);
}

std::string AuthResultsValue(std::string_view authservId, const ArrivalChecks &c) {
  std::string v = " " + std::string(authservId);
  std::string spfDomain = AuthPropertyValue(c.SpfDomain);
  v += kFold + std::string("spf=") + SpfResultName(c.Spf);
  if (!spfDomain.empty()) v += (c.bSpfHelo ? " smtp.helo=" : " smtp.mailfrom=") + spfDomain;
  if (c.Dkim.empty()) v += kFold + std::string("dkim=none");
  for (const DkimCheck &d : c.Dkim) {
    v += kFold + std::string("dkim=") + DkimResultName(d.Result);
    std::string domain = AuthPropertyValue(d.Domain), selector = AuthPropertyValue(d.Selector);
    std::string algorithm = AuthPropertyValue(d.Algorithm);
    if (!domain.empty()) v += " header.d=" + domain;
    if (!selector.empty()) v += " header.s=" + selector;
    if (!algorithm.empty()) v += " header.a=" + algorithm;
    // b= is base64: a value needs quotes for its "+", "/" and "=".
    bool base64 = !d.HeaderB.empty() && std::all_of(d.HeaderB.begin(), d.HeaderB.end(), [](char ch) {
      return IsAlnum(ch) || ch == '+' || ch == '/' || ch == '=';
    });
    if (base64) v += " header.b=\"" + d.HeaderB + "\"";
  }
  v += kFold + std::string("dmarc=") + DmarcResultName(c.Dmarc);
  if (c.Dmarc == DmarcResult::kFail || c.Dmarc == DmarcResult::kTempError)
    v += std::string(" (p=") + DmarcPolicyName(c.Policy) + ")";
  std::string from = AuthPropertyValue(c.FromDomain);
  if (!from.empty()) v += " header.from=" + from;
  return v;
}

std::string AuthServIdOf(std::string_view value) {
  value = value.substr(0, kMaxAuthServIdScan);
  size_t at = 0;
  if (!SkipCfws(value, &at) || at >= value.size()) return "";
  std::string id;
  if (value[at] == '"') {
    for (++at; at < value.size() && value[at] != '"'; ++at) {
      if (value[at] == '\\' && at + 1 < value.size()) ++at;
      id += value[at];
    }
    return at < value.size() ? id : "";
  }
  while (at < value.size() && value[at] != ';' && value[at] != '(' && value[at] != '"' &&
         !IsSpace(value[at]))
    id += value[at++];
  return id;
}

bool AuthResultsEdits(const MessageSource &source, std::string_view authservId,
                      const std::string &value, MilterEdits *edits, std::string *why) {
  std::string head;
  MessageTextLayout layout;
  if (!SplitMessageSource(source, &head, &layout, why)) return false;
  edits->Headers.clear();
  std::vector<uint32_t> ours;   // the how-manieth Authentication-Results each is
  uint32_t seen = 0;
  size_t received = layout.Fields.size();
  for (size_t i = 0; i < layout.Fields.size(); ++i) {
    const MessageTextField &f = layout.Fields[i];
    if (received == layout.Fields.size() && EqualsNoCase(f.Name, "Received")) received = i;
    if (!EqualsNoCase(f.Name, kFieldName)) continue;
    ++seen;
    if (EqualsNoCase(AuthServIdOf(MilterFieldValue(f, false)), authservId)) ours.push_back(seen);
  }
  // From the last: a removal never moves the ones still to come.
  for (auto n = ours.rbegin(); n != ours.rend(); ++n)
    edits->Headers.push_back({MilterHeaderOp::Change, *n, kFieldName, "", false});
  // Removed fields all lie below the Received line, so its place stays.
  uint32_t place = received == layout.Fields.size() ? 0 : static_cast<uint32_t>(received + 1);
  edits->Headers.push_back({MilterHeaderOp::Insert, place, kFieldName, value, true});
  return true;
}
