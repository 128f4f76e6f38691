// sessionstart: see sessionstart.h. A record is a version byte, the
// numbers (listener kind, flags, seconds left; 32 bits, little-endian),
// then each text field as a 16-bit length and its bytes, in the order of
// the struct.
#include "common/sessionstart.h"

#include "common/wirefields.h"

namespace {

constexpr uint8_t kVersion = 1;
constexpr uint32_t kFlagEncrypted = 1, kFlagTlsAvailable = 2;

}  // namespace

std::string EncodeSessionStart(const SessionStart &s) {
  std::string out;
  out.push_back(static_cast<char>(kVersion));
  PutWireNumber(out, s.ListenerKind, 4);
  PutWireNumber(out, (s.bEncrypted ? kFlagEncrypted : 0) | (s.bTlsAvailable ? kFlagTlsAvailable : 0),
                4);
  PutWireNumber(out, s.MsLeft, 4);
  for (const std::string *f : {&s.Protocol, &s.UserName, &s.LogonCommand, &s.PeerAddress,
                               &s.LocalAddress, &s.LocalHostName})
    PutWireText(out, *f, kMaxSessionField);
  PutWireText(out, s.PendingInput, kMaxSessionPendingInput);
  return out;
}

bool DecodeSessionStart(std::string_view wire, SessionStart &s) {
  s = SessionStart();
  WireReader r(wire);
  if (r.Number(1) != kVersion) return false;
  s.ListenerKind = r.Number(4);
  uint32_t flags = r.Number(4);
  s.MsLeft = r.Number(4);
  for (std::string *f : {&s.Protocol, &s.UserName, &s.LogonCommand, &s.PeerAddress,
                         &s.LocalAddress, &s.LocalHostName})
    *f = r.Text(kMaxSessionField);
  s.PendingInput = r.Text(kMaxSessionPendingInput);
  s.bEncrypted = (flags & kFlagEncrypted) != 0;
  s.bTlsAvailable = (flags & kFlagTlsAvailable) != 0;
  if (!r.Whole() || (flags & ~(kFlagEncrypted | kFlagTlsAvailable)) != 0) {
    s = SessionStart();
    return false;
  }
  return true;
}
