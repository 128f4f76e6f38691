// sieveedit: editheader on a header block. See sieveedit.h.
#include "common/sieveedit.h"

#include <vector>

#include "common/mimeheader.h"
#include "common/mimetext.h"
#include "common/sasl.h"
#include "platform/ascii.h"
#include "platform/charset.h"

namespace {

// Encoded words carry at most this much UTF-8 each, so a word stays well
// within RFC 2047's 75 characters.
constexpr size_t kEncodedWordBytes = 45;

// The value as a header carries it: line breaks as spaces; text with
// 8-bit bytes as UTF-8 encoded words, each on its own folded line.
std::string HeaderSafeValue(std::string_view value) {
  std::string flat;
  flat.reserve(value.size());
  for (char c : value) flat.push_back(c == '\r' || c == '\n' ? ' ' : c);
  if (!HasEightBitByte(flat)) return flat;
  std::string valid;
  AppendValidUtf8(flat, flat.size() * 3, &valid);
  std::string out;
  size_t pos = 0;
  while (pos < valid.size()) {
    size_t len = Utf8WholeLength(std::string_view(valid).substr(pos, kEncodedWordBytes));
    if (len == 0) len = std::min(kEncodedWordBytes, valid.size() - pos);
    if (!out.empty()) out.append("\r\n ");
    out.append("=?UTF-8?B?").append(Base64Encode(std::string_view(valid).substr(pos, len))).append("?=");
    pos += len;
  }
  return out;
}

std::string DecodedValue(const MimeHeaderField &field) {
  return MimeDecodeWords(MimeUnfold(field.Value, kMaxFieldValue), kMaxFieldValue);
}

}  // namespace

bool SieveIsFieldName(std::string_view name) {
  if (name.empty() || name.size() > kSieveMaxFieldName) return false;
  for (char c : name) {
    if (c <= ' ' || c >= 127 || c == ':') return false;
  }
  return true;
}

bool SieveFieldIsProtected(std::string_view name) {
  return EqualsNoCase(name, "received") || EqualsNoCase(name, "auto-submitted");
}

bool SieveAddHeader(std::string *header, std::string_view name, std::string_view value, bool last) {
  if (SieveFieldIsProtected(name) || !SieveIsFieldName(name)) return false;
  std::string field(name);
  field.append(": ").append(HeaderSafeValue(value)).append("\r\n");
  if (last) {
    if (!header->empty() && header->back() != '\n') header->append("\r\n");
    header->append(field);
  } else {
    header->insert(0, field);
  }
  return true;
}

size_t SieveDeleteHeader(std::string *header, std::string_view name, uint32_t index, bool fromEnd,
                         const std::function<bool(std::string_view value)> &accept) {
  if (SieveFieldIsProtected(name)) return 0;
  // Offsets of the named fields first: counting from the end needs them all.
  std::vector<std::pair<size_t, size_t>> spans;
  std::vector<std::string> values;
  MimeHeaderReader reader(*header);
  MimeHeaderField f;
  while (reader.Next(&f)) {
    if (!EqualsNoCase(f.Name, name)) continue;
    spans.emplace_back(static_cast<size_t>(f.Raw.data() - header->data()), f.Raw.size());
    values.push_back(DecodedValue(f));
  }
  std::vector<bool> doomed(spans.size(), false);
  size_t count = 0;
  for (size_t i = 0; i < spans.size(); ++i) {
    size_t ordinal = fromEnd ? spans.size() - i : i + 1;
    if (index != 0 && ordinal != index) continue;
    if (!accept(values[i])) continue;
    doomed[i] = true;
    ++count;
  }
  for (size_t i = spans.size(); i-- > 0;) {
    if (doomed[i]) header->erase(spans[i].first, spans[i].second);
  }
  return count;
}

void SieveHeaderValues(std::string_view header, std::string_view name,
                       const std::function<void(std::string_view value)> &each) {
  MimeHeaderReader reader(header);
  MimeHeaderField f;
  while (reader.Next(&f)) {
    if (EqualsNoCase(f.Name, name)) each(DecodedValue(f));
  }
}
