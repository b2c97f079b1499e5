// The hostfile editor as assistive technologies see it, through Qt's accessibility interfaces on
// the offscreen platform: the text in UTF-16 offsets, the caret, the selection, edits made
// through the interface, and the events an edit or a move sends.
#include <gtest/gtest.h>

#include <QAccessible>
#include <QTest>
#include <private/qguiapplication_p.h>
#include <qpa/qplatformaccessibility.h>
#include <qpa/qplatformintegration.h>

#include <memory>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "app/QMTextView.h"
#include "tests/platform/appkit/QtTestSupport.h"

namespace {

// One text event as an assistive technology receives it.
struct Seen {
  QAccessible::Event type;
  int position = -1;   // the change's offset, or the selection's start
  QString text;        // the text inserted or removed
  int cursor = -1;     // the caret, or the selection's end
  bool operator==(const Seen&) const = default;
};

void PrintTo(const Seen& seen, std::ostream* out) {
  *out << "{type " << std::hex << seen.type << std::dec << ", " << seen.position << ", \""
       << seen.text.toStdString() << "\", " << seen.cursor << "}";
}

Seen caret(int at) { return {QAccessible::TextCaretMoved, -1, {}, at}; }
Seen inserted(int at, const char* text) { return {QAccessible::TextInserted, at, QString::fromUtf8(text), -1}; }
Seen removed(int at, const char* text) { return {QAccessible::TextRemoved, at, QString::fromUtf8(text), -1}; }
Seen selected(int from, int to) { return {QAccessible::TextSelectionChanged, from, {}, to}; }

std::vector<Seen>& seen() {
  static std::vector<Seen> events;
  return events;
}
QObject* watched = nullptr;

void record(QAccessibleEvent* event) {
  if (event->object() != watched) return;
  switch (event->type()) {
    case QAccessible::TextInserted: {
      const auto* insert = static_cast<QAccessibleTextInsertEvent*>(event);
      seen().push_back({event->type(), insert->changePosition(), insert->textInserted(), -1});
      break;
    }
    case QAccessible::TextRemoved: {
      const auto* remove = static_cast<QAccessibleTextRemoveEvent*>(event);
      seen().push_back({event->type(), remove->changePosition(), remove->textRemoved(), -1});
      break;
    }
    case QAccessible::TextUpdated:
      ADD_FAILURE() << "the view reports replacements as a removal and an insertion";
      break;
    case QAccessible::TextSelectionChanged: {
      const auto* selection = static_cast<QAccessibleTextSelectionEvent*>(event);
      seen().push_back(selected(selection->selectionStart(), selection->selectionEnd()));
      break;
    }
    case QAccessible::TextCaretMoved:
      seen().push_back(caret(static_cast<QAccessibleTextCursorEvent*>(event)->cursorPosition()));
      break;
    default:
      break;
  }
}

// Turns the platform's accessibility on or off, as its bridge does when a screen reader comes
// and goes: QAccessible::setActive only tells the observers, and the offscreen platform has no
// bridge of its own.
void setAccessibilityActive(bool active) {
  QGuiApplicationPrivate::platformIntegration()->accessibility()->setActive(active);
}

class EditorAccessibilityTest : public ::testing::Test {
 protected:
  void SetUp() override {
    test::qtApplication();
    view = std::make_unique<app::QMTextView>();
    QObject::connect(view.get(), &app::QMTextView::userEdited, [this] { ++edits; });
    view->resize(600, 400);
    view->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(view.get()));
    view->setFocus();
    QAccessible::installUpdateHandler(record);
    setAccessibilityActive(true);
    ASSERT_TRUE(QAccessible::isActive());
    watched = view.get();
    seen().clear();
    accessible = QAccessible::queryAccessibleInterface(view.get());
    ASSERT_NE(accessible, nullptr);
    textInterface = accessible->textInterface();
    editable = accessible->editableTextInterface();
    ASSERT_NE(textInterface, nullptr);
    ASSERT_NE(editable, nullptr);
  }

  void TearDown() override {
    setAccessibilityActive(false);
    QAccessible::installUpdateHandler(nullptr);
    watched = nullptr;
  }

  // The events seen since the last call.
  std::vector<Seen> taken() { return std::exchange(seen(), {}); }

  std::unique_ptr<app::QMTextView> view;
  QAccessibleInterface* accessible = nullptr;
  QAccessibleTextInterface* textInterface = nullptr;
  QAccessibleEditableTextInterface* editable = nullptr;
  int edits = 0;
};

// "# hôsts\r\n127.0.0.1 😀.test\nlast": in UTF-16 units line 1 starts at 9 and the pair is 19-20,
// line 2 starts at 27 and the text ends at 31; in bytes these are 10, 20-23, 30 and 34.
const std::string kShown = "# h\xc3\xb4sts\r\n127.0.0.1 \xf0\x9f\x98\x80.test\nlast";

TEST_F(EditorAccessibilityTest, AnEditableTextCountedInUTF16Units) {
  view->showText(kShown, true);
  const QString shown = QString::fromStdString(kShown);
  EXPECT_EQ(accessible->object(), view.get());
  EXPECT_EQ(accessible->role(), QAccessible::EditableText);
  EXPECT_TRUE(accessible->state().editable);
  EXPECT_TRUE(accessible->state().multiLine);
  EXPECT_EQ(textInterface->characterCount(), shown.size());

  struct Range {
    int from, to;
  };
  for (const Range range : {Range{0, 7}, Range{5, 12}, Range{19, 21}, Range{27, 31}, Range{25, 40}, Range{3, 3}}) {
    EXPECT_EQ(textInterface->text(range.from, range.to), shown.mid(range.from, range.to - range.from))
        << range.from << "-" << range.to;
  }

  // The caret and the selection, as the view moves them and as the interface sets them.
  view->setCursorPosition(24);  // after the pair
  EXPECT_EQ(textInterface->cursorPosition(), 21);
  view->setCursorPosition(30);
  view->setCursorPosition(10, true);
  int from = 0, to = 0;
  textInterface->selection(0, &from, &to);
  EXPECT_EQ(textInterface->selectionCount(), 1);
  EXPECT_EQ(std::make_pair(from, to), std::make_pair(9, 27));
  textInterface->setSelection(0, 2, 7);
  EXPECT_EQ(view->selectedText(), QString::fromUtf8("h\xc3\xb4sts"));
  textInterface->setCursorPosition(21);
  EXPECT_EQ(view->cursorPosition(), 24u);
  EXPECT_EQ(textInterface->selectionCount(), 0);
}

TEST_F(EditorAccessibilityTest, TheLineWordOrCharacterAtAnOffset) {
  view->showText(kShown, true);
  struct Case {
    const char* what;
    int offset;
    QAccessible::TextBoundaryType boundary;
    enum { At, Before, After } where;
    const char* text;
    int from, to;
  };
  const Case cases[] = {
      {"the first line, line end and all", 0, QAccessible::LineBoundary, Case::At, "# h\xc3\xb4sts\r\n", 0, 9},
      {"its line feed", 8, QAccessible::LineBoundary, Case::At, "# h\xc3\xb4sts\r\n", 0, 9},
      {"inside a surrogate pair", 20, QAccessible::LineBoundary, Case::At, "127.0.0.1 \xf0\x9f\x98\x80.test\n", 9, 27},
      {"at the end of the text", 31, QAccessible::LineBoundary, Case::At, "last", 27, 31},
      {"the line before", 27, QAccessible::LineBoundary, Case::Before, "127.0.0.1 \xf0\x9f\x98\x80.test\n", 9, 27},
      {"the line after", 3, QAccessible::LineBoundary, Case::After, "127.0.0.1 \xf0\x9f\x98\x80.test\n", 9, 27},
      {"none before the first", 4, QAccessible::LineBoundary, Case::Before, "", -1, -1},
      {"none after the last", 28, QAccessible::LineBoundary, Case::After, "", -1, -1},
      {"beyond the text", 32, QAccessible::LineBoundary, Case::At, "", -1, -1},
      {"an address is one word", 12, QAccessible::WordBoundary, Case::At, "127.0.0.1", 9, 18},
      {"a name after the pair", 23, QAccessible::WordBoundary, Case::At, "test", 22, 26},
      {"a pair is one character", 19, QAccessible::CharBoundary, Case::At, "\xf0\x9f\x98\x80", 19, 21},
      {"so is CR LF", 7, QAccessible::CharBoundary, Case::At, "\r\n", 7, 9},
      {"the character after a pair", 19, QAccessible::CharBoundary, Case::After, ".", 21, 22},
  };
  for (const Case& testCase : cases) {
    int from = 0, to = 0;
    QString text;
    if (testCase.where == Case::At) text = textInterface->textAtOffset(testCase.offset, testCase.boundary, &from, &to);
    if (testCase.where == Case::Before) text = textInterface->textBeforeOffset(testCase.offset, testCase.boundary, &from, &to);
    if (testCase.where == Case::After) text = textInterface->textAfterOffset(testCase.offset, testCase.boundary, &from, &to);
    EXPECT_EQ(text, QString::fromUtf8(testCase.text)) << testCase.what;
    EXPECT_EQ(std::make_pair(from, to), std::make_pair(testCase.from, testCase.to)) << testCase.what;
  }

  // A line longer than the view shows comes in pieces, which together make the line.
  const std::string longLine(3 * app::QMTextView::kDisplayedBytes + 5, 'a');
  view->showText("x\n" + longLine + "\ny", true);
  int from = 0, to = 0;
  QString pieces;
  for (int offset = 2; offset < 2 + static_cast<int>(longLine.size()) + 1; offset = to) {
    pieces += textInterface->textAtOffset(offset, QAccessible::LineBoundary, &from, &to);
    ASSERT_EQ(from, offset);
    ASSERT_LE(to - from, static_cast<int>(app::QMTextView::kDisplayedBytes));
  }
  EXPECT_EQ(pieces, QString::fromStdString(longLine + "\n"));
}

TEST_F(EditorAccessibilityTest, EditsAndMovesTellTheTextAndTheCaret) {
  // "0.0.0.0 ä" is 9 units: line 1 starts at offset 10, and the text is 21 units long.
  view->showText("0.0.0.0 \xc3\xa4\n127.0.0.1 x", true);
  taken();
  QTest::keyClick(view.get(), Qt::Key_End, Qt::ControlModifier);
  EXPECT_EQ(taken(), std::vector<Seen>({caret(21)}));
  QTest::keyClicks(view.get(), QStringLiteral("y"));
  EXPECT_EQ(taken(), std::vector<Seen>({inserted(21, "y"), caret(22)}));
  QTest::keyClick(view.get(), Qt::Key_Backspace);
  EXPECT_EQ(taken(), std::vector<Seen>({removed(21, "y"), caret(21)}));
  QTest::keyClick(view.get(), Qt::Key_Home, Qt::ShiftModifier);
  EXPECT_EQ(taken(), std::vector<Seen>({selected(10, 21), caret(10)}));
  QTest::keyClicks(view.get(), QStringLiteral("z"));
  EXPECT_EQ(taken(), std::vector<Seen>({removed(10, "127.0.0.1 x"), inserted(10, "z"), selected(11, 11), caret(11)}));
  // What a screen reader then reads: the line at the caret.
  int from = 0, to = 0;
  EXPECT_EQ(textInterface->textAtOffset(textInterface->cursorPosition(), QAccessible::LineBoundary, &from, &to),
            QStringLiteral("z"));
  QTest::keyClick(view.get(), Qt::Key_Z, Qt::ControlModifier);
  EXPECT_EQ(taken(), std::vector<Seen>({removed(10, "z"), inserted(10, "127.0.0.1 x"), selected(10, 21), caret(10)}));

  // Offsets after an edit count what it inserted before them.
  QTest::keyClick(view.get(), Qt::Key_Home, Qt::ControlModifier);
  taken();
  view->insertText(QString::fromUtf8("\xf0\x9f\x98\x80"));
  EXPECT_EQ(taken(), std::vector<Seen>({inserted(0, "\xf0\x9f\x98\x80"), caret(2)}));
  QTest::keyClick(view.get(), Qt::Key_End, Qt::ControlModifier);
  EXPECT_EQ(taken(), std::vector<Seen>({caret(23)}));
  EXPECT_EQ(textInterface->characterCount(), 23);

  // Edits made while no assistive technology listens are counted when one comes back.
  setAccessibilityActive(false);
  view->insertText(QString::fromUtf8("\xc3\xa9"));
  QTest::keyClick(view.get(), Qt::Key_Home, Qt::ControlModifier);
  view->insertText(QString::fromUtf8("\xc3\xa9\n"));
  setAccessibilityActive(true);
  taken();
  EXPECT_EQ(textInterface->characterCount(), 26);
  EXPECT_EQ(textInterface->textAtOffset(25, QAccessible::CharBoundary, &from, &to), QString::fromUtf8("\xc3\xa9"));
  EXPECT_EQ(textInterface->textAtOffset(4, QAccessible::LineBoundary, &from, &to),
            QString::fromUtf8("\xf0\x9f\x98\x80" "0.0.0.0 \xc3\xa4\n"));
  EXPECT_EQ(std::make_pair(from, to), std::make_pair(2, 14));
}

TEST_F(EditorAccessibilityTest, EditsThroughTheInterfaceAreTheUsersOwn) {
  view->showText("a\nb", true);
  editable->insertText(2, QString::fromUtf8("\xc3\xb6"));
  EXPECT_EQ(view->text(), "a\n\xc3\xb6" "b");
  editable->deleteText(0, 1);
  EXPECT_EQ(view->text(), "\n\xc3\xb6" "b");
  editable->replaceText(2, 3, QStringLiteral("x\r\ny"));  // takes the text's own line ends
  EXPECT_EQ(view->text(), "\n\xc3\xb6x\ny");
  EXPECT_EQ(edits, 3);
  for (int i = 0; i < 3; ++i) QTest::keyClick(view.get(), Qt::Key_Z, Qt::ControlModifier);
  EXPECT_EQ(view->text(), "a\nb");

  view->showText("read only", false);
  EXPECT_TRUE(accessible->state().readOnly);
  editable->insertText(0, QStringLiteral("x"));
  editable->deleteText(0, 4);
  EXPECT_EQ(view->text(), "read only");
}

}  // namespace
