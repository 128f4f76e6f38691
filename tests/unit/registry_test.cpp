// Registry store: names, dispositions, enumeration, sizes, delete rules, the
// platform's Tcpip key, transactions, and several processes and threads
// writing at once.
#include "platform/registry.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

// Every test works below its own key so tests never see each other's data.
std::string Base(const char *test) { return std::string("Software\\RegTest\\") + test; }

RegKey Create(const std::string &path, DWORD *disposition = nullptr) {
  RegKey k;
  EXPECT_EQ(RegCreateKeyEx(HKEY_LOCAL_MACHINE, path.c_str(), KEY_ALL_ACCESS, k.out(), disposition),
            ERROR_SUCCESS)
      << path;
  return k;
}

long SetString(HKEY k, const char *name, const std::string &text, DWORD type = REG_SZ) {
  return RegSetValueEx(k, name, type, text.c_str(), static_cast<DWORD>(text.size() + 1));
}

long SetDword(HKEY k, const char *name, DWORD v) {
  return RegSetValueEx(k, name, REG_DWORD, &v, sizeof v);
}

long GetDword(HKEY k, const char *name, DWORD &v) {
  DWORD cb = sizeof v;
  DWORD type = REG_NONE;
  long rc = RegQueryValueEx(k, name, &type, &v, &cb);
  if (rc == ERROR_SUCCESS && (type != REG_DWORD || cb != sizeof v)) return EIO;
  return rc;
}

// The whole value as the caller sees it (with any added NULs).
std::string GetRaw(HKEY k, const char *name, DWORD *type = nullptr) {
  DWORD cb = 0;
  if (RegQueryValueEx(k, name, type, nullptr, &cb) != ERROR_SUCCESS) return "<missing>";
  std::string data(cb, '?');
  EXPECT_EQ(RegQueryValueEx(k, name, type, data.data(), &cb), ERROR_SUCCESS);
  data.resize(cb);
  return data;
}

std::vector<std::string> SubkeyNames(HKEY k) {
  std::vector<std::string> names;
  char buf[kMaxRegKeyNameLength + 1];
  for (DWORD i = 0;; ++i) {
    DWORD cch = sizeof buf;
    long rc = RegEnumKeyEx(k, i, buf, &cch);
    if (rc == ERROR_NO_MORE_ITEMS) break;
    EXPECT_EQ(rc, ERROR_SUCCESS);
    if (rc != ERROR_SUCCESS) break;
    EXPECT_EQ(cch, std::strlen(buf));
    names.emplace_back(buf);
  }
  return names;
}

std::vector<std::string> ValueNames(HKEY k) {
  std::vector<std::string> names;
  char buf[256];
  for (DWORD i = 0;; ++i) {
    DWORD cch = sizeof buf;
    long rc = RegEnumValue(k, i, buf, &cch, nullptr, nullptr, nullptr);
    if (rc != ERROR_SUCCESS) {
      EXPECT_EQ(rc, ERROR_NO_MORE_ITEMS);
      break;
    }
    names.emplace_back(buf, cch);
  }
  return names;
}

TEST(RegistryTest, NamesIgnoreCaseButKeepTheirCreationCase) {
  RegKey k = Create(Base("Case") + "\\MixedKey");
  ASSERT_EQ(SetString(k.get(), "MixedValue", "one"), ERROR_SUCCESS);
  RegKey again;
  ASSERT_EQ(
      RegOpenKeyEx(HKEY_LOCAL_MACHINE, "SOFTWARE\\regtest\\CASE\\mixedkey", KEY_READ, again.out()),
      ERROR_SUCCESS);
  EXPECT_EQ(RegKeyPath(again.get()), Base("Case") + "\\MixedKey");
  EXPECT_EQ(GetRaw(again.get(), "MIXEDVALUE"), std::string("one\0", 4));
  // Overwriting under another case replaces the value and keeps the old name.
  ASSERT_EQ(SetString(again.get(), "mixedvalue", "two"), ERROR_SUCCESS);
  EXPECT_EQ(ValueNames(k.get()), std::vector<std::string>{"MixedValue"});
  EXPECT_EQ(GetRaw(k.get(), "MixedValue"), std::string("two\0", 4));
}

TEST(RegistryTest, CreateReportsDispositionAndMakesAncestors) {
  DWORD d = 0;
  RegKey deep = Create(Base("Disp") + "\\A\\B\\C", &d);
  EXPECT_EQ(d, REG_CREATED_NEW_KEY);
  RegKey again = Create(Base("Disp") + "\\a\\b\\c", &d);
  EXPECT_EQ(d, REG_OPENED_EXISTING_KEY);
  RegKey mid = Create(Base("Disp") + "\\A\\B", &d);
  EXPECT_EQ(d, REG_OPENED_EXISTING_KEY);
  // An empty subkey opens the parent again; slashes around a path are tolerated.
  RegKey self;
  ASSERT_EQ(RegCreateKeyEx(mid.get(), "", KEY_ALL_ACCESS, self.out(), &d), ERROR_SUCCESS);
  EXPECT_EQ(d, REG_OPENED_EXISTING_KEY);
  EXPECT_EQ(RegKeyPath(self.get()), Base("Disp") + "\\A\\B");
  RegKey slashed;
  ASSERT_EQ(RegOpenKeyEx(mid.get(), "\\C\\", KEY_READ, slashed.out()), ERROR_SUCCESS);
  EXPECT_EQ(RegKeyPath(slashed.get()), Base("Disp") + "\\A\\B\\C");
  RegKey missing;
  EXPECT_EQ(RegOpenKeyEx(mid.get(), "Nope", KEY_READ, missing.out()), ERROR_FILE_NOT_FOUND);
  EXPECT_FALSE(missing);
}

TEST(RegistryTest, BadPathsAreRefused) {
  const std::string c255(255, 'k'), c256(256, 'k');
  struct Case {
    std::string path;
    long want;
  } cases[] = {
      {Base("Paths") + "\\a\\\\b", ERROR_INVALID_PARAMETER},
      {Base("Paths") + "\\" + c256, ERROR_INVALID_PARAMETER},
      {Base("Paths") + "\\" + c255, ERROR_SUCCESS},
  };
  for (const Case &c : cases) {
    RegKey k;
    EXPECT_EQ(RegCreateKeyEx(HKEY_LOCAL_MACHINE, c.path.c_str(), KEY_ALL_ACCESS, k.out(), nullptr),
              c.want)
        << c.path.size();
  }
  std::string deep = "Deep";
  for (size_t i = 1; i < kMaxRegKeyDepth + 1; ++i) deep += "\\d";
  RegKey k;
  EXPECT_EQ(RegCreateKeyEx(HKEY_LOCAL_MACHINE, deep.c_str(), KEY_ALL_ACCESS, k.out(), nullptr),
            ERROR_INVALID_PARAMETER);
}

TEST(RegistryTest, EnumeratesSubkeysAndValuesInNameOrder) {
  RegKey k = Create(Base("Enum"));
  for (const char *n : {"b", "A", "c", "B2"}) Create(Base("Enum") + "\\" + n);
  for (const char *n : {"zeta", "Alpha", "beta"}) ASSERT_EQ(SetDword(k.get(), n, 1), ERROR_SUCCESS);
  EXPECT_EQ(SubkeyNames(k.get()), (std::vector<std::string>{"A", "b", "B2", "c"}));
  EXPECT_EQ(ValueNames(k.get()), (std::vector<std::string>{"Alpha", "beta", "zeta"}));

  // Any index may be asked in any order; past the end is ERROR_NO_MORE_ITEMS.
  char buf[16];
  DWORD cch = sizeof buf;
  ASSERT_EQ(RegEnumKeyEx(k.get(), 3, buf, &cch), ERROR_SUCCESS);
  EXPECT_STREQ(buf, "c");
  cch = sizeof buf;
  ASSERT_EQ(RegEnumKeyEx(k.get(), 1, buf, &cch), ERROR_SUCCESS);
  EXPECT_STREQ(buf, "b");
  cch = sizeof buf;
  EXPECT_EQ(RegEnumKeyEx(k.get(), 4, buf, &cch), ERROR_NO_MORE_ITEMS);
  // A name buffer too small: ERROR_MORE_DATA and the length needed.
  cch = 2;
  EXPECT_EQ(RegEnumKeyEx(k.get(), 2, buf, &cch), ERROR_MORE_DATA);
  EXPECT_EQ(cch, 2u);
}

TEST(RegistryTest, EnumerationFollowsChangesBetweenSteps) {
  RegKey k = Create(Base("EnumChange"));
  for (int i = 0; i < 300; ++i) Create(Base("EnumChange") + "\\k" + std::to_string(1000 + i));
  std::vector<std::string> names = SubkeyNames(k.get());
  ASSERT_EQ(names.size(), 300u);
  EXPECT_TRUE(std::is_sorted(names.begin(), names.end()));

  // Index 1 after index 0, with a key inserted before both in between: the
  // walk must see the new set, not continue after the old name.
  char buf[16];
  DWORD cch = sizeof buf;
  ASSERT_EQ(RegEnumKeyEx(k.get(), 0, buf, &cch), ERROR_SUCCESS);
  EXPECT_STREQ(buf, "k1000");
  Create(Base("EnumChange") + "\\a0");
  cch = sizeof buf;
  ASSERT_EQ(RegEnumKeyEx(k.get(), 1, buf, &cch), ERROR_SUCCESS);
  EXPECT_STREQ(buf, "k1000");

  // The usual way to empty a key: always delete index 0.
  size_t deleted = 0;
  for (cch = sizeof buf; RegEnumKeyEx(k.get(), 0, buf, &cch) == ERROR_SUCCESS; cch = sizeof buf) {
    ASSERT_EQ(RegDeleteKey(k.get(), buf), ERROR_SUCCESS);
    ++deleted;
  }
  EXPECT_EQ(deleted, 301u);
}

TEST(RegistryTest, QueryReportsSizesAndMoreData) {
  RegKey k = Create(Base("Sizes"));
  ASSERT_EQ(SetString(k.get(), "s", "hello"), ERROR_SUCCESS);
  DWORD type = 0, cb = 0;
  ASSERT_EQ(RegQueryValueEx(k.get(), "s", &type, nullptr, &cb), ERROR_SUCCESS);
  EXPECT_EQ(type, REG_SZ);
  EXPECT_EQ(cb, 6u);
  char buf[8] = "xxxxxxx";
  cb = 3;
  EXPECT_EQ(RegQueryValueEx(k.get(), "s", nullptr, buf, &cb), ERROR_MORE_DATA);
  EXPECT_EQ(cb, 6u);
  cb = 6;
  ASSERT_EQ(RegQueryValueEx(k.get(), "s", nullptr, buf, &cb), ERROR_SUCCESS);
  EXPECT_STREQ(buf, "hello");
  EXPECT_EQ(RegQueryValueEx(k.get(), "s", nullptr, buf, nullptr), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(RegQueryValueEx(k.get(), "absent", nullptr, nullptr, &cb), ERROR_FILE_NOT_FOUND);

  // The default value: name null or "".
  ASSERT_EQ(SetString(k.get(), nullptr, "dflt"), ERROR_SUCCESS);
  EXPECT_EQ(GetRaw(k.get(), ""), std::string("dflt\0", 5));
}

TEST(RegistryTest, UnterminatedStringsComeBackTerminated) {
  RegKey k = Create(Base("Terminate"));
  struct Case {
    DWORD type;
    std::string stored, read;
  } cases[] = {
      {REG_SZ, "abc", std::string("abc\0", 4)},
      {REG_EXPAND_SZ, "", std::string("\0", 1)},
      {REG_MULTI_SZ, std::string("a\0b", 3), std::string("a\0b\0\0", 5)},
      {REG_MULTI_SZ, std::string("a\0", 2), std::string("a\0\0", 3)},
      {REG_MULTI_SZ, "", std::string("\0\0", 2)},
      {REG_MULTI_SZ, std::string("a\0\0", 3), std::string("a\0\0", 3)},
      {REG_BINARY, "ab", "ab"},
  };
  for (const Case &c : cases) {
    ASSERT_EQ(
        RegSetValueEx(k.get(), "v", c.type, c.stored.data(), static_cast<DWORD>(c.stored.size())),
        ERROR_SUCCESS);
    EXPECT_EQ(GetRaw(k.get(), "v"), c.read) << c.type << " " << c.stored.size();
  }
}

TEST(RegistryTest, MultiStringAndDwordRoundTrip) {
  RegKey k = Create(Base("RoundTrip"));
  const std::string multi("one.example\0two.example\0\0", 25);
  ASSERT_EQ(RegSetValueEx(k.get(), "Domains", REG_MULTI_SZ, multi.data(), 25), ERROR_SUCCESS);
  DWORD type = 0;
  EXPECT_EQ(GetRaw(k.get(), "domains", &type), multi);
  EXPECT_EQ(type, REG_MULTI_SZ);
  for (DWORD v : {0u, 1u, 0x7FFFFFFFu, 0xFFFFFFFFu}) {
    ASSERT_EQ(SetDword(k.get(), "Count", v), ERROR_SUCCESS);
    DWORD got = 12345;
    ASSERT_EQ(GetDword(k.get(), "Count", got), ERROR_SUCCESS);
    EXPECT_EQ(got, v);
  }
  const std::string big(kMaxRegValueSize + 1, 'x');
  EXPECT_EQ(RegSetValueEx(k.get(), "Big", REG_BINARY, big.data(), static_cast<DWORD>(big.size())),
            ERROR_INVALID_PARAMETER);
  EXPECT_EQ(RegSetValueEx(k.get(), "Short", REG_DWORD, "ab", 2), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(RegSetValueEx(k.get(), std::string(kMaxRegValueNameLength + 1, 'n').c_str(), REG_BINARY,
                          "a", 1),
            ERROR_INVALID_PARAMETER);
  EXPECT_EQ(SetDword(HKEY_LOCAL_MACHINE, "OnRoot", 1), ERROR_ACCESS_DENIED);
}

TEST(RegistryTest, DeleteRules) {
  RegKey parent = Create(Base("Delete"));
  RegKey child = Create(Base("Delete") + "\\Child");
  Create(Base("Delete") + "\\Child\\Grand");
  ASSERT_EQ(SetDword(child.get(), "v", 7), ERROR_SUCCESS);
  EXPECT_EQ(RegDeleteKey(parent.get(), "Child"), ERROR_DIR_NOT_EMPTY);
  EXPECT_EQ(RegDeleteKey(parent.get(), "Child\\Grand"), ERROR_SUCCESS);
  EXPECT_EQ(RegDeleteKey(parent.get(), "Child\\Grand"), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegDeleteKey(parent.get(), ""), ERROR_INVALID_PARAMETER);
  ASSERT_EQ(RegDeleteKey(parent.get(), "child"), ERROR_SUCCESS);

  // The old handle fails cleanly, also once a key of that name exists again;
  // and the new key starts without the old values.
  DWORD v = 0;
  EXPECT_EQ(GetDword(child.get(), "v", v), ERROR_FILE_NOT_FOUND);
  RegKey again = Create(Base("Delete") + "\\Child");
  EXPECT_EQ(GetDword(again.get(), "v", v), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(SetDword(child.get(), "v", 1), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegDeleteValue(child.get(), "v"), ERROR_FILE_NOT_FOUND);
  char buf[8];
  DWORD cch = sizeof buf;
  EXPECT_EQ(RegEnumKeyEx(child.get(), 0, buf, &cch), ERROR_FILE_NOT_FOUND);
  RegKey sub;
  EXPECT_EQ(RegCreateKeyEx(child.get(), "Sub", KEY_ALL_ACCESS, sub.out(), nullptr),
            ERROR_FILE_NOT_FOUND);

  ASSERT_EQ(SetDword(again.get(), "v", 1), ERROR_SUCCESS);
  ASSERT_EQ(RegDeleteValue(again.get(), "V"), ERROR_SUCCESS);
  EXPECT_EQ(RegDeleteValue(again.get(), "v"), ERROR_FILE_NOT_FOUND);

  Create(Base("Delete") + "\\Tree\\a\\b");
  EXPECT_EQ(RegDeleteTree(parent.get(), "Tree"), ERROR_SUCCESS);
  RegKey gone;
  EXPECT_EQ(RegOpenKeyEx(parent.get(), "Tree\\a", KEY_READ, gone.out()), ERROR_FILE_NOT_FOUND);
}

TEST(RegistryTest, TcpipKeyAlwaysExistsAndStoredValuesWin) {
  RegKey k;
  ASSERT_EQ(RegOpenKeyEx(HKEY_LOCAL_MACHINE, kTcpipParametersKey, KEY_READ, k.out()),
            ERROR_SUCCESS);
  for (const char *name : {"Hostname", "Domain", "NameServer", "hostname"}) {
    DWORD type = 0;
    std::string v = GetRaw(k.get(), name, &type);
    ASSERT_NE(v, "<missing>") << name;
    EXPECT_EQ(type, REG_SZ);
    EXPECT_EQ(v.back(), '\0');
    if (std::strcmp(name, "Hostname") == 0) {
      EXPECT_EQ(v.find('.'), std::string::npos) << v;
    }
  }
  EXPECT_EQ(GetRaw(k.get(), "Other"), "<missing>");
  EXPECT_TRUE(ValueNames(k.get()).empty());  // answered values are not stored ones

  ASSERT_EQ(SetString(k.get(), "NameServer", "127.0.0.1:5353"), ERROR_SUCCESS);
  EXPECT_EQ(GetRaw(k.get(), "nameserver"), std::string("127.0.0.1:5353\0", 15));
  ASSERT_EQ(RegDeleteValue(k.get(), "NameServer"), ERROR_SUCCESS);
  EXPECT_NE(GetRaw(k.get(), "NameServer"), "<missing>");

  EXPECT_EQ(RegDeleteKey(HKEY_LOCAL_MACHINE, kTcpipParametersKey), ERROR_ACCESS_DENIED);
  EXPECT_EQ(RegDeleteTree(HKEY_LOCAL_MACHINE, "system\\CurrentControlSet"), ERROR_ACCESS_DENIED);
}

TEST(RegistryTest, ParsesResolvConf) {
  using namespace std::string_literals;
  struct Case {
    std::string text;
    const char *domain;
    std::vector<std::string> servers;
  } cases[] = {
      {"domain corp.example\nsearch other.example\nnameserver 10.0.0.1\n",
       "corp.example",
       {"10.0.0.1"}},
      {"search a.example b.example\r\nnameserver 10.0.0.1\r\n", "a.example", {"10.0.0.1"}},
      {"# comment\n; comment\nnameserver ::1\nnameserver 1.2.3.4 # x\nnameserver bad\n",
       "",
       {"1.2.3.4"}},
      {"nameserver 1.1.1.1\nnameserver 2.2.2.2\nnameserver 3.3.3.3\nnameserver 4.4.4.4\n",
       "",
       {"1.1.1.1", "2.2.2.2", "3.3.3.3"}},
      {"domain bad/name\ndomain trailing.example.\n", "trailing.example", {}},
      {"search .\ndomain\n\n  nameserver\t9.9.9.9", "", {"9.9.9.9"}},
      {"nameserver 1.2.3.4\0junk\nnameserver 5.6.7.8\n"s, "", {"5.6.7.8"}},
  };
  for (const Case &c : cases) {
    ResolvConfInfo info = ParseResolvConf(c.text, 1 << 16);
    EXPECT_EQ(info.domain, c.domain) << c.text;
    EXPECT_EQ(info.nameServers, c.servers) << c.text;
  }
  // Overlong lines are skipped, and so is a last line cut by the limit.
  std::string longLine = "domain " + std::string(2000, 'a') + "\nnameserver 5.5.5.5\n";
  EXPECT_EQ(ParseResolvConf(longLine, 1 << 16).domain, "");
  EXPECT_EQ(ParseResolvConf(longLine, 1 << 16).nameServers.size(), 1u);
  EXPECT_TRUE(ParseResolvConf("nameserver 1.2.3.45", 18).nameServers.empty());
  EXPECT_EQ(ParseResolvConf("nameserver 1.2.3.45", 19).nameServers.size(), 1u);
}

TEST(RegistryTest, TransactionsApplyAllOrNothing) {
  RegKey k = Create(Base("Tx"));
  {
    RegTransaction tx(RegTransaction::kWrite);
    ASSERT_EQ(tx.Status(), ERROR_SUCCESS);
    ASSERT_EQ(SetDword(k.get(), "a", 1), ERROR_SUCCESS);
    Create(Base("Tx") + "\\Sub");
    // A failing call inside leaves the others alone.
    EXPECT_EQ(RegDeleteKey(k.get(), "Missing"), ERROR_FILE_NOT_FOUND);
    RegTransaction nested(RegTransaction::kWrite);
    EXPECT_EQ(nested.Status(), ERROR_INVALID_PARAMETER);
  }  // not committed
  DWORD v = 0;
  EXPECT_EQ(GetDword(k.get(), "a", v), ERROR_FILE_NOT_FOUND);
  EXPECT_TRUE(SubkeyNames(k.get()).empty());
  {
    RegTransaction tx(RegTransaction::kWrite);
    ASSERT_EQ(SetDword(k.get(), "a", 2), ERROR_SUCCESS);
    ASSERT_EQ(tx.Commit(), ERROR_SUCCESS);
  }
  ASSERT_EQ(GetDword(k.get(), "a", v), ERROR_SUCCESS);
  EXPECT_EQ(v, 2u);
}

// One worker: increments the shared counter under a write transaction and
// writes a value of its own outside one. Returns the number of failures.
int CounterWorker(const std::string &path, int id, int rounds) {
  int failures = 0;
  RegKey k;
  if (RegCreateKeyEx(HKEY_LOCAL_MACHINE, path.c_str(), KEY_ALL_ACCESS, k.out(), nullptr) != 0)
    return rounds;
  std::string own = "w" + std::to_string(id);
  for (int i = 0; i < rounds; ++i) {
    RegTransaction tx(RegTransaction::kWrite);
    DWORD v = 0;
    long rc = tx.Status();
    if (rc == ERROR_SUCCESS) rc = GetDword(k.get(), "Counter", v);
    if (rc == ERROR_FILE_NOT_FOUND) rc = ERROR_SUCCESS, v = 0;
    if (rc == ERROR_SUCCESS) rc = SetDword(k.get(), "Counter", v + 1);
    if (rc == ERROR_SUCCESS) rc = tx.Commit();
    if (rc == ERROR_SUCCESS) rc = SetDword(k.get(), own.c_str(), static_cast<DWORD>(i));
    failures += rc != ERROR_SUCCESS;
  }
  return failures;
}

int RunWorkers(const std::string &path, int firstId, int threads, int rounds) {
  std::atomic<int> failures{0};
  std::vector<std::thread> pool;
  for (int t = 0; t < threads; ++t)
    pool.emplace_back([&, t] { failures += CounterWorker(path, firstId + t, rounds); });
  for (std::thread &th : pool) th.join();
  return failures;
}

// Waits for a child at most about 60 s; kills it past that.
int WaitChild(pid_t pid) {
  int status = 0;
  for (int i = 0; i < 600; ++i) {
    if (waitpid(pid, &status, WNOHANG) == pid) return status;
    usleep(100 * 1000);
  }
  kill(pid, SIGKILL);
  waitpid(pid, &status, 0);
  return -1;
}

TEST(RegistryTest, ProcessesAndThreadsWriteAtOnce) {
  const std::string path = Base("Concurrent");
  constexpr int kThreads = 4, kRounds = 25;
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) _exit(RunWorkers(path, 100, kThreads, kRounds) == 0 ? 0 : 1);
  int failures = RunWorkers(path, 0, kThreads, kRounds);
  int status = WaitChild(child);
  EXPECT_EQ(failures, 0);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  RegKey k = Create(path);
  DWORD v = 0;
  ASSERT_EQ(GetDword(k.get(), "Counter", v), ERROR_SUCCESS);
  EXPECT_EQ(v, 2u * kThreads * kRounds);
  EXPECT_EQ(ValueNames(k.get()).size(), 1u + 2 * kThreads);
}

TEST(RegistryTest, AcknowledgedWriteSurvivesACrash) {
  RegKey k = Create(Base("Crash"));
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    RegKey mine;
    RegCreateKeyEx(HKEY_LOCAL_MACHINE, Base("Crash").c_str(), KEY_ALL_ACCESS, mine.out(), nullptr);
    for (DWORD i = 1; i <= 20; ++i)
      if (SetDword(mine.get(), "Last", i) != ERROR_SUCCESS) _exit(1);
    raise(SIGKILL);  // no clean shutdown of the connection
  }
  int status = WaitChild(child);
  ASSERT_TRUE(WIFSIGNALED(status));
  DWORD v = 0;
  ASSERT_EQ(GetDword(k.get(), "Last", v), ERROR_SUCCESS);
  EXPECT_EQ(v, 20u);
}

}  // namespace
