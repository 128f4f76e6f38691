// imapfolder: what the connections of one session process share: the
// user's mailbox, the folders they have selected (one index handle per
// folder, one change watch for all), and the registry of connections
// waiting in IDLE, which a change wakes.
//
// A change to a selected folder is seen three ways: a connection of this
// process changed it (NoteFolderChanged, after the change is in the
// index); the folder's directory changed (a delivery names a message file,
// POP3 or another process removes one: the watch thread's inotify); or
// another process wrote the index (its WAL file changed: the same watch).
// Each wakes the connections idling on that folder, which then report what
// changed; the others report it at their next command.
//
// Lifetimes: OpenSessionMailbox once before the engine runs;
// CloseSessionMailbox after it. Threads: the registry and the folder map
// have their own lock; a folder's index is used under the folder's lock.
#pragma once

#include <cstdint>
#include <string>

#include "ZELIMAP/imapconn.h"

// Opens the mailbox directory (the user's own by now) and starts the
// watch thread; false with the client's reply text.
bool OpenSessionMailbox(const std::string &directory, std::string &refusal);
void CloseSessionMailbox();

// Queues the untagged responses of what changed in the connection's
// selected folder since it was last told (EXISTS, RECENT, FETCH of flags,
// and, where expunges may be told, EXPUNGE or VANISHED).
void ReportFolderChanges(_Connection *conn, bool expungesAllowed);

// imapconn's hooks for IDLE: a connection in IDLE registers before its
// read (and reports at once what is already there), is woken by a change
// of its folder, and leaves the registry when its read is over.
void IdleBeforeRead(_Connection *conn);
void IdleReadStarted(uint64_t token);
void IdleAfterRead(_Connection *conn);
ImapGo IdleWoken(_Connection *conn);
