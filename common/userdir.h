// userdir: the mail user directory's sources and their order, from the
// registry: the suite value UserDirectory (multi-string, in the order of
// lookup: "accounts", "host", "ldap"; missing: "accounts" "host", the
// file or else the host's accounts, as before) and, when it names "ldap",
// the settings below the suite key's subkey Ldap (platform/ldapdir).
//
// Callers: common/loadcfig's LoadGeneralConfigMain (every service and
// zeladm, while still root: the bind password file is root's), and
// zeladm check (CheckUserDirectorySettings). Settings that cannot be used
// (an unknown source name, no Uri, an unreadable password file) leave
// "ldap" in the order with a directory that answers every question with
// ERROR_DS_UNAVAILABLE: mail waits and logons fail temporarily, nothing
// bounces, and zeladm check says why.
//
// Threads: once while the service starts, before other threads.
#pragma once

#include <string>
#include <vector>

#include "platform/accounts.h"
#include "platform/ldapdir.h"
#include "platform/registry.h"

constexpr const char *kUserDirectoryValue = "UserDirectory";
constexpr const char *kLdapSubkey = "Ldap";
// The registry value holds a few names; this is room for many.
constexpr size_t kMaxUserDirectoryBytes = 1024;

// The order from the value's names; false with why for an unknown or
// repeated name (order then holds what was understood).
bool ParseUserDirectory(const std::vector<std::string> &names, std::vector<UserSource> &order,
                        std::string &why);
// The Ldap subkey's values over the defaults (the password file is read
// when readPassword); false with why when a value cannot be used.
bool LoadLdapSettings(LdapSettings &settings, bool readPassword, std::string &why);
// Reads both from the suite key and sets platform/accounts and
// platform/ldapdir up; false with why when something could not be used
// (see above).
bool LoadUserDirectory(HKEY suite, std::string &why);
