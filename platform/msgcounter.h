// msgcounter: the store of the message-identifier counter.
//
// The counter is the registry value LastMsgId under Software\TALVO\ZEL as
// every tool sees it (platform/registry maps that one value here), but it is
// kept in a small file in a directory of its own,
// $ZEL_ROOT/var/lib/zel/msgid/lastmsgid (MsgCounterPath()). The receiver
// advances it after it has shed root, so the directory and the file are the
// service account's (a file root creates there becomes the directory
// owner's); the registry database stays root's, and a receiver taken over
// from the network can at worst spoil identifiers, not the configuration.
//
// The counter is the last identifier reserved: every identifier handed out
// so far is at most its value (or wrapped past it). Identifiers are reserved
// in blocks (ReserveMsgIds): the new value is written and synced before the
// first identifier of the block is used, so a crash skips what is left of
// a block but never hands an identifier out twice. After 4294967295 comes 1;
// 0 is never an identifier (a counter never set reads as 0).
//
// The file: two records of kMsgCounterRecordSize bytes, at offset 0 and at
// kMsgCounterSlotOffset (in different disk sectors), in this host's byte
// order: the magic "ZELMSGID", a sequence number, the value, the epoch, the
// flags (bit 0: the value is set) and a checksum of the rest. A write goes
// to the record that does not hold the current value and is synced
// (fdatasync); a reader takes the valid record with the higher sequence
// number. So a write that a crash cuts short spoils at most the record it
// was writing, and the other one still holds the value before it. An empty
// or missing file is a counter never set. A file whose records are both
// damaged is refused (ERROR_INVALID_DATA), never read as some number: that
// could hand out identifiers of mail still in the spool. The file is read
// bounded and every record is checked before use; it may have been written
// by the service account, so root's processes trust nothing in it.
//
// Every value an administrator sets (SetMsgCounter) starts a new epoch.
// A process holding a block compares the epoch before each identifier and
// drops the block once it changed, so a value set takes effect at once.
//
// Concurrency: writers hold the named mutex "TALVO-ZEL-MessageID-Mutex"
// (platform/namedmutex) across read, change and sync; ReadMsgCounter takes
// no lock and sees the last value written (or, during a write, the one
// before). Callers: libzelbase (CreateUniqueMsgId), platform/registry, the
// receiver's start (EnsureMsgCounter, as root). Thread-safe; no state.
//
// Failures are error numbers: the file's open or I/O error, ERROR_TIMEOUT
// when the mutex was not granted in time, ERROR_INVALID_DATA for a damaged
// store, EINVAL when something other than a regular file has its name.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "platform/errors.h"
#include "platform/files.h"

constexpr size_t kMsgCounterRecordSize = 32;
constexpr size_t kMsgCounterSlotOffset = 512;
constexpr size_t kMsgCounterFileSize = kMsgCounterSlotOffset + kMsgCounterRecordSize;

// The name of the mutex that serialises the writers.
constexpr const char *kMsgCounterMutex = "TALVO-ZEL-MessageID-Mutex";

struct MsgCounter {
  bool present = false;    // false: never set (or deleted); reads as 0
  DWORD last = 0;
  uint32_t epoch = 0;
  uint64_t sequence = 0;   // of the record it came from (0: none)
};

// The counter as stored.
long ReadMsgCounter(MsgCounter *counter);

// ReadMsgCounter through a descriptor kept open between reads: the store is
// written in place, so the descriptor sees every change, and a store removed
// since is opened afresh. Two calls a read instead of four, for a check made
// for every message identifier. One reader per thread, or under a lock.
class MsgCounterReader {
 public:
  long Read(MsgCounter *counter);

 private:
  UniqueFd fd_;
};

// Reads a store's bytes (at most kMsgCounterFileSize of them are looked
// at): ERROR_SUCCESS or ERROR_INVALID_DATA.
long DecodeMsgCounter(std::string_view file, MsgCounter *counter);

// Reserves up to count identifiers behind the counter, waiting up to
// timeoutMs (INFINITE: no limit) for the mutex: *first to *last, all of
// them once the call returns ERROR_SUCCESS (a block ends at 4294967295,
// and the next one starts at 1). *epoch is the counter's epoch.
long ReserveMsgIds(DWORD count, DWORD timeoutMs, DWORD *first, DWORD *last, uint32_t *epoch);

// An administrator's change: sets the counter to value (present) or
// deletes it, in a new epoch. Also mends a damaged store. With seen (the
// counter as the caller read it earlier), a store that moved on since keeps
// at least its own value: identifiers reserved meanwhile may be in use.
long SetMsgCounter(bool present, DWORD value, DWORD timeoutMs,
                   const MsgCounter *seen = nullptr);

// Creates the store (a counter never set) unless it exists, durably
// (the directory entry too), with the message-identifier mutex. The
// receiver's start as root (and -install) calls it before it hands both
// to the service account.
long EnsureMsgCounter(DWORD timeoutMs);
