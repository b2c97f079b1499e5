// The crash service's help for wrapper SDKs and its crash-time buffer, through a started SDK and
// the fake ingestion server: handled errors with their properties, a wrapper exception that
// travels with the crash report of its process, the setup delegate, what disabling removes, and a
// child that dies of an uncaught C++ exception while a log waits to be stored, both of which its
// next start sends.
#include "telemetry/crashes/TLCrashes.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/foundation/Date.h"
#include "platform/foundation/FileManager.h"
#include "platform/foundation/RunLoop.h"
#include "platform/foundation/UUID.h"
#include "platform/foundation/UserDefaults.h"
#include "telemetry/core/Internals/Context/AuthToken/TLAuthTokenContext.h"
#include "telemetry/core/Internals/Context/Device/TLDeviceTracker.h"
#include "telemetry/core/Internals/Context/Session/TLSessionContext.h"
#include "telemetry/core/Internals/Context/UserId/TLUserIdContext.h"
#include "telemetry/core/Internals/Util/TLUtility+File.h"
#include "telemetry/core/TLServiceClass.h"
#include "telemetry/core/TLTelemetry.h"
#include "telemetry/crashes/Internals/TLWrapperExceptionManager.h"
#include "telemetry/crashes/TLWrapperCrashesHelper.h"
#include "tests/crash/engine/ReportEncoder.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/FakeIngestionServer.h"
#include "tests/support/TempDir.h"
#include "tests/telemetry/support/TLChannelFixtures.h"
#include "tests/telemetry/support/TLIngestionFixtures.h"
#include "tests/telemetry/support/TLLogRecorder.h"

namespace {

using foundation::Value;

constexpr const char* kSecret = "7d3f0c1a-52be-4e96-8a07-c4e1b29f6d58";
const TLServiceClass kCrashesService = TLServiceClass::of<TLCrashes>();

bool waitForLogs(const test::FakeIngestionServer& server, const std::string& type, std::size_t count) {
  return foundation::pumpMainUntil([&] { return test::sentLogs(server, type).size() >= count; }, 10);
}

std::shared_ptr<TLException> modelException(const std::string& type, const std::string& message) {
  auto exception = std::make_shared<TLException>();
  exception->type = type;
  exception->message = message;
  return exception;
}

std::string bufferFile(int slot, const char* extension = "tlcrasheslogbuffer") {
  return TLUtility::fullURLForPathComponent("crasheslogbuffer/" + std::to_string(slot) + "." + extension)->path();
}

bool exists(const std::string& path) { return foundation::FileManager::defaultManager().fileExistsAtPath(path); }

// How many buffer files hold a log.
int filledBufferFiles() {
  int filled = 0;
  for (int slot = 0; slot < 60; ++slot) filled += test::readFile(bufferFile(slot)).empty() ? 0 : 1;
  return filled;
}

// Drops what a process would not keep across a restart.
void dropProcessState() {
  if (const auto crashes = TLCrashes::sharedInstance(); crashes->channelUnit()) {
    test::onQueue(crashes->channelUnit()->logsDispatchQueue());
  }
  TLTelemetry::resetSharedInstance();
  TLAuthTokenContext::resetSharedInstance();
  TLCrashes::resetSharedInstance();
  TLSessionContext::resetSharedInstance();
  TLUserIdContext::resetSharedInstance();
  TLDeviceTracker::resetSharedInstance();
}

class TLCrashesWrapperAndBufferTest : public testing::Test {
 protected:
  TLCrashesWrapperAndBufferTest() { TLCrashes::resetSharedInstance(); }
  ~TLCrashesWrapperAndBufferTest() override {
    TLWrapperCrashesHelper::setCrashHandlerSetupDelegate(nullptr);
    dropProcessState();
  }

  void start() {
    TLTelemetry::setLogUrl(server.baseURL());
    TLTelemetry::start(kSecret, {kCrashesService});
  }

  test::ScriptedNetwork network;
  test::FakeIngestionServer server;
};

TEST_F(TLCrashesWrapperAndBufferTest, HandledErrorsReachTheServerWithTheirProperties) {
  {
    test::TLLogRecorder logs;
    TLCrashes::trackModelException(modelException("System.IO.IOException", "before the start"));
    EXPECT_EQ(logs.messages(TLLogLevelError).size(), 1u);
  }
  start();
  TLUserIdContext::sharedInstance()->setUserId("handled-user");
  const std::string longKey(130, 'k');
  TLCrashes::trackModelException(modelException("System.IO.IOException", "disk full"),
                                 foundation::Dictionary{{"screen", "editor"}, {longKey, "long"}});
  TLCrashes::trackModelException(modelException("System.FormatException", "bad line"), foundation::Dictionary{});
  ASSERT_TRUE(waitForLogs(server, "handledError", 2));

  const auto sent = test::sentLogs(server, "handledError");
  ASSERT_EQ(sent.size(), 2u);
  const Value& withProperties = sent[0]["exception"]["type"].stringValue() == "System.IO.IOException" ? sent[0] : sent[1];
  const Value& without = &withProperties == &sent[0] ? sent[1] : sent[0];
  EXPECT_TRUE(foundation::UUID::fromString(withProperties["id"].stringValue()).has_value());
  EXPECT_NE(withProperties["id"].stringValue(), without["id"].stringValue());
  EXPECT_EQ(withProperties["userId"].stringValue(), "handled-user");
  EXPECT_EQ(withProperties["exception"]["message"].stringValue(), "disk full");
  EXPECT_EQ(withProperties["properties"]["screen"].stringValue(), "editor");
  EXPECT_EQ(withProperties["properties"][std::string(125, 'k')].stringValue(), "long");
  EXPECT_TRUE(without["properties"].isNull());

  // Disabled, the service sends none.
  TLCrashes::setEnabled(false);
  test::TLLogRecorder logs;
  TLCrashes::trackModelException(modelException("System.Exception", "while disabled"));
  test::onQueue(TLCrashes::sharedInstance()->channelUnit()->logsDispatchQueue());
  EXPECT_EQ(test::sentLogs(server, "handledError").size(), 2u);
}

TEST_F(TLCrashesWrapperAndBufferTest, WrapperExceptionSavedBeforeTheCrashTravelsWithItsReport) {
  test::ReportRecord record = test::sampleReport();  // of process 4321
  record.reportInfo = test::ReportInfoRecord{false, std::vector<std::uint8_t>{0x6B, 0x1F, 0x2E, 0x90, 0x3C, 0x4D, 0x4E,
                                                                            0x11, 0x9A, 0x0B, 0xC2, 0xD3, 0xE4, 0xF5,
                                                                            0x06, 0x01}};
  record.systemInfo->timestamp = static_cast<std::int64_t>(foundation::Date::now().timeIntervalSince1970()) - 100;
  const auto bytes = test::encodeReportFile(record);
  const std::string crashes = TLUtility::fullURLForPathComponent("crashes")->path();
  foundation::FileManager::defaultManager().createDirectoryAtPath(crashes, true);
  ASSERT_TRUE(test::writeFile(crashes + "/700000001", std::string(bytes.begin(), bytes.end())));
  auto wrapper = std::make_shared<TLWrapperException>();
  wrapper->processId = 4321;
  wrapper->modelException = modelException("System.NullReferenceException", "from the managed side");
  TLWrapperExceptionManager::saveWrapperException(wrapper);

  start();
  ASSERT_TRUE(waitForLogs(server, "appleError", 1));
  const Value log = test::sentLogs(server, "appleError")[0];
  EXPECT_EQ(log["id"].stringValue(), "6B1F2E90-3C4D-4E11-9A0B-C2D3E4F50601");
  EXPECT_EQ(log["exception"]["type"].stringValue(), "System.NullReferenceException");
  EXPECT_EQ(log["exception"]["message"].stringValue(), "from the managed side");
  // Sent with its report, its file goes; the last saved one was taken at once.
  EXPECT_FALSE(TLUtility::fileExistsForPathComponent("crasheswrapperexceptions/6B1F2E90-3C4D-4E11-9A0B-C2D3E4F50601"));
  EXPECT_FALSE(TLUtility::fileExistsForPathComponent("crasheswrapperexceptions/last_saved_wrapper_exception"));
}

class RecordingSetupDelegate : public TLCrashHandlerSetupDelegate {
 public:
  void willSetUpCrashHandlers() override { calls.push_back("will"); }
  void didSetUpCrashHandlers() override { calls.push_back("did"); }
  std::optional<bool> shouldEnableUncaughtExceptionHandler() override {
    calls.push_back("should");
    return false;
  }
  std::vector<std::string> calls;
};

TEST_F(TLCrashesWrapperAndBufferTest, SetupDelegateIsAskedAroundTheOneEngineConfiguration) {
  const auto delegate = std::make_shared<RecordingSetupDelegate>();
  TLWrapperCrashesHelper::setCrashHandlerSetupDelegate(delegate);
  EXPECT_EQ(TLWrapperCrashesHelper::getCrashHandlerSetupDelegate(), delegate);
  test::TLLogRecorder logs;
  start();
  EXPECT_EQ(delegate->calls, (std::vector<std::string>{"should", "will", "did"}));
  const auto debug = logs.messages(TLLogLevelDebug);
  EXPECT_NE(std::find_if(debug.begin(), debug.end(),
                         [](const std::string& line) { return line.starts_with("EnableUncaughtExceptionHandler is set to NO"); }),
            debug.end());
}

TEST_F(TLCrashesWrapperAndBufferTest, DisablingRemovesWrapperExceptionsAndEmptiesBufferFiles) {
  start();
  TLCrashes::sharedInstance()->bufferFileGroup()->wait();
  TLWrapperExceptionManager::saveWrapperException(std::make_shared<TLWrapperException>());
  TLWrapperExceptionManager::saveWrapperException(std::make_shared<TLWrapperException>(), "0B8E1C2D-0000-4000-8000-000000000001");
  ASSERT_TRUE(test::writeFile(bufferFile(4), "a log"));
  ASSERT_TRUE(test::writeFile(bufferFile(4, "targettoken"), "its token"));

  TLCrashes::setEnabled(false);
  EXPECT_FALSE(TLUtility::fileExistsForPathComponent("crasheswrapperexceptions"));
  EXPECT_EQ(test::readFile(bufferFile(4)), "");
  EXPECT_FALSE(exists(bufferFile(4, "targettoken")));
}

// --- a child that dies while a log waits to be stored ---------------------------------------------

__attribute__((noinline)) void throwFromTheEditor() { throw std::runtime_error("the hosts file vanished"); }

// Calls through a pointer with nothing to clean up, so the runtime ends the process with the
// exception still current.
__attribute__((noinline)) void uncaught(void (*body)()) noexcept { body(); }

int startQueueAHandledErrorAndThrow() {
  TLTelemetry::start(kSecret, {kCrashesService});
  const auto crashes = TLCrashes::sharedInstance();
  // Once the start's own logs are stored, the channel's queue is held up: the handled error is
  // prepared, but never stored.
  test::onQueue(crashes->channelUnit()->logsDispatchQueue());
  crashes->channelUnit()->logsDispatchQueue()->async([] {
    for (;;) pause();
  });
  TLCrashes::trackModelException(modelException("System.TimeoutException", "waited too long"));
  uncaught(throwFromTheEditor);
  return 0;
}

TEST(TLCrashesWrapperAndBufferChild, TheNextStartSendsTheUncaughtExceptionAndTheLogThatWaited) {
  // Forked before this process starts any threads of its own.
  const test::ChildResult child = test::runInChild(startQueueAHandledErrorAndThrow, 15);
  ASSERT_TRUE(child.killedBy(SIGABRT)) << child.describe();
  EXPECT_EQ(filledBufferFiles(), 1);

  // A crash time counts to the end of its second, so the next launch begins in a later one.
  const double now = foundation::Date::now().timeIntervalSince1970();
  usleep(static_cast<useconds_t>((std::floor(now) + 1.01 - now) * 1e6));
  foundation::UserDefaults::resetStandardUserDefaultsForTesting();
  {
    test::ScriptedNetwork network;
    test::FakeIngestionServer server;
    TLTelemetry::setLogUrl(server.baseURL());
    TLTelemetry::start(kSecret, {kCrashesService});
    ASSERT_TRUE(waitForLogs(server, "appleError", 1));
    ASSERT_TRUE(waitForLogs(server, "handledError", 1));

    const Value crash = test::sentLogs(server, "appleError")[0];
    EXPECT_EQ(crash["exceptionType"].stringValue(), "std::runtime_error");
    EXPECT_EQ(crash["exceptionReason"].stringValue(), "the hosts file vanished");
    bool throwFramesSent = false;
    for (const Value& thread : crash["threads"].arrayValue()) {
      const Value& exception = thread["exception"];
      if (exception.isNull()) continue;
      EXPECT_EQ(exception["type"].stringValue(), "std::runtime_error");
      throwFramesSent = !exception["frames"].arrayValue().empty();
    }
    EXPECT_TRUE(throwFramesSent);

    const auto handled = test::sentLogs(server, "handledError");
    ASSERT_EQ(handled.size(), 1u);
    EXPECT_EQ(handled[0]["exception"]["type"].stringValue(), "System.TimeoutException");
    EXPECT_EQ(TLCrashes::sharedInstance()->bufferChannelUnit()->configuration().groupId(), "CrashesBuffer");
    dropProcessState();
  }
  EXPECT_EQ(filledBufferFiles(), 0);
}

}  // namespace
