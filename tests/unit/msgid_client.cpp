// msgid_client: hands out message identifiers through libzelbase, as a
// service would, for the test that runs several of these at once.
//
//   msgid_client COUNT THREADS
//
// Each of THREADS threads asks for COUNT identifiers; all of them are printed
// one per line once every thread is done. Exit status 0 when every request
// succeeded, 1 when one failed (the reason goes to stderr), 2 on bad usage.
// Uses only the exported C interface of the library.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "zelbase/zelbase.h"

namespace {

// Bounds that keep a mistyped command line from running for ever.
constexpr long kMaxCount = 100000;
constexpr long kMaxThreads = 64;
// Per request: generous, a test machine may be busy.
constexpr DWORD kMutexWaitMs = 10000;
// The buffer size the receiver passes.
constexpr DWORD kMsgIdBufferSize = 64;

bool ParseBounded(const char *arg, long max, long *value) {
  char *end = nullptr;
  errno = 0;
  *value = std::strtol(arg, &end, 10);
  return errno == 0 && end != arg && *end == '\0' && *value > 0 && *value <= max;
}

void HandOut(long count, std::vector<std::string> *ids, bool *ok) {
  char buf[kMsgIdBufferSize];
  for (long i = 0; i < count; ++i) {
    if (!CreateUniqueMsgId(buf, sizeof buf, kMutexWaitMs)) {
      std::fprintf(stderr, "CreateUniqueMsgId failed: %s\n", std::strerror(errno));
      *ok = false;
      return;
    }
    ids->emplace_back(buf);
  }
}

}  // namespace

int main(int argc, char **argv) {
  long count = 0, threads = 0;
  if (argc != 3 || !ParseBounded(argv[1], kMaxCount, &count) ||
      !ParseBounded(argv[2], kMaxThreads, &threads)) {
    std::fprintf(stderr, "usage: msgid_client COUNT THREADS\n");
    return 2;
  }
  std::vector<std::vector<std::string>> ids(threads);
  std::vector<char> ok(threads, 1);
  std::vector<std::thread> workers;
  for (long t = 0; t < threads; ++t) {
    workers.emplace_back([&, t] {
      bool good = true;
      HandOut(count, &ids[t], &good);
      ok[t] = good;
    });
  }
  for (auto &w : workers) w.join();
  for (const auto &list : ids) {
    for (const auto &id : list) std::printf("%s\n", id.c_str());
  }
  for (char good : ok) {
    if (!good) return 1;
  }
  return 0;
}
