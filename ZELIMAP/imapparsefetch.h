// imapparsefetch: the arguments of FETCH and UID FETCH: the sequence set,
// the attributes (the macros ALL, FAST and FULL; FLAGS, UID, INTERNALDATE,
// RFC822.SIZE, RFC822, RFC822.HEADER, RFC822.TEXT, ENVELOPE,
// BODYSTRUCTURE, BODY, BODY[section]<partial>, BODY.PEEK, BINARY[part]
// <partial>, BINARY.PEEK, BINARY.SIZE, MODSEQ) and the CONDSTORE/QRESYNC
// modifiers CHANGEDSINCE and VANISHED.
//
// Callers: the session's FETCH handler; the response writer names the
// items it answers with from the parsed form (WriteFetchItemName in
// imapwrite). Untrusted input: all of it; the result is bounded by
// kMaxFetchAtts attributes, kMaxSectionDepth part numbers and
// kMaxHeaderFields field names. Pure functions; thread-safe.
//
// Policy: a macro stands alone (never inside a list). UID FETCH always
// answers UID, and CHANGEDSINCE always answers MODSEQ (RFC 7162 3.1.4):
// the parser adds the item when the client left it out. VANISHED is taken
// only in UID FETCH and only with CHANGEDSINCE (RFC 7162 3.2.6); whether
// QRESYNC is enabled is the handler's test. A header field name is an
// RFC 5322 field name (printable ASCII but ":"), kept as sent.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "ZELIMAP/imapparseargs.h"

// Attributes in one FETCH: every item twice over.
inline constexpr size_t kMaxFetchAtts = 64;
// Part numbers in one section: deeper than any MIME tree the server
// parses.
inline constexpr size_t kMaxSectionDepth = 64;
// Field names in one HEADER.FIELDS list: the longest lists clients send
// (a dozen or two) several times over.
inline constexpr size_t kMaxHeaderFields = 128;

enum class ImapFetchItem : uint8_t {
  kFlags,
  kUid,
  kInternalDate,
  kRfc822Size,
  kRfc822,          // the message, sets \Seen
  kRfc822Header,
  kRfc822Text,      // sets \Seen
  kEnvelope,
  kBodyStructure,
  kBody,            // BODY without a section: the structure, no extensions
  kBodySection,     // BODY[section]<partial>, BODY.PEEK[...]
  kBinary,          // BINARY[part]<partial>, BINARY.PEEK[...]
  kBinarySize,      // BINARY.SIZE[part]
  kModSeq,
};

enum class ImapSectionText : uint8_t {
  kNone,            // the whole message or part
  kHeader,
  kHeaderFields,
  kHeaderFieldsNot,
  kText,
  kMime,            // only after a part number
};

struct ImapSection {
  std::vector<uint32_t> Part;         // "1.2.3"; empty: the message
  ImapSectionText Text = ImapSectionText::kNone;
  std::vector<std::string> Fields;    // HEADER.FIELDS (.NOT)
};

struct ImapFetchAtt {
  ImapFetchItem Item = ImapFetchItem::kFlags;
  bool bPeek = false;                 // .PEEK: \Seen is not set
  ImapSection Section;                // kBodySection, kBinary, kBinarySize
  bool bPartial = false;              // <origin.length>
  uint64_t Origin = 0;
  uint64_t Length = 0;
};

struct ImapFetchArgs {
  ImapSeqSet Set;
  std::vector<ImapFetchAtt> Atts;     // in the client's order
  bool bChangedSince = false;
  uint64_t ChangedSince = 0;
  bool bVanished = false;
};

bool ParseFetch(std::string_view args, bool uid, ImapFetchArgs &out, ImapError &error);

// Whether fetching the attribute sets \Seen (RFC822, RFC822.TEXT,
// BODY[...] and BINARY[...] without .PEEK).
bool FetchSetsSeen(const ImapFetchAtt &att);
