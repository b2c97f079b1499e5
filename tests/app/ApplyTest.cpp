#include <gtest/gtest.h>

#include <QAction>
#include <QTest>
#include <QTimer>
#include <QToolBar>

#include <cstdlib>
#include <optional>

#include "app/AdministratorRun.h"
#include "app/ApplyActions.h"
#include "hostfiles/ApplicationExtras.h"
#include "hostfiles/Compiler.h"
#include "platform/foundation/AppleScript.h"
#include "tests/app/AppFixture.h"
#include "tests/support/RecordingShellRunner.h"

namespace {

using app::ApplyActions;
using app::HostGroupFields;
using app::HostfileListModel;
using foundation::ShellRunner;
using test::AppFixture;

using RecordingRunner = test::RecordingShellRunner;

class ApplyTest : public AppFixture {
 protected:
  void SetUp() override {
    AppFixture::SetUp();
    // The spelled-out count follows the locale; the expected texts are English.
    const char* saved = std::getenv("LC_ALL");
    savedLocale_ = saved ? std::optional<std::string>(saved) : std::nullopt;
    ::setenv("LC_ALL", "en_US.UTF-8", 1);
    foundation::SystemPaths::setFlushCacheCommandForTesting(std::string("flush-for-test"));
    foundation::SystemPaths::setPrivilegedRunLogPathForTesting(hostsDir_.file("quillmere.log"));
    foundation::AppleScript::setRunnerForTesting(runner_);
    launch();
    window().setBeforeApply([this] { ++savesBeforeApply_; });
  }

  void TearDown() override {
    AppFixture::TearDown();
    foundation::AppleScript::setRunnerForTesting(nullptr);
    foundation::SystemPaths::setFlushCacheCommandForTesting(std::nullopt);
    foundation::SystemPaths::setPrivilegedRunLogPathForTesting(std::nullopt);
    if (savedLocale_) {
      ::setenv("LC_ALL", savedLocale_->c_str(), 1);
    } else {
      ::unsetenv("LC_ALL");
    }
  }

  // Adds a local hostfile with this title and text; returns it.
  coredata::ManagedObjectPtr hostfile(const std::string& title, const std::string& contents, bool enabled = true) {
    addLocalAndWait();
    auto record = window().selectedHostGroup();
    HostGroupFields::setTitle(*record, title);
    HostGroupFields::setContentsProxy(*record, contents);
    HostGroupFields::setEnabled(*record, enabled);
    list().rearrangeObjects();
    return record;
  }

  // Earlier cases' hostfiles are left out of the next check and apply.
  void disableAll() {
    for (const auto& record : list().arrangedObjects()) {
      if (!HostGroupFields::isEtcHostsPreview(*record)) HostGroupFields::setEnabled(*record, false);
    }
  }

  void trigger(const QString& toolbarTitle) {
    for (QAction* action : window().window()->findChild<QToolBar*>("hostfiles")->actions()) {
      if (action->text() == toolbarTitle) return action->trigger();
    }
    ADD_FAILURE() << "no toolbar item " << toolbarTitle.toStdString();
  }

  std::string hostsText() { return test::readFile(foundation::SystemPaths::hostsFilePath()); }

  // The privileged run goes on in the background; this waits until its outcome has been handled.
  static void waitForTheRun() {
    ASSERT_TRUE(test::pumpUntil([] { return !app::AdministratorRun::isRunning(); }));
  }

  bool anyRowDirty() {
    for (int row = 0; row < list().rowCount(); ++row) {
      if (list().data(list().index(row), HostfileListModel::IsDirtyRole).toBool()) return true;
    }
    return false;
  }

  std::shared_ptr<RecordingRunner> runner_ = std::make_shared<RecordingRunner>();
  int savesBeforeApply_ = 0;
  std::optional<std::string> savedLocale_;
};

constexpr const char* kMalformed = "not an address line";

TEST_F(ApplyTest, ApplyWritesTheStagingFileRunsTheCopyAndLeavesEveryRowClean) {
  hostfile("Office", "10.0.0.1 office\n# a comment\n");
  ASSERT_TRUE(anyRowDirty());
  events_.clear();

  trigger("Apply");
  waitForTheRun();

  const std::string staging = ApplicationExtras::tmpEtcHostsPath();
  ASSERT_EQ(runner_->calls.size(), 1u);
  EXPECT_EQ(runner_->calls[0].first, Compiler::copyCommand(staging));
  EXPECT_TRUE(runner_->calls[0].second);
  EXPECT_EQ(test::readFile(staging),
            "127.0.0.1 localhost\n\n# QUILLMERE START\n10.0.0.1 office\n# a comment\n\n# QUILLMERE STOP\n");
  EXPECT_TRUE(alerts_->presentations().empty());
  EXPECT_EQ(events_, std::vector<std::string>{"applyChanges"});
  EXPECT_EQ(savesBeforeApply_, 1);
  EXPECT_EQ(dirtyCount(), 0u);
  EXPECT_FALSE(anyRowDirty());
}

TEST_F(ApplyTest, TheCheckNamesTheInvalidHostfilesWithTheSpelledOutCount) {
  struct Case {
    const char* name;
    std::vector<std::pair<std::string, bool>> hostfiles;  // title, valid
    std::string informative;
    std::string selects;  // "OK" selects the last invalid hostfile in list order
  };
  const std::vector<Case> cases = {
      {"one", {{"Office", false}, {"Home", true}}, "Your hostfile \"Office\" appears to be formatted incorrectly.",
       "Office"},
      {"one untitled", {{"", false}}, "", ""},
      {"three, one untitled",
       {{"Beta", false}, {"", false}, {"Alpha", false}, {"Good", true}},
       "Three of your hostfiles appear to be formatted incorrectly.\n\n\u2022 Alpha\n\u2022 Beta\n", "Beta"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    disableAll();
    for (const auto& [title, valid] : c.hostfiles) hostfile(title, valid ? "10.0.0.1 ok" : kMalformed);
    window().selectHostGroup(list().hostGroupAt(0));
    events_.clear();
    const std::size_t before = alerts_->presentations().size();

    window().checkSyntaxAction();

    ASSERT_EQ(alerts_->presentations().size(), before + 1);
    const auto& shown = alerts_->presentations().back();
    EXPECT_TRUE(shown.asSheet);
    EXPECT_EQ(shown.window, window().window());
    EXPECT_EQ(shown.alert.messageText(), "Invalid Hostfile Format");
    EXPECT_EQ(shown.alert.informativeText(), c.informative);
    EXPECT_EQ(shown.alert.buttonTitles(), std::vector<std::string>{"OK"});
    EXPECT_EQ(events_, std::vector<std::string>{"checkSyntax"});
    EXPECT_TRUE(runner_->calls.empty());
    EXPECT_EQ(selectedTitle(), c.selects);
  }
}

TEST_F(ApplyTest, CountsAreSpelledOutInTheLocaleWithEachWordCapitalised) {
  struct Case {
    std::size_t count;
    const char* locale;
    const char* start;
  };
  for (const Case& c : {Case{2, "en_US", "Two of"}, Case{21, "en_US", "Twenty-One of"},
                        Case{3, "de_DE", "Drei of"}}) {
    const std::vector<std::string> titles(c.count, "x");
    EXPECT_EQ(ApplyActions::invalidFormatText(titles, c.locale).rfind(c.start, 0), 0u) << c.count << " " << c.locale;
  }
}

TEST_F(ApplyTest, WhenAllIsValidTheCheckSaysSoAndOkKeepsTheSelection) {
  hostfile("Office", "10.0.0.1 office");
  // The lines every standard hosts file carries, which the editor shows as valid.
  hostfile("Standard", "127.0.0.1 localhost\n::1 localhost ip6-localhost ip6-loopback\nfe80::1%lo0 localhost\n"
                       "ff02::1 ip6-allnodes\n");
  hostfile("Off", kMalformed, false);  // disabled hostfiles are never tested
  const auto selected = window().selectedHostGroup();
  events_.clear();

  trigger("Check Syntax");

  ASSERT_EQ(alerts_->presentations().size(), 1u);
  const auto& alert = alerts_->presentations()[0].alert;
  EXPECT_EQ(alert.messageText(), "Hostfile Format Appears Correct");
  EXPECT_EQ(alert.informativeText(),
            "Quillmere has checked all your enabled hostfiles and each one appears to be formatted correctly. It is "
            "safe to apply your changes.");
  EXPECT_EQ(alert.buttonTitles(), std::vector<std::string>{"OK"});
  EXPECT_EQ(window().selectedHostGroup(), selected);
  EXPECT_EQ(events_, std::vector<std::string>{"checkSyntax"});
  EXPECT_TRUE(runner_->calls.empty());
}

TEST_F(ApplyTest, AnInvalidHostfileHoldsTheApplyUntilTheUserChooses) {
  hostfile("Alpha", kMalformed);
  hostfile("Beta", kMalformed);
  hostfile("Gamma", "10.0.0.3 fine");
  window().selectHostGroup(list().hostGroupAt(0));
  alerts_->holdSheets(true);
  events_.clear();

  // "Take Another Look": the lower invalid row is selected and nothing is applied.
  window().applyChanges();
  ASSERT_EQ(alerts_->pendingSheetCount(), 1u);
  const auto& alert = alerts_->presentations().back().alert;
  EXPECT_EQ(alert.buttonTitles(), (std::vector<std::string>{"Take Another Look", "Apply Changes Anyway"}));
  EXPECT_EQ(events_, std::vector<std::string>{"applyChanges"});  // sent while the sheet is up
  ASSERT_TRUE(alerts_->endSheet(appkit::kAlertFirstButtonReturn));
  EXPECT_EQ(selectedTitle(), "Beta");
  EXPECT_TRUE(runner_->calls.empty());
  EXPECT_EQ(savesBeforeApply_, 0);

  // "Apply Changes Anyway" applies the malformed text as it is.
  window().applyChanges();
  ASSERT_TRUE(alerts_->endSheet(appkit::kAlertSecondButtonReturn));
  waitForTheRun();
  EXPECT_EQ(runner_->calls.size(), 1u);
  EXPECT_EQ(savesBeforeApply_, 1);
  EXPECT_EQ(dirtyCount(), 0u);
  EXPECT_EQ(alerts_->presentations().size(), 2u);
}

TEST_F(ApplyTest, ApplyRunsAtOnceWithoutTheCheckOrPastADisabledMalformedHostfile) {
  struct Case {
    const char* name;
    bool checkSyntax;
    bool malformedEnabled;
  };
  for (const Case& c : {Case{"check off, malformed enabled", false, true},
                        Case{"check on, malformed disabled", true, false}}) {
    SCOPED_TRACE(c.name);
    disableAll();
    runner_->calls.clear();
    foundation::UserDefaults::standardUserDefaults().set(c.checkSyntax, "checkSyntax");
    hostfile("Broken", kMalformed, c.malformedEnabled);
    hostfile("Fine", "10.0.0.4 fine");
    events_.clear();
    const std::size_t alertsBefore = alerts_->presentations().size();

    window().applyChanges();
    waitForTheRun();

    EXPECT_EQ(alerts_->presentations().size(), alertsBefore);
    EXPECT_EQ(runner_->calls.size(), 1u);
    EXPECT_EQ(events_, std::vector<std::string>{"applyChanges"});
    EXPECT_EQ(dirtyCount(), 0u);
  }
}

TEST_F(ApplyTest, AFailedApplyIsShownAndTheRowsStayDirty) {
  struct Case {
    const char* name;
    std::function<void()> breakIt;
    std::size_t runs;
    std::string informative;
  };
  const std::string missing = hostsDir_.file("missing/hosts");
  const std::vector<Case> cases = {
      {"password refused",
       [&] { runner_->next = {ShellRunner::Result::Outcome::AuthorizationRefused, 126, "", ""}; }, 1,
       "User canceled."},
      {"copy failed", [&] { runner_->next = {ShellRunner::Result::Outcome::Ran, 1, "", "cp: denied"}; }, 1,
       "cp: denied"},
      {"no polkit agent",
       [&] {
         runner_->next = {ShellRunner::Result::Outcome::AuthorizationUnavailable, 127, "",
                          "Error executing command as another user: No authentication agent found.\n"};
       },
       1,
       "Administrator rights could not be obtained: Error executing command as another user: No authentication "
       "agent found."},
      {"hosts file unreadable", [&] { foundation::SystemPaths::setHostsFilePathForTesting(missing); }, 0,
       "The hosts file " + missing + " could not be read."},
  };
  hostfile("Office", "10.0.0.1 office");
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    runner_->calls.clear();
    c.breakIt();
    const std::size_t before = alerts_->presentations().size();

    window().applyChanges();
    waitForTheRun();

    EXPECT_EQ(runner_->calls.size(), c.runs);
    ASSERT_EQ(alerts_->presentations().size(), before + 1);
    const auto& shown = alerts_->presentations().back();
    EXPECT_EQ(shown.alert.messageText(), ApplyActions::kApplyFailedMessage);
    EXPECT_EQ(shown.alert.informativeText(), c.informative);
    EXPECT_EQ(shown.window, window().window());
    EXPECT_EQ(dirtyCount(), 1u);
    EXPECT_TRUE(anyRowDirty());
    runner_->next = {};
    foundation::SystemPaths::setHostsFilePathForTesting(hostsDir_.file("hosts"));
  }
}

// While the password is asked for, the window lives on: its timers fire. What the user does to
// it meanwhile goes nowhere, and no second run can start; once the run has ended, the outcome is
// told as ever and the window answers again.
TEST_F(ApplyTest, WhileTheRunIsUnderWayTheWindowLivesOnAndTheUserChangesNothing) {
  struct Case {
    const char* name;
    ShellRunner::Result result;
    std::string informative;  // of the failure's alert; empty for a success
  };
  const std::vector<Case> cases = {
      {"success", {}, ""},
      {"copy failed", {ShellRunner::Result::Outcome::Ran, 1, "", "cp: denied"}, "cp: denied"},
      {"password dialog dismissed", {ShellRunner::Result::Outcome::AuthorizationRefused, 126, "", ""},
       "User canceled."},
  };
  window().showWindow();
  const auto record = hostfile("Office", "10.0.0.1 office\n");
  app::QMTextView* editor = window().codeView();
  auto* toolbar = window().window()->findChild<QToolBar*>("hostfiles");
  QWidget* applyButton = nullptr;
  for (QAction* action : toolbar->actions()) {
    if (action->text() == "Apply") applyButton = toolbar->widgetForAction(action);
  }
  ASSERT_TRUE(applyButton);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    window().selectHostGroup(nullptr);
    HostGroupFields::setContentsProxy(*record, std::string("10.0.0.1 office\n# ") + c.name + "\n");
    window().selectHostGroup(record);
    ASSERT_TRUE(anyRowDirty());
    runner_->calls.clear();
    runner_->next = c.result;
    runner_->hold();
    events_.clear();
    const std::size_t alertsBefore = alerts_->presentations().size();

    QTest::mouseClick(applyButton, Qt::LeftButton);
    ASSERT_TRUE(test::pumpUntil([&] { return runner_->isWaiting(); }));
    bool firedDuringTheRun = false;
    QTimer::singleShot(1, [&] { firedDuringTheRun = runner_->isWaiting(); });
    EXPECT_TRUE(test::pumpUntil([&] { return firedDuringTheRun; }));

    const std::string shown = editor->text();
    editor->setFocus();
    QTest::keyClick(editor, Qt::Key_X);
    QTest::mouseClick(applyButton, Qt::LeftButton);
    window().applyChanges();
    window().flushCache();
    test::pumpUntil([] { return false; }, 0.1);
    EXPECT_EQ(editor->text(), shown);
    EXPECT_FALSE(window().hasPendingEdits());
    EXPECT_EQ(runner_->calls.size(), 1u);
    EXPECT_EQ(events_, std::vector<std::string>{"applyChanges"});
    EXPECT_EQ(alerts_->presentations().size(), alertsBefore);
    EXPECT_TRUE(anyRowDirty());

    runner_->release();
    waitForTheRun();
    EXPECT_EQ(runner_->calls.size(), 1u);
    if (c.informative.empty()) {
      EXPECT_EQ(alerts_->presentations().size(), alertsBefore);
      EXPECT_EQ(dirtyCount(), 0u);
      EXPECT_FALSE(anyRowDirty());
    } else {
      ASSERT_EQ(alerts_->presentations().size(), alertsBefore + 1);
      EXPECT_EQ(alerts_->presentations().back().alert.messageText(), ApplyActions::kApplyFailedMessage);
      EXPECT_EQ(alerts_->presentations().back().alert.informativeText(), c.informative);
      EXPECT_EQ(dirtyCount(), 1u);
    }
    // The user's input reaches the window again.
    QTest::keyClick(editor, Qt::Key_Y);
    EXPECT_NE(editor->text(), shown);
  }
}

// A flush applies nothing, so the rows keep their marks: clearing them would tell the user that
// edits are in the hosts file when they are not.
TEST_F(ApplyTest, FlushingRunsTheFlushCommandKeepsTheMarksAndAFailedFlushIsShown) {
  hostfile("Office", "10.0.0.1 office");
  runner_->next = {ShellRunner::Result::Outcome::Ran, 2, "", "no resolver"};
  events_.clear();
  trigger("Flush Cache");
  waitForTheRun();
  ASSERT_EQ(alerts_->presentations().size(), 1u);
  EXPECT_EQ(alerts_->presentations()[0].alert.messageText(), ApplyActions::kFlushFailedMessage);
  EXPECT_EQ(alerts_->presentations()[0].alert.informativeText(), "no resolver");
  EXPECT_TRUE(anyRowDirty());

  runner_->next = {};
  trigger("Flush Cache");
  waitForTheRun();
  ASSERT_EQ(runner_->calls.size(), 2u);
  EXPECT_EQ(runner_->calls[1], std::make_pair(std::string("flush-for-test"), true));
  EXPECT_EQ(alerts_->presentations().size(), 1u);
  EXPECT_EQ(events_, (std::vector<std::string>{"flushCache", "flushCache"}));
  EXPECT_EQ(hostsText(), "127.0.0.1 localhost\n");
  EXPECT_EQ(dirtyCount(), 1u);
  EXPECT_TRUE(anyRowDirty());
}

TEST_F(ApplyTest, RefreshHandsOnlyARemoteSelectionToItsHandler) {
  std::vector<coredata::ManagedObjectPtr> refreshed;
  window().setRefreshRemoteHandler([&](const coredata::ManagedObjectPtr& record) { refreshed.push_back(record); });
  hostfile("Local", "");
  trigger("Refresh");
  EXPECT_FALSE(window().validateMenuItem(app::MainWindowController::kTagRemoteHostfile));
  window().addRemoteHosts();
  ASSERT_TRUE(test::pumpUntil([&] { return selectedTitle() == "New Remote Hosts"; }));
  EXPECT_TRUE(window().validateMenuItem(app::MainWindowController::kTagRemoteHostfile));
  trigger("Refresh");
  ASSERT_EQ(refreshed.size(), 1u);
  EXPECT_EQ(refreshed[0], window().selectedHostGroup());
}

}  // namespace
