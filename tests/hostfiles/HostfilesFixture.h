#pragma once
// The stack fixture of the hostfile tests: a main bundle with the application's identifier, the
// hostfile model over a SQLite store in a temporary folder, the hosts file, flush command and log
// pointed at temporary files, a recording runner, and a counter of "NOTE_CHANGE" posts.
#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "coredata/ContextCategories.h"
#include "coredata/DataStack.h"
#include "coredata/ObjectCategories.h"
#include "hostfiles/ChangeTracker.h"
#include "hostfiles/HostGroup.h"
#include "hostfiles/HostfilesModel.h"
#include "platform/foundation/AppleScript.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/NotificationCenter.h"
#include "platform/foundation/RunLoop.h"
#include "platform/foundation/SystemPaths.h"
#include "platform/foundation/UserDefaults.h"
#include "tests/support/TempDir.h"
#include "tests/support/RecordingShellRunner.h"

namespace hftest {

using RecordingRunner = test::RecordingShellRunner;

class HostfilesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    foundation::Bundle::setMainBundleForTesting(std::make_shared<foundation::Bundle>(
        dir.path(), dir.path(),
        foundation::Dictionary{{foundation::kCFBundleNameKey, foundation::Value("Quillmere")},
                               {foundation::kCFBundleIdentifierKey,
                                foundation::Value(foundation::kApplicationBundleIdentifier)}}));
    foundation::UserDefaults::resetStandardUserDefaultsForTesting();
    HostfilesModel::registerModel();
    foundation::SystemPaths::setHostsFilePathForTesting(hostsPath());
    foundation::SystemPaths::setFlushCacheCommandForTesting(std::string("flush-for-test"));
    foundation::SystemPaths::setPrivilegedRunLogPathForTesting(logPath());
    foundation::AppleScript::setRunnerForTesting(runner);
    noteToken = foundation::NotificationCenter::defaultCenter().addObserver(
        ChangeTracker::kChangeNotification, nullptr, nullptr, [this](const foundation::Notification&) { ++notes; });
  }

  void TearDown() override {
    foundation::NotificationCenter::defaultCenter().removeObserver(noteToken);
    ChangeTracker::resetSharedInstanceForTesting();
    DataStack::cleanUp();
    foundation::pumpMainUntil([] { return false; }, 0.02);
    foundation::AppleScript::setRunnerForTesting(nullptr);
    foundation::SystemPaths::setHostsFilePathForTesting(std::nullopt);
    foundation::SystemPaths::setFlushCacheCommandForTesting(std::nullopt);
    foundation::SystemPaths::setPrivilegedRunLogPathForTesting(std::nullopt);
    foundation::UserDefaults::resetStandardUserDefaultsForTesting();
    foundation::Bundle::setMainBundleForTesting(nullptr);
  }

  void setUpStack() {
    DataStack::setupCoreDataStackWithAutoMigratingSqliteStoreAtURL(StoreURL::fileURLWithPath(dir.file("hosts.sqlite")));
  }

  std::string hostsPath() const { return dir.file("etc-hosts"); }
  std::string logPath() const { return dir.file("quillmere.log"); }
  DSContextPtr context() const { return DSManagedObjectContext::DS_defaultContext(); }

  // A local hostfile (created as the application creates it) given `contents` afterwards.
  std::shared_ptr<HostGroup> hostfile(const std::optional<std::string>& contents, bool enabled = true) {
    auto record = HostGroup::insertLocalHostfile(context());
    record->setIsEnabled(enabled);
    record->setContents(contents);
    return record;
  }

  void save() { DSManagedObjectContext::DS_saveToPersistentStoreAndWait(context()); }

  test::TempDir dir{"qm-hostfiles"};
  std::shared_ptr<RecordingRunner> runner = std::make_shared<RecordingRunner>();
  int notes = 0;
  foundation::NotificationCenter::ObserverToken noteToken = 0;
};

}  // namespace hftest
