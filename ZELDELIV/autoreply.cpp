// autoreply: see autoreply.h.
#include "ZELDELIV/autoreply.h"

#include <cctype>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <optional>
#include <vector>

#include "ZELDELIV/mailbox.h"
#include "ZELDELIV/msgtext.h"
#include "ZELDELIV/ndreport.h"
#include "ZELDELIV/queue.h"
#include "ZELDELIV/settings.h"
#include "common/logging.h"
#include "common/rfc822parse.h"
#include "common/str.h"
#include "common/zel.h"
#include "messages/zelmsg.h"
#include "platform/files.h"
#include "platform/fileview.h"

namespace {

constexpr std::string_view kOwnerPrefix = "owner-";
constexpr std::string_view kRequestSuffix = "-request";

// An address that can go into a header line and a recipient file as it is.
bool IsUsableAddress(std::string_view address) {
  return !address.empty() && address.size() <= kMaxRecipientName && IsSafeHeaderText(address);
}

bool OpenUserText(const MailboxDir &mailbox, const char *name, bool append, TextFile &f) {
  int fd = mailbox.OpenFile(name, append);
  return fd >= 0 && f.Attach(fd, append ? "a" : "r");
}

// Is any address of a To or Cc value listed in NOREPLY.TXT?
bool NamesNoReplyAddress(const std::optional<std::string> &field, const MailboxDir &mailbox) {
  if (!field) return false;
  std::string text = *field;
  for (char *address : ExtractAllAddresses(text.data())) {
    if (address == nullptr) break;
    if (*address != '\0' && AddressOccursInFile(mailbox, kNoReplyFileName, address)) return true;
  }
  return false;
}

// The first word of a field's value (up to a blank, ";" or a comment).
std::string_view FirstWord(const std::optional<std::string> &field) {
  std::string_view v = field ? std::string_view(*field) : std::string_view();
  return v.substr(0, v.find_first_of(" \t\r\n;("));
}

// The first line of text and the rest behind it.
std::string_view TakeLine(std::string_view &text) {
  size_t lf = text.find('\n');
  std::string_view line = text.substr(0, lf);
  text.remove_prefix(lf == std::string_view::npos ? text.size() : lf + 1);
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  return line.substr(0, kMaxReplyFileLine);
}

constexpr std::string_view kDayPrefix = "Day: ";

// The addresses of today's list in text (none when it is another day's).
std::vector<std::string_view> TodaysAddresses(std::string_view text, std::string_view today) {
  std::vector<std::string_view> out;
  std::string_view first = TakeLine(text);
  if (first.substr(0, kDayPrefix.size()) != kDayPrefix || first.substr(kDayPrefix.size()) != today)
    return out;
  while (!text.empty() && out.size() < kMaxRepliesPerDay) {
    std::string_view line = TakeLine(text);
    if (!line.empty()) out.push_back(line);
  }
  return out;
}

std::string ReadRepliedToday(const MailboxDir &mailbox) {
  UniqueFd fd(mailbox.OpenFile(kRepliedTodayFileName, false));
  std::string text(kMaxRepliedTodayBytes, '\0');
  size_t got = 0;
  if (!fd.Valid() || !ReadFileAt(fd.Get(), text.data(), text.size(), 0, &got)) got = 0;
  text.resize(got);
  return text;
}

// Writes address into today's list before the reply goes out; false when
// it must not go out (answered today already, the list full, or the list
// cannot be written, which would let the next delivery answer again).
bool ClaimTodaysReply(const MailboxDir &mailbox, const std::string &address) {
  std::string text = ReadRepliedToday(mailbox), updated, today = TodayStamp();
  if (RepliedToday(text, today, address) || !RememberReply(text, today, address, updated))
    return false;
  return mailbox.ReplaceFile(kRepliedTodayFileName, updated);
}

// The first address of Reply-To, else of From, else the return path.
std::string ReplyAddress(const _tMsgInfo &info, const std::optional<std::string> &replyTo,
                         const std::optional<std::string> &from) {
  for (const std::optional<std::string> *field : {&replyTo, &from}) {
    if (!*field) continue;
    std::string address = ExtractAddress(**field, kMaxHeaderAddress);
    if (!address.empty()) return address;
  }
  return info.ReturnPath;
}

// Every rule that keeps a reply from going out; the reply address when
// none does, else "".
std::string ChooseReplyAddress(const _tMsgInfo &info, const MailboxDir &mailbox,
                               const AutoReplySettings &settings) {
  if (!mailbox.FileExists(kAutoReplyFileName) && !settings.EchoMessage) return "";
  if (info.ReturnPath[0] == '\0') return "";
  MessageHeaders h;
  // Without the header the list tests cannot be made: no reply.
  if (!ReadMessageHeaders(HeldMessagePath(info), h) || IsAutomaticMessage(h)) return "";
  if (h.Sender && IsFromAList(ExtractAddress(*h.Sender, kMaxHeaderAddress))) return "";
  if (NamesNoReplyAddress(h.To, mailbox) || NamesNoReplyAddress(h.Cc, mailbox)) return "";
  std::string reply = ReplyAddress(info, h.ReplyTo, h.From);
  if (!IsUsableAddress(reply) || IsFromAList(reply)) return "";
  if (AddressOccursInFile(mailbox, kRepliedFileName, reply)) return "";
  return reply;
}

// AUTORPLY.TXT in lines of at most kMaxAutoReplyPiece characters, each
// ending in a newline and dot-stuffed; at most kMaxAutoReplyBytes of it.
void CopyAutoReplyText(TextFile &out, const MailboxDir &mailbox) {
  TextFile in;
  if (!OpenUserText(mailbox, kAutoReplyFileName, false, in)) return;
  size_t total = 0;
  std::string piece;
  while (!out.Error() && in.GetLine(piece, kMaxAutoReplyPiece)) {
    total += piece.size();
    if (total > kMaxAutoReplyBytes) break;
    if (piece.front() == '.') out.Write(".");
    out.Write(piece);
    if (piece.back() != '\n') out.Write("\n");
  }
}

// The host part of a forward's identifier: what follows the first "@" of
// the held message's identifier, while it is a host name.
std::string ForwardHostPart(const char *messageId) {
  const char *at = strchr(messageId, '@');
  std::string host;
  for (const char *p = at == nullptr ? "" : at + 1;
       *p != '\0' && host.size() < kMaxForwardHostPart &&
       (isalnum(static_cast<unsigned char>(*p)) || *p == '-' || *p == '.');
       ++p)
    host += *p;
  return host.empty() ? GetLocalHostName(-1) : host;
}

void WriteForwardTrace(TextFile &out, const std::string &user, const std::string &newId) {
  out.Printf("Sender: %s\n", user.c_str());
  out.Printf("Resent-Message-Id: <%s>\n", newId.c_str());
  out.Write("\n");
}

enum class CopyOutcome { kCopied, kLoop, kFailed };

// One header line (at its start) of a message being forwarded. False when
// it shows that the message has been forwarded by this user before.
bool ForwardHeaderLine(TextFile &out, const std::string &piece, const std::string &user) {
  constexpr std::string_view kOriginal = "Original-Sender:", kSender = "Sender:";
  if (StartsWithNoCase(piece, kOriginal)) {
    // The whole address counts: "bob@host" is not "bob@hostile.example".
    std::string named = ExtractAddress(std::string_view(piece).substr(kOriginal.size()),
                                       kMaxHeaderAddress);
    if (EqualsNoCase(named, ExtractAddress(user, kMaxHeaderAddress))) return false;
  } else if (StartsWithNoCase(piece, kSender)) {
    out.Write("Original-sender:");
    out.Write(std::string_view(piece).substr(kSender.size()));
    return true;
  }
  out.Write(piece);
  return true;
}

CopyOutcome CopyForwardedText(TextFile &in, TextFile &out, const std::string &user,
                              const std::string &newId) {
  bool inHeader = true, atLineStart = true, ended = false;
  std::string piece;
  while (!out.Error() && in.GetLine(piece, kMaxForwardLine)) {
    bool lineStart = atLineStart;
    atLineStart = piece.back() == '\n';
    ended = lineStart && piece == ".\n";
    if (!inHeader || !lineStart) {
      out.Write(piece);
    } else if (piece == "\n" || piece == ".\n") {
      // A message without body still gets its trace before the end line.
      WriteForwardTrace(out, user, newId);
      inHeader = false;
      if (ended) out.Write(piece);
    } else if (!ForwardHeaderLine(out, piece, user)) {
      return CopyOutcome::kLoop;
    }
  }
  if (in.Error() || out.Error()) return CopyOutcome::kFailed;
  if (inHeader) WriteForwardTrace(out, user, newId);
  // Whatever the held file lacks, the forward ends as a message must.
  if (!ended) out.Write(atLineStart ? ".\n" : "\n.\n");
  return out.Error() ? CopyOutcome::kFailed : CopyOutcome::kCopied;
}

bool ForwardMessage(const _tMsgInfo &info, const std::string &user, const std::string &forward) {
  TextFile in;
  if (!in.Open(HeldMessagePath(info), "r")) return false;
  GeneratedMessage msg;
  if (!msg.Create(ForwardHostPart(info.MessageId))) return false;
  CopyOutcome outcome = CopyForwardedText(in, msg.Stream(), user, msg.MessageId());
  if (outcome == CopyOutcome::kLoop) {
    msg.Discard();
    // The message goes into the mailbox anyway (the forward failed): the
    // dead letter only tells of the loop, and nothing is lost without it.
    DeadMessage(HeldMessagePath(info), kForwardLoopReason);
    return false;
  }
  return outcome == CopyOutcome::kCopied && msg.Queue(ForwardSender(info.ReturnPath), {forward});
}

}  // namespace

SrsSettings ForwardSrs;

bool LoadForwardSrs(std::string &why) { return LoadSuiteSrs(ForwardSrs, why); }

std::string ForwardSender(std::string_view sender) {
  if (ForwardSrs.Secret.empty()) return std::string(sender);
  SrsSettings srs = ForwardSrs;
  if (srs.Domain.empty()) srs.Domain = GetLocalHostName(-1);
  std::string rewritten;
  SrsForwardAddress(srs, sender, time(nullptr), rewritten);
  return rewritten;
}

bool IsFromAList(std::string_view address) {
  if (StartsWithNoCase(address, kOwnerPrefix)) return true;
  size_t at = address.rfind('@');
  if (at == std::string_view::npos) return false;
  std::string_view local = address.substr(0, at);
  return local.size() > kRequestSuffix.size() &&
         EqualsNoCase(local.substr(local.size() - kRequestSuffix.size()), kRequestSuffix);
}

bool AddressOccursInFile(const MailboxDir &mailbox, const char *name, std::string_view address) {
  TextFile f;
  if (address.empty() || !OpenUserText(mailbox, name, false, f)) return false;
  std::string line;
  while (ReadBoundedLine(f, line, kMaxReplyFileLine))
    if (EqualsNoCase(ExtractAddress(line, kMaxHeaderAddress), address)) return true;
  return false;
}

bool AppendLineToFile(const MailboxDir &mailbox, const char *name, std::string_view line) {
  TextFile f;
  if (!OpenUserText(mailbox, name, true, f)) return false;
  f.Write(line);
  f.Write("\n");
  return f.Close();
}

bool IsAutomaticMessage(const MessageHeaders &h) {
  if (h.AutoSubmitted && !EqualsNoCase(FirstWord(h.AutoSubmitted), "no")) return true;
  std::string_view precedence = FirstWord(h.Precedence);
  for (std::string_view bulk : {"bulk", "list", "junk"})
    if (EqualsNoCase(precedence, bulk)) return true;
  return h.ListId.has_value();
}

bool RepliedToday(std::string_view text, std::string_view today, std::string_view address) {
  for (std::string_view line : TodaysAddresses(text, today))
    if (EqualsNoCase(line, address)) return true;
  return false;
}

bool RememberReply(std::string_view text, std::string_view today, std::string_view address,
                   std::string &updated) {
  std::vector<std::string_view> addresses = TodaysAddresses(text, today);
  if (addresses.size() >= kMaxRepliesPerDay) return false;
  updated = std::string(kDayPrefix) + std::string(today) + "\n";
  for (std::string_view a : addresses) updated.append(a).append("\n");
  updated.append(address).append("\n");
  return true;
}

std::string TodayStamp() {
  time_t now = time(nullptr);
  struct tm parts;
  if (localtime_r(&now, &parts) == nullptr && gmtime_r(&now, &parts) == nullptr) return "";
  char buffer[32];
  snprintf(buffer, sizeof buffer, "%04d-%02d-%02d", parts.tm_year + 1900, parts.tm_mon + 1,
           parts.tm_mday);
  return buffer;
}

void AutoReplyProcessing(const _tMsgInfo &info, const _tRcpInfo &rcp, const MailboxDir &mailbox,
                         const AutoReplySettings &settings) {
  std::string user = QualifiedAddress(rcp.Name);
  std::string reply = ChooseReplyAddress(info, mailbox, settings);
  if (reply.empty() || !IsSafeHeaderText(user) || !ClaimTodaysReply(mailbox, reply)) return;
  if (!CreateAutoReplyMessage(info, mailbox, reply, user, settings))
    LogEvent(EVENTLOG_WARNING_TYPE, MSG_AUTOREPLY_FAILED, LogSafeText(info.MessageId).c_str(),
             nullptr);
  // Recorded whether or not the reply could be written: one try per address.
  if (settings.RecordReplies) AppendLineToFile(mailbox, kRepliedFileName, reply);
}

bool CreateAutoReplyMessage(const _tMsgInfo &info, const MailboxDir &mailbox,
                            const std::string &replyAddress, const std::string &userAddress,
                            const AutoReplySettings &settings) {
  if (info.ReturnPath[0] == '\0') return true;
  GeneratedMessage msg;
  if (!msg.Create(GetLocalHostName(-1))) return false;
  const std::string &from =
      settings.ReplyFrom.empty() || !IsSafeHeaderText(settings.ReplyFrom) ? userAddress
                                                                          : settings.ReplyFrom;
  TextFile &out = msg.Stream();
  WriteCommonHeaders(out, replyAddress.c_str(), kAutoReplySubject, from.c_str(),
                     userAddress.c_str(), msg.MessageId().c_str());
  out.Write("Auto-Submitted: auto-replied\n");
  out.Write("\n");
  CopyAutoReplyText(out, mailbox);
  out.Write("\n");
  if (settings.EchoMessage) {
    out.Write("\nYour message reads:\n\n");
    AppendMessageToFile(info, kNoBodyLimit, out);
  }
  out.Write("\n.\n");
  return msg.Queue("", {replyAddress}, kAutoReplyLockWaitMs);
}

bool AutoForwardProcessing(const _tMsgInfo &info, const _tRcpInfo &rcp,
                           std::string_view forwardTo) {
  std::string forward = ExtractAddress(forwardTo, kMaxHeaderAddress);
  if (forward.empty()) return true;
  std::string user = QualifiedAddress(rcp.OriginalAddress[0] != '\0' ? rcp.OriginalAddress
                                                                      : rcp.Name);
  if (!IsUsableAddress(forward) || !IsSafeHeaderText(user)) return false;
  return ForwardMessage(info, user, forward);
}
