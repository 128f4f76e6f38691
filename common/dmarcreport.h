// dmarcreport: the DMARC aggregate report (RFC 7489 7.2 and appendix C) of
// one policy domain for one period: the journal's records grouped into
// rows with counts, the XML document, its gzip form, the attachment's
// name, and the rua= destinations with their size limits.
//
// Callers: the delivery agent's report run (ZELDELIV/dmarcsend); tests.
//
// Untrusted input: every text of a record (the journal checked it, but it
// came from strangers): the XML writer escapes every text it writes
// (XmlText), whatever it holds. rua= URIs from DNS are parsed bounded.
//
// Threads: no state; any thread.
//
// Failures: GzipText returns false when zlib fails; ParseRuaUri refuses
// what is not a mailto: URI with one plain address.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "common/dmarcjournal.h"

// Rows of one report: a day's distinct sources of one domain beyond this
// are left out (the report says so in an <error> element); it keeps a
// report within a few hundred KiB before compression.
constexpr size_t kMaxDmarcReportRows = 2000;
// Reports of one run (one per policy domain): a day with more domains
// reports the ones with the most messages.
constexpr size_t kMaxDmarcReportsPerRun = 500;

// The report's own identity.
struct DmarcReportMeta {
  std::string OrgName;  // our host name
  std::string Email;    // postmaster@host
  std::string ReportId;
  long long Begin = 0, End = 0;
};

// One row: the messages that share all of these.
struct DmarcReportRow {
  DmarcEvaluation Sample;  // the row's values (time and policy of one of them)
  unsigned long long Count = 0;
};

struct DmarcDomainReport {
  std::string Domain;     // the policy domain
  DmarcPublished Policy;  // the last record seen of it that day
  std::vector<DmarcReportRow> Rows;
  unsigned long long Messages = 0;  // every message, also those of rows left out
  size_t RowsLeftOut = 0;
};

// The records grouped by policy domain and then by row, at most maxReports
// domains (those with most messages) of at most maxRows rows each; in
// order of domain name.
std::vector<DmarcDomainReport> GroupDmarcEvaluations(const std::vector<DmarcEvaluation> &records,
                                                     size_t maxReports, size_t maxRows);

// text as XML character data or attribute value: "&", "<", ">", "\"" and
// "'" escaped; control characters and bytes outside ASCII (no text of a
// record should have any) written as "?", so the document is always
// well-formed.
std::string XmlText(std::string_view text);
// The whole XML document.
std::string DmarcReportXml(const DmarcReportMeta &meta, const DmarcDomainReport &report);

// gzip (RFC 1952) of text, the member's name set to fileName.
bool GzipText(std::string_view text, std::string_view fileName, std::string *out);
// "receiver!policy-domain!begin!end.xml.gz" (RFC 7489 7.2.1.1).
std::string DmarcReportFileName(std::string_view receiver, std::string_view domain, long long begin,
                                long long end);

// A rua= destination: "mailto:" an address, optionally "!" a size with k,
// m, g or t (RFC 7489 6.2).
struct RuaDestination {
  std::string Address;              // local@domain
  std::string Domain;               // its domain, lower case
  unsigned long long MaxBytes = 0;  // 0: no limit
};
bool ParseRuaUri(std::string_view uri, RuaDestination *out);
