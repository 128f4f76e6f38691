// The SMTP client against a scripted peer on 127.0.0.1: greetings, HELO,
// per-recipient and per-message outcomes, reports, the outlog line, broken
// connections and invalid message files; and its reply and file checks.
#include "ZELDELIV/smtpsend.h"

#include <sys/socket.h>

#include <map>
#include <thread>

#include "common/logging.h"
#include "platform/eventlog.h"
#include "platform/hostres.h"
#include "platform/sockets.h"
#include "platform/sync.h"
#include "tests/unit/delivfixture.h"
#include "tests/unit/dnstest.h"

using namespace delivtest;

namespace {

constexpr uint32_t kLoopback = 0x0100007f;   // 127.0.0.1, network order
constexpr uint32_t kLoopback2 = 0x0200007f;  // 127.0.0.2: nothing listens there
const IpAddress kLoopbackIp = IpV4(kLoopback);
const IpAddress kLoopback2Ip = IpV4(kLoopback2);
constexpr const char *kDrop = "<drop>";      // close instead of answering

// A scripted SMTP peer: answers each command by its verb ("." is the end of
// the data) with the next reply of the script, the last one repeating, or
// a default. As a real server, it refuses RCPT and DATA with 503 after a
// refused MAIL, and DATA with 554 when no recipient was taken (unless the
// script has a DATA reply). Its replies go one per send, all those to one
// receive in one send, or a byte at a time; a slow peer (Pace) waits before
// each reply, or reads the data in pieces with a pause after each. Serves
// connections one after another; stops when destroyed.
struct Pace {
  int replyPauseMs = 0;
  int dataPauseMs = 0;   // after each piece of data read (at most kSlowPiece bytes)
};

class Peer {
 public:
  enum Replies { kPerLine, kJoined, kBytewise };
  static constexpr size_t kSlowPiece = 64 * 1024;
  explicit Peer(std::string greeting = "220 peer ready\r\n",
                std::map<std::string, std::vector<std::string>> script = {},
                Replies replies = kPerLine, Pace pace = {})
      : greeting_(std::move(greeting)), script_(std::move(script)), replies_(replies),
        pace_(pace) {
    listener_ = CreateListener(kLoopback, 0, 4);
    // A small window: what the client sends waits in its own buffers.
    int window = 4096;
    if (pace_.dataPauseMs > 0)
      setsockopt(listener_, SOL_SOCKET, SO_RCVBUF, &window, sizeof window);
    GetLocalAddress(listener_, nullptr, &port_);
    thread_ = std::thread([this] { Run(); });
  }
  ~Peer() { Stop(); }
  // Ends the serving (after the client closed its connection); the
  // records below may be read from then on.
  void Stop() {
    if (!thread_.joinable()) return;
    ShutdownListener(listener_);
    thread_.join();
    CloseSocket(listener_);
  }
  uint16_t Port() const { return port_; }
  // Every command line received, each receive outside the data, and the
  // data of each transaction.
  std::vector<std::string> lines;
  std::vector<std::string> reads;
  std::vector<std::string> data;

 private:
  static constexpr DWORD kWaitMs = 10000;
  static constexpr size_t kBytewisePauses = 300;

  void Run() {
    uint32_t addr = 0;
    for (int fd; (fd = AcceptSocket(listener_, &addr)) >= 0;) {
      Serve(fd);
      CloseSocket(fd);
    }
  }
  std::string Peek(const std::string &verb) {
    auto it = script_.find(verb);
    return it == script_.end() || it->second.empty() ? "" : it->second.front();
  }
  std::string Next(const std::string &verb) {
    static const std::map<std::string, std::string> kDefaults = {
        {"HELO", "250 peer\r\n"}, {"MAIL", "250 ok\r\n"},  {"RCPT", "250 ok\r\n"},
        {"DATA", "354 go\r\n"},   {".", "250 queued\r\n"}, {"RSET", "250 reset\r\n"},
        {"QUIT", "221 bye\r\n"}};
    auto it = script_.find(verb);
    if (it == script_.end() || it->second.empty())
      return kDefaults.count(verb) ? kDefaults.at(verb) : "500 what\r\n";
    std::string reply = it->second.front();
    if (it->second.size() > 1) it->second.erase(it->second.begin());
    return reply;
  }
  bool Send(int fd, const std::string &text) {
    if (replies_ != kBytewise) return SendSocket(fd, text.data(), text.size(), kWaitMs);
    for (size_t i = 0; i < text.size(); ++i) {
      // Uncorking pushes the byte out at once, whatever Nagle would wait
      // for; the pause lets the client read it alone (bounded in time for
      // the long replies).
      SetSocketCork(fd, true);
      if (!SendSocket(fd, &text[i], 1, kWaitMs)) return false;
      SetSocketCork(fd, false);
      if (i < kBytewisePauses) Sleep(1);
    }
    return true;
  }
  // Queues reply (sent with the others of this receive when joined).
  bool Say(int fd, const std::string &reply, std::string &pending) {
    if (reply == kDrop) return false;
    if (pace_.replyPauseMs > 0) Sleep(pace_.replyPauseMs);
    pending += reply;
    return replies_ == kJoined || pending.empty() || Flush(fd, pending);
  }
  bool Flush(int fd, std::string &pending) {
    bool ok = pending.empty() || Send(fd, pending);
    pending.clear();
    return ok;
  }
  std::string Answer(const std::string &verb) {
    if (verb == "MAIL" || verb == "RSET") mail_ = rcpt_ = false;
    if ((verb == "RCPT" || verb == "DATA") && !mail_) return "503 5.5.1 MAIL first\r\n";
    if (verb == "DATA" && !rcpt_ && !script_.count("DATA")) return "554 no valid recipients\r\n";
    std::string reply = Next(verb);
    bool taken = reply.compare(0, 1, "2") == 0;
    if (verb == "MAIL") mail_ = taken;
    if (verb == "RCPT") rcpt_ = rcpt_ || taken;
    return reply;
  }
  void Serve(int fd) {
    std::string pending;
    if (!Say(fd, greeting_, pending) || !Flush(fd, pending)) return;
    std::string buffer;
    bool inData = false;
    std::vector<char> piece(pace_.dataPauseMs > 0 ? kSlowPiece : 4096);
    char *chunk = piece.data();
    for (long n; (n = RecvSocket(fd, chunk, piece.size(), kWaitMs)) > 0;) {
      if (inData && pace_.dataPauseMs > 0) Sleep(pace_.dataPauseMs);
      if (!inData) reads.emplace_back(chunk, n);
      buffer.append(chunk, n);
      if (inData && Peek(".") == kDrop) return;  // dropped while the data comes in
      for (size_t end; !inData && (end = buffer.find("\r\n")) != std::string::npos;) {
        std::string line = buffer.substr(0, end);
        buffer.erase(0, end + 2);
        lines.push_back(line);
        std::string verb = line.substr(0, line.find_first_of(" :"));
        std::string reply = Answer(verb);
        inData = verb == "DATA" && reply.compare(0, 3, "354") == 0;
        if (!Say(fd, reply, pending)) return;
      }
      size_t end = buffer.find("\r\n.\r\n");
      if (inData && (end != std::string::npos || buffer.compare(0, 3, ".\r\n") == 0)) {
        end = end == std::string::npos ? 3 : end + 5;
        data.push_back(buffer.substr(0, end));
        buffer.erase(0, end);
        inData = mail_ = rcpt_ = false;
        if (!Say(fd, Next("."), pending)) return;
      }
      if (!Flush(fd, pending)) return;
    }
  }

  std::string greeting_;
  std::map<std::string, std::vector<std::string>> script_;
  Replies replies_;
  Pace pace_;
  bool mail_ = false, rcpt_ = false;   // the transaction so far
  int listener_ = -1;
  uint16_t port_ = 0;
  std::thread thread_;
};

// The script of a peer that offers PIPELINING.
std::map<std::string, std::vector<std::string>> Pipelining(
    std::map<std::string, std::vector<std::string>> script) {
  script["EHLO"] = {"250-peer\r\n250 PIPELINING\r\n"};
  return script;
}

const std::string kMessage = "From: sender@example.net\nSubject: hi\n\n..dotted\nbody\n.\n";

class SmtpSendTest : public DelivTest {
 protected:
  void SetUp() override {
    DelivTest::SetUp();
    SendTimeout0 = ReceiveTimeout0 = ReceiveTimeout1 = 5;
    MailOutlogDirectory = MailSpoolDirectory + "/outlog";
    ASSERT_TRUE(CreateDirectory(MailOutlogDirectory));
    TermLogModule();  // the open log file may belong to an earlier test's spool
    OutlogEnabled = true;
    unlink(EventLogPath().c_str());
  }
  void TearDown() override {
    SendTimeout0 = ReceiveTimeout0 = 300;
    ReceiveTimeout1 = 600;
    MaxTransactionTime = kDefaultMaxTransactionTime;
    SmtpPort = kDefaultSmtpPort;
    DelivTest::TearDown();
  }
  static _SmtpConnection *Connect(const Peer &peer, std::string *text = nullptr,
                                  std::vector<IpAddress> addresses = {kLoopbackIp}) {
    int kind = 0;
    std::string error;
    _SmtpConnection *conn = SmtpConnect("mx.remote.test", peer.Port(), addresses, &kind, &error);
    if (text != nullptr) *text = error;
    EXPECT_EQ(conn == nullptr ? kSmtpConnectFailed : 0, kind) << error;
    return conn;
  }
  static std::string Outlog() { return Unix(Slurp(GenerateLogFileName(MailOutlogDirectory))); }
  static std::vector<int> Disposed(const _tMsgInfo &info) {
    std::vector<int> out;
    for (const _tRcpInfo *r = info.Rcp; r != nullptr; r = r->Next) out.push_back(r->bDisposed);
    return out;
  }
};

// ---- Replies, texts and files without a peer.

TEST(SmtpReply, CompletenessAndCode) {
  struct Case {
    std::string text;
    bool complete;
    int code;
  } cases[] = {
      {"250 ok\r\n", true, 250},
      {"250\r\n", true, 250},
      {"250 ok", false, 250},
      {"250-a\r\n250-b\r\n", false, 250},
      {"250-a\r\n251 b\r\n", true, 251},  // the last line decides
      {"220-x\n220 y\n", true, 220},      // bare line feeds
      {"hello there\r\n250 ok\r\n", true, kReplyCodeUnreadable},
      {"2x0 ok\r\n", false, kReplyCodeUnreadable},
      {"25\n", false, kReplyCodeUnreadable},
      {"250-a\r\n\r\n", false, 250},
  };
  for (const Case &c : cases) {
    EXPECT_EQ(IsCompleteResponse(c.text), c.complete) << c.text;
    EXPECT_EQ(GetSmtpReplyCode(c.text), c.code) << c.text;
  }
}

TEST(SmtpReply, ReaderBounds) {
  std::string banner;
  for (int i = 0; i < 40; ++i) banner += "220-" + std::string(200, 'b') + "\r\n";
  banner += "220 ready\r\n";
  SmtpReplyReader bytewise;
  SmtpReplyReader::State state = SmtpReplyReader::kMore;
  for (size_t i = 0; i < banner.size(); ++i) {
    ASSERT_EQ(state, SmtpReplyReader::kMore) << i;
    state = bytewise.Feed(banner.substr(i, 1));
  }
  EXPECT_EQ(state, SmtpReplyReader::kComplete);
  EXPECT_EQ(bytewise.Text(), banner);

  SmtpReplyReader longLine;
  EXPECT_EQ(longLine.Feed("220-" + std::string(kMaxSmtpReplyLine - 6, 'x') + "\r\n"),
            SmtpReplyReader::kMore);
  EXPECT_EQ(longLine.Feed("220 " + std::string(kMaxSmtpReplyLine, 'x')), SmtpReplyReader::kTooLong);
  SmtpReplyReader huge;
  SmtpReplyReader::State s = SmtpReplyReader::kMore;
  for (int i = 0; i < 100 && s == SmtpReplyReader::kMore; ++i)
    s = huge.Feed("220-" + std::string(1000, 'h') + "\r\n");
  EXPECT_EQ(s, SmtpReplyReader::kTooLong);
  EXPECT_LE(huge.Text().size(), kMaxSmtpReply);
}

TEST(SmtpReply, TextForReport) {
  EXPECT_EQ(ReplyTextForReport("550-a\r\n550 b\x01\x7f\tc\rd\r\n", 100), "550-a\n550 b  \tc d\n");
  EXPECT_EQ(ReplyTextForReport(std::string("5\0"
                                           "0",
                                           3),
                               100),
            "5 0");
  EXPECT_EQ(ReplyTextForReport("550 abcdef\r\n", 6), "550 ab");
}

TEST(SmtpMessageFile, Check) {
  struct Case {
    std::string bytes;
    bool valid;
  } cases[] = {
      {"a\r\nb\r\n.\r\n", true},
      {"a\nb\n.\n", true},
      {"\r\n.\r\n", true},
      {"a\r\n..x\r\n..\r\n.\r\n", true},
      {"\n.\n", false},
      {"a\r\nb\r\n", false},
      {"a\r\n.\r\nRCPT TO:<x>\r\n.\r\n", false},
      {".\r\nz\r\n.\r\n", false},
      {"a\n.\nb\r\n.\r\n", false},
      {"a\r\n.\r\n.\r\n", false},
      {"a\r\n. \r\n.\r\n", true},
  };
  for (const Case &c : cases) {
    for (size_t piece : {size_t{1}, size_t{3}, c.bytes.size()}) {
      MessageFileCheck check;
      for (size_t i = 0; i < c.bytes.size(); i += piece) check.Feed(c.bytes.substr(i, piece));
      EXPECT_EQ(check.Valid(c.bytes.size()), c.valid) << c.bytes << " by " << piece;
    }
  }
}

TEST(SmtpRecipients, PrepareOrderAndCuts) {
  _tRcpInfo a, b;
  SmtpRecipientList list;
  SmtpPrepareRecipients("  x@one.test ,, y@two.test  ", &a, list);
  SmtpPrepareRecipients(";z@three.test", &b, list);
  SmtpPrepareRecipients(std::string(200, 'l') + "@long.test", &b, list);
  ASSERT_EQ(list.size(), 4u);
  EXPECT_EQ(list[0].Name, std::string(kMaxSmtpRecipientName, 'l'));
  EXPECT_EQ(list[1].Name, "z@three.test");
  EXPECT_EQ(list[2].Name, "y@two.test");
  EXPECT_EQ(list[3].Name, "x@one.test");
  EXPECT_EQ(list[3].UserInfo, &a);
  EXPECT_EQ(list[1].UserInfo, &b);
}

TEST(SmtpOutlog, TimeFormat) {
  // Mid-March 2026 at noon UTC is in March in every zone.
  std::string t = AppendTime(1773576000);
  EXPECT_TRUE(std::regex_match(t, std::regex(R"(\[1[45]/Mar/2026:\d\d:\d\d:\d\d\])"))) << t;
}

TEST(SmtpOutlog, LineFieldsAndCut) {
  _tMsgInfo info;
  STRNCPY(info.MessageId, "B1@mail.example.org", sizeof info.MessageId);
  _SmtpConnection conn;
  conn.Dest = kLoopbackIp;
  conn.HostName = "mx\nevil";
  SmtpRecipientList list = {{nullptr, "a@x.test", 250, {}}, {nullptr, "b@x.test", 550, "no"}};
  std::string line = OutlogLine(info, conn, list, 1773576000);
  EXPECT_EQ(line.substr(line.find("] ")), "] to 127.0.0.1 mx\\x0Aevil from - to a@x.test\n");
  for (int i = 0; i < 10; ++i) list.push_back({nullptr, std::string(100, 'r'), 250, {}});
  line = OutlogLine(info, conn, list, 1773576000);
  EXPECT_EQ(line.size(), kMaxOutlogLine);
  EXPECT_EQ(line.back(), '\n');
}

// ---- Connecting.

TEST_F(SmtpSendTest, Greetings) {
  std::string longBanner;
  for (int i = 0; i < 40; ++i) longBanner += "220-" + std::string(150, 'g') + "\r\n";
  struct Case {
    std::string greeting;
    std::string helo;
    std::string error;  // "" : connected
    std::string ehlo = "500 what\r\n";
  } cases[] = {
      {longBanner + "220 ready\r\n", "250 hi\r\n", ""},
      {"220-a\r\n220 b\r\n", "250-x\r\n250 y\r\n", ""},
      {"554 go away\r\n", "", "554 go away\n"},
      {kDrop, "", "Did not receive SMTP greeting from host"},
      {"220 " + std::string(kMaxSmtpReplyLine, 'x') + "\r\n", "",
       "Did not receive SMTP greeting from host"},
      {"220 ok\r\n", "501 bad\x02 name\r\n", "501 bad  name\n"},
      {"220 ok\r\n", kDrop, "Did not receive HELO response from host"},
      // HELO only after a 5xx: EHLO refused for now ends the attempt.
      {"220 ok\r\n", "250 hi\r\n", "421 busy\n", "421 busy\r\n"},
  };
  for (const Case &c : cases) {
    Peer peer(c.greeting, {{"HELO", {c.helo}}, {"EHLO", {c.ehlo}}});
    std::string text;
    _SmtpConnection *conn = Connect(peer, &text);
    EXPECT_EQ(conn != nullptr, c.error.empty()) << c.greeting.substr(0, 40);
    EXPECT_EQ(text, c.error);
    if (conn != nullptr) {
      EXPECT_EQ(conn->OurName, kHost);
    }
    SmtpDisconnect(conn);
    peer.Stop();
    if (c.error.empty()) {
      EXPECT_EQ(peer.lines, (std::vector<std::string>{"EHLO mail.example.org",
                                                      "HELO mail.example.org", "QUIT"}));
    }
  }
}

TEST_F(SmtpSendTest, AddressesPortsAndNames) {
  Peer peer;
  // The first address refuses; port 0 takes the SmtpPort setting.
  SmtpPort = peer.Port();
  int kind = 0;
  std::string text;
  _SmtpConnection *conn = SmtpConnect("mx", 0, {kLoopback2Ip, kLoopbackIp}, &kind, &text);
  ASSERT_NE(conn, nullptr) << text;
  EXPECT_EQ(conn->Dest, kLoopbackIp);
  EXPECT_EQ(conn->DestPort, peer.Port());
  SmtpDisconnect(conn);

  EXPECT_EQ(SmtpConnect("mx", peer.Port(), {kLoopback2Ip}, &kind, &text), nullptr);
  EXPECT_EQ(kind, kSmtpConnectFailed);
  EXPECT_EQ(text, "Can't connect to host");

  // Names: the hosts file knows one; no name server answers for the other.
  ASSERT_TRUE(dnstest::SetTcpip("NameServer", dnstest::ClosedPortEntry()));
  std::string hosts = ZelPath("/hosts-smtpsend");
  WriteFile(hosts, "127.0.0.1 mx.known.test\n");
  SetHostsFilePathForTest(hosts);
  conn = SmtpConnect("mx.known.test", peer.Port(), {}, &kind, &text);
  EXPECT_NE(conn, nullptr) << text;
  SmtpDisconnect(conn);
  EXPECT_EQ(SmtpConnect("mx.unknown.test", peer.Port(), {}, &kind, &text), nullptr);
  EXPECT_EQ(kind, kSmtpHostUnresolved);
  EXPECT_EQ(text, "Can't interpret host name, or non-existant host");
  SetHostsFilePathForTest("");
}

// ---- Transactions.

struct Transaction {
  const char *name;
  std::map<std::string, std::vector<std::string>> script;
  std::vector<std::string> recipients;  // as the queue walker lists them
  std::vector<std::string> rcptSeen;    // RCPT addresses the peer saw, in order
  bool dataSent;
  std::vector<int> disposed;
  std::vector<std::string> reportTexts;  // one per report, a part of its text
  std::string outlogTail;                // "" : no line
  bool error = false;
};

TEST_F(SmtpSendTest, Transactions) {
  const Transaction cases[] = {
      {"one refused, one taken",
       {{"RCPT", {"250 ok\r\n", "550 no such user\r\n"}}},
       {"a@remote.test", "b@remote.test"},
       {"b@remote.test", "a@remote.test"},
       true,
       {1, 1},
       {"problems to a@remote.test.\n\n550 no such user\n"},
       " from sender@example.net to b@remote.test\n"},
      {"all kept by 450",
       {{"RCPT", {"450 later\r\n"}}},
       {"a@remote.test", "b@remote.test"},
       {"b@remote.test", "a@remote.test"},
       false,
       {0, 0},
       {},
       ""},
      {"550, 450 and 250",
       {{"RCPT", {"250 ok\r\n", "450 later\r\n", "550 gone\r\n"}}},
       {"a@remote.test", "b@remote.test", "c@remote.test"},
       {"c@remote.test", "b@remote.test", "a@remote.test"},
       true,
       {1, 0, 1},
       {"problems to a@remote.test.\n\n550 gone\n"},
       " to c@remote.test\n"},
      {"552 after the data",
       {{".", {"552 too big\r\n"}}},
       {"a@remote.test"},
       {"a@remote.test"},
       true,
       {1},
       {"Unable to send to destination domain\nSent:    (message data)\nReceived:552 too big\n\n"},
       ""},
      {"multi-line replies",
       {{"RCPT", {"250-one\r\n250 two\r\n"}}, {".", {"250-a\r\n250-b\r\n250 c\r\n"}}},
       {"a@remote.test"},
       {"a@remote.test"},
       true,
       {1},
       {},
       " to a@remote.test\n"},
      {"MAIL refused",
       {{"MAIL", {"550 5.7.1 not you\r\n"}}},
       {"a@remote.test"},
       {},
       false,
       {1},
       {"Sent:    MAIL FROM:<sender@example.net>\nReceived:550 5.7.1 not you\n"},
       ""},
      {"MAIL 451", {{"MAIL", {"451 busy\r\n"}}}, {"a@remote.test"}, {}, false, {0}, {}, ""},
      {"reply without code, transparency dots in the report",
       {{"MAIL", {"x\r\n.\r\n250 ok\r\n"}}},
       {"a@remote.test"},
       {},
       false,
       {1},
       {"Received:x\n..\n250 ok\n"},
       ""},
      {"line break in an address",
       {},
       {"a@remote\r.test", "b@remote.test"},
       {"b@remote.test"},
       true,
       {1, 1},
       {"Address contains a line break and cannot be sent"},
       " to b@remote.test\n"},
      {"dropped during the data",
       {{".", {kDrop}}},
       {"a@remote.test"},
       {"a@remote.test"},
       true,
       {0},
       {},
       "",
       true},
      {"all refused",
       {{"RCPT", {"550 no\r\n"}}},
       {"a@remote.test", "b@remote.test"},
       {"b@remote.test", "a@remote.test"},
       false,
       {1, 1},
       {"\n550 no\n", "\n550 no\n"},
       ""},
      {"reply past the bound",
       {{"RCPT", {"250 " + std::string(kMaxSmtpReplyLine, 'x') + "\r\n"}}},
       {"a@remote.test"},
       {"a@remote.test"},
       false,
       {0},
       {},
       "",
       true},
  };
  // The same outcomes from a peer without PIPELINING and from one with it,
  // however its replies come in.
  struct Mode {
    bool pipelining;
    Peer::Replies replies;
  } modes[] = {{false, Peer::kPerLine},
               {true, Peer::kPerLine},
               {true, Peer::kJoined},
               {true, Peer::kBytewise}};
  for (const Mode &mode : modes) {
    for (const Transaction &c : cases) {
      SCOPED_TRACE(std::string(c.name) + (mode.pipelining ? " pipelined " : " ") +
                   std::to_string(mode.replies));
      ClearIncoming();
      TermLogModule();
      unlink(GenerateLogFileName(MailOutlogDirectory).c_str());
      PutHeld("B0000000300", kMessage);
      Peer peer("220 hi\r\n", mode.pipelining ? Pipelining(c.script) : c.script, mode.replies);
      _SmtpConnection *conn = Connect(peer);
      ASSERT_NE(conn, nullptr);
      MsgInfoPtr info = Info("B0000000300", "sender@example.net", c.recipients);
      SendMessageOnConnection(*info, conn);
      EXPECT_EQ(conn->Error, c.error);
      SmtpDisconnect(conn);
      peer.Stop();
      EXPECT_EQ(Disposed(*info), c.disposed);
      // Pipelined, every address that can be sent goes, in one write with
      // MAIL and DATA; otherwise one command goes at a time, as replies allow.
      std::vector<std::string> rcptSeen = c.rcptSeen;
      std::string mailRead = "MAIL FROM:<sender@example.net>\r\n";
      if (mode.pipelining) {
        rcptSeen.clear();
        for (auto a = c.recipients.rbegin(); a != c.recipients.rend(); ++a)
          if (a->find('\r') == std::string::npos) rcptSeen.push_back(*a);
        for (const std::string &a : rcptSeen) mailRead += "RCPT TO:<" + a + ">\r\n";
        mailRead += "DATA\r\n";
      }
      std::vector<std::string> rcpt;
      for (const std::string &l : peer.lines)
        if (l.rfind("RCPT TO:<", 0) == 0) rcpt.push_back(l.substr(9, l.size() - 10));
      EXPECT_EQ(rcpt, rcptSeen);
      EXPECT_EQ(std::count(peer.reads.begin(), peer.reads.end(), mailRead), 1);
      EXPECT_EQ(!peer.data.empty(), c.dataSent && !c.error);
      if (!peer.data.empty()) {
        EXPECT_EQ(peer.data[0], Crlf(kMessage));
      }
      auto reports = Incoming();
      ASSERT_EQ(reports.size(), c.reportTexts.size());
      for (size_t i = 0; i < reports.size(); ++i) {
        EXPECT_NE(reports[i].text.find(c.reportTexts[i]), std::string::npos) << reports[i].text;
        EXPECT_EQ(reports[i].Recipients(), std::vector<std::string>{"sender@example.net"});
      }
      std::string log = Outlog();
      if (c.outlogTail.empty()) {
        EXPECT_EQ(log, "");
      } else {
        std::regex line(
            R"(B0000000300@mail\.example\.org sent on \[\d\d/\w{3}/\d{4}:\d\d:\d\d:\d\d\] )"
            R"(to 127\.0\.0\.1 mx\.remote\.test .*\n)");
        EXPECT_TRUE(std::regex_match(log, line)) << log;
        EXPECT_TRUE(log.size() > c.outlogTail.size() &&
                    log.substr(log.size() - c.outlogTail.size()) == c.outlogTail)
            << log;
      }
    }
  }
}

TEST_F(SmtpSendTest, BrokenConnectionSkipsTheRestOfTheAttempt) {
  PutHeld("B0000000301", kMessage);
  PutHeld("B0000000302", kMessage);
  Peer peer("220 hi\r\n", {{".", {kDrop}}});
  _SmtpConnection *conn = Connect(peer);
  ASSERT_NE(conn, nullptr);
  MsgInfoPtr first = Info("B0000000301", "", {"a@remote.test"});
  MsgInfoPtr second = Info("B0000000302", "", {"b@remote.test"});
  SendMessageOnConnection(*first, conn);
  SendMessageOnConnection(*second, conn);
  EXPECT_TRUE(conn->Error);
  SmtpDisconnect(conn);
  peer.Stop();
  EXPECT_EQ(Disposed(*first), std::vector<int>{0});
  EXPECT_EQ(Disposed(*second), std::vector<int>{0});
  EXPECT_EQ(std::count(peer.lines.begin(), peer.lines.end(), "MAIL FROM:<>"), 1);
  EXPECT_TRUE(Incoming().empty());
}

TEST_F(SmtpSendTest, RefusedDataResetsForTheNextMessage) {
  PutHeld("B0000000303", kMessage);
  PutHeld("B0000000304", kMessage);
  Peer peer("220 hi\r\n", {{"DATA", {"554 no valid recipients\r\n", "354 go\r\n"}}});
  _SmtpConnection *conn = Connect(peer);
  ASSERT_NE(conn, nullptr);
  MsgInfoPtr first = Info("B0000000303", "sender@example.net", {"a@remote.test"});
  MsgInfoPtr second = Info("B0000000304", "sender@example.net", {"b@remote.test"});
  SendMessageOnConnection(*first, conn);
  SendMessageOnConnection(*second, conn);
  SmtpDisconnect(conn);
  peer.Stop();
  EXPECT_EQ(Disposed(*first), std::vector<int>{1});
  EXPECT_EQ(Disposed(*second), std::vector<int>{1});
  auto reports = Incoming();
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_NE(reports[0].text.find("Sent:    DATA\nReceived:554 no valid recipients\n"),
            std::string::npos);
  EXPECT_EQ(peer.lines[5], "RSET");
  EXPECT_EQ(peer.lines[6], "MAIL FROM:<sender@example.net>");
  EXPECT_EQ(peer.data.size(), 1u);
}

// A peer that nevertheless answers DATA with 354 after every recipient was
// refused gets a bare "." and then RSET; the next message goes as usual.
TEST_F(SmtpSendTest, PipelinedDataWithoutRecipients) {
  PutHeld("B0000000305", kMessage);
  PutHeld("B0000000306", kMessage);
  Peer peer("220 hi\r\n",
            Pipelining({{"RCPT", {"550 no\r\n", "250 ok\r\n"}},
                        {"DATA", {"354 go\r\n"}},
                        {".", {"554 no valid recipients\r\n", "250 queued\r\n"}}}),
            Peer::kJoined);
  _SmtpConnection *conn = Connect(peer);
  ASSERT_NE(conn, nullptr);
  EXPECT_TRUE(conn->Ext.Pipelining);
  MsgInfoPtr first = Info("B0000000305", "sender@example.net", {"a@remote.test"});
  MsgInfoPtr second = Info("B0000000306", "sender@example.net", {"b@remote.test"});
  SendMessageOnConnection(*first, conn);
  SendMessageOnConnection(*second, conn);
  EXPECT_FALSE(conn->Error);
  SmtpDisconnect(conn);
  peer.Stop();
  EXPECT_EQ(Disposed(*first), std::vector<int>{1});
  EXPECT_EQ(Disposed(*second), std::vector<int>{1});
  EXPECT_EQ(peer.data, (std::vector<std::string>{".\r\n", Crlf(kMessage)}));
  EXPECT_EQ(std::vector<std::string>(peer.lines.begin() + 4, peer.lines.end()),
            (std::vector<std::string>{"RSET", "MAIL FROM:<sender@example.net>",
                                      "RCPT TO:<b@remote.test>", "DATA", "QUIT"}));
  auto reports = Incoming();
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_NE(reports[0].text.find("\n550 no\n"), std::string::npos) << reports[0].text;
}

// Many recipients go in writes of kMaxPipelinedCommands commands; when the
// last write would be DATA alone after every recipient was refused, RSET
// goes instead.
TEST_F(SmtpSendTest, PipelinedWritesAreBounded) {
  for (size_t count : {kMaxPipelinedCommands + 50, kMaxPipelinedCommands - 1}) {
    SCOPED_TRACE(count);
    bool taken = count > kMaxPipelinedCommands;
    PutHeld("B0000000307", kMessage);
    Peer peer("220 hi\r\n", Pipelining({{"RCPT", {taken ? "250 ok\r\n" : "450 later\r\n"}}}),
              Peer::kJoined);
    _SmtpConnection *conn = Connect(peer);
    ASSERT_NE(conn, nullptr);
    std::vector<std::string> recipients;
    for (size_t i = 0; i < count; ++i)
      recipients.push_back("r" + std::to_string(i) + "@remote.test");
    MsgInfoPtr info = Info("B0000000307", "sender@example.net", recipients);
    SendMessageOnConnection(*info, conn);
    SmtpDisconnect(conn);
    peer.Stop();
    EXPECT_EQ(Disposed(*info), std::vector<int>(count, taken ? 1 : 0));
    std::vector<size_t> commandsPerRead;
    for (const std::string &r : peer.reads)
      commandsPerRead.push_back(std::count(r.begin(), r.end(), '\n'));
    // EHLO, the two writes and QUIT; or EHLO, one write, RSET and QUIT.
    size_t second = taken ? count + 2 - kMaxPipelinedCommands : 1;
    EXPECT_EQ(commandsPerRead, (std::vector<size_t>{1, kMaxPipelinedCommands, second, 1}));
    EXPECT_EQ(peer.lines[peer.lines.size() - 2], taken ? "DATA" : "RSET");
  }
}

// ---- Time limits: totals that a peer's pace cannot stretch.

// Every reply comes within its own limit, or the data keeps moving, yet
// the whole transaction takes longer than MaxTransactionTime: it is given
// up there, the connection is dropped and every recipient stays for a
// later attempt (nothing is reported).
TEST_F(SmtpSendTest, SlowPeersAreGivenUpByTheTransactionLimit) {
  MaxTransactionTime = 2;
  const std::string big = "Subject: big\n\n" + std::string(8 << 20, 'x') + "\n.\n";
  struct Case {
    const char *name;
    Pace pace;
    std::string text;
    size_t recipients;
  } cases[] = {
      {"every reply after a pause", {300, 0}, kMessage, 12},
      {"the data read a piece at a time", {0, 10}, big, 1},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    ClearIncoming();
    PutHeld("B0000000320", c.text);
    Peer peer("220 hi\r\n", {}, Peer::kPerLine, c.pace);
    _SmtpConnection *conn = Connect(peer);
    ASSERT_NE(conn, nullptr);
    std::vector<std::string> recipients;
    for (size_t i = 0; i < c.recipients; ++i)
      recipients.push_back("r" + std::to_string(i) + "@x.test");
    MsgInfoPtr info = Info("B0000000320", "sender@example.net", recipients);
    long long start = MonotonicMs();
    SendMessageOnConnection(*info, conn);
    long long took = MonotonicMs() - start;
    EXPECT_TRUE(conn->Error);
    EXPECT_TRUE(conn->Stream.TimedOut);
    SmtpDisconnect(conn);
    peer.Stop();
    EXPECT_GE(took, 1900);
    EXPECT_LT(took, 8000);
    EXPECT_EQ(Disposed(*info), std::vector<int>(c.recipients, 0));
    EXPECT_TRUE(peer.data.empty());
    EXPECT_TRUE(Incoming().empty());
  }
}

TEST_F(SmtpSendTest, UnsendableMessageFiles) {
  struct Case {
    const char *id;
    std::string bytes;  // "" : no file
    const char *event;
  } cases[] = {
      {"B0000000310", "Subject: x\r\n\r\nbody\r\n", " 136 0xC0000088 The message B0000000310@"},
      {"B0000000311", "a\r\n.\r\nRSET\r\n.\r\n", " 136 0xC0000088 The message B0000000311@"},
      {"B0000000312", "", " 128 0xC0000080 The message B0000000312@"},
  };
  Peer peer;
  _SmtpConnection *conn = Connect(peer);
  ASSERT_NE(conn, nullptr);
  for (const Case &c : cases) {
    if (!c.bytes.empty()) WriteFile(MailHoldingDirectory + "/" + c.id + ".MSG", c.bytes);
    MsgInfoPtr info = Info(c.id, "sender@example.net", {"a@remote.test"});
    SendMessageOnConnection(*info, conn);
    EXPECT_EQ(Disposed(*info), std::vector<int>{1}) << c.id;
    EXPECT_NE(Slurp(EventLogPath()).find(c.event), std::string::npos) << c.id;
    EXPECT_NE(
        Slurp(MailDeadDirectory + "/" + c.id + ".TXT").find("File I/O error when transmitting"),
        std::string::npos)
        << c.id;
    if (!c.bytes.empty()) {
      EXPECT_EQ(Slurp(MailDeadDirectory + "/" + c.id + ".MSG"), c.bytes);
    }
  }
  EXPECT_FALSE(conn->Error);
  SmtpDisconnect(conn);
  peer.Stop();
  EXPECT_EQ(peer.lines, (std::vector<std::string>{"EHLO mail.example.org",
                                                  "HELO mail.example.org", "QUIT"}));
}

TEST(SmtpEhlo, Extensions) {
  struct Case {
    std::string reply;
    bool startTls, size;
    uint64_t limit;
    bool eightBit;
    bool pipelining = false;
  } cases[] = {
      {"250 peer.test\r\n", false, false, 0, false},
      // The greeting line is no keyword; keywords in any case.
      {"250-STARTTLS\r\n250-starttls\r\n250-size 1000\r\n250 8bitmime\r\n", true, true, 1000,
       true},
      {"250-p\r\n250-SIZE\r\n250 SIZE 12x\r\n", false, true, 0, false},
      {"250-p\r\n250 pipelining\r\n", false, false, 0, false, true},
      {"250-PIPELINING\r\n250 PIPELININGX\r\n", false, false, 0, false},
      // A limit past 64 bits saturates.
      {"250-p\r\n250-SIZE 99999999999999999999\r\n", false, true, UINT64_MAX, false},
      {"250-p\r\n250-8BITMIMEX\r\n250-X STARTTLS\r\n250 ", false, false, 0, false},
  };
  for (const Case &c : cases) {
    SmtpExtensions e = ParseEhloReply(c.reply);
    EXPECT_TRUE(e.Esmtp);
    EXPECT_EQ(e.StartTls, c.startTls) << c.reply;
    EXPECT_EQ(e.Size, c.size) << c.reply;
    EXPECT_EQ(e.SizeLimit, c.limit) << c.reply;
    EXPECT_EQ(e.EightBitMime, c.eightBit) << c.reply;
    EXPECT_EQ(e.Pipelining, c.pipelining) << c.reply;
  }
}

}  // namespace
