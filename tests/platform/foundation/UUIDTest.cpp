#include <gtest/gtest.h>

#include <set>
#include <string>

#include "platform/foundation/RegularExpression.h"
#include "platform/foundation/UUID.h"

using foundation::UUID;

namespace {

TEST(UUID, RandomTextIsUpperCaseVersion4) {
  auto shape = foundation::RegularExpression::create(
      "^[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}$");
  ASSERT_NE(shape, nullptr);
  std::set<std::string> seen;
  for (int i = 0; i < 1000; ++i) {
    const std::string text = UUID().UUIDString();
    ASSERT_EQ(shape->numberOfMatches(text), 1u) << text;
    seen.insert(text);
  }
  EXPECT_EQ(seen.size(), 1000u);
}

TEST(UUID, ParsesAndWritesBack) {
  const auto parsed = UUID::fromString("00112233-4455-6677-8899-aabbccddeeFF");
  ASSERT_TRUE(parsed.has_value());
  const UUID::Bytes expected = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77,
                                0x88, 0x99, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF};
  EXPECT_EQ(parsed->bytes(), expected);
  EXPECT_EQ(parsed->UUIDString(), "00112233-4455-6677-8899-AABBCCDDEEFF");
  const UUID random;
  EXPECT_EQ(UUID::fromString(random.UUIDString()), random);
}

TEST(UUID, RejectsMalformedText) {
  for (const char* text : {
           "",
           "00112233-4455-6677-8899-AABBCCDDEEF",     // 35 characters
           "00112233-4455-6677-8899-AABBCCDDEEFF0",   // 37 characters
           "0011223344556677-8899-AABBCCDDEEFF-00",   // hyphens misplaced
           "00112233-4455-6677-8899+AABBCCDDEEFF",    // wrong separator
           "0011223G-4455-6677-8899-AABBCCDDEEFF",    // not hexadecimal
           "{00112233-4455-6677-8899-AABBCCDDEE}",    // braces
           "not a uuid at all, but 36 chars long",
       }) {
    EXPECT_FALSE(UUID::fromString(text).has_value()) << text;
  }
}

}  // namespace
