// mimeheader: the header block of a message or of a body part (RFC 5322,
// RFC 2045): where it ends, its fields one by one, their unfolded values.
//
// Callers: the MIME tree (mimeparse), the IMAP texts (ENVELOPE, HEADER.FIELDS)
// and SEARCH; later Sieve. The text is untrusted and need not be well
// formed: lines may end in CR LF or a bare LF, a line may hold NUL or 8-bit
// bytes, the blank line may be missing (the header then runs to the end of
// the text). A header block is every line up to the first empty one; a
// line in it that is neither "name:" nor the continuation (leading space or
// tab) of one is no field and is skipped with its continuations, but it
// stays part of the block.
//
// Bounds: reading is one pass over the block, so a header of many MiB
// costs its length and nothing more; an unfolded value is cut at the
// caller's maximum (kMaxFieldValue for the MIME modules). Views point into
// the caller's text and live as long as it does. Pure; thread-safe.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// The unfolded value of one field that the MIME modules read: a To: of a
// thousand recipients fits; a field of a MiB is cut here.
constexpr size_t kMaxFieldValue = 64 * 1024;

struct MimeHeaderField {
  std::string_view Name;     // as written, white space before the colon dropped
  std::string_view Value;    // behind the colon to the end of its last line, folds included, the final line end not
  std::string_view Raw;      // the whole field: every line, the final line end included
};

// Where the header block of text[start, end) ends: *fieldsEnd is the start
// of the blank line (or end), *bodyStart the offset behind it (or end).
void MimeFindHeaderEnd(std::string_view text, size_t start, size_t end, size_t *fieldsEnd,
                       size_t *bodyStart);

// The fields of a header block in order.
class MimeHeaderReader {
 public:
  explicit MimeHeaderReader(std::string_view header) : header_(header) {}
  // The next field; false at the end of the block.
  bool Next(MimeHeaderField *field);

 private:
  std::string_view header_;
  size_t pos_ = 0;
};

// The first field of the block with this name (case-insensitive).
bool MimeFindField(std::string_view header, std::string_view name, MimeHeaderField *field);

// The value with its folds removed (each line break and the CR before it),
// white space at both ends dropped, cut at maxOut bytes.
std::string MimeUnfold(std::string_view value, size_t maxOut);

// A line without its line end (LF, CR LF).
std::string_view MimeWithoutLineEnd(std::string_view line);

// The lexical pieces of structured field values (RFC 822): where a comment
// "(...)" (nested), a quoted string or a domain literal that opens at
// value[pos] ends: behind its closing byte, backslash escapes skipped; the
// end of the value when it is not closed. *inner (when given) receives what
// lies between the delimiters.
size_t MimeDelimitedEnd(std::string_view value, size_t pos, char open, char close,
                        std::string_view *inner = nullptr);
// A quoted string's or comment's content with its backslash escapes undone.
std::string MimeUnescape(std::string_view inner);
