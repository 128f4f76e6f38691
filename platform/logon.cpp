// logon: see logon.h.
//
// Per-thread credentials: Linux keeps credentials per thread; the C
// library's setgroups and setfs*id wrappers are the ones that broadcast to
// every thread (setgroups) or not (setfsuid, setfsgid: a plain system
// call). The supplementary groups are therefore set with the raw system
// call, which changes the calling thread alone.
#include "platform/logon.h"

#include <grp.h>
#include <pwd.h>
#include <security/pam_appl.h>
#include <string.h>
#include <sys/fsuid.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdlib>
#include <memory>

#include "platform/accounts.h"
#include "platform/ascii.h"

namespace {

// passwd entries larger than this are treated as a failed lookup.
constexpr size_t kMaxNssBuffer = 1024 * 1024;
constexpr size_t kInitialNssBuffer = 16384;
// The kernel's NGROUPS_MAX: a longer group list cannot be set anyway.
constexpr int kMaxGroups = 65536;
// PAM asks for a handful of items at a time; more is a broken module.
constexpr int kMaxPamMessages = 32;
// Handed to PAM in place of a name no account can have, so that such a
// name costs a trip through PAM like any other.
constexpr const char *kNoSuchPamUser = "zelfetch-no-such-user";

struct PasswdEntry {
  uid_t Uid = 0;
  gid_t Gid = 0;
  std::string Name;
};

// getpwnam_r / getpwuid_r with a growing buffer: 0, ENOENT or an errno.
template <typename Lookup>
long FindPasswd(Lookup lookup, PasswdEntry &entry) {
  for (size_t size = kInitialNssBuffer; size <= kMaxNssBuffer; size *= 2) {
    std::vector<char> buf(size);
    struct passwd pw, *result = nullptr;
    int rc = lookup(&pw, buf.data(), buf.size(), &result);
    if (rc == ERANGE) continue;
    if (result == nullptr) return rc == 0 || rc == ENOENT || rc == ESRCH ? ENOENT : rc;
    entry.Uid = pw.pw_uid;
    entry.Gid = pw.pw_gid;
    entry.Name = pw.pw_name != nullptr ? pw.pw_name : "";
    return ERROR_SUCCESS;
  }
  return ERANGE;
}

long PasswdByName(const std::string &name, PasswdEntry &entry) {
  return FindPasswd(
      [&](struct passwd *pw, char *buf, size_t n, struct passwd **r) {
        return getpwnam_r(name.c_str(), pw, buf, n, r);
      },
      entry);
}

bool GroupList(const PasswdEntry &entry, std::vector<gid_t> &groups) {
  int count = 32;
  for (;;) {
    groups.resize(static_cast<size_t>(count));
    int n = count;
    if (getgrouplist(entry.Name.c_str(), entry.Gid, groups.data(), &n) >= 0) {
      groups.resize(static_cast<size_t>(n));
      return true;
    }
    if (n <= count || n > kMaxGroups) return false;
    count = n;
  }
}

// ---- PAM

struct Conversation {
  std::string_view Password;
  unsigned FailDelayUs = 0;   // what PAM asked to wait after a failure
};

void FreeResponses(pam_response *resp, int n) {
  for (int i = 0; i < n; ++i) {
    if (resp[i].resp == nullptr) continue;
    explicit_bzero(resp[i].resp, strlen(resp[i].resp));
    free(resp[i].resp);
  }
  free(resp);
}

// Answers the password prompt (echo off) with the password; informational
// messages need no answer. A prompt that would show its answer (echo on) is
// not given the password.
int Converse(int n, const struct pam_message **msg, struct pam_response **out, void *data) {
  if (n <= 0 || n > kMaxPamMessages) return PAM_CONV_ERR;
  auto *conv = static_cast<Conversation *>(data);
  auto *resp = static_cast<pam_response *>(calloc(static_cast<size_t>(n), sizeof(pam_response)));
  if (resp == nullptr) return PAM_BUF_ERR;
  for (int i = 0; i < n; ++i) {
    int style = msg[i]->msg_style;
    if (style == PAM_ERROR_MSG || style == PAM_TEXT_INFO) continue;
    if (style != PAM_PROMPT_ECHO_OFF) {
      FreeResponses(resp, n);
      return PAM_CONV_ERR;
    }
    resp[i].resp = strndup(conv->Password.data(), conv->Password.size());
    if (resp[i].resp == nullptr) {
      FreeResponses(resp, n);
      return PAM_BUF_ERR;
    }
  }
  *out = resp;
  return PAM_SUCCESS;
}

long PamError(int rc) {
  switch (rc) {
    case PAM_SUCCESS: return ERROR_SUCCESS;
    case PAM_ACCT_EXPIRED:
    case PAM_NEW_AUTHTOK_REQD:
    case PAM_PERM_DENIED: return ERROR_ACCOUNT_RESTRICTION;
    case PAM_BUF_ERR: return ERROR_NOT_ENOUGH_MEMORY;
    case PAM_SYSTEM_ERR:
    case PAM_ABORT:
    case PAM_CONV_ERR: return EIO;
    default: return ERROR_LOGON_FAILURE;   // unknown user, wrong password, too many tries
  }
}

// PAM's fail delay, taken instead of slept: the caller answers late.
void RecordFailDelay(int, unsigned usec, void *data) {
  static_cast<Conversation *>(data)->FailDelayUs = usec;
}

// Without the service's own file libpam would run "other" instead.
bool PamServiceConfigured() {
  struct stat st;
  for (const char *path : kPamServiceFiles)
    if (stat(path, &st) == 0 && S_ISREG(st.st_mode)) return true;
  return false;
}

long PamLogon(const char *name, std::string_view password, DWORD *failDelayMs) {
  Conversation data{password};
  struct pam_conv conv = {Converse, &data};
  pam_handle_t *pamh = nullptr;
  int rc = pam_start(kPamServiceName, name, &conv, &pamh);
  if (rc != PAM_SUCCESS) return PamError(rc);
  rc = pam_set_item(pamh, PAM_FAIL_DELAY, reinterpret_cast<const void *>(RecordFailDelay));
  if (rc == PAM_SUCCESS) rc = pam_authenticate(pamh, PAM_SILENT | PAM_DISALLOW_NULL_AUTHTOK);
  if (rc == PAM_SUCCESS) rc = pam_acct_mgmt(pamh, PAM_SILENT | PAM_DISALLOW_NULL_AUTHTOK);
  pam_end(pamh, rc);
  if (failDelayMs != nullptr && rc != PAM_SUCCESS) *failDelayMs = data.FailDelayUs / 1000;
  return PamError(rc);
}

bool Fail(long code) {
  SetLastError(code);
  return false;
}

long TakeIdentity(const PasswdEntry &entry, LogonToken &token) {
  if (!GroupList(entry, token.Groups)) return ERANGE;
  token.bHasIdentity = true;
  token.bVirtualUser = false;
  token.Uid = entry.Uid;
  token.Gid = entry.Gid;
  return ERROR_SUCCESS;
}

long HostLogon(const std::string &name, std::string_view password, LogonToken &token,
               DWORD *failDelayMs) {
  if (!PamServiceConfigured()) return ERROR_NO_LOGON_SERVERS;
  std::string why;
  PasswdEntry entry;
  // Names no account can have never reach NSS; PAM sees a stand-in.
  bool plausible = CheckAccountName(name, why);
  long found = plausible ? PasswdByName(name, entry) : ENOENT;
  if (found != ERROR_SUCCESS && found != ENOENT) return found;
  long rc = PamLogon(plausible ? name.c_str() : kNoSuchPamUser, password, failDelayMs);
  if (found == ENOENT) {
    // The same road as a known name; whatever PAM thinks, it fails.
    return IsLogonVerdict(rc) ? ERROR_LOGON_FAILURE : rc;
  }
  if (rc != ERROR_SUCCESS) return rc;
  return TakeIdentity(entry, token);
}

// VirtualMailAccount, as the configuration loader gave it.
std::string VirtualMailAccount;

// The thread's own groups while it impersonates.
thread_local bool tImpersonating = false;
thread_local std::vector<gid_t> tSavedGroups;

long SetThreadGroups(const std::vector<gid_t> &groups) {
  if (syscall(SYS_setgroups, groups.size(), groups.data()) != 0) return errno;
  return ERROR_SUCCESS;
}

bool ThreadGroups(std::vector<gid_t> &groups) {
  int n = getgroups(0, nullptr);
  if (n < 0) return false;
  groups.resize(static_cast<size_t>(n));
  n = getgroups(n, groups.data());
  if (n < 0) return false;
  groups.resize(static_cast<size_t>(n));
  return true;
}

// Sets the file-system ids; true when the kernel took them (setfs*id
// report the previous id, so the new one is read back).
bool SetFsIds(uid_t uid, gid_t gid) {
  setfsgid(gid);
  setfsuid(uid);
  return static_cast<uid_t>(setfsuid(static_cast<uid_t>(-1))) == uid &&
         static_cast<gid_t>(setfsgid(static_cast<gid_t>(-1))) == gid;
}

}  // namespace

bool LogonUser(const std::string &name, const std::string &domain, std::string_view password,
               LogonToken &token, DWORD *failDelayMs) {
  token.Close();
  if (failDelayMs != nullptr) *failDelayMs = 0;
  if (password.size() > kMaxPasswordLength || password.find('\0') != std::string_view::npos)
    return Fail(ERROR_LOGON_FAILURE);
  LogonToken fresh;
  long rc = VerifyAccountPassword(domain, name, password);
  if (rc == ERROR_SUCCESS) {
    // The identity the session will run as, and the delivery agent writes as.
    AccountFound found;
    bool directory = UserDirectoryHasDirectory() && FindAccountByName(name, found) &&
                     found.bDirectoryUser;
    if (!(directory ? AccountIdentity(found, fresh) : MailUserIdentity(name, false, fresh)))
      rc = GetLastError();
  } else if (rc == ERROR_NOT_SUPPORTED) {
    // The host's accounts answer "not supported": their passwords are PAM's.
    rc = HostLogon(name, password, fresh, failDelayMs);
  }
  if (rc != ERROR_SUCCESS) return Fail(rc);
  fresh.bValid = true;
  fresh.Name = name;
  fresh.Domain = domain;
  token = std::move(fresh);
  return true;
}

bool IsLogonVerdict(long rc) {
  return rc == ERROR_SUCCESS || rc == ERROR_LOGON_FAILURE || rc == ERROR_ACCOUNT_RESTRICTION;
}

bool LookUpFileSystemIdentity(const std::string &name, LogonToken &token) {
  std::string why;
  PasswdEntry entry;
  long rc = CheckAccountName(name, why) ? PasswdByName(name, entry) : ENOENT;
  if (rc == ERROR_SUCCESS) rc = TakeIdentity(entry, token);
  return rc == ERROR_SUCCESS || Fail(rc);
}

void SetVirtualMailAccount(const std::string &account) { VirtualMailAccount = account; }

const std::string &VirtualMailAccountName() { return VirtualMailAccount; }

bool VirtualMailIdentity(LogonToken &token) {
  token.Groups.clear();
  token.bHasIdentity = false;
  token.bVirtualUser = true;
  // Nothing can be switched: the process's own, as every file it makes is.
  if (geteuid() != 0) {
    ProcessIdentity(token);
    return true;
  }
  std::string why;
  PasswdEntry entry;
  long rc = CheckAccountName(VirtualMailAccount, why) ? PasswdByName(VirtualMailAccount, entry)
                                                      : ENOENT;
  // Root's uid or group would make the virtual user root after all.
  if (rc == ENOENT || (rc == ERROR_SUCCESS && (entry.Uid == 0 || entry.Gid == 0)))
    rc = ERROR_NO_VIRTUAL_MAIL_ACCOUNT;
  if (rc != ERROR_SUCCESS) return Fail(rc);
  token.Uid = entry.Uid;
  token.Gid = entry.Gid;
  token.bHasIdentity = true;
  return true;
}

bool MailUserIdentity(const std::string &name, bool hostAccount, LogonToken &token) {
  if (hostAccount) return LookUpFileSystemIdentity(name, token);
  if (LookUpFileSystemIdentity(LowerAsciiCopy(name), token)) return true;
  return GetLastError() == ENOENT && VirtualMailIdentity(token);
}

bool AccountIdentity(const AccountFound &found, LogonToken &token) {
  if (!found.bDirectoryUser) return MailUserIdentity(found.Name, found.bHostAccount, token);
  if (!found.bHasIds) return VirtualMailIdentity(token);
  if (found.Uid == 0 || found.Gid == 0) return Fail(ERROR_ACCOUNT_RESTRICTION);
  token.Groups.assign(1, found.Gid);
  token.bHasIdentity = true;
  token.bVirtualUser = false;
  token.Uid = found.Uid;
  token.Gid = found.Gid;
  return true;
}

void ProcessIdentity(LogonToken &token) {
  token.Uid = geteuid();
  token.Gid = getegid();
  token.Groups.clear();
  token.bHasIdentity = true;
}

bool ImpersonateLoggedOnUser(const LogonToken &token) {
  if (!token.bValid) return Fail(ERROR_INVALID_PARAMETER);
  if (tImpersonating) RevertToSelf();
  // Nothing to take: no identity, or the service's own.
  if (!token.bHasIdentity || (token.Uid == geteuid() && token.Gid == getegid())) return true;
  if (!ThreadGroups(tSavedGroups)) return Fail(errno);
  long rc = SetThreadGroups(token.Groups);
  if (rc != ERROR_SUCCESS) return Fail(rc);
  tImpersonating = true;
  if (!SetFsIds(token.Uid, token.Gid)) {
    RevertToSelf();
    return Fail(ERROR_ACCESS_DENIED);
  }
  return true;
}

bool RevertToSelf() {
  if (!tImpersonating) return true;
  SetFsIds(geteuid(), getegid());
  SetThreadGroups(tSavedGroups);
  tSavedGroups.clear();
  tImpersonating = false;
  return true;
}

bool GetUserName(std::string &name) {
  PasswdEntry entry;
  uid_t uid = geteuid();
  long rc = FindPasswd(
      [&](struct passwd *pw, char *buf, size_t n, struct passwd **r) {
        return getpwuid_r(uid, pw, buf, n, r);
      },
      entry);
  if (rc != ERROR_SUCCESS) return Fail(rc);
  name = entry.Name;
  return true;
}
