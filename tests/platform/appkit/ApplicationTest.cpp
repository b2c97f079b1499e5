#include <gtest/gtest.h>

#include <signal.h>

#include <QTimer>
#include <QWidget>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/appkit/Application.h"
#include "platform/appkit/WindowController.h"
#include "platform/dispatch/Queue.h"
#include "platform/foundation/Bundle.h"
#include "tests/platform/appkit/QtTestSupport.h"

namespace {

// Records the calls it gets and runs a chosen step once launching has finished.
class RecordingDelegate : public appkit::ApplicationDelegate {
 public:
  std::vector<std::string> calls;
  std::function<void()> afterLaunch;
  bool terminateAfterLastWindow = true;

  void applicationWillFinishLaunching() override { calls.push_back("willFinishLaunching"); }
  void applicationDidFinishLaunching() override {
    calls.push_back("didFinishLaunching");
    if (afterLaunch) afterLaunch();
  }
  bool applicationShouldTerminateAfterLastWindowClosed() override {
    calls.push_back("shouldTerminateAfterLastWindowClosed");
    return terminateAfterLastWindow;
  }
  void applicationWillTerminate() override { calls.push_back("willTerminate"); }
};

using Calls = std::vector<std::string>;

class ApplicationTest : public ::testing::Test {
 protected:
  void SetUp() override {
    test::qtApplication();
    application = std::make_unique<appkit::Application>(argc, argv);
    delegate = std::make_shared<RecordingDelegate>();
    application->setDelegate(delegate);
    // A hung loop fails the test instead of hanging it.
    QTimer::singleShot(10000, [] { QCoreApplication::exit(99); });
  }

  int argc = 1;
  char name[5] = "test";
  char* argv[2] = {name, nullptr};
  std::unique_ptr<appkit::Application> application;
  std::shared_ptr<RecordingDelegate> delegate;
};

TEST_F(ApplicationTest, LaunchesInOrderRunsTheMainQueueAndTerminatesOnce) {
  delegate->afterLaunch = [this] {
    dispatch::mainQueue()->async([this] {
      delegate->calls.push_back(dispatch::Queue::isMainThread() ? "block on main" : "block elsewhere");
      application->terminate();
      application->terminate();
    });
  };
  EXPECT_EQ(appkit::Application::shared(), application.get());
  EXPECT_EQ(application->run(), 0);
  EXPECT_EQ(delegate->calls,
            (Calls{"willFinishLaunching", "didFinishLaunching", "block on main", "willTerminate"}));
  EXPECT_TRUE(application->isTerminating());
  EXPECT_EQ(application->run(), 0) << "an ended application does not start again";
}

TEST_F(ApplicationTest, TerminateFromInsideANestedLoopLeavesEveryLoop) {
  delegate->afterLaunch = [this] {
    dispatch::mainQueue()->async([this] {
      QEventLoop nested;  // as a modal alert would run
      QTimer::singleShot(0, [this] { application->terminate(); });
      nested.exec();
      delegate->calls.push_back("nested loop left");
    });
  };
  EXPECT_EQ(application->run(), 0);
  EXPECT_EQ(delegate->calls, (Calls{"willFinishLaunching", "didFinishLaunching", "willTerminate", "nested loop left"}));
}

TEST_F(ApplicationTest, SigtermEndsTheApplicationThroughTerminate) {
  delegate->afterLaunch = [] { ::raise(SIGTERM); };
  EXPECT_EQ(application->run(), 0);
  EXPECT_EQ(delegate->calls, (Calls{"willFinishLaunching", "didFinishLaunching", "willTerminate"}));

  application.reset();
  struct sigaction current {};
  ::sigaction(SIGTERM, nullptr, &current);
  EXPECT_EQ(current.sa_handler, SIG_DFL) << "the earlier handler is put back";
}

TEST_F(ApplicationTest, ClosingTheLastWindowAsksTheDelegate) {
  const struct {
    bool terminates;
    Calls expected;
  } cases[] = {
      {true, {"shouldTerminateAfterLastWindowClosed", "willTerminate"}},
      {false, {"shouldTerminateAfterLastWindowClosed", "terminated by hand", "willTerminate"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.terminates);
    if (!application) {
      application = std::make_unique<appkit::Application>(argc, argv);
      application->setDelegate(delegate);
    }
    delegate->calls.clear();
    delegate->terminateAfterLastWindow = c.terminates;
    appkit::WindowController controller("Main");
    delegate->afterLaunch = [&] {
      delegate->calls.clear();
      controller.showWindow();
      QTimer::singleShot(0, [&] { controller.close(); });
      QTimer::singleShot(300, [&] {
        if (application->isTerminating()) return;
        delegate->calls.push_back("terminated by hand");
        application->terminate();
      });
    };
    EXPECT_EQ(application->run(), 0);
    EXPECT_EQ(delegate->calls, c.expected);
    application.reset();
  }
}

// The desktop matches windows with the installed entry by the X11 class (Qt's application name)
// and the Wayland app id (Qt's desktop file name); both follow the bundle, as the entry does. A
// bundle without the keys leaves Qt's own names alone.
TEST(ApplicationNamingTest, NamesQtAfterTheMainBundle) {
  test::qtApplication();
  const std::string qtName = QCoreApplication::applicationName().toStdString();
  const std::string qtDesktopFileName = QGuiApplication::desktopFileName().toStdString();
  struct Case {
    std::optional<foundation::Dictionary> info;
    std::string name, desktopFileName;
  };
  const Case cases[] = {
      {foundation::Dictionary{{"CFBundleName", "Sample"}, {"CFBundleIdentifier", "org.example.Sample"}}, "Sample",
       "org.example.Sample"},
      {foundation::Dictionary{{"CFBundleName", ""}, {"CFBundleIdentifier", 7}}, qtName, qtDesktopFileName},
      {std::nullopt, qtName, qtDesktopFileName},
  };
  for (const Case& c : cases) {
    foundation::Bundle::setMainBundleForTesting(std::make_shared<foundation::Bundle>("/b", "/b/Resources", c.info));
    int argc = 1;
    char name[] = "test";
    char* argv[] = {name, nullptr};
    { appkit::Application application(argc, argv); }
    EXPECT_EQ(QCoreApplication::applicationName().toStdString(), c.name);
    EXPECT_EQ(QGuiApplication::desktopFileName().toStdString(), c.desktopFileName);
    QCoreApplication::setApplicationName(QString::fromStdString(qtName));
    QGuiApplication::setDesktopFileName(QString::fromStdString(qtDesktopFileName));
  }
  foundation::Bundle::setMainBundleForTesting(nullptr);
}

}  // namespace
