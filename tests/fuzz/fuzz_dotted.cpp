// Fuzz target for the address parsers: dotted text comes from domain
// literals ("[a.b.c.d]") in mail addresses, address and network text from
// configuration (listen addresses, relay clients, name servers). Beyond not
// crashing: an accepted dotted text is the address's one canonical form,
// and a parsed network contains its own base address.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "platform/ipaddr.h"
#include "platform/sockets.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  std::string_view text(reinterpret_cast<const char *>(data), size);
  uint32_t addr = 0;
  if (ParseDottedAddress(text, &addr) && DottedAddress(addr) != text) std::abort();
  IpAddress a;
  if (ParseAddress(text, &a) && AddressText(a).empty()) std::abort();
  IpNetwork n;
  if (ParseNetwork(text, &n) && !n.Contains(n.Base)) std::abort();
  return 0;
}
