// spoolqueue: the queued messages as the administrator sees them, and the
// markers and locks through which zeladm and the delivery agent share them.
//
// A queued message is named by its identifier: the base name of its files
// ("B0000000042" for incoming/B0000000042.RCP, holding/B0000000042.MSG and
// domains/<queue>/B0000000042.RCP). ListQueue reads the recipient files of
// `incoming` and of every queue directory under `domains`, the domain
// records beside them and the message files, and gathers them by message.
//
// Markers (files whose presence is the message):
//   holding/<id>.HLD      the message is held: the agent's queue walker
//                         skips its recipient files until the marker goes.
//   domains/<q>/DOMAIN.RTY  a retry of queue <q> is asked for: the agent's
//                         scanning thread makes the domain due at once and
//                         removes the marker.
// Recipient file lock: whoever changes or removes a recipient file of a
// queue directory holds an flock on it (LockRecipientFile). The agent
// holds it while it works on one file (read, deliver, rewrite or delete);
// zeladm holds it to delete one. The file is replaced by a rename, so a
// lock on a file that has lost its name means nothing: the taker checks the
// name after the flock (platform/lockfile).
//
// Callers: zeladm queue (tools/zeladm/queuecmd), the agent's queue walker
// and scanning thread (ZELDELIV/queue, ZELDELIV/delivery), and the agent's
// retry timing (NextRetryTime, ZELDELIV/routing).
//
// Untrusted input: identifiers typed by the administrator (IsQueueId before
// any path is built from one); recipient files, domain records and message
// files of the spool, read with bounded readers (every line, field and file
// cut to a stated size). Names from directory listings are used only as
// listed.
//
// Threads: no state; the functions may run on several threads at once.
// Failures: a file that cannot be read is counted in the listing
// (Unreadable) and skipped; a directory that cannot be read fails the
// listing with its error.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/files.h"

// The domain record of a queue directory.
constexpr const char *kDomainRecordName = "DOMAIN.MRI";
// A retry request beside it (see above).
constexpr const char *kRetryRequestName = "DOMAIN.RTY";
// The hold marker's extension, in the holding directory.
constexpr const char *kHoldMarkerExtension = ".HLD";
// An identifier: the identifier generator's names ("B" and ten digits),
// copies with a "-N" suffix, and a margin.
constexpr size_t kMaxQueueId = 64;
// The last error of a domain kept in its record, in characters.
constexpr size_t kMaxLastErrorText = 200;
// A domain record is read up to this size (the agent's own bound).
constexpr size_t kMaxRecordSummaryBytes = 64 * 1024;

// True when id is 1..kMaxQueueId letters, digits, "-" or "_": no ".", no
// "/", nothing a path could be built into something else from.
bool IsQueueId(std::string_view id);

// holdingDir + "/" + id + ".HLD".
std::string HoldMarkerPath(const std::string &holdingDir, std::string_view id);

// Flocks the recipient file at path (see above), waiting up to timeoutMs
// for its holder (0: one attempt). ERROR_SUCCESS with lock holding it;
// ERROR_FILE_NOT_FOUND when the file is gone; ERROR_ALREADY_EXISTS while
// someone else holds it.
long LockRecipientFile(const std::string &path, long long timeoutMs, UniqueFd &lock);

// The time of the next attempt on a domain after tryNumber failed attempts,
// the last at lastTried (seconds since 1970): the retry schedule's entry for
// tryNumber in minutes (at least one) after lastTried, or 0 (at once) when
// the schedule is used up and the next attempt gives up.
long long NextRetryTime(long long lastTried, int tryNumber);

// What a listing needs of a domain record.
struct DomainRecordSummary {
  long long LastTried = 0;
  int TryNumber = 0;
  std::string LastError;   // "" when none was recorded
};
// Reads "Last-tried:", "Try-number:" and "Last-error:" lines (keywords
// ignoring case, at most kMaxRecordSummaryBytes of text, lines cut at 511
// characters); other lines are ignored.
void ParseDomainRecordSummary(std::string_view text, DomainRecordSummary &out);

struct QueuedRecipient {
  std::string Address;
  std::string Queue;       // the domain; "" for local delivery
  bool Incoming = false;   // not yet taken up by the agent
  int Tries = 0;
  long long NextTry = 0;   // seconds since 1970; 0 for "now"
  std::string LastError;
};

struct QueuedMessage {
  std::string Id;
  std::string ReturnPath;   // "" for the null sender
  uint64_t Size = 0;        // of the message file; 0 when it is missing
  long long Queued = 0;     // its modification time; 0 when it is missing
  bool Held = false;
  std::vector<QueuedRecipient> Recipients;
};

struct QueuePaths {
  std::string Incoming, Holding, Domains;
};

struct QueueListing {
  std::vector<QueuedMessage> Messages;   // by identifier
  size_t Unreadable = 0;   // recipient files that could not be read
  bool Cut = false;        // a directory held more than the bound
};

// Lists the queue: every message with at least one recipient file, or only
// the message id when onlyId is not empty. At most maxFiles recipient files
// per directory (Cut is set when there were more). False with the error
// (GetLastError) when a directory could not be read.
bool ListQueue(const QueuePaths &paths, std::string_view onlyId, size_t maxFiles,
               QueueListing &out);
