// Fuzz target: the event-log line parser on arbitrary lines. An accepted
// line's fields are views into the line itself, the identifier's low bits
// are the event number, and formatting the parsed fields again gives a line
// that parses to the same fields.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "platform/eventlog.h"

namespace {

bool Inside(std::string_view part, std::string_view whole) {
  return part.empty() ||
         (part.data() >= whole.data() && part.data() + part.size() <= whole.data() + whole.size());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  std::string_view line(reinterpret_cast<const char *>(data), size);
  EventLine e;
  if (!ParseEventLine(line, e)) return 0;
  if (line.size() > kMaxEventLine || !Inside(e.Time, line) || !Inside(e.Source, line) ||
      !Inside(e.Text, line) || e.Source.empty())
    abort();
  if (e.Type != EVENTLOG_ERROR_TYPE && e.Type != EVENTLOG_WARNING_TYPE &&
      e.Type != EVENTLOG_INFORMATION_TYPE)
    abort();
  // The writer folds line breaks and drops trailing blanks; a text without
  // them comes back the same.
  if (e.Text.find_first_of("\r\n") == std::string_view::npos && !e.Text.empty() &&
      e.Text.back() != ' ' && e.Source.find(' ') == std::string_view::npos) {
    std::string again = FormatEventLine(e.Source, e.Type, e.Id, e.Text);
    EventLine f;
    if (again.size() <= kMaxEventLine &&
        (!ParseEventLine(again, f) || f.Source != e.Source || f.Type != e.Type || f.Id != e.Id ||
         f.Text != e.Text))
      abort();
  }
  return 0;
}
