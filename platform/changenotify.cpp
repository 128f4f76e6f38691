// changenotify: see changenotify.h.
#include "platform/changenotify.h"

#include <limits.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/ascii.h"
#include "platform/errors.h"

namespace {

// Changes that make an entry appear. IN_CLOSE_WRITE covers a writer that
// creates the final name first and fills it afterwards.
constexpr uint32_t kWatchMask = IN_CREATE | IN_MOVED_TO | IN_CLOSE_WRITE | IN_ONLYDIR;
// Room for many events per read; each is a header and a name of at most
// NAME_MAX + 1 bytes.
constexpr size_t kEventBuffer = 64 * (sizeof(inotify_event) + NAME_MAX + 1);

// A name that is only the suffix (".RCP") is not a file of the kind.
bool HasSuffix(std::string_view name, std::string_view suffix) {
  return suffix.empty() || (name.size() > suffix.size() && EndsWithNoCase(name, suffix));
}

// Reads fd until it is drained, calling event(mask, wd, name) for each
// event; a name is cut at its first NUL (the kernel pads names).
template <typename Event>
void DrainEvents(int fd, Event event) {
  alignas(inotify_event) char buf[kEventBuffer];
  for (;;) {
    ssize_t n = read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;   // EAGAIN: drained
    for (ssize_t pos = 0; pos + static_cast<ssize_t>(sizeof(inotify_event)) <= n;) {
      const auto *e = reinterpret_cast<const inotify_event *>(buf + pos);
      pos += static_cast<ssize_t>(sizeof(inotify_event) + e->len);
      std::string_view name = e->len > 0 ? std::string_view(e->name, strnlen(e->name, e->len)) : "";
      event(e->mask, e->wd, name);
    }
  }
}

}  // namespace

ChangeNotification::~ChangeNotification() { Close(); }

bool ChangeNotification::Open(const std::string &directory, std::string_view suffix) {
  Close();
  int fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (fd < 0) {
    SetLastError(errno);
    return false;
  }
  if (inotify_add_watch(fd, directory.c_str(), kWatchMask) < 0) {
    SetLastError(errno);
    close(fd);
    return false;
  }
  fd_ = fd;
  suffix_ = std::string(suffix);
  return true;
}

void ChangeNotification::Close() {
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
}

bool ChangeNotification::Counts(uint32_t mask, std::string_view name) const {
  if ((mask & (IN_Q_OVERFLOW | IN_IGNORED | IN_DELETE_SELF | IN_MOVE_SELF | IN_UNMOUNT)) != 0)
    return true;
  if ((mask & IN_ISDIR) != 0) return false;
  return HasSuffix(name, suffix_);
}

bool ChangeNotification::Acquire() {
  if (fd_ < 0) return false;
  bool counts = false;
  DrainEvents(fd_, [&](uint32_t mask, int, std::string_view name) {
    counts = counts || Counts(mask, name);
  });
  return counts;
}

namespace {

// A directory's own changes, and its entries' coming and going.
constexpr uint32_t kDirectoryMask = IN_CREATE | IN_MOVED_TO | IN_MOVED_FROM | IN_DELETE |
                                    IN_MODIFY | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;

}  // namespace

DirectoryWatch::~DirectoryWatch() {
  if (fd_ >= 0) close(fd_);
}

bool DirectoryWatch::Open(std::string_view suffix, std::string_view modifiedName) {
  std::lock_guard<std::mutex> guard(lock_);
  if (fd_ >= 0) return true;
  fd_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (fd_ < 0) {
    SetLastError(errno);
    return false;
  }
  suffix_ = std::string(suffix);
  modified_ = std::string(modifiedName);
  return true;
}

bool DirectoryWatch::Add(int dirFd, uintptr_t key) {
  std::lock_guard<std::mutex> guard(lock_);
  if (fd_ < 0) {
    SetLastError(EBADF);
    return false;
  }
  // The directory is named by its descriptor, which the kernel resolves:
  // no path a user could swap is looked up again.
  std::string path = "/proc/self/fd/" + std::to_string(dirFd);
  int wd = inotify_add_watch(fd_, path.c_str(), kDirectoryMask);
  if (wd < 0) {
    SetLastError(errno);
    return false;
  }
  keys_[wd].push_back(key);
  return true;
}

void DirectoryWatch::Remove(uintptr_t key) {
  std::lock_guard<std::mutex> guard(lock_);
  for (auto it = keys_.begin(); it != keys_.end(); ++it) {
    std::vector<uintptr_t> &k = it->second;
    for (size_t i = 0; i < k.size(); ++i) {
      if (k[i] != key) continue;
      k.erase(k.begin() + static_cast<ptrdiff_t>(i));
      if (k.empty()) {
        inotify_rm_watch(fd_, it->first);
        keys_.erase(it);
      }
      changed_.erase(key);
      return;
    }
  }
}

bool DirectoryWatch::ReadEvents() {
  bool counts = false;
  DrainEvents(fd_, [&](uint32_t mask, int wd, std::string_view name) {
    bool overflow = (mask & IN_Q_OVERFLOW) != 0;
    bool self = (mask & (IN_DELETE_SELF | IN_MOVE_SELF | IN_IGNORED)) != 0;
    bool file = (mask & IN_ISDIR) == 0;
    bool modified = file && (mask & IN_MODIFY) != 0 && name == modified_;
    bool entry = self || (file && (mask & IN_MODIFY) == 0 && HasSuffix(name, suffix_));
    unsigned kinds = overflow ? kWatchEntries | kWatchModified
                              : (entry ? kWatchEntries : 0) | (modified ? kWatchModified : 0);
    for (auto &[watched, k] : keys_) {
      if (kinds == 0 || (!overflow && watched != wd)) continue;
      for (uintptr_t key : k) changed_[key] |= kinds;
    }
    counts = counts || kinds != 0;
  });
  return counts;
}

bool DirectoryWatch::Acquire() {
  std::lock_guard<std::mutex> guard(lock_);
  return fd_ >= 0 && ReadEvents();
}

std::vector<std::pair<uintptr_t, unsigned>> DirectoryWatch::TakeChanged() {
  std::lock_guard<std::mutex> guard(lock_);
  if (fd_ >= 0) ReadEvents();
  std::vector<std::pair<uintptr_t, unsigned>> out(changed_.begin(), changed_.end());
  changed_.clear();
  return out;
}

std::unique_ptr<ChangeNotification> FindFirstChangeNotification(const std::string &directory,
                                                                std::string_view suffix) {
  auto n = std::make_unique<ChangeNotification>();
  if (!n->Open(directory, suffix)) return nullptr;
  return n;
}

bool FindNextChangeNotification(ChangeNotification &notification) { return notification.Valid(); }

void FindCloseChangeNotification(std::unique_ptr<ChangeNotification> &notification) {
  notification.reset();
}
