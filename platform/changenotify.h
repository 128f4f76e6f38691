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

#include <memory>
#include <string>
#include <string_view>

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

// The Windows-shaped calls the scanning thread is written against.
// Null (with the last error) when the directory cannot be watched.
std::unique_ptr<ChangeNotification> FindFirstChangeNotification(const std::string &directory,
                                                                std::string_view suffix);
// Nothing to re-arm (see above); false when the notification is closed.
bool FindNextChangeNotification(ChangeNotification &notification);
void FindCloseChangeNotification(std::unique_ptr<ChangeNotification> &notification);
