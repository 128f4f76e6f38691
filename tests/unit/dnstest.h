// DNS test helpers: building answers byte by byte, a tiny name server on
// 127.0.0.1 that answers as a test tells it to, and pointing the registry's
// Tcpip values at it (ResolverTest, the fixture of the lookup tests). Every
// test that can cause a lookup sets NameServer to a loopback address of its
// own first, so no query ever leaves the machine.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "platform/dnswire.h"
#include "platform/hostres.h"
#include "platform/registry.h"
#include "platform/sync.h"

namespace dnstest {

inline void PutU16(std::string &out, uint16_t v) {
  out += static_cast<char>(v >> 8);
  out += static_cast<char>(v & 0xFF);
}

inline void PutU32(std::string &out, uint32_t v) {
  PutU16(out, static_cast<uint16_t>(v >> 16));
  PutU16(out, static_cast<uint16_t>(v & 0xFFFF));
}

// A name in wire form without compression ("" is the root).
inline std::string WireName(std::string_view name) {
  std::string out;
  while (!name.empty()) {
    size_t dot = name.find('.');
    std::string_view label = name.substr(0, dot);
    out += static_cast<char>(label.size());
    out += label;
    name.remove_prefix(dot == std::string_view::npos ? name.size() : dot + 1);
  }
  out += '\0';
  return out;
}

inline std::string Ipv4(const char *dotted) {
  in_addr a;
  inet_pton(AF_INET, dotted, &a);
  return std::string(reinterpret_cast<const char *>(&a), 4);
}

inline uint32_t Addr(const char *dotted) {
  in_addr a;
  inet_pton(AF_INET, dotted, &a);
  return a.s_addr;
}

inline std::string MxData(uint16_t preference, std::string_view host) {
  std::string out;
  PutU16(out, preference);
  return out + WireName(host);
}

struct Rr {
  std::string name;
  uint16_t type = kDnsTypeA;
  std::string data;  // wire form of the data
  uint32_t ttl = 300;
  uint16_t cls = kDnsClassIN;
};

constexpr uint16_t kResponse = 0x8180;  // QR, RD, RA, NOERROR
constexpr uint16_t kTc = 0x0200;

inline std::string RecordBytes(const Rr &r) {
  std::string out = WireName(r.name);
  PutU16(out, r.type);
  PutU16(out, r.cls);
  PutU32(out, r.ttl);
  PutU16(out, static_cast<uint16_t>(r.data.size()));
  return out + r.data;
}

// A whole message, no compression.
inline std::string Message(uint16_t id, uint16_t flags, std::string_view qname, uint16_t qtype,
                           const std::vector<Rr> &an, const std::vector<Rr> &ns = {},
                           const std::vector<Rr> &ar = {}) {
  std::string out;
  PutU16(out, id);
  PutU16(out, flags);
  PutU16(out, 1);
  PutU16(out, static_cast<uint16_t>(an.size()));
  PutU16(out, static_cast<uint16_t>(ns.size()));
  PutU16(out, static_cast<uint16_t>(ar.size()));
  out += WireName(qname);
  PutU16(out, qtype);
  PutU16(out, kDnsClassIN);
  for (const auto *section : {&an, &ns, &ar})
    for (const Rr &r : *section) out += RecordBytes(r);
  return out;
}

// The question of a received query.
struct Asked {
  uint16_t id = 0;
  std::string name;
  uint16_t type = 0;
};

inline bool ReadQuery(const std::string &bytes, Asked &q) {
  DnsMessage m;
  if (!ParseDnsMessage(reinterpret_cast<const uint8_t *>(bytes.data()), bytes.size(), m) ||
      m.questions.size() != 1)
    return false;
  q.id = m.header.id;
  q.name = m.questions[0].name;
  q.type = m.questions[0].type;
  return true;
}

// An answer to q with the records given.
inline std::string Reply(const Asked &q, const std::vector<Rr> &an, uint16_t flags = kResponse,
                         const std::vector<Rr> &ar = {}) {
  return Message(q.id, flags, q.name, q.type, an, {}, ar);
}

// A name server on 127.0.0.1 (UDP, and TCP on the same port when asked for).
// The handler gets each query and says what to send back: any number of
// datagrams over UDP, the first of them over TCP. The server stops when the
// object dies, and by itself after kLifetimeMs whatever happens.
class FakeDnsServer {
 public:
  using Handler = std::function<std::vector<std::string>(const std::string &query, bool tcp)>;
  static constexpr long long kLifetimeMs = 60000;

  explicit FakeDnsServer(Handler handler, bool withTcp = false) : handler_(std::move(handler)) {
    for (int attempt = 0; attempt < 20 && !Bind(withTcp); ++attempt) Close();
    thread_ = std::thread([this] { Run(); });
  }
  ~FakeDnsServer() {
    stop_ = true;
    thread_.join();
    Close();
  }
  FakeDnsServer(const FakeDnsServer &) = delete;
  FakeDnsServer &operator=(const FakeDnsServer &) = delete;

  uint16_t Port() const { return port_; }
  std::string Entry() const { return "127.0.0.1:" + std::to_string(port_); }
  int UdpQueries() const { return udp_; }
  int TcpQueries() const { return tcp_; }

 private:
  bool Bind(bool withTcp) {
    udpFd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof sa;
    if (bind(udpFd_, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0 ||
        getsockname(udpFd_, reinterpret_cast<sockaddr *>(&sa), &len) != 0)
      return false;
    port_ = ntohs(sa.sin_port);
    if (!withTcp) return true;
    tcpFd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int one = 1;
    setsockopt(tcpFd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    return bind(tcpFd_, reinterpret_cast<sockaddr *>(&sa), sizeof sa) == 0 &&
           listen(tcpFd_, 4) == 0;
  }
  void Close() {
    if (udpFd_ >= 0) close(udpFd_);
    if (tcpFd_ >= 0) close(tcpFd_);
    udpFd_ = tcpFd_ = -1;
  }
  void Run() {
    long long end = MonotonicMs() + kLifetimeMs;
    while (!stop_ && MonotonicMs() < end) {
      pollfd p[2] = {{udpFd_, POLLIN, 0}, {tcpFd_, POLLIN, 0}};
      if (poll(p, tcpFd_ >= 0 ? 2 : 1, 50) <= 0) continue;
      if (p[0].revents & POLLIN) ServeUdp();
      if (tcpFd_ >= 0 && (p[1].revents & POLLIN)) ServeTcp();
    }
  }
  void ServeUdp() {
    char buf[4096];
    sockaddr_in peer{};
    socklen_t len = sizeof peer;
    ssize_t n = recvfrom(udpFd_, buf, sizeof buf, 0, reinterpret_cast<sockaddr *>(&peer), &len);
    if (n <= 0) return;
    ++udp_;
    for (const std::string &out : handler_(std::string(buf, n), false))
      sendto(udpFd_, out.data(), out.size(), 0, reinterpret_cast<sockaddr *>(&peer), len);
  }
  static bool ReadFull(int fd, char *out, size_t want) {
    for (size_t got = 0; got < want;) {
      pollfd p{fd, POLLIN, 0};
      if (poll(&p, 1, 2000) <= 0) return false;
      ssize_t n = read(fd, out + got, want - got);
      if (n <= 0) return false;
      got += static_cast<size_t>(n);
    }
    return true;
  }
  void ServeTcp() {
    int fd = accept4(tcpFd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) return;
    ++tcp_;
    unsigned char prefix[2];
    std::string query;
    if (ReadFull(fd, reinterpret_cast<char *>(prefix), 2)) {
      query.resize(prefix[0] << 8 | prefix[1]);
      if (ReadFull(fd, query.data(), query.size())) {
        std::vector<std::string> out = handler_(query, true);
        if (!out.empty()) {
          std::string framed;
          PutU16(framed, static_cast<uint16_t>(out[0].size()));
          framed += out[0];
          (void)!write(fd, framed.data(), framed.size());
        }
      }
    }
    close(fd);
  }

  Handler handler_;
  int udpFd_ = -1, tcpFd_ = -1;
  uint16_t port_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<int> udp_{0}, tcp_{0};
  std::thread thread_;
};

// A loopback UDP port where nothing listens: queries to it are refused.
inline std::string ClosedPortEntry() {
  int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof sa;
  bind(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa);
  getsockname(fd, reinterpret_cast<sockaddr *>(&sa), &len);
  close(fd);
  return "127.0.0.1:" + std::to_string(ntohs(sa.sin_port));
}

// Stores a value of the platform's Tcpip key (in the test's scratch registry).
inline bool SetTcpip(const char *name, const std::string &value) {
  RegKey key;
  if (RegCreateKeyEx(HKEY_LOCAL_MACHINE, kTcpipParametersKey, KEY_ALL_ACCESS, key.out(),
                     nullptr) != ERROR_SUCCESS)
    return false;
  return RegSetValueEx(key.get(), name, REG_SZ, value.c_str(),
                       static_cast<DWORD>(value.size() + 1)) == ERROR_SUCCESS;
}

// Lookups against the scratch registry: NameServer is a refusing loopback
// port until a test points it at its own server (UseServer), this host is
// zeltest.example.test, and the hosts file is the test's own (WriteHosts).
class ResolverTest : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(SetTcpip("NameServer", ClosedPortEntry()));
    ASSERT_TRUE(SetTcpip("Hostname", "zeltest"));
    ASSERT_TRUE(SetTcpip("Domain", "example.test"));
    const testing::TestInfo *test = testing::UnitTest::GetInstance()->current_test_info();
    hostsPath_ = std::string(getenv("ZEL_ROOT")) + "/hosts-" + test->test_suite_name() + "-" +
                 test->name();
    WriteHosts("");
    SetHostsFilePathForTest(hostsPath_);
  }
  void TearDown() override { SetHostsFilePathForTest(""); }

  void WriteHosts(const std::string &text) { std::ofstream(hostsPath_) << text; }
  static void UseServer(const FakeDnsServer &server) {
    ASSERT_TRUE(SetTcpip("NameServer", server.Entry()));
  }

  std::string hostsPath_;
};

}  // namespace dnstest
