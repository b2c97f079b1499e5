#include "telemetry/core/Internals/Storage/TLLogDBStorage.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <functional>
#include <limits>
#include <memory>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "platform/foundation/KeyedArchiver.h"
#include "platform/foundation/PropertyListSerialization.h"
#include "platform/security/Base64.h"
#include "telemetry/core/Internals/Model/TLCommonSchemaLog.h"
#include "telemetry/core/Internals/Model/TLStartServiceLog.h"
#include "telemetry/core/Internals/Util/TLUtility+File.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/TempDir.h"
#include "tests/telemetry/support/TLLogRecorder.h"
#include "tests/telemetry/support/TLModelFixtures.h"
#include "tests/telemetry/support/TLSQLiteFile.h"

namespace {

using foundation::Date;

constexpr std::uint64_t kNoLimit = std::numeric_limits<std::uint64_t>::max();

std::string databasePath() { return TLUtility::fullURLForPathComponent(kTLLogsDatabaseFilename)->path(); }

std::shared_ptr<TLStartServiceLog> makeLog(const std::string& sid, double secondsSince1970 = 1700000000.25) {
  auto log = std::make_shared<TLStartServiceLog>();
  log->setSid(sid);
  log->setTimestamp(Date::fromTimeIntervalSince1970(secondsSince1970));
  log->setDevice(test::minimalDevice());
  log->setServices(std::vector<std::string>{"Analytics"});
  return log;
}

std::shared_ptr<TLCommonSchemaLog> makeCommonSchemaLog(const std::string& sid, const std::vector<std::string>& tokens) {
  auto log = std::make_shared<TLCommonSchemaLog>();
  log->setSid(sid);
  log->setVer("3.0");
  log->setName("event");
  log->setTimestamp(Date::fromTimeIntervalSince1970(1700000000));
  for (const std::string& token : tokens) log->addTransmissionTargetToken(token);
  return log;
}

std::vector<std::string> sidsOf(const std::vector<std::shared_ptr<TLLog>>& logs) {
  std::vector<std::string> sids;
  for (const auto& log : logs) sids.push_back(log->sid().value_or("?"));
  return sids;
}

struct Loaded {
  std::vector<std::shared_ptr<TLLog>> logs;
  std::optional<std::string> batchId;
  bool more = false;
  std::vector<std::string> sids() const { return sidsOf(logs); }
};

Loaded load(TLLogDBStorage& store, const std::string& groupId, std::uint64_t limit = kNoLimit,
            const std::optional<std::vector<std::string>>& excludedKeys = std::nullopt,
            const std::optional<Date>& after = std::nullopt, const std::optional<Date>& before = std::nullopt) {
  Loaded loaded;
  bool called = false;
  loaded.more = store.loadLogsWithGroupId(groupId, limit, excludedKeys, after, before,
                                          [&](const auto& logs, const auto& batchId) {
                                            called = true;
                                            loaded.logs = logs;
                                            loaded.batchId = batchId;
                                          });
  EXPECT_TRUE(called) << "the handler runs before the load returns";
  return loaded;
}

// The sids of every stored log, in store order, without marking anything pending.
std::vector<std::string> storedSids(TLLogDBStorage& store) {
  std::vector<std::string> sids;
  for (const TLDBRow& row : store.logsWithCondition("1 ORDER BY \"id\"")) {
    sids.push_back(row[store.logColumnIndex()].objectAs<TLLog>()->sid().value_or("?"));
  }
  return sids;
}

std::string archivedText(const std::shared_ptr<TLLog>& log) {
  TLRegisterArchivableClasses();
  return security::base64EncodedString(*foundation::KeyedArchiver::archivedDataWithRootObject(log));
}

// Hands `logs` to the store as a channel unit does with logs waiting on its queue: every one is
// announced first, then they are handed over in turn. Each outcome, in order of handing over, as
// the completions reported it; a completion that never ran leaves "none".
std::vector<std::string> saveTogether(TLLogDBStorage& store, const std::vector<std::pair<std::shared_ptr<TLLog>, TLFlags>>& logs,
                                      const std::string& groupId = "Analytics") {
  std::vector<std::string> outcomes(logs.size(), "none");
  for (std::size_t i = 0; i < logs.size(); ++i) store.announceSave();
  for (std::size_t i = 0; i < logs.size(); ++i) {
    store.saveLogWhenReady(logs[i].first, groupId, logs[i].second, [&outcomes, i](bool stored) {
      EXPECT_EQ(outcomes[i], "none") << "one outcome per log";
      outcomes[i] = stored ? "stored" : "refused";
    });
  }
  return outcomes;
}

// A keyed archive whose root is an array of `count` references to one array of `count` nil
// references: a few kilobytes that name count * count values.
std::string expandingArchiveText(std::size_t count) {
  using foundation::Array;
  using foundation::Dictionary;
  using foundation::Value;
  const auto reference = [](unsigned long long index) { return Value(Dictionary{{"CF$UID", Value(index)}}); };
  const auto arrayOf = [&](unsigned long long element) {
    return Value(Dictionary{{"$class", reference(3)}, {"NS.objects", Value(Array(count, reference(element)))}});
  };
  const Value archive(Dictionary{
      {"$archiver", Value("KeyedArchiver")},
      {"$version", Value(1LL)},
      {"$top", Value(Dictionary{{"root", reference(1)}})},
      {"$objects", Value(Array{Value("$null"), arrayOf(2), arrayOf(0), Value(Dictionary{{"$classname", Value("NSArray")}})})},
  });
  const auto data = foundation::PropertyListSerialization::dataWithPropertyList(archive, foundation::PropertyListFormat::Binary);
  EXPECT_TRUE(data);
  return data ? security::base64EncodedString(*data) : std::string();
}

class TLLogDBStorageTest : public testing::Test {
 protected:
  // Tests share a process when run by hand; each starts without a file.
  void SetUp() override {
    for (const char* suffix : {"", "-journal", "-wal", "-shm"}) {
      TLUtility::deleteItemForPathComponent(std::string(kTLLogsDatabaseFilename) + suffix);
    }
  }
};

// ---- Schema and migration --------------------------------------------------------------------

TEST_F(TLLogDBStorageTest, FilesOfEveryEarlierVersionAreMigratedToTheCurrentSchema) {
  const std::string v0 = "CREATE TABLE \"logs\" (\"id\" INTEGER PRIMARY KEY AUTOINCREMENT, \"groupId\" TEXT NOT NULL, "
                         "\"log\" TEXT NOT NULL";
  const std::string v4 = v0 + ", \"targetToken\" TEXT, \"targetKey\" TEXT, \"priority\" INTEGER, \"timestamp\" INTEGER)";
  const std::string index = "; CREATE INDEX \"ix_logs_priority\" ON \"logs\" (\"priority\")";
  const std::string groupIndex =
      "; CREATE INDEX \"ix_logs_groupId_priority_id\" ON \"logs\" (\"groupId\", \"priority\" DESC, \"id\")";
  struct Case {
    std::optional<int> version;  // none: no file before
    std::string create;
    std::string priorityDefault, timestampDefault;
    bool migrates;
    bool groupIndexed;  // a version above ours is left as it is
  };
  const Case cases[] = {
      {std::nullopt, "", "NULL", "NULL", false, true},
      {0, v0 + ")", "1", "0", true, true},
      {1, v0 + ", \"targetToken\" TEXT)", "1", "0", true, true},
      {2, v0 + ", \"targetToken\" TEXT, \"targetKey\" TEXT)", "1", "0", true, true},
      {3, v0 + ", \"targetToken\" TEXT, \"targetKey\" TEXT, \"priority\" INTEGER)" + index, "NULL", "0", true, true},
      {4, v4 + index, "NULL", "NULL", true, true},
      {5, v4 + index + groupIndex, "NULL", "NULL", false, true},
      {7, v4 + index, "NULL", "NULL", false, false},
  };
  const std::string oldLog = archivedText(makeLog("old"));
  for (const Case& c : cases) {
    SCOPED_TRACE(c.version ? "version " + std::to_string(*c.version) : "no file");
    SetUp();
    if (c.version) {
      TLUtility::createDirectoryForPathComponent("");
      test::TLSQLiteFile old(databasePath());
      old.exec(c.create + "; PRAGMA user_version = " + std::to_string(*c.version));
      old.exec("INSERT INTO \"logs\" (\"groupId\", \"log\") VALUES ('Analytics', '" + oldLog + "')");
    }
    test::TLLogRecorder recorder;
    TLLogDBStorage store;

    test::TLSQLiteFile file(databasePath());
    EXPECT_EQ(file.columns("logs"), (std::vector<std::string>{
                                        "id INTEGER 0 NULL", "groupId TEXT 1 NULL", "log TEXT 1 NULL",
                                        "targetToken TEXT 0 NULL", "targetKey TEXT 0 NULL",
                                        "priority INTEGER 0 " + c.priorityDefault,
                                        "timestamp INTEGER 0 " + c.timestampDefault}));
    EXPECT_EQ(file.value("SELECT COUNT(*) FROM pragma_index_list('logs') WHERE name = 'ix_logs_priority'"), "1");
    EXPECT_EQ(file.rows("SELECT name, desc FROM pragma_index_xinfo('ix_logs_groupId_priority_id') WHERE key"),
              c.groupIndexed ? (std::vector<std::vector<std::string>>{{"groupId", "0"}, {"priority", "1"}, {"id", "0"}})
                             : std::vector<std::vector<std::string>>{});
    EXPECT_EQ(file.value("PRAGMA user_version"), "5");
    EXPECT_EQ(file.value("PRAGMA journal_mode"), "wal");
    const auto infos = recorder.messages(TLLogLevelInfo);
    const bool migrated = std::any_of(infos.begin(), infos.end(), [](const auto& m) { return m.starts_with("Migrating"); });
    EXPECT_EQ(migrated, c.migrates);
    EXPECT_TRUE(recorder.messages(TLLogLevelError).empty()) << recorder.messages(TLLogLevelError).front();
    if (c.version) {
      if (c.priorityDefault == "1") {
        EXPECT_EQ(file.rows("SELECT \"priority\", \"timestamp\" FROM \"logs\""),
                  (std::vector<std::vector<std::string>>{{"1", "0"}}));
      }
      EXPECT_EQ(load(store, "Analytics").sids(), std::vector<std::string>{"old"});
    }
  }
}

TEST_F(TLLogDBStorageTest, ABatchIsFoundThroughTheGroupIndexWithoutSortingTheGroup) {
  TLLogDBStorage store;
  test::TLSQLiteFile file(databasePath());
  std::string plan;
  for (const auto& row : file.rows("EXPLAIN QUERY PLAN SELECT * FROM \"logs\" WHERE \"groupId\" = 'Analytics' AND "
                                   "\"id\" NOT IN (1, 2) AND \"timestamp\" >= 5 ORDER BY \"priority\" DESC, \"id\" ASC "
                                   "LIMIT 51")) {
    plan += row.back() + "\n";
  }
  EXPECT_NE(plan.find("USING INDEX ix_logs_groupId_priority_id (groupId=?)"), std::string::npos) << plan;
  EXPECT_EQ(plan.find("TEMP B-TREE"), std::string::npos) << plan;
}

TEST_F(TLLogDBStorageTest, AFileThatIsNotADatabaseIsReplacedByAWorkingOne) {
  TLUtility::createFileAtPathComponent(kTLLogsDatabaseFilename, foundation::Data(10000, 'z'), false, true);
  TLLogDBStorage store;
  EXPECT_TRUE(store.saveLog(makeLog("a"), "Analytics", TLFlagsNormal));
  EXPECT_EQ(load(store, "Analytics").sids(), std::vector<std::string>{"a"});
  EXPECT_EQ(test::TLSQLiteFile(databasePath()).value("PRAGMA user_version"), "5");
}

// ---- Saving and loading ----------------------------------------------------------------------

TEST_F(TLLogDBStorageTest, LogsComeBackWholeByPriorityThenAgeAndTheLimitTellsWhetherMoreWait) {
  TLLogDBStorage store;
  const std::vector<std::pair<std::string, TLFlags>> saved = {
      {"n1", TLFlagsNormal}, {"c1", TLFlagsCritical}, {"n2", TLFlagsNormal | 0x100}, {"c2", TLFlagsCritical}};
  for (const auto& [sid, flags] : saved) ASSERT_TRUE(store.saveLog(makeLog(sid), "Analytics", flags));
  EXPECT_FALSE(store.saveLog(nullptr, "Analytics", TLFlagsNormal));
  EXPECT_EQ(test::TLSQLiteFile(databasePath()).rows("SELECT \"priority\", \"timestamp\" FROM \"logs\" WHERE \"id\" = 3"),
            (std::vector<std::vector<std::string>>{{"1", "1700000000250"}}));

  struct Case {
    std::uint64_t limit;
    std::vector<std::string> sids;
    bool more;
  };
  const Case cases[] = {{3, {"c1", "c2", "n1"}, true}, {4, {"c1", "c2", "n1", "n2"}, false}, {kNoLimit, {"c1", "c2", "n1", "n2"}, false}};
  for (const Case& c : cases) {
    TLLogDBStorage fresh;  // a new process: nothing pending
    const Loaded loaded = load(fresh, "Analytics", c.limit);
    EXPECT_EQ(loaded.sids(), c.sids) << c.limit;
    EXPECT_EQ(loaded.more, c.more) << c.limit;
  }
  const Loaded all = load(store, "Analytics");
  ASSERT_EQ(all.logs.size(), 4u);
  EXPECT_TRUE(makeLog("c1")->isEqual(*all.logs[0]));
  EXPECT_EQ(foundation::UUID::fromString(*all.batchId)->UUIDString(), *all.batchId);
}

TEST_F(TLLogDBStorageTest, LogsHandedOverTogetherAreCommittedAndReportedOnlyOnceNoneIsAnnouncedAnyMore) {
  TLLogDBStorage store;
  store.setMaximumWaitingTime(std::chrono::hours(1));  // the clock plays no part until the last case
  test::TLSQLiteFile reader(databasePath());
  const auto committed = [&] { return reader.value("SELECT COUNT(*) FROM \"logs\""); };
  std::vector<std::string> reported;
  // Whether the caller must put a commit on the queue: true for the first log held.
  const auto handOver = [&](const std::string& sid) {
    return store.saveLogWhenReady(makeLog(sid), "Analytics", TLFlagsNormal,
                                  [&reported, sid](bool stored) { reported.push_back(sid + (stored ? "" : " refused")); });
  };

  // Three announced: the first two wait for the third.
  for (int i = 0; i < 3; ++i) store.announceSave();
  EXPECT_TRUE(handOver("a"));
  EXPECT_FALSE(handOver("b"));
  EXPECT_TRUE(reported.empty());
  EXPECT_EQ(committed(), "0");
  EXPECT_FALSE(handOver("c"));
  EXPECT_EQ(reported, (std::vector<std::string>{"a", "b", "c"}));
  EXPECT_EQ(committed(), "3");

  // An announced log that never comes holds nothing past the commit the caller queued.
  reported.clear();
  store.announceSave();
  store.announceSave();
  EXPECT_TRUE(handOver("lone"));
  store.commitWaitingSaves();
  EXPECT_EQ(reported, std::vector<std::string>{"lone"});
  store.withdrawSave();
  EXPECT_EQ(committed(), "4");

  // An announced log that is not saved after all ends the wait as well.
  reported.clear();
  store.announceSave();
  store.announceSave();
  handOver("d");
  EXPECT_TRUE(reported.empty());
  store.withdrawSave();
  EXPECT_EQ(reported, std::vector<std::string>{"d"});

  // Any other operation commits the waiting logs first, and sees them.
  reported.clear();
  store.announceSave();
  store.announceSave();
  handOver("e");
  EXPECT_EQ(store.countLogs(), 6u);
  EXPECT_EQ(reported, std::vector<std::string>{"e"});
  handOver("f");
  EXPECT_EQ(reported, (std::vector<std::string>{"e", "f"}));

  // No more than kMaximumWaitingSaves wait, however many are announced.
  reported.clear();
  for (std::size_t i = 0; i < TLStorage::kMaximumWaitingSaves + 1; ++i) store.announceSave();
  for (std::size_t i = 0; i < TLStorage::kMaximumWaitingSaves; ++i) handOver("g" + std::to_string(i));
  EXPECT_EQ(reported.size(), TLStorage::kMaximumWaitingSaves);
  EXPECT_EQ(committed(), std::to_string(7 + TLStorage::kMaximumWaitingSaves));
  store.withdrawSave();
  EXPECT_EQ(storedSids(store).size(), 7 + TLStorage::kMaximumWaitingSaves);

  // Nor does a log wait beyond the longest wait after the first: with none, it does not wait.
  reported.clear();
  store.setMaximumWaitingTime(std::chrono::milliseconds(0));
  store.announceSave();
  store.announceSave();
  EXPECT_FALSE(handOver("h"));
  EXPECT_EQ(reported, std::vector<std::string>{"h"});
  store.withdrawSave();
}

TEST_F(TLLogDBStorageTest, EachLogOfAGroupKeepsItsOwnOutcome) {
  test::TLLogRecorder recorder;
  TLLogDBStorage store;
  store.setMaxStorageSize(64 * 1024, nullptr);
  const auto bulky = [](const std::string& sid) { return makeLog(sid + std::string(3000, '.')); };
  std::vector<std::pair<std::shared_ptr<TLLog>, TLFlags>> group;
  for (int i = 0; i < 4; ++i) group.emplace_back(bulky("c" + std::to_string(i)), TLFlagsCritical);
  group.emplace_back(makeLog(std::string(64 * 1024, 'x')), TLFlagsCritical);  // larger than the whole limit
  group.emplace_back(nullptr, TLFlagsNormal);
  for (int i = 0; i < 30; ++i) group.emplace_back(bulky("n" + std::to_string(i)), TLFlagsNormal);

  const std::vector<std::string> outcomes = saveTogether(store, group);

  // The critical logs fit, the two that cannot be stored are refused, and the normal ones make
  // room by evicting each other, oldest first, but never a critical log.
  std::vector<std::string> expected(4, "stored");
  expected.insert(expected.end(), {"refused", "refused"});
  expected.insert(expected.end(), 30, "stored");
  EXPECT_EQ(outcomes, expected);
  std::vector<std::string> labels;
  for (const std::string& sid : storedSids(store)) labels.push_back(sid.substr(0, sid.find('.')));
  ASSERT_GT(labels.size(), 4u);
  EXPECT_EQ(std::set<std::string>(labels.begin(), labels.end()).size(), labels.size()) << "a log is stored twice";
  EXPECT_EQ(std::vector<std::string>(labels.begin(), labels.begin() + 4), (std::vector<std::string>{"c0", "c1", "c2", "c3"}));
  std::vector<std::string> newest;
  for (int i = 30 - static_cast<int>(labels.size() - 4); i < 30; ++i) newest.push_back("n" + std::to_string(i));
  EXPECT_EQ(std::vector<std::string>(labels.begin() + 4, labels.end()), newest);
  EXPECT_EQ(test::TLSQLiteFile(databasePath()).value("PRAGMA integrity_check"), "ok");
}

TEST_F(TLLogDBStorageTest, AReaderHoldingAReadTransactionInAnotherProcessNeverMakesASaveFail) {
  TLLogDBStorage store;
  ASSERT_TRUE(store.saveLog(makeLog("first"), "Analytics", TLFlagsNormal));
  int toParent[2], toChild[2];
  ASSERT_EQ(pipe(toParent), 0);
  ASSERT_EQ(pipe(toChild), 0);
  const pid_t reader = fork();
  ASSERT_GE(reader, 0);
  if (reader == 0) {
    // The reader: a read transaction held open while the parent saves, as a tool reading the file would.
    sqlite3* db = nullptr;
    char buffer = 0;
    int code = sqlite3_open_v2(databasePath().c_str(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK ? 10 : 0;
    if (!code) code = sqlite3_exec(db, "BEGIN; SELECT COUNT(*) FROM \"logs\";", nullptr, nullptr, nullptr) != SQLITE_OK ? 11 : 0;
    (void)!write(toParent[1], "r", 1);
    (void)!read(toChild[0], &buffer, 1);
    if (!code) code = sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr) != SQLITE_OK ? 12 : 0;
    sqlite3_close(db);
    _exit(code);
  }
  char ready = 0;
  ASSERT_EQ(read(toParent[0], &ready, 1), 1);

  int failed = 0;
  for (int i = 0; i < 500; ++i) failed += store.saveLog(makeLog("one-" + std::to_string(i)), "Analytics", TLFlagsNormal) ? 0 : 1;
  std::vector<std::pair<std::shared_ptr<TLLog>, TLFlags>> burst;
  for (int i = 0; i < 500; ++i) burst.emplace_back(makeLog("burst-" + std::to_string(i)), TLFlagsNormal);
  const std::vector<std::string> outcomes = saveTogether(store, burst);

  (void)!write(toChild[1], "d", 1);
  int status = 0;
  ASSERT_EQ(waitpid(reader, &status, 0), reader);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  EXPECT_EQ(failed, 0);
  EXPECT_EQ(std::count(outcomes.begin(), outcomes.end(), "stored"), 500);
  EXPECT_EQ(test::TLSQLiteFile(databasePath()).value("SELECT COUNT(*) FROM \"logs\""), "1001");
  for (const int fd : {toParent[0], toParent[1], toChild[0], toChild[1]}) close(fd);
}

TEST_F(TLLogDBStorageTest, AFileDeletedOrReplacedWhileOpenIsMadeAgainAndOldBatchesForgotten) {
  struct Case {
    std::string name;
    std::function<void(const std::string& path)> damage;
  };
  const auto junk = std::string(16384, 'j');
  const Case cases[] = {
      {"deleted", [](const std::string& path) {
         for (const char* suffix : {"", "-wal", "-shm"}) std::filesystem::remove(path + suffix);
       }},
      {"replaced by another file", [&](const std::string& path) {
         test::writeFile(path + ".new", junk);
         std::filesystem::rename(path + ".new", path);
       }},
      {"overwritten with junk", [&](const std::string& path) {
         for (const char* suffix : {"", "-wal"}) {
           const int fd = open((path + suffix).c_str(), O_WRONLY);
           (void)!write(fd, junk.data(), junk.size());
           close(fd);
         }
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SetUp();
    TLLogDBStorage store;
    ASSERT_TRUE(store.saveLog(makeLog("old"), "Analytics", TLFlagsNormal));
    const Loaded pending = load(store, "Analytics");
    ASSERT_EQ(pending.sids(), std::vector<std::string>{"old"});

    c.damage(databasePath());
    // The first operation after the damage may find it only as it reads; the one after works.
    store.saveLog(makeLog("lost"), "Analytics", TLFlagsNormal);
    store.deleteLogsWithGroupId("Analytics");
    ASSERT_TRUE(store.saveLog(makeLog("new"), "Analytics", TLFlagsNormal));
    // The old batch named a row of the old file; in the new one that id is another log.
    store.deleteLogsWithBatchId(*pending.batchId, "Analytics");
    EXPECT_EQ(load(store, "Analytics").sids(), std::vector<std::string>{"new"});
    test::TLSQLiteFile file(databasePath());
    EXPECT_EQ(file.value("PRAGMA integrity_check"), "ok");
    EXPECT_EQ(file.value("PRAGMA user_version"), "5");
  }
}

TEST_F(TLLogDBStorageTest, DroppingTheDatabaseTakesItsLogFilesWithIt) {
  TLLogDBStorage store;
  ASSERT_TRUE(store.saveLog(makeLog("a"), "Analytics", TLFlagsNormal));
  ASSERT_TRUE(std::filesystem::exists(databasePath() + "-wal"));
  store.dropDatabase();
  for (const char* suffix : {"", "-wal", "-shm", "-journal"}) {
    EXPECT_FALSE(std::filesystem::exists(databasePath() + suffix)) << suffix;
  }
  ASSERT_TRUE(store.saveLog(makeLog("b"), "Analytics", TLFlagsNormal));
  EXPECT_EQ(storedSids(store), std::vector<std::string>{"b"});
}

TEST_F(TLLogDBStorageTest, LoadedLogsStayPendingUntilDeletedAndOnlyForThisProcess) {
  TLLogDBStorage store;
  for (const char* sid : {"a", "b", "c"}) ASSERT_TRUE(store.saveLog(makeLog(sid), "Analytics", TLFlagsNormal));

  const Loaded first = load(store, "Analytics", 2);
  const Loaded second = load(store, "Analytics", 2);
  const Loaded third = load(store, "Analytics", 2);
  EXPECT_EQ(first.sids(), (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(second.sids(), std::vector<std::string>{"c"});
  EXPECT_TRUE(third.logs.empty());
  EXPECT_FALSE(third.batchId.has_value());
  EXPECT_NE(first.batchId, second.batchId);

  EXPECT_EQ(load(*std::make_unique<TLLogDBStorage>(), "Analytics").sids(), (std::vector<std::string>{"a", "b", "c"}));

  store.deleteLogsWithBatchId(*first.batchId, "Analytics");
  store.deleteLogsWithBatchId("unknown", "Analytics");
  store.deleteLogsWithBatchId(*second.batchId, "Crashes");  // right batch, wrong group
  EXPECT_EQ(storedSids(store), std::vector<std::string>{"c"});
  EXPECT_EQ(store.countLogs(), 1u);
}

TEST_F(TLLogDBStorageTest, GroupsWhoseIdsBeginAlikeKeepTheirOwnBatches) {
  struct Case {
    std::string group, other;
    bool otherForgotten;  // the other's pending batch ends with the group's wipe
  };
  const Case cases[] = {
      {"Analytics", "Analytics_critical", false},
      {"Crashes", "CrashesBuffer", false},
      {"Analytics", "Analytics/one", true},  // the group's own companion
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.other);
    SetUp();
    TLLogDBStorage store;
    ASSERT_TRUE(store.saveLog(makeLog("mine"), c.group, TLFlagsNormal));
    ASSERT_TRUE(store.saveLog(makeLog("theirs"), c.other, TLFlagsNormal));
    const Loaded mine = load(store, c.group);
    const Loaded theirs = load(store, c.other);
    EXPECT_EQ(mine.sids(), std::vector<std::string>{"mine"});
    EXPECT_EQ(theirs.sids(), std::vector<std::string>{"theirs"});

    EXPECT_EQ(sidsOf(store.deleteLogsWithGroupId(c.group)), std::vector<std::string>{"mine"});
    EXPECT_EQ(storedSids(store), std::vector<std::string>{"theirs"});
    EXPECT_EQ(load(store, c.other).logs.size(), c.otherForgotten ? 1u : 0u);

    store.deleteLogsWithBatchId(*theirs.batchId, c.other);
    EXPECT_EQ(store.countLogs(), c.otherForgotten ? 1u : 0u);
  }
}

TEST_F(TLLogDBStorageTest, PausedTargetKeysHoldBackOnlyTheirOwnLogs) {
  TLLogDBStorage store;
  ASSERT_TRUE(store.saveLog(makeLog("plain"), "Analytics", TLFlagsNormal));
  ASSERT_TRUE(store.saveLog(makeCommonSchemaLog("keyA", {"keyA-secret"}), "Analytics", TLFlagsNormal));
  ASSERT_TRUE(store.saveLog(makeCommonSchemaLog("keyB", {"keyB-secret"}), "Analytics", TLFlagsNormal));
  ASSERT_TRUE(store.saveLog(makeCommonSchemaLog("nokey", {"-leading-hyphen"}), "Analytics", TLFlagsNormal));
  EXPECT_EQ(test::TLSQLiteFile(databasePath()).rows("SELECT \"targetKey\" FROM \"logs\" ORDER BY \"id\""),
            (std::vector<std::vector<std::string>>{{"NULL"}, {"keyA"}, {"keyB"}, {"NULL"}}));

  struct Case {
    std::optional<std::vector<std::string>> excluded;
    std::vector<std::string> sids;
  };
  const Case cases[] = {
      {std::nullopt, {"plain", "keyA", "keyB", "nokey"}},
      {std::vector<std::string>{}, {"plain", "keyA", "keyB", "nokey"}},
      {std::vector<std::string>{"keyA"}, {"plain", "keyB", "nokey"}},
      {std::vector<std::string>{"keyA", "keyB", "it's"}, {"plain", "nokey"}},
  };
  for (const Case& c : cases) {
    TLLogDBStorage fresh;
    EXPECT_EQ(load(fresh, "Analytics", kNoLimit, c.excluded).sids(), c.sids);
  }
}

TEST_F(TLLogDBStorageTest, QuotesInGroupIdsAndLogsAreStoredAsThemselves) {
  TLLogDBStorage store;
  const std::string group = "it's'); DELETE FROM \"logs\"; --";
  ASSERT_TRUE(store.saveLog(makeLog("O'Brien's title"), group, TLFlagsNormal));
  ASSERT_TRUE(store.saveLog(makeLog("other"), "Analytics", TLFlagsNormal));
  EXPECT_EQ(load(store, group).sids(), std::vector<std::string>{"O'Brien's title"});
  EXPECT_EQ(sidsOf(store.deleteLogsWithGroupId(group)), std::vector<std::string>{"O'Brien's title"});
  EXPECT_EQ(storedSids(store), std::vector<std::string>{"other"});
}

TEST_F(TLLogDBStorageTest, TargetTokensAreStoredEncryptedOnceAndRestoredOnLoad) {
  test::TLLogRecorder recorder;
  TLLogDBStorage store;
  ASSERT_TRUE(store.saveLog(makeCommonSchemaLog("two", {"keyA-first", "keyB-second"}), "Analytics", TLFlagsNormal));
  ASSERT_TRUE(store.saveLog(makeCommonSchemaLog("empty", {"keyC-third"}), "Analytics", TLFlagsNormal));
  ASSERT_TRUE(store.saveLog(makeCommonSchemaLog("garbled", {"keyD-fourth"}), "Analytics", TLFlagsNormal));

  test::TLSQLiteFile file(databasePath());
  const auto stored = file.rows("SELECT \"targetToken\", \"targetKey\" FROM \"logs\" WHERE \"id\" = 1");
  ASSERT_EQ(stored.size(), 1u);
  const std::string cipherText = stored[0][0];
  EXPECT_EQ(cipherText.find("first"), std::string::npos);
  EXPECT_EQ(cipherText.find("second"), std::string::npos);
  const std::optional<std::string> token = TLEncrypter().decryptString(cipherText);
  ASSERT_TRUE(token);
  EXPECT_EQ(stored[0][1], token->substr(0, 4));  // the key of the token kept
  file.exec("UPDATE \"logs\" SET \"targetToken\" = '' WHERE \"id\" = 2");
  file.exec("UPDATE \"logs\" SET \"targetToken\" = 'bm90IGVuY3J5cHRlZA==' WHERE \"id\" = 3");

  const Loaded loaded = load(store, "Analytics");
  ASSERT_EQ(loaded.sids(), (std::vector<std::string>{"two", "empty", "garbled"}));
  EXPECT_EQ(loaded.logs[0]->transmissionTargetTokens(), std::set<std::string>{*token});
  EXPECT_FALSE(loaded.logs[1]->transmissionTargetTokens());
  EXPECT_FALSE(loaded.logs[2]->transmissionTargetTokens());
  const auto errors = recorder.messages(TLLogLevelError);
  EXPECT_NE(std::find(errors.begin(), errors.end(), "Unexpected empty target token for log with Id 2."), errors.end());
  EXPECT_NE(std::find(errors.begin(), errors.end(), "Failed to decrypt the target token for log with Id 3."), errors.end());
}

TEST_F(TLLogDBStorageTest, ARowThatNoLongerUnarchivesIsDeletedAndTheOthersStay) {
  test::TLLogRecorder recorder;
  TLLogDBStorage store;
  ASSERT_TRUE(store.saveLog(makeLog("before"), "Analytics", TLFlagsNormal));
  {
    test::TLSQLiteFile file(databasePath());
    file.exec("INSERT INTO \"logs\" (\"groupId\", \"log\") VALUES ('Analytics', 'bm90IGFuIGFyY2hpdmU=')");
    const std::string truncated = archivedText(makeLog("cut")).substr(0, 200);
    file.exec("INSERT INTO \"logs\" (\"groupId\", \"log\") VALUES ('Analytics', '" + truncated + "')");
  }
  ASSERT_TRUE(store.saveLog(makeLog("after"), "Analytics", TLFlagsNormal));

  EXPECT_EQ(load(store, "Analytics").sids(), (std::vector<std::string>{"before", "after"}));
  EXPECT_EQ(test::TLSQLiteFile(databasePath()).value("SELECT group_concat(\"id\") FROM \"logs\""), "1,4");
  const auto errors = recorder.messages(TLLogLevelError);
  ASSERT_EQ(errors.size(), 2u);
  EXPECT_TRUE(errors[0].starts_with("Deserialization failed for log with Id 2: ")) << errors[0];
  EXPECT_TRUE(errors[1].starts_with("Deserialization failed for log with Id 3: ")) << errors[1];
}

TEST_F(TLLogDBStorageTest, ARowHoldingAnArchiveOfSomethingElseIsRefusedAtItsRootNotExpanded) {
  // 2,000 x 2,000 nil references: built as values, this row would cost millions of them before
  // anyone looked at what its root is.
  const std::string damaged = expandingArchiveText(2000);
  ASSERT_LT(damaged.size(), 16u * 1024);
  test::TLLogRecorder recorder;
  TLLogDBStorage store;
  ASSERT_TRUE(store.saveLog(makeLog("before"), "Analytics", TLFlagsNormal));
  test::TLSQLiteFile(databasePath()).exec("INSERT INTO \"logs\" (\"groupId\", \"log\") VALUES ('Analytics', '" + damaged + "')");
  ASSERT_TRUE(store.saveLog(makeLog("after"), "Analytics", TLFlagsNormal));

  EXPECT_EQ(load(store, "Analytics").sids(), (std::vector<std::string>{"before", "after"}));
  EXPECT_EQ(test::TLSQLiteFile(databasePath()).value("SELECT group_concat(\"id\") FROM \"logs\""), "1,3");
  const auto errors = recorder.messages(TLLogLevelError);
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_TRUE(errors[0].starts_with("Deserialization failed for log with Id 2: ")) << errors[0];
  EXPECT_NE(errors[0].find("A value of class NSArray was found where another class was asked for."), std::string::npos)
      << errors[0];
}

TEST_F(TLLogDBStorageTest, DatesBoundLoadsAndCountsInWholeMilliseconds) {
  TLLogDBStorage store;
  for (const auto& [sid, seconds] : std::vector<std::pair<std::string, double>>{{"1s", 1.0}, {"2s", 2.0}, {"3s", 2.9999}}) {
    ASSERT_TRUE(store.saveLog(makeLog(sid, seconds), "Analytics", TLFlagsNormal));
  }
  EXPECT_EQ(test::TLSQLiteFile(databasePath()).value("SELECT max(\"timestamp\") FROM \"logs\""), "2999");
  EXPECT_EQ(store.countLogsBeforeDate(Date::fromTimeIntervalSince1970(2.0)), 2u);
  EXPECT_EQ(store.countLogsBeforeDate(Date::fromTimeIntervalSince1970(0.5)), 0u);

  const auto at = [](double seconds) { return std::optional<Date>(Date::fromTimeIntervalSince1970(seconds)); };
  struct Case {
    std::optional<Date> after, before;
    std::vector<std::string> sids;
  };
  const Case cases[] = {
      {at(2.0), std::nullopt, {"2s", "3s"}},
      {std::nullopt, at(2.0), {"1s"}},
      {at(1.0), at(2.9999), {"1s", "2s"}},
      {at(3.0), std::nullopt, {}},
  };
  for (const Case& c : cases) {
    TLLogDBStorage fresh;
    EXPECT_EQ(load(fresh, "Analytics", kNoLimit, std::nullopt, c.after, c.before).sids(), c.sids);
  }
}

// ---- A full store ----------------------------------------------------------------------------

TEST_F(TLLogDBStorageTest, AFullStoreEvictsLowerPriorityThenOlderLogsAndDiscardsWhatCannotFit) {
  test::TLLogRecorder recorder;
  TLLogDBStorage store;
  std::optional<bool> limited;
  store.setMaxStorageSize(64 * 1024, [&](bool changed) { limited = changed; });
  ASSERT_EQ(limited, true);
  const auto bulky = [](const std::string& sid) { return makeLog(sid + std::string(3000, '.') + sid); };
  const auto label = [](const std::string& sid) { return sid.substr(0, sid.find('.')); };
  const auto labels = [&] {
    std::vector<std::string> all;
    for (const std::string& sid : storedSids(store)) all.push_back(label(sid));
    return all;
  };
  const auto sequence = [](char prefix, int from, int to) {
    std::vector<std::string> names;
    for (int i = from; i < to; ++i) names.push_back(prefix + std::to_string(i));
    return names;
  };

  Loaded earlyBatch;  // pending while eviction deletes its logs
  for (int i = 0; i < 30; ++i) {
    ASSERT_TRUE(store.saveLog(bulky("n" + std::to_string(i)), "Analytics", TLFlagsNormal)) << i;
    if (i == 1) earlyBatch = load(store, "Analytics");
  }
  ASSERT_EQ(earlyBatch.logs.size(), 2u);
  const std::vector<std::string> normals = labels();
  ASSERT_GE(normals.size(), 3u);
  ASSERT_LT(normals.size(), 30u);
  EXPECT_EQ(normals, sequence('n', 30 - static_cast<int>(normals.size()), 30)) << "the oldest went first";

  // A critical log evicts normal ones first, the oldest of them first.
  ASSERT_TRUE(store.saveLog(bulky("c0"), "Crashes", TLFlagsCritical));
  std::vector<std::string> mixed = labels();
  EXPECT_EQ(mixed.back(), "c0");
  mixed.pop_back();
  EXPECT_EQ(mixed, sequence('n', 30 - static_cast<int>(mixed.size()), 30));

  for (int i = 1; i < 30; ++i) ASSERT_TRUE(store.saveLog(bulky("c" + std::to_string(i)), "Crashes", TLFlagsCritical));
  const std::vector<std::string> criticals = labels();
  EXPECT_EQ(criticals, sequence('c', 30 - static_cast<int>(criticals.size()), 30));

  // A normal log finds only critical ones, which it may not evict.
  EXPECT_FALSE(store.saveLog(bulky("late"), "Analytics", TLFlagsNormal | 0x100));  // only the low byte counts
  EXPECT_EQ(labels(), criticals);
  const auto errors = recorder.messages(TLLogLevelError);
  ASSERT_FALSE(errors.empty());
  EXPECT_EQ(errors.back(), "Storage is full and no logs with equal or lower priority exist; discarding the log.");

  // The early batch was evicted; deleting it deletes nothing more and fails nothing.
  const std::size_t errorCount = errors.size();
  store.deleteLogsWithBatchId(*earlyBatch.batchId, "Analytics");
  EXPECT_EQ(store.countLogs(), criticals.size());
  EXPECT_EQ(recorder.messages(TLLogLevelError).size(), errorCount);
}

TEST_F(TLLogDBStorageTest, ALogLargerThanTheWholeLimitIsRefusedWithoutEvictingAnything) {
  test::TLLogRecorder recorder;
  TLLogDBStorage store;
  store.setMaxStorageSize(64 * 1024, nullptr);
  ASSERT_TRUE(store.saveLog(makeLog("small"), "Analytics", TLFlagsNormal));
  EXPECT_FALSE(store.saveLog(makeLog(std::string(64 * 1024, 'x')), "Analytics", TLFlagsCritical));
  EXPECT_EQ(store.countLogs(), 1u);
  const auto errors = recorder.messages(TLLogLevelError);
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_TRUE(errors[0].starts_with("Log is too large (")) << errors[0];
  EXPECT_TRUE(errors[0].ends_with(" bytes) to store in database. Current maximum database size is 65536 bytes."))
      << errors[0];
}

// ---- A process killed while writing ----------------------------------------------------------

std::string gProgressPath;

void progress(const std::string& line) {
  const int fd = open(gProgressPath.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
  (void)!write(fd, line.data(), line.size());
  close(fd);
}

// Saves logs and sends batches of them until it is killed, noting each step once it returned.
int saveAndSendUntilKilled() {
  TLLogDBStorage store;
  for (int i = 0;; ++i) {
    if (!store.saveLog(makeLog("s" + std::to_string(i)), "Analytics", TLFlagsNormal)) return 3;
    progress("S s" + std::to_string(i) + "\n");
    if (i % 7 != 6) continue;
    const Loaded batch = load(store, "Analytics", 4);
    std::string line = "B";
    for (const std::string& sid : batch.sids()) line += " " + sid;
    progress(line + "\n");
    store.deleteLogsWithBatchId(*batch.batchId, "Analytics");
    progress("D\n");
  }
}

// Saves bursts of logs as a channel unit hands them over from its queue, noting each log once its
// completion reported it stored, until it is killed.
int saveBurstsUntilKilled() {
  TLLogDBStorage store;
  store.setMaxStorageSize(256 << 20, nullptr);  // room for every log: none is evicted
  const int fd = open(gProgressPath.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
  for (int burst = 0, next = 0; next < 100000; ++burst) {
    const int size = 1 + (burst * 137) % 700;  // some bursts beyond kMaximumWaitingSaves
    for (int i = 0; i < size; ++i) store.announceSave();
    for (int i = 0; i < size; ++i, ++next) {
      const std::string line = "S s" + std::to_string(next) + "\n";
      store.saveLogWhenReady(makeLog("s" + std::to_string(next)), "Analytics", TLFlagsNormal, [fd, line](bool stored) {
        if (stored) (void)!write(fd, line.data(), line.size());
      });
    }
  }
  for (;;) pause();  // enough on disk: wait for the kill
}

TEST_F(TLLogDBStorageTest, AProcessKilledDuringABurstKeepsEveryLogReportedStoredOnce) {
  test::TempDir scratch;
  gProgressPath = scratch.file("progress");
  const test::ChildResult child = test::runInChild(&saveBurstsUntilKilled, 2.0);
  ASSERT_TRUE(child.timedOut) << child.describe();

  std::set<std::string> reported;
  std::istringstream lines(test::readFile(gProgressPath));
  for (std::string line; std::getline(lines, line);) {
    if (line.starts_with("S ")) reported.insert(line.substr(2));
  }
  ASSERT_GT(reported.size(), 139u) << "the child should have stored its first bursts before it was killed";

  test::TLLogRecorder recorder;
  TLLogDBStorage store;
  const std::vector<std::string> present = storedSids(store);
  const std::set<std::string> presentSet(present.begin(), present.end());
  EXPECT_EQ(presentSet.size(), present.size()) << "a log is stored twice";
  std::size_t missing = 0;
  for (const std::string& sid : reported) missing += presentSet.count(sid) ? 0 : 1;
  EXPECT_EQ(missing, 0u) << "of " << reported.size() << " reported stored";
  EXPECT_TRUE(recorder.messages(TLLogLevelError).empty());
  EXPECT_EQ(test::TLSQLiteFile(databasePath()).value("PRAGMA integrity_check"), "ok");
}

TEST_F(TLLogDBStorageTest, AProcessKilledMidBatchLosesNothingItReportedAsStored) {
  test::TempDir scratch;
  gProgressPath = scratch.file("progress");
  const test::ChildResult child = test::runInChild(&saveAndSendUntilKilled, 2.0);
  ASSERT_TRUE(child.timedOut) << child.describe();

  std::set<std::string> stored, deleted, maybeDeleted;
  std::istringstream lines(test::readFile(gProgressPath));
  for (std::string line; std::getline(lines, line);) {
    std::istringstream words(line);
    std::string kind, sid;
    words >> kind;
    if (kind == "S" && words >> sid) stored.insert(sid);
    if (kind == "B") {
      while (words >> sid) maybeDeleted.insert(sid);
    }
    if (kind == "D") deleted.merge(maybeDeleted);
  }
  ASSERT_GT(stored.size(), 5u) << "the child should have stored logs before it was killed";

  test::TLLogRecorder recorder;
  TLLogDBStorage store;
  const std::vector<std::string> present = storedSids(store);
  const std::set<std::string> presentSet(present.begin(), present.end());
  for (const std::string& sid : stored) {
    if (deleted.count(sid)) {
      EXPECT_FALSE(presentSet.count(sid)) << sid << " was deleted";
    } else if (!maybeDeleted.count(sid)) {
      EXPECT_TRUE(presentSet.count(sid)) << sid << " was reported stored";
    }
  }
  EXPECT_TRUE(recorder.messages(TLLogLevelError).empty());
  EXPECT_EQ(test::TLSQLiteFile(databasePath()).value("PRAGMA integrity_check"), "ok");
}

}  // namespace
