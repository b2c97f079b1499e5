#include "platform/foundation/PropertyListSerialization.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <ctime>
#include <limits>
#include <random>
#include <string>

#include "platform/foundation/FileManager.h"
#include "tests/support/SharedArrays.h"

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

Data fromHex(const std::string& hex) {
  Data out;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2) out.push_back(static_cast<std::uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
  return out;
}

std::string debugDescription(const Error& error) {
  return error.userInfo().get(foundation::kDebugDescriptionErrorKey).stringValue();
}

// Equality that Value's own (numbers by value) is too lenient for: the same types, doubles and
// dates to the bit (so -0.0 is not 0.0), dictionaries in the same order.
::testing::AssertionResult same(const Value& a, const Value& b, const std::string& at = "top") {
  if (a.type() != b.type()) return ::testing::AssertionFailure() << at << ": types differ";
  const auto bits = [](double d) {
    std::uint64_t u;
    std::memcpy(&u, &d, sizeof u);
    return u;
  };
  switch (a.type()) {
    case Value::Type::Double:
      if (bits(a.doubleValue()) != bits(b.doubleValue())) {
        return ::testing::AssertionFailure() << at << ": " << a.doubleValue() << " vs " << b.doubleValue();
      }
      return ::testing::AssertionSuccess();
    case Value::Type::Date:
      if (bits(a.dateValue().timeIntervalSinceReferenceDate()) != bits(b.dateValue().timeIntervalSinceReferenceDate())) {
        return ::testing::AssertionFailure() << at << ": dates " << a.dateValue().timeIntervalSinceReferenceDate()
                                             << " vs " << b.dateValue().timeIntervalSinceReferenceDate();
      }
      return ::testing::AssertionSuccess();
    case Value::Type::Array: {
      if (a.arrayValue().size() != b.arrayValue().size()) return ::testing::AssertionFailure() << at << ": lengths differ";
      for (std::size_t i = 0; i < a.arrayValue().size(); ++i) {
        auto result = same(a[i], b[i], at + "[" + std::to_string(i) + "]");
        if (!result) return result;
      }
      return ::testing::AssertionSuccess();
    }
    case Value::Type::Dictionary: {
      if (a.dictionaryValue().keys() != b.dictionaryValue().keys()) return ::testing::AssertionFailure() << at << ": keys differ";
      for (const auto& [key, element] : a.dictionaryValue()) {
        auto result = same(element, b[key], at + "." + key);
        if (!result) return result;
      }
      return ::testing::AssertionSuccess();
    }
    default:
      if (a != b) return ::testing::AssertionFailure() << at << ": " << a.description() << " vs " << b.description();
      return ::testing::AssertionSuccess();
  }
}

Value date(double sinceReferenceDate) { return Value(Date::fromTimeIntervalSinceReferenceDate(sinceReferenceDate)); }

// A date to the microsecond, as datetime.isoformat writes it ("2000-12-31T23:59:59.500000").
std::string microsecondText(const Date& date) {
  const double micros = std::nearbyint(date.timeIntervalSince1970() * 1e6);
  auto seconds = static_cast<std::time_t>(std::floor(micros / 1e6));
  const auto fraction = static_cast<long>(micros - static_cast<double>(seconds) * 1e6);
  std::tm parts{};
  gmtime_r(&seconds, &parts);
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%04d-%02d-%02dT%02d:%02d:%02d.%06ld", parts.tm_year + 1900, parts.tm_mon + 1,
                parts.tm_mday, parts.tm_hour, parts.tm_min, parts.tm_sec, fraction);
  return buffer;
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

TEST(PropertyListSerializationTest, DatesKeepTheirDoubleInBinaryAndWholeSecondsInXML) {
  // XML keeps the whole second at or before the instant, as the platform writes it.
  struct Case { double seconds; double xmlSeconds; };
  const Case cases[] = {{818633401.25, 818633401.0}, {-100.25, -101.0}, {-3e8 - 0.5, -3e8 - 1}, {0.000001, 0.0},
                        {12.999999, 12.0}, {-0.5, -1.0}, {1.0 / 3, 0.0}};
  for (const Case& c : cases) {
    const Value value(Array{date(c.seconds)});
    auto binary = read(write(value, PropertyListFormat::Binary));
    ASSERT_TRUE(binary);
    EXPECT_TRUE(same(*binary, value)) << c.seconds;
    auto xml = read(write(value, PropertyListFormat::XML));
    ASSERT_TRUE(xml);
    EXPECT_TRUE(same(*xml, Value(Array{date(c.xmlSeconds)}))) << c.seconds;
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
  // A byte-order mark in front is allowed, and so is white space before the declaration.
  for (const char* front : {"\xEF\xBB\xBF", "\n  ", "\xEF\xBB\xBF\r\n"}) {
    Data marked = bytes(front);
    marked.insert(marked.end(), data->begin(), data->end());
    EXPECT_EQ(read(marked), value) << front;
  }
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
      {"offset table past the end", Data{'b', 'p', 'l', 'i', 's', 't', '0', '0', 0xA0, 8, 0, 0, 0, 0, 0, 0, 1, 1,
                                         0, 0, 0, 0, 0, 0, 0, 9, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 9},
       3840},
      {"xml text between elements", bytes("<plist><array>1</array></plist>"), 3840},
      {"xml key without value", bytes("<plist><dict><key>a</key></dict></plist>"), 3840},
      {"xml value without key", bytes("<plist><dict><true/></dict></plist>"), 3840},
      {"xml unknown element", bytes("<plist><set/></plist>"), 3840},
      {"xml two values", bytes("<plist><true/><false/></plist>"), 3840},
      {"xml element in a scalar", bytes("<plist><string>a<b/></string></plist>"), 3840},
      {"xml empty plist", bytes("<plist></plist>"), 3840},
      {"xml bad base64", bytes("<plist><data>A*==</data></plist>"), 3840},
      {"xml real that is no number", bytes("<plist><real>1.5x</real></plist>"), 3840},
  };
  for (const Case& c : cases) {
    Error error;
    EXPECT_FALSE(read(c.data, &error)) << c.name;
    EXPECT_EQ(error.domain(), foundation::kCocoaErrorDomain) << c.name;
    EXPECT_EQ(error.code(), c.code) << c.name;
    EXPECT_FALSE(debugDescription(error).empty()) << c.name;
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
      {"date that is no number", Array{date(std::nan(""))}, PropertyListFormat::Binary},
      {"infinite date in XML", Array{date(INFINITY)}, PropertyListFormat::XML},
      {"invalid UTF-8", Array{std::string("\xFF")}, PropertyListFormat::Binary},
      {"invalid UTF-8 key", Dictionary{{std::string("\xC0\x80"), 1}}, PropertyListFormat::Binary},
      {"NUL in XML", Array{std::string("a\0b", 3)}, PropertyListFormat::XML},
      {"NUL in an XML key", Dictionary{{std::string("a\0b", 3), 1}}, PropertyListFormat::XML},
      {"control character in XML", Array{"bell\x07"}, PropertyListFormat::XML},
      {"U+FFFF in XML", Array{"\uFFFF"}, PropertyListFormat::XML},
      {"XML date in year 10000", Array{date(252423993600.0)}, PropertyListFormat::XML},
      {"XML date before year 0", Array{date(-63145526401.0)}, PropertyListFormat::XML},
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
  const Value held(Array{"bell\x07", std::string("a\0b", 3), "\uFFFF", date(1e15),
                         Dictionary{{std::string("k\0", 2), 1}}});
  EXPECT_TRUE(same(read(write(held, PropertyListFormat::Binary)).value_or(Value()), held));
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

// Each file below is what Python 3.11's plistlib writes (dumps with sort_keys=False) for the value
// beside it, which is also what plistlib reads back; for dates, datetime's text of that reading.
// Reading gives that value exactly, and writing it gives the same bytes.
TEST(PropertyListSerializationTest, BinaryAgreesWithAnIndependentReaderAndWriter) {
  using U = unsigned long long;
  const Value uid0(Dictionary{{"CF$UID", 0}});
  struct Case {
    const char* name;
    const char* hex;
    Value value;
    const char* isoDate;  // the date plistlib reads, for the date cases
  };
  const Case cases[] = {
      {"1900",
       "62706c6973743030a10133c1e7bf48e0000000080a0000000000000101000000000000000200000000000000"
       "000000000000000013", Array{date(-3187296000.0)}, "1900-01-01T00:00:00.000000"},
      {"2100",
       "62706c6973743030a1013341e746d1d0000000080a0000000000000101000000000000000200000000000000"
       "000000000000000013", Array{date(3124137600.0)}, "2100-01-01T00:00:00.000000"},
      {"year 1",
       "62706c6973743030a10133c22d63c37f000000080a0000000000000101000000000000000200000000000000"
       "000000000000000013", Array{date(-63113904000.0)}, "0001-01-01T00:00:00.000000"},
      {"year 9999",
       "62706c6973743030a10133424d62d23c7f8000080a0000000000000101000000000000000200000000000000"
       "000000000000000013", Array{date(252423993599.0)}, "9999-12-31T23:59:59.000000"},
      {"half a second before 2001",
       "62706c6973743030a10133bfe0000000000000080a0000000000000101000000000000000200000000000000"
       "000000000000000013", Array{date(-0.5)}, "2000-12-31T23:59:59.500000"},
      {"a microsecond after 2001",
       "62706c6973743030a101333eb0c6f7a0b5ed8d080a0000000000000101000000000000000200000000000000"
       "000000000000000013", Array{date(1e-6)}, "2001-01-01T00:00:00.000001"},
      {"integers",
       "62706c6973743030a6010203040506100010ff11010013ffffffffffffffff137fffffffffffffff13800000"
       "0000000000080f1113161f280000000000000101000000000000000700000000000000000000000000000031",
       Array{0, 255, 256, -1, std::numeric_limits<long long>::max(), std::numeric_limits<long long>::min()}, nullptr},
      {"unsigned 64-bit integers",
       "62706c6973743030a201021400000000000000008000000000000000140000000000000000ffffffffffffff"
       "ff080b1c000000000000010100000000000000030000000000000000000000000000002d",
       Array{Value(U{1} << 63), Value(~U{0})}, nullptr},
      {"reals",
       "62706c6973743030a6010203040506238000000000000000233fb999999999999a237e37e43c8800759c2300"
       "00000000000001237ff000000000000023fff0000000000000080f18212a333c000000000000010100000000"
       "0000000700000000000000000000000000000045",
       Array{-0.0, 0.1, 1e300, 5e-324, INFINITY, -INFINITY}, nullptr},
      {"NUL in a string and a key",
       "62706c6973743030d10102546b00657953610062080b10000000000000010100000000000000030000000000"
       "0000000000000000000014",
       Dictionary{{std::string("k\0ey", 4), std::string("a\0b", 3)}}, nullptr},
      {"UTF-16 string",
       "62706c6973743030a10167006800f4007400650020d83dde00080a0000000000000101000000000000000200"
       "000000000000000000000000000019",
       Array{"h\u00f4te \U0001F600"}, nullptr},
      {"UIDs of 1 to 8 bytes",
       "62706c6973743030a401020304800080ff87000000010000000087ffffffffffffffff080d0f111a00000000"
       "00000101000000000000000500000000000000000000000000000023",
       Array{uid0, Dictionary{{"CF$UID", 255}}, Dictionary{{"CF$UID", Value(U{1} << 32)}},
             Dictionary{{"CF$UID", Value(~U{0})}}},
       nullptr},
      {"data and Booleans",
       "62706c6973743030a3010203430001ff0908080c101100000000000001010000000000000004000000000000"
       "00000000000000000012",
       Array{Data{0, 1, 255}, true, false}, nullptr},
      {"equal scalars shared",
       "62706c6973743030d30102030404055161516251635178a3060607100109080f111315171b1d000000000000"
       "010100000000000000080000000000000000000000000000001e",
       Dictionary{{"a", "x"}, {"b", "x"}, {"c", Array{1, 1, true}}}, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Data file = fromHex(c.hex);
    Error error;
    const auto value = read(file, &error);
    ASSERT_TRUE(value) << debugDescription(error);
    EXPECT_TRUE(same(*value, c.value));
    if (c.isoDate) {
      EXPECT_EQ(microsecondText((*value)[0].dateValue()), c.isoDate);
    }
    EXPECT_EQ(write(*value, PropertyListFormat::Binary), file);
  }
}

// What plistlib reads but a Value cannot hold, and what it refuses too: refused, naming the cause.
TEST(PropertyListSerializationTest, BinaryValuesBeyondAValueAreRefusedWithTheirCause) {
  struct Case {
    const char* name;
    const char* hex;
    const char* cause;
  };
  const Case cases[] = {
      // plistlib: [18446744073709551616]
      {"2^64",
       "62706c6973743030a1011400000000000000010000000000000000080a000000000000010100000000000000"
       "020000000000000000000000000000001b", "does not fit in 64 bits"},
      // plistlib: [-9223372036854775809]
      {"-2^63 - 1",
       "62706c6973743030a10114ffffffffffffffff7fffffffffffffff080a000000000000010100000000000000"
       "020000000000000000000000000000001b", "does not fit in 64 bits"},
      // plistlib: "Invalid file"
      {"unpaired surrogate",
       "62706c6973743030a10161d83d080a0000000000000101000000000000000200000000000000000000000000"
       "00000d", "unpaired surrogate"},
      // plistlib: [None]; a Value's null has no property-list form to write it back in.
      {"null object",
       "62706c6973743030a10100080a00000000000001010000000000000002000000000000000000000000000000"
       "0b", "null"},
      // plistlib: {7: 7}
      {"integer key",
       "62706c6973743030d101011007080b0000000000000101000000000000000200000000000000000000000000"
       "00000d", "key is not a string"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Error error;
    EXPECT_FALSE(read(fromHex(c.hex), &error));
    EXPECT_EQ(error.code(), foundation::kPropertyListReadCorruptError);
    EXPECT_NE(debugDescription(error).find(c.cause), std::string::npos) << debugDescription(error);
  }
}

// Each element below, inside <plist>, is what Python 3.11's plistlib reads as the value beside
// it. Reading gives that value exactly; writing it gives that element again (or the one in
// `written`, where the input is not the form this writer uses), in the document plistlib read.
TEST(PropertyListSerializationTest, XMLAgreesWithAnIndependentReader) {
  using U = unsigned long long;
  struct Case {
    const char* element;
    Value value;
    const char* written = nullptr;
  };
  const Case cases[] = {
      {"<integer>-9223372036854775808</integer>", std::numeric_limits<long long>::min()},
      {"<integer>9223372036854775807</integer>", std::numeric_limits<long long>::max()},
      {"<integer>9223372036854775808</integer>", Value(U{1} << 63)},
      {"<integer>18446744073709551615</integer>", Value(~U{0})},
      {"<integer>0x10</integer>", 16, "<integer>16</integer>"},
      {"<integer> 12 </integer>", 12, "<integer>12</integer>"},
      {"<string>a&#13;b</string>", "a\rb"},
      {"<string>a\rb</string>", "a\nb", "<string>a\nb</string>"},
      {"<string>a\r\nb</string>", "a\nb", "<string>a\nb</string>"},
      {"<string> \t</string>", " \t"},
      {"<dict>\n\t<key>line&#13;</key>\n\t<string>&lt;&amp;&gt;</string>\n</dict>", Dictionary{{"line\r", "<&>"}}},
      {"<real>-0.0</real>", -0.0},
      {"<real>0.0</real>", 0.0},
      {"<real>0.1</real>", 0.1},
      {"<real>1e+300</real>", 1e300},
      {"<real>5e-324</real>", 5e-324},
      {"<real>+infinity</real>", INFINITY},
      {"<real>-infinity</real>", -INFINITY},
      {"<real>nan</real>", std::numeric_limits<double>::quiet_NaN()},
      {"<date>1900-01-01T00:00:00Z</date>", date(-3187296000.0)},
      {"<date>2100-01-01T00:00:00Z</date>", date(3124137600.0)},
      {"<date>0001-01-01T00:00:00Z</date>", date(-63113904000.0)},
      {"<date>9999-12-31T23:59:59Z</date>", date(252423993599.0)},
      {"<date>1582-10-04T23:59:59Z</date>", date(-13198464001.0)},
      {"<date>2000-02-29T12:00:00Z</date>", date(-26481600.0)},
      {"<data>AAH/</data>", Data{0, 1, 255}},
      {"<dict>\n\t<key>CF$UID</key>\n\t<integer>4294967296</integer>\n</dict>", Dictionary{{"CF$UID", Value(U{1} << 32)}}},
      {"<array>\n\t<true/>\n\t<false/>\n</array>", Array{true, false}},
  };
  const std::string prologue =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
      "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" \"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
      "<plist version=\"1.0\">\n";
  for (const Case& c : cases) {
    SCOPED_TRACE(c.element);
    Error error;
    const auto value = read(bytes(prologue + c.element + "\n</plist>\n"), &error);
    ASSERT_TRUE(value) << debugDescription(error);
    EXPECT_TRUE(same(*value, c.value));
    const Data written = write(*value, PropertyListFormat::XML);
    EXPECT_EQ(std::string(written.begin(), written.end()), prologue + (c.written ? c.written : c.element) + "\n</plist>\n");
  }
}

// plistlib reads the first three as numbers of any size, and refuses the dates too.
TEST(PropertyListSerializationTest, XMLValuesBeyondAValueAreRefusedWithTheirCause) {
  struct Case {
    const char* element;
    const char* cause;
  };
  const Case cases[] = {
      {"<integer>-9223372036854775809</integer>", "outside the 64-bit range"},
      {"<integer>18446744073709551616</integer>", "outside the 64-bit range"},
      {"<integer>1180591620717411303424</integer>", "outside the 64-bit range"},
      {"<date>2021-02-29T00:00:00Z</date>", "does not exist"},
      {"<date>2020-02-30T00:00:00Z</date>", "does not exist"},
      {"<date>2016-12-31T23:59:60Z</date>", "does not exist"},
      {"<date>2016-12-31T23:59Z</date>", "of the form"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.element);
    Error error;
    EXPECT_FALSE(read(bytes(std::string("<plist version=\"1.0\">") + c.element + "</plist>"), &error));
    EXPECT_EQ(error.code(), foundation::kPropertyListReadCorruptError);
    EXPECT_NE(debugDescription(error).find(c.cause), std::string::npos) << debugDescription(error);
  }
}

std::size_t countIntegers(const Value& value) {
  if (!value.isArray()) return value == Value(7) ? 1 : 0;
  std::size_t count = 0;
  for (const Value& element : value.arrayValue()) count += countIntegers(element);
  return count;
}

TEST(PropertyListSerializationTest, SharedReferencesExpandOnlyWithinTheBudget) {
  // 2^12 integers from under 100 bytes are well within what any input may expand to.
  const auto small = read(test::sharedArraysPropertyList(12));
  ASSERT_TRUE(small);
  EXPECT_EQ(countIntegers(*small), 4096u);

  // 2^40 from about 200 bytes: refused after the first MiB or so, not after terabytes.
  const Data bomb = test::sharedArraysPropertyList(40);
  EXPECT_LT(bomb.size(), 210u);
  Error error;
  EXPECT_FALSE(read(bomb, &error));
  EXPECT_EQ(error.code(), foundation::kPropertyListReadCorruptError);
  EXPECT_NE(debugDescription(error).find("expands to far more than its own size"), std::string::npos)
      << debugDescription(error);
}

TEST(PropertyListSerializationTest, NestingLimitsAgreeBetweenWritersAndReaders) {
  const auto nested = [](int depth) {
    Value value(Array{});
    for (int i = 1; i < depth; ++i) value = Value(Array{std::move(value)});
    return value;
  };
  for (PropertyListFormat format : {PropertyListFormat::Binary, PropertyListFormat::XML}) {
    const Value deepest = nested(512);
    EXPECT_TRUE(same(read(write(deepest, format)).value_or(Value()), deepest));
    EXPECT_FALSE(PropertyListSerialization::propertyListIsValidForFormat(nested(513), format));
  }
  std::string xml = "<plist>";
  for (int i = 0; i < 513; ++i) xml += "<array>";
  for (int i = 0; i < 513; ++i) xml += "</array>";
  Error error;
  EXPECT_FALSE(read(bytes(xml + "</plist>"), &error));
  EXPECT_NE(debugDescription(error).find("Too many nested"), std::string::npos);
}

}  // namespace
