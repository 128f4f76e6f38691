/* zelbase: the shared library of the three services.
 *
 * Exports, by name and with C linkage, exactly four functions:
 *   LockDir / UnlockDir   a cross-process lock on a spool or mailbox
 *                         directory, held as the file "$LockFile" inside it;
 *   WildMatch             a name against a pattern with "*" wildcards;
 *   CreateUniqueMsgId     a message identifier ("B" and ten digits), unique
 *                         across all services and restarts.
 *
 * Callers: zelrecv, zeldeliv, zelfetch (and their tests). Directories come
 * from the configuration; WildMatch's text may come from the network (local
 * parts, domains) and is only compared, never copied into fixed buffers.
 *
 * Threads: all four are thread-safe. A directory lock excludes every other
 * holder, threads of the same process included; it lasts until UnlockDir or
 * the end of the holder's process (a crashed holder's lock is taken over by
 * the next LockDir). A lock handle belongs to its taker; release it once.
 *
 * Failures: a false result. The reason is left in errno (this library keeps
 * its own copy of the platform layer, so the callers' GetLastError() does not
 * see it): EEXIST when the directory stayed locked by another holder, ENOENT
 * when it does not exist, ETIMEDOUT when the identifier mutex was not granted,
 * EBADMSG when the counter's store is damaged.
 * The library reports nothing itself.
 */
#ifndef ZELBASE_ZELBASE_H
#define ZELBASE_ZELBASE_H

#include <stdint.h>

#ifdef __cplusplus
#include <string>
#include <utility>
#else
#include <stdbool.h>
#endif

#if defined(ZELBASE_BUILDING)
#define ZELBASE_API __attribute__((visibility("default")))
#else
#define ZELBASE_API
#endif

typedef uint32_t DWORD;

/* A held directory lock: the lock file's descriptor. All bits set (-1) means
 * that no lock is held. */
typedef int ZEL_LOCK_HANDLE;
#define INVALID_LOCK_HANDLE ((ZEL_LOCK_HANDLE)-1)

/* LockDir's Timeout that waits for ever. */
#define LOCKDIR_WAIT_FOREVER (-1)

#ifdef __cplusplus
extern "C" {
#endif

/* Locks Directory, waiting up to Timeout milliseconds (-1: for ever; 0 makes
 * a single attempt). The wait ends as soon as the holder lets go. A missing
 * directory fails at once. On false *phLock is INVALID_LOCK_HANDLE. */
ZELBASE_API bool LockDir(const char *Directory, int Timeout, ZEL_LOCK_HANDLE *phLock);

/* Releases a lock from LockDir (removes the lock file). Directory is not
 * used: the handle knows its file. INVALID_LOCK_HANDLE does nothing. Always
 * true. */
ZELBASE_API bool UnlockDir(const char *Directory, ZEL_LOCK_HANDLE hLock);

/* True when text matches Mask; letters compare without regard to case and
 * "*" is the only wildcard. Each "*" binds to the first occurrence of the
 * text that follows it in the pattern; there is no backtracking, so "*.com"
 * does not match "a.com.com". */
ZELBASE_API bool WildMatch(const char *text, const char *Mask);

/* Writes a new identifier ("B%10.10u", 11 characters and a NUL) into MsgId,
 * a buffer of LenMsgId bytes (more than 15), waiting at most Timeout ms
 * (INFINITE: 0xFFFFFFFF) for the identifier mutex. True when the identifier
 * was written; it is covered by the counter (LastMsgId), which is reserved
 * a block of identifiers ahead and synced before the first of them is
 * used, so no identifier is ever handed out twice, even across a crash. */
ZELBASE_API bool CreateUniqueMsgId(char *MsgId, DWORD LenMsgId, DWORD Timeout);

#ifdef __cplusplus
}  // extern "C"

// Holds one directory lock from Lock() until Unlock() or the end of its
// scope, so that no return path leaks a lock. Belongs to one thread at a time.
class DirLock {
 public:
  DirLock() = default;
  ~DirLock() { Unlock(); }
  DirLock(const DirLock &) = delete;
  DirLock &operator=(const DirLock &) = delete;
  DirLock(DirLock &&o) noexcept
      : hLock_(std::exchange(o.hLock_, INVALID_LOCK_HANDLE)), dir_(std::move(o.dir_)) {}
  DirLock &operator=(DirLock &&o) noexcept {
    if (this != &o) {
      Unlock();
      hLock_ = std::exchange(o.hLock_, INVALID_LOCK_HANDLE);
      dir_ = std::move(o.dir_);
    }
    return *this;
  }

  // Releases any lock held, then takes Directory's (see LockDir).
  bool Lock(const char *Directory, int Timeout) {
    Unlock();
    if (!LockDir(Directory, Timeout, &hLock_)) return false;
    dir_ = Directory;
    return true;
  }
  void Unlock() {
    if (hLock_ == INVALID_LOCK_HANDLE) return;
    UnlockDir(dir_.c_str(), hLock_);
    hLock_ = INVALID_LOCK_HANDLE;
  }
  bool Held() const { return hLock_ != INVALID_LOCK_HANDLE; }
  ZEL_LOCK_HANDLE Handle() const { return hLock_; }

 private:
  ZEL_LOCK_HANDLE hLock_ = INVALID_LOCK_HANDLE;
  std::string dir_;
};
#endif /* __cplusplus */

#endif /* ZELBASE_ZELBASE_H */
