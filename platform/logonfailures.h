// logonfailures: failed logons counted per client network, across
// connections, protocols and processes, so that a password guesser that
// spreads its tries over SMTP AUTH, POP3 and IMAP and over many
// connections is stopped all the same.
//
// A client network is an IPv4 address (/32) or an IPv6 /64, the least a
// single client controls. When a network has failed Limit times within
// WindowSeconds (counted from its first failure of the window), its
// logons are refused unchecked for the next WindowSeconds: the password
// is not even looked at, and the caller answers exactly as for a wrong
// one. A success changes nothing (a guesser holding one good account must
// not clear its count with it); other networks are never slowed.
//
// The counts live in one small file of fixed-size slots in the state
// directory (logonfail), root's and private, written only by the root
// logon helpers of every service under an exclusive file lock, so every
// process sees one count. The file is a cache: a slot may be taken over by
// another network when its neighbourhood is full (the oldest goes), and a
// damaged or missing file only forgets counts.
//
// Callers: common/logonpool's CheckLogon, in the root logon helpers.
// Thread-safety: the file lock serialises processes; a process-wide mutex
// its threads. Failures: the file that cannot be opened or locked makes
// every answer "not blocked" (the check goes on as without accounting);
// nothing here reports an event.
#pragma once

#include <cstdint>
#include <string>

#include "platform/ipaddr.h"

struct LogonFailurePolicy {
  uint32_t Limit = 0;            // 0: no accounting
  uint32_t WindowSeconds = 0;
};

// Slots of the file: many more networks than a burst of guessers uses.
constexpr uint32_t kLogonFailureSlots = 8192;

// Whether logons from client are refused now.
bool LogonsBlocked(const IpAddress &client, const LogonFailurePolicy &policy, long long now);
// Counts one failure of client; true when it made the network blocked.
bool RecordLogonFailure(const IpAddress &client, const LogonFailurePolicy &policy,
                        long long now);
// The file, for tests and zeladm.
std::string LogonFailureFilePath();
