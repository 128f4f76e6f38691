// The receiver's command layer and parsers: SMTP paths, the relay policy
// and the recipient limit, the DATA stream (end marker, line ends, header
// split, limits), and the header search.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "ZELRECV/msgaccept.h"
#include "ZELRECV/recvcfg.h"
#include "ZELRECV/smtpdata.h"
#include "ZELRECV/smtpdlg.h"
#include "common/zel.h"
#include "net/localhost.h"
#include "platform/registry.h"

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

struct Scanned {
  std::string stored;
  bool ended = false;
  size_t consumed = 0;   // in the whole stream, when ended
};

// Feeds the reads one by one through the scanner.
Scanned Scan(const std::vector<std::string> &reads) {
  DataScanner s;
  Scanned r;
  for (const std::string &in : reads) {
    std::string out(2 * in.size() + kDataHeldBytes, '\0');
    size_t consumed = 0;
    out.resize(ScanData(s, in.data(), in.size(), out.data(), &consumed, &r.ended));
    r.stored += out;
    r.consumed += consumed;
    if (r.ended) break;
  }
  return r;
}

}  // namespace

// Only CR LF "." CR LF ends the data; every other "." line is text and is
// stored so that it reads back as "."; bare LFs are stored as CR LF.
TEST(DataStream, EndMarkerAndLineEnds) {
  struct Case {
    std::string in, stored;
    bool ended;
  } cases[] = {
      {"hello\r\n.\r\n", "hello\r\n.\r\n", true},
      {".\r\n", ".\r\n", true},                          // an empty message
      {"a\r\n.\r\nQUIT\r\n", "a\r\n.\r\n", true},      // a pipelined command behind it
      {"a\r\n..\r\nb\r\n.\r\n", "a\r\n..\r\nb\r\n.\r\n", true},
      {"\r\r\n.\r\n", "\r\r\n.\r\n", true},           // a bare CR is text
      {std::string("a\0\r\n.\r\n", 7), std::string("a\0\r\n.\r\n", 7), true},
      {".\n", "..\r\n", false},
      {"a\n.\n", "a\r\n..\r\n", false},
      {"a\r\n.\n", "a\r\n..\r\n", false},
      {"a\n.\r\n", "a\r\n..\r\n", false},                // the line before ended in a bare LF
      {"a\r.\r\n", "a\r.\r\n", false},
      {"a\r\n.x\r\n", "a\r\n.x\r\n", false},
      {"a\r\n.\r.\r\n", "a\r\n.\r.\r\n", false},
      {"x\ny\n", "x\r\ny\r\n", false},
  };
  for (const Case &c : cases) {
    Scanned r = Scan({c.in});
    EXPECT_EQ(r.stored, c.stored) << c.in;
    EXPECT_EQ(r.ended, c.ended) << c.in;
    if (c.ended) {
      EXPECT_EQ(r.consumed, c.stored.size()) << c.in;
    }
  }
}

// The smuggling pattern: a second message hidden behind "\n.\n" stays text
// of the first, whatever way the reads fall.
TEST(DataStream, EverySplitOfASmugglingAttemptScansAlike) {
  std::string msg = "Subject: x\r\n\r\nline\n.\nMAIL FROM:<a@b>\r\nRCPT TO:<c@d>\r\n"
                    "DATA\r\n\r\nhidden\r\n.\r\nQUIT\r\n";
  std::string stored = "Subject: x\r\n\r\nline\r\n..\r\nMAIL FROM:<a@b>\r\nRCPT TO:<c@d>\r\n"
                       "DATA\r\n\r\nhidden\r\n.\r\n";
  for (size_t cut = 0; cut <= msg.size(); ++cut) {
    Scanned r = Scan({msg.substr(0, cut), msg.substr(cut)});
    EXPECT_EQ(r.stored, stored) << cut;
    EXPECT_EQ(r.consumed, msg.size() - 6) << cut;
  }
  std::vector<std::string> bytes;
  for (char c : msg) bytes.emplace_back(1, c);
  EXPECT_EQ(Scan(bytes).stored, stored);
}

namespace {

// The data of one transaction fed in reads of at most `read` bytes; the
// output buffer is emptied as the receiver's writes would empty it.
struct Fed {
  std::string header, body;
  const char *refusal = nullptr;
  size_t consumed = 0;
};

Fed Feed(const std::string &in, unsigned long long maxSize = 0, size_t read = kDataReadSize) {
  _SmtpData data;
  EXPECT_TRUE(BeginData(data));
  Fed f;
  for (size_t at = 0; at < in.size() && !data.bEnded;) {
    size_t n = std::min({read, DataReadRoom(data), in.size() - at});
    memcpy(data.ReadBuffer.get(), in.data() + at, n);
    size_t consumed = 0;
    TakeDataBytes(data, data.ReadBuffer.get(), n, maxSize, &consumed);
    at += consumed;
    f.consumed = at;
    f.body.append(data.Buffer.get(), data.Used);
    data.Used = 0;
  }
  f.header = data.Header;
  f.refusal = data.Refusal;
  return f;
}

}  // namespace

TEST(DataStream, HeaderHeldUntilItsBlankLine) {
  Fed f = Feed("Subject: a\nX: b\n\nbody\n.\r\n\r\n.\r\nNOOP\r\n");
  EXPECT_EQ(f.header, "Subject: a\r\nX: b\r\n");
  EXPECT_EQ(f.body, "\r\nbody\r\n..\r\n\r\n.\r\n");
  EXPECT_EQ(f.consumed, 30u);
  // Without a blank line the whole data is header; NULs leave the header only.
  f = Feed(std::string("Subject: a\0b\r\nX: y\r\n.\r\n", 25));
  EXPECT_EQ(f.header, "Subject: ab\r\nX: y\r\n.\r\n");
  EXPECT_EQ(f.body, "");
  f = Feed(std::string("S: \0\r\n\r\nb\0dy\r\n.\r\n", 19));
  EXPECT_EQ(f.body, std::string("\r\nb\0dy\r\n.\r\n", 11));
  // A line of "." and NULs does not become a lone "." line.
  f = Feed(std::string("A: 1\r\n.\0\r\n\r\nb\r\n.\r\n", 17));
  EXPECT_EQ(f.header, "A: 1\r\n..\r\n");
  f = Feed(std::string(".\0\r\n.\r\n", 7));
  EXPECT_EQ(f.header, "..\r\n.\r\n");
  f = Feed("\r\nno header\r\n.\r\n");
  EXPECT_EQ(f.header, "");
  // The blank line found wherever the reads cut it.
  std::string msg = "A: 1\r\nB: 2\r\n\r\nbody\r\n.\r\n";
  for (size_t read = 1; read < 8; ++read) {
    f = Feed(msg, 0, read);
    EXPECT_EQ(f.header, "A: 1\r\nB: 2\r\n") << read;
    EXPECT_EQ(f.body, "\r\nbody\r\n.\r\n") << read;
  }
}

TEST(DataStream, LimitsRefuseAndReadOnToTheEnd) {
  std::string bigHeader = "X: " + std::string(kMaxHeaderBytes, 'h') + "\r\n\r\nb\r\n.\r\nQUIT\r\n";
  Fed f = Feed(bigHeader);
  EXPECT_STREQ(f.refusal, kHeaderTooBigReply);
  EXPECT_EQ(f.consumed, bigHeader.size() - 6);
  EXPECT_TRUE(f.header.empty());
  std::string big = "S: x\r\n\r\n" + std::string(200000, 'b') + "\r\n.\r\n";
  f = Feed(big, 100000);
  EXPECT_STREQ(f.refusal, kTooBigReply);
  EXPECT_EQ(f.consumed, big.size());
  EXPECT_LT(f.body.size(), 100000u);   // nothing stored once it was too big
  EXPECT_EQ(Feed(big, big.size()).refusal, nullptr);
}
TEST(HeaderSearch, NamesAtLineStartsIgnoringCase) {
  std::string header = "received: a\r\nReceived: b\r\nX-Received: c\r\nDATE: now\r\n";
  EXPECT_EQ(CountHeaderLines(header, "Received:"), 2);
  EXPECT_TRUE(HeaderPresent(header, "Date:"));
  EXPECT_FALSE(HeaderPresent(header, "Message-ID:"));
  EXPECT_FALSE(HeaderPresent("Subject: Date: x\r\n", "Date:"));
}

namespace {

// A command layer of its own: this host is zeltest.example.test at
// 127.0.0.1, mail.example.org is a local domain, lists.example.org a
// mailing list's, and only 127.0.0.1 may relay.
class SmtpCommands : public testing::Test {
 protected:
  void SetUp() override {
    _IPInfo self;
    self.IPAddr = htonl(0x7f000001);
    self.Name = "zeltest.example.test";
    self.Address = "127.0.0.1";
    LocalHostIPInfo.Entries = {self};
    DomainNamesAreLocal = {"mail.example.org"};
    RegKey list;
    ASSERT_EQ(RegCreateKeyEx(HKEY_LOCAL_MACHINE, "Software\\TALVO\\ZEL\\Lists\\staff",
                             KEY_ALL_ACCESS, list.out(), nullptr), ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueEx(list.get(), "Domain", REG_SZ, "Lists.Example.Org", 18), ERROR_SUCCESS);
    std::vector<std::string> bad;
    ParseNetworkList({"127.0.0.1/32"}, &RelayClientNetworks, &bad);
  }
  void TearDown() override {
    LocalHostIPInfo.Entries.clear();
    DomainNamesAreLocal.clear();
    ProhibitMailRelay = false;
    MaxRecipients = kDefaultMaxRecipients;
  }

  // The reply to each line, from a client at peer.
  std::vector<std::string> Replies(const char *peer, const std::vector<std::string> &lines) {
    IpAddress a;
    EXPECT_TRUE(ParseAddress(peer, &a));
    _SmtpDialogue dlg;
    InitSmtpDialogue(dlg, "zeltest.example.test", a);
    std::vector<std::string> replies;
    for (const std::string &line : lines) {
      memcpy(dlg.Line, line.data(), line.size() + 1);
      dlg.LineLength = line.size();
      SmtpCommand(dlg);
      replies.push_back(dlg.Reply);
    }
    return replies;
  }
};

}  // namespace

TEST_F(SmtpCommands, RelayOnlyForRelayClients) {
  std::vector<std::string> lines = {
      "RCPT TO:<far@remote.example>",          "RCPT TO:<user@zeltest.example.test>",
      "RCPT TO:<user@MAIL.example.org>",       "RCPT TO:<staff@lists.example.org>",
      "RCPT TO:<a%remote.example@zeltest>",    "RCPT TO:<user>",
      "VRFY far@remote.example",               "VRFY user@mail.example.org",
  };
  const std::string local = "250 User assumed to be local\r\n";
  std::vector<std::string> inside = {
      "250 far@remote.example OK\r\n", "250 user@zeltest.example.test OK\r\n",
      "250 user@mail.example.org OK\r\n", "250 staff@lists.example.org OK\r\n",
      "250 a@remote.example OK\r\n", "250 user OK\r\n",
      "252 User not local, but will relay\r\n", local};
  std::vector<std::string> outside = inside;
  outside[0] = "551 User not local: try <far@remote.example>\r\n";
  outside[4] = "551 User not local: try <a@remote.example>\r\n";
  outside[6] = "550 User not local\r\n";
  EXPECT_EQ(Replies("127.0.0.1", lines), inside);
  EXPECT_EQ(Replies("127.0.0.9", lines), outside);
  EXPECT_EQ(Replies("::1", lines), outside);
  ProhibitMailRelay = true;   // nobody relays, not even this computer
  EXPECT_EQ(Replies("127.0.0.1", lines), outside);
}

// CR and LF come together in SMTP: a bare CR ends the command's text, so
// none reaches an address (and from there a recipient file or another
// server) or a reply.
TEST_F(SmtpCommands, BareCrEndsTheCommand) {
  EXPECT_EQ(Replies("127.0.0.1", {"RCPT TO:<a@b\r x>", "MAIL FROM:<s@c\rz>", "HELO c\rd",
                                  "RCPT TO:<far@remote.example\r\xfaMAIL FROM:<x>"}),
            (std::vector<std::string>{"250 a@b OK\r\n",
                                      "503 You must send a HELO command first\r\n", "250 OK\r\n",
                                      "250 far@remote.example OK\r\n"}));
}

TEST_F(SmtpCommands, RecipientsUpToTheLimit) {
  MaxRecipients = 2;
  std::vector<std::string> replies =
      Replies("127.0.0.1", {"RCPT TO:<a>", "RCPT TO:<b>", "RCPT TO:<c>", "DATA"});
  EXPECT_EQ(replies[2], "452 Too many recipients\r\n");
  EXPECT_EQ(replies[3], "354 Ready for data\r\n");
}
