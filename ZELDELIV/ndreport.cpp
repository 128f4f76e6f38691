// ndreport: see ndreport.h.
#include "ZELDELIV/ndreport.h"

#include <string>
#include <vector>

#include "ZELDELIV/msgtext.h"
#include "ZELDELIV/settings.h"
#include "common/fileutils.h"
#include "common/str.h"
#include "common/zel.h"
#include "platform/files.h"
#include "platform/textfile.h"

namespace {

// The opening of a report: who had the problem.
void WriteOpening(TextFile &out, const _tMsgInfo &info, const _tRcpInfo *rcp) {
  if (rcp != nullptr) {
    out.Write(rcp->bIsLocalUser ? "Your message has encountered delivery problems\nto local user "
                                : "Your message has encountered delivery problems to ");
    out.Write(rcp->Name);
    out.Write(rcp->bIsLocalUser ? ".\n" : ".\n\n");
    if (rcp->OriginalAddress[0] != '\0')
      out.Printf("(Originally addressed to %s)\n\n", rcp->OriginalAddress);
    return;
  }
  if (info.Rcp == nullptr) {
    out.Write("Your message has encountered delivery problems.\n\n");
    return;
  }
  out.Write("Your message has encountered delivery problems to the following recipients:\n");
  for (const _tRcpInfo *r = info.Rcp; r != nullptr; r = r->Next) {
    if (r->bDisposed) continue;
    // The name starts a line: it is body text.
    WriteBodyText(out, r->Name);
    if (r->OriginalAddress[0] != '\0') out.Printf(" (%s)", r->OriginalAddress);
    out.Write("\n");
  }
  out.Write("\n");
}

void WriteReport(TextFile &out, const _tMsgInfo &info, const _tRcpInfo *rcp, const char *subject,
                 const char *reason, const char *detail, const std::string &messageId,
                 const std::string &postmaster, bool sendsToReturnPath, bool postmasterCopy) {
  WriteCommonHeaders(out, nullptr, subject, postmaster.c_str(), nullptr, messageId.c_str());
  if (sendsToReturnPath) out.Printf("To: %s\n", info.ReturnPath);
  if (postmasterCopy) out.Printf("Cc: %s\n", postmaster.c_str());
  out.Write("\n");
  WriteOpening(out, info, rcp);
  WriteBodyText(out, reason == nullptr ? "" : reason);
  out.Write("\n");
  if (detail != nullptr) {
    WriteBodyText(out, detail);
    out.Write("\n");
  }
  out.Write("\nYour message reads (in part):\n\n");
  AppendMessageToFile(info, kReportBodyLimit, out);
  out.Write("\n.\n");
}

// A return path that can be a report's recipient as it is: one that does
// not fit a recipient field would be cut into another address, and one with
// control characters cannot go into the To line.
bool CanReportTo(const char *returnPath) {
  std::string_view path(returnPath);
  return !path.empty() && path.size() <= kMaxRecipientName && IsSafeHeaderText(path);
}

std::string FileNamePart(const std::string &path) {
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

std::string PostmasterAddress() {
  return BoundedCopy("postmaster@" + GetLocalHostName(-1), kMaxHeaderAddress);
}

bool CreateNonDeliveryMessage(const _tMsgInfo &info, const _tRcpInfo *rcp, bool postmasterCopy,
                              const char *reason, const char *detail) {
  return CreateNotificationMessage(info, rcp, postmasterCopy, kReportSubject, reason, detail);
}

bool CreateNotificationMessage(const _tMsgInfo &info, const _tRcpInfo *rcp, bool postmasterCopy,
                               const char *subject, const char *reason, const char *detail) {
  std::string postmaster = PostmasterAddress();
  bool toReturnPath = CanReportTo(info.ReturnPath);
  if (!toReturnPath) postmasterCopy = true;
  GeneratedMessage msg;
  if (!msg.Create(GetLocalHostName(-1))) return false;
  WriteReport(msg.Stream(), info, rcp, subject, reason, detail, msg.MessageId(), postmaster,
              toReturnPath, postmasterCopy);
  std::vector<std::string> recipients;
  if (toReturnPath) recipients.push_back(info.ReturnPath);
  if (postmasterCopy) recipients.push_back(postmaster);
  return msg.Queue("", recipients, kReportLockWaitMs);
}

std::string ReplaceFileNameExtension(const std::string &path, const char *ext) {
  size_t slash = path.rfind('/');
  size_t dot = path.rfind('.');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash))
    return path + "." + ext;
  return path.substr(0, dot + 1) + ext;
}

DeadLetterHandOff HandDeadLettersOff = nullptr;

bool DeadMessage(const std::string &path, const char *reason) {
  if (HandDeadLettersOff != nullptr) return HandDeadLettersOff(path, reason);
  if (MailDeadDirectory.empty()) return false;
  // The directory is made at start; should it have gone, a dead letter is
  // still better kept than lost.
  if (!DirectoryExists(MailDeadDirectory)) CreateDirectoryRecursively(MailDeadDirectory);
  std::string name = FileNamePart(path);
  std::string target = MailDeadDirectory + "/" + name;
  // An earlier dead letter of this name stays. The reason is written even
  // when there is nothing to copy (a message that is gone).
  bool ok = CopyFileNoReplace(path, target) || GetLastError() == ERROR_FILE_EXISTS;
  if (reason != nullptr) {
    TextFile companion;
    bool told = companion.Open(ReplaceFileNameExtension(target, "TXT"), "a") &&
                companion.Printf("%s is dead because:\n%s\n\n", name.c_str(), reason) &&
                companion.Commit();
    ok = companion.Close() && told && ok;
  }
  return SyncDirectory(MailDeadDirectory) && ok;
}
