// mimesection: the bytes FETCH returns for BODY[section] and BINARY[section]
// (RFC 9051 6.4.5, RFC 3516): section numbers resolved in the MIME tree,
// HEADER, TEXT, MIME and HEADER.FIELDS (.NOT) texts, and the decoded content
// of a part.
//
// Numbering: the parts of a multipart are 1, 2, ...; a message that is not
// multipart has one part, 1, its body; the parts of a message/rfc822 part
// are those of the message inside it ("3.1" is the first part of the
// message in part 3). HEADER and TEXT after a number name the header and
// body of the message in a message/rfc822 part; after any other part,
// that part's own header and body (a request the protocol does not define,
// answered with what it most plausibly means). MIME names a part's own
// header and needs a number.
//
// Callers: the IMAP server's FETCH; it parses the section from the command
// and applies <partial> to the bytes returned here. The text and tree are
// untrusted; a section that names no part is reported (false / NoPart) and
// never yields bytes outside the text. Results are ranges of the text when
// they can be (no copy), built strings otherwise (HEADER.FIELDS, BINARY).
// Pure functions; thread-safe.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "common/mimeparse.h"

enum class MimeSectionText {
  Full,              // BODY[] or BODY[1.2]: all of it
  Header,
  HeaderFields,
  HeaderFieldsNot,
  Text,
  Mime,
};

struct MimeSection {
  std::vector<uint32_t> Part;          // "1.2" is {1, 2}; empty: the message
  MimeSectionText What = MimeSectionText::Full;
  std::vector<std::string> Fields;     // HEADER.FIELDS (.NOT): the names, any case
};

struct MimeSectionBytes {
  size_t Start = 0, End = 0;           // a range of the text, when not bBuilt
  bool bBuilt = false;
  std::string Built;
  std::string_view View(std::string_view text) const {
    return bBuilt ? std::string_view(Built) : text.substr(Start, End - Start);
  }
};

// The bytes of a section; false when it names no part (or MIME without a
// part number).
bool MimeSectionContent(std::string_view text, const MimeTree &tree, const MimeSection &section,
                        MimeSectionBytes *bytes);

enum class MimeBinaryStatus { Ok, NoPart, UnknownEncoding };

// BINARY[part]: the part's body with its transfer encoding undone; text/*
// content with every line ending CR LF (as IMAP sends text). An empty part
// number is the whole message as it is.
MimeBinaryStatus MimeBinaryContent(std::string_view text, const MimeTree &tree,
                                   const std::vector<uint32_t> &part, std::string *out);
