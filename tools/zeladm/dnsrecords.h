// dnsrecords: the DNS records a ZEL site publishes, built in one place for
// `zeladm dns` (printed in zone-file syntax), `zeladm check dns` (compared
// with what the name servers answer) and `zeladm dkim` (the key records),
// so what is printed and what is checked cannot drift apart.
//
// The records of a domain D whose mail this host (MX host M) takes:
//   D MX 10 M
//   D TXT "v=spf1 mx -all"      (with a:G, ip4:G or ip6:G for GatewayName G:
//                                the relay host that sends our mail)
//   S._domainkey.D TXT          each DKIM key on disk (common/dkimkeys)
//   _dmarc.D TXT "v=DMARC1; p=quarantine; rua=mailto:postmaster@D"
//   _mta-sts.D TXT "v=STSv1; id=I"   I from the policy's text (MtaStsPolicy)
//   _smtp._tls.D TXT "v=TLSRPTv1; rua=mailto:postmaster@D"
//   _submission._tcp.D, _submissions._tcp.D, _imap._tcp.D, _imaps._tcp.D,
//   _pop3._tcp.D, _pop3s._tcp.D SRV 0 1 PORT M   ("0 0 0 ." when off)
//   _25._tcp.M TLSA 3 1 1 H     H: SHA-256 of the certificate's public key
//
// Comparing (CompareSiteDnsRecord) is by meaning, not by bytes: names
// without regard to case or a final dot, TXT strings joined, SPF by its set
// of terms, DMARC, MTA-STS and TLS-RPT records by the tags we set (others
// the operator added are left alone), DKIM by k= and p=, MX and SRV by
// target and port (preference, priority and weight are the operator's).
//
// Untrusted input: the DNS answers given to CompareSiteDnsRecord (decoded
// by platform/dnswire); what it reports of them goes through LogSafeText.
// The facts come from the registry and the key files (the administrator's).
// Pure functions: no state, thread-safe.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "common/dkimkeys.h"
#include "platform/dnswire.h"
#include "platform/tls.h"

// Other mail servers always come to port 25: the TLSA record's port.
constexpr uint16_t kSmtpServerPort = 25;
// The TLSA record's fields (RFC 7218 names): DANE-EE (kTlsaUsageDaneEe,
// platform/tls: the server's own certificate), SPKI (its public key, so a
// renewal with the same key keeps the record), SHA2-256.
constexpr uint8_t kTlsaSelectorSpki = 1;
constexpr uint8_t kTlsaMatchingSha256 = 1;
// An MTA-STS policy id is at most 32 letters and digits (RFC 8461 3.1); 20
// hex digits (80 bits) of the policy's digest tell policies apart.
constexpr size_t kMtaStsIdDigits = 20;
// RFC 8461 3.2: a week, long enough to outlast an attacker's interruption.
constexpr unsigned kMtaStsMaxAge = 604800;

// One SRV service of RFC 6186 or RFC 8314 and the port it is on (0: off).
struct SiteService {
  const char *Name;    // "_imaps._tcp"
  const char *Label;   // "IMAP with TLS"
  uint16_t Port = 0;
};

struct SiteDnsFacts {
  std::string Domain;    // lower case, no final dot
  std::string MxHost;    // this host's name
  std::string Gateway;   // GatewayName: a host name or an address, or ""
  std::vector<SiteService> Services;
  std::vector<DkimPublishedKey> DkimKeys;
  std::string TlsaDigest;   // hex; "" without a certificate
};

enum class SiteRecordKind { kMx, kSpf, kDkim, kDmarc, kMtaSts, kTlsRpt, kSrv, kTlsa };

struct SiteDnsRecord {
  SiteRecordKind Kind = SiteRecordKind::kMx;
  std::string Label;     // what a check line calls it: "SPF", "DKIM z202612-rsa"
  std::string Comment;   // what it is for, one line
  std::string Name;      // owner name, no final dot
  uint16_t Type = 0;
  uint16_t Priority = 0, Weight = 0, Port = 0;   // MX (Priority), SRV
  std::string Target;    // MX, SRV ("" for the root)
  std::string Text;      // TXT: the whole text; TLSA: the hex digest
};

// Every record of the site, in the order above; MTA-STS and TLSA only with
// a certificate (a digest): a policy demanding TLS of a host that has none
// would stop all mail to it.
std::vector<SiteDnsRecord> BuildSiteDnsRecords(const SiteDnsFacts &facts);
// The TXT records of a domain's DKIM keys, in the keys' order.
std::vector<SiteDnsRecord> DkimKeyRecords(std::string_view domain,
                                          const std::vector<DkimPublishedKey> &keys);
// The MTA-STS policy file for mxHost, CRLF line ends.
std::string MtaStsPolicy(std::string_view mxHost);

// "name. IN TYPE data": TXT text in quoted strings of at most 255 bytes.
std::string ZoneLine(const SiteDnsRecord &record);
// Each record as "; comment" and its zone line.
std::string ZoneText(const std::vector<SiteDnsRecord> &records);

enum class SiteRecordMatch { kOk, kMissing, kDiffers };
struct SiteRecordCheck {
  SiteRecordMatch Match = SiteRecordMatch::kMissing;
  std::string Found;   // what differs was found, cut and escaped
};
// Compares the record with the answer records of its name and type (other
// types, CNAMEs among them, are skipped).
SiteRecordCheck CompareSiteDnsRecord(const SiteDnsRecord &expected,
                                     const std::vector<DnsRecord> &answers);
