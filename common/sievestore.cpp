// sievestore: see sievestore.h.
#include "common/sievestore.h"

#include <algorithm>

#include "common/sieveconf.h"
#include "platform/fileview.h"
#include "platform/folderfs.h"

bool ReadSieveText(int fd, size_t limit, std::string &text) {
  uint64_t size = 0;
  if (fd < 0 || !GetFileSizeOf(fd, &size)) return false;
  text.assign(std::min<uint64_t>(size, limit + 1), '\0');
  size_t got = 0;
  if (!ReadFileAt(fd, text.data(), text.size(), 0, &got)) return false;
  text.resize(got);
  return true;
}

std::vector<std::string> ListSieveScripts(const MailboxDir &dir) {
  std::vector<std::string> names;
  ForEachDirectoryEntry(dir.Fd(), [&](const char *entry, unsigned char) {
    std::string_view n(entry);
    if (n.size() > kSieveScriptSuffix.size() && n.ends_with(kSieveScriptSuffix)) {
      std::string name(n.substr(0, n.size() - kSieveScriptSuffix.size()));
      if (SieveScriptNameIsValid(name)) names.push_back(name);
    }
    return names.size() < kMaxSieveListing;
  });
  std::sort(names.begin(), names.end());
  return names;
}

std::string ActiveSieveScript(const MailboxDir &dir) {
  UniqueFd fd(dir.OpenFile(kSieveActiveFileName, false));
  std::string text;
  return ReadSieveText(fd.Get(), kMaxSieveScriptName + 2, text) ? SieveActiveName(text) : "";
}

bool ReadSieveScript(const MailboxDir &dir, std::string_view name, size_t limit,
                     std::string &text) {
  UniqueFd fd(dir.OpenFile(SieveScriptFileName(name), false));
  return ReadSieveText(fd.Get(), limit, text);
}

bool StoreSieveScript(const MailboxDir &dir, std::string_view name, std::string_view text) {
  return dir.ReplaceFile(SieveScriptFileName(name), text);
}

bool ActivateSieveScript(const MailboxDir &dir, std::string_view name) {
  return dir.ReplaceFile(kSieveActiveFileName,
                         name.empty() ? std::string() : std::string(name) + "\n");
}

bool RemoveSieveScript(const MailboxDir &dir, std::string_view name) {
  if (!dir.FileExists(SieveScriptFileName(name))) {
    SetLastError(ENOENT);
    return false;
  }
  return RemoveFileAt(dir.Fd(), SieveScriptFileName(name)) && SyncDirectoryEntries(dir.Fd());
}

bool RenameSieveScript(const MailboxDir &dir, std::string_view from, std::string_view to) {
  bool active = ActiveSieveScript(dir) == from;
  if (!RenameEntryAt(dir.Fd(), SieveScriptFileName(from), dir.Fd(), SieveScriptFileName(to)) ||
      !SyncDirectoryEntries(dir.Fd()))
    return false;
  return !active || ActivateSieveScript(dir, to);
}
