// The POP3 server's parsers and formats (command lines, numbers, the end of
// a transmitted range, TOP's byte count, listings, log text), its settings,
// and the platform pieces it stands on: logon, per-thread impersonation,
// the directory grant and nameless listing files.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <crypt.h>
#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <fstream>
#include <future>
#include <map>
#include <memory>
#include <thread>

#include "ZELFETCH/fetchcfg.h"
#include "ZELFETCH/maildrop.h"
#include "ZELFETCH/mbxsec.h"
#include "ZELFETCH/pop3dlg.h"
#include "ZELFETCH/pop3ext.h"
#include "common/loadcfig.h"
#include "common/logonhelper.h"
#include "common/logonpool.h"
#include "common/sasl.h"
#include "common/sessionstart.h"
#include "common/zel.h"
#include "platform/accounts.h"
#include "platform/dirsec.h"
#include "platform/eventlog.h"
#include "platform/fileview.h"
#include "platform/helperproc.h"
#include "platform/ipaddr.h"
#include "platform/logonfailures.h"
#include "platform/logon.h"
#include "platform/root.h"
#include "testutil.h"

namespace {

std::string ScratchDir(const std::string &name) {
  std::string dir = ZelRoot() + "/" + name;
  mkdir(dir.c_str(), 0755);
  return dir;
}

double SecondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

double ThreadCpuSeconds() {
  struct timespec ts;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

// The least processor time of a few failed logons (the work they cost,
// whatever else the machine does), in seconds.
double LeastFailedLogonWork(const std::string &name) {
  double least = 1e9;
  for (int i = 0; i < 3; ++i) {
    LogonToken token;
    double start = ThreadCpuSeconds();
    EXPECT_FALSE(LogonUser(name, "MAILHOST", "not the password", token)) << name;
    least = std::min(least, ThreadCpuSeconds() - start);
  }
  return least;
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

// AUTH PLAIN: only a well-formed message for a name USER could give is
// checked as such; a refused one keeps a name only to show it in a reply.
TEST(Pop3Parse, PlainResponses) {
  using namespace std::string_literals;
  std::string name, password;
  auto decode = [&](const std::string &message) {
    return DecodePlainResponse(Base64Encode(message), name, password);
  };
  EXPECT_EQ(decode("alice\0alice\0pw 1"s), PlainResponse::kCredentials);
  EXPECT_EQ(name + "|" + password, "alice|pw 1");
  EXPECT_EQ(decode("bob\0alice\0pw"s), PlainResponse::kRefused);   // acting for another
  EXPECT_EQ(name + "|" + password, "alice|");
  // The master identity may act for another: whether it counts is the
  // logon helper's to decide; a name no user could have is refused here.
  EXPECT_EQ(decode("bob\0zel-proxy\0secret"s), PlainResponse::kMasterCredentials);
  EXPECT_EQ(name + "|" + password, "bob|secret");
  EXPECT_EQ(decode("b b\0zel-proxy\0secret"s), PlainResponse::kRefused);
  EXPECT_EQ(password, "");
  EXPECT_EQ(decode("\0"s + std::string(32, 'n') + "\0pw"s), PlainResponse::kRefused);
  EXPECT_EQ(name + "|" + password, std::string(31, 'n') + "|");
  for (std::string bad : {"\0a\r\n+OK\0pw"s, "\0a b\0pw"s, "alice\0pw"s}) {
    EXPECT_EQ(decode(bad), PlainResponse::kRefused);
    EXPECT_EQ(name + password, "");
  }
  EXPECT_EQ(DecodePlainResponse("not base64!", name, password), PlainResponse::kBadBase64);
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
  RegKey key;
  ASSERT_EQ(RegCreateKeyEx(HKEY_LOCAL_MACHINE, "SOFTWARE\\ZelTest\\Idle", KEY_ALL_ACCESS,
                           key.out(), nullptr),
            ERROR_SUCCESS);
  for (const Case &c : cases) {
    ASSERT_EQ(RegSetValueEx(key.get(), "Timeout", REG_DWORD, &c.timeout, sizeof c.timeout),
              ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueEx(key.get(), "MinimumTimeout", REG_DWORD, &c.floor, sizeof c.floor),
              ERROR_SUCCESS);
    EXPECT_EQ(LoadIdleSeconds(key.get(), 600), c.limit) << c.timeout;
  }
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

// The mailbox root is made root's and only passable (each mailbox in it is
// its user's); one on a path of another user's is left to the
// administrator without stopping the start.
TEST(MailboxSecurity, StartMakesThePassableMailboxRoot) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root";
  std::string base = ScratchDir("start");
  MailSpoolDirectory = base + "/spool";
  Pop3logDirectory = MailSpoolDirectory + "/Pop3log";
  MailInboxDirectory = base + "/boxes/%USERNAME%";
  ASSERT_TRUE(CreateStartDirectories());
  struct stat st;
  ASSERT_EQ(stat((base + "/boxes").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0711u);
  ASSERT_EQ(chown(base.c_str(), 1, 1), 0);
  MailInboxDirectory = base + "/other/%USERNAME%";
  EXPECT_TRUE(CreateStartDirectories());
}

TEST(MessageFiles, ListingKeepsTheFirstNamesWithTheirSizes) {
  std::string dir = ScratchDir("listed");
  for (int n = 0; n < 40; ++n) {
    char name[16];
    snprintf(name, sizeof name, "B%03d.MSG", n);
    std::ofstream(dir + "/" + name) << std::string(static_cast<size_t>(n), 'x');
  }
  std::ofstream(dir + "/x.msg") << "xy";            // the suffix in any case
  std::ofstream(dir + "/B000.TMP") << "tmp";
  std::ofstream(dir + "/.MSG") << "suffix alone";
  ASSERT_EQ(symlink((dir + "/B001.MSG").c_str(), (dir + "/A.MSG").c_str()), 0);
  ASSERT_EQ(mkdir((dir + "/A0.MSG").c_str(), 0755), 0);
  ASSERT_EQ(mkfifo((dir + "/A1.MSG").c_str(), 0600), 0);
  UniqueFd fd(OpenDirectory(dir));
  ASSERT_TRUE(fd.Valid());
  std::vector<DirectoryFile> files;
  bool more = true;
  ASSERT_TRUE(ListDirectoryFiles(fd.Get(), ".MSG", 1000, files, &more));
  EXPECT_FALSE(more);
  ASSERT_EQ(files.size(), 41u);
  EXPECT_EQ(files[0].Name, "B000.MSG");
  EXPECT_EQ(files[39].Size, 39u);
  EXPECT_EQ(files[40].Name, "x.msg");
  // Cut: the first names, however many the directory holds.
  ASSERT_TRUE(ListDirectoryFiles(fd.Get(), ".MSG", 7, files, &more));
  EXPECT_TRUE(more);
  ASSERT_EQ(files.size(), 7u);
  for (size_t n = 0; n < files.size(); ++n) EXPECT_EQ(files[n].Size, n) << files[n].Name;
  EXPECT_EQ(files[6].Name, "B006.MSG");
  // Opens and deletions relative to the directory follow no link.
  EXPECT_EQ(OpenFileForReadingAt(fd.Get(), "A.MSG"), -1);
  EXPECT_EQ(GetLastError(), ELOOP);
  EXPECT_TRUE(DeleteFileAt(fd.Get(), "B000.MSG"));
  EXPECT_FALSE(FileExists(dir + "/B000.MSG"));
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
    WriteAccounts("user:MAILHOST:demo:" + hash + ":\n");
    SetVirtualMailAccount(kTestVirtualMailAccount);
  }
  void TearDown() override { unlink(AccountsFilePath().c_str()); }

  // Replaces the accounts of the file (the identity stays MAILHOST).
  static void WriteAccounts(const std::string &records) {
    std::string path = AccountsFilePath();
    std::string dir = path.substr(0, path.rfind('/'));
    ASSERT_EQ(system(("mkdir -p '" + dir + "'").c_str()), 0);
    // A new file each time (rename): readers notice it by its inode.
    std::ofstream(path + ".new") << "computer:MAILHOST\ndomain:WORKGROUP\n" << records;
    ASSERT_EQ(rename((path + ".new").c_str(), path.c_str()), 0);
  }
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
  EXPECT_TRUE(token.bVirtualUser);
  EXPECT_EQ(token.Name, "demo");
  // A virtual user's identity is taken like any other.
  ImpersonationGuard guard;
  EXPECT_TRUE(guard.Begin(token));
  EXPECT_FALSE(ImpersonateLoggedOnUser(LogonToken()));   // an invalid token
}

TEST(Logon, ImpersonationIsPerThreadAndReverts) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root";
  std::string dir = ScratchDir("private");
  ASSERT_EQ(chmod(dir.c_str(), 0700), 0);
  LogonToken nobody;
  nobody.bValid = nobody.bHasIdentity = true;
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

TEST_F(LogonTest, UnknownNamesCostWhatKnownOnesCost) {
  // A scheme and cost other than the yescrypt default: the dummy an
  // unknown name is checked against must follow the file's own hashes.
  auto data = std::make_unique<struct crypt_data>();
  const char *hash = crypt_r("s3cret pass", "$6$rounds=300000$zelunitsalt$", data.get());
  ASSERT_NE(hash, nullptr);
  WriteAccounts(std::string("user:MAILHOST:slow:") + hash + ":\n");
  double known = LeastFailedLogonWork("slow");
  double unknown = LeastFailedLogonWork("nobody-here");
  EXPECT_GT(unknown, 0.6 * known) << known;
  EXPECT_LT(unknown, 1.6 * known) << known;
}

// The logon's token names the identity the user's mail is made with: the
// host account of an accounts-file user's name (in lower case, as its
// mailbox is named), else the virtual mail account's, never root's.
TEST_F(LogonTest, AccountsFileUsersOwnFilesAsTheirHostAccountOrTheVirtualOne) {
  std::string hash;
  ASSERT_EQ(HashAccountPassword("pw", hash), ERROR_SUCCESS);
  WriteAccounts("user:MAILHOST:Root:" + hash + ":\nuser:MAILHOST:zel-no-host:" + hash + ":\n");
  LogonToken token;
  ASSERT_TRUE(LogonUser("ROOT", "MAILHOST", "pw", token));
  EXPECT_TRUE(token.bHasIdentity && !token.bVirtualUser);
  EXPECT_EQ(token.Uid, 0u);
  ASSERT_TRUE(LogonUser("zel-no-host", "MAILHOST", "pw", token));
  EXPECT_TRUE(token.bHasIdentity && token.bVirtualUser);
  EXPECT_TRUE(token.Groups.empty());
  EXPECT_EQ(token.Uid, geteuid() == 0 ? 65534u : geteuid());
  EXPECT_FALSE(LookUpFileSystemIdentity("bad/name", token));
  EXPECT_EQ(GetLastError(), ENOENT);
  if (geteuid() != 0) return;   // the process's own identity needs no account
  // As root a virtual user without its account cannot log on: its session
  // would have nobody to run as.
  for (const char *account : {"", "zel-no-such-account", "root"}) {
    SetVirtualMailAccount(account);
    EXPECT_FALSE(LogonUser("zel-no-host", "MAILHOST", "pw", token)) << account;
    EXPECT_EQ(GetLastError(), ERROR_NO_VIRTUAL_MAIL_ACCOUNT) << account;
    EXPECT_FALSE(token.bValid);
  }
}

// With a PAM service "zelfetch" (written for the test when the host has
// none, as root): an unknown host name goes through PAM as a known one
// does, and PAM's fail delay comes back to the caller instead of being
// slept on the checking thread. Without one, PAM is never asked.
TEST(Logon, HostAccountsGoThroughPamAlone) {
  unlink(AccountsFilePath().c_str());
  struct stat st;
  bool configured = false;
  for (const char *path : kPamServiceFiles) configured = configured || stat(path, &st) == 0;
  LogonToken token;
  DWORD delayMs = 0;
  const char *names[] = {"root", "no-such-user-zel", "bad/name"};
  if (!configured) {
    for (const char *name : names) {
      EXPECT_FALSE(LogonUser(name, "", "wrong", token, &delayMs));
      EXPECT_EQ(GetLastError(), ERROR_NO_LOGON_SERVERS) << name;
    }
    if (geteuid() != 0) GTEST_SKIP() << "writing the PAM service needs root";
    std::ofstream(kPamServiceFiles[0]) << "auth required pam_unix.so\naccount required pam_unix.so\n";
  }
  std::shared_ptr<void> remove(nullptr, [&](void *) {
    if (!configured) unlink(kPamServiceFiles[0]);
  });
  for (const char *name : names) {
    auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(LogonUser(name, "", "wrong password", token, &delayMs));
    EXPECT_EQ(GetLastError(), ERROR_LOGON_FAILURE) << name;
    if (!configured) {
      EXPECT_GE(delayMs, 1000u) << name;   // pam_unix asks for about 2 s
      EXPECT_LT(SecondsSince(start), 1.0) << name;
    }
  }
}

TEST(Logon, AnIdentityThatCannotBeTakenFails) {
  // A process that may not change its ids must not go on as itself.
  auto check = [] {
    LogonToken other;
    other.bValid = other.bHasIdentity = true;
    other.Uid = geteuid() + 1;
    other.Gid = getegid() + 1;
    other.Groups = {other.Gid};
    if (ImpersonateLoggedOnUser(other)) return 1;
    LogonToken self = other;
    self.Uid = geteuid();
    self.Gid = getegid();
    if (!ImpersonateLoggedOnUser(self)) return 2;   // its own ids: nothing to take
    RevertToSelf();
    return 0;
  };
  if (geteuid() != 0) {
    EXPECT_EQ(check(), 0);
    return;
  }
  pid_t pid = fork();
  if (pid == 0) {
    gid_t none[] = {65534};
    if (setgroups(1, none) != 0 || setresgid(65534, 65534, 65534) != 0 ||
        setresuid(65534, 65534, 65534) != 0)
      _exit(3);
    _exit(check());
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

// ---- the logon pool

class LogonPoolTest : public LogonTest {
 protected:
  struct Answer {
    double Seconds;
    bool bAfterLogon;
  };

  void SetUp() override {
    LogonTest::SetUp();
    ASSERT_TRUE(port_.Create());
  }

  void Submit(LogonJob &job, const char *name, const char *password, int failuresBefore) {
    job.Name = name;
    job.Password = password;
    job.FailuresBefore = failuresBefore;
    job.Context = &afterLogon_;
    job.AfterLogon = [](LogonJob *j) { ++*static_cast<int *>(j->Context); };
    job.Key = reinterpret_cast<uintptr_t>(&job);
    job.Overlapped = &overlapped_[&job];
    ASSERT_TRUE(pool_.Submit(&job));
  }

  // The completions of count jobs, by job, with their time since start.
  std::map<LogonJob *, double> Collect(size_t count, std::chrono::steady_clock::time_point start) {
    std::map<LogonJob *, double> answers;
    for (size_t i = 0; i < count; ++i) {
      DWORD bytes = 0;
      uintptr_t key = 0;
      OVERLAPPED *ov = nullptr;
      if (!port_.GetQueuedCompletionStatus(&bytes, &key, &ov, 10000)) break;
      auto *job = reinterpret_cast<LogonJob *>(key);
      EXPECT_EQ(ov, &overlapped_[job]);
      EXPECT_EQ(answers.count(job), 0u) << "completed twice";
      answers[job] = SecondsSince(start);
    }
    return answers;
  }

  CompletionPort port_;
  LogonPool pool_;
  std::map<LogonJob *, OVERLAPPED> overlapped_;
  int afterLogon_ = 0;
};

TEST_F(LogonPoolTest, FailuresAreAnsweredLateFromTheSubmission) {
  LogonPoolSettings settings;
  settings.Threads = 2;
  // A second: the success must come before it, and a password check on a
  // loaded machine may take a good part of a short one.
  settings.FirstDelayMs = 1000;
  ASSERT_TRUE(pool_.Start(port_, settings));
  struct Case {
    const char *name, *password;
    int failuresBefore;
    long error;
    bool unknown;
    double atLeast, below;
  } cases[] = {
      {"demo", "s3cret pass", 0, ERROR_SUCCESS, false, 0, 1.0},
      {"demo", "wrong", 0, ERROR_LOGON_FAILURE, false, 1.0, 2.0},
      {"nobody-here", "s3cret pass", 1, ERROR_LOGON_FAILURE, true, 2.0, 4.0},
      {"demo", "wrong", 7, ERROR_LOGON_FAILURE, false, 4.0, 8.0},   // no more than the third
  };
  LogonJob jobs[std::size(cases)];
  auto start = std::chrono::steady_clock::now();
  for (size_t i = 0; i < std::size(cases); ++i)
    Submit(jobs[i], cases[i].name, cases[i].password, cases[i].failuresBefore);
  std::map<LogonJob *, double> answers = Collect(std::size(cases), start);
  ASSERT_EQ(answers.size(), std::size(cases));
  for (size_t i = 0; i < std::size(cases); ++i) {
    const Case &c = cases[i];
    EXPECT_EQ(jobs[i].bLoggedOn, c.error == ERROR_SUCCESS) << i;
    EXPECT_EQ(jobs[i].Error, c.error) << i;
    EXPECT_EQ(jobs[i].bNameUnknown, c.unknown) << i;
    EXPECT_TRUE(jobs[i].Password.empty()) << i;
    EXPECT_GE(answers[&jobs[i]], c.atLeast) << i;
    EXPECT_LT(answers[&jobs[i]], c.below) << i;
  }
  EXPECT_EQ(afterLogon_, 1);
  EXPECT_TRUE(jobs[0].Token.bValid);
  EXPECT_EQ(LogonFailureDelayMs(1000, -1), 1000u);
}

TEST_F(LogonPoolTest, StopCompletesEveryJobAtOnce) {
  LogonPoolSettings settings;
  settings.Threads = 1;
  settings.FirstDelayMs = 600000;
  ASSERT_TRUE(pool_.Start(port_, settings));
  // Enough jobs that one checker cannot have reached the last in 100 ms
  // (each check costs a password hash): on a fast machine six could.
  LogonJob jobs[32];
  auto start = std::chrono::steady_clock::now();
  for (LogonJob &job : jobs) Submit(job, "demo", "wrong", 0);
  // The first check ends and waits on the timer; the last is still queued.
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  pool_.Stop();
  std::map<LogonJob *, double> answers = Collect(std::size(jobs), start);
  ASSERT_EQ(answers.size(), std::size(jobs));
  EXPECT_EQ(jobs[0].Error, ERROR_LOGON_FAILURE);
  EXPECT_EQ(jobs[std::size(jobs) - 1].Error, ERROR_OPERATION_ABORTED);   // never checked
  for (LogonJob &job : jobs) {
    EXPECT_LT(answers[&job], 5.0);
    EXPECT_TRUE(job.Password.empty());
  }
  LogonJob late;
  late.Key = 1;
  EXPECT_FALSE(pool_.Submit(&late));
}

TEST(FetchSettings, NetworkListsReportBadEntriesOnce) {
  RegKey key;
  ASSERT_EQ(RegCreateKeyEx(HKEY_LOCAL_MACHINE, "SOFTWARE\\ZelTest\\Nets", KEY_ALL_ACCESS,
                           key.out(), nullptr),
            ERROR_SUCCESS);
  static const char value[] = "10.0.0.0/8\0" "127.0.0.1/8\0" "::1\0";
  ASSERT_EQ(RegSetValueEx(key.get(), "Clients", REG_MULTI_SZ, value, sizeof value),
            ERROR_SUCCESS);
  NetworkList nets = QueryRegNetworkList(key.get(), "Clients", 4096, {"192.0.2.0/24"});
  EXPECT_EQ(nets.Networks.size(), 2u);
  IpAddress a;
  ASSERT_TRUE(ParseAddress("10.1.2.3", &a));
  EXPECT_TRUE(nets.Contains(a));
  EXPECT_NE(Slurp(EventLogPath()).find("Clients entry '127.0.0.1/8'"), std::string::npos);
  // Missing: the defaults.
  nets = QueryRegNetworkList(key.get(), "Absent", 4096, {"192.0.2.0/24"});
  ASSERT_TRUE(ParseAddress("192.0.2.9", &a));
  EXPECT_TRUE(nets.Contains(a));
  EXPECT_EQ(nets.Networks.size(), 1u);
}

// ---- failed logons counted per client network

// A fresh count in the scratch root's state directory.
void FreshFailureCount() {
  ASSERT_EQ(system(("mkdir -p '" + StateDirectory() + "'").c_str()), 0);
  unlink(LogonFailureFilePath().c_str());
}

TEST(LogonFailures, NetworksAreBlockedAfterTheLimitForTheWindow) {
  FreshFailureCount();
  const LogonFailurePolicy policy{3, 600};
  IpAddress a, sameNet, other;
  ASSERT_TRUE(ParseAddress("2001:db8:1:2::7", &a));
  ASSERT_TRUE(ParseAddress("2001:db8:1:2:ffff::1", &sameNet));   // the same /64
  ASSERT_TRUE(ParseAddress("2001:db8:1:3::7", &other));
  long long t = 1000000;
  EXPECT_FALSE(RecordLogonFailure(a, policy, t));
  EXPECT_FALSE(RecordLogonFailure(sameNet, policy, t + 1));
  EXPECT_FALSE(LogonsBlocked(a, policy, t + 2));
  EXPECT_TRUE(RecordLogonFailure(a, policy, t + 2));   // the third blocks
  EXPECT_TRUE(LogonsBlocked(sameNet, policy, t + 3));
  EXPECT_FALSE(LogonsBlocked(other, policy, t + 3));
  EXPECT_TRUE(LogonsBlocked(a, policy, t + 2 + 599));
  EXPECT_FALSE(LogonsBlocked(a, policy, t + 2 + 600));
  // Failures spread wider than the window never add up to a block.
  IpAddress slow;
  ASSERT_TRUE(ParseAddress("192.0.2.9", &slow));
  for (int i = 0; i < 6; ++i) EXPECT_FALSE(RecordLogonFailure(slow, policy, t + 301 * i));
  EXPECT_FALSE(LogonsBlocked(slow, policy, t + 2000));
  // A full neighbourhood gives its oldest slot away, and nothing breaks.
  for (uint32_t i = 0; i < 40000; ++i) {
    IpAddress v4 = IpV4(htonl(0x0A000000u + i));
    (void)RecordLogonFailure(v4, policy, t + 5000 + i);
  }
  EXPECT_FALSE(LogonsBlocked(other, policy, t + 50000));
  // No accounting at all: never blocked.
  EXPECT_FALSE(RecordLogonFailure(a, LogonFailurePolicy{0, 600}, t));
}

// Root and the system's accounts never log on, whatever the password and
// however the accounts file spells them; a virtual user is not concerned.
TEST_F(LogonTest, HostAccountsBelowTheFloorNeverLogOn) {
  std::string hash;
  ASSERT_EQ(HashAccountPassword("pw", hash), ERROR_SUCCESS);
  WriteAccounts("user:MAILHOST:root:" + hash + ":\nuser:MAILHOST:daemon:" + hash +
                ":\nuser:MAILHOST:zel-no-host:" + hash + ":\n");
  LogonPolicy saved = CurrentLogonPolicy();
  LogonPolicy policy;
  policy.FailureLimit = 0;
  SetLogonPolicy(policy);
  auto check = [](const char *name) {
    LogonJob job;
    job.Name = name;
    job.Password = "pw";
    DWORD delay = 0;
    CheckLogon(job, &delay);
    return job;
  };
  for (const char *name : {"root", "ROOT", "daemon"}) {
    LogonJob job = check(name);
    EXPECT_FALSE(job.bLoggedOn) << name;
    EXPECT_TRUE(job.bUidRefused) << name;
    EXPECT_EQ(job.Error, ERROR_LOGON_FAILURE) << name;
  }
  EXPECT_TRUE(check("zel-no-host").bLoggedOn);
  // A floor of 0 still never lets root in.
  policy.MinimumLogonUid = 0;
  SetLogonPolicy(policy);
  EXPECT_TRUE(check("daemon").bLoggedOn);
  EXPECT_FALSE(check("root").bLoggedOn);
  SetLogonPolicy(saved);
}

TEST_F(LogonTest, BlockedNetworksAreRefusedUncheckedAndOthersAreNot) {
  FreshFailureCount();
  LogonPolicy saved = CurrentLogonPolicy();
  LogonPolicy policy;
  policy.FailureLimit = 2;
  SetLogonPolicy(policy);
  auto check = [](const char *address, const char *password) {
    LogonJob job;
    job.Name = "demo";
    job.Password = password;
    job.ClientAddress = address;
    DWORD delay = 0;
    CheckLogon(job, &delay);
    return job;
  };
  EXPECT_TRUE(check("192.0.2.7", "s3cret pass").bLoggedOn);   // a success counts nothing
  EXPECT_FALSE(check("192.0.2.7", "wrong").bBlocked);
  EXPECT_FALSE(check("192.0.2.7", "wrong").bBlocked);
  LogonJob blocked = check("192.0.2.7", "s3cret pass");
  EXPECT_FALSE(blocked.bLoggedOn);
  EXPECT_TRUE(blocked.bBlocked);
  EXPECT_EQ(blocked.Error, ERROR_LOGON_FAILURE);
  EXPECT_TRUE(check("192.0.2.8", "s3cret pass").bLoggedOn);
  SetLogonPolicy(saved);
}

// A master logon acts for a user only with this host's secret, from a
// client in ProxyClients, for a user that exists; every other case is an
// ordinary failed logon, counted against the client.
TEST_F(LogonTest, MasterLogonsNeedTheSecretTheClientAndAUser) {
  FreshFailureCount();
  LogonPolicy saved = CurrentLogonPolicy();
  LogonPolicy policy;
  policy.FailureLimit = 3;
  std::string secretFile = AccountsFilePath() + ".proxysecret";
  std::ofstream(secretFile) << "shared one\n";
  ASSERT_EQ(chmod(secretFile.c_str(), 0600), 0);
  policy.ProxySecretFile = secretFile;
  ParseNetworkList({"192.0.2.0/24"}, &policy.ProxyClients, nullptr);
  SetLogonPolicy(policy);
  auto check = [](const char *address, const char *name, const char *secret) {
    LogonJob job;
    job.bMasterLogon = true;
    job.Name = name;
    job.Password = secret;
    job.ClientAddress = address;
    DWORD delay = 0;
    CheckLogon(job, &delay);
    EXPECT_TRUE(job.Password.empty());
    return job;
  };
  LogonJob ok = check("192.0.2.7", "demo", "shared one");
  EXPECT_TRUE(ok.bLoggedOn);
  EXPECT_TRUE(ok.Token.bValid && ok.Token.bVirtualUser);
  EXPECT_EQ(ok.Token.Name, "demo");
  struct Case {
    const char *address, *name, *secret;
  } refused[] = {{"192.0.2.8", "demo", "shared two"},      // wrong secret
                 {"192.0.2.8", "demo", ""},
                 {"198.51.100.1", "demo", "shared one"},   // not a proxy client
                 {"192.0.2.8", "nobody-here", "shared one"}};
  for (const Case &c : refused) {
    LogonJob job = check(c.address, c.name, c.secret);
    EXPECT_FALSE(job.bLoggedOn || job.bLookupFailed || job.Token.bValid) << c.address << c.secret;
    EXPECT_EQ(job.Error, ERROR_LOGON_FAILURE);
  }
  // Three failures from 192.0.2.8 were counted: now even the right one is blocked.
  EXPECT_TRUE(check("192.0.2.8", "demo", "shared one").bBlocked);
  // An ordinary logon with the secret is no master logon; no secret file: none at all.
  LogonJob plain;
  plain.Name = "demo";
  plain.Password = "shared one";
  plain.ClientAddress = "192.0.2.7";
  DWORD delay = 0;
  CheckLogon(plain, &delay);
  EXPECT_FALSE(plain.bLoggedOn);
  policy.ProxySecretFile.clear();
  SetLogonPolicy(policy);
  EXPECT_FALSE(check("192.0.2.9", "demo", "").bLoggedOn);
  SetLogonPolicy(saved);
  unlink(secretFile.c_str());
}

// ---- checks in helper processes (a service without root: the receiver)

TEST(LogonHelper, WireFormatRefusesWhatIsNotExactlyARequest) {
  LogonJob sent, got;
  sent.Name = "demo";
  sent.Password = std::string("p\0w", 3);
  sent.ClientAddress = "2001:db8::7";
  SessionStart start;
  start.UserName = "demo";
  start.PendingInput = "STAT\r\n";
  sent.SessionStart = EncodeSessionStart(start);
  std::string wire = EncodeLogonRequest(sent);
  ASSERT_TRUE(DecodeLogonRequest(wire, got));
  EXPECT_EQ(got.Name + "|" + got.Password + "|" + got.ClientAddress,
            std::string("demo|p\0w|2001:db8::7", 20));
  SessionStart record;
  ASSERT_TRUE(DecodeSessionStart(got.SessionStart, record));
  EXPECT_EQ(record.PendingInput, "STAT\r\n");
  EXPECT_FALSE(got.bMasterLogon);
  sent.bMasterLogon = true;
  ASSERT_TRUE(DecodeLogonRequest(EncodeLogonRequest(sent), got));
  EXPECT_TRUE(got.bMasterLogon);
  std::string unknownFlag = wire;
  unknownFlag[8] = 2;
  for (std::string bad : {wire.substr(0, wire.size() - 1), wire + "x", wire.substr(0, 7), unknownFlag,
                          std::string("\xff\xff\x00\x00\x00\x00\x00\x00", 8) +
                              std::string(65535, 'n')}) {
    EXPECT_FALSE(DecodeLogonRequest(bad, got)) << bad.size();
    EXPECT_EQ(got.Name + got.Password + got.SessionStart, "");
  }
  // An over-long password is cut to one byte more than any password has.
  sent.Password = std::string(5000, 'p');
  ASSERT_TRUE(DecodeLogonRequest(EncodeLogonRequest(sent), got));
  EXPECT_EQ(got.Password.size(), kMaxPasswordLength + 1);
  // A start record is exact too: cut or grown, it is refused whole.
  std::string wireRecord = EncodeSessionStart(start);
  EXPECT_FALSE(DecodeSessionStart(wireRecord.substr(0, wireRecord.size() - 1), record));
  EXPECT_FALSE(DecodeSessionStart(wireRecord + "x", record));
  EXPECT_EQ(record.UserName, "");

  LogonJob job, back;
  job.bNameUnknown = true;
  job.Error = ERROR_LOGON_FAILURE;
  job.Domain = "MAILHOST";
  DWORD delay = 0;
  std::string answer = EncodeLogonAnswer(job, 2000);
  ASSERT_TRUE(DecodeLogonAnswer(answer, back, &delay));
  EXPECT_EQ(std::make_tuple(back.bLoggedOn, back.bNameUnknown, back.bLookupFailed, back.Error,
                            back.Domain, delay),
            std::make_tuple(false, true, false, ERROR_LOGON_FAILURE, std::string("MAILHOST"),
                            DWORD{2000}));
  EXPECT_FALSE(DecodeLogonAnswer(answer.substr(0, 8), back, &delay));
  EXPECT_FALSE(DecodeLogonAnswer(answer + std::string(300, 'd'), back, &delay));
}

TEST_F(LogonTest, HelperProcessesCheckAndDieAlone) {
  ASSERT_TRUE(StartLogonHelpers(2));
  struct Case {
    const char *name, *password;
    bool loggedOn, unknown;
  } cases[] = {{"demo", "s3cret pass", true, false},
               {"demo", "wrong", false, false},
               {"nobody-here", "s3cret pass", false, true}};
  for (const Case &c : cases) {
    LogonJob job;
    job.Name = c.name;
    job.Password = c.password;
    DWORD delay = 1;
    CheckLogonThroughHelpers(job, &delay);
    EXPECT_EQ(job.bLoggedOn, c.loggedOn) << c.name << c.password;
    EXPECT_EQ(job.bNameUnknown, c.unknown) << c.name;
    EXPECT_FALSE(job.bLookupFailed);
    EXPECT_EQ(job.Domain, c.loggedOn ? "MAILHOST" : job.Domain);
    EXPECT_TRUE(job.Password.empty());
  }
  // A helper that dies takes only its own check with it and is replaced;
  // once its keeper is gone too, checks fail as a checker does (within a
  // few seconds, never in this process).
  auto check = [] {
    LogonJob job;
    job.Name = "demo";
    job.Password = "s3cret pass";
    DWORD delay = 0;
    CheckLogonThroughHelpers(job, &delay);
    EXPECT_TRUE(job.bLoggedOn || job.bLookupFailed);
    return job.bLoggedOn;
  };
  std::vector<pid_t> first = LogonHelperPids();
  ASSERT_EQ(first.size(), 2u);
  for (pid_t pid : first) ASSERT_EQ(kill(pid, SIGKILL), 0);
  auto replaced = [&] {
    std::vector<pid_t> now = LogonHelperPids();
    return now.size() == 2 && std::count(first.begin(), first.end(), now[0]) == 0 &&
           std::count(first.begin(), first.end(), now[1]) == 0;
  };
  int failed = 0;
  for (int i = 0; i < 50 && (i < 4 || !replaced()); ++i) failed += check() ? 0 : 1;
  EXPECT_TRUE(replaced());
  EXPECT_LE(failed, 2);   // at most the checks that met a dead helper
  ASSERT_EQ(kill(LogonHelperKeeperPid(), SIGKILL), 0);
  long long before = MonotonicMs();
  int after = 0;
  for (int i = 0; i < 3; ++i) after += check() ? 1 : 0;
  EXPECT_EQ(after, 0);
  EXPECT_LT(MonotonicMs() - before, 4 * 1000 + 3 * (kHelperWaitMs + 1000));
}
