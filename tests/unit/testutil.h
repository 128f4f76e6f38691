// Small helpers shared by the unit tests.
#pragma once

#include <sys/stat.h>

#include <cstdlib>
#include <fstream>
#include <initializer_list>
#include <sstream>
#include <string>
#include <string_view>
#include <utility>

// The whole content of a file, bytes as on disk ("" when it cannot be read).
inline std::string Slurp(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

// Text written with "\n" made CR LF, as every message and spool text file
// has it on disk.
inline std::string Crlf(std::string_view text) {
  std::string out;
  for (char c : text) {
    if (c == '\n') out += '\r';
    out += c;
  }
  return out;
}

// A text pinned once for the unit and the end-to-end suites: the golden
// file name of tests/golden with every "{field}" replaced by its value;
// "" when the file cannot be read. ZEL_GOLDEN_DIR comes from the build.
inline std::string Golden(const std::string &name,
                          std::initializer_list<std::pair<std::string, std::string>> fields) {
  std::string text = Slurp(std::string(ZEL_GOLDEN_DIR) + "/" + name);
  for (const auto &[field, value] : fields) {
    const std::string mark = "{" + field + "}";
    for (size_t at = text.find(mark); at != std::string::npos;
         at = text.find(mark, at + value.size()))
      text.replace(at, mark.size(), value);
  }
  return text;
}

// The account that owns virtual users' mailboxes in the unit tests run as
// root (SetVirtualMailAccount): "nobody". What it must reach has to be
// passable by others (PassableZelRoot). A test not run as root needs none.
constexpr const char *kTestVirtualMailAccount = "nobody";
constexpr unsigned kTestVirtualMailUid = 65534;

// ZEL_ROOT and its var/ passable by others, as an installed system's are,
// so that kTestVirtualMailAccount reaches the mailboxes below them.
inline void PassableZelRoot() {
  std::string root = std::getenv("ZEL_ROOT");
  for (const std::string &dir : {root, root + "/var"}) {
    mkdir(dir.c_str(), 0755);
    chmod(dir.c_str(), 0755);
  }
}
