// The mail user directory: identity, home directories and mailbox paths of
// both services, over an accounts file.
#include <gtest/gtest.h>

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <thread>
#include <vector>

#include "common/netcode.h"
#include "common/pconfig.h"
#include "common/zel.h"
#include "platform/accounts.h"
#include "platform/accountsfile.h"
#include "platform/files.h"
#include "platform/logon.h"
#include "platform/registry.h"
#include "platform/root.h"
#include "tests/unit/testutil.h"

namespace {

const char *const kWinlogon = "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Winlogon";

// A mailbox path of this name under a long template no longer fits.
const std::string kLongName(24, 'l');

std::string Home(const std::string &name) { return ZelPath("/home/") + name; }
std::string Boxes() { return ZelPath("/var/mailbox"); }

std::string AccountsText(bool controller = true, const std::string &computer = "MAILHOST") {
  std::string text = "computer:" + computer + "\ndomain:EXAMPLE\n";
  if (controller) text += "controller:\\\\DC1\n";
  text += "user:" + computer + ":mailuser::" + Home("mailuser") + "\n";
  text += "user:" + computer + ":nohome::\n";
  text += "group:" + computer + ":staff::\n";
  text += "user:" + computer + ":" + kLongName + "::\n";
  text += "user:EXAMPLE:alice::" + Home("alice") + "\n";
  return text;
}

void Install(const std::string &text) {
  mkdir(ZelPath("/etc").c_str(), 0755);
  mkdir(ZelPath("/etc/zel").c_str(), 0755);
  std::string tmp = AccountsFilePath() + ".raw";
  { std::ofstream(tmp, std::ios::trunc) << text; }
  ASSERT_EQ(rename(tmp.c_str(), AccountsFilePath().c_str()), 0);
}

void SetWinlogon(bool withValue) {
  RegKey key;
  ASSERT_EQ(RegCreateKeyEx(HKEY_LOCAL_MACHINE, kWinlogon, KEY_ALL_ACCESS, key.out(), nullptr), 0);
  if (withValue) {
    ASSERT_EQ(RegSetValueEx(key.get(), "CachePrimaryDomain", REG_SZ, "EXAMPLE", 8), 0);
  }
}

class NetCode : public ::testing::Test {
 protected:
  void SetUp() override {
    SetConfigDefaults();
    PassableZelRoot();
    SetVirtualMailAccount(kTestVirtualMailAccount);
    RegDeleteTree(HKEY_LOCAL_MACHINE, kWinlogon);
    std::string cmd = "rm -rf '" + ZelPath("/var/mailbox") + "' '" + ZelPath("/home") + "'";
    ASSERT_EQ(std::system(cmd.c_str()), 0);
    Restart(AccountsText());
  }
  void TearDown() override {
    unlink(AccountsFilePath().c_str());
    RegDeleteTree(HKEY_LOCAL_MACHINE, kWinlogon);
    ResetDomainControllerCache();
  }
  // A service start with this accounts file.
  void Restart(const std::string &accounts, size_t nameLength = kIdentityNameLengthDeliv) {
    Install(accounts);
    ResetDomainControllerCache();
    ASSERT_TRUE(InitNetCodeModule(nameLength));
  }
  int Deliv(const std::string &tmpl, const std::string &user, std::string &path) {
    MailInboxDirectory = tmpl;
    MailboxDir dir;
    long error = 0;
    int rc = GetMailbox(user, dir, error);
    path = dir.Path();
    EXPECT_EQ(dir.IsOpen(), rc == kMailboxFound);
    return rc;
  }
};

}  // namespace

TEST_F(NetCode, Identity) {
  EXPECT_EQ(wcComputerName, "MAILHOST");
  EXPECT_EQ(wcDomainName, "EXAMPLE");
  EXPECT_EQ(NtDomainName, "EXAMPLE");
  // The POP3 server keeps 19 characters of each name.
  Restart(AccountsText(true, std::string(25, 'C')), kIdentityNameLengthFetch);
  EXPECT_EQ(wcComputerName, std::string(19, 'C'));
  // Broken accounts: no identity at all.
  Install("computer:A\n");
  EXPECT_FALSE(InitNetCodeModule());
  EXPECT_EQ(wcComputerName, "");
  EXPECT_EQ(NtDomainName, "");
}

TEST_F(NetCode, DeliveryMailboxes) {
  const std::string b = Boxes();
  struct {
    std::string tmpl, user;
    bool autoCreate;
    int result;
    std::string path;  // "" when none is formed
  } cases[] = {
      {b + "/%USERNAME%", "mailuser", true, 0, b + "/mailuser"},
      {b + "/%username%", "MailUser", true, 0, b + "/mailuser"},  // the file's names: lower case
      {b + "/x/%UserName%/in/box", "mailuser", true, 0, b + "/x/mailuser"},  // tail dropped
      {"%HOME%/mail", "mailuser", true, 0, Home("mailuser") + "/mail"},
      {"%home%/Mail/%USERNAME%", "mailuser", true, 0, Home("mailuser") + "/Mail/%USERNAME%"},
      {"%HOME%/mail", "alice", true, 0, Home("alice") + "/mail"},  // through the controller
      {b + "/%USERNAME%", "alice", true, 0, b + "/alice"},
      {b + "/%USERNAME%", "staff", true, 0, b + "/staff"},  // any kind of account
      {"%HOME%", "nohome", true, 3, ""},
      {"%HOME%/mail", "staff", true, 2, ""},  // a group has no home directory
      {b + "/%user%/%USERNAME%", "mailuser", true, 9, ""},
      {b + "/fixed", "mailuser", true, 9, ""},
      {b + "/%USERNAME%", "nobody", true, 1, ""},
      {b + "/fixed", "nobody", true, 1, ""},  // not an account comes first
      {b + "/%USERNAME%", "../etc", true, 1, ""},
      {b + "/%USERNAME%", "mailuser", false, 3, b + "/mailuser"},
      // Paths that would not fit are refused, never cut.
      {"/" + std::string(kMaxPath - 20, 'p') + "/%USERNAME%", kLongName, true, 3, ""},
      {"%HOME%/" + std::string(kMaxPath - 30, 'p'), "mailuser", true, 3, ""},
  };
  for (const auto &c : cases) {
    (void)!std::system(("rm -rf '" + b + "' '" + ZelPath("/home") + "'").c_str());
    AutoCreateInboxEnabled = c.autoCreate;
    std::string path = "stale";
    EXPECT_EQ(Deliv(c.tmpl, c.user, path), c.result) << c.tmpl << " " << c.user;
    EXPECT_EQ(path, c.path) << c.tmpl << " " << c.user;
    EXPECT_EQ(DirectoryExists(c.path), c.result == 0) << c.path;
  }
}

TEST_F(NetCode, DeliveryFindsAnExistingMailboxWithoutCreating) {
  AutoCreateInboxEnabled = false;
  ASSERT_EQ(std::system(("mkdir -p '" + Boxes() + "/mailuser'").c_str()), 0);
  std::string path;
  EXPECT_EQ(Deliv(Boxes() + "/%USERNAME%", "mailuser", path), 0);
  // A file where the mailbox should be is no mailbox, and cannot become one.
  AutoCreateInboxEnabled = true;
  ASSERT_EQ(std::system(("touch '" + Boxes() + "/alice'").c_str()), 0);
  EXPECT_EQ(Deliv(Boxes() + "/%USERNAME%", "alice", path), 3);
  // A link a user put in its place leads nowhere: not now, but it may be
  // mended.
  if (geteuid() != 0) return;
  ASSERT_EQ(std::system(("ln -s mailuser '" + Boxes() + "/staff' && chown -h 65534 '" + Boxes() +
                         "/staff'").c_str()),
            0);
  EXPECT_EQ(Deliv(Boxes() + "/%USERNAME%", "staff", path), kMailboxUnusable);
}

TEST_F(NetCode, AnUnreadableAccountsFileIsNoAnswer) {
  std::string path;
  Install("computer:A\n");   // no domain line: refused whole
  MailInboxDirectory = Boxes() + "/%USERNAME%";
  MailboxDir dir;
  long error = 0;
  EXPECT_EQ(GetMailbox("mailuser", dir, error), kMailboxLookupFailed);
  EXPECT_EQ(error, ERROR_BAD_ACCOUNTS_FILE);
  EXPECT_EQ(GetMailbox("nobody", dir, error), kMailboxLookupFailed);
  EXPECT_FALSE(GetMailboxFetch("mailuser", "MAILHOST", path));
  // A service that started while it was broken learns its identity later.
  EXPECT_FALSE(InitNetCodeModule());
  EXPECT_FALSE(NetCodeIdentityKnown());
  Install(AccountsText());
  EXPECT_TRUE(NetCodeIdentityKnown());
  EXPECT_EQ(wcComputerName, "MAILHOST");
  EXPECT_EQ(Deliv("%HOME%/mail", "mailuser", path), kMailboxFound);
  EXPECT_EQ(Deliv(Boxes() + "/%USERNAME%", "nobody", path), kMailboxNoAccount);
}

TEST_F(NetCode, HostAccountsByTheirExactName) {
  unlink(AccountsFilePath().c_str());
  ASSERT_TRUE(InitNetCodeModule());
  std::string path;
  // No account "ROOT": the name in lower case is tried; the mailbox is named
  // after the account found.
  EXPECT_EQ(Deliv(Boxes() + "/%USERNAME%", "ROOT", path), kMailboxFound);
  EXPECT_EQ(path, Boxes() + "/root");
  EXPECT_EQ(Deliv(Boxes() + "/%USERNAME%", "no-such-user-zel", path), kMailboxNoAccount);
  EXPECT_TRUE(GetMailboxFetch("root", wcComputerName, path));
  EXPECT_EQ(path, Boxes() + "/root");
  EXPECT_FALSE(GetMailboxFetch("ROOT", wcComputerName, path));   // NSS names are exact
}

// Every mailbox belongs to its mail user, whatever the template: a host
// account's to the account, an accounts-file user's to the host account
// of its name (in lower case), else to the virtual mail account; as root
// without that account a virtual user's mailbox is not even made.
TEST_F(NetCode, EveryMailboxIsItsOwners) {
  if (geteuid() != 0) GTEST_SKIP() << "owners other than the process need root";
  Restart(AccountsText() + "user:MAILHOST:Daemon::" + Home("daemon") + "\n");
  struct passwd *daemon = getpwnam("daemon");
  ASSERT_NE(daemon, nullptr);
  struct Case {
    std::string tmpl, user;
    uid_t uid;
  } cases[] = {
      {Boxes() + "/%USERNAME%", "mailuser", kTestVirtualMailUid},
      {"%HOME%/mail", "mailuser", kTestVirtualMailUid},
      {Boxes() + "/%USERNAME%", "daemon", daemon->pw_uid},
      {"%HOME%/mail", "DAEMON", daemon->pw_uid},
  };
  for (const Case &c : cases) {
    std::string path;
    ASSERT_EQ(Deliv(c.tmpl, c.user, path), kMailboxFound) << c.tmpl << " " << c.user;
    struct stat st;
    ASSERT_EQ(stat(path.c_str(), &st), 0) << path;
    EXPECT_EQ(st.st_uid, c.uid) << path;
    EXPECT_EQ(st.st_mode & 07777, 0700u) << path;
  }
  struct stat root;
  ASSERT_EQ(stat(Boxes().c_str(), &root), 0);
  EXPECT_EQ(root.st_uid, 0u);
  EXPECT_EQ(root.st_mode & 07777, kMailboxRootMode);
  std::string owned, prefix;
  LogonToken owner;
  MailInboxDirectory = Boxes() + "/%USERNAME%";
  ASSERT_TRUE(MailboxRootOfUsers(owned, prefix));
  EXPECT_EQ(owned + "|" + prefix, Boxes() + "|");
  EXPECT_TRUE(MailboxOwnerOf("daemon", owner) && owner.Uid == daemon->pw_uid);
  EXPECT_FALSE(MailboxOwnerOf("Daemon", owner));   // not the file user's mailbox name
  for (const char *account : {"", "zel-no-such-account", "root"}) {
    SetVirtualMailAccount(account);
    MailboxDir dir;
    long error = 0;
    EXPECT_EQ(GetMailbox("alice", dir, error), kMailboxUnusable) << account;
    EXPECT_EQ(error, ERROR_NO_VIRTUAL_MAIL_ACCOUNT) << account;
    EXPECT_FALSE(DirectoryExists(Boxes() + "/alice")) << account;
  }
}

TEST_F(NetCode, FetchMailboxes) {
  const std::string b = Boxes();
  struct {
    std::string tmpl, user, domain;
    bool ok;
    std::string path;
  } cases[] = {
      {b + "/%USERNAME%", "mailuser", "MAILHOST", true, b + "/mailuser"},
      // The name the delivery agent files mail under, whatever the client typed.
      {b + "/%username%", "MailUser", "MAILHOST", true, b + "/mailuser"},
      {b + "/%user%/%USERNAME%", "mailuser", "MAILHOST", true, b + "/%user%/mailuser"},
      {"%HOME%/mail", "mailuser", "MAILHOST", true, Home("mailuser") + "/mail"},
      {"%Home%/%USERNAME%/x", "mailuser", "MAILHOST", true, Home("mailuser") + "/%USERNAME%/x"},
      {"%HOME%/mail", "alice", "EXAMPLE", true, Home("alice") + "/mail"},  // via the controller
      {"%HOME%", "nohome", "MAILHOST", false, ""},
      {"%HOME%/mail", "nohome", "MAILHOST", false, ""},  // never "/mail"
      {b + "/%USERNAME%/in", "mailuser", "MAILHOST", false, ""},
      {b + "/fixed", "mailuser", "MAILHOST", false, ""},
      {b + "/%USERNAME%", "../x", "MAILHOST", false, ""},
      {"/" + std::string(kMaxPath - 20, 'p') + "/%USERNAME%", kLongName, "MAILHOST", false, ""},
      {"%HOME%/" + std::string(kMaxPath - 30, 'p'), "mailuser", "MAILHOST", false, ""},
  };
  for (const auto &c : cases) {
    MailInboxDirectory = c.tmpl;
    std::string path = "stale";
    EXPECT_EQ(GetMailboxFetch(c.user, c.domain, path), c.ok) << c.tmpl << " " << c.user;
    EXPECT_EQ(path, c.path) << c.tmpl << " " << c.user;
    EXPECT_FALSE(DirectoryExists(c.path)) << "the POP3 side leaves creation to its caller";
  }
}

TEST_F(NetCode, FetchAccountLookup) {
  std::string domain;
  EXPECT_TRUE(LookUpAccountFetch("mailuser", domain));
  EXPECT_EQ(domain, "MAILHOST");
  EXPECT_TRUE(LookUpAccountFetch("ALICE", domain));
  EXPECT_EQ(domain, "EXAMPLE");
  SetLastError(0);
  EXPECT_FALSE(LookUpAccountFetch("staff", domain));  // a group, and no user of that name
  EXPECT_EQ(GetLastError(), NERR_UserNotFound);
  EXPECT_FALSE(LookUpAccountFetch("nobody", domain));
  EXPECT_EQ(GetLastError(), ERROR_NONE_MAPPED);
}

TEST_F(NetCode, FetchWithACutComputerNameStillFindsLocalHomes) {
  // 25 characters kept as 19: every local account looks foreign, the domain
  // search fails and this computer is asked after all.
  Restart(AccountsText(true, std::string(25, 'C')), kIdentityNameLengthFetch);
  std::string home;
  EXPECT_TRUE(GetHomeDirectoryFetch("mailuser", std::string(25, 'C'), home));
  EXPECT_EQ(home, Home("mailuser"));
}

TEST_F(NetCode, WinlogonWithoutCachePrimaryDomainMeansNoController) {
  SetWinlogon(false);
  std::string path;
  EXPECT_EQ(Deliv("%HOME%/mail", "alice", path), 2);
  EXPECT_EQ(CachedDomainController(), "");
  EXPECT_EQ(Deliv("%HOME%/mail", "mailuser", path), 0);  // local accounts need none

  SetWinlogon(true);
  ResetDomainControllerCache();
  EXPECT_EQ(Deliv("%HOME%/mail", "alice", path), 0);
  EXPECT_EQ(CachedDomainController(), "\\\\DC1");
}

TEST_F(NetCode, AFailedControllerSearchStandsUntilRestart) {
  Restart(AccountsText(false));  // no controller to be found
  ASSERT_TRUE(GetTheDomainControllerName(""));
  EXPECT_EQ(CachedDomainController(), "");
  Install(AccountsText(true));  // the controller appears
  std::string path;
  EXPECT_EQ(Deliv("%HOME%/mail", "alice", path), 2);
  ResetDomainControllerCache();
  EXPECT_EQ(Deliv("%HOME%/mail", "alice", path), 0);
}

TEST_F(NetCode, ControllerCacheKeyAndFallback) {
  // Another server cannot be asked here; the search retries locally.
  ASSERT_TRUE(GetTheDomainControllerName("\\\\ELSEWHERE"));
  EXPECT_EQ(CachedDomainController(), "\\\\DC1");
  Install(AccountsText(false));
  ASSERT_TRUE(GetTheDomainControllerName("\\\\ELSEWHERE"));  // same key: cached
  EXPECT_EQ(CachedDomainController(), "\\\\DC1");
  ASSERT_TRUE(GetTheDomainControllerName(""));  // new key: searched again
  EXPECT_EQ(CachedDomainController(), "");
}

TEST_F(NetCode, ConcurrentFirstFillSeesAWholeName) {
  for (int round = 0; round < 20; ++round) {
    ResetDomainControllerCache();
    std::vector<std::thread> threads;
    std::vector<int> ok(8, 0);
    for (int t = 0; t < 8; ++t)
      threads.emplace_back([&ok, t] {
        std::string home;
        ok[t] = GetHomeDirectory("alice", "EXAMPLE", home) && home == Home("alice");
      });
    for (std::thread &t : threads) t.join();
    for (int t = 0; t < 8; ++t) EXPECT_TRUE(ok[t]) << "round " << round << " thread " << t;
  }
}
