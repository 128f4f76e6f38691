// pathusers: the processes that are using a directory tree: whose working
// or root directory, or one of whose open descriptors, lies inside it.
//
// Callers: zeladm user move, which waits until no session of the user
// (POP3, IMAP: each holds its mailbox's lock file or folder descriptors)
// still works in the mailbox before it copies it. Read from /proc: the
// links of processes that end meanwhile, or that the caller may not read,
// are passed over. A descriptor that names no path (a socket, inotify) is
// no use of the tree. Threads: no state.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

// The processes (other than the caller) using the tree at directory (an
// absolute path, as /proc shows it: symbolic links resolved). False with
// the last error only when /proc cannot be read.
bool ProcessesUsingTree(const std::string &directory, std::vector<pid_t> &pids);
