// hostres: this host's name and addresses, and the names and addresses of
// other hosts.
//
// Callers: the local host table (net/localhost), the delivery agent
// (route hosts, exchangers without addresses, a domain's own address), and
// anything else that needs a host's address.
//
// Lookup order of ZelGetHostByName:
//   1. a dotted IPv4 address stands for itself;
//   2. this host's own name (the Tcpip Hostname value, alone or followed by
//      "." and the Domain value) gives this host's interface addresses;
//   3. the hosts file (/etc/hosts): the first line that names it;
//   4. the name servers of the Tcpip NameServer value (A records), for a
//      name without "." first qualified with the Domain value.
// ZelGetHostByAddr reads the hosts file, then asks the name servers (PTR).
// The C library's resolver is never used, so every lookup follows the
// system's own configuration.
//
// Untrusted input: the hosts file (bounded reader: kMaxHostsFileBytes, lines
// of kMaxHostsLineLength, malformed lines skipped) and DNS answers (decoded
// by platform/dnswire).
//
// Thread-safe. Failures are error numbers: ERROR_FILE_NOT_FOUND when the
// name or address is not known (NXDOMAIN, or no records), ERROR_HOST_TRY_AGAIN
// when a name server failed (SERVFAIL) or its answer was cut, ERROR_TIMEOUT
// when no name server answered, ERROR_INVALID_PARAMETER for a name no query
// can carry.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/errors.h"
#include "platform/ipaddr.h"

// A name server failed for now; the same question may be answered later.
constexpr long ERROR_HOST_TRY_AGAIN = EAGAIN;

// The room a host entry had: 10 aliases, 50 addresses.
constexpr size_t kMaxHostEntryAliases = 10;
constexpr size_t kMaxHostEntryAddresses = 50;
// A host name the system keeps is at most 255 characters.
constexpr size_t kMaxHostNameLength = 255;
// A hosts file larger than this is not a hosts file; the rest is ignored.
constexpr size_t kMaxHostsFileBytes = 4 * 1024 * 1024;
// Longer lines are skipped whole rather than read in part.
constexpr size_t kMaxHostsLineLength = 4096;

constexpr const char *kHostsFilePath = "/etc/hosts";

struct HostEntry {
  std::string name;                  // the official (canonical) name
  std::vector<std::string> aliases;  // at most kMaxHostEntryAliases
  std::vector<uint32_t> addresses;   // IPv4, network order; at most kMaxHostEntryAddresses
};

// One line of a hosts file with an IPv4 address.
struct HostsFileLine {
  uint32_t address = 0;              // network order
  std::string name;
  std::vector<std::string> aliases;  // at most kMaxHostEntryAliases kept
};

// Reads hosts-file text: "ADDRESS NAME [ALIAS...]" per line, "#" starts a
// comment, blanks and tabs separate, lines end in LF or CR LF. At most
// maxBytes are looked at; a line that goes on past them is left out whole. Lines with an IPv6 or malformed address, without a
// name, or longer than kMaxHostsLineLength are skipped; a name longer than
// kMaxHostNameLength, or with a byte outside printable ASCII or a "\", is
// dropped from its line.
std::vector<HostsFileLine> ParseHostsFile(std::string_view text, size_t maxBytes);

// The first line that has name as its name or an alias (ASCII case ignored),
// or address as its address, as a host entry. False when none has. They stop
// at the first match without keeping the other lines.
bool FindHostsFileName(std::string_view text, size_t maxBytes, std::string_view name,
                       HostEntry &entry);
bool FindHostsFileAddress(std::string_view text, size_t maxBytes, uint32_t address,
                          HostEntry &entry);

// The Tcpip Hostname value: this host's name as the system sees it
// (gethostname's answer). False when it cannot be read or is empty.
bool ZelGetHostName(std::string &name);

// This host's IPv4 addresses: those of the interfaces that are up, each once,
// loopback addresses last; at most kMaxHostEntryAddresses. False when the
// interfaces cannot be listed.
bool GetLocalInterfaceAddresses(std::vector<uint32_t> &addresses);
// The same for the interfaces' IPv6 addresses (link-local ones included).
bool GetLocalInterfaceAddresses6(std::vector<IpAddress> &addresses);

long ZelGetHostByName(std::string_view name, HostEntry &entry);
long ZelGetHostByAddr(uint32_t address, HostEntry &entry);
// The hosts file alone (no name server is asked): ERROR_FILE_NOT_FOUND
// when it does not name the address.
long ZelGetHostByAddrFromHostsFile(uint32_t address, HostEntry &entry);

// Tests only: read the hosts file from path instead ("" restores /etc/hosts).
// Call while no lookup is running.
void SetHostsFilePathForTest(const std::string &path);
