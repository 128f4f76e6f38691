// imapparseutf7: see imapparseutf7.h.
#include "ZELIMAP/imapparseutf7.h"

#include <cstdint>

namespace {

// RFC 3501 5.1.3: base64 with "," for "/".
constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+,";

int Sextet(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == ',') return 63;
  return -1;
}

bool IsDirect(uint32_t c) { return c >= 0x20 && c <= 0x7E; }
bool IsControl(uint32_t c) { return c < 0x20 || c == 0x7F; }

// The next code point of UTF-8 text at `at` (advanced past it); -1 when
// the bytes there are not UTF-8.
long NextCodePoint(std::string_view in, size_t &at) {
  unsigned char lead = static_cast<unsigned char>(in[at]);
  if (lead < 0x80) {
    ++at;
    return lead;
  }
  size_t more;
  uint32_t c, least;
  if (lead >= 0xC2 && lead <= 0xDF) {
    more = 1, c = lead & 0x1F, least = 0x80;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    more = 2, c = lead & 0x0F, least = 0x800;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    more = 3, c = lead & 0x07, least = 0x10000;
  } else {
    return -1;
  }
  if (in.size() - at <= more) return -1;
  for (size_t i = 1; i <= more; ++i) {
    unsigned char b = static_cast<unsigned char>(in[at + i]);
    if ((b & 0xC0) != 0x80) return -1;
    c = (c << 6) | (b & 0x3F);
  }
  if (c < least || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return -1;
  at += more + 1;
  return static_cast<long>(c);
}

void AppendUtf8(std::string &out, uint32_t c) {
  if (c < 0x80) {
    out.push_back(static_cast<char>(c));
  } else if (c < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (c >> 6)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else if (c < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (c >> 12)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (c >> 18)));
    out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  }
}

// One shift run's base64 (between "&" and "-") into UTF-8: whole UTF-16
// units, surrogates paired, nothing that could have stood for itself.
bool DecodeRun(std::string_view run, std::string &out) {
  uint32_t bits = 0, high = 0;
  int have = 0;
  for (char ch : run) {
    int v = Sextet(ch);
    if (v < 0) return false;
    bits = ((bits << 6) | static_cast<uint32_t>(v)) & 0xFFFFFF;
    have += 6;
    if (have < 16) continue;
    have -= 16;
    uint32_t unit = (bits >> have) & 0xFFFF;
    if (high != 0) {
      if (unit < 0xDC00 || unit > 0xDFFF) return false;
      AppendUtf8(out, 0x10000 + ((high - 0xD800) << 10) + (unit - 0xDC00));
      high = 0;
    } else if (unit >= 0xD800 && unit <= 0xDBFF) {
      high = unit;
    } else if (unit >= 0xDC00 && unit <= 0xDFFF) {
      return false;
    } else if (unit < 0x80) {
      return false;  // ASCII has its direct form (or none: a control)
    } else {
      AppendUtf8(out, unit);
    }
  }
  // What is left must be padding: fewer than six bits, all zero.
  return high == 0 && have < 6 && (bits & ((1u << have) - 1)) == 0;
}

void FlushRun(std::string &out, uint32_t &bits, int &have) {
  if (have > 0) out.push_back(kAlphabet[(bits << (6 - have)) & 63]);
  out.push_back('-');
  bits = 0;
  have = 0;
}

void PushUnit(std::string &out, uint32_t unit, uint32_t &bits, int &have) {
  bits = ((bits << 16) | unit) & 0xFFFFFF;
  have += 16;
  while (have >= 6) {
    have -= 6;
    out.push_back(kAlphabet[(bits >> have) & 63]);
  }
}

}  // namespace

bool ModifiedUtf7ToUtf8(std::string_view in, std::string &out) {
  out.clear();
  bool runJustEnded = false;
  for (size_t at = 0; at < in.size();) {
    char c = in[at];
    if (!IsDirect(static_cast<unsigned char>(c))) return out.clear(), false;
    if (c != '&') {
      out.push_back(c);
      ++at;
      runJustEnded = false;
      continue;
    }
    size_t end = in.find('-', at + 1);
    if (end == std::string_view::npos) return out.clear(), false;
    if (end == at + 1) {
      out.push_back('&');
      runJustEnded = false;
    } else {
      // Two runs in a row would have been one.
      if (runJustEnded || !DecodeRun(in.substr(at + 1, end - at - 1), out))
        return out.clear(), false;
      runJustEnded = true;
    }
    at = end + 1;
  }
  return true;
}

bool Utf8ToModifiedUtf7(std::string_view in, std::string &out) {
  out.clear();
  uint32_t bits = 0;
  int have = 0;
  bool inRun = false;
  for (size_t at = 0; at < in.size();) {
    long c = NextCodePoint(in, at);
    if (c < 0 || IsControl(static_cast<uint32_t>(c))) return out.clear(), false;
    uint32_t cp = static_cast<uint32_t>(c);
    if (IsDirect(cp)) {
      if (inRun) FlushRun(out, bits, have);
      inRun = false;
      out.push_back(static_cast<char>(cp));
      if (cp == '&') out.push_back('-');
      continue;
    }
    if (!inRun) out.push_back('&');
    inRun = true;
    if (cp >= 0x10000) {
      PushUnit(out, 0xD800 + ((cp - 0x10000) >> 10), bits, have);
      PushUnit(out, 0xDC00 + ((cp - 0x10000) & 0x3FF), bits, have);
    } else {
      PushUnit(out, cp, bits, have);
    }
  }
  if (inRun) FlushRun(out, bits, have);
  return true;
}

bool IsUtf8(std::string_view in) {
  for (size_t at = 0; at < in.size();) {
    // ASCII runs are the common case: skip them a byte at a time cheaply.
    if (static_cast<unsigned char>(in[at]) < 0x80) {
      ++at;
      continue;
    }
    if (NextCodePoint(in, at) < 0) return false;
  }
  return true;
}

bool HasAsciiControl(std::string_view in) {
  for (char c : in)
    if (IsControl(static_cast<unsigned char>(c))) return true;
  return false;
}
