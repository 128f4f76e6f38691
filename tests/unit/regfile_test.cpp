// regedit files: every value form, escapes, continuations, UTF-16 data and
// files, deletions, errors with their line numbers, and export -> import.
#include "tools/zeladm/regfile.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using K = RegFileOpKind;

const std::string kV5 = "Windows Registry Editor Version 5.00\n\n";
const std::string kV4 = "REGEDIT4\n\n";

struct Op {
  K kind;
  std::string key, name;
  DWORD type;
  std::string data;
  bool operator==(const Op &) const = default;
};

std::ostream &operator<<(std::ostream &os, const Op &op) {
  os << static_cast<int>(op.kind) << " [" << op.key << "] \"" << op.name << "\" type " << op.type
     << " data";
  for (unsigned char c : op.data) os << ' ' << static_cast<int>(c);
  return os;
}

std::vector<Op> Flatten(const RegFile &f) {
  std::vector<Op> out;
  for (const RegFileOp &op : f.ops)
    out.push_back({op.kind, f.keys[op.key], op.name, op.type, op.data});
  return out;
}

Op Create(const std::string &key) { return {K::kCreateKey, key, "", REG_NONE, ""}; }
Op Set(const std::string &key, const std::string &name, DWORD type, const std::string &data) {
  return {K::kSetValue, key, name, type, data};
}
std::string S(const char *p, size_t n) { return std::string(p, n); }

struct GoodCase {
  const char *what;
  std::string text;
  std::vector<Op> want;
};

TEST(RegFileTest, ParsesEveryValueForm) {
  const GoodCase cases[] = {
      {"string with escapes",
       kV5 + "[HKEY_LOCAL_MACHINE\\A]\n\"a\\\\b\"=\"x\\\"y\\\\z\"\n",
       {Create("A"), Set("A", "a\\b", REG_SZ, S("x\"y\\z\0", 6))}},
      {"default value and empty string",
       kV5 + "[HKLM\\A]\n@=\"\"\n\"\"=\"d\"\n",
       {Create("A"), Set("A", "", REG_SZ, S("\0", 1)), Set("A", "", REG_SZ, S("d\0", 2))}},
      {"dword",
       kV5 + "[hklm\\A\\]\n\"d\"=dword:0000001F\n\"e\"=DWORD:1\n",
       {Create("A"), Set("A", "d", REG_DWORD, S("\x1f\0\0\0", 4)),
        Set("A", "e", REG_DWORD, S("\1\0\0\0", 4))}},
      {"binary, continued over lines, CRLF",
       "Windows Registry Editor Version 5.00\r\n\r\n[HKLM\\A]\r\n\"b\"=hex:01,02,\\\r\n  ff,\\\r\n "
       " 0\r\n",
       {Create("A"), Set("A", "b", REG_BINARY, S("\1\2\xff\0", 4))}},
      {"empty binary",
       kV5 + "[HKLM\\A]\n\"b\"=hex:\n",
       {Create("A"), Set("A", "b", REG_BINARY, "")}},
      {"expand_sz as UTF-16",
       kV5 + "[HKLM\\A]\n\"p\"=hex(2):25,00,41,00,25,00,e9,00,00,00\n",
       {Create("A"), Set("A", "p", REG_EXPAND_SZ, "%A%\xc3\xa9" + S("\0", 1))}},
      {"multi_sz as UTF-16",
       kV5 + "[HKLM\\A]\n\"m\"=hex(7):61,00,00,00,62,00,00,00,00,00\n",
       {Create("A"), Set("A", "m", REG_MULTI_SZ, S("a\0b\0\0", 5))}},
      {"REGEDIT4 keeps string bytes",
       kV4 + "[HKLM\\A]\n\"m\"=hex(7):61,00,62,00,00\n",
       {Create("A"), Set("A", "m", REG_MULTI_SZ, S("a\0b\0\0", 5))}},
      {"other type numbers",
       kV5 + "[HKLM\\A]\n\"q\"=hex(b):01,00,00,00,00,00,00,00\n\"d\"=hex(4):02,00,00,00\n",
       {Create("A"), Set("A", "q", 11, S("\1\0\0\0\0\0\0\0", 8)),
        Set("A", "d", REG_DWORD, S("\2\0\0\0", 4))}},
      {"deletions",
       kV5 + "[-HKLM\\A\\B]\n[HKLM\\A]\n\"x\"=-\n",
       {{K::kDeleteKey, "A\\B", "", REG_NONE, ""},
        Create("A"),
        {K::kDeleteValue, "A", "x", REG_NONE, ""}}},
      {"comments and blanks",
       "\n" + kV5 + "; top\n[HKLM\\A]\n  ; indented\n\"a\"=\"1\" ; after\n\n",
       {Create("A"), Set("A", "a", REG_SZ, S("1\0", 2))}},
      {"key names with brackets and spaces",
       kV5 + "[HKLM\\a]b\\ c d ]  \n",
       {Create("a]b\\ c d ")}},
      {"UTF-8 byte-order mark", "\xEF\xBB\xBF" + kV5 + "[HKLM\\A]\n", {Create("A")}},
  };
  for (const GoodCase &c : cases) {
    RegFile f;
    RegFileError err;
    ASSERT_TRUE(ParseRegFile(c.text, kMaxRegFileSize, f, err))
        << c.what << ": line " << err.line << ": " << err.message;
    EXPECT_EQ(Flatten(f), c.want) << c.what;
  }
}

TEST(RegFileTest, ReadsUtf16Files) {
  std::u16string text =
      u"Windows Registry Editor Version "
      u"5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\Caf\u00e9]\r\n\"n\"=\"\u00e9\"\r\n";
  std::string bytes = "\xFF\xFE";
  for (char16_t c : text) bytes += {static_cast<char>(c & 0xFF), static_cast<char>(c >> 8)};
  RegFile f;
  RegFileError err;
  ASSERT_TRUE(ParseRegFile(bytes, kMaxRegFileSize, f, err)) << err.message;
  EXPECT_EQ(Flatten(f), (std::vector<Op>{Create("Caf\xc3\xa9"), Set("Caf\xc3\xa9", "n", REG_SZ,
                                                                    "\xc3\xa9" + S("\0", 1))}));
  bytes.push_back('x');  // an odd byte at the end
  EXPECT_FALSE(ParseRegFile(bytes, kMaxRegFileSize, f, err));
  EXPECT_EQ(err.line, 5u);
}

struct BadCase {
  const char *what;
  std::string text;
  size_t line;
  const char *message;  // a part of the message
};

TEST(RegFileTest, ReportsTheFirstErrorWithItsLine) {
  const std::string c256(256, 'k');
  const BadCase cases[] = {
      {"empty file", "", 0, "empty"},
      {"no header", "[HKLM\\A]\n", 1, "must start with"},
      {"bad header", "\nWindows Registry Editor Version 4.00\n", 2, "must start with"},
      {"value before a key", kV5 + "\"a\"=\"b\"\n", 3, "before the first"},
      {"unterminated string", kV5 + "[HKLM\\A]\n\"a\"=\"b\n", 4, "unterminated"},
      {"unterminated name", kV5 + "[HKLM\\A]\n\"abc\n", 4, "missing closing quote"},
      {"bad escape", kV5 + "[HKLM\\A]\n\"a\"=\"C:\\mail\"\n", 4, "bad escape"},
      {"missing =", kV5 + "[HKLM\\A]\n\"a\" \"b\"\n", 4, "expected \"=\""},
      {"unknown data", kV5 + "[HKLM\\A]\n\"a\"=qword:1\n", 4, "unknown value data"},
      {"trailing text", kV5 + "[HKLM\\A]\n\"a\"=\"b\" c\n", 4, "unexpected text"},
      {"bad hex byte", kV5 + "[HKLM\\A]\n\"a\"=hex:01,\\\n  0g\n", 5, "bad hex byte"},
      {"three hex digits", kV5 + "[HKLM\\A]\n\"a\"=hex:012\n", 4, "bad hex byte"},
      {"blank-separated hex", kV5 + "[HKLM\\A]\n\"a\"=hex:01 02\n", 4, "expected \",\""},
      {"continuation at the end", kV5 + "[HKLM\\A]\n\"a\"=hex:01,\\\n", 4, "ends inside"},
      {"dword too long", kV5 + "[HKLM\\A]\n\"a\"=dword:123456789\n", 4, "1 to 8"},
      {"dword empty", kV5 + "[HKLM\\A]\n\"a\"=dword:\n", 4, "1 to 8"},
      {"hex(4) not 4 bytes", kV5 + "[HKLM\\A]\n\"a\"=hex(4):01\n", 4, "exactly 4"},
      {"bad hex type", kV5 + "[HKLM\\A]\n\"a\"=hex(x):01\n", 4, "hex(N)"},
      {"odd UTF-16", kV5 + "[HKLM\\A]\n\"a\"=hex(2):41,00,00\n", 4, "UTF-16"},
      {"lone surrogate", kV5 + "[HKLM\\A]\n\"a\"=hex(1):00,d8,00,00\n", 4, "UTF-16"},
      {"another root", kV5 + "[HKEY_CURRENT_USER\\A]\n", 3, "HKEY_LOCAL_MACHINE"},
      {"empty key name", kV5 + "[HKLM\\A\\\\B]\n", 3, "empty key name"},
      {"key name too long", kV5 + "[HKLM\\" + c256 + "]\n", 3, "longer than 255"},
      {"section without ]", kV5 + "[HKLM\\A\n", 3, "must end with"},
      {"value in a deleted key", kV5 + "[-HKLM\\A]\n\"a\"=\"b\"\n", 4, "deleted key"},
      {"value on the root", kV5 + "[HKLM]\n\"a\"=\"b\"\n", 4, "HKEY_LOCAL_MACHINE itself"},
      {"deleting the root", kV5 + "[-HKEY_LOCAL_MACHINE]\n", 3, "cannot be deleted"},
      {"junk line", kV5 + "[HKLM\\A]\nhello\n", 4, "unexpected line"},
      {"NUL in a value name", kV5 + "[HKLM\\A]\n\"a" + S("\0", 1) + "\"=\"b\"\n", 4, "NUL"},
      {"big-endian file", "\xFE\xFF", 0, "big-endian"},
  };
  for (const BadCase &c : cases) {
    RegFile f;
    RegFileError err;
    EXPECT_FALSE(ParseRegFile(c.text, kMaxRegFileSize, f, err)) << c.what;
    EXPECT_EQ(err.line, c.line) << c.what << ": " << err.message;
    EXPECT_NE(err.message.find(c.message), std::string::npos) << c.what << ": " << err.message;
  }
}

TEST(RegFileTest, EnforcesSizeLimits) {
  RegFile f;
  RegFileError err;
  std::string text = kV5 + "[HKLM\\A]\n";
  EXPECT_FALSE(ParseRegFile(text, text.size() - 1, f, err));
  EXPECT_NE(err.message.find("larger than"), std::string::npos);

  // A string of the largest size fits with its NUL; one byte more does not.
  std::string fits = kV5 + "[HKLM\\A]\n\"s\"=\"" + std::string(kMaxRegValueSize - 1, 'x') + "\"\n";
  ASSERT_TRUE(ParseRegFile(fits, kMaxRegFileSize, f, err)) << err.message;
  EXPECT_EQ(f.ops.back().data.size(), kMaxRegValueSize);
  std::string over = kV5 + "[HKLM\\A]\n\"s\"=\"" + std::string(kMaxRegValueSize, 'x') + "\"\n";
  EXPECT_FALSE(ParseRegFile(over, kMaxRegFileSize, f, err));
  EXPECT_EQ(err.line, 4u);

  std::string longLine = kV5 + "; " + std::string(kMaxRegFileLine, 'c') + "\n";
  EXPECT_FALSE(ParseRegFile(longLine, kMaxRegFileSize, f, err));
  EXPECT_EQ(err.line, 3u);
  EXPECT_FALSE(ParseRegFile(std::string(kMaxRegFileSize + 1, ';'), kMaxRegFileSize * 2, f, err));
}

TEST(RegFileTest, ConvertsUtf16BothWays) {
  struct Case {
    std::string utf8, utf16;
  } cases[] = {
      {"A", S("A\0", 2)},
      {"\xc3\xa9", S("\xe9\0", 2)},
      {"\xe2\x82\xac", S("\xac\x20", 2)},
      {"\xf0\x9f\x98\x80", S("\x3d\xd8\x00\xde", 4)},
      {"\xff", S("\xff\xdc", 2)},  // a stray byte travels as U+DCFF
      {"\xed\xa0\x80",
       S("\xed\xdc\xa0\xdc\x80\xdc", 6)},      // an encoded surrogate is three stray bytes
      {"\xc0\xaf", S("\xc0\xdc\xaf\xdc", 4)},  // overlong form
  };
  for (const Case &c : cases) {
    EXPECT_EQ(Utf8ToUtf16Le(c.utf8), c.utf16);
    std::string back;
    ASSERT_TRUE(Utf16LeToUtf8(c.utf16, back));
    EXPECT_EQ(back, c.utf8);
  }
  std::string out;
  EXPECT_FALSE(Utf16LeToUtf8(S("\x00\xd8", 2), out));      // high surrogate alone
  EXPECT_FALSE(Utf16LeToUtf8(S("\x00\xdc\x41", 3), out));  // odd length
}

TEST(RegFileTest, ParsesRootPaths) {
  struct Case {
    const char *full;
    bool ok;
    const char *path;
  } cases[] = {
      {"HKLM", true, ""},
      {"HKEY_LOCAL_MACHINE\\", true, ""},
      {"hklm\\Software\\TALVO\\", true, "Software\\TALVO"},
      {"Hkey_Local_Machine\\a\\b", true, "a\\b"},
      {"HKCU\\a", false, ""},
      {"HKLMX\\a", false, ""},
      {"Software\\TALVO", false, ""},
      {"HKLM\\\\a", false, ""},
  };
  for (const Case &c : cases) {
    std::string path, error;
    EXPECT_EQ(ParseRegRootPath(c.full, path, error), c.ok) << c.full;
    if (c.ok)
      EXPECT_EQ(path, c.path) << c.full;
    else
      EXPECT_FALSE(error.empty());
  }
  EXPECT_EQ(FullRegPath(""), "HKEY_LOCAL_MACHINE");
  EXPECT_EQ(FullRegPath("a\\b"), "HKEY_LOCAL_MACHINE\\a\\b");
}

RegFile Sample() {
  RegFile f;
  f.keys = {"Software\\TALVO\\ZEL", "Software\\Odd \"]\\x", "Gone"};
  auto set = [&](size_t key, std::string name, DWORD type, std::string data) {
    f.ops.push_back({K::kSetValue, key, std::move(name), type, std::move(data), 0});
  };
  f.ops.push_back({K::kDeleteKey, 2, "", REG_NONE, "", 0});
  f.ops.push_back({K::kCreateKey, 0, "", REG_NONE, "", 0});
  set(0, "", REG_SZ, S("default\0", 8));
  set(0, "Quote\"Back\\slash", REG_SZ, S("C:\\mail \"x\"\0", 12));
  set(0, "Latin1", REG_SZ, S("caf\xe9\0", 5));
  set(0, "Embedded", REG_SZ, S("a\0b\0", 4));
  set(0, "Lines", REG_SZ, S("a\r\nb\0", 5));
  set(0, "NoNul", REG_SZ, "abc");
  set(0, "Expand", REG_EXPAND_SZ, S("%SystemRoot%\\\xc3\xa9\xff\0", 17));
  set(0, "Multi", REG_MULTI_SZ, S("a.example\0\xf0\x9f\x98\x80\0\0", 16));
  set(0, "Dword", REG_DWORD, S("\x78\x56\x34\x12", 4));
  set(0, "Binary", REG_BINARY, std::string(300, '\x5a'));
  set(0, "Empty", REG_BINARY, "");
  set(0, "Qword", 11, S("\1\2\3\4\5\6\7\x8", 8));
  f.ops.push_back({K::kDeleteValue, 0, "Old", REG_NONE, "", 0});
  f.ops.push_back({K::kCreateKey, 1, "", REG_NONE, "", 0});
  set(1, "x", REG_NONE, "");
  return f;
}

TEST(RegFileTest, ExportImportRoundTrip) {
  RegFile f = Sample();
  std::string text;
  RegFileError err;
  ASSERT_TRUE(FormatRegFile(f, text, err)) << err.message;
  RegFile back;
  ASSERT_TRUE(ParseRegFile(text, kMaxRegFileSize, back, err))
      << err.line << ": " << err.message << "\n"
      << text;
  EXPECT_EQ(Flatten(back), Flatten(f)) << text;
  // Hex lists are wrapped like regedit's, below 80 columns.
  size_t start = 0;
  for (size_t nl; (nl = text.find('\n', start)) != std::string::npos; start = nl + 1)
    EXPECT_LE(nl - start, 80u) << text.substr(start, nl - start);
}

TEST(RegFileTest, ExportsTheRegeditForm) {
  RegFile f;
  f.keys = {"A"};
  f.ops = {{K::kCreateKey, 0, "", REG_NONE, "", 0},
           {K::kSetValue, 0, "", REG_SZ, S("v\0", 2), 0},
           {K::kSetValue, 0, "d", REG_DWORD, S("\x1f\0\0\0", 4), 0},
           {K::kSetValue, 0, "e", REG_EXPAND_SZ, S("%A%\0", 4), 0},
           {K::kSetValue, 0, "b", REG_BINARY, S("\1\xab", 2), 0},
           {K::kDeleteValue, 0, "gone", REG_NONE, "", 0}};
  std::string text;
  RegFileError err;
  ASSERT_TRUE(FormatRegFile(f, text, err));
  EXPECT_EQ(text,
            "Windows Registry Editor Version 5.00\n\n"
            "[HKEY_LOCAL_MACHINE\\A]\n"
            "@=\"v\"\n"
            "\"d\"=dword:0000001f\n"
            "\"e\"=hex(2):25,00,41,00,25,00,00,00\n"
            "\"b\"=hex:01,ab\n"
            "\"gone\"=-\n");
  f.ops[1].name = "two\nlines";
  EXPECT_FALSE(FormatRegFile(f, text, err));
  EXPECT_NE(err.message.find("line break"), std::string::npos);
}

}  // namespace
