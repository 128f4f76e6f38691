// Fuzzes the SRS checks on a stranger's local part: whatever arrives, a
// valid verdict comes only with a hash made under the secret, and what it
// hands back is a bounded address; forwarding any sender stays bounded.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "common/srs.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  std::string_view text(reinterpret_cast<const char *>(data), size);
  SrsSettings srs{"0123456789abcdef0123456789abcdef", "fwd.example"};
  constexpr long long kNow = 1700000000;
  std::string original;
  SrsVerdict v = SrsReverseAddress(srs, text, kNow, original);
  if (v != SrsVerdict::kValid && !original.empty()) std::abort();
  if (v == SrsVerdict::kValid && (original.empty() || original.size() > kMaxSrsAddress + 8))
    std::abort();
  std::string rewritten;
  if (SrsForwardAddress(srs, text, kNow, rewritten)) {
    if (rewritten.size() > kMaxSrsAddress) std::abort();
    std::string_view local = std::string_view(rewritten).substr(0, rewritten.rfind('@'));
    std::string back;
    // What this host wrote always checks out.
    if (SrsReverseAddress(srs, local, kNow, back) != SrsVerdict::kValid) std::abort();
  }
  return 0;
}
