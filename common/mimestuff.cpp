#include "common/mimestuff.h"

namespace {

constexpr std::string_view kCrLf = "\r\n";

// Calls visit(offset) for each stuffed dot of file[0, end): a "." at the
// start or behind CR LF.
template <typename Visit>
void ForEachStuffedDot(std::string_view file, size_t end, Visit visit) {
  std::string_view text = file.substr(0, end);
  if (!text.empty() && text[0] == '.') visit(0);
  for (size_t at = text.find("\r\n.", 0); at != std::string_view::npos; at = text.find("\r\n.", at + 2))
    visit(at + 2);
}

}  // namespace

size_t MimeFileTextEnd(std::string_view file) {
  if (file == "." || file == ".\r\n") return 0;
  for (std::string_view close : {std::string_view("\r\n.\r\n"), std::string_view("\r\n.")})
    if (file.size() >= close.size() && file.substr(file.size() - close.size()) == close)
      return file.size() - close.size() + kCrLf.size();
  return file.size();
}

bool MimeFileIsStuffed(std::string_view file) {
  bool stuffed = false;
  ForEachStuffedDot(file, MimeFileTextEnd(file), [&](size_t) { stuffed = true; });
  return stuffed;
}

size_t MimeFileTextSize(std::string_view file) {
  size_t end = MimeFileTextEnd(file);
  size_t dots = 0;
  ForEachStuffedDot(file, end, [&](size_t) { ++dots; });
  return end - dots;
}

void MimeTextFromFile(std::string_view file, std::string *text) {
  text->clear();
  size_t end = MimeFileTextEnd(file);
  text->reserve(end);
  size_t from = 0;
  ForEachStuffedDot(file, end, [&](size_t dot) {
    text->append(file.substr(from, dot - from));
    from = dot + 1;
  });
  text->append(file.substr(from, end - from));
}

void MimeFileFromText(std::string_view text, std::string *file) {
  file->clear();
  file->reserve(text.size() + text.size() / 64 + 5);
  bool lineStart = true;
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (lineStart && c == '.') *file += '.';
    if (c == '\n' && (i == 0 || text[i - 1] != '\r')) *file += '\r';
    *file += c;
    lineStart = c == '\n';
  }
  if (!text.empty() && !lineStart) *file += kCrLf;
  *file += ".\r\n";
}
