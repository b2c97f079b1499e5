// The SQLite store through the coordinator: durability across processes, journal modes, damaged
// files, migration and failed saves.
#include <gtest/gtest.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>

#include "tests/platform/coredata/CoreDataTestSupport.h"
#include "tests/support/TempDir.h"

using namespace cdtest;

namespace {

std::size_t countItems(const std::string& path, std::shared_ptr<ManagedObjectModel> model = itemModel(),
                       const std::string& predicateFormat = "") {
  auto coordinator = sqliteCoordinator(std::move(model), path);
  if (!coordinator) return static_cast<std::size_t>(-1);
  auto context = rootContext(coordinator);
  FetchRequest request("Item");
  if (!predicateFormat.empty()) request.setPredicate(Predicate::withFormat(predicateFormat));
  std::optional<std::size_t> count;
  context->performAndWait([&] { count = context->countForFetchRequest(request, nullptr); });
  return count.value_or(static_cast<std::size_t>(-1));
}

// Runs `body` in a forked process and returns its exit status (-1 when it did not exit normally).
// The child uses contexts directly from its only thread.
int inChildProcess(const std::function<int()>& body) {
  pid_t pid = fork();
  if (pid == 0) _exit(body());
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool execSQL(const std::string& path, const std::string& sql) {
  sqlite3* db = nullptr;
  if (sqlite3_open(path.c_str(), &db) != SQLITE_OK) return false;
  bool ok = sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr) == SQLITE_OK;
  sqlite3_close(db);
  return ok;
}

}  // namespace

TEST(SQLiteStore, ChildToRootChainReachesTheStoreAndSurvivesInAnotherProcess) {
  test::TempDir dir;
  const std::string path = dir.file("Quillmere2");
  {
    auto root = rootContext(sqliteCoordinator(itemModel(), path));
    auto child = childOf(root);
    child->performAndWait([&] {
      auto item = insertItem(child, "home", 3);
      item->setValueForKey(Value(true), "isEnabled");
      item->setValueForKey(Value(2.5), "score");
      item->setValueForKey(Value(foundation::Date::fromTimeIntervalSince1970(1000.25)), "when");
      item->setValueForKey(Value(foundation::Data{0, 1, 255}), "blob");
      ASSERT_TRUE(child->save(nullptr));
    });
    // Only the parent has it so far: the file is still empty.
    EXPECT_EQ(countItems(path), 0u);
    root->performAndWait([&] { ASSERT_TRUE(root->save(nullptr)); });
  }
  int status = inChildProcess([&] {
    auto context = rootContext(sqliteCoordinator(itemModel(), path));
    auto items = allItems(context);
    if (items.size() != 1) return 1;
    const auto& item = items.front();
    bool same = item->valueForKey("title") == Value("home") && item->valueForKey("sortOrder") == Value(3) &&
                item->valueForKey("isEnabled").isBool() && item->valueForKey("isEnabled").boolValue() &&
                item->valueForKey("score") == Value(2.5) &&
                item->valueForKey("when").dateValue().timeIntervalSince1970() == 1000.25 &&
                item->valueForKey("blob") == Value(foundation::Data{0, 1, 255}) &&
                item->valueForKey("contents").isNull() && !item->objectID()->isTemporaryID();
    return same ? 0 : 2;
  });
  EXPECT_EQ(status, 0);
}

TEST(SQLiteStore, JournalModeComesFromThePragmaOptions) {
  test::TempDir dir;
  auto wal = sqliteCoordinator(itemModel(), dir.file("wal.sqlite"), walOptions());
  auto plain = sqliteCoordinator(itemModel(), dir.file("plain.sqlite"), {});
  ASSERT_TRUE(wal && plain);
  EXPECT_TRUE(std::filesystem::exists(dir.file("wal.sqlite-wal")));
  EXPECT_TRUE(std::filesystem::exists(dir.file("wal.sqlite-shm")));
  EXPECT_FALSE(std::filesystem::exists(dir.file("plain.sqlite-wal")));
  foundation::Error error;
  foundation::Dictionary bad{{kSQLitePragmasOption, Value(foundation::Dictionary{{"journal_mode", Value("WAL; DROP TABLE x")}})}};
  EXPECT_EQ(sqliteCoordinator(itemModel(), dir.file("bad.sqlite"), bad, &error), nullptr);
  EXPECT_EQ(error.code(), kPersistentStoreOpenError);
}

TEST(SQLiteStore, StoreMetadataHoldsTheModelHashesAndUUID) {
  test::TempDir dir;
  auto coordinator = sqliteCoordinator(itemModel(), dir.file("s"));
  ASSERT_TRUE(coordinator);
  auto store = coordinator->persistentStores().front();
  auto metadata = PersistentStoreCoordinator::metadataForPersistentStoreAtPath(dir.file("s"), nullptr);
  ASSERT_TRUE(metadata);
  EXPECT_EQ(metadata->get(kStoreUUIDKey), Value(store->identifier()));
  EXPECT_EQ(store->identifier().size(), 36u);
  EXPECT_TRUE(itemModel()->isConfigurationCompatibleWithStoreMetadata("", *metadata));
  EXPECT_FALSE(itemModel(2)->isConfigurationCompatibleWithStoreMetadata("", *metadata));
  // A second coordinator on the same file sees the same store identity, so IDs are equal.
  auto again = sqliteCoordinator(itemModel(), dir.file("s"));
  EXPECT_EQ(again->persistentStores().front()->identifier(), store->identifier());
}

TEST(SQLiteStore, AFileThatIsNotAStoreIsReportedAndLeftAlone) {
  test::TempDir dir;
  struct Case {
    const char* name;
    std::function<void(const std::string&)> make;
  };
  const std::vector<Case> cases = {
      {"garbage", [](const std::string& p) { test::writeFile(p, std::string(4096, 'x')); }},
      {"foreign database", [](const std::string& p) { execSQL(p, "CREATE TABLE notes (body TEXT)"); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = dir.file(c.name);
    c.make(path);
    std::string before = test::readFile(path);
    foundation::Error error;
    EXPECT_EQ(sqliteCoordinator(itemModel(), path, migrationOptions(), &error), nullptr);
    EXPECT_EQ(error.domain(), foundation::kCocoaErrorDomain);
    EXPECT_EQ(error.code(), kFileReadCorruptFileError);
    EXPECT_TRUE(test::readFile(path) == before) << "the file was changed";
  }
}

TEST(SQLiteStore, LightweightMigrationAddsAndDropsAttributesAndEntities) {
  test::TempDir dir;
  const std::string path = dir.file("store");
  {
    auto root = rootContext(sqliteCoordinator(itemModel(1), path));
    root->performAndWait([&] {
      auto item = insertItem(root, "kept", 4);
      item->setValueForKey(Value("old"), "legacy");
      ASSERT_TRUE(root->save(nullptr));
    });
  }
  foundation::Error error;
  auto coordinator = sqliteCoordinator(itemModel(2), path, migrationOptions(), &error);
  ASSERT_TRUE(coordinator) << error.description();
  auto root = rootContext(coordinator);
  root->performAndWait([&] {
    auto items = allItems(root);
    ASSERT_EQ(items.size(), 1u);
    EXPECT_EQ(items[0]->valueForKey("title"), Value("kept"));
    EXPECT_EQ(items[0]->valueForKey("sortOrder"), Value(4));
    EXPECT_TRUE(items[0]->valueForKey("note").isNull());
    EXPECT_EQ(items[0]->valueForKey("rank"), Value(7));  // the default fills existing rows
    EXPECT_FALSE(items[0]->hasKey("legacy"));
    auto tag = ManagedObject::insertNewObjectForEntityForName("Tag", root);
    tag->setValueForKey(Value("new entity"), "name");
    items[0]->setValueForKey(Value("fresh"), "note");
    EXPECT_TRUE(root->save(&error)) << error.description();
  });
  auto metadata = PersistentStoreCoordinator::metadataForPersistentStoreAtPath(path, nullptr);
  ASSERT_TRUE(metadata);
  EXPECT_TRUE(itemModel(2)->isConfigurationCompatibleWithStoreMetadata("", *metadata));
  EXPECT_EQ(countItems(path, itemModel(2), "note == \"fresh\""), 1u);
}

TEST(SQLiteStore, IncompatibleModelsFailWithThePlatformCodesAndKeepTheStore) {
  auto typeChanged = [] {
    auto model = itemModel(1);
    auto item = std::const_pointer_cast<EntityDescription>(model->entities().front());
    item->addAttribute("sortOrder", AttributeType::String);
    return model;
  };
  auto mandatoryAdded = [] {
    auto model = itemModel(1);
    model->entities().front()->addAttribute("required", AttributeType::String, false);
    return model;
  };
  foundation::Dictionary autoOnly{{kMigratePersistentStoresAutomaticallyOption, Value(true)}};
  struct Case {
    const char* name;
    std::function<std::shared_ptr<ManagedObjectModel>()> model;
    foundation::Dictionary options;
    long code;
  };
  const std::vector<Case> cases = {
      {"added attribute, no migration options", [] { return itemModel(2); }, walOptions(), 134100},
      {"type change, no migration options", typeChanged, walOptions(), 134100},
      {"type change with migration", typeChanged, migrationOptions(), 134110},
      {"new mandatory attribute without default", mandatoryAdded, migrationOptions(), 134110},
      {"automatic migration without inference", [] { return itemModel(2); }, autoOnly, 134140},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    test::TempDir dir;
    const std::string path = dir.file("store");
    {
      auto root = rootContext(sqliteCoordinator(itemModel(1), path));
      root->performAndWait([&] {
        insertItem(root, "survivor");
        ASSERT_TRUE(root->save(nullptr));
      });
    }
    foundation::Error error;
    EXPECT_EQ(sqliteCoordinator(c.model(), path, c.options, &error), nullptr);
    EXPECT_EQ(error.domain(), foundation::kCocoaErrorDomain);
    EXPECT_EQ(error.code(), c.code);
    // The failed attempt changed nothing: the old model still opens the store with its data.
    EXPECT_EQ(countItems(path, itemModel(1)), 1u);
  }
}

TEST(SQLiteStore, MigrationWithoutAStoredSourceModelFails) {
  test::TempDir dir;
  const std::string path = dir.file("store");
  ASSERT_TRUE(sqliteCoordinator(itemModel(1), path));
  ASSERT_TRUE(execSQL(path, "DROP TABLE Z_SCHEMA"));
  foundation::Error error;
  EXPECT_EQ(sqliteCoordinator(itemModel(2), path, migrationOptions(), &error), nullptr);
  EXPECT_EQ(error.code(), kMigrationMissingSourceModelError);
}

TEST(SQLiteStore, RootSaveWithoutAStoreFailsAndKeepsTheChanges) {
  auto coordinator = PersistentStoreCoordinator::create(itemModel());
  auto root = rootContext(coordinator);
  test::TempDir dir;
  foundation::Error openError;
  EXPECT_FALSE(coordinator->addPersistentStore(kSQLiteStoreType, "", dir.file("missing/folder/store"), {}, &openError));
  EXPECT_EQ(openError.code(), kPersistentStoreOpenError);
  EXPECT_TRUE(coordinator->persistentStores().empty());
  root->performAndWait([&] {
    insertItem(root, "pending");
    foundation::Error error;
    EXPECT_FALSE(root->save(&error));
    EXPECT_EQ(error.code(), kCoreDataError);
    EXPECT_TRUE(root->hasChanges());
    // Once a store is there, the same changes save.
    ASSERT_TRUE(coordinator->addPersistentStore(kSQLiteStoreType, "", dir.file("late"), {}, nullptr));
    EXPECT_TRUE(root->save(&error)) << error.description();
    EXPECT_FALSE(root->hasChanges());
  });
  EXPECT_EQ(countItems(dir.file("late")), 1u);
  auto orphan = ManagedObjectContext::create(ConcurrencyType::PrivateQueue);
  orphan->performAndWait([&] {
    foundation::Error error;
    EXPECT_FALSE(orphan->executeFetchRequest(FetchRequest("Item"), &error));
    EXPECT_EQ(error.code(), kCoreDataError);
  });
}

TEST(SQLiteStore, ADiskErrorFailsTheSaveAndLeavesTheStoreAsItWas) {
  test::TempDir dir;
  const std::string path = dir.file("store");
  int status = inChildProcess([&] {
    auto root = rootContext(sqliteCoordinator(itemModel(), path, {}));
    for (int i = 0; i < 5; ++i) insertItem(root, "first " + std::to_string(i));
    if (!root->save(nullptr)) return 1;
    // The file may not grow any more: the next save's writes fail as on a full disk.
    signal(SIGXFSZ, SIG_IGN);
    rlimit limit{static_cast<rlim_t>(std::filesystem::file_size(path)), RLIM_INFINITY};
    setrlimit(RLIMIT_FSIZE, &limit);
    for (int i = 0; i < 2000; ++i) insertItem(root, std::string(200, 'x') + std::to_string(i));
    foundation::Error error;
    if (root->save(&error)) return 2;
    if (error.code() != kPersistentStoreSaveError || !error.underlyingError()) return 3;
    return root->hasChanges() ? 0 : 4;
  });
  EXPECT_EQ(status, 0);
  EXPECT_EQ(countItems(path), 5u);
}

TEST(SQLiteStore, AProcessKilledMidSaveLosesNothingCommittedEarlier) {
  test::TempDir dir;
  const std::string path = dir.file("store");
  constexpr int kCommitted = 50;
  constexpr int kBatch = 3000;
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  pid_t pid = fork();
  if (pid == 0) {
    close(ready[0]);
    auto root = rootContext(sqliteCoordinator(itemModel(), path));
    for (int i = 0; i < kCommitted; ++i) insertItem(root, "committed", i);
    if (!root->save(nullptr)) _exit(1);
    char byte = 1;
    if (write(ready[1], &byte, 1) != 1) _exit(2);
    // Large rows make each save mostly file writing, so the kill most likely lands inside one.
    const Value bulk(std::string(2000, 'h'));
    for (int round = 0;; ++round) {
      for (int i = 0; i < kBatch; ++i) insertItem(root, "batch", round)->setValueForKey(bulk, "contents");
      if (!root->save(nullptr)) _exit(3);
    }
  }
  close(ready[1]);
  char byte = 0;
  if (read(ready[0], &byte, 1) != 1) {
    int early = 0;
    waitpid(pid, &early, 0);
    FAIL() << "the writer stopped before its first save, status " << early;
  }
  close(ready[0]);
  usleep(300 * 1000);  // let it get into the middle of a later save
  kill(pid, SIGKILL);
  int status = 0;
  waitpid(pid, &status, 0);
  ASSERT_TRUE(WIFSIGNALED(status));

  EXPECT_EQ(countItems(path, itemModel(), "title == \"committed\""), static_cast<std::size_t>(kCommitted));
  // Later saves are all there or not at all.
  std::size_t batches = countItems(path, itemModel(), "title == \"batch\"");
  EXPECT_EQ(batches % kBatch, 0u) << batches;
  // The store still takes saves after the crash.
  auto root = rootContext(sqliteCoordinator(itemModel(), path));
  root->performAndWait([&] {
    insertItem(root, "after");
    EXPECT_TRUE(root->save(nullptr));
  });
}

TEST(SQLiteStore, MigrationAddsAndDropsRelationships) {
  test::TempDir dir;
  const std::string path = dir.file("folders");
  auto plain = [] {
    auto model = ManagedObjectModel::create();
    auto folder = EntityDescription::create("Folder");
    folder->addAttribute("name", AttributeType::String);
    auto entry = EntityDescription::create("Entry");
    entry->addAttribute("name", AttributeType::String);
    model->addEntity(folder);
    model->addEntity(entry);
    return model;
  };
  auto seed = [&](std::shared_ptr<ManagedObjectModel> model) {
    auto root = rootContext(sqliteCoordinator(std::move(model), path, migrationOptions()));
    root->performAndWait([&] {
      auto folder = ManagedObject::insertNewObjectForEntityForName("Folder", root);
      folder->setValueForKey(Value("f"), "name");
      auto entry = ManagedObject::insertNewObjectForEntityForName("Entry", root);
      entry->setValueForKey(Value("e"), "name");
      if (entry->hasKey("folder")) entry->setValueForKey(Value(std::static_pointer_cast<foundation::Object>(folder)), "folder");
      EXPECT_TRUE(root->save(nullptr));
    });
  };
  seed(plain());
  seed(folderModel());  // migrates: a foreign-key column and a join table appear
  auto root = rootContext(sqliteCoordinator(folderModel(), path));
  root->performAndWait([&] {
    FetchRequest linked("Entry");
    linked.setPredicate(Predicate::withFormat("folder != nil"));
    EXPECT_EQ(root->countForFetchRequest(linked, nullptr), 1u);
    EXPECT_EQ(root->countForFetchRequest(FetchRequest("Entry"), nullptr), 2u);
  });
  root.reset();
  seed(plain());  // and back: both go again, the rows stay
  auto back = rootContext(sqliteCoordinator(plain(), path));
  back->performAndWait([&] { EXPECT_EQ(back->countForFetchRequest(FetchRequest("Entry"), nullptr), 3u); });
}
