// mailboxdir: see mailboxdir.h.
#include "platform/mailboxdir.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <deque>
#include <vector>

#include "platform/errors.h"
#include "platform/sysinfo.h"

namespace {

constexpr size_t kMaxLinkTarget = 4096;
// Temporary names tried before a copy gives up.
constexpr int kTempNameAttempts = 10;
constexpr size_t kCopyChunk = 65536;

// Takes the owner's file-system identity for the life of the object when
// the owner is a host account; otherwise the process's own stays.
class AsOwner {
 public:
  explicit AsOwner(const LogonToken &owner) {
    if (owner.bValid && owner.bHostAccount) ok_ = guard_.Begin(owner);
  }
  bool Ok() const { return ok_; }

 private:
  ImpersonationGuard guard_;
  bool ok_ = true;
};

uid_t OwnerUid(const LogonToken &owner) {
  return owner.bValid && owner.bHostAccount ? owner.Uid : geteuid();
}

bool Fail(long error) {
  SetLastError(error);
  return false;
}

// One plain name of the directory: no "/", not "." or "..".
bool IsPlainName(std::string_view name) {
  return !name.empty() && name != "." && name != ".." &&
         name.find('/') == std::string_view::npos && name.find('\0') == std::string_view::npos;
}

std::vector<std::string> Components(std::string_view path) {
  std::vector<std::string> out;
  while (!path.empty()) {
    size_t slash = path.find('/');
    std::string_view part = path.substr(0, slash);
    if (!part.empty() && part != ".") out.emplace_back(part);
    if (slash == std::string_view::npos) break;
    path.remove_prefix(slash + 1);
  }
  return out;
}

// Root's and the owner's directories are trusted; nobody else's.
long CheckDirectory(int fd, uid_t owner, uid_t &dirOwner) {
  struct stat st;
  if (fstat(fd, &st) != 0) return errno;
  if (!S_ISDIR(st.st_mode)) return ENOTDIR;
  if (st.st_uid != 0 && st.st_uid != owner) return ERROR_MAILBOX_NOT_OWNED;
  dirOwner = st.st_uid;
  return ERROR_SUCCESS;
}

long OpenRoot(UniqueFd &dir, uid_t owner, uid_t &dirOwner) {
  dir.Reset(open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!dir.Valid()) return errno;
  return CheckDirectory(dir.Get(), owner, dirOwner);
}

// What stands at name when it could not be opened as a directory: a
// link that root made in a directory of root's gives its target; any
// other link ELOOP; anything else the open's own error.
long LinkTarget(int dir, uid_t dirOwner, const std::string &name, long openError,
                std::string &target) {
  struct stat st;
  if (fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISLNK(st.st_mode))
    return openError;
  if (dirOwner != 0 || st.st_uid != 0) return ELOOP;
  std::vector<char> buf(kMaxLinkTarget + 1);
  ssize_t n = readlinkat(dir, name.c_str(), buf.data(), kMaxLinkTarget);
  if (n <= 0 || static_cast<size_t>(n) >= kMaxLinkTarget) return ELOOP;
  target.assign(buf.data(), static_cast<size_t>(n));
  return ERROR_SUCCESS;
}

// Opens one component below dir, making it when asked.
int OpenComponent(int dir, const std::string &name, bool create) {
  const int flags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
  int fd = openat(dir, name.c_str(), flags);
  if (fd >= 0 || errno != ENOENT || !create) return fd;
  if (mkdirat(dir, name.c_str(), kMailboxDirectoryMode) != 0 && errno != EEXIST) return -1;
  return openat(dir, name.c_str(), flags);
}

long Walk(const std::string &path, uid_t owner, bool create, UniqueFd &out) {
  if (path.empty() || path.front() != '/') return EINVAL;
  std::vector<std::string> first = Components(path);
  std::deque<std::string> todo(first.begin(), first.end());
  UniqueFd dir;
  uid_t dirOwner = 0;
  long rc = OpenRoot(dir, owner, dirOwner);
  int links = 0, steps = 0;
  while (rc == ERROR_SUCCESS && !todo.empty()) {
    if (++steps > kMaxMailboxPathComponents) return ELOOP;
    std::string name = std::move(todo.front());
    todo.pop_front();
    UniqueFd next(OpenComponent(dir.Get(), name, create));
    if (next.Valid()) {
      rc = CheckDirectory(next.Get(), owner, dirOwner);
      dir = std::move(next);
      continue;
    }
    rc = errno;
    std::string target;
    if (rc != ELOOP && rc != ENOTDIR) return rc;
    rc = LinkTarget(dir.Get(), dirOwner, name, rc, target);
    if (rc != ERROR_SUCCESS) return rc;
    if (++links > kMaxMailboxPathLinks) return ELOOP;
    std::vector<std::string> more = Components(target);
    todo.insert(todo.begin(), more.begin(), more.end());
    rc = target.front() == '/' ? OpenRoot(dir, owner, dirOwner) : ERROR_SUCCESS;
  }
  if (rc == ERROR_SUCCESS) out = std::move(dir);
  return rc;
}

// A name for a file that only this writer uses until it is renamed.
std::string TempName() {
  unsigned char bytes[8] = {};
  if (!GetRandomBytes(bytes, sizeof bytes)) {
    static std::atomic<unsigned> counter{0};
    unsigned n = counter++ ^ static_cast<unsigned>(getpid());
    for (unsigned char &b : bytes) b = static_cast<unsigned char>(n >>= 3);
  }
  static const char kHex[] = "0123456789abcdef";
  std::string name = ".zelcopy-";
  for (unsigned char b : bytes) {
    name += kHex[b >> 4];
    name += kHex[b & 15];
  }
  return name;
}

int CreateTemp(int dir, std::string &name) {
  for (int attempt = 0; attempt < kTempNameAttempts; ++attempt) {
    name = TempName();
    int fd = openat(dir, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                    kMailboxFileMode);
    if (fd >= 0 || errno != EEXIST) return fd;
  }
  errno = EAGAIN;   // not EEXIST: that would mean the final name is taken
  return -1;
}

bool WriteAll(int fd, const char *data, size_t size) {
  while (size > 0) {
    ssize_t n = write(fd, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

bool CopyFrom(int source, int out) {
  std::vector<char> buf(kCopyChunk);
  for (off_t at = 0;;) {
    ssize_t n = pread(source, buf.data(), buf.size(), at);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) return true;
    if (!WriteAll(out, buf.data(), static_cast<size_t>(n))) return false;
    at += n;
  }
}

// Writes a temporary file with fill, makes it durable, then names it with
// place (link or rename). The temporary name never outlives the call.
template <typename Fill, typename Place>
bool WriteThenName(int dir, Fill fill, Place place) {
  std::string temp;
  UniqueFd out(CreateTemp(dir, temp));
  if (!out.Valid()) return Fail(errno);
  bool ok = fill(out.Get()) && fdatasync(out.Get()) == 0;
  long error = errno;
  out.Reset();
  if (ok) {
    ok = place(temp);
    error = errno;
  }
  unlinkat(dir, temp.c_str(), 0);
  // The name must last before the caller counts on it.
  if (ok && fsync(dir) != 0) {
    ok = false;
    error = errno;
  }
  return ok || Fail(error);
}

}  // namespace

int OpenRegularFileAt(int dir, const char *name, bool append, mode_t mode) {
  int flags = O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK |
              (append ? O_WRONLY | O_APPEND | O_CREAT : O_RDONLY);
  UniqueFd fd(openat(dir, name, flags, mode));
  if (!fd.Valid()) {
    SetLastError(errno);
    return -1;
  }
  struct stat st;
  if (fstat(fd.Get(), &st) != 0 || !S_ISREG(st.st_mode)) {
    SetLastError(EINVAL);
    return -1;
  }
  // Regular files ignore O_NONBLOCK; it was there only so that a FIFO could
  // not hold the open.
  fcntl(fd.Get(), F_SETFL, fcntl(fd.Get(), F_GETFL) & ~O_NONBLOCK);
  return fd.Release();
}

long MailboxDir::Open(const std::string &path, const LogonToken &owner, bool create) {
  fd_.Reset();
  path_ = path;
  owner_ = owner;
  AsOwner as(owner_);
  if (!as.Ok()) return GetLastError();
  UniqueFd dir;
  long rc = Walk(path, OwnerUid(owner_), create, dir);
  if (rc == ERROR_SUCCESS) fd_ = std::move(dir);
  SetLastError(rc);
  return rc;
}

int MailboxDir::OpenFile(std::string_view name, bool append) const {
  if (!IsPlainName(name)) {
    SetLastError(EINVAL);
    return -1;
  }
  AsOwner as(owner_);
  if (!as.Ok()) return -1;
  return OpenRegularFileAt(fd_.Get(), std::string(name).c_str(), append, kMailboxFileMode);
}

bool MailboxDir::FileExists(std::string_view name) const {
  if (!IsPlainName(name)) return false;
  AsOwner as(owner_);
  struct stat st;
  return as.Ok() && fstatat(fd_.Get(), std::string(name).c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
         S_ISREG(st.st_mode);
}

bool MailboxDir::CopyFileIn(int source, std::string_view name) const {
  if (!IsPlainName(name)) return Fail(EINVAL);
  AsOwner as(owner_);
  if (!as.Ok()) return false;
  std::string target(name);
  int dir = fd_.Get();
  return WriteThenName(
      dir, [source](int out) { return CopyFrom(source, out); },
      [dir, &target](const std::string &temp) {
        return linkat(dir, temp.c_str(), dir, target.c_str(), 0) == 0;
      });
}

bool MailboxDir::StageCopy(int source, StagedCopy &copy) const {
  AsOwner as(owner_);
  if (!as.Ok()) return false;
  int dir = fd_.Get();
  std::string temp;
  UniqueFd out(openat(dir, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, kMailboxFileMode));
  if (!out.Valid() && (errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL))
    out.Reset(CreateTemp(dir, temp));
  if (!out.Valid()) return Fail(errno);
  UniqueFd dirCopy(fcntl(dir, F_DUPFD_CLOEXEC, 0));
  if (!CopyFrom(source, out.Get()) || !dirCopy.Valid()) {
    long error = errno;
    if (!temp.empty()) unlinkat(dir, temp.c_str(), 0);
    return Fail(error);
  }
  copy.dir_ = std::move(dirCopy);
  copy.file_ = std::move(out);
  copy.owner_ = owner_;
  copy.temp_ = std::move(temp);
  return true;
}

StagedCopy::~StagedCopy() {
  if (!temp_.empty() && dir_.Valid()) unlinkat(dir_.Get(), temp_.c_str(), 0);
}

bool NameStagedCopy(StagedCopy &copy, std::string_view name) {
  if (!IsPlainName(name) || !copy.file_.Valid()) return Fail(EINVAL);
  AsOwner as(copy.owner_);
  if (!as.Ok()) return false;
  std::string target(name);
  int dir = copy.dir_.Get();
  // linkat() never replaces a name; a nameless file is linked through its
  // descriptor.
  bool ok;
  if (!copy.temp_.empty()) {
    ok = linkat(dir, copy.temp_.c_str(), dir, target.c_str(), 0) == 0;
  } else {
    std::string self = "/proc/self/fd/" + std::to_string(copy.file_.Get());
    ok = linkat(AT_FDCWD, self.c_str(), dir, target.c_str(), AT_SYMLINK_FOLLOW) == 0;
  }
  return ok || Fail(errno);
}

void UnnameStagedCopy(const StagedCopy &copy, std::string_view name) {
  if (!IsPlainName(name) || !copy.dir_.Valid()) return;
  unlinkat(copy.dir_.Get(), std::string(name).c_str(), 0);
}

bool MailboxDir::ReplaceFile(std::string_view name, std::string_view text) const {
  if (!IsPlainName(name)) return Fail(EINVAL);
  AsOwner as(owner_);
  if (!as.Ok()) return false;
  std::string target(name);
  int dir = fd_.Get();
  return WriteThenName(
      dir, [text](int out) { return WriteAll(out, text.data(), text.size()); },
      [dir, &target](const std::string &temp) {
        return renameat(dir, temp.c_str(), dir, target.c_str()) == 0;
      });
}
