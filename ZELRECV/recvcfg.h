// recvcfg: the receiver's settings, read once at start from
// SYSTEM\CurrentControlSet\Services\ZELRECV\Parameters and only read
// afterwards (no lock needed).
//
// RelayClients is configuration text: an entry that is not a network is
// reported once at start (the entries are returned for that) and ignored.
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
// RFC 5321 asks a server to take at least 100; more than this in one
// message is a mailing list gone wrong or an abuse.
constexpr DWORD kDefaultMaxRecipients = 1000;
// Who may relay by default: this computer alone.
extern const char *const kDefaultRelayClients[2];
// The value's multi-string buffer, in bytes.
constexpr size_t kRelayClientsBytes = 8192;

extern DWORD PortNo;
extern bool ProhibitMailRelay;
extern bool NoKeepalives;
extern bool CheckLocalRecipient;
extern std::atomic<bool> MailInlogEnabled;
// Messages larger than this are refused (0: no limit).
extern DWORD MaxMessageSize;
// A connection waiting longer than this for a command or data is closed.
extern DWORD IdleTimeout;
// Recipients a message may have; a RCPT beyond gets 452.
extern DWORD MaxRecipients;
// The networks whose clients may have mail relayed (RelayClients).
extern NetworkList RelayClientNetworks;
// The network engine's settings (net/netengine.h has the defaults): where
// PortNo is listened on, the connection limits (0: none), and the longest
// SMTP transaction in seconds (0: no bound).
extern std::vector<IpAddress> ListenAddresses;
extern DWORD MaxConnections;
extern DWORD MaxConnectionsPerClient;
extern DWORD MaxTransactionTime;

// Reads the settings and forms the incoming and inlog paths; *incomingName
// is the incoming directory's name below the spool; *badRelayClients the
// RelayClients entries that are not networks.
void LoadReceiverSettings(std::string *incomingName, std::vector<std::string> *badRelayClients);
