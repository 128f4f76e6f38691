// backupmx: see backupmx.h.
#include "ZELRECV/backupmx.h"

#include "common/loadcfig.h"
#include "common/rfc822parse.h"
#include "common/smtputil.h"
#include "platform/ascii.h"

std::vector<std::string> BackupMxDomains;
std::vector<std::string> BackupMxVerifiedDomains;
bool (*BackupMxFindUser)(const std::string &name, AccountFound &found) = FindAccountByName;

namespace {

bool Listed(const std::vector<std::string> &domains, std::string_view domain) {
  for (const std::string &d : domains)
    if (EqualsNoCase(d, domain)) return true;
  return false;
}

// A user of the site: found, with a mail host. False with the lookup's
// error (ERROR_NONE_MAPPED for a found account without one).
bool SiteUser(const std::string &name) {
  AccountFound found;
  if (!BackupMxFindUser(name, found)) return false;
  if (!found.MailHost.empty()) return true;
  SetLastError(ERROR_NONE_MAPPED);
  return false;
}

}  // namespace

void LoadBackupMxSettings(HKEY params) {
  BackupMxDomains.clear();
  BackupMxVerifiedDomains.clear();
  if (params == nullptr) return;
  QueryRegMultiString(params, "BackupMxDomains", kBackupMxDomainsBytes, BackupMxDomains);
  QueryRegMultiString(params, "BackupMxVerifiedDomains", kBackupMxDomainsBytes,
                      BackupMxVerifiedDomains);
}

BackupMxVerdict BackupMxRecipient(const std::string &address) {
  const char *at = SkipLocalAddressPart(address.c_str());
  if (*at != '@') return BackupMxVerdict::kNotBackup;
  std::string_view domain(at + 1);
  if (Listed(BackupMxVerifiedDomains, domain)) {
    std::string local = StripDown(std::string_view(address.c_str(), at - address.c_str()),
                                  kMaxRecipientName);
    if (SiteUser(local)) return BackupMxVerdict::kAccept;
    if (IsNoSuchAccount(GetLastError()) && SiteUser(address)) return BackupMxVerdict::kAccept;
    return IsNoSuchAccount(GetLastError()) ? BackupMxVerdict::kUnknown
                                           : BackupMxVerdict::kTryLater;
  }
  return Listed(BackupMxDomains, domain) ? BackupMxVerdict::kAccept : BackupMxVerdict::kNotBackup;
}
