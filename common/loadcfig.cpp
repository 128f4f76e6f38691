// loadcfig: see loadcfig.h.
#include "common/loadcfig.h"

#include "common/userdir.h"

#include <cstdlib>
#include <cstring>

#include "common/logging.h"
#include "common/pconfig.h"
#include "common/service.h"
#include "common/userdir.h"
#include "common/zel.h"
#include "platform/logon.h"
#include "platform/root.h"

const char *const kBuiltInRetrySchedule =
    "10:F,10:F,100:F,10:F,10:F,100:F,10:F,10:F,100:F,10:F,10:F,100:F,10:F,10:F,100:F,"
    "10:F,10:F,100:F,10:F,10:T,220:F,10:F,10:F,220:F,10:F,10:F,220:F,10:F,10:F,220:F,"
    "10:F,10:F,220:F,10:F,10:F,220:F,10:F,10:T,460:F,10:F,10:F,460:F,10:F,10:F,460:F,"
    "10:F,10:T,1420:F,10:F,10:F,1420:F,10:F,10:F";

bool QueryRegString(HKEY key, const char *name, size_t maxChars, std::string &out) {
  std::vector<char> buf(maxChars + 1, '\0');
  DWORD cb = static_cast<DWORD>(buf.size());
  if (RegQueryValueEx(key, name, nullptr, buf.data(), &cb) != ERROR_SUCCESS) return false;
  buf.back() = '\0';
  out.assign(buf.data(), strnlen(buf.data(), cb));
  return true;
}

bool QueryRegDword(HKEY key, const char *name, DWORD &out) {
  unsigned char buf[4];
  memcpy(buf, &out, sizeof buf);
  DWORD cb = sizeof buf;
  if (RegQueryValueEx(key, name, nullptr, buf, &cb) != ERROR_SUCCESS) return false;
  memcpy(&out, buf, sizeof buf);
  return true;
}

bool QueryRegMultiString(HKEY key, const char *name, size_t maxBytes,
                         std::vector<std::string> &out) {
  // Two spare NULs so that a value without its final terminators still ends.
  std::vector<char> buf(maxBytes + 2, '\0');
  DWORD cb = static_cast<DWORD>(maxBytes);
  if (RegQueryValueEx(key, name, nullptr, buf.data(), &cb) != ERROR_SUCCESS) return false;
  out.clear();
  for (size_t i = 0; i < cb && buf[i] != '\0';) {
    size_t len = strnlen(buf.data() + i, cb - i);
    out.emplace_back(buf.data() + i, len);
    i += len + 1;
  }
  return true;
}

NetworkList QueryRegNetworkList(HKEY key, const char *name, size_t maxBytes,
                                const std::vector<std::string> &defaults) {
  std::vector<std::string> entries;
  if (!QueryRegMultiString(key, name, maxBytes, entries)) entries = defaults;
  NetworkList networks;
  std::vector<std::string> bad;
  ParseNetworkList(entries, &networks, &bad);
  for (const std::string &entry : bad) {
    std::string what = std::string(name) + " entry '" + LogSafeText(entry) + "'";
    LogWin32Error(EVENTLOG_WARNING_TYPE, what.c_str(), ERROR_INVALID_PARAMETER);
  }
  return networks;
}

void LoadCriticalConfig() {
  MailInboxDirectory = DefaultInboxTemplate();
  MailSpoolDirectory = DefaultSpoolDirectory();
  RegKey suite;
  if (RegCreateKeyEx(HKEY_LOCAL_MACHINE, kSuiteKey, KEY_ALL_ACCESS, suite.out(), nullptr) !=
      ERROR_SUCCESS)
    return;
  std::string value;
  if (QueryRegString(suite.get(), "MailInBoxDir", kMaxPath, value) && !value.empty())
    MailInboxDirectory = value;
  if (QueryRegString(suite.get(), "MailSpoolDir", kMaxPath, value) && !value.empty())
    MailSpoolDirectory = value;
  CriticalConfigVersion = GetCounterValue(nullptr, "CriticalConfigVersion");
}

namespace {

bool ReadBool(HKEY key, const char *name, bool current) {
  DWORD v = current ? 1 : 0;
  QueryRegDword(key, name, v);
  return v != 0;
}

// One schedule entry: leading decimal minutes, then an optional ":" flag.
_tRetryScheduleEntry ParseRetryEntry(const std::string &entry) {
  _tRetryScheduleEntry e{0, false};
  e.RetryInterval = atoi(entry.c_str());
  size_t colon = entry.find(':');
  if (colon != std::string::npos && colon + 1 < entry.size())
    e.SendDelayReport = entry[colon + 1] == 'T' || entry[colon + 1] == 't';
  return e;
}

// The schedule string as it fits the schedule buffer.
std::string BoundedSchedule() {
  std::string s = kBuiltInRetrySchedule;
  if (s.size() > kRetryScheduleBufferSize - 1) s.resize(kRetryScheduleBufferSize - 1);
  return s;
}

}  // namespace

int SetUpRetryScheduleArray() {
  RetrySchedule.fill(_tRetryScheduleEntry{0, false});
  RetrySchedule[0] = _tRetryScheduleEntry{1, false};
  size_t count = 1;
  const std::string &s = RetryScheduleDescriptor;
  size_t start = 0;
  while (start <= s.size() && count <= kMaxParsedRetryEntries) {
    size_t comma = s.find(',', start);
    if (comma == std::string::npos) comma = s.size();
    std::string entry = s.substr(start, comma - start);
    if (!entry.empty()) RetrySchedule[count++] = ParseRetryEntry(entry);
    start = comma + 1;
  }
  RetrySchedule[count] = _tRetryScheduleEntry{0, false};
  RetryScheduleLength = static_cast<int>(count);
  return RetryScheduleLength;
}

void LoadGeneralConfigMain(size_t domainListBytes) {
  // The schedule is built in: set it up even when the registry cannot be
  // read, or every remote domain would be given up at its first attempt.
  RetryScheduleDescriptor = BoundedSchedule();
  SetUpRetryScheduleArray();
  RegKey suite;
  if (RegCreateKeyEx(HKEY_LOCAL_MACHINE, kSuiteKey, KEY_ALL_ACCESS, suite.out(), nullptr) !=
      ERROR_SUCCESS)
    return;
  std::string postmaster;
  if (QueryRegString(suite.get(), "PostMaster", kMaxPostmaster, postmaster))
    Postmaster = postmaster.empty() ? kDefaultPostmaster : postmaster;
  if (!QueryRegMultiString(suite.get(), "DomainNamesAreLocal", domainListBytes,
                           DomainNamesAreLocal))
    DomainNamesAreLocal.clear();
  AutoCreateInboxEnabled = ReadBool(suite.get(), "AutoCreateInboxDir", AutoCreateInboxEnabled);
  LocalFailuresToPostmaster =
      ReadBool(suite.get(), "LocalFailuresToPostmaster", LocalFailuresToPostmaster);
  DWORD threads = static_cast<DWORD>(MaxDeliveryThreads);
  if (QueryRegDword(suite.get(), "MaxDeliveryThreads", threads))
    MaxDeliveryThreads = static_cast<int>(threads);
  if (!QueryRegString(suite.get(), "GatewayName", kMaxGatewayName, GatewayName))
    GatewayName.clear();
  DkimSigning = ReadBool(suite.get(), "DkimSigning", DkimSigning);
  DmarcReports = ReadBool(suite.get(), "DmarcReports", DmarcReports);
  // Present but empty is meant: run as whoever started the service.
  QueryRegString(suite.get(), "ServiceAccount", kMaxServiceAccount, ServiceAccount);
  // Empty is kept too: as root, nothing of a virtual user is delivered.
  std::string virtualAccount = VirtualMailAccountName();
  QueryRegString(suite.get(), "VirtualMailAccount", kMaxServiceAccount, virtualAccount);
  SetVirtualMailAccount(virtualAccount);
  // Broken directory settings leave a directory that never answers (see
  // common/userdir); zeladm check names the fault.
  std::string why;
  (void)LoadUserDirectory(suite.get(), why);
  ConfigVersion = GetCounterValue(nullptr, "ConfigVersion");
}

TlsFileNames LoadTlsFileNames() {
  TlsFileNames names;
  RegKey suite;
  if (RegOpenKeyEx(HKEY_LOCAL_MACHINE, kSuiteKey, KEY_READ, suite.out()) != ERROR_SUCCESS)
    return names;
  std::string value;
  if (QueryRegString(suite.get(), kTlsCertificateFileValue, kMaxTlsFilePath, value))
    names.CertificateFile = value;
  if (QueryRegString(suite.get(), kTlsKeyFileValue, kMaxTlsFilePath, value))
    names.KeyFile = value;
  return names;
}

int GetCounterValue(const char *subkey, const char *valueName) {
  std::string path = kSuiteKey;
  if (subkey != nullptr && *subkey != '\0') path = path + "\\" + subkey;
  RegKey key;
  if (RegCreateKeyEx(HKEY_LOCAL_MACHINE, path.c_str(), KEY_READ, key.out(), nullptr) !=
      ERROR_SUCCESS)
    return -1;
  DWORD value = 0;
  DWORD cb = sizeof value;
  if (RegQueryValueEx(key.get(), valueName, nullptr, &value, &cb) != ERROR_SUCCESS) return -1;
  return static_cast<int>(value);
}

long OpenParametersKey(RegKey &key) {
  std::string path = std::string(kServicesKey) + "\\" + ThisServiceName() + "\\Parameters";
  return RegCreateKeyEx(HKEY_LOCAL_MACHINE, path.c_str(), KEY_ALL_ACCESS, key.out(), nullptr);
}
