// logonlog: see logonlog.h.
#include "common/logonlog.h"

#include <string>

#include "common/logging.h"
#include "common/logonpool.h"
#include "messages/zelmsg.h"

std::string QuotedUserName(std::string_view userName) {
  std::string escaped;
  for (char c : userName) {
    if (c == '\\' || c == '"') escaped.push_back('\\');
    escaped.push_back(c);
  }
  return "\"" + LogSafeText(escaped) + "\"";
}

void ReportLogonRefusal(const char *protocol, const LogonJob &job, std::string_view clientAddress,
                        std::string_view userName) {
  const char *why = job.bLookupFailed   ? "Logon failure User not known"
                    : job.bBlocked      ? "Logon failure - too many failures from the client"
                    : job.bUidRefused   ? "Logon failure - account below MinimumLogonUid"
                    : job.bNameUnknown  ? "Logon failure User not known"
                                        : "Logon failure - Password may be wrong";
  LogWin32Error(EVENTLOG_WARNING_TYPE, why, job.Error);
  if (!job.bLookupFailed) LogLogonFailure(protocol, clientAddress, userName);
}

void LogLogonFailure(const char *protocol, std::string_view clientAddress,
                     std::string_view userName) {
  std::string client = std::string(protocol) + " client " + LogSafeText(clientAddress);
  LogEvent(EVENTLOG_WARNING_TYPE, MSG_LOGON_FAILED, client.c_str(),
           QuotedUserName(userName).c_str());
}
