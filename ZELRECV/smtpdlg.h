// smtpdlg: the receiver's SMTP dialogue: HELO, MAIL, RCPT, DATA, RSET, VRFY,
// NOOP and QUIT with their fixed replies, and the extensions on top of them
// (EHLO with PIPELINING, SIZE, 8BITMIME, STARTTLS and AUTH), as one state
// machine per connection driven by the network engine's workers.
//
// Two layers. The command layer (TakeCommandBytes, SmtpCommand) works on the
// dialogue record alone: it cuts command lines out of the bytes received,
// answers each command into the record's reply and next state, and keeps
// the envelope. The I/O layer (the engine's hooks below) reads, sends and
// hands message data to msgaccept. So the fuzz target and the tests drive
// the very command handling the network does, without sockets.
//
// Everything here comes from the peer and is untrusted: command lines are
// at most 1023 bytes (a longer line is handed over in pieces) and end at
// their first CR (so no reply, address or file line ever holds one), paths
// are cut to their record sizes, a transaction takes at most MaxRecipients
// recipients, and message data goes through a bounded buffer (smtpdata).
// Input that arrives ahead of its turn (pipelined commands, the next
// command behind the end of the data) is kept and used in order; input
// behind STARTTLS is the one exception: it is dropped unread, since it
// came before the encryption and must not be taken as if it came after.
//
// A transaction (an accepted MAIL or RCPT to the end of its DATA) lasts at
// most MaxTransactionTime: past it the client gets "421 Transaction time
// limit exceeded" and is closed, however it trickles its bytes. One MAIL
// per transaction ("503 5.5.1 Sender already specified"), and no STARTTLS
// inside one ("503 5.5.1"): a handshake there would reset nothing.
//
// Commands other than an accepted MAIL, RCPT or DATA (HELO, NOOP, RSET,
// VRFY, refused MAIL or RCPT, unknown ones...) are counted; after
// MaxPreTransactionCommands of them without a message accepted, the next
// gets "421 4.7.0 Too many commands" and the connection closes. A client
// that sends mail never comes near it; one that probes or idles with NOOP
// does.
//
// ESMTP. A session opened with EHLO takes MAIL parameters (SIZE, BODY, and
// AUTH where AUTH is offered; others get 555) and refuses RCPT parameters;
// a session opened with HELO is the classic dialogue, parameters ignored.
// On PortNo, Esmtp 0 gives EHLO the classic "500". The submission ports
// (listener kinds below) always speak ESMTP and take no mail before a
// successful AUTH (smtpauth): MAIL, RCPT and DATA get "530 Authentication
// required" until then; after it, MAIL takes only a sender that delivers
// to the user who logged on, or the null sender (smtpauth's
// SenderOwnedByUser), unless SubmissionAnySender is set.
//
// Relay policy: a recipient that is not local (net/localdomain) is
// accepted only from a client inside RelayClients or an authenticated
// session, and from nobody while ProhibitMailRelay is set; VRFY answers by
// the same rule.
//
// A dialogue record belongs to its connection; the engine guarantees that
// only one worker runs a connection's step at a time.
#pragma once

#include <sys/types.h>

#include <memory>
#include <string>
#include <vector>

#include "ZELRECV/smtpdata.h"
#include "ZELRECV/smtpfilter.h"
#include "common/logonpool.h"
#include "net/netengine.h"
#include "platform/files.h"

// A command line: 1023 bytes and its terminator.
constexpr size_t kLineBufferSize = 1024;
constexpr size_t kMaxLineLength = kLineBufferSize - 1;
// Longer than this without a line end, a line is handed over as it is.
constexpr size_t kLineHandOver = 1022;
constexpr size_t kMaxHeloName = 255;
constexpr size_t kMaxReturnPathText = 511;
constexpr size_t kMaxPathBuffer = 511;        // a RCPT path is parsed into 512 bytes
constexpr size_t kMaxRecipientAddress = 127;
constexpr size_t kMaxReplyLength = 4095;

// Operation codes: what completed.
constexpr int kOpCommandRead = 1;
constexpr int kOpDataRead = 2;
constexpr int kOpReplySent = 3;
constexpr int kOpFileWrite = 4;
constexpr int kOpQueued = 5;      // the recipient file is written (or failed)
constexpr int kOpChecked = 6;     // the checks of arriving mail are done

// Dialogue states.
constexpr int kStateReplyPending = 1;
constexpr int kStateData = 2;         // reading message data (and writing it)
constexpr int kStateDataPending = 3;
constexpr int kStateCommand = 4;
constexpr int kStateFileWritten = 5;  // the message file is whole: queueing it
constexpr int kStateQuitting = 6;
constexpr int kStateLogon = 7;        // AUTH's credentials wait for the logon pool
constexpr int kStateStartTls = 8;     // "220 Ready to start TLS" was sent: the handshake follows

// Listener kinds: which of the receiver's ports a connection came in on.
constexpr int kListenerSmtp = 0;            // PortNo: mail from other servers
constexpr int kListenerSubmission = 1;      // SubmissionPortNo: STARTTLS, then AUTH
constexpr int kListenerSubmissionTls = 2;   // SubmissionTlsPortNo: TLS from the first byte

// Where an AUTH exchange stands: the line awaited is a response, not a
// command.
constexpr int kAuthNone = 0;
constexpr int kAuthPlainResponse = 1;   // PLAIN's message after "334 "
constexpr int kAuthLoginName = 2;       // LOGIN's user name
constexpr int kAuthLoginPassword = 3;   // LOGIN's password

struct _SmtpRecipient {
  bool bLocal = false;
  std::string Address;
};

struct _SmtpDialogue {
  int Op = 0;
  int State = 0;
  // The client, as the connection knows it.
  std::string LocalHostName;   // the name it reached us by
  std::string PeerAddress;
  bool bIPv6Peer = false;      // PeerAddress is IPv6 text
  bool bRelayClient = false;   // inside RelayClients
  int ListenerKind = kListenerSmtp;
  bool bEsmtpAllowed = false;  // EHLO is answered on this connection
  bool bSubmission = false;    // a submission port: no mail before AUTH

  // What the connection's TLS state is, as the I/O layer last saw it.
  bool bCanStartTls = false;   // a certificate is loaded, not yet encrypted
  bool bEncrypted = false;
  std::string TlsVersion;      // "TLSv1.3", once encrypted
  std::string TlsCipher;

  bool bEsmtp = false;           // the session was opened with EHLO
  bool bAuthenticated = false;
  std::string AuthenticatedName; // who AUTH logged on
  bool bAuthHostAccount = false; // a host account (its name compares exactly)
  int AuthStep = kAuthNone;
  int AuthFailures = 0;
  std::string AuthLoginName;     // LOGIN's name, between its two prompts
  LogonJob Logon;                // the credentials on the logon pool
  OVERLAPPED LogonOverlapped;

  bool bHeloSeen = false;
  bool bInTransaction = false;   // from an accepted MAIL or RCPT to the reset
  bool bMailAccepted = false;    // the transaction has its sender
  unsigned CommandsBeforeMessage = 0;   // counted toward MaxPreTransactionCommands
  bool bDeadlineArmed = false;   // MaxTransactionTime runs on the connection
  std::string HeloName;
  std::string ReturnPath;
  std::vector<_SmtpRecipient> Recipients;   // in RCPT order; newest is back()
  bool b8Bit = false;
  bool bJunk = false;        // DMARC says quarantine: filed into Junk (authcheck)

  char Line[kLineBufferSize] = {};
  size_t LineLength = 0;
  bool bLineComplete = false;
  std::string Pending;       // received bytes not yet consumed
  std::string Reply;         // empty: the command gets no reply

  _SmtpData Data;
  std::string MessageId;     // "<B0000000001@host>"
  std::string MessageFileName;   // the name the message file gets at the end
  bool bMessageFileNamed = false;   // it has it, and the reset must delete it
  UnnamedFile MessageFile;
  OVERLAPPED FileOverlapped;
  off_t FileOffset = 0;
  std::string AddedLines;    // the lines added in front; then the first write, joined
  std::vector<std::pair<const char *, size_t>> WriteQueue;
  size_t WriteIndex = 0;

  _SmtpFilter Filter;        // the mail filters' session (smtpfilter)
};

// ---- the command layer

// A record for a client that reached localHostName from peer, through a
// listener of the given kind.
void InitSmtpDialogue(_SmtpDialogue &dlg, const std::string &localHostName,
                      const IpAddress &peer, int listenerKind = kListenerSmtp);
// The greeting, as the reply of state 1.
void SmtpGreeting(_SmtpDialogue &dlg);
// Takes bytes just read into Line behind LineLength (at most
// kMaxLineLength - LineLength of them); true when the line is complete (the
// bytes behind its line end go to Pending).
bool TakeCommandBytes(_SmtpDialogue &dlg, size_t bytes);
// Answers the complete command line: sets Reply (empty for none) and State.
// State kStateLogon (no reply): the I/O layer hands Logon to the logon
// pool, and SmtpLogonAnswered (smtpauth) answers once it is back.
void SmtpCommand(_SmtpDialogue &dlg);
// Sets the reply (cut to kMaxReplyLength) and the state that follows it.
void SetReply(_SmtpDialogue &dlg, std::string reply, int nextState = kStateReplyPending);
// STARTTLS is done: everything known of the client before is forgotten.
void ForgetSessionForTls(_SmtpDialogue &dlg);
// A message was accepted: the count of commands starts again.
void MessageAccepted(_SmtpDialogue &dlg);

// The Received line that heads a stored message, with its date text: the
// client as it named itself and as its address ("[192.0.2.1]",
// "[IPv6:2001:db8::1]"), the protocol (SMTP after HELO, ESMTP after EHLO,
// with S for TLS and A for AUTH as RFC 3848 has them) and, with TLS, the
// protocol version and cipher in a comment.
std::string ReceivedLine(const _SmtpDialogue &dlg, const std::string &date);

// Transaction reset: forgets the envelope and the data, and deletes a
// message file whose name is still held.
void ResetTransaction(_SmtpDialogue &dlg);

// Path parsing of MAIL and RCPT: true with the address, or false with the
// offending text; *parameters (when asked for) points behind the path, at
// the ESMTP parameters. Exposed for tests.
bool ParsePath(const char *line, size_t maxChars, std::string &address, std::string &offending,
               const char **parameters = nullptr);

// ---- the I/O layer: the engine's hooks for the SMTP receiver

void BeginSmtpDialogue(_Connection *conn);
void SmtpCompletion(_Connection *conn, OVERLAPPED *ov, DWORD bytes, bool ok);
void ReleaseSmtpDialogue(_Connection *conn);

// Starts reading message data, from pending bytes first.
void StartDataRead(_Connection *conn);

// Sends the reply the record holds; the state that follows its send is the
// record's State. The record must not be touched afterwards: the send may
// complete on another worker at once.
void SendReply(_Connection *conn);
// Sets the reply and the state that follows it, then sends it.
void SendReply(_Connection *conn, std::string reply, int nextState = kStateReplyPending);
