// dnsrecords: see dnsrecords.h.
#include "tools/zeladm/dnsrecords.h"

#include <algorithm>

#include "common/logging.h"
#include "platform/ascii.h"
#include "platform/ipaddr.h"
#include "platform/tls.h"

namespace {

// A TXT record's character-string is at most 255 bytes (RFC 1035 3.3).
constexpr size_t kTxtStringBytes = 255;
// The exchanger's preference: the only one, so any number would do.
constexpr uint16_t kMxPreference = 10;
// A record's tags: a handful; more is not one of ours.
constexpr size_t kMaxTags = 64;

SiteDnsRecord Txt(SiteRecordKind kind, std::string label, std::string comment, std::string name,
                  std::string text) {
  SiteDnsRecord r;
  r.Kind = kind;
  r.Label = std::move(label);
  r.Comment = std::move(comment);
  r.Name = std::move(name);
  r.Type = kDnsTypeTXT;
  r.Text = std::move(text);
  return r;
}

// The SPF term that lets the relay host send for us: its address as given,
// else its name's addresses. A provider whose relay sends from a pool of
// other machines publishes its own include: the comment says so. "" for a
// value that is neither (nothing of it goes into the record).
std::string GatewayTerm(std::string_view gateway) {
  IpAddress address;
  if (ParseAddress(gateway, &address) || ParseDomainLiteral(gateway, &address))
    return (address.IsV4() ? " ip4:" : " ip6:") + AddressText(address);
  std::string name = LowerAsciiCopy(gateway);
  if (!name.empty() && name.back() == '.') name.pop_back();
  return IsTlsHostName(name) ? " a:" + name : "";
}

std::string SpfComment(const SiteDnsFacts &f, const std::string &gatewayTerm) {
  if (f.Gateway.empty()) return "SPF: only the exchangers of " + f.Domain + " send its mail";
  if (gatewayTerm.empty())
    return "SPF: GatewayName is neither a host name nor an address: add the relay host's term";
  return "SPF: this host and the relay host (GatewayName) send its mail; a provider's relay "
         "that sends from other machines documents the include: to use instead";
}

SiteDnsRecord Srv(const SiteService &service, const std::string &domain, const std::string &mx) {
  SiteDnsRecord r;
  r.Kind = SiteRecordKind::kSrv;
  r.Label = service.Label;
  r.Name = std::string(service.Name) + "." + domain;
  r.Type = kDnsTypeSRV;
  if (service.Port == 0) {
    // RFC 2782: a lone record with the root as target says "not offered here".
    r.Comment = std::string(service.Label) + ": not offered";
    return r;
  }
  r.Comment = std::string(service.Label) + " for mail clients (RFC 6186, RFC 8314)";
  r.Weight = 1;
  r.Port = service.Port;
  r.Target = mx;
  return r;
}

std::string TxtStrings(std::string_view text) {
  std::string out;
  for (size_t at = 0; at < text.size() || at == 0; at += kTxtStringBytes) {
    out += out.empty() ? "\"" : " \"";
    for (char c : text.substr(at, kTxtStringBytes)) {
      if (c == '"' || c == '\\') out += '\\';
      out += c;
    }
    out += '"';
  }
  return out;
}

std::string Trimmed(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return std::string(s);
}

// "a=1; b = 2;" as (lower-case tag, value) pairs, at most kMaxTags.
std::vector<std::pair<std::string, std::string>> Tags(std::string_view text) {
  std::vector<std::pair<std::string, std::string>> tags;
  while (!text.empty() && tags.size() < kMaxTags) {
    size_t end = std::min(text.find(';'), text.size());
    std::string_view part = text.substr(0, end);
    text.remove_prefix(end == text.size() ? end : end + 1);
    size_t eq = part.find('=');
    if (eq == std::string_view::npos) continue;
    tags.emplace_back(LowerAsciiCopy(Trimmed(part.substr(0, eq))), Trimmed(part.substr(eq + 1)));
  }
  return tags;
}

const std::string *Tag(const std::vector<std::pair<std::string, std::string>> &tags,
                       std::string_view name) {
  for (const auto &[tag, value] : tags)
    if (tag == name) return &value;
  return nullptr;
}

// A URI list ("mailto:a@b, mailto:c@d!10m") names uri, case ignored.
bool ListNames(const std::string *list, std::string_view uri) {
  if (list == nullptr) return false;
  std::string_view rest = *list;
  while (!rest.empty()) {
    size_t end = std::min(rest.find(','), rest.size());
    std::string entry = Trimmed(rest.substr(0, end));
    entry = entry.substr(0, entry.find('!'));   // a size limit is the sender's business
    if (EqualsNoCase(entry, uri)) return true;
    rest.remove_prefix(end == rest.size() ? end : end + 1);
  }
  return false;
}

// SPF terms as a set: lower case, "+" (the default qualifier) dropped.
std::vector<std::string> SpfTerms(std::string_view text) {
  std::vector<std::string> terms;
  std::string term;
  for (size_t i = 0; i <= text.size(); ++i) {
    if (i < text.size() && text[i] != ' ' && text[i] != '\t') {
      term += LowerAscii(text[i]);
      continue;
    }
    if (!term.empty() && term[0] == '+') term.erase(0, 1);
    if (!term.empty()) terms.push_back(std::move(term));
    term.clear();
  }
  std::sort(terms.begin(), terms.end());
  terms.erase(std::unique(terms.begin(), terms.end()), terms.end());
  return terms;
}

// Our record's text against a found one, by what the kind means.
bool TextMatches(const SiteDnsRecord &expected, const std::string &found) {
  auto want = Tags(expected.Text), have = Tags(found);
  auto same = [&](const char *tag) {
    const std::string *a = Tag(want, tag), *b = Tag(have, tag);
    return a != nullptr && b != nullptr && EqualsNoCase(*a, *b);
  };
  switch (expected.Kind) {
    case SiteRecordKind::kSpf:
      return SpfTerms(expected.Text) == SpfTerms(found);
    case SiteRecordKind::kDmarc: {
      // A stricter policy than the one we suggest is the operator's choice.
      const std::string *p = Tag(have, "p");
      return same("v") && p != nullptr &&
             (EqualsNoCase(*p, "quarantine") || EqualsNoCase(*p, "reject")) &&
             ListNames(Tag(have, "rua"), *Tag(want, "rua"));
    }
    case SiteRecordKind::kTlsRpt:
      return same("v") && ListNames(Tag(have, "rua"), *Tag(want, "rua"));
    case SiteRecordKind::kMtaSts:
      return same("v") && Tag(have, "id") != nullptr && *Tag(have, "id") == *Tag(want, "id");
    case SiteRecordKind::kDkim: {
      // k= defaults to rsa (RFC 6376 3.6.1); p= may be broken by blanks.
      const std::string *k = Tag(have, "k"), *p = Tag(have, "p");
      std::string key = p == nullptr ? "" : *p;
      std::erase_if(key, [](char c) { return c == ' ' || c == '\t'; });
      return EqualsNoCase(k == nullptr ? "rsa" : *k, *Tag(want, "k")) && key == *Tag(want, "p");
    }
    default:
      return false;
  }
}

// The version tag a TXT record of the kind starts with ("" for DKIM: a key
// record's v= is optional, so every TXT at its name is a candidate).
std::string_view VersionOf(SiteRecordKind kind) {
  switch (kind) {
    case SiteRecordKind::kSpf: return "v=spf1";
    case SiteRecordKind::kDmarc: return "v=DMARC1";
    case SiteRecordKind::kMtaSts: return "v=STSv1";
    case SiteRecordKind::kTlsRpt: return "v=TLSRPTv1";
    default: return "";
  }
}

bool HasVersion(const std::string &text, std::string_view version) {
  if (version.empty()) return true;
  if (!StartsWithNoCase(text, version)) return false;
  return text.size() == version.size() || text[version.size()] == ' ' ||
         text[version.size()] == ';';
}

std::string Joined(const std::vector<std::string> &texts) {
  std::string all;
  for (const std::string &t : texts) all += (all.empty() ? "" : " | ") + t;
  return all;
}

SiteRecordCheck CompareTxt(const SiteDnsRecord &expected, const std::vector<DnsRecord> &answers) {
  std::vector<std::string> candidates;
  for (const DnsRecord &r : answers) {
    std::vector<std::string> strings;
    if (r.type != kDnsTypeTXT || !ParseDnsTxtStrings(r.raw, strings)) continue;
    std::string text;
    for (const std::string &s : strings) text += s;
    if (HasVersion(text, VersionOf(expected.Kind))) candidates.push_back(std::move(text));
  }
  if (candidates.empty()) return {SiteRecordMatch::kMissing, ""};
  bool versioned = !VersionOf(expected.Kind).empty();
  // Two SPF or DMARC records are as good as none (RFC 7208 4.5, RFC 7489
  // 6.6.3); only key records may stand side by side.
  if (versioned && candidates.size() > 1)
    return {SiteRecordMatch::kDiffers, LogSafeText(std::to_string(candidates.size()) +
                                                   " records: " + Joined(candidates))};
  for (const std::string &text : candidates)
    if (TextMatches(expected, text)) return {SiteRecordMatch::kOk, ""};
  return {SiteRecordMatch::kDiffers, LogSafeText(Joined(candidates))};
}

std::string HostText(const std::string &name) { return name.empty() ? "." : name; }

bool SameHost(std::string_view a, std::string_view b) {
  if (!a.empty() && a.back() == '.') a.remove_suffix(1);
  if (!b.empty() && b.back() == '.') b.remove_suffix(1);
  return DnsNamesEqual(a, b);
}

// MX, SRV and TLSA: ok when one of the answers is ours.
SiteRecordCheck CompareOthers(const SiteDnsRecord &expected,
                              const std::vector<DnsRecord> &answers) {
  std::vector<std::string> found;
  bool ok = false;
  for (const DnsRecord &r : answers) {
    if (r.type != expected.Type) continue;
    if (expected.Type == kDnsTypeMX) {
      ok = ok || SameHost(r.target, expected.Target);
      found.push_back(std::to_string(r.preference) + " " + HostText(r.target));
    } else if (expected.Type == kDnsTypeSRV) {
      // "Not offered" is a lone root target; offered, one record of ours.
      ok = ok || (expected.Target.empty()
                      ? answers.size() == 1 && r.target.empty()
                      : r.port == expected.Port && SameHost(r.target, expected.Target));
      found.push_back(std::to_string(r.preference) + " " + std::to_string(r.weight) + " " +
                      std::to_string(r.port) + " " + HostText(r.target));
    } else {
      DnsTlsa t;
      if (!ParseDnsTlsa(r.raw, t)) continue;
      ok = ok || (t.usage == kTlsaUsageDaneEe && t.selector == kTlsaSelectorSpki &&
                  t.matching == kTlsaMatchingSha256 &&
                  EqualsNoCase(HexText(t.association), expected.Text));
      found.push_back(std::to_string(t.usage) + " " + std::to_string(t.selector) + " " +
                      std::to_string(t.matching) + " " + HexText(t.association));
    }
  }
  if (ok) return {SiteRecordMatch::kOk, ""};
  if (found.empty()) return {SiteRecordMatch::kMissing, ""};
  return {SiteRecordMatch::kDiffers, LogSafeText(Joined(found))};
}

}  // namespace

std::string MtaStsPolicy(std::string_view mxHost) {
  return "version: STSv1\r\nmode: enforce\r\nmx: " + std::string(mxHost) +
         "\r\nmax_age: " + std::to_string(kMtaStsMaxAge) + "\r\n";
}

std::vector<SiteDnsRecord> DkimKeyRecords(std::string_view domain,
                                          const std::vector<DkimPublishedKey> &keys) {
  std::vector<SiteDnsRecord> records;
  for (const DkimPublishedKey &k : keys) {
    std::string comment = std::string("DKIM key (") + DkimKeyTypeName(k.Type) + ")";
    comment += k.Signs ? ", signs now"
                       : "; keep published until 'zeladm dkim retire --domain " +
                             std::string(domain) + " --selector " + k.Selector + "'";
    records.push_back(Txt(SiteRecordKind::kDkim, "DKIM " + k.Selector, comment,
                          k.Selector + "._domainkey." + std::string(domain),
                          DkimKeyRecord(k.Type, k.PublicKey)));
  }
  return records;
}

std::vector<SiteDnsRecord> BuildSiteDnsRecords(const SiteDnsFacts &f) {
  std::vector<SiteDnsRecord> out;
  const std::string &d = f.Domain;
  SiteDnsRecord mx;
  mx.Kind = SiteRecordKind::kMx;
  mx.Label = "MX";
  mx.Comment = "mail for " + d + " comes to this host";
  mx.Name = d;
  mx.Type = kDnsTypeMX;
  mx.Priority = kMxPreference;
  mx.Target = f.MxHost;
  out.push_back(mx);
  const std::string gateway = f.Gateway.empty() ? "" : GatewayTerm(f.Gateway);
  out.push_back(Txt(SiteRecordKind::kSpf, "SPF", SpfComment(f, gateway), d,
                    "v=spf1 mx" + gateway + " -all"));
  for (SiteDnsRecord &r : DkimKeyRecords(d, f.DkimKeys)) out.push_back(std::move(r));
  out.push_back(Txt(SiteRecordKind::kDmarc, "DMARC",
                    "DMARC: mail that fails SPF and DKIM alignment goes to the junk folder; "
                    "reports to the postmaster",
                    "_dmarc." + d, "v=DMARC1; p=quarantine; rua=mailto:postmaster@" + d));
  // Without a certificate, a policy that demands TLS would stop all mail.
  const std::string stsId = Sha256Hex(MtaStsPolicy(f.MxHost)).substr(0, kMtaStsIdDigits);
  if (!f.TlsaDigest.empty())
    out.push_back(Txt(SiteRecordKind::kMtaSts, "MTA-STS",
                      "MTA-STS: senders must use TLS to the MX (the policy file below)",
                      "_mta-sts." + d, "v=STSv1; id=" + stsId));
  out.push_back(Txt(SiteRecordKind::kTlsRpt, "TLS-RPT",
                    "TLS-RPT: senders report TLS failures to the postmaster", "_smtp._tls." + d,
                    "v=TLSRPTv1; rua=mailto:postmaster@" + d));
  for (const SiteService &s : f.Services) out.push_back(Srv(s, d, f.MxHost));
  if (!f.TlsaDigest.empty()) {
    SiteDnsRecord t;
    t.Kind = SiteRecordKind::kTlsa;
    t.Label = "TLSA";
    t.Comment = "DANE: the MX certificate's public key (counts only in a DNSSEC-signed zone)";
    t.Name = "_" + std::to_string(kSmtpServerPort) + "._tcp." + f.MxHost;
    t.Type = kDnsTypeTLSA;
    t.Text = f.TlsaDigest;
    out.push_back(t);
  }
  return out;
}

std::string ZoneLine(const SiteDnsRecord &r) {
  std::string line = r.Name + ". IN ";
  switch (r.Type) {
    case kDnsTypeMX:
      return line + "MX " + std::to_string(r.Priority) + " " + r.Target + ".";
    case kDnsTypeSRV:
      return line + "SRV " + std::to_string(r.Priority) + " " + std::to_string(r.Weight) + " " +
             std::to_string(r.Port) + " " + (r.Target.empty() ? "." : r.Target + ".");
    case kDnsTypeTLSA:
      return line + "TLSA " + std::to_string(kTlsaUsageDaneEe) + " " +
             std::to_string(kTlsaSelectorSpki) + " " + std::to_string(kTlsaMatchingSha256) + " " +
             r.Text;
    default:
      return line + "TXT " + TxtStrings(r.Text);
  }
}

std::string ZoneText(const std::vector<SiteDnsRecord> &records) {
  std::string text;
  for (const SiteDnsRecord &r : records) text += "; " + r.Comment + "\n" + ZoneLine(r) + "\n";
  return text;
}

SiteRecordCheck CompareSiteDnsRecord(const SiteDnsRecord &expected,
                                     const std::vector<DnsRecord> &answers) {
  std::vector<DnsRecord> ofType;
  for (const DnsRecord &r : answers)
    if (r.type == expected.Type && r.cls == kDnsClassIN) ofType.push_back(r);
  return expected.Type == kDnsTypeTXT ? CompareTxt(expected, ofType)
                                      : CompareOthers(expected, ofType);
}
