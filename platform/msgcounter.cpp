// msgcounter: see msgcounter.h.
#include "platform/msgcounter.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>
#include <cstring>
#include <functional>

#include "platform/files.h"
#include "platform/namedmutex.h"
#include "platform/root.h"

namespace {

constexpr char kMagic[8] = {'Z', 'E', 'L', 'M', 'S', 'G', 'I', 'D'};
constexpr uint32_t kFlagPresent = 1;
constexpr DWORD kMaxMsgNumber = 0xFFFFFFFF;
// The file and its directory are their owner's alone.
constexpr mode_t kStoreMode = 0600;
constexpr mode_t kStoreDirectoryMode = 0700;

std::string StoreDirectory() {
  const std::string path = MsgCounterPath();
  return path.substr(0, path.rfind('/'));
}

// One record as it lies in the file.
struct Record {
  char magic[8];
  uint64_t sequence;
  uint32_t last;
  uint32_t epoch;
  uint32_t flags;
  uint32_t check;
};
static_assert(sizeof(Record) == kMsgCounterRecordSize, "a record has no padding");

// FNV-1a over the record up to its checksum: enough to tell a whole record
// from a torn or foreign one, which is all it is for.
uint32_t CheckOf(const Record &r) {
  const unsigned char *p = reinterpret_cast<const unsigned char *>(&r);
  uint32_t h = 2166136261u;
  for (size_t i = 0; i < offsetof(Record, check); ++i) h = (h ^ p[i]) * 16777619u;
  return h;
}

bool DecodeRecord(std::string_view bytes, MsgCounter *out) {
  if (bytes.size() < sizeof(Record)) return false;
  Record r;
  std::memcpy(&r, bytes.data(), sizeof r);
  if (std::memcmp(r.magic, kMagic, sizeof kMagic) != 0 || r.check != CheckOf(r) ||
      (r.flags & ~kFlagPresent) != 0 || r.sequence == 0)
    return false;
  out->present = (r.flags & kFlagPresent) != 0;
  out->last = out->present ? r.last : 0;
  out->epoch = r.epoch;
  out->sequence = r.sequence;
  return true;
}

Record EncodeRecord(const MsgCounter &c) {
  Record r{};
  std::memcpy(r.magic, kMagic, sizeof kMagic);
  r.sequence = c.sequence;
  r.last = c.present ? c.last : 0;
  r.epoch = c.epoch;
  r.flags = c.present ? kFlagPresent : 0;
  r.check = CheckOf(r);
  return r;
}

size_t SlotOffset(uint64_t sequence) { return sequence % 2 == 0 ? 0 : kMsgCounterSlotOffset; }

// Opens the store. The file may have been written by the service account:
// never through a link, never a FIFO, only a regular file. With create, a
// missing file is made (*created tells).
long OpenStore(bool create, UniqueFd &fd, bool *created) {
  const std::string path = MsgCounterPath();
  const int flags = (create ? O_RDWR : O_RDONLY) | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
  *created = false;
  fd.Reset(open(path.c_str(), flags));
  if (!fd.Valid() && errno == ENOENT && create) {
    if (!CreateDirectoryPath(StoreDirectory(), kStoreDirectoryMode)) return GetLastError();
    fd.Reset(open(path.c_str(), flags | O_CREAT | O_EXCL, kStoreMode));
    *created = fd.Valid();
    if (!fd.Valid() && errno == EEXIST) fd.Reset(open(path.c_str(), flags));
  }
  if (!fd.Valid()) return errno;
  struct stat st;
  if (fstat(fd.Get(), &st) != 0) return errno;
  if (!S_ISREG(st.st_mode)) return EINVAL;
  // A writer (root among them) never writes through a second name that the
  // directory's owner may have planted.
  if (create && CheckSoleRegularFile(fd.Get()) != 0) return EMLINK;
  if (create) GiveToDirectoryOwner(fd.Get(), StoreDirectory());
  if (st.st_size == 0) *created = true;   // never written: its name may not be durable yet
  return ERROR_SUCCESS;
}

long ReadStore(int fd, MsgCounter *counter) {
  char bytes[kMsgCounterFileSize];
  size_t got = 0;
  while (got < sizeof bytes) {
    ssize_t n = pread(fd, bytes + got, sizeof bytes - got, static_cast<off_t>(got));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return errno;
    if (n == 0) break;
    got += static_cast<size_t>(n);
  }
  return DecodeMsgCounter(std::string_view(bytes, got), counter);
}

long WriteStore(int fd, const MsgCounter &next) {
  Record r = EncodeRecord(next);
  off_t at = static_cast<off_t>(SlotOffset(next.sequence));
  ssize_t n;
  do {
    n = pwrite(fd, &r, sizeof r, at);
  } while (n < 0 && errno == EINTR);
  if (n != static_cast<ssize_t>(sizeof r)) return n < 0 ? errno : ERROR_DISK_FULL;
  if (fdatasync(fd) != 0) return errno;
  return ERROR_SUCCESS;
}

// The change step of a writer: from the counter as stored (damaged: false
// for readable) to the one to store. Returns an error to store nothing.
typedef std::function<long(const MsgCounter &now, bool readable, MsgCounter &next)> Change;

// Under the mutex: read, change, write and sync, and for a file that was
// never written before, sync its directory entry too.
long Update(DWORD timeoutMs, const Change &change) {
  NamedMutexLock mutex;
  DWORD wait = mutex.Wait(kMsgCounterMutex, timeoutMs);
  if (wait == WAIT_TIMEOUT) return ERROR_TIMEOUT;
  if (wait != WAIT_OBJECT_0) return GetLastError();
  UniqueFd fd;
  bool fresh = false;
  long rc = OpenStore(true, fd, &fresh);
  if (rc != ERROR_SUCCESS) return rc;
  MsgCounter now;
  rc = ReadStore(fd.Get(), &now);
  if (rc != ERROR_SUCCESS && rc != ERROR_INVALID_DATA) return rc;
  MsgCounter next;
  rc = change(now, rc == ERROR_SUCCESS, next);
  if (rc != ERROR_SUCCESS) return rc;
  next.sequence = now.sequence + 1;
  rc = WriteStore(fd.Get(), next);
  // The directory may be new too. The service account, which may not read
  // the directory above, never creates its own: root made it durable.
  if (rc == ERROR_SUCCESS && fresh && !SyncDirectory(StoreDirectory())) rc = GetLastError();
  const std::string above = StoreDirectory().substr(0, StoreDirectory().rfind('/'));
  if (rc == ERROR_SUCCESS && fresh && !SyncDirectory(above) && GetLastError() != EACCES)
    rc = GetLastError();
  return rc;
}

}  // namespace

long DecodeMsgCounter(std::string_view file, MsgCounter *counter) {
  *counter = MsgCounter{};
  if (file.empty()) return ERROR_SUCCESS;   // never written
  if (file.size() > kMsgCounterFileSize) file = file.substr(0, kMsgCounterFileSize);
  MsgCounter a, b;
  bool haveA = DecodeRecord(file, &a);
  bool haveB = file.size() > kMsgCounterSlotOffset &&
               DecodeRecord(file.substr(kMsgCounterSlotOffset), &b);
  if (!haveA && !haveB) return ERROR_INVALID_DATA;
  *counter = !haveB || (haveA && a.sequence > b.sequence) ? a : b;
  return ERROR_SUCCESS;
}

long ReadMsgCounter(MsgCounter *counter) {
  *counter = MsgCounter{};
  UniqueFd fd;
  bool fresh = false;
  long rc = OpenStore(false, fd, &fresh);
  if (rc == ENOENT) return ERROR_SUCCESS;   // never written
  if (rc != ERROR_SUCCESS) return rc;
  return ReadStore(fd.Get(), counter);
}

long MsgCounterReader::Read(MsgCounter *counter) {
  *counter = MsgCounter{};
  struct stat st;
  if (!fd_.Valid() || fstat(fd_.Get(), &st) != 0 || st.st_nlink == 0) {
    bool fresh = false;
    long rc = OpenStore(false, fd_, &fresh);
    if (rc != ERROR_SUCCESS) fd_.Reset();
    if (rc == ENOENT) return ERROR_SUCCESS;   // never written
    if (rc != ERROR_SUCCESS) return rc;
  }
  return ReadStore(fd_.Get(), counter);
}

long ReserveMsgIds(DWORD count, DWORD timeoutMs, DWORD *first, DWORD *last, uint32_t *epoch) {
  if (count == 0) return ERROR_INVALID_PARAMETER;
  return Update(timeoutMs, [&](const MsgCounter &now, bool readable, MsgCounter &next) {
    if (!readable) return ERROR_INVALID_DATA;
    DWORD start = now.last == kMaxMsgNumber ? 1 : now.last + 1;
    DWORD room = kMaxMsgNumber - start;   // identifiers after start in this round
    *first = start;
    *last = start + (count - 1 < room ? count - 1 : room);
    *epoch = now.epoch;
    next = MsgCounter{true, *last, now.epoch, 0};
    return ERROR_SUCCESS;
  });
}

long SetMsgCounter(bool present, DWORD value, DWORD timeoutMs, const MsgCounter *seen) {
  return Update(timeoutMs, [&](const MsgCounter &now, bool readable, MsgCounter &next) {
    next = MsgCounter{present, present ? value : 0, now.epoch + 1, 0};
    const bool movedOn = seen != nullptr && readable && now.sequence != seen->sequence;
    if (movedOn && now.present && (!present || value < now.last)) next.last = now.last;
    next.present = next.present || (movedOn && now.present);
    return ERROR_SUCCESS;
  });
}

long EnsureMsgCounter(DWORD timeoutMs) {
  UniqueFd fd;
  bool fresh = false;
  if (OpenStore(false, fd, &fresh) == ERROR_SUCCESS && !fresh) {
    NamedMutexLock mutex;   // creates the mutex's file when missing
    DWORD wait = mutex.Wait(kMsgCounterMutex, timeoutMs);
    if (wait == WAIT_OBJECT_0) return ERROR_SUCCESS;
    return wait == WAIT_TIMEOUT ? ERROR_TIMEOUT : GetLastError();
  }
  return Update(timeoutMs, [&](const MsgCounter &now, bool readable, MsgCounter &next) {
    // Someone else may have written it meanwhile: that value stays.
    next = readable ? now : MsgCounter{};
    return readable ? ERROR_SUCCESS : ERROR_INVALID_DATA;
  });
}
