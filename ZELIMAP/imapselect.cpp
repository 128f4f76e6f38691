// imapselect: see imapselect.h.
#include "ZELIMAP/imapselect.h"

#include <algorithm>

#include "ZELIMAP/imapcmd.h"
#include "ZELIMAP/imapfolder.h"
#include "ZELIMAP/imapparsecmds.h"
#include "ZELIMAP/imapsession.h"
#include "ZELIMAP/imapwrite.h"

namespace {

std::string Num(uint64_t n) { return std::to_string(n); }

// The reply to a folder that cannot be used, by the store's error.
std::string FolderRefusal(long rc) {
  switch (rc) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_INVALID_PARAMETER:
      return "NO [NONEXISTENT] No such folder";
    case EISDIR:
      return "NO [CANNOT] The folder holds no messages";
    case ERROR_BUSY:
      return "NO [INUSE] The folder is busy; try again";
    default:
      return "NO [SERVERBUG] The folder cannot be opened (" + Num(rc) + ")";
  }
}

void WriteFlagList(std::string &out, const std::vector<std::string> &keywords, bool permanent) {
  out += "(\\Answered \\Flagged \\Deleted \\Seen \\Draft";
  for (const std::string &k : keywords) out += " " + k;
  if (permanent) out += " \\*";
  out += ')';
}

// QRESYNC's resynchronisation: what vanished and what changed since the
// client's modseq (RFC 7162 3.2.5).
void Resynchronize(SharedFolder &f, const SelectedView &v, const ImapSelectArgs &a,
                   std::string &out) {
  if (a.UidValidity != f.State.UidValidity) return;
  uint32_t largest = f.State.UidNext > 1 ? f.State.UidNext - 1 : 0;
  std::vector<ImapRange> known =
      a.bKnownUids ? NormalizeSeqSet(a.KnownUids, largest)
                   : std::vector<ImapRange>{ImapRange{1, std::max<uint32_t>(largest, 1)}};
  std::vector<ImapRange> vanished = VanishedSince(f, a.ModSeq, known);
  if (!vanished.empty()) WriteVanished(out, true, vanished);
  for (size_t i = 0; i < v.Uids.size(); ++i) {
    const MsgMeta *row = FindRow(f, v.Uids[i]);
    if (row == nullptr || row->ModSeq <= a.ModSeq) continue;
    WriteFlagsFetch(out, v, static_cast<uint32_t>(i + 1), *row, true, true);
  }
}

// The untagged responses of SELECT and EXAMINE.
void DescribeSelection(_Connection *conn, SharedFolder &f, SelectedView &v,
                       const ImapSelectArgs &a) {
  SessionConn &s = Sess(conn);
  std::string &out = Imap(conn).Out;
  std::vector<std::string> keywords;
  (void)f.Index.KeywordsInUse(keywords);
  out += "* FLAGS ";
  WriteFlagList(out, keywords, false);
  out += "\r\n* OK [PERMANENTFLAGS ";
  if (v.bReadOnly)
    out += "()";
  else
    WriteFlagList(out, keywords, true);
  out += "] Flags permitted\r\n";
  WriteCounted(out, v.Uids.size(), "EXISTS");
  if (!s.bRev2) {
    // EXAMINE shows what no session has seen yet as \Recent and claims
    // nothing; SELECT claims it for this connection.
    uint32_t first = 0, next = 0;
    if (v.bReadOnly) {
      v.RecentFirst = f.State.FirstRecent;
      v.RecentEnd = UINT32_MAX;
    } else if (f.Index.ClaimRecent(first, next) == ERROR_SUCCESS) {
      v.RecentFirst = first;
      v.RecentEnd = next;
    }
    size_t recent = 0;
    for (uint32_t uid : v.Uids) recent += ViewRecent(v, uid) ? 1 : 0;
    WriteCounted(out, recent, "RECENT");
    for (size_t i = 0; i < v.Uids.size(); ++i) {
      const MsgMeta *row = FindRow(f, v.Uids[i]);
      if (row == nullptr || (row->Flags & kFlagSeen) != 0) continue;
      out += "* OK [UNSEEN " + Num(i + 1) + "] First unseen\r\n";
      break;
    }
  }
  out += "* OK [UIDVALIDITY " + Num(f.State.UidValidity) + "] UIDs valid\r\n";
  out += "* OK [UIDNEXT " + Num(f.State.UidNext) + "] Predicted next UID\r\n";
  WriteHighestModSeq(out, f.State.HighestModSeq);
  if (s.bRev2) (void)WriteListLine(out, "LIST", "", f.Name, true, false);
  if (a.bQresync) Resynchronize(f, v, a, out);
}

ImapGo Select(_Connection *conn, const ImapCommandView &cmd, bool readOnly) {
  ImapConn &c = Imap(conn);
  SessionConn &s = Sess(conn);
  ImapSelectArgs a;
  ImapError error;
  if (!ParseSelect(cmd.Args, s.bRev2, a, error)) return ImapFailed(conn, cmd.Tag, error);
  if (a.bQresync && !s.bQresync) {
    ImapReply(conn, cmd.Tag, "BAD QRESYNC is not enabled");
    return ImapGo::kOn;
  }
  // Whatever comes of it, the folder selected before is no more.
  bool had = s.View != nullptr;
  EndSelection(conn);
  if (had && s.bQresync) c.Out += "* OK [CLOSED] Previous folder closed\r\n";
  if (a.bCondstore) s.bCondStore = true;
  std::shared_ptr<SharedFolder> f;
  long rc = OpenSharedFolder(a.Mailbox, f);
  if (rc == ERROR_SUCCESS) {
    std::lock_guard<std::mutex> guard(f->Lock);
    rc = RefreshFolder(*f);
    if (rc == ERROR_SUCCESS) {
      s.View = NewView(f, readOnly);
      DescribeSelection(conn, *f, *s.View, a);
    }
  }
  if (rc != ERROR_SUCCESS) {
    ImapReply(conn, cmd.Tag, FolderRefusal(rc));
    return ImapGo::kOn;
  }
  c.State = kImapSelected;
  ImapReply(conn, cmd.Tag, std::string(readOnly ? "OK [READ-ONLY] " : "OK [READ-WRITE] ") +
                               (readOnly ? "EXAMINE" : "SELECT") + " completed");
  return ImapGo::kOn;
}

// Removes the \Deleted messages (of uids only, when given) and tells this
// connection (when tell) and the folder's other connections.
long ExpungeDeleted(_Connection *conn, const std::vector<uint32_t> *uids, bool tell) {
  SessionConn &s = Sess(conn);
  SelectedView &v = *s.View;
  SharedFolder &f = *v.Folder;
  std::vector<uint32_t> gone;
  {
    std::lock_guard<std::mutex> guard(f.Lock);
    long rc = f.Index.Expunge(uids, gone);
    if (rc != ERROR_SUCCESS) return rc;
    NoteExpunged(f, gone, &v);
    std::string &out = Imap(conn).Out;
    std::vector<ImapRange> vanished;
    for (size_t i = gone.size(); i-- > 0;) {
      uint32_t seq = ViewSeqOfUid(v, gone[i]);
      if (seq == 0) continue;
      if (tell && !s.bQresync) WriteCounted(out, seq, "EXPUNGE");
      v.Uids.erase(v.Uids.begin() + seq - 1);
      v.Ghosts.erase(gone[i]);
      if (!vanished.empty() && vanished.front().First == gone[i] + 1)
        vanished.front().First = gone[i];
      else
        vanished.insert(vanished.begin(), ImapRange{gone[i], gone[i]});
    }
    if (tell && s.bQresync && !vanished.empty()) WriteVanished(out, false, vanished);
  }
  if (!gone.empty()) WakeIdlers(f.Id);
  return ERROR_SUCCESS;
}

}  // namespace

void EndSelection(_Connection *conn) {
  SessionConn &s = Sess(conn);
  DropView(s.View);
  s.Saved.clear();
  if (Imap(conn).State == kImapSelected) Imap(conn).State = kImapAuthenticated;
}

ImapGo CmdSelect(_Connection *conn, const ImapCommandView &cmd) { return Select(conn, cmd, false); }

ImapGo CmdExamine(_Connection *conn, const ImapCommandView &cmd) { return Select(conn, cmd, true); }

ImapGo CmdClose(_Connection *conn, const ImapCommandView &cmd) {
  SessionConn &s = Sess(conn);
  // The \Deleted messages go without a word (RFC 9051 6.4.1); while a POP3
  // session holds INBOX they stay, marked, for a later EXPUNGE.
  DirLock inbox;
  if (!s.View->bReadOnly && LockInboxForRemoval(s.View->Folder->Name, inbox))
    (void)ExpungeDeleted(conn, nullptr, false);
  EndSelection(conn);
  ImapReply(conn, cmd.Tag, "OK CLOSE completed");
  return ImapGo::kOn;
}

ImapGo CmdUnselect(_Connection *conn, const ImapCommandView &cmd) {
  EndSelection(conn);
  ImapReply(conn, cmd.Tag, "OK UNSELECT completed");
  return ImapGo::kOn;
}

ImapGo CmdExpunge(_Connection *conn, const ImapCommandView &cmd) {
  SessionConn &s = Sess(conn);
  std::vector<uint32_t> uids;
  if (cmd.bUid) {
    ImapSeqSet set;
    ImapError error;
    if (!ParseSeqSetArg(cmd.Args, set, error)) return ImapFailed(conn, cmd.Tag, error);
    if (!ViewUidsOfSet(conn, set, true, uids)) {
      ImapReply(conn, cmd.Tag, "BAD Invalid UID set");
      return ImapGo::kOn;
    }
  } else if (cmd.bHasArgs) {
    ImapReply(conn, cmd.Tag, "BAD Unexpected arguments");
    return ImapGo::kOn;
  }
  if (s.View->bReadOnly) {
    ImapReply(conn, cmd.Tag, "NO [READ-ONLY] The folder is read-only");
    return ImapGo::kOn;
  }
  DirLock inbox;
  if (!LockInboxForRemoval(s.View->Folder->Name, inbox)) {
    ImapReply(conn, cmd.Tag, kInboxInUseReply);
    return ImapGo::kOn;
  }
  long rc = ExpungeDeleted(conn, cmd.bUid ? &uids : nullptr, true);
  if (rc != ERROR_SUCCESS) {
    ImapReply(conn, cmd.Tag, "NO [SERVERBUG] EXPUNGE failed (" + Num(rc) + ")");
    return ImapGo::kOn;
  }
  std::string code;
  if (s.bCondStore) {
    std::lock_guard<std::mutex> guard(s.View->Folder->Lock);
    (void)RefreshFolder(*s.View->Folder);
    code = "[HIGHESTMODSEQ " + Num(s.View->Folder->State.HighestModSeq) + "] ";
  }
  ImapReply(conn, cmd.Tag, "OK " + code + "EXPUNGE completed");
  return ImapGo::kOn;
}

bool ViewUidsOfSet(_Connection *conn, const ImapSeqSet &set, bool uids,
                   std::vector<uint32_t> &out) {
  SessionConn &s = Sess(conn);
  const SelectedView &v = *s.View;
  out.clear();
  if (set.bSaved) {
    // The saved UIDs still in the view.
    for (uint32_t uid : s.Saved)
      if (ViewSeqOfUid(v, uid) != 0) out.push_back(uid);
    return true;
  }
  if (uids) {
    uint32_t largest = v.Uids.empty() ? 0 : v.Uids.back();
    for (const ImapRange &r : NormalizeSeqSet(set, largest)) {
      auto from = std::lower_bound(v.Uids.begin(), v.Uids.end(), r.First);
      for (auto it = from; it != v.Uids.end() && *it <= r.Last; ++it) out.push_back(*it);
    }
    return true;
  }
  uint32_t count = static_cast<uint32_t>(v.Uids.size());
  for (const ImapRange &r : NormalizeSeqSet(set, count)) {
    if (r.Last > count) return false;
    for (uint32_t seq = r.First; seq <= r.Last; ++seq) out.push_back(v.Uids[seq - 1]);
  }
  return true;
}
