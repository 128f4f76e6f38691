// sysinfo: see sysinfo.h.
#include "platform/sysinfo.h"

#include <unistd.h>

unsigned GetProcessorCount() {
  long n = sysconf(_SC_NPROCESSORS_ONLN);
  return n > 0 ? static_cast<unsigned>(n) : 1u;
}

bool GetUtcOffsetMinutes(time_t t, int &offsetMinutes) {
  struct tm tm {};
  if (localtime_r(&t, &tm) == nullptr) return false;
  offsetMinutes = static_cast<int>(tm.tm_gmtoff / 60);
  return true;
}

bool GetBrokenDownTime(time_t t, struct tm &out, bool &isLocal) {
  isLocal = localtime_r(&t, &out) != nullptr;
  if (isLocal) return true;
  return gmtime_r(&t, &out) != nullptr;
}
