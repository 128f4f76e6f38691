// charset: text in a named character set turned into UTF-8, on glibc's
// iconv, and the few UTF-8 routines every reader of mail text needs.
//
// Callers: the MIME modules (common/mime*): encoded words in header fields,
// text parts for SEARCH, parameter values in a charset (RFC 2231). Every
// input is untrusted: the charset name and the bytes come from a message.
// A name is looked up only when it is a plain charset name (letters,
// digits and "-_.:+()", at most kMaxCharsetName bytes), so no iconv option
// ("//TRANSLIT") can be slipped in through a message. A few names mail
// programs use that iconv does not know are mapped to the charset they mean
// (ks_c_5601-1987 is CP949, gb2312 is read as its superset GB18030).
//
// The output is always valid UTF-8: an invalid or unmappable sequence
// becomes U+FFFD and the conversion goes on behind it. Output is bounded:
// a conversion stops (at a character boundary) once maxOut bytes are
// written. US-ASCII, UTF-8 and ISO-8859-1 are converted without iconv (the
// common case costs no iconv_open); text labelled US-ASCII that holds 8-bit
// bytes is read as UTF-8, which is what such mislabelled mail nearly always
// is.
//
// Threads: a Utf8Decoder is one conversion, used by one thread at a time;
// everything else is a pure function. Failures: an unknown charset is
// reported (Open and ConvertToUtf8 return false) and its bytes are then
// taken as UTF-8 with invalid sequences replaced.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

// Charset names are short tokens (the IANA registry's longest is 45).
constexpr size_t kMaxCharsetName = 64;

// U+FFFD, the replacement character, in UTF-8.
constexpr std::string_view kUtf8Replacement = "\xEF\xBF\xBD";

// The code point of the UTF-8 sequence at text[*pos] (advancing *pos past
// it), or -1 for an invalid, overlong, surrogate or truncated sequence
// (advancing *pos by one byte).
int32_t NextUtf8(std::string_view text, size_t *pos);

// Appends code point cp (0..0x10FFFF, surrogates excluded) in UTF-8.
void AppendUtf8(uint32_t cp, std::string *out);

// Appends text with every invalid sequence replaced by U+FFFD; stops before
// the character that would take *out beyond maxOut bytes. NUL bytes are kept.
void AppendValidUtf8(std::string_view text, size_t maxOut, std::string *out);

// Is text valid UTF-8 as it stands?
bool IsValidUtf8(std::string_view text);

// The length of text less a UTF-8 character cut by its end (text.size()
// when none is), so a piece of a longer text ends on a character boundary.
size_t Utf8WholeLength(std::string_view text);

// One conversion from a charset to UTF-8, fed in pieces: a multi-byte
// character cut between two pieces is carried over to the next.
class Utf8Decoder {
 public:
  Utf8Decoder() = default;
  ~Utf8Decoder();
  Utf8Decoder(const Utf8Decoder &) = delete;
  Utf8Decoder &operator=(const Utf8Decoder &) = delete;

  // Starts a conversion from charset; false when the name is not a charset
  // this system knows (the decoder then reads UTF-8, as after Open("utf-8")).
  bool Open(std::string_view charset);
  // Appends the UTF-8 of input to *out, never taking *out beyond maxOut
  // bytes. With final, a sequence left incomplete at the end of input
  // becomes U+FFFD; without, it waits for the next piece.
  void Convert(std::string_view input, bool final, size_t maxOut, std::string *out);
  // Is the text read as UTF-8 as it stands (UTF-8, US-ASCII, an unknown
  // charset), so a reader that copes with invalid sequences may skip Convert?
  bool ReadsUtf8() const { return kind_ == Kind::Utf8; }

 private:
  enum class Kind { Utf8, Latin1, Iconv };
  void ConvertIconv(std::string_view input, bool final, size_t maxOut, std::string *out);
  Kind kind_ = Kind::Utf8;
  void *cd_ = nullptr;        // iconv_t when kind_ is Iconv
  std::string pending_;       // the start of a character cut by the last piece
};

// Converts all of input from charset to UTF-8 into *out (cleared first), at
// most maxOut bytes. False when the charset is unknown (input then taken
// as UTF-8).
bool ConvertToUtf8(std::string_view charset, std::string_view input, size_t maxOut,
                   std::string *out);

// Does this system know the charset (by the rules of Open)?
bool IsKnownCharset(std::string_view charset);
