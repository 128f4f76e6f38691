// Fuzz target for the delivery agent's Sieve memory files (".duplicate",
// ".vacation", ".filed"), which live in the user's directory and so are the user's
// text: remembering a key must keep it seen, bound the entries, and give a
// text that reads back the same way.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "ZELDELIV/sievedeliv.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  std::string_view input(reinterpret_cast<const char *>(data), size);
  (void)SieveMemorySeen(input, "k", 5);
  std::string once = SieveMemoryRemember(input, "key", 100, 10);
  if (!SieveMemorySeen(once, "key", 50) || SieveMemorySeen(once, "key", 100)) abort();
  size_t lines = 0;
  for (char c : once) lines += c == '\n';
  if (lines > kMaxSieveMemoryEntries) abort();
  if (SieveMemoryRemember(once, "key", 100, 10) != once) abort();
  if (SieveMemorySeen(SieveMemoryForget(once, "key"), "key", 50)) abort();
  return 0;
}
