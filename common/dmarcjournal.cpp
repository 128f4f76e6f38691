// dmarcjournal: see dmarcjournal.h.
//
// A record is one line of tab-separated fields, in this order: the format's
// tag "D1", time, source address, header-from domain, disposition, DKIM and
// SPF alignment (pass|fail), the record's domain, p, sp, pct, adkim, aspf
// (r|s), the rua= URIs ("," between them), the SPF scope (mfrom|helo), its
// result and domain, and the DKIM results ("d:s:result", "," between them).
// An empty list or domain is "-".
#include "common/dmarcjournal.h"

#include <algorithm>
#include <cstdio>

#include "common/str.h"
#include "platform/ascii.h"
#include "platform/files.h"

namespace {

constexpr std::string_view kTag = "D1";
constexpr size_t kFieldCount = 18;
constexpr char kFieldSep = '\t';
constexpr char kListSep = ',';
constexpr std::string_view kEmpty = "-";
// An address's text: "ffff:...:255.255.255.255" is 45 characters.
constexpr size_t kMaxAddressText = 45;
// Times before 2000 or after 2200 are no time of ours.
constexpr long long kMinTime = 946684800, kMaxTime = 7258118400;

constexpr const char *kSpfWords[] = {"none",     "neutral",   "pass",     "fail",
                                     "softfail", "temperror", "permerror"};
constexpr const char *kDkimWords[] = {"pass",      "fail",      "neutral",
                                      "temperror", "permerror", "policy"};
constexpr const char *kPolicyWords[] = {"none", "quarantine", "reject"};

bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool IsXDigit(char c) { return IsDigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

// Splits text at sep into at most max + 1 pieces (one more than allowed
// shows as too many).
std::vector<std::string_view> Split(std::string_view text, char sep, size_t max) {
  std::vector<std::string_view> parts;
  for (;;) {
    size_t at = text.find(sep);
    parts.push_back(text.substr(0, at));
    if (at == std::string_view::npos || parts.size() > max) return parts;
    text.remove_prefix(at + 1);
  }
}

template <size_t N>
int WordIndex(std::string_view word, const char *const (&words)[N]) {
  for (size_t i = 0; i < N; ++i)
    if (word == words[i]) return static_cast<int>(i);
  return -1;
}

bool IsDomain(std::string_view text) { return !text.empty() && AuthPropertyValue(text) == text; }

bool IsAddress(std::string_view text) {
  return !text.empty() && text.size() <= kMaxAddressText &&
         std::all_of(text.begin(), text.end(),
                     [](char c) { return IsXDigit(c) || c == ':' || c == '.'; });
}

// A rua= URI the journal can hold: printable ASCII, no list separator.
bool IsJournalUri(std::string_view uri) {
  return !uri.empty() && uri.size() <= kMaxRuaUri &&
         std::all_of(uri.begin(), uri.end(),
                     [](char c) { return c > ' ' && c < 0x7f && c != kListSep; });
}

std::string JoinOrEmpty(const std::vector<std::string> &items) {
  if (items.empty()) return std::string(kEmpty);
  std::string out;
  for (const std::string &item : items) out += (out.empty() ? "" : ",") + item;
  return out;
}

DmarcPolicy PolicyWord(int index) {
  return index == 2   ? DmarcPolicy::kReject
         : index == 1 ? DmarcPolicy::kQuarantine
                      : DmarcPolicy::kNone;
}

bool ParseRua(std::string_view field, std::vector<std::string> *rua) {
  if (field == kEmpty) return true;
  for (std::string_view uri : Split(field, kListSep, kMaxRuaUris)) {
    if (!IsJournalUri(uri) || rua->size() == kMaxRuaUris) return false;
    rua->emplace_back(uri);
  }
  return true;
}

bool ParseDkim(std::string_view field, std::vector<DmarcDkimResult> *dkim) {
  if (field == kEmpty) return true;
  for (std::string_view item : Split(field, kListSep, kMaxDkimSignatures)) {
    std::vector<std::string_view> parts = Split(item, ':', 3);
    if (parts.size() != 3 || dkim->size() == kMaxDkimSignatures || !IsDomain(parts[0]) ||
        (!parts[1].empty() && !IsDomain(parts[1])) || WordIndex(parts[2], kDkimWords) < 0)
      return false;
    dkim->push_back({std::string(parts[0]), std::string(parts[1]), std::string(parts[2])});
  }
  return true;
}

bool ParsePolicy(const std::vector<std::string_view> &f, DmarcPublished *p) {
  int pWord = WordIndex(f[8], kPolicyWords), spWord = WordIndex(f[9], kPolicyWords);
  bool alignWords = (f[11] == "r" || f[11] == "s") && (f[12] == "r" || f[12] == "s");
  if (!IsDomain(f[7]) || pWord < 0 || spWord < 0 || !alignWords || f[10].empty() ||
      f[10].size() > 3 || !std::all_of(f[10].begin(), f[10].end(), IsDigit))
    return false;
  p->bFound = true;
  p->Domain = std::string(f[7]);
  p->P = PolicyWord(pWord);
  p->Sp = PolicyWord(spWord);
  p->Pct = static_cast<int>(LeadingInteger(f[10], 0, 100));
  p->bStrictDkim = f[11] == "s";
  p->bStrictSpf = f[12] == "s";
  p->bDkimAligned = f[5] == "pass";
  p->bSpfAligned = f[6] == "pass";
  return ParseRua(f[13], &p->Rua);
}

long long DaysFromCivil(long long y, unsigned m, unsigned d) {
  y -= m <= 2;
  const long long era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<long long>(doe) - 719468;
}

}  // namespace

const char *DmarcDispositionName(DmarcDisposition disposition) {
  return kPolicyWords[static_cast<int>(disposition)];
}

bool DmarcEvaluationOf(const ArrivalChecks &checks, const ArrivalClient &client,
                       ArrivalVerdict verdict, long long now, DmarcEvaluation *out) {
  if (!checks.Published.bFound || verdict == ArrivalVerdict::kTempFail ||
      !IsDomain(checks.Published.Domain) || !IsDomain(checks.FromDomain) ||
      !IsAddress(client.Address))
    return false;
  *out = DmarcEvaluation{};
  out->Time = now;
  out->SourceIp = client.Address;
  out->HeaderFrom = checks.FromDomain;
  out->Disposition = verdict == ArrivalVerdict::kReject ? DmarcDisposition::kReject
                     : verdict == ArrivalVerdict::kJunk ? DmarcDisposition::kQuarantine
                                                        : DmarcDisposition::kNone;
  out->Policy = checks.Published;
  out->Policy.Rua.clear();
  for (const std::string &uri : checks.Published.Rua)
    if (IsJournalUri(uri)) out->Policy.Rua.push_back(uri);
  out->SpfDomain = AuthPropertyValue(checks.SpfDomain);
  out->bSpfHelo = checks.bSpfHelo;
  out->SpfResult = SpfResultName(checks.Spf);
  for (const DkimCheck &d : checks.Dkim) {
    std::string domain = AuthPropertyValue(d.Domain);
    if (!domain.empty())
      out->Dkim.push_back({domain, AuthPropertyValue(d.Selector), DkimResultName(d.Result)});
  }
  return true;
}

std::string FormatDmarcRecord(const DmarcEvaluation &e) {
  const DmarcPublished &p = e.Policy;
  std::vector<std::string> dkim;
  for (const DmarcDkimResult &d : e.Dkim)
    dkim.push_back(d.Domain + ":" + d.Selector + ":" + d.Result);
  std::vector<std::string> fields = {std::string(kTag),
                                     std::to_string(e.Time),
                                     e.SourceIp,
                                     e.HeaderFrom,
                                     DmarcDispositionName(e.Disposition),
                                     p.bDkimAligned ? "pass" : "fail",
                                     p.bSpfAligned ? "pass" : "fail",
                                     p.Domain,
                                     DmarcPolicyName(p.P),
                                     DmarcPolicyName(p.Sp),
                                     std::to_string(p.Pct),
                                     p.bStrictDkim ? "s" : "r",
                                     p.bStrictSpf ? "s" : "r",
                                     JoinOrEmpty(p.Rua),
                                     e.bSpfHelo ? "helo" : "mfrom",
                                     e.SpfResult,
                                     e.SpfDomain.empty() ? std::string(kEmpty) : e.SpfDomain,
                                     JoinOrEmpty(dkim)};
  std::string line;
  for (const std::string &f : fields) line += (line.empty() ? "" : "\t") + f;
  return line + "\n";
}

bool ParseDmarcRecord(std::string_view line, DmarcEvaluation *out) {
  if (line.size() > kMaxDmarcJournalLine) return false;
  std::vector<std::string_view> f = Split(line, kFieldSep, kFieldCount);
  if (f.size() != kFieldCount || f[0] != kTag) return false;
  *out = DmarcEvaluation{};
  bool timeDigits =
      !f[1].empty() && f[1].size() <= 12 && std::all_of(f[1].begin(), f[1].end(), IsDigit);
  out->Time = timeDigits ? LeadingInteger(f[1], 0, kMaxTime) : 0;
  int disposition = WordIndex(f[4], kPolicyWords);
  bool aligned = (f[5] == "pass" || f[5] == "fail") && (f[6] == "pass" || f[6] == "fail");
  if (out->Time < kMinTime || !IsAddress(f[2]) || !IsDomain(f[3]) || disposition < 0 || !aligned ||
      !ParsePolicy(f, &out->Policy) || (f[14] != "mfrom" && f[14] != "helo") ||
      WordIndex(f[15], kSpfWords) < 0 || (f[16] != kEmpty && !IsDomain(f[16])) ||
      !ParseDkim(f[17], &out->Dkim))
    return false;
  out->SourceIp = std::string(f[2]);
  out->HeaderFrom = std::string(f[3]);
  out->Disposition = static_cast<DmarcDisposition>(disposition);
  out->bSpfHelo = f[14] == "helo";
  out->SpfResult = std::string(f[15]);
  if (f[16] != kEmpty) out->SpfDomain = std::string(f[16]);
  return true;
}

std::vector<DmarcEvaluation> ParseDmarcJournal(std::string_view text, size_t maxRecords,
                                               size_t *skipped) {
  std::vector<DmarcEvaluation> records;
  *skipped = 0;
  while (!text.empty() && records.size() < maxRecords) {
    size_t nl = text.find('\n');
    // A last line without its end was cut by a crash: not a record.
    std::string_view line = text.substr(0, nl);
    text.remove_prefix(nl == std::string_view::npos ? text.size() : nl + 1);
    DmarcEvaluation e;
    if (nl != std::string_view::npos && ParseDmarcRecord(line, &e))
      records.push_back(std::move(e));
    else
      ++*skipped;
  }
  return records;
}

std::string DmarcDayName(long long epochSeconds) {
  long long z = (epochSeconds >= 0 ? epochSeconds : epochSeconds - 86399) / 86400 + 719468;
  const long long era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  const unsigned d = doy - (153 * mp + 2) / 5 + 1;
  const unsigned m = mp < 10 ? mp + 3 : mp - 9;
  const long long y = static_cast<long long>(yoe) + era * 400 + (m <= 2);
  char buf[32];
  snprintf(buf, sizeof buf, "%04lld%02u%02u", y, m, d);
  return buf;
}

bool DmarcDayStart(std::string_view name, long long *dayStart) {
  if (name.size() < 8 || !std::all_of(name.begin(), name.begin() + 8, IsDigit)) return false;
  long long y = LeadingInteger(name.substr(0, 4), 0, 9999);
  unsigned m = static_cast<unsigned>(LeadingInteger(name.substr(4, 2), 0, 99));
  unsigned d = static_cast<unsigned>(LeadingInteger(name.substr(6, 2), 0, 99));
  if (y < 2000 || m < 1 || m > 12 || d < 1 || d > 31) return false;
  *dayStart = DaysFromCivil(y, m, d) * 86400;
  return DmarcDayName(*dayStart) == name.substr(0, 8);  // no 31 February
}

std::string DmarcJournalPath(const std::string &directory, long long now) {
  return directory + "/" + DmarcDayName(now) + kDmarcJournalExtension;
}

bool AppendDmarcRecord(const std::string &directory, const DmarcEvaluation &evaluation) {
  return AppendToFile(DmarcJournalPath(directory, evaluation.Time), FormatDmarcRecord(evaluation),
                      false);
}
