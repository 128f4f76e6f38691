// helperproc: small helper processes that keep a privilege the service
// gives up, and answer one kind of request for it.
//
// The receiver and the POP3 front shed root once their listeners are
// bound, yet a logon must check passwords that only root may read (the
// accounts file is 0600, PAM's pam_unix reads /etc/shadow only as root),
// and the POP3 server must start each logged-on user's session as that
// user. So before it sheds root a service forks a keeper, which forks the
// helpers and keeps their number: a helper that dies (a crash, a kill) is
// replaced by a new one, whose socket the keeper passes to the service.
// Each helper serves requests from its own socket (a SOCK_SEQPACKET pair,
// so a request is one message, with at most kMaxPassedDescriptors
// descriptors beside it), one at a time, with the function it was given,
// and touches nothing else: no network, no descriptor of the service but
// its socket and the standard streams. Helpers and keeper end when their
// socket closes or the service dies (the kernel's parent-death signal),
// and at SIGTERM like the service. The keeper replaces at most
// kMaxHelperRestartsPerMinute helpers a minute, so a request that crashes
// every helper cannot make it fork without end.
//
// Callers: common/logonhelper (the password checks and the session
// starts); the service starts the keeper while it is still root and runs
// no thread but the service controller's, so the fork copies no lock
// another thread holds.
//
// Untrusted input: a helper trusts its requests no more than the service
// that sends them: the serve function must parse them bounded (at most
// kMaxHelperMessage bytes arrive). Threads: Call is thread-safe; each call
// takes a free helper, waiting at most kHelperWaitMs for one while all are
// busy or being replaced, so up to the helper count requests run at once.
// Failures: false with the last error (ERROR_TIMEOUT: no helper came free
// in time; the helper died: its socket is dropped, the keeper makes a new
// one, and the others go on).
#pragma once

#include <sys/types.h>

#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "platform/errors.h"
#include "platform/files.h"

// A request or a reply: a password check and a session's start fit many
// times over.
constexpr size_t kMaxHelperMessage = 4096;
// How long a caller waits for a free helper before it gives up (the logon
// is then answered as a temporary failure).
constexpr DWORD kHelperWaitMs = 4000;
// Replacements the keeper makes in one minute at most; past that it waits
// for the minute to end.
constexpr unsigned kMaxHelperRestartsPerMinute = 30;

// Answers request (length bytes, with fdCount descriptors in fds, which
// the helper closes after the call) into reply (room bytes); the length of
// the reply. Runs in the helper.
using HelperServe = size_t (*)(char *request, size_t length, const int *fds, size_t fdCount,
                               char *reply, size_t room);

// In a helper: forks a child that keeps only the standard streams and the
// count descriptors fds, renumbered from kChildFirstFd on in that order,
// with the signal dispositions of an ordinary process. The child's pid
// (and in the child 0), or -1 with the last error.
constexpr int kChildFirstFd = 3;
pid_t ForkKeeping(const int *fds, size_t count);
// Ends a child made by ForkKeeping at once, with status (no exit handlers:
// they belong to the process it was forked from).
[[noreturn]] void EndChild(int status);
// In a child made by ForkKeeping: runs this program afresh with the single
// argument flag, input readable on descriptor inputFd (a pipe that ends
// after it), the descriptors kept by ForkKeeping still open. A fresh image
// holds nothing of the process it was forked from (a helper's memory has
// seen other users' passwords). Ends the child when the exec fails.
[[noreturn]] void ExecThisProgram(const char *flag, std::string_view input, int inputFd);
// The name ps shows for this process (at most 15 bytes are kept).
void NameThisProcess(const char *name);

class HelperProcesses {
 public:
  HelperProcesses() = default;
  ~HelperProcesses();   // closes the sockets: keeper and helpers end
  HelperProcesses(const HelperProcesses &) = delete;
  HelperProcesses &operator=(const HelperProcesses &) = delete;

  // Forks the keeper and count helpers named name (as ps shows them)
  // serving with serve, and waits for their sockets. False with the last
  // error when they cannot be made (none is left then).
  bool Start(unsigned count, const char *name, HelperServe serve);
  bool Running() const;
  // Sends request (and fdCount descriptors) to a free helper and waits for
  // its reply (at most kMaxHelperMessage bytes).
  bool Call(std::string_view request, std::string &reply, const int *fds = nullptr,
            size_t fdCount = 0);
  // The process ids of the helpers the service has sockets to, and of the
  // keeper, for tests.
  std::vector<pid_t> Pids() const;
  pid_t KeeperPid() const { return keeper_; }

 private:
  struct Helper {
    int Fd = -1;
    pid_t Pid = -1;
  };
  void AdoptNewHelpers(bool wait, DWORD timeoutMs);
  void Drop(Helper helper);
  void Forget(pid_t pid);
  mutable std::mutex lock_;
  std::mutex adoptLock_;         // one reader of the keeper's socket at a time
  std::condition_variable freed_;
  std::vector<Helper> free_;     // idle helpers
  std::vector<pid_t> pids_;      // helpers not dropped
  UniqueFd keeperSocket_;
  pid_t keeper_ = -1;
  bool started_ = false;
};
