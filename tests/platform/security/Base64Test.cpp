#include "platform/security/Base64.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using security::Base64DecodingOptions;

foundation::Data bytes(const std::string& text) { return foundation::Data(text.begin(), text.end()); }

TEST(Base64, RfcVectorsRoundTrip) {
  const std::pair<std::string, std::string> vectors[] = {
      {"", ""},         {"f", "Zg=="},         {"fo", "Zm8="},         {"foo", "Zm9v"},
      {"foob", "Zm9vYg=="}, {"fooba", "Zm9vYmE="}, {"foobar", "Zm9vYmFy"},
  };
  for (const auto& [plain, encoded] : vectors) {
    EXPECT_EQ(security::base64EncodedString(plain), encoded);
    EXPECT_EQ(security::base64EncodedString(bytes(plain)), encoded);
    EXPECT_EQ(security::dataFromBase64(encoded), bytes(plain)) << encoded;
  }
  foundation::Data all(256);
  for (int i = 0; i < 256; ++i) all[i] = static_cast<std::uint8_t>(i);
  const std::string text = security::base64EncodedString(all);
  EXPECT_EQ(text.find_first_of("\r\n"), std::string::npos);
  EXPECT_EQ(security::dataFromBase64(text), all);
}

TEST(Base64, StrictDecodingRefusesWhatLenientDecodingSkips) {
  struct Case {
    const char* text;
    std::optional<std::string> strict;
    std::optional<std::string> lenient;
  };
  const Case cases[] = {
      {"Zm9v\nYmFy", std::nullopt, "foobar"},
      {"Zm9v\r\nYmFy\r\n", std::nullopt, "foobar"},
      {" Zg== ", std::nullopt, "f"},
      {"Zm9v*YmFy", std::nullopt, "foobar"},
      {"Zm9vYg=", std::nullopt, std::nullopt},   // not whole groups of four
      {"Zm9vY", std::nullopt, std::nullopt},
      {"Zg=a", std::nullopt, std::nullopt},      // padding inside the text
      {"Zm=9", std::nullopt, std::nullopt},
      {"====", std::nullopt, std::nullopt},
      {"Z===", std::nullopt, std::nullopt},
      {"\n", std::nullopt, ""},
  };
  for (const Case& c : cases) {
    const auto strict = security::dataFromBase64(c.text);
    const auto lenient = security::dataFromBase64(c.text, Base64DecodingOptions::IgnoreUnknownCharacters);
    EXPECT_EQ(strict, c.strict ? std::optional(bytes(*c.strict)) : std::nullopt) << c.text;
    EXPECT_EQ(lenient, c.lenient ? std::optional(bytes(*c.lenient)) : std::nullopt) << c.text;
  }
}

}  // namespace
