// sievestore: a user's stored Sieve scripts (the layout is sieveconf's):
// listing them, reading one, storing one whole, naming the active one,
// renaming and removing, for everything that manages scripts (the
// ManageSieve session as the user, zeladm sieve as root acting as the
// mailbox's owner).
//
// Every call works in the scripts directory opened as a MailboxDir (walked
// without following a user's link; files made as its owner, 0600);
// RemoveSieveScript and RenameSieveScript act as the calling process, so
// they are for a process that is the user already (the ManageSieve
// session). A
// script is replaced whole and durably or left as it was
// (MailboxDir::ReplaceFile stages and renames), so the delivery agent never
// reads half a script. Names are checked by the caller
// (SieveScriptNameIsValid) before they reach a call here.
//
// Untrusted input: the directory's entries and files (the user's own);
// listings and reads are bounded. Threads: no state; the directory object
// is the caller's. Failures: false with the thread's last error.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "platform/mailboxdir.h"

// Entries a listing reads at most: far more than SieveMaxScripts allows, so
// that scripts an administrator put there still show, bounded against a
// flood.
constexpr size_t kMaxSieveListing = 1000;

// The whole of the file open at fd, at most limit bytes (one more is read,
// so that a larger one is refused by the compile with its reason).
bool ReadSieveText(int fd, size_t limit, std::string &text);
// The names of the scripts in dir, sorted.
std::vector<std::string> ListSieveScripts(const MailboxDir &dir);
// The active script's name; "" when none is.
std::string ActiveSieveScript(const MailboxDir &dir);
// The script name's text, at most limit (+1) bytes; false with ENOENT when
// there is none.
bool ReadSieveScript(const MailboxDir &dir, std::string_view name, size_t limit, std::string &text);
// Stores text as the script name (replacing it).
bool StoreSieveScript(const MailboxDir &dir, std::string_view name, std::string_view text);
// Makes name the active script; "" makes none active.
bool ActivateSieveScript(const MailboxDir &dir, std::string_view name);
// Removes the script name (ENOENT when there is none).
bool RemoveSieveScript(const MailboxDir &dir, std::string_view name);
// Renames from to to, never replacing (EEXIST when to is taken); the
// active file names to when from was active.
bool RenameSieveScript(const MailboxDir &dir, std::string_view from, std::string_view to);
