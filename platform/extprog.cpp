// extprog: see extprog.h.
#include "platform/extprog.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

#include "platform/errors.h"
#include "platform/files.h"
#include "platform/sync.h"

extern char **environ;

namespace {

// One read of the pipe.
constexpr size_t kReadChunk = 4096;

bool Fail(int err) {
  SetLastError(err);
  return false;
}

// The spawn's attributes and file actions, released on every path.
struct SpawnSetup {
  posix_spawnattr_t attr;
  posix_spawn_file_actions_t actions;
  SpawnSetup() {
    posix_spawnattr_init(&attr);
    posix_spawn_file_actions_init(&actions);
  }
  ~SpawnSetup() {
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
  }
  SpawnSetup(const SpawnSetup &) = delete;
  SpawnSetup &operator=(const SpawnSetup &) = delete;

  // Standard input from /dev/null, output and error into writeFd (dup2
  // clears its close-on-exec on the copies); default signals, none blocked.
  int Prepare(int writeFd) {
    sigset_t all, none;
    sigfillset(&all);
    sigemptyset(&none);
    int rc = posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    if (rc == 0) rc = posix_spawn_file_actions_adddup2(&actions, writeFd, 1);
    if (rc == 0) rc = posix_spawn_file_actions_adddup2(&actions, writeFd, 2);
    if (rc == 0) rc = posix_spawnattr_setsigdefault(&attr, &all);
    if (rc == 0) rc = posix_spawnattr_setsigmask(&attr, &none);
    if (rc == 0)
      rc = posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
    return rc;
  }
};

void KeepTail(std::string &tail, const char *data, size_t n) {
  tail.append(data, n);
  if (tail.size() > kMaxProgramOutputTail) tail.erase(0, tail.size() - kMaxProgramOutputTail);
}

// Reads the pipe until every writer closed it or the deadline passed.
// False with the last error when the pipe fails; run.TimedOut at the deadline.
bool DrainOutput(int fd, long long deadline, ProgramRun &run) {
  char buf[kReadChunk];
  for (;;) {
    long long left = deadline - MonotonicMs();
    if (left <= 0) {
      run.TimedOut = true;
      return true;
    }
    pollfd p{fd, POLLIN, 0};
    int ready = poll(&p, 1, static_cast<int>(left));
    if (ready < 0 && errno != EINTR) return Fail(errno);
    if (ready <= 0) continue;
    ssize_t n = read(fd, buf, sizeof buf);
    if (n == 0) return true;
    if (n < 0 && errno != EINTR) return Fail(errno);
    if (n > 0) KeepTail(run.OutputTail, buf, static_cast<size_t>(n));
  }
}

int Reap(pid_t pid) {
  int status = 0;
  while (waitpid(pid, &status, 0) < 0)
    if (errno != EINTR) return 0;
  return status;
}

}  // namespace

bool RunProgram(const std::vector<std::string> &args, unsigned timeoutMs, ProgramRun &run) {
  run = ProgramRun{};
  if (args.empty()) return Fail(EINVAL);
  std::vector<char *> argv;
  for (const std::string &a : args) argv.push_back(const_cast<char *>(a.c_str()));
  argv.push_back(nullptr);
  int ends[2];
  if (pipe2(ends, O_CLOEXEC) != 0) return Fail(errno);
  UniqueFd readEnd(ends[0]), writeEnd(ends[1]);
  SpawnSetup setup;
  int rc = setup.Prepare(writeEnd.Get());
  pid_t pid = -1;
  if (rc == 0) rc = posix_spawnp(&pid, argv[0], &setup.actions, &setup.attr, argv.data(), environ);
  if (rc != 0) return Fail(rc);
  writeEnd.Reset();  // the child's copies are the only writers left
  long long deadline = MonotonicMs() + timeoutMs;
  bool drained = DrainOutput(readEnd.Get(), deadline, run);
  long err = GetLastError();
  // A program still running after a failed read or its time is stopped
  // here, so no caller ever leaves one behind.
  if (!drained || run.TimedOut) kill(pid, SIGKILL);
  run.Status = Reap(pid);
  return drained || Fail(static_cast<int>(err));
}

bool ProgramSucceeded(const ProgramRun &run) {
  return !run.TimedOut && WIFEXITED(run.Status) && WEXITSTATUS(run.Status) == 0;
}
