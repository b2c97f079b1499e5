#include <gtest/gtest.h>

#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <string>

#include "platform/foundation/ShellQuoting.h"
#include "tests/hostfiles/HostfilesFixture.h"

namespace {

using foundation::UserDefaults;
using foundation::Value;
using hftest::HostfilesTest;

std::vector<std::string> storedGuids() {
  auto stored = UserDefaults::standardUserDefaults().dictionaryForKey(ChangeTracker::kDirtyGUIDsKey);
  return stored ? stored->keys() : std::vector<std::string>{"<nothing stored>"};
}

void storeGuids(const std::vector<std::string>& guids) {
  foundation::Dictionary set;
  for (const auto& guid : guids) set.set(guid, Value(true));
  UserDefaults::standardUserDefaults().set(Value(set), ChangeTracker::kDirtyGUIDsKey);
  UserDefaults::standardUserDefaults().synchronize();
}

using ChangeTrackerTest = HostfilesTest;

TEST_F(ChangeTrackerTest, StartsEmptyAndCountsItsEntries) {
  setUpStack();
  auto& tracker = ChangeTracker::sharedInstance();
  EXPECT_FALSE(tracker.isDirty());
  EXPECT_EQ(tracker.statusString(), "You have no unsaved changes.");

  const std::vector<std::pair<std::string, std::string>> steps = {
      {"A", "One hostfile has an unsaved change."},
      {"A", "One hostfile has an unsaved change."},  // the same GUID again is one entry
      {"B", "2 hostfiles have unsaved changes."},
      {"C", "3 hostfiles have unsaved changes."},
  };
  int posts = 0;
  for (const auto& [guid, status] : steps) {
    tracker.markHostGroupDirty(guid);
    EXPECT_EQ(notes, ++posts) << guid;  // posted every time, repeats included
    EXPECT_EQ(tracker.statusString(), status) << guid;
  }
  EXPECT_TRUE(tracker.isDirty());
  EXPECT_EQ(storedGuids(), (std::vector<std::string>{"A", "B", "C"}));

  tracker.markHostGroupDirty(std::nullopt);
  EXPECT_EQ(notes, posts);  // an absent GUID posts nothing
  EXPECT_EQ(tracker.dirtyGUIDs().size(), 3u);

  tracker.markClean();
  EXPECT_EQ(notes, posts + 1);
  EXPECT_FALSE(tracker.isDirty());
  EXPECT_EQ(tracker.statusString(), "You have no unsaved changes.");
  auto stored = UserDefaults::standardUserDefaults().objectForKey(ChangeTracker::kDirtyGUIDsKey);
  ASSERT_TRUE(stored.isDictionary());  // saved as an empty dictionary, not removed
  EXPECT_TRUE(stored.dictionaryValue().empty());
}

// An apply clears what it applied: every mark made before its texts were read, those loaded from
// an earlier launch too, but not a mark made after.
TEST_F(ChangeTrackerTest, CleaningUpToACountKeepsTheLaterMarks) {
  storeGuids({"Loaded"});  // no store open: the loaded GUID is kept as it is
  auto& tracker = ChangeTracker::sharedInstance();
  tracker.markHostGroupDirty(std::string("B"));
  tracker.markHostGroupDirty(std::string("C"));
  const std::uint64_t applied = tracker.markCount();
  tracker.markHostGroupDirty(std::string("B"));  // changed again after the texts were read
  const int posts = notes;

  tracker.markCleanUpTo(applied);
  EXPECT_EQ(tracker.dirtyGUIDs().keys(), std::vector<std::string>{"B"});
  EXPECT_TRUE(tracker.isDirty());
  EXPECT_EQ(tracker.statusString(), "One hostfile has an unsaved change.");
  EXPECT_EQ(storedGuids(), std::vector<std::string>{"B"});
  EXPECT_EQ(notes, posts + 1);

  tracker.markCleanUpTo(tracker.markCount());
  EXPECT_FALSE(tracker.isDirty());
  EXPECT_EQ(storedGuids(), std::vector<std::string>{});
}

TEST_F(ChangeTrackerTest, AnnouncesStatusStringWithOldAndNewText) {
  setUpStack();
  auto& tracker = ChangeTracker::sharedInstance();
  std::vector<std::pair<std::string, std::string>> seen;
  tracker.addObserver("statusString", [&](const Value& before, const Value& after) {
    seen.emplace_back(before.stringValue(), after.stringValue());
  });
  tracker.markHostGroupDirty(std::string("A"));
  tracker.markClean();
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[0], std::make_pair(std::string("You have no unsaved changes."),
                                    std::string("One hostfile has an unsaved change.")));
  EXPECT_EQ(seen[1].second, "You have no unsaved changes.");
}

TEST_F(ChangeTrackerTest, LoadingPrunesGuidsWithoutRecordsAndSavesTheRest) {
  setUpStack();
  auto kept = hostfile("127.0.0.1 kept");
  save();
  ChangeTracker::resetSharedInstanceForTesting();  // load afresh, as at the next launch
  storeGuids({"GONE-1", *kept->guid(), "GONE-2"});

  auto& tracker = ChangeTracker::sharedInstance();
  EXPECT_EQ(tracker.dirtyGUIDs().keys(), std::vector<std::string>{*kept->guid()});
  EXPECT_TRUE(tracker.isDirty());
  ASSERT_EQ(tracker.dirtyHostGroups().size(), 1u);
  EXPECT_EQ(tracker.dirtyHostGroups()[0]->guid(), kept->guid());
  EXPECT_EQ(storedGuids(), std::vector<std::string>{*kept->guid()});
}

TEST_F(ChangeTrackerTest, AStoreThatIsNotOpenDoesNotEraseTheSet) {
  storeGuids({"X", "Y"});  // no stack set up: every lookup fails
  auto& tracker = ChangeTracker::sharedInstance();
  EXPECT_EQ(tracker.dirtyGUIDs().size(), 2u);
  EXPECT_TRUE(tracker.isDirty());
  EXPECT_EQ(storedGuids(), (std::vector<std::string>{"X", "Y"}));
}

TEST_F(ChangeTrackerTest, ARecordDeletedDuringTheRunStaysCountedUntilTheNextLoad) {
  setUpStack();
  auto record = hostfile("a");
  save();
  auto& tracker = ChangeTracker::sharedInstance();
  tracker.markHostGroupDirty(record->guid());
  DSManagedObject::DS_deleteEntity(record);
  save();
  EXPECT_EQ(tracker.statusString(), "One hostfile has an unsaved change.");
  EXPECT_TRUE(tracker.dirtyHostGroups().empty());  // skipped, not removed
  tracker.loadChanges();
  EXPECT_TRUE(tracker.dirtyGUIDs().empty());
}

// The second half of the persistence test, run in a child process: it loads the set written by
// the parent from the parent's config folder and store, and writes what it found.
TEST_F(ChangeTrackerTest, ChildProcessLoadsTheSavedSet) {
  const char* parentDir = std::getenv("QM_CHANGE_TRACKER_PARENT");
  if (!parentDir) GTEST_SKIP() << "run by PersistsAcrossProcesses";
  const std::string parent = parentDir;
  setenv("XDG_CONFIG_HOME", (parent + "/config").c_str(), 1);
  UserDefaults::resetStandardUserDefaultsForTesting();
  DataStack::setupCoreDataStackWithAutoMigratingSqliteStoreAtURL(StoreURL::fileURLWithPath(parent + "/shared.sqlite"));
  std::string found;
  for (const auto& guid : ChangeTracker::sharedInstance().dirtyGUIDs().keys()) found += guid + "\n";
  ASSERT_TRUE(test::writeFile(parent + "/child-found", found));
}

TEST_F(ChangeTrackerTest, PersistsAcrossProcesses) {
  setenv("XDG_CONFIG_HOME", dir.file("config").c_str(), 1);
  UserDefaults::resetStandardUserDefaultsForTesting();
  DataStack::setupCoreDataStackWithAutoMigratingSqliteStoreAtURL(StoreURL::fileURLWithPath(dir.file("shared.sqlite")));
  auto record = hostfile("127.0.0.1 one");
  record->setContents(std::string("127.0.0.1 two"));  // an edit of a titled record marks it
  save();
  const std::string guid = *record->guid();
  record.reset();
  ChangeTracker::sharedInstance().markHostGroupDirty(std::string("NO-SUCH-RECORD"));
  ASSERT_EQ(ChangeTracker::sharedInstance().dirtyGUIDs().size(), 2u);
  ChangeTracker::resetSharedInstanceForTesting();
  DataStack::cleanUp();

  char self[PATH_MAX] = {};
  ASSERT_GT(readlink("/proc/self/exe", self, sizeof self - 1), 0);
  foundation::SystemShellRunner shell;
  auto result = shell.run("QM_CHANGE_TRACKER_PARENT=" + foundation::shellQuoted(dir.path()) + " " +
                              foundation::shellQuoted(self) +
                              " --gtest_filter=ChangeTrackerTest.ChildProcessLoadsTheSavedSet",
                          false);
  ASSERT_EQ(result.status, 0) << result.standardOutput << result.standardError;
  EXPECT_EQ(test::readFile(dir.file("child-found")), guid + "\n");
  UserDefaults::resetStandardUserDefaultsForTesting();  // read what the child wrote back
  EXPECT_EQ(storedGuids(), std::vector<std::string>{guid});
}

}  // namespace
