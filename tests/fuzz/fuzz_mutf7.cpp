// Fuzz target for modified UTF-7 mailbox names, both ways: a name that
// decodes encodes back to the very bytes it came from, and a UTF-8 name
// that encodes decodes back to itself; what decodes is UTF-8 without a
// control character.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "ZELIMAP/imapparseutf7.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  std::string_view in(reinterpret_cast<const char *>(data), size);
  std::string utf8, wire;
  if (ModifiedUtf7ToUtf8(in, utf8)) {
    if (!IsUtf8(utf8) || HasAsciiControl(utf8)) std::abort();
    if (!Utf8ToModifiedUtf7(utf8, wire) || wire != in) std::abort();
  }
  if (Utf8ToModifiedUtf7(in, wire)) {
    if (!IsUtf8(in) || !ModifiedUtf7ToUtf8(wire, utf8) || utf8 != in) std::abort();
  }
  return 0;
}
