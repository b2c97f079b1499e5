// One application process per user: a later start hands over to the running one, whose main
// window comes to the front, and ends before it touches the store or shows a window.
#include <gtest/gtest.h>

#include <QApplication>
#include <QWidget>

#include "platform/appkit/Application.h"
#include "platform/appkit/SingleInstance.h"
#include "platform/foundation/SystemPaths.h"
#include "tests/app/AppFixture.h"

namespace {

using appkit::SingleInstance;
using test::AppFixture;
using test::pumpUntil;

class OneInstanceTest : public AppFixture {
 protected:
  // Launches as the application object does: will finish launching, then did finish.
  void launchFirst() {
    delegate_ = std::make_shared<app::AppDelegate>();
    delegate_->applicationWillFinishLaunching();
    delegate_->applicationDidFinishLaunching();
  }

  std::int64_t launchCount() {
    return foundation::UserDefaults::standardUserDefaults().integerForKey("launchCount");
  }
};

TEST_F(OneInstanceTest, ALaterStartBringsTheRunningMainWindowToTheFront) {
  launchFirst();
  QWidget* main = window().window();
  main->showMinimized();
  ASSERT_TRUE(pumpUntil([&] { return main->isMinimized(); }));

  SingleInstance later(foundation::kApplicationBundleIdentifier);
  EXPECT_EQ(later.acquire(), SingleInstance::Role::Secondary);
  EXPECT_TRUE(later.handedOver());
  EXPECT_TRUE(pumpUntil([&] { return main->isVisible() && !main->isMinimized() && QApplication::activeWindow() == main; }));
}

TEST_F(OneInstanceTest, TheLaterApplicationEndsBeforeItLaunches) {
  launchFirst();
  QWidget* main = window().window();
  main->hide();
  ASSERT_EQ(launchCount(), 1);

  // The later start, through the application object, as main() runs it.
  int argc = 1;
  char name[] = "quillmere";
  char* argv[] = {name, nullptr};
  auto later = std::make_shared<app::AppDelegate>();
  {
    appkit::Application application(argc, argv);
    application.setDelegate(later);
    EXPECT_EQ(application.run(), 0);
    EXPECT_TRUE(application.isTerminating());
  }
  EXPECT_FALSE(later->mainWindowController().isWindowLoaded());
  EXPECT_EQ(later->contextSaver(), nullptr);  // the store was never set up by it
  later.reset();

  ASSERT_TRUE(pumpUntil([&] { return main->isVisible(); }));
  foundation::UserDefaults::resetStandardUserDefaultsForTesting();
  EXPECT_EQ(launchCount(), 1);
}

}  // namespace
