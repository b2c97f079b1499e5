// The crash-time log buffer: which slot a log takes and which it replaces, the files a child that
// really crashes leaves behind, their logs coming back on the "CrashesBuffer" unit with their
// target tokens, and the emptying of the files.
#include "telemetry/crashes/Internals/TLCrashesLogBuffer.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "crash/engine/CrashReporter.h"
#include "platform/dispatch/Group.h"
#include "platform/dispatch/Queue.h"
#include "platform/foundation/FileManager.h"
#include "platform/foundation/KeyedUnarchiver.h"
#include "telemetry/core/Internals/Channel/TLChannelGroupDefault.h"
#include "telemetry/core/Internals/Context/AuthToken/TLAuthTokenContext.h"
#include "telemetry/core/Internals/Model/TLStartServiceLog.h"
#include "telemetry/core/Internals/Util/TLUtility+File.h"
#include "telemetry/crashes/Internals/Model/TLAppleErrorLog.h"
#include "telemetry/crashes/Internals/Model/TLHandledErrorLog.h"
#include "telemetry/crashes/Internals/TLCrashesLogBufferRecord.h"
#include "telemetry/crashes/TLCrashesArchivableClasses.h"
#include "telemetry/crashes/TLErrorAttachmentLog.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/FakeIngestionServer.h"
#include "tests/support/FaultingCode.h"
#include "tests/support/TempDir.h"
#include "tests/telemetry/support/TLChannelFixtures.h"
#include "tests/telemetry/support/TLIngestionFixtures.h"
#include "tests/telemetry/support/TLLogRecorder.h"
#include "tests/telemetry/support/TLModelFixtures.h"

namespace {

using Record = TLCrashesLogBufferRecord;

constexpr const char* kDirectory = "crasheslogbuffer";
constexpr const char* kToken = "4d2c1b3a5e6f-40c7-8d91-0a1b2c3d4e5f-secret";

std::shared_ptr<TLHandledErrorLog> handledError(const std::string& errorId, const std::string& token = "") {
  auto log = std::make_shared<TLHandledErrorLog>();
  log->setTimestamp(foundation::Date::now());
  log->setDevice(test::minimalDevice());
  log->errorId = errorId;
  log->exception = std::make_shared<TLException>();
  log->exception->type = "std::runtime_error";
  log->exception->message = "handled " + errorId;
  if (!token.empty()) log->addTransmissionTargetToken(token);
  return log;
}

std::string slotId(std::size_t i) { return std::string(Record::load(tlCrashesLogBuffer[i].logInternalId)); }
std::string slotToken(std::size_t i) { return std::string(Record::load(tlCrashesLogBuffer[i].encryptedToken)); }

std::string bufferFile(std::size_t i) {
  return TLUtility::fullURLForPathComponent(std::string(kDirectory) + "/" + std::to_string(i) + ".tlcrasheslogbuffer")
      ->path();
}
std::string tokenFile(std::size_t i) {
  return TLUtility::fullURLForPathComponent(std::string(kDirectory) + "/" + std::to_string(i) + ".targettoken")->path();
}
bool exists(const std::string& path) { return foundation::FileManager::defaultManager().fileExistsAtPath(path); }

// Sets the buffer up and waits until its files exist.
void setUpBuffer() {
  auto group = dispatch::Group::create();
  TLCrashesLogBuffer::setupLogBuffer(kDirectory, dispatch::Queue::createSerial("buffer-files"), group);
  group->wait();
}

class TLCrashesLogBufferTest : public testing::Test {
 protected:
  void SetUp() override {
    TLRegisterCrashesArchivableClasses();
    setUpBuffer();
  }
  TLEncrypter encrypter;
};

TEST_F(TLCrashesLogBufferTest, SetUpPointsEachSlotAtItsFilesAndEmptiesIt) {
  for (std::size_t i : {0u, 59u}) {
    EXPECT_EQ(Record::load(tlCrashesLogBuffer[i].bufferFilePath), bufferFile(i));
    EXPECT_EQ(Record::load(tlCrashesLogBuffer[i].tokenFilePath), tokenFile(i));
    EXPECT_TRUE(Record::load(tlCrashesLogBuffer[i].logData).empty());
    EXPECT_TRUE(exists(bufferFile(i)));
  }
  // A file the last crash left keeps its contents through the next set-up.
  ASSERT_TRUE(test::writeFile(bufferFile(3), "left by the last crash"));
  setUpBuffer();
  EXPECT_EQ(test::readFile(bufferFile(3)), "left by the last crash");
}

TEST_F(TLCrashesLogBufferTest, LogsTakeTheLowestFreeSlotAndReplaceTheOldestWhenFull) {
  for (int i = 0; i < 60; ++i) {
    TLCrashesLogBuffer::bufferLog(handledError("e" + std::to_string(i), i == 30 ? kToken : ""), "id-" + std::to_string(i),
                                  encrypter);
  }
  EXPECT_EQ(slotId(0), "id-0");
  EXPECT_EQ(slotId(59), "id-59");
  EXPECT_EQ(encrypter.decryptString(slotToken(30)), kToken);
  EXPECT_EQ(slotToken(29), "");

  // A released log frees its slot, which the next log takes.
  TLCrashesLogBuffer::releaseLog(nullptr, "id-7");
  EXPECT_EQ(slotId(7), "");
  EXPECT_EQ(tlCrashesLogBuffer[7].storedAt, 0);
  TLCrashesLogBuffer::bufferLog(handledError("new"), "id-new", encrypter);
  EXPECT_EQ(slotId(7), "id-new");

  // Full: the oldest goes, with its token; the replacing log brings its own token, or none.
  tlCrashesLogBuffer[12].storedAt = 2;
  tlCrashesLogBuffer[30].storedAt = 1;
  TLCrashesLogBuffer::bufferLog(handledError("over-1"), "id-over-1", encrypter);
  EXPECT_EQ(slotId(30), "id-over-1");
  EXPECT_EQ(slotToken(30), "");
  EXPECT_EQ(slotId(12), "id-12");

  // Of equal times the lowest index goes.
  tlCrashesLogBuffer[40].storedAt = 1;
  tlCrashesLogBuffer[12].storedAt = 1;
  TLCrashesLogBuffer::bufferLog(handledError("over-2", kToken), "id-over-2", encrypter);
  EXPECT_EQ(slotId(12), "id-over-2");
  EXPECT_EQ(encrypter.decryptString(slotToken(12)), kToken);
  EXPECT_EQ(slotId(40), "id-40");
}

TEST_F(TLCrashesLogBufferTest, CrashLogsAndAttachmentsAreNeverBuffered) {
  struct Case {
    const char* name;
    std::shared_ptr<TLLog> log;
    bool buffered;
  };
  auto attachment = std::make_shared<TLErrorAttachmentLog>();
  attachment->setTimestamp(foundation::Date::now());
  const Case cases[] = {
      {"crash log", std::make_shared<TLAppleErrorLog>(), false},
      {"attachment", attachment, false},
      {"handled error", handledError("handled"), true},
      {"start-service log", std::make_shared<TLStartServiceLog>(), true},
      {"no log", nullptr, false},
  };
  for (const Case& c : cases) {
    setUpBuffer();
    TLCrashesLogBuffer::bufferLog(c.log, "id", encrypter);
    EXPECT_EQ(slotId(0), c.buffered ? "id" : "") << c.name;
  }
}

// --- a child that really crashes, and the next start ---------------------------------------------

// The slots come set up from the parent: a forked child has no dispatch workers to make files.
int bufferAndCrash() {
  TLEncrypter encrypter;
  TLCrashesLogBuffer::bufferLog(handledError("with-token", kToken), "id-0", encrypter);
  TLCrashesLogBuffer::bufferLog(handledError("without-token"), "id-1", encrypter);
  TLCrashesLogBuffer::bufferLog(handledError("stored"), "id-2", encrypter);
  TLCrashesLogBuffer::releaseLog(nullptr, "id-2");  // stored in time: not in the files

  auto engine = CrashReporter::initWithApplicationIdentifier(
      "org.quillmere.tests/log-buffer", "1", "1.0",
      std::make_shared<CrashReporterConfig>(CrashReporterSignalHandlerTypeBSD, CrashReporterSymbolicationStrategyNone));
  const CrashReporterCallbacks callbacks{0, nullptr, tl_crash_signal_callback};
  engine->setCrashCallbacks(&callbacks);
  if (!engine->enableCrashReporter()) return 10;
  test::faults::read()(reinterpret_cast<void*>(8));
  return 0;
}

// The error id of the handled error log archived in the file at `path`, or "".
std::string errorIdInFile(const std::string& path) {
  const std::string bytes = test::readFile(path);
  const auto root = foundation::KeyedUnarchiver::unarchiveObjectWithData(foundation::Data(bytes.begin(), bytes.end()));
  const auto log = root ? root->objectAs<TLHandledErrorLog>() : nullptr;
  return log && log->errorId ? *log->errorId : "";
}

class TLCrashesLogBufferAfterCrashTest : public TLCrashesLogBufferTest {
 protected:
  ~TLCrashesLogBufferAfterCrashTest() override {
    test::onQueue(queue);
    TLAuthTokenContext::resetSharedInstance();
  }

  std::shared_ptr<TLChannelGroupDefault> makeGroup() {
    auto ingestion = TLTelemetryIngestion::create(server.baseURL(), "1C5DB1A4-3E3F-4D2B-8F73-2B6D8E0E4B10", {1, 1, 1});
    ingestion->setAppSecret("5d3c1a0e-7b1f-4c1e-9d4a-0e1f2a3b4c5d");
    auto made = TLChannelGroupDefault::create(ingestion, nullptr, queue);
    made->addDelegate(recorder);
    return made;
  }

  test::ScriptedNetwork network;
  test::FakeIngestionServer server;
  std::shared_ptr<dispatch::Queue> queue = dispatch::Queue::createSerial("log-buffer-test");
  std::shared_ptr<test::RecordingChannelDelegate> recorder = std::make_shared<test::RecordingChannelDelegate>();
};

TEST_F(TLCrashesLogBufferAfterCrashTest, CrashLeavesTheBufferedLogsThatComeBackAtTheNextStart) {
  // Left by an earlier crash: a token that no log of the next one may take.
  ASSERT_TRUE(test::writeFile(tokenFile(1), encrypter.encryptString("stale-token").value()));

  const test::ChildResult result = test::runInChild(bufferAndCrash, 15);
  ASSERT_TRUE(result.killedBy(SIGSEGV)) << result.describe();

  EXPECT_EQ(errorIdInFile(bufferFile(0)), "with-token");
  EXPECT_EQ(errorIdInFile(bufferFile(1)), "without-token");
  EXPECT_EQ(encrypter.decryptString(test::readFile(tokenFile(0))), kToken);
  EXPECT_FALSE(exists(tokenFile(1)));
  for (std::size_t i : {2u, 3u, 59u}) {
    EXPECT_TRUE(exists(bufferFile(i))) << i;
    EXPECT_EQ(test::readFile(bufferFile(i)), "") << i;
  }

  // The next start, with a buffer file that is no archive and a token that does not decrypt.
  ASSERT_TRUE(test::writeFile(bufferFile(5), "not an archive"));
  ASSERT_TRUE(test::writeFile(tokenFile(1), "not a token"));
  test::TLLogRecorder logs;
  auto group = makeGroup();
  const auto unit = TLCrashesLogBuffer::processLogBufferAfterCrash(kDirectory, *group, encrypter);
  ASSERT_NE(unit, nullptr);
  EXPECT_EQ(unit->configuration(), TLChannelUnitConfiguration("CrashesBuffer", 2, 1, 50, 1));
  test::onQueue(queue);

  const auto prepared = recorder->events("didPrepare");
  ASSERT_EQ(prepared.size(), 2u);
  std::vector<std::pair<std::string, std::optional<std::set<std::string>>>> logsAndTokens;
  for (const auto& event : prepared) {
    EXPECT_EQ(event.groupId, "CrashesBuffer");
    EXPECT_EQ(event.flags, TLFlagsNormal);
    const auto log = std::dynamic_pointer_cast<TLHandledErrorLog>(event.log);
    ASSERT_NE(log, nullptr);
    logsAndTokens.emplace_back(log->errorId.value_or(""), log->transmissionTargetTokens());
  }
  EXPECT_EQ(logsAndTokens[0], std::make_pair(std::string("with-token"), std::optional(std::set<std::string>{kToken})));
  EXPECT_EQ(logsAndTokens[1], std::make_pair(std::string("without-token"), std::optional<std::set<std::string>>()));
  const auto errors = logs.messages(TLLogLevelError);
  EXPECT_EQ(std::count(errors.begin(), errors.end(), "Failed to decrypt the target token."), 1);

  for (std::size_t i = 0; i < kTLCrashesLogBufferSize; ++i) {
    EXPECT_EQ(test::readFile(bufferFile(i)), "") << i;
    EXPECT_FALSE(exists(tokenFile(i))) << i;
  }
}

// The writer run by hand: a slot caught in the middle of a change is written as free, since its
// log and token may not belong together; after the writer, a log stored in time takes its buffer
// file with it.
int saveThenRelease() {
  TLEncrypter encrypter;
  TLCrashesLogBuffer::bufferLog(handledError("late"), "id-0", encrypter);
  TLCrashesLogBuffer::bufferLog(handledError("changing", kToken), "id-1", encrypter);
  tlCrashesLogBuffer[1].beginChange();
  tl_save_log_buffer();
  tlCrashesLogBuffer[1].endChange();
  if (errorIdInFile(bufferFile(0)) != "late") return 11;
  if (!exists(bufferFile(1)) || test::readFile(bufferFile(1)) != "" || exists(tokenFile(1))) return 12;
  TLCrashesLogBuffer::releaseLog(nullptr, "id-0");
  if (exists(bufferFile(0)) || !Record::load(tlCrashesLogBuffer[0].logData).empty()) return 13;
  if (!exists(bufferFile(2))) return 14;
  return 0;
}

TEST_F(TLCrashesLogBufferTest, WriterRunByHandSkipsSlotsBeingChangedAndReleasesDeleteFiles) {
#if defined(__SANITIZE_THREAD__)
  // The fixture's queues are running when the child is forked, and the child starts threads of
  // its own: ThreadSanitizer ends such a child at its first new thread.
  GTEST_SKIP() << "ThreadSanitizer does not support new threads after forking a threaded process";
#endif
  const test::ChildResult result = test::runInChild(saveThenRelease);
  EXPECT_TRUE(result.exitedWith(0)) << result.describe();
}

TEST_F(TLCrashesLogBufferTest, DisablingEmptiesTheFilesAndKeepsTheSlots) {
  TLCrashesLogBuffer::bufferLog(handledError("kept"), "id-0", encrypter);
  ASSERT_TRUE(test::writeFile(bufferFile(0), "a log of the last crash"));
  ASSERT_TRUE(test::writeFile(tokenFile(0), "its token"));
  struct stat before {};
  ASSERT_EQ(stat(bufferFile(1).c_str(), &before), 0);

  TLCrashesLogBuffer::emptyLogBufferFiles(kDirectory);
  EXPECT_EQ(test::readFile(bufferFile(0)), "");
  EXPECT_FALSE(exists(tokenFile(0)));
  struct stat after {};
  ASSERT_EQ(stat(bufferFile(1).c_str(), &after), 0);
  EXPECT_EQ(after.st_ino, before.st_ino) << "an empty file is left alone";
  EXPECT_EQ(slotId(0), "id-0");

  test::TLLogRecorder logs;
  TLCrashesLogBuffer::emptyLogBufferFiles("no-such-folder");
  EXPECT_EQ(logs.messages(TLLogLevelError), std::vector<std::string>{"Couldn't get files in the directory \"no-such-folder\""});
}

}  // namespace
