// logging: event reporting, the console error printer and the daily activity
// logs of the services.
//
// LogEvent formats an entry of the message table with up to two inserts and
// reports it under the service's name; LogWin32Error reports event 32 with a
// routine name and the system's text for an error number. Both may be called
// from any thread at any time and keep no state.
//
// The activity log module writes one entry per transaction into a daily file
// "YYMMDD.log" (local date; YY is years since 1900, so 2026 is "126") in a
// log directory. One lock makes each entry (day check, re-open, the writer's
// lines, flush) indivisible, so concurrent entries never interleave and never
// land in the previous day's file. A failure to open or write the file
// reports event 38 or 39 once and clears the caller's enable flag: logging
// stays off until the service restarts, mail handling goes on.
#pragma once

#include <atomic>
#include <functional>
#include <string>
#include <string_view>

#include "platform/errors.h"
#include "platform/eventlog.h"

class TextFile;

// Network text (a HELO argument, an address, a peer's reply) bound for a
// log line, an event or a generated header line: at most kMaxLoggedText
// bytes of it, with control characters and bytes above 126 shown as "\xHH",
// so that a peer can neither forge lines nor flood a log. Every such text
// goes through this one helper.
constexpr size_t kMaxLoggedText = 200;
std::string LogSafeText(std::string_view text);

// Reports a message-table event. No first string: no inserts (even if a
// second is given); only the first: one insert; both: two.
void LogEvent(WORD type, uint32_t id, const char *string1, const char *string2);

// Reports event 32: %1 = the routine's name, %2 = the system's text for the
// error, or the number in decimal when the system has no text for it.
void LogWin32Error(WORD type, const char *routine, long errorCode);

// Console printer: when the thread's last error is 0 prints nothing and
// returns 0; else prints "<name> failed with error: <code>" (or "Error: <code>"
// without a name) and the system's text, to standard output, and returns
// the code.
long DisplayErrorMessage(const char *functionName);

// The %1/%2 substitution of message texts (exposed for tests).
std::string FormatMessageText(const char *text, const char *string1, const char *string2);

bool InitLogModule();
void TermLogModule();

typedef std::function<void(TextFile &stream)> LogWriter;

// Appends one entry through writer, when *enabled is set.
void LogTransactionToFile(std::atomic<bool> &enabled, const std::string &logDirectory,
                          const LogWriter &writer);

// The log file name for the current day in directory (the Windows directory
// when directory is empty).
std::string GenerateLogFileName(const std::string &directory);

// (years since 1900) * 1000 + day of the year, local time; -1 when the
// clock cannot be read.
long DayNumber();

// The same for a given time (tests use it to cross midnight).
long DayNumberAt(long long epochSeconds);
std::string GenerateLogFileNameAt(const std::string &directory, long long epochSeconds);
void LogTransactionToFileAt(std::atomic<bool> &enabled, const std::string &logDirectory,
                            const LogWriter &writer, long long epochSeconds);
