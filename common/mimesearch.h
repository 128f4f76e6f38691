// mimesearch: the text SEARCH matches (RFC 9051 6.4.4): header values with
// their encoded words decoded, the content of text parts with the transfer
// encoding undone and the charset converted to UTF-8, compared without
// regard to case the way i;unicode-casemap means it.
//
// Case: both sides are folded with Unicode's simple case folding (each
// code point to one, from CaseFolding.txt: "Straße" finds "STRASSE" only
// where the text has the capital sharp s, "ΣΑΣ" finds "σας", the Kelvin
// sign finds "k"). The table is generated (mimefoldgen.py) and compact,
// about two hundred runs; ASCII takes a fast path. It is used instead of
// ICU because it is all SEARCH needs: a few KiB, no library of 30 MiB in
// every session process, no conversion to UTF-16 of every part.
//
// Callers: the IMAP server's SEARCH (TEXT, BODY, and SUBJECT, FROM, TO,
// CC, BCC, HEADER through MimeSearchField); Sieve's comparators later. The
// text and tree are untrusted (mimeparse). A part is read in pieces of
// kSearchPiece bytes: decoding, conversion and folding work on one piece
// at a time and a match across two pieces is still found, so a part of
// any size costs a bounded buffer; matching stops at the first hit.
// A MimeNeedle is made once per search key and may be used by one thread
// at a time; the functions are otherwise pure.
#pragma once

#include <functional>
#include <string>
#include <string_view>

#include "common/mimeparse.h"

// Text parts are decoded and folded this much at a time.
constexpr size_t kSearchPiece = 64 * 1024;

// Appends the simple case folding of UTF-8 text (invalid sequences become
// U+FFFD).
void MimeFold(std::string_view utf8, std::string *out);

// One search string, folded.
class MimeNeedle {
 public:
  explicit MimeNeedle(std::string_view utf8);
  MimeNeedle(const MimeNeedle &) = delete;
  MimeNeedle &operator=(const MimeNeedle &) = delete;
  const std::string &Folded() const { return folded_; }
  // Does folded text hold the needle?
  bool FoundIn(std::string_view folded) const;

 private:
  std::string folded_;
  std::boyer_moore_horspool_searcher<const char *> searcher_;   // over folded_
};

enum class MimeSearchScope {
  Body,   // SEARCH BODY: text parts, and the headers of messages inside the message
  Text,   // SEARCH TEXT: that, the message's header and every part's MIME header
};

// Does the message hold the needle in that scope? An empty needle is in
// every message.
bool MimeSearchMessage(std::string_view text, const MimeTree &tree, MimeSearchScope scope,
                       const MimeNeedle &needle);

// Does a field of the message's header named name (any case) hold the
// needle in its decoded value? With an empty needle: is there such a field?
bool MimeSearchField(std::string_view text, const MimeTree &tree, std::string_view name,
                     const MimeNeedle &needle);
