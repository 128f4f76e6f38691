// The POP3 server's parsers and formats (command lines, numbers, the end of
// a transmitted range, TOP's byte count, listings, log text), its settings,
// and the platform pieces it stands on: logon, per-thread impersonation,
// the directory grant and nameless listing files.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <fstream>
#include <future>

#include "ZELFETCH/fetchcfg.h"
#include "ZELFETCH/maildrop.h"
#include "ZELFETCH/mbxsec.h"
#include "ZELFETCH/pop3dlg.h"
#include "platform/accounts.h"
#include "platform/dirsec.h"
#include "platform/fileview.h"
#include "platform/logon.h"
#include "platform/root.h"
#include "testutil.h"

namespace {

std::string ScratchDir(const std::string &name) {
  std::string dir = ZelRoot() + "/" + name;
  mkdir(dir.c_str(), 0755);
  return dir;
}

}  // namespace

TEST(Pop3Parse, OrdinaryParseSplitsUpperCasesAndCounts) {
  struct Case {
    const char *line;
    bool hasWord;
    const char *word, *arg1, *arg2;
    int count;
  } cases[] = {
      {"user mailuser\r", true, "USER", "mailuser", "", 1},
      {"  RETR\t 1 \r", true, "RETR", "1", "", 1},
      {"TOP 1 10\r", true, "TOP", "1", "10", 2},
      {"TOP 1 10 x\r", true, "TOP", "1", "10", 3},
      {"a b c d e\r", true, "A", "b", "c", 3},           // five words: three or more
      {"stat", true, "STAT", "", "", 0},
      {"\r", false, "", "", "", 0},                       // an empty line has no word
      {" \t \r", false, "", "", "", 0},
      {"", false, "", "", "", 0},
      {"PASS my secret\r", true, "PASS", "my", "secret", 2},
  };
  for (const Case &c : cases) {
    _Pop3Command cmd = OrdinaryParse(c.line, kMaxCommandLine);
    EXPECT_EQ(cmd.bHasWord, c.hasWord) << c.line;
    EXPECT_EQ(cmd.Word, c.word) << c.line;
    EXPECT_EQ(cmd.Arg1, c.arg1) << c.line;
    EXPECT_EQ(cmd.Arg2, c.arg2) << c.line;
    EXPECT_EQ(cmd.ArgCount, c.count) << c.line;
  }
  // Only maxLength bytes are looked at.
  EXPECT_EQ(OrdinaryParse("RETR 12345", 7).Arg1, "12");
}

TEST(Pop3Parse, PasswordParseKeepsTheRestOfTheLine) {
  struct Case {
    const char *line;
    const char *word, *arg;
    int count;
  } cases[] = {
      {"PASS secret\r", "PASS", "secret\r", 1},
      {"pass  two words \r", "pass", "two words \r", 1},  // not upper-cased; spaces kept
      {"  PASS\t\tx\r", "PASS", "x\r", 1},
      {"PASS\r", "PASS", "", 0},
      {"PASS \r", "PASS", "", 0},
      {"QUIT\r", "QUIT", "", 0},
      {" \r", "", "", 0},
  };
  for (const Case &c : cases) {
    _Pop3Command cmd = PasswordParse(c.line, kMaxCommandLine);
    EXPECT_EQ(cmd.Word, c.word) << c.line;
    EXPECT_EQ(cmd.bHasWord, *c.word != '\0') << c.line;
    EXPECT_EQ(cmd.Arg1, c.arg) << c.line;
    EXPECT_EQ(cmd.ArgCount, c.count) << c.line;
  }
}

TEST(Pop3Parse, ArgumentCountReplies) {
  struct Case {
    int count, min, max;
    const char *reply;   // "" when accepted
  } cases[] = {
      {1, 1, 1, ""},
      {0, 1, 1, "-ERR too few arguments for the USER command\r\n"},
      {2, 1, 1, "-ERR too many arguments for the USER command\r\n"},
      {3, 0, 1, "-ERR too many arguments for the USER command\r\n"},
      {0, 0, 1, ""},
  };
  for (const Case &c : cases) {
    _Pop3Dialogue dlg;
    dlg.Cmd.ArgCount = c.count;
    EXPECT_EQ(CheckArgCount(dlg, c.min, c.max, "USER"), *c.reply == '\0') << c.count;
    EXPECT_EQ(dlg.Reply, c.reply) << c.count;
  }
}

TEST(Pop3Parse, MessageNumbersAreBounded) {
  struct Case {
    const char *text;
    int value;
  } cases[] = {
      {"1", 1},           {"  42", 42},        {"+7", 7},
      {"-1", -1},         {"x", 0},            {"", 0},
      {"12abc", 12},      {"0", 0},            {"- 3", 0},
      {"2147483647", INT_MAX},
      {"2147483648", INT_MAX},                 // clamped, not wrapped
      {"99999999999999999999999999", INT_MAX},
      {"-99999999999999999999", INT_MIN},
  };
  for (const Case &c : cases)
    EXPECT_EQ(ParseMessageNumber(c.text, kMaxNumberText), c.value) << c.text;
  EXPECT_EQ(ParseMessageNumber("12345", 2), 12);
}

TEST(Transmit, TerminatorFollowsHowTheRangeEnds) {
  struct Case {
    std::string range;
    uint64_t count;
    const char *terminator;
  } cases[] = {
      {"Subject: a\r\n\r\nhi\r\n.\r\n", 21, ""},        // the stored end line
      {"Subject: a\r\n\r\nhi\n.\n", 17, ".\r\n"},        // a bare-LF end line is replaced
      {"Subject: a\r\n\r\nhi\r\n", 18, ".\r\n"},
      {"Subject: a\r\n\r\nhi", 16, "\r\n.\r\n"},         // no line end at all
      {"x\r\n.\r\n", 6, ""},
      {".\r\n", 3, ""},                                  // only the end line
      {".\n", 0, ".\r\n"},
      {"\n", 1, ".\r\n"},
      {"a", 1, "\r\n.\r\n"},
      {"", 0, ".\r\n"},                                  // nothing: just the end line
  };
  for (const Case &c : cases) {
    std::string_view r(c.range);
    std::string_view last = r.substr(r.size() - std::min<size_t>(5, r.size()));
    _TransmitEnd end = ChooseTerminator(last, r.size());
    EXPECT_EQ(end.Count, c.count) << c.range;
    EXPECT_STREQ(end.Terminator, c.terminator) << c.range;
    // The client sees exactly one end line, at the end.
    std::string sent = "+OK\r\n" + c.range.substr(0, end.Count) + end.Terminator;
    EXPECT_EQ(sent.find("\n.\r\n"), sent.size() - 4) << c.range;
  }
}

TEST(Top, ByteCountCoversHeaderAndLines) {
  const std::string crlf = "A: 1\r\nB: 2\r\n\r\nl1\r\nl2\r\nl3\r\n.\r\n";
  const std::string lf = "A: 1\n\nl1\nl2\n";
  struct Case {
    const std::string *text;
    long long lines;
    uint64_t count;
  } cases[] = {
      {&crlf, 0, 14},            // the header and its empty line
      {&crlf, 1, 18},
      {&crlf, 3, 26},
      {&crlf, 4, 29},            // up to the end line
      {&crlf, 1000, crlf.size()},
      {&lf, 0, 6},
      {&lf, 1, 9},
      {&lf, 5, lf.size()},
  };
  for (const Case &c : cases) EXPECT_EQ(TopByteCount(*c.text, c.lines), c.count) << c.lines;
  // No empty line: the whole message, whatever the count.
  EXPECT_EQ(TopByteCount("A: 1\r\nB: 2\r\n", 0), 12u);
  // "\r\n\r\n" anywhere wins over an earlier "\n\n".
  EXPECT_EQ(TopByteCount("a\n\nb\r\n\r\nc", 0), 8u);
  EXPECT_EQ(TopByteCount("a\r\n\r\nb", INT_MAX), 6u);
}

TEST(Listing, LinesAndNames) {
  EXPECT_EQ(ListLine(1, 24), "1 24\r\n");
  EXPECT_EQ(ListLine(12, 5000000000ULL), "12 5000000000\r\n");   // sizes past 4 GiB
  EXPECT_EQ(UidlLine(3, "B0000000003.MSG"), "3 B0000000003.MSG\r\n");
  std::string longName(200, 'n');
  EXPECT_EQ(UidlLine(1, longName), "1 " + longName + "\r\n");    // never cut: ids stay unique
  for (const char *name : {"B0000000001.MSG", "a.MSG", "~x!.MSG"})
    EXPECT_TRUE(IsServableName(name)) << name;
  for (const char *name : {"", "a b.MSG", "a\r\n.MSG", "\x80.MSG"})
    EXPECT_FALSE(IsServableName(name)) << name;
}

TEST(FetchSettings, IdleLimitHasAFloor) {
  struct Case {
    DWORD timeout, floor, limit;
  } cases[] = {
      {0, 600, 600}, {60, 600, 600}, {900, 600, 900},
      {2, 1, 2},     {0, 1, 600},    {0, 0, 600}, {2, 0, 2},
  };
  for (const Case &c : cases) EXPECT_EQ(IdleLimit(c.timeout, c.floor), c.limit) << c.timeout;
}

TEST(LogText, TimeStampHasTheFixedWidth) {
  EXPECT_EQ(LogTimeStamp(0).size(), std::string("[01/Jan/1970:00:00:00]").size());
}

TEST(MailboxSecurity, MailboxRootOfTemplates) {
  struct Case {
    const char *tmpl;
    bool has;
    const char *root;
  } cases[] = {
      {"/var/mailbox/%USERNAME%", true, "/var/mailbox/"},
      {"/var/mailbox/%username%/in", true, "/var/mailbox/"},
      {"%HOME%/mail", false, ""},
      {"/var/%user%/%USERNAME%", false, ""},
      {"/var/mailbox", false, ""},
  };
  for (const Case &c : cases) {
    std::string root;
    EXPECT_EQ(MailboxRoot(c.tmpl, root), c.has) << c.tmpl;
    if (c.has) {
      EXPECT_EQ(root, c.root) << c.tmpl;
    }
  }
}

TEST(MailboxSecurity, GrantAddsOneInheritedEntry) {
  std::string dir = ScratchDir("granted");
  std::string account = ServiceAccountName();
  ASSERT_TRUE(GrantMailboxAccess(dir, account));
  ASSERT_TRUE(GrantMailboxAccess(dir, account));   // again: still one entry
  if (DirectoryAclEntry(dir, account, false).empty()) GTEST_SKIP() << "no ACL support here";
  EXPECT_EQ(DirectoryAclEntry(dir, account, false), "-wx");
  EXPECT_EQ(DirectoryAclEntry(dir, account, true), "-wx");
  // A subdirectory inherits the entry.
  std::string sub = dir + "/sub";
  ASSERT_EQ(mkdir(sub.c_str(), 0755), 0);
  EXPECT_EQ(DirectoryAclEntry(sub, account, true), "-wx");
  EXPECT_FALSE(GrantMailboxAccess(dir, "no-such-account-zel"));
}

TEST(MailboxSecurity, ListingFileHasNoNameAndReadsBack) {
  std::string dir = ScratchDir("listing");
  UniqueFd fd(MyCreateTempFile(dir, "LIST"));
  ASSERT_TRUE(fd.Valid());
  ASSERT_TRUE(WriteWholeFile(fd.Get(), "1 24\r\n"));
  char buf[8];
  size_t got = 0;
  ASSERT_TRUE(ReadFileAt(fd.Get(), buf, sizeof buf, 0, &got));
  EXPECT_EQ(std::string(buf, got), "1 24\r\n");
  EXPECT_FALSE(FileExists(dir + "/LIST.TMP"));
}

TEST(MessageFiles, OnlyRegularFilesOpen) {
  std::string dir = ScratchDir("msgfiles");
  std::ofstream(dir + "/a.MSG") << "x";
  ASSERT_EQ(symlink((dir + "/a.MSG").c_str(), (dir + "/link.MSG").c_str()), 0);
  ASSERT_EQ(mkfifo((dir + "/fifo.MSG").c_str(), 0600), 0);
  UniqueFd ok(OpenFileForReading(dir + "/a.MSG"));
  EXPECT_TRUE(ok.Valid());
  EXPECT_EQ(OpenFileForReading(dir + "/link.MSG"), -1);
  EXPECT_EQ(GetLastError(), ELOOP);
  EXPECT_EQ(OpenFileForReading(dir + "/fifo.MSG"), -1);   // and it did not block
  uint64_t size = 0;
  EXPECT_FALSE(GetFileSizeByName(dir + "/link.MSG", &size));
  EXPECT_TRUE(GetFileSizeByName(dir + "/a.MSG", &size));
  EXPECT_EQ(size, 1u);
}

class LogonTest : public testing::Test {
 protected:
  void SetUp() override {
    std::string hash;
    ASSERT_EQ(HashAccountPassword("s3cret pass", hash), ERROR_SUCCESS);
    std::string path = AccountsFilePath();
    std::string dir = path.substr(0, path.rfind('/'));
    ASSERT_EQ(system(("mkdir -p '" + dir + "'").c_str()), 0);
    std::ofstream(path) << "computer:MAILHOST\ndomain:WORKGROUP\nuser:MAILHOST:demo:" << hash
                        << ":\n";
  }
  void TearDown() override { unlink(AccountsFilePath().c_str()); }
};

TEST_F(LogonTest, AccountsFilePasswords) {
  struct Case {
    const char *name, *password;
    long error;
  } cases[] = {
      {"demo", "s3cret pass", ERROR_SUCCESS},
      {"demo", "s3cret", ERROR_LOGON_FAILURE},
      {"demo", "", ERROR_LOGON_FAILURE},
      {"nobody-here", "s3cret pass", ERROR_LOGON_FAILURE},
  };
  for (const Case &c : cases) {
    LogonToken token;
    bool ok = LogonUser(c.name, "MAILHOST", c.password, token);
    EXPECT_EQ(ok ? ERROR_SUCCESS : GetLastError(), c.error) << c.name << "/" << c.password;
    EXPECT_EQ(token.bValid, ok);
  }
  LogonToken token;
  ASSERT_TRUE(LogonUser("demo", "MAILHOST", "s3cret pass", token));
  EXPECT_FALSE(token.bHostAccount);
  EXPECT_EQ(token.Name, "demo");
  // An accounts-file user owns no files: impersonation changes nothing.
  ImpersonationGuard guard;
  EXPECT_TRUE(guard.Begin(token));
  EXPECT_FALSE(ImpersonateLoggedOnUser(LogonToken()));   // an invalid token
}

TEST(Logon, UnknownHostAccountFails) {
  unlink(AccountsFilePath().c_str());
  LogonToken token;
  EXPECT_FALSE(LogonUser("no-such-user-zel", "", "x", token));
  EXPECT_EQ(GetLastError(), ERROR_LOGON_FAILURE);
  EXPECT_FALSE(LogonUser("bad/name", "", "x", token));
  EXPECT_EQ(GetLastError(), ERROR_LOGON_FAILURE);
}

TEST(Logon, ImpersonationIsPerThreadAndReverts) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root";
  std::string dir = ScratchDir("private");
  ASSERT_EQ(chmod(dir.c_str(), 0700), 0);
  LogonToken nobody;
  nobody.bValid = nobody.bHostAccount = true;
  nobody.Uid = 65534;
  nobody.Gid = 65534;
  nobody.Groups = {65534};
  auto canCreate = [&](const std::string &name) {
    int fd = open((dir + "/" + name).c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0600);
    if (fd >= 0) close(fd);
    return fd >= 0;
  };
  // A thread started before the impersonation keeps the service's ids (one
  // started during it would inherit the user's).
  std::promise<void> impersonating;
  std::future<bool> otherThread = std::async(std::launch::async, [&] {
    impersonating.get_future().wait();
    return canCreate("other-thread");
  });
  {
    ImpersonationGuard guard;
    bool began = guard.Begin(nobody);
    EXPECT_TRUE(began);
    if (began) {
      EXPECT_FALSE(canCreate("as-nobody"));
    }
    impersonating.set_value();
    EXPECT_TRUE(otherThread.get());
  }
  EXPECT_TRUE(canCreate("after-revert"));
}
