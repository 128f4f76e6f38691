// mailbox: see mailbox.h.
#include "ZELDELIV/mailbox.h"

#include <cerrno>

#include "ZELDELIV/queue.h"
#include "common/logging.h"
#include "common/str.h"
#include "common/zel.h"
#include "messages/zelmsg.h"
#include "platform/files.h"

namespace {

constexpr const char *kSystemErrorText = "Could not deliver message - system error:\n";
// GetMailbox's result 9 has no system error behind it: say what is wrong.
constexpr const char *kBadTemplateText = "The mailbox directory template is unusable";

int MailboxCopyResult(const _tMsgInfo &info, const std::string &source, long error) {
  switch (error) {
    case 0: return kDeliveryOk;
    case ENOENT:
      // The mailbox may have gone instead of the message: say which.
      if (FileExists(source)) return kDeliveryNoMailbox;
      LogEvent(EVENTLOG_ERROR_TYPE, MSG_MESSAGE_NOT_FOUND, info.MessageId,
               MailHoldingDirectory.c_str());
      return kDeliveryMessageMissing;
    case EACCES:
    case EPERM: return kDeliveryAccessDenied;
    case EEXIST: return kDeliveryTooManyCopies;
    default: return IsDiskFullError(error) ? kDeliveryDiskFull : kDeliverySystemError;
  }
}

// A message base name that could leave the directory it is joined to.
bool IsUnsafeBaseName(std::string_view id) {
  std::string_view base = id.substr(0, id.find('@'));
  return base.empty() || base == "." || base == ".." || base.find('/') != std::string_view::npos;
}

}  // namespace

int DeliverToUserMailbox(const _tMsgInfo &info, const std::string &mailbox, long &error) {
  std::string source = HeldMessagePath(info);
  if (IsUnsafeBaseName(info.MessageId)) {
    error = EINVAL;
    return kDeliverySystemError;
  }
  error = EEXIST;
  for (int copy = 0; copy < kMaxMailboxCopies && error == EEXIST; ++copy) {
    std::string target = CreateFileNameFromMessageId(mailbox, info.MessageId, copy, 0);
    error = CopyFileNoReplace(source, target) ? 0 : GetLastError();
    // The recipient is marked done right after this: the name must last.
    if (error == 0 && !SyncDirectory(mailbox)) {
      error = GetLastError();
      DeleteFile(target);
    }
  }
  return MailboxCopyResult(info, source, error);
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

std::string MailboxFilePath(const std::string &mailbox, const char *name) {
  if (!mailbox.empty() && mailbox.back() == '/') return mailbox + name;
  return mailbox + "/" + name;
}
