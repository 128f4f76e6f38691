// Address scanners: where each scan stops, where each output is cut, and
// that no input (open quotes, a trailing backslash, "<" or "(" at the end)
// makes a scan pass the terminator. Texts live in exact-size heap buffers so
// that a sanitizer build catches any read behind them.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "common/rfc822parse.h"

namespace {

// A writable copy of text in a heap buffer of exactly its size.
struct Text {
  explicit Text(const std::string &s) : size(s.size() + 1), data(new char[s.size() + 1]) {
    memcpy(data.get(), s.c_str(), size);
  }
  char *begin() const { return data.get(); }
  char *end() const { return data.get() + size - 1; }
  size_t size;
  std::unique_ptr<char[]> data;
};

std::vector<std::string> AllAddresses(const std::string &header) {
  Text text(header);
  std::vector<char *> list = ExtractAllAddresses(text.begin());
  EXPECT_FALSE(list.empty());
  EXPECT_EQ(list.back(), nullptr);
  std::vector<std::string> out;
  for (char *a : list) {
    if (a == nullptr) break;
    EXPECT_GE(a, text.begin());
    EXPECT_LT(a, text.end());
    out.emplace_back(a);
  }
  return out;
}

using Strings = std::vector<std::string>;

}  // namespace

TEST(Rfc822, CharacterClassesIgnoreLocale) {
  for (char c : std::string("<>()[]\\.,;:@\"\t\r\n\x01\x7f\x80\xe9\xff")) EXPECT_TRUE(IsSpecial(c)) << int(c);
  for (char c : std::string("azAZ09 -_%!#$&'*+/=?^`{|}~")) EXPECT_FALSE(IsSpecial(c)) << c;
  EXPECT_TRUE(IsSpecial('\0'));
  for (char c : std::string(" \t\r\n\v\f")) EXPECT_TRUE(IsAddressSpace(c));
  // 0xA0 is white space in some 8-bit locales; never here.
  EXPECT_FALSE(IsAddressSpace('\xa0'));
  EXPECT_FALSE(IsAddressSpace('\x85'));
}

TEST(Rfc822, RemoveTrailingSpace) {
  struct Case { const char *in, *out; } cases[] = {
      {"abc \t\r\n\v\f", "abc"}, {"a b", "a b"}, {"   ", ""}, {"", ""}, {" x ", " x"}, {"x\xa0", "x\xa0"},
  };
  for (const auto &c : cases) {
    Text t(c.in);
    EXPECT_STREQ(RemoveTrailingSpace(t.begin()), c.out) << c.in;
    std::string s = c.in;
    RemoveTrailingSpace(s);
    EXPECT_EQ(s, c.out);
  }
}

TEST(Rfc822, StripDownUnquotes) {
  struct Case { const char *in; size_t size; const char *out; } cases[] = {
      {"\"john doe\"", 64, "john doe"},
      {"\"a\\\"b\"", 64, "a\"b"},         // escaped quote inside
      {"plain", 64, "plain"},
      {"a\\\\b", 64, "a\\b"},             // escaped backslash
      {"a\\.b", 64, "a.b"},
      {"abc\\", 64, "abc"},               // backslash at the very end
      {"\"open", 64, "open"},             // no closing quote
      {"\"", 64, ""},
      {"", 64, ""},
      {"\"a\\\"", 64, "a"},               // the last quote counts as closing
      {"\"abcdef\"", 4, "abc"},           // cut before the closing quote
      {"ab\\\"c", 4, "ab"},               // cut behind a backslash: dropped
      {"abcdef", 1, ""},
  };
  for (const auto &c : cases) {
    char out[80];
    memset(out, 'X', sizeof out);
    StripDown(c.in, out, c.size);
    EXPECT_STREQ(out, c.out) << c.in;
    EXPECT_EQ(out[c.size], 'X') << "wrote behind the buffer for " << c.in;
    EXPECT_EQ(StripDown(std::string_view(c.in), c.size - 1), c.out);
  }
  char untouched = 'Q';
  StripDown("abc", &untouched, 0);
  EXPECT_EQ(untouched, 'Q');
}

TEST(Rfc822, DressUpQuotesWhenNeeded) {
  struct Case { const char *in, *out; } cases[] = {
      {"john.doe", "john.doe"},
      {"list-request", "list-request"},
      {"a%b!c", "a%b!c"},
      {"", ""},
      {"john doe", "\"john doe\""},
      {"a\"b", "\"a\\\"b\""},
      {"a\\b", "\"a\\\\b\""},
      {"user@host", "\"user@host\""},
      {"a,b", "\"a,b\""},
      {"a\tb", "\"a\tb\""},
      {"caf\xe9", "\"caf\xe9\""},
      {"del\x7f", "\"del\x7f\""},
  };
  for (const auto &c : cases) {
    char out[64];
    DressUp(c.in, out, sizeof out);
    EXPECT_STREQ(out, c.out) << c.in;
    // Unquoting gives back the original.
    char back[64];
    StripDown(out, back, sizeof back);
    EXPECT_STREQ(back, c.in);
  }
}

TEST(Rfc822, DressUpCutKeepsTheClosingQuote) {
  struct Case { const char *in; size_t size; const char *out; } cases[] = {
      {"john doe", 6, "\"joh\""},
      {"john doe", 11, "\"john doe\""},
      {"john doe", 10, "\"john do\""},
      {"john doe", 9, "\"john d\""},
      {"a\"b", 6, "\"a\\\"\""},    // the escape pair fits, "b" does not
      {"a\"b", 5, "\"a\""},        // an escape pair is never split
      {"a b", 3, "\"\""},
      {"a b", 2, ""},              // not even "" fits
      {"a b", 1, ""},
      {"abcdef", 4, "abc"},        // unquoted: a plain cut
  };
  for (const auto &c : cases) {
    char out[32];
    memset(out, 'X', sizeof out);
    DressUp(c.in, out, c.size);
    EXPECT_STREQ(out, c.out) << c.in << " size " << c.size;
    EXPECT_EQ(out[c.size], 'X') << "wrote behind the buffer";
    EXPECT_EQ(DressUp(std::string_view(c.in), c.size - 1), c.out);
  }
}

TEST(Rfc822, SkipLocalAddressPartStops) {
  struct Case { const char *in; size_t at; } cases[] = {
      {"<a@b>", 0},                    // starts with a special: empty
      {".lead", 0},
      {"", 0},
      {"   ", 3},
      {"john doe@host", 8},            // two words: one local part
      {"  john@host", 6},
      {"a.b.c@d", 5},
      {"\"john doe\"@host", 10},
      {"\"a\\\"b\"@h", 6},             // escaped quote stays inside
      {"\"open", 5},
      {"\"open\r\nx", 5},
      {"\"ends in \\", 10},            // backslash before the terminator
      {"a\\@b@c", 4},
      {"trail\\", 6},
      {"\\", 1},
      {"a\tb", 1},                     // tab is a control character
      {"caf\xe9@x", 3},
      {"a(b", 1},
      {"<@a,@b:user@c>", 0},
  };
  for (const auto &c : cases) {
    Text t(c.in);
    EXPECT_EQ(SkipLocalAddressPart(t.begin()) - t.begin(), static_cast<ptrdiff_t>(c.at)) << c.in;
    const char *ct = t.begin();
    EXPECT_EQ(SkipLocalAddressPart(ct) - ct, static_cast<ptrdiff_t>(c.at));
  }
}

TEST(Rfc822, SkipRfc821AddressStops) {
  struct Case { const char *in; size_t at; } cases[] = {
      {"user@host.com>", 13},
      {"user@[1.2.3.4]>", 14},         // the literal keeps its bracket
      {"user@[1.2.x]", 10},            // anything else ends it early
      {"user@[IPv6:2001:DB8::1]>", 23},
      {"user@[ipv6:::1.2.3.4]>", 21},
      {"user@[IPv6:x]", 11},
      {"user@[::1]", 6},               // IPv6 text only behind its tag
      {"user@[1.2.3.4", 13},
      {"user@[", 6},
      {"user@", 5},
      {"user", 4},
      {"user@host name> x", 14},
      {"user@ho_st", 7},
      {"\"a b\"@x.y z", 11},
      {"<@a,@b:user@c>", 0},
      {"user @host", 10},
      {"user@host\r\n", 11},
      {"\"open@x", 7},
      {"a\\", 2},
  };
  for (const auto &c : cases) {
    Text t(c.in);
    EXPECT_EQ(SkipRfc821Address(t.begin()) - t.begin(), static_cast<ptrdiff_t>(c.at)) << c.in;
  }
}

TEST(Rfc822, SplitAddress) {
  struct Case { const char *in, *user, *domain; } cases[] = {
      {"User@Example.COM", "User", "example.com"},
      {"  john doe  @  Host.Org  ", "john doe", "host.org"},
      {"nodomain  ", "nodomain", ""},
      {"\"A b\"@X", "\"A b\"", "x"},
      {"<a@b>", "", ""},
      {"@Domain", "", "domain"},
      {"", "", ""},
      {"a@b c D", "a", "b c d"},
      {"a\\", "a\\", ""},
  };
  for (const auto &c : cases) {
    char user[64], domain[64];
    SplitAddress(c.in, user, sizeof user, domain, sizeof domain);
    EXPECT_STREQ(user, c.user) << c.in;
    EXPECT_STREQ(domain, c.domain) << c.in;
    std::string u, d;
    SplitAddress(std::string_view(c.in), u, 63, d, 63);
    EXPECT_EQ(u, c.user);
    EXPECT_EQ(d, c.domain);
  }
  char user[4], domain[3];
  SplitAddress("abcdef@XYZ", user, sizeof user, domain, sizeof domain);
  EXPECT_STREQ(user, "abc");
  EXPECT_STREQ(domain, "xy");
  std::string u, d;
  SplitAddress(std::string_view("abcdef@XYZ"), u, 3, d, 2);
  EXPECT_EQ(u, "abc");
  EXPECT_EQ(d, "xy");
}

TEST(Rfc822, ExtractAllAddresses) {
  struct Case { const char *in; Strings out; } cases[] = {
      {"", {}},
      {" , ,, \t ,\r\n", {}},
      {"a@b", {"a@b"}},
      {"a@b, c@d", {"a@b", "c@d"}},
      {"fred, bill", {"fred", "bill"}},
      {"\"Joe Doe\" <joe@x.org>", {"joe@x.org"}},
      {"Joe Doe <joe@x.org>, Ann <ann@y.org>", {"joe@x.org", "ann@y.org"}},
      {"joe@x.org (Joe Doe)", {"joe@x.org"}},
      {"joe@x.org (Joe), ann@y", {"joe@x.org", "ann@y"}},
      {"joe@x.org (Doe, Joe), ann@y", {"joe@x.org", "ann@y"}},
      {"(comment first) a@b", {"a@b"}},
      {"a (x) b (y) c", {"a", "b", "c"}},
      {"\"Quoted Local\"@Host.Org, b@c", {"\"Quoted Local\"@Host.Org", "b@c"}},
      {"\"a\\\"b\"@h", {"\"a\\\"b\"@h"}},
      {"\"a\"@b \"c\"@d", {"\"a\"@b", "\"c\"@d"}},   // more addresses than commas
      {"\"a\"@b(c, d) e@f", {"\"a\"@b", "e@f"}},     // the cut falls on "("
      {"\"phrase\" \"q\"@x", {"\"q\"@x"}},
      {"<@a,@b:user@c>", {"user@c"}},
      {"x <@a,@b:user@c>, d@e", {"user@c", "d@e"}},
      {"a@[1.2.3.4], b@c", {"a@[1.2.3.4]", "b@c"}},
      {"<a@b> trailing", {"a@b"}},
      {"<a>", {"a"}},
      {"<>", {}},
      {"<", {}},
      {"a <", {}},
      {"<a", {}},
      {"a@b, <", {"a@b"}},
      {"(unclosed a@b", {"unclosed a@b"}},  // an open comment hides nothing
      {"\"unclosed a@b", {"unclosed a@b"}},
      {"a@b\\", {"a@b"}},
      {"\\", {"\\"}},
      {"(", {}},
      {"\"", {}},
      {"\"\\", {"\\"}},
      {"a@b.c_d", {"a@b.c"}},
  };
  for (const auto &c : cases) EXPECT_EQ(AllAddresses(c.in), c.out) << c.in;
}

TEST(Rfc822, ParseCursorStaysWithinTheText) {
  for (const char *in : {"a@b", "a@b,", "\"a\"@b", "x (y", "<a@b>", "a@b (c)", ""}) {
    Text t(in);
    char *cursor = t.begin();
    for (int i = 0; i < 4; ++i) {
      char *a = ParseRfc822AddressHeader(&cursor);
      ASSERT_GE(a, t.begin());
      ASSERT_LE(a, t.end());
      ASSERT_GE(cursor, t.begin());
      ASSERT_LE(cursor, t.end()) << in;
    }
    // At the end: an empty string at the terminator, again and again.
    EXPECT_EQ(cursor, t.end());
    EXPECT_EQ(ParseRfc822AddressHeader(&cursor), t.end());
  }
}

TEST(Rfc822, ExtractAddressLowersTheDomainOnly) {
  struct Case { const char *in; size_t size; const char *out; } cases[] = {
      {"Joe <Joe.Doe@Example.COM>", 64, "Joe.Doe@example.com"},
      {"\"Mixed Case\"@EXAMPLE.com", 64, "\"Mixed Case\"@example.com"},
      {"First@A.B, Second@C.D", 64, "First@a.b"},
      {"", 64, ""},
      {"(only a comment)", 64, ""},
      {"ABCDEF@XYZ", 10, "ABCDEF@xy"},
      {"ABCDEF@XYZ", 5, "ABCD"},
  };
  for (const auto &c : cases) {
    const std::string header = c.in;
    char out[64];
    memset(out, 'X', sizeof out);
    ExtractAddress(header, out, c.size);
    EXPECT_STREQ(out, c.out) << c.in;
    EXPECT_EQ(header, c.in);  // the caller's text is not cut
    EXPECT_EQ(ExtractAddress(header, c.size - 1), c.out);
  }
  EXPECT_EQ(ExtractAddress(std::string_view("A@B\0c@d", 7), 64), "A@b");
}

TEST(Rfc822, LongInputsStayLinearAndBounded) {
  using Clock = std::chrono::steady_clock;
  auto start = Clock::now();
  // Every "(" is unclosed: each search for ")" must not rescan the rest.
  std::string comments;
  for (int i = 0; i < 200000; ++i) comments += "(a,";
  std::vector<std::string> got = AllAddresses(comments);
  ASSERT_EQ(got.size(), 200000u);
  EXPECT_EQ(got.front(), "a");
  std::string routes;
  for (int i = 0; i < 200000; ++i) routes += "<@a,";
  EXPECT_TRUE(AllAddresses(routes).empty());
  // One open quote, then only escaped ones.
  std::string quotes = "\"";
  for (int i = 0; i < 200000; ++i) quotes += "\\\"a,";
  EXPECT_EQ(AllAddresses(quotes).size(), 200000u);
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(20));

  std::string local(100000, 'a');
  Text t(local + "@host");
  EXPECT_EQ(SkipLocalAddressPart(t.begin()) - t.begin(), 100000);
  char out[512];
  std::string spaced(100000, ' ');
  DressUp(spaced.c_str(), out, sizeof out);
  EXPECT_EQ(strlen(out), 511u);
  EXPECT_EQ(out[510], '"');
  EXPECT_EQ(ExtractAddress(local + "@HOST", 127), local.substr(0, 127));
}
