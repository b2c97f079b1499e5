// Models, entity version hashes, the bundle registry, object IDs and the in-memory store.
#include <gtest/gtest.h>

#include "tests/platform/coredata/CoreDataTestSupport.h"

using namespace cdtest;

TEST(Model, VersionHashesFollowTheStoredLayoutOnly) {
  auto base = [] { return itemModel(1)->entities().front(); };
  const foundation::Data reference = base()->versionHash();
  EXPECT_EQ(base()->versionHash(), reference);  // stable across separately built models
  struct Case {
    const char* name;
    std::function<void(EntityDescription&)> change;
    bool sameHash;
  };
  const std::vector<Case> cases = {
      {"default value", [](auto& e) { e.addAttribute("title", AttributeType::String, true, Value("x")); }, true},
      {"class name", [](auto& e) { e.setManagedObjectClassName("Other"); }, true},
      {"transient property", [](auto& e) { e.addAttribute("scratch", AttributeType::String)->setTransient(true); }, true},
      {"attribute type", [](auto& e) { e.addAttribute("title", AttributeType::Integer32); }, false},
      {"optionality", [](auto& e) { e.addAttribute("title", AttributeType::String, false); }, false},
      {"new attribute", [](auto& e) { e.addAttribute("extra", AttributeType::String); }, false},
      {"new relationship", [](auto& e) { e.addRelationship("owner", "Item"); }, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto entity = base();
    c.change(*entity);
    EXPECT_EQ(entity->versionHash() == reference, c.sameHash);
  }
}

TEST(Model, BundleRegistryResolvesNamesAndMerges) {
  ManagedObjectModel::removeAllBundleModels();
  EXPECT_EQ(ManagedObjectModel::mergedModelFromBundles(), nullptr);
  auto items = itemModel(1);
  auto folders = folderModel();
  ManagedObjectModel::registerBundleModel("Quillmere.momd", items);
  ManagedObjectModel::registerBundleModel("Folders.mom", folders);
  EXPECT_EQ(ManagedObjectModel::modelNamed("Quillmere.momd"), items);
  EXPECT_EQ(ManagedObjectModel::modelNamed("Quillmere"), items);
  EXPECT_EQ(ManagedObjectModel::modelNamed("Folders.momd"), folders);
  EXPECT_EQ(ManagedObjectModel::modelNamed("Missing"), nullptr);
  auto merged = ManagedObjectModel::mergedModelFromBundles();
  ASSERT_TRUE(merged);
  EXPECT_EQ(merged->entities().size(), 3u);
  auto folder = merged->entityNamed("Folder");
  ASSERT_TRUE(folder);
  EXPECT_EQ(folder->relationshipNamed("items")->inverseRelationship()->name(), "folder");
  EXPECT_EQ(merged->entityVersionHashesByName().keys(), (std::vector<std::string>{"Item", "Folder", "Entry"}));
  ManagedObjectModel::registerBundleModel("Folders.mom", nullptr);
  EXPECT_EQ(ManagedObjectModel::mergedModelFromBundles()->entities().size(), 1u);
  ManagedObjectModel::removeAllBundleModels();
}

TEST(Model, ObjectIDsRoundTripThroughTheirURI) {
  auto permanent = ManagedObjectID::permanent("Item", "0A1B", 42);
  auto temporary = ManagedObjectID::temporary("Item");
  for (const auto& id : {permanent, temporary}) {
    auto parsed = ManagedObjectID::fromURIRepresentation(id->uriRepresentation());
    ASSERT_TRUE(parsed);
    EXPECT_TRUE(parsed->isEqual(*id));
    EXPECT_EQ(parsed->isTemporaryID(), id->isTemporaryID());
  }
  EXPECT_FALSE(ManagedObjectID::temporary("Item")->isEqual(*temporary));
  for (const char* bad : {"", "x-coredata://S/Item/q1", "x-coredata://S/Item/p", "x-coredata:///Item/p1",
                          "http://S/Item/p1", "x-coredata://S/Item/p12x"})
    EXPECT_EQ(ManagedObjectID::fromURIRepresentation(bad), nullptr) << bad;
}

TEST(InMemoryStore, SavesFetchesAndRefusesUnstorableValues) {
  auto coordinator = PersistentStoreCoordinator::create(itemModel());
  foundation::Error error;
  ASSERT_TRUE(coordinator->addPersistentStore(kInMemoryStoreType, "", "", {}, &error));
  EXPECT_FALSE(coordinator->addPersistentStore("Binary", "", "", {}, &error));
  EXPECT_EQ(error.code(), kPersistentStoreInvalidTypeError);
  auto root = rootContext(coordinator);
  root->performAndWait([&] {
    auto item = insertItem(root, "kept", 1);
    ASSERT_TRUE(root->save(&error)) << error.description();
    EXPECT_FALSE(item->objectID()->isTemporaryID());
    item->setValueForKey(Value("changed"), "title");
    ASSERT_TRUE(root->save(nullptr));
    auto reader = rootContext(coordinator);
    reader->performAndWait([&] { EXPECT_EQ(titles(allItems(reader)), std::vector<std::string>{"changed"}); });
    // A container in a plain attribute cannot be stored: validation says so instead of losing it.
    auto model = itemModel();
    model->entities().front()->addAttribute("payload", AttributeType::Transformable);
    auto other = rootContext(PersistentStoreCoordinator::create(model));
    other->persistentStoreCoordinator()->addPersistentStore(kInMemoryStoreType, "", "", {}, nullptr);
    other->performAndWait([&] {
      auto odd = insertItem(other, "odd");
      odd->setValueForKey(Value(foundation::Array{Value(1)}), "payload");
      EXPECT_FALSE(other->save(&error));
      EXPECT_EQ(error.code(), kManagedObjectValidationError);
      odd->setValueForKey(Value(foundation::Data{1, 2}), "payload");
      EXPECT_TRUE(other->save(&error));
    });
  });
}
