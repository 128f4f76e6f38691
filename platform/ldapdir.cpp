// ldapdir: see ldapdir.h.
#include "platform/ldapdir.h"

#define LDAP_DEPRECATED 0
#include <ldap.h>
#include <string.h>
#include <sys/time.h>

#include <chrono>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>

#include "platform/accounts.h"
#include "platform/ascii.h"
#include "platform/fileview.h"

namespace {

using Clock = std::chrono::steady_clock;

// The password a directory takes at most.
constexpr size_t kMaxBindPassword = 255;
// A lookup asks for two entries: a second one means the filter is ambiguous.
constexpr int kLookupSizeLimit = 2;

LdapSettings Settings;

// ---- connections

struct LdapHandle {
  LDAP *ld = nullptr;
  ~LdapHandle() {
    if (ld != nullptr) ldap_unbind_ext_s(ld, nullptr, nullptr);
  }
};
using Handle = std::unique_ptr<LdapHandle>;

struct timeval Timeval(unsigned ms) {
  struct timeval tv;
  tv.tv_sec = ms / 1000;
  tv.tv_usec = static_cast<suseconds_t>(ms % 1000) * 1000;
  return tv;
}

// The answers that say the server or the connection failed, not the question.
bool ConnectionLost(int rc) {
  return rc == LDAP_SERVER_DOWN || rc == LDAP_TIMEOUT || rc == LDAP_CONNECT_ERROR ||
         rc == LDAP_UNAVAILABLE || rc == LDAP_BUSY || rc == LDAP_LOCAL_ERROR ||
         rc == LDAP_ENCODING_ERROR || rc == LDAP_DECODING_ERROR;
}

int SimpleBind(LDAP *ld, const std::string &dn, std::string_view password) {
  std::string secret(password);
  struct berval cred;
  cred.bv_val = secret.data();
  cred.bv_len = secret.size();
  int rc = ldap_sasl_bind_s(ld, dn.empty() ? nullptr : dn.c_str(), LDAP_SASL_SIMPLE, &cred,
                            nullptr, nullptr, nullptr);
  explicit_bzero(secret.data(), secret.size());
  return rc;
}

// A connection to uri, with TLS as the settings say, not yet bound.
int OpenUri(const std::string &uri, Handle &out) {
  auto h = std::make_unique<LdapHandle>();
  int rc = ldap_initialize(&h->ld, uri.c_str());
  if (rc != LDAP_SUCCESS) return rc;
  int version = LDAP_VERSION3;
  ldap_set_option(h->ld, LDAP_OPT_PROTOCOL_VERSION, &version);
  ldap_set_option(h->ld, LDAP_OPT_REFERRALS, LDAP_OPT_OFF);
  // A signal during a wait (the logon helper's SIGCHLD as a session ends)
  // must not end the operation: libldap otherwise takes poll's EINTR for
  // a server that went down.
  ldap_set_option(h->ld, LDAP_OPT_RESTART, LDAP_OPT_ON);
  struct timeval net = Timeval(Settings.NetworkTimeoutMs);
  struct timeval op = Timeval(Settings.OperationTimeoutMs);
  ldap_set_option(h->ld, LDAP_OPT_NETWORK_TIMEOUT, &net);
  ldap_set_option(h->ld, LDAP_OPT_TIMEOUT, &op);
  int demand = LDAP_OPT_X_TLS_HARD;
  ldap_set_option(h->ld, LDAP_OPT_X_TLS_REQUIRE_CERT, &demand);
  if (!Settings.CaFile.empty())
    ldap_set_option(h->ld, LDAP_OPT_X_TLS_CACERTFILE, Settings.CaFile.c_str());
  int server = 0;
  ldap_set_option(h->ld, LDAP_OPT_X_TLS_NEWCTX, &server);
  if (Settings.StartTls && StartsWithNoCase(uri, "ldap://")) {
    rc = ldap_start_tls_s(h->ld, nullptr, nullptr);
    if (rc != LDAP_SUCCESS) return rc;
  }
  out = std::move(h);
  return LDAP_SUCCESS;
}

// The first URI that answers, bound as dn (the service's or a user's).
// LDAP_INVALID_CREDENTIALS is an answer: the next URI is not asked.
int Connect(const std::string &dn, std::string_view password, Handle &out) {
  int rc = LDAP_SERVER_DOWN;
  for (const std::string &uri : Settings.Uris) {
    Handle h;
    rc = OpenUri(uri, h);
    if (rc == LDAP_SUCCESS) rc = SimpleBind(h->ld, dn, password);
    if (rc == LDAP_SUCCESS) {
      out = std::move(h);
      return rc;
    }
    if (rc == LDAP_INVALID_CREDENTIALS) return rc;
  }
  return rc;
}

// The pool of bound connections.
struct Pool {
  std::mutex lock;
  std::condition_variable freed;
  std::vector<Handle> idle;
  unsigned open = 0;   // idle and lent out
};

Pool &ThePool() {
  static Pool pool;
  return pool;
}

// A pooled connection: given back when it leaves scope, dropped when lost.
class Lease {
 public:
  ~Lease() { Release(); }
  bool Take(int &rc) {
    Pool &p = ThePool();
    std::unique_lock<std::mutex> g(p.lock);
    auto deadline = Clock::now() + std::chrono::milliseconds(Settings.OperationTimeoutMs);
    while (p.idle.empty() && p.open >= Settings.PoolSize)
      if (p.freed.wait_until(g, deadline) == std::cv_status::timeout && p.idle.empty() &&
          p.open >= Settings.PoolSize) {
        rc = LDAP_TIMEOUT;
        return false;
      }
    if (!p.idle.empty()) {
      h_ = std::move(p.idle.back());
      p.idle.pop_back();
      return true;
    }
    ++p.open;
    g.unlock();
    rc = Connect(Settings.BindDn, Settings.BindPassword, h_);
    if (rc != LDAP_SUCCESS) {
      Drop();
      return false;
    }
    return true;
  }
  LDAP *Get() const { return h_->ld; }
  void Drop() {
    h_.reset();
    Pool &p = ThePool();
    std::lock_guard<std::mutex> g(p.lock);
    --p.open;
    p.freed.notify_one();
  }

 private:
  void Release() {
    if (h_ == nullptr) return;
    Pool &p = ThePool();
    std::lock_guard<std::mutex> g(p.lock);
    p.idle.push_back(std::move(h_));
    p.freed.notify_one();
  }
  Handle h_;
};

// ---- entries

struct Values {
  struct berval **v = nullptr;
  ~Values() {
    if (v != nullptr) ldap_value_free_len(v);
  }
};

// The attribute's first value; false when it has none or it is too long.
bool FirstValue(LDAP *ld, LDAPMessage *entry, const std::string &attribute, std::string &out) {
  out.clear();
  if (attribute.empty()) return false;
  Values values;
  values.v = ldap_get_values_len(ld, entry, attribute.c_str());
  if (values.v == nullptr || values.v[0] == nullptr) return false;
  const struct berval *b = values.v[0];
  if (b->bv_len > kMaxLdapValue || memchr(b->bv_val, '\0', b->bv_len) != nullptr) return false;
  out.assign(b->bv_val, b->bv_len);
  return true;
}

bool ParseId(const std::string &text, unsigned long &id) {
  if (text.empty() || text.size() > 10) return false;
  id = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    id = id * 10 + static_cast<unsigned long>(c - '0');
  }
  return id <= 0xFFFFFFFEul;   // (uid_t)-1 is "no id"
}

// The entry as a mail user; false when it cannot be one.
bool ReadEntry(LDAP *ld, LDAPMessage *entry, LdapUser &user) {
  char *dn = ldap_get_dn(ld, entry);
  if (dn == nullptr) return false;
  user.Dn = dn;
  ldap_memfree(dn);
  std::string why;
  if (user.Dn.size() > kMaxLdapValue ||
      !FirstValue(ld, entry, Settings.UserNameAttribute, user.Name) ||
      !CheckAccountName(user.Name, why))
    return false;
  FirstValue(ld, entry, Settings.HomeAttribute, user.HomeDirectory);
  FirstValue(ld, entry, Settings.MailboxAttribute, user.Mailbox);
  FirstValue(ld, entry, Settings.MailHostAttribute, user.MailHost);
  std::string uid, gid;
  unsigned long u = 0, g = 0;
  user.bPosix = FirstValue(ld, entry, "uidNumber", uid) && FirstValue(ld, entry, "gidNumber", gid) &&
                ParseId(uid, u) && ParseId(gid, g);
  user.Uid = user.bPosix ? static_cast<uid_t>(u) : 0;
  user.Gid = user.bPosix ? static_cast<gid_t>(g) : 0;
  return true;
}

struct Results {
  LDAPMessage *m = nullptr;
  ~Results() {
    if (m != nullptr) ldap_msgfree(m);
  }
};

long Search(LDAP *ld, const std::string &filter, LdapUser &user, int &rc) {
  const std::string *names[] = {&Settings.UserNameAttribute, &Settings.HomeAttribute,
                                &Settings.MailboxAttribute, &Settings.MailHostAttribute};
  std::vector<char *> attrs;
  for (const std::string *n : names)
    if (!n->empty()) attrs.push_back(const_cast<char *>(n->c_str()));
  attrs.push_back(const_cast<char *>("uidNumber"));
  attrs.push_back(const_cast<char *>("gidNumber"));
  attrs.push_back(nullptr);
  struct timeval tv = Timeval(Settings.OperationTimeoutMs);
  Results res;
  rc = ldap_search_ext_s(ld, Settings.BaseDn.c_str(), LDAP_SCOPE_SUBTREE, filter.c_str(),
                         attrs.data(), 0, nullptr, nullptr, &tv, kLookupSizeLimit, &res.m);
  if (rc == LDAP_NO_SUCH_OBJECT) return ERROR_NONE_MAPPED;   // no base, so no users
  // Two entries for one name or address: the directory must say which.
  if (rc == LDAP_SIZELIMIT_EXCEEDED) return ERROR_DS_UNAVAILABLE;
  if (rc != LDAP_SUCCESS) return ERROR_DS_UNAVAILABLE;
  int count = ldap_count_entries(ld, res.m);
  if (count == 0) return ERROR_NONE_MAPPED;
  if (count != 1) return ERROR_DS_UNAVAILABLE;
  return ReadEntry(ld, ldap_first_entry(ld, res.m), user) ? ERROR_SUCCESS : ERROR_NONE_MAPPED;
}

// ---- cache

struct CacheEntry {
  long status;
  LdapUser user;
  Clock::time_point expires;
};

struct Cache {
  std::mutex lock;
  std::map<std::string, CacheEntry> entries;
};

Cache &TheCache() {
  static Cache cache;
  return cache;
}

std::string CacheKey(std::string_view user, std::string_view address) {
  std::string key = LowerAsciiCopy(user);
  key += '\0';
  key += LowerAsciiCopy(address);
  return key;
}

bool FromCache(const std::string &key, LdapUser &user, long &status) {
  Cache &c = TheCache();
  std::lock_guard<std::mutex> g(c.lock);
  auto it = c.entries.find(key);
  if (it == c.entries.end()) return false;
  if (it->second.expires <= Clock::now()) {
    c.entries.erase(it);
    return false;
  }
  user = it->second.user;
  status = it->second.status;
  return true;
}

void ToCache(const std::string &key, const LdapUser &user, long status) {
  unsigned seconds = status == ERROR_SUCCESS
                         ? Settings.CacheSeconds
                         : std::min(Settings.CacheSeconds, kMaxNegativeCacheSeconds);
  if (seconds == 0) return;
  Cache &c = TheCache();
  std::lock_guard<std::mutex> g(c.lock);
  auto now = Clock::now();
  if (c.entries.size() >= kMaxCacheEntries) {
    std::erase_if(c.entries, [&](const auto &e) { return e.second.expires <= now; });
    // Still full: start afresh rather than grow.
    if (c.entries.size() >= kMaxCacheEntries) c.entries.clear();
  }
  c.entries[key] = CacheEntry{status, user, now + std::chrono::seconds(seconds)};
}

}  // namespace

std::string EscapeLdapFilterValue(std::string_view value) {
  static const char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(value.size());
  for (char ch : value) {
    auto c = static_cast<unsigned char>(ch);
    if (c == '*' || c == '(' || c == ')' || c == '\\' || c < 0x20 || c >= 0x7f) {
      out += '\\';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    } else {
      out += ch;
    }
  }
  return out;
}

bool ExpandLdapFilter(std::string_view tmpl, std::string_view user, std::string_view address,
                      std::string &filter, std::string &why) {
  filter.clear();
  size_t at = address.rfind('@');
  std::string_view domain = at == std::string_view::npos ? "" : address.substr(at + 1);
  for (size_t i = 0; i < tmpl.size(); ++i) {
    if (tmpl[i] != '%') {
      filter += tmpl[i];
    } else if (i + 1 >= tmpl.size()) {
      why = "the filter ends with a lone \"%\"";
      return false;
    } else {
      char c = tmpl[++i];
      if (c == 'u') filter += EscapeLdapFilterValue(user);
      else if (c == 'a') filter += EscapeLdapFilterValue(address);
      else if (c == 'd') filter += EscapeLdapFilterValue(domain);
      else if (c == '%') filter += '%';
      else {
        why = std::string("the filter has \"%") + c + "\" (only %u, %a, %d and %% are known)";
        return false;
      }
    }
    if (filter.size() > kMaxLdapFilter) {
      why = "the filter is longer than " + std::to_string(kMaxLdapFilter) + " bytes";
      return false;
    }
  }
  return true;
}

bool LookupFilter(const LdapSettings &settings, std::string_view user, std::string_view address,
                  std::string &filter, std::string &why) {
  if (!ExpandLdapFilter(settings.UserFilter, user, address, filter, why)) return false;
  if (settings.AliasAttribute.empty() || address.empty()) return true;
  filter = "(|" + filter + "(" + settings.AliasAttribute + "=" + EscapeLdapFilterValue(address) +
           "))";
  if (filter.size() <= kMaxLdapFilter) return true;
  why = "the filter is longer than " + std::to_string(kMaxLdapFilter) + " bytes";
  return false;
}

bool CheckLdapSettings(const LdapSettings &s, std::string &why) {
  if (s.Uris.empty()) {
    why = "Uri names no directory (ldap://, ldaps:// or ldapi://)";
    return false;
  }
  if (s.Uris.size() > kMaxLdapUris) {
    why = "Uri names more than " + std::to_string(kMaxLdapUris) + " directories";
    return false;
  }
  for (const std::string &uri : s.Uris) {
    if (!StartsWithNoCase(uri, "ldap://") && !StartsWithNoCase(uri, "ldaps://") &&
        !StartsWithNoCase(uri, "ldapi://")) {
      why = "Uri \"" + uri + "\" is no ldap://, ldaps:// or ldapi:// URI";
      return false;
    }
    if (!ldap_is_ldap_url(uri.c_str()) && !StartsWithNoCase(uri, "ldapi://")) {
      why = "Uri \"" + uri + "\" cannot be parsed";
      return false;
    }
  }
  if (s.BaseDn.empty()) {
    why = "BaseDn is empty";
    return false;
  }
  const std::string *attributes[] = {&s.UserNameAttribute, &s.MailAttribute, &s.AliasAttribute,
                                     &s.HomeAttribute, &s.MailboxAttribute,
                                     &s.MailHostAttribute};
  for (const std::string *a : attributes)
    for (char c : *a)
      if (!((c >= '0' && c <= '9') || (LowerAscii(c) >= 'a' && LowerAscii(c) <= 'z')) && c != '-' && c != ';' && c != '.') {
        why = "attribute name \"" + *a + "\" is not a name";
        return false;
      }
  if (s.UserNameAttribute.empty()) {
    why = "UserNameAttribute is empty";
    return false;
  }
  std::string filter;
  if (!LookupFilter(s, "user", "user@example.org", filter, why)) return false;
  if (s.NetworkTimeoutMs == 0 || s.OperationTimeoutMs == 0 ||
      s.NetworkTimeoutMs > kMaxLdapTimeoutMs || s.OperationTimeoutMs > kMaxLdapTimeoutMs) {
    why = "NetworkTimeout and OperationTimeout must lie between 1 and " +
          std::to_string(kMaxLdapTimeoutMs) + " ms";
    return false;
  }
  if (s.PoolSize == 0 || s.PoolSize > kMaxLdapPoolSize) {
    why = "PoolSize must lie between 1 and " + std::to_string(kMaxLdapPoolSize);
    return false;
  }
  return true;
}

bool ReadLdapPasswordFile(const std::string &path, std::string &password, std::string &why) {
  return ReadSecretFileLine(path, kMaxBindPassword, password, why) &&
         (password.find('\0') == std::string::npos ||
          (why = "the password file " + path + " holds a NUL byte", false));
}

void ConfigureLdapDirectory(const LdapSettings &settings) {
  Settings = settings;
  if (Settings.PoolSize == 0) Settings.PoolSize = 1;
  if (Settings.PoolSize > kMaxLdapPoolSize) Settings.PoolSize = kMaxLdapPoolSize;
  ClearLdapCache();
}

long LdapFindUser(std::string_view user, std::string_view address, LdapUser &found) {
  std::string key = CacheKey(user, address);
  long status;
  if (FromCache(key, found, status)) return status;
  std::string filter, why;
  if (!LookupFilter(Settings, user, address, filter, why)) return ERROR_DS_UNAVAILABLE;
  // A connection that was lost while idle fails once; a fresh one is tried.
  for (int attempt = 0; attempt < 2; ++attempt) {
    Lease lease;
    int rc = LDAP_SUCCESS;
    if (!lease.Take(rc)) return ERROR_DS_UNAVAILABLE;
    found = LdapUser();
    status = Search(lease.Get(), filter, found, rc);
    if (status == ERROR_DS_UNAVAILABLE && ConnectionLost(rc)) {
      lease.Drop();
      continue;
    }
    if (status != ERROR_DS_UNAVAILABLE) ToCache(key, found, status);
    return status;
  }
  return ERROR_DS_UNAVAILABLE;
}

long LdapCheckPassword(const std::string &dn, std::string_view password) {
  // An empty password is an unauthenticated bind, which succeeds.
  if (dn.empty() || password.empty() || password.size() > kMaxBindPassword)
    return ERROR_LOGON_FAILURE;
  Handle h;
  int rc = Connect(dn, password, h);
  if (rc == LDAP_SUCCESS) return ERROR_SUCCESS;
  return rc == LDAP_INVALID_CREDENTIALS ? ERROR_LOGON_FAILURE : ERROR_DS_UNAVAILABLE;
}

bool LdapProbe(std::string &report) {
  std::string why;
  if (!CheckLdapSettings(Settings, why)) {
    report = why;
    return false;
  }
  Handle h;
  int rc = Connect(Settings.BindDn, Settings.BindPassword, h);
  if (rc != LDAP_SUCCESS) {
    report = "cannot bind as " + (Settings.BindDn.empty() ? std::string("anonymous") : Settings.BindDn) +
             " at " + Settings.Uris.front() + (Settings.Uris.size() > 1 ? " (or the others)" : "") +
             ": " + ldap_err2string(rc);
    return false;
  }
  LdapUser user;
  std::string filter;
  LookupFilter(Settings, "postmaster", "postmaster@invalid", filter, why);
  long status = Search(h->ld, filter, user, rc);
  if (status == ERROR_DS_UNAVAILABLE && rc != LDAP_SUCCESS) {
    report = "bound, but a search of " + Settings.BaseDn + " failed: " + ldap_err2string(rc);
    return false;
  }
  report = "bound as " + (Settings.BindDn.empty() ? std::string("anonymous") : Settings.BindDn) +
           "; a search of " + Settings.BaseDn + " answered";
  return true;
}

bool LdapReplaceValue(const std::string &bindDn, std::string_view password, const std::string &dn,
                      const std::string &attribute, const std::string &value, std::string &why) {
  if (bindDn.empty() || password.empty() || password.size() > kMaxBindPassword || dn.empty() ||
      attribute.empty() || value.size() > kMaxLdapValue) {
    why = "a bind DN, its password, the entry and the attribute are needed";
    return false;
  }
  Handle h;
  int rc = Connect(bindDn, password, h);
  if (rc != LDAP_SUCCESS) {
    why = "cannot bind as " + bindDn + ": " + ldap_err2string(rc);
    return false;
  }
  std::string text = value;
  char *values[] = {text.data(), nullptr};
  LDAPMod mod{};
  mod.mod_op = LDAP_MOD_REPLACE;
  mod.mod_type = const_cast<char *>(attribute.c_str());
  mod.mod_values = values;
  LDAPMod *mods[] = {&mod, nullptr};
  rc = ldap_modify_ext_s(h->ld, dn.c_str(), mods, nullptr, nullptr);
  if (rc != LDAP_SUCCESS) {
    why = "cannot change " + attribute + " of " + dn + ": " + ldap_err2string(rc);
    return false;
  }
  return true;
}

void ClearLdapCache() {
  Cache &c = TheCache();
  std::lock_guard<std::mutex> g(c.lock);
  c.entries.clear();
}
