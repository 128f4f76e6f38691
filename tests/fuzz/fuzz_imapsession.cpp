// Fuzz target for the IMAP session's own parsers of untrusted text: the
// Date header's day that SEARCH's SENT keys read from a message file, and
// the logon command a session finds in its start record. Beyond not
// crashing: a day read comes from a year of at most four digits, so it
// lies within the years 0 to 9999; a logon command splits into a tag and a
// command that together are the input less one space.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "ZELIMAP/imapsearch.h"
#include "ZELIMAP/imapsession.h"

namespace {

// Days from 1970-01-01 to 0000-01-01 and to 10000-01-01 (proleptic).
constexpr int64_t kFirstDay = -719528;
constexpr int64_t kLastDay = 2932897;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  std::string_view in(reinterpret_cast<const char *>(data), size);
  int64_t days = 0;
  if (DateHeaderDay(in, days) && (days < kFirstDay || days > kLastDay)) std::abort();
  std::string tag, command;
  if (SplitLogonCommand(in, tag, command) &&
      (tag.empty() || command.empty() || tag.size() + command.size() + 1 != size))
    std::abort();
  return 0;
}
