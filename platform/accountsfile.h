// accountsfile: the accounts file, ZEL's own account database.
//
// When $ZEL_ROOT/etc/zel/accounts exists, it stands in for the accounts of
// the computer and of its domain (platform/accounts answers every account
// question from it). One record per line, fields separated by ":"; "#"
// starts a comment line; blank lines are ignored; lines end in LF or CR LF:
//
//   computer:NAME             the computer name (local accounts' domain)
//   domain:NAME               the primary domain, or the workgroup
//   controller:\\NAME         the domain's controller (optional)
//   KIND:DOMAIN:NAME:HASH:HOME
//
// One account per KIND line: KIND is user, group or alias; DOMAIN the
// computer name (a local account) or the domain name; NAME the account
// name; HASH a crypt(3) hash of the password, or empty (or starting with "!"
// or "*") when the account cannot log on; HOME, the rest of the line, the
// home directory: an absolute path, or empty. The identity lines may stand
// anywhere, but each only once; "computer" and "domain" are required. Names
// and keywords compare without regard to ASCII case.
//
// Callers: platform/accounts (every lookup reads the file through
// ReadAccountsFile) and zeladm user (edits it with WriteAccountsFile under
// AccountsFileLock).
//
// Untrusted input: the file is edited by hand. The parser takes a bounded
// view and a maximum size, checks every field against the limits below and
// refuses the whole file at its first bad line, saying "FILE:LINE: what is
// wrong". Nothing is ever half-accepted.
//
// Threads: all functions are thread-safe (no state). A file written by
// WriteAccountsFile appears whole or not at all: it is written under a
// temporary name beside the target, made durable and renamed over it.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "platform/errors.h"
#include "platform/files.h"

// The file is larger than any account database ZEL is meant to hold, or
// does not follow the format: the lookups fail with this number (a broken
// file never lets the host's accounts in instead).
constexpr long ERROR_BAD_ACCOUNTS_FILE = EBADMSG;

// Room for tens of thousands of accounts; a larger file is not ours.
constexpr size_t kMaxAccountsFileBytes = 4 * 1024 * 1024;
// The longest valid line (every field at its limit) is about 720 bytes.
constexpr size_t kMaxAccountsLineLength = 1024;
// The services keep 127 characters of the computer and domain names.
constexpr size_t kMaxIdentityNameLength = 127;
// The services keep 127 characters of "\\NAME" for the controller.
constexpr size_t kMaxControllerNameLength = 125;
// Longer than the account names of Windows (20) and Linux (32) allow.
constexpr size_t kMaxAccountNameLength = 64;
// crypt(3) hashes are at most about 130 characters (sha512crypt).
constexpr size_t kMaxPasswordHashLength = 256;
// A path of the system is at most 260 characters.
constexpr size_t kMaxHomeDirectoryLength = 260;

enum class AccountKind { kUser, kGroup, kAlias };

struct AccountRecord {
  AccountKind kind = AccountKind::kUser;
  std::string domain;         // as the identity line spells it, once read
  std::string name;
  std::string passwordHash;   // empty: cannot log on
  std::string homeDirectory;  // empty: none
  size_t line = 0;            // the line it came from (0: not read from a file)
};

struct AccountsData {
  std::string computerName;
  std::string domainName;
  std::string controllerName;  // without the leading "\\"; empty: none
  std::vector<AccountRecord> accounts;
};

// $ZEL_ROOT/etc/zel/accounts.
std::string AccountsFilePath();

// "user", "group", "alias".
const char *AccountKindName(AccountKind kind);
bool ParseAccountKind(std::string_view text, AccountKind &kind);

// Field checks shared by the parser and zeladm. Each returns true when the
// text is acceptable, else false with why (e.g. "contains ':'").
bool CheckIdentityName(std::string_view name, size_t maxLength, std::string &why);
bool CheckAccountName(std::string_view name, std::string &why);
bool CheckPasswordHash(std::string_view hash, std::string &why);
bool CheckHomeDirectory(std::string_view home, std::string &why);

// Parses the file's text (at most maxBytes of it; a longer text is
// refused). fileName only labels the messages. On failure out is left
// unspecified and error holds "fileName:LINE: what is wrong" (or
// "fileName: ..." for the file as a whole).
bool ParseAccountsFile(std::string_view text, size_t maxBytes, std::string_view fileName,
                       AccountsData &out, std::string &error);

// The file's text for data, starting with a comment that explains the format.
std::string FormatAccountsFile(const AccountsData &data);

// The account of that domain and name (ASCII case ignored), or null.
const AccountRecord *FindAccount(const AccountsData &data, std::string_view domain,
                                 std::string_view name);

// Which version of the file a reader saw (platform/files.h).
using AccountsFileStamp = FileStamp;

// The stamp of the file at path now: ERROR_SUCCESS, ERROR_FILE_NOT_FOUND or
// another errno.
long StatAccountsFile(const std::string &path, AccountsFileStamp &stamp);

// Reads and parses the file at path. ERROR_SUCCESS; ERROR_FILE_NOT_FOUND
// when there is none; ERROR_BAD_ACCOUNTS_FILE with error set when it is too
// large or malformed; another errno when it cannot be read (error set too).
// stamp (may be null) receives the stamp of the version that was read.
long ReadAccountsFile(const std::string &path, AccountsData &out, std::string &error,
                      AccountsFileStamp *stamp = nullptr);

// Writes data to path atomically with mode 0600, creating the directory
// if needed. Refuses (ERROR_BAD_ACCOUNTS_FILE) data that the parser would
// refuse, so zeladm never writes a file the services cannot read. On any
// failure the old file is untouched and no temporary file is left.
long WriteAccountsFile(const std::string &path, const AccountsData &data, std::string &error);

// Serialises editors of the file at path: an exclusive flock on path +
// ".lock", held while the object lives. Readers need no lock (they only
// ever see whole files).
class AccountsFileLock {
 public:
  AccountsFileLock() = default;
  ~AccountsFileLock();
  AccountsFileLock(const AccountsFileLock &) = delete;
  AccountsFileLock &operator=(const AccountsFileLock &) = delete;
  // Waits for the lock; creates the directory and the lock file if needed.
  long Acquire(const std::string &path);

 private:
  int fd_ = -1;
};
