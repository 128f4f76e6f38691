// listcmds: the list server. Mail to a list's request address
// (<list>-request) waits in the list's request mailbox; the list pass hands
// each request mailbox to ProcessListRequestDirectory, which reads every
// message in it as commands, one per body line (HELP, JOIN/SUBSCRIBE,
// LEAVE/UNSUBSCRIBE, STOP, through one table), and answers each with one
// reply, the "Journal". Joins and leaves under moderator control are
// forwarded to the moderator unless the moderator sent them; the others
// change the list store (AddToList, RemoveFromList). On a list with
// ConfirmRequests set, a join or leave that would change the list changes
// nothing yet: a one-time token is stored with the request (liststore's
// Pending) and mailed to the address being added or removed, and only
// "CONFIRM <token>" sent back to the list's request address carries it out
// (a quoted "> CONFIRM <token>" line counts too). Tokens expire after
// 7 days; the same request within the hour sends no second mail, and a
// list keeps at most kMaxPendingRequests waiting.
//
// Callers: listpass (ProcessListRequestDirectory); tests and the fuzz target
// call the pieces below it.
//
// Untrusted input: the request's header and body and every command argument
// come from mail. Lines are read with a bound (kMaxRequestLine), at most
// kMaxRequestCommands are answered, addresses reach a header or the store
// only after the checks of maillist and liststore. A request whose reply
// would go to a list server (this one or another) ends as a dead letter.
//
// Abuse: a request is answered only when its moderator powers are real
// (the envelope sender and the From line name the moderator:
// IsModeratorByMail), its journal echoes at most kMaxRequestCommands lines,
// and one address gets at most kMaxJournalsPerDay journals a day from one
// list (liststore's durable count); further requests from it that day are
// dropped unanswered, with one event.
//
// Threads: the scanning thread only, with the request directory's lock held
// (listpass). No state of its own.
//
// Failures: a request that cannot be read stays for the next pass; once its
// commands have run it is deleted, whether or not its journal could be
// written.
#pragma once

#include <string>
#include <string_view>

#include "platform/textfile.h"

// A command line of a request; the rest of a longer line is skipped.
constexpr size_t kMaxRequestLine = 2047;
// Commands answered (and echoed in the journal) per request: a person's
// request holds a handful, and a journal that echoes more would let a
// request with a forged Reply-To mail a stranger any text it likes.
constexpr size_t kMaxRequestCommands = 20;

constexpr const char *kRequestLoopReason =
    "Mail loop detected when processing message to -request address";
constexpr const char *kJournalSubject = "Journal";
// The organisation named in the list server's texts.
constexpr const char *kListServerOwner = "TALVO";
constexpr const char *kConfirmCommand = "CONFIRM";
// Confirmation requests one message may cause.
constexpr size_t kMaxConfirmationsPerRequest = 10;
// A request repeated within this time sends no second confirmation mail.
constexpr long long kConfirmResendSeconds = 3600;
constexpr const char *kTooManyCommands =
    "Too many commands: the rest of the message was not processed\n";

// The list server's request mailbox (the directory's name), called with
// the directory's lock held.
void ProcessListRequestDirectory(const std::string &dirName);
// One request: true when processed (the caller deletes it), false when it
// stays for the next pass (a read error).
bool ProcessListRequestMessage(const std::string &path, const std::string &listName,
                               const std::string &listDomain);

// What the command processor knows of the request it works on.
struct RequestContext {
  std::string listName;        // the list whose request mailbox holds it
  std::string listDomain;      // that list's domain
  std::string requestAddress;  // that list's request address
  std::string sender;          // Sender, else From (first address)
  std::string replyAddress;    // Reply-To, else the sender
  std::string from;            // From (first address)
  std::string envelopeSender;  // the copy's envelope field ("" when none)
  // Confirmation requests this message may still cause: one message must
  // not mail a crowd of addresses (or fill the store) by itself.
  mutable size_t confirmationsLeft = kMaxConfirmationsPerRequest;
};

// Reads command lines from in (positioned at the body) to its end and
// appends the echo and output of each to journal. False on a read error.
bool ListCommandProcessor(TextFile &in, const RequestContext &ctx, std::string &journal);

// A prepared text sent as a new message to addressee, without return path.
// False on failure, with the error in GetLastError (EINVAL for an addressee
// or From that cannot go into a header).
bool MailOpenFile(std::string_view hostName, std::string_view text, std::string_view addressee,
                  std::string_view from, std::string_view subject);
