// imapsearch: see imapsearch.h.
#include "ZELIMAP/imapsearch.h"

#include <algorithm>
#include <memory>

#include "ZELIMAP/imapcmd.h"
#include "ZELIMAP/imapdescribe.h"
#include "ZELIMAP/imapfolder.h"
#include "ZELIMAP/imapparsesearch.h"
#include "ZELIMAP/imapselect.h"
#include "ZELIMAP/imapsession.h"
#include "ZELIMAP/imapwrite.h"
#include "common/mimeheader.h"
#include "common/mimesearch.h"
#include "platform/ascii.h"

namespace {

constexpr int64_t kSecondsPerDay = 86400;

bool IsAsciiDigit(char c) { return c >= '0' && c <= '9'; }
bool IsAsciiAlpha(char c) { return LowerAscii(c) >= 'a' && LowerAscii(c) <= 'z'; }

int64_t DayOf(int64_t seconds) {
  return seconds >= 0 ? seconds / kSecondsPerDay : -((-seconds + kSecondsPerDay - 1) / kSecondsPerDay);
}

// The next token of a date: a run of letters or of digits; comments,
// blanks and punctuation between tokens are skipped. Empty at the end.
std::string_view NextDateToken(std::string_view &v) {
  int depth = 0;
  while (!v.empty()) {
    char c = v.front();
    if (c == '(') ++depth;
    else if (c == ')' && depth > 0) --depth;
    else if (depth == 0 && (IsAsciiAlpha(c) || IsAsciiDigit(c))) break;
    v.remove_prefix(1);
  }
  size_t n = 0;
  bool digits = !v.empty() && IsAsciiDigit(v.front());
  while (n < v.size() && (digits ? IsAsciiDigit(v[n]) : IsAsciiAlpha(v[n]))) ++n;
  std::string_view token = v.substr(0, n);
  v.remove_prefix(n);
  return token;
}

int MonthOf(std::string_view name) {
  static const char *const kMonths[] = {"jan", "feb", "mar", "apr", "may", "jun",
                                        "jul", "aug", "sep", "oct", "nov", "dec"};
  if (name.size() < 3) return 0;
  for (int m = 0; m < 12; ++m)
    if (EqualsNoCase(name.substr(0, 3), kMonths[m])) return m + 1;
  return 0;
}

// One message being searched.
struct Candidate {
  uint32_t Seq = 0;
  MsgMeta Meta;
  bool bGhost = false;
  bool bTried = false, bLoaded = false;
  std::unique_ptr<MessageText> Text;   // made at the first key that needs it
};

struct Search {
  const ImapSearchProgram *Program = nullptr;
  const SelectedView *View = nullptr;
  int Dir = -1;
  uint32_t Count = 0, LargestUid = 0;
  std::vector<uint32_t> Saved;                        // sorted
  std::vector<std::vector<ImapRange>> Ranges;         // per node: its set, normalised
  std::vector<std::unique_ptr<MimeNeedle>> Needles;   // per node: its string
  std::vector<bool> NeedsText;                        // per node

  bool Load(Candidate &m) const {
    if (!m.bTried) {
      m.bTried = true;
      m.Text = std::make_unique<MessageText>();
      m.bLoaded = !m.bGhost && LoadMessageText(Dir, m.Meta.Name, m.Meta.bStuffed, m.Meta.Size,
                                               *m.Text);
    }
    return m.bLoaded;
  }
};

bool HasKeyword(std::string_view keywords, std::string_view word) {
  for (size_t at = 0; at < keywords.size();) {
    size_t end = std::min(keywords.find(' ', at), keywords.size());
    if (EqualsNoCase(keywords.substr(at, end - at), word)) return true;
    at = end + 1;
  }
  return false;
}

bool InSet(const Search &s, uint32_t node, uint32_t number, uint32_t uid) {
  const ImapSearchNode &n = s.Program->Nodes[node];
  if (n.Set.bSaved) return std::binary_search(s.Saved.begin(), s.Saved.end(), uid);
  return RangesContain(s.Ranges[node], number);
}

bool SentDay(const Search &s, Candidate &m, int64_t &day) {
  if (!s.Load(m)) return false;
  const MimePart &top = ParsedTree(*m.Text).Parts[0];
  std::string_view header = m.Text->Text.substr(top.HeaderStart, top.HeaderEnd - top.HeaderStart);
  MimeHeaderField field;
  return MimeFindField(header, "Date", &field) && DateHeaderDay(field.Value, day);
}

bool Matches(const Search &s, uint32_t node, Candidate &m);

bool MatchesText(const Search &s, const ImapSearchNode &n, uint32_t node, Candidate &m) {
  if (!s.Load(m)) return false;
  std::string_view text = m.Text->Text;
  const MimeTree &tree = ParsedTree(*m.Text);
  switch (n.Key) {
    case ImapSearchKey::kHeader:
      return MimeSearchField(text, tree, n.Field, *s.Needles[node]);
    case ImapSearchKey::kBody:
      return MimeSearchMessage(text, tree, MimeSearchScope::Body, *s.Needles[node]);
    default:
      return MimeSearchMessage(text, tree, MimeSearchScope::Text, *s.Needles[node]);
  }
}

// AND: the keys that need no text first.
bool MatchesAll(const Search &s, const ImapSearchNode &n, Candidate &m) {
  for (int pass = 0; pass < 2; ++pass)
    for (uint32_t child : n.Children)
      if (s.NeedsText[child] == (pass == 1) && !Matches(s, child, m)) return false;
  return true;
}

bool Matches(const Search &s, uint32_t node, Candidate &m) {
  const ImapSearchNode &n = s.Program->Nodes[node];
  const MsgMeta &meta = m.Meta;
  bool recent = ViewRecent(*s.View, meta.Uid);
  int64_t day = 0;
  switch (n.Key) {
    case ImapSearchKey::kAll: return true;
    case ImapSearchKey::kAnd: return MatchesAll(s, n, m);
    case ImapSearchKey::kOr:
      return Matches(s, n.Children[0], m) || Matches(s, n.Children[1], m);
    case ImapSearchKey::kNot: return !Matches(s, n.Children[0], m);
    case ImapSearchKey::kSeqSet: return InSet(s, node, m.Seq, meta.Uid);
    case ImapSearchKey::kUidSet: return InSet(s, node, meta.Uid, meta.Uid);
    case ImapSearchKey::kFlag: return ((meta.Flags & n.Flag) != 0) == n.bSet;
    case ImapSearchKey::kKeyword: return HasKeyword(meta.Keywords, n.Value);
    case ImapSearchKey::kUnkeyword: return !HasKeyword(meta.Keywords, n.Value);
    case ImapSearchKey::kNew: return recent && (meta.Flags & kFlagSeen) == 0;
    case ImapSearchKey::kOld: return !recent;
    case ImapSearchKey::kRecent: return recent;
    case ImapSearchKey::kUnrecent: return !recent;
    case ImapSearchKey::kBefore: return DayOf(meta.InternalDate) < n.Days;
    case ImapSearchKey::kOn: return DayOf(meta.InternalDate) == n.Days;
    case ImapSearchKey::kSince: return DayOf(meta.InternalDate) >= n.Days;
    case ImapSearchKey::kSentBefore: return SentDay(s, m, day) && day < n.Days;
    case ImapSearchKey::kSentOn: return SentDay(s, m, day) && day == n.Days;
    case ImapSearchKey::kSentSince: return SentDay(s, m, day) && day >= n.Days;
    case ImapSearchKey::kLarger: return meta.Size > n.Number;
    case ImapSearchKey::kSmaller: return meta.Size < n.Number;
    case ImapSearchKey::kModSeq: return meta.ModSeq >= n.Number;
    case ImapSearchKey::kHeader:
    case ImapSearchKey::kBody:
    case ImapSearchKey::kText: return MatchesText(s, n, node, m);
  }
  return false;
}

// What each node needs, made once: sets, needles, whether a text is read.
void Prepare(Search &s) {
  const std::vector<ImapSearchNode> &nodes = s.Program->Nodes;
  s.Ranges.resize(nodes.size());
  s.Needles.resize(nodes.size());
  s.NeedsText.assign(nodes.size(), false);
  // Children come after their parents: walk backwards to see them first.
  for (size_t i = nodes.size(); i-- > 0;) {
    const ImapSearchNode &n = nodes[i];
    if (n.Key == ImapSearchKey::kSeqSet) s.Ranges[i] = NormalizeSeqSet(n.Set, s.Count);
    if (n.Key == ImapSearchKey::kUidSet) s.Ranges[i] = NormalizeSeqSet(n.Set, s.LargestUid);
    bool text = n.Key == ImapSearchKey::kHeader || n.Key == ImapSearchKey::kBody ||
                n.Key == ImapSearchKey::kText;
    if (text) s.Needles[i] = std::make_unique<MimeNeedle>(n.Value);
    bool sent = n.Key == ImapSearchKey::kSentBefore || n.Key == ImapSearchKey::kSentOn ||
                n.Key == ImapSearchKey::kSentSince;
    bool need = text || sent;
    for (uint32_t child : n.Children) need = need || (child < nodes.size() && s.NeedsText[child]);
    s.NeedsText[i] = need;
  }
}

}  // namespace

bool DateHeaderDay(std::string_view value, int64_t &days) {
  std::string_view v = value;
  std::string_view token = NextDateToken(v);
  // A day name first, when there is one.
  if (!token.empty() && !IsAsciiDigit(token.front())) token = NextDateToken(v);
  if (token.empty() || token.size() > 2 || !IsAsciiDigit(token.front())) return false;
  int day = 0;
  for (char c : token) day = day * 10 + (c - '0');
  int month = MonthOf(NextDateToken(v));
  std::string_view year = NextDateToken(v);
  if (month == 0 || year.empty() || year.size() > 4 || !IsAsciiDigit(year.front())) return false;
  int y = 0;
  for (char c : year) y = y * 10 + (c - '0');
  // The obsolete years: two digits below 50 are this century, others the
  // last; three digits count from 1900.
  if (year.size() == 2) y += y < 50 ? 2000 : 1900;
  else if (year.size() == 3) y += 1900;
  if (day < 1 || day > 31) return false;
  ImapDate date;
  date.Year = y;
  date.Month = month;
  date.Day = day;
  days = DaysSinceEpoch(date);
  return true;
}

ImapGo CmdSearch(_Connection *conn, const ImapCommandView &cmd) {
  SessionConn &s = Sess(conn);
  ImapSearchProgram program;
  ImapError error;
  if (!ParseSearch(cmd.Args, s.bRev2, program, error)) return ImapFailed(conn, cmd.Tag, error);
  if (program.bModSeq) s.bCondStore = true;
  SelectedView &v = *s.View;
  Search search;
  search.Program = &program;
  search.View = &v;
  search.Saved = s.Saved;
  std::sort(search.Saved.begin(), search.Saved.end());
  std::vector<Candidate> candidates;
  {
    SharedFolder &f = *v.Folder;
    std::lock_guard<std::mutex> guard(f.Lock);
    search.Dir = f.Index.Directory();
    candidates.resize(v.Uids.size());
    for (size_t i = 0; i < v.Uids.size(); ++i) {
      const MsgMeta *meta = ViewRow(v, v.Uids[i]);
      candidates[i].Seq = static_cast<uint32_t>(i + 1);
      candidates[i].bGhost = meta == nullptr || v.Ghosts.count(v.Uids[i]) != 0;
      if (meta != nullptr) candidates[i].Meta = *meta;
      candidates[i].Meta.Uid = v.Uids[i];
    }
  }
  search.Count = static_cast<uint32_t>(candidates.size());
  search.LargestUid = v.Uids.empty() ? 0 : v.Uids.back();
  Prepare(search);
  std::vector<uint32_t> found, foundUids;
  uint64_t highest = 0;
  for (Candidate &m : candidates) {
    bool match = Matches(search, 0, m);
    m.Text.reset();   // a text is read once: let it go now
    if (!match) continue;
    found.push_back(cmd.bUid ? m.Meta.Uid : m.Seq);
    foundUids.push_back(m.Meta.Uid);
    highest = std::max(highest, m.Meta.ModSeq);
  }
  if (program.bSave) {
    // With MIN or MAX alone, only those are kept (RFC 5182).
    if ((program.bMin || program.bMax) && !program.bAll && !program.bCount && !foundUids.empty()) {
      std::vector<uint32_t> kept;
      if (program.bMin) kept.push_back(foundUids.front());
      if (program.bMax && foundUids.size() > 1) kept.push_back(foundUids.back());
      foundUids = kept;
    }
    s.Saved = foundUids;
  }
  std::string &out = Imap(conn).Out;
  bool saveOnly = program.bSave && !program.bMin && !program.bMax && !program.bAll &&
                  !program.bCount;
  if (program.bReturn && !saveOnly)
    WriteEsearch(out, cmd.Tag, cmd.bUid, program, found.data(), found.size(), program.bModSeq,
                 highest);
  else if (!program.bReturn)
    WriteSearch(out, found.data(), found.size(), program.bModSeq, highest);
  ImapReply(conn, cmd.Tag, "OK SEARCH completed");
  return ImapGo::kOn;
}
