// The filter client's pure parts: the edits a filter's answer makes to a
// stored message (positions, occurrences, deletion, body replacement,
// folding), the reader of its replies (every answer, and garbage), the
// packets we send, the Milters entries.
#include <fcntl.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/milter.h"
#include "common/milterproto.h"
#include "common/milterresult.h"
#include "platform/fileview.h"
#include "platform/files.h"
#include "platform/registry.h"
#include "platform/root.h"
#include "testutil.h"

namespace {

const std::string kMessage =
    "Received: from a\r\n"
    "Received: from b\r\n"
    "\tby c\r\n"
    "Subject: hello\r\n"
    "..Dot: stuffed name\r\n"
    "\r\n"
    "body\r\n"
    "..leading dot\r\n"
    ".\r\n";
const std::string kBody = "\r\nbody\r\n..leading dot\r\n.\r\n";

MilterHeaderEdit Edit(MilterHeaderOp op, uint32_t index, std::string name, std::string value) {
  MilterHeaderEdit e;
  e.Op = op;
  e.Index = index;
  e.Name = std::move(name);
  e.Value = std::move(value);
  return e;
}

std::string Apply(const std::vector<MilterEdits> &edits, const std::string &text = kMessage) {
  std::string out, error;
  if (!ApplyMilterEdits(text, edits, &out, &error)) return "FAILED: " + error;
  return out;
}

MilterEdits Headers(std::vector<MilterHeaderEdit> headers) {
  MilterEdits e;
  e.Headers = std::move(headers);
  return e;
}

TEST(MilterEdits, HeaderPositionsOccurrencesAndDeletion) {
  using Op = MilterHeaderOp;
  const std::string a = "Received: from a\r\n", b = "Received: from b\r\n\tby c\r\n",
                    s = "Subject: hello\r\n", d = "..Dot: stuffed name\r\n";
  struct Case {
    MilterHeaderEdit Edit;
    std::string Fields;
  } cases[] = {
      {Edit(Op::Add, 0, "X-New", "v"), a + b + s + d + "X-New: v\r\n"},
      {Edit(Op::Insert, 0, "X-Top", "v"), "X-Top: v\r\n" + a + b + s + d},
      {Edit(Op::Insert, 2, "X-Mid", "v"), a + b + "X-Mid: v\r\n" + s + d},
      {Edit(Op::Insert, 99, "X-End", "v"), a + b + s + d + "X-End: v\r\n"},
      {Edit(Op::Change, 2, "received", "new"), a + "received: new\r\n" + s + d},
      {Edit(Op::Change, 0, "Received", "first"), "Received: first\r\n" + b + s + d},
      {Edit(Op::Change, 3, "Received", "third"), a + b + s + d + "Received: third\r\n"},
      {Edit(Op::Change, 1, "Subject", ""), a + b + d},
      {Edit(Op::Change, 2, "Subject", ""), a + b + s + d},
      {Edit(Op::Change, 1, ".Dot", "x"), a + b + s + "..Dot: x\r\n"},
  };
  for (const Case &c : cases) EXPECT_EQ(Apply({Headers({c.Edit})}), c.Fields + kBody) << c.Edit.Name;
  // Within one filter and across filters, each position counts the fields
  // as the edits before it left them.
  EXPECT_EQ(Apply({Headers({Edit(Op::Insert, 0, "X-1", "v"), Edit(Op::Change, 1, "Received", "")}),
                   Headers({Edit(Op::Insert, 1, "X-2", "v")})}),
            "X-1: v\r\nX-2: v\r\n" + b + s + d + kBody);
}

TEST(MilterEdits, HeaderValuesAreFoldedSafelyOrRefused) {
  std::string line;
  struct Case {
    std::string Value;
    bool Leading;
    std::string Written;   // "" when refused
  } cases[] = {
      {"plain", false, "N: plain\r\n"},
      {" own space", true, "N: own space\r\n"},
      {"a\n b", false, "N: a\r\n b\r\n"},
      {"a\r\n\tb", false, "N: a\r\n\tb\r\n"},
      {"a\nForged: header", false, "N: a\r\n\tForged: header\r\n"},
      {"a\n\n \nb\n", false, "N: a\r\n\tb\r\n"},
      {"a\rb", false, ""},
      {std::string("a\0b", 3), false, ""},
      {std::string(996, 'x'), false, ""},
      {std::string(995, 'x'), false, "N: " + std::string(995, 'x') + "\r\n"},
  };
  for (const Case &c : cases) {
    bool ok = FormatMilterHeaderField("N", c.Value, c.Leading, &line);
    EXPECT_EQ(ok ? line : "", c.Written) << c.Value.substr(0, 20);
  }
  EXPECT_FALSE(FormatMilterHeaderField("Bad Name", "v", false, &line));
  EXPECT_FALSE(FormatMilterHeaderField("", "v", false, &line));
  // An edit the text cannot hold fails the whole application.
  EXPECT_EQ(Apply({Headers({Edit(MilterHeaderOp::Add, 0, "X", "a\rb")})}).substr(0, 7), "FAILED:");
}

TEST(MilterEdits, BodyReplacementIsStuffedAndEnded) {
  const std::string fields =
      "Received: from a\r\nReceived: from b\r\n\tby c\r\nSubject: hello\r\n..Dot: stuffed name\r\n";
  MilterEdits e;
  e.bReplaceBody = true;
  e.Body = ".one\n..two\rthree\r\n.";
  EXPECT_EQ(Apply({e}), fields + "\r\n..one\r\n...two\r\nthree\r\n..\r\n.\r\n");
  e.Body.clear();
  EXPECT_EQ(Apply({e}), fields + "\r\n.\r\n");
  // The last replacement wins; a text without a body gets its empty line.
  MilterEdits last;
  last.bReplaceBody = true;
  last.Body = "new";
  EXPECT_EQ(Apply({e, last}, "A: b\r\n.\r\n"), "A: b\r\n\r\nnew\r\n.\r\n");
  EXPECT_EQ(Apply({}, "A: b\r\n.\r\n"), "A: b\r\n.\r\n");
  EXPECT_EQ(Apply({last}, "no end\r\n").substr(0, 7), "FAILED:");
}

TEST(MilterEdits, SplitFindsFieldsAndBody) {
  MessageTextLayout layout;
  std::string error;
  // A line that is no field starts the body, without an empty line.
  std::string text = "A: 1\r\n cont\r\nnot a field\r\nB: 2\r\n.\r\n";
  ASSERT_TRUE(SplitMessageText(text, &layout, &error));
  ASSERT_EQ(layout.Fields.size(), 1u);
  EXPECT_EQ(layout.Fields[0].Raw, "A: 1\r\n cont\r\n");
  EXPECT_EQ(MilterFieldValue(layout.Fields[0], false), "1\n cont");
  EXPECT_EQ(MilterFieldValue(layout.Fields[0], true), " 1\n cont");
  EXPECT_FALSE(layout.bSeparator);
  EXPECT_EQ(text.substr(layout.BodyStart, layout.BodyEnd - layout.BodyStart), "not a field\r\nB: 2\r\n");
  std::string body;
  AppendUnstuffedBody(kMessage, kMessage.find("body"), kMessage.size() - 3, &body);
  EXPECT_EQ(body, "body\r\n.leading dot\r\n");
  std::string huge = std::string("X: ") + std::string(kMaxMilterHeaderBlock, 'y') + "\r\n.\r\n";
  EXPECT_FALSE(SplitMessageText(huge, &layout, &error));
}

// A text in a file reads as the same text in memory: the split, the body
// un-stuffed in pieces whatever their size (stuffed lines and CR LF pairs
// across piece ends included), the edits applied, and a chain's changed
// header before a body left in the file.
TEST(MilterEdits, TextsInFilesReadAsInMemory) {
  std::string bigBody;
  for (int i = 0; i < 20000; ++i) bigBody += i % 7 == 0 ? "..stuffed line\r\n" : "a line of text\r\n";
  MilterEdits change = Headers({Edit(MilterHeaderOp::Change, 1, "Subject", "new"),
                                Edit(MilterHeaderOp::Insert, 0, "X-First", "1")});
  MilterEdits replace;
  replace.bReplaceBody = true;
  replace.Body = "replaced\n.dot\n";
  std::string root = std::getenv("ZEL_ROOT");
  for (const std::string &text : {kMessage, "Subject: hello\r\n\r\n" + bigBody + ".\r\n",
                                  std::string("no header\r\n.\r\n"), std::string(".\r\n")}) {
    std::string path = root + "/source.msg";
    UniqueFd fd(open(path.c_str(), O_CREAT | O_TRUNC | O_RDWR | O_CLOEXEC, 0600));
    ASSERT_TRUE(WriteWholeFile(fd.Get(), text));
    MessageSource file{{}, fd.Get(), 0, text.size()};
    std::string head, error;
    MessageTextLayout inFile, inMemory;
    ASSERT_TRUE(SplitMessageSource(file, &head, &inFile, &error)) << error;
    ASSERT_TRUE(SplitMessageText(text, &inMemory, &error));
    EXPECT_EQ(inFile.BodyStart, inMemory.BodyStart);
    EXPECT_EQ(inFile.Fields.size(), inMemory.Fields.size());
    std::string expected;
    AppendUnstuffedBody(text, inMemory.BodyStart, inMemory.BodyEnd, &expected);
    for (size_t piece : {size_t(1), size_t(7), size_t(65535)}) {
      MessageBodyReader reader(file, inFile.BodyStart, inFile.BodyEnd);
      std::string body, part;
      while (reader.Next(piece, &part)) body += part;
      EXPECT_FALSE(reader.Failed());
      EXPECT_TRUE(body == expected) << piece;
    }
    for (const std::vector<MilterEdits> &edits : {std::vector<MilterEdits>{change},
                                                   std::vector<MilterEdits>{change, replace}}) {
      std::string fromFile;
      ASSERT_TRUE(ApplyMilterEdits(file, edits, [&](std::string_view p) {
        fromFile.append(p);
        return true;
      }, &error)) << error;
      EXPECT_TRUE(fromFile == Apply(edits, text));
    }
    std::string memory, chained;
    MessageSource next;
    ASSERT_TRUE(EditMessageSource(file, {change}, &memory, &next, &error)) << error;
    EXPECT_LT(memory.size(), 100u);   // the body stays in the file
    ASSERT_TRUE(ApplyMilterEdits(next, {replace}, [&](std::string_view p) {
      chained.append(p);
      return true;
    }, &error));
    EXPECT_TRUE(chained == Apply({change, replace}, text));
  }
}

// ---- the reply reader

std::string Pkt(char code, const std::string &data) {
  std::string out;
  AppendMilterPacket(&out, code, data);
  return out;
}

std::string U32(uint32_t v) {
  return {static_cast<char>(v >> 24), static_cast<char>(v >> 16), static_cast<char>(v >> 8),
          static_cast<char>(v)};
}

// Feeds the packets of wire to a reader; returns the last status and error.
MilterReplyStatus Feed(MilterReplyReader &reader, const std::string &wire, std::string *error) {
  MilterReplyStatus status = MilterReplyStatus::More;
  size_t pos = 0, used = 0;
  MilterPacket p;
  while (pos < wire.size()) {
    if (TakeMilterPacket(std::string_view(wire).substr(pos), &p, &used) != MilterPacketStatus::Packet)
      return MilterReplyStatus::Bad;
    status = reader.Take(p, error);
    pos += used;
    if (status == MilterReplyStatus::Bad) break;
  }
  return status;
}

MilterOptions AllActions() {
  MilterOptions o;
  o.Version = 6;
  o.Actions = kMilterActionsOffered;
  return o;
}

TEST(MilterReplies, EveryModificationAtTheEndOfTheMessage) {
  MilterReplyReader r(MilterReplyContext::EndOfMessage, AllActions(), 100);
  std::string wire = Pkt('h', std::string("X-A\0v\0", 6)) +
                     Pkt('i', U32(0) + std::string("X-B\0w\0", 6)) +
                     Pkt('m', U32(2) + std::string("Received\0\0", 10)) +
                     Pkt('e', std::string("<s@x>\0SIZE=1\0", 13)) +
                     Pkt('+', std::string("<a@x>\0", 6)) +
                     Pkt('2', std::string("<b@x>\0NOTIFY=NEVER\0", 19)) +
                     Pkt('-', std::string("<c@x>\0", 6)) + Pkt('b', "new ") + Pkt('b', "body") +
                     Pkt('q', std::string("spam\0", 5)) + Pkt('p', "") + Pkt('c', "");
  std::string error;
  ASSERT_EQ(Feed(r, wire, &error), MilterReplyStatus::Done) << error;
  const MilterChanges &c = r.Changes;
  ASSERT_EQ(c.Text.Headers.size(), 3u);
  EXPECT_EQ(c.Text.Headers[1].Op, MilterHeaderOp::Insert);
  EXPECT_EQ(c.Text.Headers[2].Index, 2u);
  EXPECT_TRUE(c.Text.Headers[2].Value.empty());
  EXPECT_EQ(c.Sender, "<s@x>");
  EXPECT_EQ(c.SenderParameters, "SIZE=1");
  ASSERT_EQ(c.AddedRecipients.size(), 2u);
  EXPECT_EQ(c.AddedRecipients[1].Parameters, "NOTIFY=NEVER");
  EXPECT_EQ(c.DeletedRecipients, std::vector<std::string>{"<c@x>"});
  EXPECT_EQ(c.Text.Body, "new body");
  EXPECT_EQ(c.QuarantineReason, "spam");
  EXPECT_EQ(MilterAddressOf(" <s@x> "), "s@x");
}

TEST(MilterReplies, AnswersWhereTheyAreAllowed) {
  struct Case {
    MilterReplyContext Context;
    std::string Wire;
    MilterReplyStatus Status;
    MilterAnswer Answer;
  } cases[] = {
      {MilterReplyContext::Connection, Pkt('a', ""), MilterReplyStatus::Done, MilterAnswer::Accept},
      {MilterReplyContext::Transaction, Pkt('r', ""), MilterReplyStatus::Done, MilterAnswer::Reject},
      {MilterReplyContext::Transaction, Pkt('t', ""), MilterReplyStatus::Done, MilterAnswer::TempFail},
      {MilterReplyContext::Transaction, Pkt('d', ""), MilterReplyStatus::Done, MilterAnswer::Discard},
      {MilterReplyContext::Transaction, Pkt('4', ""), MilterReplyStatus::Done, MilterAnswer::Shutdown},
      {MilterReplyContext::Body, Pkt('s', ""), MilterReplyStatus::Done, MilterAnswer::Skip},
      {MilterReplyContext::Transaction, Pkt('p', ""), MilterReplyStatus::Progress, MilterAnswer::Continue},
      // Garbage: each is a protocol error, never anything else.
      {MilterReplyContext::Connection, Pkt('d', ""), MilterReplyStatus::Bad, MilterAnswer::Continue},
      {MilterReplyContext::Transaction, Pkt('s', ""), MilterReplyStatus::Bad, MilterAnswer::Continue},
      {MilterReplyContext::Transaction, Pkt('h', std::string("X\0v\0", 4)), MilterReplyStatus::Bad,
       MilterAnswer::Continue},
      {MilterReplyContext::Transaction, Pkt('Z', ""), MilterReplyStatus::Bad, MilterAnswer::Continue},
      {MilterReplyContext::Transaction, Pkt('c', "") + Pkt('c', ""), MilterReplyStatus::Bad,
       MilterAnswer::Continue},
      {MilterReplyContext::EndOfMessage, Pkt('h', std::string("Bad Name\0v\0", 11)),
       MilterReplyStatus::Bad, MilterAnswer::Continue},
      {MilterReplyContext::EndOfMessage, Pkt('h', std::string("X\0a\rb\0", 6)),
       MilterReplyStatus::Bad, MilterAnswer::Continue},
      {MilterReplyContext::EndOfMessage, Pkt('h', std::string("X\0v", 3)), MilterReplyStatus::Bad,
       MilterAnswer::Continue},
      {MilterReplyContext::EndOfMessage, Pkt('i', "\0\0"), MilterReplyStatus::Bad,
       MilterAnswer::Continue},
      {MilterReplyContext::EndOfMessage, Pkt('+', std::string("<a@x>\r\nRecipient: y\0", 20)),
       MilterReplyStatus::Bad, MilterAnswer::Continue},
      {MilterReplyContext::EndOfMessage, Pkt('-', std::string("\0", 1)), MilterReplyStatus::Bad,
       MilterAnswer::Continue},
      {MilterReplyContext::EndOfMessage, Pkt('b', std::string(101, 'x')), MilterReplyStatus::Bad,
       MilterAnswer::Continue},
  };
  for (const Case &c : cases) {
    MilterReplyReader r(c.Context, AllActions(), 100);
    std::string error;
    EXPECT_EQ(Feed(r, c.Wire, &error), c.Status) << c.Wire;
    if (c.Status == MilterReplyStatus::Done) {
      EXPECT_EQ(r.Answer, c.Answer) << c.Wire;
    }
    if (c.Status == MilterReplyStatus::Bad) {
      EXPECT_FALSE(error.empty()) << c.Wire;
    }
  }
  // Only what was negotiated, and only so much of it.
  MilterOptions headersOnly = AllActions();
  headersOnly.Actions = kMilterActAddHeaders;
  MilterReplyReader r(MilterReplyContext::EndOfMessage, headersOnly, 100);
  std::string error;
  EXPECT_EQ(Feed(r, Pkt('-', std::string("<a@x>\0", 6)), &error), MilterReplyStatus::Bad);
  MilterReplyReader flood(MilterReplyContext::EndOfMessage, AllActions(), 100);
  std::string many;
  for (size_t i = 0; i <= kMaxMilterModifications; ++i) many += Pkt('h', std::string("X\0v\0", 4));
  EXPECT_EQ(Feed(flood, many, &error), MilterReplyStatus::Bad);
  EXPECT_EQ(error, "too many modifications");
}

TEST(MilterReplies, ReplyCodesAreCheckedAndCleaned) {
  struct Case {
    std::string Text;
    std::string Reply;   // "" when refused
    bool TempFail;
  } cases[] = {
      {"550 5.7.1 No thanks", "550 5.7.1 No thanks\r\n", false},
      {"451-4.7.1 first\r\n451 4.7.1 100%% second", "451-4.7.1 first\r\n451 4.7.1 100% second\r\n", true},
      {"550 tab\there \x01 \xff", "550 tab here ? ?\r\n", false},
      {"550", "550\r\n", false},
      {"250 fine", "", false},
      {"55x nope", "", false},
      {"550-a\r\n551 b", "", false},
      {"550 a\r\n550 b", "", false},
      {"550-a", "", false},
      {"550x", "", false},
      {"", "", false},
  };
  for (const Case &c : cases) {
    std::string reply, error;
    bool tempFail = false;
    bool ok = ParseMilterReplyText(c.Text, &reply, &tempFail, &error);
    EXPECT_EQ(ok ? reply : "", c.Reply) << c.Text;
    if (ok) {
      EXPECT_EQ(tempFail, c.TempFail) << c.Text;
    }
  }
  MilterReplyReader r(MilterReplyContext::Transaction, AllActions(), 0);
  std::string error;
  ASSERT_EQ(Feed(r, Pkt('y', std::string("421 4.3.0 busy\0", 15)), &error), MilterReplyStatus::Done);
  EXPECT_EQ(r.Answer, MilterAnswer::TempFail);
  EXPECT_EQ(r.Reply, "421 4.3.0 busy\r\n");
}

// A reply longer than the reply lines allow is broken and cut at line ends
// and stays one valid reply: every line within the limit, one code, the
// continuation marks right, the enhanced code on every line.
TEST(MilterReplies, LongRepliesAreBrokenAtLineEnds) {
  std::string words;
  for (int i = 0; i < 150; ++i) words += " word" + std::to_string(i);
  std::string many;
  for (int i = 0; i < 40; ++i) many += "550-5.7.1 line " + std::to_string(i) + "\r\n";
  many += "550 5.7.1 end";
  for (const std::string &text : {"550 5.7.1" + words, "550 " + std::string(1200, 'x'), many,
                                  "451-4.7.0 short\r\n451 4.7.0" + words}) {
    std::string reply, error;
    bool tempFail = false;
    ASSERT_TRUE(ParseMilterReplyText(text, &reply, &tempFail, &error)) << error;
    std::vector<std::string> lines;
    for (size_t at = 0; at < reply.size();) {
      size_t end = reply.find("\r\n", at);
      ASSERT_NE(end, std::string::npos) << reply;
      lines.push_back(reply.substr(at, end - at));
      at = end + 2;
    }
    ASSERT_GT(lines.size(), 1u) << text.substr(0, 40);
    EXPECT_LE(lines.size(), kMaxMilterReplyLines);
    for (size_t i = 0; i < lines.size(); ++i) {
      EXPECT_LE(lines[i].size(), kMaxMilterReplyLine);
      EXPECT_EQ(lines[i].substr(0, 3), text.substr(0, 3));
      EXPECT_EQ(lines[i][3], i + 1 < lines.size() ? '-' : ' ') << lines[i];
      if (text.find("5.7.1") != std::string::npos) {
        EXPECT_EQ(lines[i].substr(4, 6), "5.7.1 ");
      }
    }
  }
  // Nothing of a broken line's text is lost.
  std::string reply, error;
  bool tempFail = false;
  ASSERT_TRUE(ParseMilterReplyText("550 5.7.1" + words, &reply, &tempFail, &error));
  EXPECT_NE(reply.find(" word149\r\n"), std::string::npos);
  EXPECT_NE(reply.find("\r\n550 5.7.1 word"), std::string::npos);
}

TEST(MilterReplies, ReplyCodePacket) {
  MilterReplyReader r(MilterReplyContext::Transaction, AllActions(), 0);
  std::string error;
  ASSERT_EQ(Feed(r, Pkt('y', std::string("421 4.3.0 busy\0", 15)), &error), MilterReplyStatus::Done);
  EXPECT_EQ(r.Answer, MilterAnswer::TempFail);
  EXPECT_EQ(r.Reply, "421 4.3.0 busy\r\n");
}

TEST(MilterWire, PacketsNegotiationAndAddresses) {
  MilterPacket p;
  size_t used = 0;
  EXPECT_EQ(TakeMilterPacket(std::string("\0\0\0", 3), &p, &used), MilterPacketStatus::Incomplete);
  EXPECT_EQ(TakeMilterPacket(std::string("\0\0\0\0c", 5), &p, &used), MilterPacketStatus::Bad);
  EXPECT_EQ(TakeMilterPacket(U32(kMaxMilterReplyPacket + 1), &p, &used), MilterPacketStatus::Bad);
  EXPECT_EQ(TakeMilterPacket(U32(3) + "cx", &p, &used), MilterPacketStatus::Incomplete);
  const std::string two = U32(2) + "cxy";
  ASSERT_EQ(TakeMilterPacket(two, &p, &used), MilterPacketStatus::Packet);
  EXPECT_EQ(p.Data, "x");
  EXPECT_EQ(used, 6u);

  MilterOptions o;
  std::string error;
  EXPECT_FALSE(ParseMilterNegotiation(U32(6) + U32(0), &o, &error));
  EXPECT_FALSE(ParseMilterNegotiation(U32(1) + U32(0) + U32(0), &o, &error));
  ASSERT_TRUE(ParseMilterNegotiation(U32(6) + U32(0xFFFFFFFF) + U32(0xFFFFFFFF) + "macros", &o, &error));
  EXPECT_EQ(o.Actions, kMilterActionsOffered);
  EXPECT_EQ(o.Protocol, kMilterProtocolOffered);

  IpAddress v4, v6;
  ASSERT_TRUE(ParseAddress("192.0.2.1", &v4));
  ASSERT_TRUE(ParseAddress("2001:db8::1", &v6));
  EXPECT_EQ(MilterConnectPacket("h", v4, 25), Pkt('C', std::string("h\0" "4\0\x19" "192.0.2.1\0", 15)));
  EXPECT_EQ(MilterConnectPacket("h", v6, 25), Pkt('C', std::string("h\0" "6\0\x19" "2001:db8::1\0", 17)));
  EXPECT_EQ(MilterConnectPacket(std::string("a\0b", 3), IpAddress(), 0), Pkt('C', std::string("a\0U", 3)));
  EXPECT_EQ(MilterEnvelopePacket('M', "s@x", {"SIZE=10"}), Pkt('M', std::string("<s@x>\0SIZE=10\0", 14)));
  EXPECT_EQ(MilterHeaderPacket("N", std::string(100000, 'v')).size(), 4 + 1 + kMaxMilterCommandData);

  struct Entry {
    const char *Text;
    bool Ok;
  } entries[] = {
      {"inet:127.0.0.1:8891", true}, {"inet:filter.example:10025", true},
      {"inet6:[::1]:8891", true},    {"unix:/run/opendkim/opendkim.sock", true},
      {"inet:127.0.0.1", false},     {"inet:127.0.0.1:0", false},
      {"inet:127.0.0.1:65536", false}, {"inet:bad host:25", false},
      {"inet6:::1:8891", false},     {"inet6:[127.0.0.1]:25", false},
      {"unix:relative", false},      {"local:/x", false},
      {"unix:/x\ny", false},         {"inet:h:25x", false},
  };
  for (const Entry &e : entries) {
    MilterAddress a;
    EXPECT_EQ(ParseMilterAddress(e.Text, &a), e.Ok) << e.Text;
  }
}

TEST(MilterConfig, LoadedFromTheRegistryWithBadEntriesReported) {
  RegKey key;
  ASSERT_EQ(RegCreateKeyEx(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Services\\MILTEST",
                           KEY_ALL_ACCESS, key.out(), nullptr), 0);
  MilterSettings s;
  LoadMilterSettings(key.get(), &s);   // nothing set: the defaults
  EXPECT_FALSE(s.Enabled());
  EXPECT_EQ(s.ContentTimeoutMs, 300000u);
  EXPECT_EQ(s.DefaultAction, MilterDefaultAction::TempFail);
  std::string list = std::string("inet:127.0.0.1:8891\0bogus:entry\0unix:/run/f.sock\0", 49) + '\0';
  ASSERT_EQ(RegSetValueEx(key.get(), kMiltersValue, REG_MULTI_SZ, list.data(), list.size()), 0);
  DWORD zero = 0, big = 100000;
  ASSERT_EQ(RegSetValueEx(key.get(), kMilterCommandTimeoutValue, REG_DWORD, &zero, 4), 0);
  ASSERT_EQ(RegSetValueEx(key.get(), kMilterContentTimeoutValue, REG_DWORD, &big, 4), 0);
  ASSERT_EQ(RegSetValueEx(key.get(), kMilterDefaultActionValue, REG_SZ, "Accept", 7), 0);
  LoadMilterSettings(key.get(), &s);
  ASSERT_EQ(s.Filters.size(), 2u);
  EXPECT_EQ(s.Filters[1].Path, "/run/f.sock");
  EXPECT_EQ(s.CommandTimeoutMs, 1000u);
  EXPECT_EQ(s.ContentTimeoutMs, kMaxMilterTimeout * 1000);
  EXPECT_EQ(s.DefaultAction, MilterDefaultAction::Accept);
  ASSERT_EQ(RegSetValueEx(key.get(), kMilterDefaultActionValue, REG_SZ, "maybe", 6), 0);
  LoadMilterSettings(key.get(), &s);
  EXPECT_EQ(s.DefaultAction, MilterDefaultAction::TempFail);
  std::string events = Slurp(EventLogPath());
  for (const char *part : {"The setting Milters has an entry that is not valid: \"bogus:entry\"",
                           "MilterDefaultAction has an entry that is not valid: \"maybe\""})
    EXPECT_NE(events.find(part), std::string::npos) << part;
}

}  // namespace
