// accountsfile: see accountsfile.h.
#include "platform/accountsfile.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <unordered_map>

#include "platform/ascii.h"
#include "platform/files.h"
#include "platform/fileview.h"
#include "platform/root.h"

namespace {

// Characters that Windows never allowed in account names, plus ":" (our
// field separator) and "/" (names become path components of mailboxes).
constexpr std::string_view kForbiddenNameChars = "\"/\\[]:;|=,+*?<>@";
// The file holds password hashes: its owner alone may read it.
constexpr mode_t kAccountsFileMode = 0600;
constexpr mode_t kAccountsDirectoryMode = 0755;

bool IsControl(unsigned char c) { return c < 0x20 || c == 0x7f; }

// File text quoted in a message: cut, with control characters shown as "?".
std::string Shown(std::string_view text) {
  constexpr size_t kMaxShown = 64;  // enough to recognise the field
  std::string out(text.substr(0, kMaxShown));
  for (char &c : out)
    if (IsControl(static_cast<unsigned char>(c))) c = '?';
  if (text.size() > kMaxShown) out += "...";
  return out;
}

// "contains ':'" or "contains a control character" for the first bad byte.
bool CheckCharacters(std::string_view text, std::string_view forbidden, bool allowBlank,
                     std::string &why) {
  for (unsigned char c : text) {
    if (IsControl(c)) {
      why = "contains a control character";
      return false;
    }
    bool blank = c == ' ' && !allowBlank;
    if (blank || forbidden.find(static_cast<char>(c)) != std::string_view::npos) {
      why = c == ' ' ? "contains a blank" : std::string("contains '") + static_cast<char>(c) + "'";
      return false;
    }
  }
  return true;
}

bool CheckName(std::string_view name, size_t maxLength, std::string &why) {
  if (name.empty()) {
    why = "is empty";
    return false;
  }
  if (name.size() > maxLength) {
    why = "is longer than " + std::to_string(maxLength) + " characters";
    return false;
  }
  if (name.find_first_not_of('.') == std::string_view::npos) {
    why = "consists of dots only";
    return false;
  }
  return CheckCharacters(name, kForbiddenNameChars, false, why);
}

// The state of one parse: where we are, and where each identity line was.
struct Parse {
  std::string_view fileName;
  std::string *error;
  size_t line = 0;
  size_t computerLine = 0, domainLine = 0, controllerLine = 0;
  AccountsData *data;

  bool Fail(const std::string &what) {
    *error = std::string(fileName) + ":" + std::to_string(line) + ": " + what;
    return false;
  }
  bool FailFile(const std::string &what) {
    *error = std::string(fileName) + ": " + what;
    return false;
  }
};

// The identity records: where each was seen, where its value goes.
struct IdentitySlot {
  const char *keyword;
  const char *label;
  size_t Parse::*line;
  std::string AccountsData::*field;
  size_t maxLength;
};

const IdentitySlot kIdentitySlots[] = {
    {"computer", "computer name", &Parse::computerLine, &AccountsData::computerName,
     kMaxIdentityNameLength},
    {"domain", "domain name", &Parse::domainLine, &AccountsData::domainName,
     kMaxIdentityNameLength},
    {"controller", "controller name", &Parse::controllerLine, &AccountsData::controllerName,
     kMaxControllerNameLength},
};

const IdentitySlot *FindIdentitySlot(std::string_view keyword) {
  for (const IdentitySlot &slot : kIdentitySlots)
    if (EqualsNoCase(keyword, slot.keyword)) return &slot;
  return nullptr;
}

bool ParseIdentity(Parse &p, const IdentitySlot &slot, std::string_view value) {
  if (p.*slot.line != 0)
    return p.Fail(std::string("second ") + slot.keyword + " line (the first is line " +
                  std::to_string(p.*slot.line) + ")");
  if (slot.field == &AccountsData::controllerName && value.substr(0, 2) == "\\\\")
    value.remove_prefix(2);
  std::string why;
  if (!CheckName(value, slot.maxLength, why))
    return p.Fail(std::string(slot.label) + " '" + Shown(value) + "' " + why);
  p.*slot.line = p.line;
  p.data->*slot.field = std::string(value);
  return true;
}

bool ParseAccount(Parse &p, AccountKind kind, std::string_view rest) {
  std::string_view fields[4];
  size_t count = 0;
  for (; count < 3; ++count) {
    size_t colon = rest.find(':');
    if (colon == std::string_view::npos) break;
    fields[count] = rest.substr(0, colon);
    rest.remove_prefix(colon + 1);
  }
  if (count < 3)
    return p.Fail("account line has " + std::to_string(count + 2) +
                  " fields, expected 5 (KIND:DOMAIN:NAME:HASH:HOME)");
  fields[3] = rest;
  std::string why;
  if (!CheckName(fields[0], kMaxIdentityNameLength, why))
    return p.Fail("account domain '" + Shown(fields[0]) + "' " + why);
  if (!CheckAccountName(fields[1], why))
    return p.Fail("account name '" + Shown(fields[1]) + "' " + why);
  if (!CheckPasswordHash(fields[2], why)) return p.Fail("password hash " + why);
  if (!CheckHomeDirectory(fields[3], why))
    return p.Fail("home directory '" + Shown(fields[3]) + "' " + why);
  p.data->accounts.push_back(AccountRecord{kind, std::string(fields[0]), std::string(fields[1]),
                                           std::string(fields[2]), std::string(fields[3]), p.line});
  return true;
}

bool IsBlankOrComment(std::string_view line) {
  size_t first = line.find_first_not_of(" \t");
  return first == std::string_view::npos || line[first] == '#';
}

bool ParseLine(Parse &p, std::string_view line) {
  if (IsBlankOrComment(line)) return true;
  size_t colon = line.find(':');
  if (colon == std::string_view::npos) return p.Fail("no ':' in the line");
  std::string_view keyword = line.substr(0, colon);
  std::string_view rest = line.substr(colon + 1);
  AccountKind kind;
  if (ParseAccountKind(keyword, kind)) return ParseAccount(p, kind, rest);
  if (const IdentitySlot *slot = FindIdentitySlot(keyword)) return ParseIdentity(p, *slot, rest);
  return p.Fail("unknown record '" + Shown(keyword) +
                "' (expected computer, domain, controller, user, group or alias)");
}

// The checks that need the whole file: the identity, each account's domain
// (spelled as its identity line spells it), duplicates.
bool CheckWhole(Parse &p) {
  AccountsData &d = *p.data;
  if (p.computerLine == 0) return p.FailFile("no computer line");
  if (p.domainLine == 0) return p.FailFile("no domain line");
  if (EqualsNoCase(d.computerName, d.domainName)) {
    p.line = p.domainLine;
    return p.Fail("the domain name equals the computer name");
  }
  std::unordered_map<std::string, size_t> seen;
  for (AccountRecord &a : d.accounts) {
    p.line = a.line;
    if (EqualsNoCase(a.domain, d.computerName)) {
      a.domain = d.computerName;
    } else if (EqualsNoCase(a.domain, d.domainName)) {
      a.domain = d.domainName;
    } else {
      return p.Fail("account domain '" + a.domain + "' is neither the computer '" +
                    d.computerName + "' nor the domain '" + d.domainName + "'");
    }
    auto [it, fresh] = seen.emplace(LowerAsciiCopy(a.domain) + "\\" + LowerAsciiCopy(a.name), a.line);
    if (!fresh)
      return p.Fail("account " + a.domain + "\\" + a.name + " is already defined on line " +
                    std::to_string(it->second));
  }
  return true;
}

std::string DirectoryOf(const std::string &path) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

std::string BaseOf(const std::string &path) {
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// mkdir -p; true when path is a directory afterwards (errno set otherwise).
bool MakeDirectories(const std::string &path) {
  for (size_t slash = path.find('/', 1);; slash = path.find('/', slash + 1)) {
    std::string part = path.substr(0, slash);
    if (!part.empty() && mkdir(part.c_str(), kAccountsDirectoryMode) != 0 && errno != EEXIST)
      return false;
    if (slash == std::string::npos) break;
  }
  struct stat st;
  if (stat(path.c_str(), &st) != 0) return false;
  if (!S_ISDIR(st.st_mode)) errno = ENOTDIR;
  return S_ISDIR(st.st_mode);
}


long Errno(const std::string &path, const char *what, std::string &error) {
  long err = errno;
  error = path + ": cannot " + what + ": " + strerror(static_cast<int>(err));
  return err;
}

bool WriteAll(int fd, std::string_view text) {
  while (!text.empty()) {
    ssize_t n = write(fd, text.data(), text.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    text.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

}  // namespace

std::string AccountsFilePath() { return ZelPath("/etc/zel/accounts"); }

const char *AccountKindName(AccountKind kind) {
  switch (kind) {
    case AccountKind::kGroup: return "group";
    case AccountKind::kAlias: return "alias";
    case AccountKind::kUser: break;
  }
  return "user";
}

bool ParseAccountKind(std::string_view text, AccountKind &kind) {
  for (AccountKind k : {AccountKind::kUser, AccountKind::kGroup, AccountKind::kAlias}) {
    if (EqualsNoCase(text, AccountKindName(k))) {
      kind = k;
      return true;
    }
  }
  return false;
}

bool CheckIdentityName(std::string_view name, size_t maxLength, std::string &why) {
  return CheckName(name, maxLength, why);
}

bool CheckAccountName(std::string_view name, std::string &why) {
  return CheckName(name, kMaxAccountNameLength, why);
}

bool CheckPasswordHash(std::string_view hash, std::string &why) {
  if (hash.size() > kMaxPasswordHashLength) {
    why = "is longer than " + std::to_string(kMaxPasswordHashLength) + " characters";
    return false;
  }
  return CheckCharacters(hash, ":", false, why);
}

bool CheckHomeDirectory(std::string_view home, std::string &why) {
  if (home.empty()) return true;
  if (home[0] != '/') {
    why = "is not an absolute path";
    return false;
  }
  if (home.size() > kMaxHomeDirectoryLength) {
    why = "is longer than " + std::to_string(kMaxHomeDirectoryLength) + " characters";
    return false;
  }
  return CheckCharacters(home, "", true, why);
}

bool ParseAccountsFile(std::string_view text, size_t maxBytes, std::string_view fileName,
                       AccountsData &out, std::string &error) {
  out = AccountsData{};
  error.clear();
  Parse p{fileName, &error, 0, 0, 0, 0, &out};
  if (text.size() > maxBytes)
    return p.FailFile("is larger than " + std::to_string(maxBytes) + " bytes");
  while (!text.empty()) {
    ++p.line;
    size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.size() > kMaxAccountsLineLength)
      return p.Fail("line is longer than " + std::to_string(kMaxAccountsLineLength) + " bytes");
    if (!ParseLine(p, line)) return false;
  }
  return CheckWhole(p);
}

std::string FormatAccountsFile(const AccountsData &data) {
  std::string text =
      "# ZEL accounts: the accounts of this computer and of its domain.\n"
      "# Written by \"zeladm user\"; may be edited by hand (\"zeladm user list\"\n"
      "# checks it). Keep it mode 0600: it holds password hashes.\n"
      "#\n"
      "#   computer:NAME          this computer's name, the domain of local accounts\n"
      "#   domain:NAME            its primary domain, or its workgroup\n"
      "#   controller:\\\\NAME      the domain's controller (optional)\n"
      "#   KIND:DOMAIN:NAME:HASH:HOME\n"
      "#     KIND is user, group or alias; DOMAIN the computer or the domain name;\n"
      "#     HASH a crypt(3) password hash, empty when the account cannot log on;\n"
      "#     HOME the home directory (an absolute path), may be empty.\n"
      "\n";
  text += "computer:" + data.computerName + "\n";
  text += "domain:" + data.domainName + "\n";
  if (!data.controllerName.empty()) text += "controller:\\\\" + data.controllerName + "\n";
  text += "\n";
  for (const AccountRecord &a : data.accounts) {
    text += std::string(AccountKindName(a.kind)) + ":" + a.domain + ":" + a.name + ":" +
            a.passwordHash + ":" + a.homeDirectory + "\n";
  }
  return text;
}

const AccountRecord *FindAccount(const AccountsData &data, std::string_view domain,
                                 std::string_view name) {
  for (const AccountRecord &a : data.accounts) {
    if (EqualsNoCase(a.domain, domain) && EqualsNoCase(a.name, name)) return &a;
  }
  return nullptr;
}

long StatAccountsFile(const std::string &path, AccountsFileStamp &stamp) {
  return StatFile(path, stamp);
}

long ReadAccountsFile(const std::string &path, AccountsData &out, std::string &error,
                      AccountsFileStamp *stamp) {
  error.clear();
  UniqueFd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (!fd.Valid()) {
    if (errno == ENOENT) return ERROR_FILE_NOT_FOUND;
    return Errno(path, "open", error);
  }
  struct stat st;
  if (fstat(fd.Get(), &st) != 0) return Errno(path, "stat", error);
  if (!S_ISREG(st.st_mode)) {
    error = path + ": is not a regular file";
    return ERROR_BAD_ACCOUNTS_FILE;
  }
  std::string text;
  if (!ReadUpTo(fd.Get(), kMaxAccountsFileBytes, text)) return Errno(path, "read", error);
  if (stamp != nullptr) *stamp = FileStampOf(st);
  if (!ParseAccountsFile(text, kMaxAccountsFileBytes, path, out, error))
    return ERROR_BAD_ACCOUNTS_FILE;
  return ERROR_SUCCESS;
}

long WriteAccountsFile(const std::string &path, const AccountsData &data, std::string &error) {
  error.clear();
  std::string text = FormatAccountsFile(data);
  AccountsData check;
  if (!ParseAccountsFile(text, kMaxAccountsFileBytes, path + " (new)", check, error))
    return ERROR_BAD_ACCOUNTS_FILE;
  std::string dir = DirectoryOf(path);
  if (!MakeDirectories(dir)) return Errno(dir, "create the directory", error);
  std::string tmp = dir + "/." + BaseOf(path) + ".XXXXXX";
  UniqueFd fd(mkostemp(tmp.data(), O_CLOEXEC));
  if (!fd.Valid()) return Errno(dir, "create a temporary file", error);
  // The new version gets the name only once it is whole and on disk.
  bool ok = fchmod(fd.Get(), kAccountsFileMode) == 0 && WriteAll(fd.Get(), text) &&
            fsync(fd.Get()) == 0 && close(fd.Release()) == 0 &&
            rename(tmp.c_str(), path.c_str()) == 0;
  if (!ok) {
    long err = Errno(path, "write", error);
    unlink(tmp.c_str());
    return err;
  }
  SyncDirectory(dir);
  return ERROR_SUCCESS;
}

AccountsFileLock::~AccountsFileLock() {
  if (fd_ >= 0) close(fd_);
}

long AccountsFileLock::Acquire(const std::string &path) {
  std::string dir = DirectoryOf(path);
  if (!MakeDirectories(dir)) return errno;
  std::string lockPath = dir + "/." + BaseOf(path) + ".lock";
  int fd = open(lockPath.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, kAccountsFileMode);
  if (fd < 0) return errno;
  while (flock(fd, LOCK_EX) != 0) {
    if (errno != EINTR) {
      long err = errno;
      close(fd);
      return err;
    }
  }
  if (fd_ >= 0) close(fd_);
  fd_ = fd;
  return ERROR_SUCCESS;
}
