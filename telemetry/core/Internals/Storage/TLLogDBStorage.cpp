#include "telemetry/core/Internals/Storage/TLLogDBStorage.h"

#include <sqlite3.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>

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
std::shared_ptr<TLLog> unarchiveLog(const foundation::Value& cell, std::string* reason) {
  const auto data = cell.isString()
                        ? security::dataFromBase64(cell.stringValue(), security::Base64DecodingOptions::IgnoreUnknownCharacters)
                        : std::nullopt;
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

std::optional<TLLogDBStorage::Row> TLLogDBStorage::rowForLog(const std::shared_ptr<TLLog>& log,
                                                             const std::string& groupId, TLFlags flags) {
  if (!log) return std::nullopt;
  foundation::Error error;
  const auto archive = foundation::KeyedArchiver::archivedDataWithRootObject(log, &error);
  if (!archive) {
    TLLogError(kTLLogTag, "Failed to archive the log for storage: %@", error.localizedDescription());
    return std::nullopt;
  }
  Row row;
  std::string text = security::base64EncodedString(*archive);
  row.textLength = text.size();
  const std::int64_t timestamp = log->timestamp() ? millisecondsSince1970(*log->timestamp()) : 0;
  row.priority = static_cast<std::int64_t>(flags & TLFlagsPersistenceMask);
  if (dynamic_cast<const TLCommonSchemaLog*>(log.get())) {
    // A log for several targets is stored once, with one of them.
    const auto tokens = log->transmissionTargetTokens();
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
  const std::optional<Row> row = rowForLog(log, groupId, flags);
  if (!row) return false;
  return executeQueryUsingBlock([&](sqlite3* db) { return insertEvictingWhenFull(db, *row); }) == SQLITE_OK;
}

void TLLogDBStorage::announceSave() { ++announcedSaves_; }

void TLLogDBStorage::takeAnnouncement() {
  std::int64_t count = announcedSaves_.load();
  while (count > 0 && !announcedSaves_.compare_exchange_weak(count, count - 1)) {
  }
}

void TLLogDBStorage::withdrawSave() {
  takeAnnouncement();
  if (announcedSaves_.load() <= 0) commitWaitingSaves();
}

void TLLogDBStorage::saveLogWhenReady(const std::shared_ptr<TLLog>& log, const std::string& groupId, TLFlags flags,
                                      const SaveCompletion& completion) {
  takeAnnouncement();
  std::optional<Row> row = rowForLog(log, groupId, flags);
  if (!row) {
    // The outcomes reach the callers in the order the logs came.
    commitWaitingSaves();
    if (completion) completion(false);
    return;
  }
  const auto now = std::chrono::steady_clock::now();
  if (waitingSaves_.empty()) firstWaitingSaveAt_ = now;
  waitingSaves_.push_back({std::move(*row), completion});
  const bool overdue = now - firstWaitingSaveAt_ >= maximumWaitingTime_;
  if (announcedSaves_.load() <= 0 || waitingSaves_.size() >= kMaximumWaitingSaves || overdue) commitWaitingSaves();
}

void TLLogDBStorage::commitWaitingSaves() {
  if (waitingSaves_.empty()) return;
  // Completions may use the store again: the held saves are taken out first.
  const std::vector<WaitingSave> saves = std::exchange(waitingSaves_, {});
  std::vector<bool> stored(saves.size(), false);
  const int result = executeQueryUsingBlock([&](sqlite3* db) { return insertTogether(db, saves, stored); });
  // A file found corrupt is deleted: nothing written in this operation is kept.
  if (result == SQLITE_CORRUPT || result == SQLITE_NOTADB) std::fill(stored.begin(), stored.end(), false);
  for (std::size_t i = 0; i < saves.size(); ++i) {
    if (saves[i].completion) saves[i].completion(stored[i]);
  }
}

int TLLogDBStorage::insertTogether(sqlite3* db, const std::vector<WaitingSave>& saves, std::vector<bool>& stored) {
  const auto isCorrupt = [](int result) { return result == SQLITE_CORRUPT || result == SQLITE_NOTADB; };
  std::size_t next = 0;
  while (saves.size() - next > 1) {
    if (execute("BEGIN IMMEDIATE") != SQLITE_OK) break;
    const std::size_t first = next;
    int result = SQLITE_OK;
    for (; next < saves.size(); ++next) {
      result = insertIfRoom(saves[next].row);
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
    result = insertEvictingWhenFull(db, saves[next].row);
    if (isCorrupt(result)) return result;
    stored[next++] = result == SQLITE_OK;
  }
  // What is left goes one by one, each in its own transaction.
  for (; next < saves.size(); ++next) {
    const int result = insertEvictingWhenFull(db, saves[next].row);
    if (isCorrupt(result)) return result;
    stored[next] = result == SQLITE_OK;
  }
  return SQLITE_OK;
}

bool TLLogDBStorage::reinsert(sqlite3* db, const std::vector<WaitingSave>& saves, std::size_t first, std::size_t end,
                              std::vector<bool>& stored) {
  if (first == end) return true;
  if (execute("BEGIN IMMEDIATE") != SQLITE_OK) return false;
  for (std::size_t i = first; i < end; ++i) {
    const int result = insertIfRoom(saves[i].row);
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
  TLDBRows rows = executeSelectionQuery(query, arguments);
  TLDBRows result;
  result.reserve(rows.size());
  for (TLDBRow& row : rows) {
    if (row.size() <= std::max({idColumnIndex_, logColumnIndex_, targetTokenColumnIndex_})) continue;
    const foundation::Value id = row[idColumnIndex_];
    std::string reason;
    const std::shared_ptr<TLLog> log = unarchiveLog(row[logColumnIndex_], &reason);
    if (!log) {
      TLLogError(kTLLogTag, "Deserialization failed for log with Id %@: %@", valueText(id), reason);
      deleteLogFromDBWithId(id.intValue());
      continue;
    }
    const foundation::Value& tokenCell = row[targetTokenColumnIndex_];
    if (tokenCell.isString()) {
      if (tokenCell.stringValue().empty()) {
        TLLogError(kTLLogTag, "Unexpected empty target token for log with Id %@.", valueText(id));
      } else if (const auto token = targetTokenEncrypter_.decryptString(tokenCell.stringValue())) {
        log->addTransmissionTargetToken(*token);
      } else {
        TLLogError(kTLLogTag, "Failed to decrypt the target token for log with Id %@.", valueText(id));
      }
    }
    row[logColumnIndex_] = foundation::Value(std::static_pointer_cast<foundation::Object>(log));
    result.push_back(std::move(row));
  }
  return result;
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
