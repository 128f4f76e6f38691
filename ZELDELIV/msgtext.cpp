// msgtext: see msgtext.h.
#include "ZELDELIV/msgtext.h"

#include <array>
#include <cstring>

#include "ZELDELIV/genfilter.h"
#include "ZELDELIV/queue.h"
#include "ZELDELIV/settings.h"
#include "common/dkim.h"
#include "common/logging.h"
#include "common/rfc822parse.h"
#include "common/str.h"
#include "common/zel.h"
#include "messages/zelmsg.h"
#include "platform/files.h"
#include "platform/fileview.h"
#include "zelbase/zelbase.h"

namespace {

// Pieces in which lines are read before they are joined and cut.
constexpr size_t kReadPiece = 1024;

constexpr const char *kNotAvailable = "Original message not available.\n";
constexpr const char *kReadError = "\nError reading message file\n";
constexpr const char *kTruncated = "\n\n*** RETURNED MESSAGE TRUNCATED ***\n";

}  // namespace

bool HasDomainPart(const char *name) {
  const char *p = SkipLocalAddressPart(name);
  while (IsAddressSpace(*p)) ++p;
  return *p == '@';
}

std::string QualifiedAddress(std::string_view name) {
  std::string address(name);
  if (!HasDomainPart(address.c_str())) address += "@" + GetLocalHostName(-1);
  return BoundedCopy(address, kMaxHeaderAddress);
}

bool ReadBoundedLine(TextFile &f, std::string &line, size_t maxChars) {
  line.clear();
  std::string piece;
  bool any = false;
  while (f.GetLine(piece, kReadPiece)) {
    any = true;
    bool end = piece.back() == '\n';
    if (end) piece.pop_back();
    if (line.size() < maxChars) line.append(piece, 0, maxChars - line.size());
    if (end) break;
  }
  return any && !f.Error();
}

namespace {

// Continuation lines begin with white space other than CR or LF.
bool IsContinuation(const std::string &line) {
  return !line.empty() && (line[0] == ' ' || line[0] == '\t' || line[0] == '\v' || line[0] == '\f');
}

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

struct WantedField {
  const char *name;
  std::optional<std::string> *value;
};

// Fields are matched at their start in this order; the last occurrence counts.
template <size_t N>
void StoreField(const std::string &field, const std::array<WantedField, N> &wanted) {
  for (const WantedField &w : wanted) {
    if (!StartsWithNoCase(field, w.name)) continue;
    if (w.value == nullptr) return;
    std::string_view v(field);
    v.remove_prefix(strlen(w.name));
    while (!v.empty() && IsBlank(v.front())) v.remove_prefix(1);
    while (!v.empty() && IsBlank(v.back())) v.remove_suffix(1);
    *w.value = std::string(v);
    return;
  }
}

std::string RecipientFileName(const std::string &messageFile) {
  size_t dot = messageFile.rfind('.');
  size_t slash = messageFile.rfind('/');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash))
    return messageFile + ".RCP";
  return messageFile.substr(0, dot) + ".RCP";
}

}  // namespace

namespace {

// Reads the header up to its empty line (or the end of the file), one field
// at a time with its continuation lines, and stores the wanted ones.
template <size_t N>
bool ReadWantedFields(const std::string &path, const std::array<WantedField, N> &wanted) {
  for (const WantedField &w : wanted)
    if (w.value != nullptr) w.value->reset();
  TextFile f;
  if (!f.Open(path, "r")) return false;
  std::string line, field;
  bool have = ReadBoundedLine(f, line, kMaxHeaderField);
  while (have && !line.empty()) {
    field.swap(line);
    while ((have = ReadBoundedLine(f, line, kMaxHeaderField)) && IsContinuation(line)) {
      if (field.size() >= kMaxHeaderField) continue;
      field += '\n';
      field.append(line, 0, kMaxHeaderField - field.size());
    }
    StoreField(field, wanted);
  }
  return !f.Error();
}

}  // namespace

bool ObtainMessageHeaders(const std::string &path, std::optional<std::string> *From,
                          std::optional<std::string> *To, std::optional<std::string> *Cc,
                          std::optional<std::string> *ReplyTo, std::optional<std::string> *Subject,
                          std::optional<std::string> *Sender) {
  return ReadWantedFields<6>(path, {{{"From:", From},
                                     {"To:", To},
                                     {"Cc:", Cc},
                                     {"Reply-To:", ReplyTo},
                                     {"Subject:", Subject},
                                     {"Sender:", Sender}}});
}

bool ReadMessageHeaders(const std::string &path, MessageHeaders &h) {
  return ReadWantedFields<9>(path, {{{"From:", &h.From},
                                     {"To:", &h.To},
                                     {"Cc:", &h.Cc},
                                     {"Reply-To:", &h.ReplyTo},
                                     {"Subject:", &h.Subject},
                                     {"Sender:", &h.Sender},
                                     {"Auto-Submitted:", &h.AutoSubmitted},
                                     {"Precedence:", &h.Precedence},
                                     {"List-Id:", &h.ListId}}});
}

bool AppendMessageFileToFile(const std::string &path, long bodyLimit, TextFile &stream) {
  TextFile in;
  if (!in.Open(path, "r")) return stream.Write(kNotAvailable);
  bool inHeader = true, atLineStart = true;
  long count = 0;
  std::string piece;
  while (!stream.Error() && in.GetLine(piece, kMaxCopyLine)) {
    if (atLineStart && piece == ".\n") return !stream.Error();
    if (!inHeader) {
      count += static_cast<long>(piece.size());
      if (bodyLimit >= 0 && count > bodyLimit) return stream.Write(kTruncated);
    }
    if (atLineStart && piece == "\n") inHeader = false;
    stream.Write(piece);
    atLineStart = piece.back() == '\n';
  }
  if (in.Error()) stream.Write(kReadError);
  return !stream.Error();
}

bool AppendMessageToFile(const _tMsgInfo &info, long bodyLimit, TextFile &stream) {
  return AppendMessageFileToFile(HeldMessagePath(info), bodyLimit, stream);
}

bool IsSafeHeaderText(std::string_view text) {
  for (char c : text) {
    unsigned char u = static_cast<unsigned char>(c);
    if (u < 0x20 || u > 0x7E) return false;
  }
  return true;
}

bool WriteBodyText(TextFile &stream, std::string_view text) {
  std::string out;
  out.reserve(text.size() + 8);
  bool atLineStart = true;
  for (char c : text) {
    if (atLineStart && c == '.') out += '.';
    out += c;
    atLineStart = c == '\n';
  }
  return stream.Write(out);
}

namespace {

// The signatures of the message's From domain on top of its text: written
// whole under a temporary name and renamed over the file, before the
// recipient file makes it visible. A message that cannot be signed goes
// unsigned, reported (event 241); false only when the disk failed.
bool SignGeneratedFile(const std::string &path, std::string_view returnPath) {
  if (!DkimSigning) return true;
  UniqueFd fd(OpenFileForReading(path));
  uint64_t size = 0;
  if (!fd.Valid() || !GetFileSizeOf(fd.Get(), &size)) return false;
  const MessageSource source{{}, fd.Get(), 0, size};
  std::vector<std::string> values;
  std::string domain, why;
  auto report = [&domain](const std::string &text) {
    LogEvent(EVENTLOG_WARNING_TYPE, MSG_DKIM_NOT_SIGNED, LogSafeText(domain).c_str(),
             LogSafeText(text).c_str());
  };
  if (!DkimSignForDomain(source, returnPath, IsLocalDomainName, &values, &domain, &why))
    report(why);
  if (values.empty()) return true;
  MilterEdits edits = DkimSignatureEdits(std::move(values));
  DurableFile signedFile;
  if (!signedFile.Create(path, kMessageTempPrefix, kSpoolFileMode, "wb")) return false;
  GiveToDirectoryOwner(signedFile.Stream().Fd(), path.substr(0, path.rfind('/')));
  bool writeFailed = false;
  auto sink = [&](std::string_view piece) { return !(writeFailed = !signedFile.Stream().Write(piece)); };
  std::string error;
  if (!ApplyMilterEdits(source, {edits}, sink, &error)) {
    if (writeFailed) return false;
    report(error);
    return true;
  }
  return signedFile.Publish();
}

}  // namespace

GeneratedMessage::~GeneratedMessage() {
  if (!queued_) Discard();
}

bool GeneratedMessage::Create(std::string_view hostName) {
  if (!CreateMessageFile(stream_, fileName_)) return false;
  // The remote side (the service account) reads it once it is held.
  GiveToDirectoryOwner(stream_.Fd(), MailQueueDirectory);
  messageId_ = CreateMessageIdFromFileName(fileName_, hostName, kMaxMessageId + 1);
  return true;
}

bool GeneratedMessage::Queue(std::string_view returnPath,
                             const std::vector<std::string> &recipients, int lockIncomingMs) {
  if (fileName_.empty() || queued_) return false;
  // The text is on disk before the recipient file can make it visible.
  if (stream_.Error() || !stream_.Commit() || !stream_.Close()) return false;
  std::string sender(returnPath);
  std::vector<std::string> to = recipients;
  GeneratedFilterOutcome filtered = FilterGeneratedFile(fileName_, messageId_, &sender, &to);
  if (filtered == GeneratedFilterOutcome::kRetry) return false;
  // Refused by a filter: dropped (and reported) as if it had been sent.
  if (filtered == GeneratedFilterOutcome::kDrop) return true;
  returnPath = sender;
  if (!SignGeneratedFile(fileName_, returnPath)) return false;
  _tMsgInfo envelope;
  STRNCPY(envelope.MessageId, messageId_.c_str(), sizeof envelope.MessageId);
  std::string path = BoundedCopy(returnPath, kMaxReturnPath);
  STRNCPY(envelope.ReturnPath, path.c_str(), sizeof envelope.ReturnPath);
  // The list is written in its order; pushing at the front reverses.
  for (auto r = to.rbegin(); r != to.rend(); ++r) PushRecipient(envelope, *r, "");
  DirLock lock;
  if (lockIncomingMs != 0 && !lock.Lock(MailQueueDirectory.c_str(), lockIncomingMs)) return false;
  if (!CreateRecipientFile(envelope, RecipientFileName(fileName_))) return false;
  queued_ = true;
  return true;
}

void GeneratedMessage::Discard() {
  stream_.Close();
  if (!fileName_.empty() && !queued_) DeleteFile(fileName_);
  fileName_.clear();
}
