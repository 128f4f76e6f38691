// Fuzz target: the domain record parser on arbitrary text. What it reads
// stays within its bounds, and what it writes reads back to the same record.
// zeladm's summary reader of the same file stays within its bounds too and
// agrees with the agent on the try count of a record the agent wrote.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "ZELDELIV/routing.h"
#include "common/spoolqueue.h"

namespace {

void CheckBounds(const _RoutingInfo &info) {
  if (info.TryNumber < 0 || info.Mx.size() > kMaxExchangers) abort();
  for (const _MxRecord &mx : info.Mx)
    if (mx.HostName.empty() || mx.HostName.size() > kMaxRouteHostName ||
        mx.Address.size() > kMaxExchangerAddresses)
      abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  std::string_view text(reinterpret_cast<const char *>(data), size);
  // A small bound now and then, so cut lines are tried too.
  size_t bound = size > 0 && data[0] == '#' ? size / 2 : kMaxDomainRecordBytes;
  _RoutingInfo info;
  ParseRoutingRecord(text, bound, info);
  CheckBounds(info);
  std::string written = FormatRoutingRecord(info);
  _RoutingInfo again;
  ParseRoutingRecord(written, kMaxDomainRecordBytes, again);
  CheckBounds(again);
  if (FormatRoutingRecord(again) != written) abort();
  DomainRecordSummary summary, ofWritten;
  ParseDomainRecordSummary(text, summary);
  if (summary.TryNumber < 0 || summary.LastTried < 0 || summary.LastError.size() > kMaxLastErrorText)
    abort();
  ParseDomainRecordSummary(written, ofWritten);
  if (ofWritten.TryNumber != again.TryNumber) abort();
  return 0;
}
