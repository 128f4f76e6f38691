// netengine: see netengine.h.
#include "net/netengine.h"

#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "common/logging.h"
#include "common/service.h"
#include "messages/zelmsg.h"
#include "net/localhost.h"
#include "platform/sockets.h"
#include "platform/sync.h"
#include "platform/sysinfo.h"

namespace {

// Room for a burst of connections: with a short queue Linux drops the
// handshakes of the rest and their clients wait out TCP's retries.
constexpr int kListenBacklog = 256;
// Workers wake at least this often to run the idle check.
constexpr DWORD kIdleScanMs = 1000;
// The completion key that tells a worker to leave.
constexpr uintptr_t kStopKey = 0;

struct Engine {
  CompletionPort Port;
  NetEngineSettings Settings;
  NetEngineHooks Hooks{};
  std::atomic<bool> Stopping{false};
  std::mutex ListenLock;        // the listener's fd: closed only under it
  int ListenSocket = -1;
  std::atomic<unsigned> WorkersRunning{0};
  std::mutex ListLock;          // guards Head and every Next
  _Connection *Head = nullptr;
  std::mutex ScanLock;          // one idle scan at a time
  long long LastScan = 0;
};

Engine &TheEngine() {
  // Never destroyed: workers are not joined and may outlive main's return.
  static Engine *engine = new Engine;
  return *engine;
}

void EnterConnection(_Connection *conn) {
  Engine &e = TheEngine();
  std::lock_guard<std::mutex> guard(e.ListLock);
  conn->Next = e.Head;
  e.Head = conn;
}

void RemoveConnection(_Connection *conn) {
  Engine &e = TheEngine();
  std::lock_guard<std::mutex> guard(e.ListLock);
  for (_Connection **link = &e.Head; *link != nullptr; link = &(*link)->Next) {
    if (*link == conn) {
      *link = conn->Next;
      return;
    }
  }
}

// Cancels the reads that have waited longer than the idle limit. The
// cancelled read completes on a worker, which answers and closes.
void ScanIdleConnections() {
  Engine &e = TheEngine();
  if (e.Settings.IdleSeconds == 0) return;
  std::unique_lock<std::mutex> scan(e.ScanLock, std::try_to_lock);
  if (!scan.owns_lock()) return;
  long long now = NowSeconds();
  if (now == e.LastScan) return;
  e.LastScan = now;
  std::lock_guard<std::mutex> guard(e.ListLock);
  for (_Connection *c = e.Head; c != nullptr; c = c->Next) {
    if (!c->bReadOutstanding.load() || now - c->LastActivity.load() <= e.Settings.IdleSeconds)
      continue;
    // The flag is set before the cancel so the cancelled completion sees it;
    // a read that a worker had already claimed was not idle after all.
    c->bTimedOut = true;
    // Only a read is cancelled: a reply being sent is never cut short.
    if (!e.Port.CancelRead(c->Socket, &c->Overlapped)) c->bTimedOut = false;
  }
}

void WorkerThread() {
  Engine &e = TheEngine();
  for (;;) {
    DWORD bytes = 0;
    uintptr_t key = 0;
    OVERLAPPED *ov = nullptr;
    bool ok = e.Port.GetQueuedCompletionStatus(&bytes, &key, &ov, kIdleScanMs);
    if (e.Stopping.load() || (ok && key == kStopKey)) break;
    if (ov == nullptr) {
      ScanIdleConnections();
      continue;
    }
    auto *conn = reinterpret_cast<_Connection *>(key);
    conn->LastActivity = NowSeconds();
    if (ov == &conn->Overlapped) conn->bReadOutstanding = false;
    e.Hooks.Complete(conn, ov, bytes, ok);
    ScanIdleConnections();
  }
  e.WorkersRunning--;
}

// The name under which the connection reached us: the table entry of the
// local address, else the dotted address itself.
std::string LocalNameOf(uint32_t addr, const std::string &dotted) {
  for (const _IPInfo &entry : LocalHostIPInfo.Entries) {
    if (entry.IPAddr == addr) return entry.Name.empty() ? entry.Address : entry.Name;
  }
  return dotted;
}

bool OpenListener(Engine &e) {
  int fd = CreateTcpSocket();
  if (fd < 0) {
    LogWin32Error(EVENTLOG_ERROR_TYPE, "socket", GetLastError());
    return false;
  }
  if (!BindSocket(fd, 0, e.Settings.Port)) {
    LogWin32Error(EVENTLOG_ERROR_TYPE, "bind", GetLastError());
    CloseSocket(fd);
    return false;
  }
  if (!ListenSocket(fd, kListenBacklog)) {
    LogWin32Error(EVENTLOG_ERROR_TYPE, "listen", GetLastError());
    CloseSocket(fd);
    return false;
  }
  std::lock_guard<std::mutex> guard(e.ListenLock);
  e.ListenSocket = fd;
  return true;
}

// Waits on the pause gate; false when the service stops meanwhile.
bool WaitWhilePaused() {
  ZelEvent *gate = ServicePauseGate();
  ZelEvent *stop = ServiceStopEvent();
  if (gate == nullptr || stop == nullptr) return !TheEngine().Stopping.load();
  Waitable *both[] = {gate, stop};
  return WaitForMultipleObjects(2, both, INFINITE) == WAIT_OBJECT_0 && !TheEngine().Stopping.load();
}

void AcceptOne(Engine &e, int fd, uint32_t peerAddr) {
  auto conn = std::make_unique<_Connection>();
  conn->Socket = fd;
  conn->PeerIp = IpV4(peerAddr);
  conn->PeerAddress = AddressText(conn->PeerIp);
  uint32_t local = 0;
  GetLocalAddress(fd, &local);
  conn->LocalIp = IpV4(local);
  conn->LocalAddress = AddressText(conn->LocalIp);
  conn->LocalHostName = LocalNameOf(local, conn->LocalAddress);
  conn->LastActivity = NowSeconds();
  if (!e.Port.Associate(fd, reinterpret_cast<uintptr_t>(conn.get()))) {
    LogWin32Error(EVENTLOG_ERROR_TYPE, "CreateIOCompletionPort", GetLastError());
    CloseSocket(fd);
    return;
  }
  if (e.Settings.KeepAlive) SetKeepAlive(fd);
  _Connection *raw = conn.release();
  EnterConnection(raw);
  e.Hooks.Greet(raw);
}

void Listening(const Engine &e, bool open) {
  if (e.Hooks.Listening != nullptr) e.Hooks.Listening(open);
}

void ListeningThread() {
  Engine &e = TheEngine();
  GetLocalHostIPInfo();
  if (LocalHostIPInfo.Entries.empty()) {
    LogEvent(EVENTLOG_ERROR_TYPE, MSG_NO_IP_ADDRESS, nullptr, nullptr);
    Listening(e, false);
    return;
  }
  bool open = OpenListener(e);
  Listening(e, open);
  if (!open) return;
  // Only this thread closes the listening socket, so the descriptor it
  // accepts on cannot be closed and reused under it; stop merely shuts it
  // down, which makes the blocked accept fail.
  int listenFd;
  {
    std::lock_guard<std::mutex> guard(e.ListenLock);
    listenFd = e.ListenSocket;
  }
  while (!e.Stopping.load() && WaitWhilePaused()) {
    uint32_t peer = 0;
    int fd = AcceptSocket(listenFd, &peer);
    if (fd < 0) {
      if (!e.Stopping.load()) LogWin32Error(EVENTLOG_ERROR_TYPE, "accept", GetLastError());
      break;
    }
    if (e.Stopping.load()) {
      CloseSocket(fd);
      break;
    }
    AcceptOne(e, fd, peer);
  }
  std::lock_guard<std::mutex> guard(e.ListenLock);
  CloseSocket(e.ListenSocket);
  e.ListenSocket = -1;
}

}  // namespace

bool StartNetEngine(const NetEngineSettings &settings, const NetEngineHooks &hooks) {
  Engine &e = TheEngine();
  e.Settings = settings;
  e.Hooks = hooks;
  e.Stopping = false;
  if (!e.Port.Create()) {
    LogWin32Error(EVENTLOG_ERROR_TYPE, "CreateIoCompletionPort", GetLastError());
    return false;
  }
  unsigned workers = settings.Workers != 0 ? settings.Workers : 2 * GetProcessorCount();
  for (unsigned i = 0; i < workers; ++i) {
    e.WorkersRunning++;
    std::thread(WorkerThread).detach();
  }
  std::thread(ListeningThread).detach();
  return true;
}

void StopNetEngine() {
  Engine &e = TheEngine();
  e.Stopping = true;
  {
    std::lock_guard<std::mutex> guard(e.ListenLock);
    if (e.ListenSocket >= 0) ShutdownListener(e.ListenSocket);
  }
  // One wake-up per worker; each leaves at its next completion.
  for (unsigned i = e.WorkersRunning.load(); i > 0; --i) e.Port.Post(0, kStopKey, nullptr);
}

bool NetEngineStopping() { return TheEngine().Stopping.load(); }

CompletionPort &EnginePort() { return TheEngine().Port; }

bool TrySocketRead(_Connection *conn, char *buffer, size_t length) {
  conn->bReadOutstanding = true;
  if (TheEngine().Port.ReadSocket(conn->Socket, buffer, length, &conn->Overlapped)) return true;
  conn->bReadOutstanding = false;
  return false;
}

bool TrySocketWrite(_Connection *conn, const char *buffer, size_t length) {
  return TheEngine().Port.WriteSocket(conn->Socket, buffer, length, &conn->Overlapped);
}

bool TrySocketTransmit(_Connection *conn, int fileFd, off_t offset, size_t length,
                       std::string_view head, std::string_view tail) {
  return TheEngine().Port.TransmitFile(conn->Socket, fileFd, offset, length, head.data(),
                                       head.size(), tail.data(), tail.size(),
                                       &conn->Overlapped);
}

bool StartSocketRead(_Connection *conn, char *buffer, size_t length) {
  if (TrySocketRead(conn, buffer, length)) return true;
  CloseConnection(conn, false);
  return false;
}

bool StartSocketWrite(_Connection *conn, const char *buffer, size_t length) {
  if (TrySocketWrite(conn, buffer, length)) return true;
  CloseConnection(conn, false);
  return false;
}

bool PostReadCompletion(_Connection *conn, DWORD bytes) {
  if (TheEngine().Port.Post(bytes, reinterpret_cast<uintptr_t>(conn), &conn->Overlapped))
    return true;
  CloseConnection(conn, false);
  return false;
}

void CloseConnection(_Connection *conn, bool graceful) {
  Engine &e = TheEngine();
  RemoveConnection(conn);
  if (e.Hooks.Release != nullptr) e.Hooks.Release(conn);
  e.Port.Dissociate(conn->Socket);
  if (graceful)
    CloseSocket(conn->Socket);
  else
    CloseSocketAbortive(conn->Socket);
  delete conn;
}
