// Bounded text routines: the cut is behaviour, so test where it falls.
#include <gtest/gtest.h>

#include <cstring>

#include "common/str.h"

TEST(Str, StrncpyCutsAndAlwaysTerminates) {
  char buf[6];
  memset(buf, 'X', sizeof buf);
  STRNCPY(buf, "abcdefgh", sizeof buf);
  EXPECT_STREQ(buf, "abcde");
  STRNCPY(buf, "ab", sizeof buf);
  EXPECT_STREQ(buf, "ab");
  char one[1] = {'X'};
  STRNCPY(one, "abc", sizeof one);
  EXPECT_EQ(one[0], '\0');
  char untouched = 'Q';
  STRNCPY(&untouched, "abc", 0);
  EXPECT_EQ(untouched, 'Q');
}

TEST(Str, StrncatStaysWithinTheWholeBuffer) {
  char buf[8] = "abc";
  STRNCAT(buf, "defgh", sizeof buf);
  EXPECT_STREQ(buf, "abcdefg");
  // Full buffer: nothing more is appended, nothing is overrun.
  STRNCAT(buf, "zz", sizeof buf);
  EXPECT_STREQ(buf, "abcdefg");
  char num[8] = "n=";
  STRNCATW(num, -12345, sizeof num);
  EXPECT_STREQ(num, "n=-1234");
}

TEST(Str, StrlenmultiCountsEveryTerminator) {
  const char list[] = "ab\0cde\0\0";
  EXPECT_EQ(strlenmulti(list), 8u);
  EXPECT_EQ(strlenmulti("\0"), 1u);
  // A list that is not terminated inside its buffer stops at the buffer.
  const char open[4] = {'a', 'b', '\0', 'c'};
  EXPECT_EQ(strlenmulti(open, sizeof open), 4u);
}

TEST(Str, CaseInsensitiveHelpers) {
  EXPECT_TRUE(EqualsNoCase("PostMaster", "postmaster"));
  EXPECT_FALSE(EqualsNoCase("postmaster", "postmasters"));
  EXPECT_TRUE(StartsWithNoCase("%username%\\x", "%USERNAME%"));
  EXPECT_FALSE(StartsWithNoCase("%user", "%USERNAME%"));
  // Every byte counts, NUL included, and only ASCII letters fold.
  EXPECT_FALSE(EqualsNoCase(std::string_view("a\0b", 3), std::string_view("a\0c", 3)));
  EXPECT_FALSE(EqualsNoCase("\xc4", "\xe4"));
  EXPECT_TRUE(EndsWithNoCase("B0000000001.rcp", ".RCP"));
  std::string s = "abcdef";
  CutText(s, 3);
  EXPECT_EQ(s, "abc");
  EXPECT_EQ(BoundedCopy("abcdef", 10), "abcdef");
}

// A reply cut to fit stays a reply: whole lines, the last one final.
TEST(Str, RepliesAreCutAtLineEnds) {
  struct Case {
    std::string reply;
    size_t max;
    std::string cut;
  } cases[] = {
      {"550-a\r\n550-bb\r\n550 c\r\n", 16, "550-a\r\n550 bb\r\n"},
      {"550-a\r\n550-bb\r\n550 c\r\n", 14, "550 a\r\n"},
      {"550-a\r\n550 c\r\n", 14, "550-a\r\n550 c\r\n"},
      {"550 " + std::string(20, 'x') + "\r\n", 10, "550 xxxx\r\n"},
  };
  for (Case &c : cases) {
    CutReplyAtLineEnd(c.reply, c.max);
    EXPECT_EQ(c.reply, c.cut);
  }
}
