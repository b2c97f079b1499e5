#pragma once
// Shared pieces of the channel tests: a channel delegate that records every callback in order (and
// can filter or prepare logs), a log that converts into named common-schema logs as event logs do,
// and a wait on a serial queue.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/dispatch/Queue.h"
#include "platform/foundation/RunLoop.h"
#include "telemetry/core/Internals/Channel/TLChannelDelegate.h"
#include "telemetry/core/Internals/Channel/TLChannelGroupProtocol.h"
#include "telemetry/core/Internals/Channel/TLChannelUnitProtocol.h"
#include "telemetry/core/Internals/Model/TLCommonSchemaLog.h"
#include "tests/telemetry/support/TLModelFixtures.h"

namespace test {

// Returns once every block queued on `queue` before the call has run; `body`, when given, runs on
// the queue then (where the state of channel units may be read).
inline void onQueue(const std::shared_ptr<dispatch::Queue>& queue, const std::function<void()>& body = {}) {
  queue->sync([&] {
    if (body) body();
  });
}

// One callback as the recorder saw it.
struct ChannelEvent {
  std::string kind;  // "addUnit", "prepare", "didPrepare", "complete", "willSend", "succeed", "fail",
                     // "enabled", "pause", "resume"
  const TLChannelProtocol* channel = nullptr;
  std::string groupId;  // of the unit, when the channel is one
  std::shared_ptr<TLLog> log;
  std::string internalId;
  TLFlags flags = 0;
  std::optional<foundation::Error> error;
  bool isEnabled = false;
  bool deleteData = false;
  TLIdentifyingObject identifyingObject;
};

class RecordingChannelDelegate : public TLChannelDelegate {
 public:
  // Answers channelUnitShouldFilterLog (false when unset) and counts the questions. Set before
  // the recorder is registered.
  std::function<bool(TLChannelUnitProtocol&, const std::shared_ptr<TLLog>&)> filter;
  // Runs in channelPrepareLog, on the enqueuing thread. Set before the recorder is registered.
  std::function<void(const std::shared_ptr<TLLog>&)> prepare;

  void channelGroupDidAddChannelUnit(TLChannelGroupProtocol& group,
                                     const std::shared_ptr<TLChannelUnitProtocol>& unit) override {
    ChannelEvent event;
    event.kind = "addUnit";
    event.channel = &group;
    event.groupId = unit->configuration().groupId();
    record(std::move(event));
  }
  void channelPrepareLog(TLChannelProtocol& channel, const std::shared_ptr<TLLog>& log) override {
    if (prepare) prepare(log);
    record(make("prepare", channel, log));
  }
  void channelDidPrepareLog(TLChannelProtocol& channel, const std::shared_ptr<TLLog>& log,
                            const std::string& internalId, TLFlags flags) override {
    ChannelEvent event = make("didPrepare", channel, log);
    event.internalId = internalId;
    event.flags = flags;
    record(std::move(event));
  }
  void channelDidCompleteEnqueueingLog(TLChannelProtocol& channel, const std::shared_ptr<TLLog>& log,
                                       const std::string& internalId) override {
    ChannelEvent event = make("complete", channel, log);
    event.internalId = internalId;
    record(std::move(event));
  }
  void channelWillSendLog(TLChannelProtocol& channel, const std::shared_ptr<TLLog>& log) override {
    record(make("willSend", channel, log));
  }
  void channelDidSucceedSendingLog(TLChannelProtocol& channel, const std::shared_ptr<TLLog>& log) override {
    record(make("succeed", channel, log));
  }
  void channelDidFailSendingLog(TLChannelProtocol& channel, const std::shared_ptr<TLLog>& log,
                                const std::optional<foundation::Error>& error) override {
    ChannelEvent event = make("fail", channel, log);
    event.error = error;
    record(std::move(event));
  }
  void channelDidSetEnabled(TLChannelProtocol& channel, bool isEnabled, bool deleteData) override {
    ChannelEvent event = make("enabled", channel, nullptr);
    event.isEnabled = isEnabled;
    event.deleteData = deleteData;
    record(std::move(event));
  }
  void channelDidPauseWithIdentifyingObject(TLChannelProtocol& channel, const TLIdentifyingObject& object) override {
    ChannelEvent event = make("pause", channel, nullptr);
    event.identifyingObject = object;
    record(std::move(event));
  }
  void channelDidResumeWithIdentifyingObject(TLChannelProtocol& channel, const TLIdentifyingObject& object) override {
    ChannelEvent event = make("resume", channel, nullptr);
    event.identifyingObject = object;
    record(std::move(event));
  }
  bool channelUnitShouldFilterLog(TLChannelUnitProtocol& unit, const std::shared_ptr<TLLog>& log) override {
    {
      std::lock_guard lock(mutex_);
      ++filterQuestions_;
    }
    return filter && filter(unit, log);
  }

  // Every event so far, or those of `kind`, in order. Thread-safe.
  std::vector<ChannelEvent> events(const std::string& kind = {}) const {
    std::lock_guard lock(mutex_);
    std::vector<ChannelEvent> result;
    for (const auto& event : events_) {
      if (kind.empty() || event.kind == kind) result.push_back(event);
    }
    return result;
  }
  // The kinds of all events, in order.
  std::vector<std::string> kinds() const {
    std::vector<std::string> kinds;
    for (const auto& event : events()) kinds.push_back(event.kind);
    return kinds;
  }
  // The kinds of the events about `log` (that very object), in order.
  std::vector<std::string> kindsFor(const std::shared_ptr<TLLog>& log) const {
    std::vector<std::string> kinds;
    for (const auto& event : events()) {
      if (event.log == log) kinds.push_back(event.kind);
    }
    return kinds;
  }
  std::size_t count(const std::string& kind) const { return events(kind).size(); }
  int filterQuestions() const {
    std::lock_guard lock(mutex_);
    return filterQuestions_;
  }
  // Runs the main loop until `n` events of `kind` arrived; false after `timeoutSeconds`.
  bool waitFor(const std::string& kind, std::size_t n, double timeoutSeconds = 5) const {
    return foundation::pumpMainUntil([&] { return count(kind) >= n; }, timeoutSeconds);
  }

 private:
  static ChannelEvent make(std::string kind, TLChannelProtocol& channel, std::shared_ptr<TLLog> log) {
    ChannelEvent event;
    event.kind = std::move(kind);
    event.channel = &channel;
    if (auto* unit = dynamic_cast<TLChannelUnitProtocol*>(&channel)) event.groupId = unit->configuration().groupId();
    event.log = std::move(log);
    return event;
  }
  void record(ChannelEvent event) {
    std::lock_guard lock(mutex_);
    events_.push_back(std::move(event));
  }

  mutable std::mutex mutex_;
  std::vector<ChannelEvent> events_;
  int filterQuestions_ = 0;
};

// A log that converts into common-schema logs carrying its name, as event logs do.
class NamedEventLog : public TLAbstractLog {
 public:
  explicit NamedEventLog(std::string name, std::vector<std::string> tokens = {}) : name_(std::move(name)) {
    setType("event");
    setTimestamp(foundation::Date::now());
    setDevice(minimalDevice());
    for (const auto& token : tokens) addTransmissionTargetToken(token);
  }
  std::shared_ptr<TLCommonSchemaLog> toCommonSchemaLogForTargetToken(const std::string& token,
                                                                     TLFlags flags) const override {
    auto log = TLAbstractLog::toCommonSchemaLogForTargetToken(token, flags);
    if (log) log->setName(name_);
    return log;
  }

 private:
  std::string name_;
};

}  // namespace test
