// Fuzz target for folder names and their directory names
// (common/mailstorename), both untrusted: names from IMAP clients, names
// of directories in a user's tree. Beyond not crashing: a name accepted
// parses again to itself; each of its directory names is "+" and at most
// kMaxFolderComponentBytes bytes, never "." or "..", without "/", and
// decodes back to its component; a directory name accepted has exactly one
// spelling (encoding its component gives it back).
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "common/mailstorename.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  std::string_view in(reinterpret_cast<const char *>(data), size);
  FolderPath path;
  if (ParseFolderName(in, path)) {
    FolderPath again;
    if (!ParseFolderName(path.Name, again) || again.Name != path.Name || again.Dirs != path.Dirs)
      std::abort();
    if (path.IsInbox() != (path.Name == kInboxName) || path.Dirs.size() > kMaxFolderDepth)
      std::abort();
    std::string rebuilt;
    for (const std::string &dir : path.Dirs) {
      std::string component;
      if (dir.size() > kMaxFolderComponentBytes || dir.front() != kFolderDirPrefix ||
          dir.find('/') != std::string::npos || !DecodeFolderComponent(dir, component) ||
          EncodeFolderComponent(component) != dir)
        std::abort();
      rebuilt += (rebuilt.empty() ? "" : "/") + component;
    }
    if (!path.IsInbox() && rebuilt != path.Name) std::abort();
  }
  std::string component;
  if (DecodeFolderComponent(in, component) && EncodeFolderComponent(component) != in) std::abort();
  return 0;
}
