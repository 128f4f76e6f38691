// A scratch ZEL_ROOT for the fuzz targets whose code reads the registry or
// writes files: made at the first call, removed when the process exits, so
// a target never touches the real system's configuration or spool.
#pragma once

#include <cstdlib>
#include <string>

// Never destroyed: the exit handler that removes the tree still reads it.
inline const std::string &FuzzScratchRoot() {
  static const std::string *root = [] {
    char tmpl[] = "/tmp/zel-fuzz-XXXXXX";
    if (mkdtemp(tmpl) == nullptr) abort();
    setenv("ZEL_ROOT", tmpl, 1);
    auto *path = new std::string(tmpl);
    atexit([] {
      std::string cmd = "rm -rf '" + FuzzScratchRoot() + "'";
      (void)!std::system(cmd.c_str());
    });
    return path;
  }();
  return *root;
}
