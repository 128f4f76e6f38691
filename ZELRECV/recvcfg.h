// recvcfg: the receiver's settings, read once at start from
// SYSTEM\CurrentControlSet\Services\ZELRECV\Parameters and only read
// afterwards (no lock needed).
#pragma once

#include <atomic>
#include <cstdint>

#include <string>
#include <vector>

#include "platform/errors.h"
#include "platform/ipaddr.h"

constexpr DWORD kDefaultSmtpPort = 25;
constexpr DWORD kDefaultMaxMessageSize = 50u * 1024 * 1024;   // 50 MiB
constexpr DWORD kDefaultIdleTimeout = 600;                    // seconds

extern DWORD PortNo;
extern bool ProhibitMailRelay;
extern bool NoKeepalives;
extern bool CheckLocalRecipient;
extern std::atomic<bool> MailInlogEnabled;
// Messages larger than this are refused (0: no limit).
extern DWORD MaxMessageSize;
// A connection waiting longer than this for a command or data is closed.
extern DWORD IdleTimeout;
// The network engine's settings (net/netengine.h has the defaults): where
// PortNo is listened on, the connection limits (0: none), and the longest
// SMTP transaction in seconds (0: no bound).
extern std::vector<IpAddress> ListenAddresses;
extern DWORD MaxConnections;
extern DWORD MaxConnectionsPerClient;
extern DWORD MaxTransactionTime;

// Reads the settings and forms the incoming and inlog paths; *incomingName
// is the incoming directory's name below the spool.
void LoadReceiverSettings(std::string *incomingName);
