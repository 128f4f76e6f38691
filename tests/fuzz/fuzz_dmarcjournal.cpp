// Fuzz target for the DMARC journal reader and what reads its records: the
// input is a journal's text (the receiver's account writes it, so it is
// taken as untrusted). Every record read must write back to the same line,
// the report built from the records must have no unescaped markup in its
// texts, and each rua= URI must parse within its bounds.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "common/dmarcjournal.h"
#include "common/dmarcreport.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  std::string_view input(reinterpret_cast<const char *>(data), size);
  size_t skipped = 0;
  auto records = ParseDmarcJournal(input, 64, &skipped);
  for (const DmarcEvaluation &e : records) {
    std::string line = FormatDmarcRecord(e);
    DmarcEvaluation again;
    if (!ParseDmarcRecord(std::string_view(line).substr(0, line.size() - 1), &again) ||
        FormatDmarcRecord(again) != line)
      abort();
    for (const std::string &uri : e.Policy.Rua) {
      RuaDestination d;
      if (ParseRuaUri(uri, &d) && d.Address.find('@') == std::string::npos) abort();
    }
  }
  for (const DmarcDomainReport &r : GroupDmarcEvaluations(records, 4, 8)) {
    std::string xml = DmarcReportXml(DmarcReportMeta{"h", "p@h", "id", 1, 2}, r);
    if (xml.find("<<") != std::string::npos || xml.find('\x01') != std::string::npos) abort();
  }
  return 0;
}
