// mailbox: the durable copy of a held message into a mailbox directory, the
// local delivery results with their failure texts, and the names of the
// files a user keeps in a mailbox directory.
//
// DeliverToUserMailbox copies the held message (`holding`, copy 0) into the
// directory under the first free copy name (CreateFileNameFromMessageId,
// copies 0 to 9) and makes the name durable before it returns success: the
// caller marks the recipient finished right after.
//
// Callers: local delivery (a user's mailbox) and list delivery (a list's
// mailbox and request mailbox); the failure texts go into failure reports.
//
// Untrusted input: the message identifier comes from a recipient file; a
// base name that could leave the directory it is joined to is refused.
// The mailbox path is the caller's (found by GetMailbox, or a checked list
// directory name).
//
// Threads: no state. Copies need no lock: each is made under a name that
// did not exist.
//
// Failures: a local delivery result (kDelivery...) and the system error; a
// missing held message is reported as event 128.
#pragma once

#include <string>

#include "common/smtputil.h"

// Files of a mailbox directory.
constexpr const char *kControlFileName = "ZEL.CTL";
constexpr const char *kAutoReplyFileName = "AUTORPLY.TXT";
constexpr const char *kNoReplyFileName = "NOREPLY.TXT";
constexpr const char *kRepliedFileName = "REPLIED.TXT";

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

// Copies the held message into mailbox under the first free copy name and
// makes it durable. Returns the local delivery result; error gets the
// system error of a failure.
int DeliverToUserMailbox(const _tMsgInfo &info, const std::string &mailbox, long &error);

// The failure text of a local delivery result (the system's text for error
// after the fixed words of result 9), at most kMaxFailureText characters.
std::string LocalDeliveryFailureText(int result, long error);

// mailbox + "/" + name.
std::string MailboxFilePath(const std::string &mailbox, const char *name);
