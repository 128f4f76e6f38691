// imapparseargs: see imapparseargs.h.
#include "ZELIMAP/imapparseargs.h"

#include <algorithm>

#include "ZELIMAP/imapparseutf7.h"
#include "platform/ascii.h"

namespace {

constexpr uint64_t kMaxNumber32 = 0xFFFFFFFFull;
constexpr uint64_t kMaxNumber64 = 0x7FFFFFFFFFFFFFFFull;

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

std::string Expected(std::string_view what) { return "Expected " + std::string(what); }

std::string_view Rest(const ImapScanner &s) { return s.Text.substr(s.At); }

// 1*DIGIT up to `max`.
bool ScanDigits(ImapScanner &s, uint64_t &n, uint64_t max, std::string_view what) {
  if (s.bFailed) return false;
  n = 0;
  size_t start = s.At;
  while (s.At < s.Text.size() && IsDigit(s.Text[s.At])) {
    uint64_t d = static_cast<uint64_t>(s.Text[s.At] - '0');
    if (n > (max - d) / 10) return ScanFail(s, "Number too large in " + std::string(what));
    n = n * 10 + d;
    ++s.At;
  }
  if (s.At == start) return ScanFail(s, Expected(what));
  return true;
}

bool ScanQuoted(ImapScanner &s, std::string &out, std::string_view what) {
  ++s.At;  // the opening quote
  out.clear();
  while (s.At < s.Text.size()) {
    char c = s.Text[s.At++];
    if (c == '"') return true;
    if (c == '\r' || c == '\n' || c == '\0') break;
    if (c == '\\') {
      if (s.At >= s.Text.size() || (s.Text[s.At] != '"' && s.Text[s.At] != '\\'))
        return ScanFail(s, "Invalid escape in the quoted " + std::string(what));
      c = s.Text[s.At++];
    }
    out.push_back(c);
  }
  return ScanFail(s, "Unterminated quoted " + std::string(what));
}

// "{" number64 ["+"] "}" CRLF and the bytes; the reader's canonical form
// has no "+", a caller's text may.
bool ScanLiteral(ImapScanner &s, std::string &out, std::string_view what) {
  ++s.At;  // "{"
  uint64_t size = 0;
  if (!ScanDigits(s, size, kMaxNumber64, "literal size")) return false;
  ScanOptional(s, '+');
  if (!ScanChar(s, '}', "\"}\" after the literal size")) return false;
  if (!Rest(s).starts_with("\r\n")) return ScanFail(s, "Expected CRLF after the literal size");
  s.At += 2;
  if (size > s.Text.size() - s.At) return ScanFail(s, "Literal longer than the command");
  std::string_view bytes = s.Text.substr(s.At, static_cast<size_t>(size));
  if (bytes.find('\0') != std::string_view::npos)
    return ScanFail(s, "NUL in the literal " + std::string(what));
  out.assign(bytes);
  s.At += static_cast<size_t>(size);
  return true;
}

bool IsListChar(char c) { return IsAstringChar(c) || c == '%' || c == '*'; }

// The name rules shared by names and patterns.
bool DecodeName(std::string_view wire, bool rev2, std::string &name, ImapError &error) {
  name.clear();
  if (!rev2) {
    for (char c : wire)
      if (static_cast<unsigned char>(c) >= 0x80) {
        error.Text = "Mailbox name is not 7-bit (modified UTF-7 is expected)";
        return false;
      }
    if (!ModifiedUtf7ToUtf8(wire, name)) {
      error.Text = "Invalid modified UTF-7 in the mailbox name";
      return false;
    }
  } else if (!IsUtf8(wire)) {
    error.Text = "Mailbox name is not UTF-8";
    return false;
  } else {
    name.assign(wire);
  }
  if (HasAsciiControl(name)) {
    error.Text = "Control character in the mailbox name";
    return false;
  }
  if (name.size() > kMaxMailboxName) {
    error.Text = "Mailbox name too long";
    return false;
  }
  return true;
}

// Whether the name's first level is INBOX in any case.
bool StartsWithInbox(std::string_view name) {
  return StartsWithNoCase(name, "INBOX") && (name.size() == 5 || name[5] == kImapDelimiter);
}

bool IsLeapYear(int y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

int DaysInMonth(int y, int m) {
  static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return m == 2 && IsLeapYear(y) ? 29 : kDays[m - 1];
}

bool ScanMonth(ImapScanner &s, int &month) {
  static const char *const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                        "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  std::string_view rest = Rest(s).substr(0, 3);
  for (int m = 0; m < 12; ++m)
    if (EqualsNoCase(rest, kMonths[m])) {
      month = m + 1;
      s.At += 3;
      return true;
    }
  return ScanFail(s, "Invalid month in the date");
}

// Exactly `count` digits.
bool ScanFixedDigits(ImapScanner &s, int count, int &value, std::string_view what) {
  value = 0;
  for (int i = 0; i < count; ++i) {
    if (s.At >= s.Text.size() || !IsDigit(s.Text[s.At])) return ScanFail(s, "Invalid " + std::string(what));
    value = value * 10 + (s.Text[s.At++] - '0');
  }
  return true;
}

// date-day (one or two digits, or SP and one digit for date-day-fixed),
// "-", month, "-", year; the day checked against the month.
bool ScanDayMonthYear(ImapScanner &s, ImapDate &date) {
  if (s.bFailed) return false;
  ScanOptional(s, ' ');
  int day = 0;
  if (!ScanFixedDigits(s, 1, day, "day in the date")) return false;
  if (s.At < s.Text.size() && IsDigit(s.Text[s.At])) day = day * 10 + (s.Text[s.At++] - '0');
  if (!ScanChar(s, '-', "\"-\" in the date") || !ScanMonth(s, date.Month) ||
      !ScanChar(s, '-', "\"-\" in the date") || !ScanFixedDigits(s, 4, date.Year, "year in the date"))
    return false;
  if (day < 1 || date.Year < 1 || day > DaysInMonth(date.Year, date.Month))
    return ScanFail(s, "No such day");
  date.Day = day;
  return true;
}

}  // namespace

bool ScanFail(ImapScanner &s, std::string_view text, const char *status) {
  if (!s.bFailed) {
    s.bFailed = true;
    s.Error.Status = status;
    s.Error.Text.assign(text);
  }
  return false;
}

bool ScanEnd(ImapScanner &s) {
  if (s.bFailed) return false;
  if (s.At != s.Text.size()) return ScanFail(s, "Unexpected text after the arguments");
  return true;
}

bool ScanPeek(const ImapScanner &s, char c) {
  return !s.bFailed && s.At < s.Text.size() && s.Text[s.At] == c;
}

bool ScanChar(ImapScanner &s, char c, std::string_view what) {
  if (s.bFailed) return false;
  if (!ScanPeek(s, c)) return ScanFail(s, Expected(what));
  ++s.At;
  return true;
}

bool ScanOptional(ImapScanner &s, char c) {
  if (!ScanPeek(s, c)) return false;
  ++s.At;
  return true;
}

bool ScanSp(ImapScanner &s, std::string_view what) {
  if (s.bFailed) return false;
  if (!ScanPeek(s, ' ')) return ScanFail(s, "Expected SP before " + std::string(what));
  ++s.At;
  return true;
}

bool ScanAtom(ImapScanner &s, std::string_view &atom, std::string_view what, bool bAstringChars) {
  if (s.bFailed) return false;
  size_t start = s.At;
  while (s.At < s.Text.size() &&
         (bAstringChars ? IsAstringChar(s.Text[s.At]) : IsAtomChar(s.Text[s.At])))
    ++s.At;
  if (s.At == start) return ScanFail(s, Expected(what));
  atom = s.Text.substr(start, s.At - start);
  return true;
}

bool ScanWord(ImapScanner &s, std::string &word, std::string_view what) {
  std::string_view atom;
  if (!ScanAtom(s, atom, what)) return false;
  word.assign(atom);
  UpperAsciiInPlace(word);
  return true;
}

bool ScanString(ImapScanner &s, std::string &out, std::string_view what) {
  if (s.bFailed) return false;
  if (ScanPeek(s, '"')) return ScanQuoted(s, out, what);
  if (ScanPeek(s, '{')) return ScanLiteral(s, out, what);
  return ScanFail(s, Expected(what) + " (a quoted string or a literal)");
}

bool ScanAstring(ImapScanner &s, std::string &out, std::string_view what) {
  if (ScanPeek(s, '"') || ScanPeek(s, '{')) return ScanString(s, out, what);
  std::string_view atom;
  if (!ScanAtom(s, atom, what, true)) return false;
  out.assign(atom);
  return true;
}

bool ScanNString(ImapScanner &s, std::string &out, bool &bNil, std::string_view what) {
  bNil = false;
  if (s.bFailed) return false;
  std::string_view rest = Rest(s);
  if (StartsWithNoCase(rest, "NIL") && (rest.size() == 3 || !IsAtomChar(rest[3]))) {
    s.At += 3;
    out.clear();
    bNil = true;
    return true;
  }
  return ScanString(s, out, what);
}

bool ScanNumber(ImapScanner &s, uint32_t &n, std::string_view what) {
  uint64_t v = 0;
  if (!ScanDigits(s, v, kMaxNumber32, what)) return false;
  n = static_cast<uint32_t>(v);
  return true;
}

bool ScanNzNumber(ImapScanner &s, uint32_t &n, std::string_view what) {
  if (!ScanNumber(s, n, what)) return false;
  return n != 0 || ScanFail(s, "Zero is not a valid " + std::string(what));
}

bool ScanNumber64(ImapScanner &s, uint64_t &n, std::string_view what) {
  return ScanDigits(s, n, kMaxNumber64, what);
}

bool ScanNzNumber64(ImapScanner &s, uint64_t &n, std::string_view what) {
  if (!ScanNumber64(s, n, what)) return false;
  return n != 0 || ScanFail(s, "Zero is not a valid " + std::string(what));
}

bool ImapMailboxFromWire(std::string_view wire, bool rev2, std::string &name, ImapError &error) {
  if (!DecodeName(wire, rev2, name, error)) return false;
  if (StartsWithInbox(name)) std::copy_n("INBOX", 5, name.begin());
  return true;
}

bool ScanMailbox(ImapScanner &s, bool rev2, std::string &name) {
  std::string wire;
  if (!ScanAstring(s, wire, "mailbox name")) return false;
  ImapError error;
  if (!ImapMailboxFromWire(wire, rev2, name, error)) return ScanFail(s, error.Text);
  return true;
}

bool ScanListPattern(ImapScanner &s, bool rev2, std::string &pattern) {
  if (s.bFailed) return false;
  std::string wire;
  if (ScanPeek(s, '"') || ScanPeek(s, '{')) {
    if (!ScanString(s, wire, "mailbox pattern")) return false;
  } else {
    size_t start = s.At;
    while (s.At < s.Text.size() && IsListChar(s.Text[s.At])) ++s.At;
    if (s.At == start) return ScanFail(s, "Expected mailbox pattern");
    wire.assign(s.Text.substr(start, s.At - start));
  }
  ImapError error;
  if (!DecodeName(wire, rev2, pattern, error)) return ScanFail(s, error.Text);
  return true;
}

bool MatchListPattern(std::string_view pattern, std::string_view name) {
  // The name's INBOX (its first five bytes) matches in any case.
  size_t inboxBytes = StartsWithInbox(name) ? 5 : 0;
  // row[j]: the pattern so far matches the first j bytes of the name.
  std::vector<char> row(name.size() + 1, 0), next(name.size() + 1, 0);
  row[0] = 1;
  for (char p : pattern) {
    bool wild = p == '*' || p == '%';
    next[0] = wild && row[0];
    for (size_t j = 1; j <= name.size(); ++j) {
      char c = name[j - 1];
      if (p == '*')
        next[j] = row[j] || next[j - 1];
      else if (p == '%')
        next[j] = row[j] || (next[j - 1] && c != kImapDelimiter);
      else
        next[j] = row[j - 1] && (j <= inboxBytes ? LowerAscii(c) == LowerAscii(p) : c == p);
    }
    row.swap(next);
  }
  return row[name.size()] != 0;
}

std::string CombineListReference(std::string_view reference, std::string_view pattern) {
  if (!pattern.empty() && pattern[0] == kImapDelimiter) return std::string(pattern);
  std::string out(reference);
  out.append(pattern);
  return out;
}

bool ScanSeqSet(ImapScanner &s, ImapSeqSet &set, bool bAllowSaved, std::string_view what) {
  set.Ranges.clear();
  set.bSaved = false;
  if (s.bFailed) return false;
  if (bAllowSaved && ScanOptional(s, '$')) {
    set.bSaved = true;
    return true;
  }
  do {
    if (set.Ranges.size() == kMaxSeqRanges) return ScanFail(s, "Too many ranges in the " + std::string(what));
    ImapRange r;
    if (!ScanOptional(s, '*') && !ScanNzNumber(s, r.First, what)) return false;
    r.Last = r.First;
    if (ScanOptional(s, ':')) {
      r.Last = kSeqStar;
      if (!ScanOptional(s, '*') && !ScanNzNumber(s, r.Last, what)) return false;
    }
    set.Ranges.push_back(r);
  } while (ScanOptional(s, ','));
  return true;
}

std::vector<ImapRange> NormalizeSeqSet(const ImapSeqSet &set, uint32_t largest) {
  std::vector<ImapRange> out;
  out.reserve(set.Ranges.size());
  for (ImapRange r : set.Ranges) {
    if (r.First == kSeqStar) r.First = largest;
    if (r.Last == kSeqStar) r.Last = largest;
    if (r.First > r.Last) std::swap(r.First, r.Last);
    if (r.Last == 0) continue;
    r.First = std::max<uint32_t>(r.First, 1);
    out.push_back(r);
  }
  std::sort(out.begin(), out.end(),
            [](const ImapRange &a, const ImapRange &b) { return a.First < b.First; });
  size_t kept = 0;
  for (const ImapRange &r : out) {
    if (kept > 0 && static_cast<uint64_t>(r.First) <= static_cast<uint64_t>(out[kept - 1].Last) + 1)
      out[kept - 1].Last = std::max(out[kept - 1].Last, r.Last);
    else
      out[kept++] = r;
  }
  out.resize(kept);
  return out;
}

bool RangesContain(const std::vector<ImapRange> &ranges, uint32_t n) {
  auto it = std::upper_bound(ranges.begin(), ranges.end(), n,
                             [](uint32_t v, const ImapRange &r) { return v < r.First; });
  return it != ranges.begin() && n <= (it - 1)->Last;
}

std::string_view SystemFlagName(unsigned bit) {
  switch (bit) {
    case kFlagSeen: return "\\Seen";
    case kFlagAnswered: return "\\Answered";
    case kFlagFlagged: return "\\Flagged";
    case kFlagDeleted: return "\\Deleted";
    case kFlagDraft: return "\\Draft";
  }
  return {};
}

bool ScanFlag(ImapScanner &s, ImapFlags &flags) {
  if (s.bFailed) return false;
  std::string_view atom;
  if (ScanOptional(s, '\\')) {
    if (ScanOptional(s, '*')) return ScanFail(s, "\\* is not a flag");
    if (!ScanAtom(s, atom, "flag name after \"\\\"")) return false;
    if (EqualsNoCase(atom, "Recent")) return ScanFail(s, "\\Recent cannot be set");
    for (unsigned bit = kFlagSeen; bit <= kFlagDraft; bit <<= 1)
      if (EqualsNoCase(atom, SystemFlagName(bit).substr(1))) {
        flags.System |= bit;
        return true;
      }
    return ScanFail(s, "Unknown system flag \\" + std::string(atom.substr(0, 40)));
  }
  if (!ScanAtom(s, atom, "flag")) return false;
  if (atom.size() > kMaxKeywordLength) return ScanFail(s, "Keyword too long");
  for (const std::string &k : flags.Keywords)
    if (EqualsNoCase(k, atom)) return true;
  if (flags.Keywords.size() == kMaxFlagsInList) return ScanFail(s, "Too many keywords");
  flags.Keywords.emplace_back(atom);
  return true;
}

bool ScanFlagList(ImapScanner &s, ImapFlags &flags) {
  if (!ScanChar(s, '(', "flag list")) return false;
  if (ScanOptional(s, ')')) return true;
  do {
    if (!ScanFlag(s, flags)) return false;
  } while (ScanOptional(s, ' '));
  return ScanChar(s, ')', "\")\" to end the flag list");
}

bool ScanDate(ImapScanner &s, ImapDate &date) {
  bool quoted = ScanOptional(s, '"');
  if (!quoted && ScanPeek(s, ' ')) return ScanFail(s, "Expected date");
  if (!ScanDayMonthYear(s, date)) return false;
  return !quoted || ScanChar(s, '"', "closing quote of the date");
}

int64_t DaysSinceEpoch(const ImapDate &date) {
  // Days from civil (proleptic Gregorian), eras of 400 years.
  int64_t y = date.Year - (date.Month <= 2 ? 1 : 0);
  int64_t era = (y >= 0 ? y : y - 399) / 400;
  int64_t yoe = y - era * 400;
  int64_t mp = (date.Month + 9) % 12;
  int64_t doy = (153 * mp + 2) / 5 + date.Day - 1;
  int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

ImapDate DateFromDays(int64_t days) {
  // Civil from days, the inverse of DaysSinceEpoch.
  int64_t z = days + 719468;
  int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  int64_t doe = z - era * 146097;
  int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  int64_t mp = (5 * doy + 2) / 153;
  ImapDate date;
  date.Day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  date.Month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  date.Year = static_cast<int>(yoe + era * 400 + (date.Month <= 2 ? 1 : 0));
  return date;
}

bool ScanDateTime(ImapScanner &s, int64_t &utcSeconds, int &zoneMinutes) {
  ImapDate date;
  int h = 0, m = 0, sec = 0, zh = 0, zm = 0;
  if (!ScanChar(s, '"', "date-time") || !ScanDayMonthYear(s, date) || !ScanSp(s, "the time") ||
      !ScanFixedDigits(s, 2, h, "hour") || !ScanChar(s, ':', "\":\" in the time") ||
      !ScanFixedDigits(s, 2, m, "minute") || !ScanChar(s, ':', "\":\" in the time") ||
      !ScanFixedDigits(s, 2, sec, "second") || !ScanSp(s, "the zone"))
    return false;
  int sign = ScanOptional(s, '+') ? 1 : ScanOptional(s, '-') ? -1 : 0;
  if (sign == 0) return ScanFail(s, "Invalid zone in the date-time");
  if (!ScanFixedDigits(s, 2, zh, "zone") || !ScanFixedDigits(s, 2, zm, "zone") ||
      !ScanChar(s, '"', "closing quote of the date-time"))
    return false;
  if (h > 23 || m > 59 || sec > 60 || zh * 60 + zm > kMaxZoneMinutes || zm > 59)
    return ScanFail(s, "Invalid time in the date-time");
  zoneMinutes = sign * (zh * 60 + zm);
  utcSeconds = DaysSinceEpoch(date) * 86400 + h * 3600 + m * 60 + sec - zoneMinutes * 60;
  return true;
}
