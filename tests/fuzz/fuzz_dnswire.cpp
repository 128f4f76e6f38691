// Fuzzes the DNS answer decoder: whatever a name server sends, the decoder
// stays inside the bytes it was given, its names keep their limits, no
// section holds more records than the header counted, and the readers of
// TXT and TLSA data never give back more than the record held.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "platform/dnswire.h"

namespace {

// Each wire byte becomes at most four text bytes ("\DDD").
constexpr size_t kMaxEscapedName = 4 * kMaxDnsNameTextLength;

void CheckName(const std::string &name) {
  if (name.size() > kMaxEscapedName) std::abort();
}

// Any record's data, read as TXT strings and as TLSA fields.
void CheckData(const std::string &raw) {
  std::vector<std::string> strings;
  if (ParseDnsTxtStrings(raw, strings)) {
    size_t total = strings.size();
    for (const std::string &s : strings) total += s.size();
    if (total != raw.size()) std::abort();
  }
  DnsTlsa tlsa;
  if (ParseDnsTlsa(raw, tlsa) && tlsa.association.size() + 3 != raw.size()) std::abort();
}

void CheckSection(const std::vector<DnsRecord> &section, uint16_t count) {
  if (section.size() > count) std::abort();
  for (const DnsRecord &r : section) {
    CheckName(r.name);
    CheckName(r.target);
    if (r.ttl > 0x7FFFFFFFu || r.raw.size() > kMaxDnsMessageLength) std::abort();
    CheckData(r.raw);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  DnsMessage m;
  if (ParseDnsMessage(data, size, m)) {
    if (m.questions.size() != m.header.qdCount) std::abort();
    for (const DnsQuestion &q : m.questions) CheckName(q.name);
    CheckSection(m.answers, m.header.anCount);
    CheckSection(m.authority, m.header.nsCount);
    CheckSection(m.additional, m.header.arCount);
    if (m.partial && !m.header.tc) std::abort();
  }
  // Names read from any offset, as the resolver's name reader would.
  std::string text;
  for (size_t offset = 0; offset < size && offset < 64; ++offset)
    if (ReadDnsName(data, size, offset, text)) CheckName(text);
  return 0;
}
