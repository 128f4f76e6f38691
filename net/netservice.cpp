#include "net/netservice.h"

#include "common/cfgcheck.h"
#include "common/logging.h"
#include "common/service.h"
#include "common/tlsconfig.h"
#include "messages/zelmsg.h"
#include "platform/eventlog.h"
#include "platform/sync.h"

long StartNetworkService(bool (*readConfiguration)(), bool (*startEngine)(bool tls)) {
  StartupCheckPointHint(3000);
  LogEvent(EVENTLOG_INFORMATION_TYPE, MSG_SERVICE_STARTING, ThisServiceDisplayName(), nullptr);

  StartupCheckPointHint(3000);
  if (!readConfiguration()) return -1;
  LogConfigurationCheck();  // logs what it finds; the start goes on

  StartupCheckPointHint(3000);
  if (!InitLogModule()) {
    LogWin32Error(EVENTLOG_ERROR_TYPE, "InitLogModule", GetLastError());
    return -1;
  }

  // Without a certificate TLS is simply not offered; the start goes on.
  bool tls = LoadTlsCertificate();

  StartupCheckPointHint(3000);
  if (!startEngine(tls)) return -1;
  return 0;
}

void StopNetworkService() {
  StopNetEngine();
  Sleep(1000);
  TermLogModule();
  LogEvent(EVENTLOG_INFORMATION_TYPE, MSG_SERVICE_TERMINATING, ThisServiceDisplayName(), nullptr);
}

bool StartAccessFront(const AccessFrontSettings &front, bool tls, const NetEngineHooks &hooks) {
  LogonPoolSettings logons;
  logons.Check = front.Check;
  if (!StartAccessLogons(logons, front.StartPool)) return false;
  NetEngineSettings settings;
  AddListeners(&settings, *front.Addresses, front.Port, front.PortKind, false, true);
  if (tls && front.TlsPort != 0)
    AddListeners(&settings, *front.Addresses, front.TlsPort, front.TlsPortKind, true, true);
  if (front.ExtraPort != 0) {
    AddListeners(&settings, *front.Addresses, front.ExtraPort, front.ExtraPortKind, false, true);
    for (NetListener &listener : settings.Listeners)
      if (listener.Kind == front.ExtraPortKind)
        listener.TooManyConnectionsReply = front.ExtraTooManyConnectionsReply;
  }
  settings.IdleSeconds = front.IdleSeconds;
  settings.ClientPrefixLengthV6 = front.ClientPrefixLengthV6;
  settings.MaxConnections = front.MaxConnections;
  settings.MaxConnectionsPerClient = front.MaxConnectionsPerClient;
  settings.TooManyConnectionsReply = front.TooManyConnectionsReply;
  settings.KeepAlive = false;
  return StartNetEngine(settings, hooks);
}
