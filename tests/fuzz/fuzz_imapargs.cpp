// Fuzz target for the IMAP argument parsers other than FETCH and SEARCH
// (LOGIN, AUTHENTICATE, ENABLE, ID, SELECT with QRESYNC, mailbox names,
// RENAME, LIST, LSUB, STATUS, APPEND, STORE, COPY, UID EXPUNGE), LIST
// pattern matching, and the string writer. Beyond not crashing: every
// name is UTF-8 without control characters and within kMaxMailboxName;
// sets, flag lists and pattern lists stay within their bounds; a
// normalised set is sorted, merged and free of 0; whatever WriteString,
// WriteMailbox and WriteDateTime write reads back as the same value. The first byte picks the parser
// and the revision.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "ZELIMAP/imapparseargs.h"
#include "ZELIMAP/imapparsecmds.h"
#include "ZELIMAP/imapparseutf7.h"
#include "ZELIMAP/imapwrite.h"
#include "platform/ascii.h"

namespace {

void CheckName(const std::string &name) {
  if (!IsUtf8(name) || HasAsciiControl(name) || name.size() > kMaxMailboxName) std::abort();
}

void CheckSet(const ImapSeqSet &set, uint32_t largest) {
  if (set.Ranges.size() > kMaxSeqRanges) std::abort();
  std::vector<ImapRange> n = NormalizeSeqSet(set, largest);
  for (size_t i = 0; i < n.size(); ++i) {
    if (n[i].First == 0 || n[i].First > n[i].Last) std::abort();
    if (i > 0 && static_cast<uint64_t>(n[i - 1].Last) + 1 >= n[i].First) std::abort();
    if (!RangesContain(n, n[i].First) || !RangesContain(n, n[i].Last)) std::abort();
  }
}

void CheckFlags(const ImapFlags &f) {
  if (f.Keywords.size() > kMaxFlagsInList || f.System > 31) std::abort();
  for (const std::string &k : f.Keywords)
    if (k.empty() || k.size() > kMaxKeywordLength) std::abort();
}

void RoundTripString(std::string_view text, bool rev2) {
  if (text.find('\0') != std::string_view::npos) return;
  std::string out;
  WriteString(out, text, rev2);
  ImapScanner s;
  s.Text = out;
  std::string back;
  if (!ScanString(s, back, "string") || !ScanEnd(s) || back != text) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 1) return 0;
  bool rev2 = (data[0] & 0x80) != 0;
  std::string_view args(reinterpret_cast<const char *>(data) + 1, size - 1);
  ImapError e;
  std::string a, b;
  switch (data[0] % 13) {
    case 0: {
      ImapLoginArgs l;
      ImapAuthenticateArgs au;
      std::vector<std::string> names;
      std::vector<ImapIdPair> id;
      ParseLogin(args, l, e);
      ParseAuthenticate(args, au, e);
      if (ParseEnable(args, names, e) && (names.empty() || names.size() > kMaxEnableNames)) std::abort();
      if (ParseId(args, id, e) && id.size() > kMaxIdPairs) std::abort();
      break;
    }
    case 1: {
      ImapSelectArgs sel;
      if (!ParseSelect(args, rev2, sel, e)) break;
      CheckName(sel.Mailbox);
      CheckSet(sel.KnownUids, 7);
      CheckSet(sel.MatchSeqs, 0);
      break;
    }
    case 2:
      if (ParseMailboxArg(args, rev2, a, e)) CheckName(a);
      if (ParseRename(args, rev2, a, b, e)) CheckName(a), CheckName(b);
      break;
    case 3: {
      ImapListArgs l;
      if (ParseList(args, rev2, l, e) || ParseLsub(args, rev2, l, e)) {
        if (l.Patterns.empty() || l.Patterns.size() > kMaxListPatterns) std::abort();
        for (const std::string &p : l.Patterns) CheckName(p), (void)MatchListPattern(p, l.Reference);
      }
      break;
    }
    case 4: {
      ImapStatusArgs st;
      if (ParseStatus(args, rev2, st, e) && (st.Items.empty() || st.Items.size() > 9)) std::abort();
      break;
    }
    case 5: {
      ImapCommandView cmd;
      cmd.Args = args;
      cmd.MessageAt = args.size();
      ImapAppendArgs app;
      if (ParseAppend(cmd, rev2, app, e)) CheckName(app.Mailbox), CheckFlags(app.Flags);
      break;
    }
    case 6: {
      ImapStoreArgs st;
      if (ParseStore(args, st, e)) CheckSet(st.Set, 100), CheckFlags(st.Flags);
      break;
    }
    case 7: {
      ImapSeqSet set;
      if (ParseCopy(args, rev2, set, a, e)) CheckSet(set, 1000), CheckName(a);
      if (ParseSeqSetArg(args, set, e)) CheckSet(set, 0xFFFFFFFF);
      break;
    }
    case 8: {
      size_t cut = args.find('\n');
      if (cut != std::string_view::npos && cut <= kMaxMailboxName && args.size() - cut <= kMaxMailboxName + 1)
        (void)MatchListPattern(args.substr(0, cut), args.substr(cut + 1));
      break;
    }
    case 9: {
      // A date-time written reads back as the same instant and zone.
      if (args.size() < 10) break;
      int64_t at = 0;
      memcpy(&at, args.data(), sizeof at);
      at %= 253402300800;  // 9999-12-31 is the last day the grammar shows
      int zone = (static_cast<unsigned char>(args[8]) << 8 | static_cast<unsigned char>(args[9])) % 2879 - 1439;
      if (at + zone * 60 < 0) break;
      WriteDateTime(a, at, zone);
      ImapScanner s;
      s.Text = a;
      int64_t back = 0;
      int backZone = 0;
      if (!ScanDateTime(s, back, backZone) || !ScanEnd(s) || back != at || backZone != zone) std::abort();
      break;
    }
    default:
      RoundTripString(args, rev2);
      // A name written reads back as itself (INBOX's case aside).
      if (args.size() <= kMaxMailboxName && WriteMailbox(a, args, rev2)) {
        ImapScanner s;
        s.Text = a;
        if (!ScanMailbox(s, rev2, b) || !ScanEnd(s)) std::abort();
        if (b != args && !(StartsWithNoCase(args, "INBOX") && b.substr(5) == args.substr(5))) std::abort();
      }
      break;
  }
  return 0;
}
