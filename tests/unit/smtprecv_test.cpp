// The receiver's command layer and parsers: SMTP paths, the relay policy
// and the recipient limit, the DATA stream (end marker, line ends, header
// split, limits), the header search, ESMTP (EHLO, parameters, submission,
// the AUTH exchanges, STARTTLS's reset, the Received line) and the SASL
// decoders AUTH stands on.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "ZELRECV/backupmx.h"
#include "ZELRECV/msgaccept.h"
#include "ZELRECV/recvcfg.h"
#include "ZELRECV/smtpauth.h"
#include "ZELRECV/smtpdata.h"
#include "ZELRECV/smtpdlg.h"
#include "common/aliasmap.h"
#include "common/sasl.h"
#include "common/service.h"
#include "common/zel.h"
#include "net/localhost.h"
#include "platform/accounts.h"
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
  bool eightBit = false;
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
  f.eightBit = data.bEightBit;
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
TEST(DataStream, EightBitBytesAreNoted) {
  EXPECT_FALSE(Feed("S: a\r\n\r\nplain\r\n.\r\n").eightBit);
  EXPECT_TRUE(Feed("S: caf\xc3\xa9\r\n\r\nb\r\n.\r\n").eightBit);
  EXPECT_TRUE(Feed("S: a\r\n\r\n" + std::string(100000, 'b') + "\xff\r\n.\r\n").eightBit);
  // What follows the end marker is the next command's, not the text's.
  EXPECT_FALSE(Feed("S: a\r\n\r\nb\r\n.\r\nNOOP \xe9\r\n").eightBit);
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
    MaxMessageSize = kDefaultMaxMessageSize;
    EsmtpEnabled = true;
    MaxPreTransactionCommands = kDefaultMaxPreTransactionCommands;
    SubmissionAnySender = false;
    LocalUserAliasMap.clear();
  }

  // A record for a client at peer on a listener of kind.
  static void Open(_SmtpDialogue &dlg, const char *peer, int kind = kListenerSmtp) {
    IpAddress a;
    EXPECT_TRUE(ParseAddress(peer, &a));
    InitSmtpDialogue(dlg, "zeltest.example.test", a, kind);
  }

  // The reply to each line of dlg's dialogue.
  static std::vector<std::string> Run(_SmtpDialogue &dlg, const std::vector<std::string> &lines) {
    std::vector<std::string> replies;
    for (const std::string &line : lines) {
      memcpy(dlg.Line, line.data(), line.size() + 1);
      dlg.LineLength = line.size();
      SmtpCommand(dlg);
      replies.push_back(dlg.Reply);
    }
    return replies;
  }

  // The reply to each line, each in a transaction of its own (behind RSET).
  static std::vector<std::string> Each(_SmtpDialogue &dlg, const std::vector<std::string> &lines) {
    std::vector<std::string> replies;
    for (const std::string &line : lines) replies.push_back(Run(dlg, {"RSET", line})[1]);
    return replies;
  }

  // The reply to each line, from a client at peer.
  std::vector<std::string> Replies(const char *peer, const std::vector<std::string> &lines,
                                   int kind = kListenerSmtp) {
    _SmtpDialogue dlg;
    Open(dlg, peer, kind);
    return Run(dlg, lines);
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

// A backup exchanger takes its domains' mail from anyone: unverified for
// BackupMxDomains, for BackupMxVerifiedDomains only the site's users (found
// with a mail host), and a directory that cannot answer is a 451, never a 550.
bool FakeSiteDirectory(const std::string &name, AccountFound &found) {
  if (name == "down") {
    SetLastError(ERROR_ACCESS_DENIED);
    return false;
  }
  if (name != "joe" && name != "alias@site.example" && name != "local") {
    SetLastError(ERROR_NONE_MAPPED);
    return false;
  }
  found.MailHost = name == "local" ? "" : "mh1.site.example";   // "local": a host account
  return true;
}

TEST_F(SmtpCommands, BackupExchangerDomains) {
  BackupMxFindUser = FakeSiteDirectory;
  BackupMxDomains = {"Open.Example"};
  BackupMxVerifiedDomains = {"site.example"};
  _SmtpDialogue dlg;
  Open(dlg, "127.0.0.9");   // no relay client
  EXPECT_EQ(Each(dlg, {"RCPT TO:<anyone@open.example>", "RCPT TO:<joe@SITE.example>",
                       "RCPT TO:<alias@site.example>", "RCPT TO:<nobody@site.example>",
                       "RCPT TO:<local@site.example>", "RCPT TO:<down@site.example>",
                       "RCPT TO:<joe@sub.site.example>"}),
            (std::vector<std::string>{
                "250 anyone@open.example OK\r\n", "250 joe@site.example OK\r\n",
                "250 alias@site.example OK\r\n", "550 User 'nobody@site.example' not known\r\n",
                "550 User 'local@site.example' not known\r\n", kBackupMxTryLater,
                "551 User not local: try <joe@sub.site.example>\r\n"}));
  // Taken as mail for another domain: the agent sends it on.
  Run(dlg, {"RSET", "RCPT TO:<joe@site.example>"});
  ASSERT_EQ(dlg.Recipients.size(), 1u);
  EXPECT_FALSE(dlg.Recipients[0].bLocal);
  BackupMxDomains.clear();
  BackupMxVerifiedDomains.clear();
  BackupMxFindUser = FindAccountByName;
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

TEST(Sasl, Base64AndPlainRefuseWhatIsNotTheirs) {
  struct Case {
    const char *text;
    bool ok;
    std::string decoded;
  } cases[] = {
      {"", true, ""},
      {"AGFsaWNlAHMzY3JldA==", true, std::string("\0alice\0s3cret", 13)},
      {"AGFsaWNlAHMzY3JldA", true, std::string("\0alice\0s3cret", 13)},   // padding left out
      {"YQ==", true, "a"},
      {"YWI=", true, "ab"},
      {"YR==", false, ""},        // bits that another text would decode alike
      {"Y", false, ""},           // no whole byte
      {"YQ=", false, ""},         // padding where it does not belong
      {"YQ===", false, ""},
      {"Y Q==", false, ""},
      {"YQ==YQ==", false, ""},
      {"*", false, ""},
  };
  for (const Case &c : cases) {
    std::string out = "stale";
    EXPECT_EQ(Base64Decode(c.text, out), c.ok) << c.text;
    EXPECT_EQ(out, c.decoded) << c.text;
  }
  for (std::string s : {"", "a", "ab", "abc", "\xff\x00\x10 binary"}) {
    std::string back;
    ASSERT_TRUE(Base64Decode(Base64Encode(s), back));
    EXPECT_EQ(back, s);
  }

  std::string z, c, p;
  EXPECT_TRUE(ParseSaslPlain(std::string("\0alice\0pw", 9), z, c, p));
  EXPECT_EQ(z + "|" + c + "|" + p, "|alice|pw");
  EXPECT_TRUE(ParseSaslPlain(std::string("bob\0alice\0", 10), z, c, p));
  EXPECT_EQ(z + "|" + c + "|" + p, "bob|alice|");
  for (std::string bad : {std::string("alice"), std::string("\0alice", 6),
                          std::string("\0\0pw", 4), std::string("\0a\0b\0c", 6)}) {
    EXPECT_FALSE(ParseSaslPlain(bad, z, c, p)) << bad.size();
    EXPECT_EQ(z + c + p, "");
  }
}

// EHLO lists what the connection offers now; HELO stays the classic
// dialogue; Esmtp 0 gives EHLO the old 500 on PortNo alone.
TEST_F(SmtpCommands, EhloListsTheExtensionsOfTheConnection) {
  auto ehlo = [](const std::vector<std::string> &ext) {
    std::string r = "250-zeltest.example.test\r\n";
    for (size_t i = 0; i < ext.size(); ++i) r += (i + 1 < ext.size() ? "250-" : "250 ") + ext[i] + "\r\n";
    return r;
  };
  const std::vector<std::string> base = {"PIPELINING", "SIZE 52428800", "8BITMIME"};
  auto with = [&](std::vector<std::string> more) {
    std::vector<std::string> all = base;
    all.insert(all.end(), more.begin(), more.end());
    return ehlo(all);
  };
  EXPECT_EQ(Replies("192.0.2.9", {"EHLO c"})[0], ehlo(base));
  EXPECT_EQ(Replies("127.0.0.1", {"ehlo c"})[0], ehlo(base));   // no AUTH on PortNo
  EXPECT_EQ(Replies("127.0.0.1", {"EHLO c"}, kListenerSubmission)[0], with({"AUTH PLAIN LOGIN"}));
  EXPECT_EQ(Replies("192.0.2.9", {"EHLO c"}, kListenerSubmission)[0], ehlo(base));

  _SmtpDialogue dlg;
  Open(dlg, "192.0.2.9", kListenerSubmission);
  dlg.bCanStartTls = true;
  EXPECT_EQ(Run(dlg, {"EHLO c"})[0], with({"STARTTLS"}));
  dlg.bCanStartTls = false;
  dlg.bEncrypted = true;
  EXPECT_EQ(Run(dlg, {"EHLO c"})[0], with({"AUTH PLAIN LOGIN"}));

  MaxMessageSize = 0;
  EXPECT_EQ(Replies("192.0.2.9", {"EHLO c"})[0], ehlo({"PIPELINING", "SIZE", "8BITMIME"}));
  EsmtpEnabled = false;
  const std::string unknown = "500 Unknown or unimplemented command\r\n";
  EXPECT_EQ(Replies("192.0.2.9", {"EHLO c", "STARTTLS", "AUTH PLAIN", "HELO c"}),
            (std::vector<std::string>{unknown, unknown, unknown, "250 OK\r\n"}));
  EXPECT_EQ(Replies("127.0.0.1", {"EHLO c"}, kListenerSubmission)[0],
            ehlo({"PIPELINING", "SIZE", "8BITMIME", "AUTH PLAIN LOGIN"}));
}

TEST_F(SmtpCommands, ParametersAfterEhloOnlyAndTheSizeAtOnce) {
  MaxMessageSize = 1000;
  const std::string unsupported = "555 Unsupported parameter\r\n";
  const std::string syntax = "501 Syntax error in parameters\r\n";
  std::vector<std::string> lines = {
      "MAIL FROM:<a@b> SIZE=1000 BODY=7BIT",    "MAIL FROM:<a@b> SIZE=1001",
      "MAIL FROM:<a@b> size=99999999999999999999999", "MAIL FROM:<a@b> SIZE=12x",
      "MAIL FROM:<a@b> BODY=BINARYMIME",        "MAIL FROM:<a@b> XFOO=1",
      "MAIL FROM:<a@b> AUTH=<>",                "RCPT TO:<user> NOTIFY=NEVER",
      "RCPT TO:<user>  ",                       "MAIL FROM:<a@b> body=8bitmime",
  };
  std::vector<std::string> esmtp = {
      "250 a@b OK\r\n", "552 Message exceeds fixed maximum message size\r\n",
      "552 Message exceeds fixed maximum message size\r\n", syntax, unsupported, unsupported,
      unsupported, unsupported, "250 user OK\r\n", "250 a@b OK\r\n"};
  _SmtpDialogue dlg;
  Open(dlg, "127.0.0.1");
  Run(dlg, {"EHLO c"});
  EXPECT_EQ(Each(dlg, lines), esmtp);
  EXPECT_TRUE(dlg.b8Bit);
  // After HELO parameters are ignored, as they always were.
  Run(dlg, {"HELO c"});
  EXPECT_FALSE(dlg.b8Bit);
  for (const std::string &reply : Each(dlg, lines)) EXPECT_EQ(reply.substr(0, 4), "250 ") << reply;
  EXPECT_FALSE(dlg.b8Bit);
}

// On the submission ports nothing is taken before AUTH, and AUTH needs
// EHLO and, from outside RelayClients, TLS.
TEST_F(SmtpCommands, SubmissionTakesNoMailBeforeAuth) {
  const std::string required = "530 Authentication required\r\n";
  EXPECT_EQ(Replies("127.0.0.1", {"AUTH PLAIN", "EHLO c", "MAIL FROM:<a@b>", "RCPT TO:<user>",
                                  "DATA", "VRFY user", "AUTH CRAM-MD5"},
                    kListenerSubmission),
            (std::vector<std::string>{"503 You must send an EHLO command first\r\n",
                                      Replies("127.0.0.1", {"EHLO c"}, kListenerSubmission)[0],
                                      required, required, required,
                                      "250 User assumed to be local\r\n",
                                      "504 Unrecognized authentication type\r\n"}));
  EXPECT_EQ(Replies("192.0.2.9", {"EHLO c", "AUTH PLAIN"}, kListenerSubmission)[1],
            "538 Encryption required\r\n");
  EXPECT_EQ(Replies("127.0.0.1", {"EHLO c", "AUTH PLAIN"})[1],
            "500 Unknown or unimplemented command\r\n");
}

namespace {

// The logon pool's answer, as SmtpLogonAnswered finds it.
void Answer(_SmtpDialogue &dlg, bool ok) {
  dlg.Logon.bLoggedOn = ok;
  dlg.Logon.Error = ok ? ERROR_SUCCESS : ERROR_LOGON_FAILURE;
  SmtpLogonAnswered(dlg);
}

}  // namespace

TEST_F(SmtpCommands, AuthExchangesHandTheCredentialsToThePool) {
  struct Case {
    std::vector<std::string> lines;   // the last one hands the job over
    std::vector<std::string> prompts; // the replies before it
    std::string name, password;
  } cases[] = {
      {{"AUTH PLAIN AGFsaWNlAHMzY3JldA=="}, {}, "alice", "s3cret"},
      {{"AUTH plain", "AGFsaWNlAHMzY3JldA=="}, {"334 \r\n"}, "alice", "s3cret"},
      {{"AUTH PLAIN YWxpY2UAYWxpY2UAcHc="}, {}, "alice", "pw"},   // authzid = authcid
      {{"AUTH PLAIN Ym9iAGFsaWNlAHB3"}, {}, "", "pw"},             // acting for bob: no name
      {{"AUTH PLAIN YWxpY2U="}, {}, "", ""},                        // not three fields
      {{"AUTH PLAIN ="}, {}, "", ""},
      {{"AUTH LOGIN", "YWxpY2U=", "czNjcmV0"},
       {"334 VXNlcm5hbWU6\r\n", "334 UGFzc3dvcmQ6\r\n"}, "alice", "s3cret"},
      {{"AUTH LOGIN YWxpY2U=", "czNjcmV0"}, {"334 UGFzc3dvcmQ6\r\n"}, "alice", "s3cret"},
  };
  for (const Case &c : cases) {
    _SmtpDialogue dlg;
    Open(dlg, "127.0.0.1", kListenerSubmission);
    Run(dlg, {"EHLO c"});
    std::vector<std::string> replies = Run(dlg, c.lines);
    replies.pop_back();
    EXPECT_EQ(replies, c.prompts) << c.lines[0];
    EXPECT_EQ(dlg.State, kStateLogon) << c.lines[0];
    EXPECT_EQ(dlg.Reply, "");
    EXPECT_EQ(dlg.Logon.Name, c.name) << c.lines[0];
    EXPECT_EQ(dlg.Logon.Password, c.password) << c.lines[0];
    // Nothing of the credentials is left in the line buffer.
    EXPECT_EQ(std::string(dlg.Line, dlg.LineLength), std::string(dlg.LineLength, '\0'));
  }
  const std::string cancelled = "501 Authentication cancelled\r\n";
  const std::string bad = "501 Invalid base64 data\r\n";
  EXPECT_EQ(Replies("127.0.0.1", {"EHLO c", "AUTH LOGIN", "*", "AUTH PLAIN", "*", "AUTH PLAIN !",
                                  "AUTH LOGIN", "YWxpY2U=", "%%", "NOOP"},
                    kListenerSubmission),
            (std::vector<std::string>{
                Replies("127.0.0.1", {"EHLO c"}, kListenerSubmission)[0],
                "334 VXNlcm5hbWU6\r\n", cancelled, "334 \r\n", cancelled, bad,
                "334 VXNlcm5hbWU6\r\n", "334 UGFzc3dvcmQ6\r\n", bad, "250 OK\r\n"}));
}

TEST_F(SmtpCommands, AuthOutcomeRelayAndTheThirdFailure) {
  _SmtpDialogue dlg;
  Open(dlg, "192.0.2.9", kListenerSubmission);
  dlg.bEncrypted = true;
  Run(dlg, {"EHLO c", "AUTH PLAIN AGFsaWNlAHB3"});
  Answer(dlg, false);
  EXPECT_EQ(dlg.Reply, "535 Authentication failed\r\n");
  EXPECT_EQ(dlg.State, kStateReplyPending);
  Run(dlg, {"AUTH PLAIN AGFsaWNlAHB3"});
  EXPECT_EQ(dlg.Logon.FailuresBefore, 1);
  Answer(dlg, true);
  EXPECT_EQ(dlg.Reply, "235 Authentication successful\r\n");
  EXPECT_EQ(dlg.AuthenticatedName, "alice");
  // An authenticated session relays, from outside RelayClients too.
  EXPECT_EQ(Run(dlg, {"AUTH PLAIN AGFsaWNlAHB3", "MAIL FROM:<alice@mail.example.org> AUTH=<>",
                      "RCPT TO:<x@far.example>", "VRFY x@far.example"}),
            (std::vector<std::string>{"503 Already authenticated\r\n",
                                      "250 alice@mail.example.org OK\r\n",
                                      "250 x@far.example OK\r\n",
                                      "252 User not local, but will relay\r\n"}));
  ProhibitMailRelay = true;   // which still means nobody
  EXPECT_EQ(Run(dlg, {"RCPT TO:<y@far.example>"})[0], "551 User not local: try <y@far.example>\r\n");

  _SmtpDialogue other;
  Open(other, "127.0.0.1", kListenerSubmission);
  Run(other, {"EHLO c"});
  for (int i = 1; i <= kMaxLogonFailures; ++i) {
    Run(other, {"AUTH PLAIN AGFsaWNlAHB3"});
    Answer(other, false);
    EXPECT_EQ(other.State, i == kMaxLogonFailures ? kStateQuitting : kStateReplyPending);
  }
}

// STARTTLS is answered only where it is offered; once the handshake is
// done everything known before is gone, pipelined input included.
TEST_F(SmtpCommands, StartTlsAndTheSessionItForgets) {
  _SmtpDialogue dlg;
  Open(dlg, "127.0.0.1", kListenerSubmission);
  EXPECT_EQ(Run(dlg, {"STARTTLS"})[0], "454 TLS not available\r\n");
  dlg.bCanStartTls = true;
  EXPECT_EQ(Run(dlg, {"STARTTLS now", "EHLO c", "AUTH PLAIN AGFsaWNlAHB3"})[0],
            "501 Syntax error (no parameters allowed)\r\n");
  Answer(dlg, true);
  // Not inside a transaction: the handshake would reset nothing there.
  EXPECT_EQ(Run(dlg, {"MAIL FROM:<>", "RCPT TO:<user>", "STARTTLS"})[2],
            "503 5.5.1 STARTTLS not permitted during a mail transaction\r\n");
  EXPECT_EQ(dlg.Recipients.size(), 1u);
  Run(dlg, {"RSET", "STARTTLS"});
  EXPECT_EQ(dlg.Reply, "220 Ready to start TLS\r\n");
  EXPECT_EQ(dlg.State, kStateStartTls);
  dlg.Pending = "RSET\r\nMAIL FROM:<x>\r\n";
  ForgetSessionForTls(dlg);
  dlg.bEncrypted = true;
  dlg.bCanStartTls = false;
  EXPECT_TRUE(dlg.Pending.empty());
  EXPECT_TRUE(dlg.Recipients.empty());
  std::vector<std::string> replies =
      Run(dlg, {"MAIL FROM:<a@b>", "STARTTLS", "EHLO c", "MAIL FROM:<a@b>"});
  EXPECT_EQ(replies[0], "503 You must send a HELO command first\r\n");
  EXPECT_EQ(replies[1], "503 TLS already started\r\n");
  EXPECT_EQ(replies[3], "530 Authentication required\r\n");
}

// One MAIL per transaction; RSET or an accepted message begins the next.
// Commands other than an accepted MAIL, RCPT or DATA are counted, refused
// ones included; one beyond the limit is not carried out but answered 421,
// and the count starts again when a message is accepted.
TEST_F(SmtpCommands, OneSenderAndACountOfCommands) {
  EXPECT_EQ(Replies("127.0.0.1", {"HELO c", "MAIL FROM:<a@b>", "MAIL FROM:<c@d>", "RSET",
                                  "MAIL FROM:<c@d>"}),
            (std::vector<std::string>{"250 OK\r\n", "250 a@b OK\r\n",
                                      "503 5.5.1 Sender already specified\r\n", "250 OK\r\n",
                                      "250 c@d OK\r\n"}));
  MaxPreTransactionCommands = 4;
  const std::string tooMany = "421 4.7.0 Too many commands\r\n";
  _SmtpDialogue dlg;
  Open(dlg, "127.0.0.9");
  std::vector<std::string> replies = Run(dlg, {"HELO c", "MAIL FROM:<a@b>", "RCPT TO:<user>",
                                               "RCPT TO:<far@remote.example>", "NOOP", "BOGUS"});
  EXPECT_EQ(replies[3], "551 User not local: try <far@remote.example>\r\n");
  EXPECT_EQ(replies[5], "500 Unknown or unimplemented command\r\n");
  EXPECT_EQ(dlg.CommandsBeforeMessage, 4u);
  MessageAccepted(dlg);
  EXPECT_EQ(Run(dlg, {"RSET", "NOOP", "VRFY user", "."})[1], "250 OK\r\n");
  EXPECT_EQ(Run(dlg, {"RSET"})[0], tooMany);
  EXPECT_EQ(dlg.State, kStateQuitting);
  EXPECT_EQ(dlg.CommandsBeforeMessage, 5u);
  // A refused RCPT as the one too many: refused, and the 421 answers it.
  _SmtpDialogue other;
  Open(other, "127.0.0.9");
  replies = Run(other, {"HELO c", "NOOP", "NOOP", "NOOP", "RCPT TO:<user>",
                        "RCPT TO:<far@remote.example>"});
  EXPECT_EQ(replies[4], "250 user OK\r\n");
  EXPECT_EQ(replies[5], tooMany);
  EXPECT_EQ(other.Recipients.size(), 1u);
}

// Submission: a user sends as an address that delivers to it, as local
// delivery resolves it (postmaster, aliases applied once, any local
// domain), or as the null sender; an accounts-file name compares without
// regard to case, a host account's exactly.
TEST_F(SmtpCommands, SubmissionSendersOwnedByTheUser) {
  LocalUserAliasMap = {{"sales", "alice"}, {"fwd*", "*@remote.example"}, {"al", "bob"}};
  std::string postmaster = Postmaster;
  Postmaster = "alice";
  struct Case {
    const char *sender;
    bool owned, ownedByHostAccount;
  } cases[] = {
      {"", true, true},
      {"alice@zeltest.example.test", true, true},
      {"ALICE@Mail.Example.Org", true, false},
      {"alice", true, true},
      {"\"alice\"@mail.example.org", true, true},
      {"sales@mail.example.org", true, true},
      {"postmaster@zeltest.example.test", true, true},
      {"bob@mail.example.org", false, false},
      {"alice@remote.example", false, false},
      {"fwdalice@mail.example.org", false, false},
      {"al@mail.example.org", false, false},
  };
  for (bool host : {false, true}) {
    for (const Case &c : cases) {
      _SmtpDialogue dlg;
      Open(dlg, "192.0.2.9", kListenerSubmission);
      dlg.bAuthenticated = true;
      dlg.AuthenticatedName = "alice";
      dlg.bAuthHostAccount = host;
      bool owned = host ? c.ownedByHostAccount : c.owned;
      std::string mail = std::string("MAIL FROM:<") + c.sender + ">";
      std::string reply = Run(dlg, {"EHLO c", mail})[1];
      EXPECT_EQ(reply, owned ? "250 " + std::string(c.sender) + " OK\r\n"
                             : "553 5.7.1 Sender address not owned by user\r\n")
          << c.sender << " host " << host;
      SubmissionAnySender = true;
      EXPECT_EQ(Run(dlg, {"RSET", mail})[1].substr(0, 4), "250 ") << c.sender;
      SubmissionAnySender = false;
    }
  }
  Postmaster = postmaster;
}

TEST_F(SmtpCommands, ReceivedLineNamesProtocolTlsAndAddress) {
  struct Case {
    const char *peer;
    bool esmtp, tls, auth;
    std::string client, comment, protocol;
  } cases[] = {
      {"192.0.2.9", false, false, false, "[192.0.2.9]", " ", "SMTP"},
      {"192.0.2.9", true, false, false, "[192.0.2.9]", " ", "ESMTP"},
      {"2001:db8::7", true, true, false, "[IPv6:2001:db8::7]",
       "\r\n (using TLSv1.3 with cipher TLS_AES_256_GCM_SHA384)\r\n ", "ESMTPS"},
      {"::ffff:192.0.2.9", true, false, true, "[192.0.2.9]", " ", "ESMTPA"},
      {"::1", true, true, true, "[IPv6:::1]",
       "\r\n (using TLSv1.3 with cipher TLS_AES_256_GCM_SHA384)\r\n ", "ESMTPSA"},
  };
  for (const Case &c : cases) {
    _SmtpDialogue dlg;
    Open(dlg, c.peer);
    dlg.HeloName = "client.example";
    dlg.bEsmtp = c.esmtp;
    dlg.bEncrypted = c.tls;
    dlg.TlsVersion = "TLSv1.3";
    dlg.TlsCipher = "TLS_AES_256_GCM_SHA384";
    dlg.bAuthenticated = c.auth;
    dlg.MessageId = "<B0000000001@zeltest.example.test>";
    EXPECT_EQ(ReceivedLine(dlg, "DATE"),
              "Received: from client.example (unverified " + c.client +
                  ") by zeltest.example.test\r\n (TALVO ZELRECV " + ThisServiceVersion() + ")" +
                  c.comment + "with " + c.protocol +
                  " id <B0000000001@zeltest.example.test>;\r\n DATE\r\n")
        << c.peer;
  }
}
