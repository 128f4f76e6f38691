// msgid: CreateUniqueMsgId, the message identifiers that name every spool
// file of a message.
//
// The last identifier handed out is the REG_DWORD "LastMsgId" under the
// suite key; the named mutex serialises its read, increment and store across
// all processes and threads. The key is opened at first use and kept open for
// the life of the process (it is never closed at exit: the registry's own
// state may be gone by then, and the process end frees it anyway).
#include <cstdio>
#include <mutex>

#include "platform/namedmutex.h"
#include "platform/registry.h"
#include "zelbase/zelbase.h"

namespace {

constexpr const char *kMsgIdMutexName = "TALVO-ZEL-MessageID-Mutex";
constexpr const char *kSuiteKey = "Software\\TALVO\\ZEL";
constexpr const char *kLastMsgIdValue = "LastMsgId";
// Smallest buffer accepted: callers have always passed 32 or 64 bytes, and a
// smaller one is refused before the counter is touched.
constexpr DWORD kMinMsgIdBuffer = 16;
// The largest counter value; the next one wraps.
constexpr DWORD kMaxMsgNumber = 0xFFFFFFFF;

// The open suite key, or null until the first successful open. Many worker
// threads ask for identifiers at once, so the first open is guarded.
std::mutex g_keyLock;
HKEY g_hKey = nullptr;

HKEY CounterKey(long *rc) {
  std::lock_guard<std::mutex> guard(g_keyLock);
  *rc = ERROR_SUCCESS;
  if (g_hKey == nullptr)
    *rc = RegCreateKeyEx(HKEY_LOCAL_MACHINE, kSuiteKey, KEY_ALL_ACCESS, &g_hKey, nullptr);
  if (*rc != ERROR_SUCCESS) g_hKey = nullptr;
  return g_hKey;
}

// The last identifier handed out; a missing value counts as none (0). A value
// of another type or size is an error, never a guess: a wrong guess could
// hand out identifiers whose files are still in the spool.
long ReadLastMsgId(HKEY key, DWORD *last) {
  DWORD type = REG_NONE, value = 0, size = sizeof value;
  long rc = RegQueryValueEx(key, kLastMsgIdValue, &type, &value, &size);
  if (rc == ERROR_FILE_NOT_FOUND) {
    *last = 0;
    return ERROR_SUCCESS;
  }
  if (rc != ERROR_SUCCESS) return rc;
  if (type != REG_DWORD || size != sizeof value) return ERROR_INVALID_PARAMETER;
  *last = value;
  return ERROR_SUCCESS;
}

// The counter wraps after its largest value, but to 1, not 0: the ten-digit
// format cannot hold more, and stopping would stop all mail for good, whereas
// an identifier from four billion messages ago is long gone from the spool
// (and the writers create their files create-new, so a clash is a retry, not
// an overwrite). 0 is skipped because a missing counter reads as 0: the value
// 0 keeps meaning "nothing handed out", and "B0000000000" never appears.
DWORD NextMsgNumber(DWORD last) { return last == kMaxMsgNumber ? 1 : last + 1; }

// Reads, increments and stores the counter; the mutex is held.
bool CountMsgId(char *MsgId, DWORD LenMsgId) {
  long rc = ERROR_SUCCESS;
  HKEY key = CounterKey(&rc);
  DWORD last = 0;
  if (key != nullptr) rc = ReadLastMsgId(key, &last);
  if (rc != ERROR_SUCCESS) {
    errno = static_cast<int>(rc);
    return false;
  }
  DWORD next = NextMsgNumber(last);
  std::snprintf(MsgId, LenMsgId, "B%10.10u", static_cast<unsigned>(next));
  rc = RegSetValueEx(key, kLastMsgIdValue, REG_DWORD, &next, sizeof next);
  if (rc != ERROR_SUCCESS) errno = static_cast<int>(rc);
  return rc == ERROR_SUCCESS;
}

}  // namespace

extern "C" ZELBASE_API bool CreateUniqueMsgId(char *MsgId, DWORD LenMsgId, DWORD Timeout) {
  if (MsgId == nullptr || LenMsgId < kMinMsgIdBuffer) {
    errno = ERROR_INVALID_PARAMETER;
    return false;
  }
  NamedMutexLock mutex;
  DWORD wait = mutex.Wait(kMsgIdMutexName, Timeout);
  if (wait != WAIT_OBJECT_0) {
    errno = wait == WAIT_TIMEOUT ? ERROR_TIMEOUT : static_cast<int>(GetLastError());
    return false;
  }
  return CountMsgId(MsgId, LenMsgId);
}
