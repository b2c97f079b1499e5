#include "telemetry/analytics/TransmissionTarget/TLAnalyticsAuthenticationProvider.h"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

#include "telemetry/core/Internals/Ingestion/TLTicketCache.h"
#include "tests/telemetry/support/TLLogRecorder.h"

namespace {

// A clock the test moves by hand, starting at a whole second.
struct ManualClock {
  foundation::Date now = foundation::Date::fromTimeIntervalSince1970(1'700'000'000);
  TLAnalyticsAuthenticationProvider::Clock function() {
    return [this] { return now; };
  }
  void advance(double seconds) { now = now.addingTimeInterval(seconds); }
};

// Keeps every completion it is handed; answers at once when `immediate` holds a result.
class RecordingTokenDelegate : public TLAnalyticsAuthenticationProviderDelegate {
 public:
  struct Answer {
    std::optional<std::string> token;
    std::optional<foundation::Date> expiry;
  };
  std::optional<Answer> immediate;

  void authenticationProviderAcquireToken(TLAnalyticsAuthenticationProvider&,
                                          TLAcquireTokenCompletionBlock completion) override {
    std::unique_lock lock(mutex_);
    completions_.push_back(completion);
    if (!immediate) return;
    const Answer answer = *immediate;
    lock.unlock();
    completion(answer.token, answer.expiry);
  }
  std::size_t requests() const {
    std::lock_guard lock(mutex_);
    return completions_.size();
  }
  TLAcquireTokenCompletionBlock last() const {
    std::lock_guard lock(mutex_);
    return completions_.back();
  }

 private:
  mutable std::mutex mutex_;
  std::vector<TLAcquireTokenCompletionBlock> completions_;
};

class TLAnalyticsAuthenticationProviderTest : public testing::Test {
 protected:
  void SetUp() override { TLTicketCache::sharedInstance().clearCache(); }

  std::shared_ptr<TLAnalyticsAuthenticationProvider> provider(
      TLAnalyticsAuthenticationType type = TLAnalyticsAuthenticationTypeP) {
    auto made = TLAnalyticsAuthenticationProvider::create(type, "ticket-key", delegate, clock.function());
    EXPECT_TRUE(made);
    return made;
  }
  std::optional<std::string> cachedTicket(const TLAnalyticsAuthenticationProvider& p) {
    return TLTicketCache::sharedInstance().ticketFor(p.ticketKeyHash());
  }

  ManualClock clock;
  std::shared_ptr<RecordingTokenDelegate> delegate = std::make_shared<RecordingTokenDelegate>();
  test::TLLogRecorder logs;
};

TEST_F(TLAnalyticsAuthenticationProviderTest, StoresThePrefixedTicketUnderTheKeyHashBeforeReturning) {
  struct Case {
    TLAnalyticsAuthenticationType type;
    const char* ticket;
  };
  for (const Case& c : {Case{TLAnalyticsAuthenticationTypeP, "p:token-1"}, Case{TLAnalyticsAuthenticationTypeD, "d:token-1"}}) {
    TLTicketCache::sharedInstance().clearCache();
    delegate->immediate = RecordingTokenDelegate::Answer{"token-1", clock.now.addingTimeInterval(3600)};
    auto p = provider(c.type);
    p->acquireTokenAsync();
    EXPECT_EQ(cachedTicket(*p), c.ticket);
    EXPECT_EQ(p->expiryDate(), clock.now.addingTimeInterval(3600));
    EXPECT_FALSE(p->completionHandler());
  }
  // The hash is the plain SHA-256 of the key, so it is the same in every run.
  auto abc = TLAnalyticsAuthenticationProvider::create(TLAnalyticsAuthenticationTypeP, "abc", delegate);
  EXPECT_EQ(abc->ticketKeyHash(), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
}

TEST_F(TLAnalyticsAuthenticationProviderTest, RefreshesOnlyWithinSixHundredSecondsOfExpiry) {
  struct Case {
    double nowFraction;      // added to the clock before the check
    double expiresIn;        // seconds after the whole-second clock
    bool asks;
  };
  const Case cases[] = {
      {0, 601, false},
      {0, 600, true},
      {0, 1, true},
      {0, -30, true},      // already expired
      {0.9, 600.95, true},  // whole seconds: 600 left
      {0.2, 601.1, false},  // whole seconds: 601 left
  };
  for (const Case& c : cases) {
    delegate = std::make_shared<RecordingTokenDelegate>();
    auto p = provider();
    p->setExpiryDate(clock.now.addingTimeInterval(c.expiresIn));
    const auto saved = clock.now;
    clock.advance(c.nowFraction);
    p->checkTokenExpiry();
    clock.now = saved;
    EXPECT_EQ(delegate->requests(), c.asks ? 1u : 0u) << "expires in " << c.expiresIn << " at +" << c.nowFraction;
  }
}

TEST_F(TLAnalyticsAuthenticationProviderTest, KeepsOneRequestInFlightAndIgnoresAnswersToOldRequests) {
  auto p = provider();
  p->setExpiryDate(clock.now.addingTimeInterval(10));
  p->checkTokenExpiry();
  p->checkTokenExpiry();
  p->acquireTokenAsync();
  ASSERT_EQ(delegate->requests(), 1u);
  auto first = delegate->last();
  first("fresh", clock.now.addingTimeInterval(7200));
  EXPECT_EQ(cachedTicket(*p), "p:fresh");

  // A second answer through the same completion belongs to a request that is over.
  first("stale", clock.now.addingTimeInterval(9000));
  EXPECT_EQ(cachedTicket(*p), "p:fresh");
  EXPECT_EQ(p->expiryDate(), clock.now.addingTimeInterval(7200));

  // Not yet near expiry: nothing more is asked.
  p->checkTokenExpiry();
  EXPECT_EQ(delegate->requests(), 1u);
}

TEST_F(TLAnalyticsAuthenticationProviderTest, ManyThreadsPreparingLogsLeadToOneRequest) {
  auto p = provider();
  std::vector<std::thread> threads;
  std::atomic<bool> go{false};
  for (int i = 0; i < 8; ++i) {
    threads.emplace_back([&] {
      while (!go) std::this_thread::yield();
      for (int j = 0; j < 200; ++j) p->checkTokenExpiry();
    });
  }
  go = true;
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(delegate->requests(), 1u);
}

TEST_F(TLAnalyticsAuthenticationProviderTest, AFailedRequestIsAskedAgainAfterABackOff) {
  struct Case {
    RecordingTokenDelegate::Answer failure;
    const char* error;
  };
  const Case cases[] = {
      {{std::nullopt, std::nullopt}, "Token must not be null"},
      {{"token", std::nullopt}, "Date must not be null"},
  };
  for (const Case& c : cases) {
    TLTicketCache::sharedInstance().clearCache();
    delegate = std::make_shared<RecordingTokenDelegate>();
    test::TLLogRecorder recorder;
    auto p = provider();
    delegate->immediate = c.failure;
    p->acquireTokenAsync();  // the first request fails: no token, no expiry date
    EXPECT_EQ(recorder.messages(TLLogLevelError), std::vector<std::string>{c.error});
    EXPECT_FALSE(cachedTicket(*p));
    EXPECT_FALSE(p->expiryDate());

    clock.advance(9);
    p->checkTokenExpiry();
    EXPECT_EQ(delegate->requests(), 1u) << "within the first back-off";
    clock.advance(1);
    p->checkTokenExpiry();  // fails again: the wait doubles
    EXPECT_EQ(delegate->requests(), 2u);
    clock.advance(19);
    p->checkTokenExpiry();
    EXPECT_EQ(delegate->requests(), 2u);
    clock.advance(1);
    delegate->immediate = RecordingTokenDelegate::Answer{"good", clock.now.addingTimeInterval(3600)};
    p->checkTokenExpiry();
    EXPECT_EQ(delegate->requests(), 3u);
    EXPECT_EQ(cachedTicket(*p), "p:good");
  }
}

TEST_F(TLAnalyticsAuthenticationProviderTest, AFailedRefreshKeepsTheOldTicketAndExpiry) {
  auto p = provider();
  delegate->immediate = RecordingTokenDelegate::Answer{"old", clock.now.addingTimeInterval(300)};
  p->acquireTokenAsync();
  delegate->immediate = RecordingTokenDelegate::Answer{std::nullopt, clock.now};
  p->checkTokenExpiry();
  EXPECT_EQ(delegate->requests(), 2u);
  EXPECT_EQ(cachedTicket(*p), "p:old");
  EXPECT_EQ(p->expiryDate(), clock.now.addingTimeInterval(300));
  clock.advance(10);
  p->checkTokenExpiry();
  EXPECT_EQ(delegate->requests(), 3u);
}

TEST_F(TLAnalyticsAuthenticationProviderTest, RefusesProvidersThatCouldNotMakeUsableTickets) {
  struct Case {
    TLAnalyticsAuthenticationType type;
    std::optional<std::string> key;
  };
  const Case cases[] = {
      {TLAnalyticsAuthenticationTypeP, std::nullopt},
      {TLAnalyticsAuthenticationTypeD, ""},
      {static_cast<TLAnalyticsAuthenticationType>(2), "key"},
  };
  for (const Case& c : cases) {
    test::TLLogRecorder recorder;
    EXPECT_FALSE(TLAnalyticsAuthenticationProvider::create(c.type, c.key, delegate));
    EXPECT_EQ(recorder.messages(TLLogLevelError).size(), 1u);
  }
  EXPECT_FALSE(TLAnalyticsAuthenticationProvider::ticketFor(static_cast<TLAnalyticsAuthenticationType>(7), "t"));
}

TEST_F(TLAnalyticsAuthenticationProviderTest, WithoutADelegateLogsOnceAndNeverAsksAgain) {
  auto p = TLAnalyticsAuthenticationProvider::create(TLAnalyticsAuthenticationTypeP, "key", nullptr, clock.function());
  p->acquireTokenAsync();
  for (int i = 0; i < 3; ++i) {
    clock.advance(3600);
    p->checkTokenExpiry();
  }
  EXPECT_EQ(logs.messages(TLLogLevelError), std::vector<std::string>{"No completionhandler to acquire token has been set."});

  // A delegate that goes away mid-request leaves no way to answer; the provider stops asking.
  auto gone = std::make_shared<RecordingTokenDelegate>();
  auto q = TLAnalyticsAuthenticationProvider::create(TLAnalyticsAuthenticationTypeP, "key", gone, clock.function());
  gone.reset();
  q->checkTokenExpiry();
  EXPECT_EQ(logs.messages(TLLogLevelError).size(), 1u);
}

}  // namespace
