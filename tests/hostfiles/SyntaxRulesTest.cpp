#include <gtest/gtest.h>

#include <optional>
#include <string>

#include <random>
#include <vector>

#include "hostfiles/IP.h"
#include "hostfiles/SyntaxRules.h"
#include "platform/foundation/String.h"
#include "tests/hostfiles/SyntaxRulesReference.h"

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

TEST(SyntaxRulesTest, IPv6LinesAreWrittenOutInFourToEightGroupsOrCompressedAsTheEditorAccepts) {
  expectVerdicts({
      {"0:0:0:0:0:0:0:1 localhost", true},
      {"FE80:0:0:0:0:0:ABCD:1 upper-case", true},
      {"1:2:3:4 four-groups", true},
      {"2001:db8:0:0:0:0:2:1\tname", true},
      // The loopback lines of every standard hosts file, as the editor accepts them.
      {"::1 localhost", true},
      {"::1\tlocalhost ip6-localhost ip6-loopback", true},
      {"fe80::1%lo0 localhost", true},
      {"ff02::1 ip6-allnodes", true},
      {"2001:db8::2:1 compressed-inside", true},
      {":: unspecified", true},
      {"::1", false},
      {"::1   ", false},
      {"fe80::1%lo0", false},
      {"::1#comment", false},
      {"1::2::3 two-compressions", false},
      {"1:2:3:4:5:6:7::8 nine-with-compression", false},
      {"::12345 long-group", false},
      {"::g x", false},
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
      {"127.0.0.1 localhost\r\n# comment\r\n::1 compressed\r\n", true},
      {"127.0.0.1 localhost\r\n# comment\r\n::1\r\n", false},
      {"127.0.0.1 localhost\r\n# comment\r\n0:0:0:0:0:0:0:1 six\r\n", true},
      {"127.0.0.1\r\n", false},  // the carriage return is trimmed, so no name follows
      {"127.0.0.1 a\r", true},
      {"127.0.0.1\xc2\xa0" "nbsp-separated", true},
      {"127.0.0.1\xe3\x80\x80" "ideographic-space", true},
      {"127.0.0.1 \xc3\xbcnic\xc3\xb6" "de", true},
      {"127.0.0.1 \xf0\x9f\x98\x80", true},  // a name outside the BMP
      {"\xc2\x85" "127.0.0.1 next-line-trimmed\xe2\x80\xa8", true},
      // White space is the Unicode White_Space property, as the engine's \s has it: vertical tab,
      // form feed, next line and the line separator separate (and are trimmed) like blanks...
      {"\v127.0.0.1\vvt\f", true},
      {"127.0.0.1\ff", true},
      {"127.0.0.1\xc2\x85nel", true},
      {"127.0.0.1\xe2\x80\xa8ls-is-no-line-end-here", true},
      {"127.0.0.1\r\v\xc2\xa0\xe3\x80\x80mixed", true},
      {"0:0:0:0:0:0:0:1\xe3\x80\x80\xc2\xa0v6\r", true},
      // ...while a zero-width space, a byte-order mark and the information separators do not.
      {"127.0.0.1\xe2\x80\x8bzwsp", false},
      {"127.0.0.1\xef\xbb\xbf" "bom", false},
      {"\xef\xbb\xbf" "127.0.0.1 bom-first", false},
      {"127.0.0.1\x1c" "fs", false},
      // Only "\n" splits: a lone carriage return is white space inside its line, and the carriage
      // return of a CR LF pair stays with the line before the feed.
      {"127.0.0.1\rcr-separated", true},
      {"127.0.0.1\r\ncr-lf-splits-before-the-name", false},
      {"127.0.0.1 a\r\n\r\n\v\r\n10.0.0.1\v\rb\r\n", true},
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

// The scanner stands in for the two patterns; the reference applies them as the rules read: split
// at every "\n", then judge each line.
bool referenceTextVerdict(std::string_view text) {
  for (const auto& line : foundation::componentsSeparatedByString(text, "\n")) {
    if (!syntax_reference::lineVerdict(line)) return false;
  }
  return true;
}

// Generated lines are address-like runs of digit groups whose separators, lengths, digits
// (non-ASCII ones too), blanks (several kinds) and trailing words vary, so that matches and
// near-misses of every kind are common.
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
    const bool expected = syntax_reference::lineVerdict(line);
    ASSERT_EQ(SyntaxRules::isValidLine(line), expected) << line;
    valid += expected;
  }
  // The corpus must hold plenty of both verdicts to mean anything.
  EXPECT_GT(valid, total / 20);
  EXPECT_LT(valid, total - total / 20);
}

// What the editor shows as a valid address never fails the check: address-like runs of hex
// groups, colons, dots and zones that the validator accepts pass once a name follows them.
TEST(SyntaxRulesTest, EveryAddressTheValidatorAcceptsPassesWithAName) {
  const std::vector<std::string> pieces = {"0", "1", "ff", "fe80", "FFFF", "12345", "g", ":", ":", "::", ".", "%lo0", "%"};
  std::mt19937 random(43);
  int accepted = 0;
  for (int i = 0; i < 20000; ++i) {
    std::string address = random() % 4 == 0 ? "fe80::1%" : "";
    const int count = 1 + static_cast<int>(random() % 9);
    for (int p = 0; p < count; ++p) address += pieces[random() % pieces.size()];
    IP validator{address};
    validator.setRange({0, address.size()});
    if (!validator.isValid()) continue;
    ++accepted;
    ASSERT_TRUE(SyntaxRules::isValidLine(address + " localhost")) << address;
    ASSERT_TRUE(SyntaxRules::isValidLine("  " + address + "\tlocalhost\r")) << address;
  }
  EXPECT_GT(accepted, 1000);
}

// Every character of the Basic Multilingual Plane (where all white space lies) between an
// address and a name, and before an address: the engine decides whether it separates, and
// whether it is trimmed.
TEST(SyntaxRulesTest, EveryCharacterSeparatesAndTrimsAsTheEngineSays) {
  int separating = 0;
  for (char32_t c = 1; c < 0x10000; ++c) {
    if (c >= 0xD800 && c <= 0xDFFF) continue;
    const std::string ch = foundation::utf8(std::u16string(1, static_cast<char16_t>(c)));
    for (const std::string& line : {"1.2.3.4" + ch + "x", ch + "0:0:0:0:0:0:0:1 x", "1.2.3.4 " + ch}) {
      const bool expected = syntax_reference::lineVerdict(line);
      ASSERT_EQ(SyntaxRules::isValidLine(line), expected) << std::hex << static_cast<unsigned>(c) << " in " << line;
    }
    separating += syntax_reference::lineVerdict("1.2.3.4" + ch + "x");
  }
  EXPECT_EQ(separating, 25);  // the Unicode White_Space characters
}

// Whole texts of a few lines mixing every kind of line end and blank with addresses, names and
// comments: the verdict on the text must be the engine's, line by line.
TEST(SyntaxRulesTest, WholeTextsMixingLineEndsAndBlanksAgreeWithTheEngine) {
  const std::vector<std::string> addresses = {"127.0.0.1", "999.1.22.3", "1.2.3", "0:0:0:0:0:0:0:1", "FE80:0:0:0:0:0:ABCD:1",
                                              "1:2:3:4", "::1", "# note", "#", "host", ""};
  const std::vector<std::string> blanks = {" ", "\t", "\r", "\v", "\f", "\xc2\x85", "\xc2\xa0", "\xe3\x80\x80",
                                           "\xe2\x80\x83", "\xe2\x80\xaf", "\xe2\x80\xa8", "\xe2\x80\xa9",
                                           "\xe2\x80\x8b", "\xef\xbb\xbf", "\xcc\x81", ""};
  const std::vector<std::string> names = {"localhost", "h", "e\xcc\x81", "\xf0\x9f\x98\x80", "#", "x # c", ""};
  const std::vector<std::string> lineEnds = {"\n", "\r\n", "\r", "\n\n", "\r\n\r\n", "\n\r", ""};
  std::mt19937 random(391);
  auto pick = [&](const std::vector<std::string>& from) { return from[random() % from.size()]; };
  int valid = 0;
  const int total = 20000;
  for (int i = 0; i < total; ++i) {
    std::string text;
    const int lines = 1 + static_cast<int>(random() % 3);
    for (int n = 0; n < lines; ++n) {
      text += pick(blanks) + pick(addresses) + pick(blanks);
      if (random() % 2) text += pick(blanks);
      text += pick(names) + pick(blanks) + pick(lineEnds);
    }
    const bool expected = referenceTextVerdict(text);
    ASSERT_EQ(SyntaxRules::isValidSyntax(text), expected) << text;
    valid += expected;
  }
  EXPECT_GT(valid, total / 20);
  EXPECT_LT(valid, total - total / 20);
}

}  // namespace
