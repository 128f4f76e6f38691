// milterresult: what the mail filters (milters) decided about a stage of an
// SMTP transaction and what they asked to change in the message, and the one
// function that writes a message file's text with those changes.
//
// Callers: the filter client (common/milter) fills a MilterResult for every
// stage it runs; the receiver and the delivery agent act on it: the
// decision and its reply for the SMTP answer, the envelope changes for the
// recipient file, ApplyMilterEdits for the message file (written under a
// new name before the recipient file is committed, so the 250 still means
// the final text is durable), the quarantine reason, and MilterLogText for
// the activity log.
//
// The message file text is the spool's SMTP form: CR LF lines, dot-stuffed,
// ended by the "." line. SplitMessageText reads its header block the same way
// for the filters and for the edits, so the positions a filter names (the
// Nth "Received", insert at 0) are positions in the list it was sent.
//
// Untrusted input: the edits (names, values and bodies come from a filter,
// already bounded by the reply reader) and the message text (from an SMTP
// client). A header value is written only in a form that cannot start a
// header of its own or end the header block (FormatMilterHeaderField); a
// value that cannot be written so makes ApplyMilterEdits fail, and the
// caller treats the message like a filter failure.
//
// Pure values and functions; thread-safe.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

// A header line longer than this breaks the SMTP line limit (RFC 5322 2.1.1).
constexpr size_t kMaxMilterHeaderLine = 998;
// The header block SplitMessageText reads: twice the receiver's own bound,
// room for the lines the receiver and the filters add.
constexpr size_t kMaxMilterHeaderBlock = 2 * 1024 * 1024;

// ---- what a stage decided

enum class MilterDecision {
  Continue,   // go on as without filters
  Reject,     // 5xx: the command (recipient, message) is refused
  TempFail,   // 4xx: the same, to be tried again later
  Discard,    // the message is answered 250 and dropped
  Shutdown,   // 421: the connection is to be closed
};

const char *MilterDecisionName(MilterDecision decision);

// ---- what the end of a message changed

enum class MilterHeaderOp {
  Add,      // at the end of the header block
  Insert,   // before the Index-th field (0: first; past the end: at the end)
  Change,   // the Index-th field named Name (1: first; 0 counts as 1); an
            // empty Value deletes it; past the last one it is added
};

struct MilterHeaderEdit {
  MilterHeaderOp Op = MilterHeaderOp::Add;
  uint32_t Index = 0;
  std::string Name;
  std::string Value;           // as the filter sent it (folds as "\n" + space)
  bool bLeadingSpace = false;  // Value brings its own space after the colon
};

// One filter's changes to the text, in the order it sent them.
struct MilterEdits {
  std::vector<MilterHeaderEdit> Headers;
  bool bReplaceBody = false;
  std::string Body;            // line ends are made CR LF when written
  bool Empty() const { return Headers.empty() && !bReplaceBody; }
};

struct MilterRecipientChange {
  std::string Address;         // as the filter sent it ("<a@b>" usually)
  std::string Parameters;      // ESMTP parameters, "" when none
};

struct MilterResult {
  MilterDecision Decision = MilterDecision::Continue;
  // Reject, TempFail, Shutdown: the whole SMTP reply, each line CR LF ended.
  std::string Reply;
  std::string Filter;          // the Milters entry that decided; "" when none
  bool bFilterFailed = false;  // Decision is MilterDefaultAction after a failure
  std::string FailureText;     // why, log-safe ("" without a failure)

  // ---- the end of the message (empty after every other stage)
  std::vector<MilterEdits> TextEdits;   // per filter that changed the text, in filter order
  bool bChangeSender = false;
  std::string Sender;                   // the new envelope sender (as sent: "<a@b>")
  std::string SenderParameters;
  std::vector<MilterRecipientChange> AddedRecipients;
  std::vector<std::string> DeletedRecipients;   // as sent: they match RCPT's "<a@b>"
  bool bQuarantine = false;
  std::string QuarantineReason;         // the filter's text, unfiltered
  std::vector<std::string> Changers;    // the filters that changed anything, for the log

  bool ChangesText() const { return !TextEdits.empty(); }
  bool ChangesEnvelope() const {
    return bChangeSender || !AddedRecipients.empty() || !DeletedRecipients.empty();
  }
};

// One line for the activity log: the decision, who made it, its reply or
// failure, and what was changed ("" for a plain Continue without changes).
// Filter texts are passed through LogSafeText.
std::string MilterLogText(const MilterResult &result);

// "<a@b>" -> "a@b": the address of a filter's envelope argument, the angle
// brackets and surrounding spaces dropped.
std::string MilterAddressOf(std::string_view text);

// ---- the message text

// A message text that need not be in memory: Memory, then FileLength
// bytes of the file Fd from FileOffset (no file when Fd is -1). The
// receiver's message file is read this way, a piece at a time, whatever
// its size; generated mail is all in Memory. Memory and the file stay the
// caller's.
struct MessageSource {
  std::string_view Memory;
  int Fd = -1;
  uint64_t FileOffset = 0;
  uint64_t FileLength = 0;
  uint64_t Size() const { return Memory.size() + (Fd >= 0 ? FileLength : 0); }
  // Appends length bytes from offset (within Size()) to *out; false (the
  // last error set) when the file cannot be read or ends early.
  bool Read(uint64_t offset, size_t length, std::string *out) const;
};

struct MessageTextField {
  std::string_view Name;       // the field name, as written
  std::string_view Raw;        // all its lines as stored (stuffed), CR LF included
};

struct MessageTextLayout {
  std::vector<MessageTextField> Fields;
  size_t HeaderEnd = 0;        // offset behind the last field
  bool bSeparator = false;     // an empty line follows the fields
  size_t BodyStart = 0;        // offset of the body's first line (stuffed)
  size_t BodyEnd = 0;          // offset of the final "." line
};

// Splits the text into its header fields and body. The fields are the lines
// from the start that are "name:" lines or their continuations; the body
// starts behind the empty line that ends them, or at the first line that is
// neither. False (with *error) when the text does not end with the "." line
// or its header block exceeds kMaxMilterHeaderBlock.
bool SplitMessageText(std::string_view text, MessageTextLayout *layout, std::string *error);
// The same for a source: its beginning is read into *head (up to the
// blank line that ends the header, or a little past kMaxMilterHeaderBlock,
// or the whole text), the fields point into *head, and the offsets count
// in the whole text.
bool SplitMessageSource(const MessageSource &source, std::string *head, MessageTextLayout *layout,
                        std::string *error);

// The body of a source, from one offset to another (whole stored lines),
// un-stuffed, in pieces: Next fills *piece (cleared first) with up to max
// bytes and is false at the end; Failed then tells a read failure from
// the end.
class MessageBodyReader {
 public:
  MessageBodyReader(const MessageSource &source, uint64_t from, uint64_t to)
      : source_(source), at_(from), to_(to) {}
  bool Next(size_t max, std::string *piece);
  bool Failed() const { return failed_; }

 private:
  const MessageSource &source_;
  uint64_t at_, to_;
  std::string raw_;          // stored bytes read and not yet un-stuffed
  size_t used_ = 0;
  bool lineStart_ = true;    // the next stored byte begins a line
  bool prevCr_ = false;
  bool failed_ = false;
};

// The value of a field for a filter: everything behind the colon, the folds
// as "\n", the leading spaces dropped unless keepLeadingSpace.
std::string MilterFieldValue(const MessageTextField &field, bool keepLeadingSpace);

// Appends the un-stuffed body bytes of text[from, to) (whole lines of the
// body) to out.
void AppendUnstuffedBody(std::string_view text, size_t from, size_t to, std::string *out);

// Writes "Name: value" in the file's form into *line: each line break of
// value (CR LF or LF) becomes a fold; a continuation that does not begin
// with a space or tab gets a tab in front (so it cannot start a field of
// its own); blank continuations are dropped (so none can end the block). A
// leading "." is stuffed. False for a name that is not a field name, a lone
// CR or NUL in the value, or a line longer than kMaxMilterHeaderLine.
bool FormatMilterHeaderField(std::string_view name, std::string_view value, bool leadingSpace,
                             std::string *line);

// Is name a header field name (printable ASCII but ':', 1 to 998 bytes)?
bool IsHeaderFieldName(std::string_view name);

// Writes the text with every filter's edits applied in filter order (each
// filter's positions count the fields as the earlier filters left them; the
// last body replacement wins) through write, in pieces. A replaced body has
// its line ends made CR LF and its lines stuffed, and the text ends with
// the "." line as before. False with *error when the text cannot be split,
// an edit cannot be written safely, or write fails.
using MilterTextSink = std::function<bool(std::string_view piece)>;
bool ApplyMilterEdits(std::string_view text, const std::vector<MilterEdits> &edits,
                      const MilterTextSink &write, std::string *error);
// The same into a string.
bool ApplyMilterEdits(std::string_view text, const std::vector<MilterEdits> &edits,
                      std::string *out, std::string *error);
// The same from a source: the part of the text no edit touches (the body,
// unless replaced) is copied through write a piece at a time.
bool ApplyMilterEdits(const MessageSource &source, const std::vector<MilterEdits> &edits,
                      const MilterTextSink &write, std::string *error);
// The text with the edits as a new source, for the next filter of a
// chain: the changed header (and a replaced body) in *memory, the rest
// where it was. *out points into *memory and source's file.
bool EditMessageSource(const MessageSource &source, const std::vector<MilterEdits> &edits,
                       std::string *memory, MessageSource *out, std::string *error);
