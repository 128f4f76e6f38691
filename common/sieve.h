// sieve: the mail filters users write themselves (the Sieve language, RFC
// 5228, with the extensions listed by SieveCapabilities()): a script is
// compiled once and run against each message delivered to its owner.
//
// Callers: the delivery agent (local delivery, one run per recipient with an
// active script, in the recipient's session), the IMAP server's ManageSieve
// (PUTSCRIPT and CHECKSCRIPT compile and report the error), zeladm (sieve
// check, put). The script and the message are untrusted: a script is a
// user's text and the message comes from the network.
//
// Compile: SieveCompile reads the text (at most SieveLimits::MaxScriptBytes,
// blocks and tests nested at most MaxNesting deep), checks every command,
// test and tagged argument against the extensions the script requires, and
// with an include loader also compiles every script it includes (loops and
// depth refused). An error gives its line and a plain text, as ManageSieve
// returns it. Without a loader includes are checked for form only, so that
// a script can be stored before the script it includes.
//
// Run: SieveRun interprets a compiled script against one message and gives
// the ordered action list. Only the caller knows its mailboxes, the
// duplicate store, the time and the processor time used: SieveContext
// asks it. SieveRun fails (false, SieveResult::Error set) when the script
// meets a run-time error (reject with fileinto, a second vacation, ...) or
// runs past a limit (actions, redirects, processor time); the caller then
// files the message into INBOX as if there were no script and writes one
// event: a Sieve fault never loses mail. SieveRun acts on nothing itself:
// it sends no reply, files nothing and records no duplicate; the result
// says what to do, and the caller does it.
//
// What the caller keeps doing itself: the automatic-reply rules for
// vacation (no reply to lists, bulk, auto-submitted or null senders; the
// :days or :seconds memory per sender and handle), a reject to a null or
// list sender (kept instead), recording the duplicate marks after the
// message was delivered, and writing the edited header.
//
// Threads and lifetimes: a SieveScript is immutable after compile and may
// be run by several threads at once; SieveRun keeps no state between calls
// and the result owns all its text. No exceptions; allocation failures are
// the process's.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

// The limits of one script and one run. The defaults are the suite's
// (registry values of the integration: the names are in docs/sieve.md).
struct SieveLimits {
  size_t MaxScriptBytes = 64 * 1024;   // a script and each script it includes
  uint32_t MaxActions = 32;            // actions of one run, implicit keep included
  uint32_t MaxRedirects = 4;           // redirect actions of one run
  uint32_t MaxCpuMillis = 100;         // processor time of one run
  uint32_t MaxNesting = 15;            // blocks and tests inside one another
};

// Where an included script is found (RFC 6609): the user's own scripts or
// the administrator's shared ones.
enum class SieveLocation : uint8_t { Personal, Global };

// Loads an included script: true and its text, or false when there is no
// such script (a name is already checked to be a plain script name).
using SieveIncludeLoader =
    std::function<bool(SieveLocation where, std::string_view name, std::string *text)>;

// A compile or run-time error: the line of the script (1-based; 0 when the
// error has none) and the text, e.g. "line 3: unknown command \"filein\"".
struct SieveError {
  uint32_t Line = 0;
  std::string Script;   // the included script the error is in; "" for the main one
  std::string Text;     // without the line number
  // "line N: text" or "script NAME: line N: text", as ManageSieve returns it.
  std::string Describe() const;
};

struct SieveProgram;   // the compiled form (sieveparse.h, sievecheck.h)

struct SieveScript {
  std::shared_ptr<const SieveProgram> Program;
};

// The message as the delivery agent has it on disk, its SMTP form undone:
// the header fields (each line with its line end, without the blank line
// that ends them) and the body behind that blank line.
struct SieveMessage {
  std::string_view Header;
  std::string_view Body;
  uint64_t Size = 0;   // the message size for the size test; 0: header, CR LF and body
};

struct SieveEnvelope {
  std::string From;   // the envelope sender without <>; "" for the null sender
  std::string To;     // the recipient this run delivers to
};

// What only the caller knows. Callbacks that are not set answer "no" (a
// mailbox does not exist, nothing is a duplicate) and the clock reads 0.
struct SieveContext {
  std::function<bool(std::string_view mailbox)> MailboxExists;
  std::function<bool(std::string_view mailboxId)> MailboxIdExists;
  // Was this duplicate key seen before (and not expired)? Recording is the
  // caller's after delivery (SieveResult::Duplicates).
  std::function<bool(std::string_view key)> DuplicateSeen;
  // Processor time of this process or thread in microseconds; read at the
  // start and every few steps to hold SieveLimits::MaxCpuMillis.
  std::function<uint64_t()> CpuMicros;
  int64_t Now = 0;             // seconds since 1970 (UTC): currentdate and default dates
  int LocalZoneMinutes = 0;    // the host's offset from UTC at Now, for date without :zone
  // The recipient's own addresses: vacation replies only to mail sent to one
  // of them (with the script's :addresses) and never to them.
  std::vector<std::string> UserAddresses;
  std::string RecipientDelimiter = "+";   // subaddress :user and :detail
};

enum class SieveActionKind : uint8_t { Keep, FileInto, Redirect, Reject, Ereject, Discard, Vacation };

struct SieveVacation {
  uint64_t Seconds = 7 * 86400;   // remember a sender this long (:days or :seconds)
  std::string Subject;            // the reply's subject ("Auto: " and the message's when not given)
  std::string From;               // :from; "" for the recipient's address
  std::vector<std::string> Addresses;   // :addresses
  bool bMime = false;             // the reason is a MIME entity, header included
  std::string Handle;             // :handle, or one made from the arguments
  std::string Reason;
};

struct SieveAction {
  SieveActionKind Kind = SieveActionKind::Keep;
  bool bImplicit = false;   // the implicit keep
  std::string Mailbox;      // fileinto
  std::string MailboxId;    // fileinto :mailboxid: file there when it exists
  bool bCreate = false;     // fileinto :create
  bool bCopy = false;       // fileinto, redirect :copy (informational: it cancels no implicit keep)
  std::vector<std::string> Flags;   // keep and fileinto: IMAP flags to set
  std::string Address;      // redirect
  std::string Text;         // reject, ereject: the reason
  SieveVacation Vacation;   // vacation
};

// A duplicate key to record once the message is delivered (RFC 7352).
struct SieveDuplicateMark {
  std::string Key;
  uint64_t Seconds = 0;   // how long it is remembered
  bool bLast = false;     // :last: the time runs from this message (the record is renewed)
};

struct SieveResult {
  std::vector<SieveAction> Actions;   // in script order, the implicit keep last
  // editheader: the header as the script left it (each line with CR LF);
  // the message is delivered with it when bHeaderEdited.
  bool bHeaderEdited = false;
  std::string Header;
  std::vector<SieveDuplicateMark> Duplicates;
  SieveError Error;                   // when SieveRun failed
};

// The extensions for require and ManageSieve's SIEVE capability, space
// separated.
std::string_view SieveCapabilities();

// Compiles text. includeLoader may be empty (see above). False and *error
// when the script is refused.
bool SieveCompile(std::string_view text, const SieveLimits &limits,
                  const SieveIncludeLoader &includeLoader, SieveScript *script, SieveError *error);

// Runs a compiled script. True and the actions, or false and result->Error:
// the caller then keeps the message in INBOX.
bool SieveRun(const SieveScript &script, const SieveMessage &message, const SieveEnvelope &envelope,
              const SieveContext &context, const SieveLimits &limits, SieveResult *result);

// Runs scripts one after another as one run (the administrator's script
// before the user's): they share the actions, the flags, the header edits
// and the limits; the implicit keep is decided after the last. stop ends
// every script (the administrator's script can file spam and stop), return
// only its own. A failure in any is a failure of the run.
bool SieveRunScripts(const std::vector<const SieveScript *> &scripts, const SieveMessage &message,
                     const SieveEnvelope &envelope, const SieveContext &context, const SieveLimits &limits,
                     SieveResult *result);
