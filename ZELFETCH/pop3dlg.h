// pop3dlg: the POP3 dialogue of the server: greeting, command lines, the
// two parsers, the command table with its states and argument counts, the
// replies that need no mailbox, and the POP3 activity log. What the
// commands do with a mailbox is maildrop.
//
// The network engine (net/netengine) calls the three hooks: Greet for
// every accepted connection, Pop3Completion after every completed
// operation, ReleasePop3Dialogue when a connection closes. A connection has
// one operation outstanding at a time, so its dialogue record is only ever
// touched by the worker holding its completion; after an operation is
// started the record must not be touched again (it may complete and be
// freed on another worker at once). The engine's idle check cancels the
// read of a connection idle too long; that cancelled read completes here,
// is logged as the autologout and closes the connection, so the record is
// freed only after its last completion. PASS and AUTH are the commands
// that start no socket operation: they hand the dialogue to the logon pool
// (common/logonpool), whose completion (phase kPhaseLogon) gives it back.
// The extensions (CAPA, STLS, AUTH) are pop3ext; STLS's reply is followed
// by the handshake (StartConnectionTls) before the next read.
// The whole session is bounded by
// MaxTransactionTime (armed at the greeting as the connection's deadline):
// past it, the next command or the engine's check of a waiting read ends
// the session with "-ERR session time limit exceeded".
//
// Untrusted input: every byte of a command line. A line is at most 127
// bytes (an AUTH line, and the response line of an AUTH exchange, at most
// kMaxAuthLine: RFC 2449's 255 octets with the line end, room for a PLAIN
// message of any name and password PASS takes); a longer line is handed
// over cut at that length and the rest of it,
// up to its line end, is dropped (so the tail of an over-long password
// never becomes a command of its own). Bytes behind a line end are kept
// for the next command. Network text reaches the activity log only cut
// and with control characters escaped (LogSafeText); a password never
// reaches a log line, an event or a reply.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "common/logonpool.h"
#include "net/netengine.h"
#include "net/sessionhandoff.h"
#include "platform/files.h"
#include "platform/logon.h"
#include "zelbase/zelbase.h"

// The command line buffer: 127 bytes and a terminator.
constexpr size_t kMaxCommandLine = 127;
// An AUTH command line, or the response line of an AUTH exchange, "\r"
// included: 255 octets with the line end.
constexpr size_t kMaxAuthLine = 254;
// The user name field: 31 characters and a terminator.
constexpr size_t kMaxUserName = 31;
// The reply buffer: 512 characters and a terminator.
constexpr size_t kMaxReplyLength = 512;
// Commands a connection may give before logon; the next one closes it.
constexpr int kMaxAuthCommands = 100;
// What a client that sent no whole command line within the idle limit
// hears before the connection closes.
inline constexpr const char *kAutologoutReply = "-ERR Autologout: idle too long\r\n";

// I/O phases: what is outstanding.
constexpr int kPhaseRead = 1;   // a command read
constexpr int kPhaseSend = 2;   // a reply send or a transmission
constexpr int kPhaseLogon = 3;  // a logon on the logon pool (the dialogue is the pool's)

// Dialogue states.
constexpr int kStateAuthReply = 1;     // authorization; a reply is being sent
constexpr int kStateAuthCommand = 2;   // awaiting USER, APOP or QUIT
constexpr int kStateUserReply = 3;     // USER accepted; its reply is being sent
constexpr int kStatePassCommand = 4;   // awaiting PASS or QUIT
constexpr int kStateTransReply = 5;    // transaction; a reply is being sent
constexpr int kStateQuitReply = 6;     // QUIT answered; close after the send
constexpr int kStateCloseReply = kStateQuitReply;   // any last reply: close after it
constexpr int kStateTransCommand = 7;  // transaction; awaiting a command
constexpr int kStateStlsReply = 8;     // STLS answered; the handshake starts after the send
constexpr int kStateSaslReply = 9;     // AUTH's "+ " is being sent
constexpr int kStateSaslResponse = 10; // awaiting the client's AUTH response line

// Activity log line forms.
constexpr int kLogError = 1;    // an "-ERR" reply, the autologout, I/O failures
constexpr int kLogSignOn = 2;   // a successful logon, QUIT
constexpr int kLogCommand = 3;  // DELE, and RETR without a transmission

// A parsed command line.
struct _Pop3Command {
  bool bHasWord = false;
  std::string Word;        // the command word (upper case after the ordinary parse)
  std::string Arg1, Arg2;
  int ArgCount = 0;        // 0 to 3 (3: three or more)

  void Wipe();             // clears, overwriting the arguments (a password)
};

// One message file of the maildrop.
struct _MessageEntry {
  uint64_t Size = 0;
  int Number = 0;
  bool bDeleted = false;
  std::string FileName;
};

// The mailbox lock from LockDir, released by UnlockDir.
class MailboxLock {
 public:
  MailboxLock() = default;
  ~MailboxLock() { Release(); }
  MailboxLock(const MailboxLock &) = delete;
  MailboxLock &operator=(const MailboxLock &) = delete;
  void Reset(ZEL_LOCK_HANDLE h) {
    Release();
    handle_ = h;
  }
  void Release() {
    if (handle_ != INVALID_LOCK_HANDLE) UnlockDir(nullptr, handle_);
    handle_ = INVALID_LOCK_HANDLE;
  }
  bool Held() const { return handle_ != INVALID_LOCK_HANDLE; }

 private:
  ZEL_LOCK_HANDLE handle_ = INVALID_LOCK_HANDLE;
};

struct _Pop3Dialogue {
  int IoPhase = 0;
  int State = 0;
  size_t LineLength = 0;
  bool bLineComplete = false;
  bool bDiscardToLineEnd = false;   // the rest of an over-long line is dropped
  char Line[kMaxAuthLine + 1] = {};
  std::string Pending;              // bytes received behind the last line end
  std::string LineAsReceived;       // a line without a command word

  std::string UserName;
  std::string Reply;
  _Pop3Command Cmd;
  std::string GreetingStamp;

  std::string MailboxDirectory;
  UniqueFd MailboxFd;               // the mailbox, held open from logon to close
  int HighestAccessed = 0;
  int CurrentCount = 0;
  int NumberOfMessages = 0;
  uint64_t CurrentOctets = 0;
  std::vector<_MessageEntry> Maildrop;

  LogonJob Logon;                   // the PASS or AUTH on the logon pool
  SessionHandOff HandOff;           // the sockets of the session a logon starts
  int AuthCommands = 0;             // commands before logon, for kMaxAuthCommands
  bool bSaslLogon = false;          // the logon under way came by AUTH
  int LogonFailures = 0;            // failed logons on this connection
  MailboxLock Lock;
  UniqueFd OpenFile;
  std::string Terminator;           // the tail of the transmission in progress
  std::string Listing;              // a multi-line answer being sent (SendMultiLine)

  ~_Pop3Dialogue();
};

// The engine's hooks.
void GreetPop3Connection(_Connection *conn);
void Pop3Completion(_Connection *conn, OVERLAPPED *ov, DWORD bytes, bool ok);
void ReleasePop3Dialogue(_Connection *conn);

inline _Pop3Dialogue &PopDlg(_Connection *conn) {
  return *static_cast<_Pop3Dialogue *>(conn->Dialogue);
}

// Sets the reply and the state, logs an "-ERR" reply (form 1) and sends it.
// On a failed start the connection is closed. Do not touch conn afterwards.
void SendReply(_Connection *conn, std::string reply, int nextState);

// Sends a multi-line answer whole (no cut), from the dialogue's Listing.
// On a failed start the connection is closed. Do not touch conn afterwards.
void SendMultiLine(_Connection *conn, std::string text, int nextState);

// Writes an activity log line of the given form (while Pop3LogEnabled),
// through Pop3LogSink: into the POP3 log in the front, to the front over
// the control socket in a session process.
void WriteLogLine(_Connection *conn, int form);
void WritePop3LogText(const std::string &line);
extern void (*Pop3LogSink)(const std::string &line);

// Whether a password may cross this connection: it is encrypted, or its
// client is in PlaintextLogonClients.
bool PlaintextLogonAllowed(const _Connection *conn);
// Encrypted, and whether STLS could be offered. In a session process the
// connection it runs is the front's plaintext relay or the client's own
// socket: what the front knew of TLS comes with the start record.
extern bool SessionEncrypted;
extern bool SessionTlsAvailable;
bool Pop3Encrypted(const _Connection *conn);
bool Pop3CanStartTls(const _Connection *conn);

// The reply state that leads back to a command state (a command that is
// answered and changes nothing).
int ReplyStateFor(int commandState);

// The parsers, over at most maxLength bytes of a line (its "\n" removed, a
// "\r" may end it). The ordinary parse splits on space, "\r", "\t" and
// "\n" and upper-cases the command word; the password parse takes the
// rest of the line behind the command word, spaces included.
_Pop3Command OrdinaryParse(std::string_view line, size_t maxLength);
_Pop3Command PasswordParse(std::string_view line, size_t maxLength);

// "-ERR too many/few arguments for the NAME command" into the reply, or true.
bool CheckArgCount(_Pop3Dialogue &dlg, int minimum, int maximum, const char *name);

// The activity log's time stamp, "[07/Dec/2026:10:00:00]" (local time).
std::string LogTimeStamp(long long epochSeconds);
