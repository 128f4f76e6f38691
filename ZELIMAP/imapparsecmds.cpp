// imapparsecmds: see imapparsecmds.h.
#include "ZELIMAP/imapparsecmds.h"

#include "platform/ascii.h"

namespace {

ImapScanner Scanner(std::string_view args) {
  ImapScanner s;
  s.Text = args;
  return s;
}

// Sets a flag that may be given once.
bool SetOnce(ImapScanner &s, bool &flag, std::string_view what) {
  if (flag) return ScanFail(s, std::string(what) + " given twice");
  flag = true;
  return true;
}

struct StatusName {
  const char *Name;
  ImapStatusItem Item;
};
constexpr StatusName kStatusNames[] = {
    {"MESSAGES", ImapStatusItem::kMessages},   {"UIDNEXT", ImapStatusItem::kUidNext},
    {"UIDVALIDITY", ImapStatusItem::kUidValidity}, {"UNSEEN", ImapStatusItem::kUnseen},
    {"DELETED", ImapStatusItem::kDeleted},     {"SIZE", ImapStatusItem::kSize},
    {"RECENT", ImapStatusItem::kRecent},       {"HIGHESTMODSEQ", ImapStatusItem::kHighestModSeq},
    {"APPENDLIMIT", ImapStatusItem::kAppendLimit},
};

// "(" status-att *(SP status-att) ")".
bool ScanStatusItems(ImapScanner &s, bool rev2, std::vector<ImapStatusItem> &items) {
  items.clear();
  if (!ScanChar(s, '(', "\"(\" before the status items")) return false;
  do {
    std::string word;
    if (!ScanWord(s, word, "status item")) return false;
    const StatusName *found = nullptr;
    for (const StatusName &n : kStatusNames)
      if (word == n.Name) found = &n;
    if (found == nullptr || (rev2 && found->Item == ImapStatusItem::kRecent))
      return ScanFail(s, "Unknown status item " + word.substr(0, 40));
    for (ImapStatusItem have : items)
      if (have == found->Item) return ScanFail(s, word + " given twice");
    items.push_back(found->Item);
  } while (ScanOptional(s, ' '));
  return ScanChar(s, ')', "\")\" after the status items");
}

// QRESYNC's "(" uidvalidity SP mod-sequence-value [SP known-uids]
// [SP seq-match-data] ")". A mod-sequence of 0 (a client that never saw
// one) is taken as "every change", as CHANGEDSINCE 0 is.
bool ScanQresync(ImapScanner &s, ImapSelectArgs &out) {
  if (!ScanSp(s, "QRESYNC's values") || !ScanChar(s, '(', "\"(\" before QRESYNC's values") ||
      !ScanNzNumber(s, out.UidValidity, "UIDVALIDITY") || !ScanSp(s, "the mod-sequence") ||
      !ScanNumber64(s, out.ModSeq, "mod-sequence"))
    return false;
  if (ScanOptional(s, ' ') && !ScanPeek(s, '(')) {
    out.bKnownUids = true;
    if (!ScanSeqSet(s, out.KnownUids, false, "known UIDs")) return false;
    for (const ImapRange &r : out.KnownUids.Ranges)
      if (r.First == kSeqStar || r.Last == kSeqStar) return ScanFail(s, "\"*\" in the known UIDs");
    ScanOptional(s, ' ');
  }
  if (ScanOptional(s, '(')) {
    out.bSeqMatch = true;
    if (!ScanSeqSet(s, out.MatchSeqs, false, "known sequence set") ||
        !ScanSp(s, "the known UID set") || !ScanSeqSet(s, out.MatchUids, false, "known UID set") ||
        !ScanChar(s, ')', "\")\" after the sequence match data"))
      return false;
  }
  return ScanChar(s, ')', "\")\" after QRESYNC's values");
}

bool ScanSelectParam(ImapScanner &s, ImapSelectArgs &out) {
  std::string word;
  if (!ScanWord(s, word, "SELECT parameter")) return false;
  if (word == "CONDSTORE") return SetOnce(s, out.bCondstore, word);
  if (word == "QRESYNC") return SetOnce(s, out.bQresync, word) && ScanQresync(s, out);
  return ScanFail(s, "Unknown SELECT parameter " + word.substr(0, 40));
}

bool ScanListSelection(ImapScanner &s, ImapListArgs &out) {
  if (ScanOptional(s, ')')) return true;
  do {
    std::string word;
    if (!ScanWord(s, word, "LIST selection option")) return false;
    bool ok = word == "SUBSCRIBED"       ? SetOnce(s, out.bSelSubscribed, word)
              : word == "REMOTE"         ? SetOnce(s, out.bSelRemote, word)
              : word == "RECURSIVEMATCH" ? SetOnce(s, out.bSelRecursiveMatch, word)
              : word == "SPECIAL-USE"    ? SetOnce(s, out.bSelSpecialUse, word)
                                         : ScanFail(s, "Unknown LIST selection option " + word.substr(0, 40));
    if (!ok) return false;
  } while (ScanOptional(s, ' '));
  if (!ScanChar(s, ')', "\")\" after the selection options")) return false;
  // RECURSIVEMATCH qualifies another selection (RFC 5258 3.1).
  if (out.bSelRecursiveMatch && !out.bSelSubscribed && !out.bSelSpecialUse)
    return ScanFail(s, "RECURSIVEMATCH without another selection option");
  return true;
}

bool ScanListReturn(ImapScanner &s, bool rev2, ImapListArgs &out) {
  std::string word;
  if (!ScanWord(s, word, "RETURN") || word != "RETURN") return ScanFail(s, "Expected RETURN");
  if (!ScanSp(s, "the return options") || !ScanChar(s, '(', "\"(\" before the return options"))
    return false;
  if (ScanOptional(s, ')')) return true;
  do {
    if (!ScanWord(s, word, "LIST return option")) return false;
    bool ok = word == "SUBSCRIBED"    ? SetOnce(s, out.bRetSubscribed, word)
              : word == "CHILDREN"    ? SetOnce(s, out.bRetChildren, word)
              : word == "SPECIAL-USE" ? SetOnce(s, out.bRetSpecialUse, word)
              : word == "STATUS"      ? SetOnce(s, out.bRetStatus, word) && ScanSp(s, "the status items") &&
                                       ScanStatusItems(s, rev2, out.StatusItems)
                                      : ScanFail(s, "Unknown LIST return option " + word.substr(0, 40));
    if (!ok) return false;
  } while (ScanOptional(s, ' '));
  return ScanChar(s, ')', "\")\" after the return options");
}

bool ScanListPatterns(ImapScanner &s, bool rev2, ImapListArgs &out) {
  if (!ScanOptional(s, '(')) {
    out.Patterns.emplace_back();
    return ScanListPattern(s, rev2, out.Patterns.back());
  }
  out.bExtended = true;
  do {
    if (out.Patterns.size() == kMaxListPatterns) return ScanFail(s, "Too many patterns");
    out.Patterns.emplace_back();
    if (!ScanListPattern(s, rev2, out.Patterns.back())) return false;
  } while (ScanOptional(s, ' '));
  return ScanChar(s, ')', "\")\" after the patterns");
}

bool ScanStoreFlags(ImapScanner &s, ImapFlags &flags) {
  if (ScanPeek(s, '(')) return ScanFlagList(s, flags);
  do {
    if (!ScanFlag(s, flags)) return false;
  } while (ScanOptional(s, ' '));
  return true;
}

}  // namespace

bool ScanResult(ImapScanner &s, ImapError &error) {
  if (!s.bFailed) ScanEnd(s);
  if (!s.bFailed) return true;
  error = s.Error;
  return false;
}

bool ParseLogin(std::string_view args, ImapLoginArgs &out, ImapError &error) {
  ImapScanner s = Scanner(args);
  ScanAstring(s, out.User, "user name") && ScanSp(s, "the password") &&
      ScanAstring(s, out.Password, "password");
  return ScanResult(s, error);
}

bool ParseAuthenticate(std::string_view args, ImapAuthenticateArgs &out, ImapError &error) {
  ImapScanner s = Scanner(args);
  out.bInitial = false;
  out.Initial.clear();
  if (ScanWord(s, out.Mechanism, "SASL mechanism") && ScanOptional(s, ' ')) {
    std::string_view initial;
    out.bInitial = ScanAtom(s, initial, "initial response");
    out.Initial.assign(initial);
  }
  return ScanResult(s, error);
}

bool ParseEnable(std::string_view args, std::vector<std::string> &names, ImapError &error) {
  ImapScanner s = Scanner(args);
  names.clear();
  do {
    if (names.size() == kMaxEnableNames) {
      ScanFail(s, "Too many capabilities");
      break;
    }
    names.emplace_back();
  } while (ScanWord(s, names.back(), "capability name") && ScanOptional(s, ' '));
  return ScanResult(s, error);
}

bool ParseId(std::string_view args, std::vector<ImapIdPair> &pairs, ImapError &error) {
  ImapScanner s = Scanner(args);
  pairs.clear();
  std::string nil;
  bool bNil = false;
  if (!ScanPeek(s, '(')) {
    if (ScanNString(s, nil, bNil, "\"(\" or NIL") && !bNil) ScanFail(s, "Expected \"(\" or NIL");
    return ScanResult(s, error);
  }
  ++s.At;
  do {
    if (pairs.size() == kMaxIdPairs) {
      ScanFail(s, "Too many ID fields");
      break;
    }
    ImapIdPair &p = pairs.emplace_back();
    if (!ScanString(s, p.Field, "ID field") || !ScanSp(s, "the ID value") ||
        !ScanNString(s, p.Value, p.bNil, "ID value"))
      break;
    if (p.Field.size() > kMaxIdField || p.Value.size() > kMaxIdValue) ScanFail(s, "ID field or value too long");
  } while (ScanOptional(s, ' '));
  ScanChar(s, ')', "\")\" after the ID fields");
  return ScanResult(s, error);
}

bool ParseSelect(std::string_view args, bool rev2, ImapSelectArgs &out, ImapError &error) {
  ImapScanner s = Scanner(args);
  out = ImapSelectArgs();
  if (ScanMailbox(s, rev2, out.Mailbox) && ScanOptional(s, ' ') &&
      ScanChar(s, '(', "\"(\" before the SELECT parameters")) {
    do {
      if (!ScanSelectParam(s, out)) break;
    } while (ScanOptional(s, ' '));
    ScanChar(s, ')', "\")\" after the SELECT parameters");
  }
  return ScanResult(s, error);
}

bool ParseMailboxArg(std::string_view args, bool rev2, std::string &mailbox, ImapError &error) {
  ImapScanner s = Scanner(args);
  ScanMailbox(s, rev2, mailbox);
  return ScanResult(s, error);
}

bool ParseRename(std::string_view args, bool rev2, std::string &from, std::string &to,
                 ImapError &error) {
  ImapScanner s = Scanner(args);
  ScanMailbox(s, rev2, from) && ScanSp(s, "the new name") && ScanMailbox(s, rev2, to);
  return ScanResult(s, error);
}

std::string_view StatusItemName(ImapStatusItem item) {
  for (const StatusName &n : kStatusNames)
    if (n.Item == item) return n.Name;
  return {};
}

bool ParseStatus(std::string_view args, bool rev2, ImapStatusArgs &out, ImapError &error) {
  ImapScanner s = Scanner(args);
  ScanMailbox(s, rev2, out.Mailbox) && ScanSp(s, "the status items") &&
      ScanStatusItems(s, rev2, out.Items);
  return ScanResult(s, error);
}

bool ParseList(std::string_view args, bool rev2, ImapListArgs &out, ImapError &error) {
  ImapScanner s = Scanner(args);
  out = ImapListArgs();
  if (ScanOptional(s, '(')) {
    out.bExtended = true;
    if (!ScanListSelection(s, out) || !ScanSp(s, "the reference name")) return ScanResult(s, error);
  }
  if (ScanMailbox(s, rev2, out.Reference) && ScanSp(s, "the mailbox pattern") &&
      ScanListPatterns(s, rev2, out) && ScanOptional(s, ' ')) {
    out.bExtended = true;
    ScanListReturn(s, rev2, out);
  }
  return ScanResult(s, error);
}

bool ParseLsub(std::string_view args, bool rev2, ImapListArgs &out, ImapError &error) {
  ImapScanner s = Scanner(args);
  out = ImapListArgs();
  out.Patterns.emplace_back();
  ScanMailbox(s, rev2, out.Reference) && ScanSp(s, "the mailbox pattern") &&
      ScanListPattern(s, rev2, out.Patterns.back());
  return ScanResult(s, error);
}

bool ParseAppend(const ImapCommandView &cmd, bool rev2, ImapAppendArgs &out, ImapError &error) {
  out = ImapAppendArgs();
  if (cmd.MessageAt == std::string_view::npos || cmd.MessageAt > cmd.Args.size()) {
    error.Text = "Expected the message as a literal";
    return false;
  }
  if (cmd.MessageAt != cmd.Args.size()) {
    error.Text = "Unexpected text after the message (one message per APPEND)";
    return false;
  }
  ImapScanner s = Scanner(cmd.Args);
  if (ScanMailbox(s, rev2, out.Mailbox) && ScanSp(s, "the message")) {
    if (ScanPeek(s, '(') && ScanFlagList(s, out.Flags)) ScanSp(s, "the message");
    if (ScanPeek(s, '"') && ScanDateTime(s, out.Date, out.ZoneMinutes)) {
      out.bHasDate = true;
      ScanSp(s, "the message");
    }
  }
  return ScanResult(s, error);
}

bool ParseStore(std::string_view args, ImapStoreArgs &out, ImapError &error) {
  ImapScanner s = Scanner(args);
  out = ImapStoreArgs();
  if (!ScanSeqSet(s, out.Set, true, "sequence set") || !ScanSp(s, "the flags")) return ScanResult(s, error);
  if (ScanOptional(s, '(')) {
    std::string word;
    if (ScanWord(s, word, "STORE modifier") && word != "UNCHANGEDSINCE")
      ScanFail(s, "Unknown STORE modifier " + word.substr(0, 40));
    out.bUnchangedSince = ScanSp(s, "the mod-sequence") &&
                          ScanNumber64(s, out.UnchangedSince, "mod-sequence") &&
                          ScanChar(s, ')', "\")\" after the STORE modifier") && ScanSp(s, "the flags");
  }
  std::string word;
  if (ScanOptional(s, '+'))
    out.How = ImapStoreArgs::kAdd;
  else if (ScanOptional(s, '-'))
    out.How = ImapStoreArgs::kRemove;
  if (ScanWord(s, word, "FLAGS") && word != "FLAGS" && word != "FLAGS.SILENT")
    ScanFail(s, "Expected FLAGS, +FLAGS or -FLAGS");
  out.bSilent = word == "FLAGS.SILENT";
  ScanSp(s, "the flag list") && ScanStoreFlags(s, out.Flags);
  return ScanResult(s, error);
}

bool ParseCopy(std::string_view args, bool rev2, ImapSeqSet &set, std::string &mailbox,
               ImapError &error) {
  ImapScanner s = Scanner(args);
  ScanSeqSet(s, set, true, "sequence set") && ScanSp(s, "the mailbox name") &&
      ScanMailbox(s, rev2, mailbox);
  return ScanResult(s, error);
}

bool ParseSeqSetArg(std::string_view args, ImapSeqSet &set, ImapError &error) {
  ImapScanner s = Scanner(args);
  ScanSeqSet(s, set, true, "UID set");
  return ScanResult(s, error);
}
