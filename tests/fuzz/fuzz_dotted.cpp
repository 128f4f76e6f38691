// Fuzz target for ParseDottedAddress: dotted text comes from domain literals
// ("[a.b.c.d]") in mail addresses and from configuration. Beyond not
// crashing, an accepted text must be the address's one canonical form:
// formatting the parsed address gives the same text back.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "platform/sockets.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  std::string_view text(reinterpret_cast<const char *>(data), size);
  uint32_t addr = 0;
  if (ParseDottedAddress(text, &addr) && DottedAddress(addr) != text) std::abort();
  return 0;
}
