// imapwrite: see imapwrite.h.
#include "ZELIMAP/imapwrite.h"

#include <algorithm>
#include <charconv>

#include "ZELIMAP/imapparseutf7.h"

namespace {

// Whether the text can go as a quoted string (see the policy).
bool Quotable(std::string_view text, bool rev2) {
  if (text.size() > kMaxQuotedString) return false;
  bool eightBit = false;
  for (char c : text) {
    if (c == '\r' || c == '\n' || c == '\0' || c == '"') return false;
    if (static_cast<unsigned char>(c) >= 0x80) eightBit = true;
  }
  return !eightBit || (rev2 && IsUtf8(text));
}

void WriteQuoted(std::string &out, std::string_view text) {
  out.push_back('"');
  size_t from = 0;
  for (size_t at = text.find('\\'); at != std::string_view::npos; at = text.find('\\', at + 1)) {
    out.append(text.substr(from, at - from));
    out.append("\\\\");
    from = at + 1;
  }
  out.append(text.substr(from));
  out.push_back('"');
}

void WriteSection(std::string &out, const ImapSection &sec, bool rev2) {
  out.push_back('[');
  for (size_t i = 0; i < sec.Part.size(); ++i) {
    if (i > 0) out.push_back('.');
    WriteNumber(out, sec.Part[i]);
  }
  const char *text = nullptr;
  switch (sec.Text) {
    case ImapSectionText::kNone: break;
    case ImapSectionText::kHeader: text = "HEADER"; break;
    case ImapSectionText::kHeaderFields: text = "HEADER.FIELDS"; break;
    case ImapSectionText::kHeaderFieldsNot: text = "HEADER.FIELDS.NOT"; break;
    case ImapSectionText::kText: text = "TEXT"; break;
    case ImapSectionText::kMime: text = "MIME"; break;
  }
  if (text != nullptr) {
    if (!sec.Part.empty()) out.push_back('.');
    out.append(text);
  }
  if (!sec.Fields.empty()) {
    out.append(" (");
    for (size_t i = 0; i < sec.Fields.size(); ++i) {
      if (i > 0) out.push_back(' ');
      WriteAstring(out, sec.Fields[i], rev2);
    }
    out.push_back(')');
  }
  out.push_back(']');
}

// A range: "n" or "a:b".
void WriteRange(std::string &out, uint32_t first, uint32_t last) {
  WriteNumber(out, first);
  if (last == first) return;
  out.push_back(':');
  WriteNumber(out, last);
}

// The name in the session's form: the UTF-8 itself to a rev2 session, its
// modified UTF-7 (made in scratch) to a rev1 session; false when neither
// can be sent.
bool EncodeName(std::string_view name, bool rev2, std::string &scratch, std::string_view &wire) {
  if (!rev2) {
    if (!Utf8ToModifiedUtf7(name, scratch)) return false;
    wire = scratch;
    return true;
  }
  if (!IsUtf8(name) || HasAsciiControl(name)) return false;
  wire = name;
  return true;
}

// Two digits, zero-padded.
void WriteTwoDigits(std::string &out, int n) {
  out.push_back(static_cast<char>('0' + n / 10));
  out.push_back(static_cast<char>('0' + n % 10));
}

}  // namespace

void WriteCapabilities(std::string &out, const ImapCapabilityOptions &o) {
  out.append("IMAP4rev1 IMAP4rev2");
  if (!o.bLoggedOn) {
    if (o.bStartTls) out.append(" STARTTLS");
    out.append(o.bLogonAllowed ? " AUTH=PLAIN" : " LOGINDISABLED");
  }
  out.push_back(' ');
  out.append(kImapCapabilities);
  out.append(" APPENDLIMIT=");
  WriteNumber(out, o.AppendLimit);
}

void WriteAtom(std::string &out, std::string_view atom) { out.append(atom); }

void WriteNumber(std::string &out, uint64_t n) {
  char digits[24];
  auto done = std::to_chars(digits, digits + sizeof digits, n);
  out.append(digits, done.ptr);
}

void WriteNil(std::string &out) { out.append("NIL"); }

void WriteString(std::string &out, std::string_view text, bool rev2) {
  if (Quotable(text, rev2))
    WriteQuoted(out, text);
  else
    WriteLiteral(out, text);
}

void WriteNString(std::string &out, std::string_view text, bool bNil, bool rev2) {
  if (bNil)
    WriteNil(out);
  else
    WriteString(out, text, rev2);
}

void WriteAstring(std::string &out, std::string_view text, bool rev2) {
  bool atom = !text.empty();
  for (char c : text) atom = atom && IsAstringChar(c);
  if (atom)
    out.append(text);
  else
    WriteString(out, text, rev2);
}

void WriteLiteral(std::string &out, std::string_view data) {
  WriteLiteralHead(out, data.size(), false);
  out.append(data);
}

void WriteLiteralHead(std::string &out, uint64_t size, bool binary) {
  out.append(binary ? "~{" : "{");
  WriteNumber(out, size);
  out.append("}\r\n");
}

bool WriteMailbox(std::string &out, std::string_view name, bool rev2) {
  std::string scratch;
  std::string_view wire;
  if (!EncodeName(name, rev2, scratch, wire)) return false;
  WriteString(out, wire, rev2);
  return true;
}

void WriteDateTime(std::string &out, int64_t utcSeconds, int zoneMinutes) {
  static const char *const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                        "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  // What the grammar can show: four-digit years, zones within a day.
  static const int64_t kFirst = DaysSinceEpoch(ImapDate{1, 1, 1}) * 86400;
  static const int64_t kLast = DaysSinceEpoch(ImapDate{9999, 12, 31}) * 86400 + 86399;
  zoneMinutes = std::clamp(zoneMinutes, -kMaxZoneMinutes, kMaxZoneMinutes);
  int64_t local = std::clamp(std::clamp(utcSeconds, kFirst - 86400, kLast + 86400) +
                                 static_cast<int64_t>(zoneMinutes) * 60,
                             kFirst, kLast);
  int64_t days = local >= 0 ? local / 86400 : (local - 86399) / 86400;
  int64_t secs = local - days * 86400;
  ImapDate date = DateFromDays(days);
  out.push_back('"');
  out.push_back(date.Day < 10 ? ' ' : static_cast<char>('0' + date.Day / 10));
  out.push_back(static_cast<char>('0' + date.Day % 10));
  out.push_back('-');
  out.append(kMonths[date.Month - 1]);
  out.push_back('-');
  WriteTwoDigits(out, date.Year / 100);
  WriteTwoDigits(out, date.Year % 100);
  out.push_back(' ');
  WriteTwoDigits(out, static_cast<int>(secs / 3600));
  out.push_back(':');
  WriteTwoDigits(out, static_cast<int>(secs / 60 % 60));
  out.push_back(':');
  WriteTwoDigits(out, static_cast<int>(secs % 60));
  out.append(zoneMinutes < 0 ? " -" : " +");
  int zone = zoneMinutes < 0 ? -zoneMinutes : zoneMinutes;
  WriteTwoDigits(out, zone / 60);
  WriteTwoDigits(out, zone % 60);
  out.push_back('"');
}

void WriteFlags(std::string &out, unsigned system, std::string_view keywords, bool recent) {
  out.push_back('(');
  size_t start = out.size();
  for (unsigned bit = kFlagSeen; bit <= kFlagDraft; bit <<= 1) {
    if ((system & bit) == 0) continue;
    if (out.size() != start) out.push_back(' ');
    out.append(SystemFlagName(bit));
  }
  for (size_t at = 0; at < keywords.size();) {
    size_t end = keywords.find(' ', at);
    if (end == std::string_view::npos) end = keywords.size();
    if (end > at) {
      if (out.size() != start) out.push_back(' ');
      out.append(keywords.substr(at, end - at));
    }
    at = end + 1;
  }
  if (recent) {
    if (out.size() != start) out.push_back(' ');
    out.append("\\Recent");
  }
  out.push_back(')');
}

void WriteNumberSet(std::string &out, const uint32_t *sorted, size_t count) {
  for (size_t i = 0; i < count;) {
    if (i > 0) out.push_back(',');
    uint32_t low = sorted[i], high = low;
    for (++i; i < count && static_cast<uint64_t>(sorted[i]) <= static_cast<uint64_t>(high) + 1; ++i)
      high = sorted[i];
    WriteRange(out, low, high);
  }
}

void WriteRanges(std::string &out, const std::vector<ImapRange> &ranges) {
  for (size_t i = 0; i < ranges.size(); ++i) {
    if (i > 0) out.push_back(',');
    WriteRange(out, ranges[i].First, ranges[i].Last);
  }
}

void WriteTaggedReply(std::string &out, std::string_view tag, std::string_view status,
                      std::string_view text) {
  out.append(tag.empty() ? std::string_view("*") : tag);
  out.push_back(' ');
  out.append(status);
  out.push_back(' ');
  out.append(text);
  out.append("\r\n");
}

void WriteUntagged(std::string &out, std::string_view text) {
  out.append("* ");
  out.append(text);
  out.append("\r\n");
}

void WriteContinuation(std::string &out, std::string_view text) {
  out.append("+ ");
  out.append(text);
  out.append("\r\n");
}

void WriteCounted(std::string &out, uint64_t n, std::string_view what) {
  out.append("* ");
  WriteNumber(out, n);
  out.push_back(' ');
  out.append(what);
  out.append("\r\n");
}

void WriteFetchBegin(std::string &out, uint32_t seq) {
  out.append("* ");
  WriteNumber(out, seq);
  out.append(" FETCH (");
}

void WriteFetchEnd(std::string &out) { out.append(")\r\n"); }

void WriteFetchItemName(std::string &out, const ImapFetchAtt &att, bool rev2) {
  switch (att.Item) {
    case ImapFetchItem::kFlags: out.append("FLAGS"); return;
    case ImapFetchItem::kUid: out.append("UID"); return;
    case ImapFetchItem::kInternalDate: out.append("INTERNALDATE"); return;
    case ImapFetchItem::kRfc822Size: out.append("RFC822.SIZE"); return;
    case ImapFetchItem::kRfc822: out.append("RFC822"); return;
    case ImapFetchItem::kRfc822Header: out.append("RFC822.HEADER"); return;
    case ImapFetchItem::kRfc822Text: out.append("RFC822.TEXT"); return;
    case ImapFetchItem::kEnvelope: out.append("ENVELOPE"); return;
    case ImapFetchItem::kBodyStructure: out.append("BODYSTRUCTURE"); return;
    case ImapFetchItem::kBody: out.append("BODY"); return;
    case ImapFetchItem::kModSeq: out.append("MODSEQ"); return;
    case ImapFetchItem::kBodySection: out.append("BODY"); break;
    case ImapFetchItem::kBinary: out.append("BINARY"); break;
    case ImapFetchItem::kBinarySize: out.append("BINARY.SIZE"); break;
  }
  WriteSection(out, att.Section, rev2);
  if (!att.bPartial) return;
  out.push_back('<');
  WriteNumber(out, att.Origin);
  out.push_back('>');
}

void WriteVanished(std::string &out, bool earlier, const std::vector<ImapRange> &uids) {
  out.append(earlier ? "* VANISHED (EARLIER) " : "* VANISHED ");
  WriteRanges(out, uids);
  out.append("\r\n");
}

void WriteSearch(std::string &out, const uint32_t *sorted, size_t count, bool bModSeq,
                 uint64_t highestModSeq) {
  out.append("* SEARCH");
  for (size_t i = 0; i < count; ++i) {
    out.push_back(' ');
    WriteNumber(out, sorted[i]);
  }
  if (bModSeq && count > 0) {
    out.append(" (MODSEQ ");
    WriteNumber(out, highestModSeq);
    out.push_back(')');
  }
  out.append("\r\n");
}

void WriteEsearch(std::string &out, std::string_view tag, bool uid, const ImapSearchProgram &asked,
                  const uint32_t *sorted, size_t count, bool bModSeq, uint64_t highestModSeq) {
  out.append("* ESEARCH (TAG ");
  WriteQuoted(out, tag);  // a tag holds no quote, backslash or control
  out.push_back(')');
  if (uid) out.append(" UID");
  if (count > 0 && asked.bMin) {
    out.append(" MIN ");
    WriteNumber(out, sorted[0]);
  }
  if (count > 0 && asked.bMax) {
    out.append(" MAX ");
    WriteNumber(out, sorted[count - 1]);
  }
  if (asked.bCount) {
    out.append(" COUNT ");
    WriteNumber(out, count);
  }
  if (count > 0 && asked.bAll) {
    out.append(" ALL ");
    WriteNumberSet(out, sorted, count);
  }
  if (bModSeq && count > 0) {
    out.append(" MODSEQ ");
    WriteNumber(out, highestModSeq);
  }
  out.append("\r\n");
}

bool WriteStatus(std::string &out, std::string_view name, bool rev2,
                 const std::vector<ImapStatusItem> &items, const uint64_t *values) {
  std::string scratch;
  std::string_view wire;
  if (!EncodeName(name, rev2, scratch, wire)) return false;
  out.append("* STATUS ");
  WriteString(out, wire, rev2);
  out.append(" (");
  for (size_t i = 0; i < items.size(); ++i) {
    if (i > 0) out.push_back(' ');
    out.append(StatusItemName(items[i]));
    out.push_back(' ');
    WriteNumber(out, values[i]);
  }
  out.append(")\r\n");
  return true;
}

bool WriteListLine(std::string &out, std::string_view verb, std::string_view attributes,
                   std::string_view name, bool rev2, bool childInfoSubscribed) {
  std::string scratch;
  std::string_view wire;
  if (!EncodeName(name, rev2, scratch, wire)) return false;
  out.append("* ");
  out.append(verb);
  out.append(" (");
  out.append(attributes);
  out.append(") \"/\" ");
  WriteString(out, wire, rev2);
  if (childInfoSubscribed) out.append(" (\"CHILDINFO\" (\"SUBSCRIBED\"))");
  out.append("\r\n");
  return true;
}
