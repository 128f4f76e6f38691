// pubkeycache: decoded public keys kept for reuse, so that checking a DKIM
// signature does not decode the signer's key again for every message.
//
// Why: libopendkim decodes the key record of every signature it checks with
// OpenSSL's d2i_PUBKEY_bio, and under OpenSSL 3 that decode (the provider
// decoder chain) costs more than the RSA check itself: with arrival checks
// on it was the largest single cost of accepting a signed message. The
// library has no way to hand it a decoded key, so this module defines
// d2i_PUBKEY_bio in the program itself; the dynamic linker binds the
// library's call to it (a program's definitions come before a shared
// library's), and the cache answers for key bytes it has decoded before.
//
// What it changes: nothing that a caller can see. The cache is keyed by the
// exact DER bytes of the key (a changed DNS record is other bytes, so it is
// decoded afresh; nothing expires by time because nothing can go stale); a
// hit hands out another reference to the same read-only EVP_PKEY, which
// OpenSSL allows threads to use at once, and consumes from the BIO exactly
// the bytes the decode would have. Calls it does not cover (a caller that
// passes an object to reuse, a BIO that is not memory, an oversized or
// malformed key) go to OpenSSL's own decode unchanged.
//
// Callers: libopendkim (through the symbol) in every program that links
// common/dkim; EnablePublicKeyCache makes sure the definition is linked in.
// Input: key records from other domains' DNS, so untrusted: the DER header
// is read with OpenSSL's bounded ASN1_get_object, keys above
// kMaxCachedPublicKey bytes are never kept, and the cache holds at most
// kMaxCachedPublicKeys entries (full: emptied, then filled again).
// Threads: one mutex around the map; the decode itself runs outside it.
#pragma once

#include <cstddef>

// RSA-4096 is about 550 DER bytes; anything much larger is not a DKIM key.
constexpr size_t kMaxCachedPublicKey = 4096;
// Far more signing keys than one site's arriving mail rotates through.
constexpr size_t kMaxCachedPublicKeys = 1024;

// Links the cache into the program; call once before the first check.
void EnablePublicKeyCache();

// How many keys the cache holds now (tests).
size_t CachedPublicKeyCount();
