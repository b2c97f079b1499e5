// The editor's document without a widget: the text with its line starts, UTF-8 positions, and
// the undo history.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/TextEditHistory.h"
#include "app/TextLines.h"
#include "app/UTF8Text.h"

namespace {

using app::TextLines;

// The lines of `text` as a reader splits them: at each "\n", a "\r" before it not included.
std::vector<std::string> splitLines(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (true) {
    const std::size_t feed = text.find('\n', start);
    std::string line = text.substr(start, feed == std::string::npos ? std::string::npos : feed - start);
    if (feed != std::string::npos && !line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
    if (feed == std::string::npos) return lines;
    start = feed + 1;
  }
}

std::vector<std::string> linesOf(const TextLines& lines) {
  std::vector<std::string> result;
  for (std::size_t i = 0; i < lines.lineCount(); ++i) result.emplace_back(lines.content(i));
  return result;
}

TEST(TextLinesTest, EditsKeepTheLineStartsOfTheWholeText) {
  struct Case {
    const char* what;
    std::string text;
    std::size_t position, length;
    std::string inserted;
    std::string expected;
    TextLines::Change change;
  };
  const Case cases[] = {
      {"a character inside a line", "ab\ncd\nef", 4, 0, "x", "ab\ncxd\nef", {1, 0, 0}},
      {"a line break splits a line", "ab\ncd\nef", 4, 0, "\n", "ab\nc\nd\nef", {1, 0, 1}},
      {"removing a line break joins two", "ab\ncd\nef", 2, 1, "", "abcd\nef", {0, 1, 0}},
      {"a stretch over three line ends", "ab\ncd\nef\ngh", 1, 8, "Z", "aZgh", {0, 3, 0}},
      {"pasting lines at the end", "ab", 2, 0, "\nc\nd\n", "ab\nc\nd\n", {0, 0, 3}},
      {"at the very start", "ab\ncd", 0, 0, "#", "#ab\ncd", {0, 0, 0}},
      {"a CR LF pair as a whole", "ab\r\ncd", 2, 2, "", "abcd", {0, 1, 0}},
      {"everything", "ab\ncd\n", 0, 6, "", "", {0, 2, 0}},
  };
  for (const Case& c : cases) {
    TextLines lines;
    lines.assign(c.text);
    const TextLines::Change change = lines.replace(c.position, c.length, c.inserted);
    EXPECT_EQ(lines.text(), c.expected) << c.what;
    EXPECT_EQ(linesOf(lines), splitLines(c.expected)) << c.what;
    EXPECT_EQ(change.first, c.change.first) << c.what;
    EXPECT_EQ(change.removedLines, c.change.removedLines) << c.what;
    EXPECT_EQ(change.insertedLines, c.change.insertedLines) << c.what;
  }
}

TEST(TextLinesTest, LinesEndBeforeTheirCarriageReturnAndPositionsFindTheirLine) {
  TextLines lines;
  lines.assign("127.0.0.1 a\r\n\r\n::1 b");
  ASSERT_EQ(lines.lineCount(), 3u);
  EXPECT_EQ(lines.content(0), "127.0.0.1 a");
  EXPECT_EQ(lines.content(1), "");
  EXPECT_EQ(lines.content(2), "::1 b");
  EXPECT_EQ(lines.contentEnd(0), 11u);
  EXPECT_EQ(lines.lineOf(0), 0u);
  EXPECT_EQ(lines.lineOf(11), 0u);  // at the content end
  EXPECT_EQ(lines.lineOf(13), 1u);
  EXPECT_EQ(lines.lineOf(lines.size()), 2u);
  EXPECT_EQ(lines.widestLineBytes(), 11u);

  TextLines empty;
  EXPECT_EQ(empty.lineCount(), 1u);
  EXPECT_EQ(empty.content(0), "");
}

TEST(TextLinesTest, StepsOverWholeCharactersAndLineEnds) {
  TextLines lines;
  lines.assign("a\xc3\xa9\xf0\x9f\x98\x80\r\nb");  // a, é, an emoji, CR LF, b
  EXPECT_EQ(lines.nextPosition(0), 1u);
  EXPECT_EQ(lines.nextPosition(1), 3u);
  EXPECT_EQ(lines.nextPosition(3), 7u);
  EXPECT_EQ(lines.nextPosition(7), 9u);  // the CR LF pair is one step
  EXPECT_EQ(lines.previousPosition(9), 7u);
  EXPECT_EQ(lines.previousPosition(7), 3u);
  EXPECT_EQ(lines.previousPosition(3), 1u);
  EXPECT_EQ(lines.previousPosition(0), 0u);
  EXPECT_EQ(lines.nextPosition(lines.size()), lines.size());
}

TEST(TextLinesTest, MalformedBytesAreRepairedWellFormedOnesKept) {
  TextLines lines;
  lines.assign("ok \xff\xfe end");
  EXPECT_TRUE(app::isWellFormedUTF8(lines.text()));
  EXPECT_NE(lines.text().find("\xef\xbf\xbd"), std::string::npos);  // U+FFFD
  EXPECT_EQ(lines.text().substr(0, 3), "ok ");
  lines.assign(std::string("nul\0inside", 10));
  EXPECT_EQ(lines.size(), 10u);
}

TEST(UTF8TextTest, WellFormedMeansTheStandardsTable) {
  struct Case {
    std::string bytes;
    bool wellFormed;
  };
  const Case cases[] = {
      {"", true},
      {"plain ASCII, longer than eight bytes", true},
      {"\xc3\xa9", true},
      {"\xe2\x82\xac", true},
      {"\xf0\x9f\x98\x80", true},
      {"\xf4\x8f\xbf\xbf", true},    // U+10FFFF
      {"\xc0\xaf", false},            // overlong "/"
      {"\xe0\x80\xaf", false},        // overlong
      {"\xed\xa0\x80", false},        // a surrogate
      {"\xf4\x90\x80\x80", false},    // above U+10FFFF
      {"abc\xe2\x82", false},         // cut off
      {"\x80", false},                // a stray continuation
      {std::string("a\0b", 3), true},  // NUL is a character
  };
  for (const Case& c : cases) EXPECT_EQ(app::isWellFormedUTF8(c.bytes), c.wellFormed) << c.bytes;
}

TEST(UTF8TextTest, UTF16IndexesMapToByteOffsets) {
  const std::string line = "a\xc3\xa9\xf0\x9f\x98\x80z";  // a é 😀 z: 1+1+2+1 units
  EXPECT_EQ(app::utf16Length(line), 5u);
  EXPECT_EQ(app::byteOffsetOfUTF16(line, 0), 0u);
  EXPECT_EQ(app::byteOffsetOfUTF16(line, 2), 3u);
  EXPECT_EQ(app::byteOffsetOfUTF16(line, 3), 3u);  // inside the pair: its start
  EXPECT_EQ(app::byteOffsetOfUTF16(line, 4), 7u);
  EXPECT_EQ(app::byteOffsetOfUTF16(line, 99), line.size());
}

TEST(TextEditHistoryTest, TypingMergesLineBreaksAndMovesSplit) {
  app::TextEditHistory history;
  history.record({0, "", "a", 0, 0}, true);
  history.record({1, "", "b", 1, 1}, true);
  history.record({2, "", "\n", 2, 2}, true);  // a line break starts a step of its own
  history.record({3, "", "c", 3, 3}, true);
  history.breakTyping();
  history.record({4, "", "d", 4, 4}, true);
  history.record({0, "ab", "", 5, 5}, false);

  std::vector<std::string> undone;
  while (const auto edit = history.undo()) undone.push_back(edit->removed + "|" + edit->inserted);
  EXPECT_EQ(undone, (std::vector<std::string>{"ab|", "|d", "|c", "|\n", "|ab"}));
  ASSERT_TRUE(history.redo());
  history.record({0, "", "x", 0, 0}, true);  // a new edit drops what could be redone
  EXPECT_FALSE(history.canRedo());
}

TEST(TextEditHistoryTest, OldStepsGoFirstOnceTheLimitIsReached) {
  app::TextEditHistory history(10);
  history.record({0, "", "12345", 0, 0}, false);
  history.record({5, "", "6789", 5, 5}, false);
  history.record({9, "", "abc", 9, 9}, false);  // 12 bytes: the oldest goes
  std::vector<std::string> undone;
  while (const auto edit = history.undo()) undone.push_back(edit->inserted);
  EXPECT_EQ(undone, (std::vector<std::string>{"abc", "6789"}));
  // The newest step stays however large it is.
  history.record({0, std::string(100, 'x'), "", 0, 0}, false);
  EXPECT_TRUE(history.canUndo());
}

}  // namespace
