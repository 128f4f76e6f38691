// Fuzz target for what a proxied logon reads from the mail host: the line
// reader fed in pieces must give the same lines as fed whole, none longer
// than its bound; every line is classified under both protocols; the reply
// made for the client is one line within its bound, CR LF ended, with no
// other control byte, and under IMAP starts with the client's tag.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "common/sessionstart.h"
#include "net/mailproxy.h"

namespace {

std::vector<std::string> Lines(std::string_view text, size_t piece, std::string *rest) {
  ProxyLineReader reader;
  std::vector<std::string> lines;
  std::string line;
  for (size_t i = 0; i < text.size(); i += piece) {
    reader.Feed(text.substr(i, piece));
    while (reader.Next(line)) {
      if (line.size() > kMaxProxyLine) std::abort();
      lines.push_back(line);
    }
  }
  *rest = reader.Failed() ? "" : reader.TakeRest();
  return lines;
}

void CheckReply(ProxyProtocol protocol, std::string_view line) {
  std::string reply = ReplyForClient(protocol, line, "a1", kMaxSessionReply);
  if (reply.size() > kMaxSessionReply || !reply.ends_with("\r\n")) std::abort();
  for (size_t i = 0; i + 2 < reply.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(reply[i]);
    if (c < 0x20 || c == 0x7F) std::abort();
  }
  if (protocol == ProxyProtocol::kImap && !reply.starts_with("a1")) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  std::string_view text(reinterpret_cast<const char *>(data), size);
  size_t piece = size == 0 ? 1 : 1 + data[0] % 13;
  std::string restWhole, restPieces;
  std::vector<std::string> whole = Lines(text, text.size() + 1, &restWhole);
  // A reader that failed stops where the long line starts, in pieces or not.
  if (Lines(text, piece, &restPieces) != whole) std::abort();
  for (const std::string &line : whole) {
    (void)ClassifyPop3Line(line);
    (void)ClassifyImapLine(line, "p1");
    (void)ClassifyGreeting(ProxyProtocol::kPop3, line);
    (void)ClassifyGreeting(ProxyProtocol::kImap, line);
    CheckReply(ProxyProtocol::kPop3, line);
    CheckReply(ProxyProtocol::kImap, line);
  }
  return 0;
}
