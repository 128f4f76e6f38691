// netengine: see netengine.h.
#include "net/netengine.h"

#include <algorithm>
#include <memory>
#include <mutex>
#include <new>
#include <thread>
#include <unordered_map>
#include <vector>

#include "common/loadcfig.h"
#include "common/logging.h"
#include "common/service.h"
#include "messages/zelmsg.h"
#include "net/localhost.h"
#include "platform/fileview.h"
#include "platform/sockets.h"
#include "platform/sync.h"
#include "platform/sysinfo.h"
#include "platform/tls.h"

// A connection's TLS state. The program's operation (Op) is carried out by
// the engine's own operations on the socket (Wire), one at a time on the
// connection's OVERLAPPED block, until the program's completion is due.
struct ConnectionTls {
  enum { kOpNone, kOpHandshake, kOpRead, kOpSend };
  enum { kWireNone, kWireRead, kWireWrite, kWireResult, kWireProgramPost };
  TlsSession Session;
  int Op = kOpNone;
  int Wire = kWireNone;          // what is outstanding on conn->Overlapped
  bool bGreeted = false;         // the program has the connection
  bool bFailed = false;          // the session failed: its alert must not be cut off
  bool bReported = false;        // TlsFailed has heard of it
  bool bCorked = false;
  // The program's read.
  char *ReadBuffer = nullptr;
  size_t ReadLength = 0;
  // The program's write or transmission, and how much of it is encrypted.
  std::string_view Head, Tail;
  int FileFd = -1;
  off_t FileOffset = 0;
  size_t FileLength = 0;
  size_t Encrypted = 0;
  long SendError = 0;
  // Ciphertext in and out (and a transmission's file pieces), only while
  // data moves; a read after the handshake takes the program's buffer.
  std::unique_ptr<char[]> Buffer;
  char *WireData = nullptr;      // where the outstanding read puts ciphertext
  // A result posted to reach the program from a worker.
  DWORD ResultBytes = 0;
  long ResultError = 0;
};

void ConnectionTlsDeleter::operator()(ConnectionTls *tls) const { delete tls; }

namespace {

// Plaintext encrypted in one go: TLS's largest record.
constexpr size_t kTlsPieceBytes = 16 * 1024;
// A graceful close sends close_notify only when this much holds all that
// is left to send (the alert is a few dozen bytes).
constexpr size_t kCloseNotifyRoom = 512;

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

// What the per-client limit counts a peer as: an IPv4 address, or the IPv6
// network of ClientPrefixLengthV6 bits.
IpAddress ClientKeyOf(const IpAddress &peer) {
  if (!peer.IsV6()) return peer;
  return AddressPrefix(peer, static_cast<int>(TheEngine().Settings.ClientPrefixLengthV6));
}

// Enters conn unless a limit forbids it; false: over a limit.
bool AdmitConnection(_Connection *conn) {
  Engine &e = TheEngine();
  const NetEngineSettings &s = e.Settings;
  std::lock_guard<std::mutex> guard(e.ListLock);
  if (s.MaxConnections != 0 && e.Open >= s.MaxConnections) return false;
  unsigned &fromClient = e.PerClient[conn->ClientKey];
  if (s.MaxConnectionsPerClient != 0 && fromClient >= s.MaxConnectionsPerClient &&
      !s.ExemptFromClientLimit.Contains(conn->PeerIp)) {
    if (fromClient == 0) e.PerClient.erase(conn->ClientKey);
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
    auto count = e.PerClient.find(conn->ClientKey);
    if (count != e.PerClient.end() && --count->second == 0) e.PerClient.erase(count);
    return;
  }
}

// ---- TLS on a connection
//
// Advance moves the program's operation on as far as it can without
// waiting: it encrypts what the program sends, starts a write while the
// session has ciphertext to send (handshake messages, tickets and alerts
// included, and always before a read), starts a read while the session
// wants input, and finishes the operation when its plaintext is read or
// sent, or when it failed. Called from a program's Try* call (direct
// false), a finished operation's result is posted, so the program hears it
// from a worker as it would from the socket; called after one of the
// engine's own completions (direct true), it calls the program at once.
// Either way nothing touches the record once the program has been called.

bool WireRead(_Connection *conn, char *buffer, size_t length) {
  conn->bReadOutstanding = true;
  if (TheEngine().Port.ReadSocket(conn->Socket, buffer, length, &conn->Overlapped)) return true;
  conn->bReadOutstanding = false;
  return false;
}

// A write starts: the stalled-write check has not seen it yet.
void NoteWriteStart(_Connection *conn) {
  conn->WriteSeenMs = 0;
  conn->bWriteOutstanding = true;
}

bool WireWrite(_Connection *conn, const char *buffer, size_t length) {
  NoteWriteStart(conn);
  if (TheEngine().Port.WriteSocket(conn->Socket, buffer, length, &conn->Overlapped)) return true;
  conn->bWriteOutstanding = false;
  return false;
}

char *TlsBuffer(ConnectionTls &t) {
  if (t.Buffer == nullptr) t.Buffer.reset(new (std::nothrow) char[kTlsWireBytes]);
  return t.Buffer.get();
}

// The handshake's own limit, beside the dialogue's deadline: whatever the
// dialogue arms or clears meanwhile, the handshake ends by it.
void ArmHandshakeLimit(_Connection *conn) {
  DWORD seconds = TheEngine().Settings.TlsHandshakeSeconds;
  if (seconds == 0) return;
  conn->HandshakeDeadlineMs = MonotonicMs() + static_cast<long long>(seconds) * 1000;
}

void EndHandshakeLimit(_Connection *conn, ConnectionTls &t) {
  if (t.Session.HandshakeDone()) conn->HandshakeDeadlineMs = 0;
}

std::unique_ptr<ConnectionTls, ConnectionTlsDeleter> NewConnectionTls(const _Connection *conn) {
  TlsContextRef context = CurrentTlsServerContext(conn->bStrictTls);
  if (context == nullptr) return nullptr;
  std::unique_ptr<ConnectionTls, ConnectionTlsDeleter> tls(new (std::nothrow) ConnectionTls);
  if (tls == nullptr || !tls->Session.StartServer(context)) return nullptr;
  return tls;
}

void ReportTlsFailure(_Connection *conn, ConnectionTls &t) {
  if (!t.bFailed || t.bReported) return;
  t.bReported = true;
  auto hook = TheEngine().Hooks.TlsFailed;
  if (hook != nullptr) hook(conn, t.Session.ErrorText());
}

void CloseRecord(_Connection *conn, bool graceful, bool release);

// The program's operation ends with bytes, or with error (0: success).
void Deliver(_Connection *conn, DWORD bytes, long error) {
  if (error == ERROR_TLS_FAILED) ReportTlsFailure(conn, *conn->Tls);
  SetLastError(error);
  TheEngine().Hooks.Complete(conn, &conn->Overlapped, bytes, error == 0);
}

// The end of the operation Advance was driving. Before the program has the
// connection, that is the end of the connection: a handshake that succeeds
// greets instead of coming here.
bool Finish(_Connection *conn, bool direct, DWORD bytes, long error) {
  ConnectionTls &t = *conn->Tls;
  // A reply sent whole: the client's turn, and its idle time, begin.
  if (t.Op == ConnectionTls::kOpSend && error == 0) conn->IdleSinceMs = MonotonicMs();
  if (t.bCorked) (void)SetSocketCork(conn->Socket, false);
  t.bCorked = false;
  t.Op = ConnectionTls::kOpNone;
  t.Buffer.reset();
  if (!t.bGreeted) {
    ReportTlsFailure(conn, t);
    CloseRecord(conn, false, false);
    return false;
  }
  if (direct) {
    Deliver(conn, bytes, error);
    return true;
  }
  t.ResultBytes = bytes;
  t.ResultError = error;
  t.Wire = ConnectionTls::kWireResult;
  if (TheEngine().Port.Post(bytes, reinterpret_cast<uintptr_t>(conn), &conn->Overlapped))
    return true;
  t.Wire = ConnectionTls::kWireNone;
  return false;
}

bool Failed(_Connection *conn, bool direct) {
  conn->Tls->bFailed = true;
  return Finish(conn, direct, 0, ERROR_TLS_FAILED);
}

bool StartWireWrite(_Connection *conn, bool direct) {
  ConnectionTls &t = *conn->Tls;
  char *out = TlsBuffer(t);
  if (out == nullptr) return Finish(conn, direct, 0, ERROR_NOT_ENOUGH_MEMORY);
  size_t n = t.Session.TakeOutput(out, kTlsWireBytes);
  t.Wire = ConnectionTls::kWireWrite;
  if (WireWrite(conn, out, n)) return true;
  t.Wire = ConnectionTls::kWireNone;
  return Finish(conn, direct, 0, GetLastError());
}

// Ciphertext goes straight into the program's buffer once the handshake is
// done (an idle connection then holds no buffer of the engine's); the
// handshake reads into the engine's.
bool StartWireRead(_Connection *conn, bool direct) {
  ConnectionTls &t = *conn->Tls;
  size_t room = kTlsWireBytes;
  if (t.Op == ConnectionTls::kOpRead && t.Session.HandshakeDone()) {
    t.Buffer.reset();
    t.WireData = t.ReadBuffer;
    room = std::min(t.ReadLength, kTlsWireBytes);
  } else {
    t.WireData = TlsBuffer(t);
    if (t.WireData == nullptr) return Finish(conn, direct, 0, ERROR_NOT_ENOUGH_MEMORY);
  }
  t.Wire = ConnectionTls::kWireRead;
  if (WireRead(conn, t.WireData, room)) return true;
  t.Wire = ConnectionTls::kWireNone;
  return Finish(conn, direct, 0, GetLastError());
}

size_t SendTotal(const ConnectionTls &t) { return t.Head.size() + t.FileLength + t.Tail.size(); }

// Encrypts the program's head, file and tail a piece at a time until a
// wire buffer's worth waits to be sent or all is encrypted: a large reply
// or file never sits whole in memory, and a short reply leaves in one
// write with its head and tail.
void Produce(ConnectionTls &t) {
  size_t total = SendTotal(t);
  while (t.Encrypted < total && t.Session.PendingOutput() < kTlsWireBytes) {
    size_t at = t.Encrypted;
    const char *piece;
    size_t n;
    if (at < t.Head.size()) {
      piece = t.Head.data() + at;
      n = std::min(t.Head.size() - at, kTlsPieceBytes);
    } else if (at < t.Head.size() + t.FileLength) {
      size_t into = at - t.Head.size();
      char *buffer = TlsBuffer(t);
      if (buffer == nullptr) {
        t.SendError = ERROR_NOT_ENOUGH_MEMORY;
        return;
      }
      if (!ReadFileAt(t.FileFd, buffer, std::min(t.FileLength - into, kTlsPieceBytes),
                      t.FileOffset + static_cast<off_t>(into), &n)) {
        t.SendError = GetLastError();
        return;
      }
      if (n == 0) {
        // The file shrank under the transmission, as the port reports it.
        t.SendError = EIO;
        return;
      }
      piece = buffer;
    } else {
      at -= t.Head.size() + t.FileLength;
      piece = t.Tail.data() + at;
      n = std::min(t.Tail.size() - at, kTlsPieceBytes);
    }
    if (t.Session.Write(piece, n) != TlsResult::kDone) {
      t.bFailed = true;
      t.SendError = ERROR_TLS_FAILED;
      return;
    }
    t.Encrypted += n;
  }
}

// Fills the program's read buffer with the plaintext the session can give.
TlsResult ReadPlain(ConnectionTls &t, size_t *got) {
  *got = 0;
  while (*got < t.ReadLength) {
    size_t n = 0;
    TlsResult r = t.Session.Read(t.ReadBuffer + *got, t.ReadLength - *got, &n);
    if (r != TlsResult::kDone) return *got > 0 ? TlsResult::kDone : r;
    *got += n;
  }
  return TlsResult::kDone;
}

bool Advance(_Connection *conn, bool direct) {
  ConnectionTls &t = *conn->Tls;
  for (;;) {
    if (t.Op == ConnectionTls::kOpSend && t.SendError == 0) Produce(t);
    if (t.Op == ConnectionTls::kOpSend && t.SendError != 0)
      return Finish(conn, direct, 0, t.SendError);
    if (t.Session.PendingOutput() > 0) return StartWireWrite(conn, direct);
    TlsResult r;
    size_t got = 0;
    switch (t.Op) {
      case ConnectionTls::kOpSend:
        return Finish(conn, direct, static_cast<DWORD>(SendTotal(t)), 0);
      case ConnectionTls::kOpRead:
        r = ReadPlain(t, &got);
        break;
      case ConnectionTls::kOpHandshake:
        r = t.Session.Handshake();
        break;
      default:
        return false;
    }
    EndHandshakeLimit(conn, t);
    if (r == TlsResult::kDone && t.Op == ConnectionTls::kOpRead)
      return Finish(conn, direct, static_cast<DWORD>(got), 0);
    // What the session says (a handshake message, an alert) goes first.
    if (t.Session.PendingOutput() > 0) continue;
    if (r == TlsResult::kDone && t.bGreeted) {
      // A STARTTLS handshake the program waits for (TryTlsHandshake).
      return Finish(conn, direct, 0, 0);
    }
    if (r == TlsResult::kDone) {
      // A connection of a TLS listener: the program takes it from here.
      t.Op = ConnectionTls::kOpNone;
      t.Buffer.reset();
      t.bGreeted = true;
      TheEngine().Hooks.Greet(conn);
      return true;
    }
    if (r == TlsResult::kWantInput) return StartWireRead(conn, direct);
    if (r == TlsResult::kClosed) return Finish(conn, direct, 0, 0);
    return Failed(conn, direct);
  }
}

// One of the engine's operations on a TLS connection completed (or a result
// or a post of the program's came back).
void TlsCompletion(_Connection *conn, DWORD bytes, bool ok) {
  ConnectionTls &t = *conn->Tls;
  long error = ok ? 0 : GetLastError();
  int wire = t.Wire;
  t.Wire = ConnectionTls::kWireNone;
  switch (wire) {
    case ConnectionTls::kWireResult:
      Deliver(conn, t.ResultBytes, t.ResultError);
      return;
    case ConnectionTls::kWireRead:
      // The end of the stream without close_notify is the end all the same.
      if (!ok || bytes == 0) {
        Finish(conn, true, 0, error);
        return;
      }
      // A session that takes no more input is fatal; Advance finds it so.
      (void)t.Session.Feed(t.WireData, bytes);
      Advance(conn, true);
      return;
    case ConnectionTls::kWireWrite:
      if (!ok) {
        Finish(conn, true, 0, error);
        return;
      }
      Advance(conn, true);
      return;
    default:
      // The program's own post (PostReadCompletion, a logon pool's answer)
      // goes back as it came.
      SetLastError(error);
      TheEngine().Hooks.Complete(conn, &conn->Overlapped, bytes, ok);
      return;
  }
}

// A connection of a TLS listener: the handshake runs before Greet. With no
// certificate loaded (any longer), it is closed unanswered: a client that
// expects TLS must not get a greeting in clear.
void StartListenerTls(_Connection *conn) {
  conn->Tls = NewConnectionTls(conn);
  if (conn->Tls == nullptr) {
    CloseRecord(conn, false, false);
    return;
  }
  ArmHandshakeLimit(conn);
  conn->Tls->Op = ConnectionTls::kOpHandshake;
  Advance(conn, true);
}

// A graceful close of an encrypted connection says so, as far as the socket
// takes it at once; a failed session's alert is already on its way, and a
// reset would drop it: that close is graceful too. Whether to close
// gracefully.
bool SayGoodbye(_Connection *conn, bool graceful) {
  ConnectionTls &t = *conn->Tls;
  if (t.bFailed) return true;
  if (!graceful || !t.Session.HandshakeDone()) return graceful;
  t.Session.Close();
  char bye[kCloseNotifyRoom];
  size_t n = t.Session.TakeOutput(bye, sizeof bye);
  if (n > 0 && t.Session.PendingOutput() == 0) (void)SendSocket(conn->Socket, bye, n, 0);
  return true;
}

void CloseRecord(_Connection *conn, bool graceful, bool release) {
  Engine &e = TheEngine();
  RemoveConnection(conn);
  if (release && e.Hooks.Release != nullptr) e.Hooks.Release(conn);
  if (conn->Tls != nullptr) graceful = SayGoodbye(conn, graceful);
  e.Port.Dissociate(conn->Socket);
  if (graceful)
    CloseSocket(conn->Socket);
  else
    CloseSocketAbortive(conn->Socket);
  delete conn;
}

// ---- the idle and deadline checks

// A read that waits: cancelled when the client has taken too long for its
// line, past the dialogue's deadline, or past the handshake's limit. The
// flag is set before the cancel so the cancelled completion sees it; a
// read that a worker had already claimed was not late after all.
void CheckRead(Engine &e, _Connection *c, long long nowMs, long long idleMs) {
  long long deadline = c->DeadlineMs.load();
  long long handshake = c->HandshakeDeadlineMs.load();
  bool late = deadline != 0 && nowMs >= deadline;
  bool idle = (idleMs != 0 && nowMs - c->IdleSinceMs.load() > idleMs) ||
              (handshake != 0 && nowMs >= handshake);
  if (!late && !idle) return;
  std::atomic<bool> &why = late ? c->bDeadlinePassed : c->bTimedOut;
  why = true;
  if (!e.Port.CancelRead(c->Socket, &c->Overlapped)) why = false;
}

// A write that waits: cancelled when it has sent nothing for the idle
// limit (the peer does not read). Progress restarts its clock.
void CheckWrite(Engine &e, _Connection *c, long long nowMs, long long idleMs) {
  uint64_t serial = 0;
  size_t done = 0;
  if (idleMs == 0 || !e.Port.WriteProgress(c->Socket, &c->Overlapped, &serial, &done)) return;
  if (c->WriteSeenMs.load() == 0 || c->WriteSerial.load() != serial || c->WriteDone.load() != done) {
    c->WriteSerial = serial;
    c->WriteDone = done;
    c->WriteSeenMs = nowMs;
    return;
  }
  if (nowMs - c->WriteSeenMs.load() <= idleMs) return;
  c->bWriteTimedOut = true;
  if (!e.Port.CancelStalledWrite(c->Socket, &c->Overlapped, serial, done)) c->bWriteTimedOut = false;
}

// Cancels the reads and writes that have waited too long; the cancelled
// operation completes on a worker, which answers or closes.
void ScanIdleConnections() {
  Engine &e = TheEngine();
  std::unique_lock<std::mutex> scan(e.ScanLock, std::try_to_lock);
  if (!scan.owns_lock()) return;
  long long nowMs = MonotonicMs();
  if (nowMs - e.LastScan < kIdleScanMs) return;
  e.LastScan = nowMs;
  long long idleMs = static_cast<long long>(e.Settings.IdleSeconds) * 1000;
  std::lock_guard<std::mutex> guard(e.ListLock);
  for (_Connection *c = e.Head; c != nullptr; c = c->Next) {
    if (c->bReadOutstanding.load())
      CheckRead(e, c, nowMs, idleMs);
    else if (c->bWriteOutstanding.load())
      CheckWrite(e, c, nowMs, idleMs);
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
    if (ov == &conn->Overlapped) {
      conn->bReadOutstanding = false;
      // A plain connection's write is the program's own: its reply is out.
      if (conn->bWriteOutstanding.exchange(false) && ok && conn->Tls == nullptr)
        conn->IdleSinceMs = MonotonicMs();
    }
    if (conn->Tls != nullptr && ov == &conn->Overlapped)
      TlsCompletion(conn, bytes, ok);
    else
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
void Refuse(Engine &e, int fd, const NetListener &listener) {
  const std::string &reply = listener.TooManyConnectionsReply.empty()
                                 ? e.Settings.TooManyConnectionsReply
                                 : listener.TooManyConnectionsReply;
  if (!reply.empty()) (void)SendSocket(fd, reply.data(), reply.size(), 0);
  CloseSocket(fd);
}

void AcceptOne(Engine &e, int fd, const IpAddress &peer, const NetListener &listener) {
  auto conn = std::make_unique<_Connection>();
  conn->Socket = fd;
  conn->ListenerKind = listener.Kind;
  conn->PeerIp = peer;
  conn->PeerAddress = AddressText(peer);
  (void)GetSocketAddress(fd, &conn->LocalIp);
  conn->LocalAddress = AddressText(conn->LocalIp);
  conn->LocalHostName = LocalNameOf(conn->LocalIp, conn->LocalAddress);
  conn->ClientKey = ClientKeyOf(peer);
  conn->bStrictTls = listener.bStrictTls;
  conn->IdleSinceMs = MonotonicMs();
  if (!AdmitConnection(conn.get())) {
    Refuse(e, fd, listener);
    return;
  }
  if (!e.Port.Associate(fd, reinterpret_cast<uintptr_t>(conn.get()))) {
    LogWin32Error(EVENTLOG_ERROR_TYPE, "CreateIOCompletionPort", GetLastError());
    RemoveConnection(conn.get());
    CloseSocket(fd);
    return;
  }
  if (e.Settings.KeepAlive) SetKeepAlive(fd);
  if (listener.bTls)
    StartListenerTls(conn.release());
  else
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
  const NetListener &listener = e.Settings.Listeners[index];
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
    AcceptOne(e, fd, peer, listener);
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

// The port and its workers; false with the event reported.
bool StartWorkers(Engine &e) {
  if (!e.Port.Create()) {
    LogWin32Error(EVENTLOG_ERROR_TYPE, "CreateIoCompletionPort", GetLastError());
    return false;
  }
  unsigned workers = e.Settings.Workers != 0 ? e.Settings.Workers : 2 * GetProcessorCount();
  for (unsigned i = 0; i < workers; ++i) {
    e.WorkersRunning++;
    std::thread(WorkerThread).detach();
  }
  return true;
}

}  // namespace

// ---- settings

void AddListeners(NetEngineSettings *settings, const std::vector<IpAddress> &addresses,
                  uint16_t port, int kind, bool tls, bool strict) {
  for (const IpAddress &a : addresses)
    settings->Listeners.push_back({a, port, kind, tls, strict, {}});
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

DWORD LoadClientPrefixLengthV6(HKEY params) {
  constexpr const char *kName = "ClientPrefixLengthV6";
  DWORD length = kDefaultClientPrefixLengthV6;
  if (!QueryRegDword(params, kName, length) || (length >= 1 && length <= 128))
    return length;
  LogEvent(EVENTLOG_WARNING_TYPE, MSG_BAD_SETTING_ENTRY, kName,
           (std::to_string(length) + " (not 1 to 128; " +
            std::to_string(kDefaultClientPrefixLengthV6) + " is used)").c_str());
  return kDefaultClientPrefixLengthV6;
}

DWORD LoadIdleSeconds(HKEY params, DWORD defaultFloor, DWORD defaultLimit) {
  DWORD timeout = 0;
  DWORD floor = defaultFloor;
  QueryRegDword(params, "Timeout", timeout);
  QueryRegDword(params, "MinimumTimeout", floor);
  DWORD limit = timeout == 0 ? defaultLimit : timeout;
  return std::max({limit, floor, kLeastIdleLimitSeconds});
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
  if (!StartWorkers(e)) {
    CloseListeners(e);
    return false;
  }
  std::thread(ListeningThread).detach();
  return true;
}

bool StartSessionEngine(const NetEngineSettings &settings, const NetEngineHooks &hooks) {
  Engine &e = TheEngine();
  e.Settings = settings;
  e.Settings.Listeners.clear();
  e.Hooks = hooks;
  e.Stopping = false;
  return StartWorkers(e);
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

void ArmConnectionDeadlineMs(_Connection *conn, long long ms) {
  conn->bDeadlinePassed = false;
  conn->DeadlineMs = ms <= 0 ? 0 : MonotonicMs() + ms;
}

void NoteCommandLine(_Connection *conn) { conn->IdleSinceMs = MonotonicMs(); }

// ---- operations: every byte a connection sends or receives passes here

namespace {

// The program's write or transmission on a TLS connection.
bool StartTlsSend(_Connection *conn, std::string_view head, int fileFd, off_t offset,
                  size_t length, std::string_view tail) {
  ConnectionTls &t = *conn->Tls;
  if (!t.Session.HandshakeDone()) {
    SetLastError(ERROR_TLS_FAILED);
    return false;
  }
  if (length > 0) {
    // As the port does: a range the file does not hold fails before a byte
    // is sent.
    uint64_t size = 0;
    if (offset < 0 || !GetFileSizeOf(fileFd, &size) ||
        static_cast<uint64_t>(offset) + length > size) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return false;
    }
  }
  t.Op = ConnectionTls::kOpSend;
  t.Head = head;
  t.FileFd = fileFd;
  t.FileOffset = offset;
  t.FileLength = length;
  t.Tail = tail;
  t.Encrypted = 0;
  t.SendError = 0;
  // Corked like the port's transmissions, from the first write to the last.
  if (length > 0 || !tail.empty()) t.bCorked = SetSocketCork(conn->Socket, true);
  return Advance(conn, false);
}

}  // namespace

bool TrySocketRead(_Connection *conn, char *buffer, size_t length) {
  if (conn->Tls == nullptr) return WireRead(conn, buffer, length);
  if (buffer == nullptr || length == 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  ConnectionTls &t = *conn->Tls;
  t.Op = ConnectionTls::kOpRead;
  t.ReadBuffer = buffer;
  t.ReadLength = length;
  return Advance(conn, false);
}

bool TryTlsHandshake(_Connection *conn) {
  if (conn->Tls == nullptr || conn->Tls->Op != ConnectionTls::kOpNone ||
      conn->Tls->Session.HandshakeDone()) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  conn->Tls->Op = ConnectionTls::kOpHandshake;
  return Advance(conn, false);
}

bool TrySocketWrite(_Connection *conn, const char *buffer, size_t length) {
  if (conn->Tls == nullptr) return WireWrite(conn, buffer, length);
  return StartTlsSend(conn, std::string_view(buffer, length), -1, 0, 0, {});
}

bool TrySocketTransmit(_Connection *conn, int fileFd, off_t offset, size_t length,
                       std::string_view head, std::string_view tail) {
  if (conn->Tls != nullptr) return StartTlsSend(conn, head, fileFd, offset, length, tail);
  NoteWriteStart(conn);
  if (TheEngine().Port.TransmitFile(conn->Socket, fileFd, offset, length, head.data(),
                                    head.size(), tail.data(), tail.size(), &conn->Overlapped))
    return true;
  conn->bWriteOutstanding = false;
  return false;
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
  if (conn->Tls != nullptr) conn->Tls->Wire = ConnectionTls::kWireProgramPost;
  if (TheEngine().Port.Post(bytes, reinterpret_cast<uintptr_t>(conn), &conn->Overlapped))
    return true;
  CloseConnection(conn, false);
  return false;
}

void CloseConnection(_Connection *conn, bool graceful) {
  CloseRecord(conn, graceful, conn->Tls == nullptr || conn->Tls->bGreeted);
}

// ---- TLS

long StartConnectionTls(_Connection *conn, std::string &pendingInput) {
  if (conn->Tls != nullptr) return -1;
  conn->Tls = NewConnectionTls(conn);
  if (conn->Tls == nullptr) return -1;
  conn->Tls->bGreeted = true;
  ArmHandshakeLimit(conn);
  long dropped = static_cast<long>(pendingInput.size());
  pendingInput.clear();
  return dropped;
}

bool ConnectionCanStartTls(const _Connection *conn) {
  return conn->Tls == nullptr && CurrentTlsServerContext(conn->bStrictTls) != nullptr;
}

bool ConnectionEncrypted(const _Connection *conn) {
  return conn->Tls != nullptr && conn->Tls->Session.HandshakeDone();
}

std::string ConnectionTlsVersion(const _Connection *conn) {
  return conn->Tls != nullptr ? conn->Tls->Session.Version() : std::string();
}

std::string ConnectionTlsCipher(const _Connection *conn) {
  return conn->Tls != nullptr ? conn->Tls->Session.Cipher() : std::string();
}

// ---- sessions in processes of their own

bool DetachConnection(_Connection *conn, DetachedConnection &out) {
  Engine &e = TheEngine();
  if (conn->Tls != nullptr && !conn->Tls->Session.HandshakeDone()) {
    SetLastError(ERROR_TLS_FAILED);
    return false;
  }
  if (!e.Port.Dissociate(conn->Socket)) return false;
  if (conn->Tls != nullptr) {
    out.Tls = std::make_unique<TlsSession>(std::move(conn->Tls->Session));
    conn->Tls.reset();
  }
  out.Socket.Reset(conn->Socket);
  out.PeerIp = conn->PeerIp;
  out.ClientKey = conn->ClientKey;
  // Off the list, but still counted: the session process serves it now.
  {
    std::lock_guard<std::mutex> guard(e.ListLock);
    for (_Connection **link = &e.Head; *link != nullptr; link = &(*link)->Next) {
      if (*link != conn) continue;
      *link = conn->Next;
      break;
    }
  }
  if (e.Hooks.Release != nullptr) e.Hooks.Release(conn);
  delete conn;
  return true;
}

void ReleaseConnectionPlace(const IpAddress &clientKey) {
  Engine &e = TheEngine();
  std::lock_guard<std::mutex> guard(e.ListLock);
  if (e.Open > 0) --e.Open;
  auto count = e.PerClient.find(clientKey);
  if (count != e.PerClient.end() && --count->second == 0) e.PerClient.erase(count);
}

bool AdoptConnection(UniqueFd socket, const AdoptedConnectionInfo &info,
                     void (*resume)(_Connection *conn)) {
  Engine &e = TheEngine();
  auto conn = std::unique_ptr<_Connection>(new (std::nothrow) _Connection);
  if (conn == nullptr || e.WorkersRunning.load() == 0) return false;
  conn->Socket = socket.Get();
  conn->ListenerKind = info.ListenerKind;
  conn->LocalIp = info.LocalIp;
  conn->PeerIp = info.PeerIp;
  conn->LocalAddress = info.LocalAddress;
  conn->LocalHostName = info.LocalHostName;
  conn->PeerAddress = info.PeerAddress;
  conn->ClientKey = ClientKeyOf(conn->PeerIp);
  conn->IdleSinceMs = MonotonicMs();
  if (!AdmitConnection(conn.get())) return false;
  if (!e.Port.Associate(conn->Socket, reinterpret_cast<uintptr_t>(conn.get()))) {
    RemoveConnection(conn.get());
    return false;
  }
  socket.Release();
  resume(conn.release());
  return true;
}
