// sqlitedb: one SQLite database file in a directory held open, for stores
// that live in a user's tree (a mail folder's index), and its prepared
// statements.
//
// SQLite opens files by path. The directory is held open by its caller, so
// the path handed to SQLite is that directory's real path (platform/
// folderfs: RealPathOfDirectory, checked to name the same directory) with
// SQLITE_OPEN_NOFOLLOW: a symbolic link anywhere on the way, or in place of
// the database, fails the open (ELOOP), and SQLite opens its -wal and -shm
// files without following links too. The file is made 0600 before SQLite
// sees it (its journal files take its mode). Identity() remembers which
// file was opened, so a caller can tell when the name was given to another
// file since (an index rebuilt or removed by another process).
//
// The connection is in WAL mode with a busy timeout: readers never wait
// for a writer, and two writers (two processes on one folder) wait for
// each other up to that timeout, then fail with ERROR_BUSY. BeginWrite
// takes the write lock at once (BEGIN IMMEDIATE) with synchronous=FULL when
// the transaction must survive a power failure (the WAL is synced at its
// commit), NORMAL otherwise.
//
// Callers: common/mailstoreindex. The registry (platform/registry) keeps
// its own connection handling for its process-wide store.
//
// Threads: one object, one thread at a time (the connection is opened
// without SQLite's mutexes). A statement belongs to its database and must
// not outlive it.
//
// Failures: error numbers: ERROR_BUSY (locked past the timeout),
// ERROR_DISK_FULL, ERROR_ACCESS_DENIED, ERROR_INVALID_DATA for a file that
// is no database or a damaged one, ELOOP for a link, EIO otherwise.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>

#include "platform/errors.h"

struct sqlite3;
struct sqlite3_stmt;

// A test's fault: called before each write transaction starts and before
// each commit with "begin" or "commit"; returning false fails that step
// with EIO. nullptr (the default) injects nothing.
using SqliteFaultHook = bool (*)(const char *step);
void SetSqliteFaultHook(SqliteFaultHook hook);

// The error number of a SQLite result code.
long SqliteError(int rc);

class SqliteDb {
 public:
  SqliteDb() = default;
  ~SqliteDb() { Close(); }
  SqliteDb(const SqliteDb &) = delete;
  SqliteDb &operator=(const SqliteDb &) = delete;

  // Opens the database name of the open directory dir, made empty (0600)
  // when missing and create is set (else ENOENT). ERROR_SUCCESS or the
  // error; a file that is no database fails here or at its first read.
  long Open(int dir, std::string_view name, bool create, int busyTimeoutMs);
  void Close();
  bool IsOpen() const { return db_ != nullptr; }
  // The opened file's device and inode.
  uint64_t Device() const { return device_; }
  uint64_t Inode() const { return inode_; }

  // Runs statements without results.
  long Exec(const char *sql);
  long BeginWrite(bool durable);
  long BeginRead();
  long Commit();
  // Ends an open transaction without its changes; nothing otherwise.
  void Rollback();
  bool InTransaction() const;
  // Rows changed by the last statement.
  int Changes() const;

 private:
  friend class SqliteStmt;
  sqlite3_stmt *Prepared(const char *sql, long *error);
  long Synchronous(bool full);

  sqlite3 *db_ = nullptr;
  std::unordered_map<const char *, sqlite3_stmt *> statements_;
  uint64_t device_ = 0;
  uint64_t inode_ = 0;
  int synchronous_ = -1;   // the last value set (1 NORMAL, 2 FULL)
};

// A cached prepared statement of db (keyed by the SQL text's address: pass
// literals), reset and its bindings cleared when the object goes. Binding
// numbers start at 1, column numbers at 0.
class SqliteStmt {
 public:
  SqliteStmt(SqliteDb &db, const char *sql) : st_(db.Prepared(sql, &prepareError_)) {}
  ~SqliteStmt();
  SqliteStmt(const SqliteStmt &) = delete;
  SqliteStmt &operator=(const SqliteStmt &) = delete;

  bool Valid() const { return st_ != nullptr; }
  SqliteStmt &Int(int i, int64_t v);
  // The text stays the caller's until the statement is stepped and reset.
  SqliteStmt &Text(int i, std::string_view v);
  SqliteStmt &Null(int i);
  // A row: true; the end: false with ERROR_SUCCESS in *error; a failure:
  // false with its error.
  bool Next(long *error);
  // Runs a statement without rows: ERROR_SUCCESS or the error.
  long Run();
  int64_t ColInt(int i) const;
  std::string_view ColText(int i) const;
  bool ColNull(int i) const;

 private:
  long prepareError_ = ERROR_SUCCESS;   // before st_: set while it is made
  sqlite3_stmt *st_ = nullptr;
};
