// routing: the stand-in described in routing.h.
#include "ZELDELIV/routing.h"

#include <algorithm>

#include "common/zel.h"
#include "platform/files.h"
#include "platform/sync.h"

namespace {

constexpr long long kSecondsPerMinute = 60;

}  // namespace

bool InitRoutingModule() { return true; }

void AddGatewayRoute(const std::string &) {}

void GetManualRouteAddresses() {}

RoutingInfoPtr ReadRoutingInfo(const _DomainInfo &entry, const std::string &) {
  auto info = std::make_unique<_RoutingInfo>();
  info->DomainName = entry.DomainName;
  return info;
}

void WriteRoutingInfo(const _RoutingInfo &, const std::string &) {}

void DeleteRoutingInfo(const std::string &directory) {
  DeleteFile(directory + "/" + kDomainRecordName);
}

void FreeRoutingInfo(RoutingInfoPtr &info) { info.reset(); }

long long TimeToRetry(const _RoutingInfo &info) {
  // The stand-in never gives up, so a used-up schedule (or an entry of 0
  // minutes) must still wait, or the domain threads would spin.
  int minutes = 1;
  if (info.TryNumber >= 0 && info.TryNumber < RetryScheduleLength)
    minutes = std::max(1, RetrySchedule[info.TryNumber].RetryInterval);
  return info.LastTried + kSecondsPerMinute * minutes;
}

bool SetDomainRetryInfo(_DomainInfo &entry, const _RoutingInfo &info) {
  entry.RetryTime = TimeToRetry(info);
  return NowSeconds() >= entry.RetryTime;
}

int DeliverAllMessages(_DomainInfo &, _RoutingInfo &info) {
  // Counted as a failed try, so the next one waits a schedule interval.
  info.LastTried = NowSeconds();
  info.TryNumber = 1;
  return 0;
}
