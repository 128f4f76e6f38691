// helperproc: small helper processes that keep a privilege the service
// gives up, and answer one kind of request for it.
//
// The receiver sheds root once its listeners are bound, yet AUTH must
// check passwords that only root may read (the accounts file is 0600, PAM's
// pam_unix reads /etc/shadow only as root). So before it sheds root it
// forks helpers that keep it: each serves requests from its own socket
// (a SOCK_SEQPACKET pair, so a request is one message), one at a time,
// with the function it was given, and touches nothing else: no network, no
// file descriptor of the service but its socket and the standard streams.
// A helper ends when its socket closes or the service dies (the kernel's
// parent-death signal), and at SIGTERM like the service.
//
// Callers: common/logonhelper (the password checks); the service starts
// the helpers while it is still root and while it runs no thread but the
// service controller's, so the fork copies no lock another thread holds.
//
// Untrusted input: a helper trusts its requests no more than the service
// that sends them: the serve function must parse them bounded (at most
// kMaxHelperMessage bytes arrive). Threads: Call is thread-safe; each call
// takes a free helper (waiting for one while all are busy), so up to
// count requests run at once. Failures: false with the last error (the
// helper died: its socket is dropped, and the others go on).
#pragma once

#include <sys/types.h>

#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

// A request or a reply: a password check fits many times over.
constexpr size_t kMaxHelperMessage = 4096;

// Answers request (length bytes) into reply (room bytes); the length of
// the reply. Runs in the helper.
using HelperServe = size_t (*)(char *request, size_t length, char *reply, size_t room);

class HelperProcesses {
 public:
  HelperProcesses() = default;
  ~HelperProcesses();   // closes the sockets: the helpers end
  HelperProcesses(const HelperProcesses &) = delete;
  HelperProcesses &operator=(const HelperProcesses &) = delete;

  // Forks count helpers named name (as ps shows them) serving with serve.
  // False with the last error when one cannot be made (none is left then).
  bool Start(unsigned count, const char *name, HelperServe serve);
  bool Running() const;
  // Sends request to a free helper and waits for its reply (at most
  // kMaxHelperMessage bytes).
  bool Call(std::string_view request, std::string &reply);
  // The helpers' process ids, for tests.
  std::vector<pid_t> Pids() const;

 private:
  struct Helper {
    int Fd = -1;
    pid_t Pid = -1;
  };
  void Drop(Helper helper);
  mutable std::mutex lock_;
  std::condition_variable freed_;
  std::vector<Helper> free_;     // idle helpers
  std::vector<pid_t> pids_;
  unsigned live_ = 0;            // helpers not dropped
};
