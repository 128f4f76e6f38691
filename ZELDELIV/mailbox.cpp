// mailbox: see mailbox.h.
#include "ZELDELIV/mailbox.h"

#include <cerrno>
#include <cstring>

#include "ZELDELIV/queue.h"
#include "common/logging.h"
#include "common/mailstore.h"
#include "common/str.h"
#include "common/zel.h"
#include "messages/zelmsg.h"
#include "platform/files.h"
#include "platform/fileview.h"
#include "platform/logon.h"

namespace {

constexpr const char *kSystemErrorText = "Could not deliver message - system error:\n";
// GetMailbox's result 9 has no system error behind it: say what is wrong.
constexpr const char *kBadTemplateText = "The mailbox directory template is unusable";

// A message base name that could leave the directory it is joined to.
bool IsUnsafeBaseName(std::string_view id) {
  std::string_view base = id.substr(0, id.find('@'));
  return base.empty() || base == "." || base == ".." || base.find('/') != std::string_view::npos;
}

// The file name of copy n in a directory.
std::string CopyName(const _tMsgInfo &info, int copy) {
  std::string path = CreateFileNameFromMessageId("", info.MessageId, copy, 0);
  return path.substr(path.rfind('/') + 1);
}

// Opens the held message to copy from; kDeliveryOk or the result.
int OpenHeldMessage(const _tMsgInfo &info, long &error, UniqueFd &source) {
  if (IsUnsafeBaseName(info.MessageId)) {
    error = EINVAL;
    return kDeliverySystemError;
  }
  source.Reset(OpenFileForReading(HeldMessagePath(info)));
  if (source.Valid()) return kDeliveryOk;
  error = GetLastError();
  if (error != ENOENT) return kDeliveryDeferred;
  LogEvent(EVENTLOG_ERROR_TYPE, MSG_MESSAGE_NOT_FOUND, LogSafeText(info.MessageId).c_str(),
           MailHoldingDirectory.c_str());
  return kDeliveryMessageMissing;
}

// Copies into the first free name; copyOne(fd, name) makes one copy. Only
// ten names taken and a missing message are answers for good.
template <typename CopyOne>
int CopyHeldMessage(const _tMsgInfo &info, long &error, CopyOne copyOne) {
  UniqueFd source;
  if (int result = OpenHeldMessage(info, error, source); result != kDeliveryOk) return result;
  error = EEXIST;
  for (int copy = 0; copy < kMaxMailboxCopies && error == EEXIST; ++copy)
    error = copyOne(source.Get(), CopyName(info, copy)) ? 0 : GetLastError();
  if (error == 0) return kDeliveryOk;
  return error == EEXIST ? kDeliveryTooManyCopies : kDeliveryDeferred;
}

}  // namespace

bool IsDeferredResult(int result) {
  return result == kDeliveryDeferred || result == kDeliveryUnusable;
}

int DeliverToUserMailbox(const _tMsgInfo &info, const MailboxDir &mailbox, long &error) {
  return CopyHeldMessage(info, error, [&mailbox](int source, const std::string &name) {
    return mailbox.CopyFileIn(source, name);
  });
}

int DeliverToListDirectory(const _tMsgInfo &info, const std::string &directory, long &error) {
  std::string held = HeldMessagePath(info);
  return CopyHeldMessage(info, error, [&directory, &held](int, const std::string &name) {
    std::string target = directory + "/" + name;
    // The recipient is marked done right after this: the name must last.
    if (!CopyFileNoReplace(held, target)) return false;
    if (SyncDirectory(directory)) return true;
    long syncError = GetLastError();
    DeleteFile(target);
    SetLastError(syncError);
    return false;
  });
}

namespace {

// Copy n of the message is staged in the group for the same mailbox (two
// recipients of one message that share a mailbox).
bool StagedAs(const MailboxCopyGroup &group, const _tMsgInfo &info, const MailboxDir &mailbox,
              int n) {
  for (const MailboxCopyGroup::Entry &e : group.Entries)
    if (e.FirstCopy == n && e.MailboxPath == mailbox.Path() &&
        std::strcmp(e.Info->MessageId, info.MessageId) == 0)
      return true;
  return false;
}

}  // namespace

long OpenJunkFolder(const MailboxDir &mailbox, MailboxDir &junk) {
  constexpr std::string_view kJunk = "Junk";
  std::string path = mailbox.Path() + "/" + EncodeFolderComponent(kJunk);
  long rc = junk.Open(path, mailbox.Owner(), false);
  if (rc != ENOENT) return rc;
  {
    ImpersonationGuard as;
    if (!as.Begin(mailbox.Owner())) return GetLastError();
    Mailstore store;
    rc = store.Open(mailbox.Fd(), IndexOptions{});
    if (rc == ERROR_SUCCESS) rc = store.CreateFolder(kJunk);
    if (rc != ERROR_SUCCESS && rc != ERROR_ALREADY_EXISTS) return rc;
  }
  return junk.Open(path, mailbox.Owner(), false);
}

int StageUserMailboxCopy(const _tMsgInfo &info, _tRcpInfo &rcp, const MailboxDir &mailbox,
                         long &error, MailboxCopyGroup &group) {
  // Each staged copy holds two descriptors until the commit.
  if (group.Entries.size() >= kMaxStagedCopies) return DeliverToUserMailbox(info, mailbox, error);
  UniqueFd source;
  if (int result = OpenHeldMessage(info, error, source); result != kDeliveryOk) return result;
  int first = 0;
  while (first < kMaxMailboxCopies &&
         (mailbox.FileExists(CopyName(info, first)) || StagedAs(group, info, mailbox, first)))
    ++first;
  if (first == kMaxMailboxCopies) {
    error = EEXIST;
    return kDeliveryTooManyCopies;
  }
  MailboxCopyGroup::Entry e;
  if (!mailbox.StageCopy(source.Get(), e.Copy)) {
    error = GetLastError();
    return kDeliveryDeferred;
  }
  e.Info = &info;
  e.Rcp = &rcp;
  e.FirstCopy = first;
  e.MailboxPath = mailbox.Path();
  group.Entries.push_back(std::move(e));
  error = 0;
  return kDeliveryOk;
}

namespace {

// A copy that did not make it: its recipient waits for a later pass.
void GiveBack(const MailboxCopyGroup::Entry &e, long error) {
  e.Rcp->bDisposed = 0;
  ReportDeferral(*e.Info, MailboxFailureCause(e.MailboxPath, error));
}

// Names a staged copy under the first free name from its first free one
// (two recipients of one message may share a mailbox); the name, or "".
std::string NameCopy(MailboxCopyGroup::Entry &e, long &error) {
  for (int copy = e.FirstCopy; copy < kMaxMailboxCopies; ++copy) {
    std::string name = CopyName(*e.Info, copy);
    if (NameStagedCopy(e.Copy, name)) return name;
    error = GetLastError();
    if (error != EEXIST) return "";
  }
  return "";   // taken since it was staged: the next pass says so for good
}

}  // namespace

void CommitMailboxCopies(MailboxCopyGroup &group) {
  std::vector<MailboxCopyGroup::Entry> entries;
  entries.swap(group.Entries);
  if (entries.empty()) return;
  // Data first: no copy has a name before it is whole on disk.
  std::vector<int> fds;
  for (const auto &e : entries) fds.push_back(e.Copy.File());
  if (!SyncTogether(fds)) {
    long error = GetLastError();
    for (const auto &e : entries) GiveBack(e, error);
    return;
  }
  std::vector<std::string> names(entries.size());
  std::vector<int> dirs;
  for (size_t i = 0; i < entries.size(); ++i) {
    long error = 0;
    names[i] = NameCopy(entries[i], error);
    if (names[i].empty())
      GiveBack(entries[i], error);
    else
      dirs.push_back(entries[i].Copy.Directory());
  }
  if (SyncTogether(dirs)) return;
  // Names that may not last are taken back: the copies are made again.
  long error = GetLastError();
  for (size_t i = 0; i < entries.size(); ++i) {
    if (names[i].empty()) continue;
    UnnameStagedCopy(entries[i].Copy, names[i]);
    GiveBack(entries[i], error);
  }
}

std::string LocalDeliveryFailureText(int result, long error) {
  switch (result) {
    case kDeliveryNoAccount: return "User not known";
    case kDeliveryNoHome: return "User home directory unknown";
    case kDeliveryNoMailbox: return "User does not have a mailbox";
    case kDeliveryAccessDenied: return "User's mailbox is not accessible to the mail server";
    case kDeliveryDiskFull: return "User's mailbox is full";
    case kDeliveryTooManyCopies:
      return "There are too many copies of this message in the user's mailbox";
    case kDeliveryMessageMissing: return "Message file missing - message not delivered";
    default: break;
  }
  std::string why;
  if (error == 0) {
    why = kBadTemplateText;
  } else if (!FormatSystemMessage(error, why)) {
    why = "Error " + std::to_string(error);
  }
  return BoundedCopy(std::string(kSystemErrorText) + why, kMaxFailureText);
}

void ReportDeferral(const _tMsgInfo &info, const std::string &cause) {
  std::string_view id(info.MessageId);
  if (!FirstReportOf("deferred\n" + std::string(id.substr(0, id.find('@'))) + "\n" + cause))
    return;
  LogEvent(EVENTLOG_WARNING_TYPE, MSG_DELIVERY_DEFERRED, LogSafeText(info.MessageId).c_str(),
           LogSafeText(cause).c_str());
}

std::string MailboxFailureCause(const std::string &path, long error) {
  if (error == ERROR_NO_VIRTUAL_MAIL_ACCOUNT)
    return "the user has no host account and the virtual mail account \"" +
           VirtualMailAccountName() +
           "\" (VirtualMailAccount) is no unprivileged account of this host; nothing is "
           "written as root";
  std::string why;
  if (error == ERROR_MAILBOX_NOT_OWNED)
    why = "a directory on its path belongs to neither root nor the mailbox's owner";
  else if (error == ELOOP)
    why = "a symbolic link stands on its path";
  else if (!FormatSystemMessage(error, why))
    why = "error " + std::to_string(error);
  return "mailbox " + path + ": " + why;
}
