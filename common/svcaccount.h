// svcaccount: a network-facing service leaving root for the service
// account (`ServiceAccount`, default "zel") once its listeners are bound:
// the receiver and the POP3 front.
//
// Started as root, such a service binds its ports, forks what must keep
// root (the logon helpers), and then runs as the account with no
// capability left (platform/privilege's ShedPrivileges). Before the
// switch, root hands the account what it must write afterwards, through
// the program's give function; this module adds what every such service
// needs: the event log file, and read access to the registry database
// through a connection reopened read-only. With ServiceAccount naming no
// account, a service started by hand logs a warning and goes on as
// whoever started it (so `./zel run` works on a bare machine); an empty
// ServiceAccount keeps it as that user. Either way it keeps no capability.
//
// Callers: the program's ListenersBound hook (LeaveRootForServiceAccount),
// and its start, to know whether helpers are needed
// (WillRunAsServiceAccount). Single-threaded where the hooks run.
// Failures are reported as events; false fails the start.
#pragma once

#include <sys/types.h>

// Whether the service will leave root for another account.
bool WillRunAsServiceAccount();

// What the program hands the account (its own directories and files);
// false (reported by it) fails the start.
using GiveToAccount = bool (*)(uid_t uid, gid_t gid);

// The whole switch, as described above.
bool LeaveRootForServiceAccount(GiveToAccount give);

// The steps every such service needs (the event log, the spool root and
// the registry's directory passable by the account's group, the registry
// database root's); also run by -install. False after an event.
bool GiveCommonFilesToAccount(uid_t uid, gid_t gid);
