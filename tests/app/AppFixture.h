#pragma once
// A launched application for tests: the stand-in hostfile model, the hosts path in a temporary
// folder, a fake alert presenter, a recorder of analytics events, and launch / quit / relaunch of
// the application delegate as the application object would drive them.
#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "app/AppDelegate.h"
#include "app/DefaultContextSaver.h"
#include "app/HostGroupFields.h"
#include "app/HostfileListModel.h"
#include "app/MainWindowController.h"
#include "app/QMTextView.h"
#include "app/TelemetrySeam.h"
#include "coredata/ContextCategories.h"
#include "coredata/DataStack.h"
#include "platform/appkit/AlertPresenter.h"
#include "platform/appkit/FakeAlertPresenter.h"
#include "platform/foundation/SystemPaths.h"
#include "platform/foundation/UserDefaults.h"
#include "tests/app/AppTestSupport.h"
#include "tests/support/TempDir.h"

namespace test {

class AppFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    qtApplication();
    // Each test starts with no store and no defaults of an earlier test in this process.
    ::setenv("XDG_DATA_HOME", dataDir_.path().c_str(), 1);
    ::setenv("XDG_CONFIG_HOME", dataDir_.path().c_str(), 1);
    foundation::UserDefaults::resetStandardUserDefaultsForTesting();
    // The first window load would ask to import first-version hostfiles; only the import tests
    // are about that question, and they clear this again.
    foundation::UserDefaults::standardUserDefaults().set(true, "askedToImportV1");
    foundation::UserDefaults::standardUserDefaults().synchronize();
    registerHostGroupModel();
    const std::string hosts = hostsDir_.path() + "/hosts";
    ASSERT_TRUE(writeFile(hosts, "127.0.0.1 localhost\n"));
    foundation::SystemPaths::setHostsFilePathForTesting(hosts);
    alerts_ = std::make_shared<appkit::FakeAlertPresenter>();
    appkit::AlertPresenter::setShared(alerts_);
    app::setTrackEventObserver([this](const std::string& name) { events_.push_back(name); });
  }

  void TearDown() override {
    quit();
    app::setTrackEventObserver({});
    appkit::AlertPresenter::setShared(nullptr);
    foundation::SystemPaths::setHostsFilePathForTesting(std::nullopt);
  }

  void launch() {
    delegate_ = std::make_shared<app::AppDelegate>();
    delegate_->applicationDidFinishLaunching();
  }

  // Quits as the application would: termination, then the windows go.
  void quit() {
    if (!delegate_) return;
    delegate_->applicationWillTerminate();
    delegate_.reset();
  }

  // A new run: the defaults are read afresh from disk, as a new process would.
  void relaunch() {
    quit();
    foundation::UserDefaults::resetStandardUserDefaultsForTesting();
    ChangeTracker::resetSharedInstanceForTesting();
    launch();
  }

  app::MainWindowController& window() { return delegate_->mainWindowController(); }
  app::HostfileListModel& list() { return *window().listModel(); }

  std::size_t dirtyCount() { return ChangeTracker::sharedInstance().dirtyGUIDs().size(); }

  std::vector<std::string> titles() {
    std::vector<std::string> result;
    for (const auto& record : list().arrangedObjects()) result.push_back(app::HostGroupFields::title(*record));
    return result;
  }

  std::string selectedTitle() {
    const auto selected = window().selectedHostGroup();
    return selected ? app::HostGroupFields::title(*selected) : std::string("(none)");
  }

  // Adds a local hostfile and waits until its save is done and it is selected.
  void addLocalAndWait() {
    const std::size_t before = list().arrangedObjects().size();
    window().addHosts();
    ASSERT_TRUE(pumpUntil([&] { return list().arrangedObjects().size() == before + 1 && window().selectedHostGroup(); }));
  }

  TempDir hostsDir_{"qm-app-hosts"};
  TempDir dataDir_{"qm-app-data"};
  std::shared_ptr<appkit::FakeAlertPresenter> alerts_;
  std::vector<std::string> events_;
  std::shared_ptr<app::AppDelegate> delegate_;
};

}  // namespace test
