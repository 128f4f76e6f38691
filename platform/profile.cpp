// profile: see profile.h.
#include "platform/profile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "platform/ascii.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "platform/mailboxdir.h"

namespace {

constexpr std::string_view kUtf8Bom = "\xEF\xBB\xBF";

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f'; }

std::string_view Trim(std::string_view s) {
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
  return s;
}

// A value in a pair of matching quotes loses them.
std::string_view Unquote(std::string_view v) {
  if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front())
    return v.substr(1, v.size() - 2);
  return v;
}

// The next line of text from pos (without its LF), at most kMaxProfileLine
// characters of it; pos moves behind the whole line.
std::string_view NextLine(std::string_view text, size_t &pos) {
  size_t end = text.find('\n', pos);
  if (end == std::string_view::npos) end = text.size();
  std::string_view line = text.substr(pos, end - pos);
  pos = end < text.size() ? end + 1 : end;
  return line.substr(0, kMaxProfileLine);
}

// A section header's name, or false when the line is no valid header.
bool SectionName(std::string_view line, std::string_view &name) {
  if (line.empty() || line.front() != '[') return false;
  size_t close = line.rfind(']');
  if (close == std::string_view::npos || close == 0) return false;
  name = Trim(line.substr(1, close - 1));
  return true;
}

bool ReadHead(int fd, std::string &text) {
  text.resize(kMaxProfileFileBytes);
  size_t have = 0;
  while (have < text.size()) {
    ssize_t n = read(fd, text.data() + have, text.size() - have);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) break;
    have += static_cast<size_t>(n);
  }
  text.resize(have);
  return true;
}

}  // namespace

bool FindProfileValue(std::string_view text, size_t maxBytes, std::string_view section,
                      std::string_view key, std::string &value) {
  text = text.substr(0, maxBytes);
  if (text.substr(0, kUtf8Bom.size()) == kUtf8Bom) text.remove_prefix(kUtf8Bom.size());
  bool inSection = false;
  size_t pos = 0;
  while (pos < text.size()) {
    std::string_view line = Trim(NextLine(text, pos));
    if (line.empty() || line.front() == ';') continue;
    std::string_view name;
    if (SectionName(line, name)) {
      // Only the first section of the wanted name is searched.
      if (inSection) return false;
      inSection = EqualsNoCase(name, section);
      continue;
    }
    size_t eq = line.find('=');
    if (!inSection || eq == std::string_view::npos) continue;
    if (!EqualsNoCase(Trim(line.substr(0, eq)), key)) continue;
    value.assign(Unquote(Trim(line.substr(eq + 1))));
    return true;
  }
  return false;
}

int OpenUserFile(const std::string &path, bool append) {
  return OpenRegularFileAt(AT_FDCWD, path.c_str(), append, 0644);
}

std::string ReadProfileText(int fd) {
  std::string text;
  if (fd < 0 || !ReadHead(fd, text)) text.clear();
  return text;
}

std::string GetProfileString(std::string_view text, std::string_view section,
                             std::string_view key, std::string_view def, size_t maxChars) {
  std::string value;
  if (!FindProfileValue(text, kMaxProfileFileBytes, section, key, value)) value.assign(def);
  if (value.size() > maxChars) value.resize(maxChars);
  return value;
}

std::string GetPrivateProfileString(std::string_view section, std::string_view key,
                                    std::string_view def, size_t maxChars,
                                    const std::string &path) {
  UniqueFd fd(OpenUserFile(path, false));
  return GetProfileString(ReadProfileText(fd.Get()), section, key, def, maxChars);
}

bool BoolFromString(std::string_view value, bool def) {
  if (EqualsNoCase(value, "TRUE") || EqualsNoCase(value, "YES") || value == "1") return true;
  if (EqualsNoCase(value, "FALSE") || EqualsNoCase(value, "NO") || value == "0") return false;
  return def;
}
