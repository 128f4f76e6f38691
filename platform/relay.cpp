// relay: see relay.h. The relay thread waits on one epoll set in which
// each relay's sockets stand while they have something to wait for; the
// event's data names the relay and the socket. Pump does whatever can be
// done without waiting, then the interests are set from the buffers. A
// socket with nothing to wait for is taken out of the set (a level-
// triggered hang-up would otherwise wake the thread for ever).
#include "platform/relay.h"

#include <errno.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <list>
#include <mutex>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "platform/localipc.h"
#include "platform/sockets.h"
#include "platform/sync.h"

namespace {

// One read's worth; a TLS record's plaintext.
constexpr size_t kPieceBytes = 16 * 1024;
constexpr int kMaxEvents = 64;
constexpr int kTickMs = 1000;
constexpr uint64_t kWakeTag = 1;   // the eventfd (relay pointers are aligned)

enum Which : uint64_t { kClient = 0, kLocal = 1, kControl = 2 };

struct Relay {
  RelaySpec S;
  std::string ToLocal;    // plaintext from the client for the session
  std::string ToClient;   // ciphertext for the client
  bool ClientEof = false;     // the client sent its last byte
  bool ClientDone = false;    // no more I/O with the client
  bool LocalEof = false;      // the session sent its last byte
  bool LocalShut = false;     // the session was told the client's end
  bool ControlEof = false;
  bool Closing = false;       // close_notify queued
  bool Ended = false;         // OnEnd ran; freed after the current batch
  long long FlushDeadlineMs = 0;
  uint32_t Interest[3] = {0, 0, 0};
  std::list<Relay *>::iterator Where;
};

struct RelayThread {
  int Epoll = -1;
  int Wake = -1;
  std::mutex Lock;                  // guards Incoming
  std::vector<Relay *> Incoming;
  std::list<Relay *> All;           // the thread's own
  std::vector<Relay *> Ended;       // freed once no event of the batch can name them
  std::atomic<size_t> Open{0};
  std::atomic<bool> Running{false};
};

RelayThread &TheThread() {
  // Never destroyed: the thread is not joined.
  static RelayThread *t = new RelayThread;
  return *t;
}

int FdOf(Relay &r, Which w) {
  switch (w) {
    case kClient: return r.S.Client.Get();
    case kLocal: return r.S.Local.Get();
    default: return r.S.Control.Get();
  }
}

void SetInterest(Relay &r, Which w, uint32_t events) {
  int fd = FdOf(r, w);
  if (fd < 0) events = 0;
  uint32_t &now = r.Interest[w];
  if (events == now) return;
  struct epoll_event ev = {};
  ev.events = events;
  ev.data.u64 = reinterpret_cast<uint64_t>(&r) + static_cast<uint64_t>(w);
  int op = now == 0 ? EPOLL_CTL_ADD : events == 0 ? EPOLL_CTL_DEL : EPOLL_CTL_MOD;
  if (epoll_ctl(TheThread().Epoll, op, fd, &ev) == 0 || op == EPOLL_CTL_DEL) now = events;
}

void Drop(Relay &r, Which w) {
  SetInterest(r, w, 0);
  switch (w) {
    case kClient: r.S.Client.Reset(); break;
    case kLocal: r.S.Local.Reset(); break;
    default: r.S.Control.Reset(); break;
  }
}

// The client's side is over: the session sees the end of its input.
void ClientGone(Relay &r) {
  r.ClientDone = true;
  Drop(r, kClient);
  r.ToClient.clear();
  Drop(r, kLocal);
}

size_t TlsPending(const Relay &r) { return r.S.Tls ? r.S.Tls->PendingOutput() : 0; }

// One read of the client's socket without waiting: the count, 0 when
// nothing waits, -1 once its end (or failure) has been noted.
ssize_t ReadClient(Relay &r, char *buf) {
  ssize_t n = recv(r.S.Client.Get(), buf, kPieceBytes, MSG_DONTWAIT);
  if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return 0;
  if (n > 0) return n;
  if (n < 0) ClientGone(r);
  r.ClientEof = true;
  return -1;
}

// Client to session: ciphertext in, plaintext out to the session; a client
// in clear (bPlainClient): its bytes as they are.
bool PumpFromClient(Relay &r, char *buf) {
  bool progress = false;
  if (r.ClientDone || r.ClientEof || r.ToLocal.size() >= kRelayBufferBytes) return false;
  if (!r.S.Tls) {
    ssize_t n = ReadClient(r, buf);
    if (n > 0) r.ToLocal.append(buf, static_cast<size_t>(n));
    return n != 0;
  }
  if (!r.S.Tls->HasBufferedInput()) {
    ssize_t n = ReadClient(r, buf);
    if (n <= 0) return n < 0;
    if (!r.S.Tls->Feed(buf, static_cast<size_t>(n))) {
      ClientGone(r);
      return true;
    }
    progress = true;
  }
  while (r.ToLocal.size() < kRelayBufferBytes) {
    size_t got = 0;
    TlsResult t = r.S.Tls->Read(buf, kPieceBytes, &got);
    if (t == TlsResult::kDone) {
      r.ToLocal.append(buf, got);
      progress = true;
      continue;
    }
    if (t == TlsResult::kClosed) r.ClientEof = true;
    if (t == TlsResult::kFatal) ClientGone(r);
    break;
  }
  return progress;
}

bool PumpToLocal(Relay &r) {
  if (!r.S.Local.Valid()) return false;
  bool progress = false;
  if (!r.ToLocal.empty()) {
    ssize_t n = send(r.S.Local.Get(), r.ToLocal.data(), r.ToLocal.size(),
                     MSG_DONTWAIT | MSG_NOSIGNAL);
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
      Drop(r, kLocal);
      r.LocalEof = true;
      return true;
    }
    if (n > 0) {
      r.ToLocal.erase(0, static_cast<size_t>(n));
      progress = true;
    }
  }
  if (r.ToLocal.empty()) std::string().swap(r.ToLocal);
  if (r.ClientEof && r.ToLocal.empty() && !r.LocalShut) {
    shutdown(r.S.Local.Get(), SHUT_WR);
    r.LocalShut = true;
    if (r.S.bEndWithClient) {
      Drop(r, kLocal);
      r.LocalEof = true;
    }
  }
  return progress;
}

// Session to client: plaintext in, encrypted into the session's output.
bool PumpFromLocal(Relay &r, char *buf) {
  if (!r.S.Local.Valid() || r.LocalEof || r.ClientDone) return false;
  if (TlsPending(r) + r.ToClient.size() >= kRelayBufferBytes) return false;
  ssize_t n = recv(r.S.Local.Get(), buf, kPieceBytes, MSG_DONTWAIT);
  if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return false;
  if (n <= 0) {
    r.LocalEof = true;
    Drop(r, kLocal);
    return true;
  }
  if (!r.S.Tls) r.ToClient.append(buf, static_cast<size_t>(n));
  else if (r.S.Tls->Write(buf, static_cast<size_t>(n)) != TlsResult::kDone) ClientGone(r);
  return true;
}

bool PumpToClient(Relay &r, char *buf) {
  if (r.ClientDone) return false;
  bool progress = false;
  while (r.ToClient.size() < kRelayBufferBytes && TlsPending(r) > 0) {
    size_t n = r.S.Tls->TakeOutput(buf, kPieceBytes);
    if (n == 0) break;
    r.ToClient.append(buf, n);
  }
  if (!r.ToClient.empty()) {
    ssize_t n = send(r.S.Client.Get(), r.ToClient.data(), r.ToClient.size(),
                     MSG_DONTWAIT | MSG_NOSIGNAL);
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
      ClientGone(r);
      return true;
    }
    if (n > 0) {
      r.ToClient.erase(0, static_cast<size_t>(n));
      progress = true;
    }
  }
  if (r.ToClient.empty()) std::string().swap(r.ToClient);
  return progress;
}

bool PumpControl(Relay &r, char *buf) {
  if (!r.S.Control.Valid()) return false;
  std::vector<UniqueFd> none;
  long n = ReceiveMessage(r.S.Control.Get(), buf, kMaxRelayMessage, none, 0, 0);
  if (n > 0) {
    if (r.S.OnMessage) r.S.OnMessage(std::string_view(buf, static_cast<size_t>(n)));
    return true;
  }
  if (n < 0 && GetLastError() == EMSGSIZE) return true;   // dropped, the next may do
  if (n < 0 && GetLastError() == ERROR_TIMEOUT) return false;
  r.ControlEof = true;
  Drop(r, kControl);
  return true;
}

// The session's output is all out: the client is told the end and closed.
void FinishClient(Relay &r, char *buf) {
  if (r.ClientDone || !r.LocalEof) return;
  if (r.FlushDeadlineMs == 0) r.FlushDeadlineMs = MonotonicMs() + kRelayFlushSeconds * 1000;
  if (!r.Closing) {
    if (r.S.Tls) r.S.Tls->Close();
    r.Closing = true;
  }
  (void)PumpToClient(r, buf);
  if (r.ToClient.empty() && TlsPending(r) == 0) {
    shutdown(r.S.Client.Get(), SHUT_WR);
    ClientGone(r);
  } else if (MonotonicMs() >= r.FlushDeadlineMs) {
    ClientGone(r);
  }
}

// A relay of data (and not only of a session's control messages).
bool CarriesData(const Relay &r) { return r.S.Tls != nullptr || r.S.bPlainClient; }

bool Finished(const Relay &r) {
  return !r.S.Control.Valid() && !r.S.Client.Valid() && !r.S.Local.Valid();
}

void Pump(Relay &r) {
  static char buf[kMaxRelayMessage > kPieceBytes ? kMaxRelayMessage : kPieceBytes];
  for (bool progress = true; progress;) {
    progress = false;
    if (CarriesData(r)) {
      progress |= PumpFromClient(r, buf);
      progress |= PumpToLocal(r);
      progress |= PumpFromLocal(r, buf);
      progress |= PumpToClient(r, buf);
    }
    progress |= PumpControl(r, buf);
  }
  if (!CarriesData(r)) return;
  FinishClient(r, buf);
  uint32_t client = 0, local = 0;
  if (!r.ClientDone) {
    if (!r.ClientEof && r.ToLocal.size() < kRelayBufferBytes) client |= EPOLLIN;
    if (!r.ToClient.empty() || TlsPending(r) > 0) client |= EPOLLOUT;
  }
  if (!r.LocalEof && TlsPending(r) + r.ToClient.size() < kRelayBufferBytes) local |= EPOLLIN;
  if (!r.ToLocal.empty()) local |= EPOLLOUT;
  SetInterest(r, kClient, client);
  SetInterest(r, kLocal, local);
}

void End(Relay *r) {
  RelayThread &t = TheThread();
  Drop(*r, kClient);
  Drop(*r, kLocal);
  Drop(*r, kControl);
  t.All.erase(r->Where);
  t.Open--;
  r->Ended = true;
  t.Ended.push_back(r);
  std::function<void()> onEnd = std::move(r->S.OnEnd);
  if (onEnd) onEnd();
}

void Admit(Relay *r) {
  RelayThread &t = TheThread();
  r->Where = t.All.insert(t.All.end(), r);
  for (Which w : {kClient, kLocal}) {
    if (FdOf(*r, w) >= 0) (void)SetNonBlocking(FdOf(*r, w));
  }
  SetInterest(*r, kControl, EPOLLIN);
  Pump(*r);
  if (Finished(*r)) End(r);
}

void TakeIncoming() {
  RelayThread &t = TheThread();
  uint64_t count;
  (void)!read(t.Wake, &count, sizeof count);
  std::vector<Relay *> incoming;
  {
    std::lock_guard<std::mutex> guard(t.Lock);
    incoming.swap(t.Incoming);
  }
  for (Relay *r : incoming) Admit(r);
}

// Relays whose client is slow to take the end are closed at their deadline.
void Tick() {
  RelayThread &t = TheThread();
  long long now = MonotonicMs();
  std::vector<Relay *> due;
  for (Relay *r : t.All)
    if (r->FlushDeadlineMs != 0 && now >= r->FlushDeadlineMs) due.push_back(r);
  for (Relay *r : due) {
    ClientGone(*r);
    Pump(*r);
    if (Finished(*r)) End(r);
  }
}

void RelayLoop() {
  RelayThread &t = TheThread();
  struct epoll_event events[kMaxEvents];
  long long lastTick = MonotonicMs();
  for (;;) {
    int n = epoll_wait(t.Epoll, events, kMaxEvents, kTickMs);
    for (int i = 0; i < n; ++i) {
      uint64_t data = events[i].data.u64;
      if (data == kWakeTag) {
        TakeIncoming();
        continue;
      }
      auto *r = reinterpret_cast<Relay *>(data & ~static_cast<uint64_t>(3));
      // A relay ended earlier in this batch may be named again.
      if (r->Ended) continue;
      Pump(*r);
      if (Finished(*r)) End(r);
    }
    for (Relay *r : t.Ended) delete r;
    t.Ended.clear();
    if (MonotonicMs() - lastTick >= kTickMs) {
      lastTick = MonotonicMs();
      Tick();
    }
  }
}

}  // namespace

bool StartRelayThread() {
  RelayThread &t = TheThread();
  std::lock_guard<std::mutex> guard(t.Lock);
  if (t.Running) return true;
  t.Epoll = epoll_create1(EPOLL_CLOEXEC);
  t.Wake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (t.Epoll < 0 || t.Wake < 0) return false;
  struct epoll_event ev = {};
  ev.events = EPOLLIN;
  ev.data.u64 = kWakeTag;
  if (epoll_ctl(t.Epoll, EPOLL_CTL_ADD, t.Wake, &ev) != 0) return false;
  std::thread(RelayLoop).detach();
  t.Running = true;
  return true;
}

bool AddRelay(RelaySpec spec) {
  RelayThread &t = TheThread();
  bool data = spec.Tls != nullptr || spec.bPlainClient;
  bool tlsComplete = !(spec.Tls && spec.bPlainClient) && data == spec.Client.Valid() &&
                     spec.Client.Valid() == spec.Local.Valid();
  auto *r = tlsComplete && t.Running ? new (std::nothrow) Relay : nullptr;
  if (r == nullptr) {
    std::function<void()> onEnd = std::move(spec.OnEnd);
    spec = RelaySpec();
    if (onEnd) onEnd();
    return false;
  }
  r->S = std::move(spec);
  t.Open++;
  {
    std::lock_guard<std::mutex> guard(t.Lock);
    t.Incoming.push_back(r);
  }
  uint64_t one = 1;
  (void)!write(t.Wake, &one, sizeof one);
  return true;
}

size_t RelaysOpen() { return TheThread().Open.load(); }
