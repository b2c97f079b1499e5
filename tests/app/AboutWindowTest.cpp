#include <gtest/gtest.h>

#include <QLabel>
#include <QPushButton>
#include <QTest>

#include <memory>
#include <string>
#include <vector>

#include "app/AboutWindowController.h"
#include "platform/appkit/RecordingWorkspace.h"
#include "platform/appkit/Workspace.h"
#include "platform/foundation/Bundle.h"
#include "tests/platform/appkit/QtTestSupport.h"

namespace {

class AboutWindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    test::qtApplication();
    appkit::Workspace::setSharedWorkspace(recorder);
  }
  void TearDown() override {
    appkit::Workspace::setSharedWorkspace(nullptr);
    foundation::Bundle::setMainBundleForTesting(nullptr);
  }

  static void useBundleInfo(foundation::Dictionary info) {
    foundation::Bundle::setMainBundleForTesting(
        std::make_shared<foundation::Bundle>("/nonexistent", "/nonexistent/Resources", std::move(info)));
  }

  std::shared_ptr<appkit::RecordingWorkspace> recorder = std::make_shared<appkit::RecordingWorkspace>();
};

TEST_F(AboutWindowTest, ShowsTheVersionAndKeepsItAcrossCloseAndShow) {
  useBundleInfo({{"CFBundleShortVersionString", "2.0.1"}});
  app::AboutWindowController controller;
  EXPECT_EQ(controller.versionTextField(), nullptr);
  controller.showWindow();
  QWidget* window = controller.window();
  ASSERT_NE(controller.versionTextField(), nullptr);
  EXPECT_EQ(controller.versionTextField()->text(), "Version 2.0.1");
  EXPECT_TRUE(window->isVisible());

  QTest::mouseClick(controller.closeButton(), Qt::LeftButton);
  EXPECT_FALSE(window->isVisible());
  controller.showWindow();
  EXPECT_EQ(controller.window(), window);
  EXPECT_TRUE(window->isVisible());
  EXPECT_EQ(controller.versionTextField()->text(), "Version 2.0.1");
}

TEST_F(AboutWindowTest, WithoutAVersionTheFieldStaysEmpty) {
  useBundleInfo({});
  app::AboutWindowController controller;
  controller.window();
  ASSERT_NE(controller.versionTextField(), nullptr);
  EXPECT_EQ(controller.versionTextField()->text(), "");
}

TEST_F(AboutWindowTest, TheLinksOpenTheMakersPagesAndAFailedOpenIsIgnored) {
  useBundleInfo({{"CFBundleShortVersionString", "2.0.1"}});
  app::AboutWindowController controller;
  controller.showWindow();
  QTest::mouseClick(controller.supportButton(), Qt::LeftButton);
  recorder->setResult(false);
  QTest::mouseClick(controller.acknowledgementsButton(), Qt::LeftButton);
  EXPECT_EQ(recorder->openedURLs(), (std::vector<std::string>{
                                        "https://quillmere.org/about/",
                                        "https://quillmere.org/quillmere/acknowledgments/"}));
  EXPECT_TRUE(controller.window()->isVisible());
}

}  // namespace
