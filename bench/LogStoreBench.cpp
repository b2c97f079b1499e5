// Throughput of the telemetry log store: 10,000 logs saved one by one, then loaded back the way a
// channel unit does (batches of 50, each deleted after it is loaded) and all at once. Beside it,
// the sqlite3 tool on the same work: the same 10,000 rows inserted one transaction each into a
// file of the same schema, then all selected. Prints logs per second and the ratios; nothing is
// asserted. Runs in a temporary data folder, never the user's.
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

// Seconds the sqlite3 tool takes to run `script` on a new file at `path`.
double sqliteTool(const std::string& path, const std::string& script) {
  const std::string scriptPath = path + ".sql";
  std::ofstream(scriptPath) << script;
  const auto start = Clock::now();
  const std::string command = "sqlite3 '" + path + "' < '" + scriptPath + "' > /dev/null";
  if (std::system(command.c_str()) != 0) std::fprintf(stderr, "sqlite3 failed: %s\n", command.c_str());
  return seconds(start);
}

}  // namespace

int main() {
  char folder[] = "/tmp/qm-logstore-bench-XXXXXX";
  if (!mkdtemp(folder)) return 1;
  setenv("XDG_DATA_HOME", folder, 1);
  TLRegisterArchivableClasses();

  // Room for every log: at the default 10 MiB the later saves would evict the earlier logs.
  constexpr std::int64_t kMaxSize = 64 << 20;
  TLLogDBStorage store;
  store.setMaxStorageSize(kMaxSize, nullptr);
  const auto saveStart = Clock::now();
  for (int i = 0; i < kLogs; ++i) {
    if (!store.saveLog(makeLog(i), "Analytics", TLFlagsNormal)) std::fprintf(stderr, "save %d failed\n", i);
  }
  const double saveSeconds = seconds(saveStart);

  const auto loadAllStart = Clock::now();
  std::size_t loadedAll = 0;
  TLLogDBStorage reader;  // a second store, as after a restart: nothing pending
  reader.setMaxStorageSize(kMaxSize, nullptr);
  reader.loadLogsWithGroupId("Analytics", kLogs, std::nullopt, std::nullopt, std::nullopt,
                             [&](const auto& logs, const auto&) { loadedAll = logs.size(); });
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

  // The same rows through the sqlite3 tool: one transaction per insert, as the store commits.
  const std::string text = security::base64EncodedString(*foundation::KeyedArchiver::archivedDataWithRootObject(makeLog(0)));
  std::string inserts =
      "PRAGMA auto_vacuum = FULL; CREATE TABLE \"logs\" (\"id\" INTEGER PRIMARY KEY AUTOINCREMENT, \"groupId\" TEXT NOT "
      "NULL, \"log\" TEXT NOT NULL, \"targetToken\" TEXT, \"targetKey\" TEXT, \"priority\" INTEGER, \"timestamp\" "
      "INTEGER); CREATE INDEX \"ix_logs_priority\" ON \"logs\" (\"priority\");\n";
  for (int i = 0; i < kLogs; ++i) {
    inserts += "INSERT INTO \"logs\" (\"groupId\", \"log\", \"priority\", \"timestamp\") VALUES ('Analytics', '" + text +
               "', 1, " + std::to_string(i) + ");\n";
  }
  const std::string toolPath = std::string(folder) + "/tool.sqlite";
  const double toolInsertSeconds = sqliteTool(toolPath, inserts);
  const double toolSelectSeconds =
      sqliteTool(toolPath, "SELECT * FROM \"logs\" WHERE \"groupId\" = 'Analytics' ORDER BY \"priority\" DESC, \"id\" ASC;");

  const auto rate = [](double count, double secs) { return count / secs; };
  std::printf("log text: %zu bytes of Base64 per log\n", text.size());
  std::printf("store   save       %6d logs  %9.0f logs/s\n", kLogs, rate(kLogs, saveSeconds));
  std::printf("sqlite3 insert     %6d rows  %9.0f rows/s   store/sqlite3 = %.2f\n", kLogs, rate(kLogs, toolInsertSeconds),
              toolInsertSeconds / saveSeconds);
  std::printf("store   load all   %6zu logs  %9.0f logs/s\n", loadedAll, rate(static_cast<double>(loadedAll), loadAllSeconds));
  std::printf("store   load by %d %5zu logs  %9.0f logs/s (each batch deleted after loading)\n", kBatch, loadedInBatches,
              rate(static_cast<double>(loadedInBatches), batchSeconds));
  std::printf("sqlite3 select     %6d rows  %9.0f rows/s   store all/sqlite3 = %.2f\n", kLogs,
              rate(kLogs, toolSelectSeconds), toolSelectSeconds / loadAllSeconds);
  std::filesystem::remove_all(folder);
  return 0;
}
