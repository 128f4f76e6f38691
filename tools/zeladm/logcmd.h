// logcmd: `zeladm log`, the event log for people.
//
//   zeladm log [--follow] [--service NAME] [--since TIME]
//
// Prints the lines of events.log, optionally only those of one service
// (its service name or program name, case ignored) and those at or after
// TIME: "YYYY-MM-DD", "YYYY-MM-DDTHH:MM[:SS]" (local time, or with a zone
// "+HHMM" as events.log writes it), or a span back from now, "30s", "10m",
// "2h", "7d". With --follow it then waits for new
// lines and prints them as they come, until interrupted; a log that is cut
// or replaced is read again from its start. Lines that are not event lines
// are printed only when no filter is given. Reads only. Single-threaded
// (zeladm's main).
#pragma once

#include <string_view>

// argv[0] is "log".
int RunLogCommand(int argc, char **argv);

// TIME as above, relative to now (seconds since the epoch); false when it
// is none of those forms (exposed for tests).
bool ParseSinceTime(std::string_view text, long long now, long long &since);
