#include <gtest/gtest.h>

#include <QFontDatabase>
#include <QFontInfo>
#include <QFontMetricsF>
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

TEST_F(HostfileEditorTest, MonospaceElevenPointUnwrappedWithAnInset) {
  const QFont font = view->document()->defaultFont();
  EXPECT_TRUE(font.fixedPitch());
  EXPECT_EQ(font.styleHint(), QFont::Monospace);
  EXPECT_EQ(font.pointSize(), 11);
  EXPECT_EQ(view->font(), font);
  EXPECT_EQ(view->lineWrapMode(), QPlainTextEdit::NoWrap);
  EXPECT_DOUBLE_EQ(view->document()->documentMargin(), 15.0);
  ASSERT_NE(view->highlighter(), nullptr);
  EXPECT_EQ(view->highlighter()->document(), view->document());
}

// Which faces a machine has decides what the platform's fixed font resolves to: with some common
// font packages it is a face the font database does not count as fixed-pitch, or a proportional
// one. The editor must line columns up whenever any installed face can.
TEST_F(HostfileEditorTest, TheFontLinesUpColumnsWhateverFaceTheSystemOffers) {
  const QString fixed = firstFamily(true);
  const QString proportional = firstFamily(false);
  if (fixed.isEmpty()) GTEST_SKIP() << "no installed face sets ASCII at one advance";
  const QFont font = view->document()->defaultFont();
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
