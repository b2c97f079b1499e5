#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "platform/foundation/Error.h"
#include "platform/foundation/Value.h"

using namespace foundation;

TEST(Value, BooleansStayDistinctFromNumbersButCompareByValue) {
  Value yes(true), one(1), oneDouble(1.0);
  EXPECT_TRUE(yes.isBool());
  EXPECT_FALSE(one.isBool());
  EXPECT_TRUE(one.isInteger());
  EXPECT_EQ(yes, one);
  EXPECT_EQ(one, oneDouble);
  EXPECT_NE(Value("1"), one);
}

TEST(Value, CopiesAreDeepAndDictionariesKeepInsertionOrder) {
  Value original(Dictionary{{"b", 1}, {"a", Array{Value("x"), Value(2.5)}}});
  Value copy = original;
  copy.mutableDictionary().set("c", true);
  copy.mutableDictionary().set("b", 7);
  EXPECT_EQ(original.dictionaryValue().size(), 2u);
  EXPECT_EQ((copy.dictionaryValue().keys()), (std::vector<std::string>{"b", "a", "c"}));
  EXPECT_EQ(copy["b"].intValue(), 7);
  EXPECT_EQ(original["b"].intValue(), 1);
}

TEST(Value, DescriptionInThePlatformStyle) {
  Value v(Dictionary{{"name", "plain"}, {"spaced", "two words"}, {"list", Array{Value(1), Value(2.5)}}});
  EXPECT_EQ(v.description(),
            "{\n    name = plain;\n    spaced = \"two words\";\n    list = (\n        1,\n        2.5\n    );\n}");
  EXPECT_EQ(Value().description(), "<null>");
}

TEST(Value, DescriptionOfNestedContainersDataAndEscapes) {
  Value v(Array{Value(Array{}), Value(Dictionary{}),
                Value(Dictionary{{"key with space", Array{Value("a\"b\\c\n"), Value(Data{0x61, 0x62, 0x63})}},
                                 {"empty", Value("")}}),
                Value(Data(25, 0xab)), Value(Date::fromTimeIntervalSinceReferenceDate(0))});
  std::string firstBytes;
  for (int i = 0; i < 24; ++i) firstBytes += "ab";
  EXPECT_EQ(v.description(),
            "(\n"
            "    (\n    ),\n"
            "    {\n    },\n"
            "    {\n"
            "        \"key with space\" = (\n"
            "            \"a\\\"b\\\\c\\n\",\n"
            "            {length = 3, bytes = 0x616263}\n"
            "        );\n"
            "        empty = \"\";\n"
            "    },\n"
            "    {length = 25, bytes = 0x" +
                firstBytes +
                " ... },\n"
                "    2001-01-01 00:00:00 +0000\n"
                ")");
}

// Deep nesting must come out exactly right, and without copying each level's text into the level
// above it, which took seconds at this depth.
TEST(Value, DescriptionOfDeepNesting) {
  const int depth = 600;
  Value v(1);
  for (int i = 0; i < depth; ++i) {
    Array level;
    level.push_back(std::move(v));
    v = Value(std::move(level));
  }
  std::string expected;
  for (int i = 0; i < depth; ++i) expected += "(\n" + std::string(4 * (i + 1), ' ');
  expected += "1";
  for (int i = depth - 1; i >= 0; --i) expected += "\n" + std::string(4 * i, ' ') + ")";
  EXPECT_EQ(v.description(), expected);
}

TEST(Value, StringReadingsAsNumbersAndBooleans) {
  struct Case { const char* text; bool b; long long i; };
  for (const Case& c : {Case{"YES", true, 0}, Case{"no", false, 0}, Case{"true", true, 0},
                        Case{"0", false, 0}, Case{"007", true, 7}, Case{"-3x", true, -3}, Case{"", false, 0}}) {
    EXPECT_EQ(Value(c.text).boolValue(), c.b) << c.text;
    EXPECT_EQ(Value(c.text).intValue(), c.i) << c.text;
  }
}

TEST(Date, ISO8601RoundTripWithMilliseconds) {
  Date d = Date::fromTimeIntervalSinceReferenceDate(123456789.125);
  EXPECT_EQ(d.iso8601(), "2004-11-29T21:33:09.125Z");
  auto parsed = Date::fromISO8601("2004-11-29T23:33:09.125+02:00");
  ASSERT_TRUE(parsed);
  EXPECT_DOUBLE_EQ(parsed->timeIntervalSinceReferenceDate(), 123456789.125);
  EXPECT_FALSE(Date::fromISO8601("2004-13-29T23:33:09Z"));
  EXPECT_FALSE(Date::fromISO8601("yesterday"));
}

TEST(Error, DescriptionFallsBackToDomainAndCode) {
  Error plain("Domain", 4);
  EXPECT_EQ(plain.localizedDescription(), "The operation couldn\u2019t be completed. (Domain error 4.)");
  Error described = Error::withDescription("D", 1, "Broken");
  EXPECT_EQ(described.localizedDescription(), "Broken");
  EXPECT_FALSE(described.localizedFailureReason());
}

#include "platform/foundation/KeyValueCoding.h"

namespace {
class Person : public Object, public KeyValueCoding {
 public:
  Value valueForKey(const std::string& key) const override { return key == "name" ? Value("Ada") : Value(); }
  bool hasKey(const std::string& key) const override { return key == "name"; }
};
}  // namespace

TEST(KeyValueCoding, KeyPathsThroughDictionariesObjectsAndArrays) {
  Value root(Dictionary{{"owner", Value(std::make_shared<Person>())},
                        {"items", Array{Value(Dictionary{{"n", 1}}), Value(Dictionary{{"n", 2}})}}});
  bool known = false;
  EXPECT_EQ(valueForKeyPath(root, "owner.name", &known), Value("Ada"));
  EXPECT_TRUE(known);
  EXPECT_EQ(valueForKeyPath(root, "items.n"), Value(Array{Value(1), Value(2)}));
  EXPECT_TRUE(valueForKeyPath(root, "owner.age", &known).isNull());
  EXPECT_FALSE(known);
  EXPECT_TRUE(valueForKeyPath(root, "missing.deeper").isNull());
}

TEST(Dictionary, LargeDictionariesStayConsistentThroughSetsAndRemovals) {
  Dictionary d;
  for (int i = 0; i < 200; ++i) d.set("k" + std::to_string(i), i);
  EXPECT_EQ(d.get("k150").intValue(), 150);
  EXPECT_TRUE(d.remove("k10"));
  EXPECT_FALSE(d.contains("k10"));
  EXPECT_EQ(d.get("k150").intValue(), 150);  // positions shifted by the removal
  d.set("k150", -1);
  d.set("new", 7);
  EXPECT_EQ(d.size(), 200u);
  EXPECT_EQ(d.get("k150").intValue(), -1);
  EXPECT_EQ(d.get("new").intValue(), 7);
  EXPECT_EQ(d.keys().back(), "new");
  Dictionary copy = d;
  copy.remove("new");
  EXPECT_TRUE(d.contains("new"));
  EXPECT_FALSE(copy.contains("new"));
  d.clear();
  EXPECT_FALSE(d.contains("k1"));
}

TEST(Dictionary, LookupsStayRightAcrossTheIndexThreshold) {
  // Shrink below the size that keeps a key index, then grow past it again.
  Dictionary d;
  for (int i = 0; i < 17; ++i) d.set("k" + std::to_string(i), i);
  for (int i = 0; i < 5; ++i) EXPECT_TRUE(d.remove("k" + std::to_string(i)));
  EXPECT_EQ(d.size(), 12u);
  for (int i = 0; i < 6; ++i) d.set("n" + std::to_string(i), 100 + i);
  for (int i = 0; i < 5; ++i) EXPECT_FALSE(d.contains("k" + std::to_string(i)));
  for (int i = 5; i < 17; ++i) EXPECT_EQ(d.get("k" + std::to_string(i)).intValue(), i);
  for (int i = 0; i < 6; ++i) EXPECT_EQ(d.get("n" + std::to_string(i)).intValue(), 100 + i);
}

// A const dictionary is read from several threads at once, as a shared settings or telemetry
// dictionary is; ThreadSanitizer reports any write a lookup makes. The removal comes last, as it
// shifts the positions a key index holds: the first lookups after it must not have to mend one.
TEST(Dictionary, AConstDictionaryIsReadFromEightThreadsAtOnce) {
  Dictionary built;
  for (int i = 0; i <= 100; ++i) built.set("key" + std::to_string(i), i);
  ASSERT_TRUE(built.remove("key100"));
  const Dictionary& shared = built;
  std::atomic<int> wrong{0};
  std::atomic<bool> go{false};
  std::vector<std::thread> readers;
  for (int t = 0; t < 8; ++t) {
    readers.emplace_back([&shared, &wrong, &go, t] {
      while (!go.load()) std::this_thread::yield();
      for (int round = 0; round < 50; ++round) {
        for (int i = 0; i < 100; ++i) {
          const int k = (i + t * 13) % 100;
          if (shared.get("key" + std::to_string(k)).intValue() != k) ++wrong;
        }
        if (shared.contains("absent")) ++wrong;
      }
    });
  }
  go = true;
  for (auto& reader : readers) reader.join();
  EXPECT_EQ(wrong.load(), 0);
}

TEST(Value, DataIsSharedByCopiesAndStillComparesByBytes) {
  Value original(Data{1, 2, 3});
  const Value copy = original;
  Value inArray(Array{original});
  EXPECT_EQ(&copy.dataValue(), &original.dataValue());
  EXPECT_EQ(&inArray[0].dataValue(), &original.dataValue());
  EXPECT_EQ(copy.sharedData().get(), &original.dataValue());
  EXPECT_EQ(original, Value(Data{1, 2, 3}));
  EXPECT_NE(original, Value(Data{1, 2}));
  original = Value(Data{9});
  EXPECT_EQ(copy.dataValue(), (Data{1, 2, 3})) << "replacing a value leaves its copies alone";

  EXPECT_TRUE(Value(std::shared_ptr<const Data>()).isNull());
  EXPECT_FALSE(Value(3).sharedData());
  EXPECT_EQ(Value(std::make_shared<const Data>(Data{7})).dataValue(), (Data{7}));
}
