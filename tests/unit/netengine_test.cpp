// The network engine with a small test dialogue on real loopback sockets:
// listeners of both families and their kinds, the connection limits with an
// exempt network, connection deadlines that the dialogue arms and clears,
// and TLS: from the first byte and by STARTTLS (pipelined bytes dropped),
// transmissions through the session, hostile and silent clients. The TLS
// clients are OpenSSL over the blocking socket, as any outside client. The
// engine is one per process, started once for the suite.
#include "net/netengine.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "net/localhost.h"
#include "platform/files.h"
#include "platform/fileview.h"
#include "platform/hostres.h"
#include "platform/sockets.h"
#include "platform/sync.h"
#include "platform/tls.h"
#include "tests/unit/dnstest.h"

namespace {

constexpr DWORD kWaitMs = 10000;
constexpr int kDualKind = 7;
constexpr int kLoopbackKind = 9;
constexpr int kTlsKind = 11;
constexpr int kStrictKind = 12;
constexpr DWORD kIdleSeconds = 4;
constexpr DWORD kHandshakeSeconds = 2;
const char kBusy[] = "busy\r\n";
// A transmission's head is longer than a TLS record, its file longer than
// the engine's ciphertext buffer many times over.
const std::string kHead = std::string(40000, 'h') + "\r\n";
const char kTail[] = ".\r\n";
constexpr size_t kFileBytes = 300000;

std::atomic<int> g_Greeted[16];
std::mutex g_FailLock;
std::vector<std::string> g_TlsFailures;

// The test dialogue: greets with the listener's kind, the client's address
// and the name it reached us by, then takes lines (input behind a line is
// kept and handed back with PostReadCompletion, as the servers do):
// every whole line is reported (NoteCommandLine); "ARM n" and "CLEAR" arm
// and clear the deadline, "STARTTLS" answers "ready" and starts TLS (and
// clears the deadline, as a dialogue that forgets its transaction does),
// "INFO" tells the encryption, "SEND" transmits a file between a head and
// a tail and then says how many bytes went, "BYE" closes gracefully;
// anything else is echoed. When the deadline has passed it says
// "deadline", when the client was idle "idle", and closes; a write that
// was cut closes at once.
enum Next { kRead, kClose, kStartTls, kSent };

struct Dialogue {
  char Buffer[256];
  std::string Line, Pending, Reply;
  bool bWriting = false;
  Next After = kRead;   // once the write is done
  long Dropped = -1;
  UniqueFd File;
};

Dialogue &Dlg(_Connection *conn) { return *static_cast<Dialogue *>(conn->Dialogue); }

void Say(_Connection *conn, std::string text, Next after = kRead) {
  Dialogue &d = Dlg(conn);
  d.Reply = std::move(text);
  d.After = after;
  d.bWriting = true;
  StartSocketWrite(conn, d.Reply.data(), d.Reply.size());
}

void ReadNext(_Connection *conn) {
  Dialogue &d = Dlg(conn);
  if (d.Pending.empty()) {
    StartSocketRead(conn, d.Buffer, sizeof d.Buffer);
    return;
  }
  size_t n = std::min(sizeof d.Buffer, d.Pending.size());
  d.Pending.copy(d.Buffer, n);
  d.Pending.erase(0, n);
  PostReadCompletion(conn, static_cast<DWORD>(n));
}

void Greet(_Connection *conn) {
  conn->Dialogue = new Dialogue;
  ++g_Greeted[conn->ListenerKind];
  Say(conn, "hi " + std::to_string(conn->ListenerKind) + " " + conn->PeerAddress + " " +
                conn->LocalHostName + "\r\n");
}

void Transmit(_Connection *conn) {
  Dialogue &d = Dlg(conn);
  d.File.Reset(OpenFileForReading(std::string(getenv("ZEL_ROOT")) + "/transmit.dat"));
  d.After = kSent;
  d.bWriting = true;
  if (!TrySocketTransmit(conn, d.File.Get(), 0, kFileBytes, kHead, kTail))
    CloseConnection(conn, false);
}

void Command(_Connection *conn, const std::string &line) {
  Dialogue &d = Dlg(conn);
  if (line.rfind("ARM ", 0) == 0) {
    ArmConnectionDeadline(conn, static_cast<DWORD>(std::stoul(line.substr(4))));
    Say(conn, "armed\r\n");
  } else if (line == "CLEAR") {
    ClearConnectionDeadline(conn);
    Say(conn, "cleared\r\n");
  } else if (line == "STARTTLS") {
    Say(conn, ConnectionCanStartTls(conn) ? "ready\r\n" : "no\r\n",
        ConnectionCanStartTls(conn) ? kStartTls : kRead);
  } else if (line == "INFO") {
    Say(conn, ConnectionEncrypted(conn) ? "tls " + ConnectionTlsVersion(conn) + " " +
                                              ConnectionTlsCipher(conn) + " dropped " +
                                              std::to_string(d.Dropped) + "\r\n"
                                        : "plain\r\n");
  } else if (line == "SEND") {
    Transmit(conn);
  } else if (line == "BYE") {
    Say(conn, "bye\r\n", kClose);
  } else {
    Say(conn, line + "\r\n");
  }
}

void Written(_Connection *conn, DWORD bytes) {
  Dialogue &d = Dlg(conn);
  d.bWriting = false;
  switch (d.After) {
    case kClose:
      return CloseConnection(conn, true);
    case kStartTls:
      d.Dropped = StartConnectionTls(conn, d.Pending);
      if (d.Dropped < 0) return CloseConnection(conn, false);
      ClearConnectionDeadline(conn);
      return ReadNext(conn);
    case kSent:
      d.File.Reset();
      return Say(conn, "sent " + std::to_string(bytes) + "\r\n");
    default:
      return ReadNext(conn);
  }
}

void Complete(_Connection *conn, OVERLAPPED *, DWORD bytes, bool ok) {
  Dialogue &d = Dlg(conn);
  if (!ok) {
    bool cancelled = GetLastError() == ERROR_OPERATION_ABORTED;
    if (cancelled && conn->bWriteTimedOut.load()) return CloseConnection(conn, false);
    if (cancelled && conn->bDeadlinePassed.load()) return Say(conn, "deadline\r\n", kClose);
    if (cancelled && conn->bTimedOut.load()) return Say(conn, "idle\r\n", kClose);
    return CloseConnection(conn, false);
  }
  if (d.bWriting) return Written(conn, bytes);
  if (bytes == 0) return CloseConnection(conn, false);
  d.Line.append(d.Buffer, bytes);
  size_t nl = d.Line.find('\n');
  if (nl == std::string::npos) return ReadNext(conn);
  d.Pending.insert(0, d.Line, nl + 1);
  d.Line.resize(nl);
  if (!d.Line.empty() && d.Line.back() == '\r') d.Line.pop_back();
  std::string line = std::move(d.Line);
  d.Line.clear();
  NoteCommandLine(conn);
  Command(conn, line);
}

void Release(_Connection *conn) {
  delete &Dlg(conn);
  conn->Dialogue = nullptr;
}

void TlsFailed(_Connection *conn, const std::string &why) {
  std::lock_guard<std::mutex> guard(g_FailLock);
  g_TlsFailures.push_back((conn->Dialogue == nullptr ? "ungreeted: " : "greeted: ") + why);
}

std::vector<std::string> TlsFailures() {
  std::lock_guard<std::mutex> guard(g_FailLock);
  return g_TlsFailures;
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

// A connection as lines and byte counts, in clear or through TLS.
struct Channel {
  std::string Buffered;
  virtual ~Channel() = default;
  // What one receive gives: the count, 0 at the end, -1 on failure or
  // when nothing came within timeoutMs.
  virtual long Receive(char *buffer, size_t length, DWORD timeoutMs) = 0;
  virtual bool Send(const std::string &data) = 0;

  bool Fill(DWORD timeoutMs) {
    char buffer[16384];
    long n = Receive(buffer, sizeof buffer, timeoutMs);
    if (n <= 0) return false;
    Buffered.append(buffer, static_cast<size_t>(n));
    return true;
  }
  // The next line with its CR LF; "" at the end of the stream or on time-out.
  std::string Line(DWORD timeoutMs = kWaitMs) {
    while (Buffered.find('\n') == std::string::npos)
      if (!Fill(timeoutMs)) return "";
    size_t end = Buffered.find('\n') + 1;
    std::string line = Buffered.substr(0, end);
    Buffered.erase(0, end);
    return line;
  }
  // Exactly n bytes, or what came before the end.
  std::string Take(size_t n) {
    while (Buffered.size() < n && Fill(kWaitMs)) {
    }
    std::string out = Buffered.substr(0, n);
    Buffered.erase(0, out.size());
    return out;
  }
  std::string Ask(const std::string &command) {
    Send(command + "\r\n");
    return Line();
  }
  bool Greeted() { return Line().rfind("hi ", 0) == 0; }
};

// A client connected from source (any 127.x address) to address:port.
struct Client : Channel {
  UniqueFd Fd;

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
  long Receive(char *buffer, size_t length, DWORD timeoutMs) override {
    return RecvSocket(Fd.Get(), buffer, length, timeoutMs);
  }
  bool Send(const std::string &data) override {
    return SendSocket(Fd.Get(), data.data(), data.size(), kWaitMs);
  }
  // Waits for the server to end the connection: true when it did (an end
  // of stream or a reset) within timeoutMs (0: looks once); what came
  // before is kept in Buffered.
  bool Ended(DWORD timeoutMs) {
    char buffer[4096];
    long long until = MonotonicMs() + timeoutMs;
    long long left = timeoutMs;
    do {
      long n = RecvSocket(Fd.Get(), buffer, sizeof buffer, static_cast<DWORD>(left));
      if (n == 0 || (n < 0 && GetLastError() != ERROR_TIMEOUT)) return true;
      if (n > 0) Buffered.append(buffer, static_cast<size_t>(n));
    } while ((left = until - MonotonicMs()) > 0);
    return false;
  }
};

// OpenSSL as a client over a connected socket (which stays the caller's):
// TLS 1.2 and up unless told otherwise, no verification.
struct TlsLink : Channel {
  int Fd;
  SSL_CTX *Ctx = nullptr;
  SSL *Ssl = nullptr;

  explicit TlsLink(int fd, int minVersion = TLS1_2_VERSION, int maxVersion = 0,
                   const char *ciphers = nullptr)
      : Fd(fd) {
    Ctx = SSL_CTX_new(TLS_client_method());
    if (ciphers != nullptr) SSL_CTX_set_cipher_list(Ctx, ciphers);
    if (minVersion < TLS1_2_VERSION) {
      SSL_CTX_set_security_level(Ctx, 0);  // so that it really offers TLS 1.0
      SSL_CTX_set_cipher_list(Ctx, "DEFAULT@SECLEVEL=0");
    }
    SSL_CTX_set_min_proto_version(Ctx, minVersion);
    SSL_CTX_set_max_proto_version(Ctx, maxVersion);
    Ssl = SSL_new(Ctx);
    SSL_set_fd(Ssl, fd);
    timeval tv{kWaitMs / 1000, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  }
  ~TlsLink() override {
    SSL_free(Ssl);
    SSL_CTX_free(Ctx);
  }
  bool Handshake() {
    ERR_clear_error();
    return SSL_connect(Ssl) == 1;
  }
  long Receive(char *buffer, size_t length, DWORD timeoutMs) override {
    pollfd p{Fd, POLLIN, 0};
    if (SSL_pending(Ssl) == 0 && poll(&p, 1, static_cast<int>(timeoutMs)) != 1) return -1;
    size_t got = 0;
    if (SSL_read_ex(Ssl, buffer, length, &got) == 1) return static_cast<long>(got);
    return SSL_get_error(Ssl, 0) == SSL_ERROR_ZERO_RETURN ? 0 : -1;
  }
  bool Send(const std::string &data) override {
    size_t sent = 0;
    return SSL_write_ex(Ssl, data.data(), data.size(), &sent) == 1;
  }
  // The server's close_notify arrived: a clean end of the session.
  bool ClosedCleanly() {
    char buffer[256];
    return Receive(buffer, sizeof buffer, kWaitMs) == 0;
  }
};

std::string TransmittedBytes() {
  std::string text(kFileBytes, '\0');
  for (size_t i = 0; i < kFileBytes; ++i) text[i] = static_cast<char>('a' + (i * 7) % 26);
  return text;
}

class NetEngineTest : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    ASSERT_TRUE(dnstest::SetTcpip("NameServer", dnstest::ClosedPortEntry()));
    ASSERT_TRUE(dnstest::SetTcpip("Hostname", "zeltest"));
    ASSERT_TRUE(dnstest::SetTcpip("Domain", "example.test"));
    std::string root = getenv("ZEL_ROOT");
    UniqueFd(open((root + "/hosts-netengine").c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0600));
    SetHostsFilePathForTest(root + "/hosts-netengine");
    UniqueFd data(
        open((root + "/transmit.dat").c_str(), O_CREAT | O_TRUNC | O_WRONLY | O_CLOEXEC, 0600));
    ASSERT_TRUE(WriteWholeFile(data.Get(), TransmittedBytes()));
    std::string certificate, key, why;
    TlsContextRef context, strict;
    ASSERT_TRUE(MakeSelfSignedCertificate("zeltest.example.test", 1, certificate, key, why)) << why;
    ASSERT_TRUE(MakeTlsServerContext(certificate, key, context, why)) << why;
    ASSERT_TRUE(MakeTlsServerContext(certificate, key, strict, why, TlsProfile::kStrict)) << why;
    SetCurrentTlsServerContext(context, strict);

    dual_ = DualStackAvailable();
    IpAddress any = AnyInterface();
    IpAddress loopback = IpV4(htonl(INADDR_LOOPBACK));
    dualPort_ = FreePort(any);
    loopbackPort_ = FreePort(loopback);
    tlsPort_ = FreePort(loopback);
    strictPort_ = FreePort(loopback);
    NetEngineSettings s;
    AddListeners(&s, {any}, dualPort_, kDualKind);
    AddListeners(&s, {loopback}, loopbackPort_, kLoopbackKind);
    AddListeners(&s, {loopback}, tlsPort_, kTlsKind, true);
    AddListeners(&s, {loopback}, strictPort_, kStrictKind, true, true);
    s.Workers = 2;
    s.MaxConnections = 4;
    s.MaxConnectionsPerClient = 2;
    s.IdleSeconds = kIdleSeconds;
    s.TlsHandshakeSeconds = kHandshakeSeconds;
    std::vector<std::string> bad;
    ParseNetworkList({"127.0.0.3/32"}, &s.ExemptFromClientLimit, &bad);
    s.TooManyConnectionsReply = kBusy;
    NetEngineHooks hooks{Greet, Complete, Release};
    hooks.TlsFailed = TlsFailed;
    ASSERT_TRUE(StartNetEngine(s, hooks));
  }

  static bool dual_;
  static uint16_t dualPort_, loopbackPort_, tlsPort_, strictPort_;
};

bool NetEngineTest::dual_ = false;
uint16_t NetEngineTest::dualPort_ = 0;
uint16_t NetEngineTest::loopbackPort_ = 0;
uint16_t NetEngineTest::tlsPort_ = 0;
uint16_t NetEngineTest::strictPort_ = 0;

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
// idle check (4 s) has no part in it.
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

// TLS from the first byte: the greeting comes only after the handshake,
// encrypted; the connection tells its version and cipher; a client's
// pipelined lines each get their answer; a graceful close ends the session
// with close_notify.
TEST_F(NetEngineTest, TlsListenerGreetsAfterTheHandshake) {
  for (int version : {TLS1_3_VERSION, TLS1_2_VERSION}) {
    Client tcp("127.0.0.4", "127.0.0.1", tlsPort_);
    TlsLink tls(tcp.Fd.Get(), version, version);
    ASSERT_TRUE(tls.Handshake());
    EXPECT_EQ(tls.Line(), "hi 11 127.0.0.4 zeltest.example.test\r\n");
    std::string info = tls.Ask("INFO");
    std::string expected = version == TLS1_3_VERSION ? "tls TLSv1.3 TLS_" : "tls TLSv1.2 ECDHE-";
    EXPECT_EQ(info.rfind(expected, 0), 0u) << info;
    EXPECT_NE(info.find(SSL_get_cipher_name(tls.Ssl)), std::string::npos) << info;
    tls.Send("one\r\ntwo\r\n");
    EXPECT_EQ(tls.Line(), "one\r\n");
    EXPECT_EQ(tls.Line(), "two\r\n");
    EXPECT_EQ(tls.Ask("BYE"), "bye\r\n");
    EXPECT_TRUE(tls.ClosedCleanly());
  }
}

// STARTTLS: what the client pipelined behind the command is dropped, never
// executed, and counted; the next line is read through the session.
TEST_F(NetEngineTest, StartTlsDropsPipelinedInput) {
  Client tcp("127.0.0.4", "127.0.0.1", loopbackPort_);
  ASSERT_TRUE(tcp.Greeted());
  EXPECT_EQ(tcp.Ask("INFO"), "plain\r\n");
  tcp.Send("STARTTLS\r\nINJECTED\r\n");
  EXPECT_EQ(tcp.Line(), "ready\r\n");
  TlsLink tls(tcp.Fd.Get());
  ASSERT_TRUE(tls.Handshake());
  std::string info = tls.Ask("INFO");
  EXPECT_EQ(info.rfind("tls TLSv1.3 ", 0), 0u) << info;
  EXPECT_NE(info.find(" dropped 10\r\n"), std::string::npos) << info;
  EXPECT_EQ(tls.Ask("STARTTLS"), "no\r\n");   // once is enough
  EXPECT_EQ(tls.Ask("ping"), "ping\r\n");
}

// A file larger than every buffer, between a head longer than a record and
// a tail, arrives whole and in order, in clear (sendfile) and under TLS;
// the completion counts the plaintext bytes either way.
TEST_F(NetEngineTest, TransmissionsInClearAndUnderTls) {
  std::string expected = kHead + TransmittedBytes() + kTail;
  std::string sent = "sent " + std::to_string(expected.size()) + "\r\n";
  Client plain("127.0.0.4", "127.0.0.1", loopbackPort_);
  ASSERT_TRUE(plain.Greeted());
  plain.Send("SEND\r\n");
  EXPECT_TRUE(plain.Take(expected.size()) == expected);
  EXPECT_EQ(plain.Line(), sent);

  Client tcp("127.0.0.4", "127.0.0.1", tlsPort_);
  TlsLink tls(tcp.Fd.Get());
  ASSERT_TRUE(tls.Handshake());
  ASSERT_TRUE(tls.Greeted());
  for (int round = 0; round < 2; ++round) {
    tls.Send("SEND\r\n");
    EXPECT_TRUE(tls.Take(expected.size()) == expected);
    EXPECT_EQ(tls.Line(), sent);
  }
  EXPECT_EQ(tls.Ask("ping"), "ping\r\n");
}

// Clients that cannot or will not speak TLS 1.2 are closed before any
// greeting, and each failure is heard once, with its reason. Garbage
// behind STARTTLS fails the same way instead of being read as a command.
TEST_F(NetEngineTest, HandshakeFailuresCloseTheConnection) {
  size_t before = TlsFailures().size();
  int greeted = g_Greeted[kTlsKind].load();
  {
    Client tcp("127.0.0.4", "127.0.0.1", tlsPort_);
    TlsLink old(tcp.Fd.Get(), TLS1_VERSION, TLS1_VERSION);
    EXPECT_FALSE(old.Handshake());
    EXPECT_TRUE(tcp.Ended(kWaitMs));
  }
  // An HTTP request, and a handshake record holding a ServerHello header.
  for (const std::string &garbage : {std::string("GET / HTTP/1.0\r\n\r\n"),
                                    std::string("\x16\x03\x01\x00\x04\x02\x00\x00\x00", 9)}) {
    Client tcp("127.0.0.4", "127.0.0.1", tlsPort_);
    tcp.Send(garbage);
    EXPECT_TRUE(tcp.Ended(kWaitMs));
  }
  Client upgraded("127.0.0.4", "127.0.0.1", loopbackPort_);
  ASSERT_TRUE(upgraded.Greeted());
  EXPECT_EQ(upgraded.Ask("STARTTLS"), "ready\r\n");
  upgraded.Send("INFO\r\n");
  EXPECT_TRUE(upgraded.Ended(kWaitMs));
  // At most an alert record came, no answer in clear.
  EXPECT_TRUE(upgraded.Buffered.empty() || upgraded.Buffered[0] == '\x15') << upgraded.Buffered;
  EXPECT_EQ(g_Greeted[kTlsKind].load(), greeted);
  // The last failure reaches the dialogue through its read, on a worker
  // that may still be at it.
  for (int i = 0; i < 100 && TlsFailures().size() < before + 4; ++i) Sleep(20);
  std::vector<std::string> failures = TlsFailures();
  ASSERT_EQ(failures.size(), before + 4);
  EXPECT_NE(failures[before].find("ungreeted: handshake: unsupported protocol"), std::string::npos)
      << failures[before];
  EXPECT_EQ(failures[before + 3].rfind("greeted: ", 0), 0u) << failures[before + 3];
}

// The limits hold while a handshake waits: a client that connects to the
// TLS listener and says nothing, one that trickles its hello after
// STARTTLS a byte a second (the dialogue clearing its deadline behind the
// STARTTLS changes nothing), and one whose dialogue deadline (1 s) comes
// first are all closed by the handshake's 2 s, well before the idle
// limit; none of them hears anything in clear.
TEST_F(NetEngineTest, SilentAndSlowHandshakesAreClosed) {
  size_t failures = TlsFailures().size();
  long long start = MonotonicMs();
  Client silent("127.0.0.5", "127.0.0.1", tlsPort_);
  Client trickle("127.0.0.5", "127.0.0.1", loopbackPort_);
  Client stalled("127.0.0.6", "127.0.0.1", loopbackPort_);
  ASSERT_TRUE(trickle.Greeted());
  ASSERT_TRUE(stalled.Greeted());
  EXPECT_EQ(trickle.Ask("ARM 60"), "armed\r\n");
  EXPECT_EQ(stalled.Ask("ARM 1"), "armed\r\n");
  EXPECT_EQ(trickle.Ask("STARTTLS"), "ready\r\n");
  EXPECT_EQ(stalled.Ask("STARTTLS"), "ready\r\n");
  trickle.Send(std::string("\x16\x03\x01\x02\x00", 5));   // a 512-byte record follows
  Client *clients[] = {&silent, &trickle, &stalled};
  long long ended[3] = {0, 0, 0};
  long long nextByte = MonotonicMs() + 300;
  while (MonotonicMs() - start < 10000 && std::count(ended, ended + 3, 0) > 0) {
    for (int i = 0; i < 3; ++i)
      if (ended[i] == 0 && clients[i]->Ended(0)) ended[i] = MonotonicMs() - start;
    if (ended[1] == 0 && MonotonicMs() >= nextByte) {
      trickle.Send(std::string(1, '\0'));
      nextByte += 300;
    }
    Sleep(50);
  }
  for (int i = 0; i < 3; ++i) {
    EXPECT_GT(ended[i], 900) << i;
    EXPECT_LT(ended[i], 3900) << i;   // the idle limit (4 s) had no part in it
  }
  EXPECT_EQ(stalled.Buffered, "");
  EXPECT_EQ(trickle.Buffered, "");
  EXPECT_EQ(TlsFailures().size(), failures);   // none of them is a TLS failure
}

// The idle limit runs from the last whole line: lines each within the
// limit keep a connection, bytes that make no line do not.
TEST_F(NetEngineTest, IdleRunsFromTheLastWholeLine) {
  Client lines("127.0.0.7", "127.0.0.1", loopbackPort_);
  Client trickle("127.0.0.7", "127.0.0.1", loopbackPort_);
  ASSERT_TRUE(lines.Greeted());
  ASSERT_TRUE(trickle.Greeted());
  long long start = MonotonicMs();
  long long ended = 0;
  for (int step = 0; ended == 0 && MonotonicMs() - start < 12000; ++step) {
    Sleep(500);
    if (step % 4 == 3) {   // every 2 s
      EXPECT_EQ(lines.Ask("ping"), "ping\r\n");
    }
    trickle.Send("x");
    if (trickle.Ended(0)) ended = MonotonicMs() - start;
  }
  EXPECT_GT(ended, 3500);
  EXPECT_LT(ended, 7500);
  EXPECT_EQ(trickle.Buffered, "idle\r\n");
  EXPECT_EQ(lines.Ask("still here"), "still here\r\n");
}

// A client that pipelines lines and never reads: its replies fill the
// socket's buffers, the write that cannot go on is cut after the idle
// limit, and the connection is closed (the client sees the reset).
TEST_F(NetEngineTest, StalledWritesAreCut) {
  Client flood("127.0.0.8", "127.0.0.1", loopbackPort_);
  ASSERT_TRUE(flood.Greeted());
  std::string lines;
  for (int i = 0; i < 200000; ++i) lines += "a line that the server echoes back\r\n";
  long long start = MonotonicMs();
  // Sends until the server stops reading: the send then times out.
  SendSocket(flood.Fd.Get(), lines.data(), lines.size(), 1000);
  pollfd p{flood.Fd.Get(), POLLRDHUP, 0};
  long long closed = 0;
  while (closed == 0 && MonotonicMs() - start < 15000) {
    p.revents = 0;
    if (poll(&p, 1, 100) == 1 && (p.revents & (POLLHUP | POLLERR | POLLRDHUP)) != 0)
      closed = MonotonicMs() - start;
  }
  EXPECT_GT(closed, 3500);
  EXPECT_LT(closed, 9000);
}

// The strict listener takes TLS 1.3 and forward-secret AEAD suites only: a
// client that offers CBC or static RSA suites alone is refused there and
// served by the broad one. The engine frees a refused connection's places
// before it closes the socket, so the client waits for that close; the
// good ones come from addresses of their own, since a closed client's
// place is freed only once the engine has noticed (the per-client limit
// is 2).
TEST_F(NetEngineTest, StrictListenerRefusesWeakSuites) {
  for (const char *weak : {"ECDHE-RSA-AES128-SHA:ECDHE-ECDSA-AES128-SHA", "AES128-GCM-SHA256"}) {
    Client strict("127.0.0.4", "127.0.0.1", strictPort_);
    TlsLink refused(strict.Fd.Get(), TLS1_2_VERSION, TLS1_2_VERSION, weak);
    EXPECT_FALSE(refused.Handshake()) << weak;
    EXPECT_TRUE(strict.Ended(kWaitMs));
  }
  Client broad("127.0.0.4", "127.0.0.1", tlsPort_);
  TlsLink served(broad.Fd.Get(), TLS1_2_VERSION, TLS1_2_VERSION, "ECDHE-ECDSA-AES128-SHA");
  ASSERT_TRUE(served.Handshake());
  EXPECT_TRUE(served.Greeted());
  for (auto [version, source] : {std::pair{TLS1_3_VERSION, "127.0.0.14"}, {TLS1_2_VERSION, "127.0.0.24"}}) {
    Client strict(source, "127.0.0.1", strictPort_);
    TlsLink good(strict.Fd.Get(), version, version);
    ASSERT_TRUE(good.Handshake());
    EXPECT_EQ(good.Line(), std::string("hi 12 ") + source + " zeltest.example.test\r\n");
    std::string cipher = SSL_get_cipher_name(good.Ssl);
    EXPECT_TRUE(cipher.find("GCM") != std::string::npos ||
                cipher.find("CHACHA20") != std::string::npos) << cipher;
  }
}

}  // namespace
