// routing: where mail for a remote domain goes, and one delivery attempt to
// it with its retry timing.
//
// Domain records. Every domain directory may hold "DOMAIN.MRI", the stored
// routing information: when delivery was last tried, how many attempts
// failed, and the exchangers of the last attempt. A missing record is a
// fresh one (never tried). The record is replaced whole (temporary file,
// fsync, rename), so a crash leaves the old record or the new one.
// TimeToRetry takes the next attempt from the retry schedule; when the
// schedule is used up, DeliverAllMessages gives the domain up and reports
// every recipient.
//
// Routing. At every attempt the exchanger list is rebuilt: a mail host
// queue ("#host": mail for users whose mailbox another host of the site
// holds, mailhost.h) goes to that host alone, on MailHostPort, whatever the
// routes say; the gateway route (GatewayName) takes everything else; a
// domain literal "[a.b.c.d]" or "[IPv6:x::y]" goes to that address;
// otherwise the domain's MX records (one CNAME followed), and when this
// host is an exchanger only the better ones and this host (a backup MX
// sends only to better ones), and without MX records the domain's own
// addresses. An
// exchanger's addresses are its IPv6 (AAAA) ones first, then its IPv4 (A)
// ones, all tried in turn. When this host is the best
// exchanger, the domain's mail is delivered locally (local's
// DeliverToLocalUsers); otherwise the exchangers are tried in preference
// order (equal preferences in the reverse of the answer's order) until one
// takes an SMTP connection (smtpsend), and the queue is walked on it.
//
// Callers: the domain delivery threads (DeliverAllMessages and the record
// routines, through delivery.cpp) and the domain list upkeep of the
// scanning thread (ReadRoutingInfo, SetDomainRetryInfo); InitRoutingModule,
// AddGatewayRoute and GetManualRouteAddresses while the service starts.
//
// Untrusted input: DNS answers (decoded by platform/dnswire, asked and
// checked by platform/dnsclient: random identifiers, mismatched answers
// ignored); domain names, which come from recipient addresses through the
// queue directory names and are only compared, asked of DNS and
// written into the record with control bytes replaced (never used to form a
// path); the record file itself (bounded parser, any content).
//
// Threads: the name server table and the route list are filled while the
// service starts and only read afterwards. A routing information record
// belongs to the domain delivery thread working on its domain; every
// lookup has its own sockets and buffers.
//
// Failures: a record that cannot be read is a null ReadRoutingInfo (the
// caller waits); a DNS failure worth retrying sets bRetryDns and the attempt
// counts as failed; a domain that does not resolve is given up at once with
// "Cannot resolve <domain>". Events: 131 (answer cut even over TCP), 135
// (a route host that does not exist), 784 (alias chain too long). Event 130
// (identifier mismatch) is never reported: the DNS client ignores such
// answers and keeps waiting for the real one.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "ZELDELIV/mtasts.h"
#include "ZELDELIV/queue.h"
#include "ZELDELIV/tlspolicy.h"
#include "common/smtputil.h"
#include "common/spoolqueue.h"
#include "platform/dnsclient.h"
#include "platform/ipaddr.h"

struct _SmtpConnection;

// The domain record file in a domain directory is kDomainRecordName
// (common/spoolqueue, where zeladm reads it too).
// Our own records stay far below this (kMaxExchangers of at most 1 KiB
// each); a larger file is read this far and the rest ignored.
constexpr size_t kMaxDomainRecordBytes = 64 * 1024;
// A record line is read up to 511 characters (its old 512-byte buffer);
// the rest of a longer line is skipped.
constexpr size_t kMaxDomainRecordLine = 511;
// Addresses of one exchanger and of one route.
constexpr size_t kMaxExchangerAddresses = 10;
// Exchangers kept for one domain: more than any real domain publishes; it
// bounds the connection attempts of one delivery attempt. The best by
// preference are kept.
constexpr size_t kMaxExchangers = 20;
// A host or domain name field (257 bytes with its NUL).
constexpr size_t kMaxRouteHostName = 256;
// One CNAME is followed: the lookup of the alias target is depth 2.
constexpr int kMaxDnsLookupDepth = 2;
// Expires of a record made up here rather than taken from DNS.
constexpr uint32_t kExpiresNever = 2147483647;
// A give-up text (the old 512-byte buffer).
constexpr size_t kMaxGiveUpText = 511;
// Route.Pref of a route that replaces every other exchanger.
constexpr int kRouteReplacesAll = 1;

// Mail exchanger states.
constexpr int kMxUsable = 0;
constexpr int kMxUnresolved = 1;   // its name did not resolve; skipped this attempt

struct _MxRecord {
  uint16_t Preference = 0;
  int Status = kMxUsable;
  uint32_t Expires = 0;            // seconds since 1970
  std::string HostName;            // at most kMaxRouteHostName
  uint16_t PortNo = 0;             // 0: the SMTP port
  std::vector<IpAddress> Address;  // at most kMaxExchangerAddresses;
                                   // empty: HostName is resolved when connecting
  bool bRoute = false;             // made from a route (GatewayName); not stored
  // Named by a DNSSEC-validated MX answer (the AD bit): only then can its
  // TLSA records be trusted to name it (DANE). Not stored.
  bool bSecure = false;
  // The mail host of a mail host queue ("#host", mailhost.h): MailHostPort,
  // MailHostCa's TLS. Not stored.
  bool bMailHost = false;
};

struct _RoutingInfo {
  std::string DomainName;   // the domain; an alias target once DNS gave one
  int bRetryDns = 0;        // the last lookup failed in a way worth retrying
  // The domain publishes a null MX (RFC 7505): it takes no mail, and its
  // address record must not stand in. Like bRetryDns, not stored.
  int bNullMx = 0;
  long long LastTried = 0;  // seconds since 1970; 0 = never
  int TryNumber = 0;        // failed attempts so far
  // Why the last attempt failed, for the administrator ("Last-error:",
  // which only zeladm reads); "" when it reached an exchanger.
  std::string LastError;
  // The last attempt ran out of a time limit of the SMTP client (an
  // exchanger too slow to connect to, to answer or to take the data): the
  // domain is a slow one, which the domain threads limit (delivery). Stored
  // as "Slow: 1".
  int bSlow = 0;
  // The domain's MTA-STS policy for this attempt (DomainMtaStsPolicy);
  // not stored.
  MtaStsPolicy MtaSts;
  std::vector<_MxRecord> Mx;   // in list order (the head first)
};

typedef std::unique_ptr<_RoutingInfo> RoutingInfoPtr;

// A route: mail to domains matching DestDomain (a WildMatch pattern) goes
// to Route. The only one this system makes is the gateway route.
struct _ManualRouteInfo {
  std::string DestDomain;
  std::string Route;
  uint16_t PortNo = 0;
  std::vector<IpAddress> RouteAddress;  // at most kMaxExchangerAddresses
  int Pref = 0;                         // kRouteReplacesAll: the only exchanger
  int PreferenceLevel = 0;
};

// The name servers (from the Tcpip NameServer value) and the route list.
extern std::vector<DnsServerAddress> DnsServer;
extern std::vector<_ManualRouteInfo> pManualRouteInfo;

// Reads the name server table and empties the route list. False when the
// NameServer value cannot be read (event 32 reported).
bool InitRoutingModule();
void TermRoutingModule();
// Puts a route of every destination through gateway (at GatewayPort) at
// the head of the route list.
void AddGatewayRoute(const std::string &gateway);
// Resolves the route hosts. A host that does not exist is reported (event
// 135) and its route dropped; one that cannot be resolved for now keeps its
// route and is resolved at every connection.
void GetManualRouteAddresses();

// ---- domain records

// The domain's record (a fresh one when there is none), named after the
// entry; null when it exists but cannot be read. A LastTried in the future
// (a clock set back, a damaged record) is taken as now.
RoutingInfoPtr ReadRoutingInfo(const _DomainInfo &entry, const std::string &directory);
// Reads directory's record into info; true also when there is none.
bool GetRoutingInfoFromFile(_RoutingInfo &info, const std::string &directory);
// Replaces the record, crash-safely. False (and nothing changed) when the
// directory is gone or the file cannot be written.
bool WriteRoutingInfo(const _RoutingInfo &info, const std::string &directory);
// Deletes the record (a missing one is fine) of a finished queue, and the
// temporary files that writers which died left in it.
void DeleteRoutingInfo(const std::string &directory);
void FreeRoutingInfo(RoutingInfoPtr &info);

// The record's text ("\n" line ends) and its parser. The parser reads at
// most maxBytes of text (a line cut there is dropped); keywords in any
// case; DomainName is left alone (it comes from the directory).
std::string FormatRoutingRecord(const _RoutingInfo &info);
void ParseRoutingRecord(std::string_view text, size_t maxBytes, _RoutingInfo &info);

// ---- retry

// The time of the next attempt: LastTried + 60 x the schedule entry at
// TryNumber (at least one minute); 0 once the schedule is used up.
long long TimeToRetry(const _RoutingInfo &info);
// Sets entry.RetryTime; true when that time has come.
bool SetDomainRetryInfo(_DomainInfo &entry, const _RoutingInfo &info);
// The MTA-STS policy of the recipient domain (named as queued, before any
// alias) when its exchangers came from DNS; none for a route, a domain
// literal or a domain without exchangers. Asked only when an attempt
// connects to exchangers.
MtaStsPolicy DomainMtaStsPolicy(const std::string &domain, const _RoutingInfo &info);
// One attempt: 1 when the domain's queue is finished (delivered, delivered
// locally, or given up), 0 when recipients remain (then LastTried and
// TryNumber record a failed try).
int DeliverAllMessages(_DomainInfo &entry, _RoutingInfo &info);
// The queue of domain delivered here, when this host is its best
// exchanger: 1 when the queue is finished, as ForEachMessage. Local
// delivery in this process by default; the remote side (remote.h) hands it
// to the privileged side, which keeps local delivery.
typedef int (*LocalDomainDelivery)(const char *domain);
extern LocalDomainDelivery DeliverDomainLocally;
int DeliverDomainHere(const char *domain);
// ForEachMessage callback of a give-up: one failure report for every
// recipient, context the give-up text (const std::string *).
bool AbandonMessage(_tMsgInfo &info, void *context);

// ---- routing

// Rebuilds info.Mx, bRetryDns and bNullMx for info.DomainName.
void GetUpdatedRoutingInfo(_RoutingInfo &info);
// Asks DNS for the MX records of info.DomainName and adds them to info.Mx,
// each bSecure when every answer on the way (aliases too) was validated.
void DnsLookup(_RoutingInfo &info, int depth, bool secureSoFar = true);
// The first route whose pattern matches domain, or null.
const _ManualRouteInfo *ManualRoute(std::string_view domain);
// A made-up exchanger; a domain literal host gets its address (none when it
// is no valid literal), another up to 10 of addresses.
_MxRecord FabricateMxRecord(uint16_t preference, std::string_view host, uint16_t port,
                            const std::vector<IpAddress> &addresses);
// The addresses of a host: its AAAA records (asked of the name servers),
// then its IPv4 addresses (ZelGetHostByName: hosts file, then A records);
// at most kMaxExchangerAddresses. ERROR_SUCCESS with at least one address;
// ERROR_FILE_NOT_FOUND or ERROR_INVALID_PARAMETER when the name has none
// (both lookups said so); another error when a lookup failed for now.
long ResolveHostAddresses(const std::string &host, std::vector<IpAddress> &addresses);
// Without MX records: the domain's own addresses. A name that does not
// exist leaves the list empty; a lookup that failed for now sets bRetryDns.
void DirectHostRoute(_RoutingInfo &info);
// When this host is an exchanger, drops the others of its preference or
// a higher one: they would hand the mail back, or on to a host as far
// from the domain as this one.
void RemoveIrrelevantMxRecords(_RoutingInfo &info);
// This host is the first exchanger of the lowest preference.
bool MailDomainIsLocal(const _RoutingInfo &info);
// Indices into info.Mx in the order ConnectToDomain tries them: ascending
// preference, list order within one; unresolved ones and this host skipped.
std::vector<size_t> ExchangersInTurn(const _RoutingInfo &info);
// The TLS policy of one exchanger: the relay host's (GatewayTls) for a
// route; MailHostCa's (TLS required, the certificate valid for its name)
// or else opportunistic for a mail host; DANE for an exchanger of a
// validated MX answer whose validated TLSA records say so; else the domain's MTA-STS policy (sts): with enforce, TLS
// with a certificate valid for the exchanger's name, and only for an
// exchanger its mx lines name; with testing, an exchanger they do not name
// is logged and used; otherwise opportunistic. False (errorText set) when
// the exchanger is to be deferred: its TLSA records could not be had for
// now, or an enforced MTA-STS policy does not name it.
bool ExchangerTlsPolicy(const _MxRecord &mx, const MtaStsPolicy &sts, SmtpTlsPolicy &policy,
                        std::string &errorText);
// Connects to the first exchanger that takes the connection (greeting and
// EHLO or HELO done, TLS started as its policy says); null when none does, with
// errorText the last failure's text. An exchanger whose name did not
// resolve is marked kMxUnresolved; one whose opportunistic TLS handshake
// failed is asked again at once, without TLS (one whose policy requires TLS
// never is: the next exchanger is tried); one that ran out of a time limit sets
// bSlow. An exchanger found through DNS at one of this host's own
// addresses, or at the unspecified address (either reaches this host), is
// never connected to: as for this host by name, the exchangers of its
// preference after it and those behind it are skipped too, since they would hand the mail back here (a
// mail loop). A route's host is the administrator's choice and is taken as
// it is. The relay host (GatewayName's route) with GatewayUser is
// authenticated at (SmtpAuthenticate) before the connection is used: a
// connection on which that fails is closed, its failure the error text,
// and the mail stays queued.
_SmtpConnection *ConnectToDomain(_RoutingInfo &info, bool updateLastTried,
                                 std::string &errorText);
