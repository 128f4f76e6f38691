// chanwire: see chanwire.h.
#include "ZELDELIV/chanwire.h"

#include <algorithm>

namespace {

// What each kind carries: its texts and their bounds.
struct KindShape {
  ChannelKind Kind;
  size_t TextBounds[2];
  size_t Texts;
};

constexpr KindShape kShapes[] = {
    {ChannelKind::kAnswer, {0, 0}, 0},
    {ChannelKind::kDeliverLocally, {kMaxChannelDomain, 0}, 1},
    {ChannelKind::kDeadLetter, {kMaxChannelFileName, kMaxDeadLetterReason}, 2},
    {ChannelKind::kQueueLeft, {kMaxChannelDomain, 0}, 1},
    {ChannelKind::kFilterGenerated, {kMaxChannelMessageId, 0}, 1},
    {ChannelKind::kWake, {0, 0}, 0},
};

const KindShape *ShapeOf(uint8_t kind) {
  for (const KindShape &s : kShapes)
    if (static_cast<uint8_t>(s.Kind) == kind) return &s;
  return nullptr;
}

void PutNumber(std::string &out, uint32_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) out.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
}

void PutText(std::string &out, std::string_view text, size_t bound) {
  text = text.substr(0, bound);
  PutNumber(out, static_cast<uint32_t>(text.size()), 2);
  out.append(text);
}

// Reads numbers and texts off the front of a view; once a read fails,
// every later one fails too, and the caller checks once.
class WireReader {
 public:
  explicit WireReader(std::string_view in) : in_(in) {}
  uint32_t Number(int bytes) {
    if (failed_ || in_.size() < static_cast<size_t>(bytes)) return Fail();
    uint32_t value = 0;
    for (int i = 0; i < bytes; ++i)
      value |= static_cast<uint32_t>(static_cast<unsigned char>(in_[i])) << (8 * i);
    in_.remove_prefix(static_cast<size_t>(bytes));
    return value;
  }
  std::string Text(size_t bound) {
    size_t length = Number(2);
    if (failed_ || length > bound || length > in_.size()) return Fail(), std::string();
    std::string text(in_.substr(0, length));
    in_.remove_prefix(length);
    return text;
  }
  bool Whole() const { return !failed_ && in_.empty(); }
  bool Failed() const { return failed_; }

 private:
  uint32_t Fail() {
    failed_ = true;
    return 0;
  }
  std::string_view in_;
  bool failed_ = false;
};

}  // namespace

std::string EncodeChannelMessage(const ChannelMessage &message) {
  const KindShape *shape = ShapeOf(static_cast<uint8_t>(message.Kind));
  size_t count = shape != nullptr ? std::min(shape->Texts, message.Texts.size()) : 0;
  std::string out;
  PutNumber(out, static_cast<uint8_t>(message.Kind), 1);
  PutNumber(out, message.Id, 4);
  PutNumber(out, message.Value, 4);
  PutNumber(out, static_cast<uint32_t>(count), 1);
  for (size_t i = 0; i < count; ++i) PutText(out, message.Texts[i], shape->TextBounds[i]);
  return out;
}

bool DecodeChannelMessage(std::string_view wire, ChannelMessage &message) {
  WireReader in(wire);
  const KindShape *shape = ShapeOf(static_cast<uint8_t>(in.Number(1)));
  message.Id = in.Number(4);
  message.Value = in.Number(4);
  size_t count = in.Number(1);
  if (shape == nullptr || count != shape->Texts) return false;
  message.Kind = shape->Kind;
  message.Texts.clear();
  for (size_t i = 0; i < count && !in.Failed(); ++i)
    message.Texts.push_back(in.Text(shape->TextBounds[i]));
  return in.Whole();
}

std::string EncodeEnvelope(const std::string &sender, const std::vector<std::string> &recipients) {
  std::string out;
  PutNumber(out, static_cast<uint32_t>(1 + recipients.size()), 4);
  PutText(out, sender, kMaxEnvelopeAddress);
  for (const std::string &r : recipients) PutText(out, r, kMaxEnvelopeAddress);
  return out;
}

bool DecodeEnvelope(std::string_view wire, std::string &sender,
                    std::vector<std::string> &recipients) {
  recipients.clear();
  if (wire.size() > kMaxEnvelopeBytes) return false;
  WireReader in(wire);
  uint32_t count = in.Number(4);
  if (count == 0 || count - 1 > kMaxEnvelopeRecipients) return false;
  sender = in.Text(kMaxEnvelopeAddress);
  for (uint32_t i = 1; i < count && !in.Failed(); ++i)
    recipients.push_back(in.Text(kMaxEnvelopeAddress));
  return in.Whole();
}
