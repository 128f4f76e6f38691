// The ManageSieve command reader: pieces as they arrive, literals of both
// forms, bounds, and the refusals that leave the reader at the next
// command.
#include "ZELIMAP/managesieveparse.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

struct Read {
  std::vector<ManageSieveCommand> Commands;
  std::vector<std::string> Refusals;
};

// Feeds input piece bytes at a time.
Read Feed(ManageSieveReader &r, std::string_view input, size_t piece) {
  Read out;
  for (size_t at = 0; at < input.size(); at += piece) {
    std::string_view chunk = input.substr(at, piece);
    while (!chunk.empty()) {
      ManageSieveCommand cmd;
      ManageSieveStep step = ReadManageSieveCommand(r, chunk, cmd);
      chunk.remove_prefix(step.Used);
      if (step.Event == ManageSieveEvent::kCommand) out.Commands.push_back(cmd);
      if (step.Event == ManageSieveEvent::kRefused || step.Event == ManageSieveEvent::kFatal)
        out.Refusals.push_back(r.Refusal);
      if (step.Event == ManageSieveEvent::kNeedMore) break;
    }
  }
  return out;
}

TEST(ManageSieveReader, CommandsInAnyPieces) {
  const std::string input =
      "putscript \"a\\\"b\" {5+}\r\nkeep;\r\nHAVESPACE \"x\" 4294967295\r\n"
      "RENAMESCRIPT {1}\r\nc {2+}\r\nde\r\n\r\nNOOP\r\n";
  for (size_t piece : {1, 3, 7, 1000}) {
    ManageSieveReader r;
    Read got = Feed(r, input, piece);
    ASSERT_EQ(got.Commands.size(), 4u) << piece;
    EXPECT_TRUE(got.Refusals.empty());
    EXPECT_EQ(got.Commands[0].Name, "PUTSCRIPT");
    EXPECT_EQ(got.Commands[0].Args[0].Text, "a\"b");
    EXPECT_EQ(got.Commands[0].Args[1].Text, "keep;");
    EXPECT_TRUE(got.Commands[1].Args[1].bNumber);
    EXPECT_EQ(got.Commands[1].Args[1].Number, 4294967295u);
    EXPECT_EQ(got.Commands[2].Args[0].Text, "c");
    EXPECT_EQ(got.Commands[2].Args[1].Text, "de");
    EXPECT_EQ(got.Commands[3].Name, "NOOP");
  }
}

TEST(ManageSieveReader, RefusalsLeaveTheNextCommandIntact) {
  ManageSieveReader r;
  r.MaxLiteralBytes = 10;
  Read got = Feed(r,
                  "PUTSCRIPT \"a\" {11+}\r\nx\r\nLOGOUT\r\n\r\n"  // over the limit: dropped
                  "HAVESPACE \"a\" 4294967296\r\n"                // a number too large
                  "NOOP \"open\r\n"                               // an unclosed quote
                  "NOOP {3+}x\r\n"                                // a literal that is no argument
                  "A \"1\" \"2\" \"3\" \"4\" \"5\"\r\n"           // too many arguments
                  "LOGOUT\r\n",
                  4);
  ASSERT_EQ(got.Refusals.size(), 5u);
  EXPECT_EQ(got.Refusals[0].substr(0, 19), "NO (QUOTA/MAXSIZE) ");
  ASSERT_EQ(got.Commands.size(), 1u);
  EXPECT_EQ(got.Commands[0].Name, "LOGOUT");
}

TEST(ManageSieveReader, AnEndlessLineIsFatal) {
  ManageSieveReader r;
  Read got = Feed(r, std::string(kMaxManageSieveLine + 10, 'A'), 512);
  ASSERT_EQ(got.Refusals.size(), 1u);
  EXPECT_EQ(got.Refusals[0], "BYE \"Command line too long\"\r\n");
}

TEST(ManageSieveWriter, StringsQuotedOrLiteral) {
  EXPECT_EQ(ManageSieveString("a \"b\" \\"), "\"a \\\"b\\\" \\\\\"");
  EXPECT_EQ(ManageSieveString("two\r\nlines"), "{10}\r\ntwo\r\nlines");
  EXPECT_EQ(ManageSieveResponse("NO", "QUOTA/MAXSIZE", "big"), "NO (QUOTA/MAXSIZE) \"big\"\r\n");
}

}  // namespace
