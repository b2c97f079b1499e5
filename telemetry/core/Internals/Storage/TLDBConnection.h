#pragma once
// TLDBConnection is the one SQLite connection a store keeps open to its file: it keeps the
// statements it prepared for reuse and remembers which file it opened, so that a file deleted or
// replaced behind its back is noticed before the next statement runs.
//
// The file is kept in write-ahead-log mode with synchronous NORMAL. A committed transaction
// survives the process crashing or being killed (it is in the log, in the file system's cache);
// a power cut or a kernel crash may lose the transactions committed since the log was last synced
// at a checkpoint, but never leaves the file inconsistent. A connection that only reads never
// blocks a write, and the busy timeout waits out the short locks that writers and recovery take,
// so another process reading the file never makes a statement here fail.
//
// Not thread-safe: one thread at a time uses a connection (the store's queue).
#include <sys/types.h>

#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "platform/foundation/Value.h"
#include "platform/net/URL.h"

struct sqlite3;
struct sqlite3_stmt;

// One result row, cells in column order: TEXT as a string, INTEGER as a 64-bit integer, any other
// cell (NULL, REAL, BLOB) as null.
using TLDBRow = std::vector<foundation::Value>;
using TLDBRows = std::vector<TLDBRow>;
// Values bound to a statement's "?" parameters in order: strings as TEXT, integers and Booleans as
// INTEGER, doubles as REAL, null as NULL (other kinds bind NULL).
using TLDBArguments = std::vector<foundation::Value>;

class TLDBConnection {
 public:
  // How long a statement waits for another connection's lock before it answers SQLITE_BUSY.
  static constexpr int kBusyTimeoutMilliseconds = 10000;

  // Opens the file at `url` (its "file:" URI, read-write, created when missing) and puts it in
  // write-ahead-log mode. Null when it cannot be opened, or is not a database (logged); *result
  // gets SQLite's code either way.
  static std::unique_ptr<TLDBConnection> open(const net::URL& url, int* result);
  // Finalizes the kept statements and closes the connection.
  ~TLDBConnection();
  TLDBConnection(const TLDBConnection&) = delete;
  TLDBConnection& operator=(const TLDBConnection&) = delete;

  // The handle, owned by the connection: callers must not close it.
  sqlite3* handle() const { return db_; }
  // Whether the path still names the file that was opened: false once it was deleted, or
  // replaced by another file.
  bool isStillTheFileAtPath() const;

  // Runs one statement (or, without arguments, several separated by ";") to its end. Answers
  // SQLite's code; *message gets SQLite's text when it is not SQLITE_OK.
  int run(std::string_view sql, const TLDBArguments& arguments, std::string* message);
  // The rows of one selection. Answers the prepare (or bind) code; *stepResult gets the code that
  // ended the rows (SQLITE_DONE when all were read).
  int select(std::string_view sql, const TLDBArguments& arguments, TLDBRows* rows, int* stepResult);

  // The same, handing each row to `onRow` as the statement stands on it (the row's cells are
  // valid only during the call), instead of copying it.
  int selectEach(std::string_view sql, const TLDBArguments& arguments, const std::function<void(sqlite3_stmt*)>& onRow,
                 int* stepResult);

  // Binds `arguments` to `statement`'s parameters in order; SQLite's code.
  static int bind(sqlite3_stmt* statement, const TLDBArguments& arguments);
  // The current row of `statement`; the cell at `skippedColumn` (when given) is left null.
  static TLDBRow readRow(sqlite3_stmt* statement, int skippedColumn = -1);

 private:
  TLDBConnection(sqlite3* db, std::string path);
  // The kept statement for `sql`, prepared on first use; null (with the code) when it does not
  // prepare, or when `sql` holds more than one statement (*single is then false).
  sqlite3_stmt* statement(std::string_view sql, int* result, bool* single);

  sqlite3* db_;
  std::string path_;
  dev_t device_ = 0;
  ino_t inode_ = 0;
  bool identified_ = false;
  std::unordered_map<std::string, sqlite3_stmt*> statements_;
};
