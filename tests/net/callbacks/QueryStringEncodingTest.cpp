#include <gtest/gtest.h>

#include <string>

#include "net/callbacks/RLQueryStringPair.h"
#include "platform/foundation/Set.h"
#include "platform/net/PercentEncoding.h"

namespace {

using foundation::Array;
using foundation::Dictionary;
using foundation::Value;

struct QueryCase {
  const char* label;
  Value parameters;
  std::string expected;
};

TEST(QueryStringEncoding, NestedValuesInSortedKeyOrder) {
  const QueryCase cases[] = {
      {"keys sorted", Dictionary{{"b", 2}, {"a", 1}}, "a=1&b=2"},
      {"upper case before lower", Dictionary{{"a", 1}, {"B", 2}}, "B=2&a=1"},
      {"number keys by text", Dictionary{{"9", "x"}, {"10", "y"}}, "10=y&9=x"},
      {"nested dictionary", Dictionary{{"user", Dictionary{{"name", "n"}, {"email", "e@x"}}}},
       "user%5Bemail%5D=e%40x&user%5Bname%5D=n"},
      {"array keeps order", Dictionary{{"ids", Array{3, 1}}}, "ids%5B%5D=3&ids%5B%5D=1"},
      {"array in array", Dictionary{{"ids", Array{Value(Array{1, 2})}}}, "ids%5B%5D%5B%5D=1&ids%5B%5D%5B%5D=2"},
      {"set sorted, no brackets", Dictionary{{"tags", foundation::setValue({"y", "x"})}}, "tags=x&tags=y"},
      {"dictionary in array", Dictionary{{"a", Array{Dictionary{{"k", "v"}}}}}, "a%5B%5D%5Bk%5D=v"},
      {"null gives the bare name", Dictionary{{"flag", Value()}, {"x", 1}}, "flag&x=1"},
      {"empty dictionary", Dictionary{}, ""},
      {"numbers and Booleans", Dictionary{{"d", 0.5}, {"t", true}, {"f", false}, {"n", -7}}, "d=0.5&f=0&n=-7&t=1"},
      {"reserved characters", Dictionary{{"q", "a b&c=d/e?f"}}, "q=a%20b%26c%3Dd/e?f"},
      {"delimiters in names", Dictionary{{"a+b", "#[]@!$'()*,;:"}}, "a%2Bb=%23%5B%5D%40%21%24%27%28%29%2A%2C%3B%3A"},
      {"unreserved stay", Dictionary{{"k", "AZaz09-._~"}}, "k=AZaz09-._~"},
      {"non-ASCII as UTF-8", Dictionary{{"städte", "Zürich"}}, "st%C3%A4dte=Z%C3%BCrich"},
      {"data prints its description", Dictionary{{"d", foundation::Data{'a', 'b'}}},
       "d=%7Blength%20%3D%202%2C%20bytes%20%3D%200x6162%7D"},
  };
  for (const auto& c : cases) EXPECT_EQ(RLQueryStringFromParameters(c.parameters), c.expected) << c.label;
}

TEST(QueryStringEncoding, PairsCarryNamesAndLeaves) {
  const auto pairs = RLQueryStringPairsFromDictionary(
      Dictionary{{"z", Dictionary{{"b", Array{1}}, {"a", "x"}}}, {"m", foundation::Data{1}}});
  ASSERT_EQ(pairs.size(), 3u);
  EXPECT_EQ(pairs[0].field, Value("m"));
  EXPECT_TRUE(pairs[0].value.isData());
  EXPECT_EQ(pairs[1].field, Value("z[a]"));
  EXPECT_EQ(pairs[1].value, Value("x"));
  EXPECT_EQ(pairs[2].field, Value("z[b][]"));
  EXPECT_EQ(pairs[2].value, Value(1));

  EXPECT_EQ(RLQueryStringPair("a b", Value()).URLEncodedStringValue(), "a%20b");
  EXPECT_EQ(RLQueryStringPair("k", "v").URLEncodedStringValue(), "k=v");
}

TEST(QueryStringEncoding, BatchesNeverSplitACharacter) {
  const std::string a49(49, 'a');
  const std::string emoji = "\xF0\x9F\x98\x80";           // U+1F600: units 50 and 51 of the text
  const std::string accented = "e\xCC\x81";                // e and a combining acute: units 50 and 51
  const std::string flag = "\xF0\x9F\x87\xA8\xF0\x9F\x87\xAD";  // one character of four units
  struct Case {
    std::string input;
    std::string expected;
  } cases[] = {
      {a49 + emoji + "b", a49 + "%F0%9F%98%80b"},
      {a49 + accented + "b", a49 + "e%CC%81b"},
      {std::string(48, 'a') + flag + "&", std::string(48, 'a') + "%F0%9F%87%A8%F0%9F%87%AD%26"},
      {"", ""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(RLPercentEscapedStringFromString(c.input), c.expected) << c.input;
  }

  // Many batches of mixed text come out as escaping the whole text at once.
  std::string mixed;
  for (int i = 0; i < 40; ++i) mixed += "x y" + emoji + accented + "ü/" + flag;
  const auto allowed = net::URLAllowedCharacters::withCharacters(
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-._~/?");
  EXPECT_EQ(RLPercentEscapedStringFromString(mixed), net::addingPercentEncoding(mixed, allowed));

  // Bytes that are not UTF-8 become the replacement character rather than vanishing.
  EXPECT_EQ(RLPercentEscapedStringFromString(std::string("a") + '\xFF' + "b"), "a%EF%BF%BDb");
}

}  // namespace
