// mailbox: the durable copy of a held message into a mailbox directory, the
// local delivery results with their failure texts, the names of the files a
// user keeps in a mailbox directory, and the deferral events.
//
// DeliverToUserMailbox copies the held message (`holding`, copy 0) into a
// user's mailbox, opened by GetMailbox's walk and written as its owner;
// DeliverToListDirectory does the same into a list's spool directory. Both
// take the first free copy name (CreateFileNameFromMessageId, copies 0 to
// 9) and make the copy and its name durable before they return success:
// the caller marks the recipient finished right after.
//
// Which failures are for good: a missing held message (event 128, result
// 8) and ten copy names taken (result 7). Any other error while writing a
// copy (no space, a quota, an I/O error, access refused, a read-only file
// system) is no answer about the recipient: kDeliveryDeferred, and the
// recipient waits for a later pass. ReportDeferral says so in the event
// log once per message and cause, not at every pass.
//
// Callers: local delivery (a user's mailbox) and list delivery (a list's
// mailbox and request mailbox); the failure texts go into failure reports.
//
// Untrusted input: the message identifier comes from a recipient file; a
// base name that could leave the directory it is joined to is refused.
// Recipient names and causes reach the event log through LogSafeText.
//
// Group commit: the local queue walk stages its users' copies instead
// (StageUserMailboxCopy: written, not synced, no name) and
// CommitMailboxCopies finishes a group of them with one sync for all
// their data, their names, and one sync for the names; a copy that does
// not make it gives its recipient back (bDisposed 0, a deferral), before
// any recipient file of the group is settled.
//
// Threads: copies need no lock: each is made under a name that did not
// exist. Deferrals are remembered for their event by queue's FirstReportOf.
#pragma once

#include <string>
#include <vector>

#include "common/smtputil.h"
#include "platform/mailboxdir.h"
#include "platform/profile.h"

// Files of a mailbox directory: the user's own are in platform/profile.h;
// the agent keeps the senders answered today (one automatic reply per
// sender and day).
constexpr const char *kRepliedTodayFileName = "REPLYDAY.TXT";

// Copies 0 to 9 of one message may exist in one mailbox.
constexpr int kMaxMailboxCopies = 10;
// The failure text of a system error is bounded like a path.
constexpr size_t kMaxFailureText = 260;

// Local delivery results.
constexpr int kDeliveryOk = 0;
constexpr int kDeliveryNoAccount = 1;
constexpr int kDeliveryNoHome = 2;
constexpr int kDeliveryNoMailbox = 3;
constexpr int kDeliveryAccessDenied = 5;
constexpr int kDeliveryDiskFull = 6;
constexpr int kDeliveryTooManyCopies = 7;
constexpr int kDeliveryMessageMissing = 8;
constexpr int kDeliverySystemError = 9;
// Not now: the recipient stays for a later pass (the mailbox lookup's
// kMailboxLookupFailed and kMailboxUnusable have the same meaning).
constexpr int kDeliveryDeferred = 10;
constexpr int kDeliveryUnusable = 11;

// True for the results that keep the recipient for a later pass.
bool IsDeferredResult(int result);

// Copies the held message into the open mailbox as its owner. Returns the
// local delivery result; error gets the system error of a failure.
int DeliverToUserMailbox(const _tMsgInfo &info, const MailboxDir &mailbox, long &error);
// The copies of one group commit, in the order staged.
struct MailboxCopyGroup {
  struct Entry {
    StagedCopy Copy;
    const _tMsgInfo *Info = nullptr;
    _tRcpInfo *Rcp = nullptr;   // given back when its copy fails
    int FirstCopy = 0;          // the first copy name found free
    std::string MailboxPath;
  };
  std::vector<Entry> Entries;
};
// DeliverToUserMailbox's first half: the copy is written and joins group;
// kDeliveryOk then means "made, once CommitMailboxCopies says so". The
// results for good (ten names taken, a missing message) come at once. A
// group holding kMaxStagedCopies already gets a whole copy at once instead.
constexpr size_t kMaxStagedCopies = 256;
int StageUserMailboxCopy(const _tMsgInfo &info, _tRcpInfo &rcp, const MailboxDir &mailbox,
                         long &error, MailboxCopyGroup &group);
// Makes every staged copy durable and named; empties the group.
void CommitMailboxCopies(MailboxCopyGroup &group);
// The Junk folder of an open mailbox, where a message DMARC quarantined
// goes (its recipient file's "Junk: TRUE"), open as a directory of the
// same owner. Missing, it is made as the IMAP server makes it (as the
// owner, with its index: common/mailstore), so that a copy named there is
// a new message of the folder at the IMAP server's next look. The error
// number (ERROR_SUCCESS).
long OpenJunkFolder(const MailboxDir &mailbox, MailboxDir &junk);
// The same into a list's directory in the spool (the agent's own).
int DeliverToListDirectory(const _tMsgInfo &info, const std::string &directory, long &error);

// The failure text of a local delivery result (the system's text for error
// after the fixed words of result 9), at most kMaxFailureText characters.
std::string LocalDeliveryFailureText(int result, long error);

// Event 138 "Delivery of message %1 is deferred: %2" with cause, unless it
// was reported for this message and cause before.
void ReportDeferral(const _tMsgInfo &info, const std::string &cause);
// The cause of a mailbox failure: "mailbox <path>: <system text>"; for a
// virtual user whose virtual mail account is missing, what to set up.
std::string MailboxFailureCause(const std::string &path, long error);
