// Quit, Close and Preferences answer their shortcuts from every window of the application, not
// only from the main window whose menus hold them.
#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QMenu>
#include <QSignalSpy>
#include <QTest>

#include "app/AboutWindowController.h"
#include "app/PreferencesWindowController.h"
#include "tests/app/AppFixture.h"

namespace {

using test::AppFixture;

class ApplicationShortcutsTest : public AppFixture {
 protected:
  QAction* menuItem(const QString& title) {
    for (QMenu* menu : window().window()->findChildren<QMenu*>()) {
      for (QAction* action : menu->actions()) {
        if (action->text() == title) return action;
      }
    }
    ADD_FAILURE() << "no menu item " << title.toStdString();
    return nullptr;
  }

  // Brings `shown` to the front with the focus, as a click on it would.
  static bool activate(QWidget* shown) {
    shown->show();
    shown->activateWindow();
    return QTest::qWaitForWindowActive(shown);
  }

  static void press(QWidget* in, Qt::Key key) {
    QWidget* focus = QApplication::focusWidget();
    QTest::keyClick(focus && focus->window() == in ? focus : in, key, Qt::ControlModifier);
  }
};

TEST_F(ApplicationShortcutsTest, QuitAndPreferencesAnswerFromEveryWindow) {
  launch();
  QSignalSpy quit(menuItem("Quit Quillmere"), &QAction::triggered);
  QSignalSpy preferences(menuItem("Preferences…"), &QAction::triggered);
  const struct {
    const char* name;
    QWidget* window;
  } windows[] = {
      {"preferences", delegate_->preferencesWindowController().window()},
      {"about", delegate_->aboutWindowController().window()},
      {"main", window().window()},
  };
  int expected = 0;
  for (const auto& w : windows) {
    SCOPED_TRACE(w.name);
    ASSERT_TRUE(activate(w.window));
    ++expected;
    press(w.window, Qt::Key_Q);
    EXPECT_EQ(quit.count(), expected);
    ASSERT_TRUE(activate(w.window));
    press(w.window, Qt::Key_Comma);
    EXPECT_EQ(preferences.count(), expected);
  }
  EXPECT_TRUE(delegate_->preferencesWindowController().window()->isVisible());
}

TEST_F(ApplicationShortcutsTest, CloseClosesTheWindowThatHasTheFocus) {
  launch();
  QWidget* main = window().window();
  QWidget* about = delegate_->aboutWindowController().window();
  ASSERT_TRUE(activate(about));
  press(about, Qt::Key_W);
  EXPECT_FALSE(about->isVisible());
  EXPECT_TRUE(main->isVisible());

  QWidget* preferences = delegate_->preferencesWindowController().window();
  ASSERT_TRUE(activate(preferences));
  press(preferences, Qt::Key_W);
  EXPECT_FALSE(preferences->isVisible());
  EXPECT_TRUE(main->isVisible());
}

}  // namespace
