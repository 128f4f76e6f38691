#include "common/mimeparse.h"

#include <algorithm>

#include "common/mimeheader.h"
#include "common/mimetext.h"
#include "platform/ascii.h"

namespace {

enum class Delimiter { None, Open, Close };

bool AllBlank(std::string_view text) {
  return std::all_of(text.begin(), text.end(), [](char c) { return c == ' ' || c == '\t'; });
}

// Is line (with its line end) a delimiter line of dash ("--" boundary)?
Delimiter DelimiterOf(std::string_view line, std::string_view dash) {
  if (line.size() < dash.size() || line.compare(0, dash.size(), dash) != 0) return Delimiter::None;
  std::string_view rest = MimeWithoutLineEnd(line.substr(dash.size()));
  if (AllBlank(rest)) return Delimiter::Open;
  if (rest.size() >= 2 && rest[0] == '-' && rest[1] == '-' && AllBlank(rest.substr(2))) return Delimiter::Close;
  return Delimiter::None;
}

class Parser {
 public:
  Parser(std::string_view text, MimeTree *tree) : text_(text), tree_(tree) {}
  uint32_t Entity(size_t start, size_t end, uint32_t depth, uint32_t parent, bool digestChild);

 private:
  MimePart &Part(uint32_t index) { return tree_->Parts[index]; }
  void ReadFields(uint32_t index, bool digestChild);
  bool SplitMultipart(uint32_t index, std::string_view boundary);
  void AddChild(uint32_t parent, size_t start, size_t end, uint32_t *last);
  void MakeText(uint32_t index);
  void MakeOpaque(uint32_t index);
  bool CanNest(uint32_t depth) const { return depth < kMaxMimeDepth && budget_ > 0; }

  std::string_view text_;
  MimeTree *tree_;
  uint32_t budget_ = kMaxMimeParts;   // entities that may still be made
};

uint32_t Parser::Entity(size_t start, size_t end, uint32_t depth, uint32_t parent, bool digestChild) {
  uint32_t index = static_cast<uint32_t>(tree_->Parts.size());
  tree_->Parts.emplace_back();
  --budget_;
  {
    MimePart &p = Part(index);
    p.HeaderStart = start;
    p.BodyEnd = end;
    p.Parent = parent;
    p.Depth = depth;
    MimeFindHeaderEnd(text_, start, end, &p.HeaderEnd, &p.BodyStart);
  }
  ReadFields(index, digestChild);
  const MimePart &p = Part(index);
  if (p.Type == "multipart") {
    const MimeParam *boundary = MimeFindParam(p.Params, "boundary");
    if (boundary == nullptr || boundary->Value.empty() || boundary->Value.size() > kMaxBoundary) {
      MakeText(index);
    } else if (!CanNest(depth)) {
      MakeOpaque(index);
    } else {
      std::string dash = "--" + boundary->Value;
      if (!SplitMultipart(index, dash)) MakeText(index);
    }
  } else if (p.IsType("message", "rfc822") || p.IsType("message", "global")) {
    if (MimeEncodingOf(p.Encoding) != MimeEncoding::Identity || !CanNest(depth)) {
      MakeOpaque(index);
    } else {
      size_t bodyStart = p.BodyStart, bodyEnd = p.BodyEnd;
      Part(index).Kind = MimeKind::Message;
      uint32_t child = Entity(bodyStart, bodyEnd, depth + 1, index, false);
      Part(index).FirstChild = child;
    }
  }
  MimePart &done = Part(index);
  if (done.Type == "text" || done.Type == "message")
    done.Lines = MimeCountLines(text_.substr(done.BodyStart, done.BodyEnd - done.BodyStart));
  return index;
}

void Parser::ReadFields(uint32_t index, bool digestChild) {
  MimePart &p = Part(index);
  MimeHeaderReader reader(text_.substr(p.HeaderStart, p.HeaderEnd - p.HeaderStart));
  MimeHeaderField field;
  bool haveType = false, haveEncoding = false, haveDisposition = false, haveLanguage = false;
  while (reader.Next(&field)) {
    if (!StartsWithNoCase(field.Name, "content-")) continue;
    std::string_view name = field.Name.substr(8);
    // The first of each field counts, as for every reader of the header.
    auto take = [&](std::string_view wanted, bool *seen) {
      if (*seen || !EqualsNoCase(name, wanted)) return false;
      *seen = true;
      return true;
    };
    auto takeText = [&](std::string_view wanted, std::optional<std::string> *slot) {
      if (slot->has_value() || !EqualsNoCase(name, wanted)) return;
      *slot = MimeUnfold(field.Value, kMaxFieldValue);
    };
    if (take("type", &haveType)) {
      MimeContentType type;
      if (MimeParseContentType(MimeUnfold(field.Value, kMaxFieldValue), &type)) {
        p.Type = std::move(type.Type);
        p.Subtype = std::move(type.Subtype);
        p.Params = std::move(type.Params);
      } else {
        haveType = false;
      }
    } else if (take("transfer-encoding", &haveEncoding)) {
      p.Encoding = MimeFirstToken(MimeUnfold(field.Value, kMaxFieldValue));
    } else if (take("disposition", &haveDisposition)) {
      std::string type;
      if (MimeParseDisposition(MimeUnfold(field.Value, kMaxFieldValue), &type, &p.DispositionParams))
        p.Disposition = std::move(type);
    } else if (take("language", &haveLanguage)) {
      p.Languages = MimeParseLanguages(MimeUnfold(field.Value, kMaxFieldValue));
    } else {
      takeText("id", &p.Id);
      takeText("description", &p.Description);
      takeText("md5", &p.Md5);
      takeText("location", &p.Location);
    }
  }
  if (haveType) return;
  if (digestChild) {
    p.Type = "message";
    p.Subtype = "rfc822";
  } else {
    MakeText(index);
  }
}

void Parser::MakeText(uint32_t index) {
  MimePart &p = Part(index);
  p.Type = "text";
  p.Subtype = "plain";
  p.Params = {{"charset", "us-ascii", false}};
}

void Parser::MakeOpaque(uint32_t index) {
  MimePart &p = Part(index);
  p.bOpaque = true;
  // An encoded message is opaque by its own choice, not by a limit.
  if (p.Type == "multipart" || MimeEncodingOf(p.Encoding) == MimeEncoding::Identity) tree_->bLimited = true;
}

void Parser::AddChild(uint32_t parent, size_t start, size_t end, uint32_t *last) {
  bool digest = Part(parent).IsType("multipart", "digest");
  uint32_t child = Entity(start, end, Part(parent).Depth + 1, parent, digest);
  if (*last == kNoMimePart)
    Part(parent).FirstChild = child;
  else
    Part(*last).NextSibling = child;
  *last = child;
}

// Finds the body parts of a multipart; false when there is none.
bool Parser::SplitMultipart(uint32_t index, std::string_view dash) {
  const size_t bodyStart = Part(index).BodyStart, bodyEnd = Part(index).BodyEnd;
  Part(index).Kind = MimeKind::Multipart;
  uint32_t last = kNoMimePart;
  size_t partStart = bodyEnd;
  bool inPart = false;
  std::string_view body = text_.substr(0, bodyEnd);
  // Only lines that start with "--" are looked at; each is compared once,
  // so the scan is linear in the body whatever the boundary.
  for (size_t pos = bodyStart; pos < bodyEnd;) {
    size_t lf = body.find('\n', pos);
    size_t next = lf == std::string_view::npos ? bodyEnd : lf + 1;
    Delimiter d = body.compare(pos, 2, "--") == 0 ? DelimiterOf(body.substr(pos, next - pos), dash) : Delimiter::None;
    if (d != Delimiter::None) {
      if (inPart) {
        // The line break before a delimiter belongs to the delimiter.
        size_t end = pos;
        if (end > partStart && text_[end - 1] == '\n') --end;
        if (end > partStart && text_[end - 1] == '\r') --end;
        AddChild(index, partStart, end, &last);
        inPart = false;
      }
      if (d == Delimiter::Close) break;
      if (budget_ == 0) {
        tree_->bLimited = true;
        break;
      }
      partStart = next;
      inPart = true;
      // The last entity the limit allows takes the rest of the multipart.
      if (budget_ == 1) {
        tree_->bLimited = true;
        break;
      }
    }
    size_t candidate = lf == std::string_view::npos ? lf : body.find("\n--", lf);
    pos = candidate == std::string_view::npos ? bodyEnd : candidate + 1;
  }
  if (inPart) AddChild(index, partStart, bodyEnd, &last);
  if (last != kNoMimePart) return true;
  Part(index).Kind = MimeKind::Leaf;
  return false;
}

}  // namespace

bool MimePart::IsType(std::string_view type, std::string_view subtype) const {
  return Type == type && (subtype.empty() || Subtype == subtype);
}

void MimeParseMessage(std::string_view text, MimeTree *tree) {
  tree->Parts.clear();
  tree->bLimited = false;
  Parser parser(text, tree);
  parser.Entity(0, text.size(), 0, kNoMimePart, false);
}

std::vector<uint32_t> MimeChildren(const MimeTree &tree, uint32_t part) {
  std::vector<uint32_t> children;
  for (uint32_t c = tree.Parts[part].FirstChild; c != kNoMimePart; c = tree.Parts[c].NextSibling)
    children.push_back(c);
  return children;
}

size_t MimeCountLines(std::string_view body) {
  size_t lines = 0;
  for (size_t lf = body.find('\n'); lf != std::string_view::npos; lf = body.find('\n', lf + 1)) ++lines;
  return lines + (!body.empty() && body.back() != '\n' ? 1 : 0);
}
