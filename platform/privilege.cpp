// privilege: see privilege.h.
//
// Capabilities belong to threads. The C library's setgroups, setresgid and
// setresuid change every thread (and the kernel clears the permitted,
// effective and ambient sets of each thread that leaves uid 0), but the
// rest (the inheritable and bounding sets, no_new_privs, and everything for
// a process that is not root yet holds capabilities, as under systemd's
// AmbientCapabilities=) has no process-wide call. So each other thread is
// sent kShedSignal and sheds its own, in a handler that makes only system
// calls, while this thread waits for its answer.
#include "platform/privilege.h"

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <linux/capability.h>
#include <pwd.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <set>
#include <vector>

#include "platform/accounts.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "platform/sync.h"

namespace {

// A real-time signal nothing else in the system uses.
int ShedSignal() { return SIGRTMIN + 5; }
// How long a thread may take to answer before the shedding counts as failed.
constexpr long long kThreadAnswerMs = 5000;
// Capability numbers tried for the bounding set; the kernel's last one
// answers EINVAL past it.
constexpr int kMaxCapability = 63;
// Mode of a file created for the account to write.
constexpr mode_t kAccountFileMode = 0600;

bool Fail(int err) {
  SetLastError(err);
  return false;
}

// ---- one thread's capabilities

// What a thread sheds. keepIds: it still needs CAP_SETUID and CAP_SETGID
// for the switch of ids that follows (which clears them itself).
int ShedThreadCapabilities(bool keepIds) {
  int err = 0;
  prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_CLEAR_ALL, 0, 0, 0);
  for (int cap = 0; cap <= kMaxCapability; ++cap) {
    // EPERM: not allowed here (no CAP_SETPCAP); EINVAL: past the last one.
    if (prctl(PR_CAPBSET_DROP, cap, 0, 0, 0) != 0 && errno == EINVAL) break;
  }
  if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) err = errno;
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct data[2] = {};
  if (keepIds && syscall(SYS_capget, &header, data) != 0) return errno;
  for (__user_cap_data_struct &d : data) {
    d.inheritable = 0;
    if (!keepIds) d.permitted = d.effective = 0;
  }
  if (syscall(SYS_capset, &header, data) != 0) err = errno;
  return err;
}

// The request to the other threads: which thread answers, and how it went.
std::atomic<bool> g_keepIds{false};
std::atomic<long> g_answeringTid{0};
std::atomic<int> g_answer{0};   // errno + 1, 0 until answered

void OnShedSignal(int) {
  int saved = errno;
  if (static_cast<long>(syscall(SYS_gettid)) == g_answeringTid.load())
    g_answer = ShedThreadCapabilities(g_keepIds.load()) + 1;
  errno = saved;
}

std::vector<long> ThreadIds() {
  std::vector<long> ids;
  DIR *dir = opendir("/proc/self/task");
  if (dir == nullptr) return ids;
  while (const dirent *e = readdir(dir))
    if (e->d_name[0] != '.') ids.push_back(strtol(e->d_name, nullptr, 10));
  closedir(dir);
  return ids;
}

// Asks one other thread to shed; false when it failed or did not answer.
bool AskThread(long tid) {
  g_answer = 0;
  g_answeringTid = tid;
  if (syscall(SYS_tgkill, getpid(), tid, ShedSignal()) != 0)
    return errno == ESRCH;   // it ended meanwhile: nothing to shed
  const long long deadline = MonotonicMs() + kThreadAnswerMs;
  while (g_answer.load() == 0) {
    if (MonotonicMs() > deadline) return Fail(ETIMEDOUT);
    Sleep(1);
  }
  int err = g_answer.load() - 1;
  return err == 0 ? true : Fail(err);
}

// Sheds in this thread and in every other one, including threads started
// while it runs (their creator may not have shed yet).
bool ShedInEveryThread(bool keepIds) {
  g_keepIds = keepIds;
  if (int err = ShedThreadCapabilities(keepIds)) return Fail(err);
  struct sigaction action {};
  action.sa_handler = OnShedSignal;
  action.sa_flags = SA_RESTART;
  sigemptyset(&action.sa_mask);
  if (sigaction(ShedSignal(), &action, nullptr) != 0) return Fail(errno);
  const long self = static_cast<long>(syscall(SYS_gettid));
  std::set<long> done{self};
  for (bool more = true; more;) {
    more = false;
    for (long tid : ThreadIds()) {
      if (!done.insert(tid).second) continue;
      more = true;
      if (!AskThread(tid)) return false;
    }
  }
  g_answeringTid = 0;
  return true;
}

// A status line's value in /proc/self/task/TID/status ("" when missing).
std::string StatusField(long tid, const char *field) {
  std::string path = "/proc/self/task/" + std::to_string(tid) + "/status";
  FILE *f = fopen(path.c_str(), "re");
  if (f == nullptr) return "";
  char line[256];
  std::string value;
  size_t n = strlen(field);
  while (fgets(line, sizeof line, f) != nullptr) {
    if (strncmp(line, field, n) == 0 && line[n] == ':') {
      value = line + n + 1;
      value.erase(0, value.find_first_not_of(" \t"));
      value.erase(value.find_last_not_of(" \t\n") + 1);
      break;
    }
  }
  fclose(f);
  return value;
}

bool AllZero(const std::string &hex) {
  return !hex.empty() && hex.find_first_not_of('0') == std::string::npos;
}

// The descriptor of the directory at path; the last component is never
// followed.
int OpenDirectoryNoFollow(const std::string &path) {
  return open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
}

// Gives the entry name of dirFd to the account through a descriptor, so
// that what was checked is what changes owner (a name checked and then
// changed could be swapped in between). Refused: a symbolic link (ELOOP),
// anything but a regular file (EINVAL), a file with a second name (EMLINK).
// O_NONBLOCK: a FIFO must not hang the open; O_NOCTTY: nor may a terminal
// become ours.
bool GiveFileAt(int dirFd, const char *name, uid_t uid, gid_t gid, bool create) {
  const int flags =
      O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC | (create ? O_CREAT : 0);
  UniqueFd fd(openat(dirFd, name, flags, kAccountFileMode));
  if (!fd.Valid()) return Fail(errno);
  if (int err = CheckSoleRegularFile(fd.Get()); err != 0) return Fail(err);
  if (fchown(fd.Get(), uid, gid) != 0) return Fail(errno);
  return true;
}

// What a sweep of a directory leaves alone rather than fail on: entries
// that are not the system's own files, and entries gone meanwhile.
bool LeftAlone(long err) { return err == ELOOP || err == EINVAL || err == EMLINK || err == ENOENT; }

std::string Parent(const std::string &path) {
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

std::string Leaf(const std::string &path) {
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

void SetPrivateFileCreation() { umask(077); }

bool IsSuperUser() { return geteuid() == 0; }

std::string CurrentUserName() {
  uid_t uid = geteuid();
  struct passwd pw, *found = nullptr;
  char buf[4096];
  if (getpwuid_r(uid, &pw, buf, sizeof buf, &found) == 0 && found != nullptr) return pw.pw_name;
  return "uid " + std::to_string(uid);
}

bool LookUpAccount(const std::string &name, uid_t *uid, gid_t *gid) {
  struct passwd pw, *found = nullptr;
  std::vector<char> buf(16384);
  int rc = getpwnam_r(name.c_str(), &pw, buf.data(), buf.size(), &found);
  if (rc != 0) return Fail(rc);
  if (found == nullptr || name.empty()) return Fail(ERROR_NONE_MAPPED);
  *uid = pw.pw_uid;
  *gid = pw.pw_gid;
  return true;
}

bool ShedPrivileges(bool account, uid_t uid, gid_t gid) {
  if (account) {
    if (!IsSuperUser()) return Fail(EPERM);
    if (!ShedInEveryThread(true)) return false;
    // The account's own group alone: root's supplementary groups go.
    if (setgroups(1, &gid) != 0 || setresgid(gid, gid, gid) != 0 || setresuid(uid, uid, uid) != 0)
      return Fail(errno);
  }
  if (!ShedInEveryThread(false)) return false;
  if (!HoldsNoPrivileges()) return Fail(EPERM);
  return true;
}

bool BecomeMailUser(uid_t uid, gid_t gid, const std::vector<gid_t> &groups) {
  if (uid == 0) return Fail(EPERM);
  if (IsSuperUser()) {
    if (int err = ShedThreadCapabilities(true)) return Fail(err);
    if (setgroups(groups.size(), groups.data()) != 0 || setresgid(gid, gid, gid) != 0 ||
        setresuid(uid, uid, uid) != 0)
      return Fail(errno);
  } else if (geteuid() != uid) {
    return Fail(EPERM);
  }
  if (int err = ShedThreadCapabilities(false)) return Fail(err);
  if (getuid() == 0 || geteuid() == 0 || !HoldsNoPrivileges()) return Fail(EPERM);
  return true;
}

bool HoldsNoPrivileges() {
  for (long tid : ThreadIds()) {
    for (const char *set : {"CapPrm", "CapEff", "CapInh", "CapAmb"})
      if (!AllZero(StatusField(tid, set))) return false;
    if (StatusField(tid, "NoNewPrivs") != "1") return false;
  }
  return true;
}

bool GiveDirectoryToAccount(const std::string &path, uid_t uid, gid_t gid) {
  UniqueFd dir(OpenDirectoryNoFollow(path));
  if (!dir.Valid()) return Fail(errno);
  if (fchown(dir.Get(), uid, gid) != 0) return Fail(errno);
  return true;
}

bool GiveFileToAccount(const std::string &path, uid_t uid, gid_t gid, bool create) {
  UniqueFd dir(OpenDirectoryNoFollow(Parent(path)));
  if (!dir.Valid()) return Fail(errno);
  return GiveFileAt(dir.Get(), Leaf(path).c_str(), uid, gid, create);
}

bool GiveFilesToAccount(const std::string &directory, uid_t uid, gid_t gid) {
  int fd = OpenDirectoryNoFollow(directory);
  if (fd < 0) return Fail(errno);
  DIR *dir = fdopendir(fd);
  if (dir == nullptr) {
    close(fd);
    return Fail(errno);
  }
  bool ok = true;
  while (const dirent *e = readdir(dir)) {
    if (e->d_type != DT_REG && e->d_type != DT_UNKNOWN) continue;   // not even opened
    if (!GiveFileAt(dirfd(dir), e->d_name, uid, gid, false) && !LeftAlone(GetLastError()))
      ok = false;
  }
  closedir(dir);
  return ok;
}

bool OpenDirectoryToGroup(const std::string &path, gid_t gid, bool listable) {
  UniqueFd dir(OpenDirectoryNoFollow(path));
  if (!dir.Valid()) return Fail(errno);
  struct stat st;
  if (fstat(dir.Get(), &st) != 0) return Fail(errno);
  if (fchown(dir.Get(), static_cast<uid_t>(-1), gid) != 0) return Fail(errno);
  // chown may clear set-id bits; the mode is set again either way.
  mode_t group = S_IXGRP | (listable ? S_IRGRP : 0);
  if (fchmod(dir.Get(), (st.st_mode & 07777 & ~S_IRWXG) | group) != 0) return Fail(errno);
  return true;
}

bool ShareFileWithGroup(int fd, gid_t gid) {
  struct stat st;
  if (fstat(fd, &st) != 0) return Fail(errno);
  if (!S_ISREG(st.st_mode)) return Fail(EINVAL);
  if (fchown(fd, static_cast<uid_t>(-1), gid) != 0) return Fail(errno);
  if (fchmod(fd, S_IRUSR | S_IWUSR | S_IRGRP) != 0) return Fail(errno);
  return true;
}
