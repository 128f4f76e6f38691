// logon: password logon and per-thread impersonation of the logged-on user,
// in the shape of LogonUser, ImpersonateLoggedOnUser and RevertToSelf.
//
// Callers: common/logonpool (LogonUser, on the pool's own threads), the
// POP3 server's logon, RETR, TOP and QUIT, which do their file work as the
// user when mailboxes live in home directories (ImpersonationGuard), and
// common/netcode and platform/mailboxdir, which make and write every
// mailbox as its owner (MailUserIdentity).
//
// Who checks the password follows platform/accounts: a directory's user
// the directory (a bind as the user's entry, platform/ldapdir); with the
// accounts file its crypt(3) hash (VerifyAccountPassword, constant-time compare); with the
// host's accounts PAM, service "zelfetch" and no other: when neither
// /etc/pam.d/zelfetch nor /usr/lib/pam.d/zelfetch exists, PAM is not asked
// at all (it would fall back to its "other" service) and every host logon
// fails with ERROR_NO_LOGON_SERVERS. A name that is no host account
// goes through PAM all the same (its answer ignored), so that it costs what
// a known name costs. PAM's own failure delay is not slept on the checking
// thread: LogonUser hands it to the caller, who answers late from a timer.
//
// The token records the identity the user's mail is made and read with
// (MailUserIdentity): for a host account its uid, gid and groups; for an
// accounts-file account those of the host account of the same name (in lower
// case) when there is one, else the virtual mail account's (a virtual user:
// VirtualMailIdentity). Every token a logon gives carries an identity; a
// virtual user's cannot be had while root when VirtualMailAccount names no
// unprivileged account, and its logon then fails (a failure of the checker,
// not a verdict on the password).
//
// Impersonation: a token with an identity makes the calling thread's
// file-system ids (setfsuid, setfsgid) and supplementary groups the user's,
// for this thread alone; when they cannot be taken (a service without root
// or CAP_SETUID and CAP_SETGID) it fails: the caller must then not do the
// work as itself. A token without an identity, or with the process's own
// uid and gid, changes nothing and succeeds. A worker must
// revert before it returns to its completion port: use ImpersonationGuard,
// which reverts when it leaves scope.
//
// Untrusted input: the name and the password come from the network. The
// password is handed to the checker only, never logged or kept; names no
// account can have fail like unknown ones.
//
// Thread-safety: all calls are thread-safe; impersonation state is per
// thread. Failures: false with the thread's last error (ERROR_LOGON_FAILURE
// for an unknown name or a wrong password, ERROR_ACCOUNT_RESTRICTION when
// the account may not log on now, ERROR_NO_LOGON_SERVERS when PAM has
// no "zelfetch" service, an errno for system failures).
#pragma once

#include <sys/types.h>

#include <string>
#include <string_view>
#include <vector>

#include "platform/errors.h"

struct AccountFound;

constexpr long ERROR_ACCOUNT_RESTRICTION = 1327;  // expired, locked or disabled
constexpr long ERROR_NO_LOGON_SERVERS = 1311;      // PAM has no service "zelfetch"
// A virtual user's identity is wanted while root, and VirtualMailAccount is
// empty, names no account, or names one with uid or gid 0 (the number of
// the old "no such user" error).
constexpr long ERROR_NO_VIRTUAL_MAIL_ACCOUNT = 1317;

// The PAM service that checks host accounts, and where its configuration
// must be: libpam would use its "other" service for a missing one.
constexpr const char *kPamServiceName = "zelfetch";
constexpr const char *kPamServiceFiles[] = {"/etc/pam.d/zelfetch", "/usr/lib/pam.d/zelfetch"};

struct LogonToken {
  bool bValid = false;
  // Uid, Gid and Groups below are meaningful: the identity the user's mail
  // is made and read with.
  bool bHasIdentity = false;
  // A virtual user (no host account of its own): the identity is the
  // virtual mail account's, or the process's own in a process that is not
  // root. Rules for host accounts (MinimumLogonUid) do not apply.
  bool bVirtualUser = false;
  uid_t Uid = 0;
  gid_t Gid = 0;
  std::vector<gid_t> Groups;   // supplementary groups of a host account; none for a virtual user
  std::string Name;
  std::string Domain;

  void Close() { *this = LogonToken(); }
};

// Checks password for the account domain\name and fills token. False with
// the thread's last error; the token is then invalid. failDelayMs, when
// given, receives the delay the checker asked for after a failure (PAM's
// fail delay; 0 when none), for the caller to wait out.
bool LogonUser(const std::string &name, const std::string &domain, std::string_view password,
               LogonToken &token, DWORD *failDelayMs = nullptr);

// Whether a logon result is a verdict on the password (success, a wrong
// password, an account that may not log on now), as opposed to a failure
// of the checker itself.
bool IsLogonVerdict(long rc);

// The file-system identity of the host account called name (exactly): its
// uid, gid and groups into token (bHasIdentity set). False when there is
// no such account (ENOENT) or the databases fail (an errno).
bool LookUpFileSystemIdentity(const std::string &name, LogonToken &token);

// The host account that owns the mailboxes of virtual users (the suite
// value VirtualMailAccount), set by the configuration loader while the
// service starts, before any other thread; read-only afterwards.
void SetVirtualMailAccount(const std::string &account);
const std::string &VirtualMailAccountName();

// A virtual user's identity into token (bHasIdentity and bVirtualUser set,
// no supplementary groups): in a process that is root, the uid and gid of
// VirtualMailAccount; in one that is not, which can switch to nobody, the
// process's own. False with ERROR_NO_VIRTUAL_MAIL_ACCOUNT when root and the
// account is empty, missing or has uid or gid 0 (nothing of a virtual user
// is ever done as root), or with the databases' errno. Name, Domain and
// bValid are left as they are.
bool VirtualMailIdentity(LogonToken &token);

// The identity a mail user's files are made and read with: a host account
// (hostAccount: name is its exact name) its own; an accounts-file account
// that of the host account of the name in lower case (as its mailbox is
// named) when there is one, else the virtual one (VirtualMailIdentity).
// False with the last error (ENOENT: the host account is gone).
bool MailUserIdentity(const std::string &name, bool hostAccount, LogonToken &token);

// The identity of an account as platform/accounts found it: a directory's
// POSIX user its uidNumber and gidNumber (no other groups; 0 for either
// is refused with ERROR_ACCOUNT_RESTRICTION: nothing runs as root), a
// directory's other users the virtual one; file and host accounts as
// MailUserIdentity.
bool AccountIdentity(const AccountFound &found, LogonToken &token);

// The process's own uid and gid (no supplementary groups) into token,
// bHasIdentity set; bVirtualUser is left as it is.
void ProcessIdentity(LogonToken &token);

// Makes the calling thread act as the token's user for file access (see
// above). False with the last error when the ids cannot be taken; the thread
// is then unchanged.
bool ImpersonateLoggedOnUser(const LogonToken &token);
// Gives the thread back the process's own ids; nothing when it impersonates
// nobody. Always true.
bool RevertToSelf();

// Reverts, if Begin impersonated, when it leaves scope.
class ImpersonationGuard {
 public:
  ImpersonationGuard() = default;
  ~ImpersonationGuard() { End(); }
  ImpersonationGuard(const ImpersonationGuard &) = delete;
  ImpersonationGuard &operator=(const ImpersonationGuard &) = delete;

  bool Begin(const LogonToken &token) {
    active_ = ImpersonateLoggedOnUser(token);
    return active_;
  }
  void End() {
    if (active_) RevertToSelf();
    active_ = false;
  }

 private:
  bool active_ = false;
};

// GetUserName: the name of the process's effective user (the service
// account); false when the passwd database has none.
bool GetUserName(std::string &name);
