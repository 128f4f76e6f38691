// imapmbox: see imapmbox.h.
#include "ZELIMAP/imapmbox.h"

#include <algorithm>
#include <set>

#include "ZELIMAP/imapcfg.h"
#include "ZELIMAP/imapcmd.h"
#include "ZELIMAP/imapfolder.h"
#include "ZELIMAP/imapparsecmds.h"
#include "ZELIMAP/imapsession.h"
#include "ZELIMAP/imapwrite.h"

namespace {

std::string Num(uint64_t n) { return std::to_string(n); }

// A trailing delimiter only says the folder will have children.
std::string WithoutTrailingDelimiter(std::string name) {
  while (name.size() > 1 && name.back() == kImapDelimiter) name.pop_back();
  return name;
}

ImapGo Done(_Connection *conn, std::string_view tag, long rc, const char *what) {
  if (rc == ERROR_SUCCESS)
    ImapReply(conn, tag, std::string("OK ") + what + " completed");
  else
    ImapReply(conn, tag, StoreRefusal(rc));
  return ImapGo::kOn;
}

// ---- LIST

struct ListWork {
  const ImapListArgs *Args = nullptr;
  std::vector<FolderEntry> Folders;
  std::set<std::string> Subscribed;
  bool bRev2 = false;
};

bool Matches(const ImapListArgs &a, std::string_view name) {
  for (const std::string &pattern : a.Patterns)
    if (MatchListPattern(CombineListReference(a.Reference, pattern), name)) return true;
  return false;
}

bool HasSubscribedChild(const ListWork &w, const std::string &name) {
  std::string prefix = name + kImapDelimiter;
  auto it = w.Subscribed.lower_bound(prefix);
  return it != w.Subscribed.end() && it->compare(0, prefix.size(), prefix) == 0;
}

// The STATUS values of items for a folder (LIST-STATUS and STATUS).
long StatusValues(const std::string &name, const std::vector<ImapStatusItem> &items,
                  std::vector<uint64_t> &values);

void ListOne(_Connection *conn, const ListWork &w, const FolderEntry &e, bool childInfo,
             std::string_view verb) {
  const ImapListArgs &a = *w.Args;
  uint32_t attrs = e.Attributes;
  bool subscribed = w.Subscribed.count(e.Name) != 0;
  if (subscribed && (a.bRetSubscribed || a.bSelSubscribed)) attrs |= kFolderSubscribed;
  else attrs &= ~kFolderSubscribed;
  std::string &out = Imap(conn).Out;
  if (!WriteListLine(out, verb, FolderAttributeText(attrs), e.Name, w.bRev2, childInfo)) return;
  if (!a.bRetStatus || (attrs & (kFolderNoSelect | kFolderNonExistent)) != 0) return;
  std::vector<uint64_t> values;
  if (StatusValues(e.Name, a.StatusItems, values) == ERROR_SUCCESS)
    (void)WriteStatus(out, e.Name, w.bRev2, a.StatusItems, values.data());
}

long LoadListWork(_Connection *conn, ListWork &w) {
  std::vector<std::string> subscribed;
  std::lock_guard<std::mutex> store(StoreLock());
  long rc = SessionStore().ListFolders(w.Folders);
  if (rc == ERROR_SUCCESS) rc = SessionStore().ReadSubscriptions(subscribed);
  w.Subscribed.insert(subscribed.begin(), subscribed.end());
  w.bRev2 = Sess(conn).bRev2;
  return rc;
}

void RunList(_Connection *conn, ListWork &w, std::string_view verb) {
  const ImapListArgs &a = *w.Args;
  for (const FolderEntry &e : w.Folders) {
    bool special = (e.Attributes & (kFolderSent | kFolderDrafts | kFolderTrash | kFolderJunk |
                                    kFolderArchive)) != 0;
    if (!Matches(a, e.Name)) continue;
    if (a.bSelSpecialUse && !special) continue;
    if ((e.Attributes & kFolderNonExistent) != 0 && !a.bSelSubscribed) continue;
    if (a.bSelSubscribed && w.Subscribed.count(e.Name) == 0) {
      // RECURSIVEMATCH: a folder that is not subscribed but has a child
      // that is, named with CHILDINFO.
      if (a.bSelRecursiveMatch && HasSubscribedChild(w, e.Name)) {
        FolderEntry parent = e;
        parent.Attributes &= ~kFolderSubscribed;
        ListOne(conn, w, parent, true, verb);
      }
      continue;
    }
    ListOne(conn, w, e, a.bSelRecursiveMatch && a.bSelSubscribed && HasSubscribedChild(w, e.Name),
            verb);
  }
}

std::unique_ptr<AppendState> &PendingAppend(_Connection *conn);

}  // namespace

std::string StoreRefusal(long rc) {
  switch (rc) {
    case ERROR_FILE_NOT_FOUND: return "NO [NONEXISTENT] No such folder";
    case ERROR_ALREADY_EXISTS: return "NO [ALREADYEXISTS] The folder exists already";
    case ERROR_INVALID_PARAMETER: return "NO [CANNOT] Not a valid folder name";
    case ERROR_ACCESS_DENIED: return "NO [CANNOT] INBOX cannot be deleted";
    case ERROR_DIR_NOT_EMPTY: return "NO [HASCHILDREN] The folder has children";
    case EISDIR: return "NO [CANNOT] The folder holds no messages";
    case ERROR_BUSY: return "NO [INUSE] The folder is busy; try again";
    case ERROR_DISK_FULL: return "NO [OVERQUOTA] The disk is full";
    default: return "NO [SERVERBUG] The folder store failed (" + Num(static_cast<uint64_t>(rc)) + ")";
  }
}

namespace {

long StatusValues(const std::string &name, const std::vector<ImapStatusItem> &items,
                  std::vector<uint64_t> &values) {
  FolderCounts counts;
  long rc;
  {
    std::lock_guard<std::mutex> store(StoreLock());
    rc = SessionStore().FolderStatus(name, counts);
  }
  if (rc != ERROR_SUCCESS) return rc;
  values.clear();
  for (ImapStatusItem item : items) {
    switch (item) {
      case ImapStatusItem::kMessages: values.push_back(counts.Messages); break;
      case ImapStatusItem::kUidNext: values.push_back(counts.State.UidNext); break;
      case ImapStatusItem::kUidValidity: values.push_back(counts.State.UidValidity); break;
      case ImapStatusItem::kUnseen: values.push_back(counts.Unseen); break;
      case ImapStatusItem::kDeleted: values.push_back(counts.Deleted); break;
      case ImapStatusItem::kSize: values.push_back(counts.Size); break;
      case ImapStatusItem::kRecent: values.push_back(counts.Recent); break;
      case ImapStatusItem::kHighestModSeq: values.push_back(counts.State.HighestModSeq); break;
      case ImapStatusItem::kAppendLimit: values.push_back(ImapAppendLimit); break;
    }
  }
  return ERROR_SUCCESS;
}

std::unique_ptr<AppendState> &PendingAppend(_Connection *conn) {
  return Sess(conn).Append;
}

}  // namespace

ImapGo CmdCreate(_Connection *conn, const ImapCommandView &cmd) {
  std::string name;
  ImapError error;
  if (!ParseMailboxArg(cmd.Args, Sess(conn).bRev2, name, error))
    return ImapFailed(conn, cmd.Tag, error);
  long rc;
  {
    std::lock_guard<std::mutex> store(StoreLock());
    rc = SessionStore().CreateFolder(WithoutTrailingDelimiter(name));
  }
  return Done(conn, cmd.Tag, rc, "CREATE");
}

ImapGo CmdDelete(_Connection *conn, const ImapCommandView &cmd) {
  std::string name;
  ImapError error;
  if (!ParseMailboxArg(cmd.Args, Sess(conn).bRev2, name, error))
    return ImapFailed(conn, cmd.Tag, error);
  long rc;
  {
    std::lock_guard<std::mutex> store(StoreLock());
    rc = SessionStore().DeleteFolder(name);
  }
  if (rc == ERROR_SUCCESS) ForgetSharedFolder(name);
  return Done(conn, cmd.Tag, rc, "DELETE");
}

ImapGo CmdRename(_Connection *conn, const ImapCommandView &cmd) {
  std::string from, to;
  ImapError error;
  if (!ParseRename(cmd.Args, Sess(conn).bRev2, from, to, error))
    return ImapFailed(conn, cmd.Tag, error);
  // Renaming INBOX moves its messages away.
  DirLock inbox;
  if (!LockInboxForRemoval(from, inbox)) {
    ImapReply(conn, cmd.Tag, kInboxInUseReply);
    return ImapGo::kOn;
  }
  long rc;
  {
    std::lock_guard<std::mutex> store(StoreLock());
    rc = SessionStore().RenameFolder(from, WithoutTrailingDelimiter(to));
  }
  // The folder and those below it are found under their new names now.
  if (rc == ERROR_SUCCESS) ForgetSharedFolders(from);
  return Done(conn, cmd.Tag, rc, "RENAME");
}

ImapGo Subscription(_Connection *conn, const ImapCommandView &cmd, bool subscribe) {
  std::string name;
  ImapError error;
  if (!ParseMailboxArg(cmd.Args, Sess(conn).bRev2, name, error))
    return ImapFailed(conn, cmd.Tag, error);
  long rc;
  {
    std::lock_guard<std::mutex> store(StoreLock());
    rc = SessionStore().Subscribe(name, subscribe);
  }
  return Done(conn, cmd.Tag, rc, subscribe ? "SUBSCRIBE" : "UNSUBSCRIBE");
}

ImapGo CmdSubscribe(_Connection *conn, const ImapCommandView &cmd) {
  return Subscription(conn, cmd, true);
}

ImapGo CmdUnsubscribe(_Connection *conn, const ImapCommandView &cmd) {
  return Subscription(conn, cmd, false);
}

ImapGo CmdList(_Connection *conn, const ImapCommandView &cmd) {
  ImapListArgs a;
  ImapError error;
  if (!ParseList(cmd.Args, Sess(conn).bRev2, a, error)) return ImapFailed(conn, cmd.Tag, error);
  std::string &out = Imap(conn).Out;
  if (!a.bExtended && a.Patterns.size() == 1 && a.Patterns[0].empty()) {
    // The hierarchy delimiter and the root of the reference.
    out += "* LIST (\\Noselect) \"/\" \"\"\r\n";
    ImapReply(conn, cmd.Tag, "OK LIST completed");
    return ImapGo::kOn;
  }
  ListWork w;
  w.Args = &a;
  if (long rc = LoadListWork(conn, w); rc != ERROR_SUCCESS) return Done(conn, cmd.Tag, rc, "LIST");
  RunList(conn, w, "LIST");
  ImapReply(conn, cmd.Tag, "OK LIST completed");
  return ImapGo::kOn;
}

ImapGo CmdLsub(_Connection *conn, const ImapCommandView &cmd) {
  ImapListArgs a;
  ImapError error;
  if (!ParseLsub(cmd.Args, false, a, error)) return ImapFailed(conn, cmd.Tag, error);
  ListWork w;
  w.Args = &a;
  if (long rc = LoadListWork(conn, w); rc != ERROR_SUCCESS) return Done(conn, cmd.Tag, rc, "LSUB");
  std::string &out = Imap(conn).Out;
  std::set<std::string> told;
  for (const std::string &name : w.Subscribed) {
    if (Matches(a, name)) {
      (void)WriteListLine(out, "LSUB", "", name, false, false);
      told.insert(name);
      continue;
    }
    // "%" stops at a level: a parent of a subscribed folder that matches
    // is named, \Noselect when it is not subscribed itself.
    for (size_t slash = name.find(kImapDelimiter); slash != std::string::npos;
         slash = name.find(kImapDelimiter, slash + 1)) {
      std::string parent = name.substr(0, slash);
      if (told.count(parent) != 0 || w.Subscribed.count(parent) != 0 || !Matches(a, parent))
        continue;
      (void)WriteListLine(out, "LSUB", "\\Noselect", parent, false, false);
      told.insert(parent);
    }
  }
  ImapReply(conn, cmd.Tag, "OK LSUB completed");
  return ImapGo::kOn;
}

ImapGo CmdNamespace(_Connection *conn, const ImapCommandView &cmd) {
  // One personal namespace, the whole mailbox; nothing shared.
  Imap(conn).Out += "* NAMESPACE ((\"\" \"/\")) NIL NIL\r\n";
  ImapReply(conn, cmd.Tag, "OK NAMESPACE completed");
  return ImapGo::kOn;
}

ImapGo CmdStatus(_Connection *conn, const ImapCommandView &cmd) {
  SessionConn &s = Sess(conn);
  ImapStatusArgs a;
  ImapError error;
  if (!ParseStatus(cmd.Args, s.bRev2, a, error)) return ImapFailed(conn, cmd.Tag, error);
  std::vector<uint64_t> values;
  long rc = StatusValues(a.Mailbox, a.Items, values);
  if (rc != ERROR_SUCCESS) return Done(conn, cmd.Tag, rc, "STATUS");
  (void)WriteStatus(Imap(conn).Out, a.Mailbox, s.bRev2, a.Items, values.data());
  ImapReply(conn, cmd.Tag, "OK STATUS completed");
  return ImapGo::kOn;
}

// ---- APPEND

ImapGo AppendAnnounced(_Connection *conn, const ImapCommandView &cmd) {
  ImapConn &c = Imap(conn);
  SessionConn &s = Sess(conn);
  ImapAppendArgs a;
  ImapError error;
  std::string tag(cmd.Tag);
  if (cmd.Name != "APPEND" || c.State == kImapNotAuthenticated) {
    ImapRefuseMessage(c.Reader, tag + " BAD Command not valid here\r\n");
    return ImapGo::kOn;
  }
  if (!ParseAppend(cmd, s.bRev2, a, error)) {
    ImapRefuseMessage(c.Reader, tag + " " + error.Status + " " + error.Text + "\r\n");
    return ImapGo::kOn;
  }
  auto state = std::make_unique<AppendState>();
  long rc = OpenSharedFolder(a.Mailbox, state->Folder);
  if (rc == ERROR_SUCCESS) rc = state->Writer.Begin(state->Folder->Index);
  if (rc != ERROR_SUCCESS) {
    std::string reply = rc == ERROR_FILE_NOT_FOUND
                            ? "NO [TRYCREATE] No such folder"
                            : StoreRefusal(rc);
    ImapRefuseMessage(c.Reader, tag + " " + reply + "\r\n");
    return ImapGo::kOn;
  }
  s.Append = std::move(state);
  return ImapGo::kOn;
}

ImapGo AppendBytes(_Connection *conn, std::string_view data) {
  std::unique_ptr<AppendState> &state = PendingAppend(conn);
  // After a failed write the rest is read and dropped; the reply says why.
  if (state != nullptr && state->Error == ERROR_SUCCESS) state->Error = state->Writer.Write(data);
  return ImapGo::kOn;
}

ImapGo CmdAppend(_Connection *conn, const ImapCommandView &cmd) {
  SessionConn &s = Sess(conn);
  std::unique_ptr<AppendState> state = std::move(s.Append);
  ImapAppendArgs a;
  ImapError error;
  if (state == nullptr) {
    ImapReply(conn, cmd.Tag, "BAD APPEND without a message");
    return ImapGo::kOn;
  }
  if (!ParseAppend(cmd, s.bRev2, a, error)) return ImapFailed(conn, cmd.Tag, error);
  long rc = state->Error;
  AppendResult result;
  SharedFolder &f = *state->Folder;
  if (rc == ERROR_SUCCESS) {
    std::lock_guard<std::mutex> guard(f.Lock);
    rc = state->Writer.Finish(a.bHasDate ? a.Date : 0, a.Flags.System, a.Flags.Keywords, result);
  }
  if (rc != ERROR_SUCCESS) {
    state->Writer.Abort();
    ImapReply(conn, cmd.Tag, rc == ERROR_INVALID_PARAMETER
                                 ? "NO [CANNOT] An empty message, or keywords beyond the limits"
                                 : StoreRefusal(rc));
    return ImapGo::kOn;
  }
  WakeIdlers(f.Id);
  // The selected folder's new message is told now.
  ReportFolderChanges(conn, true);
  ImapReply(conn, cmd.Tag, "OK [APPENDUID " + Num(result.UidValidity) + " " + Num(result.Uid) +
                               "] APPEND completed");
  return ImapGo::kOn;
}
