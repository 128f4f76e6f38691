// Fuzz target: the list server's readers on arbitrary message files. The
// list copy rewrite must end in exactly one end line, leave no bare CR or
// LF, and keep the list's own lines in the header; the header field reader
// stays within its bound; the command processor reads to the end and
// answers at most its bound of commands.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <string_view>

#include "ZELDELIV/listcmds.h"
#include "ZELDELIV/maillist.h"
#include "ZELDELIV/msgtext.h"
#include "common/smtputil.h"
#include "tests/fuzz/fuzzscratch.h"

namespace {

std::string scratch;

std::string Slurp(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

// Every CR is part of a CR LF; exactly one "." line, the last one.
void CheckCopy(const std::string &text) {
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r' && (i + 1 == text.size() || text[i + 1] != '\n')) abort();
    if (text[i] == '\n' && (i == 0 || text[i - 1] != '\r')) abort();
  }
  size_t end = text.find("\r\n.\r\n");
  if (text.rfind(".\r\n") != text.size() - 3) abort();
  if (end != std::string::npos && end + 5 != text.size()) abort();
  size_t header = text.find("\r\n\r\n");
  size_t sender = text.find("\r\nSender: staff-request@lists.example.org\r\n");
  if (text.rfind("Sender: staff-request@lists.example.org\r\n", 0) != 0 &&
      (sender == std::string::npos || sender > header))
    abort();
}

void FuzzRewrite(const std::string &input, uint8_t flags) {
  _tListInfo list;
  list.ListName = "staff";
  list.Domain = "lists.example.org";
  list.BounceAction = flags % 3;
  list.ReplyToList = (flags & 4) != 0;
  TextFile in, out;
  std::string outPath = scratch + "/copy";
  if (!in.Open(input, "r") || !out.Open(outPath, "w")) abort();
  std::string returnPath;
  ListCopyOutcome outcome = RewriteListMessage(in, out, list, "B1@h", returnPath);
  if (!out.Close()) abort();
  if (!IsSafeHeaderText(returnPath) || returnPath.size() > kMaxReturnPath) abort();
  if (outcome == ListCopyOutcome::kFailed) abort();
  if (outcome == ListCopyOutcome::kCopied) CheckCopy(Slurp(outPath));
}

void FuzzCommands(const std::string &input) {
  TextFile in;
  if (!in.Open(input, "r")) abort();
  HeaderFieldReader reader(in, kMaxRequestLine);
  std::string field;
  while (reader.Next(field) && !field.empty()) {
    if (field.size() > kMaxRequestLine || field.find('\r') != std::string::npos) abort();
  }
  RequestContext ctx{"staff", "lists.example.org", "staff-request@lists.example.org",
                     "ann@example.net", "ann@example.net"};
  std::string journal;
  if (!ListCommandProcessor(in, ctx, journal)) abort();
  size_t echoes = 0;
  for (size_t at = 0; (at = journal.find("> ", at)) != std::string::npos; at += 2)
    if (at == 0 || journal[at - 1] == '\n') ++echoes;
  // A line beginning with "> " is an echo, or an output naming the address
  // ">": at most two per command answered.
  if (echoes > kMaxRequestCommands * 2) abort();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  scratch = FuzzScratchRoot();   // the command processor reads the registry
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  std::string input = scratch + "/input.MSG";
  {
    std::ofstream f(input, std::ios::binary | std::ios::trunc);
    f.write(reinterpret_cast<const char *>(data), static_cast<std::streamsize>(size));
  }
  FuzzRewrite(input, size > 0 ? data[0] : 0);
  FuzzCommands(input);
  return 0;
}
