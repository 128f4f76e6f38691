// garbage: see garbage.h.
#include "ZELDELIV/garbage.h"

#include "ZELDELIV/queue.h"
#include "common/spoolqueue.h"
#include "common/zel.h"
#include "platform/ascii.h"
#include "platform/errors.h"
#include "platform/files.h"

namespace {

std::string MessageKey(const std::string &fileName) {
  return LowerAsciiCopy(std::string_view(fileName).substr(0, fileName.rfind('.')));
}

// Lists names with one extension into list; false unless complete. A
// missing directory holds nothing.
bool AddNames(const std::string &directory, const char *extension, _MessageList &list,
              size_t &found) {
  std::vector<std::string> names;
  if (!ListDirectory(directory, extension, ListKind::kFiles, kMaxGarbageListing, names))
    return GetLastError() == ERROR_FILE_NOT_FOUND;
  for (const std::string &name : names) list.insert(MessageKey(name));
  found += names.size();
  return true;
}

// The recipient files of `incoming` whose message file is no longer beside
// them: messages taken up into `holding` and not yet filed. One whose
// message file is still there names that file, not a held message of the
// same name (a newcomer waiting for that name, incoming.h).
bool AddIncomingReferences(_MessageList &list) {
  _MessageList recipients, messages;
  size_t found = 0;
  if (!AddNames(MailQueueDirectory, ".RCP", recipients, found) ||
      !AddNames(MailQueueDirectory, ".MSG", messages, found))
    return false;
  for (const std::string &key : recipients)
    if (messages.count(key) == 0) list.insert(key);
  return true;
}

// Every queue directory: the empty ones go, the others add their messages.
bool CollectQueueReferences(_MessageList &list) {
  std::vector<std::string> dirs;
  if (!ListDirectory(MailDomainsDirectory, "", ListKind::kDirectories, kMaxGarbageListing, dirs))
    return GetLastError() == ERROR_FILE_NOT_FOUND;
  for (const std::string &d : dirs) {
    std::string dir = MailDomainsDirectory + "/" + d;
    size_t found = 0;
    if (!AddMessagesToList(dir, list, found)) return false;
    // A directory that still holds other files (a domain record) stays.
    if (found == 0) RemoveQueueDirectory(dir);
  }
  return true;
}

}  // namespace

bool AddMessagesToList(const std::string &directory, _MessageList &list, size_t &found) {
  found = 0;
  return AddNames(directory, ".RCP", list, found) &&
         AddNames(directory, kStagedExtension, list, found);
}

void DeleteOrphanedMessages(const _MessageList &list, const std::vector<std::string> &held) {
  std::vector<const std::string *> orphans;
  for (const std::string &name : held)
    if (list.count(MessageKey(name)) == 0) orphans.push_back(&name);
  if (orphans.empty()) return;
  // The queue walks sync their deletions a group at a time: a held message
  // goes only once the deletion of its last recipient file is on disk, so
  // a crash never leaves a recipient file without its message.
  if (!SyncFileSystemOf(MailDomainsDirectory)) return;
  for (const std::string *name : orphans) DeleteFile(MailHoldingDirectory + "/" + *name);
}

void DoGarbageCollection() {
  // Held messages first: one that arrives later is not a candidate.
  std::vector<std::string> held;
  if (!ListDirectory(MailHoldingDirectory, ".MSG", ListKind::kFiles, kMaxGarbageListing, held))
    return;
  // Hold markers (zeladm queue hold) go with their messages.
  std::vector<std::string> markers;
  if (ListDirectory(MailHoldingDirectory, kHoldMarkerExtension, ListKind::kFiles,
                    kMaxGarbageListing, markers))
    held.insert(held.end(), markers.begin(), markers.end());
  _MessageList list;
  if (!AddIncomingReferences(list)) return;
  if (!CollectQueueReferences(list)) return;
  DeleteOrphanedMessages(list, held);
}
