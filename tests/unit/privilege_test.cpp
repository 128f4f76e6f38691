// What root hands to the service account, in directories that account
// could have filled with links: a symbolic link or a second name of some
// other file is never given away, nor written through.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "platform/files.h"
#include "platform/msgcounter.h"
#include "platform/namedmutex.h"
#include "platform/privilege.h"
#include "platform/root.h"
#include "tests/unit/testutil.h"

namespace {

constexpr uid_t kNobody = 65534;

uid_t OwnerOf(const std::string &path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0 ? st.st_uid : static_cast<uid_t>(-1);
}

// A directory of the account holding a second name and a symbolic link of
// root's file "precious" (outside it), beside a file of its own.
TEST(HandOver, PlantedLinksAreNeverGivenAway) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to hand files over";
  const std::string precious = ZelRoot() + "/precious", dir = ZelRoot() + "/account";
  ASSERT_TRUE(CreateFileWithText(precious, "root's own", 0600));
  ASSERT_TRUE(CreateDirectoryPath(dir, 0700));
  ASSERT_EQ(chown(dir.c_str(), kNobody, kNobody), 0);
  ASSERT_EQ(link(precious.c_str(), (dir + "/hard").c_str()), 0);
  ASSERT_EQ(symlink(precious.c_str(), (dir + "/soft").c_str()), 0);
  ASSERT_TRUE(CreateFileWithText(dir + "/plain", "", 0600));

  EXPECT_FALSE(GiveFileToAccount(dir + "/hard", kNobody, kNobody, false));
  EXPECT_EQ(GetLastError(), EMLINK);
  EXPECT_FALSE(GiveFileToAccount(dir + "/soft", kNobody, kNobody, true));
  EXPECT_EQ(GetLastError(), ELOOP);
  EXPECT_TRUE(GiveFilesToAccount(dir, kNobody, kNobody));
  EXPECT_EQ(OwnerOf(dir + "/plain"), kNobody);
  EXPECT_EQ(OwnerOf(dir + "/soft"), 0u);

  // The mutex and counter directories are the account's too: root neither
  // locks, hands over nor writes a second name planted there.
  const std::string mutexes = MutexDirectory(), store = MsgCounterPath();
  ASSERT_TRUE(CreateDirectoryPath(mutexes, 0700));
  ASSERT_TRUE(CreateDirectoryPath(store.substr(0, store.rfind('/')), 0700));
  unlink(store.c_str());
  ASSERT_EQ(link(precious.c_str(), (mutexes + "/test-planted").c_str()), 0);
  ASSERT_EQ(link(precious.c_str(), store.c_str()), 0);
  ASSERT_EQ(chown(mutexes.c_str(), kNobody, kNobody), 0);
  NamedMutexLock mutex;
  EXPECT_EQ(mutex.Wait("test-planted", 0), WAIT_FAILED);
  EXPECT_EQ(GetLastError(), EMLINK);
  EXPECT_EQ(SetMsgCounter(true, 7, 1000), EMLINK);

  EXPECT_EQ(OwnerOf(precious), 0u);
  EXPECT_EQ(Slurp(precious), "root's own");
  unlink(store.c_str());
  ASSERT_EQ(chown(mutexes.c_str(), 0, 0), 0);
}

}  // namespace
