// managesieveparse: the grammar of ManageSieve (RFC 5804), the protocol
// mail programs use to store a user's Sieve scripts: the command reader
// that frames commands and their string arguments out of the bytes as they
// arrive, and the writers of strings and responses.
//
// A command is an atom (its name, upper-cased here), then arguments
// separated by spaces: quoted strings ("..." with \" and \\ escapes, at
// most kMaxManageSieveQuoted bytes, no CR or LF), literals ({n+} or {n} at the
// end of a line, then n bytes; no continuation is ever sent: the
// protocol's clients send literals without waiting) and numbers (decimal,
// at most 2^32 - 1); then CRLF. The reader can also take one bare string
// on a line (the client's SASL response to a challenge).
//
// Bounds: the text outside literals at most kMaxManageSieveLine bytes;
// the literals of one command together at most MaxLiteralBytes (the
// caller's: the largest script it stores, and room for two names); at most
// kMaxManageSieveArgs arguments. A command over a bound, or malformed, is
// refused whole once its last byte has arrived (a literal over the limit
// is read and dropped, so the next command is found where the client put
// it): kRefused with Refusal holding the response line. A line longer than
// kMaxManageSieveLine without its end cannot be framed at all: kFatal,
// and the caller closes after the BYE in Refusal.
//
// Called by the ManageSieve front and session (ZELIMAP/managesieve*) on the
// worker that holds the connection; by the fuzz target. One reader per
// connection; no locks, no state beyond the reader.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// A quoted string's limit (RFC 5804's grammar).
constexpr size_t kMaxManageSieveQuoted = 1024;
// A command line outside its literals: every command fits with room.
constexpr size_t kMaxManageSieveLine = 8 * 1024;
// The most arguments a command takes (RENAMESCRIPT and PUTSCRIPT: two).
constexpr size_t kMaxManageSieveArgs = 4;
// Digits of a literal's length or a number: 2^32 - 1 has ten.
constexpr size_t kMaxManageSieveDigits = 10;

struct ManageSieveArg {
  bool bNumber = false;
  uint64_t Number = 0;
  std::string Text;  // a string's bytes (a quoted string unescaped)
};

struct ManageSieveCommand {
  std::string Name;  // upper case; "" for a bare string
  std::vector<ManageSieveArg> Args;
};

enum class ManageSieveEvent { kNeedMore, kCommand, kRefused, kFatal };

struct ManageSieveReader {
  // The caller's: the literals of one command together.
  size_t MaxLiteralBytes = 64 * 1024 + 2 * kMaxManageSieveQuoted;
  // The next line is a bare string (a SASL response), not a command.
  bool bBareString = false;

  // ---- the reader's
  std::string Line;            // the current line, outside literals
  ManageSieveCommand Pending;  // arguments taken so far
  uint64_t LiteralLeft = 0;    // bytes of a literal still to come
  size_t LiteralBytes = 0;     // of this command so far
  bool bDropping = false;      // the command is refused: bytes are only counted
  std::string Refusal;         // the response line (with CRLF) of a refused command
};

struct ManageSieveStep {
  ManageSieveEvent Event = ManageSieveEvent::kNeedMore;
  size_t Used = 0;  // bytes of input taken
};

// Takes input until a command is whole (kCommand: cmd holds it), refused
// (kRefused / kFatal: reader.Refusal), or input is used up (kNeedMore).
ManageSieveStep ReadManageSieveCommand(ManageSieveReader &reader, std::string_view input,
                                       ManageSieveCommand &cmd);
// Forgets the command under way (the reader stays configured).
void ResetManageSieveReader(ManageSieveReader &reader);
// Overwrites what the reader holds (a SASL response).
void WipeManageSieveReader(ManageSieveReader &reader);

// ---- writers

// A string as a response carries it: quoted when it may be, else a
// literal ({n} CRLF bytes).
std::string ManageSieveString(std::string_view text);
// "OK", "NO" or "BYE", an optional response code ("QUOTA/MAXSIZE", or
// "TAG {..}" already formed), an optional text; with CRLF.
std::string ManageSieveResponse(std::string_view status, std::string_view code,
                                std::string_view text);
