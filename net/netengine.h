// netengine: the network engine shared by the receiver and the POP3 server:
// the listening thread, the connection records, the pool of worker threads
// on one completion port, and the idle check. It lives in net/, below the
// programs and above the service runtime (common/), so neither server
// stands on the other's folder.
//
// The engine knows nothing of SMTP or POP3. A program starts it with its
// port and a table of hooks: Greet runs on the listening thread for every
// accepted connection; Complete runs on a worker for every completed
// operation of a connection; Release frees the dialogue record when the
// connection closes. The idle check cancels the outstanding read of a
// connection idle longer than the limit: that read then completes through
// Complete with ERROR_OPERATION_ABORTED and bTimedOut set, so the record is
// closed (and freed) only by the worker that holds its last completion.
//
// Each connection has at most one socket operation outstanding (the
// completion port guarantees it), so a connection's hooks never run on two
// workers at once, and its record belongs to whichever worker holds its
// completion. The connection list is guarded by one lock; the idle check
// only looks at records under that lock and only cancels reads.
//
// Peers are untrusted: the engine bounds nothing itself beyond the buffer
// sizes the dialogue gives it; every failed socket operation ends in an
// abortive close without an event. Failures of the start and the listener
// are reported as events.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/iocp.h"
#include "platform/ipaddr.h"

struct _Connection {
  int Socket = -1;
  IpAddress LocalIp;             // the address the peer reached
  IpAddress PeerIp;
  std::string LocalAddress;      // LocalIp as text, at most 63 characters
  std::string LocalHostName;     // the name the connection reached us by
  std::string PeerAddress;       // PeerIp as text
  OVERLAPPED Overlapped;         // the socket's operation
  void *Dialogue = nullptr;      // the program's dialogue record
  std::atomic<long long> LastActivity{0};   // seconds, of the last completion
  std::atomic<bool> bReadOutstanding{false};
  std::atomic<bool> bTimedOut{false};       // set by the idle check
  _Connection *Next = nullptr;   // the connection list
};

struct NetEngineHooks {
  void (*Greet)(_Connection *conn);
  void (*Complete)(_Connection *conn, OVERLAPPED *ov, DWORD bytes, bool ok);
  void (*Release)(_Connection *conn);
  // Null, or called once on the listening thread when its listeners are
  // open (true) or cannot be (false), before the first accept: the accept
  // loop waits for it (the receiver sheds root meanwhile).
  void (*Listening)(bool open) = nullptr;
};

struct NetEngineSettings {
  uint16_t Port = 0;
  unsigned Workers = 0;          // 0: twice the processors
  DWORD IdleSeconds = 0;         // 0: no idle check
  bool KeepAlive = true;
};

// Starts the port, the workers and the listening thread. False (with the
// event already reported) when the port or a thread cannot be started.
bool StartNetEngine(const NetEngineSettings &settings, const NetEngineHooks &hooks);
// Closes the listener and ends the workers (they leave at their next
// completion; open connections are closed abortively).
void StopNetEngine();
bool NetEngineStopping();

CompletionPort &EnginePort();

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
// as one operation. The three must stay valid until it completes.
bool TrySocketTransmit(_Connection *conn, int fileFd, off_t offset, size_t length,
                       std::string_view head, std::string_view tail);

// Closes the socket, releases the dialogue and frees the record.
void CloseConnection(_Connection *conn, bool graceful);
