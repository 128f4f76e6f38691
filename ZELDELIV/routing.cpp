// routing: see routing.h.
#include "ZELDELIV/routing.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdio>

#include "ZELDELIV/local.h"
#include "ZELDELIV/mailbox.h"
#include "ZELDELIV/ndreport.h"
#include "ZELDELIV/queue.h"
#include "ZELDELIV/settings.h"
#include "ZELDELIV/smtpsend.h"
#include "common/fileutils.h"
#include "common/logging.h"
#include "common/str.h"
#include "common/zel.h"
#include "messages/zelmsg.h"
#include "net/localhost.h"
#include "platform/files.h"
#include "platform/hostres.h"
#include "platform/sockets.h"
#include "platform/sync.h"
#include "platform/textfile.h"
#include "zelbase/zelbase.h"

std::vector<DnsServerAddress> DnsServer;
std::vector<_ManualRouteInfo> pManualRouteInfo;

namespace {

// An answer is read whole up to the largest DNS message: a cut answer
// would lose exchangers of a domain that resolves perfectly well.
constexpr size_t kRoutingDnsResponseLimit = kMaxDnsMessageLength;
// The temporary name of a record being written (mkostemp adds six
// characters); hidden, and without the ".RCP" of a recipient file.
constexpr const char *kRecordTempPrefix = ".mri-";
// Reading a record file goes in pieces of this size.
constexpr size_t kRecordReadPiece = 4096;
// The characters that separate the words of a record line.
constexpr std::string_view kRecordBlanks = " \t\r\n";

constexpr const char *kGiveUpReason = "Unable to deliver to destination domain";
// Last-error texts of an attempt that was not a plain connection failure.
constexpr const char *kSlowExchangerText = "the exchanger was too slow: a time limit ran out";
constexpr const char *kMailLoopText =
    "the exchanger is this host (one of its own addresses): mail would loop";

// ---- small helpers

// Text for an event: cut, control bytes as "\xNN".
// A name written into the record: one word on its line whatever it holds.
std::string RecordWord(std::string_view text) {
  std::string out = BoundedCopy(text, kMaxRouteHostName);
  for (char &c : out)
    if (static_cast<unsigned char>(c) <= ' ' || c == 0x7F) c = '?';
  return out;
}

void AddAddress(std::vector<IpAddress> &list, const IpAddress &address) {
  if (list.size() < kMaxExchangerAddresses &&
      std::find(list.begin(), list.end(), address) == list.end())
    list.push_back(address);
}

// ---- the record file

// The words of one line: keyword and value (empty when absent).
void SplitRecordLine(std::string_view line, std::string_view &keyword, std::string_view &value) {
  std::string_view words[2];
  for (std::string_view &w : words) {
    size_t b = line.find_first_not_of(kRecordBlanks);
    if (b == std::string_view::npos) break;
    line.remove_prefix(b);
    size_t e = std::min(line.find_first_of(kRecordBlanks), line.size());
    w = line.substr(0, e);
    line.remove_prefix(e);
  }
  keyword = words[0];
  value = words[1];
}

void ApplyExchangerLine(std::string_view keyword, std::string_view value, _MxRecord &mx) {
  if (EqualsNoCase(keyword, "Mx-preference:")) {
    mx.Preference = static_cast<uint16_t>(LeadingInteger(value, 0, UINT16_MAX));
  } else if (EqualsNoCase(keyword, "Mx-status:")) {
    mx.Status = static_cast<int>(LeadingInteger(value, INT_MIN, INT_MAX));
  } else if (EqualsNoCase(keyword, "Mx-expires:")) {
    mx.Expires = static_cast<uint32_t>(LeadingInteger(value, 0, UINT32_MAX));
  } else if (EqualsNoCase(keyword, "Mx-ip-address:")) {
    IpAddress address;
    if (ParseAddress(value, &address) && !address.IsAny()) AddAddress(mx.Address, address);
  }
}

// One line of a record. current: the exchanger that "Mx-" lines set (-1:
// none yet, or the last one started was past the bound and is dropped).
void ApplyRecordLine(std::string_view line, _RoutingInfo &info, long &current) {
  std::string_view keyword, value;
  SplitRecordLine(line.substr(0, kMaxDomainRecordLine), keyword, value);
  if (EqualsNoCase(keyword, "Last-tried:")) {
    info.LastTried = LeadingInteger(value, LLONG_MIN / 2, LLONG_MAX / 2);
  } else if (EqualsNoCase(keyword, "Try-number:")) {
    // A negative count would index before the schedule.
    info.TryNumber = static_cast<int>(LeadingInteger(value, 0, INT_MAX));
  } else if (EqualsNoCase(keyword, "Slow:")) {
    info.bSlow = LeadingInteger(value, 0, 1) != 0;
  } else if (EqualsNoCase(keyword, "Mx-host:")) {
    if (value.empty()) return;
    current = -1;
    if (info.Mx.size() >= kMaxExchangers) return;
    _MxRecord mx;
    mx.HostName = BoundedCopy(value, kMaxRouteHostName);
    info.Mx.push_back(std::move(mx));
    current = static_cast<long>(info.Mx.size()) - 1;
  } else if (current >= 0) {
    ApplyExchangerLine(keyword, value, info.Mx[current]);
  }
}

// The file's text, stopping a little past kMaxDomainRecordBytes (so the
// parser sees a cut); false on a read error.
bool ReadRecordText(TextFile &f, std::string &text) {
  std::string chunk;
  while (text.size() <= kMaxDomainRecordBytes && f.GetLine(chunk, kRecordReadPiece)) text += chunk;
  return !f.Error();
}

bool WriteRecordFile(const _RoutingInfo &info, const std::string &directory) {
  DurableFile f;
  return f.Create(directory + "/" + kDomainRecordName, kRecordTempPrefix, kSpoolFileMode) &&
         f.Stream().Write(FormatRoutingRecord(info)) && f.Publish();
}

// ---- giving up

int GiveUp(const _DomainInfo &entry, const std::string &text) {
  int walked = ForEachMessage(entry.DomainName.c_str(), AbandonMessage,
                              const_cast<std::string *>(&text));
  // A walk cut short by the service stopping is finished after the
  // restart; the record (and its try count) stays until then.
  if (walked == 0 && Terminating()) return 0;
  return 1;
}

// ---- DNS

DnsQueryOptions RoutingDnsOptions() {
  DnsQueryOptions o;
  o.responseLimit = kRoutingDnsResponseLimit;
  return o;
}

// The AAAA glue first, then the A glue: the order in which they are tried.
void AddGlueAddresses(const DnsMessage &m, _RoutingInfo &info) {
  for (uint16_t type : {kDnsTypeAAAA, kDnsTypeA}) {
    for (const DnsRecord &r : m.additional) {
      if (r.type != type || r.cls != kDnsClassIN) continue;
      IpAddress address = type == kDnsTypeA ? IpV4(r.address) : r.address6;
      if (address.IsAny()) continue;
      for (_MxRecord &mx : info.Mx)
        if (DnsNamesEqual(mx.HostName, r.name)) AddAddress(mx.Address, address);
    }
  }
}

// The AAAA records of name (aliases followed by the name server).
// ERROR_SUCCESS also when there are none; ERROR_FILE_NOT_FOUND for a name
// that does not exist.
long AskIpv6Addresses(const std::string &name, std::vector<IpAddress> &addresses) {
  DnsAnswer answer;
  long rc = DnsQuery(DnsServer, name, kDnsTypeAAAA, RoutingDnsOptions(), answer);
  if (rc != ERROR_SUCCESS) return rc;
  const DnsMessage &m = answer.message;
  if (m.header.tc || m.header.rcode == kDnsRcodeServFail) return ERROR_HOST_TRY_AGAIN;
  if (m.header.rcode == kDnsRcodeNxDomain) return ERROR_FILE_NOT_FOUND;
  if (m.header.rcode != kDnsRcodeNoError) return ERROR_HOST_TRY_AGAIN;
  for (const DnsRecord &r : m.answers)
    if (r.type == kDnsTypeAAAA && r.cls == kDnsClassIN && !r.address6.IsAny())
      AddAddress(addresses, r.address6);
  return ERROR_SUCCESS;
}

bool NameDoesNotExist(long rc) {
  return rc == ERROR_FILE_NOT_FOUND || rc == ERROR_INVALID_PARAMETER;
}

// Keeps the kMaxExchangers best; within a preference the list order stays.
void TrimExchangers(_RoutingInfo &info) {
  if (info.Mx.size() <= kMaxExchangers) return;
  std::stable_sort(info.Mx.begin(), info.Mx.end(), [](const _MxRecord &a, const _MxRecord &b) {
    return a.Preference < b.Preference;
  });
  info.Mx.resize(kMaxExchangers);
}

// The MX records of the answer for asked, each put at the head of the
// list (so equal preferences end up in the reverse of the answer's order).
void CollectExchangers(const DnsMessage &m, const std::string &asked, _RoutingInfo &info,
                       bool secure) {
  long long now = NowSeconds();
  for (const DnsRecord &r : m.answers) {
    if (r.type != kDnsTypeMX || r.cls != kDnsClassIN || !DnsNamesEqual(r.name, asked)) continue;
    if (r.target.empty()) {   // "MX 0 ." : no mail at all
      info.bNullMx = 1;
      continue;
    }
    _MxRecord mx;
    mx.Preference = r.preference;
    mx.Expires = static_cast<uint32_t>(std::min<long long>(now + r.ttl, kExpiresNever));
    mx.HostName = BoundedCopy(r.target, kMaxRouteHostName);
    mx.bSecure = secure;
    info.Mx.insert(info.Mx.begin(), std::move(mx));
  }
  AddGlueAddresses(m, info);
  TrimExchangers(info);
}

const DnsRecord *AliasOf(const DnsMessage &m, const std::string &asked) {
  for (const DnsRecord &r : m.answers)
    if (r.type == kDnsTypeCNAME && r.cls == kDnsClassIN && DnsNamesEqual(r.name, asked))
      return &r;
  return nullptr;
}

bool IsThisHost(const _MxRecord &mx) { return mx.PortNo == 0 && IsLocalHostName(mx.HostName); }

// The same by address: one of this host's own, or the unspecified address,
// which reaches this host too.
bool AddressedToThisHost(const _MxRecord &mx) {
  if (mx.PortNo != 0 || mx.bRoute) return false;
  for (const IpAddress &a : mx.Address)
    if (a.IsAny() || FindLocalAddress(a) != nullptr) return true;
  return false;
}

}  // namespace

// ---- start-up

bool InitRoutingModule() {
  std::vector<DnsServerAddress> servers;
  long rc = ReadNameServerList(servers);
  if (rc != ERROR_SUCCESS) {
    LogWin32Error(EVENTLOG_ERROR_TYPE, "RegQueryValueEx(NameServer)", rc);
    return false;
  }
  DnsServer = std::move(servers);
  pManualRouteInfo.clear();
  return true;
}

void TermRoutingModule() {}

void AddGatewayRoute(const std::string &gateway) {
  _ManualRouteInfo route;
  route.DestDomain = "*";
  route.Route = BoundedCopy(gateway, kMaxRouteHostName);
  route.PortNo = static_cast<uint16_t>(GatewayPort);   // 0: SmtpPort
  route.Pref = kRouteReplacesAll;
  pManualRouteInfo.insert(pManualRouteInfo.begin(), std::move(route));
}

void GetManualRouteAddresses() {
  auto unusable = [](_ManualRouteInfo &route) {
    if (route.Route.empty()) return false;
    IpAddress address;
    if (ParseAddress(route.Route, &address) || ParseDomainLiteral(route.Route, &address)) {
      route.RouteAddress = {address};
      return false;
    }
    long rc = ResolveHostAddresses(route.Route, route.RouteAddress);
    if (rc == ERROR_SUCCESS) return false;
    if (NameDoesNotExist(rc)) {
      LogEvent(EVENTLOG_WARNING_TYPE, MSG_INVALID_ROUTE, LogSafeText(route.Route).c_str(), nullptr);
      return true;
    }
    // Name servers failing at start must not send mail around the
    // gateway: the route stays and its host is resolved at each attempt.
    LogWin32Error(EVENTLOG_WARNING_TYPE, ("gethostbyname(" + LogSafeText(route.Route) + ")").c_str(),
                  rc);
    return false;
  };
  std::erase_if(pManualRouteInfo, unusable);
}

// ---- domain records

std::string FormatRoutingRecord(const _RoutingInfo &info) {
  std::string out = "Domain-name: " + RecordWord(info.DomainName) + "\n";
  out += "Last-tried: " + std::to_string(info.LastTried) + "\n";
  out += "Try-number: " + std::to_string(info.TryNumber) + "\n";
  if (info.bSlow) out += "Slow: 1\n";
  if (!info.LastError.empty()) {
    std::string error = BoundedCopy(info.LastError, kMaxLastErrorText);
    for (char &c : error)
      if (static_cast<unsigned char>(c) < ' ' || c == 0x7F) c = '?';
    out += "Last-error: " + error + "\n";
  }
  for (const _MxRecord &mx : info.Mx) {
    // A line without a value would be skipped on reading, and the lines
    // after it would go to the exchanger before.
    if (mx.HostName.empty()) continue;
    out += "Mx-host: " + RecordWord(mx.HostName) + "\n";
    out += "Mx-preference: " + std::to_string(mx.Preference) + "\n";
    out += "Mx-status: " + std::to_string(mx.Status) + "\n";
    out += "Mx-expires: " + std::to_string(mx.Expires) + "\n";
    for (const IpAddress &a : mx.Address) out += "Mx-ip-address: " + AddressText(a) + "\n";
  }
  return out;
}

void ParseRoutingRecord(std::string_view text, size_t maxBytes, _RoutingInfo &info) {
  bool cut = text.size() > maxBytes;
  text = text.substr(0, maxBytes);
  long current = -1;
  while (!text.empty()) {
    size_t end = text.find('\n');
    // A line cut by the bound is not read: a number cut short is another.
    if (end == std::string_view::npos && cut) break;
    end = std::min(end, text.size());
    ApplyRecordLine(text.substr(0, end), info, current);
    text.remove_prefix(std::min(end + 1, text.size()));
  }
}

bool GetRoutingInfoFromFile(_RoutingInfo &info, const std::string &directory) {
  TextFile f;
  if (!f.Open(directory + "/" + kDomainRecordName, "r"))
    return GetLastError() == ERROR_FILE_NOT_FOUND;
  std::string text;
  if (!ReadRecordText(f, text)) return false;
  ParseRoutingRecord(text, kMaxDomainRecordBytes, info);
  return true;
}

RoutingInfoPtr ReadRoutingInfo(const _DomainInfo &entry, const std::string &directory) {
  auto info = std::make_unique<_RoutingInfo>();
  info->DomainName = entry.DomainName;
  if (!GetRoutingInfoFromFile(*info, directory)) return nullptr;
  info->LastTried = std::min(info->LastTried, NowSeconds());
  return info;
}

bool WriteRoutingInfo(const _RoutingInfo &info, const std::string &directory) {
  // The domain may have been finished and its directory removed meanwhile.
  if (!DirectoryExists(directory)) return false;
  return WriteRecordFile(info, directory);
}

void DeleteRoutingInfo(const std::string &directory) {
  DeleteFile(directory + "/" + kDomainRecordName);
  // A record or a recipient file being written when its process died (the
  // remote side may die alone) left its temporary file, which would keep
  // the directory from ever being removed. The queue is finished: nobody
  // writes in it now.
  std::vector<std::string> names;
  ListDirectory(directory, "", ListKind::kFiles, kMaxQueueListing, names);
  for (const std::string &name : names)
    if (name.rfind(kRecordTempPrefix, 0) == 0 || name.rfind(kRecipientTempPrefix, 0) == 0)
      DeleteFile(directory + "/" + name);
}

void FreeRoutingInfo(RoutingInfoPtr &info) { info.reset(); }

// ---- retry

long long TimeToRetry(const _RoutingInfo &info) {
  return NextRetryTime(info.LastTried, info.TryNumber);
}

bool SetDomainRetryInfo(_DomainInfo &entry, const _RoutingInfo &info) {
  entry.RetryTime = TimeToRetry(info);
  return NowSeconds() >= entry.RetryTime;
}

bool AbandonMessage(_tMsgInfo &info, void *context) {
  const std::string *text = static_cast<const std::string *>(context);
  if (CreateNonDeliveryMessage(info, nullptr, false, kGiveUpReason, text->c_str()))
    for (_tRcpInfo *r = info.Rcp; r != nullptr; r = r->Next) r->bDisposed = 1;
  return false;
}

LocalDomainDelivery DeliverDomainLocally = DeliverDomainHere;

int DeliverDomainHere(const char *domain) {
  MailboxCopyGroup group;
  return ForEachMessage(domain, DeliverToLocalUsers, &group, CommitLocalCopies);
}

MtaStsPolicy DomainMtaStsPolicy(const std::string &domain, const _RoutingInfo &info) {
  bool throughDns = !info.Mx.empty() && !domain.empty() && domain.front() != '[' &&
                    !IsMailHostQueueName(domain) &&
                    std::none_of(info.Mx.begin(), info.Mx.end(),
                                 [](const _MxRecord &mx) { return mx.bRoute; });
  return throughDns ? MtaStsPolicyFor(DnsServer, domain) : MtaStsPolicy();
}

int DeliverAllMessages(_DomainInfo &entry, _RoutingInfo &info) {
  const char *domain = entry.DomainName.c_str();
  info.DomainName = entry.DomainName;
  info.bSlow = 0;   // this attempt tells anew
  if (info.TryNumber >= RetryScheduleLength) {
    char text[kMaxGiveUpText + 1];
    snprintf(text, sizeof text, "Failed to deliver to domain %s after %d tries.", domain,
             info.TryNumber);
    return GiveUp(entry, text);
  }
  GetUpdatedRoutingInfo(info);
  if (info.Mx.empty() && !info.bRetryDns)
    return GiveUp(entry, BoundedCopy("Cannot resolve " + entry.DomainName, kMaxGiveUpText));
  int result = 0;
  if (MailDomainIsLocal(info)) {
    result = DeliverDomainLocally(domain);
  } else {
    std::string errorText;
    info.MtaSts = DomainMtaStsPolicy(entry.DomainName, info);
    if (_SmtpConnection *conn = ConnectToDomain(info, true, errorText)) {
      info.LastError.clear();
      result = ForEachMessage(domain, SendMessageOnConnection, conn);
      if (conn->Stream.TimedOut) {
        info.bSlow = 1;
        info.LastError = kSlowExchangerText;
      }
      SmtpDisconnect(conn);
    } else {
      info.LastError = !errorText.empty() ? errorText
                       : info.Mx.empty()   ? "the DNS lookup failed"
                                           : "no exchanger could be reached";
    }
  }
  // An attempt cut short by the service stopping is not held against the
  // domain.
  if (result == 0 && !Terminating()) {
    info.LastTried = NowSeconds();
    ++info.TryNumber;
  }
  return result;
}

// ---- routing

const _ManualRouteInfo *ManualRoute(std::string_view domain) {
  std::string name(domain);
  for (const _ManualRouteInfo &route : pManualRouteInfo)
    if (WildMatch(name.c_str(), route.DestDomain.c_str())) return &route;
  return nullptr;
}

_MxRecord FabricateMxRecord(uint16_t preference, std::string_view host, uint16_t port,
                            const std::vector<IpAddress> &addresses) {
  _MxRecord mx;
  mx.Preference = preference;
  mx.Expires = kExpiresNever;
  mx.HostName = BoundedCopy(host, kMaxRouteHostName);
  mx.PortNo = port;
  if (!host.empty() && host.front() == '[') {
    IpAddress address;
    if (ParseDomainLiteral(host, &address) && !address.IsAny()) mx.Address.push_back(address);
    return mx;
  }
  for (const IpAddress &a : addresses) AddAddress(mx.Address, a);
  return mx;
}

long ResolveHostAddresses(const std::string &host, std::vector<IpAddress> &addresses) {
  addresses.clear();
  IpAddress literal;
  if (ParseAddress(host, &literal)) {
    if (literal.IsAny()) return ERROR_INVALID_PARAMETER;
    addresses.push_back(literal);
    return ERROR_SUCCESS;
  }
  long rc6 = AskIpv6Addresses(host, addresses);
  HostEntry entry;
  long rc4 = ZelGetHostByName(host, entry);
  for (uint32_t a : entry.addresses) AddAddress(addresses, IpV4(a));
  if (!addresses.empty()) return ERROR_SUCCESS;
  // No address at all: the name has none only when both lookups say so
  // (a name with AAAA records only answers the A question with none).
  if (NameDoesNotExist(rc4) && (rc6 == ERROR_SUCCESS || NameDoesNotExist(rc6))) return rc4;
  if (rc4 == ERROR_SUCCESS) return rc6 == ERROR_SUCCESS ? ERROR_FILE_NOT_FOUND : rc6;
  return rc4;
}

void DnsLookup(_RoutingInfo &info, int depth, bool secureSoFar) {
  if (depth > kMaxDnsLookupDepth) {
    LogEvent(EVENTLOG_WARNING_TYPE, MSG_DNS_RECURSION_LIMIT, LogSafeText(info.DomainName).c_str(),
             nullptr);
    return;
  }
  std::string asked = NormalizeDnsName(info.DomainName);
  DnsAnswer answer;
  DnsQueryOptions options = RoutingDnsOptions();
  options.askAuthenticated = true;
  long rc = DnsQuery(DnsServer, info.DomainName, kDnsTypeMX, options, answer);
  // A name no query can carry cannot exist: no exchangers, nothing to retry.
  if (rc == ERROR_INVALID_PARAMETER) return;
  if (rc != ERROR_SUCCESS) {
    info.bRetryDns = 1;
    return;
  }
  const DnsMessage &m = answer.message;
  if (m.header.tc) {
    // Only a server that cuts even its TCP answers gets here: try again
    // later rather than take a part of the exchangers, or none, for all.
    LogEvent(EVENTLOG_ERROR_TYPE, MSG_DNS_TRUNCATED, LogSafeText(info.DomainName).c_str(), nullptr);
    info.bRetryDns = 1;
    return;
  }
  if (m.header.rcode == kDnsRcodeServFail) {
    info.bRetryDns = 1;
    return;
  }
  if (m.header.rcode != kDnsRcodeNoError) return;
  if (const DnsRecord *alias = AliasOf(m, asked)) {
    info.DomainName = BoundedCopy(alias->target, kMaxRouteHostName);
    // An alias is as trustworthy as the weakest answer on the way.
    DnsLookup(info, depth + 1, secureSoFar && m.header.ad);
    return;
  }
  CollectExchangers(m, asked, info, secureSoFar && m.header.ad);
  info.bRetryDns = 0;
}

void DirectHostRoute(_RoutingInfo &info) {
  std::vector<IpAddress> addresses;
  long rc = ResolveHostAddresses(info.DomainName, addresses);
  if (rc == ERROR_SUCCESS) {
    info.Mx.push_back(FabricateMxRecord(0, info.DomainName, 0, addresses));
    return;
  }
  // Only a name that does not exist makes the domain unresolvable; a
  // failing name server is no reason to return mail.
  if (!NameDoesNotExist(rc)) info.bRetryDns = 1;
}

void GetUpdatedRoutingInfo(_RoutingInfo &info) {
  info.Mx.clear();
  info.bRetryDns = 0;
  info.bNullMx = 0;
  if (IsMailHostQueueName(info.DomainName)) {
    uint16_t port = MailHostPort == SmtpPort ? 0 : static_cast<uint16_t>(MailHostPort);
    info.Mx.push_back(FabricateMxRecord(0, info.DomainName.substr(1), port, {}));
    info.Mx.back().bMailHost = true;
    return;
  }
  if (const _ManualRouteInfo *route = ManualRoute(info.DomainName);
      route != nullptr && !route->Route.empty()) {
    info.Mx.push_back(FabricateMxRecord(0, route->Route, route->PortNo, route->RouteAddress));
    info.Mx.back().bRoute = true;
    if (route->Pref == kRouteReplacesAll) return;
  }
  if (!info.DomainName.empty() && info.DomainName.front() == '[') {
    _MxRecord literal = FabricateMxRecord(0, info.DomainName, 0, {});
    // A literal that is no address names no host at all.
    info.Mx.clear();
    if (!literal.Address.empty()) info.Mx.push_back(std::move(literal));
    return;
  }
  DnsLookup(info, 1);
  RemoveIrrelevantMxRecords(info);
  if (!info.bRetryDns && !info.bNullMx && info.Mx.empty()) DirectHostRoute(info);
}

void RemoveIrrelevantMxRecords(_RoutingInfo &info) {
  int own = -1;
  for (const _MxRecord &mx : info.Mx)
    if (IsThisHost(mx) && (own < 0 || mx.Preference < own)) own = mx.Preference;
  if (own < 0) return;
  std::erase_if(info.Mx, [own](const _MxRecord &mx) {
    return mx.Preference > own || (mx.Preference == own && !IsThisHost(mx));
  });
}

bool MailDomainIsLocal(const _RoutingInfo &info) {
  const _MxRecord *best = nullptr;
  for (const _MxRecord &mx : info.Mx)
    if (best == nullptr || mx.Preference < best->Preference) best = &mx;
  return best != nullptr && IsThisHost(*best);
}

std::vector<size_t> ExchangersInTurn(const _RoutingInfo &info) {
  std::vector<size_t> order;
  for (size_t i = 0; i < info.Mx.size(); ++i)
    if (info.Mx[i].Status == kMxUsable && !IsThisHost(info.Mx[i])) order.push_back(i);
  std::stable_sort(order.begin(), order.end(), [&info](size_t a, size_t b) {
    return info.Mx[a].Preference < info.Mx[b].Preference;
  });
  return order;
}

namespace {

// The relay host: only GatewayName's route, never an exchanger found
// through DNS of the same name (nor another route of the route table).
bool IsGatewayRoute(const _MxRecord &mx) {
  return mx.bRoute && !GatewayName.empty() && EqualsNoCase(mx.HostName, GatewayName);
}

// The relay host, when a user name is set for it.
bool IsAuthenticatedRoute(const _MxRecord &mx) {
  return IsGatewayRoute(mx) && !GatewayUser.empty();
}

}  // namespace

bool ExchangerTlsPolicy(const _MxRecord &mx, const MtaStsPolicy &sts, SmtpTlsPolicy &policy,
                        std::string &errorText) {
  uint16_t port = mx.PortNo != 0 ? mx.PortNo : static_cast<uint16_t>(SmtpPort);
  std::string host = BoundedCopy(mx.HostName, kMaxRouteHostName);
  policy = SmtpTlsPolicy();
  if (mx.bMailHost) {
    if (!MailHostCa.empty()) policy = VerifiedNamePolicy(host, MailHostCa, "mailhost");
    return true;
  }
  if (mx.bRoute) {
    // A route of the route table other than the relay host: opportunistic.
    if (IsGatewayRoute(mx)) policy = GatewayTlsPolicy(mx.HostName, port);
    return true;
  }
  // DANE, where it applies, outranks MTA-STS.
  DaneOutcome dane = mx.bSecure ? LookupDanePolicy(DnsServer, host, port, policy)
                                : DaneOutcome::kNone;
  if (dane == DaneOutcome::kDefer) {
    errorText = "the TLSA records of " + host + " could not be looked up (DANE): deferred";
    return false;
  }
  if (dane == DaneOutcome::kDane || sts.Mode == MtaStsMode::kNone) return true;
  bool listed = MtaStsAllowsMx(sts, host);
  if (sts.Mode == MtaStsMode::kTesting) {
    // The certificate is checked as enforce would, and a failure only
    // logged when the session starts TLS (smtpsend).
    policy = ReportedNamePolicy(host, TlsCaFile, "mta-sts");
    if (!listed)
      LogEvent(EVENTLOG_WARNING_TYPE, MSG_TLS_POLICY, LogSafeText(host).c_str(),
               "MTA-STS testing: the exchanger is not named by its domain's policy; used anyway");
    return true;
  }
  if (!listed) {
    errorText = "TLS required (mta-sts) but " + host + " is not named by the policy: deferred";
    return false;
  }
  policy = VerifiedNamePolicy(host, TlsCaFile, "mta-sts");
  return true;
}

_SmtpConnection *ConnectToDomain(_RoutingInfo &info, bool updateLastTried,
                                 std::string &errorText) {
  long loop = -1;   // the preference of an exchanger found to be this host
  for (size_t i : ExchangersInTurn(info)) {
    if (Terminating()) break;
    _MxRecord &mx = info.Mx[i];
    // In preference order: the rest would hand the mail back to this host.
    if (loop >= 0 && mx.Preference >= loop) break;
    int kind = 0;
    std::string text;
    // Without glue the exchanger's addresses of both families are asked
    // here; the client alone would find only its IPv4 ones.
    if (mx.Address.empty() && ResolveHostAddresses(mx.HostName, mx.Address) != ERROR_SUCCESS) {
      mx.Status = kMxUnresolved;
      errorText = "Can't interpret host name, or non-existant host";
      continue;
    }
    if (AddressedToThisHost(mx)) {
      loop = mx.Preference;
      errorText = kMailLoopText;
      continue;
    }
    SmtpTlsPolicy policy;
    if (!ExchangerTlsPolicy(mx, info.MtaSts, policy, errorText)) continue;
    _SmtpConnection *conn =
        SmtpConnect(mx.HostName, mx.PortNo, mx.Address, &kind, &text, policy);
    // The failed opportunistic handshake is remembered: the second call
    // goes without TLS.
    if (conn == nullptr && kind == kSmtpTlsFailed && !Terminating())
      conn = SmtpConnect(mx.HostName, mx.PortNo, mx.Address, &kind, &text, policy);
    if (updateLastTried) info.LastTried = NowSeconds();
    if (conn != nullptr && IsAuthenticatedRoute(mx) && !SmtpAuthenticate(*conn, GatewayUser, text)) {
      SmtpDisconnect(conn);
      conn = nullptr;
    }
    if (conn != nullptr) return conn;
    if (kind == kSmtpHostUnresolved) mx.Status = kMxUnresolved;
    if (kind == kSmtpTimedOut) info.bSlow = 1;
    errorText = text;
  }
  return nullptr;
}
