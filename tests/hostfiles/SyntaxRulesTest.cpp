#include <gtest/gtest.h>

#include <optional>
#include <string>

#include <random>
#include <vector>

#include "hostfiles/SyntaxRules.h"
#include "platform/foundation/RegularExpression.h"
#include "platform/foundation/String.h"

namespace {

struct Case {
  const char* text;
  bool valid;
};

void expectVerdicts(std::initializer_list<Case> cases) {
  for (const auto& c : cases) EXPECT_EQ(SyntaxRules::isValidSyntax(std::string(c.text)), c.valid) << c.text;
}

TEST(SyntaxRulesTest, AbsentEmptyBlankAndCommentTextsAreValid) {
  EXPECT_TRUE(SyntaxRules::isValidSyntax(std::optional<std::string>()));
  expectVerdicts({
      {"", true},
      {"\n\n   \n\t\n", true},
      {"# comment\n   # indented comment\n\t#tabbed\n#", true},
      {"\xc2\xa0\xe3\x80\x80\n# after unicode blanks", true},  // no-break and ideographic spaces
      {"comment # not at the start", false},
  });
}

TEST(SyntaxRulesTest, IPv4LinesNeedBlankAndAWordAfterFourShortDigitRuns) {
  expectVerdicts({
      {"127.0.0.1 localhost", true},
      {"   127.0.0.1\tlocalhost loopback # trailing comment", true},
      {"999.999.999.999 big-parts-are-fine", true},
      {"0.0.0.0 x", true},
      {"127.0.0.1", false},
      {"127.0.0.1    ", false},
      {"127.0.0.1localhost", false},
      {"127.0.0 localhost", false},
      {"1.2.3.4.5 five-parts", false},
      {"1234.0.0.1 long-first", false},
      {"1.2.3.4567 long-last", false},
      {"1..2.3 x", false},
      {"1.2.3.4:80 port", false},
      {"host 127.0.0.1", false},
      // Only ASCII digits count for [0-9]: Arabic-Indic and full-width digits do not.
      {"\xd9\xa1\xd9\xa2\xd9\xa7.0.0.1 host", false},
      {"\xef\xbc\x91.0.0.1 host", false},
  });
}

TEST(SyntaxRulesTest, IPv6LinesMustBeWrittenOutInFourToEightGroups) {
  expectVerdicts({
      {"0:0:0:0:0:0:0:1 localhost", true},
      {"FE80:0:0:0:0:0:ABCD:1 upper-case", true},
      {"1:2:3:4 four-groups", true},
      {"2001:db8:0:0:0:0:2:1\tname", true},
      {"::1 localhost", false},
      {"fe80::1%lo0 zone", false},
      {"::ffff:1.2.3.4 mapped", false},
      {"1:2:3 three-groups", false},
      {"1:2:3:4:5:6:7:8:9 nine-groups", false},
      {"12345:1:1:1 long-group", false},
      {"1:2:3:4: trailing-colon", false},
      {"g:0:0:0 not-hex", false},
      {"0:0:0:0:0:0:0:1", false},
  });
}

TEST(SyntaxRulesTest, LineEndsAndUnicodeBlanksAreTrimmedAndSeparate) {
  expectVerdicts({
      {"127.0.0.1 localhost\r\n# comment\r\n::1 compressed\r\n", false},
      {"127.0.0.1 localhost\r\n# comment\r\n0:0:0:0:0:0:0:1 six\r\n", true},
      {"127.0.0.1\r\n", false},  // the carriage return is trimmed, so no name follows
      {"127.0.0.1 a\r", true},
      {"127.0.0.1\xc2\xa0" "nbsp-separated", true},
      {"127.0.0.1\xe3\x80\x80" "ideographic-space", true},
      {"127.0.0.1 \xc3\xbcnic\xc3\xb6" "de", true},
      {"127.0.0.1 \xf0\x9f\x98\x80", true},  // a name outside the BMP
      {"\xc2\x85" "127.0.0.1 next-line-trimmed\xe2\x80\xa8", true},
  });
}

TEST(SyntaxRulesTest, ThePatternsSeeOnlyAsManyUnitsAsTheLineHasCharacters) {
  // A lone combining mark after the blank joins it into one character, so the window the
  // patterns see ends before the mark and no name follows the address.
  expectVerdicts({
      {"127.0.0.1 \xcc\x81", false},
      {"127.0.0.1 e\xcc\x81", true},
  });
}

TEST(SyntaxRulesTest, TheFirstInvalidLineDecides) {
  expectVerdicts({
      {"127.0.0.1 a\n10.0.0.1 b\nnot an address\n192.168.0.1 c", false},
      {"127.0.0.1 a\n\n# c\n10.0.0.1 b\n", true},
  });
}

// The scanner stands in for the two patterns; the platform's regular-expression engine is the
// reference. Generated lines are address-like runs of digit groups whose separators, lengths,
// digits (non-ASCII ones too), blanks (several kinds) and trailing words vary, so that matches and
// near-misses of every kind are common.
bool referenceVerdict(std::string_view line) {
  using foundation::RegularExpression;
  static const auto v4 = RegularExpression::create(SyntaxRules::kIPv4LinePattern, RegularExpression::CaseInsensitive);
  static const auto v6 = RegularExpression::create(SyntaxRules::kIPv6LinePattern, RegularExpression::CaseInsensitive);
  std::string trimmed = foundation::trim(line);
  if (trimmed.empty() || trimmed[0] == '#') return true;
  foundation::Range window{0, foundation::composedCharacterCount(trimmed)};
  return v4->numberOfMatches(trimmed, 0, window) == 1 || v6->numberOfMatches(trimmed, 0, window) == 1;
}

TEST(SyntaxRulesTest, TheScannerAgreesWithThePatternsOnGeneratedLines) {
  const std::vector<std::string> digits = {"0", "1", "9", "a", "F", "g", "\xd9\xa1"};
  const std::vector<std::string> separators = {".", ".", ".", ":", ":", ":", "::", ""};
  const std::vector<std::string> blanks = {"", " ", " ", "\t", "\xc2\xa0", "\xe3\x80\x80", "\r", "  "};
  const std::vector<std::string> words = {"", "host", "h", "#", "\xcc\x81", "e\xcc\x81", "\xf0\x9f\x98\x80", ":", "\xc3\xa9"};
  std::mt19937 random(20261209);
  auto pick = [&](const std::vector<std::string>& from) { return from[random() % from.size()]; };
  int valid = 0;
  const int total = 20000;
  for (int i = 0; i < total; ++i) {
    // An address-like run of parts, mostly with one kind of separator, then blanks and a word.
    std::string line = pick(blanks);
    const std::string separator = pick(separators);
    const int parts = separator == "." && random() % 2 == 0 ? 4 : 3 + static_cast<int>(random() % 7);
    for (int p = 0; p < parts; ++p) {
      if (p > 0) line += random() % 8 == 0 ? pick(separators) : separator;
      const int length = random() % 6 == 0 ? static_cast<int>(random() % 6) : 1 + static_cast<int>(random() % 3);
      for (int k = 0; k < length; ++k) line += random() % 5 == 0 ? pick(digits) : std::string(1, "0123456789abcdef"[random() % 16]);
    }
    line += (random() % 2 ? std::string(" ") : pick(blanks)) + (random() % 2 ? std::string("host") : pick(words)) +
            pick(blanks);
    const bool expected = referenceVerdict(line);
    ASSERT_EQ(SyntaxRules::isValidLine(line), expected) << line;
    valid += expected;
  }
  // The corpus must hold plenty of both verdicts to mean anything.
  EXPECT_GT(valid, total / 20);
  EXPECT_LT(valid, total - total / 20);
}

}  // namespace
