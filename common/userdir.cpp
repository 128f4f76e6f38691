// userdir: see userdir.h.
#include "common/userdir.h"

#include <string.h>

#include <algorithm>

#include "common/loadcfig.h"
#include "common/zel.h"
#include "platform/ascii.h"

namespace {

// A DN, a filter or a path value at most.
constexpr size_t kMaxLdapSetting = 4096;
constexpr size_t kMaxUriListBytes = 8192;
// Seconds settings are kept to what a caller can wait.
constexpr DWORD kMaxLdapSeconds = kMaxLdapTimeoutMs / 1000;

// The directory when its settings could not be used: never an answer.
long Unavailable(const std::string &, const std::string &, AccountFound &) {
  return ERROR_DS_UNAVAILABLE;
}
long UnavailableVerify(const AccountFound &, std::string_view) { return ERROR_DS_UNAVAILABLE; }

long FindInLdap(const std::string &name, const std::string &address, AccountFound &found) {
  LdapUser user;
  long rc = LdapFindUser(name, address, user);
  if (rc != ERROR_SUCCESS) return rc;
  found.Name = user.Name;
  found.Dn = user.Dn;
  found.HomeDirectory = user.HomeDirectory;
  found.MailboxPath = user.Mailbox;
  found.MailHost = user.MailHost;
  found.bHasIds = user.bPosix;
  found.Uid = user.Uid;
  found.Gid = user.Gid;
  return ERROR_SUCCESS;
}

long VerifyInLdap(const AccountFound &found, std::string_view password) {
  return LdapCheckPassword(found.Dn, password);
}

void ReadString(HKEY key, const char *name, std::string &out) {
  std::string value;
  if (QueryRegString(key, name, kMaxLdapSetting, value)) out = value;
}

void ReadSeconds(HKEY key, const char *name, unsigned &ms) {
  DWORD seconds = ms / 1000;
  if (QueryRegDword(key, name, seconds)) ms = std::min(seconds, kMaxLdapSeconds) * 1000;
}

}  // namespace

bool ParseUserDirectory(const std::vector<std::string> &names, std::vector<UserSource> &order,
                        std::string &why) {
  order.clear();
  for (const std::string &name : names) {
    UserSource source;
    if (EqualsNoCase(name, "accounts")) source = UserSource::kAccounts;
    else if (EqualsNoCase(name, "host")) source = UserSource::kHost;
    else if (EqualsNoCase(name, "ldap")) source = UserSource::kDirectory;
    else {
      why = "UserDirectory names \"" + name + "\" (known: accounts, host, ldap)";
      return false;
    }
    if (std::find(order.begin(), order.end(), source) != order.end()) {
      why = "UserDirectory names \"" + name + "\" twice";
      return false;
    }
    order.push_back(source);
  }
  if (order.empty() && !names.empty()) why = "UserDirectory names no source";
  return !order.empty() || names.empty();
}

bool LoadLdapSettings(LdapSettings &s, bool readPassword, std::string &why) {
  RegKey key;
  std::string path = std::string(kSuiteKey) + "\\" + kLdapSubkey;
  if (RegOpenKeyEx(HKEY_LOCAL_MACHINE, path.c_str(), KEY_READ, key.out()) != ERROR_SUCCESS) {
    why = "the key " + path + " is missing";
    return false;
  }
  HKEY k = key.get();
  QueryRegMultiString(k, "Uri", kMaxUriListBytes, s.Uris);
  ReadString(k, "BaseDn", s.BaseDn);
  ReadString(k, "BindDn", s.BindDn);
  ReadString(k, "UserFilter", s.UserFilter);
  ReadString(k, "UserNameAttribute", s.UserNameAttribute);
  ReadString(k, "MailAttribute", s.MailAttribute);
  ReadString(k, "AliasAttribute", s.AliasAttribute);
  ReadString(k, "HomeAttribute", s.HomeAttribute);
  ReadString(k, "MailboxAttribute", s.MailboxAttribute);
  ReadString(k, "MailHostAttribute", s.MailHostAttribute);
  ReadString(k, "CaFile", s.CaFile);
  DWORD startTls = s.StartTls ? 1 : 0;
  if (QueryRegDword(k, "StartTls", startTls)) s.StartTls = startTls != 0;
  ReadSeconds(k, "NetworkTimeout", s.NetworkTimeoutMs);
  ReadSeconds(k, "OperationTimeout", s.OperationTimeoutMs);
  DWORD number = s.CacheSeconds;
  if (QueryRegDword(k, "CacheSeconds", number)) s.CacheSeconds = number;
  number = s.PoolSize;
  if (QueryRegDword(k, "PoolSize", number)) s.PoolSize = number;
  if (!CheckLdapSettings(s, why)) return false;
  std::string passwordFile;
  ReadString(k, "BindPasswordFile", passwordFile);
  if (s.BindDn.empty() || !readPassword) return true;
  if (passwordFile.empty()) {
    why = "BindDn is set but BindPasswordFile is not";
    return false;
  }
  return ReadLdapPasswordFile(passwordFile, s.BindPassword, why);
}

bool LoadUserDirectory(HKEY suite, std::string &why) {
  std::vector<std::string> names;
  std::vector<UserSource> order;
  bool ok = true;
  if (QueryRegMultiString(suite, kUserDirectoryValue, kMaxUserDirectoryBytes, names))
    ok = ParseUserDirectory(names, order, why);
  bool ldap = std::find(order.begin(), order.end(), UserSource::kDirectory) != order.end();
  DirectorySource directory;
  if (ldap || !ok) {
    LdapSettings settings;
    if (ok) ok = LoadLdapSettings(settings, true, why);
    if (ok) {
      ConfigureLdapDirectory(settings);
      directory = DirectorySource{FindInLdap, VerifyInLdap};
    } else {
      // Whatever was meant, nothing may be taken for "no such user".
      if (!ldap) order.push_back(UserSource::kDirectory);
      directory = DirectorySource{Unavailable, UnavailableVerify};
    }
    explicit_bzero(settings.BindPassword.data(), settings.BindPassword.size());
  }
  SetUserDirectory(order, directory);
  return ok;
}
