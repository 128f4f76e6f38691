// DNS wire code: queries as built, answers of each type, compression and the
// attacks on it (loops, forward pointers, long chains), names at and past
// their limits, and answers cut at every byte or corrupted byte by byte.
#include "platform/dnswire.h"

#include <gtest/gtest.h>

#include <random>

#include "tests/unit/dnstest.h"

namespace {

using namespace std::string_literals;
using dnstest::Ipv4;
using dnstest::Message;
using dnstest::MxData;
using dnstest::PutU16;
using dnstest::Rr;
using dnstest::WireName;

bool Parse(const std::string &bytes, DnsMessage &m) {
  return ParseDnsMessage(reinterpret_cast<const uint8_t *>(bytes.data()), bytes.size(), m);
}

bool Name(const std::string &bytes, size_t offset, std::string &text) {
  return ReadDnsName(reinterpret_cast<const uint8_t *>(bytes.data()), bytes.size(), offset, text);
}

TEST(DnsQuery, BuildsHeaderAndQuestion) {
  std::string q;
  ASSERT_TRUE(BuildDnsQuery(0xBEEF, "Mail.Example.TEST.", kDnsTypeMX, q));
  std::string want = "\xBE\xEF\x01\x00\x00\x01\x00\x00\x00\x00\x00\x00"s;
  want += WireName("Mail.Example.TEST") + "\x00\x0F\x00\x01"s;
  EXPECT_EQ(q, want);
  DnsMessage m;
  ASSERT_TRUE(Parse(q, m));
  EXPECT_TRUE(m.header.rd);
  EXPECT_FALSE(m.header.qr);
  EXPECT_EQ(m.questions[0].name, "Mail.Example.TEST");
}

TEST(DnsQuery, NameLimits) {
  std::string label63(63, 'a'), label64(64, 'a');
  // 3 labels of 63 and one of 61: 4 + 250 + 1 = 255 bytes on the wire.
  std::string longest = label63 + "." + label63 + "." + label63 + "." + std::string(61, 'b');
  struct Case {
    std::string name;
    bool ok;
    std::string normalized;
  } cases[] = {
      {"a..b...c.", true, "a.b.c"},
      {label63 + ".test", true, label63 + ".test"},
      {label64 + ".test", false, ""},
      {longest, true, longest},
      {longest + "b", false, ""},
      {"", false, ""},
      {"...", false, ""},
      {"bad\\name.test", false, ""},
      {"bad name.test", false, ""},
      {std::string("nul\0.test", 9), false, ""},
      {"caf\xC3\xA9.test", false, ""},
  };
  for (const Case &c : cases) {
    std::string q;
    EXPECT_EQ(BuildDnsQuery(1, c.name, kDnsTypeA, q), c.ok) << c.name;
    EXPECT_EQ(NormalizeDnsName(c.name), c.normalized) << c.name;
    if (c.ok) {
      EXPECT_LE(q.size(), kDnsHeaderLength + kMaxDnsNameWireLength + 4);
    }
  }
}

TEST(DnsParse, HeaderFlags) {
  struct Case {
    uint16_t flags;
    bool qr, aa, tc, rd, ra;
    uint8_t opcode, rcode;
  } cases[] = {
      {0x8180, true, false, false, true, true, 0, 0},
      {0x8583, true, true, false, true, true, 0, 3},
      {0x8382, true, false, true, true, true, 0, 2},
      {0x2800, false, false, false, false, false, 5, 0},
  };
  for (const Case &c : cases) {
    DnsMessage m;
    ASSERT_TRUE(Parse(Message(7, c.flags, "x.test", kDnsTypeA, {}), m));
    EXPECT_EQ(m.header.id, 7);
    EXPECT_EQ(m.header.qr, c.qr);
    EXPECT_EQ(m.header.aa, c.aa);
    EXPECT_EQ(m.header.tc, c.tc);
    EXPECT_EQ(m.header.rd, c.rd);
    EXPECT_EQ(m.header.ra, c.ra);
    EXPECT_EQ(m.header.opcode, c.opcode);
    EXPECT_EQ(m.header.rcode, c.rcode);
  }
}

TEST(DnsParse, RecordsOfEachType) {
  struct Case {
    Rr rr;
    uint32_t address;
    uint16_t preference;
    std::string target, raw;
  } cases[] = {
      {{"h.test", kDnsTypeA, Ipv4("192.0.2.1")}, dnstest::Addr("192.0.2.1"), 0, "", ""},
      {{"a.test", kDnsTypeCNAME, WireName("b.test")}, 0, 0, "b.test", ""},
      {{"1.2.0.192.in-addr.arpa", kDnsTypePTR, WireName("h.test")}, 0, 0, "h.test", ""},
      {{"d.test", kDnsTypeMX, MxData(10, "mx.d.test")}, 0, 10, "mx.d.test", ""},
      {{"d.test", kDnsTypeNS, WireName("ns1.d.test")}, 0, 0, "ns1.d.test", ""},
      {{"d.test", 16, "\x05hello"}, 0, 0, "", "\x05hello"},
      // Another class: kept raw, even for a type known in IN.
      {{"d.test", kDnsTypeA, "\x01\x02\x03", 60, 3}, 0, 0, "", "\x01\x02\x03"},
  };
  for (const Case &c : cases) {
    DnsMessage m;
    ASSERT_TRUE(Parse(Message(1, dnstest::kResponse, "q.test", 255, {c.rr}), m)) << c.rr.name;
    ASSERT_EQ(m.answers.size(), 1u);
    const DnsRecord &r = m.answers[0];
    EXPECT_EQ(r.name, c.rr.name);
    EXPECT_EQ(r.type, c.rr.type);
    EXPECT_EQ(r.cls, c.rr.cls);
    EXPECT_EQ(r.ttl, c.rr.ttl);
    EXPECT_EQ(r.address, c.address);
    EXPECT_EQ(r.preference, c.preference);
    EXPECT_EQ(r.target, c.target);
    EXPECT_EQ(r.raw, c.raw);
  }
}

TEST(DnsParse, SrvRecords) {
  std::string data = "\x00\x05\x00\x01\x03\xE5"s;   // priority 5, weight 1, port 997
  DnsMessage m;
  ASSERT_TRUE(Parse(Message(1, dnstest::kResponse, "q.test", kDnsTypeSRV,
                            {{"_imaps._tcp.d.test", kDnsTypeSRV, data + WireName("Mx.D.test")},
                             {"_pop3._tcp.d.test", kDnsTypeSRV, "\0\0\0\0\0\0\0"s}}),
                    m));
  ASSERT_EQ(m.answers.size(), 2u);
  EXPECT_EQ(m.answers[0].preference, 5);
  EXPECT_EQ(m.answers[0].weight, 1);
  EXPECT_EQ(m.answers[0].port, 997);
  EXPECT_EQ(m.answers[0].target, "Mx.D.test");
  // "0 0 0 .": the root as target, the service not offered.
  EXPECT_EQ(m.answers[1].port, 0);
  EXPECT_EQ(m.answers[1].target, "");
}

TEST(DnsData, TxtStringsAndTlsa) {
  std::vector<std::string> strings;
  ASSERT_TRUE(ParseDnsTxtStrings("\x03v=1\x00\x02" "ab"s, strings));
  EXPECT_EQ(strings, (std::vector<std::string>{"v=1", "", "ab"}));
  for (std::string bad : {""s, "\x04" "abc"s, "\x01" "a\x02" "b"s})
    EXPECT_FALSE(ParseDnsTxtStrings(bad, strings)) << bad;
  DnsTlsa tlsa;
  ASSERT_TRUE(ParseDnsTlsa("\x03\x01\x01\xAB\xCD"s, tlsa));
  EXPECT_EQ(tlsa.usage + tlsa.selector + tlsa.matching, 5);
  EXPECT_EQ(tlsa.association, "\xAB\xCD"s);
  EXPECT_FALSE(ParseDnsTlsa("\x03\x01\x01"s, tlsa));   // no association data
}

TEST(DnsParse, AaaaRecords) {
  // Exactly 16 bytes of data; a mapped IPv4 address reads as IPv4.
  const std::string loop6("\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\x01", 16);
  const std::string mapped("\0\0\0\0\0\0\0\0\0\0\xff\xff\xc0\0\x02\x01", 16);
  struct Case {
    std::string data;
    bool ok;
    const char *text;
  } cases[] = {{loop6, true, "::1"},
               {mapped, true, "192.0.2.1"},
               {loop6.substr(0, 15), false, ""},
               {loop6 + "x", false, ""}};
  for (const Case &c : cases) {
    DnsMessage m;
    std::string msg =
        Message(1, dnstest::kResponse, "h.test", kDnsTypeAAAA, {{"h.test", kDnsTypeAAAA, c.data}});
    ASSERT_EQ(Parse(msg, m), c.ok) << c.text;
    if (c.ok) {
      EXPECT_EQ(AddressText(m.answers.at(0).address6), c.text);
    }
  }
}

TEST(DnsParse, SectionsAndTtl) {
  std::string msg = Message(1, dnstest::kResponse, "d.test", kDnsTypeMX,
                            {{"d.test", kDnsTypeMX, MxData(5, "mx.d.test"), 0x80000000u}},
                            {{"d.test", kDnsTypeNS, WireName("ns.d.test")}},
                            {{"mx.d.test", kDnsTypeA, Ipv4("192.0.2.7"), 0x7FFFFFFFu}});
  DnsMessage m;
  ASSERT_TRUE(Parse(msg, m));
  ASSERT_EQ(m.answers.size(), 1u);
  ASSERT_EQ(m.authority.size(), 1u);
  ASSERT_EQ(m.additional.size(), 1u);
  EXPECT_EQ(m.answers[0].ttl, 0u);   // top bit set
  EXPECT_EQ(m.additional[0].ttl, 0x7FFFFFFFu);
  EXPECT_EQ(m.authority[0].target, "ns.d.test");
  EXPECT_FALSE(m.partial);
}

// Question "example.test" at 12; the answer's owner points at it, the MX
// exchanger is "mx" and a pointer to "test" (offset 20).
std::string Compressed() {
  std::string b = "\x00\x01\x81\x80\x00\x01\x00\x01\x00\x00\x00\x00"s;
  b += WireName("example.test") + "\x00\x0F\x00\x01"s;
  b += "\xC0\x0C\x00\x0F\x00\x01\x00\x00\x01\x2C"s;
  std::string data;
  PutU16(data, 10);
  data += "\x02mx\xC0\x14"s;
  PutU16(b, static_cast<uint16_t>(data.size()));
  return b + data;
}

TEST(DnsParse, Compression) {
  DnsMessage m;
  ASSERT_TRUE(Parse(Compressed(), m));
  ASSERT_EQ(m.answers.size(), 1u);
  EXPECT_EQ(m.answers[0].name, "example.test");
  EXPECT_EQ(m.answers[0].target, "mx.test");
  EXPECT_EQ(m.answers[0].preference, 10);
}

TEST(DnsParse, PointerAttacks) {
  // Raw name areas read with ReadDnsName at the given offset.
  struct Case {
    const char *what;
    std::string bytes;
    size_t offset;
    bool ok;
    std::string text;
  } cases[] = {
      {"plain", "\x01" "a\x00"s, 0, true, "a"},
      {"root", "\x00"s, 0, true, ""},
      {"backwards", "\x01" "a\x00\x01" "b\xC0\x00"s, 3, true, "b.a"},
      {"self", "\x01" "a\xC0\x02"s, 2, false, ""},
      {"to itself after a label", "\x01" "a\xC0\x00"s, 0, false, ""},
      {"forward", "\xC0\x02\x01" "a\x00"s, 0, false, ""},
      {"into the run holding it", "xx\x01" "a\x01" "b\xC0\x02"s, 2, false, ""},
      {"two-pointer loop", "\x00\xC0\x03\xC0\x01"s, 3, false, ""},
      {"past the end", "\xC0\x10"s, 0, false, ""},
      {"half a pointer", "\x01" "a\xC0"s, 0, false, ""},
      {"label past the end", "\x05" "ab"s, 0, false, ""},
      {"no terminator", "\x01" "a"s, 0, false, ""},
      {"reserved label type 01", "\x41" "a\x00"s, 0, false, ""},
      {"reserved label type 10", "\x81" "a\x00"s, 0, false, ""},
      {"offset past the end", "\x00"s, 2, false, ""},
  };
  for (const Case &c : cases) {
    std::string text;
    EXPECT_EQ(Name(c.bytes, c.offset, text), c.ok) << c.what;
    if (c.ok) {
      EXPECT_EQ(text, c.text) << c.what;
    }
  }
}

// A root name at 0, then count pointers, each pointing at the one before it.
std::string PointerChain(size_t count) {
  std::string b = "\x00"s;
  for (size_t i = 0; i < count; ++i) {
    size_t target = i == 0 ? 0 : 1 + 2 * (i - 1);
    b += static_cast<char>(0xC0 | target >> 8);
    b += static_cast<char>(target & 0xFF);
  }
  return b;
}

TEST(DnsParse, PointerHopLimit) {
  std::string text;
  std::string ok = PointerChain(kMaxDnsPointerHops);
  EXPECT_TRUE(Name(ok, ok.size() - 2, text));
  std::string over = PointerChain(kMaxDnsPointerHops + 1);
  EXPECT_FALSE(Name(over, over.size() - 2, text));
}

TEST(DnsParse, NameLengthLimits) {
  // 255 wire bytes exactly: 3 x 63 + 61, plus length bytes and the root.
  std::string max = WireName(std::string(63, 'a') + "." + std::string(63, 'b') + "." +
                             std::string(63, 'c') + "." + std::string(61, 'd'));
  ASSERT_EQ(max.size(), kMaxDnsNameWireLength);
  std::string text;
  ASSERT_TRUE(Name(max, 0, text));
  EXPECT_EQ(text.size(), kMaxDnsNameTextLength);
  std::string over = WireName(std::string(63, 'a') + "." + std::string(63, 'b') + "." +
                              std::string(63, 'c') + "." + std::string(62, 'd'));
  EXPECT_FALSE(Name(over, 0, text));
  // Over the limit only through a pointer: 200 bytes, then a pointer to 60 more.
  std::string joined = WireName(std::string(58, 'x'));   // 60 bytes at offset 0
  size_t at = joined.size();
  joined += "\x3F" + std::string(63, 'y') + "\x3F" + std::string(63, 'y') + "\x3F" +
            std::string(63, 'y') + "\x07" + std::string(7, 'y') + "\xC0\x00"s;
  EXPECT_FALSE(Name(joined, at, text));
}

TEST(DnsParse, EscapesLabelBytes) {
  std::string b = "\x03" "a.b\x02" "c\\\x03" "d e\x02\x00\xFF\x00"s;
  std::string text;
  ASSERT_TRUE(Name(b, 0, text));
  EXPECT_EQ(text, "a\\.b.c\\\\.d\\032e.\\000\\255");
}

TEST(DnsParse, RecordDataMustMatchItsType) {
  std::string mx = MxData(10, "mx.test");
  struct Case {
    const char *what;
    Rr rr;
  } cases[] = {
      {"A of 5 bytes", {"h.test", kDnsTypeA, Ipv4("192.0.2.1") + "x"}},
      {"A of 3 bytes", {"h.test", kDnsTypeA, "abc"}},
      {"MX name past its data", {"d.test", kDnsTypeMX, mx.substr(0, mx.size() - 1)}},
      {"CNAME with bytes left over", {"d.test", kDnsTypeCNAME, WireName("b.test") + "z"}},
      {"MX without a name", {"d.test", kDnsTypeMX, "\x00\x0A"s}},
      {"SRV cut in its port", {"_imap._tcp.d.test", kDnsTypeSRV, "\x00\x00\x00\x01\x00"s}},
      {"SRV target past its data",
       {"_imap._tcp.d.test", kDnsTypeSRV, "\0\0\0\x01\0\x8F"s + WireName("mx.test").substr(0, 4)}},
  };
  for (const Case &c : cases) {
    std::string msg = Message(1, dnstest::kResponse, "q.test", 255, {c.rr});
    // The broken record is followed by a good one, which the cut data must not reach.
    DnsMessage m;
    EXPECT_FALSE(Parse(msg, m)) << c.what;
  }
}

TEST(DnsParse, WrongCounts) {
  std::string good = Message(1, dnstest::kResponse, "q.test", kDnsTypeA,
                             {{"q.test", kDnsTypeA, Ipv4("192.0.2.1")},
                              {"q.test", kDnsTypeA, Ipv4("192.0.2.2")}});
  struct Case {
    size_t countOffset;   // the count word to change
    uint16_t count;
    bool ok;
    size_t answers;
  } cases[] = {
      {6, 1, true, 1},      // fewer answers counted: the rest is ignored
      {6, 3, false, 0},     // more than there are
      {6, 0xFFFF, false, 0},
      {4, 2, false, 0},     // a second question that is not there
      {4, 0, false, 0},     // no question: the question reads as a record
      {10, 1, false, 0},    // an additional record that is not there
  };
  for (const Case &c : cases) {
    std::string b = good;
    b[c.countOffset] = static_cast<char>(c.count >> 8);
    b[c.countOffset + 1] = static_cast<char>(c.count & 0xFF);
    DnsMessage m;
    EXPECT_EQ(Parse(b, m), c.ok) << c.countOffset << " " << c.count;
    if (c.ok) {
      EXPECT_EQ(m.answers.size(), c.answers);
    }
  }
}

std::string ThreeAnswers(uint16_t flags) {
  return Message(9, flags, "d.test", kDnsTypeMX,
                 {{"d.test", kDnsTypeMX, MxData(10, "a.d.test")},
                  {"d.test", kDnsTypeMX, MxData(20, "b.d.test")}},
                 {}, {{"a.d.test", kDnsTypeA, Ipv4("192.0.2.1")}});
}

TEST(DnsParse, CutAtEveryByte) {
  std::string whole = ThreeAnswers(dnstest::kResponse);
  for (size_t n = 0; n < whole.size(); ++n) {
    DnsMessage m;
    EXPECT_FALSE(Parse(whole.substr(0, n), m)) << n;
  }
  // With TC set, a cut after the question gives the records that are whole.
  std::string tc = ThreeAnswers(dnstest::kResponse | dnstest::kTc);
  size_t questionEnd = kDnsHeaderLength + WireName("d.test").size() + 4;
  size_t lastRecords = 0;
  for (size_t n = 0; n <= tc.size(); ++n) {
    DnsMessage m;
    bool ok = Parse(tc.substr(0, n), m);
    EXPECT_EQ(ok, n >= questionEnd) << n;
    if (!ok) continue;
    size_t records = m.answers.size() + m.additional.size();
    EXPECT_GE(records, lastRecords) << n;
    EXPECT_EQ(m.partial, n < tc.size()) << n;
    lastRecords = records;
  }
  EXPECT_EQ(lastRecords, 3u);
}

// Every answer corrupted byte by byte must parse or fail, never crash or
// read out of bounds (the sanitizer build checks the reads).
TEST(DnsParse, FlippedBytesNeverCrash) {
  std::vector<std::string> samples = {ThreeAnswers(dnstest::kResponse), Compressed()};
  for (const std::string &sample : samples) {
    for (size_t i = 0; i < sample.size(); ++i) {
      for (uint8_t mask : {0x01, 0x40, 0x80, 0xC0, 0xFF}) {
        std::string b = sample;
        b[i] = static_cast<char>(b[i] ^ mask);
        DnsMessage m;
        if (!Parse(b, m)) continue;
        for (const DnsRecord &r : m.answers) {
          EXPECT_LE(r.name.size(), 4 * kMaxDnsNameTextLength);
        }
      }
    }
  }
  std::mt19937 rng(12345);
  for (int round = 0; round < 20000; ++round) {
    std::string b = samples[round % 2];
    for (int k = 0; k < 4; ++k) b[rng() % b.size()] = static_cast<char>(rng());
    DnsMessage m;
    (void)Parse(b.substr(0, rng() % (b.size() + 1)), m);
  }
}

}  // namespace
