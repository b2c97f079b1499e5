#include "platform/appkit/ApplicationVisibility.h"

#include <gtest/gtest.h>

#include <QWidget>

#include "tests/platform/appkit/QtTestSupport.h"

namespace {

TEST(ApplicationVisibilityTest, HiddenOnlyWhenWindowsWerePutAwayAndNoneIsOnScreen) {
  test::qtApplication();
  EXPECT_FALSE(appkit::isApplicationHidden());  // nothing shown yet

  QWidget main;
  QWidget other;
  EXPECT_FALSE(appkit::isApplicationHidden());  // windows made but never shown
  main.show();
  EXPECT_FALSE(appkit::isApplicationHidden());
  main.showMinimized();
  EXPECT_TRUE(appkit::isApplicationHidden());
  other.show();
  EXPECT_FALSE(appkit::isApplicationHidden());  // one window still on screen
  other.close();
  EXPECT_TRUE(appkit::isApplicationHidden());
  main.showNormal();
  EXPECT_FALSE(appkit::isApplicationHidden());
  main.close();
  EXPECT_FALSE(appkit::isApplicationHidden());  // closed is not hidden
}

}  // namespace
