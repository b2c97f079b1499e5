#include "telemetry/core/Internals/Context/AuthToken/TLAuthTokenContext.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <mutex>

#include "telemetry/core/Internals/Model/Util/TLUserDefaults.h"
#include "telemetry/core/Internals/Util/TLKeychainUtil.h"
#include "tests/telemetry/support/TLLogRecorder.h"

namespace {

using foundation::Date;
using Period = TLAuthTokenValidityInfo;

std::string text(const std::optional<std::string>& value) { return value.value_or("nil"); }

// Writes down every call, as "token:<token>", "account:<id>" or "refresh:<id>".
class RecordingDelegate : public TLAuthTokenContextDelegate {
 public:
  void authTokenContextDidUpdateAuthToken(TLAuthTokenContext&, const std::optional<std::string>& token) override {
    record("token:" + text(token));
  }
  void authTokenContextDidUpdateAccountId(TLAuthTokenContext&, const std::optional<std::string>& id) override {
    record("account:" + text(id));
  }
  void authTokenContextRefreshAuthTokenForAccountId(TLAuthTokenContext&, const std::optional<std::string>& id) override {
    record("refresh:" + text(id));
  }
  std::vector<std::string> takeCalls() {
    std::lock_guard guard(lock_);
    return std::exchange(calls_, {});
  }

 private:
  void record(std::string call) {
    std::lock_guard guard(lock_);
    calls_.push_back(std::move(call));
  }
  std::mutex lock_;
  std::vector<std::string> calls_;
};

// A context on a clock the test moves by hand, with a recording delegate. History entries and
// periods read as "token/account/start/expiry" and "token/start/end" lines, times in seconds
// after the test's epoch.
class TLAuthTokenContextTest : public ::testing::Test {
 protected:
  void SetUp() override {
    TLUserDefaults::shared().removeObjectForKey(kTLAuthTokenHistoryKey);
    context->addDelegate(delegate);
  }

  std::unique_ptr<TLAuthTokenContext> makeContext() {
    return std::make_unique<TLAuthTokenContext>([this] { return now; });
  }
  Date at(double seconds) const { return epoch.addingTimeInterval(seconds); }
  std::string time(const std::optional<Date>& date) const {
    return date ? std::to_string(static_cast<long>(date->timeIntervalSince(epoch))) : "nil";
  }
  std::vector<std::string> history(TLAuthTokenContext& from) const {
    std::vector<std::string> lines;
    for (const auto& entry : from.authTokenHistory()) {
      lines.push_back(text(entry->authToken()) + "/" + text(entry->accountId()) + "/" + time(entry->startTime()) +
                      "/" + time(entry->expiresOn()));
    }
    return lines;
  }
  std::vector<std::string> periods(TLAuthTokenContext& from) const {
    std::vector<std::string> lines;
    for (const auto& period : from.authTokenValidityArray()) {
      lines.push_back(text(period.authToken()) + "/" + time(period.startTime()) + "/" + time(period.endTime()));
    }
    return lines;
  }

  const Date epoch = Date::fromTimeIntervalSinceReferenceDate(700000000);
  Date now = epoch;
  std::unique_ptr<TLAuthTokenContext> context = makeContext();
  std::shared_ptr<RecordingDelegate> delegate = std::make_shared<RecordingDelegate>();
};

TEST_F(TLAuthTokenContextTest, FirstRunResetKeepsTheHistoryEmptyAndTellsThereIsNoToken) {
  test::TLLogRecorder recorder;
  context->addDelegate(std::make_shared<TLAuthTokenContextDelegate>());  // implements nothing
  context->finishInitialize();
  EXPECT_TRUE(context->authTokenHistory().empty());
  EXPECT_EQ(delegate->takeCalls(), (std::vector<std::string>{"token:nil", "account:nil"}));
  EXPECT_EQ(recorder.messages(TLLogLevelWarning),
            (std::vector<std::string>{"Failed to retrieve history state or none was found.",
                                      "Failed to save new history state."}));
  EXPECT_TRUE(TLUserDefaults::shared().objectForKey(kTLAuthTokenHistoryKey).isNull());
  EXPECT_EQ(periods(*context), std::vector<std::string>{"nil/nil/nil"});

  context->finishInitialize();  // only once
  EXPECT_TRUE(delegate->takeCalls().empty());
}

TEST_F(TLAuthTokenContextTest, StartUpResetClosesTheOldTokenUnlessPrevented) {
  context->setAuthToken("left over", "acct", std::nullopt);
  delegate->takeCalls();

  auto prevented = makeContext();
  prevented->preventResetAuthTokenAfterStart();
  prevented->finishInitialize();
  EXPECT_EQ(prevented->authToken(), "left over");

  now = at(50);
  auto next = makeContext();
  next->addDelegate(delegate);
  next->finishInitialize();
  EXPECT_EQ(history(*next), (std::vector<std::string>{"left over/acct/0/nil", "nil/nil/50/nil"}));
  EXPECT_EQ(delegate->takeCalls(), (std::vector<std::string>{"token:nil", "account:nil"}));
}

TEST_F(TLAuthTokenContextTest, SettingTheCurrentTokenAgainChangesNothing) {
  context->setAuthToken("t1", "a", at(100));
  EXPECT_EQ(delegate->takeCalls(), (std::vector<std::string>{"token:t1", "account:a"}));
  const auto stored = TLUserDefaults::shared().objectForKey(kTLAuthTokenHistoryKey);
  now = at(10);
  context->setAuthToken("t1", "other", at(900));
  EXPECT_TRUE(delegate->takeCalls().empty());
  EXPECT_EQ(history(*context), std::vector<std::string>{"t1/a/0/100"});
  EXPECT_EQ(TLUserDefaults::shared().objectForKey(kTLAuthTokenHistoryKey), stored);

  // A new token of the same account tells of the token alone.
  context->setAuthToken("t2", "a", std::nullopt);
  EXPECT_EQ(delegate->takeCalls(), std::vector<std::string>{"token:t2"});
}

TEST_F(TLAuthTokenContextTest, AGapAfterAnExpiredTokenGoesToNobodyOrToTheSameUser) {
  const struct {
    const char* name;
    std::optional<std::string> account;
    std::vector<std::string> expected;
  } cases[] = {
      {"another account", "b", {"t1/a/0/100", "nil/nil/100/150", "t2/b/150/nil"}},
      {"the same account", "a", {"t1/a/0/100", "t2/a/100/nil"}},
      {"no account after one", std::nullopt, {"t1/a/0/100", "nil/nil/100/150", "t2/nil/150/nil"}},
  };
  for (const auto& c : cases) {
    TLUserDefaults::shared().removeObjectForKey(kTLAuthTokenHistoryKey);
    now = epoch;
    auto fresh = makeContext();
    fresh->setAuthToken("t1", "a", at(100));
    now = at(150);
    fresh->setAuthToken("t2", c.account, std::nullopt);
    EXPECT_EQ(history(*fresh), c.expected) << c.name;
  }

  // Signing out after expiry: the sign-out period starts where the token ended.
  TLUserDefaults::shared().removeObjectForKey(kTLAuthTokenHistoryKey);
  auto other = makeContext();
  now = at(200);
  other->setAuthToken("t1", "a", at(250));
  now = at(300);
  other->setAuthToken(std::nullopt, "ignored", at(999));
  EXPECT_EQ(history(*other), (std::vector<std::string>{"t1/a/200/250", "nil/nil/250/nil"}));

  // A token still valid: the next starts now.
  other->setAuthToken("t3", "c", at(1000));
  now = at(400);
  other->setAuthToken("t4", "d", std::nullopt);
  EXPECT_EQ(history(*other).back(), "t4/d/400/nil");
}

TEST_F(TLAuthTokenContextTest, PeriodsEndWhereTheNextBeginsAndTheHistoryKeepsFive) {
  context->setAuthToken("t1", "a", std::nullopt);
  now = at(10);
  context->setAuthToken("t2", "a", at(500));
  now = at(20);
  context->setAuthToken("t3", "b", at(600));
  EXPECT_EQ(periods(*context), (std::vector<std::string>{"t1/0/10", "t2/10/20", "t3/20/600"}));

  test::TLLogRecorder recorder;
  for (int i = 4; i <= 6; ++i) {
    now = at(i * 10);
    context->setAuthToken("t" + std::to_string(i), "a", std::nullopt);
  }
  EXPECT_EQ(periods(*context), (std::vector<std::string>{"t2/10/20", "t3/20/40", "t4/40/50", "t5/50/60", "t6/60/nil"}));
  const auto debug = recorder.messages(TLLogLevelDebug);
  EXPECT_EQ(std::count(debug.begin(), debug.end(),
                       "Size of the token history is exceeded. The oldest token has been removed."),
            1);
}

TEST_F(TLAuthTokenContextTest, OnlyTheOldestTokenIsRemovedAndNeverTheLastOne) {
  context->setAuthToken("t1", "a", std::nullopt);
  test::TLLogRecorder recorder;
  context->removeAuthToken("t1");  // the only entry
  EXPECT_EQ(recorder.messages(TLLogLevelDebug).back(),
            "Couldn't remove token from history; token history is empty or contains only current one.");

  now = at(10);
  context->setAuthToken("t2", "a", std::nullopt);
  for (const std::optional<std::string>& token : {std::optional<std::string>("t2"), std::optional<std::string>()}) {
    context->removeAuthToken(token);
    EXPECT_EQ(recorder.messages(TLLogLevelDebug).back(),
              "Couldn't remove token from history; the token isn't oldest or is already removed.");
    EXPECT_EQ(history(*context).size(), 2u);
  }
  context->removeAuthToken("t1");
  EXPECT_EQ(recorder.messages(TLLogLevelDebug).back(), "The token has been removed from the history.");
  EXPECT_EQ(history(*context), std::vector<std::string>{"t2/a/10/nil"});
  EXPECT_EQ(history(*makeContext()), std::vector<std::string>{"t2/a/10/nil"});  // stored, too
}

TEST_F(TLAuthTokenContextTest, ACurrentTokenAboutToExpireIsRefreshedThroughTheDelegates) {
  EXPECT_TRUE(Period("t", now, now.addingTimeInterval(599)).expiresSoon(now));
  EXPECT_FALSE(Period("t", now, now.addingTimeInterval(601)).expiresSoon(now));
  EXPECT_TRUE(Period("t", now, now.addingTimeInterval(-1)).expiresSoon(now));
  EXPECT_FALSE(Period("t", now, std::nullopt).expiresSoon(now));

  context->setAuthToken("old", "acct-old", std::nullopt);
  now = at(10);
  context->setAuthToken("current", "acct", at(10 + 599));
  auto second = std::make_shared<RecordingDelegate>();
  context->addDelegate(second);
  delegate->takeCalls();

  test::TLLogRecorder recorder;
  context->checkIfTokenNeedsToBeRefreshed(Period("old", at(0), at(10)));  // not the current token
  context->checkIfTokenNeedsToBeRefreshed(Period(std::nullopt, at(0), at(10)));
  context->checkIfTokenNeedsToBeRefreshed(Period("current", at(10), at(10 + 601)));
  EXPECT_TRUE(delegate->takeCalls().empty());
  context->checkIfTokenNeedsToBeRefreshed(context->authTokenValidityArray().back());
  EXPECT_EQ(delegate->takeCalls(), std::vector<std::string>{"refresh:acct"});
  EXPECT_EQ(second->takeCalls(), std::vector<std::string>{"refresh:acct"});
  EXPECT_EQ(recorder.messages(TLLogLevelInfo),
            (std::vector<std::string>{"The token needs to be refreshed.", "The token needs to be refreshed."}));

  context->removeDelegate(second);
  context->checkIfTokenNeedsToBeRefreshed(context->authTokenValidityArray().back());
  EXPECT_TRUE(second->takeCalls().empty());
}

TEST_F(TLAuthTokenContextTest, AccountIdsReachDelegatesCutTo36Characters) {
  const std::string forty = "0123456789abcdef0123456789abcdef01234567";
  context->setAuthToken("t", forty, std::nullopt);
  EXPECT_EQ(delegate->takeCalls(), (std::vector<std::string>{"token:t", "account:" + forty.substr(0, 36)}));
  EXPECT_EQ(context->accountId(), forty);  // kept whole
}

TEST_F(TLAuthTokenContextTest, TheHistoryIsStoredEncryptedAndSurvivesAReload) {
  for (int i = 1; i <= 6; ++i) {
    now = at(i * 100);
    context->setAuthToken("secret-token-" + std::to_string(i), "account-" + std::to_string(i % 2), at(i * 100 + 150));
  }
  const auto before = history(*context);
  ASSERT_EQ(before.size(), 5u);
  EXPECT_EQ(before.front(), "secret-token-2/account-0/200/350");

  const auto stored = TLUserDefaults::shared().objectForKey(kTLAuthTokenHistoryKey);
  ASSERT_TRUE(stored.isData());
  const std::string raw(stored.dataValue().begin(), stored.dataValue().end());
  EXPECT_EQ(raw.find("secret-token"), std::string::npos);
  EXPECT_EQ(raw.find("account-"), std::string::npos);

  TLAuthTokenContext::resetSharedInstance();
  test::TLLogRecorder recorder;
  const auto reloaded = TLAuthTokenContext::sharedInstance();
  EXPECT_EQ(history(*reloaded), before);
  EXPECT_EQ(periods(*reloaded), periods(*context));
  EXPECT_EQ(reloaded->authToken(), "secret-token-6");
  EXPECT_EQ(recorder.messages(TLLogLevelDebug).front(), "Retrieved history state.");
  EXPECT_EQ(TLAuthTokenContext::sharedInstance(), reloaded);
  TLAuthTokenContext::resetSharedInstance();
}

TEST_F(TLAuthTokenContextTest, AStoredHistoryThatCannotBeReadCountsAsEmpty) {
  const foundation::Value unreadable[] = {foundation::Data{1, 2, 3}, "text, not data",
                                          *TLEncrypter().encryptData(foundation::Data{'n', 'o', 't'})};
  for (const auto& value : unreadable) {
    TLUserDefaults::shared().setObject(value, kTLAuthTokenHistoryKey);
    test::TLLogRecorder recorder;
    EXPECT_TRUE(makeContext()->authTokenHistory().empty());
    EXPECT_EQ(recorder.messages(TLLogLevelWarning),
              std::vector<std::string>{"Failed to retrieve history state or none was found."});
  }
}

TEST_F(TLAuthTokenContextTest, ATokenThatCannotBeStoredStillHoldsInThisProcess) {
  context->setAuthToken("t1", "a", std::nullopt);
  const auto stored = TLUserDefaults::shared().objectForKey(kTLAuthTokenHistoryKey);
  // The key of the current tag is replaced by something that is no key: encryption fails.
  ASSERT_TRUE(TLKeychainUtil::storeString("no key", TLEncrypter::getCurrentKeyTag()));
  TLEncrypter::forgetKeysInMemory();
  delegate->takeCalls();

  test::TLLogRecorder recorder;
  now = at(10);
  context->setAuthToken("t2", "b", std::nullopt);
  EXPECT_EQ(recorder.messages(TLLogLevelWarning), std::vector<std::string>{"Failed to save new history state."});
  EXPECT_EQ(delegate->takeCalls(), (std::vector<std::string>{"token:t2", "account:b"}));
  EXPECT_EQ(context->authToken(), "t2");
  EXPECT_EQ(periods(*context), (std::vector<std::string>{"t1/0/10", "t2/10/nil"}));
  EXPECT_EQ(TLUserDefaults::shared().objectForKey(kTLAuthTokenHistoryKey), stored);
}

}  // namespace
