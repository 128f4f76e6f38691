// loadcfig: loading the suite's global configuration from the registry.
//
// Every value is optional: a value that is missing, unreadable or larger than
// its buffer leaves the built-in default. The registry type is not checked:
// a DWORD is whatever fits in four bytes, a string whatever fits in its
// buffer. Called once while a service starts, before its threads run.
#pragma once

#include <string>
#include <vector>

#include "platform/ipaddr.h"
#include "platform/registry.h"

// The built-in retry schedule: 53 entries, 6,500 minutes in all.
extern const char *const kBuiltInRetrySchedule;

// Fills MailSpoolDirectory and MailInboxDirectory.
void LoadCriticalConfig();

// Fills Postmaster, DomainNamesAreLocal (domainListBytes: the size of the
// program's multi-string buffer), the two booleans, MaxDeliveryThreads, the
// retry schedule, GatewayName and ServiceAccount, and hands VirtualMailAccount
// to platform/logon (SetVirtualMailAccount); reads the suite's version
// counters.
void LoadGeneralConfigMain(size_t domainListBytes);

// The servers' TLS certificate (with its chain) and key: PEM files named by
// the suite values TlsCertificateFile and TlsKeyFile (REG_SZ). No
// certificate file: TLS is not offered. No key file: the key is in the
// certificate file. They are read at start and again at every reload
// (common/tlsconfig), so they are not globals of zel.h.
constexpr const char *kTlsCertificateFileValue = "TlsCertificateFile";
constexpr const char *kTlsKeyFileValue = "TlsKeyFile";
constexpr const char *kDefaultTlsCertificateFile = "";
constexpr const char *kDefaultTlsKeyFile = "";
// A path as long as Linux allows (PATH_MAX), not kMaxPath: a longer value
// would be left at its default and silently turn TLS off.
constexpr size_t kMaxTlsFilePath = 4096;
struct TlsFileNames {
  std::string CertificateFile = kDefaultTlsCertificateFile;
  std::string KeyFile = kDefaultTlsKeyFile;
};
TlsFileNames LoadTlsFileNames();

// Builds RetrySchedule from RetryScheduleDescriptor; returns the entry count
// (entry 0 included), which is also stored in RetryScheduleLength.
int SetUpRetryScheduleArray();

// A version counter ("ConfigVersion", "CriticalConfigVersion") under the suite
// key (subkey null or "") or one of its subkeys; -1 when missing.
int GetCounterValue(const char *subkey, const char *valueName);

// Opens (creating if needed) this service's Parameters key,
// SYSTEM\CurrentControlSet\Services\<service name>\Parameters.
long OpenParametersKey(RegKey &key);

// Registry reads with a buffer of a given size, as the loaders do them.
// A string value larger than maxChars characters (plus its NUL) fails.
bool QueryRegString(HKEY key, const char *name, size_t maxChars, std::string &out);
// Reads up to four bytes over the default already in out.
bool QueryRegDword(HKEY key, const char *name, DWORD &out);
// A multi-string of at most maxBytes bytes, as its list of strings.
bool QueryRegMultiString(HKEY key, const char *name, size_t maxBytes,
                         std::vector<std::string> &out);

// A list of networks (a multi-string of CIDR entries of at most maxBytes):
// the defaults when the value is missing. An entry that does not parse is
// left out and reported as event 32 naming the value and the entry, once
// (settings are read once per start).
NetworkList QueryRegNetworkList(HKEY key, const char *name, size_t maxBytes,
                                const std::vector<std::string> &defaults);
