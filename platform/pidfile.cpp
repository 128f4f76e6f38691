// pidfile: see pidfile.h.
#include "platform/pidfile.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/syscall.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <mutex>

#include "platform/errors.h"
#include "platform/files.h"
#include "platform/root.h"

namespace {

// "pid start\n" in decimal fits in this many bytes.
constexpr size_t kMaxPidLine = 64;

std::mutex g_AnnounceLock;
std::string g_AnnouncedService;
int g_AnnouncedFd = -1;  // held until the process exits

bool Fail(int err) {
  SetLastError(err);
  return false;
}

bool WriteLine(int fd) {
  char line[kMaxPidLine];
  int n = snprintf(line, sizeof line, "%ld %lld\n", static_cast<long>(getpid()),
                   static_cast<long long>(time(nullptr)));
  if (ftruncate(fd, 0) != 0) return Fail(errno);
  if (pwrite(fd, line, static_cast<size_t>(n), 0) != n) return Fail(errno != 0 ? errno : EIO);
  return true;
}

// glibc 2.36's <sys/pidfd.h> declares its wrappers without C linkage, so
// C++ cannot link them: the system calls are made directly.
int PidfdOpen(pid_t pid) { return static_cast<int>(syscall(SYS_pidfd_open, pid, 0)); }
int PidfdSendSignal(int pidfd, int sig) {
  return static_cast<int>(syscall(SYS_pidfd_send_signal, pidfd, sig, nullptr, 0));
}

}  // namespace

std::string ServicePidFilePath(const std::string &serviceName) {
  return PidFileDirectory() + "/" + serviceName + ".pid";
}

bool AnnounceServiceRunning(const std::string &serviceName) {
  std::lock_guard<std::mutex> guard(g_AnnounceLock);
  if (g_AnnouncedFd >= 0 && g_AnnouncedService == serviceName) return WriteLine(g_AnnouncedFd);
  for (const std::string &dir : {StateDirectory(), PidFileDirectory()})
    if (mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST) return Fail(errno);
  UniqueFd fd(open(ServicePidFilePath(serviceName).c_str(),
                   O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0644));
  if (!fd.Valid()) return Fail(errno);
  struct stat st;
  if (fstat(fd.Get(), &st) != 0) return Fail(errno);
  if (!S_ISREG(st.st_mode)) return Fail(EINVAL);
  if (flock(fd.Get(), LOCK_EX | LOCK_NB) != 0) return Fail(errno);
  if (!WriteLine(fd.Get())) return false;
  if (g_AnnouncedFd >= 0) close(g_AnnouncedFd);
  g_AnnouncedFd = fd.Release();
  g_AnnouncedService = serviceName;
  return true;
}

bool QueryServicePresence(const std::string &serviceName, ServicePresence &presence) {
  presence = ServicePresence{};
  UniqueFd fd(open(ServicePidFilePath(serviceName).c_str(),
                   O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
  if (!fd.Valid()) return errno == ENOENT ? true : Fail(errno);
  if (flock(fd.Get(), LOCK_SH | LOCK_NB) == 0) return true;  // nobody holds it
  if (errno != EWOULDBLOCK) return Fail(errno);
  char line[kMaxPidLine] = {};
  ssize_t n = pread(fd.Get(), line, sizeof line - 1, 0);
  if (n < 0) return Fail(errno);
  presence.Running = true;
  char *end = nullptr;
  presence.Pid = std::strtol(line, &end, 10);
  presence.StartedAt = end != nullptr ? std::strtoll(end, nullptr, 10) : 0;
  return true;
}

bool ReloadRunningService(const std::string &serviceName, bool &running, long &pid) {
  ServicePresence before, after;
  running = false;
  pid = 0;
  if (!QueryServicePresence(serviceName, before)) return false;
  if (!before.Running) return true;
  if (before.Pid <= 1) return Fail(EINVAL);  // a pid line nobody could have written
  UniqueFd pinned(PidfdOpen(static_cast<pid_t>(before.Pid)));
  if (!pinned.Valid()) return errno == ESRCH ? true : Fail(errno);
  // Still held by the same pid now that the process is pinned: the pidfd
  // names that process, not whichever one gets its number later.
  if (!QueryServicePresence(serviceName, after)) return false;
  if (!after.Running || after.Pid != before.Pid) return true;
  if (PidfdSendSignal(pinned.Get(), SIGHUP) != 0)
    return errno == ESRCH ? true : Fail(errno);
  running = true;
  pid = before.Pid;
  return true;
}
