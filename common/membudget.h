// membudget: one process-wide budget for the memory a server holds on
// behalf of its clients: the receiver's held message headers and message
// buffers, and the mail filters' working buffers. A client can make the
// server hold a header of a megabyte; a thousand clients a gigabyte. With
// the budget, what does not fit is refused (the receiver answers "452
// 4.3.1") and the process stays within its limit.
//
// Two kinds of takers. Ordinary holdings (a message's buffers, a header up
// to kOrdinaryHoldBytes) may use the whole budget; large ones (a header
// beyond that, a filter's copy of a header or a replaced body) only the
// budget less a reserve of an eighth. So large messages from many clients
// at once cannot keep an ordinary message out.
//
// Callers: the receiver sets the limit at start (MaxBufferedBytes); until a
// program sets one there is none (the delivery agent's filter client then
// takes what it needs, as before). MemoryHold is what a connection or a
// filter stage keeps: it grows, shrinks, and gives everything back when it
// goes. Thread-safe (one atomic counter).
#pragma once

#include <cstddef>

// Held under this much, a holding is ordinary (a header of a few hundred
// lines, the buffers of one message).
constexpr size_t kOrdinaryHoldBytes = 128 * 1024;

// The reply to a message the budget has no room for.
extern const char *const kNoMemoryReply;

// The limit in bytes (0: none). Set once at start, before any holding.
void SetMemoryBudget(size_t limitBytes);
// Bytes held now, process-wide (for tests and status).
size_t MemoryBudgetInUse();

class MemoryHold {
 public:
  MemoryHold() = default;
  ~MemoryHold() { Release(); }
  MemoryHold(const MemoryHold &) = delete;
  MemoryHold &operator=(const MemoryHold &) = delete;
  MemoryHold(MemoryHold &&other) noexcept : held_(other.held_) { other.held_ = 0; }
  MemoryHold &operator=(MemoryHold &&other) noexcept;

  // Holds total bytes in all (more, or less, than now). Growing fails
  // (nothing changes) when the budget has no room: for a holding that
  // ends up above kOrdinaryHoldBytes, none within the reserve.
  bool Resize(size_t total);
  void Release() { (void)Resize(0); }
  size_t Held() const { return held_; }

 private:
  size_t held_ = 0;
};
