// smtpfilter: the receiver's side of the mail filters (common/milter): one
// filter session per SMTP connection, port 25 and submission alike, fed by
// the dialogue at connect, HELO/EHLO, MAIL, RCPT, DATA, RSET and at the end
// of the message, with each filter's answer turned into the SMTP reply.
//
// Callers: smtpdlg at the greeting (FilterGreeting), after each command's
// answer is known (FilterCommand) and when a stage completes
// (FilterAnswered); msgaccept once the message file is whole and on disk,
// before it is named and queued (FilterMessage). Each of the first three
// returns true when it took over: a stage runs on the filter pool, and the
// reply is sent when its completion arrives, so no network worker waits for
// a filter. The greeting and commands are filtered only after the dialogue
// itself accepted them (a 2xx or 3xx reply); a filter's refusal then
// replaces the reply and undoes what the command did.
//
// The end of the message runs on the pool thread whole: the stored text is
// sent from the message file a piece at a time (never whole in memory),
// and the filters' changes are applied there: the text is rewritten, a
// piece at a time, into a new nameless file that takes the old one's
// place, the envelope is changed in the record, or the message goes to the
// quarantine directory (its message file, its recipient file and a
// ".TXT" file with the filter's text) instead of the queue. Only then
// does msgaccept name the file and write the recipient file, so "250"
// still means the final text is durable. Discard answers 250 and drops the
// message; a reject or tempfail answers with the filter's reply.
//
// Every result that is not a plain "continue", and every failure, is
// reported as event 211 (filter texts through LogSafeText).
//
// Threads: a connection has one operation outstanding; while its stage is
// on the pool, the pool's thread alone touches the record.
#pragma once

#include <memory>
#include <string>

#include "common/milter.h"
#include "net/netengine.h"

// The connection's filter state (a member of the dialogue record).
struct _SmtpFilter {
  std::unique_ptr<MilterSession> Session;   // null: no filters configured
  MilterJob Job;
  OVERLAPPED Overlapped;
  int Stage = 0;             // what the job runs (smtpfilter.cpp)
  int NextState = 0;         // the dialogue state behind the filtered reply
  std::string Failure;       // the end of message went wrong: the reply
  bool bQuarantined = false;
  bool bAllDeleted = false;  // the filters deleted every recipient
};

// Loads the ZELRECV filter settings and starts the pool when filters are
// configured; false (reported) when the pool cannot start.
bool StartSmtpFilters();
void StopSmtpFilters();
// The quarantine directory below the spool (the receiver creates it).
constexpr const char *kQuarantineDir = "quarantine";

// The hooks (see above).
bool FilterGreeting(_Connection *conn);
bool FilterCommand(_Connection *conn);
bool FilterMessage(_Connection *conn);
bool IsFilterCompletion(_Connection *conn, OVERLAPPED *ov);
void FilterAnswered(_Connection *conn);
