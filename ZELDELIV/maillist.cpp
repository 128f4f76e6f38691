// maillist: see maillist.h.
#include "ZELDELIV/maillist.h"

#include <algorithm>
#include <optional>
#include <utility>

#include "ZELDELIV/mailbox.h"
#include "ZELDELIV/msgtext.h"
#include "ZELDELIV/ndreport.h"
#include "ZELDELIV/queue.h"
#include "ZELDELIV/settings.h"
#include "common/fileutils.h"
#include "common/rfc822parse.h"
#include "common/str.h"
#include "common/zel.h"
#include "platform/files.h"
#include "zelbase/zelbase.h"

std::string ThisHostName;

namespace {

constexpr std::string_view kRequestSuffix = "-request";
constexpr std::string_view kSenderField = "Sender:";
constexpr std::string_view kOriginalSenderField = "Original-sender:";
constexpr std::string_view kReplyToField = "Reply-to:";
constexpr std::string_view kFromField = "From:";

bool IsControl(char c) {
  unsigned char u = static_cast<unsigned char>(c);
  return u < 32 || u == 127;
}

// ---- delivery into a list directory

bool MakeListDirectory(const std::string &dir) {
  if (DirectoryExists(dir)) return true;
  CreateDirectoryRecursively(dir);
  return DirectoryExists(dir);
}

std::string ListDeliveryFailureText(int result, long error) {
  switch (result) {
    case kDeliveryAccessDenied: return "List mailbox is not accessible to the mail server";
    case kDeliveryDiskFull: return "Insufficient space in list directory";
    case kDeliveryTooManyCopies:
      return "There are too many copies of this message in the list mailbox";
    default: return LocalDeliveryFailureText(kDeliverySystemError, error);
  }
}

// The field the copy starts with; a return path that could not stand in a
// header is written as the null sender's.
std::string EnvelopeLine(const _tMsgInfo &info) {
  std::string_view sender = IsSafeHeaderText(info.ReturnPath) ? info.ReturnPath : "";
  return std::string(kEnvelopeField) + " <" + std::string(sender) + ">\r\n";
}

// Copies the held message into the first free copy name of the list
// directory (the caller holds its lock), behind its envelope field.
// Anything but a clean copy is left to DeliverToListDirectory, which tries
// again and says what the failure means (a copy it makes carries no
// envelope: nobody moderates through it).
int CopyIntoListDirectory(const _tMsgInfo &info, const std::string &dir, long &error) {
  std::string_view id = info.MessageId;
  for (int copy = 0; IsSafeListDirectoryName(id.substr(0, id.find('@'))) &&
                     copy < kMaxMailboxCopies; ++copy) {
    std::string target = CreateFileNameFromMessageId(dir, id, copy, 0);
    if (FileExists(target)) continue;
    if (CopyFileNoReplace(HeldMessagePath(info), target, EnvelopeLine(info))) {
      // The recipient is marked done right after this: the name must last.
      if (SyncDirectory(dir)) return kDeliveryOk;
      DeleteFile(target);
    }
    break;
  }
  return DeliverToListDirectory(info, dir, error);
}

void FinishListRecipient(_tMsgInfo &info, _tRcpInfo &rcp, const std::string &dir, int result,
                         long error) {
  // A missing held message was reported by the copy (event 128): nothing
  // is left to send, and nobody to tell.
  if (result == kDeliveryOk || result == kDeliveryMessageMissing) {
    rcp.bDisposed = 1;
    return;
  }
  // A copy that could not be written says nothing about the list.
  if (IsDeferredResult(result)) {
    ReportDeferral(info, MailboxFailureCause(dir, error));
    rcp.bDisposed = 0;
    return;
  }
  std::string text = ListDeliveryFailureText(result, error);
  rcp.bDisposed = CreateNonDeliveryMessage(info, &rcp, true, text.c_str(), nullptr) ? 1 : 0;
}

// ---- the posting rule and notices

std::string PostmasterOfListServer() { return "postmaster@" + ThisHostName; }

std::string FirstAddress(const std::optional<std::string> &field) {
  return field ? ExtractAddress(*field, kMaxHeaderAddress) : std::string();
}

std::string ListRequestAddress(const _tListInfo &list) {
  return CreateRequestAddress(list.ListName, list.Domain);
}

// A notice that cannot be addressed is nothing owed; one that could not be
// written is.
bool NoticeDone(bool sent) { return sent || GetLastError() == ERROR_INVALID_PARAMETER; }

bool ForwardMessageToModerator(const _tListInfo &list, const std::string &path,
                               std::string_view reason) {
  if (list.Moderator.empty()) return true;
  std::string text = "The following message to the " + list.ListName +
                     " mailing list\nis forwarded to you (as moderator) because\n" +
                     std::string(reason) + "\n";
  return NoticeDone(ForwardMessageToAddress(list.Moderator, ListRequestAddress(list),
                                            "Message to the " + list.ListName + " mailing list",
                                            text, path));
}

bool ForwardMessageToPostmaster(const _tListInfo &list, const std::string &path,
                                std::string_view reason) {
  std::string text = "The following message to the " + list.ListName +
                     " mailing list\nis forwarded to you (as postmaster) because\n" +
                     std::string(reason) + "\n";
  return NoticeDone(ForwardMessageToAddress(PostmasterOfListServer(), ListRequestAddress(list),
                                            "Problem with the " + list.ListName + " mailing list",
                                            text, path));
}

// The notice goes where a reply would: the Reply-To address, else From.
bool CreateRejectMessage(const _tListInfo &list, const std::string &path,
                         const std::string &fromAddress, const std::string &replyAddress) {
  const std::string &to = replyAddress.empty() ? fromAddress : replyAddress;
  return NoticeDone(ForwardMessageToAddress(to, ListRequestAddress(list),
                                            "Your message to the " + list.ListName +
                                                " mailing list",
                                            RejectNoticeText(list, fromAddress), path));
}

// The envelope sender of the list message at path ("" when it has none);
// false when the file cannot be read.
bool ReadListEnvelope(const std::string &path, std::string &sender) {
  TextFile in;
  if (!in.Open(path, "r")) return false;
  HeaderFieldReader reader(in, kMaxHeaderField);
  std::string field;
  sender = reader.Next(field) ? ListEnvelopeSender(field) : std::string();
  return !in.Error();
}

// ---- the list copy

struct ListCopyState {
  ListCopyState(const _tListInfo &l, std::string request, std::string id)
      : list(l), requestAddress(std::move(request)), messageId(std::move(id)) {}
  const _tListInfo &list;
  std::string requestAddress;
  std::string messageId;
  bool sawReplyTo = false;
  std::string returnPath;   // BounceAction 1: found in the header
  bool haveReturnPath = false;
};

bool NamesRequestAddress(std::string_view value, const ListCopyState &st) {
  return EqualsNoCase(ExtractAddress(value, kMaxHeaderAddress), st.requestAddress);
}

void WriteListTrace(TextFile &out, const ListCopyState &st) {
  const _tListInfo &list = st.list;
  out.Printf("Sender: %s\n", st.requestAddress.c_str());
  out.Printf("Resent-Message-Id: <%s>\n", st.messageId.c_str());
  out.Printf("Resent-From: %s@%s\n", list.ListName.c_str(), list.Domain.c_str());
  out.Printf("X-Unsub: To leave, send text 'LEAVE' to <%s>\n", st.requestAddress.c_str());
  if (list.ReplyToList && !st.sawReplyTo)
    out.Printf("Reply-To: %s@%s\n", list.ListName.c_str(), list.Domain.c_str());
  out.Write("\n");
}

// A header field of the list message is copied as it streams by, however
// long it is (a Cc of thousands of addresses must survive whole); what the
// list needs to know of it comes from its first kMaxHeaderField characters.
// Return-Path fields are left out: the envelope field of the list
// directory's copy is not the list copy's, and a message sent on carries
// none (RFC 5321 4.4).
enum class FieldKind { kOther, kSender, kOriginalSender, kReplyTo, kFrom, kReturnPath };

struct OpenField {
  FieldKind kind = FieldKind::kOther;
  std::string value;   // the field without its name, at most kMaxHeaderField
};

struct NamedField {
  std::string_view name;
  FieldKind kind;
};

constexpr NamedField kWatchedFields[] = {
    {kSenderField, FieldKind::kSender},
    {kOriginalSenderField, FieldKind::kOriginalSender},
    {kReplyToField, FieldKind::kReplyTo},
    {kFromField, FieldKind::kFrom},
    {kEnvelopeField, FieldKind::kReturnPath},
};

void AppendBounded(std::string &text, std::string_view piece) {
  if (text.size() < kMaxHeaderField) text.append(piece.substr(0, kMaxHeaderField - text.size()));
}

// The first piece of a field: a Sender line becomes an Original-sender line.
void BeginField(TextFile &out, std::string_view piece, OpenField &field) {
  field = OpenField();
  std::string_view value = piece;
  for (const NamedField &f : kWatchedFields) {
    if (!StartsWithNoCase(piece, f.name)) continue;
    field.kind = f.kind;
    value = piece.substr(f.name.size());
    break;
  }
  if (field.kind == FieldKind::kSender) {
    out.Write(kOriginalSenderField);
    out.Write(value);
  } else if (field.kind != FieldKind::kReturnPath) {
    out.Write(piece);
  }
  AppendBounded(field.value, value);
}

// The field is complete. False when it shows that the message has come
// back from this list.
bool FinishField(const OpenField &field, ListCopyState &st) {
  bool bounceToSender = st.list.BounceAction == kBounceActionSender;
  switch (field.kind) {
    case FieldKind::kSender:
    case FieldKind::kOriginalSender: return !NamesRequestAddress(field.value, st);
    case FieldKind::kReplyTo:
      st.sawReplyTo = true;
      if (bounceToSender) {
        st.returnPath = ExtractAddress(field.value, kMaxHeaderAddress);
        st.haveReturnPath = true;
      }
      return true;
    case FieldKind::kFrom:
      if (bounceToSender && !st.haveReturnPath) {
        st.returnPath = ExtractAddress(field.value, kMaxHeaderAddress);
        st.haveReturnPath = true;
      }
      return true;
    case FieldKind::kOther:
    case FieldKind::kReturnPath: return true;
  }
  return true;
}

bool IsFolded(std::string_view piece) { return piece[0] == ' ' || piece[0] == '\t'; }

bool IsEndLine(std::string_view piece) { return piece == ".\n" || piece == "."; }

// The body, CRs removed, up to and including the end-of-message line; a
// file that lacks that line still gives a message that ends as one must.
bool CopyListBody(TextFile &in, TextFile &out) {
  bool atLineStart = true;
  std::string piece;
  while (!out.Error() && in.GetLine(piece, kListCopyPiece)) {
    RemoveChar(piece, '\r');
    if (piece.empty()) continue;
    if (atLineStart && IsEndLine(piece)) return out.Write(".\n");
    out.Write(piece);
    atLineStart = piece.back() == '\n';
  }
  if (in.Error()) return false;
  out.Write(atLineStart ? ".\n" : "\n.\n");
  return !out.Error();
}

// The list's lines close the header; then the body, or (atEnd) the end line.
ListCopyOutcome EndListHeader(TextFile &in, TextFile &out, const ListCopyState &st, bool atEnd) {
  WriteListTrace(out, st);
  if (atEnd)
    out.Write(".\n");
  else if (!CopyListBody(in, out))
    return ListCopyOutcome::kFailed;
  return out.Error() ? ListCopyOutcome::kFailed : ListCopyOutcome::kCopied;
}

ListCopyOutcome RewriteListCopy(TextFile &in, TextFile &out, ListCopyState &st) {
  OpenField field;
  bool inField = false, atLineStart = true;
  std::string piece;
  while (!out.Error() && in.GetLine(piece, kListCopyPiece)) {
    RemoveChar(piece, '\r');
    if (piece.empty()) continue;
    bool lineStart = atLineStart;
    atLineStart = piece.back() == '\n';
    if (!lineStart || (inField && IsFolded(piece))) {
      if (field.kind != FieldKind::kReturnPath) out.Write(piece);
      AppendBounded(field.value, piece);
      continue;
    }
    if (inField && !FinishField(field, st)) return ListCopyOutcome::kLoop;
    inField = false;
    if (piece == "\n") return EndListHeader(in, out, st, false);
    // A message without body: its end line follows the header at once.
    if (IsEndLine(piece)) return EndListHeader(in, out, st, true);
    BeginField(out, piece, field);
    inField = true;
  }
  if (in.Error() || out.Error()) return ListCopyOutcome::kFailed;
  if (inField && !FinishField(field, st)) return ListCopyOutcome::kLoop;
  // Nothing but header, and no end line.
  if (!atLineStart) out.Write("\n");
  return EndListHeader(in, out, st, true);
}

std::string ListCopyReturnPath(const _tListInfo &list, const ListCopyState &st) {
  std::string path;
  if (list.BounceAction == kBounceActionSender) path = st.returnPath;
  if (list.BounceAction == kBounceActionAddress && !list.BouncesTo.empty())
    path = ExtractAddress(list.BouncesTo, kMaxHeaderAddress);
  // A path that cannot stand in the recipient file as it is: none.
  if (path.size() > kMaxReturnPath || !IsSafeHeaderText(path)) path.clear();
  return path;
}

// Members that can be recipients; one whose address would be cut or could
// break the recipient file is left out rather than mangled.
std::vector<std::string> ListRecipients(const _tListInfo &list) {
  std::vector<std::string> out;
  for (const _tMembers &m : list.Members)
    if (IsUsableListAddress(m.Name)) out.push_back(m.Name);
  return out;
}

// ---- the list pass

void ProcessListMessage(const _tListInfo &list, const std::string &path) {
  switch (ValidateListMessage(list, path)) {
    case PostingVerdict::kStays: return;
    case PostingVerdict::kRejected: DeleteFile(path); return;
    case PostingVerdict::kAllowed: break;
  }
  switch (ExpandMessage(list, path)) {
    case ListCopyOutcome::kCopied: DeleteFile(path); return;
    case ListCopyOutcome::kLoop:
      if (DeadMessage(path, kListLoopReason)) DeleteFile(path);
      return;
    case ListCopyOutcome::kFailed: return;   // tried again next pass
  }
}

// The list's own addresses go into every header the list writes.
bool ListAddressesUsable(const _tListInfo &list) {
  return IsSafeHeaderText(list.Domain) && IsSafeHeaderText(ListRequestAddress(list));
}

}  // namespace

// ---- shared helpers

void RemoveChar(std::string &text, char c) {
  size_t out = 0;
  for (char ch : text)
    if (ch != c) text[out++] = ch;
  text.resize(out);
}

std::string ListEnvelopeSender(std::string_view firstField) {
  if (!StartsWithNoCase(firstField, kEnvelopeField)) return "";
  return ExtractAddress(firstField.substr(kEnvelopeField.size()), kMaxHeaderAddress);
}

bool IsModeratorByMail(std::string_view moderator, std::string_view envelopeSender,
                       std::string_view fromAddress) {
  return IsListModerator(moderator, envelopeSender) && IsListModerator(moderator, fromAddress);
}

bool IsUsableListAddress(std::string_view address) {
  return !address.empty() && address.size() <= kMaxRecipientName && IsSafeHeaderText(address);
}

bool IsRequestAddress(std::string_view address) {
  std::string text(address);
  const char *end = SkipLocalAddressPart(text.c_str());
  std::string local = StripDown(std::string_view(text.c_str(), end - text.c_str()), kMaxPath);
  RemoveTrailingSpace(local);
  return EndsWithNoCase(local, kRequestSuffix);
}

bool HeaderFieldReader::Next(std::string &field) {
  field.clear();
  if (!havePending_) {
    if (ended_ || !ReadBoundedLine(in_, pending_, max_)) return false;
    RemoveChar(pending_, '\r');
  }
  field.swap(pending_);
  havePending_ = false;
  // The empty line ends the header: nothing after it is read ahead.
  if (field.empty()) return true;
  std::string line;
  while (ReadBoundedLine(in_, line, max_)) {
    RemoveChar(line, '\r');
    bool continues = !line.empty() && (line[0] == ' ' || line[0] == '\t');
    if (!continues) {
      pending_.swap(line);
      havePending_ = true;
      return true;
    }
    if (field.size() < max_) {
      field += '\n';
      field.append(line, 0, max_ - std::min(max_, field.size()));
    }
  }
  ended_ = true;
  return !in_.Error();
}

// ---- delivery into list directories

bool IsSafeListDirectoryName(std::string_view name) {
  if (name.empty() || name.size() > kMaxListDirectoryName || name.front() == '.') return false;
  if (name.find("..") != std::string_view::npos) return false;
  for (char c : name)
    if (c == '/' || c == '\\' || IsControl(c)) return false;
  return true;
}

std::string ListNameOfUser(std::string_view userName) {
  if (userName.size() > kRequestSuffix.size() && EndsWithNoCase(userName, kRequestSuffix))
    userName.remove_suffix(kRequestSuffix.size());
  return std::string(userName);
}

std::string GetMailingListDirectoryName(std::string_view userName) {
  if (!IsSafeListDirectoryName(userName)) return "";
  return MailListsDirectory + "/" + std::string(userName);
}

bool DeliverToMailingList(_tMsgInfo &info, _tRcpInfo &rcp, const std::string &userName) {
  std::string dir = GetMailingListDirectoryName(userName);
  if (dir.empty() || !IsValidMailingList(ListNameOfUser(userName))) return false;
  if (!MakeListDirectory(dir)) return false;
  DirLock lock;
  if (!lock.Lock(dir.c_str(), kListDirLockWaitMs)) {
    rcp.bDisposed = 0;   // busy: the next pass tries again
    return true;
  }
  long error = 0;
  int result = CopyIntoListDirectory(info, dir, error);
  lock.Unlock();
  FinishListRecipient(info, rcp, dir, result, error);
  return true;
}

// ---- distribution and moderation

void ProcessListDirectory(const std::string &dirName) {
  if (!IsSafeListDirectoryName(dirName)) return;
  std::string dir = MailListsDirectory + "/" + dirName;
  std::vector<std::string> names;
  // A listing cut at its bound still gives work for this pass.
  ListDirectory(dir, ".MSG", ListKind::kFiles, kMaxListMessagesPerPass, names);
  if (names.empty()) return;
  ListInfoPtr list = GetListExpansion(LowerAsciiCopy(dirName), true, GetLocalHostName(-1));
  if (!list || !ListAddressesUsable(*list)) return;
  for (const std::string &name : names) {
    if (Terminating()) return;
    ProcessListMessage(*list, dir + "/" + name);
  }
}

PostingVerdict ValidateListMessage(const _tListInfo &list, const std::string &path) {
  std::optional<std::string> from, replyTo;
  std::string envelope;
  if (!ObtainMessageHeaders(path, &from, nullptr, nullptr, &replyTo, nullptr, nullptr) ||
      !ReadListEnvelope(path, envelope))
    return PostingVerdict::kStays;
  std::string fromAddress = FirstAddress(from), replyAddress = FirstAddress(replyTo);
  // A rejection is done when every message it calls for was written.
  auto rejected = [](bool done) { return done ? PostingVerdict::kRejected : PostingVerdict::kStays; };
  if (fromAddress.empty() && replyAddress.empty()) {
    if (list.Moderator.empty())
      return rejected(ForwardMessageToPostmaster(list, path, kNoSenderReason));
    return rejected(ForwardMessageToModerator(list, path, kNoSenderReason));
  }
  if (list.WhoCanSend == kWhoCanSendAnyone ||
      IsModeratorByMail(list.Moderator, envelope, fromAddress))
    return PostingVerdict::kAllowed;
  if (list.WhoCanSend == kWhoCanSendModerator)
    return rejected(CreateRejectMessage(list, path, fromAddress, replyAddress) &&
                    ForwardMessageToModerator(list, path, kModeratorOnlyReason));
  if (IsListMember(list, fromAddress)) return PostingVerdict::kAllowed;
  return rejected(CreateRejectMessage(list, path, fromAddress, replyAddress));
}

std::string RejectNoticeText(const _tListInfo &list, std::string_view fromAddress) {
  const std::string &name = list.ListName;
  std::string from(fromAddress);
  std::string text;
  if (from.empty()) {
    text = "No From: field was detected in your message.  The list server\nfor the " + name +
           " list will not process messages without a From: field.\n";
  } else if (list.WhoCanSend == kWhoCanSendMembers || list.WhoCanSend == 0) {
    text = from + " is not a member\nor moderator of the " + name + " list.\n" +
           "Sorry, only list members and the moderator may send mail to this list.\n" +
           "You can join the list by sending a reply to this message, with \nSUBSCRIBE " +
           name + "\nin the message body.\n";
  } else if (list.WhoCanSend == kWhoCanSendModerator) {
    text = from + " is not the moderator of the " + name + " list.\n" +
           "Sorry, only the moderator may send mail to this list.\n" +
           "Your message has been forwarded to the moderator.\n";
  } else {
    text = "Your mail has been rejected by the list server (unspecified reason).\n";
  }
  return BoundedCopy(text, kMaxListNoticeText);
}

bool ForwardMessageToAddress(std::string_view addressee, std::string_view from,
                             std::string_view subject, std::string_view text,
                             const std::string &path) {
  std::string title = BoundedCopy(subject, kMaxListNoticeSubject);
  if (!IsUsableListAddress(addressee) || from.empty() || !IsSafeHeaderText(from) ||
      !IsSafeHeaderText(title)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  GeneratedMessage msg;
  // Whatever fails from here was a write: never "nothing to send".
  auto failed = [] {
    if (GetLastError() == ERROR_INVALID_PARAMETER || GetLastError() == 0) SetLastError(EIO);
    return false;
  };
  if (!msg.Create(ThisHostName)) return failed();
  TextFile &out = msg.Stream();
  WriteCommonHeaders(out, std::string(addressee).c_str(), title.c_str(),
                     std::string(from).c_str(), nullptr, msg.MessageId().c_str());
  out.Write("\n");
  WriteBodyText(out, BoundedCopy(text, kMaxListNoticeText));
  out.Write("\n");
  AppendMessageFileToFile(path, kNoBodyLimit, out);
  out.Write("\n.\n");
  return msg.Queue(PostmasterOfListServer(), {std::string(addressee)}) || failed();
}

ListCopyOutcome ExpandMessage(const _tListInfo &list, const std::string &path) {
  TextFile in;
  if (!in.Open(path, "r")) return ListCopyOutcome::kFailed;
  GeneratedMessage msg;
  if (!msg.Create(ThisHostName)) return ListCopyOutcome::kFailed;
  std::string returnPath;
  ListCopyOutcome outcome = RewriteListMessage(in, msg.Stream(), list, msg.MessageId(), returnPath);
  if (outcome != ListCopyOutcome::kCopied) return outcome;   // msg deletes its file
  std::vector<std::string> recipients = ListRecipients(list);
  // No member: distributed to all of them by sending nothing.
  if (recipients.empty()) return ListCopyOutcome::kCopied;
  return msg.Queue(returnPath, recipients) ? ListCopyOutcome::kCopied : ListCopyOutcome::kFailed;
}

ListCopyOutcome RewriteListMessage(TextFile &in, TextFile &out, const _tListInfo &list,
                                   std::string_view messageId, std::string &returnPath) {
  ListCopyState st(list, ListRequestAddress(list), std::string(messageId));
  ListCopyOutcome outcome = RewriteListCopy(in, out, st);
  returnPath = ListCopyReturnPath(list, st);
  return outcome;
}
