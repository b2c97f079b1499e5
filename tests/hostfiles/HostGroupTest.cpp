#include <gtest/gtest.h>

#include <regex>
#include <string>

#include "hostfiles/Compiler.h"
#include "tests/hostfiles/HostfilesFixture.h"

namespace {

using foundation::Value;
using hftest::HostfilesTest;

using HostGroupTest = HostfilesTest;

TEST_F(HostGroupTest, TheThreeKindsAreCreatedCleanWithAnUpperCaseGuid) {
  setUpStack();
  auto local = HostGroup::insertLocalHostfile(context());
  auto remote = HostGroup::insertRemoteHostfile(context());
  auto preview = HostGroup::insertPreviewRow(context());
  auto imported = HostGroup::insertLocalHostfile(context(), "Office", "10.0.0.1 office\n");
  for (const auto& record : {local, remote, preview, imported}) {
    ASSERT_TRUE(record);
    EXPECT_TRUE(std::regex_match(*record->guid(), std::regex("[0-9A-F]{8}(-[0-9A-F]{4}){3}-[0-9A-F]{12}")));
    EXPECT_FALSE(record->isDirty());
    EXPECT_EQ(record->contents(), record == imported ? "10.0.0.1 office\n" : std::string());
  }
  EXPECT_EQ(imported->title(), "Office");
  EXPECT_TRUE(imported->isEditable());
  EXPECT_EQ(imported->sortOrder(), local->sortOrder());
  EXPECT_TRUE(ChangeTracker::sharedInstance().dirtyGUIDs().empty());
  EXPECT_EQ(notes, 0);
  EXPECT_EQ(local->title(), "New Hosts");
  EXPECT_TRUE(local->isEditable());
  EXPECT_EQ(remote->remoteURL(), HostGroup::kPlaceholderRemoteURL);
  EXPECT_TRUE(remote->isRemote());
  EXPECT_FALSE(remote->isEditable());
  EXPECT_EQ(preview->title(), "/etc/hosts");
  EXPECT_EQ(preview->sortOrder(), 0);
  EXPECT_TRUE(preview->isEtcHostsPreview());
  EXPECT_NE(local->guid(), remote->guid());
  EXPECT_EQ(HostGroup::fetchRequest().entityName(), "HostGroup");
}

TEST_F(HostGroupTest, OnlyEditsOfContentsMarkTheRecordAndEachEditMarksOnce) {
  setUpStack();
  auto record = HostGroup::insertLocalHostfile(context());
  auto other = HostGroup::insertLocalHostfile(context());
  save();

  record->setIsEnabled(false);
  record->setTitle(std::string("Renamed"));
  record->setSortOrder(5);
  EXPECT_FALSE(record->isDirty());
  EXPECT_EQ(notes, 0);

  record->setContents(std::string("127.0.0.1 a"));
  EXPECT_EQ(notes, 1);
  EXPECT_TRUE(record->isDirty());
  EXPECT_FALSE(other->isDirty());
  record->setValueForKey(Value("127.0.0.1 a"), "contentsProxy");  // the same text again
  EXPECT_EQ(notes, 2);
  EXPECT_EQ(ChangeTracker::sharedInstance().dirtyGUIDs().keys(), std::vector<std::string>{*record->guid()});
  EXPECT_TRUE(record->valueForKey("isDirty").boolValue());
}

TEST_F(HostGroupTest, AnUntitledRecordIsNotMarked) {
  setUpStack();
  auto record = HostGroup::insertLocalHostfile(context());
  record->setTitle(std::nullopt);
  record->setContents(std::string("x"));
  EXPECT_EQ(notes, 0);
  EXPECT_FALSE(record->isDirty());
}

TEST_F(HostGroupTest, FetchingKeepsAUsableGuidGivesOneOtherwiseAndObservesOnce) {
  setUpStack();
  auto kept = HostGroup::insertLocalHostfile(context());
  auto empty = HostGroup::insertLocalHostfile(context());
  empty->setGuid(std::string());
  const std::string keptGuid = *kept->guid();
  save();
  kept.reset();
  empty.reset();
  DSManagedObjectContext::DS_resetDefaultContext();

  // Two fetches of one record: the second must not add a second observation.
  for (int round = 0; round < 2; ++round) {
    auto found = DSManagedObject::DS_findAllSortedBy(HostGroup::kEntityName, "guid", true);
    ASSERT_TRUE(found);
    ASSERT_EQ(found->size(), 2u);
  }
  auto first = std::dynamic_pointer_cast<HostGroup>(
      DSManagedObject::DS_findFirstByAttribute(HostGroup::kEntityName, "guid", Value(keptGuid)));
  ASSERT_TRUE(first);
  auto all = *DSManagedObject::DS_findAll(HostGroup::kEntityName);
  for (const auto& object : all) {
    auto record = std::dynamic_pointer_cast<HostGroup>(object);
    ASSERT_TRUE(record);
    ASSERT_TRUE(record->guid());
    EXPECT_EQ(record->guid()->size(), 36u);
  }
  first->setContents(std::string("edited"));
  EXPECT_EQ(notes, 1);
}

TEST_F(HostGroupTest, DerivedValuesOfThePreviewRowAndOfHostfiles) {
  setUpStack();
  ASSERT_TRUE(test::writeFile(hostsPath(), "127.0.0.1 localhost\n"));
  auto record = hostfile("10.0.0.1 a");
  auto preview = HostGroup::insertPreviewRow(context());
  preview->setContents(std::string("ignored"));
  record->setValueForKey(Value("10.0.0.2 b"), "contentsProxy");

  EXPECT_EQ(record->contentsProxy(), "10.0.0.2 b");
  EXPECT_EQ(preview->contentsProxy(), "127.0.0.1 localhost\n\n# QUILLMERE START\n10.0.0.2 b\n# QUILLMERE STOP\n");
  EXPECT_EQ(preview->statusMessage(), HostGroup::kPreviewStatusMessage);
  EXPECT_EQ(record->statusMessage(), "2 hostfiles have unsaved changes.");  // the preview row was edited too
  EXPECT_EQ(record->valueForKey("statusMessage").stringValue(), record->statusMessage());

  record->setValueForKey(Value("Office"), "prettyName");
  EXPECT_EQ(record->title(), "Office");
  EXPECT_TRUE(record->isValidSyntax());
  record->setContents(std::string("not an address"));
  EXPECT_FALSE(record->valueForKey("isValidSyntax").boolValue());
  EXPECT_FALSE(record->setValueForKey(Value(true), "isDirty"));  // read-only
  record->setContentsProxy(std::nullopt);
  EXPECT_EQ(record->contents(), std::nullopt);
}

TEST_F(HostGroupTest, PreviewIsAbsentWhenTheHostsFileCannotBeRead) {
  setUpStack();
  auto preview = HostGroup::insertPreviewRow(context());
  EXPECT_EQ(preview->contentsProxy(), std::nullopt);
}

}  // namespace
