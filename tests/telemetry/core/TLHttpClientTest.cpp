#include "telemetry/core/Internals/HttpClient/TLHttpClient.h"

#include <gtest/gtest.h>

#include <map>
#include <random>
#include <thread>

#include "telemetry/core/Internals/HttpClient/TLHttpCall.h"
#include "telemetry/core/Internals/Util/TL_Reachability.h"
#include "telemetry/core/TLConstants.h"
#include "tests/support/FakeIngestionServer.h"
#include "tests/telemetry/support/TLIngestionFixtures.h"

namespace {

using test::ScriptedResponse;
using namespace std::chrono_literals;

struct ClientOutcome {
  int status = 0;
  std::optional<foundation::Error> error;
  std::string body;
};

// Hands out handlers for the client and keeps what they are told.
class ClientRecorder {
 public:
  TLHttpRequestCompletionHandler handler(int tag = 0) {
    return [this, tag](std::optional<foundation::Data> data, std::shared_ptr<const net::HTTPURLResponse> response,
                       std::optional<foundation::Error> error) {
      std::lock_guard lock(mutex_);
      outcomes_.push_back({response ? response->statusCode() : 0, std::move(error),
                           data ? std::string(data->begin(), data->end()) : std::string()});
      ++byTag_[tag];
    };
  }
  std::vector<ClientOutcome> outcomes() const {
    std::lock_guard lock(mutex_);
    return outcomes_;
  }
  std::map<int, int> byTag() const {
    std::lock_guard lock(mutex_);
    return byTag_;
  }
  std::size_t count() const {
    std::lock_guard lock(mutex_);
    return outcomes_.size();
  }
  bool waitFor(std::size_t n, double timeoutSeconds = 5) const {
    return foundation::pumpMainUntil([&] { return count() >= n; }, timeoutSeconds);
  }

 private:
  mutable std::mutex mutex_;
  std::vector<ClientOutcome> outcomes_;
  std::map<int, int> byTag_;
};

foundation::Data bytes(const std::string& text) { return foundation::Data(text.begin(), text.end()); }

class TLHttpClientTest : public testing::Test {
 protected:
  std::shared_ptr<TLHttpClient> make(std::vector<double> retryIntervals, bool compression = true) {
    return TLHttpClient::create(std::nullopt, std::move(retryIntervals),
                                TL_Reachability::reachabilityForInternetConnection(), compression);
  }
  net::URL url(const std::string& path = "/upload?x=1") const { return *net::URL::fromString(server.baseURL() + path); }

  test::ScriptedNetwork network;
  test::FakeIngestionServer server;
  ClientRecorder completions;
};

TEST_F(TLHttpClientTest, SendsWhatItIsGivenAndFillsInTheBodysType) {
  const std::string large(2000, 'j');
  const struct {
    const char* name;
    bool compression;
    std::optional<net::HTTPHeaderFields> headers;
    std::optional<foundation::Data> body;
    std::optional<std::string> contentType;
    bool gzipped;
  } cases[] = {
      {"no body", true, net::HTTPHeaderFields{{"X-One", "1"}}, std::nullopt, std::nullopt, false},
      {"body without type", true, std::nullopt, bytes("{}"), "application/json", false},
      {"body with type", true, net::HTTPHeaderFields{{"Content-Type", "text/plain"}}, bytes("hi"), "text/plain", false},
      {"large body", true, std::nullopt, bytes(large), "application/json", true},
      {"large body, compression off", false, std::nullopt, bytes(large), "application/json", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto client = make({1}, c.compression);
    EXPECT_EQ(client->isCompressionEnabled(), c.compression);
    const std::size_t answered = completions.count();
    client->sendAsync(url(), c.body ? "PUT" : "GET", c.headers, c.body, completions.handler());
    ASSERT_TRUE(completions.waitFor(answered + 1));
    const auto request = server.requests().back();
    EXPECT_EQ(request.method, c.body ? "PUT" : "GET");
    EXPECT_EQ(request.path, "/upload");
    EXPECT_EQ(request.query, "x=1");
    EXPECT_EQ(request.header("Content-Type"), c.contentType);
    EXPECT_EQ(request.gzipped, c.gzipped);
    EXPECT_EQ(request.body, c.body ? std::string(c.body->begin(), c.body->end()) : std::string());
    if (c.headers && c.headers->contains("X-One")) {
      EXPECT_EQ(request.header("X-One"), "1");
    }
  }
}

TEST_F(TLHttpClientTest, EveryFinalStatusReachesTheHandlerWithoutAnError) {
  server.enqueue({{200, {}, "ok"}, {404, {}, "missing"}, {503}, {503}});
  auto client = make({0});  // one retry, at once
  for (const int expected : {200, 404, 503}) {
    const std::size_t answered = completions.count();
    client->sendAsync(url(), "POST", std::nullopt, bytes("x"), completions.handler());
    ASSERT_TRUE(completions.waitFor(answered + 1));
    const auto outcome = completions.outcomes().back();
    EXPECT_EQ(outcome.status, expected);
    EXPECT_FALSE(outcome.error) << expected;
  }
  EXPECT_EQ(completions.outcomes()[0].body, "ok");
  EXPECT_EQ(completions.outcomes()[1].body, "missing");
  EXPECT_EQ(server.requestCount(), 4u) << "the 503 was retried once, then handed over";
  EXPECT_EQ(client->pendingCallCount(), 0u);
}

TEST_F(TLHttpClientTest, TheServersRetryDelayWinsOverTheTable) {
  const struct {
    const char* retryAfter;
    std::vector<double> table;
    std::chrono::milliseconds atLeast, atMost;
  } cases[] = {
      {"300", {10}, 280ms, 3000ms},  // the table alone would wait 5 to 10 seconds
      {"soon", {1}, 480ms, 3000ms},  // not a number: the table's 500 to 999 ms
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.retryAfter);
    test::FakeIngestionServer retryServer;
    retryServer.enqueue({{503, {{"x-retry-after-ms", c.retryAfter}}}, {200}});
    auto client = make(c.table);
    const std::size_t answered = completions.count();
    client->sendAsync(*net::URL::fromString(retryServer.baseURL() + "/r"), "POST", std::nullopt, bytes("x"),
                      completions.handler());
    ASSERT_TRUE(completions.waitFor(answered + 1));
    const auto requests = retryServer.requests();
    ASSERT_EQ(requests.size(), 2u);
    const auto gap = requests[1].receivedAt - requests[0].receivedAt;
    EXPECT_GE(gap, c.atLeast);
    EXPECT_LE(gap, c.atMost);
    EXPECT_EQ(completions.outcomes().back().status, 200);
  }
}

TEST_F(TLHttpClientTest, ADisabledClientRefusesAndCancelsOnceWithItsCodes) {
  server.setDefaultResponse({200, {}, "late", 400ms});
  auto client = make({1});
  client->sendAsync(url(), "POST", std::nullopt, bytes("x"), completions.handler(1));
  ASSERT_TRUE(server.waitForRequests(1));

  client->setEnabled(false);
  ASSERT_EQ(completions.count(), 1u) << "the running call is answered at once";
  EXPECT_EQ(completions.outcomes()[0].error->domain(), kTLErrorDomain);
  EXPECT_EQ(completions.outcomes()[0].error->code(), TLCanceledErrorCode);
  EXPECT_EQ(completions.outcomes()[0].error->localizedDescription(), "The operation was canceled.");

  client->sendAsync(url(), "POST", std::nullopt, bytes("x"), completions.handler(2));
  ASSERT_EQ(completions.count(), 2u);
  EXPECT_EQ(completions.outcomes()[1].error->code(), TLDisabledErrorCode);
  EXPECT_EQ(completions.outcomes()[1].error->localizedDescription(), "The service is disabled.");

  client->setEnabled(true);
  test::pumpFor(0.6);  // the cancelled request's late answer, had it arrived, is ignored
  EXPECT_EQ(completions.byTag(), (std::map<int, int>{{1, 1}, {2, 1}}));
  EXPECT_EQ(server.requestCount(), 1u);
  EXPECT_EQ(client->pendingCallCount(), 0u);
}

TEST_F(TLHttpClientTest, PauseCancelsRetryTimersAndResetsTheirCounts) {
  server.enqueue({{503}, {503}, {200}});
  auto client = make({1});  // one retry, after 0.5 to 1 second
  client->sendAsync(url(), "POST", std::nullopt, bytes("x"), completions.handler());
  ASSERT_TRUE(server.waitForRequests(1));
  test::pumpFor(0.05);  // the 503 is in: its retry timer is armed
  client->pause();
  test::pumpFor(1.2);
  EXPECT_EQ(server.requestCount(), 1u) << "the timer was cancelled";

  client->resume();
  // The count was reset, so the second 503 is retried once more instead of ending the call.
  ASSERT_TRUE(completions.waitFor(1));
  EXPECT_EQ(server.requestCount(), 3u);
  EXPECT_EQ(completions.outcomes()[0].status, 200);
}

TEST_F(TLHttpClientTest, WaitsForTheNetworkAndSendsWhenItReturns) {
  network.setReachable(false);
  auto client = make({1});
  EXPECT_TRUE(client->isPaused());
  client->sendAsync(url(), "GET", std::nullopt, std::nullopt, completions.handler());
  test::pumpFor(0.2);
  EXPECT_EQ(server.requestCount(), 0u);
  network.setReachable(true);
  ASSERT_TRUE(completions.waitFor(1));
  EXPECT_FALSE(client->isPaused());
  EXPECT_EQ(completions.outcomes()[0].status, 200);
}

TEST_F(TLHttpClientTest, LoggedHeadersHideTheSecretAndTheToken) {
  auto client = make({1});
  EXPECT_EQ(client->prettyPrintHeaders(net::HTTPHeaderFields{
                {"Authorization", "Bearer abc.def"}, {"App-Secret", "0123456789-SECRET"}, {"X", "y"}}),
            "Authorization = Bearer ***, App-Secret = *********9-SECRET, X = y");
}

// Calls answered slowly or failing once, while another thread disables and enables the client:
// every handler runs exactly once, and no call cancelled by a disable is sent again afterwards.
TEST_F(TLHttpClientTest, EveryCallIsAnsweredExactlyOnceWhileTheClientIsSwitched) {
  std::mt19937 random(3);
  server.setResponder([&](const test::RecordedRequest&, std::size_t index) {
    return ScriptedResponse{index % 3 == 0 ? 503 : 200, {}, "", std::chrono::milliseconds(index % 4)};
  });
  auto client = make({0, 0});
  constexpr int kCalls = 200;
  std::atomic<bool> stop{false};
  std::thread switcher([&] {
    while (!stop) {
      client->setEnabled(false);
      client->setEnabled(true);
      std::this_thread::sleep_for(std::chrono::milliseconds(random() % 5));
    }
  });
  for (int i = 0; i < kCalls; ++i) {
    client->sendAsync(url(), "POST", std::nullopt, bytes("x"), completions.handler(i));
    if (i % 10 == 0) std::this_thread::sleep_for(1ms);
  }
  const bool all = completions.waitFor(kCalls, 10);
  stop = true;
  switcher.join();
  ASSERT_TRUE(all) << completions.count();
  test::pumpFor(0.2);
  const auto byTag = completions.byTag();
  EXPECT_EQ(byTag.size(), static_cast<std::size_t>(kCalls));
  int repeated = 0;
  for (const auto& [tag, count] : byTag) repeated += count != 1;
  EXPECT_EQ(repeated, 0);
  EXPECT_EQ(client->pendingCallCount(), 0u);
}

}  // namespace
