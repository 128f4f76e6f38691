// incoming: taking messages up from the spool's `incoming` directory and
// filing their recipients into the queue directories.
//
// IncomingMail lists the recipient files of `incoming` under its directory
// lock (the receiver renames each one into place under the same lock),
// then, for each, without the lock: parses it, resolves its recipients
// (AliasFilter), moves the message file to `holding` and files every
// recipient into its queue: "$local$" for local users, the directory of
// the recipient's domain (in lower case) for the others.
//
// Nothing acknowledged is lost and no recipient is filed twice, whenever
// the process dies. The order of the work:
//   1. the message file moves to `holding` (durable);
//   2. each queue gets the message's whole recipient file under the staged
//      name "<base>.NEW", durable (file and directory), which no queue
//      walker opens; a staged or queued file of that message means "filed";
//   3. the recipient file in `incoming` is deleted (durable), or, if it
//      cannot be, its delete marker written: this is the commit;
//   4. each staged file is renamed to "<base>.RCP", where the walkers see
//      it.
// A restart finds a message in step 1 or 2 by its recipient file still in
// `incoming` with the message file already in `holding`, rolls back its
// staged files (RecoverQueueFilings) and files it anew; staged files of a
// committed message are rolled forward. Garbage collection counts both the
// recipient files of `incoming` and staged files as references, so the held
// message stays throughout.
//
// Untrusted input: recipient files in `incoming` come from the receiver and
// from the agent's own generated messages, parsed with the bounded
// ReadMsgInfo; the message identifier is checked against the file name
// (NameMessageAfterFile). Recipient domains become directory names only
// through CreateDomainDirectoryName, which refuses a "/".
//
// Threads: the scanning thread only. The filing of a recipient file into a
// domain directory holds that directory's lock (LockDomainDirectory)
// against its removal by a domain delivery thread.
//
// A message file is never moved over one already in `holding` (the
// identifier counter went back, say, and handed out a name still held):
// the newcomer stays in `incoming`, whole, with a warning "MoveFile(...)"
// once, and is taken up by a later pass once the held message of that
// name has been delivered and collected (garbage collection does not count
// such a newcomer as a reference to the held one). Its queue files could
// not be written before then either: they would take the held message's
// names.
//
// Failures: event 129 for a queue file that cannot be written, a warning
// "MoveFile" for a message file that cannot be moved, event 132 for a
// message file that is missing; in every case but the last the recipient
// file stays in `incoming` for the next pass.
#pragma once

#include <string>
#include <vector>

#include "common/smtputil.h"
#include "platform/files.h"

// Waits for the lock of `incoming` while listing it; a busy directory is
// scanned at the next cycle instead.
constexpr int kIncomingLockMs = 2000;
// Recipient files taken up in one pass; more are taken by later passes.
constexpr size_t kMaxIncomingBatch = 100000;

// One pass over `incoming`.
void IncomingMail();

// Files the recipients of info (already resolved) as staged queue files,
// appending each staged path to staged (also those found already staged).
// The files and their directories join sync: they are durable only once
// the caller's sync succeeds. False when a queue file could not be written
// (event 129): the message must not be committed yet.
bool RecordMessageInfo(const _tMsgInfo &info, std::vector<std::string> &staged,
                       SyncGroup &sync);

// At start, before the first work cycle and before any domain thread:
// settles the staged queue files a previous run left (rolled back when
// their message is still in `incoming`, rolled forward when it was
// committed) and removes temporary files of interrupted rewrites.
void RecoverQueueFilings();
