// fetchcfg: the POP3 server's settings, read at every start from
// SYSTEM\CurrentControlSet\Services\ZELFETCH\Parameters and only read
// afterwards (the workers start after them; no lock needed).
//
// Values: PortNo (default 110, 0 means 110), TlsPortNo (TLS from the first
// byte; default 995, 0: none; listened on only when a certificate is loaded
// at the start), MessageExtension (at most 9 characters, default and empty
// "MSG"), Timeout (the idle limit in seconds, 0 means 600, raised to the
// floor), Pop3LogEnabled (missing: unchanged),
// PlaintextLogonClients (the networks whose clients may send a password
// over an unencrypted connection; default 127.0.0.0/8 and ::1), the test
// setting MinimumTimeout (the floor of Timeout, default 600; tests lower it
// to see an idle close within seconds), and the network engine's
// ListenAddresses, MaxConnections, MaxConnectionsPerClient and
// MaxTransactionTime (defaults in net/netengine.h).
#pragma once

#include <atomic>
#include <string>
#include <vector>

#include "common/logonpool.h"
#include "common/mailports.h"
#include "platform/errors.h"
#include "platform/ipaddr.h"

// The idle limit when Timeout is 0, and the floor below which it is raised.
constexpr DWORD kDefaultIdleSeconds = 600;
// A floor of 0 would disable the idle close altogether: a second at least.
// The extension was kept in a 10-byte buffer.
constexpr size_t kMaxMessageExtension = 9;
constexpr const char *kDefaultMessageExtension = "MSG";

extern DWORD Pop3PortNo;
extern DWORD Pop3TlsPortNo;        // 0: no TLS listener
extern std::string MessageExtension;
extern DWORD IdleTimeout;          // the idle limit in seconds
extern std::atomic<bool> Pop3LogEnabled;
extern NetworkList PlaintextLogonClients;
// Where PortNo is listened on; the connection limits (0: none); the
// longest POP3 session in seconds (0: no bound).
extern std::vector<IpAddress> ListenAddresses;
extern DWORD MaxConnections;
extern DWORD MaxConnectionsPerClient;
extern DWORD MaxTransactionTime;
// IPv6 clients count towards MaxConnectionsPerClient by their network of
// this many bits.
extern DWORD ClientPrefixLengthV6;

// Reads the settings and forms the POP3 log directory.
void LoadFetchSettings();

