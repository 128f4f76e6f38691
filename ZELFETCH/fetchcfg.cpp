// fetchcfg: see fetchcfg.h.
#include "ZELFETCH/fetchcfg.h"

#include <algorithm>

#include "common/loadcfig.h"
#include "common/pconfig.h"
#include "common/str.h"
#include "common/zel.h"
#include "net/netengine.h"

DWORD Pop3PortNo = kDefaultPop3Port;
DWORD Pop3TlsPortNo = kDefaultPop3TlsPort;
std::string MessageExtension = kDefaultMessageExtension;
DWORD IdleTimeout = kDefaultIdleSeconds;
std::atomic<bool> Pop3LogEnabled{false};
NetworkList PlaintextLogonClients;
std::vector<IpAddress> ListenAddresses;
DWORD MaxConnections = kDefaultMaxConnections;
DWORD MaxConnectionsPerClient = kDefaultMaxConnectionsPerClient;
DWORD MaxTransactionTime = kDefaultMaxTransactionTime;
DWORD ClientPrefixLengthV6 = kSubscriberPrefixLengthV6;

void LoadFetchSettings() {
  Pop3logDirectory = SpoolPath(kPop3logDir);
  ListenAddresses = DefaultListenAddresses();
  RegKey params;
  if (OpenParametersKey(params) != ERROR_SUCCESS) {
    ParseNetworkList(kDefaultPlaintextLogonClients, &PlaintextLogonClients, nullptr);
    return;
  }
  DWORD port = 0;
  if (QueryRegDword(params.get(), "PortNo", port))
    Pop3PortNo = port == 0 || port > 0xFFFF ? kDefaultPop3Port : port;
  if (QueryRegDword(params.get(), "TlsPortNo", port))
    Pop3TlsPortNo = port > 0xFFFF ? kDefaultPop3TlsPort : port;
  std::string ext;
  if (QueryRegString(params.get(), "MessageExtension", kMaxMessageExtension, ext))
    MessageExtension = ext.empty() ? kDefaultMessageExtension : ext;
  IdleTimeout = LoadIdleSeconds(params.get(), kDefaultIdleSeconds);
  ClientPrefixLengthV6 = LoadClientPrefixLengthV6(params.get());
  DWORD log = 0;
  if (QueryRegDword(params.get(), "Pop3LogEnabled", log)) Pop3LogEnabled = log != 0;
  PlaintextLogonClients = QueryRegNetworkList(params.get(), "PlaintextLogonClients",
                                              kMaxNetworkListBytes, kDefaultPlaintextLogonClients);
  LoadListenAddresses(params.get(), &ListenAddresses);
  QueryRegDword(params.get(), "MaxConnections", MaxConnections);
  QueryRegDword(params.get(), "MaxConnectionsPerClient", MaxConnectionsPerClient);
  QueryRegDword(params.get(), "MaxTransactionTime", MaxTransactionTime);
}
