#include "telemetry/core/Internals/Storage/TLLogDBStorage.h"

#include <pthread.h>
#include <sqlite3.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cmath>
#include <limits>
#include <mutex>
#include <thread>
#include <utility>

#include "platform/dispatch/Queue.h"
#include "platform/foundation/KeyedArchiver.h"
#include "platform/foundation/KeyedUnarchiver.h"
#include "platform/foundation/String.h"
#include "platform/foundation/UUID.h"
#include "platform/security/Base64.h"
#include "telemetry/core/Internals/Model/TLAbstractLog.h"
#include "telemetry/core/Internals/Model/TLCommonSchemaLog.h"
#include "telemetry/core/Internals/Util/TLUtility+StringFormatting.h"
#include "telemetry/core/TLArchivableClasses.h"
#include "telemetry/core/TLLogger.h"

namespace {

constexpr const char* kId = "id";
constexpr const char* kGroupId = "groupId";
constexpr const char* kLog = "log";
constexpr const char* kTargetToken = "targetToken";
constexpr const char* kTargetKey = "targetKey";
constexpr const char* kPriority = "priority";
constexpr const char* kTimestamp = "timestamp";

// Milliseconds since 1970, truncated toward zero; dates beyond 64 bits are clamped.
std::int64_t millisecondsSince1970(const foundation::Date& date) {
  const double milliseconds = date.timeIntervalSince1970() * 1000;
  if (std::isnan(milliseconds)) return 0;
  if (milliseconds >= 9.2e18) return std::numeric_limits<std::int64_t>::max();
  if (milliseconds <= -9.2e18) return std::numeric_limits<std::int64_t>::min();
  return static_cast<std::int64_t>(milliseconds);
}

// Runs work(i) for every i below `count` and returns once all have run: on this thread alone for
// a few items, else with workers of the global queue taking items too. This thread takes items
// until none is left and then waits only for workers still busy with one, so the work ends even
// when no worker ever starts; a worker that starts late finds nothing left and never touches
// `work`.
//
// A child forked from a process with threads has the pool's state without its threads (and its
// locks and condition variables as they stood): there the work is done inline.
std::atomic<bool> gForkedChild{false};
const int gForkHandlerResult = pthread_atfork(nullptr, nullptr, [] { gForkedChild = true; });

void forEachConcurrently(std::size_t count, const std::function<void(std::size_t)>& work) {
  constexpr std::size_t kItemsPerWorker = 16;
  constexpr std::size_t kMaximumWorkers = 3;
  const bool poolUsable = !gForkedChild && gForkHandlerResult == 0;
  const std::size_t workers =
      poolUsable ? std::min({kMaximumWorkers, count / kItemsPerWorker,
                             static_cast<std::size_t>(std::thread::hardware_concurrency())})
                 : 0;
  struct Shared {
    std::atomic<std::size_t> next{0};
    std::size_t count = 0;
    const std::function<void(std::size_t)>* work = nullptr;
    std::mutex mutex;
    std::condition_variable idle;
    int busy = 0;
  };
  const auto shared = std::make_shared<Shared>();
  shared->count = count;
  shared->work = &work;
  for (std::size_t w = 0; w < workers; ++w) {
    dispatch::globalQueue()->async([shared] {
      {
        std::lock_guard lock(shared->mutex);
        ++shared->busy;
      }
      for (std::size_t i = shared->next++; i < shared->count; i = shared->next++) (*shared->work)(i);
      std::lock_guard lock(shared->mutex);
      if (--shared->busy == 0) shared->idle.notify_all();
    });
  }
  for (std::size_t i = shared->next++; i < count; i = shared->next++) work(i);
  std::unique_lock lock(shared->mutex);
  shared->idle.wait(lock, [&] { return shared->busy == 0; });
}

// "?, ?, ?" for `count` parameters.
std::string placeholders(std::size_t count) {
  std::string text;
  for (std::size_t i = 0; i < count; ++i) text += i == 0 ? "?" : ", ?";
  return text;
}

std::string valueText(const foundation::Value& value) {
  return value.isString() ? value.stringValue() : std::to_string(value.intValue());
}

std::string joinedIds(const std::vector<std::int64_t>& ids) {
  std::string text;
  for (const std::int64_t id : ids) text += (text.empty() ? "" : "','") + std::to_string(id);
  return text;
}

// The log of a stored text; nothing, with the reason in *reason, when it no longer unarchives.
std::shared_ptr<TLLog> unarchiveLog(std::string_view text, std::string* reason) {
  const auto data = security::dataFromBase64(text, security::Base64DecodingOptions::IgnoreUnknownCharacters);
  if (!data) {
    *reason = "The stored text is not Base64.";
    return nullptr;
  }
  // Asking for a log, rather than for anything, makes the unarchiver check the root's class
  // before it builds a single value: a damaged row holding some other archive fails at once.
  foundation::Error error;
  const auto log = foundation::KeyedUnarchiver::unarchivedObjectOfClass<TLAbstractLog>(*data, &error);
  if (!log) {
    *reason = error.domain().empty() ? "The log deserialized to NULL." : error.localizedDescription();
    const foundation::Value debug = error.userInfo().get(foundation::kDebugDescriptionErrorKey);
    if (debug.isString()) *reason += " " + debug.stringValue();
  }
  return log;
}

}  // namespace

const TLDBSchema& TLLogDBStorage::logsSchema() {
  static const TLDBSchema schema = {{kTLLogsTableName,
                                     {{kId, {"INTEGER", "PRIMARY KEY", "AUTOINCREMENT"}},
                                      {kGroupId, {"TEXT", "NOT NULL"}},
                                      {kLog, {"TEXT", "NOT NULL"}},
                                      {kTargetToken, {"TEXT"}},
                                      {kTargetKey, {"TEXT"}},
                                      {kPriority, {"INTEGER"}},
                                      {kTimestamp, {"INTEGER"}}}}};
  return schema;
}

TLLogDBStorage::TLLogDBStorage() {
  TLRegisterArchivableClasses();
  configure(logsSchema(), kTLLogsDatabaseVersion, kTLLogsDatabaseFilename);
  // A copy: the indexes that at() looks into are a temporary, gone at the end of the line.
  const auto columns = columnsIndexes(logsSchema()).at(kTLLogsTableName);
  idColumnIndex_ = columns.at(kId);
  groupIdColumnIndex_ = columns.at(kGroupId);
  logColumnIndex_ = columns.at(kLog);
  targetTokenColumnIndex_ = columns.at(kTargetToken);
}

// ---- Schema ----------------------------------------------------------------------------------

void TLLogDBStorage::customizeDatabase(sqlite3* db) {
  createPriorityIndex(db);
  createGroupPriorityIndex(db);
}

void TLLogDBStorage::createPriorityIndex(sqlite3* db) {
  executeNonSelectionQuery(foundation::stringWithFormat("CREATE INDEX \"ix_%@_%@\" ON \"%@\" (\"%@\")", kTLLogsTableName,
                                                        kPriority, kTLLogsTableName, kPriority),
                           db);
}

void TLLogDBStorage::createGroupPriorityIndex(sqlite3* db) {
  executeNonSelectionQuery(
      foundation::stringWithFormat("CREATE INDEX \"ix_%@_%@_%@_%@\" ON \"%@\" (\"%@\", \"%@\" DESC, \"%@\")",
                                   kTLLogsTableName, kGroupId, kPriority, kId, kTLLogsTableName, kGroupId, kPriority, kId),
      db);
}

void TLLogDBStorage::migrateDatabase(sqlite3* db, std::uint32_t fromVersion) {
  const auto addColumn = [db](const char* column, const char* type, const char* defaultClause) {
    executeNonSelectionQuery(foundation::stringWithFormat("ALTER TABLE \"%@\" ADD COLUMN \"%@\" %@%@", kTLLogsTableName,
                                                          column, type, defaultClause),
                             db);
  };
  // Each step falls through to the next: a file at version 0 gains everything.
  switch (fromVersion) {
    case 0:
      addColumn(kTargetToken, "TEXT", "");
      [[fallthrough]];
    case 1:
      addColumn(kTargetKey, "TEXT", "");
      [[fallthrough]];
    case 2:
      addColumn(kPriority, "INTEGER", " DEFAULT 1");
      createPriorityIndex(db);
      [[fallthrough]];
    case 3:
      addColumn(kTimestamp, "INTEGER", " DEFAULT 0");
      [[fallthrough]];
    case 4:
      createGroupPriorityIndex(db);
      break;
    default:
      break;
  }
}

// ---- Saving ----------------------------------------------------------------------------------

TLLogDBStorage::~TLLogDBStorage() { commitWaitingSaves(); }

std::optional<std::string> TLLogDBStorage::archivedText(const std::shared_ptr<TLLog>& log) {
  foundation::Error error;
  const auto archive = foundation::KeyedArchiver::archivedDataWithRootObject(log, &error);
  if (!archive) {
    TLLogError(kTLLogTag, "Failed to archive the log for storage: %@", error.localizedDescription());
    return std::nullopt;
  }
  return security::base64EncodedString(*archive);
}

TLLogDBStorage::Row TLLogDBStorage::rowForText(const TLLog& log, const std::string& groupId, TLFlags flags,
                                               std::string text) {
  Row row;
  row.textLength = text.size();
  const std::int64_t timestamp = log.timestamp() ? millisecondsSince1970(*log.timestamp()) : 0;
  row.priority = static_cast<std::int64_t>(flags & TLFlagsPersistenceMask);
  if (dynamic_cast<const TLCommonSchemaLog*>(&log)) {
    // A log for several targets is stored once, with one of them.
    const auto tokens = log.transmissionTargetTokens();
    const std::optional<std::string> token =
        tokens && !tokens->empty() ? std::optional<std::string>(*tokens->begin()) : std::nullopt;
    std::optional<std::string> encrypted = token ? targetTokenEncrypter_.encryptString(*token) : std::nullopt;
    if (token && !encrypted) TLLogError(kTLLogTag, "Failed to encrypt the target token; storing the log without it.");
    const std::optional<std::string> key = TLUtility::targetKeyFromTargetToken(token);
    row.insert = foundation::stringWithFormat(
        "INSERT INTO \"%@\" (\"%@\", \"%@\", \"%@\", \"%@\", \"%@\", \"%@\") VALUES (?, ?, ?, ?, ?, ?)", kTLLogsTableName,
        kGroupId, kLog, kTargetToken, kTargetKey, kPriority, kTimestamp);
    row.arguments = {groupId, std::move(text), encrypted ? foundation::Value(*encrypted) : foundation::Value(),
                     key ? foundation::Value(*key) : foundation::Value(), row.priority, timestamp};
  } else {
    row.insert = foundation::stringWithFormat("INSERT INTO \"%@\" (\"%@\", \"%@\", \"%@\", \"%@\") VALUES (?, ?, ?, ?)",
                                              kTLLogsTableName, kGroupId, kLog, kPriority, kTimestamp);
    row.arguments = {groupId, std::move(text), row.priority, timestamp};
  }
  return row;
}

bool TLLogDBStorage::saveLog(const std::shared_ptr<TLLog>& log, const std::string& groupId, TLFlags flags) {
  commitWaitingSaves();
  if (!log) return false;
  std::optional<std::string> text = archivedText(log);
  if (!text) return false;
  const Row row = rowForText(*log, groupId, flags, std::move(*text));
  return executeQueryUsingBlock([&](sqlite3* db) { return insertEvictingWhenFull(db, row); }) == SQLITE_OK;
}

void TLLogDBStorage::announceSave() { ++announcedSaves_; }

void TLLogDBStorage::takeAnnouncement() {
  std::int64_t count = announcedSaves_.load();
  while (count > 0 && !announcedSaves_.compare_exchange_weak(count, count - 1)) {
  }
}

void TLLogDBStorage::withdrawSave() {
  takeAnnouncement();
  commitWaitingSaves();
}

bool TLLogDBStorage::saveLogWhenReady(const std::shared_ptr<TLLog>& log, const std::string& groupId, TLFlags flags,
                                      const SaveCompletion& completion) {
  takeAnnouncement();
  const auto now = std::chrono::steady_clock::now();
  const bool first = waitingSaves_.empty();
  if (first) firstWaitingSaveAt_ = now;
  waitingSaves_.push_back({log, groupId, flags, completion});
  const bool overdue = now - firstWaitingSaveAt_ >= maximumWaitingTime_;
  if (announcedSaves_.load() <= 0 || waitingSaves_.size() >= kMaximumWaitingSaves || overdue) {
    commitWaitingSaves();
    return false;
  }
  return first;
}

void TLLogDBStorage::commitWaitingSaves() {
  if (waitingSaves_.empty()) return;
  // Completions may use the store again: the held saves are taken out first.
  const std::vector<WaitingSave> saves = std::exchange(waitingSaves_, {});
  // Archiving is most of a save's cost and needs nothing but the log: the logs of a group are
  // archived side by side while this queue waits, then inserted in order.
  std::vector<std::optional<std::string>> texts(saves.size());
  forEachConcurrently(saves.size(), [&](std::size_t i) {
    if (saves[i].log) texts[i] = archivedText(saves[i].log);
  });
  std::vector<Row> rows;
  std::vector<std::size_t> saveOfRow;
  for (std::size_t i = 0; i < saves.size(); ++i) {
    if (!texts[i]) continue;
    rows.push_back(rowForText(*saves[i].log, saves[i].groupId, saves[i].flags, std::move(*texts[i])));
    saveOfRow.push_back(i);
  }
  std::vector<bool> rowStored(rows.size(), false);
  const int result =
      rows.empty() ? SQLITE_OK : executeQueryUsingBlock([&](sqlite3* db) { return insertTogether(db, rows, rowStored); });
  std::vector<bool> stored(saves.size(), false);
  // A file found corrupt is deleted: nothing written in this operation is kept.
  if (result != SQLITE_CORRUPT && result != SQLITE_NOTADB) {
    for (std::size_t r = 0; r < rows.size(); ++r) stored[saveOfRow[r]] = rowStored[r];
  }
  for (std::size_t i = 0; i < saves.size(); ++i) {
    if (saves[i].completion) saves[i].completion(stored[i]);
  }
}

int TLLogDBStorage::insertTogether(sqlite3* db, const std::vector<Row>& saves, std::vector<bool>& stored) {
  const auto isCorrupt = [](int result) { return result == SQLITE_CORRUPT || result == SQLITE_NOTADB; };
  std::size_t next = 0;
  while (saves.size() - next > 1) {
    if (execute("BEGIN IMMEDIATE") != SQLITE_OK) break;
    const std::size_t first = next;
    int result = SQLITE_OK;
    for (; next < saves.size(); ++next) {
      result = insertIfRoom(saves[next]);
      if (result == SQLITE_FULL || isCorrupt(result) || sqlite3_get_autocommit(db)) break;
      stored[next] = result == SQLITE_OK;
    }
    if (next == saves.size()) {
      if (execute("COMMIT") == SQLITE_OK) return SQLITE_OK;
      next = first;
      break;
    }
    // A full file ends the transaction: SQLite rolls all of it back when a one-row insert finds
    // no room. The rows before fit without evicting and go in again; the one that did not fit is
    // saved alone, evicting as a single save does.
    if (!sqlite3_get_autocommit(db)) execute("ROLLBACK");
    if (isCorrupt(result)) return result;
    if (result != SQLITE_FULL || !reinsert(db, saves, first, next, stored)) {
      next = first;
      break;
    }
    result = insertEvictingWhenFull(db, saves[next]);
    if (isCorrupt(result)) return result;
    stored[next++] = result == SQLITE_OK;
  }
  // What is left goes one by one, each in its own transaction.
  for (; next < saves.size(); ++next) {
    const int result = insertEvictingWhenFull(db, saves[next]);
    if (isCorrupt(result)) return result;
    stored[next] = result == SQLITE_OK;
  }
  return SQLITE_OK;
}

bool TLLogDBStorage::reinsert(sqlite3* db, const std::vector<Row>& saves, std::size_t first, std::size_t end,
                              std::vector<bool>& stored) {
  if (first == end) return true;
  if (execute("BEGIN IMMEDIATE") != SQLITE_OK) return false;
  for (std::size_t i = first; i < end; ++i) {
    const int result = insertIfRoom(saves[i]);
    if (result == SQLITE_FULL || result == SQLITE_CORRUPT || result == SQLITE_NOTADB || sqlite3_get_autocommit(db)) {
      if (!sqlite3_get_autocommit(db)) execute("ROLLBACK");
      return false;
    }
    stored[i] = result == SQLITE_OK;
  }
  if (execute("COMMIT") == SQLITE_OK) return true;
  if (!sqlite3_get_autocommit(db)) execute("ROLLBACK");
  return false;
}

int TLLogDBStorage::insertIfRoom(const Row& row) {
  if (isTooLarge(row)) return SQLITE_ERROR;
  return execute(row.insert, row.arguments);
}

bool TLLogDBStorage::isTooLarge(const Row& row) {
  const std::int64_t limit = maxPageCount() * pageSize();
  if (static_cast<std::int64_t>(row.textLength) < limit) return false;
  TLLogError(kTLLogTag, "Log is too large (%tu bytes) to store in database. Current maximum database size is %tu bytes.",
             row.textLength, limit);
  return true;
}

int TLLogDBStorage::insertEvictingWhenFull(sqlite3* db, const Row& row) {
  if (isTooLarge(row)) return SQLITE_ERROR;
  int result = execute(row.insert, row.arguments);
  if (result == SQLITE_FULL) {
    const TLDBRows candidates = select(
        foundation::stringWithFormat("SELECT \"%@\" FROM \"%@\" WHERE \"%@\" <= ? ORDER BY \"%@\" ASC, \"%@\" ASC", kId,
                                     kTLLogsTableName, kPriority, kPriority, kId),
        {row.priority});
    std::size_t deleted = 0;
    for (const TLDBRow& candidate : candidates) {
      const foundation::Value& id = candidate.front();
      const int deletion = deleteLogsFromDBWithColumnValues({id}, kId, db);
      if (deletion != SQLITE_OK) {
        result = deletion;
        break;
      }
      ++deleted;
      TLLogDebug(kTLLogTag, "Deleted a log with id %@ to store a new log.", valueText(id));
      result = execute(row.insert, row.arguments);
      if (result != SQLITE_FULL) break;
    }
    if (deleted > 0) {
      TLLogDebug(kTLLogTag, "Log storage was over capacity, %ld oldest log(s) with equal or lower priority deleted.",
                 deleted);
    }
    if (result == SQLITE_FULL && deleted == candidates.size()) {
      TLLogError(kTLLogTag, "Storage is full and no logs with equal or lower priority exist; discarding the log.");
    }
  }
  if (result == SQLITE_OK) {
    TLLogVerbose(kTLLogTag, "Log is stored with id: '%ld'", static_cast<std::int64_t>(sqlite3_last_insert_rowid(db)));
  }
  return result;
}

// ---- Loading ---------------------------------------------------------------------------------

bool TLLogDBStorage::loadLogsWithGroupId(const std::string& groupId, std::uint64_t limit,
                                         const std::optional<std::vector<std::string>>& excludedTargetKeys,
                                         const std::optional<foundation::Date>& afterDate,
                                         const std::optional<foundation::Date>& beforeDate,
                                         const LoadCompletion& completionHandler) {
  commitWaitingSaves();
  std::vector<std::int64_t> pendingIds;
  for (const auto& [key, ids] : batches_) {
    if (key.first == groupId) pendingIds.insert(pendingIds.end(), ids.begin(), ids.end());
  }

  std::string condition = foundation::stringWithFormat("\"%@\" = ?", kGroupId);
  TLDBArguments arguments = {groupId};
  if (excludedTargetKeys && !excludedTargetKeys->empty()) {
    // NOT IN alone would also hold back every log without a key (NULL is never "not in" a list).
    condition += foundation::stringWithFormat(" AND (\"%@\" IS NULL OR \"%@\" NOT IN (%@))", kTargetKey, kTargetKey,
                                              placeholders(excludedTargetKeys->size()));
    arguments.insert(arguments.end(), excludedTargetKeys->begin(), excludedTargetKeys->end());
  }
  if (!pendingIds.empty()) {
    condition += foundation::stringWithFormat(" AND \"%@\" NOT IN (%@)", kId, placeholders(pendingIds.size()));
    for (const std::int64_t id : pendingIds) arguments.emplace_back(static_cast<long long>(id));
  }
  if (afterDate) {
    condition += foundation::stringWithFormat(" AND \"%@\" >= ?", kTimestamp);
    arguments.emplace_back(static_cast<long long>(millisecondsSince1970(*afterDate)));
  }
  if (beforeDate) {
    condition += foundation::stringWithFormat(" AND \"%@\" < ?", kTimestamp);
    arguments.emplace_back(static_cast<long long>(millisecondsSince1970(*beforeDate)));
  }
  // One row beyond the limit tells whether more wait; a negative LIMIT is none at all.
  constexpr auto kMaxLimit = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
  const long long rowLimit = limit >= kMaxLimit ? -1 : static_cast<long long>(limit + 1);
  condition += foundation::stringWithFormat(" ORDER BY \"%@\" DESC, \"%@\" ASC LIMIT ?", kPriority, kId);
  arguments.emplace_back(rowLimit);

  TLDBRows rows = logsWithCondition(condition, arguments);
  const bool moreLogsAvailable = rows.size() > limit;
  if (moreLogsAvailable) rows.resize(limit);

  std::vector<std::int64_t> ids;
  std::vector<std::shared_ptr<TLLog>> logs;
  for (const TLDBRow& row : rows) {
    ids.push_back(row[idColumnIndex_].intValue());
    logs.push_back(row[logColumnIndex_].objectAs<TLLog>());
  }
  std::optional<std::string> batchId;
  if (!ids.empty()) {
    batchId = foundation::UUID().UUIDString();
    TLLogVerbose(kTLLogTag, "Load log(s) with id(s) '%@' as batch Id:%@", joinedIds(ids), *batchId);
    batches_[{groupId, *batchId}] = std::move(ids);
  }
  if (completionHandler) completionHandler(logs, batchId);
  return moreLogsAvailable;
}

TLDBRows TLLogDBStorage::logsWithCondition(std::string_view condition, const TLDBArguments& arguments) {
  commitWaitingSaves();
  std::string query = foundation::stringWithFormat("SELECT * FROM \"%@\"", kTLLogsTableName);
  if (!condition.empty()) query += " WHERE " + std::string(condition);
  TLDBRows rows;
  std::vector<std::optional<std::string>> texts;
  const auto logColumn = static_cast<int>(logColumnIndex_);
  executeQueryUsingBlock([&](sqlite3*) {
    return selectEach(query, arguments, [&](sqlite3_stmt* statement) {
      TLDBRow row = TLDBConnection::readRow(statement, logColumn);
      if (row.size() <= std::max({idColumnIndex_, logColumnIndex_, targetTokenColumnIndex_})) return;
      const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(statement, logColumn));
      texts.push_back(text ? std::optional<std::string>(std::in_place, text,
                                                        static_cast<std::size_t>(sqlite3_column_bytes(statement, logColumn)))
                           : std::nullopt);
      rows.push_back(std::move(row));
    });
  });
  // Unarchiving is most of a load's cost and needs nothing but the text: the rows are decoded
  // side by side, then handled in order.
  std::vector<std::shared_ptr<TLLog>> logs(rows.size());
  std::vector<std::string> reasons(rows.size());
  forEachConcurrently(rows.size(), [&](std::size_t i) {
    if (texts[i]) {
      logs[i] = unarchiveLog(*texts[i], &reasons[i]);
    } else {
      reasons[i] = "The stored text is not Base64.";
    }
  });
  TLDBRows result;
  result.reserve(rows.size());
  std::vector<std::int64_t> undecodable;
  for (std::size_t i = 0; i < rows.size(); ++i) {
    TLDBRow& row = rows[i];
    const foundation::Value& id = row[idColumnIndex_];
    if (!logs[i]) {
      TLLogError(kTLLogTag, "Deserialization failed for log with Id %@: %@", valueText(id), reasons[i]);
      undecodable.push_back(id.intValue());
      continue;
    }
    restoreTargetToken(*logs[i], row[targetTokenColumnIndex_], id);
    row[logColumnIndex_] = foundation::Value(std::static_pointer_cast<foundation::Object>(logs[i]));
    result.push_back(std::move(row));
  }
  for (const std::int64_t id : undecodable) deleteLogFromDBWithId(id);
  return result;
}

void TLLogDBStorage::restoreTargetToken(TLLog& log, const foundation::Value& tokenCell, const foundation::Value& id) {
  if (!tokenCell.isString()) return;
  if (tokenCell.stringValue().empty()) {
    TLLogError(kTLLogTag, "Unexpected empty target token for log with Id %@.", valueText(id));
  } else if (const auto token = targetTokenEncrypter_.decryptString(tokenCell.stringValue())) {
    log.addTransmissionTargetToken(*token);
  } else {
    TLLogError(kTLLogTag, "Failed to decrypt the target token for log with Id %@.", valueText(id));
  }
}

std::vector<std::shared_ptr<TLLog>> TLLogDBStorage::logsFromDBWithGroupId(const std::string& groupId) {
  std::vector<std::shared_ptr<TLLog>> logs;
  for (const TLDBRow& row : logsWithCondition(foundation::stringWithFormat("\"%@\" = ?", kGroupId), {groupId})) {
    logs.push_back(row[logColumnIndex_].objectAs<TLLog>());
  }
  return logs;
}

// ---- Deleting and counting -------------------------------------------------------------------

void TLLogDBStorage::deleteLogsWithBatchId(const std::string& batchId, const std::string& groupId) {
  commitWaitingSaves();
  const auto batch = batches_.find({groupId, batchId});
  if (batch == batches_.end() || batch->second.empty()) return;
  foundation::Array ids;
  for (const std::int64_t id : batch->second) ids.emplace_back(static_cast<long long>(id));
  deleteLogsFromDBWithColumnValues(ids, kId);
  batches_.erase(batch);
}

std::vector<std::shared_ptr<TLLog>> TLLogDBStorage::deleteLogsWithGroupId(const std::string& groupId) {
  std::vector<std::shared_ptr<TLLog>> logs = logsFromDBWithGroupId(groupId);
  deleteLogsFromDBWithColumnValue(groupId, kGroupId);
  // The group's companion units (their ids continue with "/") are wiped with it; other groups
  // whose ids merely begin alike keep their batches.
  const std::string companionPrefix = groupId + "/";
  std::erase_if(batches_, [&](const auto& entry) {
    const std::string& batchGroup = entry.first.first;
    return batchGroup == groupId || batchGroup.starts_with(companionPrefix);
  });
  return logs;
}

bool TLLogDBStorage::deleteLogFromDBWithId(std::int64_t logId) {
  return deleteLogsFromDBWithColumnValue(static_cast<long long>(logId), kId);
}

bool TLLogDBStorage::deleteLogsFromDBWithColumnValue(const foundation::Value& value, const std::string& columnName) {
  return deleteLogsFromDBWithColumnValues({value}, columnName);
}

bool TLLogDBStorage::deleteLogsFromDBWithColumnValues(const foundation::Array& values, const std::string& columnName) {
  commitWaitingSaves();
  return executeQueryUsingBlock([&](sqlite3* db) { return deleteLogsFromDBWithColumnValues(values, columnName, db); }) ==
         SQLITE_OK;
}

int TLLogDBStorage::deleteLogsFromDBWithColumnValues(const foundation::Array& values, const std::string& columnName,
                                                     sqlite3* db) {
  std::string texts;
  for (const foundation::Value& value : values) texts += (texts.empty() ? "" : "','") + valueText(value);
  const std::string description =
      foundation::stringWithFormat("Deletion of log(s) by %@ with value(s) '%@'", columnName, texts);
  const std::string query = foundation::stringWithFormat("DELETE FROM \"%@\" WHERE %@ IN (%@)", kTLLogsTableName,
                                                         quotedIdentifier(columnName), placeholders(values.size()));
  const int result = executeNonSelectionQuery(query, db, values);
  if (result == SQLITE_OK) {
    TLLogVerbose(kTLLogTag, "%@ succeeded.", description);
  } else {
    TLLogError(kTLLogTag, "%@ failed.", description);
  }
  return result;
}

std::uint64_t TLLogDBStorage::countLogs() {
  commitWaitingSaves();
  return countEntriesForTable(kTLLogsTableName);
}

std::uint64_t TLLogDBStorage::countLogsBeforeDate(const foundation::Date& date) {
  commitWaitingSaves();
  return countEntriesForTable(kTLLogsTableName, foundation::stringWithFormat("\"%@\" <= ?", kTimestamp),
                              {static_cast<long long>(millisecondsSince1970(date))});
}
