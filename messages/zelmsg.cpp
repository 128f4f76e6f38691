// zelmsg: see zelmsg.h.
#include "messages/zelmsg.h"

namespace {

struct MessageEntry {
  uint32_t Id;
  const char *Text;
};

const MessageEntry kMessages[] = {
    {MSG_WIN32_ERROR, "Win32 API routine \"%1\" failed: %2\r\n"},
    {MSG_CRT_ERROR, "C run-time library function \"%1\" failed.\r\n"},
    {MSG_SERVICE_STARTING, "%1 service starting.\r\n"},
    {MSG_SERVICE_TERMINATING, "%1 service terminating.\r\n"},
    {MSG_NO_IP_ADDRESS,
     "The service could not determine the IP address of this computer.\r\n"
     "Please check that TCP/IP is correctly installed and configured.\r\n"},
    {MSG_LOG_OPEN_ERROR, "Error opening log file \"%1\" - logging temporarily disabled.\r\n"},
    {MSG_LOG_WRITE_ERROR, "Error writing to log file \"%1\" - logging temporarily disabled.\r\n"},
    {MSG_INIT_FAILED, "InitThisService() failed with error %1 at checkpoint %2.\r\n"},
    {MSG_BAD_SETTING_ENTRY, "The setting %1 has an entry that is not valid: %2. It is ignored.\r\n"},
    {MSG_NO_LISTEN_ADDRESS,
     "The service has no valid address to listen on.\r\n"
     "Please check the setting ListenAddresses.\r\n"},
    {MSG_MESSAGE_NOT_FOUND, "The message %1 cannot be found in %2.\r\n"},
    {MSG_CANNOT_WRITE_FILE, "Cannot create or write to file %1 for message from %2.\r\n"},
    {MSG_DNS_ID_MISMATCH, "Query ID mismatch in DNS response.  Sent %1, received %2.\r\n"},
    {MSG_DNS_TRUNCATED, "Truncated DNS response for domain %1.\r\n"},
    {MSG_INCOMING_NOT_FOUND, "The incoming message %1 from %2 cannot be found.\r\n"},
    {MSG_AUTOREPLY_FAILED, "Autoreply to message %1 failed.\r\n"},
    {MSG_INVALID_ROUTE, "The route %1 is invalid or does not exist.  It will be ignored.\r\n"},
    {MSG_INVALID_MESSAGE, "The message %1 in directory %2 is invalid.\r\n"},
    {MSG_CANNOT_DELETE_FILE,
     "The SMTP Delivery Service could not delete file %1 due to system error %2. "
     "Please delete the file manually.\r\n"},
    {MSG_DELIVERY_DEFERRED, "Delivery of message %1 is deferred: %2\r\n"},
    {MSG_ACCOUNTS_UNREADABLE,
     "The mail accounts cannot be read: %1. Local mail waits until they can.\r\n"},
    {MSG_TLS_CERTIFICATE_LOADED, "The TLS certificate %1 is in use; it is valid until %2.\r\n"},
    {MSG_TLS_CERTIFICATE_FAILED,
     "The TLS certificate could not be loaded: %1\r\n"
     "The certificate loaded before, if any, stays in use.\r\n"},
    {MSG_TLS_NOT_OFFERED, "No TLS certificate is loaded: TLS is not offered.\r\n"},
    {MSG_STARTTLS_INPUT_DROPPED,
     "The client %1 sent %2 bytes behind STARTTLS, before the TLS handshake; "
     "they were discarded unread.\r\n"},
    {MSG_NO_SERVICE_ACCOUNT,
     "The service account \"%1\" does not exist; the service goes on as %2.\r\n"},
    {MSG_CONFIG_PROBLEM, "The configuration check found a problem: %1\r\n"},
    {MSG_MILTER_UNREACHABLE,
     "The mail filter %1 cannot be reached: %2\r\n"
     "MilterDefaultAction applies to the mail it should see until it answers again.\r\n"},
    {MSG_MILTER_FAILED,
     "The mail filter %1 failed: %2\r\n"
     "MilterDefaultAction applies to the mail it was filtering.\r\n"},
    {MSG_MILTER_RECOVERED, "The mail filter %1 is answering again.\r\n"},
    {MSG_MILTER_RESULT, "Mail filters, %1: %2\r\n"},
    {MSG_MAILBOXES_HANDED_OVER,
     "%1 mailboxes under %2 belonged to root; each was handed to its owner.\r\n"},
    {MSG_MAILBOX_ENTRIES_LEFT,
     "%1 entries in the mailboxes under %2 were left as they are (links, files with more "
     "than one link, special files, other users' files); they keep their owners.\r\n"},
    {MSG_LIST_REQUESTS_DROPPED,
     "The list server of %1 drops the requests answered to %2 until the end of the day (UTC): "
     "that address has had as many journals today as one address may get.\r\n"},
    {MSG_LIST_JOURNALS_FULL,
     "The list server of %1 has answered %2 addresses today (UTC): requests answered to any "
     "other address are dropped until the end of the day.\r\n"},
    {MSG_REMOTE_SIDE_ENDED,
     "The remote delivery process ended: %1. It is started again in %2 seconds; "
     "the mail it was sending stays queued.\r\n"},
    {MSG_REMOTE_SIDE_RUNNING,
     "The remote delivery process %1 runs as %2, without privileges.\r\n"},
    {MSG_LOGON_FAILED, "Logon failed: %1, user %2\r\n"},
    {MSG_MASTER_LOGON, "User %1 logged on via zel-proxy from %2\r\n"},
    {MSG_FOLDER_INDEX_REBUILT,
     "The index of %1 was damaged or lost and is rebuilt from its message files; its new "
     "UIDVALIDITY is %2.\r\n"},
    {MSG_DKIM_NOT_SIGNED, "A message for %1 goes out without its DKIM signature: %2\r\n"},
    {MSG_TLS_POLICY, "Outgoing TLS policy of %1: %2\r\n"},
    {MSG_GATEWAY_AUTH_FAILED,
     "Authentication at the relay host %1 failed: %2. Its mail stays queued.\r\n"},
    {MSG_DMARC_NOT_RECORDED,
     "DMARC evaluations cannot be recorded in %1 (error %2); mail goes on, the aggregate "
     "reports miss them.\r\n"},
    {MSG_DMARC_REPORT_FAILED, "The DMARC aggregate report for %1 is not sent: %2\r\n"},
    {MSG_MAIL_HOST_UNAVAILABLE,
     "A logon proxied to the mail host %1 failed for a reason of this site: %2. The client "
     "was told to try again later.\r\n"},
    {MSG_SIEVE_FAILED,
     "The Sieve filter of %1 failed: %2. The message was kept in INBOX.\r\n"},
    {MSG_SIEVE_BEFORE_FAILED,
     "The administrator's Sieve script %1 is not run: %2. Users' own scripts still run.\r\n"},
    {MSG_DNS_RECURSION_LIMIT, "Reach the maximum recursive limit. Fail to look up %1.\r\n"},
};

}  // namespace

const char *MessageText(uint32_t id) {
  for (const MessageEntry &e : kMessages)
    if (e.Id == id) return e.Text;
  return nullptr;
}

const char *CategoryName(uint16_t category) {
  switch (category) {
    case CATEGORY_SERVER: return "Server";
    case CATEGORY_OPERATION: return "Operation";
    case CATEGORY_ERROR: return "Error";
    default: return nullptr;
  }
}
