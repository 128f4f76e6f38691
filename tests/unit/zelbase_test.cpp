// Tests of libzelbase (wildcard match, directory lock, message identifiers)
// and of the platform pieces under it (lock file, named mutex). Processes
// are forked to show that a dead holder frees what it held, and several
// msgid_client processes race for identifiers.
#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <fstream>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <sqlite3.h>

#include "platform/files.h"
#include "platform/lockfile.h"
#include "platform/msgcounter.h"
#include "platform/namedmutex.h"
#include "platform/registry.h"
#include "platform/root.h"
#include "platform/sync.h"
#include "zelbase/zelbase.h"

namespace {

// ---------------------------------------------------------------- WildMatch

struct WildCase {
  const char *text;
  const char *mask;
  bool match;
};

TEST(WildMatch, Table) {
  const WildCase cases[] = {
      // An empty text matches only "" and "*".
      {"", "", true},
      {"", "*", true},
      {"", "**", false},
      {"", "a", false},
      {"", "a*", false},
      // Without "*": equality ignoring case.
      {"Postmaster", "postmaster", true},
      {"postmaster", "postmaste", false},
      {"postmaste", "postmaster", false},
      {"x", "", false},
      // A prefix and "*" (or "**"): every text with the prefix.
      {"ABcdef", "ab*", true},
      {"ABcdef", "ab**", true},
      {"ab", "ab*", true},
      {"a", "ab*", false},
      {"xabc", "ab*", false},
      // One letter between two "*": every text holding it.
      {"mary", "*r*", true},
      {"R", "*r*", true},
      {"mary", "*z*", false},
      // "*" and a suffix.
      {"host.example.COM", "*.com", true},
      {"example.org", "*.com", false},
      {"anything", "*", true},
      // No backtracking: the suffix binds to its first occurrence.
      {"a.com.com", "*.com", false},
      {"list-request-request", "*-request", false},
      {"abXcdYcd", "ab*cd", false},
      // Prefix, infix, suffix.
      {"owner-mylist", "owner-*", true},
      {"abXcdYef", "ab*cd*ef", true},
      {"abXcdYefZ", "ab*cd*ef", false},
      {"abXcdYef", "ab*CD*", true},
      {"abXYef", "ab*cd*", false},
      // The segment is searched only behind the prefix.
      {"abc", "abc*c", false},
      {"abcc", "abc*c", true},
      // Case folding is ASCII only; other bytes compare exactly.
      {"\xC4rger", "\xE4rger", false},
      {"\xC4rger", "\xC4RGER", true},
  };
  for (const auto &c : cases)
    EXPECT_EQ(WildMatch(c.text, c.mask), c.match) << '"' << c.text << "\" vs \"" << c.mask << '"';
}

TEST(WildMatch, NullArgumentsNeverMatch) {
  EXPECT_FALSE(WildMatch(nullptr, "*"));
  EXPECT_FALSE(WildMatch("a", nullptr));
}

TEST(WildMatch, LongSegmentsAreSearchedWhole) {
  // A segment longer than any alias mask still binds where it really occurs.
  std::string seg(200, 'a');
  std::string text = seg.substr(0, 150) + "c" + seg + "b";
  EXPECT_TRUE(WildMatch(text.c_str(), ("*" + seg + "b").c_str()));
}

// ------------------------------------------------------------ helpers

// A fresh directory below the scratch root, named after the running test.
std::string FreshDir(const char *what) {
  const auto *info = testing::UnitTest::GetInstance()->current_test_info();
  std::string dir = ZelRoot() + "/t-" + info->test_suite_name() + "-" + info->name() + what;
  std::string cmd = "rm -rf '" + dir + "'";
  (void)!std::system(cmd.c_str());
  EXPECT_EQ(mkdir(dir.c_str(), 0755), 0) << dir;
  return dir;
}

bool Exists(const std::string &path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

// Runs fn in a child process and returns its exit status (-1: did not exit).
template <typename Fn>
int InChild(Fn fn) {
  pid_t pid = fork();
  if (pid == 0) _exit(fn());
  int status = 0;
  if (pid < 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

// A live holder in another process: forks a child that runs take() (true
// when it got what it takes) and then holds on until KillChild(). What
// take() takes must outlive it (a handle, or an object on the child's heap).
// The child's pid once it has taken it; -1 (and no child) otherwise.
void KillChild(pid_t pid) {
  kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
}

template <typename Fn>
pid_t HoldInChild(Fn take) {
  int ready[2];
  if (pipe(ready) != 0) return -1;
  pid_t pid = fork();
  if (pid == 0) {
    char ok = take() ? 'y' : 'n';
    (void)!write(ready[1], &ok, 1);
    pause();
    _exit(0);
  }
  char ok = 0;
  bool took = pid > 0 && read(ready[0], &ok, 1) == 1 && ok == 'y';
  close(ready[0]);
  close(ready[1]);
  if (pid > 0 && !took) KillChild(pid);
  return took ? pid : -1;
}

// Counts how often two holders were inside at once; lives in memory shared
// with forked children.
struct Overlap {
  std::atomic<int> inside{0};
  std::atomic<int> clashes{0};
  std::atomic<int> entries{0};
  void Enter() {
    if (inside.fetch_add(1) != 0) clashes.fetch_add(1);
    entries.fetch_add(1);
  }
  void Leave() { inside.fetch_sub(1); }
};

Overlap *SharedOverlap() {
  void *p = mmap(nullptr, sizeof(Overlap), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  return p == MAP_FAILED ? nullptr : new (p) Overlap;
}

// ---------------------------------------------------------------- LockDir

// A child process that holds the lock of dir until KillChild.
pid_t HoldDirInChild(const std::string &dir) {
  return HoldInChild([&] {
    ZEL_LOCK_HANDLE h;
    return LockDir(dir.c_str(), 0, &h);
  });
}

TEST(LockDir, MissingDirectoryFailsAtOnce) {
  std::string dir = ZelRoot() + "/no-such-directory";
  ZEL_LOCK_HANDLE h = 123;
  long long start = MonotonicMs();
  errno = 0;
  EXPECT_FALSE(LockDir(dir.c_str(), 5000, &h));
  EXPECT_EQ(errno, ENOENT);
  EXPECT_EQ(h, INVALID_LOCK_HANDLE);
  EXPECT_LT(MonotonicMs() - start, 50);
}

TEST(LockDir, RefusesBadArgumentsAtOnce) {
  ZEL_LOCK_HANDLE h;
  EXPECT_FALSE(LockDir(nullptr, 1000, &h));
  EXPECT_FALSE(LockDir("", 1000, &h));
  EXPECT_EQ(h, INVALID_LOCK_HANDLE);
  // Too long for a path: refused, never cut to some other file's name.
  std::string longDir = ZelRoot() + "/" + std::string(5000, 'd');
  errno = 0;
  EXPECT_FALSE(LockDir(longDir.c_str(), 1000, &h));
  EXPECT_EQ(errno, ENAMETOOLONG);
}

TEST(LockDir, LockFileExistsExactlyWhileHeld) {
  std::string dir = FreshDir("");
  std::string file = dir + "/$LockFile";
  ZEL_LOCK_HANDLE h = INVALID_LOCK_HANDLE;
  ASSERT_TRUE(LockDir(dir.c_str(), 0, &h));
  EXPECT_NE(h, INVALID_LOCK_HANDLE);
  EXPECT_TRUE(Exists(file));
  EXPECT_TRUE(UnlockDir(dir.c_str(), h));
  EXPECT_FALSE(Exists(file));
  // Relocking works and the directory's other files are untouched.
  ASSERT_TRUE(LockDir(dir.c_str(), 0, &h));
  UnlockDir(nullptr, h);
}

// A bounded wait ends at its time-out, or as soon as the holder lets go
// (the holder is another thread here, a dead process below), never on a
// polling tick. A wait that gave up leaves nothing held behind.
TEST(LockDir, BoundedWaitEndsAtTimeOutOrRelease) {
  std::string dir = FreshDir("");
  ZEL_LOCK_HANDLE held, second;
  ASSERT_TRUE(LockDir(dir.c_str(), 0, &held));
  long long start = MonotonicMs();
  errno = 0;
  EXPECT_FALSE(LockDir(dir.c_str(), 300, &second));
  long long took = MonotonicMs() - start;
  EXPECT_EQ(errno, EEXIST);
  EXPECT_EQ(second, INVALID_LOCK_HANDLE);
  EXPECT_GE(took, 300);
  EXPECT_LT(took, 600);
  std::atomic<long long> unlockedAt{0};
  std::thread holder([&] {
    Sleep(200);
    unlockedAt = MonotonicMs();
    UnlockDir(dir.c_str(), held);
  });
  EXPECT_TRUE(LockDir(dir.c_str(), 5000, &second));
  long long after = MonotonicMs() - unlockedAt.load();
  holder.join();
  EXPECT_LE(after, 100);
  UnlockDir(dir.c_str(), second);
  EXPECT_FALSE(Exists(dir + "/$LockFile"));
  EXPECT_TRUE(LockDir(dir.c_str(), 0, &second));
  UnlockDir(dir.c_str(), second);
}

TEST(LockDir, DeadHolderWakesABoundedWait) {
  std::string dir = FreshDir("");
  pid_t holder = HoldDirInChild(dir);
  ASSERT_GT(holder, 0);
  std::thread killer([&] {
    Sleep(200);
    KillChild(holder);
  });
  long long start = MonotonicMs();
  ZEL_LOCK_HANDLE h;
  EXPECT_TRUE(LockDir(dir.c_str(), 10000, &h));
  EXPECT_LT(MonotonicMs() - start, 2000);
  killer.join();
  UnlockDir(dir.c_str(), h);
}

TEST(LockDir, WaitForeverSucceedsSoonAfterUnlock) {
  std::string dir = FreshDir("");
  ZEL_LOCK_HANDLE held;
  ASSERT_TRUE(LockDir(dir.c_str(), 0, &held));
  std::atomic<long long> unlockedAt{0};
  std::thread holder([&] {
    Sleep(350);
    unlockedAt = MonotonicMs();
    UnlockDir(dir.c_str(), held);
  });
  ZEL_LOCK_HANDLE mine;
  EXPECT_TRUE(LockDir(dir.c_str(), LOCKDIR_WAIT_FOREVER, &mine));
  long long after = MonotonicMs() - unlockedAt.load();
  holder.join();
  EXPECT_LE(after, 200);
  UnlockDir(dir.c_str(), mine);
}

TEST(LockDir, UnlockIgnoresHandlesItDidNotGive) {
  EXPECT_TRUE(UnlockDir("/nowhere", INVALID_LOCK_HANDLE));
  // Another descriptor of the process is not closed by mistake.
  int fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  EXPECT_TRUE(UnlockDir("/nowhere", fd));
  EXPECT_NE(fcntl(fd, F_GETFD), -1);
  close(fd);
}

TEST(LockDir, DeadHoldersLockIsTakenOver) {
  std::string dir = FreshDir("");
  // The child locks and dies without unlocking; its file stays behind.
  int rc = InChild([&] {
    ZEL_LOCK_HANDLE h;
    return LockDir(dir.c_str(), 0, &h) ? 0 : 1;
  });
  ASSERT_EQ(rc, 0);
  ASSERT_TRUE(Exists(dir + "/$LockFile"));
  ZEL_LOCK_HANDLE h;
  long long start = MonotonicMs();
  EXPECT_TRUE(LockDir(dir.c_str(), 0, &h));
  EXPECT_LT(MonotonicMs() - start, 50);
  // The adopted file is held for real: a second taker is kept out.
  ZEL_LOCK_HANDLE other;
  EXPECT_FALSE(LockDir(dir.c_str(), 0, &other));
  UnlockDir(dir.c_str(), h);
  EXPECT_FALSE(Exists(dir + "/$LockFile"));
}

TEST(LockDir, LiveHolderInAnotherProcessKeepsItsLock) {
  std::string dir = FreshDir("");
  pid_t holder = HoldDirInChild(dir);
  ASSERT_GT(holder, 0);
  ZEL_LOCK_HANDLE h;
  EXPECT_FALSE(LockDir(dir.c_str(), 0, &h));
  KillChild(holder);
  EXPECT_TRUE(LockDir(dir.c_str(), 0, &h));
  UnlockDir(dir.c_str(), h);
}

TEST(LockDir, OnlyRegularFilesAreAdopted) {
  std::string dir = FreshDir("");
  std::string target = dir + "/precious";
  FILE *f = std::fopen(target.c_str(), "w");
  ASSERT_NE(f, nullptr);
  std::fclose(f);
  ASSERT_EQ(symlink(target.c_str(), (dir + "/$LockFile").c_str()), 0);
  ZEL_LOCK_HANDLE h;
  errno = 0;
  EXPECT_FALSE(LockDir(dir.c_str(), 5000, &h));  // fails at once, no wait
  EXPECT_EQ(errno, ELOOP);
  EXPECT_TRUE(Exists(target));
  unlink((dir + "/$LockFile").c_str());
  ASSERT_EQ(mkdir((dir + "/$LockFile").c_str(), 0755), 0);
  errno = 0;
  EXPECT_FALSE(LockDir(dir.c_str(), 5000, &h));
  EXPECT_EQ(errno, EINVAL);
}

TEST(LockDir, ThreadsOfOneProcessExcludeEachOther) {
  std::string dir = FreshDir("");
  Overlap overlap;
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 5; ++i) {
        DirLock lock;
        if (!lock.Lock(dir.c_str(), LOCKDIR_WAIT_FOREVER)) continue;
        overlap.Enter();
        Sleep(2);
        overlap.Leave();
      }
    });
  }
  for (auto &t : threads) t.join();
  EXPECT_EQ(overlap.entries.load(), 20);
  EXPECT_EQ(overlap.clashes.load(), 0);
  EXPECT_FALSE(Exists(dir + "/$LockFile"));
}

TEST(LockDir, HolderScopeReleases) {
  std::string dir = FreshDir("");
  {
    DirLock lock;
    ASSERT_TRUE(lock.Lock(dir.c_str(), 0));
    EXPECT_TRUE(lock.Held());
    DirLock moved(std::move(lock));
    EXPECT_FALSE(lock.Held());
    EXPECT_TRUE(moved.Held());
    EXPECT_TRUE(Exists(dir + "/$LockFile"));
  }
  EXPECT_FALSE(Exists(dir + "/$LockFile"));
}

// Several processes take and release the lock file as fast as they can, so
// that creators, adopters and releasers meet in every order; at no moment may
// two of them hold it.
TEST(LockFile, RacingProcessesNeverShareTheLock) {
  std::string path = FreshDir("") + "/$LockFile";
  Overlap *overlap = SharedOverlap();
  ASSERT_NE(overlap, nullptr);
  constexpr int kProcesses = 4, kRounds = 400;
  std::vector<pid_t> pids;
  for (int p = 0; p < kProcesses; ++p) {
    pid_t pid = fork();
    if (pid == 0) {
      const long long giveUp = MonotonicMs() + 20000;  // a leaked lock must not hang the test
      for (int i = 0; i < kRounds;) {
        int fd = -1;
        long rc = TryLockFile(path, &fd);
        if (rc == EEXIST && MonotonicMs() > giveUp) _exit(2);
        if (rc == EEXIST) continue;
        if (rc != ERROR_SUCCESS) _exit(1);
        overlap->Enter();
        usleep(50);  // a window in which a wrongful second holder shows
        overlap->Leave();
        ReleaseLockFile(fd);
        ++i;
      }
      _exit(0);
    }
    pids.push_back(pid);
  }
  for (pid_t pid : pids) {
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  EXPECT_EQ(overlap->entries.load(), kProcesses * kRounds);
  EXPECT_EQ(overlap->clashes.load(), 0);
  EXPECT_FALSE(Exists(path));
  munmap(overlap, sizeof *overlap);
}

// No other user may open a lock or mutex file (whoever can open one can
// flock it and stall the writers); a lock that root makes in a directory of
// another owner is that owner's, who can adopt it after root's holder died.
TEST(LockDir, LocksAndMutexesArePrivate) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to play another user";
  const uid_t kNobody = 65534;
  ASSERT_EQ(chmod(ZelRoot().c_str(), 0755), 0);
  std::string dir = FreshDir("");
  ZEL_LOCK_HANDLE h;
  ASSERT_TRUE(LockDir(dir.c_str(), 0, &h));
  NamedMutexLock mutex;
  ASSERT_EQ(mutex.Wait("test-private", 0), WAIT_OBJECT_0);
  auto asNobody = [&](auto fn) {
    return InChild([&] {
      if (setgid(kNobody) != 0 || setuid(kNobody) != 0) return 99;
      return fn();
    });
  };
  EXPECT_EQ(asNobody([&] {
              int lock = open((dir + "/$LockFile").c_str(), O_RDONLY);
              int mtx = open(NamedMutexPath("test-private").c_str(), O_RDONLY);
              return (lock < 0 && errno == EACCES ? 0 : 1) + (mtx < 0 ? 0 : 2);
            }),
            0);
  UnlockDir(dir.c_str(), h);
  ASSERT_EQ(chown(dir.c_str(), kNobody, kNobody), 0);
  ASSERT_EQ(InChild([&] { return LockDir(dir.c_str(), 0, &h) ? 0 : 1; }), 0);   // dies holding it
  struct stat st;
  ASSERT_EQ(stat((dir + "/$LockFile").c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, kNobody);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_EQ(asNobody([&] { return LockDir(dir.c_str(), 0, &h) ? 0 : 1; }), 0);
}

// The requests this process has queued for the flock of the file at path:
// the lines "N: -> FLOCK ..." of /proc/locks with its pid and the inode.
int QueuedFlocks(const std::string &path) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) return -1;
  const std::string pid = " " + std::to_string(getpid()) + " ";
  const std::string inode = ":" + std::to_string(st.st_ino) + " ";
  std::ifstream locks("/proc/locks");
  int queued = 0;
  for (std::string line; std::getline(locks, line);) {
    if (line.find("->") != std::string::npos && line.find(pid) != std::string::npos &&
        line.find(inode) != std::string::npos)
      ++queued;
  }
  return queued;
}

// A bounded wait that timed out leaves no request queued that could take
// the lock afterwards (and hold it, however briefly, for nobody): when the
// holder lets go, another process gets each lock at once.
TEST(LockWait, AWaitThatGaveUpLeavesNothingBehind) {
  const std::string dir = FreshDir(""), file = dir + "/B1.RCP";
  ASSERT_TRUE(CreateFileWithText(file, "", 0600));
  ZEL_LOCK_HANDLE held, other;
  NamedMutexLock mutexHeld, mutexOther;
  int fileHeld = -1, fileOther = -1;
  ASSERT_TRUE(LockDir(dir.c_str(), 0, &held));
  ASSERT_EQ(mutexHeld.Wait("test-gave-up", 0), WAIT_OBJECT_0);
  ASSERT_EQ(TryLockExistingFile(file, &fileHeld), ERROR_SUCCESS);
  EXPECT_FALSE(LockDir(dir.c_str(), 50, &other));
  EXPECT_EQ(mutexOther.Wait("test-gave-up", 50), WAIT_TIMEOUT);
  EXPECT_EQ(LockExistingFileWithin(file, 50, &fileOther), ERROR_ALREADY_EXISTS);
  EXPECT_EQ(QueuedFlocks(dir + "/$LockFile"), 0);
  EXPECT_EQ(QueuedFlocks(NamedMutexPath("test-gave-up")), 0);
  EXPECT_EQ(QueuedFlocks(file), 0);
  UnlockDir(dir.c_str(), held);
  mutexHeld.Release();
  close(fileHeld);
  EXPECT_EQ(InChild([&] {
              ZEL_LOCK_HANDLE h;
              NamedMutexLock m;
              int fd;
              return LockDir(dir.c_str(), 0, &h) && m.Wait("test-gave-up", 0) == WAIT_OBJECT_0 &&
                             TryLockExistingFile(file, &fd) == ERROR_SUCCESS
                         ? 0
                         : 1;
            }),
            0);
}

// ------------------------------------------------------------ NamedMutex

TEST(NamedMutex, TimesOutWhileHeld) {
  NamedMutexLock held, other;
  ASSERT_EQ(held.Wait("test-timeout", 0), WAIT_OBJECT_0);
  long long start = MonotonicMs();
  EXPECT_EQ(other.Wait("test-timeout", 300), WAIT_TIMEOUT);
  long long took = MonotonicMs() - start;
  EXPECT_GE(took, 300);
  EXPECT_LT(took, 600);
  EXPECT_FALSE(other.Held());
  EXPECT_EQ(other.Wait("test-timeout", 0), WAIT_TIMEOUT);
  held.Release();
  EXPECT_EQ(other.Wait("test-timeout", 0), WAIT_OBJECT_0);
}

TEST(NamedMutex, WaitForeverGetsItOnRelease) {
  NamedMutexLock held;
  ASSERT_EQ(held.Wait("test-forever", INFINITE), WAIT_OBJECT_0);
  std::thread releaser([&] {
    Sleep(200);
    held.Release();
  });
  NamedMutexLock mine;
  long long start = MonotonicMs();
  EXPECT_EQ(mine.Wait("test-forever", INFINITE), WAIT_OBJECT_0);
  EXPECT_GE(MonotonicMs() - start, 150);
  releaser.join();
}

TEST(NamedMutex, DeadHolderReleasesIt) {
  pid_t holder = HoldInChild([] {
    auto *lock = new NamedMutexLock;  // held by the child until it is killed
    return lock->Wait("test-dead", 0) == WAIT_OBJECT_0;
  });
  ASSERT_GT(holder, 0);
  NamedMutexLock mine;
  EXPECT_EQ(mine.Wait("test-dead", 100), WAIT_TIMEOUT);
  KillChild(holder);
  EXPECT_EQ(mine.Wait("test-dead", 0), WAIT_OBJECT_0);
}

TEST(NamedMutex, ThreadsExcludeEachOther) {
  Overlap overlap;
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 50; ++i) {
        NamedMutexLock lock;
        if (lock.Wait("test-threads", 5000) != WAIT_OBJECT_0) continue;
        overlap.Enter();
        overlap.Leave();
      }
    });
  }
  for (auto &t : threads) t.join();
  EXPECT_EQ(overlap.entries.load(), 200);
  EXPECT_EQ(overlap.clashes.load(), 0);
}

TEST(NamedMutex, RefusesNamesOutsideItsDirectory) {
  for (const char *name : {"", ".", "..", "a/b", "../registry.db"}) {
    NamedMutexLock lock;
    EXPECT_EQ(lock.Wait(name, 0), WAIT_FAILED) << name;
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  }
  EXPECT_EQ(NamedMutexPath(std::string(kMaxMutexNameLength + 1, 'm')), "");
}

TEST(NamedMutex, CreatesItsDirectory) {
  std::string cmd = "rm -rf '" + MutexDirectory() + "'";
  ASSERT_EQ(std::system(cmd.c_str()), 0);
  NamedMutexLock lock;
  EXPECT_EQ(lock.Wait("test-mkdir", 0), WAIT_OBJECT_0);
  EXPECT_TRUE(Exists(MutexDirectory() + "/test-mkdir"));
}

// ------------------------------------------------------ CreateUniqueMsgId

constexpr const char *kMsgIdMutex = "TALVO-ZEL-MessageID-Mutex";
// Identifiers a process reserves at a time.
constexpr DWORD kMsgIdBlock = 1000;

// Sets LastMsgId (absent when value is null) in the suite key.
void SetLastMsgId(const DWORD *value) {
  RegKey key;
  ASSERT_EQ(RegCreateKeyEx(HKEY_LOCAL_MACHINE, "Software\\TALVO\\ZEL", KEY_ALL_ACCESS, key.out(), nullptr),
            ERROR_SUCCESS);
  if (value == nullptr) {
    long rc = RegDeleteValue(key.get(), "LastMsgId");
    ASSERT_TRUE(rc == ERROR_SUCCESS || rc == ERROR_FILE_NOT_FOUND);
  } else {
    ASSERT_EQ(RegSetValueEx(key.get(), "LastMsgId", REG_DWORD, value, sizeof *value), ERROR_SUCCESS);
  }
}

// LastMsgId as stored; false when absent or not a DWORD.
bool GetLastMsgId(DWORD *value) {
  RegKey key;
  if (RegOpenKeyEx(HKEY_LOCAL_MACHINE, "Software\\TALVO\\ZEL", KEY_READ, key.out()) != ERROR_SUCCESS)
    return false;
  DWORD type = 0, size = sizeof *value;
  return RegQueryValueEx(key.get(), "LastMsgId", &type, value, &size) == ERROR_SUCCESS &&
         type == REG_DWORD && size == sizeof *value;
}

// The counter is a block ahead of what was handed out: LastMsgId covers
// every identifier given, and moves once per block.
TEST(CreateUniqueMsgId, FirstIdentifierIsOneAndABlockIsReserved) {
  SetLastMsgId(nullptr);
  char id[32];
  ASSERT_TRUE(CreateUniqueMsgId(id, sizeof id, 1000));
  EXPECT_STREQ(id, "B0000000001");
  DWORD last = 0;
  ASSERT_TRUE(GetLastMsgId(&last));
  EXPECT_EQ(last, kMsgIdBlock);
  ASSERT_TRUE(CreateUniqueMsgId(id, sizeof id, 1000));
  EXPECT_STREQ(id, "B0000000002");
  ASSERT_TRUE(GetLastMsgId(&last));
  EXPECT_EQ(last, kMsgIdBlock);
}

// A value set through the registry takes effect at once, also lower than a
// block the process holds.
TEST(CreateUniqueMsgId, SmallBufferLeavesCounterAlone) {
  const DWORD start = 41;
  SetLastMsgId(&start);
  char id[32] = "untouched";
  EXPECT_FALSE(CreateUniqueMsgId(id, 15, 1000));
  EXPECT_FALSE(CreateUniqueMsgId(nullptr, 32, 1000));
  EXPECT_STREQ(id, "untouched");
  DWORD last = 0;
  ASSERT_TRUE(GetLastMsgId(&last));
  EXPECT_EQ(last, start);
  ASSERT_TRUE(CreateUniqueMsgId(id, 16, 1000));
  EXPECT_STREQ(id, "B0000000042");
}

TEST(CreateUniqueMsgId, WrapsToOneNeverZero) {
  const DWORD nearEnd = 0xFFFFFFFE;
  SetLastMsgId(&nearEnd);
  char id[32];
  ASSERT_TRUE(CreateUniqueMsgId(id, sizeof id, 1000));
  EXPECT_STREQ(id, "B4294967295");
  DWORD last = 0;
  ASSERT_TRUE(GetLastMsgId(&last));
  EXPECT_EQ(last, 0xFFFFFFFFu);   // the block ends with the numbers
  ASSERT_TRUE(CreateUniqueMsgId(id, sizeof id, 1000));
  EXPECT_STREQ(id, "B0000000001");
  ASSERT_TRUE(GetLastMsgId(&last));
  EXPECT_EQ(last, kMsgIdBlock);
}

// The store holds a number only; a store whose records are both spoilt is
// refused, never read as some number, until a value is set again.
TEST(CreateUniqueMsgId, DamagedCounterIsNotGuessed) {
  RegKey key;
  ASSERT_EQ(RegCreateKeyEx(HKEY_LOCAL_MACHINE, "Software\\TALVO\\ZEL", KEY_ALL_ACCESS, key.out(),
                           nullptr),
            ERROR_SUCCESS);
  const char text[] = "12";
  EXPECT_EQ(RegSetValueEx(key.get(), "LastMsgId", REG_SZ, text, sizeof text),
            ERROR_INVALID_PARAMETER);
  const DWORD start = 12;
  SetLastMsgId(&start);
  std::string junk(kMsgCounterFileSize, 'x');
  int fd = open(MsgCounterPath().c_str(), O_WRONLY);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(pwrite(fd, junk.data(), junk.size(), 0), static_cast<ssize_t>(junk.size()));
  close(fd);
  char id[32];
  errno = 0;
  EXPECT_FALSE(CreateUniqueMsgId(id, sizeof id, 1000));
  EXPECT_EQ(errno, EBADMSG);
  DWORD value = 0, size = sizeof value;
  EXPECT_EQ(RegQueryValueEx(key.get(), "LastMsgId", nullptr, &value, &size), ERROR_INVALID_DATA);
  SetLastMsgId(&start);
  ASSERT_TRUE(CreateUniqueMsgId(id, sizeof id, 1000));
  EXPECT_STREQ(id, "B0000000013");
}

// Each record holds a sequence number and a checksum; the newer whole one
// counts, so a write cut short leaves the value before it.
TEST(MsgCounter, TheNewerWholeRecordCounts) {
  const DWORD start = 500;
  SetLastMsgId(&start);   // sequence n
  SetLastMsgId(&start);   // n + 1, in the other record
  const DWORD higher = 600;
  SetLastMsgId(&higher);  // n + 2, over the first
  std::string file(kMsgCounterFileSize + 100, '\0');
  int fd = open(MsgCounterPath().c_str(), O_RDONLY);
  ASSERT_GE(fd, 0);
  file.resize(static_cast<size_t>(read(fd, file.data(), file.size())));
  close(fd);
  ASSERT_EQ(file.size(), kMsgCounterFileSize);
  MsgCounter c;
  ASSERT_EQ(DecodeMsgCounter(file, &c), ERROR_SUCCESS);
  EXPECT_TRUE(c.present);
  EXPECT_EQ(c.last, higher);
  // The newer record torn anywhere: the older one is read.
  size_t newer = c.sequence % 2 == 0 ? 0 : kMsgCounterSlotOffset;
  for (size_t at = 0; at < kMsgCounterRecordSize; at += 3) {
    std::string torn = file;
    torn[newer + at] ^= 0x40;
    MsgCounter t;
    ASSERT_EQ(DecodeMsgCounter(torn, &t), ERROR_SUCCESS) << at;
    EXPECT_EQ(t.last, start) << at;
    EXPECT_EQ(t.sequence + 1, c.sequence) << at;
  }
  EXPECT_EQ(DecodeMsgCounter("", &c), ERROR_SUCCESS);
  EXPECT_FALSE(c.present);
  EXPECT_EQ(DecodeMsgCounter(std::string(kMsgCounterRecordSize - 1, 'Z'), &c), ERROR_INVALID_DATA);
  // Cut behind the first record: that one is read.
  ASSERT_EQ(DecodeMsgCounter(file.substr(0, kMsgCounterRecordSize + 7), &c), ERROR_SUCCESS);
  EXPECT_EQ(c.last, newer == 0 ? higher : start);
}

// Which block after base the first identifier a forked child draws opens
// (0: base + 1 ...); 254: not the first of a block, 255: none drawn. With
// startUp the child first opens the registry, as every program does.
int ChildDraws(DWORD base, bool startUp = false) {
  return InChild([base, startUp] {
    RegKey key;
    if (startUp && RegOpenKeyEx(HKEY_LOCAL_MACHINE, "Software", KEY_READ, key.out()) != 0)
      return 253;
    char mine[32];
    if (!CreateUniqueMsgId(mine, sizeof mine, 1000)) return 255;
    DWORD past = static_cast<DWORD>(std::strtoul(mine + 1, nullptr, 10)) - base - 1;
    return past % kMsgIdBlock == 0 ? static_cast<int>(past / kMsgIdBlock) : 254;
  });
}

// Writes LastMsgId into the database as older installations kept it
// (value < 0: counts the rows left instead); the number of such rows.
int LegacyCounterRows(long long value) {
  sqlite3 *db = nullptr;
  if (sqlite3_open(RegistryDatabasePath().c_str(), &db) != SQLITE_OK) return -1;
  sqlite3_busy_timeout(db, 5000);
  const char *kKey =
      " FROM regkey s JOIN regkey t ON t.parent = s.id JOIN regkey z ON z.parent = t.id"
      " WHERE s.name = 'Software' AND t.name = 'TALVO' AND z.name = 'ZEL'";
  if (value >= 0) {
    const DWORD v = static_cast<DWORD>(value);
    char hex[9];
    std::snprintf(hex, sizeof hex, "%02x%02x%02x%02x", v & 0xFF, (v >> 8) & 0xFF,
                  (v >> 16) & 0xFF, v >> 24);
    std::string sql = std::string("INSERT OR REPLACE INTO regvalue SELECT z.id, 'LastMsgId', ") +
                      std::to_string(REG_DWORD) + ", x'" + hex + "'" + kKey;
    sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr);
  }
  std::string count = std::string("SELECT count(*) FROM regvalue v JOIN (SELECT z.id AS id") +
                      kKey + ") k ON v.key = k.id WHERE v.name = 'LastMsgId'";
  sqlite3_stmt *st = nullptr;
  int rows = -1;
  if (sqlite3_prepare_v2(db, count.c_str(), -1, &st, nullptr) == SQLITE_OK &&
      sqlite3_step(st) == SQLITE_ROW)
    rows = sqlite3_column_int(st, 0);
  sqlite3_finalize(st);
  sqlite3_close(db);
  return rows;
}

// An installation whose counter is still in the database carries on from
// it: the first process to open the database moves it to the store, and
// never lowers what the store holds.
TEST(MsgCounter, DatabaseCounterMovesToTheStoreNeverDown) {
  const DWORD start = 100;
  SetLastMsgId(&start);
  ASSERT_EQ(LegacyCounterRows(7000), 1);
  EXPECT_EQ(ChildDraws(7000, true), 0);   // moved at the start, then drawn
  EXPECT_EQ(LegacyCounterRows(-1), 0);
  ASSERT_EQ(LegacyCounterRows(50), 1);
  EXPECT_EQ(ChildDraws(7000, true), 1);
  EXPECT_EQ(LegacyCounterRows(-1), 0);
}

// A transaction that lowers the counter (an old export imported) keeps
// what other processes reserved while it was open.
TEST(MsgCounter, TransactionNeverGivesBackWhatOthersReserved) {
  const DWORD start = 9000, lower = 5;
  SetLastMsgId(&start);
  {
    RegTransaction tx(RegTransaction::kWrite);
    ASSERT_EQ(tx.Status(), ERROR_SUCCESS);
    DWORD seen = 0;
    ASSERT_TRUE(GetLastMsgId(&seen));
    EXPECT_EQ(seen, start);
    EXPECT_EQ(ChildDraws(start), 0);
    SetLastMsgId(&lower);
    ASSERT_EQ(tx.Commit(), ERROR_SUCCESS);
  }
  DWORD last = 0;
  ASSERT_TRUE(GetLastMsgId(&last));
  EXPECT_EQ(last, start + kMsgIdBlock);
  // Outside a transaction an administrator's value is taken as it is.
  SetLastMsgId(&lower);
  EXPECT_EQ(ChildDraws(lower), 0);
}

TEST(CreateUniqueMsgId, FailsWhileTheMutexIsHeldElsewhere) {
  const DWORD start = 7;
  SetLastMsgId(&start);
  NamedMutexLock held;
  ASSERT_EQ(held.Wait(kMsgIdMutex, 0), WAIT_OBJECT_0);
  char id[32];
  errno = 0;
  EXPECT_FALSE(CreateUniqueMsgId(id, sizeof id, 200));
  EXPECT_EQ(errno, ETIMEDOUT);
  held.Release();
  DWORD last = 0;
  ASSERT_TRUE(GetLastMsgId(&last));
  EXPECT_EQ(last, start);
}

std::string ClientPath() {
  char exe[4096];
  ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
  if (n <= 0) return "msgid_client";
  std::string path(exe, static_cast<size_t>(n));
  return path.substr(0, path.rfind('/') + 1) + "msgid_client";
}

// Several processes with several threads each draw identifiers at once,
// more than one block each: every identifier is handed out once, and the
// counter covers them all, a block per reservation.
TEST(CreateUniqueMsgId, ProcessesAndThreadsNeverShareAnIdentifier) {
  const DWORD start = 1000;
  SetLastMsgId(&start);
  constexpr int kProcesses = 3, kThreads = 4, kEach = 300;
  constexpr DWORD kPerProcess = kThreads * kEach;
  constexpr DWORD kBlocks = kProcesses * ((kPerProcess + kMsgIdBlock - 1) / kMsgIdBlock);
  std::string cmd = ClientPath() + " " + std::to_string(kEach) + " " + std::to_string(kThreads);
  std::vector<FILE *> clients;
  for (int p = 0; p < kProcesses; ++p) clients.push_back(popen(cmd.c_str(), "r"));
  std::set<std::string> seen;
  size_t lines = 0;
  for (FILE *client : clients) {
    ASSERT_NE(client, nullptr);
    char line[64];
    while (std::fgets(line, sizeof line, client) != nullptr) {
      ++lines;
      seen.insert(std::string(line, strcspn(line, "\n")));
    }
    EXPECT_EQ(pclose(client), 0);
  }
  EXPECT_EQ(lines, kProcesses * kPerProcess);
  EXPECT_EQ(seen.size(), lines);
  char first[16], last[16];
  std::snprintf(first, sizeof first, "B%10.10u", start + 1);
  std::snprintf(last, sizeof last, "B%10.10u", start + kBlocks * kMsgIdBlock);
  EXPECT_EQ(*seen.begin(), first);
  EXPECT_LE(*seen.rbegin(), last);
  DWORD counter = 0;
  ASSERT_TRUE(GetLastMsgId(&counter));
  EXPECT_EQ(counter, start + kBlocks * kMsgIdBlock);
}

// A forked child never draws from its parent's block, and what a process
// leaves of its block when it ends (or crashes) is skipped, never handed out.
TEST(CreateUniqueMsgId, EndedProcessesBlocksAreSkippedNotReused) {
  const DWORD start = 5000;
  SetLastMsgId(&start);
  char id[32];
  ASSERT_TRUE(CreateUniqueMsgId(id, sizeof id, 1000));
  EXPECT_STREQ(id, "B0000005001");
  EXPECT_EQ(ChildDraws(start), 1);   // a block of its own
  EXPECT_EQ(ChildDraws(start), 2);   // the dead child's rest is skipped
  ASSERT_TRUE(CreateUniqueMsgId(id, sizeof id, 1000));
  EXPECT_STREQ(id, "B0000005002");
}

}  // namespace
