#include "telemetry/core/Internals/Ingestion/TLTelemetryIngestion.h"

#include <gtest/gtest.h>

#include <map>
#include <random>
#include <thread>

#include "platform/net/URLSession.h"
#include "telemetry/core/Internals/Ingestion/TLIngestionCall.h"
#include "tests/support/FakeIngestionServer.h"
#include "tests/support/RawHttpResponder.h"
#include "tests/telemetry/support/TLIngestionFixtures.h"
#include "tests/telemetry/support/TLLogRecorder.h"

namespace {

using test::ScriptedResponse;

const std::string kInstallId = "1C5DB1A4-3E3F-4D2B-8F73-2B6D8E0E4B10";
const std::string kSecret = "5d3c1a0e-7b1f-4c1e-9d4a-SECRETS-END8";
const std::vector<double> kQuickRetries = {1, 1, 1};               // three retries, each at once

std::string bodyOf(const TLLogContainer& container) { return container.serializeLog().value_or(""); }

class TLTelemetryIngestionTest : public testing::Test {
 protected:
  std::shared_ptr<TLTelemetryIngestion> make(std::vector<double> retryIntervals = kQuickRetries,
                                             std::optional<std::string> baseURL = std::nullopt) {
    auto ingestion = TLTelemetryIngestion::create(baseURL ? *baseURL : server.baseURL(), kInstallId,
                                                  std::move(retryIntervals));
    ingestion->setAppSecret(kSecret);
    ingestion->addDelegate(delegate);
    return ingestion;
  }

  test::ScriptedNetwork network;
  test::FakeIngestionServer server;
  test::CompletionRecorder completions;
  std::shared_ptr<test::RecordingIngestionDelegate> delegate = std::make_shared<test::RecordingIngestionDelegate>();
};

TEST_F(TLTelemetryIngestionTest, PostsTheContainerToTheLogEndpointWithItsHeaders) {
  auto ingestion = make();
  const struct {
    const char* batchId;
    std::optional<std::string> token;
    std::optional<std::string> authorization;
  } cases[] = {
      {"B-none", std::nullopt, std::nullopt},
      {"B-empty", "", std::nullopt},
      {"B-token", "t0k3n", "Bearer t0k3n"},
  };
  for (const auto& c : cases) {
    auto batch = test::container(c.batchId);
    const std::size_t answered = completions.count();
    ingestion->sendAsync(batch, c.token, completions.handler());
    ASSERT_TRUE(completions.waitFor(answered + 1)) << c.batchId;
    const auto request = server.requests().back();
    EXPECT_EQ(request.method, "POST");
    EXPECT_EQ(request.path, "/logs");
    EXPECT_EQ(request.query, "api-version=1.0.0");
    EXPECT_EQ(request.header("Content-Type"), "application/json");
    EXPECT_EQ(request.header("Install-ID"), kInstallId);
    EXPECT_EQ(request.header("App-Secret"), kSecret);
    EXPECT_EQ(request.header("Authorization"), c.authorization) << c.batchId;
    EXPECT_EQ(request.header("Cookie"), std::nullopt);
    EXPECT_EQ(request.body, bodyOf(*batch));
    const auto outcome = completions.outcomes().back();
    EXPECT_EQ(outcome.callId, c.batchId);
    EXPECT_EQ(outcome.status, 200);
    EXPECT_FALSE(outcome.error);
  }
  EXPECT_TRUE(ingestion->pendingCalls().empty());
  EXPECT_TRUE(ingestion->isEnabled());
}

TEST_F(TLTelemetryIngestionTest, BodiesFrom1400BytesOnAreGzipped) {
  auto ingestion = make();
  for (const std::size_t length : {1399u, 1400u}) {
    auto batch = test::containerWithBodyLength("B" + std::to_string(length), length,
                                               [](const TLLogContainer& c) { return bodyOf(c).size(); });
    ingestion->sendAsync(batch, std::nullopt, completions.handler());
    ASSERT_TRUE(server.waitForRequests(length == 1399 ? 1 : 2));
    const auto request = server.requests().back();
    const bool compressed = length == 1400;
    EXPECT_EQ(request.gzipped, compressed) << length;
    EXPECT_EQ(request.header("Content-Encoding"), compressed ? std::optional<std::string>("gzip") : std::nullopt);
    EXPECT_EQ(request.body, bodyOf(*batch)) << length;
    if (compressed) {
      EXPECT_LT(request.wireLength, length);
    }
  }
  ASSERT_TRUE(completions.waitFor(2));
}

// A body that cannot be compressed is sent as it is.
class UncompressibleIngestion : public TLTelemetryIngestion {
 public:
  static std::shared_ptr<UncompressibleIngestion> create(const std::string& baseURL) {
    return makeIngestion<UncompressibleIngestion>(baseURL);
  }

 protected:
  explicit UncompressibleIngestion(const std::string& baseURL)
      : TLTelemetryIngestion(baseURL, kInstallId, kQuickRetries) {}
  friend class TLHttpIngestion;
  std::optional<foundation::Data> compressBody(const foundation::Data&) const override { return std::nullopt; }
};

TEST_F(TLTelemetryIngestionTest, ABodyThatFailsToGzipIsSentPlain) {
  auto ingestion = UncompressibleIngestion::create(server.baseURL());
  ingestion->setAppSecret(kSecret);
  auto batch = test::container("B1", std::string(3000, 'x'));
  ingestion->sendAsync(batch, std::nullopt, completions.handler());
  ASSERT_TRUE(completions.waitFor(1));
  const auto request = server.requests().at(0);
  EXPECT_FALSE(request.gzipped);
  EXPECT_EQ(request.header("Content-Encoding"), std::nullopt);
  EXPECT_EQ(request.body, bodyOf(*batch));
  EXPECT_EQ(completions.outcomes().at(0).status, 200);
}

TEST_F(TLTelemetryIngestionTest, StatusCodesReachTheHandlerOnceWithTheirOutcome) {
  const struct {
    int status;
    std::size_t attempts;  // with three quick retries
    bool error;            // code 101 carrying the status
    bool fatal;            // disabled with deletion, delegates told
    bool enabledAfter;
  } cases[] = {
      {200, 1, false, false, true}, {204, 1, true, true, false}, {404, 1, true, true, false},
      {408, 4, true, false, false}, {429, 4, true, false, false}, {503, 4, true, false, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.status);
    test::FakeIngestionServer statusServer;
    statusServer.setDefaultResponse({c.status, {}, c.status == 204 ? "" : R"({"status":"x"})"});
    auto ingestion = make(kQuickRetries, statusServer.baseURL());
    const int fatalBefore = delegate->fatalErrors;
    test::CompletionRecorder recorder;
    ingestion->sendAsync(test::container("B1"), std::nullopt, recorder.handler());
    ASSERT_TRUE(recorder.waitFor(1));
    test::pumpFor(0.1);  // no further attempt, no second answer
    EXPECT_EQ(statusServer.requestCount(), c.attempts);
    ASSERT_EQ(recorder.count(), 1u);
    const auto outcome = recorder.outcomes().at(0);
    EXPECT_EQ(outcome.callId, "B1");
    EXPECT_EQ(outcome.status, c.status);
    EXPECT_EQ(outcome.error.has_value(), c.error);
    if (c.error) {
      EXPECT_EQ(outcome.error->domain(), kTLErrorDomain);
      EXPECT_EQ(outcome.error->code(), TLConnectionHttpErrorCode);
      EXPECT_EQ(outcome.error->userInfo().get(kTLConnectionHttpCodeErrorKey).intValue(), c.status);
      EXPECT_EQ(outcome.error->localizedDescription(), "An HTTP error occured.");
    }
    EXPECT_EQ(delegate->fatalErrors - fatalBefore, c.fatal ? 1 : 0);
    EXPECT_EQ(ingestion->isEnabled(), c.enabledAfter);
    EXPECT_TRUE(ingestion->pendingCalls().empty());
  }
}

TEST_F(TLTelemetryIngestionTest, ARecoverableFailureIsRetriedUntilItSucceeds) {
  test::TLLogRecorder log;
  server.enqueue({{503}, {500}, {200}});
  auto ingestion = make();
  ingestion->sendAsync(test::container("B1"), std::nullopt, completions.handler());
  ASSERT_TRUE(completions.waitFor(1));
  EXPECT_EQ(server.requestCount(), 3u);
  EXPECT_EQ(completions.outcomes().at(0).status, 200);
  EXPECT_FALSE(completions.outcomes().at(0).error);
  EXPECT_TRUE(ingestion->isEnabled());
  const auto warnings = log.messages(TLLogLevelWarning);
  ASSERT_EQ(warnings.size(), 2u);
  EXPECT_EQ(warnings[0], "Call attempt #0 failed with status code: 503, it will be retried in 0 ms.");
  EXPECT_EQ(warnings[1], "Call attempt #1 failed with status code: 500, it will be retried in 0 ms.");
}

TEST(TLIngestionCallTest, RetryDelaysAreHalfToAllOfEachIntervalInWholeSeconds) {
  TLIngestionCall call({10, 300, 1200, 1, 0});
  for (int round = 0; round < 50; ++round) {
    const auto first = call.delayForRetryCount(0);
    EXPECT_TRUE(first >= 5 && first <= 9) << first;
    const auto second = call.delayForRetryCount(1);
    EXPECT_TRUE(second >= 150 && second <= 299) << second;
    const auto third = call.delayForRetryCount(2);
    EXPECT_TRUE(third >= 600 && third <= 1199) << third;
  }
  EXPECT_EQ(call.delayForRetryCount(3), 0u);
  EXPECT_EQ(call.delayForRetryCount(4), 0u);
  EXPECT_EQ(call.delayForRetryCount(5), 0u);
  EXPECT_FALSE(call.hasReachedMaxRetries());
  EXPECT_TRUE(TLIngestionCall({}).hasReachedMaxRetries());
}

TEST_F(TLTelemetryIngestionTest, AnEmptyRetryTableEndsTheFirstRecoverableFailure) {
  server.setDefaultResponse({503});
  auto ingestion = make({});
  ingestion->sendAsync(test::container("B1"), std::nullopt, completions.handler());
  ASSERT_TRUE(completions.waitFor(1));
  EXPECT_EQ(server.requestCount(), 1u);
  EXPECT_EQ(completions.outcomes().at(0).status, 503);
  EXPECT_FALSE(ingestion->isEnabled());
  EXPECT_EQ(delegate->fatalErrors, 0);
}

TEST_F(TLTelemetryIngestionTest, InvalidContainersAreRefusedAtOnce) {
  test::TLLogRecorder log;
  auto ingestion = make();
  auto invalidLog = test::startServiceLog();
  invalidLog->setDevice(nullptr);
  const struct {
    const char* name;
    std::shared_ptr<TLLogContainer> container;
    std::string callId;
  } cases[] = {
      {"missing", nullptr, ""},
      {"no logs", test::containerOf("B-empty", {}), "B-empty"},
      {"invalid log", test::containerOf("B-invalid", {invalidLog}), "B-invalid"},
      {"no batch id", std::make_shared<TLLogContainer>(std::nullopt, std::vector<std::shared_ptr<TLLog>>{test::startServiceLog()}), ""},
  };
  for (const auto& c : cases) {
    ingestion->sendAsync(c.container, std::nullopt, completions.handler());
    ASSERT_EQ(completions.count(), static_cast<std::size_t>(&c - cases + 1)) << c.name << ": answered synchronously";
    const auto outcome = completions.outcomes().back();
    EXPECT_EQ(outcome.callId, c.callId) << c.name;
    ASSERT_TRUE(outcome.error) << c.name;
    EXPECT_EQ(outcome.error->domain(), kTLErrorDomain);
    EXPECT_EQ(outcome.error->code(), TLLogInvalidContainerErrorCode);
    EXPECT_EQ(outcome.error->localizedDescription(), "Invalid log container.");
  }
  EXPECT_EQ(log.messages(TLLogLevelError).size(), 4u);
  test::pumpFor(0.1);
  EXPECT_EQ(server.requestCount(), 0u);
  EXPECT_TRUE(ingestion->pendingCalls().empty());
}

TEST_F(TLTelemetryIngestionTest, WithoutAnAppSecretNothingIsSentUntilTheNextResume) {
  test::TLLogRecorder log;
  auto ingestion = TLTelemetryIngestion::create(server.baseURL(), kInstallId, kQuickRetries);
  EXPECT_FALSE(ingestion->isReadyToSend());
  ingestion->sendAsync(test::container("B1"), std::nullopt, completions.handler());
  test::pumpFor(0.1);
  EXPECT_EQ(server.requestCount(), 0u);
  EXPECT_EQ(log.messages(TLLogLevelError), std::vector<std::string>{"Telemetry ingestion is used without app secret."});
  EXPECT_EQ(ingestion->pendingCalls().size(), 1u);

  ingestion->setAppSecret(kSecret);
  EXPECT_TRUE(ingestion->isReadyToSend());
  ingestion->pause();
  ingestion->resume();
  ASSERT_TRUE(completions.waitFor(1));
  EXPECT_EQ(server.requests().at(0).header("App-Secret"), kSecret);
}

TEST_F(TLTelemetryIngestionTest, WaitsForTheNetworkAndSendsWhenItReturns) {
  network.setReachable(false);
  auto ingestion = make();
  EXPECT_TRUE(ingestion->isPaused()) << "the watcher's first notice, at creation, pauses";

  ingestion->sendAsync(test::container("B1"), std::nullopt, completions.handler());
  test::pumpFor(0.2);
  EXPECT_EQ(server.requestCount(), 0u);

  network.setReachable(true);
  ASSERT_TRUE(completions.waitFor(1));
  EXPECT_FALSE(ingestion->isPaused());
  EXPECT_EQ(delegate->resumes, 1);
  EXPECT_EQ(completions.outcomes().at(0).status, 200);

  network.setReachable(false);
  ASSERT_TRUE(foundation::pumpMainUntil([&] { return ingestion->isPaused(); }));
  EXPECT_EQ(delegate->pauses, 1);
}

TEST_F(TLTelemetryIngestionTest, PauseAndResumeActOnlyOnChangeAndNotWhileDisabled) {
  test::TLLogRecorder log;
  auto ingestion = make();
  ingestion->pause();
  ingestion->pause();
  const auto info = log.messages(TLLogLevelInfo);
  EXPECT_EQ(std::count(info.begin(), info.end(), "Pause ingestion."), 1);
  EXPECT_EQ(delegate->pauses, 1);
  ingestion->setEnabled(false, false);
  ingestion->resume();
  EXPECT_TRUE(ingestion->isPaused());
  EXPECT_EQ(delegate->resumes, 0);
  ingestion->setEnabled(true, false);  // the watcher's notice resumes
  EXPECT_FALSE(ingestion->isPaused());
  EXPECT_EQ(delegate->resumes, 1);
}

TEST_F(TLTelemetryIngestionTest, ASecondSendUnderAPendingBatchIdSendsTheFirstCallOnce) {
  auto ingestion = make();
  ingestion->pause();
  auto first = test::container("B1", "first");
  test::CompletionRecorder second;
  ingestion->sendAsync(first, std::nullopt, completions.handler());
  ingestion->sendAsync(test::container("B1", "second"), "other-token", second.handler());
  EXPECT_EQ(ingestion->pendingCalls().size(), 1u);

  ingestion->resume();
  ASSERT_TRUE(completions.waitFor(1));
  test::pumpFor(0.1);
  ASSERT_EQ(server.requestCount(), 1u);
  EXPECT_EQ(server.requests().at(0).body, bodyOf(*first));
  EXPECT_EQ(server.requests().at(0).header("Authorization"), std::nullopt);
  EXPECT_EQ(second.count(), 0u);
}

TEST_F(TLTelemetryIngestionTest, DisablingWithDeletionDropsCallsSilentlyAndStartsAfresh) {
  server.enqueue({{200, {}, "", std::chrono::milliseconds(300)}});
  auto ingestion = make();
  ingestion->sendAsync(test::container("B-running"), std::nullopt, completions.handler());
  ASSERT_TRUE(server.waitForRequests(1));
  const auto oldSession = ingestion->session();

  ingestion->setEnabled(false, true);
  EXPECT_TRUE(ingestion->pendingCalls().empty());
  test::pumpFor(0.5);
  EXPECT_EQ(completions.count(), 0u) << "a dropped call's handler is never called";
  EXPECT_EQ(server.requestCount(), 1u);

  ingestion->setEnabled(true, false);
  ingestion->sendAsync(test::container("B-next"), std::nullopt, completions.handler());
  ASSERT_TRUE(completions.waitFor(1));
  EXPECT_EQ(completions.outcomes().at(0).callId, "B-next");
  EXPECT_NE(ingestion->session(), oldSession);
}

TEST_F(TLTelemetryIngestionTest, NothingIsRetriedAfterDisabling) {
  server.setDefaultResponse({503});
  auto ingestion = make({2});  // one retry, after one second
  ingestion->sendAsync(test::container("B1"), std::nullopt, completions.handler());
  ASSERT_TRUE(server.waitForRequests(1));
  ASSERT_TRUE(foundation::pumpMainUntil([&] {
    const auto calls = ingestion->pendingCalls();
    return calls.size() == 1 && calls.begin()->second->retryCount() == 1;
  }));
  ingestion->setEnabled(false, false);
  test::pumpFor(1.3);
  EXPECT_EQ(server.requestCount(), 1u);
  EXPECT_EQ(completions.count(), 0u);
  EXPECT_EQ(ingestion->pendingCalls().size(), 1u) << "kept for when the ingestion is enabled again";
}

TEST_F(TLTelemetryIngestionTest, BrokenPeersAndAddressesEndTheCallOnceWithTheirOutcome) {
  test::RawHttpResponder garbage("this is no HTTP at all\r\n\r\n");
  test::RawHttpResponder cutShort("HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length: 100\r\n\r\nshort");
  test::FakeIngestionServer moved;
  moved.setDefaultResponse({301});
  const struct {
    const char* name;
    std::string baseURL;
    std::function<std::size_t()> requests;
    std::size_t attempts;
    int status;
    bool httpError;  // code 101, else the transport's error
    bool fatal;
  } cases[] = {
      {"malformed base URL", "http://bad host", [] { return std::size_t(0); }, 0, 0, false, false},
      {"garbage answer", garbage.baseURL(), [&] { return garbage.requestCount(); }, 4, 0, false, false},
      // The head arrived, the body did not: no usable answer, so retried like no response.
      {"closed mid-body", cutShort.baseURL(), [&] { return cutShort.requestCount(); }, 4, 0, false, false},
      {"301 without location", moved.baseURL(), [&] { return moved.requestCount(); }, 1, 301, true, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto ingestion = make(kQuickRetries, c.baseURL);
    const int fatalBefore = delegate->fatalErrors;
    test::CompletionRecorder recorder;
    ingestion->sendAsync(test::container("B1"), std::nullopt, recorder.handler());
    ASSERT_TRUE(recorder.waitFor(1));
    test::pumpFor(0.1);
    ASSERT_EQ(recorder.count(), 1u);
    EXPECT_EQ(c.requests(), c.attempts);
    const auto outcome = recorder.outcomes().at(0);
    EXPECT_EQ(outcome.status, c.status);
    ASSERT_TRUE(outcome.error);
    EXPECT_EQ(outcome.error->domain(), c.httpError ? kTLErrorDomain : foundation::kURLErrorDomain);
    EXPECT_EQ(delegate->fatalErrors - fatalBefore, c.fatal ? 1 : 0);
    EXPECT_FALSE(ingestion->isEnabled()) << "exhausted or fatal, the ingestion stops";
  }
}

TEST_F(TLTelemetryIngestionTest, TheBaseUrlCanBeChangedAndKeepsTheQuery) {
  test::TLLogRecorder log;
  auto ingestion = make(kQuickRetries, "http://127.0.0.1:1/old");
  EXPECT_EQ(ingestion->sendURL()->absoluteString(), "http://127.0.0.1:1/old/logs?api-version=1.0.0");
  ingestion->setBaseURL("not a url");
  EXPECT_EQ(ingestion->sendURL()->absoluteString(), "http://127.0.0.1:1/old/logs?api-version=1.0.0");
  EXPECT_EQ(log.messages(TLLogLevelInfo).back(),
            "Failed to update HTTP URL http://127.0.0.1:1/old/logs?api-version=1.0.0 with not a url");
  ingestion->setBaseURL(server.baseURL());
  EXPECT_EQ(ingestion->sendURL()->absoluteString(), server.baseURL() + "/logs?api-version=1.0.0");

  // One made with a base URL that never parsed gets its query back with a good one.
  auto unparsed = make(kQuickRetries, "http://bad host");
  EXPECT_FALSE(unparsed->sendURL());
  unparsed->setBaseURL(server.baseURL());
  EXPECT_EQ(unparsed->sendURL()->absoluteString(), server.baseURL() + "/logs?api-version=1.0.0");
  unparsed->sendAsync(test::container("B1"), std::nullopt, completions.handler());
  ASSERT_TRUE(completions.waitFor(1));
  EXPECT_EQ(server.requests().at(0).query, "api-version=1.0.0");
}

TEST_F(TLTelemetryIngestionTest, VerboseLogsMaskTheSecretTheTokenAndTheResponsesTokens) {
  test::LogLevelScope verbose(TLLogLevelVerbose);
  test::TLLogRecorder log;
  server.setDefaultResponse({200, {{"Content-Type", "application/json"}}, R"({"token":"server-t0k3n"})"});
  auto ingestion = make();
  ingestion->sendAsync(test::container("B1"), "user-t0k3n", completions.handler());
  ASSERT_TRUE(completions.waitFor(1));
  EXPECT_EQ(server.requests().at(0).header("Authorization"), "Bearer user-t0k3n");

  std::string headersLine;
  std::string responseLine;
  for (const auto& entry : log.entries()) {
    EXPECT_EQ(entry.message.find(kSecret), std::string::npos) << entry.message;
    EXPECT_EQ(entry.message.find("t0k3n"), std::string::npos) << entry.message;
    if (entry.message.rfind("Headers: ", 0) == 0) headersLine = entry.message;
    if (entry.message.rfind("HTTP response received", 0) == 0) responseLine = entry.message;
  }
  const std::string maskedSecret = std::string(kSecret.size() - 8, '*') + kSecret.substr(kSecret.size() - 8);
  EXPECT_NE(headersLine.find("App-Secret = " + maskedSecret), std::string::npos) << headersLine;
  EXPECT_NE(headersLine.find("Authorization = Bearer ***"), std::string::npos) << headersLine;
  EXPECT_NE(headersLine.find("Install-ID = " + kInstallId), std::string::npos) << headersLine;
  EXPECT_NE(responseLine.find("status code: 200, payload:\n"), std::string::npos) << responseLine;
  EXPECT_NE(responseLine.find(R"("token" : "***")"), std::string::npos) << responseLine;
}

// A peer that closes every connection at once makes each attempt fail moments after it starts,
// while another thread keeps taking the ingestion's lock. Every call must still make its four
// attempts and end: a retry timer reset after the re-send it fired would now and then cancel the
// timer that the re-send's failure had just armed, and leave the call waiting for ever.
TEST_F(TLTelemetryIngestionTest, ARetryTimerIsNeverLostToAnAttemptThatFailsAtOnce) {
  test::RawHttpResponder closer("");
  auto ingestion = make(kQuickRetries, closer.baseURL());
  std::atomic<bool> stop{false};
  std::thread contender([&] {
    while (!stop) {
      ingestion->pendingCalls();
      std::this_thread::yield();
    }
  });
  constexpr int kCalls = 600;
  int stalled = 0;
  for (int i = 0; i < kCalls; ++i) {
    ingestion->sendAsync(test::container("B" + std::to_string(i)), std::nullopt, completions.handler());
    if (!completions.waitFor(static_cast<std::size_t>(i + 1 - stalled), 1)) {
      ++stalled;
      ingestion->setEnabled(false, true);
    }
    ingestion->setEnabled(true, false);  // retries exhausted disable it
  }
  stop = true;
  contender.join();
  EXPECT_EQ(stalled, 0);
  EXPECT_EQ(closer.requestCount(), static_cast<std::size_t>(4 * (kCalls - stalled)));
}

// Many calls fail twice and then succeed, each retried at once, while (in the second run)
// another thread pauses and resumes the ingestion as fast as it can. Every call must end (a retry
// timer cancelled by its own late reset would leave it waiting for ever), and every call must be
// attempted exactly three times and answered once (a timer that survives a re-send would send it
// again, and the second answer would reach the handler a second time).
TEST_F(TLTelemetryIngestionTest, RetriesNeitherStallNorDoubleUnderPauseAndResume) {
  for (const bool toggle : {false, true}) {
    SCOPED_TRACE(toggle ? "pausing and resuming" : "undisturbed");
    constexpr int kCalls = 250;
    test::FakeIngestionServer stressServer;
    std::map<std::string, int> attempts;  // by Authorization, under the server's lock
    stressServer.setResponder([&](const test::RecordedRequest& request, std::size_t) {
      const int attempt = ++attempts[request.header("Authorization").value_or("")];
      return ScriptedResponse{attempt <= 2 ? 503 : 200};
    });
    auto ingestion = make(kQuickRetries, stressServer.baseURL());
    std::atomic<bool> stop{false};
    std::thread toggler([&] {
      std::mt19937 random(42);
      while (toggle && !stop) {
        ingestion->pause();
        if (random() % 2) std::this_thread::yield();
        ingestion->resume();
        std::this_thread::sleep_for(std::chrono::microseconds(random() % 300));
      }
    });
    test::CompletionRecorder recorder;
    for (int i = 0; i < kCalls; ++i) {
      ingestion->sendAsync(test::container("B" + std::to_string(i)), "call-" + std::to_string(i), recorder.handler());
    }
    const bool allAnswered = recorder.waitFor(kCalls, 20);
    stop = true;
    toggler.join();
    ingestion->resume();
    ASSERT_TRUE(allAnswered) << recorder.count() << " of " << kCalls << " calls answered";
    test::pumpFor(0.1);
    EXPECT_EQ(recorder.count(), static_cast<std::size_t>(kCalls));
    std::map<std::string, int> answers;
    for (const auto& outcome : recorder.outcomes()) {
      ++answers[outcome.callId];
      EXPECT_EQ(outcome.status, 200) << outcome.callId;
    }
    EXPECT_EQ(answers.size(), static_cast<std::size_t>(kCalls));
    EXPECT_EQ(stressServer.requestCount(), static_cast<std::size_t>(3 * kCalls));
    int overAttempted = 0;
    for (const auto& [token, count] : attempts) overAttempted += count != 3;
    EXPECT_EQ(overAttempted, 0);
    EXPECT_TRUE(ingestion->pendingCalls().empty());
    EXPECT_TRUE(ingestion->isEnabled());
  }
}

}  // namespace
