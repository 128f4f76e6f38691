// changenotify: change notification on one directory (inotify).
//
// The delivery agent's scanning thread waits for new recipient files in the
// spool's `incoming` directory instead of polling it. A ChangeNotification
// is a Waitable (platform/sync.h), so one WaitForMultipleObjects waits on it
// together with the stop event.
//
// What counts as a change: an entry that appears in the directory (created,
// moved in, or closed after writing), not in its subdirectories, whose name
// ends with the suffix given at Open (ASCII case ignored; "" for every
// name). Other changes (the directory lock file coming and going, temporary
// files, deletions) are read and dropped, so a waiter's own work in the
// directory never wakes it again. An overflowed kernel queue, or the
// directory itself going away, counts as a change: changes may have been
// lost, so the waiter should look.
//
// The notification re-arms itself: a wait that reports it signalled has
// consumed every change queued until then, and later changes signal it
// again. A change that arrives while the waiter is busy is therefore never
// lost, whatever the waiter does between waits.
//
// Threads: one owner waits on it; it must outlive every wait. Failures set
// the thread's last error (errno values).
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <utility>
#include <string>
#include <string_view>
#include <vector>

#include "platform/sync.h"

class ChangeNotification : public Waitable {
 public:
  ChangeNotification() = default;
  ~ChangeNotification() override;
  ChangeNotification(const ChangeNotification &) = delete;
  ChangeNotification &operator=(const ChangeNotification &) = delete;

  // Starts watching directory. False with the last error.
  bool Open(const std::string &directory, std::string_view suffix);
  void Close();
  bool Valid() const { return fd_ >= 0; }

  int WaitFd() const override { return fd_; }
  // Reads every queued change; true when one of them counts.
  bool Acquire() override;

 private:
  bool Counts(uint32_t mask, std::string_view name) const;

  int fd_ = -1;
  std::string suffix_;
};

// DirectoryWatch: many directories on one inotify instance (an IMAP
// session's selected folders: one instance per process, however many
// folders, as the kernel counts instances per user). Each directory added
// gets a key (the caller's); a change marks it, and TakeChanged hands the
// marked keys out once, each with what changed: kWatchEntries, an entry
// whose name ends with the suffix given at Open appeared or went
// (created, linked, moved in or out, deleted), or the directory itself
// went away or was moved; kWatchModified, the file named modifiedName was
// written (the index's write-ahead log, which every commit writes). An
// overflowed kernel queue marks every directory with both.
//
// Directories are added by descriptor (the folder store opens them without
// following links). Threads: every call takes the watch's lock, so one
// thread may wait on WaitFd while others add, remove or take.
class DirectoryWatch : public Waitable {
 public:
  DirectoryWatch() = default;
  ~DirectoryWatch() override;
  DirectoryWatch(const DirectoryWatch &) = delete;
  DirectoryWatch &operator=(const DirectoryWatch &) = delete;

  bool Open(std::string_view suffix, std::string_view modifiedName);
  // Watches the directory open at dirFd under key; false with the last
  // error (the caller then looks at the directory itself every time).
  bool Add(int dirFd, uintptr_t key);
  void Remove(uintptr_t key);
  int WaitFd() const override { return fd_; }
  // Reads the queued events, marking their directories; true when one
  // counted.
  bool Acquire() override;
  // The keys marked since the last call, each once with its kinds, after
  // reading what is queued.
  std::vector<std::pair<uintptr_t, unsigned>> TakeChanged();

 private:
  bool ReadEvents();

  std::mutex lock_;
  int fd_ = -1;
  std::string suffix_, modified_;
  std::map<int, std::vector<uintptr_t>> keys_;   // watch descriptor: its keys
  std::map<uintptr_t, unsigned> changed_;
};
constexpr unsigned kWatchEntries = 1, kWatchModified = 2;

// The Windows-shaped calls the scanning thread is written against.
// Null (with the last error) when the directory cannot be watched.
std::unique_ptr<ChangeNotification> FindFirstChangeNotification(const std::string &directory,
                                                                std::string_view suffix);
// Nothing to re-arm (see above); false when the notification is closed.
bool FindNextChangeNotification(ChangeNotification &notification);
void FindCloseChangeNotification(std::unique_ptr<ChangeNotification> &notification);
