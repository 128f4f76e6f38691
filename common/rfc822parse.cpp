// rfc822parse: see rfc822parse.h.
//
// Every scan moves over a NUL-terminated text one character at a time and
// tests the character before stepping over it; the terminator belongs to no
// class that a scan continues over, so no scan passes it. Where a step would
// land "behind" a character, the code first makes sure that character is not
// the terminator.
#include "common/rfc822parse.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "common/str.h"

namespace {

// Character classes, fixed to ASCII so that the scan never depends on the
// process locale (bytes 128..255 are specials and nothing else).
enum : unsigned char {
  kSpace = 1,     // white space
  kSpecial = 2,   // RFC 822 specials, controls and 8-bit bytes
  kQuoteIt = 4,   // makes a local part need quoting
  kDomain = 8,    // letters, digits, "-" and "."
  kDigit = 16,
};

constexpr std::array<unsigned char, 256> MakeClasses() {
  std::array<unsigned char, 256> t{};
  for (int c = 0; c < 256; ++c) {
    if (c < 32 || c > 126) t[c] |= kSpecial;
    if (c < 33 || c > 126) t[c] |= kQuoteIt;
    bool letter = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
    if (c >= '0' && c <= '9') t[c] |= kDigit | kDomain;
    if (letter || c == '-' || c == '.') t[c] |= kDomain;
  }
  for (char c : std::string_view(" \t\r\n\v\f")) t[static_cast<unsigned char>(c)] |= kSpace;
  for (char c : std::string_view("<>()[]\\.,;:@\"")) t[static_cast<unsigned char>(c)] |= kSpecial;
  for (char c : std::string_view("\\\"<>()[],;:@")) t[static_cast<unsigned char>(c)] |= kQuoteIt;
  return t;
}

constexpr std::array<unsigned char, 256> kClasses = MakeClasses();

bool Is(char c, unsigned char classes) {
  return (kClasses[static_cast<unsigned char>(c)] & classes) != 0;
}

void LowerInPlace(char *text) {
  for (; *text != '\0'; ++text) *text = LowerAscii(*text);
}

template <typename Char>
Char *SkipSpaces(Char *p) {
  while (Is(*p, kSpace)) ++p;
  return p;
}

// Copies [begin, end) into dst, cut to size - 1 characters.
void CopyRange(char *dst, size_t size, const char *begin, const char *end) {
  if (size == 0) return;
  size_t n = std::min(static_cast<size_t>(end - begin), size - 1);
  memcpy(dst, begin, n);
  dst[n] = '\0';
}

// Removes backslash escapes in place; a backslash at the very end goes.
void Unescape(char *text) {
  char *out = text;
  for (const char *in = text; *in != '\0'; ++in) {
    if (*in == '\\') {
      if (in[1] == '\0') break;
      ++in;
    }
    *out++ = *in;
  }
  *out = '\0';
}

bool NeedsQuoting(const char *text) {
  for (; *text != '\0'; ++text)
    if (Is(*text, kQuoteIt)) return true;
  return false;
}

// A quoted string's body starting at p (behind the opening quote): returns
// the position behind the closing quote, or the CR, LF or terminator that
// ends an open one.
const char *SkipQuotedString(const char *p) {
  for (;;) {
    char c = *p;
    if (c == '\\') {
      ++p;
      if (*p != '\0') ++p;
      continue;
    }
    if (c == '"') return p + 1;
    if (c == '\r' || c == '\n' || c == '\0') return p;
    ++p;
  }
}

// Text without its part behind a NUL, as a terminated string we may write.
std::string Terminated(std::string_view text) {
  return std::string(text.substr(0, std::min(text.find('\0'), text.size())));
}

// Runs fill on a buffer of maxChars + 1 bytes (no larger than a result of at
// most bound characters needs) and returns what it wrote.
template <typename Fill>
std::string IntoBuffer(size_t maxChars, size_t bound, Fill fill) {
  std::string buffer(std::min(maxChars, bound) + 1, '\0');
  fill(buffer.data(), buffer.size());
  buffer.resize(strlen(buffer.c_str()));
  return buffer;
}

// ---- List parsing -------------------------------------------------------
//
// The list cursor moves forward only and every cut is written behind the
// text still to be parsed, so the text from the cursor to the terminator is
// always the caller's original. That lets a failed search for ")" or for a
// closing quote be remembered: no later search from further on can succeed,
// and a list full of unclosed "(" costs linear time, not quadratic.
struct ListScan {
  char *cursor;
  const char *noParenFrom = nullptr;  // no ")" after this position
  const char *noQuoteFrom = nullptr;  // no quote opened after this one closes
};

char *FindCloseParen(ListScan &scan, char *open) {
  if (scan.noParenFrom != nullptr && open >= scan.noParenFrom) return nullptr;
  char *close = strchr(open + 1, ')');
  if (close == nullptr) scan.noParenFrom = open;
  return close;
}

// The closing quote of the quoted string opened at open; backslash pairs are
// taken together, so an escaped quote does not close it.
char *FindCloseQuote(ListScan &scan, char *open) {
  if (scan.noQuoteFrom != nullptr && open >= scan.noQuoteFrom) return nullptr;
  for (char *p = open + 1; *p != '\0'; ++p) {
    if (*p == '\\') {
      if (p[1] == '\0') break;
      ++p;
    } else if (*p == '"') {
      return p;
    }
  }
  scan.noQuoteFrom = open;
  return nullptr;
}

// Ends the text at cut and returns where the cursor goes on. A cut at the
// terminator leaves the cursor there. A cut that falls on the "(" of a
// comment still skips that comment, so its words never pass for addresses.
char *CursorBehindCut(ListScan &scan, char *cut) {
  if (*cut == '\0') return cut;
  if (*cut == '(') {
    char *close = FindCloseParen(scan, cut);
    *cut = '\0';
    return close != nullptr ? close + 1 : cut + 1;
  }
  *cut = '\0';
  return cut + 1;
}

// Behind the inside of a domain literal: the digits and dots of the IPv4
// form, or an "IPv6:" tag and the hex digits, colons and dots of an IPv6
// address; white space too when blanks is set.
const char *SkipLiteralText(const char *p, bool blanks) {
  constexpr std::string_view kTag = "IPv6:";
  size_t n = 0;
  while (n < kTag.size() && p[n] != '\0' && LowerAscii(p[n]) == LowerAscii(kTag[n])) ++n;
  bool six = n == kTag.size();
  if (six) p += n;
  auto inside = [six, blanks](char c) {
    bool hex = (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
    return Is(c, kDigit) || c == '.' || (blanks && Is(c, kSpace)) || (six && (c == ':' || hex));
  };
  while (inside(*p)) ++p;
  return p;
}

// The domain behind an "@": a domain literal (SkipLiteralText) in "[" "]",
// or a run of letters, digits, "-" and ".".
char *SkipHeaderDomain(char *p) {
  if (*p == '[') {
    p = const_cast<char *>(SkipLiteralText(p + 1, false));
    if (*p == ']') ++p;
    return p;
  }
  while (Is(*p, kDomain)) ++p;
  return p;
}

// At a "<" that opens a source route ("<@a,@b:"), the route's ":"; else
// null. The route's commas do not separate list elements. The search stops
// at the next "<", ">" or "(", so route searches never overlap.
char *FindRouteEnd(char *lt) {
  char *p = SkipSpaces(lt + 1);
  if (*p != '@') return nullptr;
  for (; *p != '\0'; ++p) {
    if (*p == ':') return p;
    if (*p == '<' || *p == '>' || *p == '(') return nullptr;
  }
  return nullptr;
}

// Cuts the element that starts at element: it runs to the first "," or "("
// (a comment ends it; the cursor goes behind the comment). Returns the
// cursor behind the element.
char *CutElement(ListScan &scan, char *element) {
  char *p = element;
  while (*p != '\0' && *p != ',' && *p != '(') {
    if (*p == '<') {
      if (char *routeEnd = FindRouteEnd(p)) p = routeEnd;
    }
    ++p;
  }
  return CursorBehindCut(scan, p);
}

// The bare address in a (cut) address text: white space skipped, a source
// route dropped, then up to the end of the domain behind the first "@", or
// without "@" up to the first white space. Null when nothing is left.
char *BareAddress(char *address) {
  address = SkipSpaces(address);
  if (*address == '@') {
    if (char *colon = strchr(address, ':')) address = SkipSpaces(colon + 1);
  }
  if (*address == '\0') return nullptr;
  char *end = address;
  if (char *at = strchr(address, '@')) {
    end = SkipHeaderDomain(at + 1);
  } else {
    while (*end != '\0' && !Is(*end, kSpace)) ++end;
  }
  *end = '\0';
  return address;
}

// The address of a cut element: between its first "<" and the next ">"
// searched from two characters behind that "<" (so "<>" holds none), else
// the element itself. Null when it holds none.
char *AddressOfElement(char *element) {
  char *lt = strchr(element, '<');
  if (lt == nullptr) return BareAddress(element);
  if (lt[1] == '\0') return nullptr;
  char *gt = strchr(lt + 2, '>');
  if (gt == nullptr) return nullptr;
  *gt = '\0';
  return BareAddress(lt + 1);
}

// A quoted string at p directly followed by "@": the address is the quoted
// string, "@" and the domain. Returns it, or null (a phrase or an open
// quote) with p moved past what was skipped.
char *QuotedAddress(ListScan &scan, char *&p) {
  char *close = FindCloseQuote(scan, p);
  if (close == nullptr) {
    ++p;
    return nullptr;
  }
  if (close[1] != '@') {
    p = close + 1;
    return nullptr;
  }
  char *address = p;
  p = CursorBehindCut(scan, SkipHeaderDomain(close + 2));
  return address;
}

char *NextAddress(ListScan &scan) {
  char *p = scan.cursor;
  for (;;) {
    while (Is(*p, kSpace) || *p == ',') ++p;
    if (*p == '\0') break;
    char *address = nullptr;
    if (*p == '(') {
      char *close = FindCloseParen(scan, p);
      p = close != nullptr ? close + 1 : p + 1;
    } else if (*p == '"') {
      address = QuotedAddress(scan, p);
    } else {
      char *element = p;
      p = CutElement(scan, element);
      address = AddressOfElement(element);
    }
    if (address != nullptr) {
      scan.cursor = p;
      return address;
    }
  }
  scan.cursor = p;
  return p;
}

}  // namespace

bool IsAddressSpace(char c) { return Is(c, kSpace); }

bool IsSpecial(char c) { return Is(c, kSpecial); }

char *RemoveTrailingSpace(char *text) {
  size_t n = strlen(text);
  while (n > 0 && Is(text[n - 1], kSpace)) --n;
  text[n] = '\0';
  return text;
}

void RemoveTrailingSpace(std::string &text) {
  size_t n = text.size();
  while (n > 0 && Is(text[n - 1], kSpace)) --n;
  text.resize(n);
}

void StripDown(const char *input, char *output, size_t lenOutput) {
  if (lenOutput == 0) return;
  if (*input == '"') {
    STRNCPY(output, input + 1, lenOutput);
    size_t n = strlen(output);
    if (n > 0 && output[n - 1] == '"') output[n - 1] = '\0';
  } else {
    STRNCPY(output, input, lenOutput);
  }
  Unescape(output);
}

std::string StripDown(std::string_view input, size_t maxChars) {
  std::string in = Terminated(input);
  return IntoBuffer(maxChars, in.size(),
                    [&](char *out, size_t size) { StripDown(in.c_str(), out, size); });
}

void DressUp(const char *input, char *output, size_t lenOutput) {
  if (lenOutput == 0) return;
  if (!NeedsQuoting(input)) {
    STRNCPY(output, input, lenOutput);
    return;
  }
  // Room for at least the two quotes and the NUL, else nothing.
  if (lenOutput < 3) {
    output[0] = '\0';
    return;
  }
  size_t j = 0;
  output[j++] = '"';
  for (const char *p = input; *p != '\0'; ++p) {
    bool escape = *p == '"' || *p == '\\';
    // Keep room for this character (and its backslash), the closing quote
    // and the NUL: a cut string stays a well-formed quoted string.
    if (j + (escape ? 3 : 2) >= lenOutput) break;
    if (escape) output[j++] = '\\';
    output[j++] = *p;
  }
  output[j++] = '"';
  output[j] = '\0';
}

std::string DressUp(std::string_view input, size_t maxChars) {
  std::string in = Terminated(input);
  return IntoBuffer(maxChars, 2 * in.size() + 2,
                    [&](char *out, size_t size) { DressUp(in.c_str(), out, size); });
}

const char *SkipLocalAddressPart(const char *pStart) {
  const char *p = SkipSpaces(pStart);
  if (*p == '"') return SkipQuotedString(p + 1);
  if (*p != '\\' && IsSpecial(*p)) return p;
  // An atom run: dots and spaces belong to it, escapes are taken along.
  while (*p != '\0') {
    if (*p == '\\') {
      ++p;
      if (*p != '\0') ++p;
      continue;
    }
    if (*p != '.' && IsSpecial(*p)) break;
    ++p;
  }
  return p;
}

char *SkipLocalAddressPart(char *pStart) {
  return const_cast<char *>(SkipLocalAddressPart(static_cast<const char *>(pStart)));
}

const char *SkipRfc821Address(const char *pStart) {
  const char *p = SkipLocalAddressPart(pStart);
  if (*p != '@') return p;
  ++p;
  if (*p == '[') {
    p = SkipLiteralText(p + 1, true);
    if (*p == ']') ++p;
    return p;
  }
  while (Is(*p, kSpace | kDomain)) ++p;
  return p;
}

char *SkipRfc821Address(char *pStart) {
  return const_cast<char *>(SkipRfc821Address(static_cast<const char *>(pStart)));
}

void SplitAddress(const char *inputAddress, char *userPart, size_t lenUserPart, char *domainPart,
                  size_t lenDomainPart) {
  if (lenUserPart > 0) userPart[0] = '\0';
  if (lenDomainPart > 0) domainPart[0] = '\0';
  const char *start = SkipSpaces(inputAddress);
  const char *end = SkipLocalAddressPart(start);
  if (lenUserPart > 0) {
    CopyRange(userPart, lenUserPart, start, end);
    RemoveTrailingSpace(userPart);
  }
  const char *p = SkipSpaces(end);
  if (*p != '@' || lenDomainPart == 0) return;
  STRNCPY(domainPart, SkipSpaces(p + 1), lenDomainPart);
  LowerInPlace(domainPart);
  RemoveTrailingSpace(domainPart);
}

void SplitAddress(std::string_view inputAddress, std::string &userPart, size_t maxUser,
                  std::string &domainPart, size_t maxDomain) {
  std::string in = Terminated(inputAddress);
  std::string user(std::min(maxUser, in.size()) + 1, '\0');
  std::string domain(std::min(maxDomain, in.size()) + 1, '\0');
  SplitAddress(in.c_str(), user.data(), user.size(), domain.data(), domain.size());
  userPart.assign(user.c_str());
  domainPart.assign(domain.c_str());
}

char *ParseRfc822AddressHeader(char **ppAddr) {
  ListScan scan{*ppAddr};
  char *address = NextAddress(scan);
  *ppAddr = scan.cursor;
  return address;
}

std::vector<char *> ExtractAllAddresses(char *header) {
  std::vector<char *> addresses;
  ListScan scan{header};
  for (;;) {
    char *address = NextAddress(scan);
    if (*address == '\0') break;
    addresses.push_back(address);
  }
  addresses.push_back(nullptr);
  return addresses;
}

void ExtractAddress(std::string_view header, char *address, size_t lenAddress) {
  if (lenAddress == 0) return;
  std::string copy = Terminated(header);
  char *cursor = copy.data();
  STRNCPY(address, ParseRfc822AddressHeader(&cursor), lenAddress);
  // The domain is case-blind; the local part belongs to its owner.
  LowerInPlace(SkipLocalAddressPart(address));
}

std::string ExtractAddress(std::string_view header, size_t maxChars) {
  std::string in = Terminated(header);
  return IntoBuffer(maxChars, in.size(),
                    [&](char *out, size_t size) { ExtractAddress(in, out, size); });
}
