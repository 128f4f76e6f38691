// dmarcreport: see dmarcreport.h.
#include "common/dmarcreport.h"

#include <zlib.h>

#include <algorithm>
#include <map>

#include "common/str.h"
#include "platform/ascii.h"

namespace {

// An address's local part in a rua= URI: RFC 5321's limit.
constexpr size_t kMaxRuaLocalPart = 64;
// A size limit beyond a terabyte is no limit (MaxBytes 0).
constexpr unsigned long long kMaxRuaSizeNumber = 1ULL << 40;
// zlib's window bits for a gzip wrapper (15 + 16).
constexpr int kGzipWindowBits = 31;
constexpr int kGzipMemLevel = 8;

// The values a row shares, in one string.
std::string RowKey(const DmarcEvaluation &e) {
  std::string key = e.SourceIp + "\t" + e.HeaderFrom + "\t" + DmarcDispositionName(e.Disposition) +
                    (e.Policy.bDkimAligned ? "\tD" : "\td") + (e.Policy.bSpfAligned ? "S" : "s") +
                    (e.bSpfHelo ? "\th\t" : "\tm\t") + e.SpfResult + "\t" + e.SpfDomain;
  for (const DmarcDkimResult &d : e.Dkim)
    key += "\t" + d.Domain + ":" + d.Selector + ":" + d.Result;
  return key;
}

void Element(std::string &out, std::string_view indent, std::string_view name,
             std::string_view text) {
  out.append(indent).append("<").append(name).append(">");
  out += XmlText(text);
  out.append("</").append(name).append(">\n");
}

const char *PassFail(bool pass) { return pass ? "pass" : "fail"; }

void WriteMetadata(std::string &out, const DmarcReportMeta &meta, const DmarcDomainReport &r) {
  out += "  <report_metadata>\n";
  Element(out, "    ", "org_name", meta.OrgName);
  Element(out, "    ", "email", meta.Email);
  Element(out, "    ", "report_id", meta.ReportId);
  out += "    <date_range>\n";
  Element(out, "      ", "begin", std::to_string(meta.Begin));
  Element(out, "      ", "end", std::to_string(meta.End));
  out += "    </date_range>\n";
  if (r.RowsLeftOut > 0)
    Element(out, "    ", "error",
            std::to_string(r.RowsLeftOut) + " rows left out: the report's limit is " +
                std::to_string(kMaxDmarcReportRows));
  out += "  </report_metadata>\n";
}

void WritePolicy(std::string &out, const DmarcDomainReport &r) {
  const DmarcPublished &p = r.Policy;
  out += "  <policy_published>\n";
  Element(out, "    ", "domain", r.Domain);
  Element(out, "    ", "adkim", p.bStrictDkim ? "s" : "r");
  Element(out, "    ", "aspf", p.bStrictSpf ? "s" : "r");
  Element(out, "    ", "p", DmarcPolicyName(p.P));
  Element(out, "    ", "sp", DmarcPolicyName(p.Sp));
  Element(out, "    ", "pct", std::to_string(p.Pct));
  out += "  </policy_published>\n";
}

void WriteRow(std::string &out, const DmarcReportRow &row) {
  const DmarcEvaluation &e = row.Sample;
  out += "  <record>\n    <row>\n";
  Element(out, "      ", "source_ip", e.SourceIp);
  Element(out, "      ", "count", std::to_string(row.Count));
  out += "      <policy_evaluated>\n";
  Element(out, "        ", "disposition", DmarcDispositionName(e.Disposition));
  Element(out, "        ", "dkim", PassFail(e.Policy.bDkimAligned));
  Element(out, "        ", "spf", PassFail(e.Policy.bSpfAligned));
  out += "      </policy_evaluated>\n    </row>\n    <identifiers>\n";
  Element(out, "      ", "header_from", e.HeaderFrom);
  out += "    </identifiers>\n    <auth_results>\n";
  for (const DmarcDkimResult &d : e.Dkim) {
    out += "      <dkim>\n";
    Element(out, "        ", "domain", d.Domain);
    if (!d.Selector.empty()) Element(out, "        ", "selector", d.Selector);
    Element(out, "        ", "result", d.Result);
    out += "      </dkim>\n";
  }
  out += "      <spf>\n";
  Element(out, "        ", "domain", e.SpfDomain);
  Element(out, "        ", "scope", e.bSpfHelo ? "helo" : "mfrom");
  Element(out, "        ", "result", e.SpfResult);
  out += "      </spf>\n    </auth_results>\n  </record>\n";
}

bool IsLocalPartChar(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
         c == '-' || c == '_' || c == '+' || c == '=';
}

}  // namespace

std::vector<DmarcDomainReport> GroupDmarcEvaluations(const std::vector<DmarcEvaluation> &records,
                                                     size_t maxReports, size_t maxRows) {
  std::map<std::string, DmarcDomainReport> domains;
  std::map<std::string, std::map<std::string, DmarcReportRow>> rows;
  for (const DmarcEvaluation &e : records) {
    DmarcDomainReport &d = domains[e.Policy.Domain];
    d.Domain = e.Policy.Domain;
    d.Policy = e.Policy;
    ++d.Messages;
    auto &domainRows = rows[e.Policy.Domain];
    std::string key = RowKey(e);
    auto it = domainRows.find(key);
    if (it == domainRows.end() && domainRows.size() >= maxRows) {
      ++d.RowsLeftOut;
      continue;
    }
    DmarcReportRow &row = domainRows[key];
    if (row.Count++ == 0) row.Sample = e;
  }
  std::vector<DmarcDomainReport> out;
  for (auto &[name, d] : domains) {
    for (auto &[key, row] : rows[name]) d.Rows.push_back(std::move(row));
    out.push_back(std::move(d));
  }
  if (out.size() > maxReports) {
    std::stable_sort(out.begin(), out.end(),
                     [](const auto &a, const auto &b) { return a.Messages > b.Messages; });
    out.resize(maxReports);
    std::sort(out.begin(), out.end(),
              [](const auto &a, const auto &b) { return a.Domain < b.Domain; });
  }
  return out;
}

std::string XmlText(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\'':
        out += "&apos;";
        break;
      default:
        out += c >= ' ' && c < 0x7f ? c : '?';
    }
  }
  return out;
}

std::string DmarcReportXml(const DmarcReportMeta &meta, const DmarcDomainReport &report) {
  std::string out = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<feedback>\n";
  Element(out, "  ", "version", "1.0");
  WriteMetadata(out, meta, report);
  WritePolicy(out, report);
  for (const DmarcReportRow &row : report.Rows) WriteRow(out, row);
  out += "</feedback>\n";
  return out;
}

bool GzipText(std::string_view text, std::string_view fileName, std::string *out) {
  z_stream z{};
  if (deflateInit2(&z, Z_BEST_COMPRESSION, Z_DEFLATED, kGzipWindowBits, kGzipMemLevel,
                   Z_DEFAULT_STRATEGY) != Z_OK)
    return false;
  std::string name(fileName);  // zlib wants it NUL-ended and writable
  gz_header header{};
  header.name = reinterpret_cast<Bytef *>(name.data());
  header.os = 3;  // Unix
  bool ok = deflateSetHeader(&z, &header) == Z_OK;
  out->assign(deflateBound(&z, static_cast<uLong>(text.size())) + name.size() + 32, '\0');
  z.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(text.data()));
  z.avail_in = static_cast<uInt>(text.size());
  z.next_out = reinterpret_cast<Bytef *>(out->data());
  z.avail_out = static_cast<uInt>(out->size());
  ok = ok && deflate(&z, Z_FINISH) == Z_STREAM_END;
  out->resize(ok ? z.total_out : 0);
  deflateEnd(&z);
  return ok;
}

std::string DmarcReportFileName(std::string_view receiver, std::string_view domain, long long begin,
                                long long end) {
  return std::string(receiver) + "!" + std::string(domain) + "!" + std::to_string(begin) + "!" +
         std::to_string(end) + ".xml.gz";
}

bool ParseRuaUri(std::string_view uri, RuaDestination *out) {
  constexpr std::string_view kScheme = "mailto:";
  if (uri.size() > kMaxRuaUri || !StartsWithNoCase(uri, kScheme)) return false;
  uri.remove_prefix(kScheme.size());
  size_t bang = uri.find('!');
  std::string_view address = uri.substr(0, bang), size;
  if (bang != std::string_view::npos) size = uri.substr(bang + 1);
  size_t at = address.rfind('@');
  if (at == std::string_view::npos || at == 0 || at > kMaxRuaLocalPart ||
      !std::all_of(address.begin(), address.begin() + at, IsLocalPartChar))
    return false;
  std::string domain = AuthPropertyValue(address.substr(at + 1));
  if (domain.empty() || domain.find('.') == std::string::npos) return false;
  *out = RuaDestination{};
  if (!size.empty()) {
    size_t digits = 0;
    while (digits < size.size() && size[digits] >= '0' && size[digits] <= '9') ++digits;
    std::string_view unit = size.substr(digits);
    if (digits == 0 || digits > 12 || unit.size() > 1) return false;
    auto n = static_cast<unsigned long long>(
        LeadingInteger(size.substr(0, digits), 0, static_cast<long long>(kMaxRuaSizeNumber)));
    char u = unit.empty() ? ' ' : LowerAscii(unit[0]);
    int shift = u == ' ' ? 0 : u == 'k' ? 10 : u == 'm' ? 20 : u == 'g' ? 30 : u == 't' ? 40 : -1;
    if (shift < 0 || n == 0) return false;
    out->MaxBytes = n > (kMaxRuaSizeNumber >> shift) ? 0 : n << shift;
  }
  out->Address = std::string(address.substr(0, at + 1)) + domain;
  out->Domain = domain;
  return true;
}
