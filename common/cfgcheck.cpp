// cfgcheck: see cfgcheck.h.
#include "common/cfgcheck.h"

#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <string_view>
#include <utility>

#include "common/loadcfig.h"
#include "common/logging.h"
#include "common/milter.h"
#include "common/pconfig.h"
#include "common/service.h"
#include "common/userdir.h"
#include "common/zel.h"
#include "messages/zelmsg.h"
#include "platform/accountsfile.h"
#include "platform/ascii.h"
#include "platform/dnsclient.h"
#include "platform/files.h"
#include "platform/fileview.h"
#include "platform/hostsetup.h"
#include "platform/ldapdir.h"
#include "platform/ipaddr.h"
#include "platform/privilege.h"
#include "platform/registry.h"
#include "platform/root.h"
#include "platform/textfile.h"

namespace {

// Which services read a value.
constexpr unsigned kRecv = 1, kDeliv = 2, kFetch = 4, kImap = 8, kAll = 15;

// The keys whose values the check knows.
enum KeyId { kSuiteKeyId, kRecvKey, kDelivKey, kFetchKey, kImapKey, kTcpipKey, kLdapKey };

struct KeyInfo {
  const char *Label;    // how findings name the key
  const char *Service;  // the service whose Parameters key it is, or null
  unsigned Readers;     // the services that read its values
};

const KeyInfo kKeys[] = {
    {"ZEL", nullptr, kAll},
    {"ZELRECV", "ZELRECV", kRecv},
    {"ZELDELIV", "ZELDELIV", kDeliv},
    {"ZELFETCH", "ZELFETCH", kFetch},
    {"ZELIMAP", "ZELIMAP", kImap},
    {"Tcpip", nullptr, kAll},
    {"ZEL\\Ldap", nullptr, kAll},
};

enum class Kind {
  kNumber,           // any REG_DWORD
  kPort,             // 0 (the standard port) to 65535
  kText,             // a string
  kSpool,            // the spool directory
  kMailboxTemplate,  // MailInBoxDir
  kAccount,          // a host account name
  kVirtualAccount,   // the unprivileged account of virtual users' mailboxes
  kDomains,          // a multi-string of domain names
  kNetworks,         // a multi-string of networks in CIDR form
  kAddresses,        // a multi-string of addresses
  kSpoolName,        // a directory name inside the spool
  kExtension,        // a file name extension
  kNameServers,      // the Tcpip NameServer list
  kPemFile,          // a TLS certificate or key
  kFilters,          // a multi-string of mail filter addresses
  kPrefixLength,     // the length of an IPv6 prefix, 1 to 128
  kSecretFile,       // a file holding a password: root's alone
  kGatewayTls,       // none, opportunistic or verify (GatewayTls, ProxyTls)
  kUserSources,      // UserDirectory: a multi-string of source names
  kLdapUris,         // a multi-string of ldap://, ldaps://, ldapi:// URIs
};

struct KnownValue {
  KeyId Key;
  const char *Name;
  Kind Type;
  unsigned Readers;
};

// Every value the system reads from these keys. A value added to a loader
// gets its line here and in zel-registry(5); a test holds the three together.
const KnownValue kKnownValues[] = {
    {kSuiteKeyId, "MailSpoolDir", Kind::kSpool, kAll},
    {kSuiteKeyId, "MailInBoxDir", Kind::kMailboxTemplate, kAll},
    {kSuiteKeyId, "PostMaster", Kind::kText, kAll},
    {kSuiteKeyId, "DomainNamesAreLocal", Kind::kDomains, kAll},
    {kSuiteKeyId, "AutoCreateInboxDir", Kind::kNumber, kAll},
    {kSuiteKeyId, "LocalFailuresToPostmaster", Kind::kNumber, kAll},
    {kSuiteKeyId, "MaxDeliveryThreads", Kind::kNumber, kDeliv},
    {kSuiteKeyId, "GatewayName", Kind::kText, kDeliv},
    {kSuiteKeyId, "GatewayPort", Kind::kPort, kDeliv},
    {kSuiteKeyId, "GatewayUser", Kind::kText, kDeliv},
    {kSuiteKeyId, "GatewayPasswordFile", Kind::kSecretFile, kDeliv},
    {kSuiteKeyId, "GatewayTls", Kind::kGatewayTls, kDeliv},
    {kSuiteKeyId, "GatewayCaFile", Kind::kPemFile, kDeliv},
    {kSuiteKeyId, "DkimSigning", Kind::kNumber, kRecv | kDeliv},
    {kSuiteKeyId, "DmarcReports", Kind::kNumber, kRecv | kDeliv},
    {kSuiteKeyId, "SieveMaxScriptSize", Kind::kNumber, kDeliv | kImap},
    {kSuiteKeyId, "SieveMaxActions", Kind::kNumber, kDeliv},
    {kSuiteKeyId, "SieveMaxRedirects", Kind::kNumber, kDeliv},
    {kSuiteKeyId, "SieveMaxCpuTime", Kind::kNumber, kDeliv},
    {kSuiteKeyId, "SieveMaxNesting", Kind::kNumber, kDeliv | kImap},
    {kSuiteKeyId, "SieveMaxScripts", Kind::kNumber, kImap},
    {kSuiteKeyId, "SieveBeforeScript", Kind::kText, kDeliv},
    {kSuiteKeyId, "RecipientDelimiter", Kind::kText, kDeliv},
    {kSuiteKeyId, "SrsDomain", Kind::kText, kRecv | kDeliv},
    {kSuiteKeyId, "ServiceAccount", Kind::kAccount, kRecv | kDeliv | kFetch | kImap},
    {kSuiteKeyId, "VirtualMailAccount", Kind::kVirtualAccount, kDeliv | kFetch | kImap},
    {kSuiteKeyId, "LogonFailureLimit", Kind::kNumber, kRecv | kFetch | kImap},
    {kSuiteKeyId, "LogonFailureWindow", Kind::kNumber, kRecv | kFetch | kImap},
    {kSuiteKeyId, "ConfigVersion", Kind::kNumber, kAll},
    {kSuiteKeyId, "CriticalConfigVersion", Kind::kNumber, kAll},
    {kSuiteKeyId, "LastMsgId", Kind::kNumber, kAll},
    {kSuiteKeyId, "TlsCertificateFile", Kind::kPemFile, kRecv | kFetch | kImap},
    {kSuiteKeyId, "TlsKeyFile", Kind::kPemFile, kRecv | kFetch | kImap},
    {kSuiteKeyId, "ProxyLogons", Kind::kNumber, kFetch | kImap},
    {kSuiteKeyId, "ProxySecretFile", Kind::kSecretFile, kFetch | kImap},
    {kSuiteKeyId, "ProxyClients", Kind::kNetworks, kFetch | kImap},
    {kSuiteKeyId, "ProxyTls", Kind::kGatewayTls, kFetch | kImap},
    {kSuiteKeyId, "ProxyCa", Kind::kPemFile, kFetch | kImap},
    {kSuiteKeyId, "ProxyPop3Port", Kind::kPort, kFetch},
    {kSuiteKeyId, "ProxyImapPort", Kind::kPort, kImap},
    {kSuiteKeyId, "UserDirectory", Kind::kUserSources, kAll},
    // The directory's settings (common/userdir): checked as a whole below.
    {kLdapKey, "Uri", Kind::kLdapUris, kAll},
    {kLdapKey, "BaseDn", Kind::kText, kAll},
    {kLdapKey, "BindDn", Kind::kText, kAll},
    {kLdapKey, "BindPasswordFile", Kind::kSecretFile, kAll},
    {kLdapKey, "UserFilter", Kind::kText, kAll},
    {kLdapKey, "UserNameAttribute", Kind::kText, kAll},
    {kLdapKey, "MailAttribute", Kind::kText, kAll},
    {kLdapKey, "AliasAttribute", Kind::kText, kAll},
    {kLdapKey, "HomeAttribute", Kind::kText, kAll},
    {kLdapKey, "MailboxAttribute", Kind::kText, kAll},
    {kLdapKey, "MailHostAttribute", Kind::kText, kAll},
    {kLdapKey, "StartTls", Kind::kNumber, kAll},
    {kLdapKey, "CaFile", Kind::kPemFile, kAll},
    {kLdapKey, "NetworkTimeout", Kind::kNumber, kAll},
    {kLdapKey, "OperationTimeout", Kind::kNumber, kAll},
    {kLdapKey, "CacheSeconds", Kind::kNumber, kAll},
    {kLdapKey, "PoolSize", Kind::kNumber, kAll},
    {kRecvKey, "PortNo", Kind::kPort, kRecv},
    {kRecvKey, "ProhibitMailRelay", Kind::kNumber, kRecv},
    {kRecvKey, "CheckLocalRecipient", Kind::kNumber, kRecv},
    {kRecvKey, "NoKeepalives", Kind::kNumber, kRecv},
    {kRecvKey, "MailInlogEnabled", Kind::kNumber, kRecv},
    {kRecvKey, "MailQueueDir", Kind::kSpoolName, kRecv},
    {kRecvKey, "MaxMessageSize", Kind::kNumber, kRecv},
    {kRecvKey, "Timeout", Kind::kNumber, kRecv},
    {kRecvKey, "MinimumTimeout", Kind::kNumber, kRecv},
    {kRecvKey, "ClientPrefixLengthV6", Kind::kPrefixLength, kRecv},
    {kRecvKey, "MaxPreTransactionCommands", Kind::kNumber, kRecv},
    {kRecvKey, "MaxBufferedBytes", Kind::kNumber, kRecv},
    {kRecvKey, "SubmissionAnySender", Kind::kNumber, kRecv},
    {kRecvKey, "SignRelayClients", Kind::kNumber, kRecv},
    {kRecvKey, "DmarcReject", Kind::kNumber, kRecv},
    {kRecvKey, "RelayClients", Kind::kNetworks, kRecv},
    {kRecvKey, "BackupMxDomains", Kind::kDomains, kRecv},
    {kRecvKey, "BackupMxVerifiedDomains", Kind::kDomains, kRecv},
    {kRecvKey, "ListenAddresses", Kind::kAddresses, kRecv},
    {kRecvKey, "MaxConnections", Kind::kNumber, kRecv},
    {kRecvKey, "MaxConnectionsPerClient", Kind::kNumber, kRecv},
    {kRecvKey, "MaxTransactionTime", Kind::kNumber, kRecv},
    {kRecvKey, "MaxRecipients", Kind::kNumber, kRecv},
    {kRecvKey, "Esmtp", Kind::kNumber, kRecv},
    {kRecvKey, "SubmissionPortNo", Kind::kPort, kRecv},
    {kRecvKey, "SubmissionTlsPortNo", Kind::kPort, kRecv},
    {kRecvKey, "Milters", Kind::kFilters, kRecv},
    {kRecvKey, "MilterDefaultAction", Kind::kText, kRecv},
    {kRecvKey, "MilterConnectTimeout", Kind::kNumber, kRecv},
    {kRecvKey, "MilterCommandTimeout", Kind::kNumber, kRecv},
    {kRecvKey, "MilterContentTimeout", Kind::kNumber, kRecv},
    {kRecvKey, "MinimumLogonUid", Kind::kNumber, kRecv},
    {kRecvKey, "MilterRetryInterval", Kind::kNumber, kRecv},
    {kDelivKey, "Timeout", Kind::kNumber, kDeliv},
    {kDelivKey, "SendTimeout0", Kind::kNumber, kDeliv},
    {kDelivKey, "ReceiveTimeout0", Kind::kNumber, kDeliv},
    {kDelivKey, "ReceiveTimeout1", Kind::kNumber, kDeliv},
    {kDelivKey, "MaxTransactionTime", Kind::kNumber, kDeliv},
    {kDelivKey, "MinimumTimeout", Kind::kNumber, kDeliv},
    {kDelivKey, "MailOutlogEnabled", Kind::kNumber, kDeliv},
    {kDelivKey, "SmtpPort", Kind::kPort, kDeliv},
    {kDelivKey, "TlsCaFile", Kind::kPemFile, kDeliv},
    {kDelivKey, "MailHostPort", Kind::kPort, kDeliv},
    {kDelivKey, "MailHostCa", Kind::kPemFile, kDeliv},
    {kDelivKey, "Milters", Kind::kFilters, kDeliv},
    {kDelivKey, "MilterDefaultAction", Kind::kText, kDeliv},
    {kDelivKey, "MilterConnectTimeout", Kind::kNumber, kDeliv},
    {kDelivKey, "MilterCommandTimeout", Kind::kNumber, kDeliv},
    {kDelivKey, "MilterContentTimeout", Kind::kNumber, kDeliv},
    {kDelivKey, "MilterRetryInterval", Kind::kNumber, kDeliv},
    {kFetchKey, "PortNo", Kind::kPort, kFetch},
    {kFetchKey, "TlsPortNo", Kind::kPort, kFetch},
    {kFetchKey, "MessageExtension", Kind::kExtension, kFetch},
    {kFetchKey, "Timeout", Kind::kNumber, kFetch},
    {kFetchKey, "MinimumTimeout", Kind::kNumber, kFetch},
    {kFetchKey, "Pop3LogEnabled", Kind::kNumber, kFetch},
    {kFetchKey, "PlaintextLogonClients", Kind::kNetworks, kFetch},
    {kFetchKey, "ListenAddresses", Kind::kAddresses, kFetch},
    {kFetchKey, "MaxConnections", Kind::kNumber, kFetch},
    {kFetchKey, "MaxConnectionsPerClient", Kind::kNumber, kFetch},
    {kFetchKey, "MaxTransactionTime", Kind::kNumber, kFetch},
    {kFetchKey, "MinimumLogonUid", Kind::kNumber, kFetch},
    {kFetchKey, "ClientPrefixLengthV6", Kind::kPrefixLength, kFetch},
    {kImapKey, "PortNo", Kind::kPort, kImap},
    {kImapKey, "TlsPortNo", Kind::kPort, kImap},
    {kImapKey, "Timeout", Kind::kNumber, kImap},
    {kImapKey, "LogonTimeout", Kind::kNumber, kImap},
    {kImapKey, "MinimumTimeout", Kind::kNumber, kImap},
    {kImapKey, "PlaintextLogonClients", Kind::kNetworks, kImap},
    {kImapKey, "ListenAddresses", Kind::kAddresses, kImap},
    {kImapKey, "MaxConnections", Kind::kNumber, kImap},
    {kImapKey, "MaxConnectionsPerClient", Kind::kNumber, kImap},
    {kImapKey, "ClientPrefixLengthV6", Kind::kPrefixLength, kImap},
    {kImapKey, "MinimumLogonUid", Kind::kNumber, kImap},
    {kImapKey, "AppendLimit", Kind::kNumber, kImap},
    {kImapKey, "SievePortNo", Kind::kPort, kImap},
    {kTcpipKey, "Hostname", Kind::kText, kAll},
    {kTcpipKey, "Domain", Kind::kText, kAll},
    {kTcpipKey, "NameServer", Kind::kNameServers, kDeliv},
};

// Room for any value the check reads.
constexpr size_t kValueBuffer = kMaxRegValueSize + 2;
// A PEM file larger than this is no certificate chain or key of ours.
constexpr size_t kMaxPemFileBytes = 1024 * 1024;
constexpr const char *kPemMarker = "-----BEGIN ";
// The name-server question: any reply, a refusal included, shows that the
// server is there and answers.
constexpr const char *kNameServerProbe = "localhost";
constexpr DWORD kNameServerTimeoutMs = 2000;
// The longest extension the POP3 server keeps.
constexpr size_t kMaxExtension = 9;

std::string KeyPath(KeyId id) {
  if (id == kSuiteKeyId) return kSuiteKey;
  if (id == kTcpipKey) return kTcpipParametersKey;
  if (id == kLdapKey) return std::string(kSuiteKey) + "\\" + kLdapSubkey;
  return std::string(kServicesKey) + "\\" + kKeys[id].Service + "\\Parameters";
}

unsigned ServiceBit(const char *service) {
  if (service == nullptr) return kAll;
  for (KeyId id : {kRecvKey, kDelivKey, kFetchKey, kImapKey})
    if (std::strcmp(kKeys[id].Service, service) == 0) return kKeys[id].Readers;
  return 0;
}

class Checker {
 public:
  explicit Checker(const ConfigCheckOptions &o) : options_(o), scope_(ServiceBit(o.Service)) {}
  std::vector<ConfigFinding> Run();

 private:
  struct Stored {
    DWORD Type = REG_NONE;
    std::string Data;
  };

  void Error(const std::string &where, const std::string &what) {
    findings_.push_back({EVENTLOG_ERROR_TYPE, where + ": " + what});
  }
  void Warning(const std::string &where, const std::string &what) {
    findings_.push_back({EVENTLOG_WARNING_TYPE, where + ": " + what});
  }

  void CheckKey(KeyId id);
  void CheckValue(const KnownValue &v, const std::string &where, const Stored &s);
  bool TypeFits(const KnownValue &v, const std::string &where, const Stored &s);
  void CheckNumber(const KnownValue &v, const std::string &where, DWORD n);
  void CheckText(const KnownValue &v, const std::string &where, const std::string &text);
  void CheckList(const KnownValue &v, const std::string &where, const std::string &data);
  void CheckSpool(const std::string &where, const std::string &path);
  void CheckMailboxTemplate(const std::string &where, const std::string &tmpl);
  void CheckAccount(const std::string &where, const std::string &name);
  void CheckVirtualAccount(const std::string &where, const std::string &name);
  void CheckPemFile(const KnownValue &v, const std::string &where, const std::string &path);
  void CheckNameServers(const std::string &where, const std::string &text);
  void CheckSecretFile(const std::string &where, const std::string &path);
  void CheckAccountsFile();
  void CheckUserDirectory();
  void CheckReceiverAccess();
  void AskNameServers();

  const ConfigCheckOptions &options_;
  unsigned scope_;
  std::vector<ConfigFinding> findings_;
  std::string spool_;      // as stored, or the default
  std::string account_;    // ServiceAccount as stored, or the default
  // The TLS files named that can be read, with the service that reads them.
  std::vector<std::pair<std::string, const char *>> tlsFiles_;
};

const KnownValue *FindKnown(KeyId id, std::string_view name) {
  for (const KnownValue &v : kKnownValues)
    if (v.Key == id && EqualsNoCase(name, v.Name)) return &v;
  return nullptr;
}

// Stored text shown in a finding: cut and escaped like network text.
std::string Shown(std::string_view s) { return "\"" + LogSafeText(s) + "\""; }

std::string StringOf(const std::string &data) { return data.substr(0, data.find('\0')); }

std::vector<std::string> MultiStringOf(const std::string &data) {
  std::vector<std::string> out;
  for (size_t i = 0; i < data.size() && data[i] != '\0';) {
    size_t nul = data.find('\0', i);
    if (nul == std::string::npos) nul = data.size();
    out.push_back(data.substr(i, nul - i));
    i = nul + 1;
  }
  return out;
}

bool IsStringType(DWORD type) { return type == REG_SZ || type == REG_EXPAND_SZ; }

DWORD DwordOf(const std::string &data) {
  DWORD v = 0;
  std::memcpy(&v, data.data(), sizeof v);
  return v;
}

std::vector<ConfigFinding> Checker::Run() {
  spool_ = DefaultSpoolDirectory();
  account_ = kDefaultServiceAccount;
  for (KeyId id : {kSuiteKeyId, kRecvKey, kDelivKey, kFetchKey, kImapKey, kTcpipKey, kLdapKey})
    if ((kKeys[id].Readers & scope_) != 0) CheckKey(id);
  CheckAccountsFile();
  CheckUserDirectory();
  if (options_.Thorough && (scope_ & kRecv) != 0) CheckReceiverAccess();
  if (options_.Thorough && (scope_ & kDeliv) != 0) AskNameServers();
  return std::move(findings_);
}

void Checker::CheckKey(KeyId id) {
  RegKey key;
  if (RegOpenKeyEx(HKEY_LOCAL_MACHINE, KeyPath(id).c_str(), KEY_READ, key.out()) != ERROR_SUCCESS)
    return;  // nothing stored: every value has its default
  // The suite's own unknown values are reported once, by the full check.
  bool reportUnknown = kKeys[id].Service != nullptr || options_.Service == nullptr;
  std::string name(kMaxRegValueNameLength + 1, '\0');
  for (DWORD i = 0;; ++i) {
    DWORD cch = static_cast<DWORD>(name.size());
    Stored s;
    s.Data.assign(kValueBuffer, '\0');
    DWORD cb = static_cast<DWORD>(s.Data.size());
    if (RegEnumValue(key.get(), i, name.data(), &cch, &s.Type, s.Data.data(), &cb) !=
        ERROR_SUCCESS)
      break;
    s.Data.resize(cb);
    std::string valueName(name.data(), cch);
    std::string where = std::string(kKeys[id].Label) + " " + LogSafeText(valueName);
    const KnownValue *v = FindKnown(id, valueName);
    if (v == nullptr) {
      if (reportUnknown) Warning(where, "no service reads this value; is the name misspelt?");
      continue;
    }
    if ((v->Readers & scope_) != 0 && TypeFits(*v, where, s)) CheckValue(*v, where, s);
  }
}

bool Checker::TypeFits(const KnownValue &v, const std::string &where, const Stored &s) {
  const char *want;
  bool fits;
  switch (v.Type) {
    case Kind::kNumber:
    case Kind::kPort:
      want = "REG_DWORD";
      fits = s.Type == REG_DWORD && s.Data.size() == 4;
      break;
    case Kind::kDomains:
    case Kind::kNetworks:
    case Kind::kAddresses:
    case Kind::kFilters:
    case Kind::kUserSources:
    case Kind::kLdapUris:
      want = "REG_MULTI_SZ";
      fits = s.Type == REG_MULTI_SZ;
      break;
    default:
      want = "REG_SZ";
      fits = IsStringType(s.Type);
      break;
  }
  if (!fits) Error(where, std::string("has the wrong type; it must be a ") + want);
  return fits;
}

void Checker::CheckValue(const KnownValue &v, const std::string &where, const Stored &s) {
  if (s.Type == REG_DWORD) return CheckNumber(v, where, DwordOf(s.Data));
  if (s.Type == REG_MULTI_SZ) return CheckList(v, where, s.Data);
  CheckText(v, where, StringOf(s.Data));
}

void Checker::CheckNumber(const KnownValue &v, const std::string &where, DWORD n) {
  if (v.Type == Kind::kPort && n > 65535)
    Error(where, std::to_string(n) + " is not a port number (1 to 65535, 0 for the standard port)");
  if (v.Type == Kind::kPrefixLength && (n < 1 || n > 128))
    Error(where, std::to_string(n) + " is not the length of an IPv6 prefix (1 to 128); " +
                     std::to_string(kSubscriberPrefixLengthV6) + " is used");
}

void Checker::CheckText(const KnownValue &v, const std::string &where, const std::string &text) {
  switch (v.Type) {
    case Kind::kSpool: return CheckSpool(where, text);
    case Kind::kMailboxTemplate: return CheckMailboxTemplate(where, text);
    case Kind::kAccount: return CheckAccount(where, text);
    case Kind::kVirtualAccount: return CheckVirtualAccount(where, text);
    case Kind::kPemFile: return CheckPemFile(v, where, text);
    case Kind::kNameServers: return CheckNameServers(where, text);
    case Kind::kSecretFile: return CheckSecretFile(where, text);
    case Kind::kGatewayTls:
      if (!text.empty() && !EqualsNoCase(text, "none") && !EqualsNoCase(text, "opportunistic") &&
          !EqualsNoCase(text, "verify"))
        Error(where, Shown(text) + " is not none, opportunistic or verify; verify is used");
      return;
    case Kind::kSpoolName:
      if (text.find("..") != std::string::npos || (!text.empty() && text[0] == '/'))
        Error(where, Shown(text) + " must be a directory name inside the spool");
      return;
    case Kind::kExtension:
      if (text.find('/') != std::string::npos || text.size() > kMaxExtension)
        Error(where, Shown(text) + " is not a file name extension of at most 9 characters");
      return;
    default:
      return;
  }
}

void Checker::CheckList(const KnownValue &v, const std::string &where, const std::string &data) {
  // A service's own reader logs the entries it ignores: its start check
  // does not say it twice.
  if (!options_.Thorough && v.Type != Kind::kDomains) return;
  for (const std::string &entry : MultiStringOf(data)) {
    IpNetwork network;
    IpAddress address;
    if (v.Type == Kind::kNetworks && !ParseNetwork(entry, &network))
      Error(where, "the entry " + Shown(entry) + " is not a network (like 192.0.2.0/24); it is ignored");
    if (v.Type == Kind::kAddresses && !ParseAddress(entry, &address))
      Error(where, "the entry " + Shown(entry) + " is not an IP address; it is ignored");
    MilterAddress filter;
    if (v.Type == Kind::kFilters && !ParseMilterAddress(entry, &filter))
      Error(where, "the entry " + Shown(entry) +
                       " is not a mail filter (inet:HOST:PORT, inet6:[ADDRESS]:PORT or "
                       "unix:/path); it is ignored");
    if (v.Type == Kind::kDomains &&
        (entry.find_first_of(" \t@/") != std::string::npos || entry.empty()))
      Warning(where, "the entry " + Shown(entry) + " is not a domain name");
  }
}

void Checker::CheckSpool(const std::string &where, const std::string &path) {
  if (path.empty()) return;  // the default stays
  spool_ = path;
  if (path[0] != '/')
    Warning(where, Shown(path) + " is relative: it depends on the directory a service starts in");
  else if (FileExists(path) && !DirectoryExists(path))
    Error(where, Shown(path) + " is not a directory");
}

void Checker::CheckMailboxTemplate(const std::string &where, const std::string &tmpl) {
  if (tmpl.empty()) return;
  bool perUser = tmpl.find("%USERNAME%") != std::string::npos || tmpl.rfind("%HOME%", 0) == 0;
  if (!perUser)
    Error(where, Shown(tmpl) + " names no %USERNAME% and does not start with %HOME%: every user "
                 "would share one mailbox");
  else if (tmpl[0] != '/' && tmpl[0] != '%')
    Warning(where, Shown(tmpl) + " is relative: it depends on the directory a service starts in");
}

void Checker::CheckAccount(const std::string &where, const std::string &name) {
  if (name.empty()) return;
  account_ = name;
  uid_t uid;
  gid_t gid;
  if (!IsValidAccountName(name))
    Error(where, Shown(name) + " is not an account name (lower-case letters, digits, \"_\", \"-\")");
  else if (!LookUpAccount(name, &uid, &gid))
    Warning(where, "the account " + Shown(name) +
                       " does not exist; \"zelrecv -install\" creates it, and until then the "
                       "receiver, the POP3 front and the delivery agent's remote side keep the "
                       "identity they "
                       "were started with");
}

void Checker::CheckVirtualAccount(const std::string &where, const std::string &name) {
  uid_t uid = 0;
  gid_t gid = 0;
  const char *waits = "; mail for users without a host account waits in the queue";
  if (name.empty())
    Warning(where, "no account is named" + std::string(waits));
  else if (!IsValidAccountName(name))
    Error(where, Shown(name) + " is not an account name (lower-case letters, digits, \"_\", \"-\")");
  else if (!LookUpAccount(name, &uid, &gid))
    Warning(where, "the account " + Shown(name) + " does not exist (\"zeldeliv -install\" "
                   "creates it)" + waits);
  else if (uid == 0 || gid == 0)
    Error(where, "the account " + Shown(name) + " is root's" + waits);
}

void Checker::CheckPemFile(const KnownValue &v, const std::string &where, const std::string &path) {
  if (path.empty()) return;
  TextFile file;
  std::string text;
  if (!file.Open(path, "rb") || !file.ReadAll(text, kMaxPemFileBytes)) {
    long err = GetLastError();
    std::string why;
    if (!FormatSystemMessage(err, why)) why = "error " + std::to_string(err);
    return Error(where, "cannot read " + Shown(path) + ": " + why);
  }
  // The receiver loads its pair as the service account, and the delivery
  // agent's remote process, which runs as that account, its CA files; the
  // POP3 and IMAP sessions read theirs while still root.
  if ((v.Readers & (kRecv | kDeliv)) != 0)
    tlsFiles_.push_back({path, (v.Readers & kRecv) != 0 ? "ZELRECV" : "ZELDELIV"});
  if (text.find(kPemMarker) == std::string::npos)
    Error(where, Shown(path) + " holds no PEM text (\"-----BEGIN ...\")");
  else if (std::strcmp(v.Name, "TlsKeyFile") == 0 && !FileIsPrivate(path))
    Warning(where, "the key file " + Shown(path) + " can be read by every user");
}

// Only root (the delivery agent's privileged process) may read it.
void Checker::CheckSecretFile(const std::string &where, const std::string &path) {
  if (path.empty()) return;
  UniqueFd file(OpenFileForReading(path));
  if (!file.Valid()) {
    std::string why;
    if (!FormatSystemMessage(GetLastError(), why)) why = "error " + std::to_string(GetLastError());
    return Error(where, "cannot read " + Shown(path) + ": " + why);
  }
  if (!FileIsOwnersOnly(file.Get()))
    Error(where, Shown(path) + " must be root's alone (chown root " + path +
                     "; chmod 600 " + path + "): others could read the password");
}

void Checker::CheckNameServers(const std::string &where, const std::string &text) {
  std::vector<DnsServerAddress> servers =
      ParseNameServerList(text, kMaxNameServerValueBytes, kMaxDnsServers);
  if (servers.empty())
    Error(where, Shown(text) +
                     " names no name server (\"a.b.c.d\", \"a.b.c.d:port\", \"[x::y]:port\")");
}

// UserDirectory's names, and when it names "ldap" the Ldap settings as a
// whole; the thorough check binds and searches once.
void Checker::CheckUserDirectory() {
  RegKey suite;
  std::vector<std::string> names;
  if (RegOpenKeyEx(HKEY_LOCAL_MACHINE, kSuiteKey, KEY_READ, suite.out()) != ERROR_SUCCESS ||
      !QueryRegMultiString(suite.get(), kUserDirectoryValue, kMaxUserDirectoryBytes, names))
    return;
  std::vector<UserSource> order;
  std::string why;
  if (!ParseUserDirectory(names, order, why))
    return Error("ZEL UserDirectory", LogSafeText(why) +
                                          "; until it is mended every lookup fails for now "
                                          "(mail waits, logons fail)");
  if (std::find(order.begin(), order.end(), UserSource::kDirectory) == order.end()) return;
  LdapSettings settings;
  // The password file is root's: only an administrator's check reads it.
  if (!LoadLdapSettings(settings, options_.Thorough, why))
    return Error("ZEL\\Ldap", LogSafeText(why) +
                                   "; until it is mended the directory answers nothing "
                                   "(mail waits, logons fail)");
  if (!options_.Thorough) return;
  ConfigureLdapDirectory(settings);
  explicit_bzero(settings.BindPassword.data(), settings.BindPassword.size());
  std::string report;
  if (!LdapProbe(report)) Error("ZEL\\Ldap", LogSafeText(report));
}

void Checker::CheckAccountsFile() {
  AccountsData data;
  std::string error;
  long rc = ReadAccountsFile(AccountsFilePath(), data, error);
  if (rc != ERROR_SUCCESS && rc != ERROR_FILE_NOT_FOUND)
    Error("accounts file", LogSafeText(error) + "; no account can log on or receive mail");
}

// The receiver runs as its account and writes these: it cannot accept mail
// when the account cannot.
void Checker::CheckReceiverAccess() {
  uid_t uid;
  gid_t gid;
  if (!IsValidAccountName(account_) || !LookUpAccount(account_, &uid, &gid)) return;
  // What it writes: incoming, the event log, the identifier counter's
  // directory and the mutexes. What is not there yet is not asked about.
  const std::pair<std::string, int> writes[] = {
      {spool_ + "/" + kIncomingDir, W_OK | X_OK},
      {EventLogPath(), W_OK},
      {MsgCounterPath().substr(0, MsgCounterPath().rfind('/')), W_OK | X_OK},
      {MutexDirectory(), W_OK | X_OK},
  };
  for (const auto &[path, access] : writes) {
    bool may = false;
    if (AccountMayAccess(path, uid, gid, access, may) && !may)
      Error("ZELRECV", "the service account " + Shown(account_) + " cannot write " + Shown(path) +
                           "; \"zelrecv -install\" gives it what it needs");
  }
  // The TLS files are read as the account too, at start and at every reload.
  for (const auto &[file, reader] : tlsFiles_) {
    bool may = false;
    if (AccountMayAccess(file, uid, gid, R_OK, may) && !may)
      Error(reader, "the service account " + Shown(account_) + " cannot read " + Shown(file) +
                           "; give the file to its group (chgrp, mode 0640)");
  }
}

void Checker::AskNameServers() {
  std::vector<DnsServerAddress> servers;
  if (ReadNameServerList(servers) != ERROR_SUCCESS || servers.empty())
    return Error("Tcpip NameServer", "no name server is configured; no remote mail can go out");
  DnsQueryOptions o;
  o.serverTimeoutMs = kNameServerTimeoutMs;
  o.udpTries = 1;
  DnsAnswer answer;
  if (DnsQuery(servers, kNameServerProbe, kDnsTypeA, o, answer) != ERROR_SUCCESS)
    Error("Tcpip NameServer", "no name server answers; no remote mail can go out");
}

}  // namespace

std::vector<ConfigFinding> CheckConfiguration(const ConfigCheckOptions &options) {
  return Checker(options).Run();
}

std::vector<std::string> KnownConfigValueNames() {
  std::vector<std::string> names;
  for (const KnownValue &v : kKnownValues)
    names.push_back(std::string(kKeys[v.Key].Label) + " " + v.Name);
  return names;
}

int LogConfigurationCheck() {
  ConfigCheckOptions options;
  options.Service = ThisServiceName();
  int errors = 0;
  for (const ConfigFinding &f : CheckConfiguration(options)) {
    LogEvent(f.Severity, MSG_CONFIG_PROBLEM, f.Text.c_str(), nullptr);
    if (f.Severity == EVENTLOG_ERROR_TYPE) ++errors;
  }
  return errors;
}
