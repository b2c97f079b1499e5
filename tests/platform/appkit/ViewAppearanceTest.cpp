#include "platform/appkit/ViewAppearance.h"

#include <gtest/gtest.h>

#include <QDialog>
#include <QLabel>
#include <QMainWindow>
#include <QMenu>
#include <QTabWidget>
#include <QVBoxLayout>

#include <string>
#include <vector>

#include "tests/platform/appkit/QtTestSupport.h"

namespace pages {
class SettingsViewController : public QWidget {};
class AccountPage : public QWidget {};
}  // namespace pages

namespace {

std::vector<std::string>& seen() {
  static std::vector<std::string> names;
  return names;
}

class ViewAppearanceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    test::qtApplication();
    ASSERT_TRUE(appkit::ViewAppearance::installHook([](const std::string& name) { seen().push_back(name); }));
    seen().clear();
  }
};

TEST_F(ViewAppearanceTest, ReportsWindowsByTheirFullClassNameButNotTheirChildren) {
  pages::SettingsViewController window;
  auto* layout = new QVBoxLayout(&window);
  layout->addWidget(new QLabel("label"));
  window.show();
  EXPECT_EQ(seen(), std::vector<std::string>{"pages::SettingsViewController"});

  QDialog dialog;
  dialog.show();
  QMainWindow plain;
  plain.show();
  EXPECT_EQ(seen(), (std::vector<std::string>{"pages::SettingsViewController", "QDialog", "QMainWindow"}));
}

TEST_F(ViewAppearanceTest, ReportsEachTabPageAsItAppearsAndNoMenus) {
  QMainWindow window;
  auto* tabs = new QTabWidget;
  tabs->addTab(new pages::SettingsViewController, "one");
  tabs->addTab(new pages::AccountPage, "two");
  window.setCentralWidget(tabs);
  window.show();  // Qt shows a window's children before the window itself
  EXPECT_EQ(seen(), (std::vector<std::string>{"pages::SettingsViewController", "QMainWindow"}));

  seen().clear();
  tabs->setCurrentIndex(1);
  QMenu menu;
  menu.addAction("item");
  menu.popup(QPoint(0, 0));
  EXPECT_EQ(seen(), std::vector<std::string>{"pages::AccountPage"});
  menu.close();
}

TEST_F(ViewAppearanceTest, TheFirstHandlerStays) {
  EXPECT_TRUE(appkit::ViewAppearance::installHook([](const std::string&) { seen().push_back("second handler"); }));
  QWidget window;
  window.show();
  EXPECT_EQ(seen(), std::vector<std::string>{"QWidget"});
}

}  // namespace
