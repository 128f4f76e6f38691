// Fuzz target: the profile (INI) reader on arbitrary file contents, asked
// for the control file's keys and for a section and key taken from the
// input itself. A value never spans lines, never exceeds the line bound,
// and the reader sees exactly the head of the text that its bound allows.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "platform/profile.h"

namespace {

void Check(std::string_view text, size_t maxBytes, std::string_view section, std::string_view key) {
  std::string value;
  if (!FindProfileValue(text, maxBytes, section, key, value)) return;
  if (value.find('\n') != std::string::npos) abort();
  if (value.size() > kMaxProfileLine) abort();
  // The bound reads exactly the head of the text.
  std::string again;
  if (!FindProfileValue(text.substr(0, maxBytes), SIZE_MAX, section, key, again) || again != value)
    abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  std::string_view text(reinterpret_cast<const char *>(data), size);
  static const char *const kKeys[][2] = {{"AutoReply", "EchoMessage"},
                                         {"AutoReply", "ReplyFrom"},
                                         {"AutoForward", "ForwardTo"},
                                         {"Delivery", "Discard"}};
  for (const auto &k : kKeys) {
    Check(text, text.size(), k[0], k[1]);
    Check(text, text.size() / 2, k[0], k[1]);
  }
  // The first line names a section and a key: "section key".
  std::string_view first = text.substr(0, text.find('\n'));
  size_t space = first.find(' ');
  if (space != std::string_view::npos)
    Check(text, text.size(), first.substr(0, space), first.substr(space + 1));
  return 0;
}
