// httpsget: see httpsget.h.
#include "platform/httpsget.h"

#include <curl/curl.h>

#include <memory>
#include <mutex>

namespace {

struct Reader {
  std::string *Body;
  size_t MaxBytes;
  bool TooLong = false;
};

// Taking less than offered makes curl fail the transfer: that is how a body
// over the bound ends it.
size_t Take(char *data, size_t size, size_t count, void *context) {
  auto *r = static_cast<Reader *>(context);
  size_t bytes = size * count;
  if (bytes > r->MaxBytes - r->Body->size()) {
    r->TooLong = true;
    return 0;
  }
  r->Body->append(data, bytes);
  return bytes;
}

void GlobalInit() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

struct CurlFree {
  void operator()(CURL *c) const { curl_easy_cleanup(c); }
};
struct SlistFree {
  void operator()(curl_slist *l) const { curl_slist_free_all(l); }
};

// Letters, digits, "-" and ".": a name that cannot change the URL it goes
// into (no "@", "/", ":" ...), so curl connects to the address given and
// never resolves another host.
bool PlainHostName(const std::string &host) {
  if (host.empty() || host.size() > kMaxHttpsHostName) return false;
  for (char c : host)
    if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
          c == '-' || c == '.'))
      return false;
  return true;
}

// "[x::y]" for IPv6, as CURLOPT_RESOLVE wants it.
std::string ResolveEntry(const HttpsRequest &r) {
  std::string address = AddressText(r.Address);
  if (r.Address.IsV6()) address = "[" + address + "]";
  return r.Host + ":" + std::to_string(r.Port) + ":" + address;
}

bool SetOptions(CURL *c, const HttpsRequest &r, curl_slist *resolve, Reader &reader,
                const std::string &url) {
  bool ok = curl_easy_setopt(c, CURLOPT_URL, url.c_str()) == CURLE_OK &&
            curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, "https") == CURLE_OK &&
            curl_easy_setopt(c, CURLOPT_FOLLOWLOCATION, 0L) == CURLE_OK &&
            curl_easy_setopt(c, CURLOPT_RESOLVE, resolve) == CURLE_OK &&
            curl_easy_setopt(c, CURLOPT_PROXY, "") == CURLE_OK &&
            curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L) == CURLE_OK &&
            curl_easy_setopt(c, CURLOPT_SSL_VERIFYPEER, 1L) == CURLE_OK &&
            curl_easy_setopt(c, CURLOPT_SSL_VERIFYHOST, 2L) == CURLE_OK &&
            curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT_MS, r.ConnectTimeoutMs) == CURLE_OK &&
            curl_easy_setopt(c, CURLOPT_TIMEOUT_MS, r.TotalTimeoutMs) == CURLE_OK &&
            curl_easy_setopt(c, CURLOPT_MAXFILESIZE_LARGE,
                             static_cast<curl_off_t>(r.MaxBytes)) == CURLE_OK &&
            curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, Take) == CURLE_OK &&
            curl_easy_setopt(c, CURLOPT_WRITEDATA, &reader) == CURLE_OK;
  if (ok && !r.CaFile.empty())
    ok = curl_easy_setopt(c, CURLOPT_CAINFO, r.CaFile.c_str()) == CURLE_OK;
  return ok;
}

}  // namespace

bool HttpsGet(const HttpsRequest &request, std::string &body, std::string &why) {
  body.clear();
  if (!PlainHostName(request.Host) || request.Path.empty() || request.Path[0] != '/') {
    why = "not a plain host name and path";
    return false;
  }
  GlobalInit();
  std::unique_ptr<CURL, CurlFree> curl(curl_easy_init());
  std::unique_ptr<curl_slist, SlistFree> resolve(
      curl_slist_append(nullptr, ResolveEntry(request).c_str()));
  if (!curl || !resolve) {
    why = "out of memory";
    return false;
  }
  Reader reader{&body, request.MaxBytes};
  std::string url = "https://" + request.Host + ":" + std::to_string(request.Port) + request.Path;
  if (!SetOptions(curl.get(), request, resolve.get(), reader, url)) {
    why = "cannot set up the request";
    return false;
  }
  CURLcode rc = curl_easy_perform(curl.get());
  long status = 0;
  curl_easy_getinfo(curl.get(), CURLINFO_RESPONSE_CODE, &status);
  if (reader.TooLong || rc == CURLE_FILESIZE_EXCEEDED)
    why = "the answer is longer than " + std::to_string(request.MaxBytes) + " bytes";
  else if (rc != CURLE_OK)
    why = curl_easy_strerror(rc);
  else if (status != 200)
    why = "HTTP status " + std::to_string(status);
  else
    return true;
  body.clear();
  return false;
}
