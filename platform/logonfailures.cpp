// logonfailures: see logonfailures.h. A slot is 32 bytes: the network (8
// bytes: an IPv4 address, or the /64 of an IPv6 one), its family, the
// failures counted in the window, the window's start and the end of its
// block (seconds). A network's slot is found by hashing the network and
// probing kProbe neighbours; a missing one takes a free neighbour, else
// the one whose last news is oldest.
#include "platform/logonfailures.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstring>
#include <mutex>

#include "platform/files.h"
#include "platform/root.h"

namespace {

constexpr uint32_t kProbe = 16;
constexpr mode_t kFileMode = 0600;

struct Slot {
  uint8_t Network[8];
  uint8_t Family;      // 0: free
  uint8_t Pad[3];
  uint32_t Count;
  int64_t WindowStart;
  int64_t BlockedUntil;
};
static_assert(sizeof(Slot) == 32, "the file's slots are 32 bytes");

std::mutex &ProcessLock() {
  static std::mutex *lock = new std::mutex;
  return *lock;
}

void NetworkOf(const IpAddress &client, Slot &key) {
  memset(&key, 0, sizeof key);
  key.Family = client.IsV4() ? 4 : 6;
  // An IPv6 network's bits beyond the prefix are zero: its first 8 bytes
  // name it.
  IpAddress net = AddressPrefix(client, kSubscriberPrefixLengthV6);
  memcpy(key.Network, net.Bytes, client.IsV4() ? 4 : 8);
}

uint32_t Hash(const Slot &key) {
  uint32_t h = 2166136261u;   // FNV-1a
  for (uint8_t b : key.Network) h = (h ^ b) * 16777619u;
  return (h ^ key.Family) * 16777619u;
}

bool SameNetwork(const Slot &a, const Slot &b) {
  return a.Family == b.Family && memcmp(a.Network, b.Network, sizeof a.Network) == 0;
}

// The open, locked file; released when it leaves scope.
class LockedFile {
 public:
  LockedFile() {
    std::string path = LogonFailureFilePath();
    fd_.Reset(open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, kFileMode));
    if (!fd_.Valid()) return;
    struct stat st;
    if (fstat(fd_.Get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_nlink != 1 ||
        st.st_uid != geteuid() || flock(fd_.Get(), LOCK_EX) != 0)
      fd_.Reset();
  }
  ~LockedFile() {
    if (fd_.Valid()) flock(fd_.Get(), LOCK_UN);
  }
  bool Valid() const { return fd_.Valid(); }
  int Get() const { return fd_.Get(); }

 private:
  UniqueFd fd_;
};

bool ReadSlot(int fd, uint32_t index, Slot &slot) {
  ssize_t n = pread(fd, &slot, sizeof slot, static_cast<off_t>(index) * sizeof slot);
  if (n == sizeof slot) return true;
  memset(&slot, 0, sizeof slot);   // beyond the end: free
  return n >= 0;
}

bool WriteSlot(int fd, uint32_t index, const Slot &slot) {
  return pwrite(fd, &slot, sizeof slot, static_cast<off_t>(index) * sizeof slot) == sizeof slot;
}

// The slot of key's network (found, or the one to take); false when the
// file cannot be read.
bool FindSlot(int fd, const Slot &key, uint32_t &index, Slot &slot, bool &found) {
  uint32_t start = Hash(key) % kLogonFailureSlots;
  int64_t oldest = INT64_MAX;
  found = false;
  for (uint32_t i = 0; i < kProbe; ++i) {
    uint32_t at = (start + i) % kLogonFailureSlots;
    Slot s;
    if (!ReadSlot(fd, at, s)) return false;
    if (s.Family != 0 && SameNetwork(s, key)) {
      index = at;
      slot = s;
      found = true;
      return true;
    }
    int64_t news = s.Family == 0 ? INT64_MIN : std::max(s.WindowStart, s.BlockedUntil);
    if (news < oldest) {
      oldest = news;
      index = at;
    }
  }
  slot = key;
  return true;
}

}  // namespace

std::string LogonFailureFilePath() { return StateDirectory() + "/logonfail"; }

namespace {

// The slot of client's network, with the file locked, handed to work
// (slot, found, file descriptor, slot index); false when accounting is off
// or the file cannot be used.
template <typename Work>
bool WithSlot(const IpAddress &client, const LogonFailurePolicy &policy, Work work) {
  if (policy.Limit == 0 || !client.Valid()) return false;
  std::lock_guard<std::mutex> guard(ProcessLock());
  LockedFile file;
  if (!file.Valid()) return false;
  Slot key, slot;
  NetworkOf(client, key);
  uint32_t index = 0;
  bool found = false;
  return FindSlot(file.Get(), key, index, slot, found) && work(key, slot, found, file.Get(), index);
}

}  // namespace

bool LogonsBlocked(const IpAddress &client, const LogonFailurePolicy &policy, long long now) {
  return WithSlot(client, policy, [&](const Slot &, const Slot &slot, bool found, int, uint32_t) {
    return found && slot.BlockedUntil > now;
  });
}

bool RecordLogonFailure(const IpAddress &client, const LogonFailurePolicy &policy,
                        long long now) {
  return WithSlot(client, policy, [&](const Slot &key, Slot slot, bool found, int fd,
                                      uint32_t index) {
    if (!found || now - slot.WindowStart >= static_cast<int64_t>(policy.WindowSeconds)) {
      int64_t blocked = found ? slot.BlockedUntil : 0;
      slot = key;
      slot.WindowStart = now;
      slot.BlockedUntil = blocked;
    }
    ++slot.Count;
    bool blocks = slot.Count >= policy.Limit && slot.BlockedUntil <= now;
    if (blocks) slot.BlockedUntil = now + policy.WindowSeconds;
    (void)WriteSlot(fd, index, slot);
    return blocks;
  });
}
