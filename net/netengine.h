// netengine: the network engine shared by the receiver and the POP3 server:
// the listeners, the connection records, the pool of worker threads on one
// completion port, the connection limits and the idle and deadline checks.
// It lives in net/, below the programs and above the service runtime
// (common/), so neither server stands on the other's folder.
//
// The engine knows nothing of SMTP or POP3. A program starts it with its
// listeners and a table of hooks: Greet runs on a listening thread for
// every accepted connection; Complete runs on a worker for every completed
// operation of a connection; Release frees the dialogue record when the
// connection closes.
//
// Listeners. Each is an address (IPv4 or IPv6), a port and a kind, a small
// number the program chooses (which of its ports this is: plain, submission,
// TLS from the first byte...) and reads back as conn->ListenerKind. All are
// bound while StartNetEngine runs, so a service that drops its privileges
// does so in its ListenersBound hook, before the engine has a thread and
// before any client is accepted; a listener that cannot be bound fails the
// start with an event naming it. A listener on "::" is dual stack (IPv4
// clients arrive on it too), unless an IPv4 listener shares its port: then
// it takes IPv6 only. Each listener has its own thread, which waits on the
// pause gate and accepts. Running out of descriptors or memory while
// accepting (EMFILE, ENFILE, ENOBUFS, ENOMEM) never ends a listener: it
// waits kAcceptBackoffMs and accepts again, and reports the condition at
// most once a minute.
//
// Limits. MaxConnections open connections in all, MaxConnectionsPerClient
// from one client address (clients in ExemptFromClientLimit are spared the
// latter). A connection over a limit is sent TooManyConnectionsReply at once
// from the listening thread and closed: it reaches no worker and no hook.
//
// Time. The idle check cancels the outstanding read of a connection idle
// longer than IdleSeconds; that read then completes through Complete with
// ERROR_OPERATION_ABORTED and bTimedOut set. A dialogue may also arm a
// deadline on a connection (ArmConnectionDeadline: a whole SMTP transaction,
// a whole POP3 session); once it has passed, the outstanding read is
// cancelled the same way but with bDeadlinePassed set, so Complete can send
// the program's own reply before it closes. Either way the record is closed
// (and freed) only by the worker that holds its last completion. Both checks
// run about once a second, and only cancel reads: a reply or a transmission
// under way is never cut short.
//
// Each connection has at most one socket operation outstanding (the
// completion port guarantees it), so a connection's hooks never run on two
// workers at once, and its record belongs to whichever worker holds its
// completion. The connection list and the per-client counts are guarded by
// one lock; the checks only look at records under that lock and only cancel
// reads.
//
// Bytes cross the socket in one place: the Try* and Start* calls below (and
// the port behind them), so a layer such as TLS can sit there.
//
// Peers are untrusted: the engine bounds nothing itself beyond the buffer
// sizes the dialogue gives it; every failed socket operation ends in an
// abortive close without an event. Failures of the start and the listeners
// are reported as events.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/iocp.h"
#include "platform/ipaddr.h"
#include "platform/registry.h"

// Defaults of the settings both servers read (their Parameters keys).
constexpr DWORD kDefaultMaxConnections = 1000;
constexpr DWORD kDefaultMaxConnectionsPerClient = 50;
constexpr DWORD kDefaultMaxTransactionTime = 3600;   // seconds
// A listener out of descriptors or memory tries again after this long.
constexpr DWORD kAcceptBackoffMs = 100;
// ListenAddresses: a longer value is refused whole (nothing is listened on).
constexpr size_t kMaxListenAddressesBytes = 4096;

struct _Connection {
  int Socket = -1;
  int ListenerKind = 0;          // the Kind of the listener that accepted it
  IpAddress LocalIp;             // the address the peer reached
  IpAddress PeerIp;              // IPv4 clients of a dual-stack listener as IPv4
  std::string LocalAddress;      // LocalIp as text, at most 63 characters
  std::string LocalHostName;     // the name the connection reached us by
  std::string PeerAddress;       // PeerIp as text (AddressText)
  OVERLAPPED Overlapped;         // the socket's operation
  void *Dialogue = nullptr;      // the program's dialogue record
  std::atomic<long long> LastActivity{0};   // seconds, of the last completion
  std::atomic<long long> DeadlineMs{0};     // monotonic; 0: none armed
  std::atomic<bool> bReadOutstanding{false};
  std::atomic<bool> bTimedOut{false};       // set by the idle check
  std::atomic<bool> bDeadlinePassed{false}; // set by the deadline check
  _Connection *Next = nullptr;   // the connection list
};

struct NetEngineHooks {
  void (*Greet)(_Connection *conn);
  void (*Complete)(_Connection *conn, OVERLAPPED *ov, DWORD bytes, bool ok);
  void (*Release)(_Connection *conn);
  // Null, or called by StartNetEngine once the listeners are bound and
  // before any thread of the engine starts (the receiver sheds root
  // there); false fails the start (the hook has said why).
  bool (*ListenersBound)() = nullptr;
};

struct NetListener {
  IpAddress Address;
  uint16_t Port = 0;
  int Kind = 0;                  // handed to each of its connections
};

struct NetEngineSettings {
  std::vector<NetListener> Listeners;
  unsigned Workers = 0;          // 0: twice the processors
  DWORD IdleSeconds = 0;         // 0: no idle check
  bool KeepAlive = true;
  DWORD MaxConnections = 0;            // 0: no limit
  DWORD MaxConnectionsPerClient = 0;   // 0: no limit
  // Clients the per-client limit does not apply to (the receiver's
  // RelayClients); they still count towards MaxConnections.
  NetworkList ExemptFromClientLimit;
  // Sent to a client over a limit before its connection is closed.
  std::string TooManyConnectionsReply;
};

// One listener on each address, all on port with kind.
void AddListeners(NetEngineSettings *settings, const std::vector<IpAddress> &addresses,
                  uint16_t port, int kind);

// All interfaces: "::" (dual stack) when this host can listen on IPv6,
// else 0.0.0.0.
std::vector<IpAddress> DefaultListenAddresses();
// Reads the value ListenAddresses (REG_MULTI_SZ, IPv4 or IPv6 addresses)
// of a service's Parameters key into *addresses; a missing value leaves
// them as they are. An entry that is not an address is reported (event 41)
// and left out, a repeated one is dropped; a value with no usable entry,
// or too long to read, leaves the list empty, and the start then fails.
void LoadListenAddresses(HKEY params, std::vector<IpAddress> *addresses);

// Binds every listener, starts the port, the workers and the listening
// threads. False (with the event already reported, nothing left running)
// when there is no listener, one cannot be bound, or the port or a thread
// cannot be started.
bool StartNetEngine(const NetEngineSettings &settings, const NetEngineHooks &hooks);
// Closes the listeners and ends the workers (they leave at their next
// completion; open connections are closed abortively).
void StopNetEngine();
bool NetEngineStopping();

CompletionPort &EnginePort();

// The connection's deadline: seconds from now (0: none). Armed again, it
// replaces the earlier one; cleared, nothing is checked. Call them from the
// worker that holds the connection's completion (or from Greet), like every
// other operation on it. A deadline is checked while the connection waits
// for input: once passed, the read completes aborted with bDeadlinePassed.
void ArmConnectionDeadline(_Connection *conn, DWORD seconds);
void ClearConnectionDeadline(_Connection *conn);

// Operations on a connection; each failure closes it abortively and returns
// false (the caller must not touch the record after that).
bool StartSocketRead(_Connection *conn, char *buffer, size_t length);
bool StartSocketWrite(_Connection *conn, const char *buffer, size_t length);
// Hands bytes already received to the connection as if a read had
// completed (a posted completion), so pipelined input takes the same road.
bool PostReadCompletion(_Connection *conn, DWORD bytes);

// The same operations without the close: false with the thread's last
// error, the connection still the caller's (the POP3 dialogue logs the
// failure before it closes). Nothing is outstanding after a false result.
bool TrySocketRead(_Connection *conn, char *buffer, size_t length);
bool TrySocketWrite(_Connection *conn, const char *buffer, size_t length);
// TransmitFile: head, then length bytes of fileFd from offset, then tail,
// as one operation, corked: they leave as one unit, so a short reply does
// not wait for the client's delayed acknowledgement. The three must stay
// valid until it completes.
bool TrySocketTransmit(_Connection *conn, int fileFd, off_t offset, size_t length,
                       std::string_view head, std::string_view tail);

// Closes the socket, releases the dialogue and frees the record.
void CloseConnection(_Connection *conn, bool graceful);
