#include "platform/foundation/Path.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/foundation/FileManager.h"

using namespace foundation;

namespace {

struct Case {
  std::string path;
  std::string expected;
};

TEST(Path, LastPathComponent) {
  const std::vector<Case> cases = {
      {"/usr/lib/libc.so.6", "libc.so.6"}, {"/usr/lib/", "lib"}, {"libc.so", "libc.so"},
      {"/", "/"},                          {"//", "/"},          {"", ""},
  };
  for (const Case& c : cases) EXPECT_EQ(lastPathComponent(c.path), c.expected) << c.path;
}

TEST(Path, StandardizingPath) {
  const std::string home = FileManager::defaultManager().homeDirectory();
  const std::vector<Case> cases = {
      {"/usr//lib/./x/../libc.so/", "/usr/lib/libc.so"},
      {"/../../etc", "/etc"},
      {"/", "/"},
      {"", ""},
      {"a/../b/./c", "a/../b/c"},  // a relative ".." stays
      {"~", home},
      {"~/lib/x.so", home + "/lib/x.so"},
      {"~other/x", "~other/x"},
      {"/opt/App/bin/", "/opt/App/bin"},
  };
  for (const Case& c : cases) EXPECT_EQ(standardizingPath(c.path), c.expected) << c.path;
}

}  // namespace
