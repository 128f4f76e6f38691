// usercmd: see usercmd.h.
#include "tools/zeladm/usercmd.h"

#include <strings.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

#include "common/fileutils.h"
#include "common/loadcfig.h"
#include "common/mailstore.h"
#include "common/netcode.h"
#include "common/pconfig.h"
#include "common/usermove.h"
#include "common/zel.h"
#include "platform/ascii.h"
#include "platform/accounts.h"
#include "platform/accountsfile.h"
#include "platform/logon.h"
#include "tools/zeladm/admcmd.h"
#include "tools/zeladm/usermovecmd.h"

namespace {

// What a password given on the command line gets: anyone on the machine
// can read a command line (ps, /proc/PID/cmdline), and shells keep it.
constexpr const char *kPasswordArgumentRefused =
    "zeladm: --password is refused: every user of this machine can read a command line (ps, "
    "/proc). Give the password on standard input with --password-stdin instead: one line, "
    "whose line end is not part of it (zeladm user passwd NAME --password-stdin < FILE).\n";

struct Options {
  bool passwordStdin = false;
  const char *home = nullptr;
  const char *kind = nullptr;
  const char *computer = nullptr;
  const char *domain = nullptr;
  const char *controller = nullptr;
};

// The options a subcommand accepts; each takes a value unless it is a flag.
struct OptionSpec {
  const char *name;
  const char *Options::*value;  // null for a flag
  bool Options::*flag;
};

const OptionSpec kOptions[] = {
    {"--password-stdin", nullptr, &Options::passwordStdin},
    {"--home", &Options::home, nullptr},
    {"--kind", &Options::kind, nullptr},
    {"--computer", &Options::computer, nullptr},
    {"--domain", &Options::domain, nullptr},
    {"--controller", &Options::controller, nullptr},
};

// Reads argv[first..argc-1] as options; allowed lists the ones this
// subcommand takes (e.g. "--home --kind").
bool ParseOptions(int argc, char **argv, int first, std::string_view allowed, Options &o) {
  for (int i = first; i < argc; ++i) {
    if (std::strcmp(argv[i], "--password") == 0) {
      std::fputs(kPasswordArgumentRefused, stderr);
      return false;
    }
    const OptionSpec *spec = nullptr;
    for (const OptionSpec &s : kOptions)
      if (std::strcmp(argv[i], s.name) == 0) spec = &s;
    std::string padded = " " + std::string(allowed) + " ";
    if (spec == nullptr || padded.find(" " + std::string(spec->name) + " ") == std::string::npos) {
      std::fprintf(stderr, "zeladm: unknown option \"%s\"\n", argv[i]);
      return false;
    }
    if (spec->flag != nullptr) {
      o.*spec->flag = true;
    } else if (i + 1 < argc) {
      o.*spec->value = argv[++i];
    } else {
      std::fprintf(stderr, "zeladm: %s needs a value\n", spec->name);
      return false;
    }
  }
  return true;
}

// "[DOMAIN\]NAME" into its parts; domain "" means local.
bool SplitAccount(std::string_view arg, std::string &domain, std::string &name) {
  size_t backslash = arg.find('\\');
  domain = backslash == std::string_view::npos ? "" : std::string(arg.substr(0, backslash));
  name = std::string(backslash == std::string_view::npos ? arg : arg.substr(backslash + 1));
  std::string why;
  if (backslash != std::string_view::npos &&
      !CheckIdentityName(domain, kMaxIdentityNameLength, why)) {
    std::fprintf(stderr, "zeladm: domain \"%s\" %s\n", domain.c_str(), why.c_str());
    return false;
  }
  if (!CheckAccountName(name, why)) {
    std::fprintf(stderr, "zeladm: account name \"%s\" %s\n", name.c_str(), why.c_str());
    return false;
  }
  return true;
}

// The password: the first line of standard input without its "\n" (and a
// "\r" before it); every other byte counts, blanks included. A NUL could
// not be told apart from the end of the password: refused, as a line too
// long is (without reading further).
bool TakePassword(std::string &password) {
  // Room for the longest password and its line end, never reallocated, so
  // no copy of it is left behind in freed memory.
  password.clear();
  password.reserve(kMaxPasswordLength + 2);
  bool ended = false, nul = false;
  for (int c; !ended && password.size() <= kMaxPasswordLength && (c = std::getchar()) != EOF;) {
    ended = c == '\n';
    nul = nul || c == '\0';
    if (!ended) password += static_cast<char>(c);
  }
  if (ended && !password.empty() && password.back() == '\r') password.pop_back();
  if (nul) {
    std::fprintf(stderr, "zeladm: the password must not contain a NUL\n");
    return false;
  }
  if (password.empty() || password.size() > kMaxPasswordLength) {
    std::fprintf(stderr, "zeladm: the password must have 1 to %zu characters\n",
                 kMaxPasswordLength);
    return false;
  }
  return true;
}

bool HashPassword(std::string &hash) {
  std::string password;
  bool taken = TakePassword(password);
  long rc = taken ? HashAccountPassword(password, hash) : ERROR_SUCCESS;
  password.resize(password.capacity());   // what pop_back left behind too
  explicit_bzero(password.data(), password.size());
  if (!taken) return false;
  if (rc != ERROR_SUCCESS) {
    std::fprintf(stderr, "zeladm: cannot hash the password: %s\n", AdmErrorText(rc).c_str());
    return false;
  }
  return true;
}

// The file as it is, or a fresh one with the host's identity.
bool LoadForEdit(const std::string &path, AccountsData &data, bool &created) {
  std::string error;
  long rc = ReadAccountsFile(path, data, error);
  created = rc == ERROR_FILE_NOT_FOUND;
  if (created) {
    data = AccountsData{};
    data.computerName = HostComputerName();
    data.domainName = kHostWorkgroup;
    return true;
  }
  if (rc == ERROR_SUCCESS) return true;
  std::fprintf(stderr, "zeladm: %s\n", error.c_str());
  if (rc == ERROR_BAD_ACCOUNTS_FILE) std::fprintf(stderr, "zeladm: fix the file by hand first\n");
  return false;
}

bool Save(const std::string &path, const AccountsData &data, bool created) {
  std::string error;
  long rc = WriteAccountsFile(path, data, error);
  if (rc != ERROR_SUCCESS) {
    std::fprintf(stderr, "zeladm: %s\n", error.c_str());
    return false;
  }
  if (created)
    std::fprintf(stderr,
                 "zeladm: created %s (computer %s, domain %s); the services now use it instead "
                 "of the host's accounts\n",
                 path.c_str(), data.computerName.c_str(), data.domainName.c_str());
  return true;
}

// The identity's spelling of domain ("" = the computer), or false.
bool ResolveDomain(const AccountsData &data, const std::string &domain, std::string &out) {
  if (domain.empty() || EqualsNoCase(domain, data.computerName)) {
    out = data.computerName;
  } else if (EqualsNoCase(domain, data.domainName)) {
    out = data.domainName;
  } else {
    std::fprintf(stderr, "zeladm: domain \"%s\" is neither the computer %s nor the domain %s\n",
                 domain.c_str(), data.computerName.c_str(), data.domainName.c_str());
    return false;
  }
  return true;
}

// An edit: takes the lock, loads the file, lets change modify it, saves it.
template <typename Change>
int Edit(Change change) {
  std::string path = AccountsFilePath();
  AccountsFileLock lock;
  if (long rc = lock.Acquire(path); rc != ERROR_SUCCESS) {
    std::fprintf(stderr, "zeladm: cannot lock %s: %s\n", path.c_str(), AdmErrorText(rc).c_str());
    return kAdmExitFailure;
  }
  AccountsData data;
  bool created = false;
  if (!LoadForEdit(path, data, created)) return kAdmExitFailure;
  int rc = change(data);
  if (rc != kAdmExitOk) return rc;
  return Save(path, data, created) ? kAdmExitOk : kAdmExitFailure;
}

AccountRecord *Find(AccountsData &data, const std::string &domain, const std::string &name) {
  return const_cast<AccountRecord *>(FindAccount(data, domain, name));
}

int RunAdd(int argc, char **argv) {
  std::string domainArg, name;
  Options o;
  if (!SplitAccount(argv[1], domainArg, name) ||
      !ParseOptions(argc, argv, 2, "--password-stdin --home --kind", o))
    return kAdmExitUsage;
  AccountRecord rec;
  rec.name = name;
  std::string why;
  if (o.kind != nullptr && !ParseAccountKind(o.kind, rec.kind))
    return AdmUsage("--kind must be user, group or alias");
  if (o.home != nullptr && !CheckHomeDirectory(o.home, why))
    return AdmUsage(("home directory " + why).c_str());
  rec.homeDirectory = o.home != nullptr ? o.home : "";
  if (o.passwordStdin && rec.kind != AccountKind::kUser)
    return AdmUsage("only users have passwords");
  if (o.passwordStdin && !HashPassword(rec.passwordHash)) return kAdmExitUsage;
  return Edit([&](AccountsData &data) {
    if (!ResolveDomain(data, domainArg, rec.domain)) return kAdmExitUsage;
    if (FindAccount(data, rec.domain, name) != nullptr) {
      std::fprintf(stderr, "zeladm: account %s\\%s exists\n", rec.domain.c_str(), name.c_str());
      return kAdmExitFailure;
    }
    if (rec.domain != data.computerName && data.controllerName.empty())
      std::fprintf(stderr,
                   "zeladm: note: %s has no controller, and accounts of a domain are found only "
                   "through one (zeladm user set-identity ... --controller)\n",
                   rec.domain.c_str());
    data.accounts.push_back(rec);
    return kAdmExitOk;
  });
}

int RunDel(int argc, char **argv) {
  std::string domainArg, name;
  if (!SplitAccount(argv[1], domainArg, name)) return kAdmExitUsage;
  return Edit([&](AccountsData &data) {
    std::string domain;
    if (!ResolveDomain(data, domainArg, domain)) return kAdmExitUsage;
    AccountRecord *a = Find(data, domain, name);
    if (a == nullptr) {
      std::fprintf(stderr, "zeladm: no account %s\\%s\n", domain.c_str(), name.c_str());
      return kAdmExitFailure;
    }
    data.accounts.erase(data.accounts.begin() + (a - data.accounts.data()));
    return kAdmExitOk;
  });
}

int RunPasswd(int argc, char **argv) {
  std::string domainArg, name, hash;
  Options o;
  if (!SplitAccount(argv[1], domainArg, name) ||
      !ParseOptions(argc, argv, 2, "--password-stdin", o))
    return kAdmExitUsage;
  if (!o.passwordStdin) return AdmUsage("give the password with --password-stdin");
  if (!HashPassword(hash)) return kAdmExitUsage;
  return Edit([&](AccountsData &data) {
    std::string domain;
    if (!ResolveDomain(data, domainArg, domain)) return kAdmExitUsage;
    AccountRecord *a = Find(data, domain, name);
    if (a == nullptr || a->kind != AccountKind::kUser) {
      std::fprintf(stderr, "zeladm: no user account %s\\%s\n", domain.c_str(), name.c_str());
      return kAdmExitFailure;
    }
    a->passwordHash = hash;
    return kAdmExitOk;
  });
}

const char *PasswordState(const AccountRecord &a) {
  if (a.kind != AccountKind::kUser) return "-";
  if (a.passwordHash.empty()) return "none";
  return a.passwordHash[0] == '!' || a.passwordHash[0] == '*' ? "locked" : "set";
}

int RunList(int argc, char **argv) {
  std::string path = AccountsFilePath();
  AccountsData data;
  std::string error;
  long rc = ReadAccountsFile(path, data, error);
  if (rc == ERROR_FILE_NOT_FOUND) {
    std::printf("source: host accounts (no %s)\ncomputer: %s\ndomain: %s\ncontroller: none\n",
                path.c_str(), HostComputerName().c_str(), kHostWorkgroup);
    return kAdmExitOk;
  }
  if (rc != ERROR_SUCCESS) {
    std::fprintf(stderr, "zeladm: %s\n", error.c_str());
    return kAdmExitFailure;
  }
  std::string controller = data.controllerName.empty() ? "none" : "\\\\" + data.controllerName;
  std::printf("source: accounts file %s\ncomputer: %s\ndomain: %s\ncontroller: %s\n", path.c_str(),
              data.computerName.c_str(), data.domainName.c_str(), controller.c_str());
  for (const AccountRecord &a : data.accounts) {
    std::string account = a.domain + "\\" + a.name;
    std::printf("%-5s  %-40s  %-6s  %s\n", AccountKindName(a.kind), account.c_str(),
                PasswordState(a), a.homeDirectory.c_str());
  }
  return kAdmExitOk;
}

bool CheckIdentityOption(const char *label, const char *value, size_t maxLength) {
  std::string why;
  if (CheckIdentityName(value, maxLength, why)) return true;
  std::fprintf(stderr, "zeladm: %s \"%s\" %s\n", label, value, why.c_str());
  return false;
}

int RunSetIdentity(int argc, char **argv) {
  Options o;
  if (!ParseOptions(argc, argv, 1, "--computer --domain --controller", o)) return kAdmExitUsage;
  if (o.computer == nullptr || o.domain == nullptr) return AdmUsage("give --computer and --domain");
  std::string controller = o.controller != nullptr ? o.controller : "";
  if (controller.compare(0, 2, "\\\\") == 0) controller.erase(0, 2);
  if (!CheckIdentityOption("computer name", o.computer, kMaxIdentityNameLength) ||
      !CheckIdentityOption("domain name", o.domain, kMaxIdentityNameLength) ||
      (o.controller != nullptr &&
       !CheckIdentityOption("controller name", controller.c_str(), kMaxControllerNameLength)))
    return kAdmExitUsage;
  if (EqualsNoCase(o.computer, o.domain))
    return AdmUsage("the domain must differ from the computer");
  return Edit([&](AccountsData &data) {
    // Renaming moves the accounts along: local ones stay local.
    for (AccountRecord &a : data.accounts)
      a.domain = a.domain == data.computerName ? o.computer : o.domain;
    data.computerName = o.computer;
    data.domainName = o.domain;
    data.controllerName = controller;
    return kAdmExitOk;
  });
}

void PrintIndexEvent(void *, IndexEvent event, const std::string &folder, uint32_t uidValidity) {
  if (event == IndexEvent::kRebuilt)
    std::fprintf(stderr, "zeladm: the index of %s was damaged and is rebuilt (UIDVALIDITY %u)\n",
                 AdmPrintable(folder).c_str(), uidValidity);
}

// Runs work(store) on the user's mailbox as its owner: files and indexes
// made are the owner's, and the kernel checks the owner's rights.
template <typename Work>
int WithMailstore(const char *user, Work work) {
  MailboxDir box;
  if (!OpenUserMailbox(user, box)) return kAdmExitFailure;
  ImpersonationGuard as;
  if (!as.Begin(box.Owner()))
    return AdmFailed("cannot act as the mailbox's owner", GetLastError());
  IndexOptions options;
  options.OnEvent = PrintIndexEvent;
  Mailstore store;
  if (long rc = store.Open(box.Fd(), options); rc != ERROR_SUCCESS)
    return AdmFailed("cannot open the mailbox", rc);
  return work(store);
}

std::string FolderFailure(const std::string &name, long rc) {
  if (rc == ERROR_FILE_NOT_FOUND) return "no folder " + AdmPrintable(name);
  if (rc == EISDIR) return AdmPrintable(name) + " holds no messages (\\Noselect)";
  return AdmPrintable(name) + ": " + AdmErrorText(rc);
}

int RunFolders(int, char **argv) {
  return WithMailstore(argv[1], [](Mailstore &store) {
    std::vector<FolderEntry> folders;
    if (long rc = store.ListFolders(folders); rc != ERROR_SUCCESS)
      return AdmFailed("cannot list the folders", rc);
    int status = kAdmExitOk;
    std::printf("%-40s %10s %14s\n", "FOLDER", "MESSAGES", "BYTES");
    for (const FolderEntry &f : folders) {
      if ((f.Attributes & kFolderNonExistent) != 0) continue;
      std::string name = AdmPrintable(f.Name);
      FolderCounts counts;
      long rc = (f.Attributes & kFolderNoSelect) != 0 ? EISDIR : store.FolderStatus(f.Name, counts);
      if (rc == EISDIR) {
        std::printf("%-40s %10s %14s\n", name.c_str(), "-", "-");
      } else if (rc != ERROR_SUCCESS) {
        std::fprintf(stderr, "zeladm: %s\n", FolderFailure(f.Name, rc).c_str());
        status = kAdmExitFailure;
      } else {
        std::printf("%-40s %10u %14llu\n", name.c_str(), counts.Messages,
                    static_cast<unsigned long long>(counts.Size));
      }
    }
    return status;
  });
}

int RunReindex(int argc, char **argv) {
  std::vector<std::string> names;
  if (argc > 2) names.emplace_back(argv[2]);
  return WithMailstore(argv[1], [&](Mailstore &store) {
    if (names.empty()) {
      std::vector<FolderEntry> folders;
      if (long rc = store.ListFolders(folders); rc != ERROR_SUCCESS)
        return AdmFailed("cannot list the folders", rc);
      for (const FolderEntry &f : folders)
        if ((f.Attributes & (kFolderNoSelect | kFolderNonExistent)) == 0) names.push_back(f.Name);
    }
    int status = kAdmExitOk;
    for (const std::string &name : names) {
      FolderIndex folder;
      SyncResult result;
      FolderState state;
      long rc = store.OpenFolder(name, folder);
      if (rc == ERROR_SUCCESS) rc = folder.Reindex(result);
      if (rc == ERROR_SUCCESS) rc = folder.ReadState(state);
      if (rc != ERROR_SUCCESS) {
        std::fprintf(stderr, "zeladm: %s\n", FolderFailure(name, rc).c_str());
        status = kAdmExitFailure;
        continue;
      }
      std::printf("%s: %u messages, UIDVALIDITY %u\n", AdmPrintable(folder.Name()).c_str(),
                  result.Added, state.UidValidity);
    }
    return status;
  });
}

const AdmCommand kUserCommands[] = {
    {"add",
     "[DOMAIN\\]NAME [--password-stdin] [--home DIR] [--kind user|group|alias]",
     "add an account (local without DOMAIN); without a password (one line of standard\n"
     "        input) it cannot log on", 1, -1, RunAdd},
    {"del", "[DOMAIN\\]NAME", "delete an account", 1, 1, RunDel},
    {"passwd", "[DOMAIN\\]NAME --password-stdin",
     "set a user's password (one line of standard input)", 2, 3, RunPasswd},
    {"list", "", "show the identity and the accounts", 0, 0, RunList},
    {"set-identity", "--computer C --domain D [--controller \\\\DC]",
     "set the computer name, its domain or workgroup, and the domain's controller", 4, 6,
     RunSetIdentity},
    {"folders", "USER", "show a mail user's folders with their message counts and sizes", 1, 1,
     RunFolders},
    {"reindex", "USER [FOLDER]",
     "index a mail user's folders (or one) anew from the message files: new UIDs and\n"
     "        UIDVALIDITY, flags kept; mail programs fetch the folder again", 1, 2, RunReindex},
    {"move",
     "USER --to HOST [--to-dir DIR | --rsync PROGRAM] [--bind-dn DN --password-file FILE]\n"
     "        [--wait SECONDS] | USER --finish",
     "move a user's mailbox to another mail host: hold logons and deliveries, wait for\n"
     "        the sessions, copy the mailbox, switch the directory's mail host (or print\n"
     "        the change), then let the held mail go there; --finish ends a move", 2, 13,
     RunUserMove},
};

}  // namespace

int RunUserCommand(int argc, char **argv) {
  return DispatchAdmCommand("zeladm user", kUserCommands, argc - 1, argv + 1);
}

bool OpenUserMailbox(const char *name, MailboxDir &box) {
  SetConfigDefaults();
  LoadCriticalConfig();
  LoadGeneralConfigMain(kDomainListBytes);   // VirtualMailAccount
  AutoCreateInboxEnabled = false;
  long error = ERROR_SUCCESS;
  int rc = GetMailbox(name, box, error);
  if (rc == kMailboxFound) return true;
  if (rc == kMailboxNoAccount)
    std::fprintf(stderr, "zeladm: %s is no mail user\n", AdmPrintable(name).c_str());
  else if (rc == kMailboxMissing)
    std::fprintf(stderr, "zeladm: %s has no mailbox yet (%s)\n", AdmPrintable(name).c_str(),
                 AdmPrintable(box.Path()).c_str());
  else
    std::fprintf(stderr, "zeladm: cannot open the mailbox of %s (%s): %s\n",
                 AdmPrintable(name).c_str(), AdmPrintable(box.Path()).c_str(),
                 error == ERROR_MAILBOX_NOT_OWNED
                     ? "a directory on the way belongs to neither root nor the mailbox's owner"
                     : AdmErrorText(error).c_str());
  return false;
}

