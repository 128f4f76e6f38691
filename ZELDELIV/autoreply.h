// autoreply: a local user's automatic replies and forwarding.
//
// Local delivery (local.cpp) calls AutoReplyProcessing and then
// AutoForwardProcessing for every user it delivers to, with the settings of
// the user's control file ZEL.CTL. Both write a generated message into
// `incoming` (GeneratedMessage): the reply's recipient file is named under
// the directory lock of `incoming` (once the mail filters had the reply),
// the forward's without it.
//
// A reply goes to the message's Reply-To, else From, else return path, once
// per address when the user records replies (REPLIED.TXT), never to a
// message without return path, never to list-service addresses ("owner-...",
// "...-request"), nor when the message was addressed to an address that the
// user listed in NOREPLY.TXT. Nor, after RFC 3834, to a message that is
// itself automatic or list mail: an Auto-Submitted field other than "no",
// Precedence bulk, list or junk, or any List-Id field. One sender gets at
// most one automatic reply per mailbox and day: the senders answered today
// are kept in REPLYDAY.TXT in the mailbox (replaced whole at each change, so
// a crash leaves the old list or the new one), and a sender is written
// there before the reply is, so a crash can cost a reply but never send a
// second one. The reply carries "Auto-Submitted: auto-replied" and has no
// return path, so it can cause no failure report.
//
// A forward's envelope sender is rewritten with SRS (common/srs.h) when
// ForwardSrs holds a secret, so that the next hop's SPF check of the
// original sender's domain does not fail on this host; the null sender
// stays null. Sieve's redirect is such a forward too.
//
// A forward moves every "Sender:" line of the message into an
// "Original-sender:" line and names the forwarding user as "Sender:"; a
// message that already carries an "Original-sender:" naming this user has
// gone round a loop: it is not forwarded again and becomes a dead letter.
//
// Untrusted input: the message's header fields (addresses that end up in
// the reply's header and recipient file) and the user's files, which are
// read and written through the mailbox's walk as the mailbox's owner
// (MailboxDir). An address that holds control characters or does not fit
// a recipient field gets no reply and no forward (it could not be written
// without changing it).
//
// Thread-safe (no state); the user's files are read afresh at each call.
#pragma once

#include <string>
#include <string_view>

#include "ZELDELIV/msgtext.h"
#include "common/smtputil.h"
#include "common/srs.h"
#include "platform/mailboxdir.h"

// Waits this long for the lock of `incoming`, taken only to name a reply's
// recipient file (after the mail filters had it).
constexpr int kAutoReplyLockWaitMs = 15000;
// A line of NOREPLY.TXT or REPLIED.TXT: 511 characters count.
constexpr size_t kMaxReplyFileLine = 511;
// AUTORPLY.TXT is copied in pieces of at most 1022 characters, each a line.
constexpr size_t kMaxAutoReplyPiece = 1022;
// An automatic reply is a short note; more of AUTORPLY.TXT than this is not
// sent (a mistaken huge file must not go out with every message).
constexpr size_t kMaxAutoReplyBytes = 64 * 1024;
// Senders answered in one day: a busy mailbox still answers this many
// people a day; more get no reply until the next day.
constexpr size_t kMaxRepliesPerDay = 1000;
// REPLYDAY.TXT is read this far (kMaxRepliesPerDay lines of addresses).
constexpr size_t kMaxRepliedTodayBytes = 256 * 1024;
// Header lines of a forwarded message are read in pieces of this size.
constexpr size_t kMaxForwardLine = 2047;
// The host part of a forwarded message's identifier.
constexpr size_t kMaxForwardHostPart = 255;

constexpr const char *kAutoReplySubject = "Automatic reply";
constexpr const char *kForwardLoopReason = "Mail loop detected when forwarding";

// The SRS key and domain of forwards: set by the privileged side at start
// (LoadForwardSrs), read-only afterwards. An empty Secret rewrites nothing;
// an empty Domain means this host's name.
extern SrsSettings ForwardSrs;
// LoadSuiteSrs into ForwardSrs. False with why when the secret cannot be
// had (forwards then keep their sender).
bool LoadForwardSrs(std::string &why);
// The envelope sender of a forward of a message from sender, now.
std::string ForwardSender(std::string_view sender);

// The automatic-reply settings of the control file.
struct AutoReplySettings {
  bool EchoMessage = false;
  bool RecordReplies = false;
  std::string ReplyFrom;
};

// A list-service address: local part beginning "owner-", or (with an "@",
// the last one counting) longer than eight characters and ending "-request".
bool IsFromAList(std::string_view address);

// True when a line of the mailbox's file name, reduced to its first
// address, equals address (case ignored). A missing file holds no address.
bool AddressOccursInFile(const MailboxDir &mailbox, const char *name, std::string_view address);

// Appends line and "\n" to the mailbox's file name (created when missing).
bool AppendLineToFile(const MailboxDir &mailbox, const char *name, std::string_view line);

// The message is automatic or list mail by its header (RFC 3834): it gets
// no automatic reply.
bool IsAutomaticMessage(const MessageHeaders &h);

// REPLYDAY.TXT: "Day: <today>" and one address per line. True when the text
// is today's and names address (case ignored). At most kMaxRepliesPerDay
// lines of at most kMaxReplyFileLine characters count.
bool RepliedToday(std::string_view text, std::string_view today, std::string_view address);
// The text with address added (a new day starts a new list); false when
// today's list is full.
bool RememberReply(std::string_view text, std::string_view today, std::string_view address,
                   std::string &updated);
// Today's local date, "YYYY-MM-DD".
std::string TodayStamp();

// Sends the user's automatic reply when the rules allow it; records the
// reply address when asked. Its outcome does not change the delivery.
void AutoReplyProcessing(const _tMsgInfo &info, const _tRcpInfo &rcp, const MailboxDir &mailbox,
                         const AutoReplySettings &settings);

// Writes the reply message into `incoming`. True when written (or when the
// message has no return path, which gets nothing).
bool CreateAutoReplyMessage(const _tMsgInfo &info, const MailboxDir &mailbox,
                            const std::string &replyAddress, const std::string &userAddress,
                            const AutoReplySettings &settings);

// Forwards the held message to the first address of forwardTo. True when
// forwardTo holds no address or the forward was queued; false when it could
// not be written or a loop was found (the caller then keeps a mailbox copy).
bool AutoForwardProcessing(const _tMsgInfo &info, const _tRcpInfo &rcp,
                           std::string_view forwardTo);
