// localhost: see localhost.h.
#include "net/localhost.h"

#include <cstdio>

#include "platform/ascii.h"
#include "platform/dnsclient.h"
#include "platform/hostres.h"

_LocalHostIPInfo LocalHostIPInfo;

namespace {

// Step 1: the host name as gethostname gives it into its buffer (a longer
// name fails, it is not cut) and the host entry of that name.
bool LocalHostEntry(std::string &name, HostEntry &entry) {
  if (!ZelGetHostName(name) || name.size() + 1 > kLocalHostNameBuffer) return false;
  return ZelGetHostByName(name, entry) == ERROR_SUCCESS;
}

// Step 4: what the hosts file or DNS call the address. A name with a "."
// replaces the entry's name; the aliases come along.
void NameFromAddress(_IPInfo &info, bool askNameServers) {
  HostEntry byAddr;
  long rc = askNameServers ? ZelGetHostByAddr(info.IPAddr, byAddr)
                           : ZelGetHostByAddrFromHostsFile(info.IPAddr, byAddr);
  if (rc != ERROR_SUCCESS) return;
  if (byAddr.name.find('.') != std::string::npos)
    info.Name = byAddr.name.substr(0, kMaxIPInfoName);
  info.Alias.clear();
  for (const std::string &alias : byAddr.aliases) {
    if (info.Alias.size() == kMaxHostAliases) break;
    info.Alias.push_back(alias.substr(0, kMaxIPInfoName));
  }
}

// "[a.b.c.d]" names the IPv4 entry of that address. The address must be
// followed by "]" (or end the text): "[10.0.0.10]" is not 10.0.0.1.
bool MatchDomainLiteral(std::string_view domain, const _IPInfo &entry) {
  std::string_view inner = domain.substr(1);
  if (entry.Address.empty() || !EntryAddress(entry).IsV4() ||
      inner.substr(0, entry.Address.size()) != entry.Address)
    return false;
  inner.remove_prefix(entry.Address.size());
  return inner.empty() || inner.front() == ']';
}

constexpr std::string_view kIPv6Tag = "IPv6:";

// The address of an "[IPv6:...]" literal (the "]" may be missing, as with
// the IPv4 form); false for any other domain.
bool ParseIPv6Literal(std::string_view domain, IpAddress *address) {
  if (domain.size() < 1 + kIPv6Tag.size() || domain.front() != '[' ||
      !EqualsNoCase(domain.substr(1, kIPv6Tag.size()), kIPv6Tag))
    return false;
  std::string_view text = domain.substr(1 + kIPv6Tag.size());
  if (!text.empty() && text.back() == ']') text.remove_suffix(1);
  // IPv6 text only: "[IPv6:10.0.0.1]" is no way to write an IPv4 address.
  return text.find(':') != std::string_view::npos && ParseAddress(text, address);
}

bool MatchEntryNames(std::string_view domain, const _IPInfo &entry) {
  if (PartialDomainNameMatch(domain, entry.Name)) return true;
  for (const std::string &alias : entry.Alias)
    if (PartialDomainNameMatch(domain, alias)) return true;
  return false;
}

}  // namespace

bool GetHostNameFromRegistry(std::string &name) {
  std::string host, domain;
  if (ReadTcpipParameter("Hostname", kLocalHostNameBuffer - 1, host) != ERROR_SUCCESS ||
      ReadTcpipParameter("Domain", kLocalHostNameBuffer - 1, domain) != ERROR_SUCCESS ||
      host.empty() || domain.empty())
    return false;
  if (host.size() + 1 + domain.size() + 1 > kLocalHostNameBuffer) return false;
  name = host + "." + domain;
  return true;
}

IpAddress EntryAddress(const _IPInfo &entry) {
  return entry.Ip.Valid() ? entry.Ip : IpV4(entry.IPAddr);
}

const _IPInfo *FindLocalAddress(const IpAddress &address) {
  for (const _IPInfo &entry : LocalHostIPInfo.Entries)
    if (EntryAddress(entry) == address) return &entry;
  return nullptr;
}

void GetLocalHostIPInfo(bool askNameServers) {
  // Built aside and put in place whole, so the table is never half filled.
  _LocalHostIPInfo table;
  std::string name;
  HostEntry entry;
  if (LocalHostEntry(name, entry) &&
      (name.find('.') != std::string::npos || GetHostNameFromRegistry(name))) {
    for (uint32_t address : entry.addresses) {
      if (table.Entries.size() == kMaxLocalAddresses) break;
      _IPInfo info;
      info.IPAddr = address;
      info.Ip = IpV4(address);
      info.Address = AddressText(info.Ip).substr(0, kMaxIPInfoAddress);
      info.Name = name.substr(0, kMaxIPInfoName);
      table.Entries.push_back(std::move(info));
    }
    for (_IPInfo &info : table.Entries) NameFromAddress(info, askNameServers);
    std::vector<IpAddress> v6;
    (void)GetLocalInterfaceAddresses6(v6);
    for (const IpAddress &address : v6) {
      if (table.Entries.size() == kMaxLocalAddresses) break;
      _IPInfo info;
      info.Ip = address;
      info.Address = AddressText(address).substr(0, kMaxIPInfoAddress);
      info.Name = name.substr(0, kMaxIPInfoName);
      table.Entries.push_back(std::move(info));
    }
  }
  LocalHostIPInfo = std::move(table);
}

bool PartialDomainNameMatch(std::string_view partial, std::string_view full) {
  if (partial.empty() || partial.size() > full.size()) return false;
  if (!EqualsNoCase(partial, full.substr(0, partial.size()))) return false;
  return partial.size() == full.size() || full[partial.size()] == '.';
}

const char *MatchLocalHostName(std::string_view domain) {
  IpAddress literal;
  if (ParseIPv6Literal(domain, &literal)) {
    const _IPInfo *entry = FindLocalAddress(literal);
    return entry != nullptr ? entry->Name.c_str() : nullptr;
  }
  for (const _IPInfo &entry : LocalHostIPInfo.Entries) {
    bool match = !domain.empty() && domain.front() == '['
                     ? MatchDomainLiteral(domain, entry)
                     : MatchEntryNames(domain, entry);
    if (match) return entry.Name.c_str();
  }
  return nullptr;
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
