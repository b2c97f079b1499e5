#include "telemetry/core/Internals/Util/TLOrderedDictionary.h"

#include <gtest/gtest.h>

#include "telemetry/core/Internals/Util/TLUtility+StringFormatting.h"

namespace {

using foundation::Value;

TEST(TLOrderedDictionaryTest, KeysKeepTheOrderOfTheirFirstSettingAndJsonFollowsIt) {
  TLOrderedDictionary dictionary(4);
  dictionary.setObject("3.0", "ver");
  dictionary.setObject("Event", "name");
  dictionary.setObject("2019-01-31T13:45:07.123Z", "time");
  dictionary.setObject("Other", "name");  // replaces, keeps its place

  EXPECT_EQ(dictionary.count(), 3u);
  EXPECT_EQ(dictionary.keyEnumerator(), (std::vector<std::string>{"ver", "name", "time"}));
  ASSERT_NE(dictionary.objectForKey("name"), nullptr);
  EXPECT_EQ(*dictionary.objectForKey("name"), Value("Other"));
  EXPECT_EQ(dictionary.objectForKey("missing"), nullptr);
  EXPECT_EQ(TLUtility::jsonStringFromObject(dictionary, false),
            R"({"ver":"3.0","name":"Other","time":"2019-01-31T13:45:07.123Z"})");

  dictionary.removeAllObjects();
  EXPECT_EQ(dictionary.count(), 0u);
  EXPECT_TRUE(dictionary.keyEnumerator().empty());
}

TEST(TLOrderedDictionaryTest, EqualityNeedsTheSameOrderAndCopiesAreIndependent) {
  TLOrderedDictionary ab;
  ab.setObject(1, "a");
  ab.setObject(2, "b");
  TLOrderedDictionary ba;
  ba.setObject(2, "b");
  ba.setObject(1, "a");
  EXPECT_FALSE(ab.isEqualToDictionary(ba));

  TLOrderedDictionary copy = ab.mutableCopy();
  EXPECT_TRUE(copy.isEqualToDictionary(ab));
  copy.setObject(3, "c");
  EXPECT_EQ(ab.count(), 2u);
  EXPECT_FALSE(copy == ab);
  ab.setObject(1, "a");  // the same pair again changes nothing
  ab.setObject(3, "c");
  EXPECT_TRUE(copy == ab);
}

}  // namespace
