// sievedate: RFC 5322 dates and RFC 5260 date parts. See sievedate.h.
#include "common/sievedate.h"

#include <cstdio>

#include "platform/ascii.h"

namespace {

// A year the parts can print in four digits and the arithmetic holds.
constexpr int kMinYear = 1;
constexpr int kMaxYear = 9999;
// The Modified Julian Day of 1970-01-01 (RFC 5260's "julian" part).
constexpr int64_t kMjdOfEpoch = 40587;

// Days since 1970-01-01 of a civil date (proleptic Gregorian).
int64_t DaysFromCivil(int64_t y, int m, int d) {
  y -= m <= 2;
  int64_t era = (y >= 0 ? y : y - 399) / 400;
  int64_t yoe = y - era * 400;
  int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

void CivilFromDays(int64_t z, int64_t *y, int *m, int *d) {
  z += 719468;
  int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  int64_t doe = z - era * 146097;
  int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  int64_t mp = (5 * doy + 2) / 153;
  *d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  *m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  *y = yoe + era * 400 + (*m <= 2);
}

int DaysInMonth(int64_t y, int m) {
  static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
  return m == 2 && leap ? 29 : kDays[m - 1];
}

constexpr std::string_view kMonths[] = {"jan", "feb", "mar", "apr", "may", "jun",
                                        "jul", "aug", "sep", "oct", "nov", "dec"};
constexpr std::string_view kWeekdays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};

// The pieces of a date value: words, numbers (with the sign a zone has),
// and the colons of the time; comments and other punctuation are skipped.
struct DateScanner {
  std::string_view v;
  size_t pos = 0;

  void Skip() {
    int depth = 0;
    while (pos < v.size()) {
      char c = v[pos];
      if (c == '(') ++depth;
      else if (c == ')' && depth > 0) --depth;
      else if (depth == 0 && (IsDigit(c) || IsAlpha(c) || c == '+' || c == '-' || c == ':')) return;
      ++pos;
    }
  }
  static bool IsDigit(char c) { return c >= '0' && c <= '9'; }
  static bool IsAlpha(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
  std::string_view Word() {
    Skip();
    size_t start = pos;
    while (pos < v.size() && IsAlpha(v[pos])) ++pos;
    return v.substr(start, pos - start);
  }
  // Digits (at most 9 taken); -1 when there are none here.
  int Number(size_t *len = nullptr) {
    Skip();
    size_t start = pos;
    int n = 0;
    while (pos < v.size() && IsDigit(v[pos]) && pos - start < 9) n = n * 10 + (v[pos++] - '0');
    if (len != nullptr) *len = pos - start;
    return pos == start ? -1 : n;
  }
  bool Colon() {
    Skip();
    if (pos < v.size() && v[pos] == ':') {
      ++pos;
      return true;
    }
    return false;
  }
};

// The zone: "+hhmm" or "-hhmm", or an obsolete name (RFC 5322 4.3; the
// military letters and unknown names mean -0000, an unknown offset).
bool ReadZone(DateScanner &s, int *minutes) {
  s.Skip();
  if (s.pos < s.v.size() && (s.v[s.pos] == '+' || s.v[s.pos] == '-')) {
    size_t start = s.pos;
    size_t end = start + 1;
    while (end < s.v.size() && DateScanner::IsDigit(s.v[end])) ++end;
    s.pos = end;
    return SieveParseZone(s.v.substr(start, end - start), minutes);
  }
  static constexpr std::pair<std::string_view, int> kNames[] = {
      {"ut", 0}, {"gmt", 0}, {"z", 0}, {"est", -300}, {"edt", -240}, {"cst", -360},
      {"cdt", -300}, {"mst", -420}, {"mdt", -360}, {"pst", -480}, {"pdt", -420}};
  std::string_view word = s.Word();
  *minutes = 0;
  for (const auto &[name, offset] : kNames) {
    if (EqualsNoCase(word, name)) *minutes = offset;
  }
  return true;   // a missing or unknown zone reads as UTC
}

void Append2(std::string *out, int n) {
  char buf[16];
  snprintf(buf, sizeof buf, "%02d", n % 100);
  out->append(buf);
}

}  // namespace

bool SieveParseZone(std::string_view text, int *minutes) {
  if (text.size() != 5 || (text[0] != '+' && text[0] != '-')) return false;
  for (size_t i = 1; i < 5; ++i) {
    if (!DateScanner::IsDigit(text[i])) return false;
  }
  int hh = (text[1] - '0') * 10 + (text[2] - '0');
  int mm = (text[3] - '0') * 10 + (text[4] - '0');
  if (mm > 59) return false;
  *minutes = (text[0] == '-' ? -1 : 1) * (hh * 60 + mm);
  return true;
}

bool SieveParseDate(std::string_view value, SieveDateTime *out) {
  DateScanner s{value};
  size_t save = s.pos;
  std::string_view word = s.Word();   // the day of the week, if written
  if (word.empty()) s.pos = save;
  size_t yearLen = 0;
  int day = s.Number();
  std::string_view monthName = s.Word();
  int64_t year = s.Number(&yearLen);
  int month = 0;
  for (size_t i = 0; i < std::size(kMonths); ++i) {
    if (EqualsNoCase(monthName, kMonths[i])) month = static_cast<int>(i) + 1;
  }
  if (day < 1 || month == 0 || year < 0) return false;
  if (yearLen == 2) year += year < 50 ? 2000 : 1900;
  else if (yearLen == 3) year += 1900;
  if (year < kMinYear || year > kMaxYear || day > DaysInMonth(year, month)) return false;
  int hour = s.Number();
  if (hour < 0 || hour > 23 || !s.Colon()) return false;
  int minute = s.Number();
  if (minute < 0 || minute > 59) return false;
  int second = 0;
  if (s.Colon()) second = s.Number();
  if (second < 0 || second > 60) return false;   // 60: a leap second
  int zone = 0;
  if (!ReadZone(s, &zone)) return false;
  if (second == 60) second = 59;
  out->ZoneMinutes = zone;
  out->Epoch = DaysFromCivil(year, month, day) * 86400 + hour * 3600 + minute * 60 + second - zone * 60;
  return true;
}

bool SieveIsDatePart(std::string_view part) {
  static constexpr std::string_view kParts[] = {"year", "month", "day", "date", "julian", "hour", "minute",
                                                "second", "time", "iso8601", "std11", "zone", "weekday"};
  for (std::string_view p : kParts) {
    if (EqualsNoCase(part, p)) return true;
  }
  return false;
}

bool SieveDatePart(const SieveDateTime &when, std::string_view partName, std::string *out) {
  std::string part = LowerAsciiCopy(partName);
  int64_t local = when.Epoch + when.ZoneMinutes * 60;
  int64_t days = local >= 0 ? local / 86400 : -((-local + 86399) / 86400);
  int64_t secs = local - days * 86400;
  int64_t y;
  int m, d;
  CivilFromDays(days, &y, &m, &d);
  int hh = static_cast<int>(secs / 3600), mi = static_cast<int>(secs / 60 % 60), ss = static_cast<int>(secs % 60);
  int z = when.ZoneMinutes < 0 ? -when.ZoneMinutes : when.ZoneMinutes;
  std::string zone(1, when.ZoneMinutes < 0 ? '-' : '+');
  Append2(&zone, z / 60);
  Append2(&zone, z % 60);
  char buf[64];
  out->clear();
  if (part == "year") {
    snprintf(buf, sizeof buf, "%04lld", static_cast<long long>(y));
  } else if (part == "month") {
    snprintf(buf, sizeof buf, "%02d", m);
  } else if (part == "day") {
    snprintf(buf, sizeof buf, "%02d", d);
  } else if (part == "date") {
    snprintf(buf, sizeof buf, "%04lld-%02d-%02d", static_cast<long long>(y), m, d);
  } else if (part == "julian") {
    snprintf(buf, sizeof buf, "%lld", static_cast<long long>(days + kMjdOfEpoch));
  } else if (part == "hour") {
    snprintf(buf, sizeof buf, "%02d", hh);
  } else if (part == "minute") {
    snprintf(buf, sizeof buf, "%02d", mi);
  } else if (part == "second") {
    snprintf(buf, sizeof buf, "%02d", ss);
  } else if (part == "time") {
    snprintf(buf, sizeof buf, "%02d:%02d:%02d", hh, mi, ss);
  } else if (part == "iso8601") {
    snprintf(buf, sizeof buf, "%04lld-%02d-%02dT%02d:%02d:%02d%c%02d:%02d", static_cast<long long>(y), m, d, hh,
             mi, ss, zone[0], z / 60, z % 60);
  } else if (part == "std11") {
    snprintf(buf, sizeof buf, "%s, %d %s %04lld %02d:%02d:%02d %s",
             std::string(kWeekdays[((days % 7) + 11) % 7]).c_str(), d, std::string(kMonths[m - 1]).c_str(),
             static_cast<long long>(y), hh, mi, ss, zone.c_str());
    buf[sizeof buf - 1] = 0;
    std::string s = buf;
    size_t mon = s.find(' ', s.find(' ') + 1) + 1;
    s[mon] = UpperAscii(s[mon]);   // "Jan", as RFC 5322 writes it
    *out = s;
    return true;
  } else if (part == "zone") {
    *out = zone;
    return true;
  } else if (part == "weekday") {
    snprintf(buf, sizeof buf, "%lld", static_cast<long long>(((days % 7) + 11) % 7));
  } else {
    return false;
  }
  out->assign(buf);
  return true;
}
