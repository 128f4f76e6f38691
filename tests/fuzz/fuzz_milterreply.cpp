// Fuzz target for what a mail filter sends back: the packet reader over a
// byte stream, the negotiation reply, the reply reader in each context, and
// the edits it collects applied to a stored message. The first byte picks
// the context and what was negotiated; the rest is the filter's stream.
// Whatever arrives, the reader must end in a bounded state (an answer or a
// protocol error), and edits it accepted must either apply or be refused,
// leaving a text that still ends with the "." line.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "common/milterproto.h"
#include "common/milterresult.h"

namespace {

const std::string kText =
    "Received: from a\r\n"
    "Subject: s\r\n"
    "\tfolded\r\n"
    "\r\n"
    "body\r\n"
    "..dot\r\n"
    ".\r\n";

constexpr size_t kMaxBody = 4096;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size == 0) return 0;
  const uint8_t mode = data[0];
  std::string_view stream(reinterpret_cast<const char *>(data) + 1, size - 1);
  MilterReplyContext context = static_cast<MilterReplyContext>(mode & 3);
  MilterOptions options;
  options.Version = 6;
  options.Actions = (mode & 4) != 0 ? kMilterActionsOffered : kMilterActAddHeaders;
  options.Protocol = (mode & 8) != 0 ? kMilterHeaderLeadingSpace : 0;

  MilterReplyReader reader(context, options, kMaxBody);
  MilterReplyStatus status = MilterReplyStatus::More;
  bool first = true;
  while (!stream.empty() && status != MilterReplyStatus::Done && status != MilterReplyStatus::Bad) {
    MilterPacket packet;
    size_t used = 0;
    MilterPacketStatus taken = TakeMilterPacket(stream, &packet, &used);
    if (taken != MilterPacketStatus::Packet) break;
    if (used > stream.size() || packet.Data.size() + 5 != used) std::abort();
    if (first) {
      MilterOptions negotiated;
      std::string error;
      if (ParseMilterNegotiation(packet.Data, &negotiated, &error) &&
          ((negotiated.Actions & ~kMilterActionsOffered) != 0 ||
           (negotiated.Protocol & ~kMilterProtocolOffered) != 0))
        std::abort();
      first = false;
    }
    std::string error;
    status = reader.Take(packet, &error);
    if (status == MilterReplyStatus::Bad && error.empty()) std::abort();
    stream.remove_prefix(used);
  }
  const MilterChanges &c = reader.Changes;
  if (c.Text.Body.size() > kMaxBody || c.QuarantineReason.size() > kMaxMilterQuarantineReason)
    std::abort();
  if (context != MilterReplyContext::EndOfMessage && !c.Empty()) std::abort();
  if (status == MilterReplyStatus::Done && !reader.Reply.empty()) {
    if (reader.Reply.size() < 5 || reader.Reply.substr(reader.Reply.size() - 2) != "\r\n")
      std::abort();
  }
  // Applied edits end in a text that splits again, and header edits never
  // reach into the body (no forged empty line, no field spilling over).
  std::string out, error;
  if (ApplyMilterEdits(kText, {c.Text}, &out, &error)) {
    MessageTextLayout before, after;
    if (!SplitMessageText(kText, &before, &error) || !SplitMessageText(out, &after, &error))
      std::abort();
    if (!c.Text.bReplaceBody &&
        std::string_view(out).substr(after.HeaderEnd) != std::string_view(kText).substr(before.HeaderEnd))
      std::abort();
  }
  return 0;
}
