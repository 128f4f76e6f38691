#include "common/mimeimap.h"

#include <optional>

#include "common/mimeaddr.h"
#include "common/mimeheader.h"
#include "platform/ascii.h"
#include "platform/charset.h"

namespace {

bool IsQuotable(std::string_view bytes, bool utf8Quoted) {
  if (bytes.size() > kMaxMimeQuotedString) return false;
  size_t pos = 0;
  while (pos < bytes.size()) {
    unsigned char c = static_cast<unsigned char>(bytes[pos]);
    if (c == 0 || c == '\r' || c == '\n') return false;
    if (c < 0x80) {
      ++pos;
    } else if (!utf8Quoted || NextUtf8(bytes, &pos) < 0) {
      return false;
    }
  }
  return true;
}

void AppendString(std::string_view bytes, std::string *out) { AppendImapString(bytes, out); }

void AppendUpper(std::string_view token, std::string *out) {
  std::string upper(token);
  UpperAsciiInPlace(upper);
  AppendImapString(upper, out);
}

void AppendOptional(const std::optional<std::string> &value, std::string *out) {
  AppendImapNString(value ? &*value : nullptr, out);
}

void AppendParams(const std::vector<MimeParam> &params, std::string *out) {
  if (params.empty()) {
    *out += "NIL";
    return;
  }
  *out += '(';
  for (size_t i = 0; i < params.size(); ++i) {
    if (i > 0) *out += ' ';
    AppendUpper(params[i].bExtended ? params[i].Name + "*" : params[i].Name, out);
    *out += ' ';
    AppendString(params[i].Value, out);
  }
  *out += ')';
}

void AppendExtensions(const MimePart &p, std::string *out) {
  *out += ' ';
  if (p.Disposition) {
    *out += '(';
    AppendUpper(*p.Disposition, out);
    *out += ' ';
    AppendParams(p.DispositionParams, out);
    *out += ')';
  } else {
    *out += "NIL";
  }
  *out += ' ';
  if (p.Languages.empty()) {
    *out += "NIL";
  } else if (p.Languages.size() == 1) {
    AppendString(p.Languages[0], out);
  } else {
    *out += '(';
    for (size_t i = 0; i < p.Languages.size(); ++i) {
      if (i > 0) *out += ' ';
      AppendString(p.Languages[i], out);
    }
    *out += ')';
  }
  *out += ' ';
  AppendOptional(p.Location, out);
}

// The header fields ENVELOPE reads, first occurrence of each.
enum EnvelopeField { kDate, kSubject, kFrom, kSender, kReplyTo, kTo, kCc, kBcc, kInReplyTo, kMessageId, kFieldCount };
constexpr std::string_view kEnvelopeNames[kFieldCount] = {"date", "subject", "from", "sender", "reply-to",
                                                          "to", "cc", "bcc", "in-reply-to", "message-id"};

void AppendAddresses(const std::vector<MimeAddress> &list, std::string *out) {
  if (list.empty()) {
    *out += "NIL";
    return;
  }
  *out += '(';
  for (const MimeAddress &a : list) {
    switch (a.What) {
      case MimeAddress::Kind::GroupStart:
        *out += "(NIL NIL ";
        AppendString(a.Name, out);
        *out += " NIL)";
        break;
      case MimeAddress::Kind::GroupEnd:
        *out += "(NIL NIL NIL NIL)";
        break;
      case MimeAddress::Kind::Mailbox:
        *out += '(';
        AppendImapNString(a.Name.empty() ? nullptr : &a.Name, out);
        *out += ' ';
        AppendImapNString(a.Route.empty() ? nullptr : &a.Route, out);
        *out += ' ';
        AppendString(a.Mailbox, out);
        *out += ' ';
        AppendString(a.Host, out);
        *out += ')';
        break;
    }
  }
  *out += ')';
}

class StructureWriter {
 public:
  StructureWriter(std::string_view text, const MimeTree &tree, bool extensible, ImapRevision revision)
      : text_(text), tree_(tree), extensible_(extensible), revision_(revision) {}
  void Body(uint32_t index, std::string *out) const;

 private:
  void Multipart(const MimePart &p, uint32_t index, std::string *out) const;
  void Single(const MimePart &p, std::string *out) const;
  std::string_view text_;
  const MimeTree &tree_;
  bool extensible_;
  ImapRevision revision_;
};

void StructureWriter::Body(uint32_t index, std::string *out) const {
  const MimePart &p = tree_.Parts[index];
  if (p.Kind == MimeKind::Multipart)
    Multipart(p, index, out);
  else
    Single(p, out);
}

void StructureWriter::Multipart(const MimePart &p, uint32_t index, std::string *out) const {
  *out += '(';
  for (uint32_t child : MimeChildren(tree_, index)) Body(child, out);
  *out += ' ';
  AppendUpper(p.Subtype, out);
  if (extensible_) {
    *out += ' ';
    AppendParams(p.Params, out);
    AppendExtensions(p, out);
  }
  *out += ')';
}

void StructureWriter::Single(const MimePart &p, std::string *out) const {
  bool message = p.Kind == MimeKind::Message && (revision_ == ImapRevision::Rev2 || p.Subtype == "rfc822");
  *out += '(';
  // A composite part the limits (or its encoding) left unparsed is content
  // of no known type: its type words would promise a structure that is not
  // there.
  if (p.bOpaque) {
    *out += "\"APPLICATION\" \"OCTET-STREAM\"";
  } else {
    AppendUpper(p.Type, out);
    *out += ' ';
    AppendUpper(p.Subtype, out);
  }
  *out += ' ';
  AppendParams(p.Params, out);
  *out += ' ';
  AppendOptional(p.Id, out);
  *out += ' ';
  AppendOptional(p.Description, out);
  *out += ' ';
  AppendUpper(p.Encoding.empty() ? "7bit" : p.Encoding, out);
  *out += ' ' + std::to_string(p.BodySize());
  if (message) {
    *out += ' ';
    *out += MimeEnvelopeText(text_, tree_, p.FirstChild);
    *out += ' ';
    Body(p.FirstChild, out);
    *out += ' ' + std::to_string(p.Lines);
  } else if (p.Type == "text" && !p.bOpaque) {
    *out += ' ' + std::to_string(p.Lines);
  }
  if (extensible_) {
    *out += ' ';
    AppendOptional(p.Md5, out);
    AppendExtensions(p, out);
  }
  *out += ')';
}

}  // namespace

void AppendImapString(std::string_view bytes, std::string *out, bool utf8Quoted) {
  if (IsQuotable(bytes, utf8Quoted)) {
    out->reserve(out->size() + bytes.size() + 2);
    *out += '"';
    for (char c : bytes) {
      if (c == '"' || c == '\\') *out += '\\';
      *out += c;
    }
    *out += '"';
    return;
  }
  *out += '{' + std::to_string(bytes.size()) + "}\r\n";
  size_t start = out->size();
  out->append(bytes);
  for (size_t i = start; i < out->size(); ++i)
    if ((*out)[i] == '\0') (*out)[i] = '\x80';
}

void AppendImapNString(const std::string *bytes, std::string *out) {
  if (bytes == nullptr)
    *out += "NIL";
  else
    AppendImapString(*bytes, out);
}

std::string MimeEnvelopeText(std::string_view text, const MimeTree &tree, uint32_t entity) {
  const MimePart &p = tree.Parts[entity];
  std::optional<std::string> values[kFieldCount];
  MimeHeaderReader reader(text.substr(p.HeaderStart, p.HeaderEnd - p.HeaderStart));
  MimeHeaderField field;
  while (reader.Next(&field)) {
    for (int f = 0; f < kFieldCount; ++f)
      if (!values[f] && EqualsNoCase(field.Name, kEnvelopeNames[f]))
        values[f] = MimeUnfold(field.Value, kMaxFieldValue);
  }
  std::vector<MimeAddress> lists[kFieldCount];
  for (int f = kFrom; f <= kBcc; ++f)
    if (values[f]) lists[f] = MimeParseAddressList(*values[f]);
  // Sender and Reply-To default to From (absent or empty alike).
  if (lists[kSender].empty()) lists[kSender] = lists[kFrom];
  if (lists[kReplyTo].empty()) lists[kReplyTo] = lists[kFrom];
  std::string out = "(";
  for (int f = 0; f < kFieldCount; ++f) {
    if (f > 0) out += ' ';
    if (f >= kFrom && f <= kBcc)
      AppendAddresses(lists[f], &out);
    else
      AppendOptional(values[f], &out);
  }
  out += ')';
  return out;
}

std::string MimeBodyStructureText(std::string_view text, const MimeTree &tree, bool extensible,
                                  ImapRevision revision) {
  std::string out;
  StructureWriter(text, tree, extensible, revision).Body(0, &out);
  return out;
}

bool MimeTextsDependOnRevision(const MimeTree &tree) {
  for (const MimePart &p : tree.Parts)
    if (p.Kind == MimeKind::Message && p.Subtype == "global") return true;
  return false;
}
