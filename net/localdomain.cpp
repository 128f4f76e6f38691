// localdomain: see localdomain.h.
#include "net/localdomain.h"

#include <string>

#include "common/liststore.h"
#include "common/str.h"
#include "common/zel.h"
#include "net/localhost.h"
#include "platform/registry.h"

namespace {

// A list without a Domain of its own uses this host's name, which is local
// anyway; only the lists' own domains are looked for here.
bool IsMailingListDomain(std::string_view domain) {
  if (domain.empty()) return false;
  RegKey lists;
  if (OpenListsKey(false, lists) != ERROR_SUCCESS) return false;
  for (const std::string &name : ReadListNames(lists.get())) {
    RegKey list;
    if (!IsListKeyName(name) || OpenListKey(lists.get(), name.c_str(), list) != ERROR_SUCCESS)
      continue;
    std::string listDomain = ReadListSettings(list.get()).Domain;
    if (!listDomain.empty() && EqualsNoCase(listDomain, domain)) return true;
  }
  return false;
}

}  // namespace

bool IsLocalMailDomain(std::string_view domain) {
  if (domain.empty()) return false;
  for (const std::string &d : DomainNamesAreLocal)
    if (EqualsNoCase(domain, d)) return true;
  if (MatchLocalHostName(domain) != nullptr) return true;
  return IsMailingListDomain(domain);
}
