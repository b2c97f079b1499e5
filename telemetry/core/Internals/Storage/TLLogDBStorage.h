#pragma once
// TLLogDBStorage is the SDK's persistent log queue: the table "logs" of "Logs.sqlite" in the SDK
// directory, where every log a channel unit accepts waits until its batch is delivered or its
// channel discards it.
//
// Each log is kept as the Base64 text of its keyed archive with its group id, its persistence
// priority (the low byte of the enqueue flags), its timestamp in milliseconds and, for a
// common-schema log, one of its target tokens (encrypted) and that token's target key. When the
// file reaches its size limit, logs of equal or lower priority are evicted, lowest priority and
// oldest first, until the new log fits. Version 5 of the file adds an index on ("groupId",
// "priority" DESC, "id"), so a batch is read without sorting its group; files of every earlier
// version are migrated.
//
// Logs handed over with saveLogWhenReady while more are announced on the queue are committed
// together, in one transaction per drain of the queue (at most 500 logs, or 50 ms after the first
// of them), each still with its own outcome: stored, too large, or discarded because nothing of
// equal or lower priority was left to evict. Every other operation commits them first. A log
// reported stored is committed: it survives the process crashing or being killed; a power cut
// may lose the last transactions (see TLDBConnection).
//
// A stored row is decoded only as a log: the unarchiver is asked for a log from the start, so a
// damaged row whose archive holds something else fails at its first record, before any of its
// contents are built, and is deleted.
//
// Batches handed out by a load stay pending, in memory only, until they are deleted: a pending log
// is not loaded again by this process, and after a restart every stored log can be loaded again.
// Batches are keyed by the exact pair of group id and batch id, so groups whose ids share a
// beginning ("Crashes", "CrashesBuffer") never touch each other's batches.
//
// Not thread-safe: the owner calls it from one serial queue (the channel group's). Archiving and
// unarchiving, most of the cost of a save or a load, touch nothing of the store: those of a group
// of saves or of a load's rows are spread over workers of the global queue while the caller
// waits; the file is only ever touched from the caller's thread.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "telemetry/core/Internals/Storage/TLDBStorage.h"
#include "telemetry/core/Internals/Storage/TLStorage.h"
#include "telemetry/core/Internals/Util/TLEncrypter.h"

inline constexpr const char* kTLLogsTableName = "logs";
inline constexpr const char* kTLLogsDatabaseFilename = "Logs.sqlite";
inline constexpr std::uint32_t kTLLogsDatabaseVersion = 5;

class TLLogDBStorage : public TLDBStorage, public TLStorage {
 public:
  // Opens (creating or migrating) "Logs.sqlite" in the SDK directory. Failures are logged; the
  // store then answers false, zero or nothing until the file works.
  TLLogDBStorage();
  // Commits the saves still held.
  ~TLLogDBStorage() override;

  bool saveLog(const std::shared_ptr<TLLog>& log, const std::string& groupId, TLFlags flags) override;
  bool loadLogsWithGroupId(const std::string& groupId, std::uint64_t limit,
                           const std::optional<std::vector<std::string>>& excludedTargetKeys,
                           const std::optional<foundation::Date>& afterDate,
                           const std::optional<foundation::Date>& beforeDate,
                           const LoadCompletion& completionHandler) override;
  void deleteLogsWithBatchId(const std::string& batchId, const std::string& groupId) override;
  std::vector<std::shared_ptr<TLLog>> deleteLogsWithGroupId(const std::string& groupId) override;
  std::uint64_t countLogs() override;
  std::uint64_t countLogsBeforeDate(const foundation::Date& date) override;
  void setMaxStorageSize(std::int64_t sizeInBytes, const std::function<void(bool)>& completionHandler) override {
    commitWaitingSaves();
    TLDBStorage::setMaxStorageSize(sizeInBytes, completionHandler);
  }
  void announceSave() override;
  void withdrawSave() override;
  bool saveLogWhenReady(const std::shared_ptr<TLLog>& log, const std::string& groupId, TLFlags flags,
                        const SaveCompletion& completion) override;
  // Commits the held logs in one transaction (more only when the file is full), then calls their
  // completions in the order they were handed over.
  void commitWaitingSaves() override;
  // How long after the first held log the others stop being waited for (kMaximumWaitMilliseconds
  // unless changed; tests that must not depend on the clock change it).
  void setMaximumWaitingTime(std::chrono::milliseconds wait) { maximumWaitingTime_ = wait; }

  // The rows of "SELECT *" over "logs" matching `condition` (SQL text after WHERE, which may end
  // in ORDER BY and LIMIT; empty for every row), with the log object (a TLLog) in place of its
  // text and its target token restored. A row whose log no longer unarchives is deleted and left
  // out (logged). Empty when the selection fails.
  TLDBRows logsWithCondition(std::string_view condition = {}, const TLDBArguments& arguments = {});
  // The logs of `groupId` in store order.
  std::vector<std::shared_ptr<TLLog>> logsFromDBWithGroupId(const std::string& groupId);
  // Deletes the row of `logId`, or the rows whose `columnName` holds the value(s); true on success
  // (also when nothing matched).
  bool deleteLogFromDBWithId(std::int64_t logId);
  bool deleteLogsFromDBWithColumnValue(const foundation::Value& value, const std::string& columnName);
  bool deleteLogsFromDBWithColumnValues(const foundation::Array& values, const std::string& columnName);
  // The same on a handle the caller opened; SQLite's code (logged).
  static int deleteLogsFromDBWithColumnValues(const foundation::Array& values, const std::string& columnName,
                                              sqlite3* db);

  // A new file gets the index on "priority" and the one a batch is found through.
  void customizeDatabase(sqlite3* db) override;
  // Adds, in turn, the columns and the indexes that each version after `fromVersion` brought.
  void migrateDatabase(sqlite3* db, std::uint32_t fromVersion) override;
  static void createPriorityIndex(sqlite3* db);
  // The index on ("groupId", "priority" DESC, "id"), in the order a load reads a group, so that a
  // batch is found without sorting the group.
  static void createGroupPriorityIndex(sqlite3* db);

  // The table's columns in "SELECT *" order, with their types.
  static const TLDBSchema& logsSchema();
  std::size_t idColumnIndex() const { return idColumnIndex_; }
  std::size_t groupIdColumnIndex() const { return groupIdColumnIndex_; }
  std::size_t logColumnIndex() const { return logColumnIndex_; }
  std::size_t targetTokenColumnIndex() const { return targetTokenColumnIndex_; }

 private:
  using BatchKey = std::pair<std::string, std::string>;  // group id, batch id

  // One log made ready for its insert.
  struct Row {
    std::string insert;
    TLDBArguments arguments;
    std::size_t textLength = 0;
    std::int64_t priority = 0;
  };
  struct WaitingSave {
    std::shared_ptr<TLLog> log;
    std::string groupId;
    TLFlags flags = 0;
    SaveCompletion completion;
  };

  // The Base64 text of the log's keyed archive; nothing (logged) when it cannot be archived.
  // Touches nothing of the store: safe on any thread.
  static std::optional<std::string> archivedText(const std::shared_ptr<TLLog>& log);
  // The insert of `log` with its text.
  Row rowForText(const TLLog& log, const std::string& groupId, TLFlags flags, std::string text);
  // Inserts one row, evicting logs of equal or lower priority while the file is full; SQLite's
  // code, or SQLITE_ERROR when the log is too large for the whole limit.
  int insertEvictingWhenFull(sqlite3* db, const Row& row);
  // Inserts the rows in as few transactions as the room in the file allows, each row's outcome
  // in `stored`; one by one when a transaction cannot be had. SQLITE_OK, or the code of a
  // corrupt file (the outcomes then do not hold).
  int insertTogether(sqlite3* db, const std::vector<Row>& rows, std::vector<bool>& stored);
  // Inserts rows [first, end), which fitted before, again in one transaction; false when it fails.
  bool reinsert(sqlite3* db, const std::vector<Row>& rows, std::size_t first, std::size_t end,
                std::vector<bool>& stored);
  // The insert alone, without evicting; SQLITE_ERROR (logged) for a log too large for the limit.
  int insertIfRoom(const Row& row);
  // Whether the row's text is at least the whole size limit (logged).
  bool isTooLarge(const Row& row);
  // The pending batches name rows of the old file.
  void databaseFileWillChange() override { batches_.clear(); }
  // Gives `log` the target token of its row, decrypted (failures logged).
  void restoreTargetToken(TLLog& log, const foundation::Value& tokenCell, const foundation::Value& id);
  // Counts one announced log as arrived.
  void takeAnnouncement();

  std::size_t idColumnIndex_ = 0;
  std::size_t groupIdColumnIndex_ = 1;
  std::size_t logColumnIndex_ = 2;
  std::size_t targetTokenColumnIndex_ = 3;
  std::map<BatchKey, std::vector<std::int64_t>> batches_;
  TLEncrypter targetTokenEncrypter_;
  std::atomic<std::int64_t> announcedSaves_{0};
  std::vector<WaitingSave> waitingSaves_;
  std::chrono::steady_clock::time_point firstWaitingSaveAt_;
  std::chrono::milliseconds maximumWaitingTime_{kMaximumWaitMilliseconds};
};
