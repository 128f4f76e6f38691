// signkey: the key pairs that sign mail (DKIM), on OpenSSL: a new RSA-2048
// or Ed25519 private key as PEM, and the public key of a PEM private key in
// the form a DKIM key record publishes.
//
// Callers: zeladm's dkim commands (making keys, printing their records) and
// common/dkimkeys (checking a key file before it signs). The PEM text is
// the administrator's file, read bounded by the caller (kMaxSigningKeyPem);
// it is parsed by OpenSSL only, never by hand, and without a passphrase
// prompt (an encrypted key is refused).
//
// Pure functions over their arguments: thread-safe. Failures are false with
// why (OpenSSL's own error text where it gave one).
#pragma once

#include <string>
#include <string_view>

// An RSA-4096 PKCS#8 PEM is about 3.3 KB; a file several times that is not
// one key.
constexpr size_t kMaxSigningKeyPem = 16 * 1024;

enum class SigningKeyType {
  kRsa,       // RSA, made with 2048 bits: what every verifier accepts
  kEd25519,   // Ed25519 (RFC 8463): short records, not yet verified everywhere
};

// The private key of a new pair, as unencrypted PKCS#8 PEM.
bool MakeSigningKey(SigningKeyType type, std::string &privatePem, std::string &why);

// The type of a PEM private key and its public key as a DKIM record's p=
// wants it: base64 of the SubjectPublicKeyInfo for RSA, base64 of the 32
// raw bytes for Ed25519. False for text that is no private key of either
// type, or longer than kMaxSigningKeyPem.
bool SigningPublicKey(std::string_view privatePem, SigningKeyType &type, std::string &publicBase64,
                      std::string &why);
