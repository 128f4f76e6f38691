// dmarcjournal: the record of every message whose DMARC policy was
// evaluated, kept for the daily aggregate reports (RFC 7489 7.2): one line
// per message appended to a journal file per UTC day in the spool's `dmarc`
// directory, and the reader of those lines.
//
// Callers: the receiver (ZELRECV/msgaccept) appends on its check threads,
// once per message, when DmarcReports is set; the delivery agent's report
// run (ZELDELIV/dmarcsend) reads the journals of finished days.
//
// Untrusted input: every text of a record came from the network (domains,
// selectors and rua= URIs from DNS and the message). DmarcEvaluationOf keeps
// only what the journal can hold safely (domains as AuthPropertyValue makes
// them, URIs of printable ASCII without "," or white space); the reader
// takes the files as untrusted too (the receiver's account writes them):
// every line is bounded (kMaxDmarcJournalLine), every field checked, and a
// line that does not parse is skipped and counted.
//
// Threads: AppendDmarcRecord may be called from any thread: one write() on
// an O_APPEND descriptor per record, so lines never mix. A record is not
// made durable: losing the last records in a crash costs a report some
// counts, never mail.
//
// Failures: AppendDmarcRecord returns false with the error (the receiver
// logs the first failure and goes on); the parser returns false.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "common/authcheck.h"

// The receiver's journals, in the spool (the service account's, 0700).
constexpr const char *kDmarcJournalDir = "dmarc";
constexpr const char *kDmarcJournalExtension = ".jnl";
// zeladm's request for a report run now, in the spool (root's directory:
// the receiver's account cannot ask for runs).
constexpr const char *kDmarcReportRequest = "dmarc-report.now";
// One record: eight URIs of kMaxRuaUri, five signatures' domains and
// selectors and a few short fields fit; a longer line is no record of ours.
constexpr size_t kMaxDmarcJournalLine = 8192;
// A day's journal is read this far: about 100 000 messages; the rest of a
// larger day is left out of its report.
constexpr size_t kMaxDmarcJournalBytes = 64 * 1024 * 1024;

// What happened to the message, as the report names it.
enum class DmarcDisposition { kNone, kQuarantine, kReject };

struct DmarcDkimResult {
  std::string Domain;    // d=
  std::string Selector;  // s= ("" when unusable)
  std::string Result;    // DkimResultName's word
};

// One evaluated message.
struct DmarcEvaluation {
  long long Time = 0;      // seconds since the epoch
  std::string SourceIp;    // the client's address
  std::string HeaderFrom;  // the From field's domain
  DmarcDisposition Disposition = DmarcDisposition::kNone;
  DmarcPublished Policy;  // the record, its domain and the alignment
  std::string SpfDomain;  // "" when there was none
  bool bSpfHelo = false;  // the HELO name was checked (scope "helo")
  std::string SpfResult;  // SpfResultName's word
  std::vector<DmarcDkimResult> Dkim;
};

// The record of a checked message; false when there is nothing to record:
// no DMARC record applied, or the sender was asked to try again (the retry
// is recorded when it is taken).
bool DmarcEvaluationOf(const ArrivalChecks &checks, const ArrivalClient &client,
                       ArrivalVerdict verdict, long long now, DmarcEvaluation *out);

const char *DmarcDispositionName(DmarcDisposition disposition);

// One journal line, "\n" ended.
std::string FormatDmarcRecord(const DmarcEvaluation &evaluation);
// Reads one line (without its "\n"); false when it is not a whole record.
bool ParseDmarcRecord(std::string_view line, DmarcEvaluation *out);
// Every record of a journal's text, at most maxRecords; *skipped counts the
// lines that did not parse (a cut last line among them).
std::vector<DmarcEvaluation> ParseDmarcJournal(std::string_view text, size_t maxRecords,
                                               size_t *skipped);

// "YYYYMMDD" of the UTC day of a time, and the start of the day a name
// begins with ("YYYYMMDD...": false when it does not).
std::string DmarcDayName(long long epochSeconds);
bool DmarcDayStart(std::string_view name, long long *dayStart);
// The journal of the UTC day of now: directory + "/YYYYMMDD.jnl".
std::string DmarcJournalPath(const std::string &directory, long long now);
// Appends the record to the journal of its day in directory.
bool AppendDmarcRecord(const std::string &directory, const DmarcEvaluation &evaluation);
