#pragma once
// Shared pieces of the telemetry networking tests: a network whose reachability the test scripts
// (reachable at first), log containers of a chosen JSON length, and recorders of completions and
// of ingestion delegate calls that are safe to fill from any thread, and the logs a fake server
// received.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/RunLoop.h"
#include "platform/reachability/ScriptedFlagSource.h"
#include "telemetry/core/Internals/Ingestion/TLIngestionProtocol.h"
#include "telemetry/core/Internals/Model/TLCommonSchemaLog.h"
#include "telemetry/core/Internals/Model/TLLogContainer.h"
#include "telemetry/core/Internals/Model/TLStartServiceLog.h"
#include "telemetry/core/TLLogger.h"
#include "tests/support/FakeIngestionServer.h"
#include "tests/telemetry/support/TLModelFixtures.h"

namespace test {

// Installs a scripted flag source for the test's lifetime; the internet (0.0.0.0) starts reachable.
class ScriptedNetwork {
 public:
  ScriptedNetwork() {
    source_->setFlags("0.0.0.0", reachability::kReachable);
    reachability::setFlagSource(source_);
  }
  ~ScriptedNetwork() { reachability::setFlagSource(nullptr); }
  ScriptedNetwork(const ScriptedNetwork&) = delete;
  ScriptedNetwork& operator=(const ScriptedNetwork&) = delete;

  // Changes the internet's reachability; watchers hear of it on the main thread.
  void setReachable(bool reachable) { source_->setFlags("0.0.0.0", reachable ? reachability::kReachable : 0); }

 private:
  std::shared_ptr<reachability::ScriptedFlagSource> source_ = std::make_shared<reachability::ScriptedFlagSource>();
};

// Sets the logger's level for the test's lifetime.
class LogLevelScope {
 public:
  explicit LogLevelScope(TLLogLevel level) : previous_(TLLogger::currentLogLevel()) { TLLogger::setCurrentLogLevel(level); }
  ~LogLevelScope() { TLLogger::setCurrentLogLevel(previous_); }

 private:
  TLLogLevel previous_;
};

// A valid start-service log; `userId` pads its JSON.
// The logs of `type` in every request `server` received so far, in order.
inline std::vector<foundation::Value> sentLogs(const FakeIngestionServer& server, const std::string& type) {
  std::vector<foundation::Value> logs;
  for (const auto& request : server.requests()) {
    const foundation::Value container = parseJson(request.body);
    for (const auto& log : container["logs"].arrayValue()) {
      if (log["type"].stringValue() == type) logs.push_back(log);
    }
  }
  return logs;
}

inline std::shared_ptr<TLStartServiceLog> startServiceLog(const std::string& userId = "u") {
  auto log = std::make_shared<TLStartServiceLog>();
  log->setTimestamp(foundation::Date::fromTimeIntervalSince1970(1548942307.123));
  log->setDevice(minimalDevice());
  log->setServices(std::vector<std::string>{"Analytics"});
  log->setUserId(userId);
  return log;
}

// A valid common-schema log for `token`, converted from a start-service log as the collector's
// logs are, named `name`, whose protocol extension names `ticketKeys` when there are any.
inline std::shared_ptr<TLCommonSchemaLog> commonSchemaLog(const std::string& token, const std::string& name = "event",
                                                          std::vector<std::string> ticketKeys = {}) {
  auto log = startServiceLog()->toCommonSchemaLogForTargetToken(token, TLFlagsNormal);
  EXPECT_TRUE(log) << token;
  if (!log) return nullptr;
  log->setName(name);
  if (!ticketKeys.empty()) log->ext()->protocolExt->ticketKeys = std::move(ticketKeys);
  return log;
}

inline std::shared_ptr<TLLogContainer> containerOf(const std::string& batchId,
                                                   std::vector<std::shared_ptr<TLLog>> logs) {
  return std::make_shared<TLLogContainer>(batchId, std::move(logs));
}

inline std::shared_ptr<TLLogContainer> container(const std::string& batchId, const std::string& userId = "u") {
  return containerOf(batchId, {startServiceLog(userId)});
}

// A one-log container whose body, as `measure` gives it, is exactly `length` bytes: the log's
// user id is padded (its JSON text grows by one byte per character).
template <class Measure>
std::shared_ptr<TLLogContainer> containerWithBodyLength(const std::string& batchId, std::size_t length,
                                                       Measure measure) {
  auto log = startServiceLog("");
  auto result = containerOf(batchId, {log});
  const std::size_t base = measure(*result);
  EXPECT_LE(base, length);
  log->setUserId(std::string(length - base, 'x'));
  EXPECT_EQ(measure(*result), length);
  return result;
}

// What one completion handler was told.
struct Outcome {
  std::string callId;
  int status = 0;  // 0: no response
  std::optional<foundation::Error> error;
  std::optional<foundation::Data> data;
};

// Hands out completion handlers and keeps what they are told, in order.
class CompletionRecorder {
 public:
  TLSendAsyncCompletionHandler handler() {
    return [this](const std::string& callId, std::shared_ptr<const net::HTTPURLResponse> response,
                  std::optional<foundation::Data> data, std::optional<foundation::Error> error) {
      std::lock_guard lock(mutex_);
      outcomes_.push_back({callId, response ? response->statusCode() : 0, std::move(error), std::move(data)});
    };
  }
  std::vector<Outcome> outcomes() const {
    std::lock_guard lock(mutex_);
    return outcomes_;
  }
  std::size_t count() const {
    std::lock_guard lock(mutex_);
    return outcomes_.size();
  }
  // Runs the main loop until `n` outcomes arrived; false after `timeoutSeconds`.
  bool waitFor(std::size_t n, double timeoutSeconds = 5) const {
    return foundation::pumpMainUntil([&] { return count() >= n; }, timeoutSeconds);
  }

 private:
  mutable std::mutex mutex_;
  std::vector<Outcome> outcomes_;
};

// Counts the ingestion's calls to its delegates.
class RecordingIngestionDelegate : public TLIngestionDelegate {
 public:
  void ingestionDidPause(TLIngestionProtocol&) override { ++pauses; }
  void ingestionDidResume(TLIngestionProtocol&) override { ++resumes; }
  void ingestionDidReceiveFatalError(TLIngestionProtocol&) override { ++fatalErrors; }
  std::atomic<int> pauses{0};
  std::atomic<int> resumes{0};
  std::atomic<int> fatalErrors{0};
};

// Runs the main loop for `seconds`, so that nothing the test waits for can be missed.
inline void pumpFor(double seconds) {
  foundation::pumpMainUntil([] { return false; }, seconds);
}

}  // namespace test
