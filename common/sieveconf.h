// sieveconf: where a user's Sieve scripts live and the suite's Sieve
// settings, shared by everything that reads or stores scripts (the
// delivery agent, the ManageSieve server, zeladm).
//
// Storage: the directory "sieve" inside the user's mailbox directory (no
// "+" in front: it is no IMAP folder), the user's own with mode 0700; in it
// each script as "<name>.sieve" (0600) and the file "active" naming the
// active script on its first line (absent or empty: none is active). The
// delivery agent keeps its memory there too: ".duplicate" (the identifiers
// of the duplicate test) and ".vacation" (the senders answered by
// vacation, per handle) and ".filed" (the copies of a delivery that had to
// wait for a later pass), each replaced whole at a change.
//
// Settings (suite key, read once at a program's start): SieveMaxScriptSize,
// SieveMaxActions, SieveMaxRedirects, SieveMaxCpuTime (milliseconds),
// SieveMaxNesting, SieveMaxScripts, SieveBeforeScript (a path: the
// administrator's script run before every user's) and RecipientDelimiter.
// A value that is missing or 0 keeps its default.
//
// Untrusted input: script names come from users (ManageSieve, the active
// file); SieveScriptNameIsValid decides which may become a file name.
// Thread-safe: no state.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "common/sieve.h"
#include "common/sievecheck.h"

constexpr const char *kSieveDirName = "sieve";
constexpr const char *kSieveActiveFileName = "active";
constexpr const char *kSieveDuplicateFileName = ".duplicate";
constexpr const char *kSieveVacationFileName = ".vacation";
// The copies a delivery made before it had to stop for a later pass, so
// that the pass that finishes it does not make them again.
constexpr const char *kSieveFiledFileName = ".filed";
constexpr std::string_view kSieveScriptSuffix = ".sieve";
// A script name: the language's own bound (include names the same files).
constexpr size_t kMaxSieveScriptName = kSieveMaxScriptName;
// Scripts a user keeps by default (SieveMaxScripts).
constexpr unsigned kDefaultSieveMaxScripts = 20;

struct SieveSettings {
  SieveLimits Limits;
  unsigned MaxScripts = kDefaultSieveMaxScripts;
  std::string BeforeScript;               // "" : none
  std::string RecipientDelimiter = "+";   // "" : no subaddresses
};

// Reads the suite's values over the defaults.
SieveSettings LoadSieveSettings();

// A name a script may have: 1 to kMaxSieveScriptName bytes of UTF-8
// without control characters, "/" or a leading ".".
bool SieveScriptNameIsValid(std::string_view name);
// "<name>.sieve".
std::string SieveScriptFileName(std::string_view name);
// The active file's text reduced to the name it holds ("" for none or for
// a name that is not valid).
std::string SieveActiveName(std::string_view activeFileText);
