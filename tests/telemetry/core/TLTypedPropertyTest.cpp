#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>
#include <memory>
#include <string>

#include "telemetry/core/Internals/Model/TLTypedProperty.h"
#include "telemetry/core/Internals/Util/TLUtility+StringFormatting.h"
#include "tests/telemetry/support/TLModelFixtures.h"

namespace {

using foundation::Date;

const Date kTime = Date::fromTimeIntervalSince1970(1548942307.123);  // 2019-01-31T13:45:07.123Z

template <class T>
std::shared_ptr<T> property(std::optional<std::string> name, std::function<void(T&)> fill = nullptr) {
  auto made = std::make_shared<T>();
  made->setName(std::move(name));
  if (fill) fill(*made);
  return made;
}

std::string jsonOf(const TLTypedProperty& property) {
  return *TLUtility::jsonStringFromObject(*property.serializeToDictionary(), false);
}

TEST(TLTypedPropertyTest, EachKindWritesTypeNameAndValueInItsOwnEncoding) {
  const struct {
    std::shared_ptr<TLTypedProperty> property;
    const char* json;
  } cases[] = {
      {property<TLBooleanTypedProperty>("flag", [](auto& p) { p.setValue(true); }),
       R"J({"type":"boolean","name":"flag","value":true})J"},
      {property<TLBooleanTypedProperty>("off"), R"J({"type":"boolean","name":"off","value":false})J"},
      {property<TLDoubleTypedProperty>(std::nullopt), R"J({"type":"double","value":0})J"},
      {property<TLDoubleTypedProperty>("d", [](auto& p) { p.setValue(0.1); }), R"J({"type":"double","name":"d","value":0.1})J"},
      {property<TLLongTypedProperty>("big", [](auto& p) { p.setValue(std::numeric_limits<std::int64_t>::max()); }),
       R"J({"type":"long","name":"big","value":9223372036854775807})J"},
      {property<TLLongTypedProperty>("neg", [](auto& p) { p.setValue(-1); }), R"J({"type":"long","name":"neg","value":-1})J"},
      {property<TLStringTypedProperty>("s"), R"J({"type":"string","name":"s"})J"},
      {property<TLStringTypedProperty>("s", [](auto& p) { p.setValue("a/b"); }),
       R"J({"type":"string","name":"s","value":"a/b"})J"},
      {property<TLDateTimeTypedProperty>("t"), R"J({"type":"dateTime","name":"t"})J"},
      {property<TLDateTimeTypedProperty>("t", [](auto& p) { p.setValue(kTime); }),
       R"J({"type":"dateTime","name":"t","value":"2019-01-31T13:45:07.123Z"})J"},
      {property<TLTypedProperty>(std::nullopt), "{}"},
  };
  for (const auto& c : cases) EXPECT_EQ(jsonOf(*c.property), c.json);
}

TEST(TLTypedPropertyTest, EqualityComparesKindAndValueButNeverTheName) {
  const auto string = [](const char* name, std::optional<std::string> value) {
    return property<TLStringTypedProperty>(name, [&](auto& p) { p.setValue(value); });
  };
  const auto number = [](const char* name, std::int64_t value) {
    return property<TLLongTypedProperty>(name, [&](auto& p) { p.setValue(value); });
  };
  const auto real = [](double value) {
    return property<TLDoubleTypedProperty>("d", [&](auto& p) { p.setValue(value); });
  };
  const auto date = [](std::optional<Date> value) {
    return property<TLDateTimeTypedProperty>("t", [&](auto& p) { p.setValue(value); });
  };
  const auto flag = [](bool value) {
    return property<TLBooleanTypedProperty>("b", [&](auto& p) { p.setValue(value); });
  };
  const struct {
    const char* name;
    std::shared_ptr<TLTypedProperty> a, b;
    bool equal;
  } cases[] = {
      {"strings named apart", string("a", "x"), string("b", "x"), true},
      {"strings with other values", string("a", "x"), string("a", "y"), false},
      {"string without value", string("a", std::nullopt), string("a", "x"), false},
      {"string and long of one name", string("a", "1"), number("a", 1), false},
      {"longs", number("a", 1), number("b", 1), true},
      {"longs apart", number("a", 1), number("a", 2), false},
      {"doubles", real(1.5), real(1.5), true},
      {"NaN", real(std::nan("")), real(std::nan("")), false},
      {"dates", date(kTime), date(kTime), true},
      {"date and none", date(kTime), date(std::nullopt), false},
      {"Booleans apart", flag(true), flag(false), false},
      {"long and double of one value", number("a", 0), real(0), false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.a->isEqual(*c.b), c.equal) << c.name;
    EXPECT_EQ(c.b->isEqual(*c.a), c.equal) << c.name;
  }
}

TEST(TLTypedPropertyTest, EveryKindSurvivesArchivingWithItsName) {
  const std::shared_ptr<TLTypedProperty> properties[] = {
      property<TLStringTypedProperty>("s", [](auto& p) { p.setValue("text"); }),
      property<TLStringTypedProperty>("empty"),
      property<TLBooleanTypedProperty>("b", [](auto& p) { p.setValue(true); }),
      property<TLLongTypedProperty>("l", [](auto& p) { p.setValue(std::numeric_limits<std::int64_t>::min()); }),
      property<TLDoubleTypedProperty>("d", [](auto& p) { p.setValue(0.1); }),
      property<TLDateTimeTypedProperty>("t", [](auto& p) { p.setValue(kTime); }),
      property<TLDateTimeTypedProperty>("none"),
  };
  for (const auto& original : properties) {
    const auto copy = test::archiveRoundTrip(original, "TLTypedProperty");
    ASSERT_TRUE(copy) << jsonOf(*original);
    const auto& copyObject = *copy;
    const auto& originalObject = *original;
    EXPECT_EQ(typeid(copyObject), typeid(originalObject));
    EXPECT_TRUE(copy->isEqual(*original)) << jsonOf(*original);
    EXPECT_EQ(jsonOf(*copy), jsonOf(*original));  // name included
  }

  // What was stored comes back as stored: the kind's own type is not put back in.
  auto retyped = property<TLLongTypedProperty>("l");
  retyped->setType("custom");
  EXPECT_EQ(test::archiveRoundTrip(retyped, "TLLongTypedProperty")->type(), "custom");
}

}  // namespace
