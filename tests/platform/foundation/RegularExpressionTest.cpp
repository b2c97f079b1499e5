#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "platform/foundation/RegularExpression.h"

using namespace foundation;
using RE = RegularExpression;

namespace {

std::shared_ptr<RE> compile(const std::string& pattern, RE::Options options = 0) {
  Error error;
  auto re = RE::create(pattern, options, &error);
  EXPECT_NE(re, nullptr) << pattern << ": " << error.description();
  return re;
}

TEST(RegularExpression, NumberOfMatchesHonoursOptions) {
  struct Case {
    std::string pattern;
    RE::Options options;
    std::string text;
    RE::MatchingOptions matching;
    Range range;
    std::size_t expected;
  };
  const Range all = RE::kWholeText;
  const std::vector<Case> cases = {
      {"a", 0, "banana", 0, all, 3},
      {"^#", 0, "# a\n# b", 0, all, 1},
      {"^#", RE::AnchorsMatchLines, "# a\n# b", 0, all, 2},
      {"HOST", 0, "host Host", 0, all, 0},
      {"HOST", RE::CaseInsensitive, "host Host", 0, all, 2},
      {"a.b", 0, "a\nb", 0, all, 0},
      {"a.b", RE::DotMatchesLineSeparators, "a\nb", 0, all, 1},
      {"a.b", RE::IgnoreMetacharacters, "a.b axb", 0, all, 1},
      {"a b # note", RE::AllowCommentsAndWhitespace, "ab a b", 0, all, 1},
      {"^b", RE::AnchorsMatchLines, "a\rb", 0, all, 1},
      {"^b", RE::AnchorsMatchLines | RE::UseUnixLineSeparators, "a\rb", 0, all, 0},
      {"x*", 0, "ab", 0, all, 3},  // an empty match at every position
      {"", 0, "ab", 0, all, 3},
      {"a", 0, "banana", 0, {2, 3}, 1},
      {"a", 0, "banana", 0, {4, 99}, 1},  // clipped to the text
      {"a", 0, "banana", 0, {9, 1}, 0},
      {"^n", 0, "banana", 0, {2, 3}, 1},
      {"^n", 0, "banana", RE::WithoutAnchoringBounds, {2, 3}, 0},
      {"\\ba", 0, "banana", 0, {1, 1}, 1},
      {"\\ba", 0, "banana", RE::WithTransparentBounds, {1, 1}, 0},
      {"a", 0, "aab", RE::Anchored, all, 2},
      {"a", 0, "baa", RE::Anchored, all, 0},
      {"a", 0, "", 0, all, 0},
  };
  for (const auto& c : cases) {
    auto re = compile(c.pattern, c.options);
    ASSERT_NE(re, nullptr);
    EXPECT_EQ(re->numberOfMatches(c.text, c.matching, c.range), c.expected)
        << "/" << c.pattern << "/ options " << c.options << " on \"" << c.text << "\"";
  }
}

TEST(RegularExpression, RangesCountUTF16Units) {
  auto re = compile("x|host");
  // The emoji and the flag take two and four units.
  const auto found = re->matches("\U0001F600host \U0001F1E9\U0001F1EAx");
  ASSERT_EQ(found.size(), 2u);
  EXPECT_EQ(found[0].range(), (Range{2, 4}));
  EXPECT_EQ(found[1].range(), (Range{11, 1}));
  EXPECT_EQ(re->rangeOfFirstMatch("\u00E9\u00E9x"), (Range{2, 1}));
  EXPECT_EQ(re->rangeOfFirstMatch("none"), kNotFoundRange);
  EXPECT_FALSE(re->firstMatch("none").has_value());

  auto groups = compile("(\\d+)-(\\d+)?");
  const auto first = groups->firstMatch("\u00E9 12-345");
  ASSERT_TRUE(first.has_value());
  EXPECT_EQ(first->numberOfRanges(), 3u);
  EXPECT_EQ(first->rangeAtIndex(0), (Range{2, 6}));
  EXPECT_EQ(first->rangeAtIndex(1), (Range{2, 2}));
  EXPECT_EQ(first->rangeAtIndex(2), (Range{5, 3}));
  EXPECT_EQ(first->rangeAtIndex(3), kNotFoundRange);
  EXPECT_EQ(groups->firstMatch("7-")->rangeAtIndex(2), kNotFoundRange);  // group took no part

  std::vector<Range> seen;
  re->enumerateMatches(std::string_view("x x x"), 0, RE::kWholeText,
                       [&](const TextCheckingResult& r, bool& stop) {
                         seen.push_back(r.range());
                         stop = seen.size() == 2;
                       });
  EXPECT_EQ(seen, (std::vector<Range>{{0, 1}, {2, 1}}));
}

TEST(RegularExpression, BadPatternsGiveAnError) {
  for (const std::string pattern : {"(", "[a-", "a{2,1}", "*", "\\", "(?<name", "\xFF("}) {
    Error error;
    EXPECT_EQ(RE::create(pattern, 0, &error), nullptr) << pattern;
    EXPECT_EQ(error.domain(), kCocoaErrorDomain) << pattern;
    EXPECT_EQ(error.code(), 2048) << pattern;
    EXPECT_EQ(error.userInfo().get("NSInvalidValue").stringValue(), pattern);
  }
  Error error;
  EXPECT_EQ(RE::create("(", 0, &error), nullptr);
  EXPECT_EQ(error.localizedDescription(), "The value \u201C(\u201D is invalid.");
  EXPECT_EQ(RE::create("(", RE::CaseInsensitive, nullptr), nullptr);  // no error out-parameter
  // The same text is fine as a literal.
  EXPECT_NE(RE::create("(", RE::IgnoreMetacharacters, nullptr), nullptr);
}

TEST(RegularExpression, Replacement) {
  auto re = compile("(\\w+)@(\\w+)");
  struct Case {
    std::string templ, expected;
  };
  const std::vector<Case> cases = {
      {"$2 at $1", "host at me, there at you"},
      {"<$0>", "<me@host>, <you@there>"},
      {"\\$1", "$1, $1"},
      {"$12", "me2, you2"},   // only group 1 exists, so the 2 is text
      {"[$3]", "[], []"},     // no such group
      {"$", "$, $"},
      {"\u00E9$1", "\u00E9me, \u00E9you"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(re->stringByReplacingMatches("me@host, you@there", c.templ), c.expected) << c.templ;
  }
  auto a = compile("a");
  EXPECT_EQ(a->stringByReplacingMatches("banana", 0, {0, 3}, "X"), "bXnana");
  EXPECT_EQ(a->stringByReplacingMatches("\U0001F600a\U0001F600a", "-"), "\U0001F600-\U0001F600-");
  std::string text = "banana";
  EXPECT_EQ(a->replaceMatches(text, 0, RE::kWholeText, "o"), 3u);
  EXPECT_EQ(text, "bonono");
  EXPECT_EQ(a->replaceMatches(text, 0, RE::kWholeText, "o"), 0u);
  EXPECT_EQ(text, "bonono");

  const auto match = re->firstMatch("x me@host");
  ASSERT_TRUE(match.has_value());
  EXPECT_EQ(re->replacementString(*match, "x me@host", "$2/$1"), "host/me");
}

TEST(RegularExpression, EscapingMakesLiterals) {
  const std::string literal = "1.2*(3)+[a]^$|\\/{x}?";
  auto re = compile(RE::escapedPatternForString(literal));
  EXPECT_EQ(re->rangeOfFirstMatch("xx" + literal), (Range{2, literal.size()}));
  EXPECT_EQ(re->numberOfMatches("112x(3)"), 0u);
  auto any = compile(".+");
  EXPECT_EQ(any->stringByReplacingMatches("x", RE::escapedTemplateForString("$1\\n")), "$1\\n");
}

TEST(RegularExpression, SharedAcrossThreads) {
  auto re = compile("[0-9]+");
  std::string text;
  for (int i = 0; i < 500; ++i) text += std::to_string(i) + " ";
  std::vector<std::size_t> counts(4);
  std::vector<std::thread> threads;
  for (std::size_t t = 0; t < counts.size(); ++t) {
    threads.emplace_back([&, t] {
      for (int round = 0; round < 20; ++round) counts[t] += re->numberOfMatches(text);
    });
  }
  for (auto& thread : threads) thread.join();
  for (std::size_t count : counts) EXPECT_EQ(count, 500u * 20u);
}

}  // namespace
