// netservice: the start and stop sequence of the three network services
// (receiver, POP3 server, IMAP server), and the start of a mail-access
// front (POP3, IMAP): the logon helpers and pool, then the network engine
// on the plain port and, while a certificate is loaded, the implicit-TLS
// port.
//
// Called from the program's Init and Term hooks; StartAccessFront before
// any other thread of the program runs (the logon helpers are forked
// first). The programs differ only in their values and hooks, which the
// arguments carry; what all promise is decided here: the configuration
// check is logged (the start goes on), a missing certificate means TLS is
// not offered (the start goes on), a front's TLS offers forward-secret AEAD
// suites only (people log on), and a front's idle clients are found by the
// engine's idle check, not by TCP keep-alives.
//
// Failures: StartNetworkService -1, StartAccessFront false, each after an
// event naming the step.
#pragma once

#include <cstdint>
#include <vector>

#include "common/logonpool.h"
#include "net/netengine.h"

struct AccessFrontSettings {
  const std::vector<IpAddress> *Addresses = nullptr;   // required
  uint16_t Port = 0;           // the plain port (STARTTLS offered there)
  int PortKind = 0;
  uint16_t TlsPort = 0;        // 0: none
  int TlsPortKind = 0;
  // A further plain port of another protocol on the same front, logons and
  // limits (the IMAP server's ManageSieve); 0: none.
  uint16_t ExtraPort = 0;
  int ExtraPortKind = 0;
  const char *ExtraTooManyConnectionsReply = "";
  DWORD IdleSeconds = 0;
  DWORD ClientPrefixLengthV6 = kDefaultClientPrefixLengthV6;
  DWORD MaxConnections = 0;
  DWORD MaxConnectionsPerClient = 0;
  const char *TooManyConnectionsReply = "";
  // Where logons are checked, and the front's own pool (see LogonPoolSettings
  // and StartAccessLogons).
  void (*Check)(LogonJob &job, DWORD *failDelayMs) = nullptr;
  bool (*StartPool)(const LogonPoolSettings &settings) = nullptr;
};

// tls: a certificate is loaded, so TlsPort (when not 0) is listened on.
bool StartAccessFront(const AccessFrontSettings &front, bool tls, const NetEngineHooks &hooks);

// The Init hook of a network service: the starting event, the program's
// configuration, its check in the log, the log module, the certificate,
// then startEngine(certificate loaded). 0, or -1 once an event says why.
long StartNetworkService(bool (*readConfiguration)(), bool (*startEngine)(bool tls));

// The Term hook's common part, after the program's own first steps: the
// engine stops, the last log lines are written, the stopping event.
void StopNetworkService();
