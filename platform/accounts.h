// accounts: the accounts of this computer and of its domain, and who the
// computer is.
//
// The services' mail users are accounts; this module answers the questions
// they ask about them, in the shape of the calls it replaces: the
// workstation's identity (NetWkstaGetInfo), its domain's controller
// (NetGetDCName), a user's home directory (NetUserGetInfo), a name's domain
// and kind (LookupAccountName), and a password check. Two sources stand
// behind it:
//
// 1. The accounts file (platform/accountsfile), whenever it exists. Local
//    accounts (domain = the computer name) are known to the computer;
//    accounts of the domain only to the domain's controller: NetUserGetInfo
//    finds them when asked with the controller as server, and
//    LookupAccountName finds them after the local ones when the computer has
//    a domain with a controller.
// 2. Otherwise the host's accounts: the computer name is the host name's
//    first label in upper case, the workgroup "WORKGROUP", no controller;
//    users come from the passwd database (home directory pw_dir) and groups
//    from the group database (SidTypeAlias, as a computer's local groups
//    are), all in the computer's domain.
// A file that exists but cannot be read or is malformed makes every call
// fail (ERROR_BAD_ACCOUNTS_FILE or the errno); it never lets the host's
// accounts in instead. CheckAccountSource tells an administrator why.
// 3. A directory (LDAP, platform/ldapdir), asked through the
//    DirectorySource hook, when the suite value UserDirectory names it.
//
// The order: SetUserDirectory gives the sources in the order they are
// asked (common/userdir reads UserDirectory; without it the order is
// "accounts" "host", exactly the rule above). "host" is skipped while
// "accounts" is listed and the file exists: the file still replaces the
// host's accounts, as it always did. A source that cannot answer now (the
// file broken, the directory down) ends the lookup with its error: a later
// source is not asked, so a temporary failure never turns into "no such
// account". The identity (computer name, domain) comes from the file or
// the host as before; directory users are accounts of this computer.
//
// Callers: common/netcode (the services' user directory) and zeladm user.
// Untrusted input: account names and passwords come from the network (POP3
// USER and PASS, SMTP recipients); a name that no account could have
// (empty, too long, with "/", ":", "\" and the like) is simply not found,
// and is never handed to the passwd database.
//
// Threads: every function is thread-safe. The file is read again whenever
// it changed (its stamp differs), so an edit takes effect at the next call;
// the parsed file is shared between threads read-only.
//
// Failures are error numbers: errno values, and, where nothing in errno
// means the same, the numbers below (above the errno range, shown as
// decimal numbers).
#pragma once

#include <sys/types.h>

#include <string>
#include <string_view>
#include <vector>

#include "platform/accountsfile.h"
#include "platform/errors.h"

// What LookupAccountName says a name is.
enum SID_NAME_USE {
  SidTypeUser = 1,
  SidTypeGroup,
  SidTypeDomain,
  SidTypeAlias,
  SidTypeWellKnownGroup,
  SidTypeDeletedAccount,
  SidTypeInvalid,
  SidTypeUnknown,
  SidTypeComputer,
};

constexpr long ERROR_LOGON_FAILURE = 1326;  // unknown user name or bad password
constexpr long ERROR_NONE_MAPPED = 1332;    // no account of that name
constexpr long NERR_UserNotFound = 2221;    // the server has no such user
constexpr long NERR_DCNotFound = 2453;      // the domain has no (known) controller
// A server other than this computer or its controller was named.
constexpr long ERROR_BAD_NETPATH = EHOSTUNREACH;

// The workgroup of a computer that uses the host's accounts.
constexpr const char *kHostWorkgroup = "WORKGROUP";
// RFC 1939 keeps a POP3 command line within 255 octets; no password is longer.
constexpr size_t kMaxPasswordLength = 255;

struct WorkstationInfo {
  std::string computerName;  // wki100_computername
  std::string langroup;      // wki100_langroup: the primary domain or workgroup
};

struct UserInfo {
  std::string name;
  std::string homeDirectory;  // may be empty
};

// The local computer's identity.
long NetWkstaGetInfo(WorkstationInfo &info);

// The controller of domainName ("" = the primary domain), as "\\NAME".
// serverName "" (or this computer, with or without "\\") asks this computer;
// any other server gives ERROR_NOT_SUPPORTED, and the caller asks this
// computer instead. NERR_DCNotFound when the domain has no controller.
long NetGetDCName(const std::string &serverName, const std::string &domainName,
                  std::string &controller);

// The user account userName as server knows it: "" (or this computer) for
// the local accounts, the controller ("\\NAME" or "NAME") for the domain's.
// Only accounts of kind user are found (NERR_UserNotFound otherwise);
// another server gives ERROR_BAD_NETPATH.
long NetUserGetInfo(const std::string &serverName, const std::string &userName, UserInfo &info);

// Finds accountName (ASCII case ignored in the file; exact in the host's
// databases): local accounts first, then the domain's. On success the
// account's domain (spelt as the identity spells it) and kind; on failure
// false with the thread's last error set (ERROR_NONE_MAPPED when there is
// no such account).
bool LookupAccountName(const std::string &accountName, std::string &referencedDomain,
                       SID_NAME_USE &use);

// What LookupAccountName finds, with the account's own name and its source.
struct AccountFound {
  std::string Domain;        // the referenced domain
  SID_NAME_USE Use = SidTypeUser;
  std::string Name;          // as the source spells it (the file may differ in case)
  bool bHostAccount = false; // from the host's databases: a real uid owns its files
  // The host that holds this user's mailbox when a directory names one
  // (another mail host of the site); empty: this host. Only a directory
  // source sets it; the accounts file and the host's accounts never do.
  std::string MailHost;
  // From a directory: its entry, and what the entry says instead of the
  // inbox template (MailboxPath, an absolute path; empty: the template)
  // and the ids its files are made with (bHasIds: a POSIX user; else a
  // virtual user, written as VirtualMailAccount).
  bool bDirectoryUser = false;
  std::string Dn;
  std::string HomeDirectory;
  std::string MailboxPath;
  bool bHasIds = false;
  uid_t Uid = 0;
  gid_t Gid = 0;
};
bool FindAccountByName(const std::string &accountName, AccountFound &found);
// The same for a mail recipient: accountName is the local part, address
// the whole address (a directory finds users and aliases by it; the file
// and the host know names only).
bool FindMailRecipient(const std::string &accountName, const std::string &address,
                       AccountFound &found);

// The directory beside the file and the host. Find answers ERROR_SUCCESS,
// ERROR_NONE_MAPPED or a temporary error; Verify checks a password of an
// account Find gave (ERROR_SUCCESS, ERROR_LOGON_FAILURE or a temporary
// error).
struct DirectorySource {
  long (*Find)(const std::string &name, const std::string &address, AccountFound &found) = nullptr;
  long (*Verify)(const AccountFound &found, std::string_view password) = nullptr;
};
enum class UserSource { kAccounts, kHost, kDirectory };
// Set once while the service starts, before other threads; an empty order
// is the default ("accounts" "host").
void SetUserDirectory(const std::vector<UserSource> &order, const DirectorySource &directory);
// Whether the directory source is in the order.
bool UserDirectoryHasDirectory();

// A lookup's error number says for certain that there is no such account
// (ERROR_NONE_MAPPED, NERR_UserNotFound). Any other failure (the accounts
// file unreadable or malformed, an NSS source down) only says the question
// could not be answered now, and must be asked again later.
bool IsNoSuchAccount(long error);

// Logon, for the POP3 server: ERROR_SUCCESS when password is the password
// of the user account domain\name. A directory's user: the directory's
// Verify (a bind), whose failure to answer is its own error. Against the file: a crypt(3) hash,
// compared in constant time; an unknown account costs the same time as a
// wrong password and gives the same ERROR_LOGON_FAILURE. The host's accounts
// give ERROR_NOT_SUPPORTED: their passwords are PAM's (LogonUser in
// platform/logon checks them there).
long VerifyAccountPassword(const std::string &domain, const std::string &name,
                           std::string_view password);

// A new crypt(3) hash of password (yescrypt, with a fresh random salt).
// ERROR_INVALID_PARAMETER for an empty or over-long password.
long HashAccountPassword(std::string_view password, std::string &hash);

// The computer name the host's accounts give: the host name's first label
// in upper case, cut to kMaxIdentityNameLength.
std::string HostComputerName();

// Which source answers now: "accounts file PATH" or "host accounts"; false
// with the reason (e.g. "PATH:7: account name 'a b' contains a blank") when
// the file exists but cannot be used.
bool CheckAccountSource(std::string &description);
