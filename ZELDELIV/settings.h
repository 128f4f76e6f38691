// settings: the delivery agent's parameters, its spool paths, and its tests
// of names and addresses against this host's local host table. The lowest
// floor of the agent: every other module may use it, it uses none of them.
//
// Callers: zeldeliv.cpp reads the settings once at start
// (LoadDeliverySettings, FormDeliverySpoolPaths); every module reads them
// afterwards. The local host tests serve recipient resolution (local),
// exchanger selection (routing), the SMTP client's HELO name (smtpsend) and
// the names of generated messages.
//
// Untrusted input: names tested come from mail (recipient domains,
// exchanger names) and are only compared.
//
// Threads: the settings are written before the agent's threads start and
// only read afterwards. The local host table is filled when the scanning
// thread begins; the tests read it without a lock.
//
// Failures: a parameter that is missing, zero or out of range keeps its
// default; GetLocalHostName reports a failing getsockname and gives "".
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>

#include "common/mailports.h"
#include "common/svcaccount.h"
#include "platform/errors.h"

// Parameters of SYSTEM\CurrentControlSet\Services\ZELDELIV\Parameters, in
// seconds where they are times. The SMTP client's time limits are totals,
// never moved on by a peer's progress: SendTimeout0 for connecting to one
// address and for sending one command line, and the base of the time the
// message data may take (smtpsend adds to it by the message's size);
// ReceiveTimeout0 for each reply to a command (the greeting and the TLS
// handshake included); ReceiveTimeout1 for the reply to the end of the
// data; MaxTransactionTime for one message's whole transaction, from MAIL
// to that last reply (0: no bound beyond the others).
extern DWORD SendTimeout0;
extern DWORD ReceiveTimeout0;
extern DWORD ReceiveTimeout1;
extern DWORD MaxTransactionTime;
constexpr DWORD kDefaultMaxTransactionTime = 3600;
// The floor of the four time limits above (the setting MinimumTimeout,
// which tests lower): a shorter limit would give up sound but busy
// exchangers (a delayed greeting, the data scanned before the reply).
constexpr DWORD kDefaultMinimumTimeout = 60;
extern DWORD SMTPTimeout;        // the scan interval of the scanning thread
// SmtpPort: the port of exchangers given without one (test setups run
// their peers on other ports); 0 or anything above 65535 keeps the
// standard port, kDefaultSmtpPort (common/mailports).
extern DWORD SmtpPort;
extern std::atomic<bool> OutlogEnabled;

// The relay host's values, in the suite key beside GatewayName (whose
// route they serve): GatewayPort, the port of GatewayName (0: SmtpPort,
// itself 25 unless set); GatewayUser, the name to authenticate as (empty:
// no AUTH); GatewayPasswordFile, the file whose first line is the password
// (root's, mode 0600: only the privileged side reads it, at each
// connection, and hands the password to the remote side: remote.h).
constexpr size_t kMaxGatewayUser = 255;
extern DWORD GatewayPort;
extern std::string GatewayUser;
extern std::string GatewayPasswordFile;

// The site's other mail hosts (a user whose directory entry names another
// host as its mail host: mailhost.h): MailHostPort, the port their receivers
// take mail on (0 or beyond 65535: the standard port); MailHostCa, a CA file
// (PEM): when set, TLS is required on the way to a mail host and its
// certificate must be valid for the mail host's name under that CA; when
// empty, STARTTLS is opportunistic as for any exchanger.
constexpr DWORD kDefaultMailHostPort = 25;
extern DWORD MailHostPort;
extern std::string MailHostCa;

// The account the remote side (remote.h) runs as when root switches it to
// the service account: the domain queues are that account's, and the
// privileged side hands it each one it makes. Switch false: nothing is
// handed over (no switch, or the settings of a test). Set at start, before
// the agent's threads; read-only afterwards.
extern ServiceAccountIds RemoteSideAccount;

// Reads the parameters above (defaults when absent or zero; time limits
// raised to MinimumTimeout) and the relay host's values.
void LoadDeliverySettings();
// Forms the agent's spool paths from MailSpoolDirectory.
void FormDeliverySpoolPaths();

// The name by which this host presents itself: on a connected socket, the
// table entry of its local address (its Name), else the address: dotted
// for IPv4, the literal "[IPv6:x::y]" for IPv6; without one (socket < 0),
// the first entry's Name.
std::string GetLocalHostName(int socket);
// Exactly one of this host's names (no partial match), or a domain literal
// ("[a.b.c.d]", "[IPv6:x::y]") of one of its addresses.
bool IsLocalHostName(std::string_view name);
// A domain this host takes mail for: in DomainNamesAreLocal, or one of its
// names (MatchLocalHostName).
bool IsLocalDomainName(std::string_view domain);
// One of this host's addresses (network order).
bool IsLocalHostAddress(uint32_t address);
