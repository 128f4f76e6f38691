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
#include "platform/fileview.h"
#include "platform/sysinfo.h"

namespace {

constexpr size_t kMaxLinkTarget = 4096;
// Temporary names tried before a copy gives up.
constexpr int kTempNameAttempts = 10;
constexpr size_t kCopyChunk = 65536;

// Takes the owner's identity for the life of the object (nothing when it
// is the process's own).
class AsOwner {
 public:
  explicit AsOwner(const LogonToken &owner) { ok_ = guard_.Begin(owner); }
  bool Ok() const { return ok_; }

 private:
  ImpersonationGuard guard_;
  bool ok_ = true;
};

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

// Where the walk stands: the directory and what it is.
struct Place {
  UniqueFd Fd;
  uid_t Owner = 0;
  mode_t Mode = 0;
};

// How the walk makes what is missing. Directories the owner may write are
// made as the owner. In a directory of root's, where a mail user may not
// write, root makes them (when the process is root): the mailbox itself is
// given to its owner, the directories above it (the common root) stay
// root's and only passable.
struct WalkRules {
  const LogonToken *Owner = nullptr;   // with an identity
  bool Create = false;
  bool RootMakes = false;              // the process is root
  bool LastIsMailbox = true;           // false: the last component is a root too
};

// Root's and the owner's directories are trusted; nobody else's.
long CheckDirectory(int fd, uid_t owner, Place &place) {
  struct stat st;
  if (fstat(fd, &st) != 0) return errno;
  if (!S_ISDIR(st.st_mode)) return ENOTDIR;
  if (st.st_uid != 0 && st.st_uid != owner) return ERROR_MAILBOX_NOT_OWNED;
  place.Owner = st.st_uid;
  place.Mode = st.st_mode;
  return ERROR_SUCCESS;
}

long OpenRoot(Place &place, uid_t owner) {
  place.Fd.Reset(open("/", O_PATH | O_DIRECTORY | O_CLOEXEC));
  if (!place.Fd.Valid()) return errno;
  return CheckDirectory(place.Fd.Get(), owner, place);
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

constexpr int kDirectoryOpenFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
// The walk passes through directories it may only search (the common root
// is 0711): a path descriptor needs no read permission, only the search
// permission every lookup still checks. The directory at the end of the
// walk is opened for real.
constexpr int kWalkOpenFlags = O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

// Only root can rename the entries of a directory of root's that neither
// its group nor others may write, or that is sticky: a directory root
// makes there stays the one it made.
bool OnlyRootRenames(const Place &dir) {
  return dir.Owner == 0 && ((dir.Mode & (S_IWGRP | S_IWOTH)) == 0 || (dir.Mode & S_ISVTX) != 0);
}

// Makes name in dir as the process (root), then gives it to uid:gid with
// mode through its descriptor, never by name. One made meanwhile by
// someone else is only opened: the walk then judges whose it is.
int MakeDirectoryAsProcess(int dir, const std::string &name, uid_t uid, gid_t gid, mode_t mode) {
  if (mkdirat(dir, name.c_str(), mode) != 0)
    return errno == EEXIST ? openat(dir, name.c_str(), kDirectoryOpenFlags) : -1;
  UniqueFd fd(openat(dir, name.c_str(), kDirectoryOpenFlags));
  struct stat st;
  if (!fd.Valid() || fstat(fd.Get(), &st) != 0 || st.st_uid != geteuid()) return fd.Release();
  // The umask narrowed the mode; the owner gets the directory as made.
  if ((uid == st.st_uid || fchown(fd.Get(), uid, gid) == 0) && fchmod(fd.Get(), mode) == 0)
    return fd.Release();
  int error = errno;
  fd.Reset();
  unlinkat(dir, name.c_str(), AT_REMOVEDIR);   // still empty: nobody else writes here
  errno = error;
  return -1;
}

// The same in a directory of root's while the thread acts as the owner:
// the process's identity for the making, the owner's again afterwards (or
// a failure: the walk never goes on as root).
int MakeDirectoryAsRoot(int dir, const std::string &name, bool last, const WalkRules &rules) {
  bool mailbox = last && rules.LastIsMailbox;
  const LogonToken &owner = *rules.Owner;
  RevertToSelf();
  int fd = MakeDirectoryAsProcess(dir, name, mailbox ? owner.Uid : 0, mailbox ? owner.Gid : 0,
                                  mailbox ? kMailboxDirectoryMode : kMailboxRootMode);
  int error = errno;
  if (!ImpersonateLoggedOnUser(owner)) {
    if (fd >= 0) close(fd);
    errno = static_cast<int>(GetLastError());
    return -1;
  }
  errno = error;
  return fd;
}

// Opens one component below dir, making it when asked.
int OpenComponent(const Place &dir, const std::string &name, bool last, const WalkRules &rules) {
  int fd = openat(dir.Fd.Get(), name.c_str(), kWalkOpenFlags);
  if (fd >= 0 || errno != ENOENT || !rules.Create) return fd;
  if (rules.RootMakes && OnlyRootRenames(dir))
    return MakeDirectoryAsRoot(dir.Fd.Get(), name, last, rules);
  if (mkdirat(dir.Fd.Get(), name.c_str(), kMailboxDirectoryMode) != 0 && errno != EEXIST)
    return -1;
  return openat(dir.Fd.Get(), name.c_str(), kWalkOpenFlags);
}

long Walk(const std::string &path, const WalkRules &rules, UniqueFd &out) {
  if (path.empty() || path.front() != '/') return EINVAL;
  const uid_t owner = rules.Owner->Uid;
  std::vector<std::string> first = Components(path);
  std::deque<std::string> todo(first.begin(), first.end());
  Place dir;
  long rc = OpenRoot(dir, owner);
  int links = 0, steps = 0;
  while (rc == ERROR_SUCCESS && !todo.empty()) {
    if (++steps > kMaxMailboxPathComponents) return ELOOP;
    std::string name = std::move(todo.front());
    todo.pop_front();
    UniqueFd next(OpenComponent(dir, name, todo.empty(), rules));
    if (next.Valid()) {
      rc = CheckDirectory(next.Get(), owner, dir);
      dir.Fd = std::move(next);
      continue;
    }
    rc = errno;
    std::string target;
    if (rc != ELOOP && rc != ENOTDIR) return rc;
    rc = LinkTarget(dir.Fd.Get(), dir.Owner, name, rc, target);
    if (rc != ERROR_SUCCESS) return rc;
    if (++links > kMaxMailboxPathLinks) return ELOOP;
    std::vector<std::string> more = Components(target);
    todo.insert(todo.begin(), more.begin(), more.end());
    rc = target.front() == '/' ? OpenRoot(dir, owner) : ERROR_SUCCESS;
  }
  if (rc != ERROR_SUCCESS) return rc;
  // The directory reached, for reading and writing in it.
  out.Reset(openat(dir.Fd.Get(), ".", kDirectoryOpenFlags));
  return out.Valid() ? ERROR_SUCCESS : errno;
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
  // Without an identity the work would be done as whoever the process is.
  if (!owner_.bValid || !owner_.bHasIdentity) {
    SetLastError(EINVAL);
    return EINVAL;
  }
  AsOwner as(owner_);
  if (!as.Ok()) return GetLastError();
  WalkRules rules;
  rules.Owner = &owner_;
  rules.Create = create;
  rules.RootMakes = geteuid() == 0;
  UniqueFd dir;
  long rc = Walk(path, rules, dir);
  if (rc == ERROR_SUCCESS) fd_ = std::move(dir);
  SetLastError(rc);
  return rc;
}

long MailboxDir::OpenRoot(const std::string &path, bool create) {
  LogonToken self;
  self.bValid = true;
  ProcessIdentity(self);
  fd_.Reset();
  path_ = path;
  owner_ = self;
  WalkRules rules;
  rules.Owner = &owner_;
  rules.Create = create;
  rules.RootMakes = geteuid() == 0;
  rules.LastIsMailbox = false;
  UniqueFd dir;
  long rc = Walk(path, rules, dir);
  struct stat st;
  // Root lists it, mail users only pass through it to their own mailbox.
  if (rc == ERROR_SUCCESS && rules.RootMakes && fstat(dir.Get(), &st) == 0 && st.st_uid == 0 &&
      (st.st_mode & 07777) != kMailboxRootMode && fchmod(dir.Get(), kMailboxRootMode) != 0)
    rc = errno;
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

namespace {

// Gives the regular file name of dir (root's, one link) to uid:gid through
// a descriptor; false when it is anything else.
bool GiveFile(int dir, const char *name, uid_t uid, gid_t gid) {
  UniqueFd fd(openat(dir, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  struct stat st;
  return fd.Valid() && fstat(fd.Get(), &st) == 0 && S_ISREG(st.st_mode) && st.st_nlink == 1 &&
         st.st_uid == 0 && fchown(fd.Get(), uid, gid) == 0;
}

// Gives the open directory dir (root's) and what root owns below it to
// uid:gid, depth levels below the mailbox. Entries that already are the
// owner's need nothing; links, files with more than one link, special
// files, other users' entries and what lies too deep are left alone.
void GiveTree(int dir, uid_t uid, gid_t gid, int depth, MailboxHandOver &count) {
  ForEachDirectoryEntry(dir, [&](const char *name, unsigned char) {
    struct stat st;
    if (fstatat(dir, name, &st, AT_SYMLINK_NOFOLLOW) != 0 || st.st_uid == uid) return true;
    bool given = false;
    if (st.st_uid == 0 && S_ISREG(st.st_mode)) {
      given = GiveFile(dir, name, uid, gid);
    } else if (st.st_uid == 0 && S_ISDIR(st.st_mode) && depth < kMaxMailboxPathComponents) {
      UniqueFd sub(openat(dir, name, kDirectoryOpenFlags));
      struct stat now;
      // The directory looked at, not one put in its place since.
      given = sub.Valid() && fstat(sub.Get(), &now) == 0 && now.st_dev == st.st_dev &&
              now.st_ino == st.st_ino;
      if (given)
        GiveTree(sub.Get(), uid, gid, depth + 1, count);
      else
        ++count.LeftAlone;
      return true;
    }
    if (!given) ++count.LeftAlone;
    return true;
  });
  struct stat st;
  if (fstat(dir, &st) == 0 && st.st_uid == 0 && fchown(dir, uid, gid) != 0) ++count.LeftAlone;
}

}  // namespace

bool MailboxDir::ListDirectories(std::vector<MailboxDirEntry> &entries) const {
  entries.clear();
  return ForEachDirectoryEntry(fd_.Get(), [&](const char *name, unsigned char) {
    struct stat st;
    if (fstatat(fd_.Get(), name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode))
      entries.push_back({name, st.st_uid});
    return entries.size() < kMaxMailboxRootEntries;
  });
}

bool MailboxDir::GiveToOwner(std::string_view name, const LogonToken &owner,
                             MailboxHandOver &count) const {
  if (!IsPlainName(name) || !owner.bValid || !owner.bHasIdentity) return Fail(EINVAL);
  UniqueFd dir(openat(fd_.Get(), std::string(name).c_str(), kDirectoryOpenFlags));
  struct stat st;
  if (!dir.Valid() || fstat(dir.Get(), &st) != 0) return Fail(errno);
  if (st.st_uid != 0 || owner.Uid == 0) return Fail(ERROR_MAILBOX_NOT_OWNED);
  GiveTree(dir.Get(), owner.Uid, owner.Gid, 0, count);
  if (fstat(dir.Get(), &st) != 0 || st.st_uid != owner.Uid) return Fail(EPERM);
  ++count.Mailboxes;
  return true;
}
