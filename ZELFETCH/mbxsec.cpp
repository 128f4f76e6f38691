// mbxsec: see mbxsec.h.
#include "ZELFETCH/mbxsec.h"

#include "common/fileutils.h"
#include "common/logging.h"
#include "common/str.h"
#include "common/zel.h"
#include "platform/dirsec.h"
#include "platform/files.h"
#include "platform/logon.h"
#include "platform/mailboxdir.h"

namespace {

bool CreateOneStartDirectory(const std::string &path, bool wholePath, const char *event) {
  bool ok = wholePath ? CreateDirectoryRecursively(path)
                      : CreateDirectory(path) || GetLastError() == ERROR_ALREADY_EXISTS;
  if (!ok) LogWin32Error(EVENTLOG_ERROR_TYPE, event, GetLastError());
  return ok;
}

}  // namespace

bool CreateStartDirectories() {
  if (!CreateOneStartDirectory(MailSpoolDirectory, true, "CreateDirectory Spool")) return false;
  if (!CreateOneStartDirectory(Pop3logDirectory, false, "CreateDirectory Pop3Log")) return false;
  // Root's and passable: each mailbox in it belongs to its user.
  return CreateMailboxRoot();
}
