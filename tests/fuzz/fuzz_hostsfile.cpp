// Fuzzes the hosts-file reader: whatever the file holds, every entry it
// gives has a name and keeps the limits on names and aliases, and a lookup
// finds what the parse found.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "platform/hostres.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  std::string_view text(reinterpret_cast<const char *>(data), size);
  // A limit inside the input too, so the cut at maxBytes is exercised.
  for (size_t maxBytes : {size, size / 2}) {
    std::vector<HostsFileLine> lines = ParseHostsFile(text, maxBytes);
    for (const HostsFileLine &line : lines) {
      if (line.name.empty() || line.name.size() > kMaxHostNameLength ||
          line.aliases.size() > kMaxHostEntryAliases)
        std::abort();
      for (const std::string &alias : line.aliases)
        if (alias.empty() || alias.size() > kMaxHostNameLength) std::abort();
    }
    if (lines.empty()) continue;
    HostEntry entry;
    if (!FindHostsFileName(text, maxBytes, lines.front().name, entry) ||
        !FindHostsFileAddress(text, maxBytes, lines.front().address, entry))
      std::abort();
  }
  return 0;
}
