// Routing of remote domains: the domain record file (round trip, reading
// rules, damage), the retry schedule, lookups on canned answers from a
// loopback name server, this host among the exchangers, the gateway route,
// and whole delivery attempts (give-up, local delivery, connecting, the
// thread limit). Every test points NameServer at a loopback port first.
#include "tests/unit/delivfixture.h"

#include <netinet/in.h>
#include <poll.h>
#include <unistd.h>

#include <climits>
#include <thread>

#include "ZELDELIV/delivery.h"
#include "ZELDELIV/queue.h"
#include "ZELDELIV/routing.h"
#include "ZELDELIV/smtpsend.h"
#include "common/loadcfig.h"
#include "platform/hostres.h"
#include "platform/sockets.h"
#include "tests/unit/dnstest.h"

using namespace delivtest;
using namespace dnstest;

namespace {

constexpr uint16_t kServFail = kResponse | kDnsRcodeServFail;

// One canned answer; a question not in the zone gets NXDOMAIN.
struct Canned {
  Canned(std::string name, uint16_t type = kDnsTypeMX, std::vector<Rr> an = {},
         uint16_t flags = kResponse, std::vector<Rr> ar = {}, bool udpTc = false)
      : name(std::move(name)), type(type), an(std::move(an)), flags(flags), ar(std::move(ar)),
        udpTc(udpTc) {}
  std::string name;
  uint16_t type;
  std::vector<Rr> an;
  uint16_t flags;
  std::vector<Rr> ar;
  bool udpTc;   // over UDP only "truncated, ask over TCP"
};

FakeDnsServer::Handler Serve(std::vector<Canned> zone, int delayMs = 0) {
  return [zone, delayMs](const std::string &query, bool tcp) -> std::vector<std::string> {
    std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
    Asked q;
    if (!ReadQuery(query, q)) return {};
    for (const Canned &c : zone) {
      if (c.type != q.type || !DnsNamesEqual(c.name, q.name)) continue;
      if (c.udpTc && !tcp) return {Reply(q, {}, kResponse | kTc)};
      return {Reply(q, c.an, c.flags, c.ar)};
    }
    return {Reply(q, {}, kResponse | kDnsRcodeNxDomain)};
  };
}

Rr Mx(const std::string &owner, uint16_t pref, const std::string &host) {
  return Rr{owner, kDnsTypeMX, MxData(pref, host)};
}
Rr A(const std::string &owner, const char *address) { return Rr{owner, kDnsTypeA, Ipv4(address)}; }
Rr Aaaa(const std::string &owner, const char *address) {
  IpAddress a;
  EXPECT_TRUE(ParseAddress(address, &a) && a.IsV6()) << address;
  return Rr{owner, kDnsTypeAAAA, std::string(reinterpret_cast<const char *>(a.Bytes), 16)};
}
Rr Cname(const std::string &owner, const std::string &target) {
  return Rr{owner, kDnsTypeCNAME, WireName(target)};
}

// "host:pref" and "[addresses]" when it has any.
std::string Describe(const _MxRecord &mx) {
  std::string out = mx.HostName + ":" + std::to_string(mx.Preference);
  for (size_t i = 0; i < mx.Address.size(); ++i)
    out += (i ? "," : "[") + AddressText(mx.Address[i]) + (i + 1 == mx.Address.size() ? "]" : "");
  return out;
}

std::vector<std::string> All(const _RoutingInfo &info) {
  std::vector<std::string> out;
  for (const _MxRecord &mx : info.Mx) out.push_back(Describe(mx));
  return out;
}

std::vector<std::string> InTurn(const _RoutingInfo &info) {
  std::vector<std::string> out;
  for (size_t i : ExchangersInTurn(info)) out.push_back(Describe(info.Mx[i]));
  return out;
}

class Routing : public DelivTest {
 protected:
  void SetUp() override {
    DelivTest::SetUp();
    ASSERT_TRUE(CreateDirectory(MailDomainsDirectory));
    RetryScheduleDescriptor = kBuiltInRetrySchedule;
    SetUpRetryScheduleArray();
    // No lookup may reach the machine's resolver or its hosts file.
    ASSERT_TRUE(SetTcpip("NameServer", ClosedPortEntry()));
    ASSERT_TRUE(SetTcpip("Domain", ""));
    WriteFile(ZelPath("/hosts"), "");
    SetHostsFilePathForTest(ZelPath("/hosts"));
    ASSERT_TRUE(InitRoutingModule());
    DeliverDomain = DeliverAllMessages;
    ASSERT_TRUE(FreeDomainList());
  }
  void TearDown() override {
    SetHostsFilePathForTest("");
    DelivTest::TearDown();
  }

  static void Use(const FakeDnsServer &server) {
    ASSERT_TRUE(SetTcpip("NameServer", server.Entry()));
    ASSERT_TRUE(InitRoutingModule());
  }
  static std::string Dir(const std::string &domain) { return MailDomainsDirectory + "/" + domain; }
  static void Queue(const std::string &domain, const std::string &id, const std::string &rcpt) {
    ASSERT_TRUE(CreateDirectoryRecursively(Dir(domain)));
    PutHeld(id, "From: sender@example.net\nSubject: hi\n\nbody\n.\n");
    WriteFile(Dir(domain) + "/" + id + ".RCP",
              Crlf("Message-ID: <" + id + "@" + kHost +
                   ">\nReturn-path: sender@example.net\nRecipient: " + rcpt + "\n"));
  }
};

// ---- the record file

TEST_F(Routing, RecordRoundTripIsCrLfAndWhole) {
  _RoutingInfo info;
  info.DomainName = "remote.test";
  info.LastTried = 1700000000;
  info.TryNumber = 3;
  info.bSlow = 1;
  IpAddress six;
  ASSERT_TRUE(ParseAddress("2001:db8::7", &six));
  info.Mx = {FabricateMxRecord(5, "b.remote.test", 0, {IpV4(Addr("192.0.2.1")), six}),
             FabricateMxRecord(10, "a.remote.test", 0, {})};
  info.Mx[1].Status = kMxUnresolved;
  info.Mx[1].Expires = 1700000300;
  ASSERT_TRUE(CreateDirectory(Dir("remote.test")));
  ASSERT_TRUE(WriteRoutingInfo(info, Dir("remote.test")));
  EXPECT_EQ(Slurp(Dir("remote.test") + "/DOMAIN.MRI"),
            Crlf("Domain-name: remote.test\nLast-tried: 1700000000\nTry-number: 3\nSlow: 1\n"
                 "Mx-host: b.remote.test\nMx-preference: 5\nMx-status: 0\n"
                 "Mx-expires: 2147483647\nMx-ip-address: 192.0.2.1\nMx-ip-address: 2001:db8::7\n"
                 "Mx-host: a.remote.test\nMx-preference: 10\nMx-status: 1\n"
                 "Mx-expires: 1700000300\n"));
  EXPECT_EQ(ListDir(Dir("remote.test")), std::vector<std::string>{"DOMAIN.MRI"});  // no temp left
  _DomainInfo entry;
  entry.DomainName = "remote.test";
  RoutingInfoPtr back = ReadRoutingInfo(entry, Dir("remote.test"));
  ASSERT_TRUE(back);
  EXPECT_EQ(FormatRoutingRecord(*back), FormatRoutingRecord(info));
}

TEST_F(Routing, RecordReadingRules) {
  std::string eleven, many;
  for (int i = 1; i <= 11; ++i) eleven += "Mx-ip-address: 10.0.0." + std::to_string(i % 10) + "\n";
  for (int i = 0; i < 25; ++i) many += "Mx-host: h\nMx-preference: " + std::to_string(i) + "\n";
  struct Case {
    const char *label;
    std::string text;
    int tries;
    long long lastTried;
    std::vector<std::string> mx;   // Describe() + "/" + status
    size_t maxBytes = kMaxDomainRecordBytes;
  } cases[] = {
      {"keywords in any case",
       "last-TRIED: 5\nTRY-number: 3\nmx-HOST: a.test\nMX-Preference: 7\nmx-status: 1\n", 3, 5,
       {"a.test:7/1"}},
      {"preference before any host", "Mx-preference: 9\nMx-status: 1\nMx-host: a.test\n", 0, 0,
       {"a.test:0/0"}},
      {"host without value", "Mx-host: a.test\nMx-host:\nMx-preference: 4\n", 0, 0, {"a.test:4/0"}},
      {"blanks, extra words, junk",
       "Try-number:\t2 extra\r\nbogus: 1\n\n  Last-tried: 12abc\nDomain-name: other.test\n", 2, 12,
       {}},
      {"negative try count", "Try-number: -4\n", 0, 0, {}},
      {"numbers past their range", "Try-number: 99999999999\nLast-tried: 99999999999999999999999\n",
       INT_MAX, LLONG_MAX / 2, {}},
      {"ten distinct addresses, bad ones skipped", "Mx-host: a.test\nMx-ip-address: 1.2.3\n" + eleven,
       0, 0, {"a.test:0[10.0.0.1,10.0.0.2,10.0.0.3,10.0.0.4,10.0.0.5,10.0.0.6,10.0.0.7,10.0.0.8,"
              "10.0.0.9,10.0.0.0]/0"}},
      {"rest of a long line", "Last-tried: 1" + std::string(520, ' ') + "Try-number: 7\n", 0, 1, {}},
      {"line cut by the bound", "Try-number: 12\n", 0, 0, {}, 13},
      {"whole line within the bound", "Try-number: 12", 12, 0, {}, 14},
  };
  for (const Case &c : cases) {
    _RoutingInfo info;
    info.DomainName = "kept.test";
    ParseRoutingRecord(c.text, c.maxBytes, info);
    EXPECT_EQ(info.TryNumber, c.tries) << c.label;
    EXPECT_EQ(info.LastTried, c.lastTried) << c.label;
    EXPECT_EQ(info.DomainName, "kept.test") << c.label;
    std::vector<std::string> got;
    for (const _MxRecord &mx : info.Mx) got.push_back(Describe(mx) + "/" + std::to_string(mx.Status));
    EXPECT_EQ(got, c.mx) << c.label;
  }
  // Exchangers past the bound are dropped, and their lines with them.
  _RoutingInfo info;
  ParseRoutingRecord(many, kMaxDomainRecordBytes, info);
  ASSERT_EQ(info.Mx.size(), kMaxExchangers);
  EXPECT_EQ(info.Mx.back().Preference, kMaxExchangers - 1);
}

TEST_F(Routing, RecordFileStates) {
  _DomainInfo entry;
  entry.DomainName = "state.test";
  std::string dir = Dir("state.test");
  ASSERT_TRUE(CreateDirectory(dir));
  RoutingInfoPtr info = ReadRoutingInfo(entry, dir);   // missing: a fresh record
  ASSERT_TRUE(info);
  EXPECT_EQ(info->DomainName, "state.test");
  EXPECT_EQ(info->TryNumber + info->LastTried, 0);
  // A time in the future (clock set back, damage) counts as now.
  WriteFile(dir + "/DOMAIN.MRI", "Last-tried: 99999999999999999999\r\nTry-number: 2\r\n");
  info = ReadRoutingInfo(entry, dir);
  ASSERT_TRUE(info);
  EXPECT_GE(info->LastTried, NowSeconds() - 5);
  EXPECT_LE(info->LastTried, NowSeconds());
  // Present but unreadable: no record, the caller waits.
  DeleteFile(dir + "/DOMAIN.MRI");
  ASSERT_TRUE(CreateDirectory(dir + "/DOMAIN.MRI"));
  EXPECT_FALSE(ReadRoutingInfo(entry, dir));
  RemoveDirectory(dir + "/DOMAIN.MRI");
  // A domain name with a line break stays on its own line.
  info->DomainName = "evil.test\nTry-number: 0";
  info->TryNumber = 9;
  ASSERT_TRUE(WriteRoutingInfo(*info, dir));
  EXPECT_EQ(ReadRoutingInfo(entry, dir)->TryNumber, 9);
  // Deleting takes a temporary record left by a crash along, so the
  // directory can go; then nothing is written into it any more.
  WriteFile(dir + "/.mri-Ab12Cd", "Try-number: 4\n");
  DeleteRoutingInfo(dir);
  ASSERT_TRUE(RemoveDirectory(dir));
  EXPECT_FALSE(WriteRoutingInfo(*info, dir));
  EXPECT_FALSE(DirectoryExists(dir));
}

// ---- retry

TEST_F(Routing, BuiltInScheduleGivesUpAfterFiftyFourTries) {
  ASSERT_EQ(RetryScheduleLength, 54);
  _RoutingInfo info;
  EXPECT_EQ(TimeToRetry(info), 60);   // a fresh record is due at once
  std::vector<long long> waits;
  long long first = 1000000, now = first;
  for (info.TryNumber = 1; info.TryNumber < 54; ++info.TryNumber) {
    info.LastTried = now;
    waits.push_back((TimeToRetry(info) - now) / 60);
    now = TimeToRetry(info);
  }
  EXPECT_EQ(std::vector<long long>(waits.begin(), waits.begin() + 6),
            (std::vector<long long>{10, 10, 100, 10, 10, 100}));
  EXPECT_EQ(now - first, 6500 * 60);   // the 54th attempt, counted from the first
  EXPECT_EQ(TimeToRetry(info), 0);     // TryNumber 54: give up at once
  _DomainInfo entry;
  info.TryNumber = 1;
  info.LastTried = NowSeconds();
  EXPECT_FALSE(SetDomainRetryInfo(entry, info));
  EXPECT_EQ(entry.RetryTime, info.LastTried + 600);
}

// ---- routing

TEST_F(Routing, ExchangersFromCannedAnswers) {
  struct Case {
    const char *domain;
    std::vector<Canned> zone;
    std::vector<std::string> turn;   // ExchangersInTurn
    bool retry = false;
    const char *event = nullptr;     // " 784 " and the like
    bool tcp = false;
    const char *finalName = nullptr;
    bool local = false;
  } cases[] = {
      {"order.test",   // equal preferences: the reverse of the answer's order
       {{"order.test", kDnsTypeMX, {Mx("order.test", 10, "a.mx"), Mx("order.test", 5, "b.mx"),
                                    Mx("order.test", 10, "c.mx")}}},
       {"b.mx:5", "c.mx:10", "a.mx:10"}},
      {"glue.test",
       {{"glue.test", kDnsTypeMX, {Mx("glue.test", 10, "a.glue.test")}, kResponse,
         {A("a.glue.test", "192.0.2.1"), A("other.test", "192.0.2.9"), A("A.GLUE.test", "192.0.2.2")}}},
       {"a.glue.test:10[192.0.2.1,192.0.2.2]"}},
      {"owner.test", {{"owner.test", kDnsTypeMX, {Mx("elsewhere.test", 10, "mx.elsewhere.test")}}}, {}},
      {"alias.test",
       {{"alias.test", kDnsTypeMX, {Cname("alias.test", "target.test")}},
        {"target.test", kDnsTypeMX, {Mx("target.test", 10, "mx.target.test")}}},
       {"mx.target.test:10"}, false, nullptr, false, "target.test"},
      {"a1.test",   // a second alias
       {{"a1.test", kDnsTypeMX, {Cname("a1.test", "a2.test")}},
        {"a2.test", kDnsTypeMX, {Cname("a2.test", "a3.test")}},
        {"a3.test", kDnsTypeMX, {Mx("a3.test", 10, "mx.a3.test")}}},
       {}, false, " 784 ", false, "a3.test"},
      {"nomx.test", {{"nomx.test"}, {"nomx.test", kDnsTypeA, {A("nomx.test", "192.0.2.9")}}},
       {"nomx.test:0[192.0.2.9]"}},
      {"nx.test", {}, {}},
      {"sf.test", {{"sf.test", kDnsTypeMX, {}, kServFail}}, {}, true},
      {"sfa.test", {{"sfa.test"}, {"sfa.test", kDnsTypeA, {}, kServFail}}, {}, true},
      {"tc.test", {{"tc.test", kDnsTypeMX, {Mx("tc.test", 10, "mx.tc.test")}, kResponse, {}, true}},
       {"mx.tc.test:10"}, false, nullptr, true},
      {"tct.test",   // truncated even over TCP
       {{"tct.test", kDnsTypeMX, {Mx("tct.test", 10, "mx.tct.test")}, kResponse | kTc, {}, true}},
       {}, true, " 131 ", true},
      {"null.test",   // null MX: no mail, and no address fall-back
       {{"null.test", kDnsTypeMX, {Mx("null.test", 0, "")}},
        {"null.test", kDnsTypeA, {A("null.test", "192.0.2.3")}}},
       {}},
      {"[192.0.2.5]", {}, {"[192.0.2.5]:0[192.0.2.5]"}},
      {"[127.0.0.1]", {}, {}, false, nullptr, false, nullptr, true},   // this host's address
      {"[IPv6:2001:DB8::5]", {}, {"[IPv6:2001:DB8::5]:0[2001:db8::5]"}},
      {"[IPv6:192.0.2.5]", {}, {}},
      {"six.test",   // IPv6 glue is tried first
       {{"six.test", kDnsTypeMX, {Mx("six.test", 10, "mx.six.test")}, kResponse,
         {A("mx.six.test", "192.0.2.1"), Aaaa("mx.six.test", "2001:db8::1")}}},
       {"mx.six.test:10[2001:db8::1,192.0.2.1]"}},
      {"nomx6.test",   // without MX, an AAAA record alone will do
       {{"nomx6.test"}, {"nomx6.test", kDnsTypeAAAA, {Aaaa("nomx6.test", "2001:db8::9")}}},
       {"nomx6.test:0[2001:db8::9]"}},
      {"[192.0.2.5", {}, {}},
  };
  for (const Case &c : cases) {
    FakeDnsServer server(Serve(c.zone), true);
    Use(server);
    size_t mark = Slurp(EventLogPath()).size();
    _RoutingInfo info;
    info.DomainName = c.domain;
    GetUpdatedRoutingInfo(info);
    EXPECT_EQ(InTurn(info), c.turn) << c.domain;
    EXPECT_EQ(info.bRetryDns != 0, c.retry) << c.domain;
    EXPECT_EQ(server.TcpQueries() > 0, c.tcp) << c.domain;
    EXPECT_EQ(MailDomainIsLocal(info), c.local) << c.domain;
    std::string events = Slurp(EventLogPath()).substr(mark);
    EXPECT_TRUE(c.event ? events.find(c.event) != std::string::npos : events.empty())
        << c.domain << events;
    EXPECT_EQ(info.DomainName, c.finalName ? c.finalName : c.domain);
  }
  // An answer far over 2048 bytes is read whole over TCP; the 20 best stay.
  std::vector<Rr> many;
  for (int i = 29; i >= 0; --i)
    many.push_back(Mx("big.test", i, "exchanger-" + std::to_string(i) + std::string(50, 'x')));
  FakeDnsServer server(Serve({{"big.test", kDnsTypeMX, many, kResponse, {}, true}}), true);
  Use(server);
  _RoutingInfo info;
  info.DomainName = "big.test";
  GetUpdatedRoutingInfo(info);
  ASSERT_EQ(info.Mx.size(), kMaxExchangers);
  EXPECT_EQ(info.Mx[ExchangersInTurn(info).back()].Preference, kMaxExchangers - 1);
}

TEST_F(Routing, ThisHostAmongTheExchangers) {
  const std::string self = kHost;   // the local host table's name
  struct Case {
    std::vector<std::pair<std::string, uint16_t>> list;   // in list order
    std::vector<std::string> kept;
    bool local;
    std::vector<std::string> turn;
  } cases[] = {
      {{{self, 10}, {"other", 20}}, {self + ":10"}, true, {}},
      {{{"better", 5}, {self, 10}, {"worse", 20}}, {"better:5", self + ":10"}, false, {"better:5"}},
      // A peer of this host's own preference is no better: mail handed to
      // it could come back (two backup exchangers of one preference).
      {{{"peer", 10}, {self, 10}}, {self + ":10"}, true, {}},
      {{{self, 10}, {"peer", 10}}, {self + ":10"}, true, {}},
      {{{"a", 20}, {"b", 10}}, {"a:20", "b:10"}, false, {"b:10", "a:20"}},
  };
  for (const Case &c : cases) {
    _RoutingInfo info;
    for (const auto &[host, pref] : c.list) info.Mx.push_back(FabricateMxRecord(pref, host, 0, {}));
    RemoveIrrelevantMxRecords(info);
    EXPECT_EQ(All(info), c.kept) << c.kept[0];
    EXPECT_EQ(MailDomainIsLocal(info), c.local) << c.kept[0];
    EXPECT_EQ(InTurn(info), c.turn) << c.kept[0];
  }
  // On another port this host is another server (a test set-up, say).
  _RoutingInfo info;
  info.Mx = {FabricateMxRecord(10, self, 2525, {})};
  EXPECT_FALSE(MailDomainIsLocal(info));
  EXPECT_EQ(InTurn(info), std::vector<std::string>{self + ":10"});
}

TEST_F(Routing, GatewayRoute) {
  FakeDnsServer server(Serve({{"gw.test", kDnsTypeA, {A("gw.test", "192.0.2.50")}},
                              {"busy.test", kDnsTypeA, {}, kServFail}}));
  Use(server);
  struct Case {
    const char *gateway;
    std::vector<std::string> exchangers;   // for every domain; empty: the route went
    bool event;
  } cases[] = {
      {"gw.test", {"gw.test:0[192.0.2.50]"}, false},
      {"192.0.2.8", {"192.0.2.8:0[192.0.2.8]"}, false},
      {"gone.test", {}, true},          // does not exist: event 135, mail goes by DNS
      {"busy.test", {"busy.test:0"}, false},   // failing for now: resolved at each attempt
  };
  for (const auto &c : cases) {
    ASSERT_TRUE(InitRoutingModule());
    size_t mark = Slurp(EventLogPath()).size();
    AddGatewayRoute(c.gateway);
    GetManualRouteAddresses();
    std::string events = Slurp(EventLogPath()).substr(mark);
    EXPECT_EQ(events.find(" 135 ") != std::string::npos, c.event) << c.gateway << events;
    EXPECT_EQ(pManualRouteInfo.size(), c.exchangers.size()) << c.gateway;
    if (c.exchangers.empty()) continue;
    int queries = server.UdpQueries();
    for (const char *domain : {"any.test", "[192.0.2.7]", kHost}) {
      _RoutingInfo info;
      info.DomainName = domain;
      GetUpdatedRoutingInfo(info);
      EXPECT_EQ(InTurn(info), c.exchangers) << c.gateway << " " << domain;
    }
    EXPECT_EQ(server.UdpQueries(), queries) << c.gateway;   // no DNS at all
  }
}

// ---- whole attempts

TEST_F(Routing, DeliveryAttempts) {
  struct Case {
    const char *domain;
    std::vector<Canned> zone;
    int tries;                 // TryNumber before
    int result;
    const char *report;        // text in the failure report, or none
    int queries;
    bool delivered = false;    // into alice's mailbox
  } cases[] = {
      // MX, then AAAA and A for the domain's own address.
      {"nx.test", {}, 0, 1, "Unable to deliver to destination domain\nCannot resolve nx.test\n", 3},
      {"late.test", {}, 54, 1, "Failed to deliver to domain late.test after 54 tries.\n", 0},
      {"sf.test", {{"sf.test", kDnsTypeMX, {}, kServFail}}, 3, 0, nullptr, 1},
      {"hosted.test",
       {{"hosted.test", kDnsTypeMX, {Mx("hosted.test", 20, "backup.test"), Mx("hosted.test", 10, kHost)}}},
       0, 1, nullptr, 1, true},
  };
  for (const Case &c : cases) {
    FakeDnsServer server(Serve(c.zone));
    Use(server);
    ClearIncoming();
    Queue(c.domain, "B0000000301", "alice@" + std::string(c.domain));
    _DomainInfo entry;
    entry.DomainName = c.domain;
    _RoutingInfo info;
    info.TryNumber = c.tries;
    EXPECT_EQ(DeliverAllMessages(entry, info), c.result) << c.domain;
    EXPECT_EQ(server.UdpQueries(), c.queries) << c.domain;
    EXPECT_EQ(ListDir(Dir(c.domain), ".RCP").size(), c.result ? 0u : 1u) << c.domain;
    std::vector<Generated> reports = Incoming();
    ASSERT_EQ(reports.size(), c.report ? 1u : 0u) << c.domain;
    EXPECT_TRUE(!c.report || reports[0].text.find(c.report) != std::string::npos) << c.domain;
    EXPECT_EQ(ListDir(Mailbox("alice")).size(), c.delivered ? 1u : 0u) << c.domain;
    if (c.result == 0) {   // a failed try, and the next one ten minutes on
      EXPECT_EQ(info.TryNumber, c.tries + 1);
      EXPECT_FALSE(SetDomainRetryInfo(entry, info));
      EXPECT_EQ(entry.RetryTime - info.LastTried, RetrySchedule[c.tries + 1].RetryInterval * 60);
      EXPECT_GE(info.LastTried, NowSeconds() - 5);
    }
  }
}

// A loopback SMTP server that greets, says 250 to anything and 221 to QUIT.
class Greeter {
 public:
  Greeter() : fd_(CreateListener(htonl(INADDR_LOOPBACK), 0, 4)) {
    GetLocalAddress(fd_, nullptr, &port_);
    thread_ = std::thread([this] {
      for (long long end = MonotonicMs() + 20000; !stop_ && MonotonicMs() < end;) {
        pollfd p{fd_, POLLIN, 0};
        int c = poll(&p, 1, 50) > 0 ? accept(fd_, nullptr, nullptr) : -1;
        if (c < 0) continue;
        ++sessions_;
        Talk(c);
        close(c);
      }
    });
  }
  ~Greeter() {
    stop_ = true;
    thread_.join();
    close(fd_);
  }
  uint16_t port_ = 0;
  std::atomic<int> sessions_{0};

 private:
  static void Talk(int c) {
    auto say = [c](std::string_view s) { (void)!write(c, s.data(), s.size()); };
    say("220 greeter\r\n");
    char buf[512];
    for (int turns = 0; turns < 10; ++turns) {
      pollfd p{c, POLLIN, 0};
      ssize_t n = poll(&p, 1, 2000) > 0 ? read(c, buf, sizeof buf) : 0;
      if (n <= 0) return;
      if (std::string_view(buf, n).starts_with("QUIT")) return say("221 bye\r\n");
      say("250 ok\r\n");
    }
  }
  int fd_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

TEST_F(Routing, ConnectGoesDownTheListToTheFirstThatAnswers) {
  FakeDnsServer dns(Serve({}));
  Use(dns);
  Greeter greeter;
  uint16_t closed = static_cast<uint16_t>(std::stoi(ClosedPortEntry().substr(10)));
  _RoutingInfo info;
  info.Mx = {FabricateMxRecord(10, "greeter.test", greeter.port_, {IpV4(Addr("127.0.0.1"))}),
             FabricateMxRecord(7, "refusing.test", closed, {IpV4(Addr("127.0.0.1"))}),
             FabricateMxRecord(5, "nowhere.test", 0, {})};
  std::string error;
  _SmtpConnection *conn = ConnectToDomain(info, true, error);
  ASSERT_NE(conn, nullptr) << error;
  SmtpDisconnect(conn);
  EXPECT_EQ(info.Mx[2].Status, kMxUnresolved);   // its name did not resolve
  EXPECT_EQ(info.Mx[1].Status, kMxUsable);       // known, just not answering
  EXPECT_GE(info.LastTried, NowSeconds() - 5);
  EXPECT_EQ(greeter.sessions_, 1);
  info.Mx.erase(info.Mx.begin());   // only the refusing one is left
  EXPECT_EQ(ConnectToDomain(info, true, error), nullptr);
  EXPECT_FALSE(error.empty());
}

// Real attempts keep to MaxDeliveryThreads, and a failed attempt lets its
// domain wait instead of spinning.
TEST_F(Routing, RealAttemptsKeepToTheThreadLimit) {
  std::vector<std::string> domains = {"t1.test", "t2.test", "t3.test", "t4.test", "t5.test"};
  std::vector<Canned> zone;
  for (const std::string &d : domains) zone.push_back({d, kDnsTypeMX, {}, kServFail});
  FakeDnsServer server(Serve(zone, 100));   // slow enough for the threads to meet
  Use(server);
  MaxDeliveryThreads = 2;
  for (size_t i = 0; i < domains.size(); ++i)
    Queue(domains[i], "B000000040" + std::to_string(i), "x@" + domains[i]);
  UpdateDomainInfo();
  int most = 0;
  for (int i = 0; i < 500 && (i == 0 || DomainThreadsRunning() > 0); ++i) {
    CreateDomainThreads();   // as every work cycle does
    most = std::max(most, DomainThreadsRunning());
    Sleep(10);
  }
  ASSERT_EQ(DomainThreadsRunning(), 0);
  EXPECT_EQ(most, 2);
  EXPECT_EQ(server.UdpQueries(), 5);
  for (const auto &[name, state] : DomainListSnapshot()) EXPECT_EQ(state, kDomainWaiting) << name;
  for (const std::string &d : domains)
    EXPECT_NE(Slurp(Dir(d) + "/DOMAIN.MRI").find("Try-number: 1\r\n"), std::string::npos) << d;
  ASSERT_TRUE(FreeDomainList());
}

}  // namespace
