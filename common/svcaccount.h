// svcaccount: the service account (`ServiceAccount`, default "zel") that a
// process of the suite leaves root for, and the files root hands it first:
// the receiver, the POP3 front and the delivery agent's remote side, each
// of which parses what strangers send.
//
// Started as root, such a process binds its ports (a front), forks what
// must keep root (the logon helpers) or reads its settings (the agent's
// remote side), and then runs as the account with no capability left
// (platform/privilege's ShedPrivileges). ResolveServiceAccountIds decides
// whether there is a switch: only a process that runs as root with a
// ServiceAccount set and known switches (to an account other than root). A
// name the system does not know is logged (event 176: the process goes on
// as the user that started it, without capabilities, so `./zel run` works
// on a bare machine) and is no failure; a lookup that fails is. An empty
// ServiceAccount keeps the process as whoever started it.
//
// What root hands over before the switch: GiveCommonFilesToAccount what
// every such process needs (the spool root and the state directory
// passable by the account's group, the registry database root's alone,
// read through a connection reopened read-only; the event log file);
// GiveRuntimeFilesToAccount, for those that write new mail, also
// `incoming`, the message-identifier counter and the mutex directory with
// their files. The directories above stay root's and only let the
// account's group pass, so the account can never swap root's files for
// links. Each program adds its own steps (the receiver's inlog, the POP3
// log, the agent's queues) with RunHandOverSteps.
//
// Callers: the programs' starts, as root, single-threaded where the
// switch happens (the fronts' ListenersBound hook). Failures are reported
// as events ("chown <what>", "getpwnam") and returned as false; a false
// result fails the start.
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
// Whether the process will leave root for another account (quietly).
bool WillRunAsServiceAccount();

// A hand-over step: what it is (for the event) and the work.
typedef std::pair<const char *, std::function<bool()>> HandOverStep;
// Runs the steps in order; the first that fails is reported as the error
// of "chown <what>" and ends the hand-over.
bool RunHandOverSteps(std::initializer_list<HandOverStep> steps);

bool GiveCommonFilesToAccount(uid_t uid, gid_t gid);
bool GiveRuntimeFilesToAccount(uid_t uid, gid_t gid);

// The whole switch of a front: resolves the account, hands it the common
// files and what give names, reopens the registry read-only and sheds
// every privilege. Without a switch it still sheds every capability.
using GiveToAccount = bool (*)(uid_t uid, gid_t gid);
bool LeaveRootForServiceAccount(GiveToAccount give);
