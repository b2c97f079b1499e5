#include "telemetry/core/Internals/Storage/TLDBConnection.h"

#include <sqlite3.h>
#include <sys/stat.h>

#include <cctype>

#include "telemetry/core/TLConstants.h"
#include "telemetry/core/TLLogger.h"

namespace {

// Kept statements beyond this are dropped (those not running) before another is kept: the
// statements of a store are few, but a list of ids in a statement makes one text per length.
constexpr std::size_t kMaximumKeptStatements = 64;

// Hands a kept statement back reset and unbound when the scope ends, whichever way it ends.
struct StatementReset {
  sqlite3_stmt* statement;
  ~StatementReset() {
    if (!statement) return;
    sqlite3_reset(statement);
    sqlite3_clear_bindings(statement);
  }
};

bool isBlank(const char* text) {
  for (; text && *text; ++text) {
    if (!std::isspace(static_cast<unsigned char>(*text)) && *text != ';') return false;
  }
  return true;
}

}  // namespace

std::unique_ptr<TLDBConnection> TLDBConnection::open(const net::URL& url, int* result) {
  sqlite3* db = nullptr;
  int code = sqlite3_open_v2(url.absoluteString().c_str(), &db,
                             SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_URI, nullptr);
  if (code != SQLITE_OK) {
    TLLogError(kTLLogTag, "Failed to open database with result: %d.", code);
    sqlite3_close(db);  // SQLite may hand out a handle even when opening failed
    if (result) *result = code;
    return nullptr;
  }
  std::unique_ptr<TLDBConnection> connection(new TLDBConnection(db, url.path()));
  sqlite3_busy_timeout(db, kBusyTimeoutMilliseconds);
  // The journal mode is the first read of the file: a file that is not a database fails here.
  std::string message;
  code = connection->run("PRAGMA journal_mode = WAL", {}, &message);
  if (code == SQLITE_OK) code = connection->run("PRAGMA synchronous = NORMAL", {}, &message);
  if (code != SQLITE_OK) {
    TLLogError(kTLLogTag, "Query \"%@\" failed with error: %d - %@", "PRAGMA journal_mode = WAL", code, message);
    if (result) *result = code;
    return nullptr;
  }
  if (result) *result = SQLITE_OK;
  return connection;
}

TLDBConnection::TLDBConnection(sqlite3* db, std::string path) : db_(db), path_(std::move(path)) {
  struct stat info {};
  if (::stat(path_.c_str(), &info) == 0) {
    device_ = info.st_dev;
    inode_ = info.st_ino;
    identified_ = true;
  }
}

TLDBConnection::~TLDBConnection() {
  for (auto& [sql, statement] : statements_) sqlite3_finalize(statement);
  sqlite3_close(db_);
}

bool TLDBConnection::isStillTheFileAtPath() const {
  struct stat info {};
  if (!identified_ || ::stat(path_.c_str(), &info) != 0) return false;
  return info.st_dev == device_ && info.st_ino == inode_;
}

sqlite3_stmt* TLDBConnection::statement(std::string_view sql, int* result, bool* single) {
  *single = true;
  const std::string key(sql);
  if (const auto kept = statements_.find(key); kept != statements_.end()) {
    *result = SQLITE_OK;
    return kept->second;
  }
  sqlite3_stmt* prepared = nullptr;
  const char* tail = nullptr;
  *result = sqlite3_prepare_v3(db_, key.c_str(), static_cast<int>(key.size()), SQLITE_PREPARE_PERSISTENT, &prepared,
                               &tail);
  if (*result != SQLITE_OK || !prepared) {
    sqlite3_finalize(prepared);
    return nullptr;
  }
  if (!isBlank(tail)) {
    sqlite3_finalize(prepared);
    *single = false;
    return nullptr;
  }
  if (statements_.size() >= kMaximumKeptStatements) {
    std::erase_if(statements_, [](const auto& entry) {
      if (sqlite3_stmt_busy(entry.second)) return false;
      sqlite3_finalize(entry.second);
      return true;
    });
  }
  statements_.emplace(key, prepared);
  return prepared;
}

int TLDBConnection::run(std::string_view sql, const TLDBArguments& arguments, std::string* message) {
  int result = SQLITE_OK;
  bool single = true;
  sqlite3_stmt* prepared = statement(sql, &result, &single);
  if (!single && arguments.empty()) {
    char* error = nullptr;
    result = sqlite3_exec(db_, std::string(sql).c_str(), nullptr, nullptr, &error);
    if (result != SQLITE_OK && message) *message = error ? error : sqlite3_errmsg(db_);
    sqlite3_free(error);
    return result;
  }
  if (!single) result = SQLITE_MISUSE;  // arguments for several statements: none could be bound
  StatementReset reset{prepared};
  if (result == SQLITE_OK) result = bind(prepared, arguments);
  while (result == SQLITE_OK) {
    const int step = sqlite3_step(prepared);
    if (step == SQLITE_DONE) break;
    if (step != SQLITE_ROW) result = step;
  }
  if (result != SQLITE_OK && message) *message = sqlite3_errmsg(db_);
  return result;
}

int TLDBConnection::select(std::string_view sql, const TLDBArguments& arguments, TLDBRows* rows, int* stepResult) {
  return selectEach(
      sql, arguments,
      [rows](sqlite3_stmt* statement) {
        TLDBRow row = readRow(statement);
        if (!row.empty()) rows->push_back(std::move(row));
      },
      stepResult);
}

int TLDBConnection::selectEach(std::string_view sql, const TLDBArguments& arguments,
                               const std::function<void(sqlite3_stmt*)>& onRow, int* stepResult) {
  int result = SQLITE_OK;
  bool single = true;
  sqlite3_stmt* prepared = statement(sql, &result, &single);
  if (!single) result = SQLITE_MISUSE;
  StatementReset reset{prepared};
  if (result == SQLITE_OK) result = bind(prepared, arguments);
  int step = SQLITE_DONE;
  if (result == SQLITE_OK) {
    while ((step = sqlite3_step(prepared)) == SQLITE_ROW) onRow(prepared);
  }
  if (stepResult) *stepResult = step;
  return result;
}

int TLDBConnection::bind(sqlite3_stmt* statement, const TLDBArguments& arguments) {
  int index = 0;
  for (const foundation::Value& value : arguments) {
    ++index;
    int result = SQLITE_OK;
    if (value.isString()) {
      const std::string& text = value.stringValue();
      result = sqlite3_bind_text(statement, index, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
    } else if (value.isInteger() || value.isBool()) {
      result = sqlite3_bind_int64(statement, index, value.intValue());
    } else if (value.isDouble()) {
      result = sqlite3_bind_double(statement, index, value.doubleValue());
    } else {
      result = sqlite3_bind_null(statement, index);
    }
    if (result != SQLITE_OK) return result;
  }
  return SQLITE_OK;
}

TLDBRow TLDBConnection::readRow(sqlite3_stmt* statement, int skippedColumn) {
  TLDBRow row;
  const int count = sqlite3_column_count(statement);
  row.reserve(static_cast<std::size_t>(count));
  for (int column = 0; column < count; ++column) {
    switch (column == skippedColumn ? SQLITE_NULL : sqlite3_column_type(statement, column)) {
      case SQLITE_TEXT: {
        const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(statement, column));
        row.emplace_back(std::string(text ? text : "", static_cast<std::size_t>(sqlite3_column_bytes(statement, column))));
        break;
      }
      case SQLITE_INTEGER:
        row.emplace_back(static_cast<long long>(sqlite3_column_int64(statement, column)));
        break;
      default:
        row.emplace_back();
        break;
    }
  }
  return row;
}
