#include "telemetry/core/Internals/Context/Session/TLSessionContext.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/foundation/UserDefaults.h"
#include "tests/telemetry/support/TLLogRecorder.h"

namespace {

using foundation::Date;
using foundation::Value;
using std::nullopt;
using std::optional;
using std::string;

Date at(double seconds) { return Date::fromTimeIntervalSinceReferenceDate(seconds); }

// Contexts over a settings suite of their own, with a clock the test sets; a new context over
// the same settings stands for the next launch.
class TLSessionContextTest : public ::testing::Test {
 protected:
  TLSessionContextTest() { defaults.removeObjectForKey("SessionIdHistory"); }

  std::unique_ptr<TLSessionContext> launch(double time) {
    now = at(time);
    return std::make_unique<TLSessionContext>(settings, [this] { return now; });
  }
  // The stored history as (id, time) pairs.
  std::vector<std::pair<optional<string>, double>> stored() {
    std::vector<std::pair<optional<string>, double>> entries;
    const auto history = TLHistoryInfo::loadHistory<TLSessionHistoryInfo>(settings, "SessionIdHistory");
    EXPECT_TRUE(history);
    for (const auto& entry : history.value_or(decltype(*history){})) {
      entries.emplace_back(entry->sessionId(), entry->timestamp().timeIntervalSinceReferenceDate());
    }
    return entries;
  }

  Date now;
  foundation::UserDefaults defaults{"org.example.tlsession"};
  TLUserDefaults settings{defaults};
};

TEST_F(TLSessionContextTest, AFreshInstallHasNoSessionAndStoresOneEntryPerLaunch) {
  auto context = launch(100);
  EXPECT_EQ(context->sessionId(), nullopt);
  EXPECT_TRUE(settings.objectForKey("SessionIdHistory").isNull());  // nothing stored at creation

  now = at(110);
  context->setSessionId("A");
  EXPECT_EQ(context->sessionId(), "A");
  EXPECT_EQ(stored(), (std::vector<std::pair<optional<string>, double>>{{"A", 110}}));

  now = at(120);
  context->setSessionId("B");
  EXPECT_EQ(stored(), (std::vector<std::pair<optional<string>, double>>{{"B", 120}}));

  now = at(130);
  context->setSessionId(nullopt);
  EXPECT_EQ(context->sessionId(), nullopt);
  EXPECT_EQ(stored(), (std::vector<std::pair<optional<string>, double>>{{nullopt, 130}}));
}

TEST_F(TLSessionContextTest, EarlierLaunchesAnswerForTheirTimesAcrossARestart) {
  launch(100)->setSessionId("B");  // stamped at 100: the launch's last id

  auto next = launch(200);  // the next process: no current id, the old history
  EXPECT_EQ(next->sessionId(), nullopt);
  const struct {
    double time;
    optional<string> beforeNewSession;
    optional<string> afterNewSession;
  } cases[] = {
      {50, nullopt, nullopt},  // before every entry
      {100, nullopt, nullopt},  // equal to an entry's time: not that entry
      {150, "B", "B"},          // a crash of the previous run
      {250, nullopt, "B"},      // this run, before its first session
      {300, nullopt, "B"},
      {301, nullopt, "C"},
  };
  for (const auto& c : cases) EXPECT_EQ(next->sessionIdAt(at(c.time)), c.beforeNewSession) << c.time;

  now = at(300);
  next->setSessionId("C");
  for (const auto& c : cases) EXPECT_EQ(next->sessionIdAt(at(c.time)), c.afterNewSession) << c.time;
  EXPECT_EQ(stored(), (std::vector<std::pair<optional<string>, double>>{{"B", 100}, {"C", 300}}));

  // A launch that sets no session leaves nothing behind.
  launch(400);
  auto fourth = launch(500);
  now = at(600);
  fourth->setSessionId("D");
  EXPECT_EQ(stored(), (std::vector<std::pair<optional<string>, double>>{{"B", 100}, {"C", 300}, {"D", 600}}));
}

TEST_F(TLSessionContextTest, ClearingKeepsTheCurrentEntryOnlyWhenAsked) {
  launch(100)->setSessionId("old");
  auto context = launch(200);
  now = at(210);
  context->setSessionId("current");

  context->clearSessionHistoryAndKeepCurrentSession(true);
  EXPECT_EQ(stored(), (std::vector<std::pair<optional<string>, double>>{{"current", 210}}));
  EXPECT_EQ(context->sessionIdAt(at(150)), nullopt);

  context->clearSessionHistoryAndKeepCurrentSession(false);
  EXPECT_FALSE(settings.objectForKey("SessionIdHistory").isNull());  // an empty list, not removed
  EXPECT_TRUE(stored().empty());
  EXPECT_EQ(context->sessionId(), "current");  // the current session itself goes on
  EXPECT_EQ(context->sessionIdAt(at(300)), nullopt);

  now = at(220);
  context->setSessionId("next");
  EXPECT_EQ(stored(), (std::vector<std::pair<optional<string>, double>>{{"next", 220}}));
}

TEST_F(TLSessionContextTest, AnUnreadableHistoryIsDroppedWithAnError) {
  const Value unreadable[] = {
      Value(foundation::Data{'n', 'o', 't', ' ', 'a', 'n', ' ', 'a', 'r', 'c', 'h', 'i', 'v', 'e'}),
      Value("a string"),
      Value(*foundation::KeyedArchiver::archivedDataWithRootObject(foundation::Array{"not", "entries"})),
      Value(*foundation::KeyedArchiver::archivedDataWithRootObject(Value("no list"))),
  };
  for (const Value& value : unreadable) {
    settings.setObject(value, "SessionIdHistory");
    test::TLLogRecorder recorder;
    auto context = launch(100);
    EXPECT_EQ(recorder.messages(TLLogLevelError).size(), 1u) << value.description();
    EXPECT_EQ(context->sessionIdAt(at(1000)), nullopt);
    now = at(110);
    context->setSessionId("A");
    EXPECT_EQ(stored(), (std::vector<std::pair<optional<string>, double>>{{"A", 110}}));
  }
}

TEST_F(TLSessionContextTest, TheSharedContextLastsUntilReset) {
  const auto first = TLSessionContext::sharedInstance();
  EXPECT_EQ(TLSessionContext::sharedInstance(), first);
  first->setSessionId("shared");
  TLSessionContext::resetSharedInstance();
  const auto second = TLSessionContext::sharedInstance();
  EXPECT_NE(second, first);
  EXPECT_EQ(second->sessionId(), nullopt);
  TLSessionContext::resetSharedInstance();
}

}  // namespace
