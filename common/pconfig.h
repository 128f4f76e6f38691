// pconfig: defaults of the process-wide configuration and the forming of
// spool paths. The globals themselves are declared in zel.h.
#pragma once

#include <string>

#include "common/zel.h"

constexpr const char *kDefaultPostmaster = "administrator";
constexpr int kDefaultMaxDeliveryThreads = 50;
constexpr const char *kDefaultServiceAccount = "zel";
// The host account that owns the mailboxes of users without one of their
// own (VirtualMailAccount; kept by platform/logon, SetVirtualMailAccount).
constexpr const char *kDefaultVirtualMailAccount = "zelmail";

// Spool subdirectory names.
constexpr const char *kIncomingDir = "incoming";
constexpr const char *kHoldingDir = "holding";
constexpr const char *kDomainsDir = "domains";
constexpr const char *kListsDir = "lists";
constexpr const char *kDeadDir = "dead";
constexpr const char *kOutlogDir = "outlog";
constexpr const char *kInlogDir = "inlog";
constexpr const char *kPop3logDir = "Pop3log";

// Puts every global of zel.h back to its built-in default (start of loading,
// and tests).
void SetConfigDefaults();

// MailSpoolDirectory + "/" + name, cut to kMaxPath.
std::string SpoolPath(const std::string &name);
