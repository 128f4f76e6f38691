// mimetext: the text of a message's pieces as a reader sees it: transfer
// encodings undone (base64 and quoted-printable, RFC 2045), encoded words of
// header fields (RFC 2047) turned into UTF-8.
//
// Callers: the MIME modules (BINARY in mimesection, SEARCH in mimesearch,
// parameter values in mimefield) and, through them, the IMAP server and
// later Sieve. Every input is untrusted message text; decoding never fails:
// what cannot be decoded is kept as written (an "=" of quoted-printable
// that starts no escape, an encoded word with a bad encoding), invalid base64
// characters are skipped, and every output is bounded by the caller's
// maximum or by its input (a decoded body is never longer than its
// encoding). Pure functions and single-owner decoder objects; thread-safe.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// Content-Transfer-Encoding as the readers need it.
enum class MimeEncoding {
  Identity,          // 7bit, 8bit, binary, or none given: the bytes are the content
  Base64,
  QuotedPrintable,
  Unknown,           // any other token: the content cannot be had (IMAP: UNKNOWN-CTE)
};

// The encoding named by a Content-Transfer-Encoding token ("" is Identity).
MimeEncoding MimeEncodingOf(std::string_view token);

// Undoes a transfer encoding, fed in pieces of any size (a piece may end
// inside a base64 quantum or a quoted-printable line). Identity and Unknown
// copy the bytes.
class MimeTransferDecoder {
 public:
  explicit MimeTransferDecoder(MimeEncoding encoding) : encoding_(encoding) {}
  // Appends the decoded content of input to *out.
  void Feed(std::string_view input, std::string *out);
  // Appends what the last piece left undecided (a quoted-printable line
  // without its end).
  void Finish(std::string *out);

 private:
  void FeedBase64(std::string_view input, std::string *out);
  void DecodeQpLines(std::string_view input, bool final, std::string *out);
  MimeEncoding encoding_;
  unsigned bits_ = 0;          // base64: bits not yet output
  int bitCount_ = 0;
  std::string carry_;          // quoted-printable: the unfinished last line
};

// The whole content of input decoded (*out cleared first).
void MimeDecodeTransfer(MimeEncoding encoding, std::string_view input, std::string *out);

// A header field value (unfolded) with its encoded words decoded into UTF-8,
// at most maxOut bytes: "=?charset?B?...?=" and "=?charset?Q?...?=" in any
// charset this system knows; white space between two encoded words is
// dropped, and adjacent words in one charset are decoded together (so a
// character split between them survives). A malformed word stays as
// written; a word in a charset this system does not know is read as UTF-8.
// Bytes that are not UTF-8 (outside encoded words too) become U+FFFD.
std::string MimeDecodeWords(std::string_view value, size_t maxOut);

// The other way, for header fields this system writes: a UTF-8 value that
// is printable ASCII stays as it is; any other becomes encoded words
// "=?utf-8?B?...?=" (RFC 2047), each of at most kMaxEncodedWord octets and
// none splitting a character, separated by fold (a line end and a blank,
// as the writer's lines end), so that no line is longer than
// kMaxEncodedLine with the field name of nameLength octets (and its ": ")
// in front of the first. Control characters become blanks first.
constexpr size_t kMaxEncodedWord = 75;
constexpr size_t kMaxEncodedLine = 76;
std::string MimeEncodeWords(std::string_view value, size_t nameLength, std::string_view fold);

// The bytes of RFC 2231's "%XX" percent encoding undone (a "%" that starts
// no escape stays).
std::string MimePercentDecode(std::string_view text);
