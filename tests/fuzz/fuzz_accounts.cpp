// Fuzzes the accounts file parser: every refusal names its reason, and
// whatever it accepts is written back by the formatter as a file that
// parses to the same identity and accounts.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "platform/accountsfile.h"

namespace {

bool Same(const AccountsData &a, const AccountsData &b) {
  if (a.computerName != b.computerName || a.domainName != b.domainName ||
      a.controllerName != b.controllerName || a.accounts.size() != b.accounts.size())
    return false;
  for (size_t i = 0; i < a.accounts.size(); ++i) {
    const AccountRecord &x = a.accounts[i], &y = b.accounts[i];
    if (x.kind != y.kind || x.domain != y.domain || x.name != y.name ||
        x.passwordHash != y.passwordHash || x.homeDirectory != y.homeDirectory)
      return false;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  std::string_view text(reinterpret_cast<const char *>(data), size);
  AccountsData parsed;
  std::string error;
  if (!ParseAccountsFile(text, kMaxAccountsFileBytes, "fuzz", parsed, error)) {
    if (error.compare(0, 5, "fuzz:") != 0) std::abort();  // every failure says where
    return 0;
  }
  AccountsData again;
  std::string out = FormatAccountsFile(parsed);
  if (!ParseAccountsFile(out, kMaxAccountsFileBytes * 2, "again", again, error) ||
      !Same(parsed, again))
    std::abort();
  return 0;
}
