// The proxied logon (net/mailproxy): the mail host's replies read bounded,
// the logon dialogue against a scripted mail host, the offered password
// and the secret file, and the relay of a proxied session in clear
// (platform/relay).
#include "net/mailproxy.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "common/sasl.h"
#include "net/localhost.h"
#include "platform/accounts.h"
#include "platform/files.h"
#include "platform/localipc.h"
#include "platform/relay.h"
#include "platform/sockets.h"
#include "platform/sync.h"

namespace {

const IpAddress kLoopbackIp = IpV4(0x0100007f);
constexpr DWORD kWaitMs = 10000;
// A scripted mail host: the greeting, then one reply per line received, in
// order. Records the lines. One connection; stops when destroyed.
class MailHost {
 public:
  MailHost(std::string greeting, std::vector<std::string> replies)
      : greeting_(std::move(greeting)), replies_(std::move(replies)) {
    listener_ = CreateListener(kLoopbackIp, 0, 4);
    GetSocketAddress(listener_, nullptr, &port_);
    thread_ = std::thread([this] { Serve(); });
  }
  ~MailHost() {
    Stop();
    CloseSocket(listener_);
  }
  uint16_t Port() const { return port_; }
  // The lines received, once the client closed its connection.
  const std::vector<std::string> &Lines() {
    Stop();
    return lines_;
  }

 private:
  bool Send(const std::string &text) {
    return SendSocket(fd_.Get(), text.data(), text.size(), kWaitMs);
  }
  long Recv(char *b, size_t n) { return RecvSocket(fd_.Get(), b, n, kWaitMs); }
  void Serve() {
    IpAddress peer;
    fd_.Reset(AcceptConnection(listener_, &peer));
    if (!fd_.Valid() || !Send(greeting_)) return;
    std::string buffer;
    char chunk[4096];
    size_t next = 0;
    // Every line is recorded; the script's replies go while they last.
    for (long n; (n = Recv(chunk, sizeof chunk)) > 0;) {
      buffer.append(chunk, static_cast<size_t>(n));
      for (size_t end; (end = buffer.find("\r\n")) != std::string::npos;) {
        lines_.push_back(buffer.substr(0, end));
        buffer.erase(0, end + 2);
        if (next < replies_.size() && !Send(replies_[next++])) return;
      }
    }
  }
  void Stop() {
    if (!thread_.joinable()) return;
    ShutdownListener(listener_);
    thread_.join();
  }
  std::string greeting_;
  std::vector<std::string> replies_;
  std::vector<std::string> lines_;
  UniqueFd fd_;
  int listener_ = -1;
  uint16_t port_ = 0;
  std::thread thread_;
};

ProxyTarget Target(ProxyProtocol protocol, uint16_t port, ProxyTlsMode tls = ProxyTlsMode::kNone) {
  ProxyTarget t;
  t.Protocol = protocol;
  t.Host = "127.0.0.1";
  t.Port = port;
  t.Tls = tls;
  return t;
}

ProxyCredentials Own(const char *user, const char *password) {
  ProxyCredentials c;
  c.AuthcId = user;
  c.Password = password;
  return c;
}

std::string Plain(std::string_view authz, std::string_view authc, std::string_view pw) {
  std::string m(authz);
  m.push_back('\0');
  m.append(authc).push_back('\0');
  m.append(pw);
  return Base64Encode(m);
}

TEST(ProxyReplies, ClassifiedByProtocol) {
  EXPECT_EQ(ClassifyPop3Line("+OK bob's mailbox has 2 message(s)"), ProxyAnswer::kOk);
  EXPECT_EQ(ClassifyPop3Line("+OK"), ProxyAnswer::kOk);
  EXPECT_EQ(ClassifyPop3Line("-ERR [AUTH] no"), ProxyAnswer::kNo);
  EXPECT_EQ(ClassifyPop3Line("+ "), ProxyAnswer::kMore);
  for (const char *bad : {"+OKAY", "-ERROR", "", "* OK", "OK"})
    EXPECT_EQ(ClassifyPop3Line(bad), ProxyAnswer::kBad) << bad;

  EXPECT_EQ(ClassifyImapLine("p1 OK [CAPABILITY IMAP4rev2] done", "p1"), ProxyAnswer::kOk);
  EXPECT_EQ(ClassifyImapLine("p1 ok done", "p1"), ProxyAnswer::kOk);
  EXPECT_EQ(ClassifyImapLine("p1 NO [AUTHENTICATIONFAILED] no", "p1"), ProxyAnswer::kNo);
  EXPECT_EQ(ClassifyImapLine("* CAPABILITY IMAP4rev2", "p1"), ProxyAnswer::kMore);
  EXPECT_EQ(ClassifyImapLine("+ ", "p1"), ProxyAnswer::kMore);
  for (const char *bad : {"p1 BAD what", "p2 OK other tag", "p1x OK", "p1", "* 1 FETCH {5}", ""})
    EXPECT_EQ(ClassifyImapLine(bad, "p1"), ProxyAnswer::kBad) << bad;

  EXPECT_EQ(ClassifyGreeting(ProxyProtocol::kPop3, "+OK ready"), ProxyAnswer::kOk);
  EXPECT_EQ(ClassifyGreeting(ProxyProtocol::kImap, "* OK [CAPABILITY IMAP4rev2] ready"),
            ProxyAnswer::kOk);
  EXPECT_EQ(ClassifyGreeting(ProxyProtocol::kImap, "* PREAUTH hi"), ProxyAnswer::kBad);
  EXPECT_EQ(ClassifyGreeting(ProxyProtocol::kImap, "* BYE busy"), ProxyAnswer::kBad);
  EXPECT_EQ(ClassifyGreeting(ProxyProtocol::kPop3, "-ERR busy"), ProxyAnswer::kBad);
}

TEST(ProxyReplies, LinesAreBoundedAndTheRestIsKept) {
  ProxyLineReader r;
  std::string line;
  r.Feed("+OK a\r");
  EXPECT_FALSE(r.Next(line));
  r.Feed("\n+OK b\nrest");
  ASSERT_TRUE(r.Next(line));
  EXPECT_EQ(line, "+OK a");
  ASSERT_TRUE(r.Next(line));
  EXPECT_EQ(line, "+OK b");
  EXPECT_FALSE(r.Next(line));
  EXPECT_EQ(r.TakeRest(), "rest");

  ProxyLineReader exact, over;
  exact.Feed(std::string(kMaxProxyLine, 'x') + "\n");
  EXPECT_TRUE(exact.Next(line));
  EXPECT_EQ(line.size(), kMaxProxyLine);
  over.Feed(std::string(kMaxProxyLine + 1, 'x'));
  EXPECT_TRUE(over.Failed());
  EXPECT_FALSE(over.Next(line));
}

TEST(ProxyReplies, ClientReplyIsOneCleanLineWithTheClientsTag) {
  EXPECT_EQ(ReplyForClient(ProxyProtocol::kPop3, "+OK bob's mailbox", "", 512),
            "+OK bob's mailbox\r\n");
  EXPECT_EQ(ReplyForClient(ProxyProtocol::kImap, "p1 OK [CAPABILITY X] done", "a7", 512),
            "a7 OK [CAPABILITY X] done\r\n");
  EXPECT_EQ(ReplyForClient(ProxyProtocol::kPop3, "-ERR a\rb\x01", "", 512), "-ERR a b \r\n");
  EXPECT_EQ(ReplyForClient(ProxyProtocol::kPop3, std::string(600, 'x'), "", 512).size(), 512u);
}

// The local host table decides what "this host" is: its names, aliases
// (whole labels of them) and addresses; another loopback address is another
// host (another instance on the same machine).
TEST(ProxyTarget, MailHostIsElsewhereUnlessTheTableNamesIt) {
  _IPInfo entry;
  entry.Ip = IpV4(0x0b00007f);   // 127.0.0.11
  entry.IPAddr = entry.Ip.V4();
  entry.Name = "mh11.example.test";
  entry.Address = "127.0.0.11";
  entry.Alias = {"front.example.test"};
  LocalHostIPInfo.Entries = {entry};
  AccountFound found;
  std::string host;
  bool wrong = true;
  for (const char *here : {"", "mh11.example.test", "MH11.example.test.", "mh11",
                           "front.example.test", "127.0.0.11"}) {
    found.MailHost = here;
    EXPECT_FALSE(MailHostElsewhere(found, host, &wrong)) << here;
    EXPECT_FALSE(wrong);
    EXPECT_EQ(host, "");
  }
  for (const char *there : {"mh13.example.test", "127.0.0.13", "mh11.example.org"}) {
    found.MailHost = there;
    EXPECT_TRUE(MailHostElsewhere(found, host, &wrong)) << there;
    EXPECT_EQ(host, there);
  }
  found.MailHost = "mh13.example.test.";
  EXPECT_TRUE(MailHostElsewhere(found, host, &wrong));
  EXPECT_EQ(host, "mh13.example.test");
  found.MailHost = std::string(kMaxMailHostName + 1, 'a');
  EXPECT_FALSE(MailHostElsewhere(found, host, &wrong));
  EXPECT_TRUE(wrong);
  LocalHostIPInfo.Entries.clear();
}

TEST(ProxyLogon, Pop3WithTheUsersOwnPasswordThenTheRestIsKept) {
  MailHost host("+OK mail host ready\r\n",
                {"+OK bob's mailbox has 1 message(s) (10 octets)\r\n+OK early\r\n"});
  ProxyCredentials c = Own("bob", "s3cret");
  ProxyOutcome out;
  LogOnAtMailHost(Target(ProxyProtocol::kPop3, host.Port()), c, out);
  ASSERT_EQ(out.Result, ProxyOutcome::kLoggedOn) << out.Why;
  EXPECT_EQ(out.Line, "+OK bob's mailbox has 1 message(s) (10 octets)");
  EXPECT_EQ(out.Rest, "+OK early\r\n");
  EXPECT_TRUE(out.Socket.Valid());
  EXPECT_EQ(out.Tls, nullptr);
  EXPECT_TRUE(c.Password.empty());   // wiped once sent
  out.Socket.Reset();
  EXPECT_EQ(host.Lines(), std::vector<std::string>{"AUTH PLAIN " + Plain("", "bob", "s3cret")});
}

TEST(ProxyLogon, ImapMasterLogonSkipsUntaggedLinesAndAnswersAContinuation) {
  MailHost host("* OK [CAPABILITY IMAP4rev2] ready\r\n",
                {"+ \r\n", "* CAPABILITY IMAP4rev2\r\np1 OK [CAPABILITY IMAP4rev2] done\r\n"});
  ProxyCredentials c;
  c.AuthzId = "bob";
  c.AuthcId = kProxyIdentity;
  c.Password = "shared";
  ProxyOutcome out;
  LogOnAtMailHost(Target(ProxyProtocol::kImap, host.Port()), c, out);
  ASSERT_EQ(out.Result, ProxyOutcome::kLoggedOn) << out.Why;
  EXPECT_EQ(out.Line, "p1 OK [CAPABILITY IMAP4rev2] done");
  out.Socket.Reset();
  std::string response = Plain("bob", kProxyIdentity, "shared");
  EXPECT_EQ(host.Lines(), (std::vector<std::string>{"p1 AUTHENTICATE PLAIN " + response, response}));
}

TEST(ProxyLogon, RefusalIsTheMailHostsAndFailuresAreUnavailable) {
  {
    MailHost host("+OK ready\r\n", {"-ERR [AUTH] bob logon failed\r\n"});
    ProxyCredentials c = Own("bob", "wrong");
    ProxyOutcome out;
    LogOnAtMailHost(Target(ProxyProtocol::kPop3, host.Port()), c, out);
    EXPECT_EQ(out.Result, ProxyOutcome::kRefused);
    EXPECT_EQ(out.Line, "-ERR [AUTH] bob logon failed");
    EXPECT_FALSE(out.Socket.Valid());
  }
  // Nobody listens, a greeting that is no POP3's, an answer that is no
  // answer, a line without end: never a refusal the client would take for
  // a wrong password.
  uint16_t closedPort;
  {
    MailHost gone("+OK\r\n", {});
    closedPort = gone.Port();
    UniqueFd probe(ConnectSocket(kLoopbackIp, closedPort, kWaitMs));
  }
  struct Case {
    const char *greeting;
    std::vector<std::string> replies;
  } cases[] = {{"* OK imap\r\n", {}},
               {"+OK ready\r\n", {"250 what\r\n"}},
               {"+OK ready\r\n", {std::string(kMaxProxyLine + 10, 'x')}}};
  ProxyCredentials c = Own("bob", "pw");
  ProxyOutcome out;
  LogOnAtMailHost(Target(ProxyProtocol::kPop3, closedPort), c, out);
  EXPECT_EQ(out.Result, ProxyOutcome::kUnavailable);
  EXPECT_NE(out.Why.find("no connection"), std::string::npos) << out.Why;
  for (const Case &k : cases) {
    MailHost host(k.greeting, k.replies);
    ProxyCredentials own = Own("bob", "pw");
    LogOnAtMailHost(Target(ProxyProtocol::kPop3, host.Port()), own, out);
    EXPECT_EQ(out.Result, ProxyOutcome::kUnavailable) << k.greeting;
    EXPECT_FALSE(out.Why.empty());
  }
}

// TLS the mail host refuses: verify gives no password and stops (the
// verified leg and a certificate that does not name the host are the
// end-to-end test's, against a real mail host), opportunistic goes on.
TEST(ProxyLogon, RefusedTlsStopsVerifyButNotOpportunistic) {
  {
    MailHost host("+OK ready\r\n", {"-ERR no TLS\r\n"});
    ProxyCredentials c = Own("bob", "pw");
    ProxyOutcome out;
    LogOnAtMailHost(Target(ProxyProtocol::kPop3, host.Port(), ProxyTlsMode::kVerify), c, out);
    EXPECT_EQ(out.Result, ProxyOutcome::kUnavailable);
    EXPECT_EQ(host.Lines(), std::vector<std::string>{"STLS"});
  }
  MailHost host("* OK ready\r\n", {"p0 NO no TLS\r\n", "p1 OK in\r\n"});
  ProxyCredentials c = Own("bob", "pw");
  ProxyOutcome out;
  LogOnAtMailHost(Target(ProxyProtocol::kImap, host.Port(), ProxyTlsMode::kOpportunistic), c,
                  out);
  EXPECT_EQ(out.Result, ProxyOutcome::kLoggedOn) << out.Why;
}

TEST(ProxySession, OfferedPasswordIsTakenOnceAndOnlyWhenOffered) {
  UniqueFd front, session;
  ASSERT_TRUE(MakeSocketPair(true, front, session));
  std::string password = "left over";
  TakeOfferedPassword(session.Get(), password);
  EXPECT_EQ(password, "");
  MailProxy = ProxySettings();
  ASSERT_TRUE(OfferPasswordToSession(front.Get(), "pw 1"));
  TakeOfferedPassword(session.Get(), password);
  EXPECT_EQ(password, "pw 1");
  MailProxy.SecretFile = "/etc/zel/proxy.secret";   // the master logon needs none
  ASSERT_TRUE(OfferPasswordToSession(front.Get(), "pw 2"));
  TakeOfferedPassword(session.Get(), password);
  EXPECT_EQ(password, "");
  MailProxy = ProxySettings();
}

TEST(ProxySession, SecretFileMustBeItsOwnersAlone) {
  std::string path = std::string(std::getenv("ZEL_ROOT")) + "/proxy.secret";
  FILE *f = fopen(path.c_str(), "w");
  ASSERT_NE(f, nullptr);
  fputs("s3cret\nsecond line\n", f);
  fclose(f);
  std::string secret, why;
  chmod(path.c_str(), 0644);
  EXPECT_FALSE(ReadProxySecret(path, secret, why));
  EXPECT_NE(why.find("read by others"), std::string::npos) << why;
  chmod(path.c_str(), 0600);
  EXPECT_TRUE(ReadProxySecret(path, secret, why)) << why;
  EXPECT_EQ(secret, "s3cret");
}

TEST(ProxySession, PlainRelayCarriesBothWaysUntilBothEnd) {
  ASSERT_TRUE(StartRelayThread());
  UniqueFd hostEnd, hostLeg, clientEnd, clientLeg;
  ASSERT_TRUE(MakeSocketPair(false, hostEnd, hostLeg));
  ASSERT_TRUE(MakeSocketPair(false, clientEnd, clientLeg));
  RelaySpec spec;
  spec.Client = std::move(hostLeg);
  spec.bPlainClient = true;
  spec.bEndWithClient = true;
  spec.Local = std::move(clientLeg);
  std::atomic<bool> ended{false};
  spec.OnEnd = [&ended] { ended = true; };
  ASSERT_TRUE(AddRelay(std::move(spec)));
  char buf[64];
  ASSERT_TRUE(SendSocket(clientEnd.Get(), "STAT\r\n", 6, kWaitMs));
  ASSERT_EQ(RecvSocket(hostEnd.Get(), buf, sizeof buf, kWaitMs), 6);
  EXPECT_EQ(std::string(buf, 6), "STAT\r\n");
  ASSERT_TRUE(SendSocket(hostEnd.Get(), "+OK 0 0\r\n", 9, kWaitMs));
  ASSERT_EQ(RecvSocket(clientEnd.Get(), buf, sizeof buf, kWaitMs), 9);
  // The mail host ends the session: the client sees the end, and the
  // relay ends without waiting for the client to close.
  ASSERT_TRUE(SendSocket(hostEnd.Get(), "+OK bye\r\n", 9, kWaitMs));
  hostEnd.Reset();
  EXPECT_EQ(RecvSocket(clientEnd.Get(), buf, sizeof buf, kWaitMs), 9);
  EXPECT_EQ(RecvSocket(clientEnd.Get(), buf, sizeof buf, kWaitMs), 0);
  for (int i = 0; i < 1000 && !ended; ++i) Sleep(10);
  EXPECT_TRUE(ended);
}

}  // namespace
