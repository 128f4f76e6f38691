// helperproc: see helperproc.h.
#include "platform/helperproc.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/signalfd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>

#include "platform/localipc.h"
#include "platform/sync.h"

namespace {

// The descriptor a helper or the keeper keeps its socket on; everything
// above is closed.
constexpr int kHelperFd = 3;
// How long Start waits for the keeper's first helpers.
constexpr DWORD kStartWaitMs = 10000;
// A helper that has not answered in this long is given up (PAM may be slow,
// never this slow).
constexpr DWORD kAnswerWaitMs = 60000;
// Waiters look for replacements from the keeper this often.
constexpr DWORD kAdoptSliceMs = 100;
// The keeper's own name beside its helpers' (ps), within the 15 bytes a
// thread name holds.
constexpr size_t kMaxProcessName = 15;
constexpr long long kMinuteMs = 60 * 1000;

// What every helper and the keeper do first: die with their parent, keep
// only the socket, take signals as any process does.
void BecomeChild(int fd, pid_t parent, const std::string &name) {
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (getppid() != parent) _exit(0);
  prctl(PR_SET_NAME, name.substr(0, kMaxProcessName).c_str());
  // Whatever the service did with SIGCHLD, the keeper must hear its
  // helpers end.
  signal(SIGCHLD, SIG_DFL);
  if (fd != kHelperFd && dup2(fd, kHelperFd) < 0) _exit(1);
  close_range(kHelperFd + 1, ~0U, 0);
  // The service blocks its signals for the controller's signalfd.
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  for (int sig : {SIGTERM, SIGINT, SIGHUP, SIGQUIT}) signal(sig, SIG_DFL);
}

void ReapChildren(int) {
  int saved = errno;
  while (waitpid(-1, nullptr, WNOHANG) > 0) {
  }
  errno = saved;
}

[[noreturn]] void RunHelper(int fd, pid_t parent, const std::string &name, HelperServe serve) {
  BecomeChild(fd, parent, name);
  // Whatever a request starts (a user's session) is reaped as it ends, so
  // that its processor time counts to the helper's, as it would with a
  // parent that waits.
  struct sigaction reap {};
  reap.sa_handler = ReapChildren;
  reap.sa_flags = SA_RESTART | SA_NOCLDSTOP;
  sigemptyset(&reap.sa_mask);
  sigaction(SIGCHLD, &reap, nullptr);
  static char request[kMaxHelperMessage];
  static char reply[kMaxHelperMessage];
  std::vector<UniqueFd> fds;
  for (;;) {
    long n = ReceiveMessage(kHelperFd, request, sizeof request, fds, kMaxPassedDescriptors,
                            INFINITE);
    if (n == 0 || (n < 0 && GetLastError() != EMSGSIZE)) _exit(0);
    // A request that does not fit is answered as an empty one: refused.
    size_t length = n < 0 ? 0 : static_cast<size_t>(n);
    int raw[kMaxPassedDescriptors];
    for (size_t i = 0; i < fds.size(); ++i) raw[i] = fds[i].Get();
    size_t m = serve(request, length, raw, fds.size(), reply, sizeof reply);
    explicit_bzero(request, length);
    fds.clear();
    if (!SendMessage(kHelperFd, std::string_view(reply, m), nullptr, 0, INFINITE)) _exit(0);
  }
}

// The keeper's side of one helper: a socket pair, the fork, and the
// service's end passed on with the helper's pid.
bool SpawnHelper(const std::string &name, HelperServe serve) {
  UniqueFd mine, theirs;
  if (!MakeSocketPair(true, mine, theirs)) return false;
  pid_t self = getpid();
  pid_t pid = fork();
  if (pid == 0) {
    mine.Reset();
    RunHelper(theirs.Release(), self, name, serve);
  }
  if (pid < 0) return false;
  std::string text = "+" + std::to_string(pid);
  int fd = mine.Get();
  return SendMessage(kHelperFd, text, &fd, 1, INFINITE);
}

// Tells the service that helper pid is gone (its socket is then dropped
// at once, not when a request first meets it).
void ReportGone(pid_t pid) {
  (void)SendMessage(kHelperFd, "-" + std::to_string(pid), nullptr, 0, INFINITE);
}

// Forks count helpers, then replaces each that dies, at most
// kMaxHelperRestartsPerMinute a minute; ends when the service's socket
// closes (the helpers die with the keeper).
[[noreturn]] void RunKeeper(int fd, pid_t parent, const std::string &name, unsigned count,
                            HelperServe serve) {
  BecomeChild(fd, parent, name + "-keep");
  sigset_t child;
  sigemptyset(&child);
  sigaddset(&child, SIGCHLD);
  sigprocmask(SIG_BLOCK, &child, nullptr);
  int deaths = signalfd(-1, &child, SFD_CLOEXEC | SFD_NONBLOCK);
  if (deaths < 0) _exit(1);
  unsigned missing = count, restarts = 0;
  long long windowStart = MonotonicMs();
  bool first = true;
  for (;;) {
    long long now = MonotonicMs();
    if (now - windowStart >= kMinuteMs) {
      windowStart = now;
      restarts = 0;
    }
    while (missing > 0 && (first || restarts < kMaxHelperRestartsPerMinute)) {
      if (!SpawnHelper(name, serve)) break;
      --missing;
      if (!first) ++restarts;
    }
    first = false;
    struct pollfd p[2] = {{kHelperFd, POLLIN, 0}, {deaths, POLLIN, 0}};
    int wait = missing > 0 ? 1000 : -1;
    if (poll(p, 2, wait) < 0 && errno != EINTR) _exit(1);
    // The service only ever closes its end: anything readable is the end.
    if (p[0].revents != 0) _exit(0);
    if (p[1].revents != 0) {
      struct signalfd_siginfo info;
      while (read(deaths, &info, sizeof info) > 0) {
      }
      for (pid_t gone; (gone = waitpid(-1, nullptr, WNOHANG)) > 0; ++missing) ReportGone(gone);
    }
  }
}

pid_t ParsePid(std::string_view text) {
  pid_t pid = -1;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), pid);
  return ec == std::errc() && end == text.data() + text.size() && pid > 0 ? pid : -1;
}

}  // namespace

pid_t ForkKeeping(const int *fds, size_t count) {
  if (count > kMaxPassedDescriptors) {
    SetLastError(EINVAL);
    return -1;
  }
  pid_t pid = fork();
  if (pid != 0) {
    if (pid < 0) SetLastError(errno);
    return pid;
  }
  // Above every number they are to take, then into place.
  constexpr int kAside = 64;
  int aside[kMaxPassedDescriptors];
  for (size_t i = 0; i < count; ++i) {
    aside[i] = fcntl(fds[i], F_DUPFD, kAside);
    if (aside[i] < 0) _exit(1);
  }
  for (size_t i = 0; i < count; ++i) {
    if (dup2(aside[i], kChildFirstFd + static_cast<int>(i)) < 0) _exit(1);
  }
  close_range(kChildFirstFd + static_cast<unsigned>(count), ~0U, 0);
  signal(SIGCHLD, SIG_DFL);
  return 0;
}

void EndChild(int status) { _exit(status); }

void NameThisProcess(const char *name) { prctl(PR_SET_NAME, name); }

void ExecThisProgram(const char *flag, std::string_view input, int inputFd) {
  int pipeFds[2];
  // The pipe holds the whole input (far less than its 64 KiB): written
  // here and closed, it is read by the new image at its own pace.
  if (pipe(pipeFds) != 0) _exit(126);
  for (size_t done = 0; done < input.size();) {
    ssize_t n = write(pipeFds[1], input.data() + done, input.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) _exit(126);
    done += static_cast<size_t>(n);
  }
  close(pipeFds[1]);
  if (pipeFds[0] != inputFd && (dup2(pipeFds[0], inputFd) < 0 || close(pipeFds[0]) != 0))
    _exit(126);
  char self[] = "/proc/self/exe";
  char *argv[] = {self, const_cast<char *>(flag), nullptr};
  execv(self, argv);
  _exit(127);
}

HelperProcesses::~HelperProcesses() {
  for (const Helper &h : free_) close(h.Fd);
}

bool HelperProcesses::Start(unsigned count, const char *name, HelperServe serve) {
  UniqueFd mine, theirs;
  if (count == 0 || !MakeSocketPair(true, mine, theirs)) return false;
  pid_t self = getpid();
  pid_t pid = fork();
  if (pid == 0) {
    mine.Reset();
    RunKeeper(theirs.Release(), self, name, count, serve);
  }
  if (pid < 0) return false;
  theirs.Reset();
  keeperSocket_ = std::move(mine);
  keeper_ = pid;
  long long deadline = MonotonicMs() + kStartWaitMs;
  for (;;) {
    {
      std::lock_guard<std::mutex> guard(lock_);
      if (free_.size() >= count) break;
    }
    long long left = deadline - MonotonicMs();
    if (left <= 0) {
      SetLastError(ERROR_TIMEOUT);
      return false;
    }
    AdoptNewHelpers(true, static_cast<DWORD>(left));
  }
  started_ = true;
  return true;
}

bool HelperProcesses::Running() const {
  std::lock_guard<std::mutex> guard(lock_);
  return started_ && keeperSocket_.Valid();
}

std::vector<pid_t> HelperProcesses::Pids() const {
  std::lock_guard<std::mutex> guard(lock_);
  return pids_;
}

// Takes the sockets of helpers the keeper has made since the last look;
// with wait, waits up to timeoutMs for the first.
void HelperProcesses::AdoptNewHelpers(bool wait, DWORD timeoutMs) {
  std::unique_lock<std::mutex> adopt(adoptLock_, std::try_to_lock);
  if (!adopt.owns_lock() || !keeperSocket_.Valid()) return;
  char text[32];
  std::vector<UniqueFd> fds;
  for (;;) {
    long n = ReceiveMessage(keeperSocket_.Get(), text, sizeof text, fds, 1, wait ? timeoutMs : 0);
    if (n < 0 && GetLastError() == EMSGSIZE) continue;
    if (n <= 0) {
      // The keeper is gone: no helper will ever be replaced again.
      if (n == 0) keeperSocket_.Reset();
      return;
    }
    pid_t pid = ParsePid(std::string_view(text + 1, static_cast<size_t>(n - 1)));
    if (pid < 0) continue;
    if (text[0] == '-') {
      Forget(pid);
      continue;
    }
    if (text[0] != '+' || fds.size() != 1) continue;
    {
      std::lock_guard<std::mutex> guard(lock_);
      free_.push_back(Helper{fds[0].Release(), pid});
      pids_.push_back(pid);
    }
    freed_.notify_one();
    wait = false;
  }
}

// A helper the keeper saw end: its socket goes if it is idle; one in use
// is dropped by the call that meets its end.
void HelperProcesses::Forget(pid_t pid) {
  std::lock_guard<std::mutex> guard(lock_);
  pids_.erase(std::remove(pids_.begin(), pids_.end(), pid), pids_.end());
  for (auto it = free_.begin(); it != free_.end(); ++it) {
    if (it->Pid != pid) continue;
    close(it->Fd);
    free_.erase(it);
    return;
  }
}

void HelperProcesses::Drop(Helper helper) {
  // The helper sees its socket close and ends; the keeper replaces it.
  close(helper.Fd);
  std::lock_guard<std::mutex> guard(lock_);
  pids_.erase(std::remove(pids_.begin(), pids_.end(), helper.Pid), pids_.end());
}

bool HelperProcesses::Call(std::string_view request, std::string &reply, const int *fds,
                           size_t fdCount) {
  if (request.size() > kMaxHelperMessage || request.empty() || fdCount > kMaxPassedDescriptors) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  Helper helper;
  long long deadline = MonotonicMs() + kHelperWaitMs;
  for (;;) {
    AdoptNewHelpers(false, 0);
    std::unique_lock<std::mutex> guard(lock_);
    if (!free_.empty()) {
      helper = free_.back();
      free_.pop_back();
      break;
    }
    long long left = deadline - MonotonicMs();
    if (left <= 0) {
      SetLastError(ERROR_TIMEOUT);
      return false;
    }
    freed_.wait_for(guard, std::chrono::milliseconds(std::min<long long>(left, kAdoptSliceMs)));
  }
  char buffer[kMaxHelperMessage];
  std::vector<UniqueFd> none;
  long got = -1;
  if (SendMessage(helper.Fd, request, fds, fdCount, kAnswerWaitMs))
    got = ReceiveMessage(helper.Fd, buffer, sizeof buffer, none, 0, kAnswerWaitMs);
  if (got <= 0) {
    // A helper that does not answer is gone for good; the others go on.
    long err = got == 0 ? EPIPE : GetLastError();
    Drop(helper);
    SetLastError(err);
    return false;
  }
  reply.assign(buffer, static_cast<size_t>(got));
  explicit_bzero(buffer, static_cast<size_t>(got));
  {
    std::lock_guard<std::mutex> guard(lock_);
    free_.push_back(helper);
  }
  freed_.notify_one();
  return true;
}
