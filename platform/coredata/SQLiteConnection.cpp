#include "platform/coredata/SQLiteConnection.h"

#include <sqlite3.h>

#include "platform/coredata/CoreDataErrors.h"

namespace coredata {

namespace {

foundation::Error sqliteError(int code, const std::string& message) {
  foundation::Dictionary userInfo;
  userInfo.set(foundation::kLocalizedDescriptionKey, message);
  userInfo.set("NSSQLiteErrorCode", code);
  return foundation::Error(kSQLiteErrorDomain, code, std::move(userInfo));
}

}  // namespace

std::string quoteIdentifier(const std::string& name) {
  std::string quoted = "\"";
  for (char c : name) {
    if (c == '"') quoted += '"';
    quoted += c;
  }
  return quoted + "\"";
}

SQLiteStatement::SQLiteStatement(SQLiteConnection& connection, sqlite3_stmt* statement)
    : connection_(connection), statement_(statement) {}

SQLiteStatement::~SQLiteStatement() { sqlite3_finalize(statement_); }

void SQLiteStatement::bind(int index, const foundation::Value& value) {
  using T = foundation::Value::Type;
  switch (value.type()) {
    case T::Bool:
      sqlite3_bind_int64(statement_, index, value.boolValue() ? 1 : 0);
      return;
    case T::Int:
    case T::UInt:
      sqlite3_bind_int64(statement_, index, value.intValue());
      return;
    case T::Double:
      sqlite3_bind_double(statement_, index, value.doubleValue());
      return;
    case T::String:
      sqlite3_bind_text(statement_, index, value.stringValue().data(), static_cast<int>(value.stringValue().size()),
                        SQLITE_TRANSIENT);
      return;
    case T::Data:
      sqlite3_bind_blob(statement_, index, value.dataValue().data(), static_cast<int>(value.dataValue().size()),
                        SQLITE_TRANSIENT);
      return;
    case T::Date:
      sqlite3_bind_double(statement_, index, value.dateValue().timeIntervalSinceReferenceDate());
      return;
    default:
      sqlite3_bind_null(statement_, index);
  }
}

void SQLiteStatement::bindInt(int index, std::int64_t value) { sqlite3_bind_int64(statement_, index, value); }

bool SQLiteStatement::step(foundation::Error* error, bool* failed) {
  int rc = sqlite3_step(statement_);
  if (failed) *failed = false;
  if (rc == SQLITE_ROW) return true;
  if (rc == SQLITE_DONE) return false;
  if (failed) *failed = true;
  if (error) *error = connection_.lastError(rc);
  return false;
}

bool SQLiteStatement::run(foundation::Error* error) {
  bool failed = false;
  while (step(error, &failed)) {
  }
  return !failed;
}

void SQLiteStatement::reset() {
  sqlite3_reset(statement_);
  sqlite3_clear_bindings(statement_);
}

bool SQLiteStatement::isNull(int column) const { return sqlite3_column_type(statement_, column) == SQLITE_NULL; }
std::int64_t SQLiteStatement::intColumn(int column) const { return sqlite3_column_int64(statement_, column); }
double SQLiteStatement::doubleColumn(int column) const { return sqlite3_column_double(statement_, column); }

std::string SQLiteStatement::textColumn(int column) const {
  auto text = reinterpret_cast<const char*>(sqlite3_column_text(statement_, column));
  if (!text) return {};
  return std::string(text, static_cast<std::size_t>(sqlite3_column_bytes(statement_, column)));
}

foundation::Data SQLiteStatement::blobColumn(int column) const {
  auto bytes = static_cast<const std::uint8_t*>(sqlite3_column_blob(statement_, column));
  int size = sqlite3_column_bytes(statement_, column);
  if (!bytes || size <= 0) return {};
  return foundation::Data(bytes, bytes + size);
}

foundation::Value SQLiteStatement::valueColumn(int column) const {
  switch (sqlite3_column_type(statement_, column)) {
    case SQLITE_INTEGER:
      return foundation::Value(static_cast<long long>(intColumn(column)));
    case SQLITE_FLOAT:
      return foundation::Value(doubleColumn(column));
    case SQLITE_TEXT:
      return foundation::Value(textColumn(column));
    case SQLITE_BLOB:
      return foundation::Value(blobColumn(column));
    default:
      return foundation::Value();
  }
}

SQLiteConnection::~SQLiteConnection() { sqlite3_close_v2(db_); }

std::unique_ptr<SQLiteConnection> SQLiteConnection::open(const std::string& path, bool readOnly,
                                                         foundation::Error* error) {
  sqlite3* db = nullptr;
  int flags = (readOnly ? SQLITE_OPEN_READONLY : (SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE)) | SQLITE_OPEN_NOMUTEX;
  int rc = sqlite3_open_v2(path.c_str(), &db, flags, nullptr);
  if (rc != SQLITE_OK) {
    if (error) *error = sqliteError(rc, db ? sqlite3_errmsg(db) : sqlite3_errstr(rc));
    sqlite3_close_v2(db);
    return nullptr;
  }
  sqlite3_extended_result_codes(db, 1);
  // Another process may hold the write lock for a moment (its own save); wait for it rather
  // than failing the save.
  sqlite3_busy_timeout(db, 10000);
  return std::unique_ptr<SQLiteConnection>(new SQLiteConnection(db));
}

bool SQLiteConnection::exec(const std::string& sql, foundation::Error* error) {
  char* message = nullptr;
  int rc = sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, &message);
  if (rc == SQLITE_OK) return true;
  if (error) *error = sqliteError(rc, message ? message : sqlite3_errstr(rc));
  sqlite3_free(message);
  return false;
}

std::unique_ptr<SQLiteStatement> SQLiteConnection::prepare(const std::string& sql, foundation::Error* error) {
  sqlite3_stmt* statement = nullptr;
  int rc = sqlite3_prepare_v2(db_, sql.c_str(), -1, &statement, nullptr);
  if (rc != SQLITE_OK) {
    if (error) *error = lastError(rc);
    sqlite3_finalize(statement);
    return nullptr;
  }
  return std::make_unique<SQLiteStatement>(*this, statement);
}

foundation::Error SQLiteConnection::lastError(int resultCode) const {
  return sqliteError(resultCode, sqlite3_errmsg(db_));
}

int SQLiteConnection::changes() const { return sqlite3_changes(db_); }

std::optional<bool> SQLiteConnection::tableExists(const std::string& name, foundation::Error* error) {
  auto statement = prepare("SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = ?", error);
  if (!statement) return std::nullopt;
  statement->bind(1, name);
  bool failed = false;
  bool found = statement->step(error, &failed);
  if (failed) return std::nullopt;
  return found;
}

}  // namespace coredata
