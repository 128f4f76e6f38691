// ndreport: failure reports, dead letters and postmaster copies.
//
// When the delivery agent gives up on a recipient, or on a whole message,
// CreateNonDeliveryMessage writes a failure report into `incoming`: from
// "postmaster@" + the local host name to the message's return path, with a
// copy to that postmaster address on request, and to it alone when the
// message has no return path. The report quotes the message's header and
// the first kReportBodyLimit bytes of its body. Reports carry no return
// path, so a failing report is reported to the postmaster only, and a
// failure there ends as a dead letter: nothing loops.
//
// DeadMessage keeps a message that cannot even be reported on in the
// spool's `dead` directory, with a companion ".TXT" file that collects one
// entry per event ("<name> is dead because:\n<reason>\n\n"). An earlier dead
// letter of the same name is never replaced. A dead letter is the last
// place a message goes to: its caller drops the message only once it was
// written.
//
// Callers: local delivery, automatic forwards, list delivery and the list
// server, the SMTP client, domain give-up (routing). Reasons may come from
// remote servers' replies: they go into the report's body only, dot-stuffed
// line by line; addresses that reach the report's header are refused when
// they hold control characters.
//
// Threads: no state; a report's recipient file is named under the lock of
// `incoming` (taken after the mail filters had the report), as the incoming
// scan and automatic replies take it. Dead letters take
// no lock; concurrent entries append to one companion file.
//
// Failures: a report or a dead letter that cannot be written returns
// false, and the caller keeps its message or recipient for the next pass.
#pragma once

#include "common/smtputil.h"

// Waits this long for the lock of `incoming`, taken only to name a report's
// recipient file (after the mail filters had it).
constexpr int kReportLockWaitMs = 30000;
// The body bytes of the failed message quoted in a report.
constexpr long kReportBodyLimit = 4096;

constexpr const char *kReportSubject = "Delivery failure";
constexpr const char *kDeadPostmasterReason = "Cannot deliver to postmaster";

// "postmaster@" + the local host name, at most 512 characters.
std::string PostmasterAddress();

// Writes a report on info: about rcp alone, or (rcp null) about every
// recipient not yet disposed. postmasterCopy adds the postmaster address as
// a recipient (always so without return path). detail may be null. True
// when the report message and its recipient file were both written.
bool CreateNonDeliveryMessage(const _tMsgInfo &info, const _tRcpInfo *rcp, bool postmasterCopy,
                              const char *reason, const char *detail);

// The same with a subject of the caller's.
bool CreateNotificationMessage(const _tMsgInfo &info, const _tRcpInfo *rcp, bool postmasterCopy,
                               const char *subject, const char *reason, const char *detail);

// Copies the message file at path into the dead directory (one of the same
// name already there stays and counts) and, when reason is given, appends
// the entry to its companion ".TXT" file. True when both are durable.
bool DeadMessage(const std::string &path, const char *reason);
// Where DeadMessage keeps a dead letter: null, here; the remote side
// (remote.h), which may not write `dead`, hands it to the privileged side.
typedef bool (*DeadLetterHandOff)(const std::string &path, const char *reason);
extern DeadLetterHandOff HandDeadLettersOff;

// The path with the text after the last "." of its last component replaced
// by ext ("." added when the name has none).
std::string ReplaceFileNameExtension(const std::string &path, const char *ext);
