// Fuzz target for the IMAP command reader: the same bytes fed whole and in
// pieces (of sizes the input chooses) must give the same events, and no
// command may exceed the reader's bounds. The first byte picks the
// settings: LITERAL- instead of LITERAL+, APPEND messages refused by the
// caller, a small APPENDLIMIT; the next four are the piece sizes.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "tests/unit/imaptranscript.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 5) return 0;
  std::string_view in(reinterpret_cast<const char *>(data), size);
  ImapDrive drive;
  drive.bLiteralMinus = (data[0] & 1) != 0;
  if ((data[0] & 2) != 0) drive.RefuseWith = "A NO [TRYCREATE] No such mailbox\r\n";
  if ((data[0] & 4) != 0) drive.AppendLimit = 16;
  std::string_view stream = in.substr(5);
  std::string whole = ImapTranscript(stream, drive);
  drive.Pieces = in.substr(1, 4);
  if (ImapTranscript(stream, drive) != whole || drive.bOutOfBounds) std::abort();
  return 0;
}
