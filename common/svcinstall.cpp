// svcinstall: see svcinstall.h.
#include "common/svcinstall.h"

#include <cstdio>
#include <string>

#include "common/loadcfig.h"
#include "common/logging.h"
#include "common/pconfig.h"
#include "common/service.h"
#include "common/zel.h"
#include "platform/files.h"
#include "platform/accounts.h"
#include "platform/hostsetup.h"
#include "platform/logon.h"
#include "platform/mailboxdir.h"
#include "platform/privilege.h"
#include "platform/registry.h"
#include "platform/root.h"

namespace {

// Event types an event source supports: error, warning, information.
constexpr DWORD kTypesSupported = 7;
// The services register no event categories.
constexpr DWORD kNoCategories = 0;

constexpr const char *kEventSourceKeyPrefix =
    "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\";

// Modes of the directories -install makes.
constexpr mode_t kSpoolMode = 0700;
constexpr mode_t kSystemDirectoryMode = 0755;

// Where home directories are, for mailboxes in them (%HOME%).
constexpr const char *kHomeRoot = "/home";
constexpr const char *kHomeVariable = "%HOME%";

// What each program may do. The receiver starts as root only to bind its
// ports, hand the service account its spool files and fork the helpers that
// check AUTH passwords (only root reads the accounts file and lets PAM check
// another user's password); then it becomes the account and keeps no
// capability. A unit with User= and an ambient CAP_NET_BIND_SERVICE would
// leave those helpers no way to check a password. At its start as root it
// reaches into the directories it gave the account before (the DAC
// capabilities: they are the account's, 0700). The
// delivery agent writes mailboxes as their owners (file-system uid and gid),
// into directories of other owners, and hands files to them; its remote
// delivery runs in a child that becomes the account (CAP_SETUID,
// CAP_SETGID) and keeps nothing, so -install makes the account and hands
// it the agent's remote queues too. The POP3 server starts as root like
// the receiver: it binds its ports and forks the root helpers that check
// passwords through PAM and start each user's session (which reaches the
// mailbox as root, makes it the user's, and becomes the user), then
// becomes the account. The IMAP server is built the same way.
const std::vector<ServiceUnitProfile> kProfiles = {
    {"ZELRECV", "zelrecv", "ZEL SMTP Receiver", true, false, false,
     {"CAP_CHOWN", "CAP_DAC_OVERRIDE", "CAP_DAC_READ_SEARCH", "CAP_FOWNER", "CAP_NET_BIND_SERVICE",
      "CAP_SETGID", "CAP_SETUID"}},
    {"ZELDELIV", "zeldeliv", "ZEL SMTP Delivery Agent", true, true, false,
     {"CAP_CHOWN", "CAP_DAC_OVERRIDE", "CAP_DAC_READ_SEARCH", "CAP_FOWNER", "CAP_SETGID",
      "CAP_SETUID"}},
    {"ZELFETCH", "zelfetch", "ZEL POP3 Server", true, true, true,
     {"CAP_CHOWN", "CAP_DAC_OVERRIDE", "CAP_DAC_READ_SEARCH", "CAP_FOWNER", "CAP_NET_BIND_SERVICE",
      "CAP_SETGID", "CAP_SETUID"}},
    {"ZELIMAP", "zelimap", "ZEL IMAP Server", true, true, true,
     {"CAP_CHOWN", "CAP_DAC_OVERRIDE", "CAP_DAC_READ_SEARCH", "CAP_FOWNER", "CAP_NET_BIND_SERVICE",
      "CAP_SETGID", "CAP_SETUID"}},
};

// Prints the failure of routine (none: just the code) and returns its code.
long PrintFailure(const char *routine, long code) {
  SetLastError(code != 0 ? code : EIO);
  return DisplayErrorMessage(routine);
}

void AddPath(std::vector<std::string> &paths, const std::string &path) {
  if (path.empty() || path[0] != '/') return;  // systemd takes absolute paths only
  for (const std::string &p : paths)
    if (p == path) return;
  paths.push_back(path);
}

std::string EventSourceKey(const char *serviceName) {
  return std::string(kEventSourceKeyPrefix) + serviceName;
}

long SetStringValue(HKEY key, const char *name, const char *value) {
  return RegSetValueEx(key, name, REG_EXPAND_SZ, value,
                       static_cast<DWORD>(std::char_traits<char>::length(value) + 1));
}

long SetDwordValue(HKEY key, const char *name, DWORD value) {
  return RegSetValueEx(key, name, REG_DWORD, &value, sizeof value);
}

long SetEventSourceValues(HKEY key, const char *fileName, DWORD categoryCount) {
  long rc = SetStringValue(key, "EventMessageFile", fileName);
  if (rc == ERROR_SUCCESS && categoryCount != 0) {
    rc = SetStringValue(key, "CategoryMessageFile", fileName);
    if (rc == ERROR_SUCCESS) rc = SetDwordValue(key, "CategoryCount", categoryCount);
  }
  if (rc == ERROR_SUCCESS) rc = SetDwordValue(key, "TypesSupported", kTypesSupported);
  return rc;
}

// Makes sure the suite key exists and registers serviceName as an event
// source whose texts come from fileName; 0 or the printed error.
long CreateRegistryInfo(const char *fileName, const char *serviceName, DWORD categoryCount) {
  {
    RegKey suite;
    long rc = RegCreateKeyEx(HKEY_LOCAL_MACHINE, kSuiteKey, KEY_ALL_ACCESS, suite.out(), nullptr);
    if (rc != ERROR_SUCCESS) return PrintFailure("RegCreateKeyEx", rc);
  }
  std::string keyPath = EventSourceKey(serviceName);
  RegKey key;
  long rc = RegCreateKeyEx(HKEY_LOCAL_MACHINE, keyPath.c_str(), KEY_ALL_ACCESS, key.out(), nullptr);
  if (rc != ERROR_SUCCESS) return PrintFailure("RegCreateKeyEx", rc);
  rc = SetEventSourceValues(key.get(), fileName, categoryCount);
  if (rc == ERROR_SUCCESS) return 0;
  key.Close();
  RegDeleteKey(HKEY_LOCAL_MACHINE, keyPath.c_str());
  return PrintFailure("RegSetValueEx", rc);
}

// A failure is printed but does not fail the removal.
void DeleteRegistryInfo(const char *serviceName) {
  long rc = RegDeleteKey(HKEY_LOCAL_MACHINE, EventSourceKey(serviceName).c_str());
  if (rc != ERROR_SUCCESS) PrintFailure("RegDeleteKey", rc);
}

void LoadInstallConfig() {
  SetConfigDefaults();
  LoadCriticalConfig();
  LoadGeneralConfigMain(kDomainListBytes);
}

// A system account (no home, no login shell), created when missing; 0 or
// the printed error, the failure to create it named routine.
long EnsureAccount(const std::string &account, const char *routine, uid_t &uid, gid_t &gid) {
  if (LookUpAccount(account, &uid, &gid)) return 0;
  if (GetLastError() != ERROR_NONE_MAPPED) return PrintFailure("getpwnam", GetLastError());
  if (!CreateSystemAccount(account)) return PrintFailure(routine, GetLastError());
  return LookUpAccount(account, &uid, &gid) ? 0 : PrintFailure("getpwnam", GetLastError());
}

// The receiver becomes the account after its start: the account gets now
// what the program hands over when root starts it (its own hook), which is
// only what the account writes. The spool root, the state directory (the
// registry database) and the pid files' directory stay root's: an account
// that owned a directory could swap root's files in it for links. The
// receiver takes its pid file before it leaves root.
long GiveDirectoriesToAccount(uid_t uid, gid_t gid) {
  const ServiceHooks &hooks = ThisServiceHooks();
  if (hooks.GiveFilesToAccount != nullptr && !hooks.GiveFilesToAccount(uid, gid))
    return PrintFailure("GiveFilesToAccount", GetLastError());
  if (!CreateSystemDirectories(PidFileDirectory(), kSystemDirectoryMode))
    return PrintFailure("CreateDirectory", GetLastError());
  return 0;
}

// One PAM service for every server that checks host passwords.
long WritePamServiceFile() {
  std::string dir = PamServiceDirectory();
  if (!CreateSystemDirectories(dir, kSystemDirectoryMode))
    return PrintFailure("CreateDirectory", GetLastError());
  // The administrator's own file stays as it is.
  if (!CreateFileWithText(dir + "/" + kPamServiceName, PamServiceText(), 0644) &&
      GetLastError() != ERROR_FILE_EXISTS)
    return PrintFailure("CreateFile", GetLastError());
  return 0;
}

// The mode of a writable directory -install makes: the spool closed to
// others, the common mailbox root only passable (each mailbox in it is its
// user's), the rest as the system's own.
mode_t WritableDirectoryMode(const std::string &dir, const ServiceWritablePaths &paths) {
  if (dir == paths.Spool) return kSpoolMode;
  if (dir == paths.MailboxRoot && dir != kHomeRoot) return kMailboxRootMode;
  return kSystemDirectoryMode;
}

// Everything the written unit relies on; 0 or the printed error. account:
// the one the program becomes after its start ("": none).
long PrepareHost(const ServiceUnitProfile *profile, const ServiceUnitSpec &spec,
                 const ServiceWritablePaths &paths, const std::string &account) {
  uid_t uid = 0;
  gid_t gid = 0;
  bool asAccount = !account.empty();
  if (asAccount)
    if (long rc = EnsureAccount(account, "CreateServiceAccount", uid, gid); rc != 0) return rc;
  // The programs that write mailboxes write virtual users' as this account.
  const std::string &virtualAccount = VirtualMailAccountName();
  uid_t mailUid = 0;
  gid_t mailGid = 0;
  if (profile != nullptr && profile->WritesMailboxes && !virtualAccount.empty())
    if (long rc = EnsureAccount(virtualAccount, "CreateVirtualMailAccount", mailUid, mailGid);
        rc != 0)
      return rc;
  // ProtectSystem=strict cannot bind a path that does not exist.
  for (const std::string &dir : spec.ReadWritePaths)
    if (!CreateSystemDirectories(dir, WritableDirectoryMode(dir, paths)))
      return PrintFailure("CreateDirectory", GetLastError());
  if (asAccount)
    if (long rc = GiveDirectoriesToAccount(uid, gid); rc != 0) return rc;
  if (profile == nullptr) return 0;
  if (!CreateTargetUnit(kSuiteTargetName, kSuiteTargetDescription, SuiteServiceUnits()) &&
      GetLastError() != ERROR_FILE_EXISTS)
    return PrintFailure("CreateService", GetLastError());
  return profile->NeedsPamService ? WritePamServiceFile() : 0;
}

// The target goes with the suite's last unit.
void DeleteTargetWhenUnused() {
  for (const std::string &unit : SuiteServiceUnits())
    if (UnitFileExists(unit)) return;
  if (!DeleteTargetUnit(kSuiteTargetName) && GetLastError() != ENOENT)
    PrintFailure("DeleteService", GetLastError());
}

}  // namespace

const std::vector<ServiceUnitProfile> &ServiceUnitProfiles() { return kProfiles; }

const ServiceUnitProfile *FindServiceUnitProfile(const char *serviceName) {
  for (const ServiceUnitProfile &p : kProfiles)
    if (std::string_view(p.ServiceName) == serviceName) return &p;
  return nullptr;
}

std::vector<std::string> SuiteServiceUnits() {
  std::vector<std::string> units;
  for (const ServiceUnitProfile &p : kProfiles) units.push_back(std::string(p.UnitName) + ".service");
  return units;
}

std::string MailboxRootOfTemplate(const std::string &mailboxTemplate) {
  if (mailboxTemplate.compare(0, std::char_traits<char>::length(kHomeVariable), kHomeVariable) == 0)
    return kHomeRoot;
  std::string fixed = mailboxTemplate.substr(0, mailboxTemplate.find('%'));
  size_t slash = fixed.rfind('/');
  if (slash == std::string::npos) return "";
  return slash == 0 ? "/" : fixed.substr(0, slash);
}

ServiceWritablePaths WritablePathsFromConfig() {
  ServiceWritablePaths paths;
  paths.Spool = MailSpoolDirectory;
  paths.MailboxRoot = MailboxRootOfTemplate(MailInboxDirectory);
  paths.Log = WindowsDirectory();
  paths.State = StateDirectory();
  return paths;
}

ServiceUnitSpec BuildServiceUnitSpec(const ServiceUnitProfile *profile, const char *displayName,
                                     const std::string &binaryPath,
                                     const ServiceWritablePaths &paths) {
  ServiceUnitSpec spec;
  spec.DisplayName = displayName;
  spec.BinaryPath = binaryPath;
  AddPath(spec.ReadWritePaths, paths.Spool);
  if (profile != nullptr && profile->WritesMailboxes) AddPath(spec.ReadWritePaths, paths.MailboxRoot);
  AddPath(spec.ReadWritePaths, paths.Log);
  AddPath(spec.ReadWritePaths, paths.State);
  if (profile == nullptr) return spec;
  spec.Target = std::string(kSuiteTargetName) + ".target";
  for (const char *cap : profile->Capabilities) spec.Capabilities.push_back(cap);
  return spec;
}

std::string PamServiceText() {
  return "# The PAM service of the ZEL POP3 and IMAP servers (zelfetch, zelimap).\n"
         "# They ask PAM under this name only, so the distribution's \"other\"\n"
         "# service never decides a logon.\n"
         "auth required pam_unix.so\n"
         "account required pam_unix.so\n";
}

long InstallService() {
  if (!OpenSCManager()) return PrintFailure(nullptr, GetLastError());
  std::string path;
  if (!GetModuleFileName(path)) return PrintFailure("GetModuleFileName", GetLastError());
  LoadInstallConfig();
  const ServiceUnitProfile *profile = FindServiceUnitProfile(ThisServiceName());
  // An empty ServiceAccount keeps the receiver as whoever starts it: root.
  if (profile != nullptr && profile->RunsAsServiceAccount && !ServiceAccount.empty() &&
      !IsValidAccountName(ServiceAccount))
    return PrintFailure("CreateServiceAccount", EINVAL);
  if (profile != nullptr && profile->WritesMailboxes && !VirtualMailAccountName().empty() &&
      !IsValidAccountName(VirtualMailAccountName()))
    return PrintFailure("CreateVirtualMailAccount", EINVAL);
  ServiceWritablePaths paths = WritablePathsFromConfig();
  ServiceUnitSpec spec =
      BuildServiceUnitSpec(profile, ThisServiceDisplayName(), path, paths);
  if (!CreateService(spec)) return PrintFailure("CreateService", GetLastError());
  bool switches = profile != nullptr && profile->RunsAsServiceAccount;
  long rc = PrepareHost(profile, spec, paths, switches ? ServiceAccount : std::string());
  if (rc == 0) rc = CreateRegistryInfo(path.c_str(), ThisServiceName(), kNoCategories);
  if (rc != 0) {
    // Leave no unit behind, so that a second -install can succeed.
    DeleteService(path);
    return rc;
  }
  printf("%s installed successfully\n", ThisServiceDisplayName());
  return 0;
}

long RemoveService() {
  std::string path;
  if (!GetModuleFileName(path) || !DeleteService(path)) return PrintFailure(nullptr, GetLastError());
  DeleteRegistryInfo(ThisServiceName());
  if (FindServiceUnitProfile(ThisServiceName()) != nullptr) DeleteTargetWhenUnused();
  printf("%s removed successfully\n", ThisServiceDisplayName());
  return 0;
}
