// recvcfg: the receiver's settings, read once at start from
// SYSTEM\CurrentControlSet\Services\ZELRECV\Parameters and only read
// afterwards (no lock needed).
#pragma once

#include <atomic>
#include <cstdint>

#include <string>

#include "platform/errors.h"

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

// Reads the settings and forms the incoming and inlog paths; *incomingName
// is the incoming directory's name below the spool.
void LoadReceiverSettings(std::string *incomingName);
