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
// threads and processes never interleave. Thread-safe; keeps no state.
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

// Writes one event. False when the event log file could not be written (the
// line still went to standard error).
bool ReportEventText(std::string_view source, WORD type, uint32_t id, std::string_view text);
