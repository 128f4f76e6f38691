// netcode: the mail user directory: who this computer is, whether a name is
// an account and in which domain, where an account's home directory is, and
// which directory holds a user's mail.
//
// The mail users are the accounts of this computer and of its domain
// (platform/accounts); the system keeps no user database of its own. A
// mailbox directory is formed from the inbox template MailInboxDirectory:
// either "%HOME%" followed by a path inside the account's home directory,
// or a path with "%USERNAME%" for the user name.
//
// The delivery agent and the POP3 server have always used slightly
// different rules, kept here side by side:
// - ZELDELIV (and ZELRECV, which needs only the identity): GetHomeDirectory
//   and GetMailbox. Accounts of the domain are asked of the primary domain's
//   controller, found once and cached (GetTheDomainControllerName).
//   "%HOME%" is tried first; "%USERNAME%" must stand at the template's first
//   "%", and what follows it is dropped; a missing mailbox is created when
//   AutoCreateInboxEnabled. The mailbox is opened by a walk that trusts
//   only root and the mailbox's owner (platform/mailboxdir), and is made
//   and written as its owner, whatever the template: a host account (and
//   an accounts-file user with a host account of its name) as that account,
//   a virtual user (an accounts-file user without one) as the virtual mail
//   account (VirtualMailAccount, platform/logon). As root without that
//   account a virtual user's mailbox is not touched: kMailboxUnusable with
//   ERROR_NO_VIRTUAL_MAIL_ACCOUNT, and the mail waits. A process that is
//   not root writes the mailboxes under the common root as itself.
// - ZELFETCH: LookUpAccountFetch, GetHomeDirectoryFetch and GetMailboxFetch
//   (the "Fetch" forms). Each lookup asks the controller of the account's
//   own domain afresh; "%USERNAME%" counts only as the template's last ten
//   characters and is tried first; the caller checks and creates the mailbox.
//
// Which name forms a mailbox: a host account's exact name, since the host's
// account names compare exactly and two accounts that differ only in case
// are two users; an accounts-file account's name in lower case, since the
// file compares names without regard to case (and its mailboxes have always
// been named in lower case). Both services follow this rule.
//
// Untrusted input: user names come from mail recipients and from POP3
// clients. A name is only ever put into a path after it was found as an
// account, and account names cannot hold "/" or be "." or "..". A mailbox
// path that would be longer than kMaxPath is refused, never cut (a cut path
// could name another user's mailbox).
//
// Threads: InitNetCodeModule runs once during service start, before any
// worker thread; the identity is only read afterwards. The domain
// controller cache is filled at first need by whichever delivery thread
// needs it and is guarded by a lock, so no thread sees a half-written name.
// Everything else is local to the call.
//
// Failures: no events, no logs; the routines return false or a mailbox
// lookup result, and their callers report. A lookup that could not be
// answered (the accounts file unreadable or malformed, a source down) is
// never mistaken for "no such account": GetMailbox says so with its own
// result, and the delivery agent keeps the mail for a later pass.
#pragma once

#include <cstddef>
#include <string>

#include "platform/mailboxdir.h"

// How much of the computer and domain names each service keeps.
constexpr size_t kIdentityNameLengthDeliv = 127;  // ZELDELIV and ZELRECV
constexpr size_t kIdentityNameLengthFetch = 19;   // ZELFETCH's smaller buffers
// The narrow copies (NtDomainName, NtDomainController) hold 255 bytes.
constexpr size_t kMaxNtName = 255;
// The controller cache's key and name hold 127 characters.
constexpr size_t kMaxControllerName = 127;
// The account domain: ZELDELIV reads it into 261 characters, ZELFETCH's
// callers supply 128 bytes.
constexpr size_t kMaxAccountDomainDeliv = 260;
constexpr size_t kMaxAccountDomainFetch = 127;

// Mailbox lookup results of GetMailbox (ZELDELIV); local delivery turns
// them into failure texts.
constexpr int kMailboxFound = 0;        // exists, or was just created
constexpr int kMailboxNoAccount = 1;    // the name is not an account
constexpr int kMailboxNoHome = 2;       // the home directory cannot be read
constexpr int kMailboxMissing = 3;      // empty home, or missing and not created
constexpr int kMailboxBadTemplate = 9;  // neither "%HOME%" nor "%USERNAME%" at the first "%"
// Not answered now; the mail waits for a later pass.
constexpr int kMailboxLookupFailed = 10;  // the accounts could not be read
constexpr int kMailboxUnusable = 11;      // not reachable or makeable now (see the error)

// The local identity, filled by InitNetCodeModule. The "wc" names are the
// bounded identity names; NtDomainName is the domain's narrow copy.
extern std::string wcComputerName;
extern std::string wcDomainName;
extern std::string NtDomainName;

// Reads the computer name and primary domain (workgroup), keeping at most
// maxNameLength characters of each. False when the accounts cannot be read;
// the identity is then empty (CheckAccountSource in platform/accounts says
// why). The delivery agent starts anyway: its lookups read the identity
// again until it is known.
bool InitNetCodeModule(size_t maxNameLength = kIdentityNameLengthDeliv);
// True once the identity is known (read now when it is not yet).
bool NetCodeIdentityKnown();

// ZELDELIV: fills the domain controller cache for the server ComputerName
// ("" = this computer). True when the cache holds an answer (a controller,
// or none); the answer stands until the key changes or the cache is reset.
bool GetTheDomainControllerName(const std::string &ComputerName);
// The cached controller ("\\NAME"), or "" when there is none (yet).
std::string CachedDomainController();
// Forgets the cache, as a restart of the service would (tests).
void ResetDomainControllerCache();

// ZELDELIV: the home directory of pUser in the account domain pDomain.
// Local accounts are asked of this computer, all others of the primary
// domain's controller (false, NERR_DCNotFound, when there is none). True
// with an empty HomeDir for an account without a home directory; false
// with the thread's last error otherwise.
bool GetHomeDirectory(const std::string &pUser, const std::string &pDomain, std::string &HomeDir);

// ZELDELIV: finds and opens the mailbox directory of UserName (the local
// part as written; an account of that exact name, else of the name in
// lower case). Returns a mailbox lookup result (kMailbox...); Mailbox is
// open on kMailboxFound, and its Path() is the formed path whenever one
// was formed. error: the system error behind kMailboxLookupFailed and
// kMailboxUnusable (ELOOP for a link, ERROR_MAILBOX_NOT_OWNED,
// ERROR_NO_VIRTUAL_MAIL_ACCOUNT ...).
// Address, when given, is the whole recipient address: a directory finds
// users and their aliases by it. A directory user whose entry names a
// mailbox (MailboxAttribute) gets that directory instead of the
// template's, written as its owner.
int GetMailbox(const std::string &UserName, MailboxDir &Mailbox, long &error,
               const std::string &Address = std::string());

// ZELDELIV: where the "%USERNAME%" form of the template puts mailboxes:
// the directory each lies directly in (root, "/var/mailbox") and what its
// name has before the user name (prefix, usually ""). False for the
// "%HOME%" form and an unusable template.
bool MailboxRootOfUsers(std::string &root, std::string &prefix);

// ZELDELIV: the owner of the mailbox named mailboxName (the user name part
// of an entry under that root): the mail user whose mailbox has exactly
// that name (a host account's exact name, an accounts-file user's in lower
// case), with the identity its mailbox is written as. False with the last
// error when no mail user's mailbox has that name (ERROR_NONE_MAPPED and
// the like) or the identity cannot be had.
bool MailboxOwnerOf(const std::string &mailboxName, LogonToken &owner);

// A mail-access session (still root) that finds its user's mailbox at path
// lying directly under the common root and root's (made before mailboxes
// were their users'; the delivery agent hands such mailboxes over at its
// start): hands it to owner as the agent would. True when it did.
bool HandRootsMailboxToOwner(const std::string &path, const LogonToken &owner);

// ZELRECV: whether a local recipient address is a mail user, asked only when UserDirectory names a directory (else
// every recipient is kRecipientKnown, as it always was: the agent knows
// the aliases and lists). kRecipientUnknown is no refusal by itself (an
// alias or list may still take it); kRecipientLookupFailed means the
// directory could not answer now: a temporary failure for the client.
constexpr int kRecipientKnown = 0;
constexpr int kRecipientUnknown = 1;
constexpr int kRecipientLookupFailed = 2;
int CheckMailRecipient(const std::string &address);

// ZELFETCH: is name an account? True with its domain (at most
// kMaxAccountDomainFetch characters) when it is a user account, or another
// kind of account that is also a local user. False with the thread's last
// error set otherwise.
bool LookUpAccountFetch(const std::string &name, std::string &domain);

// ZELFETCH: the home directory of user in domain, asked of that domain's
// controller when it has one and the domain is not this computer, else of
// this computer.
bool GetHomeDirectoryFetch(const std::string &user, const std::string &domain,
                           std::string &HomeDir);

// ZELFETCH: the mailbox directory of user (as the client typed it) in
// domain; false with an empty Mailbox when none can be formed. Does not
// check whether the directory exists.
bool GetMailboxFetch(const std::string &user, const std::string &domain, std::string &Mailbox);
