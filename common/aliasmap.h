// aliasmap: the alias map of the local domains, and the local name a local
// part delivers to: "postmaster" goes to the Postmaster account, any other
// local part through the first alias whose mask matches it (WildMatch on
// the unquoted local part; a result with "*" in front stands for the local
// part as received, followed by the rest of the result), or stays itself.
// An alias is applied once: a result naming another alias is not looked up
// again. A result with a domain ("x@remote.example") delivers elsewhere.
//
// Callers: the delivery agent's local delivery (recipient resolution) and
// the receiver (whose submission sessions may only send as addresses that
// deliver to the user who logged on). Both load the map at start from the
// registry key Software\TALVO\ZEL\Aliases, numbered subkeys 1, 2, 3 ... each
// with "Alias" (the mask) and "MappedTo" (the result).
//
// Untrusted input: the local parts (from SMTP clients); masks and results
// are the administrator's, each read bounded to kMaxAliasField.
//
// Threads: the map is written only by LoadAliasConfig during start and read
// without a lock afterwards.
#pragma once

#include <string>
#include <vector>

// The alias map's registry key, and the bound of its walk (subkeys are
// numbered from 1; a map longer than this is a mistake, not a list).
constexpr const char *kAliasesKey = "Software\\TALVO\\ZEL\\Aliases";
constexpr const char *kAliasesSubkey = "Aliases";
constexpr int kMaxAliasEntries = 100000;
// Mask and Result are 129-byte fields.
constexpr size_t kMaxAliasField = 128;

// One alias: a WildMatch pattern for the unquoted local part, and its
// replacement ("*" in front stands for the local part as received).
struct _tMapTable {
  std::string Mask;
  std::string Result;
};

extern std::vector<_tMapTable> LocalUserAliasMap;
extern int CurrentAliasConfigVersion;

// Frees the map and reads it again from the registry; at service start,
// after the global configuration. Entries 1, 2, 3 ... until the first
// missing subkey or the first subkey without a readable "Alias".
void LoadAliasConfig();
void FreeAliasMap();

// The name a local part (local: as written; bare: unquoted) delivers to:
// Postmaster for "postmaster" (any case), the alias result, or local.
std::string MapLocalPart(const std::string &local, const std::string &bare);
