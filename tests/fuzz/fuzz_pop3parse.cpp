// Fuzz target for the POP3 server's parsers of network and file input:
// command lines (ordinary and password parse), message numbers, and the
// end and TOP range of a message file. Beyond not crashing: the ordinary
// parse yields at most three arguments and a word without separators; a
// TOP range never passes the text; the terminator choice never sends more
// than the range and always leaves the client one end line at the end; an
// AUTH PLAIN response yields a name a USER line could have carried (at
// most 31 characters, no blank or control character) and a password only
// with credentials.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "ZELFETCH/maildrop.h"
#include "ZELFETCH/pop3dlg.h"
#include "ZELFETCH/pop3ext.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  std::string_view in(reinterpret_cast<const char *>(data), size);
  _Pop3Command cmd = OrdinaryParse(in, kMaxCommandLine);
  if (cmd.ArgCount > 3 || cmd.Word.find_first_of(" \r\t\n") != std::string::npos) std::abort();
  if (cmd.bHasWord == cmd.Word.empty()) std::abort();
  _Pop3Command pass = PasswordParse(in, kMaxCommandLine);
  if (pass.Arg1.size() > kMaxCommandLine || (pass.ArgCount == 1) == pass.Arg1.empty()) std::abort();
  (void)ParseMessageNumber(in, kMaxNumberText);
  long long lines = size > 0 ? static_cast<long long>(data[0]) - 8 : 0;
  if (TopByteCount(in, lines) > size) std::abort();
  _TransmitEnd end = ChooseTerminator(in.substr(size - std::min<size_t>(5, size)), size);
  if (end.Count > size) std::abort();
  std::string sent = "+OK\r\n" + std::string(in.substr(0, end.Count)) + end.Terminator;
  if (!std::string_view(sent).ends_with("\n.\r\n")) std::abort();
  std::string name, password;
  PlainResponse plain = DecodePlainResponse(in, name, password);
  bool credentials =
      plain == PlainResponse::kCredentials || plain == PlainResponse::kMasterCredentials;
  if (name.size() > kMaxUserName || (!credentials && !password.empty()) ||
      (credentials && name.empty()))
    std::abort();
  for (unsigned char c : name)
    if (c <= 0x20 || c == 0x7F) std::abort();
  return 0;
}
