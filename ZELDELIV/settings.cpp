// settings: see settings.h.
#include "ZELDELIV/settings.h"

#include <algorithm>

#include "common/loadcfig.h"
#include "common/logging.h"
#include "common/pconfig.h"
#include "common/str.h"
#include "common/zel.h"
#include "net/localhost.h"
#include "platform/ipaddr.h"
#include "platform/sockets.h"

DWORD SendTimeout0 = 300;
DWORD ReceiveTimeout0 = 300;
DWORD ReceiveTimeout1 = 600;
DWORD MaxTransactionTime = kDefaultMaxTransactionTime;
DWORD SMTPTimeout = 120;
DWORD SmtpPort = kDefaultSmtpPort;
std::atomic<bool> OutlogEnabled{false};
DWORD GatewayPort = 0;
std::string GatewayUser;
std::string GatewayPasswordFile;
DWORD MailHostPort = kDefaultMailHostPort;
std::string MailHostCa;
ServiceAccountIds RemoteSideAccount;

namespace {

// getsockname may report 0 on a socket that is still settling; ask again.
constexpr int kLocalAddressAttempts = 5;

// A time-out is taken only when it is present and nonzero.
void ReadTimeout(HKEY key, const char *name, DWORD &value) {
  DWORD v = 0;
  if (QueryRegDword(key, name, v) && v != 0) value = v;
}

// The SMTP client's time limits, none below the floor.
void ReadClientLimits(HKEY key) {
  DWORD floor = kDefaultMinimumTimeout;
  QueryRegDword(key, "MinimumTimeout", floor);
  ReadTimeout(key, "SendTimeout0", SendTimeout0);
  ReadTimeout(key, "ReceiveTimeout0", ReceiveTimeout0);
  ReadTimeout(key, "ReceiveTimeout1", ReceiveTimeout1);
  QueryRegDword(key, "MaxTransactionTime", MaxTransactionTime);
  for (DWORD *limit : {&SendTimeout0, &ReceiveTimeout0, &ReceiveTimeout1})
    *limit = std::max(*limit, floor);
  if (MaxTransactionTime != 0) MaxTransactionTime = std::max(MaxTransactionTime, floor);
}

// A port is 16 bits; 0 or a larger value keeps the standard port.
void ReadSmtpPort(HKEY key) {
  DWORD v = 0;
  if (QueryRegDword(key, "SmtpPort", v) && v != 0 && v <= 65535) SmtpPort = v;
}

void ReadMailHostSettings(HKEY key) {
  DWORD port = 0;
  if (QueryRegDword(key, "MailHostPort", port) && port != 0 && port <= 65535) MailHostPort = port;
  if (!QueryRegString(key, "MailHostCa", kMaxPath, MailHostCa)) MailHostCa.clear();
}

// The relay host's values of the suite key; a port beyond 16 bits is none.
void ReadGatewaySettings() {
  RegKey suite;
  if (RegOpenKeyEx(HKEY_LOCAL_MACHINE, kSuiteKey, KEY_READ, suite.out()) != ERROR_SUCCESS)
    return;
  DWORD port = 0;
  if (QueryRegDword(suite.get(), "GatewayPort", port) && port <= 65535) GatewayPort = port;
  if (!QueryRegString(suite.get(), "GatewayUser", kMaxGatewayUser, GatewayUser))
    GatewayUser.clear();
  if (!QueryRegString(suite.get(), "GatewayPasswordFile", kMaxPath, GatewayPasswordFile))
    GatewayPasswordFile.clear();
}

}  // namespace

void LoadDeliverySettings() {
  ReadGatewaySettings();
  RegKey params;
  if (OpenParametersKey(params) != ERROR_SUCCESS) return;
  ReadClientLimits(params.get());
  ReadTimeout(params.get(), "Timeout", SMTPTimeout);
  ReadSmtpPort(params.get());
  ReadMailHostSettings(params.get());
  DWORD outlog = 0;
  QueryRegDword(params.get(), "MailOutlogEnabled", outlog);
  OutlogEnabled = outlog != 0;
}

void FormDeliverySpoolPaths() {
  MailQueueDirectory = SpoolPath(kIncomingDir);
  MailHoldingDirectory = SpoolPath(kHoldingDir);
  MailDomainsDirectory = SpoolPath(kDomainsDir);
  MailListsDirectory = SpoolPath(kListsDir);
  MailOutlogDirectory = SpoolPath(kOutlogDir);
  MailDeadDirectory = SpoolPath(kDeadDir);
}

std::string GetLocalHostName(int socket) {
  const auto &table = LocalHostIPInfo.Entries;
  if (socket < 0) return table.empty() ? "" : table.front().Name;
  IpAddress addr;
  for (int attempt = 0; attempt < kLocalAddressAttempts && (!addr.Valid() || addr.IsAny());
       ++attempt) {
    if (!GetSocketAddress(socket, &addr)) {
      LogWin32Error(EVENTLOG_ERROR_TYPE, "getsockname", GetLastError());
      return "";
    }
  }
  // An IPv6 address stands in for a name only as a literal.
  auto unnamed = [](const IpAddress &a) {
    return a.IsV6() ? DomainLiteralText(a) : AddressText(a);
  };
  if (const _IPInfo *e = FindLocalAddress(addr)) return e->Name.empty() ? unnamed(addr) : e->Name;
  return unnamed(addr);
}

bool IsLocalHostName(std::string_view name) {
  if (!name.empty() && name.front() == '[') {
    IpAddress literal;
    return ParseDomainLiteral(name, &literal) && FindLocalAddress(literal) != nullptr;
  }
  for (const _IPInfo &e : LocalHostIPInfo.Entries) {
    if (EqualsNoCase(name, e.Name)) return true;
    for (const std::string &alias : e.Alias)
      if (EqualsNoCase(name, alias)) return true;
  }
  return false;
}

bool IsLocalDomainName(std::string_view domain) {
  for (const std::string &d : DomainNamesAreLocal)
    if (EqualsNoCase(domain, d)) return true;
  return MatchLocalHostName(domain) != nullptr;
}

bool IsLocalHostAddress(uint32_t address) {
  for (const _IPInfo &e : LocalHostIPInfo.Entries)
    if (e.IPAddr == address) return true;
  return false;
}
