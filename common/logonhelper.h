// logonhelper: password checks, and the start of a logged-on user's
// session, done by helper processes that keep root, for services that run
// without it (the receiver's AUTH, the POP3 front).
//
// The check is the logon pool's own (CheckLogon: the failure accounting,
// the accounts file, else PAM, MinimumLogonUid); only where it runs
// changes. StartLogonHelpers forks the helpers (platform/helperproc, whose
// keeper replaces a helper that dies) while the service is still root;
// afterwards CheckLogonThroughHelpers, the pool's check function, sends
// each job to a free helper and fills the job's outcome from the answer
// (a helper that died, or none free within a few seconds, fails the check
// as a failed checker: a temporary failure for the client). Without
// helpers it checks in the process.
//
// Sessions. A job that carries a session start record (common/
// sessionstart) and two descriptors (the session's data socket: the
// client's own socket, or a relay pair's end; and its control socket) has
// its session started by the helper when the check passes: the helper
// forks, the child keeps only those two descriptors and the standard
// streams and runs the program afresh as a session process (so nothing of
// the helper's memory, which has seen other users' passwords, reaches it),
// still as root, with the logged-on identity, so that it can reach the
// mailbox and then become the user for good (platform/privilege's
// BecomeMailUser; a session never runs as root). The helper answers once
// the child runs; the pool thread then waits, at most kSessionStartWaitMs,
// for the session's first control message: it serves the client, or it
// could not start and names the reply the front sends instead.
//
// Wire format (both directions bounded, parsed with explicit lengths; the
// helper trusts the service no more than the network): a request is four
// 16-bit lengths (little-endian: name, password, client address, session
// record), one byte of flags (a master logon: the helper then checks the
// secret and the client itself, LogonJob::bMasterLogon) and the four
// fields, nothing more; an answer is one byte of
// flags (logged on, name unknown, lookup failed, blocked, refused for its
// uid, session started, a host account), the error, PAM's fail delay and the session's
// error as 32-bit numbers, and the account's domain (the rest, at most
// kMaxLogonHelperDomain bytes).
//
// Secrets: every buffer that held a password, on either side, is wiped,
// also in a session's child before it runs.
// Threads: CheckLogonThroughHelpers from the pool's threads (each takes a
// helper of its own); StartLogonHelpers once, before any other thread of
// the service but the controller's starts.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "common/logonpool.h"

// Longest name and password a request carries: a longer one is cut to one
// byte more than any account name or password may have, so it still fails;
// the longest client address and session record; and the longest domain
// an answer carries.
constexpr size_t kMaxLogonHelperName = 256;
constexpr size_t kMaxLogonHelperPassword = 256;
constexpr size_t kMaxLogonHelperAddress = 64;
constexpr size_t kMaxLogonHelperSession = 3072;
constexpr size_t kMaxLogonHelperDomain = 255;
// How long a pool thread waits for a started session's first word.
constexpr DWORD kSessionStartWaitMs = 30000;

// Forks count helpers (and their keeper); with sessions, a passing check
// that asks for one starts it. False with the last error.
bool StartLogonHelpers(unsigned count, bool sessions = false);

// The session process: the program run afresh by the helper's child with
// kSessionArgument (common/service's Session hook), still as root, with
// the data socket on kSessionDataFd, the control socket on
// kSessionControlFd and the launch record (the logged-on identity: the
// account's name and domain, uid, gid and groups; then the front's start
// record) on kSessionLaunchFd. ReadSessionLaunch reads and decodes the
// record into job (Name, Domain, Token) and start; false when it is
// malformed. The program must become the user before it serves anyone.
constexpr int kSessionDataFd = 3;
constexpr int kSessionControlFd = 4;
// A session process that serves every connection of its user (IMAP) also
// gets its door (SessionFds[2]): the front hands it later connections there.
constexpr int kSessionDoorFd = 5;
constexpr int kSessionLaunchFd = 6;
bool ReadSessionLaunch(LogonJob &job, std::string &start);
// Supplementary groups a launch record carries at most (NGROUPS_MAX is
// larger, no mail user is in this many).
constexpr size_t kMaxSessionGroups = 1024;
std::string EncodeSessionLaunch(const LogonJob &job, std::string_view start);
bool DecodeSessionLaunch(std::string_view wire, LogonJob &job, std::string &start);
// Their process ids and their keeper's (for the tests).
std::vector<pid_t> LogonHelperPids();
pid_t LogonHelperKeeperPid();
// The logon pool's check (LogonPoolSettings::Check).
void CheckLogonThroughHelpers(LogonJob &job, DWORD *failDelayMs);
// After a session was given a connection (started, or handed one through
// its door): waits at most kSessionStartWaitMs on job.FrontControlFd for
// its first word (bSessionServes, or SessionReply, or SessionError).
void AwaitSessionWord(LogonJob &job);

// The wire format, exposed for the tests and the fuzz target.
std::string EncodeLogonRequest(const LogonJob &job);
bool DecodeLogonRequest(std::string_view wire, LogonJob &job);
std::string EncodeLogonAnswer(const LogonJob &job, DWORD failDelayMs);
bool DecodeLogonAnswer(std::string_view wire, LogonJob &job, DWORD *failDelayMs);
// The helper's side: answers one request (the service's, in wire form).
size_t ServeLogonRequest(char *request, size_t length, const int *fds, size_t fdCount,
                         char *answer, size_t room);
