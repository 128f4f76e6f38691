// cfgcheck: the configuration check, for "zeladm check" and each service's
// start.
//
// Reads what is stored in the registry (the suite key, the three services'
// Parameters keys, the Tcpip key) and checks each value the system knows:
// its type, its range, that a path is absolute and its directory exists and
// can be written by the service that writes it (the receiver as its service
// account), that a list of networks or addresses parses, that a TLS file can
// be read and holds PEM text. A value in those keys that no service reads is
// reported as a probable misspelling. The accounts file, when there is one,
// must parse; the mailbox template must give each user a mailbox of his own.
// A thorough check also asks the configured name servers a question and
// whether the receiver's account can write the spool, log and state.
//
// Every problem is one finding: an error (the value is refused, ignored or
// makes the service misbehave) or a warning (it works, though probably not as
// meant). A finding's text is one line, with stored text escaped.
//
// Callers: zeladm check (everything, with the name-server query) and each
// service's Init hook (LogConfigurationCheck: what that service reads, no
// network). Reads the registry and the file system only; thread-safe.
#pragma once

#include <string>
#include <vector>

#include "platform/eventlog.h"

struct ConfigFinding {
  WORD Severity;     // EVENTLOG_ERROR_TYPE or EVENTLOG_WARNING_TYPE
  std::string Text;  // "ZELRECV PortNo: 70000 is not a port number (0 to 65535)"
};

struct ConfigCheckOptions {
  // Only what this service reads ("ZELRECV"); null: every service.
  const char *Service = nullptr;
  // Also ask the configured name servers one question (a few seconds at
  // most), and whether the receiver's service account can write the
  // directories it needs: what an administrator's check adds to a start's.
  bool Thorough = false;
};

std::vector<ConfigFinding> CheckConfiguration(const ConfigCheckOptions &options);

// The value names the check knows, as "KEY Name" ("ZELRECV PortNo"; exposed
// for tests).
std::vector<std::string> KnownConfigValueNames();

// Checks what ThisServiceName() reads and reports each finding as event 192
// with the finding's severity; returns the number of errors. A service goes
// on starting whatever it finds: the settings' own readers keep their
// defaults for what they cannot use.
int LogConfigurationCheck();
