// mbxsec: see mbxsec.h.
#include "ZELFETCH/mbxsec.h"

#include "common/fileutils.h"
#include "common/logging.h"
#include "common/str.h"
#include "common/zel.h"
#include "platform/dirsec.h"
#include "platform/files.h"
#include "platform/logon.h"
#include "platform/mailboxdir.h"

namespace {

constexpr std::string_view kUserNamePlaceholder = "%USERNAME%";

bool CreateOneStartDirectory(const std::string &path, bool wholePath, const char *event) {
  bool ok = wholePath ? CreateDirectoryRecursively(path)
                      : CreateDirectory(path) || GetLastError() == ERROR_ALREADY_EXISTS;
  if (!ok) LogWin32Error(EVENTLOG_ERROR_TYPE, event, GetLastError());
  return ok;
}

}  // namespace

bool MailboxRoot(const std::string &inboxTemplate, std::string &root) {
  size_t pct = inboxTemplate.find('%');
  if (pct == std::string::npos ||
      !StartsWithNoCase(std::string_view(inboxTemplate).substr(pct), kUserNamePlaceholder))
    return false;
  root = inboxTemplate.substr(0, pct);
  return !root.empty();
}

bool CreateStartDirectories() {
  if (!CreateOneStartDirectory(MailSpoolDirectory, true, "CreateDirectory Spool")) return false;
  if (!CreateOneStartDirectory(Pop3logDirectory, false, "CreateDirectory Pop3Log")) return false;
  std::string root;
  if (!MailboxRoot(MailInboxDirectory, root)) return true;
  // Root's and passable: each mailbox in it belongs to its user.
  MailboxDir dir;
  long rc = dir.OpenRoot(root, true);
  // A directory of another user's on its path is the administrator's to
  // mend (the delivery agent names it for every mailbox); the start goes on.
  bool fatal = rc != ERROR_SUCCESS && rc != ERROR_MAILBOX_NOT_OWNED;
  if (rc != ERROR_SUCCESS)
    LogWin32Error(fatal ? EVENTLOG_ERROR_TYPE : EVENTLOG_WARNING_TYPE, "CreateDirectory Inbox", rc);
  return !fatal;
}
