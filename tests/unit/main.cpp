// Test main: every unit test binary runs against its own scratch root, so no
// test reads or writes the real system's registry, spool or logs.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

int main(int argc, char **argv) {
  std::string tmpl = "/tmp/zel-unit-XXXXXX";
  if (const char *t = std::getenv("TMPDIR"); t != nullptr && *t != '\0')
    tmpl = std::string(t) + "/zel-unit-XXXXXX";
  if (mkdtemp(tmpl.data()) == nullptr) return 2;
  setenv("ZEL_ROOT", tmpl.c_str(), 1);
  testing::InitGoogleTest(&argc, argv);
  int rc = RUN_ALL_TESTS();
  if (std::getenv("ZEL_KEEP_ROOT") == nullptr) {
    std::string cmd = "rm -rf '" + tmpl + "'";
    (void)!std::system(cmd.c_str());
  }
  return rc;
}
