// iocp: a completion port: overlapped socket reads and writes, file writes
// and file transmission, whose completions are handed to a pool of worker
// threads, one completion at a time.
//
// A handle (socket or file) is associated with the port under a key (the
// caller's connection record). Each operation is started with an
// OVERLAPPED block owned by the caller; when it completes, a worker's
// GetQueuedCompletionStatus returns the key, the OVERLAPPED pointer, the
// byte count and whether it succeeded. Sockets are driven by epoll with
// EPOLLONESHOT, so a socket has at most one operation outstanding and its
// completion goes to exactly one worker: a connection's dialogue is never
// run by two workers at once. File writes (and their optional sync) run on
// the port's own file threads, off the network path, and complete the same
// way.
//
// Lifetimes: an operation's OVERLAPPED block and buffer must stay valid until
// its completion has been returned (also after CancelIo: the cancelled
// operation completes with ERROR_OPERATION_ABORTED). Every operation that
// was started (its call returned true) completes exactly once; a call that
// returns false started nothing and queues no completion. Dissociate a
// handle before closing it, and only when no operation is outstanding on it
// (a descriptor number is reused by the next open, which must not inherit
// the old key).
//
// A socket has at most one operation outstanding; starting a second one
// fails with ERROR_BUSY. File writes on one file may overlap.
//
// Thread-safety: every call may be made from any thread, and any number of
// threads may wait in GetQueuedCompletionStatus at once. Failures return
// false with the thread's last error set. The port must outlive every
// thread that uses it; destroying it drops what is still queued.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <memory>

#include "platform/errors.h"
#include "platform/sync.h"   // INFINITE

constexpr long ERROR_OPERATION_ABORTED = ECANCELED;
constexpr long ERROR_NETNAME_DELETED = ECONNRESET;
constexpr long ERROR_NOT_FOUND = ENOENT;  // CancelIo: nothing left to cancel

// One outstanding operation. The port owns the fields below the line while
// the operation is outstanding; the caller may embed the block in a larger
// record and find the record again from the pointer.
struct OVERLAPPED {
  // ---- the port's
  int Op = 0;              // what is outstanding (internal)
  const char *Buffer = nullptr;
  char *ReadBuffer = nullptr;
  size_t Length = 0;
  size_t Done = 0;
  off_t Offset = 0;        // file writes: where; TransmitFile: the file range start
  int FileFd = -1;         // TransmitFile: the file
  size_t FileLength = 0;
  const char *Tail = nullptr;
  size_t TailLength = 0;
  bool Sync = false;       // file writes: fdatasync after the write
  uintptr_t Key = 0;
  long Error = 0;          // the completion's error (0: success)
  OVERLAPPED *Next = nullptr;  // the port's queues
};

class CompletionPort {
 public:
  CompletionPort();
  ~CompletionPort();
  CompletionPort(const CompletionPort &) = delete;
  CompletionPort &operator=(const CompletionPort &) = delete;

  // Starts the port and its file threads; false when the kernel refuses.
  bool Create(unsigned fileThreads = 2);

  // CreateIoCompletionPort on a handle: associates fd with key. The socket
  // is made non-blocking. A file is associated for its key only (its writes
  // run on the file threads). Associating an fd again replaces its key.
  bool Associate(int fd, uintptr_t key);
  // Removes fd from the port (no operation may be outstanding: ERROR_BUSY).
  bool Dissociate(int fd);

  // Overlapped socket read of at most length bytes (at least 1) into
  // buffer. A read of 0 bytes that succeeds means the peer closed the
  // connection.
  bool ReadSocket(int fd, char *buffer, size_t length, OVERLAPPED *ov);
  // Overlapped socket write of the whole buffer; completes when all bytes
  // were sent, or fails.
  bool WriteSocket(int fd, const char *buffer, size_t length, OVERLAPPED *ov);
  // TransmitFile: head bytes, then fileLength bytes of fileFd from offset,
  // then tail bytes, sent as one operation. A range the file does not hold
  // is refused (ERROR_INVALID_PARAMETER) before anything is sent.
  bool TransmitFile(int fd, int fileFd, off_t offset, size_t fileLength, const char *head,
                    size_t headLength, const char *tail, size_t tailLength, OVERLAPPED *ov);
  // Overlapped file write of length bytes at offset; with sync, the data is
  // made durable (fdatasync) before the completion. fileFd must be
  // associated: its key goes with the completion.
  bool WriteFile(int fileFd, const char *buffer, size_t length, off_t offset, bool sync,
                 OVERLAPPED *ov);

  // Cancels the operation ov on fd if it has not started: it then completes
  // with ERROR_OPERATION_ABORTED. False when nothing was cancelled (the
  // operation is already completing and will be returned as usual).
  // A null ov cancels whatever has not started on fd.
  bool CancelIo(int fd, OVERLAPPED *ov);
  // CancelIo limited to a socket read: a write or transmission on the same
  // OVERLAPPED is left alone (an idle check must never cut a reply short).
  bool CancelRead(int fd, OVERLAPPED *ov);
  // A write or transmission on ov that waits for the socket to take more:
  // its serial number (one per operation started on fd) and the bytes it
  // has sent so far. False when none waits (nothing outstanding, a read,
  // or a worker is sending right now). For a check that finds writes a
  // peer has stopped reading.
  bool WriteProgress(int fd, OVERLAPPED *ov, uint64_t *serial, size_t *done);
  // Cancels that write if it still waits and has sent no more than done
  // bytes since WriteProgress saw it (it completes with
  // ERROR_OPERATION_ABORTED); false when it moved on or finished.
  bool CancelStalledWrite(int fd, OVERLAPPED *ov, uint64_t serial, size_t done);

  // PostQueuedCompletionStatus: a completion that no operation made (stop
  // signals, wake-ups). The port does not touch *ov; it only hands the
  // pointer back. Each post is returned to exactly one waiter.
  bool Post(DWORD bytes, uintptr_t key, OVERLAPPED *ov);

  // Waits up to timeoutMs (INFINITE for ever) for a completion. True for a
  // successful operation or a post. False with *ov set: the operation
  // failed (its error is the thread's last error). False with *ov null:
  // the wait timed out (ERROR_TIMEOUT) or the port failed.
  bool GetQueuedCompletionStatus(DWORD *bytes, uintptr_t *key, OVERLAPPED **ov, DWORD timeoutMs);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};
