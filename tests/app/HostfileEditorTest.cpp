#include <gtest/gtest.h>

#include <QFontInfo>
#include <QTest>
#include <QTextDocument>

#include <memory>
#include <string>
#include <vector>

#include "app/QMTextView.h"
#include "app/SyntaxHighlighter.h"
#include "tests/platform/appkit/QtTestSupport.h"

namespace {

class HostfileEditorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    test::qtApplication();
    view = std::make_unique<app::QMTextView>();
    view->setUserEditHandler([this](const std::string& text) { edits.push_back(text); });
    view->show();
  }

  void typeAtEnd(const QString& keys) {
    view->moveCursor(QTextCursor::End);
    QTest::keyClicks(view.get(), keys);
  }

  // Made in SetUp: a widget needs the application first.
  std::unique_ptr<app::QMTextView> view;
  std::vector<std::string> edits;
};

TEST_F(HostfileEditorTest, ShowingATextIsNoEditButTypingIs) {
  int signals_ = 0;
  QObject::connect(view.get(), &app::QMTextView::userEdited, [&] { ++signals_; });
  view->showText("127.0.0.1 localhost\n", true);
  view->showText("# another hostfile", true);
  EXPECT_TRUE(edits.empty());
  EXPECT_EQ(signals_, 0);
  EXPECT_EQ(view->text(), "# another hostfile");

  typeAtEnd(QStringLiteral("!!"));
  ASSERT_EQ(edits.size(), 2u);
  EXPECT_EQ(edits.back(), "# another hostfile!!");
  EXPECT_EQ(signals_, 2);

  // Showing another hostfile clears the undo history: undo cannot bring the old text back.
  view->showText("10.0.0.1 a", true);
  QTest::keyClick(view.get(), Qt::Key_Z, Qt::ControlModifier);
  EXPECT_EQ(view->text(), "10.0.0.1 a");
}

TEST_F(HostfileEditorTest, AReadOnlyHostfileCannotBeTyped) {
  view->showText("10.0.0.1 remote", false);
  EXPECT_FALSE(view->isEditable());
  typeAtEnd(QStringLiteral("x"));
  EXPECT_EQ(view->text(), "10.0.0.1 remote");
  EXPECT_TRUE(edits.empty());

  view->showText("10.0.0.1 local", true);
  EXPECT_TRUE(view->isEditable());
  typeAtEnd(QStringLiteral("x"));
  EXPECT_EQ(view->text(), "10.0.0.1 localx");
}

TEST_F(HostfileEditorTest, TextComesBackWithItsLineEndsAndCharacters) {
  struct Case {
    std::string shown;
    std::string afterTypingX;
  };
  const Case cases[] = {
      {"a\nb\n", "a\nb\nx"},
      {"a\r\nb\r\n", "a\r\nb\r\nx"},
      {"a\r\nb\n", "a\nb\nx"},                             // mixed: plain line feeds
      {"127.0.0.1 a\xc2\xa0" "b", "127.0.0.1 a\xc2\xa0" "bx"},  // a no-break space stays
      {"", "x"},
  };
  for (const Case& testCase : cases) {
    view->showText(testCase.shown, true);
    typeAtEnd(QStringLiteral("x"));
    EXPECT_EQ(view->text(), testCase.afterTypingX) << testCase.shown;
  }
}

TEST_F(HostfileEditorTest, MonospaceElevenPointUnwrappedWithAnInset) {
  EXPECT_TRUE(QFontInfo(view->document()->defaultFont()).fixedPitch());
  EXPECT_EQ(view->document()->defaultFont().pointSize(), 11);
  EXPECT_EQ(view->lineWrapMode(), QPlainTextEdit::NoWrap);
  EXPECT_DOUBLE_EQ(view->document()->documentMargin(), 15.0);
  ASSERT_NE(view->highlighter(), nullptr);
  EXPECT_EQ(view->highlighter()->document(), view->document());
}

}  // namespace
