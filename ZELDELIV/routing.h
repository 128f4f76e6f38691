// routing: domain records, retry timing and delivery attempts to remote
// domains.
//
// STAND-IN until remote delivery arrives: it keeps no domain record and
// makes no attempt. A domain's recipients wait in its directory: every
// attempt reports the queue not finished and schedules the next one a
// schedule interval later (the retry schedule entry of a first failure), so
// domain delivery threads never spin on a waiting domain. Records are read
// as fresh ones (never tried), so a new domain is due at once.
//
// Callers: the domain delivery threads and the domain list upkeep of
// delivery.cpp; InitRoutingModule and the route list at start. No state;
// thread-safe.
#pragma once

#include <memory>
#include <string>

#include "ZELDELIV/delivery.h"

// The domain record file in a domain directory.
constexpr const char *kDomainRecordName = "DOMAIN.MRI";

struct _RoutingInfo {
  std::string DomainName;
  int bRetryDns = 0;
  long long LastTried = 0;
  int TryNumber = 0;
};

typedef std::unique_ptr<_RoutingInfo> RoutingInfoPtr;

bool InitRoutingModule();
// Puts a route of every destination through the gateway at the head of the
// route list.
void AddGatewayRoute(const std::string &gateway);
// Resolves the addresses of the routes.
void GetManualRouteAddresses();

// The domain's record (a fresh one when there is none); null when it cannot
// be read.
RoutingInfoPtr ReadRoutingInfo(const _DomainInfo &entry, const std::string &directory);
void WriteRoutingInfo(const _RoutingInfo &info, const std::string &directory);
// Deletes the record (a missing one is fine).
void DeleteRoutingInfo(const std::string &directory);
void FreeRoutingInfo(RoutingInfoPtr &info);

// The time of the next attempt: LastTried + 60 x the schedule entry at
// TryNumber (the stand-in, which never gives up, waits at least a minute,
// also once the schedule is used up).
long long TimeToRetry(const _RoutingInfo &info);
// Sets entry.RetryTime; true when that time has come.
bool SetDomainRetryInfo(_DomainInfo &entry, const _RoutingInfo &info);
// One attempt: 1 when the domain's queue is finished, 0 when recipients
// remain (the stand-in: always 0, counted as one failed try).
int DeliverAllMessages(_DomainInfo &entry, _RoutingInfo &info);
