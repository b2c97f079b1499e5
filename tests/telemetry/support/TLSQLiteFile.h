#pragma once
// A direct SQLite connection to a database file, for tests that build files at earlier versions or
// look at what a store wrote without going through it. Every failure fails the test.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <string>
#include <vector>

namespace test {

class TLSQLiteFile {
 public:
  explicit TLSQLiteFile(const std::string& path) {
    EXPECT_EQ(sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr), SQLITE_OK)
        << path;
  }
  ~TLSQLiteFile() { sqlite3_close(db_); }
  TLSQLiteFile(const TLSQLiteFile&) = delete;
  TLSQLiteFile& operator=(const TLSQLiteFile&) = delete;

  // Runs statements that answer no rows.
  void exec(const std::string& sql) {
    char* error = nullptr;
    EXPECT_EQ(sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, &error), SQLITE_OK) << sql << ": " << (error ? error : "");
    sqlite3_free(error);
  }
  // Every row as text cells; a NULL cell as "NULL".
  std::vector<std::vector<std::string>> rows(const std::string& sql) {
    std::vector<std::vector<std::string>> result;
    sqlite3_stmt* statement = nullptr;
    EXPECT_EQ(sqlite3_prepare_v2(db_, sql.c_str(), -1, &statement, nullptr), SQLITE_OK) << sql << ": " << sqlite3_errmsg(db_);
    while (statement && sqlite3_step(statement) == SQLITE_ROW) {
      std::vector<std::string> row;
      for (int i = 0; i < sqlite3_column_count(statement); ++i) {
        const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(statement, i));
        row.push_back(text ? text : "NULL");
      }
      result.push_back(std::move(row));
    }
    sqlite3_finalize(statement);
    return result;
  }
  // The first cell of the first row; "" when there is none.
  std::string value(const std::string& sql) {
    const auto all = rows(sql);
    return all.empty() || all.front().empty() ? "" : all.front().front();
  }
  // "name type notnull default" of each column of `table`, in order.
  std::vector<std::string> columns(const std::string& table) {
    std::vector<std::string> described;
    for (const auto& row : rows("PRAGMA table_info(\"" + table + "\")")) {
      described.push_back(row[1] + " " + row[2] + " " + row[3] + " " + row[4]);
    }
    return described;
  }

 private:
  sqlite3* db_ = nullptr;
};

}  // namespace test
