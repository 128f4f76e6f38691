// autoreply: see autoreply.h.
#include "ZELDELIV/autoreply.h"

#include <cctype>
#include <cstring>
#include <optional>

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
#include "platform/profile.h"
#include "zelbase/zelbase.h"

namespace {

constexpr std::string_view kOwnerPrefix = "owner-";
constexpr std::string_view kRequestSuffix = "-request";

// An address that can go into a header line and a recipient file as it is.
bool IsUsableAddress(std::string_view address) {
  return !address.empty() && address.size() <= kMaxRecipientName && IsSafeHeaderText(address);
}

bool OpenUserText(const std::string &path, bool append, TextFile &f) {
  int fd = OpenUserFile(path, append);
  return fd >= 0 && f.Attach(fd, append ? "a" : "r");
}

// Is any address of a To or Cc value listed in NOREPLY.TXT?
bool NamesNoReplyAddress(const std::optional<std::string> &field, const std::string &noReply) {
  if (!field) return false;
  std::string text = *field;
  for (char *address : ExtractAllAddresses(text.data())) {
    if (address == nullptr) break;
    if (*address != '\0' && AddressOccursInFile(noReply, address)) return true;
  }
  return false;
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
std::string ChooseReplyAddress(const _tMsgInfo &info, const std::string &mailbox,
                               const AutoReplySettings &settings) {
  if (!FileExists(MailboxFilePath(mailbox, kAutoReplyFileName)) && !settings.EchoMessage)
    return "";
  if (info.ReturnPath[0] == '\0') return "";
  std::optional<std::string> from, to, cc, replyTo, sender;
  // Without the header the list tests cannot be made: no reply.
  if (!ObtainMessageHeaders(HeldMessagePath(info), &from, &to, &cc, &replyTo, nullptr, &sender))
    return "";
  if (sender && IsFromAList(ExtractAddress(*sender, kMaxHeaderAddress))) return "";
  std::string noReply = MailboxFilePath(mailbox, kNoReplyFileName);
  if (NamesNoReplyAddress(to, noReply) || NamesNoReplyAddress(cc, noReply)) return "";
  std::string reply = ReplyAddress(info, replyTo, from);
  if (!IsUsableAddress(reply) || IsFromAList(reply)) return "";
  if (AddressOccursInFile(MailboxFilePath(mailbox, kRepliedFileName), reply)) return "";
  return reply;
}

// AUTORPLY.TXT in lines of at most kMaxAutoReplyPiece characters, each
// ending in a newline and dot-stuffed; at most kMaxAutoReplyBytes of it.
void CopyAutoReplyText(TextFile &out, const std::string &path) {
  TextFile in;
  if (!OpenUserText(path, false, in)) return;
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
    DeadMessage(HeldMessagePath(info), kForwardLoopReason);
    return false;
  }
  return outcome == CopyOutcome::kCopied && msg.Queue(info.ReturnPath, {forward});
}

}  // namespace

bool IsFromAList(std::string_view address) {
  if (StartsWithNoCase(address, kOwnerPrefix)) return true;
  size_t at = address.rfind('@');
  if (at == std::string_view::npos) return false;
  std::string_view local = address.substr(0, at);
  return local.size() > kRequestSuffix.size() &&
         EqualsNoCase(local.substr(local.size() - kRequestSuffix.size()), kRequestSuffix);
}

bool AddressOccursInFile(const std::string &path, std::string_view address) {
  TextFile f;
  if (address.empty() || !OpenUserText(path, false, f)) return false;
  std::string line;
  while (ReadBoundedLine(f, line, kMaxReplyFileLine))
    if (EqualsNoCase(ExtractAddress(line, kMaxHeaderAddress), address)) return true;
  return false;
}

bool AppendLineToFile(const std::string &path, std::string_view line) {
  TextFile f;
  if (!OpenUserText(path, true, f)) return false;
  f.Write(line);
  f.Write("\n");
  return f.Close();
}

void AutoReplyProcessing(const _tMsgInfo &info, const _tRcpInfo &rcp, const std::string &mailbox,
                         const AutoReplySettings &settings) {
  std::string user = QualifiedAddress(rcp.Name);
  std::string reply = ChooseReplyAddress(info, mailbox, settings);
  if (reply.empty() || !IsSafeHeaderText(user)) return;
  if (!CreateAutoReplyMessage(info, mailbox, reply, user, settings))
    LogEvent(EVENTLOG_WARNING_TYPE, MSG_AUTOREPLY_FAILED, info.MessageId, nullptr);
  // Recorded whether or not the reply could be written: one try per address.
  if (settings.RecordReplies)
    AppendLineToFile(MailboxFilePath(mailbox, kRepliedFileName), reply);
}

bool CreateAutoReplyMessage(const _tMsgInfo &info, const std::string &mailbox,
                            const std::string &replyAddress, const std::string &userAddress,
                            const AutoReplySettings &settings) {
  if (info.ReturnPath[0] == '\0') return true;
  DirLock lock;
  if (!lock.Lock(MailQueueDirectory.c_str(), kAutoReplyLockWaitMs)) return false;
  GeneratedMessage msg;
  if (!msg.Create(GetLocalHostName(-1))) return false;
  const std::string &from =
      settings.ReplyFrom.empty() || !IsSafeHeaderText(settings.ReplyFrom) ? userAddress
                                                                          : settings.ReplyFrom;
  TextFile &out = msg.Stream();
  WriteCommonHeaders(out, replyAddress.c_str(), kAutoReplySubject, from.c_str(),
                     userAddress.c_str(), msg.MessageId().c_str());
  out.Write("\n");
  CopyAutoReplyText(out, MailboxFilePath(mailbox, kAutoReplyFileName));
  out.Write("\n");
  if (settings.EchoMessage) {
    out.Write("\nYour message reads:\n\n");
    AppendMessageToFile(info, kNoBodyLimit, out);
  }
  out.Write("\n.\n");
  return msg.Queue("", {replyAddress});
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
