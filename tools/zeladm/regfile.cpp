// regfile: see regfile.h.
#include "tools/zeladm/regfile.h"

#include "platform/ascii.h"

#include <algorithm>
#include <cstdio>

namespace {

constexpr std::string_view kHeader5 = "Windows Registry Editor Version 5.00";
constexpr std::string_view kHeader4 = "REGEDIT4";
constexpr std::string_view kRootName = "HKEY_LOCAL_MACHINE";
constexpr std::string_view kRootShort = "HKLM";
// regedit wraps hex lists before column 80; so do we.
constexpr size_t kHexLineWidth = 76;
// Input quoted in an error message is cut to this many bytes.
constexpr size_t kMaxExcerpt = 40;
// A dword: is at most 8 hex digits.
constexpr size_t kMaxDwordDigits = 8;
// hex(N): the type number is a 32-bit number.
constexpr size_t kMaxTypeDigits = 8;
// A hex list of a UTF-16 string may hold twice the bytes of the stored value.
constexpr size_t kMaxHexListBytes = 2 * kMaxRegValueSize;

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

void TrimLeft(std::string_view &s) {
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
}

void TrimRight(std::string_view &s) {
  while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
}

bool AllBlank(std::string_view s) { return std::all_of(s.begin(), s.end(), IsBlank); }

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Reads up to max hex digits; n is how many there were (max + 1 means more).
uint32_t HexNumber(std::string_view s, size_t max, size_t &n) {
  uint32_t v = 0;
  for (n = 0; n < s.size() && n <= max && HexDigit(s[n]) >= 0; ++n)
    v = (v << 4) | static_cast<uint32_t>(HexDigit(s[n]));
  return v;
}

// Quotes a piece of input for a message: cut, control bytes escaped.
std::string Excerpt(std::string_view s) {
  std::string out = "\"";
  for (unsigned char c : s.substr(0, kMaxExcerpt)) {
    char buf[8];
    if (c >= 0x20 && c < 0x7F)
      out.push_back(static_cast<char>(c));
    else
      out.append(buf, std::snprintf(buf, sizeof buf, "\\x%02X", c));
  }
  if (s.size() > kMaxExcerpt) out += "...";
  return out + "\"";
}

bool IsStringType(DWORD type) {
  return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ;
}

void AppendUtf8(uint32_t cp, std::string &out) {
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

void AppendUtf16(uint32_t unit, std::string &out) {
  out.push_back(static_cast<char>(unit & 0xFF));
  out.push_back(static_cast<char>(unit >> 8));
}

// Decodes one strict UTF-8 sequence at s (no overlongs, no surrogates, no
// code point above U+10FFFF); 0 when s does not start with one.
size_t DecodeUtf8(std::string_view s, uint32_t &cp) {
  auto b = [&](size_t i) { return static_cast<unsigned char>(s[i]); };
  auto cont = [&](size_t i) { return i < s.size() && (b(i) & 0xC0) == 0x80; };
  unsigned char c = b(0);
  if (c < 0x80) return cp = c, 1;
  if (c >= 0xC2 && c <= 0xDF && cont(1)) return cp = ((c & 0x1Fu) << 6) | (b(1) & 0x3F), 2;
  if (c >= 0xE0 && c <= 0xEF && cont(1) && cont(2)) {
    cp = ((c & 0x0Fu) << 12) | ((b(1) & 0x3Fu) << 6) | (b(2) & 0x3F);
    return cp >= 0x800 && (cp < 0xD800 || cp > 0xDFFF) ? 3 : 0;
  }
  if (c >= 0xF0 && c <= 0xF4 && cont(1) && cont(2) && cont(3)) {
    cp = ((c & 0x07u) << 18) | ((b(1) & 0x3Fu) << 12) | ((b(2) & 0x3Fu) << 6) | (b(3) & 0x3F);
    return cp >= 0x10000 && cp <= 0x10FFFF ? 4 : 0;
  }
  return 0;
}

// ---- Reading.

class Parser {
 public:
  Parser(std::string_view text, RegFile &out, RegFileError &err)
      : text_(text), out_(out), err_(err) {}
  bool Run();

 private:
  static constexpr size_t kNoKey = static_cast<size_t>(-1);

  bool Fail(std::string message) {
    if (!failed_) err_ = RegFileError{line_, std::move(message)};
    failed_ = true;
    return false;
  }
  bool NextLine(std::string_view &line);
  bool ReadHeader();
  bool ParseSection(std::string_view line);
  bool ParseValue(std::string_view line);
  bool ParseQuoted(std::string_view &rest, size_t max, std::string &out, const char *what);
  bool ParseData(std::string_view &rest, RegFileOp &op);
  bool ParseDword(std::string_view &rest, RegFileOp &op);
  bool ParseHex(std::string_view &rest, RegFileOp &op);
  bool ParseHexList(std::string_view &rest, std::string &bytes);
  bool ConvertHexData(RegFileOp &op);
  bool FinishLine(std::string_view rest);

  std::string_view text_;
  RegFile &out_;
  RegFileError &err_;
  size_t pos_ = 0;
  size_t line_ = 0;
  bool failed_ = false;
  bool unicode_ = false;     // version 5.00: string hex data is UTF-16LE
  size_t current_ = kNoKey;  // the section values belong to
  bool deleted_ = false;     // that section is a "[-KEY]"
};

// The next physical line without its line end; false at the end of the
// text or for an overlong line (which fails the parse).
bool Parser::NextLine(std::string_view &line) {
  if (failed_ || pos_ >= text_.size()) return false;
  size_t nl = text_.find('\n', pos_);
  size_t end = nl == std::string_view::npos ? text_.size() : nl;
  line = text_.substr(pos_, end - pos_);
  pos_ = nl == std::string_view::npos ? text_.size() : nl + 1;
  ++line_;
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  if (line.size() > kMaxRegFileLine)
    return Fail("line longer than " + std::to_string(kMaxRegFileLine) + " bytes");
  return true;
}

bool Parser::ReadHeader() {
  std::string_view line;
  while (NextLine(line)) {
    TrimRight(line);
    if (line.empty()) continue;
    if (line == kHeader5 || line == kHeader4) {
      unicode_ = line == kHeader5;
      return true;
    }
    break;
  }
  if (line_ == 0) return Fail("the file is empty");
  return Fail("the file must start with \"" + std::string(kHeader5) + "\" or \"" +
              std::string(kHeader4) + "\"");
}

bool Parser::Run() {
  if (!ReadHeader()) return false;
  std::string_view line;
  while (NextLine(line)) {
    TrimLeft(line);
    if (line.empty() || line.front() == ';') continue;
    bool ok;
    if (line.front() == '[')
      ok = ParseSection(line);
    else if (line.front() == '"' || line.front() == '@')
      ok = ParseValue(line);
    else
      ok = Fail("unexpected line " + Excerpt(line));
    if (!ok) return false;
  }
  return !failed_;
}

bool Parser::ParseSection(std::string_view line) {
  TrimRight(line);
  if (line.size() < 2 || line.back() != ']') return Fail("a key line must end with \"]\"");
  std::string_view inner = line.substr(1, line.size() - 2);
  bool del = !inner.empty() && inner.front() == '-';
  if (del) inner.remove_prefix(1);
  std::string path, error;
  if (!ParseRegRootPath(inner, path, error)) return Fail(error);
  if (del && path.empty()) return Fail("HKEY_LOCAL_MACHINE itself cannot be deleted");
  out_.keys.push_back(std::move(path));
  current_ = out_.keys.size() - 1;
  deleted_ = del;
  RegFileOp op;
  op.kind = del ? RegFileOpKind::kDeleteKey : RegFileOpKind::kCreateKey;
  op.key = current_;
  op.line = line_;
  out_.ops.push_back(std::move(op));
  return true;
}

bool Parser::ParseValue(std::string_view line) {
  RegFileOp op;
  op.line = line_;
  std::string_view rest = line;
  if (rest.front() == '@')
    rest.remove_prefix(1);
  else if (!ParseQuoted(rest, kMaxRegValueNameLength, op.name, "value name"))
    return false;
  if (op.name.find_first_of(std::string_view("\0\r", 2)) != std::string::npos)
    return Fail("a value name cannot hold a NUL byte or a carriage return");
  TrimLeft(rest);
  if (rest.empty() || rest.front() != '=') return Fail("expected \"=\" after the value name");
  rest.remove_prefix(1);
  TrimLeft(rest);
  if (current_ == kNoKey) return Fail("value line before the first [key] line");
  if (deleted_) return Fail("value line in the section of a deleted key");
  if (out_.keys[current_].empty()) return Fail("values cannot be set on HKEY_LOCAL_MACHINE itself");
  op.key = current_;
  if (!ParseData(rest, op) || !FinishLine(rest)) return false;
  out_.ops.push_back(std::move(op));
  return true;
}

// rest starts at the opening quote; only \\ and \" are escapes.
bool Parser::ParseQuoted(std::string_view &rest, size_t max, std::string &out, const char *what) {
  rest.remove_prefix(1);
  while (true) {
    if (rest.empty()) return Fail(std::string("unterminated ") + what + " (missing closing quote)");
    char c = rest.front();
    rest.remove_prefix(1);
    if (c == '"') return true;
    if (c == '\\') {
      if (rest.empty() || (rest.front() != '\\' && rest.front() != '"'))
        return Fail(std::string("bad escape in ") + what +
                    " (write \\\\ for a backslash, \\\" for a quote)");
      c = rest.front();
      rest.remove_prefix(1);
    }
    if (out.size() >= max)
      return Fail(std::string(what) + " longer than " + std::to_string(max) + " bytes");
    out.push_back(c);
  }
}

bool Parser::ParseData(std::string_view &rest, RegFileOp &op) {
  if (!rest.empty() && rest.front() == '-') {
    rest.remove_prefix(1);
    op.kind = RegFileOpKind::kDeleteValue;
    return true;
  }
  op.kind = RegFileOpKind::kSetValue;
  if (!rest.empty() && rest.front() == '"') {
    op.type = REG_SZ;
    if (!ParseQuoted(rest, kMaxRegValueSize - 1, op.data, "string")) return false;
    op.data.push_back('\0');
    return true;
  }
  if (StartsWithNoCase(rest, "dword:")) return ParseDword(rest, op);
  if (StartsWithNoCase(rest, "hex")) return ParseHex(rest, op);
  return Fail("unknown value data " + Excerpt(rest) + " (expected \"text\", dword:, hex: or -)");
}

bool Parser::ParseDword(std::string_view &rest, RegFileOp &op) {
  rest.remove_prefix(6);
  size_t n = 0;
  uint32_t v = HexNumber(rest, kMaxDwordDigits, n);
  if (n == 0 || n > kMaxDwordDigits) return Fail("dword: needs 1 to 8 hex digits");
  rest.remove_prefix(n);
  op.type = REG_DWORD;
  op.data.clear();
  for (int i = 0; i < 4; ++i) op.data.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
  return true;
}

bool Parser::ParseHex(std::string_view &rest, RegFileOp &op) {
  rest.remove_prefix(3);
  op.type = REG_BINARY;
  if (!rest.empty() && rest.front() == '(') {
    size_t n = 0;
    op.type = HexNumber(rest.substr(1), kMaxTypeDigits, n);
    if (n == 0 || n > kMaxTypeDigits || rest.size() < n + 2 || rest[n + 1] != ')')
      return Fail("bad type in hex(N): N must be 1 to 8 hex digits");
    rest.remove_prefix(n + 2);
  }
  if (rest.empty() || rest.front() != ':') return Fail("expected \":\" after hex");
  rest.remove_prefix(1);
  return ParseHexList(rest, op.data) && ConvertHexData(op);
}

// Comma-separated bytes of one or two hex digits; a line ending in "\"
// continues on the next one.
bool Parser::ParseHexList(std::string_view &rest, std::string &bytes) {
  while (true) {
    TrimLeft(rest);
    if (rest.empty() || rest.front() == ';') return true;
    if (rest.front() == '\\' && AllBlank(rest.substr(1))) {
      if (!NextLine(rest)) return Fail("the file ends inside a continued hex list");
      continue;
    }
    std::string_view token = rest.substr(0, rest.find_first_of(", \t\\;"));
    size_t n = 0;
    uint32_t v = HexNumber(token, 2, n);
    if (n == 0 || n > 2 || n != token.size())
      return Fail("bad hex byte " + Excerpt(token.substr(0, 8)));
    if (bytes.size() >= kMaxHexListBytes)
      return Fail("value larger than " + std::to_string(kMaxRegValueSize) + " bytes");
    bytes.push_back(static_cast<char>(v));
    rest.remove_prefix(n);
    TrimLeft(rest);
    if (!rest.empty() && rest.front() == ',')
      rest.remove_prefix(1);
    else if (!rest.empty() && rest.front() != ';' && rest.front() != '\\')
      return Fail("expected \",\" between hex bytes, found " + Excerpt(rest.substr(0, 8)));
  }
}

bool Parser::ConvertHexData(RegFileOp &op) {
  if (unicode_ && IsStringType(op.type)) {
    std::string text;
    if (!Utf16LeToUtf8(op.data, text))
      return Fail("the hex data of a string is not UTF-16LE text (odd length or broken surrogate)");
    op.data = std::move(text);
  }
  if (op.type == REG_DWORD && op.data.size() != sizeof(DWORD))
    return Fail("a hex(4) value (dword) must hold exactly 4 bytes");
  if (op.data.size() > kMaxRegValueSize)
    return Fail("value larger than " + std::to_string(kMaxRegValueSize) + " bytes");
  return true;
}

bool Parser::FinishLine(std::string_view rest) {
  TrimLeft(rest);
  if (rest.empty() || rest.front() == ';') return true;
  return Fail("unexpected text after the value: " + Excerpt(rest));
}

// ---- Writing.

std::string QuoteName(std::string_view s) {
  std::string out = "\"";
  for (char c : s) {
    if (c == '\\' || c == '"') out.push_back('\\');
    out.push_back(c);
  }
  return out + "\"";
}

bool HasLineBreak(std::string_view s) { return s.find_first_of("\r\n") != std::string_view::npos; }

// A REG_SZ that the quoted form holds exactly: one final NUL, no other, and
// no line break.
bool IsPlainText(std::string_view data) {
  if (data.empty() || data.back() != '\0') return false;
  data.remove_suffix(1);
  return data.find('\0') == std::string_view::npos && !HasLineBreak(data);
}

void AppendHexList(std::string_view bytes, std::string &out, size_t column) {
  static const char kDigits[] = "0123456789abcdef";
  for (size_t i = 0; i < bytes.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(bytes[i]);
    out.push_back(kDigits[c >> 4]);
    out.push_back(kDigits[c & 0xF]);
    column += 2;
    if (i + 1 == bytes.size()) break;
    out.push_back(',');
    if (++column > kHexLineWidth) {
      out += "\\\n  ";
      column = 2;
    }
  }
}

void AppendValue(const RegFileOp &op, std::string &out) {
  size_t lineStart = out.size();
  out += op.name.empty() ? std::string("@") : QuoteName(op.name);
  out += '=';
  if (op.kind == RegFileOpKind::kDeleteValue) {
    out += "-\n";
    return;
  }
  std::string_view bytes = op.data;
  std::string utf16;
  if (op.type == REG_SZ && IsPlainText(bytes)) {
    out += QuoteName(bytes.substr(0, bytes.size() - 1)) + "\n";
    return;
  }
  if (op.type == REG_DWORD && bytes.size() == sizeof(DWORD)) {
    DWORD v = 0;
    for (int i = 3; i >= 0; --i) v = (v << 8) | static_cast<unsigned char>(bytes[i]);
    char buf[24];
    out.append(buf, std::snprintf(buf, sizeof buf, "dword:%08x\n", v));
    return;
  }
  if (IsStringType(op.type)) {
    utf16 = Utf8ToUtf16Le(bytes);
    bytes = utf16;
  }
  char buf[24];
  if (op.type == REG_BINARY)
    out += "hex:";
  else
    out.append(buf, std::snprintf(buf, sizeof buf, "hex(%x):", op.type));
  AppendHexList(bytes, out, out.size() - lineStart);
  out += '\n';
}

}  // namespace

bool ParseRegFile(std::string_view text, size_t maxSize, RegFile &out, RegFileError &err) {
  out = RegFile{};
  err = RegFileError{};
  size_t limit = std::min(maxSize, kMaxRegFileSize);
  if (text.size() > limit) {
    err.message = "the file is larger than " + std::to_string(limit) + " bytes";
    return false;
  }
  std::string decoded;
  if (text.substr(0, 2) == "\xFF\xFE") {
    if (!Utf16LeToUtf8(text.substr(2), decoded)) {
      err.line = static_cast<size_t>(std::count(decoded.begin(), decoded.end(), '\n')) + 1;
      err.message = "the file is not valid UTF-16LE text";
      return false;
    }
    text = decoded;
  } else if (text.substr(0, 2) == "\xFE\xFF") {
    err.message = "UTF-16 big-endian files are not supported; save the file as UTF-16LE or UTF-8";
    return false;
  } else if (text.substr(0, 3) == "\xEF\xBB\xBF") {
    text.remove_prefix(3);
  }
  return Parser(text, out, err).Run();
}

bool FormatRegFile(const RegFile &file, std::string &out, RegFileError &err) {
  err = RegFileError{};
  out.assign(kHeader5);
  out += '\n';
  const std::string *section = nullptr;  // the open section, if values may follow
  for (const RegFileOp &op : file.ops) {
    if (op.key >= file.keys.size()) {
      err.message = "operation refers to a missing key";
      return false;
    }
    const std::string &path = file.keys[op.key];
    bool keyOp = op.kind == RegFileOpKind::kCreateKey || op.kind == RegFileOpKind::kDeleteKey;
    if (HasLineBreak(path) || HasLineBreak(op.name)) {
      err.message = "cannot export " + Excerpt(FullRegPath(path)) + " " + Excerpt(op.name) +
                    ": the name holds a line break";
      return false;
    }
    if (keyOp || section == nullptr || *section != path) {
      bool del = op.kind == RegFileOpKind::kDeleteKey;
      out += "\n[" + std::string(del ? "-" : "") + FullRegPath(path) + "]\n";
      section = del ? nullptr : &path;
    }
    if (!keyOp) AppendValue(op, out);
  }
  return true;
}

bool ParseRegRootPath(std::string_view full, std::string &path, std::string &error) {
  size_t pos = full.find('\\');
  std::string_view root = full.substr(0, pos);
  if (!EqualsNoCase(root, kRootName) && !EqualsNoCase(root, kRootShort)) {
    error = "only keys under HKEY_LOCAL_MACHINE (or HKLM) are supported, not " + Excerpt(full);
    return false;
  }
  std::string_view rest = pos == std::string_view::npos ? std::string_view() : full.substr(pos + 1);
  while (!rest.empty() && rest.back() == '\\') rest.remove_suffix(1);
  size_t depth = 0;
  for (std::string_view p = rest; !p.empty();) {
    size_t e = p.find('\\');
    std::string_view part = p.substr(0, e);
    if (part.empty())
      error = "empty key name (\\\\) in " + Excerpt(full);
    else if (part.size() > kMaxRegKeyNameLength)
      error = "key name longer than 255 bytes in " + Excerpt(full);
    else if (part.find_first_of(std::string_view("\0\r\n", 3)) != std::string_view::npos)
      error = "key name with a NUL byte or line break in " + Excerpt(full);
    else if (++depth > kMaxRegKeyDepth)
      error = "key path deeper than 512 levels";
    if (!error.empty()) return false;
    p.remove_prefix(e == std::string_view::npos ? p.size() : e + 1);
  }
  path.assign(rest);
  return true;
}

std::string FullRegPath(std::string_view path) {
  std::string full(kRootName);
  if (!path.empty()) full.append("\\").append(path);
  return full;
}

std::string Utf8ToUtf16Le(std::string_view in) {
  std::string out;
  out.reserve(in.size() * 2);
  while (!in.empty()) {
    uint32_t cp = 0;
    size_t n = DecodeUtf8(in, cp);
    if (n == 0) {
      cp = 0xDC00 + static_cast<unsigned char>(in.front());  // a stray byte (>= 0x80)
      n = 1;
    }
    in.remove_prefix(n);
    if (cp < 0x10000) {
      AppendUtf16(cp, out);
    } else {
      AppendUtf16(0xD800 + ((cp - 0x10000) >> 10), out);
      AppendUtf16(0xDC00 + ((cp - 0x10000) & 0x3FF), out);
    }
  }
  return out;
}

bool Utf16LeToUtf8(std::string_view in, std::string &out) {
  out.clear();
  auto unit = [&](size_t i) {
    return static_cast<uint32_t>(static_cast<unsigned char>(in[i])) |
           static_cast<uint32_t>(static_cast<unsigned char>(in[i + 1])) << 8;
  };
  size_t i = 0;
  for (; i + 1 < in.size(); i += 2) {
    uint32_t u = unit(i);
    if (u >= 0xD800 && u <= 0xDBFF && i + 3 < in.size() && unit(i + 2) >= 0xDC00 &&
        unit(i + 2) <= 0xDFFF) {
      AppendUtf8(0x10000 + ((u - 0xD800) << 10) + (unit(i + 2) - 0xDC00), out);
      i += 2;
    } else if (u >= 0xDC80 && u <= 0xDCFF) {
      out.push_back(static_cast<char>(u - 0xDC00));
    } else if (u >= 0xD800 && u <= 0xDFFF) {
      return false;
    } else {
      AppendUtf8(u, out);
    }
  }
  return i == in.size();
}
