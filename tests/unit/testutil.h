// Small helpers shared by the unit tests.
#pragma once

#include <fstream>
#include <sstream>
#include <string>

// The whole content of a file, bytes as on disk ("" when it cannot be read).
inline std::string Slurp(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}
