// rfc822parse: scanners for RFC 822 addresses and address-list header values.
//
// The SMTP receiver finds where the paths of MAIL, RCPT and VRFY end and
// re-quotes local parts; the delivery agent splits recipients into local part
// and domain, unquotes local parts, and picks the bare addresses out of
// "To:", "Cc:", "From:" and "Reply-To:" values and out of the lines of a
// user's reply files. Every input here comes from the network or from files
// that users write: it is untrusted and may be any bytes.
//
// The routines work on NUL-terminated 8-bit text and scan only up to its
// terminator, whatever the text holds (open quotes, a backslash at the end,
// "(" without ")", "<" without ">", "@[" without "]"). They validate nothing
// beyond their scanning rules and never fail: malformed text gives a shorter
// or empty result, which callers treat as a syntax error where it matters.
// Results that do not fit an output buffer are cut (the cut is part of the
// behaviour: each routine states where it falls).
//
// Character classes are fixed ASCII tables, independent of the locale: bytes
// 128..255 are never letters, digits or white space, and are specials.
//
// All routines are pure functions of their arguments and thread-safe. The
// list parsers cut the caller's text by writing NULs into it; the pointers
// they return point into that text and live as long as it does.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

// White space for these scanners: space, tab, CR, LF, vertical tab, form feed.
bool IsAddressSpace(char c);

// The RFC 822 specials "<>()[]\.,;:@" and the double quote, every control
// character (below 32) and every byte above 126.
bool IsSpecial(char c);

// Removes white space from the end of text, in place; returns text.
char *RemoveTrailingSpace(char *text);
void RemoveTrailingSpace(std::string &text);

// Unquotes a local part. When input begins with a double quote, what follows
// it is copied (at most lenOutput - 1 characters) and one double quote that
// ends the copy is dropped; otherwise input is copied the same way. Then
// every backslash followed by a character gives way to that character, and a
// backslash at the very end is dropped. lenOutput 0: nothing is written.
void StripDown(const char *input, char *output, size_t lenOutput);
// The same with the result bounded to maxChars characters.
std::string StripDown(std::string_view input, size_t maxChars);

// Quotes a local part when it needs it: input holding any of \ " < > ( ) [ ]
// , ; : @, a space or control character, or a byte of 127 or above becomes a
// quoted string with every double quote and backslash escaped; otherwise it
// is copied unchanged (at most lenOutput - 1 characters). A quoted string
// that does not fit is cut short but keeps its closing quote (an escape pair
// is never split). A buffer too small for even `""` (lenOutput 1 or 2)
// receives the empty string; lenOutput 0: nothing is written.
void DressUp(const char *input, char *output, size_t lenOutput);
// The same with the result bounded to maxChars characters.
std::string DressUp(std::string_view input, size_t maxChars);

// The first character after the local part that starts at pStart (leading
// white space skipped): behind the closing quote of a quoted string, or at
// the first special other than "." of an atom run (backslash escapes taken
// along, so spaces and dots belong to it). An open quoted string ends at CR,
// LF or the terminator. Text that starts with a special has an empty local
// part: the result points at that special. Never beyond the terminator.
const char *SkipLocalAddressPart(const char *pStart);
char *SkipLocalAddressPart(char *pStart);

// The first character after local part and domain: behind the local part
// when no "@" follows it; after "@[" behind the digits, dots and white space
// (or an "IPv6:" tag and the hex digits, colons, dots and white space) and
// one closing "]"; after "@" behind the letters, digits, "-", "." and white
// space. Never beyond the terminator.
const char *SkipRfc821Address(const char *pStart);
char *SkipRfc821Address(char *pStart);

// Splits an address into its local part as written (trimmed) and its domain
// in lower case (trimmed): everything behind the "@" that follows the local
// part, with white space around the "@" skipped. No "@": the domain is
// empty. Each output is cut to its size less one.
void SplitAddress(const char *inputAddress, char *userPart, size_t lenUserPart, char *domainPart,
                  size_t lenDomainPart);
void SplitAddress(std::string_view inputAddress, std::string &userPart, size_t maxUser,
                  std::string &domainPart, size_t maxDomain);

// Takes the next bare address from an address-list value. *ppAddr is the list
// cursor, a pointer into writable text; the address is cut out in place (NULs
// are written behind it and behind the element it came from) and the cursor
// moves past it. At the end of the list the result is an empty string at the
// terminator and the cursor stays there. Phrases, comments and angle
// brackets are dropped, as is a source route ("<@a,@b:user@c>" gives
// "user@c"). One call is linear in the text; to walk a whole list use
// ExtractAllAddresses, which stays linear over the list.
char *ParseRfc822AddressHeader(char **ppAddr);

// Every bare address of a writable list value, in order, followed by a null
// pointer. The pointers point into header, which is cut in place.
std::vector<char *> ExtractAllAddresses(char *header);

// The first bare address of a list value (header itself is not changed; text
// after a NUL byte is ignored), cut to lenAddress - 1 characters, with
// everything from the end of its local part on (the "@" and the domain) in
// lower case. No address: the empty string. lenAddress 0: nothing is written.
void ExtractAddress(std::string_view header, char *address, size_t lenAddress);
std::string ExtractAddress(std::string_view header, size_t maxChars);
