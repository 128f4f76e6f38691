// smtpdlg: the receiver's SMTP dialogue: HELO, MAIL, RCPT, DATA, RSET, VRFY,
// NOOP and QUIT with their fixed replies, as one state machine per
// connection driven by the network engine's workers.
//
// Everything here comes from the peer and is untrusted: command lines are
// at most 1023 bytes (a longer line is handed over in pieces), paths are
// cut to their record sizes, and message data is bounded by MaxMessageSize.
// Input that arrives ahead of its turn (pipelined commands, the next
// command behind the end of the data) is kept and used in order.
//
// A dialogue record belongs to its connection; the engine guarantees that
// only one worker runs a connection's step at a time.
#pragma once

#include <sys/types.h>

#include <memory>
#include <string>
#include <vector>

#include "net/netengine.h"

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

// Dialogue states.
constexpr int kStateReplyPending = 1;
constexpr int kStateDataComplete = 2;
constexpr int kStateDataPending = 3;
constexpr int kStateCommand = 4;
constexpr int kStateFileWritten = 5;
constexpr int kStateQuitting = 6;

// One buffer of the message data chain.
struct _DataBuffer {
  std::unique_ptr<char[]> Data;
  size_t Capacity = 0;
  size_t Start = 0;   // bytes before Start have been consumed
  size_t Used = 0;
};

struct _SmtpRecipient {
  bool bLocal = false;
  std::string Address;
};

struct _SmtpDialogue {
  int Op = 0;
  int State = 0;
  bool bHeloSeen = false;
  std::string HeloName;
  std::string ReturnPath;
  std::vector<_SmtpRecipient> Recipients;   // in RCPT order; newest is back()
  bool b8Bit = false;

  char Line[kLineBufferSize] = {};
  size_t LineLength = 0;
  bool bLineComplete = false;
  std::string Pending;       // received bytes not yet consumed
  std::string Reply;

  std::vector<_DataBuffer> Chain;
  unsigned long long DataBytes = 0;
  bool bTooBig = false;
  // The last bytes of data, for the end marker; a virtual line end
  // before the data lets a first line of "." end it.
  char Tail[4] = {'\r', '\n'};
  size_t TailLength = 2;

  std::string MessageId;     // "<B0000000001@host>"
  std::string MessageFileName;
  int MessageFile = -1;
  OVERLAPPED FileOverlapped;
  off_t FileOffset = 0;
  std::string AddedLines;
  std::string Header;
  std::vector<std::pair<const char *, size_t>> WriteQueue;
  size_t WriteIndex = 0;
};

// The engine's hooks for the SMTP receiver.
void BeginSmtpDialogue(_Connection *conn);
void SmtpCompletion(_Connection *conn, OVERLAPPED *ov, DWORD bytes, bool ok);
void ReleaseSmtpDialogue(_Connection *conn);

// Transaction reset: forgets the envelope and the data, and deletes a
// message file whose name is still held.
void ResetTransaction(_SmtpDialogue &dlg);

// Starts reading message data (state 2), from pending bytes first.
void StartDataRead(_Connection *conn);

// Sets the reply and the state that follows its send (state 1 unless
// given), then sends it. The record must not be touched afterwards: the
// send may complete on another worker at once.
void SendReply(_Connection *conn, std::string reply, int nextState = kStateReplyPending);

// Path parsing of MAIL and RCPT: true with the address, or false with the
// offending text. Exposed for tests.
bool ParsePath(const char *line, size_t maxChars, std::string &address, std::string &offending);
