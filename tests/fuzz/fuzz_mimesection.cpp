// Fuzz target for sections, BINARY and the SMTP form of message files: any
// bytes as a message, each byte of a short tail also a part number. Every
// section is a range within the text (or built from its fields), MIME needs
// a part number, a text survives the way into a file and back, and a file's
// text has the size MimeFileTextSize says.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "common/mimeparse.h"
#include "common/mimesection.h"
#include "common/mimestuff.h"

namespace {

void Check(bool ok) {
  if (!ok) abort();
}

void CheckStuffing(std::string_view bytes) {
  std::string text, file, back;
  MimeTextFromFile(bytes, &text);
  Check(text.size() == MimeFileTextSize(bytes));
  if (!MimeFileIsStuffed(bytes)) Check(text == bytes.substr(0, MimeFileTextEnd(bytes)));
  // A text whose lines all end in CR LF comes back unchanged.
  MimeFileFromText(text, &file);
  MimeTextFromFile(file, &back);
  bool crlfOnly = true;
  for (size_t i = 0; i < text.size(); ++i)
    if (text[i] == '\n' && (i == 0 || text[i - 1] != '\r')) crlfOnly = false;
  if (crlfOnly && (text.empty() || text.substr(text.size() - 1) == "\n")) Check(back == text);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  std::string_view all(reinterpret_cast<const char *>(data), size);
  size_t tail = std::min<size_t>(size, 4);
  std::string_view text = all.substr(0, size - tail);
  std::vector<uint32_t> part;
  for (size_t i = size - tail; i < size; ++i) part.push_back(data[i] % 5);
  MimeTree tree;
  MimeParseMessage(text, &tree);
  for (size_t len = 0; len <= part.size(); ++len) {
    MimeSection section;
    section.Part.assign(part.begin(), part.begin() + len);
    section.Fields = {"subject", "Content-Type"};
    for (MimeSectionText what : {MimeSectionText::Full, MimeSectionText::Header, MimeSectionText::HeaderFields,
                                 MimeSectionText::HeaderFieldsNot, MimeSectionText::Text, MimeSectionText::Mime}) {
      section.What = what;
      MimeSectionBytes bytes;
      bool found = MimeSectionContent(text, tree, section, &bytes);
      if (what == MimeSectionText::Mime && len == 0) Check(!found);
      if (found && !bytes.bBuilt) Check(bytes.Start <= bytes.End && bytes.End <= text.size());
      if (found && bytes.bBuilt) Check(bytes.Built.size() <= text.size());
    }
    std::string binary;
    MimeBinaryContent(text, tree, section.Part, &binary);
    Check(binary.size() <= 2 * text.size());
  }
  CheckStuffing(all);
  return 0;
}
