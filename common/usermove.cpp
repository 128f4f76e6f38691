// usermove: see usermove.h.
#include "common/usermove.h"

#include "common/fileutils.h"
#include "platform/ascii.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "platform/root.h"

namespace {

std::string MoveDirectory() { return StateDirectory() + "/moving"; }

}  // namespace

std::string UserMoveMarkerPath(const std::string &user) {
  if (user.empty() || user.size() > kMaxMoveUserName || user[0] == '.' ||
      user.find('/') != std::string::npos || user.find('\0') != std::string::npos)
    return "";
  return MoveDirectory() + "/" + LowerAsciiCopy(user);
}

bool UserMoveInProgress(const std::string &user) {
  std::string path = UserMoveMarkerPath(user);
  return !path.empty() && FileExists(path);
}

bool MarkUserMove(const std::string &user, const std::string &toHost) {
  std::string path = UserMoveMarkerPath(user);
  if (path.empty()) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  if (!CreateDirectoryRecursively(MoveDirectory())) return false;
  DurableFile marker;
  return marker.Create(path, ".zel-new-", 0644, "wb") && marker.Stream().Write(toHost + "\n") &&
         marker.Publish();
}

bool ClearUserMove(const std::string &user) {
  std::string path = UserMoveMarkerPath(user);
  if (path.empty() || !FileExists(path)) return true;
  return DeleteFile(path) && SyncDirectory(MoveDirectory());
}
