// zel: the records and settings shared by every service program.
//
// The global configuration is filled once while a service starts, before any
// worker thread runs, and only read afterwards; so the globals below need no
// lock. Which of them a program fills is stated in its main file.
#pragma once

#include <array>
#include <string>
#include <vector>

// A path of the system is at most this long (the classic MAX_PATH less its NUL).
constexpr size_t kMaxPath = 260;
// A postmaster account name.
constexpr size_t kMaxPostmaster = 128;
// A gateway host name.
constexpr size_t kMaxGatewayName = 256;
// A service account name (the longest user name the system's tools accept).
constexpr size_t kMaxServiceAccount = 32;
// The local domain list, in bytes of its multi-string form.
constexpr size_t kDomainListBytes = 1024;
constexpr size_t kDomainListBytesReceiver = 4096;

// One entry of the retry schedule: minutes to wait, and the delay-report flag.
struct _tRetryScheduleEntry {
  int RetryInterval;
  bool SendDelayReport;
};

// Entry 0, up to 255 parsed entries, and the terminator.
constexpr size_t kMaxRetryScheduleEntries = 257;
constexpr size_t kMaxParsedRetryEntries = 255;
constexpr size_t kRetryScheduleBufferSize = 3072;

// The suite key and the platform keys the services read.
constexpr const char *kSuiteKey = "Software\\TALVO\\ZEL";
constexpr const char *kServicesKey = "SYSTEM\\CurrentControlSet\\Services";

// Global configuration (see loadcfig.h for how it is loaded).
extern std::string MailSpoolDirectory;
extern std::string MailInboxDirectory;
extern std::string Postmaster;
extern std::vector<std::string> DomainNamesAreLocal;
extern bool AutoCreateInboxEnabled;
extern bool LocalFailuresToPostmaster;
extern int MaxDeliveryThreads;
extern std::string GatewayName;
// The built-in DKIM signer of the receiver and the delivery agent
// (DkimSigning, default 1); 0 leaves signing to a mail filter.
extern bool DkimSigning;
// DMARC aggregate reports (DmarcReports, default 0): the receiver records
// each evaluated message, the delivery agent sends the daily reports.
extern bool DmarcReports;
// The account the receiver runs as once its listeners are bound; empty:
// the user that started it.
extern std::string ServiceAccount;
extern std::array<_tRetryScheduleEntry, kMaxRetryScheduleEntries> RetrySchedule;
extern int RetryScheduleLength;
extern std::string RetryScheduleDescriptor;

// The version counters as read at start.
extern int CriticalConfigVersion;
extern int ConfigVersion;

// Spool paths, each spool directory + "/" + name, bounded to kMaxPath.
extern std::string MailQueueDirectory;     // incoming
extern std::string MailHoldingDirectory;
extern std::string MailDomainsDirectory;
extern std::string MailListsDirectory;
extern std::string MailDeadDirectory;
extern std::string MailOutlogDirectory;
extern std::string MailInlogDirectory;
extern std::string Pop3logDirectory;
