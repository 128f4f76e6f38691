// recvcfg: the receiver's settings, read once at start from
// SYSTEM\CurrentControlSet\Services\ZELRECV\Parameters and only read
// afterwards (no lock needed).
//
// RelayClients is configuration text: an entry that is not a network is
// reported once at start (the entries are returned for that) and ignored;
// so is a port number that is no port.
#pragma once

#include <atomic>
#include <cstdint>

#include <string>
#include <utility>
#include <vector>

#include "common/mailports.h"
#include "common/srs.h"
#include "platform/dnsclient.h"
#include "platform/errors.h"
#include "platform/ipaddr.h"

// EHLO is answered (the extensions are offered) unless Esmtp is 0.
constexpr DWORD kDefaultEsmtp = 1;
constexpr DWORD kDefaultMaxMessageSize = 50u * 1024 * 1024;   // 50 MiB
constexpr DWORD kDefaultIdleTimeout = 600;                    // seconds
// Timeout is never below this (MinimumTimeout, for tests, lowers it): RFC
// 5321 4.5.3.2.7 asks a server to wait at least five minutes for a command.
constexpr DWORD kDefaultIdleFloor = 300;
// Commands a session may send other than an accepted MAIL, RCPT or DATA
// before a message is accepted: far more than any client needs (HELO, a
// few RSETs, NOOPs, refused recipients), far fewer than a probe sends.
constexpr DWORD kDefaultMaxPreTransactionCommands = 100;
// The memory all held headers, message buffers and filter buffers may take
// together (MaxBufferedBytes): well below a small host's memory, and room
// for a thousand ordinary messages at once.
constexpr DWORD kDefaultMaxBufferedBytes = 256u * 1024 * 1024;
// RFC 5321 asks a server to take at least 100; more than this in one
// message is a mailing list gone wrong or an abuse.
constexpr DWORD kDefaultMaxRecipients = 1000;
// Who may relay by default: this computer alone.
extern const char *const kDefaultRelayClients[2];
// The value's multi-string buffer, in bytes.
constexpr size_t kRelayClientsBytes = 8192;

extern DWORD PortNo;
// The submission ports (0: off). SubmissionTlsPortNo is listened on only
// while a certificate is loaded.
extern DWORD SubmissionPortNo;
extern DWORD SubmissionTlsPortNo;
// EHLO and the extensions on PortNo; false gives EHLO the old "500" there.
// The submission ports always speak ESMTP: AUTH needs it.
extern bool EsmtpEnabled;
extern bool ProhibitMailRelay;
extern bool NoKeepalives;
extern bool CheckLocalRecipient;
extern std::atomic<bool> MailInlogEnabled;
// Messages larger than this are refused (0: no limit).
extern DWORD MaxMessageSize;
// A connection waiting longer than this for a command or data is closed.
extern DWORD IdleTimeout;
// Commands before a message is accepted (0: no limit); the next gets 421.
extern DWORD MaxPreTransactionCommands;
// The memory budget of held headers and filter buffers (0: no limit).
extern DWORD MaxBufferedBytes;
// An authenticated session may send as any address (else only as its own).
extern bool SubmissionAnySender;
// Mail of RelayClients is DKIM-signed like that of authenticated sessions
// (SignRelayClients, default 1: an office network's mail is our own).
extern bool SignRelayClients;
// A message that fails DMARC under its domain's p=reject is refused
// (DmarcReject, default 1); 0 files it as junk like p=quarantine.
extern bool DmarcReject;
// The name servers the checks of arriving mail ask (Tcpip NameServer).
extern std::vector<DnsServerAddress> CheckNameServers;
// IPv6 clients count by the network of this many bits (net/netengine).
extern DWORD ClientPrefixLengthV6;
// Recipients a message may have; a RCPT beyond gets 452.
extern DWORD MaxRecipients;
// The networks whose clients may have mail relayed (RelayClients).
extern NetworkList RelayClientNetworks;
// The SRS key and domain (common/srs): bounces to SRS addresses at the
// domain go back to the original sender. Read by root at start, before the
// workers; read-only afterwards. An empty
// Secret (none could be had) treats SRS addresses as any other; an empty
// Domain means this host's name.
extern SrsSettings ReceiverSrs;
// The network engine's settings (net/netengine.h has the defaults): where
// PortNo is listened on, the connection limits (0: none), and the longest
// SMTP transaction in seconds (0: no bound).
extern std::vector<IpAddress> ListenAddresses;
extern DWORD MaxConnections;
extern DWORD MaxConnectionsPerClient;
extern DWORD MaxTransactionTime;

// A setting's entry that is not valid: the setting's name and the entry.
// RelayClients entries that are not networks are ignored; a port over
// 65535 is off.
using BadSettingEntry = std::pair<std::string, std::string>;

// Reads the settings and forms the incoming and inlog paths; *incomingName
// is the incoming directory's name below the spool; *bad what was not
// valid, for the events of the start.
void LoadReceiverSettings(std::string *incomingName, std::vector<BadSettingEntry> *bad);
