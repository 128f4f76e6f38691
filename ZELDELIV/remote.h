// remote: the delivery agent as two processes.
//
// The privileged side is the service's own process. It keeps root (or the
// capabilities of its unit) for what needs them: taking mail up from
// `incoming`, local delivery into mailboxes as their owners, the lists,
// garbage collection. It holds no network socket and parses no network
// input: this host's names come from its interfaces and the hosts file.
// The remote side is a child process that delivers to other hosts: the
// domain list and the domain delivery threads, DNS, the SMTP client, TLS,
// and the mail filters of generated mail. It runs as the service account
// (ServiceAccount) without any capability and with no_new_privs; with no
// account to switch to (ServiceAccount empty, unknown, or a start that is
// not root's) it stays the user that started the agent, still without any
// capability. A memory fault in what strangers send (an exchanger's
// replies, a TLS handshake, a DNS answer) then reaches neither root's
// files nor the registry.
//
// Privileged side. PrepareRemoteSide (at start, as root, before any thread
// of the agent's own) settles the account and hands it its files;
// StartRemoteSide (from the scanning thread, once the filings of an
// interrupted run are settled) starts the supervisor thread, which starts
// the child (platform/childproc: this program again, with
// kRemoteSideArgument), serves its requests and, when it ends, reports
// event 228 and starts it again after a back-off that doubles from
// kFirstRestartSeconds to kMaxRestartSeconds (back to the first once a
// child ran kHealthyRunSeconds). Nothing queued is lost: the files the
// child worked on stay where they were, and the next child takes its
// domains up at its first upkeep. StopRemoteSide ends the child with the
// service; the kernel kills it should the service die (parent-death
// signal). The child asks the privileged side for:
//   - local delivery of a domain's queue when this host is the domain's
//     best exchanger (routing's DeliverDomainLocally), answered with the
//     walk's result (the child waits kPrivilegedAnswerWaitMs at most);
//   - a dead letter for a held message it cannot send (ndreport's
//     DeadMessage): `dead` is not the account's;
//   - the removal of a domain directory whose queue it finished (the
//     account may not write `domains`);
//   - the relay host's password (GatewayPasswordFile, root's and 0600, so
//     the account cannot read it): at each connection to the relay host
//     the child hands a memory file (never on a disk), the privileged side
//     writes the file's first line into it, and the child wipes its copy
//     once AUTH is done. The account never holds more than the password
//     itself, and only while it is used.
// The privileged side asks the child for the mail filters' work on the
// mail it generates (genfilter's hand-off: the message file, an envelope
// file and a file for a changed text, as descriptors; until the child
// answers, or while it is down, the message waits) and wakes it after each
// work cycle, which runs the domain list's upkeep there (a child runs its
// first upkeep only once a work cycle has filed what was queued before:
// the supervisor wakes a child started after that at once).
//
// Remote side. RemoteSideMain is the child's whole program: the settings,
// read as root; the switch to the account and the loss of every
// capability (platform/privilege); then this host's names (name servers
// may be asked now), the gateway route, the domain upkeep thread and the
// channel (ZELDELIV/channel). It ends when the channel closes.
//
// Files the account gets (at every start, and made so as the agent
// creates them): `incoming` for failure reports (written under its lock,
// as the receiver writes), the domain queue directories and their files,
// `outlog`, the message-identifier counter, the mutexes and the event log;
// its group may pass through the spool, list `domains` and open held
// messages by name in `holding`, whose files are the account's. Never
// the local queue, `dead`, `lists`, mailboxes or the registry.
//
// Untrusted input: every message of the child (chanwire bounds them); a
// domain reaches the file system only through DomainDirectory and never
// names the local queue, a dead letter names only a held message's file
// ("<base>.MSG") of `holding`, its reason is logged safe, and the envelope
// and text the child hands back are checked like a filter's (genfilter).
//
// Threads: on the privileged side the supervisor, which is also the
// channel's reader, and the channel's handler threads; on the remote side
// the channel's reader (the main thread), the upkeep thread, the domain
// delivery threads and the handler threads. The hooks of the lower floors
// (genfilter's, routing's, ndreport's, delivery's) are set before any of
// those threads start. Failures: events 228 (the child ended), 229 (it
// runs), and the errors of the start's steps.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <vector>

#include "ZELDELIV/chanwire.h"
#include "platform/files.h"

// The first argument that makes the program the remote side.
constexpr const char *kRemoteSideArgument = "-remote-delivery";
// Restarts of a child that ended: 1, 2, 4 ... 60 seconds apart, so that a
// child that cannot run costs one attempt a minute.
constexpr unsigned kFirstRestartSeconds = 1;
constexpr unsigned kMaxRestartSeconds = 60;
// A child that ran this long was healthy: the next restart comes at once.
constexpr unsigned kHealthyRunSeconds = 60;
// The child waits this long for the privileged side's answer (a domain's
// local delivery, a dead letter): a domain queue is a few mailbox copies
// per message, and longer means the privileged side is stuck; the work is
// tried again (the domain on its retry schedule).
constexpr unsigned kPrivilegedAnswerWaitMs = 10 * 60 * 1000;
// The mail filters of one generated message may take up to the longest
// time-out a filter may have (an hour); the message then waits.
constexpr unsigned kFilterAnswerWaitMs = 3600 * 1000;
// Generated mail waits this long for a child that is starting, before it
// is left for the next pass.
constexpr unsigned kRemoteSideStartWaitMs = 10000;
// A child that does not end this long after its channel closed is killed.
constexpr unsigned kRemoteSideExitWaitMs = 5000;

// ---- the privileged side

// As root: resolves the account, hands it its files, and sets the hooks
// that send work to the remote side. False (reported) fails the start.
bool PrepareRemoteSide();
// Hands the account what the remote side writes (PrepareRemoteSide does
// it at every start; -install at installation). False (reported) on a
// failure.
bool GiveFilesToRemoteSide(uid_t uid, gid_t gid);
// Starts the supervisor (the scanning thread's beforeFirstCycle).
void StartRemoteSide();
// Ends the child and the supervisor, waiting a few seconds at most.
void StopRemoteSide();
// What the privileged side does for one request of the remote side (a
// message chanwire parsed): the answer's value (kAnswerRefused for what
// the remote side may not ask). Exposed for the tests.
uint32_t ServeRemoteSideRequest(const ChannelMessage &request);
// The request for the relay host's password: written into the one memory
// file of fds (the password file's first line, read now, as root) with 1,
// or the reason there is none with 0; kAnswerRefused without that file.
// Exposed for the tests.
uint32_t HandGatewayPassword(std::vector<UniqueFd> &fds);

// ---- the remote side

// The child's program; argv[1] is kRemoteSideArgument. readSettings reads
// the agent's settings (as the service does at its start). The process's
// exit status.
int RemoteSideMain(int argc, char **argv, void (*readSettings)());
