// handover: see handover.h.
#include "ZELDELIV/handover.h"

#include <string>
#include <vector>

#include "common/logging.h"
#include "common/netcode.h"
#include "messages/zelmsg.h"
#include "platform/mailboxdir.h"
#include "platform/privilege.h"

void HandMailboxesToOwners() {
  std::string rootPath, prefix;
  if (!IsSuperUser() || !MailboxRootOfUsers(rootPath, prefix)) return;
  MailboxDir root;
  if (root.OpenRoot(rootPath, false) != ERROR_SUCCESS) return;   // no mailbox yet
  std::vector<MailboxDirEntry> entries;
  if (!root.ListDirectories(entries)) {
    LogWin32Error(EVENTLOG_WARNING_TYPE, "ListMailboxRoot", GetLastError());
    return;
  }
  MailboxHandOver count;
  for (const MailboxDirEntry &e : entries) {
    if (e.Owner != 0 || e.Name.size() <= prefix.size() || e.Name.compare(0, prefix.size(), prefix))
      continue;
    LogonToken owner;
    if (!MailboxOwnerOf(e.Name.substr(prefix.size()), owner) || owner.Uid == 0) continue;
    if (!root.GiveToOwner(e.Name, owner, count))
      LogWin32Error(EVENTLOG_WARNING_TYPE, ("GiveMailboxToOwner " + LogSafeText(e.Name)).c_str(),
                    GetLastError());
  }
  std::string where = LogSafeText(rootPath);
  if (count.Mailboxes > 0)
    LogEvent(EVENTLOG_INFORMATION_TYPE, MSG_MAILBOXES_HANDED_OVER,
             std::to_string(count.Mailboxes).c_str(), where.c_str());
  if (count.LeftAlone > 0)
    LogEvent(EVENTLOG_WARNING_TYPE, MSG_MAILBOX_ENTRIES_LEFT,
             std::to_string(count.LeftAlone).c_str(), where.c_str());
}
