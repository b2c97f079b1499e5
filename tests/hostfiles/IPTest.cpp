#include <gtest/gtest.h>

#include <ostream>
#include <string>

#include "hostfiles/IP.h"
#include "platform/foundation/String.h"

namespace foundation {
// Readable failure messages for ranges.
void PrintTo(const Range& range, std::ostream* out) { *out << "{" << range.location << ", " << range.length << "}"; }
}  // namespace foundation

namespace {

using foundation::Range;

// A text examined as a whole, with the verdict expected.
struct Case {
  const char* text;
  bool version4;
  bool version6;
  Range invalid;  // relative to the examined range
};

constexpr Range kWhole{0, foundation::NotFound};  // stands for "the whole range" in the tables

void expectVerdicts(std::initializer_list<Case> cases) {
  for (const auto& c : cases) {
    IP ip{std::string_view(c.text)};
    const std::size_t length = ip.contents().size();
    ip.setRange({0, length});
    Range expected = c.invalid == kWhole ? Range{0, length} : c.invalid;
    EXPECT_EQ(ip.isVersion4(), c.version4) << c.text;
    EXPECT_EQ(ip.isVersion6(), c.version6) << c.text;
    EXPECT_EQ(ip.invalidRange(), expected) << c.text;
    EXPECT_EQ(ip.isValid(), expected.length == 0) << c.text;
  }
}

TEST(IPTest, FreshValidatorHasNoVerdict) {
  IP ip{std::string_view("1.2.3.4")};
  EXPECT_FALSE(ip.isVersion4());
  EXPECT_FALSE(ip.isVersion6());
  EXPECT_EQ(ip.invalidRange(), (Range{0, 0}));
  EXPECT_TRUE(ip.isValid());
}

TEST(IPTest, VersionFourIsFourPartsOfAtMostThreeDigitsUpTo255) {
  expectVerdicts({
      {"1.2.3.4", true, false, {0, 0}},
      {"255.255.255.255", true, false, {0, 0}},
      {"001.002.003.004", true, false, {0, 0}},
      {"10.0.0.01", true, false, {0, 0}},
      {"255.255.255.256", false, false, kWhole},
      {"300.1.1.1", false, false, kWhole},
      {"1.2.3", false, false, kWhole},
      {"1.2.3.4.5", false, false, kWhole},
      {".1.2.3.4", false, false, kWhole},
      {"1.2.3.4.", false, false, kWhole},
      {"1..2.3.4", false, false, kWhole},
      {"1.2.3.1234", false, false, kWhole},
      {"1.2.3.a", false, false, kWhole},
      {"1.2.3.4 ", false, false, kWhole},
      {"1.2.3.4\r", false, false, kWhole},  // a carriage return is no digit
      {"", false, false, {0, 0}},
  });
}

TEST(IPTest, VersionFourTakesOnlyASCIIDigits) {
  // Other scripts' digits are decimal digits to the platform, but their code minus "0" is no
  // part value: they must not pass as an address.
  expectVerdicts({
      {"\xd9\xa1.\xd9\xa2.\xd9\xa3.\xd9\xa4", false, false, kWhole},  // Arabic-Indic 1.2.3.4
      {"1.2.3.\xef\xbc\x94", false, false, kWhole},                   // full-width 4
      {"\xe0\xa5\xa7\xe0\xa5\xa8\xe0\xa5\xa9.1.1.1", false, false, kWhole},
  });
}

TEST(IPTest, VersionSixAcceptsFullAndCompressedShapes) {
  expectVerdicts({
      {"0:0:0:0:0:0:0:1", false, true, {0, 0}},
      {"2001:DB8:0:0:8:800:200C:417A", false, true, {0, 0}},
      {"1111:2222:3333:4444:5555:6666:7777:8888", false, true, {0, 0}},  // 39 characters
      {"::1", false, true, {0, 0}},
      {"::", false, true, {0, 0}},
      {"fe80::", false, true, {0, 0}},
      {"1:2:3:4:5:6::7", false, true, {0, 0}},
      {"fe80::1%lo0", false, true, {0, 0}},
      {"fe80::1%anything at all, really", false, true, {0, 0}},
  });
}

TEST(IPTest, VersionSixRejectsWrongShapesAsAWhole) {
  expectVerdicts({
      {"1:2:3:4:5:6:7", false, false, kWhole},
      {"1:2:3:4:5:6:7:8:9", false, false, kWhole},
      {"1:2:3:4:5:6:7::8", false, false, kWhole},
      {"1::2::3", false, false, kWhole},
      {"1111:2222:3333:4444:5555:6666:7777:8888:", false, false, kWhole},  // 40 characters
      {"fe80::1%" "01234567890123456789012345678901", false, false, kWhole},  // the length rule comes first
      {"zz::yy", false, false, kWhole},
      {"1:zz:3:4:5:6:7:yy", false, false, kWhole},
  });
}

TEST(IPTest, OneBadVersionSixGroupIsPointedOut) {
  expectVerdicts({
      {"1:2:zz:4:5:6:7:8", false, true, {4, 2}},
      {"1::12345", false, true, {3, 5}},
      {"abcd::efgh", false, true, {6, 4}},
      {"a:b::c:zz", false, true, {7, 2}},
      {"1:2:3:4:5:6:7:8g", false, true, {14, 2}},
      {"::1\r", false, true, {2, 2}},
      {"::\xef\xbd\x86", false, true, {2, 1}},       // full-width "f"
      {"1::\xf0\x9f\x98\x80", false, true, {3, 2}},  // outside the BMP: two units
  });
}

TEST(IPTest, RangesAreRelativeToTheExaminedStretch) {
  IP ip{std::string_view("\xc3\xa9  fe80::zz host")};  // "é" is one unit
  ip.setRange({3, 8});
  EXPECT_TRUE(ip.isVersion6());
  EXPECT_EQ(ip.invalidRange(), (Range{6, 2}));

  ip.setRange({3, 4});  // "fe80": no colon at all, so not an address; the earlier flag is cleared
  EXPECT_FALSE(ip.isVersion6());
  EXPECT_EQ(ip.invalidRange(), (Range{0, 4}));

  IP line{std::string_view("10.0.0.1 host")};
  line.setRange({0, 8});
  EXPECT_TRUE(line.isVersion4());
  EXPECT_TRUE(line.isValid());
  line.setRange({0, 100});  // past the end: clipped to the text, which is not an address
  EXPECT_FALSE(line.isVersion4());
  EXPECT_EQ(line.invalidRange(), (Range{0, 13}));
}

TEST(IPTest, TheTwoChecksCanBeAskedDirectly) {
  IP ip{std::string_view("1.2.3.4 ::1")};
  EXPECT_EQ(ip.invalidVersion4Range({8, 3}), (Range{0, 3}));
  EXPECT_FALSE(ip.isVersion4());
  EXPECT_EQ(ip.invalidVersion4Range({0, 7}), (Range{0, 0}));
  EXPECT_TRUE(ip.isVersion4());
  EXPECT_EQ(ip.invalidVersion6Range({8, 3}), (Range{0, 0}));
  EXPECT_TRUE(ip.isVersion6());
}

}  // namespace
