// The highlighter's formats for lines of hostfile text, and which lines it keeps across edits.
#include <gtest/gtest.h>

#include <QTextLayout>

#include "app/SyntaxHighlighter.h"
#include "app/TextLines.h"
#include "tests/platform/appkit/QtTestSupport.h"

namespace {

using app::SyntaxHighlighter;

// The format at `column` of the formats of one line.
QTextCharFormat formatAt(const QList<QTextLayout::FormatRange>& formats, int column) {
  for (const QTextLayout::FormatRange& range : formats) {
    if (column >= range.start && column < range.start + range.length) return range.format;
  }
  return {};
}

bool isMarkedInvalid(const QTextCharFormat& format) {
  return format.underlineStyle() == QTextCharFormat::DotLine &&
         format.underlineColor() == SyntaxHighlighter::invalidColor();
}

QColor colorOf(const QTextCharFormat& format) {
  return format.hasProperty(QTextFormat::ForegroundBrush) ? format.foreground().color() : QColor();
}

class SyntaxHighlighterTest : public ::testing::Test {
 protected:
  void SetUp() override { test::qtApplication(); }
};

TEST_F(SyntaxHighlighterTest, ColoursAndMarksEachLineAndKeepsColourUnderAMark) {
  const auto comment = SyntaxHighlighter::highlight(QStringLiteral("# comment"));
  EXPECT_EQ(colorOf(formatAt(comment, 0)), SyntaxHighlighter::commentColor());
  EXPECT_EQ(colorOf(formatAt(comment, 8)), SyntaxHighlighter::commentColor());

  const auto badName = SyntaxHighlighter::highlight(QStringLiteral("127.0.0.1 Bad_host ok"));
  EXPECT_EQ(colorOf(formatAt(badName, 0)), SyntaxHighlighter::ipv4Color());
  EXPECT_FALSE(isMarkedInvalid(formatAt(badName, 8)));
  EXPECT_TRUE(isMarkedInvalid(formatAt(badName, 10)));
  EXPECT_TRUE(isMarkedInvalid(formatAt(badName, 17)));
  EXPECT_FALSE(formatAt(badName, 10).hasProperty(QTextFormat::ForegroundBrush));
  EXPECT_FALSE(isMarkedInvalid(formatAt(badName, 18)));  // the blank
  EXPECT_FALSE(isMarkedInvalid(formatAt(badName, 19)));  // "ok"

  const auto ipv6 = SyntaxHighlighter::highlight(QStringLiteral("::1 localhost"));
  EXPECT_EQ(colorOf(formatAt(ipv6, 0)), SyntaxHighlighter::ipv6Color());
  EXPECT_FALSE(isMarkedInvalid(formatAt(ipv6, 5)));

  // The address ran into the comment: marked throughout, the comment keeps its colour.
  const auto intoComment = SyntaxHighlighter::highlight(QStringLiteral("127.0.0.1#c"));
  EXPECT_TRUE(isMarkedInvalid(formatAt(intoComment, 0)));
  EXPECT_FALSE(formatAt(intoComment, 0).hasProperty(QTextFormat::ForegroundBrush));
  EXPECT_TRUE(isMarkedInvalid(formatAt(intoComment, 10)));
  EXPECT_EQ(colorOf(formatAt(intoComment, 10)), SyntaxHighlighter::commentColor());

  const auto badAddress = SyntaxHighlighter::highlight(QStringLiteral("256.1.1.1 x"));
  EXPECT_TRUE(isMarkedInvalid(formatAt(badAddress, 0)));
  EXPECT_FALSE(formatAt(badAddress, 0).hasProperty(QTextFormat::ForegroundBrush));
  EXPECT_TRUE(SyntaxHighlighter::highlight(QString()).isEmpty());
}

TEST_F(SyntaxHighlighterTest, AnEditForgetsTheLinesItTouchedAndRenumbersTheRest) {
  SyntaxHighlighter highlighter;
  const QString good = QStringLiteral("127.0.0.1 good");
  const QString bad = QStringLiteral("127.0.0.1 Bad");
  for (std::size_t line = 0; line < 10; ++line) highlighter.formatsFor(line, line == 7 ? bad : good);
  ASSERT_EQ(highlighter.linesHighlighted(), 10u);

  // Line 3 split in two: lines 3 and 4 are new, line 7 is now line 8 and keeps its marks.
  highlighter.linesChanged(app::TextLines::Change{3, 0, 1});
  const std::size_t before = highlighter.linesHighlighted();
  EXPECT_TRUE(isMarkedInvalid(formatAt(highlighter.formatsFor(8, good), 10)));  // remembered
  highlighter.formatsFor(2, good);
  EXPECT_EQ(highlighter.linesHighlighted(), before);
  highlighter.formatsFor(3, good);
  highlighter.formatsFor(4, good);
  EXPECT_EQ(highlighter.linesHighlighted(), before + 2);

  // Lines 0 to 2 joined into one: line 8 moves up to 6.
  highlighter.linesChanged(app::TextLines::Change{0, 2, 0});
  EXPECT_TRUE(isMarkedInvalid(formatAt(highlighter.formatsFor(6, good), 10)));
  highlighter.reset();
  EXPECT_FALSE(isMarkedInvalid(formatAt(highlighter.formatsFor(6, good), 10)));
}

}  // namespace
