// ipaddr: IPv4 and IPv6 addresses and lists of networks in CIDR form.
//
// Callers: the network engine (listen addresses, peer and local addresses of
// connections), the receiver's relay policy (`RelayClients`), the POP3
// server's plaintext-logon policy, the SMTP client and the DNS client
// (exchanger and name server addresses).
//
// An IpAddress holds either family; an IPv4-mapped IPv6 address
// (::ffff:a.b.c.d, what a dual-stack listener reports for an IPv4 client)
// is kept as the IPv4 address it stands for, so that a client is the same
// client whichever socket it came through. Text is untrusted (configuration
// values, domain literals, name server entries): parsing is strict and
// bounded, and a failure leaves the output untouched.
//
// Pure values and functions; thread-safe.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

struct sockaddr;
struct sockaddr_storage;

// The longest address text accepted or produced (an IPv6 address with an
// embedded IPv4 tail is 45 characters).
constexpr size_t kMaxAddressText = 45;

struct IpAddress {
  int Family = 0;          // AF_INET, AF_INET6, or 0 for none
  uint8_t Bytes[16] = {};  // network order; IPv4 in the first 4 bytes

  bool IsV4() const;
  bool IsV6() const;
  bool Valid() const { return IsV4() || IsV6(); }
  // The IPv4 address in network order (0 for an IPv6 address).
  uint32_t V4() const;
  bool IsLoopback() const;
  bool IsAny() const;      // 0.0.0.0 or ::
  bool operator==(const IpAddress &o) const;
  bool operator!=(const IpAddress &o) const { return !(*this == o); }
};

IpAddress IpV4(uint32_t networkOrder);
IpAddress AnyAddress(int family);

// "a.b.c.d" or the RFC 5952 text of an IPv6 address ("::1").
std::string AddressText(const IpAddress &a);
// Strict: dotted decimal, or IPv6 text (with or without an IPv4 tail),
// nothing around it; IPv4-mapped IPv6 text gives the IPv4 address.
bool ParseAddress(std::string_view text, IpAddress *out);

// A domain literal as mail addresses carry it: "[a.b.c.d]", or
// "[IPv6:x::y]" (tag in any case, IPv6 text only), nothing around it.
bool ParseDomainLiteral(std::string_view text, IpAddress *out);
// The literal of an address: "[a.b.c.d]" or "[IPv6:x::y]".
std::string DomainLiteralText(const IpAddress &a);

// Socket addresses: the address and port of a sockaddr (false for other
// families), and the sockaddr of an address and port (its length).
bool FromSockaddr(const sockaddr *sa, IpAddress *address, uint16_t *port);
unsigned ToSockaddr(const IpAddress &address, uint16_t port, sockaddr_storage *out);

// The network of prefixLength bits that holds a: a with every bit behind
// the prefix cleared (a length beyond the family's bits keeps a whole). The
// servers count an IPv6 client by its network (a /64 is one subscriber).
IpAddress AddressPrefix(const IpAddress &a, int prefixLength);
// The IPv6 prefix one subscriber is given: the network that counts as one
// client unless configured otherwise.
constexpr int kSubscriberPrefixLengthV6 = 64;

// One network: an address and the length of its prefix.
struct IpNetwork {
  IpAddress Base;
  int PrefixLength = 0;
  bool Contains(const IpAddress &a) const;
};

// "a.b.c.d/n", "x::y/n", or an address alone (the whole length). Bits set
// behind the prefix are refused: "10.0.0.1/8" is more likely a typing
// mistake than a network.
bool ParseNetwork(std::string_view text, IpNetwork *out);

struct NetworkList {
  std::vector<IpNetwork> Networks;
  bool Contains(const IpAddress &a) const;
};

// Parses every entry of a list setting into out; the entries that do not
// parse are returned in bad (for the caller to report once) and left out.
void ParseNetworkList(const std::vector<std::string> &entries, NetworkList *out,
                      std::vector<std::string> *bad);
