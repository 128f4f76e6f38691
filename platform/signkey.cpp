// signkey: see signkey.h.
#include "platform/signkey.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <memory>
#include <vector>

namespace {

// RFC 8301: 1024 bits at the least, 2048 what a signer should use.
constexpr unsigned kRsaBits = 2048;

struct PkeyFree {
  void operator()(EVP_PKEY *k) const { EVP_PKEY_free(k); }
};
struct CtxFree {
  void operator()(EVP_PKEY_CTX *c) const { EVP_PKEY_CTX_free(c); }
};
struct BioFree {
  void operator()(BIO *b) const { BIO_free(b); }
};
using Pkey = std::unique_ptr<EVP_PKEY, PkeyFree>;

bool Failed(std::string &why, const char *what) {
  char text[256];
  unsigned long code = ERR_get_error();
  ERR_clear_error();
  why = what;
  if (code != 0) {
    ERR_error_string_n(code, text, sizeof text);
    why += std::string(": ") + text;
  }
  return false;
}

std::string Base64(const unsigned char *data, size_t length) {
  std::vector<unsigned char> out(4 * ((length + 2) / 3) + 1);
  int n = EVP_EncodeBlock(out.data(), data, static_cast<int>(length));
  return std::string(reinterpret_cast<char *>(out.data()), n < 0 ? 0 : static_cast<size_t>(n));
}

// No passphrase callback may prompt on a terminal: an encrypted key fails.
int NoPassphrase(char *, int, int, void *) { return -1; }

}  // namespace

bool MakeSigningKey(SigningKeyType type, std::string &privatePem, std::string &why) {
  const bool rsa = type == SigningKeyType::kRsa;
  std::unique_ptr<EVP_PKEY_CTX, CtxFree> ctx(
      EVP_PKEY_CTX_new_id(rsa ? EVP_PKEY_RSA : EVP_PKEY_ED25519, nullptr));
  EVP_PKEY *raw = nullptr;
  if (!ctx || EVP_PKEY_keygen_init(ctx.get()) <= 0 ||
      (rsa && EVP_PKEY_CTX_set_rsa_keygen_bits(ctx.get(), kRsaBits) <= 0) ||
      EVP_PKEY_keygen(ctx.get(), &raw) <= 0)
    return Failed(why, "cannot make the key");
  Pkey key(raw);
  std::unique_ptr<BIO, BioFree> bio(BIO_new(BIO_s_mem()));
  if (!bio || PEM_write_bio_PrivateKey(bio.get(), key.get(), nullptr, nullptr, 0, nullptr,
                                       nullptr) != 1)
    return Failed(why, "cannot write the key");
  char *data = nullptr;
  long length = BIO_get_mem_data(bio.get(), &data);
  privatePem.assign(data, length > 0 ? static_cast<size_t>(length) : 0);
  return true;
}

bool SigningPublicKey(std::string_view privatePem, SigningKeyType &type, std::string &publicBase64,
                      std::string &why) {
  if (privatePem.size() > kMaxSigningKeyPem) return why = "the key file is too long", false;
  std::unique_ptr<BIO, BioFree> bio(
      BIO_new_mem_buf(privatePem.data(), static_cast<int>(privatePem.size())));
  Pkey key(bio ? PEM_read_bio_PrivateKey(bio.get(), nullptr, NoPassphrase, nullptr) : nullptr);
  if (!key) return Failed(why, "no private key");
  if (EVP_PKEY_get_base_id(key.get()) == EVP_PKEY_ED25519) {
    unsigned char raw[32];
    size_t length = sizeof raw;
    if (EVP_PKEY_get_raw_public_key(key.get(), raw, &length) != 1)
      return Failed(why, "cannot read the public key");
    type = SigningKeyType::kEd25519;
    publicBase64 = Base64(raw, length);
    return true;
  }
  if (EVP_PKEY_get_base_id(key.get()) != EVP_PKEY_RSA)
    return why = "the key is neither RSA nor Ed25519", false;
  unsigned char *der = nullptr;
  int length = i2d_PUBKEY(key.get(), &der);
  if (length <= 0) return Failed(why, "cannot write the public key");
  type = SigningKeyType::kRsa;
  publicBase64 = Base64(der, static_cast<size_t>(length));
  OPENSSL_free(der);
  return true;
}
