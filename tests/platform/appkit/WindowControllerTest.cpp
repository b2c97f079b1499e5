#include <gtest/gtest.h>

#include <QWidget>

#include <memory>

#include "platform/appkit/WindowController.h"
#include "tests/platform/appkit/QtTestSupport.h"

namespace {

class CountingController : public appkit::WindowController {
 public:
  explicit CountingController(bool buildsWindow = true)
      : appkit::WindowController("Counting"), buildsWindow_(buildsWindow) {}
  int didLoadCount = 0;
  int makeCount = 0;
  QWidget* windowSeenAtLoad = nullptr;

 protected:
  std::unique_ptr<QWidget> makeWindow() override {
    ++makeCount;
    return buildsWindow_ ? std::make_unique<QWidget>() : nullptr;
  }
  void windowDidLoad() override {
    ++didLoadCount;
    windowSeenAtLoad = window();  // re-entry must not build a second window
  }

 private:
  bool buildsWindow_;
};

class WindowControllerTest : public ::testing::Test {
 protected:
  void SetUp() override { test::qtApplication(); }
};

TEST_F(WindowControllerTest, BuildsItsWindowOnFirstUseAndLoadsItOnce) {
  CountingController controller;
  EXPECT_FALSE(controller.isWindowLoaded());
  EXPECT_EQ(controller.makeCount, 0);

  QWidget* window = controller.window();
  ASSERT_NE(window, nullptr);
  controller.showWindow();
  controller.close();
  controller.showWindow();

  EXPECT_EQ(controller.window(), window);
  EXPECT_EQ(controller.makeCount, 1);
  EXPECT_EQ(controller.didLoadCount, 1);
  EXPECT_EQ(controller.windowSeenAtLoad, window);
  EXPECT_TRUE(window->isVisible());
  EXPECT_EQ(window->windowTitle(), "Counting");

  controller.setWindowTitle("Renamed");
  EXPECT_EQ(window->windowTitle(), "Renamed");
  controller.close();
  EXPECT_FALSE(window->isVisible());
}

TEST_F(WindowControllerTest, WithoutAWindowNothingLoadsAndShowingIsHarmless) {
  CountingController controller(false);
  EXPECT_EQ(controller.window(), nullptr);
  controller.showWindow();
  controller.close();
  EXPECT_EQ(controller.window(), nullptr);
  EXPECT_EQ(controller.makeCount, 1);
  EXPECT_EQ(controller.didLoadCount, 0);
}

}  // namespace
