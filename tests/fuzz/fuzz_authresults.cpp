// Fuzz target for the Authentication-Results fields that come with a
// message: the input is the message text; the edits that remove ours and
// add the new field must read only inside it and leave a text that splits.
#include <cstdint>
#include <string>
#include <string_view>

#include "common/authcheck.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  std::string_view input(reinterpret_cast<const char *>(data), size);
  (void)AuthServIdOf(input);
  MilterEdits edits;
  std::string why, out;
  if (!AuthResultsEdits(MessageSource{input}, "mx.example", " mx.example; none", &edits, &why))
    return 0;
  ApplyMilterEdits(MessageSource{input}, {edits},
                   [&](std::string_view piece) { return out.append(piece), true; }, &why);
  return 0;
}
