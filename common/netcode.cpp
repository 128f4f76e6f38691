// netcode: see netcode.h.
#include "common/netcode.h"

#include <mutex>

#include "common/fileutils.h"
#include "common/str.h"
#include "common/zel.h"
#include "platform/accounts.h"
#include "platform/files.h"
#include "platform/registry.h"

std::string wcComputerName;
std::string wcDomainName;
std::string NtDomainName;

namespace {

// Names handed to the account calls pass through 128-character buffers.
constexpr size_t kAccountCallChars = 127;

constexpr std::string_view kHomePlaceholder = "%HOME%";
constexpr std::string_view kUserNamePlaceholder = "%USERNAME%";

// A computer joined to a domain has this value; one in a workgroup has not.
constexpr const char *kWinlogonKey = "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Winlogon";
constexpr const char *kCachePrimaryDomain = "CachePrimaryDomain";

// The domain controller cache of the delivery agent, filled at first need.
std::mutex DomainControllerLock;
std::string RemoteComputerName;
bool bDCNameValid = false;
std::string NtDomainController;

// Only a Winlogon key without the value says "not a domain member"; a key
// that cannot be read says nothing.
bool MayHaveDomainController() {
  RegKey key;
  if (RegOpenKeyEx(HKEY_LOCAL_MACHINE, kWinlogonKey, KEY_READ, key.out()) != ERROR_SUCCESS)
    return true;
  return RegQueryValueEx(key.get(), kCachePrimaryDomain, nullptr, nullptr, nullptr) !=
         ERROR_FILE_NOT_FOUND;
}

// The home directory as server knows it; a path too long for the system is
// no usable home directory.
bool AskHomeDirectory(const std::string &server, const std::string &user, std::string &HomeDir) {
  UserInfo info;
  long rc = NetUserGetInfo(server, BoundedCopy(user, kAccountCallChars), info);
  if (rc != ERROR_SUCCESS || info.homeDirectory.size() > kMaxPath) return false;
  HomeDir = info.homeDirectory;
  return true;
}

// ZELDELIV, "%HOME%" form: the home directory followed by the template's rest.
int HomeMailbox(const std::string &user, std::string domain, std::string &Mailbox) {
  domain.erase(0, domain.find_first_not_of('\\'));
  std::string home;
  if (!GetHomeDirectory(user, domain, home)) return kMailboxNoHome;
  if (home.empty()) return kMailboxMissing;
  std::string rest = BoundedCopy(MailInboxDirectory, kMaxPath).substr(kHomePlaceholder.size());
  std::string path = home + rest;
  if (path.size() > kMaxPath) return kMailboxMissing;
  Mailbox = path;
  return kMailboxFound;
}

// ZELDELIV, "%USERNAME%" form: the template up to its first "%", then the
// user name; whatever followed the placeholder is dropped.
int UserNameMailbox(const std::string &user, std::string &Mailbox) {
  std::string path = BoundedCopy(MailInboxDirectory, kMaxPath);
  size_t percent = path.find('%');
  if (percent == std::string::npos ||
      !StartsWithNoCase(std::string_view(path).substr(percent), kUserNamePlaceholder))
    return kMailboxBadTemplate;
  path.resize(percent);
  path += user;
  if (path.size() > kMaxPath) return kMailboxMissing;
  Mailbox = path;
  return kMailboxFound;
}

int EnsureMailbox(const std::string &path) {
  if (DirectoryExists(path)) return kMailboxFound;
  if (!AutoCreateInboxEnabled) return kMailboxMissing;
  return CreateDirectoryRecursively(path) ? kMailboxFound : kMailboxMissing;
}

}  // namespace

bool InitNetCodeModule(size_t maxNameLength) {
  wcComputerName.clear();
  wcDomainName.clear();
  NtDomainName.clear();
  WorkstationInfo info;
  if (NetWkstaGetInfo(info) != ERROR_SUCCESS) return false;
  wcComputerName = BoundedCopy(info.computerName, maxNameLength);
  wcDomainName = BoundedCopy(info.langroup, maxNameLength);
  NtDomainName = BoundedCopy(wcDomainName, kMaxNtName);
  return true;
}

bool GetTheDomainControllerName(const std::string &ComputerName) {
  std::lock_guard<std::mutex> guard(DomainControllerLock);
  std::string key = BoundedCopy(ComputerName, kMaxControllerName);
  if (key != RemoteComputerName) {
    bDCNameValid = false;
    RemoteComputerName = key;
  }
  if (bDCNameValid) return true;
  NtDomainController.clear();
  // A failed search is an answer too: no controller until the key changes.
  if (!NtDomainName.empty() && MayHaveDomainController()) {
    std::string controller;
    long rc = NetGetDCName(key, wcDomainName, controller);
    if (rc == ERROR_NOT_SUPPORTED) rc = NetGetDCName("", wcDomainName, controller);
    if (rc == ERROR_SUCCESS) NtDomainController = BoundedCopy(controller, kMaxControllerName);
  }
  bDCNameValid = true;
  return true;
}

std::string CachedDomainController() {
  std::lock_guard<std::mutex> guard(DomainControllerLock);
  return bDCNameValid ? NtDomainController : std::string();
}

void ResetDomainControllerCache() {
  std::lock_guard<std::mutex> guard(DomainControllerLock);
  RemoteComputerName.clear();
  bDCNameValid = false;
  NtDomainController.clear();
}

bool GetHomeDirectory(const std::string &pUser, const std::string &pDomain, std::string &HomeDir) {
  HomeDir.clear();
  std::string server;
  if (BoundedCopy(pDomain, kAccountCallChars) != wcComputerName) {
    GetTheDomainControllerName("");
    server = CachedDomainController();
    if (server.empty()) return false;
  }
  return AskHomeDirectory(server, pUser, HomeDir);
}

int GetMailbox(const std::string &BareName, std::string &Mailbox) {
  Mailbox.clear();
  std::string domain;
  SID_NAME_USE use;
  if (!LookupAccountName(BareName, domain, use)) return kMailboxNoAccount;
  CutText(domain, kMaxAccountDomainDeliv);
  std::string path;
  int rc = StartsWithNoCase(MailInboxDirectory, kHomePlaceholder)
               ? HomeMailbox(BareName, domain, path)
               : UserNameMailbox(BareName, path);
  if (rc != kMailboxFound) return rc;
  Mailbox = path;
  return EnsureMailbox(path);
}

bool LookUpAccountFetch(const std::string &name, std::string &domain) {
  domain.clear();
  std::string found;
  SID_NAME_USE use;
  if (!LookupAccountName(name, found, use)) return false;
  if (use != SidTypeUser) {
    // Another kind of account counts when a local user has the same name.
    UserInfo info;
    long rc = NetUserGetInfo("", name, info);
    if (rc != ERROR_SUCCESS) {
      SetLastError(rc);
      return false;
    }
  }
  domain = BoundedCopy(found, kMaxAccountDomainFetch);
  return true;
}

bool GetHomeDirectoryFetch(const std::string &user, const std::string &domain,
                           std::string &HomeDir) {
  HomeDir.clear();
  std::string accountDomain = BoundedCopy(domain, kAccountCallChars);
  std::string server;
  if (accountDomain != wcComputerName) {
    std::string controller;
    if (NetGetDCName("", accountDomain, controller) == ERROR_SUCCESS) server = controller;
  }
  return AskHomeDirectory(server, user, HomeDir);
}

bool GetMailboxFetch(const std::string &user, const std::string &domain, std::string &Mailbox) {
  Mailbox.clear();
  std::string why;
  if (!CheckAccountName(user, why)) return false;
  std::string path = BoundedCopy(MailInboxDirectory, kMaxPath);
  size_t n = kUserNamePlaceholder.size();
  if (path.size() >= n &&
      EqualsNoCase(std::string_view(path).substr(path.size() - n), kUserNamePlaceholder)) {
    // The delivery agent files mail under the lower-case name; on a
    // case-sensitive file system the POP3 side must use the same name.
    path.resize(path.size() - n);
    path += LowerAsciiCopy(user);
  } else if (std::string home; StartsWithNoCase(path, kHomePlaceholder) &&
                               GetHomeDirectoryFetch(user, domain, home) && !home.empty()) {
    path = home + path.substr(kHomePlaceholder.size());
  } else {
    return false;
  }
  if (path.size() > kMaxPath) return false;
  Mailbox = path;
  return true;
}
