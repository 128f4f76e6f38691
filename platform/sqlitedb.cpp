// sqlitedb: see sqlitedb.h.
#include "platform/sqlitedb.h"

#include <sqlite3.h>

#include <atomic>
#include <cerrno>

#include "platform/files.h"
#include "platform/folderfs.h"

namespace {

constexpr mode_t kDatabaseFileMode = 0600;
// What a kept write-ahead log is cut back to after a checkpoint: a large
// transaction (a folder indexed anew) does not leave its size behind.
constexpr const char *kJournalSizeLimit = "PRAGMA journal_size_limit = 4194304";

std::atomic<SqliteFaultHook> g_faultHook{nullptr};

bool FaultAt(const char *step) {
  SqliteFaultHook hook = g_faultHook.load();
  return hook != nullptr && !hook(step);
}

// Makes the database file, private, before SQLite sees it: SQLite would
// make it 0644, and its journal files copy its mode. An existing file is
// only looked at, never opened: closing a descriptor of a database would
// drop the locks this process's other connections hold on it.
long MakePrivateFile(int dir, const std::string &name, bool create, EntryStamp &stamp) {
  if (create) {
    UniqueFd fd(CreateFileAt(dir, name, kDatabaseFileMode));
    if (!fd.Valid() && GetLastError() != EEXIST) return GetLastError();
  }
  if (!StatEntryAt(dir, name, stamp)) return GetLastError();
  return stamp.Regular ? ERROR_SUCCESS : ERROR_INVALID_DATA;
}

}  // namespace

void SetSqliteFaultHook(SqliteFaultHook hook) { g_faultHook.store(hook); }

long SqliteError(int rc) {
  switch (rc & 0xFF) {
    case SQLITE_OK:
    case SQLITE_DONE:
    case SQLITE_ROW:
      return ERROR_SUCCESS;
    case SQLITE_BUSY:
    case SQLITE_LOCKED:
      return ERROR_BUSY;
    case SQLITE_FULL:
      return ERROR_DISK_FULL;
    case SQLITE_READONLY:
    case SQLITE_PERM:
    case SQLITE_AUTH:
      return ERROR_ACCESS_DENIED;
    case SQLITE_NOMEM:
      return ERROR_NOT_ENOUGH_MEMORY;
    case SQLITE_CORRUPT:
    case SQLITE_NOTADB:
    case SQLITE_FORMAT:
    case SQLITE_SCHEMA:
      return ERROR_INVALID_DATA;
    case SQLITE_CANTOPEN:
      return rc == SQLITE_CANTOPEN_SYMLINK ? ELOOP : EIO;
    default:
      return EIO;
  }
}

long SqliteDb::Open(int dir, std::string_view name, bool create, int busyTimeoutMs) {
  Close();
  if (!IsPlainEntryName(name)) return ERROR_INVALID_PARAMETER;
  std::string file(name), path;
  EntryStamp stamp;
  long rc = MakePrivateFile(dir, file, create, stamp);
  if (rc != ERROR_SUCCESS) return rc;
  if (!RealPathOfDirectory(dir, path)) return GetLastError();
  path += "/" + file;
  int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX | SQLITE_OPEN_NOFOLLOW;
  int sq = sqlite3_open_v2(path.c_str(), &db_, flags, nullptr);
  if (sq != SQLITE_OK) {
    rc = SqliteError(sqlite3_extended_errcode(db_));
    Close();
    return rc != ERROR_SUCCESS ? rc : EIO;
  }
  sqlite3_extended_result_codes(db_, 1);
  sqlite3_busy_timeout(db_, busyTimeoutMs);
  device_ = stamp.Device;
  inode_ = stamp.Inode;
  // The write-ahead log stays when the last connection closes. SQLite
  // would remove it by name, and the name may belong to a newer index by
  // then (one rebuilt or made after a folder was deleted) whose log it is.
  int persist = 1;
  sqlite3_file_control(db_, "main", SQLITE_FCNTL_PERSIST_WAL, &persist);
  // The mode is read from the file's header: a file that is no database
  // fails here.
  rc = Exec("PRAGMA journal_mode = WAL");
  if (rc == ERROR_SUCCESS) rc = Exec(kJournalSizeLimit);
  if (rc != ERROR_SUCCESS) Close();
  return rc;
}

void SqliteDb::Close() {
  for (auto &[sql, st] : statements_) sqlite3_finalize(st);
  statements_.clear();
  if (db_ != nullptr) {
    // The log goes into the file and is emptied when nobody else is using
    // it (no wait): a database at rest is whole in its one file, for a
    // copy or a backup.
    sqlite3_busy_timeout(db_, 0);
    sqlite3_wal_checkpoint_v2(db_, nullptr, SQLITE_CHECKPOINT_TRUNCATE, nullptr, nullptr);
    sqlite3_close(db_);
  }
  db_ = nullptr;
  device_ = inode_ = 0;
  synchronous_ = -1;
}

long SqliteDb::Exec(const char *sql) {
  if (db_ == nullptr) return ERROR_INVALID_PARAMETER;
  return SqliteError(sqlite3_exec(db_, sql, nullptr, nullptr, nullptr));
}

long SqliteDb::Synchronous(bool full) {
  int want = full ? 2 : 1;
  if (synchronous_ == want) return ERROR_SUCCESS;
  long rc = Exec(full ? "PRAGMA synchronous = FULL" : "PRAGMA synchronous = NORMAL");
  if (rc == ERROR_SUCCESS) synchronous_ = want;
  return rc;
}

long SqliteDb::BeginWrite(bool durable) {
  if (FaultAt("begin")) return EIO;
  long rc = Synchronous(durable);
  return rc != ERROR_SUCCESS ? rc : Exec("BEGIN IMMEDIATE");
}

long SqliteDb::BeginRead() { return Exec("BEGIN"); }

long SqliteDb::Commit() {
  if (FaultAt("commit")) {
    Rollback();
    return EIO;
  }
  long rc = Exec("COMMIT");
  if (rc != ERROR_SUCCESS) Rollback();
  return rc;
}

void SqliteDb::Rollback() {
  if (InTransaction()) Exec("ROLLBACK");
}

bool SqliteDb::InTransaction() const { return db_ != nullptr && !sqlite3_get_autocommit(db_); }

int SqliteDb::Changes() const { return db_ != nullptr ? sqlite3_changes(db_) : 0; }

sqlite3_stmt *SqliteDb::Prepared(const char *sql, long *error) {
  *error = ERROR_INVALID_PARAMETER;
  if (db_ == nullptr) return nullptr;
  *error = ERROR_SUCCESS;
  auto it = statements_.find(sql);
  if (it != statements_.end()) return it->second;
  sqlite3_stmt *st = nullptr;
  int rc = sqlite3_prepare_v3(db_, sql, -1, SQLITE_PREPARE_PERSISTENT, &st, nullptr);
  if (rc != SQLITE_OK) {
    // A damaged schema shows here first.
    *error = SqliteError(sqlite3_extended_errcode(db_));
    if (*error == ERROR_SUCCESS) *error = EIO;
    return nullptr;
  }
  statements_.emplace(sql, st);
  return st;
}

SqliteStmt::~SqliteStmt() {
  if (st_ == nullptr) return;
  sqlite3_reset(st_);
  sqlite3_clear_bindings(st_);
}

SqliteStmt &SqliteStmt::Int(int i, int64_t v) {
  if (st_ != nullptr) sqlite3_bind_int64(st_, i, v);
  return *this;
}

SqliteStmt &SqliteStmt::Text(int i, std::string_view v) {
  if (st_ != nullptr)
    sqlite3_bind_text(st_, i, v.data() != nullptr ? v.data() : "", static_cast<int>(v.size()),
                      SQLITE_STATIC);
  return *this;
}

SqliteStmt &SqliteStmt::Null(int i) {
  if (st_ != nullptr) sqlite3_bind_null(st_, i);
  return *this;
}

bool SqliteStmt::Next(long *error) {
  int rc = st_ != nullptr ? sqlite3_step(st_) : SQLITE_ERROR;
  *error = rc == SQLITE_ROW || rc == SQLITE_DONE ? ERROR_SUCCESS : SqliteError(rc);
  if (st_ == nullptr) *error = prepareError_;
  return rc == SQLITE_ROW;
}

long SqliteStmt::Run() {
  long error;
  Next(&error);
  return error;
}

int64_t SqliteStmt::ColInt(int i) const { return sqlite3_column_int64(st_, i); }

std::string_view SqliteStmt::ColText(int i) const {
  const void *p = sqlite3_column_blob(st_, i);
  int n = sqlite3_column_bytes(st_, i);
  return p != nullptr ? std::string_view(static_cast<const char *>(p), static_cast<size_t>(n))
                      : std::string_view();
}

bool SqliteStmt::ColNull(int i) const { return sqlite3_column_type(st_, i) == SQLITE_NULL; }
