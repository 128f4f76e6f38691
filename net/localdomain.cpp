// localdomain: see localdomain.h.
#include "net/localdomain.h"

#include <string>

#include "common/loadcfig.h"
#include "common/str.h"
#include "common/zel.h"
#include "net/localhost.h"
#include "platform/registry.h"

namespace {

// The list store's key and the value that names a list's own domain.
constexpr const char *kListsKeyPath = "Software\\TALVO\\ZEL\\Lists";
constexpr const char *kListDomainValueName = "Domain";
// A list's Domain value; a longer one is not a domain the lists use.
constexpr size_t kMaxListDomainText = 256;

}  // namespace

bool IsMailingListDomain(std::string_view domain) {
  if (domain.empty()) return false;
  RegKey lists;
  if (RegOpenKeyEx(HKEY_LOCAL_MACHINE, kListsKeyPath, KEY_READ, lists.out()) != ERROR_SUCCESS)
    return false;
  char name[kMaxRegKeyNameLength + 1];
  for (DWORD index = 0;; ++index) {
    DWORD cch = sizeof name;
    long rc = RegEnumKeyEx(lists.get(), index, name, &cch);
    if (rc == ERROR_MORE_DATA) continue;   // one odd key must not hide the others
    if (rc != ERROR_SUCCESS) break;
    RegKey list;
    if (RegOpenKeyEx(lists.get(), name, KEY_READ, list.out()) != ERROR_SUCCESS) continue;
    std::string listDomain;
    if (QueryRegString(list.get(), kListDomainValueName, kMaxListDomainText, listDomain) &&
        EqualsNoCase(listDomain, domain))
      return true;
  }
  return false;
}

bool IsLocalMailDomain(std::string_view domain) {
  if (domain.empty()) return false;
  for (const std::string &d : DomainNamesAreLocal)
    if (EqualsNoCase(domain, d)) return true;
  if (MatchLocalHostName(domain) != nullptr) return true;
  return IsMailingListDomain(domain);
}
