// zeladm check dns's comparisons: records that mean the same as ours pass
// however they are written (case, order, split strings, the operator's own
// extra tags, a stricter DMARC policy); records that mean something else,
// or that cancel each other (two SPF records), do not.
#include "tools/zeladm/dnsrecords.h"

#include <gtest/gtest.h>

namespace {

using namespace std::string_literals;

DnsRecord Txt(std::vector<std::string> strings) {
  DnsRecord r;
  r.type = kDnsTypeTXT;
  r.cls = kDnsClassIN;
  for (const std::string &s : strings) r.raw += static_cast<char>(s.size()) + s;
  return r;
}

DnsRecord Target(uint16_t type, std::string target, uint16_t port = 0) {
  DnsRecord r;
  r.type = type;
  r.cls = kDnsClassIN;
  r.target = std::move(target);
  r.port = port;
  return r;
}

DnsRecord Tlsa(std::string data) {
  DnsRecord r;
  r.type = kDnsTypeTLSA;
  r.cls = kDnsClassIN;
  r.raw = std::move(data);
  return r;
}

const SiteDnsRecord &Of(const std::vector<SiteDnsRecord> &all, std::string_view label) {
  for (const SiteDnsRecord &r : all)
    if (r.Label == label) return r;
  static SiteDnsRecord none;
  ADD_FAILURE() << label;
  return none;
}

TEST(SiteDnsRecords, ComparedByMeaning) {
  SiteDnsFacts f;
  f.Domain = "d.test";
  f.MxHost = "mx.d.test";
  f.Services = {{"_imap._tcp", "IMAP", 143}, {"_pop3s._tcp", "POP3 with TLS", 0}};
  f.DkimKeys = {{"s1", SigningKeyType::kRsa, "AAAB", true}};
  f.TlsaDigest = "00ff";
  const auto all = BuildSiteDnsRecords(f);
  const std::string stsId = Of(all, "MTA-STS").Text.substr(std::string("v=STSv1; id=").size());
  constexpr auto kOk = SiteRecordMatch::kOk, kDiffers = SiteRecordMatch::kDiffers,
                 kMissing = SiteRecordMatch::kMissing;
  struct Case {
    const char *label;
    std::vector<DnsRecord> found;
    SiteRecordMatch want;
  } cases[] = {
      {"SPF", {Txt({"V=SPF1 -ALL +mx"})}, kOk},
      {"SPF", {Txt({"v=spf1 m", "x -all"}), Txt({"site-verification=1"})}, kOk},
      {"SPF", {Txt({"v=spf1 mx ~all"})}, kDiffers},
      {"SPF", {Txt({"v=spf1 mx -all"}), Txt({"v=spf1 a -all"})}, kDiffers},
      {"SPF", {Txt({"v=spf10 mx -all"})}, kMissing},
      {"DMARC", {Txt({"v=DMARC1;p=reject;rua=mailto:a@b.test,mailto:POSTMASTER@d.test!10m"})}, kOk},
      {"DMARC", {Txt({"v=DMARC1; p=none; rua=mailto:postmaster@d.test"})}, kDiffers},
      {"DMARC", {Txt({"v=DMARC1; p=quarantine"})}, kDiffers},
      {"DKIM s1", {Txt({"p=AA AB"})}, kOk},   // k= defaults to rsa
      {"DKIM s1", {Txt({"v=DKIM1; k=ed25519; p=AAAB"})}, kDiffers},
      {"DKIM s1", {Txt({"v=DKIM1; k=rsa; p=AAAb"})}, kDiffers},
      {"MTA-STS", {Txt({"v=STSv1; id=" + stsId})}, kOk},
      {"MTA-STS", {Txt({"v=STSv1; id=x" + stsId})}, kDiffers},
      {"MX", {Target(kDnsTypeMX, "other.test"), Target(kDnsTypeMX, "MX.D.test.")}, kOk},
      {"MX", {Target(kDnsTypeCNAME, "mx.d.test")}, kMissing},
      {"IMAP", {Target(kDnsTypeSRV, "mx.d.test", 993)}, kDiffers},
      {"POP3 with TLS", {Target(kDnsTypeSRV, "")}, kOk},
      {"POP3 with TLS", {Target(kDnsTypeSRV, ""), Target(kDnsTypeSRV, "mx.d.test", 995)}, kDiffers},
      {"TLSA", {Tlsa("\x03\x01\x01\x00\xFF"s)}, kOk},
      {"TLSA", {Tlsa("\x03\x00\x01\x00\xFF"s)}, kDiffers},   // the whole certificate's digest
  };
  for (const Case &c : cases)
    EXPECT_EQ(CompareSiteDnsRecord(Of(all, c.label), c.found).Match, c.want)
        << c.label << " " << (c.found.empty() ? "" : c.found[0].raw + c.found[0].target);
  // Without a certificate, no policy that demands TLS.
  f.TlsaDigest.clear();
  for (const SiteDnsRecord &r : BuildSiteDnsRecords(f))
    EXPECT_TRUE(r.Kind != SiteRecordKind::kMtaSts && r.Kind != SiteRecordKind::kTlsa) << r.Name;
}

TEST(SiteDnsRecords, RelayHostInSpf) {
  const std::pair<const char *, const char *> cases[] = {
      {"192.0.2.7", "v=spf1 mx ip4:192.0.2.7 -all"},
      {"[IPv6:2001:DB8::1]", "v=spf1 mx ip6:2001:db8::1 -all"},
      {"Relay.Example.NET.", "v=spf1 mx a:relay.example.net -all"},
      {"relay example net", "v=spf1 mx -all"},   // not a host: nothing of it in the record
  };
  for (const auto &[gateway, want] : cases) {
    SiteDnsFacts f;
    f.Domain = "d.test";
    f.MxHost = "mx.d.test";
    f.Gateway = gateway;
    EXPECT_EQ(Of(BuildSiteDnsRecords(f), "SPF").Text, want) << gateway;
  }
}

}  // namespace
