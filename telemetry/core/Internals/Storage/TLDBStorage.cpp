#include "telemetry/core/Internals/Storage/TLDBStorage.h"

#include <sqlite3.h>

#include <mutex>

#include "platform/foundation/FileManager.h"
#include "platform/foundation/String.h"
#include "telemetry/core/Internals/Util/TLUtility+File.h"
#include "telemetry/core/TLConstants.h"
#include "telemetry/core/TLLogger.h"

namespace {

// SQLite must learn about URI file names before its first connection, so this runs while the
// program loads; the result waits for the first store to log it.
const int gSQLiteConfigurationResult = TLDBStorage::configureSQLite();

struct StatementFinalizer {
  sqlite3_stmt* statement;
  ~StatementFinalizer() { sqlite3_finalize(statement); }
};

void logNonSelectionFailure(std::string_view query, int result, const std::string& message) {
  switch (result) {
    case SQLITE_OK:
      return;
    case SQLITE_CORRUPT:
    case SQLITE_NOTADB:
      TLLogError(kTLLogTag, "A database file is corrupted: %d - %@", result, message);
      return;
    case SQLITE_FULL:
      // The log store answers a full file by evicting; not an error at this level.
      TLLogDebug(kTLLogTag, "Query failed with error: %d - %@", result, message);
      return;
    default:
      TLLogError(kTLLogTag, "Query \"%@\" failed with error: %d - %@", query, result, message);
      return;
  }
}

// One statement with bound values, stepped to its end, on a handle without kept statements.
int runBoundStatement(std::string_view query, sqlite3* db, const TLDBArguments& arguments, std::string* message) {
  sqlite3_stmt* statement = nullptr;
  int result = sqlite3_prepare_v2(db, query.data(), static_cast<int>(query.size()), &statement, nullptr);
  StatementFinalizer finalizer{statement};
  if (result == SQLITE_OK) result = TLDBConnection::bind(statement, arguments);
  while (result == SQLITE_OK) {
    const int step = sqlite3_step(statement);
    if (step == SQLITE_DONE) break;
    if (step != SQLITE_ROW) result = step;
  }
  if (result != SQLITE_OK) *message = sqlite3_errmsg(db);
  return result;
}

bool isCorruption(int result) { return result == SQLITE_CORRUPT || result == SQLITE_NOTADB; }

std::string joined(const std::vector<std::string>& words, std::string_view separator) {
  std::string text;
  for (const std::string& word : words) {
    if (!text.empty()) text += separator;
    text += word;
  }
  return text;
}

}  // namespace

// ---- Configuration ---------------------------------------------------------------------------

TLDBStorage::TLDBStorage(const std::optional<TLDBSchema>& schema, std::uint32_t version, const std::string& filename) {
  configure(schema, version, filename);
}

TLDBStorage::~TLDBStorage() = default;

void TLDBStorage::configure(const std::optional<TLDBSchema>& schema, std::uint32_t version,
                            const std::string& filename) {
  static std::once_flag reportOnce;
  std::call_once(reportOnce, [] {
    if (gSQLiteConfigurationResult == SQLITE_OK) {
      TLLogDebug(kTLLogTag, "SQLite global configuration successfully updated.");
    } else {
      TLLogError(kTLLogTag, "Failed to update SQLite global configuration. Error: %@.",
                 sqlite3_errstr(gSQLiteConfigurationResult));
    }
  });
  schema_ = schema;
  version_ = version;
  filename_ = filename;
  maxSizeInBytes_ = kDefaultMaxSizeInBytes;
  if (configureOrRecreate() != SQLITE_OK) TLLogError(kTLLogTag, "Failed to initialize database.");
}

int TLDBStorage::configureOrRecreate() {
  int result = configureDatabaseWithSchema(schema_, version_, filename_);
  if (isCorruption(result)) {
    dropDatabase();
    result = configureDatabaseWithSchema(schema_, version_, filename_);
  }
  return result;
}

int TLDBStorage::configureDatabaseWithSchema(const std::optional<TLDBSchema>& schema, std::uint32_t version,
                                             const std::string& filename) {
  connection_.reset();
  maxPageCount_ = 0;
  const bool existed = TLUtility::fileExistsForPathComponent(filename);
  dbFileURL_ = TLUtility::createFileAtPathComponent(filename, std::nullopt, false, false);
  if (!dbFileURL_) {
    TLLogError(kTLLogTag, "Failed to open database with result: %d.", SQLITE_CANTOPEN);
    return SQLITE_CANTOPEN;
  }
  int result = SQLITE_OK;
  std::unique_ptr<TLDBConnection> connection = TLDBConnection::open(*dbFileURL_, &result);
  if (!connection) return result;
  sqlite3* db = connection->handle();
  pageSize_ = getPageSizeInOpenedDatabase(db);
  const std::uint32_t storedVersion = versionInOpenedDatabase(db, &result);
  if (result != SQLITE_OK) return result;
  if (schema) {
    result = createTablesWithSchema(*schema, db);
    if (result != SQLITE_OK) {
      TLLogError(kTLLogTag, "Failed to create tables with schema with error \"%d\".", result);
      return result;
    }
  }
  if (existed) {
    if (storedVersion < version) {
      TLLogInfo(kTLLogTag, "Migrating \"%@\" database from version %lu to %lu.", filename, storedVersion, version);
      migrateDatabase(db, storedVersion);
    }
  } else {
    TLLogInfo(kTLLogTag, "Created \"%@\" database with %lu version.", filename, version);
    customizeDatabase(db);
  }
  enableAutoVacuumInOpenedDatabase(db);
  setVersion(version, db);
  connection_ = std::move(connection);
  hadConnection_ = true;
  return SQLITE_OK;
}

void TLDBStorage::customizeDatabase(sqlite3*) {}

void TLDBStorage::migrateDatabase(sqlite3*, std::uint32_t) {}

void TLDBStorage::refreshPageSize(sqlite3* db) {
  if (pageSize_ <= 0) pageSize_ = getPageSizeInOpenedDatabase(db);
}

// ---- The connection --------------------------------------------------------------------------

TLDBConnection* TLDBStorage::openConnection(int* result) {
  *result = SQLITE_OK;
  if (connection_ && !connection_->isStillTheFileAtPath()) {
    TLLogWarning(kTLLogTag, "The database file was deleted or replaced; opening it again.");
    connection_.reset();
  }
  if (!connection_) {
    // Ids and anything else learned from the old file mean nothing in the new one.
    if (hadConnection_) databaseFileWillChange();
    *result = configureOrRecreate();
    if (!connection_) {
      if (*result == SQLITE_OK) *result = SQLITE_CANTOPEN;
      return nullptr;
    }
  }
  const int limitResult = applyPageLimit();
  if (isCorruption(limitResult)) {
    *result = limitResult;
    dropDatabase();
    return nullptr;
  }
  if (limitResult != SQLITE_OK) {
    TLLogError(kTLLogTag, "Failed to open database with specified maximum size constraint.");
  }
  return connection_.get();
}

int TLDBStorage::applyPageLimit() {
  refreshPageSize(connection_->handle());
  // Without a page size there is no page limit to set; dividing by it would refuse everything.
  if (pageSize_ <= 0) return SQLITE_ERROR;
  const std::int64_t wanted = maxSizeInBytes_ / pageSize_;
  if (maxPageCount_ == wanted) return SQLITE_OK;
  // SQLite answers the limit it set, which is never below the pages in use.
  int result = SQLITE_OK;
  const TLDBRows rows = select(foundation::stringWithFormat("PRAGMA max_page_count = %ld;", wanted), {}, &result);
  if (result != SQLITE_OK) return result;
  maxPageCount_ = rows.empty() || rows.front().empty() ? 0 : rows.front().front().intValue();
  return SQLITE_OK;
}

void TLDBStorage::noteResult(int result) {
  if (isCorruption(result)) corruptionSeen_ = true;
}

int TLDBStorage::execute(std::string_view query, const TLDBArguments& arguments) {
  if (!connection_) return SQLITE_MISUSE;
  std::string message;
  const int result = connection_->run(query, arguments, &message);
  logNonSelectionFailure(query, result, message);
  noteResult(result);
  return result;
}

TLDBRows TLDBStorage::select(std::string_view query, const TLDBArguments& arguments, int* result) {
  TLDBRows rows;
  int code = SQLITE_MISUSE;
  int step = SQLITE_DONE;
  if (connection_) code = connection_->select(query, arguments, &rows, &step);
  if (result) *result = code;
  if (code != SQLITE_OK) {
    TLLogError(kTLLogTag, "Query \"%@\" failed with error: %d - %@", query, code,
               connection_ ? sqlite3_errmsg(connection_->handle()) : "no connection");
  }
  noteResult(code);
  noteResult(step);
  return rows;
}

int TLDBStorage::selectEach(std::string_view query, const TLDBArguments& arguments,
                            const std::function<void(sqlite3_stmt* statement)>& onRow) {
  int code = SQLITE_MISUSE;
  int step = SQLITE_DONE;
  if (connection_) code = connection_->selectEach(query, arguments, onRow, &step);
  if (code != SQLITE_OK) {
    TLLogError(kTLLogTag, "Query \"%@\" failed with error: %d - %@", query, code,
               connection_ ? sqlite3_errmsg(connection_->handle()) : "no connection");
  }
  noteResult(code);
  noteResult(step);
  return code;
}

// ---- Operations ------------------------------------------------------------------------------

int TLDBStorage::executeQueryUsingBlock(const std::function<int(sqlite3* db)>& block) {
  int result = SQLITE_OK;
  TLDBConnection* connection = openConnection(&result);
  if (!connection) return result;
  const bool outermost = operationDepth_ == 0;
  if (outermost) corruptionSeen_ = false;
  ++operationDepth_;
  result = block(connection->handle());
  --operationDepth_;
  noteResult(result);
  // Only the outermost operation closes the connection: an enclosing block still holds it.
  if (outermost && corruptionSeen_) {
    TLLogError(kTLLogTag, "The database file is corrupted; it is deleted and made again.");
    corruptionSeen_ = false;
    dropDatabase();
    if (!isCorruption(result)) result = SQLITE_CORRUPT;
  }
  return result;
}

int TLDBStorage::executeNonSelectionQuery(std::string_view query, const TLDBArguments& arguments) {
  return executeQueryUsingBlock([&](sqlite3*) { return execute(query, arguments); });
}

TLDBRows TLDBStorage::executeSelectionQuery(std::string_view query, const TLDBArguments& arguments) {
  TLDBRows rows;
  executeQueryUsingBlock([&](sqlite3*) {
    int result = SQLITE_OK;
    rows = select(query, arguments, &result);
    return result;
  });
  return rows;
}

std::uint64_t TLDBStorage::countEntriesForTable(const std::string& table, std::string_view condition,
                                                const TLDBArguments& arguments) {
  std::string query = "SELECT COUNT(*) FROM " + quotedIdentifier(table) + " ";
  if (!condition.empty()) query += "WHERE " + std::string(condition);
  const TLDBRows rows = executeSelectionQuery(query, arguments);
  if (rows.empty() || rows.front().empty()) return 0;
  return rows.front().front().uintValue();
}

bool TLDBStorage::createTable(const std::string& table, const TLDBColumnsSchema& columnsSchema,
                              const std::vector<std::string>& uniqueColumns) {
  const int result = executeQueryUsingBlock([&](sqlite3* db) {
    if (tableExists(table, db)) return SQLITE_OK;
    std::string unique;
    if (!uniqueColumns.empty()) {
      std::vector<std::string> quoted;
      for (const std::string& column : uniqueColumns) quoted.push_back(quotedIdentifier(column));
      unique = ", UNIQUE(" + joined(quoted, ", ") + ")";
    }
    const int created = executeNonSelectionQuery(
        "CREATE TABLE " + quotedIdentifier(table) + " (" + columnsQueryFromColumnsSchema(columnsSchema) + unique + ");",
        db);
    if (created == SQLITE_OK) {
      TLLogVerbose(kTLLogTag, "Table %@ has been created", table);
    } else {
      TLLogError(kTLLogTag, "Failed to create table %@", table);
    }
    return created;
  });
  return result == SQLITE_OK;
}

bool TLDBStorage::dropTable(const std::string& table) {
  const int result = executeQueryUsingBlock([&](sqlite3* db) {
    if (!tableExists(table, db)) return SQLITE_OK;
    const int dropped = executeNonSelectionQuery("DROP TABLE " + quotedIdentifier(table) + ";", db);
    if (dropped == SQLITE_OK) {
      TLLogVerbose(kTLLogTag, "Table %@ has been deleted", table);
    } else {
      TLLogError(kTLLogTag, "Failed to delete table %@", table);
    }
    return dropped;
  });
  return result == SQLITE_OK;
}

void TLDBStorage::dropDatabase() {
  // The files go only once no connection holds them; the next operation opens a new one.
  connection_.reset();
  maxPageCount_ = 0;
  if (!dbFileURL_) {
    TLLogError(kTLLogTag, "Failed to delete database.");
    return;
  }
  // A journal or log left beside the deleted file would be played into the new one and corrupt it.
  foundation::FileManager& files = foundation::FileManager::defaultManager();
  for (const char* suffix : {"-journal", "-wal", "-shm"}) {
    const std::string companion = dbFileURL_->path() + suffix;
    if (files.fileExistsAtPath(companion)) TLUtility::deleteFileAtURL(net::URL::fileURLWithPath(companion));
  }
  if (!TLUtility::deleteFileAtURL(dbFileURL_)) {
    TLLogError(kTLLogTag, "Failed to delete database.");
    return;
  }
  TLLogVerbose(kTLLogTag, "Database %@ has been deleted.", dbFileURL_->absoluteString());
}

void TLDBStorage::setMaxStorageSize(std::int64_t sizeInBytes, const std::function<void(bool)>& completionHandler) {
  int openResult = SQLITE_OK;
  TLDBConnection* connection = openConnection(&openResult);
  bool success = false;
  if (connection) {
    sqlite3* db = connection->handle();
    const std::int64_t pageCount = getPageCountInOpenedDatabase(db);
    TLLogDebug(kTLLogTag, "Found %ld pages in the database.", pageCount);
    if (pageSize_ <= 0) {
      TLLogError(kTLLogTag, "Could not change maximum database size to %ld bytes. SQLite error code: %i", sizeInBytes,
                 SQLITE_ERROR);
    } else {
      const std::int64_t requestedPages = sizeInBytes / pageSize_ + (sizeInBytes % pageSize_ != 0 ? 1 : 0);
      if (requestedPages < pageCount) {
        TLLogWarning(kTLLogTag,
                     "Cannot change database size to %ld bytes as it would cause a loss of data. Maximum database "
                     "size will not be changed.",
                     sizeInBytes);
      } else if (const int result = setMaxPageCount(requestedPages, db); result != SQLITE_OK) {
        TLLogError(kTLLogTag, "Could not change maximum database size to %ld bytes. SQLite error code: %i", sizeInBytes,
                   result);
      } else {
        const std::int64_t maxPageCount = getMaxPageCountInOpenedDatabase(db);
        const std::int64_t newSize = maxPageCount * pageSize_;
        maxPageCount_ = maxPageCount;
        if (maxPageCount == requestedPages) {
          if (sizeInBytes == newSize) {
            TLLogInfo(kTLLogTag, "Changed maximum database size to %ld bytes.", sizeInBytes);
          } else {
            TLLogInfo(kTLLogTag, "Changed maximum database size to %ld bytes (next multiple of 4KiB).", newSize);
          }
          maxSizeInBytes_ = newSize;
          success = true;
        } else {
          TLLogError(kTLLogTag,
                     "Could not change maximum database size to %ld bytes, current maximum size is %ld bytes.",
                     sizeInBytes, newSize);
        }
      }
    }
  }
  // A caller waiting for the answer hears it also when the file could not be opened.
  if (completionHandler) completionHandler(success);
}

// ---- Class operations ------------------------------------------------------------------------

sqlite3* TLDBStorage::openDatabaseAtFileURL(const std::optional<net::URL>& url, int* result) {
  sqlite3* db = nullptr;
  int code = SQLITE_CANTOPEN;
  if (url) {
    code = sqlite3_open_v2(url->absoluteString().c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_URI,
                           nullptr);
  }
  if (code != SQLITE_OK) {
    TLLogError(kTLLogTag, "Failed to open database with result: %d.", code);
    sqlite3_close(db);  // SQLite may hand out a handle even when opening failed
    db = nullptr;
  }
  if (result) *result = code;
  return db;
}

int TLDBStorage::executeNonSelectionQuery(std::string_view query, sqlite3* db, const TLDBArguments& arguments) {
  std::string message;
  int result = SQLITE_OK;
  if (arguments.empty()) {
    char* error = nullptr;
    result = sqlite3_exec(db, std::string(query).c_str(), nullptr, nullptr, &error);
    if (error) message = error;
    sqlite3_free(error);
  } else {
    result = runBoundStatement(query, db, arguments, &message);
  }
  logNonSelectionFailure(query, result, message);
  return result;
}

TLDBRows TLDBStorage::executeSelectionQuery(std::string_view query, sqlite3* db, const TLDBArguments& arguments,
                                            int* result) {
  TLDBRows rows;
  sqlite3_stmt* statement = nullptr;
  int code = sqlite3_prepare_v2(db, query.data(), static_cast<int>(query.size()), &statement, nullptr);
  StatementFinalizer finalizer{statement};
  if (code == SQLITE_OK) code = TLDBConnection::bind(statement, arguments);
  if (result) *result = code;
  if (code != SQLITE_OK) {
    TLLogError(kTLLogTag, "Query \"%@\" failed with error: %d - %@", query, code, sqlite3_errmsg(db));
    return rows;
  }
  while (sqlite3_step(statement) == SQLITE_ROW) {
    TLDBRow row = TLDBConnection::readRow(statement);
    if (!row.empty()) rows.push_back(std::move(row));
  }
  return rows;
}

bool TLDBStorage::tableExists(const std::string& table, sqlite3* db, int* result) {
  const TLDBRows rows = executeSelectionQuery(
      "SELECT COUNT(*) FROM \"sqlite_master\" WHERE \"type\"='table' AND \"name\"=?;", db, {table}, result);
  return !rows.empty() && !rows.front().empty() && rows.front().front().intValue() != 0;
}

std::uint32_t TLDBStorage::versionInOpenedDatabase(sqlite3* db, int* result) {
  const TLDBRows rows = executeSelectionQuery("PRAGMA user_version", db, {}, result);
  if (rows.empty() || rows.front().empty()) return 0;
  return static_cast<std::uint32_t>(rows.front().front().intValue());
}

int TLDBStorage::setVersion(std::uint32_t version, sqlite3* db) {
  return executeNonSelectionQuery(foundation::stringWithFormat("PRAGMA user_version = %lu", version), db);
}

void TLDBStorage::enableAutoVacuumInOpenedDatabase(sqlite3* db) {
  if (querySingleValue("PRAGMA auto_vacuum", db) == 1) return;
  TLLogDebug(kTLLogTag, "Vacuuming database and enabling auto_vacuum");
  executeNonSelectionQuery("PRAGMA auto_vacuum = FULL; VACUUM", db);
}

int TLDBStorage::createTablesWithSchema(const TLDBSchema& schema, sqlite3* db) {
  std::vector<std::string> statements;
  for (const auto& [table, columns] : schema) {
    int result = SQLITE_OK;
    if (tableExists(table, db, &result)) continue;
    if (result != SQLITE_OK) return result;
    statements.push_back("CREATE TABLE " + quotedIdentifier(table) + " (" + columnsQueryFromColumnsSchema(columns) + ");");
  }
  if (statements.empty()) return SQLITE_OK;
  return executeNonSelectionQuery(joined(statements, "; "), db);
}

std::string TLDBStorage::columnsQueryFromColumnsSchema(const TLDBColumnsSchema& columnsSchema) {
  std::vector<std::string> columns;
  for (const auto& [name, words] : columnsSchema) columns.push_back(quotedIdentifier(name) + " " + joined(words, " "));
  return joined(columns, ", ");
}

TLDBColumnsIndexes TLDBStorage::columnsIndexes(const TLDBSchema& schema) {
  TLDBColumnsIndexes indexes;
  for (const auto& [table, columns] : schema) {
    auto& positions = indexes[table];
    for (std::size_t i = 0; i < columns.size(); ++i) positions[columns[i].first] = i;
  }
  return indexes;
}

std::int64_t TLDBStorage::getPageSizeInOpenedDatabase(sqlite3* db) { return querySingleValue("PRAGMA page_size;", db); }

std::int64_t TLDBStorage::getPageCountInOpenedDatabase(sqlite3* db) {
  return querySingleValue("PRAGMA page_count;", db);
}

std::int64_t TLDBStorage::getMaxPageCountInOpenedDatabase(sqlite3* db) {
  return querySingleValue("PRAGMA max_page_count;", db);
}

int TLDBStorage::setMaxPageCount(std::int64_t pageCount, sqlite3* db) {
  return executeNonSelectionQuery(foundation::stringWithFormat("PRAGMA max_page_count = %ld;", pageCount), db);
}

std::int64_t TLDBStorage::querySingleValue(std::string_view query, sqlite3* db) {
  const TLDBRows rows = executeSelectionQuery(query, db);
  if (rows.empty() || rows.front().empty()) return 0;
  return rows.front().front().intValue();
}

int TLDBStorage::configureSQLite() { return sqlite3_config(SQLITE_CONFIG_URI, 1); }

std::string TLDBStorage::quotedIdentifier(std::string_view identifier) {
  std::string quoted = "\"";
  for (const char c : identifier) {
    if (c == '"') quoted += '"';
    quoted += c;
  }
  return quoted + "\"";
}
