// localhost: see localhost.h.
#include "ZELRECV/localhost.h"

#include <cstdio>

#include "common/service.h"

_LocalHostIPInfo LocalHostIPInfo;

void GetLocalHostIPInfo() {
  // Address discovery arrives with the network engine; until then the
  // table stays empty.
  LocalHostIPInfo.Entries.clear();
}

void DisplayIPAddress() {
  GetLocalHostIPInfo();
  if (LocalHostIPInfo.Entries.empty()) {
    printf("Cannot determine this computer's IP address\n");
    return;
  }
  for (const _IPInfo &e : LocalHostIPInfo.Entries) {
    printf("%s %s", e.Address.c_str(), e.Name.c_str());
    for (const std::string &alias : e.Alias) printf(" %s", alias.c_str());
    printf("\n");
  }
}
