// sievematch: comparators, match types, relational tests and address parts.
// See sievematch.h.
#include "common/sievematch.h"

#include <algorithm>
#include <functional>

#include "platform/ascii.h"
#include "platform/charset.h"

namespace {

bool IsAsciiDigitChar(char c) { return c >= '0' && c <= '9'; }

// i;ascii-numeric reads the leading digits; a value without any is
// positive infinity (RFC 4790 9.1.1), equal to every other infinity.
struct Numeric {
  bool bInfinite = true;
  std::string_view Digits;   // without leading zeros
};

Numeric ReadNumeric(std::string_view text) {
  Numeric n;
  size_t end = 0;
  while (end < text.size() && IsAsciiDigitChar(text[end])) ++end;
  if (end == 0) return n;
  n.bInfinite = false;
  size_t start = 0;
  while (start + 1 < end && text[start] == '0') ++start;
  n.Digits = text.substr(start, end - start);
  return n;
}

int CompareNumeric(std::string_view a, std::string_view b) {
  Numeric x = ReadNumeric(a), y = ReadNumeric(b);
  if (x.bInfinite || y.bInfinite) return (x.bInfinite ? 1 : 0) - (y.bInfinite ? 1 : 0);
  if (x.Digits.size() != y.Digits.size()) return x.Digits.size() < y.Digits.size() ? -1 : 1;
  int c = x.Digits.compare(y.Digits);
  return c < 0 ? -1 : c > 0;
}

int CompareCasemap(std::string_view a, std::string_view b) {
  size_t n = std::min(a.size(), b.size());
  for (size_t i = 0; i < n; ++i) {
    unsigned char x = static_cast<unsigned char>(UpperAscii(a[i]));
    unsigned char y = static_cast<unsigned char>(UpperAscii(b[i]));
    if (x != y) return x < y ? -1 : 1;
  }
  return a.size() == b.size() ? 0 : a.size() < b.size() ? -1 : 1;
}

int Compare(SieveComparator c, std::string_view a, std::string_view b) {
  switch (c) {
    case SieveComparator::Numeric: return CompareNumeric(a, b);
    case SieveComparator::Casemap: return CompareCasemap(a, b);
    case SieveComparator::Octet: break;
  }
  int r = a.compare(b);
  return r < 0 ? -1 : r > 0;
}

bool Holds(SieveRelation rel, int c) {
  switch (rel) {
    case SieveRelation::Gt: return c > 0;
    case SieveRelation::Ge: return c >= 0;
    case SieveRelation::Lt: return c < 0;
    case SieveRelation::Le: return c <= 0;
    case SieveRelation::Eq: return c == 0;
    case SieveRelation::Ne: return c != 0;
  }
  return false;
}

bool SameByte(SieveComparator c, char a, char b) {
  return c == SieveComparator::Casemap ? LowerAscii(a) == LowerAscii(b) : a == b;
}

// The length of the character "?" takes at value[pos]: a UTF-8 character
// under i;ascii-casemap (its text is characters), one octet under i;octet.
size_t CharLength(SieveComparator c, std::string_view value, size_t pos) {
  if (c != SieveComparator::Casemap) return 1;
  size_t next = pos;
  NextUtf8(value, &next);
  return next - pos;
}

struct PatternItem {
  enum Kind : uint8_t { Literal, One, Any } What;
  char Byte;
};

std::vector<PatternItem> CompilePattern(std::string_view key) {
  std::vector<PatternItem> items;
  items.reserve(key.size());
  for (size_t i = 0; i < key.size(); ++i) {
    char c = key[i];
    if (c == '\\' && i + 1 < key.size()) {
      items.push_back({PatternItem::Literal, key[++i]});
    } else if (c == '*') {
      items.push_back({PatternItem::Any, 0});
    } else if (c == '?') {
      items.push_back({PatternItem::One, 0});
    } else {
      items.push_back({PatternItem::Literal, c});
    }
  }
  return items;
}

// The wildcard match without recursion: on a mismatch only the last "*"
// seen grows by one character, which finds a match when there is one and
// leaves every earlier "*" as short as it can be.
bool Wildcard(SieveComparator cmp, std::string_view value, std::string_view key,
              std::vector<std::string> *captures, uint64_t *budget) {
  std::vector<PatternItem> pat = CompilePattern(key);
  // Each wildcard's start and end in value, in pattern order.
  std::vector<std::pair<size_t, size_t>> spans;
  std::vector<size_t> wildcardAt(pat.size() + 1, 0);   // wildcard ordinal of pattern item i
  size_t ordinal = 0;
  for (size_t i = 0; i < pat.size(); ++i) {
    wildcardAt[i] = ordinal;
    if (pat[i].What != PatternItem::Literal) ++ordinal;
  }
  spans.resize(ordinal);
  size_t p = 0, v = 0;
  size_t starP = SIZE_MAX, starV = 0;
  while (v < value.size() || p < pat.size()) {
    if (*budget == 0) return false;
    --*budget;
    if (p < pat.size()) {
      const PatternItem &it = pat[p];
      if (it.What == PatternItem::Any) {
        starP = p;
        starV = v;
        spans[wildcardAt[p]] = {v, v};
        ++p;
        continue;
      }
      if (v < value.size()) {
        if (it.What == PatternItem::One) {
          size_t len = CharLength(cmp, value, v);
          spans[wildcardAt[p]] = {v, v + len};
          v += len;
          ++p;
          continue;
        }
        if (SameByte(cmp, it.Byte, value[v])) {
          ++v;
          ++p;
          continue;
        }
      }
    }
    if (starP == SIZE_MAX || starV >= value.size()) return false;
    starV += CharLength(cmp, value, starV);
    spans[wildcardAt[starP]].second = starV;
    p = starP + 1;
    v = starV;
  }
  if (captures != nullptr) {
    captures->clear();
    captures->emplace_back(value);
    for (size_t i = 0; i < spans.size() && captures->size() < kSieveMatchVariables; ++i) {
      captures->emplace_back(value.substr(spans[i].first, spans[i].second - spans[i].first));
    }
  }
  return true;
}

bool Contains(SieveComparator cmp, std::string_view value, std::string_view key, uint64_t *budget) {
  uint64_t cost = value.size() + key.size();
  if (*budget < cost) {
    *budget = 0;
    return false;
  }
  *budget -= cost;
  if (cmp != SieveComparator::Casemap) {
    return std::search(value.begin(), value.end(), std::boyer_moore_horspool_searcher(key.begin(), key.end())) !=
           value.end();
  }
  std::string v = LowerAsciiCopy(value), k = LowerAsciiCopy(key);
  return std::search(v.begin(), v.end(), std::boyer_moore_horspool_searcher(k.begin(), k.end())) != v.end();
}

}  // namespace

bool SieveComparatorByName(std::string_view name, SieveComparator *out) {
  if (name == "i;octet") {
    *out = SieveComparator::Octet;
  } else if (name == "i;ascii-casemap") {
    *out = SieveComparator::Casemap;
  } else if (name == "i;ascii-numeric") {
    *out = SieveComparator::Numeric;
  } else {
    return false;
  }
  return true;
}

bool SieveRelationByName(std::string_view name, SieveRelation *out) {
  static constexpr std::pair<std::string_view, SieveRelation> kNames[] = {
      {"gt", SieveRelation::Gt}, {"ge", SieveRelation::Ge}, {"lt", SieveRelation::Lt},
      {"le", SieveRelation::Le}, {"eq", SieveRelation::Eq}, {"ne", SieveRelation::Ne}};
  for (const auto &[text, rel] : kNames) {
    if (EqualsNoCase(name, text)) {
      *out = rel;
      return true;
    }
  }
  return false;
}

bool SieveMatchValue(const SieveMatchSpec &spec, std::string_view value, std::string_view key,
                     std::vector<std::string> *captures, uint64_t *budget) {
  if (*budget == 0) return false;
  --*budget;
  switch (spec.Type) {
    case SieveMatchType::Is: return Compare(spec.Comparator, value, key) == 0;
    case SieveMatchType::Contains: return Contains(spec.Comparator, value, key, budget);
    case SieveMatchType::Matches: return Wildcard(spec.Comparator, value, key, captures, budget);
    case SieveMatchType::Value: return Holds(spec.Relation, Compare(spec.Comparator, value, key));
    case SieveMatchType::Count: break;
  }
  return false;
}

bool SieveMatchCount(const SieveMatchSpec &spec, size_t count, std::string_view key) {
  return Holds(spec.Relation, Compare(spec.Comparator, std::to_string(count), key));
}

std::string SieveQuoteWildcard(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    if (c == '*' || c == '?' || c == '\\') out.push_back('\\');
    out.push_back(c);
  }
  return out;
}

bool SieveAddressPartOf(std::string_view address, SieveAddressPart part, std::string_view delimiter,
                        std::string *out) {
  size_t at = address.rfind('@');
  std::string_view local = at == std::string_view::npos ? address : address.substr(0, at);
  std::string_view domain = at == std::string_view::npos ? std::string_view() : address.substr(at + 1);
  size_t cut = delimiter.empty() ? std::string_view::npos : local.find(delimiter);
  switch (part) {
    case SieveAddressPart::All: out->assign(address); return true;
    case SieveAddressPart::LocalPart: out->assign(local); return true;
    case SieveAddressPart::Domain: out->assign(domain); return true;
    case SieveAddressPart::User: out->assign(local.substr(0, cut)); return true;
    case SieveAddressPart::Detail:
      if (cut == std::string_view::npos) return false;
      out->assign(local.substr(cut + delimiter.size()));
      return true;
  }
  return false;
}
