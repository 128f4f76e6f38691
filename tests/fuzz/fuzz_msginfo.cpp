// Fuzz target: the recipient file reader on arbitrary file contents, then a
// rewrite of what it read, read back again. The reader must never overrun a
// record field, and what it writes must read back to the same recipients.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>

#include "common/smtputil.h"
#include "platform/files.h"

namespace {

int CountRecipients(const _tMsgInfo &info) {
  int n = 0;
  for (const _tRcpInfo *r = info.Rcp; r != nullptr; r = r->Next) {
    if (strnlen(r->Name, sizeof r->Name) >= sizeof r->Name) abort();
    if (strnlen(r->OriginalAddress, sizeof r->OriginalAddress) >= sizeof r->OriginalAddress) abort();
    ++n;
  }
  return n;
}

bool Fill(int fd, const uint8_t *data, size_t size) {
  return ftruncate(fd, 0) == 0 && lseek(fd, 0, SEEK_SET) == 0 &&
         write(fd, data, size) == static_cast<ssize_t>(size) && lseek(fd, 0, SEEK_SET) == 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  int fd = CreateTempFileDeleteOnClose();
  if (fd < 0 || !Fill(fd, data, size)) abort();
  TextFile f;
  f.Attach(fd, "r+");
  MsgInfoPtr info = ReadMsgInfo(f);
  if (!info) return 0;
  if (strnlen(info->MessageId, sizeof info->MessageId) >= sizeof info->MessageId) abort();
  if (strnlen(info->ReturnPath, sizeof info->ReturnPath) >= sizeof info->ReturnPath) abort();
  int before = CountRecipients(*info);
  if (!WriteMsgInfo(f, *info) || !f.Rewind()) abort();
  MsgInfoPtr again = ReadMsgInfo(f);
  if (!again) abort();
  // Names with line breaks cannot exist: the reader stops a value at the
  // line's end, so every recipient written comes back.
  if (CountRecipients(*again) != before) abort();
  return 0;
}
