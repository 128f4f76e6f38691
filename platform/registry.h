// registry: the system's configuration store, with the semantics of the
// Windows registry, kept in one SQLite database.
//
// Keys form a tree under HKEY_LOCAL_MACHINE; key and value names compare
// without regard to (ASCII) case but keep the case they were created with.
// Values are typed (REG_SZ, REG_EXPAND_SZ, REG_MULTI_SZ, REG_DWORD,
// REG_BINARY) and hold raw bytes exactly as the writer gave them: string
// values carry their terminating NUL, multi-strings their final empty string.
//
// The database is $ZEL_ROOT/var/lib/zel/registry.db, in WAL mode with a busy
// timeout, so the three services and zeladm may use it at once. Each call is
// one transaction (RegTransaction groups several). The database and its
// journal files are private to their owner (made 0600 when opened).
//
// One value is not in the database: the message-identifier counter,
// LastMsgId under Software\TALVO\ZEL, lives in a store of its own
// (platform/msgcounter), which the receiver may write after it has shed
// root. Every call here shows it as a REG_DWORD of that key (query, set,
// delete, enumeration in its place by name); it can only be set as a
// REG_DWORD (else ERROR_INVALID_PARAMETER), a change inside a RegTransaction
// takes effect at Commit, and deleting the key leaves it alone. A counter
// still found in an older database moves to the store (never downwards)
// when a process first opens the database. All functions are
// thread-safe; a key handle belongs to the caller until RegCloseKey and must
// not be closed twice. A handle whose key was deleted (by anyone) stays safe
// to use: every call on it fails with ERROR_FILE_NOT_FOUND. A process that
// forks gets a fresh connection in the child on its first call; it must not
// fork while another of its threads is inside a registry call.
//
// Key paths are backslash-separated; leading and trailing backslashes are
// tolerated, an empty component or one longer than kMaxRegKeyNameLength is
// ERROR_INVALID_PARAMETER.
//
// The key SYSTEM\CurrentControlSet\Services\Tcpip\Parameters belongs to the
// platform: it always exists, and its values Hostname, Domain and NameServer,
// when the database holds none, are answered from the operating system (the
// host name; the "domain" line of /etc/resolv.conf or else its first "search"
// domain; its "nameserver" addresses, space-separated). Values stored in the
// database win, which is how tests point the services at their own name
// servers ("127.0.0.1:5353" style entries are allowed). The answered values
// are not enumerated by RegEnumValue (so an export never freezes them into
// the database), and the key and its ancestors cannot be deleted
// (ERROR_ACCESS_DENIED).
//
// Failures are returned as error numbers (platform/errors.h): ERROR_SUCCESS,
// ERROR_FILE_NOT_FOUND for a missing key or value, ERROR_MORE_DATA when a
// value does not fit the caller's buffer (the needed size is still reported),
// ERROR_NO_MORE_ITEMS past the end of an enumeration, ERROR_DIR_NOT_EMPTY when
// deleting a key that has subkeys, ERROR_INVALID_PARAMETER for a bad path,
// name, size or type, ERROR_BUSY when another process held the database
// longer than the busy timeout, ERROR_DISK_FULL, EIO when the database fails.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "platform/errors.h"

struct RegKeyObject;
typedef RegKeyObject *HKEY;

// The one root the system uses.
extern HKEY const HKEY_LOCAL_MACHINE;

constexpr DWORD REG_NONE = 0;
constexpr DWORD REG_SZ = 1;
constexpr DWORD REG_EXPAND_SZ = 2;
constexpr DWORD REG_BINARY = 3;
constexpr DWORD REG_DWORD = 4;
constexpr DWORD REG_MULTI_SZ = 7;

constexpr DWORD REG_CREATED_NEW_KEY = 1;
constexpr DWORD REG_OPENED_EXISTING_KEY = 2;

// Access masks are accepted for the callers' sake; the store does not
// enforce them (file permissions on the database do).
constexpr DWORD KEY_QUERY_VALUE = 0x0001;
constexpr DWORD KEY_SET_VALUE = 0x0002;
constexpr DWORD KEY_READ = 0x20019;
constexpr DWORD KEY_WRITE = 0x20006;
constexpr DWORD KEY_ALL_ACCESS = 0xF003F;

// Limits of the store: a key name component and a value name.
constexpr size_t kMaxRegKeyNameLength = 255;
constexpr size_t kMaxRegValueNameLength = 16383;
constexpr size_t kMaxRegValueSize = 1024 * 1024;   // one value, in bytes
// Nesting depth of keys, as on Windows; bounds every walk of the tree.
constexpr size_t kMaxRegKeyDepth = 512;

// The key path of the platform's TCP/IP settings.
constexpr const char *kTcpipParametersKey =
    "SYSTEM\\CurrentControlSet\\Services\\Tcpip\\Parameters";

// Opens subKey below parent, creating it and its missing ancestors.
// *disposition (may be null) tells REG_CREATED_NEW_KEY or REG_OPENED_EXISTING_KEY.
// subKey may be "" or null to open parent itself again.
long RegCreateKeyEx(HKEY parent, const char *subKey, DWORD access, HKEY *result,
                    DWORD *disposition);
// Opens an existing key; ERROR_FILE_NOT_FOUND when it does not exist.
long RegOpenKeyEx(HKEY parent, const char *subKey, DWORD access, HKEY *result);
long RegCloseKey(HKEY key);

// Reads a value. type and data may be null (cbData may be null only when data
// is). On entry *cbData is the size of data; on return it is the value's size.
// A value larger than *cbData gives ERROR_MORE_DATA and leaves data
// unspecified. String values (REG_SZ, REG_EXPAND_SZ, REG_MULTI_SZ) whose
// stored bytes lack their terminating NUL (a multi-string: its two NULs) are
// returned with it, and the reported size counts it, so a buffer of the
// reported size always holds a terminated string. name null or "" is the
// key's default value.
long RegQueryValueEx(HKEY key, const char *name, DWORD *type, void *data, DWORD *cbData);
// Stores a value (any type number; a REG_DWORD must be 4 bytes). Values
// cannot be set on HKEY_LOCAL_MACHINE itself (ERROR_ACCESS_DENIED).
long RegSetValueEx(HKEY key, const char *name, DWORD type, const void *data, DWORD cbData);
long RegDeleteValue(HKEY key, const char *name);

// Enumerates direct subkeys, ordered by name ignoring case. On entry *cchName
// is the size of name in bytes (with its NUL); on return the name's length
// (also with ERROR_MORE_DATA, when name is too small). Walking the indexes
// upwards costs one step each, not a rescan.
long RegEnumKeyEx(HKEY key, DWORD index, char *name, DWORD *cchName);
// Enumerates the stored values of a key, ordered by name ignoring case; name
// and *cchName as for RegEnumKeyEx, type, data and cbData as for
// RegQueryValueEx (data and cbData may be null).
long RegEnumValue(HKEY key, DWORD index, char *name, DWORD *cchName, DWORD *type,
                  void *data, DWORD *cbData);

// Deletes a key that has no subkeys (ERROR_DIR_NOT_EMPTY otherwise), with its values.
long RegDeleteKey(HKEY parent, const char *subKey);
// Deletes a key with all its subkeys and values (regedit's "[-KEY]").
long RegDeleteTree(HKEY parent, const char *subKey);

// For a process about to shed root (the receiver): its connection is
// opened again read-only, while it still may open the files, so that
// afterwards it cannot write the database even through a descriptor root
// opened. From then on every change fails with ERROR_ACCESS_DENIED (the
// message-identifier counter, which is not in the database, excepted).
// ERROR_BUSY inside a RegTransaction.
long RegReopenReadOnly();

// Groups the registry calls of the calling thread into one transaction: all
// of them take effect at Commit, none if the object dies uncommitted (a call
// that failed inside has left nothing behind either). A write transaction
// holds the database's write lock, a read one gives a consistent snapshot;
// while either lives, the other threads of the process wait for the store,
// so keep it short. Not nestable. zeladm's import and export use it.
class RegTransaction {
 public:
  enum Mode { kRead, kWrite };
  explicit RegTransaction(Mode mode);
  ~RegTransaction();
  RegTransaction(const RegTransaction &) = delete;
  RegTransaction &operator=(const RegTransaction &) = delete;
  // ERROR_SUCCESS when the transaction began; otherwise calls run on their own.
  long Status() const { return status_; }
  long Commit();

 private:
  long status_;
  bool open_ = false;
};

// The full path of an open key below HKEY_LOCAL_MACHINE, as created ("" for the root).
std::string RegKeyPath(HKEY key);

// What /etc/resolv.conf contributes to the Tcpip key; exposed for tests.
struct ResolvConfInfo {
  std::string domain;                    // "domain" line, else first "search" domain
  std::vector<std::string> nameServers;  // IPv4 "nameserver" addresses, in order
};
// Parses resolv.conf text (at most maxBytes of it are looked at). Tolerant:
// unknown, overlong or malformed lines are skipped.
ResolvConfInfo ParseResolvConf(std::string_view text, size_t maxBytes);

// Owns an open key; closes it when it goes out of scope.
class RegKey {
 public:
  RegKey() = default;
  explicit RegKey(HKEY h) : h_(h) {}
  ~RegKey() { Close(); }
  RegKey(const RegKey &) = delete;
  RegKey &operator=(const RegKey &) = delete;
  RegKey(RegKey &&o) noexcept : h_(o.h_) { o.h_ = nullptr; }
  RegKey &operator=(RegKey &&o) noexcept {
    if (this != &o) { Close(); h_ = o.h_; o.h_ = nullptr; }
    return *this;
  }
  HKEY get() const { return h_; }
  HKEY *out() { Close(); return &h_; }
  explicit operator bool() const { return h_ != nullptr; }
  void Close() {
    if (h_ != nullptr) { RegCloseKey(h_); h_ = nullptr; }
  }

 private:
  HKEY h_ = nullptr;
};
