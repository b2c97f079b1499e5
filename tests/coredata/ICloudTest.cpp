// The cloud store set-up without a ubiquity container, and the merge of imported cloud changes.
#include "coredata/ICloud.h"
#include "coredata/ObjectCategories.h"
#include "tests/coredata/DataStackFixture.h"

namespace dstest {
namespace {

using foundation::Notification;
using foundation::NotificationCenter;

class ICloudTest : public DataStackTest {
 protected:
  void TearDown() override {
    for (auto token : tokens) NotificationCenter::defaultCenter().removeObserver(token);
    DataStackICloud::setICloudEnabled(false);
    DataStackTest::TearDown();
  }
  // Counts the notifications named `name` (on the posting thread), remembering the last one's object.
  std::shared_ptr<std::atomic<int>> count(const char* name) {
    auto seen = std::make_shared<std::atomic<int>>(0);
    tokens.push_back(NotificationCenter::defaultCenter().addObserver(
        name, nullptr, nullptr, [seen, this](const Notification& n) {
          lastObject = n.object();
          ++*seen;
        }));
    return seen;
  }
  std::vector<NotificationCenter::ObserverToken> tokens;
  std::shared_ptr<foundation::Object> lastObject;
};

TEST_F(ICloudTest, SetUpWithoutContainerAddsLocalStoreAndPostsCompletion) {
  DataStack::setLoggingLevel(3);
  hookErrors();
  const auto completed = count(kDataStackPSCDidCompleteiCloudSetupNotification);
  bool completion = false;
  DataStackICloud::setupCoreDataStackWithiCloudContainer("iCloud.org.quillmere", "Quillmere", storeURL(), "Data",
                                                         [&] { completion = true; });
  // The contexts exist at once; the store follows in the background.
  ASSERT_TRUE(DSManagedObjectContext::DS_defaultContext());
  ASSERT_TRUE(pumpUntil([&] { return completed->load() == 1; }));
  EXPECT_TRUE(completion);
  EXPECT_FALSE(DataStackICloud::isICloudEnabled());
  EXPECT_FALSE(DSPersistentStoreICloud::DS_cloudURLForUbiquitousContainer("iCloud.org.quillmere"));
  EXPECT_EQ(capture->count("iCloud is not enabled"), 1);

  const auto coordinator = DSPersistentStoreCoordinator::DS_defaultStoreCoordinator();
  ASSERT_TRUE(coordinator);
  ASSERT_EQ(coordinator->persistentStores().size(), 1u);
  EXPECT_EQ(DSPersistentStore::DS_defaultPersistentStore(), coordinator->persistentStores().front());
  DataStack::saveWithBlockAndWait([](const DSContextPtr& context) { insertRecord(context, "local"); });
  EXPECT_EQ(storedTitles(coordinator), std::vector<std::string>{"local"});
  EXPECT_TRUE(capture->errors().empty());
}

TEST_F(ICloudTest, DefaultContextMergesPostedCloudImports) {
  DataStackICloud::setICloudEnabled(true);
  hookErrors();
  DataStack::setupCoreDataStackWithAutoMigratingSqliteStoreAtURL(storeURL());
  DataStack::saveWithBlockAndWait([](const DSContextPtr& context) { insertRecord(context, "before"); });
  const auto shown = DSManagedObject::DS_findFirst("Record");
  ASSERT_TRUE(shown);
  ASSERT_EQ(shown->valueForKey("title"), Value("before"));

  // Another writer changes the store; its did-save stands for what the cloud imported.
  const auto coordinator = DSPersistentStoreCoordinator::DS_defaultStoreCoordinator();
  auto writer = coredata::ManagedObjectContext::create(coredata::ConcurrencyType::PrivateQueue);
  writer->setPersistentStoreCoordinator(coordinator);
  foundation::Dictionary imported;
  const auto saved = NotificationCenter::defaultCenter().addObserver(
      coredata::kManagedObjectContextDidSaveNotification, writer->notificationSender(), nullptr,
      [&](const Notification& n) { imported = n.userInfo(); });
  writer->performAndWait([&] {
    auto record = DSManagedObject::DS_findFirst("Record", writer);
    record->setValueForKey(Value("after"), "title");
    foundation::Error error;
    EXPECT_TRUE(writer->save(&error)) << error.localizedDescription();
  });
  NotificationCenter::defaultCenter().removeObserver(saved);
  ASSERT_FALSE(imported.empty());

  const auto merged = count(kDataStackDidMergeChangesFromiCloudNotification);
  NotificationCenter::defaultCenter().post(
      Notification(kPersistentStoreDidImportUbiquitousContentChangesNotification, coordinator, imported));
  ASSERT_TRUE(pumpUntil([&] { return merged->load() == 1; }));
  EXPECT_EQ(lastObject, std::static_pointer_cast<foundation::Object>(DSManagedObjectContext::DS_defaultContext()));
  EXPECT_EQ(shown->valueForKey("title"), Value("after"));

  // Once the context stops observing, posted imports are no longer merged.
  DSManagedObjectContextICloud::DS_stopObservingiCloudChangesInCoordinator(DSManagedObjectContext::DS_defaultContext(),
                                                                          coordinator);
  NotificationCenter::defaultCenter().post(
      Notification(kPersistentStoreDidImportUbiquitousContentChangesNotification, coordinator, imported));
  foundation::pumpMainUntil([] { return false; }, 0.1);
  EXPECT_EQ(merged->load(), 1);
  EXPECT_TRUE(capture->errors().empty());
}

// Without iCloud, a default context installed before the cloud set-up completes waits for its
// notification; an unrelated notification name does nothing.
TEST_F(ICloudTest, CompletionNotificationStartsObservationOnlyWhenEnabled) {
  DataStack::setupCoreDataStackWithAutoMigratingSqliteStoreAtURL(storeURL());
  const auto coordinator = DSPersistentStoreCoordinator::DS_defaultStoreCoordinator();
  const auto merged = count(kDataStackDidMergeChangesFromiCloudNotification);
  NotificationCenter::defaultCenter().post(kDataStackPSCDidCompleteiCloudSetupNotification);
  foundation::pumpMainUntil([] { return false; }, 0.05);
  NotificationCenter::defaultCenter().post(
      Notification(kPersistentStoreDidImportUbiquitousContentChangesNotification, coordinator, {}));
  foundation::pumpMainUntil([] { return false; }, 0.05);
  EXPECT_EQ(merged->load(), 0);

  DataStackICloud::setICloudEnabled(true);
  NotificationCenter::defaultCenter().post(kDataStackPSCDidCompleteiCloudSetupNotification);
  foundation::pumpMainUntil([] { return false; }, 0.05);
  NotificationCenter::defaultCenter().post(
      Notification(kPersistentStoreDidImportUbiquitousContentChangesNotification, coordinator, {}));
  EXPECT_TRUE(pumpUntil([&] { return merged->load() == 1; }));
}

}  // namespace
}  // namespace dstest
