// localhost: the table of this computer's addresses and names.
//
// Filled once by GetLocalHostIPInfo (the receiver's and the POP3 server's
// listening thread, the delivery agent's scanning thread, "-ipaddress") and
// only read afterwards. Shared by all three programs.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

constexpr size_t kMaxLocalAddresses = 50;   // entries of the table
constexpr size_t kMaxHostAliases = 10;      // aliases of one entry

struct _IPInfo {
  uint32_t IPAddr = 0;          // network order
  std::string Name;             // host name, at most 255 characters
  std::string Address;          // dotted-decimal text
  std::vector<std::string> Alias;
};

struct _LocalHostIPInfo {
  std::vector<_IPInfo> Entries;  // nAddresses == Entries.size()
};

extern _LocalHostIPInfo LocalHostIPInfo;

// Discovers this computer's addresses and names into LocalHostIPInfo.
void GetLocalHostIPInfo();

// "-ipaddress": prints the table, or that it is empty.
void DisplayIPAddress();
