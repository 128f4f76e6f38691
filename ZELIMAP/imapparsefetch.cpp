// imapparsefetch: see imapparsefetch.h.
#include "ZELIMAP/imapparsefetch.h"

#include <algorithm>

#include "ZELIMAP/imapparsecmds.h"
#include "common/milterresult.h"  // IsHeaderFieldName
#include "platform/ascii.h"

namespace {

struct NamedItem {
  const char *Name;
  ImapFetchItem Item;
};
// The attributes that are only a name.
constexpr NamedItem kPlainItems[] = {
    {"FLAGS", ImapFetchItem::kFlags},
    {"UID", ImapFetchItem::kUid},
    {"INTERNALDATE", ImapFetchItem::kInternalDate},
    {"RFC822.SIZE", ImapFetchItem::kRfc822Size},
    {"RFC822", ImapFetchItem::kRfc822},
    {"RFC822.HEADER", ImapFetchItem::kRfc822Header},
    {"RFC822.TEXT", ImapFetchItem::kRfc822Text},
    {"ENVELOPE", ImapFetchItem::kEnvelope},
    {"BODYSTRUCTURE", ImapFetchItem::kBodyStructure},
    {"MODSEQ", ImapFetchItem::kModSeq},
};

bool IsNameChar(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.';
}

// An item's or a section text's name: letters, digits and dots, upper-cased.
bool ScanName(ImapScanner &s, std::string &name, std::string_view what) {
  if (s.bFailed) return false;
  size_t start = s.At;
  while (s.At < s.Text.size() && IsNameChar(s.Text[s.At])) ++s.At;
  if (s.At == start) return ScanFail(s, "Expected " + std::string(what));
  name.assign(s.Text.substr(start, s.At - start));
  UpperAsciiInPlace(name);
  return true;
}

// SP "(" header-fld-name *(SP header-fld-name) ")".
bool ScanFieldList(ImapScanner &s, std::vector<std::string> &fields) {
  if (!ScanSp(s, "the header field list") || !ScanChar(s, '(', "\"(\" before the header fields"))
    return false;
  do {
    if (fields.size() == kMaxHeaderFields) return ScanFail(s, "Too many header fields");
    std::string &f = fields.emplace_back();
    if (!ScanAstring(s, f, "header field name")) return false;
    if (!IsHeaderFieldName(f)) return ScanFail(s, "Invalid header field name");
  } while (ScanOptional(s, ' '));
  return ScanChar(s, ')', "\")\" after the header fields");
}

bool ScanSectionText(ImapScanner &s, ImapSection &sec, bool afterPart) {
  std::string word;
  if (!ScanName(s, word, "section text")) return false;
  if (word == "HEADER") {
    sec.Text = ImapSectionText::kHeader;
  } else if (word == "TEXT") {
    sec.Text = ImapSectionText::kText;
  } else if (word == "MIME" && afterPart) {
    sec.Text = ImapSectionText::kMime;
  } else if (word == "HEADER.FIELDS" || word == "HEADER.FIELDS.NOT") {
    sec.Text = word == "HEADER.FIELDS" ? ImapSectionText::kHeaderFields : ImapSectionText::kHeaderFieldsNot;
    return ScanFieldList(s, sec.Fields);
  } else {
    return ScanFail(s, "Invalid section " + word.substr(0, 40));
  }
  return true;
}

// The inside of "[...]": section-spec for BODY, section-part only for
// BINARY; the closing "]" taken.
bool ScanSection(ImapScanner &s, ImapSection &sec, bool binary) {
  if (!ScanChar(s, '[', "\"[\"")) return false;
  if (ScanOptional(s, ']')) return true;
  bool hasPart = false;
  while (s.At < s.Text.size() && s.Text[s.At] >= '0' && s.Text[s.At] <= '9') {
    if (sec.Part.size() == kMaxSectionDepth) return ScanFail(s, "Section nested too deep");
    uint32_t n = 0;
    if (!ScanNzNumber(s, n, "section part number")) return false;
    sec.Part.push_back(n);
    hasPart = true;
    if (!ScanOptional(s, '.')) break;
    if (s.At < s.Text.size() && !(s.Text[s.At] >= '0' && s.Text[s.At] <= '9')) {
      if (binary) return ScanFail(s, "BINARY takes part numbers only");
      if (!ScanSectionText(s, sec, true)) return false;
      break;
    }
  }
  if (!hasPart) {
    if (binary) return ScanFail(s, "BINARY takes part numbers only");
    if (!ScanSectionText(s, sec, false)) return false;
  }
  return ScanChar(s, ']', "\"]\" to end the section");
}

bool ScanPartial(ImapScanner &s, ImapFetchAtt &att) {
  if (!ScanOptional(s, '<')) return true;
  att.bPartial = true;
  return ScanNumber64(s, att.Origin, "partial origin") && ScanChar(s, '.', "\".\" in the partial") &&
         ScanNzNumber64(s, att.Length, "partial length") && ScanChar(s, '>', "\">\" to end the partial");
}

bool ScanFetchAtt(ImapScanner &s, ImapFetchAtt &att) {
  std::string name;
  if (!ScanName(s, name, "fetch attribute")) return false;
  for (const NamedItem &n : kPlainItems)
    if (name == n.Name) {
      att.Item = n.Item;
      return true;
    }
  bool withSection = ScanPeek(s, '[');
  if (name == "BODY" && !withSection) {
    att.Item = ImapFetchItem::kBody;
    return true;
  }
  att.bPeek = name == "BODY.PEEK" || name == "BINARY.PEEK";
  if (name == "BODY" || name == "BODY.PEEK") {
    att.Item = ImapFetchItem::kBodySection;
    return ScanSection(s, att.Section, false) && ScanPartial(s, att);
  }
  if (name == "BINARY" || name == "BINARY.PEEK") {
    att.Item = ImapFetchItem::kBinary;
    return ScanSection(s, att.Section, true) && ScanPartial(s, att);
  }
  if (name == "BINARY.SIZE") {
    att.Item = ImapFetchItem::kBinarySize;
    return ScanSection(s, att.Section, true);
  }
  return ScanFail(s, "Unknown fetch attribute " + name.substr(0, 40));
}

void AddMacro(std::vector<ImapFetchAtt> &atts, std::initializer_list<ImapFetchItem> items) {
  for (ImapFetchItem item : items) atts.emplace_back().Item = item;
}

bool ScanMacroOrAtts(ImapScanner &s, std::vector<ImapFetchAtt> &atts) {
  using I = ImapFetchItem;
  std::string_view rest = s.Text.substr(s.At);
  size_t end = std::min(rest.find(' '), rest.size());
  std::string_view word = rest.substr(0, end);
  if (EqualsNoCase(word, "ALL") || EqualsNoCase(word, "FAST") || EqualsNoCase(word, "FULL")) {
    s.At += end;
    AddMacro(atts, {I::kFlags, I::kInternalDate, I::kRfc822Size});
    if (!EqualsNoCase(word, "FAST")) AddMacro(atts, {I::kEnvelope});
    if (EqualsNoCase(word, "FULL")) AddMacro(atts, {I::kBody});
    return true;
  }
  bool list = ScanOptional(s, '(');
  do {
    if (atts.size() == kMaxFetchAtts) return ScanFail(s, "Too many fetch attributes");
    if (!ScanFetchAtt(s, atts.emplace_back())) return false;
  } while (list && ScanOptional(s, ' '));
  return !list || ScanChar(s, ')', "\")\" to end the fetch attributes");
}

bool ScanModifiers(ImapScanner &s, bool uid, ImapFetchArgs &out) {
  if (!ScanChar(s, '(', "\"(\" before the FETCH modifiers")) return false;
  do {
    std::string word;
    if (!ScanWord(s, word, "FETCH modifier")) return false;
    // CHANGEDSINCE 0 is taken (every message) though RFC 7162 asks for
    // a positive mod-sequence: refusing it would only stop a client.
    if (word == "CHANGEDSINCE") {
      if (out.bChangedSince) return ScanFail(s, "CHANGEDSINCE given twice");
      out.bChangedSince = true;
      if (!ScanSp(s, "the mod-sequence") || !ScanNumber64(s, out.ChangedSince, "mod-sequence")) return false;
    } else if (word == "VANISHED") {
      if (!uid) return ScanFail(s, "VANISHED is for UID FETCH only");
      if (out.bVanished) return ScanFail(s, "VANISHED given twice");
      out.bVanished = true;
    } else {
      return ScanFail(s, "Unknown FETCH modifier " + word.substr(0, 40));
    }
  } while (ScanOptional(s, ' '));
  if (!ScanChar(s, ')', "\")\" after the FETCH modifiers")) return false;
  return !out.bVanished || out.bChangedSince || ScanFail(s, "VANISHED without CHANGEDSINCE");
}

bool HasItem(const std::vector<ImapFetchAtt> &atts, ImapFetchItem item) {
  return std::any_of(atts.begin(), atts.end(), [item](const ImapFetchAtt &a) { return a.Item == item; });
}

}  // namespace

bool ParseFetch(std::string_view args, bool uid, ImapFetchArgs &out, ImapError &error) {
  ImapScanner s;
  s.Text = args;
  out = ImapFetchArgs();
  if (ScanSeqSet(s, out.Set, true, "sequence set") && ScanSp(s, "the fetch attributes") &&
      ScanMacroOrAtts(s, out.Atts) && ScanOptional(s, ' '))
    ScanModifiers(s, uid, out);
  if (!ScanResult(s, error)) return false;
  if (uid && !HasItem(out.Atts, ImapFetchItem::kUid)) {
    ImapFetchAtt att;
    att.Item = ImapFetchItem::kUid;
    out.Atts.insert(out.Atts.begin(), att);
  }
  if (out.bChangedSince && !HasItem(out.Atts, ImapFetchItem::kModSeq))
    out.Atts.emplace_back().Item = ImapFetchItem::kModSeq;
  return true;
}

bool FetchSetsSeen(const ImapFetchAtt &att) {
  switch (att.Item) {
    case ImapFetchItem::kRfc822:
    case ImapFetchItem::kRfc822Text: return true;
    case ImapFetchItem::kBodySection:
    case ImapFetchItem::kBinary: return !att.bPeek;
    default: return false;
  }
}
