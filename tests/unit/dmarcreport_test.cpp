// The DMARC aggregate reports' pieces: the journal's record and its reader
// (corrupted, cut and hostile lines), the grouping with its limits, the XML
// writer's escaping, gzip, rua= URIs and the UTC day names.
#include <gtest/gtest.h>
#include <zlib.h>

#include <string>

#include "common/dmarcreport.h"

namespace {

DmarcEvaluation Sample(const std::string &ip = "192.0.2.1",
                       const std::string &domain = "one.test") {
  DmarcEvaluation e;
  e.Time = 1765190000;
  e.SourceIp = ip;
  e.HeaderFrom = domain;
  e.Policy.bFound = true;
  e.Policy.Domain = domain;
  e.Policy.Rua = {"mailto:agg@reports.test!10m"};
  e.SpfDomain = domain;
  e.SpfResult = "pass";
  e.Dkim = {{"one.test", "s1", "pass"}, {"x.test", "", "fail"}};
  return e;
}

std::string Line(const DmarcEvaluation &e) {
  std::string line = FormatDmarcRecord(e);
  return line.substr(0, line.size() - 1);
}

std::string Gunzip(const std::string &data) {
  z_stream z{};
  inflateInit2(&z, 31);
  std::string out(1 << 16, '\0');
  z.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(data.data()));
  z.avail_in = static_cast<uInt>(data.size());
  z.next_out = reinterpret_cast<Bytef *>(out.data());
  z.avail_out = static_cast<uInt>(out.size());
  int rc = inflate(&z, Z_FINISH);
  out.resize(rc == Z_STREAM_END ? z.total_out : 0);
  inflateEnd(&z);
  return out;
}

TEST(DmarcJournal, RecordsReadBackAndDamageIsSkipped) {
  DmarcEvaluation e = Sample(), back;
  ASSERT_TRUE(ParseDmarcRecord(Line(e), &back));
  EXPECT_EQ(FormatDmarcRecord(back), FormatDmarcRecord(e));
  EXPECT_EQ(back.Dkim.size(), 2u);
  EXPECT_EQ(back.Policy.Rua, e.Policy.Rua);
  std::string good = Line(e);
  auto swap = [&](const std::string &from, const std::string &to) {
    std::string l = good;
    return l.replace(l.find(from), from.size(), to);
  };
  const std::string bad[] = {
      swap("D1", "D2"),
      good + "\textra",
      good.substr(0, good.rfind('\t')),
      swap("192.0.2.1", "192.0.2.1<"),
      swap("\tone.test\t", "\tone.test&x\t"),
      swap("1765190000", "17"),
      swap("\tpass\tone.test\t", "\tmaybe\tone.test\t"),
      swap("mailto:agg@reports.test!10m", "mailto:a b@x.test"),
      swap("one.test:s1:pass", "one.test:s1:great"),
      swap("\t100\t", "\t1000\t"),
      std::string(kMaxDmarcJournalLine + 1, 'x'),
  };
  for (const std::string &line : bad) EXPECT_FALSE(ParseDmarcRecord(line, &back)) << line;
  // Two records, a damaged one between, and a last line a crash cut
  // (which would read as a record with one signature less).
  std::string journal = good + "\n" + bad[3] + "\n" + good + "\n" + good.substr(0, good.rfind(','));
  size_t skipped = 0;
  EXPECT_EQ(ParseDmarcJournal(journal, 100, &skipped).size(), 2u);
  EXPECT_EQ(skipped, 2u);
  EXPECT_EQ(ParseDmarcJournal(journal, 1, &skipped).size(), 1u);
}

TEST(DmarcJournal, WhatTheReceiverRecords) {
  ArrivalChecks checks;
  checks.FromDomain = "one.test";
  checks.Published = Sample().Policy;
  checks.Published.Rua.push_back("mailto:a,b@x.test");  // the journal's separator
  checks.Dkim = {{DkimResult::kPass, "One.Test", "s1", "", "", ""},
                 {DkimResult::kFail, "bad<domain", "s", "", "", ""}};
  ArrivalClient client{"192.0.2.1", false, "helo", "x@one.test"};
  DmarcEvaluation e;
  ASSERT_TRUE(DmarcEvaluationOf(checks, client, ArrivalVerdict::kJunk, 1765190000, &e));
  EXPECT_EQ(e.Disposition, DmarcDisposition::kQuarantine);
  EXPECT_EQ(e.Policy.Rua.size(), 1u);
  ASSERT_EQ(e.Dkim.size(), 1u);
  EXPECT_EQ(e.Dkim[0].Domain, "one.test");
  DmarcEvaluation back;
  EXPECT_TRUE(ParseDmarcRecord(Line(e), &back));
  // A retry asked for is recorded when it comes; no record, nothing to say.
  EXPECT_FALSE(DmarcEvaluationOf(checks, client, ArrivalVerdict::kTempFail, 1765190000, &e));
  checks.Published.bFound = false;
  EXPECT_FALSE(DmarcEvaluationOf(checks, client, ArrivalVerdict::kAccept, 1765190000, &e));
}

TEST(DmarcReport, GroupsCountsAndLimits) {
  std::vector<DmarcEvaluation> records = {Sample(), Sample(), Sample("192.0.2.2"),
                                          Sample("192.0.2.3"), Sample("192.0.2.1", "two.test")};
  auto reports = GroupDmarcEvaluations(records, 10, 2);
  ASSERT_EQ(reports.size(), 2u);
  EXPECT_EQ(reports[0].Domain, "one.test");
  EXPECT_EQ(reports[0].Messages, 4u);
  ASSERT_EQ(reports[0].Rows.size(), 2u);
  EXPECT_EQ(reports[0].Rows[0].Count, 2u);
  EXPECT_EQ(reports[0].RowsLeftOut, 1u);
  std::string xml = DmarcReportXml({"mx.test", "postmaster@mx.test", "r1", 1, 2}, reports[0]);
  EXPECT_NE(xml.find("<count>2</count>"), std::string::npos);
  EXPECT_NE(xml.find("<error>1 rows left out"), std::string::npos);
  // Too many domains: those with the most messages are reported.
  reports = GroupDmarcEvaluations(records, 1, 10);
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(reports[0].Domain, "one.test");
}

TEST(DmarcReport, XmlEscapesEveryText) {
  EXPECT_EQ(XmlText("a<b>&\"'c\x01\xff"), "a&lt;b&gt;&amp;&quot;&apos;c??");
  DmarcDomainReport r;
  r.Domain = "</domain><x>";
  DmarcReportRow row{Sample(), 1};
  row.Sample.HeaderFrom = "evil</header_from>&";
  r.Rows = {row};
  std::string xml = DmarcReportXml({"<org>", "e@h", "id&", 1, 2}, r);
  EXPECT_EQ(xml.find("<x>"), std::string::npos);
  EXPECT_NE(xml.find("<header_from>evil&lt;/header_from&gt;&amp;</header_from>"),
            std::string::npos);
  EXPECT_NE(xml.find("<org_name>&lt;org&gt;</org_name>"), std::string::npos);
  std::string gz;
  ASSERT_TRUE(GzipText(xml, "f.xml", &gz));
  EXPECT_EQ(Gunzip(gz), xml);
  EXPECT_EQ(DmarcReportFileName("mx.test", "one.test", 1, 2), "mx.test!one.test!1!2.xml.gz");
}

TEST(DmarcReport, RuaUris) {
  struct Case {
    const char *uri;
    bool ok;
    const char *address;
    unsigned long long max;
  } cases[] = {
      {"mailto:agg@Reports.Test", true, "agg@reports.test", 0},
      {"MAILTO:a@x.test!10m", true, "a@x.test", 10ull << 20},
      {"mailto:a@x.test!512", true, "a@x.test", 512},
      {"mailto:a@x.test!2K", true, "a@x.test", 2048},
      {"mailto:a@x.test!0", false, "", 0},
      {"mailto:a@x.test!10q", false, "", 0},
      {"mailto:a@x.test!99999999999999", false, "", 0},
      {"https://x.test/r", false, "", 0},
      {"mailto:a@localhost", false, "", 0},
      {"mailto:a\"b@x.test", false, "", 0},
      {"mailto:@x.test", false, "", 0},
      {"mailto:a@x.test%0A", false, "", 0},
  };
  for (const Case &c : cases) {
    RuaDestination d;
    EXPECT_EQ(ParseRuaUri(c.uri, &d), c.ok) << c.uri;
    if (!c.ok) continue;
    EXPECT_EQ(d.Address, c.address);
    EXPECT_EQ(d.MaxBytes, c.max) << c.uri;
  }
}

TEST(DmarcJournal, UtcDays) {
  EXPECT_EQ(DmarcDayName(0), "19700101");
  EXPECT_EQ(DmarcDayName(951782400), "20000229");
  EXPECT_EQ(DmarcDayName(1765238399), "20251208");
  EXPECT_EQ(DmarcDayName(1765238400), "20251209");
  long long start = 0;
  ASSERT_TRUE(DmarcDayStart("20251208.jnl", &start));
  EXPECT_EQ(start, 1765152000);
  EXPECT_FALSE(DmarcDayStart("20230229", &start));
  EXPECT_FALSE(DmarcDayStart("2026120", &start));
  EXPECT_FALSE(DmarcDayStart("19991231", &start));
}

}  // namespace
