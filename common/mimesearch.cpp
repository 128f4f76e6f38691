#include "common/mimesearch.h"

#include <algorithm>
#include <cstring>

#include "common/mimefield.h"
#include "common/mimefoldtable.h"
#include "common/mimeheader.h"
#include "common/mimetext.h"
#include "platform/ascii.h"
#include "platform/charset.h"

namespace {

uint32_t FoldCodePoint(uint32_t cp) {
  const MimeFoldRun *end = std::end(kMimeFoldRuns);
  const MimeFoldRun *run = std::upper_bound(std::begin(kMimeFoldRuns), end, cp,
                                            [](uint32_t c, const MimeFoldRun &r) { return c < r.First; });
  if (run == std::begin(kMimeFoldRuns)) return cp;
  --run;
  uint32_t offset = cp - run->First;
  if (offset > run->Span || offset % run->Stride != 0) return cp;
  return static_cast<uint32_t>(static_cast<int32_t>(cp) + run->Delta);
}

// Folds text piece by piece and looks for the needle, across pieces too.
class Matcher {
 public:
  explicit Matcher(const MimeNeedle &needle) : needle_(needle) {}
  // Starts a new text: no match runs from the last one into it.
  void Begin() { carry_.clear(); }
  // Feeds UTF-8 (whole characters); true once the needle was found.
  bool Feed(std::string_view utf8) {
    folded_.assign(carry_);
    MimeFold(utf8, &folded_);
    if (needle_.FoundIn(folded_)) return true;
    size_t keep = std::min(folded_.size(), needle_.Folded().size() - 1);
    carry_.assign(folded_, folded_.size() - keep, keep);
    return false;
  }

 private:
  const MimeNeedle &needle_;
  std::string folded_, carry_;
};

bool SearchHeader(std::string_view text, const MimePart &p, Matcher *m) {
  MimeHeaderReader reader(text.substr(p.HeaderStart, p.HeaderEnd - p.HeaderStart));
  MimeHeaderField field;
  std::string line;
  while (reader.Next(&field)) {
    line.assign(field.Name);
    line += ": ";
    line += MimeDecodeWords(MimeUnfold(field.Value, kMaxFieldValue), kMaxFieldValue);
    m->Begin();
    if (m->Feed(line)) return true;
  }
  return false;
}

bool SearchTextPart(std::string_view text, const MimePart &p, Matcher *m) {
  std::string_view body = text.substr(p.BodyStart, p.BodySize());
  MimeEncoding encoding = MimeEncodingOf(p.Encoding);
  if (encoding == MimeEncoding::Unknown) encoding = MimeEncoding::Identity;
  Utf8Decoder charset;
  const MimeParam *name = MimeFindParam(p.Params, "charset");
  charset.Open(name == nullptr ? std::string_view("us-ascii") : std::string_view(name->Value));
  m->Begin();
  if (encoding == MimeEncoding::Identity && charset.ReadsUtf8()) {
    // The common case: the bytes are the text; folding reads them in place.
    while (!body.empty()) {
      size_t take = body.size() <= kSearchPiece ? body.size() : Utf8WholeLength(body.substr(0, kSearchPiece));
      if (take == 0) take = std::min(body.size(), kSearchPiece);
      if (m->Feed(body.substr(0, take))) return true;
      body.remove_prefix(take);
    }
    return false;
  }
  MimeTransferDecoder decoder(encoding);
  std::string decoded, converted;
  for (bool last = false; !last;) {
    std::string_view piece = body.substr(0, kSearchPiece);
    body.remove_prefix(piece.size());
    last = body.empty();
    decoded.clear();
    decoder.Feed(piece, &decoded);
    if (last) decoder.Finish(&decoded);
    converted.clear();
    charset.Convert(decoded, last, SIZE_MAX, &converted);
    if (m->Feed(converted)) return true;
  }
  return false;
}

}  // namespace

void MimeFold(std::string_view utf8, std::string *out) {
  constexpr uint64_t kHigh = 0x8080808080808080ULL;
  size_t pos = 0;
  while (pos < utf8.size()) {
    size_t run = pos;
    while (run + 8 <= utf8.size()) {
      uint64_t w;
      memcpy(&w, utf8.data() + run, 8);
      if ((w & kHigh) != 0) break;
      run += 8;
    }
    while (run < utf8.size() && static_cast<unsigned char>(utf8[run]) < 0x80) ++run;
    // ASCII, eight bytes at a time: the upper-case letters get their 0x20
    // bit (a byte + 63 reaches 0x80 from 'A' on, + 37 from '[' on).
    size_t start = out->size();
    out->resize(start + run - pos);
    char *to = out->data() + start;
    for (; pos + 8 <= run; pos += 8, to += 8) {
      uint64_t w;
      memcpy(&w, utf8.data() + pos, 8);
      w |= ((w + 0x3F3F3F3F3F3F3F3FULL) & ~(w + 0x2525252525252525ULL) & kHigh) >> 2;
      memcpy(to, &w, 8);
    }
    for (; pos < run; ++pos) *to++ = LowerAscii(utf8[pos]);
    if (pos >= utf8.size()) break;
    int32_t cp = NextUtf8(utf8, &pos);
    if (cp < 0)
      out->append(kUtf8Replacement);
    else
      AppendUtf8(FoldCodePoint(static_cast<uint32_t>(cp)), out);
  }
}

MimeNeedle::MimeNeedle(std::string_view utf8)
    : folded_([&] {
        std::string f;
        MimeFold(utf8, &f);
        return f;
      }()),
      searcher_(folded_.data(), folded_.data() + folded_.size()) {}

bool MimeNeedle::FoundIn(std::string_view folded) const {
  if (folded_.empty()) return true;
  const char *end = folded.data() + folded.size();
  return std::search(folded.data(), end, searcher_) != end;
}

bool MimeSearchMessage(std::string_view text, const MimeTree &tree, MimeSearchScope scope,
                       const MimeNeedle &needle) {
  if (needle.Folded().empty()) return true;
  Matcher m(needle);
  bool all = scope == MimeSearchScope::Text;
  for (uint32_t i = 0; i < tree.Parts.size(); ++i) {
    const MimePart &p = tree.Parts[i];
    // The header of a message inside the message is body text to its reader.
    bool embedded = p.Parent != kNoMimePart && tree.Parts[p.Parent].Kind == MimeKind::Message;
    if ((all || embedded) && SearchHeader(text, p, &m)) return true;
    if (p.Kind == MimeKind::Leaf && !p.bOpaque && p.Type == "text" && SearchTextPart(text, p, &m)) return true;
  }
  return false;
}

bool MimeSearchField(std::string_view text, const MimeTree &tree, std::string_view name,
                     const MimeNeedle &needle) {
  const MimePart &p = tree.Parts[0];
  MimeHeaderReader reader(text.substr(p.HeaderStart, p.HeaderEnd - p.HeaderStart));
  MimeHeaderField field;
  Matcher m(needle);
  while (reader.Next(&field)) {
    if (!EqualsNoCase(field.Name, name)) continue;
    if (needle.Folded().empty()) return true;
    m.Begin();
    if (m.Feed(MimeDecodeWords(MimeUnfold(field.Value, kMaxFieldValue), kMaxFieldValue))) return true;
  }
  return false;
}
