// logon: password logon and per-thread impersonation of the logged-on user,
// in the shape of LogonUser, ImpersonateLoggedOnUser and RevertToSelf.
//
// Callers: the POP3 server's PASS command (LogonUser), and its logon, RETR,
// TOP and QUIT, which do their file work as the user when mailboxes live in
// home directories (ImpersonationGuard).
//
// Who checks the password follows platform/accounts: with the accounts file
// its crypt(3) hash (VerifyAccountPassword, constant-time compare); with the
// host's accounts PAM, service "zelfetch" (authentication and account
// management). The token records the account: uid, gid and groups of a host
// account, the name alone of an accounts-file account.
//
// Impersonation: when the process runs as root and the token is a host
// account's, the calling thread's file-system ids (setfsuid, setfsgid) and
// supplementary groups become the user's, for this thread alone; in every
// other case it changes nothing and succeeds (accounts-file users own no
// files). A worker must revert before it returns to the completion port:
// use ImpersonationGuard, which reverts when it leaves scope.
//
// Untrusted input: the name and the password come from the network. The
// password is handed to the checker only, never logged or kept; names no
// account can have fail like unknown ones.
//
// Thread-safety: all calls are thread-safe; impersonation state is per
// thread. Failures: false with the thread's last error (ERROR_LOGON_FAILURE
// for an unknown name or a wrong password, ERROR_ACCOUNT_RESTRICTION when
// the account may not log on now, an errno for system failures).
#pragma once

#include <sys/types.h>

#include <string>
#include <string_view>
#include <vector>

#include "platform/errors.h"

constexpr long ERROR_ACCOUNT_RESTRICTION = 1327;  // expired, locked or disabled

// The PAM service whose configuration (/etc/pam.d/zelfetch, else "other")
// checks host accounts.
constexpr const char *kPamServiceName = "zelfetch";

struct LogonToken {
  bool bValid = false;
  bool bHostAccount = false;   // uid, gid and groups below are meaningful
  uid_t Uid = 0;
  gid_t Gid = 0;
  std::vector<gid_t> Groups;   // supplementary groups of a host account
  std::string Name;
  std::string Domain;

  void Close() { *this = LogonToken(); }
};

// Checks password for the account domain\name and fills token. False with
// the thread's last error; the token is then invalid.
bool LogonUser(const std::string &name, const std::string &domain, std::string_view password,
               LogonToken &token);

// A token for the file-system identity of the host account name, without
// a password: the delivery agent creates a user's mailbox files as that
// user. It logs nobody on; it only serves ImpersonateLoggedOnUser. False
// with the last error (ENOENT: no such host account).
bool AccountFileToken(const std::string &name, LogonToken &token);

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
