// Fuzz target for what the delivery agent's privileged side reads from its
// remote side (and the other way round): one channel message, and an
// envelope file. Whatever parses must keep to its fields' bounds and come
// back the same through the encoder: a message the privileged side acts on
// is exactly what the wire said.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "ZELDELIV/chanwire.h"

namespace {

void CheckMessage(std::string_view wire) {
  ChannelMessage m;
  if (!DecodeChannelMessage(wire, m)) return;
  for (const std::string &t : m.Texts)
    if (t.size() > kMaxDeadLetterReason) std::abort();
  if (EncodeChannelMessage(m) != wire) std::abort();
}

void CheckEnvelope(std::string_view wire) {
  std::string sender;
  std::vector<std::string> recipients;
  if (!DecodeEnvelope(wire, sender, recipients)) return;
  if (sender.size() > kMaxEnvelopeAddress || recipients.size() > kMaxEnvelopeRecipients)
    std::abort();
  for (const std::string &r : recipients)
    if (r.size() > kMaxEnvelopeAddress) std::abort();
  if (EncodeEnvelope(sender, recipients) != wire) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  std::string_view wire(reinterpret_cast<const char *>(data), size);
  CheckMessage(wire);
  CheckEnvelope(wire);
  return 0;
}
