// dnswire: DNS messages on the wire: building a query, reading an answer.
//
// Callers: platform/dnsclient (every query the system sends), and through it
// the host lookups of platform/hostres and the delivery agent's resolver.
//
// Untrusted input: everything a name server sends. The decoder takes the
// received bytes as (pointer, length) and never reads outside them; every
// read checks the remaining length, and the first failed read makes every
// later read fail (a sticky error), so a record is read whole and checked
// once. Names are at most 255 bytes on the wire with labels of at most 63;
// a compression pointer must point before the start of the label run that
// holds it (so pointers only ever go backwards and cannot loop), and at most
// kMaxDnsPointerHops are followed for one name.
//
// Names come back as text: labels joined by ".", without a final dot, case
// as received. Label bytes that would change the meaning of the text (".",
// "\", blanks, control and non-ASCII bytes) are written as "\." "\\" or
// "\DDD" (three decimal digits), so a name from the network can never pose
// as a name of other labels.
//
// Pure functions on their arguments: thread-safe, no state.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/ipaddr.h"

// RFC 1035 2.3.4: a name is at most 255 bytes on the wire, a label 63.
constexpr size_t kMaxDnsNameWireLength = 255;
constexpr size_t kMaxDnsLabelLength = 63;
// The longest name as text without escapes: 255 wire bytes less the first
// length byte and the final zero byte.
constexpr size_t kMaxDnsNameTextLength = 253;
// A name of 255 bytes has at most 127 labels, so an honest name never needs
// more pointers than that; real ones use one or two.
constexpr size_t kMaxDnsPointerHops = 127;
// A DNS message over TCP is at most 65535 bytes (its 16-bit length prefix).
constexpr size_t kMaxDnsMessageLength = 65535;
// The fixed header of every message.
constexpr size_t kDnsHeaderLength = 12;

constexpr uint16_t kDnsTypeA = 1;
constexpr uint16_t kDnsTypeNS = 2;
constexpr uint16_t kDnsTypeCNAME = 5;
constexpr uint16_t kDnsTypePTR = 12;
constexpr uint16_t kDnsTypeMX = 15;
constexpr uint16_t kDnsTypeTXT = 16;
constexpr uint16_t kDnsTypeAAAA = 28;
constexpr uint16_t kDnsTypeSRV = 33;
constexpr uint16_t kDnsTypeTLSA = 52;
constexpr uint16_t kDnsClassIN = 1;

constexpr uint8_t kDnsRcodeNoError = 0;
constexpr uint8_t kDnsRcodeFormErr = 1;
constexpr uint8_t kDnsRcodeServFail = 2;
constexpr uint8_t kDnsRcodeNxDomain = 3;

struct DnsHeader {
  uint16_t id = 0;
  bool qr = false;      // a response
  uint8_t opcode = 0;
  bool aa = false;      // authoritative answer
  bool tc = false;      // truncated: the whole answer did not fit
  bool rd = false;      // recursion desired
  bool ra = false;      // recursion available
  bool ad = false;      // authentic data: the server validated the answer (DNSSEC)
  uint8_t rcode = 0;
  uint16_t qdCount = 0, anCount = 0, nsCount = 0, arCount = 0;
};

struct DnsQuestion {
  std::string name;
  uint16_t type = 0;
  uint16_t cls = 0;
};

// One resource record. The data of class IN records is decoded by type:
//   A:              address (network order)
//   AAAA:           address6 (data of exactly 16 bytes)
//   CNAME, PTR, NS: target
//   MX:             preference and target (the exchanger)
//   SRV:            preference (the priority), weight, port and target
//                   ("" for the root: the service is not offered)
// Any other type or class keeps its data bytes in raw (TXT and TLSA are
// read from there by ParseDnsTxtStrings and ParseDnsTlsa). A TTL with the top
// bit set counts as 0 (RFC 2181), so now + ttl never wraps a signed time.
struct DnsRecord {
  std::string name;
  uint16_t type = 0;
  uint16_t cls = 0;
  uint32_t ttl = 0;
  uint32_t address = 0;
  IpAddress address6;
  uint16_t preference = 0;
  uint16_t weight = 0, port = 0;   // SRV
  std::string target;
  std::string raw;
};

struct DnsMessage {
  DnsHeader header;
  std::vector<DnsQuestion> questions;
  std::vector<DnsRecord> answers;
  std::vector<DnsRecord> authority;
  std::vector<DnsRecord> additional;
  // The message said it was truncated (TC) and its records ran out before
  // the counts were reached: the sections hold the records that were whole.
  bool partial = false;
};

// Writes the query: header with id, RD set and one question; the name is
// split at "." (empty labels are skipped, so a final dot is allowed). False
// for a name that is empty, has a label over 63 bytes, is over 255 bytes on
// the wire, or holds a byte outside printable ASCII or a "\" (such a name
// could not be compared with the answer's question). askAuthenticated sets
// AD too: a validating server then says in its AD bit whether the answer
// was DNSSEC-validated (RFC 6840 5.7), without the signatures a DO bit
// would bring.
bool BuildDnsQuery(uint16_t id, std::string_view name, uint16_t type, std::string &out,
                   bool askAuthenticated = false);

// The name as the decoder would give it back for a query built from it:
// empty labels dropped. Empty when BuildDnsQuery would refuse it.
std::string NormalizeDnsName(std::string_view name);

// A reply in wire form, for a library that reads replies itself (libopendkim
// through its DNS hooks, common/dkim): the question, then one answer of that
// name, type and class IN per rdata (its bytes as the type defines them),
// with rcode and QR, RD and RA set. False for a name BuildDnsQuery refuses or
// a reply longer than kMaxDnsMessageLength.
bool BuildDnsReply(std::string_view name, uint16_t type, uint8_t rcode,
                   const std::vector<std::string> &rdata, std::string &out);

// "d.c.b.a.in-addr.arpa" for the address a.b.c.d (network order).
std::string ReverseLookupName(uint32_t address);

// Reads the 12-byte header. False when length is shorter.
bool ParseDnsHeader(const uint8_t *data, size_t length, DnsHeader &out);

// Reads a whole message of length bytes (at most kMaxDnsMessageLength are
// looked at). False when the header, a question or a record cannot be read
// (cut, a bad name, record data that does not match its type), except that a
// message with TC set whose records run out is returned with partial set.
// Bytes after the last counted record are ignored. out is unspecified on
// failure.
bool ParseDnsMessage(const uint8_t *data, size_t length, DnsMessage &out);

// Reads the name at offset into text (the escaped form above). False when it
// cannot be read. For tests and the fuzz target.
bool ReadDnsName(const uint8_t *data, size_t length, size_t offset, std::string &text);

// Compares two names as DNS does: ASCII letters without regard to case.
bool DnsNamesEqual(std::string_view a, std::string_view b);

// The character-strings of a TXT record's data (RFC 1035 3.3.14): each a
// length byte and that many bytes. False when a string runs past the data
// or the data is empty (a TXT record holds at least one string).
bool ParseDnsTxtStrings(std::string_view data, std::vector<std::string> &out);

// A TLSA record's data (RFC 6698 2.1): three one-byte fields and the
// certificate association data (at least one byte).
struct DnsTlsa {
  uint8_t usage = 0, selector = 0, matching = 0;
  std::string association;
};
bool ParseDnsTlsa(std::string_view data, DnsTlsa &out);
