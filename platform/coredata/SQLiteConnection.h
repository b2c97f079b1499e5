#pragma once
// SQLiteConnection is the store's thin wrapper over one SQLite database handle: opening, running
// statements with bound Values, and turning SQLite failures into errors. Not thread-safe: the
// coordinator's lock serialises its use.
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/Error.h"
#include "platform/foundation/Value.h"

struct sqlite3;
struct sqlite3_stmt;

namespace coredata {

class SQLiteConnection;

// One prepared statement. Columns are read as Values by their stored SQLite type.
class SQLiteStatement {
 public:
  SQLiteStatement(SQLiteConnection& connection, sqlite3_stmt* statement);
  ~SQLiteStatement();
  SQLiteStatement(const SQLiteStatement&) = delete;
  SQLiteStatement& operator=(const SQLiteStatement&) = delete;

  // Binds parameter `index` (1-based): null, integer, double, text or blob; Booleans as 0/1,
  // dates as seconds since the reference date. Other Values bind as null.
  void bind(int index, const foundation::Value& value);
  void bindInt(int index, std::int64_t value);
  // Steps once: true when a row is ready, false when done. False with `*error` on failure.
  bool step(foundation::Error* error, bool* failed);
  // Runs to completion; false with `*error` on failure.
  bool run(foundation::Error* error);
  void reset();

  bool isNull(int column) const;
  std::int64_t intColumn(int column) const;
  double doubleColumn(int column) const;
  std::string textColumn(int column) const;
  foundation::Data blobColumn(int column) const;
  // The column as a Value by its SQLite type (integer, real, text, blob or null).
  foundation::Value valueColumn(int column) const;

 private:
  SQLiteConnection& connection_;
  sqlite3_stmt* statement_;
};

class SQLiteConnection {
 public:
  ~SQLiteConnection();
  SQLiteConnection(const SQLiteConnection&) = delete;
  SQLiteConnection& operator=(const SQLiteConnection&) = delete;

  // Opens (creating unless `readOnly`) the file; null with `*error` (SQLite domain) on failure.
  static std::unique_ptr<SQLiteConnection> open(const std::string& path, bool readOnly, foundation::Error* error);

  // Runs SQL without results (may hold several statements); false with `*error` on failure.
  bool exec(const std::string& sql, foundation::Error* error);
  // Prepares one statement; null with `*error` on failure.
  std::unique_ptr<SQLiteStatement> prepare(const std::string& sql, foundation::Error* error);
  // The error SQLite reports now, in kSQLiteErrorDomain with its result code.
  foundation::Error lastError(int resultCode) const;
  // Rows changed by the last statement.
  int changes() const;
  // Whether a table of that name exists; nothing with `*error` when the file cannot be read.
  std::optional<bool> tableExists(const std::string& name, foundation::Error* error);

  sqlite3* handle() const { return db_; }

 private:
  explicit SQLiteConnection(sqlite3* db) : db_(db) {}
  sqlite3* db_;
};

// `name` as a quoted SQL identifier.
std::string quoteIdentifier(const std::string& name);

}  // namespace coredata
