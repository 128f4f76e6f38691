// svcinstall: "-install" and "-remove", the installed form of a service.
//
// -install writes the program's systemd unit with what that program needs
// and nothing more (its profile: who it runs as, its capabilities, where it
// may write), then what the unit relies on: the service account (created
// with adduser when missing; the SMTP receiver and the delivery agent's
// remote side run as it), the directories the unit may write (made when
// missing; what the account writes is handed to it), the target zel.target
// that starts the suite together, the event source in the registry and,
// for the POP3 and IMAP servers, their PAM service file (one for both,
// named kPamServiceName) when the host has none. -remove deletes the unit and the event source, and the
// target with the suite's last unit; the account, the directories and the
// PAM file stay (they may hold or guard mail).
//
// The same profiles give the units the Debian package ships
// (packaging/unitgen). Called from the command line only (common/service),
// single-threaded. The configuration (paths, ServiceAccount) is read from
// the registry; a name that cannot go into a unit is refused (EINVAL) and
// printed like every other failure.
#pragma once

#include <string>
#include <vector>

#include "platform/svcctl.h"

// What one program's unit grants it.
struct ServiceUnitProfile {
  const char *ServiceName;    // "ZELRECV"
  const char *UnitName;       // "zelrecv": the program file, the unit's name
  const char *DisplayName;    // the program's own, for units made without it
  // Starts as root and switches itself (the receiver, once its listeners
  // are bound and its root-keeping helpers forked) or its network-facing
  // child process (the delivery agent's remote side) to the service
  // account; -install makes the account and hands it its files. The unit
  // names no User=.
  bool RunsAsServiceAccount;
  bool WritesMailboxes;       // the mailbox root is among its writable paths
  bool NeedsPamService;       // -install writes its PAM service file when missing
  std::vector<const char *> Capabilities;
};

// The suite's programs; null for a service outside it (tests), which gets
// no capabilities and no account.
const ServiceUnitProfile *FindServiceUnitProfile(const char *serviceName);
const std::vector<ServiceUnitProfile> &ServiceUnitProfiles();

// The target that starts the suite: "zel" (zel.target).
constexpr const char *kSuiteTargetName = "zel";
constexpr const char *kSuiteTargetDescription = "ZEL mail system";
// The suite's service units, for the target's Wants=.
std::vector<std::string> SuiteServiceUnits();

// Where the installed services write.
struct ServiceWritablePaths {
  std::string Spool;
  std::string MailboxRoot;  // "" when the template names none that is absolute
  std::string Log;
  std::string State;
};

// From the configuration already loaded (MailSpoolDirectory,
// MailInboxDirectory) and the platform's default locations.
ServiceWritablePaths WritablePathsFromConfig();

// The directory every mailbox of a template lies in: the template up to the
// last "/" before its first "%" ("/var/mailbox/%USERNAME%" gives
// "/var/mailbox"); a template that starts with %HOME% gives "/home".
std::string MailboxRootOfTemplate(const std::string &mailboxTemplate);

// The unit of a service (profile null: outside the suite).
ServiceUnitSpec BuildServiceUnitSpec(const ServiceUnitProfile *profile, const char *displayName,
                                     const std::string &binaryPath,
                                     const ServiceWritablePaths &paths);

// The PAM service file of the POP3 and IMAP servers: the system's password
// and account checks (pam_unix) and nothing else.
std::string PamServiceText();

// The command line's -install and -remove: 0, or the error number after the
// failure was printed ("<routine> failed with error: N" and its text).
long InstallService();
long RemoveService();
