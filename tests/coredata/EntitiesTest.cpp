// Creation, deletion, truncation and moving objects between contexts.
#include "tests/coredata/SeededStore.h"

namespace dstest {
namespace {

using Entities = SeededStoreTest;

// A registered subclass: its insert hook must run for objects the layer creates.
class StampedRecord : public coredata::ManagedObject {
 public:
  void awakeFromInsert() override {
    ManagedObject::awakeFromInsert();
    setPrimitiveValueForKey(Value(42), "count");
  }
};

TEST_F(Entities, CreatedInASaveBlockIsStoredWhenTheCallReturnsWithItsClassHooks) {
  coredata::ManagedObject::registerEntityClass("Record", [] { return std::make_shared<StampedRecord>(); });
  coredata::ManagedObjectPtr created;
  DataStack::saveWithBlockAndWait([&](const DSContextPtr& context) {
    created = DSManagedObject::DS_createEntity("Record", context);
    created->setValueForKey(Value("epsilon"), "title");
  });
  coredata::ManagedObject::registerEntityClass("Record", nullptr);
  ASSERT_TRUE(created);
  EXPECT_TRUE(std::dynamic_pointer_cast<StampedRecord>(created));
  auto fresh = DSManagedObjectContext::DS_contextWithStoreCoordinator(DSPersistentStoreCoordinator::DS_defaultStoreCoordinator());
  auto stored = DSManagedObject::DS_findFirstByAttribute("Record", "title", Value("epsilon"), fresh);
  ASSERT_TRUE(stored);
  EXPECT_EQ(stored->valueForKey("count").intValue(), 42);
  EXPECT_FALSE(DSManagedObject::DS_createEntity("Ghost", fresh));
}

TEST_F(Entities, InContextOfAnUnsavedObjectGivesItAPermanentID) {
  auto main = DSManagedObjectContext::DS_defaultContext();
  auto unsaved = DSManagedObject::DS_createEntity("Record", main);
  unsaved->setValueForKey(Value("zeta"), "title");
  ASSERT_TRUE(unsaved->objectID()->isTemporaryID());
  auto other = DSManagedObjectContext::DS_contextWithParent(main);
  coredata::ManagedObjectPtr moved;
  other->performAndWait([&] { moved = DSManagedObject::DS_inContext(unsaved, other); });
  ASSERT_TRUE(moved);
  EXPECT_FALSE(unsaved->objectID()->isTemporaryID());
  EXPECT_EQ(moved->managedObjectContext(), other);
  EXPECT_TRUE(coredata::sameObjectID(moved->objectID(), unsaved->objectID()));
  other->performAndWait([&] { EXPECT_EQ(moved->valueForKey("title").stringValue(), "zeta"); });

  // Changes made to the moved object are saved with its context.
  auto beta = DSManagedObject::DS_findFirstByAttribute("Record", "title", Value("beta"));
  DataStack::saveWithBlockAndWait([&](const DSContextPtr& context) {
    DSManagedObject::DS_inContext(beta, context)->setValueForKey(Value(10), "count");
  });
  EXPECT_TRUE(pumpUntil([&] { return beta->valueForKey("count").intValue() == 10; }));
  EXPECT_TRUE(capture->errors().empty());
}

TEST_F(Entities, DeletingInABlockContextRemovesTheDefaultContextsObject) {
  auto gamma = DSManagedObject::DS_findFirstByAttribute("Record", "title", Value("gamma"));
  ASSERT_TRUE(gamma);
  bool deleteResult = false;
  DataStack::saveWithBlockAndWait(
      [&](const DSContextPtr& context) { deleteResult = DSManagedObject::DS_deleteEntityInContext(gamma, context); });
  EXPECT_TRUE(deleteResult);
  EXPECT_EQ(sortedTitles(storedTitles(DSPersistentStoreCoordinator::DS_defaultStoreCoordinator())),
            (std::vector<std::string>{"alpha", "beta", "delta"}));
  // The default context hears of it through the root's merge.
  EXPECT_TRUE(pumpUntil([] { return DSManagedObject::DS_countOfEntities("Record") == 3; }));
  EXPECT_TRUE(capture->errors().empty());

  // Deleting it again finds nothing: still true, nothing deleted, the lookup error reported.
  DataStack::saveWithBlockAndWait(
      [&](const DSContextPtr& context) { deleteResult = DSManagedObject::DS_deleteEntityInContext(gamma, context); });
  EXPECT_TRUE(deleteResult);
  ASSERT_EQ(capture->errors().size(), 1u);
  EXPECT_EQ(capture->errors()[0].code(), coredata::kManagedObjectReferentialIntegrityError);
  EXPECT_EQ(storedTitles(DSPersistentStoreCoordinator::DS_defaultStoreCoordinator()).size(), 3u);
  // A vanished object cannot be brought into another context either.
  EXPECT_FALSE(DSManagedObject::DS_inContext(gamma, DSManagedObjectContext::DS_context()));
  EXPECT_EQ(capture->errors().size(), 2u);
}

TEST_F(Entities, BulkDeletionAndTruncation) {
  DataStack::saveWithBlockAndWait([](const DSContextPtr& context) {
    EXPECT_TRUE(DSManagedObject::DS_deleteAllMatchingPredicate(
        "Record", coredata::Predicate::comparison("flag", coredata::ComparisonOperator::EqualTo, Value(true)), context));
  });
  auto coordinator = DSPersistentStoreCoordinator::DS_defaultStoreCoordinator();
  EXPECT_EQ(sortedTitles(storedTitles(coordinator)), (std::vector<std::string>{"beta", "delta"}));
  DataStack::saveWithBlockAndWait(
      [](const DSContextPtr& context) { EXPECT_TRUE(DSManagedObject::DS_truncateAll("Record", context)); });
  EXPECT_TRUE(storedTitles(coordinator).empty());
  // The notes of the deleted "alpha" stay, their inverse cleared.
  auto fresh = DSManagedObjectContext::DS_contextWithStoreCoordinator(coordinator);
  EXPECT_EQ(DSManagedObject::DS_countOfEntities("Note", fresh), 2u);
  EXPECT_TRUE(capture->errors().empty());
}

}  // namespace
}  // namespace dstest
