// imapparseargs: the pieces of IMAP command arguments (RFC 9051 section 9,
// RFC 3501 section 9 and the extensions this server offers): a scanner
// over one command's argument bytes with a sticky error, strings (atom,
// quoted, literal, astring, nstring), numbers, mailbox names and LIST
// patterns, sequence sets, flags, dates and date-times.
//
// Callers: the command parsers (imapparsecmds, imapparsefetch,
// imapparsesearch) and the session's handlers. Untrusted input: every
// byte (a command's Args from the reader, literals inside in the form
// "{n}\r\n" and n bytes). Every result is bounded: a string by the
// arguments it came from, a set by kMaxSeqRanges, a flag list by
// kMaxFlagsInList. Pure functions over the caller's view; thread-safe.
//
// Failures: the first failure is kept in the scanner (later calls fail at
// once, so a parser checks once at its end); its text is the reply text
// after the status: "A1 BAD <Text>" (or NO, with a response code, where
// the protocol asks for one: BADCHARSET).
//
// Policy on names: a mailbox name is UTF-8 inside this system. A session
// in IMAP4rev2 (`rev2` below: it gave ENABLE IMAP4rev2) sends UTF-8
// (checked); a rev1 session sends 7-bit modified
// UTF-7 (RFC 3501 5.1.3), decoded here; an 8-bit byte or a malformed form
// there is refused. No name holds a control character. INBOX is
// case-insensitive, as the whole name and as the first level of a
// hierarchy: "inbox" and "Inbox/Sent" come out as "INBOX" and
// "INBOX/Sent". Quoted strings may hold 8-bit bytes in either revision
// (many rev1 clients send UTF-8 that way); atoms are ASCII only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "ZELIMAP/imapparse.h"

// A mailbox name in UTF-8, in bytes: far beyond any folder path the store
// makes (a component is at most 200 bytes on disk).
inline constexpr size_t kMaxMailboxName = 1024;
// Ranges in one sequence set: more than a 64 KiB command can carry in
// useful form; bounds the parsed set at 128 KiB.
inline constexpr size_t kMaxSeqRanges = 16 * 1024;
// Keywords in one flag list, and the length of a keyword: room for every
// client's labels while keeping a message's keyword list small.
inline constexpr size_t kMaxFlagsInList = 128;
inline constexpr size_t kMaxKeywordLength = 200;

// The hierarchy delimiter of every name.
inline constexpr char kImapDelimiter = '/';

// What went wrong, as the reply's status and text.
struct ImapError {
  const char *Status = "BAD";
  std::string Text;
};

struct ImapScanner {
  std::string_view Text;
  size_t At = 0;
  bool bFailed = false;
  ImapError Error;
};

// Records the first failure; always false.
bool ScanFail(ImapScanner &s, std::string_view text, const char *status = "BAD");
// Whether every byte was taken; fails ("Unexpected text after the
// arguments") otherwise.
bool ScanEnd(ImapScanner &s);
// Whether the next byte is c (nothing is taken).
bool ScanPeek(const ImapScanner &s, char c);
// Takes c, or fails with "Expected <what>".
bool ScanChar(ImapScanner &s, char c, std::string_view what);
// Takes c when it is next; false (no failure) otherwise.
bool ScanOptional(ImapScanner &s, char c);
// Takes the one SP before the argument named by what.
bool ScanSp(ImapScanner &s, std::string_view what);

// 1*ATOM-CHAR (and "]" with bAstringChars), as sent.
bool ScanAtom(ImapScanner &s, std::string_view &atom, std::string_view what,
              bool bAstringChars = false);
// An atom that must be one of a few words: the atom, upper-cased.
bool ScanWord(ImapScanner &s, std::string &word, std::string_view what);
// quoted / literal.
bool ScanString(ImapScanner &s, std::string &out, std::string_view what);
// atom (ASTRING-CHARs) / string.
bool ScanAstring(ImapScanner &s, std::string &out, std::string_view what);
// string / NIL.
bool ScanNString(ImapScanner &s, std::string &out, bool &bNil, std::string_view what);
// number (32 bits), nz-number, number64 (RFC 9051: below 2^63), and the
// nz form of number64 (mod-sequence-valzer and partial lengths).
bool ScanNumber(ImapScanner &s, uint32_t &n, std::string_view what);
bool ScanNzNumber(ImapScanner &s, uint32_t &n, std::string_view what);
bool ScanNumber64(ImapScanner &s, uint64_t &n, std::string_view what);
bool ScanNzNumber64(ImapScanner &s, uint64_t &n, std::string_view what);

// A mailbox name (above), in UTF-8.
bool ScanMailbox(ImapScanner &s, bool rev2, std::string &name);
// A LIST pattern (list-mailbox: atoms may hold "%", "*" and "]"), in
// UTF-8, the wildcards kept; an empty pattern is allowed.
bool ScanListPattern(ImapScanner &s, bool rev2, std::string &pattern);
// The name rules (above) for a name already read as a string: decodes,
// checks, normalises INBOX. False with the error text.
bool ImapMailboxFromWire(std::string_view wire, bool rev2, std::string &name, ImapError &error);

// Whether a LIST pattern matches a name: "*" matches anything, "%"
// anything but the delimiter; INBOX matches case-insensitively. Linear
// memory, time pattern x name (both bounded by kMaxMailboxName).
bool MatchListPattern(std::string_view pattern, std::string_view name);
// The pattern a reference and a LIST pattern make: the reference followed
// by the pattern (RFC 3501's "~/Mail/" and "%" make "~/Mail/%"); a pattern
// that starts with the delimiter stands alone.
std::string CombineListReference(std::string_view reference, std::string_view pattern);

// Sequence sets. kSeqStar is "*" in a range (the largest number in use);
// a range's ends may come in either order.
inline constexpr uint32_t kSeqStar = 0;
struct ImapRange {
  uint32_t First = 0;
  uint32_t Last = 0;
};
struct ImapSeqSet {
  std::vector<ImapRange> Ranges;
  bool bSaved = false;        // "$": the last saved search result (SEARCHRES)
};
// sequence-set, or "$" alone when bAllowSaved. At most kMaxSeqRanges.
bool ScanSeqSet(ImapScanner &s, ImapSeqSet &set, bool bAllowSaved, std::string_view what);
// Ranges in order, "*" made `largest`, each from low to high, sorted,
// overlapping and adjacent ones merged. A range left holding 0 (a "*" in
// an empty mailbox) keeps what is above 0; one that is only 0 goes.
std::vector<ImapRange> NormalizeSeqSet(const ImapSeqSet &set, uint32_t largest);
// Whether n is in normalised ranges.
bool RangesContain(const std::vector<ImapRange> &ranges, uint32_t n);

// System flags as the folder index keeps them.
inline constexpr unsigned kFlagSeen = 1;
inline constexpr unsigned kFlagAnswered = 2;
inline constexpr unsigned kFlagFlagged = 4;
inline constexpr unsigned kFlagDeleted = 8;
inline constexpr unsigned kFlagDraft = 16;
struct ImapFlags {
  unsigned System = 0;
  std::vector<std::string> Keywords;   // as sent, no two equal ignoring case
};
// One flag: a system flag (\Recent and \* refused: they cannot be set) or
// a keyword (an atom of at most kMaxKeywordLength).
bool ScanFlag(ImapScanner &s, ImapFlags &flags);
// "(" [flag *(SP flag)] ")".
bool ScanFlagList(ImapScanner &s, ImapFlags &flags);
// The system flag's name ("\Seen") for one bit; "" for none.
std::string_view SystemFlagName(unsigned bit);

// A day: date-day "-" date-month "-" date-year, quoted or not (SEARCH).
struct ImapDate {
  int Year = 1970, Month = 1, Day = 1;
};
bool ScanDate(ImapScanner &s, ImapDate &date);
// Days from 1970-01-01 (negative before), proleptic Gregorian, and back.
int64_t DaysSinceEpoch(const ImapDate &date);
ImapDate DateFromDays(int64_t days);
// The date-time of APPEND: "dd-Mon-yyyy hh:mm:ss +zzzz" in quotes; the
// instant in seconds since 1970-01-01 UTC, and the zone in minutes east
// (at most kMaxZoneMinutes either way).
inline constexpr int kMaxZoneMinutes = 23 * 60 + 59;
bool ScanDateTime(ImapScanner &s, int64_t &utcSeconds, int &zoneMinutes);
