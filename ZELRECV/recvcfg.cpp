// recvcfg: see recvcfg.h.
#include "ZELRECV/recvcfg.h"

#include <iterator>

#include "ZELRECV/backupmx.h"
#include "common/loadcfig.h"
#include "common/pconfig.h"
#include "common/zel.h"
#include "net/netengine.h"

DWORD PortNo = kDefaultSmtpPort;
DWORD SubmissionPortNo = kDefaultSubmissionPort;
DWORD SubmissionTlsPortNo = kDefaultSubmissionTlsPort;
bool EsmtpEnabled = kDefaultEsmtp != 0;
bool ProhibitMailRelay = false;
bool NoKeepalives = false;
bool CheckLocalRecipient = false;
std::atomic<bool> MailInlogEnabled{false};
DWORD MaxMessageSize = kDefaultMaxMessageSize;
DWORD IdleTimeout = kDefaultIdleTimeout;
DWORD MaxPreTransactionCommands = kDefaultMaxPreTransactionCommands;
DWORD MaxBufferedBytes = kDefaultMaxBufferedBytes;
bool SubmissionAnySender = false;
bool SignRelayClients = true;
bool DmarcReject = true;
std::vector<DnsServerAddress> CheckNameServers;
DWORD ClientPrefixLengthV6 = kDefaultClientPrefixLengthV6;
DWORD MaxRecipients = kDefaultMaxRecipients;
NetworkList RelayClientNetworks;
SrsSettings ReceiverSrs;

const char *const kDefaultRelayClients[2] = {"127.0.0.0/8", "::1"};
std::vector<IpAddress> ListenAddresses;
DWORD MaxConnections = kDefaultMaxConnections;
DWORD MaxConnectionsPerClient = kDefaultMaxConnectionsPerClient;
DWORD MaxTransactionTime = kDefaultMaxTransactionTime;

namespace {

bool ReadFlag(HKEY key, const char *name) {
  DWORD v = 0;
  QueryRegDword(key, name, v);
  return v != 0;
}

// RelayClients: absent (or unreadable) means this computer alone; a value
// that is present, even empty, is taken as written.
void LoadRelayClients(HKEY params, std::vector<BadSettingEntry> *bad) {
  std::vector<std::string> entries(std::begin(kDefaultRelayClients),
                                   std::end(kDefaultRelayClients));
  if (params != nullptr) QueryRegMultiString(params, "RelayClients", kRelayClientsBytes, entries);
  std::vector<std::string> notNetworks;
  ParseNetworkList(entries, &RelayClientNetworks, &notNetworks);
  for (std::string &entry : notNetworks) bad->emplace_back("RelayClients", std::move(entry));
}

// A port value: 0 turns the port off; one past 65535 is reported and off.
void ReadPort(HKEY params, const char *name, DWORD *port, std::vector<BadSettingEntry> *bad) {
  QueryRegDword(params, name, *port);
  if (*port <= 65535) return;
  bad->emplace_back(name, std::to_string(*port));
  *port = 0;
}

}  // namespace

void LoadReceiverSettings(std::string *incomingName, std::vector<BadSettingEntry> *bad) {
  *incomingName = kIncomingDir;
  MailQueueDirectory = SpoolPath(kIncomingDir);
  MailInlogDirectory = SpoolPath(kInlogDir);
  ListenAddresses = DefaultListenAddresses();
  RegKey params;
  if (OpenParametersKey(params) != ERROR_SUCCESS) {
    LoadRelayClients(nullptr, bad);
    return;
  }
  std::string queueDir;
  if (QueryRegString(params.get(), "MailQueueDir", kMaxPath, queueDir) && !queueDir.empty()) {
    *incomingName = queueDir;
    MailQueueDirectory = SpoolPath(queueDir);
  }
  DWORD port = kDefaultSmtpPort;
  if (QueryRegDword(params.get(), "PortNo", port)) PortNo = port == 0 ? kDefaultSmtpPort : port;
  ReadPort(params.get(), "SubmissionPortNo", &SubmissionPortNo, bad);
  ReadPort(params.get(), "SubmissionTlsPortNo", &SubmissionTlsPortNo, bad);
  DWORD esmtp = kDefaultEsmtp;
  QueryRegDword(params.get(), "Esmtp", esmtp);
  EsmtpEnabled = esmtp != 0;
  ProhibitMailRelay = ReadFlag(params.get(), "ProhibitMailRelay");
  NoKeepalives = ReadFlag(params.get(), "NoKeepalives");
  CheckLocalRecipient = ReadFlag(params.get(), "CheckLocalRecipient");
  MailInlogEnabled = ReadFlag(params.get(), "MailInlogEnabled");
  QueryRegDword(params.get(), "MaxMessageSize", MaxMessageSize);
  IdleTimeout = LoadIdleSeconds(params.get(), kDefaultIdleFloor);
  QueryRegDword(params.get(), "MaxRecipients", MaxRecipients);
  LoadRelayClients(params.get(), bad);
  LoadBackupMxSettings(params.get());
  LoadListenAddresses(params.get(), &ListenAddresses);
  QueryRegDword(params.get(), "MaxConnections", MaxConnections);
  QueryRegDword(params.get(), "MaxConnectionsPerClient", MaxConnectionsPerClient);
  QueryRegDword(params.get(), "MaxTransactionTime", MaxTransactionTime);
  QueryRegDword(params.get(), "MaxPreTransactionCommands", MaxPreTransactionCommands);
  QueryRegDword(params.get(), "MaxBufferedBytes", MaxBufferedBytes);
  SubmissionAnySender = ReadFlag(params.get(), "SubmissionAnySender");
  DWORD signRelayClients = SignRelayClients ? 1 : 0;
  QueryRegDword(params.get(), "SignRelayClients", signRelayClients);
  SignRelayClients = signRelayClients != 0;
  DWORD dmarcReject = DmarcReject ? 1 : 0;
  QueryRegDword(params.get(), "DmarcReject", dmarcReject);
  DmarcReject = dmarcReject != 0;
  // The checks of arriving mail ask these; an unreadable value leaves none,
  // and every check is then a temporary error, never a refusal.
  CheckNameServers.clear();
  ReadNameServerList(CheckNameServers);
  ClientPrefixLengthV6 = LoadClientPrefixLengthV6(params.get());
}
