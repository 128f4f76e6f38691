// sessionhandoff: see sessionhandoff.h.
#include "net/sessionhandoff.h"

#include <atomic>
#include <utility>
#include <vector>

#include "platform/localipc.h"
#include "platform/relay.h"
#include "platform/sync.h"
#include "platform/tls.h"

namespace {

// How often the session's main thread looks whether its connection ended.
constexpr DWORD kSessionWatchMs = 500;

// The session process's own (one connection per process).
std::atomic<int> ControlFd{-1};
std::atomic<bool> ConnectionEnded{false};
void (*ProgramRelease)(_Connection *conn) = nullptr;

void ReleaseHandedConnection(_Connection *conn) {
  if (ProgramRelease != nullptr) ProgramRelease(conn);
  ConnectionEnded = true;
}

AdoptedConnectionInfo InfoOf(const SessionStart &start) {
  AdoptedConnectionInfo info;
  info.ListenerKind = static_cast<int>(start.ListenerKind);
  (void)ParseAddress(start.PeerAddress, &info.PeerIp);
  (void)ParseAddress(start.LocalAddress, &info.LocalIp);
  info.PeerAddress = start.PeerAddress;
  info.LocalAddress = start.LocalAddress;
  info.LocalHostName = start.LocalHostName;
  return info;
}

}  // namespace

bool PrepareSessionHandOff(_Connection *conn, SessionHandOff &h) {
  if (!MakeSocketPair(true, h.FrontControl, h.SessionControl)) return false;
  if (conn->Tls == nullptr) {
    h.DataToSend = conn->Socket;
    return true;
  }
  if (!MakeSocketPair(false, h.FrontData, h.SessionData)) return false;
  h.DataToSend = h.SessionData.Get();
  return true;
}

void FillSessionStart(const _Connection *conn, SessionStart &s) {
  s.PeerAddress = conn->PeerAddress;
  s.LocalAddress = conn->LocalAddress;
  s.LocalHostName = conn->LocalHostName;
  s.ListenerKind = static_cast<uint32_t>(conn->ListenerKind);
  s.bEncrypted = ConnectionEncrypted(conn);
  s.bTlsAvailable = s.bEncrypted || ConnectionCanStartTls(conn);
  long long deadline = conn->DeadlineMs.load();
  s.MsLeft = 0;
  if (deadline != 0) {
    long long left = deadline - MonotonicMs();
    s.MsLeft = static_cast<uint32_t>(left < 1 ? 1 : left);
  }
}

bool CompleteSessionHandOff(_Connection *conn, SessionHandOff &h,
                            std::function<void(std::string_view line)> onLine) {
  DetachedConnection d;
  if (!DetachConnection(conn, d)) {
    CloseConnection(conn, false);
    return false;
  }
  RelaySpec spec;
  spec.Control = std::move(h.FrontControl);
  if (d.Tls != nullptr) {
    spec.Client = std::move(d.Socket);
    spec.Tls = std::move(d.Tls);
    spec.Local = std::move(h.FrontData);
  } else {
    // The session holds the client's socket now; this copy goes quietly
    // (a close, never a shutdown, which would end the session's too).
    d.Socket.Reset();
  }
  spec.OnMessage = [onLine = std::move(onLine)](std::string_view message) {
    if (message.size() > 1 && message[0] == kControlLogLine && onLine) onLine(message.substr(1));
  };
  IpAddress key = d.ClientKey;
  spec.OnEnd = [key] { ReleaseConnectionPlace(key); };
  return AddRelay(std::move(spec));
}

void SetSessionControl(int controlFd) { ControlFd = controlFd; }

bool SendSessionWord(char word, std::string_view text) {
  std::string message(1, word);
  message.append(text.substr(0, kMaxSessionReply));
  return SendMessage(ControlFd.load(), message, nullptr, 0, INFINITE);
}

void SessionLogLine(std::string_view line) {
  if (ControlFd.load() < 0) return;
  std::string message(1, kControlLogLine);
  message.append(line.substr(0, kMaxRelayMessage - 1));
  (void)SendMessage(ControlFd.load(), message, nullptr, 0, INFINITE);
}

bool RunHandedConnection(UniqueFd data, const SessionStart &start, NetEngineSettings settings,
                         const NetEngineHooks &hooks, void (*resume)(_Connection *conn)) {
  ProgramRelease = hooks.Release;
  NetEngineHooks own = hooks;
  own.Release = ReleaseHandedConnection;
  settings.Listeners.clear();
  if (!StartSessionEngine(settings, own)) return false;
  if (!AdoptConnection(std::move(data), InfoOf(start), resume)) return false;
  std::vector<UniqueFd> none;
  char scratch[16];
  while (!ConnectionEnded.load()) {
    if (!WaitReadable(ControlFd.load(), kSessionWatchMs)) continue;
    // The front never writes: readable is its end (or garbage, dropped).
    long n = ReceiveMessage(ControlFd.load(), scratch, sizeof scratch, none, 0, 0);
    if (n == 0 || (n < 0 && GetLastError() != ERROR_MESSAGE_TOO_LONG && GetLastError() != ERROR_TIMEOUT)) break;
  }
  return true;
}
