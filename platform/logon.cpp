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
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdlib>
#include <memory>

#include "platform/accounts.h"

namespace {

// passwd entries larger than this are treated as a failed lookup.
constexpr size_t kMaxNssBuffer = 1024 * 1024;
constexpr size_t kInitialNssBuffer = 16384;
// The kernel's NGROUPS_MAX: a longer group list cannot be set anyway.
constexpr int kMaxGroups = 65536;
// PAM asks for a handful of items at a time; more is a broken module.
constexpr int kMaxPamMessages = 32;

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

long PamLogon(const std::string &name, std::string_view password) {
  Conversation data{password};
  struct pam_conv conv = {Converse, &data};
  pam_handle_t *pamh = nullptr;
  int rc = pam_start(kPamServiceName, name.c_str(), &conv, &pamh);
  if (rc != PAM_SUCCESS) return PamError(rc);
  rc = pam_authenticate(pamh, PAM_SILENT | PAM_DISALLOW_NULL_AUTHTOK);
  if (rc == PAM_SUCCESS) rc = pam_acct_mgmt(pamh, PAM_SILENT | PAM_DISALLOW_NULL_AUTHTOK);
  pam_end(pamh, rc);
  return PamError(rc);
}

bool Fail(long code) {
  SetLastError(code);
  return false;
}

long HostLogon(const std::string &name, std::string_view password, LogonToken &token) {
  std::string why;
  PasswdEntry entry;
  // Names no account can have are not handed to PAM or NSS.
  if (!CheckAccountName(name, why) || PasswdByName(name, entry) != ERROR_SUCCESS)
    return ERROR_LOGON_FAILURE;
  long rc = PamLogon(name, password);
  if (rc != ERROR_SUCCESS) return rc;
  if (!GroupList(entry, token.Groups)) return ERANGE;
  token.bHostAccount = true;
  token.Uid = entry.Uid;
  token.Gid = entry.Gid;
  return ERROR_SUCCESS;
}

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
               LogonToken &token) {
  token.Close();
  if (password.size() > kMaxPasswordLength || password.find('\0') != std::string_view::npos)
    return Fail(ERROR_LOGON_FAILURE);
  LogonToken fresh;
  long rc = VerifyAccountPassword(domain, name, password);
  // The host's accounts answer "not supported": their passwords are PAM's.
  if (rc == ERROR_NOT_SUPPORTED) rc = HostLogon(name, password, fresh);
  if (rc != ERROR_SUCCESS) return Fail(rc);
  fresh.bValid = true;
  fresh.Name = name;
  fresh.Domain = domain;
  token = std::move(fresh);
  return true;
}

bool AccountFileToken(const std::string &name, LogonToken &token) {
  token.Close();
  PasswdEntry entry;
  std::string why;
  long rc = CheckAccountName(name, why) ? PasswdByName(name, entry) : ENOENT;
  if (rc == ERROR_SUCCESS && !GroupList(entry, token.Groups)) rc = ERANGE;
  if (rc != ERROR_SUCCESS) {
    token.Close();
    return Fail(rc);
  }
  token.bValid = true;
  token.bHostAccount = true;
  token.Uid = entry.Uid;
  token.Gid = entry.Gid;
  token.Name = entry.Name;
  return true;
}

bool ImpersonateLoggedOnUser(const LogonToken &token) {
  if (!token.bValid) return Fail(ERROR_INVALID_PARAMETER);
  if (tImpersonating) RevertToSelf();
  if (!token.bHostAccount || geteuid() != 0) return true;
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
