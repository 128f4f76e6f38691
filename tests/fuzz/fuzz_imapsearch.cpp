// Fuzz target for SEARCH's arguments. Beyond not crashing: the program is
// a tree within kMaxSearchNodes nodes and kMaxSearchDepth levels (every
// node reached once from the root, children made after their parent), OR
// has two children and NOT one, and every search string is UTF-8. The
// first byte picks the revision.
#include <cstdint>
#include <cstdlib>
#include <string_view>
#include <vector>

#include "ZELIMAP/imapparsesearch.h"
#include "ZELIMAP/imapparseutf7.h"

namespace {

void Walk(const ImapSearchProgram &p, uint32_t at, int depth, std::vector<char> &seen) {
  if (at >= p.Nodes.size() || seen[at] || depth > kMaxSearchDepth + 1) std::abort();
  seen[at] = 1;
  const ImapSearchNode &n = p.Nodes[at];
  if ((n.Key == ImapSearchKey::kOr && n.Children.size() != 2) ||
      (n.Key == ImapSearchKey::kNot && n.Children.size() != 1) || !IsUtf8(n.Value))
    std::abort();
  for (uint32_t c : n.Children) {
    if (c <= at) std::abort();
    Walk(p, c, depth + 1, seen);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 1) return 0;
  std::string_view args(reinterpret_cast<const char *>(data) + 1, size - 1);
  ImapSearchProgram p;
  ImapError e;
  if (!ParseSearch(args, (data[0] & 1) != 0, p, e)) return 0;
  if (p.Nodes.empty() || p.Nodes.size() > kMaxSearchNodes || p.Nodes[0].Children.empty()) std::abort();
  std::vector<char> seen(p.Nodes.size(), 0);
  Walk(p, 0, 0, seen);
  for (char s : seen)
    if (!s) std::abort();
  return 0;
}
