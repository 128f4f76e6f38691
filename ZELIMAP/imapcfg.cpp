// imapcfg: see imapcfg.h.
#include "ZELIMAP/imapcfg.h"

#include "common/loadcfig.h"
#include "common/logonpool.h"
#include "net/netengine.h"

DWORD ImapPortNo = kDefaultImapPort;
DWORD ImapTlsPortNo = kDefaultImapTlsPort;
DWORD SievePortNo = kDefaultSievePort;
DWORD ImapIdleSeconds = kDefaultImapIdleSeconds;
DWORD ImapLogonSeconds = kDefaultImapLogonSeconds;
uint64_t ImapAppendLimit = kDefaultImapAppendLimit;
NetworkList ImapPlaintextLogonClients;
std::vector<IpAddress> ImapListenAddresses;
DWORD ImapMaxConnections = kDefaultMaxConnections;
DWORD ImapMaxConnectionsPerClient = kDefaultMaxConnectionsPerClient;
DWORD ImapClientPrefixLengthV6 = kDefaultClientPrefixLengthV6;

void LoadImapSettings() {
  ImapListenAddresses = DefaultListenAddresses();
  RegKey params;
  if (OpenParametersKey(params) != ERROR_SUCCESS) {
    ParseNetworkList(kDefaultPlaintextLogonClients, &ImapPlaintextLogonClients, nullptr);
    return;
  }
  DWORD value = 0;
  if (QueryRegDword(params.get(), "PortNo", value))
    ImapPortNo = value == 0 || value > 0xFFFF ? kDefaultImapPort : value;
  if (QueryRegDword(params.get(), "TlsPortNo", value))
    ImapTlsPortNo = value > 0xFFFF ? kDefaultImapTlsPort : value;
  if (QueryRegDword(params.get(), "SievePortNo", value))
    SievePortNo = value > 0xFFFF ? kDefaultSievePort : value;
  ImapIdleSeconds =
      LoadIdleSeconds(params.get(), kDefaultImapIdleSeconds, kDefaultImapIdleSeconds);
  value = 0;
  if (QueryRegDword(params.get(), "LogonTimeout", value))
    ImapLogonSeconds = value == 0 ? kDefaultImapLogonSeconds : value;
  value = 0;
  if (QueryRegDword(params.get(), "AppendLimit", value))
    ImapAppendLimit = value == 0 ? kDefaultImapAppendLimit : value;
  ImapClientPrefixLengthV6 = LoadClientPrefixLengthV6(params.get());
  ImapPlaintextLogonClients =
      QueryRegNetworkList(params.get(), "PlaintextLogonClients", kMaxNetworkListBytes,
                          kDefaultPlaintextLogonClients);
  LoadListenAddresses(params.get(), &ImapListenAddresses);
  QueryRegDword(params.get(), "MaxConnections", ImapMaxConnections);
  QueryRegDword(params.get(), "MaxConnectionsPerClient", ImapMaxConnectionsPerClient);
}
