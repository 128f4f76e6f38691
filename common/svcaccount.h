// svcaccount: the service account (ServiceAccount) that a process of the
// suite leaves root for, and the files root hands it before the switch.
//
// ResolveServiceAccountIds decides whether there is a switch: only a
// process that runs as root with a ServiceAccount set and known switches
// (to an account other than root). A name the system does not know is
// logged (event 176: the process goes on as the user that started it,
// without capabilities) and is no failure; a lookup that fails is.
// GiveRuntimeFilesToAccount hands the account what every process that
// runs as it writes: `incoming` (new mail), the message-identifier
// counter and the mutex directory with their files, the event log. The
// directories above them (the spool, the state and log directories) stay
// root's and only let the account's group pass, so the account can never
// swap root's files for links. Each program adds its own (the receiver's
// inlog, the delivery agent's queues: ZELDELIV/remote) with
// RunHandOverSteps.
//
// Callers: the delivery agent's start (the receiver has the same steps of
// its own), as root, before any thread of the program's own. Failures are
// reported as events ("chown <what>", "getpwnam") and returned as false.
#pragma once

#include <sys/types.h>

#include <functional>
#include <initializer_list>
#include <utility>

// Who a process becomes: with Switch, the account's uid and primary gid.
struct ServiceAccountIds {
  bool Switch = false;
  uid_t Uid = 0;
  gid_t Gid = 0;
};

// False (reported) when the account could not be looked up.
bool ResolveServiceAccountIds(ServiceAccountIds *ids);

// A hand-over step: what it is (for the event) and the work.
typedef std::pair<const char *, std::function<bool()>> HandOverStep;
// Runs the steps in order; the first that fails is reported as the error
// of "chown <what>" and ends the hand-over.
bool RunHandOverSteps(std::initializer_list<HandOverStep> steps);

bool GiveRuntimeFilesToAccount(uid_t uid, gid_t gid);
