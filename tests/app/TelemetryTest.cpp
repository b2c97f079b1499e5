// The application's telemetry against the fake ingestion server: its events arrive in the order
// the user's actions sent them, a real crash of an earlier run is sent by the next launch without
// asking anyone, and a build that names no ingestion URL or no secret records and sends nothing.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/foundation/Date.h"
#include "platform/foundation/JSONSerialization.h"
#include "telemetry/core/TLTelemetry.h"
#include "tests/app/AppFixture.h"
#include "tests/app/EndpointTestSupport.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/FakeIngestionServer.h"
#include "tests/support/FaultingCode.h"

namespace {

using foundation::Value;

constexpr const char* kSecret = "0b6f2c44-9e1d-4a7b-8c35-d2e4f6a81b90";

foundation::Dictionary telemetryInfo(const std::string& ingestionURL, const std::string& secret) {
  foundation::Dictionary info;
  info.set(app::kTelemetryIngestionURLKey, ingestionURL);
  info.set(app::kTelemetryAppSecretKey, secret);
  return info;
}

// Every log the server received, in the order it received them.
std::vector<Value> sentLogs(const test::FakeIngestionServer& server) {
  std::vector<Value> logs;
  for (const auto& request : server.requests()) {
    const auto body = foundation::JSONSerialization::JSONObjectWithData(
        foundation::Data(request.body.begin(), request.body.end()));
    if (!body) continue;
    for (const Value& log : (*body)["logs"].arrayValue()) logs.push_back(log);
  }
  return logs;
}

std::vector<Value> sentLogsOfType(const test::FakeIngestionServer& server, const std::string& type) {
  std::vector<Value> matching;
  for (const Value& log : sentLogs(server)) {
    if (log["type"].stringValue() == type) matching.push_back(log);
  }
  return matching;
}

// Whether any file or folder named `name` lies below `root`.
bool containsEntryNamed(const std::string& root, const std::string& name) {
  std::error_code error;
  for (std::filesystem::recursive_directory_iterator it(root, error), end; !error && it != end; it.increment(error)) {
    if (it->path().filename() == name) return true;
  }
  return false;
}

// ---- Events ------------------------------------------------------------------------------------

// Answers every request by closing its connection, so that stopping the server need not wait out
// the idle connections the client keeps.
void closeEachConnection(test::FakeIngestionServer& server) {
  server.setDefaultResponse(test::ScriptedResponse(200, {{"Connection", "close"}}));
}

class TelemetryTest : public test::AppFixture {
 protected:
  void SetUp() override {
    AppFixture::SetUp();
    closeEachConnection(server_);
  }

  test::FakeIngestionServer server_;
};

TEST_F(TelemetryTest, TheApplicationsEventsReachTheIngestionInOrderUnderItsSecret) {
  test::ScopedMainBundle bundle(telemetryInfo(server_.baseURL(), kSecret));
  launch();
  ASSERT_TRUE(app::isTelemetryStarted());
  addLocalAndWait();
  const std::size_t before = list().arrangedObjects().size();
  window().addRemoteHosts();
  ASSERT_TRUE(test::pumpUntil([&] { return list().arrangedObjects().size() == before + 1; }));
  window().checkSyntaxAction();
  const std::vector<std::string> expected = {"addHost", "addRemoteHost", "checkSyntax"};
  ASSERT_EQ(events_, expected);

  ASSERT_TRUE(test::pumpUntil([&] { return sentLogsOfType(server_, "event").size() >= expected.size(); }, 10));
  const auto events = sentLogsOfType(server_, "event");
  std::vector<std::string> names;
  for (const Value& event : events) {
    names.push_back(event["name"].stringValue());
    EXPECT_TRUE(event["properties"].isNull()) << names.back();
    EXPECT_FALSE(event["sid"].stringValue().empty()) << names.back();
    EXPECT_TRUE(event["device"].isDictionary()) << names.back();
  }
  EXPECT_EQ(names, expected);

  // Both services were announced, the crash service first as it starts first.
  ASSERT_TRUE(test::pumpUntil([&] { return !sentLogsOfType(server_, "startService").empty(); }, 10));
  const auto announcements = sentLogsOfType(server_, "startService");
  std::vector<std::string> services;
  for (const Value& name : announcements[0]["services"].arrayValue()) {
    services.push_back(name.stringValue());
  }
  EXPECT_EQ(services, (std::vector<std::string>{"Crashes", "Analytics"}));
  for (const auto& request : server_.requests()) {
    EXPECT_EQ(request.path, "/logs");
    EXPECT_EQ(request.header("App-Secret"), std::optional<std::string>(kSecret));
  }
}

// A build without either setting starts nothing: no SDK, no telemetry file, no crash capture, and
// events reach only the observer.
TEST_F(TelemetryTest, WithoutIngestionURLOrSecretNothingIsRecordedOrSent) {
  const struct {
    const char* name;
    std::string url;
    std::string secret;
  } cases[] = {
      {"neither", "", ""},
      {"URL only", server_.baseURL(), ""},
      {"secret only", "", kSecret},
      {"blank secret", server_.baseURL(), "  "},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    test::ScopedMainBundle bundle(telemetryInfo(c.url, c.secret));
    relaunch();
    events_.clear();
    addLocalAndWait();
    EXPECT_EQ(events_, std::vector<std::string>{"addHost"});
    EXPECT_FALSE(app::isTelemetryStarted());
  }
  const char* cacheHome = std::getenv("XDG_CACHE_HOME");
  ASSERT_NE(cacheHome, nullptr);
  EXPECT_FALSE(containsEntryNamed(dataDir_.path(), "com.telemetry.sdk"));
  EXPECT_FALSE(containsEntryNamed(cacheHome, "org.crashreporter.data"));
  EXPECT_FALSE(TLTelemetry::isConfigured());
  EXPECT_EQ(server_.requestCount(), 0u);
}

// ---- A crash of an earlier run -----------------------------------------------------------------

// The earlier run happens in a child forked before this process starts a thread of its own: it
// launches the application with telemetry set up (at an address where nothing listens), adds a
// hostfile, then faults. It shares this fixture's data and cache folders, as two runs of one user do.
class TelemetryCrashTest : public test::AppFixture {
 protected:
  void SetUp() override {
    current_ = this;
    crashedRun_ = test::runInChild(launchAndCrash, 20);
    AppFixture::SetUp();
  }

  static int launchAndCrash() {
    current_->AppFixture::SetUp();
    test::ScopedMainBundle bundle(telemetryInfo(test::refusingURL("/"), kSecret));
    current_->launch();
    if (!app::isTelemetryStarted()) return 2;
    current_->addLocalAndWait();
    test::pumpUntil([] { return false; }, 0.2);  // the event reaches the store
    test::faults::read()(reinterpret_cast<void*>(8));
    return 0;
  }

  static inline TelemetryCrashTest* current_ = nullptr;
  test::ChildResult crashedRun_;
};

TEST_F(TelemetryCrashTest, TheNextLaunchSendsTheCrashWithoutAskingTheUser) {
  ASSERT_TRUE(crashedRun_.killedBy(SIGSEGV)) << crashedRun_.describe();
  // A crash time counts to the end of its second, so the next launch begins in a later one.
  const double now = foundation::Date::now().timeIntervalSince1970();
  usleep(static_cast<useconds_t>((std::floor(now) + 1.01 - now) * 1e6));

  test::FakeIngestionServer server;
  closeEachConnection(server);
  test::ScopedMainBundle bundle(telemetryInfo(server.baseURL(), kSecret));
  launch();

  ASSERT_TRUE(test::pumpUntil([&] { return !sentLogsOfType(server, "appleError").empty(); }, 10));
  const auto crashes = sentLogsOfType(server, "appleError");
  ASSERT_EQ(crashes.size(), 1u);
  EXPECT_EQ(crashes[0]["osExceptionType"].stringValue(), "SIGSEGV");
  EXPECT_EQ(crashes[0]["osExceptionAddress"].stringValue(), "0x8");
  // The event the crashed run stored goes out too, in the session the crash report names.
  const std::string crashedSession = crashes[0]["sid"].stringValue();
  ASSERT_TRUE(test::pumpUntil([&] { return !sentLogsOfType(server, "event").empty(); }, 10));
  const auto events = sentLogsOfType(server, "event");
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0]["name"].stringValue(), "addHost");
  EXPECT_FALSE(crashedSession.empty());
  EXPECT_EQ(events[0]["sid"].stringValue(), crashedSession);
  EXPECT_TRUE(alerts_->presentations().empty());
}

}  // namespace
