// Fuzz target for the ManageSieve command reader, fed the input in pieces
// whose sizes the first bytes choose, with a small literal limit. Beyond
// not crashing: a command never holds more than kMaxManageSieveArgs arguments,
// nor literals beyond the limit, nor a quoted string beyond its bound; the
// reader's line stays within kMaxManageSieveLine; every refusal is one
// response line; and what ManageSieveString writes reads back as the same text.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "ZELIMAP/managesieveparse.h"

namespace {

constexpr size_t kFuzzLiteralLimit = 300;

void CheckCommand(const ManageSieveCommand &cmd) {
  if (cmd.Args.size() > kMaxManageSieveArgs) std::abort();
  size_t total = 0;
  for (const ManageSieveArg &arg : cmd.Args) total += arg.Text.size();
  if (total > kFuzzLiteralLimit + kMaxManageSieveLine) std::abort();
}

void CheckRoundTrip(std::string_view text) {
  ManageSieveReader r;
  r.bBareString = true;
  r.MaxLiteralBytes = text.size() + 1;
  ManageSieveCommand cmd;
  std::string wire = ManageSieveString(text) + "\r\n";
  ManageSieveStep step = ReadManageSieveCommand(r, wire, cmd);
  if (step.Event != ManageSieveEvent::kCommand || step.Used != wire.size() ||
      cmd.Args.size() != 1 || cmd.Args[0].Text != text)
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 2) return 0;
  size_t piece = 1 + data[0] % 64;
  ManageSieveReader r;
  r.MaxLiteralBytes = kFuzzLiteralLimit;
  r.bBareString = (data[1] & 1) != 0;
  std::string_view input(reinterpret_cast<const char *>(data) + 2, size - 2);
  size_t at = 0;
  while (at < input.size()) {
    std::string_view chunk = input.substr(at, piece);
    size_t used = 0;
    while (used < chunk.size()) {
      ManageSieveCommand cmd;
      ManageSieveStep step = ReadManageSieveCommand(r, chunk.substr(used), cmd);
      if (step.Used > chunk.size() - used) std::abort();
      used += step.Used;
      if (r.Line.size() > kMaxManageSieveLine + 2) std::abort();
      if (step.Event == ManageSieveEvent::kCommand) CheckCommand(cmd);
      if (step.Event == ManageSieveEvent::kRefused || step.Event == ManageSieveEvent::kFatal) {
        if (!r.Refusal.ends_with("\r\n") || r.Refusal.find("\r\n") != r.Refusal.size() - 2)
          std::abort();
      }
      if (step.Event == ManageSieveEvent::kNeedMore) break;
    }
    at += chunk.size();
  }
  if (input.size() <= kMaxManageSieveQuoted * 2) CheckRoundTrip(input);
  return 0;
}
