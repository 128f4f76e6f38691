// Global configuration, the retry schedule, directory creation and the
// queue directory names of domains.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <numeric>

#include "common/fileutils.h"
#include "common/loadcfig.h"
#include "common/pconfig.h"
#include "common/zel.h"
#include "platform/files.h"
#include "platform/registry.h"
#include "platform/root.h"

namespace {

void SetSz(const char *name, const std::string &value) {
  RegKey key;
  ASSERT_EQ(RegCreateKeyEx(HKEY_LOCAL_MACHINE, kSuiteKey, KEY_ALL_ACCESS, key.out(), nullptr), 0);
  ASSERT_EQ(RegSetValueEx(key.get(), name, REG_SZ, value.c_str(), value.size() + 1), 0);
}

void SetDword(const char *subkey, const char *name, DWORD value) {
  std::string path = kSuiteKey;
  if (subkey != nullptr) path = path + "\\" + subkey;
  RegKey key;
  ASSERT_EQ(RegCreateKeyEx(HKEY_LOCAL_MACHINE, path.c_str(), KEY_ALL_ACCESS, key.out(), nullptr), 0);
  ASSERT_EQ(RegSetValueEx(key.get(), name, REG_DWORD, &value, sizeof value), 0);
}

void DeleteSuiteValues() {
  RegKey key;
  if (RegOpenKeyEx(HKEY_LOCAL_MACHINE, kSuiteKey, KEY_ALL_ACCESS, key.out()) != 0) return;
  for (const char *name : {"MailSpoolDir", "MailInBoxDir", "PostMaster", "DomainNamesAreLocal",
                           "AutoCreateInboxDir", "LocalFailuresToPostmaster",
                           "MaxDeliveryThreads", "GatewayName", "ServiceAccount"})
    RegDeleteValue(key.get(), name);
}

void LoadAll(size_t domainBytes = kDomainListBytes) {
  SetConfigDefaults();
  LoadCriticalConfig();
  LoadGeneralConfigMain(domainBytes);
}

class Config : public ::testing::Test {
 protected:
  void SetUp() override { DeleteSuiteValues(); }
  void TearDown() override { DeleteSuiteValues(); }
};

}  // namespace

TEST_F(Config, NothingConfiguredGivesTheDefaults) {
  LoadAll();
  EXPECT_EQ(MailSpoolDirectory, ZelRoot() + "/var/spool/zel");
  EXPECT_EQ(MailInboxDirectory, ZelRoot() + "/var/mailbox/%USERNAME%");
  EXPECT_EQ(Postmaster, "administrator");
  EXPECT_TRUE(DomainNamesAreLocal.empty());
  EXPECT_TRUE(AutoCreateInboxEnabled);
  EXPECT_TRUE(LocalFailuresToPostmaster);
  EXPECT_EQ(MaxDeliveryThreads, 50);
  EXPECT_TRUE(GatewayName.empty());
  EXPECT_EQ(ServiceAccount, "zel");
}

TEST_F(Config, ValuesAreReadAndBooleansNormalised) {
  SetSz("MailSpoolDir", "/srv/spool");
  SetSz("MailInBoxDir", "%HOME%/mail");
  SetSz("PostMaster", "root");
  SetSz("GatewayName", "smarthost.example");
  SetSz("ServiceAccount", "");   // meant: run as whoever starts the service
  SetDword(nullptr, "AutoCreateInboxDir", 0);
  SetDword(nullptr, "LocalFailuresToPostmaster", 7);
  SetDword(nullptr, "MaxDeliveryThreads", static_cast<DWORD>(-3));
  const char multi[] = "example.org\0mail.example.org\0";
  {
    RegKey key;
    ASSERT_EQ(RegCreateKeyEx(HKEY_LOCAL_MACHINE, kSuiteKey, KEY_ALL_ACCESS, key.out(), nullptr), 0);
    ASSERT_EQ(RegSetValueEx(key.get(), "DomainNamesAreLocal", REG_MULTI_SZ, multi, sizeof multi), 0);
  }
  LoadAll();
  EXPECT_EQ(MailSpoolDirectory, "/srv/spool");
  EXPECT_EQ(MailInboxDirectory, "%HOME%/mail");
  EXPECT_EQ(Postmaster, "root");
  EXPECT_EQ(GatewayName, "smarthost.example");
  EXPECT_EQ(ServiceAccount, "");
  EXPECT_FALSE(AutoCreateInboxEnabled);
  EXPECT_TRUE(LocalFailuresToPostmaster);
  EXPECT_EQ(MaxDeliveryThreads, -3);  // no cap
  EXPECT_EQ(DomainNamesAreLocal, (std::vector<std::string>{"example.org", "mail.example.org"}));
}

TEST_F(Config, EmptyOrOversizedValuesKeepTheDefault) {
  SetSz("PostMaster", "");
  SetSz("MailSpoolDir", "");
  SetSz("MailInBoxDir", std::string(261, 'x'));   // one past the buffer
  std::string big(1100, 'a');
  big.push_back('\0');
  big.push_back('\0');
  {
    RegKey key;
    ASSERT_EQ(RegCreateKeyEx(HKEY_LOCAL_MACHINE, kSuiteKey, KEY_ALL_ACCESS, key.out(), nullptr), 0);
    ASSERT_EQ(RegSetValueEx(key.get(), "DomainNamesAreLocal", REG_MULTI_SZ, big.data(), big.size()), 0);
  }
  LoadAll();
  EXPECT_EQ(Postmaster, "administrator");
  EXPECT_EQ(MailSpoolDirectory, DefaultSpoolDirectory());
  EXPECT_EQ(MailInboxDirectory, DefaultInboxTemplate());
  EXPECT_TRUE(DomainNamesAreLocal.empty());
  // The receiver's larger buffer takes the same list.
  LoadAll(kDomainListBytesReceiver);
  ASSERT_EQ(DomainNamesAreLocal.size(), 1u);
  EXPECT_EQ(DomainNamesAreLocal[0].size(), 1100u);
  // A value of exactly the buffer's size fits.
  SetSz("MailInBoxDir", std::string(260, 'y'));
  LoadAll();
  EXPECT_EQ(MailInboxDirectory.size(), 260u);
}

TEST(RetrySchedule, BuiltInScheduleHas54EntriesOf6500Minutes) {
  SetConfigDefaults();
  LoadGeneralConfigMain(kDomainListBytes);
  ASSERT_EQ(RetryScheduleLength, 54);
  EXPECT_EQ(RetrySchedule[0].RetryInterval, 1);
  EXPECT_FALSE(RetrySchedule[0].SendDelayReport);
  int total = 0;
  for (int i = 1; i < RetryScheduleLength; ++i) total += RetrySchedule[i].RetryInterval;
  EXPECT_EQ(total, 6500);
  EXPECT_TRUE(RetrySchedule[20].SendDelayReport);   // the first "10:T"
  EXPECT_EQ(RetrySchedule[54].RetryInterval, 0);    // terminator
}

TEST(RetrySchedule, EntryGrammar) {
  struct Case {
    const char *text;
    int length;
    int minutes1;
    bool flag1;
  } cases[] = {
      {"30", 2, 30, false},
      {"x:T", 2, 0, true},
      {"15:t,20", 3, 15, true},
      {"15:F", 2, 15, false},
      {"15:", 2, 15, false},
      {",,5,,", 2, 5, false},   // empty entries are skipped
      {"", 1, 0, false},
  };
  for (const Case &c : cases) {
    RetryScheduleDescriptor = c.text;
    EXPECT_EQ(SetUpRetryScheduleArray(), c.length) << c.text;
    EXPECT_EQ(RetrySchedule[1].RetryInterval, c.minutes1) << c.text;
    EXPECT_EQ(RetrySchedule[1].SendDelayReport, c.flag1) << c.text;
  }
}

TEST(RetrySchedule, EntriesBeyondTheLimitAreIgnored) {
  std::string many;
  for (int i = 0; i < 300; ++i) many += std::to_string(i + 1) + ",";
  RetryScheduleDescriptor = many;
  EXPECT_EQ(SetUpRetryScheduleArray(), 256);
  EXPECT_EQ(RetrySchedule[255].RetryInterval, 255);
  EXPECT_EQ(RetrySchedule[256].RetryInterval, 0);
}

TEST(Counters, MissingCounterReadsMinusOne) {
  EXPECT_EQ(GetCounterValue(nullptr, "NoSuchCounter"), -1);
  EXPECT_EQ(GetCounterValue("Lists", "ConfigVersion"), -1);
  SetDword("Aliases", "ConfigVersion", 7);
  EXPECT_EQ(GetCounterValue("Aliases", "ConfigVersion"), 7);
}

TEST(Directories, RecursiveCreationForAbsoluteAndRelativePaths) {
  std::string base = ZelPath("/mk");
  EXPECT_TRUE(CreateDirectoryRecursively(base + "/a/b/c"));
  EXPECT_TRUE(DirectoryExists(base + "/a/b/c"));
  EXPECT_TRUE(CreateDirectoryRecursively(base + "/a/b/c/"));   // exists already
  EXPECT_TRUE(CreateDirectoryRecursively("/"));
  ASSERT_EQ(chdir(base.c_str()), 0);
  EXPECT_TRUE(CreateDirectoryRecursively("rel/x"));
  EXPECT_TRUE(DirectoryExists(base + "/rel/x"));
  // A file in the way is a failure, not a success.
  std::ofstream(base + "/file") << "x";
  EXPECT_FALSE(CreateDirectoryRecursively(base + "/file"));
  EXPECT_EQ(GetLastError(), ENOTDIR);
  EXPECT_FALSE(CreateDirectoryRecursively(base + "/file/sub"));
}

TEST(Directories, SpoolTreeIsCreatedAndAFailureReported) {
  SetConfigDefaults();
  MailSpoolDirectory = ZelPath("/spooltest/deep/spool");
  EXPECT_TRUE(CreateSpoolDirectories({"incoming", "holding"}));
  EXPECT_TRUE(DirectoryExists(MailSpoolDirectory + "/incoming"));
  EXPECT_TRUE(DirectoryExists(MailSpoolDirectory + "/holding"));
  struct stat st;
  ASSERT_EQ(stat((MailSpoolDirectory + "/incoming").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);   // mail is private
  std::ofstream(MailSpoolDirectory + "/blocker") << "x";
  MailSpoolDirectory += "/blocker/inner";
  EXPECT_FALSE(CreateSpoolDirectories({"incoming"}));
}

TEST(DomainDirectories, DeviceNamesAndDotsGetATilde) {
  struct Case {
    const char *domain;
    const char *dir;
  } cases[] = {
      {"example.com", "/d/example.com"},
      {"com.example", "/d/~com.example"},
      {"Console.org", "/d/~Console.org"},
      {"AUXILIARY", "/d/~AUXILIARY"},
      {"nul", "/d/~nul"},
      {"prn.net", "/d/~prn.net"},
      {"lpt1.org", "/d/~lpt1.org"},
      {"co.uk", "/d/co.uk"},
      {"", "/d/$local$"},
      {"..", "/d/~.."},
      {".hidden", "/d/~.hidden"},
  };
  for (const Case &c : cases) {
    std::string dir;
    ASSERT_TRUE(CreateDomainDirectoryName("/d", c.domain, dir)) << c.domain;
    EXPECT_EQ(dir, c.dir);
    if (*c.domain != '\0') {
      EXPECT_EQ(CreateDomainNameFromDirectoryName(dir), c.domain);
    }
  }
  std::string dir;
  EXPECT_FALSE(CreateDomainDirectoryName("/d", "a/../../etc", dir));
  // No address reaches a mail host's queue: "#x" as a domain is "~#x",
  // and stays so on the way back; the mail host queue "#x" is its own.
  ASSERT_TRUE(CreateDomainDirectoryName("/d", "#mh.test", dir));
  EXPECT_EQ(dir, "/d/~#mh.test");
  EXPECT_EQ(CreateDomainNameFromDirectoryName(dir), "~#mh.test");
  ASSERT_TRUE(QueueDirectoryName("/d", "~#mh.test", dir));
  EXPECT_EQ(dir, "/d/~#mh.test");
  EXPECT_EQ(MailHostQueueName("MH.Test"), "#mh.test");
  ASSERT_TRUE(QueueDirectoryName("/d", "#mh.test", dir));
  EXPECT_EQ(dir, "/d/#mh.test");
  EXPECT_EQ(CreateDomainNameFromDirectoryName(dir), "#mh.test");
  for (const char *bad : {"", "a/b", "..", "-x", "a b", "a\\b"})
    EXPECT_EQ(MailHostQueueName(bad), "") << bad;
  EXPECT_FALSE(QueueDirectoryName("/d", "#../etc", dir));
}
