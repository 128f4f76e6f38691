// iocp: see iocp.h. How the completion port stands on epoll:
//
// - One epoll set serves every waiter. A socket is registered with
//   EPOLLONESHOT when its operation has to wait, so one readiness event goes
//   to one worker, which then does the I/O itself and returns the
//   completion without queueing it.
// - Completions that are not made by a readiness event (an operation that
//   finished when it started, a file write, a cancel, a post) go through the
//   ready queue: a FIFO linked through OVERLAPPED::Next (posts use pooled
//   nodes), counted by an eventfd in semaphore mode that sits in the same
//   epoll set. A waiter takes an entry only after it has taken one count from
//   the eventfd, and the count is raised only after the entry is queued, so
//   an entry is never lost and never handed out twice.
// - Each descriptor has a slot (indexed by fd) with a lock, the outstanding
//   operation and a generation. Every arming gets a new generation, carried
//   in the epoll event; a worker claims an operation only while the slot is
//   armed with that generation, and CancelIo takes it back only while it is
//   armed. Exactly one of them wins, so a started operation completes exactly
//   once; stale events (after a cancel, a dissociation or a reuse of the fd)
//   find another generation and are dropped. Slots are never freed while
//   the port lives, so a stale event never touches freed memory.
// - A socket operation that finishes in the call that started it, on a
//   thread that waits on this port, is kept for that thread: its next wait
//   returns it before anything else, without the ready queue's eventfd (a
//   write, a wake-up and a read per completion, several per message). The
//   engine's handlers return to the wait as soon as they have started their
//   next operation, so such a completion never waits on other work.
// - File writes go to a small pool of file threads (pwrite, then fdatasync
//   when asked) and complete through the ready queue; a small write without
//   a sync from a waiting thread is done at once (kept, as above).
//
// Locks are held only around short bookkeeping and epoll_ctl (which never
// waits for I/O); never across recv, send, sendfile, pwrite or fdatasync.
#include "platform/iocp.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <condition_variable>
#include <mutex>
#include <new>
#include <vector>

#include "platform/sockets.h"
#include "platform/sync.h"

namespace {

constexpr size_t kSlotChunk = 1024;      // fds per chunk of the slot table
constexpr size_t kMaxSlotChunks = 4096;  // fds below 4M: far above any descriptor limit we run with
constexpr unsigned kMaxFileThreads = 64;          // a pool, not a thread per write
constexpr size_t kInlineFileWrite = 16384;        // written at once by a waiting thread
constexpr size_t kMaxSendfileChunk = 0x7ffff000;  // the most one sendfile moves
constexpr uint64_t kReadyTag = 0xFFFFFFFFull;     // epoll data of the eventfd (no fd is this large)

enum OpKind : int { kOpNone = 0, kOpRead, kOpWrite, kOpTransmit, kOpFileWrite, kOpPost };
enum SlotState { kIdle, kRunning, kArmed };
enum Progress { kFinished, kPending };

struct Slot {
  std::mutex Lock;
  bool Associated = false;
  bool IsSocket = false;
  bool InEpoll = false;
  uint32_t Gen = 0;
  SlotState State = kIdle;
  int Kind = kOpNone;
  OVERLAPPED *Ov = nullptr;
  uintptr_t Key = 0;
  unsigned FileOps = 0;  // file writes started and not yet completed
  uint64_t Serial = 0;   // socket operations started on the descriptor
};

// Which armed socket operation a cancel may take: any, only a read, or only
// the write numbered Serial that has sent no more than Done bytes (a
// stalled one).
struct CancelMatch {
  enum { kAny, kRead, kStalledWrite } What = kAny;
  uint64_t Serial = 0;
  size_t Done = 0;
};

struct SlotChunk {
  Slot Slots[kSlotChunk];
};

// A posted completion: the port's own node, so the caller's block is never touched.
struct PostNode : OVERLAPPED {
  OVERLAPPED *Target = nullptr;
  DWORD Bytes = 0;
};

// A FIFO linked through OVERLAPPED::Next.
struct OvList {
  OVERLAPPED *Head = nullptr;
  OVERLAPPED *Tail = nullptr;

  void Push(OVERLAPPED *ov) {
    ov->Next = nullptr;
    if (Tail != nullptr)
      Tail->Next = ov;
    else
      Head = ov;
    Tail = ov;
  }
  OVERLAPPED *Pop() {
    OVERLAPPED *ov = Head;
    if (ov == nullptr) return nullptr;
    Head = ov->Next;
    if (Head == nullptr) Tail = nullptr;
    ov->Next = nullptr;
    return ov;
  }
  // Unlinks ov; false when it is not in the list.
  bool Remove(OVERLAPPED *ov) {
    OVERLAPPED *prev = nullptr;
    for (OVERLAPPED *p = Head; p != nullptr; prev = p, p = p->Next) {
      if (p != ov) continue;
      (prev != nullptr ? prev->Next : Head) = p->Next;
      if (Tail == p) Tail = prev;
      p->Next = nullptr;
      return true;
    }
    return false;
  }
};

bool Fail(long code) {
  SetLastError(code);
  return false;
}

uint64_t EventData(int fd, uint32_t gen) {
  return (static_cast<uint64_t>(gen) << 32) | static_cast<uint32_t>(fd);
}

}  // namespace

struct CompletionPort::Impl {
  // The completions kept for the waiting thread that started them (see
  // above): the port this thread last waited on, and its kept completions.
  static thread_local Impl *OwnPort;
  static thread_local OvList OwnList;

  int Epoll = -1;
  int Ready = -1;  // eventfd: one count per queued completion
  std::atomic<SlotChunk *> Chunks[kMaxSlotChunks] = {};
  std::mutex ChunkLock;  // serialises chunk creation

  std::mutex ReadyLock;  // guards ReadyList and FreePosts
  OvList ReadyList;
  OvList FreePosts;

  std::mutex FileLock;  // guards FileList and StopFiles
  std::condition_variable FileWake;
  OvList FileList;
  bool StopFiles = false;
  std::vector<pthread_t> FileThreads;

  ~Impl();
  Slot *FindSlot(int fd);
  Slot *MakeSlot(int fd);
  void PushReady(OVERLAPPED *ov);
  OVERLAPPED *TakeReady();
  bool Arm(Slot *s, int fd);
  bool StartSocketOp(int fd, OVERLAPPED *ov, int kind);
  OVERLAPPED *OnSocketEvent(uint64_t data);
  void FinishSocketOp(Slot *s);
  bool CancelSocketOp(int fd, OVERLAPPED *ov, const CancelMatch &match);
  bool CancelFileOps(int fd, OVERLAPPED *ov);
  void RunFileThread();
  static void *FileThreadMain(void *impl);
  bool Deliver(OVERLAPPED *done, DWORD *bytes, uintptr_t *key, OVERLAPPED **ov);
};

// ---- the slot table

Slot *CompletionPort::Impl::FindSlot(int fd) {
  if (fd < 0 || static_cast<size_t>(fd) >= kSlotChunk * kMaxSlotChunks) return nullptr;
  SlotChunk *chunk = Chunks[fd / kSlotChunk].load(std::memory_order_acquire);
  return chunk != nullptr ? &chunk->Slots[fd % kSlotChunk] : nullptr;
}

Slot *CompletionPort::Impl::MakeSlot(int fd) {
  if (Slot *s = FindSlot(fd)) return s;
  if (fd < 0 || static_cast<size_t>(fd) >= kSlotChunk * kMaxSlotChunks) return nullptr;
  std::lock_guard<std::mutex> guard(ChunkLock);
  std::atomic<SlotChunk *> &cell = Chunks[fd / kSlotChunk];
  if (cell.load(std::memory_order_relaxed) == nullptr) {
    auto *chunk = new (std::nothrow) SlotChunk;
    if (chunk == nullptr) return nullptr;
    cell.store(chunk, std::memory_order_release);
  }
  return &cell.load(std::memory_order_relaxed)->Slots[fd % kSlotChunk];
}

CompletionPort::Impl::~Impl() {
  // Kept completions of the destroying thread die with the port.
  if (OwnPort == this) {
    OwnPort = nullptr;
    OwnList = OvList();
  }
  {
    std::lock_guard<std::mutex> guard(FileLock);
    StopFiles = true;
  }
  FileWake.notify_all();
  for (pthread_t t : FileThreads) pthread_join(t, nullptr);
  // Completions nobody collected: only the port's own post nodes are ours.
  while (OVERLAPPED *ov = ReadyList.Pop()) {
    if (ov->Op == kOpPost) delete static_cast<PostNode *>(ov);
  }
  while (OVERLAPPED *ov = FreePosts.Pop()) delete static_cast<PostNode *>(ov);
  for (auto &cell : Chunks) delete cell.load();
  if (Epoll >= 0) close(Epoll);
  if (Ready >= 0) close(Ready);
}

thread_local CompletionPort::Impl *CompletionPort::Impl::OwnPort = nullptr;
thread_local OvList CompletionPort::Impl::OwnList;

// ---- the ready queue

void CompletionPort::Impl::PushReady(OVERLAPPED *ov) {
  {
    std::lock_guard<std::mutex> guard(ReadyLock);
    ReadyList.Push(ov);
  }
  // The count follows the entry, so a waiter that takes a count finds one.
  uint64_t one = 1;
  (void)!write(Ready, &one, sizeof one);
}

OVERLAPPED *CompletionPort::Impl::TakeReady() {
  uint64_t count;
  // Semaphore mode: takes exactly one count, or EAGAIN when another waiter
  // was first.
  if (read(Ready, &count, sizeof count) != static_cast<ssize_t>(sizeof count)) return nullptr;
  std::lock_guard<std::mutex> guard(ReadyLock);
  return ReadyList.Pop();
}

// Copies a completion out; a post node goes back to the pool.
bool CompletionPort::Impl::Deliver(OVERLAPPED *done, DWORD *bytes, uintptr_t *key,
                                   OVERLAPPED **ov) {
  if (done->Op == kOpPost) {
    auto *node = static_cast<PostNode *>(done);
    *bytes = node->Bytes;
    *key = node->Key;
    *ov = node->Target;
    std::lock_guard<std::mutex> guard(ReadyLock);
    FreePosts.Push(node);
    return true;
  }
  *bytes = static_cast<DWORD>(std::min<size_t>(done->Done, 0xFFFFFFFFu));
  *key = done->Key;
  *ov = done;
  if (done->Error == 0) return true;
  return Fail(done->Error);
}

// ---- socket operations

namespace {

// One step of a socket operation, without waiting: kPending when the socket
// would block, kFinished with ov->Error set (0 on success) otherwise.
Progress RecvStep(int fd, OVERLAPPED *ov) {
  for (;;) {
    ssize_t n = recv(fd, ov->ReadBuffer, ov->Length, MSG_DONTWAIT);
    if (n >= 0) {
      ov->Done = static_cast<size_t>(n);
      return kFinished;
    }
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return kPending;
    ov->Error = errno;
    return kFinished;
  }
}

// One pass over head, file range and tail from where the operation stands.
Progress SendPieces(int fd, OVERLAPPED *ov) {
  size_t total = ov->Length + ov->FileLength + ov->TailLength;
  while (ov->Done < total) {
    ssize_t n;
    if (ov->Done < ov->Length) {
      n = send(fd, ov->Buffer + ov->Done, ov->Length - ov->Done, MSG_NOSIGNAL | MSG_DONTWAIT);
    } else if (ov->Done < ov->Length + ov->FileLength) {
      size_t into = ov->Done - ov->Length;
      off_t at = ov->Offset + static_cast<off_t>(into);
      n = sendfile(fd, ov->FileFd, &at, std::min(ov->FileLength - into, kMaxSendfileChunk));
      if (n == 0) {
        // The file shrank under the transmission: the peer would get less
        // than was announced, so it fails.
        ov->Error = EIO;
        return kFinished;
      }
    } else {
      size_t into = ov->Done - ov->Length - ov->FileLength;
      n = send(fd, ov->Tail + into, ov->TailLength - into, MSG_NOSIGNAL | MSG_DONTWAIT);
    }
    if (n > 0) {
      ov->Done += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return kPending;
    ov->Error = n < 0 ? errno : EIO;
    return kFinished;
  }
  return kFinished;
}

// Sends head, file range and tail from where the operation stands. A plain
// write is a transmission with only a head.
//
// A transmission is corked from its first byte to its last: head, file and
// tail leave in as few segments as they fill, and the uncork pushes the
// last partial one at once. Sent in pieces, the small tail behind the
// file's last partial segment would wait (Nagle) for the peer's delayed
// ACK, some 40 ms for every reply.
Progress SendStep(int fd, OVERLAPPED *ov) {
  bool corked = ov->Op == kOpTransmit;
  if (corked && ov->Done == 0) (void)SetSocketCork(fd, true);
  Progress p = SendPieces(fd, ov);
  if (corked && p == kFinished) (void)SetSocketCork(fd, false);
  return p;
}

Progress SocketStep(int fd, OVERLAPPED *ov) {
  return ov->Op == kOpRead ? RecvStep(fd, ov) : SendStep(fd, ov);
}

}  // namespace

// Registers the slot's operation for one readiness event under a new
// generation. Called with the slot in kRunning; on failure it stays there.
bool CompletionPort::Impl::Arm(Slot *s, int fd) {
  std::lock_guard<std::mutex> guard(s->Lock);
  epoll_event ev{};
  ev.events = (s->Kind == kOpRead ? EPOLLIN : EPOLLOUT) | EPOLLONESHOT;
  ev.data.u64 = EventData(fd, ++s->Gen);
  // The slot's idea of the registration can be stale when an fd was closed
  // without Dissociate (the kernel dropped it): fall back either way.
  int rc = epoll_ctl(Epoll, s->InEpoll ? EPOLL_CTL_MOD : EPOLL_CTL_ADD, fd, &ev);
  if (rc != 0 && (errno == ENOENT || errno == EEXIST))
    rc = epoll_ctl(Epoll, errno == ENOENT ? EPOLL_CTL_ADD : EPOLL_CTL_MOD, fd, &ev);
  if (rc != 0) return Fail(errno);
  s->InEpoll = true;
  s->State = kArmed;
  return true;
}

void CompletionPort::Impl::FinishSocketOp(Slot *s) {
  std::lock_guard<std::mutex> guard(s->Lock);
  s->State = kIdle;
  s->Ov = nullptr;
  s->Kind = kOpNone;
}

bool CompletionPort::Impl::StartSocketOp(int fd, OVERLAPPED *ov, int kind) {
  Slot *s = FindSlot(fd);
  if (s == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  ov->Op = kind;
  ov->Done = 0;
  ov->Error = 0;
  ov->Next = nullptr;
  {
    std::lock_guard<std::mutex> guard(s->Lock);
    if (!s->Associated || !s->IsSocket) return Fail(ERROR_INVALID_PARAMETER);
    if (s->State != kIdle) return Fail(ERROR_BUSY);
    s->State = kRunning;
    s->Kind = kind;
    s->Ov = ov;
    ++s->Serial;
    ov->Key = s->Key;
  }
  // Try the I/O at once: a write usually fits the socket buffer, and a read
  // often finds the data waiting.
  if (SocketStep(fd, ov) == kPending) {
    if (Arm(s, fd)) return true;
    ov->Error = GetLastError();
  }
  if (ov->Error != 0) {
    // Failed as it started: the caller hears it here, and no completion
    // follows.
    long code = ov->Error;
    FinishSocketOp(s);
    return Fail(code);
  }
  FinishSocketOp(s);
  if (OwnPort == this)
    OwnList.Push(ov);
  else
    PushReady(ov);
  return true;
}

// A readiness event: claims the armed operation, advances it, and returns
// it when it is finished (nullptr when it was stale or has to wait again).
OVERLAPPED *CompletionPort::Impl::OnSocketEvent(uint64_t data) {
  int fd = static_cast<int>(data & 0xFFFFFFFFu);
  uint32_t gen = static_cast<uint32_t>(data >> 32);
  Slot *s = FindSlot(fd);
  if (s == nullptr) return nullptr;
  OVERLAPPED *ov;
  {
    std::lock_guard<std::mutex> guard(s->Lock);
    if (s->State != kArmed || s->Gen != gen) return nullptr;
    s->State = kRunning;
    ov = s->Ov;
  }
  if (SocketStep(fd, ov) == kPending) {
    if (Arm(s, fd)) return nullptr;
    ov->Error = GetLastError();
  }
  FinishSocketOp(s);
  return ov;
}

bool CompletionPort::Impl::CancelSocketOp(int fd, OVERLAPPED *ov, const CancelMatch &match) {
  Slot *s = FindSlot(fd);
  if (s == nullptr) return false;
  OVERLAPPED *taken;
  {
    std::lock_guard<std::mutex> guard(s->Lock);
    if (s->State != kArmed || (ov != nullptr && s->Ov != ov)) return false;
    if (match.What == CancelMatch::kRead && s->Kind != kOpRead) return false;
    // Armed, the operation is not being advanced: its Done is stable.
    if (match.What == CancelMatch::kStalledWrite &&
        (s->Kind == kOpRead || s->Serial != match.Serial || s->Ov->Done > match.Done))
      return false;
    // Off the epoll set, so a later arming starts clean; an event already
    // on its way carries the old generation and is dropped.
    if (epoll_ctl(Epoll, EPOLL_CTL_DEL, fd, nullptr) == 0 || errno == ENOENT || errno == EBADF)
      s->InEpoll = false;
    ++s->Gen;
    taken = s->Ov;
    s->State = kIdle;
    s->Ov = nullptr;
    s->Kind = kOpNone;
  }
  taken->Error = ERROR_OPERATION_ABORTED;
  PushReady(taken);
  return true;
}

// ---- file writes

bool CompletionPort::Impl::CancelFileOps(int fd, OVERLAPPED *ov) {
  OvList cancelled;
  {
    std::lock_guard<std::mutex> guard(FileLock);
    if (ov != nullptr) {
      if (!FileList.Remove(ov)) return false;
      cancelled.Push(ov);
    } else {
      for (OVERLAPPED *p = FileList.Head; p != nullptr;) {
        OVERLAPPED *next = p->Next;
        if (p->FileFd == fd && FileList.Remove(p)) cancelled.Push(p);
        p = next;
      }
    }
  }
  bool any = cancelled.Head != nullptr;
  while (OVERLAPPED *p = cancelled.Pop()) {
    if (Slot *s = FindSlot(p->FileFd)) {
      std::lock_guard<std::mutex> guard(s->Lock);
      --s->FileOps;
    }
    p->Error = ERROR_OPERATION_ABORTED;
    PushReady(p);
  }
  return any;
}

namespace {

void WriteWholeFile(OVERLAPPED *ov) {
  while (ov->Done < ov->Length) {
    ssize_t n = pwrite(ov->FileFd, ov->Buffer + ov->Done, ov->Length - ov->Done,
                       ov->Offset + static_cast<off_t>(ov->Done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      ov->Error = n < 0 ? errno : ENOSPC;
      return;
    }
    ov->Done += static_cast<size_t>(n);
  }
  if (ov->Sync && fdatasync(ov->FileFd) != 0) ov->Error = errno;
}

}  // namespace

void CompletionPort::Impl::RunFileThread() {
  for (;;) {
    OVERLAPPED *ov;
    {
      std::unique_lock<std::mutex> guard(FileLock);
      FileWake.wait(guard, [this] { return StopFiles || FileList.Head != nullptr; });
      if (StopFiles) return;
      ov = FileList.Pop();
    }
    WriteWholeFile(ov);
    if (Slot *s = FindSlot(ov->FileFd)) {
      std::lock_guard<std::mutex> guard(s->Lock);
      --s->FileOps;
    }
    PushReady(ov);
  }
}

void *CompletionPort::Impl::FileThreadMain(void *impl) {
  static_cast<Impl *>(impl)->RunFileThread();
  return nullptr;
}

// ---- the public face

CompletionPort::CompletionPort() : impl_(new (std::nothrow) Impl) {}

CompletionPort::~CompletionPort() = default;

bool CompletionPort::Create(unsigned fileThreads) {
  if (impl_ == nullptr) return Fail(ERROR_NOT_ENOUGH_MEMORY);
  if (impl_->Epoll >= 0) return true;
  IgnoreBrokenPipe();
  int ep = epoll_create1(EPOLL_CLOEXEC);
  if (ep < 0) return Fail(errno);
  int ready = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK | EFD_SEMAPHORE);
  epoll_event ev{};
  ev.events = EPOLLIN;  // level-triggered: readable while any count is left
  ev.data.u64 = kReadyTag;
  if (ready < 0 || epoll_ctl(ep, EPOLL_CTL_ADD, ready, &ev) != 0) {
    long code = errno;
    if (ready >= 0) close(ready);
    close(ep);
    return Fail(code);
  }
  impl_->Epoll = ep;
  impl_->Ready = ready;
  unsigned want = std::clamp(fileThreads, 1u, kMaxFileThreads);
  for (unsigned i = 0; i < want; ++i) {
    pthread_t t;
    if (int rc = pthread_create(&t, nullptr, Impl::FileThreadMain, impl_.get()); rc != 0) {
      // Fewer file threads still work; none would leave writes hanging.
      if (impl_->FileThreads.empty()) return Fail(rc);
      break;
    }
    impl_->FileThreads.push_back(t);
  }
  return true;
}

bool CompletionPort::Associate(int fd, uintptr_t key) {
  if (impl_ == nullptr || impl_->Epoll < 0) return Fail(ERROR_INVALID_PARAMETER);
  struct stat st;
  if (fstat(fd, &st) != 0) return Fail(errno);
  bool socket = S_ISSOCK(st.st_mode);
  if (socket) {
    int flags = fcntl(fd, F_GETFL);
    if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0) return Fail(errno);
  }
  if (static_cast<size_t>(fd) >= kSlotChunk * kMaxSlotChunks) return Fail(ERROR_INVALID_PARAMETER);
  Slot *s = impl_->MakeSlot(fd);
  if (s == nullptr) return Fail(ERROR_NOT_ENOUGH_MEMORY);
  std::lock_guard<std::mutex> guard(s->Lock);
  if (s->State != kIdle || s->FileOps != 0) return Fail(ERROR_BUSY);
  s->Associated = true;
  s->IsSocket = socket;
  s->Key = key;
  ++s->Gen;
  return true;
}

bool CompletionPort::Dissociate(int fd) {
  Slot *s = impl_ != nullptr ? impl_->FindSlot(fd) : nullptr;
  if (s == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  std::lock_guard<std::mutex> guard(s->Lock);
  if (!s->Associated) return Fail(ERROR_INVALID_PARAMETER);
  if (s->State != kIdle || s->FileOps != 0) return Fail(ERROR_BUSY);
  if (s->InEpoll) (void)epoll_ctl(impl_->Epoll, EPOLL_CTL_DEL, fd, nullptr);
  s->InEpoll = false;
  s->Associated = false;
  s->Key = 0;
  ++s->Gen;
  return true;
}

bool CompletionPort::ReadSocket(int fd, char *buffer, size_t length, OVERLAPPED *ov) {
  if (impl_ == nullptr || ov == nullptr || buffer == nullptr || length == 0)
    return Fail(ERROR_INVALID_PARAMETER);
  ov->ReadBuffer = buffer;
  ov->Length = length;
  ov->Buffer = nullptr;
  ov->FileLength = 0;
  ov->TailLength = 0;
  return impl_->StartSocketOp(fd, ov, kOpRead);
}

bool CompletionPort::WriteSocket(int fd, const char *buffer, size_t length, OVERLAPPED *ov) {
  return TransmitFile(fd, -1, 0, 0, buffer, length, nullptr, 0, ov);
}

bool CompletionPort::TransmitFile(int fd, int fileFd, off_t offset, size_t fileLength,
                                  const char *head, size_t headLength, const char *tail,
                                  size_t tailLength, OVERLAPPED *ov) {
  if (impl_ == nullptr || ov == nullptr || (headLength > 0 && head == nullptr) ||
      (tailLength > 0 && tail == nullptr) || (fileLength > 0 && (fileFd < 0 || offset < 0)))
    return Fail(ERROR_INVALID_PARAMETER);
  if (fileLength > 0) {
    // A range the file does not hold is refused before a byte goes out, so
    // the caller can still answer on a clean connection.
    struct stat st;
    if (fstat(fileFd, &st) != 0) return Fail(errno);
    if (!S_ISREG(st.st_mode) || static_cast<unsigned long long>(offset) + fileLength >
                                    static_cast<unsigned long long>(st.st_size))
      return Fail(ERROR_INVALID_PARAMETER);
  }
  ov->Buffer = head;
  ov->Length = headLength;
  ov->FileFd = fileFd;
  ov->Offset = offset;
  ov->FileLength = fileLength;
  ov->Tail = tail;
  ov->TailLength = tailLength;
  return impl_->StartSocketOp(fd, ov, fileLength > 0 || tailLength > 0 ? kOpTransmit : kOpWrite);
}

bool CompletionPort::WriteFile(int fileFd, const char *buffer, size_t length, off_t offset,
                               bool sync, OVERLAPPED *ov) {
  if (impl_ == nullptr || ov == nullptr || (length > 0 && buffer == nullptr) || offset < 0)
    return Fail(ERROR_INVALID_PARAMETER);
  Slot *s = impl_->FindSlot(fileFd);
  if (s == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  ov->Op = kOpFileWrite;
  ov->Buffer = buffer;
  ov->Length = length;
  ov->Offset = offset;
  ov->FileFd = fileFd;
  ov->Sync = sync;
  ov->Done = 0;
  ov->Error = 0;
  // A small write without a sync, from a thread that waits on this port,
  // is done at once and returned by that thread's next wait: it only fills
  // the page cache, and the round trip to a file thread costs more.
  bool inlineWrite = !sync && length <= kInlineFileWrite && Impl::OwnPort == impl_.get();
  {
    std::lock_guard<std::mutex> guard(s->Lock);
    if (!s->Associated || s->IsSocket) return Fail(ERROR_INVALID_PARAMETER);
    ov->Key = s->Key;
    if (!inlineWrite) ++s->FileOps;
  }
  if (inlineWrite) {
    WriteWholeFile(ov);
    Impl::OwnList.Push(ov);
    return true;
  }
  {
    std::lock_guard<std::mutex> guard(impl_->FileLock);
    impl_->FileList.Push(ov);
  }
  impl_->FileWake.notify_one();
  return true;
}

bool CompletionPort::CancelIo(int fd, OVERLAPPED *ov) {
  if (impl_ == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  bool any = impl_->CancelSocketOp(fd, ov, CancelMatch{});
  if (!any || ov == nullptr) any = impl_->CancelFileOps(fd, ov) || any;
  return any ? true : Fail(ERROR_NOT_FOUND);
}

bool CompletionPort::CancelRead(int fd, OVERLAPPED *ov) {
  if (impl_ == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  CancelMatch read;
  read.What = CancelMatch::kRead;
  return impl_->CancelSocketOp(fd, ov, read) ? true : Fail(ERROR_NOT_FOUND);
}

bool CompletionPort::WriteProgress(int fd, OVERLAPPED *ov, uint64_t *serial, size_t *done) {
  Slot *s = impl_ == nullptr ? nullptr : impl_->FindSlot(fd);
  if (s == nullptr) return false;
  std::lock_guard<std::mutex> guard(s->Lock);
  if (s->State != kArmed || s->Ov != ov || s->Kind == kOpRead) return false;
  *serial = s->Serial;
  *done = ov->Done;
  return true;
}

bool CompletionPort::CancelStalledWrite(int fd, OVERLAPPED *ov, uint64_t serial, size_t done) {
  if (impl_ == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  CancelMatch stalled;
  stalled.What = CancelMatch::kStalledWrite;
  stalled.Serial = serial;
  stalled.Done = done;
  return impl_->CancelSocketOp(fd, ov, stalled) ? true : Fail(ERROR_NOT_FOUND);
}

bool CompletionPort::Post(DWORD bytes, uintptr_t key, OVERLAPPED *ov) {
  if (impl_ == nullptr || impl_->Ready < 0) return Fail(ERROR_INVALID_PARAMETER);
  PostNode *node;
  {
    std::lock_guard<std::mutex> guard(impl_->ReadyLock);
    node = static_cast<PostNode *>(impl_->FreePosts.Pop());
  }
  if (node == nullptr) node = new (std::nothrow) PostNode;
  if (node == nullptr) return Fail(ERROR_NOT_ENOUGH_MEMORY);
  node->Op = kOpPost;
  node->Key = key;
  node->Bytes = bytes;
  node->Target = ov;
  impl_->PushReady(node);
  return true;
}

bool CompletionPort::GetQueuedCompletionStatus(DWORD *bytes, uintptr_t *key, OVERLAPPED **ov,
                                               DWORD timeoutMs) {
  *ov = nullptr;
  if (impl_ == nullptr || impl_->Epoll < 0) return Fail(ERROR_INVALID_PARAMETER);
  if (Impl::OwnPort != impl_.get()) {
    // A thread that turns from one port to another hands what it kept for
    // the first back to that port's own queue.
    while (OVERLAPPED *kept = Impl::OwnList.Pop()) Impl::OwnPort->PushReady(kept);
    Impl::OwnPort = impl_.get();
  }
  if (OVERLAPPED *mine = Impl::OwnList.Pop()) return impl_->Deliver(mine, bytes, key, ov);
  long long deadline = timeoutMs == INFINITE ? -1 : MonotonicMs() + timeoutMs;
  for (;;) {
    int wait = -1;
    if (deadline >= 0)
      wait = static_cast<int>(
          std::clamp(deadline - MonotonicMs(), 0LL, static_cast<long long>(INT_MAX)));
    epoll_event ev;
    int n = epoll_wait(impl_->Epoll, &ev, 1, wait);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return Fail(errno);
    if (n == 0) {
      if (deadline < 0 || MonotonicMs() < deadline) continue;
      return Fail(ERROR_TIMEOUT);
    }
    OVERLAPPED *done =
        ev.data.u64 == kReadyTag ? impl_->TakeReady() : impl_->OnSocketEvent(ev.data.u64);
    if (done != nullptr) return impl_->Deliver(done, bytes, key, ov);
  }
}
