// Fuzzes the readers of name server configuration: the resolv.conf reader
// behind the platform's Tcpip key and the NameServer value's list. Whatever
// the text holds, the answer stays within its limits, and every server
// listed reads back as itself from its own text.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "platform/dnsclient.h"
#include "platform/registry.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  std::string_view text(reinterpret_cast<const char *>(data), size);
  ResolvConfInfo info = ParseResolvConf(text, size);
  // A domain of at most 253 characters and at most three IPv4 addresses.
  if (info.domain.size() > 253 || info.nameServers.size() > 3) std::abort();
  for (const std::string &ns : info.nameServers)
    if (ns.size() > 15 || ns.find_first_not_of("0123456789.") != std::string::npos) std::abort();
  std::vector<DnsServerAddress> servers = ParseNameServerList(text, size, kMaxDnsServers);
  if (servers.size() > kMaxDnsServers) std::abort();
  for (const DnsServerAddress &s : servers) {
    if (!s.address.Valid() || s.address.IsAny() || s.port == 0) std::abort();
    std::vector<DnsServerAddress> again = ParseNameServerList(NameServerText(s), 100, 1);
    if (again.size() != 1 || !(again[0] == s)) std::abort();
  }
  return 0;
}
