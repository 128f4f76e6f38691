// sievedate: dates for Sieve's date and currentdate tests (RFC 5260): the
// date-time of a header field (RFC 5322, with the obsolete forms mail
// still carries: two-digit years, zone names, no seconds), a moment moved
// to another zone, and the date parts a script compares ("year", "date",
// "iso8601", "weekday" ...).
//
// Callers: the interpreter (sieverun). Field values are untrusted; parsing
// is one bounded pass and refuses what is not a date (an impossible day,
// an hour past 23, a zone beyond +-99:59). The calendar is the proleptic
// Gregorian one by arithmetic, without the C library's time zone state.
// Pure; thread-safe.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

struct SieveDateTime {
  int64_t Epoch = 0;      // seconds since 1970-01-01T00:00:00Z
  int ZoneMinutes = 0;    // the offset the fields below are in
};

// The date-time of an RFC 5322 date field value; false when it holds none.
bool SieveParseDate(std::string_view value, SieveDateTime *out);

// A zone as :zone gives it ("+0100", "-0830"); false when it is not one.
bool SieveParseZone(std::string_view text, int *minutes);

// The date part named (lower case) of when, in its own zone; false for a
// part not known.
bool SieveDatePart(const SieveDateTime &when, std::string_view part, std::string *out);

// Is part a date part name (a script's constant is checked at compile)?
bool SieveIsDatePart(std::string_view part);
