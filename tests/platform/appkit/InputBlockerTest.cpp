#include "platform/appkit/InputBlocker.h"

#include <gtest/gtest.h>

#include <QAction>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <QVBoxLayout>
#include <QWidget>

#include <memory>

#include "tests/platform/appkit/QtTestSupport.h"

namespace {

// A window with a text field, a button and a shortcut, and what the user's input did to them.
struct Window {
  QWidget widget;
  QLineEdit* field = new QLineEdit;
  QPushButton* button = new QPushButton("Go");
  QAction* shortcut = new QAction(&widget);
  int clicks = 0;
  int shortcuts = 0;

  Window() {
    auto* layout = new QVBoxLayout(&widget);
    layout->addWidget(field);
    layout->addWidget(button);
    shortcut->setShortcut(QKeySequence("Ctrl+G"));
    widget.addAction(shortcut);
    QObject::connect(button, &QPushButton::clicked, [this] { ++clicks; });
    QObject::connect(shortcut, &QAction::triggered, [this] { ++shortcuts; });
    widget.show();
    EXPECT_TRUE(QTest::qWaitForWindowExposed(&widget));
    widget.activateWindow();
    field->setFocus();
  }

  // Types, clicks and presses the shortcut once each.
  void useIt() {
    QTest::keyClick(field, Qt::Key_A);
    QTest::mouseClick(button, Qt::LeftButton);
    QTest::keyClick(field, Qt::Key_G, Qt::ControlModifier);
  }
};

struct PaintCount : QObject {
  explicit PaintCount(QWidget* widget) { widget->installEventFilter(this); }
  bool eventFilter(QObject*, QEvent* event) override {
    if (event->type() == QEvent::Paint) ++count;
    return false;
  }
  int count = 0;
};

TEST(InputBlockerTest, InputGoesNowhereUntilTheLastBlockerIsGone) {
  test::qtApplication();
  Window window;
  auto first = std::make_unique<appkit::InputBlocker>();
  EXPECT_EQ(QApplication::overrideCursor()->shape(), Qt::WaitCursor);
  window.useIt();
  auto second = std::make_unique<appkit::InputBlocker>();
  first.reset();  // the second one still holds input back
  window.useIt();
  EXPECT_EQ(window.field->text(), "");
  EXPECT_EQ(window.clicks, 0);
  EXPECT_EQ(window.shortcuts, 0);

  // What is not the user's input still reaches the window: it paints, and its timers fire.
  PaintCount paints(window.button);
  window.button->repaint();
  bool fired = false;
  QTimer::singleShot(0, [&] { fired = true; });
  QCoreApplication::processEvents();
  EXPECT_GT(paints.count, 0);
  EXPECT_TRUE(fired);

  second.reset();
  EXPECT_EQ(QApplication::overrideCursor(), nullptr);
  window.field->clear();
  window.useIt();
  EXPECT_EQ(window.field->text(), "a");
  EXPECT_EQ(window.clicks, 1);
  EXPECT_EQ(window.shortcuts, 1);
}

}  // namespace
