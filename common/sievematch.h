// sievematch: how Sieve compares: the comparators i;octet, i;ascii-casemap
// and i;ascii-numeric (RFC 4790), the match types :is, :contains and
// :matches (RFC 5228 2.7.1, with the match variables of RFC 5229), the
// relational :value and :count (RFC 5231), and the address parts :all,
// :localpart, :domain, :user and :detail (RFC 5233).
//
// Callers: the interpreter (sieverun). Values come from messages and keys
// from scripts: both untrusted. :matches is a wildcard match without
// recursion whose worst case is the product of both lengths; every match
// takes its work from the caller's budget and stops, without a match, when
// the budget is gone (the interpreter then ends the run at its limit).
// Pure functions; thread-safe.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

enum class SieveComparator : uint8_t { Octet, Casemap, Numeric };
enum class SieveMatchType : uint8_t { Is, Contains, Matches, Count, Value };
enum class SieveRelation : uint8_t { Gt, Ge, Lt, Le, Eq, Ne };
enum class SieveAddressPart : uint8_t { All, LocalPart, Domain, User, Detail };

// Match variables kept from one :matches: ${0} (the whole value) to ${9}.
constexpr size_t kSieveMatchVariables = 10;

struct SieveMatchSpec {
  SieveComparator Comparator = SieveComparator::Casemap;   // RFC 5228's default
  SieveMatchType Type = SieveMatchType::Is;
  SieveRelation Relation = SieveRelation::Eq;               // :count and :value
};

// "i;octet" ... as named in :comparator; false for a comparator not known.
bool SieveComparatorByName(std::string_view name, SieveComparator *out);
// "gt" ... as named after :count and :value (any case).
bool SieveRelationByName(std::string_view name, SieveRelation *out);

// Does value match key? For :matches, captures (when given) receive ${0}
// and one string per wildcard, in order (each "*" as short as the match
// allows, the leftmost first). Work is taken from *budget; an exhausted
// budget gives false.
bool SieveMatchValue(const SieveMatchSpec &spec, std::string_view value, std::string_view key,
                     std::vector<std::string> *captures, uint64_t *budget);

// :count: does the number of values stand in the relation to key (read by
// the comparator, i;ascii-numeric in practice)?
bool SieveMatchCount(const SieveMatchSpec &spec, size_t count, std::string_view key);

// key with "*", "?" and "\" escaped (set :quotewildcard).
std::string SieveQuoteWildcard(std::string_view text);

// The part of an address "local@domain" (no angle brackets) the test
// compares; false when the part does not exist (no detail without the
// delimiter). The local part is what is left of the last "@".
bool SieveAddressPartOf(std::string_view address, SieveAddressPart part, std::string_view delimiter,
                        std::string *out);
