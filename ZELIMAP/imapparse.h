// imapparse: the IMAP command reader. Bytes go in as they arrive from a
// connection, in pieces of any size; whole commands come out (tag, command
// name, the argument bytes with their literals inside), or a refusal with
// the reply to send. The arguments themselves are parsed by
// imapparseargs, imapparsefetch and imapparsesearch.
//
// Caller: the IMAP session, one reader per connection, touched by one
// thread at a time. The caller keeps its input and calls ImapRead until
// the input is used up; each call takes some of it and reports one event:
//
//   kNeedMore        all given bytes were taken; read more from the peer.
//   kCommand         a whole command: Command. Its views point into the
//                    reader and stay valid until the next call.
//   kContinue        a synchronising literal was accepted: send
//                    kImapContinueReply before reading on.
//   kAppendMessage   APPEND's message literal is announced: Command holds
//                    the command so far (Args: mailbox, flags, date) and
//                    MessageSize. The caller may refuse it now with
//                    ImapRefuseMessage (say, no such mailbox); otherwise
//                    the message comes as kMessageBytes pieces, and the
//                    command ends with kCommand or kReject.
//   kMessageBytes    a piece of the message: Data, a view into the input.
//                    The message is never held whole here.
//   kReject          the command is refused: send Reply (one tagged or
//                    untagged line). Nothing of the command remains. When
//                    bCloseAfterReply is set the input can no longer be
//                    framed (a literal size that is not a number): close
//                    the connection after the reply; the reader takes and
//                    drops every later byte.
//   kRawLine         in raw mode (ImapExpectRawLine, for IDLE's DONE and
//                    AUTHENTICATE's responses): RawLine, without its line
//                    end, cut to kMaxRawLine (bRawLineCut then set).
//
// Policy on what a client may send (every limit below is per command):
// - the command's text, its literals' bytes aside, is at most
//   kMaxCommandText bytes; a longer one is refused ("BAD Command line too
//   long", tagged when the tag came before the cut) and the rest of it is
//   skipped to its end, literals included: the lengths it announces are
//   still counted, and a byte that was part of a literal is never taken
//   for a command;
// - the literals of a command other than APPEND's message hold at most
//   kMaxCommandLiterals bytes together; APPEND's message at most
//   AppendLimit. A synchronising literal over its limit is refused instead
//   of continued (the client then sends none of it); a non-synchronising
//   one is read and thrown away, and the refusal follows the command's end;
// - with bLiteralMinus (LITERAL- instead of LITERAL+) a non-synchronising
//   literal over kLiteralMinusMax bytes is refused the same way
//   ("BAD [TOOBIG]");
// - a refused command that had announced a synchronising literal ends at
//   that announcement: the client waits for a continuation and is given
//   the refusal instead;
// - a line ends at LF (a CR before it is dropped); empty lines between
//   commands are ignored; the command name is upper-cased, the UID prefix
//   is taken off into bUid.
// Memory: at most kMaxCommandText + kMaxCommandLiterals bytes per reader;
// a buffer grown past kKeptBufferBytes is released after its command.
// No failure is silent: every refusal is a kReject with its reply.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

// A command's text without its literals: RFC 9051 asks servers to take
// lines of at least 8,000 bytes; long UID sets reach tens of KiB.
inline constexpr size_t kMaxCommandText = 64 * 1024;
// Literal bytes of one command (APPEND's message aside) held in memory:
// names, passwords, search strings.
inline constexpr uint64_t kMaxCommandLiterals = 64 * 1024;
// The largest non-synchronising literal under LITERAL- (RFC 7888).
inline constexpr uint64_t kLiteralMinusMax = 4096;
// APPEND's message by default (the APPENDLIMIT announced).
inline constexpr uint64_t kDefaultAppendLimit = 64ull * 1024 * 1024;
// A raw line (an AUTHENTICATE response, IDLE's DONE): a PLAIN message of
// the longest name and password in base64 fits with room to spare.
inline constexpr size_t kMaxRawLine = 8 * 1024;
// A reader's buffer bigger than this after a command is given back, so
// that thousands of idle connections cost little.
inline constexpr size_t kKeptBufferBytes = 4 * 1024;
// The literal size: RFC 9051's number64 (at most 19 digits).
inline constexpr size_t kMaxLiteralDigits = 19;

// The answer to a synchronising literal.
inline constexpr std::string_view kImapContinueReply = "+ Ready for literal data\r\n";

enum class ImapEvent {
  kNeedMore,
  kCommand,
  kContinue,
  kAppendMessage,
  kMessageBytes,
  kReject,
  kRawLine,
};

struct ImapStep {
  ImapEvent Event = ImapEvent::kNeedMore;
  size_t Used = 0;             // bytes of the input taken by this call
  std::string_view Data;       // kMessageBytes: the piece, inside the input
};

// A command as read. Views into the reader, valid until its next call.
struct ImapCommandView {
  std::string_view Tag;
  std::string_view Name;       // upper case; after "UID" when bUid
  bool bUid = false;
  bool bHasArgs = false;       // a SP followed the name
  // The bytes after the name's SP, the final line end taken off; each
  // literal in the canonical form "{n}\r\n" and its n bytes.
  std::string_view Args;
  // APPEND: where in Args the message literal stood (Args is the part
  // before it, then what followed it), npos when there was none.
  size_t MessageAt = std::string_view::npos;
  uint64_t MessageSize = 0;
  bool bMessageBinary = false; // sent as literal8 ("~{n}", RFC 3516)
};

struct ImapReader {
  // Settings, changed between commands.
  uint64_t AppendLimit = kDefaultAppendLimit;
  bool bLiteralMinus = false;

  // Results of the last call.
  ImapCommandView Command;
  std::string Reply;           // kReject, line end included
  bool bCloseAfterReply = false;
  std::string_view RawLine;
  bool bRawLineCut = false;

  // Internal state.
  int State = 0;
  std::string Buffer;          // the command so far
  size_t LineStart = 0;        // where the current line starts in Buffer
  size_t TextBytes = 0;        // text counted against kMaxCommandText
  uint64_t LiteralBytes = 0;   // kept literal bytes
  uint64_t Remaining = 0;      // bytes of the literal in progress
  bool bFirstLine = true;      // the tag and name are still to come
  bool bResetFirst = false;    // the last event ended a command
  bool bAppend = false;        // the command is APPEND
  bool bMessageTaken = false;  // APPEND's message literal came already
  bool bMessageSync = false;
  bool bMessageRefused = false;
  size_t MessageAt = std::string::npos;
  uint64_t MessageSize = 0;
  bool bMessageBinary = false;
  size_t TagLength = 0, NameStart = 0, NameLength = 0, ArgsStart = 0;
  bool bUid = false, bHasArgs = false;
  // Where APPEND's arguments were scanned to: depth, quoting, count.
  size_t ScanAt = 0;
  int ScanDepth = 0;
  bool bScanQuoted = false, bScanEscape = false, bScanInArg = false;
  int ScanArgs = 0;
  std::string SkipTail;        // the end of the line being skipped
  bool bSkipTailCut = false;   // SkipTail lost the line's beginning
  bool bFramingLost = false;   // after a close: nothing more is read
};

// Takes what it can of the input and reports one event (above).
ImapStep ImapRead(ImapReader &reader, std::string_view input);

// After kAppendMessage only: refuses the message with the given reply
// (one line, line end included). A synchronising literal is then not
// continued; a non-synchronising one is read and thrown away first.
void ImapRefuseMessage(ImapReader &reader, std::string reply);

// Between commands only: the next line is handed out as kRawLine, outside
// the command grammar.
void ImapExpectRawLine(ImapReader &reader);

// Whether the reader is between commands (no byte of a command taken).
bool ImapBetweenCommands(const ImapReader &reader);

// The grammar's character classes (RFC 9051 section 9), shared by the
// reader and the argument parsers.
// ATOM-CHAR: printable ASCII but atom-specials ( ) { SP % * " \ ].
inline bool IsAtomChar(char c) {
  return c > 0x20 && c < 0x7F && c != '(' && c != ')' && c != '{' && c != '%' && c != '*' &&
         c != '"' && c != '\\' && c != ']';
}
// ASTRING-CHAR: ATOM-CHAR or "]".
inline bool IsAstringChar(char c) { return IsAtomChar(c) || c == ']'; }
// A tag's character: ASTRING-CHAR but "+".
inline bool IsTagChar(char c) { return IsAstringChar(c) && c != '+'; }
