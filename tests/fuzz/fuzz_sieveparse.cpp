// Fuzz target for the Sieve compile: the grammar, the command table and
// the includes. The input is a script; "include" finds two scripts of its
// own and the input itself under the name "self", so loops are reached.
// A refusal must carry a text, and a script that compiled must compile
// again the same way.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "common/sieve.h"

namespace {

void Check(bool ok) {
  if (!ok) abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  std::string_view text(reinterpret_cast<const char *>(data), size);
  SieveLimits limits;
  limits.MaxScriptBytes = 16 * 1024;
  SieveIncludeLoader loader = [&](SieveLocation where, std::string_view name, std::string *out) {
    if (name == "self") *out = text;
    else if (name == "a") *out = "require \"include\"; include \"b\";";
    else if (name == "b" && where == SieveLocation::Global) *out = "require \"include\"; include :global \"b\";";
    else if (name == "b") *out = "keep;";
    else return false;
    return true;
  };
  SieveScript script;
  SieveError error;
  bool ok = SieveCompile(text, limits, loader, &script, &error);
  Check(ok || !error.Text.empty());
  if (!ok) return 0;
  SieveScript again;
  Check(SieveCompile(text, limits, {}, &again, &error));
  return 0;
}
