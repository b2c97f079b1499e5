#include "telemetry/core/Internals/Context/UserId/TLUserIdContext.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/foundation/UserDefaults.h"
#include "tests/telemetry/support/TLLogRecorder.h"

namespace {

using foundation::Date;
using std::nullopt;
using std::optional;
using std::string;
using Entries = std::vector<std::pair<optional<string>, double>>;

Date at(double seconds) { return Date::fromTimeIntervalSinceReferenceDate(seconds); }

// Records every change it hears of; may call back into the context while it is told.
class RecordingDelegate : public TLUserIdContextDelegate {
 public:
  void userIdContextDidUpdateUserId(TLUserIdContext& context, const optional<string>& userId) override {
    updates.push_back(userId);
    seenByCallback = context.userId();  // would deadlock if called under the context's lock
  }
  std::vector<optional<string>> updates;
  optional<string> seenByCallback;
};

class TLUserIdContextTest : public ::testing::Test {
 protected:
  TLUserIdContextTest() { defaults.removeObjectForKey("UserIdHistory"); }

  std::unique_ptr<TLUserIdContext> launch(double time) {
    now = at(time);
    return std::make_unique<TLUserIdContext>(settings, [this] { return now; });
  }
  Entries stored() {
    Entries entries;
    const auto history = TLHistoryInfo::loadHistory<TLUserIdHistoryInfo>(settings, "UserIdHistory");
    EXPECT_TRUE(history);
    for (const auto& entry : history.value_or(decltype(*history){})) {
      entries.emplace_back(entry->userId(), entry->timestamp().timeIntervalSinceReferenceDate());
    }
    return entries;
  }

  Date now;
  foundation::UserDefaults defaults{"org.example.tluserid"};
  TLUserDefaults settings{defaults};
};

TEST_F(TLUserIdContextTest, EachLaunchStoresItsEntryAtOnceAndChangesRewriteIt) {
  auto context = launch(100);
  EXPECT_EQ(context->userId(), nullopt);
  EXPECT_EQ(stored(), (Entries{{nullopt, 100}}));

  auto delegate = std::make_shared<RecordingDelegate>();
  context->addDelegate(delegate);
  now = at(110);
  context->setUserId("alice");
  now = at(120);
  context->setUserId("alice");  // the same id: nothing at all
  EXPECT_EQ(stored(), (Entries{{"alice", 110}}));
  EXPECT_EQ(delegate->updates, (std::vector<optional<string>>{"alice"}));
  EXPECT_EQ(delegate->seenByCallback, "alice");

  now = at(130);
  context->setUserId(nullopt);
  EXPECT_EQ(stored(), (Entries{{nullopt, 130}}));
  EXPECT_EQ(delegate->updates, (std::vector<optional<string>>{"alice", nullopt}));
  context->setUserId(nullopt);  // absent while absent: nothing
  EXPECT_EQ(delegate->updates.size(), 2u);

  context->removeDelegate(delegate);
  context->setUserId("bob");
  EXPECT_EQ(delegate->updates.size(), 2u);
}

TEST_F(TLUserIdContextTest, EarlierLaunchesAnswerForTheirTimesAcrossARestart) {
  launch(100)->setUserId("alice");  // stamped at 100
  launch(200);                      // a launch without an id still leaves its entry
  auto third = launch(300);
  const struct {
    double time;
    optional<string> userId;
  } cases[] = {
      {50, nullopt}, {100, nullopt}, {150, "alice"}, {200, "alice"}, {250, nullopt}, {301, nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(third->userIdAt(at(c.time)), c.userId) << c.time;

  now = at(310);
  third->setUserId("carol");
  EXPECT_EQ(third->userIdAt(at(305)), nullopt);  // this launch's entry now starts at 310
  EXPECT_EQ(third->userIdAt(at(311)), "carol");
  EXPECT_EQ(third->userIdAt(at(150)), "alice");
  EXPECT_EQ(stored(), (Entries{{"alice", 100}, {nullopt, 200}, {"carol", 310}}));

  third->clearUserIdHistory();
  EXPECT_EQ(stored(), (Entries{{"carol", 310}}));
  EXPECT_EQ(third->userIdAt(at(150)), nullopt);
}

TEST_F(TLUserIdContextTest, AnUnreadableHistoryIsDroppedWithAnError) {
  settings.setObject(foundation::Data{0x62, 0x70, 0x6c, 0x69, 0x73, 0x74}, "UserIdHistory");
  test::TLLogRecorder recorder;
  auto context = launch(100);
  EXPECT_EQ(recorder.messages(TLLogLevelError).size(), 1u);
  EXPECT_EQ(stored(), (Entries{{nullopt, 100}}));
}

TEST_F(TLUserIdContextTest, TheIngestionTakesIdsOfAtMost256Characters) {
  const struct {
    optional<string> userId;
    bool valid;
  } cases[] = {
      {nullopt, true},
      {"", true},
      {string(256, 'u'), true},
      {string(257, 'u'), false},
      {[] {  // 128 characters outside the BMP are 256 UTF-16 units
         string s;
         for (int i = 0; i < 128; ++i) s += "\xF0\x9F\x98\x80";
         return s;
       }(),
       true},
      {string(255, 'u') + "\xF0\x9F\x98\x80", false},
  };
  for (const auto& c : cases) {
    test::TLLogRecorder recorder;
    EXPECT_EQ(TLUserIdContext::isUserIdValidForTelemetry(c.userId), c.valid) << c.userId.value_or("(null)");
    EXPECT_EQ(recorder.messages(TLLogLevelError),
              c.valid ? std::vector<string>{} : std::vector<string>{"userId is limited to 256 characters."});
  }
}

TEST_F(TLUserIdContextTest, TheCollectorTakesIdsWithoutPrefixOrWithC) {
  const struct {
    optional<string> userId;
    const char* error;  // null when valid
  } cases[] = {
      {nullopt, nullptr},
      {"user42", nullptr},
      {"c:user42", nullptr},
      {"c:a:b", nullptr},  // judged by the text before the first colon
      {"", "userId must not be empty."},
      {"c:", "userId must not be empty."},
      {"x:user42", "userId prefix must be 'c', 'x' is not supported."},
      {"x:c:user42", "userId prefix must be 'c', 'x' is not supported."},
      {":user42", "userId prefix must be 'c', '' is not supported."},
  };
  for (const auto& c : cases) {
    test::TLLogRecorder recorder;
    EXPECT_EQ(TLUserIdContext::isUserIdValidForCollector(c.userId), c.error == nullptr)
        << c.userId.value_or("(null)");
    EXPECT_EQ(recorder.messages(TLLogLevelError), c.error ? std::vector<string>{c.error} : std::vector<string>{});
  }
}

TEST_F(TLUserIdContextTest, CollectorIdsGetThePrefixUnlessTheyHaveOne) {
  const std::pair<optional<string>, optional<string>> cases[] = {
      {"user42", "c:user42"}, {"c:user42", "c:user42"}, {"x:user42", "x:user42"}, {nullopt, nullopt}, {"", "c:"},
  };
  for (const auto& [userId, prefixed] : cases) EXPECT_EQ(TLUserIdContext::prefixedUserIdFromUserId(userId), prefixed);
}

}  // namespace
