#include "platform/foundation/StringEncoding.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using foundation::Data;

std::optional<std::string> convert(const std::string& text, foundation::StringEncoding encoding, bool lossy) {
  const auto data = foundation::dataUsingEncoding(text, encoding, lossy);
  if (!data) return std::nullopt;
  return std::string(data->begin(), data->end());
}

TEST(StringEncodingTest, ConvertsOrFailsByEncodingAndLossiness) {
  const std::string e = "\xC3\xA9";          // é, in Latin 1 the byte E9
  const std::string euro = "\xE2\x82\xAC";   // €, outside Latin 1
  const std::string broken = "a\xC3(";       // not UTF-8
  const struct {
    const char* name;
    std::string text;
    foundation::StringEncoding encoding;
    bool lossy;
    std::optional<std::string> expected;
  } cases[] = {
      {"ASCII plain", "abc", foundation::ASCIIStringEncoding, false, "abc"},
      {"ASCII refuses é", "a" + e, foundation::ASCIIStringEncoding, false, std::nullopt},
      {"ASCII lossy é", "a" + e + "b", foundation::ASCIIStringEncoding, true, "a?b"},
      {"Latin 1 é", e, foundation::ISOLatin1StringEncoding, false, "\xE9"},
      {"Latin 1 refuses €", euro, foundation::ISOLatin1StringEncoding, false, std::nullopt},
      {"Latin 1 lossy €", euro + e, foundation::ISOLatin1StringEncoding, true, "?\xE9"},
      {"UTF-8 as is", e + euro, foundation::UTF8StringEncoding, false, e + euro},
      {"UTF-8 refuses broken text", broken, foundation::UTF8StringEncoding, false, std::nullopt},
      {"UTF-8 lossy repairs it", broken, foundation::UTF8StringEncoding, true, "a\xEF\xBF\xBD("},
      {"ASCII lossy broken text", broken, foundation::ASCIIStringEncoding, true, "a?("},
      {"empty", "", foundation::ASCIIStringEncoding, false, ""},
      {"unknown encoding", "abc", static_cast<foundation::StringEncoding>(99), true, std::nullopt},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(convert(c.text, c.encoding, c.lossy), c.expected) << c.name;
  }
}

}  // namespace
