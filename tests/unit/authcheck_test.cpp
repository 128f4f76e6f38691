// The checks of arriving mail against a fake name server: SPF results
// (the receiver's own tests come from loopback, which libspf2 always
// passes), DMARC over SPF and DKIM, the verdict, and the field.
#include <gtest/gtest.h>

#include <map>
#include <string>

#include "common/authcheck.h"
#include "platform/ipaddr.h"
#include "tests/unit/dnstest.h"

namespace {

// TXT records by name; a name in dead gets no answer; others NXDOMAIN.
struct FakeDns {
  std::map<std::string, std::string> txt;
  std::string dead;
  AuthDnsLookup Lookup() {
    return [this](std::string_view name, uint16_t type, AuthDnsAnswer &answer) {
      std::string n(name);
      if (!dead.empty() && n.find(dead) != std::string::npos) return false;
      auto it = txt.find(n);
      answer.Rcode = it == txt.end() ? kDnsRcodeNxDomain : kDnsRcodeNoError;
      answer.Records.clear();
      if (it != txt.end() && type == kDnsTypeTXT) {
        DnsRecord r;
        r.type = kDnsTypeTXT;
        r.raw = std::string(1, static_cast<char>(it->second.size())) + it->second;
        answer.Records.push_back(r);
      }
      return true;
    };
  }
};

ArrivalChecks Check(FakeDns &dns, const std::string &mailFrom, const std::string &from) {
  std::string text = "From: a@" + from + "\r\nSubject: s\r\n\r\nbody\r\n.\r\n";
  ArrivalChecks checks;
  std::string why;
  EXPECT_TRUE(CheckArrival(MessageSource{text}, {"192.0.2.1", false, "helo.example", mailFrom},
                           dns.Lookup(), &checks, &why))
      << why;
  return checks;
}

TEST(AuthCheck, SpfAndDmarcResults) {
  FakeDns dns;
  dns.txt = {{"pass.example", "v=spf1 ip4:192.0.2.0/24 -all"},
             {"fail.example", "v=spf1 -all"},
             {"soft.example", "v=spf1 ~all"},
             {"late.example", "v=spf1 include:spf.dead.example -all"},
             {"helo.example", "v=spf1 a -all"},
             {"_dmarc.pass.example", "v=DMARC1; p=reject"},
             {"_dmarc.fail.example", "v=DMARC1; p=reject"},
             {"_dmarc.late.example", "v=DMARC1; p=reject"},
             {"_dmarc.example.org", "v=DMARC1; p=none; sp=quarantine"}};
  dns.dead = "dead.example";
  struct Case {
    const char *mailFrom, *from;
    SpfResult spf;
    DmarcResult dmarc;
    DmarcPolicy policy;
    ArrivalVerdict verdict;
  } cases[] = {
      {"x@pass.example", "pass.example", SpfResult::kPass, DmarcResult::kPass,
       DmarcPolicy::kReject, ArrivalVerdict::kAccept},
      {"x@fail.example", "fail.example", SpfResult::kFail, DmarcResult::kFail,
       DmarcPolicy::kReject, ArrivalVerdict::kReject},
      {"x@soft.example", "soft.example", SpfResult::kSoftFail, DmarcResult::kNone,
       DmarcPolicy::kNone, ArrivalVerdict::kAccept},
      {"x@none.example", "none.example", SpfResult::kNone, DmarcResult::kNone,
       DmarcPolicy::kNone, ArrivalVerdict::kAccept},
      {"x@late.example", "late.example", SpfResult::kTempError, DmarcResult::kTempError,
       DmarcPolicy::kReject, ArrivalVerdict::kTempFail},
      // The HELO name is checked for the null sender.
      {"", "none.example", SpfResult::kFail, DmarcResult::kNone, DmarcPolicy::kNone,
       ArrivalVerdict::kAccept},
      // No record of its own: the organisational domain's, with its sp=.
      {"x@fail.example", "mail.example.org", SpfResult::kFail, DmarcResult::kFail,
       DmarcPolicy::kQuarantine, ArrivalVerdict::kJunk},
      // The record cannot be had: temperror, never a refusal.
      {"x@pass.example", "x.dead.example", SpfResult::kPass, DmarcResult::kTempError,
       DmarcPolicy::kNone, ArrivalVerdict::kAccept},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(std::string(c.mailFrom) + " " + c.from);
    ArrivalChecks checks = Check(dns, c.mailFrom, c.from);
    EXPECT_EQ(checks.Spf, c.spf);
    EXPECT_EQ(checks.Dmarc, c.dmarc);
    EXPECT_EQ(checks.Policy, c.policy);
    EXPECT_EQ(DecideArrival(checks, true), c.verdict);
  }
  ArrivalChecks helo = Check(dns, "", "none.example");
  EXPECT_TRUE(helo.bSpfHelo);
  EXPECT_EQ(helo.SpfDomain, "helo.example");
}

// What the aggregate reports record: the record that applied (the
// organisational domain's for a subdomain), its tags and the alignment.
TEST(AuthCheck, PublishedPolicyForReports) {
  FakeDns dns;
  dns.txt = {{"_dmarc.example.org",
              "v=DMARC1; p=reject; sp=none; pct=50; adkim=s; rua=mailto:a@example.org!10m"},
             {"_dmarc.plain.example", "v=DMARC1; p=quarantine"}};
  ArrivalChecks sub = Check(dns, "x@mail.example.org", "mail.example.org");
  const DmarcPublished &p = sub.Published;
  EXPECT_TRUE(p.bFound);
  EXPECT_EQ(p.Domain, "example.org");
  EXPECT_EQ(p.P, DmarcPolicy::kReject);
  EXPECT_EQ(p.Sp, DmarcPolicy::kNone);
  EXPECT_EQ(p.Pct, 50);
  EXPECT_TRUE(p.bStrictDkim);
  EXPECT_FALSE(p.bStrictSpf);
  EXPECT_EQ(p.Rua, std::vector<std::string>{"mailto:a@example.org!10m"});
  ArrivalChecks plain = Check(dns, "x@other.example", "plain.example");
  EXPECT_EQ(plain.Published.Domain, "plain.example");
  EXPECT_EQ(plain.Published.Sp, DmarcPolicy::kQuarantine);   // p= when sp= is absent
  EXPECT_TRUE(plain.Published.Rua.empty());
  EXPECT_FALSE(plain.Published.bSpfAligned);
  EXPECT_FALSE(Check(dns, "x@none.example", "none.example").Published.bFound);
}

TEST(AuthCheck, Verdicts) {
  ArrivalChecks c;
  c.FromDomain = "bad.example";
  c.Dmarc = DmarcResult::kFail;
  c.Policy = DmarcPolicy::kReject;
  EXPECT_EQ(ArrivalReply(DecideArrival(c, true), c),
            "550 5.7.1 Rejected by DMARC policy of bad.example\r\n");
  EXPECT_EQ(DecideArrival(c, false), ArrivalVerdict::kJunk);   // DmarcReject 0
  c.Dmarc = DmarcResult::kTempError;
  EXPECT_EQ(ArrivalReply(DecideArrival(c, true), c).substr(0, 10), "451 4.7.5 ");
  EXPECT_EQ(DecideArrival(c, false), ArrivalVerdict::kAccept);
  c.Policy = DmarcPolicy::kQuarantine;
  EXPECT_EQ(DecideArrival(c, true), ArrivalVerdict::kAccept);
  c.Dmarc = DmarcResult::kFail;
  EXPECT_EQ(DecideArrival(c, true), ArrivalVerdict::kJunk);
  c.Policy = DmarcPolicy::kNone;
  EXPECT_EQ(DecideArrival(c, true), ArrivalVerdict::kAccept);
}

TEST(AuthCheck, FieldTextIsSanitised) {
  ArrivalChecks c;
  c.Spf = SpfResult::kSoftFail;
  c.SpfDomain = "Bad;Domain.example";   // from MAIL FROM: left out
  DkimCheck d;
  d.Result = DkimResult::kPass;
  d.Domain = "Example.ORG";
  d.Selector = "s1\r\nX-Injected: 1";
  d.Algorithm = "rsa-sha256";
  d.HeaderB = "ab+/cd==";
  c.Dkim.push_back(d);
  c.Dmarc = DmarcResult::kFail;
  c.Policy = DmarcPolicy::kQuarantine;
  c.FromDomain = "example.org";
  EXPECT_EQ(AuthResultsValue("mx.example", c),
            " mx.example;\n\tspf=softfail;\n\tdkim=pass header.d=example.org "
            "header.a=rsa-sha256 header.b=\"ab+/cd==\";\n\tdmarc=fail (p=quarantine) "
            "header.from=example.org");
  EXPECT_EQ(AuthPropertyValue(std::string(kMaxAuthPropertyText + 1, 'a')), "");
}

TEST(AuthCheck, AuthServIdAndEdits) {
  EXPECT_EQ(AuthServIdOf(" mx.example; spf=pass"), "mx.example");
  EXPECT_EQ(AuthServIdOf(" (a (nested) comment)\n\t\"mx.example\" 1; none"), "mx.example");
  EXPECT_EQ(AuthServIdOf(" (never closed mx.example; none"), "");
  EXPECT_EQ(AuthServIdOf(" \"unterminated"), "");
  std::string text =
      "Received: from a\r\nAuthentication-Results: MX.example; dkim=pass\r\n"
      "Authentication-Results: other.example; spf=pass\r\n"
      "Authentication-Results: (x) mx.example; dmarc=pass\r\nSubject: s\r\n\r\nb\r\n.\r\n";
  MilterEdits edits;
  std::string why;
  ASSERT_TRUE(AuthResultsEdits(MessageSource{text}, "mx.example", " mx.example; none", &edits,
                               &why));
  ASSERT_EQ(edits.Headers.size(), 3u);
  EXPECT_EQ(edits.Headers[0].Index, 3u);   // the last of ours first
  EXPECT_EQ(edits.Headers[1].Index, 1u);
  EXPECT_EQ(edits.Headers[2].Op, MilterHeaderOp::Insert);
  EXPECT_EQ(edits.Headers[2].Index, 1u);   // behind the Received line
  std::string out;
  ASSERT_TRUE(ApplyMilterEdits(MessageSource{text}, {edits},
                               [&](std::string_view p) { return out.append(p), true; }, &why));
  EXPECT_EQ(out.substr(0, out.find("Subject")),
            "Received: from a\r\nAuthentication-Results: mx.example; none\r\n"
            "Authentication-Results: other.example; spf=pass\r\n");
}

// A record with a TTL is asked once while it lasts; one without, a negative
// answer and a server failure are asked again every time.
TEST(AuthCheck, AnswersKeptForTheirTtl) {
  ClearAuthDnsCache();
  dnstest::FakeDnsServer server([](const std::string &query, bool) -> std::vector<std::string> {
    dnstest::Asked q;
    if (!dnstest::ReadQuery(query, q)) return {};
    std::string text = "\x05hello";
    if (q.name == "kept.test") return {dnstest::Reply(q, {{q.name, kDnsTypeTXT, text, 300}})};
    if (q.name == "now.test") return {dnstest::Reply(q, {{q.name, kDnsTypeTXT, text, 0}})};
    return {dnstest::Reply(q, {}, dnstest::kResponse | kDnsRcodeNxDomain)};
  });
  DnsServerAddress address;
  ASSERT_TRUE(ParseAddress("127.0.0.1", &address.address));
  address.port = server.Port();
  AuthDnsLookup lookup = NameServerDnsLookup({address});
  for (const char *name : {"kept.test", "KEPT.test.", "now.test", "now.test", "none.test",
                           "none.test"}) {
    AuthDnsAnswer answer;
    ASSERT_TRUE(lookup(name, kDnsTypeTXT, answer)) << name;
    EXPECT_EQ(answer.Records.size(), std::string_view(name).substr(0, 4) == "none" ? 0u : 1u);
  }
  EXPECT_EQ(server.UdpQueries(), 5);
  ClearAuthDnsCache();
}

}  // namespace
