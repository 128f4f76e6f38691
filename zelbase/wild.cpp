// wild: WildMatch, the "*" pattern match of alias masks and route domains.
//
// Policy, kept as the alias and route tables have always been read: letters
// compare without regard to (ASCII) case; each segment of the pattern after a
// "*" binds to its first occurrence in the rest of the text, without
// backtracking; once a segment is bound, the part of the pattern up to the
// next "*" must match the text there. Consequences that existing tables rely
// on: a prefix followed by "*" (or "**") matches every text with that prefix,
// and "*" followed by a suffix fails on a text where the suffix occurs twice.
#include <cstring>
#include <string_view>

#include "zelbase/zelbase.h"

#include "platform/ascii.h"
namespace {

constexpr char kWildcard = '*';

// Position of the first occurrence of needle in haystack, ignoring case.
size_t FindIgnoringCase(std::string_view haystack, std::string_view needle) {
  if (needle.size() > haystack.size()) return std::string_view::npos;
  for (size_t at = 0; at + needle.size() <= haystack.size(); ++at) {
    if (EqualsNoCase(haystack.substr(at, needle.size()), needle)) return at;
  }
  return std::string_view::npos;
}

bool MatchView(std::string_view text, std::string_view mask) {
  while (!text.empty()) {
    size_t star = mask.find(kWildcard);
    if (star == std::string_view::npos) return EqualsNoCase(text, mask);
    if (!EqualsNoCase(text.substr(0, star), mask.substr(0, star))) return false;
    std::string_view rest = mask.substr(star + 1);
    std::string_view segment = rest.substr(0, rest.find(kWildcard));
    if (segment.empty()) return true;  // "*" at the end, or "**"
    size_t found = FindIgnoringCase(text.substr(star), segment);
    if (found == std::string_view::npos) return false;
    text.remove_prefix(star + found);
    mask = rest;
  }
  return mask.empty() || mask == "*";
}

}  // namespace

extern "C" ZELBASE_API bool WildMatch(const char *text, const char *Mask) {
  if (text == nullptr || Mask == nullptr) return false;
  return MatchView(std::string_view(text, std::strlen(text)),
                   std::string_view(Mask, std::strlen(Mask)));
}
