// str: bounded text routines.
//
// The system holds much of its text in fixed-size records whose sizes are
// part of its formats (a recipient name is 128 characters, a path 260). Text
// that does not fit is cut, never an error and never an overrun. These
// routines apply the cut in one place: the C forms for character arrays, the
// std::string forms for everything else.
//
// All are pure functions of their arguments; thread-safe.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// ASCII case folding (EqualsNoCase, StartsWithNoCase, LowerAscii ...).
#include "platform/ascii.h"

// Copies at most size - 1 characters of src into dst and always terminates
// (size 0: nothing is written).
void STRNCPY(char *dst, const char *src, size_t size);

// Appends src to the string in dst without letting the whole exceed size - 1
// characters; does nothing when dst is already full.
void STRNCAT(char *dst, const char *src, size_t size);

// Appends number in decimal the same way.
void STRNCATW(char *dst, long number, size_t size);

// The size in bytes of a list of strings ended by an empty one (a
// multi-string), counting every terminator and the final empty string.
size_t strlenmulti(const char *list);

// The same for a bounded buffer: stops at size when the list is not
// terminated within it.
size_t strlenmulti(const char *list, size_t size);

// The leading decimal integer of text (optional sign), saturating instead
// of overflowing, clamped to [low, high]; no digits gives 0. For numbers in
// files and replies, which may hold anything.
long long LeadingInteger(std::string_view text, long long low, long long high);

// std::string forms of the cut: at most maxChars characters are kept.
void CutText(std::string &text, size_t maxChars);
// An SMTP reply (one line or several, each CR LF ended) cut to maxChars
// at a line end, its last kept line made the final one ("250-" becomes
// "250 "), so what is left is still a valid reply. A first line longer
// than maxChars alone is cut and given its CR LF.
void CutReplyAtLineEnd(std::string &reply, size_t maxChars);
std::string BoundedCopy(std::string_view text, size_t maxChars);

