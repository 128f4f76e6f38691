// dnscmd: see dnscmd.h.
#include "tools/zeladm/dnscmd.h"

#include <cstdio>
#include <string>
#include <vector>

#include "common/loadcfig.h"
#include "common/mailports.h"
#include "common/zel.h"
#include "net/localhost.h"
#include "platform/ascii.h"
#include "platform/dnsclient.h"
#include "platform/registry.h"
#include "platform/tls.h"
#include "tools/zeladm/admcmd.h"
#include "tools/zeladm/dnsrecords.h"

namespace {

// Where each SRV record's port comes from, and what the server makes of
// the value (as its loader does).
struct ServicePortValue {
  SiteService Srv;
  const char *Service;      // the Parameters key's service
  const char *Value;
  DWORD Default;
  DWORD Zero;               // what 0 means: off, or the default port
  DWORD OutOfRange;         // what a number over 65535 means
  bool NeedsCertificate;    // TLS from the first byte
};

const ServicePortValue kServicePorts[] = {
    {{"_submission._tcp", "Submission", 0}, "ZELRECV", "SubmissionPortNo",
     kDefaultSubmissionPort, 0, 0, false},
    {{"_submissions._tcp", "Submission with TLS", 0}, "ZELRECV", "SubmissionTlsPortNo",
     kDefaultSubmissionTlsPort, 0, 0, true},
    {{"_imap._tcp", "IMAP", 0}, "ZELIMAP", "PortNo", kDefaultImapPort, kDefaultImapPort,
     kDefaultImapPort, false},
    {{"_imaps._tcp", "IMAP with TLS", 0}, "ZELIMAP", "TlsPortNo", kDefaultImapTlsPort, 0,
     kDefaultImapTlsPort, true},
    {{"_pop3._tcp", "POP3", 0}, "ZELFETCH", "PortNo", kDefaultPop3Port, kDefaultPop3Port,
     kDefaultPop3Port, false},
    {{"_pop3s._tcp", "POP3 with TLS", 0}, "ZELFETCH", "TlsPortNo", kDefaultPop3TlsPort, 0,
     kDefaultPop3TlsPort, true},
};

constexpr DWORD kMaxPort = 65535;

uint16_t PortOf(const ServicePortValue &v, bool certificate) {
  if (v.NeedsCertificate && !certificate) return 0;
  DWORD port = v.Default;
  RegKey key;
  const std::string path = std::string(kServicesKey) + "\\" + v.Service + "\\Parameters";
  if (RegOpenKeyEx(HKEY_LOCAL_MACHINE, path.c_str(), KEY_READ, key.out()) == ERROR_SUCCESS)
    QueryRegDword(key.get(), v.Value, port);
  if (port == 0) port = v.Zero;
  if (port > kMaxPort) port = v.OutOfRange;
  return static_cast<uint16_t>(port);
}

bool ParseDomain(int argc, char **argv, std::string &domain, bool *policy) {
  for (int i = 1; i < argc; ++i) {
    const std::string option = argv[i];
    if (option == "--mta-sts-policy" && policy != nullptr) {
      *policy = true;
    } else if (option == "--domain") {
      if (i + 1 >= argc) return AdmUsage("--domain needs a value"), false;
      std::string value = argv[++i];
      if (!value.empty() && value.back() == '.') value.pop_back();
      domain = LowerAsciiCopy(value);
      if (!IsDkimDomain(domain))
        return AdmUsage("\"" + AdmPrintable(argv[i]) + "\" is not a domain name"), false;
    } else {
      return AdmUsage("unknown option \"" + AdmPrintable(option) + "\""), false;
    }
  }
  if (domain.empty()) return AdmUsage("--domain DOMAIN is required"), false;
  return true;
}

// What the records say, from what the services read. False (printed) when
// this host's name or the keys cannot be read.
bool GatherFacts(const std::string &domain, SiteDnsFacts &f) {
  f.Domain = domain;
  if (!GetHostNameFromRegistry(f.MxHost) || !IsTlsHostName(f.MxHost)) {
    std::fprintf(stderr, "zeladm: the Tcpip values Hostname and Domain give no host name\n");
    return false;
  }
  f.MxHost = LowerAsciiCopy(f.MxHost);
  RegKey suite;
  if (RegOpenKeyEx(HKEY_LOCAL_MACHINE, kSuiteKey, KEY_READ, suite.out()) == ERROR_SUCCESS)
    QueryRegString(suite.get(), "GatewayName", kMaxGatewayName, f.Gateway);
  const TlsFileNames tls = LoadTlsFileNames();
  std::string why;
  if (!tls.CertificateFile.empty() &&
      !TlsCertificateSpkiSha256(tls.CertificateFile, f.TlsaDigest, why))
    std::fprintf(stderr, "zeladm: no TLSA record, and the TLS ports count as off: %s\n",
                 AdmPrintable(why).c_str());
  for (const ServicePortValue &v : kServicePorts) {
    SiteService s = v.Srv;
    s.Port = PortOf(v, !f.TlsaDigest.empty());
    f.Services.push_back(s);
  }
  std::vector<std::string> unreadable;
  if (!ListDkimPublishedKeys(domain, f.DkimKeys, &unreadable))
    return AdmFailed("cannot list the DKIM keys of " + domain, GetLastError()), false;
  for (const std::string &u : unreadable)
    std::fprintf(stderr, "zeladm: not a key: %s\n", AdmPrintable(u).c_str());
  return true;
}

// MTA-STS's web host, and what TLS asks of the operator.
void PrintTlsNotes(const SiteDnsFacts &f) {
  if (f.TlsaDigest.empty()) {
    std::printf("; - No MTA-STS and no TLSA records: TlsCertificateFile names no usable\n"
                ";   certificate ('zeladm tls self-signed', or one from a CA).\n");
    return;
  }
  std::printf("; - MTA-STS needs a web server for mta-sts.%s (its own address records and a\n"
              ";   certificate valid for that name) serving this file at\n"
              ";   https://mta-sts.%s/.well-known/mta-sts.txt\n"
              ";   ('zeladm dns --domain %s --mta-sts-policy' prints it):\n",
              f.Domain.c_str(), f.Domain.c_str(), f.Domain.c_str());
  std::string policy = MtaStsPolicy(f.MxHost);
  for (size_t at = 0; at < policy.size();) {
    size_t end = policy.find("\r\n", at);
    std::printf(";     %s\n", policy.substr(at, end - at).c_str());
    at = end + 2;
  }
  std::printf("; - With mode enforce, senders deliver only when %s has a certificate\n"
              ";   for that name from a public CA; a self-signed one needs mode testing\n"
              ";   (change the id with the policy).\n"
              "; - The TLSA record counts only in a DNSSEC-signed zone. A new key (a\n"
              ";   renewal that does not keep it) needs its record published first.\n",
              f.MxHost.c_str());
}

void PrintOperatorNotes(const SiteDnsFacts &f) {
  std::printf(";\n; Beyond these records:\n");
  PrintTlsNotes(f);
  if (f.DkimKeys.empty())
    std::printf("; - %s has no DKIM keys: 'zeladm dkim new --domain %s' makes them.\n",
                f.Domain.c_str(), f.Domain.c_str());
  std::printf("; - %s needs its own A/AAAA records, and their PTR records its name.\n"
              "; - A server you do not run: leave its SRV records out, or publish them\n"
              ";   as not offered (\"0 0 0 .\").\n",
              f.MxHost.c_str());
}

int PrintDns(int argc, char **argv) {
  std::string domain;
  bool policy = false;
  if (!ParseDomain(argc, argv, domain, &policy)) return kAdmExitUsage;
  SiteDnsFacts facts;
  if (!GatherFacts(domain, facts)) return kAdmExitFailure;
  if (policy) {
    std::fputs(MtaStsPolicy(facts.MxHost).c_str(), stdout);
    return kAdmExitOk;
  }
  std::printf("; The DNS records of %s (zeladm dns)\n", domain.c_str());
  std::fputs(ZoneText(BuildSiteDnsRecords(facts)).c_str(), stdout);
  PrintOperatorNotes(facts);
  return kAdmExitOk;
}

const char *TypeName(uint16_t type) {
  switch (type) {
    case kDnsTypeMX: return "MX";
    case kDnsTypeSRV: return "SRV";
    case kDnsTypeTLSA: return "TLSA";
    default: return "TXT";
  }
}

// One record asked and compared: its line printed; true when it is ok.
bool CheckRecord(const std::vector<DnsServerAddress> &servers, const SiteDnsRecord &r) {
  DnsAnswer answer;
  long rc = DnsQuery(servers, r.Name, r.Type, DnsQueryOptions{}, answer);
  const uint8_t rcode = answer.message.header.rcode;
  SiteRecordCheck check;
  std::string status;
  if (rc != ERROR_SUCCESS) {
    status = "failed";
    check.Found = "no answer: " + AdmErrorText(rc);
  } else if (rcode != kDnsRcodeNoError && rcode != kDnsRcodeNxDomain) {
    status = "failed";
    check.Found = "the name server answered RCODE " + std::to_string(rcode);
  } else {
    check = CompareSiteDnsRecord(r, answer.message.answers);
    status = check.Match == SiteRecordMatch::kOk        ? "ok"
             : check.Match == SiteRecordMatch::kMissing ? "missing"
                                                        : "differs";
  }
  std::printf("%-8s %-4s %s (%s)%s\n", status.c_str(), TypeName(r.Type), r.Name.c_str(),
              r.Label.c_str(), check.Found.empty() ? "" : (": found " + check.Found).c_str());
  return status == "ok";
}

}  // namespace

int RunDnsCommand(int argc, char **argv) {
  if (argc > 1 && (EqualsNoCase(argv[1], "help") || std::string(argv[1]) == "--help")) {
    std::printf("Usage:\n  zeladm dns --domain D [--mta-sts-policy]\n"
                "      print the DNS records the domain needs (or the MTA-STS policy file)\n");
    return kAdmExitOk;
  }
  return PrintDns(argc, argv);
}

int RunCheckDnsCommand(int argc, char **argv) {
  std::string domain;
  if (!ParseDomain(argc, argv, domain, nullptr)) return kAdmExitUsage;
  SiteDnsFacts facts;
  if (!GatherFacts(domain, facts)) return kAdmExitFailure;
  std::vector<DnsServerAddress> servers;
  if (long rc = ReadNameServerList(servers); rc != ERROR_SUCCESS)
    return AdmFailed("cannot read NameServer", rc);
  if (servers.empty()) {
    std::fprintf(stderr, "zeladm: NameServer names no name server to ask\n");
    return kAdmExitFailure;
  }
  bool allOk = true;
  for (const SiteDnsRecord &r : BuildSiteDnsRecords(facts))
    allOk = CheckRecord(servers, r) && allOk;
  std::printf("not checked: the MTA-STS policy file at "
              "https://mta-sts.%s/.well-known/mta-sts.txt\n",
              domain.c_str());
  return allOk ? kAdmExitOk : kAdmExitFailure;
}
