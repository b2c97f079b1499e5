#include <gtest/gtest.h>

#include <string>

#include "platform/foundation/ShellQuoting.h"
#include "platform/foundation/ShellRunner.h"

namespace {

using foundation::escapedForScriptStringLiteral;
using foundation::shellQuoted;

TEST(ShellQuotingTest, QuotedWordsAreSingleQuotedWithQuotesSpliced) {
  struct Case {
    std::string word;
    std::string quoted;
  } cases[] = {
      {"", "''"},
      {"/tmp/hosts", "'/tmp/hosts'"},
      {"it's", "'it'\\''s'"},
      {"''", "''\\'''\\'''"},
      {"a\"b\\c", "'a\"b\\c'"},
  };
  for (const auto& c : cases) EXPECT_EQ(shellQuoted(c.word), c.quoted) << c.word;
}

// The real shell is the judge: whatever the word holds, it must come back as one argument, unchanged.
TEST(ShellQuotingTest, TheShellReadsEveryQuotedWordBackUnchanged) {
  const std::string words[] = {
      "",
      "plain",
      "with space",
      "quote ' inside",
      "'leading and trailing'",
      "double \" and back \\ slash",
      "$(echo injected) `echo injected` $HOME ${PATH}",
      "semi; colon && and | pipe > redirect",
      "line\nbreak\tand tab",
      "glob * ? [a]",
      "utf-8 \xc3\xa9\xe2\x82\xac",
  };
  foundation::SystemShellRunner runner;
  for (const auto& word : words) {
    // "$#" proves it stayed one word; the word itself follows on the same output.
    auto result = runner.run("set -- " + shellQuoted(word) + "; printf '%s|%s' \"$#\" \"$1\"", false);
    ASSERT_EQ(result.outcome, foundation::ShellRunner::Result::Outcome::Ran);
    EXPECT_EQ(result.status, 0) << result.standardError;
    EXPECT_EQ(result.standardOutput, "1|" + word) << word;
  }
}

TEST(ShellQuotingTest, ScriptLiteralEscapesOnlyBackslashAndDoubleQuote) {
  struct Case {
    std::string text;
    std::string escaped;
  } cases[] = {
      {"", ""},
      {"/bin/cp '/a b' /etc/hosts", "/bin/cp '/a b' /etc/hosts"},
      {"say \"hi\"", "say \\\"hi\\\""},
      {"back\\slash", "back\\\\slash"},
      {"\\\"", "\\\\\\\""},
      {"line\nend\ttab", "line\nend\ttab"},
  };
  for (const auto& c : cases) EXPECT_EQ(escapedForScriptStringLiteral(c.text), c.escaped) << c.text;
}

}  // namespace
