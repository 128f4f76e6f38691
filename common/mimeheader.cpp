#include "common/mimeheader.h"

#include <algorithm>

#include "platform/ascii.h"

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

// The end of the line starting at pos (behind its LF, or end).
size_t LineEnd(std::string_view text, size_t pos, size_t end) {
  size_t lf = text.substr(0, end).find('\n', pos);
  return lf == std::string_view::npos ? end : lf + 1;
}

// An empty line: nothing but its line end.
bool IsEmptyLine(std::string_view text, size_t pos, size_t next) {
  size_t len = next - pos;
  return (len == 1 && text[pos] == '\n') || (len == 2 && text[pos] == '\r' && text[pos + 1] == '\n');
}

// The field name of a line ("" when the line starts no field): printable
// ASCII but ":", then optional blanks, then the colon.
std::string_view FieldName(std::string_view line, size_t *colon) {
  size_t i = 0;
  while (i < line.size() && line[i] > ' ' && line[i] < 0x7F && line[i] != ':') ++i;
  size_t nameEnd = i;
  while (i < line.size() && IsBlank(line[i])) ++i;
  if (nameEnd == 0 || i >= line.size() || line[i] != ':') return {};
  *colon = i;
  return line.substr(0, nameEnd);
}

}  // namespace

void MimeFindHeaderEnd(std::string_view text, size_t start, size_t end, size_t *fieldsEnd,
                       size_t *bodyStart) {
  size_t pos = start;
  while (pos < end) {
    size_t next = LineEnd(text, pos, end);
    if (IsEmptyLine(text, pos, next)) {
      *fieldsEnd = pos;
      *bodyStart = next;
      return;
    }
    pos = next;
  }
  *fieldsEnd = end;
  *bodyStart = end;
}

bool MimeHeaderReader::Next(MimeHeaderField *field) {
  while (pos_ < header_.size()) {
    size_t start = pos_;
    size_t next = LineEnd(header_, start, header_.size());
    if (IsEmptyLine(header_, start, next)) {
      pos_ = header_.size();
      return false;
    }
    // The field's continuation lines, or a stray line's.
    while (next < header_.size() && IsBlank(header_[next])) next = LineEnd(header_, next, header_.size());
    pos_ = next;
    size_t colon = 0;
    std::string_view raw = header_.substr(start, next - start);
    std::string_view name = IsBlank(raw[0]) ? std::string_view() : FieldName(raw, &colon);
    if (name.empty()) continue;
    field->Name = name;
    field->Raw = raw;
    field->Value = MimeWithoutLineEnd(raw.substr(colon + 1));
    return true;
  }
  return false;
}

bool MimeFindField(std::string_view header, std::string_view name, MimeHeaderField *field) {
  MimeHeaderReader reader(header);
  while (reader.Next(field))
    if (EqualsNoCase(field->Name, name)) return true;
  return false;
}

std::string MimeUnfold(std::string_view value, size_t maxOut) {
  std::string out;
  out.reserve(std::min(value.size(), maxOut));
  size_t pos = 0;
  while (pos < value.size() && IsBlank(value[pos])) ++pos;
  while (pos < value.size() && out.size() < maxOut) {
    size_t brk = value.find('\n', pos);
    size_t stop = brk == std::string_view::npos ? value.size() : brk;
    size_t take = stop - pos;
    if (brk != std::string_view::npos && take > 0 && value[stop - 1] == '\r') --take;
    out.append(value.substr(pos, std::min(take, maxOut - out.size())));
    pos = brk == std::string_view::npos ? value.size() : brk + 1;
  }
  while (!out.empty() && (IsBlank(out.back()) || out.back() == '\r')) out.pop_back();
  return out;
}

std::string_view MimeWithoutLineEnd(std::string_view line) {
  if (!line.empty() && line.back() == '\n') line.remove_suffix(1);
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  return line;
}

size_t MimeDelimitedEnd(std::string_view value, size_t pos, char open, char close, std::string_view *inner) {
  int depth = 1;
  size_t i = pos + 1, contentEnd = value.size(), end = value.size();
  for (; i < value.size(); ++i) {
    if (value[i] == '\\') {
      ++i;
    } else if (value[i] == close) {
      if (--depth == 0) {
        contentEnd = i;
        end = i + 1;
        break;
      }
    } else if (value[i] == open && open == '(') {
      ++depth;
    }
  }
  if (inner != nullptr) *inner = value.substr(pos + 1, contentEnd - pos - 1);
  return end;
}

std::string MimeUnescape(std::string_view inner) {
  std::string out;
  for (size_t i = 0; i < inner.size(); ++i) {
    if (inner[i] == '\\' && i + 1 < inner.size()) ++i;
    out.push_back(inner[i]);
  }
  return out;
}
