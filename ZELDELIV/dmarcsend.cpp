// dmarcsend: see dmarcsend.h.
#include "ZELDELIV/dmarcsend.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "ZELDELIV/msgtext.h"
#include "ZELDELIV/ndreport.h"
#include "ZELDELIV/settings.h"
#include "common/dmarcreport.h"
#include "common/logging.h"
#include "common/pconfig.h"
#include "common/sasl.h"
#include "common/str.h"
#include "common/zel.h"
#include "messages/zelmsg.h"
#include "platform/dnsclient.h"
#include "platform/files.h"
#include "platform/fileview.h"
#include "platform/sync.h"
#include "platform/thread.h"

namespace {

constexpr const char *kRunExtension = ".run";
constexpr const char *kSentExtension = ".sent";
// The run's thread: the XML and zlib's state are on the heap.
constexpr size_t kRunThreadStack = 1024 * 1024;
// A marker names at most every report of a run; a larger one is damaged.
constexpr size_t kMaxMarkerBytes = kMaxDmarcReportsPerRun * 300;
// The header and the text part of a report message, beside the attachment,
// when its size is weighed against a destination's limit.
constexpr unsigned long long kReportMessageOverhead = 2048;
// base64 lines of the attachment (RFC 2045's limit).
constexpr size_t kBase64Line = 76;
constexpr long long kDaySeconds = 86400;

std::atomic<bool> running{false};

bool ValidRunName(std::string_view name, long long *begin, long long *end) {
  if (!EndsWithNoCase(name, kRunExtension)) return false;
  name.remove_suffix(strlen(kRunExtension));
  if (name.size() < 10 || name.size() > 21 || name[8] != '-' || !DmarcDayStart(name, begin))
    return false;
  std::string_view digits = name.substr(9);
  if (!std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; }))
    return false;
  *end = LeadingInteger(digits, 0, *begin + kDaySeconds - 1);
  return *end >= *begin;
}

// The journals the receiver has finished (today's too when forced) move
// into the run directory, named for their period.
void TakeOverJournals(long long now, bool forced) {
  std::string journals = SpoolPath(kDmarcJournalDir), runs = SpoolPath(kDmarcRunDir);
  std::vector<std::string> names;
  ListDirectory(journals, kDmarcJournalExtension, ListKind::kFiles, kMaxDmarcRunFiles, names);
  std::string today = DmarcDayName(now);
  for (const std::string &name : names) {
    long long begin = 0;
    std::string day = name.substr(0, 8);
    if (name.size() != 8 + strlen(kDmarcJournalExtension) || !DmarcDayStart(name, &begin) ||
        day > today || (day == today && !forced))
      continue;
    long long end = day == today ? now : begin + kDaySeconds - 1;
    MoveFileNoReplace(journals + "/" + name,
                      runs + "/" + day + "-" + std::to_string(end) + kRunExtension);
  }
}

// The domains a marker names as handed over ("-domain" takes one back).
std::set<std::string> ReadMarker(const std::string &path) {
  std::set<std::string> done;
  UniqueFd fd(OpenFileForReading(path));
  std::string text;
  if (!fd.Valid() || !ReadUpTo(fd.Get(), kMaxMarkerBytes, text)) return done;
  for (size_t at = 0; at < text.size();) {
    size_t nl = text.find('\n', at);
    if (nl == std::string::npos) break;  // a line cut by a crash
    std::string line = text.substr(at, nl - at);
    at = nl + 1;
    if (!line.empty() && line[0] == '-')
      done.erase(line.substr(1));
    else
      done.insert(line);
  }
  return done;
}

// RFC 7489 7.1: may reports for domain go to an address at ruaDomain?
bool ReportsAllowed(const AuthDnsLookup &lookup, const std::string &domain,
                    const std::string &ruaDomain) {
  if (OrganisationalDomainOf(ruaDomain) == OrganisationalDomainOf(domain)) return true;
  AuthDnsAnswer answer;
  if (!lookup(domain + "._report._dmarc." + ruaDomain, kDnsTypeTXT, answer) ||
      answer.Rcode != kDnsRcodeNoError)
    return false;
  return std::any_of(answer.Records.begin(), answer.Records.end(), [](const DnsRecord &r) {
    return StartsWithNoCase(TxtRecordText(r.raw), "v=DMARC1");
  });
}

std::vector<RuaDestination> Destinations(const AuthDnsLookup &lookup, const DmarcDomainReport &r,
                                         unsigned long long messageBytes) {
  std::vector<RuaDestination> out;
  for (const std::string &uri : r.Policy.Rua) {
    RuaDestination d;
    if (!ParseRuaUri(uri, &d) || (d.MaxBytes != 0 && d.MaxBytes < messageBytes) ||
        std::any_of(out.begin(), out.end(),
                    [&](const auto &o) { return o.Address == d.Address; }) ||
        !ReportsAllowed(lookup, r.Domain, d.Domain))
      continue;
    out.push_back(d);
  }
  return out;
}

void WriteReportMessage(TextFile &s, const std::vector<RuaDestination> &to,
                        const DmarcReportMeta &meta, const std::string &domain,
                        const std::string &fileName, const std::string &gzip) {
  std::string recipients, boundary = "zel-dmarc-" + meta.ReportId;
  for (const RuaDestination &d : to) recipients += (recipients.empty() ? "" : ", ") + d.Address;
  std::string subject = "Report Domain: " + domain + " Submitter: " + meta.OrgName +
                        " Report-ID: <" + meta.ReportId + ">";
  WriteCommonHeaders(s, recipients.c_str(), subject.c_str(), meta.Email.c_str(), nullptr,
                     meta.ReportId.c_str());
  s.Printf("MIME-Version: 1.0\nContent-Type: multipart/mixed; boundary=\"%s\"\n\n",
           boundary.c_str());
  s.Printf("--%s\nContent-Type: text/plain; charset=us-ascii\n\n", boundary.c_str());
  s.Printf(
      "This is the DMARC aggregate report (RFC 7489) of %s for %s,\n"
      "from %lld to %lld (seconds since 1970, UTC).\n\n",
      meta.OrgName.c_str(), domain.c_str(), meta.Begin, meta.End);
  s.Printf(
      "--%s\nContent-Type: application/gzip; name=\"%s\"\n"
      "Content-Transfer-Encoding: base64\nContent-Disposition: attachment; filename=\"%s\"\n\n",
      boundary.c_str(), fileName.c_str(), fileName.c_str());
  std::string encoded = Base64Encode(gzip);
  for (size_t at = 0; at < encoded.size(); at += kBase64Line)
    s.Printf("%s\n", encoded.substr(at, kBase64Line).c_str());
  s.Printf("--%s--\n.\n", boundary.c_str());
}

void ReportFailed(const std::string &domain, const char *why) {
  LogEvent(EVENTLOG_WARNING_TYPE, MSG_DMARC_REPORT_FAILED, domain.c_str(), why);
}

// One domain's report of one period; false when it was due but could not
// be queued (the run file stays).
bool SendReport(const AuthDnsLookup &lookup, const DmarcDomainReport &report, long long begin,
                long long end, const std::string &marker, size_t *queued) {
  std::string host = GetLocalHostName(-1);
  GeneratedMessage msg;
  if (!msg.Create(host)) {
    ReportFailed(report.Domain, "the message file cannot be made");
    return false;
  }
  DmarcReportMeta meta{host, PostmasterAddress(), msg.MessageId(), begin, end};
  std::string fileName = DmarcReportFileName(host, report.Domain, begin, end), gzip;
  if (!GzipText(DmarcReportXml(meta, report), fileName, &gzip)) {
    ReportFailed(report.Domain, "the report cannot be compressed");
    return false;
  }
  unsigned long long bytes =
      (gzip.size() + 2) / 3 * 4 * (kBase64Line + 1) / kBase64Line + kReportMessageOverhead;
  std::vector<RuaDestination> to = Destinations(lookup, report, bytes);
  if (to.empty()) return true;  // nobody asked, or may be sent it
  WriteReportMessage(msg.Stream(), to, meta, report.Domain, fileName, gzip);
  std::vector<std::string> recipients;
  for (const RuaDestination &d : to) recipients.push_back(d.Address);
  if (msg.Stream().Error() || !AppendToFile(marker, report.Domain + "\n", true)) {
    ReportFailed(report.Domain, "the report or its marker cannot be written");
    return false;
  }
  if (!msg.Queue("", recipients, kReportLockWaitMs)) {
    AppendToFile(marker, "-" + report.Domain + "\n", true);
    ReportFailed(report.Domain, "the report cannot be queued");
    return false;
  }
  ++*queued;
  return true;
}

// A run file's reports; true when it is done with (then removed).
bool ReportRunFile(const AuthDnsLookup &lookup, const std::string &name, size_t *queued) {
  long long begin = 0, end = 0;
  std::string dir = SpoolPath(kDmarcRunDir), path = dir + "/" + name;
  std::string base = name.substr(0, name.size() - strlen(kRunExtension));
  std::string marker = dir + "/" + base + kSentExtension, text;
  if (!ValidRunName(name, &begin, &end)) {
    DeleteFile(path);  // no name of ours: nothing to report
    return true;
  }
  // A link or anything but a regular file is not read (and stays, harmless).
  UniqueFd fd(OpenFileForReading(path));
  if (!fd.Valid() || !ReadUpTo(fd.Get(), kMaxDmarcJournalBytes, text)) return false;
  if (text.size() > kMaxDmarcJournalBytes) text.resize(kMaxDmarcJournalBytes);
  size_t skipped = 0;
  std::set<std::string> done = ReadMarker(marker);
  bool whole = true;
  for (const DmarcDomainReport &r :
       GroupDmarcEvaluations(ParseDmarcJournal(text, kMaxDmarcRunRecords, &skipped),
                             kMaxDmarcReportsPerRun, kMaxDmarcReportRows))
    if (done.count(r.Domain) == 0 && !SendReport(lookup, r, begin, end, marker, queued))
      whole = false;
  if (!whole) return false;
  DeleteFile(path);
  DeleteFile(marker);
  return true;
}

}  // namespace

size_t RunDmarcReports(long long now, bool forced, const AuthDnsLookup &lookup) {
  if (forced) DeleteFile(SpoolPath(kDmarcReportRequest));
  TakeOverJournals(now, forced);
  std::vector<std::string> names;
  ListDirectory(SpoolPath(kDmarcRunDir), kRunExtension, ListKind::kFiles, kMaxDmarcRunFiles, names);
  std::sort(names.begin(), names.end());
  size_t queued = 0;
  for (const std::string &name : names) ReportRunFile(lookup, name, &queued);
  return queued;
}

void DmarcReportCycle() {
  static std::string lastDay;  // the scanning thread's own
  if (!DmarcReports || running) return;
  long long now = NowSeconds();
  std::string today = DmarcDayName(now);
  bool forced = FileExists(SpoolPath(kDmarcReportRequest));
  if (!forced && today == lastDay) return;
  lastDay = today;
  running = true;
  bool started = StartThread(
      [now, forced] {
        std::vector<DnsServerAddress> servers;
        ReadNameServerList(servers);
        RunDmarcReports(now, forced, NameServerDnsLookup(servers));
        running = false;
      },
      kRunThreadStack);
  if (!started) running = false;
}
