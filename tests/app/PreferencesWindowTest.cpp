#include <gtest/gtest.h>

#include <QCheckBox>
#include <QTest>

#include "app/PreferencesWindowController.h"
#include "platform/foundation/UserDefaults.h"
#include "tests/platform/appkit/QtTestSupport.h"

namespace {

using app::PreferencesWindowController;

class PreferencesWindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    test::qtApplication();
    // The suite is shared by every test of the process; each starts with nothing stored.
    defaults.removeObjectForKey(PreferencesWindowController::kCheckSyntaxKey);
    defaults.removeObjectForKey(PreferencesWindowController::kRefreshOnLaunchKey);
    // As the application registers it at launch.
    defaults.registerDefaults({{PreferencesWindowController::kCheckSyntaxKey, true}});
  }

  foundation::UserDefaults defaults{"org.quillmere.tests.preferences"};
};

TEST_F(PreferencesWindowTest, CheckBoxesShowTheDefaultsAndWriteThemWhenToggled) {
  PreferencesWindowController controller(defaults);
  controller.showWindow();
  QCheckBox* checkSyntax = controller.checkSyntaxBox();
  QCheckBox* refresh = controller.refreshOnLaunchBox();
  ASSERT_NE(checkSyntax, nullptr);
  ASSERT_NE(refresh, nullptr);
  EXPECT_TRUE(checkSyntax->isChecked());  // the registered YES
  EXPECT_FALSE(refresh->isChecked());     // nothing stored

  QTest::mouseClick(checkSyntax, Qt::LeftButton);
  QTest::mouseClick(refresh, Qt::LeftButton);
  EXPECT_FALSE(defaults.boolForKey(PreferencesWindowController::kCheckSyntaxKey));
  EXPECT_TRUE(defaults.boolForKey(PreferencesWindowController::kRefreshOnLaunchKey));
  EXPECT_TRUE(defaults.persistentDomain().contains(PreferencesWindowController::kCheckSyntaxKey));

  // The one pane's action changes nothing.
  controller.showGeneral();
  EXPECT_FALSE(checkSyntax->isChecked());
  EXPECT_TRUE(refresh->isChecked());
}

TEST_F(PreferencesWindowTest, ShowingTheWindowAgainFollowsDefaultsChangedMeanwhile) {
  defaults.set(foundation::Value(true), PreferencesWindowController::kRefreshOnLaunchKey);
  PreferencesWindowController controller(defaults);
  controller.showWindow();
  EXPECT_TRUE(controller.refreshOnLaunchBox()->isChecked());

  controller.close();
  defaults.set(foundation::Value(false), PreferencesWindowController::kRefreshOnLaunchKey);
  defaults.set(foundation::Value(false), PreferencesWindowController::kCheckSyntaxKey);
  controller.showWindow();
  EXPECT_FALSE(controller.refreshOnLaunchBox()->isChecked());
  EXPECT_FALSE(controller.checkSyntaxBox()->isChecked());
}

}  // namespace
