// The crash service against the fake ingestion server: saved reports sent with the session and
// user of their crash time, bad files skipped and kept, the delegate's filter and attachments,
// the three answers of the user, the take-over of the engine's report, re-enabling, disabling,
// memory warnings, and a child process that really crashes and whose report the next start sends.
#include "telemetry/crashes/TLCrashes.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "crash/engine/CrashReporter.h"
#include "platform/dispatch/MemoryPressureSource.h"
#include "platform/dispatch/Queue.h"
#include "platform/foundation/Date.h"
#include "platform/foundation/FileManager.h"
#include "platform/foundation/RunLoop.h"
#include "platform/foundation/UserDefaults.h"
#include "telemetry/core/Internals/Channel/TLChannelGroupDefault.h"
#include "telemetry/core/Internals/Context/AuthToken/TLAuthTokenContext.h"
#include "telemetry/core/Internals/Context/Device/TLDeviceTracker.h"
#include "telemetry/core/Internals/Context/Session/TLSessionContext.h"
#include "telemetry/core/Internals/Context/UserId/TLUserIdContext.h"
#include "telemetry/core/Internals/Ingestion/TLTelemetryIngestion.h"
#include "telemetry/core/Internals/Model/Util/TLUserDefaults.h"
#include "telemetry/core/Internals/Util/TLUtility+File.h"
#include "telemetry/core/TLServiceClass.h"
#include "telemetry/core/TLTelemetry.h"
#include "telemetry/crashes/Internals/TLErrorLogFormatter.h"
#include "tests/crash/engine/ReportEncoder.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/FakeIngestionServer.h"
#include "tests/support/FaultingCode.h"
#include "tests/support/TempDir.h"
#include "tests/telemetry/support/TLChannelFixtures.h"
#include "tests/telemetry/support/TLIngestionFixtures.h"
#include "tests/telemetry/support/TLLogRecorder.h"

namespace {

using foundation::Value;

constexpr const char* kSecret = "7d3f0c1a-52be-4e96-8a07-c4e1b29f6d58";
constexpr const char* kInstallId = "00000000-0000-0000-0000-0000000000AA";

// ---- Crash files ---------------------------------------------------------------------------------

std::string crashesPath(const std::string& name = {}) {
  const std::string folder = TLUtility::fullURLForPathComponent("crashes")->path();
  return name.empty() ? folder : folder + "/" + name;
}

bool exists(const std::string& path) { return foundation::FileManager::defaultManager().fileExistsAtPath(path); }

std::vector<std::uint8_t> uuidBytes(std::uint8_t last) {
  return {0x6B, 0x1F, 0x2E, 0x90, 0x3C, 0x4D, 0x4E, 0x11, 0x9A, 0x0B, 0xC2, 0xD3, 0xE4, 0xF5, 0x06, last};
}

std::string uuidText(std::uint8_t last) {
  char text[3];
  std::snprintf(text, sizeof text, "%02X", last);
  return std::string("6B1F2E90-3C4D-4E11-9A0B-C2D3E4F506") + text;
}

// A complete report of a crash at `crashTime` (seconds since 1970) whose error id ends in `last`.
std::string reportBytes(std::uint8_t last, std::int64_t crashTime) {
  test::ReportRecord record = test::sampleReport();
  record.reportInfo = test::ReportInfoRecord{false, uuidBytes(last)};
  record.systemInfo->timestamp = crashTime;
  const auto bytes = test::encodeReportFile(record);
  return std::string(bytes.begin(), bytes.end());
}

void writeCrashFile(const std::string& name, const std::string& bytes) {
  foundation::FileManager::defaultManager().createDirectoryAtPath(crashesPath(), true);
  ASSERT_TRUE(test::writeFile(crashesPath(name), bytes)) << name;
}

// The engine's report file, where a crash of an earlier run leaves it.
std::string engineReportPath() {
  const std::string path = CrashReporter::initWithConfiguration()->crashReportPath();
  foundation::FileManager::defaultManager().createDirectoryAtPath(path.substr(0, path.rfind('/')), true);
  return path;
}

std::int64_t nowSince1970() { return static_cast<std::int64_t>(foundation::Date::now().timeIntervalSince1970()); }

// ---- What reached the server -----------------------------------------------------------------------

// The error ids of the crash logs the channel took, in order.
std::vector<std::string> enqueuedCrashIds(const test::RecordingChannelDelegate& recorder) {
  std::vector<std::string> ids;
  for (const auto& event : recorder.events("didPrepare")) {
    if (const auto log = std::dynamic_pointer_cast<TLAppleErrorLog>(event.log)) ids.push_back(log->errorId.value_or(""));
  }
  return ids;
}

bool anyMessageContains(const test::TLLogRecorder& logs, TLLogLevel level, const std::string& part) {
  for (const auto& message : logs.messages(level)) {
    if (message.find(part) != std::string::npos) return true;
  }
  return false;
}

// ---- The fixture -----------------------------------------------------------------------------------

class TLCrashesTest : public testing::Test {
 protected:
  TLCrashesTest() { TLCrashes::resetSharedInstance(); }
  ~TLCrashesTest() override {
    test::onQueue(queue);
    TLAuthTokenContext::resetSharedInstance();
    TLCrashes::resetSharedInstance();
  }

  std::shared_ptr<TLChannelGroupDefault> makeGroup() {
    auto ingestion = TLTelemetryIngestion::create(server.baseURL(), kInstallId, {1, 1, 1});
    ingestion->setAppSecret(kSecret);
    auto made = TLChannelGroupDefault::create(ingestion, nullptr, queue);
    made->addDelegate(recorder);
    return made;
  }

  // Starts the shared service on the group, as the SDK does.
  std::shared_ptr<TLCrashes> start() {
    auto crashes = TLCrashes::sharedInstance();
    crashes->startWithChannelGroup(group, kSecret, std::nullopt, true);
    return crashes;
  }

  // Waits until the first processing of `crashes` has finished.
  static void waitForProcessing(const std::shared_ptr<TLCrashes>& crashes) { crashes->unprocessedCrashReports(); }

  test::ScriptedNetwork network;
  test::FakeIngestionServer server;
  std::shared_ptr<dispatch::Queue> queue = dispatch::Queue::createSerial("crashes-test");
  std::shared_ptr<test::RecordingChannelDelegate> recorder = std::make_shared<test::RecordingChannelDelegate>();
  std::shared_ptr<TLChannelGroupDefault> group = makeGroup();
};

// Leaves a session id and a user id in the histories as a launch at `when` would have.
void plantEarlierLaunch(foundation::Date when, const std::string& sessionId, const std::string& userId) {
  TLSessionContext session(TLUserDefaults::shared(), [when] { return when; });
  session.setSessionId(sessionId);
  TLUserIdContext users(TLUserDefaults::shared(), [when] { return when; });
  users.setUserId(userId);
}

// ---- Processing --------------------------------------------------------------------------------------

TEST_F(TLCrashesTest, SavedReportsReachTheServerWithTheSessionAndUserOfTheirCrashTime) {
  const std::int64_t earlier = nowSince1970() - 1000;
  plantEarlierLaunch(foundation::Date::fromTimeIntervalSince1970(earlier), "earlier-session", "earlier-user");
  TLSessionContext::sharedInstance()->setSessionId("current-session");
  TLUserIdContext::sharedInstance()->setUserId("current-user");
  writeCrashFile("700000001", reportBytes(0x01, earlier + 100));  // during the earlier launch
  writeCrashFile("700000002", reportBytes(0x02, earlier - 100));  // before any recorded launch

  const auto crashes = start();
  ASSERT_TRUE(server.waitForRequests(2));

  std::map<std::string, Value> byId;
  for (const Value& log : test::sentLogs(server, "appleError")) byId[log["id"].stringValue()] = log;
  ASSERT_EQ(byId.size(), 2u);
  const Value& during = byId[uuidText(0x01)];
  EXPECT_EQ(during["sid"].stringValue(), "earlier-session");
  EXPECT_EQ(during["userId"].stringValue(), "earlier-user");
  EXPECT_EQ(during["osExceptionType"].stringValue(), "SIGSEGV");
  const Value& before = byId[uuidText(0x02)];
  EXPECT_TRUE(before["sid"].isNull());
  EXPECT_TRUE(before["userId"].isNull());

  // Sent reports leave the folder, and the histories keep only this launch.
  EXPECT_FALSE(exists(crashesPath("700000001")));
  EXPECT_FALSE(exists(crashesPath("700000002")));
  EXPECT_TRUE(crashes->crashFiles().empty());
  EXPECT_EQ(TLSessionContext::sharedInstance()->sessionIdAt(foundation::Date::fromTimeIntervalSince1970(earlier + 100)),
            std::nullopt);
}

TEST_F(TLCrashesTest, FilesThatCannotBeSentAreSkippedAndKeptWhileTheOthersAreSent) {
  test::ReportRecord noCpu = test::sampleReport();  // converts to a log that is not valid
  noCpu.machineInfo.reset();
  for (auto& image : noCpu.images) image.codeType.reset();
  const auto noCpuBytes = test::encodeReportFile(noCpu);

  struct File {
    const char* name;
    std::string bytes;
    bool sent;
  };
  const std::vector<File> files = {
      {"700000010", reportBytes(0x10, nowSince1970() - 60), true},
      {"700000011", "this is no crash report at all", false},
      {"700000012", "", false},
      {"700000013", std::string("crshrpt\x01", 8), false},  // the header alone
      {"700000014", std::string(noCpuBytes.begin(), noCpuBytes.end()), false},
      {"Info.plist", reportBytes(0x15, nowSince1970() - 60), false},
      {".DS_Store", reportBytes(0x16, nowSince1970() - 60), false},
      {"700000017.data", reportBytes(0x17, nowSince1970() - 60), false},
  };
  for (const File& file : files) writeCrashFile(file.name, file.bytes);
  foundation::FileManager::defaultManager().createDirectoryAtPath(crashesPath("700000018"), true);

  test::TLLogRecorder logs;
  const auto crashes = start();
  EXPECT_EQ(crashes->crashFiles().size(), 4u) << "listed: the valid, corrupt, header-only and invalid-log files";
  waitForProcessing(crashes);

  EXPECT_EQ(enqueuedCrashIds(*recorder), (std::vector<std::string>{uuidText(0x10)}));
  for (const File& file : files) EXPECT_EQ(exists(crashesPath(file.name)), !file.sent) << file.name;
  EXPECT_EQ(crashes->crashFiles().size(), 3u) << "what was not sent stays listed";
  EXPECT_TRUE(anyMessageContains(logs, TLLogLevelWarning, "Crash report found but it is empty, skipping it: 700000012"));
  int parseWarnings = 0;
  for (const auto& message : logs.messages(TLLogLevelWarning)) {
    parseWarnings += message.rfind("Crash report found but couldn't parse it, discard the crash report: ", 0) == 0;
  }
  EXPECT_EQ(parseWarnings, 2) << "the corrupt and the header-only file";
  EXPECT_TRUE(anyMessageContains(logs, TLLogLevelWarning, "is not valid; keeping the crash report: 700000014"));
  ASSERT_TRUE(server.waitForRequests(1));
  EXPECT_EQ(test::sentLogs(server, "appleError").at(0)["id"].stringValue(), uuidText(0x10));
}

// The application's delegate: refuses one report, attaches files to the others and records the
// sending callbacks.
class Delegate : public TLCrashesDelegate {
 public:
  std::string refusedId;
  std::vector<std::shared_ptr<TLErrorAttachmentLog>> attachments;

  bool crashesShouldProcessErrorReport(TLCrashes&, const std::shared_ptr<TLErrorReport>& report) override {
    record("should " + report->incidentIdentifier().value_or(""));
    return report->incidentIdentifier() != refusedId;
  }
  std::optional<std::vector<std::shared_ptr<TLErrorAttachmentLog>>> attachmentsWithCrashes(
      TLCrashes&, const std::shared_ptr<TLErrorReport>&) override {
    return attachments;
  }
  void crashesWillSendErrorReport(TLCrashes&, const std::shared_ptr<TLErrorReport>& report) override {
    record("will " + report->incidentIdentifier().value_or(""));
  }
  void crashesDidSucceedSendingErrorReport(TLCrashes&, const std::shared_ptr<TLErrorReport>& report) override {
    record("succeeded " + report->incidentIdentifier().value_or(""));
  }
  void crashesDidFailSendingErrorReport(TLCrashes&, const std::shared_ptr<TLErrorReport>& report,
                                        const std::optional<foundation::Error>&) override {
    record("failed " + report->incidentIdentifier().value_or(""));
  }

  std::vector<std::string> calls() const {
    std::lock_guard lock(mutex_);
    return calls_;
  }

 private:
  void record(std::string call) {
    std::lock_guard lock(mutex_);
    calls_.push_back(std::move(call));
  }
  mutable std::mutex mutex_;
  std::vector<std::string> calls_;
};

TEST_F(TLCrashesTest, TheDelegateRefusesReportsAttachesFilesAndHearsOfTheSending) {
  auto delegate = std::make_shared<Delegate>();
  delegate->refusedId = uuidText(0x21);
  delegate->attachments = {
      TLErrorAttachmentLog::attachmentWithText("first", "a.txt"),
      TLErrorAttachmentLog::attachmentWithText("second", "b.txt"),
      TLErrorAttachmentLog::attachmentWithBinary(foundation::Data{1, 2, 3}, "c.bin", "application/octet-stream"),
      TLErrorAttachmentLog::attachmentWithBinary(foundation::Data{4}, "d.bin", std::nullopt),  // no content type
  };
  TLCrashes::setDelegate(delegate);
  writeCrashFile("700000020", reportBytes(0x20, nowSince1970() - 60));
  writeCrashFile("700000021", reportBytes(0x21, nowSince1970() - 60));

  test::TLLogRecorder logs;
  start();
  ASSERT_TRUE(server.waitForRequests(4));  // the crash log and three attachments

  EXPECT_EQ(enqueuedCrashIds(*recorder), (std::vector<std::string>{uuidText(0x20)}));
  EXPECT_FALSE(exists(crashesPath("700000020")));
  EXPECT_FALSE(exists(crashesPath("700000021"))) << "a refused report is deleted";
  const auto attachments = test::sentLogs(server, "errorAttachment");
  ASSERT_EQ(attachments.size(), 3u);
  std::set<std::string> names;
  for (const Value& attachment : attachments) {
    EXPECT_EQ(attachment["errorId"].stringValue(), uuidText(0x20));
    names.insert(attachment["fileName"].stringValue());
  }
  EXPECT_EQ(names, (std::set<std::string>{"a.txt", "b.txt", "c.bin"}));
  EXPECT_TRUE(anyMessageContains(logs, TLLogLevelError, "Not all required fields are present in TLErrorAttachmentLog."));
  EXPECT_TRUE(anyMessageContains(logs, TLLogLevelWarning,
                                 "A limit of 2 attachments per error report might be enforced by server."));

  // Only the crash log, not its attachments, is reported to the delegate.
  ASSERT_TRUE(foundation::pumpMainUntil([&] { return delegate->calls().size() >= 4; }));
  const auto calls = delegate->calls();
  EXPECT_EQ(std::set<std::string>(calls.begin(), calls.begin() + 2),
            (std::set<std::string>{"should " + uuidText(0x20), "should " + uuidText(0x21)}));
  EXPECT_EQ(std::vector<std::string>(calls.begin() + 2, calls.end()),
            (std::vector<std::string>{"will " + uuidText(0x20), "succeeded " + uuidText(0x20)}));
}

// ---- The user's answer ---------------------------------------------------------------------------

class TLCrashesConfirmationTest : public TLCrashesTest, public testing::WithParamInterface<TLUserConfirmation> {};

TEST_P(TLCrashesConfirmationTest, ReportsWaitForTheUsersAnswerAndFollowIt) {
  const TLUserConfirmation answer = GetParam();
  std::vector<std::string> asked;
  bool onMainThread = false;
  TLCrashes::setUserConfirmationHandler([&](const std::vector<std::shared_ptr<TLErrorReport>>& reports) {
    onMainThread = dispatch::Queue::isMainThread();
    for (const auto& report : reports) asked.push_back(report->incidentIdentifier().value_or(""));
    return true;  // the application asks the user
  });
  writeCrashFile("700000030", reportBytes(0x30, nowSince1970() - 60));

  const auto crashes = start();
  ASSERT_TRUE(foundation::pumpMainUntil([&] { return !asked.empty(); }));
  EXPECT_EQ(asked, (std::vector<std::string>{uuidText(0x30)}));
  EXPECT_TRUE(onMainThread);
  EXPECT_EQ(crashes->unprocessedCrashReports().size(), 1u);
  EXPECT_TRUE(enqueuedCrashIds(*recorder).empty()) << "nothing is sent before the answer";
  EXPECT_TRUE(exists(crashesPath("700000030")));

  TLCrashes::notifyWithUserConfirmation(answer);
  EXPECT_FALSE(exists(crashesPath("700000030")));
  EXPECT_TRUE(crashes->unprocessedCrashReports().empty());
  EXPECT_EQ(enqueuedCrashIds(*recorder).size(), answer == TLUserConfirmationDontSend ? 0u : 1u);
  EXPECT_EQ(TLCrashes::shouldAlwaysSend(), answer == TLUserConfirmationAlways);
  if (answer != TLUserConfirmationAlways) return;

  // The next launch sends without asking.
  TLCrashes::resetSharedInstance();
  asked.clear();
  TLCrashes::setUserConfirmationHandler([&](const std::vector<std::shared_ptr<TLErrorReport>>&) {
    asked.push_back("asked");
    return true;
  });
  writeCrashFile("700000031", reportBytes(0x31, nowSince1970() - 60));
  waitForProcessing(start());
  EXPECT_TRUE(asked.empty());
  EXPECT_EQ(enqueuedCrashIds(*recorder), (std::vector<std::string>{uuidText(0x30), uuidText(0x31)}));
}

INSTANTIATE_TEST_SUITE_P(Answers, TLCrashesConfirmationTest,
                         testing::Values(TLUserConfirmationDontSend, TLUserConfirmationSend, TLUserConfirmationAlways));

TEST_F(TLCrashesTest, AnAnswerBeforeAnyProcessingWithoutAHandlerIsRefused) {
  test::TLLogRecorder logs;
  TLCrashes::notifyWithUserConfirmation(TLUserConfirmationSend);
  EXPECT_TRUE(anyMessageContains(logs, TLLogLevelError,
                                 "Incorrect usage of notifyWithUserConfirmation: it should only be called from "
                                 "userConfirmationHandler."));
}

// ---- Enabling again, disabling ---------------------------------------------------------------------

TEST_F(TLCrashesTest, EnablingAgainReplacesTheMemoryWatchAndSchedulesNoSecondRun) {
  auto delegate = std::make_shared<Delegate>();
  TLCrashes::setDelegate(delegate);
  writeCrashFile("700000040", reportBytes(0x40, nowSince1970() - 60));
  test::TLLogRecorder logs;
  const auto crashes = start();
  const auto firstWatch = crashes->memoryPressureSource();
  ASSERT_NE(firstWatch, nullptr);

  crashes->updateConfigurationWithAppSecret(kSecret, std::nullopt);
  crashes->updateConfigurationWithAppSecret(kSecret, std::nullopt);
  EXPECT_TRUE(firstWatch->isCancelled());
  EXPECT_NE(crashes->memoryPressureSource(), firstWatch);
  EXPECT_FALSE(crashes->memoryPressureSource()->isCancelled());
  EXPECT_TRUE(anyMessageContains(logs, TLLogLevelDebug, "Already configured CrashReporter."));

  waitForProcessing(crashes);
  // A second run would have been due at the same moment as the first.
  foundation::pumpMainUntil([] { return false; }, 0.5);
  int runs = 0;
  for (const auto& message : logs.messages(TLLogLevelDebug)) runs += message == "Start delayed CrashManager processing";
  EXPECT_EQ(runs, 1);
  EXPECT_EQ(delegate->calls().at(0), "should " + uuidText(0x40));
  EXPECT_EQ(enqueuedCrashIds(*recorder), (std::vector<std::string>{uuidText(0x40)}));
}

TEST_F(TLCrashesTest, AMemoryWarningIsReportedByTheNextStart) {
  auto crashes = start();
  dispatch::MemoryPressureSource::post(dispatch::MemoryPressureSource::kWarning);
  ASSERT_TRUE(foundation::pumpMainUntil(
      [] { return TLUserDefaults::shared().objectForKey(TLCrashes::kTLAppDidReceiveMemoryWarningKey).boolValue(); }));
  EXPECT_FALSE(TLCrashes::hasReceivedMemoryWarningInLastSession()) << "this run's warning is the next run's news";

  TLCrashes::resetSharedInstance();
  start();
  EXPECT_TRUE(TLCrashes::hasReceivedMemoryWarningInLastSession());
  EXPECT_TRUE(TLUserDefaults::shared().objectForKey(TLCrashes::kTLAppDidReceiveMemoryWarningKey).isNull());
}

TEST_F(TLCrashesTest, DisablingDeletesTheCrashDataButKeepsTheEngine) {
  const auto crashes = start();
  crashes->setAutomaticProcessingEnabled(false);  // the saved report must wait
  writeCrashFile("700000050", reportBytes(0x50, nowSince1970() - 60));
  writeCrashFile(TLCrashes::kTLAnalyzerFilename, "");
  ASSERT_TRUE(test::writeFile(engineReportPath(), reportBytes(0x51, nowSince1970() - 60)));
  TLUserDefaults::shared().setObject(Value(true), TLCrashes::kTLAppDidReceiveMemoryWarningKey);
  const auto engine = crashes->crashReporter();

  test::TLLogRecorder logs;
  crashes->setInstanceEnabled(false);
  EXPECT_FALSE(exists(crashesPath()));
  EXPECT_FALSE(exists(engineReportPath()));
  EXPECT_TRUE(TLUserDefaults::shared().objectForKey(TLCrashes::kTLAppDidReceiveMemoryWarningKey).isNull());
  EXPECT_EQ(crashes->memoryPressureSource(), nullptr);
  EXPECT_TRUE(anyMessageContains(logs, TLLogLevelInfo, "Crashes service has been disabled."));

  // A report the engine writes while the service is off is purged by the next enable, not sent.
  ASSERT_TRUE(test::writeFile(engineReportPath(), reportBytes(0x52, nowSince1970() - 60)));
  crashes->setInstanceEnabled(true);
  EXPECT_EQ(crashes->crashReporter(), engine);
  EXPECT_FALSE(exists(engineReportPath()));
  EXPECT_TRUE(crashes->crashFiles().empty());
  EXPECT_EQ(TLCrashes::lastSessionCrashReport(), nullptr);
}

// ---- Take-over of the engine's report --------------------------------------------------------------

TEST_F(TLCrashesTest, TheEnginesReportIsTakenOverAndPurgedOnlyOnceItIsSaved) {
  enum class Before { Nothing, NamesTaken, Marker, Undecodable, FolderIsAFile };
  struct Case {
    const char* name;
    Before before;
    std::size_t savedFiles;  // crash files in the folder afterwards
    bool purged;
    bool reported;  // lastSessionCrashReport is set
  };
  const Case cases[] = {
      {"a report", Before::Nothing, 1, true, true},
      {"names of this second taken", Before::NamesTaken, 4, true, true},
      {"the last take-over died", Before::Marker, 0, true, false},
      {"undecodable", Before::Undecodable, 0, true, false},
      {"the folder cannot be written", Before::FolderIsAFile, 0, false, false},
  };
  auto& fileManager = foundation::FileManager::defaultManager();
  for (const Case& c : cases) {
    fileManager.removeItemAtPath(crashesPath());
    fileManager.createDirectoryAtPath(crashesPath(), true);
    const std::string bytes = c.before == Before::Undecodable ? "crshrpt\x01garbage" : reportBytes(0x60, nowSince1970());
    ASSERT_TRUE(test::writeFile(engineReportPath(), bytes));
    switch (c.before) {
      case Before::NamesTaken:
        for (int ahead = 0; ahead < 3; ++ahead) {
          writeCrashFile(std::to_string(std::llround(foundation::Date::now().timeIntervalSinceReferenceDate()) + ahead),
                         reportBytes(0x61, nowSince1970()));
        }
        break;
      case Before::Marker: writeCrashFile(TLCrashes::kTLAnalyzerFilename, ""); break;
      case Before::FolderIsAFile:
        fileManager.removeItemAtPath(crashesPath());
        ASSERT_TRUE(test::writeFile(crashesPath(), "not a folder"));
        break;
      default: break;
    }

    TLCrashes::resetSharedInstance();
    auto crashes = TLCrashes::sharedInstance();
    crashes->setAutomaticProcessingEnabled(false);  // keeps the files where the take-over put them
    crashes->startWithChannelGroup(group, kSecret, std::nullopt, true);

    EXPECT_EQ(crashes->crashFiles().size(), c.savedFiles) << c.name;
    EXPECT_EQ(exists(engineReportPath()), !c.purged) << c.name;
    EXPECT_TRUE(TLCrashes::hasCrashedInLastSession()) << c.name;
    EXPECT_FALSE(exists(crashesPath(TLCrashes::kTLAnalyzerFilename))) << c.name;
    const auto report = TLCrashes::lastSessionCrashReport();
    EXPECT_EQ(report != nullptr, c.reported) << c.name;
    if (report) {
      EXPECT_EQ(report->incidentIdentifier(), uuidText(0x60)) << c.name;
    }
    if (c.savedFiles > 0) {
      bool savedUnchanged = false;
      for (const auto& url : crashes->crashFiles()) savedUnchanged |= test::readFile(url.path()) == bytes;
      EXPECT_TRUE(savedUnchanged) << c.name;
    }
    waitForProcessing(crashes);
    fileManager.removeItemAtPath(crashesPath());
    fileManager.removeItemAtPath(engineReportPath());
  }
}

// ---- Real crashes ---------------------------------------------------------------------------------

const TLServiceClass kCrashesService = TLServiceClass::of<TLCrashes>();

// The crashing run: the application starts the SDK with the crash service, the session and the
// user are set, then a fault.
int startAndCrash() {
  TLTelemetry::start(kSecret, {kCrashesService});
  TLSessionContext::sharedInstance()->setSessionId("crashed-session");
  TLUserIdContext::sharedInstance()->setUserId("crashed-user");
  foundation::UserDefaults::standardUserDefaults().synchronize();
  usleep(2000);  // the crash time (whole seconds + 0.999) then follows the session's start
  test::faults::read()(reinterpret_cast<void*>(8));
  return 0;
}

TEST(TLCrashesChild, AChildsRealCrashIsSentByItsNextStart) {
  // Forked before this process starts any threads of its own.
  const test::ChildResult child = test::runInChild(startAndCrash, 15);
  ASSERT_TRUE(child.killedBy(SIGSEGV)) << child.describe();

  // The next start, in this process, with the settings and contexts as the crashed run left them.
  // A crash time counts to the end of its second, so the next launch begins in a later one.
  const double now = foundation::Date::now().timeIntervalSince1970();
  usleep(static_cast<useconds_t>((std::floor(now) + 1.01 - now) * 1e6));
  foundation::UserDefaults::resetStandardUserDefaultsForTesting();
  TLSessionContext::resetSharedInstance();
  TLUserIdContext::resetSharedInstance();
  TLDeviceTracker::resetSharedInstance();
  TLSessionContext::sharedInstance()->setSessionId("next-session");

  test::ScriptedNetwork network;
  test::FakeIngestionServer server;
  TLTelemetry::setLogUrl(server.baseURL());
  TLTelemetry::start(kSecret, {kCrashesService});
  EXPECT_TRUE(TLCrashes::hasCrashedInLastSession());
  ASSERT_NE(TLCrashes::lastSessionCrashReport(), nullptr);
  EXPECT_EQ(TLCrashes::lastSessionCrashReport()->signal(), "SIGSEGV");
  EXPECT_EQ(TLCrashes::lastSessionCrashReport()->reporterKey(), TLTelemetry::installId().UUIDString());

  ASSERT_TRUE(foundation::pumpMainUntil([&] { return !test::sentLogs(server, "appleError").empty(); }, 10));
  const auto logs = test::sentLogs(server, "appleError");
  ASSERT_EQ(logs.size(), 1u);
  const Value& log = logs[0];
  EXPECT_EQ(log["id"].stringValue(), TLCrashes::lastSessionCrashReport()->incidentIdentifier());
  EXPECT_EQ(log["sid"].stringValue(), "crashed-session");
  EXPECT_EQ(log["userId"].stringValue(), "crashed-user");
  EXPECT_EQ(log["osExceptionType"].stringValue(), "SIGSEGV");
  EXPECT_EQ(log["osExceptionAddress"].stringValue(), "0x8");
  const std::string faulting =
      TLErrorLogFormatter::formatAddress(test::faults::faultingInstruction(test::faults::read()), true);
  bool faultingFrameSent = false;
  for (const Value& thread : log["threads"].arrayValue()) {
    for (const Value& frame : thread["frames"].arrayValue()) faultingFrameSent |= frame["address"].stringValue() == faulting;
  }
  EXPECT_TRUE(faultingFrameSent) << "the faulting instruction " << faulting;
  EXPECT_TRUE(TLCrashes::sharedInstance()->crashFiles().empty());

  test::onQueue(TLCrashes::sharedInstance()->channelUnit()->logsDispatchQueue());
  TLTelemetry::resetSharedInstance();
  TLAuthTokenContext::resetSharedInstance();
  TLCrashes::resetSharedInstance();
}

int testCrashWithoutStart() {
  TLCrashes::generateTestCrash();
  return 3;
}

int testCrashAfterStart() {
  TLTelemetry::start(kSecret, {kCrashesService});
  TLCrashes::generateTestCrash();
  return 3;
}

TEST(TLCrashesChild, TheTestCrashEndsTheProcessOnlyOnceTheServiceCanBeUsed) {
  const struct {
    const char* name;
    int (*body)();
    int signo;  // 0: the child returned
  } cases[] = {
      {"not started", testCrashWithoutStart, 0},
      {"started", testCrashAfterStart, SIGILL},
  };
  for (const auto& c : cases) {
    const test::ChildResult result = test::runInChild(c.body, 15);
    EXPECT_TRUE(result.endedAs(c.signo, 3)) << c.name << ": " << result.describe();
  }
}

}  // namespace
