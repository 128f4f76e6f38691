#include "platform/pubkeycache.h"

#include <dlfcn.h>
#include <openssl/asn1.h>
#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>

namespace {

using DecodeFn = EVP_PKEY *(*)(BIO *, EVP_PKEY **);

struct KeyFree {
  void operator()(EVP_PKEY *key) const { EVP_PKEY_free(key); }
};
using KeyRef = std::unique_ptr<EVP_PKEY, KeyFree>;

// Never destroyed: keys freed after OpenSSL's own exit handlers ran would
// touch freed provider state.
struct Cache {
  std::mutex lock;
  std::unordered_map<std::string, KeyRef> keys;
};
Cache &TheCache() {
  static Cache *const cache = new Cache;
  return *cache;
}

// OpenSSL's own function, found past this program's definition.
DecodeFn OpenSslDecode() {
  static const DecodeFn fn = reinterpret_cast<DecodeFn>(
      dlvsym(RTLD_NEXT, "d2i_PUBKEY_bio", "OPENSSL_3.0.0"));
  return fn;
}

// The DER bytes the decode would read from a memory BIO (the first complete
// object), or "" when this is not a case the cache covers.
std::string KeyBytes(BIO *bio) {
  if (BIO_method_type(bio) != BIO_TYPE_MEM) return {};
  char *data = nullptr;
  long avail = BIO_get_mem_data(bio, &data);
  if (data == nullptr || avail <= 0) return {};
  const auto *start = reinterpret_cast<const unsigned char *>(data);
  const unsigned char *p = start;
  long len = 0;
  int tag = 0, cls = 0;
  int ret = ASN1_get_object(&p, &len, &tag, &cls, avail);
  // 0x80: malformed or longer than the data; 0x21: indefinite length.
  if ((ret & 0x80) != 0 || ret == 0x21 || len < 0) return {};
  size_t total = static_cast<size_t>(p - start) + static_cast<size_t>(len);
  if (total > static_cast<size_t>(avail) || total > kMaxCachedPublicKey) return {};
  return std::string(data, total);
}

}  // namespace

extern "C" EVP_PKEY *d2i_PUBKEY_bio(BIO *bio, EVP_PKEY **reuse) {
  DecodeFn decode = OpenSslDecode();
  if (decode == nullptr) return nullptr;
  std::string der = reuse == nullptr ? KeyBytes(bio) : std::string();
  if (der.empty()) return decode(bio, reuse);

  Cache &cache = TheCache();
  {
    std::lock_guard<std::mutex> hold(cache.lock);
    auto it = cache.keys.find(der);
    if (it != cache.keys.end() && EVP_PKEY_up_ref(it->second.get()) == 1) {
      // Leave the BIO where the decode would have left it.
      std::string skipped(der.size(), '\0');
      if (BIO_read(bio, skipped.data(), static_cast<int>(skipped.size())) !=
          static_cast<int>(skipped.size())) {
        EVP_PKEY_free(it->second.get());
        return nullptr;
      }
      return it->second.get();
    }
  }
  EVP_PKEY *key = decode(bio, nullptr);
  if (key == nullptr || EVP_PKEY_up_ref(key) != 1) return key;
  std::lock_guard<std::mutex> hold(cache.lock);
  if (cache.keys.size() >= kMaxCachedPublicKeys) cache.keys.clear();
  // The map's reference is made only when the entry is: when another
  // thread kept the same bytes first, the extra reference is dropped here.
  auto [it, added] = cache.keys.try_emplace(std::move(der), key);
  if (!added) EVP_PKEY_free(key);
  return key;
}

void EnablePublicKeyCache() { (void)OpenSslDecode(); }

size_t CachedPublicKeyCount() {
  Cache &cache = TheCache();
  std::lock_guard<std::mutex> hold(cache.lock);
  return cache.keys.size();
}
