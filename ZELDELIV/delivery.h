// delivery: the delivery agent's scanning thread, the queue walker and the
// domain delivery threads.
//
// DeliveryThread runs every work cycle (incoming pick-up, local delivery,
// list processing, domain list upkeep, garbage collection) when a recipient
// file appears in `incoming`, and at the latest every SMTPTimeout seconds.
// Up to MaxDeliveryThreads domain delivery threads (Deliver) work through
// the due domains of HeadDomains, one domain at a time each.
//
// Queue files: every queue directory below `domains` ("$local$" for local
// users, one per destination domain) holds one recipient file per message,
// "<base>.RCP". ForEachMessage walks a queue: it hands each recipient file
// to a callback, which marks the recipients it finished for good
// (bDisposed), and then deletes the file or replaces it, whole and durable,
// with the recipients left. A delete marker "<base>.DEL" beside a recipient
// file (written when the file could not be deleted) keeps it from ever
// being opened again. When a file can neither be replaced nor deleted, the
// walker remembers its finished recipients for the life of the process and
// applies them before the next callback, so they are never delivered twice.
//
// Untrusted input: recipient files are parsed with the bounded ReadMsgInfo;
// a message identifier that does not name the file's own message is
// replaced by one formed from the file name, so no path is ever built from
// it. Domain names come from directory names.
//
// Threads: the scanning thread runs the work cycle; domain delivery threads
// run Deliver and ForEachMessage on their own domain. ThreadCreateSect
// guards HeadDomains, every entry's State and RetryTime, and the thread
// count; it is never held while mail is delivered. LockDomainDirectory
// excludes the removal of an empty domain directory from the filing of a
// new recipient file into it. The remembered dispositions have their own
// lock. The domain list lives until the process ends (threads are not
// joined).
//
// Failures are reported as events; the work item stays where it is for the
// next pass.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "common/smtputil.h"
#include "platform/errors.h"
#include "platform/textfile.h"

// A domain name, as in a DNS name's 256-byte field.
constexpr size_t kMaxDomainName = 256;
// Recipient files listed from one queue directory in one pass; a larger
// backlog is finished by later passes.
constexpr size_t kMaxQueueListing = 100000;
// Domain directories known at once; more wait for a later cycle.
constexpr size_t kMaxDomainDirectories = 100000;
// The threads' stacks: the original 32 KiB is too small for this code's
// 64 KiB copy buffers and the C library's resolver.
constexpr size_t kDeliveryThreadStack = 1024 * 1024;
// Domain delivery threads at once, whatever MaxDeliveryThreads says (0
// means no limit there): more only contend for the same links and would
// run into the process's thread limit.
constexpr int kMaxDomainThreads = 500;
// A domain record that cannot be read is tried again after this long.
constexpr DWORD kUnreadableRecordWaitMs = 60000;
// The scan interval is counted in milliseconds of a DWORD; a longer setting
// is taken as a day.
constexpr DWORD kMaxScanIntervalSeconds = 86400;
// Recipient files whose finished recipients are remembered at once; when
// full, no further file is worked on until one of them is settled (better
// late than twice).
constexpr size_t kMaxRememberedFiles = 10000;

// Domain entry states.
constexpr int kDomainWaiting = 0;    // not yet due
constexpr int kDomainReady = 1;      // due, not taken
constexpr int kDomainActive = 2;     // a domain delivery thread works on it
constexpr int kDomainFinished = 3;   // to be removed

struct _DomainInfo {
  std::unique_ptr<_DomainInfo> Next;
  std::string DomainName;   // from the directory name, at most kMaxDomainName
  long long RetryTime = 0;  // seconds since 1970
  int State = kDomainWaiting;
};

struct _RoutingInfo;

// A queue walker's callback: marks the recipients it finished (bDisposed).
// It sees only recipients still to do. Its result is not used.
typedef bool (*MessageCallback)(_tMsgInfo &info, void *context);

// What a domain delivery thread does with a due domain: 1 when its queue is
// finished, 0 when recipients remain. DeliverAllMessages; tests put their
// own in before any domain thread starts.
typedef int (*DomainAttempt)(_DomainInfo &entry, _RoutingInfo &info);
extern DomainAttempt DeliverDomain;

// The scanning thread's body (started by InitThisService).
void DeliveryThread();
// One work cycle; the first one after start runs garbage collection before
// the domain list upkeep.
void WorkCycle(bool first);
// True once the stop event is signalled.
bool Terminating();

// One pass over the local retry queue with DeliverToLocalUsers.
void LocalMail();
// The list pass (maillist: StandardMailingLists).
void MailingLists();

// Walks the queue of domain (null or "" for the local retry queue): 1 when
// every recipient file was finished, 0 when one or more were kept.
int ForEachMessage(const char *domain, MessageCallback callback, void *context);

// Opens a recipient file unless its delete marker exists. False when the
// marker exists or the open fails.
bool OpenRcpFile(const std::string &path, const char *mode, TextFile &stream);
// Deletes a recipient file (a file already gone counts as deleted). When
// that fails, writes the delete marker in its place and returns false.
bool DelRcpFile(const std::string &path);
// The marker path: path up to its last "." (in the last component) + ".DEL".
std::string DeleteMarkerPath(const std::string &path);
// The marker's text: event 137 with the path and the error in decimal,
// broken at 80 columns, each line ending in "\n".
std::string DeleteMarkerText(const std::string &path, long error);
// The message's identifier names the file's own message (its base name up
// to the "@"); otherwise it is replaced by the base name + "@" + this host.
void NameMessageAfterFile(_tMsgInfo &info, const std::string &fileName);

// Holds the lock of one queue directory (by path) against the removal of
// that directory; see the threads note above.
std::unique_lock<std::mutex> LockDomainDirectory(const std::string &directory);
// Removes an empty queue directory under its lock (a directory that still
// holds files stays). True when removed.
bool RemoveQueueDirectory(const std::string &directory);

// The domain list.
void UpdateDomainInfo();
void UpdateDomainRetryStatus(_DomainInfo &entry);
void CreateDomainThreads();
// Hands back entry (when not null) with newState, then hands out the next
// due domain in entry. False (and the thread count less one) when none.
bool GetNewDomain(_DomainInfo *&entry, int newState);
// A domain delivery thread's body.
void Deliver();

// For the service's upkeep and for tests: the threads alive, the list as
// (name, state) pairs, and freeing the list when no thread runs.
int DomainThreadsRunning();
std::vector<std::pair<std::string, int>> DomainListSnapshot();
bool FreeDomainList();
