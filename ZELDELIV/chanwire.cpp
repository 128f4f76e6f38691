// chanwire: see chanwire.h.
#include "ZELDELIV/chanwire.h"

#include <algorithm>

#include "common/wirefields.h"

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
    {ChannelKind::kGatewayPassword, {0, 0}, 0},
};

const KindShape *ShapeOf(uint8_t kind) {
  for (const KindShape &s : kShapes)
    if (static_cast<uint8_t>(s.Kind) == kind) return &s;
  return nullptr;
}

}  // namespace

std::string EncodeChannelMessage(const ChannelMessage &message) {
  const KindShape *shape = ShapeOf(static_cast<uint8_t>(message.Kind));
  size_t count = shape != nullptr ? std::min(shape->Texts, message.Texts.size()) : 0;
  std::string out;
  PutWireNumber(out, static_cast<uint8_t>(message.Kind), 1);
  PutWireNumber(out, message.Id, 4);
  PutWireNumber(out, message.Value, 4);
  PutWireNumber(out, static_cast<uint32_t>(count), 1);
  for (size_t i = 0; i < count; ++i) PutWireText(out, message.Texts[i], shape->TextBounds[i]);
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
  for (size_t i = 0; i < count && in.Ok(); ++i)
    message.Texts.push_back(in.Text(shape->TextBounds[i]));
  return in.Whole();
}

std::string EncodeEnvelope(const std::string &sender, const std::vector<std::string> &recipients) {
  std::string out;
  PutWireNumber(out, static_cast<uint32_t>(1 + recipients.size()), 4);
  PutWireText(out, sender, kMaxEnvelopeAddress);
  for (const std::string &r : recipients) PutWireText(out, r, kMaxEnvelopeAddress);
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
  for (uint32_t i = 1; i < count && in.Ok(); ++i)
    recipients.push_back(in.Text(kMaxEnvelopeAddress));
  return in.Whole();
}
