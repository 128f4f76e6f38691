// pconfig: the process-wide configuration (declared in zel.h) and its defaults.
#include "common/pconfig.h"

#include "platform/logon.h"
#include "platform/root.h"

std::string MailSpoolDirectory;
std::string MailInboxDirectory;
std::string Postmaster;
std::vector<std::string> DomainNamesAreLocal;
bool AutoCreateInboxEnabled = true;
bool LocalFailuresToPostmaster = true;
int MaxDeliveryThreads = kDefaultMaxDeliveryThreads;
std::string GatewayName;
bool DkimSigning = true;
bool DmarcReports = false;
std::string ServiceAccount = kDefaultServiceAccount;
std::array<_tRetryScheduleEntry, kMaxRetryScheduleEntries> RetrySchedule{};
int RetryScheduleLength = 0;
std::string RetryScheduleDescriptor;
int CriticalConfigVersion = -1;
int ConfigVersion = -1;

std::string MailQueueDirectory;
std::string MailHoldingDirectory;
std::string MailDomainsDirectory;
std::string MailListsDirectory;
std::string MailDeadDirectory;
std::string MailOutlogDirectory;
std::string MailInlogDirectory;
std::string Pop3logDirectory;

void SetConfigDefaults() {
  MailSpoolDirectory = DefaultSpoolDirectory();
  MailInboxDirectory = DefaultInboxTemplate();
  Postmaster = kDefaultPostmaster;
  DomainNamesAreLocal.clear();
  AutoCreateInboxEnabled = true;
  LocalFailuresToPostmaster = true;
  MaxDeliveryThreads = kDefaultMaxDeliveryThreads;
  GatewayName.clear();
  DmarcReports = false;
  ServiceAccount = kDefaultServiceAccount;
  SetVirtualMailAccount(kDefaultVirtualMailAccount);
  RetrySchedule.fill(_tRetryScheduleEntry{0, false});
  RetryScheduleLength = 0;
  RetryScheduleDescriptor.clear();
  CriticalConfigVersion = -1;
  ConfigVersion = -1;
}

std::string SpoolPath(const std::string &name) {
  std::string path = MailSpoolDirectory;
  path.push_back('/');
  path += name;
  if (path.size() > kMaxPath) path.resize(kMaxPath);
  return path;
}
