// Fuzz target for the MIME tree and the IMAP texts made from it: any bytes
// as a message. The tree must stay within the text (every part's header
// and body inside its parent's body, in order), and ENVELOPE, BODY and
// BODYSTRUCTURE of both revisions must read whole by the IMAP grammar.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "common/mimeimap.h"
#include "common/mimeparse.h"
#include "tests/unit/imapgrammar.h"

namespace {

void Check(bool ok) {
  if (!ok) abort();
}

void CheckTree(std::string_view text, const MimeTree &tree) {
  Check(!tree.Parts.empty() && tree.Parts.size() <= kMaxMimeParts);
  for (const MimePart &p : tree.Parts) {
    Check(p.HeaderStart <= p.HeaderEnd && p.HeaderEnd <= p.BodyStart && p.BodyStart <= p.BodyEnd);
    Check(p.BodyEnd <= text.size() && p.Depth <= kMaxMimeDepth);
    if (p.Parent == kNoMimePart) continue;
    const MimePart &parent = tree.Parts[p.Parent];
    Check(p.HeaderStart >= parent.BodyStart && p.BodyEnd <= parent.BodyEnd);
    if (p.NextSibling != kNoMimePart) Check(tree.Parts[p.NextSibling].HeaderStart >= p.BodyEnd);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  std::string_view text(reinterpret_cast<const char *>(data), size);
  MimeTree tree;
  MimeParseMessage(text, &tree);
  CheckTree(text, tree);
  Check(ImapGrammar::Envelope(MimeEnvelopeText(text, tree)));
  for (bool rev2 : {false, true}) {
    ImapRevision revision = rev2 ? ImapRevision::Rev2 : ImapRevision::Rev1;
    Check(ImapGrammar::Body(MimeBodyStructureText(text, tree, true, revision), true, rev2));
    Check(ImapGrammar::Body(MimeBodyStructureText(text, tree, false, revision), false, rev2));
  }
  return 0;
}
