#include "platform/charset.h"

#include <iconv.h>

#include <algorithm>
#include <cerrno>
#include <string>

#include "platform/ascii.h"

namespace {

// iconv's output is taken in pieces of this size.
constexpr size_t kIconvBlock = 4096;

struct CharsetAlias {
  std::string_view Name, Means;
};
// Names mail programs write that iconv does not know, or knows as a
// smaller charset than the one the text is really in.
constexpr CharsetAlias kAliases[] = {
    {"ks_c_5601-1987", "CP949"},   {"ks_c_5601-1989", "CP949"}, {"gb2312", "GB18030"},
    {"gbk", "GB18030"},            {"x-gbk", "GB18030"},        {"iso-8859-8-i", "ISO-8859-8"},
    {"iso-8859-6-i", "ISO-8859-6"}, {"unicode-1-1-utf-7", "UTF-7"}, {"x-sjis", "SHIFT_JIS"},
    {"x-mac-roman", "MACINTOSH"},  {"x-euc-jp", "EUC-JP"},
};
constexpr std::string_view kUtf8Names[] = {"utf-8", "utf8", "us-ascii", "ascii", "ansi_x3.4-1968",
                                           "us", "iso646-us", "unicode-1-1-utf-8"};
constexpr std::string_view kLatin1Names[] = {"iso-8859-1", "iso8859-1", "iso_8859-1", "latin1", "l1",
                                             "iso_8859-1:1987", "cp819", "ibm819"};

bool IsCharsetNameChar(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
         std::string_view("-_.:+()").find(c) != std::string_view::npos;
}

// The lower-case name when it is a plain charset name, "" otherwise.
std::string CleanName(std::string_view charset) {
  if (charset.empty() || charset.size() > kMaxCharsetName) return {};
  for (char c : charset)
    if (!IsCharsetNameChar(c)) return {};
  return LowerAsciiCopy(charset);
}

template <size_t N>
bool InList(const std::string_view (&list)[N], std::string_view name) {
  for (std::string_view n : list)
    if (n == name) return true;
  return false;
}

// How many bytes the sequence led by byte c takes (0: c cannot lead one).
size_t SequenceLength(unsigned char c) {
  if (c < 0x80) return 1;
  if (c >= 0xC2 && c <= 0xDF) return 2;
  if (c >= 0xE0 && c <= 0xEF) return 3;
  if (c >= 0xF0 && c <= 0xF4) return 4;
  return 0;
}

bool HasRoom(const std::string *out, size_t need, size_t maxOut) {
  return out->size() <= maxOut && maxOut - out->size() >= need;
}

}  // namespace

int32_t NextUtf8(std::string_view text, size_t *pos) {
  size_t at = *pos;
  unsigned char c = static_cast<unsigned char>(text[at]);
  size_t len = SequenceLength(c);
  *pos = at + 1;
  if (len == 1) return c;
  if (len == 0 || text.size() - at < len) return -1;
  uint32_t cp = c & (len == 2 ? 0x1F : len == 3 ? 0x0F : 0x07);
  for (size_t i = 1; i < len; ++i) {
    unsigned char d = static_cast<unsigned char>(text[at + i]);
    if ((d & 0xC0) != 0x80) return -1;
    cp = (cp << 6) | (d & 0x3F);
  }
  // Overlong forms, surrogates and code points past U+10FFFF are invalid.
  if ((len == 3 && cp < 0x800) || (len == 4 && (cp < 0x10000 || cp > 0x10FFFF)) ||
      (cp >= 0xD800 && cp <= 0xDFFF))
    return -1;
  *pos = at + len;
  return static_cast<int32_t>(cp);
}

void AppendUtf8(uint32_t cp, std::string *out) {
  if (cp < 0x80) {
    out->push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out->push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out->push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out->push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out->push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

void AppendValidUtf8(std::string_view text, size_t maxOut, std::string *out) {
  size_t pos = 0;
  while (pos < text.size()) {
    // Runs of ASCII go in one append.
    size_t run = pos;
    while (run < text.size() && static_cast<unsigned char>(text[run]) < 0x80) ++run;
    if (run > pos) {
      if (!HasRoom(out, 1, maxOut)) return;
      size_t take = std::min(run - pos, maxOut - out->size());
      out->append(text.substr(pos, take));
      if (take < run - pos) return;
      pos = run;
      continue;
    }
    size_t start = pos;
    int32_t cp = NextUtf8(text, &pos);
    std::string_view piece = cp < 0 ? kUtf8Replacement : text.substr(start, pos - start);
    if (!HasRoom(out, piece.size(), maxOut)) return;
    out->append(piece);
  }
}

size_t Utf8WholeLength(std::string_view text) {
  size_t n = text.size();
  for (size_t back = 1; back <= 3 && back <= n; ++back) {
    unsigned char c = static_cast<unsigned char>(text[n - back]);
    if ((c & 0xC0) == 0x80) continue;
    return SequenceLength(c) > back ? n - back : n;
  }
  return n;
}

bool IsValidUtf8(std::string_view text) {
  size_t pos = 0;
  while (pos < text.size())
    if (NextUtf8(text, &pos) < 0) return false;
  return true;
}

Utf8Decoder::~Utf8Decoder() {
  if (cd_ != nullptr) iconv_close(static_cast<iconv_t>(cd_));
}

bool Utf8Decoder::Open(std::string_view charset) {
  if (cd_ != nullptr) iconv_close(static_cast<iconv_t>(cd_));
  cd_ = nullptr;
  pending_.clear();
  kind_ = Kind::Utf8;
  std::string name = CleanName(charset);
  if (name.empty()) return false;
  if (InList(kUtf8Names, name)) return true;
  if (InList(kLatin1Names, name)) {
    kind_ = Kind::Latin1;
    return true;
  }
  for (const CharsetAlias &alias : kAliases)
    if (alias.Name == name) name = alias.Means;
  iconv_t cd = iconv_open("UTF-8", name.c_str());
  if (cd == reinterpret_cast<iconv_t>(-1)) return false;
  cd_ = cd;
  kind_ = Kind::Iconv;
  return true;
}

void Utf8Decoder::Convert(std::string_view input, bool final, size_t maxOut, std::string *out) {
  std::string joined;
  if (!pending_.empty()) {
    joined = pending_ + std::string(input);
    pending_.clear();
    input = joined;
  }
  if (kind_ == Kind::Iconv) {
    ConvertIconv(input, final, maxOut, out);
    return;
  }
  if (kind_ == Kind::Latin1) {
    for (char c : input) {
      unsigned char u = static_cast<unsigned char>(c);
      if (!HasRoom(out, u < 0x80 ? 1 : 2, maxOut)) return;
      AppendUtf8(u, out);
    }
    return;
  }
  size_t end = final ? input.size() : Utf8WholeLength(input);
  AppendValidUtf8(input.substr(0, end), maxOut, out);
  pending_.assign(input.substr(end));
}

void Utf8Decoder::ConvertIconv(std::string_view input, bool final, size_t maxOut, std::string *out) {
  iconv_t cd = static_cast<iconv_t>(cd_);
  char *in = const_cast<char *>(input.data());
  size_t inLeft = input.size();
  char block[kIconvBlock];
  while (inLeft > 0) {
    if (out->size() >= maxOut) return;
    char *to = block;
    size_t room = std::min(sizeof block, maxOut - out->size());
    size_t toLeft = room;
    size_t rc = iconv(cd, &in, &inLeft, &to, &toLeft);
    int error = rc == static_cast<size_t>(-1) ? errno : 0;
    out->append(block, room - toLeft);
    if (error == EILSEQ) {
      if (!HasRoom(out, kUtf8Replacement.size(), maxOut)) return;
      out->append(kUtf8Replacement);
      ++in;
      --inLeft;
    } else if (error == EINVAL) {
      // A character cut by the end of this piece.
      if (final) {
        if (HasRoom(out, kUtf8Replacement.size(), maxOut)) out->append(kUtf8Replacement);
      } else {
        pending_.assign(in, inLeft);
      }
      break;
    } else if (error == E2BIG && room < sizeof block && toLeft == room) {
      return;   // the next character does not fit within maxOut
    } else if (error != 0 && error != E2BIG) {
      break;
    }
  }
  // Back to the initial shift state for the next conversion.
  if (final) iconv(cd, nullptr, nullptr, nullptr, nullptr);
}

bool ConvertToUtf8(std::string_view charset, std::string_view input, size_t maxOut,
                   std::string *out) {
  out->clear();
  Utf8Decoder decoder;
  bool known = decoder.Open(charset);
  decoder.Convert(input, true, maxOut, out);
  return known;
}

bool IsKnownCharset(std::string_view charset) {
  Utf8Decoder decoder;
  return decoder.Open(charset);
}
