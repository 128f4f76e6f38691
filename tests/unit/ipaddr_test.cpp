// Addresses and networks of either family, as configuration gives them.
#include <gtest/gtest.h>

#include <sys/socket.h>

#include <cstring>

#include "platform/ipaddr.h"

TEST(IpAddr, ParseAndTextRoundTrip) {
  struct Case {
    const char *text;
    bool ok;
    const char *shown;
  } cases[] = {
      {"127.0.0.1", true, "127.0.0.1"},      {"::1", true, "::1"},
      {"2001:DB8::0:1", true, "2001:db8::1"}, {"::ffff:10.1.2.3", true, "10.1.2.3"},
      {"1.2.3", false, ""},                   {"01.2.3.4", false, ""},
      {" 1.2.3.4", false, ""},               {"1.2.3.4 ", false, ""},
      {"[::1]", false, ""},                   {"", false, ""},
      {"fe80::1%eth0", false, ""},
  };
  for (const Case &c : cases) {
    IpAddress a;
    EXPECT_EQ(ParseAddress(c.text, &a), c.ok) << c.text;
    if (c.ok) {
      EXPECT_EQ(AddressText(a), c.shown) << c.text;
    }
  }
  IpAddress a;
  EXPECT_FALSE(ParseAddress(std::string_view("1.2.3.4\0x", 9), &a));
}

TEST(IpAddr, NetworksMatchTheirFamilyOnly) {
  std::vector<std::string> bad;
  NetworkList list;
  ParseNetworkList({"127.0.0.0/8", "::1", "10.0.0.1/8", "2001:db8::/32", "1.2.3.4/33", "x",
                    "192.168.1.0/24", "::ffff:172.16.0.0/108"},
                   &list, &bad);
  EXPECT_EQ(bad, (std::vector<std::string>{"10.0.0.1/8", "1.2.3.4/33", "x"}));
  struct Case {
    const char *address;
    bool inside;
  } cases[] = {
      {"127.0.0.9", true},        {"::1", true},          {"::2", false},
      {"2001:db8:ffff::1", true}, {"2001:db9::1", false}, {"192.168.1.255", true},
      {"192.168.2.1", false},     {"::ffff:127.0.0.1", true}, {"172.31.255.255", true},
      {"172.32.0.0", false},
  };
  for (const Case &c : cases) {
    IpAddress a;
    ASSERT_TRUE(ParseAddress(c.address, &a)) << c.address;
    EXPECT_EQ(list.Contains(a), c.inside) << c.address;
  }
  IpNetwork all;
  ASSERT_TRUE(ParseNetwork("0.0.0.0/0", &all));
  IpAddress v6;
  ParseAddress("::1", &v6);
  EXPECT_FALSE(all.Contains(v6));
}

// The network an address is in: the bits behind the prefix cleared, the
// family kept; a prefix longer than the family keeps the address whole.
TEST(IpAddr, AddressPrefixClearsTheHostBits) {
  struct Case {
    const char *address;
    int length;
    const char *network;
  } cases[] = {
      {"2001:db8:1:2:aaaa:bbbb:cccc:dddd", 64, "2001:db8:1:2::"},
      {"2001:db8:1:2:aaaa:bbbb:cccc:dddd", 56, "2001:db8:1::"},
      {"2001:db8:1:2ff:1::", 60, "2001:db8:1:2f0::"},
      {"2001:db8::1", 128, "2001:db8::1"},
      {"2001:db8::1", 200, "2001:db8::1"},
      {"2001:db8::1", 0, "::"},
      {"192.0.2.77", 24, "192.0.2.0"},
      {"192.0.2.77", 64, "192.0.2.77"},
  };
  for (const Case &c : cases) {
    IpAddress a, want;
    ASSERT_TRUE(ParseAddress(c.address, &a));
    ASSERT_TRUE(ParseAddress(c.network, &want));
    EXPECT_EQ(AddressText(AddressPrefix(a, c.length)), AddressText(want)) << c.address;
  }
}

TEST(IpAddr, SockaddrRoundTripUnmapsIpv4) {
  IpAddress mapped, back;
  ASSERT_TRUE(ParseAddress("::ffff:1.2.3.4", &mapped));
  IpAddress v6 = mapped;
  v6.Family = AF_INET6;   // as a dual-stack socket reports it
  uint8_t raw[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff, 1, 2, 3, 4};
  std::memcpy(v6.Bytes, raw, 16);
  sockaddr_storage ss;
  ASSERT_NE(ToSockaddr(v6, 25, &ss), 0u);
  uint16_t port = 0;
  ASSERT_TRUE(FromSockaddr(reinterpret_cast<sockaddr *>(&ss), &back, &port));
  EXPECT_EQ(back, mapped);
  EXPECT_EQ(port, 25);
}
