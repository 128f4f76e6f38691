// wirefields: see wirefields.h.
#include "common/wirefields.h"

void PutWireNumber(std::string &out, uint32_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) out.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
}

void PutWireText(std::string &out, std::string_view text, size_t bound) {
  text = text.substr(0, bound);
  PutWireNumber(out, static_cast<uint32_t>(text.size()), 2);
  out.append(text);
}

uint32_t WireReader::Number(int bytes) {
  if (failed_ || in_.size() < static_cast<size_t>(bytes)) return Fail();
  uint32_t value = 0;
  for (int i = 0; i < bytes; ++i)
    value |= static_cast<uint32_t>(static_cast<unsigned char>(in_[i])) << (8 * i);
  in_.remove_prefix(static_cast<size_t>(bytes));
  return value;
}

std::string WireReader::Text(size_t bound) {
  size_t length = Number(2);
  if (failed_ || length > bound || length > in_.size()) {
    Fail();
    return std::string();
  }
  std::string text(in_.substr(0, length));
  in_.remove_prefix(length);
  return text;
}
