// msgid: CreateUniqueMsgId, the message identifiers that name every spool
// file of a message.
//
// Policy: identifiers come from the counter store (platform/msgcounter), a
// block of kMsgIdBlock at a time per process. Reserving a block syncs the
// counter once; the identifiers of the block then cost nothing but a read
// of the store, which tells whether an administrator has set the counter
// since (a new epoch: the rest of the block is dropped). A process that
// ends, or crashes, leaves the rest of its block unused: identifiers are
// skipped, never handed out twice. A forked child never uses its parent's
// block. Within the process one timed mutex guards the block, so a thread
// waits for it (and for the store's mutex) at most the caller's time-out.
#include <chrono>
#include <cstdio>
#include <mutex>

#include "platform/msgcounter.h"
#include "platform/sync.h"
#include "zelbase/zelbase.h"

namespace {

// Smallest buffer accepted: callers have always passed 32 or 64 bytes, and a
// smaller one is refused before the counter is touched.
constexpr DWORD kMinMsgIdBuffer = 16;
// Identifiers reserved per write of the counter: one sync per thousand
// messages, and at most a thousand identifiers skipped per crash or restart.
constexpr DWORD kMsgIdBlock = 1000;

struct MsgIdBlock {
  bool valid = false;
  DWORD next = 0;
  DWORD left = 0;   // identifiers left, next included
  uint32_t epoch = 0;
  unsigned long forkGeneration = 0;
};

std::timed_mutex g_blockLock;
MsgIdBlock g_block;
MsgCounterReader g_counter;   // under g_blockLock

bool LockBlock(DWORD timeoutMs) {
  if (timeoutMs == INFINITE) {
    g_blockLock.lock();
    return true;
  }
  return g_blockLock.try_lock_for(std::chrono::milliseconds(timeoutMs));
}

// The block may still be used: identifiers left, this very process's, and
// no counter set by an administrator since it was reserved.
bool BlockUsable() {
  if (!g_block.valid || g_block.left == 0 || g_block.forkGeneration != ForkGeneration())
    return false;
  MsgCounter now;
  return g_counter.Read(&now) == ERROR_SUCCESS && now.epoch == g_block.epoch;
}

long RefillBlock(DWORD timeoutMs) {
  g_block.valid = false;
  DWORD first = 0, last = 0;
  uint32_t epoch = 0;
  long rc = ReserveMsgIds(kMsgIdBlock, timeoutMs, &first, &last, &epoch);
  if (rc != ERROR_SUCCESS) return rc;
  g_block = MsgIdBlock{true, first, last - first + 1, epoch, ForkGeneration()};
  return ERROR_SUCCESS;
}

}  // namespace

extern "C" ZELBASE_API bool CreateUniqueMsgId(char *MsgId, DWORD LenMsgId, DWORD Timeout) {
  if (MsgId == nullptr || LenMsgId < kMinMsgIdBuffer) {
    errno = ERROR_INVALID_PARAMETER;
    return false;
  }
  const long long started = MonotonicMs();
  if (!LockBlock(Timeout)) {
    errno = ERROR_TIMEOUT;
    return false;
  }
  std::lock_guard<std::timed_mutex> guard(g_blockLock, std::adopt_lock);
  if (!BlockUsable()) {
    DWORD left = Timeout;
    if (Timeout != INFINITE) {
      long long spent = MonotonicMs() - started;
      left = spent >= Timeout ? 0 : Timeout - static_cast<DWORD>(spent);
    }
    long rc = RefillBlock(left);
    if (rc != ERROR_SUCCESS) {
      errno = static_cast<int>(rc);
      return false;
    }
  }
  std::snprintf(MsgId, LenMsgId, "B%10.10u", static_cast<unsigned>(g_block.next));
  g_block.next++;
  g_block.left--;
  return true;
}
