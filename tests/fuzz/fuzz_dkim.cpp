// Fuzz target for what DKIM reads from outside: a message's signatures
// verified against a key record from a fake name server, and the "signing"
// file of a key directory. The input is the key record's text, a NUL, then
// the message; without a NUL it is the message alone, with no key served.
// Whatever arrives, the verifier must give at most kMaxDkimSignatures
// results and never read outside the text.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "common/dkim.h"
#include "common/mimestuff.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  std::string_view input(reinterpret_cast<const char *>(data), size);
  std::vector<DkimSigningSelector> selectors;
  ParseDkimSigningFile(input, selectors);
  size_t nul = input.find('\0');
  std::string_view record = nul == std::string_view::npos ? "" : input.substr(0, nul);
  std::string_view message = nul == std::string_view::npos ? input : input.substr(nul + 1);
  std::string wire;
  for (size_t at = 0; at < record.size(); at += 255) {
    std::string_view part = record.substr(at, 255);
    wire += static_cast<char>(part.size());
    wire += part;
  }
  auto lookup = [&](std::string_view, DkimTxtAnswer &answer) {
    answer.Rcode = wire.empty() ? kDnsRcodeNxDomain : kDnsRcodeNoError;
    if (!wire.empty()) answer.Records = {wire};
    return true;
  };
  std::string file, why;
  MimeFileFromText(message, &file);
  std::vector<DkimCheck> checks;
  DkimVerify(MessageSource{file}, lookup, &checks, &why);
  if (checks.size() > kMaxDkimSignatures) std::abort();
  return 0;
}
