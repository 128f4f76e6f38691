// sievedeliv: a local user's Sieve filter at delivery (common/sieve.h runs
// the script; this module finds it, runs it as the user and does what it
// says).
//
// Local delivery (local.cpp) asks SieveServeUser first for every user it
// delivers to. A user with an active script (common/sieveconf.h: where
// scripts live) is served by Sieve alone; the control file's forwarding
// and automatic reply are not read for that user. The administrator's
// script (SieveBeforeScript) runs before every user's; for a user without
// a script of their own it runs alone, and when it does no more than the
// implicit keep the control file serves the user as it always did.
//
// The actions: keep and fileinto copy the message into the folder (its
// flags set in the folder's index, the edited header when the script
// edited it; a copy without either, into INBOX or a folder that exists
// with its index, takes the usual mailbox copy and the walk's group
// commit), fileinto :create
// makes a missing folder (the special-use folders, Junk say, are made
// without it, as the IMAP server makes them), another missing folder
// means INBOX; discard
// drops the message; redirect is a forward (autoreply: its envelope sender
// rewritten with SRS); reject and ereject send a failure report to the
// sender, except to a null or list sender (then the message is kept);
// vacation sends a reply under the automatic-reply rules (never to a null,
// list, bulk or auto-submitted sender; one per sender and handle within
// :days or :seconds, remembered in the user's ".vacation" before the
// reply is written, so a crash can cost a reply but not send two; a
// subject that is not ASCII in encoded words); the duplicate marks are
// recorded in ".duplicate" after the copies are made. A run with more than
// one copy that stops half-way for a later pass notes the copies made in
// ".filed" (each copy durable at once, not staged), and the pass that
// finishes skips them: a retried delivery never files twice.
//
// The administrator's script is compiled once and again only when its
// file or its directory changes (FileStamp); one that cannot be used is
// said once per version (event 274) and skipped.
//
// A fault never loses mail: a script that does not compile (an include
// gone missing, a limit lowered since it was stored), a run-time error, a
// limit reached, or an action that cannot be done for good gives the
// message to INBOX as if there were no script, with one event 273 naming
// the user and the reason.
//
// Identity: the script is run, and every folder is reached, as the
// mailbox's owner on the calling thread (ImpersonationGuard on
// MailboxDir::Owner()), never as root; the user's script files are read
// through the mailbox's walk (MailboxDir), the administrator's as root.
//
// Untrusted input: the script (a user's text, bounded by the limits), the
// message (from the network) and the memory files (the user's: read
// bounded, lines that do not parse skipped).
//
// Threads: the settings set at start and the administrator's compiled
// script (under its own lock, shared read-only); runs on the scanning
// thread and the domain delivery threads at once.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "ZELDELIV/mailbox.h"
#include "common/sieveconf.h"
#include "common/smtputil.h"
#include "platform/mailboxdir.h"

// The settings, read at the agent's start (LoadSieveSettings).
extern SieveSettings DeliverySieve;

// The memory files (".duplicate", ".vacation"): keys remembered this long
// at most, and this many (the oldest go first when full).
constexpr uint64_t kMaxSieveMemorySeconds = 365ull * 86400;
constexpr size_t kMaxSieveMemoryEntries = 10000;
// Messages larger than this are not read into memory for a script: the
// user's mail is delivered as if there were no script (with the event).
constexpr uint64_t kMaxSieveMessageBytes = 64ull * 1024 * 1024;
// The reason of a reject placed into the failure report.
constexpr size_t kMaxSieveRejectText = 1024;

// Serves the user by Sieve when a script applies: true and *result (a
// local delivery result as DeliverToUserMailbox's, with error); false when
// no script applies and the control file serves the user.
bool SieveServeUser(const _tMsgInfo &info, _tRcpInfo &rcp, const MailboxDir &mailbox,
                    long &error, MailboxCopyGroup *group, int *result);

// The memory of a ".duplicate" or ".vacation" file: lines "EXPIRES KEY"
// (EXPIRES: seconds since 1970; KEY: a hex digest). SieveMemorySeen: key is
// there and not expired at now. SieveMemoryRemember: the text with key
// (re)set to expire at expires, expired lines dropped, at most
// kMaxSieveMemoryEntries kept (the soonest to expire dropped first).
bool SieveMemorySeen(std::string_view text, std::string_view key, int64_t now);
// The text without key's lines.
std::string SieveMemoryForget(std::string_view text, std::string_view key);
std::string SieveMemoryRemember(std::string_view text, std::string_view key, int64_t expires,
                                int64_t now);
