#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QTextBlock>
#include <QTextCursor>
#include <QAbstractTextDocumentLayout>
#include <QTextDocument>
#include <QTextLayout>

#include "app/SyntaxHighlighter.h"
#include "tests/platform/appkit/QtTestSupport.h"

namespace {

using app::SyntaxHighlighter;

// The format the highlighter gave the character at `column` of line `line`.
QTextCharFormat formatAt(const QTextDocument& document, int line, int column) {
  const QTextBlock block = document.findBlockByNumber(line);
  for (const QTextLayout::FormatRange& range : block.layout()->formats()) {
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
  QTextDocument document;
  document.documentLayout();  // edits reach a highlighter only through a laid-out document
  new SyntaxHighlighter(&document);
  QCoreApplication::processEvents();  // the attach-time pass is queued
  document.setPlainText(QString::fromUtf16(
      u"# comment\n127.0.0.1 Bad_host ok\n::1 localhost\n127.0.0.1#c\n256.1.1.1 x"));

  EXPECT_EQ(colorOf(formatAt(document, 0, 0)), SyntaxHighlighter::commentColor());
  EXPECT_EQ(colorOf(formatAt(document, 0, 8)), SyntaxHighlighter::commentColor());

  EXPECT_EQ(colorOf(formatAt(document, 1, 0)), SyntaxHighlighter::ipv4Color());
  EXPECT_FALSE(isMarkedInvalid(formatAt(document, 1, 8)));
  EXPECT_TRUE(isMarkedInvalid(formatAt(document, 1, 10)));
  EXPECT_TRUE(isMarkedInvalid(formatAt(document, 1, 17)));
  EXPECT_FALSE(formatAt(document, 1, 10).hasProperty(QTextFormat::ForegroundBrush));
  EXPECT_FALSE(isMarkedInvalid(formatAt(document, 1, 18)));  // the blank
  EXPECT_FALSE(isMarkedInvalid(formatAt(document, 1, 19)));  // "ok"

  EXPECT_EQ(colorOf(formatAt(document, 2, 0)), SyntaxHighlighter::ipv6Color());
  EXPECT_FALSE(isMarkedInvalid(formatAt(document, 2, 5)));

  // The address ran into the comment: marked throughout, the comment keeps its colour.
  EXPECT_TRUE(isMarkedInvalid(formatAt(document, 3, 0)));
  EXPECT_FALSE(formatAt(document, 3, 0).hasProperty(QTextFormat::ForegroundBrush));
  EXPECT_TRUE(isMarkedInvalid(formatAt(document, 3, 10)));
  EXPECT_EQ(colorOf(formatAt(document, 3, 10)), SyntaxHighlighter::commentColor());

  EXPECT_TRUE(isMarkedInvalid(formatAt(document, 4, 0)));
  EXPECT_FALSE(formatAt(document, 4, 0).hasProperty(QTextFormat::ForegroundBrush));
}

TEST_F(SyntaxHighlighterTest, AnEditHighlightsOnlyTheLinesItTouchedAndClearsOldMarks) {
  QTextDocument document;
  document.documentLayout();
  auto* highlighter = new SyntaxHighlighter(&document);
  QCoreApplication::processEvents();
  QString text;
  for (int i = 0; i < 100; ++i) text += QStringLiteral("127.0.0.1 host%1\n").arg(i);
  text += QStringLiteral("10.0.0.1 Last");
  document.setPlainText(text);
  ASSERT_EQ(document.blockCount(), 101);
  EXPECT_GE(highlighter->blocksHighlighted(), 101u);
  EXPECT_TRUE(isMarkedInvalid(formatAt(document, 100, 9)));

  struct Edit {
    const char* what;
    int line;
    int column;
    QString inserted;
    std::size_t linesHighlighted;
  };
  const Edit edits[] = {
      {"one character in the middle", 50, 3, QStringLiteral("9"), 1},
      {"a line break splits one line into two", 20, 10, QStringLiteral("\n"), 2},
      {"the last line", 101, 9, QStringLiteral("x"), 1},
  };
  for (const Edit& edit : edits) {
    const std::size_t before = highlighter->blocksHighlighted();
    QTextCursor cursor(document.findBlockByNumber(edit.line));
    cursor.movePosition(QTextCursor::Right, QTextCursor::MoveAnchor, edit.column);
    cursor.insertText(edit.inserted);
    EXPECT_EQ(highlighter->blocksHighlighted() - before, edit.linesHighlighted) << edit.what;
  }

  // Fixing the bad name on the last line takes its mark away.
  QTextCursor cursor(document.findBlockByNumber(101));
  cursor.movePosition(QTextCursor::Right, QTextCursor::MoveAnchor, 9);
  cursor.movePosition(QTextCursor::EndOfBlock, QTextCursor::KeepAnchor);
  cursor.insertText(QStringLiteral("last"));
  EXPECT_FALSE(isMarkedInvalid(formatAt(document, 101, 9)));
  EXPECT_EQ(colorOf(formatAt(document, 101, 0)), SyntaxHighlighter::ipv4Color());
}

}  // namespace
