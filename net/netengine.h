// netengine: the network engine shared by the receiver and the POP3 server:
// the listeners, the connection records, the pool of worker threads on one
// completion port, the connection limits and the idle and deadline checks.
// It lives in net/, below the programs and above the service runtime
// (common/), so neither server stands on the other's folder.
//
// The engine knows nothing of SMTP or POP3. A program starts it with its
// listeners and a table of hooks: Greet runs for every accepted connection
// (on its listening thread, or on a worker once the handshake of a TLS
// listener's connection is done); Complete runs on a worker for every
// completed operation of a connection; Release frees the dialogue record
// when the connection closes.
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
// from one client (clients in ExemptFromClientLimit are spared the
// latter). A client is its IPv4 address, or the IPv6 network of
// ClientPrefixLengthV6 bits its address is in (an IPv6 subscriber has a
// whole /64 to pick addresses from). A connection over a limit is sent TooManyConnectionsReply at once
// from the listening thread and closed: it reaches no worker and no hook.
//
// Time. The idle limit (IdleSeconds) bounds how long a client may take to
// send a whole command line: the clock starts at the accept, at every
// complete command line the dialogue reports (NoteCommandLine: also a line
// of message text during DATA) and whenever one of the program's writes or
// transmissions has been sent (the client's turn begins); bytes that make
// no whole line start nothing, so a client that trickles a line a byte at
// a time is still cut off. Past the limit the outstanding read is
// cancelled; it completes through Complete with ERROR_OPERATION_ABORTED
// and bTimedOut set. A program that never calls NoteCommandLine gets the
// limit measured from its last reply, which is the same thing for a
// dialogue that answers every line.
//
// Writes have the same limit: a write or transmission that has sent
// nothing for IdleSeconds (the peer stopped reading and the socket's
// buffers are full) is cancelled; it completes with
// ERROR_OPERATION_ABORTED and bWriteTimedOut set, and the program closes
// (a further reply could not be sent either). So a client that pipelines
// commands and never reads gets about a socket buffer of replies, and is
// then closed.
//
// A dialogue may also arm a deadline on a connection
// (ArmConnectionDeadline: a whole SMTP transaction, a whole POP3 session);
// once it has passed, the outstanding read is cancelled the same way but
// with bDeadlinePassed set, so Complete can send the program's own reply
// before it closes. A TLS handshake has a limit of its own
// (TlsHandshakeSeconds, from its start), which the dialogue's deadline
// neither replaces nor extends; past it the waiting read is cancelled as
// idle. Either way the record is closed (and freed) only by the worker
// that holds its last completion. The checks run about once a second.
//
// Each connection has at most one socket operation outstanding (the
// completion port guarantees it), so a connection's hooks never run on two
// workers at once, and its record belongs to whichever worker holds its
// completion. The connection list and the per-client counts are guarded by
// one lock; the checks only look at records under that lock and only cancel
// reads.
//
// Bytes cross the socket in one place: the Try* and Start* calls below (and
// the port behind them), and TLS sits there. A connection is encrypted
// either from its first byte (a listener marked bTls: the engine runs the
// handshake before Greet) or from the moment the program calls
// StartConnectionTls (STARTTLS, STLS). A listener marked bStrictTls takes
// the strict server context (CurrentTlsServerContext(true): TLS 1.3, and
// TLS 1.2 with forward-secret AEAD suites only) for both; the others the
// broad one. From then on the same calls carry
// plaintext: a read completes only with decrypted bytes, a write or a
// transmission completes once all of its plaintext is encrypted and sent,
// and the byte counts are plaintext counts. The handshake, the records,
// session tickets and alerts travel on the connection's one outstanding
// operation (a read or write of ciphertext the engine starts on the
// program's behalf), so TLS adds no thread and no blocking call, and the
// idle check and the deadline cancel a read that waits for the peer's
// handshake exactly as one that waits for a command. A program's operation
// may take several of these steps; the program sees one completion.
//
// TLS failures (a client that speaks no TLS 1.2 or 1.3, garbage instead of
// a ClientHello, a bad record) end the session: the alert, if OpenSSL made
// one, is sent, the program's operation fails with ERROR_TLS_FAILED, and the
// connection closes gracefully whichever close the program asks for, so
// the alert is not cut off by a reset. The engine writes no event for them
// (a scanner would flood the log); the optional TlsFailed hook hears each
// failed connection once, with OpenSSL's reason, for the program's
// activity log.
//
// Memory: a plaintext connection carries one null pointer for TLS. A TLS
// connection holds its OpenSSL session, about 17 KiB while idle (record
// buffers are released between records, and the session's memory buffers
// shrink back once emptied), and only while data moves a ciphertext buffer
// of kTlsWireBytes, at most about twice that queued inside the session in
// each direction (a large reply or file is encrypted a piece at a time)
// and OpenSSL's two record buffers: about 140 KiB at most.
//
// Peers are untrusted: the engine bounds nothing itself beyond the buffer
// sizes the dialogue gives it; every failed socket operation ends in an
// abortive close without an event. Failures of the start and the listeners
// are reported as events.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/files.h"
#include "platform/iocp.h"
#include "platform/ipaddr.h"
#include "platform/registry.h"

class TlsSession;

// Defaults of the settings both servers read (their Parameters keys).
constexpr DWORD kDefaultMaxConnections = 1000;
constexpr DWORD kDefaultMaxConnectionsPerClient = 50;
constexpr DWORD kDefaultMaxTransactionTime = 3600;   // seconds
// A listener out of descriptors or memory tries again after this long.
constexpr DWORD kAcceptBackoffMs = 100;
// ListenAddresses: a longer value is refused whole (nothing is listened on).
constexpr size_t kMaxListenAddressesBytes = 4096;
// A TLS handshake not finished within this long is abandoned (a client
// that trickles its hello one byte at a time is never idle).
constexpr DWORD kDefaultTlsHandshakeSeconds = 60;
// IPv6 clients count by their /64 (ClientPrefixLengthV6): the prefix one
// subscriber is given.
constexpr DWORD kDefaultClientPrefixLengthV6 = kSubscriberPrefixLengthV6;
// The idle limit when Timeout is 0 or missing.
constexpr DWORD kDefaultIdleLimitSeconds = 600;
// A floor of 0 would disable the idle close altogether: a second at least.
constexpr DWORD kLeastIdleLimitSeconds = 1;
// Ciphertext moves through a TLS connection's socket in pieces of this
// size: one full record (16 KiB of plaintext) with its overhead.
constexpr size_t kTlsWireBytes = 17 * 1024;
// What a program's operation fails with when the connection's TLS session
// failed (a handshake refused, a bad record) or a write was started before
// the handshake was done.
constexpr long ERROR_TLS_FAILED = EPROTO;

// The engine's TLS state of a connection (netengine.cpp); null while the
// connection is plaintext.
struct ConnectionTls;
struct ConnectionTlsDeleter {
  void operator()(ConnectionTls *tls) const;
};

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
  IpAddress ClientKey;           // what the per-client limit counts it as
  bool bStrictTls = false;       // the listener's bStrictTls
  // The engine's clocks (monotonic ms): where the idle limit runs from, the
  // dialogue's deadline (0: none armed), the handshake's limit (0: none).
  std::atomic<long long> IdleSinceMs{0};
  std::atomic<long long> DeadlineMs{0};
  std::atomic<long long> HandshakeDeadlineMs{0};
  // A write seen waiting: which one, how far it had come, and since when
  // (0: not seen yet).
  std::atomic<uint64_t> WriteSerial{0};
  std::atomic<size_t> WriteDone{0};
  std::atomic<long long> WriteSeenMs{0};
  std::atomic<bool> bReadOutstanding{false};
  std::atomic<bool> bWriteOutstanding{false};
  std::atomic<bool> bTimedOut{false};       // set by the idle check (a read)
  std::atomic<bool> bWriteTimedOut{false};  // set by the idle check (a write)
  std::atomic<bool> bDeadlinePassed{false}; // set by the deadline check
  std::unique_ptr<ConnectionTls, ConnectionTlsDeleter> Tls;  // the engine's
  _Connection *Next = nullptr;   // the connection list
};

struct NetEngineHooks {
  // A new connection (on a TLS listener: once its handshake is done, on a
  // worker; else on the listening thread).
  void (*Greet)(_Connection *conn);
  void (*Complete)(_Connection *conn, OVERLAPPED *ov, DWORD bytes, bool ok);
  // Every greeted connection, as it closes.
  void (*Release)(_Connection *conn);
  // Null, or called by StartNetEngine once the listeners are bound and
  // before any thread of the engine starts (the receiver sheds root
  // there); false fails the start (the hook has said why).
  bool (*ListenersBound)() = nullptr;
  // Optional: the connection's TLS session failed, with OpenSSL's reason.
  // Once per connection at most, on a worker, just before the failure
  // reaches Complete, or before a connection of a TLS listener that failed
  // its handshake is closed (Dialogue is then null: Greet never ran). For a
  // log line only: it must not start an operation or close.
  void (*TlsFailed)(_Connection *conn, const std::string &why) = nullptr;
};

struct NetListener {
  IpAddress Address;
  uint16_t Port = 0;
  int Kind = 0;                  // handed to each of its connections
  bool bTls = false;             // TLS from the first byte (465, 995)
  bool bStrictTls = false;       // the strict server context (ports people log on to)
  // Sent instead of the engine's TooManyConnectionsReply (a port of
  // another protocol); "": the engine's.
  std::string TooManyConnectionsReply;
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
  // The longest a TLS handshake may take (0: no limit beyond the idle one).
  DWORD TlsHandshakeSeconds = kDefaultTlsHandshakeSeconds;
  // IPv6 clients count by the network of this many bits (1 to 128).
  DWORD ClientPrefixLengthV6 = kDefaultClientPrefixLengthV6;
};

// One listener on each address, all on port with kind; tls: TLS from the
// first byte; strict: the strict TLS profile, for TLS from the first byte
// and for STARTTLS alike. A program adds its TLS listeners only while a
// certificate is loaded (LoadTlsCertificate, common/tlsconfig); should it
// be gone later, their connections are closed unanswered.
void AddListeners(NetEngineSettings *settings, const std::vector<IpAddress> &addresses,
                  uint16_t port, int kind, bool tls = false, bool strict = false);

// All interfaces: "::" (dual stack) when this host can listen on IPv6,
// else 0.0.0.0.
std::vector<IpAddress> DefaultListenAddresses();
// Reads the value ListenAddresses (REG_MULTI_SZ, IPv4 or IPv6 addresses)
// of a service's Parameters key into *addresses; a missing value leaves
// them as they are. An entry that is not an address is reported (event 41)
// and left out, a repeated one is dropped; a value with no usable entry,
// or too long to read, leaves the list empty, and the start then fails.
void LoadListenAddresses(HKEY params, std::vector<IpAddress> *addresses);

// The settings every server reads the same way from its Parameters key:
// ClientPrefixLengthV6 (1 to 128; another value is reported, event 41, and
// the default used), and the idle limit: Timeout in seconds (0 or missing:
// defaultLimit) raised to the floor MinimumTimeout (missing: defaultFloor;
// 0 counts as kLeastIdleLimitSeconds). MinimumTimeout is for tests: it
// lets them see an idle close within seconds.
DWORD LoadClientPrefixLengthV6(HKEY params);
DWORD LoadIdleSeconds(HKEY params, DWORD defaultFloor,
                      DWORD defaultLimit = kDefaultIdleLimitSeconds);

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

// A whole command line (or, during DATA, a whole line of message text)
// has arrived: the idle limit runs from now. From the worker that holds
// the connection's completion.
void NoteCommandLine(_Connection *conn);

// The connection's deadline: seconds from now (0: none). Armed again, it
// replaces the earlier one; cleared, nothing is checked. Call them from the
// worker that holds the connection's completion (or from Greet), like every
// other operation on it. A deadline is checked while the connection waits
// for input: once passed, the read completes aborted with bDeadlinePassed.
void ArmConnectionDeadline(_Connection *conn, DWORD seconds);
void ClearConnectionDeadline(_Connection *conn);
// The same in milliseconds (a session process takes over a deadline armed
// by the front).
void ArmConnectionDeadlineMs(_Connection *conn, long long ms);

// Operations on a connection; each failure closes it abortively and returns
// false (the caller must not touch the record after that).
bool StartSocketRead(_Connection *conn, char *buffer, size_t length);
bool StartSocketWrite(_Connection *conn, const char *buffer, size_t length);
// Hands bytes already received to the connection as if a read had
// completed (a posted completion), so pipelined input takes the same road.
// A program may also post on conn->Overlapped itself (EnginePort().Post, a
// logon pool's answer) while it holds the connection: under TLS too, that
// completion reaches Complete as posted.
bool PostReadCompletion(_Connection *conn, DWORD bytes);

// The same operations without the close: false with the thread's last
// error, the connection still the caller's (the POP3 dialogue logs the
// failure before it closes). Nothing is outstanding after a false result.
//
// Under TLS: a read may put ciphertext in the part of buffer beyond the
// plaintext it completes with (those bytes mean nothing); a write or
// transmission started before the handshake is done fails at once with
// ERROR_TLS_FAILED (a dialogue whose STARTTLS handshake timed out then
// closes instead of answering in clear).
bool TrySocketRead(_Connection *conn, char *buffer, size_t length);
bool TrySocketWrite(_Connection *conn, const char *buffer, size_t length);
// TransmitFile: head, then length bytes of fileFd from offset, then tail,
// as one operation, corked: they leave as one unit, so a short reply does
// not wait for the client's delayed acknowledgement. The three must stay
// valid until it completes. A range the file does not hold is refused
// before anything is sent. Under TLS the file is read a piece at a time
// and encrypted (sendfile cannot encrypt); the completion counts the
// plaintext bytes, as without.
bool TrySocketTransmit(_Connection *conn, int fileFd, off_t offset, size_t length,
                       std::string_view head, std::string_view tail);

// ---- TLS

// STARTTLS and STLS. Call it from the worker that holds the connection's
// completion, with nothing outstanding: right after the write of the reply
// that tells the client to start TLS ("220 Ready to start TLS", "+OK
// Begin TLS negotiation") has completed. Then start the next command read
// as usual: it completes with the first decrypted bytes, after the
// handshake; the program forgets what it knew of the client before (EHLO,
// AUTH) as the protocols require. A handshake that fails or times out
// (idle, the dialogue's deadline, TlsHandshakeSeconds) fails that read
// like any socket failure; the program then closes (a reply would fail:
// nothing goes out in clear any more).
//
// Pipelined input: whatever the client sent behind the command must never
// be executed. pendingInput is the program's buffer of input received
// behind the current line; it is cleared here, and the count of bytes
// dropped is returned (for the log). The engine itself holds no plaintext
// input; bytes still in the socket are read by the handshake, which fails
// on them as on any garbage.
//
// -1 (nothing changed: the connection stays plaintext and the caller's)
// when no certificate is loaded, TLS has already started on conn, or
// memory runs out. The program should then close: the client is already
// sending its handshake. (Ask ConnectionCanStartTls before the reply, and
// refuse the command in clear when it says no.)
long StartConnectionTls(_Connection *conn, std::string &pendingInput);

// The same for a protocol whose server speaks first once TLS is up
// (ManageSieve sends its capabilities again): after StartConnectionTls,
// runs the handshake alone, as the connection's operation; it completes
// through Complete (ok, 0 bytes) once the handshake is done, or fails as a
// read would. False with the last error (nothing outstanding) when TLS was
// not started or is done already.
bool TryTlsHandshake(_Connection *conn);

// Offer STARTTLS or STLS (EHLO, CAPA)? A certificate is loaded and TLS has
// not started on conn.
bool ConnectionCanStartTls(const _Connection *conn);
// The handshake is done: the connection is encrypted.
bool ConnectionEncrypted(const _Connection *conn);
// "TLSv1.3", and the cipher suite ("TLS_AES_256_GCM_SHA384"), for Received
// lines and logs; "" while not encrypted.
std::string ConnectionTlsVersion(const _Connection *conn);
std::string ConnectionTlsCipher(const _Connection *conn);

// Closes the socket, releases the dialogue and frees the record. A graceful
// close of an encrypted connection first sends close_notify (what the
// socket takes at once, without waiting).
void CloseConnection(_Connection *conn, bool graceful);

// ---- sessions in processes of their own
//
// The POP3 and IMAP fronts hand each logged-on client to a session process
// that runs as the mail user (net/sessionhandoff). The front detaches the
// connection: its socket and, when encrypted, its TLS session leave the
// engine, the dialogue record is released (Release), and the connection
// keeps its place in MaxConnections and MaxConnectionsPerClient until the
// front calls ReleaseConnectionPlace when the session has ended. Call it
// from the worker holding the connection's completion, with nothing
// outstanding on it; the record is freed (do not touch conn afterwards).
struct DetachedConnection {
  UniqueFd Socket;
  std::unique_ptr<TlsSession> Tls;   // null for a plaintext connection
  IpAddress PeerIp;
  IpAddress ClientKey;               // its place in the limits: ReleaseConnectionPlace's
};
bool DetachConnection(_Connection *conn, DetachedConnection &out);
void ReleaseConnectionPlace(const IpAddress &clientKey);

// The session process: an engine with no listener (the port and its
// workers, the idle and deadline checks), which serves the connection the
// session was handed. AdoptConnection makes the record for a socket
// already connected (the addresses and names as the front knew them) and
// calls resume on it, as Greet would be called (the record is the
// engine's from then on); false (the socket closed) when the engine does
// not run or memory runs out.
struct AdoptedConnectionInfo {
  int ListenerKind = 0;
  IpAddress LocalIp, PeerIp;
  std::string LocalAddress, LocalHostName, PeerAddress;
};
bool StartSessionEngine(const NetEngineSettings &settings, const NetEngineHooks &hooks);
bool AdoptConnection(UniqueFd socket, const AdoptedConnectionInfo &info,
                     void (*resume)(_Connection *conn));
