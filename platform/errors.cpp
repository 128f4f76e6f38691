// errors: see errors.h.
#include "platform/errors.h"

#include <cstring>

namespace {
thread_local long t_LastError = 0;
}

long GetLastError() { return t_LastError; }

void SetLastError(long code) { t_LastError = code; }

bool IsDiskFullError(long code) { return code == ENOSPC || code == EDQUOT; }

bool FormatSystemMessage(long code, std::string &text) {
  text.clear();
  if (code <= 0 || code >= 4096) return false;
  char buf[256];
  // GNU strerror_r returns a pointer that may or may not be buf.
  const char *msg = strerror_r(static_cast<int>(code), buf, sizeof buf);
  if (msg == nullptr || std::strncmp(msg, "Unknown error", 13) == 0) return false;
  text = msg;
  return true;
}

int ExitStatusFromCode(long code) {
  if (code == 0) return 0;
  int low = static_cast<int>(static_cast<unsigned long>(code) & 0xFF);
  return low != 0 ? low : 255;
}
