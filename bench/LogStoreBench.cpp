// Throughput of the telemetry log store: 10,000 logs saved as a channel unit hands them over from
// its queue (in bursts, committed together) and, for comparison, one by one; then loaded back all
// at once and the way a channel unit does (batches of 50, each deleted after it is loaded).
// Beside each, in the same run, the sqlite3 tool on the same work over a file of the same schema
// and rows of the same size: the inserts in one transaction (and one transaction each), the
// select of all rows, and the batch queries. Prints rates and, for each, store time / sqlite3
// time; nothing is asserted. The first argument names the folder for the temporary data
// (default /tmp), since the cost of a commit depends on the disk. Never the user's folders.
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "platform/foundation/KeyedArchiver.h"
#include "platform/security/Base64.h"
#include "telemetry/core/Internals/Model/TLStartServiceLog.h"
#include "telemetry/core/Internals/Storage/TLLogDBStorage.h"
#include "telemetry/core/TLArchivableClasses.h"
#include "tests/telemetry/support/TLModelFixtures.h"

namespace {

constexpr int kLogs = 10000;
constexpr int kBatch = 50;
constexpr int kBurst = 200;  // logs waiting on the queue at once
constexpr std::int64_t kMaxSize = 64 << 20;  // room for every log: the default would evict

using Clock = std::chrono::steady_clock;

double seconds(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

std::shared_ptr<TLStartServiceLog> makeLog(int i) {
  auto log = std::make_shared<TLStartServiceLog>();
  log->setSid("session-" + std::to_string(i));
  log->setTimestamp(foundation::Date::now());
  log->setDevice(test::minimalDevice());
  log->setServices(std::vector<std::string>{"Analytics", "Crashes"});
  return log;
}

// Seconds the sqlite3 tool takes to run `script` on the file at `path`.
double sqliteTool(const std::string& path, const std::string& script) {
  const std::string scriptPath = path + ".sql";
  std::ofstream(scriptPath) << script;
  const auto start = Clock::now();
  const std::string command = "sqlite3 '" + path + "' < '" + scriptPath + "' > /dev/null";
  if (std::system(command.c_str()) != 0) std::fprintf(stderr, "sqlite3 failed: %s\n", command.c_str());
  return seconds(start);
}

// A file of the store's schema, journal and indexes, holding kLogs rows of `text`; the seconds
// the inserts took.
double sqliteInserts(const std::string& path, const std::string& text, bool oneTransaction) {
  std::filesystem::remove(path);
  std::string script =
      "PRAGMA journal_mode = WAL; PRAGMA synchronous = NORMAL; PRAGMA auto_vacuum = FULL;\n"
      "CREATE TABLE \"logs\" (\"id\" INTEGER PRIMARY KEY AUTOINCREMENT, \"groupId\" TEXT NOT NULL, \"log\" TEXT NOT "
      "NULL, \"targetToken\" TEXT, \"targetKey\" TEXT, \"priority\" INTEGER, \"timestamp\" INTEGER);\n"
      "CREATE INDEX \"ix_logs_priority\" ON \"logs\" (\"priority\");\n"
      "CREATE INDEX \"ix_logs_groupId_priority_id\" ON \"logs\" (\"groupId\", \"priority\" DESC, \"id\");\n";
  if (oneTransaction) script += "BEGIN;\n";
  for (int i = 0; i < kLogs; ++i) {
    script += "INSERT INTO \"logs\" (\"groupId\", \"log\", \"priority\", \"timestamp\") VALUES ('Analytics', '" + text +
              "', 1, " + std::to_string(i) + ");\n";
  }
  if (oneTransaction) script += "COMMIT;\n";
  return sqliteTool(path, script);
}

void printRatio(const char* what, int count, double storeSeconds, const char* anchor, double toolSeconds) {
  std::printf("%-34s %6d in %7.3f s %9.0f /s | sqlite3 %-26s %7.3f s %9.0f /s | store/sqlite3 = %.2f\n", what, count,
              storeSeconds, count / storeSeconds, anchor, toolSeconds, count / toolSeconds, storeSeconds / toolSeconds);
}

}  // namespace

int main(int argc, char** argv) {
  std::string pattern = std::string(argc > 1 ? argv[1] : "/tmp") + "/qm-logstore-bench-XXXXXX";
  char* folder = pattern.data();
  if (!mkdtemp(folder)) return 1;
  setenv("XDG_DATA_HOME", folder, 1);
  TLRegisterArchivableClasses();

  // Saves as a channel unit makes them: each burst announced, then handed over in turn.
  double groupedSeconds = 0;
  {
    TLLogDBStorage store;
    store.setMaxStorageSize(kMaxSize, nullptr);
    int failed = 0;
    const auto start = Clock::now();
    for (int first = 0; first < kLogs; first += kBurst) {
      for (int i = 0; i < kBurst; ++i) store.announceSave();
      for (int i = first; i < first + kBurst; ++i) {
        store.saveLogWhenReady(makeLog(i), "Analytics", TLFlagsNormal, [&failed](bool stored) { failed += !stored; });
      }
    }
    groupedSeconds = seconds(start);
    if (failed) std::fprintf(stderr, "%d grouped saves failed\n", failed);
    store.dropDatabase();
  }

  TLLogDBStorage store;
  store.setMaxStorageSize(kMaxSize, nullptr);
  const auto singleStart = Clock::now();
  for (int i = 0; i < kLogs; ++i) {
    if (!store.saveLog(makeLog(i), "Analytics", TLFlagsNormal)) std::fprintf(stderr, "save %d failed\n", i);
  }
  const double singleSeconds = seconds(singleStart);

  std::size_t loadedAll = 0;
  const auto loadAllStart = Clock::now();
  {
    TLLogDBStorage reader;  // a second store, as after a restart: nothing pending
    reader.loadLogsWithGroupId("Analytics", kLogs, std::nullopt, std::nullopt, std::nullopt,
                               [&](const auto& logs, const auto&) { loadedAll = logs.size(); });
  }
  const double loadAllSeconds = seconds(loadAllStart);

  const auto batchStart = Clock::now();
  std::size_t loadedInBatches = 0;
  for (bool more = true; more;) {
    std::optional<std::string> batchId;
    more = store.loadLogsWithGroupId("Analytics", kBatch, std::nullopt, std::nullopt, std::nullopt,
                                     [&](const auto& logs, const auto& id) {
                                       loadedInBatches += logs.size();
                                       batchId = id;
                                     });
    if (batchId) store.deleteLogsWithBatchId(*batchId, "Analytics");
  }
  const double batchSeconds = seconds(batchStart);

  // The same rows through the sqlite3 tool.
  const std::string text = security::base64EncodedString(*foundation::KeyedArchiver::archivedDataWithRootObject(makeLog(0)));
  const std::string toolPath = std::string(folder) + "/tool.sqlite";
  const double toolEachSeconds = sqliteInserts(toolPath, text, false);
  const double toolOneSeconds = sqliteInserts(toolPath, text, true);
  const double toolSelectSeconds =
      sqliteTool(toolPath, "SELECT * FROM \"logs\" WHERE \"groupId\" = 'Analytics' ORDER BY \"priority\" DESC, \"id\" ASC;");
  std::string batches;
  for (int i = 0; i < kLogs / kBatch; ++i) {
    const std::string batch = "FROM \"logs\" WHERE \"groupId\" = 'Analytics' ORDER BY \"priority\" DESC, \"id\" ASC LIMIT ";
    batches += "SELECT * " + batch + std::to_string(kBatch + 1) + ";\nDELETE FROM \"logs\" WHERE \"id\" IN (SELECT \"id\" " +
               batch + std::to_string(kBatch) + ");\n";
  }
  const double toolBatchSeconds = sqliteTool(toolPath, batches);

  std::printf("log text: %zu bytes of Base64 per log; data in %s\n", text.size(), folder);
  printRatio("store save, bursts of 200", kLogs, groupedSeconds, "insert, 1 transaction", toolOneSeconds);
  printRatio("store save, one by one", kLogs, singleSeconds, "insert, 1 transaction each", toolEachSeconds);
  printRatio("store load all", static_cast<int>(loadedAll), loadAllSeconds, "select all", toolSelectSeconds);
  printRatio("store load by 50, each deleted", static_cast<int>(loadedInBatches), batchSeconds, "select+delete by 50",
             toolBatchSeconds);
  std::filesystem::remove_all(folder);
  return 0;
}
