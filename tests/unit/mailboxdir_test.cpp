// The mailbox walk and its writes, as another user: files and directories
// belong to the owner with modes 0700 and 0600, also under a directory of
// root's, where root makes the mailbox and gives it away; links a user made
// and directories of a third user stop the walk before anything is
// written; root's mailboxes are handed to their owners without following
// a link. Needs root (to act as uid 65534); skipped otherwise.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "platform/mailboxdir.h"
#include "platform/pathusers.h"
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
    user_.bValid = user_.bHasIdentity = true;
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
  // A user's directory does not pass for another owner; a token without an
  // identity is no owner at all (the work would be done as root).
  LogonToken other = user_;
  other.Uid = kStranger;
  EXPECT_EQ(dir.Open(home + "/real", other, true), ERROR_MAILBOX_NOT_OWNED);
  LogonToken none;
  none.bValid = true;
  EXPECT_EQ(dir.Open(home + "/real", none, false), EINVAL);
  // A file in the way.
  Run("touch '" + home + "/file'");
  EXPECT_EQ(dir.Open(home + "/file/box", user_, true), ENOTDIR);
}

// Under a directory of root's the owner may not write: root makes the
// mailbox and gives it away through its descriptor, the directories above
// it stay root's and only passable; the owner then writes in it.
TEST_F(MailboxWalk, RootMakesTheMailboxUnderItsOwnDirectories) {
  std::string root = base_ + "/spool/boxes";
  MailboxDir dir;
  ASSERT_EQ(dir.Open(root + "/u", user_, true), ERROR_SUCCESS);
  ASSERT_TRUE(Copy(dir, "B1.MSG"));
  for (const std::string &d : {base_ + "/spool", root}) {
    EXPECT_EQ(Stat(d).st_uid, 0u) << d;
    EXPECT_EQ(Stat(d).st_mode & 07777, kMailboxRootMode) << d;
  }
  EXPECT_EQ(Stat(root + "/u").st_uid, kUser);
  EXPECT_EQ(Stat(root + "/u").st_mode & 07777, 0700u);
  EXPECT_EQ(Stat(root + "/u/B1.MSG").st_uid, kUser);
  // A root that let others change its entries gets nothing made by root.
  Run("mkdir -m 777 '" + base_ + "/open'");
  EXPECT_EQ(dir.Open(base_ + "/open/u", user_, true), ERROR_SUCCESS);
  EXPECT_EQ(Stat(base_ + "/open/u").st_uid, kUser);   // made by the owner itself
  // The root made by an older start (0700) is set right; a user's is not.
  Run("chmod 700 '" + root + "'");
  MailboxDir top;
  ASSERT_EQ(top.OpenRoot(root, false), ERROR_SUCCESS);
  EXPECT_EQ(Stat(root).st_mode & 07777, kMailboxRootMode);
  EXPECT_EQ(top.OpenRoot(base_ + "/new/root", true), ERROR_SUCCESS);
  EXPECT_EQ(Stat(base_ + "/new/root").st_mode & 07777, kMailboxRootMode);
}

// A mailbox root still owns is handed over whole, each entry through its
// descriptor; what a link points at and what is odd stays as it was.
TEST_F(MailboxWalk, HandOverGivesRootsMailboxToItsOwner) {
  std::string root = base_ + "/boxes", box = root + "/u";
  Run("mkdir -p '" + box + "/Folder/Sub' && touch '" + box + "/B1.MSG' '" + box +
      "/Folder/Sub/B2.MSG' '" + base_ + "/victim' && ln -s '" + base_ + "/victim' '" + box +
      "/link' && ln '" + box + "/B1.MSG' '" + box + "/hard' && mkfifo '" + box + "/fifo'");
  MailboxDir top;
  ASSERT_EQ(top.OpenRoot(root, false), ERROR_SUCCESS);
  std::vector<MailboxDirEntry> entries;
  ASSERT_TRUE(top.ListDirectories(entries));
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].Name, "u");
  EXPECT_EQ(entries[0].Owner, 0u);
  MailboxHandOver count;
  ASSERT_TRUE(top.GiveToOwner("u", user_, count));
  EXPECT_EQ(count.Mailboxes, 1u);
  EXPECT_EQ(count.LeftAlone, 4u);   // the link, the two names of B1.MSG, the FIFO
  for (const char *mine : {"", "/Folder", "/Folder/Sub", "/Folder/Sub/B2.MSG"})
    EXPECT_EQ(Stat(box + mine).st_uid, kUser) << mine;
  for (const std::string &left : {box + "/link", box + "/hard", box + "/fifo", base_ + "/victim"})
    EXPECT_EQ(Stat(left).st_uid, 0u) << left;
  // Done once: the mailbox is the owner's now.
  EXPECT_FALSE(top.GiveToOwner("u", user_, count));
  EXPECT_EQ(GetLastError(), ERROR_MAILBOX_NOT_OWNED);
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

// The move of a mailbox waits for the processes working in it: a child
// with its working directory, or a descriptor, inside the tree counts
// (a sibling whose name merely begins the same does not); the caller and
// a process that ended do not.
TEST(PathUsers, ProcessesWorkingInsideTheTree) {
  std::string base = std::string(std::getenv("ZEL_ROOT")) + "/pathusers";
  ASSERT_EQ(std::system(("rm -rf '" + base + "' && mkdir -p '" + base + "/box/sub' '" + base +
                         "/box2'").c_str()), 0);
  std::vector<pid_t> pids;
  int mine = open((base + "/box").c_str(), O_RDONLY | O_DIRECTORY);
  ASSERT_TRUE(ProcessesUsingTree(base + "/box", pids));
  EXPECT_TRUE(pids.empty());
  close(mine);
  for (const char *where : {"/box/sub", "/box2"}) {
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    pid_t child = fork();
    if (child == 0) {
      int fd = open((base + where).c_str(), O_RDONLY | O_DIRECTORY);
      (void)!write(ready[1], "x", 1);
      pause();
      _exit(fd < 0);
    }
    char c;
    ASSERT_EQ(read(ready[0], &c, 1), 1);
    ASSERT_TRUE(ProcessesUsingTree(base + "/box/", pids));
    EXPECT_EQ(pids, std::string(where) == "/box/sub" ? std::vector<pid_t>{child}
                                                       : std::vector<pid_t>{})
        << where;
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    close(ready[0]);
    close(ready[1]);
  }
  ASSERT_TRUE(ProcessesUsingTree(base + "/box", pids));
  EXPECT_TRUE(pids.empty());
}
