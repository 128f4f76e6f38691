// sieveconf: see sieveconf.h.
#include "common/sieveconf.h"

#include "common/loadcfig.h"
#include "common/zel.h"
#include "platform/registry.h"

namespace {

// RecipientDelimiter: a few characters at most ("+", "-", "+-").
constexpr size_t kMaxRecipientDelimiter = 8;
// The administrator's script path.
constexpr size_t kMaxBeforeScriptPath = 1024;

template <typename T>
void ReadCount(HKEY key, const char *name, T &value) {
  DWORD v = 0;
  if (QueryRegDword(key, name, v) && v != 0) value = static_cast<T>(v);
}

}  // namespace

SieveSettings LoadSieveSettings() {
  SieveSettings s;
  RegKey suite;
  if (RegOpenKeyEx(HKEY_LOCAL_MACHINE, kSuiteKey, KEY_READ, suite.out()) != ERROR_SUCCESS) return s;
  ReadCount(suite.get(), "SieveMaxScriptSize", s.Limits.MaxScriptBytes);
  ReadCount(suite.get(), "SieveMaxActions", s.Limits.MaxActions);
  ReadCount(suite.get(), "SieveMaxRedirects", s.Limits.MaxRedirects);
  ReadCount(suite.get(), "SieveMaxCpuTime", s.Limits.MaxCpuMillis);
  ReadCount(suite.get(), "SieveMaxNesting", s.Limits.MaxNesting);
  ReadCount(suite.get(), "SieveMaxScripts", s.MaxScripts);
  if (!QueryRegString(suite.get(), "SieveBeforeScript", kMaxBeforeScriptPath, s.BeforeScript))
    s.BeforeScript.clear();
  std::string delimiter;
  if (QueryRegString(suite.get(), "RecipientDelimiter", kMaxRecipientDelimiter, delimiter))
    s.RecipientDelimiter = delimiter;
  return s;
}

// One rule for the names scripts are stored under and the names include
// reaches them by.
bool SieveScriptNameIsValid(std::string_view name) { return SieveIsScriptName(name); }

std::string SieveScriptFileName(std::string_view name) {
  return std::string(name) + std::string(kSieveScriptSuffix);
}

std::string SieveActiveName(std::string_view text) {
  size_t end = text.find_first_of("\r\n");
  std::string_view name = text.substr(0, end);
  return SieveScriptNameIsValid(name) ? std::string(name) : std::string();
}
