// tls: TLS 1.2 and 1.3 on OpenSSL 3, for the two servers and the SMTP client.
//
// Policy, the same for every context: TLS 1.2 and 1.3 only, the library's
// default secure ciphers (the server's order wins), no compression, no
// renegotiation of any kind (the server refuses a client's, and never asks
// for one), stateless session tickets and no server-side session cache.
// A server context of the strict profile (the ports people log on to)
// offers forward-secret AEAD suites only: ECDHE with AES-GCM or
// ChaCha20-Poly1305 under TLS 1.2, and TLS 1.3's GCM and ChaCha20 suites.
// The broad profile (port 25) keeps the library's defaults: a mail server
// that can only do an older suite should still get encryption.
// Server contexts hold a certificate (with its chain) and its key; the
// plain client context verifies nothing (opportunistic encryption between
// mail servers) and names the exchanger with SNI. A verifying client
// context holds a CA store (the system's, or one PEM file) and OpenSSL's
// DANE support; each session then says what it checks (TlsPeerCheck): the
// certificate under the CA store for a name, or against DNSSEC-secured
// TLSA records. The matching is OpenSSL's; nothing here compares
// certificates itself. A session whose check fails ends in the handshake,
// with the certificate's fault in the error text.
//
// TlsSession is a connection's TLS state on two memory buffers, with no
// socket of its own: the caller feeds it the ciphertext it read, takes out
// the ciphertext to send, and writes and reads plaintext. So the network
// engine keeps its one outstanding read or write per socket on the
// completion port: the handshake, the records and the alerts all travel
// through the ordinary overlapped reads and writes, on whichever worker
// holds the connection, and no call ever waits. After every call that may
// produce output (Feed is the exception), PendingOutput() tells whether there
// is ciphertext to send; send it before reading again, also after a fatal
// error (it may hold the alert that tells the peer why).
//
// TlsSocket is the same session over a connected blocking socket with a
// time-out per operation, for the delivery agent's SMTP client.
//
// Untrusted input: every byte fed to a session (parsed by OpenSSL; the
// session bounds what it buffers), the certificate and key files (read
// bounded, regular files only; an encrypted key is refused, never prompted
// for), the server name given for SNI.
//
// Threads and lifetimes: contexts are shared, immutable once made, and may
// be used by any number of sessions on any threads; a session keeps its
// context alive, so replacing the current server context (a reload) leaves
// running sessions on the old one. A session belongs to one thread at a
// time (the engine's rule: a connection's completion runs on one worker).
// OpenSSL's error queue is per thread; each call clears it first, so one
// connection's failure never shows up as another's.
//
// Failures: results are false, TlsResult::kFatal or -1, with a short text
// (ErrorText(), or the why argument) naming the reason for the logs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/errors.h"

// A certificate or key file larger than this is refused (a chain of a few
// certificates is a few kilobytes).
constexpr size_t kMaxTlsFileBytes = 1 << 20;
// Ciphertext a session holds before it is read: a few full records. The
// engine feeds one read buffer at a time and reads the plaintext out before
// it reads the socket again, so more means the caller is not reading.
constexpr size_t kMaxTlsBufferedInput = 256 * 1024;
// A host name for SNI or a certificate: at most 253 characters (RFC 1035).
constexpr size_t kMaxTlsHostName = 253;

struct TlsContext;
using TlsContextRef = std::shared_ptr<const TlsContext>;

enum class TlsProfile { kBroad, kStrict };

// A server context from a PEM certificate file (the server's certificate
// first, then its chain) and a PEM key file (may be the same file). False
// with why (naming the file) when either cannot be read or parsed, or the
// key does not belong to the certificate. With strict, the strict profile's
// context is made from the same texts too (both or neither).
bool LoadTlsServerContext(const std::string &certificateFile, const std::string &keyFile,
                          TlsContextRef &context, std::string &why,
                          TlsContextRef *strict = nullptr);
// The whole of a certificate or key file: a regular file (a link to one is
// fine: certificate tools keep the current pair behind symbolic links) of
// at most kMaxTlsFileBytes. False with why naming the file.
bool ReadTlsFile(const std::string &path, std::string &text, std::string &why);
// The same from PEM texts already in memory, in one profile.
bool MakeTlsServerContext(std::string_view certificatePem, std::string_view keyPem,
                          TlsContextRef &context, std::string &why,
                          TlsProfile profile = TlsProfile::kBroad);
// The SMTP client's context: no certificate verification.
bool MakeTlsClientContext(TlsContextRef &context, std::string &why);
// A client context that can verify: the CA certificates of caFile (PEM),
// or the system's store when caFile is empty, and DANE enabled. False with
// why (naming the file) when the store cannot be loaded.
bool MakeTlsVerifyingClientContext(const std::string &caFile, TlsContextRef &context,
                                   std::string &why);

// TLSA usages a mail client may use (DANE-TA, DANE-EE); the PKIX ones
// depend on a CA store the sender and receiver need not share.
constexpr uint8_t kTlsaUsageDaneTa = 2;
constexpr uint8_t kTlsaUsageDaneEe = 3;

// One TLSA record: certificate usage, selector, matching type and the
// association data (a digest, or the whole certificate or key).
struct TlsaRecord {
  uint8_t Usage = 0;
  uint8_t Selector = 0;
  uint8_t Matching = 0;
  std::string Data;
  bool operator==(const TlsaRecord &) const = default;
};

// What a client session checks of the server's certificate. kName: the
// chain under the context's CA store and a subjectAltName (or CN) equal to
// one of Names (wildcards only as a whole leftmost label). kDane: one of
// Tlsa matches (OpenSSL's DANE; DANE-EE ignores names, DANE-TA needs one of
// Names). The context must be a verifying one for either.
struct TlsPeerCheck {
  enum class Kind { kNone, kName, kDane };
  Kind Check = Kind::kNone;
  std::vector<std::string> Names;   // at most a few; the first is the base name
  std::vector<TlsaRecord> Tlsa;
  // Checked and told (PeerVerified) but never fatal: the handshake goes on
  // whatever the certificate is (a policy in testing mode only reports).
  bool bReportOnly = false;
};

// The server's certificate: its subject and its notAfter time
// ("Dec  7 09:12:01 2027 GMT"), for events.
std::string TlsCertificateSubject(const TlsContextRef &context);
std::string TlsCertificateExpiry(const TlsContextRef &context);

// The server contexts new sessions are given, the broad one or the strict
// one: null while TLS is not offered. Set together at start and by a
// reload; readers get their own reference.
TlsContextRef CurrentTlsServerContext(bool strict = false);
void SetCurrentTlsServerContext(TlsContextRef context, TlsContextRef strict = nullptr);

// A new self-signed certificate for hostName (subjectAltName DNS:hostName,
// and CN=hostName when it fits the 64 characters of a CN) with a new EC
// P-256 key, valid from now for days days, signed with SHA-256: the PEM
// texts of the certificate and of the key (PKCS#8, unencrypted).
bool MakeSelfSignedCertificate(std::string_view hostName, int days, std::string &certificatePem,
                               std::string &keyPem, std::string &why);
// A host name a certificate or SNI can carry: labels of letters, digits
// and inner "-", separated by single dots, at most 63 characters each and
// 253 in all; a trailing dot is not part of it.
bool IsTlsHostName(std::string_view name);

enum class TlsResult {
  kDone,       // the call did its work
  kWantInput,  // feed more ciphertext from the peer, then call again
  kClosed,     // the peer ended the session cleanly (close_notify)
  kFatal,      // the session is unusable; ErrorText() says why
};

class TlsSession {
 public:
  TlsSession();
  ~TlsSession();
  TlsSession(const TlsSession &) = delete;
  TlsSession &operator=(const TlsSession &) = delete;
  // A session moves whole (the network engine hands a logged-on client's
  // session to the relay that serves it from then on).
  TlsSession(TlsSession &&) noexcept;
  TlsSession &operator=(TlsSession &&) noexcept;

  // Makes the session a server (context from LoadTlsServerContext) or a
  // client; serverName goes out as SNI when it is a host name (an address
  // literal or "" sends none). False when OpenSSL cannot make the state.
  bool StartServer(const TlsContextRef &context);
  bool StartClient(const TlsContextRef &context, std::string_view serverName,
                   const TlsPeerCheck &check = {});
  // After the handshake of a client session with a check: the check held
  // (it did, or the handshake would have failed). False without a check.
  bool PeerVerified() const;

  // Ciphertext from the peer. False (the session is fatal) when more than
  // kMaxTlsBufferedInput bytes would wait unread.
  bool Feed(const char *data, size_t length);
  // Drives the handshake: kDone once it is complete (at once if it was).
  TlsResult Handshake();
  bool HandshakeDone() const;
  // Plaintext from the peer: kDone with *got > 0 bytes in buffer. Drives
  // the handshake first when it is not complete.
  TlsResult Read(char *buffer, size_t length, size_t *got);
  // Plaintext whose records are already here, or ciphertext not yet
  // processed: Read may give more without a Feed.
  bool HasBufferedInput() const;
  // Encrypts all of data into the output (kDone); the handshake must be
  // complete.
  TlsResult Write(const char *data, size_t length);
  // Queues close_notify (once).
  void Close();

  // Ciphertext waiting to be sent, and taking up to length bytes of it.
  size_t PendingOutput() const;
  size_t TakeOutput(char *buffer, size_t length);

  // "TLSv1.3" and the cipher suite's name, once the handshake is done.
  std::string Version() const;
  std::string Cipher() const;
  // A server's session: the host name the client asked for with SNI ("").
  std::string ServerName() const;
  // Why the session failed.
  const std::string &ErrorText() const { return error_; }

 private:
  struct Impl;
  bool Start(const TlsContextRef &context, bool server, std::string_view serverName);
  bool SetPeerCheck(const TlsPeerCheck &check);
  TlsResult Fail(int ret, const char *operation);
  std::unique_ptr<Impl> impl_;
  std::string error_;
};

// A TLS session over a connected blocking socket. The socket stays the
// caller's (TlsSocket never closes it). Each call waits at most its time-out
// for the peer: the handshake and a receive in all, a send from its last
// progress (as SendSocket does). Not thread-safe: one thread at a time.
class TlsSocket {
 public:
  // The handshake as a client (serverName for SNI; check: what the server's
  // certificate must prove, as StartClient) or as a server.
  bool Connect(int fd, const TlsContextRef &context, std::string_view serverName,
               DWORD timeoutMs, const TlsPeerCheck &check = {});
  bool Accept(int fd, const TlsContextRef &context, DWORD timeoutMs);
  // Sends all of data: false on failure or time-out (last error set).
  bool Send(const char *data, size_t length, DWORD timeoutMs);
  // Plaintext: the count, 0 when the peer ended the session or the
  // connection, -1 on failure or time-out (last error ERROR_TIMEOUT).
  long Recv(char *buffer, size_t length, DWORD timeoutMs);
  // Sends close_notify, best effort, without waiting for the peer's.
  void Close(DWORD timeoutMs);

  const TlsSession &Session() const { return session_; }
  // The session, with what it holds unread, for a caller that goes on
  // without waiting (a proxied logon's relay); this object is then spent.
  std::unique_ptr<TlsSession> TakeSession();

 private:
  bool Handshake(DWORD timeoutMs);
  bool Flush(DWORD timeoutMs);
  int Fill(long long deadline);
  int fd_ = -1;
  TlsSession session_;
};

// ---- Digests for the records that publish this host's keys.

// The SHA-256 digest of data as 64 lower-case hex digits ("" only when
// OpenSSL fails).
std::string Sha256Hex(std::string_view data);

// HMAC-SHA-256 of data under key: the 32 raw bytes ("" only when OpenSSL
// fails). For the keyed hashes of addresses this host signs (SRS).
std::string HmacSha256(std::string_view key, std::string_view data);

// Whether two secrets are equal, in a time that depends on neither's
// content nor on where they differ (CRYPTO_memcmp over SHA-256 digests, so
// not on the lengths either). A digest that cannot be made is unequal.
bool SecretsEqual(std::string_view a, std::string_view b);

// The SHA-256 digest of the SubjectPublicKeyInfo (DER) of the first
// certificate in a PEM file, as hex: the data of a "3 1 1" TLSA record
// (RFC 6698), which stays valid across renewals that keep the key. The file
// is read as LoadTlsServerContext reads it. False with why (naming the
// file) when it cannot be read or holds no certificate.
bool TlsCertificateSpkiSha256(const std::string &certificateFile, std::string &hexDigest,
                              std::string &why);
