// tls: see tls.h.
#include "platform/tls.h"

#include <fcntl.h>
#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/buffer.h>
#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/hmac.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <mutex>

#include "platform/ascii.h"
#include "platform/files.h"
#include "platform/fileview.h"
#include "platform/ipaddr.h"
#include "platform/sockets.h"
#include "platform/sync.h"

struct TlsContext {
  SSL_CTX *Ctx = nullptr;
  ~TlsContext() { SSL_CTX_free(Ctx); }
};

namespace {

// A CN holds at most 64 characters (RFC 5280, ub-common-name).
constexpr size_t kMaxCommonName = 64;
// A DNS label holds at most 63 characters.
constexpr size_t kMaxLabel = 63;
// The random serial number of a new certificate, in bits (positive, and
// within the 20 octets RFC 5280 allows).
constexpr int kSerialBits = 127;
// The strict profile: forward-secret AEAD suites only. TLS 1.2 with ECDHE
// and AES-GCM or ChaCha20-Poly1305; TLS 1.3's suites are all of that kind
// (the CCM ones are left out, as OpenSSL's default does).
constexpr const char *kStrictTls12Ciphers = "ECDHE+AESGCM:ECDHE+CHACHA20:!PSK";
constexpr const char *kStrictTls13Suites =
    "TLS_AES_256_GCM_SHA384:TLS_CHACHA20_POLY1305_SHA256:TLS_AES_128_GCM_SHA256";
// The blocking helper moves ciphertext in pieces of this size.
constexpr size_t kSocketChunk = 16 * 1024;
// A memory buffer keeps the largest size it ever held: once emptied, one
// that grew beyond this is replaced, so a session left idle after a large
// transfer shrinks back to OpenSSL's own state.
constexpr size_t kIdleBufferBytes = 4096;

template <typename T, void (*Free)(T *)>
struct Deleter {
  void operator()(T *p) const { Free(p); }
};
void FreeBio(BIO *b) { BIO_free(b); }
using BioPtr = std::unique_ptr<BIO, Deleter<BIO, FreeBio>>;
using X509Ptr = std::unique_ptr<X509, Deleter<X509, X509_free>>;
using PkeyPtr = std::unique_ptr<EVP_PKEY, Deleter<EVP_PKEY, EVP_PKEY_free>>;
using BnPtr = std::unique_ptr<BIGNUM, Deleter<BIGNUM, BN_free>>;

// The first reason on this thread's OpenSSL error queue (the queue is
// emptied), or fallback when it is empty.
std::string OpenSslReason(const char *fallback) {
  unsigned long code = ERR_get_error();
  ERR_clear_error();
  if (code == 0) return fallback;
  if (const char *reason = ERR_reason_error_string(code)) return reason;
  char text[256];
  ERR_error_string_n(code, text, sizeof text);
  return text;
}

// Keys are never encrypted here: a passphrase would have to be typed at
// every start and reload. Refusing beats OpenSSL prompting on a terminal.
int NoPassphrase(char *, int, int, void *) { return 0; }

bool Failed(std::string &why, const std::string &what, const char *fallback) {
  why = what + ": " + OpenSslReason(fallback);
  return false;
}

SSL_CTX *NewContext(bool server, TlsProfile profile = TlsProfile::kBroad) {
  SSL_CTX *ctx = SSL_CTX_new(server ? TLS_server_method() : TLS_client_method());
  if (ctx == nullptr) return nullptr;
  uint64_t options = SSL_OP_NO_COMPRESSION | SSL_OP_NO_RENEGOTIATION;
  if (server) options |= SSL_OP_CIPHER_SERVER_PREFERENCE;
  bool strict = profile == TlsProfile::kStrict;
  if (SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION) != 1 ||
      SSL_CTX_set_max_proto_version(ctx, 0) != 1 ||
      (strict && (SSL_CTX_set_cipher_list(ctx, kStrictTls12Ciphers) != 1 ||
                  SSL_CTX_set_ciphersuites(ctx, kStrictTls13Suites) != 1))) {
    SSL_CTX_free(ctx);
    return nullptr;
  }
  SSL_CTX_set_options(ctx, options);
  SSL_CTX_clear_options(ctx, SSL_OP_ALLOW_CLIENT_RENEGOTIATION);
  // Idle connections (a POP3 client thinking) then hold no record buffers.
  SSL_CTX_set_mode(ctx, SSL_MODE_RELEASE_BUFFERS);
  // Resumption rides on stateless tickets; a cache would only grow.
  SSL_CTX_set_session_cache_mode(ctx, SSL_SESS_CACHE_OFF);
  SSL_CTX_set_default_passwd_cb(ctx, NoPassphrase);
  if (!server) SSL_CTX_set_verify(ctx, SSL_VERIFY_NONE, nullptr);
  return ctx;
}

// The server's certificate, then every further certificate of the text as
// its chain. Other PEM blocks (a key in the same file) are skipped.
bool UseCertificateChain(SSL_CTX *ctx, std::string_view pem, std::string &why) {
  BioPtr bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
  if (!bio) return Failed(why, "certificate", "out of memory");
  X509Ptr leaf(PEM_read_bio_X509_AUX(bio.get(), nullptr, NoPassphrase, nullptr));
  if (!leaf || SSL_CTX_use_certificate(ctx, leaf.get()) != 1)
    return Failed(why, "certificate", "no certificate");
  for (;;) {
    X509Ptr ca(PEM_read_bio_X509(bio.get(), nullptr, NoPassphrase, nullptr));
    if (!ca) break;
    if (SSL_CTX_add1_chain_cert(ctx, ca.get()) != 1) return Failed(why, "chain", "bad chain");
  }
  // The chain ends where the PEM blocks end; anything else is an error.
  unsigned long last = ERR_peek_last_error();
  if (ERR_GET_LIB(last) == ERR_LIB_PEM && ERR_GET_REASON(last) == PEM_R_NO_START_LINE) {
    ERR_clear_error();
    return true;
  }
  return Failed(why, "chain", "bad chain");
}

bool UsePrivateKey(SSL_CTX *ctx, std::string_view pem, std::string &why) {
  BioPtr bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
  if (!bio) return Failed(why, "key", "out of memory");
  PkeyPtr key(PEM_read_bio_PrivateKey(bio.get(), nullptr, NoPassphrase, nullptr));
  if (!key || SSL_CTX_use_PrivateKey(ctx, key.get()) != 1) return Failed(why, "key", "no key");
  if (SSL_CTX_check_private_key(ctx) != 1)
    return Failed(why, "key", "the key does not belong to the certificate");
  return true;
}

std::string SystemText(long code) {
  std::string text;
  if (!FormatSystemMessage(code, text)) text = "error " + std::to_string(code);
  return text;
}

// Key material does not linger in freed memory.
void Cleanse(std::string &s) {
  if (!s.empty()) OPENSSL_cleanse(s.data(), s.size());
  s.clear();
}

std::mutex g_CurrentLock;
TlsContextRef g_Current;
TlsContextRef g_CurrentStrict;

// A fresh memory BIO on which an empty read means "wait for more", not the
// end of the stream.
BIO *NewMemoryBio() {
  BIO *bio = BIO_new(BIO_s_mem());
  if (bio != nullptr) BIO_set_mem_eof_return(bio, -1);
  return bio;
}

// True when bio is empty and its buffer has grown beyond kIdleBufferBytes.
bool EmptyAndLarge(BIO *bio) {
  BUF_MEM *mem = nullptr;
  if (BIO_ctrl_pending(bio) != 0 || BIO_get_mem_ptr(bio, &mem) != 1 || mem == nullptr) return false;
  return mem->max > kIdleBufferBytes;
}

// The text a memory BIO holds; with cleanse, the BIO's copy is wiped (key
// material does not linger in freed memory).
std::string BioText(BIO *bio, bool cleanse) {
  char *data = nullptr;
  long n = BIO_get_mem_data(bio, &data);
  std::string text(data, n > 0 ? static_cast<size_t>(n) : 0);
  if (cleanse && n > 0) OPENSSL_cleanse(data, static_cast<size_t>(n));
  return text;
}

bool AddExtension(X509 *x, int nid, const std::string &value) {
  X509V3_CTX v3;
  X509V3_set_ctx(&v3, x, x, nullptr, nullptr, 0);
  X509_EXTENSION *ext = X509V3_EXT_conf_nid(nullptr, &v3, nid, value.c_str());
  if (ext == nullptr) return false;
  bool ok = X509_add_ext(x, ext, -1) == 1;
  X509_EXTENSION_free(ext);
  return ok;
}

// The certificate's fields: a random serial, the validity, the subject (also
// the issuer) and the extensions of a server certificate for hostName.
bool FillCertificate(X509 *x, EVP_PKEY *key, const std::string &host, int days) {
  BnPtr serial(BN_new());
  if (!serial || BN_rand(serial.get(), kSerialBits, BN_RAND_TOP_ONE, BN_RAND_BOTTOM_ANY) != 1 ||
      BN_to_ASN1_INTEGER(serial.get(), X509_get_serialNumber(x)) == nullptr)
    return false;
  X509_NAME *name = X509_get_subject_name(x);
  bool withCn = host.size() <= kMaxCommonName;
  if (withCn && X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                                           reinterpret_cast<const unsigned char *>(host.c_str()),
                                           -1, -1, 0) != 1)
    return false;
  // Without a subject the alternative name is the only name, and must be
  // critical (RFC 5280).
  return X509_set_version(x, X509_VERSION_3) == 1 &&
         X509_gmtime_adj(X509_getm_notBefore(x), 0) != nullptr &&
         X509_time_adj_ex(X509_getm_notAfter(x), days, 0, nullptr) != nullptr &&
         X509_set_issuer_name(x, name) == 1 && X509_set_pubkey(x, key) == 1 &&
         AddExtension(x, NID_basic_constraints, "critical,CA:FALSE") &&
         AddExtension(x, NID_key_usage, "critical,digitalSignature") &&
         AddExtension(x, NID_ext_key_usage, "serverAuth") &&
         AddExtension(x, NID_subject_key_identifier, "hash") &&
         AddExtension(x, NID_subject_alt_name, (withCn ? "DNS:" : "critical,DNS:") + host);
}

}  // namespace

// ---- Contexts.

bool ReadTlsFile(const std::string &path, std::string &text, std::string &why) {
  UniqueFd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
  struct stat st {};
  if (!fd.Valid() || fstat(fd.Get(), &st) != 0) {
    why = path + ": " + SystemText(errno);
    return false;
  }
  if (!S_ISREG(st.st_mode) || st.st_size > static_cast<off_t>(kMaxTlsFileBytes)) {
    why = path + (S_ISREG(st.st_mode) ? ": larger than " + std::to_string(kMaxTlsFileBytes) + " bytes"
                                      : std::string(": not a regular file"));
    return false;
  }
  text.assign(static_cast<size_t>(st.st_size), '\0');
  size_t got = 0;
  if (!ReadFileAt(fd.Get(), text.data(), text.size(), 0, &got)) {
    why = path + ": " + SystemText(GetLastError());
    return false;
  }
  text.resize(got);
  return true;
}

bool MakeTlsServerContext(std::string_view certificatePem, std::string_view keyPem,
                          TlsContextRef &context, std::string &why, TlsProfile profile) {
  ERR_clear_error();
  if (certificatePem.size() > kMaxTlsFileBytes || keyPem.size() > kMaxTlsFileBytes) {
    why = "larger than " + std::to_string(kMaxTlsFileBytes) + " bytes";
    return false;
  }
  auto made = std::make_shared<TlsContext>();
  made->Ctx = NewContext(true, profile);
  if (made->Ctx == nullptr) return Failed(why, "context", "cannot make a context");
  if (!UseCertificateChain(made->Ctx, certificatePem, why) ||
      !UsePrivateKey(made->Ctx, keyPem, why))
    return false;
  context = std::move(made);
  return true;
}

bool LoadTlsServerContext(const std::string &certificateFile, const std::string &keyFile,
                          TlsContextRef &context, std::string &why, TlsContextRef *strict) {
  std::string certificate, key;
  if (!ReadTlsFile(certificateFile, certificate, why)) return false;
  bool sameFile = keyFile == certificateFile;
  if (!sameFile && !ReadTlsFile(keyFile, key, why)) return false;
  std::string_view keyPem = sameFile ? certificate : key;
  bool ok = MakeTlsServerContext(certificate, keyPem, context, why) &&
            (strict == nullptr ||
             MakeTlsServerContext(certificate, keyPem, *strict, why, TlsProfile::kStrict));
  if (!ok) why = (why.rfind("key", 0) == 0 ? keyFile : certificateFile) + ": " + why;
  Cleanse(key);
  if (sameFile) Cleanse(certificate);
  return ok;
}

bool MakeTlsClientContext(TlsContextRef &context, std::string &why) {
  ERR_clear_error();
  auto made = std::make_shared<TlsContext>();
  made->Ctx = NewContext(false);
  if (made->Ctx == nullptr) return Failed(why, "context", "cannot make a context");
  context = std::move(made);
  return true;
}

bool MakeTlsVerifyingClientContext(const std::string &caFile, TlsContextRef &context,
                                   std::string &why) {
  ERR_clear_error();
  auto made = std::make_shared<TlsContext>();
  made->Ctx = NewContext(false);
  if (made->Ctx == nullptr) return Failed(why, "context", "cannot make a context");
  bool loaded = caFile.empty()
                    ? SSL_CTX_set_default_verify_paths(made->Ctx) == 1
                    : SSL_CTX_load_verify_locations(made->Ctx, caFile.c_str(), nullptr) == 1;
  if (!loaded)
    return Failed(why, caFile.empty() ? "system CA store" : caFile, "cannot load the CA store");
  if (SSL_CTX_dane_enable(made->Ctx) <= 0) return Failed(why, "DANE", "cannot enable DANE");
  context = std::move(made);
  return true;
}

std::string TlsCertificateSubject(const TlsContextRef &context) {
  X509 *x = context ? SSL_CTX_get0_certificate(context->Ctx) : nullptr;
  if (x == nullptr) return "";
  char text[256];
  X509_NAME_oneline(X509_get_subject_name(x), text, sizeof text);
  return text;
}

std::string TlsCertificateExpiry(const TlsContextRef &context) {
  X509 *x = context ? SSL_CTX_get0_certificate(context->Ctx) : nullptr;
  BioPtr bio(BIO_new(BIO_s_mem()));
  if (x == nullptr || !bio || ASN1_TIME_print(bio.get(), X509_get0_notAfter(x)) != 1) return "";
  return BioText(bio.get(), false);
}

TlsContextRef CurrentTlsServerContext(bool strict) {
  std::lock_guard<std::mutex> guard(g_CurrentLock);
  return strict ? g_CurrentStrict : g_Current;
}

void SetCurrentTlsServerContext(TlsContextRef context, TlsContextRef strict) {
  // The old ones are freed after the lock is left.
  TlsContextRef old, oldStrict;
  std::lock_guard<std::mutex> guard(g_CurrentLock);
  old.swap(g_Current);
  oldStrict.swap(g_CurrentStrict);
  g_Current = std::move(context);
  g_CurrentStrict = std::move(strict);
}

// ---- Self-signed certificates.

bool IsTlsHostName(std::string_view name) {
  if (name.empty() || name.size() > kMaxTlsHostName) return false;
  size_t label = 0;
  for (size_t i = 0; i < name.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(name[i]);
    if (c == '.') {
      if (label == 0 || name[i - 1] == '-') return false;
      label = 0;
      continue;
    }
    bool letterOrDigit = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
    if (!letterOrDigit && (c != '-' || label == 0)) return false;
    if (++label > kMaxLabel) return false;
  }
  return label > 0 && name.back() != '-';
}

bool MakeSelfSignedCertificate(std::string_view hostName, int days, std::string &certificatePem,
                               std::string &keyPem, std::string &why) {
  ERR_clear_error();
  if (!IsTlsHostName(hostName) || days <= 0) {
    why = "not a host name, or no days of validity";
    return false;
  }
  PkeyPtr key(EVP_EC_gen("P-256"));
  X509Ptr x(X509_new());
  if (!key || !x) return Failed(why, "key", "cannot make a key");
  if (!FillCertificate(x.get(), key.get(), std::string(hostName), days) ||
      X509_sign(x.get(), key.get(), EVP_sha256()) == 0)
    return Failed(why, "certificate", "cannot make the certificate");
  BioPtr certificate(BIO_new(BIO_s_mem())), privateKey(BIO_new(BIO_s_mem()));
  if (!certificate || !privateKey || PEM_write_bio_X509(certificate.get(), x.get()) != 1 ||
      PEM_write_bio_PrivateKey(privateKey.get(), key.get(), nullptr, nullptr, 0, nullptr,
                               nullptr) != 1)
    return Failed(why, "PEM", "cannot write PEM");
  certificatePem = BioText(certificate.get(), false);
  keyPem = BioText(privateKey.get(), true);
  return true;
}

// ---- Sessions.

struct TlsSession::Impl {
  TlsContextRef Context;  // kept alive for the session's life
  SSL *Ssl = nullptr;
  BIO *In = nullptr;      // owned by Ssl
  BIO *Out = nullptr;     // owned by Ssl
  bool Done = false;      // the handshake is complete
  bool Fatal = false;
  bool Closed = false;    // close_notify queued
  bool Checked = false;   // a client session that verifies the server
  ~Impl() { SSL_free(Ssl); }
  // Swaps an emptied, grown buffer for a new one (SSL_set0_* frees the old;
  // without memory for a new one the old stays).
  void TrimInput() {
    BIO *fresh = EmptyAndLarge(In) ? NewMemoryBio() : nullptr;
    if (fresh == nullptr) return;
    SSL_set0_rbio(Ssl, fresh);
    In = fresh;
  }
  void TrimOutput() {
    BIO *fresh = EmptyAndLarge(Out) ? NewMemoryBio() : nullptr;
    if (fresh == nullptr) return;
    SSL_set0_wbio(Ssl, fresh);
    Out = fresh;
  }
};

TlsSession::TlsSession() = default;
TlsSession::~TlsSession() = default;
TlsSession::TlsSession(TlsSession &&) noexcept = default;
TlsSession &TlsSession::operator=(TlsSession &&) noexcept = default;

bool TlsSession::StartServer(const TlsContextRef &context) { return Start(context, true, ""); }

bool TlsSession::StartClient(const TlsContextRef &context, std::string_view serverName,
                             const TlsPeerCheck &check) {
  return Start(context, false, serverName) && SetPeerCheck(check);
}

bool TlsSession::SetPeerCheck(const TlsPeerCheck &check) {
  if (check.Check == TlsPeerCheck::Kind::kNone) return true;
  SSL *ssl = impl_->Ssl;
  bool ok = !check.Names.empty() || check.Check == TlsPeerCheck::Kind::kDane;
  if (check.Check == TlsPeerCheck::Kind::kDane) {
    const char *base = check.Names.empty() ? nullptr : check.Names.front().c_str();
    ok = SSL_dane_enable(ssl, base) > 0;
    // A DANE-EE record pins the key itself: the names in the certificate
    // mean nothing then (mail servers often present a self-signed one).
    if (ok) SSL_dane_set_flags(ssl, DANE_FLAG_NO_DANE_EE_NAMECHECKS);
    size_t usable = 0;
    for (const TlsaRecord &r : check.Tlsa) {
      const auto *data = reinterpret_cast<const unsigned char *>(r.Data.data());
      // A record OpenSSL cannot use (an unknown digest) is skipped, as
      // DANE asks; one usable record is enough.
      if (ok && SSL_dane_tlsa_add(ssl, r.Usage, r.Selector, r.Matching, data, r.Data.size()) > 0)
        ++usable;
    }
    ok = ok && usable > 0;
  } else {
    ok = ok && SSL_set1_host(ssl, check.Names.front().c_str()) == 1;
    SSL_set_hostflags(ssl, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
  }
  for (size_t i = 1; ok && i < check.Names.size(); ++i)
    ok = SSL_add1_host(ssl, check.Names[i].c_str()) == 1;
  if (!ok) {
    error_ = OpenSslReason("cannot set up the certificate check");
    impl_.reset();
    return false;
  }
  // Without SSL_VERIFY_PEER OpenSSL still verifies, and keeps the result
  // for SSL_get_verify_result, but finishes the handshake.
  SSL_set_verify(ssl, check.bReportOnly ? SSL_VERIFY_NONE : SSL_VERIFY_PEER, nullptr);
  impl_->Checked = true;
  return true;
}

bool TlsSession::PeerVerified() const {
  return HandshakeDone() && impl_->Checked && SSL_get_verify_result(impl_->Ssl) == X509_V_OK;
}

bool TlsSession::Start(const TlsContextRef &context, bool server, std::string_view serverName) {
  ERR_clear_error();
  impl_.reset();
  error_.clear();
  if (!context) {
    error_ = "no TLS context";
    return false;
  }
  auto impl = std::make_unique<Impl>();
  impl->Context = context;
  impl->Ssl = SSL_new(context->Ctx);
  impl->In = NewMemoryBio();
  impl->Out = NewMemoryBio();
  if (impl->Ssl == nullptr || impl->In == nullptr || impl->Out == nullptr) {
    BIO_free(impl->In);
    BIO_free(impl->Out);
    error_ = OpenSslReason("out of memory");
    return false;
  }
  SSL_set_bio(impl->Ssl, impl->In, impl->Out);
  if (server) {
    SSL_set_accept_state(impl->Ssl);
  } else {
    SSL_set_connect_state(impl->Ssl);
    // SNI carries host names only (RFC 6066): never an address literal.
    std::string name(serverName);
    if (!name.empty() && name.back() == '.') name.pop_back();
    IpAddress literal;
    if (IsTlsHostName(name) && !ParseAddress(name, &literal) &&
        SSL_set_tlsext_host_name(impl->Ssl, name.c_str()) != 1) {
      error_ = OpenSslReason("cannot set the server name");
      return false;
    }
  }
  impl_ = std::move(impl);
  return true;
}

TlsResult TlsSession::Fail(int ret, const char *operation) {
  switch (SSL_get_error(impl_->Ssl, ret)) {
    case SSL_ERROR_WANT_READ:
      ERR_clear_error();
      return TlsResult::kWantInput;
    case SSL_ERROR_ZERO_RETURN:
      ERR_clear_error();
      return TlsResult::kClosed;
    default: {
      impl_->Fatal = true;
      error_ = std::string(operation) + ": " + OpenSslReason("protocol error");
      long verify = impl_->Checked ? SSL_get_verify_result(impl_->Ssl) : X509_V_OK;
      if (verify != X509_V_OK)
        error_ += std::string(" (") + X509_verify_cert_error_string(verify) + ")";
      return TlsResult::kFatal;
    }
  }
}

bool TlsSession::Feed(const char *data, size_t length) {
  if (!impl_ || impl_->Fatal) return false;
  if (BIO_ctrl_pending(impl_->In) + length > kMaxTlsBufferedInput) {
    impl_->Fatal = true;
    error_ = "more than " + std::to_string(kMaxTlsBufferedInput) + " bytes of unread input";
    return false;
  }
  if (length == 0) return true;
  ERR_clear_error();
  if (BIO_write(impl_->In, data, static_cast<int>(length)) != static_cast<int>(length)) {
    impl_->Fatal = true;
    error_ = OpenSslReason("out of memory");
    return false;
  }
  return true;
}

TlsResult TlsSession::Handshake() {
  if (!impl_ || impl_->Fatal) return TlsResult::kFatal;
  if (impl_->Done) return TlsResult::kDone;
  ERR_clear_error();
  int ret = SSL_do_handshake(impl_->Ssl);
  if (ret != 1) return Fail(ret, "handshake");
  impl_->Done = true;
  return TlsResult::kDone;
}

bool TlsSession::HandshakeDone() const { return impl_ && impl_->Done && !impl_->Fatal; }

TlsResult TlsSession::Read(char *buffer, size_t length, size_t *got) {
  *got = 0;
  TlsResult hs = Handshake();
  if (hs != TlsResult::kDone) return hs;
  ERR_clear_error();
  int ret = SSL_read_ex(impl_->Ssl, buffer, length, got);
  TlsResult r = ret == 1 ? TlsResult::kDone : Fail(ret, "read");
  if (impl_->Done && !impl_->Fatal) impl_->TrimInput();
  return r;
}

bool TlsSession::HasBufferedInput() const {
  return impl_ && !impl_->Fatal &&
         (SSL_has_pending(impl_->Ssl) == 1 || BIO_ctrl_pending(impl_->In) > 0);
}

TlsResult TlsSession::Write(const char *data, size_t length) {
  if (!impl_ || impl_->Fatal) return TlsResult::kFatal;
  if (!impl_->Done || impl_->Closed) {
    impl_->Fatal = true;
    error_ = impl_->Closed ? "write after close" : "write before the handshake";
    return TlsResult::kFatal;
  }
  // The output buffer grows as needed, so a write takes everything at once.
  while (length > 0) {
    size_t written = 0;
    ERR_clear_error();
    int ret = SSL_write_ex(impl_->Ssl, data, length, &written);
    if (ret != 1 && Fail(ret, "write") != TlsResult::kFatal) {
      impl_->Fatal = true;
      error_ = "write: refused";
    }
    if (ret != 1) return TlsResult::kFatal;
    data += written;
    length -= written;
  }
  return TlsResult::kDone;
}

void TlsSession::Close() {
  if (!impl_ || impl_->Fatal || impl_->Closed || !impl_->Done) return;
  impl_->Closed = true;
  ERR_clear_error();
  (void)SSL_shutdown(impl_->Ssl);
  ERR_clear_error();
}

size_t TlsSession::PendingOutput() const { return impl_ ? BIO_ctrl_pending(impl_->Out) : 0; }

size_t TlsSession::TakeOutput(char *buffer, size_t length) {
  if (!impl_ || length == 0) return 0;
  int n = BIO_read(impl_->Out, buffer, static_cast<int>(std::min<size_t>(length, INT_MAX)));
  if (impl_->Done) impl_->TrimOutput();
  return n > 0 ? static_cast<size_t>(n) : 0;
}

std::string TlsSession::Version() const {
  return HandshakeDone() ? SSL_get_version(impl_->Ssl) : "";
}

std::string TlsSession::Cipher() const {
  const SSL_CIPHER *c = HandshakeDone() ? SSL_get_current_cipher(impl_->Ssl) : nullptr;
  return c != nullptr ? SSL_CIPHER_get_name(c) : "";
}

std::string TlsSession::ServerName() const {
  const char *name = impl_ ? SSL_get_servername(impl_->Ssl, TLSEXT_NAMETYPE_host_name) : nullptr;
  return name != nullptr ? name : "";
}

// ---- The blocking helper.

namespace {

long long DeadlineOf(DWORD timeoutMs) {
  return timeoutMs == INFINITE ? -1 : MonotonicMs() + timeoutMs;
}

// What is left of a deadline, as a time-out; 0 when it has passed.
DWORD Remaining(long long deadline) {
  if (deadline < 0) return INFINITE;
  long long left = deadline - MonotonicMs();
  return left > 0 ? static_cast<DWORD>(left) : 0;
}

bool ProtocolFailure() {
  SetLastError(EPROTO);
  return false;
}

}  // namespace

bool TlsSocket::Connect(int fd, const TlsContextRef &context, std::string_view serverName,
                        DWORD timeoutMs, const TlsPeerCheck &check) {
  fd_ = fd;
  return session_.StartClient(context, serverName, check) ? Handshake(timeoutMs)
                                                          : ProtocolFailure();
}

std::unique_ptr<TlsSession> TlsSocket::TakeSession() {
  fd_ = -1;
  return std::make_unique<TlsSession>(std::move(session_));
}

bool TlsSocket::Accept(int fd, const TlsContextRef &context, DWORD timeoutMs) {
  fd_ = fd;
  return session_.StartServer(context) ? Handshake(timeoutMs) : ProtocolFailure();
}

bool TlsSocket::Flush(DWORD timeoutMs) {
  char buffer[kSocketChunk];
  for (size_t n; (n = session_.TakeOutput(buffer, sizeof buffer)) > 0;)
    if (!SendSocket(fd_, buffer, n, timeoutMs)) return false;
  return true;
}

// One receive fed to the session: 1, or 0 at the end of the stream, or -1
// on failure and at the deadline (last error set).
int TlsSocket::Fill(long long deadline) {
  DWORD left = Remaining(deadline);
  if (left == 0) {
    SetLastError(ERROR_TIMEOUT);
    return -1;
  }
  char buffer[kSocketChunk];
  long n = RecvSocket(fd_, buffer, sizeof buffer, left);
  if (n <= 0) return n < 0 ? -1 : 0;
  return session_.Feed(buffer, static_cast<size_t>(n)) || ProtocolFailure() ? 1 : -1;
}

bool TlsSocket::Handshake(DWORD timeoutMs) {
  long long deadline = DeadlineOf(timeoutMs);
  for (;;) {
    TlsResult r = session_.Handshake();
    // The alert of a failed handshake goes out too, so the peer knows why.
    if (!Flush(timeoutMs)) return false;
    if (r == TlsResult::kDone) return true;
    if (r != TlsResult::kWantInput) return ProtocolFailure();
    int filled = Fill(deadline);
    if (filled <= 0) {
      if (filled == 0) SetLastError(ECONNRESET);
      return false;
    }
  }
}

bool TlsSocket::Send(const char *data, size_t length, DWORD timeoutMs) {
  if (session_.Write(data, length) != TlsResult::kDone) {
    Flush(timeoutMs);
    return ProtocolFailure();
  }
  return Flush(timeoutMs);
}

long TlsSocket::Recv(char *buffer, size_t length, DWORD timeoutMs) {
  long long deadline = DeadlineOf(timeoutMs);
  for (;;) {
    size_t got = 0;
    TlsResult r = session_.Read(buffer, length, &got);
    // Reading may queue output (a key update's answer, an alert).
    if (!Flush(timeoutMs)) return -1;
    if (r == TlsResult::kDone) return static_cast<long>(got);
    if (r == TlsResult::kClosed) return 0;
    if (r == TlsResult::kFatal) return ProtocolFailure() ? 0 : -1;
    int filled = Fill(deadline);
    if (filled <= 0) return filled;
  }
}

void TlsSocket::Close(DWORD timeoutMs) {
  session_.Close();
  (void)Flush(timeoutMs);
}

// ---- Digests.

std::string Sha256Hex(std::string_view data) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (EVP_Digest(data.data(), data.size(), digest, &length, EVP_sha256(), nullptr) != 1) {
    ERR_clear_error();
    return "";
  }
  return HexText(std::string_view(reinterpret_cast<char *>(digest), length));
}

std::string HmacSha256(std::string_view key, std::string_view data) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (HMAC(EVP_sha256(), key.data(), static_cast<int>(key.size()),
           reinterpret_cast<const unsigned char *>(data.data()), data.size(), digest,
           &length) == nullptr) {
    ERR_clear_error();
    return "";
  }
  return std::string(reinterpret_cast<char *>(digest), length);
}

bool SecretsEqual(std::string_view a, std::string_view b) {
  unsigned char da[EVP_MAX_MD_SIZE], db[EVP_MAX_MD_SIZE];
  unsigned int la = 0, lb = 0;
  bool ok = EVP_Digest(a.data(), a.size(), da, &la, EVP_sha256(), nullptr) == 1;
  ok = EVP_Digest(b.data(), b.size(), db, &lb, EVP_sha256(), nullptr) == 1 && ok;
  if (!ok) ERR_clear_error();
  bool equal = ok && la == lb && CRYPTO_memcmp(da, db, la) == 0;
  OPENSSL_cleanse(da, sizeof da);
  OPENSSL_cleanse(db, sizeof db);
  return equal;
}

bool TlsCertificateSpkiSha256(const std::string &certificateFile, std::string &hexDigest,
                              std::string &why) {
  ERR_clear_error();
  std::string pem;
  if (!ReadTlsFile(certificateFile, pem, why)) return false;
  BioPtr bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
  X509Ptr x(bio ? PEM_read_bio_X509(bio.get(), nullptr, NoPassphrase, nullptr) : nullptr);
  if (!x) return Failed(why, certificateFile, "no certificate");
  unsigned char *der = nullptr;
  int length = i2d_X509_PUBKEY(X509_get_X509_PUBKEY(x.get()), &der);
  if (length <= 0) return Failed(why, certificateFile, "no public key");
  hexDigest =
      Sha256Hex(std::string_view(reinterpret_cast<char *>(der), static_cast<size_t>(length)));
  OPENSSL_free(der);
  if (hexDigest.empty()) return Failed(why, certificateFile, "no digest");
  return true;
}
