// registry: see registry.h.
//
// Schema (PRAGMA user_version 1):
//   regkey(id INTEGER PRIMARY KEY AUTOINCREMENT, parent, name COLLATE NOCASE,
//          UNIQUE(parent, name))      parent 0 is HKEY_LOCAL_MACHINE
//   regvalue(key, name COLLATE NOCASE, type, data BLOB, PRIMARY KEY(key, name))
// Key ids are never reused (AUTOINCREMENT), so a handle to a deleted key can
// never come to name a newer key created later. NOCASE folds ASCII only,
// which is the comparison the header promises.
//
// One connection per process, behind one recursive mutex (recursive so that
// a RegTransaction can hold it across the calls it groups). Each call is a
// transaction of its own: BEGIN IMMEDIATE for writes, so that a writer never
// has to upgrade a read snapshot (which SQLite would refuse with SQLITE_BUSY
// without waiting), and plain BEGIN for reads; inside a RegTransaction each
// call is a savepoint instead, so a failed call leaves nothing behind.
#include "platform/registry.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstring>
#include <mutex>
#include <unordered_map>

#include "platform/ascii.h"
#include "platform/files.h"
#include "platform/msgcounter.h"
#include "platform/root.h"
#include "platform/sqlitedb.h"

// An open key: its id, its path as created, and the position of the last
// enumeration step so that walking indexes upwards does not rescan.
struct RegKeyObject {
  struct Cursor {
    bool valid = false;
    uint64_t generation = 0;  // store generation the position belongs to
    DWORD index = 0;
    std::string name;
  };
  int64_t id = 0;
  size_t depth = 0;
  std::string path;
  Cursor keys;
  Cursor values;
};

namespace {

RegKeyObject g_LocalMachine;

// A writer holds the database for milliseconds; an import of a large file
// for a second or two. Past this, something is stuck and the caller hears it.
constexpr int kBusyTimeoutMs = 10000;
// Opening races with another process switching a new database to WAL; the
// busy handler covers most of it, these retries cover the rest.
constexpr int kOpenAttempts = 20;
constexpr int kOpenRetryDelayUs = 50 * 1000;
constexpr int kSchemaVersion = 1;
// The database and its journal files (SQLite gives those the database's
// mode) hold the whole configuration: root's alone, or whoever runs ZEL.
constexpr mode_t kDatabaseMode = 0600;
constexpr mode_t kDatabaseDirectoryMode = 0755;

// The message-identifier counter, which lives in a store of its own
// (platform/msgcounter) and is shown here as this value of this key.
constexpr const char *kCounterKey = "Software\\TALVO\\ZEL";
constexpr const char *kCounterValue = "LastMsgId";
// How long a change of the counter waits for the counter's mutex: as long
// as a registry call waits for the database.
constexpr DWORD kCounterWaitMs = kBusyTimeoutMs;

// resolv.conf: a real one is a few hundred bytes; anything near these limits
// is not a resolver configuration and is cut, not trusted.
constexpr size_t kMaxResolvConfBytes = 64 * 1024;
constexpr size_t kMaxResolvConfLine = 1024;
constexpr size_t kMaxResolvConfLines = 1024;
// The system resolver itself uses no more than three name servers.
constexpr size_t kMaxNameServers = 3;
// RFC 1035: a domain name in text form is at most 253 characters.
constexpr size_t kMaxDomainNameLength = 253;

// The message-identifier counter inside a RegTransaction: a change is
// applied at Commit, with the rest, against the counter as the transaction
// first saw it (what others reserved since is never given back).
struct PendingCounter {
  bool set = false;
  bool present = false;
  DWORD value = 0;
  bool seenValid = false;
  MsgCounter seen;
};

struct Store {
  std::recursive_mutex mu;
  sqlite3 *db = nullptr;
  pid_t pid = 0;
  std::unordered_map<const char *, sqlite3_stmt *> statements;
  bool inTransaction = false;  // a RegTransaction is open; its thread holds mu
  bool readOnly = false;       // RegReopenReadOnly was called
  PendingCounter counter;      // inside that transaction
  uint64_t ownChanges = 0;     // bumped by every write call of this process
};

// Never destroyed: detached service threads may still use the store while
// the process exits.
Store &TheStore() {
  static Store *s = new Store;
  return *s;
}

// The registry has always answered EIO for a database it cannot read.
long ErrorFromSqlite(int rc) {
  long error = SqliteError(rc);
  return error == ERROR_INVALID_DATA || error == ELOOP ? EIO : error;
}

long Exec(Store &s, const char *sql) {
  return ErrorFromSqlite(sqlite3_exec(s.db, sql, nullptr, nullptr, nullptr));
}

// A cached prepared statement, reset when the object goes.
class Stmt {
 public:
  Stmt(Store &s, const char *sql) {
    auto it = s.statements.find(sql);
    if (it != s.statements.end()) {
      st_ = it->second;
    } else if (sqlite3_prepare_v3(s.db, sql, -1, SQLITE_PREPARE_PERSISTENT, &st_, nullptr) ==
               SQLITE_OK) {
      s.statements.emplace(sql, st_);
    } else {
      st_ = nullptr;
    }
  }
  ~Stmt() {
    if (st_ != nullptr) {
      sqlite3_reset(st_);
      sqlite3_clear_bindings(st_);
    }
  }
  Stmt(const Stmt &) = delete;
  Stmt &operator=(const Stmt &) = delete;

  Stmt &Int(int i, int64_t v) {
    if (st_ != nullptr) sqlite3_bind_int64(st_, i, v);
    return *this;
  }
  Stmt &Text(int i, std::string_view v) {
    if (st_ != nullptr)
      sqlite3_bind_text(st_, i, v.data(), static_cast<int>(v.size()), SQLITE_STATIC);
    return *this;
  }
  Stmt &Blob(int i, const void *p, size_t n) {
    static const char empty = 0;
    if (st_ != nullptr)
      sqlite3_bind_blob(st_, i, n != 0 ? p : &empty, static_cast<int>(n), SQLITE_STATIC);
    return *this;
  }
  // SQLITE_ROW, SQLITE_DONE or an error code.
  int Step() { return st_ != nullptr ? sqlite3_step(st_) : SQLITE_ERROR; }
  int64_t ColInt(int i) { return sqlite3_column_int64(st_, i); }
  std::string_view ColBytes(int i) {
    const void *p = sqlite3_column_blob(st_, i);
    int n = sqlite3_column_bytes(st_, i);
    return p != nullptr ? std::string_view(static_cast<const char *>(p), n) : std::string_view();
  }

 private:
  sqlite3_stmt *st_ = nullptr;
};

// Runs a statement that returns no rows.
long Run(Stmt &st) {
  int rc = st.Step();
  return rc == SQLITE_DONE || rc == SQLITE_ROW ? ERROR_SUCCESS : ErrorFromSqlite(rc);
}

// The path components of kTcpipParametersKey.
const std::vector<std::string_view> &TcpipComponents() {
  static const std::vector<std::string_view> parts = [] {
    std::vector<std::string_view> v;
    std::string_view p = kTcpipParametersKey;
    for (size_t pos; (pos = p.find('\\')) != std::string_view::npos; p.remove_prefix(pos + 1))
      v.push_back(p.substr(0, pos));
    v.push_back(p);
    return v;
  }();
  return parts;
}

// Splits a relative key path. Leading and trailing backslashes are dropped;
// empty or overlong components, or too deep a path, are refused.
long SplitKeyPath(const char *subKey, size_t baseDepth, std::vector<std::string_view> &parts) {
  parts.clear();
  std::string_view p = subKey != nullptr ? subKey : "";
  while (!p.empty() && p.front() == '\\') p.remove_prefix(1);
  while (!p.empty() && p.back() == '\\') p.remove_suffix(1);
  while (!p.empty()) {
    size_t pos = p.find('\\');
    std::string_view part = p.substr(0, pos);
    if (part.empty() || part.size() > kMaxRegKeyNameLength) return ERROR_INVALID_PARAMETER;
    parts.push_back(part);
    p.remove_prefix(pos == std::string_view::npos ? p.size() : pos + 1);
  }
  return baseDepth + parts.size() > kMaxRegKeyDepth ? ERROR_INVALID_PARAMETER : ERROR_SUCCESS;
}

// Where a key path resolves to.
struct Resolved {
  int64_t id = 0;
  size_t depth = 0;
  std::string path;
  bool created = false;
};

long FindChild(Store &s, int64_t parent, std::string_view name, int64_t &id, std::string &stored) {
  Stmt st(s, "SELECT id, name FROM regkey WHERE parent = ?1 AND name = ?2");
  st.Int(1, parent).Text(2, name);
  int rc = st.Step();
  if (rc == SQLITE_DONE) return ERROR_FILE_NOT_FOUND;
  if (rc != SQLITE_ROW) return ErrorFromSqlite(rc);
  id = st.ColInt(0);
  stored.assign(st.ColBytes(1));
  return ERROR_SUCCESS;
}

long InsertChild(Store &s, int64_t parent, std::string_view name, int64_t &id) {
  Stmt st(s, "INSERT INTO regkey(parent, name) VALUES(?1, ?2)");
  st.Int(1, parent).Text(2, name);
  long rc = Run(st);
  if (rc == ERROR_SUCCESS) id = sqlite3_last_insert_rowid(s.db);
  return rc;
}

// Walks parts below (base, basePath), creating missing keys when asked.
long Resolve(Store &s, const RegKeyObject &base, const std::vector<std::string_view> &parts,
             bool create, Resolved &out) {
  out = Resolved{base.id, base.depth, base.path, false};
  for (std::string_view part : parts) {
    std::string stored;
    int64_t child = 0;
    long rc = FindChild(s, out.id, part, child, stored);
    out.created = false;
    if (rc == ERROR_FILE_NOT_FOUND && create) {
      rc = InsertChild(s, out.id, part, child);
      stored.assign(part);
      out.created = true;
    }
    if (rc != ERROR_SUCCESS) return rc;
    out.id = child;
    out.depth++;
    if (!out.path.empty()) out.path += '\\';
    out.path += stored;
  }
  return ERROR_SUCCESS;
}

long KeyExists(Store &s, int64_t id) {
  if (id == 0) return ERROR_SUCCESS;
  Stmt st(s, "SELECT 1 FROM regkey WHERE id = ?1");
  st.Int(1, id);
  int rc = st.Step();
  if (rc == SQLITE_ROW) return ERROR_SUCCESS;
  return rc == SQLITE_DONE ? ERROR_FILE_NOT_FOUND : ErrorFromSqlite(rc);
}

long CreateSchema(Store &s) {
  static const char *const kSchema =
      "CREATE TABLE IF NOT EXISTS regkey(id INTEGER PRIMARY KEY AUTOINCREMENT,"
      " parent INTEGER NOT NULL, name TEXT NOT NULL COLLATE NOCASE, UNIQUE(parent, name));"
      "CREATE TABLE IF NOT EXISTS regvalue(key INTEGER NOT NULL,"
      " name TEXT NOT NULL COLLATE NOCASE, type INTEGER NOT NULL, data BLOB NOT NULL,"
      " PRIMARY KEY(key, name)) WITHOUT ROWID;"
      "PRAGMA user_version = 1;";
  static_assert(kSchemaVersion == 1, "the schema text sets user_version 1");
  long rc = Exec(s, "BEGIN IMMEDIATE");
  if (rc == ERROR_SUCCESS) rc = Exec(s, kSchema);
  // The platform's key always exists.
  Resolved r;
  if (rc == ERROR_SUCCESS) rc = Resolve(s, g_LocalMachine, TcpipComponents(), true, r);
  if (rc == ERROR_SUCCESS) rc = Exec(s, "COMMIT");
  if (rc != ERROR_SUCCESS) Exec(s, "ROLLBACK");
  return rc;
}

void Disconnect(Store &s, bool close) {
  for (auto &[sql, st] : s.statements)
    if (close) sqlite3_finalize(st);
  s.statements.clear();
  if (close) sqlite3_close(s.db);
  s.db = nullptr;
}

// Durability: synchronous=FULL syncs the WAL at every commit. NORMAL would
// already survive a crash of the process, but not of the machine, and a
// configuration change that an administrator saw succeed must not come
// back undone after a power failure. Writes are rare, so the sync costs
// nothing that matters.
long ConfigureConnection(Store &s) {
  sqlite3_busy_timeout(s.db, kBusyTimeoutMs);
  sqlite3_extended_result_codes(s.db, 1);
  if (s.readOnly) return ERROR_SUCCESS;   // the writers keep WAL mode and the schema
  long rc = Exec(s, "PRAGMA journal_mode = WAL");
  if (rc == ERROR_SUCCESS) rc = Exec(s, "PRAGMA synchronous = FULL");
  if (rc == ERROR_SUCCESS) rc = CreateSchema(s);
  return rc;
}

long OpenOnce(Store &s, const std::string &path) {
  const int mode = s.readOnly ? SQLITE_OPEN_READONLY : SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE;
  int rc = sqlite3_open_v2(path.c_str(), &s.db, mode | SQLITE_OPEN_NOMUTEX, nullptr);
  long err = rc == SQLITE_OK ? ConfigureConnection(s) : ErrorFromSqlite(rc);
  if (err != ERROR_SUCCESS) Disconnect(s, true);
  if (err == ERROR_SUCCESS) s.pid = getpid();
  return err;
}

// The database file is made private before SQLite sees it (SQLite would
// create it 0644, and its journal files copy its mode). Its owner is left
// alone: who may write it is the installation's choice (the receiver's
// start as root takes it back from the service account). Only regular
// files with one link are touched, never through a link.
void KeepPrivate(const std::string &path, bool create) {
  int flags = O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | (create ? O_CREAT : 0);
  UniqueFd fd(open(path.c_str(), flags, kDatabaseMode));
  struct stat st;
  if (!fd.Valid() || CheckSoleRegularFile(fd.Get()) != 0 || fstat(fd.Get(), &st) != 0) return;
  if ((st.st_uid == geteuid() || geteuid() == 0) && (st.st_mode & 077) != 0)
    (void)!fchmod(fd.Get(), st.st_mode & 0700);
}

// Older installations kept the identifier counter in the database. It moves
// to its own store the first time a process opens the database, and never
// goes down on the way; a value that is not a REG_DWORD is left where it is
// (shadowed, never read as some number).
void MoveLegacyCounter(Store &s) {
  static const std::vector<std::string_view> kParts = {"Software", "TALVO", "ZEL"};
  Resolved r;
  if (Resolve(s, g_LocalMachine, kParts, false, r) != ERROR_SUCCESS) return;
  DWORD value = 0;
  {
    Stmt st(s, "SELECT type, data FROM regvalue WHERE key = ?1 AND name = ?2");
    st.Int(1, r.id).Text(2, kCounterValue);
    if (st.Step() != SQLITE_ROW || st.ColInt(0) != REG_DWORD || st.ColBytes(1).size() != 4) return;
    std::memcpy(&value, st.ColBytes(1).data(), sizeof value);
  }
  MsgCounter now;
  if (ReadMsgCounter(&now) != ERROR_SUCCESS) return;
  if ((!now.present || now.last < value) && SetMsgCounter(true, value, kCounterWaitMs) != ERROR_SUCCESS)
    return;
  Stmt del(s, "DELETE FROM regvalue WHERE key = ?1 AND name = ?2");
  del.Int(1, r.id).Text(2, kCounterValue);
  Run(del);
}

// Opens the process's connection on first use, and again in a forked child
// (a connection must never be used across fork; the parent's is abandoned).
long OpenStore(Store &s) {
  if (s.db != nullptr && s.pid == getpid()) return ERROR_SUCCESS;
  if (s.db != nullptr) Disconnect(s, false);
  std::string path = RegistryDatabasePath();
  if (!s.readOnly && !CreateDirectoryPath(path.substr(0, path.rfind('/')), kDatabaseDirectoryMode))
    return GetLastError();
  if (!s.readOnly) KeepPrivate(path, true);
  for (const char *journal : {"-wal", "-shm"}) KeepPrivate(path + journal, false);
  long rc = ERROR_BUSY;
  for (int i = 0; i < kOpenAttempts && rc == ERROR_BUSY; ++i) {
    if (i > 0) usleep(kOpenRetryDelayUs);
    rc = OpenOnce(s, path);
  }
  if (rc == ERROR_SUCCESS && !s.readOnly) MoveLegacyCounter(s);
  return rc;
}

// One registry call: holds the store, opens its transaction (or savepoint
// inside a RegTransaction), and commits or rolls back in Finish.
class Call {
 public:
  explicit Call(bool write) : s_(TheStore()), lock_(s_.mu), write_(write) {
    status_ = OpenStore(s_);
    if (status_ != ERROR_SUCCESS) return;
    nested_ = s_.inTransaction;
    // Read-only, a write call that finds everything in place (a create of
    // an existing key) still succeeds; one that must write is refused.
    const bool reserve = write && !s_.readOnly;
    status_ = Exec(s_, nested_ ? "SAVEPOINT regcall" : reserve ? "BEGIN IMMEDIATE" : "BEGIN");
    open_ = status_ == ERROR_SUCCESS;
  }
  ~Call() {
    if (open_) End(false);
  }
  Call(const Call &) = delete;
  Call &operator=(const Call &) = delete;

  long Status() const { return status_; }
  Store &store() { return s_; }

  // Commits when result is success; returns the call's final result.
  long Finish(long result) {
    if (!open_) return result;
    long rc = End(result == ERROR_SUCCESS);
    return result == ERROR_SUCCESS ? rc : result;
  }

 private:
  long End(bool commit) {
    open_ = false;
    if (write_) s_.ownChanges++;
    long rc = ERROR_SUCCESS;
    if (commit) {
      rc = Exec(s_, nested_ ? "RELEASE regcall" : "COMMIT");
      if (rc == ERROR_SUCCESS) return rc;
    }
    Exec(s_, nested_ ? "ROLLBACK TO regcall" : "ROLLBACK");
    if (nested_) Exec(s_, "RELEASE regcall");
    return rc;
  }

  Store &s_;
  std::lock_guard<std::recursive_mutex> lock_;
  bool write_;
  bool nested_ = false;
  bool open_ = false;
  long status_ = ERROR_SUCCESS;
};

// A number that changes whenever the database may have changed since it was
// last taken: our own writes, or a commit by any other connection.
uint64_t Generation(Store &s) {
  Stmt st(s, "PRAGMA data_version");
  int64_t other = st.Step() == SQLITE_ROW ? st.ColInt(0) : -1;
  return (static_cast<uint64_t>(other) << 32) ^ s.ownChanges;
}

bool IsPlatformKey(const RegKeyObject &k) {
  const auto &parts = TcpipComponents();
  std::string_view p = k.path;
  for (size_t i = 0; i < parts.size(); ++i) {
    size_t pos = p.find('\\');
    if (!EqualsNoCase(p.substr(0, pos), parts[i])) return false;
    if (pos == std::string_view::npos) return i + 1 == parts.size();
    p.remove_prefix(pos + 1);
  }
  return false;
}

// True when deleting the key at this path would take the platform's key.
bool HoldsPlatformKey(std::string_view path) {
  std::string_view full = kTcpipParametersKey;
  if (path.size() > full.size() || !EqualsNoCase(full.substr(0, path.size()), path)) return false;
  return path.size() == full.size() || full[path.size()] == '\\';
}

bool IsStringType(DWORD type) {
  return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ;
}

// String values are handed out terminated: one NUL, two for a multi-string.
std::string_view Terminated(DWORD type, std::string_view stored, std::string &scratch) {
  size_t nuls = type == REG_MULTI_SZ ? 2 : 1;
  auto done = [&](std::string_view v) {
    return v.size() >= nuls && v.substr(v.size() - nuls) == std::string_view("\0\0", nuls);
  };
  if (!IsStringType(type) || done(stored)) return stored;
  scratch.assign(stored);
  while (!done(scratch)) scratch.push_back('\0');
  return scratch;
}

long CopyOut(DWORD type, std::string_view stored, DWORD *pType, void *data, DWORD *cbData) {
  std::string scratch;
  std::string_view v = Terminated(type, stored, scratch);
  if (pType != nullptr) *pType = type;
  if (data == nullptr) {
    if (cbData != nullptr) *cbData = static_cast<DWORD>(v.size());
    return ERROR_SUCCESS;
  }
  if (cbData == nullptr) return ERROR_INVALID_PARAMETER;
  bool fits = v.size() <= *cbData;
  *cbData = static_cast<DWORD>(v.size());
  if (!fits) return ERROR_MORE_DATA;
  if (!v.empty()) std::memcpy(data, v.data(), v.size());
  return ERROR_SUCCESS;
}

// Copies a name with its NUL; *cchName becomes its length.
long CopyName(std::string_view n, char *name, DWORD *cchName) {
  if (name == nullptr || cchName == nullptr) return ERROR_INVALID_PARAMETER;
  bool fits = n.size() + 1 <= *cchName;
  *cchName = static_cast<DWORD>(n.size());
  if (!fits) return ERROR_MORE_DATA;
  std::memcpy(name, n.data(), n.size());
  name[n.size()] = '\0';
  return ERROR_SUCCESS;
}

// ---- The platform's answers for the Tcpip key.

std::string ReadResolvConf() {
  std::string text;
  int fd = open("/etc/resolv.conf", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return text;
  // One byte more than is parsed, so the parser sees that the file was cut.
  text.resize(kMaxResolvConfBytes + 1);
  size_t got = 0;
  while (got < text.size()) {
    ssize_t n = read(fd, text.data() + got, text.size() - got);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    got += static_cast<size_t>(n);
  }
  close(fd);
  text.resize(got);
  return text;
}

std::string HostNameFromOs() {
  char buf[HOST_NAME_MAX + 1] = {};
  if (gethostname(buf, sizeof buf - 1) != 0) return "";
  return buf;
}

// Answers Hostname, Domain and NameServer; false for any other name.
bool PlatformValue(std::string_view name, std::string &text) {
  std::string host = HostNameFromOs();
  size_t dot = host.find('.');
  if (EqualsNoCase(name, "Hostname")) {
    text = host.substr(0, dot);
    return true;
  }
  bool domain = EqualsNoCase(name, "Domain");
  if (!domain && !EqualsNoCase(name, "NameServer")) return false;
  ResolvConfInfo info = ParseResolvConf(ReadResolvConf(), kMaxResolvConfBytes);
  text.clear();
  if (domain) {
    text = info.domain;
    if (text.empty() && dot != std::string::npos) text = host.substr(dot + 1);
    return true;
  }
  for (const std::string &ns : info.nameServers) text += (text.empty() ? "" : " ") + ns;
  return true;
}

// A domain as a resolver configuration may give it: host-name characters
// only, no trailing dot (the registry's Domain has none).
bool CleanDomain(std::string_view in, std::string &out) {
  while (!in.empty() && in.back() == '.') in.remove_suffix(1);
  if (in.empty() || in.size() > kMaxDomainNameLength) return false;
  for (char c : in)
    if (!isalnum(static_cast<unsigned char>(c)) && c != '-' && c != '.' && c != '_') return false;
  out.assign(in);
  return true;
}

std::vector<std::string_view> Words(std::string_view line) {
  std::vector<std::string_view> words;
  while (true) {
    size_t b = line.find_first_not_of(" \t\r");
    if (b == std::string_view::npos) break;
    line.remove_prefix(b);
    size_t e = line.find_first_of(" \t\r");
    words.push_back(line.substr(0, e));
    if (e == std::string_view::npos) break;
    line.remove_prefix(e);
  }
  return words;
}

void ApplyResolvLine(std::string_view line, ResolvConfInfo &info, std::string &search) {
  std::vector<std::string_view> w = Words(line);
  if (w.size() < 2 || w[0].front() == '#' || w[0].front() == ';') return;
  std::string clean;
  if (w[0] == "domain" && CleanDomain(w[1], clean)) {
    info.domain = clean;
  } else if (w[0] == "search" && search.empty() && CleanDomain(w[1], clean)) {
    search = clean;
  } else if (w[0] == "nameserver" && info.nameServers.size() < kMaxNameServers) {
    // Only what inet_pton read, in its canonical form: the token may hold a
    // NUL byte, and the text after it must not reach the registry value.
    std::string addr(w[1]);
    in_addr a;
    char text[INET_ADDRSTRLEN];
    if (addr.find('\0') == std::string::npos && inet_pton(AF_INET, addr.c_str(), &a) == 1 &&
        inet_ntop(AF_INET, &a, text, sizeof text) != nullptr)
      info.nameServers.emplace_back(text);
  }
}

}  // namespace

HKEY const HKEY_LOCAL_MACHINE = &g_LocalMachine;

ResolvConfInfo ParseResolvConf(std::string_view text, size_t maxBytes) {
  ResolvConfInfo info;
  std::string search;
  size_t limit = std::min(maxBytes, kMaxResolvConfBytes);
  bool cut = text.size() > limit;
  text = text.substr(0, limit);
  for (size_t lines = 0; !text.empty() && lines < kMaxResolvConfLines; ++lines) {
    size_t nl = text.find('\n');
    std::string_view line = text.substr(0, nl);
    text.remove_prefix(nl == std::string_view::npos ? text.size() : nl + 1);
    // Overlong lines, and a last line cut by the limit, are not trusted.
    bool whole = nl != std::string_view::npos || !cut;
    if (whole && line.size() <= kMaxResolvConfLine) ApplyResolvLine(line, info, search);
  }
  if (info.domain.empty()) info.domain = search;
  return info;
}

long RegOpenKeyEx(HKEY parent, const char *subKey, DWORD access, HKEY *result) {
  if (parent == nullptr || result == nullptr) return ERROR_INVALID_PARAMETER;
  *result = nullptr;
  std::vector<std::string_view> parts;
  long rc = SplitKeyPath(subKey, parent->depth, parts);
  if (rc != ERROR_SUCCESS) return rc;
  Call call(false);
  if (call.Status() != ERROR_SUCCESS) return call.Status();
  Resolved r;
  rc = KeyExists(call.store(), parent->id);
  if (rc == ERROR_SUCCESS) rc = Resolve(call.store(), *parent, parts, false, r);
  rc = call.Finish(rc);
  if (rc == ERROR_SUCCESS) *result = new RegKeyObject{r.id, r.depth, std::move(r.path), {}, {}};
  return rc;
}

long RegCreateKeyEx(HKEY parent, const char *subKey, DWORD access, HKEY *result,
                    DWORD *disposition) {
  if (parent == nullptr || result == nullptr) return ERROR_INVALID_PARAMETER;
  // Most calls open a key that exists: try that without taking the write lock.
  long rc = RegOpenKeyEx(parent, subKey, access, result);
  if (rc != ERROR_FILE_NOT_FOUND) {
    if (rc == ERROR_SUCCESS && disposition != nullptr) *disposition = REG_OPENED_EXISTING_KEY;
    return rc;
  }
  std::vector<std::string_view> parts;
  SplitKeyPath(subKey, parent->depth, parts);
  Call call(true);
  if (call.Status() != ERROR_SUCCESS) return call.Status();
  Resolved r;
  rc = KeyExists(call.store(), parent->id);
  if (rc == ERROR_SUCCESS) rc = Resolve(call.store(), *parent, parts, true, r);
  rc = call.Finish(rc);
  if (rc != ERROR_SUCCESS) return rc;
  if (disposition != nullptr)
    *disposition = r.created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
  *result = new RegKeyObject{r.id, r.depth, std::move(r.path), {}, {}};
  return ERROR_SUCCESS;
}

long RegCloseKey(HKEY key) {
  if (key == nullptr) return ERROR_INVALID_PARAMETER;
  if (key != HKEY_LOCAL_MACHINE) delete key;
  return ERROR_SUCCESS;
}

std::string RegKeyPath(HKEY key) { return key != nullptr ? key->path : std::string(); }

namespace {

// ---- The message-identifier counter, shown as the value LastMsgId.

bool IsCounter(const RegKeyObject &key, std::string_view name) {
  return EqualsNoCase(key.path, kCounterKey) && EqualsNoCase(name, kCounterValue);
}

// The counter as the caller sees it: the change pending in its transaction,
// else the store's.
long CounterValue(Store &s, bool *present, DWORD *value) {
  if (s.inTransaction && s.counter.set) {
    *present = s.counter.present;
    *value = s.counter.value;
    return ERROR_SUCCESS;
  }
  MsgCounter c;
  long rc = ReadMsgCounter(&c);
  if (rc == ERROR_SUCCESS && s.inTransaction && !s.counter.seenValid) {
    s.counter.seenValid = true;
    s.counter.seen = c;
  }
  *present = c.present;
  *value = c.last;
  return rc;
}

// Inside a RegTransaction the change waits for Commit.
long SetCounter(Store &s, bool present, DWORD value) {
  if (s.inTransaction) {
    bool before = false;
    DWORD ignored = 0;
    if (!s.counter.seenValid) (void)CounterValue(s, &before, &ignored);
    s.counter.set = true;
    s.counter.present = present;
    s.counter.value = value;
    return ERROR_SUCCESS;
  }
  return SetMsgCounter(present, value, kCounterWaitMs);
}

long CopyOutCounter(DWORD value, DWORD *type, void *data, DWORD *cbData) {
  return CopyOut(REG_DWORD, std::string_view(reinterpret_cast<const char *>(&value), sizeof value),
                 type, data, cbData);
}

// The counter's key enumerates its stored values with the counter merged in
// at its place in name order (a row of the old counter left in the
// database is skipped: the store is what counts).
long EnumCounterKey(Store &s, const RegKeyObject &key, DWORD index, char *name, DWORD *cchName,
                    DWORD *type, void *data, DWORD *cbData) {
  bool present = false;
  DWORD value = 0;
  long rc = CounterValue(s, &present, &value);
  if (rc != ERROR_SUCCESS) return rc;
  DWORD before = 0;
  if (present) {
    Stmt count(s, "SELECT count(*) FROM regvalue WHERE key = ?1 AND name < ?2");
    count.Int(1, key.id).Text(2, kCounterValue);
    if (count.Step() != SQLITE_ROW) return EIO;
    before = static_cast<DWORD>(count.ColInt(0));
    if (index == before) {
      long nameRc = CopyName(kCounterValue, name, cchName);
      long dataRc = CopyOutCounter(value, type, data, cbData);
      return nameRc != ERROR_SUCCESS ? nameRc : dataRc;
    }
  }
  Stmt st(s, "SELECT name, type, data FROM regvalue WHERE key = ?1 AND name <> ?2"
             " ORDER BY name LIMIT 1 OFFSET ?3");
  st.Int(1, key.id).Text(2, kCounterValue).Int(3, present && index > before ? index - 1 : index);
  int step = st.Step();
  if (step == SQLITE_DONE) return ERROR_NO_MORE_ITEMS;
  if (step != SQLITE_ROW) return ErrorFromSqlite(step);
  long nameRc = CopyName(st.ColBytes(0), name, cchName);
  long dataRc = CopyOut(static_cast<DWORD>(st.ColInt(1)), st.ColBytes(2), type, data, cbData);
  return nameRc != ERROR_SUCCESS ? nameRc : dataRc;
}

}  // namespace

long RegQueryValueEx(HKEY key, const char *name, DWORD *type, void *data, DWORD *cbData) {
  if (key == nullptr) return ERROR_INVALID_PARAMETER;
  std::string_view n = name != nullptr ? name : "";
  Call call(false);
  if (call.Status() != ERROR_SUCCESS) return call.Status();
  long rc = KeyExists(call.store(), key->id);
  if (rc != ERROR_SUCCESS) return call.Finish(rc);
  if (IsCounter(*key, n)) {
    bool present = false;
    DWORD value = 0;
    rc = CounterValue(call.store(), &present, &value);
    if (rc == ERROR_SUCCESS && !present) rc = ERROR_FILE_NOT_FOUND;
    if (rc == ERROR_SUCCESS) rc = CopyOutCounter(value, type, data, cbData);
    return call.Finish(rc);
  }
  Stmt st(call.store(), "SELECT type, data FROM regvalue WHERE key = ?1 AND name = ?2");
  st.Int(1, key->id).Text(2, n);
  int step = st.Step();
  if (step == SQLITE_ROW)
    return call.Finish(
        CopyOut(static_cast<DWORD>(st.ColInt(0)), st.ColBytes(1), type, data, cbData));
  if (step != SQLITE_DONE) return call.Finish(ErrorFromSqlite(step));
  std::string text;
  if (!IsPlatformKey(*key) || !PlatformValue(n, text)) return call.Finish(ERROR_FILE_NOT_FOUND);
  text.push_back('\0');
  return call.Finish(CopyOut(REG_SZ, text, type, data, cbData));
}

long RegSetValueEx(HKEY key, const char *name, DWORD type, const void *data, DWORD cbData) {
  if (key == nullptr || (data == nullptr && cbData != 0)) return ERROR_INVALID_PARAMETER;
  std::string_view n = name != nullptr ? name : "";
  if (n.size() > kMaxRegValueNameLength || cbData > kMaxRegValueSize)
    return ERROR_INVALID_PARAMETER;
  if (type == REG_DWORD && cbData != sizeof(DWORD)) return ERROR_INVALID_PARAMETER;
  if (key->id == 0) return ERROR_ACCESS_DENIED;
  if (IsCounter(*key, n)) {
    // The store holds a number and nothing else.
    if (type != REG_DWORD) return ERROR_INVALID_PARAMETER;
    DWORD value;
    std::memcpy(&value, data, sizeof value);
    Call call(false);
    if (call.Status() != ERROR_SUCCESS) return call.Status();
    long rc = KeyExists(call.store(), key->id);
    if (rc == ERROR_SUCCESS) rc = SetCounter(call.store(), true, value);
    return call.Finish(rc);
  }
  Call call(true);
  if (call.Status() != ERROR_SUCCESS) return call.Status();
  long rc = KeyExists(call.store(), key->id);
  if (rc != ERROR_SUCCESS) return call.Finish(rc);
  Stmt st(call.store(),
          "INSERT INTO regvalue(key, name, type, data) VALUES(?1, ?2, ?3, ?4)"
          " ON CONFLICT(key, name) DO UPDATE SET type = excluded.type, data = excluded.data");
  st.Int(1, key->id).Text(2, n).Int(3, type).Blob(4, data, cbData);
  return call.Finish(Run(st));
}

long RegDeleteValue(HKEY key, const char *name) {
  if (key == nullptr) return ERROR_INVALID_PARAMETER;
  if (IsCounter(*key, name != nullptr ? name : "")) {
    Call call(false);
    if (call.Status() != ERROR_SUCCESS) return call.Status();
    bool present = false;
    DWORD value = 0;
    long rc = KeyExists(call.store(), key->id);
    if (rc == ERROR_SUCCESS) rc = CounterValue(call.store(), &present, &value);
    if (rc == ERROR_SUCCESS && !present) rc = ERROR_FILE_NOT_FOUND;
    if (rc == ERROR_SUCCESS) rc = SetCounter(call.store(), false, 0);
    return call.Finish(rc);
  }
  Call call(true);
  if (call.Status() != ERROR_SUCCESS) return call.Status();
  long rc = KeyExists(call.store(), key->id);
  if (rc != ERROR_SUCCESS) return call.Finish(rc);
  Stmt st(call.store(), "DELETE FROM regvalue WHERE key = ?1 AND name = ?2");
  st.Int(1, key->id).Text(2, name != nullptr ? name : "");
  rc = Run(st);
  if (rc == ERROR_SUCCESS && sqlite3_changes(call.store().db) == 0) rc = ERROR_FILE_NOT_FOUND;
  return call.Finish(rc);
}

namespace {

// Steps a cursor to index: one step past the previous position when the
// caller walks upwards and nothing changed since, else a fresh OFFSET scan.
// The two statements return the name in column 0.
template <typename Use>
long EnumStep(Store &s, RegKeyObject::Cursor &cur, int64_t id, DWORD index, const char *afterSql,
              const char *offsetSql, Use use) {
  uint64_t gen = Generation(s);
  bool next = cur.valid && cur.generation == gen && cur.index + 1 == index;
  Stmt st(s, next ? afterSql : offsetSql);
  st.Int(1, id);
  if (next)
    st.Text(2, cur.name);
  else
    st.Int(2, index);
  int rc = st.Step();
  if (rc == SQLITE_DONE) return ERROR_NO_MORE_ITEMS;
  if (rc != SQLITE_ROW) return ErrorFromSqlite(rc);
  cur = RegKeyObject::Cursor{true, gen, index, std::string(st.ColBytes(0))};
  return use(st);
}

}  // namespace

long RegEnumKeyEx(HKEY key, DWORD index, char *name, DWORD *cchName) {
  if (key == nullptr || name == nullptr || cchName == nullptr) return ERROR_INVALID_PARAMETER;
  Call call(false);
  if (call.Status() != ERROR_SUCCESS) return call.Status();
  long rc = KeyExists(call.store(), key->id);
  if (rc != ERROR_SUCCESS) return call.Finish(rc);
  rc = EnumStep(call.store(), key->keys, key->id, index,
                "SELECT name FROM regkey WHERE parent = ?1 AND name > ?2 ORDER BY name LIMIT 1",
                "SELECT name FROM regkey WHERE parent = ?1 ORDER BY name LIMIT 1 OFFSET ?2",
                [&](Stmt &st) { return CopyName(st.ColBytes(0), name, cchName); });
  return call.Finish(rc);
}

long RegEnumValue(HKEY key, DWORD index, char *name, DWORD *cchName, DWORD *type, void *data,
                  DWORD *cbData) {
  if (key == nullptr || name == nullptr || cchName == nullptr) return ERROR_INVALID_PARAMETER;
  Call call(false);
  if (call.Status() != ERROR_SUCCESS) return call.Status();
  long rc = KeyExists(call.store(), key->id);
  if (rc != ERROR_SUCCESS) return call.Finish(rc);
  if (EqualsNoCase(key->path, kCounterKey))
    return call.Finish(EnumCounterKey(call.store(), *key, index, name, cchName, type, data, cbData));
  rc = EnumStep(
      call.store(), key->values, key->id, index,
      "SELECT name, type, data FROM regvalue WHERE key = ?1 AND name > ?2 ORDER BY name LIMIT 1",
      "SELECT name, type, data FROM regvalue WHERE key = ?1 ORDER BY name LIMIT 1 OFFSET ?2",
      [&](Stmt &st) {
        long nameRc = CopyName(st.ColBytes(0), name, cchName);
        long dataRc = CopyOut(static_cast<DWORD>(st.ColInt(1)), st.ColBytes(2), type, data, cbData);
        return nameRc != ERROR_SUCCESS ? nameRc : dataRc;
      });
  return call.Finish(rc);
}

namespace {

long HasSubkeys(Store &s, int64_t id) {
  Stmt st(s, "SELECT 1 FROM regkey WHERE parent = ?1 LIMIT 1");
  st.Int(1, id);
  int rc = st.Step();
  if (rc == SQLITE_ROW) return ERROR_DIR_NOT_EMPTY;
  return rc == SQLITE_DONE ? ERROR_SUCCESS : ErrorFromSqlite(rc);
}

// Deletes the key id with everything below it.
long DeleteSubtree(Store &s, int64_t id) {
  Stmt values(s,
              "WITH RECURSIVE t(id) AS (SELECT ?1 UNION ALL"
              " SELECT regkey.id FROM regkey JOIN t ON regkey.parent = t.id)"
              " DELETE FROM regvalue WHERE key IN (SELECT id FROM t)");
  values.Int(1, id);
  long rc = Run(values);
  if (rc != ERROR_SUCCESS) return rc;
  Stmt keys(s,
            "WITH RECURSIVE t(id) AS (SELECT ?1 UNION ALL"
            " SELECT regkey.id FROM regkey JOIN t ON regkey.parent = t.id)"
            " DELETE FROM regkey WHERE id IN (SELECT id FROM t)");
  keys.Int(1, id);
  return Run(keys);
}

long DeleteKey(HKEY parent, const char *subKey, bool tree) {
  if (parent == nullptr) return ERROR_INVALID_PARAMETER;
  std::vector<std::string_view> parts;
  long rc = SplitKeyPath(subKey, parent->depth, parts);
  if (rc != ERROR_SUCCESS) return rc;
  if (parts.empty()) return ERROR_INVALID_PARAMETER;
  Call call(true);
  if (call.Status() != ERROR_SUCCESS) return call.Status();
  Resolved r;
  rc = KeyExists(call.store(), parent->id);
  if (rc == ERROR_SUCCESS) rc = Resolve(call.store(), *parent, parts, false, r);
  if (rc == ERROR_SUCCESS && HoldsPlatformKey(r.path)) rc = ERROR_ACCESS_DENIED;
  if (rc == ERROR_SUCCESS && !tree) rc = HasSubkeys(call.store(), r.id);
  if (rc == ERROR_SUCCESS) rc = DeleteSubtree(call.store(), r.id);
  return call.Finish(rc);
}

}  // namespace

long RegDeleteKey(HKEY parent, const char *subKey) { return DeleteKey(parent, subKey, false); }

long RegDeleteTree(HKEY parent, const char *subKey) { return DeleteKey(parent, subKey, true); }

RegTransaction::RegTransaction(Mode mode) {
  Store &s = TheStore();
  s.mu.lock();
  status_ = OpenStore(s);
  if (status_ == ERROR_SUCCESS && s.inTransaction) status_ = ERROR_INVALID_PARAMETER;
  if (status_ == ERROR_SUCCESS) status_ = Exec(s, mode == kWrite ? "BEGIN IMMEDIATE" : "BEGIN");
  if (status_ != ERROR_SUCCESS) {
    s.mu.unlock();
    return;
  }
  s.inTransaction = true;
  open_ = true;
}

long RegReopenReadOnly() {
  Store &s = TheStore();
  std::lock_guard<std::recursive_mutex> guard(s.mu);
  if (s.inTransaction) return ERROR_BUSY;
  if (s.db != nullptr) Disconnect(s, s.pid == getpid());
  s.readOnly = true;
  long rc = OpenStore(s);
  if (rc != ERROR_SUCCESS) return rc;
  // The first read opens the journal files, while the caller still may.
  Stmt st(s, "SELECT count(*) FROM regkey");
  int step = st.Step();
  return step == SQLITE_ROW ? ERROR_SUCCESS : ErrorFromSqlite(step);
}

RegTransaction::~RegTransaction() {
  if (!open_) return;
  Store &s = TheStore();
  Exec(s, "ROLLBACK");
  s.inTransaction = false;
  s.counter = PendingCounter{};
  s.ownChanges++;
  open_ = false;
  s.mu.unlock();
}

// The counter lives in a store of its own, which the database's commit
// does not cover. It is changed first: if that fails, nothing is committed;
// if the database's commit fails after it, the counter keeps its new value
// (zeladm's import only ever raises it, which skips identifiers and loses
// nothing).
long RegTransaction::Commit() {
  if (!open_) return status_ != ERROR_SUCCESS ? status_ : ERROR_INVALID_PARAMETER;
  Store &s = TheStore();
  long rc = ERROR_SUCCESS;
  if (s.counter.set)
    rc = SetMsgCounter(s.counter.present, s.counter.value, kCounterWaitMs,
                       s.counter.seenValid ? &s.counter.seen : nullptr);
  if (rc == ERROR_SUCCESS) rc = Exec(s, "COMMIT");
  if (rc != ERROR_SUCCESS) Exec(s, "ROLLBACK");
  s.inTransaction = false;
  s.counter = PendingCounter{};
  s.ownChanges++;
  open_ = false;
  s.mu.unlock();
  return rc;
}
