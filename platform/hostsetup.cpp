// hostsetup: see hostsetup.h.
#include "platform/hostsetup.h"

#include <ftw.h>
#include <pwd.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

#include "platform/errors.h"

extern char **environ;

namespace {

// getpwnam_r's buffer: Debian's sysconf hint, or this when there is none.
constexpr size_t kDefaultPasswdBuffer = 16384;
// nftw may hold this many directories open at once.
constexpr int kTreeWalkFds = 16;

bool Fail(int err) {
  SetLastError(err);
  return false;
}

// nftw's callback has no context argument; the walk runs on one thread.
uid_t g_TreeUid;
gid_t g_TreeGid;

int GiveEntry(const char *path, const struct stat *, int, struct FTW *) {
  return lchown(path, g_TreeUid, g_TreeGid) == 0 ? 0 : errno;
}

}  // namespace

bool IsValidAccountName(std::string_view name) {
  if (name.empty() || name.size() > kMaxSystemAccountName) return false;
  for (size_t i = 0; i < name.size(); ++i) {
    char c = name[i];
    bool letter = (c >= 'a' && c <= 'z') || c == '_';
    bool more = (c >= '0' && c <= '9') || c == '-';
    if (!letter && (i == 0 || !more)) return false;
  }
  return true;
}

bool FindSystemAccount(const std::string &name, uid_t &uid, gid_t &gid) {
  long hint = sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buf(hint > 0 ? static_cast<size_t>(hint) : kDefaultPasswdBuffer);
  passwd pw{};
  passwd *found = nullptr;
  int rc = getpwnam_r(name.c_str(), &pw, buf.data(), buf.size(), &found);
  if (rc != 0) return Fail(rc);
  if (found == nullptr) return Fail(ENOENT);
  uid = pw.pw_uid;
  gid = pw.pw_gid;
  return true;
}

bool CreateSystemAccount(const std::string &name) {
  if (!IsValidAccountName(name)) return Fail(EINVAL);
  std::string account = name;
  char *argv[] = {const_cast<char *>("adduser"), const_cast<char *>("--system"),
                  const_cast<char *>("--group"), const_cast<char *>("--no-create-home"),
                  const_cast<char *>("--quiet"), account.data(), nullptr};
  pid_t pid;
  int rc = posix_spawnp(&pid, "adduser", nullptr, nullptr, argv, environ);
  if (rc != 0) return Fail(rc);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0)
    if (errno != EINTR) return Fail(errno);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return Fail(EIO);
  uid_t uid;
  gid_t gid;
  return FindSystemAccount(name, uid, gid);
}

bool GiveTreeTo(const std::string &path, uid_t uid, gid_t gid) {
  g_TreeUid = uid;
  g_TreeGid = gid;
  int rc = nftw(path.c_str(), GiveEntry, kTreeWalkFds, FTW_PHYS | FTW_MOUNT);
  if (rc == 0) return true;
  return Fail(rc > 0 ? rc : errno);
}

bool AccountMayAccess(const std::string &path, uid_t uid, gid_t gid, int access, bool &may) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) return Fail(errno);
  // The owner's bits, shifted to the class that applies.
  int shift = st.st_uid == uid ? 6 : st.st_gid == gid ? 3 : 0;
  mode_t need = static_cast<mode_t>(access & (R_OK | W_OK | X_OK)) << shift;
  may = uid == 0 || (st.st_mode & need) == need;
  return true;
}

bool FileIsPrivate(const std::string &path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && (st.st_mode & S_IRWXO) == 0;
}
