// Fuzz target for the ManageSieve command reader, fed the input in pieces
// whose sizes the first bytes choose, with a small literal limit. Beyond
// not crashing: a command never holds more than kMaxSieveArgs arguments,
// nor literals beyond the limit, nor a quoted string beyond its bound; the
// reader's line stays within kMaxSieveCommandText; every refusal is one
// response line; and what SieveString writes reads back as the same text.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "ZELIMAP/managesieveparse.h"

namespace {

constexpr size_t kFuzzLiteralLimit = 300;

void CheckCommand(const SieveCommand &cmd) {
  if (cmd.Args.size() > kMaxSieveArgs) std::abort();
  size_t total = 0;
  for (const SieveArg &arg : cmd.Args) total += arg.Text.size();
  if (total > kFuzzLiteralLimit + kMaxSieveCommandText) std::abort();
}

void CheckRoundTrip(std::string_view text) {
  SieveReader r;
  r.bBareString = true;
  r.MaxLiteralBytes = text.size() + 1;
  SieveCommand cmd;
  std::string wire = SieveString(text) + "\r\n";
  SieveStep step = ReadSieveCommand(r, wire, cmd);
  if (step.Event != SieveReadEvent::kCommand || step.Used != wire.size() || cmd.Args.size() != 1 ||
      cmd.Args[0].Text != text)
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 2) return 0;
  size_t piece = 1 + data[0] % 64;
  SieveReader r;
  r.MaxLiteralBytes = kFuzzLiteralLimit;
  r.bBareString = (data[1] & 1) != 0;
  std::string_view input(reinterpret_cast<const char *>(data) + 2, size - 2);
  size_t at = 0;
  while (at < input.size()) {
    std::string_view chunk = input.substr(at, piece);
    size_t used = 0;
    while (used < chunk.size()) {
      SieveCommand cmd;
      SieveStep step = ReadSieveCommand(r, chunk.substr(used), cmd);
      if (step.Used > chunk.size() - used) std::abort();
      used += step.Used;
      if (r.Line.size() > kMaxSieveCommandText + 2) std::abort();
      if (step.Event == SieveReadEvent::kCommand) CheckCommand(cmd);
      if (step.Event == SieveReadEvent::kRefused || step.Event == SieveReadEvent::kFatal) {
        if (!r.Refusal.ends_with("\r\n") || r.Refusal.find("\r\n") != r.Refusal.size() - 2)
          std::abort();
      }
      if (step.Event == SieveReadEvent::kNeedMore) break;
    }
    at += chunk.size();
  }
  if (input.size() <= kMaxSieveQuoted * 2) CheckRoundTrip(input);
  return 0;
}
