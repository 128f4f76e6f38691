// aliasmap: see aliasmap.h.
#include "common/aliasmap.h"

#include "common/loadcfig.h"
#include "common/str.h"
#include "common/zel.h"
#include "platform/ascii.h"
#include "platform/registry.h"
#include "zelbase/zelbase.h"

std::vector<_tMapTable> LocalUserAliasMap;
int CurrentAliasConfigVersion = -1;

namespace {

bool ReadAliasEntry(HKEY aliases, int n, _tMapTable &entry) {
  RegKey sub;
  if (RegOpenKeyEx(aliases, std::to_string(n).c_str(), KEY_READ, sub.out()) != ERROR_SUCCESS)
    return false;
  // A subkey without a readable Alias ends the map.
  if (!QueryRegString(sub.get(), "Alias", kMaxAliasField, entry.Mask)) return false;
  if (!QueryRegString(sub.get(), "MappedTo", kMaxAliasField, entry.Result)) entry.Result.clear();
  return true;
}

// The alias result for a local part (as written and unquoted), or the
// local part itself when no alias matches.
std::string MapAddress(const std::string &local, const std::string &bare) {
  for (const _tMapTable &e : LocalUserAliasMap) {
    if (!WildMatch(bare.c_str(), e.Mask.c_str())) continue;
    if (!e.Result.empty() && e.Result.front() == '*')
      return BoundedCopy(local + e.Result.substr(1), kMaxAliasField);
    return e.Result;
  }
  return local;
}

}  // namespace

void FreeAliasMap() { LocalUserAliasMap.clear(); }

void LoadAliasConfig() {
  FreeAliasMap();
  RegKey aliases;
  if (RegCreateKeyEx(HKEY_LOCAL_MACHINE, kAliasesKey, KEY_ALL_ACCESS, aliases.out(), nullptr) !=
      ERROR_SUCCESS)
    return;
  for (int n = 1; n <= kMaxAliasEntries; ++n) {
    _tMapTable entry;
    if (!ReadAliasEntry(aliases.get(), n, entry)) break;
    LocalUserAliasMap.push_back(std::move(entry));
  }
  CurrentAliasConfigVersion = GetCounterValue(kAliasesSubkey, "ConfigVersion");
}

std::string MapLocalPart(const std::string &local, const std::string &bare) {
  return EqualsNoCase(bare, "postmaster") ? Postmaster : MapAddress(local, bare);
}
