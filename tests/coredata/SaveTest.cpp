// Save blocks, the chain save with its option bits, and failures reported through completion and hook.
#include <algorithm>
#include <atomic>

#include "platform/foundation/FileManager.h"
#include "tests/coredata/DataStackFixture.h"

namespace dstest {
namespace {

struct Outcome {
  std::atomic<bool> done{false};
  bool success = false;
  std::optional<foundation::Error> error;
  bool onMainThread = false;
};

DSSaveCompletion recordInto(const std::shared_ptr<Outcome>& outcome) {
  return [outcome](bool success, const std::optional<foundation::Error>& error) {
    outcome->success = success;
    outcome->error = error;
    outcome->onMainThread = dispatch::Queue::isMainThread();
    outcome->done = true;
  };
}

class SaveTest : public DataStackTest {
 protected:
  void SetUp() override {
    DataStackTest::SetUp();
    hookErrors();
    DataStack::setupCoreDataStackWithAutoMigratingSqliteStoreAtURL(storeURL());
  }
  DSCoordinatorPtr coordinator() const { return DSPersistentStoreCoordinator::DS_defaultStoreCoordinator(); }
};

TEST_F(SaveTest, SaveBlockCompletesOnTheMainQueueAfterTheDefaultContextMerged) {
  DataStack::saveWithBlockAndWait([](const DSContextPtr& context) { insertRecord(context, "a", 1); });
  EXPECT_EQ(storedTitles(coordinator()), std::vector<std::string>{"a"});

  // The default context has the record loaded; a save block changes it.
  auto main = DSManagedObjectContext::DS_defaultContext();
  coredata::FetchRequest request("Record");
  foundation::Error error;
  auto fetched = main->fetchObjects(request, &error);
  ASSERT_TRUE(fetched && fetched->size() == 1);
  ManagedObjectPtr record = (*fetched)[0];
  EXPECT_FALSE(record->objectID()->isTemporaryID());
  ASSERT_EQ(record->valueForKey("count").intValue(), 1);

  auto outcome = std::make_shared<Outcome>();
  long long seenAtCompletion = -1;
  const auto id = record->objectID();
  DataStack::saveWithBlock(
      [id](const DSContextPtr& context) {
        foundation::Error lookup;
        context->existingObjectWithID(id, &lookup)->setValueForKey(Value(2), "count");
      },
      [&, outcome](bool success, const std::optional<foundation::Error>& e) {
        seenAtCompletion = record->valueForKey("count").intValue();
        recordInto(outcome)(success, e);
      });
  ASSERT_TRUE(pumpUntil([&] { return outcome->done.load(); }));
  EXPECT_TRUE(outcome->success);
  EXPECT_FALSE(outcome->error);
  EXPECT_TRUE(outcome->onMainThread);
  EXPECT_EQ(seenAtCompletion, 2);
  EXPECT_FALSE(main->hasChanges());
  EXPECT_TRUE(capture->errors().empty());
}

TEST_F(SaveTest, SaveBlockWithoutChangesReportsNotSavedWithItsWorkingName) {
  DataStack::setLoggingLevel(0x10 | 1);
  auto outcome = std::make_shared<Outcome>();
  DataStack::saveWithBlock([](const DSContextPtr&) {}, recordInto(outcome));
  ASSERT_TRUE(pumpUntil([&] { return outcome->done.load(); }));
  EXPECT_FALSE(outcome->success);
  EXPECT_FALSE(outcome->error);
  EXPECT_TRUE(outcome->onMainThread);
  EXPECT_EQ(capture->count("NO CHANGES IN ** saveWithBlock:completion: ** CONTEXT - NOT SAVING"), 1);
}

// Options on a child of the root: who has saved when the call returns, and when it completes.
TEST_F(SaveTest, ChainSaveOptions) {
  struct Case {
    unsigned options;
    bool childSavedOnReturn;  // the caller waits for the child
    bool rootSavedInTheEnd;   // the change reached the store
  };
  const Case cases[] = {
      {DSSaveOptions::kNone, false, false},
      {DSSaveOptions::kSynchronously, true, false},
      {DSSaveOptions::kSynchronouslyExceptRootContext, true, false},
      {DSSaveOptions::kSynchronouslyExceptRootContext | DSSaveOptions::kParentContexts, true, true},
      {DSSaveOptions::kParentContexts, false, true},
      {DSSaveOptions::kParentContexts | DSSaveOptions::kSynchronously, true, true},
  };
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.options);
    auto root = DSManagedObjectContext::DS_rootSavingContext();
    auto child = DSManagedObjectContext::DS_context();
    const std::string title = "case" + std::to_string(n++);
    child->performAndWait([&] { insertRecord(child, title); });
    auto outcome = std::make_shared<Outcome>();
    DSManagedObjectContext::DS_saveWithOptions(child, c.options, recordInto(outcome));
    if (c.childSavedOnReturn) {
      EXPECT_FALSE(child->hasChanges());
    }
    EXPECT_FALSE(outcome->done) << "completions never run before the main queue is drained";
    ASSERT_TRUE(pumpUntil([&] { return outcome->done.load(); }));
    EXPECT_TRUE(outcome->success);
    EXPECT_TRUE(outcome->onMainThread);
    const auto stored = storedTitles(coordinator());
    EXPECT_EQ(std::find(stored.begin(), stored.end(), title) != stored.end(), c.rootSavedInTheEnd);
    bool rootPending = false;
    root->performAndWait([&] { rootPending = root->hasChanges(); });
    EXPECT_EQ(rootPending, !c.rootSavedInTheEnd);
    // Start the next case from a clean root.
    DSManagedObjectContext::DS_saveToPersistentStoreAndWait(root);
  }
}

TEST_F(SaveTest, RootSaveWithoutAStoreFailsAndKeepsTheChanges) {
  cleanUpKeepingModel();
  hookErrors();
  // The store's folder cannot be made: a file stands where it should be.
  ASSERT_TRUE(test::writeFile(dir.file("blocker"), "x"));
  DataStack::setupCoreDataStackWithStoreAtURL(StoreURL::fileURLWithPath(dir.file("blocker/store.sqlite")));
  ASSERT_TRUE(DSManagedObjectContext::DS_rootSavingContext());
  ASSERT_TRUE(coordinator()->persistentStores().empty());
  const auto reportedAtSetUp = capture->errors().size();
  EXPECT_GE(reportedAtSetUp, 1u);

  auto outcome = std::make_shared<Outcome>();
  DataStack::saveWithBlock([](const DSContextPtr& context) { insertRecord(context, "lost?"); }, recordInto(outcome));
  ASSERT_TRUE(pumpUntil([&] { return outcome->done.load(); }));
  EXPECT_FALSE(outcome->success);
  ASSERT_TRUE(outcome->error);
  EXPECT_EQ(outcome->error->code(), coredata::kCoreDataError);
  const auto errors = capture->errors();
  ASSERT_GT(errors.size(), reportedAtSetUp);
  EXPECT_EQ(errors.back(), *outcome->error);
  auto root = DSManagedObjectContext::DS_rootSavingContext();
  bool rootPending = false;
  root->performAndWait([&] { rootPending = root->hasChanges(); });
  EXPECT_TRUE(rootPending);
}

TEST_F(SaveTest, ValidationFailureReachesCompletionAndHookAndSavesNothing) {
  cleanUpKeepingModel();  // the default handler, logging
  DataStack::setupCoreDataStackWithAutoMigratingSqliteStoreAtURL(storeURL());
  auto outcome = std::make_shared<Outcome>();
  DataStack::saveWithBlock(
      [](const DSContextPtr& context) {
        insertRecord(context, "fine");
        coredata::ManagedObject::insertNewObjectForEntityForName("Record", context);  // no title
      },
      recordInto(outcome));
  ASSERT_TRUE(pumpUntil([&] { return outcome->done.load(); }));
  EXPECT_FALSE(outcome->success);
  ASSERT_TRUE(outcome->error);
  EXPECT_EQ(outcome->error->code(), coredata::kValidationMissingMandatoryPropertyError);
  EXPECT_TRUE(storedTitles(coordinator()).empty());
  EXPECT_EQ(capture->count("Error Domain: NSCocoaErrorDomain"), 1);
  EXPECT_EQ(capture->count("Error Message: "), 1);

  // Several failures at once: each detailed error is logged with its own user info.
  auto several = std::make_shared<Outcome>();
  DataStack::saveWithBlock(
      [](const DSContextPtr& context) {
        coredata::ManagedObject::insertNewObjectForEntityForName("Record", context);
        coredata::ManagedObject::insertNewObjectForEntityForName("Record", context);
      },
      recordInto(several));
  ASSERT_TRUE(pumpUntil([&] { return several->done.load(); }));
  ASSERT_TRUE(several->error);
  EXPECT_EQ(several->error->code(), coredata::kValidationMultipleErrorsError);
  EXPECT_EQ(capture->count("Error Details: "), 2);
  EXPECT_EQ(capture->count("Error Domain: NSCocoaErrorDomain"), 2);
}

TEST_F(SaveTest, OlderAdaptersCallTheRightCallback) {
  // A success without a completion calls the handler with no error.
  std::atomic<int> handlerCalls{0};
  bool handlerSawError = true;
  auto child = DSManagedObjectContext::DS_context();
  child->performAndWait([&] { insertRecord(child, "x"); });
  DSManagedObjectContext::DS_saveInBackgroundErrorHandler(
      child,
      [&](const std::optional<foundation::Error>& e) {
        handlerSawError = e.has_value();
        ++handlerCalls;
      },
      {});
  ASSERT_TRUE(pumpUntil([&] { return handlerCalls.load() == 1; }));
  EXPECT_FALSE(handlerSawError);

  // saveInBackgroundWithBlock:completion: completes on the block context's queue after the store write.
  std::atomic<bool> done{false};
  bool onMain = true;
  DataStack::saveInBackgroundWithBlock([](const DSContextPtr& context) { insertRecord(context, "bg"); },
                                       [&] {
                                         onMain = dispatch::Queue::isMainThread();
                                         done = true;
                                       });
  ASSERT_TRUE(pumpUntil([&] { return done.load(); }));
  EXPECT_FALSE(onMain);
  // "x" was saved into the root only; the block's save to the store takes it along.
  EXPECT_EQ(storedTitles(coordinator()), (std::vector<std::string>{"bg", "x"}));
}

TEST_F(SaveTest, CurrentThreadSaveOnTheMainThreadUsesTheDefaultContext) {
  auto outcome = std::make_shared<Outcome>();
  DataStack::saveUsingCurrentThreadContextWithBlock([](const DSContextPtr& context) { insertRecord(context, "m"); },
                                                    recordInto(outcome));
  ASSERT_TRUE(pumpUntil([&] { return outcome->done.load(); }));
  EXPECT_TRUE(outcome->success);
  EXPECT_EQ(DSManagedObjectContext::DS_workingName(DSManagedObjectContext::DS_defaultContext()),
            "saveUsingCurrentThreadContextWithBlock:completion:");
  EXPECT_EQ(storedTitles(coordinator()), std::vector<std::string>{"m"});
}

}  // namespace
}  // namespace dstest
