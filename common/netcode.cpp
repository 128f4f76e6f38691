// netcode: see netcode.h.
#include "common/netcode.h"

#include <mutex>

#include "common/fileutils.h"
#include "common/rfc822parse.h"
#include "common/str.h"
#include "common/zel.h"
#include "platform/accounts.h"
#include "platform/files.h"
#include "platform/logon.h"
#include "platform/privilege.h"
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

// The identity may be filled after the start (the agent starts with a
// broken accounts file); its readers in the agent take this lock.
std::mutex IdentityLock;
bool bIdentityKnown = false;
size_t IdentityNameLength = kIdentityNameLengthDeliv;

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
  if (rc == ERROR_SUCCESS && info.homeDirectory.size() > kMaxPath) rc = ENAMETOOLONG;
  if (rc != ERROR_SUCCESS) {
    SetLastError(rc);
    return false;
  }
  HomeDir = info.homeDirectory;
  return true;
}

// The answers that settle a question for good; anything else may be
// answered later (a broken accounts file, a source that is down).
bool IsDefiniteAnswer(long error) {
  return IsNoSuchAccount(error) || error == NERR_DCNotFound || error == ERROR_BAD_NETPATH ||
         error == ENAMETOOLONG;
}

std::string ComputerNameNow() {
  std::lock_guard<std::mutex> guard(IdentityLock);
  return wcComputerName;
}

// The mailbox name of an account (see the header's rule).
std::string MailboxUserName(const AccountFound &found) {
  return found.bHostAccount ? found.Name : LowerAsciiCopy(found.Name);
}

// The account behind a recipient's user name: that exact name, else (mail
// to "Alice" for the account "alice") the name in lower case.
// A directory also knows the whole address (aliases).
bool FindMailUser(const std::string &name, const std::string &address, AccountFound &found) {
  if (FindMailRecipient(name, address, found)) return true;
  std::string lower = LowerAsciiCopy(name);
  long error = GetLastError();
  if (lower == name || !IsNoSuchAccount(error)) return false;
  return FindMailRecipient(lower, address, found);
}

// A directory's mailbox path: absolute, no "." or ".." step, within kMaxPath.
bool UsableMailboxPath(const std::string &path) {
  if (path.empty() || path[0] != '/' || path.size() > kMaxPath) return false;
  std::string_view rest(path);
  while (!rest.empty()) {
    rest.remove_prefix(1);
    std::string_view step = rest.substr(0, rest.find('/'));
    if (step == "." || step == "..") return false;
    rest.remove_prefix(step.size());
  }
  return true;
}

// ZELDELIV, "%HOME%" form: the home directory followed by the template's rest.
int HomeMailbox(const std::string &user, std::string domain, std::string &Mailbox) {
  domain.erase(0, domain.find_first_not_of('\\'));
  std::string home;
  if (!GetHomeDirectory(user, domain, home))
    return IsDefiniteAnswer(GetLastError()) ? kMailboxNoHome : kMailboxLookupFailed;
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

// Who makes and writes the mailbox: its owner (MailUserIdentity: a host
// account, the host account of an accounts-file user's name, else the
// virtual mail account). A process that is not root can switch to nobody:
// under the common root it acts as itself, whose files those are.
bool MailboxOwner(const AccountFound &found, bool inHome, LogonToken &owner) {
  owner.Close();
  if (!inHome && !IsSuperUser())
    ProcessIdentity(owner);
  else if (!AccountIdentity(found, owner))
    return false;
  owner.bValid = true;
  owner.Name = found.Name;
  return true;
}

int OpenMailbox(const std::string &path, const LogonToken &owner, MailboxDir &Mailbox,
                long &error) {
  error = Mailbox.Open(path, owner, AutoCreateInboxEnabled);
  if (error == ERROR_SUCCESS) return kMailboxFound;
  // Missing and not to be made, or a file where it should be: no mailbox.
  // Anything else (a link, a stranger's directory, no space) may pass.
  if ((error == ENOENT && !AutoCreateInboxEnabled) || error == ENOTDIR) return kMailboxMissing;
  return kMailboxUnusable;
}

}  // namespace

bool InitNetCodeModule(size_t maxNameLength) {
  std::lock_guard<std::mutex> guard(IdentityLock);
  IdentityNameLength = maxNameLength;
  wcComputerName.clear();
  wcDomainName.clear();
  NtDomainName.clear();
  WorkstationInfo info;
  bIdentityKnown = NetWkstaGetInfo(info) == ERROR_SUCCESS;
  if (!bIdentityKnown) return false;
  wcComputerName = BoundedCopy(info.computerName, maxNameLength);
  wcDomainName = BoundedCopy(info.langroup, maxNameLength);
  NtDomainName = BoundedCopy(wcDomainName, kMaxNtName);
  return true;
}

bool NetCodeIdentityKnown() {
  size_t length;
  {
    std::lock_guard<std::mutex> guard(IdentityLock);
    if (bIdentityKnown) return true;
    length = IdentityNameLength;
  }
  return InitNetCodeModule(length);
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
  std::string domain;
  {
    std::lock_guard<std::mutex> identity(IdentityLock);
    domain = wcDomainName;
  }
  // A failed search is an answer too: no controller until the key changes.
  if (!domain.empty() && MayHaveDomainController()) {
    std::string controller;
    long rc = NetGetDCName(key, domain, controller);
    if (rc == ERROR_NOT_SUPPORTED) rc = NetGetDCName("", domain, controller);
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
  if (BoundedCopy(pDomain, kAccountCallChars) != ComputerNameNow()) {
    GetTheDomainControllerName("");
    server = CachedDomainController();
    if (server.empty()) {
      SetLastError(NERR_DCNotFound);
      return false;
    }
  }
  return AskHomeDirectory(server, pUser, HomeDir);
}

int GetMailbox(const std::string &UserName, MailboxDir &Mailbox, long &error,
               const std::string &Address) {
  error = ERROR_SUCCESS;
  Mailbox.Close();
  AccountFound found;
  if (!FindMailUser(UserName, Address, found) || !NetCodeIdentityKnown()) {
    error = GetLastError();
    return IsNoSuchAccount(error) ? kMailboxNoAccount : kMailboxLookupFailed;
  }
  std::string domain = BoundedCopy(found.Domain, kMaxAccountDomainDeliv);
  std::string user = MailboxUserName(found);
  bool inHome = StartsWithNoCase(MailInboxDirectory, kHomePlaceholder);
  std::string path;
  int rc;
  if (!found.MailboxPath.empty()) {
    // The directory names the mailbox: always written as its owner.
    inHome = true;
    rc = UsableMailboxPath(found.MailboxPath) ? kMailboxFound : kMailboxMissing;
    if (rc == kMailboxFound) path = found.MailboxPath;
  } else {
    rc = inHome ? HomeMailbox(found.Name, domain, path) : UserNameMailbox(user, path);
  }
  if (rc == kMailboxLookupFailed) error = GetLastError();
  if (rc != kMailboxFound) return rc;
  LogonToken owner;
  if (!MailboxOwner(found, inHome, owner)) {
    // Without its virtual account a virtual user's mail waits: it is never
    // written as root.
    error = GetLastError();
    return error == ERROR_NO_VIRTUAL_MAIL_ACCOUNT ? kMailboxUnusable : kMailboxLookupFailed;
  }
  return OpenMailbox(path, owner, Mailbox, error);
}

bool MailboxRootOfUsers(std::string &root, std::string &prefix) {
  std::string path;
  // The template's own rule, with an empty user name: "<root>/<prefix>".
  if (StartsWithNoCase(MailInboxDirectory, kHomePlaceholder) ||
      UserNameMailbox("", path) != kMailboxFound)
    return false;
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return false;
  root = slash == 0 ? "/" : path.substr(0, slash);
  prefix = path.substr(slash + 1);
  return true;
}

bool MailboxOwnerOf(const std::string &mailboxName, LogonToken &owner) {
  AccountFound found;
  if (!FindAccountByName(mailboxName, found)) return false;
  // "Alice" under the root is no mailbox of the accounts-file user alice.
  if (MailboxUserName(found) != mailboxName) {
    SetLastError(ERROR_NONE_MAPPED);
    return false;
  }
  return MailboxOwner(found, false, owner);
}

bool HandRootsMailboxToOwner(const std::string &path, const LogonToken &owner) {
  std::string root, prefix;
  if (!owner.bHasIdentity || owner.Uid == 0 || !MailboxRootOfUsers(root, prefix)) return false;
  std::string dir = root == "/" ? "/" : root + "/";
  if (path.size() <= dir.size() + prefix.size() || path.compare(0, dir.size(), dir) != 0 ||
      path.find('/', dir.size()) != std::string::npos)
    return false;
  MailboxDir rootDir;
  MailboxHandOver count;
  return rootDir.OpenRoot(root, false) == ERROR_SUCCESS &&
         rootDir.GiveToOwner(path.substr(dir.size()), owner, count) && count.Mailboxes > 0;
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
  AccountFound found;
  if (!FindAccountByName(user, found)) return false;
  if (!found.MailboxPath.empty()) {
    if (!UsableMailboxPath(found.MailboxPath)) return false;
    Mailbox = found.MailboxPath;
    return true;
  }
  std::string path = BoundedCopy(MailInboxDirectory, kMaxPath);
  size_t n = kUserNamePlaceholder.size();
  if (path.size() >= n &&
      EqualsNoCase(std::string_view(path).substr(path.size() - n), kUserNamePlaceholder)) {
    // The same name as the delivery agent's (see the header's rule).
    path.resize(path.size() - n);
    path += MailboxUserName(found);
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

int CheckMailRecipient(const std::string &address) {
  if (!UserDirectoryHasDirectory()) return kRecipientKnown;
  const char *end = SkipLocalAddressPart(address.c_str());
  std::string local = StripDown(std::string_view(address.c_str(), end - address.c_str()),
                                kAccountCallChars);
  AccountFound found;
  if (FindMailUser(local, address, found)) return kRecipientKnown;
  return IsNoSuchAccount(GetLastError()) ? kRecipientUnknown : kRecipientLookupFailed;
}
