// imapconn: one IMAP connection's record and the loop that drives it on
// the network engine (net/netengine), for the front (before logon,
// imapfront) and for the session process (after, imapsession).
//
// The loop. A connection has one socket operation outstanding at a time.
// ImapAdvance runs on the worker that holds the connection's completion:
// it sends what the handlers queued (Out; a file range after it for a
// FETCH by sendfile), runs a command's continuation (a FETCH of thousands
// of messages produces its output a piece at a time), feeds the input
// read so far to the command reader (imapparse) and hands each event to
// the process's handlers (ImapHandlers: the front's or the session's),
// and reads more when the input is used up. Responses of pipelined
// commands are sent together, once the input is used up or Out holds
// kImapSendChunk bytes; a continuation request ("+ ") always goes out
// before the next read, as the client waits for it.
//
// Handlers return ImapGo::kOn, or kAway when they started something that
// completes later (a logon on the pool) or closed the connection: the
// record is then no longer theirs, nor the loop's, and nothing touches it.
//
// Failures. A read the engine's idle check cancelled is answered with
// "* BYE Autologout; idle for too long" and the connection closes; a write
// the peer stopped taking, or any socket failure, closes at once. A read
// cancelled by ImapWake (the session's IDLE, to report a change) goes to
// the handlers' Woken.
//
// ManageSieve (managesieve*) runs on the same loop with its own reader
// (ImapHandlers::Input).
//
// Untrusted input: every byte from the client, framed by imapparse's
// reader with its bounds (kMaxCommandText, literals). The read buffer is
// ReadBytes long (the front reads kMaxSessionPendingInput at a time, so
// what a client pipelines behind its logon always fits the session's
// start record).
//
// Threads: one worker at a time per connection (the engine's rule);
// ImapWake from any thread, under the caller's own registry lock (see
// imapsession).
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "ZELIMAP/imapparse.h"
#include "net/netengine.h"
#include "platform/files.h"

// Input taken from the socket at a time in a session.
constexpr size_t kImapReadBytes = 16 * 1024;
// Output gathered before it is sent (the pieces of a long FETCH).
constexpr size_t kImapSendChunk = 256 * 1024;

enum class ImapGo { kOn, kAway };

// What is outstanding on the connection.
enum ImapPhase { kImapPhaseNone, kImapPhaseRead, kImapPhaseSend, kImapPhaseLogon, kImapPhaseTls };

// The protocol states (RFC 9051 section 3).
enum ImapState { kImapNotAuthenticated, kImapAuthenticated, kImapSelected, kImapLogout };

struct _Connection;
struct ImapConn;

// The process's handlers of the reader's events (null: not expected there).
struct ImapHandlers {
  ImapGo (*Command)(_Connection *conn, const ImapCommandView &cmd);
  ImapGo (*AppendMessage)(_Connection *conn, const ImapCommandView &cmd);
  ImapGo (*MessageBytes)(_Connection *conn, std::string_view data);
  ImapGo (*RawLine)(_Connection *conn, std::string_view line, bool cut);
  // The connection is about to wait for input: the session's IDLE
  // registers for wakes there (setting WaitToken) and may queue what it
  // has to report instead (Out: the loop sends it before it reads).
  void (*BeforeRead)(_Connection *conn);
  // The read has started (token: the WaitToken taken before; the record
  // itself must not be touched unless the registry still holds it).
  void (*ReadStarted)(uint64_t token);
  // The wait is over (a read completed, failed or was cancelled): the
  // first thing done with the completion.
  void (*AfterRead)(_Connection *conn);
  // A read cancelled by ImapWake.
  ImapGo (*Woken)(_Connection *conn);
  // The logon pool's completion (kImapPhaseLogon; the front).
  void (*LogonDone)(_Connection *conn);
  // The record is being freed (the connection closed).
  void (*Release)(ImapConn &c);
  // A protocol with a grammar of its own on this loop (ManageSieve): takes
  // the input left (PendingImapInput) instead of the IMAP reader, moves
  // InStart past what it used and sets bReaderStarved when it needs more.
  ImapGo (*Input)(_Connection *conn) = nullptr;
  // Set when the server speaks first once a STARTTLS handshake is done
  // (ManageSieve's capabilities): queues that in Out.
  void (*TlsStarted)(_Connection *conn) = nullptr;
  // What a connection idle too long hears before it closes ("": IMAP's).
  std::string_view IdleBye;
};

struct ImapConn {
  const ImapHandlers *Handlers = nullptr;
  int Phase = kImapPhaseNone;
  int State = kImapNotAuthenticated;
  ImapReader Reader;
  size_t ReadBytes = kImapReadBytes;
  std::unique_ptr<char[]> ReadBuffer;   // made at the first read
  size_t InStart = 0, InEnd = 0;        // input read and not yet used
  // The reader said it needs more input; until then it may have an event
  // to give without any (APPEND's continuation after its announcement).
  bool bReaderStarved = true;
  std::string Out;                      // queued responses
  std::string Sending;                  // the write outstanding
  UniqueFd TransmitFile;                // sent after Sending, by sendfile
  uint64_t TransmitOffset = 0, TransmitLength = 0;
  std::string TransmitTail;
  bool bCloseAfterSend = false;
  // Replies of pipelined commands go out together (the session); the
  // front sends each before the next command, as a logon may hand the
  // connection away.
  bool bGatherReplies = false;
  bool bStartTlsAfterSend = false;      // STARTTLS's OK is on its way
  // A command whose output comes in pieces: called once the last piece
  // left; it queues more (and stays set) or finishes (and clears itself).
  ImapGo (*Continue)(_Connection *conn) = nullptr;
  // The session's IDLE: the registry entry of the waiting read (0: none)
  // and whether ImapWake asked for its cancel.
  uint64_t WaitToken = 0;
  std::atomic<bool> bWakeAsked{false};
  // The process's own state of the connection (the front's logon, the
  // session's selected folder), freed by Handlers->Release.
  void *Program = nullptr;
};

inline ImapConn &Imap(_Connection *conn) { return *static_cast<ImapConn *>(conn->Dialogue); }

// Makes the record (false: no memory; the connection is closed).
bool AttachImapConn(_Connection *conn, ImapConn *c, const ImapHandlers *handlers);
// The loop (above). Do not touch conn afterwards.
void ImapAdvance(_Connection *conn);
// The engine's hooks.
void ImapCompletion(_Connection *conn, OVERLAPPED *ov, DWORD bytes, bool ok);
void ReleaseImapConn(_Connection *conn);

// Input already read and not yet used (the front hands it to the session).
std::string_view PendingImapInput(const ImapConn &c);
// Input for the loop to take before it reads (the session's start record
// brings what the client sent behind its logon); at most ReadBytes. False
// when there is no memory for it.
bool PutImapInput(ImapConn &c, std::string_view input);
// Drops the input read and not yet used (STARTTLS: nothing sent in clear
// may act inside the encrypted session).
void DropImapInput(ImapConn &c);
// Overwrites what the command just read held (a password): the input taken
// so far and the reader's copy of the command.
void WipeImapCommand(ImapConn &c);

// Cancels the connection's waiting read so that Woken runs. Call only
// while the caller's registry says the connection waits (see imapsession).
void ImapWake(_Connection *conn);

// "* BYE ..." text of the idle close.
inline constexpr std::string_view kImapAutologout = "* BYE Autologout; idle for too long\r\n";
