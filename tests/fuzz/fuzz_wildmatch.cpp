// Fuzz target for WildMatch: the text side comes from the network (local
// parts, domains), the pattern from the alias and route tables. The input is
// split at its first NUL into text and pattern. Beyond not crashing, a few
// laws must hold whatever the input: "*" matches everything, a text without
// "*" matches itself, and a text's own prefix followed by "*" matches it.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "zelbase/zelbase.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  std::string input(reinterpret_cast<const char *>(data), size);
  size_t nul = input.find('\0');
  std::string text = input.substr(0, nul);
  std::string mask = nul == std::string::npos ? std::string() : input.substr(nul + 1);
  mask = mask.substr(0, mask.find('\0'));
  (void)WildMatch(text.c_str(), mask.c_str());
  if (!WildMatch(text.c_str(), "*")) std::abort();
  if (text.find('*') == std::string::npos) {
    if (!WildMatch(text.c_str(), text.c_str())) std::abort();
    std::string prefix = text.substr(0, text.size() / 2) + "*";
    if (!WildMatch(text.c_str(), prefix.c_str())) std::abort();
  }
  return 0;
}
