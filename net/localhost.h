// localhost: the local host table shared by all three programs: this
// computer's addresses and names.
//
// Filled once by GetLocalHostIPInfo (the receiver's and the POP3 server's
// listening thread, the delivery agent's scanning thread, "-ipaddress") and
// only read afterwards: the thread that fills it does so before any thread
// that reads it starts or is released, and nothing writes it again.
//
// The table is built from this host's name (the Tcpip Hostname value, made
// whole with the Domain value when it has no "."), its interface addresses,
// and what the hosts file or DNS say of each IPv4 address (platform/hostres).
// The IPv4 entries come first, as they always have; the IPv6 addresses
// follow within the same bound, named with the host name (they are not
// looked up). Names matched against it (MatchLocalHostName) come from the
// network: a HELO argument, a recipient's domain, an exchanger's name.
//
// Failures leave the table empty; the callers report that this computer's
// address cannot be determined.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/ipaddr.h"

constexpr size_t kMaxLocalAddresses = 50;   // entries of the table
constexpr size_t kMaxHostAliases = 10;      // aliases of one entry
constexpr size_t kMaxIPInfoName = 255;      // Name: a 256-byte field
constexpr size_t kMaxIPInfoAddress = 63;    // Address: a 64-byte field
// gethostname's buffer and the joined Hostname "." Domain, NUL included.
constexpr size_t kLocalHostNameBuffer = 128;

struct _IPInfo {
  uint32_t IPAddr = 0;          // network order; 0 for an IPv6 entry
  IpAddress Ip;                 // the address of either family (IPAddr for IPv4)
  std::string Name;             // host name, at most kMaxIPInfoName characters
  std::string Address;          // dotted-decimal or IPv6 text
  std::vector<std::string> Alias;   // at most kMaxHostAliases
};

// The entry's address: Ip, or IPAddr for an entry that names only that.
IpAddress EntryAddress(const _IPInfo &entry);

// The entry of address, or null.
const _IPInfo *FindLocalAddress(const IpAddress &address);

struct _LocalHostIPInfo {
  std::vector<_IPInfo> Entries;  // nAddresses == Entries.size()
};

extern _LocalHostIPInfo LocalHostIPInfo;

// Discovers this computer's addresses and names into LocalHostIPInfo.
// Without askNameServers the names of the addresses come from the hosts
// file alone (the delivery agent's privileged side parses no DNS answer).
void GetLocalHostIPInfo(bool askNameServers = true);

// The registry's Hostname "." Domain, within kLocalHostNameBuffer bytes.
// False when either value is missing, Domain is empty, or the whole does not
// fit (a name is never cut).
bool GetHostNameFromRegistry(std::string &name);

// Is domain one of this computer's names? The Name of the first entry that
// matches, or null. A domain literal "[a.b.c.d]" matches the IPv4 entry of
// that address, "[IPv6:x::y]" the entry of that address (any IPv6 text that
// means it; an IPv4-mapped one means the IPv4 address); another domain
// matches an entry whose name or alias it equals or begins with up to a "."
// (case ignored). The result points into the table and stays valid while
// the table is not filled again.
const char *MatchLocalHostName(std::string_view domain);

// True when partial equals full, or is the leading part of full that ends
// just before a "." (whole labels only); ASCII case ignored. An empty partial
// never matches.
bool PartialDomainNameMatch(std::string_view partial, std::string_view full);

// "-ipaddress": prints the table, or that it is empty. Each program hands
// it to the service runtime as its DisplayAddresses hook (common/service.h).
void DisplayIPAddress();
