// mimefield: the structured MIME header fields: Content-Type and
// Content-Disposition with their parameters (RFC 2045 tokens, quoted
// strings and comments; RFC 2231 continuations and charsets), the list of
// Content-Language, the token of Content-Transfer-Encoding.
//
// Callers: the MIME tree (mimeparse) for each part's fields, the IMAP texts
// (parameters in BODYSTRUCTURE) and whoever needs a parameter's text (a
// file name for Sieve or a client). Values are untrusted unfolded field
// values (MimeUnfold); parsing never fails: a value that is no valid
// Content-Type gives false and the caller takes the default, a parameter
// that cannot be read is skipped, an unquoted value holding characters a
// token may not (an "=" in a boundary, 8-bit bytes) is taken up to the
// next ";" as mail programs write them. At most kMaxParams parameters are
// kept per field. Pure functions; thread-safe.
#pragma once

#include <string>
#include <string_view>
#include <vector>

// More parameters than any real field carries; the rest are dropped.
constexpr size_t kMaxParams = 64;
// RFC 2231 continuations of one parameter beyond this are dropped.
constexpr size_t kMaxParamSections = 100;

struct MimeParam {
  std::string Name;            // lower case, without RFC 2231's "*N" and "*"
  std::string Value;           // continuations joined; see bExtended
  // The value came in a charset (RFC 2231 "name*=charset'lang'%XX"): Value
  // is then "charset'lang'" and the percent-encoded text, converted to
  // "utf-8" when the charset is known, as IMAP's BODYSTRUCTURE passes it on.
  bool bExtended = false;
};

struct MimeContentType {
  std::string Type, Subtype;   // lower case
  std::vector<MimeParam> Params;
};

// Parses a Content-Type value; false (and *out untouched) when it has no
// valid "type/subtype".
bool MimeParseContentType(std::string_view value, MimeContentType *out);

// Parses a Content-Disposition value: its type (lower case) and parameters;
// false when it starts with no token.
bool MimeParseDisposition(std::string_view value, std::string *type, std::vector<MimeParam> *params);

// The tags of a Content-Language value, in order ("en", "de-CH").
std::vector<std::string> MimeParseLanguages(std::string_view value);

// The first token of a value with comments and white space around it
// dropped ("base64 (why)" gives "base64"), lower case.
std::string MimeFirstToken(std::string_view value);

// The text of parameter name in UTF-8: an extended value decoded from its
// charset, a plain one as written with invalid UTF-8 replaced. "" when absent;
// an extended value wins over a plain one of the same name.
std::string MimeParamText(const std::vector<MimeParam> &params, std::string_view name);

// The value of parameter name as written (continuations joined), or null.
const MimeParam *MimeFindParam(const std::vector<MimeParam> &params, std::string_view name);
