// imapmsg: see imapmsg.h.
#include "ZELIMAP/imapmsg.h"

#include <algorithm>

#include "ZELIMAP/imapcmd.h"
#include "ZELIMAP/imapfolder.h"
#include "ZELIMAP/imapmbox.h"
#include "ZELIMAP/imapparsecmds.h"
#include "ZELIMAP/imapselect.h"
#include "ZELIMAP/imapsession.h"
#include "ZELIMAP/imapwrite.h"

namespace {

std::string Num(uint64_t n) { return std::to_string(n); }

StoreMode ModeOf(ImapStoreArgs::Mode how) {
  switch (how) {
    case ImapStoreArgs::kAdd: return StoreMode::kAdd;
    case ImapStoreArgs::kRemove: return StoreMode::kRemove;
    default: return StoreMode::kReplace;
  }
}

// "1:3,7": numbers ascending.
std::string NumberSet(std::vector<uint32_t> numbers) {
  std::sort(numbers.begin(), numbers.end());
  std::string out;
  WriteNumberSet(out, numbers.data(), numbers.size());
  return out;
}

// Locks the two folders of a copy in one order (a folder's lock once).
struct PairLock {
  std::unique_lock<std::mutex> First, Second;
  PairLock(SharedFolder &a, SharedFolder &b) {
    SharedFolder *low = a.Id <= b.Id ? &a : &b, *high = a.Id <= b.Id ? &b : &a;
    First = std::unique_lock<std::mutex>(low->Lock);
    if (high != low) Second = std::unique_lock<std::mutex>(high->Lock);
  }
};

ImapGo Copy(_Connection *conn, const ImapCommandView &cmd, bool move) {
  SessionConn &s = Sess(conn);
  ImapSeqSet set;
  std::string target;
  ImapError error;
  if (!ParseCopy(cmd.Args, s.bRev2, set, target, error)) return ImapFailed(conn, cmd.Tag, error);
  const char *name = move ? "MOVE" : "COPY";
  if (move && s.View->bReadOnly) {
    ImapReply(conn, cmd.Tag, "NO [READ-ONLY] The folder is read-only");
    return ImapGo::kOn;
  }
  std::vector<uint32_t> uids;
  if (!ViewUidsOfSet(conn, set, cmd.bUid, uids)) {
    ImapReply(conn, cmd.Tag, "BAD Invalid message sequence number");
    return ImapGo::kOn;
  }
  std::shared_ptr<SharedFolder> to;
  long rc = OpenSharedFolder(target, to);
  if (rc != ERROR_SUCCESS) {
    ImapReply(conn, cmd.Tag, rc == ERROR_FILE_NOT_FOUND ? "NO [TRYCREATE] No such folder"
                                                        : StoreRefusal(rc));
    return ImapGo::kOn;
  }
  SelectedView &v = *s.View;
  SharedFolder &from = *v.Folder;
  DirLock inbox;
  if (move && !LockInboxForRemoval(from.Name, inbox)) {
    ImapReply(conn, cmd.Tag, kInboxInUseReply);
    return ImapGo::kOn;
  }
  CopyResult result;
  std::string &out = Imap(conn).Out;
  {
    std::lock_guard<std::mutex> store(StoreLock());
    PairLock locks(from, *to);
    // Ghosts are not copied: their files are gone.
    std::erase_if(uids, [&](uint32_t uid) { return v.Ghosts.count(uid) != 0; });
    rc = uids.empty() ? ERROR_SUCCESS
                      : SessionStore().Copy(from.Index, uids, to->Index, move, result);
    if (rc == ERROR_SUCCESS && move) {
      NoteExpunged(from, result.Expunged, &v);
      if (!result.SourceUids.empty())
        out += "* OK [COPYUID " + Num(result.UidValidity) + " " + NumberSet(result.SourceUids) +
               " " + NumberSet(result.TargetUids) + "] Moved\r\n";
      std::vector<ImapRange> vanished;
      for (size_t i = result.Expunged.size(); i-- > 0;) {
        uint32_t seq = ViewSeqOfUid(v, result.Expunged[i]);
        if (seq == 0) continue;
        if (!s.bQresync) WriteCounted(out, seq, "EXPUNGE");
        v.Uids.erase(v.Uids.begin() + seq - 1);
      }
      if (s.bQresync && !result.Expunged.empty()) {
        for (uint32_t uid : result.Expunged) {
          if (!vanished.empty() && vanished.back().Last + 1 == uid)
            vanished.back().Last = uid;
          else
            vanished.push_back(ImapRange{uid, uid});
        }
        WriteVanished(out, false, vanished);
      }
    }
  }
  if (rc != ERROR_SUCCESS) {
    ImapReply(conn, cmd.Tag, StoreRefusal(rc));
    return ImapGo::kOn;
  }
  WakeIdlers(to->Id);
  if (move) WakeIdlers(from.Id);
  std::string code = !move && !result.SourceUids.empty()
                         ? "[COPYUID " + Num(result.UidValidity) + " " +
                               NumberSet(result.SourceUids) + " " +
                               NumberSet(result.TargetUids) + "] "
                         : "";
  ImapReply(conn, cmd.Tag, "OK " + code + name + " completed");
  return ImapGo::kOn;
}

}  // namespace

ImapGo CmdStore(_Connection *conn, const ImapCommandView &cmd) {
  SessionConn &s = Sess(conn);
  ImapStoreArgs a;
  ImapError error;
  if (!ParseStore(cmd.Args, a, error)) return ImapFailed(conn, cmd.Tag, error);
  if (s.View->bReadOnly) {
    ImapReply(conn, cmd.Tag, "NO [READ-ONLY] The folder is read-only");
    return ImapGo::kOn;
  }
  if (a.bUnchangedSince) s.bCondStore = true;
  std::vector<uint32_t> uids;
  if (!ViewUidsOfSet(conn, a.Set, cmd.bUid, uids)) {
    ImapReply(conn, cmd.Tag, "BAD Invalid message sequence number");
    return ImapGo::kOn;
  }
  SelectedView &v = *s.View;
  SharedFolder &f = *v.Folder;
  FlagChange change;
  change.Mode = ModeOf(a.How);
  change.Flags = a.Flags.System;
  change.Keywords = a.Flags.Keywords;
  change.HasUnchangedSince = a.bUnchangedSince;
  change.UnchangedSince = a.UnchangedSince;
  StoreOutcome outcome;
  std::string &out = Imap(conn).Out;
  std::vector<uint32_t> failed;
  long rc;
  {
    std::lock_guard<std::mutex> guard(f.Lock);
    std::erase_if(uids, [&](uint32_t uid) { return v.Ghosts.count(uid) != 0; });
    rc = uids.empty() ? ERROR_SUCCESS : f.Index.StoreFlags(uids, change, outcome);
    if (rc == ERROR_SUCCESS) {
      NoteRowsChanged(f, outcome.Changed, &v);
      std::vector<uint32_t> changedUids, refusedUids(outcome.Failed);
      for (const IndexRow &r : outcome.Changed) changedUids.push_back(r.Uid);
      std::sort(changedUids.begin(), changedUids.end());
      std::sort(refusedUids.begin(), refusedUids.end());
      // The flags as they are now, for every message of the set; under
      // CONDSTORE a silent STORE still tells the changed ones' modseq.
      for (uint32_t uid : uids) {
        bool changed = std::binary_search(changedUids.begin(), changedUids.end(), uid);
        bool refused = std::binary_search(refusedUids.begin(), refusedUids.end(), uid);
        const MsgMeta *row = FindRow(f, uid);
        if (row == nullptr || refused || (a.bSilent && !(changed && s.bCondStore))) continue;
        WriteFlagsFetch(out, v, ViewSeqOfUid(v, uid), *row, cmd.bUid || s.bQresync,
                        s.bCondStore);
      }
      for (uint32_t uid : outcome.Failed)
        failed.push_back(cmd.bUid ? uid : ViewSeqOfUid(v, uid));
    }
  }
  if (rc != ERROR_SUCCESS) {
    ImapReply(conn, cmd.Tag, rc == ERROR_INVALID_PARAMETER
                                 ? "NO [LIMIT] Too many keywords, or one too long"
                                 : StoreRefusal(rc));
    return ImapGo::kOn;
  }
  if (!outcome.Changed.empty()) WakeIdlers(f.Id);
  if (!failed.empty())
    ImapReply(conn, cmd.Tag, "OK [MODIFIED " + NumberSet(failed) + "] Conditional STORE failed");
  else
    ImapReply(conn, cmd.Tag, "OK STORE completed");
  return ImapGo::kOn;
}

ImapGo CmdCopy(_Connection *conn, const ImapCommandView &cmd) { return Copy(conn, cmd, false); }

ImapGo CmdMove(_Connection *conn, const ImapCommandView &cmd) { return Copy(conn, cmd, true); }
