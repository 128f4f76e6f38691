// childproc: see childproc.h.
#include "platform/childproc.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/errors.h"
#include "platform/localipc.h"
#include "platform/sync.h"

namespace {

constexpr const char *kProgramFile = "/proc/self/exe";
// The status a child exits with when the program could not be run.
constexpr int kExecFailedStatus = 127;
// How often Reap looks whether the child has ended.
constexpr DWORD kReapPollMs = 10;

bool Fail(int err) {
  SetLastError(err);
  return false;
}

// Between fork and exec only async-signal-safe calls: the parent's other
// threads may have held any lock at the fork.
[[noreturn]] void RunChild(int fd, pid_t parent, char *const *argv) {
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (getppid() != parent) _exit(kExecFailedStatus);
  if (fd != kChildChannelFd) {
    if (dup2(fd, kChildChannelFd) < 0) _exit(kExecFailedStatus);
  } else if (fcntl(fd, F_SETFD, 0) != 0) {
    _exit(kExecFailedStatus);
  }
  close_range(kChildChannelFd + 1, ~0U, 0);
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  execv(kProgramFile, argv);
  _exit(kExecFailedStatus);
}

}  // namespace

ChildProcess::~ChildProcess() {
  if (pid_ > 0) {
    Signal(SIGKILL);
    Reap(0);
  }
}

bool ChildProcess::Start(const std::vector<std::string> &args, UniqueFd &channel) {
  if (args.empty() || pid_ > 0) return Fail(ERROR_INVALID_PARAMETER);
  // Made before the fork: the child may not allocate.
  std::vector<char *> argv;
  for (const std::string &a : args) argv.push_back(const_cast<char *>(a.c_str()));
  argv.push_back(nullptr);
  UniqueFd mine, theirs;
  if (!CreatePacketPair(mine, theirs)) return false;
  pid_t self = getpid();
  pid_t pid = fork();
  if (pid == 0) RunChild(theirs.Get(), self, argv.data());
  if (pid < 0) return Fail(errno);
  pid_ = pid;
  channel = std::move(mine);
  return true;
}

bool CreatePacketPair(UniqueFd &one, UniqueFd &other) { return MakeSocketPair(true, one, other); }

void ChildProcess::Signal(int sig) const {
  if (pid_ > 0) kill(pid_, sig);
}

int ChildProcess::Reap(unsigned killAfterMs) {
  int status = 0;
  if (pid_ <= 0) return status;
  long long killAt = MonotonicMs() + killAfterMs;
  bool killed = false;
  for (;;) {
    pid_t got = waitpid(pid_, &status, killed ? 0 : WNOHANG);
    if (got == pid_ || (got < 0 && errno != EINTR)) break;
    if (got == 0 && MonotonicMs() >= killAt) {
      Signal(SIGKILL);
      killed = true;
      continue;
    }
    if (got == 0) Sleep(kReapPollMs);
  }
  pid_ = -1;
  return status;
}

std::string ExitStatusText(int status) {
  if (WIFEXITED(status)) return "exit status " + std::to_string(WEXITSTATUS(status));
  if (WIFSIGNALED(status)) {
    const char *name = sigdescr_np(WTERMSIG(status));
    return "signal " + std::to_string(WTERMSIG(status)) + (name ? std::string(" (") + name + ")" : "");
  }
  return "wait status " + std::to_string(status);
}

void IgnoreStopSignals() {
  for (int sig : {SIGTERM, SIGINT, SIGHUP}) signal(sig, SIG_IGN);
}

bool DieWithParent(pid_t parent) {
  if (prctl(PR_SET_PDEATHSIG, SIGKILL) != 0) return Fail(errno);
  return getppid() == parent ? true : Fail(ESRCH);
}

pid_t CurrentProcess() { return getpid(); }
pid_t ParentProcess() { return getppid(); }

bool SendPacket(int fd, std::string_view data, std::span<const int> fds) {
  if (data.size() > kMaxPacketBytes || fds.size() > kMaxPacketFds)
    return Fail(ERROR_INVALID_PARAMETER);
  return SendMessage(fd, data, fds.data(), fds.size(), INFINITE);
}

int ReceivePacket(int fd, std::string &data, std::vector<UniqueFd> &fds) {
  data.resize(kMaxPacketBytes);
  long n = ReceiveMessage(fd, data.data(), data.size(), fds, kMaxPacketFds, INFINITE);
  if (n < 0) {
    data.clear();
    if (GetLastError() == ERROR_MESSAGE_TOO_LONG) SetLastError(ERROR_INVALID_DATA);
    return -1;
  }
  data.resize(static_cast<size_t>(n));
  return n == 0 && fds.empty() ? 0 : 1;   // no empty packets are sent: the end
}

bool ReadHandedFile(int fd, size_t maxBytes, std::string &data) {
  data.clear();
  struct stat st;
  if (fstat(fd, &st) != 0) return Fail(errno);
  if (!S_ISREG(st.st_mode)) return Fail(EINVAL);
  if (static_cast<uint64_t>(st.st_size) > maxBytes) return Fail(EFBIG);
  // What the file held when looked at: a writer that goes on meanwhile
  // is not followed past the bound.
  data.resize(static_cast<size_t>(st.st_size));
  size_t done = 0;
  while (done < data.size()) {
    ssize_t n = pread(fd, data.data() + done, data.size() - done, static_cast<off_t>(done));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return Fail(errno);
    if (n == 0) break;
    done += static_cast<size_t>(n);
  }
  data.resize(done);
  return true;
}

bool WriteHandedFile(int fd, std::string_view data) {
  if (ftruncate(fd, 0) != 0) return Fail(errno);
  size_t done = 0;
  while (done < data.size()) {
    ssize_t n = pwrite(fd, data.data() + done, data.size() - done, static_cast<off_t>(done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return Fail(n < 0 ? errno : EIO);
    done += static_cast<size_t>(n);
  }
  return true;
}

void ShutdownChannel(int fd) { shutdown(fd, SHUT_RDWR); }
