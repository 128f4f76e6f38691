// local: recipient resolution and delivery to local users.
//
// Resolution (AliasFilter) runs when the incoming scan takes a message up:
// a recipient at a local domain (or without one) is rewritten, "postmaster"
// to the configured Postmaster account, any other local part through the
// alias map (common/aliasmap, shared with the receiver), and marked as
// local user or not.
//
// Delivery (DeliverToLocalUsers) is the queue walker's callback for the
// local retry queue and for domains whose best exchanger is this host
// (routing). Each recipient is offered to the mailing lists first
// (maillist); a user whose mail host is another host is handed off to that
// host's queue (mailhost.h; a message's recipients of one host share one
// queue file); the others are delivered here: mailbox lookup (GetMailbox, the
// user by the exact name of the account; user+detail reaches user when no
// account has the whole name: RecipientDelimiter), then the user's Sieve
// filter (sievedeliv) or, for a user without one, the control file
// ZEL.CTL: the durable copy into the mailbox (mailbox) unless the user
// discards mail and forwards it, then the automatic reply and the forward
// (autoreply).
// A definite failure becomes a failure report (ndreport); a failing
// postmaster without return path becomes a dead letter. Accounts that
// cannot be read and mailboxes that cannot be reached or written now keep
// the recipient for a later pass, with nothing sent on its behalf.
//
// Callers: incoming (AliasFilter), delivery's LocalMail and routing's
// DeliverAllMessages (DeliverToLocalUsers); zeldeliv.cpp (LoadAliasConfig,
// common/aliasmap).
//
// Untrusted input: recipient names and message files come from the network;
// control files from users. Every line and field read is bounded; a user
// name reaches the file system only after GetMailbox found it as an
// account.
//
// Threads: delivery runs on the scanning thread and on domain delivery
// threads at once; it keeps no state.
//
// Failures: delivery failures become reports or stay for the next pass (a
// recipient is marked disposed only when its work is done).
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "common/aliasmap.h"
#include "common/smtputil.h"

struct MailboxCopyGroup;

// A local user name is taken from the first 127 characters of a recipient.
constexpr size_t kMaxLocalUserName = 127;

// Resolves every recipient in place: Name, OriginalAddress, bIsLocalUser.
void AliasFilter(_tMsgInfo &info);

// The recipients an alias sent off this host (AliasFilter made them remote)
// are forwards: they leave with the SRS sender of forwards (autoreply's
// ForwardSender), while local recipients keep the message's return path.
// When every recipient is such a forward, info's return path is rewritten
// in place and the result is null; when only some are, they move out of
// info into the returned record, named copyBase@<info's host part>, whose
// caller holds the message a second time under that name. Null too when
// nothing changes (no forward, a null sender, SRS off).
MsgInfoPtr SplitAliasForwards(_tMsgInfo &info, const std::string &copyBase);

// The queue walker's callback: delivers every recipient not yet disposed
// and sets bDisposed for those finished. True when all are disposed.
// context: null, or the walk's MailboxCopyGroup (the copies are staged
// into it, and CommitLocalCopies finishes them for the walk).
bool DeliverToLocalUsers(_tMsgInfo &info, void *context);
// The walk's group commit for DeliverToLocalUsers with a MailboxCopyGroup.
void CommitLocalCopies(void *context);

// The user part of a recipient: its local part (first 127 characters),
// unquoted, as written; LocalUserName has it in lower case (list names).
std::string LocalUserPart(const char *Name);
std::string LocalUserName(const char *Name);

// Delivers to one user (the hand-off to the user's mail host when that is
// another host; else mailbox lookup, copy, reply, forward; report or dead
// letter on failure) and sets rcp.bDisposed: not for a result that
// keeps the recipient for later (IsDeferredResult, event 138 once). Returns
// the local delivery result. With group, the copy is staged into it.
int DeliverToLocalUser(_tMsgInfo &info, _tRcpInfo &rcp, const std::string &userName,
                       MailboxCopyGroup *group = nullptr);

