// imapparsesearch: see imapparsesearch.h.
#include "ZELIMAP/imapparsesearch.h"

#include "ZELIMAP/imapparsecmds.h"
#include "ZELIMAP/imapparseutf7.h"
#include "common/milterresult.h"  // IsHeaderFieldName
#include "platform/ascii.h"

namespace {

using K = ImapSearchKey;

// What follows a key's name.
enum class Arg : uint8_t { kNone, kString, kDate, kNumber, kSet, kKeyword, kHeader, kOneKey, kTwoKeys, kModSeq };

struct KeyDef {
  const char *Name;
  K Key;
  Arg Takes;
  unsigned Flag = 0;            // kFlag: the bit
  bool bSet = true;             // kFlag: set or clear
  const char *Field = nullptr;  // header keys: the field
  bool bRev1Only = false;
};

// The command table of the search keys.
const KeyDef kKeys[] = {
    {"ALL", K::kAll, Arg::kNone},
    {"ANSWERED", K::kFlag, Arg::kNone, kFlagAnswered},
    {"BCC", K::kHeader, Arg::kString, 0, true, "Bcc"},
    {"BEFORE", K::kBefore, Arg::kDate},
    {"BODY", K::kBody, Arg::kString},
    {"CC", K::kHeader, Arg::kString, 0, true, "Cc"},
    {"DELETED", K::kFlag, Arg::kNone, kFlagDeleted},
    {"DRAFT", K::kFlag, Arg::kNone, kFlagDraft},
    {"FLAGGED", K::kFlag, Arg::kNone, kFlagFlagged},
    {"FROM", K::kHeader, Arg::kString, 0, true, "From"},
    {"HEADER", K::kHeader, Arg::kHeader},
    {"KEYWORD", K::kKeyword, Arg::kKeyword},
    {"LARGER", K::kLarger, Arg::kNumber},
    {"MODSEQ", K::kModSeq, Arg::kModSeq},
    {"NEW", K::kNew, Arg::kNone, 0, true, nullptr, true},
    {"NOT", K::kNot, Arg::kOneKey},
    {"OLD", K::kOld, Arg::kNone, 0, true, nullptr, true},
    {"ON", K::kOn, Arg::kDate},
    {"OR", K::kOr, Arg::kTwoKeys},
    {"RECENT", K::kRecent, Arg::kNone, 0, true, nullptr, true},
    {"SEEN", K::kFlag, Arg::kNone, kFlagSeen},
    {"SENTBEFORE", K::kSentBefore, Arg::kDate},
    {"SENTON", K::kSentOn, Arg::kDate},
    {"SENTSINCE", K::kSentSince, Arg::kDate},
    {"SINCE", K::kSince, Arg::kDate},
    {"SMALLER", K::kSmaller, Arg::kNumber},
    {"SUBJECT", K::kHeader, Arg::kString, 0, true, "Subject"},
    {"TEXT", K::kText, Arg::kString},
    {"TO", K::kHeader, Arg::kString, 0, true, "To"},
    {"UID", K::kUidSet, Arg::kSet},
    {"UNANSWERED", K::kFlag, Arg::kNone, kFlagAnswered, false},
    {"UNDELETED", K::kFlag, Arg::kNone, kFlagDeleted, false},
    {"UNDRAFT", K::kFlag, Arg::kNone, kFlagDraft, false},
    {"UNFLAGGED", K::kFlag, Arg::kNone, kFlagFlagged, false},
    {"UNKEYWORD", K::kUnkeyword, Arg::kKeyword},
    {"UNRECENT", K::kUnrecent, Arg::kNone, 0, true, nullptr, true},
    {"UNSEEN", K::kFlag, Arg::kNone, kFlagSeen, false},
};

struct Parse {
  ImapScanner s;
  bool rev2 = false;
  ImapSearchProgram *out = nullptr;
};

bool NewNode(Parse &p, K key, uint32_t &index) {
  if (p.out->Nodes.size() == kMaxSearchNodes) return ScanFail(p.s, "Search program too large");
  index = static_cast<uint32_t>(p.out->Nodes.size());
  p.out->Nodes.emplace_back().Key = key;
  return true;
}

ImapSearchNode &Node(Parse &p, uint32_t index) { return p.out->Nodes[index]; }

bool ScanSearchString(Parse &p, std::string &value) {
  if (!ScanAstring(p.s, value, "search string")) return false;
  return IsUtf8(value) || ScanFail(p.s, "Search string is not UTF-8");
}

// MODSEQ [SP entry-name SP entry-type-req] SP mod-sequence-valzer; the
// entry names a flag ("/flags/\\Seen"), which this server's single
// mod-sequence per message does not tell apart.
bool ScanModSeq(Parse &p, ImapSearchNode &node) {
  if (ScanPeek(p.s, '"')) {
    std::string entry, type;
    if (!ScanString(p.s, entry, "MODSEQ entry name") || !StartsWithNoCase(entry, "/flags/") ||
        entry.size() == 7)
      return ScanFail(p.s, "Invalid MODSEQ entry name");
    if (!ScanSp(p.s, "the entry type") || !ScanWord(p.s, type, "entry type")) return false;
    if (type != "PRIV" && type != "SHARED" && type != "ALL") return ScanFail(p.s, "Invalid MODSEQ entry type");
    if (!ScanSp(p.s, "the mod-sequence")) return false;
  }
  p.out->bModSeq = true;
  return ScanNumber64(p.s, node.Number, "mod-sequence");
}

bool ScanKey(Parse &p, int depth, uint32_t &index);

// The arguments of a key from the table.
bool ScanKeyArgs(Parse &p, int depth, const KeyDef &def, uint32_t index) {
  if (def.Takes == Arg::kNone) return true;
  if (!ScanSp(p.s, std::string("the argument of ") + def.Name)) return false;
  switch (def.Takes) {
    case Arg::kNone: return true;
    case Arg::kString: return ScanSearchString(p, Node(p, index).Value);
    case Arg::kDate: {
      ImapDate date;
      if (!ScanDate(p.s, date)) return false;
      Node(p, index).Days = DaysSinceEpoch(date);
      return true;
    }
    case Arg::kNumber: return ScanNumber64(p.s, Node(p, index).Number, "size");
    case Arg::kSet:
      if (ScanPeek(p.s, '$')) p.out->bSavedUsed = true;
      return ScanSeqSet(p.s, Node(p, index).Set, true, "UID set");
    case Arg::kKeyword: {
      std::string_view atom;
      if (!ScanAtom(p.s, atom, "keyword")) return false;
      if (atom.size() > kMaxKeywordLength) return ScanFail(p.s, "Keyword too long");
      Node(p, index).Value.assign(atom);
      return true;
    }
    case Arg::kHeader: {
      std::string field;
      if (!ScanAstring(p.s, field, "header field name")) return false;
      if (!IsHeaderFieldName(field)) return ScanFail(p.s, "Invalid header field name");
      Node(p, index).Field = std::move(field);
      return ScanSp(p.s, "the header value") && ScanSearchString(p, Node(p, index).Value);
    }
    case Arg::kModSeq: return ScanModSeq(p, Node(p, index));
    case Arg::kOneKey:
    case Arg::kTwoKeys: {
      uint32_t child = 0;
      if (!ScanKey(p, depth + 1, child)) return false;
      Node(p, index).Children.push_back(child);
      if (def.Takes == Arg::kOneKey) return true;
      if (!ScanSp(p.s, "the second key of OR") || !ScanKey(p, depth + 1, child)) return false;
      Node(p, index).Children.push_back(child);
      return true;
    }
  }
  return false;
}

// "(" search-key *(SP search-key) ")".
bool ScanKeyList(Parse &p, int depth, uint32_t index) {
  do {
    uint32_t child = 0;
    if (!ScanKey(p, depth + 1, child)) return false;
    Node(p, index).Children.push_back(child);
  } while (ScanOptional(p.s, ' '));
  return ScanChar(p.s, ')', "\")\" to end the search keys");
}

bool ScanKey(Parse &p, int depth, uint32_t &index) {
  if (p.s.bFailed) return false;
  if (depth > kMaxSearchDepth) return ScanFail(p.s, "Search program nested too deep");
  if (ScanOptional(p.s, '(')) return NewNode(p, K::kAnd, index) && ScanKeyList(p, depth, index);
  char c = p.s.At < p.s.Text.size() ? p.s.Text[p.s.At] : ' ';
  if ((c >= '0' && c <= '9') || c == '*' || c == '$') {
    if (c == '$') p.out->bSavedUsed = true;
    return NewNode(p, K::kSeqSet, index) && ScanSeqSet(p.s, Node(p, index).Set, true, "sequence set");
  }
  std::string word;
  if (!ScanWord(p.s, word, "search key")) return false;
  for (const KeyDef &def : kKeys) {
    if (word != def.Name) continue;
    if (def.bRev1Only && p.rev2) break;
    if (!NewNode(p, def.Key, index)) return false;
    ImapSearchNode &node = Node(p, index);
    node.Flag = def.Flag;
    node.bSet = def.bSet;
    if (def.Field != nullptr) node.Field = def.Field;
    return ScanKeyArgs(p, depth, def, index);
  }
  return ScanFail(p.s, "Unknown search key " + word.substr(0, 40));
}

// RETURN "(" [option *(SP option)] ")"; an empty list means ALL.
bool ScanReturn(Parse &p) {
  ImapSearchProgram &o = *p.out;
  o.bReturn = true;
  if (!ScanSp(p.s, "the return options") || !ScanChar(p.s, '(', "\"(\" before the return options"))
    return false;
  if (ScanOptional(p.s, ')')) {
    o.bAll = true;
    return true;
  }
  do {
    std::string word;
    if (!ScanWord(p.s, word, "return option")) return false;
    bool *flag = word == "MIN" ? &o.bMin : word == "MAX" ? &o.bMax : word == "ALL" ? &o.bAll
                 : word == "COUNT" ? &o.bCount : word == "SAVE" ? &o.bSave : nullptr;
    if (flag == nullptr) return ScanFail(p.s, "Unknown search return option " + word.substr(0, 40));
    if (*flag) return ScanFail(p.s, word + " given twice");
    *flag = true;
  } while (ScanOptional(p.s, ' '));
  return ScanChar(p.s, ')', "\")\" after the return options");
}

// Takes a leading word when it is `word` (followed by SP).
bool TakeWord(Parse &p, std::string_view word) {
  std::string_view rest = p.s.Text.substr(p.s.At);
  if (!StartsWithNoCase(rest, word) || rest.size() == word.size() || rest[word.size()] != ' ')
    return false;
  p.s.At += word.size();
  return true;
}

bool ScanCharset(Parse &p) {
  std::string charset;
  if (!ScanSp(p.s, "the charset") || !ScanAstring(p.s, charset, "charset")) return false;
  if (!EqualsNoCase(charset, "UTF-8") && !EqualsNoCase(charset, "US-ASCII"))
    return ScanFail(p.s, "[BADCHARSET (UTF-8 US-ASCII)] Unsupported charset", "NO");
  return ScanSp(p.s, "the search keys");
}

}  // namespace

bool ParseSearch(std::string_view args, bool rev2, ImapSearchProgram &out, ImapError &error) {
  out = ImapSearchProgram();
  Parse p;
  p.s.Text = args;
  p.rev2 = rev2;
  p.out = &out;
  uint32_t root = 0;
  NewNode(p, K::kAnd, root);
  if (TakeWord(p, "RETURN") && ScanReturn(p)) ScanSp(p.s, "the search keys");
  if (TakeWord(p, "CHARSET")) ScanCharset(p);
  do {
    uint32_t child = 0;
    if (!ScanKey(p, 1, child)) break;
    out.Nodes[root].Children.push_back(child);
  } while (ScanOptional(p.s, ' '));
  return ScanResult(p.s, error);
}
