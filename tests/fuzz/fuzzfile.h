// Shared by the fuzz targets whose input is a file: a scratch root of their
// own (ZEL_ROOT, so nothing reads or writes the real system's registry or
// spool), made at the first call and removed when the process exits, and
// the input written into a file there.
#pragma once

#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <string>

// Never destroyed: the removal at exit runs after static destructors would.
inline const std::string &FuzzScratch() {
  static const std::string &root = *new std::string([] {
    char tmpl[] = "/tmp/zel-fuzz-XXXXXX";
    if (mkdtemp(tmpl) == nullptr) abort();
    setenv("ZEL_ROOT", tmpl, 1);
    atexit([] {
      std::string cmd = "rm -rf '" + FuzzScratch() + "'";
      (void)!std::system(cmd.c_str());
    });
    return std::string(tmpl);
  }());
  return root;
}

// Writes the input into name in the scratch root; returns its path.
inline std::string WriteFuzzInput(const uint8_t *data, size_t size, const char *name) {
  std::string path = FuzzScratch() + "/" + name;
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  f.write(reinterpret_cast<const char *>(data), static_cast<std::streamsize>(size));
  return path;
}
