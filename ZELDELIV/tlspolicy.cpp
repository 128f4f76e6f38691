// tlspolicy: see tlspolicy.h.
#include "ZELDELIV/tlspolicy.h"

#include "ZELDELIV/settings.h"
#include "common/loadcfig.h"
#include "common/logging.h"
#include "common/str.h"
#include "common/zel.h"
#include "messages/zelmsg.h"
#include "platform/ascii.h"
#include "platform/registry.h"

GatewayTlsMode GatewayTls = GatewayTlsMode::kOpportunistic;
std::string GatewayCaFile;

namespace {

// A GatewayTls value: the longest word is "opportunistic".
constexpr size_t kMaxGatewayTlsText = 32;

// The TLSA answer is read whole: a cut one is no basis for a check.
DnsQueryOptions DaneDnsOptions() {
  DnsQueryOptions o;
  o.responseLimit = kMaxDnsMessageLength;
  o.askAuthenticated = true;
  return o;
}

std::string WithoutFinalDot(std::string_view host) {
  std::string name(host);
  if (!name.empty() && name.back() == '.') name.pop_back();
  return name;
}

}  // namespace

bool ParseGatewayTlsMode(std::string_view text, GatewayTlsMode &mode) {
  if (EqualsNoCase(text, "none"))
    mode = GatewayTlsMode::kNone;
  else if (EqualsNoCase(text, "opportunistic"))
    mode = GatewayTlsMode::kOpportunistic;
  else if (EqualsNoCase(text, "verify"))
    mode = GatewayTlsMode::kVerify;
  else
    return false;
  return true;
}

void LoadGatewayTlsSettings() {
  RegKey suite;
  if (RegOpenKeyEx(HKEY_LOCAL_MACHINE, kSuiteKey, KEY_READ, suite.out()) != ERROR_SUCCESS) return;
  if (!QueryRegString(suite.get(), "GatewayCaFile", kMaxCaFilePath, GatewayCaFile))
    GatewayCaFile.clear();
  // A relay host that is logged on to gets the password only over a
  // checked connection, unless the administrator says otherwise.
  GatewayTls = GatewayUser.empty() ? GatewayTlsMode::kOpportunistic : GatewayTlsMode::kVerify;
  std::string mode;
  if (!QueryRegString(suite.get(), "GatewayTls", kMaxGatewayTlsText, mode) || mode.empty()) return;
  if (!ParseGatewayTlsMode(mode, GatewayTls)) {
    GatewayTls = GatewayTlsMode::kVerify;
    LogEvent(EVENTLOG_WARNING_TYPE, MSG_TLS_POLICY, "the relay host",
             ("GatewayTls \"" + LogSafeText(mode) + "\" is unknown: verify is used").c_str());
  }
}

SmtpTlsPolicy VerifiedNamePolicy(std::string_view host, const std::string &caFile,
                                 const char *name) {
  SmtpTlsPolicy policy;
  policy.Name = name;
  policy.Mode = SmtpTlsPolicy::Kind::kVerify;
  policy.Check.Check = TlsPeerCheck::Kind::kName;
  policy.Check.Names = {WithoutFinalDot(host)};
  policy.CaFile = caFile;
  return policy;
}

SmtpTlsPolicy ReportedNamePolicy(std::string_view host, const std::string &caFile,
                                 const char *name) {
  SmtpTlsPolicy policy = VerifiedNamePolicy(host, caFile, name);
  policy.Mode = SmtpTlsPolicy::Kind::kReport;
  policy.Check.bReportOnly = true;
  return policy;
}

SmtpTlsPolicy GatewayTlsPolicy(std::string_view host, uint16_t port) {
  bool implicit = port == kImplicitTlsPort;
  GatewayTlsMode mode = GatewayTls;
  // Implicit TLS has no clear text to fall back to.
  if (implicit && mode == GatewayTlsMode::kNone) mode = GatewayTlsMode::kOpportunistic;
  SmtpTlsPolicy policy;
  if (mode == GatewayTlsMode::kVerify) policy = VerifiedNamePolicy(host, GatewayCaFile, "gateway");
  if (mode == GatewayTlsMode::kNone) policy.Mode = SmtpTlsPolicy::Kind::kNoTls;
  policy.Name = "gateway";
  policy.ImplicitTls = implicit;
  return policy;
}

bool ParseTlsaRecord(std::string_view rdata, TlsaRecord &out) {
  DnsTlsa tlsa;
  if (!ParseDnsTlsa(rdata, tlsa) || tlsa.association.size() > kMaxTlsaData) return false;
  out.Usage = tlsa.usage;
  out.Selector = tlsa.selector;
  out.Matching = tlsa.matching;
  out.Data = std::move(tlsa.association);
  return true;
}

bool UsableTlsaRecord(const TlsaRecord &r) {
  return (r.Usage == kTlsaUsageDaneTa || r.Usage == kTlsaUsageDaneEe) && r.Selector <= 1 &&
         r.Matching <= 2;
}

std::string TlsaQueryName(std::string_view host, uint16_t port) {
  return "_" + std::to_string(port) + "._tcp." + WithoutFinalDot(host);
}

DaneOutcome DaneFromAnswer(const DnsMessage &m, std::string_view queryName,
                           std::string_view host, SmtpTlsPolicy &policy) {
  if (m.header.tc || m.header.rcode == kDnsRcodeServFail) return DaneOutcome::kDefer;
  if (m.header.rcode != kDnsRcodeNoError || !m.header.ad) return DaneOutcome::kNone;
  std::vector<TlsaRecord> records;
  for (const DnsRecord &r : m.answers) {
    TlsaRecord tlsa;
    if (r.type != kDnsTypeTLSA || r.cls != kDnsClassIN || !DnsNamesEqual(r.name, queryName) ||
        !ParseTlsaRecord(r.raw, tlsa) || !UsableTlsaRecord(tlsa) ||
        records.size() >= kMaxTlsaRecords)
      continue;
    records.push_back(std::move(tlsa));
  }
  if (records.empty()) return DaneOutcome::kNone;
  policy.Mode = SmtpTlsPolicy::Kind::kDane;
  policy.Name = "dane";
  policy.Check.Check = TlsPeerCheck::Kind::kDane;
  policy.Check.Names = {WithoutFinalDot(host)};
  policy.Check.Tlsa = std::move(records);
  return DaneOutcome::kDane;
}

DaneOutcome LookupDanePolicy(const std::vector<DnsServerAddress> &servers, std::string_view host,
                             uint16_t port, SmtpTlsPolicy &policy) {
  std::string name = TlsaQueryName(host, port);
  DnsAnswer answer;
  long rc = DnsQuery(servers, name, kDnsTypeTLSA, DaneDnsOptions(), answer);
  // A name no query can carry has no records.
  if (rc == ERROR_INVALID_PARAMETER) return DaneOutcome::kNone;
  if (rc != ERROR_SUCCESS) return DaneOutcome::kDefer;
  return DaneFromAnswer(answer.message, NormalizeDnsName(name), host, policy);
}
