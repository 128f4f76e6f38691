// mimeparse: the MIME structure of a message (RFC 2045, RFC 2046): every
// entity (the message, each body part, each message inside a
// message/rfc822 or message/global part) with the offsets of its header and
// body in the text and the fields IMAP's BODYSTRUCTURE reports.
//
// Callers: the folder store (size, ENVELOPE and BODYSTRUCTURE made once when
// a message is first seen), the IMAP server (BODY[section], BINARY, SEARCH
// through mimesection and mimesearch); later Sieve. The text is the message
// itself (not the dot-stuffed file: see mimestuff) and untrusted: bare LF
// lines, a missing blank line, a boundary that never comes, a close
// delimiter that is missing, 8-bit and NUL bytes all give a tree; parsing
// cannot fail.
//
// The rules where mail is broken:
// - a header runs to its first empty line (mimeheader); none: the whole
//   entity is header and its body is empty;
// - a Content-Type that is not "type/subtype" counts as absent: text/plain;
//   charset=us-ascii (message/rfc822 inside multipart/digest);
// - a delimiter line is "--" boundary, then "--" for the close delimiter,
//   then only spaces and tabs; the line break before it belongs to it; a
//   multipart whose close delimiter is missing ends at the end of its body;
// - a multipart without a boundary, or whose body holds no delimiter line, is
//   read as text/plain (its text stays readable as one part);
// - a message/rfc822 or message/global part is parsed as a message only in
//   an identity encoding (7bit, 8bit, binary); encoded, it is a leaf;
// - beyond kMaxMimeDepth levels or kMaxMimeParts entities, a composite part
//   is a leaf (opaque), and the last part a multipart may still have runs
//   to the end of that multipart.
//
// Bounds: a multipart's body is scanned once per level, so the work is at
// most kMaxMimeDepth times the text; header values are cut at
// kMaxFieldValue. The tree refers to the text by offsets and holds copies
// of the field values only; it does not keep the text. Pure; thread-safe.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/mimefield.h"

// Nesting deeper than any mail program writes; deeper parts are opaque.
constexpr uint32_t kMaxMimeDepth = 32;
// Entities of one message kept; the rest is read as opaque content.
constexpr uint32_t kMaxMimeParts = 10000;
// RFC 2046 allows 70 bytes; longer boundaries are still read up to this.
constexpr size_t kMaxBoundary = 256;

constexpr uint32_t kNoMimePart = UINT32_MAX;

enum class MimeKind : uint8_t {
  Leaf,        // content: text, an attachment, an opaque composite
  Multipart,   // body parts as children
  Message,     // an encapsulated message as its one child
};

struct MimePart {
  // Offsets into the text: the header fields, the blank line, the body.
  size_t HeaderStart = 0;
  size_t HeaderEnd = 0;        // where the blank line starts (BodyStart when there is none)
  size_t BodyStart = 0;
  size_t BodyEnd = 0;
  // Lines of the body (MimeCountLines), counted for text/* and message/*.
  size_t Lines = 0;

  std::string Type = "text", Subtype = "plain";   // lower case
  std::vector<MimeParam> Params;
  std::string Encoding;                           // lower-case token; "" when absent
  std::optional<std::string> Id, Description, Md5, Location;
  std::optional<std::string> Disposition;         // lower-case type
  std::vector<MimeParam> DispositionParams;
  std::vector<std::string> Languages;

  MimeKind Kind = MimeKind::Leaf;
  uint32_t Parent = kNoMimePart;
  uint32_t FirstChild = kNoMimePart;
  uint32_t NextSibling = kNoMimePart;
  uint32_t Depth = 0;
  // The part's type was composite but the limits made it a leaf.
  bool bOpaque = false;

  bool IsType(std::string_view type, std::string_view subtype = {}) const;
  size_t BodySize() const { return BodyEnd - BodyStart; }
};

struct MimeTree {
  // Entity 0 is the message; children follow their parents.
  std::vector<MimePart> Parts;
  bool bLimited = false;   // a limit made a composite part opaque
};

// The structure of a message text.
void MimeParseMessage(std::string_view text, MimeTree *tree);

// The children of an entity in order.
std::vector<uint32_t> MimeChildren(const MimeTree &tree, uint32_t part);

// Body lines as IMAP counts them: line ends, and a last line without one.
size_t MimeCountLines(std::string_view body);
