// The main of every test executable. ctest runs each test in its own process, so giving the
// process a fresh HOME and XDG folders (the runtime folder too) here keeps every test away from
// the real user folders.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdlib>
#include <memory>
#include <string>

#include "tests/support/TempDir.h"

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  auto home = std::make_unique<test::TempDir>("qm-home");
  const std::string root = home->path();
  setenv("HOME", root.c_str(), 1);
  setenv("XDG_DATA_HOME", (root + "/.local/share").c_str(), 1);
  setenv("XDG_CACHE_HOME", (root + "/.cache").c_str(), 1);
  setenv("XDG_CONFIG_HOME", (root + "/.config").c_str(), 1);
  setenv("XDG_STATE_HOME", (root + "/.local/state").c_str(), 1);
  setenv("QM_TEST_HOME", root.c_str(), 1);
  // The runtime folder holds the application's single-instance lock: each test process has its own.
  const std::string runtime = root + "/runtime";
  ::mkdir(runtime.c_str(), 0700);
  setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
  int result = RUN_ALL_TESTS();
  home.reset();
  return result;
}
