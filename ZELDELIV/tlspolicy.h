// tlspolicy: what the SMTP client demands of one exchanger's TLS, decided
// before it connects.
//
// The policies. Opportunistic (no policy, "none" in the outlog): STARTTLS
// when offered, the certificate not checked, and after a failed handshake
// one connection in clear (smtpsend). DANE: the exchanger came from a
// DNSSEC-validated MX answer and its "_PORT._tcp.HOST" TLSA records are
// validated too (the AD bit of the validating resolver in NameServer) and
// hold at least one usable record (DANE-TA or DANE-EE, RFC 7672): TLS is
// required and the certificate must match them. MTA-STS enforce (mtasts,
// applied by routing): TLS required and the certificate valid for the
// exchanger's name (VerifiedNamePolicy). Gateway: the relay host of
// GatewayName with GatewayTls: "none" (no STARTTLS), "opportunistic", or
// "verify" (TLS required, the certificate valid for GatewayName under
// GatewayCaFile or the system's CA store). A required policy that fails
// (no STARTTLS, a refused one, a failed handshake or check) defers the mail
// to that exchanger: the next one is tried, nothing goes in clear, nothing
// is returned to the sender.
//
// Callers: routing (the policy of each exchanger, before SmtpConnect),
// smtpsend (acting on it), zeldeliv through settings (LoadGatewayTlsSettings).
//
// Untrusted input: TLSA answers from DNS (ParseTlsaRecord, bounded; the
// records only reach OpenSSL's DANE matching). Host names come from MX
// answers and are only used to form a query name and a TLS reference name.
//
// Threads: the gateway settings are written at start and only read later;
// the rest is pure functions.
//
// Failures: a TLSA lookup that fails for now (no answer, SERVFAIL, a cut
// answer) of a name whose MX answer was secure defers that exchanger:
// without the records the check they ask for cannot be made.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/dnsclient.h"
#include "platform/tls.h"

// GatewayTls values.
enum class GatewayTlsMode { kNone, kOpportunistic, kVerify };
// A path in GatewayCaFile.
constexpr size_t kMaxCaFilePath = 1024;
// The port of submission with TLS from the start (RFC 8314): a relay host
// on it is spoken to in TLS before its greeting.
constexpr uint16_t kImplicitTlsPort = 465;
// TLSA association data: a whole certificate is a few KiB; the digests
// mail servers publish are 32 or 64 bytes.
constexpr size_t kMaxTlsaData = 8192;
// TLSA records used for one exchanger: more than any rollover needs.
constexpr size_t kMaxTlsaRecords = 16;

extern GatewayTlsMode GatewayTls;
extern std::string GatewayCaFile;

// Reads GatewayTls and GatewayCaFile from the suite key (next to
// GatewayName), after LoadDeliverySettings: GatewayUser decides GatewayTls's
// default (verify when a user is set). An unknown GatewayTls is taken as
// "verify", the safe side,
// and reported (event 32's text).
void LoadGatewayTlsSettings();
// "none", "opportunistic", "verify" (any case); false for anything else.
bool ParseGatewayTlsMode(std::string_view text, GatewayTlsMode &mode);

struct SmtpTlsPolicy {
  enum class Kind {
    kOpportunistic,   // STARTTLS when offered, unchecked, fallback allowed
    kNoTls,           // never STARTTLS (GatewayTls none)
    kDane,            // TLS required, certificate against Check.Tlsa
    kVerify,          // TLS required, certificate for Check.Names under CaFile
    kReport,          // as opportunistic, the kVerify check made and only logged
  };
  Kind Mode = Kind::kOpportunistic;
  TlsPeerCheck Check;
  std::string CaFile;         // kVerify: "" is the system's store
  bool ImplicitTls = false;   // TLS before the greeting (port 465)
  const char *Name = "none";  // for the outlog: none, dane, mta-sts, gateway
  bool Required() const { return Mode == Kind::kDane || Mode == Kind::kVerify; }
};

// TLS required and a certificate valid for host under caFile ("" the
// system's store); name for the outlog.
SmtpTlsPolicy VerifiedNamePolicy(std::string_view host, const std::string &caFile,
                                 const char *name);
// The same check, made and reported but never required (MTA-STS testing).
SmtpTlsPolicy ReportedNamePolicy(std::string_view host, const std::string &caFile,
                                 const char *name);
// The relay host's policy (host as in GatewayName, port the one connected).
SmtpTlsPolicy GatewayTlsPolicy(std::string_view host, uint16_t port);

// One TLSA record's data (RFC 6698 2.1): false when it is too short, its
// association data is empty or longer than kMaxTlsaData.
bool ParseTlsaRecord(std::string_view rdata, TlsaRecord &out);
// A record a mail client may use: DANE-TA or DANE-EE, selector 0 or 1,
// matching type 0, 1 or 2 (RFC 7672 3.1).
bool UsableTlsaRecord(const TlsaRecord &r);
// "_25._tcp.mx.example" for port 25 of mx.example.
std::string TlsaQueryName(std::string_view host, uint16_t port);

enum class DaneOutcome {
  kNone,    // no usable, validated records: the policy stays as it was
  kDane,    // policy set to DANE
  kDefer,   // the records could not be had for now: defer the exchanger
};
// Decides from the answer to the TLSA question for host (asked with AD):
// DANE when the answer is validated (AD) and holds usable records of that
// name (at most kMaxTlsaRecords). An answer that is not validated, a name
// without records and NXDOMAIN are kNone; SERVFAIL and a cut answer
// kDefer (a validating resolver says SERVFAIL for bogus records too).
DaneOutcome DaneFromAnswer(const DnsMessage &m, std::string_view queryName,
                           std::string_view host, SmtpTlsPolicy &policy);
// Asks servers for host's TLSA records and decides as DaneFromAnswer; no
// answer at all is kDefer.
DaneOutcome LookupDanePolicy(const std::vector<DnsServerAddress> &servers, std::string_view host,
                             uint16_t port, SmtpTlsPolicy &policy);
