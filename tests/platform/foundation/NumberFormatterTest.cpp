#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <vector>

#include "platform/foundation/NumberFormatter.h"

namespace {

TEST(NumberFormatter, SpellsOutNumbers) {
  struct Case {
    long value;
    const char* locale;
    const char* expected;
  };
  const std::vector<Case> cases = {
      {3, "en", "three"},
      {0, "en", "zero"},
      {21, "en", "twenty-one"},
      {-3, "en", "minus three"},
      {1000000, "en_US", "one million"},
      {3, "de", "drei"},
      {3, "de-DE", "drei"},
      {3, "de_DE", "drei"},
      {3, "fr", "trois"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(foundation::spellOut(c.value, c.locale), c.expected) << c.value << " " << c.locale;
  }
  EXPECT_EQ(foundation::spellOut(7), "seven");
}

TEST(NumberFormatter, NeverEmpty) {
  EXPECT_FALSE(foundation::spellOut(3, "xx-invalid-@@").empty());
  EXPECT_FALSE(foundation::spellOut(LONG_MIN, "en").empty());
  EXPECT_FALSE(foundation::spellOut(42, "").empty());
}

}  // namespace
