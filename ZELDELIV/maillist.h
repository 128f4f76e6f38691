// maillist: mailing list delivery and distribution with moderation.
//
// Mail for a list arrives like mail for a local user. Local delivery offers
// every local user name to DeliverToMailingList first: the list's name puts
// a copy of the held message into the list mailbox (lists/<name>), the name
// followed by "-request" (any case) into the request mailbox
// (lists/<name>-request). The list pass (listpass) then drains both; this
// module works on the list mailboxes (ProcessListDirectory): a message is
// checked against the list's posting rule and then either rewritten into
// one list copy for all members (a new message in `incoming`), or dropped
// with a notice to its sender and, where the rule says so, a forward to the
// moderator. The request mailboxes are the list server's (listcmds), which
// uses the readers and address tests at the end of this header too. A
// message that comes back to its list (its Sender or Original-sender is the
// list request address) ends as a dead letter, never as mail.
//
// Callers: local (DeliverToMailingList), listpass and listcmds.
//
// Untrusted input: user names, list message headers and bodies come from
// mail; the moderator is recognised by the envelope sender and the From
// line together (IsModeratorByMail). A list directory name is the
// recipient's lower-case local part: names with "/", "\", "..", a leading
// "." or control characters, or longer than a list name with its
// "-request", are never list names. Every line and header field is read
// with a bound; an address goes into a generated header or recipient file
// only when it holds no control character and fits its field, and header
// fields copied into a list copy lose every CR.
// Body text the system writes is dot-stuffed.
//
// Threads: DeliverToMailingList runs on any delivery thread; everything
// else runs on the scanning thread only. Both hold the list directory's
// lock (LockDir) while they touch a list directory. Generated messages are
// written into `incoming` without its lock: each message file is durable
// before its recipient file appears whole (GeneratedMessage). ThisHostName
// is set by the first list pass and only read afterwards.
//
// Failures: a list message that cannot be read, whose list copy, notice or
// forward cannot be written, or whose dead letter cannot be made stays in
// its directory for the next pass. A copy into a list directory that
// cannot be written leaves the recipient for a later pass (event 138 once);
// only ten copies of one message there become a failure report.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "common/liststore.h"
#include "common/smtputil.h"
#include "platform/textfile.h"

// The list directory lock is tried briefly: a busy directory is skipped and
// its work done at a later pass.
constexpr int kListDirLockWaitMs = 500;
// Messages of one list directory taken in one pass; a larger backlog is
// finished by later passes.
constexpr size_t kMaxListMessagesPerPass = 10000;
// A list directory name: a list name with its "-request".
constexpr size_t kMaxListDirectoryName = kMaxListName + 8;
// Notice texts and subjects are cut here (a notice names one address).
constexpr size_t kMaxListNoticeText = 1023;
constexpr size_t kMaxListNoticeSubject = 512;
// Body lines of list copies are copied in pieces of this size.
constexpr size_t kListCopyPiece = 512;

constexpr const char *kListLoopReason = "Mail loop detected when processing mailing list";
constexpr const char *kNoSenderReason = "the message contains no valid From: or Reply-to: header";
constexpr const char *kModeratorOnlyReason =
    "only the moderator may send messages to this mailing list";

// The host name of the list server's identifiers and postmaster address.
extern std::string ThisHostName;

// Offered every local user name (the local part, unquoted, lower case)
// before user delivery. False when the name is no list (nor a list's
// request address): user delivery goes on. True when handled: the copy in
// the list directory begins with the envelope field (kEnvelopeField) when
// it could be written so; rcp.bDisposed then tells whether this recipient
// is finished (a busy list directory leaves it for the next pass; a failed
// copy is reported to the sender with a postmaster copy, and the recipient
// is finished when the report is out).
bool DeliverToMailingList(_tMsgInfo &info, _tRcpInfo &rcp, const std::string &userName);

// A name usable as a list directory name (see the header note).
bool IsSafeListDirectoryName(std::string_view name);
// The list behind a user name: the name without a final "-request" (any
// case; only when something is left in front of it).
std::string ListNameOfUser(std::string_view userName);
// MailListsDirectory + "/" + userName; "" when the name is not safe.
std::string GetMailingListDirectoryName(std::string_view userName);

// Distribution and moderation of one list mailbox (the directory's name).
void ProcessListDirectory(const std::string &dirName);

enum class PostingVerdict { kAllowed, kRejected, kStays };
// The posting rule for the list message at path; sends the notices and
// forwards that a rejection calls for. kStays: the header could not be
// read, or a notice or forward could not be written; the message stays
// and the rule is applied again at the next pass (a notice that did go out
// may go out twice; none is lost).
PostingVerdict ValidateListMessage(const _tListInfo &list, const std::string &path);
// The text of the notice to a rejected sender (fromAddress "": the message
// had no From address), at most kMaxListNoticeText characters.
std::string RejectNoticeText(const _tListInfo &list, std::string_view fromAddress);

enum class ListCopyOutcome { kCopied, kLoop, kFailed };
// Writes the list copy of the message at path into `incoming` for every
// member (nothing when the list has none). kLoop: the message came from
// this list; kFailed: a read or write failed. The list message itself is
// left for the caller.
ListCopyOutcome ExpandMessage(const _tListInfo &list, const std::string &path);

// The text of a list copy: in (a list message, text mode) rewritten into
// out with messageId as its Resent-Message-Id; returnPath gets the copy's
// return path (BounceAction), "" when none or unusable.
ListCopyOutcome RewriteListMessage(TextFile &in, TextFile &out, const _tListInfo &list,
                                   std::string_view messageId, std::string &returnPath);

// A list notice: text, then the whole message at path, from `from` to
// addressee, with postmaster@ThisHostName as return path. False (nothing
// written) when addressee or from is empty or unusable (the last error is
// then ERROR_INVALID_PARAMETER: there is nothing to send), or when it could
// not be written (another error).
bool ForwardMessageToAddress(std::string_view addressee, std::string_view from,
                             std::string_view subject, std::string_view text,
                             const std::string &path);

// Reads one header field: a line with its continuation lines joined by
// "\n", without the final line end, every CR removed, at most maxField
// characters (the rest skipped). An empty field is the end of the header;
// after it the stream stands at the body. Not thread-safe; one per stream.
class HeaderFieldReader {
 public:
  HeaderFieldReader(TextFile &in, size_t maxField) : in_(in), max_(maxField) {}
  // False at the end of the file or on a read error (in.Error()).
  bool Next(std::string &field);

 private:
  TextFile &in_;
  size_t max_;
  std::string pending_;
  bool havePending_ = false;
  bool ended_ = false;
};

// The copy of a message in a list directory begins with this field naming
// its envelope sender (RFC 5321's return path), which nothing else in a
// message file tells. It counts only as the file's first line: the receiver
// starts every message file with its Received line and the agent's own
// messages start with To, so no other writer puts a Return-Path there.
constexpr std::string_view kEnvelopeField = "Return-Path:";
// The envelope sender that the first header field of a list message names;
// "" when the field is no envelope (a copy made without one: nobody may
// moderate through it) or the sender was the null one.
std::string ListEnvelopeSender(std::string_view firstField);
// Moderation by mail (posting as the moderator, the moderator's own JOIN or
// LEAVE on a list under moderator control) needs a moderator, and both the
// envelope sender and the header From naming it: a From line alone is
// anyone's to write.
bool IsModeratorByMail(std::string_view moderator, std::string_view envelopeSender,
                       std::string_view fromAddress);

// Helpers shared by the distribution and the command modules.
void RemoveChar(std::string &text, char c);
// An address that can be a recipient and go into a header as it is.
bool IsUsableListAddress(std::string_view address);
// True when the unquoted local part of address ends with "-request" (a list
// server's address: never answered, never made a member).
bool IsRequestAddress(std::string_view address);
