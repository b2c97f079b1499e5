#include "telemetry/analytics/TLAnalytics.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "platform/appkit/ApplicationActivation.h"
#include "platform/foundation/JSONSerialization.h"
#include "platform/foundation/NotificationCenter.h"
#include "platform/foundation/RunLoop.h"
#include "telemetry/core/Internals/Channel/TLChannelGroupDefault.h"
#include "telemetry/core/Internals/Context/AuthToken/TLAuthTokenContext.h"
#include "telemetry/core/Internals/Context/Device/TLDeviceTracker.h"
#include "telemetry/core/Internals/Context/Session/TLSessionContext.h"
#include "telemetry/core/Internals/Context/UserId/TLUserIdContext.h"
#include "telemetry/core/TLTelemetry.h"
#include "tests/support/FakeIngestionServer.h"
#include "tests/telemetry/support/TLChannelFixtures.h"
#include "tests/telemetry/support/TLIngestionFixtures.h"
#include "tests/telemetry/support/TLLogRecorder.h"

namespace {

using foundation::Dictionary;
using foundation::Value;
using std::string;

const string kSecret = "5d3c1a0e-7b1f-4c1e-9d4a-SECRETS-END8";
const string kToken = "0123456789abcdef0123456789abcdef-00000000-0000-0000-0000-000000000000-7777";
const TLServiceClass kAnalytics = TLServiceClass::of<TLAnalytics>();

std::shared_ptr<TLChannelGroupDefault> currentGroup() {
  return std::dynamic_pointer_cast<TLChannelGroupDefault>(TLTelemetry::sharedInstance()->channelGroup());
}

bool contains(const std::vector<string>& lines, const string& line) {
  return std::find(lines.begin(), lines.end(), line) != lines.end();
}

// Hears what the service tells its delegate, as "willSend event applyChanges" and the like.
class RecordingAnalyticsDelegate : public TLAnalyticsDelegate {
 public:
  void analyticsWillSendEventLog(TLAnalytics&, const std::shared_ptr<TLEventLog>& log) override { add("willSend event", *log); }
  void analyticsDidSucceedSendingEventLog(TLAnalytics&, const std::shared_ptr<TLEventLog>& log) override {
    add("succeed event", *log);
  }
  void analyticsWillSendPageLog(TLAnalytics&, const std::shared_ptr<TLPageLog>& log) override { add("willSend page", *log); }
  void analyticsDidSucceedSendingPageLog(TLAnalytics&, const std::shared_ptr<TLPageLog>& log) override {
    add("succeed page", *log);
  }
  std::vector<string> calls() const {
    std::lock_guard lock(mutex_);
    return calls_;
  }

 private:
  void add(const string& what, const TLLogWithNameAndProperties& log) {
    std::lock_guard lock(mutex_);
    calls_.push_back(what + " " + log.name().value_or(""));
  }
  mutable std::mutex mutex_;
  std::vector<string> calls_;
};

// The analytics service as the application starts it, against a fake ingestion server, with a
// recorder of every channel callback of the group.
class TLAnalyticsTest : public testing::Test {
 public:
  ~TLAnalyticsTest() override { dropProcessState(); }

  // What a new launch starts from: nothing but the settings and files on disk.
  void restart() {
    dropProcessState();
    recorder = std::make_shared<test::RecordingChannelDelegate>();
  }
  void dropProcessState() {
    if (auto group = currentGroup()) test::onQueue(group->logsDispatchQueue());
    TLTelemetry::resetSharedInstance();
    TLAnalytics::resetSharedInstance();
    TLAuthTokenContext::resetSharedInstance();
    TLSessionContext::resetSharedInstance();
    TLUserIdContext::resetSharedInstance();
    TLDeviceTracker::resetSharedInstance();
  }

  void start(const string& secretString = kSecret) {
    TLTelemetry::setLogUrl(server.baseURL());
    TLTelemetry::start(secretString, {kAnalytics});
    if (auto group = currentGroup()) group->addDelegate(recorder);
  }

  // The analytics logs that reached the server so far, in the order they were sent.
  std::vector<Value> sentAnalyticsLogs() const {
    std::vector<Value> logs;
    for (const auto& request : server.requests()) {
      const auto json =
          foundation::JSONSerialization::JSONObjectWithData(foundation::Data(request.body.begin(), request.body.end()));
      if (!json || !json->isDictionary()) continue;
      for (const auto& log : json->dictionaryValue().get("logs").arrayValue()) {
        if (log["type"] != Value("startService")) logs.push_back(log);
      }
    }
    return logs;
  }
  // Waits until `count` analytics logs reached the server (the normal unit flushes every 3 s).
  std::vector<Value> waitForSentLogs(std::size_t count) const {
    foundation::pumpMainUntil([&] { return sentAnalyticsLogs().size() >= count; }, 8);
    return sentAnalyticsLogs();
  }
  // The event and page logs prepared on the units so far, with the unit's group id and flags.
  std::vector<test::ChannelEvent> prepared() const {
    std::vector<test::ChannelEvent> events;
    for (const auto& event : recorder->events("didPrepare")) {
      if (std::dynamic_pointer_cast<TLLogWithNameAndProperties>(event.log)) events.push_back(event);
    }
    return events;
  }

  // The messages of `level` under the analytics service's tag.
  std::vector<string> analyticsMessages(TLLogLevel level) const {
    std::vector<string> texts;
    for (const auto& entry : logs.entries()) {
      if (entry.level == level && entry.tag == "TelemetryAnalytics") texts.push_back(entry.message);
    }
    return texts;
  }

  test::ScriptedNetwork network;
  test::TLLogRecorder logs;
  test::FakeIngestionServer server;
  std::shared_ptr<test::RecordingChannelDelegate> recorder = std::make_shared<test::RecordingChannelDelegate>();
};

TEST_F(TLAnalyticsTest, TrackedLogsReachTheServerAfterTheStartSessionLogOfTheirSession) {
  start();
  TLAnalytics::trackEvent("applyChanges");
  TLAnalytics::trackPage("Settings", Dictionary{});

  const auto sent = waitForSentLogs(3);
  ASSERT_EQ(sent.size(), 3u);
  EXPECT_EQ(sent[0]["type"], Value("startSession"));
  const Value sid = sent[0]["sid"];
  ASSERT_TRUE(sid.isString());
  EXPECT_EQ(Value(*TLSessionContext::sharedInstance()->sessionId()), sid);

  const auto& event = sent[1].dictionaryValue();
  EXPECT_EQ(event.keys(), (std::vector<string>{"type", "timestamp", "sid", "device", "name", "id"}));
  EXPECT_EQ(event.get("type"), Value("event"));
  EXPECT_EQ(event.get("name"), Value("applyChanges"));
  EXPECT_EQ(event.get("sid"), sid);
  const auto& page = sent[2].dictionaryValue();
  EXPECT_EQ(page.keys(), (std::vector<string>{"type", "timestamp", "sid", "device", "name"}));
  EXPECT_EQ(page.get("name"), Value("Settings"));
}

TEST_F(TLAnalyticsTest, BeforeTheSdkStartsTheServiceNothingIsTrackedOrPaused) {
  TLAnalytics::trackEvent("early");
  TLAnalytics::trackPage("early");
  TLAnalytics::pause();
  const string error =
      "Analytics service hasn't been started. You need to call [TLTelemetry start:YOUR_APP_SECRET "
      "withServices:LIST_OF_SERVICES] first.";
  EXPECT_EQ(logs.messages(TLLogLevelError), (std::vector<string>{error, error, error}));
  EXPECT_EQ(logs.entries().front().tag, "Telemetry");
  EXPECT_FALSE(TLAnalytics::sharedInstance()->channelUnit());
}

TEST_F(TLAnalyticsTest, FlagsChooseTheNormalOrTheCriticalUnit) {
  start();
  const struct {
    const char* name;
    TLFlags flags;
    const char* groupId;
    TLFlags enqueuedFlags;
    bool warns;
  } cases[] = {
      {"normal", 1, "Analytics", 1, false},
      {"critical", 2, "Analytics_critical", 2, false},
      {"high bits dropped", 0x0102, "Analytics_critical", 2, false},
      {"both bits", 3, "Analytics", 1, true},
      {"none", 0, "Analytics", 1, true},
  };
  for (const auto& c : cases) TLAnalytics::trackEvent(c.name, Dictionary{}, c.flags);
  TLAnalytics::trackPage("page");

  std::map<string, test::ChannelEvent> byName;
  for (const auto& event : prepared()) {
    byName[*std::static_pointer_cast<TLLogWithNameAndProperties>(event.log)->name()] = event;
  }
  for (const auto& c : cases) {
    ASSERT_TRUE(byName.count(c.name)) << c.name;
    EXPECT_EQ(byName[c.name].groupId, c.groupId) << c.name;
    EXPECT_EQ(byName[c.name].flags, c.enqueuedFlags) << c.name;
  }
  EXPECT_EQ(byName["page"].groupId, "Analytics");
  EXPECT_EQ(byName["page"].flags, 1u);
  EXPECT_EQ(analyticsMessages(TLLogLevelWarning),
            (std::vector<string>{"Invalid flags (3) received, using normal as a default.",
                                 "Invalid flags (0) received, using normal as a default."}));
}

// Bad input is cut, dropped or refused, and what reaches the server is always valid.
TEST_F(TLAnalyticsTest, NamesAndPropertiesAreValidatedBeforeTheyAreStored) {
  start();
  auto typed = std::make_shared<TLEventProperties>();
  for (int i = 0; i < 21; ++i) typed->setInt64(i, "k" + std::to_string(i));
  TLAnalytics::trackEvent(string(300, 'e'), typed);
  TLAnalytics::trackEvent("mixed", Dictionary{{"text", "kept"}, {"number", 5}});
  TLAnalytics::trackPage("", Dictionary{{"p", "q"}});
  TLAnalytics::trackEvent(std::nullopt);
  TLAnalytics::trackPage("last");

  const auto sent = waitForSentLogs(4);
  ASSERT_EQ(sent.size(), 4u);  // start session, the two events, the last page
  EXPECT_EQ(sent[1]["name"], Value(string(256, 'e')));
  EXPECT_EQ(sent[1]["typedProperties"].arrayValue().size(), 20u);
  EXPECT_EQ(sent[2]["name"], Value("mixed"));
  EXPECT_EQ(sent[2]["typedProperties"],
            Value(foundation::Array{Dictionary{{"type", "string"}, {"name", "text"}, {"value", "kept"}}}));
  EXPECT_EQ(sent[3]["name"], Value("last"));

  EXPECT_TRUE(contains(logs.messages(TLLogLevelError), "page name cannot be null or empty"));
  const auto warnings = logs.messages(TLLogLevelWarning);
  EXPECT_TRUE(contains(warnings, "Event property contains an invalid value for key number, dropping the property."));
  EXPECT_TRUE(contains(warnings, "Typed properties cannot contain more than 20 items. Skipping other properties."));
  EXPECT_TRUE(contains(warnings, "Log is not valid."));  // the event without a name, refused by the unit
}

TEST_F(TLAnalyticsTest, DisablingCascadesToUnitsSessionAndTargetsAndOutlivesARestart) {
  start();
  auto target = TLAnalytics::transmissionTargetForToken(kToken);
  ASSERT_TRUE(TLSessionContext::sharedInstance()->sessionId());
  TLAnalytics::setEnabled(false);

  EXPECT_FALSE(TLAnalytics::isEnabled());
  EXPECT_FALSE(target->isEnabled());
  EXPECT_FALSE(TLAnalytics::sharedInstance()->sessionTracker()->isStarted());
  EXPECT_FALSE(TLSessionContext::sharedInstance()->sessionId());
  test::onQueue(currentGroup()->logsDispatchQueue());
  std::vector<string> disabledUnits;
  for (const auto& event : recorder->events("enabled")) {
    // The collector's "/one" companion follows its unit on the queue in its own time; whether it
    // has by now is not what this test is about.
    const bool companion = event.groupId.ends_with("/one");
    if (!event.isEnabled && event.deleteData && !companion) disabledUnits.push_back(event.groupId);
  }
  EXPECT_EQ(disabledUnits, (std::vector<string>{"Analytics", "Analytics_critical"}));
  // Silently: no line of the service, and no warning or error of anyone.
  const auto linesSaid = [this] {
    std::size_t count = 0;
    for (const auto& entry : logs.entries()) count += entry.tag == "TelemetryAnalytics" || entry.level >= TLLogLevelWarning;
    return count;
  };
  const auto linesBefore = linesSaid();
  TLAnalytics::trackEvent("ignored");
  TLAnalytics::trackPage("ignored");
  EXPECT_EQ(linesSaid(), linesBefore);
  EXPECT_TRUE(prepared().empty());

  target.reset();  // it holds this launch's channel group, and with it the open log store
  restart();
  start();
  EXPECT_FALSE(TLAnalytics::isEnabled());
  EXPECT_FALSE(TLSessionContext::sharedInstance()->sessionId());
  EXPECT_FALSE(TLAnalytics::transmissionTargetForToken(kToken)->isEnabled());
  TLAnalytics::trackEvent("still ignored");
  EXPECT_TRUE(prepared().empty());

  TLAnalytics::setEnabled(true);
  EXPECT_TRUE(TLAnalytics::isEnabled());
  EXPECT_TRUE(TLAnalytics::transmissionTargetForToken(kToken)->isEnabled());
  EXPECT_TRUE(TLSessionContext::sharedInstance()->sessionId());
  TLAnalytics::trackEvent("back");
  const auto sent = waitForSentLogs(2);
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(sent[0]["type"], Value("startSession"));
  EXPECT_EQ(sent[1]["name"], Value("back"));
}

TEST_F(TLAnalyticsTest, TheTransmissionIntervalIsTakenOnlyWithinBoundsAndBeforeTheStart) {
  const struct {
    std::uint32_t seconds;
    bool taken;
  } cases[] = {{2, false}, {3, true}, {86400, true}, {86401, false}};
  const string refused =
      "The transmission interval is not valid, it should be between 3 second(s) and 86400 second(s) (1 day).";
  for (const auto& c : cases) {
    const auto errorsBefore = logs.messages(TLLogLevelError).size();
    const auto analytics = TLAnalytics::create();
    analytics->instanceSetTransmissionInterval(c.seconds);
    EXPECT_EQ(analytics->flushInterval(), c.taken ? c.seconds : 3u) << c.seconds;
    const auto errors = logs.messages(TLLogLevelError);
    EXPECT_EQ(std::vector<string>(errors.begin() + errorsBefore, errors.end()),
              c.taken ? std::vector<string>{} : std::vector<string>{refused});
  }

  TLAnalytics::setTransmissionInterval(10);
  start();
  EXPECT_EQ(currentGroup()->channelUnitForGroupId("Analytics")->configuration().flushInterval(), 10u);
  EXPECT_EQ(currentGroup()->channelUnitForGroupId("Analytics_critical")->configuration().flushInterval(), 3u);
  TLAnalytics::setTransmissionInterval(20);
  EXPECT_EQ(TLAnalytics::sharedInstance()->flushInterval(), 10u);
  EXPECT_TRUE(contains(logs.messages(TLLogLevelError),
                       "The transmission interval should be set before the TLAnalytics service is started."));
}

TEST_F(TLAnalyticsTest, EventsForTheDefaultTargetCarryItsTokenAndUserAndStopWhileItIsDisabled) {
  start(kSecret + ";target=" + kToken);
  const auto target = TLAnalytics::sharedInstance()->defaultTransmissionTarget();
  ASSERT_TRUE(target);
  TLTelemetry::setUserId(string("alice"));
  auto typed = std::make_shared<TLEventProperties>();
  for (int i = 0; i < 21; ++i) typed->setBool(true, "k" + std::to_string(i));
  TLAnalytics::trackEvent("targeted", typed);

  auto events = prepared();
  ASSERT_EQ(events.size(), 1u);
  const auto log = std::static_pointer_cast<TLEventLog>(events[0].log);
  EXPECT_EQ(log->transmissionTargetTokens(), std::optional<std::set<string>>({kToken}));
  EXPECT_EQ(log->userId(), TLUserIdContext::sharedInstance()->userId());
  EXPECT_EQ(log->tag().objectAs<TLAnalyticsTransmissionTarget>(), target);
  EXPECT_EQ(log->typedProperties()->count(), 21u);  // the collector's own rules apply to targeted events

  target->setEnabled(false);
  TLAnalytics::trackEvent("dropped");
  EXPECT_EQ(prepared().size(), 1u);
  EXPECT_TRUE(contains(logs.messages(TLLogLevelError), "This transmission target is disabled."));
}

TEST_F(TLAnalyticsTest, PauseAndResumeHoldBothUnitsWithTheServiceAsHolder) {
  start();
  test::onQueue(currentGroup()->logsDispatchQueue());
  const auto eventsAtStart = recorder->events().size();  // the start itself resumes the normal unit
  TLAnalytics::pause();
  TLAnalytics::resume();
  test::onQueue(currentGroup()->logsDispatchQueue());
  const TLIdentifyingObject service = TLAnalytics::sharedInstance();
  std::vector<string> calls;
  const auto events = recorder->events();
  for (const auto& event : std::vector<test::ChannelEvent>(events.begin() + eventsAtStart, events.end())) {
    // The core's collector delegate mirrors pauses onto its companion units (".../one") as well.
    const bool ownUnit = event.groupId == "Analytics" || event.groupId == "Analytics_critical";
    if ((event.kind == "pause" || event.kind == "resume") && ownUnit && event.identifyingObject == service) {
      calls.push_back(event.kind + " " + event.groupId);
    }
  }
  EXPECT_EQ(calls, (std::vector<string>{"pause Analytics", "pause Analytics_critical", "resume Analytics",
                                        "resume Analytics_critical"}));
}

TEST_F(TLAnalyticsTest, TheDelegateHearsOfEventAndPageLogsGoingOut) {
  start();
  auto delegate = std::make_shared<RecordingAnalyticsDelegate>();
  TLAnalytics::setDelegate(delegate);
  TLAnalytics::trackEvent("e");
  TLAnalytics::trackPage("p");
  ASSERT_TRUE(foundation::pumpMainUntil([&] { return delegate->calls().size() >= 4; }, 8));
  EXPECT_EQ(delegate->calls(),
            (std::vector<string>{"willSend event e", "willSend page p", "succeed event e", "succeed page p"}));
}

// Events tracked on many threads while the application comes and goes: nothing deadlocks and
// every event carries a session id.
TEST_F(TLAnalyticsTest, TrackingFromManyThreadsWhileTheApplicationComesAndGoes) {
  start();
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([t] {
      for (int i = 0; i < 25; ++i) TLAnalytics::trackEvent("e" + std::to_string(t) + "-" + std::to_string(i));
    });
  }
  auto& center = foundation::NotificationCenter::defaultCenter();
  for (int i = 0; i < 50; ++i) {
    center.post(appkit::kApplicationDidResignActiveNotification, static_cast<const void*>(nullptr));
    center.post(appkit::kApplicationWillBecomeActiveNotification, static_cast<const void*>(nullptr));
  }
  for (auto& thread : threads) thread.join();
  const auto events = prepared();
  EXPECT_EQ(events.size(), 100u);
  for (const auto& event : events) EXPECT_TRUE(event.log->sid()) << event.log->type().value_or("");
}

}  // namespace
