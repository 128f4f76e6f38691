// regcmd: see regcmd.h.
#include "tools/zeladm/regcmd.h"


#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/ascii.h"
#include "platform/registry.h"
#include "tools/zeladm/admcmd.h"
#include "tools/zeladm/regfile.h"

namespace {

// A value that keeps growing between our size query and our read is being
// rewritten in a loop; give up after this many tries.
constexpr int kReadAttempts = 4;
// Room for any value as RegQueryValueEx hands it out (up to two added NULs).
constexpr size_t kValueBufferSize = kMaxRegValueSize + 2;
// Reading an import file: one chunk at a time.
constexpr size_t kReadChunk = 64 * 1024;

// The values the platform answers for its Tcpip key when none is stored.
const char *const kPlatformValues[] = {"Hostname", "Domain", "NameServer"};

std::string ValueLabel(std::string_view name) {
  return name.empty() ? std::string("the default value") : "value \"" + AdmPrintable(name) + "\"";
}

std::string HexString(std::string_view data) {
  std::string out;
  char buf[4];
  for (unsigned char c : data) out.append(buf, std::snprintf(buf, sizeof buf, "%02x", c));
  return out;
}

// The strings of a multi-string, up to its ending empty string.
std::vector<std::string_view> MultiStrings(std::string_view data) {
  std::vector<std::string_view> out;
  while (!data.empty()) {
    size_t nul = data.find('\0');
    std::string_view s = data.substr(0, nul);
    if (s.empty()) break;
    out.push_back(s);
    data.remove_prefix(nul == std::string_view::npos ? data.size() : nul + 1);
  }
  return out;
}

DWORD DwordOf(std::string_view data) {
  DWORD v = 0;
  for (int i = 3; i >= 0; --i) v = (v << 8) | static_cast<unsigned char>(data[i]);
  return v;
}

struct TypeName {
  const char *name;   // on the command line
  const char *shown;  // in listings
  DWORD type;
};

const TypeName kTypes[] = {
    {"sz", "REG_SZ", REG_SZ},
    {"expand_sz", "REG_EXPAND_SZ", REG_EXPAND_SZ},
    {"multi_sz", "REG_MULTI_SZ", REG_MULTI_SZ},
    {"dword", "REG_DWORD", REG_DWORD},
    {"binary", "REG_BINARY", REG_BINARY},
    {"none", "REG_NONE", REG_NONE},
};

std::string ShownType(DWORD type) {
  for (const TypeName &t : kTypes)
    if (t.type == type) return t.shown;
  return "REG_TYPE_" + std::to_string(type);
}

// "sz", "REG_SZ", "Reg_Sz"... for the types that set accepts.
bool LookupType(const char *arg, DWORD &type) {
  if (StartsWithNoCase(arg, "reg_")) arg += 4;
  for (const TypeName &t : kTypes)
    if (EqualsNoCase(arg, t.name) && t.type != REG_NONE) return type = t.type, true;
  return false;
}

std::string ListingData(DWORD type, std::string_view data) {
  if (type == REG_SZ || type == REG_EXPAND_SZ) return AdmPrintable(data.substr(0, data.find('\0')));
  if (type == REG_DWORD && data.size() == 4) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "0x%x (%u)", DwordOf(data), DwordOf(data));
    return buf;
  }
  if (type != REG_MULTI_SZ) return HexString(data);
  std::string out;
  for (std::string_view s : MultiStrings(data)) out += (out.empty() ? "" : "\\0") + AdmPrintable(s);
  return out;
}

// `reg get KEY NAME` prints only the data, in a form scripts can use.
void PrintData(DWORD type, std::string_view data) {
  if (type == REG_SZ || type == REG_EXPAND_SZ) {
    std::printf("%s\n", std::string(data.substr(0, data.find('\0'))).c_str());
  } else if (type == REG_MULTI_SZ) {
    for (std::string_view s : MultiStrings(data)) std::printf("%s\n", std::string(s).c_str());
  } else if (type == REG_DWORD && data.size() == 4) {
    std::printf("%u\n", DwordOf(data));
  } else {
    std::printf("%s\n", HexString(data).c_str());
  }
}

bool ParseKeyArg(const char *arg, std::string &path) {
  std::string error;
  if (ParseRegRootPath(arg, path, error)) return true;
  std::fprintf(stderr, "zeladm: %s\n", error.c_str());
  return false;
}

long ReadValue(HKEY key, const char *name, DWORD &type, std::string &data) {
  for (int attempt = 0; attempt < kReadAttempts; ++attempt) {
    DWORD size = 0;
    long rc = RegQueryValueEx(key, name, &type, nullptr, &size);
    if (rc != ERROR_SUCCESS) return rc;
    data.resize(size);
    rc = RegQueryValueEx(key, name, &type, data.data(), &size);
    if (rc == ERROR_MORE_DATA) continue;
    if (rc == ERROR_SUCCESS) data.resize(size);
    return rc;
  }
  return ERROR_MORE_DATA;
}

// Opens KEY for a command; prints why not.
bool OpenKey(const std::string &path, RegKey &key) {
  long rc = RegOpenKeyEx(HKEY_LOCAL_MACHINE, path.c_str(), KEY_READ, key.out());
  if (rc == ERROR_SUCCESS) return true;
  if (rc == ERROR_FILE_NOT_FOUND)
    std::fprintf(stderr, "zeladm: key not found: %s\n", AdmPrintable(FullRegPath(path)).c_str());
  else
    std::fprintf(stderr, "zeladm: cannot open %s: %s\n", AdmPrintable(FullRegPath(path)).c_str(),
                 AdmErrorText(rc).c_str());
  return false;
}

// Walks the values of a key; each gets (name, type, data).
template <typename Use>
long ForEachValue(HKEY key, Use use) {
  std::string name(kMaxRegValueNameLength + 1, '\0');
  std::string data(kValueBufferSize, '\0');
  for (DWORD i = 0;; ++i) {
    DWORD cch = static_cast<DWORD>(name.size());
    DWORD cb = static_cast<DWORD>(data.size());
    DWORD type = REG_NONE;
    long rc = RegEnumValue(key, i, name.data(), &cch, &type, data.data(), &cb);
    if (rc == ERROR_NO_MORE_ITEMS) return ERROR_SUCCESS;
    if (rc != ERROR_SUCCESS) return rc;
    use(std::string_view(name.data(), cch), type, std::string_view(data.data(), cb));
  }
}

long SubkeyNames(HKEY key, std::vector<std::string> &names) {
  char name[kMaxRegKeyNameLength + 1];
  for (DWORD i = 0;; ++i) {
    DWORD cch = sizeof name;
    long rc = RegEnumKeyEx(key, i, name, &cch);
    if (rc == ERROR_NO_MORE_ITEMS) return ERROR_SUCCESS;
    if (rc != ERROR_SUCCESS) return rc;
    names.emplace_back(name, cch);
  }
}

// ---- get

int ListKey(HKEY key, const std::string &path) {
  std::printf("%s\n", AdmPrintable(FullRegPath(RegKeyPath(key))).c_str());
  std::vector<std::string> seen;
  long rc = ForEachValue(key, [&](std::string_view name, DWORD type, std::string_view data) {
    seen.emplace_back(name);
    std::printf("    %s    %s    %s\n", name.empty() ? "(Default)" : AdmPrintable(name).c_str(),
                ShownType(type).c_str(), ListingData(type, data).c_str());
  });
  bool platform = EqualsNoCase(RegKeyPath(key), kTcpipParametersKey);
  for (const char *v : kPlatformValues) {
    bool stored = false;
    for (const std::string &s : seen) stored = stored || EqualsNoCase(s, v);
    DWORD type;
    std::string data;
    if (platform && !stored && ReadValue(key, v, type, data) == ERROR_SUCCESS)
      std::printf("    %s    %s    %s    (from the system)\n", v, ShownType(type).c_str(),
                  ListingData(type, data).c_str());
  }
  std::vector<std::string> subkeys;
  if (rc == ERROR_SUCCESS) rc = SubkeyNames(key, subkeys);
  if (!subkeys.empty()) std::printf("\n");
  for (const std::string &s : subkeys)
    std::printf("%s\n", AdmPrintable(FullRegPath(RegKeyPath(key)) + "\\" + s).c_str());
  if (rc == ERROR_SUCCESS) return kAdmExitOk;
  std::fprintf(stderr, "zeladm: cannot list %s: %s\n", AdmPrintable(FullRegPath(path)).c_str(),
               AdmErrorText(rc).c_str());
  return kAdmExitFailure;
}

int RunGet(int argc, char **argv) {
  std::string path;
  if (!ParseKeyArg(argv[1], path)) return kAdmExitUsage;
  RegTransaction snapshot(RegTransaction::kRead);
  RegKey key;
  if (!OpenKey(path, key)) return kAdmExitFailure;
  if (argc < 3) return ListKey(key.get(), path);
  DWORD type;
  std::string data;
  long rc = ReadValue(key.get(), argv[2], type, data);
  if (rc == ERROR_SUCCESS) {
    PrintData(type, data);
    return kAdmExitOk;
  }
  if (rc == ERROR_FILE_NOT_FOUND)
    std::fprintf(stderr, "zeladm: %s not found in %s\n", ValueLabel(argv[2]).c_str(),
                 AdmPrintable(FullRegPath(path)).c_str());
  else
    std::fprintf(stderr, "zeladm: cannot read %s: %s\n", ValueLabel(argv[2]).c_str(),
                 AdmErrorText(rc).c_str());
  return kAdmExitFailure;
}

// ---- set

// Decimal (negative numbers as their 32-bit two's complement, for signed
// settings) or 0x followed by hex digits.
bool ParseDwordArg(const char *arg, DWORD &value) {
  bool hex = StartsWithNoCase(arg, "0x");
  bool negative = !hex && arg[0] == '-';
  const char *digits = hex ? arg + 2 : negative ? arg + 1 : arg;
  if (*digits == '\0' ||
      strspn(digits, hex ? "0123456789abcdefABCDEF" : "0123456789") != strlen(digits))
    return false;
  errno = 0;
  unsigned long long v = std::strtoull(digits, nullptr, hex ? 16 : 10);
  if (errno != 0 || v > (negative ? 0x80000000ULL : 0xFFFFFFFFULL)) return false;
  value = static_cast<DWORD>(negative ? (0x100000000ULL - v) & 0xFFFFFFFFULL : v);
  return true;
}

// Hex digits in pairs; ",", ":" and blanks between bytes are ignored.
bool ParseBinaryArgs(int n, char **args, std::string &data) {
  std::string digits;
  for (int i = 0; i < n; ++i)
    for (const char *p = args[i]; *p != '\0'; ++p)
      if (*p != ',' && *p != ':' && *p != ' ' && *p != '\t') digits.push_back(*p);
  if (digits.size() % 2 != 0 || strspn(digits.c_str(), "0123456789abcdefABCDEF") != digits.size())
    return false;
  for (size_t i = 0; i < digits.size(); i += 2)
    data.push_back(static_cast<char>(std::strtoul(digits.substr(i, 2).c_str(), nullptr, 16)));
  return true;
}

// Builds the stored bytes of a value from DATA arguments; prints why not.
bool BuildData(DWORD type, const char *typeArg, int n, char **args, std::string &data) {
  if ((type == REG_SZ || type == REG_EXPAND_SZ || type == REG_DWORD) && n != 1) {
    std::fprintf(stderr, "zeladm: type %s takes exactly one DATA argument\n", typeArg);
    return false;
  }
  if (type == REG_SZ || type == REG_EXPAND_SZ) {
    data.assign(args[0]).push_back('\0');
  } else if (type == REG_DWORD) {
    DWORD v;
    if (!ParseDwordArg(args[0], v)) {
      std::fprintf(stderr, "zeladm: bad dword \"%s\": give a decimal number or 0x and hex digits\n",
                   AdmPrintable(args[0]).c_str());
      return false;
    }
    for (int i = 0; i < 4; ++i) data.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
  } else if (type == REG_MULTI_SZ) {
    for (int i = 0; i < n; ++i) {
      if (args[i][0] == '\0') {
        std::fprintf(stderr,
                     "zeladm: a multi_sz cannot hold an empty string (it would end the list)\n");
        return false;
      }
      data.append(args[i]).push_back('\0');
    }
    data.push_back('\0');
  } else if (!ParseBinaryArgs(n, args, data)) {
    std::fprintf(stderr, "zeladm: bad hex data: give pairs of hex digits, like 0a1b2c\n");
    return false;
  }
  if (data.size() <= kMaxRegValueSize) return true;
  std::fprintf(stderr, "zeladm: value larger than %zu bytes\n", kMaxRegValueSize);
  return false;
}

int RunSet(int argc, char **argv) {
  std::string path, data;
  DWORD type = REG_NONE;
  if (!ParseKeyArg(argv[1], path)) return kAdmExitUsage;
  if (path.empty()) {
    std::fprintf(stderr, "zeladm: values cannot be set on HKEY_LOCAL_MACHINE itself\n");
    return kAdmExitUsage;
  }
  if (!LookupType(argv[3], type)) {
    std::fprintf(stderr,
                 "zeladm: unknown type \"%s\" (use sz, expand_sz, multi_sz, dword or binary)\n",
                 AdmPrintable(argv[3]).c_str());
    return kAdmExitUsage;
  }
  if (!BuildData(type, argv[3], argc - 4, argv + 4, data)) return kAdmExitUsage;
  RegKey key;
  long rc = RegCreateKeyEx(HKEY_LOCAL_MACHINE, path.c_str(), KEY_ALL_ACCESS, key.out(), nullptr);
  if (rc == ERROR_SUCCESS)
    rc = RegSetValueEx(key.get(), argv[2], type, data.data(), static_cast<DWORD>(data.size()));
  if (rc == ERROR_SUCCESS) return kAdmExitOk;
  std::fprintf(stderr, "zeladm: cannot set %s in %s: %s\n", ValueLabel(argv[2]).c_str(),
               AdmPrintable(FullRegPath(path)).c_str(), AdmErrorText(rc).c_str());
  return kAdmExitFailure;
}

// ---- del

bool IsPlatformKeyOrParent(const std::string &path) {
  std::string_view key = kTcpipParametersKey;
  size_t n = path.size();
  return StartsWithNoCase(key, path) && (key.size() == n || key[n] == '\\');
}

int DeleteKeyCommand(const std::string &path) {
  long rc = RegDeleteKey(HKEY_LOCAL_MACHINE, path.c_str());
  std::string shown = AdmPrintable(FullRegPath(path));
  if (rc == ERROR_SUCCESS) return kAdmExitOk;
  if (rc == ERROR_FILE_NOT_FOUND)
    std::fprintf(stderr, "zeladm: key not found: %s\n", shown.c_str());
  else if (rc == ERROR_DIR_NOT_EMPTY)
    std::fprintf(stderr, "zeladm: cannot delete %s: it has subkeys; delete them first\n",
                 shown.c_str());
  else if (rc == ERROR_ACCESS_DENIED && IsPlatformKeyOrParent(path))
    std::fprintf(stderr, "zeladm: cannot delete %s: the TCP/IP settings key always exists\n",
                 shown.c_str());
  else
    std::fprintf(stderr, "zeladm: cannot delete %s: %s\n", shown.c_str(), AdmErrorText(rc).c_str());
  return kAdmExitFailure;
}

int RunDel(int argc, char **argv) {
  std::string path;
  if (!ParseKeyArg(argv[1], path)) return kAdmExitUsage;
  if (argc < 3) {
    if (!path.empty()) return DeleteKeyCommand(path);
    std::fprintf(stderr, "zeladm: HKEY_LOCAL_MACHINE itself cannot be deleted\n");
    return kAdmExitUsage;
  }
  RegKey key;
  if (!OpenKey(path, key)) return kAdmExitFailure;
  long rc = RegDeleteValue(key.get(), argv[2]);
  if (rc == ERROR_SUCCESS) return kAdmExitOk;
  if (rc == ERROR_FILE_NOT_FOUND)
    std::fprintf(stderr, "zeladm: %s not found in %s\n", ValueLabel(argv[2]).c_str(),
                 AdmPrintable(FullRegPath(path)).c_str());
  else
    std::fprintf(stderr, "zeladm: cannot delete %s: %s\n", ValueLabel(argv[2]).c_str(),
                 AdmErrorText(rc).c_str());
  return kAdmExitFailure;
}

// ---- import

// Reads a whole file ("-": standard input), one byte past the parser's
// limit at most, so that the parser sees an oversized file as such.
bool ReadInput(const char *file, std::string &text, std::string &error) {
  bool stdinput = std::strcmp(file, "-") == 0;
  std::FILE *f = stdinput ? stdin : std::fopen(file, "rb");
  if (f == nullptr) {
    error = AdmErrorText(errno);
    return false;
  }
  char chunk[kReadChunk];
  while (text.size() <= kMaxRegFileSize) {
    size_t want = std::min(sizeof chunk, kMaxRegFileSize + 1 - text.size());
    size_t got = std::fread(chunk, 1, want, f);
    text.append(chunk, got);
    if (got < want) break;
  }
  bool failed = std::ferror(f) != 0;
  if (!stdinput) std::fclose(f);
  if (failed) error = "read error";
  return !failed;
}

// Applies parsed operations; keeps the last key it opened for the values
// that follow it.
class Importer {
 public:
  explicit Importer(const RegFile &file) : file_(file) {}
  long Apply(const RegFileOp &op);

 private:
  long Key(size_t index, bool create, HKEY &key);

  const RegFile &file_;
  RegKey key_;
  size_t keyIndex_ = static_cast<size_t>(-1);
};

long Importer::Key(size_t index, bool create, HKEY &key) {
  if (key_ && keyIndex_ == index) return key = key_.get(), ERROR_SUCCESS;
  keyIndex_ = static_cast<size_t>(-1);
  const char *path = file_.keys[index].c_str();
  long rc = create ? RegCreateKeyEx(HKEY_LOCAL_MACHINE, path, KEY_ALL_ACCESS, key_.out(), nullptr)
                   : RegOpenKeyEx(HKEY_LOCAL_MACHINE, path, KEY_ALL_ACCESS, key_.out());
  if (rc == ERROR_SUCCESS) keyIndex_ = index, key = key_.get();
  return rc;
}

long Importer::Apply(const RegFileOp &op) {
  HKEY key = nullptr;
  const std::string &path = file_.keys[op.key];
  switch (op.kind) {
    case RegFileOpKind::kCreateKey:
      return Key(op.key, true, key);
    case RegFileOpKind::kDeleteKey: {
      key_.Close();  // the open key may be among those deleted
      long rc = RegDeleteTree(HKEY_LOCAL_MACHINE, path.c_str());
      return rc == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : rc;
    }
    case RegFileOpKind::kSetValue: {
      long rc = Key(op.key, true, key);
      if (rc != ERROR_SUCCESS) return rc;
      return RegSetValueEx(key, op.name.c_str(), op.type, op.data.data(),
                           static_cast<DWORD>(op.data.size()));
    }
    case RegFileOpKind::kDeleteValue: {
      // Deleting what is not there is what the file asked for.
      long rc = Key(op.key, false, key);
      if (rc == ERROR_SUCCESS) rc = RegDeleteValue(key, op.name.c_str());
      return rc == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : rc;
    }
  }
  return ERROR_INVALID_PARAMETER;
}

std::string OpText(const RegFile &file, const RegFileOp &op) {
  std::string key = AdmPrintable(FullRegPath(file.keys[op.key]));
  switch (op.kind) {
    case RegFileOpKind::kCreateKey:
      return "cannot create " + key;
    case RegFileOpKind::kDeleteKey:
      return "cannot delete " + key;
    case RegFileOpKind::kSetValue:
      return "cannot set " + ValueLabel(op.name) + " in " + key;
    case RegFileOpKind::kDeleteValue:
      return "cannot delete " + ValueLabel(op.name) + " in " + key;
  }
  return "cannot apply";
}

// The message-identifier counter only ever goes up: an import (an old
// export, say) that would lower or delete it leaves the higher value, or
// identifiers of mail still in the spool and in mailboxes would be handed
// out again. Runs inside the import's transaction.
constexpr const char *kCounterKey = "Software\\TALVO\\ZEL";
constexpr const char *kCounterValue = "LastMsgId";

bool ReadCounter(DWORD &value) {
  RegKey key;
  if (RegOpenKeyEx(HKEY_LOCAL_MACHINE, kCounterKey, KEY_READ, key.out()) != ERROR_SUCCESS)
    return false;
  DWORD type = REG_NONE, size = sizeof value;
  return RegQueryValueEx(key.get(), kCounterValue, &type, &value, &size) == ERROR_SUCCESS &&
         type == REG_DWORD && size == sizeof value;
}

long KeepCounterFrom(bool had, DWORD before) {
  DWORD after = 0;
  if (!had || (ReadCounter(after) && after >= before)) return ERROR_SUCCESS;
  RegKey key;
  long rc = RegCreateKeyEx(HKEY_LOCAL_MACHINE, kCounterKey, KEY_ALL_ACCESS, key.out(), nullptr);
  if (rc == ERROR_SUCCESS)
    rc = RegSetValueEx(key.get(), kCounterValue, REG_DWORD, &before, sizeof before);
  return rc;
}

int RunImport(int argc, char **argv) {
  const char *file = argv[1];
  std::string shown = std::strcmp(file, "-") == 0 ? "(standard input)" : AdmPrintable(file);
  std::string text, error;
  if (!ReadInput(file, text, error)) {
    std::fprintf(stderr, "zeladm: cannot read %s: %s\n", shown.c_str(), error.c_str());
    return kAdmExitFailure;
  }
  RegFile parsed;
  RegFileError perr;
  if (!ParseRegFile(text, kMaxRegFileSize, parsed, perr)) {
    std::string where = perr.line != 0 ? ":" + std::to_string(perr.line) : "";
    std::fprintf(stderr, "zeladm: %s%s: %s\nzeladm: nothing was imported\n", shown.c_str(),
                 where.c_str(), perr.message.c_str());
    return kAdmExitFailure;
  }
  RegTransaction tx(RegTransaction::kWrite);
  long rc = tx.Status();
  const RegFileOp *failed = nullptr;
  DWORD counter = 0;
  bool hadCounter = rc == ERROR_SUCCESS && ReadCounter(counter);
  {
    Importer importer(parsed);
    for (size_t i = 0; rc == ERROR_SUCCESS && i < parsed.ops.size(); ++i)
      if ((rc = importer.Apply(parsed.ops[i])) != ERROR_SUCCESS) failed = &parsed.ops[i];
  }
  if (rc == ERROR_SUCCESS) rc = KeepCounterFrom(hadCounter, counter);
  if (rc == ERROR_SUCCESS) rc = tx.Commit();
  if (rc == ERROR_SUCCESS) return kAdmExitOk;
  if (failed != nullptr)
    std::fprintf(stderr, "zeladm: %s:%zu: %s: %s\n", shown.c_str(), failed->line,
                 OpText(parsed, *failed).c_str(), AdmErrorText(rc).c_str());
  else
    std::fprintf(stderr, "zeladm: cannot write the registry: %s\n", AdmErrorText(rc).c_str());
  std::fprintf(stderr, "zeladm: nothing was imported\n");
  return kAdmExitFailure;
}

// ---- export

long ExportKey(HKEY key, const std::string &path, RegFile &out) {
  long rc = ERROR_SUCCESS;
  // HKEY_LOCAL_MACHINE itself holds no values and needs no section.
  if (!path.empty()) {
    out.keys.push_back(path);
    size_t index = out.keys.size() - 1;
    out.ops.push_back(RegFileOp{RegFileOpKind::kCreateKey, index, "", REG_NONE, "", 0});
    rc = ForEachValue(key, [&](std::string_view name, DWORD type, std::string_view data) {
      out.ops.push_back(RegFileOp{RegFileOpKind::kSetValue, index, std::string(name), type,
                                  std::string(data), 0});
    });
  }
  std::vector<std::string> subkeys;
  if (rc == ERROR_SUCCESS) rc = SubkeyNames(key, subkeys);
  for (size_t i = 0; rc == ERROR_SUCCESS && i < subkeys.size(); ++i) {
    RegKey child;
    rc = RegOpenKeyEx(key, subkeys[i].c_str(), KEY_READ, child.out());
    if (rc == ERROR_SUCCESS)
      rc = ExportKey(child.get(), path.empty() ? subkeys[i] : path + "\\" + subkeys[i], out);
  }
  return rc;
}

int RunExport(int argc, char **argv) {
  std::string path;
  if (argc > 1 && !ParseKeyArg(argv[1], path)) return kAdmExitUsage;
  RegFile file;
  long rc;
  {
    RegTransaction snapshot(RegTransaction::kRead);  // one consistent picture
    RegKey key;
    if (!OpenKey(path, key)) return kAdmExitFailure;
    rc = ExportKey(key.get(), RegKeyPath(key.get()), file);
  }
  std::string text;
  RegFileError ferr;
  if (rc != ERROR_SUCCESS) {
    std::fprintf(stderr, "zeladm: cannot read the registry: %s\n", AdmErrorText(rc).c_str());
    return kAdmExitFailure;
  }
  if (!FormatRegFile(file, text, ferr)) {
    std::fprintf(stderr, "zeladm: %s\n", ferr.message.c_str());
    return kAdmExitFailure;
  }
  if (std::fwrite(text.data(), 1, text.size(), stdout) == text.size() && std::fflush(stdout) == 0)
    return kAdmExitOk;
  std::fprintf(stderr, "zeladm: cannot write the export: %s\n", AdmErrorText(errno).c_str());
  return kAdmExitFailure;
}

const AdmCommand kRegCommands[] = {
    {"get", "KEY [NAME]", "list a key's values and subkeys, or print one value's data", 1, 2,
     RunGet},
    {"set", "KEY NAME TYPE DATA...",
     "store a value, creating the key; TYPE is sz, expand_sz, multi_sz (one DATA per string),\n"
     "      dword (decimal or 0x hex) or binary (hex digits); NAME \"\" is the default value",
     3, -1, RunSet},
    {"del", "KEY [NAME]", "delete a value, or a key that has no subkeys", 1, 2, RunDel},
    {"import", "FILE", "apply a regedit file (\"-\": standard input), all or nothing", 1, 1,
     RunImport},
    {"export", "[KEY]", "write KEY (default: everything) as a regedit file to standard output", 0,
     1, RunExport},
};

}  // namespace

int RunRegCommand(int argc, char **argv) {
  return DispatchAdmCommand("zeladm reg", kRegCommands, argc - 1, argv + 1);
}
