// files: see files.h.
#include "platform/files.h"

#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <mutex>

#include "platform/ascii.h"
#include "platform/errors.h"
#include "platform/root.h"

namespace {

// Mail files and their directories are their owner's alone.
constexpr mode_t kPrivateDirectoryMode = 0700;
constexpr mode_t kPrivateFileMode = 0600;

bool Fail() {
  SetLastError(errno);
  return false;
}

bool WriteBytes(int out, std::string_view bytes) {
  for (size_t done = 0; done < bytes.size();) {
    ssize_t w = write(out, bytes.data() + done, bytes.size() - done);
    if (w < 0 && errno == EINTR) continue;
    if (w < 0) return false;
    done += static_cast<size_t>(w);
  }
  return true;
}

bool CopyContents(int in, int out) {
  char buf[65536];
  for (;;) {
    ssize_t n = read(in, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) return true;
    if (!WriteBytes(out, std::string_view(buf, static_cast<size_t>(n)))) return false;
  }
}

std::string DirectoryOf(const std::string &path) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

// A name that is only the suffix is not an entry of the kind.
bool HasSuffix(std::string_view name, std::string_view suffix) {
  return suffix.empty() || (name.size() > suffix.size() && EndsWithNoCase(name, suffix));
}

// The kind of an entry, asking the file system when readdir does not say.
bool EntryIsKind(DIR *dir, const dirent *e, ListKind kind) {
  unsigned char type = e->d_type;
  if (type == DT_UNKNOWN) {
    struct stat st;
    if (fstatat(dirfd(dir), e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) return false;
    type = S_ISREG(st.st_mode) ? DT_REG : S_ISDIR(st.st_mode) ? DT_DIR : DT_UNKNOWN;
  }
  return kind == ListKind::kFiles ? type == DT_REG : type == DT_DIR;
}

struct DirCloser {
  void operator()(DIR *d) const { closedir(d); }
};

}  // namespace

void UniqueFd::Reset(int fd) {
  if (fd_ >= 0) close(fd_);
  fd_ = fd;
}

bool CreateDirectory(const std::string &path) {
  if (mkdir(path.c_str(), kPrivateDirectoryMode) == 0) return true;
  return Fail();
}

bool CreateDirectoryPath(const std::string &path, mode_t mode) {
  for (size_t slash = path.find('/', 1);; slash = path.find('/', slash + 1)) {
    std::string part = path.substr(0, slash);
    if (!part.empty() && mkdir(part.c_str(), mode) != 0 && errno != EEXIST) return Fail();
    if (slash == std::string::npos) break;
  }
  struct stat st;
  if (stat(path.c_str(), &st) != 0) return Fail();
  if (S_ISDIR(st.st_mode)) return true;
  SetLastError(ENOTDIR);
  errno = ENOTDIR;
  return false;
}

void GiveToDirectoryOwner(int fd, const std::string &directory) {
  struct stat file, dir;
  if (geteuid() != 0 || fstat(fd, &file) != 0 || file.st_uid != 0 ||
      CheckSoleRegularFile(fd) != 0 || stat(directory.c_str(), &dir) != 0 || dir.st_uid == 0)
    return;
  (void)!fchown(fd, dir.st_uid, dir.st_gid);
}

int CheckSoleRegularFile(int fd) {
  struct stat st;
  if (fstat(fd, &st) != 0) return errno;
  if (!S_ISREG(st.st_mode)) return EINVAL;
  return st.st_nlink == 1 ? 0 : EMLINK;
}

bool DirectoryExists(const std::string &path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool FileExists(const std::string &path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

FileStamp FileStampOf(const struct stat &st) {
  FileStamp s;
  s.device = st.st_dev;
  s.inode = st.st_ino;
  s.size = static_cast<unsigned long long>(st.st_size);
  s.mtimeNs = static_cast<long long>(st.st_mtim.tv_sec) * 1000000000LL + st.st_mtim.tv_nsec;
  s.ctimeNs = static_cast<long long>(st.st_ctim.tv_sec) * 1000000000LL + st.st_ctim.tv_nsec;
  return s;
}

long StatFile(const std::string &path, FileStamp &stamp) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) return errno;
  stamp = FileStampOf(st);
  return ERROR_SUCCESS;
}

bool DeleteFile(const std::string &path) {
  if (unlink(path.c_str()) == 0) return true;
  return Fail();
}

int CreateNewFile(const std::string &path) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, kPrivateFileMode);
  if (fd < 0) SetLastError(errno);
  return fd;
}

bool CopyFileNoReplace(const std::string &source, const std::string &target,
                       std::string_view prefix) {
  UniqueFd in(open(source.c_str(), O_RDONLY | O_CLOEXEC));
  if (!in.Valid()) return Fail();
  std::string tmp = DirectoryOf(target) + "/.zelcopy-XXXXXX";
  UniqueFd out(mkostemp(tmp.data(), O_CLOEXEC));
  if (!out.Valid()) return Fail();
  // The final name appears only once the data is on disk, and link() refuses
  // to replace an existing target.
  bool ok = WriteBytes(out.Get(), prefix) && CopyContents(in.Get(), out.Get()) &&
            fchmod(out.Get(), kPrivateFileMode) == 0 &&
            fdatasync(out.Get()) == 0 && link(tmp.c_str(), target.c_str()) == 0;
  long err = errno;
  unlink(tmp.c_str());
  if (!ok) {
    SetLastError(err);
    return false;
  }
  return true;
}

bool RemoveDirectory(const std::string &path) {
  if (rmdir(path.c_str()) == 0) return true;
  if (errno == EEXIST) errno = ENOTEMPTY;   // both mean "not empty"
  return Fail();
}

bool MoveFile(const std::string &from, const std::string &to) {
  if (rename(from.c_str(), to.c_str()) == 0) return true;
  return Fail();
}

bool MoveFileNoReplace(const std::string &from, const std::string &to) {
  if (renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return true;
  if (errno != EINVAL && errno != ENOSYS) return Fail();
  // A file system without RENAME_NOREPLACE: link() refuses to replace too.
  if (link(from.c_str(), to.c_str()) != 0) return Fail();
  unlink(from.c_str());
  return true;
}

bool ListDirectory(const std::string &directory, std::string_view suffix, ListKind kind,
                   size_t maxEntries, std::vector<std::string> &names) {
  names.clear();
  std::unique_ptr<DIR, DirCloser> dir(opendir(directory.c_str()));
  if (!dir) return Fail();
  for (;;) {
    errno = 0;
    const dirent *e = readdir(dir.get());
    if (e == nullptr) break;
    std::string_view name(e->d_name);
    if (name == "." || name == ".." || !HasSuffix(name, suffix)) continue;
    if (!EntryIsKind(dir.get(), e, kind)) continue;
    if (names.size() == maxEntries) {
      SetLastError(ERROR_MORE_DATA);
      return false;
    }
    names.emplace_back(name);
  }
  if (errno != 0) {
    names.clear();
    return Fail();
  }
  return true;
}

bool SyncDirectory(const std::string &path) {
  UniqueFd fd(open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!fd.Valid() || fsync(fd.Get()) != 0) return Fail();
  return true;
}

namespace {

// What one member of a group is: its file system, and whether it is a
// directory (fsync for its entries) or a file (fdatasync for its data).
struct Member {
  dev_t Device;
  bool Directory;
};

bool Describe(std::span<const int> fds, std::vector<Member> &members) {
  for (int fd : fds) {
    struct stat st;
    if (fstat(fd, &st) != 0) return false;
    members.push_back(Member{st.st_dev, S_ISDIR(st.st_mode)});
  }
  return true;
}

// Each member on its own: write-back starts for every file first, so that
// their writes overlap, then each is synced.
bool SyncEach(std::span<const int> fds, const std::vector<Member> &members) {
  for (size_t i = 0; i < fds.size(); ++i)
    if (!members[i].Directory) sync_file_range(fds[i], 0, 0, SYNC_FILE_RANGE_WRITE);
  for (size_t i = 0; i < fds.size(); ++i)
    if ((members[i].Directory ? fsync(fds[i]) : fdatasync(fds[i])) != 0) return false;
  return true;
}

// The two ways to sync a group, and what each has cost lately per member.
// One syncfs flushes the disk once for all, but it also waits for whatever
// else is being written to the file system: the cheapest way by far when
// the spool has its file system to itself, the dearest beside a heavy
// writer. A sync per member costs about the same either way. So the
// running costs choose, and the other way is tried again every
// kTryOtherEvery groups, as the load on the file system changes.
enum SyncWay { kWholeFileSystem = 0, kEachMember = 1 };
constexpr unsigned kTryOtherEvery = 16;

struct SyncCosts {
  std::mutex Lock;
  double MicrosPerMember[2] = {-1, -1};   // a running average; -1: not tried
  unsigned Groups = 0;
};

SyncCosts &Costs() {
  static SyncCosts *costs = new SyncCosts;
  return *costs;
}

SyncWay ChooseWay() {
  SyncCosts &c = Costs();
  std::lock_guard<std::mutex> guard(c.Lock);
  ++c.Groups;
  if (c.MicrosPerMember[kWholeFileSystem] < 0) return kWholeFileSystem;
  if (c.MicrosPerMember[kEachMember] < 0) return kEachMember;
  SyncWay best = c.MicrosPerMember[kWholeFileSystem] <= c.MicrosPerMember[kEachMember]
                     ? kWholeFileSystem
                     : kEachMember;
  if (c.Groups % kTryOtherEvery != 0) return best;
  return best == kWholeFileSystem ? kEachMember : kWholeFileSystem;
}

void RecordCost(SyncWay way, long long micros, size_t members) {
  SyncCosts &c = Costs();
  std::lock_guard<std::mutex> guard(c.Lock);
  double perMember = static_cast<double>(micros) / static_cast<double>(members);
  double &average = c.MicrosPerMember[way];
  average = average < 0 ? perMember : 0.75 * average + 0.25 * perMember;
}

}  // namespace

bool SyncTogether(std::span<const int> fds) {
  if (fds.empty()) return true;
  std::vector<Member> members;
  if (!Describe(fds, members)) return Fail();
  bool oneFileSystem = std::all_of(members.begin(), members.end(), [&](const Member &m) {
    return m.Device == members[0].Device;
  });
  if (fds.size() < kGroupSyncMin || !oneFileSystem) return SyncEach(fds, members) || Fail();
  SyncWay way = ChooseWay();
  auto started = std::chrono::steady_clock::now();
  // syncfs reports a write-back error of the file system that arose since
  // fds[0] was opened, so a failed write of any member is seen.
  bool ok = way == kWholeFileSystem ? syncfs(fds[0]) == 0 : SyncEach(fds, members);
  if (!ok) return Fail();
  auto spent = std::chrono::steady_clock::now() - started;
  RecordCost(way, std::chrono::duration_cast<std::chrono::microseconds>(spent).count(),
             fds.size());
  return true;
}

bool SyncGroup::MakeRoom() {
  if (fds_.size() < kMaxSyncGroupMembers) return true;
  if (Sync()) return true;
  failure_ = GetLastError();
  return false;
}

bool SyncGroup::AddFile(int fd) {
  if (!MakeRoom()) return false;
  UniqueFd copy(fcntl(fd, F_DUPFD_CLOEXEC, 0));
  if (!copy.Valid()) return Fail();
  fds_.push_back(std::move(copy));
  return true;
}

bool SyncGroup::AddDirectory(const std::string &path) {
  for (const std::string &d : dirs_)
    if (d == path) return true;
  if (!MakeRoom()) return false;
  UniqueFd fd(open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!fd.Valid()) return Fail();
  fds_.push_back(std::move(fd));
  dirs_.push_back(path);
  return true;
}

bool SyncGroup::Sync() {
  std::vector<int> fds;
  for (const UniqueFd &fd : fds_) fds.push_back(fd.Get());
  bool ok = SyncTogether(fds);
  long error = ok ? failure_ : GetLastError();
  fds_.clear();
  dirs_.clear();
  failure_ = 0;
  if (error != 0) SetLastError(error);
  return ok && error == 0;
}

bool SyncFileSystemOf(const std::string &path) {
  UniqueFd fd(open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!fd.Valid() || syncfs(fd.Get()) != 0) return Fail();
  return true;
}

int CreateTempFileDeleteOnClose() {
  std::string dir = TempDirectory();
  int fd = open(dir.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
  if (fd >= 0) return fd;
  // File systems without O_TMPFILE: a named file unlinked at once.
  std::string tmp = dir + "/zeltmp-XXXXXX";
  fd = mkostemp(tmp.data(), O_CLOEXEC);
  if (fd < 0) {
    SetLastError(errno);
    return -1;
  }
  unlink(tmp.c_str());
  return fd;
}

int CreateMemoryFile() {
  int fd = memfd_create("zelsecret", MFD_CLOEXEC);
  if (fd < 0) SetLastError(errno);
  return fd;
}

bool UnnamedFile::Create(const std::string &directory, std::string_view tempPrefix,
                         mode_t permissions) {
  Discard();
  int fd = open(directory.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, permissions);
  if (fd < 0 && errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) return Fail();
  if (fd < 0) {
    std::string tmp = directory + "/" + std::string(tempPrefix) + "XXXXXX";
    fd = mkostemp(tmp.data(), O_CLOEXEC);
    if (fd < 0) return Fail();
    temp_ = tmp;
    if (fchmod(fd, permissions) != 0) {
      long err = errno;
      close(fd);
      unlink(temp_.c_str());
      temp_.clear();
      SetLastError(err);
      return false;
    }
  }
  fd_.Reset(fd);
  return true;
}

bool UnnamedFile::Link(const std::string &path) {
  if (!fd_.Valid()) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  if (!temp_.empty()) {
    if (!MoveFileNoReplace(temp_, path)) return false;
    temp_.clear();
    return true;
  }
  // A nameless file is linked through its descriptor; linkat() never
  // replaces an existing name.
  std::string self = "/proc/self/fd/" + std::to_string(fd_.Get());
  if (linkat(AT_FDCWD, self.c_str(), AT_FDCWD, path.c_str(), AT_SYMLINK_FOLLOW) != 0) return Fail();
  return true;
}

bool UnnamedFile::Close() {
  int fd = fd_.Release();
  if (fd >= 0 && close(fd) != 0) return Fail();
  return true;
}

void UnnamedFile::Discard() {
  fd_.Reset();
  if (!temp_.empty()) unlink(temp_.c_str());
  temp_.clear();
}

DurableFile::~DurableFile() { Discard(); }

void DurableFile::Discard() {
  if (temp_.empty()) return;
  (void)stream_.Close();
  unlink(temp_.c_str());
  temp_.clear();
}

bool DurableFile::Create(const std::string &finalPath, std::string_view tempPrefix,
                         mode_t permissions, const char *mode) {
  final_ = finalPath;
  std::string tmp = DirectoryOf(finalPath) + "/" + std::string(tempPrefix) + "XXXXXX";
  int fd = mkostemp(tmp.data(), O_CLOEXEC);
  if (fd < 0) return Fail();
  temp_ = tmp;
  if (fchmod(fd, permissions) != 0) {
    long err = errno;
    close(fd);
    SetLastError(err);
    return false;
  }
  return stream_.Attach(fd, mode);
}

bool DurableFile::Commit() {
  if (temp_.empty()) return false;
  bool ok = stream_.Commit();
  return stream_.Close() && ok;
}

bool DurableFile::Rename(bool noReplace) {
  if (temp_.empty() || stream_.IsOpen()) return false;
  if (!(noReplace ? MoveFileNoReplace(temp_, final_) : MoveFile(temp_, final_))) return false;
  temp_.clear();
  return true;
}

bool DurableFile::Publish(bool noReplace) {
  return Commit() && Rename(noReplace) && SyncDirectory(DirectoryOf(final_));
}

bool CreateFileWithText(const std::string &path, std::string_view text, mode_t mode) {
  DurableFile file;
  return file.Create(path, ".zel-new-", mode, "wb") && file.Stream().Write(text) &&
         file.Publish(true);
}

bool AppendToFile(const std::string &path, std::string_view text, bool sync) {
  UniqueFd fd(open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC,
                   kPrivateFileMode));
  if (!fd.Valid() || !WriteBytes(fd.Get(), text)) return Fail();
  if (sync && fdatasync(fd.Get()) != 0) return Fail();
  return true;
}

bool FileModifiedTime(const std::string &path, long long &seconds) {
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) return Fail();
  seconds = static_cast<long long>(st.st_mtim.tv_sec);
  return true;
}
