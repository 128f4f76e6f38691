// sieveparse: the grammar of Sieve scripts (RFC 5228 section 8): the
// lexer (identifiers, tags, numbers with K/M/G, quoted and "text:"
// multi-line strings, comments) and the parser into a tree of commands,
// their arguments, tests and blocks. What the commands mean is sievecheck's.
//
// Callers: sievecheck (SieveCompile). The text is untrusted: it must be
// UTF-8, at most maxBytes long, and nest at most maxNesting blocks and
// tests deep; anything else is an error with its line. One pass, no
// backtracking: the cost is the length of the text. Pure; thread-safe.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "common/sieve.h"
#include "common/sievematch.h"

// Numbers beyond this are refused: every count and size the language has
// fits, and arithmetic on them cannot overflow.
constexpr uint64_t kSieveMaxNumber = (uint64_t{1} << 53);
// Strings in one string list: more than any real script writes.
constexpr size_t kSieveMaxListItems = 1024;

enum class SieveArgKind : uint8_t { Tag, Number, String, StringList };

struct SieveArg {
  SieveArgKind Kind = SieveArgKind::String;
  std::string Tag;                    // Tag: lower case, with the colon (":is")
  uint64_t Number = 0;                // Number: K, M and G applied
  std::vector<std::string> Strings;   // String: exactly one; StringList: one or more
  uint32_t Line = 0;
};

// A command or a test. The check (sievecheck) fills the fields below the
// line for the interpreter.
struct SieveNode {
  std::string Name;                   // lower case
  std::vector<SieveArg> Args;
  std::vector<SieveNode> Tests;       // a command's test, a test's test list
  std::vector<SieveNode> Block;       // the commands of { }
  bool bBlock = false;
  bool bTestList = false;             // the tests came in ( ) (anyof, allof)
  uint32_t Line = 0;

  // -- filled by the check --
  uint16_t Id = 0;                    // sievecheck's command or test id
  std::vector<uint16_t> Positional;   // indexes into Args of the positional arguments
  SieveMatchSpec Match;               // :comparator, the match type, the relation
  SieveAddressPart Part = SieveAddressPart::All;
  bool bRelationVaries = false;       // the relation holds a variable: read it at run time
  uint32_t IncludeUnit = UINT32_MAX;  // include: the unit it runs (SieveProgram); none when unresolved
};

// Parses a whole script into its commands; false and *error (line and text)
// when it is not well formed.
bool SieveParse(std::string_view text, size_t maxBytes, uint32_t maxNesting,
                std::vector<SieveNode> *commands, SieveError *error);
