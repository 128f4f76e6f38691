// Fuzzes the DANE decision on a TLSA answer: whatever a name server sends,
// the records kept are usable ones of the asked name, within their bounds,
// and a policy is set only when the answer was validated.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "ZELDELIV/tlspolicy.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  TlsaRecord record;
  std::string_view bytes(reinterpret_cast<const char *>(data), size);
  if (ParseTlsaRecord(bytes, record) && (record.Data.empty() || record.Data.size() > kMaxTlsaData))
    std::abort();
  DnsMessage m;
  if (!ParseDnsMessage(data, size, m)) return 0;
  for (bool ad : {false, true}) {
    m.header.ad = ad;
    SmtpTlsPolicy policy;
    DaneOutcome outcome = DaneFromAnswer(m, "_25._tcp.mx.example", "mx.example", policy);
    bool dane = policy.Mode == SmtpTlsPolicy::Kind::kDane;
    if ((outcome == DaneOutcome::kDane) != dane || (dane && !ad)) std::abort();
    if (policy.Check.Tlsa.size() > kMaxTlsaRecords) std::abort();
    for (const TlsaRecord &r : policy.Check.Tlsa)
      if (!UsableTlsaRecord(r) || r.Data.size() > kMaxTlsaData) std::abort();
  }
  return 0;
}
