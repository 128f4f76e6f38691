// helperproc: see helperproc.h.
#include "platform/helperproc.h"

#include <errno.h>
#include <signal.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/errors.h"

namespace {

// The descriptor a helper keeps its socket on; everything above is closed.
constexpr int kHelperFd = 3;

[[noreturn]] void RunHelper(int fd, pid_t parent, const char *name, HelperServe serve) {
  // Die with the service, also when it died before the request took effect.
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (getppid() != parent) _exit(0);
  prctl(PR_SET_NAME, name);
  // Nothing of the service but the socket: its database, its log and the
  // other helpers' sockets (whose ends must close when the service's do).
  if (fd != kHelperFd && dup2(fd, kHelperFd) < 0) _exit(1);
  close_range(kHelperFd + 1, ~0U, 0);
  // The service blocks its signals for the controller's signalfd; a helper
  // takes them as any process does.
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  for (int sig : {SIGTERM, SIGINT, SIGHUP, SIGQUIT}) signal(sig, SIG_DFL);
  static char request[kMaxHelperMessage];
  static char reply[kMaxHelperMessage];
  for (;;) {
    ssize_t n = recv(kHelperFd, request, sizeof request, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) _exit(0);
    size_t m = serve(request, static_cast<size_t>(n), reply, sizeof reply);
    explicit_bzero(request, static_cast<size_t>(n));
    if (send(kHelperFd, reply, m, MSG_NOSIGNAL) < 0) _exit(0);
  }
}

}  // namespace

HelperProcesses::~HelperProcesses() {
  for (const Helper &h : free_) close(h.Fd);
}

bool HelperProcesses::Start(unsigned count, const char *name, HelperServe serve) {
  pid_t self = getpid();
  for (unsigned i = 0; i < count; ++i) {
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, fds) != 0) {
      long err = errno;
      while (!free_.empty()) {
        Drop(free_.back());
        free_.pop_back();
      }
      SetLastError(err);
      return false;
    }
    pid_t pid = fork();
    if (pid == 0) {
      close(fds[0]);
      RunHelper(fds[1], self, name, serve);
    }
    long err = errno;
    close(fds[1]);
    if (pid < 0) {
      close(fds[0]);
      while (!free_.empty()) {
        Drop(free_.back());
        free_.pop_back();
      }
      SetLastError(err);
      return false;
    }
    std::lock_guard<std::mutex> guard(lock_);
    free_.push_back(Helper{fds[0], pid});
    pids_.push_back(pid);
    ++live_;
  }
  return true;
}

bool HelperProcesses::Running() const {
  std::lock_guard<std::mutex> guard(lock_);
  return live_ != 0;
}

std::vector<pid_t> HelperProcesses::Pids() const {
  std::lock_guard<std::mutex> guard(lock_);
  return pids_;
}

void HelperProcesses::Drop(Helper helper) {
  close(helper.Fd);
  kill(helper.Pid, SIGKILL);
  waitpid(helper.Pid, nullptr, 0);
  std::lock_guard<std::mutex> guard(lock_);
  if (live_ != 0) --live_;
  freed_.notify_all();
}

bool HelperProcesses::Call(std::string_view request, std::string &reply) {
  if (request.size() > kMaxHelperMessage) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  Helper helper;
  {
    std::unique_lock<std::mutex> guard(lock_);
    freed_.wait(guard, [this] { return !free_.empty() || live_ == 0; });
    if (free_.empty()) {
      SetLastError(EPIPE);
      return false;
    }
    helper = free_.back();
    free_.pop_back();
  }
  char buffer[kMaxHelperMessage];
  ssize_t got = -1;
  if (send(helper.Fd, request.data(), request.size(), MSG_NOSIGNAL) ==
      static_cast<ssize_t>(request.size())) {
    do {
      got = recv(helper.Fd, buffer, sizeof buffer, 0);
    } while (got < 0 && errno == EINTR);
  }
  if (got <= 0) {
    // A helper that does not answer is gone for good; the others go on.
    long err = got == 0 ? EPIPE : errno;
    Drop(helper);
    SetLastError(err);
    return false;
  }
  reply.assign(buffer, static_cast<size_t>(got));
  {
    std::lock_guard<std::mutex> guard(lock_);
    free_.push_back(helper);
  }
  freed_.notify_one();
  return true;
}
