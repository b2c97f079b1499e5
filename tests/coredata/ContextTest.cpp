// The context tree: per-thread contexts, working names, the parent chain, permanent IDs and merges.
#include <thread>

#include "tests/coredata/DataStackFixture.h"

namespace dstest {
namespace {

class ContextTest : public DataStackTest {
 protected:
  void SetUp() override {
    DataStackTest::SetUp();
    hookErrors();
    DataStack::setupCoreDataStackWithAutoMigratingSqliteStoreAtURL(storeURL());
  }
};

TEST_F(ContextTest, CurrentThreadContextIsTheDefaultOnMainAndCachedPerThreadUntilCleared) {
  auto main = DSManagedObjectContext::DS_defaultContext();
  EXPECT_EQ(DSManagedObjectContext::DS_contextForCurrentThread(), main);
  EXPECT_EQ(main->concurrencyType(), coredata::ConcurrencyType::MainQueue);

  DSContextPtr first, second, afterClear, otherThread;
  std::thread worker([&] {
    first = DSManagedObjectContext::DS_contextForCurrentThread();
    second = DSManagedObjectContext::DS_contextForCurrentThread();
    DSManagedObjectContext::DS_clearNonMainThreadContextsCache();
    afterClear = DSManagedObjectContext::DS_contextForCurrentThread();
    DSManagedObjectContext::DS_clearContextForCurrentThread();
  });
  worker.join();
  std::thread other([&] { otherThread = DSManagedObjectContext::DS_contextForCurrentThread(); });
  other.join();
  ASSERT_TRUE(first);
  EXPECT_EQ(first, second);
  EXPECT_NE(afterClear, first);
  EXPECT_NE(otherThread, afterClear);
  EXPECT_EQ(first->parentContext(), main);
  EXPECT_EQ(first->concurrencyType(), coredata::ConcurrencyType::PrivateQueue);
}

TEST_F(ContextTest, WorkingNamesAndParentChain) {
  auto fresh = DSManagedObjectContext::DS_contextWithoutParent();
  EXPECT_EQ(DSManagedObjectContext::DS_workingName(fresh), "Untitled Context");
  DSManagedObjectContext::DS_setWorkingName(fresh, "");
  EXPECT_EQ(DSManagedObjectContext::DS_workingName(fresh), "Untitled Context");
  DSManagedObjectContext::DS_setWorkingName(fresh, "Importer");
  EXPECT_EQ(DSManagedObjectContext::DS_workingName(fresh), "Importer");

  auto main = DSManagedObjectContext::DS_defaultContext();
  auto root = DSManagedObjectContext::DS_rootSavingContext();
  EXPECT_EQ(main->parentContext(), root);
  EXPECT_EQ(DSManagedObjectContext::DS_workingName(root), "DataStack Root Saving Context");
  EXPECT_EQ(root->mergePolicy(), coredata::MergePolicy::MergeByPropertyObjectTrump);
  const std::string chain = DSManagedObjectContext::DS_parentChain(main);
  const std::string expected = foundation::stringWithFormat(
      "\n- DataStack Default Context (%p) (*)\n- DataStack Root Saving Context (%p) \n",
      static_cast<const void*>(main.get()), static_cast<const void*>(root.get()));
  EXPECT_EQ(chain, expected);
  EXPECT_EQ(DSManagedObjectContext::DS_description(main),
            foundation::stringWithFormat("<ManagedObjectContext (%p): DataStack Default Context> on the main thread",
                                         static_cast<const void*>(main.get())));
}

// Objects get permanent IDs before the save of each kind of context completes.
TEST_F(ContextTest, InsertedObjectsHavePermanentIDsAfterTheirSave) {
  DataStack::setLoggingLevel(0x10 | 1);
  auto main = DSManagedObjectContext::DS_defaultContext();
  auto inMain = insertRecord(main, "main");
  ASSERT_TRUE(inMain->objectID()->isTemporaryID());
  DSManagedObjectContext::DS_saveToPersistentStoreAndWait(main);
  EXPECT_FALSE(inMain->objectID()->isTemporaryID());
  EXPECT_EQ(capture->count("Context 'DataStack Default Context' is about to save: obtaining permanent IDs for 1 new "
                           "inserted object(s)."),
            1);

  ManagedObjectPtr inBlock;
  DataStack::saveWithBlockAndWait([&](const DSContextPtr& context) { inBlock = insertRecord(context, "block"); });
  EXPECT_FALSE(inBlock->objectID()->isTemporaryID());

  auto root = DSManagedObjectContext::DS_rootSavingContext();
  ManagedObjectPtr inRoot;
  root->performAndWait([&] { inRoot = insertRecord(root, "root"); });
  DSManagedObjectContext::DS_saveOnlySelfAndWait(root);
  EXPECT_FALSE(inRoot->objectID()->isTemporaryID());
  EXPECT_EQ(storedTitles(DSPersistentStoreCoordinator::DS_defaultStoreCoordinator()),
            (std::vector<std::string>{"block", "main", "root"}));
  EXPECT_TRUE(capture->errors().empty());
}

TEST_F(ContextTest, OnlyTheRootsDidSaveReachesTheDefaultContext) {
  DataStack::saveWithBlockAndWait([](const DSContextPtr& context) { insertRecord(context, "r", 1); });
  auto main = DSManagedObjectContext::DS_defaultContext();
  foundation::Error error;
  auto fetched = main->fetchObjects(coredata::FetchRequest("Record"), &error);
  ASSERT_TRUE(fetched && fetched->size() == 1);
  auto record = (*fetched)[0];

  // A separate root on the same coordinator saves a change: its did-save is not merged.
  auto stranger = DSManagedObjectContext::DS_contextWithStoreCoordinator(DSPersistentStoreCoordinator::DS_defaultStoreCoordinator());
  stranger->performAndWait([&] {
    foundation::Error e;
    auto own = stranger->existingObjectWithID(record->objectID(), &e);
    own->setValueForKey(Value(9), "count");
    ASSERT_TRUE(stranger->save(&e));
  });
  foundation::pumpMainUntil([] { return false; }, 0.1);
  EXPECT_EQ(record->valueForKey("count").intValue(), 1);

  // The root's own save is merged, on the main thread.
  DataStack::saveWithBlockAndWait([&](const DSContextPtr& context) {
    foundation::Error e;
    context->existingObjectWithID(record->objectID(), &e)->setValueForKey(Value(5), "count");
  });
  EXPECT_TRUE(pumpUntil([&] { return record->valueForKey("count").intValue() == 5; }));
}

TEST_F(ContextTest, ObservingAnotherContextMergesItsSaves) {
  auto root = DSManagedObjectContext::DS_rootSavingContext();
  auto watcher = DSManagedObjectContext::DS_contextWithStoreCoordinator(DSPersistentStoreCoordinator::DS_defaultStoreCoordinator());
  DataStack::saveWithBlockAndWait([](const DSContextPtr& context) { insertRecord(context, "w", 1); });
  ManagedObjectPtr seen;
  watcher->performAndWait([&] {
    foundation::Error e;
    seen = (*watcher->fetchObjects(coredata::FetchRequest("Record"), &e))[0];
    seen->valueForKey("count");
  });
  DSManagedObjectContext::DS_observeContext(watcher, root);
  auto change = [&](long long value) {
    DataStack::saveWithBlockAndWait([&](const DSContextPtr& context) {
      foundation::Error e;
      context->existingObjectWithID(seen->objectID(), &e)->setValueForKey(Value(value), "count");
    });
  };
  change(2);
  long long count = 0;
  watcher->performAndWait([&] { count = seen->valueForKey("count").intValue(); });
  EXPECT_EQ(count, 2);
  DSManagedObjectContext::DS_stopObservingContext(watcher, root);
  change(3);
  watcher->performAndWait([&] { count = seen->valueForKey("count").intValue(); });
  EXPECT_EQ(count, 2);
}

}  // namespace
}  // namespace dstest
