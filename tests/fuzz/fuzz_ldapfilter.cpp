// Fuzz target for the directory's filter building: the user name and the
// address come from the network, the template from the registry. Beyond
// not crashing: an expansion stays within kMaxLdapFilter, and an escaped
// value holds no byte that could end or start a filter element (every
// "(", ")", "*", "\" and NUL of the input is gone), so a stranger's text
// never changes the filter's structure.
#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "platform/ldapdir.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  std::string_view in(reinterpret_cast<const char *>(data), size);
  // Three fields split at the first two 0xff bytes: template, user, address.
  size_t a = in.find('\xff');
  size_t b = a == std::string_view::npos ? a : in.find('\xff', a + 1);
  std::string_view tmpl = in.substr(0, a);
  std::string_view user = a == std::string_view::npos ? "" : in.substr(a + 1, b - a - 1);
  std::string_view address = b == std::string_view::npos ? "" : in.substr(b + 1);

  std::string escaped = EscapeLdapFilterValue(user);
  if (escaped.find_first_of(std::string_view("()*\0", 4)) != std::string::npos) abort();
  // Each "\" starts a two-digit hex escape.
  for (size_t i = escaped.find('\\'); i != std::string::npos; i = escaped.find('\\', i + 3))
    if (i + 2 >= escaped.size() || !isxdigit(static_cast<unsigned char>(escaped[i + 1])) ||
        !isxdigit(static_cast<unsigned char>(escaped[i + 2])))
      abort();

  std::string filter, why;
  if (ExpandLdapFilter(tmpl, user, address, filter, why) && filter.size() > kMaxLdapFilter)
    abort();
  LdapSettings settings;
  settings.UserFilter = std::string(tmpl);
  if (LookupFilter(settings, user, address, filter, why) && filter.size() > kMaxLdapFilter)
    abort();
  return 0;
}
