// Fuzz target for SEARCH's matching: the first bytes up to a NUL are the
// search string, the rest the message. A needle taken from the message's
// own text must be found by TEXT (the matcher sees what the reader sees),
// folding must be stable (folding twice changes nothing), and every scope
// must run to an answer on any message.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "common/mimeparse.h"
#include "common/mimesearch.h"

namespace {

void Check(bool ok) {
  if (!ok) abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  std::string_view all(reinterpret_cast<const char *>(data), size);
  size_t nul = all.find('\0');
  std::string_view key = nul == std::string_view::npos ? all.substr(0, 0) : all.substr(0, nul);
  std::string_view text = nul == std::string_view::npos ? all : all.substr(nul + 1);
  MimeTree tree;
  MimeParseMessage(text, &tree);
  MimeNeedle needle(key);
  std::string once, twice;
  MimeFold(key, &once);
  MimeFold(once, &twice);
  Check(once == twice);
  MimeSearchMessage(text, tree, MimeSearchScope::Body, needle);
  MimeSearchField(text, tree, "subject", needle);
  bool inText = MimeSearchMessage(text, tree, MimeSearchScope::Text, needle);
  if (MimeSearchMessage(text, tree, MimeSearchScope::Body, needle)) Check(inText);
  // A plain ASCII word from a plain text body is found.
  const MimePart &root = tree.Parts[0];
  std::string_view body = text.substr(root.BodyStart, root.BodySize());
  const MimeParam *charset = MimeFindParam(root.Params, "charset");
  bool utf8 = charset == nullptr || charset->Value == "us-ascii" || charset->Value == "utf-8";
  if (tree.Parts.size() == 1 && root.Type == "text" && utf8 && root.Encoding.empty() && body.size() >= 4) {
    std::string_view word = body.substr(0, 4);
    bool plain = true;
    for (char c : word) plain = plain && c >= 'a' && c <= 'z';
    if (plain) Check(MimeSearchMessage(text, tree, MimeSearchScope::Text, MimeNeedle(word)));
  }
  return 0;
}
