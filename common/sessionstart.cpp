// sessionstart: see sessionstart.h. A record is a version byte, the
// numbers (listener kind, flags, seconds left; 32 bits, little-endian),
// then each text field as a 16-bit length and its bytes, in the order of
// the struct.
#include "common/sessionstart.h"

namespace {

constexpr uint8_t kVersion = 1;
constexpr uint32_t kFlagEncrypted = 1, kFlagTlsAvailable = 2;

void PutNumber(std::string &out, uint32_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) out.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
}

void PutField(std::string &out, std::string_view field, size_t bound) {
  field = field.substr(0, bound);
  PutNumber(out, static_cast<uint32_t>(field.size()), 2);
  out.append(field);
}

// A reader with a sticky failure: once it runs short, every later read
// fails too, and the caller checks once.
struct Reader {
  std::string_view In;
  bool Ok = true;

  uint32_t Number(int bytes) {
    if (!Ok || In.size() < static_cast<size_t>(bytes)) {
      Ok = false;
      return 0;
    }
    uint32_t value = 0;
    for (int i = 0; i < bytes; ++i)
      value |= static_cast<uint32_t>(static_cast<unsigned char>(In[i])) << (8 * i);
    In.remove_prefix(static_cast<size_t>(bytes));
    return value;
  }
  std::string Field(size_t bound) {
    size_t n = Number(2);
    if (!Ok || n > bound || In.size() < n) {
      Ok = false;
      return std::string();
    }
    std::string out(In.substr(0, n));
    In.remove_prefix(n);
    return out;
  }
};

}  // namespace

std::string EncodeSessionStart(const SessionStart &s) {
  std::string out;
  out.push_back(static_cast<char>(kVersion));
  PutNumber(out, s.ListenerKind, 4);
  PutNumber(out, (s.bEncrypted ? kFlagEncrypted : 0) | (s.bTlsAvailable ? kFlagTlsAvailable : 0),
            4);
  PutNumber(out, s.MsLeft, 4);
  for (const std::string *f : {&s.Protocol, &s.UserName, &s.LogonCommand, &s.PeerAddress,
                               &s.LocalAddress, &s.LocalHostName})
    PutField(out, *f, kMaxSessionField);
  PutField(out, s.PendingInput, kMaxSessionPendingInput);
  return out;
}

bool DecodeSessionStart(std::string_view wire, SessionStart &s) {
  s = SessionStart();
  Reader r{wire};
  if (r.Number(1) != kVersion) return false;
  s.ListenerKind = r.Number(4);
  uint32_t flags = r.Number(4);
  s.MsLeft = r.Number(4);
  for (std::string *f : {&s.Protocol, &s.UserName, &s.LogonCommand, &s.PeerAddress,
                         &s.LocalAddress, &s.LocalHostName})
    *f = r.Field(kMaxSessionField);
  s.PendingInput = r.Field(kMaxSessionPendingInput);
  s.bEncrypted = (flags & kFlagEncrypted) != 0;
  s.bTlsAvailable = (flags & kFlagTlsAvailable) != 0;
  if (!r.Ok || !r.In.empty() || (flags & ~(kFlagEncrypted | kFlagTlsAvailable)) != 0) {
    s = SessionStart();
    return false;
  }
  return true;
}
