// Fuzz target for the messages between the services and their root-keeping
// logon helpers (common/logonhelper), the one input the helpers take: a
// request decodes only when it is exactly four lengths and their bytes,
// and then encodes back to the same bytes; the session start record it
// may carry (common/sessionstart) decodes only when exact, within its
// bounds, and encodes back the same; an answer decodes within its bounds.
// The SASL decoders AUTH feeds them (base64, the PLAIN message) must agree
// with their encoder and stay within their input.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "common/logonhelper.h"
#include "common/sasl.h"
#include "common/sessionstart.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  std::string_view in(reinterpret_cast<const char *>(data), size);
  LogonJob request;
  if (DecodeLogonRequest(in, request)) {
    if (request.Name.size() > kMaxLogonHelperName ||
        request.Password.size() > kMaxLogonHelperPassword)
      abort();
    if (EncodeLogonRequest(request) != in) abort();
  } else if (!request.Name.empty() || !request.Password.empty()) {
    abort();
  }
  SessionStart start;
  if (DecodeSessionStart(in, start)) {
    if (start.UserName.size() > kMaxSessionField ||
        start.PendingInput.size() > kMaxSessionPendingInput || EncodeSessionStart(start) != in)
      abort();
  } else if (!start.UserName.empty()) {
    abort();
  }
  std::string password;
  LogonJob job;
  DWORD delay = 0;
  if (DecodeLogonAnswer(in, job, &delay) && job.Domain.size() > kMaxLogonHelperDomain) abort();

  std::string decoded;
  if (Base64Decode(in, decoded)) {
    if (decoded.size() > size) abort();
    std::string canonical = Base64Encode(decoded), again;
    if (!Base64Decode(canonical, again) || again != decoded) abort();
  } else if (!decoded.empty()) {
    abort();
  }
  std::string authzid, authcid;
  if (ParseSaslPlain(in, authzid, authcid, password) &&
      authzid.size() + authcid.size() + password.size() + 2 != size)
    abort();
  return 0;
}
