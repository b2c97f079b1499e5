// The hostfile editor as the user drives it: keys, the mouse and the clipboard on the offscreen
// platform, and what it costs to show and edit a long text (counted in lines highlighted).
#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QFontDatabase>
#include <QFontInfo>
#include <QFontMetricsF>
#include <QScrollBar>
#include <QTest>

#include <memory>
#include <string>
#include <vector>

#include "app/QMTextView.h"
#include "app/SyntaxHighlighter.h"
#include "tests/app/TextViewTestSupport.h"
#include "tests/platform/appkit/QtTestSupport.h"

namespace {

class HostfileEditorTest : public ::testing::Test {
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

  void typeAtEnd(const QString& keys) {
    QTest::keyClick(view.get(), Qt::Key_End, Qt::ControlModifier);
    QTest::keyClicks(view.get(), keys);
  }

  // Paints the view now, as the window system would after a change.
  void paint() { view->viewport()->repaint(); }

  // The point in the view of column `column` of line `line` (fixed pitch: columns line up).
  QPoint pointAt(int line, int column) {
    const QFontMetricsF metrics(view->font());
    const qreal x = app::QMTextView::kInset + (column + 0.3) * metrics.horizontalAdvance(QLatin1Char('M'));
    const qreal y = app::QMTextView::kInset + (line + 0.5) * metrics.lineSpacing();
    return QPointF(x, y).toPoint();
  }

  // Made in SetUp: a widget needs the application first.
  std::unique_ptr<app::QMTextView> view;
  int edits = 0;
};

TEST_F(HostfileEditorTest, ShowingATextIsNoEditButTypingIs) {
  view->showText("127.0.0.1 localhost\n", true);
  view->showText("# another hostfile", true);
  EXPECT_EQ(edits, 0);
  EXPECT_EQ(view->editCount(), 0u);
  EXPECT_EQ(view->text(), "# another hostfile");

  typeAtEnd(QStringLiteral("!!"));
  EXPECT_EQ(view->text(), "# another hostfile!!");
  EXPECT_EQ(edits, 2);
  EXPECT_EQ(view->editCount(), 2u);

  // Showing another hostfile clears the undo history: undo cannot bring the old text back.
  view->showText("10.0.0.1 a", true);
  QTest::keyClick(view.get(), Qt::Key_Z, Qt::ControlModifier);
  EXPECT_EQ(view->text(), "10.0.0.1 a");
}

TEST_F(HostfileEditorTest, AReadOnlyHostfileCannotBeChangedButCanBeCopied) {
  view->showText("10.0.0.1 remote", false);
  EXPECT_FALSE(view->isEditable());
  typeAtEnd(QStringLiteral("x"));
  QTest::keyClick(view.get(), Qt::Key_Backspace);
  QTest::keyClick(view.get(), Qt::Key_A, Qt::ControlModifier);
  QTest::keyClick(view.get(), Qt::Key_X, Qt::ControlModifier);
  QTest::keyClick(view.get(), Qt::Key_V, Qt::ControlModifier);
  EXPECT_EQ(view->text(), "10.0.0.1 remote");
  EXPECT_EQ(edits, 0);
  QTest::keyClick(view.get(), Qt::Key_C, Qt::ControlModifier);
  EXPECT_EQ(QApplication::clipboard()->text(), QStringLiteral("10.0.0.1 remote"));

  view->showText("10.0.0.1 local", true);
  EXPECT_TRUE(view->isEditable());
  typeAtEnd(QStringLiteral("x"));
  EXPECT_EQ(view->text(), "10.0.0.1 localx");
}

TEST_F(HostfileEditorTest, TextComesBackWithItsLineEndsAndCharacters) {
  struct Case {
    std::string shown;
    std::string afterTypingXThenReturnY;
  };
  const Case cases[] = {
      {"a\nb\n", "a\nb\nx\ny"},
      {"a\r\nb\r\n", "a\r\nb\r\nx\r\ny"},                          // Return follows the text's CR LF
      {"a\r\nb\n", "a\r\nb\nx\ny"},                                // mixed: kept as it was
      {"127.0.0.1 a\xc2\xa0" "b", "127.0.0.1 a\xc2\xa0" "bx\ny"},  // a no-break space stays
      {"", "x\ny"},
  };
  for (const Case& testCase : cases) {
    view->showText(testCase.shown, true);
    typeAtEnd(QStringLiteral("x"));
    QTest::keyClick(view.get(), Qt::Key_Return);
    QTest::keyClicks(view.get(), QStringLiteral("y"));
    EXPECT_EQ(view->text(), testCase.afterTypingXThenReturnY) << testCase.shown;
  }
  view->showText("bad \xff byte", true);
  EXPECT_EQ(view->text(), "bad \xef\xbf\xbd byte");  // shown as U+FFFD
}

TEST_F(HostfileEditorTest, KeysMoveSelectAndEditAsInOtherEditors) {
  struct Step {
    const char* what;
    std::vector<std::pair<int, Qt::KeyboardModifiers>> keys;
    const char* typed;
    std::string expected;
  };
  const std::string shown = "127.0.0.1 one\r\n10.0.0.2 two\r\n";
  const Step steps[] = {
      {"backspace at a line start joins the lines, CR LF and all", {{Qt::Key_Down, {}}, {Qt::Key_Home, {}}, {Qt::Key_Backspace, {}}}, "",
       "127.0.0.1 one10.0.0.2 two\r\n"},
      {"delete at a line end joins them too", {{Qt::Key_End, {}}, {Qt::Key_Delete, {}}}, "",
       "127.0.0.1 one10.0.0.2 two\r\n"},
      {"shift and arrows select, typing replaces", {{Qt::Key_Home, {}}, {Qt::Key_Right, Qt::ShiftModifier}, {Qt::Key_Right, Qt::ShiftModifier}, {Qt::Key_Right, Qt::ShiftModifier}}, "192",
       "192.0.0.1 one\r\n10.0.0.2 two\r\n"},
      {"down keeps the column", {{Qt::Key_Home, {}}, {Qt::Key_Right, {}}, {Qt::Key_Right, {}}, {Qt::Key_Down, {}}}, "#",
       "127.0.0.1 one\r\n10#.0.0.2 two\r\n"},
      {"select all and delete", {{Qt::Key_A, Qt::ControlModifier}, {Qt::Key_Delete, {}}}, "", ""},
      {"a word back", {{Qt::Key_End, {}}, {Qt::Key_Backspace, Qt::ControlModifier}}, "",
       "127.0.0.1 \r\n10.0.0.2 two\r\n"},
  };
  for (const Step& step : steps) {
    view->showText(shown, true);
    for (const auto& [key, modifiers] : step.keys) QTest::keyClick(view.get(), static_cast<Qt::Key>(key), modifiers);
    QTest::keyClicks(view.get(), QString::fromUtf8(step.typed));
    EXPECT_EQ(view->text(), step.expected) << step.what;
  }
}

// The keys the editor uses are its own while it has the focus; the window's other shortcuts still
// answer from it.
TEST_F(HostfileEditorTest, TheEditorsKeysGoAheadOfTheWindowsShortcuts) {
  struct Case {
    const char* what;
    QKeySequence shortcut;
    Qt::Key key;
    Qt::KeyboardModifiers modifiers;
    bool shortcutAnswers;
  };
  const Case cases[] = {
      {"undo", QKeySequence(Qt::CTRL | Qt::Key_Z), Qt::Key_Z, Qt::ControlModifier, false},
      {"select all", QKeySequence(Qt::CTRL | Qt::Key_A), Qt::Key_A, Qt::ControlModifier, false},
      {"the end of the text", QKeySequence(Qt::CTRL | Qt::Key_End), Qt::Key_End, Qt::ControlModifier, false},
      {"a typed letter", QKeySequence(Qt::Key_Q), Qt::Key_Q, {}, false},
      {"a key the editor has no use for", QKeySequence(Qt::CTRL | Qt::Key_Return), Qt::Key_Return, Qt::ControlModifier,
       true},
  };
  view->activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(view.get()));
  for (const Case& c : cases) {
    view->showText("0.0.0.0 a\n", true);
    QAction action(c.what);
    action.setShortcut(c.shortcut);
    view->addAction(&action);
    int triggered = 0;
    QObject::connect(&action, &QAction::triggered, [&] { ++triggered; });
    QTest::keyClick(view.get(), c.key, c.modifiers);
    EXPECT_EQ(triggered, c.shortcutAnswers ? 1 : 0) << c.what;
    view->removeAction(&action);
  }
}

TEST_F(HostfileEditorTest, UndoTakesBackTypingInOneStepAndRedoMakesItAgain) {
  view->showText("0.0.0.0 a\n", true);
  typeAtEnd(QStringLiteral("10.1.1.1 typed"));
  QTest::keyClick(view.get(), Qt::Key_Return);
  QTest::keyClicks(view.get(), QStringLiteral("more"));
  QTest::keyClick(view.get(), Qt::Key_Z, Qt::ControlModifier);
  EXPECT_EQ(view->text(), "0.0.0.0 a\n10.1.1.1 typed\n");
  QTest::keyClick(view.get(), Qt::Key_Z, Qt::ControlModifier);
  QTest::keyClick(view.get(), Qt::Key_Z, Qt::ControlModifier);
  EXPECT_EQ(view->text(), "0.0.0.0 a\n");
  QTest::keyClick(view.get(), Qt::Key_Z, Qt::ControlModifier | Qt::ShiftModifier);
  EXPECT_EQ(view->text(), "0.0.0.0 a\n10.1.1.1 typed");
  EXPECT_EQ(view->cursorPosition(), view->text().size());
  // Each undo and redo is an edit the window must hand to the record.
  EXPECT_EQ(view->editCount(), 14u + 1u + 4u + 3u + 1u);
}

using test::caretInSight;

TEST_F(HostfileEditorTest, TheCaretStaysInSightAfterEveryEditUndoAndRedo) {
  // Scroll bars wider than the inset, as some desktop themes draw them: one that appears after an
  // edit must not cover the caret.
  view->setStyleSheet(QStringLiteral("QScrollBar:horizontal { height: 40px; } QScrollBar:vertical { width: 40px; }"));
  view->showText("", true);
  std::string pasted;
  for (int i = 0; i < 10000; ++i) pasted += "0.0.0.0 ads" + std::to_string(i) + ".example.com\n";
  pasted += "0.0.0.0 last.example.com";
  QApplication::clipboard()->setText(QString::fromStdString(pasted));
  QTest::keyClick(view.get(), Qt::Key_V, Qt::ControlModifier);
  ASSERT_EQ(view->text(), pasted);
  EXPECT_TRUE(caretInSight(*view)) << "after the paste";
  // The caret is on the last line, which is the last one in sight.
  QTest::keyClick(view.get(), Qt::Key_Return);
  EXPECT_TRUE(caretInSight(*view)) << "after Return on the last visible line";
  QTest::keyClicks(view.get(), QStringLiteral("10.0.0.1 typed"));
  EXPECT_TRUE(caretInSight(*view)) << "after typing on the new line";
  QTest::keyClick(view.get(), Qt::Key_Z, Qt::ControlModifier);
  QTest::keyClick(view.get(), Qt::Key_Z, Qt::ControlModifier);
  EXPECT_EQ(view->text(), pasted);
  EXPECT_TRUE(caretInSight(*view)) << "after undoing the new line";
  QTest::keyClick(view.get(), Qt::Key_Z, Qt::ControlModifier);
  EXPECT_EQ(view->text(), "");
  EXPECT_TRUE(caretInSight(*view)) << "after undoing the paste";
  QTest::keyClick(view.get(), Qt::Key_Z, Qt::ControlModifier | Qt::ShiftModifier);
  EXPECT_EQ(view->text(), pasted);
  EXPECT_TRUE(caretInSight(*view)) << "after redoing the paste";

  // Sideways too: the end of a line wider than the view, of one whose tabs reach further than its
  // bytes suggest, and of a wide line below the view's height (both scroll bars appear at once).
  const std::string wide[] = {"127.0.0.1 " + std::string(300, 'a'), "127.0.0.1" + std::string(60, '\t') + "host",
                              std::string(100, '\n') + "127.0.0.1 " + std::string(300, 'b')};
  for (const std::string& line : wide) {
    view->showText("", true);
    QApplication::clipboard()->setText(QString::fromStdString(line));
    QTest::keyClick(view.get(), Qt::Key_V, Qt::ControlModifier);
    EXPECT_TRUE(caretInSight(*view)) << "at the end of a pasted " << line.size() << "-byte line";
    QTest::keyClick(view.get(), Qt::Key_Z, Qt::ControlModifier);
    QTest::keyClick(view.get(), Qt::Key_Z, Qt::ControlModifier | Qt::ShiftModifier);
    EXPECT_TRUE(caretInSight(*view)) << "after redoing the " << line.size() << "-byte line";
  }
}

TEST_F(HostfileEditorTest, PastedLinesTakeTheTextsLineEndsAndCutRemovesTheSelection) {
  view->showText("a\r\nb", true);
  QApplication::clipboard()->setText(QStringLiteral("x\ny\r\nz"));
  typeAtEnd(QString());
  QTest::keyClick(view.get(), Qt::Key_V, Qt::ControlModifier);
  EXPECT_EQ(view->text(), "a\r\nbx\r\ny\r\nz");

  view->showText("keep cut", true);
  QTest::keyClick(view.get(), Qt::Key_End);
  for (int i = 0; i < 4; ++i) QTest::keyClick(view.get(), Qt::Key_Left, Qt::ShiftModifier);
  QTest::keyClick(view.get(), Qt::Key_X, Qt::ControlModifier);
  EXPECT_EQ(view->text(), "keep");
  EXPECT_EQ(QApplication::clipboard()->text(), QStringLiteral(" cut"));
}

TEST_F(HostfileEditorTest, TheMousePlacesTheCursorAndADoubleClickSelectsAName) {
  view->showText("127.0.0.1 localhost\n10.0.0.2 ads.example.com other\n", true);
  QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, pointAt(1, 4));
  EXPECT_EQ(view->cursorPosition(), std::string("127.0.0.1 localhost\n10.0").size());
  QTest::mouseDClick(view->viewport(), Qt::LeftButton, {}, pointAt(1, 12));
  EXPECT_EQ(view->selectedText(), QStringLiteral("ads.example.com"));
  QTest::mouseClick(view->viewport(), Qt::LeftButton, Qt::ShiftModifier, pointAt(0, 0));
  EXPECT_EQ(view->selectedText(), QStringLiteral("127.0.0.1 localhost\n10.0.0.2 "));
}

TEST_F(HostfileEditorTest, ShowingALongTextHighlightsOnlyTheLinesInSight) {
  std::string text;
  for (int i = 0; i < 200000; ++i) text += "0.0.0.0 ads" + std::to_string(i) + ".example.com\n";
  std::size_t before = view->highlighter().linesHighlighted();
  view->showText(text, true);
  paint();
  const auto [first, last] = view->visibleLines();
  EXPECT_EQ(first, 0u);
  EXPECT_LT(last, 100u);
  EXPECT_EQ(view->highlighter().linesHighlighted() - before, last - first + 1);

  // A key costs the line it changed; the other lines in sight keep their marks.
  before = view->highlighter().linesHighlighted();
  QTest::keyClick(view.get(), Qt::Key_X);
  paint();
  EXPECT_EQ(view->highlighter().linesHighlighted() - before, 1u);
  // A line break: the two halves of the line.
  before = view->highlighter().linesHighlighted();
  QTest::keyClick(view.get(), Qt::Key_Return);
  paint();
  EXPECT_EQ(view->highlighter().linesHighlighted() - before, 2u);

  // The end of the text: only what comes into sight there.
  before = view->highlighter().linesHighlighted();
  QTest::keyClick(view.get(), Qt::Key_End, Qt::ControlModifier);
  paint();
  EXPECT_LE(view->highlighter().linesHighlighted() - before, last - first + 2);
  EXPECT_EQ(view->visibleLines().second, view->lines().lineCount() - 1);
  EXPECT_EQ(view->editCount(), 2u);
}

TEST_F(HostfileEditorTest, AVeryLongLineShowsItsBeginningOnly) {
  // One bad host name of a megabyte: its mark ends where the shown part of the line ends.
  std::string text = "127.0.0.1 " + std::string(1 << 20, 'A');
  view->showText(text, true);
  paint();
  const auto formats = view->formatsOfLine(0);
  ASSERT_FALSE(formats.isEmpty());
  EXPECT_EQ(formats.back().start + formats.back().length, static_cast<int>(app::QMTextView::kDisplayedBytes));
  typeAtEnd(QStringLiteral("z"));
  EXPECT_EQ(view->text().size(), text.size() + 1);
  EXPECT_EQ(view->text().back(), 'z');
}

TEST_F(HostfileEditorTest, MonospaceElevenPointUnwrappedWithAnInset) {
  const QFont font = view->font();
  EXPECT_TRUE(font.fixedPitch());
  EXPECT_EQ(font.styleHint(), QFont::Monospace);
  EXPECT_EQ(font.pointSize(), 11);
  EXPECT_DOUBLE_EQ(app::QMTextView::kInset, 15.0);
  // A line wider than the view scrolls sideways instead of wrapping.
  view->showText("127.0.0.1 " + std::string(400, 'a'), true);
  EXPECT_GT(view->horizontalScrollBar()->maximum(), 0);
  EXPECT_EQ(view->lines().lineCount(), 1u);
}

// Fixed pitch as a reader sees it: every printable ASCII character at the advance of "i".
bool linesUp(const QFont& font) {
  const QFontMetricsF metrics(font);
  const QString ascii = QStringLiteral(" !\"#$%&'()*+,-./0123456789:;<=>?@ABCDEFGHIJKLMNOPQRSTUVWXYZ[\\]^_`"
                                       "abcdefghijklmnopqrstuvwxyz{|}~");
  for (QChar c : ascii) {
    if (metrics.horizontalAdvance(c) != metrics.horizontalAdvance(QLatin1Char('i'))) return false;
  }
  return true;
}

// The first installed family whose face lines up as `wanted` says; empty when there is none.
QString firstFamily(bool wanted) {
  for (const QString& family : QFontDatabase::families()) {
    if (linesUp(QFont(family)) == wanted) return family;
  }
  return QString();
}

// Which faces a machine has decides what the platform's fixed font resolves to: with some common
// font packages it is a face the font database does not count as fixed-pitch, or a proportional
// one. The editor must line columns up whenever any installed face can.
TEST_F(HostfileEditorTest, TheFontLinesUpColumnsWhateverFaceTheSystemOffers) {
  const QString fixed = firstFamily(true);
  const QString proportional = firstFamily(false);
  if (fixed.isEmpty()) GTEST_SKIP() << "no installed face sets ASCII at one advance";
  const QFont font = view->font();
  EXPECT_TRUE(linesUp(font)) << QFontInfo(font).family().toStdString();
  // As if the desktop's fixed font were a proportional face.
  if (proportional.isEmpty()) GTEST_SKIP() << "no proportional face installed";
  const QFont fromProportional = app::QMTextView::fixedPitchFont(QFont(proportional), 11);
  EXPECT_TRUE(linesUp(fromProportional)) << proportional.toStdString() << " gave "
                                         << QFontInfo(fromProportional).family().toStdString();
  EXPECT_EQ(fromProportional.pointSize(), 11);
  // A face that already lines up is kept.
  EXPECT_EQ(QFontInfo(app::QMTextView::fixedPitchFont(QFont(fixed), 11)).family(), QFontInfo(QFont(fixed)).family());
}

}  // namespace
