// The mailbox walk and its writes, as another user: files and directories
// belong to the owner with modes 0700 and 0600; links a user made and
// directories of a third user stop the walk before anything is written.
// Needs root (to act as uid 65534); skipped otherwise.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "platform/mailboxdir.h"
#include "tests/unit/testutil.h"

namespace {

constexpr uid_t kUser = 65534;   // nobody
constexpr uid_t kStranger = 1;   // daemon

class MailboxWalk : public ::testing::Test {
 protected:
  void SetUp() override {
    if (geteuid() != 0) GTEST_SKIP() << "acting as another user needs root";
    base_ = std::string(std::getenv("ZEL_ROOT")) + "/mbwalk";
    Run("rm -rf '" + base_ + "' && mkdir -p '" + base_ + "/home/u' && chmod 755 '" +
        std::getenv("ZEL_ROOT") + "' '" + base_ + "' '" + base_ + "/home' && chown 65534:65534 '" +
        base_ + "/home/u'");
    user_.bValid = user_.bHostAccount = true;
    user_.Uid = kUser;
    user_.Gid = kUser;
    source_ = base_ + "/source";
    std::string text = "Subject: hi\r\n\r\nbody\r\n.\r\n";
    int fd = open(source_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ASSERT_EQ(write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    close(fd);
  }

  static void Run(const std::string &cmd) { ASSERT_EQ(std::system(cmd.c_str()), 0) << cmd; }

  static struct stat Stat(const std::string &path) {
    struct stat st = {};
    EXPECT_EQ(lstat(path.c_str(), &st), 0) << path;
    return st;
  }

  bool Copy(const MailboxDir &dir, const char *name) {
    int fd = open(source_.c_str(), O_RDONLY);
    bool ok = dir.CopyFileIn(fd, name);
    close(fd);
    return ok;
  }

  std::string base_, source_;
  LogonToken user_;
};

TEST_F(MailboxWalk, EverythingIsMadeAsTheOwner) {
  std::string box = base_ + "/home/u/mail/in";
  MailboxDir dir;
  EXPECT_EQ(dir.Open(box, user_, false), ENOENT);
  ASSERT_EQ(dir.Open(box, user_, true), ERROR_SUCCESS);
  for (const std::string &d : {base_ + "/home/u/mail", box}) {
    EXPECT_EQ(Stat(d).st_uid, kUser) << d;
    EXPECT_EQ(Stat(d).st_mode & 07777, 0700u) << d;
  }
  ASSERT_TRUE(Copy(dir, "B1.MSG"));
  EXPECT_FALSE(Copy(dir, "B1.MSG"));
  EXPECT_EQ(GetLastError(), ERROR_FILE_EXISTS);
  ASSERT_TRUE(dir.ReplaceFile("MEMO.TXT", "one\n"));
  ASSERT_TRUE(dir.ReplaceFile("MEMO.TXT", "two\n"));
  int fd = dir.OpenFile("LOG.TXT", true);
  ASSERT_GE(fd, 0);
  close(fd);
  for (const char *name : {"B1.MSG", "MEMO.TXT", "LOG.TXT"}) {
    struct stat st = Stat(box + "/" + name);
    EXPECT_EQ(st.st_uid, kUser) << name;
    EXPECT_EQ(st.st_gid, kUser) << name;
    EXPECT_EQ(st.st_mode & 07777, 0600u) << name;
  }
  EXPECT_EQ(Slurp(box + "/B1.MSG"), Slurp(source_));
  EXPECT_EQ(Slurp(box + "/MEMO.TXT"), "two\n");
  EXPECT_TRUE(dir.FileExists("B1.MSG"));
  EXPECT_FALSE(dir.FileExists("../source"));
  Run("test $(ls -A '" + box + "' | wc -l) -eq 3");   // no temporary left
  // The owner's own rights count: a directory the user may not write fails.
  Run("chmod 500 '" + box + "'");
  EXPECT_FALSE(Copy(dir, "B2.MSG"));
  EXPECT_EQ(GetLastError(), EACCES);
}

TEST_F(MailboxWalk, LinksAndStrangersStopTheWalk) {
  std::string home = base_ + "/home/u";
  Run("mkdir -p '" + base_ + "/victim' '" + home + "/real' && chown 65534 '" + home + "/real'");
  // The user swaps the mailbox for a link to someone else's directory.
  Run("ln -s '" + base_ + "/victim' '" + home + "/mail' && chown -h 65534 '" + home + "/mail'");
  MailboxDir dir;
  EXPECT_EQ(dir.Open(home + "/mail", user_, true), ELOOP);
  // Even root's own link inside the user's directory is not followed.
  Run("ln -s real '" + home + "/rootlink'");
  EXPECT_EQ(dir.Open(home + "/rootlink", user_, true), ELOOP);
  EXPECT_FALSE(dir.IsOpen());
  Run("test -z \"$(ls -A '" + base_ + "/victim')\"");
  // A directory of a third user on the way.
  Run("mkdir '" + home + "/other' && chown " + std::to_string(kStranger) + " '" + home +
      "/other'");
  EXPECT_EQ(dir.Open(home + "/other/box", user_, true), ERROR_MAILBOX_NOT_OWNED);
  EXPECT_NE(access((home + "/other/box").c_str(), F_OK), 0);
  // A user's directory does not pass for an accounts-file user (the
  // agent's own identity owns those mailboxes).
  LogonToken agent;
  agent.bValid = true;
  EXPECT_EQ(dir.Open(home + "/real", agent, true), ERROR_MAILBOX_NOT_OWNED);
  // A file in the way.
  Run("touch '" + home + "/file'");
  EXPECT_EQ(dir.Open(home + "/file/box", user_, true), ENOTDIR);
}

TEST_F(MailboxWalk, RootsLinksInRootsDirectoriesAreFollowed) {
  Run("ln -s home '" + base_ + "/homes' && ln -s '" + base_ + "/home/u' '" + base_ + "/abs'");
  MailboxDir dir;
  ASSERT_EQ(dir.Open(base_ + "/homes/u/mail", user_, true), ERROR_SUCCESS);
  ASSERT_EQ(dir.Open(base_ + "/abs/mail", user_, true), ERROR_SUCCESS);
  ASSERT_TRUE(Copy(dir, "B3.MSG"));
  EXPECT_EQ(Stat(base_ + "/home/u/mail/B3.MSG").st_uid, kUser);
  // A link loop ends.
  Run("ln -s loop2 '" + base_ + "/loop1' && ln -s loop1 '" + base_ + "/loop2'");
  EXPECT_EQ(dir.Open(base_ + "/loop1/x", user_, true), ELOOP);
  // Relative paths are refused.
  EXPECT_EQ(dir.Open("home/u", user_, false), EINVAL);
}

}  // namespace
