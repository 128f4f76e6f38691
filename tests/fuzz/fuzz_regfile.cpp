// Fuzzes the regedit file parser, and checks that whatever it accepts
// survives export and re-import unchanged (the formatter must never fail on
// parsed input, and the UTF-16 conversions must not lose a byte).
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "tools/zeladm/regfile.h"

namespace {

bool SameOps(const RegFile &a, const RegFile &b) {
  if (a.ops.size() != b.ops.size()) return false;
  for (size_t i = 0; i < a.ops.size(); ++i) {
    const RegFileOp &x = a.ops[i], &y = b.ops[i];
    if (x.kind != y.kind || a.keys[x.key] != b.keys[y.key] || x.name != y.name ||
        x.type != y.type || x.data != y.data)
      return false;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  std::string_view text(reinterpret_cast<const char *>(data), size);
  RegFile parsed;
  RegFileError err;
  if (!ParseRegFile(text, kMaxRegFileSize, parsed, err)) {
    if (err.message.empty()) std::abort();  // every failure says why
    return 0;
  }
  std::string out;
  if (!FormatRegFile(parsed, out, err)) std::abort();
  RegFile again;
  if (!ParseRegFile(out, kMaxRegFileSize * 2, again, err) || !SameOps(parsed, again)) std::abort();
  return 0;
}
