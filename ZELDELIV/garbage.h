// garbage: deleting held messages that no queue refers to any more, and
// empty queue directories.
//
// A message file in `holding` is referenced by every recipient file of its
// base name: in a queue directory below `domains` (queued, ".RCP", or
// staged, ".NEW"), and in `incoming` (a message taken up whose queue files
// are not all written yet, see incoming.h; a recipient file there whose
// message file is still beside it refers to that file only). DoGarbageCollection lists
// `holding` first and the references after it, and deletes only what it
// listed and found unreferenced; any listing that fails or is cut short
// stops it before anything is deleted. A hold marker ("<base>.HLD" in
// `holding`, common/spoolqueue) goes the same way as a message file. Names
// are compared ignoring case and held whole (std::string), so no name is
// ever cut.
//
// Threads: the scanning thread only, which is also the only thread that
// adds references (domain delivery threads only take them away), so a
// message referenced when the references are listed cannot lose its last
// reference and gain a new one unseen. Queue directories are removed under
// their lock (LockDomainDirectory). No events: what cannot be deleted is
// tried again at the next cycle.
#pragma once

#include <string>
#include <unordered_set>
#include <vector>

// Held messages and references listed per directory in one collection; a
// spool beyond this waits rather than risk deleting on a partial view.
constexpr size_t kMaxGarbageListing = 2000000;

// Message base names (the file name up to its last "."), in lower case.
typedef std::unordered_set<std::string> _MessageList;

// One collection: empty queue directories go, then unreferenced messages.
void DoGarbageCollection();

// Adds the base names of the recipient files (queued and staged) of
// directory to list; found tells how many there were. A directory that is
// gone adds nothing; false when it cannot be read completely.
bool AddMessagesToList(const std::string &directory, _MessageList &list, size_t &found);

// Deletes each of the held message files (names in `holding`) whose base
// name is not in list.
void DeleteOrphanedMessages(const _MessageList &list, const std::vector<std::string> &held);
