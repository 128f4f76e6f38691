// mailhost: see mailhost.h.
#include "ZELDELIV/mailhost.h"

#include <mutex>

#include "ZELDELIV/mailbox.h"
#include "ZELDELIV/queue.h"
#include "ZELDELIV/settings.h"
#include "common/fileutils.h"
#include "common/rfc822parse.h"
#include "common/str.h"
#include "common/usermove.h"
#include "common/zel.h"
#include "net/mailproxy.h"
#include "platform/files.h"
#include "platform/textfile.h"

bool (*FindMailUser)(const std::string &name, AccountFound &found) = FindAccountByName;

namespace {

// The recipient's address at its mail host: its local part as written
// (quoted where it was) at the host's name. "" when it does not fit a
// recipient record.
std::string AddressAtMailHost(const _tRcpInfo &rcp, const std::string &host) {
  std::string local(rcp.Name, SkipLocalAddressPart(rcp.Name) - rcp.Name);
  RemoveTrailingSpace(local);
  std::string address = local + "@" + LowerAsciiCopy(host);
  return local.empty() || address.size() > kMaxRecipientName ? "" : address;
}

// The recipients a queue file already names (lower case); empty when it
// cannot be read.
std::vector<std::string> QueuedRecipients(const std::string &path) {
  std::vector<std::string> names;
  TextFile f;
  if (!OpenRcpFile(path, "r", f)) return names;
  MsgInfoPtr queued = ReadMsgInfo(f);
  if (!queued) return names;
  for (const _tRcpInfo *r = queued->Rcp; r != nullptr; r = r->Next)
    names.push_back(LowerAsciiCopy(r->Name));
  return names;
}

bool Names(const std::vector<std::string> &names, const char *address) {
  std::string lower = LowerAsciiCopy(address);
  for (const std::string &n : names)
    if (n == lower) return true;
  return false;
}

// Writes the queue file under its staged name, makes it and the directory
// durable, then names it: the remote side never sees a part of it.
bool FileQueued(const std::string &dir, const std::string &base, const _tMsgInfo &info,
                const std::vector<const _tRcpInfo *> &recipients) {
  std::string staged = dir + "/" + base + kStagedExtension;
  std::string queued = dir + "/" + base + ".RCP";
  DeleteFile(staged);   // a hand-off that failed before naming it
  SyncGroup sync;
  if (!WriteRecipientFile(staged, dir, info, recipients, sync)) return false;
  if (!sync.AddDirectory(dir) || !sync.Sync() || !MoveFileNoReplace(staged, queued)) {
    long error = GetLastError();
    DeleteFile(staged);
    SetLastError(error);
    return false;
  }
  return SyncDirectory(dir);
}

}  // namespace

MailHostChoice ChooseMailHost(const std::string &user, std::string &host, long &error,
                              std::string &cause) {
  AccountFound found;
  error = 0;
  // Held while the mailbox moves: it is delivered where the directory says
  // once the move is finished.
  if (UserMoveInProgress(user)) {
    cause = "the mailbox of " + user + " is being moved (zeladm user move)";
    return MailHostChoice::kUnknownNow;
  }
  if (!FindMailUser(user, found)) {
    if (IsNoSuchAccount(GetLastError())) return MailHostChoice::kHere;
    error = GetLastError();
    return MailHostChoice::kUnknownNow;
  }
  // One of this host's names, also short of its domain ("mh1" for
  // "mh1.example.org"), or one of its addresses: the rule the POP3 and
  // IMAP proxies follow too.
  if (found.MailHost.empty() || IsThisMailHost(found.MailHost))
    return MailHostChoice::kHere;
  if (MailHostQueueName(found.MailHost).empty()) {
    cause = "the directory names no host as the mail host of " + user + ": \"" +
            found.MailHost + "\"";
    return MailHostChoice::kUnknownNow;
  }
  host = found.MailHost;
  return MailHostChoice::kElsewhere;
}

int HandOffToMailHost(const _tMsgInfo &info, const std::vector<_tRcpInfo *> &rcps,
                      const std::string &host, std::string &cause) {
  std::string dir;
  std::string_view id(info.MessageId);
  std::string base(id.substr(0, id.find('@')));
  if (!QueueDirectoryName(MailDomainsDirectory, MailHostQueueName(host), dir) || base.empty() ||
      base.find('/') != std::string::npos) {
    cause = "no queue for the mail host " + host;
    return kDeliveryDeferred;
  }
  // The recipients as the mail host takes them.
  std::vector<_tRcpInfo> moved(rcps.size());
  std::vector<const _tRcpInfo *> recipients;
  for (size_t i = 0; i < rcps.size(); ++i) {
    std::string address = AddressAtMailHost(*rcps[i], host);
    if (address.empty()) continue;   // waits, with the cause below
    STRNCPY(moved[i].Name, address.c_str(), sizeof moved[i].Name);
    STRNCPY(moved[i].OriginalAddress, rcps[i]->OriginalAddress, sizeof moved[i].OriginalAddress);
    recipients.push_back(&moved[i]);
  }
  std::string queued = dir + "/" + base + ".RCP";
  std::unique_lock<std::mutex> lock = LockDomainDirectory(dir);
  if (!DirectoryExists(dir) && !CreateQueueDirectory(dir)) {
    cause = "the queue of the mail host " + host + " cannot be made";
    return kDeliveryDeferred;
  }
  if (FileExists(queued)) {
    // Handed off before (a crash came before the local queue was rewritten,
    // or another recipient went first): what it names is done.
    std::vector<std::string> names = QueuedRecipients(queued);
    for (size_t i = 0; i < rcps.size(); ++i)
      if (moved[i].Name[0] != '\0' && Names(names, moved[i].Name)) rcps[i]->bDisposed = 1;
  } else if (!recipients.empty() && FileQueued(dir, base, info, recipients)) {
    for (size_t i = 0; i < rcps.size(); ++i)
      if (moved[i].Name[0] != '\0') rcps[i]->bDisposed = 1;
  }
  for (const _tRcpInfo *r : rcps)
    if (!r->bDisposed) {
      cause = "mail for " + std::string(r->Name) + " waits for the queue of its mail host " + host;
      return kDeliveryDeferred;
    }
  return kDeliveryOk;
}
