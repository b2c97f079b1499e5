#include "telemetry/core/Internals/Util/TLUtility+PropertyValidation.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/foundation/String.h"
#include "telemetry/core/Internals/Util/TLUtility+StringFormatting.h"
#include "tests/telemetry/support/TLLogRecorder.h"

namespace {

using foundation::Dictionary;
using foundation::Value;
using std::string;

Dictionary numbered(int count) {
  Dictionary properties;
  for (int i = 0; i < count; ++i) properties.set("key" + std::to_string(i), "value" + std::to_string(i));
  return properties;
}

bool isValidUTF8(const string& text) {
  return foundation::utf8(foundation::utf16(text)) == text && text.find("\xEF\xBF\xBD") == string::npos;
}

TEST(TLPropertyValidationTest, KeepsTheFirstTwentyAndSaysSoOnce) {
  test::TLLogRecorder recorder;
  const Dictionary valid = TLUtility::validateProperties(numbered(25), "MyEvent", "Event");
  EXPECT_EQ(valid.size(), 20u);
  EXPECT_TRUE(valid.contains("key19"));
  EXPECT_FALSE(valid.contains("key20"));
  EXPECT_EQ(recorder.messages(TLLogLevelWarning),
            std::vector<string>{
                "Event 'MyEvent' : properties cannot contain more than 20 items. Skipping other properties."});
}

TEST(TLPropertyValidationTest, ExactlyTwentyValidPropertiesPassSilently) {
  test::TLLogRecorder recorder;
  EXPECT_EQ(TLUtility::validateProperties(numbered(20), "e", "Event"), numbered(20));
  EXPECT_TRUE(recorder.entries().empty());
}

TEST(TLPropertyValidationTest, DropsNonTextAndEmptyKeysAndCutsLongKeysAndValues) {
  const string key126(126, 'k');
  const string value125(125, 'v');
  const string value130(130, 'w');
  Dictionary properties{{"number", 5},  {"", "empty key"},       {key126, "long key"},
                        {"exact", value125}, {"long", value130}, {"kept", "yes"}};
  test::TLLogRecorder recorder;
  const Dictionary valid = TLUtility::validateProperties(properties, "Name", "Type");
  EXPECT_EQ(valid, (Dictionary{{string(125, 'k'), "long key"},
                               {"exact", value125},
                               {"long", string(125, 'w')},
                               {"kept", "yes"}}));
  EXPECT_EQ(valid.keys().front(), string(125, 'k'));  // order follows the input
  EXPECT_EQ(recorder.messages(TLLogLevelWarning),
            (std::vector<string>{
                "Type 'Name' : a property key cannot be null or empty. Property will be skipped.",
                "Type 'Name' : property " + key126 +
                    " : property key length cannot be longer than 125 characters. Property key will be truncated.",
                "Type 'Name' : property 'long' : property value cannot be longer than 125 characters. Property "
                "value will be truncated.",
            }));
}

TEST(TLPropertyValidationTest, AKeyCutToAnEarlierOneReplacesItsValue) {
  const string base(125, 'k');
  const Dictionary valid =
      TLUtility::validateProperties(Dictionary{{base, "first"}, {base + "x", "second"}}, "n", "t");
  EXPECT_EQ(valid, (Dictionary{{base, "second"}}));
}

// Lengths count UTF-16 units: an emoji takes two. A cut that would fall between the two halves keeps
// the emoji out whole, so the text stays valid and its JSON is accepted.
TEST(TLPropertyValidationTest, CutsNeverSplitASurrogatePair) {
  const string emoji = "\xF0\x9F\x98\x80";  // U+1F600, two UTF-16 units
  const string pairAtCut = string(124, 'a') + emoji;           // units 125 and 126 are the pair
  const string pairBeforeCut = string(123, 'a') + emoji + "b";  // the pair ends at unit 125
  const string accents = string(120, 'a') + "\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9";  // 126 units
  const Dictionary valid = TLUtility::validateProperties(
      Dictionary{{"pair", pairAtCut}, {"before", pairBeforeCut}, {"accents", accents}, {pairAtCut, "k"}}, "n", "t");

  const struct {
    string key;
    string value;
    std::size_t units;
  } expected[] = {
      {"pair", string(124, 'a'), 124},
      {"before", string(123, 'a') + emoji, 125},
      {"accents", string(120, 'a') + "\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9", 125},
      {string(124, 'a'), "k", 1},
  };
  ASSERT_EQ(valid.size(), 4u);
  for (const auto& [key, value, units] : expected) {
    SCOPED_TRACE(key);
    ASSERT_TRUE(valid.contains(key));
    const string& cut = valid.get(key).stringValue();
    EXPECT_EQ(cut, value);
    EXPECT_EQ(foundation::length16(cut), units);
    EXPECT_TRUE(isValidUTF8(cut));
  }
  const std::optional<string> json = TLUtility::jsonStringFromObject(Value(valid), false);
  ASSERT_TRUE(json.has_value());
  EXPECT_TRUE(isValidUTF8(*json));
}

}  // namespace
