// mailstorename: see mailstorename.h.
#include "common/mailstorename.h"

#include "platform/ascii.h"
#include "platform/charset.h"

namespace {

constexpr char kEscape = '%';
constexpr char kHexDigits[] = "0123456789ABCDEF";

bool MustEscape(unsigned char c) { return c < 0x20 || c == 0x7F || c == kEscape; }

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;   // lower case is not this encoding's: one spelling per name
}

// A folder name is UTF-8 without NUL (a NUL would cut the path the kernel
// is given).
bool IsFolderUtf8(std::string_view text) {
  return text.find('\0') == std::string_view::npos && IsValidUtf8(text);
}

}  // namespace

std::string EncodeFolderComponent(std::string_view component) {
  if (component.empty() || component.find(kFolderDelimiter) != std::string_view::npos ||
      !IsFolderUtf8(component))
    return "";
  std::string dir(1, kFolderDirPrefix);
  for (unsigned char c : component) {
    if (MustEscape(c)) {
      dir += kEscape;
      dir += kHexDigits[c >> 4];
      dir += kHexDigits[c & 15];
    } else {
      dir += static_cast<char>(c);
    }
    if (dir.size() > kMaxFolderComponentBytes) return "";
  }
  return dir;
}

bool DecodeFolderComponent(std::string_view dirName, std::string &component) {
  component.clear();
  if (dirName.size() < 2 || dirName.size() > kMaxFolderComponentBytes ||
      dirName.front() != kFolderDirPrefix)
    return false;
  for (size_t i = 1; i < dirName.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(dirName[i]);
    if (c == kEscape) {
      int hi = i + 2 < dirName.size() ? HexValue(dirName[i + 1]) : -1;
      int lo = hi >= 0 ? HexValue(dirName[i + 2]) : -1;
      if (lo < 0 || !MustEscape(static_cast<unsigned char>(hi * 16 + lo))) return false;
      component += static_cast<char>(hi * 16 + lo);
      i += 2;
    } else if (MustEscape(c) || c == kFolderDelimiter) {
      return false;
    } else {
      component += static_cast<char>(c);
    }
  }
  return IsFolderUtf8(component);
}

bool ParseFolderName(std::string_view name, FolderPath &out) {
  out = FolderPath{};
  if (name.empty() || name.size() > kMaxFolderNameBytes) return false;
  size_t first = 0;
  while (first <= name.size()) {
    size_t slash = name.find(kFolderDelimiter, first);
    std::string_view part = name.substr(first, slash == std::string_view::npos ? name.npos
                                                                               : slash - first);
    if (part.empty() || out.Dirs.size() >= kMaxFolderDepth) return false;
    // INBOX in any case, as the first component, is the one INBOX.
    bool inbox = out.Dirs.empty() && out.Name.empty() && EqualsNoCase(part, kInboxName);
    std::string dir = EncodeFolderComponent(inbox ? kInboxName : part);
    if (dir.empty()) return false;
    if (!out.Name.empty()) out.Name += kFolderDelimiter;
    out.Name += inbox ? kInboxName : part;
    // INBOX itself is M: only its children have a directory ("+INBOX").
    if (!inbox || slash != std::string_view::npos) out.Dirs.push_back(std::move(dir));
    if (slash == std::string_view::npos) break;
    first = slash + 1;
  }
  return true;
}

std::string ParentFolderName(std::string_view name) {
  size_t slash = name.rfind(kFolderDelimiter);
  return slash == std::string_view::npos ? "" : std::string(name.substr(0, slash));
}
