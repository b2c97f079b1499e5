// Stack set-up, store location, model mismatch handling and clean-up.
#include "platform/foundation/FileManager.h"
#include "platform/foundation/NotificationCenter.h"
#include "tests/coredata/DataStackFixture.h"

namespace dstest {
namespace {

bool exists(const std::string& path) { return foundation::FileManager::defaultManager().fileExistsAtPath(path); }

std::string storageFolder() {
  return foundation::FileManager::defaultManager().searchPathDirectory(
             foundation::SearchPathDirectory::ApplicationSupport) +
         "/Quillmere";
}

// Writes one record through a whole stack at `url` built on `model`, then tears the stack down.
void seedStore(const StoreURL& url, std::shared_ptr<coredata::ManagedObjectModel> model) {
  DSManagedObjectModel::DS_setDefaultManagedObjectModel(std::move(model));
  DataStack::setupCoreDataStackWithAutoMigratingSqliteStoreAtURL(url);
  DataStack::saveWithBlockAndWait([](const DSContextPtr& context) {
    auto record = insertRecord(context, "seed", 5);
    record->setValueForKey(Value(1.5), "score");
  });
  DataStack::cleanUp();
}

// Records the names of the mismatch notifications in the order they arrive.
class MismatchRecorder {
 public:
  MismatchRecorder() {
    for (const char* name : {kDataStackPSCMismatchWillDeleteStore, kDataStackPSCMismatchDidDeleteStore,
                             kDataStackPSCMismatchCouldNotDeleteStore, kDataStackPSCMismatchWillRecreateStore,
                             kDataStackPSCMismatchDidRecreateStore, kDataStackPSCMismatchCouldNotRecreateStore}) {
      tokens_.push_back(foundation::NotificationCenter::defaultCenter().addObserver(
          name, nullptr, nullptr, [this](const foundation::Notification& n) { names.push_back(n.name()); }));
    }
  }
  ~MismatchRecorder() {
    for (auto token : tokens_) foundation::NotificationCenter::defaultCenter().removeObserver(token);
  }
  std::vector<std::string> names;

 private:
  std::vector<foundation::NotificationCenter::ObserverToken> tokens_;
};

TEST_F(DataStackTest, NamedAutoMigratingStoreLivesInTheApplicationFolderWithItsWriteAheadLog) {
  DataStack::setupCoreDataStackWithAutoMigratingSqliteStoreNamed("Quillmere2");
  const std::string path = storageFolder() + "/Quillmere2";
  auto coordinator = DSPersistentStoreCoordinator::DS_defaultStoreCoordinator();
  ASSERT_TRUE(coordinator);
  ASSERT_EQ(coordinator->persistentStores().size(), 1u);
  EXPECT_EQ(coordinator->persistentStores()[0]->path(), path);
  EXPECT_EQ(DSPersistentStore::DS_defaultPersistentStore(), coordinator->persistentStores()[0]);
  DataStack::saveWithBlockAndWait([](const DSContextPtr& context) { insertRecord(context, "a"); });
  EXPECT_TRUE(exists(path));
  EXPECT_TRUE(exists(path + "-wal"));
  EXPECT_TRUE(DSManagedObjectContext::DS_defaultContext());
  EXPECT_TRUE(DSManagedObjectContext::DS_rootSavingContext());

  // A second set-up changes nothing, whatever it names.
  DataStack::setupCoreDataStackWithAutoMigratingSqliteStoreNamed("Other");
  EXPECT_EQ(DSPersistentStoreCoordinator::DS_defaultStoreCoordinator(), coordinator);
  EXPECT_FALSE(exists(storageFolder() + "/Other"));
}

TEST_F(DataStackTest, NamesAndVersion) {
  EXPECT_EQ(DataStack::version(), 230u);
  EXPECT_EQ(DataStack::defaultStoreName(), "Quillmere.sqlite");
  EXPECT_EQ(DSPersistentStore::DS_urlForStoreName("Quillmere2").path(), storageFolder() + "/Quillmere2");
  EXPECT_EQ(DSPersistentStore::DS_defaultLocalStoreUrl().lastPathComponent(), "CoreDataStore.sqlite");
  foundation::Bundle::setMainBundleForTesting(std::make_shared<foundation::Bundle>(
      dir.path(), dir.path(), foundation::Dictionary{{foundation::kCFBundleNameKey, Value("Store.sqlite")}}));
  EXPECT_EQ(DataStack::defaultStoreName(), "Store.sqlite");
}

// The already-set-up check must read the slot: with auto-creation on, going through the creating
// getter would make a default store and skip the set-up that was asked for.
TEST_F(DataStackTest, AutoCreatedCoordinatorDoesNotPreemptTheRequestedSetup) {
  DataStack::setShouldAutoCreateDefaultPersistentStoreCoordinator(true);
  DataStack::setupCoreDataStackWithAutoMigratingSqliteStoreAtURL(storeURL());
  auto coordinator = DSPersistentStoreCoordinator::DS_defaultStoreCoordinatorSlot();
  ASSERT_TRUE(coordinator);
  ASSERT_EQ(coordinator->persistentStores().size(), 1u);
  EXPECT_EQ(coordinator->persistentStores()[0]->path(), storeURL().path());
  EXPECT_FALSE(exists(storageFolder() + "/Quillmere.sqlite"));
  EXPECT_TRUE(DSManagedObjectContext::DS_defaultContext());
}

TEST_F(DataStackTest, AddedOptionalAttributeMigratesAndKeepsTheData) {
  seedStore(storeURL(), recordModel(1));
  hookErrors();
  DSManagedObjectModel::DS_setDefaultManagedObjectModel(recordModel(2));
  DataStack::setupCoreDataStackWithAutoMigratingSqliteStoreAtURL(storeURL());
  EXPECT_TRUE(capture->errors().empty());
  auto coordinator = DSPersistentStoreCoordinator::DS_defaultStoreCoordinator();
  ASSERT_EQ(coordinator->persistentStores().size(), 1u);
  EXPECT_EQ(storedTitles(coordinator), std::vector<std::string>{"seed"});
}

TEST_F(DataStackTest, IncompatibleStoreIsReportedKeptAndRetriedOnce) {
  seedStore(storeURL(), recordModel(1));
  hookErrors();
  DSManagedObjectModel::DS_setDefaultManagedObjectModel(recordModel(3));
  DataStack::setupCoreDataStackWithAutoMigratingSqliteStoreAtURL(storeURL());
  auto coordinator = DSPersistentStoreCoordinator::DS_defaultStoreCoordinator();
  ASSERT_TRUE(coordinator);
  EXPECT_TRUE(coordinator->persistentStores().empty());
  EXPECT_FALSE(DSPersistentStore::DS_defaultPersistentStore());
  EXPECT_TRUE(DSManagedObjectContext::DS_defaultContext());
  EXPECT_TRUE(DSManagedObjectContext::DS_rootSavingContext());
  ASSERT_EQ(capture->errors().size(), 1u);
  EXPECT_EQ(capture->errors()[0].code(), coredata::kMigrationError);
  EXPECT_TRUE(exists(storeURL().path()));

  // One more add 0.5 s later, and no further one.
  EXPECT_TRUE(pumpUntil([&] { return capture->errors().size() == 2; }));
  foundation::pumpMainUntil([] { return false; }, 0.8);
  EXPECT_EQ(capture->errors().size(), 2u);
  EXPECT_TRUE(coordinator->persistentStores().empty());
}

TEST_F(DataStackTest, MismatchWithDeletionRemovesTheFilesAndRecreatesTheStore) {
  seedStore(storeURL(), recordModel(1));
  ASSERT_TRUE(exists(storeURL().path() + "-wal") || exists(storeURL().path()));
  hookErrors();
  DataStack::setShouldDeleteStoreOnModelMismatch(true);
  DSManagedObjectModel::DS_setDefaultManagedObjectModel(recordModel(3));
  MismatchRecorder recorder;
  DataStack::setupCoreDataStackWithAutoMigratingSqliteStoreAtURL(storeURL());

  EXPECT_EQ(recorder.names, (std::vector<std::string>{
                                kDataStackPSCMismatchWillDeleteStore, kDataStackPSCMismatchDidDeleteStore,
                                kDataStackPSCMismatchWillRecreateStore, kDataStackPSCMismatchDidRecreateStore}));
  EXPECT_TRUE(capture->errors().empty());
  auto coordinator = DSPersistentStoreCoordinator::DS_defaultStoreCoordinator();
  ASSERT_EQ(coordinator->persistentStores().size(), 1u);
  EXPECT_TRUE(storedTitles(coordinator).empty());
  EXPECT_EQ(capture->count("Removed incompatible model version"), 0);  // a warning: bit 2 is off
}

TEST_F(DataStackTest, CleanUpEmptiesEverySlotAndPostsOnce) {
  int posted = 0;
  auto token = foundation::NotificationCenter::defaultCenter().addObserver(
      kDataStackCleanedUpNotification, nullptr, nullptr, [&](const foundation::Notification&) { ++posted; });
  hookErrors();
  DataStack::setupCoreDataStackWithInMemoryStore();
  ASSERT_TRUE(DSManagedObjectContext::DS_defaultContext());
  DataStack::cleanUp();
  foundation::NotificationCenter::defaultCenter().removeObserver(token);
  EXPECT_EQ(posted, 1);
  EXPECT_FALSE(DSPersistentStoreCoordinator::DS_defaultStoreCoordinator());
  EXPECT_FALSE(DSPersistentStore::DS_defaultPersistentStore());
  EXPECT_FALSE(DSManagedObjectContext::DS_defaultContext());
  EXPECT_FALSE(DSManagedObjectContext::DS_rootSavingContext());
  EXPECT_FALSE(DataStack::errorHandlerTarget());
  // A new set-up builds a new stack.
  DataStack::setupCoreDataStackWithAutoMigratingSqliteStoreAtURL(storeURL());
  EXPECT_TRUE(DSManagedObjectContext::DS_defaultContext());
}

TEST_F(DataStackTest, CurrentStackDescribesTheChain) {
  DataStack::setupCoreDataStackWithInMemoryStore();
  const std::string text = DataStack::currentStack();
  EXPECT_EQ(text.rfind("Current Default Core Data Stack: ---- \n", 0), 0u);
  EXPECT_NE(text.find("Record"), std::string::npos);
  EXPECT_NE(text.find("DataStack Default Context"), std::string::npos);
  EXPECT_NE(text.find("DataStack Root Saving Context"), std::string::npos);
}

}  // namespace
}  // namespace dstest
