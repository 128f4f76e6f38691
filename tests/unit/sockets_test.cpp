// The socket calls on loopback: listen, accept and its wake-up, rebinding,
// addresses, connect and its failures, time-outs, and the two closes.
#include "platform/sockets.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "platform/files.h"
#include "platform/sync.h"

namespace {

constexpr DWORD kWaitMs = 10000;
const uint32_t kLoopback = htonl(INADDR_LOOPBACK);

uint16_t PortOf(int fd) {
  uint16_t port = 0;
  GetLocalAddress(fd, nullptr, &port);
  return port;
}

TEST(SocketsTest, DottedAddressesFormatAndParseStrictly) {
  struct Case {
    std::string_view text;
    bool ok;
    uint32_t hostOrder;
  } cases[] = {
      {"127.0.0.1", true, 0x7F000001},
      {"0.0.0.0", true, 0},
      {"255.255.255.255", true, 0xFFFFFFFF},
      {"10.1.2.3", true, 0x0A010203},
      {"1.2.3", false, 0},
      {"1.2.3.4.5", false, 0},
      {"256.1.1.1", false, 0},
      {"01.2.3.4", false, 0},
      {" 1.2.3.4", false, 0},
      {"1.2.3.4 ", false, 0},
      {"", false, 0},
      {"1.2.3.4x", false, 0},
      {"0x1.2.3.4", false, 0},
      {"255.255.255.2550", false, 0},  // one byte over the longest form
      {std::string_view("1.2.3.4\0"
                        "9",
                        9),
       false, 0},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(std::string(c.text));
    uint32_t addr = 0xDEADBEEF;
    EXPECT_EQ(ParseDottedAddress(c.text, &addr), c.ok);
    if (c.ok) {
      EXPECT_EQ(ntohl(addr), c.hostOrder);
      EXPECT_EQ(DottedAddress(addr), c.text);
    } else {
      EXPECT_EQ(addr, 0xDEADBEEF);
    }
  }
}

TEST(SocketsTest, ConnectAcceptExchangeAndAddresses) {
  UniqueFd listener(CreateListener(kLoopback, 0, 5));
  ASSERT_TRUE(listener.Valid());
  uint16_t port = PortOf(listener.Get());
  ASSERT_NE(port, 0);
  UniqueFd client(ConnectSocket(kLoopback, port, kWaitMs));
  ASSERT_TRUE(client.Valid());
  uint32_t peer = 0;
  uint16_t peerPort = 0;
  UniqueFd server(AcceptSocket(listener.Get(), &peer, &peerPort));
  ASSERT_TRUE(server.Valid());
  EXPECT_EQ(DottedAddress(peer), "127.0.0.1");
  EXPECT_EQ(peerPort, PortOf(client.Get()));
  uint32_t local = 0, remote = 0;
  ASSERT_TRUE(GetLocalAddress(server.Get(), &local));
  ASSERT_TRUE(GetPeerAddress(client.Get(), &remote));
  EXPECT_EQ(local, kLoopback);
  EXPECT_EQ(remote, kLoopback);
  EXPECT_TRUE(SetKeepAlive(server.Get()));
  ASSERT_TRUE(SendSocket(client.Get(), "HELO x\r\n", 8, kWaitMs));
  char buf[64];
  EXPECT_EQ(RecvSocket(server.Get(), buf, sizeof buf, kWaitMs), 8);
  EXPECT_EQ(std::string(buf, 8), "HELO x\r\n");
}

IpAddress Ip(const char *text) {
  IpAddress a;
  EXPECT_TRUE(ParseAddress(text, &a)) << text;
  return a;
}

// "::" takes both families, and a client of either is seen as it is (an
// IPv4 client as IPv4, not as ::ffff:a.b.c.d); IPv6 only when asked, which
// leaves the port's IPv4 side to a listener of its own.
TEST(SocketsTest, DualStackAndIPv6OnlyListeners) {
  if (!DualStackAvailable()) GTEST_SKIP() << "this host has no IPv6";
  EXPECT_TRUE(AnyInterface().IsV6());
  UniqueFd dual(CreateListener(Ip("::"), 0, 5));
  ASSERT_TRUE(dual.Valid()) << GetLastError();
  uint16_t port = 0;
  ASSERT_TRUE(GetSocketAddress(dual.Get(), nullptr, &port));
  for (const char *text : {"127.0.0.1", "::1"}) {
    SCOPED_TRACE(text);
    UniqueFd client(ConnectSocket(Ip(text), port, kWaitMs));
    ASSERT_TRUE(client.Valid()) << GetLastError();
    IpAddress peer, local, remote;
    uint16_t peerPort = 0, clientPort = 0;
    UniqueFd server(AcceptConnection(dual.Get(), &peer, &peerPort));
    ASSERT_TRUE(server.Valid());
    ASSERT_TRUE(GetSocketAddress(client.Get(), nullptr, &clientPort));
    EXPECT_EQ(AddressText(peer), text);
    EXPECT_EQ(peerPort, clientPort);
    ASSERT_TRUE(GetSocketAddress(server.Get(), &local));
    ASSERT_TRUE(GetSocketPeer(client.Get(), &remote));
    EXPECT_EQ(AddressText(local), text);
    EXPECT_EQ(AddressText(remote), text);
    // The IPv4 forms answer for IPv4 alone.
    uint32_t v4 = 1;
    EXPECT_EQ(GetLocalAddress(server.Get(), &v4), peer.IsV4());
    if (peer.IsV6()) {
      EXPECT_EQ(GetLastError(), EAFNOSUPPORT);
    }
  }
  dual.Reset();
  UniqueFd only6(CreateListener(Ip("::"), port, 5, true));
  ASSERT_TRUE(only6.Valid()) << GetLastError();
  EXPECT_EQ(ConnectSocket(kLoopback, port, kWaitMs), -1);
  UniqueFd only4(CreateListener(Ip("0.0.0.0"), port, 5));
  EXPECT_TRUE(only4.Valid()) << GetLastError();
  UniqueFd client4(ConnectSocket(kLoopback, port, kWaitMs));
  EXPECT_TRUE(client4.Valid());
  uint32_t peer4 = 0;
  UniqueFd server4(AcceptSocket(only4.Get(), &peer4));
  EXPECT_EQ(DottedAddress(peer4), "127.0.0.1");
}

TEST(SocketsTest, ShutdownListenerWakesBlockedAccept) {
  UniqueFd listener(CreateListener(0, 0, 5));
  ASSERT_TRUE(listener.Valid());
  std::atomic<int> result{-2};
  std::thread acceptor([&] { result = AcceptSocket(listener.Get(), nullptr); });
  Sleep(50);
  EXPECT_EQ(result.load(), -2);  // still blocked
  long long start = MonotonicMs();
  ASSERT_TRUE(ShutdownListener(listener.Get()));
  acceptor.join();
  EXPECT_EQ(result.load(), -1);
  EXPECT_LT(MonotonicMs() - start, 2000);
  EXPECT_EQ(AcceptSocket(listener.Get(), nullptr), -1);  // and stays closed
}

// A restarted service binds its port again while the last connections of
// the old one sit in TIME_WAIT.
TEST(SocketsTest, ListenerRebindsAfterRestart) {
  UniqueFd listener(CreateListener(kLoopback, 0, 5));
  uint16_t port = PortOf(listener.Get());
  UniqueFd client(ConnectSocket(kLoopback, port, kWaitMs));
  int server = AcceptSocket(listener.Get(), nullptr);
  ASSERT_GE(server, 0);
  CloseSocket(server);  // the server side closes first: TIME_WAIT on our port
  char buf[8];
  EXPECT_EQ(RecvSocket(client.Get(), buf, sizeof buf, kWaitMs), 0);
  listener.Reset();
  UniqueFd again(CreateListener(kLoopback, port, 5));
  EXPECT_TRUE(again.Valid()) << GetLastError();
}

TEST(SocketsTest, ConnectFailures) {
  // A port nobody listens on.
  uint16_t port;
  {
    UniqueFd probe(CreateListener(kLoopback, 0, 1));
    port = PortOf(probe.Get());
  }
  EXPECT_EQ(ConnectSocket(kLoopback, port, kWaitMs), -1);
  EXPECT_EQ(GetLastError(), ECONNREFUSED);
  // A listener whose queue is full drops further handshakes: the connect
  // waits until its time-out.
  UniqueFd full(CreateListener(kLoopback, 0, 0));
  port = PortOf(full.Get());
  std::vector<UniqueFd> queued;
  long long took = 0;
  for (int i = 0; i < 8; ++i) {
    long long start = MonotonicMs();
    int fd = ConnectSocket(kLoopback, port, 200);
    took = MonotonicMs() - start;
    if (fd < 0) break;
    queued.emplace_back(fd);
  }
  ASSERT_LT(queued.size(), 8u);
  EXPECT_EQ(GetLastError(), ERROR_TIMEOUT);
  EXPECT_GE(took, 190);
}

TEST(SocketsTest, TimeOutsOfSendAndReceive) {
  UniqueFd listener(CreateListener(kLoopback, 0, 5));
  UniqueFd client(ConnectSocket(kLoopback, PortOf(listener.Get()), kWaitMs));
  UniqueFd server(AcceptSocket(listener.Get(), nullptr));
  char buf[16];
  long long start = MonotonicMs();
  EXPECT_EQ(RecvSocket(server.Get(), buf, sizeof buf, 100), -1);
  EXPECT_EQ(GetLastError(), ERROR_TIMEOUT);
  EXPECT_GE(MonotonicMs() - start, 99);
  // A peer that reads nothing: the send stalls once the buffers are full.
  std::string big(32 << 20, 'x');
  EXPECT_FALSE(SendSocket(client.Get(), big.data(), big.size(), 100));
  EXPECT_EQ(GetLastError(), ERROR_TIMEOUT);
}

TEST(SocketsTest, GracefulAndAbortiveClose) {
  for (bool abortive : {false, true}) {
    SCOPED_TRACE(abortive ? "abortive" : "graceful");
    UniqueFd listener(CreateListener(kLoopback, 0, 5));
    UniqueFd client(ConnectSocket(kLoopback, PortOf(listener.Get()), kWaitMs));
    int server = AcceptSocket(listener.Get(), nullptr);
    ASSERT_GE(server, 0);
    ASSERT_TRUE(SendSocket(server, "221 bye\r\n", 9, kWaitMs));
    Sleep(20);  // the reply is in the peer's buffer before the close
    EXPECT_TRUE(abortive ? CloseSocketAbortive(server) : CloseSocket(server));
    // The bytes already delivered can be read; then the end of the stream,
    // or the reset.
    char buf[64];
    long n, total = 0;
    while ((n = RecvSocket(client.Get(), buf, sizeof buf, kWaitMs)) > 0) total += n;
    if (abortive) {
      EXPECT_EQ(n, -1);
      EXPECT_EQ(GetLastError(), ECONNRESET);
      // Writing on a reset connection fails; it does not raise SIGPIPE.
      EXPECT_FALSE(SendSocket(client.Get(), "x", 1, kWaitMs));
    } else {
      EXPECT_EQ(total, 9);
      EXPECT_EQ(n, 0);
    }
  }
}

}  // namespace
