// TLS sessions on memory buffers: a server and a client talking through
// this process with no socket, hostile clients made directly with OpenSSL
// (a TLS 1.0 client, a renegotiating client, garbage), the loading of
// certificate and key files, the current-context holder, and the blocking
// helper over a socket pair.
#include <gtest/gtest.h>
#include <malloc.h>

#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <string>
#include <thread>

#include "common/loadcfig.h"
#include "common/tlsconfig.h"
#include "common/zel.h"
#include "platform/eventlog.h"
#include "platform/registry.h"
#include "platform/root.h"
#include "platform/tls.h"
#include "tests/unit/testutil.h"

namespace {

constexpr const char *kHost = "mail.example.test";

struct Pair {
  std::string certificate, key;
};

const Pair &TestPair() {
  static const Pair pair = [] {
    Pair p;
    std::string why;
    EXPECT_TRUE(MakeSelfSignedCertificate(kHost, 30, p.certificate, p.key, why)) << why;
    return p;
  }();
  return pair;
}

TlsContextRef ServerContext() {
  TlsContextRef ctx;
  std::string why;
  EXPECT_TRUE(MakeTlsServerContext(TestPair().certificate, TestPair().key, ctx, why)) << why;
  return ctx;
}

TlsContextRef ClientContext() {
  TlsContextRef ctx;
  std::string why;
  EXPECT_TRUE(MakeTlsClientContext(ctx, why)) << why;
  return ctx;
}

// Moves one session's output into the other.
void Move(TlsSession &from, TlsSession &to) {
  char buffer[4096];
  for (size_t n; (n = from.TakeOutput(buffer, sizeof buffer)) > 0;) ASSERT_TRUE(to.Feed(buffer, n));
}

// Runs both handshakes to their end, bounded.
void Handshake(TlsSession &server, TlsSession &client) {
  for (int round = 0; round < 10 && !(server.HandshakeDone() && client.HandshakeDone()); ++round) {
    ASSERT_NE(client.Handshake(), TlsResult::kFatal) << client.ErrorText();
    Move(client, server);
    ASSERT_NE(server.Handshake(), TlsResult::kFatal) << server.ErrorText();
    Move(server, client);
  }
  ASSERT_TRUE(server.HandshakeDone() && client.HandshakeDone());
}

// Everything the peer can read now.
std::string ReadAll(TlsSession &s, TlsResult *last = nullptr) {
  std::string text;
  char buffer[1000];
  size_t got = 0;
  TlsResult r;
  while ((r = s.Read(buffer, sizeof buffer, &got)) == TlsResult::kDone) text.append(buffer, got);
  if (last != nullptr) *last = r;
  return text;
}

TEST(TlsSession, HandshakeDataBothWaysAndClose) {
  TlsSession server, client;
  ASSERT_TRUE(server.StartServer(ServerContext()));
  ASSERT_TRUE(client.StartClient(ClientContext(), "Mail.Example.Test."));
  Handshake(server, client);
  EXPECT_EQ(server.Version(), "TLSv1.3");
  EXPECT_EQ(client.Version(), "TLSv1.3");
  EXPECT_FALSE(server.Cipher().empty());
  EXPECT_EQ(server.ServerName(), "Mail.Example.Test");

  ASSERT_EQ(client.Write("EHLO client\r\n", 13), TlsResult::kDone);
  Move(client, server);
  TlsResult last;
  EXPECT_EQ(ReadAll(server, &last), "EHLO client\r\n");
  EXPECT_EQ(last, TlsResult::kWantInput);
  EXPECT_FALSE(server.HasBufferedInput());

  // Many records at once, read in pieces smaller than a record.
  std::string big(200000, 'x');
  for (size_t i = 0; i < big.size(); i += 997) big[i] = static_cast<char>('a' + i % 26);
  ASSERT_EQ(server.Write(big.data(), big.size()), TlsResult::kDone);
  Move(server, client);
  EXPECT_EQ(ReadAll(client), big);

  client.Close();
  Move(client, server);
  ReadAll(server, &last);
  EXPECT_EQ(last, TlsResult::kClosed);
}

// Once a large transfer is read out, both sessions give their grown memory
// buffers back: an idle connection does not keep the most it ever moved.
TEST(TlsSession, BuffersShrinkBackOnceEmptied) {
  TlsSession server, client;
  ASSERT_TRUE(server.StartServer(ServerContext()));
  ASSERT_TRUE(client.StartClient(ClientContext(), kHost));
  Handshake(server, client);
  auto heap = [] {
    struct mallinfo2 m = mallinfo2();
    return m.uordblks + m.hblkhd;
  };
  const std::string big(200000, 'x');
  size_t before = heap();
  ASSERT_EQ(server.Write(big.data(), big.size()), TlsResult::kDone);
  Move(server, client);
  EXPECT_EQ(ReadAll(client).size(), big.size());
  ASSERT_EQ(client.Write(big.data(), big.size()), TlsResult::kDone);
  Move(client, server);
  EXPECT_EQ(ReadAll(server).size(), big.size());
  EXPECT_LT(heap(), before + 16 * 1024);
}

TEST(TlsSession, NoServerNameForAddressesOrNothing) {
  for (const char *name : {"", "127.0.0.1", "::1", "bad name"}) {
    TlsSession server, client;
    ASSERT_TRUE(server.StartServer(ServerContext()));
    ASSERT_TRUE(client.StartClient(ClientContext(), name));
    Handshake(server, client);
    EXPECT_EQ(server.ServerName(), "") << name;
  }
}

// A client made directly with OpenSSL, for what our own client never does.
struct RawClient {
  SSL_CTX *ctx = nullptr;
  SSL *ssl = nullptr;
  BIO *in = nullptr, *out = nullptr;
  RawClient(int minVersion, int maxVersion) {
    ctx = SSL_CTX_new(TLS_client_method());
    SSL_CTX_set_security_level(ctx, 0);  // so that it really offers TLS 1.0
    SSL_CTX_set_cipher_list(ctx, "DEFAULT@SECLEVEL=0");
    SSL_CTX_set_min_proto_version(ctx, minVersion);
    SSL_CTX_set_max_proto_version(ctx, maxVersion);
    ssl = SSL_new(ctx);
    in = BIO_new(BIO_s_mem());
    out = BIO_new(BIO_s_mem());
    BIO_set_mem_eof_return(in, -1);
    SSL_set_bio(ssl, in, out);
    SSL_set_connect_state(ssl);
  }
  ~RawClient() {
    SSL_free(ssl);
    SSL_CTX_free(ctx);
  }
  void SendTo(TlsSession &server) {
    char buffer[4096];
    for (int n; (n = BIO_read(out, buffer, sizeof buffer)) > 0;)
      ASSERT_TRUE(server.Feed(buffer, static_cast<size_t>(n)));
  }
  void TakeFrom(TlsSession &server) {
    char buffer[4096];
    for (size_t n; (n = server.TakeOutput(buffer, sizeof buffer)) > 0;)
      BIO_write(in, buffer, static_cast<int>(n));
  }
};

TEST(TlsSession, TlsOneZeroClientIsRefusedWithAnAlert) {
  RawClient client(TLS1_VERSION, TLS1_VERSION);
  TlsSession server;
  ASSERT_TRUE(server.StartServer(ServerContext()));
  ASSERT_EQ(SSL_do_handshake(client.ssl), -1);
  client.SendTo(server);
  EXPECT_EQ(server.Handshake(), TlsResult::kFatal);
  EXPECT_NE(server.ErrorText().find("unsupported protocol"), std::string::npos)
      << server.ErrorText();
  EXPECT_GT(server.PendingOutput(), 0u);  // the alert
  client.TakeFrom(server);
  EXPECT_NE(SSL_do_handshake(client.ssl), 1);
  // Fatal is final.
  EXPECT_FALSE(server.Feed("x", 1));
  size_t got = 0;
  char c;
  EXPECT_EQ(server.Read(&c, 1, &got), TlsResult::kFatal);
  EXPECT_EQ(server.Write("x", 1), TlsResult::kFatal);
}

TEST(TlsSession, ClientRenegotiationIsRefused) {
  RawClient client(TLS1_2_VERSION, TLS1_2_VERSION);
  TlsSession server;
  ASSERT_TRUE(server.StartServer(ServerContext()));
  for (int round = 0; round < 10 && SSL_do_handshake(client.ssl) != 1; ++round) {
    client.SendTo(server);
    ASSERT_NE(server.Handshake(), TlsResult::kFatal) << server.ErrorText();
    client.TakeFrom(server);
  }
  ASSERT_TRUE(server.HandshakeDone());
  EXPECT_EQ(server.Version(), "TLSv1.2");

  ASSERT_EQ(SSL_renegotiate(client.ssl), 1);
  // Every round trip the client wants, bounded: it never gets a new
  // handshake, and the server never gives it one.
  int clientResult = 0;
  TlsResult last = TlsResult::kDone;
  for (int round = 0; round < 10 && clientResult != 1 && last != TlsResult::kFatal; ++round) {
    clientResult = SSL_do_handshake(client.ssl);
    client.SendTo(server);
    ReadAll(server, &last);
    client.TakeFrom(server);
  }
  EXPECT_NE(clientResult, 1);
  EXPECT_EQ(SSL_renegotiate_pending(client.ssl), 1);
  EXPECT_NE(last, TlsResult::kDone);
  ERR_clear_error();
}

TEST(TlsSession, GarbageIsAFatalErrorAndInputIsBounded) {
  TlsSession server;
  ASSERT_TRUE(server.StartServer(ServerContext()));
  ASSERT_TRUE(server.Feed("EHLO plain.example\r\n", 20));
  EXPECT_EQ(server.Handshake(), TlsResult::kFatal);
  EXPECT_FALSE(server.ErrorText().empty());
  EXPECT_EQ(server.Version(), "");

  TlsSession flooded;
  ASSERT_TRUE(flooded.StartServer(ServerContext()));
  std::string chunk(64 * 1024, '\x16');
  int fed = 0;
  while (fed < 10 && flooded.Feed(chunk.data(), chunk.size())) ++fed;
  EXPECT_EQ(fed, static_cast<int>(kMaxTlsBufferedInput / chunk.size()));
  EXPECT_EQ(flooded.Handshake(), TlsResult::kFatal);
}

TEST(TlsSession, WriteBeforeHandshakeIsRefused) {
  TlsSession client;
  ASSERT_TRUE(client.StartClient(ClientContext(), kHost));
  EXPECT_EQ(client.Write("x", 1), TlsResult::kFatal);
  TlsSession none;
  EXPECT_FALSE(none.StartServer(nullptr));
  EXPECT_EQ(none.Handshake(), TlsResult::kFatal);
}

// ---- Contexts.

std::string WriteFile(const std::string &name, const std::string &text) {
  std::string path = ZelPath("/" + name);
  std::ofstream(path, std::ios::binary) << text;
  return path;
}

TEST(TlsContext, LoadsFilesAndSaysWhichOneIsWrong) {
  const Pair &p = TestPair();
  Pair other;
  std::string why;
  ASSERT_TRUE(MakeSelfSignedCertificate("other.example.test", 1, other.certificate, other.key, why));
  std::string cert = WriteFile("cert.pem", p.certificate + other.certificate);  // with a chain
  std::string key = WriteFile("key.pem", p.key);
  std::string both = WriteFile("both.pem", p.key + p.certificate);
  std::string wrongKey = WriteFile("other-key.pem", other.key);
  std::string garbage = WriteFile("garbage.pem", "-----BEGIN CERTIFICATE-----\nAAAA\n");
  TlsContextRef ctx;
  ASSERT_TRUE(LoadTlsServerContext(cert, key, ctx, why)) << why;
  EXPECT_EQ(TlsCertificateSubject(ctx), std::string("/CN=") + kHost);
  EXPECT_NE(TlsCertificateExpiry(ctx).find("GMT"), std::string::npos);
  ASSERT_TRUE(LoadTlsServerContext(both, both, ctx, why)) << why;

  BIO *bio = BIO_new(BIO_s_mem());
  BIO *kb = BIO_new_mem_buf(p.key.data(), static_cast<int>(p.key.size()));
  EVP_PKEY *pkey = PEM_read_bio_PrivateKey(kb, nullptr, nullptr, nullptr);
  char pass[] = "secret";
  PEM_write_bio_PrivateKey(bio, pkey, EVP_aes_128_cbc(), nullptr, 0, nullptr, pass);
  char *data;
  long n = BIO_get_mem_data(bio, &data);
  std::string encrypted = WriteFile("encrypted.pem", std::string(data, static_cast<size_t>(n)));
  EVP_PKEY_free(pkey);
  BIO_free(kb);
  BIO_free(bio);

  const struct {
    std::string cert, key, blame;
  } failures[] = {
      {cert, wrongKey, wrongKey + ": key: "},
      {garbage, key, garbage + ": certificate: "},
      {key, key, key + ": certificate: "},
      {cert, encrypted, encrypted + ": key: "},
      {ZelPath("/missing.pem"), key, ZelPath("/missing.pem") + ": No such file"},
      {ZelPath("/"), key, ZelPath("/") + ": not a regular file"},
  };
  for (const auto &f : failures) {
    TlsContextRef kept = ctx;
    EXPECT_FALSE(LoadTlsServerContext(f.cert, f.key, kept, why)) << f.blame;
    EXPECT_EQ(why.rfind(f.blame, 0), 0u) << why;
    EXPECT_EQ(kept, ctx);  // untouched on failure
  }
}

TEST(TlsContext, ReplacedCurrentContextStaysWithItsSessions) {
  TlsContextRef first = ServerContext();
  std::weak_ptr<const TlsContext> watch = first;
  SetCurrentTlsServerContext(first);
  first.reset();
  TlsSession server, client;
  ASSERT_TRUE(server.StartServer(CurrentTlsServerContext()));
  SetCurrentTlsServerContext(ServerContext());
  EXPECT_NE(CurrentTlsServerContext(), watch.lock());
  ASSERT_TRUE(client.StartClient(ClientContext(), kHost));
  Handshake(server, client);
  EXPECT_FALSE(watch.expired());
  server.StartServer(CurrentTlsServerContext());
  EXPECT_TRUE(watch.expired());
  SetCurrentTlsServerContext(nullptr);
  EXPECT_EQ(CurrentTlsServerContext(), nullptr);
}

TEST(TlsContext, SelfSignedCertificateNamesTheHost) {
  std::string longName = std::string(60, 'a') + ".example.test";
  for (const std::string &host : {std::string(kHost), longName}) {
    Pair p;
    std::string why;
    ASSERT_TRUE(MakeSelfSignedCertificate(host, 400, p.certificate, p.key, why)) << why;
    BIO *bio = BIO_new_mem_buf(p.certificate.data(), static_cast<int>(p.certificate.size()));
    X509 *x = PEM_read_bio_X509(bio, nullptr, nullptr, nullptr);
    BIO_free(bio);
    ASSERT_NE(x, nullptr);
    EXPECT_EQ(X509_check_host(x, host.c_str(), host.size(), 0, nullptr), 1) << host;
    EXPECT_EQ(X509_check_host(x, "other.example.test", 0, 0, nullptr), 0);
    int critical = -1;
    GENERAL_NAMES *names = static_cast<GENERAL_NAMES *>(
        X509_get_ext_d2i(x, NID_subject_alt_name, &critical, nullptr));
    EXPECT_EQ(critical, host.size() > 64 ? 1 : 0);
    GENERAL_NAMES_free(names);
    int days = 0, seconds = 0;
    ASSERT_EQ(ASN1_TIME_diff(&days, &seconds, X509_get0_notBefore(x), X509_get0_notAfter(x)), 1);
    EXPECT_EQ(days, 400);
    EXPECT_EQ(EVP_PKEY_get_base_id(X509_get0_pubkey(x)), EVP_PKEY_EC);
    EXPECT_EQ(X509_get_signature_nid(x), NID_ecdsa_with_SHA256);
    X509_free(x);
  }
  std::string c, k, why;
  EXPECT_FALSE(MakeSelfSignedCertificate("a,DNS:evil.test", 1, c, k, why));
  EXPECT_FALSE(MakeSelfSignedCertificate(kHost, 0, c, k, why));
}

TEST(TlsContext, HostNames) {
  for (const char *good : {"a", "mx1.example.test", "a-b.c", "X9"})
    EXPECT_TRUE(IsTlsHostName(good)) << good;
  std::string longLabel(64, 'a');
  for (const std::string &bad :
       {std::string(""), std::string("-a"), std::string("a-"), std::string("a..b"),
        std::string(".a"), std::string("a."), std::string("a_b"), std::string("a b"),
        std::string("a,b"), longLabel, std::string(254, 'a')})
    EXPECT_FALSE(IsTlsHostName(bad)) << bad;
}

// ---- The configured pair (common/tlsconfig).

void SetSuiteValue(const char *name, const std::string &value) {
  RegKey suite;
  ASSERT_EQ(RegCreateKeyEx(HKEY_LOCAL_MACHINE, kSuiteKey, KEY_ALL_ACCESS, suite.out(), nullptr),
            ERROR_SUCCESS);
  if (value.empty())
    RegDeleteValue(suite.get(), name);
  else
    ASSERT_EQ(RegSetValueEx(suite.get(), name, REG_SZ, value.c_str(),
                            static_cast<DWORD>(value.size() + 1)),
              ERROR_SUCCESS);
}

// The events logged since the last call.
std::string NewEvents() {
  static size_t seen = 0;
  std::string all = Slurp(EventLogPath());
  std::string fresh = all.size() > seen ? all.substr(seen) : "";
  seen = all.size();
  return fresh;
}

TEST(TlsConfig, ReloadKeepsTheOldPairWhenTheNewOneIsBroken) {
  const Pair &p = TestPair();
  std::string cert = WriteFile("conf-cert.pem", p.certificate);
  std::string key = WriteFile("conf-key.pem", p.key);
  std::string both = WriteFile("conf-both.pem", p.certificate + p.key);
  NewEvents();

  SetSuiteValue(kTlsCertificateFileValue, "");
  SetSuiteValue(kTlsKeyFileValue, "");
  EXPECT_FALSE(LoadTlsCertificate());
  EXPECT_EQ(CurrentTlsServerContext(), nullptr);
  EXPECT_NE(NewEvents().find(" INFORMATION 162 0xC00000A2 No TLS certificate is loaded"),
            std::string::npos);

  SetSuiteValue(kTlsCertificateFileValue, cert);
  SetSuiteValue(kTlsKeyFileValue, key);
  ASSERT_TRUE(LoadTlsCertificate());
  TlsContextRef first = CurrentTlsServerContext();
  ASSERT_NE(first, nullptr);
  EXPECT_NE(NewEvents().find(" INFORMATION 160 0xC00000A0 The TLS certificate " + cert +
                             " is in use; it is valid until "),
            std::string::npos);

  // A renewal that went wrong: the old pair stays, and the event says why.
  WriteFile("conf-cert.pem", "garbage\n");
  EXPECT_TRUE(LoadTlsCertificate());
  EXPECT_EQ(CurrentTlsServerContext(), first);
  std::string events = NewEvents();
  EXPECT_NE(events.find(" ERROR 161 0xC00000A1 The TLS certificate could not be loaded: " + cert +
                        ": certificate: "),
            std::string::npos)
      << events;
  EXPECT_EQ(events.find("0xC00000A2"), std::string::npos);

  // The key may sit in the certificate file.
  SetSuiteValue(kTlsCertificateFileValue, both);
  SetSuiteValue(kTlsKeyFileValue, "");
  ReloadTlsCertificate();
  EXPECT_NE(CurrentTlsServerContext(), first);
  EXPECT_NE(CurrentTlsServerContext(), nullptr);

  SetSuiteValue(kTlsCertificateFileValue, "");
  EXPECT_FALSE(LoadTlsCertificate());
  EXPECT_EQ(CurrentTlsServerContext(), nullptr);
  // Broken from the start: nothing is offered.
  SetSuiteValue(kTlsCertificateFileValue, cert);
  EXPECT_FALSE(LoadTlsCertificate());
  events = NewEvents();
  EXPECT_NE(events.find(" ERROR 161 "), std::string::npos);
  EXPECT_NE(events.find(" WARNING 162 "), std::string::npos);
}

// ---- The blocking helper.

TEST(TlsSocket, TalksOverASocketPairWithTimeOuts) {
  int fds[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
  TlsContextRef serverCtx = ServerContext();
  std::string serverGot;
  std::thread serverThread([&] {
    TlsSocket s;
    if (!s.Accept(fds[1], serverCtx, 5000)) return;
    char buffer[100];
    long n = s.Recv(buffer, sizeof buffer, 5000);
    if (n > 0) serverGot.assign(buffer, static_cast<size_t>(n));
    s.Send("250 ok\r\n", 8, 5000);
    // Waits for the client's close_notify.
    s.Recv(buffer, sizeof buffer, 5000);
    close(fds[1]);
  });
  TlsSocket c;
  ASSERT_TRUE(c.Connect(fds[0], ClientContext(), kHost, 5000)) << c.Session().ErrorText();
  EXPECT_EQ(c.Session().Version(), "TLSv1.3");
  ASSERT_TRUE(c.Send("QUIT\r\n", 6, 5000));
  char buffer[100];
  long n = c.Recv(buffer, sizeof buffer, 5000);
  ASSERT_EQ(n, 8);
  EXPECT_EQ(std::string(buffer, 8), "250 ok\r\n");
  EXPECT_EQ(c.Recv(buffer, sizeof buffer, 100), -1);  // nothing more comes
  EXPECT_EQ(GetLastError(), ERROR_TIMEOUT);
  c.Close(5000);
  EXPECT_EQ(c.Recv(buffer, sizeof buffer, 5000), 0);  // the server closed
  serverThread.join();
  close(fds[0]);
  EXPECT_EQ(serverGot, "QUIT\r\n");
}

TEST(TlsSocket, HandshakeWithAPlaintextPeerFails) {
  int fds[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
  ASSERT_EQ(write(fds[1], "220 not tls\r\n", 13), 13);
  TlsSocket c;
  EXPECT_FALSE(c.Connect(fds[0], ClientContext(), kHost, 5000));
  EXPECT_EQ(GetLastError(), EPROTO);
  EXPECT_FALSE(c.Session().ErrorText().empty());
  TlsSocket silent;
  int other[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, other), 0);
  EXPECT_FALSE(silent.Connect(other[0], ClientContext(), kHost, 100));
  EXPECT_EQ(GetLastError(), ERROR_TIMEOUT);
  for (int fd : {fds[0], fds[1], other[0], other[1]}) close(fd);
}

}  // namespace
