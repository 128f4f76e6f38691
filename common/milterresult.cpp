// milterresult: see milterresult.h.
#include "common/milterresult.h"

#include <algorithm>

#include "common/logging.h"
#include "platform/ascii.h"
#include "platform/errors.h"
#include "platform/fileview.h"

namespace {

constexpr std::string_view kCrLf = "\r\n";
constexpr std::string_view kDotLine = ".\r\n";
// A replaced body leaves in pieces of about this size.
constexpr size_t kBodyPieceBytes = 64 * 1024;

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

bool AllBlank(std::string_view s) {
  return std::all_of(s.begin(), s.end(), [](char c) { return IsBlank(c); });
}

// A stored line without its stuffing dot.
std::string_view Unstuffed(std::string_view line) {
  return !line.empty() && line[0] == '.' ? line.substr(1) : line;
}

bool EndsWithDotLine(std::string_view text) {
  return text == kDotLine ||
         (text.size() >= 5 && text.substr(text.size() - 5) == "\r\n.\r\n");
}

// A field of the header list while edits are applied: a stored field, or
// one an edit wrote.
struct Field {
  std::string Name;
  std::string_view Stored;
  std::string Written;
  bool bWritten = false;
  std::string_view Text() const { return bWritten ? std::string_view(Written) : Stored; }
};

bool WriteField(std::vector<Field> &fields, size_t at, const MilterHeaderEdit &e, bool replace,
                std::string *error) {
  Field f;
  f.Name = e.Name;
  f.bWritten = true;
  if (!FormatMilterHeaderField(e.Name, e.Value, e.bLeadingSpace, &f.Written)) {
    *error = "a filter's header " + LogSafeText(e.Name) + " cannot be written safely";
    return false;
  }
  if (replace) {
    fields[at] = std::move(f);
  } else {
    fields.insert(fields.begin() + static_cast<std::ptrdiff_t>(at), std::move(f));
  }
  return true;
}

bool ApplyHeaderEdit(std::vector<Field> &fields, const MilterHeaderEdit &e, std::string *error) {
  switch (e.Op) {
    case MilterHeaderOp::Add:
      return WriteField(fields, fields.size(), e, false, error);
    case MilterHeaderOp::Insert:
      return WriteField(fields, std::min<size_t>(e.Index, fields.size()), e, false, error);
    case MilterHeaderOp::Change: {
      uint32_t wanted = std::max<uint32_t>(e.Index, 1);
      uint32_t seen = 0;
      for (size_t i = 0; i < fields.size(); ++i) {
        if (!EqualsNoCase(fields[i].Name, e.Name) || ++seen != wanted) continue;
        if (e.Value.empty()) {
          fields.erase(fields.begin() + static_cast<std::ptrdiff_t>(i));
          return true;
        }
        return WriteField(fields, i, e, true, error);
      }
      // Past the last one: a change adds the field; a deletion has nothing to do.
      return e.Value.empty() || WriteField(fields, fields.size(), e, false, error);
    }
  }
  return false;
}

// The replaced body in the file's form: CR LF line ends (a lone CR or LF
// is a line end too), lines beginning with "." stuffed, the last line
// ended; the "." line is the caller's.
bool WriteBody(std::string_view body, const MilterTextSink &write) {
  std::string piece;
  bool lineStart = true;
  for (size_t i = 0; i < body.size(); ++i) {
    char c = body[i];
    if (lineStart && c == '.') piece += '.';
    lineStart = false;
    if (c == '\r' || c == '\n') {
      if (c == '\r' && i + 1 < body.size() && body[i + 1] == '\n') ++i;
      piece += kCrLf;
      lineStart = true;
    } else {
      piece += c;
    }
    if (piece.size() >= kBodyPieceBytes) {
      if (!write(piece)) return false;
      piece.clear();
    }
  }
  if (!lineStart) piece += kCrLf;
  return piece.empty() || write(piece);
}

}  // namespace

const char *MilterDecisionName(MilterDecision decision) {
  switch (decision) {
    case MilterDecision::Continue: return "continue";
    case MilterDecision::Reject: return "reject";
    case MilterDecision::TempFail: return "tempfail";
    case MilterDecision::Discard: return "discard";
    case MilterDecision::Shutdown: return "shutdown";
  }
  return "?";
}

std::string MilterLogText(const MilterResult &r) {
  std::string out;
  if (r.Decision != MilterDecision::Continue || r.bFilterFailed) {
    out = "milter " + LogSafeText(r.Filter) + " " + MilterDecisionName(r.Decision);
    if (r.bFilterFailed) {
      out += " (filter failed: " + r.FailureText + ")";
    } else if (!r.Reply.empty()) {
      std::string_view first(r.Reply);
      first = first.substr(0, first.find(kCrLf));
      out += " \"" + LogSafeText(first) + "\"";
    }
  }
  if (r.Changers.empty()) return out;
  std::string changes;
  auto add = [&changes](const std::string &what) {
    changes += changes.empty() ? what : ", " + what;
  };
  size_t headers = 0;
  bool body = false;
  for (const MilterEdits &e : r.TextEdits) {
    headers += e.Headers.size();
    body = body || e.bReplaceBody;
  }
  if (headers != 0) add(std::to_string(headers) + " header edits");
  if (body) add("body replaced");
  if (r.bChangeSender) add("sender " + LogSafeText(r.Sender));
  if (!r.AddedRecipients.empty())
    add(std::to_string(r.AddedRecipients.size()) + " recipients added");
  if (!r.DeletedRecipients.empty())
    add(std::to_string(r.DeletedRecipients.size()) + " recipients deleted");
  if (r.bQuarantine) add("quarantined \"" + LogSafeText(r.QuarantineReason) + "\"");
  std::string who;
  for (const std::string &name : r.Changers) who += (who.empty() ? "" : " ") + LogSafeText(name);
  if (!out.empty()) out += "; ";
  return out + "milter changes by " + who + ": " + changes;
}

std::string MilterAddressOf(std::string_view text) {
  while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
  while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
  if (text.size() >= 2 && text.front() == '<' && text.back() == '>')
    text = text.substr(1, text.size() - 2);
  return std::string(text);
}

bool IsHeaderFieldName(std::string_view name) {
  if (name.empty() || name.size() > kMaxMilterHeaderLine) return false;
  return std::all_of(name.begin(), name.end(), [](char c) {
    unsigned char u = static_cast<unsigned char>(c);
    return u >= 33 && u <= 126 && c != ':';
  });
}

namespace {

// Splits the header off a text of size bytes whose beginning is head: at
// least up to the line that ends the header block, or past the block's
// limit, or all of it. The text is known to end with the "." line.
bool SplitMessageHead(std::string_view head, uint64_t size, MessageTextLayout *layout,
                      std::string *error) {
  *layout = MessageTextLayout();
  const size_t end = static_cast<size_t>(size) - kDotLine.size();
  layout->BodyEnd = end;
  size_t pos = 0;
  while (pos < end) {
    // Every line before the "." line ends with CR LF (the text ends with
    // one); one that runs past the head runs past the block's limit.
    size_t eol = head.find(kCrLf, pos);
    std::string_view line = head.substr(pos, eol == std::string_view::npos ? eol : eol - pos);
    if (line.empty()) {
      layout->HeaderEnd = pos;
      layout->bSeparator = true;
      layout->BodyStart = eol + 2;
      return true;
    }
    bool continuation = IsBlank(line[0]) && !layout->Fields.empty();
    std::string_view name;
    if (!continuation) {
      std::string_view content = Unstuffed(line);
      name = content.substr(0, content.find(':'));
      if (name.size() == content.size() || !IsHeaderFieldName(name)) break;
    }
    if (eol == std::string_view::npos || eol + 2 > kMaxMilterHeaderBlock) {
      *error = "the message header is too large";
      return false;
    }
    if (continuation) {
      MessageTextField &last = layout->Fields.back();
      size_t start = static_cast<size_t>(last.Raw.data() - head.data());
      last.Raw = head.substr(start, eol + 2 - start);
    } else {
      layout->Fields.push_back({name, head.substr(pos, eol + 2 - pos)});
    }
    pos = eol + 2;
  }
  layout->HeaderEnd = layout->BodyStart = pos;
  return true;
}

// The header is read in pieces of this size until its end is in sight.
constexpr size_t kHeadPieceBytes = 64 * 1024;

}  // namespace

bool MessageSource::Read(uint64_t offset, size_t length, std::string *out) const {
  if (offset < Memory.size()) {
    size_t n = std::min<uint64_t>(length, Memory.size() - offset);
    out->append(Memory.substr(static_cast<size_t>(offset), n));
    offset += n;
    length -= n;
  }
  if (length == 0) return true;
  if (Fd < 0 || offset - Memory.size() + length > FileLength) {
    SetLastError(ERROR_INVALID_DATA);
    return false;
  }
  size_t had = out->size();
  out->resize(had + length);
  size_t got = 0;
  off_t at = static_cast<off_t>(FileOffset + (offset - Memory.size()));
  if (!ReadFileAt(Fd, out->data() + had, length, at, &got) || got != length) {
    if (got != length) SetLastError(ERROR_INVALID_DATA);
    out->resize(had);
    return false;
  }
  return true;
}

bool SplitMessageText(std::string_view text, MessageTextLayout *layout, std::string *error) {
  *layout = MessageTextLayout();
  if (!EndsWithDotLine(text)) {
    *error = "the message text does not end with the \".\" line";
    return false;
  }
  return SplitMessageHead(text, text.size(), layout, error);
}

bool SplitMessageSource(const MessageSource &source, std::string *head, MessageTextLayout *layout,
                        std::string *error) {
  *layout = MessageTextLayout();
  head->clear();
  uint64_t size = source.Size();
  std::string tail;
  uint64_t tailAt = size >= 5 ? size - 5 : 0;
  if (!source.Read(tailAt, static_cast<size_t>(size - tailAt), &tail) || !EndsWithDotLine(tail) ||
      (size > 3 && size < 5)) {
    *error = "the message text does not end with the \".\" line";
    return false;
  }
  // Up to the blank line, or past the block's limit, or the whole text.
  while (head->size() < size && head->find("\r\n\r\n") == std::string::npos &&
         head->size() <= kMaxMilterHeaderBlock) {
    size_t n = static_cast<size_t>(std::min<uint64_t>(kHeadPieceBytes, size - head->size()));
    if (!source.Read(head->size(), n, head)) {
      *error = "the message text cannot be read";
      return false;
    }
  }
  return SplitMessageHead(*head, size, layout, error);
}

bool MessageBodyReader::Next(size_t max, std::string *piece) {
  piece->clear();
  while (piece->size() < max) {
    if (used_ == raw_.size()) {
      if (at_ >= to_) break;
      raw_.clear();
      used_ = 0;
      size_t n = static_cast<size_t>(std::min<uint64_t>(kHeadPieceBytes, to_ - at_));
      if (!source_.Read(at_, n, &raw_)) {
        failed_ = true;
        break;
      }
      at_ += n;
    }
    char c = raw_[used_++];
    // A line's first "." is the stuffing (the stored form).
    bool stuffing = lineStart_ && c == '.';
    lineStart_ = c == '\n' && prevCr_;
    prevCr_ = c == '\r';
    if (!stuffing) piece->push_back(c);
  }
  return !piece->empty();
}

std::string MilterFieldValue(const MessageTextField &field, bool keepLeadingSpace) {
  std::string_view raw = field.Raw.substr(0, field.Raw.size() - kCrLf.size());
  raw = Unstuffed(raw);
  raw.remove_prefix(std::min(raw.size(), field.Name.size() + 1));
  std::string value;
  value.reserve(raw.size());
  for (size_t i = 0; i < raw.size(); ++i) {
    if (raw[i] == '\r' && i + 1 < raw.size() && raw[i + 1] == '\n') continue;
    value += raw[i];
  }
  if (!keepLeadingSpace) {
    size_t lead = 0;
    while (lead < value.size() && IsBlank(value[lead])) ++lead;
    value.erase(0, lead);
  }
  return value;
}

void AppendUnstuffedBody(std::string_view text, size_t from, size_t to, std::string *out) {
  size_t pos = from;
  while (pos < to) {
    size_t eol = text.find(kCrLf, pos);
    size_t next = eol == std::string_view::npos || eol + 2 > to ? to : eol + 2;
    std::string_view line = text.substr(pos, next - pos);
    out->append(Unstuffed(line));
    pos = next;
  }
}

bool FormatMilterHeaderField(std::string_view name, std::string_view value, bool leadingSpace,
                             std::string *line) {
  line->clear();
  if (!IsHeaderFieldName(name) || value.find('\0') != std::string_view::npos) return false;
  std::string out(name);
  out += ':';
  if (!leadingSpace) out += ' ';
  size_t lineStart = 0;   // where the current output line begins
  size_t pos = 0;
  bool first = true;
  for (;;) {
    size_t brk = value.find_first_of("\r\n", pos);
    std::string_view piece = value.substr(pos, brk == std::string_view::npos ? brk : brk - pos);
    if (first) {
      out += piece;
      first = false;
    } else if (!AllBlank(piece)) {
      out += kCrLf;
      lineStart = out.size();
      if (!IsBlank(piece[0])) out += '\t';
      out += piece;
    }
    if (out.size() - lineStart > kMaxMilterHeaderLine) return false;
    if (brk == std::string_view::npos) break;
    if (value[brk] == '\r') {
      if (brk + 1 >= value.size() || value[brk + 1] != '\n') return false;   // a lone CR
      ++brk;
    }
    pos = brk + 1;
  }
  out += kCrLf;
  *line = name[0] == '.' ? "." + out : std::move(out);
  return true;
}

namespace {

// A source's header split off, its fields with every filter's edits
// applied in filter order, and the last replacement body (null: the body
// stays).
struct EditedText {
  std::string Head;
  MessageTextLayout Layout;
  std::vector<Field> Fields;
  const std::string *Body = nullptr;
};

bool EditText(const MessageSource &source, const std::vector<MilterEdits> &edits, EditedText *t,
              std::string *error) {
  if (!SplitMessageSource(source, &t->Head, &t->Layout, error)) return false;
  t->Fields.reserve(t->Layout.Fields.size());
  for (const MessageTextField &f : t->Layout.Fields)
    t->Fields.push_back({std::string(f.Name), f.Raw, {}, false});
  for (const MilterEdits &e : edits) {
    for (const MilterHeaderEdit &h : e.Headers)
      if (!ApplyHeaderEdit(t->Fields, h, error)) return false;
    if (e.bReplaceBody) t->Body = &e.Body;
  }
  return true;
}

// The edited text: the fields, then a replaced body (with the separator
// and the "." line), or nothing more (the caller writes the text from
// HeaderEnd on).
bool WriteEdited(const EditedText &t, const MilterTextSink &write) {
  for (const Field &f : t.Fields)
    if (!write(f.Text())) return false;
  if (t.Body == nullptr) return true;
  if ((t.Layout.bSeparator || !t.Body->empty()) && !write(kCrLf)) return false;
  return WriteBody(*t.Body, write) && write(kDotLine);
}

bool CannotWrite(std::string *error) {
  *error = "the new message text cannot be written";
  return false;
}

}  // namespace

bool ApplyMilterEdits(std::string_view text, const std::vector<MilterEdits> &edits,
                      const MilterTextSink &write, std::string *error) {
  return ApplyMilterEdits(MessageSource{text}, edits, write, error);
}

bool ApplyMilterEdits(const MessageSource &source, const std::vector<MilterEdits> &edits,
                      const MilterTextSink &write, std::string *error) {
  EditedText t;
  if (!EditText(source, edits, &t, error)) return false;
  if (!WriteEdited(t, write)) return CannotWrite(error);
  if (t.Body != nullptr) return true;
  // The rest as it was, a piece at a time.
  std::string piece;
  for (uint64_t at = t.Layout.HeaderEnd; at < source.Size(); at += piece.size()) {
    piece.clear();
    size_t n = static_cast<size_t>(std::min<uint64_t>(kBodyPieceBytes, source.Size() - at));
    if (!source.Read(at, n, &piece)) {
      *error = "the message text cannot be read";
      return false;
    }
    if (!write(piece)) return CannotWrite(error);
  }
  return true;
}

bool EditMessageSource(const MessageSource &source, const std::vector<MilterEdits> &edits,
                       std::string *memory, MessageSource *out, std::string *error) {
  EditedText t;
  if (!EditText(source, edits, &t, error)) return false;
  memory->clear();
  auto append = [memory](std::string_view piece) {
    memory->append(piece);
    return true;
  };
  if (!WriteEdited(t, append)) return CannotWrite(error);
  *out = MessageSource{};
  if (t.Body == nullptr) {
    // The rest stays where it is: what of it is in memory is copied.
    uint64_t rest = t.Layout.HeaderEnd;
    if (rest < source.Memory.size()) {
      memory->append(source.Memory.substr(static_cast<size_t>(rest)));
      rest = source.Memory.size();
    }
    if (source.Fd >= 0) {
      uint64_t skip = rest - source.Memory.size();
      out->Fd = source.Fd;
      out->FileOffset = source.FileOffset + skip;
      out->FileLength = source.FileLength - skip;
    }
  }
  out->Memory = *memory;
  return true;
}

bool ApplyMilterEdits(std::string_view text, const std::vector<MilterEdits> &edits,
                      std::string *out, std::string *error) {
  out->clear();
  out->reserve(text.size());
  return ApplyMilterEdits(text, edits, [out](std::string_view piece) {
    out->append(piece);
    return true;
  }, error);
}
