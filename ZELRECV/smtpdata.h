// smtpdata: the DATA stream of an SMTP transaction in the form it is stored:
// line ends, the end marker, and the split of header from body.
//
// Policy, to close SMTP smuggling and to keep stored files in the one form
// the POP3 server and the SMTP client expect:
//   - DATA ends only at CR LF "." CR LF: a "." line ends it only when it and
//     the line before it both end in CR LF (the data starts as if behind a
//     CR LF, so a first line of "." ends an empty message). The end marker's
//     "." line is stored as the file's last line.
//   - A bare LF ends a line and is stored as CR LF; a bare CR is text.
//   - A "." line that does not end the data (one ended by a bare LF, or one
//     behind a line ended by a bare LF) is text: it is stored with a
//     transparency dot, so it reads back as "." and a lone "." line never
//     appears inside a stored message.
//   - The header is held (at most kMaxHeaderBytes) until its blank line, so
//     that the lines the receiver adds come first; without a blank line the
//     whole data counts as header. NUL bytes are left out of the header.
//   - The buffers and the held header come out of the process's memory
//     budget (common/membudget): a message whose header finds no room is
//     refused with kNoMemoryReply, like one that is too large.
//
// Callers: the dialogue (smtpdlg) feeds each read of message data through
// TakeDataBytes and writes what it leaves in the output buffer; the fuzz
// target drives the same code without sockets or files. The bytes are the
// peer's and untrusted: every buffer here is bounded and every read is cut
// to fit. A record belongs to one connection; no shared state.
#pragma once

#include <cstddef>
#include <memory>
#include <string>

#include "common/membudget.h"

struct _SmtpDialogue;

// One read of message data, and the buffer its stored form collects in
// until it is written: a few tens of KiB per connection, whatever the size
// of the message.
constexpr size_t kDataReadSize = 16 * 1024;
constexpr size_t kDataBufferSize = 48 * 1024;
constexpr size_t kDataBuffersBytes = kDataReadSize + kDataBufferSize;
// The stored form of n bytes is at most 2 n + kDataHeldBytes bytes (a bare
// LF grows by one byte, and a line start may hold ".\r" back until the next
// byte tells what it is).
constexpr size_t kDataHeldBytes = 4;
// The header is held in memory until its blank line; a longer one is
// refused (a header of a megabyte is not mail).
constexpr size_t kMaxHeaderBytes = 1024 * 1024;

// Where the line-end scan stands between two reads.
struct DataScanner {
  int State = 0;         // see smtpdata.cpp
  bool bPrevCrlf = true; // the line before ended in CR LF
};

// Scans in[0..n) into out (room for 2 n + kDataHeldBytes bytes) and returns
// the number of bytes written. *ended tells whether the end marker was
// seen; *consumed is then the bytes of in up to and including it (n
// otherwise). The end marker's ".\r\n" is written too.
size_t ScanData(DataScanner &s, const char *in, size_t n, char *out, size_t *consumed,
                bool *ended);

// One transaction's data: the output buffer, the held header, and what
// became of the message so far.
struct _SmtpData {
  DataScanner Scanner;
  std::unique_ptr<char[]> Buffer;   // kDataBufferSize: the stored form, not yet written
  size_t Used = 0;
  std::unique_ptr<char[]> ReadBuffer;   // kDataReadSize: where the socket reads go
  std::string Header;               // held until the blank line
  bool bHeaderDone = false;         // Header is final (NULs left out)
  bool bEnded = false;              // the end marker was seen
  unsigned long long Bytes = 0;     // received, for MaxMessageSize
  // A byte above 127 came in the data: the text is 8-bit, whatever MAIL's
  // BODY parameter said (the SMTP client then asks for 8BITMIME).
  bool bEightBit = false;
  // Once set, the message is refused with this reply: the rest of the data
  // is read to its end and nothing more is stored.
  const char *Refusal = nullptr;
  MemoryHold Hold;                  // the buffers and the header's capacity
};

// Allocates the buffers of a new transaction's data; false when the memory
// budget has no room for them or memory runs out.
bool BeginData(_SmtpData &data);
// Frees them and forgets the data.
void EndData(_SmtpData &data);

// How many bytes the next read may bring so that their stored form fits
// the output buffer (0: write the buffer first).
size_t DataReadRoom(const _SmtpData &data);

// Takes n bytes just read (n <= DataReadRoom): counts them against
// maxMessageSize (0: no limit), scans them, and holds the header or
// appends to the output buffer; notes an 8-bit byte among the data's
// bytes (bEightBit). Returns true when the end marker was seen;
// *consumed is how many of the bytes belonged to the data (the rest is the
// next command's). Sets Refusal when the message grew too large or its
// header did.
bool TakeDataBytes(_SmtpData &data, const char *in, size_t n, unsigned long long maxMessageSize,
                   size_t *consumed);

// Stops storing: the message is refused with reply (the first refusal
// stays); the output and the header are dropped.
void RefuseData(_SmtpData &data, const char *reply);
// The header has been written: its memory goes back to the budget.
void DropHeldHeader(_SmtpData &data);

extern const char *const kTooBigReply;
extern const char *const kHeaderTooBigReply;

