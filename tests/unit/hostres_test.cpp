// Host names and addresses: the hosts-file reader, the name server list, the
// lookup order, and the DNS client against a small name server of the test's
// own on 127.0.0.1 (stray answers ignored, silent servers timed out within
// their bound, truncated answers asked again over TCP).
#include "platform/hostres.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <mutex>

#include "platform/dnsclient.h"
#include "tests/unit/dnstest.h"

namespace {

using namespace std::string_literals;
using dnstest::Addr;
using dnstest::Asked;
using dnstest::FakeDnsServer;
using dnstest::Ipv4;
using dnstest::Reply;
using dnstest::Rr;

// ---- Hosts file and name server list: plain parsing.

TEST(HostsFile, Lines) {
  std::string text =
      "# comment line\n"
      "127.0.0.1\tlocalhost\n"
      "::1 localhost ip6-localhost\n"
      "192.0.2.1  one.example.test one   # trailing comment\r\n"
      "192.0.2.2\n"
      "192.0.2.300 bad.example.test\n"
      "192.0.2.3 bad\\name good.example.test " + std::string(300, 'x') + " alias\n"
      "192.0.2.4 many a1 a2 a3 a4 a5 a6 a7 a8 a9 a10 a11 a12\n"
      "192.0.2.5 " + std::string(kMaxHostsLineLength, 'y') + "\n"
      "   \n"
      "192.0.2.6 last";
  std::vector<HostsFileLine> lines = ParseHostsFile(text, text.size());
  ASSERT_EQ(lines.size(), 5u);
  EXPECT_EQ(lines[0].name, "localhost");
  EXPECT_EQ(lines[1].address, Addr("192.0.2.1"));
  EXPECT_EQ(lines[1].name, "one.example.test");
  EXPECT_EQ(lines[1].aliases, std::vector<std::string>{"one"});
  EXPECT_EQ(lines[2].name, "good.example.test");   // bad and overlong names dropped
  EXPECT_EQ(lines[2].aliases, std::vector<std::string>{"alias"});
  EXPECT_EQ(lines[3].aliases.size(), kMaxHostEntryAliases);
  EXPECT_EQ(lines[3].aliases.back(), "a10");
  EXPECT_EQ(lines[4].name, "last");
}

TEST(HostsFile, CutLeavesOutThePartialLine) {
  std::string text = "192.0.2.1 first\n192.0.2.2 secondname\n";
  size_t cut = text.find("second") + 3;   // "192.0.2.2 sec" must not be read as "sec"
  std::vector<HostsFileLine> lines = ParseHostsFile(text, cut);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].name, "first");
  EXPECT_TRUE(ParseHostsFile(text, 5).empty());
  EXPECT_EQ(ParseHostsFile(text, text.size()).size(), 2u);
}

TEST(HostsFile, FirstMatchWins) {
  std::string text = "192.0.2.1 a.test A1\n192.0.2.2 b.test a1\n192.0.2.1 c.test\n";
  HostEntry e;
  ASSERT_TRUE(FindHostsFileName(text, text.size(), "a1", e));
  EXPECT_EQ(e.name, "a.test");
  EXPECT_EQ(e.addresses, std::vector<uint32_t>{Addr("192.0.2.1")});
  ASSERT_TRUE(FindHostsFileAddress(text, text.size(), Addr("192.0.2.1"), e));
  EXPECT_EQ(e.name, "a.test");
  EXPECT_FALSE(FindHostsFileName(text, text.size(), "d.test", e));
}

TEST(NameServerList, Entries) {
  struct Case {
    std::string text;
    std::vector<std::string> want;   // "address:port"
  } cases[] = {
      {"", {}},
      {"192.0.2.1", {"192.0.2.1:53"}},
      {" 192.0.2.1:5353,192.0.2.2\t\r\n192.0.2.3 ", {"192.0.2.1:5353", "192.0.2.2:53", "192.0.2.3:53"}},
      {"bad 192.0.2.1:0 192.0.2.1:65536 192.0.2.1: 0.0.0.0 :: [::] [::1]: [::1]x [192.0.2.5] "
       "[::1 192.0.2.9:x 192.0.2.4",
       {"192.0.2.4:53"}},
      {"[::1]:5353 ::1 [2001:db8::1]", {"[::1]:5353", "[::1]:53", "[2001:db8::1]:53"}},
      {"1.1.1.1 2.2.2.2 3.3.3.3 4.4.4.4 5.5.5.5 6.6.6.6",
       {"1.1.1.1:53", "2.2.2.2:53", "3.3.3.3:53", "4.4.4.4:53", "5.5.5.5:53"}},
      {"192.0.2.1:65535", {"192.0.2.1:65535"}},
  };
  for (const Case &c : cases) {
    std::vector<std::string> got;
    for (const DnsServerAddress &s : ParseNameServerList(c.text, c.text.size(), kMaxDnsServers)) {
      got.push_back(NameServerText(s));
    }
    EXPECT_EQ(got, c.want) << c.text;
  }
}

// ---- Lookups: every test points the registry at loopback servers first.

using HostRes = dnstest::ResolverTest;

// Records the names asked, answering each through answer().
struct Recorder {
  std::mutex mu;
  std::vector<std::string> asked;
  std::function<std::string(const Asked &)> answer;
  FakeDnsServer::Handler Handler() {
    return [this](const std::string &query, bool) -> std::vector<std::string> {
      Asked q;
      if (!dnstest::ReadQuery(query, q)) return {};
      std::lock_guard<std::mutex> lock(mu);
      asked.push_back(q.name);
      return {answer(q)};
    };
  }
};

TEST_F(HostRes, LiteralAndOwnNameNeedNoLookup) {
  Recorder rec;
  rec.answer = [](const Asked &q) { return Reply(q, {}, 0x8183); };
  FakeDnsServer server(rec.Handler());
  UseServer(server);
  std::string host;
  ASSERT_TRUE(ZelGetHostName(host));
  EXPECT_EQ(host, "zeltest");
  HostEntry e;
  ASSERT_EQ(ZelGetHostByName("192.0.2.9", e), ERROR_SUCCESS);
  EXPECT_EQ(e.addresses, std::vector<uint32_t>{Addr("192.0.2.9")});
  std::vector<uint32_t> own;
  ASSERT_TRUE(GetLocalInterfaceAddresses(own));
  ASSERT_FALSE(own.empty());
  for (const char *name : {"zeltest", "ZELTEST", "zeltest.example.test", "zeltest.Example.Test."}) {
    ASSERT_EQ(ZelGetHostByName(name, e), ERROR_SUCCESS) << name;
    EXPECT_EQ(e.addresses, own) << name;
  }
  EXPECT_EQ(server.UdpQueries(), 0);
}

TEST(LocalInterfaces, LoopbackLastEachOnce) {
  std::vector<uint32_t> a;
  ASSERT_TRUE(GetLocalInterfaceAddresses(a));
  ASSERT_FALSE(a.empty());
  bool seenLoopback = false;
  for (size_t i = 0; i < a.size(); ++i) {
    bool loopback = (ntohl(a[i]) >> 24) == 127;
    EXPECT_FALSE(seenLoopback && !loopback) << "non-loopback after loopback";
    seenLoopback = seenLoopback || loopback;
    for (size_t j = 0; j < i; ++j) EXPECT_NE(a[i], a[j]);
  }
  EXPECT_LE(a.size(), kMaxHostEntryAddresses);
}

TEST_F(HostRes, HostsFileComesBeforeDns) {
  Recorder rec;
  rec.answer = [](const Asked &q) { return Reply(q, {{q.name, kDnsTypeA, Ipv4("192.0.2.99")}}); };
  FakeDnsServer server(rec.Handler());
  UseServer(server);
  WriteHosts("192.0.2.10 files.example.test files\n");
  HostEntry e;
  ASSERT_EQ(ZelGetHostByName("FILES", e), ERROR_SUCCESS);
  EXPECT_EQ(e.name, "files.example.test");
  EXPECT_EQ(e.addresses, std::vector<uint32_t>{Addr("192.0.2.10")});
  ASSERT_EQ(ZelGetHostByAddr(Addr("192.0.2.10"), e), ERROR_SUCCESS);
  EXPECT_EQ(e.name, "files.example.test");
  EXPECT_EQ(e.aliases, std::vector<std::string>{"files"});
  EXPECT_EQ(server.UdpQueries(), 0);
}

TEST_F(HostRes, AddressRecordsThroughAliases) {
  Recorder rec;
  rec.answer = [](const Asked &q) {
    return Reply(q, {{"www.example.test", kDnsTypeCNAME, dnstest::WireName("web.example.test")},
                     {"web.example.test", kDnsTypeCNAME, dnstest::WireName("host.example.test")},
                     {"other.example.test", kDnsTypeA, Ipv4("192.0.2.66")},
                     {"host.example.test", kDnsTypeA, Ipv4("192.0.2.20")},
                     {"HOST.example.test", kDnsTypeA, Ipv4("192.0.2.21")},
                     {"host.example.test", kDnsTypeA, Ipv4("192.0.2.20")}});
  };
  FakeDnsServer server(rec.Handler());
  UseServer(server);
  HostEntry e;
  ASSERT_EQ(ZelGetHostByName("www.example.test", e), ERROR_SUCCESS);
  EXPECT_EQ(e.name, "host.example.test");
  EXPECT_EQ(e.aliases, (std::vector<std::string>{"www.example.test", "web.example.test"}));
  EXPECT_EQ(e.addresses, (std::vector<uint32_t>{Addr("192.0.2.20"), Addr("192.0.2.21")}));
}

TEST_F(HostRes, SingleLabelTriesTheDomainFirst) {
  Recorder rec;
  rec.answer = [](const Asked &q) {
    if (q.name == "mx1") return Reply(q, {{"mx1", kDnsTypeA, Ipv4("192.0.2.30")}});
    return Reply(q, {}, 0x8183);   // NXDOMAIN
  };
  FakeDnsServer server(rec.Handler());
  UseServer(server);
  HostEntry e;
  ASSERT_EQ(ZelGetHostByName("mx1", e), ERROR_SUCCESS);
  EXPECT_EQ(rec.asked, (std::vector<std::string>{"mx1.example.test", "mx1"}));
  EXPECT_EQ(e.addresses, std::vector<uint32_t>{Addr("192.0.2.30")});
}

TEST_F(HostRes, AnswerCodes) {
  struct Case {
    uint16_t flags;
    std::vector<Rr> records;
    long want;
  } cases[] = {
      {0x8183, {}, ERROR_FILE_NOT_FOUND},                                   // NXDOMAIN
      {0x8180, {}, ERROR_FILE_NOT_FOUND},                                   // no data
      {0x8182, {}, ERROR_HOST_TRY_AGAIN},                                   // SERVFAIL
      {0x8185, {}, ERROR_HOST_TRY_AGAIN},                                   // REFUSED
      {0x8180, {{"h.example.test", kDnsTypeMX, dnstest::MxData(1, "x")}}, ERROR_FILE_NOT_FOUND},
  };
  for (const Case &c : cases) {
    Recorder rec;
    rec.answer = [&](const Asked &q) { return Reply(q, c.records, c.flags); };
    FakeDnsServer server(rec.Handler());
    UseServer(server);
    HostEntry e;
    EXPECT_EQ(ZelGetHostByName("h.example.test", e), c.want) << std::hex << c.flags;
  }
}

TEST_F(HostRes, PointerRecords) {
  Recorder rec;
  rec.answer = [](const Asked &q) {
    if (q.type != kDnsTypePTR) return Reply(q, {}, 0x8183);
    return Reply(q, {{q.name, kDnsTypePTR, dnstest::WireName("bad\\x.example.test")},
                     {q.name, kDnsTypePTR, dnstest::WireName("mail.example.test")},
                     {q.name, kDnsTypePTR, dnstest::WireName("smtp.example.test")}});
  };
  FakeDnsServer server(rec.Handler());
  UseServer(server);
  HostEntry e;
  ASSERT_EQ(ZelGetHostByAddr(Addr("192.0.2.40"), e), ERROR_SUCCESS);
  EXPECT_EQ(rec.asked, std::vector<std::string>{"40.2.0.192.in-addr.arpa"});
  EXPECT_EQ(e.name, "mail.example.test");   // an escaped name is no host name
  EXPECT_EQ(e.aliases, std::vector<std::string>{"smtp.example.test"});
  EXPECT_EQ(e.addresses, std::vector<uint32_t>{Addr("192.0.2.40")});
}

TEST_F(HostRes, NoServerAnswers) {
  HostEntry e;
  long long start = MonotonicMs();
  EXPECT_EQ(ZelGetHostByName("nowhere.example.test", e), ERROR_TIMEOUT);
  EXPECT_EQ(ZelGetHostByAddr(Addr("192.0.2.50"), e), ERROR_TIMEOUT);
  EXPECT_LT(MonotonicMs() - start, 1000);   // a refusing server is left at once
  ASSERT_TRUE(dnstest::SetTcpip("NameServer", ""));
  EXPECT_EQ(ZelGetHostByName("nowhere.example.test", e), ERROR_TIMEOUT);
}

TEST_F(HostRes, NameServerListFromTheRegistry) {
  ASSERT_TRUE(dnstest::SetTcpip("NameServer", "127.0.0.1:5353, junk 127.0.0.2"));
  std::vector<DnsServerAddress> servers;
  ASSERT_EQ(ReadNameServerList(servers), ERROR_SUCCESS);
  ASSERT_EQ(servers.size(), 2u);
  EXPECT_EQ(servers[0].port, 5353);
  EXPECT_EQ(servers[1].address, IpV4(Addr("127.0.0.2")));
  ASSERT_TRUE(dnstest::SetTcpip("NameServer", std::string(kMaxNameServerValueBytes + 1, ' ')));
  EXPECT_EQ(ReadNameServerList(servers), ERROR_MORE_DATA);
}

// ---- The client itself.

DnsServerAddress Loopback(const FakeDnsServer &s) { return {IpV4(Addr("127.0.0.1")), s.Port()}; }

DnsQueryOptions Quick(DWORD ms = 400) {
  DnsQueryOptions o;
  o.serverTimeoutMs = ms;
  o.tcpTimeoutMs = ms;
  return o;
}

std::string AnswerA(const Asked &q) { return Reply(q, {{q.name, kDnsTypeA, Ipv4("192.0.2.1")}}); }

TEST(DnsClient, StrayDatagramsAreIgnored) {
  FakeDnsServer server([](const std::string &query, bool) -> std::vector<std::string> {
    Asked q;
    if (!dnstest::ReadQuery(query, q)) return {};
    Asked otherId = q, otherName = q, otherType = q;
    otherId.id ^= 0x5A5A;
    otherName.name = "evil.example.test";
    otherType.type = kDnsTypeMX;
    std::string notResponse = AnswerA(q);
    notResponse[2] = static_cast<char>(notResponse[2] & 0x7F);
    return {AnswerA(otherId), AnswerA(otherName), AnswerA(otherType), notResponse, "junk",
            AnswerA(q)};
  });
  DnsAnswer a;
  ASSERT_EQ(DnsQuery({Loopback(server)}, "h.example.test", kDnsTypeA, Quick(), a), ERROR_SUCCESS);
  EXPECT_EQ(a.ignored, 5u);
  ASSERT_EQ(a.message.answers.size(), 1u);
  EXPECT_EQ(a.message.answers[0].address, Addr("192.0.2.1"));
  EXPECT_FALSE(a.viaTcp);
}

TEST(DnsClient, OnlyStrayAnswersTimeOut) {
  FakeDnsServer server([](const std::string &query, bool) -> std::vector<std::string> {
    Asked q;
    if (!dnstest::ReadQuery(query, q)) return {};
    q.id ^= 1;
    return {AnswerA(q)};
  });
  DnsAnswer a;
  long long start = MonotonicMs();
  EXPECT_EQ(DnsQuery({Loopback(server)}, "h.example.test", kDnsTypeA, Quick(), a), ERROR_TIMEOUT);
  long long took = MonotonicMs() - start;
  EXPECT_GE(took, 350);
  EXPECT_LT(took, 1500);
  EXPECT_EQ(server.UdpQueries(), kDnsUdpTries);
  EXPECT_EQ(a.ignored, static_cast<unsigned>(kDnsUdpTries));
}

TEST(DnsClient, SilentServersTimeOutWithinTheBound) {
  auto silent = [](const std::string &, bool) { return std::vector<std::string>(); };
  FakeDnsServer one(silent), two(silent);
  DnsAnswer a;
  long long start = MonotonicMs();
  EXPECT_EQ(DnsQuery({Loopback(one), Loopback(two)}, "h.test", kDnsTypeA, Quick(300), a),
            ERROR_TIMEOUT);
  long long took = MonotonicMs() - start;
  EXPECT_GE(took, 550);
  EXPECT_LT(took, 1500);
  EXPECT_EQ(one.UdpQueries(), kDnsUdpTries);
  EXPECT_EQ(two.UdpQueries(), kDnsUdpTries);
}

TEST(DnsClient, NextServerAfterARefusal) {
  FakeDnsServer good([](const std::string &query, bool) -> std::vector<std::string> {
    Asked q;
    return dnstest::ReadQuery(query, q) ? std::vector<std::string>{AnswerA(q)}
                                        : std::vector<std::string>{};
  });
  std::vector<DnsServerAddress> list =
      ParseNameServerList(dnstest::ClosedPortEntry() + " " + good.Entry(), 100, kMaxDnsServers);
  DnsAnswer a;
  long long start = MonotonicMs();
  ASSERT_EQ(DnsQuery(list, "h.test", kDnsTypeA, DnsQueryOptions(), a), ERROR_SUCCESS);
  EXPECT_LT(MonotonicMs() - start, 1000);
  EXPECT_EQ(a.server, Loopback(good));
}

TEST(DnsClient, RefusesNamesNoQueryCanCarry) {
  DnsAnswer a;
  EXPECT_EQ(DnsQuery({}, "bad name", kDnsTypeA, Quick(), a), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(DnsQuery({}, "fine.test", kDnsTypeA, Quick(), a), ERROR_TIMEOUT);
}

// Many MX records: more than fits a UDP answer or the response limit.
std::string ManyExchangers(const Asked &q, int count, uint16_t flags) {
  std::vector<Rr> an;
  for (int i = 0; i < count; ++i)
    an.push_back({q.name, kDnsTypeMX, dnstest::MxData(10, "mx" + std::to_string(i) + ".example.test")});
  return Reply(q, an, flags);
}

// UDP: the first 100 bytes with TC set; TCP: all of it.
FakeDnsServer::Handler TruncatingHandler(int count) {
  return [count](const std::string &query, bool tcp) -> std::vector<std::string> {
    Asked q;
    if (!dnstest::ReadQuery(query, q)) return {};
    if (tcp) return {ManyExchangers(q, count, dnstest::kResponse)};
    std::string cut = ManyExchangers(q, count, dnstest::kResponse | dnstest::kTc);
    return {cut.substr(0, 100)};
  };
}

TEST(DnsClient, TruncatedAnswerIsAskedAgainOverTcp) {
  FakeDnsServer server(TruncatingHandler(40), true);
  DnsAnswer a;
  ASSERT_EQ(DnsQuery({Loopback(server)}, "d.example.test", kDnsTypeMX, Quick(1000), a),
            ERROR_SUCCESS);
  EXPECT_TRUE(a.viaTcp);
  EXPECT_FALSE(a.message.header.tc);
  EXPECT_EQ(a.message.answers.size(), 40u);
  EXPECT_EQ(server.TcpQueries(), 1);
}

TEST(DnsClient, TcpAnswerLongerThanTheLimitComesBackCut) {
  FakeDnsServer server(TruncatingHandler(150), true);   // about 4 KB
  DnsAnswer a;
  ASSERT_EQ(DnsQuery({Loopback(server)}, "d.example.test", kDnsTypeMX, Quick(1000), a),
            ERROR_SUCCESS);
  EXPECT_TRUE(a.viaTcp);
  EXPECT_TRUE(a.message.header.tc);
  EXPECT_TRUE(a.message.partial);
  EXPECT_GT(a.message.answers.size(), 10u);
  EXPECT_LT(a.message.answers.size(), 150u);
}

TEST(DnsClient, TcpMovesOnToTheOtherServers) {
  FakeDnsServer udpOnly(TruncatingHandler(20)), withTcp(TruncatingHandler(20), true);
  DnsAnswer a;
  ASSERT_EQ(DnsQuery({Loopback(udpOnly), Loopback(withTcp)}, "d.example.test", kDnsTypeMX,
                     Quick(1000), a),
            ERROR_SUCCESS);
  EXPECT_TRUE(a.viaTcp);
  EXPECT_EQ(a.server, Loopback(withTcp));
  EXPECT_EQ(withTcp.UdpQueries(), 0);   // the truncated UDP answer decided
  EXPECT_EQ(a.message.answers.size(), 20u);
}

TEST(DnsClient, OversizedDatagramCountsAsTruncated) {
  FakeDnsServer server([](const std::string &query, bool tcp) -> std::vector<std::string> {
    Asked q;
    if (!dnstest::ReadQuery(query, q)) return {};
    return {ManyExchangers(q, 30, dnstest::kResponse)};   // no TC, but over the limit
  }, true);
  DnsQueryOptions o = Quick(1000);
  o.responseLimit = 512;
  DnsAnswer a;
  ASSERT_EQ(DnsQuery({Loopback(server)}, "d.example.test", kDnsTypeMX, o, a), ERROR_SUCCESS);
  EXPECT_TRUE(a.viaTcp);
  EXPECT_TRUE(a.message.header.tc);   // over TCP too: cut at 512
  EXPECT_EQ(server.TcpQueries(), 1);
}

}  // namespace
