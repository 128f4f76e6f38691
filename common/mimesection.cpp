#include "common/mimesection.h"

#include "common/mimeheader.h"
#include "common/mimetext.h"
#include "platform/ascii.h"

namespace {

// Where a part number leads: an entity seen as a message (its header, its
// parts) or as a body part of its parent.
struct Position {
  uint32_t Entity = 0;
  bool bAsMessage = true;
};

bool Resolve(const MimeTree &tree, const std::vector<uint32_t> &part, Position *pos) {
  *pos = Position();
  for (uint32_t n : part) {
    if (n == 0) return false;
    // The parts of a message/rfc822 part are those of the message in it.
    if (!pos->bAsMessage && tree.Parts[pos->Entity].Kind == MimeKind::Message)
      *pos = {tree.Parts[pos->Entity].FirstChild, true};
    const MimePart &e = tree.Parts[pos->Entity];
    if (e.Kind == MimeKind::Multipart) {
      uint32_t child = e.FirstChild;
      for (uint32_t i = 1; i < n && child != kNoMimePart; ++i) child = tree.Parts[child].NextSibling;
      if (child == kNoMimePart) return false;
      *pos = {child, false};
    } else if (pos->bAsMessage && n == 1) {
      pos->bAsMessage = false;   // a message that is not multipart: part 1 is its body
    } else {
      return false;
    }
  }
  return true;
}

bool NameListed(std::string_view name, const std::vector<std::string> &names) {
  for (const std::string &n : names)
    if (EqualsNoCase(name, n)) return true;
  return false;
}

void SelectFields(std::string_view text, const MimePart &m, const MimeSection &section, std::string *out) {
  bool wanted = section.What == MimeSectionText::HeaderFields;
  MimeHeaderReader reader(text.substr(m.HeaderStart, m.HeaderEnd - m.HeaderStart));
  MimeHeaderField field;
  while (reader.Next(&field))
    if (NameListed(field.Name, section.Fields) == wanted) out->append(field.Raw);
  out->append(text.substr(m.HeaderEnd, m.BodyStart - m.HeaderEnd));
}

// Bare LF line ends made CR LF.
void ToCrLf(std::string *content) {
  if (content->find('\n') == std::string::npos) return;
  std::string out;
  out.reserve(content->size() + content->size() / 32);
  for (size_t i = 0; i < content->size(); ++i) {
    if ((*content)[i] == '\n' && (i == 0 || (*content)[i - 1] != '\r')) out += '\r';
    out += (*content)[i];
  }
  content->swap(out);
}

}  // namespace

bool MimeSectionContent(std::string_view text, const MimeTree &tree, const MimeSection &section,
                        MimeSectionBytes *bytes) {
  *bytes = MimeSectionBytes();
  Position pos;
  if (!Resolve(tree, section.Part, &pos)) return false;
  const MimePart &e = tree.Parts[pos.Entity];
  switch (section.What) {
    case MimeSectionText::Full:
      bytes->Start = pos.bAsMessage ? e.HeaderStart : e.BodyStart;
      bytes->End = e.BodyEnd;
      return true;
    case MimeSectionText::Mime:
      if (section.Part.empty()) return false;
      bytes->Start = e.HeaderStart;
      bytes->End = e.BodyStart;
      return true;
    default:
      break;
  }
  const MimePart &m = !pos.bAsMessage && e.Kind == MimeKind::Message ? tree.Parts[e.FirstChild] : e;
  if (section.What == MimeSectionText::Text) {
    bytes->Start = m.BodyStart;
    bytes->End = m.BodyEnd;
  } else if (section.What == MimeSectionText::Header) {
    bytes->Start = m.HeaderStart;
    bytes->End = m.BodyStart;
  } else {
    bytes->bBuilt = true;
    SelectFields(text, m, section, &bytes->Built);
  }
  return true;
}

MimeBinaryStatus MimeBinaryContent(std::string_view text, const MimeTree &tree,
                                   const std::vector<uint32_t> &part, std::string *out) {
  out->clear();
  if (part.empty()) {
    out->assign(text);
    return MimeBinaryStatus::Ok;
  }
  Position pos;
  if (!Resolve(tree, part, &pos)) return MimeBinaryStatus::NoPart;
  const MimePart &e = tree.Parts[pos.Entity];
  MimeEncoding encoding = MimeEncodingOf(e.Encoding);
  if (encoding == MimeEncoding::Unknown) return MimeBinaryStatus::UnknownEncoding;
  MimeDecodeTransfer(encoding, text.substr(e.BodyStart, e.BodySize()), out);
  if (e.Type == "text" && !e.bOpaque) ToCrLf(out);
  return MimeBinaryStatus::Ok;
}
