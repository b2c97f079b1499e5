#include <gtest/gtest.h>

#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/Error.h"
#include "platform/foundation/String.h"
#include "tests/support/TempDir.h"

using namespace foundation;

namespace {

struct Counts {
  const char* name;
  std::string text;
  std::size_t units;
  std::size_t characters;
};

TEST(String, LengthInUnitsAndCharacters) {
  const std::vector<Counts> cases = {
      {"empty", "", 0, 0},
      {"ascii", "hosts", 5, 5},
      {"crlf is one character", "a\r\nb", 4, 3},
      {"two crlf", "\r\n\r\n", 4, 2},
      {"lf cr stays two", "\n\r", 2, 2},
      {"precomposed", "\u00E9", 1, 1},
      {"combining mark", "e\u0301", 2, 1},
      {"two marks on one base", "a\u0301\u0323x", 4, 2},
      {"emoji is a surrogate pair", "\U0001F600", 2, 1},
      {"emoji with skin tone", "\U0001F44D\U0001F3FD", 4, 1},
      {"flag", "\U0001F1E9\U0001F1EA", 4, 1},
      {"family joined by ZWJ", "\U0001F468\u200D\U0001F469\u200D\U0001F467", 8, 1},
      {"mixed", "a\U0001F600\r\ne\u0301", 7, 4},
      {"invalid byte reads as one replacement", "a\xFF" "b", 3, 3},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(length16(c.text), c.units) << c.name;
    EXPECT_EQ(utf16(c.text).size(), c.units) << c.name;
    EXPECT_EQ(composedCharacterCount(c.text), c.characters) << c.name;
    EXPECT_EQ(composedCharacterCount(std::u16string_view(utf16(c.text))), c.characters) << c.name;
  }
}

TEST(String, FindsTheFirstByteOutsideASCIIAtEveryWordOffset) {
  EXPECT_EQ(asciiPrefixLength(""), 0u);
  EXPECT_TRUE(isASCII(""));
  // The scan reads eight bytes at a time: put the first other byte at each offset of the first
  // three words, and into the tail after the last whole word.
  for (std::size_t at = 0; at < 27; ++at) {
    std::string text(27, 'a');
    text[at] = '\x80';
    text += "\xC3\xA9";
    EXPECT_EQ(asciiPrefixLength(text), at) << at;
    EXPECT_FALSE(isASCII(text)) << at;
    EXPECT_EQ(asciiPrefixLength(std::string(at, '\x7F')), at) << at;
    EXPECT_TRUE(isASCII(std::string(at, '\x7F'))) << at;
  }
}

TEST(String, ConversionReplacesInvalidInput) {
  EXPECT_EQ(utf8(utf16("h\u00E9llo \U0001F600")), "h\u00E9llo \U0001F600");
  EXPECT_EQ(utf16("a\xC3"), u"a\uFFFD");           // truncated sequence
  EXPECT_EQ(utf16("\xE0\x80\x80"), u"\uFFFD\uFFFD\uFFFD");  // overlong form
  EXPECT_EQ(utf8(u"x\xD83D"), "x\uFFFD");          // lone lead surrogate at the end
  EXPECT_EQ(utf8(u"\xDE00y"), "\uFFFDy");          // lone trail surrogate
}

TEST(String, SubstringCountsUnitsAndClips) {
  const std::string s = "a\U0001F600b";
  EXPECT_EQ(substring16(s, {1, 2}), "\U0001F600");
  EXPECT_EQ(substring16(s, {1, 1}), "\uFFFD");  // half a pair
  EXPECT_EQ(substring16(s, {2, 100}), "\uFFFDb");
  EXPECT_EQ(substring16(s, {10, 5}), "");
  EXPECT_EQ(substring16("hosts", {1, 3}), "ost");
  EXPECT_EQ(substringFrom16("hosts", 3), "ts");
  EXPECT_EQ(substringTo16("a\U0001F600b", 3), "a\U0001F600");
}

TEST(String, RangeOfString) {
  struct Case {
    std::string text, needle;
    StringCompareOptions options;
    Range searchRange;
    Range expected;
  };
  const Range all{0, NotFound};
  const std::vector<Case> cases = {
      {"a\U0001F600b\U0001F600", "\U0001F600", 0, all, {1, 2}},
      {"a\U0001F600b\U0001F600", "\U0001F600", BackwardsSearch, all, {4, 2}},
      {"Hosts FILE", "file", 0, all, kNotFoundRange},
      {"Hosts FILE", "file", CaseInsensitiveSearch, all, {6, 4}},
      {"\u00C4RGER", "\u00E4rger", CaseInsensitiveSearch, all, {0, 5}},
      {"abcabc", "abc", AnchoredSearch, all, {0, 3}},
      {"xabc", "abc", AnchoredSearch, all, kNotFoundRange},
      {"abcabc", "abc", AnchoredSearch | BackwardsSearch, all, {3, 3}},
      {"abcx", "abc", AnchoredSearch | BackwardsSearch, all, kNotFoundRange},
      {"abcabc", "abc", 0, {1, 5}, {3, 3}},
      {"abcabc", "abc", 0, {1, 4}, kNotFoundRange},
      {"\u00E9abc", "abc", LiteralSearch, {1, 3}, {1, 3}},
      {"abc", "", 0, all, kNotFoundRange},
      {"abc", "abcd", 0, all, kNotFoundRange},
      {"abc", "c", 0, {7, 2}, kNotFoundRange},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(rangeOfString(c.text, c.needle, c.options, c.searchRange), c.expected)
        << c.text << " / " << c.needle << " / " << c.options;
  }
  EXPECT_EQ(rangeOfString("hosts file", "file"), (Range{6, 4}));
}

TEST(String, ComposedCharacterRanges) {
  const std::string accented = "ae\u0301b";  // units: a e U+0301 b
  EXPECT_EQ(rangeOfComposedCharacterSequence(accented, 2), (Range{1, 2}));
  EXPECT_EQ(rangeOfComposedCharacterSequence(accented, 0), (Range{0, 1}));
  EXPECT_EQ(rangeOfComposedCharacterSequence(accented, 9), (Range{4, 0}));
  EXPECT_EQ(rangeOfComposedCharacterSequence("a\r\nb", 2), (Range{1, 2}));
  EXPECT_EQ(rangeOfComposedCharacterSequence("a\r\nb", 3), (Range{3, 1}));

  const std::string emoji = "x\U0001F600y";
  EXPECT_EQ(rangeOfComposedCharacterSequencesForRange(emoji, {2, 1}), (Range{1, 2}));
  EXPECT_EQ(rangeOfComposedCharacterSequencesForRange(emoji, {0, 2}), (Range{0, 3}));
  EXPECT_EQ(rangeOfComposedCharacterSequencesForRange(emoji, {0, 0}), (Range{0, 0}));
  EXPECT_EQ(rangeOfComposedCharacterSequencesForRange(emoji, {3, 50}), (Range{3, 1}));
  EXPECT_EQ(rangeOfComposedCharacterSequencesForRange("\U0001F44D\U0001F3FD!", {2, 1}), (Range{0, 4}));
  EXPECT_EQ(rangeOfComposedCharacterSequencesForRange("\U0001F44D\U0001F3FD!", {3, 2}), (Range{0, 5}));
  EXPECT_EQ(rangeOfComposedCharacterSequencesForRange("a\r\nb", {2, 0}), (Range{1, 2}));
  EXPECT_EQ(rangeOfComposedCharacterSequencesForRange("a\r\nb", {0, 2}), (Range{0, 3}));
}

std::vector<std::string> lines(std::string_view text) {
  std::vector<std::string> out;
  enumerateLines(text, [&](std::string_view line, bool&) { out.emplace_back(line); });
  return out;
}

TEST(String, EnumerateLines) {
  using V = std::vector<std::string>;
  EXPECT_EQ(lines("a\nb\r\nc\rd"), (V{"a", "b", "c", "d"}));
  EXPECT_EQ(lines("a\n"), (V{"a"}));
  EXPECT_EQ(lines(""), V{});
  EXPECT_EQ(lines("\n\n"), (V{"", ""}));
  EXPECT_EQ(lines("a\r\n\r\nb"), (V{"a", "", "b"}));
  EXPECT_EQ(lines("a\u2028b\u0085c\u2029"), (V{"a", "b", "c"}));
  EXPECT_EQ(lines("\u00E9\n\U0001F600"), (V{"\u00E9", "\U0001F600"}));

  std::vector<std::string> seen;
  enumerateLines("one\ntwo\nthree", [&](std::string_view line, bool& stop) {
    seen.emplace_back(line);
    stop = line == "two";
  });
  EXPECT_EQ(seen, (V{"one", "two"}));
}

TEST(String, TrimAndSplit) {
  EXPECT_EQ(trim("  \t 127.0.0.1 localhost \r\n"), "127.0.0.1 localhost");
  EXPECT_EQ(trim("\u00A0x\u3000\u2028"), "x");
  EXPECT_EQ(trim(" \n "), "");
  EXPECT_EQ(trim(""), "");
  EXPECT_EQ(trim("..a.b..", CharacterSet::withCharactersInString(".")), "a.b");
  EXPECT_EQ(trim(" x\xFF", CharacterSet::whitespace()), "x\xFF");  // invalid bytes are kept

  using V = std::vector<std::string>;
  EXPECT_EQ(componentsSeparatedByString("a,,b", ","), (V{"a", "", "b"}));
  EXPECT_EQ(componentsSeparatedByString(",a,", ","), (V{"", "a", ""}));
  EXPECT_EQ(componentsSeparatedByString("", ","), (V{""}));
  EXPECT_EQ(componentsSeparatedByString("abc", ""), (V{"abc"}));
  EXPECT_EQ(componentsSeparatedByString("a::b:c", "::"), (V{"a", "b:c"}));
  EXPECT_EQ(componentsSeparatedByCharactersInSet("a b\tc", CharacterSet::whitespace()),
            (V{"a", "b", "c"}));
  EXPECT_EQ(componentsSeparatedByCharactersInSet("a  b\u3000", CharacterSet::whitespace()),
            (V{"a", "", "b", ""}));
}

TEST(String, PrefixAndSuffix) {
  EXPECT_TRUE(hasPrefix("# comment", "#"));
  EXPECT_FALSE(hasPrefix("abc", ""));
  EXPECT_FALSE(hasPrefix("ab", "abc"));
  EXPECT_TRUE(hasSuffix("hosts.txt", ".txt"));
  EXPECT_FALSE(hasSuffix("abc", ""));
  EXPECT_FALSE(hasSuffix("c", "abc"));
  EXPECT_TRUE(containsString("abc", "b"));
  EXPECT_FALSE(containsString("abc", ""));
}

TEST(String, CaseMapping) {
  EXPECT_EQ(lowercase("LocalHost"), "localhost");
  EXPECT_EQ(uppercase("stra\u00DFe"), "STRASSE");
  EXPECT_EQ(lowercase("\u00C4\u00D6\u00DC"), "\u00E4\u00F6\u00FC");
  EXPECT_EQ(uppercase("i"), "I");  // no Turkish tailoring
  EXPECT_EQ(capitalized("hello wORLD\tfoo\nbar"), "Hello World\tFoo\nBar");
  EXPECT_EQ(capitalized("\u00E9lan vital"), "\u00C9lan Vital");
  EXPECT_EQ(capitalized("\u01C6emal"), "\u01C5emal");  // title case, not upper case
  EXPECT_EQ(capitalized("  two  spaces "), "  Two  Spaces ");
  EXPECT_EQ(capitalized(""), "");
}

TEST(String, Comparison) {
  EXPECT_EQ(caseInsensitiveCompare("abc", "ABD"), OrderedAscending);
  EXPECT_EQ(caseInsensitiveCompare("Hosts", "hOSTS"), OrderedSame);
  EXPECT_EQ(caseInsensitiveCompare("b", "A"), OrderedDescending);
  EXPECT_EQ(caseInsensitiveCompare("Stra\u00DFe", "STRASSE"), OrderedSame);
  EXPECT_EQ(caseInsensitiveCompare("_", "a"), OrderedAscending);  // folds to lower case
  EXPECT_EQ(compare("a", "b"), OrderedAscending);
  // UTF-16 order puts U+FF61 after a surrogate pair; UTF-8 byte order would not.
  EXPECT_EQ(compare("\uFF61", "\U0001F600"), OrderedDescending);
}

TEST(String, FormatConversions) {
  struct Case {
    std::string expected, actual;
  };
  const std::optional<std::string> none;
  const std::vector<Case> cases = {
      {"3 items", stringWithFormat("%d items", 3)},
      {"x", stringWithFormat("%@", std::string("x"))},
      {"3", stringWithFormat("%@", Value(3))},
      {"2.5", stringWithFormat("%@", Value(2.5))},
      {"(null)", stringWithFormat("%@", nullptr)},
      {"(null)", stringWithFormat("%@", none)},
      {"set", stringWithFormat("%@", std::optional<std::string>("set"))},
      {"(null)", stringWithFormat("%s", static_cast<const char*>(nullptr))},
      {"   42|42   |", stringWithFormat("%5d|%-5d|", 42, 42)},
      {"003.1", stringWithFormat("%05.1f", 3.14159)},
      {"ff FF 0xff", stringWithFormat("%x %X %#llx", 255, 255, 255ULL)},
      {"1 0.9 0.5", stringWithFormat("%0.1g %0.1g %0.1g", 1.0, 0.9f, 0.5)},
      {"44", stringWithFormat("%hhd", 300)},
      {"4294967295", stringWithFormat("%u", -1)},
      {"-1", stringWithFormat("%ld", -1L)},
      {"18446744073709551615", stringWithFormat("%llu", -1LL)},
      {"b a", stringWithFormat("%2$@ %1$@", "a", "b")},
      {"100% sure", stringWithFormat("100%% sure")},
      {"u:ID", stringWithFormat("%c:%@", 'u', "ID")},
      {"7   ab    |", stringWithFormat("%-4ld%-6S|", 7L, u"ab")},
      {"\U0001F600   |", stringWithFormat("%-5S|", std::u16string(u"\U0001F600"))},
      {"000000ff", stringWithFormat("%0*llx", 8, 255ULL)},
      {"[  ab]", stringWithFormat("[%*s]", 4, "ab")},
      {"[ab  ]", stringWithFormat("[%*s]", -4, "ab")},
      {"\u00E9", stringWithFormat("%C", static_cast<char16_t>(0xE9))},
      {"\U0001F600", stringWithFormat("%lc", static_cast<char32_t>(0x1F600))},
      {"0 (null)", stringWithFormat("%d %@")},                      // missing arguments
      {"%k 5", stringWithFormat("%k %d", 5)},                        // unknown conversion
      {"100%", stringWithFormat("100%")},                            // dangling percent
      {"ab", stringWithFormat("a%nb", 1)},                           // %n writes nothing
      {"3", stringWithFormat("%d", 3.9)},                            // a double read as an integer
      {"0", stringWithFormat("%d", "text")},
      {"0x0", stringWithFormat("%p", static_cast<int*>(nullptr))},
      {"    0x1000 -     0x1fff", stringWithFormat("%10#llx - %10#llx", 0x1000ULL, 0x1FFFULL)},
      {"+5|-0005", stringWithFormat("%+d|%0+5d", 5, -5)},
  };
  for (const auto& c : cases) EXPECT_EQ(c.actual, c.expected);
}

TEST(String, FormatIgnoresTheProcessLocale) {
  // Build a locale with a decimal comma in a temporary folder, as the application's process
  // locale could be, and check that formatting still writes ".".
  test::TempDir dir("qm-locale");
  const std::string command =
      "localedef -i de_DE -f UTF-8 '" + dir.file("de_DE.UTF-8") + "' >/dev/null 2>&1";
  if (std::system(command.c_str()) != 0) GTEST_SKIP() << "localedef cannot build de_DE here";
  setenv("LOCPATH", dir.path().c_str(), 1);
  const std::string saved = setlocale(LC_NUMERIC, nullptr);
  ASSERT_NE(setlocale(LC_NUMERIC, "de_DE.UTF-8"), nullptr);
  char buffer[16];
  std::snprintf(buffer, sizeof buffer, "%.2f", 1.5);
  EXPECT_STREQ(buffer, "1,50");  // the locale is really in effect
  EXPECT_EQ(stringWithFormat("%.2f %g", 1.5, 0.25), "1.50 0.25");
  std::snprintf(buffer, sizeof buffer, "%.2f", 1.5);
  EXPECT_STREQ(buffer, "1,50");  // and formatting left it so
  setlocale(LC_NUMERIC, saved.c_str());
  unsetenv("LOCPATH");
}

TEST(String, Transforms) {
  EXPECT_EQ(applyingTransform("Quillm\u00E8re \u00FCber \u00DF", "Any-Latin; Latin-ASCII; [:^ASCII:] Remove"),
            "Quillmere uber ss");
  EXPECT_EQ(applyingTransform("\u041C\u043E\u0441\u043A\u0432\u0430 \U0001F600",
                              "Any-Latin; Latin-ASCII; [:^ASCII:] Remove"),
            "Moskva ");
  EXPECT_EQ(applyingTransform("abc", "Latin-Greek", false).has_value(), true);
  EXPECT_EQ(applyingTransform("abc", "No-Such-Transform"), std::nullopt);
  EXPECT_EQ(applyingTransform("", "Any-Latin"), "");
}

TEST(String, FormatDescribesObjects) {
  const auto error = std::make_shared<Error>(Error::withDescription("Domain", 7, "Broken"));
  EXPECT_EQ(stringWithFormat("%@", error), error->description());
  EXPECT_EQ(stringWithFormat("%@", *error), error->description());
  EXPECT_EQ(stringWithFormat("%@", std::shared_ptr<Error>()), "(null)");
  const Value dictionary = Dictionary{{"k", Value("v")}};
  EXPECT_EQ(stringWithFormat("%@", dictionary), dictionary.description());

  struct Described {
    std::string description() const { return "described"; }
  };
  EXPECT_EQ(stringWithFormat("<%@>", Described{}), "<described>");
  int x = 0;
  EXPECT_TRUE(hasPrefix(stringWithFormat("%p", &x), "0x"));
}

}  // namespace
