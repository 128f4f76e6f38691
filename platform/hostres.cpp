// hostres: see hostres.h.
#include "platform/hostres.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <mutex>

#include "platform/ascii.h"
#include "platform/dnsclient.h"
#include "platform/dnswire.h"
#include "platform/files.h"
#include "platform/fileview.h"

namespace {

// A Domain value longer than a domain name can be is not used.
constexpr size_t kMaxDomainValueBytes = kMaxDnsNameTextLength;
// Aliases (CNAME records) followed within one answer. Servers send the
// whole chain; real chains are two or three long.
constexpr size_t kMaxCnameChain = 8;

std::mutex g_HostsPathMutex;
std::string g_HostsPath = kHostsFilePath;

std::string HostsFilePath() {
  std::lock_guard<std::mutex> lock(g_HostsPathMutex);
  return g_HostsPath;
}

// ---- The hosts file.

// A host name as a hosts file or a name server may give one: printable
// ASCII without blanks or "\" (an escaped DNS label is no host name).
bool IsPlainHostName(std::string_view name) {
  if (name.empty() || name.size() > kMaxHostNameLength) return false;
  for (char c : name)
    if (c <= ' ' || c >= 0x7F || c == '\\') return false;
  return true;
}

std::vector<std::string_view> Words(std::string_view line) {
  std::vector<std::string_view> words;
  constexpr std::string_view kBlanks = " \t\r";
  while (true) {
    size_t b = line.find_first_not_of(kBlanks);
    if (b == std::string_view::npos) break;
    line.remove_prefix(b);
    size_t e = std::min(line.find_first_of(kBlanks), line.size());
    words.push_back(line.substr(0, e));
    line.remove_prefix(e);
  }
  return words;
}

bool ParseIpv4(std::string_view text, uint32_t &address) {
  if (text.empty() || text.size() > 15 || text.find('\0') != std::string_view::npos) return false;
  std::string s(text);
  in_addr a;
  if (inet_pton(AF_INET, s.c_str(), &a) != 1) return false;
  address = a.s_addr;
  return true;
}

// One line without its line end; false when it holds no usable entry.
bool ParseHostsLine(std::string_view line, HostsFileLine &out) {
  line = line.substr(0, line.find('#'));
  std::vector<std::string_view> words = Words(line);
  if (words.size() < 2 || !ParseIpv4(words[0], out.address)) return false;
  out.name.clear();
  out.aliases.clear();
  for (size_t i = 1; i < words.size(); ++i) {
    if (!IsPlainHostName(words[i])) continue;
    if (out.name.empty())
      out.name.assign(words[i]);
    else if (out.aliases.size() < kMaxHostEntryAliases)
      out.aliases.emplace_back(words[i]);
  }
  return !out.name.empty();
}

// Calls visit for every usable line until it returns true; true then.
template <typename Visit>
bool ScanHostsFile(std::string_view text, size_t maxBytes, Visit visit) {
  // A text cut at maxBytes loses its last, partial line: a name cut short
  // would name another host.
  if (text.size() > maxBytes) {
    text = text.substr(0, maxBytes);
    text = text.substr(0, text.rfind('\n') == std::string_view::npos ? 0 : text.rfind('\n'));
  }
  while (!text.empty()) {
    size_t end = std::min(text.find('\n'), text.size());
    std::string_view line = text.substr(0, end);
    text.remove_prefix(std::min(end + 1, text.size()));
    HostsFileLine parsed;
    if (line.size() <= kMaxHostsLineLength && ParseHostsLine(line, parsed) && visit(parsed))
      return true;
  }
  return false;
}

HostEntry EntryFromLine(const HostsFileLine &line) {
  HostEntry entry;
  entry.name = line.name;
  entry.aliases = line.aliases;
  entry.addresses.push_back(line.address);
  return entry;
}

// The file's first kMaxHostsFileBytes and one byte more, which tells the
// parser that the file goes on; "" when it cannot be read.
std::string ReadHostsFile() {
  std::string text;
  UniqueFd fd(open(HostsFilePath().c_str(), O_RDONLY | O_CLOEXEC));
  // What was read before an error is used, as far as it goes.
  if (fd.Valid()) ReadUpTo(fd.Get(), kMaxHostsFileBytes, text);
  return text;
}

// ---- This host.

bool IsOwnName(std::string_view name) {
  std::string host, domain;
  if (!ZelGetHostName(host)) return false;
  if (EqualsNoCase(name, host)) return true;
  if (ReadTcpipParameter("Domain", kMaxDomainValueBytes, domain) != ERROR_SUCCESS ||
      domain.empty())
    return false;
  return EqualsNoCase(name, host + "." + domain);
}

void AddUnique(std::vector<uint32_t> &list, uint32_t address) {
  if (std::find(list.begin(), list.end(), address) == list.end()) list.push_back(address);
}

// ---- DNS.

long RcodeError(const DnsMessage &msg) {
  if (msg.header.rcode == kDnsRcodeNoError) return ERROR_SUCCESS;
  if (msg.header.rcode == kDnsRcodeNxDomain) return ERROR_FILE_NOT_FOUND;
  return ERROR_HOST_TRY_AGAIN;
}

// Follows the CNAME records of the answer from name; the names left behind
// become aliases. Returns the canonical name.
std::string FollowAliases(const DnsMessage &msg, std::string name,
                          std::vector<std::string> *aliases) {
  for (size_t hop = 0; hop < kMaxCnameChain; ++hop) {
    auto it = std::find_if(msg.answers.begin(), msg.answers.end(), [&](const DnsRecord &r) {
      return r.type == kDnsTypeCNAME && r.cls == kDnsClassIN && DnsNamesEqual(r.name, name);
    });
    if (it == msg.answers.end()) break;
    if (aliases != nullptr && aliases->size() < kMaxHostEntryAliases) aliases->push_back(name);
    name = it->target;
  }
  return name;
}

// Asks for the records of name and checks the answer's RCODE.
long Ask(std::string_view name, uint16_t type, DnsMessage &msg) {
  std::vector<DnsServerAddress> servers;
  long rc = ReadNameServerList(servers);
  if (rc != ERROR_SUCCESS) return rc;
  DnsAnswer answer;
  rc = DnsQuery(servers, name, type, DnsQueryOptions(), answer);
  if (rc != ERROR_SUCCESS) return rc;
  msg = std::move(answer.message);
  return RcodeError(msg);
}

// What an answer without the records sought means: none exist, unless the
// answer was cut before them.
long Empty(const DnsMessage &msg) {
  return msg.header.tc ? ERROR_HOST_TRY_AGAIN : ERROR_FILE_NOT_FOUND;
}

long LookupAddressRecords(std::string_view name, HostEntry &entry) {
  DnsMessage msg;
  long rc = Ask(name, kDnsTypeA, msg);
  if (rc != ERROR_SUCCESS) return rc;
  HostEntry found;
  found.name = FollowAliases(msg, NormalizeDnsName(name), &found.aliases);
  for (const DnsRecord &r : msg.answers)
    if (r.type == kDnsTypeA && r.cls == kDnsClassIN && DnsNamesEqual(r.name, found.name) &&
        found.addresses.size() < kMaxHostEntryAddresses)
      AddUnique(found.addresses, r.address);
  if (found.addresses.empty() || !IsPlainHostName(found.name)) return Empty(msg);
  entry = std::move(found);
  return ERROR_SUCCESS;
}

long LookupPointerRecords(uint32_t address, HostEntry &entry) {
  DnsMessage msg;
  std::string reverse = ReverseLookupName(address);
  long rc = Ask(reverse, kDnsTypePTR, msg);
  if (rc != ERROR_SUCCESS) return rc;
  // Classless reverse zones (RFC 2317) answer through a CNAME.
  std::string owner = FollowAliases(msg, reverse, nullptr);
  HostEntry found;
  for (const DnsRecord &r : msg.answers) {
    if (r.type != kDnsTypePTR || r.cls != kDnsClassIN || !DnsNamesEqual(r.name, owner) ||
        !IsPlainHostName(r.target))
      continue;
    if (found.name.empty())
      found.name = r.target;
    else if (found.aliases.size() < kMaxHostEntryAliases)
      found.aliases.push_back(r.target);
  }
  if (found.name.empty()) return Empty(msg);
  found.addresses.push_back(address);
  entry = std::move(found);
  return ERROR_SUCCESS;
}

// The names asked of DNS: a name without "." is tried with the Domain value
// first, as the system's own names are.
std::vector<std::string> DnsCandidates(std::string_view name) {
  std::vector<std::string> names;
  std::string domain;
  if (name.find('.') == std::string_view::npos &&
      ReadTcpipParameter("Domain", kMaxDomainValueBytes, domain) == ERROR_SUCCESS &&
      !domain.empty())
    names.push_back(std::string(name) + "." + domain);
  names.emplace_back(name);
  return names;
}

long LookupByDns(std::string_view name, HostEntry &entry) {
  long result = ERROR_FILE_NOT_FOUND;
  for (const std::string &candidate : DnsCandidates(name)) {
    long rc = LookupAddressRecords(candidate, entry);
    if (rc == ERROR_SUCCESS) return rc;
    // "Not found" for one form must not hide a failure to learn about another.
    if (result == ERROR_FILE_NOT_FOUND) result = rc;
  }
  return result;
}

}  // namespace

std::vector<HostsFileLine> ParseHostsFile(std::string_view text, size_t maxBytes) {
  std::vector<HostsFileLine> lines;
  ScanHostsFile(text, maxBytes, [&](HostsFileLine &line) {
    lines.push_back(std::move(line));
    return false;
  });
  return lines;
}

bool FindHostsFileName(std::string_view text, size_t maxBytes, std::string_view name,
                       HostEntry &entry) {
  return ScanHostsFile(text, maxBytes, [&](const HostsFileLine &line) {
    bool match = EqualsNoCase(line.name, name) ||
                 std::any_of(line.aliases.begin(), line.aliases.end(),
                             [&](const std::string &a) { return EqualsNoCase(a, name); });
    if (match) entry = EntryFromLine(line);
    return match;
  });
}

bool FindHostsFileAddress(std::string_view text, size_t maxBytes, uint32_t address,
                          HostEntry &entry) {
  return ScanHostsFile(text, maxBytes, [&](const HostsFileLine &line) {
    if (line.address == address) entry = EntryFromLine(line);
    return line.address == address;
  });
}

bool ZelGetHostName(std::string &name) {
  return ReadTcpipParameter("Hostname", kMaxHostNameLength, name) == ERROR_SUCCESS &&
         !name.empty();
}

bool GetLocalInterfaceAddresses(std::vector<uint32_t> &addresses) {
  addresses.clear();
  ifaddrs *list = nullptr;
  if (getifaddrs(&list) != 0) return false;
  std::vector<uint32_t> loopback;
  for (ifaddrs *i = list; i != nullptr; i = i->ifa_next) {
    if (i->ifa_addr == nullptr || i->ifa_addr->sa_family != AF_INET || !(i->ifa_flags & IFF_UP))
      continue;
    uint32_t a = reinterpret_cast<const sockaddr_in *>(i->ifa_addr)->sin_addr.s_addr;
    AddUnique((i->ifa_flags & IFF_LOOPBACK) ? loopback : addresses, a);
  }
  freeifaddrs(list);
  for (uint32_t a : loopback) AddUnique(addresses, a);
  if (addresses.size() > kMaxHostEntryAddresses) addresses.resize(kMaxHostEntryAddresses);
  return true;
}

bool GetLocalInterfaceAddresses6(std::vector<IpAddress> &addresses) {
  addresses.clear();
  ifaddrs *list = nullptr;
  if (getifaddrs(&list) != 0) return false;
  std::vector<IpAddress> loopback;
  for (ifaddrs *i = list; i != nullptr; i = i->ifa_next) {
    IpAddress a;
    if (i->ifa_addr == nullptr || i->ifa_addr->sa_family != AF_INET6 || !(i->ifa_flags & IFF_UP) ||
        !FromSockaddr(i->ifa_addr, &a, nullptr))
      continue;
    std::vector<IpAddress> &into = (i->ifa_flags & IFF_LOOPBACK) ? loopback : addresses;
    if (std::find(into.begin(), into.end(), a) == into.end()) into.push_back(a);
  }
  freeifaddrs(list);
  for (const IpAddress &a : loopback)
    if (std::find(addresses.begin(), addresses.end(), a) == addresses.end()) addresses.push_back(a);
  if (addresses.size() > kMaxHostEntryAddresses) addresses.resize(kMaxHostEntryAddresses);
  return true;
}

long ZelGetHostByName(std::string_view name, HostEntry &entry) {
  entry = HostEntry();
  if (!name.empty() && name.back() == '.') name.remove_suffix(1);
  if (!IsPlainHostName(name)) return ERROR_INVALID_PARAMETER;
  uint32_t address = 0;
  if (ParseIpv4(name, address)) {
    entry.name.assign(name);
    entry.addresses.push_back(address);
    return ERROR_SUCCESS;
  }
  if (IsOwnName(name) && GetLocalInterfaceAddresses(entry.addresses) &&
      !entry.addresses.empty()) {
    entry.name.assign(name);
    return ERROR_SUCCESS;
  }
  entry.addresses.clear();
  if (FindHostsFileName(ReadHostsFile(), kMaxHostsFileBytes, name, entry)) return ERROR_SUCCESS;
  return LookupByDns(name, entry);
}

long ZelGetHostByAddr(uint32_t address, HostEntry &entry) {
  if (ZelGetHostByAddrFromHostsFile(address, entry) == ERROR_SUCCESS) return ERROR_SUCCESS;
  return LookupPointerRecords(address, entry);
}

long ZelGetHostByAddrFromHostsFile(uint32_t address, HostEntry &entry) {
  entry = HostEntry();
  if (FindHostsFileAddress(ReadHostsFile(), kMaxHostsFileBytes, address, entry))
    return ERROR_SUCCESS;
  return ERROR_FILE_NOT_FOUND;
}

void SetHostsFilePathForTest(const std::string &path) {
  std::lock_guard<std::mutex> lock(g_HostsPathMutex);
  g_HostsPath = path.empty() ? kHostsFilePath : path;
}
