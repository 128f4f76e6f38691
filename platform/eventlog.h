// eventlog: the system's event log.
//
// An event is one line appended to $ZEL_ROOT/var/log/zel/events.log and the
// same line written to standard error (so journald keeps it when systemd runs
// the service):
//
//   2026-12-07T08:30:00+0100 ZELRECV INFORMATION 34 0xC0000022 ZEL SMTP Receiver service starting.
//
// local time in ISO 8601, the source (service name), the type, the event
// number (low 16 bits of the identifier) and the identifier in hex, then the
// formatted text with its line breaks folded to single spaces. Each line is
// written with one write() on an O_APPEND descriptor, so lines of concurrent
// threads and processes never interleave. The descriptor is kept open from
// the first event on, so an event is recorded even when the process has run
// out of descriptors; before each line the name is checked (stat) to still
// be the kept file, so a log rotated away (renamed, or removed, and a new
// one begun) is followed to the new file, and a copy-and-truncate rotation
// needs nothing (O_APPEND writes at the end). A new file that cannot be
// opened leaves the lines going to the kept one. When standard error is the
// journal's stream (systemd names its device and inode in JOURNAL_STREAM),
// the line there starts with its syslog priority, "<3>" for an error, "<4>"
// for a warning, "<6>" for information, so that journalctl can filter by
// priority; events.log never carries the prefix. Thread-safe (one lock for
// the kept descriptor, also taken around fork()); keeps no other state but
// the journal test, made once.
//
// ParseEventLine reads a line of events.log back (zeladm log and status):
// the file is text anyone with write access could have changed, so the
// parser takes a bounded view and refuses what does not have the shape.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

typedef uint16_t WORD;

constexpr WORD EVENTLOG_ERROR_TYPE = 1;
constexpr WORD EVENTLOG_WARNING_TYPE = 2;
constexpr WORD EVENTLOG_INFORMATION_TYPE = 4;

// The event line without its trailing "\n" (exposed for tests).
std::string FormatEventLine(std::string_view source, WORD type, uint32_t id,
                            std::string_view text);

// The "<N>" syslog priority of an event type (exposed for tests).
const char *JournalPriorityPrefix(WORD type);

// True when standard error is the stream JOURNAL_STREAM names ("dev:inode").
// Decided on the first call.
bool StandardErrorIsJournal();

// Writes one event. False when the event log file could not be written (the
// line still went to standard error).
bool ReportEventText(std::string_view source, WORD type, uint32_t id, std::string_view text);
// Opens the log's file now and keeps it: for a process about to give up
// the right to open it (a mail-access session becoming the mail user).
bool OpenEventLog();

// The longest line ParseEventLine takes: a time stamp, a service name, a
// type, two numbers and a message text with two inserts.
constexpr size_t kMaxEventLine = 8192;

// A time as events.log and zeladm write it: "YYYY-MM-DD", then optionally
// "THH:MM" (or a blank for the "T"), ":SS", and a zone "+HHMM" or "-HHMM".
// Without a zone it is local time. zoned tells whether one was given.
// False for any other text, or a date that does not exist.
bool ParseTimeText(std::string_view text, long long &epoch, bool &zoned);
// "2026-12-07T08:30:00+0100"
constexpr size_t kEventTimeLength = 24;

// One line of events.log, as views into the line it was parsed from.
struct EventLine {
  std::string_view Time;    // "2026-12-07T08:30:00+0100"
  long long Epoch = 0;      // the same, in seconds since the epoch
  std::string_view Source;  // "ZELRECV"
  WORD Type = 0;            // EVENTLOG_ERROR_TYPE ...
  uint32_t Id = 0;
  std::string_view Text;
};

// Splits one line (without its "\n") into its fields; false when the line
// is longer than kMaxEventLine or is not an event line.
bool ParseEventLine(std::string_view line, EventLine &out);

// Reads events.log from offset on: up to maxBytes are appended to text and
// offset moves past them. A file now shorter than offset (it was cut or
// replaced) is read again from its start. A missing file reads as empty.
bool ReadEventLog(uint64_t &offset, size_t maxBytes, std::string &text);
// The size of events.log now (0 when there is none).
uint64_t EventLogSize();
