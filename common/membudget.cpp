// membudget: see membudget.h.
#include "common/membudget.h"

#include <atomic>

namespace {

// The part of the budget only ordinary holdings may use: an eighth.
constexpr size_t kReserveShare = 8;

std::atomic<size_t> g_Limit{0};
std::atomic<size_t> g_InUse{0};

}  // namespace

const char *const kNoMemoryReply =
    "452 4.3.1 Not enough memory for this message now, try again later\r\n";

void SetMemoryBudget(size_t limitBytes) { g_Limit = limitBytes; }

size_t MemoryBudgetInUse() { return g_InUse.load(); }

MemoryHold &MemoryHold::operator=(MemoryHold &&other) noexcept {
  if (this != &other) {
    Release();
    held_ = other.held_;
    other.held_ = 0;
  }
  return *this;
}

bool MemoryHold::Resize(size_t total) {
  if (total <= held_) {
    g_InUse -= held_ - total;
    held_ = total;
    return true;
  }
  size_t more = total - held_;
  size_t limit = g_Limit.load();
  if (limit != 0 && total > kOrdinaryHoldBytes) limit -= limit / kReserveShare;
  size_t inUse = g_InUse.load();
  do {
    if (limit != 0 && (inUse + more > limit || inUse + more < inUse)) return false;
  } while (!g_InUse.compare_exchange_weak(inUse, inUse + more));
  held_ = total;
  return true;
}
