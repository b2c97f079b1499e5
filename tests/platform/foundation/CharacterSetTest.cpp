#include <gtest/gtest.h>

#include <vector>

#include "platform/foundation/CharacterSet.h"

using foundation::CharacterSet;

namespace {

TEST(CharacterSet, Membership) {
  struct Case {
    const char* set;
    CharacterSet characters;
    char32_t c;
    bool member;
  };
  const auto digits = CharacterSet::decimalDigit();
  const auto space = CharacterSet::whitespace();
  const auto spaceNL = CharacterSet::whitespaceAndNewline();
  const auto nl = CharacterSet::newline();
  const auto letters = CharacterSet::letters();
  const auto alnum = CharacterSet::alphanumeric();
  const auto custom = CharacterSet::withCharactersInString(".:\u00E9\U0001F600");
  const std::vector<Case> cases = {
      {"digit", digits, U'7', true},
      {"digit", digits, U'a', false},
      {"digit", digits, U'\u0663', true},   // Arabic-Indic three
      {"digit", digits, U'\uFF15', true},   // fullwidth five
      {"digit", digits, U'\u00B2', false},  // superscript two is not a decimal digit
      {"digit", digits, U'\u2163', false},  // Roman numeral four
      {"digit", digits, U'\U0001D7D8', true},  // mathematical double-struck zero
      {"space", space, U' ', true},
      {"space", space, U'\t', true},
      {"space", space, U'\n', false},
      {"space", space, U'\u00A0', true},
      {"space", space, U'\u3000', true},
      {"space+nl", spaceNL, U'\n', true},
      {"space+nl", spaceNL, U'\r', true},
      {"space+nl", spaceNL, U'\v', true},
      {"space+nl", spaceNL, U'\u0085', true},
      {"space+nl", spaceNL, U'\u2028', true},
      {"space+nl", spaceNL, U'x', false},
      {"space+nl", spaceNL, U'\u200B', false},  // zero-width space is a format character
      {"newline", nl, U'\n', true},
      {"newline", nl, U'\u2029', true},
      {"newline", nl, U' ', false},
      {"letters", letters, U'a', true},
      {"letters", letters, U'\u0301', true},
      {"letters", letters, U'1', false},
      {"alnum", alnum, U'1', true},
      {"alnum", alnum, U'\u00B2', true},
      {"alnum", alnum, U'_', false},
      {"custom", custom, U'.', true},
      {"custom", custom, U'\u00E9', true},
      {"custom", custom, U'\U0001F600', true},
      {"custom", custom, U'e', false},
      {"range", CharacterSet::withRange(U'a', U'f'), U'f', true},
      {"range", CharacterSet::withRange(U'a', U'f'), U'g', false},
      {"inverted", digits.inverted(), U'a', true},
      {"inverted", digits.inverted(), U'5', false},
      {"union", digits.unionWith(custom), U'.', true},
      {"union", digits.unionWith(custom), U'9', true},
      {"empty", CharacterSet(), U'a', false},
      {"beyond Unicode", digits.inverted(), static_cast<char32_t>(0x110000), false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.characters.longCharacterIsMember(c.c), c.member)
        << c.set << " U+" << std::hex << static_cast<unsigned>(c.c);
  }
}

TEST(CharacterSet, UnitMembershipTreatsSurrogatesAsCodePoints) {
  const auto digits = CharacterSet::decimalDigit();
  EXPECT_TRUE(digits.characterIsMember(u'5'));
  EXPECT_TRUE(digits.characterIsMember(u'\u0663'));
  EXPECT_FALSE(digits.characterIsMember(static_cast<char16_t>(0xD835)));  // lead of U+1D7D8
  EXPECT_TRUE(digits.inverted().characterIsMember(static_cast<char16_t>(0xD835)));
}

TEST(CharacterSet, CopiesShareAndStayValid) {
  CharacterSet copy;
  {
    const auto custom = CharacterSet::withCharactersInString("#");
    copy = custom.inverted();
  }
  EXPECT_FALSE(copy.contains(U'#'));
  EXPECT_TRUE(copy.contains(U'x'));
}

}  // namespace
