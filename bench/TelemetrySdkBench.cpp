// The telemetry SDK end to end: a started SDK with one service takes 10,000 logs (or the count
// given as the first argument) on its unit's default settings, and the run reports the time until
// every log is stored and until every log is accepted by a loopback ingestion server (HTTP 200).
// Beside it, in the same run: the sqlite3 tool inserting as many rows of the same size into a file
// of the store's schema in one transaction (the anchor of "stored"), and, against the same server,
// the curl tool posting the same bytes the SDK put on the wire, once as one body and once split
// into as many requests as the SDK made (the anchors of "accepted").
// A second argument names the folder for the temporary home (default /tmp).
// Prints seconds, logs per second and the ratios; not a test, nothing is asserted. Runs in a
// temporary home folder, never the user's.
#include <httplib.h>
#include <stdlib.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <thread>

#include "platform/foundation/KeyedArchiver.h"
#include "platform/foundation/RunLoop.h"
#include "platform/security/Base64.h"
#include "telemetry/core/Internals/Channel/TLChannelDelegate.h"
#include "telemetry/core/Internals/Model/TLStartServiceLog.h"
#include "telemetry/core/TLServiceAbstract.h"
#include "telemetry/core/TLTelemetry.h"

namespace {

using Clock = std::chrono::steady_clock;
double seconds(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

// A service with the default unit settings (50 logs a batch, 3 seconds, 3 batches in flight).
class BenchService : public TLServiceAbstract {
 public:
  static std::shared_ptr<BenchService> sharedInstance() {
    static auto instance = std::make_shared<BenchService>();
    return instance;
  }
  static std::string serviceName() { return "Bench"; }
  static std::string logTag() { return "TelemetryBench"; }
  std::string groupId() const override { return "Bench"; }
  bool isAppSecretRequired() const override { return false; }
  std::optional<TLChannelUnitConfiguration> channelUnitConfiguration() const override {
    return TLChannelUnitConfiguration::defaultConfiguration(groupId());
  }
};

class Counter : public TLChannelDelegate {
 public:
  void channelDidCompleteEnqueueingLog(TLChannelProtocol&, const std::shared_ptr<TLLog>&, const std::string&) override {
    ++stored;
  }
  void channelDidSucceedSendingLog(TLChannelProtocol& channel, const std::shared_ptr<TLLog>&) override {
    if (isBench(channel)) ++accepted;
  }
  void channelDidFailSendingLog(TLChannelProtocol& channel, const std::shared_ptr<TLLog>&,
                                const std::optional<foundation::Error>&) override {
    if (isBench(channel)) ++failed;
  }
  static bool isBench(TLChannelProtocol& channel) {
    auto* unit = dynamic_cast<TLChannelUnitProtocol*>(&channel);
    return unit && unit->configuration().groupId() == "Bench";
  }
  std::atomic<int> stored{0};
  std::atomic<int> accepted{0};
  std::atomic<int> failed{0};
};

double curl(const std::string& arguments) {
  const auto start = Clock::now();
  const std::string command = "curl -s -o /dev/null " + arguments;
  if (std::system(command.c_str()) != 0) std::fprintf(stderr, "curl failed: %s\n", command.c_str());
  return seconds(start);
}

}  // namespace

int main(int argc, char** argv) {
  const int logs = argc > 1 ? std::atoi(argv[1]) : 10000;
  // The second argument is where the temporary home goes (default /tmp): the store's cost
  // depends on how fast that file system syncs.
  std::string pattern = std::string(argc > 2 ? argv[2] : "/tmp") + "/qm-sdk-bench-XXXXXX";
  char* folder = pattern.data();
  if (!mkdtemp(folder)) return 1;
  const std::string home = folder;
  setenv("HOME", folder, 1);
  setenv("XDG_DATA_HOME", (home + "/data").c_str(), 1);
  setenv("XDG_CONFIG_HOME", (home + "/config").c_str(), 1);
  setenv("XDG_CACHE_HOME", (home + "/cache").c_str(), 1);

  // The ingestion: every POST is accepted; the bytes on the wire are counted.
  httplib::Server server;
  std::atomic<std::size_t> requests{0};
  std::atomic<std::size_t> wireBytes{0};
  server.Post("/logs", [&](const httplib::Request& request, httplib::Response& response) {
    ++requests;
    wireBytes += request.body.size();
    response.status = 200;
  });
  const int port = server.bind_to_any_port("127.0.0.1");
  std::thread serving([&] { server.listen_after_bind(); });
  const std::string base = "http://127.0.0.1:" + std::to_string(port);

  TLTelemetry::setLogUrl(base);
  TLTelemetry::setMaxStorageSize(64 << 20, nullptr);  // room for every log
  TLTelemetry::start(std::string("bench-secret-0000-0000-000000000000"), {TLServiceClass::of<BenchService>()});
  auto counter = std::make_shared<Counter>();
  TLTelemetry::sharedInstance()->channelGroup()->addDelegate(counter);
  const auto unit = BenchService::sharedInstance()->channelUnit();

  std::shared_ptr<TLStartServiceLog> sample;  // one log as the unit completed it, for the anchor's rows
  const auto start = Clock::now();
  for (int i = 0; i < logs; ++i) {
    auto log = std::make_shared<TLStartServiceLog>();
    log->setServices(std::vector<std::string>{"event-" + std::to_string(i)});
    unit->enqueueItem(log, TLFlagsNormal);
    if (!sample) sample = log;
  }
  const double enqueued = seconds(start);
  double storedAt = 0;
  while (counter->accepted + counter->failed < logs) {
    foundation::pumpMainUntil([&] { return counter->accepted + counter->failed >= logs; }, 0.05);
    if (storedAt == 0 && counter->stored >= logs) storedAt = seconds(start);
  }
  if (storedAt == 0) storedAt = seconds(start);
  const double acceptedAt = seconds(start);
  const std::size_t sdkRequests = requests.load();
  const std::size_t sdkBytes = wireBytes.load();

  // The anchor of "stored": the sqlite3 tool, rows of the stored text's size, one transaction.
  const auto archive = foundation::KeyedArchiver::archivedDataWithRootObject(sample);
  const std::string text = archive ? security::base64EncodedString(*archive) : std::string(1000, 'A');
  std::string script =
      "PRAGMA journal_mode = WAL; PRAGMA synchronous = NORMAL; PRAGMA auto_vacuum = FULL;\n"
      "CREATE TABLE \"logs\" (\"id\" INTEGER PRIMARY KEY AUTOINCREMENT, \"groupId\" TEXT NOT NULL, \"log\" TEXT NOT "
      "NULL, \"targetToken\" TEXT, \"targetKey\" TEXT, \"priority\" INTEGER, \"timestamp\" INTEGER);\n"
      "CREATE INDEX \"ix_logs_priority\" ON \"logs\" (\"priority\");\n"
      "CREATE INDEX \"ix_logs_groupId_priority_id\" ON \"logs\" (\"groupId\", \"priority\" DESC, \"id\");\nBEGIN;\n";
  for (int i = 0; i < logs; ++i) {
    script += "INSERT INTO \"logs\" (\"groupId\", \"log\", \"priority\", \"timestamp\") VALUES ('Bench', '" + text +
              "', 1, " + std::to_string(i) + ");\n";
  }
  script += "COMMIT;\n";
  std::ofstream(home + "/anchor.sql") << script;
  const auto toolStart = Clock::now();
  if (std::system(("sqlite3 '" + home + "/anchor.sqlite' < '" + home + "/anchor.sql' > /dev/null").c_str()) != 0) {
    std::fprintf(stderr, "sqlite3 failed\n");
  }
  const double sqliteOne = seconds(toolStart);

  // The anchors of "accepted": the same bytes through curl, as one body and as as many requests.
  const std::string whole = home + "/whole.bin";
  const std::string piece = home + "/piece.bin";
  std::ofstream(whole, std::ios::binary) << std::string(sdkBytes, 'x');
  std::ofstream(piece, std::ios::binary) << std::string(sdkBytes / std::max<std::size_t>(sdkRequests, 1), 'x');
  const double curlOne = curl("--data-binary @" + whole + " " + base + "/logs");
  std::string urls;
  for (std::size_t i = 0; i < sdkRequests; ++i) urls += " " + base + "/logs";
  const double curlMany = curl("--data-binary @" + piece + urls);

  std::printf("logs: %d (%d accepted, %d failed); requests: %zu; bytes on the wire: %zu\n", logs,
              counter->accepted.load(), counter->failed.load(), sdkRequests, sdkBytes);
  std::printf("enqueue on the caller's thread: %.3f s\n", enqueued);
  std::printf("all stored:   %.2f s (%.0f logs/s); sqlite3, the same rows (%zu bytes of text) in 1 transaction: %.3f s; "
              "stored / sqlite3 = %.2f\n",
              storedAt, logs / storedAt, text.size(), sqliteOne, storedAt / sqliteOne);
  std::printf("all accepted: %.2f s (%.0f logs/s)\n", acceptedAt, logs / acceptedAt);
  std::printf("curl, the same bytes in one POST: %.3f s; in %zu POSTs: %.3f s\n", curlOne, sdkRequests, curlMany);
  std::printf("accepted / curl one POST = %.0f; accepted / curl %zu POSTs = %.0f\n", acceptedAt / curlOne, sdkRequests,
              acceptedAt / curlMany);

  server.stop();
  serving.join();
  std::system(("rm -rf '" + home + "'").c_str());
  std::fflush(stdout);
  std::_Exit(0);  // the SDK's queues and timers live until the process ends
}
