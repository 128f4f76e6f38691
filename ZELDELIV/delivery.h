// delivery: the delivery agent's scanning thread and its domain delivery
// threads; the top floor below the service's main file.
//
// DeliveryThread runs every work cycle (incoming pick-up, local delivery,
// list processing, domain list upkeep, garbage collection) when a recipient
// file appears in `incoming`, and at the latest every SMTPTimeout seconds.
// Up to MaxDeliveryThreads domain delivery threads (Deliver) work through
// the due domains of HeadDomains, one domain at a time each; an attempt on
// one domain is DeliverDomain (routing's DeliverAllMessages). Slow domains
// (the last attempt ran out of a time limit: the routing information's
// bSlow) get at most half of the threads, counting the attempts that have
// run longer than ReceiveTimeout0 among them: a due slow domain waits
// while they hold that half, and the other domains' mail goes on. The
// queues themselves, their walker and the stop flag are the queue module's.
//
// Callers: zeldeliv.cpp starts DeliveryThread; tests run single cycles and
// put their own DeliverDomain in.
//
// Untrusted input: domain names come from directory names (see queue.h).
//
// Threads: the scanning thread runs the work cycle; domain delivery threads
// run Deliver on their own domain. ThreadCreateSect guards HeadDomains,
// every entry's State and RetryTime, and the thread count; it is never held
// while mail is delivered. The domain list lives until the process ends
// (threads are not joined).
//
// Failures are reported as events; the work item stays where it is for the
// next pass.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "ZELDELIV/queue.h"
#include "platform/errors.h"

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

struct _RoutingInfo;

// What a domain delivery thread does with a due domain: 1 when its queue is
// finished, 0 when recipients remain. DeliverAllMessages; tests put their
// own in before any domain thread starts.
typedef int (*DomainAttempt)(_DomainInfo &entry, _RoutingInfo &info);
extern DomainAttempt DeliverDomain;

// SMTPTimeout in milliseconds: the longest a work cycle waits for the next.
DWORD ScanIntervalMs();
// The scanning thread's body (started by InitThisService): this host's
// names from its interfaces and the hosts file, the recovery of
// interrupted filings, then beforeFirstCycle (the agent starts its remote
// side there, zeldeliv.cpp), then the work cycles until the stop event.
void DeliveryThread(void (*beforeFirstCycle)());
// The domain list's upkeep that closes every work cycle: UpdateDomainInfo
// and CreateDomainThreads here (UpkeepDomainsHere), or a notice to the
// process that runs the domain threads (remote.h).
extern void (*DomainUpkeep)();
void UpkeepDomainsHere();
// What becomes of a domain directory whose queue is finished, once its
// record is gone: removed when empty (RemoveQueueDirectory), or handed to
// the process that owns `domains` (remote.h).
extern bool (*ReleaseQueueDirectory)(const std::string &directory);
// Garbage collection lists every queue and syncs the queue tree: under a
// stream of mail it runs at most once in this long.
constexpr DWORD kGarbageIntervalMs = 1000;
// One work cycle; the first one after start runs garbage collection before
// the domain list upkeep, later ones after it when kGarbageIntervalMs has
// passed since the last. True when garbage collection was left for later:
// the scanning thread then comes back after kGarbageIntervalMs.
bool WorkCycle(bool first);
// One pass over the local retry queue with DeliverToLocalUsers.
void LocalMail();

// The domain list. UpdateDomainInfo adds the domain directories not yet
// listed, and makes a domain with a retry request (kRetryRequestName, from
// zeladm queue retry) due at once unless a thread works on it; the request
// is removed once granted.
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
