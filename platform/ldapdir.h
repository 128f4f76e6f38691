// ldapdir: mail users in an LDAP directory, through OpenLDAP's libldap.
//
// What: the "ldap" source of the mail user directory (platform/accounts
// asks it through its DirectorySource hook; common/userdir sets it up):
// a user found by name (%u) or mail address (%a) with the filter
// UserFilter, its attributes (name, addresses, aliases, home and mailbox
// directory, mail host, POSIX ids), and a password checked by a simple
// bind as the user's entry (the password is never compared here).
//
// Connections: a pool of at most PoolSize connections bound as BindDn
// (anonymous when empty), shared by the threads; a thread that finds none
// free waits at most OperationTimeoutMs. A connection is opened on the
// first Uri that answers, in order (failover); ldap:// is upgraded with
// StartTLS when StartTls is 1 (the default), and the server's certificate
// is checked against CaFile, else the system's CA store; ldaps:// is TLS
// from the start, ldapi:// a local socket. Every call is bounded by
// NetworkTimeoutMs (connect) and OperationTimeoutMs (each operation). A
// user's bind takes a connection of its own, never one of the pool's.
//
// Cache: positive answers for CacheSeconds (default 60), negative ones
// for at most kMaxNegativeCacheSeconds, at most kMaxCacheEntries entries;
// a failure is never cached.
//
// Untrusted input: names and addresses come from the network; every byte
// of them reaches a filter only escaped (RFC 4515), and the expansion is
// bounded (kMaxLdapFilter). The directory's answers are bounded too: a
// value longer than its field is refused, an entry whose name no account
// could have is no mail user.
//
// Threads: ConfigureLdapDirectory once while the service starts (as root:
// it reads the bind password file), before other threads; everything else
// from any thread.
//
// Failures: ERROR_SUCCESS, ERROR_NONE_MAPPED (no such user: a definite
// answer), ERROR_LOGON_FAILURE (a wrong password), or
// ERROR_DS_UNAVAILABLE: the directory could not answer now (down, slow,
// refused our bind, the filter matched more than one entry), which every
// caller turns into a temporary failure.
#pragma once

#include <sys/types.h>

#include <string>
#include <string_view>
#include <vector>

#include "platform/errors.h"

// The directory service is unavailable (Windows' number for it).
constexpr long ERROR_DS_UNAVAILABLE = 8201;

inline constexpr const char *kDefaultLdapUserFilter =
    "(&(objectClass=inetOrgPerson)(|(uid=%u)(mail=%a)))";
constexpr unsigned kDefaultLdapCacheSeconds = 60;
// A user just added must not stay unknown for long.
constexpr unsigned kMaxNegativeCacheSeconds = 10;
// Enough for the active users of a busy host; memory stays small.
constexpr size_t kMaxCacheEntries = 4096;
constexpr unsigned kDefaultLdapPoolSize = 4;
// More connections than this per process only load the directory.
constexpr unsigned kMaxLdapPoolSize = 32;
constexpr unsigned kDefaultLdapNetworkTimeoutMs = 5000;
constexpr unsigned kDefaultLdapOperationTimeoutMs = 10000;
// No setting waits longer than a minute: a caller holds a client meanwhile.
constexpr unsigned kMaxLdapTimeoutMs = 60000;
// A filter longer than this is refused (a template and two escaped names
// fit many times over).
constexpr size_t kMaxLdapFilter = 4096;
// Several URIs for failover; more is a mistake.
constexpr size_t kMaxLdapUris = 16;
// One directory value (a DN, a path, a host name) at most.
constexpr size_t kMaxLdapValue = 1024;

struct LdapSettings {
  std::vector<std::string> Uris;
  std::string BaseDn;
  std::string BindDn;
  std::string BindPassword;     // read from BindPasswordFile at start
  std::string UserFilter = kDefaultLdapUserFilter;
  std::string UserNameAttribute = "uid";
  std::string MailAttribute = "mail";
  std::string AliasAttribute = "mailLocalAddress";
  std::string HomeAttribute = "homeDirectory";
  std::string MailboxAttribute;  // empty: the inbox template decides
  std::string MailHostAttribute = "mailHost";
  bool StartTls = true;
  std::string CaFile;            // empty: the system's CA store
  unsigned NetworkTimeoutMs = kDefaultLdapNetworkTimeoutMs;
  unsigned OperationTimeoutMs = kDefaultLdapOperationTimeoutMs;
  unsigned CacheSeconds = kDefaultLdapCacheSeconds;
  unsigned PoolSize = kDefaultLdapPoolSize;
};

// One user's entry, as the mail system needs it.
struct LdapUser {
  std::string Dn;
  std::string Name;           // UserNameAttribute
  std::string HomeDirectory;  // may be empty
  std::string Mailbox;        // MailboxAttribute's value, may be empty
  std::string MailHost;       // may be empty
  bool bPosix = false;        // uidNumber and gidNumber given
  uid_t Uid = 0;
  gid_t Gid = 0;
};

// RFC 4515: "*", "(", ")", "\", NUL and every byte outside printable
// ASCII written as "\XX".
std::string EscapeLdapFilterValue(std::string_view value);
// The filter template with %u (user), %a (address), %d (the address's
// domain) replaced by their escaped values and %% by "%". False with why
// for any other "%" sequence or a result over kMaxLdapFilter.
bool ExpandLdapFilter(std::string_view tmpl, std::string_view user, std::string_view address,
                      std::string &filter, std::string &why);
// The filter a lookup sends: UserFilter, or'ed with (AliasAttribute=%a)
// when an alias attribute is set. False with why as above.
bool LookupFilter(const LdapSettings &settings, std::string_view user, std::string_view address,
                  std::string &filter, std::string &why);
// Whether the settings can be used; why names the first fault.
bool CheckLdapSettings(const LdapSettings &settings, std::string &why);
// The first line of a password file that only its owner may read; false
// with why.
bool ReadLdapPasswordFile(const std::string &path, std::string &password, std::string &why);

// Takes the settings (the pool and cache start empty).
void ConfigureLdapDirectory(const LdapSettings &settings);
// Finds the user (user: a name; address: a mail address, or empty).
long LdapFindUser(std::string_view user, std::string_view address, LdapUser &found);
// A simple bind as dn with password.
long LdapCheckPassword(const std::string &dn, std::string_view password);
// zeladm check: a connection bound as BindDn and one search of BaseDn.
// False with why.
bool LdapProbe(std::string &report);
// zeladm user move: replaces attribute of the entry dn with value, on a
// connection of its own bound as bindDn with password (the administrator's
// own bind: the service's BindDn is meant to read only). The cache is left
// alone: other processes forget in CacheSeconds. False with why.
bool LdapReplaceValue(const std::string &bindDn, std::string_view password, const std::string &dn,
                      const std::string &attribute, const std::string &value, std::string &why);
// Forgets the cache (tests).
void ClearLdapCache();
