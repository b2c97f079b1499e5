#include "telemetry/analytics/Internals/Session/TLSessionTracker.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/appkit/ApplicationActivation.h"
#include "platform/foundation/NotificationCenter.h"
#include "telemetry/analytics/Model/TLEventLog.h"
#include "telemetry/analytics/Model/TLStartSessionLog.h"
#include "telemetry/core/Internals/Model/TLStartServiceLog.h"
#include "telemetry/core/Internals/Util/TLUtility.h"
#include "tests/telemetry/support/TLLogRecorder.h"
#include "tests/telemetry/support/TLModelFixtures.h"

namespace {

using foundation::Date;

// Keeps the start-session logs handed to it.
class RecordingDelegate : public TLSessionTrackerDelegate {
 public:
  void sessionTrackerProcessLog(TLSessionTracker&, const std::shared_ptr<TLLog>& log) override {
    std::lock_guard lock(mutex_);
    logs_.push_back(log);
  }
  std::vector<std::shared_ptr<TLLog>> logs() const {
    std::lock_guard lock(mutex_);
    return logs_;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<std::shared_ptr<TLLog>> logs_;
};

// The channel a log is prepared on; the tracker does not look at it.
class AnyChannel : public TLChannelProtocol {
 public:
  void setEnabled(bool, bool) override {}
  void addDelegate(const std::shared_ptr<TLChannelDelegate>&) override {}
  void removeDelegate(const std::shared_ptr<TLChannelDelegate>&) override {}
  void pauseWithIdentifyingObject(const TLIdentifyingObject&) override {}
  void resumeWithIdentifyingObject(const TLIdentifyingObject&) override {}
};

// A log the crash service would send: it opts out of session ids.
class NoSessionLog : public TLAbstractLog, public TLNoAutoAssignSessionIdLog {};

// A tracker over its own context and notification centre, with a clock and an application state
// the test sets.
class TLSessionTrackerTest : public ::testing::Test {
 protected:
  TLSessionTrackerTest() {
    tracker->setDelegate(delegate);
  }

  void advance(double seconds) { now = now.load() + seconds; }
  void post(const char* name) { center.post(name, static_cast<const void*>(nullptr)); }
  // The application resigns active, stays away `away` seconds and comes back.
  void awayFor(double away) {
    post(appkit::kApplicationDidResignActiveNotification);
    advance(away);
    post(appkit::kApplicationWillBecomeActiveNotification);
  }
  // A log enqueued through a channel now.
  std::shared_ptr<TLLog> prepare(std::shared_ptr<TLLog> log = std::make_shared<TLEventLog>()) {
    AnyChannel channel;
    tracker->channelPrepareLog(channel, log);
    return log;
  }
  std::size_t sessions() const { return delegate->logs().size(); }

  std::atomic<double> now{1000};
  std::atomic<TLApplicationState> state{TLApplicationStateActive};
  foundation::NotificationCenter center;
  std::shared_ptr<TLSessionContext> context = std::make_shared<TLSessionContext>();
  std::shared_ptr<RecordingDelegate> delegate = std::make_shared<RecordingDelegate>();
  std::unique_ptr<TLSessionTracker> tracker = std::make_unique<TLSessionTracker>(
      context, [this] { return Date::fromTimeIntervalSinceReferenceDate(now.load()); }, [this] { return state.load(); },
      center);
};

TEST_F(TLSessionTrackerTest, StartingWhileActiveBeginsASessionAndAnnouncesIt) {
  test::TLLogRecorder recorder;
  tracker->start();
  const auto sid = context->sessionId();
  ASSERT_TRUE(sid);
  ASSERT_EQ(sessions(), 1u);
  const auto log = delegate->logs().front();
  EXPECT_TRUE(std::dynamic_pointer_cast<TLStartSessionLog>(log));
  EXPECT_EQ(log->sid(), sid);
  EXPECT_EQ(recorder.messages(TLLogLevelInfo), std::vector<std::string>{"New session ID: " + *sid});
  for (const auto& entry : recorder.entries()) {
    if (entry.level == TLLogLevelInfo) {
      EXPECT_EQ(entry.tag, "TelemetryAnalytics");
    }
  }

  tracker->start();  // already started: nothing
  EXPECT_EQ(sessions(), 1u);
}

TEST_F(TLSessionTrackerTest, InTheBackgroundOrUndeterminedTheSessionWaitsForTheNextActivation) {
  for (TLApplicationState startState : {TLApplicationStateBackground, TLApplicationStateUnknown}) {
    state = startState;
    tracker->start();
    EXPECT_EQ(sessions(), 0u);
    EXPECT_FALSE(context->sessionId());
    post(appkit::kApplicationWillBecomeActiveNotification);
    EXPECT_EQ(sessions(), 1u);
    EXPECT_TRUE(context->sessionId());
    tracker->stop();
    delegate = std::make_shared<RecordingDelegate>();
    tracker->setDelegate(delegate);
  }
}

TEST_F(TLSessionTrackerTest, OffTheMainThreadTheApplicationStateCannotBeToldSoNoSessionBegins) {
  TLSessionTracker real(context, [this] { return Date::fromTimeIntervalSinceReferenceDate(now.load()); },
                        &TLUtility::applicationState, center);
  real.setDelegate(delegate);
  std::thread([&] { real.start(); }).join();
  EXPECT_EQ(sessions(), 0u);
  post(appkit::kApplicationWillBecomeActiveNotification);
  EXPECT_EQ(sessions(), 1u);
}

// The 20-second rule: a new session needs both 20 seconds away from the active state and 20
// seconds without a log.
TEST_F(TLSessionTrackerTest, ANewSessionBeginsOnlyAfterTwentySecondsAwayAndWithoutLogs) {
  const struct {
    const char* what;
    double away;
    double lastLogBeforeReturn;  // seconds before the return; negative: no log since start
    bool newSession;
  } cases[] = {
      {"away 19 s, no logs", 19, -1, false},
      {"away 20 s, no logs", 20, -1, true},
      {"away a minute, a log 5 s ago", 60, 5, false},
      {"away a minute, a log 19.9 s ago", 60, 19.9, false},
      {"away a minute, a log 20 s ago", 60, 20, true},
  };
  for (const auto& c : cases) {
    tracker->stop();
    tracker->setLastCreatedLogTime(std::nullopt);
    now = 1000;
    tracker->start();
    advance(100);  // the start-up log time is long past
    const auto first = context->sessionId();
    const std::size_t before = sessions();

    post(appkit::kApplicationDidResignActiveNotification);
    if (c.lastLogBeforeReturn >= 0) {
      advance(c.away - c.lastLogBeforeReturn);
      prepare();
      advance(c.lastLogBeforeReturn);
    } else {
      advance(c.away);
    }
    post(appkit::kApplicationWillBecomeActiveNotification);
    EXPECT_EQ(context->sessionId() != first, c.newSession) << c.what;
    EXPECT_EQ(sessions(), before + (c.newSession ? 1 : 0)) << c.what;
    if (c.newSession) {
      EXPECT_EQ(delegate->logs().back()->sid(), context->sessionId()) << c.what;
    }
  }
}

TEST_F(TLSessionTrackerTest, LogsCreatedWhileAwayKeepTheSessionAlive) {
  tracker->start();
  const auto first = context->sessionId();
  post(appkit::kApplicationDidResignActiveNotification);
  for (int i = 0; i < 6; ++i) {  // a timer tracks an event every 10 seconds for a minute
    advance(10);
    prepare();
  }
  post(appkit::kApplicationWillBecomeActiveNotification);
  EXPECT_EQ(context->sessionId(), first);
  EXPECT_EQ(sessions(), 1u);
}

TEST_F(TLSessionTrackerTest, PreparedLogsGetTheSessionIdUnlessTheyAnnounceOrOptOut) {
  tracker->start();
  const auto sid = context->sessionId();
  advance(30);

  const auto event = prepare();
  EXPECT_EQ(event->sid(), sid);
  EXPECT_EQ(tracker->lastCreatedLogTime(), Date::fromTimeIntervalSinceReferenceDate(1030));

  advance(1);
  const auto optOut = prepare(std::make_shared<NoSessionLog>());
  EXPECT_FALSE(optOut->sid());
  EXPECT_EQ(tracker->lastCreatedLogTime(), Date::fromTimeIntervalSinceReferenceDate(1031));  // still counts

  advance(1);
  auto session = std::make_shared<TLStartSessionLog>();
  session->setSid("own");
  prepare(session);
  prepare(std::make_shared<TLStartServiceLog>());
  EXPECT_EQ(session->sid(), "own");
  EXPECT_EQ(tracker->lastCreatedLogTime(), Date::fromTimeIntervalSinceReferenceDate(1031));  // neither counts
}

TEST_F(TLSessionTrackerTest, StopClearsTheSessionAndStopsListeningAndAStartBeginsAnotherAtOnce) {
  tracker->start();
  const auto first = context->sessionId();
  prepare();  // a log just now: the timeout alone would keep the session
  tracker->stop();
  EXPECT_FALSE(tracker->isStarted());
  EXPECT_FALSE(context->sessionId());
  awayFor(60);
  EXPECT_EQ(sessions(), 1u);  // not listening while stopped
  EXPECT_FALSE(tracker->lastEnteredForegroundTime());

  tracker->start();
  EXPECT_TRUE(context->sessionId());
  EXPECT_NE(context->sessionId(), first);
  EXPECT_EQ(sessions(), 2u);

  tracker.reset();  // a destroyed tracker stops listening too
  awayFor(60);
  EXPECT_EQ(sessions(), 2u);
}

TEST_F(TLSessionTrackerTest, ANewSessionFollowsQtsApplicationStateThroughTheDefaultCentre) {
  static int argc = 1;
  static char name[] = "test_telemetry_analytics";
  static char* argv[] = {name, nullptr};
  qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  appkit::ApplicationActivation activation;
  TLSessionTracker real(context, [this] { return Date::fromTimeIntervalSinceReferenceDate(now.load()); },
                        [] { return TLApplicationStateActive; }, foundation::NotificationCenter::defaultCenter());
  real.setDelegate(delegate);
  real.start();
  ASSERT_EQ(sessions(), 1u);

  emit app.applicationStateChanged(Qt::ApplicationActive);
  emit app.applicationStateChanged(Qt::ApplicationInactive);
  advance(25);
  emit app.applicationStateChanged(Qt::ApplicationActive);
  EXPECT_EQ(sessions(), 2u);
  EXPECT_EQ(real.lastEnteredBackgroundTime(), Date::fromTimeIntervalSinceReferenceDate(1000));
  EXPECT_EQ(real.lastEnteredForegroundTime(), Date::fromTimeIntervalSinceReferenceDate(1025));
}

// Logs are prepared on many threads while the main thread renews sessions; the last log time and
// the session id are shared between them.
TEST_F(TLSessionTrackerTest, PreparingLogsOnManyThreadsWhileSessionsRenewIsSafe) {
  tracker->start();
  std::atomic<bool> done{false};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      while (!done) EXPECT_TRUE(prepare()->sid());
    });
  }
  for (int i = 0; i < 200; ++i) {
    tracker->setLastCreatedLogTime(std::nullopt);
    awayFor(30);
  }
  done = true;
  for (auto& thread : threads) thread.join();
  EXPECT_GE(sessions(), 1u);
}

}  // namespace
