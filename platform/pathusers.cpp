// pathusers: see pathusers.h.
#include "platform/pathusers.h"

#include <dirent.h>
#include <limits.h>
#include <unistd.h>

#include <cstdlib>
#include <memory>

#include "platform/errors.h"

namespace {

struct DirCloser {
  void operator()(DIR *d) const { closedir(d); }
};
using DirPtr = std::unique_ptr<DIR, DirCloser>;

// The target of a /proc link; "" when it cannot be read.
std::string LinkTarget(const std::string &link) {
  char buffer[PATH_MAX];
  ssize_t n = readlink(link.c_str(), buffer, sizeof buffer);
  return n > 0 && static_cast<size_t>(n) < sizeof buffer ? std::string(buffer, static_cast<size_t>(n))
                                                        : std::string();
}

bool Inside(const std::string &path, const std::string &tree) {
  return path == tree || (path.size() > tree.size() && path.compare(0, tree.size(), tree) == 0 &&
                          path[tree.size()] == '/');
}

bool ProcessUses(const std::string &proc, const std::string &tree) {
  for (const char *link : {"/cwd", "/root"})
    if (Inside(LinkTarget(proc + link), tree)) return true;
  DirPtr fds(opendir((proc + "/fd").c_str()));
  if (!fds) return false;
  while (dirent *e = readdir(fds.get())) {
    if (e->d_name[0] == '.') continue;
    if (Inside(LinkTarget(proc + "/fd/" + e->d_name), tree)) return true;
  }
  return false;
}

}  // namespace

bool ProcessesUsingTree(const std::string &directory, std::vector<pid_t> &pids) {
  pids.clear();
  std::string tree = directory;
  char resolved[PATH_MAX];
  if (realpath(directory.c_str(), resolved) != nullptr) tree = resolved;
  while (tree.size() > 1 && tree.back() == '/') tree.pop_back();
  DirPtr proc(opendir("/proc"));
  if (!proc) {
    SetLastError(errno);
    return false;
  }
  pid_t self = getpid();
  while (dirent *e = readdir(proc.get())) {
    std::string name = e->d_name;
    if (name.empty() || name.find_first_not_of("0123456789") != std::string::npos) continue;
    pid_t pid = static_cast<pid_t>(std::strtol(name.c_str(), nullptr, 10));
    if (pid != self && ProcessUses("/proc/" + name, tree)) pids.push_back(pid);
  }
  return true;
}
