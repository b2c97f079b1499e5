#include "platform/foundation/PropertyListSerialization.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <string>

#include "platform/foundation/FileManager.h"

namespace {

using foundation::Array;
using foundation::Data;
using foundation::Date;
using foundation::Dictionary;
using foundation::Error;
using foundation::PropertyListFormat;
using foundation::PropertyListSerialization;
using foundation::Value;

Data bytes(const std::string& text) { return Data(text.begin(), text.end()); }

std::optional<Value> read(const Data& data, Error* error = nullptr, PropertyListFormat* format = nullptr) {
  return PropertyListSerialization::propertyListWithData(data, 0, format, error);
}

Data write(const Value& value, PropertyListFormat format) {
  Error error;
  auto data = PropertyListSerialization::dataWithPropertyList(value, format, 0, &error);
  EXPECT_TRUE(data) << error.description();
  return data.value_or(Data());
}

// A binary property list of `depth` arrays, each holding the next one (object i refers to i+1).
Data nestedBinary(std::size_t depth) {
  Data out = bytes("bplist00");
  std::vector<std::uint32_t> offsets;
  for (std::size_t i = 0; i < depth; ++i) {
    offsets.push_back(static_cast<std::uint32_t>(out.size()));
    if (i + 1 < depth) {
      out.push_back(0xA1);
      for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<std::uint8_t>((i + 1) >> shift));
    } else {
      out.push_back(0xA0);
    }
  }
  const std::uint64_t table = out.size();
  for (std::uint32_t offset : offsets) {
    for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<std::uint8_t>(offset >> shift));
  }
  Data trailer(32, 0);
  trailer[6] = 4;  // offset size
  trailer[7] = 4;  // reference size
  for (int i = 0; i < 8; ++i) {
    trailer[8 + i] = static_cast<std::uint8_t>(static_cast<std::uint64_t>(depth) >> (56 - 8 * i));
    trailer[24 + i] = static_cast<std::uint8_t>(table >> (56 - 8 * i));
  }
  out.insert(out.end(), trailer.begin(), trailer.end());
  return out;
}

const Value& sample() {
  static const Value value(Dictionary{
      {"flag", true},
      {"off", false},
      {"one", 1},
      {"zero", 0},
      {"negative", -42},
      {"large", 9007199254740993LL},
      {"ratio", 0.1},
      {"name", "h\u00f4te \U0001F600 <&>"},
      {"blob", Data{0, 1, 2, 255}},
      {"nested", Array{Dictionary{{"k", Array{}}}, Array{1.5, "x"}, Dictionary{}}},
  });
  return value;
}

TEST(PropertyListSerializationTest, RoundTripsKeepTypesInBothFormats) {
  for (PropertyListFormat format : {PropertyListFormat::XML, PropertyListFormat::Binary}) {
    PropertyListFormat found = PropertyListFormat::OpenStep;
    auto back = read(write(sample(), format), nullptr, &found);
    ASSERT_TRUE(back);
    EXPECT_EQ(found, format);
    EXPECT_EQ(*back, sample());
    EXPECT_EQ((*back)["flag"].type(), Value::Type::Bool);
    EXPECT_EQ((*back)["off"].type(), Value::Type::Bool);
    EXPECT_EQ((*back)["one"].type(), Value::Type::Int);
    EXPECT_EQ((*back)["zero"].type(), Value::Type::Int);
    EXPECT_EQ((*back)["ratio"].type(), Value::Type::Double);
    EXPECT_EQ((*back)["large"].intValue(), 9007199254740993LL);
    EXPECT_EQ(back->dictionaryValue().keys(), sample().dictionaryValue().keys());
  }
}

TEST(PropertyListSerializationTest, DatesKeepFractionsInBinaryAndSecondsInXML) {
  // XML keeps whole seconds, cut toward the reference date.
  struct Case { double seconds; double xmlSeconds; };
  const Case cases[] = {{818633401.25, 818633401.0}, {-100.25, -100.0}, {-3e8 - 0.5, -3e8}, {0.000001, 0.0},
                        {12.999999, 12.0}};
  for (const Case& c : cases) {
    const Value value(Array{Date::fromTimeIntervalSinceReferenceDate(c.seconds)});
    auto binary = read(write(value, PropertyListFormat::Binary));
    ASSERT_TRUE(binary);
    EXPECT_NEAR((*binary)[0].dateValue().timeIntervalSinceReferenceDate(), c.seconds, 1e-6) << c.seconds;
    auto xml = read(write(value, PropertyListFormat::XML));
    ASSERT_TRUE(xml);
    EXPECT_EQ((*xml)[0].dateValue().timeIntervalSinceReferenceDate(), c.xmlSeconds) << c.seconds;
  }
}

TEST(PropertyListSerializationTest, ReadsAHandWrittenXMLFile) {
  auto data = foundation::FileManager::defaultManager().contentsAtPath(QM_TEST_FIXTURES "/Settings.xml.plist");
  ASSERT_TRUE(data);
  auto value = read(*data);
  ASSERT_TRUE(value);
  const Value& v = *value;
  EXPECT_EQ(v["Enabled"].type(), Value::Type::Bool);
  EXPECT_TRUE(v["Enabled"].boolValue());
  EXPECT_EQ(v["Hidden"].type(), Value::Type::Bool);
  EXPECT_EQ(v["Count"].type(), Value::Type::Int);
  EXPECT_EQ(v["Count"].intValue(), 42);
  EXPECT_EQ(v["Offset"].intValue(), -3);
  EXPECT_EQ(v["Ratio"].doubleValue(), 0.25);
  EXPECT_EQ(v["Name"].stringValue(), "Caf\u00e9 & h\u00f4tes");
  EXPECT_EQ(v["Updated"].dateValue(), *Date::fromISO8601("2026-12-09T22:10:01Z"));
  EXPECT_EQ(v["Blob"].dataValue(), (Data{0, 1, 2, 255}));
  EXPECT_EQ(v["Groups"][0]["Title"].stringValue(), "Work");
  EXPECT_EQ(v["Groups"][1].stringValue(), "Home");
  EXPECT_TRUE(v["Empty"].isDictionary());
  // A byte-order mark in front is allowed.
  Data marked = bytes("\xEF\xBB\xBF");
  marked.insert(marked.end(), data->begin(), data->end());
  EXPECT_EQ(read(marked), value);
}

TEST(PropertyListSerializationTest, MalformedInputIsAnError) {
  Data binary = write(sample(), PropertyListFormat::Binary);
  struct Case { const char* name; Data data; long code; };
  const Case cases[] = {
      {"empty", {}, 3840},
      {"text", bytes("hello"), 3840},
      {"openstep", bytes("{ a = b; }"), 3840},
      {"truncated binary", Data(binary.begin(), binary.begin() + 20), 3840},
      {"unknown version", bytes("bplist15\x01\x02"), 3841},
      {"truncated xml", bytes("<?xml version=\"1.0\"?><plist><dict><key>a</key>"), 3840},
      {"cycle", Data{'b', 'p', 'l', 'i', 's', 't', '0', '0', 0xA1, 0x00, 0x08, 0, 0, 0, 0, 0, 0, 1, 1,
                     0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 10},
       3840},
      // {"a\0b": "c\0d"}: the library cannot hand such strings out safely.
      {"NUL in binary string", Data{'b', 'p', 'l', 'i', 's', 't', '0', '0', 0xD1, 0x01, 0x02, 0x53, 'a', 0, 'b',
                                    0x53, 'c', 0, 'd', 8, 11, 15, 0, 0, 0, 0, 0, 0, 1, 1, 0, 0, 0, 0, 0, 0, 0, 3,
                                    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 19},
       3840},
  };
  for (const Case& c : cases) {
    Error error;
    EXPECT_FALSE(read(c.data, &error)) << c.name;
    EXPECT_EQ(error.domain(), foundation::kCocoaErrorDomain) << c.name;
    EXPECT_EQ(error.code(), c.code) << c.name;
  }
}

TEST(PropertyListSerializationTest, DamagedBytesNeverCrash) {
  std::mt19937 random(7);
  for (PropertyListFormat format : {PropertyListFormat::Binary, PropertyListFormat::XML}) {
    const Data original = write(sample(), format);
    for (int round = 0; round < 3000; ++round) {
      Data damaged = original;
      for (int k = 0; k < 3; ++k) damaged[random() % damaged.size()] = static_cast<std::uint8_t>(random());
      damaged.resize(damaged.size() - random() % 8);
      Error error;
      if (!read(damaged, &error)) {
        EXPECT_EQ(error.domain(), foundation::kCocoaErrorDomain);
      }
    }
  }
}

TEST(PropertyListSerializationTest, DeepNestingIsRefusedNotOverflowed) {
  std::string xml = "<plist>";
  for (int i = 0; i < 100000; ++i) xml += "<array>";
  for (int i = 0; i < 100000; ++i) xml += "</array>";
  xml += "</plist>";
  Error error;
  EXPECT_FALSE(read(bytes(xml), &error));
  EXPECT_EQ(error.code(), foundation::kPropertyListReadCorruptError);

  EXPECT_FALSE(read(nestedBinary(100000), &error));
  EXPECT_EQ(error.code(), foundation::kPropertyListReadCorruptError);
  auto shallow = read(nestedBinary(3));
  ASSERT_TRUE(shallow);
  // Each level spelled as a Value: a braced array of one array is a copy to some compilers.
  EXPECT_EQ(*shallow, Value(Array{Value(Array{Value(Array{})})}));
}

TEST(PropertyListSerializationTest, InvalidValuesAreRefusedWithAnError) {
  struct Case { const char* name; Value value; PropertyListFormat format; };
  const Case cases[] = {
      {"null", Value(), PropertyListFormat::Binary},
      {"null inside", Array{1, Value()}, PropertyListFormat::XML},
      {"object", Dictionary{{"o", Value(std::make_shared<foundation::Object>())}}, PropertyListFormat::Binary},
      {"unsigned beyond signed", Array{Value(std::numeric_limits<std::uint64_t>::max())}, PropertyListFormat::Binary},
      {"date too late", Array{Date::distantFuture()}, PropertyListFormat::Binary},
      {"invalid UTF-8", Array{std::string("\xFF")}, PropertyListFormat::Binary},
      {"NUL in string", Array{std::string("a\0b", 3)}, PropertyListFormat::Binary},
      {"control character in XML", Array{"bell\x07"}, PropertyListFormat::XML},
      {"OpenStep", Array{1}, PropertyListFormat::OpenStep},
  };
  for (const Case& c : cases) {
    Error error;
    EXPECT_FALSE(PropertyListSerialization::dataWithPropertyList(c.value, c.format, 0, &error)) << c.name;
    EXPECT_EQ(error.domain(), foundation::kCocoaErrorDomain) << c.name;
    EXPECT_EQ(error.code(), foundation::kPropertyListWriteStreamError) << c.name;
    EXPECT_FALSE(PropertyListSerialization::propertyListIsValidForFormat(c.value, c.format)) << c.name;
  }
  // Binary keeps what XML cannot hold.
  const Value bell(Array{"bell\x07"});
  EXPECT_EQ(read(write(bell, PropertyListFormat::Binary)), bell);
  EXPECT_TRUE(PropertyListSerialization::propertyListIsValidForFormat(sample(), PropertyListFormat::XML));
}

TEST(PropertyListSerializationTest, ReferenceDictionariesTravelAsUIDs) {
  const Value uid(Dictionary{{"CF$UID", 7}});
  const Value notUID(Dictionary{{"CF$UID", -1}});  // negative: an ordinary dictionary
  const Value value(Array{uid, notUID, Dictionary{{"CF$UID", 1}, {"other", 2}}});
  for (PropertyListFormat format : {PropertyListFormat::Binary, PropertyListFormat::XML}) {
    const Data data = write(value, format);
    EXPECT_EQ(read(data), value);
    if (format == PropertyListFormat::Binary) {
      // Exactly one object is a UID (type nibble 8, one byte of 7).
      const std::string text(data.begin(), data.end());
      EXPECT_NE(text.find(std::string("\x80\x07", 2)), std::string::npos);
    }
  }
}

}  // namespace
