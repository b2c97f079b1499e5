#pragma once
// TLDBStorage is the SDK's base over one SQLite file in the SDK directory: a schema it creates,
// a version kept in SQLite's user_version with a migration hook, and a size limit enforced by
// SQLite's max_page_count.
//
// The store keeps one connection open (see TLDBConnection for the journal and what a crash or a
// power cut may cost), with its prepared statements, and applies the size limit to it when the
// limit changes. Before each operation it checks that the path still names the file it opened: a
// file deleted or replaced behind its back is opened again and configured as at start, and a file
// SQLite calls corrupt or not a database is deleted and made again. Statements take their values
// as bound parameters, never spliced into the text; only identifiers of our own and numbers of
// pragmas are written in.
//
// The class has no lock: the owner calls it from one thread at a time (the log store runs only
// on the channel group's queue).
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/foundation/Value.h"
#include "platform/net/URL.h"
#include "telemetry/core/Internals/Storage/TLDBConnection.h"

struct sqlite3;
struct sqlite3_stmt;

// A table's columns in order: each the column name and the words of its type and constraints
// ({"id", {"INTEGER", "PRIMARY KEY", "AUTOINCREMENT"}}).
using TLDBColumnsSchema = std::vector<std::pair<std::string, std::vector<std::string>>>;
// Tables in creation order, each with its columns.
using TLDBSchema = std::vector<std::pair<std::string, TLDBColumnsSchema>>;
// For each table, each column's 0-based position in its columns schema (its cell in "SELECT *").
using TLDBColumnsIndexes = std::map<std::string, std::map<std::string, std::size_t>>;

class TLDBStorage {
 public:
  // The size limit every store starts with: 10 MiB.
  static constexpr std::int64_t kDefaultMaxSizeInBytes = 10 * 1024 * 1024;

  // Creates (or opens) `filename` in the SDK directory and configures it: the schema's missing
  // tables, the version (stored versions below `version` are handed to migrateDatabase, which does
  // nothing here), auto-vacuum. A file SQLite calls corrupt or not a database is deleted and made
  // again. Failures are logged; the store is usable as far as the file is.
  TLDBStorage(const std::optional<TLDBSchema>& schema, std::uint32_t version, const std::string& filename);
  TLDBStorage(std::uint32_t version, const std::string& filename) : TLDBStorage(std::nullopt, version, filename) {}
  virtual ~TLDBStorage();
  TLDBStorage(const TLDBStorage&) = delete;
  TLDBStorage& operator=(const TLDBStorage&) = delete;

  // Runs `block` with the open handle (borrowed: the block must not close it), opening and
  // configuring the file first when it is not open, or no longer the file at the path. Answers
  // the block's code; the open code when the file cannot be opened; SQLITE_CORRUPT or
  // SQLITE_NOTADB, without running the block, when the limit cannot be applied for that reason.
  // A file found corrupt or not a database, here or by the block, is deleted and made again at
  // the next operation; the answer is then SQLITE_CORRUPT or SQLITE_NOTADB.
  int executeQueryUsingBlock(const std::function<int(sqlite3* db)>& block);
  // One statement (or several separated by ";" when there are no arguments) in one operation.
  // Answers SQLite's result code; failures are logged.
  int executeNonSelectionQuery(std::string_view query, const TLDBArguments& arguments = {});
  // The rows of one selection in one operation; empty when it fails (logged) or cannot run.
  TLDBRows executeSelectionQuery(std::string_view query, const TLDBArguments& arguments = {});
  // The number of rows of `table`, all of them when `condition` is empty, else those matching
  // the condition (SQL text with "?" for `arguments`). 0 when counting fails.
  std::uint64_t countEntriesForTable(const std::string& table, std::string_view condition = {},
                                     const TLDBArguments& arguments = {});
  // Creates `table` unless it exists, with UNIQUE(...) over `uniqueColumns` when there are some.
  // True when the table exists afterwards without error.
  bool createTable(const std::string& table, const TLDBColumnsSchema& columnsSchema,
                   const std::vector<std::string>& uniqueColumns = {});
  // Drops `table`; true also when it did not exist.
  bool dropTable(const std::string& table);
  // Closes the connection and deletes the database file and SQLite's journal, write-ahead log and
  // shared-memory files beside it; logged either way. The next operation makes a new file.
  void dropDatabase();
  // Sets the size limit to `sizeInBytes` rounded up to whole pages, refusing a limit below the
  // pages already in use. Calls `completionHandler` (when given) before returning, with whether
  // the limit changed; also with false when the file cannot be opened.
  void setMaxStorageSize(std::int64_t sizeInBytes, const std::function<void(bool)>& completionHandler);

  // Hook for subclasses: runs once, on the open handle, when the file was created by this store.
  virtual void customizeDatabase(sqlite3* db);
  // Hook for subclasses: runs on the open handle when the file holds a version below the
  // requested one, with the version found.
  virtual void migrateDatabase(sqlite3* db, std::uint32_t fromVersion);
  // Hook for subclasses: the store is about to open a file other than the one it had open (it
  // was deleted, replaced, or made again after corruption); row ids known so far mean nothing in
  // it.
  virtual void databaseFileWillChange() {}

  // The file's URL; nothing when it could not be made in the SDK directory.
  const std::optional<net::URL>& dbFileURL() const { return dbFileURL_; }
  std::int64_t maxSizeInBytes() const { return maxSizeInBytes_; }
  // The page size in bytes; 0 until a connection could read it.
  std::int64_t pageSize() const { return pageSize_; }

  // ---- Class operations on a handle the caller opened ----------------------------------------

  // Opens the file URL's text as a "file:" URI, read-write, creating it. Answers the handle, which
  // the caller closes with sqlite3_close, or null (logged); *result gets SQLite's code either way.
  static sqlite3* openDatabaseAtFileURL(const std::optional<net::URL>& url, int* result);
  static int executeNonSelectionQuery(std::string_view query, sqlite3* db, const TLDBArguments& arguments = {});
  // *result (when given) gets the prepare step's code. Failures to prepare are logged; a failing
  // step ends the rows without a message.
  static TLDBRows executeSelectionQuery(std::string_view query, sqlite3* db, const TLDBArguments& arguments = {},
                                        int* result = nullptr);
  // Whether `table` exists; *result (when given) gets the check's prepare code.
  static bool tableExists(const std::string& table, sqlite3* db, int* result = nullptr);
  static std::uint32_t versionInOpenedDatabase(sqlite3* db, int* result = nullptr);
  static int setVersion(std::uint32_t version, sqlite3* db);
  // Turns on auto_vacuum FULL, vacuuming once, unless it is on already.
  static void enableAutoVacuumInOpenedDatabase(sqlite3* db);
  // Creates the schema's tables that do not exist yet, in one statement. SQLite's code.
  static int createTablesWithSchema(const TLDBSchema& schema, sqlite3* db);
  // The columns clause: "\"name\" WORDS" per column, joined by ", ".
  static std::string columnsQueryFromColumnsSchema(const TLDBColumnsSchema& columnsSchema);
  static TLDBColumnsIndexes columnsIndexes(const TLDBSchema& schema);
  static std::int64_t getPageSizeInOpenedDatabase(sqlite3* db);
  static std::int64_t getPageCountInOpenedDatabase(sqlite3* db);
  static std::int64_t getMaxPageCountInOpenedDatabase(sqlite3* db);
  static int setMaxPageCount(std::int64_t pageCount, sqlite3* db);
  // The first cell of the first row as a 64-bit integer; 0 when there is none.
  static std::int64_t querySingleValue(std::string_view query, sqlite3* db);
  // Lets SQLite read URI file names process-wide. Runs once while the program loads, before any
  // connection; answers SQLite's code (SQLITE_MISUSE when SQLite was already in use).
  static int configureSQLite();
  // `identifier` between double quotes, inner double quotes doubled.
  static std::string quotedIdentifier(std::string_view identifier);

 protected:
  // For subclasses whose hooks must be in place first: configure() does the work the public
  // constructor does, and the subclass's constructor calls it once.
  TLDBStorage() = default;
  void configure(const std::optional<TLDBSchema>& schema, std::uint32_t version, const std::string& filename);
  // One configuration attempt; SQLite's code. On success the store's connection is open.
  int configureDatabaseWithSchema(const std::optional<TLDBSchema>& schema, std::uint32_t version,
                                  const std::string& filename);

  // ---- For subclasses, inside executeQueryUsingBlock: the open connection's kept statements ----

  // One statement with bound values; SQLite's code, failures logged as executeNonSelectionQuery.
  int execute(std::string_view query, const TLDBArguments& arguments = {});
  // The rows of one selection; *result (when given) gets the prepare code. Failures are logged.
  TLDBRows select(std::string_view query, const TLDBArguments& arguments = {}, int* result = nullptr);
  // The rows of one selection, each handed to `onRow` as the statement stands on it; SQLite's
  // prepare code. Failures are logged.
  int selectEach(std::string_view query, const TLDBArguments& arguments,
                 const std::function<void(sqlite3_stmt* statement)>& onRow);
  // The page limit in force on the connection.
  std::int64_t maxPageCount() const { return maxPageCount_; }

 private:
  // The open connection to the file at the path, opened (and the file configured) when needed
  // and with the current size limit; null with *result SQLite's code when there is none.
  TLDBConnection* openConnection(int* result);
  // Configures the remembered schema, dropping and making again a file that is not a database.
  int configureOrRecreate();
  // Sets the connection's page limit to the size limit unless it is in force; SQLite's code.
  int applyPageLimit();
  // Reads the page size from `db` while it is still unknown (the file could not be opened during
  // configuration).
  void refreshPageSize(sqlite3* db);
  // Notes a corrupt file for the end of the operation.
  void noteResult(int result);

  std::optional<TLDBSchema> schema_;
  std::uint32_t version_ = 0;
  std::string filename_;
  std::optional<net::URL> dbFileURL_;
  std::int64_t maxSizeInBytes_ = kDefaultMaxSizeInBytes;
  std::int64_t pageSize_ = 0;
  std::unique_ptr<TLDBConnection> connection_;
  std::int64_t maxPageCount_ = 0;  // what the connection enforces; 0 before it is set
  bool hadConnection_ = false;     // a file was open once: opening another one changes the file
  bool corruptionSeen_ = false;
  int operationDepth_ = 0;
};
