// The receiver's parsers: SMTP paths, the end-of-data marker in a stream of
// reads, and the header search.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ZELRECV/msgaccept.h"
#include "ZELRECV/smtpdlg.h"

TEST(SmtpPath, ParsesAndRefusesLikeTheDialogue) {
  struct Case {
    const char *line;
    bool ok;
    const char *result;   // the address, or the offending text
  } cases[] = {
      {"MAIL FROM:<user@example.org>\r", true, "user@example.org"},
      {"MAIL FROM: <user@example.org> SIZE=100\r", true, "user@example.org"},
      {"MAIL FROM:<>\r", true, ""},
      {"RCPT TO:<@relay.a,@relay.b:joe@example.org>\r", true, "joe@example.org"},
      {"RCPT TO:<two words>\r", true, "two words"},
      {"RCPT TO:<\"quoted >\"@example.org>\r", true, "\"quoted >\"@example.org"},
      {"RCPT TO:<user@[192.0.2.1]>\r", true, "user@[192.0.2.1]"},
      {"RCPT TO:<user@example.org(comment)>\r", false, "user@example.org(comment)"},
      {"RCPT TO:user@example.org\r", true, "user@example.org"},
      {"RCPT TO\r", true, ""},
      {"RCPT TO:<a;b@c>\r", false, "a;b@c"},
  };
  for (const Case &c : cases) {
    std::string address, offending;
    bool ok = ParsePath(c.line, 511, address, offending);
    EXPECT_EQ(ok, c.ok) << c.line;
    EXPECT_EQ(ok ? address : offending, c.result) << c.line;
  }
  std::string address, offending;
  std::string line = "MAIL FROM:<" + std::string(600, 'a') + "@b>\r";
  ASSERT_TRUE(ParsePath(line.c_str(), 1023, address, offending));
  EXPECT_EQ(address.size(), 602u);
}

namespace {

// Feeds the reads one by one; the offset (in the whole stream) just behind
// the end marker, or npos.
size_t EndOf(const std::vector<std::string> &reads) {
  char tail[4] = {'\r', '\n'};
  size_t tailLength = 2;
  size_t consumed = 0;
  for (const std::string &r : reads) {
    size_t end = 0;
    if (FindEndOfData(tail, &tailLength, r.data(), r.size(), &end)) return consumed + end;
    consumed += r.size();
  }
  return std::string::npos;
}

}  // namespace

TEST(EndOfData, FoundWhereverItFalls) {
  const size_t npos = std::string::npos;
  EXPECT_EQ(EndOf({"hello\r\n.\r\n"}), 10u);
  EXPECT_EQ(EndOf({".\r\n"}), 3u);                      // an empty message
  EXPECT_EQ(EndOf({".\n"}), 2u);
  EXPECT_EQ(EndOf({"\n.\n"}), 3u);
  EXPECT_EQ(EndOf({"a\r\n.\r\nQUIT\r\n"}), 6u);          // pipelined command behind it
  EXPECT_EQ(EndOf({"a\r\n", ".", "\r", "\n"}), 6u);      // split across reads
  EXPECT_EQ(EndOf({"a\r", "\n.\r\n"}), 6u);
  EXPECT_EQ(EndOf({"a\r\n..\r\n", "b\r\n.\r\n"}), 13u);  // a transparency dot is no end
  EXPECT_EQ(EndOf({"a\n.\r\n"}), npos);                   // neither marker form
  EXPECT_EQ(EndOf({"a\r\n.x\r\n"}), npos);
  EXPECT_EQ(EndOf({std::string(100000, 'x') + "\r\n.\r\n"}), 100005u);
  // A NUL next to the marker does not hide it.
  EXPECT_EQ(EndOf({std::string("a\0\r\n.\r\n", 7)}), 7u);
}

TEST(EndOfData, EveryTwoWaySplitOfAMessageFindsTheSameEnd) {
  std::string msg = "Subject: x\r\n\r\nline\r\n..dot\r\n.\r\nNOOP\r\n";
  for (size_t cut = 0; cut <= msg.size(); ++cut)
    EXPECT_EQ(EndOf({msg.substr(0, cut), msg.substr(cut)}), msg.size() - 6) << cut;
}

TEST(HeaderSearch, NamesAtLineStartsIgnoringCase) {
  std::string header = "received: a\r\nReceived: b\r\nX-Received: c\r\nDATE: now\r\n";
  EXPECT_EQ(CountHeaderLines(header, "Received:"), 2);
  EXPECT_TRUE(HeaderPresent(header, "Date:"));
  EXPECT_FALSE(HeaderPresent(header, "Message-ID:"));
  EXPECT_FALSE(HeaderPresent("Subject: Date: x\r\n", "Date:"));
}
