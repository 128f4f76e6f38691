// Fuzzes the MTA-STS parsers: whatever a policy server or a TXT record
// holds, a policy that parses keeps its bounds (mode, max_age, mx lines),
// a record's id is 1 to 32 letters and digits, and a cache file that
// parses writes back to one that parses alike.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "ZELDELIV/mtasts.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  std::string_view text(reinterpret_cast<const char *>(data), size);
  MtaStsPolicy p;
  if (ParseMtaStsPolicy(text, kMaxMtaStsPolicyBytes, p)) {
    if (p.MaxAge > kMaxMtaStsMaxAge || p.Mx.size() > kMaxMtaStsMx) std::abort();
    if (p.Mode != MtaStsMode::kNone && p.Mx.empty()) std::abort();
    for (const std::string &mx : p.Mx) {
      if (mx.empty() || mx.size() > kMaxDnsNameTextLength) std::abort();
      (void)MtaStsMxMatches(text.substr(0, 64), mx);
    }
  }
  std::string id;
  if (ParseMtaStsRecord(text, id) && (id.empty() || id.size() > kMaxMtaStsId)) std::abort();
  // A cache file (the disk is the service's, but a damaged file is input
  // too): what parses has an id and writes back to a file that parses alike.
  MtaStsPolicy kept;
  if (ParseMtaStsCacheText(text, kept)) {
    if (kept.Id.empty() || kept.Id.size() > kMaxMtaStsId || kept.Expires < 0) std::abort();
    MtaStsPolicy again;
    size_t lf = text.find('\n');
    if (!ParseMtaStsCacheText(MtaStsCacheText(kept, text.substr(lf + 1)), again) ||
        again.Id != kept.Id || again.Expires != kept.Expires || again.Mx != kept.Mx)
      std::abort();
  }
  return 0;
}
