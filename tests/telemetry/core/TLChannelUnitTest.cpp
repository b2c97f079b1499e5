#include "telemetry/core/Internals/Channel/TLChannelUnitDefault.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <future>
#include <map>
#include <set>
#include <thread>

#include "platform/foundation/UUID.h"
#include "telemetry/core/Internals/Context/AuthToken/TLAuthTokenContext.h"
#include "telemetry/core/Internals/Ingestion/TLTelemetryIngestion.h"
#include "telemetry/core/Internals/Model/Util/TLUserDefaults.h"
#include "telemetry/core/Internals/Storage/TLLogDBStorage.h"
#include "telemetry/core/Internals/Util/TLUtility+File.h"
#include "tests/support/FakeIngestionServer.h"
#include "tests/telemetry/support/TLChannelFixtures.h"
#include "tests/telemetry/support/TLIngestionFixtures.h"
#include "tests/telemetry/support/TLLogRecorder.h"
#include "tests/telemetry/support/TLSQLiteFile.h"

namespace {

using test::ScriptedResponse;

const std::string kInstallId = "1C5DB1A4-3E3F-4D2B-8F73-2B6D8E0E4B10";
const std::string kSecret = "5d3c1a0e-7b1f-4c1e-9d4a-SECRETS-END8";
const std::string kGroup = "Group";

// A moment `seconds` away from now (negative: in the past).
foundation::Date fromNow(double seconds) {
  return foundation::Date::fromTimeIntervalSinceReferenceDate(foundation::Date::now().timeIntervalSinceReferenceDate() +
                                                              seconds);
}

// Batch size 1: every stored log is sent at once.
TLChannelUnitConfiguration eachLogAtOnce() { return {kGroup, 1, 3, 1, 3}; }

// The number of logs in the JSON container a request carried.
std::size_t logsIn(const test::RecordedRequest& request) {
  return test::parseJson(request.body)["logs"].arrayValue().size();
}

std::vector<std::string> userIdsIn(const test::RecordedRequest& request) {
  std::vector<std::string> ids;
  const foundation::Value container = test::parseJson(request.body);
  for (const auto& log : container["logs"].arrayValue()) ids.push_back(log["userId"].stringValue());
  return ids;
}

class TLChannelUnitTest : public testing::Test {
 protected:
  TLChannelUnitTest() { ingestion->setAppSecret(kSecret); }
  // Work still queued must not outlive the process's statics.
  ~TLChannelUnitTest() override { test::onQueue(queue); }

  std::shared_ptr<TLTelemetryIngestion> makeIngestion(std::vector<double> retries = {1, 1, 1}) {
    auto made = TLTelemetryIngestion::create(server.baseURL(), kInstallId, std::move(retries));
    made->setAppSecret(kSecret);
    return made;
  }
  std::shared_ptr<TLChannelUnitDefault> makeUnit(const TLChannelUnitConfiguration& configuration,
                                                 std::shared_ptr<TLIngestionProtocol> through = nullptr) {
    auto unit = TLChannelUnitDefault::create(through ? through : ingestion, store, configuration, queue);
    unit->addDelegate(recorder);
    return unit;
  }
  // Reads `value` on the logs queue.
  template <class F>
  auto read(F value) {
    decltype(value()) result{};
    test::onQueue(queue, [&] { result = value(); });
    return result;
  }
  std::size_t stored(const std::string& groupId = kGroup) {
    return read([&] { return store->logsFromDBWithGroupId(groupId).size(); });
  }
  // Stores logs as an earlier run would have left them.
  void storeLogs(int count, const std::string& prefix = "old") {
    test::onQueue(queue, [&] {
      for (int i = 0; i < count; ++i) {
        ASSERT_TRUE(store->saveLog(test::startServiceLog(prefix + std::to_string(i)), kGroup, TLFlagsNormal));
      }
    });
  }

  test::ScriptedNetwork network;
  test::FakeIngestionServer server;
  std::shared_ptr<TLTelemetryIngestion> ingestion = TLTelemetryIngestion::create(server.baseURL(), kInstallId, {1, 1, 1});
  std::shared_ptr<TLLogDBStorage> store = std::make_shared<TLLogDBStorage>();
  std::shared_ptr<dispatch::Queue> queue = dispatch::Queue::createSerial("channel-unit-test");
  std::shared_ptr<test::RecordingChannelDelegate> recorder = std::make_shared<test::RecordingChannelDelegate>();
};

// ---- Enqueue ------------------------------------------------------------------------------------

TEST_F(TLChannelUnitTest, EnqueuePreparesOnTheCallersThreadAndStoresOnTheQueue) {
  auto unit = makeUnit(TLChannelUnitConfiguration::defaultConfiguration(kGroup));
  auto log = test::startServiceLog();
  log->setTimestamp(std::nullopt);
  log->setDevice(nullptr);
  bool completedWhenPrepared = false;
  std::thread::id preparedOn;
  recorder->prepare = [&](const std::shared_ptr<TLLog>& prepared) {
    completedWhenPrepared = prepared->timestamp() && prepared->device();
    preparedOn = std::this_thread::get_id();
  };

  unit->enqueueItem(log, TLFlagsCritical);
  EXPECT_TRUE(completedWhenPrepared);
  EXPECT_EQ(preparedOn, std::this_thread::get_id());
  EXPECT_EQ(recorder->count("didPrepare"), 1u) << "both prepare callbacks come before the call returns";

  test::onQueue(queue);
  EXPECT_EQ(recorder->kindsFor(log), (std::vector<std::string>{"prepare", "didPrepare", "complete"}));
  const auto prepared = recorder->events("didPrepare").at(0);
  EXPECT_TRUE(foundation::UUID::fromString(prepared.internalId)) << prepared.internalId;
  EXPECT_EQ(prepared.flags, TLFlagsCritical);
  EXPECT_EQ(recorder->events("complete").at(0).internalId, prepared.internalId);
  EXPECT_EQ(stored(), 1u);
  EXPECT_EQ(read([&] { return unit->itemsCount(); }), 1u);
}

// At each completion, counts the rows already committed, through a connection of its own.
class CommitWitness : public TLChannelDelegate {
 public:
  void channelDidCompleteEnqueueingLog(TLChannelProtocol&, const std::shared_ptr<TLLog>& log,
                                       const std::string&) override {
    test::TLSQLiteFile file(TLUtility::fullURLForPathComponent(kTLLogsDatabaseFilename)->path());
    const std::string user = log->userId().value_or("?");
    seen.push_back((user.size() > 16 ? "large" : user) + " " + file.value("SELECT COUNT(*) FROM \"logs\""));
  }
  std::vector<std::string> seen;  // on the logs queue
};

TEST_F(TLChannelUnitTest, LogsWaitingOnTheQueueAreCommittedTogetherAndReportedInOrderOnlyOnceCommitted) {
  auto unit = makeUnit(TLChannelUnitConfiguration::defaultConfiguration(kGroup));
  auto witness = std::make_shared<CommitWitness>();
  unit->addDelegate(witness);
  recorder->filter = [](TLChannelUnitProtocol&, const std::shared_ptr<TLLog>& log) { return log->userId() == "filtered"; };
  test::onQueue(queue, [&] { store->setMaxStorageSize(64 * 1024, nullptr); });

  // The queue is held while the burst is enqueued, so that all of it waits there at once.
  std::promise<void> release;
  queue->async([held = release.get_future().share()] { held.wait(); });
  std::vector<std::shared_ptr<TLLog>> burst;
  const std::string tooLarge(64 * 1024, 'x');
  for (const std::string& sid : std::vector<std::string>{"a", "b", "filtered", "c", tooLarge, "d"}) {
    burst.push_back(test::startServiceLog(sid));
    unit->enqueueItem(burst.back(), TLFlagsNormal);
  }
  release.set_value();
  test::onQueue(queue);

  // The filtered log ends the wait of the two before it; the rest commit together after it.
  EXPECT_EQ(read([&] { return witness->seen; }),
            (std::vector<std::string>{"a 2", "b 2", "filtered 2", "c 4", "large 4", "d 4"}));
  std::vector<std::shared_ptr<TLLog>> completed;
  for (const auto& event : recorder->events("complete")) completed.push_back(event.log);
  EXPECT_EQ(completed, burst);
  EXPECT_EQ(recorder->kindsFor(burst[4]),
            (std::vector<std::string>{"prepare", "didPrepare", "willSend", "fail", "complete"}));
  EXPECT_EQ(stored(), 4u);
  EXPECT_EQ(read([&] { return unit->itemsCount(); }), 4u);
}

TEST_F(TLChannelUnitTest, MissingAndInvalidLogsAreDroppedWithOneWarning) {
  auto unit = makeUnit(TLChannelUnitConfiguration::defaultConfiguration(kGroup));
  auto untyped = test::startServiceLog();
  untyped->setType(std::nullopt);
  for (const std::shared_ptr<TLLog>& log : {std::shared_ptr<TLLog>(), std::shared_ptr<TLLog>(untyped)}) {
    test::TLLogRecorder logged;
    unit->enqueueItem(log, TLFlagsNormal);
    test::onQueue(queue);
    EXPECT_EQ(logged.messages(TLLogLevelWarning), std::vector<std::string>{"Log is not valid."});
  }
  EXPECT_TRUE(recorder->events().empty());
  EXPECT_EQ(stored(), 0u);
}

TEST_F(TLChannelUnitTest, TheFirstDelegateThatFiltersEndsTheQuestion) {
  test::LogLevelScope debug(TLLogLevelDebug);
  test::TLLogRecorder logged;
  auto unit = makeUnit(TLChannelUnitConfiguration::defaultConfiguration(kGroup));
  recorder->filter = [](TLChannelUnitProtocol&, const std::shared_ptr<TLLog>&) { return true; };
  auto second = std::make_shared<test::RecordingChannelDelegate>();
  unit->addDelegate(second);

  unit->enqueueItem(test::startServiceLog(), TLFlagsNormal);
  test::onQueue(queue);
  EXPECT_EQ(second->filterQuestions(), 0);
  EXPECT_EQ(recorder->count("complete"), 1u);
  EXPECT_EQ(second->count("complete"), 1u);
  EXPECT_EQ(stored(), 0u);
  EXPECT_EQ(read([&] { return unit->itemsCount(); }), 0u);
  const auto lines = logged.messages(TLLogLevelDebug);
  EXPECT_NE(std::find(lines.begin(), lines.end(), "Log of type 'startService' was filtered out by delegate(s)"),
            lines.end());
}

TEST_F(TLChannelUnitTest, WhileTheIngestionIsNotReadyNothingIsStoredOrCounted) {
  auto unit = makeUnit(TLChannelUnitConfiguration::defaultConfiguration(kGroup),
                       TLTelemetryIngestion::create(server.baseURL(), kInstallId));  // no secret
  auto log = test::startServiceLog();
  unit->enqueueItem(log, TLFlagsNormal);
  test::onQueue(queue);
  EXPECT_EQ(recorder->kindsFor(log), (std::vector<std::string>{"prepare", "didPrepare", "complete"}));
  EXPECT_EQ(stored(), 0u);
  EXPECT_EQ(read([&] { return unit->itemsCount(); }), 0u);
}

TEST_F(TLChannelUnitTest, ALogTheStoreRefusesFailsToItsDelegates) {
  auto unit = makeUnit(TLChannelUnitConfiguration::defaultConfiguration(kGroup));
  test::onQueue(queue, [&] { store->setMaxStorageSize(64 * 1024, nullptr); });
  auto tooLarge = test::startServiceLog(std::string(64 * 1024, 'x'));
  unit->enqueueItem(tooLarge, TLFlagsCritical);
  test::onQueue(queue);
  EXPECT_EQ(recorder->kindsFor(tooLarge),
            (std::vector<std::string>{"prepare", "didPrepare", "willSend", "fail", "complete"}));
  const auto error = recorder->events("fail").at(0).error;
  ASSERT_TRUE(error);
  EXPECT_EQ(error->domain(), kTLErrorDomain);
  EXPECT_EQ(error->code(), TLLogNotStoredErrorCode);
  EXPECT_EQ(read([&] { return unit->itemsCount(); }), 0u);
}

// ---- Batching and sending -----------------------------------------------------------------------

TEST_F(TLChannelUnitTest, AFullBatchAtTheDefaultIntervalGoesOutAtOnce) {
  server.setDefaultResponse(ScriptedResponse(200, {}, "", std::chrono::milliseconds(300)));  // stays pending a while
  auto unit = makeUnit({kGroup, 1, 3, 3, 3});
  unit->enqueueItem(test::startServiceLog("a"), TLFlagsNormal);
  unit->enqueueItem(test::startServiceLog("b"), TLFlagsNormal);
  EXPECT_TRUE(read([&] { return unit->pendingBatchIds().empty(); })) << "a partial batch waits for the timer";

  unit->enqueueItem(test::startServiceLog("c"), TLFlagsNormal);
  EXPECT_EQ(read([&] { return unit->pendingBatchIds().size(); }), 1u) << "the third log sends without a timer";
  ASSERT_TRUE(recorder->waitFor("succeed", 3));
  ASSERT_EQ(server.requestCount(), 1u);
  EXPECT_EQ(userIdsIn(server.requests()[0]), (std::vector<std::string>{"a", "b", "c"}));
  EXPECT_EQ(server.requests()[0].header("App-Secret"), kSecret);
  EXPECT_EQ(recorder->count("willSend"), 3u);
  EXPECT_EQ(stored(), 0u);
  EXPECT_TRUE(read([&] { return unit->pendingBatchIds().empty(); }));
}

TEST_F(TLChannelUnitTest, AShortIntervalSendsAPartialBatchByTimerAndPersistsNoStart) {
  auto unit = makeUnit(TLChannelUnitConfiguration::defaultConfiguration(kGroup, 1));
  unit->enqueueItem(test::startServiceLog("a"), TLFlagsNormal);
  unit->enqueueItem(test::startServiceLog("b"), TLFlagsNormal);
  EXPECT_TRUE(read([&] { return unit->pendingBatchIds().empty(); }));
  ASSERT_TRUE(recorder->waitFor("succeed", 2));
  ASSERT_EQ(server.requestCount(), 1u);
  EXPECT_EQ(logsIn(server.requests()[0]), 2u);
  EXPECT_TRUE(TLUserDefaults::shared().objectForKey(unit->oldestPendingLogTimestampKey()).isNull());
}

TEST_F(TLChannelUnitTest, ALongIntervalKeepsCountingFromThePersistedStartAcrossRestarts) {
  const TLChannelUnitConfiguration daily = TLChannelUnitConfiguration::defaultConfiguration(kGroup, 86400);
  const std::string key = "TLChannelStartTimer:" + kGroup;
  auto firstRun = makeUnit(daily);
  EXPECT_EQ(firstRun->oldestPendingLogTimestampKey(), key);
  const foundation::Date before = foundation::Date::now();
  firstRun->enqueueItem(test::startServiceLog("first run"), TLFlagsNormal);
  test::onQueue(queue);
  const foundation::Value start = TLUserDefaults::shared().objectForKey(key);
  ASSERT_TRUE(start.isDate());
  EXPECT_GE(start.dateValue(), before);
  firstRun.reset();

  // The next launch, 1000 seconds after the start: the timer covers only what is left.
  TLUserDefaults::shared().setObject(fromNow(-1000), key);
  auto secondRun = makeUnit(daily);
  secondRun->enqueueItem(test::startServiceLog("second run"), TLFlagsNormal);
  const std::uint64_t left = read([&] { return secondRun->resolveFlushInterval(); });
  EXPECT_GE(left, 86400u - 1002);
  EXPECT_LE(left, 86400u - 1000);
  EXPECT_TRUE(read([&] { return secondRun->pendingBatchIds().empty(); }));
  secondRun.reset();

  // A launch after the interval has passed flushes at once, also what earlier runs left.
  server.setDefaultResponse(ScriptedResponse(200, {}, "", std::chrono::milliseconds(300)));
  TLUserDefaults::shared().setObject(fromNow(-86401), key);
  auto thirdRun = makeUnit(daily);
  thirdRun->enqueueItem(test::startServiceLog("third run"), TLFlagsNormal);
  EXPECT_EQ(read([&] { return thirdRun->pendingBatchIds().size(); }), 1u);
  EXPECT_TRUE(TLUserDefaults::shared().objectForKey(key).isNull());
  ASSERT_TRUE(server.waitForRequests(1));
  auto sent = userIdsIn(server.requests()[0]);
  std::sort(sent.begin(), sent.end());
  EXPECT_EQ(sent, (std::vector<std::string>{"first run", "second run", "third run"}));
}

TEST_F(TLChannelUnitTest, AtMostThePendingBatchesLimitIsInFlightAndOnlySuccessLoadsMore) {
  struct Case {
    int status;
    std::size_t requests;
    std::size_t left;
  };
  // Batches of 5, at most 3 in flight, 16 stored logs: three batches of 5 and one of 1.
  for (const Case& c : {Case{200, 4, 0}, Case{500, 3, 16}}) {
    SCOPED_TRACE(c.status);
    // Held back so that all three batches are in flight before the first answer.
    server.setDefaultResponse(ScriptedResponse(c.status, {}, "", std::chrono::milliseconds(300)));
    auto noRetries = makeIngestion({});
    auto unit = makeUnit({kGroup, 1, 3, 5, 3}, noRetries);
    const std::size_t requestsBefore = server.requestCount();
    storeLogs(16, std::to_string(c.status) + "-");

    test::onQueue(queue, [&] {
      unit->flushQueue();
      EXPECT_EQ(unit->pendingBatchIds().size(), 3u);
      EXPECT_TRUE(unit->pendingBatchQueueFull());
    });
    const std::string outcome = c.status == 200 ? "succeed" : "fail";
    ASSERT_TRUE(recorder->waitFor(outcome, c.status == 200 ? 16 : 15));
    test::pumpFor(0.2);  // room for a fourth request that must not come
    ASSERT_EQ(server.requestCount() - requestsBefore, c.requests);
    const auto requests = server.requests();
    for (std::size_t i = requestsBefore; i < requests.size(); ++i) {
      EXPECT_EQ(logsIn(requests[i]), i - requestsBefore < 3 ? 5u : 1u);
    }
    EXPECT_EQ(stored(), c.left);
    test::onQueue(queue, [&] { store->deleteLogsWithGroupId(kGroup); });
  }
}

TEST_F(TLChannelUnitTest, EachAnswerReachesTheStoreAndTheDelegates) {
  struct Case {
    int status;
    std::vector<std::string> kinds;  // of the sent log
    std::size_t left;
  };
  const std::vector<Case> cases = {
      {200, {"prepare", "didPrepare", "complete", "willSend", "succeed"}, 0},
      {500, {"prepare", "didPrepare", "complete", "willSend", "fail"}, 1},
      // A fatal answer disables the unit with deletion, which fails the log once more, as deleted.
      {403, {"prepare", "didPrepare", "complete", "willSend", "fail", "willSend", "fail"}, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.status);
    server.setDefaultResponse(ScriptedResponse(c.status));
    recorder = std::make_shared<test::RecordingChannelDelegate>();
    auto unit = makeUnit(eachLogAtOnce(), makeIngestion());
    auto log = test::startServiceLog();
    unit->enqueueItem(log, TLFlagsNormal);
    ASSERT_TRUE(recorder->waitFor(c.status == 200 ? "succeed" : "fail", c.kinds.size() == 7 ? 2 : 1));
    test::onQueue(queue);
    std::vector<std::string> kinds;  // of the log and of the copy read back from the store to send
    for (const auto& event : recorder->events()) {
      if (event.log) kinds.push_back(event.kind);
    }
    EXPECT_EQ(kinds, c.kinds);
    EXPECT_EQ(stored(), c.left);
    if (c.status == 200) continue;
    const auto answerError = recorder->events("fail").at(0).error;
    ASSERT_TRUE(answerError);
    EXPECT_EQ(answerError->code(), TLConnectionHttpErrorCode);
    EXPECT_EQ(answerError->userInfo().get(kTLConnectionHttpCodeErrorKey), foundation::Value(c.status));
    if (c.status != 403) {
      test::onQueue(queue, [&] { store->deleteLogsWithGroupId(kGroup); });
      continue;
    }
    EXPECT_EQ(recorder->events("fail").at(1).error->code(), TLConnectionPausedErrorCode);
    EXPECT_TRUE(read([&] { return unit->discardLogs(); }));
  }
}

TEST_F(TLChannelUnitTest, LogsGoOutWithTheTokenOfTheirTime) {
  const foundation::Date now = foundation::Date::now();
  const auto at = [&](double offset) {
    return foundation::Date::fromTimeIntervalSinceReferenceDate(now.timeIntervalSinceReferenceDate() + offset);
  };
  const auto context = TLAuthTokenContext::sharedInstance();
  context->setAuthTokenHistory({std::make_shared<TLAuthTokenInfo>("first-token", "account", at(-100), at(3600)),
                                std::make_shared<TLAuthTokenInfo>("second-token", "account", at(-50), at(3600))});
  auto unit = makeUnit(TLChannelUnitConfiguration::defaultConfiguration(kGroup));
  test::onQueue(queue, [&] {
    for (const auto& [userId, offset] : {std::pair{"older", -80.0}, {"newer", -10.0}}) {
      auto log = test::startServiceLog(userId);
      log->setTimestamp(at(offset));
      ASSERT_TRUE(store->saveLog(log, kGroup, TLFlagsNormal));
    }
    unit->flushQueue();
  });
  ASSERT_TRUE(recorder->waitFor("succeed", 2));
  std::map<std::string, std::string> tokenOf;
  for (const auto& request : server.requests()) {
    for (const auto& userId : userIdsIn(request)) tokenOf[userId] = request.header("Authorization").value_or("");
  }
  EXPECT_EQ(tokenOf["older"], "Bearer first-token");
  EXPECT_EQ(tokenOf["newer"], "Bearer second-token");
}

// ---- Pausing and the enabled state --------------------------------------------------------------

TEST_F(TLChannelUnitTest, EveryPauseHolderHoldsTheUnitUntilItResumes) {
  test::LogLevelScope debug(TLLogLevelDebug);
  test::TLLogRecorder logged;
  const auto resumeLines = [&] {
    const auto lines = logged.messages(TLLogLevelDebug);
    return std::count(lines.begin(), lines.end(), "Resume channel " + kGroup + ".");
  };
  auto unit = makeUnit(eachLogAtOnce());
  const auto a = std::make_shared<int>(1), b = std::make_shared<int>(2), never = std::make_shared<int>(3);
  unit->pauseWithIdentifyingObject(a);
  unit->pauseWithIdentifyingObject(b);
  unit->pauseWithIdentifyingObject(a);  // still one pause
  unit->enqueueItem(test::startServiceLog(), TLFlagsNormal);
  EXPECT_TRUE(read([&] { return unit->isPaused() && unit->pendingBatchIds().empty(); }));
  EXPECT_EQ(read([&] { return unit->pausedIdentifyingObjectsCount(); }), 2u);
  EXPECT_EQ(stored(), 1u);

  unit->resumeWithIdentifyingObject(a);
  EXPECT_TRUE(read([&] { return unit->isPaused(); }));
  EXPECT_EQ(resumeLines(), 0);
  unit->resumeWithIdentifyingObject(b);
  EXPECT_FALSE(read([&] { return unit->isPaused(); }));
  EXPECT_EQ(resumeLines(), 1);
  ASSERT_TRUE(recorder->waitFor("succeed", 1)) << "resuming checks the logs that waited";

  unit->resumeWithIdentifyingObject(never);
  test::onQueue(queue);
  EXPECT_EQ(resumeLines(), 2) << "a resume with no holder left still resumes";
  EXPECT_EQ(recorder->count("pause"), 3u);
  EXPECT_EQ(recorder->count("resume"), 3u);
  EXPECT_EQ(recorder->events("pause").at(1).identifyingObject, b);
}

TEST_F(TLChannelUnitTest, APausedTokenHoldsBackTheLogsOfItsTargetKeyOnly) {
  auto unit = makeUnit(TLChannelUnitConfiguration::defaultConfiguration(kGroup, 0));  // flush at each log
  unit->pauseSendingLogsWithToken("aaa-paused");
  auto held1 = test::commonSchemaLog("aaa-one"), held2 = test::commonSchemaLog("aaa-two");
  auto free = test::commonSchemaLog("bbb-one");
  for (const auto& log : {held1, held2, free}) unit->enqueueItem(log, TLFlagsNormal);
  ASSERT_TRUE(recorder->waitFor("succeed", 1));
  test::pumpFor(0.2);
  EXPECT_EQ(recorder->kindsFor(held1).back(), "complete");
  EXPECT_EQ(recorder->kindsFor(held2).back(), "complete");
  EXPECT_EQ(read([&] { return unit->pausedTargetKeys(); }), std::set<std::string>{"aaa"});
  EXPECT_EQ(stored(), 2u);

  unit->resumeSendingLogsWithToken("aaa-other-token");  // same target key
  ASSERT_TRUE(recorder->waitFor("succeed", 3));
  EXPECT_EQ(stored(), 0u);
}

TEST_F(TLChannelUnitTest, ADisabledUnitStoresAndSendsOnceEnabledAgain) {
  auto unit = makeUnit(eachLogAtOnce());
  unit->setEnabled(false, false);
  unit->enqueueItem(test::startServiceLog(), TLFlagsNormal);
  EXPECT_TRUE(read([&] { return unit->isPaused() && unit->pendingBatchIds().empty(); }));
  EXPECT_EQ(stored(), 1u);
  unit->setEnabled(true, false);
  ASSERT_TRUE(recorder->waitFor("succeed", 1));
  const auto enabled = recorder->events("enabled");
  ASSERT_EQ(enabled.size(), 2u);
  EXPECT_FALSE(enabled[0].isEnabled || enabled[0].deleteData);
  EXPECT_TRUE(enabled[1].isEnabled);
}

TEST_F(TLChannelUnitTest, DisablingWithDeletionFailsTheStoredLogsAndRefusesNewOnes) {
  server.setDefaultResponse(ScriptedResponse(200, {}, "", std::chrono::milliseconds(500)));
  auto unit = makeUnit({kGroup, 1, 3, 1, 3});
  storeLogs(4);
  unit->setEnabled(true, false);  // no change: a delegate call only
  queue->async([&] { unit->flushQueue(); });  // three batches of one go out, one log stays
  unit->setEnabled(false, true);               // before any answer can arrive
  test::onQueue(queue);
  EXPECT_EQ(stored(), 0u);
  const auto failed = recorder->events("fail");
  ASSERT_EQ(failed.size(), 1u) << "only the log that was not in flight is reported";
  EXPECT_EQ(recorder->kindsFor(failed[0].log), (std::vector<std::string>{"willSend", "fail"}));
  EXPECT_EQ(failed[0].error->code(), TLConnectionPausedErrorCode);
  EXPECT_EQ(failed[0].error->localizedDescription(), "Canceled, connection paused with log deletion.");
  ASSERT_TRUE(recorder->waitFor("succeed", 3)) << "the answers in flight still arrive";
  EXPECT_EQ(recorder->count("fail"), 1u);

  auto refused = test::startServiceLog("refused");
  unit->enqueueItem(refused, TLFlagsNormal);
  test::onQueue(queue);
  EXPECT_EQ(recorder->kindsFor(refused),
            (std::vector<std::string>{"prepare", "didPrepare", "willSend", "fail", "complete"}));
  EXPECT_EQ(recorder->events("fail").back().error->code(), TLConnectionPausedErrorCode);
  EXPECT_EQ(stored(), 0u);

  unit->setEnabled(false, false);  // leaves discard mode, still not sending
  unit->enqueueItem(test::startServiceLog("kept"), TLFlagsNormal);
  EXPECT_FALSE(read([&] { return unit->discardLogs(); }));
  EXPECT_EQ(stored(), 1u);
  EXPECT_TRUE(read([&] { return unit->pendingBatchIds().empty(); }));
  EXPECT_EQ(recorder->count("enabled"), 3u);
}

TEST_F(TLChannelUnitTest, AUnitMadeWhileItsIngestionIsPausedStartsPausedByIt) {
  ingestion->pause();
  auto unit = makeUnit(eachLogAtOnce());
  EXPECT_TRUE(read([&] { return unit->isPaused(); }));
  EXPECT_EQ(read([&] { return unit->pausedIdentifyingObjectsCount(); }), 1u);
  ingestion->resume();  // releases the ingestion's hold, the only one
  test::onQueue(queue);
  EXPECT_FALSE(read([&] { return unit->isPaused(); }));
}

}  // namespace
