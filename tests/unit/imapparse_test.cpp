// The IMAP grammar: the command reader (literals of every kind, the
// refusals and what is skipped after them, APPEND's streamed message, raw
// lines, the same result whatever the cut of the input), modified UTF-7,
// and the argument parsers of every command, with their error paths.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ZELIMAP/imapparse.h"
#include "ZELIMAP/imapparseargs.h"
#include "ZELIMAP/imapparsecmds.h"
#include "ZELIMAP/imapparsefetch.h"
#include "ZELIMAP/imapparsesearch.h"
#include "ZELIMAP/imapparseutf7.h"
#include "imaptranscript.h"

namespace {

// The transcript of the input fed whole, which must be the same fed a
// byte at a time and in pieces of 3 and 64 bytes.
std::string Read(std::string_view input, ImapDrive drive = {}) {
  std::string whole = ImapTranscript(input, drive);
  for (std::string_view pieces : {std::string_view("\x01"), std::string_view("\x03"), std::string_view("\x40\x07")}) {
    drive.Pieces = pieces;
    EXPECT_EQ(ImapTranscript(input, drive), whole) << "cut in pieces of " << int(pieces[0]);
  }
  EXPECT_FALSE(drive.bOutOfBounds);
  return whole;
}

struct ReaderCase {
  std::string Input;
  std::string Expected;
};

const std::string kLong(70000, 'x');

TEST(ImapReader, CommandsLiteralsAndRefusals) {
  const ReaderCase cases[] = {
      {"a1 noop\r\n", "CMD a1 NOOP|\n"},
      {"A2 uid fetch 1:* (FLAGS)\r\nA3 NOOP\n", "CMD A2 UID FETCH|1:* (FLAGS)\nCMD A3 NOOP|\n"},
      {"\r\n\r\nA4 CAPABILITY\r\n", "CMD A4 CAPABILITY|\n"},
      // Synchronising and non-synchronising literals, in canonical form.
      {"A5 LOGIN {4}\r\nuser {004}\r\npass\r\n", "CONT\nCONT\nCMD A5 LOGIN|{4}\r\nuser {4}\r\npass\n"},
      {"A6 LOGIN {4+}\r\nus\r\n {0+}\r\n\r\n", "CMD A6 LOGIN|{4}\r\nus\r\n {0}\r\n\n"},
      // The tag and the name.
      {"* NOOP\r\n+A NOOP\r\n(x NOOP\r\n", "REJ * BAD Invalid tag\nREJ * BAD Invalid tag\nREJ * BAD Invalid tag\n"},
      {"A7\r\nA8 \r\nA9 UID\r\nA10 N(OP\r\n",
       "REJ A7 BAD Missing command name\nREJ A8 BAD Missing command name\n"
       "REJ A9 BAD Missing command after UID\nREJ A10 BAD Invalid command name\n"},
      {"A11 LOGIN{3}\r\nA12 NOOP\r\n", "REJ A11 BAD Missing SP before literal\nCMD A12 NOOP|\n"},
      // Over-long: the tag when known; the rest skipped, literals counted;
      // a synchronising literal ends the skipped command.
      {"A13 NOOP " + kLong + "\r\nA14 NOOP\r\n", "REJ A13 BAD Command line too long\nCMD A14 NOOP|\n"},
      {kLong + " NOOP\r\n", "REJ * BAD Command line too long\n"},
      {"A15 X " + kLong + " {10+}\r\nA16 NOOP\r\n\r\nA17 NOOP\r\n",
       "REJ A15 BAD Command line too long\nCMD A17 NOOP|\n"},
      {"A18 X " + kLong + " {10}\r\nA19 NOOP\r\n", "REJ A18 BAD Command line too long\nCMD A19 NOOP|\n"},
      {"A20 X {3+}\r\n" + kLong + "}\r\nA21 NOOP\r\n",
       "REJ A20 BAD Command line too long\nCMD A21 NOOP|\n"},
      // Literals over the limit: refused instead of continued, or read and
      // thrown away; never taken for commands.
      {"A22 LOGIN {70000}\r\nA23 NOOP\r\n", "REJ A22 BAD [TOOBIG] Literal too large\nCMD A23 NOOP|\n"},
      {"A24 LOGIN {70000+}\r\n" + std::string(70000, '\n') + " x\r\nA25 NOOP\r\n",
       "REJ A24 BAD [TOOBIG] Literal too large\nCMD A25 NOOP|\n"},
      {"A26 X {40000}\r\n" + std::string(40000, 'a') + " {30000}\r\nA27 NOOP\r\n",
       "CONT\nREJ A26 BAD [TOOBIG] Literal too large\nCMD A27 NOOP|\n"},
      {"A28 LOGIN {99999999999999999999+}\r\n", "REJ A28 BAD Invalid literal size CLOSE\n"},
      {"A29 LOGIN {99999999999999999999}\r\nA30 NOOP\r\n", "REJ A29 BAD Invalid literal size\nCMD A30 NOOP|\n"},
      {"A29 LOGIN u 123456789012345678901}\r\n", "CMD A29 LOGIN|u 123456789012345678901}\n"},
      {"A30 X " + kLong + " " + std::string(40, '9') + "+}\r\nA31 NOOP\r\n", "REJ A30 BAD Command line too long CLOSE\n"},
      // APPEND's message, streamed; a literal mailbox name is not the message.
      {"A31 APPEND INBOX (\\Seen) {11}\r\nhello world\r\n",
       "APPEND A31|INBOX (\\Seen) |11\nCONT\nDATA hello world\nCMD A31 APPEND|INBOX (\\Seen) |msg@14:11\n"},
      {"A32 APPEND {5}\r\nI\"(\nX {3+}\r\na\r\n\r\nA33 APPEND \"a (b{\" {0+}\r\n\r\n",
       "CONT\nAPPEND A32|{5}\r\nI\"(\nX |3\nDATA a\r\n\nCMD A32 APPEND|{5}\r\nI\"(\nX |msg@11:3\n"
       "APPEND A33|\"a (b{\" |0\nCMD A33 APPEND|\"a (b{\" |msg@8:0\n"},
      {"A34 APPEND INBOX (\\Seen {3}\r\nabc)\r\n", "CONT\nCMD A34 APPEND|INBOX (\\Seen {3}\r\nabc)\n"},
      // Raw lines after IDLE.
      {"A35 IDLE\r\nDONE\r\nA36 NOOP\r\n", "CMD A35 IDLE|\nRAW DONE\nCMD A36 NOOP|\n"},
      {"A37 IDLE\r\n" + kLong + "\r\nA38 NOOP\r\n",
       "CMD A37 IDLE|\nRAW " + std::string(kMaxRawLine, 'x') + " CUT\nCMD A38 NOOP|\n"},
  };
  for (const ReaderCase &c : cases) EXPECT_EQ(Read(c.Input), c.Expected) << c.Input.substr(0, 60);
}

TEST(ImapReader, AppendLimitsAndRefusal) {
  ImapDrive small;
  small.AppendLimit = 10;
  EXPECT_EQ(Read("A1 APPEND INBOX {11}\r\nA2 NOOP\r\n", small),
            "REJ A1 NO [TOOBIG] Message larger than the APPENDLIMIT\nCMD A2 NOOP|\n");
  EXPECT_EQ(Read("A3 APPEND INBOX {11+}\r\nA4 NOOP\r\n..\r\nA5 NOOP\r\n", small),
            "REJ A3 NO [TOOBIG] Message larger than the APPENDLIMIT\nCMD A5 NOOP|\n");
  ImapDrive refuse;
  refuse.RefuseWith = "A6 NO [TRYCREATE] No such mailbox\r\n";
  EXPECT_EQ(Read("A6 APPEND Nowhere {3}\r\nA7 NOOP\r\n", refuse),
            "APPEND A6|Nowhere |3\nREJ A6 NO [TRYCREATE] No such mailbox\nCMD A7 NOOP|\n");
  refuse.RefuseWith = "A8 NO [TRYCREATE] No such mailbox\r\n";
  EXPECT_EQ(Read("A8 APPEND Nowhere {10+}\r\nA9 NOOP\r\n\r\nA10 NOOP\r\n", refuse),
            "APPEND A8|Nowhere |10\nREJ A8 NO [TRYCREATE] No such mailbox\nCMD A10 NOOP|\n");
  ImapDrive minus;
  minus.bLiteralMinus = true;
  EXPECT_EQ(Read("A11 LOGIN {4097+}\r\n" + std::string(4097, 'p') + "\r\nA12 LOGIN {4096+}\r\n" +
                     std::string(4096, 'p') + "\r\n",
                 minus),
            "REJ A11 BAD [TOOBIG] Non-synchronizing literal over 4096 bytes\nCMD A12 LOGIN|{4096}\r\n" +
                std::string(4096, 'p') + "\n");
  // A message of 1 MiB is handed out, never held.
  std::string big(1 << 20, 'm');
  ImapReader r;
  std::string in = "A13 APPEND INBOX {1048576+}\r\n" + big + "\r\n";
  size_t handed = 0;
  for (std::string_view rest = in; !rest.empty();) {
    ImapStep step = ImapRead(r, rest.substr(0, 65536));
    rest.remove_prefix(step.Used);
    handed += step.Data.size();
    EXPECT_LT(r.Buffer.capacity(), 4096u);
  }
  EXPECT_EQ(handed, big.size());
}

TEST(ImapReader, BufferIsGivenBackAfterALongCommand) {
  ImapReader r;
  std::string in = "A1 LOGIN {60000+}\r\n" + std::string(60000, 'u') + " p\r\n";
  ImapStep step = ImapRead(r, in);
  ASSERT_EQ(step.Event, ImapEvent::kCommand);
  EXPECT_EQ(ImapRead(r, "").Event, ImapEvent::kNeedMore);
  EXPECT_LE(r.Buffer.capacity(), kKeptBufferBytes);
}

TEST(ModifiedUtf7, BothWaysAndMalformed) {
  const std::pair<const char *, const char *> good[] = {
      {"INBOX", "INBOX"}, {"&AOk-t&AOk-", "été"}, {"&U,BTFw-", "台北"}, {"&2D3eAA-x", "😀x"},
      {"~peter/mail/&U,BTFw-/&ZeVnLIqe-", "~peter/mail/台北/日本語"}, {"&-&AOk-", "&é"}, {"", ""},
  };
  for (auto [wire, utf8] : good) {
    std::string out;
    EXPECT_TRUE(ModifiedUtf7ToUtf8(wire, out)) << wire;
    EXPECT_EQ(out, utf8);
    EXPECT_TRUE(Utf8ToModifiedUtf7(utf8, out));
    EXPECT_EQ(out, wire);
  }
  // ASCII encoded, two runs in a row, leftover bits, a lone surrogate, no
  // end, an empty run, 8-bit, a control character, not base64.
  for (const char *bad : {"&AGE-", "&AOk-&AOk-", "&AOkA-", "&2D0-", "&AOk", "&U,BTFw", "a\xC3\xA9",
                          "a\tb", "&A.k-", "&3gA-", "&AAk-"}) {
    std::string out = "x";
    EXPECT_FALSE(ModifiedUtf7ToUtf8(bad, out)) << bad;
    EXPECT_TRUE(out.empty());
  }
  std::string out;
  for (const char *bad : {"\xC3", "\xC0\xAF", "\xED\xA0\x80", "a\x01", "\xF4\x90\x80\x80"})
    EXPECT_FALSE(Utf8ToModifiedUtf7(bad, out)) << bad;
}

// Parses one value with a scanner function; the value or the error text.
template <typename Fn>
std::string Scan(std::string_view text, Fn fn) {
  ImapScanner s;
  s.Text = text;
  std::string value = fn(s);
  if (!s.bFailed) ScanEnd(s);
  return s.bFailed ? "ERR " + s.Error.Text : value;
}

std::string Astring(std::string_view t) {
  return Scan(t, [](ImapScanner &s) { std::string v; ScanAstring(s, v, "string"); return v; });
}
std::string Mailbox(std::string_view t, bool rev2) {
  return Scan(t, [rev2](ImapScanner &s) { std::string v; ScanMailbox(s, rev2, v); return v; });
}
std::string Set(std::string_view t, bool saved = true) {
  return Scan(t, [saved](ImapScanner &s) {
    ImapSeqSet set;
    ScanSeqSet(s, set, saved, "sequence set");
    std::string v = set.bSaved ? "$" : "";
    for (const ImapRange &r : set.Ranges) v += std::to_string(r.First) + ":" + std::to_string(r.Last) + " ";
    return v;
  });
}

TEST(ImapArgs, StringsAndMailboxNames) {
  EXPECT_EQ(Astring("atom]x"), "atom]x");
  EXPECT_EQ(Astring("\"a \\\"q\\\" \\\\ b\""), "a \"q\" \\ b");
  EXPECT_EQ(Astring("{5}\r\na\r\nb\"c"), "ERR Unexpected text after the arguments");
  EXPECT_EQ(Astring("{4+}\r\na\r\nb"), "a\r\nb");
  EXPECT_EQ(Astring("\"bad \\x\""), "ERR Invalid escape in the quoted string");
  EXPECT_EQ(Astring("\"open"), "ERR Unterminated quoted string");
  EXPECT_EQ(Astring(std::string("{3}\r\na\0b", 8)), "ERR NUL in the literal string");
  EXPECT_EQ(Astring("{9}\r\nshort"), "ERR Literal longer than the command");
  EXPECT_EQ(Astring("(x)"), "ERR Expected string");
  EXPECT_EQ(Mailbox("inbox", false), "INBOX");
  EXPECT_EQ(Mailbox("\"Inbox/Sent\"", true), "INBOX/Sent");
  EXPECT_EQ(Mailbox("INBOXES", false), "INBOXES");
  EXPECT_EQ(Mailbox("&AOk-t&AOk-", false), "été");
  EXPECT_EQ(Mailbox("&AOk-t&AOk-", true), "&AOk-t&AOk-");
  EXPECT_EQ(Mailbox("\"été\"", true), "été");
  EXPECT_EQ(Mailbox("\"été\"", false), "ERR Mailbox name is not 7-bit (modified UTF-7 is expected)");
  EXPECT_EQ(Mailbox("&AOk", false), "ERR Invalid modified UTF-7 in the mailbox name");
  EXPECT_EQ(Mailbox("\"\xC3(\"", true), "ERR Mailbox name is not UTF-8");
  EXPECT_EQ(Mailbox("{3}\r\na\tb", true), "ERR Control character in the mailbox name");
  EXPECT_EQ(Mailbox("\"" + std::string(kMaxMailboxName + 1, 'n') + "\"", true), "ERR Mailbox name too long");
}

TEST(ImapArgs, SequenceSets) {
  EXPECT_EQ(Set("1,3:4,*:7,9:2,*,5:*"), "1:1 3:4 0:7 9:2 0:0 5:0 ");
  EXPECT_EQ(Set("$"), "$");
  EXPECT_EQ(Set("$", false), "ERR Expected sequence set");
  EXPECT_EQ(Set("$,1"), "ERR Unexpected text after the arguments");
  EXPECT_EQ(Set("0"), "ERR Zero is not a valid sequence set");
  EXPECT_EQ(Set("1:0"), "ERR Zero is not a valid sequence set");
  EXPECT_EQ(Set("4294967296"), "ERR Number too large in sequence set");
  EXPECT_EQ(Set("1,"), "ERR Expected sequence set");
  EXPECT_EQ(Set(""), "ERR Expected sequence set");
  std::string many;
  for (size_t i = 0; i <= kMaxSeqRanges; ++i) many += "1,";
  many += "1";
  EXPECT_EQ(Set(many), "ERR Too many ranges in the sequence set");

  ImapSeqSet set;
  set.Ranges = {{9, 2}, {kSeqStar, 7}, {20, 20}, {8, 8}, {11, 12}, {kSeqStar, kSeqStar}};
  std::vector<ImapRange> n = NormalizeSeqSet(set, 15);
  ASSERT_EQ(n.size(), 2u);
  EXPECT_EQ(n[0].First, 2u);
  EXPECT_EQ(n[0].Last, 15u);
  EXPECT_EQ(n[1].First, 20u);
  EXPECT_TRUE(RangesContain(n, 2) && RangesContain(n, 15) && RangesContain(n, 20));
  EXPECT_FALSE(RangesContain(n, 1) || RangesContain(n, 16) || RangesContain(n, 21));
  set.Ranges = {{kSeqStar, kSeqStar}, {3, kSeqStar}, {0xFFFFFFFF, 0xFFFFFFFF}};
  n = NormalizeSeqSet(set, 0);  // an empty mailbox
  ASSERT_EQ(n.size(), 2u);
  EXPECT_EQ(n[0].First, 1u);
  EXPECT_EQ(n[0].Last, 3u);
  EXPECT_EQ(n[1].Last, 0xFFFFFFFFu);
}

TEST(ImapArgs, FlagsDatesAndPatterns) {
  auto flags = [](std::string_view t) {
    return Scan(t, [](ImapScanner &s) {
      ImapFlags f;
      ScanFlagList(s, f);
      std::string v = std::to_string(f.System);
      for (const std::string &k : f.Keywords) v += " " + k;
      return v;
    });
  };
  EXPECT_EQ(flags("(\\Seen \\answered $Label junk JUNK \\Draft \\Flagged \\Deleted)"), "31 $Label junk");
  EXPECT_EQ(flags("()"), "0");
  EXPECT_EQ(flags("(\\Recent)"), "ERR \\Recent cannot be set");
  EXPECT_EQ(flags("(\\*)"), "ERR \\* is not a flag");
  EXPECT_EQ(flags("(\\Important)"), "ERR Unknown system flag \\Important");
  EXPECT_EQ(flags("(\\Seen"), "ERR Expected \")\" to end the flag list");
  EXPECT_EQ(flags("(" + std::string(kMaxKeywordLength + 1, 'k') + ")"), "ERR Keyword too long");

  auto date = [](std::string_view t) {
    return Scan(t, [](ImapScanner &s) { ImapDate d; ScanDate(s, d); return std::to_string(DaysSinceEpoch(d)); });
  };
  EXPECT_EQ(date("1-Jan-1970"), "0");
  EXPECT_EQ(date("\"01-mar-2000\""), "11017");
  EXPECT_EQ(date("31-Dec-1969"), "-1");
  EXPECT_EQ(date("29-Feb-2024"), "19782");
  EXPECT_EQ(date("29-Feb-2023"), "ERR No such day");
  EXPECT_EQ(date("31-Apr-2024"), "ERR No such day");
  EXPECT_EQ(date("1-Foo-2024"), "ERR Invalid month in the date");
  EXPECT_EQ(date("1-Jan-24"), "ERR Invalid year in the date");
  auto dateTime = [](std::string_view t) {
    return Scan(t, [](ImapScanner &s) {
      int64_t at = 0;
      int zone = 0;
      ScanDateTime(s, at, zone);
      return std::to_string(at) + " " + std::to_string(zone);
    });
  };
  EXPECT_EQ(dateTime("\"17-Jul-1996 02:44:25 -0700\""), "837596665 -420");
  EXPECT_EQ(dateTime("\" 7-Jul-1996 02:44:25 +0000\""), "836707465 0");
  EXPECT_EQ(dateTime("\"17-Jul-1996 24:00:00 +0000\""), "ERR Invalid time in the date-time");
  EXPECT_EQ(dateTime("\"17-Jul-1996 02:44 +0000\""), "ERR Expected \":\" in the time");

  EXPECT_TRUE(MatchListPattern("*", "a/b/c"));
  EXPECT_TRUE(MatchListPattern("%", "Archive"));
  EXPECT_FALSE(MatchListPattern("%", "Archive/2024"));
  EXPECT_TRUE(MatchListPattern("Archive/%", "Archive/2024"));
  EXPECT_TRUE(MatchListPattern("inbox", "INBOX"));
  EXPECT_TRUE(MatchListPattern("Inbox/%", "INBOX/x"));
  EXPECT_FALSE(MatchListPattern("inbox/X", "INBOX/x"));
  EXPECT_TRUE(MatchListPattern("*2*4", "Archive/2024"));
  EXPECT_FALSE(MatchListPattern("", "INBOX"));
  EXPECT_EQ(CombineListReference("Archive/", "%"), "Archive/%");
  EXPECT_EQ(CombineListReference("Archive/", "/abs"), "/abs");
}

TEST(ImapCommands, LogonEnableIdSelect) {
  ImapError e;
  ImapLoginArgs login;
  EXPECT_TRUE(ParseLogin("SMITH {6}\r\nsesame", login, e));
  EXPECT_EQ(login.User + "|" + login.Password, "SMITH|sesame");
  EXPECT_FALSE(ParseLogin("SMITH", login, e));
  EXPECT_EQ(e.Text, "Expected SP before the password");
  ImapAuthenticateArgs auth;
  EXPECT_TRUE(ParseAuthenticate("plain AHRlc3QAdGVzdA==", auth, e));
  EXPECT_EQ(auth.Mechanism + "|" + auth.Initial, "PLAIN|AHRlc3QAdGVzdA==");
  EXPECT_TRUE(ParseAuthenticate("PLAIN", auth, e) && !auth.bInitial);
  EXPECT_FALSE(ParseAuthenticate("PLAIN ", auth, e));
  std::vector<std::string> names;
  EXPECT_TRUE(ParseEnable("condstore qresync", names, e));
  EXPECT_EQ(names, (std::vector<std::string>{"CONDSTORE", "QRESYNC"}));
  EXPECT_FALSE(ParseEnable("", names, e));
  std::vector<ImapIdPair> id;
  EXPECT_TRUE(ParseId("(\"name\" \"sodr\" \"version\" NIL)", id, e));
  ASSERT_EQ(id.size(), 2u);
  EXPECT_TRUE(id[1].bNil);
  EXPECT_TRUE(ParseId("NIL", id, e) && id.empty());
  EXPECT_FALSE(ParseId("()", id, e));
  EXPECT_FALSE(ParseId("(\"" + std::string(31, 'f') + "\" NIL)", id, e));
  EXPECT_EQ(e.Text, "ID field or value too long");

  ImapSelectArgs sel;
  EXPECT_TRUE(ParseSelect("INBOX (CONDSTORE)", false, sel, e) && sel.bCondstore && !sel.bQresync);
  EXPECT_TRUE(ParseSelect("INBOX (QRESYNC (67890007 20050715194045000 41,43:211,214:541))", false, sel, e));
  EXPECT_EQ(sel.UidValidity, 67890007u);
  EXPECT_EQ(sel.ModSeq, 20050715194045000u);
  EXPECT_TRUE(sel.bKnownUids && !sel.bSeqMatch);
  EXPECT_EQ(sel.KnownUids.Ranges.size(), 3u);
  EXPECT_TRUE(ParseSelect("INBOX (QRESYNC (67890007 90060115194045000 (1:6,8:10 41:46,48:50)) CONDSTORE)",
                          false, sel, e));
  EXPECT_TRUE(sel.bSeqMatch && !sel.bKnownUids && sel.bCondstore);
  EXPECT_EQ(sel.MatchUids.Ranges.size(), 2u);
  const std::pair<const char *, const char *> bad[] = {
      {"INBOX (FOO)", "Unknown SELECT parameter FOO"},
      {"INBOX (CONDSTORE CONDSTORE)", "CONDSTORE given twice"},
      {"INBOX (QRESYNC (1 2 5,1:*))", "\"*\" in the known UIDs"},
      {"INBOX (QRESYNC (0 2))", "Zero is not a valid UIDVALIDITY"},
      {"INBOX (CONDSTORE", "Expected \")\" after the SELECT parameters"},
      {"INBOX ()", "Expected SELECT parameter"},
  };
  for (auto [args, error] : bad) {
    EXPECT_FALSE(ParseSelect(args, false, sel, e)) << args;
    EXPECT_EQ(e.Text, error);
  }
}

TEST(ImapCommands, MailboxesListStatus) {
  ImapError e;
  std::string a, b;
  EXPECT_TRUE(ParseMailboxArg("owatagusiam/blurdybloop", false, a, e));
  EXPECT_FALSE(ParseMailboxArg("owatagusiam (x)", false, a, e));
  EXPECT_TRUE(ParseRename("blurdybloop sarasoop", false, a, b, e));
  EXPECT_EQ(a + ">" + b, "blurdybloop>sarasoop");

  ImapListArgs list;
  EXPECT_TRUE(ParseList("\"\" \"\"", false, list, e) && !list.bExtended && list.Patterns == std::vector<std::string>{""});
  EXPECT_TRUE(ParseList("~/Mail/ %", false, list, e));
  EXPECT_EQ(list.Reference + list.Patterns[0], "~/Mail/%");
  EXPECT_TRUE(ParseList("(SUBSCRIBED RECURSIVEMATCH) \"\" (INBOX \"&AOk-*\") RETURN (CHILDREN STATUS (MESSAGES UNSEEN))",
                        false, list, e));
  EXPECT_TRUE(list.bExtended && list.bSelSubscribed && list.bSelRecursiveMatch && list.bRetChildren && list.bRetStatus);
  EXPECT_EQ(list.Patterns, (std::vector<std::string>{"INBOX", "é*"}));
  EXPECT_EQ(list.StatusItems.size(), 2u);
  EXPECT_TRUE(ParseList("() \"\" % RETURN ()", true, list, e) && list.bExtended);
  EXPECT_TRUE(ParseList("(SPECIAL-USE) \"\" * RETURN (SPECIAL-USE SUBSCRIBED)", true, list, e));
  const std::pair<const char *, const char *> bad[] = {
      {"(RECURSIVEMATCH) \"\" *", "RECURSIVEMATCH without another selection option"},
      {"(REMOTE RECURSIVEMATCH) \"\" *", "RECURSIVEMATCH without another selection option"},
      {"(FOO) \"\" *", "Unknown LIST selection option FOO"},
      {"\"\" * RETURN (BAR)", "Unknown LIST return option BAR"},
      {"\"\" * RETURNS ()", "Expected RETURN"},
      {"\"\" (a b", "Expected \")\" after the patterns"},
      {"\"\"", "Expected SP before the mailbox pattern"},
  };
  for (auto [args, error] : bad) {
    EXPECT_FALSE(ParseList(args, false, list, e)) << args;
    EXPECT_EQ(e.Text, error);
  }
  EXPECT_TRUE(ParseLsub("\"#news.\" \"comp.mail.*\"", false, list, e));
  EXPECT_EQ(list.Patterns[0], "comp.mail.*");

  ImapStatusArgs st;
  EXPECT_TRUE(ParseStatus("blurdybloop (UIDNEXT MESSAGES size HIGHESTMODSEQ APPENDLIMIT deleted)", true, st, e));
  EXPECT_EQ(st.Items.size(), 6u);
  EXPECT_EQ(StatusItemName(st.Items[2]), "SIZE");
  EXPECT_TRUE(ParseStatus("x (RECENT)", false, st, e));
  EXPECT_FALSE(ParseStatus("x (RECENT)", true, st, e));
  EXPECT_FALSE(ParseStatus("x (MESSAGES MESSAGES)", false, st, e));
  EXPECT_EQ(e.Text, "MESSAGES given twice");
  EXPECT_FALSE(ParseStatus("x ()", false, st, e));
}

TEST(ImapCommands, AppendStoreCopy) {
  ImapError e;
  ImapAppendArgs app;
  ImapCommandView cmd;
  cmd.Args = "saved-messages (\\Seen) \"17-Jul-1996 02:44:25 -0700\" ";
  cmd.MessageAt = cmd.Args.size();
  EXPECT_TRUE(ParseAppend(cmd, false, app, e));
  EXPECT_TRUE(app.bHasDate && app.Flags.System == kFlagSeen && app.Date == 837596665);
  cmd.Args = "saved-messages ";
  cmd.MessageAt = cmd.Args.size();
  EXPECT_TRUE(ParseAppend(cmd, false, app, e) && !app.bHasDate);
  cmd.Args = "saved-messages (\\Recent) ";
  cmd.MessageAt = cmd.Args.size();
  EXPECT_FALSE(ParseAppend(cmd, false, app, e));
  cmd.Args = "box x";
  cmd.MessageAt = 4;
  EXPECT_FALSE(ParseAppend(cmd, false, app, e));
  EXPECT_EQ(e.Text, "Unexpected text after the message (one message per APPEND)");
  cmd.MessageAt = std::string_view::npos;
  EXPECT_FALSE(ParseAppend(cmd, false, app, e));

  ImapStoreArgs st;
  EXPECT_TRUE(ParseStore("2:4 +FLAGS (\\Deleted)", st, e) && st.How == ImapStoreArgs::kAdd && !st.bSilent);
  EXPECT_TRUE(ParseStore("1 flags.silent \\Seen $x", st, e) && st.How == ImapStoreArgs::kReplace && st.bSilent);
  EXPECT_EQ(st.Flags.Keywords.size(), 1u);
  EXPECT_TRUE(ParseStore("$ (UNCHANGEDSINCE 0) -FLAGS.SILENT ()", st, e) && st.bUnchangedSince && st.Set.bSaved);
  const std::pair<const char *, const char *> bad[] = {
      {"1 +FLAGS (\\Recent)", "\\Recent cannot be set"},
      {"1 FLAG (\\Seen)", "Expected FLAGS, +FLAGS or -FLAGS"},
      {"1 (CHANGEDSINCE 5) FLAGS ()", "Unknown STORE modifier CHANGEDSINCE"},
      {"1 FLAGS", "Expected SP before the flag list"},
      {"1 +FLAGS (\\Seen", "Expected \")\" to end the flag list"},
  };
  for (auto [args, error] : bad) {
    EXPECT_FALSE(ParseStore(args, st, e)) << args;
    EXPECT_EQ(e.Text, error);
  }
  ImapSeqSet set;
  std::string box;
  EXPECT_TRUE(ParseCopy("2:4 MEETING", false, set, box, e) && box == "MEETING");
  EXPECT_FALSE(ParseCopy("2:4", false, set, box, e));
  EXPECT_TRUE(ParseSeqSetArg("3000:3002", set, e));
  EXPECT_FALSE(ParseSeqSetArg("3000:3002 x", set, e));
}

std::string Fetch(std::string_view args, bool uid = false) {
  ImapFetchArgs f;
  ImapError e;
  if (!ParseFetch(args, uid, f, e)) return "ERR " + e.Text;
  std::string v;
  for (const ImapFetchAtt &a : f.Atts) {
    v += std::to_string(static_cast<int>(a.Item)) + (a.bPeek ? "p" : "");
    for (uint32_t p : a.Section.Part) v += "." + std::to_string(p);
    v += a.Section.Text != ImapSectionText::kNone ? "t" + std::to_string(static_cast<int>(a.Section.Text)) : "";
    for (const std::string &h : a.Section.Fields) v += "," + h;
    if (a.bPartial) v += "<" + std::to_string(a.Origin) + "." + std::to_string(a.Length) + ">";
    v += " ";
  }
  if (f.bChangedSince) v += "cs" + std::to_string(f.ChangedSince);
  return v + (f.bVanished ? " v" : "");
}

TEST(ImapFetch, AttributesSectionsModifiers) {
  EXPECT_EQ(Fetch("2:4 (FLAGS BODY[HEADER.FIELDS (DATE FROM)])"), "0 10t2,DATE,FROM ");
  EXPECT_EQ(Fetch("1 ALL"), "0 2 3 7 ");
  EXPECT_EQ(Fetch("1 fast"), "0 2 3 ");
  EXPECT_EQ(Fetch("1 FULL"), "0 2 3 7 9 ");
  EXPECT_EQ(Fetch("1 (UID RFC822.SIZE RFC822 RFC822.HEADER RFC822.TEXT ENVELOPE BODYSTRUCTURE BODY MODSEQ)"),
            "1 3 4 5 6 7 8 9 13 ");
  EXPECT_EQ(Fetch("1 BODY[]<0.2048>"), "10<0.2048> ");
  EXPECT_EQ(Fetch("1 (BODY.PEEK[1.2.MIME] body[3.header.fields.not (X-A \"Y-B\")] BODY[4.TEXT] BODY[TEXT])"),
            "10p.1.2t5 10.3t3,X-A,Y-B 10.4t4 10t4 ");
  EXPECT_EQ(Fetch("1 (BINARY.PEEK[1]<0.100> BINARY[] BINARY.SIZE[2])"), "11p.1<0.100> 11 12.2 ");
  EXPECT_EQ(Fetch("1:* (FLAGS) (CHANGEDSINCE 12345 VANISHED)", true), "1 0 13 cs12345 v");
  EXPECT_EQ(Fetch("1 (UID FLAGS)", true), "1 0 ");
  const std::pair<const char *, const char *> bad[] = {
      {"1 (ALL)", "Unknown fetch attribute ALL"},
      {"1 BODY[MIME]", "Invalid section MIME"},
      {"1 BINARY[HEADER]", "BINARY takes part numbers only"},
      {"1 BINARY[1.TEXT]", "BINARY takes part numbers only"},
      {"1 BODY[1.2.]", "Expected section text"},
      {"1 BODY[0]", "Zero is not a valid section part number"},
      {"1 BODY[]<0.0>", "Zero is not a valid partial length"},
      {"1 BODY[]<5>", "Expected \".\" in the partial"},
      {"1 BODY.PEEK", "Expected \"[\""},
      {"1 BINARY.SIZE[1]<0.5>", "Unexpected text after the arguments"},
      {"1 BODY[HEADER.FIELDS ()]", "Expected header field name"},
      {"1 BODY[HEADER.FIELDS (A:B)]", "Invalid header field name"},
      {"1 (FLAGS", "Expected \")\" to end the fetch attributes"},
      {"1 FLAGS)", "Unexpected text after the arguments"},
      {"1 FLAGS (VANISHED)", "VANISHED is for UID FETCH only"},
      {"1 FLAGS (CHANGEDSINCE 1 CHANGEDSINCE 2)", "CHANGEDSINCE given twice"},
      {"1 FLAGS (FOO)", "Unknown FETCH modifier FOO"},
      {"1 XYZZY", "Unknown fetch attribute XYZZY"},
      {"1", "Expected SP before the fetch attributes"},
  };
  for (auto [args, error] : bad) EXPECT_EQ(Fetch(args), std::string("ERR ") + error) << args;
  EXPECT_EQ(Fetch("1 FLAGS (VANISHED)", true), "ERR VANISHED without CHANGEDSINCE");
  std::string deep = "1 BODY[";
  for (size_t i = 0; i <= kMaxSectionDepth; ++i) deep += "1.";
  EXPECT_EQ(Fetch(deep + "1]"), "ERR Section nested too deep");
}

// The tree as text: KEY(args)[children].
std::string Dump(const ImapSearchProgram &p, uint32_t at = 0) {
  const ImapSearchNode &n = p.Nodes[at];
  std::string v = std::to_string(static_cast<int>(n.Key));
  if (n.Key == ImapSearchKey::kFlag) v += (n.bSet ? "+" : "-") + std::to_string(n.Flag);
  if (!n.Field.empty()) v += ":" + n.Field;
  if (!n.Value.empty()) v += "=" + n.Value;
  if (n.Days != 0 || n.Number != 0) v += "#" + std::to_string(n.Days + static_cast<int64_t>(n.Number));
  if (n.Set.bSaved) v += "$";
  if (!n.Set.Ranges.empty()) v += "{" + std::to_string(n.Set.Ranges.size()) + "}";
  if (!n.Children.empty()) {
    v += "(";
    for (uint32_t c : n.Children) v += Dump(p, c) + " ";
    v.back() = ')';
  }
  return v;
}

std::string Search(std::string_view args, bool rev2 = false) {
  ImapSearchProgram p;
  ImapError e;
  if (!ParseSearch(args, rev2, p, e)) return std::string(e.Status) + " " + e.Text;
  std::string opts = p.bReturn ? std::string("R") + (p.bMin ? "m" : "") + (p.bMax ? "M" : "") +
                                     (p.bAll ? "a" : "") + (p.bCount ? "c" : "") + (p.bSave ? "s" : "") + " "
                               : "";
  return opts + (p.bSavedUsed ? "$ " : "") + Dump(p);
}

TEST(ImapSearch, ProgramsOfEveryKey) {
  const std::pair<const char *, const char *> good[] = {
      {"FLAGGED SINCE 1-Feb-1994 NOT FROM \"Smith\"", "1(6+4 15#8797 3(21:From=Smith))"},
      {"OR OR OR SEEN DRAFT BODY a TEXT {3}\r\nb c", "1(2(2(2(6+1 6+16) 22=a) 23=b c))"},
      {"CHARSET UTF-8 SUBJECT \"\xC3\xA9t\xC3\xA9\"", "1(21:Subject=été)"},
      {"RETURN (MIN COUNT) 1:5,7 UNSEEN", "Rmc 1(4{2} 6-1)"},
      {"RETURN () UID $", "Ra $ 1(5$)"},
      {"RETURN (SAVE) $ (ANSWERED (DELETED))", "Rs $ 1(4$ 1(6+2 1(6+8)))"},
      {"HEADER Message-ID <a@b> HEADER X-Empty \"\"", "1(21:Message-ID=<a@b> 21:X-Empty)"},
      {"LARGER 100 SMALLER 2000 BEFORE \"2-Jan-1970\" ON 1-Jan-1970", "1(19#100 20#2000 13#1 14)"},
      {"SENTBEFORE 2-Jan-1970 SENTON 2-Jan-1970 SENTSINCE 2-Jan-1970", "1(16#1 17#1 18#1)"},
      {"KEYWORD $Forwarded UNKEYWORD junk UNDRAFT UNFLAGGED UNANSWERED UNDELETED",
       "1(7=$Forwarded 8=junk 6-16 6-4 6-2 6-8)"},
      {"MODSEQ \"/flags/\\\\draft\" all 620162338", "1(24#620162338)"},
      {"BCC a CC b TO c ALL", "1(21:Bcc=a 21:Cc=b 21:To=c 0)"},
      {"NEW OLD RECENT UNRECENT", "1(9 10 11 12)"},
  };
  for (auto [args, tree] : good) EXPECT_EQ(Search(args), tree) << args;
  const std::pair<const char *, const char *> bad[] = {
      {"CHARSET KOI8-R TEXT x", "NO [BADCHARSET (UTF-8 US-ASCII)] Unsupported charset"},
      {"FOO", "BAD Unknown search key FOO"},
      {"(SEEN", "BAD Expected \")\" to end the search keys"},
      {"SEEN)", "BAD Unexpected text after the arguments"},
      {"NOT", "BAD Expected SP before the argument of NOT"},
      {"OR SEEN", "BAD Expected SP before the second key of OR"},
      {"TEXT \"\xC3(\"", "BAD Search string is not UTF-8"},
      {"HEADER \"a b\" x", "BAD Invalid header field name"},
      {"SINCE 30-Feb-2020", "BAD No such day"},
      {"MODSEQ \"/x\" all 1", "BAD Invalid MODSEQ entry name"},
      {"MODSEQ \"/flags/x\" some 1", "BAD Invalid MODSEQ entry type"},
      {"RETURN (MIN MIN) ALL", "BAD MIN given twice"},
      {"RETURN (PARTIAL 1:5) ALL", "BAD Unknown search return option PARTIAL"},
      {"", "BAD Expected search key"},
  };
  for (auto [args, error] : bad) EXPECT_EQ(Search(args), error) << args;
  EXPECT_EQ(Search("RECENT", true), "BAD Unknown search key RECENT");
  // At most kMaxSearchDepth keys from a top-level key down.
  std::string deep;
  for (int i = 1; i < kMaxSearchDepth; ++i) deep += "NOT ";
  EXPECT_EQ(Search(deep + "ALL").substr(0, 3), "1(3");
  EXPECT_EQ(Search("NOT " + deep + "ALL"), "BAD Search program nested too deep");
  std::string wide;
  for (size_t i = 0; i < kMaxSearchNodes; ++i) wide += "ALL ";
  EXPECT_EQ(Search(wide + "ALL"), "BAD Search program too large");
}

}  // namespace
