// imapparsesearch: the arguments of SEARCH and UID SEARCH: ESEARCH's
// RETURN options (MIN, MAX, ALL, COUNT, and SAVE of SEARCHRES), CHARSET,
// and the search program as a tree: every key of RFC 9051 and RFC 3501
// (flags, keywords, dates of arrival and of the Date header, sizes, header
// and text keys, sequence and UID sets with "$", NOT, OR, parenthesised
// lists) and CONDSTORE's MODSEQ.
//
// Callers: the session's SEARCH handler, which walks the tree per message.
// Untrusted input: all of it. The tree is bounded: at most kMaxSearchNodes
// nodes, and at most kMaxSearchDepth keys from a top-level key down, so
// walking it recursively is safe. Pure functions; thread-safe.
//
// Policy: CHARSET is UTF-8 or US-ASCII; another is refused with "NO
// [BADCHARSET (UTF-8 US-ASCII)]" (RFC 9051 6.4.4). Every search string
// must be UTF-8 whatever the charset named (US-ASCII is a part of it; a
// rev1 client that sends UTF-8 without CHARSET is understood). The keys
// that name \Recent (NEW, OLD, RECENT, UNRECENT) exist in IMAP4rev1 only.
// FROM, TO, CC, BCC and SUBJECT are header keys on the field of that name.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "ZELIMAP/imapparseargs.h"

// Nodes and depth of one program: room for the long OR chains filters
// make, small enough to walk with recursion.
inline constexpr size_t kMaxSearchNodes = 2000;
inline constexpr int kMaxSearchDepth = 100;

enum class ImapSearchKey : uint8_t {
  kAll,
  kAnd,          // Children: all must match
  kOr,           // Children: two, either matches
  kNot,          // Children: one, must not match
  kSeqSet,       // Set: message sequence numbers
  kUidSet,       // Set: UIDs
  kFlag,         // Flag set (bSet) or clear (!bSet)
  kKeyword,      // Value set
  kUnkeyword,    // Value clear
  kNew,          // \Recent and not \Seen (rev1)
  kOld,          // not \Recent (rev1)
  kRecent,       // rev1
  kUnrecent,     // rev1
  kBefore,       // arrival day (INTERNALDATE, ignoring time and zone) < Days
  kOn,           // == Days
  kSince,        // >= Days
  kSentBefore,   // the Date header's day, same tests
  kSentOn,
  kSentSince,
  kLarger,       // RFC822.SIZE > Number
  kSmaller,      // RFC822.SIZE < Number
  kHeader,       // Field holds Value (an empty Value: the field exists)
  kBody,         // Value in the body
  kText,         // Value in the header or body
  kModSeq,       // MODSEQ >= Number
};

struct ImapSearchNode {
  ImapSearchKey Key = ImapSearchKey::kAll;
  unsigned Flag = 0;            // kFlag: one kFlag* bit
  bool bSet = true;
  int64_t Days = 0;             // date keys: days since 1970-01-01
  uint64_t Number = 0;          // kLarger, kSmaller, kModSeq
  std::string Field;            // kHeader: the field name as sent
  std::string Value;            // string keys (UTF-8), keywords
  ImapSeqSet Set;               // kSeqSet, kUidSet
  std::vector<uint32_t> Children;   // indexes into the program's nodes
};

struct ImapSearchProgram {
  std::vector<ImapSearchNode> Nodes;  // Nodes[0]: the root, an AND of the keys
  bool bReturn = false;         // RETURN given: answer with ESEARCH
  bool bMin = false, bMax = false, bAll = false, bCount = false, bSave = false;
  bool bModSeq = false;         // a MODSEQ key: the answer carries the highest
  bool bSavedUsed = false;      // "$" appears in the program
};

bool ParseSearch(std::string_view args, bool rev2, ImapSearchProgram &out, ImapError &error);
