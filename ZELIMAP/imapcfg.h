// imapcfg: the IMAP server's settings, read at every start from
// SYSTEM\CurrentControlSet\Services\ZELIMAP\Parameters (by the front, and
// by each session process as root before it becomes the user) and only
// read afterwards (no lock needed).
//
// Values: PortNo (default 143, 0 means 143; STARTTLS there while a
// certificate is loaded), TlsPortNo (TLS from the first byte; default 993,
// 0: none; listened on only when a certificate is loaded at the start),
// Timeout (the idle limit of a logged-on connection in seconds, IDLE
// included; 0 means 1800, raised to the floor), LogonTimeout (the idle
// limit before logon; 0 means 60), MinimumTimeout (the floor of Timeout,
// default 1800, which RFC 9051 asks of an autologout timer; tests lower it
// to see a time-out within seconds), PlaintextLogonClients (the networks
// whose clients may send a password over an unencrypted connection;
// default 127.0.0.0/8 and ::1), AppendLimit (the largest message APPEND
// takes, in bytes; default 50 MiB, 0 means the default), MinimumLogonUid
// (common/logonpool reads it), and the network engine's ListenAddresses,
// MaxConnections, MaxConnectionsPerClient and ClientPrefixLengthV6
// (defaults in net/netengine.h). SievePortNo: the ManageSieve port
// (ZELIMAP/managesieve; default 4190, 0: none), served by the same front
// with the same logon rules and limits.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "common/mailports.h"
#include "platform/errors.h"
#include "platform/ipaddr.h"

// RFC 9051: an autologout timer of at least 30 minutes after logon.
constexpr DWORD kDefaultImapIdleSeconds = 1800;
// Before logon a client has a password to send and little else.
constexpr DWORD kDefaultImapLogonSeconds = 60;
// A mail program's message with large attachments fits; a disk filler does not.
constexpr uint64_t kDefaultImapAppendLimit = 50ull * 1024 * 1024;

// RFC 5804's port.
constexpr DWORD kDefaultSievePort = 4190;

extern DWORD ImapPortNo;
extern DWORD SievePortNo;             // 0: no ManageSieve
extern DWORD ImapTlsPortNo;           // 0: no TLS listener
extern DWORD ImapIdleSeconds;         // logged on
extern DWORD ImapLogonSeconds;        // before logon
extern uint64_t ImapAppendLimit;
extern NetworkList ImapPlaintextLogonClients;
extern std::vector<IpAddress> ImapListenAddresses;
extern DWORD ImapMaxConnections;
extern DWORD ImapMaxConnectionsPerClient;
extern DWORD ImapClientPrefixLengthV6;

// Reads the settings (missing values keep their defaults).
void LoadImapSettings();
