#include <gtest/gtest.h>

#include <QAction>
#include <QFont>
#include <QLabel>
#include <QPlainTextEdit>
#include <QTabBar>
#include <QTest>
#include <QTimer>

#include <functional>

#include "app/AboutWindowController.h"
#include "app/NewsletterWindowController.h"
#include "app/FeedbackWindowController.h"
#include "app/FeedbackPanel.h"
#include "app/PreferencesWindowController.h"
#include "coredata/ObjectCategories.h"
#include "platform/appkit/Application.h"
#include "platform/appkit/RecordingWorkspace.h"
#include "platform/appkit/Workspace.h"
#include "tests/app/AppFixture.h"

namespace {

using app::HostGroupFields;
using test::AppFixture;

class StartupTest : public AppFixture {};

TEST_F(StartupTest, FirstLaunchLeavesOnePreviewRowAndCountsTheLaunch) {
  launch();
  ASSERT_EQ(titles(), std::vector<std::string>{"/etc/hosts"});
  const auto preview = list().hostGroupAt(0);
  EXPECT_TRUE(HostGroupFields::isEtcHostsPreview(*preview));
  EXPECT_TRUE(HostGroupFields::isEnabled(*preview));
  EXPECT_FALSE(HostGroupFields::isEditable(*preview));
  EXPECT_EQ(HostGroupFields::sortOrder(*preview), 0);
  auto& defaults = foundation::UserDefaults::standardUserDefaults();
  EXPECT_EQ(defaults.objectForKey("launchCount").intValue(), 1);
  EXPECT_TRUE(defaults.boolForKey("checkSyntax"));
  EXPECT_TRUE(window().window()->isVisible());
}

TEST_F(StartupTest, LeftoverPreviewRowsBecomeOneFreshRowAndOtherHostfilesStay) {
  DataStack::setupCoreDataStackWithAutoMigratingSqliteStoreNamed(app::AppDelegate::kStoreName);
  DataStack::saveWithBlockAndWait([](const coredata::ManagedObjectContextPtr& local) {
    for (auto kind : {app::HostGroupKind::Preview, app::HostGroupKind::Preview, app::HostGroupKind::Local}) {
      auto record = HostGroupFields::insertNewRecord(kind, local);
      record->setValueForKey(std::string("old"), "guid");
    }
  });
  DataStack::cleanUp();

  launch();
  EXPECT_EQ(titles(), (std::vector<std::string>{"/etc/hosts", "New Hosts"}));
  EXPECT_NE(list().hostGroupAt(0)->valueForKey("guid").stringValue(), "old");
}

TEST_F(StartupTest, LaunchCountCountsOnFromWhatIsStored) {
  struct Case {
    foundation::Value stored;
    std::int64_t expected;
  };
  const Case cases[] = {{foundation::Value(), 1}, {foundation::Value(std::string("seven")), 1},
                        {foundation::Value(4), 5}};
  for (const auto& c : cases) {
    auto& defaults = foundation::UserDefaults::standardUserDefaults();
    if (c.stored.isNull()) {
      defaults.removeObjectForKey("launchCount");
    } else {
      defaults.set(c.stored, "launchCount");
    }
    app::AppDelegate::incrementLaunchCount();
    foundation::UserDefaults::resetStandardUserDefaultsForTesting();
    EXPECT_EQ(foundation::UserDefaults::standardUserDefaults().objectForKey("launchCount").intValue(), c.expected)
        << c.stored.description();
  }
}

TEST_F(StartupTest, CheckSyntaxSetOffByTheUserStaysOffAcrossLaunches) {
  launch();
  foundation::UserDefaults::standardUserDefaults().set(false, "checkSyntax");
  relaunch();
  EXPECT_FALSE(foundation::UserDefaults::standardUserDefaults().boolForKey("checkSyntax"));
  EXPECT_EQ(foundation::UserDefaults::standardUserDefaults().objectForKey("launchCount").intValue(), 2);
}

TEST_F(StartupTest, QuittingAndRelaunchingKeepsTheTypedTextAndTheList) {
  launch();
  addLocalAndWait();
  QTest::keyClicks(window().codeView(), "127.0.0.1 typed");
  relaunch();
  ASSERT_EQ(titles(), (std::vector<std::string>{"/etc/hosts", "New Hosts"}));
  EXPECT_EQ(HostGroupFields::contentsProxy(*list().hostGroupAt(1)).value_or(""), "127.0.0.1 typed");
  EXPECT_TRUE(list().data(list().index(1), Qt::FontRole).value<QFont>().bold());
  window().selectHostGroup(list().hostGroupAt(1));
  EXPECT_EQ(window().statusLine()->text().toStdString(), "One hostfile has an unsaved change.");
  EXPECT_EQ(foundation::UserDefaults::standardUserDefaults().objectForKey("launchCount").intValue(), 2);
}

// A kill skips termination: only what the delayed save already wrote may come back.
TEST_F(StartupTest, EditsReachTheStoreShortlyAfterTypingWithoutQuitting) {
  launch();
  addLocalAndWait();
  QTest::keyClicks(window().codeView(), "10.0.0.1 saved");
  EXPECT_TRUE(window().hasPendingEdits());
  ASSERT_TRUE(test::pumpUntil(
      [&] { return !window().hasPendingEdits() && !delegate_->contextSaver()->isSavePending(); }));
  EXPECT_FALSE(DSManagedObjectContext::DS_defaultContext()->hasChanges());

  DataStack::cleanUp();  // the stack goes without the termination's save, as in a kill
  delegate_.reset();
  foundation::UserDefaults::resetStandardUserDefaultsForTesting();
  ChangeTracker::resetSharedInstanceForTesting();
  launch();
  ASSERT_EQ(titles().size(), 2u);
  EXPECT_EQ(HostGroupFields::contentsProxy(*list().hostGroupAt(1)).value_or(""), "10.0.0.1 saved");
}

TEST_F(StartupTest, ClosingTheMainWindowQuitsAfterSaving) {
  int argc = 1;
  char name[] = "test_app";
  char* argv[] = {name, nullptr};
  auto delegate = std::make_shared<app::AppDelegate>();
  int exitCode = -1;
  {
    appkit::Application application(argc, argv);
    application.setDelegate(delegate);
    auto& controller = delegate->mainWindowController();
    // Waits for the launch to have shown the window, then edits and closes it as a user would.
    std::function<void()> editAndClose = [&] {
      if (!controller.isWindowLoaded()) {
        QTimer::singleShot(10, editAndClose);
        return;
      }
      controller.addHosts();
      ASSERT_TRUE(test::pumpUntil([&] { return controller.listModel()->rowCount() == 2 && controller.selectedHostGroup(); }));
      QTest::keyClicks(controller.codeView(), "10.1.1.1 closed");
      controller.window()->close();
    };
    QTimer::singleShot(0, editAndClose);
    exitCode = application.run();
  }
  EXPECT_EQ(exitCode, 0);
  EXPECT_EQ(DSManagedObjectContext::DS_defaultContext(), nullptr);  // the stack was torn down

  foundation::UserDefaults::resetStandardUserDefaultsForTesting();
  ChangeTracker::resetSharedInstanceForTesting();
  launch();
  ASSERT_EQ(titles().size(), 2u);
  EXPECT_EQ(HostGroupFields::contentsProxy(*list().hostGroupAt(1)).value_or(""), "10.1.1.1 closed");
  EXPECT_EQ(dirtyCount(), 1u);
}

TEST_F(StartupTest, MenusShowAboutPreferencesNewsletterAndEachFeedbackTab) {
  launch();
  QWidget* about = delegate_->aboutWindowController().window();
  QWidget* preferences = delegate_->preferencesWindowController().window();
  ASSERT_NE(about, nullptr);
  ASSERT_NE(preferences, nullptr);
  EXPECT_FALSE(about->isVisible());
  EXPECT_FALSE(preferences->isVisible());
  EXPECT_FALSE(delegate_->newsletterWindowController().isWindowLoaded());  // built when first asked for

  auto triggerMenuItem = [&](const QString& title) {
    for (QAction* action : window().window()->findChildren<QAction*>()) {
      if (action->text() == title) return action->trigger(), true;
    }
    return false;
  };
  ASSERT_TRUE(triggerMenuItem("About Quillmere"));
  EXPECT_TRUE(about->isVisible());
  ASSERT_TRUE(triggerMenuItem("Preferences…"));
  EXPECT_TRUE(preferences->isVisible());
  ASSERT_TRUE(triggerMenuItem("Join the Newsletter…"));
  EXPECT_TRUE(delegate_->newsletterWindowController().window()->isVisible());

  app::FeedbackWindowController& feedback = delegate_->feedbackPanel().windowController();
  const std::pair<QString, int> feedbackItems[] = {{"Report a Bug…", app::FeedbackWindowController::kBugTab},
                                                  {"Request a Feature…", app::FeedbackWindowController::kFeatureTab},
                                                  {"Ask a Question…", app::FeedbackWindowController::kSupportTab}};
  for (const auto& [title, tab] : feedbackItems) {
    ASSERT_TRUE(triggerMenuItem(title));
    EXPECT_TRUE(feedback.window()->isVisible());
    EXPECT_EQ(feedback.tabs()->currentIndex(), tab) << title.toStdString();
  }
}

TEST_F(StartupTest, SupportOpensTheFixedPageAndUpdatesDoNothingWithoutAnUpdater) {
  auto workspace = std::make_shared<appkit::RecordingWorkspace>();
  appkit::Workspace::setSharedWorkspace(workspace);
  launch();
  delegate_->support();
  delegate_->checkForUpdates();
  appkit::Workspace::setSharedWorkspace(nullptr);
  EXPECT_EQ(workspace->openedURLs(), std::vector<std::string>{app::AppDelegate::kSupportURL});
}

}  // namespace
