// netengine: see netengine.h.
#include "net/netengine.h"

#include <algorithm>
#include <memory>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <vector>

#include "common/loadcfig.h"
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
// Workers wake at least this often to run the idle and deadline checks.
constexpr DWORD kIdleScanMs = 1000;
// The completion key that tells a worker to leave.
constexpr uintptr_t kStopKey = 0;
// A listener short of descriptors or memory says so at most this often.
constexpr long long kAcceptWarningIntervalMs = 60 * 1000;

struct IpAddressHash {
  size_t operator()(const IpAddress &a) const {
    return std::hash<std::string_view>()(
               std::string_view(reinterpret_cast<const char *>(a.Bytes), sizeof a.Bytes)) ^
           static_cast<size_t>(a.Family);
  }
};

struct Engine {
  CompletionPort Port;
  NetEngineSettings Settings;
  NetEngineHooks Hooks{};
  std::atomic<bool> Stopping{false};
  std::mutex ListenLock;        // the listeners' fds: closed only under it
  std::vector<int> ListenSockets;   // one per Settings.Listeners entry; -1 once closed
  std::atomic<unsigned> WorkersRunning{0};
  std::mutex ListLock;          // guards Head, every Next, Open and PerClient
  _Connection *Head = nullptr;
  size_t Open = 0;              // connections in the list
  std::unordered_map<IpAddress, unsigned, IpAddressHash> PerClient;
  std::mutex ScanLock;          // one scan at a time
  long long LastScan = 0;
  std::mutex WarnLock;          // guards LastAcceptWarning
  long long LastAcceptWarning = 0;
};

Engine &TheEngine() {
  // Never destroyed: workers are not joined and may outlive main's return.
  static Engine *engine = new Engine;
  return *engine;
}

// ---- the connection list and the limits

// Enters conn unless a limit forbids it; false: over a limit.
bool AdmitConnection(_Connection *conn) {
  Engine &e = TheEngine();
  const NetEngineSettings &s = e.Settings;
  std::lock_guard<std::mutex> guard(e.ListLock);
  if (s.MaxConnections != 0 && e.Open >= s.MaxConnections) return false;
  unsigned &fromClient = e.PerClient[conn->PeerIp];
  if (s.MaxConnectionsPerClient != 0 && fromClient >= s.MaxConnectionsPerClient &&
      !s.ExemptFromClientLimit.Contains(conn->PeerIp)) {
    if (fromClient == 0) e.PerClient.erase(conn->PeerIp);
    return false;
  }
  ++fromClient;
  ++e.Open;
  conn->Next = e.Head;
  e.Head = conn;
  return true;
}

void RemoveConnection(_Connection *conn) {
  Engine &e = TheEngine();
  std::lock_guard<std::mutex> guard(e.ListLock);
  for (_Connection **link = &e.Head; *link != nullptr; link = &(*link)->Next) {
    if (*link != conn) continue;
    *link = conn->Next;
    --e.Open;
    auto count = e.PerClient.find(conn->PeerIp);
    if (count != e.PerClient.end() && --count->second == 0) e.PerClient.erase(count);
    return;
  }
}

// ---- the idle and deadline checks

// Cancels the reads that have waited longer than the idle limit, or past
// their connection's deadline. The cancelled read completes on a worker,
// which answers and closes.
void ScanIdleConnections() {
  Engine &e = TheEngine();
  std::unique_lock<std::mutex> scan(e.ScanLock, std::try_to_lock);
  if (!scan.owns_lock()) return;
  long long now = NowSeconds();
  if (now == e.LastScan) return;
  e.LastScan = now;
  long long nowMs = MonotonicMs();
  DWORD idleLimit = e.Settings.IdleSeconds;
  std::lock_guard<std::mutex> guard(e.ListLock);
  for (_Connection *c = e.Head; c != nullptr; c = c->Next) {
    if (!c->bReadOutstanding.load()) continue;
    long long deadline = c->DeadlineMs.load();
    bool late = deadline != 0 && nowMs >= deadline;
    bool idle = idleLimit != 0 && now - c->LastActivity.load() > idleLimit;
    if (!late && !idle) continue;
    // The flag is set before the cancel so the cancelled completion sees it;
    // a read that a worker had already claimed was not idle after all.
    std::atomic<bool> &why = late ? c->bDeadlinePassed : c->bTimedOut;
    why = true;
    // Only a read is cancelled: a reply being sent is never cut short.
    if (!e.Port.CancelRead(c->Socket, &c->Overlapped)) why = false;
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

// ---- listeners

// "127.0.0.1:25", "[::]:25": how events name a listener.
std::string ListenerText(const NetListener &l) {
  std::string address = AddressText(l.Address);
  if (l.Address.IsV6()) address = "[" + address + "]";
  return address + ":" + std::to_string(l.Port);
}

// "::" takes IPv4 clients too, unless an IPv4 listener has its port.
bool TakesIPv6Only(const NetListener &l, const std::vector<NetListener> &all) {
  if (!l.Address.IsV6() || !l.Address.IsAny()) return false;
  return std::any_of(all.begin(), all.end(), [&](const NetListener &other) {
    return other.Address.IsV4() && other.Port == l.Port;
  });
}

// One listening socket; -1 with the event reported.
int OpenListener(const NetListener &l, const std::vector<NetListener> &all) {
  std::string where = ListenerText(l);
  int fd = CreateTcpSocket(l.Address);
  if (fd < 0) {
    LogWin32Error(EVENTLOG_ERROR_TYPE, ("socket " + where).c_str(), GetLastError());
    return -1;
  }
  const char *step = nullptr;
  if (!BindSocket(fd, l.Address, l.Port, TakesIPv6Only(l, all)))
    step = "bind ";
  else if (!ListenSocket(fd, kListenBacklog))
    step = "listen ";
  if (step == nullptr) return fd;
  LogWin32Error(EVENTLOG_ERROR_TYPE, (step + where).c_str(), GetLastError());
  CloseSocket(fd);
  return -1;
}

void CloseListeners(Engine &e) {
  std::lock_guard<std::mutex> guard(e.ListenLock);
  for (int &fd : e.ListenSockets) {
    if (fd >= 0) CloseSocket(fd);
    fd = -1;
  }
}

bool OpenListeners(Engine &e) {
  const std::vector<NetListener> &all = e.Settings.Listeners;
  if (all.empty()) {
    LogEvent(EVENTLOG_ERROR_TYPE, MSG_NO_LISTEN_ADDRESS, nullptr, nullptr);
    return false;
  }
  std::vector<int> fds;
  for (const NetListener &l : all) {
    int fd = OpenListener(l, all);
    if (fd < 0) {
      for (int open : fds) CloseSocket(open);
      return false;
    }
    fds.push_back(fd);
  }
  std::lock_guard<std::mutex> guard(e.ListenLock);
  e.ListenSockets = std::move(fds);
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

// The listener has no descriptor or memory for the next connection: those
// come back as connections close, so it says so (once a minute at most)
// and waits a little instead of giving up.
void BackOffAfterAccept(Engine &e, long error) {
  long long now = MonotonicMs();
  bool report;
  {
    std::lock_guard<std::mutex> guard(e.WarnLock);
    report = e.LastAcceptWarning == 0 || now - e.LastAcceptWarning >= kAcceptWarningIntervalMs;
    if (report) e.LastAcceptWarning = now;
  }
  if (report) LogWin32Error(EVENTLOG_WARNING_TYPE, "accept", error);
  ZelEvent *stop = ServiceStopEvent();
  if (stop != nullptr)
    (void)WaitForSingleObject(*stop, kAcceptBackoffMs);
  else
    Sleep(kAcceptBackoffMs);
}

// The name under which the connection reached us: the table entry of the
// local address, else the address itself.
std::string LocalNameOf(const IpAddress &local, const std::string &text) {
  const _IPInfo *entry = FindLocalAddress(local);
  if (entry == nullptr) return text;
  return entry->Name.empty() ? entry->Address : entry->Name;
}

// Over a limit: the reply goes into the fresh socket's empty buffer, which
// takes it whole without waiting, and the connection ends.
void Refuse(Engine &e, int fd) {
  const std::string &reply = e.Settings.TooManyConnectionsReply;
  if (!reply.empty()) (void)SendSocket(fd, reply.data(), reply.size(), 0);
  CloseSocket(fd);
}

void AcceptOne(Engine &e, int fd, const IpAddress &peer, int kind) {
  auto conn = std::make_unique<_Connection>();
  conn->Socket = fd;
  conn->ListenerKind = kind;
  conn->PeerIp = peer;
  conn->PeerAddress = AddressText(peer);
  (void)GetSocketAddress(fd, &conn->LocalIp);
  conn->LocalAddress = AddressText(conn->LocalIp);
  conn->LocalHostName = LocalNameOf(conn->LocalIp, conn->LocalAddress);
  conn->LastActivity = NowSeconds();
  if (!AdmitConnection(conn.get())) {
    Refuse(e, fd);
    return;
  }
  if (!e.Port.Associate(fd, reinterpret_cast<uintptr_t>(conn.get()))) {
    LogWin32Error(EVENTLOG_ERROR_TYPE, "CreateIOCompletionPort", GetLastError());
    RemoveConnection(conn.get());
    CloseSocket(fd);
    return;
  }
  if (e.Settings.KeepAlive) SetKeepAlive(fd);
  e.Hooks.Greet(conn.release());
}

// Accepts on listener index until the service stops or accept fails for
// good. Only this thread closes its listening socket, so the descriptor it
// accepts on cannot be closed and reused under it; stop merely shuts it
// down, which makes the blocked accept fail.
void AcceptLoop(size_t index) {
  Engine &e = TheEngine();
  int listenFd;
  {
    std::lock_guard<std::mutex> guard(e.ListenLock);
    listenFd = e.ListenSockets[index];
  }
  int kind = e.Settings.Listeners[index].Kind;
  while (!e.Stopping.load() && WaitWhilePaused()) {
    IpAddress peer;
    int fd = AcceptConnection(listenFd, &peer);
    if (fd < 0) {
      long error = GetLastError();
      if (e.Stopping.load()) break;
      if (IsAcceptResourceError(error)) {
        BackOffAfterAccept(e, error);
        continue;
      }
      LogWin32Error(EVENTLOG_ERROR_TYPE, "accept", error);
      break;
    }
    if (e.Stopping.load()) {
      CloseSocket(fd);
      break;
    }
    AcceptOne(e, fd, peer, kind);
  }
  std::lock_guard<std::mutex> guard(e.ListenLock);
  CloseSocket(e.ListenSockets[index]);
  e.ListenSockets[index] = -1;
}

// Fills the local host table, which every accepted connection reads, then
// runs the first listener itself and gives each other one a thread.
void ListeningThread() {
  Engine &e = TheEngine();
  GetLocalHostIPInfo();
  if (LocalHostIPInfo.Entries.empty()) {
    LogEvent(EVENTLOG_ERROR_TYPE, MSG_NO_IP_ADDRESS, nullptr, nullptr);
    CloseListeners(e);
    return;
  }
  for (size_t i = 1; i < e.Settings.Listeners.size(); ++i) std::thread(AcceptLoop, i).detach();
  AcceptLoop(0);
}

}  // namespace

// ---- settings

void AddListeners(NetEngineSettings *settings, const std::vector<IpAddress> &addresses,
                  uint16_t port, int kind) {
  for (const IpAddress &a : addresses) settings->Listeners.push_back({a, port, kind});
}

std::vector<IpAddress> DefaultListenAddresses() { return {AnyInterface()}; }

void LoadListenAddresses(HKEY params, std::vector<IpAddress> *addresses) {
  constexpr const char *kName = "ListenAddresses";
  DWORD size = 0;
  if (RegQueryValueEx(params, kName, nullptr, nullptr, &size) != ERROR_SUCCESS) return;
  addresses->clear();
  std::vector<std::string> entries;
  if (!QueryRegMultiString(params, kName, kMaxListenAddressesBytes, entries)) {
    LogEvent(EVENTLOG_ERROR_TYPE, MSG_BAD_SETTING_ENTRY, kName, "(the value is too long)");
    return;
  }
  for (const std::string &entry : entries) {
    IpAddress a;
    if (!ParseAddress(entry, &a)) {
      LogEvent(EVENTLOG_WARNING_TYPE, MSG_BAD_SETTING_ENTRY, kName,
               ("\"" + LogSafeText(entry) + "\"").c_str());
      continue;
    }
    if (std::find(addresses->begin(), addresses->end(), a) == addresses->end())
      addresses->push_back(a);
  }
}

// ---- start and stop

bool StartNetEngine(const NetEngineSettings &settings, const NetEngineHooks &hooks) {
  Engine &e = TheEngine();
  e.Settings = settings;
  e.Hooks = hooks;
  e.Stopping = false;
  if (!OpenListeners(e)) return false;
  if (hooks.ListenersBound != nullptr && !hooks.ListenersBound()) {
    CloseListeners(e);
    return false;
  }
  if (!e.Port.Create()) {
    LogWin32Error(EVENTLOG_ERROR_TYPE, "CreateIoCompletionPort", GetLastError());
    CloseListeners(e);
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
    for (int fd : e.ListenSockets)
      if (fd >= 0) ShutdownListener(fd);
  }
  // One wake-up per worker; each leaves at its next completion.
  for (unsigned i = e.WorkersRunning.load(); i > 0; --i) e.Port.Post(0, kStopKey, nullptr);
}

bool NetEngineStopping() { return TheEngine().Stopping.load(); }

CompletionPort &EnginePort() { return TheEngine().Port; }

void ArmConnectionDeadline(_Connection *conn, DWORD seconds) {
  conn->bDeadlinePassed = false;
  conn->DeadlineMs = seconds == 0 ? 0 : MonotonicMs() + static_cast<long long>(seconds) * 1000;
}

void ClearConnectionDeadline(_Connection *conn) { ArmConnectionDeadline(conn, 0); }

// ---- operations: every byte a connection sends or receives passes here

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
