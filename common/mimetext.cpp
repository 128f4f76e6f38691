#include "common/mimetext.h"

#include <algorithm>
#include <cstdint>

#include "common/sasl.h"
#include "platform/ascii.h"
#include "platform/charset.h"

namespace {

// Base64 digit values; 64 marks a byte that is no digit.
struct Base64Table {
  uint8_t Value[256];
  constexpr Base64Table() : Value() {
    for (int i = 0; i < 256; ++i) Value[i] = 64;
    const char *digits = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    for (int i = 0; i < 64; ++i) Value[static_cast<unsigned char>(digits[i])] = static_cast<uint8_t>(i);
  }
};
constexpr Base64Table kBase64;

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

bool IsBlank(char c) { return c == ' ' || c == '\t'; }
bool IsSpace(char c) { return IsBlank(c) || c == '\r' || c == '\n'; }

// The byte of "=XX" at text[at] (the "="), or -1.
int QpEscape(std::string_view text, size_t at) {
  if (at + 2 >= text.size()) return -1;
  int hi = HexValue(text[at + 1]), lo = HexValue(text[at + 2]);
  return hi < 0 || lo < 0 ? -1 : hi * 16 + lo;
}

// Decodes quoted-printable text that holds no line end.
void DecodeQpRun(std::string_view text, std::string *out) {
  size_t pos = 0;
  while (pos < text.size()) {
    size_t eq = text.find('=', pos);
    if (eq == std::string_view::npos) eq = text.size();
    out->append(text.substr(pos, eq - pos));
    if (eq == text.size()) break;
    int byte = QpEscape(text, eq);
    if (byte < 0) {
      out->push_back('=');
      pos = eq + 1;
    } else {
      out->push_back(static_cast<char>(byte));
      pos = eq + 3;
    }
  }
}

// One quoted-printable line: its content and its line end ("" for none).
// White space at the end of a line is padding a transport may have added;
// an "=" at its end joins it to the next line.
void DecodeQpLine(std::string_view content, std::string_view lineEnd, std::string *out) {
  while (!content.empty() && IsBlank(content.back())) content.remove_suffix(1);
  if (!content.empty() && content.back() == '=') {
    DecodeQpRun(content.substr(0, content.size() - 1), out);
    return;
  }
  DecodeQpRun(content, out);
  out->append(lineEnd);
}

// Decodes the text of a B encoded word; false when it holds a byte that is
// no base64 digit or padding.
bool DecodeWordBase64(std::string_view text, std::string *out) {
  unsigned bits = 0;
  int count = 0;
  for (char c : text) {
    if (c == '=') continue;
    uint8_t v = kBase64.Value[static_cast<unsigned char>(c)];
    if (v == 64) return false;
    bits = (bits << 6) | v;
    count += 6;
    if (count >= 8) {
      count -= 8;
      out->push_back(static_cast<char>((bits >> count) & 0xFF));
    }
  }
  return true;
}

void DecodeWordQ(std::string_view text, std::string *out) {
  for (size_t i = 0; i < text.size(); ++i) {
    int byte = text[i] == '=' ? QpEscape(text, i) : -1;
    if (byte >= 0) {
      out->push_back(static_cast<char>(byte));
      i += 2;
    } else {
      out->push_back(text[i] == '_' ? ' ' : text[i]);
    }
  }
}

struct EncodedWord {
  std::string_view Charset;
  std::string Bytes;       // the decoded octets, still in Charset
  size_t End = 0;          // behind the closing "?="
};

// The encoded word starting at value[at] ("=?"), if it is one.
bool ParseEncodedWord(std::string_view value, size_t at, EncodedWord *word) {
  size_t q1 = value.find('?', at + 2);
  if (q1 == std::string_view::npos || q1 == at + 2 || q1 + 3 >= value.size()) return false;
  std::string_view charset = value.substr(at + 2, q1 - at - 2);
  for (char c : charset)
    if (IsSpace(c) || c == '=' || c == '"') return false;
  char encoding = UpperAscii(value[q1 + 1]);
  if ((encoding != 'B' && encoding != 'Q') || value[q1 + 2] != '?') return false;
  size_t textStart = q1 + 3;
  size_t q2 = value.find('?', textStart);
  if (q2 == std::string_view::npos || q2 + 1 >= value.size() || value[q2 + 1] != '=') return false;
  std::string_view text = value.substr(textStart, q2 - textStart);
  for (char c : text)
    if (IsSpace(c)) return false;
  // RFC 2231 lets a language follow the charset: "utf-8*en".
  word->Charset = charset.substr(0, charset.find('*'));
  word->Bytes.clear();
  if (encoding == 'B') {
    if (!DecodeWordBase64(text, &word->Bytes)) return false;
  } else {
    DecodeWordQ(text, &word->Bytes);
  }
  word->End = q2 + 2;
  return true;
}

bool AllSpace(std::string_view text) {
  for (char c : text)
    if (!IsSpace(c)) return false;
  return true;
}

}  // namespace

MimeEncoding MimeEncodingOf(std::string_view token) {
  if (token.empty() || EqualsNoCase(token, "7bit") || EqualsNoCase(token, "8bit") ||
      EqualsNoCase(token, "binary"))
    return MimeEncoding::Identity;
  if (EqualsNoCase(token, "base64")) return MimeEncoding::Base64;
  if (EqualsNoCase(token, "quoted-printable")) return MimeEncoding::QuotedPrintable;
  return MimeEncoding::Unknown;
}

void MimeTransferDecoder::Feed(std::string_view input, std::string *out) {
  switch (encoding_) {
    case MimeEncoding::Base64: FeedBase64(input, out); break;
    case MimeEncoding::QuotedPrintable: DecodeQpLines(input, false, out); break;
    default: out->append(input); break;
  }
}

void MimeTransferDecoder::Finish(std::string *out) {
  if (encoding_ == MimeEncoding::QuotedPrintable) DecodeQpLines({}, true, out);
  bits_ = 0;
  bitCount_ = 0;
}

// Bytes that are no base64 digit (line ends, spaces, junk) are skipped; a
// padding "=" ends a quantum, so base64 pieces glued together still decode.
void MimeTransferDecoder::FeedBase64(std::string_view input, std::string *out) {
  for (char c : input) {
    if (c == '=') {
      bits_ = 0;
      bitCount_ = 0;
      continue;
    }
    uint8_t v = kBase64.Value[static_cast<unsigned char>(c)];
    if (v == 64) continue;
    bits_ = ((bits_ << 6) | v) & 0xFFFFFF;
    bitCount_ += 6;
    if (bitCount_ >= 8) {
      bitCount_ -= 8;
      out->push_back(static_cast<char>((bits_ >> bitCount_) & 0xFF));
    }
  }
}

void MimeTransferDecoder::DecodeQpLines(std::string_view input, bool final, std::string *out) {
  std::string joined;
  std::string_view text = input;
  if (!carry_.empty()) {
    joined = carry_ + std::string(input);
    carry_.clear();
    text = joined;
  }
  size_t pos = 0;
  for (size_t lf = text.find('\n'); lf != std::string_view::npos; lf = text.find('\n', pos)) {
    size_t contentEnd = lf > pos && text[lf - 1] == '\r' ? lf - 1 : lf;
    DecodeQpLine(text.substr(pos, contentEnd - pos), text.substr(contentEnd, lf + 1 - contentEnd), out);
    pos = lf + 1;
  }
  std::string_view rest = text.substr(pos);
  if (final) {
    DecodeQpLine(rest, {}, out);
    return;
  }
  // Of an unfinished line, what cannot change meaning is decoded now: all
  // but trailing white space and an "=" escape that may still be cut.
  size_t cut = rest.size();
  while (cut > 0 && IsSpace(rest[cut - 1])) --cut;
  for (size_t back = 1; back <= 2 && back <= cut; ++back)
    if (rest[cut - back] == '=') {
      cut -= back;
      break;
    }
  DecodeQpRun(rest.substr(0, cut), out);
  carry_.assign(rest.substr(cut));
}

void MimeDecodeTransfer(MimeEncoding encoding, std::string_view input, std::string *out) {
  out->clear();
  MimeTransferDecoder decoder(encoding);
  decoder.Feed(input, out);
  decoder.Finish(out);
}

std::string MimeDecodeWords(std::string_view value, size_t maxOut) {
  std::string out;
  std::string pendingCharset, pendingBytes;
  auto flush = [&] {
    if (pendingBytes.empty()) return;
    Utf8Decoder decoder;
    decoder.Open(pendingCharset);
    decoder.Convert(pendingBytes, true, maxOut, &out);
    pendingBytes.clear();
  };
  size_t pos = 0;
  bool afterWord = false;
  EncodedWord word;
  while (pos < value.size() && out.size() < maxOut) {
    size_t at = value.find("=?", pos);
    if (at == std::string_view::npos || !ParseEncodedWord(value, at, &word)) {
      size_t upTo = at == std::string_view::npos ? value.size() : at + 2;
      flush();
      AppendValidUtf8(value.substr(pos, upTo - pos), maxOut, &out);
      pos = upTo;
      afterWord = false;
      continue;
    }
    std::string_view between = value.substr(pos, at - pos);
    bool sameRun = afterWord && AllSpace(between);
    if (!sameRun || !EqualsNoCase(word.Charset, pendingCharset)) flush();
    if (!sameRun) AppendValidUtf8(between, maxOut, &out);
    pendingCharset.assign(word.Charset);
    pendingBytes += word.Bytes;
    pos = word.End;
    afterWord = true;
  }
  flush();
  return out;
}

std::string MimePercentDecode(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    int hi = text[i] == '%' && i + 2 < text.size() ? HexValue(text[i + 1]) : -1;
    int lo = hi >= 0 ? HexValue(text[i + 2]) : -1;
    if (lo >= 0) {
      out.push_back(static_cast<char>(hi * 16 + lo));
      i += 2;
    } else {
      out.push_back(text[i]);
    }
  }
  return out;
}

std::string MimeEncodeWords(std::string_view value, size_t nameLength, std::string_view fold) {
  std::string text;
  AppendValidUtf8(value, value.size() * 3, &text);
  bool ascii = true;
  for (char &c : text) {
    unsigned char u = static_cast<unsigned char>(c);
    if (u < 0x20 || u == 0x7f) c = ' ';
    ascii = ascii && u < 0x80;
  }
  if (ascii) return text;
  constexpr std::string_view kOpen = "=?utf-8?B?", kClose = "?=";
  std::string out;
  std::string_view rest = text;
  // The first line holds the name and ": "; the others a blank.
  size_t used = nameLength + 2;
  while (!rest.empty()) {
    size_t room = std::min(kMaxEncodedWord, kMaxEncodedLine - std::min(used, kMaxEncodedLine - 20));
    size_t bytes = (room - kOpen.size() - kClose.size()) / 4 * 3;
    std::string_view piece = rest.substr(0, Utf8WholeLength(rest.substr(0, bytes)));
    if (!out.empty()) out += fold;
    out.append(kOpen).append(Base64Encode(piece)).append(kClose);
    rest.remove_prefix(piece.size());
    used = 1;
  }
  return out;
}
