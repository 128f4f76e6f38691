// Fuzz target for running Sieve scripts against messages. The input is a
// script, a line "%%", then a message (header, blank line, body). Scripts
// that compile are run with every callback set; a run that fails must say
// why and leave no actions, one that succeeds holds at most the limits'
// actions, and an edited header must still read as a header.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "common/mimeheader.h"
#include "common/sieve.h"

namespace {

void Check(bool ok) {
  if (!ok) abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  std::string_view input(reinterpret_cast<const char *>(data), size);
  size_t cut = input.find("\n%%\n");
  if (cut == std::string_view::npos) return 0;
  std::string_view text = input.substr(0, cut), message = input.substr(cut + 4);
  SieveLimits limits;
  limits.MaxScriptBytes = 8 * 1024;
  limits.MaxCpuMillis = 5;   // keeps each input quick; the work budget follows it
  SieveScript script;
  SieveError error;
  SieveIncludeLoader loader = [](SieveLocation, std::string_view name, std::string *out) {
    if (name != "inc") return false;
    *out = "require [\"variables\", \"include\"]; global \"g\"; set \"g\" \"${g}x\"; return;";
    return true;
  };
  if (!SieveCompile(text, limits, loader, &script, &error)) return 0;
  size_t fieldsEnd = 0, bodyStart = 0;
  MimeFindHeaderEnd(message, 0, message.size(), &fieldsEnd, &bodyStart);
  SieveMessage msg{message.substr(0, fieldsEnd), message.substr(bodyStart)};
  SieveEnvelope env{"from+tag@example.org", "to+detail@example.com"};
  SieveContext ctx;
  ctx.MailboxExists = [](std::string_view name) { return name.size() % 2 == 0; };
  ctx.MailboxIdExists = [](std::string_view id) { return id == "x"; };
  ctx.DuplicateSeen = [](std::string_view key) { return key.size() % 3 == 0; };
  ctx.Now = 1700000000;
  ctx.UserAddresses = {"to@example.com"};
  SieveResult result;
  if (!SieveRun(script, msg, env, ctx, limits, &result)) {
    Check(!result.Error.Text.empty() && result.Actions.empty());
    return 0;
  }
  Check(result.Actions.size() <= limits.MaxActions + 1);
  if (result.bHeaderEdited) {
    MimeHeaderReader reader(result.Header);
    MimeHeaderField field;
    while (reader.Next(&field)) Check(!field.Name.empty());
  }
  return 0;
}
