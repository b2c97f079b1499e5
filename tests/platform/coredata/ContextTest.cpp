// Contexts: identity of objects, chain saves, fetches over unsaved changes, validation,
// notifications, merges, merge policies, observation, hooks and queues.
#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <thread>

#include "platform/dispatch/MainQueueDriver.h"
#include "tests/platform/coredata/CoreDataTestSupport.h"
#include "tests/support/TempDir.h"

using namespace cdtest;

namespace {

// A subclass as the application's records are: a computed key and lifecycle hooks.
class Record : public ManagedObject {
 public:
  static std::atomic<int> inserts, fetches;
  void awakeFromInsert() override {
    ManagedObject::awakeFromInsert();
    ++inserts;
  }
  void awakeFromFetch() override {
    ManagedObject::awakeFromFetch();
    ++fetches;
    // Like a record that gives itself an identity when it has none: must not dirty the context.
    if (valueForKey("contents").isNull()) setValueForKey(Value("filled on fetch"), "contents");
  }
  Value valueForKey(const std::string& key) const override {
    if (key == "loudTitle") {
      std::string text = ManagedObject::valueForKey("title").stringValue();
      for (auto& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
      return Value(text);
    }
    return ManagedObject::valueForKey(key);
  }
  bool hasKey(const std::string& key) const override { return key == "loudTitle" || ManagedObject::hasKey(key); }
};
std::atomic<int> Record::inserts{0};
std::atomic<int> Record::fetches{0};

// A store with items A(1), B(2), C(3) and a root context over it.
struct Fixture {
  test::TempDir dir;
  std::shared_ptr<PersistentStoreCoordinator> coordinator = sqliteCoordinator(itemModel(), dir.file("store"));
  std::shared_ptr<ManagedObjectContext> root = rootContext(coordinator);

  explicit Fixture(bool seed = true) {
    if (!seed) return;
    root->performAndWait([&] {
      insertItem(root, "A", 1);
      insertItem(root, "B", 2);
      insertItem(root, "C", 3);
      EXPECT_TRUE(root->save(nullptr));
    });
  }
  ManagedObjectPtr find(const std::shared_ptr<ManagedObjectContext>& context, const std::string& title) {
    FetchRequest request("Item");
    request.setPredicate(Predicate::comparison("title", ComparisonOperator::EqualTo, Value(title)));
    auto found = context->fetchObjects(request, nullptr);
    return found && !found->empty() ? found->front() : nullptr;
  }
};

std::vector<std::string> fetchTitles(const std::shared_ptr<ManagedObjectContext>& context, FetchRequest request) {
  request.setSortDescriptors({SortDescriptor("sortOrder")});
  auto found = context->fetchObjects(request, nullptr);
  return found ? titles(*found) : std::vector<std::string>{"<failed>"};
}

}  // namespace

TEST(ContextObjects, IDsAreTemporaryUntilSavedAndEqualAcrossContexts) {
  Fixture f(false);
  auto child = childOf(f.root);
  ObjectIDPtr temporary, permanent;
  child->performAndWait([&] {
    auto item = insertItem(child, "new");
    temporary = item->objectID();
    EXPECT_TRUE(temporary->isTemporaryID());
    ASSERT_TRUE(child->obtainPermanentIDsForObjects({item}, nullptr));
    permanent = item->objectID();
    EXPECT_FALSE(permanent->isTemporaryID());
    EXPECT_FALSE(sameObjectID(temporary, permanent));
    EXPECT_EQ(child->objectRegisteredForID(permanent), item);
    ASSERT_TRUE(child->save(nullptr));
  });
  f.root->performAndWait([&] { ASSERT_TRUE(f.root->save(nullptr)); });

  auto other = rootContext(f.coordinator);
  other->performAndWait([&] {
    auto copy = other->objectWithID(ManagedObjectID::fromURIRepresentation(permanent->uriRepresentation()));
    ASSERT_TRUE(copy);
    EXPECT_TRUE(copy->isFault());
    EXPECT_EQ(copy->valueForKey("title"), Value("new"));
    EXPECT_TRUE(sameObjectID(copy->objectID(), permanent));
    // One instance per ID per context.
    EXPECT_EQ(f.find(other, "new"), copy);
    EXPECT_EQ(other->existingObjectWithID(permanent, nullptr), copy);
    foundation::Error error;
    EXPECT_EQ(other->existingObjectWithID(ManagedObjectID::permanent("Item", permanent->storeIdentifier(), 999), &error),
              nullptr);
    EXPECT_EQ(error.code(), kManagedObjectReferentialIntegrityError);
    EXPECT_EQ(other->existingObjectWithID(temporary, &error), nullptr);
  });
}

TEST(ContextObjects, ChildSavesReachTheParentOnlyAndDeletionsTravelUp) {
  Fixture f;
  auto child = childOf(f.root);
  child->performAndWait([&] {
    f.find(child, "A")->setValueForKey(Value("A2"), "title");
    child->deleteObject(f.find(child, "B"));
    insertItem(child, "D", 4);
    ASSERT_TRUE(child->save(nullptr));
    EXPECT_FALSE(child->hasChanges());
  });
  f.root->performAndWait([&] {
    EXPECT_TRUE(f.root->hasChanges());
    EXPECT_EQ(titles(f.root->insertedObjects()), std::vector<std::string>{"D"});
    EXPECT_EQ(titles(f.root->updatedObjects()), std::vector<std::string>{"A2"});
    ASSERT_EQ(f.root->deletedObjects().size(), 1u);
    // The store is untouched until the root saves.
    auto fresh = rootContext(f.coordinator);
    fresh->performAndWait([&] { EXPECT_EQ(titles(allItems(fresh)), (std::vector<std::string>{"A", "B", "C"})); });
    ASSERT_TRUE(f.root->save(nullptr));
  });
  auto fresh = rootContext(f.coordinator);
  fresh->performAndWait([&] { EXPECT_EQ(titles(allItems(fresh)), (std::vector<std::string>{"A2", "C", "D"})); });
}

TEST(Fetch, SeesUnsavedChangesOfTheContextAndItsAncestors) {
  Fixture f;
  auto child = childOf(f.root);
  f.root->performAndWait([&] {
    insertItem(f.root, "D", 4);
    f.find(f.root, "B")->setValueForKey(Value("B2"), "title");
  });
  child->performAndWait([&] {
    child->deleteObject(f.find(child, "C"));
    insertItem(child, "E", 5);
    FetchRequest all("Item");
    EXPECT_EQ(fetchTitles(child, all), (std::vector<std::string>{"A", "B2", "D", "E"}));
    FetchRequest committedOnly("Item");
    committedOnly.setIncludesPendingChanges(false);
    EXPECT_EQ(fetchTitles(child, committedOnly), (std::vector<std::string>{"A", "B2", "C", "D"}));
    FetchRequest page("Item");
    page.setPredicate(Predicate::withFormat("sortOrder >= 2"));
    page.setFetchOffset(1);
    page.setFetchLimit(2);
    page.setFetchBatchSize(20);
    EXPECT_EQ(fetchTitles(child, page), (std::vector<std::string>{"D", "E"}));
    EXPECT_EQ(child->countForFetchRequest(page, nullptr), 2u);
    FetchRequest descending("Item");
    descending.setSortDescriptors({SortDescriptor("title", false)});
    EXPECT_EQ(titles(*child->fetchObjects(descending, nullptr)), (std::vector<std::string>{"E", "D", "B2", "A"}));
    // An object merely loaded here does not outlive its deletion in the parent.
    f.root->performAndWait([&] { f.root->deleteObject(f.find(f.root, "A")); });
    EXPECT_EQ(fetchTitles(child, all), (std::vector<std::string>{"B2", "D", "E"}));
    // Results are the context's registered instances, edited state included.
    auto e = f.find(child, "E");
    EXPECT_TRUE(e && e->isInserted());
    EXPECT_EQ(e->managedObjectContext(), child);
  });
}

TEST(Fetch, UnknownKeysAndEntitiesFailTheFetch) {
  ManagedObject::registerEntityClass("Item", [] { return std::make_shared<Record>(); });
  Fixture f;
  struct Case {
    const char* name;
    FetchRequest request;
    long code;  // 0: succeeds
  };
  FetchRequest unknownPredicate("Item"), unknownSort("Item"), computed("Item"), noEntity, unknownEntity("Nope");
  unknownPredicate.setPredicate(Predicate::withFormat("colour == \"red\""));
  unknownSort.setSortDescriptors({SortDescriptor("colour")});
  computed.setPredicate(Predicate::withFormat("loudTitle == \"B\""));
  const std::vector<Case> cases = {
      {"unknown predicate key", unknownPredicate, kKeyPathNotFoundErrorCode},
      {"unknown sort key", unknownSort, kKeyPathNotFoundErrorCode},
      {"no entity", noEntity, kCoreDataError},
      {"unknown entity", unknownEntity, kCoreDataError},
      {"computed key of the subclass", computed, 0},
  };
  f.root->performAndWait([&] {
    for (const auto& c : cases) {
      SCOPED_TRACE(c.name);
      foundation::Error error;
      auto result = f.root->executeFetchRequest(c.request, &error);
      EXPECT_EQ(result.has_value(), c.code == 0);
      if (c.code) {
        EXPECT_EQ(error.code(), c.code);
      }
    }
    EXPECT_EQ(titles(*f.root->fetchObjects(computed, nullptr)), std::vector<std::string>{"B"});
  });
  ManagedObject::registerEntityClass("Item", nullptr);
}

TEST(Fetch, ResultTypesAndGroupedAggregates) {
  Fixture f;
  f.root->performAndWait([&] {
    f.find(f.root, "A")->setValueForKey(Value(true), "isEnabled");
    f.find(f.root, "C")->setValueForKey(Value(true), "isEnabled");
    FetchRequest grouped("Item");
    grouped.setResultType(FetchRequest::ResultType::Dictionary);
    grouped.setPropertiesToFetch(
        {std::string("isEnabled"),
         ExpressionDescription("result", Expression::function("sum:", {Expression::keyPath("sortOrder")}),
                               ExpressionDescription::kInteger64)});
    grouped.setPropertiesToGroupBy({"isEnabled"});
    grouped.setSortDescriptors({SortDescriptor("sortOrder")});
    auto groups = f.root->executeFetchRequest(grouped, nullptr);
    ASSERT_TRUE(groups);
    ASSERT_EQ(groups->size(), 2u);
    EXPECT_EQ((*groups)[0]["isEnabled"], Value(true));
    EXPECT_EQ((*groups)[0]["result"], Value(4));
    EXPECT_EQ((*groups)[1]["result"], Value(2));
    // A limit cuts result rows: the total still sums every match.
    FetchRequest total("Item");
    total.setResultType(FetchRequest::ResultType::Dictionary);
    total.setPropertiesToFetch({ExpressionDescription("result", Expression::function("sum:", {Expression::keyPath("sortOrder")}),
                                                      ExpressionDescription::kInteger64)});
    total.setFetchLimit(1);
    auto sum = f.root->executeFetchRequest(total, nullptr);
    ASSERT_TRUE(sum && sum->size() == 1);
    EXPECT_EQ((*sum)[0]["result"], Value(6));

    FetchRequest ids("Item");
    ids.setResultType(FetchRequest::ResultType::ManagedObjectID);
    auto idResults = f.root->executeFetchRequest(ids, nullptr);
    ASSERT_TRUE(idResults && idResults->size() == 3);
    EXPECT_TRUE((*idResults)[0].objectAs<ManagedObjectID>());
    FetchRequest plain("Item");
    plain.setResultType(FetchRequest::ResultType::Dictionary);
    plain.setPropertiesToFetch({std::string("title")});
    plain.setReturnsDistinctResults(true);
    EXPECT_EQ(f.root->executeFetchRequest(plain, nullptr)->size(), 3u);
  });
}

TEST(Saving, FailedValidationKeepsTheChangesAndTheStore) {
  Fixture f;
  struct Case {
    const char* name;
    std::function<void(const ManagedObjectPtr&)> spoil;
    long code;
    std::size_t detailed;
  };
  const std::vector<Case> cases = {
      {"missing mandatory value", [](auto& o) { o->setValueForKey(Value(), "isEnabled"); }, 1570, 0},
      {"value of the wrong type", [](auto& o) { o->setValueForKey(Value(5), "title"); }, 1550, 0},
      {"both",
       [](auto& o) {
         o->setValueForKey(Value(), "sortOrder");
         o->setValueForKey(Value("soon"), "when");
       },
       1560, 2},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto child = childOf(f.root);
    child->performAndWait([&] {
      auto item = insertItem(child, "bad");
      c.spoil(item);
      foundation::Error error;
      EXPECT_FALSE(child->save(&error));
      EXPECT_EQ(error.code(), c.code);
      EXPECT_EQ(error.userInfo().get(kDetailedErrorsKey).arrayValue().size(), c.detailed);
      if (!c.detailed) {
        EXPECT_EQ(error.userInfo().get(kValidationObjectErrorKey).objectAs<ManagedObject>(), item);
      }
      EXPECT_TRUE(child->hasChanges());
      EXPECT_TRUE(item->isInserted());
    });
    f.root->performAndWait([&] { EXPECT_FALSE(f.root->hasChanges()); });
  }
}

TEST(Notifications, WillSaveDidSaveAndObjectsDidChange) {
  Fixture f(false);
  auto& center = foundation::NotificationCenter::defaultCenter();
  std::vector<std::string> seen;
  std::vector<foundation::Dictionary> didSave;
  std::thread::id postedOn;
  auto t1 = center.addObserver(kManagedObjectContextWillSaveNotification, f.root->notificationSender(), nullptr,
                               [&](const foundation::Notification&) { seen.push_back("will"); });
  auto t2 = center.addObserver(kManagedObjectContextDidSaveNotification, f.root->notificationSender(), nullptr,
                               [&](const foundation::Notification& n) {
                                 seen.push_back("did");
                                 didSave.push_back(n.userInfo());
                                 postedOn = std::this_thread::get_id();
                                 EXPECT_EQ(n.object(), f.root);
                               });
  auto t3 = center.addObserver(kManagedObjectContextObjectsDidChangeNotification, f.root->notificationSender(), nullptr,
                               [&](const foundation::Notification& n) {
                                 seen.push_back("changed:" + std::to_string(n.userInfo().get(kInsertedObjectsKey).arrayValue().size()));
                               });
  std::thread::id savedOn;
  ManagedObjectPtr item;
  f.root->perform([&] {
    savedOn = std::this_thread::get_id();
    item = insertItem(f.root, "x");
    f.root->processPendingChanges();
    EXPECT_TRUE(f.root->save(nullptr));
    item->setValueForKey(Value("y"), "title");
    EXPECT_TRUE(f.root->save(nullptr));
    f.root->deleteObject(item);
    EXPECT_TRUE(f.root->save(nullptr));
    EXPECT_TRUE(f.root->save(nullptr));  // nothing to save: no notifications
  });
  f.root->performAndWait([] {});
  center.removeObserver(t1);
  center.removeObserver(t2);
  center.removeObserver(t3);
  EXPECT_EQ(postedOn, savedOn);
  EXPECT_NE(savedOn, std::this_thread::get_id());
  ASSERT_EQ(didSave.size(), 3u);
  auto count = [&](std::size_t i, const char* key) { return didSave[i].get(key).arrayValue().size(); };
  EXPECT_EQ(count(0, kInsertedObjectsKey), 1u);
  EXPECT_EQ(count(1, kUpdatedObjectsKey), 1u);
  EXPECT_EQ(count(2, kDeletedObjectsKey), 1u);
  EXPECT_EQ(didSave[0].get(kInsertedObjectsKey)[0].objectAs<ManagedObject>(), item);
  EXPECT_EQ(seen.front(), "changed:1");
  EXPECT_EQ(std::count(seen.begin(), seen.end(), "will"), 3);
}

TEST(Merging, DidSaveMergeKeepsUnsavedEditsOfOtherProperties) {
  Fixture f;
  auto a = childOf(f.root);
  auto b = childOf(f.root);
  ManagedObjectPtr inB, doomedInB;
  std::vector<std::pair<Value, Value>> heard;
  b->performAndWait([&] {
    inB = f.find(b, "A");
    doomedInB = f.find(b, "C");
    inB->setValueForKey(Value("mine"), "contents");
    inB->addObserver("title", [&](ManagedObject&, const std::string&, const Value& o, const Value& n) {
      heard.emplace_back(o, n);
    });
  });
  std::optional<foundation::Notification> saved;
  auto token = foundation::NotificationCenter::defaultCenter().addObserver(
      kManagedObjectContextDidSaveNotification, a->notificationSender(), nullptr,
      [&](const foundation::Notification& n) { saved = n; });
  a->performAndWait([&] {
    auto item = f.find(a, "A");
    item->setValueForKey(Value("A-new"), "title");
    item->setValueForKey(Value("theirs"), "contents");
    a->deleteObject(f.find(a, "C"));
    ASSERT_TRUE(a->save(nullptr));
  });
  foundation::NotificationCenter::defaultCenter().removeObserver(token);
  ASSERT_TRUE(saved);
  b->performAndWait([&] {
    b->mergeChangesFromContextDidSaveNotification(*saved);
    EXPECT_EQ(inB->valueForKey("title"), Value("A-new"));
    EXPECT_EQ(inB->valueForKey("contents"), Value("mine"));
    EXPECT_TRUE(inB->isUpdated());
    EXPECT_EQ(b->objectRegisteredForID(doomedInB->objectID()), nullptr);
    EXPECT_EQ(fetchTitles(b, FetchRequest("Item")), (std::vector<std::string>{"A-new", "B"}));
  });
  ASSERT_EQ(heard.size(), 1u);
  EXPECT_EQ(heard[0].first, Value("A"));
  EXPECT_EQ(heard[0].second, Value("A-new"));
}

TEST(Merging, MergePoliciesDecideStaleSaves) {
  struct Case {
    const char* name;
    MergePolicy policy;
    const char* secondKey;
    bool saves;
    const char* storedTitle;
    const char* storedContents;
  };
  const std::vector<Case> cases = {
      {"error policy refuses a stale save", MergePolicy::Error, "contents", false, "one", nullptr},
      {"object trump keeps the store's other properties", MergePolicy::MergeByPropertyObjectTrump, "contents", true,
       "one", "two"},
      {"object trump wins on the same property", MergePolicy::MergeByPropertyObjectTrump, "title", true, "two", nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Fixture f;
    auto second = rootContext(sqliteCoordinator(itemModel(), f.dir.file("store")));
    second->setMergePolicy(c.policy);
    ManagedObjectPtr stale;
    second->performAndWait([&] { stale = f.find(second, "A"); });
    f.root->performAndWait([&] {
      f.find(f.root, "A")->setValueForKey(Value("one"), "title");
      ASSERT_TRUE(f.root->save(nullptr));
    });
    second->performAndWait([&] {
      stale->setValueForKey(Value("two"), c.secondKey);
      foundation::Error error;
      EXPECT_EQ(second->save(&error), c.saves);
      if (!c.saves) {
        EXPECT_EQ(error.code(), kManagedObjectMergeError);
        EXPECT_EQ(error.userInfo().get(kConflictListKey)[0].objectAs<ManagedObject>(), stale);
        EXPECT_TRUE(second->hasChanges());
      }
    });
    auto reader = rootContext(f.coordinator);
    reader->performAndWait([&] {
      FetchRequest first("Item");
      first.setPredicate(Predicate::withFormat("sortOrder == 1"));
      auto stored = reader->fetchObjects(first, nullptr)->front();
      EXPECT_EQ(stored->valueForKey("title"), Value(c.storedTitle));
      EXPECT_EQ(stored->valueForKey("contents"), c.storedContents ? Value(c.storedContents) : Value());
    });
  }
}

TEST(ObjectsAndHooks, ObservationFiresOnEverySetAndSubclassHooksRun) {
  ManagedObject::registerEntityClass("Item", [] { return std::make_shared<Record>(); });
  Fixture f;
  Record::inserts = 0;
  Record::fetches = 0;
  auto reader = rootContext(f.coordinator);
  reader->performAndWait([&] {
    auto items = allItems(reader);
    ASSERT_EQ(items.size(), 3u);
    EXPECT_TRUE(std::dynamic_pointer_cast<Record>(items[0]));
    EXPECT_EQ(Record::fetches, 3);
    // The hook's change shows but does not count as an unsaved change.
    EXPECT_EQ(items[0]->valueForKey("contents"), Value("filled on fetch"));
    EXPECT_FALSE(reader->hasChanges());

    int calls = 0;
    auto token = items[0]->addObserver("title", [&](ManagedObject&, const std::string& key, const Value&, const Value& n) {
      ++calls;
      EXPECT_EQ(key, "title");
      EXPECT_EQ(n, Value("same"));
    });
    items[0]->setValueForKey(Value("same"), "title");
    items[0]->setValueForKey(Value("same"), "title");
    items[0]->setValueForKey(Value(9), "sortOrder");
    items[0]->removeObserver(token);
    items[0]->setValueForKey(Value("other"), "title");
    EXPECT_EQ(calls, 2);
    EXPECT_FALSE(items[0]->setValueForKey(Value(1), "noSuchKey"));

    insertItem(reader, "new");
    EXPECT_EQ(Record::inserts, 1);
  });
  ManagedObject::registerEntityClass("Item", nullptr);
}

TEST(ObjectsAndHooks, RollbackResetAndRefresh) {
  Fixture f;
  f.root->performAndWait([&] {
    auto a = f.find(f.root, "A");
    a->setValueForKey(Value("changed"), "title");
    insertItem(f.root, "dropped");
    f.root->rollback();
    EXPECT_FALSE(f.root->hasChanges());
    EXPECT_EQ(a->valueForKey("title"), Value("A"));
    EXPECT_EQ(fetchTitles(f.root, FetchRequest("Item")), (std::vector<std::string>{"A", "B", "C"}));

    a->setValueForKey(Value("again"), "title");
    f.root->refreshObject(a, false);
    EXPECT_TRUE(a->isFault());
    EXPECT_EQ(a->valueForKey("title"), Value("A"));
    a->setValueForKey(Value("kept"), "contents");
    f.root->refreshObject(a, true);
    EXPECT_EQ(a->valueForKey("contents"), Value("kept"));

    f.root->reset();
    EXPECT_FALSE(f.root->hasChanges());
    EXPECT_TRUE(f.root->registeredObjects().empty());
    EXPECT_NE(f.find(f.root, "A"), a);
  });
}

TEST(Relationships, InversesStayInStepAndAreStored) {
  test::TempDir dir;
  const std::string path = dir.file("folders");
  auto root = rootContext(sqliteCoordinator(folderModel(), path));
  root->performAndWait([&] {
    auto folder = ManagedObject::insertNewObjectForEntityForName("Folder", root);
    auto other = ManagedObject::insertNewObjectForEntityForName("Folder", root);
    folder->setValueForKey(Value("f"), "name");
    other->setValueForKey(Value("g"), "name");
    auto e1 = ManagedObject::insertNewObjectForEntityForName("Entry", root);
    auto e2 = ManagedObject::insertNewObjectForEntityForName("Entry", root);
    auto e3 = ManagedObject::insertNewObjectForEntityForName("Entry", root);
    e1->setValueForKey(Value(std::static_pointer_cast<foundation::Object>(folder)), "folder");
    EXPECT_EQ(folder->objectsForKey("items"), std::vector<ManagedObjectPtr>{e1});
    folder->addObjectForKey(e2, "items");
    folder->addObjectForKey(e3, "items");
    EXPECT_EQ(e2->valueForKey("folder").objectAs<ManagedObject>(), folder);
    e3->setValueForKey(Value(std::static_pointer_cast<foundation::Object>(other)), "folder");
    EXPECT_EQ(folder->objectsForKey("items"), (std::vector<ManagedObjectPtr>{e1, e2}));
    EXPECT_EQ(other->objectsForKey("items"), std::vector<ManagedObjectPtr>{e3});
    EXPECT_FALSE(folder->setValueForKey(Value("not objects"), "items"));
    ASSERT_TRUE(root->save(nullptr));
    root->deleteObject(e1);
    EXPECT_EQ(folder->objectsForKey("items"), std::vector<ManagedObjectPtr>{e2});
    ASSERT_TRUE(root->save(nullptr));
  });
  auto reader = rootContext(sqliteCoordinator(folderModel(), path));
  reader->performAndWait([&] {
    FetchRequest request("Folder");
    request.setSortDescriptors({SortDescriptor("name")});
    auto folders = *reader->fetchObjects(request, nullptr);
    ASSERT_EQ(folders.size(), 2u);
    auto items = folders[0]->objectsForKey("items");
    ASSERT_EQ(items.size(), 1u);
    EXPECT_EQ(items[0]->valueForKey("folder").objectAs<ManagedObject>(), folders[0]);
    EXPECT_EQ(folders[1]->objectsForKey("items").size(), 1u);
    EXPECT_EQ(reader->countForFetchRequest(FetchRequest("Entry"), nullptr), 2u);
  });
}

TEST(Queues, PerformAndWaitIsReentrantAndMainQueueContextsRunOnTheMainThread) {
  auto coordinator = PersistentStoreCoordinator::create(itemModel());
  ASSERT_TRUE(coordinator->addPersistentStore(kInMemoryStoreType, "", "", {}, nullptr));
  auto privateContext = rootContext(coordinator);
  const auto caller = std::this_thread::get_id();
  bool inner = false;
  privateContext->performAndWait([&] {
    EXPECT_EQ(std::this_thread::get_id(), caller);
    privateContext->performAndWait([&] { inner = true; });
  });
  EXPECT_TRUE(inner);
  std::promise<std::thread::id> ranOn;
  privateContext->perform([&] { ranOn.set_value(std::this_thread::get_id()); });
  EXPECT_NE(ranOn.get_future().get(), caller);

  auto mainContext = childOf(privateContext, ConcurrencyType::MainQueue);
  bool direct = false;
  mainContext->performAndWait([&] { direct = std::this_thread::get_id() == caller; });
  EXPECT_TRUE(direct);
  std::atomic<bool> fromBackground{false}, done{false};
  std::thread worker([&] {
    mainContext->performAndWait([&] {
      fromBackground = std::this_thread::get_id() == caller;
      insertItem(mainContext, "on main");
      EXPECT_TRUE(mainContext->save(nullptr));
    });
    done = true;
  });
  while (!done) dispatch::drainMainQueue();
  worker.join();
  EXPECT_TRUE(fromBackground);
  privateContext->performAndWait([&] {
    EXPECT_TRUE(privateContext->save(nullptr));
    EXPECT_EQ(titles(allItems(privateContext)), std::vector<std::string>{"on main"});
  });
}

TEST(Queues, ConcurrentChildSavesIntoOneRootLoseNothing) {
  Fixture f(false);
  constexpr int kChildren = 4;
  constexpr int kRounds = 10;
  constexpr int kPerRound = 10;
  std::vector<std::thread> threads;
  std::atomic<int> failures{0};
  for (int c = 0; c < kChildren; ++c) {
    threads.emplace_back([&, c] {
      for (int round = 0; round < kRounds; ++round) {
        auto child = childOf(f.root);
        child->performAndWait([&] {
          for (int i = 0; i < kPerRound; ++i) insertItem(child, "c" + std::to_string(c), round);
          if (!child->save(nullptr)) ++failures;
          // Reads through the parent while others push into it.
          FetchRequest mine("Item");
          mine.setPredicate(Predicate::withFormat("title == %@", {Value("c" + std::to_string(c))}));
          auto count = child->countForFetchRequest(mine, nullptr);
          if (!count || *count < static_cast<std::size_t>((round + 1) * kPerRound)) ++failures;
        });
        if (round % 3 == 0)
          f.root->performAndWait([&] {
            if (!f.root->save(nullptr)) ++failures;
          });
      }
    });
  }
  for (auto& t : threads) t.join();
  f.root->performAndWait([&] { EXPECT_TRUE(f.root->save(nullptr)); });
  EXPECT_EQ(failures, 0);
  auto reader = rootContext(sqliteCoordinator(itemModel(), f.dir.file("store")));
  reader->performAndWait([&] {
    EXPECT_EQ(reader->countForFetchRequest(FetchRequest("Item"), nullptr),
              static_cast<std::size_t>(kChildren * kRounds * kPerRound));
  });
}

// Committed values are kept only where they differ from the current ones; what committedValues
// reports must not change for it.
TEST(ObjectsAndHooks, CommittedValuesFollowEditsSavesMergesAndRollbacks) {
  Fixture f;
  auto child = childOf(f.root);
  child->performAndWait([&] {
    auto a = f.find(child, "A");
    const auto committedTitle = [&] { return a->committedValuesForKeys({"title"}).get("title"); };
    EXPECT_EQ(committedTitle(), Value("A"));
    a->setValueForKey(Value("edited"), "title");
    a->setValueForKey(Value("edited twice"), "title");
    EXPECT_EQ(committedTitle(), Value("A"));
    EXPECT_EQ(a->committedValuesForKeys().get("sortOrder"), Value(1));
    ASSERT_TRUE(child->save(nullptr));
    EXPECT_EQ(committedTitle(), Value("edited twice"));
    a->setValueForKey(Value("dropped"), "title");
    child->rollback();
    EXPECT_EQ(a->valueForKey("title"), Value("edited twice"));
    EXPECT_EQ(committedTitle(), Value("edited twice"));
    auto fresh = insertItem(child, "new");
    EXPECT_TRUE(fresh->committedValuesForKeys().empty());
  });
  // The parent took the push as a change: its committed title is still the store's.
  f.root->performAndWait([&] {
    auto a = f.find(f.root, "edited twice");
    ASSERT_TRUE(a);
    EXPECT_TRUE(a->isUpdated());
    EXPECT_EQ(a->committedValuesForKeys({"title"}).get("title"), Value("A"));
  });
}

TEST(ObjectsAndHooks, ObserversWithoutValuesAreToldOfChangesOnly) {
  Fixture f;
  f.root->performAndWait([&] {
    auto a = f.find(f.root, "A");
    std::vector<std::string> heard;
    const auto plain = a->addObserver(
        "title",
        [&](ManagedObject&, const std::string& key, const Value& o, const Value& n) {
          heard.push_back(key + (o.isNull() && n.isNull() ? " without values" : " with values"));
        },
        false);
    const auto full = a->addObserver("title", [&](ManagedObject&, const std::string&, const Value& o, const Value& n) {
      heard.push_back(o.stringValue() + "->" + n.stringValue());
    });
    a->setValueForKey(Value("B2"), "title");
    a->removeObserver(plain);
    a->setValueForKey(Value("B3"), "title");
    a->removeObserver(full);
    a->setValueForKey(Value("B4"), "title");
    EXPECT_EQ(heard, (std::vector<std::string>{"A->B2", "title without values", "B2->B3"}));

    std::string read;
    a->readValueForKey("title", [&](const Value& value) { read = value.stringValue(); });
    EXPECT_EQ(read, "B4");
    a->readValueForKey("noSuchKey", [&](const Value& value) { read = value.isNull() ? "null" : "?"; });
    EXPECT_EQ(read, "null");
  });
}
