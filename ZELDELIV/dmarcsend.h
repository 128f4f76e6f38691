// dmarcsend: the daily DMARC aggregate reports (RFC 7489 7.2). Once a UTC
// day (and when `zeladm dmarc report --now` asks), the receiver's journals
// of finished days (common/dmarcjournal) are taken over, grouped per policy
// domain (common/dmarcreport), and each domain whose record names rua=
// mailto: destinations gets its report as a generated message (so it is
// filtered, DKIM-signed and queued for remote delivery with retries).
//
// The run: each journal `dmarc/YYYYMMDD.jnl` of a day before today (with a
// request, today's too) is moved into the agent's own directory
// `dmarc-run` (root's; the receiver's account cannot reach it) as
// `YYYYMMDD-END.run`, END being the report period's last second. Then each
// run file is read, its reports are sent, and it is removed with its
// marker. The marker `YYYYMMDD-END.sent` names each domain whose report was
// handed over, written (durable) before the hand-over: a crash in between
// loses that domain's report for the day rather than sending it twice.
//
// Destinations: a rua= address whose organisational domain is not the
// policy domain's gets the report only when
// `<policy-domain>._report._dmarc.<its domain>` has a TXT record that
// begins with "v=DMARC1" (RFC 7489 7.1), asked through NameServer; one
// whose size limit ("!10m") is below the message gets nothing.
//
// Callers: the scanning thread (delivery), DmarcReportCycle at every work
// cycle; the run itself has a thread of its own (DNS and the mail filters
// may take time), one at a time.
//
// Untrusted input: the journals (the receiver's account writes them; read
// bounded and parsed strictly), rua= URIs and DNS answers.
//
// Failures: a report that cannot be made or queued is logged (event 249)
// and its run file stays for the next run; nothing here touches other mail.
#pragma once

#include <string>

#include "common/authcheck.h"

// The agent's own directory in the spool for journals being reported.
constexpr const char *kDmarcRunDir = "dmarc-run";
// Journals taken over in one run: two months of days waiting at most.
constexpr size_t kMaxDmarcRunFiles = 64;
// Records of one journal: the byte bound's worth of short records.
constexpr size_t kMaxDmarcRunRecords = 500000;

// At every work cycle: starts a run when DmarcReports is set and the UTC
// day has changed since the last look (the first cycle looks too), or a
// request is there; cheap otherwise (one stat).
void DmarcReportCycle();

// One run, now: journals taken over (today's too when forced), every run
// file reported. The count of reports queued. Tests call it directly.
size_t RunDmarcReports(long long now, bool forced, const AuthDnsLookup &lookup);
