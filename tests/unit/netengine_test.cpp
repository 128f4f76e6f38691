// The network engine with a small test dialogue on real loopback sockets:
// listeners of both families and their kinds, the connection limits with an
// exempt network, and connection deadlines that the dialogue arms and
// clears. The engine is one per process, started once for the suite.
#include "net/netengine.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "net/localhost.h"
#include "platform/files.h"
#include "platform/hostres.h"
#include "platform/sockets.h"
#include "platform/sync.h"
#include "tests/unit/dnstest.h"

namespace {

constexpr DWORD kWaitMs = 10000;
constexpr int kDualKind = 7;
constexpr int kLoopbackKind = 9;
const char kBusy[] = "busy\r\n";

// The test dialogue: greets with the listener's kind, the client's address
// and the name it reached us by; answers "ARM n" and "CLEAR" by arming and
// clearing the deadline, echoes anything else, and when the deadline has
// passed says "deadline" and closes.
struct Dialogue {
  char Buffer[256];
  std::string Reply;
  bool bWriting = false;
  bool bClosing = false;
};

Dialogue &Dlg(_Connection *conn) { return *static_cast<Dialogue *>(conn->Dialogue); }

void Say(_Connection *conn, std::string text, bool close = false) {
  Dialogue &d = Dlg(conn);
  d.Reply = std::move(text);
  d.bWriting = true;
  d.bClosing = close;
  StartSocketWrite(conn, d.Reply.data(), d.Reply.size());
}

void Greet(_Connection *conn) {
  conn->Dialogue = new Dialogue;
  Say(conn, "hi " + std::to_string(conn->ListenerKind) + " " + conn->PeerAddress + " " +
                conn->LocalHostName + "\r\n");
}

void Command(_Connection *conn, std::string line) {
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
  if (line.rfind("ARM ", 0) == 0) {
    ArmConnectionDeadline(conn, static_cast<DWORD>(std::stoul(line.substr(4))));
    Say(conn, "armed\r\n");
  } else if (line == "CLEAR") {
    ClearConnectionDeadline(conn);
    Say(conn, "cleared\r\n");
  } else {
    Say(conn, line + "\r\n");
  }
}

void Complete(_Connection *conn, OVERLAPPED *, DWORD bytes, bool ok) {
  Dialogue &d = Dlg(conn);
  if (!ok) {
    if (GetLastError() == ERROR_OPERATION_ABORTED && conn->bDeadlinePassed.load())
      return Say(conn, "deadline\r\n", true);
    return CloseConnection(conn, false);
  }
  if (d.bWriting) {
    d.bWriting = false;
    if (d.bClosing) return CloseConnection(conn, true);
    StartSocketRead(conn, d.Buffer, sizeof d.Buffer);
    return;
  }
  if (bytes == 0) return CloseConnection(conn, false);
  Command(conn, std::string(d.Buffer, bytes));
}

void Release(_Connection *conn) {
  delete &Dlg(conn);
  conn->Dialogue = nullptr;
}

uint16_t FreePort(const IpAddress &on) {
  UniqueFd probe(CreateListener(on, 0, 1));
  uint16_t port = 0;
  GetSocketAddress(probe.Get(), nullptr, &port);
  return port;
}

IpAddress Ip(const char *text) {
  IpAddress a;
  EXPECT_TRUE(ParseAddress(text, &a)) << text;
  return a;
}

// A client connected from source (any 127.x address) to address:port.
struct Client {
  UniqueFd Fd;
  std::string Buffered;

  Client(const char *source, const char *address, uint16_t port) {
    IpAddress to = Ip(address);
    if (to.IsV6()) {
      Fd.Reset(ConnectSocket(to, port, kWaitMs));
      return;
    }
    Fd.Reset(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    inet_pton(AF_INET, source, &sa.sin_addr);
    if (bind(Fd.Get(), reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0) Fd.Reset();
    sa.sin_port = htons(port);
    inet_pton(AF_INET, address, &sa.sin_addr);
    if (Fd.Valid() && connect(Fd.Get(), reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0)
      Fd.Reset();
  }
  // The next line with its CR LF; "" at the end of the stream or on time-out.
  std::string Line(DWORD timeoutMs = kWaitMs) {
    char buf[256];
    while (Buffered.find('\n') == std::string::npos) {
      long n = RecvSocket(Fd.Get(), buf, sizeof buf, timeoutMs);
      if (n <= 0) return "";
      Buffered.append(buf, static_cast<size_t>(n));
    }
    size_t end = Buffered.find('\n') + 1;
    std::string line = Buffered.substr(0, end);
    Buffered.erase(0, end);
    return line;
  }
  std::string Ask(const std::string &command) {
    SendSocket(Fd.Get(), (command + "\r\n").data(), command.size() + 2, kWaitMs);
    return Line();
  }
  bool Greeted() { return Line().rfind("hi ", 0) == 0; }
};

class NetEngineTest : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    ASSERT_TRUE(dnstest::SetTcpip("NameServer", dnstest::ClosedPortEntry()));
    ASSERT_TRUE(dnstest::SetTcpip("Hostname", "zeltest"));
    ASSERT_TRUE(dnstest::SetTcpip("Domain", "example.test"));
    std::string hosts = std::string(getenv("ZEL_ROOT")) + "/hosts-netengine";
    UniqueFd(open(hosts.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0600));
    SetHostsFilePathForTest(hosts);
    dual_ = DualStackAvailable();
    IpAddress any = AnyInterface();
    dualPort_ = FreePort(any);
    loopbackPort_ = FreePort(IpV4(htonl(INADDR_LOOPBACK)));
    NetEngineSettings s;
    AddListeners(&s, {any}, dualPort_, kDualKind);
    AddListeners(&s, {IpV4(htonl(INADDR_LOOPBACK))}, loopbackPort_, kLoopbackKind);
    s.Workers = 2;
    s.MaxConnections = 4;
    s.MaxConnectionsPerClient = 2;
    std::vector<std::string> bad;
    ParseNetworkList({"127.0.0.3/32"}, &s.ExemptFromClientLimit, &bad);
    s.TooManyConnectionsReply = kBusy;
    ASSERT_TRUE(StartNetEngine(s, {Greet, Complete, Release}));
  }

  static bool dual_;
  static uint16_t dualPort_, loopbackPort_;
};

bool NetEngineTest::dual_ = false;
uint16_t NetEngineTest::dualPort_ = 0;
uint16_t NetEngineTest::loopbackPort_ = 0;

TEST_F(NetEngineTest, ListenersGiveTheirKindAndTheClientsAddress) {
  Client v4("127.0.0.1", "127.0.0.1", dualPort_);
  EXPECT_EQ(v4.Line(), "hi 7 127.0.0.1 zeltest.example.test\r\n");
  Client other("127.0.0.1", "127.0.0.1", loopbackPort_);
  EXPECT_EQ(other.Line(), "hi 9 127.0.0.1 zeltest.example.test\r\n");
  std::vector<IpAddress> own6;
  GetLocalInterfaceAddresses6(own6);
  if (!dual_ || std::find(own6.begin(), own6.end(), Ip("::1")) == own6.end())
    GTEST_SKIP() << "no IPv6 loopback address";
  Client v6("", "::1", dualPort_);
  EXPECT_EQ(v6.Line(), "hi 7 ::1 zeltest.example.test\r\n");
}

// Two connections per client, four in all; 127.0.0.3 is spared the first
// limit but not the second. A connection over a limit hears the refusal
// and is closed; a closed connection frees its place.
TEST_F(NetEngineTest, ConnectionLimits) {
  std::vector<std::unique_ptr<Client>> open;
  for (int i = 0; i < 2; ++i) {
    open.push_back(std::make_unique<Client>("127.0.0.1", "127.0.0.1", dualPort_));
    ASSERT_TRUE(open.back()->Greeted());
  }
  Client third("127.0.0.1", "127.0.0.1", loopbackPort_);
  EXPECT_EQ(third.Line(), kBusy);
  EXPECT_EQ(third.Line(), "");
  for (int i = 0; i < 2; ++i) {
    open.push_back(std::make_unique<Client>("127.0.0.3", "127.0.0.1", dualPort_));
    ASSERT_TRUE(open.back()->Greeted());
  }
  Client fifth("127.0.0.3", "127.0.0.1", dualPort_);
  EXPECT_EQ(fifth.Line(), kBusy);
  // The engine notices the close when the connection's read ends.
  open.front().reset();
  bool greeted = false;
  for (int attempt = 0; attempt < 100 && !greeted; ++attempt) {
    Client again("127.0.0.1", "127.0.0.1", dualPort_);
    greeted = again.Greeted();
    if (!greeted) Sleep(50);
  }
  EXPECT_TRUE(greeted);
}

// An armed deadline cancels the waiting read with bDeadlinePassed, so the
// dialogue can say why it closes; a cleared one is never checked, and the
// idle check (off here) has no part in it.
TEST_F(NetEngineTest, DeadlinesArmedAndCleared) {
  Client late("127.0.0.1", "127.0.0.1", dualPort_);
  Client cleared("127.0.0.1", "127.0.0.1", loopbackPort_);
  ASSERT_TRUE(late.Greeted());
  ASSERT_TRUE(cleared.Greeted());
  long long start = MonotonicMs();
  EXPECT_EQ(late.Ask("ARM 1"), "armed\r\n");
  EXPECT_EQ(cleared.Ask("ARM 1"), "armed\r\n");
  EXPECT_EQ(cleared.Ask("ARM 60"), "armed\r\n");   // replaces the first
  EXPECT_EQ(cleared.Ask("ping"), "ping\r\n");
  EXPECT_EQ(late.Line(), "deadline\r\n");
  long long took = MonotonicMs() - start;
  EXPECT_GE(took, 900);
  EXPECT_LT(took, 4000);
  EXPECT_EQ(late.Line(), "");
  EXPECT_EQ(cleared.Ask("CLEAR"), "cleared\r\n");
  EXPECT_EQ(cleared.Line(2500), "");                // nothing came
  EXPECT_EQ(cleared.Ask("still here"), "still here\r\n");
}

}  // namespace
