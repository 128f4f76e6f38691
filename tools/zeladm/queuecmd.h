// queuecmd: `zeladm queue`, the mail waiting for delivery.
//
//   zeladm queue list [--json]     every queued message (like mailq)
//   zeladm queue show ID           one message: recipients and header
//   zeladm queue retry [DOMAIN...] next try now (all domains, or these)
//   zeladm queue delete ID...      removes messages for good
//   zeladm queue hold ID...        the agent leaves them alone...
//   zeladm queue release ID...     ...until released
//
// Messages are named by their identifier, the base name of their spool
// files; the spool comes from the configuration. Reading and the markers
// that the delivery agent honours are in common/spoolqueue. Deleting while
// the agent runs: the message is held first (the agent starts nothing new
// on it), then each recipient file is deleted under its lock (waiting out a
// delivery in progress, bounded), the incoming pair under the incoming
// directory's lock, and the message file last; the hold marker is left to
// the agent's garbage collection, so that a recipient file filed in a race
// stays held rather than delivered.
//
// Untrusted input: identifiers and domains from the command line, checked
// before any path is built from them; the spool's files (bounded readers).
// Exit status: kAdmExitOk; kAdmExitFailure when an identifier or domain has
// nothing queued or the spool cannot be read or changed; kAdmExitUsage for a
// malformed identifier. Single-threaded (zeladm's main).
#pragma once

#include <string>

#include "common/spoolqueue.h"

// argv[0] is "queue".
int RunQueueCommand(int argc, char **argv);

// The listing as JSON (exposed for tests): {"messages": [...], "totals":
// {...}}; every byte outside printable ASCII is escaped, so the text is
// valid JSON whatever the spool holds.
std::string QueueListingJson(const QueueListing &listing, long long now);
