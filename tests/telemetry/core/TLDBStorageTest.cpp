#include "telemetry/core/Internals/Storage/TLDBStorage.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "telemetry/core/Internals/Util/TLUtility+File.h"
#include "tests/support/TempDir.h"
#include "tests/telemetry/support/TLLogRecorder.h"
#include "tests/telemetry/support/TLSQLiteFile.h"

namespace {

using foundation::Value;

std::string pathOf(const std::string& filename) { return TLUtility::fullURLForPathComponent(filename)->path(); }

const TLDBSchema kSchema = {
    {"notes", {{"id", {"INTEGER", "PRIMARY KEY", "AUTOINCREMENT"}}, {"body", {"TEXT", "NOT NULL"}}, {"size", {"INTEGER"}}}},
    {"tags", {{"name", {"TEXT"}}}},
};

// Records the hooks the configuration runs.
class RecordingStorage : public TLDBStorage {
 public:
  RecordingStorage(const std::optional<TLDBSchema>& schema, std::uint32_t version, const std::string& filename) {
    configure(schema, version, filename);
  }
  void customizeDatabase(sqlite3*) override { ++customized; }
  void migrateDatabase(sqlite3*, std::uint32_t fromVersion) override { migratedFrom.push_back(fromVersion); }

  int customized = 0;
  std::vector<std::uint32_t> migratedFrom;
};

TEST(TLDBStorageTest, ANewFileGetsTheSchemaTheVersionAndAutoVacuum) {
  RecordingStorage storage(kSchema, 3, "fresh.sqlite");
  test::TLSQLiteFile file(pathOf("fresh.sqlite"));
  EXPECT_EQ(file.columns("notes"),
            (std::vector<std::string>{"id INTEGER 0 NULL", "body TEXT 1 NULL", "size INTEGER 0 NULL"}));
  EXPECT_EQ(file.columns("tags"), std::vector<std::string>{"name TEXT 0 NULL"});
  EXPECT_EQ(file.value("PRAGMA user_version"), "3");
  EXPECT_EQ(file.value("PRAGMA auto_vacuum"), "1");
  EXPECT_EQ(storage.customized, 1);
  EXPECT_TRUE(storage.migratedFrom.empty());
  EXPECT_GT(storage.pageSize(), 0);
  EXPECT_EQ(storage.maxSizeInBytes(), 10485760);

  EXPECT_EQ(TLDBStorage::columnsQueryFromColumnsSchema(kSchema.front().second),
            "\"id\" INTEGER PRIMARY KEY AUTOINCREMENT, \"body\" TEXT NOT NULL, \"size\" INTEGER");
  const TLDBColumnsIndexes indexes = TLDBStorage::columnsIndexes(kSchema);
  EXPECT_EQ(indexes.at("notes").at("size"), 2u);
  EXPECT_EQ(indexes.at("tags").at("name"), 0u);
}

TEST(TLDBStorageTest, AnExistingFileIsMigratedOnlyFromALowerVersionAndAlwaysStampedWithTheRequestedOne) {
  struct Case {
    std::string filename;
    std::optional<int> storedVersion;  // none: no file before
    std::vector<std::uint32_t> migratedFrom;
    int customized;
  };
  const Case cases[] = {
      {"none.sqlite", std::nullopt, {}, 1},
      {"older.sqlite", 2, {2}, 0},
      {"same.sqlite", 4, {}, 0},
      {"newer.sqlite", 6, {}, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.filename);
    if (c.storedVersion) {
      TLUtility::createDirectoryForPathComponent("");
      test::TLSQLiteFile(pathOf(c.filename)).exec("CREATE TABLE \"notes\" (\"body\" TEXT); PRAGMA user_version = " +
                                                  std::to_string(*c.storedVersion));
    }
    RecordingStorage storage(kSchema, 4, c.filename);
    EXPECT_EQ(storage.migratedFrom, c.migratedFrom);
    EXPECT_EQ(storage.customized, c.customized);
    test::TLSQLiteFile file(pathOf(c.filename));
    EXPECT_EQ(file.value("PRAGMA user_version"), "4");
    EXPECT_EQ(file.value("SELECT COUNT(*) FROM sqlite_master WHERE name = 'tags'"), "1");  // missing table added
  }
}

TEST(TLDBStorageTest, AFileThatIsNotADatabaseIsDroppedAndMadeAgain) {
  test::TLLogRecorder recorder;
  TLUtility::createFileAtPathComponent("junk.sqlite", foundation::Data(8192, 'x'), false, true);
  // A stale journal beside it must not be rolled back into the new file.
  test::writeFile(pathOf("junk.sqlite") + "-journal", std::string(4096, 'j'));

  RecordingStorage storage(kSchema, 2, "junk.sqlite");

  EXPECT_EQ(storage.customized, 1);
  EXPECT_FALSE(std::filesystem::exists(pathOf("junk.sqlite") + "-journal"));
  EXPECT_EQ(storage.executeNonSelectionQuery("INSERT INTO \"tags\" (\"name\") VALUES (?)", {"a"}), SQLITE_OK);
  EXPECT_EQ(storage.countEntriesForTable("tags"), 1u);
  test::TLSQLiteFile file(pathOf("junk.sqlite"));
  EXPECT_EQ(file.value("PRAGMA user_version"), "2");
  const auto errors = recorder.messages(TLLogLevelError);
  ASSERT_FALSE(errors.empty());
  EXPECT_TRUE(errors.front().ends_with("failed with error: 26 - file is not a database")) << errors.front();
}

TEST(TLDBStorageTest, ValuesAreBoundSoQuotesAndWideIntegersComeBackIntact) {
  TLDBStorage storage(kSchema, 1, "values.sqlite");
  ASSERT_EQ(storage.executeNonSelectionQuery("INSERT INTO \"notes\" (\"body\", \"size\") VALUES (?, ?)",
                                             {"it's '); DROP TABLE notes; --", 5000000000LL}),
            SQLITE_OK);
  ASSERT_EQ(storage.executeNonSelectionQuery("INSERT INTO \"notes\" (\"body\") VALUES (?)", {"plain"}), SQLITE_OK);

  const TLDBRows rows = storage.executeSelectionQuery("SELECT * FROM \"notes\" ORDER BY \"id\"");
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0][1].stringValue(), "it's '); DROP TABLE notes; --");
  EXPECT_EQ(rows[0][2].intValue(), 5000000000LL);
  EXPECT_TRUE(rows[1][2].isNull());

  struct Case {
    std::string condition;
    TLDBArguments arguments;
    std::uint64_t count;
  };
  const Case cases[] = {
      {"", {}, 2},
      {"\"body\" = ?", {"it's '); DROP TABLE notes; --"}, 1},
      {"\"size\" > ?", {4294967296LL}, 1},
      {"\"size\" IS NULL", {}, 1},
  };
  for (const Case& c : cases) EXPECT_EQ(storage.countEntriesForTable("notes", c.condition, c.arguments), c.count) << c.condition;
}

TEST(TLDBStorageTest, TablesAreCreatedAndDroppedOnlyWhenNeededAndFailuresAreLoggedNotThrown) {
  test::TLLogRecorder recorder;
  TLDBStorage storage(kSchema, 1, "tables.sqlite");
  EXPECT_TRUE(storage.createTable("notes", {{"other", {"TEXT"}}}));  // exists: untouched
  EXPECT_TRUE(storage.createTable("pairs", {{"a", {"TEXT"}}, {"b", {"TEXT"}}}, {"a", "b"}));
  EXPECT_EQ(storage.executeNonSelectionQuery("INSERT INTO \"pairs\" VALUES (?, ?)", {"x", "y"}), SQLITE_OK);
  EXPECT_EQ(storage.executeNonSelectionQuery("INSERT INTO \"pairs\" VALUES (?, ?)", {"x", "y"}), SQLITE_CONSTRAINT);
  EXPECT_TRUE(storage.dropTable("pairs"));
  EXPECT_TRUE(storage.dropTable("pairs"));  // already gone
  EXPECT_FALSE(storage.createTable("bad", {{"a", {"NOT", "A", "TYPE", "("}}}));

  test::TLSQLiteFile file(pathOf("tables.sqlite"));
  EXPECT_EQ(file.columns("notes").size(), 3u);
  EXPECT_EQ(file.value("SELECT COUNT(*) FROM sqlite_master WHERE name IN ('pairs', 'bad')"), "0");

  EXPECT_TRUE(storage.executeSelectionQuery("SELECT nonsense FROM nowhere").empty());
  const auto errors = recorder.messages(TLLogLevelError);
  ASSERT_FALSE(errors.empty());
  EXPECT_EQ(errors.back(), "Query \"SELECT nonsense FROM nowhere\" failed with error: 1 - no such table: nowhere");
}

TEST(TLDBStorageTest, TheSizeLimitIsWholePagesNeverBelowTheDataAndAppliesToEveryOperation) {
  test::TLLogRecorder recorder;
  TLDBStorage storage(kSchema, 1, "size.sqlite");
  const std::int64_t page = storage.pageSize();
  ASSERT_GT(page, 0);

  struct Case {
    std::int64_t size;
    bool changed;
    std::int64_t maxSize;
    std::string message;
  };
  const Case cases[] = {
      {page * 8 + 1, true, page * 9,
       "Changed maximum database size to " + std::to_string(page * 9) + " bytes (next multiple of 4KiB)."},
      {page * 10, true, page * 10, "Changed maximum database size to " + std::to_string(page * 10) + " bytes."},
      {page, false, page * 10,
       "Cannot change database size to " + std::to_string(page) +
           " bytes as it would cause a loss of data. Maximum database size will not be changed."},
  };
  for (const Case& c : cases) {
    std::optional<bool> answer;
    storage.setMaxStorageSize(c.size, [&](bool changed) { answer = changed; });
    EXPECT_EQ(answer, c.changed) << c.size;
    EXPECT_EQ(storage.maxSizeInBytes(), c.maxSize) << c.size;
    const auto entries = recorder.entries();
    EXPECT_EQ(entries.back().message, c.message);
  }

  // Ten pages hold the schema and a few rows; rows of a page each soon fill them.
  const std::string body(static_cast<std::size_t>(page), 'b');
  int result = SQLITE_OK;
  for (int i = 0; i < 20 && result == SQLITE_OK; ++i) {
    result = storage.executeNonSelectionQuery("INSERT INTO \"notes\" (\"body\") VALUES (?)", {body});
  }
  EXPECT_EQ(result, SQLITE_FULL);
  test::TLSQLiteFile file(pathOf("size.sqlite"));
  EXPECT_LE(std::stoll(file.value("PRAGMA page_count")), 10);
}

TEST(TLDBStorageTest, APageSizeThatCouldNotBeReadAtConfigurationIsReadAtTheNextOpen) {
  // A folder in the file's place keeps SQLite from opening it while the store is configured.
  ASSERT_TRUE(TLUtility::createDirectoryForPathComponent("blocked.sqlite"));
  TLDBStorage storage(kSchema, 1, "blocked.sqlite");
  EXPECT_EQ(storage.pageSize(), 0);
  std::optional<bool> answer;
  storage.setMaxStorageSize(1 << 20, [&](bool changed) { answer = changed; });
  EXPECT_EQ(answer, false);  // the file cannot be opened: the caller still hears

  ASSERT_TRUE(TLUtility::deleteItemForPathComponent("blocked.sqlite"));
  EXPECT_EQ(storage.executeNonSelectionQuery("CREATE TABLE \"late\" (\"v\" TEXT)"), SQLITE_OK);
  EXPECT_GT(storage.pageSize(), 0);
  EXPECT_EQ(storage.executeNonSelectionQuery("INSERT INTO \"late\" VALUES (?)", {"v"}), SQLITE_OK);
  storage.setMaxStorageSize(1 << 20, [&](bool changed) { answer = changed; });
  EXPECT_EQ(answer, true);
}

}  // namespace
