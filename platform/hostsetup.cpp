// hostsetup: see hostsetup.h.
#include "platform/hostsetup.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

#include "platform/errors.h"
#include "platform/files.h"
#include "platform/privilege.h"

extern char **environ;

namespace {

bool Fail(int err) {
  SetLastError(err);
  return false;
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
  return LookUpAccount(name, &uid, &gid) || Fail(ENOENT);
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

bool CreateSystemDirectories(const std::string &path, mode_t leafMode) {
  if (path.empty() || path[0] != '/') return Fail(EINVAL);
  for (size_t end = path.find('/', 1);; end = path.find('/', end + 1)) {
    bool leaf = end == std::string::npos;
    std::string dir = path.substr(0, leaf ? path.size() : end);
    mode_t mode = leaf ? leafMode : 0755;
    // The mode is set whole, whatever the administrator's umask, on the
    // directory just made and never through a link put in its place.
    bool made = mkdir(dir.c_str(), mode) == 0;
    if (!made && errno != EEXIST) return Fail(errno);
    UniqueFd fd(open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | (made ? O_NOFOLLOW : 0)));
    if (!fd.Valid()) return Fail(errno);   // ENOTDIR: a file in the way
    if (made && fchmod(fd.Get(), mode) != 0) return Fail(errno);
    if (leaf) return true;
  }
}
