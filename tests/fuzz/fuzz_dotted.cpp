// Fuzz target for the address parsers: dotted text comes from domain
// literals ("[a.b.c.d]") in mail addresses, address and network text from
// configuration (listen addresses, relay clients, name servers), and whole
// domains (HELO arguments, recipient domains, "[IPv6:...]" literals) are
// matched against the local host table. Beyond not crashing: an accepted
// dotted text is the address's one canonical form, a parsed network
// contains its own base address, and a match names an entry of the table.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "net/localhost.h"
#include "platform/ipaddr.h"
#include "platform/sockets.h"

namespace {

void FillTable() {
  _IPInfo v4;
  ParseDottedAddress("10.0.0.1", &v4.IPAddr);
  v4.Ip = IpV4(v4.IPAddr);
  v4.Address = "10.0.0.1";
  v4.Name = "one.example.test";
  v4.Alias = {"mail.example.test"};
  _IPInfo v6;
  ParseAddress("fd00::2", &v6.Ip);
  v6.Address = "fd00::2";
  v6.Name = "six.example.test";
  LocalHostIPInfo.Entries = {v4, v6};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  std::string_view text(reinterpret_cast<const char *>(data), size);
  uint32_t addr = 0;
  if (ParseDottedAddress(text, &addr) && DottedAddress(addr) != text) std::abort();
  IpAddress a;
  if (ParseAddress(text, &a) && AddressText(a).empty()) std::abort();
  IpNetwork n;
  if (ParseNetwork(text, &n) && !n.Contains(n.Base)) std::abort();
  static bool filled = (FillTable(), true);
  (void)filled;
  const char *name = MatchLocalHostName(text);
  if (name != nullptr && std::string_view(name) != "one.example.test" &&
      std::string_view(name) != "six.example.test")
    std::abort();
  return 0;
}
