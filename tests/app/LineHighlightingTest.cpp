#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/LineHighlighting.h"

namespace {

using app::HighlightKind;
using app::HighlightSpan;

constexpr HighlightKind C = HighlightKind::Comment;
constexpr HighlightKind V4 = HighlightKind::IPv4Address;
constexpr HighlightKind V6 = HighlightKind::IPv6Address;
constexpr HighlightKind X = HighlightKind::Invalid;

struct LineCase {
  std::u16string line;
  std::vector<HighlightSpan> spans;
};

std::string describe(const std::vector<HighlightSpan>& spans) {
  static const char* names[] = {"comment", "ipv4", "ipv6", "invalid"};
  std::string text;
  for (const auto& span : spans) {
    text += "{" + std::to_string(span.location) + "," + std::to_string(span.length) + "," +
            names[static_cast<int>(span.kind)] + "} ";
  }
  return text;
}

TEST(LineHighlightingTest, SpansOfLines) {
  const std::vector<LineCase> cases = {
      // Nothing to mark.
      {u"", {}},
      {u"   \t", {}},
      // Comments, whole-line and trailing; only the names before "#" are checked.
      {u"# a comment", {{0, 11, C}}},
      {u"   # x", {{3, 3, C}}},
      {u"10.0.0.1 host # note", {{14, 6, C}, {0, 8, V4}}},
      {u"10.0.0.1 host #Bad_Name", {{14, 9, C}, {0, 8, V4}}},
      // An address that runs into a comment is judged with it and marked over it.
      {u"127.0.0.1#c", {{9, 2, C}, {0, 11, X}}},
      // Valid addresses, wherever the first non-blank character is.
      {u"127.0.0.1 localhost", {{0, 9, V4}}},
      {u"  127.0.0.1\thost", {{2, 9, V4}}},
      {u"127.0.0.1", {{0, 9, V4}}},
      {u"::1 localhost", {{0, 3, V6}}},
      {u"fe80::1%lo0 localhost", {{0, 11, V6}}},
      {u"2001:db8:0:0:0:0:0:1 host", {{0, 20, V6}}},
      // Invalid addresses: the validator's part, counted from the address start.
      {u"256.0.0.1 host", {{0, 9, X}}},
      {u"10.0.0 host", {{0, 6, X}}},
      {u" 2001:db8::zz12 host", {{11, 4, X}}},
      {u"2001:db8::zz12::1 host", {{0, 17, X}}},
      // Bad names: each bad token alone, the last one included.
      {u"127.0.0.1 Localhost", {{0, 9, V4}, {10, 9, X}}},
      {u"127.0.0.1 my_host", {{0, 9, V4}, {10, 7, X}}},
      {u"127.0.0.1 -host", {{0, 9, V4}, {10, 5, X}}},
      {u"127.0.0.1 host.", {{0, 9, V4}, {10, 5, X}}},
      {u"127.0.0.1 a..b", {{0, 9, V4}, {10, 4, X}}},
      {u"127.0.0.1 a-.b", {{0, 9, V4}}},
      {u"127.0.0.1 good bad_ x", {{0, 9, V4}, {15, 4, X}}},
      {u"127.0.0.1 good !", {{0, 9, V4}, {15, 1, X}}},
      {u"127.0.0.1  Host", {{0, 9, V4}, {11, 4, X}}},
      {u"127.0.0.1\thost\tBad", {{0, 9, V4}, {15, 3, X}}},
      // A bad address does not stop the name check.
      {u"999.1.1.1 Bad", {{0, 9, X}, {10, 3, X}}},
      // CR LF line ends: the CR belongs to no name and no address; comments cover it.
      {u"127.0.0.1 host\r", {{0, 9, V4}}},
      {u"127.0.0.1 Host\r", {{0, 9, V4}, {10, 4, X}}},
      {u"127.0.0.1\r", {{0, 9, V4}}},
      {u"# c\r", {{0, 4, C}}},
      {u"\r", {}},
      // Non-ASCII text, counted in UTF-16 units.
      {u"127.0.0.1 caf\u00e9", {{0, 9, V4}, {10, 4, X}}},
      {u"127.0.0.1 \U0001F600 ok", {{0, 9, V4}, {10, 2, X}}},
      {u"127.0.0.1 host # \u00fcn\u00efcode \U0001F600", {{15, 12, C}, {0, 9, V4}}},
      {u"\uff11\uff12\uff17.0.0.1 host", {{0, 9, X}}},
      {u"127.0.0.1 a\u00a0b", {{0, 9, V4}, {10, 3, X}}},
  };
  for (const auto& testCase : cases) {
    const auto spans = app::spansForLine(testCase.line);
    EXPECT_EQ(spans, testCase.spans) << "line #" << (&testCase - cases.data()) << ": got "
                                     << describe(spans) << "expected " << describe(testCase.spans);
  }
}

TEST(LineHighlightingTest, HostNameTokens) {
  const std::vector<std::pair<std::u16string, bool>> cases = {
      {u"", true},          {u"a", true},        {u"localhost", true},  {u"a-b.c0", true},
      {u"a-.b", true},      {u"1.2.3", true},    {u"-", false},         {u"-a", false},
      {u"a-", false},       {u".a", false},      {u"a.", false},        {u"a..b", false},
      {u"a.-b", false},     {u"A", false},       {u"a_b", false},       {u"\u00e9", false},
      {u"a b", false},      {u"a\u0131", false},
  };
  for (std::size_t i = 0; i < cases.size(); ++i) {
    EXPECT_EQ(app::validName(cases[i].first), cases[i].second) << "token #" << i;
  }
}

}  // namespace
