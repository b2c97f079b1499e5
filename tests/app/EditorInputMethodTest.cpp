// The hostfile editor and input methods, driven by the events and queries an input method sends,
// on the offscreen platform: the text being composed, commits that replace text around the
// cursor, and what the input method is told of the text.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QInputMethodEvent>
#include <QInputMethodQueryEvent>
#include <QTest>

#include <algorithm>
#include <memory>
#include <string>

#include "app/QMTextView.h"
#include "tests/platform/appkit/QtTestSupport.h"

namespace {

class EditorInputMethodTest : public ::testing::Test {
 protected:
  void SetUp() override {
    test::qtApplication();
    view = std::make_unique<app::QMTextView>();
    QObject::connect(view.get(), &app::QMTextView::userEdited, [this] { ++edits; });
    view->resize(600, 400);
    view->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(view.get()));
    view->setFocus();
  }

  // A preedit text with the input method's cursor at `cursor` (hidden when negative).
  void compose(app::QMTextView& target, const QString& preedit, int cursor) {
    QInputMethodEvent event(preedit, {{QInputMethodEvent::Cursor, std::max(0, cursor), cursor >= 0 ? 1 : 0}});
    QCoreApplication::sendEvent(&target, &event);
  }

  void commit(const QString& text, int replacementStart = 0, int replacementLength = 0) {
    QInputMethodEvent event;
    event.setCommitString(text, replacementStart, replacementLength);
    QCoreApplication::sendEvent(view.get(), &event);
  }

  QVariant query(app::QMTextView& target, Qt::InputMethodQuery what) {
    QInputMethodQueryEvent event(what);
    QCoreApplication::sendEvent(&target, &event);
    return event.value(what);
  }

  std::unique_ptr<app::QMTextView> view;
  int edits = 0;
};

bool isUnderlined(const QTextLayout::FormatRange& range) {
  return range.format.underlineStyle() == QTextCharFormat::SingleUnderline;
}

TEST_F(EditorInputMethodTest, APreeditIsShownUnderlinedAtTheCursorAndIsNoEdit) {
  const std::string shown = "127.0.0.1 locl # note";
  view->showText(shown, true);
  view->setCursorPosition(14);  // after "locl"
  const QList<QTextLayout::FormatRange> plain = view->formatsOfLine(0);

  compose(*view, QStringLiteral("ho"), 1);
  EXPECT_EQ(view->preeditText(), QStringLiteral("ho"));
  EXPECT_EQ(view->text(), shown);
  EXPECT_EQ(edits, 0);
  // Painted as part of the line: underlined at the cursor, the line's own colours moved past it.
  const QList<QTextLayout::FormatRange> painted = view->formatsOfLine(0);
  const auto underline = std::find_if(painted.begin(), painted.end(), isUnderlined);
  ASSERT_NE(underline, painted.end());
  EXPECT_EQ(underline->start, 14);
  EXPECT_EQ(underline->length, 2);
  const auto comment = [](const QList<QTextLayout::FormatRange>& formats) {
    for (const auto& range : formats) {
      if (range.format.hasProperty(QTextFormat::ForegroundBrush) && range.length == 6) return range.start;
    }
    return -1;
  };
  ASSERT_EQ(comment(plain), 15);
  EXPECT_EQ(comment(painted), 17);
  view->viewport()->repaint();  // painting a line that holds a preedit text

  // The input method's cursor sits inside the preedit text: where it would be were "ho" typed.
  app::QMTextView reference;
  reference.resize(view->size());
  reference.showText("127.0.0.1 loclho # note", true);
  reference.setCursorPosition(15);
  EXPECT_EQ(query(*view, Qt::ImCursorRectangle).toRect(), query(reference, Qt::ImCursorRectangle).toRect());

  // An empty preedit ends the composing: the line is painted as before.
  compose(*view, QString(), -1);
  EXPECT_TRUE(view->preeditText().isEmpty());
  EXPECT_EQ(view->formatsOfLine(0).size(), plain.size());
  EXPECT_EQ(edits, 0);
}

TEST_F(EditorInputMethodTest, ACommitReplacesItsRangeAroundTheCursorAsOneUndoableEdit) {
  struct Case {
    const char* what;
    std::string shown;
    std::size_t anchor, cursor;
    const char* committed;
    int replacementStart, replacementLength;
    std::string expected;
  };
  const Case cases[] = {
      {"the word before the cursor", "127.0.0.1 locl\n", 14, 14, "local", -4, 4, "127.0.0.1 local\n"},
      {"units are UTF-16: a surrogate pair is two", "a\xf0\x9f\x98\x80" "b", 5, 5, "x", -2, 2, "axb"},
      {"the range stays within the cursor's line", "ab\ncd\nef", 4, 4, "X", -5, 10, "ab\nX\nef"},
      {"text after the cursor, nothing committed", "abcd", 1, 1, "", 0, 2, "ad"},
      {"no range: the selection is replaced", "abcd", 1, 3, "Z", 0, 0, "aZd"},
  };
  for (const Case& testCase : cases) {
    view->showText(testCase.shown, true);
    view->setCursorPosition(testCase.anchor);
    view->setCursorPosition(testCase.cursor, true);
    compose(*view, QStringLiteral("x"), 1);
    edits = 0;
    commit(QString::fromUtf8(testCase.committed), testCase.replacementStart, testCase.replacementLength);
    EXPECT_EQ(view->text(), testCase.expected) << testCase.what;
    EXPECT_TRUE(view->preeditText().isEmpty()) << testCase.what;
    EXPECT_EQ(edits, 1) << testCase.what;
    QTest::keyClick(view.get(), Qt::Key_Z, Qt::ControlModifier);
    EXPECT_EQ(view->text(), testCase.shown) << testCase.what;
  }
  // Consecutive commits are typing: one undo takes them back together.
  view->showText("x", true);
  view->setCursorPosition(1);
  commit(QStringLiteral("\u4f60"));
  commit(QStringLiteral("\u597d"));
  EXPECT_EQ(view->text(), "x\xe4\xbd\xa0\xe5\xa5\xbd");
  QTest::keyClick(view.get(), Qt::Key_Z, Qt::ControlModifier);
  EXPECT_EQ(view->text(), "x");
}

TEST_F(EditorInputMethodTest, QueriesAnswerFromTheCursorsLineInUTF16Units) {
  // Line 1 is "sec\xc3\xb6nd \xf0\x9f\x98\x80 line": six characters, a blank, a surrogate pair.
  const std::string shown = "first line\r\nsec\xc3\xb6nd \xf0\x9f\x98\x80 line\nthird";
  view->showText(shown, true);
  const std::size_t lineStart = 12;
  view->setCursorPosition(lineStart);
  view->setCursorPosition(lineStart + 12, true);  // after the pair
  EXPECT_EQ(query(*view, Qt::ImSurroundingText).toString(), QString::fromUtf8("sec\xc3\xb6nd \xf0\x9f\x98\x80 line"));
  EXPECT_EQ(query(*view, Qt::ImCursorPosition).toInt(), 9);
  EXPECT_EQ(query(*view, Qt::ImAnchorPosition).toInt(), 0);
  EXPECT_EQ(query(*view, Qt::ImCurrentSelection).toString(), QString::fromUtf8("sec\xc3\xb6nd \xf0\x9f\x98\x80"));

  // A selection from the line before is cut to the cursor's line.
  view->setCursorPosition(3);
  view->setCursorPosition(lineStart + 3, true);
  EXPECT_EQ(query(*view, Qt::ImAnchorPosition).toInt(), 0);
  EXPECT_EQ(query(*view, Qt::ImCursorPosition).toInt(), 3);
  EXPECT_EQ(query(*view, Qt::ImCurrentSelection).toString(), QStringLiteral("sec"));

  // A line of 100,000 bytes is told around the cursor only.
  const std::string half(50000, 'a');
  view->showText(half + "XY" + half, true);
  view->setCursorPosition(half.size() + 1);
  const QString surrounding = query(*view, Qt::ImSurroundingText).toString();
  const int cursor = query(*view, Qt::ImCursorPosition).toInt();
  EXPECT_LE(surrounding.size(), static_cast<qsizetype>(app::QMTextView::kDisplayedBytes));
  ASSERT_GT(cursor, 0);
  ASSERT_LT(cursor, surrounding.size());
  EXPECT_EQ(surrounding.mid(cursor - 1, 2), QStringLiteral("XY"));
}

TEST_F(EditorInputMethodTest, TheCursorRectangleIsInTheViewsCoordinatesPastItsFrame) {
  // A wide frame, so that the viewport's coordinates and the view's differ plainly.
  view->setStyleSheet(QStringLiteral("app--QMTextView { border: 40px solid black; }"));
  view->showText("127.0.0.1 localhost\n", true);
  view->setCursorPosition(0);
  const QPoint viewport = view->viewport()->pos();
  ASSERT_GE(viewport.y(), 40);
  const QRect rectangle = query(*view, Qt::ImCursorRectangle).toRect();
  EXPECT_EQ(rectangle.left(), viewport.x() + static_cast<int>(app::QMTextView::kInset));
  EXPECT_EQ(rectangle.top(), viewport.y() + static_cast<int>(app::QMTextView::kInset));
}

}  // namespace
