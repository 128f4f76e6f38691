// Fuzzes the resolv.conf reader behind the platform's Tcpip key: whatever the
// file holds, the answer stays within its limits.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "platform/registry.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  std::string_view text(reinterpret_cast<const char *>(data), size);
  ResolvConfInfo info = ParseResolvConf(text, size);
  // A domain of at most 253 characters and at most three IPv4 addresses.
  if (info.domain.size() > 253 || info.nameServers.size() > 3) std::abort();
  for (const std::string &ns : info.nameServers)
    if (ns.size() > 15 || ns.find_first_not_of("0123456789.") != std::string::npos) std::abort();
  return 0;
}
