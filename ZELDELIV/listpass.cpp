// listpass: see listpass.h.
#include "ZELDELIV/listpass.h"

#include <string>
#include <vector>

#include "ZELDELIV/listcmds.h"
#include "ZELDELIV/maillist.h"
#include "ZELDELIV/queue.h"
#include "ZELDELIV/settings.h"
#include "common/str.h"
#include "common/zel.h"
#include "platform/files.h"
#include "zelbase/zelbase.h"

namespace {

void ProcessListEntry(const std::string &name) {
  std::string dir = MailListsDirectory + "/" + name;
  DirLock lock;
  if (!lock.Lock(dir.c_str(), kListDirLockWaitMs)) return;
  if (EndsWithNoCase(name, RequestPostfix))
    ProcessListRequestDirectory(name);
  else
    ProcessListDirectory(name);
}

}  // namespace

void MailingLists() { StandardMailingLists(); }

void StandardMailingLists() {
  if (ThisHostName.empty()) ThisHostName = GetLocalHostName(-1);
  std::vector<std::string> names;
  ListDirectory(MailListsDirectory, "", ListKind::kDirectories, kMaxListDirectories, names);
  for (const std::string &name : names) {
    if (Terminating()) return;
    if (!IsSafeListDirectoryName(name)) continue;   // ".", dot-files, odd names
    ProcessListEntry(name);
  }
}
