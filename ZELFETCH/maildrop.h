// maildrop: what the POP3 commands do with a mailbox: PASS and AUTH's
// logon (handed to the logon pool, which starts the user's session
// process: pop3session), STAT, LIST, UIDL, RETR, TOP, DELE, LAST, RSET and
// QUIT. A message goes out with its reply line and end line as one
// operation: read whole and written when it is small, by sendfile
// (corked) when it is large. Listings are sent from memory: no file is
// made in the user's directory.
//
// Called by pop3dlg's command table with the connection after the argument
// check; each handler leaves its reply and next state in the dialogue
// record and sends it or starts a transmission (after which the record
// belongs to the completion: the handler touches nothing more). The logon
// commands run in the front (the service account); the transaction's
// commands in the session process, which runs as the mail user, so every
// file of the mailbox is opened and deleted with the user's own rights.
//
// The maildrop is a snapshot taken at logon: the message files
// (name ending "." + MessageExtension) of the mailbox directory in name
// order, so message numbers follow arrival. The mailbox directory is held
// open from logon to close, and its files are opened, listed and deleted
// relative to it. Names come from that scan, not
// from the client; a name that cannot serve as a unique id (anything but
// printable ASCII without blanks) is left out, as are links and other
// non-regular files. Message numbers and line counts from the client are
// parsed bounded (ParseMessageNumber). Files are deleted only at QUIT.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "ZELFETCH/pop3dlg.h"

// A mailbox with more message files than this is served in parts, the
// oldest first: the rest is seen at a later logon. An entry takes about
// 50 bytes, so a connection holds at most about 10 MB of maildrop.
constexpr size_t kMaxMaildropMessages = 200000;
// A message up to this size is read into memory and sent in one write with
// its reply line and end line; a larger one goes by sendfile. A connection
// holds at most this much (while the write is under way).
constexpr uint64_t kInMemoryMessageBytes = 64 * 1024;
// A number argument is read over at most this many characters.
constexpr size_t kMaxNumberText = kMaxCommandLine;

// Starts the logon pool that checks PASS (before the engine accepts).
bool StartFetchLogonPool(const LogonPoolSettings &settings);
// The scan of the open mailbox (dlg.MailboxFd): message files in name
// order, at most kMaxMaildropMessages of them (the oldest). False with the
// last error when the directory cannot be read.
bool ReadMaildrop(_Pop3Dialogue &dlg);

// The command handlers. PASS (and pop3ext's AUTH) hands the logon (and the
// start of the session after it) to the logon pool; LogonFinished hands
// the connection to the session, or answers, when the pool's completion
// arrives.
void CmdPass(_Connection *conn);
// Hands a logon under name (dlg.UserName is the name its replies show and
// whose mailbox it opens) to the pool; wipes password. PASS and AUTH.
void SubmitLogon(_Connection *conn, const std::string &name, std::string &password,
                 bool master = false);
void LogonFinished(_Connection *conn);
void CmdQuit(_Connection *conn);
void CmdStat(_Connection *conn);
void CmdList(_Connection *conn);
void CmdUidl(_Connection *conn);
void CmdRetr(_Connection *conn);
void CmdTop(_Connection *conn);
void CmdDele(_Connection *conn);
void CmdLast(_Connection *conn);
void CmdRset(_Connection *conn);

// A message number or line count: optional white space and sign, then
// decimal digits up to the first other character; no digits give 0. Values
// beyond the 32-bit range are clamped to it.
int ParseMessageNumber(std::string_view text, size_t maxLength);

// How a transmitted range ends. The range follows a reply line, so it
// starts at a line start: a range that already ends with the end line
// "\n.\r\n" needs no terminator; one ending "\n.\n" loses its last two
// bytes for ".\r\n"; one ending without a line end gets "\r\n.\r\n"; any
// other gets ".\r\n". lastBytes: the last min(5, count) bytes of the range.
struct _TransmitEnd {
  uint64_t Count = 0;             // the bytes of the range to send
  const char *Terminator = "";    // the tail ("" for none)
};
_TransmitEnd ChooseTerminator(std::string_view lastBytes, uint64_t count);

// The bytes TOP sends of a message: the header up to and including the
// first empty line ("\r\n\r\n", else "\n\n"), then lines more lines up to
// and including their "\n"; the whole text when it has no empty line or
// ends first.
uint64_t TopByteCount(std::string_view text, long long lines);

// The lines of the LIST and UIDL listings.
std::string ListLine(int number, uint64_t size);
std::string UidlLine(int number, const std::string &fileName);

// Whether a file name may serve as a message's unique id.
bool IsServableName(std::string_view name);
