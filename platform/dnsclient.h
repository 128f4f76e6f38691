// dnsclient: asks the configured name servers one question.
//
// Callers: platform/hostres (host names and addresses of other machines) and
// the delivery agent's resolver (MX and address records of mail domains).
// Every DNS query the system sends goes through DnsQuery, to the servers of
// the Tcpip key's NameServer value; the C library's resolver is never used.
//
// A query goes to each server in list order over UDP, resent a bounded
// number of times within a short time per server. Replies are checked
// before they are believed: they must come from the server's address and
// port (the socket is connected), carry the query's identifier (drawn from
// getrandom for every server, never from the clock), be a response, and
// repeat the question (name ignoring case, type, class IN). Anything else is
// ignored and the wait goes on until the server's time is up, so a stray or
// forged datagram cannot end a lookup. An answer with TC set (or larger than
// the response limit) is asked again over TCP, of the same server and then of
// the others in turn, wrapping around; over TCP an answer longer than the
// limit is kept cut with TC set, for the caller to report.
//
// Untrusted input: everything received; it is decoded by platform/dnswire.
// The NameServer value is administrator input: bad entries are skipped.
//
// Thread-safe: every call has its own sockets and buffers. A call takes at
// most (servers x serverTimeoutMs) over UDP plus, for a truncated answer,
// (servers x tcpTimeoutMs) over TCP.
//
// Failures are error numbers (platform/errors.h): ERROR_INVALID_PARAMETER for
// a name no query can carry; ERROR_TIMEOUT when no server answered (none
// configured, every one silent, unreachable or refusing); EIO when the
// system gave no random identifier. An answer with an error RCODE is still
// an answer (ERROR_SUCCESS): the caller reads the RCODE.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/dnswire.h"
#include "platform/errors.h"
#include "platform/ipaddr.h"

constexpr uint16_t kDnsPort = 53;
// The delivery agent's name server table holds five; later entries are unused.
constexpr size_t kMaxDnsServers = 5;
// Five "[ffff:...:255.255.255.255]:65535" entries need under 300 bytes; a
// longer value is not a list of name servers.
constexpr size_t kMaxNameServerValueBytes = 4096;
// Time given to one server over UDP, shared by its tries: long enough for a
// recursive server on a slow link, short enough that a dead one costs little.
constexpr DWORD kDnsServerTimeoutMs = 2000;
// Sends of the same query to one server (a lost datagram is sent again).
constexpr int kDnsUdpTries = 2;
// One whole TCP exchange, from connect to the last byte.
constexpr DWORD kDnsTcpTimeoutMs = 5000;
// The resolver's response buffer; a longer answer comes back cut with TC.
constexpr size_t kDnsResponseLimit = 2048;

struct DnsServerAddress {
  IpAddress address;      // IPv4 or IPv6
  uint16_t port = kDnsPort;
  bool operator==(const DnsServerAddress &) const = default;
};

// "a.b.c.d:port", or "[x::y]:port" for IPv6 ("[::1]:53").
std::string NameServerText(const DnsServerAddress &server);

// Entries separated by blanks, commas, tabs, CR or LF: "a.b.c.d" or
// "a.b.c.d:port", and for IPv6 "[x::y]", "[x::y]:port" or the bare address
// "x::y" (no port then); at most maxServers of them, in order. Entries that
// are not an address of either family (the unspecified ones 0.0.0.0 and ::
// included) with an optional port 1 to 65535 are skipped. At most maxBytes
// of text are looked at.
std::vector<DnsServerAddress> ParseNameServerList(std::string_view text, size_t maxBytes,
                                                  size_t maxServers);

// A string value of the Tcpip key (Hostname, Domain, NameServer) of at most
// maxBytes bytes. ERROR_SUCCESS, or the registry's error (ERROR_MORE_DATA
// for a longer value).
long ReadTcpipParameter(const char *name, size_t maxBytes, std::string &value);

// The servers of the Tcpip key's NameServer value (at most kMaxDnsServers).
// ERROR_SUCCESS (the list may be empty), or the registry's error for a value
// that cannot be read (ERROR_MORE_DATA: longer than kMaxNameServerValueBytes).
long ReadNameServerList(std::vector<DnsServerAddress> &servers);

struct DnsQueryOptions {
  DWORD serverTimeoutMs = kDnsServerTimeoutMs;
  int udpTries = kDnsUdpTries;
  DWORD tcpTimeoutMs = kDnsTcpTimeoutMs;
  size_t responseLimit = kDnsResponseLimit;   // at most kMaxDnsMessageLength
  // Ask for the AD bit (BuildDnsQuery): the answer's header.ad then tells a
  // DNSSEC-validated answer from the validating server in NameServer.
  bool askAuthenticated = false;
};

struct DnsAnswer {
  DnsMessage message;
  DnsServerAddress server;   // the one that answered
  bool viaTcp = false;
  // Datagrams that were not an answer to the question (another identifier or
  // question, not a response, unreadable); they were ignored.
  unsigned ignored = 0;
};

// Asks servers for name's records of type (class IN, recursion desired).
long DnsQuery(const std::vector<DnsServerAddress> &servers, std::string_view name, uint16_t type,
              const DnsQueryOptions &options, DnsAnswer &answer);
