// mailaccess: see mailaccess.h.
#include "common/mailaccess.h"

#include "common/logging.h"
#include "common/netcode.h"
#include "common/str.h"
#include "common/zel.h"
#include "messages/zelmsg.h"
#include "platform/mailboxdir.h"
#include "platform/privilege.h"

MailboxReach ReachUserMailbox(const std::string &user, const std::string &domain,
                              const LogonToken &token, std::string &directory, long &error) {
  error = ERROR_SUCCESS;
  if (!GetMailboxFetch(user, domain, directory) || directory.empty())
    return MailboxReach::kNoDirectory;
  MailboxDir box;
  long rc = box.Open(directory, token, AutoCreateInboxEnabled);
  if (rc == ERROR_SUCCESS) {
    // One that root still owns becomes its user's now, not at the
    // delivery agent's next start: the session is about to become the user.
    if (HandRootsMailboxToOwner(directory, token))
      LogEvent(EVENTLOG_INFORMATION_TYPE, MSG_MAILBOXES_HANDED_OVER, "1",
               LogSafeText(directory).c_str());
    return MailboxReach::kReached;
  }
  error = rc;
  return rc == ENOENT && !AutoCreateInboxEnabled ? MailboxReach::kMissing : MailboxReach::kFailed;
}

namespace {

constexpr std::string_view kUserNamePlaceholder = "%USERNAME%";

}  // namespace

bool MailboxRoot(const std::string &inboxTemplate, std::string &root) {
  size_t pct = inboxTemplate.find('%');
  if (pct == std::string::npos ||
      !StartsWithNoCase(std::string_view(inboxTemplate).substr(pct), kUserNamePlaceholder))
    return false;
  root = inboxTemplate.substr(0, pct);
  return !root.empty();
}

bool CreateMailboxRoot() {
  std::string root;
  if (!MailboxRoot(MailInboxDirectory, root)) return true;
  MailboxDir dir;
  long rc = dir.OpenRoot(root, true);
  bool fatal = rc != ERROR_SUCCESS && rc != ERROR_MAILBOX_NOT_OWNED;
  if (rc != ERROR_SUCCESS)
    LogWin32Error(fatal ? EVENTLOG_ERROR_TYPE : EVENTLOG_WARNING_TYPE, "CreateDirectory Inbox", rc);
  return !fatal;
}

bool BecomeSessionUser(const LogonToken &token) {
  return token.bValid && token.bHasIdentity ? BecomeMailUser(token.Uid, token.Gid, token.Groups)
                                            : !IsSuperUser() && ShedPrivileges(false, 0, 0);
}
