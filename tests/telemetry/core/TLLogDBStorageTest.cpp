#include "telemetry/core/Internals/Storage/TLLogDBStorage.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <limits>
#include <memory>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "platform/foundation/KeyedArchiver.h"
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
