// The accounts file (format, limits, atomic writes) and the account calls
// answered from it or from the host's databases.
#include <gtest/gtest.h>

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <set>

#include "platform/accounts.h"
#include "platform/accountsfile.h"
#include "platform/root.h"

namespace {

const char *const kGoodFile =
    "# a comment\n"
    "\n"
    "computer:MAILHOST\r\n"
    "user:mailhost:demo:$y$j9T$abc$def:/home/demo\n"
    "  # indented comment\n"
    "Domain:EXAMPLE\n"
    "controller:\\\\DC1\n"
    "GROUP:MAILHOST:staff::\n"
    "alias:MAILHOST:admins:!:\n"
    "user:example:alice::/srv/homes/a:b\n"
    "user:MAILHOST:nohome::";

std::string Parsed(std::string_view text, AccountsData *data = nullptr) {
  AccountsData d;
  std::string error;
  bool ok = ParseAccountsFile(text, kMaxAccountsFileBytes, "f", d, error);
  if (data != nullptr) *data = d;
  return ok ? "" : error;
}

void WriteRaw(const std::string &path, std::string_view text) {
  std::string tmp = path + ".raw";
  {
    std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
    out << text;
  }
  ASSERT_EQ(rename(tmp.c_str(), path.c_str()), 0);
}

std::string ReadRaw(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

std::set<std::string> DirectoryEntries(const std::string &dir) {
  std::set<std::string> names;
  DIR *d = opendir(dir.c_str());
  if (d == nullptr) return names;
  while (dirent *e = readdir(d))
    if (std::string(e->d_name) != "." && std::string(e->d_name) != "..") names.insert(e->d_name);
  closedir(d);
  return names;
}

// Each test starts without an accounts file and leaves none behind.
class AccountsFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    mkdir(ZelPath("/etc").c_str(), 0755);
    mkdir(ZelPath("/etc/zel").c_str(), 0755);
    unlink(AccountsFilePath().c_str());
  }
  void TearDown() override { unlink(AccountsFilePath().c_str()); }
  void Install(std::string_view text) { WriteRaw(AccountsFilePath(), text); }
};

}  // namespace

TEST(AccountsParse, GoodFile) {
  AccountsData d;
  ASSERT_EQ(Parsed(kGoodFile, &d), "");
  EXPECT_EQ(d.computerName, "MAILHOST");
  EXPECT_EQ(d.domainName, "EXAMPLE");
  EXPECT_EQ(d.controllerName, "DC1");
  ASSERT_EQ(d.accounts.size(), 5u);
  const AccountRecord &demo = d.accounts[0];
  EXPECT_EQ(demo.domain, "MAILHOST");  // spelt as the identity line spells it
  EXPECT_EQ(demo.name, "demo");
  EXPECT_EQ(demo.passwordHash, "$y$j9T$abc$def");
  EXPECT_EQ(demo.homeDirectory, "/home/demo");
  EXPECT_EQ(demo.line, 4u);
  EXPECT_EQ(d.accounts[1].kind, AccountKind::kGroup);
  EXPECT_EQ(d.accounts[2].kind, AccountKind::kAlias);
  EXPECT_EQ(d.accounts[3].domain, "EXAMPLE");
  EXPECT_EQ(d.accounts[3].homeDirectory, "/srv/homes/a:b");  // HOME is the rest of the line
  EXPECT_EQ(d.accounts[4].homeDirectory, "");
  ASSERT_NE(FindAccount(d, "mailhost", "DEMO"), nullptr);
  EXPECT_EQ(FindAccount(d, "EXAMPLE", "demo"), nullptr);
}

TEST(AccountsParse, ControllerWithoutBackslashesAndNoController) {
  AccountsData d;
  ASSERT_EQ(Parsed("computer:A\ndomain:B\ncontroller:DC\n", &d), "");
  EXPECT_EQ(d.controllerName, "DC");
  ASSERT_EQ(Parsed("computer:A\ndomain:WORKGROUP\n", &d), "");
  EXPECT_EQ(d.controllerName, "");
  EXPECT_TRUE(d.accounts.empty());
}

TEST(AccountsParse, FormatReadsBack) {
  AccountsData d;
  ASSERT_EQ(Parsed(kGoodFile, &d), "");
  AccountsData again;
  ASSERT_EQ(Parsed(FormatAccountsFile(d), &again), "");
  EXPECT_EQ(again.computerName, d.computerName);
  EXPECT_EQ(again.controllerName, d.controllerName);
  ASSERT_EQ(again.accounts.size(), d.accounts.size());
  for (size_t i = 0; i < d.accounts.size(); ++i) {
    EXPECT_EQ(again.accounts[i].name, d.accounts[i].name);
    EXPECT_EQ(again.accounts[i].kind, d.accounts[i].kind);
    EXPECT_EQ(again.accounts[i].passwordHash, d.accounts[i].passwordHash);
    EXPECT_EQ(again.accounts[i].homeDirectory, d.accounts[i].homeDirectory);
  }
}

TEST(AccountsParse, MalformedLinesNameTheirLine) {
  const std::string head = "computer:MAILHOST\ndomain:EXAMPLE\n";
  struct Case {
    std::string text;
    std::string error;
  } cases[] = {
      {head + "just words", "f:3: no ':' in the line"},
      {head + "frob:x", "f:3: unknown record 'frob'"},
      {head + "computer:OTHER", "f:3: second computer line (the first is line 1)"},
      {"computer:A B\ndomain:X", "f:1: computer name 'A B' contains a blank"},
      {"computer:\ndomain:X", "f:1: computer name '' is empty"},
      {"computer:...\ndomain:X", "f:1: computer name '...' consists of dots only"},
      {"computer:" + std::string(128, 'C') + "\ndomain:X", "is longer than 127 characters"},
      {head + "controller:\\\\" + std::string(126, 'D'), "f:3: controller name"},
      {head + "user:MAILHOST:demo:hash", "f:3: account line has 4 fields, expected 5"},
      {head + "user:MAILHOST", "f:3: account line has 2 fields"},
      {head + "user:MAILHOST:a/b::", "f:3: account name 'a/b' contains '/'"},
      {head + "user:MAILHOST:a\\b::", "f:3: account name 'a\\b' contains '\\'"},
      {head + "user:MAILHOST:..::", "f:3: account name '..' consists of dots only"},
      {head + "user:MAILHOST:" + std::string(65, 'n') + "::", "longer than 64 characters"},
      {head + "user:MAILHOST:a:has blank:", "f:3: password hash contains a blank"},
      {head + "user:MAILHOST:a:" + std::string(257, 'h') + ":", "f:3: password hash is longer"},
      {head + "user:MAILHOST:a::home/a", "f:3: home directory 'home/a' is not an absolute path"},
      {head + "user:MAILHOST:a::/h\tx", "f:3: home directory '/h?x' contains a control character"},
      {head + "user:MAILHOST:a::/" + std::string(260, 'h'), "longer than 260 characters"},
      {head + std::string("user:MAILHOST:a\0b::", 19), "contains a control character"},
      {head + "user:OTHER:a::",
       "f:3: account domain 'OTHER' is neither the computer 'MAILHOST' nor"},
      {head + "user:MAILHOST:Demo::\nuser:mailhost:demo::",
       "f:4: account MAILHOST\\demo is already defined on line 3"},
      {"computer:A\ndomain:a", "f:2: the domain name equals the computer name"},
      {"domain:X\n", "f: no computer line"},
      {"computer:X\n", "f: no domain line"},
      {head + "user:MAILHOST:a::/" + std::string(kMaxAccountsLineLength, 'h'),
       "f:3: line is longer than 1024 bytes"},
  };
  for (const Case &c : cases) {
    std::string error = Parsed(c.text);
    EXPECT_NE(error.find(c.error), std::string::npos) << "got \"" << error << "\" for\n" << c.text;
  }
}

TEST(AccountsParse, SizeBound) {
  std::string text = "computer:A\ndomain:B\n";
  AccountsData d;
  std::string error;
  EXPECT_TRUE(ParseAccountsFile(text, text.size(), "f", d, error)) << error;
  EXPECT_FALSE(ParseAccountsFile(text, text.size() - 1, "f", d, error));
  EXPECT_EQ(error, "f: is larger than " + std::to_string(text.size() - 1) + " bytes");
}

TEST_F(AccountsFileTest, WriteIsAtomicPrivateAndValidated) {
  std::string path = AccountsFilePath();
  AccountsData d;
  ASSERT_EQ(Parsed(kGoodFile, &d), "");
  std::string error;
  ASSERT_EQ(WriteAccountsFile(path, d, error), ERROR_SUCCESS) << error;
  struct stat st;
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  std::string before = ReadRaw(path);
  EXPECT_EQ(before, FormatAccountsFile(d));

  // Data the parser would refuse is never written; the old file stays.
  AccountsData bad = d;
  bad.accounts.push_back(bad.accounts[0]);
  EXPECT_EQ(WriteAccountsFile(path, bad, error), ERROR_BAD_ACCOUNTS_FILE);
  EXPECT_NE(error.find("already defined"), std::string::npos) << error;
  EXPECT_EQ(ReadRaw(path), before);
  EXPECT_EQ(DirectoryEntries(ZelPath("/etc/zel")), std::set<std::string>{"accounts"});
}

TEST_F(AccountsFileTest, WriteCreatesTheDirectory) {
  std::string path = ZelPath("/new/dir/accounts");
  AccountsData d;
  ASSERT_EQ(Parsed("computer:A\ndomain:B\n", &d), "");
  std::string error;
  EXPECT_EQ(WriteAccountsFile(path, d, error), ERROR_SUCCESS) << error;
  EXPECT_EQ(ReadRaw(path), FormatAccountsFile(d));
}

TEST_F(AccountsFileTest, ReadReportsMissingMalformedAndNotRegular) {
  AccountsData d;
  std::string error;
  EXPECT_EQ(ReadAccountsFile(AccountsFilePath(), d, error), ERROR_FILE_NOT_FOUND);
  Install("computer:A\ndomain:B\nuser:A:x y::\n");
  EXPECT_EQ(ReadAccountsFile(AccountsFilePath(), d, error), ERROR_BAD_ACCOUNTS_FILE);
  EXPECT_EQ(error, AccountsFilePath() + ":3: account name 'x y' contains a blank");
  unlink(AccountsFilePath().c_str());
  ASSERT_EQ(mkdir(AccountsFilePath().c_str(), 0755), 0);
  EXPECT_EQ(ReadAccountsFile(AccountsFilePath(), d, error), ERROR_BAD_ACCOUNTS_FILE);
  rmdir(AccountsFilePath().c_str());
}

TEST_F(AccountsFileTest, LookupsFromTheFile) {
  Install(kGoodFile);
  WorkstationInfo wi;
  ASSERT_EQ(NetWkstaGetInfo(wi), ERROR_SUCCESS);
  EXPECT_EQ(wi.computerName, "MAILHOST");
  EXPECT_EQ(wi.langroup, "EXAMPLE");

  std::string dc;
  EXPECT_EQ(NetGetDCName("", "", dc), ERROR_SUCCESS);
  EXPECT_EQ(dc, "\\\\DC1");
  EXPECT_EQ(NetGetDCName("\\\\MAILHOST", "example", dc), ERROR_SUCCESS);
  EXPECT_EQ(NetGetDCName("", "MAILHOST", dc), NERR_DCNotFound);
  EXPECT_EQ(NetGetDCName("", "ELSEWHERE", dc), NERR_DCNotFound);
  EXPECT_EQ(NetGetDCName("\\\\OTHER", "", dc), ERROR_NOT_SUPPORTED);

  struct {
    const char *server, *user;
    long rc;
    const char *home;
  } users[] = {
      {"", "demo", ERROR_SUCCESS, "/home/demo"},
      {"MAILHOST", "DEMO", ERROR_SUCCESS, "/home/demo"},
      {"", "nohome", ERROR_SUCCESS, ""},
      {"", "alice", NERR_UserNotFound, ""},  // a domain account: only the controller knows it
      {"\\\\DC1", "alice", ERROR_SUCCESS, "/srv/homes/a:b"},
      {"dc1", "alice", ERROR_SUCCESS, "/srv/homes/a:b"},
      {"\\\\DC1", "demo", NERR_UserNotFound, ""},
      {"", "staff", NERR_UserNotFound, ""},  // a group is no user
      {"\\\\OTHER", "demo", ERROR_BAD_NETPATH, ""},
      {"", "a/b", NERR_UserNotFound, ""},
  };
  for (const auto &u : users) {
    UserInfo info;
    EXPECT_EQ(NetUserGetInfo(u.server, u.user, info), u.rc) << u.server << " " << u.user;
    if (u.rc == ERROR_SUCCESS) {
      EXPECT_EQ(info.homeDirectory, u.home) << u.user;
    }
  }
}

TEST_F(AccountsFileTest, LookupAccountNameLocalFirstThenDomain) {
  Install(std::string(kGoodFile) + "\nuser:EXAMPLE:demo::/home/domain-demo\n");
  struct {
    const char *name;
    bool found;
    const char *domain;
    SID_NAME_USE use;
  } cases[] = {
      {"demo", true, "MAILHOST", SidTypeUser},  // the local one wins
      {"Demo", true, "MAILHOST", SidTypeUser},
      {"alice", true, "EXAMPLE", SidTypeUser},
      {"staff", true, "MAILHOST", SidTypeGroup},
      {"admins", true, "MAILHOST", SidTypeAlias},
      {"nobody", false, "", SidTypeUser},
      {"", false, "", SidTypeUser},
      {"MAILHOST\\demo", false, "", SidTypeUser},
      {"../demo", false, "", SidTypeUser},
  };
  for (const auto &c : cases) {
    std::string domain;
    SID_NAME_USE use = SidTypeUnknown;
    SetLastError(0);
    bool found = LookupAccountName(c.name, domain, use);
    EXPECT_EQ(found, c.found) << c.name;
    if (found) {
      EXPECT_EQ(domain, c.domain) << c.name;
      EXPECT_EQ(use, c.use) << c.name;
    } else {
      EXPECT_EQ(GetLastError(), ERROR_NONE_MAPPED) << c.name;
    }
  }
  // Without a controller the domain's accounts cannot be found.
  Install("computer:MAILHOST\ndomain:EXAMPLE\nuser:EXAMPLE:alice::\n");
  std::string domain;
  SID_NAME_USE use;
  EXPECT_FALSE(LookupAccountName("alice", domain, use));
}

TEST_F(AccountsFileTest, AnEditTakesEffectAtTheNextCall) {
  Install("computer:ONE\ndomain:D\n");
  WorkstationInfo wi;
  ASSERT_EQ(NetWkstaGetInfo(wi), ERROR_SUCCESS);
  EXPECT_EQ(wi.computerName, "ONE");
  // Rewritten in place, same size, within the same tick of the file clock.
  {
    std::ofstream out(AccountsFilePath(), std::ios::binary | std::ios::trunc);
    out << "computer:TWO\ndomain:D\n";
  }
  ASSERT_EQ(NetWkstaGetInfo(wi), ERROR_SUCCESS);
  EXPECT_EQ(wi.computerName, "TWO");
}

TEST_F(AccountsFileTest, ABrokenFileNeverFallsBackToHostAccounts) {
  Install("computer:A\ndomain:B\nbroken\n");
  WorkstationInfo wi;
  EXPECT_EQ(NetWkstaGetInfo(wi), ERROR_BAD_ACCOUNTS_FILE);
  std::string domain;
  SID_NAME_USE use;
  EXPECT_FALSE(LookupAccountName("root", domain, use));
  EXPECT_EQ(GetLastError(), ERROR_BAD_ACCOUNTS_FILE);
  UserInfo info;
  EXPECT_EQ(NetUserGetInfo("", "root", info), ERROR_BAD_ACCOUNTS_FILE);
  std::string why;
  EXPECT_FALSE(CheckAccountSource(why));
  EXPECT_EQ(why, AccountsFilePath() + ":3: no ':' in the line");
}

TEST_F(AccountsFileTest, Passwords) {
  std::string hash;
  ASSERT_EQ(HashAccountPassword("s3cret pass", hash), ERROR_SUCCESS);
  EXPECT_EQ(hash.compare(0, 3, "$y$"), 0) << hash;
  std::string other;
  ASSERT_EQ(HashAccountPassword("s3cret pass", other), ERROR_SUCCESS);
  EXPECT_NE(hash, other);  // a fresh salt each time
  EXPECT_EQ(HashAccountPassword("", other), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(HashAccountPassword(std::string(kMaxPasswordLength + 1, 'p'), other),
            ERROR_INVALID_PARAMETER);

  Install("computer:HOST\ndomain:DOM\n"
          "user:HOST:bob:" + hash + ":\n"
          "user:HOST:nopw::\n"
          "user:HOST:locked:!" + hash + ":\n"
          "group:HOST:grp:" + hash + ":\n"
          "user:DOM:carol:" + hash + ":\n");
  struct {
    const char *domain, *name, *password;
    long rc;
  } cases[] = {
      {"HOST", "bob", "s3cret pass", ERROR_SUCCESS},
      {"host", "BOB", "s3cret pass", ERROR_SUCCESS},
      {"HOST", "bob", "s3cret pas", ERROR_LOGON_FAILURE},
      {"HOST", "bob", "", ERROR_LOGON_FAILURE},
      {"HOST", "nobody", "s3cret pass", ERROR_LOGON_FAILURE},
      {"HOST", "nopw", "", ERROR_LOGON_FAILURE},
      {"HOST", "locked", "s3cret pass", ERROR_LOGON_FAILURE},
      {"HOST", "grp", "s3cret pass", ERROR_LOGON_FAILURE},
      {"DOM", "carol", "s3cret pass", ERROR_LOGON_FAILURE},  // no controller
  };
  for (const auto &c : cases)
    EXPECT_EQ(VerifyAccountPassword(c.domain, c.name, c.password), c.rc)
        << c.name << " " << c.password;
  std::string withNul("s3cret pass\0x", 13);
  EXPECT_EQ(VerifyAccountPassword("HOST", "bob", withNul), ERROR_LOGON_FAILURE);
}

TEST_F(AccountsFileTest, HostAccountsWithoutAFile) {
  std::string why;
  ASSERT_TRUE(CheckAccountSource(why));
  EXPECT_EQ(why, "host accounts");
  WorkstationInfo wi;
  ASSERT_EQ(NetWkstaGetInfo(wi), ERROR_SUCCESS);
  EXPECT_EQ(wi.computerName, HostComputerName());
  EXPECT_EQ(wi.langroup, "WORKGROUP");
  EXPECT_EQ(wi.computerName.find_first_of(".abcdefghijklmnopqrstuvwxyz"), std::string::npos)
      << wi.computerName;

  std::string domain;
  SID_NAME_USE use = SidTypeUnknown;
  ASSERT_TRUE(LookupAccountName("root", domain, use));
  EXPECT_EQ(domain, wi.computerName);
  EXPECT_EQ(use, SidTypeUser);
  UserInfo info;
  ASSERT_EQ(NetUserGetInfo("", "root", info), ERROR_SUCCESS);
  EXPECT_EQ(info.homeDirectory, "/root");
  EXPECT_EQ(NetUserGetInfo("\\\\DC", "root", info), ERROR_BAD_NETPATH);
  EXPECT_EQ(NetUserGetInfo("", "no-such-user-zel", info), NERR_UserNotFound);
  EXPECT_FALSE(LookupAccountName("no-such-user-zel", domain, use));
  EXPECT_EQ(GetLastError(), ERROR_NONE_MAPPED);
  std::string dc;
  EXPECT_EQ(NetGetDCName("", "", dc), NERR_DCNotFound);
  EXPECT_EQ(VerifyAccountPassword(wi.computerName, "root", "x"), ERROR_NOT_SUPPORTED);
}
