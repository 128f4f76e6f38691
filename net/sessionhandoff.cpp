// sessionhandoff: see sessionhandoff.h.
#include "net/sessionhandoff.h"

#include <string.h>

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

#include "common/logonhelper.h"
#include "common/sasl.h"
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

bool PrepareSessionLogon(_Connection *conn, LogonJob &job, SessionHandOff &handOff,
                         SessionStart &start, const std::string &name, std::string &password,
                         int failuresBefore) {
  ResetLogonJob(job, name, password, failuresBefore);
  job.ClientAddress = conn->PeerAddress;
  job.Key = reinterpret_cast<uintptr_t>(conn);
  job.Overlapped = &conn->Overlapped;
  handOff = SessionHandOff();
  if (!PrepareSessionHandOff(conn, handOff)) {
    long error = GetLastError();
    WipeSecret(job.Password);
    SetLastError(error);
    return false;
  }
  FillSessionStart(conn, start);
  job.SessionStart = EncodeSessionStart(start);
  job.SessionFds[0] = handOff.DataToSend;
  job.SessionFds[1] = handOff.SessionControl.Get();
  job.FrontControlFd = handOff.FrontControl.Get();
  return true;
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

bool SendSessionWord(int controlFd, char word, std::string_view text) {
  std::string message(1, word);
  message.append(text.substr(0, kMaxSessionReply));
  return SendMessage(controlFd, message, nullptr, 0, INFINITE);
}

bool SendSessionWord(char word, std::string_view text) {
  return SendSessionWord(ControlFd.load(), word, text);
}

void SessionLogLine(int controlFd, std::string_view line) {
  if (controlFd < 0) return;
  std::string message(1, kControlLogLine);
  message.append(line.substr(0, kMaxRelayMessage - 1));
  (void)SendMessage(controlFd, message, nullptr, 0, INFINITE);
}

void SessionLogLine(std::string_view line) { SessionLogLine(ControlFd.load(), line); }

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

// ---- sessions that serve every connection of their user

namespace {

// A door message: the connection's start record, its data and control
// sockets beside it.
constexpr char kDoorConnection = 'C';
constexpr size_t kDoorFds = 2;
constexpr size_t kMaxDoorMessage = 1 + kMaxSessionField * 8 + kMaxSessionPendingInput;

struct Doors {
  std::mutex Lock;
  std::map<std::string, std::shared_ptr<UniqueFd>> ByName;
  // Logons of one name go one at a time: two first logons at once (a mail
  // program opens several connections as it starts) would each start a
  // session, and the second door kept would close the first, ending that
  // session with its connection.
  std::map<std::string, std::weak_ptr<std::mutex>> LogonLocks;
};

// Entries of names no logon holds are dropped once the map is this long.
constexpr size_t kPruneLogonLocksAt = 1024;

Doors &TheDoors() {
  static Doors *doors = new Doors;
  return *doors;
}

std::shared_ptr<UniqueFd> FindDoor(const std::string &name) {
  Doors &d = TheDoors();
  std::lock_guard<std::mutex> guard(d.Lock);
  auto it = d.ByName.find(name);
  return it == d.ByName.end() ? nullptr : it->second;
}

std::shared_ptr<std::mutex> LogonLock(const std::string &name) {
  Doors &d = TheDoors();
  std::lock_guard<std::mutex> guard(d.Lock);
  if (d.LogonLocks.size() >= kPruneLogonLocksAt)
    std::erase_if(d.LogonLocks, [](const auto &entry) { return entry.second.expired(); });
  std::weak_ptr<std::mutex> &slot = d.LogonLocks[name];
  std::shared_ptr<std::mutex> lock = slot.lock();
  if (lock == nullptr) {
    lock = std::make_shared<std::mutex>();
    slot = lock;
  }
  return lock;
}

void ForgetDoor(const std::string &name, const std::shared_ptr<UniqueFd> &door) {
  Doors &d = TheDoors();
  std::lock_guard<std::mutex> guard(d.Lock);
  auto it = d.ByName.find(name);
  if (it != d.ByName.end() && it->second == door) d.ByName.erase(it);
}

void KeepDoor(const std::string &name, UniqueFd door) {
  Doors &d = TheDoors();
  std::lock_guard<std::mutex> guard(d.Lock);
  d.ByName[name] = std::make_shared<UniqueFd>(std::move(door));
}

// Hands the checked connection to the session behind door; true when the
// session said its first word (job then says which).
bool HandThroughDoor(const UniqueFd &door, LogonJob &job, const std::string &start) {
  std::string message(1, kDoorConnection);
  message += start;
  int fds[kDoorFds] = {job.SessionFds[0], job.SessionFds[1]};
  if (!SendMessage(door.Get(), message, fds, kDoorFds, kSessionStartWaitMs)) return false;
  job.bSessionStarted = true;
  AwaitSessionWord(job);
  return job.bSessionServes || !job.SessionReply.empty();
}

}  // namespace

void CheckLogonForSharedSession(LogonJob &job, DWORD *failDelayMs) {
  const std::string name = job.Name;
  std::shared_ptr<std::mutex> logonLock = LogonLock(name);
  std::lock_guard<std::mutex> oneAtATime(*logonLock);
  if (std::shared_ptr<UniqueFd> door = FindDoor(name)) {
    // Checked alone first; the password stays here until the connection
    // is served, in case a new session must be started after all.
    std::string start = std::move(job.SessionStart);
    std::string password = job.Password;
    job.SessionStart.clear();
    CheckLogonThroughHelpers(job, failDelayMs);
    bool served = job.bLoggedOn && HandThroughDoor(*door, job, start);
    if (!job.bLoggedOn || served) {
      WipeSecret(password);
      return;
    }
    ForgetDoor(name, door);
    job.SessionStart = std::move(start);
    job.Password = std::move(password);
    job.bSessionStarted = job.bSessionServes = false;
    job.SessionError = ERROR_SUCCESS;
  }
  UniqueFd front, session;
  if (!MakeSocketPair(true, front, session)) {
    // No door: the session serves this connection alone.
    CheckLogonThroughHelpers(job, failDelayMs);
    return;
  }
  job.SessionFds[2] = session.Get();
  CheckLogonThroughHelpers(job, failDelayMs);
  job.SessionFds[2] = -1;
  if (job.bSessionServes) KeepDoor(name, std::move(front));
}

size_t SessionDoorsOpen() {
  Doors &d = TheDoors();
  std::lock_guard<std::mutex> guard(d.Lock);
  return d.ByName.size();
}

namespace {

std::atomic<int> OpenConnections{0};
SessionConnection *Adopting = nullptr;

void ReleaseSharedConnection(_Connection *conn) {
  if (ProgramRelease != nullptr) ProgramRelease(conn);
  OpenConnections--;
}

// One connection of the session: adopted, or refused on its control
// socket when the engine cannot take it.
void Adopt(SessionConnection &c, void (*resume)(_Connection *conn)) {
  Adopting = &c;
  OpenConnections++;
  AdoptedConnectionInfo info = InfoOf(c.Start);
  if (!AdoptConnection(std::move(c.Data), info, resume)) {
    OpenConnections--;
    (void)SendSessionWord(c.Control.Get(), kControlRefused,
                          "* BYE the session cannot take the connection now\r\n");
  }
  Adopting = nullptr;
}

// A door message into a connection; false for one that is not.
bool TakeDoorMessage(int door, SessionConnection &c, bool &ended) {
  ended = false;
  std::string message(kMaxDoorMessage, '\0');
  std::vector<UniqueFd> fds;
  long n = ReceiveMessage(door, message.data(), message.size(), fds, kDoorFds, 0);
  if (n == 0 || (n < 0 && GetLastError() != ERROR_MESSAGE_TOO_LONG &&
                 GetLastError() != ERROR_TIMEOUT)) {
    ended = true;
    return false;
  }
  if (n <= 1 || message[0] != kDoorConnection || fds.size() != kDoorFds) return false;
  if (!DecodeSessionStart(std::string_view(message).substr(1, static_cast<size_t>(n - 1)),
                          c.Start))
    return false;
  c.Data = std::move(fds[0]);
  c.Control = std::move(fds[1]);
  return true;
}

}  // namespace

SessionConnection &CurrentAdoption() { return *Adopting; }

bool RunSharedSession(SessionConnection first, UniqueFd door, NetEngineSettings settings,
                      const NetEngineHooks &hooks, void (*resume)(_Connection *conn),
                      DWORD graceMs) {
  ProgramRelease = hooks.Release;
  NetEngineHooks own = hooks;
  own.Release = ReleaseSharedConnection;
  settings.Listeners.clear();
  if (!StartSessionEngine(settings, own)) return false;
  Adopt(first, resume);
  if (!door.Valid()) {
    // No door (the front could not make one): this connection alone.
    while (OpenConnections.load() > 0) Sleep(kSessionWatchMs);
    return true;
  }
  long long idleSince = 0;
  for (;;) {
    if (OpenConnections.load() > 0) {
      idleSince = 0;
    } else {
      long long now = MonotonicMs();
      if (idleSince == 0) idleSince = now;
      if (now - idleSince >= graceMs) break;
    }
    if (!WaitReadable(door.Get(), kSessionWatchMs)) continue;
    SessionConnection next;
    bool ended = false;
    if (TakeDoorMessage(door.Get(), next, ended)) Adopt(next, resume);
    if (ended) break;
  }
  // A connection handed in while this closes is dropped with the door: the
  // front sees its control socket end and starts a new session for it.
  door.Reset();
  // The door ends when the front forgot it (this session was slow to answer
  // once) or is gone. The connections already here are served to their
  // end: a plaintext socket is this process's own, and a relayed one ends
  // by itself when the front's relay does.
  while (OpenConnections.load() > 0) Sleep(kSessionWatchMs);
  return true;
}
