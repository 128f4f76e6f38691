// listpass: the list pass of every work cycle. MailingLists runs
// StandardMailingLists, which sets ThisHostName when still empty, walks the
// spool's `lists` directory and hands each list directory that is not busy,
// under its lock, to distribution (maillist: a list mailbox) or to the list
// server (listcmds: a request mailbox, "<list>-request").
//
// Callers: the scanning thread's work cycle (delivery); tests.
//
// Untrusted input: directory names in `lists` come from recipient local
// parts; names that cannot be list directory names (IsSafeListDirectoryName)
// are skipped.
//
// Threads: the scanning thread only. A list directory is locked (LockDir,
// kListDirLockWaitMs) while it is worked on; a busy one waits for the next
// pass.
//
// Failures: none of its own; what cannot be done now stays for the next
// pass.
#pragma once

#include <cstddef>

// Directory entries of `lists` taken in one pass; more wait for later
// passes.
constexpr size_t kMaxListDirectories = 10000;

// The list pass of a work cycle.
void MailingLists();
// Sets ThisHostName when still empty, then works through every list and
// request mailbox that is not busy.
void StandardMailingLists();
