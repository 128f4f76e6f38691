// The local host table: how it is filled from the registry's Hostname and
// Domain, the interface addresses and what the hosts file or DNS call them,
// when it stays empty, and how domains are matched against it.
#include "net/localhost.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>

#include "platform/hostres.h"
#include "tests/unit/dnstest.h"

namespace {

using dnstest::Addr;

TEST(PartialDomainNameMatch, Table) {
  struct Case {
    const char *partial, *full;
    bool match;
  } cases[] = {
      {"mail.example.test", "mail.example.test", true},
      {"MAIL.Example.TEST", "mail.example.test", true},
      {"mail", "mail.example.test", true},
      {"mail.example", "mail.example.test", true},
      {"mai", "mail.example.test", false},          // not a whole label
      {"mail.ex", "mail.example.test", false},
      {"example.test", "mail.example.test", false}, // a trailing part is not enough
      {"mail.example.test.more", "mail.example.test", false},
      {"mail.", "mail.example.test", false},
      {"", "mail.example.test", false},
      {"", "", false},
  };
  for (const Case &c : cases)
    EXPECT_EQ(PartialDomainNameMatch(c.partial, c.full), c.match) << c.partial << " / " << c.full;
}

_IPInfo Entry(const char *address, const char *name, std::vector<std::string> aliases = {}) {
  _IPInfo e;
  e.IPAddr = Addr(address);
  e.Address = address;
  e.Name = name;
  e.Alias = std::move(aliases);
  return e;
}

_IPInfo Entry6(const char *address, const char *name) {
  _IPInfo e;
  EXPECT_TRUE(ParseAddress(address, &e.Ip));
  e.Address = address;
  e.Name = name;
  return e;
}

TEST(MatchLocalHostName, Table) {
  LocalHostIPInfo.Entries = {Entry("10.0.0.1", "one.example.test", {"alias.other.test"}),
                             Entry("10.0.0.2", "two.example.test"),
                             Entry6("fd00::2", "six.example.test")};
  struct Case {
    const char *domain;
    const char *want;   // null: no match
  } cases[] = {
      {"one.example.test", "one.example.test"},
      {"TWO", "two.example.test"},
      {"alias", "one.example.test"},
      {"alias.other.test", "one.example.test"},
      {"example.test", nullptr},
      {"three.example.test", nullptr},
      {"[10.0.0.2]", "two.example.test"},
      {"[10.0.0.1]", "one.example.test"},
      {"[10.0.0.10]", nullptr},   // not 10.0.0.1 followed by more digits
      {"[10.0.0.1", "one.example.test"},
      {"[10.0.0.3]", nullptr},
      {"[]", nullptr},
      {"", nullptr},
      {"[IPv6:fd00::2]", "six.example.test"},
      {"[ipv6:FD00:0:0::2]", "six.example.test"},   // any text of the address
      {"[IPv6:fd00::2", "six.example.test"},
      {"[IPv6:fd00::3]", nullptr},
      {"[IPv6:fd00::2]x", nullptr},
      {"[fd00::2]", nullptr},                       // IPv6 needs its tag
      {"[IPv6:::ffff:10.0.0.2]", "two.example.test"},
      {"[IPv6:10.0.0.2]", nullptr},                 // IPv4 needs no tag
      {"[IPv6:]", nullptr},
  };
  for (const Case &c : cases) {
    const char *got = MatchLocalHostName(c.domain);
    if (c.want == nullptr)
      EXPECT_EQ(got, nullptr) << c.domain;
    else
      EXPECT_STREQ(got, c.want) << c.domain;
  }
  LocalHostIPInfo.Entries.clear();
  EXPECT_EQ(MatchLocalHostName("one.example.test"), nullptr);
}

// Discovery of this host's names and addresses, against ResolverTest's
// scratch registry and hosts file.
class LocalHostTable : public dnstest::ResolverTest {
 protected:
  void SetUp() override {
    ResolverTest::SetUp();
    if (HasFatalFailure()) return;
    ASSERT_TRUE(GetLocalInterfaceAddresses(own_));
    ASSERT_FALSE(own_.empty());
  }
  void TearDown() override {
    ResolverTest::TearDown();
    LocalHostIPInfo.Entries.clear();
  }

  std::vector<uint32_t> own_;
};

// The IPv4 entries first, as ever, then the IPv6 ones, named with the host
// name; a connection's local address finds its entry either way.
TEST_F(LocalHostTable, NameFromHostnameAndDomain) {
  std::vector<IpAddress> own6;
  ASSERT_TRUE(GetLocalInterfaceAddresses6(own6));
  GetLocalHostIPInfo();
  ASSERT_EQ(LocalHostIPInfo.Entries.size(), std::min(own_.size() + own6.size(), kMaxLocalAddresses));
  for (size_t i = 0; i < LocalHostIPInfo.Entries.size(); ++i) {
    const _IPInfo &e = LocalHostIPInfo.Entries[i];
    IpAddress want = i < own_.size() ? IpV4(own_[i]) : own6[i - own_.size()];
    EXPECT_EQ(e.IPAddr, want.V4());
    EXPECT_EQ(EntryAddress(e), want);
    EXPECT_EQ(e.Address, AddressText(want));
    EXPECT_EQ(FindLocalAddress(want), &e);
    EXPECT_EQ(e.Name, "zeltest.example.test");
    EXPECT_TRUE(e.Alias.empty());
    EXPECT_LE(e.Address.size(), kMaxIPInfoAddress);
  }
  EXPECT_STREQ(MatchLocalHostName("zeltest"), "zeltest.example.test");
  std::string literal = "[" + LocalHostIPInfo.Entries[0].Address + "]";
  EXPECT_STREQ(MatchLocalHostName(literal), "zeltest.example.test");
  IpAddress loopback6;
  ASSERT_TRUE(ParseAddress("::1", &loopback6));
  if (std::find(own6.begin(), own6.end(), loopback6) != own6.end()) {
    EXPECT_STREQ(MatchLocalHostName("[IPv6:::1]"), "zeltest.example.test");
  }
}

TEST_F(LocalHostTable, EmptyWithoutADomain) {
  struct Case {
    std::string hostname, domain;
    bool empty;
  } cases[] = {
      {"zeltest", "", true},
      // Hostname "." Domain must fit gethostname's 128 bytes with the NUL.
      {"zeltest", std::string(119, 'd'), false},
      {"zeltest", std::string(120, 'd'), true},
      // A name that has a "." needs no domain.
      {"mail.example.test", "", false},
  };
  for (const Case &c : cases) {
    ASSERT_TRUE(dnstest::SetTcpip("Hostname", c.hostname));
    ASSERT_TRUE(dnstest::SetTcpip("Domain", c.domain));
    GetLocalHostIPInfo();
    EXPECT_EQ(LocalHostIPInfo.Entries.empty(), c.empty) << c.hostname << " / " << c.domain;
  }
  ASSERT_TRUE(dnstest::SetTcpip("Hostname", "zeltest"));
  ASSERT_TRUE(dnstest::SetTcpip("Domain", ""));
  testing::internal::CaptureStdout();
  DisplayIPAddress();
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "Cannot determine this computer's IP address\n");
}

TEST_F(LocalHostTable, AddressNamesReplaceTheHostName) {
  in_addr a;
  a.s_addr = own_[0];
  std::string first = inet_ntoa(a);
  std::string hosts = first + " mx.example.test smtp.example.test mail\n";
  if (own_.size() > 1) {
    a.s_addr = own_[1];
    hosts += std::string(inet_ntoa(a)) + " plainname alias2\n";   // no "." in the name
  }
  WriteHosts(hosts);
  GetLocalHostIPInfo();
  ASSERT_FALSE(LocalHostIPInfo.Entries.empty());
  const _IPInfo &e = LocalHostIPInfo.Entries[0];
  EXPECT_EQ(e.Name, "mx.example.test");
  EXPECT_EQ(e.Alias, (std::vector<std::string>{"smtp.example.test", "mail"}));
  if (own_.size() > 1) {
    EXPECT_EQ(LocalHostIPInfo.Entries[1].Name, "zeltest.example.test");
    EXPECT_EQ(LocalHostIPInfo.Entries[1].Alias, std::vector<std::string>{"alias2"});
  }
  EXPECT_STREQ(MatchLocalHostName("smtp"), "mx.example.test");

  testing::internal::CaptureStdout();
  DisplayIPAddress();
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(out.substr(0, out.find('\n') + 1),
            first + " mx.example.test smtp.example.test mail\n");
}

TEST_F(LocalHostTable, AddressNamesFromDns) {
  dnstest::FakeDnsServer server([](const std::string &query, bool) -> std::vector<std::string> {
    dnstest::Asked q;
    if (!dnstest::ReadQuery(query, q) || q.type != kDnsTypePTR) return {};
    return {dnstest::Reply(q, {{q.name, kDnsTypePTR, dnstest::WireName("dns.example.test")}})};
  });
  UseServer(server);
  GetLocalHostIPInfo();
  ASSERT_FALSE(LocalHostIPInfo.Entries.empty());
  // IPv6 addresses are not looked up: they keep the host name.
  for (const _IPInfo &e : LocalHostIPInfo.Entries)
    EXPECT_EQ(e.Name, EntryAddress(e).IsV4() ? "dns.example.test" : "zeltest.example.test");
}

}  // namespace
