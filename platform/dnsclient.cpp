// dnsclient: see dnsclient.h.
#include "platform/dnsclient.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/random.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "platform/files.h"
#include "platform/registry.h"
#include "platform/sync.h"

namespace {

// "[" address "]:65535": the longest entry worth parsing.
constexpr size_t kMaxServerEntryLength = kMaxAddressText + 8;
// poll takes an int of milliseconds; longer waits are taken in slices.
constexpr long long kMaxPollSliceMs = 60 * 1000;
// The TC bit in byte 2 of the header, set in a copy that was cut here.
constexpr uint8_t kTcBitInByte2 = 0x02;

// ---- The NameServer value.

bool ParsePort(std::string_view text, uint16_t &port) {
  if (text.empty() || text.size() > 5) return false;
  unsigned long v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + static_cast<unsigned long>(c - '0');
  }
  if (v == 0 || v > 65535) return false;
  port = static_cast<uint16_t>(v);
  return true;
}

bool ParseServerEntry(std::string_view entry, DnsServerAddress &server) {
  if (entry.size() > kMaxServerEntryLength) return false;
  server.port = kDnsPort;
  std::string_view host = entry;
  std::string_view port;
  bool bracketed = !entry.empty() && entry.front() == '[';
  if (bracketed) {
    size_t close = entry.find(']');
    if (close == std::string_view::npos) return false;
    host = entry.substr(1, close - 1);
    std::string_view rest = entry.substr(close + 1);
    if (!rest.empty() && rest.front() != ':') return false;
    if (!rest.empty()) port = rest.substr(1);
    if (rest.size() == 1) return false;   // "[x::y]:" names no port
  } else if (size_t colon = entry.find(':'); colon != std::string_view::npos &&
                                             entry.find(':', colon + 1) == std::string_view::npos) {
    // One colon: an IPv4 address and its port. More: a bare IPv6 address.
    host = entry.substr(0, colon);
    port = entry.substr(colon + 1);
    if (port.empty()) return false;
  }
  if (!port.empty() && !ParsePort(port, server.port)) return false;
  IpAddress address;
  if (!ParseAddress(host, &address) || address.IsAny()) return false;
  // "[a.b.c.d]" is no IPv6 address: brackets are for IPv6 only.
  if (bracketed && !address.IsV6()) return false;
  server.address = address;
  return true;
}

// ---- Waiting with a deadline.

// Waits until fd is ready for events or the monotonic deadline passes.
bool WaitReady(int fd, short events, long long deadlineMs) {
  while (true) {
    long long left = deadlineMs - MonotonicMs();
    if (left <= 0) return false;
    pollfd p{fd, events, 0};
    int n = poll(&p, 1, static_cast<int>(std::min(left, kMaxPollSliceMs)));
    if (n > 0) return true;
    if (n < 0 && errno != EINTR) return false;
  }
}

bool RandomId(uint16_t &id) {
  while (true) {
    ssize_t n = getrandom(&id, sizeof id, 0);
    if (n == static_cast<ssize_t>(sizeof id)) return true;
    if (n < 0 && errno != EINTR) return false;
  }
}

// A socket of the server's family and connect's arguments for it.
struct ServerSocketAddress {
  sockaddr_storage storage{};
  socklen_t length = 0;
  const sockaddr *get() const { return reinterpret_cast<const sockaddr *>(&storage); }
};

ServerSocketAddress SocketAddress(const DnsServerAddress &server) {
  ServerSocketAddress sa;
  sa.length = ToSockaddr(server.address, server.port, &sa.storage);
  return sa;
}

int ServerSocket(const DnsServerAddress &server, int type) {
  int family = server.address.IsV6() ? AF_INET6 : AF_INET;
  return socket(family, type | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
}

// ---- Checking a reply.

struct Query {
  uint16_t id = 0;
  bool askAuthenticated = false;
  std::string name;   // normalised
  uint16_t type = 0;
  std::string wire;
};

bool BuildQuery(std::string_view name, uint16_t type, Query &q) {
  q.name = NormalizeDnsName(name);
  q.type = type;
  return !q.name.empty();
}

bool NewId(Query &q) {
  return RandomId(q.id) && BuildDnsQuery(q.id, q.name, q.type, q.wire, q.askAuthenticated);
}

// True when the bytes are a readable response to exactly this query. cut:
// the bytes are the first part of a longer answer, which is then read as
// truncated whatever its TC bit says.
bool AcceptReply(const Query &q, std::string &bytes, bool cut, DnsMessage &msg) {
  if (cut && bytes.size() > 2) bytes[2] = static_cast<char>(bytes[2] | kTcBitInByte2);
  const auto *data = reinterpret_cast<const uint8_t *>(bytes.data());
  if (!ParseDnsMessage(data, bytes.size(), msg)) return false;
  const DnsHeader &h = msg.header;
  if (!h.qr || h.opcode != 0 || h.id != q.id || msg.questions.size() != 1) return false;
  const DnsQuestion &question = msg.questions.front();
  return question.type == q.type && question.cls == kDnsClassIN &&
         DnsNamesEqual(question.name, q.name);
}

// ---- UDP.

enum class UdpResult { kAnswer, kTruncated, kNoAnswer };
enum class WaitResult { kAnswer, kSilence, kError };

// Receives datagrams until one answers the query or the deadline passes. A
// refused port or another socket error ends the wait at once.
WaitResult ReceiveUdp(int fd, const Query &q, size_t limit, long long deadline,
                      DnsAnswer &answer) {
  std::string buf(limit, '\0');
  while (WaitReady(fd, POLLIN, deadline)) {
    ssize_t n = recv(fd, buf.data(), buf.size(), MSG_TRUNC);   // n: the datagram's size
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return WaitResult::kError;
    size_t size = static_cast<size_t>(n);
    std::string bytes(buf.data(), std::min(size, limit));
    if (AcceptReply(q, bytes, size > limit, answer.message)) return WaitResult::kAnswer;
    ++answer.ignored;
  }
  return WaitResult::kSilence;
}

UdpResult AskUdp(const DnsServerAddress &server, const Query &q, const DnsQueryOptions &o,
                 DnsAnswer &answer) {
  UniqueFd fd(ServerSocket(server, SOCK_DGRAM));
  ServerSocketAddress sa = SocketAddress(server);
  if (!fd.Valid() || sa.length == 0 || connect(fd.Get(), sa.get(), sa.length) != 0)
    return UdpResult::kNoAnswer;
  int tries = std::max(o.udpTries, 1);
  long long start = MonotonicMs();
  for (int t = 1; t <= tries; ++t) {
    // Each try waits its share of the server's time; a reply to an earlier
    // send still counts, since every send carries the same identifier.
    long long deadline = start + static_cast<long long>(o.serverTimeoutMs) * t / tries;
    if (send(fd.Get(), q.wire.data(), q.wire.size(), MSG_NOSIGNAL) < 0 && errno != EINTR)
      return UdpResult::kNoAnswer;
    WaitResult w = ReceiveUdp(fd.Get(), q, o.responseLimit, deadline, answer);
    if (w == WaitResult::kError) return UdpResult::kNoAnswer;
    if (w == WaitResult::kAnswer)
      return answer.message.header.tc ? UdpResult::kTruncated : UdpResult::kAnswer;
  }
  return UdpResult::kNoAnswer;
}

// ---- TCP.

bool ConnectTcp(int fd, const DnsServerAddress &server, long long deadline) {
  ServerSocketAddress sa = SocketAddress(server);
  if (sa.length == 0) return false;
  if (connect(fd, sa.get(), sa.length) == 0) return true;
  if (errno != EINPROGRESS || !WaitReady(fd, POLLOUT, deadline)) return false;
  int err = 0;
  socklen_t len = sizeof err;
  return getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) == 0 && err == 0;
}

bool SendAll(int fd, std::string_view data, long long deadline) {
  while (!data.empty()) {
    if (!WaitReady(fd, POLLOUT, deadline)) return false;
    ssize_t n = send(fd, data.data(), data.size(), MSG_NOSIGNAL);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (n <= 0) return false;
    data.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

bool ReceiveExactly(int fd, char *out, size_t want, long long deadline) {
  for (size_t got = 0; got < want;) {
    if (!WaitReady(fd, POLLIN, deadline)) return false;
    ssize_t n = recv(fd, out + got, want - got, 0);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (n <= 0) return false;
    got += static_cast<size_t>(n);
  }
  return true;
}

// One exchange: length-prefixed query, length-prefixed answer. At most limit
// bytes of the answer are read; the rest is never looked at.
bool AskTcp(const DnsServerAddress &server, const Query &q, const DnsQueryOptions &o,
            DnsAnswer &answer) {
  long long deadline = MonotonicMs() + o.tcpTimeoutMs;
  UniqueFd fd(ServerSocket(server, SOCK_STREAM));
  if (!fd.Valid() || !ConnectTcp(fd.Get(), server, deadline)) return false;
  std::string framed;
  framed += static_cast<char>(q.wire.size() >> 8);
  framed += static_cast<char>(q.wire.size() & 0xFF);
  framed += q.wire;
  unsigned char prefix[2];
  if (!SendAll(fd.Get(), framed, deadline) ||
      !ReceiveExactly(fd.Get(), reinterpret_cast<char *>(prefix), 2, deadline))
    return false;
  size_t length = static_cast<size_t>(prefix[0]) << 8 | prefix[1];
  std::string bytes(std::min(length, o.responseLimit), '\0');
  if (!ReceiveExactly(fd.Get(), bytes.data(), bytes.size(), deadline)) return false;
  return AcceptReply(q, bytes, length > o.responseLimit, answer.message);
}

// Over TCP, starting at server first and wrapping around the list.
bool AskTcpInTurn(const std::vector<DnsServerAddress> &servers, size_t first, Query &q,
                  const DnsQueryOptions &o, DnsAnswer &answer) {
  for (size_t k = 0; k < servers.size(); ++k) {
    const DnsServerAddress &server = servers[(first + k) % servers.size()];
    if (!NewId(q)) return false;
    if (AskTcp(server, q, o, answer)) {
      answer.server = server;
      answer.viaTcp = true;
      return true;
    }
  }
  return false;
}

}  // namespace

std::string NameServerText(const DnsServerAddress &server) {
  std::string host = AddressText(server.address);
  if (server.address.IsV6()) host = "[" + host + "]";
  return host + ":" + std::to_string(server.port);
}

std::vector<DnsServerAddress> ParseNameServerList(std::string_view text, size_t maxBytes,
                                                  size_t maxServers) {
  std::vector<DnsServerAddress> servers;
  text = text.substr(0, maxBytes);
  constexpr std::string_view kSeparators = " ,\t\r\n";
  while (servers.size() < maxServers) {
    size_t b = text.find_first_not_of(kSeparators);
    if (b == std::string_view::npos) break;
    text.remove_prefix(b);
    size_t e = std::min(text.find_first_of(kSeparators), text.size());
    DnsServerAddress server;
    if (ParseServerEntry(text.substr(0, e), server)) servers.push_back(server);
    text.remove_prefix(e);
  }
  return servers;
}

long ReadTcpipParameter(const char *name, size_t maxBytes, std::string &value) {
  value.clear();
  RegKey key;
  long rc = RegOpenKeyEx(HKEY_LOCAL_MACHINE, kTcpipParametersKey, KEY_READ, key.out());
  if (rc != ERROR_SUCCESS) return rc;
  // Room for the terminating NUL that string values carry.
  std::string buf(maxBytes + 1, '\0');
  DWORD cb = static_cast<DWORD>(buf.size());
  rc = RegQueryValueEx(key.get(), name, nullptr, buf.data(), &cb);
  if (rc != ERROR_SUCCESS) return rc;
  value.assign(buf.data(), strnlen(buf.data(), std::min<size_t>(cb, maxBytes)));
  return ERROR_SUCCESS;
}

long ReadNameServerList(std::vector<DnsServerAddress> &servers) {
  servers.clear();
  std::string value;
  long rc = ReadTcpipParameter("NameServer", kMaxNameServerValueBytes, value);
  if (rc != ERROR_SUCCESS) return rc;
  servers = ParseNameServerList(value, kMaxNameServerValueBytes, kMaxDnsServers);
  return ERROR_SUCCESS;
}

long DnsQuery(const std::vector<DnsServerAddress> &servers, std::string_view name, uint16_t type,
              const DnsQueryOptions &options, DnsAnswer &answer) {
  answer = DnsAnswer();
  Query q;
  if (!BuildQuery(name, type, q)) return ERROR_INVALID_PARAMETER;
  q.askAuthenticated = options.askAuthenticated;
  DnsQueryOptions o = options;
  o.responseLimit = std::clamp(o.responseLimit, kDnsHeaderLength, kMaxDnsMessageLength);
  for (size_t i = 0; i < servers.size(); ++i) {
    if (!NewId(q)) return EIO;
    UdpResult r = AskUdp(servers[i], q, o, answer);
    if (r == UdpResult::kAnswer) {
      answer.server = servers[i];
      return ERROR_SUCCESS;
    }
    // The first truncated answer decides: TCP from here on, or no answer.
    if (r == UdpResult::kTruncated)
      return AskTcpInTurn(servers, i, q, o, answer) ? ERROR_SUCCESS : ERROR_TIMEOUT;
  }
  return ERROR_TIMEOUT;
}
