// Text moving in and out of the hostfile editor by the mouse: the primary selection and the
// middle click, drag and drop within the view and from other programs, and scrolling while the
// mouse is held past an edge. On the offscreen platform, with the real widget.
#include <gtest/gtest.h>

#include <QApplication>
#include <QClipboard>
#include <QDropEvent>
#include <QMimeData>
#include <QMouseEvent>
#include <QScrollBar>
#include <QTest>

#include <cstdint>
#include <memory>
#include <string>
#include <utility>

#include "app/QMTextView.h"
#include "tests/app/TextViewTestSupport.h"
#include "tests/platform/appkit/QtTestSupport.h"

namespace {

using test::pointAt;

class HostfileEditorTransferTest : public ::testing::Test {
 protected:
  void SetUp() override {
    test::qtApplication();
    QApplication::clipboard()->clear(QClipboard::Clipboard);
    view = std::make_unique<app::QMTextView>();
    view->resize(600, 400);
    view->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(view.get()));
    view->setFocus();
  }

  void mouse(QEvent::Type type, const QPoint& point, Qt::MouseButton button, Qt::MouseButtons held,
             Qt::KeyboardModifiers modifiers = {}) {
    QMouseEvent event(type, point, view->viewport()->mapToGlobal(point), button, held, modifiers);
    QApplication::sendEvent(view->viewport(), &event);
  }
  void press(const QPoint& point, Qt::MouseButton button = Qt::LeftButton, Qt::KeyboardModifiers modifiers = {}) {
    mouse(QEvent::MouseButtonPress, point, button, button, modifiers);
  }
  void moveHeld(const QPoint& point) { mouse(QEvent::MouseMove, point, Qt::NoButton, Qt::LeftButton); }
  void release(const QPoint& point, Qt::MouseButton button = Qt::LeftButton) {
    mouse(QEvent::MouseButtonRelease, point, button, Qt::NoButton);
  }
  // Drags with the mouse from `from` to `to`: press, move, release.
  void sweep(const QPoint& from, const QPoint& to) {
    press(from);
    moveHeld(to);
    release(to);
  }

  void select(std::size_t from, std::size_t to) {
    view->setCursorPosition(from);
    view->setCursorPosition(to, true);
  }

  // Selecting with the mouse (a sweep, a double click) and with the keys offers the text in `mode`,
  // a click that only places the cursor keeps what was offered, and a middle click pastes it at
  // the click as one edit.
  void selectAndPasteWithTheMiddleButton(QClipboard::Mode mode) {
    app::QMTextView& editor = *view;
    QClipboard* clipboard = QApplication::clipboard();
    editor.showText("127.0.0.1 localhost\n10.0.0.2 ads.example.com\n", true);
    sweep(pointAt(editor, 0, 0), pointAt(editor, 0, 9));
    EXPECT_EQ(clipboard->text(mode).toStdString(), "127.0.0.1");
    QTest::mouseDClick(editor.viewport(), Qt::LeftButton, {}, pointAt(editor, 1, 12));
    EXPECT_EQ(clipboard->text(mode).toStdString(), "ads.example.com");
    sweep(pointAt(editor, 1, 0), pointAt(editor, 1, 0));
    QTest::keyClick(&editor, Qt::Key_End, Qt::ShiftModifier);
    EXPECT_EQ(clipboard->text(mode).toStdString(), "10.0.0.2 ads.example.com");
    QTest::keyClick(&editor, Qt::Key_Home);
    EXPECT_EQ(clipboard->text(mode).toStdString(), "10.0.0.2 ads.example.com") << "a collapsed selection keeps it";

    const std::uint64_t edits = editor.editCount();
    press(pointAt(editor, 0, 19), Qt::MiddleButton);
    release(pointAt(editor, 0, 19), Qt::MiddleButton);
    EXPECT_EQ(editor.text(), "127.0.0.1 localhost10.0.0.2 ads.example.com\n10.0.0.2 ads.example.com\n");
    EXPECT_EQ(editor.editCount(), edits + 1);
    QTest::keyClick(&editor, Qt::Key_Z, Qt::ControlModifier);
    EXPECT_EQ(editor.text(), "127.0.0.1 localhost\n10.0.0.2 ads.example.com\n");

    // Read-only: selecting still offers the text, but a middle click changes nothing.
    editor.showText("0.0.0.0 remote.example", false);
    sweep(pointAt(editor, 0, 8), pointAt(editor, 0, 14));
    EXPECT_EQ(clipboard->text(mode).toStdString(), "remote");
    press(pointAt(editor, 0, 0), Qt::MiddleButton);
    EXPECT_EQ(editor.text(), "0.0.0.0 remote.example");
  }

  // Made in SetUp: a widget needs the application first.
  std::unique_ptr<app::QMTextView> view;
};

// --- Primary selection ---------------------------------------------------------------------------

TEST_F(HostfileEditorTransferTest, SelectingFillsThePlatformsSelectionAndAMiddleClickPastesIt) {
  if (!QApplication::clipboard()->supportsSelection()) {
    GTEST_SKIP() << "the " << QGuiApplication::platformName().toStdString()
                 << " platform has no primary selection; the next test runs the same steps on the clipboard";
  }
  selectAndPasteWithTheMiddleButton(QClipboard::Selection);
}

// The offscreen platform has no primary selection, so the view is pointed at the clipboard, which
// it has: the same gestures, the same QClipboard calls, another mode.
TEST_F(HostfileEditorTransferTest, SelectingAndTheMiddleClickWorkThroughTheModeTheViewIsGiven) {
  view->setPrimarySelectionMode(QClipboard::Clipboard);
  selectAndPasteWithTheMiddleButton(QClipboard::Clipboard);
}

TEST_F(HostfileEditorTransferTest, WithoutAPrimarySelectionSelectingLeavesTheClipboardAlone) {
  if (QApplication::clipboard()->supportsSelection()) GTEST_SKIP() << "this platform has a primary selection";
  QApplication::clipboard()->setText(QStringLiteral("copied before"));
  view->showText("127.0.0.1 localhost\n", true);
  sweep(pointAt(*view, 0, 0), pointAt(*view, 0, 9));
  QTest::keyClick(view.get(), Qt::Key_End, Qt::ShiftModifier);
  QTest::keyClick(view.get(), Qt::Key_A, Qt::ControlModifier);
  press(pointAt(*view, 0, 0), Qt::MiddleButton);
  EXPECT_EQ(QApplication::clipboard()->text().toStdString(), "copied before");
  EXPECT_EQ(view->text(), "127.0.0.1 localhost\n");
}

// --- Drag and drop -------------------------------------------------------------------------------

// Stands in for the platform's drag loop, which blocks until the user lets go: the user lets go
// over `target` at `point` with `modifiers` held, and the drag's result is the action the drop
// took. Without a target the drop lands in another program, which takes `elsewhere`.
struct LetGo {
  QWidget* target = nullptr;
  QPoint point;
  Qt::KeyboardModifiers modifiers;
  Qt::DropAction elsewhere = Qt::IgnoreAction;
  Qt::DropActions* offered = nullptr;

  Qt::DropAction operator()(std::unique_ptr<QMimeData> data, Qt::DropActions actions) const {
    if (offered) *offered = actions;
    if (!target) return elsewhere;
    QDragEnterEvent enter(point, actions, data.get(), Qt::LeftButton, modifiers);
    QApplication::sendEvent(target, &enter);
    if (!enter.isAccepted()) return Qt::IgnoreAction;
    QDropEvent drop(point, actions, data.get(), Qt::LeftButton, modifiers);
    QApplication::sendEvent(target, &drop);
    return drop.isAccepted() ? drop.dropAction() : Qt::IgnoreAction;
  }
};

TEST_F(HostfileEditorTransferTest, DraggingTheSelectionMovesItOrCopiesItWithCtrl) {
  struct Case {
    const char* what;
    std::string shown;
    std::size_t from, to;  // the selection dragged
    std::size_t line, column;  // where it is let go
    Qt::KeyboardModifiers modifiers;
    bool intoView;
    Qt::DropAction elsewhere;
    std::string expected;
    const char* selectedAfter;
  };
  const std::string two = "127.0.0.1 one\n10.0.0.2 two\n";
  const Case cases[] = {
      {"a move down", two, 0, 10, 1, 9, {}, true, {}, "one\n10.0.0.2 127.0.0.1 two\n", "127.0.0.1 "},
      {"a move up", two, 23, 26, 0, 0, {}, true, {}, "two127.0.0.1 one\n10.0.0.2 \n", "two"},
      {"a copy with Ctrl", two, 0, 10, 1, 9, Qt::ControlModifier, true, {}, "127.0.0.1 one\n10.0.0.2 127.0.0.1 two\n",
       "127.0.0.1 "},
      {"onto itself", two, 0, 10, 0, 4, {}, true, {}, two, "127.0.0.1 "},
      {"lines with CR LF keep their bytes", "a\r\nb\r\nc\r\n", 0, 3, 2, 1, {}, true, {}, "b\r\nca\r\n\r\n", "a\r\n"},
      {"moved into another program", two, 0, 10, 0, 0, {}, false, Qt::MoveAction, "one\n10.0.0.2 two\n", ""},
      {"copied into another program", two, 0, 10, 0, 0, {}, false, Qt::CopyAction, two, "127.0.0.1 "},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    view->showText(c.shown, true);
    select(c.from, c.to);
    view->setDragLoop(LetGo{c.intoView ? view->viewport() : nullptr, pointAt(*view, c.line, c.column), c.modifiers,
                            c.elsewhere});
    const std::size_t grabbedLine = view->lines().lineOf(c.from);
    const QPoint grab = pointAt(*view, grabbedLine, c.from - view->lines().lineStart(grabbedLine));
    const std::uint64_t before = view->editCount();
    press(grab);
    moveHeld(grab + QPoint(0, QApplication::startDragDistance() + 4));
    release(grab);
    EXPECT_EQ(view->text(), c.expected);
    EXPECT_EQ(view->selectedText().toStdString(), c.selectedAfter);
    const bool changed = c.expected != c.shown;
    EXPECT_EQ(view->editCount() - before, changed ? 1u : 0u) << "one edit";
    QTest::keyClick(view.get(), Qt::Key_Z, Qt::ControlModifier);
    EXPECT_EQ(view->text(), c.shown) << "one undo takes it back";
    EXPECT_EQ(view->selection(), std::make_pair(c.from, c.to)) << "with the selection it had";
  }
}

// A refresh of a remote hostfile can replace the text while the user drags from it: the move then
// takes nothing out of the new text.
TEST_F(HostfileEditorTransferTest, ATextReplacedDuringTheDragIsLeftAsItIs) {
  const std::string replacements[] = {"short", "0.0.0.0 changed one\n10.0.0.2 two\n"};
  for (const std::string& replacement : replacements) {
    view->showText("127.0.0.1 one\n10.0.0.2 two\n", true);
    select(10, 26);
    view->setDragLoop([&](std::unique_ptr<QMimeData>, Qt::DropActions) {
      view->replaceShownText(replacement);
      return Qt::MoveAction;
    });
    press(pointAt(*view, 0, 10));
    moveHeld(pointAt(*view, 0, 10) + QPoint(0, QApplication::startDragDistance() + 4));
    EXPECT_EQ(view->text(), replacement);
  }
}

TEST_F(HostfileEditorTransferTest, APressInTheSelectionWithoutADragPlacesTheCursor) {
  view->showText("127.0.0.1 localhost\n", true);
  select(0, 19);
  bool dragged = false;
  view->setDragLoop([&](std::unique_ptr<QMimeData>, Qt::DropActions) {
    dragged = true;
    return Qt::IgnoreAction;
  });
  press(pointAt(*view, 0, 4));
  moveHeld(pointAt(*view, 0, 4) + QPoint(1, 0));
  release(pointAt(*view, 0, 4));
  EXPECT_FALSE(dragged);
  EXPECT_EQ(view->selection(), std::make_pair(std::size_t{4}, std::size_t{4}));
}

TEST_F(HostfileEditorTransferTest, AReadOnlyViewOffersItsTextToCopyAndTakesNoDrop) {
  view->showText("0.0.0.0 remote.example\n", false);
  select(8, 14);
  Qt::DropActions offered;
  view->setDragLoop(LetGo{nullptr, {}, {}, Qt::MoveAction, &offered});
  press(pointAt(*view, 0, 9));
  moveHeld(pointAt(*view, 0, 9) + QPoint(0, QApplication::startDragDistance() + 4));
  EXPECT_EQ(offered, Qt::DropActions(Qt::CopyAction));
  EXPECT_EQ(view->text(), "0.0.0.0 remote.example\n");

  QMimeData data;
  data.setText(QStringLiteral("10.0.0.9 dropped"));
  QDragEnterEvent enter(pointAt(*view, 0, 0), Qt::CopyAction | Qt::MoveAction, &data, Qt::LeftButton, {});
  QApplication::sendEvent(view->viewport(), &enter);
  EXPECT_FALSE(enter.isAccepted());
}

TEST_F(HostfileEditorTransferTest, TextFromAnotherProgramIsInsertedAtTheDropAsOneEditWithTheTextsLineEnds) {
  struct Case {
    const char* what;
    std::string shown;
    QString dropped;
    std::size_t line, column;
    std::string expected;
  };
  const Case cases[] = {
      {"into CR LF lines", "a\r\nb\r\n", QStringLiteral("x\ny\r\n"), 1, 1, "a\r\nbx\r\ny\r\n\r\n"},
      {"into LF lines", "127.0.0.1 one\n", QStringLiteral("# note\r\n"), 0, 0, "# note\n127.0.0.1 one\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    view->showText(c.shown, true);
    QMimeData data;
    data.setText(c.dropped);
    const QPoint at = pointAt(*view, c.line, c.column);
    const std::uint64_t before = view->editCount();
    QDragEnterEvent enter(at, Qt::CopyAction | Qt::MoveAction, &data, Qt::LeftButton, {});
    QApplication::sendEvent(view->viewport(), &enter);
    ASSERT_TRUE(enter.isAccepted());
    QDragMoveEvent over(at, Qt::CopyAction | Qt::MoveAction, &data, Qt::LeftButton, {});
    QApplication::sendEvent(view->viewport(), &over);
    QDropEvent drop(at, Qt::CopyAction | Qt::MoveAction, &data, Qt::LeftButton, {});
    QApplication::sendEvent(view->viewport(), &drop);
    EXPECT_TRUE(drop.isAccepted());
    EXPECT_EQ(view->text(), c.expected);
    EXPECT_EQ(view->editCount() - before, 1u);
    QTest::keyClick(view.get(), Qt::Key_Z, Qt::ControlModifier);
    EXPECT_EQ(view->text(), c.shown);
  }

  // A drag that holds no text is refused.
  QMimeData image;
  image.setData(QStringLiteral("image/png"), QByteArray("\x89PNG", 4));
  QDragEnterEvent enter(pointAt(*view, 0, 0), Qt::CopyAction, &image, Qt::LeftButton, {});
  QApplication::sendEvent(view->viewport(), &enter);
  EXPECT_FALSE(enter.isAccepted());
}

// --- Scrolling at the edges ----------------------------------------------------------------------

std::string manyLines() {
  std::string text;
  for (int i = 0; i < 2000; ++i) text += "0.0.0.0 ads" + std::to_string(i) + ".example.com\n";
  return text;
}

TEST_F(HostfileEditorTransferTest, HoldingTheMouseBelowTheViewWhileSelectingScrollsUntilReleased) {
  view->showText(manyLines(), true);
  QScrollBar* vertical = view->verticalScrollBar();
  const std::size_t lastInSight = view->visibleLines().second;
  press(pointAt(*view, 1, 0));
  const QPoint below(40, view->viewport()->height() + 30);
  moveHeld(below);
  ASSERT_TRUE(QTest::qWaitFor([&] { return vertical->value() > 5 * vertical->singleStep(); }));
  release(below);
  const int released = vertical->value();
  EXPECT_EQ(view->selection().first, view->lines().lineStart(1)) << "the selection starts where the press was";
  EXPECT_GT(view->lines().lineOf(view->cursorPosition()), lastInSight + 5) << "and reaches the lines scrolled to";
  EXPECT_TRUE(test::caretInSight(*view));
  QTest::qWait(300);
  EXPECT_EQ(vertical->value(), released) << "the release stops the scrolling";

  // Above the top it scrolls back up.
  view->setCursorPosition(view->lines().lineStart(view->visibleLines().first + 2));
  press(pointAt(*view, view->visibleLines().first + 2, 0));
  moveHeld(QPoint(40, -30));
  ASSERT_TRUE(QTest::qWaitFor([&] { return vertical->value() < released - 3 * vertical->singleStep(); }));
  release(QPoint(40, -30));
}

TEST_F(HostfileEditorTransferTest, ADragHeldAtTheBottomEdgeScrollsAndDropsWhereTheMouseIsThen) {
  view->showText(manyLines(), true);
  QScrollBar* vertical = view->verticalScrollBar();
  const std::size_t lastInSight = view->visibleLines().second;
  QMimeData data;
  data.setText(QStringLiteral("# dropped\n"));
  const QPoint edge(app::QMTextView::kInset + 1, view->viewport()->height() - 2);
  QDragEnterEvent enter(edge, Qt::CopyAction, &data, Qt::LeftButton, {});
  QApplication::sendEvent(view->viewport(), &enter);
  ASSERT_TRUE(enter.isAccepted());
  ASSERT_TRUE(QTest::qWaitFor([&] { return vertical->value() > 5 * vertical->singleStep(); }));
  QDropEvent drop(edge, Qt::CopyAction, &data, Qt::LeftButton, {});
  QApplication::sendEvent(view->viewport(), &drop);
  const int dropped = vertical->value();
  const std::size_t line = view->lines().lineOf(view->selection().first);
  EXPECT_EQ(view->lines().content(line), "# dropped");
  EXPECT_GT(line, lastInSight) << "dropped on a line the scrolling brought into sight";
  QTest::qWait(300);
  EXPECT_EQ(vertical->value(), dropped) << "the drop stops the scrolling";

  // Leaving the view stops it too.
  QDragEnterEvent again(edge, Qt::CopyAction, &data, Qt::LeftButton, {});
  QApplication::sendEvent(view->viewport(), &again);
  ASSERT_TRUE(QTest::qWaitFor([&] { return vertical->value() > dropped; }));
  QDragLeaveEvent leave;
  QApplication::sendEvent(view->viewport(), &leave);
  const int left = vertical->value();
  QTest::qWait(300);
  EXPECT_EQ(vertical->value(), left);
}

}  // namespace
