// sievecheck: what Sieve's commands and tests mean before they run: the
// table of every command and test (its extension, tagged arguments and
// their conflicts, positional arguments), the check of a parsed script
// against it and against the extensions it requires, and the compile of a
// script with the scripts it includes into one program (SieveCompile).
//
// Callers: SieveCompile (the entry, sieve.h); the interpreter reads the
// program. Scripts are untrusted; every refusal is a SieveError with the
// line. Includes are followed at most kSieveMaxIncludeDepth deep and
// kSieveMaxIncludedScripts in all; a script that includes itself, directly
// or not, is refused. The program is immutable once made. Pure apart from
// the caller's loader; thread-safe.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "common/sieve.h"
#include "common/sieveparse.h"

// Scripts included inside one another: deeper nesting is a loop in all
// but name.
constexpr uint32_t kSieveMaxIncludeDepth = 8;
// Scripts one program may include in all, so a delivery reads few files.
constexpr uint32_t kSieveMaxIncludedScripts = 32;
// An included script's name: a file name in the user's script directory.
constexpr size_t kSieveMaxScriptName = 128;

// The extensions, as bits of SieveUnit::Extensions.
enum SieveExtension : uint32_t {
  kExtFileinto = 1u << 0,
  kExtCopy = 1u << 1,
  kExtMailbox = 1u << 2,
  kExtReject = 1u << 3,
  kExtEreject = 1u << 4,
  kExtEnvelope = 1u << 5,
  kExtVariables = 1u << 6,
  kExtVacation = 1u << 7,
  kExtVacationSeconds = 1u << 8,
  kExtRelational = 1u << 9,
  kExtSubaddress = 1u << 10,
  kExtImap4flags = 1u << 11,
  kExtBody = 1u << 12,
  kExtDate = 1u << 13,
  kExtIndex = 1u << 14,
  kExtEditheader = 1u << 15,
  kExtDuplicate = 1u << 16,
  kExtInclude = 1u << 17,
  kExtMailboxid = 1u << 18,
  kExtNumeric = 1u << 19,   // comparator-i;ascii-numeric
};

// Command and test ids (SieveNode::Id).
enum SieveId : uint16_t {
  kCmdRequire = 1, kCmdIf, kCmdElsif, kCmdElse, kCmdStop, kCmdKeep, kCmdDiscard, kCmdRedirect,
  kCmdFileinto, kCmdReject, kCmdEreject, kCmdSet, kCmdVacation, kCmdSetflag, kCmdAddflag,
  kCmdRemoveflag, kCmdAddheader, kCmdDeleteheader, kCmdInclude, kCmdReturn, kCmdGlobal,
  kTestAddress, kTestAllof, kTestAnyof, kTestEnvelope, kTestExists, kTestFalse, kTestTrue,
  kTestHeader, kTestNot, kTestSize, kTestString, kTestHasflag, kTestBody, kTestDate,
  kTestCurrentdate, kTestDuplicate, kTestMailboxexists, kTestMailboxidexists,
};

// One script of a program: the main one is unit 0.
struct SieveUnit {
  std::string Name;                 // "" for the main script
  SieveLocation Where = SieveLocation::Personal;
  uint32_t Extensions = 0;          // what it requires
  std::vector<SieveNode> Commands;
};

struct SieveProgram {
  std::vector<SieveUnit> Units;
};

// The argument after tag (":days" 3) of a checked node; nullptr without it.
const SieveArg *SieveTagArg(const SieveNode &node, std::string_view tag);
bool SieveHasTag(const SieveNode &node, std::string_view tag);
// The i-th positional argument of a checked node.
inline const SieveArg &SievePos(const SieveNode &node, size_t i) { return node.Args[node.Positional[i]]; }

// Does text hold a variable reference "${...}" (it then varies at run time)?
bool SieveHasVariable(std::string_view text);
// Is name a variable name a script may set (identifier, dots between parts)?
bool SieveIsVariableName(std::string_view name);
// Is name a script name include may load?
bool SieveIsScriptName(std::string_view name);
