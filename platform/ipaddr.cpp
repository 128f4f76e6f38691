// ipaddr: IPv4 and IPv6 addresses and CIDR networks.
#include "platform/ipaddr.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstring>

#include "platform/ascii.h"

namespace {

// A prefix length in decimal: at most three digits.
constexpr size_t kMaxPrefixDigits = 3;
constexpr uint8_t kMappedPrefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};

int FamilyBits(int family) { return family == AF_INET ? 32 : 128; }

// Turns an IPv4-mapped IPv6 address into the IPv4 address it stands for.
IpAddress Unmapped(const uint8_t bytes[16]) {
  IpAddress a;
  if (std::memcmp(bytes, kMappedPrefix, sizeof kMappedPrefix) == 0) {
    a.Family = AF_INET;
    std::memcpy(a.Bytes, bytes + 12, 4);
  } else {
    a.Family = AF_INET6;
    std::memcpy(a.Bytes, bytes, 16);
  }
  return a;
}

bool BitsMatch(const uint8_t *a, const uint8_t *b, int bits) {
  int whole = bits / 8;
  if (std::memcmp(a, b, whole) != 0) return false;
  int rest = bits % 8;
  if (rest == 0) return true;
  uint8_t mask = static_cast<uint8_t>(0xff << (8 - rest));
  return (a[whole] & mask) == (b[whole] & mask);
}

}  // namespace

bool IpAddress::IsV4() const { return Family == AF_INET; }
bool IpAddress::IsV6() const { return Family == AF_INET6; }

uint32_t IpAddress::V4() const {
  uint32_t v = 0;
  if (IsV4()) std::memcpy(&v, Bytes, 4);
  return v;
}

bool IpAddress::IsLoopback() const {
  if (IsV4()) return Bytes[0] == 127;
  static const uint8_t kLoopback6[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
  return IsV6() && std::memcmp(Bytes, kLoopback6, 16) == 0;
}

bool IpAddress::IsAny() const {
  static const uint8_t kZero[16] = {};
  return Valid() && std::memcmp(Bytes, kZero, IsV4() ? 4 : 16) == 0;
}

bool IpAddress::operator==(const IpAddress &o) const {
  return Family == o.Family && std::memcmp(Bytes, o.Bytes, sizeof Bytes) == 0;
}

IpAddress IpV4(uint32_t networkOrder) {
  IpAddress a;
  a.Family = AF_INET;
  std::memcpy(a.Bytes, &networkOrder, 4);
  return a;
}

IpAddress AnyAddress(int family) {
  IpAddress a;
  a.Family = family == AF_INET6 ? AF_INET6 : AF_INET;
  return a;
}

std::string AddressText(const IpAddress &a) {
  char text[INET6_ADDRSTRLEN] = {};
  if (!a.Valid() || inet_ntop(a.Family, a.Bytes, text, sizeof text) == nullptr) return "";
  return text;
}

bool ParseAddress(std::string_view text, IpAddress *out) {
  // inet_pton reads up to a NUL: one inside the view would hide a tail.
  if (text.empty() || text.size() > kMaxAddressText || text.find('\0') != std::string_view::npos)
    return false;
  char copy[kMaxAddressText + 1];
  std::memcpy(copy, text.data(), text.size());
  copy[text.size()] = '\0';
  uint8_t bytes[16] = {};
  if (inet_pton(AF_INET, copy, bytes) == 1) {
    IpAddress a;
    a.Family = AF_INET;
    std::memcpy(a.Bytes, bytes, 4);
    *out = a;
    return true;
  }
  if (inet_pton(AF_INET6, copy, bytes) != 1) return false;
  *out = Unmapped(bytes);
  return true;
}

bool ParseDomainLiteral(std::string_view text, IpAddress *out) {
  constexpr std::string_view kTag = "IPv6:";
  if (text.size() < 3 || text.front() != '[' || text.back() != ']') return false;
  text = text.substr(1, text.size() - 2);
  bool tagged = StartsWithNoCase(text, kTag);
  if (tagged) text.remove_prefix(kTag.size());
  // "[IPv6:10.0.0.1]" is no way to write an IPv4 address, nor "[::1]" an
  // IPv6 one.
  if (tagged != (text.find(':') != std::string_view::npos)) return false;
  IpAddress a;
  if (!ParseAddress(text, &a)) return false;
  *out = a;
  return true;
}

std::string DomainLiteralText(const IpAddress &a) {
  return a.IsV6() ? "[IPv6:" + AddressText(a) + "]" : "[" + AddressText(a) + "]";
}

bool FromSockaddr(const sockaddr *sa, IpAddress *address, uint16_t *port) {
  if (sa == nullptr) return false;
  if (sa->sa_family == AF_INET) {
    const auto *in = reinterpret_cast<const sockaddr_in *>(sa);
    *address = IpV4(in->sin_addr.s_addr);
    if (port != nullptr) *port = ntohs(in->sin_port);
    return true;
  }
  if (sa->sa_family != AF_INET6) return false;
  const auto *in6 = reinterpret_cast<const sockaddr_in6 *>(sa);
  *address = Unmapped(in6->sin6_addr.s6_addr);
  if (port != nullptr) *port = ntohs(in6->sin6_port);
  return true;
}

unsigned ToSockaddr(const IpAddress &address, uint16_t port, sockaddr_storage *out) {
  std::memset(out, 0, sizeof *out);
  if (address.IsV4()) {
    auto *in = reinterpret_cast<sockaddr_in *>(out);
    in->sin_family = AF_INET;
    in->sin_port = htons(port);
    std::memcpy(&in->sin_addr, address.Bytes, 4);
    return sizeof(sockaddr_in);
  }
  if (!address.IsV6()) return 0;
  auto *in6 = reinterpret_cast<sockaddr_in6 *>(out);
  in6->sin6_family = AF_INET6;
  in6->sin6_port = htons(port);
  std::memcpy(&in6->sin6_addr, address.Bytes, 16);
  return sizeof(sockaddr_in6);
}

IpAddress AddressPrefix(const IpAddress &a, int prefixLength) {
  IpAddress out = a;
  int bits = FamilyBits(a.Family);
  if (prefixLength < 0) prefixLength = 0;
  for (int bit = prefixLength; bit < bits; ++bit)
    out.Bytes[bit / 8] &= static_cast<uint8_t>(~(0x80u >> (bit % 8)));
  return out;
}

bool IpNetwork::Contains(const IpAddress &a) const {
  return a.Family == Base.Family && BitsMatch(a.Bytes, Base.Bytes, PrefixLength);
}

bool ParseNetwork(std::string_view text, IpNetwork *out) {
  IpNetwork n;
  size_t slash = text.find('/');
  if (!ParseAddress(text.substr(0, slash), &n.Base)) return false;
  n.PrefixLength = FamilyBits(n.Base.Family);
  if (slash != std::string_view::npos) {
    std::string_view digits = text.substr(slash + 1);
    if (digits.empty() || digits.size() > kMaxPrefixDigits) return false;
    int length = 0;
    for (char c : digits) {
      if (c < '0' || c > '9') return false;
      length = length * 10 + (c - '0');
    }
    bool v6Text = text.substr(0, slash).find(':') != std::string_view::npos;
    if (length > FamilyBits(v6Text ? AF_INET6 : AF_INET)) return false;
    // An IPv4-mapped network written in IPv6 form counts in IPv4 bits.
    if (n.Base.IsV4() && v6Text) {
      if (length < 96) return false;
      length -= 96;
    }
    n.PrefixLength = length;
  }
  IpAddress masked;
  masked.Family = n.Base.Family;
  for (int i = 0; i < n.PrefixLength; ++i)
    if (n.Base.Bytes[i / 8] & (0x80 >> (i % 8))) masked.Bytes[i / 8] |= static_cast<uint8_t>(0x80 >> (i % 8));
  if (masked != n.Base) return false;
  *out = n;
  return true;
}

bool NetworkList::Contains(const IpAddress &a) const {
  for (const IpNetwork &n : Networks)
    if (n.Contains(a)) return true;
  return false;
}

void ParseNetworkList(const std::vector<std::string> &entries, NetworkList *out,
                      std::vector<std::string> *bad) {
  out->Networks.clear();
  for (const std::string &entry : entries) {
    IpNetwork n;
    if (ParseNetwork(entry, &n))
      out->Networks.push_back(n);
    else if (bad != nullptr)
      bad->push_back(entry);
  }
}
