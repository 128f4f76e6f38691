// queue: the delivery agent's queues on disk, and its stop flag.
//
// Queue directories: below `domains`, "$local$" for local users and one per
// destination domain (DomainDirectory). Every queue directory holds one
// recipient file per message, "<base>.RCP" (a staged "<base>.NEW" while the
// incoming scan files it); the message text waits once in `holding`
// (HeldMessagePath). ForEachMessage walks a queue: it hands each recipient
// file to a callback, which marks the recipients it finished for good
// (bDisposed), and then deletes the file or replaces it, whole and durable,
// with the recipients left. A delete marker "<base>.DEL" beside a recipient
// file (written when the file could not be deleted) keeps it from ever
// being opened again. The walker holds each recipient file's lock while it
// works on it and skips the files of held messages (common/spoolqueue).
// When a file can neither be replaced nor deleted, the walker remembers its
// finished recipients for the life of the process and applies them before
// the next callback, so they are never delivered twice.
//
// The stop flag: hTerminating is the stop event of the agent's threads, set
// when the service stops; every loop over queue files, domains or list
// messages asks Terminating() between items and leaves the rest for the
// next start.
//
// Callers: the scanning thread (incoming pick-up, the local retry queue,
// garbage collection, list processing) and the domain delivery threads
// (routing's DeliverAllMessages). The callbacks come from the floors above:
// local delivery, the SMTP client, the give-up reports of routing.
//
// Untrusted input: recipient files are parsed with the bounded ReadMsgInfo;
// a message identifier that does not name the file's own message is
// replaced by one formed from the file name (NameMessageAfterFile), so no
// path is ever built from it. Domain names come from recipient addresses
// and directory names and reach the file system only through
// CreateDomainDirectoryName, which refuses a "/".
//
// Threads: ForEachMessage runs on the scanning thread and on domain
// delivery threads at once, each on its own queue. LockDomainDirectory
// excludes the removal of an empty queue directory from the filing of a
// new recipient file into it. The remembered dispositions have their own
// lock and live until the process ends. hTerminating is created before the
// threads start and never destroyed while they may run.
//
// Failures: a recipient file that cannot be read stays for the next pass;
// a file that cannot be deleted gets its delete marker (or, failing that,
// the error "CreateFile(<marker>)" is reported).
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "common/smtputil.h"
#include "platform/files.h"
#include "platform/sync.h"
#include "platform/textfile.h"

// A domain name, as in a DNS name's 256-byte field.
constexpr size_t kMaxDomainName = 256;
// Recipient files listed from one queue directory in one pass; a larger
// backlog is finished by later passes.
constexpr size_t kMaxQueueListing = 100000;
// Domain directories known at once; more wait for a later cycle.
constexpr size_t kMaxDomainDirectories = 100000;
// Recipient files whose finished recipients are remembered at once; when
// full, no further file is worked on until one of them is settled (better
// late than twice).
constexpr size_t kMaxRememberedFiles = 10000;
// The name under which a queue file is written until its message is
// committed (see incoming.h).
constexpr const char *kStagedExtension = ".NEW";

// Domain entry states.
constexpr int kDomainWaiting = 0;    // not yet due
constexpr int kDomainReady = 1;      // due, not taken
constexpr int kDomainActive = 2;     // a domain delivery thread works on it
constexpr int kDomainFinished = 3;   // to be removed

// One domain queue as the domain list (delivery) knows it; its retry time
// is set by routing.
struct _DomainInfo {
  std::unique_ptr<_DomainInfo> Next;
  std::string DomainName;   // from the directory name, at most kMaxDomainName
  long long RetryTime = 0;  // seconds since 1970
  int State = kDomainWaiting;
  int bSlow = 0;            // its last attempt ran out of a time limit (routing's bSlow)
  long long AttemptStartMs = 0;   // MonotonicMs when the attempt in progress began
};

// The stop event of the agent's threads (manual reset); null until created.
extern std::unique_ptr<ZelEvent> hTerminating;
// True once the stop event is signalled.
bool Terminating();

// A queue walker's callback: marks the recipients it finished (bDisposed).
// It sees only recipients still to do. Its result is not used.
typedef bool (*MessageCallback)(_tMsgInfo &info, void *context);

// The queue directory of domain ("" for the local retry queue); "" when the
// name cannot be a directory name.
std::string DomainDirectory(const std::string &domain);
// The held message of info: copy 0 in the holding directory.
std::string HeldMessagePath(const _tMsgInfo &info);

// A walk's group commit: finishes what the callbacks of a group of files
// left to finish (see local's mailbox copies) before the files are
// settled; it may give recipients back (bDisposed 0).
typedef void (*GroupCommit)(void *context);

// Walks the queue of domain (null or "" for the local retry queue): 1 when
// every recipient file was finished, 0 when one or more were kept. With
// commit, the files are walked in groups of up to 32: the callbacks of a
// group run, then commit(context), then the group's files are settled.
int ForEachMessage(const char *domain, MessageCallback callback, void *context,
                   GroupCommit commit = nullptr);

// Writes a new recipient file at path (a name that must not exist yet) in
// the queue directory: info's envelope with the given recipients (their
// Name and Original-Address), the file given to the directory's owner (a
// domain queue is the remote side's). The file joins sync: it is durable
// only once the caller's sync succeeds. False, with nothing left at path,
// when it cannot be written.
bool WriteRecipientFile(const std::string &path, const std::string &directory,
                        const _tMsgInfo &info, const std::vector<const _tRcpInfo *> &recipients,
                        SyncGroup &sync);

// Opens a recipient file unless its delete marker exists. False when the
// marker exists or the open fails.
bool OpenRcpFile(const std::string &path, const char *mode, TextFile &stream);
// Deletes a recipient file (a file already gone counts as deleted) and,
// with syncDirectory, makes the deletion durable (without it, the caller
// syncs the directory before it counts on the deletion). When the delete
// fails, writes the delete marker in its place and returns false.
bool DelRcpFile(const std::string &path, bool syncDirectory = true);
// The marker path: path up to its last "." (in the last component) + ".DEL".
std::string DeleteMarkerPath(const std::string &path);
// The marker's text: event 137 with the path and the error in decimal,
// broken at 80 columns, each line ending in "\n".
std::string DeleteMarkerText(const std::string &path, long error);
// The message's identifier names the file's own message (its base name up
// to the "@"); otherwise it is replaced by the base name + "@" + this host.
void NameMessageAfterFile(_tMsgInfo &info, const std::string &fileName);

// Conditions reported at most once (a deferral per message and cause, a
// queue file that cannot be written): true the first time key is asked
// for. The memory is bounded; when full it starts over (an event more,
// never one less). Thread-safe.
constexpr size_t kMaxRememberedReports = 10000;
bool FirstReportOf(const std::string &key);

// Holds the lock of one queue directory (by path) against the removal of
// that directory; see the threads note above.
std::unique_lock<std::mutex> LockDomainDirectory(const std::string &directory);
// Creates the queue directory and makes its entry durable; a domain's is
// given to the remote side's account (RemoteSideAccount). True when it
// exists afterwards.
bool CreateQueueDirectory(const std::string &directory);
// Removes an empty queue directory under its lock (a directory that still
// holds files stays). True when removed.
bool RemoveQueueDirectory(const std::string &directory);
