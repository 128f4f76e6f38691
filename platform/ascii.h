// ascii: case folding of ASCII letters, the one copy for every layer, and
// the test for 8-bit bytes.
//
// Mail names (domains, local parts, command words, header names, file
// suffixes) compare without regard to the case of ASCII letters only; bytes
// above 127 and every other byte compare as they are, whatever the locale.
// HexText writes bytes as lower-case hex digits (digests shown to people).
// Header-only so that the lowest layers (platform, zelbase) use it too.
// Pure functions; thread-safe. Views may hold any bytes, NUL included.
#pragma once

#include <string>
#include <string_view>

inline char LowerAscii(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }
inline char UpperAscii(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

inline void LowerAsciiInPlace(std::string &text) {
  for (char &c : text) c = LowerAscii(c);
}
inline void UpperAsciiInPlace(std::string &text) {
  for (char &c : text) c = UpperAscii(c);
}
inline std::string LowerAsciiCopy(std::string_view text) {
  std::string out(text);
  LowerAsciiInPlace(out);
  return out;
}

// A byte above 127 anywhere in text (8-bit text, in SMTP's terms).
inline bool HasEightBitByte(std::string_view text) {
  for (char c : text)
    if (static_cast<unsigned char>(c) >= 0x80) return true;
  return false;
}

inline bool EqualsNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (LowerAscii(a[i]) != LowerAscii(b[i])) return false;
  return true;
}
inline bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() && EqualsNoCase(text.substr(0, prefix.size()), prefix);
}
inline bool EndsWithNoCase(std::string_view text, std::string_view suffix) {
  return text.size() >= suffix.size() && EqualsNoCase(text.substr(text.size() - suffix.size()), suffix);
}

inline std::string HexText(std::string_view bytes) {
  static const char kHex[] = "0123456789abcdef";
  std::string text;
  for (unsigned char c : bytes) {
    text += kHex[c >> 4];
    text += kHex[c & 0x0F];
  }
  return text;
}
