// The IMAP response writers: strings chosen safely as quoted strings or
// literals (and read back as the same bytes), mailbox names per revision,
// compact sets, the response shapes, the capability list, and the speed of
// a large FETCH answer.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "ZELIMAP/imapparseargs.h"
#include "ZELIMAP/imapparsefetch.h"
#include "ZELIMAP/imapparsesearch.h"
#include "ZELIMAP/imapwrite.h"

namespace {

std::string Str(std::string_view text, bool rev2) {
  std::string out;
  WriteString(out, text, rev2);
  return out;
}

TEST(ImapWrite, StringsQuotedOrLiteral) {
  const std::string longText(kMaxQuotedString + 1, 'a');
  const struct {
    std::string Text;
    bool Rev2;
    std::string Written;
  } cases[] = {
      {"plain text", false, "\"plain text\""},
      {"", false, "\"\""},
      {"back\\slash", false, "\"back\\\\slash\""},
      {"say \"hi\"", false, "{8}\r\nsay \"hi\""},
      {"two\r\nlines", true, "{10}\r\ntwo\r\nlines"},
      {std::string("n\0l", 3), true, std::string("{3}\r\nn\0l", 8)},
      {"\xC3\xA9t\xC3\xA9", false, "{5}\r\n\xC3\xA9t\xC3\xA9"},
      {"\xC3\xA9t\xC3\xA9", true, "\"\xC3\xA9t\xC3\xA9\""},
      {"\xC3(", true, "{2}\r\n\xC3("},
      {longText, false, "{4097}\r\n" + longText},
  };
  for (const auto &c : cases) {
    EXPECT_EQ(Str(c.Text, c.Rev2), c.Written) << c.Text.substr(0, 20);
    // What is written reads back as the same bytes (NUL aside: no client
    // string may hold it, and the reader refuses it).
    if (c.Text.find('\0') != std::string::npos) continue;
    ImapScanner s;
    s.Text = c.Written;
    std::string back;
    EXPECT_TRUE(ScanString(s, back, "string") && ScanEnd(s));
    EXPECT_EQ(back, c.Text);
  }
  std::string out;
  WriteNString(out, "", true, false);
  WriteAstring(out, "X-Atom]", false);
  WriteAstring(out, "a b", false);
  WriteAstring(out, "", false);
  EXPECT_EQ(out, "NILX-Atom]\"a b\"\"\"");
}

TEST(ImapWrite, MailboxNamesPerRevision) {
  std::string out;
  EXPECT_TRUE(WriteMailbox(out, "été/台北", false));
  EXPECT_TRUE(WriteMailbox(out, "été", true));
  EXPECT_TRUE(WriteMailbox(out, "a\"b&", false));
  EXPECT_EQ(out, "\"&AOk-t&AOk-/&U,BTFw-\"\"été\"{5}\r\na\"b&-");
  out.clear();
  EXPECT_FALSE(WriteMailbox(out, "a\tb", true));
  EXPECT_FALSE(WriteMailbox(out, "\xC3", false));
  EXPECT_FALSE(WriteListLine(out, "LIST", "", "\x01", true, false));
  EXPECT_TRUE(out.empty());
}

TEST(ImapWrite, SetsFlagsAndShapes) {
  std::string out;
  const uint32_t nums[] = {1, 2, 2, 3, 5, 7, 8, 9, 4294967294u, 4294967295u};
  WriteNumberSet(out, nums, 10);
  EXPECT_EQ(out, "1:3,5,7:9,4294967294:4294967295");
  out.clear();
  WriteNumberSet(out, nums, 0);
  WriteFlags(out, kFlagSeen | kFlagDraft, " $Label  junk ", true);
  WriteFlags(out, 0, "", false);
  EXPECT_EQ(out, "(\\Seen \\Draft $Label junk \\Recent)()");
  out.clear();
  WriteCounted(out, 23, "EXISTS");
  WriteVanished(out, true, {{41, 43}, {45, 45}});
  WriteSearch(out, nums, 3, true, 917162500);
  WriteSearch(out, nums, 0, true, 1);
  WriteTaggedReply(out, "", "BAD", "Invalid tag");
  WriteTaggedReply(out, "A1", "OK", "[READ-WRITE] SELECT completed");
  WriteContinuation(out, "Ready");
  EXPECT_EQ(out,
            "* 23 EXISTS\r\n* VANISHED (EARLIER) 41:43,45\r\n* SEARCH 1 2 2 (MODSEQ 917162500)\r\n"
            "* SEARCH\r\n* BAD Invalid tag\r\nA1 OK [READ-WRITE] SELECT completed\r\n+ Ready\r\n");
  out.clear();
  ImapSearchProgram asked;
  asked.bMin = asked.bMax = asked.bCount = asked.bAll = true;
  WriteEsearch(out, "A2", true, asked, nums, 8, false, 0);
  WriteEsearch(out, "A3", false, asked, nums, 0, true, 5);
  EXPECT_EQ(out,
            "* ESEARCH (TAG \"A2\") UID MIN 1 MAX 9 COUNT 8 ALL 1:3,5,7:9\r\n"
            "* ESEARCH (TAG \"A3\") COUNT 0\r\n");
  out.clear();
  const uint64_t values[] = {231, 44292};
  EXPECT_TRUE(WriteStatus(out, "blurdybloop", false, {ImapStatusItem::kMessages, ImapStatusItem::kUidNext}, values));
  EXPECT_TRUE(WriteListLine(out, "LIST", "\\HasChildren", "été", false, true));
  EXPECT_EQ(out,
            "* STATUS \"blurdybloop\" (MESSAGES 231 UIDNEXT 44292)\r\n"
            "* LIST (\\HasChildren) \"/\" \"&AOk-t&AOk-\" (\"CHILDINFO\" (\"SUBSCRIBED\"))\r\n");
}

TEST(ImapWrite, DateTimesReadBack) {
  const struct {
    int64_t At;
    int Zone;
    const char *Written;
  } cases[] = {
      {837596665, -420, "\"17-Jul-1996 02:44:25 -0700\""},
      {0, 0, "\" 1-Jan-1970 00:00:00 +0000\""},
      {-1, 90, "\" 1-Jan-1970 01:29:59 +0130\""},
      {951782400, 0, "\"29-Feb-2000 00:00:00 +0000\""},
      {-62135596800 - 5, 0, "\" 1-Jan-0001 00:00:00 +0000\""},
      {253402300800, 9999, "\"31-Dec-9999 23:59:59 +2359\""},
      {INT64_MAX, -9999, "\"31-Dec-9999 23:59:59 -2359\""},
  };
  for (const auto &c : cases) {
    std::string out;
    WriteDateTime(out, c.At, c.Zone);
    EXPECT_EQ(out, c.Written);
    ImapScanner s;
    s.Text = out;
    int64_t at = 0;
    int zone = 0;
    EXPECT_TRUE(ScanDateTime(s, at, zone) && ScanEnd(s));
    // Beyond the years 1 to 9999 the instant is shown cut to them.
    bool cut = c.At < -62135596800 || c.At >= 253402300800;
    EXPECT_EQ(at == c.At && zone == c.Zone, !cut) << c.Written;
  }
}

TEST(ImapWrite, FetchItemNamesEchoTheRequest) {
  ImapFetchArgs f;
  ImapError e;
  ASSERT_TRUE(ParseFetch("1 (BODY.PEEK[1.2.HEADER.FIELDS (From \"X%Y\")]<10.20> BINARY.SIZE[3] BINARY[] "
                         "body[] RFC822.SIZE BODY)",
                         true, f, e));
  std::string out;
  for (const ImapFetchAtt &a : f.Atts) {
    WriteFetchItemName(out, a, false);
    out.push_back(' ');
  }
  EXPECT_EQ(out, "UID BODY[1.2.HEADER.FIELDS (From \"X%Y\")]<10> BINARY.SIZE[3] BINARY[] BODY[] RFC822.SIZE BODY ");
  EXPECT_TRUE(FetchSetsSeen(f.Atts[3]) && FetchSetsSeen(f.Atts[4]));
  EXPECT_FALSE(FetchSetsSeen(f.Atts[1]) || FetchSetsSeen(f.Atts[2]) || FetchSetsSeen(f.Atts[6]));
}

TEST(ImapWrite, CapabilitiesByState) {
  std::string before, clear, after;
  WriteCapabilities(before, {false, true, true, 67108864});
  WriteCapabilities(clear, {false, true, false, 1});
  WriteCapabilities(after, {true, false, true, 1});
  EXPECT_EQ(before.substr(0, 45), "IMAP4rev1 IMAP4rev2 STARTTLS AUTH=PLAIN SASL-");
  EXPECT_NE(before.find(" APPENDLIMIT=67108864"), std::string::npos);
  EXPECT_NE(clear.find(" LOGINDISABLED "), std::string::npos);
  EXPECT_EQ(clear.find("AUTH="), std::string::npos);
  EXPECT_EQ(after.find("AUTH="), std::string::npos);
  EXPECT_EQ(after.find("STARTTLS"), std::string::npos);
  for (const char *cap : {"IDLE", "UIDPLUS", "MOVE", "LITERAL+", "SPECIAL-USE", "NAMESPACE", "ID", "ENABLE",
                          "UNSELECT", "CHILDREN", "ESEARCH", "SEARCHRES", "LIST-EXTENDED", "LIST-STATUS",
                          "STATUS=SIZE", "BINARY", "CONDSTORE", "QRESYNC"})
    EXPECT_NE((after + " ").find(std::string(" ") + cap + " "), std::string::npos) << cap;
}

// 10,000 FETCH lines of a sync (UID FLAGS RFC822.SIZE ENVELOPE) into one
// buffer take milliseconds; the bound only catches a writer that copies
// its buffer per token.
TEST(ImapWrite, ManyFetchLinesFormatFast) {
  const std::string envelope =
      "(\"Mon, 7 Feb 1994 21:52:25 -0800\" \"afternoon meeting\" ((\"Fred Foobar\" NIL \"foobar\" "
      "\"Blurdybloop.example\")) NIL NIL ((NIL NIL \"mooch\" \"owatagu.example\")) NIL NIL NIL "
      "\"<B27397-0100000@Blurdybloop.example>\")";
  auto start = std::chrono::steady_clock::now();
  std::string out;
  for (uint32_t seq = 1; seq <= 10000; ++seq) {
    WriteFetchBegin(out, seq);
    out.append("UID ");
    WriteNumber(out, seq + 1000);
    out.append(" FLAGS ");
    WriteFlags(out, kFlagSeen, "$Label1", false);
    out.append(" RFC822.SIZE ");
    WriteNumber(out, 10240);
    out.append(" ENVELOPE ");
    out.append(envelope);
    WriteFetchEnd(out);
  }
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  EXPECT_LT(seconds, 2.0);
  EXPECT_EQ(out.substr(0, 40), "* 1 FETCH (UID 1001 FLAGS (\\Seen $Label1");
  EXPECT_GT(out.size(), 10000 * envelope.size());
}

}  // namespace
