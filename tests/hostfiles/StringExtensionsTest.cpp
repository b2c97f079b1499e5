#include <gtest/gtest.h>

#include <string>

#include "hostfiles/StringExtended.h"
#include "platform/foundation/String.h"

namespace {

struct Case {
  const char* text;
  bool expected;
};

// Each text is judged in both forms, which take different paths for non-ASCII text.
template <typename Test16, typename Test8>
void expectBothForms(std::initializer_list<Case> cases, Test16 test16, Test8 test8) {
  for (const auto& c : cases) {
    EXPECT_EQ(test8(std::string_view(c.text)), c.expected) << c.text;
    EXPECT_EQ(test16(std::u16string_view(foundation::utf16(c.text))), c.expected) << c.text;
  }
}

TEST(StringExtensionsTest, HoldsHexadecimalValue) {
  expectBothForms(
      {
          {"", true},
          {"0123456789abcdef", true},
          {"0123456789ABCDEF", true},
          {"aBc9", true},
          {"abcg", false},
          {"12 3", false},
          {" ", false},
          {"\xef\xbd\x86", false},  // full-width "f" lower-cases to itself, not to "f"
          {"\xc4\xb0", false},      // "İ" lower-cases to two units
          {"a\xc4\xb0", false},
          {"\xe2\x84\xaa", false},  // the Kelvin sign lower-cases to "k"
      },
      [](std::u16string_view s) { return StringExtended::holdsHexadecimalValue(s); },
      [](std::string_view s) { return StringExtended::holdsHexadecimalValue(s); });
}

TEST(StringExtensionsTest, HoldsIntegerValueTakesEveryScriptsDecimalDigits) {
  expectBothForms(
      {
          {"", false},
          {"0", true},
          {"0123456789", true},
          {"\xd9\xa1\xd9\xa2\xd9\xa3", true},  // Arabic-Indic 1 2 3
          {"\xe0\xa5\xa7" "2", true},          // Devanagari 1 then ASCII 2
          {"12a", false},
          {" 1", false},
          {"-1", false},
          {"1.5", false},
          {"\xe2\x85\xa0", false},             // Roman numeral one is a number, not a digit
          {"\xf0\x9d\x9f\x8e", false},         // a digit outside the BMP: two non-digit units
      },
      [](std::u16string_view s) { return StringExtended::holdsIntegerValue(s); },
      [](std::string_view s) { return StringExtended::holdsIntegerValue(s); });
}

TEST(StringExtensionsTest, TrimRemovesWhiteSpaceAndLineEndsAtBothEnds) {
  struct TrimCase {
    const char* text;
    const char* trimmed;
  } cases[] = {
      {"", ""},
      {"  a b \n", "a b"},
      {"\r\n\t x\xc2\xa0\xe2\x80\xa8", "x"},
      {"\xe3\x80\x80\xe5\x85\xa8\xe3\x80\x80", "\xe5\x85\xa8"},
      {" \n\t ", ""},
      {"\xe2\x80\x8bzero-width\xe2\x80\x8b", "\xe2\x80\x8bzero-width\xe2\x80\x8b"},  // not white space
  };
  for (const auto& c : cases) EXPECT_EQ(StringExtended::trim(c.text), c.trimmed) << c.text;
}

}  // namespace
