// tlsconfig: see tlsconfig.h.
#include "common/tlsconfig.h"

#include <string>

#include "common/loadcfig.h"
#include "common/logging.h"
#include "messages/zelmsg.h"
#include "platform/tls.h"

bool LoadTlsCertificate() {
  TlsFileNames files = LoadTlsFileNames();
  if (files.CertificateFile.empty()) {
    SetCurrentTlsServerContext(nullptr);
    LogEvent(EVENTLOG_INFORMATION_TYPE, MSG_TLS_NOT_OFFERED, nullptr, nullptr);
    return false;
  }
  if (files.KeyFile.empty()) files.KeyFile = files.CertificateFile;
  TlsContextRef loaded, strict;
  std::string why;
  if (!LoadTlsServerContext(files.CertificateFile, files.KeyFile, loaded, why, &strict)) {
    LogEvent(EVENTLOG_ERROR_TYPE, MSG_TLS_CERTIFICATE_FAILED, why.c_str(), nullptr);
    if (CurrentTlsServerContext() != nullptr) return true;
    LogEvent(EVENTLOG_WARNING_TYPE, MSG_TLS_NOT_OFFERED, nullptr, nullptr);
    return false;
  }
  std::string expiry = TlsCertificateExpiry(loaded);
  SetCurrentTlsServerContext(loaded, strict);
  LogEvent(EVENTLOG_INFORMATION_TYPE, MSG_TLS_CERTIFICATE_LOADED, files.CertificateFile.c_str(),
           expiry.c_str());
  return true;
}

void ReloadTlsCertificate() { (void)LoadTlsCertificate(); }
