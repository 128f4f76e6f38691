// msgtext: the routines of every message the delivery agent generates
// (failure reports, automatic replies, forwards, list copies, notices and
// journals): reading header fields of a message, copying a message into
// another, body text with transparency dots, header-safe text, addresses
// formed for a header, and GeneratedMessage, which writes a message file and
// its recipient file into `incoming` all or nothing, durable before the
// recipient file appears.
//
// Callers: ndreport, autoreply, maillist and listcmds.
//
// Untrusted input: the message files read come from the network; every line
// and header field is read with a bound (kMaxHeaderField, kMaxCopyLine) and
// the rest skipped. Text bound for a header is refused when it holds control
// characters (IsSafeHeaderText); body text is dot-stuffed (WriteBodyText).
//
// Threads: no state; a GeneratedMessage belongs to its creator. Queue takes
// the lock of `incoming` around the recipient file when asked to.
//
// Failures: readers return false when a file cannot be opened or read;
// GeneratedMessage leaves nothing behind until Queue() succeeded.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/smtputil.h"
#include "platform/textfile.h"

// An address formed for a header (user's address, postmaster address).
constexpr size_t kMaxHeaderAddress = 512;
// A header field of any length used to be read whole; a field longer than
// this (64 KiB, far beyond any real address list or subject) is cut and
// the rest of it skipped.
constexpr size_t kMaxHeaderField = 64 * 1024;
// Lines copied from a message file into another message.
constexpr size_t kMaxCopyLine = 1023;
// AppendMessageToFile's body limit that means "no limit".
constexpr long kNoBodyLimit = -1;

// True when an "@" follows the local part of name (white space before it
// skipped): the address names its domain.
bool HasDomainPart(const char *name);
// name + "@" + the local host name when name has no "@" after its local
// part; at most kMaxHeaderAddress characters.
std::string QualifiedAddress(std::string_view name);

// Reads the header of a message file: the values of the wanted fields (a
// null pointer: not wanted), each without the field name, the blanks after
// the colon and the final line end; continuation lines keep their line
// ends. A field that occurs more than once: the last one counts. Absent:
// the optional stays empty. False when the file cannot be opened or read.
bool ObtainMessageHeaders(const std::string &path, std::optional<std::string> *From,
                          std::optional<std::string> *To, std::optional<std::string> *Cc,
                          std::optional<std::string> *ReplyTo, std::optional<std::string> *Subject,
                          std::optional<std::string> *Sender);

// The header fields that automatic replies and lists look at, read by
// ReadMessageHeaders the way ObtainMessageHeaders reads its six.
struct MessageHeaders {
  std::optional<std::string> From, To, Cc, ReplyTo, Subject, Sender;
  std::optional<std::string> AutoSubmitted, Precedence, ListId;
};
bool ReadMessageHeaders(const std::string &path, MessageHeaders &h);

// Copies a message file into stream (a message being written): the header
// whole, the body up to bodyLimit bytes (kNoBodyLimit: all), then the
// truncation line; the "." end line is not copied. A missing file gives
// "Original message not available.\n". False on a write error.
bool AppendMessageFileToFile(const std::string &path, long bodyLimit, TextFile &stream);
// The same for the held message of info.
bool AppendMessageToFile(const _tMsgInfo &info, long bodyLimit, TextFile &stream);

// One line of a text file without its "\n"; at most maxChars characters of
// it are kept and the rest of the line is skipped. False at the end of the
// file or on a read error.
bool ReadBoundedLine(TextFile &f, std::string &line, size_t maxChars);

// Text from the network placed into a header line of a generated message
// must be what LogSafeText would make of it: printable ASCII only. A
// control character (CR and LF above all) would start a header line of its
// own and an 8-bit byte cannot stand in a header unencoded, so such text is
// refused (not escaped: the same text is a recipient of the message too,
// and must not change). The length bound is the caller's.
bool IsSafeHeaderText(std::string_view text);

// Writes text into the body of a message being written, unchanged but for
// the extra "." of SMTP transparency in front of every line that begins
// with "." (a reason from a remote server must not end the message early).
bool WriteBodyText(TextFile &stream, std::string_view text);

// A message that the delivery agent writes into `incoming`. Create() makes
// the message file (CreateMessageFile) and its identifier (the file's base
// name + "@" + host); the caller writes the text into Stream(), ending with
// "\n.\n"; Queue() makes the text durable, then writes the recipient file
// (CreateRecipientFile), so the pair appears whole or not at all. Until
// Queue() succeeds the destructor deletes the message file. One owner.
class GeneratedMessage {
 public:
  GeneratedMessage() = default;
  ~GeneratedMessage();
  GeneratedMessage(const GeneratedMessage &) = delete;
  GeneratedMessage &operator=(const GeneratedMessage &) = delete;

  bool Create(std::string_view hostName);
  TextFile &Stream() { return stream_; }
  const std::string &MessageId() const { return messageId_; }
  const std::string &FileName() const { return fileName_; }
  // returnPath may be empty; recipients in the order of the file. The mail
  // filters (genfilter) work on the message first; only then, when
  // lockIncomingMs is not 0, is the lock of `incoming` taken (waiting at
  // most that long; false when it is not had) for the recipient file: a
  // filter never works while the receiver waits for the lock.
  bool Queue(std::string_view returnPath, const std::vector<std::string> &recipients,
             int lockIncomingMs = 0);
  // Deletes the message file now (a loop found half-way, say).
  void Discard();

 private:
  TextFile stream_;
  std::string fileName_;
  std::string messageId_;
  bool queued_ = false;
};
