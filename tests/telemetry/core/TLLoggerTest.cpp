#include "telemetry/core/TLLogger.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "telemetry/core/TLConstants.h"
#include "telemetry/core/TLWrapperLogger.h"
#include "tests/support/LogCapture.h"
#include "tests/telemetry/support/TLLogRecorder.h"

namespace {

// Each test runs in a process of its own, but the logger is process-wide: every test starts from
// the default handler and the level it needs.
class TLLoggerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    TLLogger::setLogHandler(&TLLogger::defaultLogHandler);
    TLLogger::setIsUserDefinedLogLevel(false);
  }
};

TEST_F(TLLoggerTest, StartsAtAssertWithTheDefaultHandlerAndNoUserChoice) {
  EXPECT_EQ(TLLogger::currentLogLevel(), TLLogLevelAssert);
  EXPECT_FALSE(TLLogger::isUserDefinedLogLevel());

  test::LogCapture capture;
  TLLogAssert(kTLLogTag, "shown %d", 1);
  TLLogError(kTLLogTag, "hidden %d", 2);
  ASSERT_EQ(capture.lines().size(), 1u);
  EXPECT_TRUE(capture.contains("[Telemetry] ASSERT: ")) << capture.lines()[0];
  EXPECT_TRUE(capture.contains(" shown 1"));
}

TEST_F(TLLoggerTest, DefaultHandlerPrintsLevelsFromTheCurrentOneUpWithTheirNames) {
  TLLogger::setCurrentLogLevel(TLLogLevelWarning);
  EXPECT_TRUE(TLLogger::isUserDefinedLogLevel());
  test::LogCapture capture;
  int built = 0;
  const auto provider = [&] {
    ++built;
    return std::string("message");
  };
  for (const TLLogLevel level : {TLLogLevelVerbose, TLLogLevelDebug, TLLogLevelInfo, TLLogLevelWarning,
                                 TLLogLevelError, TLLogLevelAssert, TLLogLevelNone}) {
    TLLogger::logMessage(provider, level, "Tag", "file.cpp", "-[TLThing doIt:]", 42);
  }
  // Levels below the current one are not even built; 99 is never printed.
  EXPECT_EQ(built, 3);
  const std::vector<std::string> lines = capture.lines();
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_NE(lines[0].find("[Tag] WARNING: -[TLThing doIt:]/42 message"), std::string::npos) << lines[0];
  EXPECT_NE(lines[1].find("[Tag] ERROR: -[TLThing doIt:]/42 message"), std::string::npos) << lines[1];
  EXPECT_NE(lines[2].find("[Tag] ASSERT: -[TLThing doIt:]/42 message"), std::string::npos) << lines[2];
}

TEST_F(TLLoggerTest, LevelNoneIsNeverPrintedEvenAtTheLowestLevel) {
  TLLogger::setCurrentLogLevel(TLLogLevelVerbose);
  test::LogCapture capture;
  TLLogger::logMessage([] { return std::string("quiet"); }, TLLogLevelNone, "Tag", "f", "g", 1);
  TLLogger::logMessage({}, TLLogLevelAssert, "Tag", "f", "g", 1);  // no provider: nothing to print
  TLLogVerbose(kTLLogTag, "loud");
  ASSERT_EQ(capture.lines().size(), 1u);
  EXPECT_TRUE(capture.contains("[Telemetry] VERBOSE: "));
}

TEST_F(TLLoggerTest, CustomHandlerReceivesEveryMessageWhateverTheLevel) {
  TLLogger::setCurrentLogLevel(TLLogLevelWarning);
  TLLogger::setIsUserDefinedLogLevel(false);
  test::LogCapture capture;
  {
    test::TLLogRecorder recorder;
    EXPECT_TRUE(TLLogger::isUserDefinedLogLevel());  // a handler counts as the user's choice
    const int line = __LINE__ + 1;
    TLLogVerbose(kTLLogTag, "value %@", std::string("a/b"));
    TLLogger::logMessage([] { return std::string("none"); }, TLLogLevelNone, "Other", "f", "g", 7);

    const auto entries = recorder.entries();
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[0].level, TLLogLevelVerbose);
    EXPECT_EQ(entries[0].tag, "Telemetry");
    EXPECT_EQ(entries[0].message, "value a/b");
    EXPECT_EQ(entries[0].line, static_cast<std::uint32_t>(line));
    EXPECT_NE(entries[0].function.find("TestBody"), std::string::npos) << entries[0].function;
    EXPECT_EQ(entries[1].level, TLLogLevelNone);
    EXPECT_EQ(entries[1].tag, "Other");
  }
  EXPECT_TRUE(capture.lines().empty());  // the default handler was out of the way meanwhile
}

TEST_F(TLLoggerTest, AnEmptyHandlerSilencesEverything) {
  TLLogger::setCurrentLogLevel(TLLogLevelVerbose);
  TLLogger::setLogHandler(nullptr);
  test::LogCapture capture;
  TLLogAssert(kTLLogTag, "dropped");
  EXPECT_TRUE(capture.lines().empty());
}

TEST_F(TLLoggerTest, UnknownLevelsPrintWithoutAName) {
  TLLogger::setCurrentLogLevel(TLLogLevelVerbose);
  test::LogCapture capture;
  TLLogger::logMessage([] { return std::string("odd"); }, static_cast<TLLogLevel>(8), "Tag", "f", "fn", 3);
  ASSERT_EQ(capture.lines().size(), 1u);
  EXPECT_TRUE(capture.contains("[Tag] (null): fn/3 odd"));
}

TEST_F(TLLoggerTest, WrapperLinesCarryTheWrapperFunctionNameAndLine) {
  test::TLLogRecorder recorder;
  TLWrapperLogger::TLWrapperLog([] { return std::string("from the wrapper"); }, "Wrapper", TLLogLevelInfo);
  const auto entries = recorder.entries();
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].function, "+[TLWrapperLogger TLWrapperLog:tag:level:]");
  EXPECT_EQ(entries[0].line, 10u);
  EXPECT_EQ(entries[0].tag, "Wrapper");
  EXPECT_EQ(entries[0].level, TLLogLevelInfo);
  EXPECT_EQ(entries[0].message, "from the wrapper");
}

// Messages logged on other threads while the handler is replaced reach one handler or the other,
// whole; run under a thread sanitizer this shows the handler swap is free of races.
TEST_F(TLLoggerTest, HandlerCanBeReplacedWhileOtherThreadsLog) {
  std::atomic<int> received{0};
  const TLLogHandler counting = [&](const TLLogMessageProvider& provider, TLLogLevel, std::string_view,
                                    const char*, const char*, std::uint32_t) {
    if (provider && provider() == "tick") ++received;
  };
  std::atomic<bool> stop{false};
  std::vector<std::thread> loggers;
  for (int i = 0; i < 4; ++i) {
    loggers.emplace_back([&] {
      while (!stop) TLLogger::logMessage([] { return std::string("tick"); }, TLLogLevelVerbose, "T", "f", "g", 1);
    });
  }
  for (int i = 0; i < 2000; ++i) TLLogger::setLogHandler(i % 2 ? counting : TLLogHandler());
  TLLogger::setLogHandler(counting);
  while (received < 10) std::this_thread::yield();
  stop = true;
  for (auto& thread : loggers) thread.join();
  EXPECT_GE(received.load(), 10);
}

}  // namespace
