#include "telemetry/core/TLTelemetry.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "platform/foundation/DeviceInfo.h"
#include "platform/foundation/JSONSerialization.h"
#include "telemetry/core/Internals/Channel/TLChannelUnitDefault.h"
#include "telemetry/core/Internals/Channel/TLChannelGroupDefault.h"
#include "telemetry/core/Internals/Context/AuthToken/TLAuthTokenContext.h"
#include "telemetry/core/Internals/Context/Device/TLDeviceTracker.h"
#include "telemetry/core/Internals/Context/Session/TLSessionContext.h"
#include "telemetry/core/Internals/Context/UserId/TLUserIdContext.h"
#include "telemetry/core/Internals/Model/Util/TLUserDefaults.h"
#include "telemetry/core/TLCustomProperties.h"
#include "telemetry/core/TLServiceAbstract.h"
#include "tests/support/FakeIngestionServer.h"
#include "tests/telemetry/support/TLChannelFixtures.h"
#include "tests/telemetry/support/TLIngestionFixtures.h"
#include "tests/telemetry/support/TLLogRecorder.h"

// Two services as the application's are: a crash service that starts first and needs a secret,
// an analytics service that does not. Their units send every log at once (batch size 1). They
// live outside any namespace, so their class names read as the real services' do.
std::vector<std::string>& startOrder() {
  static std::vector<std::string> order;
  return order;
}

template <class Derived>
class TLFakeService : public TLServiceAbstract {
 public:
  static std::shared_ptr<Derived> sharedInstance() {
    if (!slot()) slot().reset(new Derived());
    return slot();
  }
  static void resetSharedInstance() { slot().reset(); }
  static std::string logTag() { return "Telemetry" + Derived::serviceName(); }
  static bool isEnabled() { return sharedInstance()->classIsEnabled(); }
  static void setEnabled(bool isEnabled) { sharedInstance()->classSetEnabled(isEnabled); }

  std::string groupId() const override { return Derived::serviceName(); }
  std::optional<TLChannelUnitConfiguration> channelUnitConfiguration() const override {
    return TLChannelUnitConfiguration(groupId(), 1, 3, 1, 3);
  }
  void startWithChannelGroup(const std::shared_ptr<TLChannelGroupProtocol>& group,
                             const std::optional<std::string>& appSecret, const std::optional<std::string>& token,
                             bool fromApplication) override {
    startOrder().push_back(Derived::serviceName());
    TLServiceAbstract::startWithChannelGroup(group, appSecret, token, fromApplication);
  }
  // Sends one log as the analytics service does: stamped with the current user id.
  void track(const std::string& userId = {}) {
    auto log = std::make_shared<TLStartServiceLog>();
    log->setServices(std::vector<std::string>{"event"});
    log->setUserId(userId.empty() ? TLUserIdContext::sharedInstance()->userId() : userId);
    channelUnit()->enqueueItem(log, TLFlagsNormal);
  }

 private:
  static std::shared_ptr<Derived>& slot() {
    static std::shared_ptr<Derived> instance;
    return instance;
  }
};

class TLFakeCrashes : public TLFakeService<TLFakeCrashes> {
 public:
  static std::string serviceName() { return "Crashes"; }
  std::int64_t initializationPriority() const override { return 999; }
};

class TLFakeAnalytics : public TLFakeService<TLFakeAnalytics> {
 public:
  static std::string serviceName() { return "Analytics"; }
  bool isAppSecretRequired() const override { return false; }
};

// A service without a channel unit of its own.
class TLFakeUnitless : public TLFakeService<TLFakeUnitless> {
 public:
  static std::string serviceName() { return "Unitless"; }
  std::optional<TLChannelUnitConfiguration> channelUnitConfiguration() const override { return std::nullopt; }
  bool isAppSecretRequired() const override { return false; }
};

// Not a service at all.
class TLNotAService {};

namespace {

const std::string kSecret = "5d3c1a0e-7b1f-4c1e-9d4a-SECRETS-END8";
const std::string kToken = "0123456789abcdef0123456789abcdef-00000000-0000-0000-0000-000000000000-7777";

const TLServiceClass kAnalytics = TLServiceClass::of<TLFakeAnalytics>();
const TLServiceClass kCrashes = TLServiceClass::of<TLFakeCrashes>();

std::shared_ptr<TLChannelGroupDefault> currentGroup() {
  return std::dynamic_pointer_cast<TLChannelGroupDefault>(TLTelemetry::sharedInstance()->channelGroup());
}

// The logs in the store of the current group, counted on its queue: the store is only ever used
// from there.
std::uint64_t storedLogs() {
  std::uint64_t count = 0;
  const auto group = currentGroup();
  test::onQueue(group->logsDispatchQueue(), [&] { count = group->storage()->countLogs(); });
  return count;
}

// The "services" list of the start-service logs in a request body.
std::vector<std::vector<std::string>> startServiceLists(const test::RecordedRequest& request) {
  std::vector<std::vector<std::string>> lists;
  const auto json = foundation::JSONSerialization::JSONObjectWithData(foundation::Data(request.body.begin(), request.body.end()));
  if (!json || !json->isDictionary()) return lists;
  for (const auto& log : json->dictionaryValue().get("logs").arrayValue()) {
    const auto& entry = log.dictionaryValue();
    if (entry.get("type").stringValue() != "startService") continue;
    std::vector<std::string> names;
    for (const auto& name : entry.get("services").arrayValue()) names.push_back(name.stringValue());
    lists.push_back(names);
  }
  return lists;
}

bool contains(const std::vector<std::string>& lines, const std::string& line) {
  return std::find(lines.begin(), lines.end(), line) != lines.end();
}

class TLTelemetryTest : public testing::Test {
 public:
  TLTelemetryTest() { startOrder().clear(); }
  ~TLTelemetryTest() override { dropProcessState(); }

  // What a new launch of the process starts from: nothing but the settings and files on disk.
  void restart() {
    dropProcessState();
    startOrder().clear();
    recorder = std::make_shared<test::RecordingChannelDelegate>();
  }

  void dropProcessState() {
    if (auto group = currentGroup()) test::onQueue(group->logsDispatchQueue());
    TLTelemetry::resetSharedInstance();
    TLFakeAnalytics::resetSharedInstance();
    TLFakeCrashes::resetSharedInstance();
    TLFakeUnitless::resetSharedInstance();
    TLAuthTokenContext::resetSharedInstance();
    TLSessionContext::resetSharedInstance();
    TLUserIdContext::resetSharedInstance();
    TLDeviceTracker::resetSharedInstance();
  }

  // Starts from the application against `server`, listening to the group's callbacks.
  void startAgainst(const test::FakeIngestionServer& target, const std::optional<std::string>& secret = kSecret,
                    const std::vector<TLServiceClass>& services = {kAnalytics, kCrashes}) {
    TLTelemetry::setLogUrl(target.baseURL());
    TLTelemetry::start(secret, services);
    if (auto group = currentGroup()) group->addDelegate(recorder);
  }

  // The services named by the start-service logs the recorder saw enqueued.
  std::vector<std::vector<std::string>> enqueuedStartServiceLists() const {
    std::vector<std::vector<std::string>> lists;
    for (const auto& event : recorder->events("didPrepare")) {
      if (auto log = std::dynamic_pointer_cast<TLStartServiceLog>(event.log); log && event.groupId == "Telemetry") {
        lists.push_back(log->services().value_or(std::vector<std::string>{}));
      }
    }
    return lists;
  }

  test::ScriptedNetwork network;
  test::TLLogRecorder logs;
  test::FakeIngestionServer server;
  std::shared_ptr<test::RecordingChannelDelegate> recorder = std::make_shared<test::RecordingChannelDelegate>();
};

// ---- Configuration and start ---------------------------------------------------------------------

TEST_F(TLTelemetryTest, StartConfiguresOnceAndRefusesASecondStartFromTheApplication) {
  startAgainst(server);
  ASSERT_TRUE(TLTelemetry::isConfigured());
  const auto group = currentGroup();
  const auto unitsAfterFirst = group->channels().size();
  ASSERT_EQ(startOrder(), (std::vector<std::string>{"Crashes", "Analytics"}));

  TLTelemetry::start(kSecret, {kAnalytics, kCrashes});

  EXPECT_EQ(currentGroup(), group);
  EXPECT_EQ(group->channels().size(), unitsAfterFirst);
  EXPECT_EQ(startOrder().size(), 2u);
  EXPECT_EQ(logs.messages(TLLogLevelAssert), (std::vector<std::string>{"Telemetry SDK has already been configured.",
                                                                       "Telemetry SDK configuration failed."}));
  EXPECT_EQ(TLTelemetry::sharedInstance()->services().size(), 2u);
}

TEST_F(TLTelemetryTest, StartServiceLogReachesTheServerWithItsHeadersAndServicesInPriorityOrder) {
  startAgainst(server);

  ASSERT_TRUE(server.waitForRequests(1, 6));
  const test::RecordedRequest request = server.requests().front();
  EXPECT_EQ(request.method, "POST");
  EXPECT_EQ(request.path, "/logs");
  EXPECT_EQ(request.query, "api-version=1.0.0");
  EXPECT_EQ(request.header("Content-Type"), std::optional<std::string>("application/json"));
  EXPECT_EQ(request.header("App-Secret"), std::optional<std::string>(kSecret));
  EXPECT_EQ(request.header("Install-ID"), std::optional<std::string>(TLTelemetry::installId().UUIDString()));
  EXPECT_EQ(startServiceLists(request), (std::vector<std::vector<std::string>>{{"Crashes", "Analytics"}}));
}

TEST_F(TLTelemetryTest, RefusalsLeaveTheStateAsItWas) {
  // Before any configuration nothing can be started, switched or set.
  EXPECT_FALSE(TLTelemetry::sharedInstance()->startService(kAnalytics, kSecret, std::nullopt, true));
  TLTelemetry::setUserId(std::string("alice"));
  EXPECT_FALSE(TLTelemetry::isEnabled());
  EXPECT_TRUE(contains(logs.messages(TLLogLevelError), "Telemetry has not been configured so it couldn't start the service."));
  EXPECT_TRUE(contains(logs.messages(TLLogLevelError),
                       "Telemetry must be configured from application, libraries cannot call setUserId."));
  EXPECT_FALSE(TLUserIdContext::sharedInstance()->userId());
  EXPECT_FALSE(TLFakeAnalytics::sharedInstance()->isStarted());

  // Without a secret the crash service (which needs one) is refused; a non-service class too.
  startAgainst(server, std::nullopt, {kCrashes, kAnalytics, TLServiceClass::of<TLNotAService>()});
  const auto errors = logs.messages(TLLogLevelError);
  EXPECT_TRUE(contains(errors, "Cannot start service TLFakeCrashes. Telemetry was started without app secret, but the "
                               "service requires it."));
  EXPECT_TRUE(contains(errors, "Cannot start service TLNotAService. Provided value is nil or invalid."));
  EXPECT_FALSE(TLFakeCrashes::sharedInstance()->isStarted());
  EXPECT_TRUE(TLFakeAnalytics::sharedInstance()->isStarted());
  EXPECT_EQ(enqueuedStartServiceLists(), (std::vector<std::vector<std::string>>{}));  // recorder added after start
  EXPECT_FALSE(currentGroup()->channelUnitForGroupId("Crashes"));
  // Without a secret or token, the user id cannot be set either.
  TLTelemetry::setUserId(std::string("alice"));
  EXPECT_TRUE(contains(logs.messages(TLLogLevelError),
                       "Telemetry must be configured with a secret from application to call setUserId."));
  EXPECT_FALSE(TLUserIdContext::sharedInstance()->userId());
}

TEST_F(TLTelemetryTest, EnvironmentSwitchKeepsNamedServicesFromStarting) {
  struct Case {
    const char* value;
    std::vector<std::string> started;
  };
  const std::vector<Case> cases = {
      {"Analytics, Crashes", {}},
      {"All", {}},
      {" Crashes ", {"Analytics"}},
      {"", {"Crashes", "Analytics"}},
      {"Crash", {"Crashes", "Analytics"}},
  };
  for (const Case& entry : cases) {
    SCOPED_TRACE(entry.value);
    setenv(TLTelemetry::kTLDisableVariable, entry.value, 1);
    startAgainst(server);
    EXPECT_EQ(startOrder(), entry.started);
    if (entry.started.empty()) {
      const auto debug = logs.messages(TLLogLevelDebug);
      EXPECT_TRUE(contains(debug, "Environment variable to disable service has been set; not starting service TLFakeCrashes"));
      EXPECT_TRUE(contains(debug, "No services have been started."));
      EXPECT_FALSE(TLTelemetry::sharedInstance()->startedServiceNames());
    }
    restart();
  }
  unsetenv(TLTelemetry::kTLDisableVariable);
}

// A library started the analytics service; the application's start takes it over, also while
// the service is disabled, instead of starting it a second time.
TEST_F(TLTelemetryTest, ApplicationStartReconfiguresAServiceALibraryStartedEvenWhenDisabled) {
  TLTelemetry::setLogUrl(server.baseURL());
  TLTelemetry::startFromLibraryWithServices({kAnalytics});
  const auto analytics = TLFakeAnalytics::sharedInstance();
  ASSERT_TRUE(analytics->isStarted());
  EXPECT_FALSE(analytics->isStartedFromApplication());
  TLFakeAnalytics::setEnabled(false);
  ASSERT_FALSE(analytics->isAvailable());
  const auto unitsBefore = currentGroup()->channels().size();

  TLTelemetry::start(kSecret, {kAnalytics});

  EXPECT_EQ(startOrder(), (std::vector<std::string>{"Analytics"}));
  EXPECT_EQ(TLTelemetry::sharedInstance()->services().size(), 1u);
  EXPECT_EQ(currentGroup()->channels().size(), unitsBefore);
  EXPECT_TRUE(analytics->isStartedFromApplication());
  EXPECT_EQ(analytics->appSecret(), std::optional<std::string>(kSecret));
  EXPECT_FALSE(TLFakeAnalytics::isEnabled());
  EXPECT_TRUE(contains(logs.messages(TLLogLevelInfo), "Telemetry SDK configured from a library successfully."));

  // A further start from the application is refused silently, enabled or not.
  TLTelemetry::startService(kAnalytics);
  EXPECT_EQ(startOrder().size(), 1u);
}

// ---- Persisted state -------------------------------------------------------------------------------

TEST_F(TLTelemetryTest, ServiceEnabledStateIsKeptPerServiceAcrossARestart) {
  startAgainst(server);
  TLFakeAnalytics::setEnabled(false);
  EXPECT_EQ(TLUserDefaults::shared().objectForKey("kTLAnalyticsIsEnabledKey"), foundation::Value(false));
  EXPECT_TRUE(TLUserDefaults::shared().objectForKey("kTLCrashesIsEnabledKey").isNull());

  restart();
  startAgainst(server);
  EXPECT_FALSE(TLFakeAnalytics::isEnabled());
  EXPECT_TRUE(TLFakeCrashes::isEnabled());
  EXPECT_FALSE(TLFakeAnalytics::sharedInstance()->isAvailable());

  // Switching it on again stores the new state.
  TLFakeAnalytics::setEnabled(true);
  EXPECT_EQ(TLUserDefaults::shared().objectForKey("kTLAnalyticsIsEnabledKey"), foundation::Value(true));
  EXPECT_TRUE(TLFakeAnalytics::sharedInstance()->isAvailable());
}

TEST_F(TLTelemetryTest, DisabledSdkHoldsBackTheStartServiceLogAndSendsItOnceEnabled) {
  startAgainst(server);
  TLTelemetry::setEnabled(false);
  EXPECT_FALSE(TLFakeAnalytics::sharedInstance()->isInstanceEnabled());
  EXPECT_FALSE(TLFakeCrashes::sharedInstance()->isInstanceEnabled());

  restart();
  startAgainst(server);
  EXPECT_FALSE(TLTelemetry::isEnabled());
  EXPECT_EQ(TLTelemetry::sharedInstance()->startedServiceNames(),
            std::optional<std::vector<std::string>>({"Crashes", "Analytics"}));
  // A service cannot be switched on while the SDK is off.
  TLFakeAnalytics::setEnabled(true);
  EXPECT_TRUE(contains(logs.messages(TLLogLevelError),
                       "The SDK is disabled. Re-enable the whole SDK from Telemetry first before enabling FakeAnalytics "
                       "service."));
  EXPECT_FALSE(TLFakeAnalytics::sharedInstance()->isInstanceEnabled());

  TLTelemetry::setEnabled(true);
  EXPECT_TRUE(TLFakeAnalytics::isEnabled());
  EXPECT_TRUE(TLFakeCrashes::isEnabled());
  EXPECT_FALSE(TLTelemetry::sharedInstance()->startedServiceNames());
  EXPECT_EQ(enqueuedStartServiceLists(), (std::vector<std::vector<std::string>>{{"Crashes", "Analytics"}}));
}

TEST_F(TLTelemetryTest, InstallIdIsKeptAcrossRestartsAndRenewedWhenDamaged) {
  const foundation::UUID first = TLTelemetry::installId();
  EXPECT_EQ(TLUserDefaults::shared().objectForKey("TLInstallId"), foundation::Value(first.UUIDString()));
  restart();
  EXPECT_EQ(TLTelemetry::installId(), first);

  for (const foundation::Value& damaged : {foundation::Value("not-a-uuid"), foundation::Value(42)}) {
    TLUserDefaults::shared().setObject(damaged, "TLInstallId");
    restart();
    const foundation::UUID renewed = TLTelemetry::installId();
    EXPECT_NE(renewed, first);
    EXPECT_EQ(TLUserDefaults::shared().objectForKey("TLInstallId"), foundation::Value(renewed.UUIDString()));
  }
}

// ---- Settings --------------------------------------------------------------------------------------

TEST_F(TLTelemetryTest, LogUrlChangedAfterStartMovesLaterSendsAndABadUrlChangesNothing) {
  startAgainst(server);
  test::FakeIngestionServer other;
  TLTelemetry::setLogUrl(other.baseURL());
  EXPECT_TRUE(contains(logs.messages(TLLogLevelInfo), "The log url of Telemetry endpoint was changed to " + other.baseURL()));
  TLFakeAnalytics::sharedInstance()->track();
  ASSERT_TRUE(other.waitForRequests(1));

  TLTelemetry::setLogUrl("http://[not a url");
  EXPECT_TRUE(contains(logs.messages(TLLogLevelInfo),
                       "Failed to update HTTP URL " + other.baseURL() + "/logs?api-version=1.0.0 with http://[not a url"));
  TLFakeAnalytics::sharedInstance()->track();
  EXPECT_TRUE(other.waitForRequests(2));
}

TEST_F(TLTelemetryTest, StorageSizeIsAcceptedOnceBeforeTheApplicationStarts) {
  std::vector<bool> answers;
  const auto record = [&](bool accepted) { answers.push_back(accepted); };

  TLTelemetry::setMaxStorageSize(24575, record);
  EXPECT_EQ(answers, std::vector<bool>{false});
  EXPECT_TRUE(contains(logs.messages(TLLogLevelWarning), "Cannot set storage size to 24575 bytes, minimum value is 24576 bytes"));

  TLTelemetry::setMaxStorageSize(24576, record);
  EXPECT_EQ(answers.size(), 1u);  // the group answers once it exists
  TLTelemetry::setMaxStorageSize(40000, record);
  EXPECT_EQ(answers, (std::vector<bool>{false, false}));
  EXPECT_TRUE(contains(logs.messages(TLLogLevelWarning),
                       "setMaxStorageSize:completionHandler: may only be called once per app launch"));

  startAgainst(server);
  test::onQueue(currentGroup()->logsDispatchQueue());
  EXPECT_EQ(answers, (std::vector<bool>{false, false, true}));

  restart();
  startAgainst(server);
  TLTelemetry::setMaxStorageSize(30000, record);
  EXPECT_EQ(answers.back(), false);
  EXPECT_TRUE(contains(logs.messages(TLLogLevelWarning),
                       "Unable to set storage size after the application has configured Telemetry"));
}

TEST_F(TLTelemetryTest, UserIdReachesLaterLogsAndInvalidIdsAreRefused) {
  startAgainst(server, "appsecret=" + kSecret + ";target=" + kToken);
  TLTelemetry::setUserId(std::string(257, 'u'));  // too long for the ingestion
  TLTelemetry::setUserId(std::string("x:alice"));  // a prefix the collector does not take
  EXPECT_FALSE(TLUserIdContext::sharedInstance()->userId());

  TLTelemetry::setUserId(std::string("alice"));
  TLFakeAnalytics::sharedInstance()->track();
  ASSERT_TRUE(recorder->waitFor("succeed", 1));
  const auto sent = server.requests();
  bool found = false;
  for (const auto& request : sent) found = found || request.body.find("\"userId\":\"alice\"") != std::string::npos;
  EXPECT_TRUE(found);

  TLTelemetry::setUserId(std::nullopt);
  EXPECT_FALSE(TLUserIdContext::sharedInstance()->userId());
}

TEST_F(TLTelemetryTest, CustomPropertiesGoOutOnTheEntrysUnit) {
  TLTelemetry::setCustomProperties(std::make_shared<TLCustomProperties>());
  EXPECT_TRUE(contains(logs.messages(TLLogLevelError), "Custom properties may not be null or empty"));
  startAgainst(server);
  auto properties = std::make_shared<TLCustomProperties>();
  properties->setString(std::string("blue"), std::string("color"));
  TLTelemetry::setCustomProperties(properties);
  const auto prepared = recorder->events("didPrepare");
  ASSERT_EQ(prepared.size(), 1u);
  EXPECT_EQ(prepared.front().groupId, "Telemetry");
  EXPECT_EQ(prepared.front().log->type(), std::optional<std::string>("customProperties"));
}

// ---- Network ---------------------------------------------------------------------------------------

// From start to a 200: a large log is sent gzipped and leaves the store once accepted.
TEST_F(TLTelemetryTest, LogTravelsFromStartToTheServerGzippedAboveTheThreshold) {
  startAgainst(server);
  auto big = std::make_shared<TLStartServiceLog>();
  big->setServices(std::vector<std::string>(60, "a-rather-long-service-name"));
  TLFakeAnalytics::sharedInstance()->channelUnit()->enqueueItem(big, TLFlagsNormal);

  ASSERT_TRUE(recorder->waitFor("succeed", 1));
  bool sawGzipped = false;
  for (const auto& request : server.requests()) {
    if (request.body.find("a-rather-long-service-name") == std::string::npos) continue;
    sawGzipped = request.gzipped && request.body.size() >= 1400 && request.wireLength < request.body.size();
  }
  EXPECT_TRUE(sawGzipped);
  test::onQueue(currentGroup()->logsDispatchQueue());
  EXPECT_EQ(storedLogs(), 1u);  // only the start-service log still waits for its timer
}

// Without a base URL, a secret, or with the SDK disabled, nothing leaves the process, and only
// the disabled SDK lets go of the log.
TEST_F(TLTelemetryTest, NothingIsSentWithoutUrlOrSecretOrWhileDisabled) {
  // No log URL and no configured default: the ingestion has nowhere to send to, and the log
  // waits in the store.
  TLTelemetry::start(kSecret, {kAnalytics});
  currentGroup()->addDelegate(recorder);
  const auto sendURL = currentGroup()->ingestion()->sendURL();
  EXPECT_TRUE(!sendURL || sendURL->host().value_or("").empty());
  TLFakeAnalytics::sharedInstance()->track();
  test::onQueue(currentGroup()->logsDispatchQueue());
  EXPECT_EQ(recorder->count("fail") + recorder->count("succeed"), 0u);
  EXPECT_EQ(storedLogs(), 2u);  // with the start-service log
  restart();

  // No secret: the ingestion is never ready, so the log is not even stored.
  startAgainst(server, std::nullopt, {kAnalytics});
  TLFakeAnalytics::sharedInstance()->track();
  test::onQueue(currentGroup()->logsDispatchQueue());
  EXPECT_EQ(recorder->count("willSend"), 0u);
  EXPECT_EQ(storedLogs(), 2u);  // those of the first launch
  restart();

  // Disabled: the stored logs are deleted and the new one refused, with the paused-with-deletion
  // error, and nothing is sent.
  TLUserDefaults::shared().setObject(foundation::Value(false), TLTelemetry::kTLTelemetryIsEnabledKey);
  startAgainst(server, kSecret, {kAnalytics});
  TLFakeAnalytics::sharedInstance()->track();
  test::onQueue(currentGroup()->logsDispatchQueue());
  const auto failures = recorder->events("fail");
  ASSERT_FALSE(failures.empty());
  for (const auto& failure : failures) EXPECT_EQ(failure.error->code(), TLConnectionPausedErrorCode);
  EXPECT_EQ(recorder->count("succeed"), 0u);
  EXPECT_EQ(storedLogs(), 0u);

  EXPECT_FALSE(server.waitForRequests(1, 0.5));
}

// ---- Service base ---------------------------------------------------------------------------------

TEST_F(TLTelemetryTest, ServiceBaseBeforeStartWithoutUnitAndOnReconfiguration) {
  EXPECT_FALSE(TLFakeAnalytics::isEnabled());
  EXPECT_TRUE(contains(logs.messages(TLLogLevelError),
                       "FakeAnalytics service hasn't been started. You need to call [TLTelemetry start:YOUR_APP_SECRET "
                       "withServices:LIST_OF_SERVICES] first."));
  TLFakeAnalytics::setEnabled(false);
  EXPECT_TRUE(TLUserDefaults::shared().objectForKey("kTLAnalyticsIsEnabledKey").isNull());

  // A service without a unit starts and switches without sending anything anywhere.
  TLTelemetry::setLogUrl(server.baseURL());
  TLTelemetry::startFromLibraryWithServices({TLServiceClass::of<TLFakeUnitless>()});
  const auto unitless = TLFakeUnitless::sharedInstance();
  EXPECT_TRUE(unitless->isStarted());
  EXPECT_FALSE(unitless->channelUnit());
  TLFakeUnitless::setEnabled(false);
  EXPECT_FALSE(TLFakeUnitless::isEnabled());

  // The application's start hands over its secret; a later reconfiguration without one drops it.
  TLTelemetry::start(kSecret, {TLServiceClass::of<TLFakeUnitless>()});
  EXPECT_EQ(unitless->appSecret(), std::optional<std::string>(kSecret));
  unitless->updateConfigurationWithAppSecret(std::nullopt, std::nullopt);
  EXPECT_FALSE(unitless->appSecret());
}

// ---- Small answers ---------------------------------------------------------------------------------

TEST_F(TLTelemetryTest, SortServicesPutsHigherPriorityFirstAndNonServicesLast) {
  const auto sorted = TLTelemetry::sharedInstance()->sortServices(
      {TLServiceClass::of<TLNotAService>(), kAnalytics, kCrashes});
  std::vector<std::string> names;
  for (const auto& service : sorted) names.push_back(service.className());
  EXPECT_EQ(names, (std::vector<std::string>{"TLFakeCrashes", "TLFakeAnalytics", "TLNotAService"}));
}

TEST_F(TLTelemetryTest, TestCloudAndDebuggerAnswers) {
  setenv(TLTelemetry::kTLRunningInTestCloudVariable, "1", 1);
  EXPECT_TRUE(TLTelemetry::isRunningInTelemetryTestCloud());
  setenv(TLTelemetry::kTLRunningInTestCloudVariable, "true", 1);
  EXPECT_FALSE(TLTelemetry::isRunningInTelemetryTestCloud());
  unsetenv(TLTelemetry::kTLRunningInTestCloudVariable);
  // The tests do not run under a debugger in CI; the answer must match the kernel's.
  EXPECT_EQ(TLTelemetry::isDebuggerAttached(), foundation::DeviceInfo().isDebuggerAttached());
}

}  // namespace
