#include "common/mimefield.h"

#include <algorithm>

#include "common/mimeheader.h"
#include "common/mimetext.h"
#include "platform/ascii.h"
#include "platform/charset.h"

namespace {

// Parameters read from one field before the RFC 2231 pieces are joined.
constexpr size_t kMaxRawParams = kMaxParams * 4;
// The decoded text of one parameter: a file name of the longest kind, in
// the widest encoding, many times over.
constexpr size_t kMaxParamText = 64 * 1024;

bool IsTokenChar(char c) {
  unsigned char u = static_cast<unsigned char>(c);
  // 8-bit bytes are let through: mail programs put raw UTF-8 in tokens.
  return u > 0x20 && u != 0x7F && std::string_view("()<>@,;:\\\"/[]?=").find(c) == std::string_view::npos;
}

// RFC 822 lexical reading of a structured value.
struct Lexer {
  std::string_view Text;
  size_t Pos = 0;

  bool AtEnd() const { return Pos >= Text.size(); }
  char Peek() const { return AtEnd() ? '\0' : Text[Pos]; }

  void SkipComment() { Pos = MimeDelimitedEnd(Text, Pos, '(', ')'); }
  void SkipCfws() {
    while (!AtEnd()) {
      char c = Text[Pos];
      if (c == ' ' || c == '\t' || c == '\r' || c == '\n') {
        ++Pos;
      } else if (c == '(') {
        SkipComment();
      } else {
        return;
      }
    }
  }
  bool Token(std::string_view *out) {
    size_t start = Pos;
    while (!AtEnd() && IsTokenChar(Text[Pos])) ++Pos;
    *out = Text.substr(start, Pos - start);
    return Pos > start;
  }
  // A quoted string at Pos ('"'), escapes undone; an open one runs to the end.
  void Quoted(std::string *out) {
    std::string_view inner;
    Pos = MimeDelimitedEnd(Text, Pos, '"', '"', &inner);
    *out += MimeUnescape(inner);
  }
  // An unquoted value as mail programs write them: up to white space, ";",
  // a quote or a comment.
  std::string_view LooseValue() {
    size_t start = Pos;
    while (!AtEnd()) {
      unsigned char c = static_cast<unsigned char>(Text[Pos]);
      if (c <= 0x20 || c == 0x7F || c == ';' || c == '"' || c == '(') break;
      ++Pos;
    }
    return Text.substr(start, Pos - start);
  }
  void SkipTo(char stop) {
    while (!AtEnd() && Text[Pos] != stop) {
      if (Text[Pos] == '"') {
        Pos = MimeDelimitedEnd(Text, Pos, '"', '"');
      } else if (Text[Pos] == '(') {
        SkipComment();
      } else {
        ++Pos;
      }
    }
  }
};

struct RawParam {
  std::string Name;   // lower case, as written ("filename*0*")
  std::string Value;
};

void ReadRawParams(Lexer &lx, std::vector<RawParam> *raw) {
  for (;;) {
    lx.SkipCfws();
    if (lx.AtEnd()) return;
    if (lx.Peek() != ';') {
      lx.SkipTo(';');
      continue;
    }
    ++lx.Pos;
    lx.SkipCfws();
    std::string_view attr;
    if (!lx.Token(&attr)) continue;
    lx.SkipCfws();
    if (lx.Peek() != '=') continue;
    ++lx.Pos;
    lx.SkipCfws();
    RawParam p{LowerAsciiCopy(attr), {}};
    if (lx.Peek() == '"')
      lx.Quoted(&p.Value);
    else
      p.Value.assign(lx.LooseValue());
    if (raw->size() < kMaxRawParams) raw->push_back(std::move(p));
  }
}

// How RFC 2231 splits a parameter name: "name", "name*" (one piece in a
// charset), "name*N" and "name*N*" (continuation N, plain or encoded).
struct NamePart {
  std::string Base;
  int Section = -1;       // -1: no section number
  bool bEncoded = false;
};

NamePart SplitName(const std::string &name) {
  size_t star = name.find('*');
  if (star == std::string::npos || star == 0) return {name, -1, false};
  std::string_view rest = std::string_view(name).substr(star + 1);
  if (rest.empty()) return {name.substr(0, star), -1, true};
  bool encoded = rest.back() == '*';
  if (encoded) rest.remove_suffix(1);
  bool digits = std::all_of(rest.begin(), rest.end(), [](char c) { return c >= '0' && c <= '9'; });
  if (rest.empty() || rest.size() > 3 || !digits) return {name, -1, false};
  return {name.substr(0, star), std::stoi(std::string(rest)), encoded};
}

// RFC 5987's attr-char: what an extended value may hold unencoded.
bool IsAttrChar(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
         std::string_view("!#$&+-.^_`|~").find(c) != std::string_view::npos;
}

std::string PercentEncode(std::string_view bytes) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (char c : bytes) {
    if (IsAttrChar(c)) {
      out.push_back(c);
    } else {
      unsigned char u = static_cast<unsigned char>(c);
      out += '%';
      out += kHex[u >> 4];
      out += kHex[u & 15];
    }
  }
  return out;
}

// "charset'lang'%XX..." split into its three pieces (no quotes: all text).
void SplitExtended(std::string_view value, std::string_view *charset, std::string_view *lang,
                   std::string_view *text) {
  size_t q1 = value.find('\'');
  size_t q2 = q1 == std::string_view::npos ? q1 : value.find('\'', q1 + 1);
  if (q2 == std::string_view::npos) {
    *charset = *lang = {};
    *text = value;
    return;
  }
  *charset = value.substr(0, q1);
  *lang = value.substr(q1 + 1, q2 - q1 - 1);
  *text = value.substr(q2 + 1);
}

// The extended value of one parameter from its pieces (first piece
// encoded or not, the rest in order), in UTF-8 when its charset is known.
std::string JoinExtended(const std::vector<const RawParam *> &pieces, const std::vector<bool> &encoded) {
  std::string_view charset, lang, first = pieces[0]->Value;
  if (encoded[0]) SplitExtended(pieces[0]->Value, &charset, &lang, &first);
  std::string bytes;
  for (size_t i = 0; i < pieces.size(); ++i) {
    std::string_view text = i == 0 ? first : std::string_view(pieces[i]->Value);
    bytes += encoded[i] ? MimePercentDecode(text) : std::string(text);
  }
  std::string utf8;
  if (!charset.empty() && IsKnownCharset(charset)) {
    ConvertToUtf8(charset, bytes, kMaxParamText, &utf8);
    return "utf-8'" + std::string(lang) + "'" + PercentEncode(utf8);
  }
  return std::string(charset) + "'" + std::string(lang) + "'" + PercentEncode(bytes);
}

void JoinParams(const std::vector<RawParam> &raw, std::vector<MimeParam> *out) {
  std::vector<std::string> bases;   // in order of first appearance
  std::vector<NamePart> names;
  for (const RawParam &p : raw) {
    names.push_back(SplitName(p.Name));
    if (std::find(bases.begin(), bases.end(), names.back().Base) == bases.end()) bases.push_back(names.back().Base);
  }
  for (const std::string &base : bases) {
    if (out->size() >= kMaxParams) return;
    const RawParam *plain = nullptr, *single = nullptr;
    std::vector<std::pair<int, size_t>> sections;   // (number, index in raw)
    for (size_t i = 0; i < raw.size(); ++i) {
      if (names[i].Base != base) continue;
      if (names[i].Section >= 0)
        sections.emplace_back(names[i].Section, i);
      else if (names[i].bEncoded && single == nullptr)
        single = &raw[i];
      else if (!names[i].bEncoded && plain == nullptr)
        plain = &raw[i];
    }
    std::stable_sort(sections.begin(), sections.end());
    std::vector<const RawParam *> pieces;
    std::vector<bool> encoded;
    bool anyEncoded = false;
    for (size_t i = 0; i < sections.size() && i < kMaxParamSections; ++i) {
      if (sections[i].first != static_cast<int>(i)) break;   // a gap or a repeat ends the value
      pieces.push_back(&raw[sections[i].second]);
      encoded.push_back(names[sections[i].second].bEncoded);
      anyEncoded = anyEncoded || encoded.back();
    }
    if (plain != nullptr) out->push_back({base, plain->Value, false});
    if (!pieces.empty() && !anyEncoded && plain == nullptr) {
      std::string joined;
      for (const RawParam *p : pieces) joined += p->Value;
      out->push_back({base, joined, false});
    }
    if (single != nullptr && !anyEncoded) out->push_back({base, JoinExtended({single}, {true}), true});
    if (anyEncoded) out->push_back({base, JoinExtended(pieces, encoded), true});
  }
  if (out->size() > kMaxParams) out->resize(kMaxParams);
}

}  // namespace

bool MimeParseContentType(std::string_view value, MimeContentType *out) {
  Lexer lx{value};
  std::string_view type, subtype;
  lx.SkipCfws();
  if (!lx.Token(&type)) return false;
  lx.SkipCfws();
  if (lx.Peek() != '/') return false;
  ++lx.Pos;
  lx.SkipCfws();
  if (!lx.Token(&subtype)) return false;
  std::vector<RawParam> raw;
  ReadRawParams(lx, &raw);
  out->Type = LowerAsciiCopy(type);
  out->Subtype = LowerAsciiCopy(subtype);
  out->Params.clear();
  JoinParams(raw, &out->Params);
  return true;
}

bool MimeParseDisposition(std::string_view value, std::string *type, std::vector<MimeParam> *params) {
  Lexer lx{value};
  std::string_view token;
  lx.SkipCfws();
  if (!lx.Token(&token)) return false;
  std::vector<RawParam> raw;
  ReadRawParams(lx, &raw);
  *type = LowerAsciiCopy(token);
  params->clear();
  JoinParams(raw, params);
  return true;
}

std::vector<std::string> MimeParseLanguages(std::string_view value) {
  std::vector<std::string> tags;
  Lexer lx{value};
  while (!lx.AtEnd() && tags.size() < kMaxParams) {
    lx.SkipCfws();
    std::string_view tag;
    if (lx.Token(&tag))
      tags.emplace_back(tag);
    else if (!lx.AtEnd())
      ++lx.Pos;
  }
  return tags;
}

std::string MimeFirstToken(std::string_view value) {
  Lexer lx{value};
  lx.SkipCfws();
  std::string_view token;
  lx.Token(&token);
  return LowerAsciiCopy(token);
}

const MimeParam *MimeFindParam(const std::vector<MimeParam> &params, std::string_view name) {
  for (const MimeParam &p : params)
    if (!p.bExtended && EqualsNoCase(p.Name, name)) return &p;
  return nullptr;
}

std::string MimeParamText(const std::vector<MimeParam> &params, std::string_view name) {
  for (const MimeParam &p : params) {
    if (!p.bExtended || !EqualsNoCase(p.Name, name)) continue;
    std::string_view charset, lang, text;
    SplitExtended(p.Value, &charset, &lang, &text);
    std::string utf8;
    ConvertToUtf8(charset, MimePercentDecode(text), kMaxParamText, &utf8);
    return utf8;
  }
  const MimeParam *plain = MimeFindParam(params, name);
  // Mail programs also put encoded words into parameters (name="=?...?=").
  return plain == nullptr ? std::string() : MimeDecodeWords(plain->Value, kMaxParamText);
}
