// logonlog: see logonlog.h.
#include "common/logonlog.h"

#include <string>

#include "common/logging.h"
#include "messages/zelmsg.h"

std::string QuotedUserName(std::string_view userName) {
  std::string escaped;
  for (char c : userName) {
    if (c == '\\' || c == '"') escaped.push_back('\\');
    escaped.push_back(c);
  }
  return "\"" + LogSafeText(escaped) + "\"";
}

void LogLogonFailure(const char *protocol, std::string_view clientAddress,
                     std::string_view userName) {
  std::string client = std::string(protocol) + " client " + LogSafeText(clientAddress);
  LogEvent(EVENTLOG_WARNING_TYPE, MSG_LOGON_FAILED, client.c_str(),
           QuotedUserName(userName).c_str());
}
