// root: where the system's files live.
//
// Every default path of the system (registry database, spool, mailboxes,
// event log, unit files, accounts) is a fixed absolute path prefixed by the
// environment variable ZEL_ROOT. Unset or empty means "/", the real system;
// tests and `./zel run` point it at a scratch tree so that nothing outside it
// is touched. The variable is read once per process, on first use.
#pragma once

#include <string>
#include <string_view>

// ZEL_ROOT without a trailing "/" ("" for the real root).
const std::string &ZelRoot();

// ZEL_ROOT + path; path must be absolute ("/var/spool/zel").
std::string ZelPath(std::string_view path);

// The default locations that stand in for the Windows ones.
std::string DefaultSpoolDirectory();    // system directory + "\TALVO\MAIL"
std::string DefaultInboxTemplate();     // "C:\MAILBOX\%USERNAME%"
std::string WindowsDirectory();         // where logs go without a directory
std::string StateDirectory();           // the registry, the mutexes, the pid files
std::string RegistryDatabasePath();
std::string EventLogPath();
std::string MutexDirectory();
std::string MsgCounterPath();           // the message-identifier counter's store
std::string SystemdUnitDirectory();
std::string PidFileDirectory();
std::string PamServiceDirectory();      // /etc/pam.d
std::string TempDirectory();            // $TMPDIR, else /tmp (not under ZEL_ROOT)
