// sysinfo: see sysinfo.h.
#include "platform/sysinfo.h"

#include <malloc.h>
#include <sys/random.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>

#include "platform/errors.h"

void ReleaseFreedMemory() { malloc_trim(0); }

void MapLargeAllocations(size_t bytes) { (void)mallopt(M_MMAP_THRESHOLD, static_cast<int>(bytes)); }

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

uint64_t ThreadCpuMicros() {
  struct timespec ts;
  if (clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts) != 0) return 0;
  return static_cast<uint64_t>(ts.tv_sec) * 1000000u + static_cast<uint64_t>(ts.tv_nsec) / 1000u;
}

bool GetRandomBytes(void *buffer, size_t size) {
  auto *out = static_cast<unsigned char *>(buffer);
  while (size > 0) {
    ssize_t n = getrandom(out, size, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      SetLastError(n < 0 ? errno : EIO);
      return false;
    }
    out += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}
