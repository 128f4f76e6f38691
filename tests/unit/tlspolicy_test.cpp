// The TLS policies of the SMTP client: TLSA records and the DANE decision
// on an answer, MTA-STS records, policies and mx patterns, the relay host's
// GatewayTls.
#include <gtest/gtest.h>

#include <stdlib.h>

#include <filesystem>
#include <string>
#include <vector>

#include "ZELDELIV/mtasts.h"
#include "ZELDELIV/tlspolicy.h"
#include "platform/files.h"
#include "platform/httpsget.h"
#include "platform/sync.h"

namespace {

constexpr uint16_t kTlsa = 52;
const std::string kName = "_25._tcp.mx.example";
const std::string kDigest(32, '\xAB');

std::string Rdata(uint8_t usage, uint8_t selector, uint8_t matching, const std::string &data) {
  return std::string{static_cast<char>(usage), static_cast<char>(selector),
                     static_cast<char>(matching)} + data;
}

DnsRecord Tlsa(const std::string &rdata, const std::string &name = kName) {
  DnsRecord r;
  r.name = name;
  r.type = kTlsa;
  r.cls = kDnsClassIN;
  r.raw = rdata;
  return r;
}

DnsMessage Answer(std::vector<DnsRecord> records, bool ad = true, uint8_t rcode = 0) {
  DnsMessage m;
  m.header.qr = true;
  m.header.ad = ad;
  m.header.rcode = rcode;
  m.answers = std::move(records);
  return m;
}

}  // namespace

TEST(TlsPolicy, TlsaRecords) {
  TlsaRecord r;
  ASSERT_TRUE(ParseTlsaRecord(Rdata(3, 1, 1, kDigest), r));
  EXPECT_EQ(r, (TlsaRecord{3, 1, 1, kDigest}));
  EXPECT_TRUE(UsableTlsaRecord(r));
  EXPECT_FALSE(ParseTlsaRecord(std::string("\3\1\1", 3), r));   // no data
  EXPECT_FALSE(ParseTlsaRecord("\3\1", r));
  EXPECT_TRUE(ParseTlsaRecord(Rdata(3, 0, 0, std::string(kMaxTlsaData, 'x')), r));
  EXPECT_FALSE(ParseTlsaRecord(Rdata(3, 0, 0, std::string(kMaxTlsaData + 1, 'x')), r));
  // PKIX usages, unknown selectors and matching types are not for mail.
  for (TlsaRecord bad : {TlsaRecord{0, 0, 1, kDigest}, TlsaRecord{1, 1, 1, kDigest},
                         TlsaRecord{2, 2, 1, kDigest}, TlsaRecord{3, 1, 3, kDigest}})
    EXPECT_FALSE(UsableTlsaRecord(bad)) << int(bad.Usage) << int(bad.Selector);
  EXPECT_TRUE(UsableTlsaRecord({2, 0, 2, kDigest}));
  EXPECT_EQ(TlsaQueryName("mx.example.", 25), kName);
}

TEST(TlsPolicy, DaneDecision) {
  const std::string good = Rdata(3, 1, 1, kDigest);
  struct Case {
    const char *what;
    DnsMessage answer;
    DaneOutcome outcome;
    size_t records;
  } cases[] = {
      {"validated", Answer({Tlsa(good), Tlsa(Rdata(1, 1, 1, kDigest))}), DaneOutcome::kDane, 1},
      {"not validated", Answer({Tlsa(good)}, false), DaneOutcome::kNone, 0},
      {"only PKIX records", Answer({Tlsa(Rdata(1, 1, 1, kDigest))}), DaneOutcome::kNone, 0},
      {"another name", Answer({Tlsa(good, "_25._tcp.other.example")}), DaneOutcome::kNone, 0},
      {"no records", Answer({}), DaneOutcome::kNone, 0},
      {"no such name", Answer({}, true, kDnsRcodeNxDomain), DaneOutcome::kNone, 0},
      // A bogus answer is SERVFAIL from a validating resolver.
      {"server failure", Answer({Tlsa(good)}, true, kDnsRcodeServFail), DaneOutcome::kDefer, 0},
      {"too many", Answer(std::vector<DnsRecord>(kMaxTlsaRecords + 3, Tlsa(good))),
       DaneOutcome::kDane, kMaxTlsaRecords},
  };
  for (Case &c : cases) {
    SmtpTlsPolicy policy;
    EXPECT_EQ(DaneFromAnswer(c.answer, kName, "mx.example.", policy), c.outcome) << c.what;
    EXPECT_EQ(policy.Check.Tlsa.size(), c.records) << c.what;
    EXPECT_EQ(policy.Required(), c.outcome == DaneOutcome::kDane) << c.what;
    if (c.outcome == DaneOutcome::kDane) {
      EXPECT_EQ(policy.Check.Names, std::vector<std::string>{"mx.example"});
    }
  }
  DnsMessage cut = Answer({Tlsa(good)});
  cut.header.tc = true;
  SmtpTlsPolicy policy;
  EXPECT_EQ(DaneFromAnswer(cut, kName, "mx.example", policy), DaneOutcome::kDefer);
}

// What the end-to-end tests do not reach: "none", and port 465 with it.
TEST(TlsPolicy, Gateway) {
  GatewayTlsMode mode;
  EXPECT_TRUE(ParseGatewayTlsMode("Verify", mode));
  EXPECT_EQ(mode, GatewayTlsMode::kVerify);
  EXPECT_FALSE(ParseGatewayTlsMode("strict", mode));
  GatewayTls = GatewayTlsMode::kNone;
  EXPECT_EQ(GatewayTlsPolicy("r", 25).Mode, SmtpTlsPolicy::Kind::kNoTls);
  // TLS from the start has no clear text to keep to.
  EXPECT_EQ(GatewayTlsPolicy("r", kImplicitTlsPort).Mode, SmtpTlsPolicy::Kind::kOpportunistic);
  GatewayTls = GatewayTlsMode::kOpportunistic;
}

TEST(MtaSts, Policies) {
  const std::string good =
      "version: STSv1\r\nmode: enforce\r\nmx: mail.example.com\r\nmx: *.example.net\r\n"
      "max_age: 604800\r\n";
  MtaStsPolicy p;
  ASSERT_TRUE(ParseMtaStsPolicy(good, kMaxMtaStsPolicyBytes, p));
  EXPECT_EQ(p.Mode, MtaStsMode::kEnforce);
  EXPECT_EQ(p.Mx, (std::vector<std::string>{"mail.example.com", "*.example.net"}));
  EXPECT_EQ(p.MaxAge, 604800u);
  EXPECT_FALSE(ParseMtaStsPolicy(good, good.size() - 1, p));
  struct Case {
    const char *text;
    bool valid;
    MtaStsMode mode;
  } cases[] = {
      {"version: STSv1\nmode: testing\nmx: a.example\nmax_age:86400\nfuture: x\n", true,
       MtaStsMode::kTesting},
      {"version: STSv1\nmode: none\nmax_age: 0", true, MtaStsMode::kNone},
      {"mode: enforce\nmx: a.example\nmax_age: 1\n", false, {}},               // no version
      {"version: STSv2\nmode: enforce\nmx: a\nmax_age: 1\n", false, {}},
      {"version: STSv1\nmode: strict\nmx: a\nmax_age: 1\n", false, {}},
      {"version: STSv1\nmode: enforce\nmax_age: 1\n", false, {}},              // no mx
      {"version: STSv1\nmode: enforce\nmx: a\nmax_age: 31557601\n", false, {}},
      {"version: STSv1\nmode: enforce\nmx: a\nmax_age: -1\n", false, {}},
      {"version: STSv1\nmode: enforce\nmx: a\n", false, {}},                   // no max_age
      {"version: STSv1\nmode: enforce\nmx: a\nmax_age: 1\ngarbage\n", false, {}},
  };
  for (const Case &c : cases) {
    EXPECT_EQ(ParseMtaStsPolicy(c.text, kMaxMtaStsPolicyBytes, p), c.valid) << c.text;
    if (c.valid) {
      EXPECT_EQ(p.Mode, c.mode) << c.text;
    }
  }
}

TEST(MtaSts, RecordsAndPatterns) {
  std::string id;
  EXPECT_TRUE(ParseMtaStsRecord("v=STSv1; id=20160831085700Z;", id));
  EXPECT_EQ(id, "20160831085700Z");
  EXPECT_TRUE(ParseMtaStsRecord("v=STSv1;id=abc ; ext=1", id));
  EXPECT_EQ(id, "abc");
  for (const char *bad : {"v=STSv1;", "id=1; v=STSv1", "v=STSv1; id=a-b", "v=STSv1; id=",
                          "v=STSv1; id=123456789012345678901234567890123"})
    EXPECT_FALSE(ParseMtaStsRecord(bad, id)) << bad;
  EXPECT_TRUE(MtaStsMxMatches("Mail.Example.com.", "mail.example.com"));
  EXPECT_TRUE(MtaStsMxMatches("mx1.example.net", "*.example.net"));
  EXPECT_FALSE(MtaStsMxMatches("a.mx1.example.net", "*.example.net"));
  EXPECT_FALSE(MtaStsMxMatches("example.net", "*.example.net"));
  EXPECT_FALSE(MtaStsMxMatches("mail.example.com.evil", "mail.example.com"));
}

// A domain from the queue must not steer the policy fetch elsewhere: a host
// that would change the URL is refused before curl sees it (curl would
// resolve the other host itself).
TEST(HttpsGet, RefusesHostsThatWouldChangeTheUrl) {
  for (const char *host : {"mta-sts.a@evil.test", "mta-sts.evil.test/x", "evil.test:80", ""}) {
    HttpsRequest request;
    request.Host = host;
    request.Path = "/.well-known/mta-sts.txt";
    request.MaxBytes = kMaxMtaStsPolicyBytes;
    std::string body, why;
    EXPECT_FALSE(HttpsGet(request, body, why)) << host;
    EXPECT_EQ(why, "not a plain host name and path") << host;
  }
}

// What was learnt of a domain's policy outlives a restart: with no answer
// from DNS (an attacker blocking the record, or no network) the policy on
// disk still demands TLS; a damaged file is no policy.
TEST(MtaSts, PoliciesKeptOnDisk) {
  char dir[] = "/tmp/zel-mtasts-XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  LoadMtaStsSettings(dir);
  const std::string text = "version: STSv1\nmode: enforce\nmx: mx.example.org\nmax_age: 86400\n";
  MtaStsPolicy p;
  ASSERT_TRUE(ParseMtaStsPolicy(text, kMaxMtaStsPolicyBytes, p));
  p.Id = "abc123";
  p.Expires = NowSeconds() + 3600;
  std::string kept = MtaStsCacheText(p, text);
  MtaStsPolicy back;
  ASSERT_TRUE(ParseMtaStsCacheText(kept, back));
  EXPECT_EQ(back.Id, "abc123");
  EXPECT_EQ(back.Expires, p.Expires);
  EXPECT_EQ(back.Mx, p.Mx);
  for (std::string bad : {std::string("abc123 12\n"), "abc123\n" + text, "ab-c 12\n" + text,
                          "abc 1x\n" + text, std::string(40, 'a') + " 12\n" + text})
    EXPECT_FALSE(ParseMtaStsCacheText(bad, back)) << bad;

  ClearMtaStsCache();
  std::vector<DnsServerAddress> none;
  ASSERT_TRUE(CreateFileWithText(std::string(dir) + "/example.org", kept, 0600));
  EXPECT_EQ(MtaStsPolicyFor(none, "example.org").Mode, MtaStsMode::kEnforce);
  ASSERT_TRUE(CreateFileWithText(std::string(dir) + "/example.net",
                                 kept.substr(0, kept.find("max_age")), 0600));   // cut short
  p.Expires = NowSeconds() - 1;
  ASSERT_TRUE(CreateFileWithText(std::string(dir) + "/example.com", MtaStsCacheText(p, text),
                                 0600));
  EXPECT_EQ(MtaStsPolicyFor(none, "example.net").Mode, MtaStsMode::kNone);
  EXPECT_EQ(MtaStsPolicyFor(none, "example.com").Mode, MtaStsMode::kNone);   // run out
  ClearMtaStsCache();
  LoadMtaStsSettings("");
  std::filesystem::remove_all(dir);
}
