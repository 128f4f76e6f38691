// accounts: see accounts.h.
#include "platform/accounts.h"

#include "platform/ascii.h"
#include <crypt.h>
#include <grp.h>
#include <pwd.h>
#include <string.h>
#include <strings.h>
#include <unistd.h>

#include <algorithm>
#include <ctime>
#include <memory>
#include <mutex>
#include <vector>

namespace {

// A passwd or group entry larger than this (a group with tens of thousands
// of members) is treated as a failed lookup rather than grown without end.
constexpr size_t kMaxNssBuffer = 1024 * 1024;
constexpr size_t kInitialNssBuffer = 16384;
// File times tick in coarse steps; a version read less than this long after
// its last change might be followed by another with the same stamp, so it is
// not trusted from the cache (git's "racily clean" rule).
constexpr long long kRacyWindowNs = 2000000000LL;
// gethostname() names are at most 255 bytes (POSIX HOST_NAME_MAX on Linux is 64).
constexpr size_t kHostNameBuffer = 256;

// Who answers: the parsed file, or (data null) the host's databases.
struct Source {
  std::shared_ptr<const AccountsData> data;
  std::string computer, domain, controller;
};

// The last version of the file that was read, with its outcome.
struct FileCache {
  std::mutex lock;
  bool valid = false;
  std::string path;
  AccountsFileStamp stamp;
  long long readAtNs = 0;
  long status = ERROR_SUCCESS;
  std::string error;
  std::shared_ptr<const AccountsData> data;
};

long long NowNs() {
  struct timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  return static_cast<long long>(ts.tv_sec) * 1000000000LL + ts.tv_nsec;
}

bool Settled(const FileCache &c) {
  return std::max(c.stamp.mtimeNs, c.stamp.ctimeNs) + kRacyWindowNs < c.readAtNs;
}

FileCache &Cache() {
  static FileCache cache;
  return cache;
}

// The file at path, parsed, from the cache when its stamp is unchanged.
long LoadFile(const std::string &path, const AccountsFileStamp &now,
              std::shared_ptr<const AccountsData> &data, std::string &error) {
  FileCache &c = Cache();
  {
    std::lock_guard<std::mutex> g(c.lock);
    if (c.valid && c.path == path && c.stamp == now && Settled(c)) {
      data = c.data;
      error = c.error;
      return c.status;
    }
  }
  auto fresh = std::make_shared<AccountsData>();
  AccountsFileStamp read;
  long long readAt = NowNs();
  long rc = ReadAccountsFile(path, *fresh, error, &read);
  if (rc == ERROR_FILE_NOT_FOUND) return rc;
  if (rc == ERROR_SUCCESS) data = fresh;
  std::lock_guard<std::mutex> g(c.lock);
  c.valid = true;
  c.path = path;
  c.stamp = read;
  c.readAtNs = readAt;
  c.status = rc;
  c.error = error;
  c.data = rc == ERROR_SUCCESS ? fresh : nullptr;
  return rc;
}

long CurrentSource(Source &src, std::string *why = nullptr) {
  std::string path = AccountsFilePath();
  std::string error;
  AccountsFileStamp now;
  long rc = StatAccountsFile(path, now);
  if (rc == ERROR_SUCCESS) {
    rc = LoadFile(path, now, src.data, error);
  } else if (rc != ERROR_FILE_NOT_FOUND) {
    error = path + ": cannot stat: " + strerror(static_cast<int>(rc));
  }
  if (why != nullptr) *why = error;
  if (rc == ERROR_FILE_NOT_FOUND) {
    src.data = nullptr;
    src.computer = HostComputerName();
    src.domain = kHostWorkgroup;
    src.controller.clear();
    return ERROR_SUCCESS;
  }
  if (rc != ERROR_SUCCESS) return rc;
  src.computer = src.data->computerName;
  src.domain = src.data->domainName;
  src.controller = src.data->controllerName;
  return ERROR_SUCCESS;
}

std::string_view BareServer(std::string_view server) {
  if (server.substr(0, 2) == "\\\\") server.remove_prefix(2);
  return server;
}

bool IsThisComputer(const Source &src, std::string_view server) {
  server = BareServer(server);
  return server.empty() || EqualsNoCase(server, src.computer);
}

bool IsController(const Source &src, std::string_view server) {
  return !src.controller.empty() && EqualsNoCase(BareServer(server), src.controller);
}

// Names no account can have never reach the databases.
bool PlausibleName(std::string_view name) {
  std::string why;
  return CheckAccountName(name, why);
}

// The answers getpwnam_r and getgrnam_r may give for "no such entry".
bool NotFoundCode(int rc) {
  return rc == 0 || rc == ENOENT || rc == ESRCH || rc == EBADF || rc == EPERM;
}

// getpwnam_r; ERROR_SUCCESS with the home directory, ENOENT, or an errno.
long HostPasswd(const std::string &name, std::string &home) {
  for (size_t size = kInitialNssBuffer; size <= kMaxNssBuffer; size *= 2) {
    std::vector<char> buf(size);
    struct passwd pw, *result = nullptr;
    int rc = getpwnam_r(name.c_str(), &pw, buf.data(), buf.size(), &result);
    if (rc == ERANGE) continue;
    if (result == nullptr) return NotFoundCode(rc) ? ENOENT : rc;
    home = pw.pw_dir != nullptr ? pw.pw_dir : "";
    return ERROR_SUCCESS;
  }
  return ERANGE;
}

long HostGroup(const std::string &name) {
  for (size_t size = kInitialNssBuffer; size <= kMaxNssBuffer; size *= 2) {
    std::vector<char> buf(size);
    struct group gr, *result = nullptr;
    int rc = getgrnam_r(name.c_str(), &gr, buf.data(), buf.size(), &result);
    if (rc == ERANGE) continue;
    if (result == nullptr) return NotFoundCode(rc) ? ENOENT : rc;
    return ERROR_SUCCESS;
  }
  return ERANGE;
}

SID_NAME_USE SidTypeOf(AccountKind kind) {
  switch (kind) {
    case AccountKind::kGroup: return SidTypeGroup;
    case AccountKind::kAlias: return SidTypeAlias;
    case AccountKind::kUser: break;
  }
  return SidTypeUser;
}

bool LookupInFile(const Source &src, const std::string &name, AccountFound &found) {
  const AccountRecord *a = FindAccount(*src.data, src.computer, name);
  if (a == nullptr && !src.controller.empty()) a = FindAccount(*src.data, src.domain, name);
  if (a == nullptr) {
    SetLastError(ERROR_NONE_MAPPED);
    return false;
  }
  found.Domain = a->domain;
  found.Use = SidTypeOf(a->kind);
  found.Name = a->name;
  found.bHostAccount = false;
  return true;
}

bool LookupOnHost(const Source &src, const std::string &name, AccountFound &found) {
  std::string home;
  long rc = HostPasswd(name, home);
  if (rc == ENOENT) {
    rc = HostGroup(name);
    found.Use = SidTypeAlias;
  } else {
    found.Use = SidTypeUser;
  }
  if (rc != ERROR_SUCCESS) {
    SetLastError(rc == ENOENT ? ERROR_NONE_MAPPED : rc);
    return false;
  }
  found.Domain = src.computer;
  found.Name = name;   // NSS names compare exactly
  found.bHostAccount = true;
  return true;
}

// crypt_rn with its work area on the heap (it is large) and wiped after use.
bool CryptInto(const std::string &phrase, const char *setting, std::string &out) {
  auto data = std::make_unique<struct crypt_data>();
  const char *result = crypt_rn(phrase.c_str(), setting, data.get(), sizeof *data);
  bool ok = result != nullptr && result[0] != '*';
  if (ok) out = result;
  explicit_bzero(data.get(), sizeof *data);
  return ok;
}

bool NewSetting(std::string &setting) {
  char salt[CRYPT_GENSALT_OUTPUT_SIZE];
  if (crypt_gensalt_rn("$y$", 0, nullptr, 0, salt, sizeof salt) == nullptr) return false;
  setting = salt;
  return true;
}

// Spent on unknown accounts, so that they cost what a wrong password costs.
const std::string &DummySetting() {
  static const std::string setting = [] {
    std::string s;
    return NewSetting(s) ? s : std::string();
  }();
  return setting;
}

bool ConstantTimeEqual(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;  // hash lengths are no secret
  unsigned char diff = 0;
  for (size_t i = 0; i < a.size(); ++i)
    diff |= static_cast<unsigned char>(a[i] ^ b[i]);
  return diff == 0;
}

bool CanLogOn(const AccountRecord *a) {
  return a != nullptr && a->kind == AccountKind::kUser && !a->passwordHash.empty() &&
         a->passwordHash[0] != '!' && a->passwordHash[0] != '*';
}

// The hash an unknown name is checked against: one of the file's own, so
// that it costs what a known name costs whatever scheme and cost the file
// uses (its result is never compared).
const char *DummySettingFor(const AccountsData &data) {
  for (const AccountRecord &a : data.accounts)
    if (CanLogOn(&a)) return a.passwordHash.c_str();
  return DummySetting().c_str();
}

// The order of the sources and the directory behind them.
struct UserDirectory {
  std::vector<UserSource> order;   // empty: the file, else the host
  DirectorySource directory;
};

UserDirectory &Directory() {
  static UserDirectory d;
  return d;
}

bool Lists(UserSource source) {
  const std::vector<UserSource> &order = Directory().order;
  return std::find(order.begin(), order.end(), source) != order.end();
}

bool LookupInDirectory(const Source &src, const std::string &name, const std::string &address,
                       AccountFound &found) {
  const DirectorySource &d = Directory().directory;
  long rc = d.Find != nullptr ? d.Find(name, address, found) : ERROR_NONE_MAPPED;
  if (rc != ERROR_SUCCESS) {
    SetLastError(rc);
    return false;
  }
  found.Domain = src.computer;
  found.Use = SidTypeUser;
  found.bHostAccount = false;
  found.bDirectoryUser = true;
  return true;
}

// Asks the sources in order (see the header): the first that knows the
// name answers; one that cannot answer now ends the search.
bool LookupInSources(const Source &src, const std::string &name, const std::string &address,
                     AccountFound &found) {
  const std::vector<UserSource> &order = Directory().order;
  if (order.empty())
    return src.data != nullptr ? LookupInFile(src, name, found) : LookupOnHost(src, name, found);
  bool fileReplacesHost = src.data != nullptr && Lists(UserSource::kAccounts);
  for (UserSource source : order) {
    bool ok = false;
    if (source == UserSource::kAccounts) {
      if (src.data == nullptr) continue;
      ok = LookupInFile(src, name, found);
    } else if (source == UserSource::kHost) {
      if (fileReplacesHost) continue;
      ok = LookupOnHost(src, name, found);
    } else {
      ok = LookupInDirectory(src, name, address, found);
    }
    if (ok) return true;
    if (!IsNoSuchAccount(GetLastError())) return false;
    found = AccountFound();
  }
  SetLastError(ERROR_NONE_MAPPED);
  return false;
}

}  // namespace

void SetUserDirectory(const std::vector<UserSource> &order, const DirectorySource &directory) {
  Directory().order = order;
  Directory().directory = directory;
}

bool UserDirectoryHasDirectory() { return Lists(UserSource::kDirectory); }

long NetWkstaGetInfo(WorkstationInfo &info) {
  Source src;
  long rc = CurrentSource(src);
  if (rc != ERROR_SUCCESS) return rc;
  info.computerName = src.computer;
  info.langroup = src.domain;
  return ERROR_SUCCESS;
}

long NetGetDCName(const std::string &serverName, const std::string &domainName,
                  std::string &controller) {
  Source src;
  long rc = CurrentSource(src);
  if (rc != ERROR_SUCCESS) return rc;
  if (!IsThisComputer(src, serverName)) return ERROR_NOT_SUPPORTED;
  std::string_view domain = domainName.empty() ? std::string_view(src.domain) : domainName;
  if (src.controller.empty() || !EqualsNoCase(domain, src.domain)) return NERR_DCNotFound;
  controller = "\\\\" + src.controller;
  return ERROR_SUCCESS;
}

long NetUserGetInfo(const std::string &serverName, const std::string &userName, UserInfo &info) {
  Source src;
  long rc = CurrentSource(src);
  if (rc != ERROR_SUCCESS) return rc;
  bool local = IsThisComputer(src, serverName);
  if (!local && (src.data == nullptr || !IsController(src, serverName))) return ERROR_BAD_NETPATH;
  if (!PlausibleName(userName)) return NERR_UserNotFound;
  if (local && UserDirectoryHasDirectory()) {
    AccountFound found;
    if (LookupInSources(src, userName, "", found) && found.bDirectoryUser) {
      info.name = found.Name;
      info.homeDirectory = found.HomeDirectory;
      return ERROR_SUCCESS;
    }
    if (!IsNoSuchAccount(GetLastError())) return GetLastError();
  }
  if (src.data == nullptr) {
    rc = HostPasswd(userName, info.homeDirectory);
    if (rc != ERROR_SUCCESS) return rc == ENOENT ? NERR_UserNotFound : rc;
    info.name = userName;
    return ERROR_SUCCESS;
  }
  const AccountRecord *a = FindAccount(*src.data, local ? src.computer : src.domain, userName);
  if (a == nullptr || a->kind != AccountKind::kUser) return NERR_UserNotFound;
  info.name = a->name;
  info.homeDirectory = a->homeDirectory;
  return ERROR_SUCCESS;
}

bool FindAccountByName(const std::string &accountName, AccountFound &found) {
  return FindMailRecipient(accountName, "", found);
}

bool FindMailRecipient(const std::string &accountName, const std::string &address,
                       AccountFound &found) {
  found = AccountFound();
  Source src;
  long rc = CurrentSource(src);
  if (rc != ERROR_SUCCESS) {
    SetLastError(rc);
    return false;
  }
  if (!PlausibleName(accountName)) {
    SetLastError(ERROR_NONE_MAPPED);
    return false;
  }
  return LookupInSources(src, accountName, address, found);
}

bool LookupAccountName(const std::string &accountName, std::string &referencedDomain,
                       SID_NAME_USE &use) {
  AccountFound found;
  if (!FindAccountByName(accountName, found)) return false;
  referencedDomain = found.Domain;
  use = found.Use;
  return true;
}

bool IsNoSuchAccount(long error) {
  return error == ERROR_NONE_MAPPED || error == NERR_UserNotFound;
}

long VerifyAccountPassword(const std::string &domain, const std::string &name,
                           std::string_view password) {
  Source src;
  long rc = CurrentSource(src);
  if (rc != ERROR_SUCCESS) return rc;
  if (UserDirectoryHasDirectory() && PlausibleName(name)) {
    // The directory checks its users' passwords itself (a bind).
    AccountFound found;
    if (LookupInSources(src, name, "", found)) {
      const DirectorySource &d = Directory().directory;
      if (found.bDirectoryUser)
        return d.Verify != nullptr ? d.Verify(found, password) : ERROR_LOGON_FAILURE;
    } else if (!IsNoSuchAccount(GetLastError())) {
      return GetLastError();
    }
  }
  if (src.data == nullptr) return ERROR_NOT_SUPPORTED;
  const AccountRecord *a = FindAccount(*src.data, domain, name);
  // Accounts of the domain log on only through its controller.
  if (a != nullptr && a->domain != src.computer && src.controller.empty()) a = nullptr;
  bool usable = CanLogOn(a) && password.size() <= kMaxPasswordLength &&
                password.find('\0') == std::string_view::npos;
  std::string phrase(password.substr(0, kMaxPasswordLength));
  std::string computed;
  const char *setting = usable ? a->passwordHash.c_str() : DummySettingFor(*src.data);
  bool hashed = CryptInto(phrase, setting, computed);
  explicit_bzero(phrase.data(), phrase.size());
  if (!usable || !hashed || !ConstantTimeEqual(computed, a->passwordHash))
    return ERROR_LOGON_FAILURE;
  return ERROR_SUCCESS;
}

long HashAccountPassword(std::string_view password, std::string &hash) {
  if (password.empty() || password.size() > kMaxPasswordLength ||
      password.find('\0') != std::string_view::npos)
    return ERROR_INVALID_PARAMETER;
  std::string setting;
  if (!NewSetting(setting)) return errno != 0 ? errno : ERROR_NOT_SUPPORTED;
  std::string phrase(password);
  bool ok = CryptInto(phrase, setting.c_str(), hash);
  long err = errno;
  explicit_bzero(phrase.data(), phrase.size());
  if (!ok) return err != 0 ? err : ERROR_NOT_SUPPORTED;
  return ERROR_SUCCESS;
}

std::string HostComputerName() {
  char buf[kHostNameBuffer + 1] = {};
  if (gethostname(buf, kHostNameBuffer) != 0) buf[0] = '\0';
  std::string name(buf, strnlen(buf, kHostNameBuffer));
  name = name.substr(0, name.find('.'));
  UpperAsciiInPlace(name);
  if (name.size() > kMaxIdentityNameLength) name.resize(kMaxIdentityNameLength);
  return name;
}

bool CheckAccountSource(std::string &description) {
  Source src;
  std::string why;
  long rc = CurrentSource(src, &why);
  if (rc != ERROR_SUCCESS) {
    description = why.empty() ? AccountsFilePath() + ": " + strerror(static_cast<int>(rc)) : why;
    return false;
  }
  description = src.data != nullptr ? "accounts file " + AccountsFilePath() : "host accounts";
  return true;
}
