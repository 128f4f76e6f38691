// Fuzz target for FETCH's arguments. Beyond not crashing: the attributes,
// part numbers and field names stay within their bounds; a partial has a
// length; VANISHED comes only in UID FETCH with CHANGEDSINCE; and the name
// the response writer gives each attribute (one without a partial) parses
// back to the same item and section. The first byte picks UID FETCH.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "ZELIMAP/imapparsefetch.h"
#include "ZELIMAP/imapwrite.h"

namespace {

bool SameSection(const ImapSection &a, const ImapSection &b) {
  return a.Part == b.Part && a.Text == b.Text && a.Fields == b.Fields;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 1) return 0;
  bool uid = (data[0] & 1) != 0;
  std::string_view args(reinterpret_cast<const char *>(data) + 1, size - 1);
  ImapFetchArgs f;
  ImapError e;
  if (!ParseFetch(args, uid, f, e)) {
    if (e.Text.empty()) std::abort();
    return 0;
  }
  if (f.Atts.empty() || f.Atts.size() > kMaxFetchAtts + 2) std::abort();
  if (f.bVanished && (!uid || !f.bChangedSince)) std::abort();
  for (const ImapFetchAtt &att : f.Atts) {
    if (att.Section.Part.size() > kMaxSectionDepth || att.Section.Fields.size() > kMaxHeaderFields) std::abort();
    if (att.bPartial && att.Length == 0) std::abort();
    if (att.bPartial) continue;
    std::string request = "1 ";
    WriteFetchItemName(request, att, true);
    ImapFetchArgs back;
    if (!ParseFetch(request, false, back, e) || back.Atts.size() != 1 || back.Atts[0].Item != att.Item ||
        !SameSection(back.Atts[0].Section, att.Section))
      std::abort();
  }
  return 0;
}
